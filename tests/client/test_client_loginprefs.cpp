// Login preferences: every older format loads (fixtures written from the
// layouts by tests/scripts/loginprefs_xcheck.py), damaged files give the
// loader's results, save round-trips and replaces atomically, the recent list
// moves as the form uses it, and the sealed password is checked against the
// independent script in both directions.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "client_datadir.h"
#include "client_loginprefs.h"
#include "qv_test_support.h"

namespace {

using bytes = std::string;
using qvtest::hex_word;
using qvtest::unhex_string;

const std::string kFixtures = std::string(qvtest::source_dir()) + "/tests/client/data/loginprefs/";

void set_text(char *dst, size_t cap, const std::string &s) {
    ASSERT_LT(s.size(), cap);
    memset(dst, 0, cap);
    memcpy(dst, s.data(), s.size());
}

// A record with every field away from the loader's defaults.
quorvane_loginprefs sample() {
    quorvane_loginprefs p{};
    set_text(p.server, sizeof p.server, "Chat.Alpha.LAN:7420");
    set_text(p.username, sizeof p.username, "alice");
    p.remember_user = 1;
    p.remember_password = 1;
    set_text(p.password, sizeof p.password, "correct horse battery staple");
    p.link_previews = 0;
    p.presence_public = 0;
    p.notif_hide = 0;
    set_text(p.recent[0], sizeof p.recent[0], "chat.alpha.lan:7420");
    set_text(p.recent[1], sizeof p.recent[1], "[::1]:7421");
    set_text(p.recent[2], sizeof p.recent[2], std::string(127, 'r'));
    p.recent_count = 3;
    p.theme = 3;
    p.emoji_style = 1;
    p.auto_signin = 1;
    p.signed_out = 1;
    set_text(p.quick_react, sizeof p.quick_react, "thumbs_up");
    return p;
}

void expect_same(const quorvane_loginprefs &got, const quorvane_loginprefs &want) {
    EXPECT_STREQ(got.server, want.server);
    EXPECT_STREQ(got.username, want.username);
    EXPECT_EQ(got.remember_user, want.remember_user);
    EXPECT_EQ(got.remember_password, want.remember_password);
    EXPECT_STREQ(got.password, want.password);
    EXPECT_EQ(got.link_previews, want.link_previews);
    EXPECT_EQ(got.presence_public, want.presence_public);
    EXPECT_EQ(got.notif_hide, want.notif_hide);
    EXPECT_EQ(got.recent_count, want.recent_count);
    for (int i = 0; i < want.recent_count && i < 8; i++) EXPECT_STREQ(got.recent[i], want.recent[i]) << "recent " << i;
    EXPECT_EQ(got.theme, want.theme);
    EXPECT_EQ(got.emoji_style, want.emoji_style);
    EXPECT_EQ(got.auto_signin, want.auto_signin);
    EXPECT_EQ(got.signed_out, want.signed_out);
    EXPECT_STREQ(got.quick_react, want.quick_react);
}

bool all_zero(const quorvane_loginprefs &p) {
    const auto *b = reinterpret_cast<const unsigned char *>(&p);
    for (size_t i = 0; i < sizeof p; i++)
        if (b[i]) return false;
    return true;
}

// Loads `content` from a scratch file.
int load_bytes(const bytes &content, quorvane_loginprefs *p) {
    qvtest::TempDir dir;
    std::string f = dir.file("loginprefs");
    qvtest::write_file(f, content);
    return quorvane_loginprefs_load(f.c_str(), p);
}

// Header of a file: format, flags, server, user and the password marker.
bytes header(int format, const std::string &server, const std::string &user, int marker, int remember_pw = 1) {
    bytes b;
    b += static_cast<char>(format);
    b += '\1';
    b += static_cast<char>(remember_pw);
    b += static_cast<char>(server.size());
    b += server;
    b += static_cast<char>(user.size());
    b += user;
    b += static_cast<char>(marker);
    return b;
}

bytes B(std::initializer_list<int> v) {
    bytes b;
    for (int x : v) b += static_cast<char>(x);
    return b;
}

// -- older formats ------------------------------------------------------------

TEST(QuorvaneLoginprefsLoad, EveryFormatFixture) {
    struct Case {
        int format;
        int remember_pw;
        const char *password;
        int link, presence, notif, recent, theme, emoji, auto_signin, signed_out;
        const char *react;
    } cases[] = {
        {1, 0, "", 1, 1, 1, 0, -1, 0, 0, 0, ""},
        {2, 1, "correct horse 2", 0, 1, 1, 0, -1, 0, 0, 0, ""},
        {3, 1, "correct horse 3", 0, 0, 1, 0, -1, 0, 0, 0, ""},
        {4, 1, "correct horse 4", 0, 0, 0, 0, -1, 0, 0, 0, ""},
        {5, 1, "correct horse 5", 0, 0, 0, 2, -1, 0, 0, 0, ""},
        {6, 1, "correct horse 6", 0, 0, 0, 2, 6, 1, 0, 0, ""},
        {7, 1, "correct horse 7", 0, 0, 0, 2, 6, 1, 1, 1, ""},
        {8, 1, "correct horse 8", 0, 0, 0, 2, 6, 1, 1, 1, "thumbs_up"},
        {9, 1, "correct horse 9", 0, 0, 0, 2, 7, 1, 1, 1, "thumbs_up"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("format " + std::to_string(c.format));
        std::string path = kFixtures + "format-" + std::to_string(c.format) + ".bin";
        ASSERT_EQ(qvtest::read_file(path)[0], static_cast<char>(c.format));
        quorvane_loginprefs p;
        ASSERT_EQ(quorvane_loginprefs_load(path.c_str(), &p), 0);
        EXPECT_STREQ(p.server, "Chat.Alpha.LAN:7420");
        EXPECT_STREQ(p.username, "alice");
        EXPECT_EQ(p.remember_user, 1);
        EXPECT_EQ(p.remember_password, c.remember_pw);
        EXPECT_STREQ(p.password, c.password);
        EXPECT_EQ(p.link_previews, c.link);
        EXPECT_EQ(p.presence_public, c.presence);
        EXPECT_EQ(p.notif_hide, c.notif);
        EXPECT_EQ(p.recent_count, c.recent);
        if (c.recent) {
            EXPECT_STREQ(p.recent[0], "chat.alpha.lan:7420");
            EXPECT_STREQ(p.recent[1], "[::1]:7421");
        }
        EXPECT_EQ(p.theme, c.theme);
        EXPECT_EQ(p.emoji_style, c.emoji);
        EXPECT_EQ(p.auto_signin, c.auto_signin);
        EXPECT_EQ(p.signed_out, c.signed_out);
        EXPECT_STREQ(p.quick_react, c.react);
    }
}

TEST(QuorvaneLoginprefsLoad, ThemeByteByFormat) {
    struct Case {
        int format, byte, theme;
    } cases[] = {
        {6, 0, -1}, {6, 1, 1}, {6, 4, 4}, {6, 5, -1}, {6, 6, 5}, {6, 7, 6}, {7, 0, -1}, {7, 7, 6},
        {8, 0, 0},  {8, 4, 4}, {8, 5, -1}, {8, 7, 6}, {9, 0, 0},  {9, 5, 5},  {9, 7, 7}, {9, 254, 254},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.format) + "/" + std::to_string(c.byte));
        quorvane_loginprefs p;
        ASSERT_EQ(load_bytes(header(c.format, "s", "u", 0) + B({1, 1, 1, 0, c.byte, 0}), &p), 0);
        EXPECT_EQ(p.theme, c.theme);
    }
}

// -- refused files --------------------------------------------------------------

TEST(QuorvaneLoginprefsLoad, BrokenHeadersAndSizesAreRefused) {
    bytes ok = header(9, "srv", "alice", 0);
    struct Case {
        const char *name;
        bytes content;
    } cases[] = {
        {"empty", ""},
        {"format 0", B({0}) + ok.substr(1)},
        {"format 10", B({10}) + ok.substr(1)},
        {"format only", B({9})},
        {"no server length", B({9, 1, 1})},
        {"server length 128", B({9, 1, 1, 128}) + std::string(128, 's') + B({0, 0})},
        {"server runs past the end", B({9, 1, 1, 5, 's', 's'})},
        {"no user length", B({9, 1, 1, 1, 's'})},
        {"user length 33", B({9, 1, 1, 1, 's', 33}) + std::string(33, 'u') + B({0})},
        {"user runs past the end", B({9, 1, 1, 1, 's', 4, 'u'})},
        {"no marker", B({9, 1, 1, 1, 's', 1, 'u'})},
        {"4096 bytes", ok + std::string(4096 - ok.size(), '\0')},
        {"5000 bytes", ok + std::string(5000 - ok.size(), '\0')},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        quorvane_loginprefs p;
        memset(&p, 0xA5, sizeof p);
        EXPECT_EQ(load_bytes(c.content, &p), -1);
        EXPECT_TRUE(all_zero(p));
    }

    quorvane_loginprefs p;
    ASSERT_EQ(load_bytes(ok + std::string(4095 - ok.size(), '\0'), &p), 0);  // one byte below the limit
    EXPECT_STREQ(p.username, "alice");

    qvtest::TempDir dir;
    memset(&p, 0xA5, sizeof p);
    EXPECT_EQ(quorvane_loginprefs_load(dir.file("missing").c_str(), &p), -1);
    EXPECT_TRUE(all_zero(p));
    memset(&p, 0xA5, sizeof p);
    EXPECT_EQ(quorvane_loginprefs_load(dir.path.c_str(), &p), -1);  // a directory
    EXPECT_TRUE(all_zero(p));
    EXPECT_EQ(quorvane_loginprefs_load(nullptr, &p), -1);
    EXPECT_EQ(quorvane_loginprefs_load(dir.file("missing").c_str(), nullptr), -1);
}

// -- the password section ---------------------------------------------------------

// Each case is followed by the bytes 0 1 0 as the three flags of format 4, so
// the flags show where reading went on after the part that was dropped.
TEST(QuorvaneLoginprefsLoad, DamagedPasswordIsDroppedAndReadingGoesOn) {
    const bytes salt(16, 'S'), tag(16, 'T'), after = B({0, 1, 0});
    struct Case {
        const char *name;
        bytes content;
        int link, presence, notif;
    } cases[] = {
        {"fewer than 16 bytes after the marker", header(4, "s", "alice", 1) + after, 0, 1, 0},
        {"short tag", header(4, "s", "alice", 1) + salt + after, 0, 1, 0},
        {"ends right after the tag", header(4, "s", "alice", 1) + salt + tag, 1, 1, 1},
        {"length 0", header(4, "s", "alice", 1) + salt + tag + B({0}) + after, 0, 1, 0},
        {"short ciphertext", header(4, "s", "alice", 1) + salt + tag + B({40}) + after, 0, 1, 0},
        {"tag does not verify", header(4, "s", "alice", 1) + salt + tag + B({3, 'a', 'b', 'c'}) + after, 0, 1, 0},
        {"no user name to derive from", header(4, "s", "", 1) + salt + tag + B({3, 'a', 'b', 'c'}) + after, 0, 1, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        quorvane_loginprefs p;
        ASSERT_EQ(load_bytes(c.content, &p), 0);
        EXPECT_EQ(p.remember_password, 0);
        EXPECT_STREQ(p.password, "");
        EXPECT_EQ(p.link_previews, c.link);
        EXPECT_EQ(p.presence_public, c.presence);
        EXPECT_EQ(p.notif_hide, c.notif);
        EXPECT_EQ(p.theme, -1);
    }
    // marker 0 keeps the remember flag as stored
    quorvane_loginprefs p;
    ASSERT_EQ(load_bytes(header(4, "s", "alice", 0) + after, &p), 0);
    EXPECT_EQ(p.remember_password, 1);
    EXPECT_EQ(p.link_previews, 0);
}

TEST(QuorvaneLoginprefsLoad, PasswordSealedForAnotherUserIsDroppedLaterFieldsKept) {
    qvtest::TempDir dir;
    std::string f = dir.file("loginprefs");
    quorvane_loginprefs want = sample();
    ASSERT_EQ(quorvane_loginprefs_save(f.c_str(), &want), 0);
    bytes content = qvtest::read_file(f);
    size_t at = content.find("alice");
    ASSERT_NE(at, std::string::npos);
    content[at] = 'A';
    quorvane_loginprefs got;
    ASSERT_EQ(load_bytes(content, &got), 0);
    want.remember_password = 0;
    want.password[0] = '\0';
    set_text(want.username, sizeof want.username, "Alice");
    expect_same(got, want);
}

// -- recent list and quick reaction -------------------------------------------------

TEST(QuorvaneLoginprefsLoad, RecentListEndsAtABrokenEntry) {
    const bytes tail = B({4, 1, 1, 1, 0});  // theme 4, emoji, auto, signed out, no reaction
    const bytes a = B({1, 'a'}), b = B({2, 'b', 'b'});
    struct Case {
        const char *name;
        bytes list;
        int count;
        bool tail_read;
        bool ends_there = false;  // nothing follows the list
    } cases[] = {
        {"two entries", B({2}) + a + b, 2, true},
        {"none", B({0}), 0, true},
        {"length 0 ends the list", B({3}) + a + B({0}) + b, 1, false},
        {"length 128 ends the list", B({2}) + a + B({128}) + std::string(128, 'x'), 1, false},
        {"text past the end", B({2}) + a + B({100, 'x'}), 1, false},
        {"count above what follows", B({3}) + a + b, 2, false, true},
        {"count 200 is read as 8", B({200}) + a + a + a + a + a + a + a + a, 8, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        quorvane_loginprefs p;
        ASSERT_EQ(load_bytes(header(9, "s", "u", 0) + B({0, 0, 0}) + c.list + (c.ends_there ? "" : tail), &p), 0);
        EXPECT_EQ(p.recent_count, c.count);
        if (c.count >= 1) {
            EXPECT_STREQ(p.recent[0], "a");
        }
        EXPECT_EQ(p.link_previews, 0);
        EXPECT_EQ(p.theme, c.tail_read ? 4 : -1);
        EXPECT_EQ(p.emoji_style, c.tail_read ? 1 : 0);
        EXPECT_EQ(p.signed_out, c.tail_read ? 1 : 0);
    }
}

TEST(QuorvaneLoginprefsLoad, QuickReactionBounds) {
    const bytes head = header(9, "s", "u", 0) + B({1, 1, 1, 0, 2, 0, 0, 0});
    struct Case {
        const char *name;
        bytes tail;
        const char *react;
    } cases[] = {
        {"32 bytes", B({32}) + std::string(32, 'q'), "qqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqq"},
        {"33 bytes", B({33}) + std::string(33, 'q'), ""},
        {"runs past the end", B({5, 'q', 'q'}), ""},
        {"length absent", "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        quorvane_loginprefs p;
        ASSERT_EQ(load_bytes(head + c.tail, &p), 0);
        EXPECT_STREQ(p.quick_react, c.react);
        EXPECT_EQ(p.theme, 2);
    }
}

// -- save ---------------------------------------------------------------------------

TEST(QuorvaneLoginprefsSave, RoundTripsTheRecord) {
    qvtest::TempDir dir;
    std::string f = dir.file("loginprefs");
    quorvane_loginprefs want = sample(), got;
    ASSERT_EQ(quorvane_loginprefs_save(f.c_str(), &want), 0);
    ASSERT_EQ(quorvane_loginprefs_load(f.c_str(), &got), 0);
    expect_same(got, want);

    want.theme = -1;  // no theme: stored as 0
    want.recent_count = 8;
    for (int i = 0; i < 8; i++) set_text(want.recent[i], sizeof want.recent[i], "server" + std::to_string(i));
    set_text(want.password, sizeof want.password, std::string(255, 'p'));
    set_text(want.username, sizeof want.username, std::string(32, 'u'));
    ASSERT_EQ(quorvane_loginprefs_save(f.c_str(), &want), 0);
    ASSERT_EQ(quorvane_loginprefs_load(f.c_str(), &got), 0);
    want.theme = 0;
    expect_same(got, want);
}

TEST(QuorvaneLoginprefsSave, ClampsWhatTheFormatCannotHold) {
    qvtest::TempDir dir;
    std::string f = dir.file("loginprefs");
    quorvane_loginprefs in = sample(), got;
    memset(in.server, 's', sizeof in.server);  // no terminator: 127 bytes kept
    memset(in.quick_react, 'q', sizeof in.quick_react);
    in.link_previews = 7;
    in.recent_count = 12;
    for (int i = 0; i < 8; i++) set_text(in.recent[i], sizeof in.recent[i], std::string("r").append(std::to_string(i)));
    in.theme = 300;
    ASSERT_EQ(quorvane_loginprefs_save(f.c_str(), &in), 0);
    ASSERT_EQ(quorvane_loginprefs_load(f.c_str(), &got), 0);
    EXPECT_EQ(std::string(got.server), std::string(127, 's'));
    EXPECT_EQ(std::string(got.quick_react), std::string(32, 'q'));
    EXPECT_EQ(got.link_previews, 1);
    EXPECT_EQ(got.recent_count, 8);
    EXPECT_STREQ(got.recent[7], "r7");
    EXPECT_EQ(got.theme, 0);

    // an empty entry would end the list on load and lose the theme after it
    in = sample();
    in.recent[1][0] = '\0';
    ASSERT_EQ(quorvane_loginprefs_save(f.c_str(), &in), 0);
    ASSERT_EQ(quorvane_loginprefs_load(f.c_str(), &got), 0);
    EXPECT_EQ(got.recent_count, 2);
    EXPECT_STREQ(got.recent[0], in.recent[0]);
    EXPECT_STREQ(got.recent[1], in.recent[2]);
    EXPECT_EQ(got.theme, 3);
    EXPECT_STREQ(got.quick_react, "thumbs_up");

    in.recent_count = -3;
    ASSERT_EQ(quorvane_loginprefs_save(f.c_str(), &in), 0);
    ASSERT_EQ(quorvane_loginprefs_load(f.c_str(), &got), 0);
    EXPECT_EQ(got.recent_count, 0);
}

TEST(QuorvaneLoginprefsSave, PasswordOnlyWithTheUserAndNeverInClear) {
    qvtest::TempDir dir;
    std::string f = dir.file("loginprefs");
    quorvane_loginprefs in = sample(), got;
    in.remember_user = 0;
    ASSERT_EQ(quorvane_loginprefs_save(f.c_str(), &in), 0);
    bytes content = qvtest::read_file(f);
    ASSERT_GE(content.size(), 25u);
    EXPECT_EQ(content.substr(0, 4), B({9, 0, 1, 19}));
    EXPECT_EQ(content.substr(23, 2), B({0, 0}));  // no user name, marker 0
    EXPECT_EQ(content.find("alice"), std::string::npos);
    ASSERT_EQ(quorvane_loginprefs_load(f.c_str(), &got), 0);
    EXPECT_EQ(got.remember_password, 1);
    EXPECT_STREQ(got.password, "");
    EXPECT_STREQ(got.username, "");

    in = sample();
    ASSERT_EQ(quorvane_loginprefs_save(f.c_str(), &in), 0);
    content = qvtest::read_file(f);
    EXPECT_EQ(content.find("correct horse"), std::string::npos);
    // two saves of the same password use fresh salts
    ASSERT_EQ(quorvane_loginprefs_save(f.c_str(), &in), 0);
    EXPECT_NE(qvtest::read_file(f), content);
}

TEST(QuorvaneLoginprefsSave, ReplacesAtomicallyWithMode0600) {
    qvtest::TempDir dir;
    std::string f = dir.file("loginprefs");
    quorvane_loginprefs in = sample();
    mode_t old_mask = umask(0);
    int rc = quorvane_loginprefs_save(f.c_str(), &in);
    umask(old_mask);
    ASSERT_EQ(rc, 0);
    struct stat st;
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_NE(stat((f + ".tmp").c_str(), &st), 0);

    // a temporary that cannot be created: the old file stays whole
    bytes before = qvtest::read_file(f);
    ASSERT_EQ(mkdir((f + ".tmp").c_str(), 0700), 0);
    in.theme = 9;
    EXPECT_EQ(quorvane_loginprefs_save(f.c_str(), &in), -1);
    EXPECT_EQ(qvtest::read_file(f), before);

    EXPECT_EQ(quorvane_loginprefs_save(dir.file("no/such/dir").c_str(), &in), -1);
    EXPECT_EQ(quorvane_loginprefs_save(nullptr, &in), -1);
    EXPECT_EQ(quorvane_loginprefs_save(f.c_str(), nullptr), -1);
}

// -- recent servers ---------------------------------------------------------------------

std::vector<std::string> recent(const quorvane_loginprefs &p) {
    std::vector<std::string> v;
    for (int i = 0; i < p.recent_count && i < 8; i++) v.emplace_back(p.recent[i]);
    return v;
}

TEST(QuorvaneLoginprefsTouch, MovesToTheFront) {
    using list = std::vector<std::string>;
    struct Case {
        const char *name;
        list before;
        int stored_count;
        const char *server;
        list after;
    } cases[] = {
        {"empty list", {}, 0, "a", {"a"}},
        {"negative count", {"x"}, -2, "a", {"a"}},
        {"already first", {"a", "b", "c"}, 3, "a", {"a", "b", "c"}},
        {"third moves up, count kept", {"a", "b", "c", "d"}, 4, "c", {"c", "a", "b", "d"}},
        {"new one in front", {"a", "b"}, 2, "n", {"n", "a", "b"}},
        {"ninth new drops the oldest", {"1", "2", "3", "4", "5", "6", "7", "8"}, 8, "n", {"n", "1", "2", "3", "4", "5", "6", "7"}},
        {"eighth moves up", {"1", "2", "3", "4", "5", "6", "7", "8"}, 8, "8", {"8", "1", "2", "3", "4", "5", "6", "7"}},
        {"count above 8 read as 8", {"1", "2", "3", "4", "5", "6", "7", "8"}, 40, "n", {"n", "1", "2", "3", "4", "5", "6", "7"}},
        {"exact bytes only", {"Chat"}, 1, "chat", {"chat", "Chat"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        quorvane_loginprefs p{};
        for (size_t i = 0; i < c.before.size(); i++) set_text(p.recent[i], sizeof p.recent[i], c.before[i]);
        p.recent_count = c.stored_count;
        quorvane_loginprefs_touch_server(&p, c.server);
        EXPECT_EQ(recent(p), c.after);
        EXPECT_EQ(p.recent_count, static_cast<int>(c.after.size()));
    }

    quorvane_loginprefs p{};
    set_text(p.recent[0], sizeof p.recent[0], "a");
    p.recent_count = 1;
    quorvane_loginprefs_touch_server(&p, "");
    quorvane_loginprefs_touch_server(&p, nullptr);
    quorvane_loginprefs_touch_server(&p, std::string(128, 'x').c_str());
    quorvane_loginprefs_touch_server(nullptr, "a");
    EXPECT_EQ(recent(p), std::vector<std::string>{"a"});
    quorvane_loginprefs_touch_server(&p, std::string(127, 'x').c_str());
    EXPECT_EQ(recent(p), (std::vector<std::string>{std::string(127, 'x'), "a"}));
}

// -- device choices ----------------------------------------------------------------------

TEST(QuorvaneLoginprefsDeviceChoices, ReadFromThePinsDataDirectory) {
    qvtest::TempDir dir;
    char pin[512], prefs[512];
    ASSERT_EQ(quorvane_datadir_pin_path(dir.path.c_str(), "h", "7420", pin, sizeof pin), 0);
    ASSERT_EQ(quorvane_datadir_loginprefs_path(dir.path.c_str(), prefs, sizeof prefs), 0);
    int notif = -5, presence = -5;
    EXPECT_EQ(quorvane_loginprefs_device_choices(pin, &notif, &presence), -1);  // no file yet
    EXPECT_EQ(notif, 1);
    EXPECT_EQ(presence, 1);

    quorvane_loginprefs in = sample();
    in.notif_hide = 0;
    in.presence_public = 0;
    ASSERT_EQ(quorvane_loginprefs_save(prefs, &in), 0);
    EXPECT_EQ(quorvane_loginprefs_device_choices(pin, &notif, &presence), 0);
    EXPECT_EQ(notif, 0);
    EXPECT_EQ(presence, 0);
    in.notif_hide = 1;
    ASSERT_EQ(quorvane_loginprefs_save(prefs, &in), 0);
    EXPECT_EQ(quorvane_loginprefs_device_choices(pin, &notif, &presence), 0);
    EXPECT_EQ(notif, 1);
    EXPECT_EQ(presence, 0);

    EXPECT_EQ(quorvane_loginprefs_device_choices("/not/a/pin/path", &notif, &presence), -1);
    EXPECT_EQ(notif, 1);
    EXPECT_EQ(presence, 1);
    EXPECT_EQ(quorvane_loginprefs_device_choices(pin, nullptr, &presence), -1);
}

// -- cross-check with the independent script ----------------------------------------------

std::map<std::string, std::string> parse_lines(const std::string &text, std::vector<std::string> *recent_hex) {
    std::map<std::string, std::string> m;
    std::istringstream in(text);
    std::string name, value;
    while (in >> name >> value) {
        if (name == "recent")
            recent_hex->push_back(value);
        else
            m[name] = value;
    }
    return m;
}

std::string record_lines(const quorvane_loginprefs &p, int theme_byte, const std::string &salt_hex) {
    std::ostringstream o;
    o << "format 9\nremember_user " << p.remember_user << "\nremember_password " << p.remember_password << "\nserver "
      << hex_word(p.server) << "\nusername " << hex_word(p.username) << "\npassword " << hex_word(p.password)
      << "\nsalt " << salt_hex << "\nlink_previews " << p.link_previews << "\npresence_public " << p.presence_public
      << "\nnotif_hide " << p.notif_hide << "\n";
    for (int i = 0; i < p.recent_count; i++) o << "recent " << hex_word(p.recent[i]) << "\n";
    o << "theme " << theme_byte << "\nemoji_style " << p.emoji_style << "\nauto_signin " << p.auto_signin
      << "\nsigned_out " << p.signed_out << "\nquick_react " << hex_word(p.quick_react) << "\n";
    return o.str();
}

std::vector<quorvane_loginprefs> crosscheck_records() {
    std::vector<quorvane_loginprefs> v;
    v.push_back(sample());
    quorvane_loginprefs p = sample();
    set_text(p.username, sizeof p.username, std::string(32, 'z'));
    set_text(p.password, sizeof p.password, std::string(255, '\xff'));
    p.recent_count = 0;
    p.theme = 254;
    v.push_back(p);
    p = sample();
    set_text(p.username, sizeof p.username, "u");
    set_text(p.password, sizeof p.password, "x");
    p.link_previews = p.presence_public = p.notif_hide = 1;
    p.emoji_style = p.auto_signin = p.signed_out = 0;
    p.quick_react[0] = '\0';
    v.push_back(p);
    return v;
}

TEST(QuorvaneLoginprefsCrossCheck, ScriptReadsWhatSaveWrites) {
    qvtest::TempDir dir;
    std::string f = dir.file("loginprefs");
    for (const auto &want : crosscheck_records()) {
        SCOPED_TRACE(want.username);
        ASSERT_EQ(quorvane_loginprefs_save(f.c_str(), &want), 0);
        std::string out;
        ASSERT_EQ(qvtest::run_python("loginprefs_xcheck.py", {"read", f}, "", &out), 0);
        std::vector<std::string> rec;
        auto m = parse_lines(out, &rec);
        ASSERT_NE(out.substr(0, 4), "FAIL") << out;
        EXPECT_EQ(unhex_string(m["password"]), want.password);
        EXPECT_EQ(unhex_string(m["username"]), want.username);
        EXPECT_EQ(unhex_string(m["server"]), want.server);
        EXPECT_EQ(m["remember_password"], "1");
        EXPECT_EQ(m["link_previews"], std::to_string(want.link_previews));
        EXPECT_EQ(m["presence_public"], std::to_string(want.presence_public));
        EXPECT_EQ(m["notif_hide"], std::to_string(want.notif_hide));
        ASSERT_EQ(rec.size(), static_cast<size_t>(want.recent_count));
        for (size_t i = 0; i < rec.size(); i++) EXPECT_EQ(unhex_string(rec[i]), want.recent[i]);
        EXPECT_EQ(m["theme"], std::to_string(want.theme));
        EXPECT_EQ(m["emoji_style"], std::to_string(want.emoji_style));
        EXPECT_EQ(m["auto_signin"], std::to_string(want.auto_signin));
        EXPECT_EQ(m["signed_out"], std::to_string(want.signed_out));
        EXPECT_EQ(unhex_string(m["quick_react"]), want.quick_react);
    }
}

TEST(QuorvaneLoginprefsCrossCheck, SaveReadsWhatTheScriptWrites) {
    qvtest::TempDir dir;
    std::string f = dir.file("loginprefs");
    for (const auto &want : crosscheck_records()) {
        SCOPED_TRACE(want.username);
        std::string out;
        ASSERT_EQ(qvtest::run_python("loginprefs_xcheck.py", {"write", f}, record_lines(want, want.theme, "-"), &out), 0);
        quorvane_loginprefs got;
        ASSERT_EQ(quorvane_loginprefs_load(f.c_str(), &got), 0);
        expect_same(got, want);
    }
    // the script seals for "alice": a file claiming another user loses the password
    quorvane_loginprefs want = sample();
    std::string out;
    ASSERT_EQ(qvtest::run_python("loginprefs_xcheck.py", {"write", f}, record_lines(want, 3, "-"), &out), 0);
    bytes content = qvtest::read_file(f);
    content[content.find("alice") + 4] = 'x';
    quorvane_loginprefs got;
    ASSERT_EQ(load_bytes(content, &got), 0);
    EXPECT_STREQ(got.password, "");
    EXPECT_EQ(got.remember_password, 0);
    EXPECT_EQ(got.theme, 3);
}

// The script's reading of damaged and older files agrees with the loader's.
TEST(QuorvaneLoginprefsCrossCheck, LoaderAgreesWithScriptOnFixturesAndDamage) {
    std::vector<bytes> files;
    for (int fmt = 1; fmt <= 9; fmt++) files.push_back(qvtest::read_file(kFixtures + "format-" + std::to_string(fmt) + ".bin"));
    bytes nine = files.back();
    for (size_t cut = 1; cut < nine.size(); cut += 3) files.push_back(nine.substr(0, cut));
    qvtest::TempDir dir;
    std::string f = dir.file("loginprefs");
    for (size_t i = 0; i < files.size(); i++) {
        SCOPED_TRACE("file " + std::to_string(i) + " of " + std::to_string(files[i].size()) + " bytes");
        qvtest::write_file(f, files[i]);
        std::string out;
        ASSERT_EQ(qvtest::run_python("loginprefs_xcheck.py", {"read", f}, "", &out), 0);
        quorvane_loginprefs got;
        int rc = quorvane_loginprefs_load(f.c_str(), &got);
        if (out.substr(0, 4) == "FAIL") {
            EXPECT_EQ(rc, -1);
            continue;
        }
        ASSERT_EQ(rc, 0);
        std::vector<std::string> rec;
        auto m = parse_lines(out, &rec);
        EXPECT_EQ(unhex_string(m["server"]), got.server);
        EXPECT_EQ(unhex_string(m["username"]), got.username);
        EXPECT_EQ(unhex_string(m["password"]), got.password);
        EXPECT_EQ(m["remember_password"], std::to_string(got.remember_password));
        EXPECT_EQ(m["link_previews"], std::to_string(got.link_previews));
        EXPECT_EQ(m["presence_public"], std::to_string(got.presence_public));
        EXPECT_EQ(m["notif_hide"], std::to_string(got.notif_hide));
        EXPECT_EQ(rec.size(), static_cast<size_t>(got.recent_count));
        EXPECT_EQ(m["theme"], std::to_string(got.theme));
        EXPECT_EQ(m["emoji_style"], std::to_string(got.emoji_style));
        EXPECT_EQ(m["auto_signin"], std::to_string(got.auto_signin));
        EXPECT_EQ(m["signed_out"], std::to_string(got.signed_out));
        EXPECT_EQ(unhex_string(m["quick_react"]), got.quick_react);
    }
}

}  // namespace
