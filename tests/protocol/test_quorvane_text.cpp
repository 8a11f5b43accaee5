// Text and name helpers as tables; the transliteration table and the UTF-8
// repair checked against Python (unicodedata's NFKD, the latin-1 round trip).
#include "quorvane_text.h"

#include "qv_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

std::string u8(uint32_t cp) {
    std::string s;
    if (cp < 0x80) {
        s += static_cast<char>(cp);
    } else if (cp < 0x800) {
        s += static_cast<char>(0xC0 | (cp >> 6));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        s += static_cast<char>(0xE0 | (cp >> 12));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | (cp >> 18));
        s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return s;
}

// Each byte read as Latin-1 and written as UTF-8 again: what a double encoding does.
std::string doubled(const std::string &s) {
    std::string r;
    for (unsigned char c : s) r += u8(c);
    return r;
}

std::string basename_of(const char *path, size_t size = 256) {
    std::vector<char> b(size + 1, 'Z');
    quorvane_safe_basename(path, b.data(), size);
    EXPECT_EQ(b[size], 'Z') << "wrote past the size";
    return b.data();
}

}  // namespace

TEST(QuorvaneText, SafeBasename) {
    struct Case {
        const char *path;
        size_t size;
        const char *want;
    } const cases[] = {
        {nullptr, 256, "attachment.bin"},
        {"report.pdf", 256, "report.pdf"},
        {"a/b/c.txt", 256, "c.txt"},
        {"/etc/passwd", 256, "passwd"},
        {"dir/..", 256, "attachment.bin"},
        {"dir/.", 256, "attachment.bin"},
        {"..", 256, "attachment.bin"},
        {"dir/", 256, "attachment.bin"},
        {"", 256, "attachment.bin"},
        {"C:\\Users\\me\\photo.jpg", 256, "photo.jpg"},
        {"a/b\\..", 256, "attachment.bin"},
        {"na\x01me\x1b[2J\x7f.txt", 256, "name[2J.txt"},  // control bytes dropped
        {"\x01.\x02.", 256, "attachment.bin"},              // ".." once the controls are gone
        {"\n\r\t", 256, "attachment.bin"},
        {"abcdefgh", 5, "abcd"},
        {"\xc3\xa9\xc3\xa9", 4, "\xc3\xa9"},               // a cut never splits a character
        {".abc", 2, "a"},                                   // a cut leaving "." takes the fallback
        {"x", 1, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path ? c.path : "(null)");
        EXPECT_EQ(basename_of(c.path, c.size), c.want);
    }
    quorvane_safe_basename("x", nullptr, 10);
    char one = 'Q';
    quorvane_safe_basename("x", &one, 0);
    EXPECT_EQ(one, 'Q');
}

TEST(QuorvaneText, MimeClasses) {
    struct Case {
        const char *mime;
        int video, image, preview_without_thumb;
    } const cases[] = {
        {"video/mp4", 1, 0, 0}, {"image/png", 0, 1, 1}, {"image/", 0, 1, 1}, {"Image/png", 0, 0, 0},
        {"VIDEO/mp4", 0, 0, 0}, {"application/pdf", 0, 0, 0}, {"video", 0, 0, 0}, {"", 0, 0, 0}, {nullptr, 0, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.mime ? c.mime : "(null)");
        EXPECT_EQ(quorvane_is_video_mime(c.mime), c.video);
        EXPECT_EQ(quorvane_is_image_mime(c.mime), c.image);
        EXPECT_EQ(quorvane_file_shows_preview(c.mime, 0), c.preview_without_thumb);
        EXPECT_EQ(quorvane_file_shows_preview(c.mime, 1), 1);
    }
}

TEST(QuorvaneText, LastSeen) {
    const int64_t now = 1800000000;
    struct Case {
        int64_t ago;
        int ok;
        const char *want;
    } const cases[] = {
        {0, 1, "last seen just now"},     {59, 1, "last seen just now"},   {60, 1, "last seen 1m ago"},
        {3599, 1, "last seen 59m ago"},   {3600, 1, "last seen 1h ago"},   {86399, 1, "last seen 23h ago"},
        {86400, 1, "last seen 1d ago"},   {2591999, 1, "last seen 29d ago"}, {2592000, 1, "last seen a long time ago"},
        {now - 1, 1, "last seen a long time ago"},
        {-1, 0, ""},  // later than now
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ago);
        char b[48];
        memset(b, 'Z', sizeof b);
        EXPECT_EQ(quorvane_fmt_last_seen(now - c.ago, now, b, sizeof b), c.ok);
        EXPECT_STREQ(b, c.want);
    }
    char b[8] = "zz";
    EXPECT_EQ(quorvane_fmt_last_seen(0, now, b, sizeof b), 0);  // never seen
    EXPECT_STREQ(b, "");
    memcpy(b, "zz", 3);
    EXPECT_EQ(quorvane_fmt_last_seen(now, now, b, sizeof b), 0);  // does not fit: no cut text
    EXPECT_STREQ(b, "");
    EXPECT_EQ(quorvane_fmt_last_seen(now, now, nullptr, 48), 0);
}

TEST(QuorvaneText, UsernameFold) {
    struct Case {
        const char *name;
        size_t size;
        int ok;
        const char *want;
    } const cases[] = {
        {"  Alice \t", 129, 1, "alice"},
        {"ab", 129, 0, "ab"},
        {"abc", 129, 1, "abc"},
        {"a b c", 129, 0, "a b c"},
        {"x.y_z-0", 129, 1, "x.y_z-0"},
        {"a+b", 129, 0, "a+b"},
        {"\xc3\xa9t\xc3\xa9", 129, 0, "\xc3\xa9t\xc3\xa9"},
        {"abcdefghijklmnopqrstuvwxyz012345", 129, 1, "abcdefghijklmnopqrstuvwxyz012345"},     // 32
        {"abcdefghijklmnopqrstuvwxyz0123456", 129, 0, "abcdefghijklmnopqrstuvwxyz0123456"},   // 33
        {"abcdef", 6, 0, "abcde"},  // does not fit whole
        {"abcdef", 7, 1, "abcdef"},
        {"", 129, 0, ""},
        {" \r\n\t ", 129, 0, ""},
        {nullptr, 129, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name ? c.name : "(null)");
        char b[129];
        memset(b, 'Z', sizeof b);
        EXPECT_EQ(quorvane_username_fold(c.name, b, c.size), c.ok);
        EXPECT_STREQ(b, c.want);
    }
    EXPECT_EQ(quorvane_username_fold("abc", nullptr, 10), 0);
    EXPECT_EQ(quorvane_username_has_caps("abC"), 1);
    EXPECT_EQ(quorvane_username_has_caps("abc\xc3\x89"), 0);  // only ASCII capitals count
    EXPECT_EQ(quorvane_username_has_caps(nullptr), 0);
}

TEST(QuorvaneText, UsernameSuggest) {
    struct Case {
        std::string name;
        size_t size;
        int ok;
        const char *want;
    } const cases[] = {
        {"Zo\xc3\xab Smith-Jones", 33, 1, "zoe.smith-jones"},
        {"\xc3\x86lfred", 33, 1, "aelfred"},
        {"\xd0\x98\xd0\xb2\xd0\xb0\xd0\xbd", 33, 0, ""},      // Cyrillic only
        {"Jean-Luc Picard", 33, 1, "jean-luc.picard"},
        {"a.b  c", 33, 1, "a.b.c"},
        {"Max_ Power", 33, 1, "max_power"},                      // no dot after "_"
        {"__x", 33, 0, ""},                                      // "_" only once something is written
        {"  __abc", 33, 1, "abc"},
        {"abc...", 33, 1, "abc"},                                // trailing marks go
        {"ab-", 33, 0, ""},
        {"\xc1\x81\xc1\x82\xc1\x83", 33, 1, "abc"},              // overlong two-byte ASCII counts as ASCII
        {"ab\x80" "c", 33, 1, "abc"},                            // a stray byte dropped alone
        {"ab\xe2\x82\xac" "c", 33, 1, "abc"},                    // three-byte character dropped whole
        {"ab\xf0\x9f\x98\x80" "c", 33, 1, "abc"},
        {"abc\xc3", 33, 1, "abc"},                               // cut sequence
        {"\xc3\x9f\xc3\x9f", 33, 1, "ssss"},
        {"Stra\xc3\x9f" "e \xc3\x97 x", 33, 1, "strasse.x"},     // the multiplication sign has no entry
        {std::string(40, 'a'), 33, 1, "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"},
        {std::string(40, 'a'), 8, 1, "aaaaaaa"},
        {"abcdef", 3, 0, ""},                                    // the buffer needs 4 bytes
        {"Ab%c! D", 33, 1, "abc.d"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        char b[64];
        memset(b, 'Z', sizeof b);
        EXPECT_EQ(quorvane_username_suggest(c.name.c_str(), b, c.size), c.ok);
        EXPECT_STREQ(b, c.want);
    }
    EXPECT_EQ(quorvane_username_suggest(nullptr, nullptr, 0), 0);
}

TEST(QuorvaneText, TransliterationAgainstUnicodedata) {
    std::vector<std::string> req;
    for (uint32_t cp = 0xC0; cp <= 0x17F; cp++) req.push_back("translit " + std::to_string(cp));
    const auto ans = qvtest::xcheck_words("text_xcheck.py", req);
    for (uint32_t cp = 0xC0; cp <= 0x17F; cp++) {
        SCOPED_TRACE(testing::Message() << "U+" << std::hex << cp);
        const auto &w = ans[cp - 0xC0];
        ASSERT_EQ(w.size(), 2u);
        ASSERT_EQ(w[0], "OK");
        const char *mine = quorvane_translit(cp);
        ASSERT_NE(mine, nullptr);
        EXPECT_EQ(std::string(*mine ? mine : "-"), w[1]);
        // capital and small letters give the same suggestion
        char b[33];
        if (*mine && quorvane_username_suggest(("xx" + u8(cp)).c_str(), b, sizeof b)) {
            EXPECT_EQ(std::string(b), "xx" + std::string(mine));
        }
    }
    EXPECT_EQ(quorvane_translit(0xBF), nullptr);
    EXPECT_EQ(quorvane_translit(0x180), nullptr);
}

TEST(QuorvaneText, UsernameVariant) {
    struct Case {
        std::string name;
        unsigned long n;
        size_t size;
        int ok;
        const char *want;
    } const cases[] = {
        {"alice", 2, 33, 1, "alice2"},
        {"bob_", 3, 33, 1, "bob3"},
        {"bob._-", 3, 33, 1, "bob3"},
        {std::string(32, 'a'), 10, 33, 1, "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaa10"},
        {std::string(30, 'a') + "_b", 10, 33, 1, "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaa10"},
        {"a", 2, 33, 0, ""},   // two bytes only
        {"a", 10, 33, 1, "a10"},
        {"___", 2, 33, 0, ""},  // nothing left of the name
        {"", 5, 33, 0, ""},
        {"alice", 1, 33, 0, ""},
        {"alice", 2, 6, 0, ""},  // no room for the terminator
        {"alice", 2, 7, 1, "alice2"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name + " " + std::to_string(c.n));
        char b[64];
        memset(b, 'Z', sizeof b);
        EXPECT_EQ(quorvane_username_variant(c.name.c_str(), c.n, b, c.size), c.ok);
        if (c.ok) {
            EXPECT_STREQ(b, c.want);
        }
    }
    EXPECT_EQ(quorvane_username_variant(nullptr, 2, nullptr, 0), 0);
}

TEST(QuorvaneText, Undouble) {
    char b[64];
    EXPECT_EQ(quorvane_utf8_undouble("\xc3\x83\xc2\xa9", b, sizeof b), 1);
    EXPECT_STREQ(b, "\xc3\xa9");
    EXPECT_EQ(quorvane_utf8_undouble("plain ascii", b, sizeof b), 0);
    EXPECT_EQ(quorvane_utf8_undouble("\xc3\xa9", b, sizeof b), 0);            // once encoded: a lone E9 is no UTF-8
    EXPECT_EQ(quorvane_utf8_undouble("\xe2\x82\xac", b, sizeof b), 0);        // a character above U+00FF
    EXPECT_EQ(quorvane_utf8_undouble("\xc3\x83\xc2\xa9", b, 2), 0);           // does not fit
    EXPECT_EQ(quorvane_utf8_undouble("\xc3\x83\xc2\xa9", b, 3), 1);
    EXPECT_EQ(quorvane_utf8_undouble(nullptr, b, sizeof b), 0);
    EXPECT_EQ(quorvane_utf8_undouble("x", nullptr, 9), 0);

    // Against Python's latin-1 round trip: doubled texts, once-encoded texts,
    // doubled forms of ill-formed UTF-8 (overlong, surrogate, past U+10FFFF)
    // and random bytes.
    std::vector<std::string> in = {
        doubled("caf\xc3\xa9 na\xc3\xafve"), doubled("\xe2\x82\xac 5"), doubled("\xf0\x9f\x98\x80!"),
        doubled("\xc0\xaf"), doubled("\xe0\x80\xaf"), doubled("\xed\xa0\x80"), doubled("\xf4\x90\x80\x80"),
        doubled("\xf8\x88\x80\x80\x80"), doubled("\xc3"), "caf\xc3\xa9", "plain", doubled("plain"),
        "\xc2\x80", "\xc3\x83\xc2",
    };
    std::mt19937 rng(11);
    for (int i = 0; i < 300; i++) {
        std::string s;
        const size_t n = 1 + rng() % 12;
        for (size_t k = 0; k < n; k++) {
            const unsigned r = rng() % 4;
            if (r == 0) s += static_cast<char>('a' + rng() % 26);
            else if (r == 1) s += u8(0x80 + rng() % 0x80);
            else if (r == 2) s += u8(0x100 + rng() % 0x700);
            else s += static_cast<char>(1 + rng() % 255);
        }
        in.push_back(i % 2 ? doubled(s) : s);
    }
    std::vector<std::string> req;
    for (const auto &s : in) req.push_back("undouble " + qvtest::hex(s));
    const auto ans = qvtest::xcheck_words("text_xcheck.py", req);
    int repaired = 0;
    for (size_t i = 0; i < in.size(); i++) {
        SCOPED_TRACE(qvtest::hex(in[i]));
        char out[128];
        const int r = quorvane_utf8_undouble(in[i].c_str(), out, sizeof out);
        ASSERT_FALSE(ans[i].empty());
        if (in[i].find('\0') != std::string::npos) continue;
        if (ans[i][0] == "FAIL") {
            EXPECT_EQ(ans[i].size() > 1 ? ans[i][1] : "", "NONE");
            EXPECT_EQ(r, 0);
        } else {
            ASSERT_EQ(ans[i].size(), 2u);
            EXPECT_EQ(r, 1);
            EXPECT_EQ(qvtest::hex(out, strlen(out)), ans[i][1] == "-" ? "" : ans[i][1]);
            repaired++;
        }
    }
    EXPECT_GT(repaired, 50);  // the sample really exercises repairs
}

TEST(QuorvaneText, MarkdownUseAndPicker) {
    struct Case {
        uint8_t type;
        const char *text;
        int want;
    } const cases[] = {
        {1, "**a**", 1}, {1, "plain", 0}, {10, "# h", 1}, {1, "\\*x", 1}, {16, "**a**", 0}, {1, "", 0}, {1, nullptr, 0},
        {1, "http://x.org", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        EXPECT_EQ(quorvane_msg_uses_markdown(c.type, c.text, c.text ? strlen(c.text) : 0), c.want);
    }
    EXPECT_EQ(quorvane_picker_action(1, 1), QV_PICKER_REACT);
    EXPECT_EQ(quorvane_picker_action(1, 0), QV_PICKER_REACT);
    EXPECT_EQ(quorvane_picker_action(0, 1), QV_PICKER_STICKER);
    EXPECT_EQ(quorvane_picker_action(0, 0), QV_PICKER_INSERT);
}
