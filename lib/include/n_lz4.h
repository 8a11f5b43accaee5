// LZ4 block compression of N_STR strings, behind the 4-byte big-endian size
// header of n_zlib (a raw block, no LZ4 frame). Results: a new N_STR that the
// caller frees, null on failure; sources are never changed. Re-entrant.
#pragma once

#include "n_str.h"
#include "n_zlib.h"

constexpr size_t N_LZ4_MAX_INPUT = 0x7FFFFFFF;  // LZ4 counts in signed 32 bits

[[nodiscard]] N_STR *zip4_nstr(N_STR *src);    // header + one LZ4 block of src's written bytes
[[nodiscard]] N_STR *unzip4_nstr(N_STR *src);  // a block that yields fewer bytes than declared is accepted
