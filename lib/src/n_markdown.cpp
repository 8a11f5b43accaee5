// Markdown parser and plain-text conversion.
//
// Every message a peer sends is parsed here on the UI thread, so the parser
// must stay linear on hostile text. The inline grammar looks for "the next"
// closer of each marker; found by scanning, a text of many unclosed openers
// costs the square of its length. Instead each inline text is indexed once
// into runs of the bytes that close something, and each nesting depth keeps a
// forward-only cursor per kind of search, shared by all parses at that depth:
// the positions asked about only grow there, so every cursor crosses the runs
// once. At most 17 depths (the nesting limit) parse any byte, and block rules
// look at each line a bounded number of times.
#include "n_markdown.h"

#include "n_log.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr size_t npos = std::string_view::npos;
// Indentation is counted no further: deeper is as deep, and a line of
// gigabytes of blanks cannot overflow the count.
constexpr int N_MD_MAX_COLUMNS = 1 << 28;

bool is_blank(unsigned char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r'; }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_alpha(unsigned char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
bool is_alnum(unsigned char c) { return is_alpha(c) || is_digit(c); }
bool is_word(unsigned char c) { return is_alnum(c) || c >= 0x80; }
bool is_punct(unsigned char c) { return c > 0x20 && c < 0x7F && !is_alnum(c); }

std::string_view trim_blanks(std::string_view s) {
    while (!s.empty() && is_blank(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && is_blank(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

bool starts_ci(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); i++)
        if (static_cast<char>(s[i] | (is_alpha(static_cast<unsigned char>(s[i])) ? 0x20 : 0)) != prefix[i]) return false;
    return true;
}

// Length of "http://" or "https://" at the start of s, or 0.
size_t http_scheme_len(std::string_view s) {
    if (starts_ci(s, "https://")) return 8;
    if (starts_ci(s, "http://")) return 7;
    return 0;
}

bool relative_url_ok(std::string_view u) {
    for (unsigned char c : u)
        if (c < 0x20 || c == 0x7F || c == '\\') return false;
    if (starts_ci(u, "mailto:")) return true;
    if (u.size() >= 2 && u[0] == '/' && u[1] == '/') return false;
    for (char c : u) {
        if (c == '/' || c == '?' || c == '#') break;
        if (c == ':') return false;
    }
    return true;
}

char *dup_text(std::string_view s) {
    char *p = n_calloc(span_text, s.size() + 1, char);
    if (!p) return nullptr;
    if (!s.empty()) memcpy(p, s.data(), s.size());
    p[s.size()] = '\0';
    return p;
}

// Arrays grow geometrically (capacity follows from the count: 4, then the
// next power of two), so a long list costs linear time in copies.
template <class T> bool push_back(T *&arr, size_t &count, const T &v) {
    if (count == 0 || (count >= 4 && (count & (count - 1)) == 0)) {
        const size_t cap = count == 0 ? 4 : count * 2;
        T *n = reinterpret_cast<T *>(n_realloc(markdown_array, reinterpret_cast<char *>(arr), cap * sizeof(T)));
        if (!n) return false;
        arr = n;
    }
    arr[count++] = v;
    return true;
}

void free_list(N_MARKDOWN_INLINE_LIST &l) {
    for (size_t i = 0; i < l.count; i++) {
        free(l.spans[i].text);
        free(l.spans[i].url);
    }
    free(l.spans);
    l.spans = nullptr;
    l.count = 0;
}

void free_block(N_MARKDOWN_BLOCK &b) {
    free_list(b.inl);
    free(b.code);
    for (size_t i = 0; i < b.item_count; i++) free_list(b.items[i]);
    free(b.items);
    free(b.aligns);
    b = N_MARKDOWN_BLOCK{};
}

/* ---- inline parsing ---- */

// A maximal run [a, b) of one byte value. For underscores, ok() tells
// whether the byte after the run (the end of the text counts) lets the run
// close. Offsets are 32-bit for texts under 2 GiB, so the index of a hostile
// text stays a fraction of the cache it would otherwise flood.
template <class Off> struct Run {
    static constexpr Off kOk = Off(1) << (sizeof(Off) * 8 - 1);
    Off a_, b_;
    size_t a() const { return a_; }
    size_t b() const { return b_ & ~kOk; }
    bool ok() const { return b_ & kOk; }
};

// Which run list a byte belongs to, or -1.
int run_kind(unsigned char c) {
    switch (c) {
    case '*': return 0;
    case '_': return 1;
    case '~': return 2;
    case '`': return 3;
    case ']': return 4;
    case ')': return 5;
    case '>': return 6;
    default: return is_blank(c) ? 7 : -1;
    }
}

template <class Off> struct InlineIndex {
    std::vector<Run<Off>> runs[8];
    std::vector<Run<Off>> &star = runs[0], &under = runs[1], &tilde = runs[2], &tick = runs[3], &rbracket = runs[4],
                          &rparen = runs[5], &gt = runs[6], &blank = runs[7];
    explicit InlineIndex(std::string_view t) {
        // Two passes: count, then fill lists allocated once at their size.
        size_t counts[8] = {};
        for (int pass = 0; pass < 2; pass++) {
            if (pass == 1)
                for (int k = 0; k < 8; k++) runs[k].reserve(counts[k]);
            for (size_t i = 0; i < t.size();) {
                const unsigned char c = static_cast<unsigned char>(t[i]);
                const int kind = run_kind(c);
                if (kind < 0) {
                    i++;
                    continue;
                }
                size_t j = i + 1;
                if (kind == 7)
                    while (j < t.size() && is_blank(static_cast<unsigned char>(t[j]))) j++;
                else
                    while (j < t.size() && static_cast<unsigned char>(t[j]) == c) j++;
                if (pass == 0) {
                    counts[kind]++;
                } else {
                    const bool ok = j == t.size() || !is_word(static_cast<unsigned char>(t[j]));
                    runs[kind].push_back(Run<Off>{static_cast<Off>(i), static_cast<Off>(j | (ok ? Run<Off>::kOk : 0))});
                }
                i = j;
            }
        }
    }
    InlineIndex(const InlineIndex &) = delete;
    InlineIndex &operator=(const InlineIndex &) = delete;
};

// A forward-only search over one run list. The parses at one nesting depth
// cover disjoint ranges from left to right, each ending where a run of its
// closer begins; within them the start positions asked for never decrease.
// So one cursor per depth and kind of search serves every parse at that
// depth, and a run passed over once never answers a later question.
template <class Off> struct Cursor {
    const std::vector<Run<Off>> *v = nullptr;
    size_t k = 0;

    // First position >= p and < e inside a run; `closing` keeps only
    // underscore runs allowed to close (a run reaching e is followed by nothing).
    size_t single(size_t p, size_t e, bool closing = false) {
        for (; k < v->size(); k++) {
            const Run<Off> &r = (*v)[k];
            if (r.a() >= e) return npos;
            if (r.b() <= p || (closing && !r.ok() && r.b() < e)) continue;
            return std::max(r.a(), p);
        }
        return npos;
    }
    // First q >= p with q and q + 1 inside one run and before e.
    size_t pair(size_t p, size_t e, bool closing = false) {
        for (; k < v->size(); k++) {
            const Run<Off> &r = (*v)[k];
            if (r.a() >= e) return npos;
            const size_t q = std::max(r.a(), p);
            if (q + 2 > std::min(r.b(), e) || (closing && !r.ok() && r.b() < e)) continue;
            return q;
        }
        return npos;
    }
};

// The cursors of one nesting depth.
template <class Off> struct Cursors {
    Cursor<Off> tick, rbr, rpar, gt, link_blank, auto_blank, tilde_pair, star_pair, star_one, under_pair, under_one;
    explicit Cursors(const InlineIndex<Off> &ix)
        : tick{&ix.tick}, rbr{&ix.rbracket}, rpar{&ix.rparen}, gt{&ix.gt}, link_blank{&ix.blank},
          auto_blank{&ix.blank}, tilde_pair{&ix.tilde}, star_pair{&ix.star}, star_one{&ix.star},
          under_pair{&ix.under}, under_one{&ix.under} {}
};

template <class Off> struct InlineParser {
    std::string_view t;
    int flags;
    const InlineIndex<Off> &ix;
    N_MARKDOWN_INLINE_LIST &out;
    std::vector<Cursors<Off>> levels;  // one per depth reached; capacity reserved so references stay valid

    void add_span(std::string_view text, const char *url_p, size_t url_n, int style) {
        if (out.count >= N_MD_MAX_SPANS) return;
        N_MARKDOWN_INLINE s{dup_text(text), nullptr, style};
        if (s.text && url_p) s.url = dup_text(std::string_view(url_p, url_n));
        if (!s.text || (url_p && !s.url) || !push_back(out.spans, out.count, s)) {
            free(s.text);
            free(s.url);
        }
    }

    void parse(size_t b, size_t e, int style, int depth);
};

template <class Off> void InlineParser<Off>::parse(size_t b, size_t e, int style, int depth) {
    while (levels.size() <= static_cast<size_t>(depth)) levels.emplace_back(ix);
    Cursors<Off> &cur = levels[static_cast<size_t>(depth)];
    Cursor<Off> &tick = cur.tick, &rbr = cur.rbr, &rpar = cur.rpar, &gt = cur.gt, &link_blank = cur.link_blank,
           &auto_blank = cur.auto_blank, &tilde_pair = cur.tilde_pair, &star_pair = cur.star_pair,
           &star_one = cur.star_one, &under_pair = cur.under_pair, &under_one = cur.under_one;
    std::string buf;
    buf.reserve(32);
    auto flush = [&] {
        if (!buf.empty()) add_span(buf, nullptr, 0, style);
        buf.clear();
    };
    // Whether the byte before position i, past underscores, is a word byte.
    // Remembered for the last underscore asked about, so a long run of
    // underscores is walked back over once.
    size_t memo_pos = npos;
    bool memo_word = false;
    auto word_before = [&](size_t i) {
        size_t k = i;
        bool r;
        while (k > b && t[k - 1] == '_' && k - 1 != memo_pos) k--;
        if (k > b && k - 1 == memo_pos && t[k - 1] == '_')
            r = memo_word;
        else
            r = k > b && is_word(static_cast<unsigned char>(t[k - 1]));
        memo_pos = i;
        memo_word = r;
        return r;
    };
    // "[text](url)" starting at i: fills the text and URL ranges and the end.
    auto link_form = [&](size_t i, size_t &ta, size_t &tb, size_t &ua, size_t &ub) {
        const size_t j = rbr.single(i + 1, e);
        if (j == npos || j + 1 >= e || t[j + 1] != '(') return false;
        const size_t k = rpar.single(j + 2, e);
        if (k == npos || k == j + 2 || link_blank.single(j + 2, k) != npos) return false;
        ta = i + 1, tb = j, ua = j + 2, ub = k;
        return true;
    };
    auto url_accepted = [&](std::string_view u) {
        return http_scheme_len(u) != 0 || ((flags & N_MD_RELATIVE_URLS) && relative_url_ok(u));
    };

    size_t i = b;
    while (i < e) {
        const unsigned char c = static_cast<unsigned char>(t[i]);
        if (c == '\\' && (flags & N_MD_ESCAPES) && i + 1 < e && is_punct(static_cast<unsigned char>(t[i + 1]))) {
            buf += t[i + 1];
            i += 2;
            continue;
        }
        if (c == '`') {
            const size_t j = tick.single(i + 1, e);
            if (j == npos) {
                buf += '`';
                i++;
            } else if (j == i + 1) {
                buf += "``";
                i += 2;
            } else {
                flush();
                add_span(t.substr(i + 1, j - i - 1), nullptr, 0, style | N_MD_CODE);
                i = j + 1;
            }
            continue;
        }
        if ((c == '[' || (c == '!' && (flags & N_MD_IMAGES) && i + 1 < e && t[i + 1] == '['))) {
            const size_t at = c == '[' ? i : i + 1;
            size_t ta, tb, ua, ub;
            if (link_form(at, ta, tb, ua, ub)) {
                const std::string_view url = t.substr(ua, ub - ua);
                if (url_accepted(url)) {
                    flush();
                    add_span(t.substr(ta, tb - ta), url.data(), url.size(),
                             style | (c == '[' ? N_MD_LINK : N_MD_IMAGE));
                } else {
                    buf.append(t.substr(i, ub + 1 - i));
                }
                i = ub + 1;
                continue;
            }
        }
        if (flags & N_MD_AUTOLINKS) {
            if (c == '<') {
                const size_t j = gt.single(i + 1, e);
                if (j != npos) {
                    const std::string_view u = t.substr(i + 1, j - i - 1);
                    const size_t sl = http_scheme_len(u);
                    if (sl && u.size() > sl && auto_blank.single(i + 1, j) == npos) {
                        flush();
                        add_span(u, u.data(), u.size(), style | N_MD_LINK);
                        i = j + 1;
                        continue;
                    }
                }
            } else if ((c | 0x20) == 'h' && (i == b || !(is_word(static_cast<unsigned char>(t[i - 1])) || t[i - 1] == '/'))) {
                const size_t sl = http_scheme_len(t.substr(i, std::min<size_t>(8, e - i)));
                if (sl) {
                    size_t j = i + sl;
                    while (j < e) {
                        const unsigned char d = static_cast<unsigned char>(t[j]);
                        if (is_blank(d) || d == '\n' || d == '"' || d == '<' || d == '>' || d == '`') break;
                        j++;
                    }
                    size_t open = 0, close = 0;
                    for (size_t k = i + sl; k < j; k++) {
                        open += t[k] == '(';
                        close += t[k] == ')';
                    }
                    while (j > i + sl) {
                        const char d = t[j - 1];
                        if (d == ')' && close > open) {
                            close--;
                        } else if (!strchr("!\"'*,.:;?_~", d)) {
                            break;
                        }
                        j--;
                    }
                    if (j > i + sl) {
                        flush();
                        const std::string_view u = t.substr(i, j - i);
                        add_span(u, u.data(), u.size(), style | N_MD_LINK);
                        i = j;
                        continue;
                    }
                }
            }
        }
        if (c == '~' && (flags & N_MD_STRIKE) && depth < N_MD_MAX_NESTING && i + 1 < e && t[i + 1] == '~') {
            const size_t j = tilde_pair.pair(i + 2, e);
            if (j != npos && j > i + 2) {
                flush();
                parse(i + 2, j, style | N_MD_STRIKETHROUGH, depth + 1);
                i = j + 2;
                continue;
            }
        }
        if ((c == '*' || c == '_') && depth < N_MD_MAX_NESTING && !(c == '_' && word_before(i))) {
            const bool u = c == '_';
            if (i + 1 < e && static_cast<unsigned char>(t[i + 1]) == c) {
                const size_t j = (u ? under_pair : star_pair).pair(i + 2, e, u);
                if (j != npos && j > i + 2) {
                    flush();
                    parse(i + 2, j, style | N_MD_BOLD, depth + 1);
                    i = j + 2;
                    continue;
                }
            }
            const size_t j = (u ? under_one : star_one).single(i + 1, e, u);
            if (j != npos && j > i + 1) {
                flush();
                parse(i + 1, j, style | N_MD_ITALIC, depth + 1);
                i = j + 1;
                continue;
            }
        }
        buf += static_cast<char>(c);
        i++;
    }
    flush();
}

template <class Off> void parse_inline_as(std::string_view text, int flags, N_MARKDOWN_INLINE_LIST &out) {
    const InlineIndex<Off> ix(text);
    InlineParser<Off> p{text, flags, ix, out, {}};
    p.levels.reserve(N_MD_MAX_NESTING + 1);
    p.parse(0, text.size(), 0, 0);
}

void parse_inline(std::string_view text, int flags, N_MARKDOWN_INLINE_LIST &out) {
    if (text.size() < Run<uint32_t>::kOk)
        parse_inline_as<uint32_t>(text, flags, out);
    else
        parse_inline_as<uint64_t>(text, flags, out);
}

/* ---- block parsing ---- */

struct Line {
    std::string_view s;  // without its indentation when N_MD_INDENT is on
    int cols;            // indentation in columns
    size_t bytes;        // indentation in bytes
};

struct OrderedMarker {
    size_t len = 0;  // bytes up to and including the blank after ".", 0 when none
    long value = 0;
};

// 1 to 9 digits, ".", a blank. A longer number is no list item, so the
// value always fits a long and the markers' arithmetic cannot overflow.
OrderedMarker ordered_marker(std::string_view s) {
    OrderedMarker m;
    size_t d = 0;
    long v = 0;
    while (d < s.size() && is_digit(static_cast<unsigned char>(s[d]))) {
        if (++d > N_MD_MAX_NUMBER_DIGITS) return m;
        v = v * 10 + (s[d - 1] - '0');
    }
    if (d == 0 || d + 1 >= s.size() || s[d] != '.' || !is_blank(static_cast<unsigned char>(s[d + 1]))) return m;
    m.len = d + 2;
    m.value = v;
    return m;
}

bool bullet_marker(std::string_view s) {
    return s.size() >= 2 && (s[0] == '-' || s[0] == '*') && is_blank(static_cast<unsigned char>(s[1]));
}

size_t fence_run(std::string_view s, char *ch) {
    if (s.empty() || (s[0] != '`' && s[0] != '~')) return 0;
    size_t n = 1;
    while (n < s.size() && s[n] == s[0]) n++;
    if (n < 3) return 0;
    *ch = s[0];
    return n;
}

bool blank_line(std::string_view s) {
    for (char c : s)
        if (!is_blank(static_cast<unsigned char>(c))) return false;
    return true;
}

int heading_level(std::string_view s) {
    size_t n = 0;
    while (n < s.size() && n < 7 && s[n] == '#') n++;
    return n >= 1 && n <= 6 && n < s.size() && s[n] == ' ' ? static_cast<int>(n) : 0;
}

bool rule_line(std::string_view s) {
    s = trim_blanks(s);
    if (s.empty() || (s[0] != '*' && s[0] != '-' && s[0] != '_')) return false;
    size_t count = 0;
    for (char c : s) {
        if (c == s[0])
            count++;
        else if (!is_blank(static_cast<unsigned char>(c)))
            return false;
    }
    return count >= 3;
}

// Cells of a table row, at most N_MD_MAX_ROW_CELLS; not yet trimmed.
void split_cells(std::string_view s, std::vector<std::string_view> &cells) {
    cells.clear();
    s = trim_blanks(s);
    if (!s.empty() && s.front() == '|') s.remove_prefix(1);
    if (!s.empty() && s.back() == '|') s.remove_suffix(1);
    for (;;) {
        const size_t bar = s.find('|');
        if (cells.size() < N_MD_MAX_ROW_CELLS) cells.push_back(s.substr(0, bar));
        if (bar == npos || cells.size() >= N_MD_MAX_ROW_CELLS) return;
        s.remove_prefix(bar + 1);
    }
}

bool rule_cell(std::string_view c) {
    c = trim_blanks(c);
    if (!c.empty() && c.front() == ':') c.remove_prefix(1);
    if (!c.empty() && c.back() == ':') c.remove_suffix(1);
    if (c.empty()) return false;
    for (char ch : c)
        if (ch != '-') return false;
    return true;
}

struct BlockParser {
    int flags;
    std::vector<Line> lines;
    N_MARKDOWN &doc;
    std::vector<std::string_view> cells;  // scratch

    bool rule_row(size_t i) {
        if (i >= lines.size()) return false;
        split_cells(lines[i].s, cells);
        for (auto c : cells)
            if (!rule_cell(c)) return false;
        return !cells.empty();
    }
    bool table_start(size_t i) {
        return (flags & N_MD_TABLES) && lines[i].s.find('|') != npos && rule_row(i + 1);
    }
    bool starts_block(size_t i) {
        const std::string_view s = lines[i].s;
        char ch;
        return ((flags & N_MD_HEADINGS) && heading_level(s)) || table_start(i) ||
               ((flags & N_MD_RULES) && rule_line(s)) || (!s.empty() && s[0] == '>') || fence_run(s, &ch) ||
               bullet_marker(s) || ordered_marker(s).len;
    }
    // A block whose own storage could not be had is dropped whole: readers
    // index a table's alignments and print a code block's text unchecked.
    void add(N_MARKDOWN_BLOCK &b) {
        const bool whole = !(b.type == N_MD_TABLE && !b.aligns) && !(b.type == N_MD_CODE_BLOCK && !b.code);
        if (!whole || doc.count >= N_MD_MAX_BLOCKS || !push_back(doc.blocks, doc.count, b)) free_block(b);
    }
    void add_item(N_MARKDOWN_BLOCK &b, std::string_view text) {
        if (b.item_count >= N_MD_MAX_ITEMS) return;
        N_MARKDOWN_INLINE_LIST l{};
        parse_inline(text, flags, l);
        if (!push_back(b.items, b.item_count, l)) free_list(l);
    }
    size_t table(size_t i, N_MARKDOWN_BLOCK &b);
    size_t list(size_t i, N_MARKDOWN_BLOCK &b, bool ordered);
    void run();
};

size_t BlockParser::table(size_t i, N_MARKDOWN_BLOCK &b) {
    b.type = N_MD_TABLE;
    split_cells(lines[i].s, cells);
    const std::vector<std::string_view> header = cells;
    b.columns = std::max<size_t>(1, header.size());
    b.aligns = n_calloc(b.aligns, b.columns, unsigned char);
    split_cells(lines[i + 1].s, cells);
    for (size_t c = 0; b.aligns && c < b.columns && c < cells.size(); c++) {
        const std::string_view r = trim_blanks(cells[c]);
        if (r.back() == ':') b.aligns[c] = r.front() == ':' ? 1 : 2;
    }
    auto add_row = [&](const std::vector<std::string_view> &row) {
        // Rows are kept whole: a table's cells stay a multiple of its columns.
        if (b.item_count + b.columns > N_MD_MAX_ITEMS) return;
        for (size_t c = 0; c < b.columns; c++) add_item(b, c < row.size() ? trim_blanks(row[c]) : std::string_view());
    };
    add_row(header);
    size_t k = i + 2;
    while (k < lines.size() && !blank_line(lines[k].s) && lines[k].s.find('|') != npos && !starts_block(k)) {
        split_cells(lines[k].s, cells);
        add_row(cells);
        k++;
    }
    return k;
}

size_t BlockParser::list(size_t i, N_MARKDOWN_BLOCK &b, bool ordered) {
    const bool indent = flags & N_MD_INDENT;
    const int list_cols = lines[i].cols;
    b.type = ordered ? N_MD_ORDERED_LIST : N_MD_BULLET_LIST;
    if (ordered && indent) b.number = ordered_marker(lines[i].s).value;
    size_t k = i;
    std::string item;
    for (;;) {
        std::string_view s = lines[k].s;
        s.remove_prefix(ordered ? ordered_marker(s).len : 1);
        while (!s.empty() && is_blank(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
        item.assign(s);
        for (k++; k < lines.size(); k++) {
            const Line &l = lines[k];
            if (l.s.empty() || blank_line(l.s) || starts_block(k)) break;
            if (indent ? l.cols <= list_cols : !is_blank(static_cast<unsigned char>(l.s[0]))) break;
            std::string_view c = l.s;
            while (!c.empty() && is_blank(static_cast<unsigned char>(c.front()))) c.remove_prefix(1);
            item += ' ';
            item.append(c);
        }
        add_item(b, item);
        if (k >= lines.size() || (indent && lines[k].cols != list_cols)) break;
        if (ordered ? !ordered_marker(lines[k].s).len : !bullet_marker(lines[k].s)) break;
    }
    return k;
}

void BlockParser::run() {
    const bool indent = flags & N_MD_INDENT;
    std::vector<int> stack;  // list indentations, increasing
    std::string text;
    size_t i = 0;
    while (i < lines.size() && doc.count < N_MD_MAX_BLOCKS) {
        const std::string_view s = lines[i].s;
        if (blank_line(s)) {
            i++;
            continue;
        }
        if (indent)
            while (!stack.empty() && stack.back() >= lines[i].cols) stack.pop_back();
        N_MARKDOWN_BLOCK b{};
        b.depth = static_cast<int>(stack.size());
        char fch = 0;
        size_t flen;
        int level;
        if ((flags & N_MD_HEADINGS) && (level = heading_level(s))) {
            b.type = N_MD_HEADING;
            b.level = level;
            std::string_view rest = s.substr(static_cast<size_t>(level));
            while (!rest.empty() && is_blank(static_cast<unsigned char>(rest.front()))) rest.remove_prefix(1);
            parse_inline(rest, flags, b.inl);
            i++;
        } else if (table_start(i)) {
            i = table(i, b);
        } else if ((flags & N_MD_RULES) && rule_line(s)) {
            b.type = N_MD_RULE;
            i++;
        } else if ((flen = fence_run(s, &fch))) {
            b.type = N_MD_CODE_BLOCK;
            const size_t fence_bytes = lines[i].bytes;
            text.clear();
            size_t k = i + 1;
            for (; k < lines.size(); k++) {
                char c2 = 0;
                if (fence_run(lines[k].s, &c2) >= flen && c2 == fch) break;
                if (k > i + 1) text += '\n';
                if (indent && lines[k].bytes > fence_bytes) text.append(lines[k].bytes - fence_bytes, ' ');
                text.append(lines[k].s);
            }
            b.code = dup_text(text);
            i = k < lines.size() ? k + 1 : k;
        } else if (s[0] == '>') {
            b.type = N_MD_QUOTE;
            text.clear();
            size_t k = i;
            for (; k < lines.size() && !lines[k].s.empty() && lines[k].s[0] == '>'; k++) {
                std::string_view q = lines[k].s.substr(1);
                if (!q.empty() && is_blank(static_cast<unsigned char>(q[0]))) q.remove_prefix(1);
                if (k > i) text += '\n';
                text.append(q);
            }
            parse_inline(text, flags, b.inl);
            i = k;
        } else if (bullet_marker(s) || ordered_marker(s).len) {
            const int cols = lines[i].cols;
            i = list(i, b, !bullet_marker(s));
            if (indent && stack.size() < N_MD_MAX_DEPTH) stack.push_back(cols);
        } else {
            b.type = N_MD_PARAGRAPH;
            text.assign(s);
            size_t k = i + 1;
            for (; k < lines.size() && !blank_line(lines[k].s) && !starts_block(k); k++) {
                text += '\n';
                text.append(lines[k].s);
            }
            parse_inline(text, flags, b.inl);
            i = k;
        }
        add(b);
    }
}

void parse_doc(const char *text, size_t len, int flags, N_MARKDOWN &doc) {
    // The one copy of the input: line ends made LF.
    std::string src;
    src.reserve(len);
    for (size_t i = 0; i < len; i++) {
        if (text[i] == '\r') {
            src += '\n';
            if (i + 1 < len && text[i + 1] == '\n') i++;
        } else {
            src += text[i];
        }
    }
    BlockParser p{flags, {}, doc, {}};
    const bool indent = flags & N_MD_INDENT;
    for (size_t a = 0;;) {
        size_t e = src.find('\n', a);
        if (e == npos) e = src.size();
        Line l{std::string_view(src).substr(a, e - a), 0, 0};
        if (indent) {
            size_t k = 0;
            int cols = 0;
            while (k < l.s.size() && is_blank(static_cast<unsigned char>(l.s[k]))) {
                if (cols < N_MD_MAX_COLUMNS) cols = l.s[k] == '\t' ? (cols / 4 + 1) * 4 : cols + 1;
                k++;
            }
            if (k == l.s.size()) {
                l.s = std::string_view();
            } else {
                l.s.remove_prefix(k);
                l.cols = cols;
                l.bytes = k;
            }
        }
        p.lines.push_back(l);
        if (e == src.size()) break;
        a = e + 1;
    }
    p.run();
}

/* ---- plain text ---- */

struct PlainBuf {
    char *p = nullptr;
    size_t n = 0, cap = 0;
    bool failed = false;
    void add(const char *s, size_t k) {
        if (failed) return;
        if (n + k + 1 > cap) {
            size_t c = cap ? cap : 32;
            while (c < n + k + 1) c *= 2;
            char *q = n_realloc(plain_text, p, c);
            if (!q) {
                failed = true;
                return;
            }
            p = q;
            cap = c;
        }
        if (k) memcpy(p + n, s, k);
        n += k;
        p[n] = '\0';
    }
    void add(const char *s) { add(s, strlen(s)); }
};

void add_spans(PlainBuf &out, const N_MARKDOWN_INLINE_LIST &l) {
    for (size_t i = 0; i < l.count; i++) out.add(l.spans[i].text);
}

}  // namespace

void n_markdown_parse_ex(const char *text, size_t len, int flags, N_MARKDOWN *doc) {
    if (!doc) return;
    *doc = N_MARKDOWN{};
    if (!text) return;
    try {
        parse_doc(text, len, flags, *doc);
    } catch (const std::bad_alloc &) {
        // What was parsed so far stays: a partial document, never an error.
    }
}

void n_markdown_parse(const char *text, size_t len, N_MARKDOWN *doc) { n_markdown_parse_ex(text, len, 0, doc); }

void n_markdown_free(N_MARKDOWN *doc) {
    if (!doc || !doc->blocks) return;
    for (size_t i = 0; i < doc->count; i++) free_block(doc->blocks[i]);
    free(doc->blocks);
    *doc = N_MARKDOWN{};
}

int n_markdown_has_markup_ex(const char *text, size_t len, int flags) {
    if (!text) return 0;
    if (flags & N_MD_ESCAPES)
        for (size_t i = 0; i + 1 < len; i++)
            if (text[i] == '\\' && is_punct(static_cast<unsigned char>(text[i + 1]))) return 1;
    N_MARKDOWN doc;
    n_markdown_parse_ex(text, len, flags, &doc);
    int r = doc.count >= 2 || (doc.count == 1 && doc.blocks[0].type != N_MD_PARAGRAPH);
    for (size_t i = 0; !r && doc.count == 1 && i < doc.blocks[0].inl.count; i++) r = doc.blocks[0].inl.spans[i].style != 0;
    n_markdown_free(&doc);
    return r;
}

int n_markdown_has_markup(const char *text, size_t len) { return n_markdown_has_markup_ex(text, len, 0); }

int n_markdown_plain_sep(const N_MARKDOWN *doc, size_t index) {
    if (!doc || index == 0 || index >= doc->count) return 0;
    const N_MARKDOWN_BLOCK &b = doc->blocks[index], &prev = doc->blocks[index - 1];
    const bool list = b.type == N_MD_BULLET_LIST || b.type == N_MD_ORDERED_LIST;
    return b.depth > 0 || (prev.depth > 0 && list) ? 1 : 2;
}

int n_markdown_plain_marker(const N_MARKDOWN_BLOCK *block, size_t item_index, char *buf, size_t size) {
    if (!buf || size == 0) return 0;
    buf[0] = '\0';
    if (!block || (block->type != N_MD_BULLET_LIST && block->type != N_MD_ORDERED_LIST)) return 0;
    char tmp[64 + 2 * N_MD_MAX_DEPTH];
    const size_t depth = std::min<size_t>(block->depth > 0 ? static_cast<size_t>(block->depth) : 0, N_MD_MAX_DEPTH);
    size_t n = 0;
    for (size_t d = 0; d < depth; d++) tmp[n++] = ' ', tmp[n++] = ' ';
    if (block->type == N_MD_BULLET_LIST) {
        tmp[n++] = '-', tmp[n++] = ' ';
    } else {
        // A caller-built block may carry any number: the sum is checked, and
        // a marker that cannot be written is left out rather than wrapped.
        long v;
        const long base = block->number > 0 ? block->number : 1;
        if (item_index > static_cast<size_t>(__LONG_MAX__) ||
            __builtin_add_overflow(base, static_cast<long>(item_index), &v))
            return 0;
        n += static_cast<size_t>(snprintf(tmp + n, sizeof tmp - n, "%ld. ", v));
    }
    n = std::min(n, size - 1);
    memcpy(buf, tmp, n);
    buf[n] = '\0';
    return static_cast<int>(n);
}

char *n_markdown_doc_to_plain(const N_MARKDOWN *doc, size_t *len_out) {
    if (len_out) *len_out = 0;
    PlainBuf out;
    out.add("", 0);
    for (size_t bi = 0; doc && bi < doc->count; bi++) {
        const N_MARKDOWN_BLOCK &b = doc->blocks[bi];
        for (int k = n_markdown_plain_sep(doc, bi); k > 0; k--) out.add("\n", 1);
        switch (b.type) {
        case N_MD_CODE_BLOCK: out.add(b.code ? b.code : ""); break;
        case N_MD_RULE: out.add("---", 3); break;
        case N_MD_BULLET_LIST:
        case N_MD_ORDERED_LIST:
            for (size_t i = 0; i < b.item_count; i++) {
                char m[64 + 2 * N_MD_MAX_DEPTH];
                if (i) out.add("\n", 1);
                out.add(m, static_cast<size_t>(n_markdown_plain_marker(&b, i, m, sizeof m)));
                add_spans(out, b.items[i]);
            }
            break;
        case N_MD_TABLE:
            for (size_t i = 0; i < b.item_count; i++) {
                if (i) out.add(i % b.columns ? "\t" : "\n", 1);
                add_spans(out, b.items[i]);
            }
            break;
        default: add_spans(out, b.inl);
        }
    }
    if (out.failed) {
        free(out.p);
        return nullptr;
    }
    if (len_out) *len_out = out.n;
    return out.p;
}

char *n_markdown_to_plain(const char *text, size_t len, int flags, size_t *len_out) {
    if (len_out) *len_out = 0;
    N_MARKDOWN doc;
    n_markdown_parse_ex(text, len, flags, &doc);
    char *r = n_markdown_doc_to_plain(&doc, len_out);
    n_markdown_free(&doc);
    return r;
}
