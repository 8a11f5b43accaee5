// Base64 of RFC 4648 (standard alphabet, "=" padding, no line breaks) over
// N_STR, and locale-independent ASCII character classes. Results: 1/0 for the
// classes, a length (0 on failure), or a new N_STR that belongs to the caller
// (_free_nstr) and is null on failure.
#pragma once

#include "n_str.h"

#include <cstddef>

// ASCII letters only: bytes 0x80 to 0xFF are never letters whatever the
// locale. Only the low 8 bits of the argument are examined.
int    n_isupper(int c);
int    n_islower(int c);
int    n_isalpha(int c);
int    n_toupper(int c);                                // c - 32 for a-z, else c unchanged
int    n_tolower(int c);                                // c + 32 for A-Z, else c unchanged

// Decoding reads the leading alphabet characters of the buffer and stops at
// the first other byte ("=", a line break, the terminator); the rest is
// ignored. The spare low bits of the last character are not examined.
size_t n_base64_encode_len(N_STR *string);              // 4 * ceil(written / 3) + 1, terminator included
size_t n_base64_decode_len(N_STR *string);              // 3 * ceil(n / 4) for n alphabet characters
[[nodiscard]] N_STR *n_base64_encode(N_STR *input);     // of the input's written bytes
[[nodiscard]] N_STR *n_base64_decode(N_STR *input);     // input must be terminated at written
