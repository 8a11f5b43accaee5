// String utilities: tables for trimming, conversions, cursors, splitting and
// joining, replacement, natural order, masking and templates; wildcard
// matching cross-checked with Python's fnmatch and UTF-8 validity with
// Python's strict decoder on generated inputs; directory listing over a real
// tree with link loops and links out of the tree.
#include "n_str.h"

#include "n_hash.h"
#include "n_list.h"
#include "n_log.h"
#include "qv_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using qvtest::LogCapture;
using qvtest::NstrPtr;
using qvtest::TempDir;

namespace {

using CharPtr = std::unique_ptr<char, decltype(&free)>;

std::string str(const char *s) { return s ? s : "<null>"; }

std::vector<std::string> entries(char **tab) {
    std::vector<std::string> v;
    if (tab)
        for (char **e = tab; *e; e++) v.emplace_back(*e);
    return v;
}

}  // namespace

// ---------------------------------------------------------------------------

TEST(NStrTrim, TrimmingTable) {
    const struct {
        const char *in, *out;
    } cases[] = {{"  a b \t\n", "a b"}, {"", ""}, {" \t\r\n\v\f", ""}, {"x", "x"}, {"x  ", "x"}, {"  x", "x"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.in);
        std::string buf = c.in;
        EXPECT_EQ(str(trim_nocopy(buf.data())), c.out);
        CharPtr t{trim(c.in), free};
        EXPECT_EQ(str(t.get()), c.out);
    }
    LogCapture cap;
    EXPECT_EQ(trim_nocopy(nullptr), nullptr);
    EXPECT_EQ(trim(nullptr), nullptr);
    EXPECT_TRUE(cap.contains("if( !(s) ) assert"));
}

TEST(NStrTrim, NfgetsReadsLinesAndRefusesHugeSizes) {
    FILE *f = tmpfile();
    ASSERT_TRUE(f);
    fputs("one\ntwo", f);
    rewind(f);
    char buf[16];
    EXPECT_EQ(str(nfgets(buf, sizeof buf, f)), "one\n");
    EXPECT_EQ(str(nfgets(buf, sizeof buf, f)), "two");
    EXPECT_EQ(nfgets(buf, sizeof buf, f), nullptr);
    LogCapture cap;
    EXPECT_EQ(nfgets(buf, (size_t)INT_MAX, f), nullptr);
    EXPECT_TRUE(cap.contains("size of 2147483647 too big, >INT_MAX for buffer"));
    EXPECT_EQ(nfgets(nullptr, 4, f), nullptr);
    EXPECT_EQ(nfgets(buf, 4, nullptr), nullptr);
    EXPECT_TRUE(cap.contains("if( !(buffer) ) assert"));
    EXPECT_TRUE(cap.contains("if( !(stream) ) assert"));
    fclose(f);
}

// ---------------------------------------------------------------------------

TEST(NStrConvert, IntTable) {
    const struct {
        const char *s;
        size_t start, end;  // SIZE_MAX: the whole text
        int base, ok, value;
        const char *log;
    } cases[] = {
        {"42\n", 0, SIZE_MAX, 10, 1, 42, nullptr},
        {"42x", 0, SIZE_MAX, 10, 0, 0, "Impossible conversion for 42x"},
        {"2147483648", 0, SIZE_MAX, 10, 0, 0, "OVERFLOW reached when converting 2147483648 to int"},
        {"-2147483649", 0, SIZE_MAX, 10, 0, 0, "UNDERFLOW reached when converting -2147483649 to int"},
        {"99999999999999999999999", 0, SIZE_MAX, 10, 0, 0, "OVERFLOW reached"},
        {"2147483647", 0, SIZE_MAX, 10, 1, INT_MAX, nullptr},
        {"-2147483648", 0, SIZE_MAX, 10, 1, INT_MIN, nullptr},
        {"", 0, SIZE_MAX, 10, 1, 0, nullptr},
        {"ff", 0, SIZE_MAX, 16, 1, 255, nullptr},
        {"ab123cd", 2, 5, 10, 1, 123, nullptr},
        {"12", 1, 0, 10, 0, 0, nullptr},           // end before start: no message
        {"12", 0, 1000, 10, 1, 12, nullptr},       // a slice past the end reads the text only
        {"12", 5, 9, 10, 1, 0, nullptr},           // a slice wholly past the end is empty
        {"12", 0, SIZE_MAX, 99, 0, 0, "Impossible conversion for 12"},  // unsupported base
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.s) + " " + std::to_string(c.start));
        LogCapture cap;
        int v = -7;
        const size_t end = c.end == SIZE_MAX ? strlen(c.s) : c.end;
        EXPECT_EQ(str_to_int_ex(c.s, c.start, end, &v, c.base), c.ok);
        EXPECT_EQ(v, c.ok ? c.value : -7) << "output written only on success";
        EXPECT_EQ(cap.contains(c.log ? c.log : "ERR"), c.log != nullptr) << cap.text();

        // the nolog form tells the same reason through the N_STR only
        cap.clear();
        N_STR *why = nullptr;
        v = -7;
        EXPECT_EQ(str_to_int_nolog(c.s, c.start, end, &v, c.base, &why), c.ok);
        EXPECT_EQ(cap.text(), "");
        if (c.log) {
            ASSERT_TRUE(why);
            EXPECT_NE(std::string(why->data).find(c.log), std::string::npos) << why->data;
        } else {
            EXPECT_EQ(why, nullptr);
        }
        free_nstr_ptr_nolog(why);
    }
    int v = 0;
    EXPECT_EQ(str_to_int(nullptr, &v, 10), 0);
    EXPECT_EQ(str_to_int("-17", &v, 10), 1);
    EXPECT_EQ(v, -17);
}

TEST(NStrConvert, LongAndLongLongTables) {
    const struct {
        const char *s;
        int base, ok;
        long long value;
        const char *long_log, *llong_log;
    } cases[] = {
        {"12abc", 10, 1, 12, " number : 12    valid  (but additional characters remain",
         " number : '12' valid (remaining characters: '12abc')"},
        {"12", 10, 1, 12, " number : 12    valid  (and represents all characters read)",
         "number : '12' valid (and represents all characters read)"},
        {"abc", 10, 0, 0, " number : 0  invalid  (no digits found, 0 returned)",
         "number: 'abc' invalid (no digits found, 0 returned)"},
        {"99999999999999999999999", 10, 0, 0, " number : 9223372036854775807  invalid  (overflow occurred)",
         "number: '99999999999999999999999' invalid (overflow occurred)"},
        {"-99999999999999999999999", 10, 0, 0, " number : -9223372036854775808  invalid  (underflow occurred)",
         "number: '-99999999999999999999999' invalid (underflow occurred)"},
        {"-9223372036854775808", 10, 1, LLONG_MIN, "valid", "valid"},
        {"12", 99, 0, 0, "invalid", "invalid"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.s);
        LogCapture cap;
        long l = -7;
        EXPECT_EQ(str_to_long(c.s, &l, c.base), c.ok);
        EXPECT_EQ(l, c.ok ? (long)c.value : -7);
        EXPECT_TRUE(cap.contains(c.long_log)) << cap.text();
        cap.clear();
        long long ll = -7;
        EXPECT_EQ(str_to_long_long(c.s, &ll, c.base), c.ok);
        EXPECT_EQ(ll, c.ok ? c.value : -7);
        EXPECT_TRUE(cap.contains(c.llong_log)) << cap.text();
    }
    long l = 0;
    long long ll = 0;
    EXPECT_EQ(str_to_long_ex("x123y", 1, 4, &l, 10), 1);
    EXPECT_EQ(l, 123);
    EXPECT_EQ(str_to_long_long_ex("x123y", 1, 4, &ll, 10), 1);
    EXPECT_EQ(ll, 123);
    EXPECT_EQ(str_to_long_ex("x123y", 4, 1, &l, 10), 0);
}

// ---------------------------------------------------------------------------

TEST(NStrCursor, SkipTable) {
    const struct {
        const char *name, *s;
        char ch;
        size_t it;
        int step;
        bool until;  // skipu instead of skipw
        int ok;
        size_t after;
    } cases[] = {
        {"skipw over blanks", "  \tab", ' ', 0, 1, false, 1, 3},
        {"skipw trailing blanks stop at the terminator", "ab   ", ' ', 2, 1, false, 1, 5},
        {"skipw on a non-matching char does not move", "ab", 'x', 0, 1, false, 1, 0},
        {"skipw step 2 passes the end", "xxx", 'x', 0, 2, false, 0, 4},
        {"skipw past the end", "ab", 'a', 3, 1, false, 0, 3},
        {"skipu to the char", "abc,d", ',', 0, 1, true, 1, 3},
        {"skipu for a missing char ends past the end", "abc", ',', 0, 1, true, 0, 4},
        {"skipu already on it", ",", ',', 0, 1, true, 1, 0},
        {"skipu to a space", "ab\tc", ' ', 0, 1, true, 1, 2},
        {"skipw backward", "a   b", ' ', 3, -1, false, 1, 0},
        {"skipw backward to 0 and still on ch", "   b", ' ', 2, -1, false, 0, 0},
        {"skipw backward step overshoots, first char stops", "a  b", ' ', 2, -5, false, 1, 0},
        {"skipw backward step overshoots, first char moves", "   b", ' ', 2, -5, false, 0, 0},
        {"skipu backward", "a,bcd", ',', 4, -1, true, 1, 1},
        {"skipu backward at 0", "abc", ',', 0, -1, true, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        size_t it = c.it;
        EXPECT_EQ((c.until ? skipu : skipw)(c.s, c.ch, &it, c.step), c.ok);
        EXPECT_EQ(it, c.after);
    }
}

TEST(NStrCursor, ZeroStepIsRefusedInsteadOfSpinning) {
    LogCapture cap;
    size_t it = 0;
    EXPECT_EQ(skipw("   ", ' ', &it, 0), 0);
    EXPECT_EQ(skipu("abc", ',', &it, 0), 0);
    EXPECT_EQ(it, 0u);
    EXPECT_TRUE(cap.contains("if( !(step != 0) ) assert"));
    EXPECT_EQ(skipw(nullptr, ' ', &it, 1), 0);
    EXPECT_TRUE(cap.contains("if( !(string) ) assert"));
}

TEST(NStrCursor, StrcpyUTable) {
    const struct {
        const char *name, *from;
        size_t size, it;
        char stop;
        int ok;
        const char *to;
        size_t after;
        const char *log;
    } cases[] = {
        {"stops on the delimiter", "key=value", 16, 0, '=', 1, "key", 3, nullptr},
        {"again at once copies nothing", "key=value", 16, 3, '=', 1, "", 3, nullptr},
        {"no delimiter", "keyvalue", 16, 0, '=', 0, "keyvalue", 8,
         "strcpy_u: delim value not found, written 8 octet to dest (16 max)"},
        {"too small", "abcdef=", 4, 0, '=', 0, "abc", 4, "strcpy_u: not enough space to write 4 octet to dest (4 max)"},
        {"size 1 holds the terminator only", "ab=", 1, 0, '=', 0, "", 1, "not enough space"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture cap;
        std::vector<char> to(c.size + 4, 'Z');
        size_t it = c.it;
        EXPECT_EQ(strcpy_u(c.from, to.data(), c.size, c.stop, &it), c.ok);
        EXPECT_EQ(std::string(to.data()), c.to);
        EXPECT_EQ(it, c.after);
        if (c.log) {
            EXPECT_TRUE(cap.contains(c.log)) << cap.text();
        }
        EXPECT_EQ(to[c.size], 'Z') << "nothing written past size";
    }
    LogCapture cap;
    char to[4];
    size_t it = 10;
    EXPECT_EQ(strcpy_u("ab", to, sizeof to, '=', &it), 0) << "a cursor past the text is refused";
    EXPECT_EQ(strcpy_u("ab", to, 0, '=', &it), 0);
}

TEST(NStrCase, UpperAndLower) {
    char buf[16];
    ASSERT_EQ(strup("aBc1-\xe9", buf), 1);
    EXPECT_EQ(std::string(buf), "ABC1-\xe9");
    ASSERT_EQ(strlo("aBc1-\xc9", buf), 1);
    EXPECT_EQ(std::string(buf), "abc1-\xc9");
    LogCapture cap;
    EXPECT_EQ(strup(nullptr, buf), 0);
    EXPECT_EQ(strlo("a", nullptr), 0);
    EXPECT_TRUE(cap.contains("if( !(string) ) assert"));
    EXPECT_TRUE(cap.contains("if( !(dest) ) assert"));
}

// ---------------------------------------------------------------------------

TEST(NStrSplit, SplitJoinTable) {
    const struct {
        const char *s, *delim;
        int keep;
        std::vector<std::string> parts;
        const char *joined_comma;  // join with "," of the parts
    } cases[] = {
        {"a,,b,", ",", 0, {"a", "b"}, "a,b"},
        {"a,,b,", ",", 1, {"a", "", "b", ""}, "a,,b,"},
        {"", ",", 0, {}, ""},
        {"", ",", 1, {""}, ""},
        {"a::b:::c", "::", 0, {"a", "b", ":c"}, "a,b,:c"},
        {"::", "::", 1, {"", ""}, ","},
        {"abc", ",", 0, {"abc"}, "abc"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.s) + " keep " + std::to_string(c.keep));
        char **tab = split(c.s, c.delim, c.keep);
        ASSERT_TRUE(tab);
        EXPECT_EQ(entries(tab), c.parts);
        EXPECT_EQ(split_count(tab), c.parts.empty() ? -1 : (int)c.parts.size());
        CharPtr j{join(tab, ","), free};
        EXPECT_EQ(str(j.get()), c.joined_comma);
        CharPtr bare{join(tab, nullptr), free};
        std::string cat;
        for (const auto &p : c.parts) cat += p;
        EXPECT_EQ(str(bare.get()), cat);
        EXPECT_EQ(free_split_result(&tab), 1);
        EXPECT_EQ(tab, nullptr);
        EXPECT_EQ(free_split_result(&tab), 0);
    }
    LogCapture cap;
    EXPECT_EQ(split(nullptr, ",", 0), nullptr);
    EXPECT_EQ(split("a", nullptr, 0), nullptr);
    EXPECT_EQ(split("a", "", 0), nullptr) << "an empty delimiter is refused";
    EXPECT_EQ(split_count(nullptr), -1);
    EXPECT_EQ(join(nullptr, ","), nullptr);
    for (const char *expr : {"str", "delim", "*delim", "split_result"})
        EXPECT_TRUE(cap.contains(std::string("if( !(") + expr + ") ) assert")) << expr;
}

TEST(NStrSplit, AllocationFailuresLeaveNothingBehind) {
    // Every allocation of the entries fails once in turn: the result is then
    // null (and, under the sanitizer, nothing leaks), or the whole answer.
    for (long k = 0; k < 8; k++) {
        SCOPED_TRACE(k);
        LogCapture cap;
        n_alloc_fail_after(k);
        char **tab = split("a,b,c,d", ",", 0);
        n_alloc_fail_after(-1);
        if (tab) EXPECT_EQ(entries(tab), (std::vector<std::string>{"a", "b", "c", "d"}));
        else EXPECT_TRUE(cap.contains("tab[sizeTab - 1]")) << cap.text();
        free_split_result(&tab);
    }
    char *parts[] = {(char *)"x", (char *)"y", nullptr};
    n_alloc_fail_after(0);
    EXPECT_EQ(join(parts, "-"), nullptr);
    n_alloc_fail_after(-1);
}

// ---------------------------------------------------------------------------

TEST(NStrWildmat, Table) {
    const struct {
        const char *text, *pat;
        int plain, folded;
    } cases[] = {
        {"abc", "a*c", 1, 1},       {"abc", "a?c", 1, 1},       {"abc", "[a-c]bc", 1, 1},
        {"abc", "[^x]bc", 1, 1},    {"ab", "abc", -2, -2},      {"abc", "ab", 0, 0},
        {"ABC", "a*", 0, 1},        {"abc", "A[B-C]C", 0, 1},   {"", "", 1, 1},
        {"", "*", 1, 1},            {"", "a", -2, -2},          {"a", "", 0, 0},
        {"abc", "*", 1, 1},         {"abc", "***c", 1, 1},      {"abd", "a*c", -2, -2},
        {"a]", "a[]]", 1, 1},       {"a-", "a[-x]", 1, 1},      {"a-", "a[x-]", 1, 1},
        {"b", "[^]a]", 1, 1},       {"]", "[^]a]", 0, 0},       {"*", "\\*", 1, 1},
        {"x", "\\*", 0, 0},         {"a\\", "a\\", 1, 1},       {"b", "[c-a]", 0, 0},
        {"c", "[xc-a]", 0, 0},      {"[", "[", 1, 1},           {"[ab", "[ab", 1, 1},
        {"a", "[a", 0, 0},          {"[^", "[^", 1, 1},         {"x", "[]", 0, 0},
        {"[]", "[]", 1, 1},         {"-", "[a-c-e]", 1, 1},     {"d", "[a-c-e]", 0, 0},
        {"abcabd", "*ab?", 1, 1},   {"aXbXc", "a*b*c", 1, 1},  {"aXbX", "a*b*c", -2, -2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.text) + " ~ " + c.pat);
        EXPECT_EQ(wildmat(c.text, c.pat), c.plain);
        EXPECT_EQ(wildmatcase(c.text, c.pat), c.folded);
    }
    LogCapture cap;
    EXPECT_EQ(wildmat(nullptr, "*"), 0);
    EXPECT_EQ(wildmatcase("a", nullptr), 0);
}

TEST(NStrWildmat, ManyStarsNeitherRecurseNorBacktrackWithoutEnd) {
    // A pattern of 20000 stars and letters against a text that almost
    // matches: with recursion per star this overflows the stack, with
    // unbounded backtracking it never ends.
    std::string pat, text(40000, 'a');
    for (int i = 0; i < 10000; i++) pat += "*a";
    pat += "b";
    EXPECT_EQ(wildmat(text.c_str(), pat.c_str()), -2);
    EXPECT_EQ(wildmat((text + "b").c_str(), pat.c_str()), 1);
}

TEST(NStrWildmat, AgreesWithPythonFnmatch) {
    // The syntax both share: * ? [set] [a-z]; no negation (fnmatch spells it
    // "!") and no backslash escapes (fnmatch has none). Unclosed classes are
    // included: both read them as a plain "[".
    std::mt19937_64 rng(1003);
    const std::string text_chars = "abcAB-][x";
    const std::string pat_chars = "abcAB-][x*?";
    std::vector<std::string> texts, pats, req;
    for (int i = 0; i < 20000; i++) {
        std::string t, p;
        for (size_t n = rng() % 8; n; n--) t += text_chars[rng() % text_chars.size()];
        for (size_t n = rng() % 8; n; n--) p += pat_chars[rng() % pat_chars.size()];
        // seed some patterns from the text so that matches are common
        if (i % 3 == 0 && !t.empty()) {
            p = t;
            for (size_t n = rng() % 3; n; n--) p[rng() % p.size()] = "*?["[rng() % 3];
        }
        texts.push_back(t), pats.push_back(p);
        req.push_back(std::string(i % 2 ? "fnmi " : "fnm ") + qvtest::hex_word(t) + " " + qvtest::hex_word(p));
    }
    const auto ans = qvtest::xcheck_ok("str_xcheck.py", req);
    size_t matches = 0;
    for (size_t i = 0; i < texts.size(); i++) {
        SCOPED_TRACE("'" + texts[i] + "' ~ '" + pats[i] + "'");
        ASSERT_EQ(ans[i].size(), 1u);
        const int ours = (i % 2 ? wildmatcase : wildmat)(texts[i].c_str(), pats[i].c_str());
        EXPECT_EQ(ours == 1 ? "1" : "0", ans[i][0]);
        EXPECT_TRUE(ours == 1 || ours == 0 || ours == -2);
        matches += ours == 1;
    }
    EXPECT_GT(matches, texts.size() / 10);
}

// ---------------------------------------------------------------------------

TEST(NStrReplace, Table) {
    const struct {
        const char *s, *find, *repl, *out;
    } cases[] = {
        {"aaa", "aa", "b", "ba"},   {"abcabc", "bc", "XYZ", "aXYZaXYZ"}, {"abc", "", "x", "abc"},
        {"abc", nullptr, "x", "abc"}, {"abc", "b", nullptr, "abc"},      {"abc", "b", "", "ac"},
        {"", "a", "b", ""},         {"xyz", "q", "r", "xyz"},            {"aaaa", "a", "aa", "aaaaaaaa"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.s);
        CharPtr r{str_replace(c.s, c.find, c.repl), free};
        EXPECT_EQ(str(r.get()), c.out);
    }
    EXPECT_EQ(str_replace(nullptr, "a", "b"), nullptr);
}

TEST(NStrNatural, OrderTable) {
    const struct {
        const char *a, *b;
        int want;
    } cases[] = {
        {"file2", "file10", -1}, {"file10", "file2", 1}, {"a1", "a01", -1},  {"a01", "a1", 1},
        {"ABC", "abc", -1},      {"abc", "ABC", 1},      {"File", "file", -1}, {nullptr, "a", -1},
        {"a", nullptr, 1},       {nullptr, nullptr, 0},  {"", "a", -1},      {"", "", 0},
        {"abc", "abc", 0},       {"x9", "x10", -1},      {"x", "x1", -1},    {"a001b2", "a1b02", 1},
        {"a1b02", "a001b2", -1}, {"a_", "aB", -1},       {"007", "7", 1},    {"0", "00", -1},
        {"z", "a10", 1},         {"1a", "1A", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(str(c.a) + " vs " + str(c.b));
        EXPECT_EQ(str_natcasecmp(c.a, c.b), c.want);
    }
    std::vector<std::string> names = {"img12.png", "img10.png", "IMG2.png", "img2.png", "img1.png", "img02.png"};
    std::sort(names.begin(), names.end(),
              [](const std::string &x, const std::string &y) { return str_natcasecmp(x.c_str(), y.c_str()) < 0; });
    EXPECT_EQ(names, (std::vector<std::string>{"img1.png", "IMG2.png", "img2.png", "img02.png", "img10.png", "img12.png"}));
    EXPECT_EQ(str_natncasecmp("abc", 2, "abd", 2), 0) << "only the given lengths count";
}

TEST(NStrSanitize, Table) {
    const struct {
        const char *s, *mask;
        size_t len, mlen;  // SIZE_MAX: strlen
        const char *out;
    } cases[] = {
        {"a/b\\c:d", "/\\:", SIZE_MAX, SIZE_MAX, "a_b_c_d"},
        {"a/b/c", "/", 2, SIZE_MAX, "a_b/c"},
        {"a/b", "/", 0, SIZE_MAX, "a/b"},
        {"a/b", "/", SIZE_MAX, 0, "a/b"},
        {"a/b:c", "x\0/:", SIZE_MAX, 4, "a/b:c"},  // the mask stops at its terminator
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.s);
        std::string buf = c.s;
        EXPECT_EQ(str_sanitize_ex(buf.data(), c.len == SIZE_MAX ? buf.size() : c.len, c.mask,
                                  c.mlen == SIZE_MAX ? strlen(c.mask) : c.mlen, '_'),
                  1);
        EXPECT_EQ(buf, c.out);
    }
    std::string buf = "a b";
    EXPECT_EQ(str_sanitize(buf.data(), " ", '-'), 1);
    EXPECT_EQ(buf, "a-b");
    LogCapture cap;
    EXPECT_EQ(str_sanitize(nullptr, " ", '-'), 0);
    EXPECT_EQ(str_sanitize(buf.data(), nullptr, '-'), 0);
    EXPECT_TRUE(cap.contains("if( !(mask) ) assert"));
}

// ---------------------------------------------------------------------------

TEST(NStrTemplate, Table) {
    HASH_TABLE *t = new_ht(16);
    ASSERT_TRUE(t);
    ASSERT_EQ(ht_put_string(t, "name", "Bob"), 1);
    ASSERT_EQ(ht_put_string(t, "empty", ""), 1);
    ASSERT_EQ(ht_put_string(t, "nul", nullptr), 1);
    ASSERT_EQ(ht_put_int(t, "count", 3), 1);
    ASSERT_EQ(ht_put_string(t, "loop", "{{name}}"), 1);
    const std::string k256(256, 'k'), k255(255, 'k');
    ASSERT_EQ(ht_put_string(t, k256.c_str(), "long"), 1);
    ASSERT_EQ(ht_put_string(t, k255.c_str(), "fits"), 1);
    const struct {
        std::string tmpl;
        bool table;
        std::string out;
    } cases[] = {
        {"Hi {{name}}!", true, "Hi Bob!"},
        {"Hi {{name}}!", false, "Hi {{name}}!"},
        {"{{}}", true, "{{}}"},
        {"{{missing}} {{count}} {{nul}}", true, "{{missing}} {{count}} {{nul}}"},
        {"[{{empty}}]", true, "[]"},
        {"{{loop}}", true, "{{name}}"},  // values are not expanded again
        {"{{name", true, "{{name"},
        {"{{{name}}}", true, "{{{name}}}"},  // the key is "{name"
        {"{{" + k256 + "}}", true, "{{" + k256 + "}}"},
        {"{{" + k255 + "}}", true, "fits"},
        {"", true, ""},
        {"a}}b{{name}}{{name}}", true, "a}}bBobBob"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.tmpl.substr(0, 40));
        NstrPtr r{n_str_template_expand(c.tmpl.c_str(), c.table ? t : nullptr)};
        ASSERT_TRUE(r && r->data);
        EXPECT_EQ(std::string(r->data, r->written), c.out);
    }
    EXPECT_EQ(n_str_template_expand(nullptr, t), nullptr);
    destroy_ht(&t);
}

// ---------------------------------------------------------------------------

TEST(NStrUtf8, Table) {
    const struct {
        std::string bytes;
        int valid;
    } cases[] = {
        {"", 1},
        {std::string("a\0b", 3), 1},
        {"\xc0\x80", 0},          // overlong
        {"\xe0\x9f\xbf", 0},      // overlong 3-byte
        {"\xf0\x8f\xbf\xbf", 0},  // overlong 4-byte
        {"\xed\xa0\x80", 0},      // surrogate
        {"\xf4\x90\x80\x80", 0},  // past U+10FFFF
        {"\xf0\x9f\x98\x80", 1},
        {"\xf4\x8f\xbf\xbf", 1},
        {"\xed\x9f\xbf", 1},
        {"\xc2\x80", 1},
        {"\x80", 0},
        {"\xf5\x80\x80\x80", 0},
        {"\xff", 0},
        {"\xe2\x82", 0},          // cut short
        {"\xe2\x28\xa1", 0},      // bad continuation
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(qvtest::hex(c.bytes));
        EXPECT_EQ(n_str_utf8_valid(c.bytes.data(), c.bytes.size()), c.valid);
    }
    EXPECT_EQ(n_str_utf8_valid("\xf0\x9f\x98\x80", 3), 0) << "a lead byte cut off by len";
    EXPECT_EQ(n_str_utf8_valid(nullptr, 0), 1);
    EXPECT_EQ(n_str_utf8_valid(nullptr, 1), 0);
}

TEST(NStrUtf8, AgreesWithPythonStrictDecoder) {
    // Random bytes are nearly always invalid; most inputs are therefore built
    // from valid characters with one edit near the boundaries that matter.
    std::mt19937_64 rng(3629);
    const std::vector<std::string> valid = {"a",        "\xc2\x80",         "\xdf\xbf",         "\xe0\xa0\x80",
                                            "\xed\x9f\xbf", "\xee\x80\x80",     "\xef\xbf\xbf",     "\xf0\x90\x80\x80",
                                            "\xf4\x8f\xbf\xbf", std::string(1, '\0')};
    const std::string edge = "\x7f\x80\xbf\xc0\xc1\xc2\xdf\xe0\xed\xef\xf0\xf4\xf5\xff\x9f\xa0\x8f\x90";
    std::vector<std::string> inputs, req;
    for (int i = 0; i < 20000; i++) {
        std::string s;
        if (i % 5 == 0) {
            for (size_t n = rng() % 12; n; n--) s += (char)(rng() & 0xFF);
        } else {
            for (size_t n = rng() % 6; n; n--) s += valid[rng() % valid.size()];
            if (!s.empty() && rng() % 4) s[rng() % s.size()] = edge[rng() % edge.size()];
            if (!s.empty() && rng() % 8 == 0) s.pop_back();
        }
        inputs.push_back(s);
        req.push_back("utf8 " + qvtest::hex_word(s));
    }
    const auto ans = qvtest::xcheck_ok("str_xcheck.py", req);
    size_t ok = 0;
    for (size_t i = 0; i < inputs.size(); i++) {
        SCOPED_TRACE(qvtest::hex(inputs[i]));
        ASSERT_EQ(ans[i].size(), 1u);
        const int ours = n_str_utf8_valid(inputs[i].data(), inputs[i].size());
        EXPECT_EQ(std::to_string(ours), ans[i][0]);
        ok += ours;
    }
    EXPECT_GT(ok, inputs.size() / 5);
    EXPECT_LT(ok, inputs.size() * 4 / 5);
}

// ---------------------------------------------------------------------------

namespace {

struct ListGuard {
    LIST *list = new_generic_list(0);
    ~ListGuard() { list_destroy(&list); }
};

std::vector<std::string> listed(LIST *l, const std::string &root, int mode) {
    std::vector<std::string> v;
    for (LIST_NODE *n = l->start; n; n = n->next) {
        std::string p = mode == 1 ? static_cast<N_STR *>(n->ptr)->data : static_cast<char *>(n->ptr);
        v.push_back(p.substr(0, root.size()) == root ? p.substr(root.size() + 1) : "OUTSIDE:" + p);
    }
    std::sort(v.begin(), v.end());
    return v;
}

}  // namespace

TEST(NStrScanDir, LinksAreNeverFollowedIntoDirectories) {
    TempDir dir, outside;
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(dir.file("sub/deep").c_str(), 0700), 0);
    qvtest::write_file(dir.file("a.txt"), "a");
    qvtest::write_file(dir.file("b.log"), "b");
    qvtest::write_file(dir.file("sub/c.TXT"), "c");
    qvtest::write_file(dir.file("sub/deep/d.txt"), "d");
    qvtest::write_file(outside.file("secret.txt"), "s");
    // A loop back to the top, a loop onto itself, a way out of the tree, a
    // link to a file (listed as the file) and a dangling link (skipped).
    ASSERT_EQ(symlink("..", dir.file("sub/deep/up").c_str()), 0);
    ASSERT_EQ(symlink(dir.path.c_str(), dir.file("sub/root").c_str()), 0);
    ASSERT_EQ(symlink(dir.file("self").c_str(), dir.file("self").c_str()), 0);
    ASSERT_EQ(symlink(outside.path.c_str(), dir.file("out").c_str()), 0);
    ASSERT_EQ(symlink("a.txt", dir.file("alias.txt").c_str()), 0);
    ASSERT_EQ(symlink("/nonexistent/x.txt", dir.file("dangling.txt").c_str()), 0);

    for (int mode : {0, 1}) {
        SCOPED_TRACE(mode);
        ListGuard all;
        ASSERT_EQ(scan_dir_ex(dir.path.c_str(), "*.txt", all.list, 1, mode), 1);
        EXPECT_EQ(listed(all.list, dir.path, mode),
                  (std::vector<std::string>{"a.txt", "alias.txt", "sub/c.TXT", "sub/deep/d.txt"}));
        ListGuard flat;
        ASSERT_EQ(scan_dir_ex(dir.path.c_str(), "*.txt", flat.list, 0, mode), 1);
        EXPECT_EQ(listed(flat.list, dir.path, mode), (std::vector<std::string>{"a.txt", "alias.txt"}));
    }
    ListGuard star;
    ASSERT_EQ(scan_dir(dir.path.c_str(), star.list, 1), 1);
    EXPECT_EQ(listed(star.list, dir.path, 0),
              (std::vector<std::string>{"a.txt", "alias.txt", "b.log", "sub/c.TXT", "sub/deep/d.txt"}));
    // The pattern is matched against the whole path.
    ListGuard sub;
    ASSERT_EQ(scan_dir_ex(dir.path.c_str(), "*/sub/*", sub.list, 1, 0), 1);
    EXPECT_EQ(listed(sub.list, dir.path, 0), (std::vector<std::string>{"sub/c.TXT", "sub/deep/d.txt"}));
    ListGuard none;
    EXPECT_EQ(scan_dir_ex(dir.path.c_str(), "*", none.list, 1, 7), 1);
    EXPECT_EQ(none.list->item_count, 0u) << "other modes list nothing";

    LogCapture cap;
    ListGuard missing;
    EXPECT_EQ(scan_dir(dir.file("missing").c_str(), missing.list, 1), 0);
    EXPECT_TRUE(cap.contains("cannot open directory: " + dir.file("missing")));
    EXPECT_EQ(scan_dir(dir.path.c_str(), nullptr, 1), 0);
}
