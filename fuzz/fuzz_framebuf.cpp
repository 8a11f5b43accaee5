// Frame reassembly over a stream cut into chunks that the input itself picks.
// Input: byte 0 = count k-1 of chunk sizes (k <= 16), then k size bytes
// (0 = a call with no input, b < 128 = b bytes, else (b - 127) * 97 bytes),
// then one byte that arms one allocation failure when odd, then the stream.
// Every delivered frame must be the next whole frame of the stream, handed
// out exactly when its last byte is taken; errors must match a plain walk of
// the stream and stick.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "n_log.h"
#include "quorvane_proto.h"

namespace {

uint32_t be32(const uint8_t *p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }

// Frame ends of the stream and the error that stops it (0 when none).
struct Walk {
    std::vector<size_t> ends;
    int error = 0;
    size_t error_at = 0;
};

Walk walk(const uint8_t *s, size_t n) {
    Walk w;
    size_t o = 0;
    while (n - o >= 8) {
        const uint32_t len = be32(s + o + 4);
        if (s[o] != 'H' || s[o + 1] != 'R') w.error = -3;
        else if (len > (1u << 20)) w.error = -4;
        if (w.error) {
            w.error_at = o;
            break;
        }
        if (n - o - 8 < len) break;
        o += 8 + len;
        w.ends.push_back(o);
    }
    return w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const size_t k = std::min<size_t>(data[0] % 16 + 1, size - 1);
    if (size < 2 + k) return 0;
    std::vector<size_t> plan;
    for (size_t i = 0; i < k; i++) {
        const uint8_t b = data[1 + i];
        plan.push_back(b < 128 ? b : size_t(b - 127) * 97);
    }
    if (*std::max_element(plan.begin(), plan.end()) == 0) plan[0] = 1;
    const bool fail_alloc = data[1 + k] & 1;
    const uint8_t *stream = data + 2 + k;
    const size_t stream_len = size - 2 - k;
    const Walk ref = walk(stream, stream_len);

    quorvane_framebuf fb;
    quorvane_framebuf_init(&fb);
    n_alloc_fail_after(fail_alloc ? data[1 + k] % 5 / 2 : -1);
    size_t fed = 0, got = 0, step = 0;
    int sticky = 0;
    const uint8_t *f = nullptr;
    size_t fl = 0;
    while (fed < stream_len && !sticky) {
        const size_t chunk = std::min(plan[step++ % plan.size()], stream_len - fed);
        // An exact-size copy, so a read past the chunk is caught.
        std::unique_ptr<uint8_t[]> block(new uint8_t[chunk]);
        if (chunk) std::memcpy(block.get(), stream + fed, chunk);
        const uint8_t *p = block.get();
        size_t n = chunk;
        do {
            const uint8_t *before = p;
            const size_t n_before = n;
            const int rc = quorvane_framebuf_consume(&fb, &p, &n, &f, &fl);
            if (n > n_before || p < before || size_t(p - before) != n_before - n) __builtin_trap();
            fed += n_before - n;
            if (rc == 0) {
                const size_t start = got ? ref.ends[got - 1] : 0;
                if (got >= ref.ends.size() || fed != ref.ends[got]) __builtin_trap();
                if (fl != ref.ends[got] - start || fl != 8 + size_t{be32(f + 4)}) __builtin_trap();
                if (std::memcmp(f, stream + start, fl) != 0) __builtin_trap();
                got++;
            } else if (rc == -2) {
                if (n != 0) __builtin_trap();
            } else if (rc == -3 || rc == -4) {
                if (rc != ref.error || fed != ref.error_at + 8) __builtin_trap();
                sticky = rc;
                const size_t left = n;
                if (quorvane_framebuf_consume(&fb, &p, &n, &f, &fl) != rc || n != left) __builtin_trap();
                break;
            } else if (rc != -1 || !fail_alloc) {
                __builtin_trap();
            }
        } while (n > 0);
    }
    if (!sticky) {
        // A growth that failed on the last bytes is retried with no input.
        size_t none = 0;
        const uint8_t *p = nullptr;
        if (quorvane_framebuf_consume(&fb, &p, &none, &f, &fl) == 0) {
            if (got >= ref.ends.size() || fed != ref.ends[got]) __builtin_trap();
            got++;
        }
    }
    if (got != ref.ends.size() || sticky != ref.error) __builtin_trap();
    n_alloc_fail_after(-1);
    quorvane_framebuf_free(&fb);
    return 0;
}
