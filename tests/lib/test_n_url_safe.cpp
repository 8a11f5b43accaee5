// Strict URLs: the parser, the response-head parser, the resolver and the
// finder on the listed cases and their limits.
#include "n_url_safe.h"

#include "qv_test_support.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

struct ParseCase {
    std::string url;
    int ok;
    int https;
    unsigned port;
    const char *host;
    const char *path;
};

const std::vector<ParseCase> &parse_cases() {
    static const std::vector<ParseCase> v = {
        {"http://a", 1, 0, 80, "a", "/"},
        {"https://", 0, 0, 0, "", ""},
        {"https://a", 1, 1, 443, "a", "/"},
        {"HTTPS://HostA", 1, 1, 443, "HostA", "/"},
        {"hTtP://h/x", 1, 0, 80, "h", "/x"},
        {"http:/a", 0, 0, 0, "", ""},
        {"ftp://host/", 0, 0, 0, "", ""},
        {"http://user@host/", 0, 0, 0, "", ""},
        {"http://host/a@b", 1, 0, 80, "host", "/a@b"},
        {"http://:80/", 0, 0, 0, "", ""},
        {"http://h:0/", 0, 0, 0, "", ""},
        {"http://h:00000/", 0, 0, 0, "", ""},
        {"http://h:65536/", 0, 0, 0, "", ""},
        {"http://h:123456/", 0, 0, 0, "", ""},
        {"http://h:/", 0, 0, 0, "", ""},
        {"http://h:00080/", 1, 0, 80, "h", "/"},
        {"http://h:65535/", 1, 0, 65535, "h", "/"},
        {"https://h:8o/", 0, 0, 0, "", ""},
        {"http://[::1]:8080/x", 1, 0, 8080, "::1", "/x"},
        {"http://[::1]", 1, 0, 80, "::1", "/"},
        {"http://[]/", 0, 0, 0, "", ""},
        {"http://[::1/", 0, 0, 0, "", ""},
        {"http://[::1]x/", 0, 0, 0, "", ""},
        {"http://[::1]:/", 0, 0, 0, "", ""},
        {"http://host?q=1#frag", 1, 0, 80, "host", "/?q=1"},
        {"http://host#frag", 1, 0, 80, "host", "/"},
        {"http://host/p#f g", 1, 0, 80, "host", "/p"},  // the fragment is dropped unchecked
        {"http://host/a b", 0, 0, 0, "", ""},
        {"http://ho st/", 0, 0, 0, "", ""},
        {"http://h\\x/", 0, 0, 0, "", ""},
        {"http://h\x7f\xc3\xa9/\x7f\xff", 1, 0, 80, "h\x7f\xc3\xa9", "/\x7f\xff"},
        {std::string("http://h/\0", 10), 0, 0, 0, "", ""},
        {std::string("http://h\0/", 10), 0, 0, 0, "", ""},
        {"http://h/\t", 0, 0, 0, "", ""},
        {"http://" + std::string(253, 'a') + "/", 1, 0, 80, nullptr, "/"},
        {"http://" + std::string(254, 'a') + "/", 0, 0, 0, "", ""},
        {"http://h/" + std::string(1023, 'p'), 1, 0, 80, "h", nullptr},  // 1024-byte path
        {"http://h/" + std::string(1024, 'p'), 0, 0, 0, "", ""},
        {"http://h?" + std::string(1022, 'q'), 1, 0, 80, "h", nullptr},  // "/" added: 1024 bytes
        {"http://h?" + std::string(1023, 'q'), 0, 0, 0, "", ""},
        {"http://h/" + std::string(1030, 'p') + "#", 0, 0, 0, "", ""},
        {"http://h/" + std::string(1023, 'p') + "#" + std::string(7, 'f'), 1, 0, 80, "h", nullptr},  // 1040 bytes
        {"http://h/" + std::string(1023, 'p') + "#" + std::string(8, 'f'), 0, 0, 0, "", ""},          // 1041
    };
    return v;
}

TEST(UrlSafeParse, Cases) {
    for (const auto &c : parse_cases()) {
        SCOPED_TRACE(c.url.size() > 80 ? c.url.substr(0, 40) + "... (" + std::to_string(c.url.size()) + ")" : c.url);
        N_URL_SAFE u;
        memset(&u, 0x5A, sizeof u);
        ASSERT_EQ(n_url_safe_parse(c.url.data(), c.url.size(), &u), c.ok);
        if (!c.ok) {
            EXPECT_TRUE(qvtest::all_zero(&u, sizeof u)) << "a refused URL leaves a cleared record";
            continue;
        }
        EXPECT_EQ(u.is_https, c.https);
        EXPECT_EQ(u.port, c.port);
        if (c.host) {
            EXPECT_STREQ(u.host, c.host);
        }
        if (c.path) {
            EXPECT_STREQ(u.path, c.path);
        } else {
            EXPECT_EQ(strlen(u.path), N_URL_SAFE_PATH_MAX);
        }
    }
}

// Exactly the given bytes are read: a valid URL followed by bytes the parser
// would refuse parses when its length stops before them.
TEST(UrlSafeParse, LengthBoundsTheText) {
    const char text[] = "http://h/ok<space> and more";
    N_URL_SAFE u;
    EXPECT_EQ(n_url_safe_parse(text, 11, &u), 1);
    EXPECT_STREQ(u.path, "/ok");
    EXPECT_EQ(n_url_safe_parse(text, sizeof text - 1, &u), 0);
    EXPECT_EQ(n_url_safe_parse(nullptr, 8, &u), 0);
    EXPECT_EQ(n_url_safe_parse(text, 11, nullptr), 0);
}

// ---------------------------------------------------------------- heads

struct HeadCase {
    const char *name;
    std::string head;
    int ok;
    int status;
    size_t head_len;  // 0: the length of the whole text
    int64_t content_length;
    int chunked;
    const char *location;
    const char *content_type;
};

TEST(UrlSafeHead, Cases) {
    const std::string loc2000(2000, 'L');
    const HeadCase cases[] = {
        {"minimal", "HTTP/1.1 200 OK\r\n\r\n", 1, 200, 19, -1, 0, "", ""},
        {"short status", "HTTP/1.1 20\r\n\r\n", 0, 0, 0, -1, 0, "", ""},
        {"no reason, 12 bytes", "HTTP/1.1 204\r\n\r\n", 1, 204, 0, -1, 0, "", ""},
        {"lower-case, spaces", "http/1.0    302 x\r\nLocation:  /next  \r\n\r\nbody", 1, 302, 41, -1, 0, "/next", ""},
        {"not http", "HTTX/1.1 200 OK\r\n\r\n", 0, 0, 0, -1, 0, "", ""},
        {"letters", "HTTP/1.1 2x0 OK\r\n\r\n", 0, 0, 0, -1, 0, "", ""},
        {"no space", "HTTP/1.1_200_OK\r\n\r\n", 0, 0, 0, -1, 0, "", ""},
        {"no end", "HTTP/1.1 200 OK\r\nA: b\r\n", 0, 0, 0, -1, 0, "", ""},
        {"bare LF", "HTTP/1.1 200 OK\n\n", 0, 0, 0, -1, 0, "", ""},
        {"length 12a", "HTTP/1.1 200 OK\r\nContent-Length: 12a\r\n\r\n", 1, 200, 0, -1, 0, "", ""},
        {"length empty", "HTTP/1.1 200 OK\r\nContent-Length:\r\n\r\n", 1, 200, 0, -1, 0, "", ""},
        {"length spaced", "HTTP/1.1 200 OK\r\ncontent-LENGTH:  42 \r\n\r\n", 1, 200, 0, 42, 0, "", ""},
        {"length sign", "HTTP/1.1 200 OK\r\nContent-Length: +4\r\n\r\n", 1, 200, 0, -1, 0, "", ""},
        {"length 2^50", "HTTP/1.1 200 OK\r\nContent-Length: 1125899906842624\r\n\r\n", 1, 200, 0, 1125899906842624, 0, "", ""},
        // over 2^50 only refused when another digit follows
        {"2^50 + 1", "HTTP/1.1 200 OK\r\nContent-Length: 1125899906842625\r\n\r\n", 1, 200, 0, 1125899906842625, 0, "", ""},
        {"2^50, a digit", "HTTP/1.1 200 OK\r\nContent-Length: 11258999068426240\r\n\r\n", 1, 200, 0, 11258999068426240, 0, "", ""},
        {"2^50 + 1, a digit", "HTTP/1.1 200 OK\r\nContent-Length: 11258999068426250\r\n\r\n", 1, 200, 0, -1, 0, "", ""},
        {"length far past", "HTTP/1.1 200 OK\r\nContent-Length: 112589990684262500\r\n\r\n", 1, 200, 0, -1, 0, "", ""},
        {"length 30 digits", "HTTP/1.1 200 OK\r\nContent-Length: 999999999999999999999999999999\r\n\r\n", 1, 200, 0, -1, 0, "", ""},
        {"name with space", "HTTP/1.1 200 OK\r\nContent-Length : 5\r\n\r\n", 1, 200, 0, -1, 0, "", ""},
        {"last wins", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 7\r\n\r\n", 1, 200, 0, 7, 0, "", ""},
        {"chunked listed", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n", 1, 200, 0, -1, 1, "", ""},
        {"chunkedx", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunkedx\r\n\r\n", 1, 200, 0, -1, 0, "", ""},
        {"chunked, spaced", "HTTP/1.1 200 OK\r\nTransfer-Encoding: ,\t chunked \t,gzip\r\n\r\n", 1, 200, 0, -1, 1, "", ""},
        {"chunked then not", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: gzip\r\n\r\n", 1, 200, 0, -1, 0, "", ""},
        {"content type", "HTTP/1.1 200 OK\r\nContent-Type: Text/HTML; charset=UTF-8\r\n\r\n", 1, 200, 0, -1, 0, "", "text/html"},
        {"content type spaces", "HTTP/1.1 200 OK\r\nContent-Type: image / PNG\r\n\r\n", 1, 200, 0, -1, 0, "", "image/png"},
        {"content type 200", "HTTP/1.1 200 OK\r\nContent-Type: " + std::string(200, 'T') + "\r\n\r\n", 1, 200, 0, -1, 0, "",
         nullptr},
        {"location controls", "HTTP/1.1 301 M\r\nLocation: /a\x01\x1f\x7f" "b\r\n\r\n", 1, 301, 0, -1, 0, "/a\x7f" "b", ""},
        {"location 2000", "HTTP/1.1 301 M\r\nLocation: " + loc2000 + "\r\n\r\n", 1, 301, 0, -1, 0, nullptr, ""},
        {"line without colon", "HTTP/1.1 200 OK\r\nno colon here\r\nLocation: x\r\n\r\n", 1, 200, 0, -1, 0, "x", ""},
        {"body not read", "HTTP/1.1 200 OK\r\n\r\nLocation: x\r\n\r\n", 1, 200, 19, -1, 0, "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        N_URL_SAFE_HEAD h;
        memset(&h, 0x5A, sizeof h);
        ASSERT_EQ(n_url_safe_head_parse(c.head.data(), c.head.size(), &h), c.ok);
        EXPECT_EQ(h.status, c.status);
        EXPECT_EQ(h.content_length, c.content_length);
        EXPECT_EQ(h.chunked, c.chunked);
        EXPECT_EQ(h.head_len, c.ok ? (c.head_len ? c.head_len : c.head.size()) : 0u);
        if (c.location) {
            EXPECT_STREQ(h.location, c.location);
        } else {
            EXPECT_EQ(std::string(h.location), loc2000.substr(0, N_URL_SAFE_LOCATION_MAX));
        }
        if (c.content_type) {
            EXPECT_STREQ(h.content_type, c.content_type);
        } else {
            EXPECT_EQ(std::string(h.content_type), std::string(N_URL_SAFE_CTYPE_MAX, 't'));
        }
    }
}

// The head must end within the first 16384 bytes: at n it parses, at n + 1
// it fails, however much more is given.
TEST(UrlSafeHead, SixteenKiBLimit) {
    for (size_t end : {N_URL_SAFE_HEAD_MAX - 1, N_URL_SAFE_HEAD_MAX, N_URL_SAFE_HEAD_MAX + 1}) {
        SCOPED_TRACE(end);
        std::string h = "HTTP/1.1 200 OK\r\nX-Pad: ";
        h += std::string(end - h.size() - 4, 'p') + "\r\n\r\n";
        ASSERT_EQ(h.size(), end);
        std::string more = h + "body";
        N_URL_SAFE_HEAD r;
        EXPECT_EQ(n_url_safe_head_parse(more.data(), more.size(), &r), end <= N_URL_SAFE_HEAD_MAX ? 1 : 0);
        EXPECT_EQ(n_url_safe_head_parse(h.data(), h.size(), &r), end <= N_URL_SAFE_HEAD_MAX ? 1 : 0);
        if (end <= N_URL_SAFE_HEAD_MAX) {
            EXPECT_EQ(r.head_len, end);
        }
    }
    N_URL_SAFE_HEAD r;
    EXPECT_EQ(n_url_safe_head_parse("\r\n\r", 3, &r), 0);
    EXPECT_EQ(n_url_safe_head_parse(nullptr, 10, &r), 0);
}

// ---------------------------------------------------------------- resolve

struct ResolveCase {
    const char *base;
    std::string ref;
    int ok;
    const char *out;
};

TEST(UrlSafeResolve, Cases) {
    const ResolveCase cases[] = {
        {"https://h:8443/a", "/img.png", 1, "https://h:8443/img.png"},
        {"https://h/a", "/img.png", 1, "https://h/img.png"},
        {"https://h:443/a", "/img.png", 1, "https://h/img.png"},
        {"http://h:443/a", "/img.png", 1, "http://h:443/img.png"},
        {"http://h/a", "//h2/x", 1, "http://h2/x"},
        {"https://h/a", "//h2:81/x?y", 1, "https://h2:81/x?y"},
        {"http://h/a", "img.png", 0, ""},
        {"http://h/a", "?x", 0, ""},
        {"http://h/a", "#x", 0, ""},
        {"http://h/a", "", 0, ""},
        {"not a url", "HTTP://h2/x", 1, "HTTP://h2/x"},
        {"not a url", "https://h2/x", 1, "https://h2/x"},
        {"not a url", "/x", 0, ""},
        {"http://h/", "http://", 0, "http://"},      // 7 bytes: absolute, copied, then refused
        {"http://h/", "https://", 0, "https:///"},   // 8 bytes: not absolute; "//" gives "https:///"... under an http base
        {"http://h/", "http://u@h/", 0, "http://u@h/"},
        {"http://h/", "///x", 0, "http:///x"},
        {"http://h/", "/a b", 0, "http://h/a b"},
        // an IPv6 base keeps its brackets when its host is put back
        {"http://[::1]/", "/x", 1, "http://[::1]/x"},
        {"https://[2001:db8::1]:8443/a", "/i", 1, "https://[2001:db8::1]:8443/i"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.base) + " + " + c.ref);
        char out[1040];
        memset(out, 'Z', sizeof out);
        EXPECT_EQ(n_url_safe_resolve(c.base, strlen(c.base), c.ref.data(), c.ref.size(), out, sizeof out), c.ok);
        if (std::string(c.base) == "http://h/" && c.ref == "https://") continue;  // checked below
        EXPECT_STREQ(out, c.out);
    }
}

TEST(UrlSafeResolve, OutputBounds) {
    char out[32];
    const std::string base = "https://h:8443/a";
    // "https://h:8443" and 17 bytes is 31 bytes: fits with its terminator; one more does not.
    std::string ref = "/" + std::string(16, 'r');
    EXPECT_EQ(n_url_safe_resolve(base.data(), base.size(), ref.data(), ref.size(), out, sizeof out), 1);
    EXPECT_EQ(strlen(out), 31u);
    ref += "r";
    EXPECT_EQ(n_url_safe_resolve(base.data(), base.size(), ref.data(), ref.size(), out, sizeof out), 0);
    EXPECT_STREQ(out, "");
    std::string abs = "http://h/" + std::string(22, 'a');  // 31 bytes
    EXPECT_EQ(n_url_safe_resolve("", 0, abs.data(), abs.size(), out, sizeof out), 1);
    abs += "a";
    EXPECT_EQ(n_url_safe_resolve("", 0, abs.data(), abs.size(), out, sizeof out), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(n_url_safe_resolve(base.data(), base.size(), "/x", 2, out, 0), 0);
    EXPECT_EQ(n_url_safe_resolve(nullptr, 0, "/x", 2, out, sizeof out), 0);
    EXPECT_EQ(n_url_safe_resolve(base.data(), base.size(), nullptr, 0, out, sizeof out), 0);
    // "https://" as a reference is not absolute (8 bytes): it is read as a
    // scheme-relative reference to an empty host and refused.
    EXPECT_EQ(n_url_safe_resolve("http://h/", 9, "https://", 8, out, sizeof out), 0);
}

// ---------------------------------------------------------------- find

struct FindCase {
    std::string text;
    int ok;
    const char *url;
};

TEST(UrlSafeFind, Cases) {
    const FindCase cases[] = {
        {"see (https://ha/x).", 1, "https://ha/x"},
        {"go to http:// and https://hb", 1, "https://hb"},
        {"no link here", 0, ""},
        {"", 0, ""},
        {"HTTP://A.example/p?q=1,", 1, "HTTP://A.example/p?q=1"},
        {"<https://h/a>", 1, "https://h/a"},
        {"\"https://h/a\"", 1, "https://h/a"},
        {"`https://h/a`", 1, "https://h/a"},
        {"https://h/a\\b", 1, "https://h/a"},
        {"[link](https://h/a)]}'\"!?;:.,", 1, "https://h/a"},
        {"https://h/caf\xc3\xa9\x7f", 1, "https://h/caf\xc3\xa9\x7f"},
        {std::string("https://h/a\0b", 13), 1, "https://h/a"},
        {"http://u@x/ then https://ok/", 1, "https://ok/"},
        // a URL inside a refused candidate is not tried on its own
        {"http://u@x/https://inside/", 0, ""},
        {"xhttps://h", 1, "https://h"},
        {"http:/", 0, ""},
        {"https:/", 0, ""},
        {"http://h:99999/ http://h:9/", 1, "http://h:9/"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        char out[1025];
        memset(out, 'Z', sizeof out);
        EXPECT_EQ(n_url_safe_find(c.text.data(), c.text.size(), out, sizeof out), c.ok);
        EXPECT_STREQ(out, c.url);
    }
}

// A candidate as long as the output or longer is skipped unchecked and the
// walk goes on after it; one byte shorter is taken.
TEST(UrlSafeFind, OutputSize) {
    const std::string first = "http://h/" + std::string(15, 'a');  // 24 bytes
    const std::string text = first + " https://b/";
    char out[25];
    EXPECT_EQ(n_url_safe_find(text.data(), text.size(), out, sizeof out), 1);
    EXPECT_EQ(std::string(out), first);
    EXPECT_EQ(n_url_safe_find(text.data(), text.size(), out, 24), 1);
    EXPECT_STREQ(out, "https://b/");
    EXPECT_EQ(n_url_safe_find(text.data(), text.size(), out, 10), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(n_url_safe_find(nullptr, 3, out, sizeof out), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(n_url_safe_find(text.data(), text.size(), out, 0), 0);
}

}  // namespace

// ---------------------------------------------------------------- against urllib.parse

namespace {

struct Gen {
    std::mt19937_64 rng;
    explicit Gen(uint64_t seed) : rng(seed) {}
    size_t below(size_t n) { return (size_t)(rng() % n); }
    bool coin(int one_in = 2) { return below((size_t)one_in) == 0; }
    std::string pick(std::initializer_list<const char *> v) { return *(v.begin() + below(v.size())); }

    std::string cased(std::string s) {
        for (auto &c : s)
            if (coin()) c = (char)toupper((unsigned char)c);
        return s;
    }
    std::string from_set(std::string_view set, size_t n) {
        std::string s;
        for (size_t i = 0; i < n; i++) s += set[below(set.size())];
        return s;
    }
    std::string host() {
        switch (below(5)) {
            case 0: return std::to_string(below(256)) + "." + std::to_string(below(256)) + "." + std::to_string(below(256)) + "." + std::to_string(below(256));
            case 1: {
                uint8_t a[16];
                for (auto &b : a) b = (uint8_t)rng();
                if (coin()) memset(a, 0, 10 + below(6));
                char text[INET6_ADDRSTRLEN];
                inet_ntop(AF_INET6, a, text, sizeof text);
                return std::string("[") + text + "]";
            }
            case 2: return from_set("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-.", 253 - below(3));
            default: {
                std::string h = from_set("abcdefghijklmnopqrstuvwxyz0123456789", 1 + below(12));
                for (size_t i = below(4); i > 0; i--) h += "." + from_set("abcdefghijklmnopqrstuvwxyzAB-_~0123456789", 1 + below(10));
                return h;
            }
        }
    }
    std::string path_bytes(size_t n) {
        std::string s;
        while (s.size() < n) {
            unsigned char c = (unsigned char)(0x21 + below(0xFF - 0x21 + 1));
            if (c == '#' || c == '?') continue;
            s += (char)c;
        }
        return s;
    }
};

// One URL the parser must accept, with some bytes at every seam.
std::string good_url(Gen &g) {
    std::string u = g.cased(g.coin() ? "https://" : "http://") + g.host();
    if (g.coin(3)) {
        unsigned port = 1 + (unsigned)g.below(65535);
        std::string p = std::to_string(port);
        while (p.size() < 5 && g.coin(3)) p = "0" + p;
        u += ":" + p;
    }
    size_t room = N_URL_SAFE_TEXT_MAX - u.size();
    switch (g.below(4)) {
        case 0: break;
        case 1: u += "/" + g.path_bytes(g.below(std::min<size_t>(room - 1, g.coin(8) ? 1100 : 60))); break;
        case 2: u += "/" + g.path_bytes(g.below(30)) + "?" + g.path_bytes(g.below(30)); break;
        default: u += "?" + g.path_bytes(g.below(30)); break;
    }
    if (g.coin(3)) u += "#" + g.from_set("abc #?/\x01\xff", g.below(10));
    return u.size() > N_URL_SAFE_TEXT_MAX ? u.substr(0, N_URL_SAFE_TEXT_MAX) : u;
}

// The same with one thing the parser refuses, and why.
std::pair<std::string, std::string> bad_url(Gen &g) {
    std::string scheme = g.coin() ? "https://" : "http://";
    std::string host = g.from_set("abcdefgh", 1 + g.below(8));
    switch (g.below(12)) {
        case 0: return {scheme + "user@" + host + "/", "user information"};
        case 1: return {scheme + "u:p@" + host + "/x", "user information"};
        case 2: return {scheme + host + ":0/", "port 0"};
        case 3: return {scheme + host + ":" + std::to_string(65536 + g.below(34464)) + "/", "port past 65535"};
        case 4: return {scheme + host + ":0" + std::to_string(10000 + g.below(55535)) + "/", "six port digits"};
        case 5: return {scheme + host + ":/", "empty port"};
        case 6: return {scheme + host.substr(0, 1) + std::string(1, "\x01\x20\x7f"[g.below(2)]) + host + "/", "control in host"};
        case 7: return {scheme + host + "/a" + std::string(1, "\x00\x09\x20\x0a"[g.below(4)]) + "b", "control in path"};
        case 8: return {scheme + std::string(254, 'h') + "/", "host of 254 bytes"};
        case 9: return {scheme + host + "/" + std::string(1024, 'p'), "path of 1025 bytes"};
        case 10: return {g.pick({"ftp://", "http:/", "https:", "javascript://", "file://"}) + host + "/", "scheme"};
        default: return {scheme + g.pick({"[]", "[::1", "[::1]x", "", ":80", "h\\x"}) + "/", "authority"};
    }
}

std::string word_of(const char *s) { return qvtest::hex_word(std::string_view(s)); }

// Parses `url` and compares host (in lower case: urllib folds it, the parser
// keeps it), port and path with the script's answer; false after reporting a
// difference, so a caller can stop after a few.
bool same_as_python(const std::string &url, const std::vector<std::string> &python, const std::string &what) {
    N_URL_SAFE u;
    if (n_url_safe_parse(url.data(), url.size(), &u) != 1) {
        ADD_FAILURE() << "refused " << what;
        return false;
    }
    std::string host = u.host;
    for (auto &c : host) c = (char)((c >= 'A' && c <= 'Z') ? c + 32 : c);
    const std::vector<std::string> ours = {"OK", word_of(host.c_str()), std::to_string(u.port), word_of(u.path)};
    if (python == ours) return true;
    ADD_FAILURE() << what << "\n python: " << ::testing::PrintToString(python) << "\n ours:   " << ::testing::PrintToString(ours);
    return false;
}

}  // namespace

// Host, port and path of accepted URLs as urlsplit reads them (host compared
// in lower case: urlsplit folds it, the parser keeps it), and every URL with
// one refused element refused.
TEST(UrlSafeParse, GeneratedCorpusAgainstUrlsplit) {
    Gen g(20261210);
    std::vector<std::string> good;
    std::vector<std::string> requests;
    for (int i = 0; i < 4000; i++) {
        good.push_back(good_url(g));
        requests.push_back("split " + qvtest::hex_word(good.back()));
    }
    const auto answers = qvtest::xcheck_words("url_xcheck.py", requests);
    int failures = 0;
    for (size_t i = 0; i < good.size() && failures < 10; i++)
        if (!same_as_python(good[i], answers[i], good[i])) failures++;
    std::map<std::string, int> reasons;
    for (int i = 0; i < 2000; i++) {
        auto [url, why] = bad_url(g);
        N_URL_SAFE u;
        EXPECT_EQ(n_url_safe_parse(url.data(), url.size(), &u), 0) << why << ": " << url;
        reasons[why]++;
    }
    EXPECT_EQ(reasons.size(), 11u);
}

// Host-relative and scheme-relative references land where urljoin puts them
// (compared as host, port and path: urljoin keeps an explicit default port
// in its text, which the resolver leaves out).
TEST(UrlSafeResolve, AgainstUrljoin) {
    Gen g(7);
    std::vector<std::pair<std::string, std::string>> pairs;
    std::vector<std::string> requests;
    for (int i = 0; i < 3000; i++) {
        std::string base = good_url(g).substr(0, 400);
        N_URL_SAFE b;
        if (!n_url_safe_parse(base.data(), base.size(), &b)) continue;
        std::string ref;
        // No dot segments: urljoin removes them, the resolver (on purpose)
        // does not. No ";": urljoin drops an empty parameter after one.
        std::string seg = g.from_set("abcXYZ019-_~%!$&'()*+,=:@", 1 + g.below(12));
        switch (g.below(3)) {
            case 0: ref = "/" + seg; break;
            case 1: ref = "/" + seg + "/" + seg + "?q=" + seg; break;
            default: ref = "//" + g.host() + (g.coin() ? ":" + std::to_string(1 + g.below(65535)) : "") + "/" + seg; break;
        }
        pairs.emplace_back(base, ref);
        requests.push_back("join " + qvtest::hex_word(base) + " " + qvtest::hex_word(ref));
    }
    const auto answers = qvtest::xcheck_words("url_xcheck.py", requests);
    int failures = 0;
    for (size_t i = 0; i < pairs.size() && failures < 10; i++) {
        const auto &[base, ref] = pairs[i];
        char out[N_URL_SAFE_TEXT_MAX];
        EXPECT_EQ(n_url_safe_resolve(base.data(), base.size(), ref.data(), ref.size(), out, sizeof out), 1);
        if (!same_as_python(out, answers[i], base + " + " + ref + " -> " + out)) failures++;
    }
    EXPECT_GT(pairs.size(), 2500u);
}

// Whatever the finder returns out of chat-like text parses and is a piece
// of that text; a URL set between words and punctuation is found whole.
TEST(UrlSafeFind, ChatTexts) {
    Gen g(99);
    for (int i = 0; i < 3000; i++) {
        std::string url = good_url(g);
        url = url.substr(0, url.find('#'));
        // the finder stops at blanks, quotes and angle brackets and trims punctuation
        bool plain = url.find_first_of(" \"<>\\`") == std::string::npos && !strchr(".,;:!?)]}'\"", url.back());
        std::string text = g.from_set("hello world, see: ", g.below(40)) + g.pick({"(", " ", "<", "\"", "["}) + url +
                           g.pick({").", "", ">", "\"!", "]", "\n"}) + " " + g.from_set(" abc http:// https:/", g.below(40));
        char out[1025];
        int r = n_url_safe_find(text.data(), text.size(), out, sizeof out);
        size_t n = strlen(out);
        if (r) {
            N_URL_SAFE u;
            EXPECT_EQ(n_url_safe_parse(out, n, &u), 1) << out;
            EXPECT_NE(text.find(std::string(out, n)), std::string::npos);
        } else {
            EXPECT_EQ(n, 0u);
        }
        if (plain && url.size() < sizeof out) {
            EXPECT_EQ(std::string(out), url) << text;
        }
    }
}

// ---------------------------------------------------------------- heads from real servers

namespace {

// Sends `request` over a plain TCP connection to 127.0.0.1:port and returns
// every byte until the server closes; empty when no connection was made.
std::string talk(int port, const std::string &request) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((uint16_t)port);
    std::string got;
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) == (ssize_t)request.size())
        got = qvtest::read_until_closed(fd, qvtest::kWaitMs);
    close(fd);
    return got;
}

std::string get(int port, const std::string &path, const std::string &extra = "") {
    return talk(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "Connection: close\r\n\r\n");
}

bool answers(int port) { return !get(port, "/").empty(); }

struct Head {
    std::string raw;
    N_URL_SAFE_HEAD h;
};

// Our reading of a captured response, checked field by field against
// http.client's reading of the same bytes.
void expect_like_http_client(const std::vector<Head> &heads) {
    std::vector<std::string> requests;
    for (const auto &c : heads) requests.push_back("head " + qvtest::hex_word(c.raw));
    const auto answers = qvtest::xcheck_words("url_xcheck.py", requests);
    for (size_t i = 0; i < heads.size(); i++) {
        const N_URL_SAFE_HEAD &h = heads[i].h;
        SCOPED_TRACE(heads[i].raw.substr(0, h.head_len));
        const std::vector<std::string> want = {"OK",
                                               std::to_string(h.status),
                                               std::to_string(h.head_len),
                                               std::to_string(h.content_length),
                                               std::to_string(h.chunked),
                                               word_of(h.location),
                                               word_of(h.content_type)};
        EXPECT_EQ(answers[i], want);
    }
}

Head read_head(const std::string &raw) {
    Head c{raw, {}};
    EXPECT_EQ(n_url_safe_head_parse(raw.data(), raw.size(), &c.h), 1) << raw.substr(0, 200);
    return c;
}

// The captured head with a padding header put in so that its terminator
// ends at exactly `end`; the body follows.
std::string padded_to(const Head &c, size_t end) {
    size_t line = c.raw.find("\r\n") + 2;
    std::string pad = "X-Pad: ";
    size_t fill = end - c.h.head_len - pad.size() - 2;
    return c.raw.substr(0, line) + pad + std::string(fill, 'p') + "\r\n" + c.raw.substr(line);
}

void expect_limit_holds(const Head &c) {
    for (size_t end : {N_URL_SAFE_HEAD_MAX, N_URL_SAFE_HEAD_MAX + 1}) {
        std::string big = padded_to(c, end);
        N_URL_SAFE_HEAD h;
        ASSERT_EQ(n_url_safe_head_parse(big.data(), big.size(), &h), end <= N_URL_SAFE_HEAD_MAX ? 1 : 0) << end;
        if (end <= N_URL_SAFE_HEAD_MAX) {
            EXPECT_EQ(h.head_len, end);
            EXPECT_EQ(h.status, c.h.status);
            EXPECT_STREQ(h.content_type, c.h.content_type);
        }
    }
}

}  // namespace

// nginx: a page with a charset, a 301 with Location, a gzip'd answer sent
// chunked, a 404.
TEST(UrlSafeHeadServers, Nginx) {
    const std::string nginx = "/usr/sbin/nginx";
    if (!qvtest::exists(nginx)) GTEST_SKIP() << "nginx (Debian package nginx-light) is not installed";
    qvtest::TempDir dir;
    mkdir(dir.file("www").c_str(), 0755);
    mkdir(dir.file("tmp").c_str(), 0755);
    std::string page = "<html><head><title>page</title></head><body>" + std::string(4000, 'x') + "</body></html>\n";
    qvtest::write_file(dir.file("www/index.html"), page);
    qvtest::write_file(dir.file("www/big.txt"), std::string(20000, 'z'));
    const std::string tmp = dir.file("tmp");
    auto config_for = [&](int port) {
        qvtest::write_file(dir.file("nginx.conf"),
                           "daemon off;\nmaster_process off;\nworker_processes 1;\npid " + dir.file("nginx.pid") +
                               ";\nerror_log " + dir.file("error.log") + ";\nevents { worker_connections 16; }\nhttp {\n"
                               "  access_log off;\n  client_body_temp_path " + tmp + "/body;\n  proxy_temp_path " + tmp +
                               "/proxy;\n  fastcgi_temp_path " + tmp + "/fcgi;\n  uwsgi_temp_path " + tmp +
                               "/uwsgi;\n  scgi_temp_path " + tmp + "/scgi;\n"
                               "  types { text/html html; text/plain txt; }\n  charset utf-8;\n"
                               "  server {\n    listen 127.0.0.1:" + std::to_string(port) + ";\n    root " + dir.file("www") +
                               ";\n    location = /moved { return 301 /index.html; }\n"
                               "    location = /big.txt { gzip on; gzip_types text/plain; gzip_min_length 0; }\n  }\n}\n");
        return std::vector<std::string>{nginx, "-p", dir.path, "-c", dir.file("nginx.conf"), "-e", dir.file("error.log")};
    };
    std::unique_ptr<qvtest::ChildProcess> server;
    const int port = qvtest::start_listening(config_for, dir.file("out.log"), &server);
    ASSERT_NE(port, 0) << qvtest::read_file(dir.file("error.log"));
    ASSERT_TRUE(qvtest::wait_until([&] { return answers(port); }, qvtest::kWaitMs)) << qvtest::read_file(dir.file("error.log"));

    Head ok = read_head(get(port, "/index.html"));
    EXPECT_EQ(ok.h.status, 200);
    EXPECT_STREQ(ok.h.content_type, "text/html");  // sent with "; charset=utf-8"
    EXPECT_NE(ok.raw.find("charset=utf-8"), std::string::npos);
    EXPECT_EQ(ok.h.content_length, (int64_t)page.size());
    EXPECT_EQ(ok.raw.substr(ok.h.head_len), page);

    Head moved = read_head(get(port, "/moved"));
    EXPECT_EQ(moved.h.status, 301);
    EXPECT_EQ(std::string(moved.h.location), "http://127.0.0.1:" + std::to_string(port) + "/index.html");
    // Following it: the Location resolved against the page lands back on the page.
    char next[N_URL_SAFE_TEXT_MAX];
    const std::string here = "http://127.0.0.1:" + std::to_string(port) + "/moved";
    EXPECT_EQ(n_url_safe_resolve(here.data(), here.size(), moved.h.location, strlen(moved.h.location), next, sizeof next), 1);
    N_URL_SAFE u;
    ASSERT_EQ(n_url_safe_parse(next, strlen(next), &u), 1);
    EXPECT_EQ(u.port, port);
    EXPECT_STREQ(u.path, "/index.html");

    Head chunked = read_head(get(port, "/big.txt", "Accept-Encoding: gzip\r\n"));
    EXPECT_EQ(chunked.h.status, 200);
    EXPECT_EQ(chunked.h.chunked, 1);
    EXPECT_EQ(chunked.h.content_length, -1);
    EXPECT_STREQ(chunked.h.content_type, "text/plain");

    Head missing = read_head(get(port, "/nothing-here"));
    EXPECT_EQ(missing.h.status, 404);

    expect_like_http_client({ok, moved, chunked, missing});
    expect_limit_holds(ok);
    expect_limit_holds(chunked);
    server->stop();
}

// Python's own server answers HTTP/1.0 with its own header spellings
// ("Content-type"), a 301 to the directory with a slash, and a 404 page.
TEST(UrlSafeHeadServers, PythonHttpServer) {
    qvtest::TempDir dir;
    mkdir(dir.file("www").c_str(), 0755);
    mkdir(dir.file("www/sub").c_str(), 0755);
    qvtest::write_file(dir.file("www/a.html"), "<title>a</title>");
    std::unique_ptr<qvtest::ChildProcess> server;
    const int port = qvtest::start_listening(
        [&](int p) {
            return std::vector<std::string>{QV_PYTHON, "-m", "http.server", std::to_string(p), "--bind", "127.0.0.1", "--directory",
                                            dir.file("www")};
        },
        dir.file("out.log"), &server);
    ASSERT_NE(port, 0) << qvtest::read_file(dir.file("out.log"));
    ASSERT_TRUE(qvtest::wait_until([&] { return answers(port); }, qvtest::kWaitMs)) << qvtest::read_file(dir.file("out.log"));

    Head ok = read_head(get(port, "/a.html"));
    EXPECT_EQ(ok.h.status, 200);
    EXPECT_STREQ(ok.h.content_type, "text/html");
    EXPECT_EQ(ok.h.content_length, 16);
    EXPECT_EQ(ok.raw.substr(ok.h.head_len), "<title>a</title>");
    EXPECT_EQ(ok.raw.rfind("HTTP/1.0 200", 0), 0u);

    Head moved = read_head(get(port, "/sub"));
    EXPECT_EQ(moved.h.status, 301);
    EXPECT_STREQ(moved.h.location, "/sub/");

    Head missing = read_head(get(port, "/nothing-here"));
    EXPECT_EQ(missing.h.status, 404);
    EXPECT_STREQ(missing.h.content_type, "text/html");  // sent as "text/html;charset=utf-8"

    expect_like_http_client({ok, moved, missing});
    expect_limit_holds(ok);
    server->stop();
}
