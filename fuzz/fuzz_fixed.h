// Fixed keys the new targets' seed corpora were sealed under, and the checks
// they share. Not secrets: test material only.
#pragma once

#include <cstddef>
#include <cstdint>

inline void fuzz_check(bool ok) {
    if (!ok) __builtin_trap();
}

// The bytes are i * step + start, so every key differs from every other.
template <uint8_t Start, uint8_t Step, size_t N> const uint8_t *fuzz_fixed() {
    static const struct Bytes {
        uint8_t b[N];
        Bytes() {
            for (size_t i = 0; i < N; i++) b[i] = static_cast<uint8_t>(Start + Step * i);
        }
    } bytes;
    return bytes.b;
}
inline const uint8_t *fuzz_conv_key() { return fuzz_fixed<0x20, 1, 32>(); }     // envelopes
inline const uint8_t *fuzz_blob_key() { return fuzz_fixed<0x40, 3, 32>(); }     // blob chunks and streams
inline const uint8_t *fuzz_blob_salt() { return fuzz_fixed<0x60, 5, 16>(); }
inline const uint8_t *fuzz_blob_id() { return fuzz_fixed<0x80, 7, 16>(); }
inline const uint8_t *fuzz_box_priv() { return fuzz_fixed<0xA0, 11, 32>(); }   // the sealed box's recipient
inline const uint8_t *fuzz_token_secret() { return fuzz_fixed<0xC0, 13, 32>(); }

// After a refused open every output byte is either wiped (0) or still the fill (0xAA).
inline bool fuzz_wiped_or_untouched(const uint8_t *p, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (p[i] != 0 && p[i] != 0xAA) return false;
    return true;
}
