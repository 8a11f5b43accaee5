// One-line markdown: the walk's pieces and separators, the plain line, and
// the clip's listed cases plus its promise over random texts: the clip never
// passes its limit, renders as a prefix of the whole text, and never splits a
// UTF-8 character.
#include "quorvane_md.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

struct Doc {
    N_MARKDOWN d{};
    Doc(const std::string &s, int flags = QV_MD_FLAGS) { n_markdown_parse_ex(s.data(), s.size(), flags, &d); }
    ~Doc() { n_markdown_free(&d); }
    Doc(const Doc &) = delete;
    Doc &operator=(const Doc &) = delete;
};

void collect(void *user, const char *text, int style, const char *url, int kind) {
    auto *out = static_cast<std::string *>(user);
    out->append("[").append(std::to_string(kind)).append(":").append(std::to_string(style)).append(":").append(text);
    if (url) *out += std::string(">") + url;
    *out += "]";
}

std::string walk(const std::string &s, int flags = QV_MD_FLAGS) {
    Doc d(s, flags);
    std::string out;
    quorvane_md_line_walk(&d.d, collect, &out);
    return out;
}

std::string line(const std::string &s) {
    size_t n = 99;
    char *p = quorvane_md_line_plain(s.data(), s.size(), &n);
    EXPECT_NE(p, nullptr);
    if (!p) return "<null>";
    std::string r(p, n);
    free(p);
    return r;
}

std::string clip(const std::string &s, size_t limit, size_t max_len = SIZE_MAX) {
    std::vector<char> out(limit + 1, 'Z');
    const size_t n = quorvane_md_clip(s.c_str(), max_len, limit, out.data());
    EXPECT_LE(n, limit);
    EXPECT_EQ(strlen(out.data()), n);
    return std::string(out.data(), n);
}

bool valid_utf8(const std::string &s) {
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        if (!n || i + n > s.size()) return false;
        for (size_t k = 1; k < n; k++)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

std::string rtrim(std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

}  // namespace

TEST(QuorvaneMd, LineWalk) {
    struct Case {
        const char *name;
        std::string in;
        int flags;
        std::string want;
    } const cases[] = {
        {"spans of a paragraph", "**a** b", QV_MD_FLAGS, "[0:1:a][0:0: b]"},
        {"heading, then a separator", "# h\n\npara", QV_MD_FLAGS, "[2:0:h][1:0: ][0:0:para]"},
        {"quote", "> q", QV_MD_FLAGS, "[3:0:q]"},
        {"code block whole", "x\n```\nc1\nc2\n```", QV_MD_FLAGS, "[0:0:x][1:0: ][4:4:c1\nc2]"},
        {"empty code block sends nothing", "```\n```\nx", QV_MD_FLAGS, "[0:0:x]"},
        {"list items without markers", "- a\n- b", QV_MD_FLAGS, "[0:0:a][1:0: ][0:0:b]"},
        {"table of two rows of two cells", "a|b\n-|-\nc|d", QV_MD_FLAGS, "[0:0:a][1:0: | ][0:0:b][1:0: | ][0:0:c][1:0: | ][0:0:d]"},
        {"link URL only for links", "[t](http://x) `c`", QV_MD_FLAGS, "[0:8:t>http://x][0:0: ][0:4:c]"},
        {"rule sends only a separator", "a\n\n***\n\nb", 0x40, "[0:0:a][1:0: ][1:0: ][0:0:b]"},
        {"rule first sends nothing", "***\n\nb", 0x40, "[0:0:b]"},
        {"empty table still counts as sent", "a|b\n-|-\n\nz", QV_MD_FLAGS, "[0:0:a][1:0: | ][0:0:b][1:0: ][0:0:z]"},
        {"empty span counts as sent", "[](http://x)\n\nz", QV_MD_FLAGS, "[1:0: ][0:0:z]"},
        {"empty heading sends nothing", "# \n\nz", QV_MD_FLAGS, "[0:0:z]"},
        {"image URL not given", "![a](http://i)", 0x80, "[0:32:a]"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(walk(c.in, c.flags), c.want);
    }
    std::string out;
    quorvane_md_line_walk(nullptr, collect, &out);
    Doc d("x");
    quorvane_md_line_walk(&d.d, nullptr, &out);
    EXPECT_EQ(out, "");
}

TEST(QuorvaneMd, PlainLine) {
    struct Case {
        std::string in, want;
    } const cases[] = {
        {"a\tb", "a b"},
        {"**a**\n\n# h", "a h"},
        {"line\nbreak", "line break"},
        {"a|b\n-|-\nc|d", "a | b | c | d"},
        {"```\nx\ty\n```", "x y"},
        {"[t](http://x)", "t"},
        {"", ""},
    };
    for (const auto &c : cases) EXPECT_EQ(line(c.in), c.want) << c.in;
    size_t n = 9;
    char *p = quorvane_md_line_plain(nullptr, 4, &n);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, "");
    EXPECT_EQ(n, 0u);
    free(p);
}

TEST(QuorvaneMd, Clip) {
    struct Case {
        const char *name;
        std::string in;
        size_t limit;
        std::string want;
    } const cases[] = {
        {"exactly the limit stays raw", "**bold** x", 10, "**bold** x"},
        {"bold straddling the limit cut before it", "hello world **bold text here** end", 20, "hello world"},
        {"cut inside a shortcode moves before it", "hello there :smile: world and more", 15, "hello there"},
        {"shortcode more than 32 bytes back is no shortcode", "x :" + std::string(40, 'a') + " tail", 38,
         "x :" + std::string(35, 'a')},
        {"one long word: escaped plain text", "**a.b.c.d.e.f.g.h.i.j.k**", 10, "a\\.b\\.c\\.d"},
        {"escaped text keeps whole characters", "**\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9**", 7, "\xc3\xa9\xc3\xa9\xc3\xa9"},
        {"tab becomes a space", "a\tb", 10, "a b"},
        {"cut moves back to a character start", "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9 x", 7, "\xc3\xa9\xc3\xa9\xc3\xa9"},
        {"trailing spaces and line feeds dropped", "one two\n\nthree four five", 9, "one two"},
        {"the starting cut may split a word", "one two\n\nthree four five", 12, "one two\n\nthr"},
        {"markup only renders empty", "```\n```\n```\n```", 5, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(clip(c.in, c.limit), c.want);
    }
    EXPECT_EQ(clip("abcdef", 4, 3), "abc");  // reads at most max_len bytes
    char out[8] = "zzzz";
    EXPECT_EQ(quorvane_md_clip(nullptr, 5, 5, out), 0u);
    EXPECT_STREQ(out, "");
    memcpy(out, "zzzz", 5);
    EXPECT_EQ(quorvane_md_clip("abc", 5, 0, out), 0u);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(quorvane_md_clip("abc", 5, 5, nullptr), 0u);
}

// The clip's promise, over random texts made of markup, words, shortcodes and
// multi-byte characters.
TEST(QuorvaneMd, ClipIsAPrefixOfTheWhole) {
    static const char *const atoms[] = {"**", "*", "_", "__", "~~", "`", "[", "](http://x.org)", "(", ")", "<", ">",
                                        "http://a.b/c", " ", " ", "\n", "\n\n", "# ", "> ", "- ", "1. ", "|", "-|-",
                                        "```", ":smile:", "word", "x", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80",
                                        "\\*", "\t", "!"};
    std::mt19937 rng(7);
    for (int round = 0; round < 4000; round++) {
        std::string s;
        const size_t n = rng() % 40;
        for (size_t i = 0; i < n; i++) s += atoms[rng() % (sizeof atoms / sizeof *atoms)];
        const size_t limit = 1 + rng() % 60;
        SCOPED_TRACE(testing::Message() << "round " << round << " limit " << limit << " text [" << s << "]");
        std::string copy = s;
        for (char &c : copy)
            if (static_cast<unsigned char>(c) < 0x20 && c != '\n') c = ' ';
        const std::string c = clip(s, limit), whole = line(copy), mine = rtrim(line(c));
        ASSERT_LE(c.size(), limit);
        ASSERT_EQ(whole.compare(0, mine.size(), mine), 0) << "clip [" << c << "] renders [" << mine << "], whole [" << whole << "]";
        ASSERT_TRUE(valid_utf8(c));
        ASSERT_TRUE(valid_utf8(whole));
    }
}
