// zlib wrappers: buffer to buffer in one pass, and N_STR strings behind a
// 4-byte size header.
#include "n_zlib.h"

#include "n_log.h"

#include <zlib.h>

size_t GetMaxCompressedLen(size_t nLenSrc) {
    const size_t blocks = (nLenSrc + 16383) / 16384;
    return nLenSrc + 5 * blocks + 6;
}

// The checks both directions share; false (logged) when the call must fail.
static bool buffers_usable(const unsigned char *abSrc, size_t nLenSrc, const unsigned char *abDst, size_t nLenDst) {
    N_ASSERT(abSrc, return false);
    N_ASSERT(abDst, return false);
    const char *why = nLenSrc == 0 ? "nLenSrc == 0"
                      : nLenDst == 0 ? "nLenDst == 0"
                      : nLenSrc > N_ZLIB_MAX_LEN ? "nLenSrc is bigger than UINT_MAX"
                      : nLenDst > N_ZLIB_MAX_LEN ? "nLenDst is bigger than UINT_MAX"
                                                 : nullptr;
    if (why) n_log(LOG_ERR, "%s", why);
    return why == nullptr;
}

// One deflate or inflate pass with Z_FINISH over the whole buffer; only a
// stream that reaches its end counts. The stream is always ended.
static size_t one_pass(bool compress, const unsigned char *abSrc, size_t nLenSrc, unsigned char *abDst,
                       size_t nLenDst) {
    if (!buffers_usable(abSrc, nLenSrc, abDst, nLenDst)) return 0;
    z_stream zs{};
    zs.next_in = const_cast<Bytef *>(abSrc);
    zs.avail_in = static_cast<uInt>(nLenSrc);
    zs.next_out = abDst;
    zs.avail_out = static_cast<uInt>(nLenDst);
    int rc = compress ? deflateInit(&zs, Z_DEFAULT_COMPRESSION) : inflateInit(&zs);
    if (rc == Z_OK) {
        rc = compress ? deflate(&zs, Z_FINISH) : inflate(&zs, Z_FINISH);
        // deflate out of room still says Z_OK: name it as inflate does
        if (rc == Z_OK) rc = Z_BUF_ERROR;
        if (compress) deflateEnd(&zs);
        else inflateEnd(&zs);
        if (rc == Z_STREAM_END) return zs.total_out;
    }
    n_log(LOG_ERR, "%s on string %p size %zu", zError(rc), static_cast<const void *>(abSrc), nLenSrc);
    return 0;
}

size_t CompressData(const unsigned char *abSrc, size_t nLenSrc, unsigned char *abDst, size_t nLenDst) {
    return one_pass(true, abSrc, nLenSrc, abDst, nLenDst);
}

size_t UncompressData(const unsigned char *abSrc, size_t nLenSrc, unsigned char *abDst, size_t nLenDst) {
    return one_pass(false, abSrc, nLenSrc, abDst, nLenDst);
}

// Room for deflate's output: the published bound, or zlib's own bound when
// that is larger. zlib promises only its own; deflate at the default level
// can exceed the published one (Python's zlib, which feeds deflate a chunked
// output buffer, makes 16397 bytes of 16384 random ones, above 16395).
static size_t deflate_room(size_t n) {
    const size_t published = GetMaxCompressedLen(n);
    const size_t zlib_bound = compressBound(static_cast<uLong>(n));
    return zlib_bound > published ? zlib_bound : published;
}

N_STR *n_zip_new_packed(uint32_t original, size_t room) {
    N_STR *zipped = new_nstr(N_ZIP_HEADER_LEN + room);
    N_ASSERT(zipped, return nullptr);
    N_ASSERT(zipped->data, {
        free_nstr_nolog(&zipped);
        return nullptr;
    });
    n_zip_header_put(zipped->data, original);
    return zipped;
}

N_STR *zip_nstr(N_STR *src) {
    N_ASSERT(src, return nullptr);
    N_ASSERT(src->data, return nullptr);
    const char *why = src->length == 0 ? "length of src == 0"
                      : src->written == 0 ? "written of src == 0"
                      : src->length > N_ZLIB_MAX_LEN ? "length of src > UINT_MAX"
                      : src->written > N_ZLIB_MAX_LEN ? "written of src > UINT_MAX"
                                                      : nullptr;
    if (why) {
        n_log(LOG_ERR, "%s", why);
        return nullptr;
    }
    const size_t room = deflate_room(src->written);
    N_STR *zipped = n_zip_new_packed(static_cast<uint32_t>(src->written), room);
    if (!zipped) return nullptr;
    const size_t n = CompressData(reinterpret_cast<const unsigned char *>(src->data), src->written,
                                  reinterpret_cast<unsigned char *>(zipped->data) + N_ZIP_HEADER_LEN, room);
    if (n == 0) {
        n_log(LOG_ERR, "unable to zip string %p  %zu/%zu bytes", static_cast<void *>(src->data), src->written,
              src->length);
        free_nstr_nolog(&zipped);
        return nullptr;
    }
    zipped->written = n + N_ZIP_HEADER_LEN;
    n_log(LOG_DEBUG, "zip :%zu original: %zu", zipped->written, src->written);
    return zipped;
}

N_STR *n_zip_new_output(const N_STR *src, bool lz4) {
    const uint32_t original_size = n_zip_header_get(src->data);
    if (original_size == 0) {
        if (lz4) n_log(LOG_ERR, "lz4 frame declares original_size == 0");
        else n_log(LOG_ERR, "original_size == 0");
        return nullptr;
    }
    if (original_size > N_ZIP_MAX_ORIGINAL) {
        if (lz4) n_log(LOG_ERR, "lz4 frame declares absurd original_size %u", original_size);
        else n_log(LOG_ERR, "decompressed size too large: %u", original_size);
        return nullptr;
    }
    N_STR *unzipped = new_nstr(original_size);
    N_ASSERT(unzipped, return nullptr);
    N_ASSERT(unzipped->data, {
        free_nstr_nolog(&unzipped);
        return nullptr;
    });
    return unzipped;
}

N_STR *unzip_nstr(N_STR *src) {
    N_ASSERT(src, return nullptr);
    N_ASSERT(src->data, return nullptr);
    const char *why = src->length == 0 ? "length of src == 0"
                      : src->written == 0 ? "written of src == 0"
                      : src->written < N_ZIP_HEADER_LEN ? "compressed data too short"
                                                        : nullptr;
    if (why) {
        n_log(LOG_ERR, "%s", why);
        return nullptr;
    }
    N_STR *unzipped = n_zip_new_output(src, false);
    if (!unzipped) return nullptr;
    const uint32_t original_size = n_zip_header_get(src->data);
    const size_t n = UncompressData(reinterpret_cast<const unsigned char *>(src->data) + N_ZIP_HEADER_LEN,
                                    src->written - N_ZIP_HEADER_LEN,
                                    reinterpret_cast<unsigned char *>(unzipped->data), original_size);
    if (n == 0) {
        n_log(LOG_ERR, "unable to unzip string %p  %zu/%zu bytes", static_cast<void *>(unzipped->data), size_t{0},
              size_t{original_size});
        free_nstr_nolog(&unzipped);
        return nullptr;
    }
    unzipped->written = n;
    n_log(LOG_DEBUG, "Size: zip: %zu => unzip :%zu original:%u", src->written, unzipped->written, original_size);
    return unzipped;
}
