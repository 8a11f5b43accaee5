// What the signed-in session targets share: a session put straight into the
// signed-in state over a store and keys, and the input read as a run of
// records (a selector byte picking the frame type from the target's list, a
// 16-bit big-endian length, the payload), each handed to the dispatcher as one
// frame. `prefix` may put bytes in front of a payload (null: none).
#pragma once

#include "client_session.h"

#include <cstdint>
#include <vector>

inline quorvane_cs *fuzz_signed_in(quorvane_device_keys *keys, quorvane_msgstore *ms, const char *pin, const uint8_t user_id[16]) {
    quorvane_cs_config c{};
    c.host = "127.0.0.1";
    c.port = "1";
    c.user = "fuzz";
    c.password = "pw";
    c.pin_path = pin;
    c.keys = keys;
    c.store = ms;
    quorvane_cs *cs = quorvane_cs_new(&c);
    if (cs) quorvane_cs_test_signed_in(cs, user_id);
    return cs;
}

template <size_t N>
void fuzz_frames(quorvane_cs *cs, const uint8_t (&types)[N], const uint8_t *data, size_t size,
                 const std::vector<uint8_t> *(*prefix)(uint8_t type) = nullptr) {
    std::vector<uint8_t> payload, frame;
    size_t pos = 0;
    while (size - pos >= 3) {
        const uint8_t type = types[data[pos] % N];
        size_t len = static_cast<size_t>(data[pos + 1]) << 8 | data[pos + 2];
        pos += 3;
        if (len > size - pos) len = size - pos;
        payload.clear();
        if (const std::vector<uint8_t> *front = prefix ? prefix(type) : nullptr) payload = *front;
        payload.insert(payload.end(), data + pos, data + pos + len);
        frame.resize(QV_FRAME_HEADER_LEN + payload.size());
        size_t fl = 0;
        if (quorvane_frame_encode(type, payload.data(), payload.size(), frame.data(), frame.size(), &fl) == 0)
            handle_authed_frame(cs, frame.data(), fl);
        pos += len;
    }
}
