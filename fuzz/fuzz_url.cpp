// Strict URLs from hostile text, one source for three targets chosen by
// FUZZ_URL: find (anything found parses and is a piece of the text), resolve
// (a resolved URL parses) and head (the head parser stays inside its input
// and its fields keep their forms). Every target also runs the parser over
// the whole input and checks the forms of what it accepts.
#include "n_ssrf.h"
#include "n_url_safe.h"

#include <cstring>
#include <memory>
#include <string_view>

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

#define STR2(x) #x
#define STR(x) STR2(x)
constexpr std::string_view kTarget = STR(FUZZ_URL);

void check_parsed(const N_URL_SAFE &u) {
    size_t hl = strnlen(u.host, sizeof u.host), pl = strnlen(u.path, sizeof u.path);
    check(hl >= 1 && hl <= N_URL_SAFE_HOST_MAX && pl >= 1 && pl <= N_URL_SAFE_PATH_MAX);
    check(u.path[0] == '/' && u.port != 0 && (u.is_https == 0 || u.is_https == 1));
    for (size_t i = 0; i < hl; i++) {
        unsigned char c = (unsigned char)u.host[i];
        check(c > 0x20 && c != '/' && c != '@' && c != '\\');
    }
    for (size_t i = 0; i < pl; i++) check((unsigned char)u.path[i] > 0x20 && u.path[i] != '#');
}

// The input in a buffer of exactly its size, so reading past it is caught.
std::unique_ptr<char[]> exact_copy(const uint8_t *data, size_t size) {
    std::unique_ptr<char[]> p(new char[size ? size : 1]);
    if (size) memcpy(p.get(), data, size);
    return p;
}

void fuzz_find(const char *t, size_t n) {
    // Output sizes around the ones callers use, and tiny ones.
    for (size_t cap : {size_t(1), size_t(9), size_t(64), size_t(1025), size_t(1100)}) {
        std::unique_ptr<char[]> out(new char[cap]);
        memset(out.get(), 0x55, cap);
        int r = n_url_safe_find(t, n, out.get(), cap);
        size_t len = strnlen(out.get(), cap);
        check(len < cap);
        if (!r) {
            check(len == 0);
            continue;
        }
        N_URL_SAFE u;
        check(n_url_safe_parse(out.get(), len, &u) == 1);
        check_parsed(u);
        check(std::string_view(t, n).find(std::string_view(out.get(), len)) != std::string_view::npos);
    }
}

void fuzz_resolve(const char *t, size_t n) {
    // First byte: where the base ends; the rest is base then reference.
    if (n < 1) return;
    size_t split = (unsigned char)t[0];
    if (split > n - 1) split = n - 1;
    const char *base = t + 1, *ref = t + 1 + split;
    size_t ref_len = n - 1 - split;
    for (size_t cap : {size_t(1), size_t(32), size_t(1040)}) {
        std::unique_ptr<char[]> out(new char[cap]);
        int r = n_url_safe_resolve(base, split, ref, ref_len, out.get(), cap);
        size_t len = strnlen(out.get(), cap);
        check(len < cap);
        if (r) {
            N_URL_SAFE u;
            check(n_url_safe_parse(out.get(), len, &u) == 1);
            check_parsed(u);
        }
    }
}

void fuzz_head(const char *t, size_t n) {
    N_URL_SAFE_HEAD h;
    if (!n_url_safe_head_parse(t, n, &h)) {
        check(h.status == 0 && h.head_len == 0 && h.content_length == -1);
        return;
    }
    check(h.head_len >= 4 && h.head_len <= n && h.head_len <= N_URL_SAFE_HEAD_MAX);
    check(memcmp(t + h.head_len - 4, "\r\n\r\n", 4) == 0);
    check(h.status >= 0 && h.status <= 999);
    check(h.content_length >= -1 && h.chunked >= 0 && h.chunked <= 1);
    size_t ll = strnlen(h.location, sizeof h.location), cl = strnlen(h.content_type, sizeof h.content_type);
    check(ll <= N_URL_SAFE_LOCATION_MAX && cl <= N_URL_SAFE_CTYPE_MAX);
    for (size_t i = 0; i < ll; i++) check((unsigned char)h.location[i] >= 0x20);
    for (size_t i = 0; i < cl; i++) {
        unsigned char c = (unsigned char)h.content_type[i];
        check(c > 0x20 && c != ';' && !(c >= 'A' && c <= 'Z'));
    }
    // A 16-byte view of the same buffer must find at most the same head.
    N_URL_SAFE_HEAD cut;
    if (n_url_safe_head_parse(t, n < 16 ? n : 16, &cut)) check(cut.head_len == h.head_len);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::unique_ptr<char[]> buf = exact_copy(data, size);
    const char *t = buf.get();
    N_URL_SAFE u;
    if (n_url_safe_parse(t, size, &u)) check_parsed(u);
    if (size >= 16) {
        uint8_t a[16];
        memcpy(a, data, 16);
        check(n_ssrf_ipv6_allowed(a) <= 1 && n_ssrf_ipv4_allowed(a) <= 1);
    }
    if (kTarget == "find") fuzz_find(t, size);
    else if (kTarget == "resolve") fuzz_resolve(t, size);
    else if (kTarget == "head") fuzz_head(t, size);
    return 0;
}
