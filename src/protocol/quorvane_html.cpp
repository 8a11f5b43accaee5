// Link-preview extraction from HTML.
#include "quorvane_html.h"

#include <cstring>
#include <string_view>

using bytes = std::basic_string_view<unsigned char>;

static unsigned char lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? (unsigned char)(c + 32) : c; }

static bool equals_ci(bytes t, std::string_view lit) {
    if (t.size() != lit.size()) return false;
    for (size_t i = 0; i < lit.size(); i++)
        if (lower(t[i]) != (unsigned char)lit[i]) return false;
    return true;
}

static bool is_blank(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

/* ---- decoding into a field ---- */

// Fills one NUL-terminated field of `cap` bytes. Blanks become one pending
// space that is written only before the next visible unit, so leading and
// trailing blanks vanish. A unit (one character) is written whole or not at
// all, and the first that does not fit ends the writing: a cut never splits
// a UTF-8 sequence.
struct field_writer {
    char *p;
    size_t cap;
    size_t n = 0;
    bool space = false;
    bool full = false;

    void blank() { space = n > 0; }
    void unit(const unsigned char *s, size_t k) {
        size_t need = k + (space ? 1 : 0);
        if (full || need > cap - 1 - n) {
            full = true;
            return;
        }
        if (space) p[n++] = ' ';
        space = false;
        memcpy(p + n, s, k);
        n += k;
        p[n] = '\0';
    }
};

static size_t put_utf8(uint32_t cp, unsigned char *o) {
    if (cp < 0x80) {
        o[0] = (unsigned char)cp;
        return 1;
    }
    if (cp < 0x800) {
        o[0] = (unsigned char)(0xC0 | (cp >> 6));
        o[1] = (unsigned char)(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        o[0] = (unsigned char)(0xE0 | (cp >> 12));
        o[1] = (unsigned char)(0x80 | ((cp >> 6) & 0x3F));
        o[2] = (unsigned char)(0x80 | (cp & 0x3F));
        return 3;
    }
    o[0] = (unsigned char)(0xF0 | (cp >> 18));
    o[1] = (unsigned char)(0x80 | ((cp >> 12) & 0x3F));
    o[2] = (unsigned char)(0x80 | ((cp >> 6) & 0x3F));
    o[3] = (unsigned char)(0x80 | (cp & 0x3F));
    return 4;
}

static int hex_digit(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = lower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The code point of the entity whose "&" is at s[0], with its length in *adv;
// -1 when it is none we decode. Surrogates are no characters: written as
// UTF-8 they would make the field ill-formed, so they stay literal text like
// values past U+10FFFF. Code point 0 stays literal too.
static int32_t entity(bytes s, size_t *adv) {
    size_t semi = 1;
    while (semi < s.size() && semi <= QV_HTML_ENTITY_SPAN && s[semi] != ';') semi++;
    if (semi >= s.size() || semi > QV_HTML_ENTITY_SPAN) return -1;
    bytes name = s.substr(1, semi - 1);
    *adv = semi + 1;
    if (equals_ci(name, "amp")) return '&';
    if (equals_ci(name, "lt")) return '<';
    if (equals_ci(name, "gt")) return '>';
    if (equals_ci(name, "quot")) return '"';
    if (equals_ci(name, "apos")) return '\'';
    if (name.size() < 2 || name[0] != '#') return -1;
    bool hex = name[1] == 'x' || name[1] == 'X';
    bytes digits = name.substr(hex ? 2 : 1);
    if (digits.empty()) return -1;
    uint32_t v = 0;
    for (unsigned char c : digits) {
        int d = hex ? hex_digit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (d < 0) return -1;
        v = v * (hex ? 16 : 10) + (uint32_t)d;
        if (v > 0x10FFFF) return -1;
    }
    if (v == 0 || (v >= 0xD800 && v <= 0xDFFF)) return -1;
    return (int32_t)v;
}

// Length of the well-formed UTF-8 sequence at s[0], or 0 with *bad set to the
// length of its maximal ill-formed prefix (at least 1), which becomes one
// U+FFFD: a peer must never be handed ill-formed text to draw.
static size_t utf8_seq(bytes s, size_t *bad) {
    unsigned char c = s[0];
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) need = 1;
    else if (c >= 0xE0 && c <= 0xEF) {
        need = 2;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 3;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        *bad = 1;
        return 0;
    }
    size_t k = 1;
    for (; k <= need; k++) {
        if (k >= s.size() || s[k] < lo || s[k] > hi) {
            *bad = k;
            return 0;
        }
        lo = 0x80;
        hi = 0xBF;
    }
    return k;
}

static void decode(bytes s, char *field, size_t cap) {
    static const unsigned char replacement[3] = {0xEF, 0xBF, 0xBD};
    memset(field, 0, cap);
    field_writer w{field, cap};
    size_t i = 0;
    while (i < s.size() && !w.full) {
        unsigned char c = s[i];
        if (c == '&') {
            size_t adv = 1;
            int32_t cp = entity(s.substr(i), &adv);
            if (cp < 0) {
                w.unit(&c, 1);
                i++;
            } else {
                if (cp == 9 || cp == 10 || cp == 13 || cp == 32) {
                    w.blank();
                } else if (cp >= 32) {
                    unsigned char u[4];
                    w.unit(u, put_utf8((uint32_t)cp, u));
                }
                i += adv;
            }
        } else if (is_blank(c)) {
            w.blank();
            i++;
        } else if (c < 0x20) {
            i++;
        } else if (c < 0x80) {
            w.unit(&c, 1);
            i++;
        } else {
            size_t bad = 0, k = utf8_seq(s.substr(i), &bad);
            if (k) {
                w.unit(s.data() + i, k);
                i += k;
            } else {
                w.unit(replacement, sizeof replacement);
                i += bad;
            }
        }
    }
}

/* ---- tags ---- */

// The first value of attribute `want` in a tag's attribute text; null data
// when it has none.
static bytes attribute(bytes t, std::string_view want) {
    size_t p = 0;
    while (p < t.size()) {
        while (p < t.size() && is_blank(t[p])) p++;
        if (p >= t.size()) break;
        size_t ns = p;
        while (p < t.size() && !is_blank(t[p]) && t[p] != '=' && t[p] != '>') p++;
        bytes name = t.substr(ns, p - ns);
        size_t q = p;
        while (q < t.size() && is_blank(t[q])) q++;
        if (q >= t.size() || t[q] != '=') {
            p = q;
            continue;
        }
        q++;
        while (q < t.size() && is_blank(t[q])) q++;
        size_t vs, ve;
        if (q < t.size() && (t[q] == '"' || t[q] == '\'')) {
            unsigned char quote = t[q];
            vs = q + 1;
            ve = vs;
            while (ve < t.size() && t[ve] != quote) ve++;
            p = ve < t.size() ? ve + 1 : ve;
        } else {
            vs = q;
            ve = q;
            while (ve < t.size() && !is_blank(t[ve]) && t[ve] != '>') ve++;
            p = ve;
        }
        // A value may be empty but still present: point into the tag.
        if (equals_ci(name, want)) return bytes(t.data() + vs, ve - vs);
    }
    return bytes();
}

static void set_field(bytes raw, char *field, size_t cap, int *flag) {
    decode(raw, field, cap);
    *flag = field[0] != '\0';
}

static void meta_tag(bytes attrs, quorvane_link_preview *out) {
    bytes key = attribute(attrs, "property");
    if (!key.data()) key = attribute(attrs, "name");
    bytes content = attribute(attrs, "content");
    if (!key.data() || !content.data()) return;
    key = key.substr(0, QV_HTML_KEY_MAX);
    content = content.substr(0, QV_HTML_CONTENT_MAX);
    if (equals_ci(key, "og:title")) {
        set_field(content, out->title, sizeof out->title, &out->has_title);
    } else if (equals_ci(key, "og:description")) {
        set_field(content, out->description, sizeof out->description, &out->has_description);
    } else if (equals_ci(key, "og:image") || equals_ci(key, "og:image:secure_url")) {
        set_field(content, out->image_url, sizeof out->image_url, &out->has_image);
    } else if (equals_ci(key, "description") && !out->has_description) {
        set_field(content, out->description, sizeof out->description, &out->has_description);
    }
}

// Offset of the next "</title" (any case) at or after `from`, or npos.
static size_t title_close(bytes h, size_t from) {
    for (size_t k = from; k + 7 <= h.size(); k++)
        if (h[k] == '<' && h[k + 1] == '/' && equals_ci(h.substr(k + 2, 5), "title")) return k;
    return bytes::npos;
}

int quorvane_html_extract_preview(const char *html, size_t len, quorvane_link_preview *out) {
    if (!out) return 0;
    memset(out, 0, sizeof *out);
    if (!html) return 0;
    bytes h(reinterpret_cast<const unsigned char *>(html), len);
    size_t i = 0;
    while (i < h.size()) {
        size_t lt = h.find('<', i);
        if (lt == bytes::npos) break;
        i = lt;
        if (h.substr(i, 4) == bytes(reinterpret_cast<const unsigned char *>("<!--"), 4)) {
            // The shortest comment is "<!---->": its "-->" starts 4 bytes in.
            size_t end = h.find(reinterpret_cast<const unsigned char *>("-->"), i + 4, 3);
            if (end == bytes::npos) break;
            i = end + 3;
            continue;
        }
        size_t te = h.find('>', i + 1);
        if (te == bytes::npos) te = h.size();
        size_t ne = i + 1;
        while (ne < te && !is_blank(h[ne]) && h[ne] != '/') ne++;
        bytes name = h.substr(i + 1, ne - i - 1);
        if (equals_ci(name, "title") && !out->has_title) {
            size_t ts = te < h.size() ? te + 1 : te;
            size_t close = title_close(h, ts);
            if (close == bytes::npos) {
                set_field(h.substr(ts), out->title, sizeof out->title, &out->has_title);
                break;
            }
            set_field(h.substr(ts, close - ts), out->title, sizeof out->title, &out->has_title);
            i = close;
            continue;
        }
        if (equals_ci(name, "meta")) meta_tag(h.substr(ne, te - ne), out);
        i = te < h.size() ? te + 1 : te;
    }
    return (out->has_title || out->has_description || out->has_image) ? 1 : 0;
}
