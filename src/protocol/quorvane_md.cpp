// One-line markdown: walk, plain line and clip.
#include "quorvane_md.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

namespace {

bool is_punct(unsigned char c) {
    return c > 0x20 && c < 0x7F && !((c | 0x20) >= 'a' && (c | 0x20) <= 'z') && !(c >= '0' && c <= '9');
}

// Pieces appended with control bytes as spaces.
void add_piece(void *user, const char *text, int, const char *, int) {
    auto *out = static_cast<std::string *>(user);
    for (; *text; text++) *out += static_cast<unsigned char>(*text) < 0x20 ? ' ' : *text;
}
// The plain line of text[0..len), or false when memory ran out.
bool plain_line(const char *text, size_t len, std::string &out) {
    size_t n = 0;
    char *p = quorvane_md_line_plain(text, len, &n);
    if (!p) return false;
    try {
        out.assign(p, n);
    } catch (const std::bad_alloc &) {
        free(p);
        return false;
    }
    free(p);
    return true;
}

void rtrim_spaces(std::string &s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
}

bool shortcode_byte(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == ':'; }
bool word_byte(unsigned char c) { return ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') || (c >= '0' && c <= '9') || c == '_'; }

// Whether a cut at `pos` would fall inside an emoji shortcode such as ":smile:".
bool inside_shortcode(const std::string &s, size_t pos) {
    if (pos >= s.size() || !shortcode_byte(static_cast<unsigned char>(s[pos]))) return false;
    size_t k = pos;
    while (k > 0 && pos - k < QV_MD_SHORTCODE_BACK && word_byte(static_cast<unsigned char>(s[k - 1]))) k--;
    return k > 0 && s[k - 1] == ':' && pos - (k - 1) < QV_MD_SHORTCODE_BACK;
}

// Bytes of the UTF-8 character at s[i]: its whole sequence when well formed, else 1.
size_t char_len(std::string_view s, size_t i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t n = c >= 0xF0 && c <= 0xF7 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 1;
    if (n == 1 || c > 0xF7 || i + n > s.size()) return 1;
    for (size_t k = 1; k < n; k++)
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 1;
    return n;
}

size_t clip(const char *text, size_t max_len, size_t limit, char *out) {
    std::string copy(text, strnlen(text, max_len));
    for (char &c : copy)
        if (static_cast<unsigned char>(c) < 0x20 && c != '\n') c = ' ';
    auto put = [&](std::string_view s) {
        memcpy(out, s.data(), s.size());
        out[s.size()] = '\0';
        return s.size();
    };
    if (copy.size() <= limit) return put(copy);

    std::string ref, r;
    if (!plain_line(copy.data(), copy.size(), ref)) return 0;
    size_t start = limit;
    while (start > 0 && (static_cast<unsigned char>(copy[start]) & 0xC0) == 0x80) start--;
    // A cut is accepted when the prefix renders as the beginning of the whole.
    auto accepted = [&](size_t q, bool &ok) {
        while (q > 0 && (copy[q - 1] == ' ' || copy[q - 1] == '\n')) q--;
        if (!plain_line(copy.data(), q, r)) return false;
        rtrim_spaces(r);
        ok = !r.empty() && r.size() < ref.size() && ref.compare(0, r.size(), r) == 0;
        if (ok) put(std::string_view(copy).substr(0, q)), start = q;
        return true;
    };
    size_t tried = 0;
    bool ok = false;
    if (!inside_shortcode(copy, start)) {
        tried++;
        if (!accepted(start, ok)) return 0;
        if (ok) return start;
    }
    for (size_t p = start; p-- > 1 && tried < QV_MD_CLIP_TRIES;) {
        if (copy[p - 1] != ' ' && copy[p - 1] != '\n') continue;
        tried++;
        if (!accepted(p, ok)) return 0;
        if (ok) return start;
    }

    // Nothing renders as a prefix: the reference itself, every ASCII
    // punctuation escaped so it reads literally, whole characters only.
    std::string esc;
    for (size_t i = 0; i < ref.size();) {
        const unsigned char c = static_cast<unsigned char>(ref[i]);
        const size_t n = char_len(ref, i);
        const size_t need = is_punct(c) ? 2 : n;
        if (esc.size() + need > limit) break;
        if (is_punct(c)) esc += '\\';
        esc.append(ref, i, n);
        i += n;
    }
    rtrim_spaces(esc);
    return put(esc);
}

}  // namespace

void quorvane_md_line_walk(const N_MARKDOWN *doc, quorvane_md_piece_fn piece_fn, void *user) {
    if (!doc || !piece_fn) return;
    bool sent = false;
    auto sep = [&](const char *s) { piece_fn(user, s, 0, nullptr, QV_MD_PIECE_SEP); };
    auto spans = [&](const N_MARKDOWN_INLINE_LIST &l, int kind) {
        for (size_t i = 0; i < l.count; i++) {
            const N_MARKDOWN_INLINE &s = l.spans[i];
            if (s.text[0]) piece_fn(user, s.text, s.style, (s.style & N_MD_LINK) ? s.url : nullptr, kind);
            sent = true;  // an empty span counts too
        }
    };
    for (size_t bi = 0; bi < doc->count; bi++) {
        const N_MARKDOWN_BLOCK &b = doc->blocks[bi];
        switch (b.type) {
        case N_MD_PARAGRAPH:
        case N_MD_HEADING:
        case N_MD_QUOTE:
            if (sent) sep(" ");
            spans(b.inl, b.type == N_MD_HEADING ? QV_MD_PIECE_HEADING : b.type == N_MD_QUOTE ? QV_MD_PIECE_QUOTE : QV_MD_PIECE_TEXT);
            break;
        case N_MD_CODE_BLOCK:
            if (b.code && b.code[0]) {
                if (sent) sep(" ");
                piece_fn(user, b.code, N_MD_CODE, nullptr, QV_MD_PIECE_CODE);
                sent = true;
            }
            break;
        case N_MD_BULLET_LIST:
        case N_MD_ORDERED_LIST:
            for (size_t i = 0; i < b.item_count; i++) {
                if (sent) sep(" ");
                spans(b.items[i], QV_MD_PIECE_TEXT);
            }
            break;
        case N_MD_TABLE:
            if (sent) sep(" ");
            for (size_t i = 0; i < b.item_count; i++) {
                if (i) sep(" | ");
                spans(b.items[i], QV_MD_PIECE_TEXT);
            }
            sent = true;
            break;
        case N_MD_RULE:
            if (sent) sep(" ");
            break;
        default: break;
        }
    }
}

char *quorvane_md_line_plain(const char *text, size_t len, size_t *len_out) {
    if (len_out) *len_out = 0;
    N_MARKDOWN doc;
    n_markdown_parse_ex(text ? text : "", text ? len : 0, QV_MD_FLAGS, &doc);
    std::string line;
    bool ok = true;
    try {
        line.reserve(64);
        quorvane_md_line_walk(&doc, add_piece, &line);
    } catch (const std::bad_alloc &) {
        ok = false;
    }
    n_markdown_free(&doc);
    char *p = ok ? static_cast<char *>(malloc(line.size() + 1)) : nullptr;
    if (!p) return nullptr;
    memcpy(p, line.c_str(), line.size() + 1);
    if (len_out) *len_out = line.size();
    return p;
}

size_t quorvane_md_clip(const char *text, size_t max_len, size_t limit, char *out) {
    if (!out) return 0;
    out[0] = '\0';
    if (!text || limit == 0) return 0;
    try {
        return clip(text, max_len, limit, out);
    } catch (const std::bad_alloc &) {
        out[0] = '\0';
        return 0;
    }
}
