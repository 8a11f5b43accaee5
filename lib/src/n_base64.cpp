// Base64 and ASCII character classes.
#include "n_base64.h"

#include <array>
#include <cstdint>

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static_assert(sizeof alphabet == 65);
constexpr uint8_t NOT_BASE64 = 64;

constexpr std::array<uint8_t, 256> make_decode_table() {
    std::array<uint8_t, 256> t{};
    for (auto &v : t) v = NOT_BASE64;
    for (uint8_t i = 0; i < 64; i++) t[(unsigned char)alphabet[i]] = i;
    return t;
}
constexpr std::array<uint8_t, 256> decode_table = make_decode_table();

constexpr std::array<uint8_t, 256> make_class_table(char first, char last) {
    std::array<uint8_t, 256> t{};
    for (int c = first; c <= last; c++) t[(size_t)c] = 1;
    return t;
}
constexpr std::array<uint8_t, 256> upper_table = make_class_table('A', 'Z');
constexpr std::array<uint8_t, 256> lower_table = make_class_table('a', 'z');

// Largest input whose encoding, padding and terminator still fit in a size.
constexpr size_t ENCODE_MAX = (SIZE_MAX - 2) / 4 * 3;

// Counts the alphabet characters before the first other byte; false when the
// run reaches `written` and the terminator is not there, since reading on
// would leave the string's content.
bool coded_length(const N_STR *s, size_t *n) {
    size_t i = 0;
    while (i < s->written && decode_table[(unsigned char)s->data[i]] != NOT_BASE64) i++;
    if (i == s->written && (s->written >= s->length || decode_table[(unsigned char)s->data[i]] != NOT_BASE64))
        return false;
    *n = i;
    return true;
}

size_t decoded_room(size_t n) { return n / 4 * 3 + (n % 4 ? 3 : 0); }

}  // namespace

int n_isupper(int c) { return upper_table[(unsigned)c & 0xFF]; }
int n_islower(int c) { return lower_table[(unsigned)c & 0xFF]; }
int n_isalpha(int c) { return n_isupper(c) || n_islower(c); }
int n_toupper(int c) { return n_islower(c) ? c - 32 : c; }
int n_tolower(int c) { return n_isupper(c) ? c + 32 : c; }

size_t n_base64_encode_len(N_STR *string) {
    N_ASSERT(string, return 0);
    if (string->written > ENCODE_MAX) return 0;
    return (string->written + 2) / 3 * 4 + 1;
}

N_STR *n_base64_encode(N_STR *input) {
    N_ASSERT(input, return nullptr);
    const size_t n = input->written;
    N_ASSERT(n == 0 || input->data, return nullptr);
    if (n > ENCODE_MAX) {
        n_log(LOG_ERR, "n_base64_encode: input of %zu bytes is too large", n);
        return nullptr;
    }
    N_STR *encoded = new_nstr((n + 2) / 3 * 4 + 1);
    N_ASSERT(encoded, return nullptr);
    const auto *in = reinterpret_cast<const unsigned char *>(input->data);
    char *out = encoded->data;
    size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const uint32_t v = (uint32_t)in[i] << 16 | (uint32_t)in[i + 1] << 8 | in[i + 2];
        *out++ = alphabet[v >> 18];
        *out++ = alphabet[(v >> 12) & 63];
        *out++ = alphabet[(v >> 6) & 63];
        *out++ = alphabet[v & 63];
    }
    if (n - i == 1) {
        *out++ = alphabet[in[i] >> 2];
        *out++ = alphabet[(in[i] & 3) << 4];
        *out++ = '=';
        *out++ = '=';
    } else if (n - i == 2) {
        const uint32_t v = (uint32_t)in[i] << 8 | in[i + 1];
        *out++ = alphabet[v >> 10];
        *out++ = alphabet[(v >> 4) & 63];
        *out++ = alphabet[(v << 2) & 63];
        *out++ = '=';
    }
    *out = '\0';
    encoded->written = (size_t)(out - encoded->data);
    return encoded;
}

size_t n_base64_decode_len(N_STR *string) {
    N_ASSERT(string, return 0);
    N_ASSERT(string->data, return 0);
    size_t n;
    if (!coded_length(string, &n)) {
        n_log(LOG_ERR, "could not detect end of encoded string for N_STR %p", (void *)string);
        return 0;
    }
    return decoded_room(n);
}

N_STR *n_base64_decode(N_STR *bufcoded) {
    N_ASSERT(bufcoded, return nullptr);
    N_ASSERT(bufcoded->data, return nullptr);
    size_t n;
    if (!coded_length(bufcoded, &n)) {
        n_log(LOG_ERR, "could not detect end of bufcoded string for N_STR %p", (void *)bufcoded);
        return nullptr;
    }
    const size_t room = decoded_room(n);
    // One byte more than the content keeps `written` below `length`, and an
    // empty result still gets a buffer.
    N_STR *bufplain = new_nstr(room + 1);
    N_ASSERT(bufplain, return nullptr);
    const auto *in = reinterpret_cast<const unsigned char *>(bufcoded->data);
    auto *out = reinterpret_cast<unsigned char *>(bufplain->data);
    size_t i = 0;
    for (; n - i > 4; i += 4) {
        const uint32_t v = (uint32_t)decode_table[in[i]] << 18 | (uint32_t)decode_table[in[i + 1]] << 12 |
                           (uint32_t)decode_table[in[i + 2]] << 6 | decode_table[in[i + 3]];
        *out++ = (unsigned char)(v >> 16);
        *out++ = (unsigned char)(v >> 8);
        *out++ = (unsigned char)v;
    }
    // The last group of one to four characters: r characters give r - 1 bytes.
    const size_t r = n - i;
    uint32_t v = 0;
    for (size_t k = 0; k < 4; k++) v = v << 6 | (k < r ? decode_table[in[i + k]] : 0);
    for (size_t k = 0; k + 1 < r; k++) *out++ = (unsigned char)(v >> (16 - 8 * k));
    *out = '\0';
    bufplain->written = (size_t)(out - reinterpret_cast<unsigned char *>(bufplain->data));
    return bufplain;
}
