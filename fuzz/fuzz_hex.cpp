// Hex decoding of any text: the whitespace-skipping decoder and the exact
// fixed-length one, against a plain reading of the rules (digits of either
// case, the six ASCII whitespace characters skipped, an even digit count).
// What decodes encodes back to the digits it came from, in lower case.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_fixed.h"
#include "n_hex.h"

namespace {

int digit(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
bool space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));
    std::string digits;
    bool valid = true;
    for (unsigned char c : text) {
        if (space(c)) continue;
        if (digit(c) < 0) valid = false;
        digits += static_cast<char>(tolower(c));
    }
    valid = valid && digits.size() % 2 == 0;

    size_t len = 12345;
    unsigned char *out = n_hex_decode(text.c_str(), &len);
    fuzz_check((out != nullptr) == valid);
    if (out) {
        fuzz_check(len == digits.size() / 2 && out[len] == 0);
        std::vector<char> back(2 * len + 1);
        fuzz_check(n_hex_encode_to(back.data(), back.size(), out, len) == 2 * len);
        fuzz_check(digits == std::string(back.data(), 2 * len));
        free(out);
    } else {
        fuzz_check(len == 0);
    }

    // exact form: the first 2 * n characters, every one a digit
    const size_t n = text.size() / 2;
    std::vector<unsigned char> exact(n + 1, 0xAA);
    const int rc = n_hex_decode_to(exact.data(), exact.size(), text.c_str(), n);
    bool all_digits = true;
    for (size_t i = 0; i < 2 * n; i++) all_digits = all_digits && digit(static_cast<unsigned char>(text[i])) >= 0;
    fuzz_check(rc == (all_digits ? 1 : 0));
    if (rc == 1)
        for (size_t i = 0; i < n; i++)
            fuzz_check(exact[i] == (digit(static_cast<unsigned char>(text[2 * i])) << 4 |
                                    digit(static_cast<unsigned char>(text[2 * i + 1]))));
    fuzz_check(exact[n] == 0xAA);
    return 0;
}
