// Strict URL parser, response-head parser, reference resolver and URL finder.
#include "n_url_safe.h"

#include <cstdio>
#include <cstring>
#include <string_view>

using bytes = std::basic_string_view<unsigned char>;

static bytes as_bytes(const char *p, size_t n) { return {reinterpret_cast<const unsigned char *>(p), n}; }

// ASCII-only case folding: a locale must never change what a URL means.
static unsigned char lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? (unsigned char)(c + 32) : c; }

static bool starts_ci(bytes t, std::string_view lit) {
    if (t.size() < lit.size()) return false;
    for (size_t i = 0; i < lit.size(); i++)
        if (lower(t[i]) != (unsigned char)lit[i]) return false;
    return true;
}

static bool equals_ci(bytes t, std::string_view lit) { return t.size() == lit.size() && starts_ci(t, lit); }

static bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

/* ---- URLs ---- */

// Port text: 1 to 5 digits, 1 to 65535; 0 when refused.
static uint32_t port_value(bytes p) {
    if (p.empty() || p.size() > 5) return 0;
    uint32_t v = 0;
    for (unsigned char c : p) {
        if (!is_digit(c)) return 0;
        v = v * 10 + (c - '0');
        if (v > 65535) return 0;
    }
    return v;
}

static bool host_ok(bytes h) {
    if (h.empty() || h.size() > N_URL_SAFE_HOST_MAX) return false;
    for (unsigned char c : h)
        if (c <= 0x20 || c == '/' || c == '@' || c == '\\') return false;
    return true;
}

static int parse_url(bytes t, N_URL_SAFE *out) {
    if (t.size() < 8 || t.size() > N_URL_SAFE_TEXT_MAX) return 0;
    size_t a;
    if (starts_ci(t, "https://")) {
        if (t.size() == 8) return 0;
        out->is_https = 1;
        out->port = 443;
        a = 8;
    } else if (starts_ci(t, "http://")) {
        out->port = 80;
        a = 7;
    } else {
        return 0;
    }

    // An "@" refuses the whole URL rather than being read as user
    // information: "http://good@evil/" must not look like a link to "good".
    size_t e = a;
    for (; e < t.size() && t[e] != '/' && t[e] != '?' && t[e] != '#'; e++)
        if (t[e] == '@' || t[e] <= 0x20) return 0;
    if (e == a) return 0;

    bytes host, port;
    bool has_port = false;
    if (t[a] == '[') {
        size_t close = a + 1;
        while (close < e && t[close] != ']') close++;
        if (close >= e || close == a + 1) return 0;
        host = t.substr(a + 1, close - a - 1);
        if (close + 1 < e) {
            if (t[close + 1] != ':') return 0;
            port = t.substr(close + 2, e - close - 2);
            has_port = true;
        }
    } else {
        size_t colon = a;
        while (colon < e && t[colon] != ':') colon++;
        host = t.substr(a, colon - a);
        if (colon < e) {
            port = t.substr(colon + 1, e - colon - 1);
            has_port = true;
        }
    }
    if (has_port) {
        uint32_t v = port_value(port);
        if (!v) return 0;
        out->port = (uint16_t)v;
    }
    if (!host_ok(host)) return 0;
    memcpy(out->host, host.data(), host.size());
    out->host[host.size()] = '\0';

    size_t n = 0;
    size_t from = e;
    if (e == t.size() || t[e] == '#') {
        from = t.size();
        out->path[n++] = '/';
    } else if (t[e] == '?') {
        out->path[n++] = '/';
    }
    for (size_t i = from; i < t.size() && t[i] != '#'; i++) {
        if (t[i] <= 0x20 || n >= N_URL_SAFE_PATH_MAX) return 0;
        out->path[n++] = (char)t[i];
    }
    out->path[n] = '\0';
    return 1;
}

int n_url_safe_parse(const char *text, size_t len, N_URL_SAFE *out) {
    if (!text || !out) return 0;
    memset(out, 0, sizeof *out);
    if (parse_url(as_bytes(text, len), out)) return 1;
    memset(out, 0, sizeof *out);
    return 0;
}

/* ---- response heads ---- */

static bool is_blank(unsigned char c) { return c == ' ' || c == '\t'; }

static bytes trim(bytes v) {
    while (!v.empty() && is_blank(v.front())) v.remove_prefix(1);
    while (!v.empty() && is_blank(v.back())) v.remove_suffix(1);
    return v;
}

// Offset of the first "\r\n" in [from, end), or end when there is none.
static size_t find_crlf(bytes t, size_t from, size_t end) {
    for (size_t i = from; i + 1 < end; i++)
        if (t[i] == '\r' && t[i + 1] == '\n') return i;
    return end;
}

// Plain decimal only; a value that could overflow on its next digit is
// refused long before any real body size.
static int64_t content_length(bytes v) {
    constexpr int64_t limit = int64_t(1) << 50;
    if (v.empty()) return -1;
    int64_t n = 0;
    for (unsigned char c : v) {
        if (!is_digit(c) || n > limit) return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

static int32_t lists_chunked(bytes v) {
    size_t i = 0;
    while (i < v.size()) {
        while (i < v.size() && (is_blank(v[i]) || v[i] == ',')) i++;
        size_t s = i;
        while (i < v.size() && v[i] != ',') i++;
        if (equals_ci(trim(v.substr(s, i - s)), "chunked")) return 1;
    }
    return 0;
}

static void header_line(bytes line, N_URL_SAFE_HEAD *out) {
    size_t colon = line.find((unsigned char)':');
    if (colon == bytes::npos) return;
    bytes name = line.substr(0, colon), value = trim(line.substr(colon + 1));
    if (equals_ci(name, "location")) {
        size_t n = 0;
        for (unsigned char c : value)
            if (c >= 0x20 && n < N_URL_SAFE_LOCATION_MAX) out->location[n++] = (char)c;
        out->location[n] = '\0';
    } else if (equals_ci(name, "content-type")) {
        size_t n = 0;
        for (unsigned char c : value) {
            if (c == ';') break;
            if (c > 0x20 && n < N_URL_SAFE_CTYPE_MAX) out->content_type[n++] = (char)lower(c);
        }
        out->content_type[n] = '\0';
    } else if (equals_ci(name, "content-length")) {
        out->content_length = content_length(value);
    } else if (equals_ci(name, "transfer-encoding")) {
        out->chunked = lists_chunked(value);
    }
}

static int parse_head(bytes all, N_URL_SAFE_HEAD *out) {
    bytes t = all.substr(0, all.size() < N_URL_SAFE_HEAD_MAX ? all.size() : N_URL_SAFE_HEAD_MAX);
    if (t.size() < 4) return 0;
    size_t end = 0;
    for (;; end++) {
        if (end + 4 > t.size()) return 0;
        if (t[end] == '\r' && t[end + 1] == '\n' && t[end + 2] == '\r' && t[end + 3] == '\n') break;
    }
    out->head_len = end + 4;
    bytes head = t.substr(0, out->head_len);

    size_t sl = find_crlf(head, 0, head.size());
    if (sl < 12 || !starts_ci(head, "http/")) return 0;
    size_t p = 5;
    while (p < sl && head[p] != ' ') p++;
    while (p < sl && head[p] == ' ') p++;
    if (p + 3 > sl || !is_digit(head[p]) || !is_digit(head[p + 1]) || !is_digit(head[p + 2])) return 0;
    out->status = (head[p] - '0') * 100 + (head[p + 1] - '0') * 10 + (head[p + 2] - '0');

    for (size_t pos = sl + 2; pos < head.size();) {
        size_t le = find_crlf(head, pos, head.size());
        if (le == pos) break;
        header_line(head.substr(pos, le - pos), out);
        pos = le + 2;
    }
    return 1;
}

int n_url_safe_head_parse(const char *data, size_t len, N_URL_SAFE_HEAD *out) {
    if (!data || !out) return 0;
    memset(out, 0, sizeof *out);
    out->content_length = -1;
    if (parse_head(as_bytes(data, len), out)) return 1;
    memset(out, 0, sizeof *out);
    out->content_length = -1;
    return 0;
}

/* ---- references ---- */

// Appends to a bounded output; false once it would not fit with a terminator.
struct out_text {
    char *p;
    size_t cap, n = 0;
    bool put(const char *s, size_t k) {
        if (k >= cap - n) return false;
        memcpy(p + n, s, k);
        n += k;
        p[n] = '\0';
        return true;
    }
    bool put(std::string_view s) { return put(s.data(), s.size()); }
};

static bool absolute_ref(bytes r) {
    return (r.size() > 6 && starts_ci(r, "http://")) || (r.size() > 7 && starts_ci(r, "https://"));
}

int n_url_safe_resolve(const char *base, size_t base_len, const char *ref, size_t ref_len, char *out, size_t out_size) {
    if (!out || !out_size) return 0;
    out[0] = '\0';
    if (!base || !ref) return 0;
    out_text o{out, out_size};
    bytes r = as_bytes(ref, ref_len);
    if (absolute_ref(r)) {
        if (!o.put(ref, ref_len)) return 0;
    } else {
        N_URL_SAFE b;
        if (!n_url_safe_parse(base, base_len, &b)) return 0;
        if (r.empty() || r[0] != '/') return 0;
        std::string_view scheme = b.is_https ? "https" : "http";
        bool ok;
        if (r.size() > 1 && r[1] == '/') {
            ok = o.put(scheme) && o.put(":") && o.put(ref, ref_len);
        } else {
            // An IPv6 literal is stored without brackets; without them again
            // the port and the address would run together.
            bool v6 = strchr(b.host, ':') != nullptr;
            ok = o.put(scheme) && o.put("://") && (!v6 || o.put("[")) && o.put(b.host) && (!v6 || o.put("]"));
            if (ok && b.port != (b.is_https ? 443 : 80)) {
                char num[8];
                ok = o.put(":") && o.put(num, (size_t)snprintf(num, sizeof num, "%u", (unsigned)b.port));
            }
            ok = ok && o.put(ref, ref_len);
        }
        if (!ok) {
            out[0] = '\0';
            return 0;
        }
    }
    N_URL_SAFE check;
    return n_url_safe_parse(out, strnlen(out, out_size), &check);
}

/* ---- finding ---- */

static bool stop_byte(unsigned char c) { return c <= 0x20 || c == '"' || c == '<' || c == '>' || c == '\\' || c == '`'; }

static bool trailing(unsigned char c) { return c && strchr(".,;:!?)]}'\"", c) != nullptr; }

int n_url_safe_find(const char *text, size_t len, char *out, size_t out_size) {
    if (!out || !out_size) return 0;
    out[0] = '\0';
    if (!text) return 0;
    bytes t = as_bytes(text, len);
    size_t i = 0;
    while (i < t.size()) {
        bytes rest = t.substr(i);
        if (!starts_ci(rest, "http://") && !starts_ci(rest, "https://")) {
            i++;
            continue;
        }
        size_t e = i;
        while (e < t.size() && !stop_byte(t[e])) e++;
        while (e > i && trailing(t[e - 1])) e--;
        size_t n = e - i;
        if (n < out_size) {
            memcpy(out, text + i, n);
            out[n] = '\0';
            N_URL_SAFE u;
            if (n_url_safe_parse(out, n, &u)) return 1;
            out[0] = '\0';
        }
        // Resuming after the whole candidate keeps the walk linear: a URL
        // inside a refused one is never tried on its own.
        i = e;
    }
    return 0;
}
