// Text and name helpers.
#include "quorvane_text.h"

#include "quorvane_md.h"
#include "n_markdown.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

// U+00C0..U+017F: base letters without their diacritics, lower case.
constexpr const char *kTranslit[192] = {
    "a", "a", "a", "a", "a", "a", "ae", "c", "e", "e", "e", "e", "i", "i", "i", "i",   // U+00C0
    "d", "n", "o", "o", "o", "o", "o", "",  "o", "u", "u", "u", "u", "y", "th", "ss",  // U+00D0; U+00D7 is a sign
    "a", "a", "a", "a", "a", "a", "ae", "c", "e", "e", "e", "e", "i", "i", "i", "i",   // U+00E0
    "d", "n", "o", "o", "o", "o", "o", "",  "o", "u", "u", "u", "u", "y", "th", "y",   // U+00F0; U+00F7 is a sign
    "a", "a", "a", "a", "a", "a", "c", "c", "c", "c", "c", "c", "c", "c", "d", "d",    // U+0100
    "d", "d", "e", "e", "e", "e", "e", "e", "e", "e", "e", "e", "g", "g", "g", "g",    // U+0110
    "g", "g", "g", "g", "h", "h", "h", "h", "i", "i", "i", "i", "i", "i", "i", "i",    // U+0120
    "i", "i", "ij", "ij", "j", "j", "k", "k", "k", "l", "l", "l", "l", "l", "l", "l",  // U+0130
    "l", "l", "l", "n", "n", "n", "n", "n", "n", "n", "n", "n", "o", "o", "o", "o",    // U+0140
    "o", "o", "oe", "oe", "r", "r", "r", "r", "r", "r", "s", "s", "s", "s", "s", "s",  // U+0150
    "s", "s", "t", "t", "t", "t", "t", "t", "u", "u", "u", "u", "u", "u", "u", "u",    // U+0160
    "u", "u", "u", "u", "w", "w", "y", "y", "y", "z", "z", "z", "z", "z", "z", "s",    // U+0170
};

bool writable(char *buf, size_t size) {
    if (!buf || size == 0) return false;
    buf[0] = '\0';
    return true;
}

void put_cut(char *buf, size_t size, std::string_view s) {
    const size_t n = std::min(s.size(), size - 1);
    memcpy(buf, s.data(), n);
    buf[n] = '\0';
}

bool name_byte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
}

bool trailing_mark(char c) { return c == '.' || c == '_' || c == '-'; }

// Length of the well-formed UTF-8 sequence at s (strict: no overlong forms,
// no surrogates, nothing above U+10FFFF), or 0.
size_t utf8_seq(const unsigned char *s, size_t left) {
    const unsigned char c = s[0];
    if (c < 0x80) return 1;
    size_t n;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) n = 2;
    else if (c >= 0xE0 && c <= 0xEF) n = 3, lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
    else if (c >= 0xF0 && c <= 0xF4) n = 4, lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
    else return 0;
    if (left < n || s[1] < lo || s[1] > hi) return 0;
    for (size_t k = 2; k < n; k++)
        if ((s[k] & 0xC0) != 0x80) return 0;
    return n;
}

}  // namespace

const char *quorvane_translit(uint32_t cp) {
    return cp >= 0xC0 && cp <= 0x17F ? kTranslit[cp - 0xC0] : nullptr;
}

// The sounder of the two readings of "base name": besides directory parts,
// control bytes go too (a peer chooses this name and it reaches file
// dialogs, logs and the file system), and a cut never splits a character or
// leaves "." or "..".
void quorvane_safe_basename(const char *path, char *buf, size_t size) {
    if (!writable(buf, size)) return;
    std::string name;
    if (path) {
        const char *p = path;
        for (const char *q = path; *q; q++)
            if (*q == '/' || *q == '\\') p = q + 1;
        for (; *p; p++)
            if (static_cast<unsigned char>(*p) >= 0x20 && *p != 0x7F) name += *p;
    }
    size_t n = std::min(name.size(), size - 1);
    while (n > 0 && n < name.size() && (static_cast<unsigned char>(name[n]) & 0xC0) == 0x80) n--;
    name.resize(n);
    if (name.empty() || name == "." || name == "..") name = QV_SAFE_NAME_FALLBACK;
    put_cut(buf, size, name);
}

int quorvane_is_video_mime(const char *mime) { return mime && strncmp(mime, "video/", 6) == 0; }
int quorvane_is_image_mime(const char *mime) { return mime && strncmp(mime, "image/", 6) == 0; }
int quorvane_file_shows_preview(const char *mime, int has_thumbnail) { return has_thumbnail || quorvane_is_image_mime(mime); }

int quorvane_fmt_last_seen(int64_t last_seen, int64_t now, char *buf, size_t size) {
    if (!writable(buf, size) || last_seen == 0 || last_seen > now) return 0;
    const uint64_t d = static_cast<uint64_t>(now) - static_cast<uint64_t>(last_seen);
    int n;
    if (d < 60) n = snprintf(buf, size, "last seen just now");
    else if (d < 3600) n = snprintf(buf, size, "last seen %um ago", static_cast<unsigned>(d / 60));
    else if (d < 86400) n = snprintf(buf, size, "last seen %uh ago", static_cast<unsigned>(d / 3600));
    else if (d <= 2591999) n = snprintf(buf, size, "last seen %ud ago", static_cast<unsigned>(d / 86400));
    else n = snprintf(buf, size, "last seen a long time ago");
    if (n < 0 || static_cast<size_t>(n) >= size) {  // a cut text is no text
        buf[0] = '\0';
        return 0;
    }
    return 1;
}

int quorvane_username_fold(const char *name, char *buf, size_t size) {
    if (!writable(buf, size) || !name) return 0;
    std::string_view s(name);
    auto space = [](char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; };
    while (!s.empty() && space(s.front())) s.remove_prefix(1);
    while (!s.empty() && space(s.back())) s.remove_suffix(1);
    std::string f(s);
    bool ok = f.size() >= QV_USERNAME_MIN && f.size() <= QV_USERNAME_MAX && f.size() < size;
    for (char &c : f) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        ok = ok && name_byte(static_cast<unsigned char>(c));
    }
    put_cut(buf, size, f);
    return ok;
}

int quorvane_username_has_caps(const char *name) {
    for (; name && *name; name++)
        if (*name >= 'A' && *name <= 'Z') return 1;
    return 0;
}

int quorvane_username_suggest(const char *display_name, char *buf, size_t size) {
    if (!writable(buf, size) || size < 4 || !display_name) return 0;
    const size_t cap = std::min(QV_USERNAME_MAX, size - 1);
    size_t n = 0;
    bool brk = false, full = false;
    auto put = [&](char c) {
        if (n >= cap) full = true;
        else buf[n++] = c;
    };
    auto emit = [&](std::string_view s) {
        if (s.empty()) return;
        if (brk && !(buf[n - 1] == '_' || buf[n - 1] == '-')) put('.');
        brk = false;
        for (char c : s) put(c);
    };
    auto ascii = [&](unsigned char c) {
        const char l = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        if ((l >= 'a' && l <= 'z') || (l >= '0' && l <= '9')) emit(std::string_view(&l, 1));
        else if ((c == '_' || c == '-') && n > 0) emit(std::string_view(&l, 1));
        else if ((c == ' ' || c == '\t' || c == '.') && n > 0) brk = true;
    };
    const unsigned char *p = reinterpret_cast<const unsigned char *>(display_name);
    while (*p && !full) {
        const unsigned char c = *p;
        size_t need = c >= 0xC0 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF7 ? 4 : 1;
        if (c < 0x80) {
            ascii(c);
            p++;
            continue;
        }
        bool whole = need > 1;
        for (size_t k = 1; whole && k < need; k++) whole = (p[k] & 0xC0) == 0x80;  // stops at the terminator
        if (!whole) {  // a stray continuation byte, an invalid lead, or a cut sequence
            p++;
            continue;
        }
        if (need == 2) {
            const uint32_t v = (static_cast<uint32_t>(c & 0x1F) << 6) | (p[1] & 0x3F);
            if (v < 0x80) ascii(static_cast<unsigned char>(v));
            else if (const char *t = quorvane_translit(v)) emit(t);
        }
        p += need;
    }
    while (n > 0 && trailing_mark(buf[n - 1])) n--;
    buf[n] = '\0';
    if (n < QV_USERNAME_MIN) {
        buf[0] = '\0';
        return 0;
    }
    return 1;
}

int quorvane_username_variant(const char *name, unsigned long number, char *buf, size_t size) {
    if (!writable(buf, size) || !name || number < 2) return 0;
    char digits[24];
    const size_t dn = static_cast<size_t>(snprintf(digits, sizeof digits, "%lu", number));
    if (dn >= QV_USERNAME_MAX) return 0;
    std::string_view base(name);
    base = base.substr(0, QV_USERNAME_MAX - dn);
    while (!base.empty() && trailing_mark(base.back())) base.remove_suffix(1);
    if (base.empty() || base.size() + dn < QV_USERNAME_MIN || base.size() + dn + 1 > size) return 0;
    memcpy(buf, base.data(), base.size());
    memcpy(buf + base.size(), digits, dn + 1);
    return 1;
}

int quorvane_utf8_undouble(const char *text, char *buf, size_t size) {
    if (!writable(buf, size) || !text) return 0;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    size_t n = 0;
    bool high = false;
    while (*p) {
        unsigned char v;
        if (*p < 0x80) {
            v = *p++;
        } else if ((*p == 0xC2 || *p == 0xC3) && (p[1] & 0xC0) == 0x80) {
            v = static_cast<unsigned char>(((*p & 0x03) << 6) | (p[1] & 0x3F));
            p += 2;
            high = true;
        } else {
            buf[0] = '\0';
            return 0;
        }
        if (n + 1 >= size) {
            buf[0] = '\0';
            return 0;
        }
        buf[n++] = static_cast<char>(v);
    }
    buf[n] = '\0';
    if (!high) {
        buf[0] = '\0';
        return 0;
    }
    // Strict UTF-8: a repair that yields overlong forms, surrogates or code
    // points past U+10FFFF was no double encoding.
    const unsigned char *u = reinterpret_cast<const unsigned char *>(buf);
    for (size_t i = 0; i < n;) {
        const size_t k = utf8_seq(u + i, n - i);
        if (!k) {
            buf[0] = '\0';
            return 0;
        }
        i += k;
    }
    return 1;
}

int quorvane_msg_uses_markdown(uint8_t type, const char *text, size_t len) {
    if (type == QV_MSG_TYPE_STICKER || !text || len == 0) return 0;
    return n_markdown_has_markup_ex(text, len, QV_MD_FLAGS);
}

int quorvane_picker_action(int reacting, int sticker) {
    if (reacting) return QV_PICKER_REACT;
    return sticker ? QV_PICKER_STICKER : QV_PICKER_INSERT;
}
