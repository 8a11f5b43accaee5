#include "client_msgact.h"

#include <algorithm>
#include <cstring>

#include "quorvane_crypto.h"
#include "quorvane_msg.h"

namespace {

constexpr size_t MENTION_REPLY_PREFIX = QV_MSG_TARGET_LEN;  // type, target sender, target counter

struct quick_react {
    const char *code;
    const char *label;
};
constexpr quick_react QUICK[] = {
    {"thumbsup", "thumbs up"}, {"heart", "heart"}, {"laugh", "laugh"}, {"wow", "wow"},
    {"fire", "fire"},          {"party", "party"}, {"check", "check"},
};
constexpr size_t QUICK_COUNT = sizeof QUICK / sizeof QUICK[0];

// Locale-free: the default ("C") locale's punctuation class, whatever locale the
// application set.
bool ascii_punct(unsigned char c) {
    return (c >= 0x21 && c <= 0x2f) || (c >= 0x3a && c <= 0x40) || (c >= 0x5b && c <= 0x60) || (c >= 0x7b && c <= 0x7e);
}

unsigned char ascii_lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; }

bool same_ignoring_case(const unsigned char *a, const unsigned char *b, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}

const quick_react *quick_find(const char *code) {
    if (!code) return nullptr;
    for (const quick_react &q : QUICK)
        if (std::strcmp(q.code, code) == 0) return &q;
    return nullptr;
}

// Copies at most cap - 1 bytes, moving a cut back to a character start. A zero
// byte a peer put in its text ends the text: the clipboard takes a C string, and
// "copied" must not be reported for an empty one.
int copy_cut(const char *src, size_t len, char *out, size_t cap) {
    len = strnlen(src, len);
    size_t n = std::min(len, cap - 1);
    if (n < len)
        while (n > 0 && (static_cast<unsigned char>(src[n]) & 0xc0) == 0x80) n--;
    std::memcpy(out, src, n);
    out[n] = '\0';
    return n > 0;
}

// Decoded blob records hold the blob key: wiped on every way out.
template <class T> struct wiped {
    T rec;
    ~wiped() { quorvane_cleanse(&rec, sizeof rec); }
};

}  // namespace

int quorvane_mention_typing(const char *text, size_t cursor, size_t *start, size_t *len) {
    if (!text) return 0;
    const auto *t = reinterpret_cast<const unsigned char *>(text);
    const size_t end = strnlen(text, cursor);
    for (size_t i = end; i > 0; i--) {
        const unsigned char c = t[i - 1];
        if (c < 0x21) return 0;
        if (c != '@') continue;
        if (i - 1 > 0 && t[i - 2] >= 0x21) return 0;
        if (start) *start = i - 1;
        if (len) *len = end - i;
        return 1;
    }
    return 0;
}

int quorvane_text_mentions(const char *text, const char *name) {
    if (!text || !name) return 0;
    const size_t nlen = std::strlen(name), tlen = std::strlen(text);
    if (nlen == 0 || tlen <= nlen) return 0;
    const auto *t = reinterpret_cast<const unsigned char *>(text);
    const auto *nm = reinterpret_cast<const unsigned char *>(name);
    const size_t span = tlen - nlen;  // an "@" at or past this leaves no room for the name
    for (size_t at = 0; at < span; at++) {
        const void *hit = std::memchr(t + at, '@', span - at);
        if (!hit) break;
        at = static_cast<size_t>(static_cast<const unsigned char *>(hit) - t);
        if (at > 0 && t[at - 1] > 0x20) continue;
        if (!same_ignoring_case(t + at + 1, nm, nlen)) continue;
        const unsigned char after = t[at + 1 + nlen];  // the terminator at the end of the text
        if (after < 0x21 || ascii_punct(after)) return 1;
    }
    return 0;
}

void quorvane_overlays_note(quorvane_overlays *o, float x, float y, float w, float h) {
    if (!o) return;
    if (o->count < 0) o->count = 0;
    if (o->count < QV_OVERLAYS_MAX) {
        o->rect[o->count++] = {x, y, w, h};
        return;
    }
    quorvane_overlay_rect &last = o->rect[QV_OVERLAYS_MAX - 1];
    const float left = std::min(last.x, x), top = std::min(last.y, y);
    const float right = std::max(last.x + last.w, x + w), bottom = std::max(last.y + last.h, y + h);
    last = {left, top, right - left, bottom - top};
}

int quorvane_overlays_hit(const quorvane_overlays *o, int x, int y) {
    if (!o) return 0;
    const float px = static_cast<float>(x), py = static_cast<float>(y);
    const int32_t n = std::min(o->count, QV_OVERLAYS_MAX);
    for (int32_t i = 0; i < n; i++) {
        const quorvane_overlay_rect &r = o->rect[i];
        if (px >= r.x && px <= r.x + r.w && py >= r.y && py <= r.y + r.h) return 1;
    }
    return 0;
}

void quorvane_overlays_clear(quorvane_overlays *o) {
    if (o) o->count = 0;
}

int quorvane_longpress_route(int on_field, int on_message, int alternate) {
    if (on_field) return QV_LONGPRESS_PASTE;
    if (!on_message) return QV_LONGPRESS_NONE;
    return alternate ? QV_LONGPRESS_SELECT : QV_LONGPRESS_MENU;
}

int quorvane_longpress_on_hold(int route) { return route == QV_LONGPRESS_MENU || route == QV_LONGPRESS_SELECT; }

int quorvane_msg_copy_text(const quorvane_ms_msgrec *msg, char *out, size_t cap) {
    if (!out || !cap) return 0;
    out[0] = '\0';
    if (!msg) return 0;
    const size_t len = static_cast<size_t>(std::min<uint64_t>(msg->text_len, QV_MS_TEXT_MAX));
    const auto *body = reinterpret_cast<const uint8_t *>(msg->text);
    switch (msg->type) {
    case QV_MSG_TEXT: return copy_cut(msg->text, len, out, cap);
    case QV_MSG_FILE: {
        wiped<quorvane_file_meta> f;
        if (quorvane_msg_file_decode(body, len, &f.rec) != 0) return 0;
        return copy_cut(f.rec.name, std::strlen(f.rec.name), out, cap);
    }
    case QV_MSG_REPLY:
        if (len <= MENTION_REPLY_PREFIX) return 0;
        return copy_cut(msg->text + MENTION_REPLY_PREFIX, len - MENTION_REPLY_PREFIX, out, cap);
    case QV_MSG_LINK: {
        wiped<quorvane_link_meta> l;
        if (quorvane_msg_link_decode(body, len, &l.rec) != 0) return 0;
        return copy_cut(l.rec.url, std::strlen(l.rec.url), out, cap);
    }
    default: return 0;
    }
}

int quorvane_quick_react_valid(const char *code) { return quick_find(code) != nullptr; }

const char *quorvane_quick_react_next(const char *code) {
    const quick_react *q = quick_find(code);
    if (!q) return QUICK[0].code;
    return QUICK[(static_cast<size_t>(q - QUICK) + 1) % QUICK_COUNT].code;
}

const char *quorvane_quick_react_label(const char *code) {
    if (!code) return "";
    const quick_react *q = quick_find(code);
    return q ? q->label : code;
}
