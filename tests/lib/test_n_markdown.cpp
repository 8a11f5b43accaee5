// Markdown parser: block and inline rules as tables, the plain-text form, the
// markup test, every limit at n and n + 1, hostile inputs that would be
// quadratic for a scanning parser, and a loose differential against Debian's
// cmark-gfm program on the constructs both dialects share.
#include "n_markdown.h"

#include "n_log.h"
#include "qv_test_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int F = 0x1F;  // what the program passes

struct Doc {
    N_MARKDOWN d{};
    Doc(const std::string &s, int flags) { n_markdown_parse_ex(s.data(), s.size(), flags, &d); }
    ~Doc() { n_markdown_free(&d); }
    Doc(const Doc &) = delete;
    Doc &operator=(const Doc &) = delete;
    const N_MARKDOWN_BLOCK &operator[](size_t i) const { return d.blocks[i]; }
};

std::string hexstyle(int s) {
    char b[16];
    snprintf(b, sizeof b, "%x", s);
    return b;
}

// Every span as {style:text>url}, style and URL shown only when set.
std::string spans(const N_MARKDOWN_INLINE_LIST &l) {
    std::string r;
    for (size_t i = 0; i < l.count; i++) {
        const N_MARKDOWN_INLINE &s = l.spans[i];
        r += "{";
        if (s.style) r += hexstyle(s.style) + ":";
        r += s.text;
        if (s.url) r += std::string(">") + s.url;
        r += "}";
    }
    return r;
}

std::string dump(const N_MARKDOWN &d) {
    std::string r;
    for (size_t i = 0; i < d.count; i++) {
        const N_MARKDOWN_BLOCK &b = d.blocks[i];
        if (i) r += " / ";
        if (b.depth) r += "d" + std::to_string(b.depth) + ".";
        switch (b.type) {
        case N_MD_PARAGRAPH: r += "P" + spans(b.inl); break;
        case N_MD_QUOTE: r += "Q" + spans(b.inl); break;
        case N_MD_HEADING: r += "H" + std::to_string(b.level) + spans(b.inl); break;
        case N_MD_CODE_BLOCK: r += "C:" + std::string(b.code); break;
        case N_MD_RULE: r += "R"; break;
        case N_MD_BULLET_LIST:
        case N_MD_ORDERED_LIST:
            r += b.type == N_MD_BULLET_LIST ? "UL" : "OL" + std::to_string(b.number);
            for (size_t k = 0; k < b.item_count; k++) r.append("[").append(spans(b.items[k])).append("]");
            break;
        case N_MD_TABLE:
            r += "T" + std::to_string(b.columns) + ":";
            for (size_t c = 0; c < b.columns; c++) r += std::to_string(b.aligns[c]);
            for (size_t k = 0; k < b.item_count; k++) r.append("[").append(spans(b.items[k])).append("]");
            break;
        default: r += "?";
        }
    }
    return r;
}

std::string parsed(const std::string &s, int flags) {
    Doc d(s, flags);
    return dump(d.d);
}

std::string plain(const std::string &s, int flags) {
    size_t n = 99;
    char *p = n_markdown_to_plain(s.data(), s.size(), flags, &n);
    EXPECT_NE(p, nullptr);
    if (!p) return "<null>";
    std::string r(p, n);
    EXPECT_EQ(strlen(p), n);
    free(p);
    return r;
}

std::string repeat(const std::string &s, size_t n) {
    std::string r;
    r.reserve(s.size() * n);
    for (size_t i = 0; i < n; i++) r += s;
    return r;
}

struct ParseCase {
    const char *name;
    int flags;
    std::string in, want;
};

}  // namespace

TEST(NMarkdown, ParseTable) {
    const ParseCase cases[] = {
        // inline spans
        {"bold plain italic", F, "**bold** plain *italic*", "P{1:bold}{ plain }{2:italic}"},
        {"snake case stays plain", F, "snake_case_word here", "P{snake_case_word here}"},
        {"single underscores italic", F, "_it_ x", "P{2:it}{ x}"},
        {"underscore closer before a letter", F, "__a__b", "P{__a__b}"},
        {"underscore closer in a run at the end", F, "x _a__", "P{x }{2:a}{_}"},
        {"four asterisks literal", F, "****", "P{****}"},
        {"two backticks literal", F, "`` x", "P{`` x}"},
        {"code span raw", F, "`*a*` b", "P{4:*a*}{ b}"},
        {"unclosed backtick", F, "`open", "P{`open}"},
        {"nested bold italic", F, "**a *b* c**", "P{1:a }{3:b}{1: c}"},
        {"strong underscores", F, "__a__ b", "P{1:a}{ b}"},
        {"emphasis inside a word", F, "a*b*c", "P{a}{2:b}{c}"},
        {"triple asterisks", F, "***a***", "P{1:*a}{*}"},
        {"unclosed double then single", F, "**a*", "P{*}{2:a}"},
        {"escaped closer still closes", F, "*a\\*b*", "P{2:a\\}{b*}"},
        {"strikethrough", F, "~~s~~ t", "P{10:s}{ t}"},
        {"strikethrough off", 0, "~~s~~", "P{~~s~~}"},
        {"strikethrough empty", F, "a ~~~~", "P{a ~~~~}"},
        {"strike around bold", F, "~~a **b**~~", "P{10:a }{11:b}"},
        {"escapes", F, "\\*a\\* \\q", "P{*a* \\q}"},
        {"escapes off", 0, "\\*a*", "P{\\}{2:a}"},
        // links and images
        {"http link", F, "[t](http://x.org/a) z", "P{8:t>http://x.org/a}{ z}"},
        {"https any case", F, "[t](HTTPS://x)", "P{8:t>HTTPS://x}"},
        {"javascript link literal", F, "[t](javascript:alert(1))", "P{[t](javascript:alert(1))}"},
        {"link text not parsed", F, "[**b**](http://x)", "P{8:**b**>http://x}"},
        {"link URL with a blank", 0, "[t](http://x y)", "P{[t](http://x y)}"},
        {"link empty URL", 0, "[t]()", "P{[t]()}"},
        {"link needs ( at once", 0, "[t] (http://x)", "P{[t] (http://x)}"},
        {"relative link off", F, "[t](/a/b)", "P{[t](/a/b)}"},
        {"relative link on", 0x100, "[t](/a/b)", "P{8:t>/a/b}"},
        {"relative mailto", 0x100, "[m](MAILTO:a@b)", "P{8:m>MAILTO:a@b}"},
        {"relative colon first", 0x100, "[t](x:y/z)", "P{[t](x:y/z)}"},
        {"relative two slashes", 0x100, "[t](//evil)", "P{[t](//evil)}"},
        {"relative backslash", 0x100, "[t](a\\b)", "P{[t](a\\b)}"},
        {"relative colon after slash", 0x100, "[t](a/b:c)", "P{8:t>a/b:c}"},
        {"image", 0x80, "![alt](http://i/x.png)", "P{20:alt>http://i/x.png}"},
        {"image flag off", 0, "![alt](http://i/x.png)", "P{!}{8:alt>http://i/x.png}"},
        {"image bad scheme", 0x80, "![a](data:x)", "P{![a](data:x)}"},
        // autolinks
        {"angle autolink", F, "<http://a.b>", "P{8:http://a.b>http://a.b}"},
        {"angle autolink empty host", F, "<http://>", "P{<http://>}"},
        {"angle autolink blank", F, "<http://a b>", "P{<}{8:http://a>http://a}{ b>}"},
        {"angle autolink off", 0, "<http://a.b>", "P{<http://a.b>}"},
        {"bare URL before ).", F, "see http://x.org/a).", "P{see }{8:http://x.org/a>http://x.org/a}{).}"},
        {"bare URL in parentheses", F, "(http://x.org/a)", "P{(}{8:http://x.org/a>http://x.org/a}{)}"},
        {"bare URL keeps balanced )", F, "http://w/a_(b)", "P{8:http://w/a_(b)>http://w/a_(b)}"},
        {"bare URL trailing marks", F, "http://x/y?!.,", "P{8:http://x/y>http://x/y}{?!.,}"},
        {"bare URL after a letter", F, "xhttp://a", "P{xhttp://a}"},
        {"bare URL after a slash", F, "/http://a", "P{/http://a}"},
        {"bare URL nothing after //", F, "http://... x", "P{http://... x}"},
        {"bare URL ends at quote", F, "http://a\"b", "P{8:http://a>http://a}{\"b}"},
        // blocks
        {"heading", F, "# x", "H1{x}"},
        {"heading flag off", 0, "# x", "P{# x}"},
        {"no space after #", F, "#x", "P{#x}"},
        {"tab after # is no heading", F, "#\tx", "P{#\tx}"},
        {"seven #", F, "####### x", "P{####### x}"},
        {"heading blanks and trailing #", F, "##   a ##", "H2{a ##}"},
        {"empty heading", F, "# ", "H1"},
        {"fence closes with a longer run", F, "````\ncode\n```\n`````\nafter", "C:code\n``` / P{after}"},
        {"fence of three does not close four", F, "````\na\n```", "C:a\n```"},
        {"tilde fence with info", F, "~~~ c++\nx\n~~~ tail\ny", "C:x / P{y}"},
        {"empty fence", F, "```\n```", "C:"},
        {"fence indentation given back", 0x20, "  ```\n    x\n  ```", "C:  x"},
        {"quote", F, "> a\n>b\nc", "Q{a\nb} / P{c}"},
        {"quote tab after >", F, ">\tx", "Q{x}"},
        {"bullet continuation", 0, "- a\n  b\n- c", "UL[{a b}][{c}]"},
        {"star bullets", 0, "* a\n* b", "UL[{a}][{b}]"},
        {"blank line ends a list", 0, "- a\n\n- b", "UL[{a}] / UL[{b}]"},
        {"bullet then ordered", 0, "- a\n1. b", "UL[{a}] / OL0[{b}]"},
        {"ordered numbered from 1", 0, "3. a\n4. b", "OL0[{a}][{b}]"},
        {"ordered number kept", 0x20, "3. a\n4. b", "OL3[{a}][{b}]"},
        {"ordered nine digits", 0x20, "123456789. x", "OL123456789[{x}]"},
        {"ordered ten digits is text", 0x20, "1234567890. x", "P{1234567890. x}"},
        {"nested lists by indentation", 0x20, "- a\n  - b\n    - c\n- d", "UL[{a}] / d1.UL[{b}] / d2.UL[{c}] / UL[{d}]"},
        {"indented continuation", 0x20, "- a\n  b\nc", "UL[{a b}] / P{c}"},
        {"paragraph after nested list", 0x20, "- a\n  b\n\n  c", "UL[{a b}] / d1.P{c}"},
        {"rule", 0x40, "***", "R"},
        {"rule with blanks", 0x40, " - - -", "R"},
        {"rule off is a bullet", 0, "- - -", "UL[{- -}]"},
        {"two dashes no rule", 0x40, "--", "P{--}"},
        {"table", F, "a|b\n:-|-:\n1|2|3\nend", "T2:02[{a}][{b}][{1}][{2}] / P{end}"},
        {"table centre and missing cells", F, "| a | b | c |\n|:-:|---|--:|\n| 1 |", "T3:102[{a}][{b}][{c}][{1}][][]"},
        {"table rule row without bars", F, "a|b\n---", "T2:00[{a}][{b}]"},
        {"table flag off", 0, "a|b\n-|-", "P{a|b\n-|-}"},
        {"table ends at blank line", F, "a|b\n-|-\nc|d\n\ne|f", "T2:00[{a}][{b}][{c}][{d}] / P{e|f}"},
        {"table cells parsed inline", F, "**a**|`b`\n-|-", "T2:00[{1:a}][{4:b}]"},
        {"bad rule row", F, "a|b\n-|x", "P{a|b\n-|x}"},
        {"paragraph ends at a block", F, "a\nb\n# c", "P{a\nb} / H1{c}"},
        {"lone CR splits lines", F, "one\rtwo", "P{one\ntwo}"},
        {"CR LF", F, "one\r\ntwo", "P{one\ntwo}"},
        {"blank lines only", F, " \t\n\v\f\n", ""},
        {"empty", F, "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(parsed(c.in, c.flags), c.want) << c.in;
    }
}

TEST(NMarkdown, NullAndFree) {
    N_MARKDOWN d{reinterpret_cast<N_MARKDOWN_BLOCK *>(1), 7};  // stale content is dropped, not freed
    n_markdown_parse_ex(nullptr, 5, F, &d);
    EXPECT_EQ(d.count, 0u);
    EXPECT_EQ(d.blocks, nullptr);
    n_markdown_free(&d);  // empty: left alone
    n_markdown_free(nullptr);
    n_markdown_parse_ex("x", 1, F, nullptr);
    n_markdown_parse("# x", 3, &d);  // flags 0: no heading
    ASSERT_EQ(d.count, 1u);
    EXPECT_EQ(d.blocks[0].type, N_MD_PARAGRAPH);
    n_markdown_free(&d);
    EXPECT_EQ(d.count, 0u);
    EXPECT_EQ(d.blocks, nullptr);
}

TEST(NMarkdown, PlainText) {
    const ParseCase cases[] = {
        {"spans, URLs dropped", F, "**a** [b](http://x) `c`", "a b c"},
        {"blocks two line feeds apart", F, "# h\n\npara\n\n```\ncode\n```", "h\n\npara\n\ncode"},
        {"rule", 0x40, "a\n\n***\n\nb", "a\n\n---\n\nb"},
        {"bullets", 0, "- a\n- b", "- a\n- b"},
        {"ordered from 1 without indentation", 0, "3. a\n4. b", "1. a\n2. b"},
        {"ordered from its number", 0x20, "3. a\n4. b", "3. a\n4. b"},
        {"nested list one line feed", 0x20, "- a\n  - b\n- c", "- a\n  - b\n- c"},
        {"table", F, "a|b\n-|-\n1|2", "a\tb\n1\t2"},
        {"quote", F, "> q\n> r", "q\nr"},
        {"empty", F, "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(plain(c.in, c.flags), c.want);
    }
    size_t n = 9;
    char *p = n_markdown_doc_to_plain(nullptr, &n);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(n, 0u);
    EXPECT_STREQ(p, "");
    free(p);
}

TEST(NMarkdown, HasMarkup) {
    struct Case {
        std::string in;
        int flags, want;
    } const cases[] = {
        {"plain words", F, 0},
        {"**b**", F, 1},
        {"a\n\nb", F, 1},        // two blocks
        {"# h", F, 1},           // one block that is not a paragraph
        {"# h", 0, 0},
        {"\\*x", 0x10, 1},       // an escape alone counts with the flag
        {"\\*x", F & ~0x10, 0},
        {"\\a", F, 0},           // a backslash before a letter is no escape
        {"[t](javascript:x)", F, 0},
        {"", F, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(n_markdown_has_markup_ex(c.in.data(), c.in.size(), c.flags), c.want);
    }
    EXPECT_EQ(n_markdown_has_markup("\\*x", 3), 0);
    EXPECT_EQ(n_markdown_has_markup("*x*", 3), 1);
    EXPECT_EQ(n_markdown_has_markup_ex(nullptr, 3, F), 0);
}

TEST(NMarkdown, SeparatorsAndMarkers) {
    Doc d("a\n- b\n  - c\nd\n\ne", 0x20);
    ASSERT_EQ(dump(d.d), "P{a} / UL[{b}] / d1.UL[{c}] / P{d} / P{e}");
    EXPECT_EQ(n_markdown_plain_sep(&d.d, 0), 0);
    EXPECT_EQ(n_markdown_plain_sep(&d.d, 1), 2);
    EXPECT_EQ(n_markdown_plain_sep(&d.d, 2), 1);  // nested
    EXPECT_EQ(n_markdown_plain_sep(&d.d, 3), 2);  // after a nested block, but no list
    EXPECT_EQ(n_markdown_plain_sep(&d.d, 5), 0);  // out of range
    EXPECT_EQ(n_markdown_plain_sep(nullptr, 1), 0);

    N_MARKDOWN_BLOCK b{};
    char buf[64];
    struct Case {
        unsigned type;
        int depth;
        long number;
        size_t item, size;
        const char *want;
    } const cases[] = {
        {N_MD_BULLET_LIST, 0, 0, 0, 64, "- "},
        {N_MD_BULLET_LIST, 2, 0, 5, 64, "    - "},
        {N_MD_ORDERED_LIST, 0, 0, 0, 64, "1. "},
        {N_MD_ORDERED_LIST, 0, -4, 2, 64, "3. "},
        {N_MD_ORDERED_LIST, 1, 7, 1, 64, "  8. "},
        {N_MD_ORDERED_LIST, 0, 123, 0, 3, "12"},  // cut to size - 1
        {N_MD_ORDERED_LIST, 0, LONG_MAX - 1, 1, 64, "9223372036854775807. "},
        // the sum would wrap: no marker rather than a negative number
        {N_MD_ORDERED_LIST, 0, LONG_MAX, 1, 64, ""},
        {N_MD_PARAGRAPH, 0, 0, 0, 64, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.want);
        b.type = c.type, b.depth = c.depth, b.number = c.number;
        memset(buf, 'x', sizeof buf);
        const int n = n_markdown_plain_marker(&b, c.item, buf, c.size);
        EXPECT_STREQ(buf, c.want);
        EXPECT_EQ(n, static_cast<int>(strlen(c.want)));
    }
    b.type = N_MD_BULLET_LIST;
    EXPECT_EQ(n_markdown_plain_marker(&b, 0, nullptr, 8), 0);
    EXPECT_EQ(n_markdown_plain_marker(&b, 0, buf, 0), 0);
}

// Ten and more digits are no list item, so the number taken can never make
// the marker's sum overflow.
TEST(NMarkdown, OrderedNumberDigits) {
    const std::string nine = "999999999. x\n999999999. y";
    Doc d(nine, 0x20);
    ASSERT_EQ(d.d.count, 1u);
    EXPECT_EQ(d[0].number, 999999999L);
    EXPECT_EQ(plain(nine, 0x20), "999999999. x\n1000000000. y");
    const std::string long_run = "99999999999999999999999. x";
    EXPECT_EQ(parsed(long_run, 0x20), "P{99999999999999999999999. x}");
    EXPECT_EQ(plain(long_run, 0x20), long_run);
}

TEST(NMarkdown, Limits) {
    {  // blocks
        Doc a(repeat("p\n\n", N_MD_MAX_BLOCKS), F), b(repeat("p\n\n", N_MD_MAX_BLOCKS + 1), F);
        EXPECT_EQ(a.d.count, N_MD_MAX_BLOCKS);
        EXPECT_EQ(b.d.count, N_MD_MAX_BLOCKS);
    }
    {  // spans of one inline list
        Doc a(repeat("`x`", N_MD_MAX_SPANS), F), b(repeat("`x`", N_MD_MAX_SPANS + 1), F);
        EXPECT_EQ(a[0].inl.count, N_MD_MAX_SPANS);
        EXPECT_EQ(b[0].inl.count, N_MD_MAX_SPANS);
    }
    {  // list items
        Doc a(repeat("- i\n", N_MD_MAX_ITEMS), F), b(repeat("- i\n", N_MD_MAX_ITEMS + 1) + "\nafter", F);
        EXPECT_EQ(a[0].item_count, N_MD_MAX_ITEMS);
        ASSERT_EQ(b.d.count, 2u);  // the dropped item is still part of the list
        EXPECT_EQ(b[0].item_count, N_MD_MAX_ITEMS);
    }
    {  // cells of a row
        const std::string row32 = repeat("c|", 31) + "c", row33 = row32 + "|d";
        Doc a(row32 + "\n" + repeat("-|", 31) + "-", F), b(row33 + "\n" + repeat("-|", 32) + "-", F);
        EXPECT_EQ(a[0].columns, N_MD_MAX_ROW_CELLS);
        EXPECT_EQ(b[0].columns, N_MD_MAX_ROW_CELLS);
        EXPECT_EQ(b[0].item_count, N_MD_MAX_ROW_CELLS);
    }
    {  // cells of a table: 32 rows of 32 fill it; a 33rd row is dropped whole
        const std::string row = repeat("c|", 31) + "c\n", rule = repeat("-|", 31) + "-\n";
        Doc a(row + rule + repeat(row, 31), F), b(row + rule + repeat(row, 32), F);
        EXPECT_EQ(a[0].item_count, N_MD_MAX_ITEMS);
        EXPECT_EQ(b[0].item_count, N_MD_MAX_ITEMS);
        Doc c("a|b|c\n-|-|-\n" + repeat("1|2|3\n", 400), F);
        EXPECT_EQ(c[0].item_count, 1023u);  // 341 whole rows of 3
    }
    {  // list depth: 16 levels of indentation, a 17th stays at 16
        std::string s;
        for (size_t k = 0; k <= N_MD_MAX_DEPTH + 1; k++) s += std::string(2 * k, ' ') + "- x\n";
        Doc d(s, 0x20);
        ASSERT_EQ(d.d.count, N_MD_MAX_DEPTH + 2);
        for (size_t k = 0; k <= N_MD_MAX_DEPTH; k++) EXPECT_EQ(d[k].depth, static_cast<int>(k));
        EXPECT_EQ(d[N_MD_MAX_DEPTH + 1].depth, static_cast<int>(N_MD_MAX_DEPTH));
    }
    {  // nesting: every distinct marker inside the other still combines its style
        EXPECT_EQ(parsed("**a *b __c _d ~~e~~ d_ c__ b* a**", F),
                  "P{1:a }{3:b }{3:c }{3:d }{13:e}{3: d}{3: c}{3: b}{1: a}");
    }
}

// Each input would cost the square of its length if closers were found by
// scanning ahead from every opener. The results are checked here; the growth
// of the time is what bench_markdown shows.
TEST(NMarkdown, HostileInputs) {
    struct Case {
        const char *name;
        std::string in;
        int flags;
    } const cases[] = {
        {"100000 unclosed underscore openers", repeat(" _a", 100000), F},
        {"1 MiB of [", std::string(1 << 20, '['), F},
        {"a million backticks", "x" + std::string(1000000, '`'), F},
        {"unclosed links", repeat("[a](", 100000), F | 0x80},
        {"unclosed images", repeat("![a](b", 100000), F | 0x80},
        {"unclosed autolinks", repeat("<http://", 100000), F},
        {"bare URL starts", repeat("http://) ", 100000), F},
        {"unclosed strikethrough", "~~" + repeat("a~", 500000), F},
        {"double openers", repeat("__a ", 100000), F},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Doc d(c.in, c.flags);
        ASSERT_EQ(d.d.count, 1u);
        ASSERT_EQ(d[0].type, N_MD_PARAGRAPH);
        ASSERT_EQ(d[0].inl.count, 1u);  // all literal: one plain span
        EXPECT_EQ(d[0].inl.spans[0].style, 0);
        EXPECT_EQ(d[0].inl.spans[0].text, c.in);
    }
    {  // every opener closed: as many spans as the limit allows
        Doc d(repeat("*a* ", 100000), F);
        EXPECT_EQ(d[0].inl.count, N_MD_MAX_SPANS);
    }
    {  // a line of a million backticks is a fence with no content
        Doc d(std::string(1000000, '`'), F);
        EXPECT_EQ(dump(d.d), "C:");
    }
    {  // deeply nested quote markers
        Doc d(std::string(100000, '>') + " x", F);
        ASSERT_EQ(d.d.count, 1u);
        EXPECT_EQ(d[0].type, N_MD_QUOTE);
        EXPECT_EQ(spans(d[0].inl), "{" + std::string(99999, '>') + " x}");
    }
    {  // deeply nested lists: depth stays at 16, blocks at 1024
        std::string s;
        for (size_t k = 0; k < 5000; k++) s += std::string(k, ' ') + "- x\n";
        Doc d(s, F | 0x20);
        EXPECT_EQ(d.d.count, N_MD_MAX_BLOCKS);
        EXPECT_EQ(d[N_MD_MAX_BLOCKS - 1].depth, static_cast<int>(N_MD_MAX_DEPTH));
    }
    {  // one list with a million-byte item of nested bullet text
        Doc d("- " + repeat("- ", 500000), F);
        ASSERT_EQ(d.d.count, 1u);
        EXPECT_EQ(d[0].item_count, 1u);
    }
    {  // a million lines of table-looking rows
        Doc d("a|b\n-|-\n" + repeat("|\n", 1000000), F);
        ASSERT_EQ(d.d.count, 1u);
        EXPECT_EQ(d[0].item_count, N_MD_MAX_ITEMS);
    }
}

// Every allocation of a parse and its plain text failed in turn: each run ends
// with a sound partial document (or no plain text), nothing leaks (the
// sanitizer build checks), and the failure is logged naming the structure.
TEST(NMarkdown, AllocationFailures) {
    const std::string text = "# h\n\n**b** [l](http://x) `c`\n\n- a\n- *b*\n\n```\ncode\n```\n\n| a | b |\n|---|--:|\n| 1 | 2 |\n\n> q";
    const std::string full = parsed(text, F), full_plain = plain(text, F);
    bool completed = false;
    for (long k = 0; k < 400 && !completed; k++) {
        SCOPED_TRACE(k);
        qvtest::LogCapture log;
        n_alloc_fail_after(k);
        N_MARKDOWN d;
        n_markdown_parse_ex(text.data(), text.size(), F, &d);
        size_t n = 0;
        char *p = n_markdown_doc_to_plain(&d, &n);
        n_alloc_fail_after(-1);
        ASSERT_LE(d.count, 6u);
        for (size_t i = 0; i < d.count; i++) {
            const N_MARKDOWN_BLOCK &b = d.blocks[i];
            ASSERT_TRUE(b.type != N_MD_TABLE || b.aligns) << "a table without alignments was kept";
            ASSERT_TRUE(b.type != N_MD_CODE_BLOCK || b.code) << "a code block without text was kept";
            for (size_t s = 0; s < b.inl.count; s++) ASSERT_NE(b.inl.spans[s].text, nullptr);
        }
        const std::string got = dump(d);
        EXPECT_TRUE(!p || strlen(p) == n);
        completed = got == full && p && std::string(p, n) == full_plain;
        if (!completed) {
            EXPECT_TRUE(log.contains("realloc") || log.contains("calloc")) << log.text();
        }
        free(p);
        n_markdown_free(&d);
    }
    EXPECT_TRUE(completed) << "a run without a failure gives the whole document";
}

/* ---- differential against cmark-gfm ---- */

namespace {

// The normalised form of tests/scripts/text_xcheck.py.
std::string norm_spans(const N_MARKDOWN_INLINE_LIST &l) {
    struct S {
        int style;
        std::string text;
        const char *url;
    };
    std::vector<S> m;
    for (size_t i = 0; i < l.count; i++) {
        const N_MARKDOWN_INLINE &s = l.spans[i];
        const bool same_url = !m.empty() && ((!m.back().url && !s.url) || (m.back().url && s.url && !strcmp(m.back().url, s.url)));
        if (!m.empty() && m.back().style == s.style && same_url)
            m.back().text += s.text;
        else if (s.text[0])
            m.push_back({s.style, s.text, s.url});
    }
    std::string r;
    for (const auto &s : m) {
        if (!r.empty()) r += "|";
        r += hexstyle(s.style) + ":" + s.text + (s.url ? std::string(">") + s.url : "");
    }
    return r;
}

std::string normalised(const std::string &text) {
    Doc d(text, F);
    std::string r;
    for (size_t i = 0; i < d.d.count; i++) {
        const N_MARKDOWN_BLOCK &b = d[i];
        if (i) r += " / ";
        switch (b.type) {
        case N_MD_PARAGRAPH: r += "P:" + norm_spans(b.inl); break;
        case N_MD_QUOTE: r += "Q:" + norm_spans(b.inl); break;
        case N_MD_HEADING: r += "H" + std::to_string(b.level) + ":" + norm_spans(b.inl); break;
        case N_MD_CODE_BLOCK: r += "C:" + std::string(b.code); break;
        case N_MD_RULE: r += "R"; break;
        case N_MD_TABLE:
            r += "T" + std::to_string(b.columns) + ":";
            for (size_t k = 0; k < b.item_count; k++) r.append("[").append(norm_spans(b.items[k])).append("]");
            break;
        default:
            r += b.type == N_MD_BULLET_LIST ? "UL:" : "OL:";
            for (size_t k = 0; k < b.item_count; k++) r.append("[").append(norm_spans(b.items[k])).append("]");
        }
    }
    return r;
}

std::vector<std::string> cmark_all(const std::vector<std::string> &texts) {
    std::vector<std::string> req;
    for (const auto &t : texts) req.push_back("cmark " + qvtest::hex(t));
    std::vector<std::string> out;
    for (const auto &w : qvtest::xcheck_words("text_xcheck.py", req)) {
        EXPECT_EQ(w.size(), 2u);
        out.push_back(w.size() == 2 && w[0] == "OK" ? qvtest::unhex_string(w[1]) : "<failed>");
    }
    return out;
}

}  // namespace

TEST(NMarkdown, DifferentialCmarkGfm) {
    if (!qvtest::have_program("cmark-gfm")) GTEST_SKIP() << "cmark-gfm is not installed (scripts/deps.sh installs it)";
    // Constructs both dialects read the same way.
    const std::vector<std::string> same = {
        "plain text",
        "**bold** plain *italic*",
        "_it_ and __strong__",
        "snake_case_name",
        "a `code span` b",
        "**a *b* c**",
        "~~gone~~ kept",
        "[text](http://example.org/p?q=1)",
        "see <https://example.org/x>",
        "see https://example.org/a).",
        "(https://example.org/a)",
        "# one\n\n## two\n\n###### six",
        "####### seven",
        "#nospace",
        "```\ncode *x*\n  kept\n```",
        "~~~ lang\nx\n~~~",
        "````\na\n```\n````",
        "- a\n- b\n- c",
        "* a\n* b",
        "1. a\n2. b",
        "> quoted *x*",
        "line one\nline two",
        "a\\*b\\*",
        "a|b\n-|-\nc|d",
    };
    // Deliberate differences of the message dialect, each shown by one input.
    const std::vector<std::pair<std::string, const char *>> differ = {
        {"***a***", "the first closing pair closes bold; no bold-and-italic run"},
        {"*a\\*b*", "an escaped marker still closes emphasis"},
        {"`` a ` b ``", "code spans are one backtick each, no longer fences"},
        {"[t](javascript:alert(1))", "only http(s) URLs make links"},
        {"[t](</a b>)", "no angle-bracket destinations or titles"},
        {"- a\n\n- b", "a blank line ends a list: no loose lists"},
        {"1) a", "ordered markers end in a full stop only"},
        {"    indented", "no indented code blocks"},
        {"title\n===", "no setext headings"},
        {"# a #", "a heading keeps its closing number signs"},
        {"<b>html</b>", "no HTML"},
        {"- a\n  b", "a list item's continuation lines join with a space"},
        {"***", "rules are off in the flags messages use"},
        {"a  \nb", "no hard line breaks"},
        {"[a]\n\n[a]: http://x", "no reference links"},
        {"~one~", "strikethrough needs two tildes"},
    };
    std::vector<std::string> texts = same;
    for (const auto &d : differ) texts.push_back(d.first);
    const std::vector<std::string> theirs = cmark_all(texts);
    ASSERT_EQ(theirs.size(), texts.size());
    for (size_t i = 0; i < same.size(); i++) EXPECT_EQ(normalised(same[i]), theirs[i]) << same[i];
    for (size_t i = 0; i < differ.size(); i++) {
        const size_t k = same.size() + i;
        EXPECT_NE(normalised(texts[k]), theirs[k]) << texts[k] << ": " << differ[i].second;
    }
    // Also deliberate, outside the normalised form: without indentation an
    // ordered list is numbered from 1 whatever its first number (cmark keeps 10).
    EXPECT_EQ(plain("10. a", F), "1. a");
}
