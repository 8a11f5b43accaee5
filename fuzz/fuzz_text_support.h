// What the text fuzz targets share: a trap on a broken promise and a strict
// UTF-8 check for the "never splits a character" invariants.
#pragma once

#include <cstddef>
#include <string_view>

inline void check(bool ok) {
    if (!ok) __builtin_trap();
}

inline bool valid_utf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t n = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        if (!n || i + n > s.size()) return false;
        const unsigned char c1 = static_cast<unsigned char>(s[i + (n > 1)]);
        if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F) || (c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 > 0x8F))
            return false;
        for (size_t k = 1; k < n; k++)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}
