// Link-preview extraction over hostile pages: every field is NUL-terminated,
// within its limit, well-formed UTF-8 without control bytes, folded (no
// leading, trailing or doubled space), its flag says whether it is empty, and
// the result is 1 exactly when a flag is set. The page sits in a buffer of
// exactly its size, so reading past it is caught.
#include "quorvane_html.h"

#include <cstring>
#include <memory>

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

// Well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool utf8_ok(const unsigned char *s, size_t n) {
    size_t i = 0;
    while (i < n) {
        unsigned char c = s[i];
        size_t k;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c < 0x80) k = 0;
        else if (c >= 0xC2 && c <= 0xDF) k = 1;
        else if (c == 0xE0) k = 2, lo = 0xA0;
        else if (c == 0xED) k = 2, hi = 0x9F;
        else if (c >= 0xE1 && c <= 0xEF) k = 2;
        else if (c == 0xF0) k = 3, lo = 0x90;
        else if (c == 0xF4) k = 3, hi = 0x8F;
        else if (c >= 0xF1 && c <= 0xF3) k = 3;
        else return false;
        if (i + k >= n) return false;
        for (size_t j = 1; j <= k; j++) {
            if (s[i + j] < lo || s[i + j] > hi) return false;
            lo = 0x80, hi = 0xBF;
        }
        i += k + 1;
    }
    return true;
}

void check_field(const char *f, size_t cap, int flag) {
    size_t n = strnlen(f, cap);
    check(n < cap);
    check((flag != 0) == (n > 0) && (flag == 0 || flag == 1));
    const unsigned char *u = reinterpret_cast<const unsigned char *>(f);
    check(utf8_ok(u, n));
    for (size_t i = 0; i < n; i++) check(u[i] >= 0x20);
    if (n) check(u[0] != ' ' && u[n - 1] != ' ');
    check(!memmem(f, n, "  ", 2));
    for (size_t i = n; i < cap; i++) check(f[i] == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::unique_ptr<char[]> page(new char[size ? size : 1]);
    if (size) memcpy(page.get(), data, size);
    quorvane_link_preview p;
    memset(&p, 0x5A, sizeof p);
    int r = quorvane_html_extract_preview(page.get(), size, &p);
    check_field(p.title, sizeof p.title, p.has_title);
    check_field(p.description, sizeof p.description, p.has_description);
    check_field(p.image_url, sizeof p.image_url, p.has_image);
    check(r == ((p.has_title || p.has_description || p.has_image) ? 1 : 0));
    return 0;
}
