// zlib compression of buffers and of N_STR strings. A compressed string is the
// uncompressed size as 4 big-endian bytes, then one zlib stream (RFC 1950);
// n_lz4 uses the same header before a raw LZ4 block. The two streams carry no
// marker: the caller knows which one it holds. Results: a byte count (0 on
// failure) for the buffer functions, a new N_STR that the caller frees (null
// on failure) for the string ones; sources are never changed. Re-entrant:
// each call owns its stream.
#pragma once

#include "n_str.h"

#include <cstddef>
#include <cstdint>

constexpr size_t N_ZIP_HEADER_LEN = 4;               // big-endian uncompressed size
constexpr size_t N_ZIP_MAX_ORIGINAL = 0x10000000;    // 256 MiB: the largest declared size a decompressor allocates
constexpr size_t N_ZLIB_MAX_LEN = 0xFFFFFFFFu;       // zlib's 32-bit counts

// The size header of both formats.
inline uint32_t n_zip_header_get(const char *p) {
    const unsigned char *b = reinterpret_cast<const unsigned char *>(p);
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | uint32_t(b[3]);
}
inline void n_zip_header_put(char *p, uint32_t size) {
    for (int i = 0; i < 4; i++) p[i] = static_cast<char>(size >> (24 - 8 * i));
}

// The string a decompressor writes into, sized from the header of `src` (at
// least N_ZIP_HEADER_LEN bytes written): null, logged in the words of the
// algorithm, when the declared size is 0 or above N_ZIP_MAX_ORIGINAL, which
// is checked before anything is allocated.
[[nodiscard]] N_STR *n_zip_new_output(const N_STR *src, bool lz4);
// The string a compressor writes into: the header of `original` bytes, then
// `room` bytes. Null (logged) when it cannot be made.
[[nodiscard]] N_STR *n_zip_new_packed(uint32_t original, size_t room);

// One pass over the whole buffer: an output buffer that is too small is a
// failure, never a partial result.
size_t GetMaxCompressedLen(size_t nLenSrc);  // n + 5 x ceil(n / 16384) + 6
size_t CompressData(const unsigned char *abSrc, size_t nLenSrc, unsigned char *abDst, size_t nLenDst);    // deflate, default level
size_t UncompressData(const unsigned char *abSrc, size_t nLenSrc, unsigned char *abDst, size_t nLenDst);  // the stream must end inside

[[nodiscard]] N_STR *zip_nstr(N_STR *src);    // header + zlib stream of src's written bytes
[[nodiscard]] N_STR *unzip_nstr(N_STR *src);  // declared size above N_ZIP_MAX_ORIGINAL refused before allocating
