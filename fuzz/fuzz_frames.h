// Cuts a fuzz input into frames the way a connection's frame buffer does and
// hands each whole frame to `fn` until the input ends, a frame is broken, or
// `fn` returns false.
#pragma once

#include "quorvane_proto.h"

#include <cstddef>
#include <cstdint>

template <class F> void fuzz_for_each_frame(const uint8_t *data, size_t size, F fn) {
    quorvane_framebuf fb;
    quorvane_framebuf_init(&fb);
    const uint8_t *in = data;
    size_t left = size;
    while (left) {
        const uint8_t *frame = nullptr;
        size_t len = 0;
        if (quorvane_framebuf_consume(&fb, &in, &left, &frame, &len) != 0 || !fn(frame, len)) break;
    }
    quorvane_framebuf_free(&fb);
}
