// LZ4 block wrappers for N_STR strings, behind n_zlib's 4-byte size header.
#include "n_lz4.h"

#include "n_log.h"

#include <lz4.h>

N_STR *zip4_nstr(N_STR *src) {
    N_ASSERT(src, return nullptr);
    N_ASSERT(src->data, return nullptr);
    const char *why = src->length == 0 ? "length of src == 0"
                      : src->written == 0 ? "written of src == 0"
                      : src->written > N_LZ4_MAX_INPUT ? "written of src > INT_MAX"
                                                       : nullptr;
    if (why) {
        n_log(LOG_ERR, "%s", why);
        return nullptr;
    }
    const int src_len = static_cast<int>(src->written);
    const int bound = LZ4_compressBound(src_len);
    if (bound <= 0) {
        n_log(LOG_ERR, "LZ4_compressBound(%d) failed", src_len);
        return nullptr;
    }
    N_STR *zipped = n_zip_new_packed(static_cast<uint32_t>(src->written), static_cast<size_t>(bound));
    if (!zipped) return nullptr;
    const int n = LZ4_compress_default(src->data, zipped->data + N_ZIP_HEADER_LEN, src_len, bound);
    if (n <= 0) {
        n_log(LOG_ERR, "LZ4_compress_default failed (src=%d bytes)", src_len);
        free_nstr_nolog(&zipped);
        return nullptr;
    }
    zipped->written = static_cast<size_t>(n) + N_ZIP_HEADER_LEN;
    n_log(LOG_DEBUG, "lz4 zip: %d -> %zu (header incl.)", src_len, zipped->written);
    return zipped;
}

N_STR *unzip4_nstr(N_STR *src) {
    N_ASSERT(src, return nullptr);
    N_ASSERT(src->data, return nullptr);
    if (src->written < N_ZIP_HEADER_LEN) {
        n_log(LOG_ERR, "compressed data too short (%zu bytes)", src->written);
        return nullptr;
    }
    N_STR *unzipped = n_zip_new_output(src, true);
    if (!unzipped) return nullptr;
    const uint32_t original_size = n_zip_header_get(src->data);
    const size_t payload = src->written - N_ZIP_HEADER_LEN;
    if (payload > N_LZ4_MAX_INPUT) {
        n_log(LOG_ERR, "compressed payload > INT_MAX");
        free_nstr_nolog(&unzipped);
        return nullptr;
    }
    const int n = LZ4_decompress_safe(src->data + N_ZIP_HEADER_LEN, unzipped->data, static_cast<int>(payload),
                                      static_cast<int>(original_size));
    if (n < 0) {
        n_log(LOG_ERR, "LZ4_decompress_safe failed (compressed=%zu, original=%u)", payload, original_size);
        free_nstr_nolog(&unzipped);
        return nullptr;
    }
    // LZ4 copies in wide strides and may leave bytes of a later sequence past
    // the end of what it decoded: the terminator is written back over them.
    unzipped->written = static_cast<size_t>(n);
    unzipped->data[unzipped->written] = '\0';
    n_log(LOG_DEBUG, "lz4 unzip: %zu -> %zu (original=%u)", src->written, unzipped->written, original_size);
    return unzipped;
}
