// Hexadecimal encoding and decoding.
#include "n_hex.h"

#include <cstdint>
#include <cstdlib>

// Twice the length plus the terminator must fit in a size.
constexpr size_t N_HEX_MAX_INPUT = (SIZE_MAX - 1) / 2;

static_assert(sizeof n_hex_digits == 17);

// -1 for anything that is not a hex digit.
static int nibble(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The C locale's space class, fixed here so a caller's locale cannot change
// what a hex text means.
static bool is_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

static void put_digits(char *out, const unsigned char *in, size_t len) {
    for (size_t i = 0; i < len; i++) {
        out[2 * i] = n_hex_digits[in[i] >> 4];
        out[2 * i + 1] = n_hex_digits[in[i] & 0x0F];
    }
    out[2 * len] = '\0';
}

N_STR *n_hex_encode(const void *data, size_t len) {
    if (!data && len) {
        n_log(LOG_ERR, "n_hex_encode: NULL data with len %zu", len);
        return nullptr;
    }
    if (len > N_HEX_MAX_INPUT) {
        n_log(LOG_ERR, "n_hex_encode: input length %zu too large", len);
        return nullptr;
    }
    N_STR *out = new_nstr(2 * len + 1);
    N_ASSERT(out, return nullptr);
    put_digits(out->data, static_cast<const unsigned char *>(data), len);
    out->written = 2 * len;
    return out;
}

size_t n_hex_encode_to(char *out, size_t out_size, const void *data, size_t len) {
    N_ASSERT(out, return 0);
    if (!data && len) {
        n_log(LOG_ERR, "n_hex_encode_to: NULL data with len %zu", len);
        return 0;
    }
    if (len > N_HEX_MAX_INPUT) {
        n_log(LOG_ERR, "n_hex_encode_to: input length %zu too large", len);
        return 0;
    }
    if (out_size < 2 * len + 1) {
        n_log(LOG_ERR, "n_hex_encode_to: buffer %zu too small for %zu bytes", out_size, len);
        return 0;
    }
    put_digits(out, static_cast<const unsigned char *>(data), len);
    return 2 * len;
}

// Two passes: the first validates and counts, so the buffer is allocated once
// at its exact size and nothing is allocated for a malformed text.
unsigned char *n_hex_decode(const char *hex, size_t *out_len) {
    if (out_len) *out_len = 0;
    N_ASSERT(hex, return nullptr);
    size_t count = 0;
    for (size_t i = 0; hex[i]; i++) {
        unsigned char c = (unsigned char)hex[i];
        if (is_space(c)) continue;
        if (nibble(c) < 0) {
            n_log(LOG_ERR, "n_hex_decode: invalid hex character 0x%02x at offset %zu", c, i);
            return nullptr;
        }
        count++;
    }
    if (count % 2) {
        n_log(LOG_ERR, "n_hex_decode: odd hex digit count %zu", count);
        return nullptr;
    }
    unsigned char *buf = n_calloc(buf, count / 2 + 1, unsigned char);
    N_ASSERT(buf, return nullptr);
    size_t pos = 0;
    int high = -1;
    for (size_t i = 0; hex[i]; i++) {
        unsigned char c = (unsigned char)hex[i];
        if (is_space(c)) continue;
        if (high < 0) {
            high = nibble(c);
        } else {
            buf[pos++] = (unsigned char)((high << 4) | nibble(c));
            high = -1;
        }
    }
    if (out_len) *out_len = count / 2;
    return buf;
}

int n_hex_decode_to(unsigned char *out, size_t out_size, const char *hex, size_t nbytes) {
    N_ASSERT(out, return 0);
    N_ASSERT(hex, return 0);
    if (out_size < nbytes) {
        n_log(LOG_ERR, "n_hex_decode_to: buffer %zu too small for %zu bytes", out_size, nbytes);
        return 0;
    }
    // The high digit is checked before the low one is read, so a text that
    // ends early stops at its terminator.
    for (size_t i = 0; i < nbytes; i++) {
        int hi = nibble((unsigned char)hex[2 * i]);
        if (hi < 0) return 0;
        int lo = nibble((unsigned char)hex[2 * i + 1]);
        if (lo < 0) return 0;
        out[i] = (unsigned char)((hi << 4) | lo);
    }
    return 1;
}
