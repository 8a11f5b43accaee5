// Hexadecimal text from bytes and back. Encoding writes lower-case digits,
// high nibble first; decoding accepts either case. Results: 1 success, 0
// failure, a count, or a pointer that is null on failure. The encoder's N_STR
// and the decoder's buffer belong to the caller (n_hex_decode's with free()).
#pragma once

#include "n_str.h"

#include <cstddef>

inline constexpr char n_hex_digits[] = "0123456789abcdef";

[[nodiscard]] N_STR *n_hex_encode(const void *data, size_t len);                              // null data only with len 0
size_t n_hex_encode_to(char *out, size_t out_size, const void *data, size_t len);             // digits written (2 * len), 0 on failure; needs 2 * len + 1
[[nodiscard]] unsigned char *n_hex_decode(const char *hex, size_t *out_len);                  // skips whitespace; zero byte appended; *out_len 0 on failure
[[nodiscard]] int n_hex_decode_to(unsigned char *out, size_t out_size, const char *hex, size_t nbytes);  // exactly 2 * nbytes digits, no whitespace, no terminator
