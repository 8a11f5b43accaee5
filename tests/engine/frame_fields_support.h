// Reading what a client sent, as a scripted server does: a frame's type, the
// first value of a tag, a big-endian number; and a byte pattern to send.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qvtest {

using bytes = std::vector<uint8_t>;

inline bytes pattern(size_t n, uint8_t seed) {
    bytes d(n);
    for (size_t i = 0; i < n; i++) d[i] = static_cast<uint8_t>(i * 31 + seed + (i >> 16));
    return d;
}

inline uint8_t type_of(const bytes &f) { return f.size() >= 8 ? f[3] : 0; }

// The value of the first TLV with `tag` in a frame the client sent.
inline bytes field(const bytes &f, uint8_t tag) {
    for (size_t pos = 8; pos + 5 <= f.size();) {
        const size_t n = size_t(f[pos + 1]) << 24 | size_t(f[pos + 2]) << 16 | size_t(f[pos + 3]) << 8 | f[pos + 4];
        if (pos + 5 + n > f.size()) break;
        if (f[pos] == tag) return bytes(f.begin() + pos + 5, f.begin() + pos + 5 + n);
        pos += 5 + n;
    }
    return {};
}

inline uint64_t u64_of(const bytes &v) {
    uint64_t r = 0;
    for (uint8_t c : v) r = r << 8 | c;
    return r;
}

}  // namespace qvtest
