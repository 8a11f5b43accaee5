// Autofill entries composed and parsed (e-mail and server normalisation, the
// recovery prefix, the length limits at n and n + 1) and passphrases: the word
// list against an independent Python derivation, draws mapped to words through a
// scripted random source, uniformity by chi-square, and a wiped buffer when the
// random source fails.
#define OPENSSL_SUPPRESS_DEPRECATED  // RAND_METHOD: the one seam to script or break OpenSSL's generator
#include "client_autofill.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/rand.h>

#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "qv_test_support.h"

namespace {

// ---- compose ----------------------------------------------------------------------

struct ComposeCase {
    const char *name;
    const char *user, *server;
    int         rc;
    std::string want;
};

TEST(Autofill, Compose) {
    const std::string name32(32, 'a'), name33(33, 'a');
    const std::string mail254 = std::string(246, 'm').append("@x.y.org"), mail255 = std::string(247, 'm').append("@x.y.org");
    const std::string host314(314, 'h'), host315(315, 'h');
    const ComposeCase cases[] = {
        {"folded name, server lowered and given the port", " Alice ", "Alpha.LAN", 0, "alice@alpha.lan:7420"},
        {"server ending in a colon", "bob", "host:", 0, "bob@host:7420"},
        {"bracketed IPv6 without port", "bob", "[::1]", 0, "bob@[::1]:7420"},
        {"bracketed IPv6 with port", "bob", "[::1]:8000", 0, "bob@[::1]:8000"},
        {"bare IPv6 keeps its last colon as the port", "bob", "::1", 0, "bob@::1"},
        {"server with port", "bob", "HOST:99", 0, "bob@host:99"},
        {"server trimmed", "bob", " \thost \t", 0, "bob@host:7420"},
        {"blank server: user alone", "bob", " \t ", 0, "bob"},
        {"empty server: user alone", "bob", "", 0, "bob"},
        {"name with the allowed marks", "a.b_c-d", "", 0, "a.b_c-d"},
        {"name trimmed of line ends", "\r\nbob\n", "", 0, "bob"},
        {"name of 32 bytes", name32.c_str(), "", 0, name32},
        {"name of 33 bytes", name33.c_str(), "", -1, ""},
        {"name of 2 bytes", "bo", "h", -1, ""},
        {"name with a space inside", "bo b", "h", -1, ""},
        {"name with a non-ASCII letter", "b\xc3\xa9" "b", "h", -1, ""},
        {"e-mail lowered, then the server", "Bob@Mail.COM", "h", 0, "bob@mail.com@h:7420"},
        {"e-mail trimmed", " bob@x.y\t", "", 0, "bob@x.y"},
        {"e-mail with UTF-8", "b\xc3\xa9" "b@x.y", "", 0, "b\xc3\xa9" "b@x.y"},
        {"only dot right after the @", "bob@.com", "", 0, "bob@.com"},
        {"e-mail starting with @", "@mail.com", "h", -1, ""},
        {"e-mail without a dot after @", "bob@mailcom", "h", -1, ""},
        {"dot only before the @", "b.ob@mailcom", "h", -1, ""},
        {"nothing after @", "bob@", "h", -1, ""},
        {"two @", "a@b@c.d", "h", -1, ""},
        {"space inside an e-mail", "bo b@x.y", "h", -1, ""},
        {"DEL inside an e-mail", "bo\x7f" "b@x.y", "h", -1, ""},
        {"e-mail of 254 bytes", mail254.c_str(), "", 0, mail254},
        {"e-mail of 255 bytes", mail255.c_str(), "", -1, ""},
        {"server with a space inside", "bob", "ho st", -1, ""},
        {"server with @", "bob", "a@b", -1, ""},
        {"server with DEL", "bob", "host\x7f", -1, ""},
        {"server with a tab inside", "bob", "ho\tst", -1, ""},
        {"server filling the 320-byte buffer", "bob", host314.c_str(), 0, "bob@" + host314 + ":7420"},
        {"server one byte past it", "bob", host315.c_str(), -1, ""},
    };
    for (const ComposeCase &c : cases) {
        SCOPED_TRACE(c.name);
        char out[1024];
        std::memset(out, 'X', sizeof out);
        EXPECT_EQ(quorvane_af_compose(c.user, c.server, out, sizeof out), c.rc);
        EXPECT_EQ(std::string(out), c.want);
    }
}

TEST(Autofill, ComposeRoomAndMissingArguments) {
    char out[64];
    // "bob@h:7420" is 10 bytes: 11 fit, 10 do not (and leave the output empty).
    EXPECT_EQ(quorvane_af_compose("bob", "h", out, 11), 0);
    EXPECT_STREQ(out, "bob@h:7420");
    EXPECT_EQ(quorvane_af_compose("bob", "h", out, 10), -1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(quorvane_af_compose("bob", "", out, 4), 0);
    EXPECT_EQ(quorvane_af_compose("bob", "", out, 3), -1);
    std::strcpy(out, "keep");
    EXPECT_EQ(quorvane_af_compose("bob", "h", out, 0), -1);
    EXPECT_STREQ(out, "keep");
    EXPECT_EQ(quorvane_af_compose("bob", "h", nullptr, 10), -1);
    EXPECT_EQ(quorvane_af_compose(nullptr, "h", out, sizeof out), -1);
    EXPECT_STREQ(out, "");
    std::strcpy(out, "keep");
    EXPECT_EQ(quorvane_af_compose("bob", nullptr, out, sizeof out), -1);
    EXPECT_STREQ(out, "");
}

TEST(Autofill, ComposeRecovery) {
    const std::string want = std::string("recovery \xc2\xb7 ") + "bob@h:7420";
    ASSERT_EQ(want.size(), 22u);
    char out[64];
    EXPECT_EQ(quorvane_af_compose_recovery("Bob", "H", out, 23), 0);
    EXPECT_EQ(std::string(out), want);
    for (size_t cap : {22, 13, 12, 1}) {
        SCOPED_TRACE(cap);
        std::memset(out, 'X', sizeof out);
        EXPECT_EQ(quorvane_af_compose_recovery("bob", "h", out, cap), -1);
        EXPECT_EQ(out[0], '\0');
    }
    EXPECT_EQ(quorvane_af_compose_recovery("bob", "h", nullptr, 64), -1);
    EXPECT_EQ(quorvane_af_compose_recovery("bo", "h", out, sizeof out), -1);
    EXPECT_STREQ(out, "");
    // What compose_recovery writes, parse reads back as a recovery entry.
    ASSERT_EQ(quorvane_af_compose_recovery("bob@x.org", "[::1]", out, sizeof out), 0);
    char u[64], s[64];
    EXPECT_EQ(quorvane_af_parse(out, u, sizeof u, s, sizeof s), QV_AF_RECOVERY);
    EXPECT_STREQ(u, "bob@x.org");
    EXPECT_STREQ(s, "[::1]:7420");
}

// ---- parse -------------------------------------------------------------------------

TEST(Autofill, Parse) {
    const std::string host315(315, 'h'), host316(316, 'h');
    const std::string e319 = "bob@" + host315, e320 = "bob@" + host316;
    ASSERT_EQ(e319.size(), 319u);
    struct Case {
        const char *name;
        std::string entry;
        int         kind;
        std::string user, server;
    };
    const Case cases[] = {
        {"e-mail then host", "Bob@Mail.com@Host", 1, "bob@mail.com", "host:7420"},
        {"bare e-mail: name and server", "bob@mail.com", 1, "bob", "mail.com:7420"},
        {"recovery entry", "recovery \xc2\xb7 alice@h:99", 2, "alice", "h:99"},
        {"recovery e-mail entry", "recovery \xc2\xb7 a@b.c@h", 2, "a@b.c", "h:7420"},
        {"name alone", " Alice ", 1, "alice", ""},
        {"server trimmed", "alice@ host ", 1, "alice", "host:7420"},
        {"IPv6 server", "alice@[::1]", 1, "alice", "[::1]:7420"},
        {"empty server", "alice@", 0, "", ""},
        {"blank server", "alice@  ", 0, "", ""},
        {"empty user", "@host", 0, "", ""},
        {"short user", "al@host", 0, "", ""},
        {"space inside the server", "alice@ho st", 0, "", ""},
        {"space inside the name", "a b@host", 0, "", ""},
        {"e-mail user starting with @", "@mail.com@host", 0, "", ""},
        {"e-mail user without a dot", "bob@mailcom@host", 0, "", ""},
        {"e-mail user with the dot right after @", "bob@.com@host", 1, "bob@.com", "host:7420"},
        {"three @: the user holds two", "x@y@z.w@host", 0, "", ""},
        {"prefix alone", "recovery \xc2\xb7 ", 0, "", ""},
        {"prefix without its dot", "recovery  alice", 0, "", ""},
        {"prefix not at the start", "x recovery \xc2\xb7 alice", 0, "", ""},
        {"entry of 319 bytes", e319, 1, "bob", host315 + ":7420"},
        {"entry of 320 bytes", e320, 0, "", ""},
        {"empty entry", "", 0, "", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        char u[1024], s[1024];
        std::memset(u, 'X', sizeof u);
        std::memset(s, 'X', sizeof s);
        EXPECT_EQ(quorvane_af_parse(c.entry.c_str(), u, sizeof u, s, sizeof s), c.kind);
        EXPECT_EQ(std::string(u), c.user);
        EXPECT_EQ(std::string(s), c.server);
    }
}

TEST(Autofill, ParseOutputsAndRoom) {
    char u[64], s[64];
    // "alice" needs 6 bytes, "h:7420" 7.
    EXPECT_EQ(quorvane_af_parse("alice@h", u, 6, s, 7), 1);
    EXPECT_EQ(quorvane_af_parse("alice@h", u, 5, s, 7), 0);
    EXPECT_STREQ(u, "");
    EXPECT_STREQ(s, "");
    EXPECT_EQ(quorvane_af_parse("alice@h", u, 6, s, 6), 0);
    EXPECT_STREQ(u, "");  // a server failure empties both
    EXPECT_STREQ(s, "");
    EXPECT_EQ(quorvane_af_parse("alice@h", nullptr, 6, s, 7), 0);
    EXPECT_EQ(quorvane_af_parse("alice@h", u, 6, nullptr, 7), 0);
    std::strcpy(u, "keep");
    EXPECT_EQ(quorvane_af_parse("alice@h", u, 0, s, 7), 0);
    EXPECT_STREQ(u, "keep");
    EXPECT_EQ(quorvane_af_parse(nullptr, u, sizeof u, s, sizeof s), 0);
    EXPECT_STREQ(u, "");
}

// ---- passphrase words ----------------------------------------------------------------

struct WordLists {
    std::vector<std::string> all, allowed, blocked;
    double                   chisq_low = 0, chisq_high = 0;
};

// One run of the independent script: every word, the allowed ones, the blocked
// ones and the chi-square bounds for 4795 degrees of freedom at 0.05% per tail.
const WordLists &lists() {
    static const WordLists l = [] {
        WordLists w;
        const auto ans = qvtest::xcheck_words("passphrase_xcheck.py", {"all", "allowed", "blocked", "chisq 4795 0.0005"});
        auto tail = [](const std::vector<std::string> &v) {
            EXPECT_FALSE(v.empty());
            EXPECT_EQ(v.empty() ? "" : v[0], "OK");
            return v.empty() ? v : std::vector<std::string>(v.begin() + 1, v.end());
        };
        w.all = tail(ans[0]);
        w.allowed = tail(ans[1]);
        w.blocked = tail(ans[2]);
        const auto b = tail(ans[3]);
        if (b.size() == 2) w.chisq_low = std::stod(b[0]), w.chisq_high = std::stod(b[1]);
        return w;
    }();
    return l;
}

TEST(Passphrase, WordListEqualsIndependentDerivation) {
    const WordLists &l = lists();
    ASSERT_EQ(l.all.size(), 4830u);
    ASSERT_EQ(l.allowed.size(), 4796u);
    ASSERT_EQ(l.blocked.size(), 34u);
    EXPECT_EQ(l.all[0], "babe");
    EXPECT_EQ(l.all[1], "babi");
    EXPECT_EQ(l.all[69], "beba");
    EXPECT_EQ(l.all[4829], "zuzo");
    EXPECT_EQ(quorvane_passphrase_count(), 4796u);
    for (size_t k = 0; k < l.allowed.size(); k++) {
        char w[5] = "XXXX";
        ASSERT_EQ(quorvane_passphrase_word(k, w), 0) << k;
        ASSERT_EQ(std::string(w), l.allowed[k]) << k;
    }
    char w[5] = "keep";
    EXPECT_EQ(quorvane_passphrase_word(4796, w), -1);
    EXPECT_EQ(quorvane_passphrase_word(SIZE_MAX, w), -1);
    EXPECT_STREQ(w, "keep");
    EXPECT_EQ(quorvane_passphrase_word(0, nullptr), -1);
    // blocked() over every word agrees with the script's list.
    const std::set<std::string> blocked(l.blocked.begin(), l.blocked.end());
    for (const std::string &word : l.all) EXPECT_EQ(quorvane_passphrase_blocked(word.c_str()), int(blocked.count(word))) << word;
}

TEST(Passphrase, BlockedLooksAtFourBytes) {
    EXPECT_EQ(quorvane_passphrase_blocked("bite"), 1);
    EXPECT_EQ(quorvane_passphrase_blocked("zobi"), 1);
    EXPECT_EQ(quorvane_passphrase_blocked("bitexyz"), 1);
    EXPECT_EQ(quorvane_passphrase_blocked("nazi-babe"), 1);
    EXPECT_EQ(quorvane_passphrase_blocked("bit"), 0);
    EXPECT_EQ(quorvane_passphrase_blocked("BITE"), 0);
    EXPECT_EQ(quorvane_passphrase_blocked("babe"), 0);
    EXPECT_EQ(quorvane_passphrase_blocked(""), 0);
    EXPECT_EQ(quorvane_passphrase_blocked(nullptr), 0);
}

// ---- generation through a scripted or failing random source ----------------------

std::deque<uint8_t> g_script;  // bytes the scripted generator hands out; empty: it fails

int scripted_bytes(unsigned char *buf, int num) {
    for (int i = 0; i < num; i++) {
        if (g_script.empty()) return 0;
        buf[i] = g_script.front();
        g_script.pop_front();
    }
    return 1;
}
int scripted_status() { return 1; }

const RAND_METHOD kScripted = {nullptr, scripted_bytes, nullptr, nullptr, scripted_bytes, scripted_status};

// Installs the scripted generator for its lifetime.
struct ScriptedRandom {
    const RAND_METHOD *old;
    explicit ScriptedRandom(const std::vector<uint32_t> &draws) : old(RAND_get_rand_method()) {
        g_script.clear();
        for (uint32_t d : draws)
            for (int s = 24; s >= 0; s -= 8) g_script.push_back(uint8_t(d >> s));
        EXPECT_EQ(RAND_set_rand_method(&kScripted), 1);
    }
    ~ScriptedRandom() {
        RAND_set_rand_method(old);
        g_script.clear();
    }
};

TEST(Passphrase, DrawsMapToWordsAndTheTopIsRedrawn) {
    const WordLists &l = lists();
    ASSERT_EQ(l.allowed.size(), 4796u);
    // 4294966676 = 4796 * 895531 is the first value redrawn.
    const std::vector<uint32_t> draws = {0xffffffffu, 4294966676u, 4294966675u, 0, 4796, 69, 4795, 4797, 1234567};
    const size_t picks[] = {4795, 0, 0, 69, 4795, 1, 1234567 % 4796};
    std::string want;
    for (size_t p : picks) want += (want.empty() ? "" : "-") + l.allowed[p];
    char out[64];
    {
        ScriptedRandom r(draws);
        ASSERT_EQ(quorvane_passphrase_generate(7, out, sizeof out), 0);
        EXPECT_TRUE(g_script.empty());  // exactly the nine draws were used
    }
    EXPECT_EQ(std::string(out), want);
    EXPECT_EQ(want.size(), 34u);
}

TEST(Passphrase, FailedDrawWipesTheWholeBuffer) {
    // The source runs dry at the first word, in the middle, and at a redraw.
    const std::vector<std::vector<uint32_t>> scripts = {{}, {1, 2, 3, 4}, {1, 2, 0xffffffffu}};
    for (const auto &s : scripts) {
        SCOPED_TRACE(s.size());
        std::vector<char> out(64, 'X');
        {
            ScriptedRandom r(s);
            EXPECT_EQ(quorvane_passphrase_generate(7, out.data(), out.size()), -1);
        }
        ERR_clear_error();
        EXPECT_TRUE(qvtest::all_zero(out.data(), out.size()));
    }
}

TEST(Passphrase, GenerateShapeAndRefusals) {
    const WordLists &l = lists();
    const std::set<std::string> allowed(l.allowed.begin(), l.allowed.end());
    char out[35];
    ASSERT_EQ(quorvane_passphrase_generate(QV_PASSPHRASE_SUGGEST, out, sizeof out), 0);
    ASSERT_EQ(std::strlen(out), 34u);
    for (size_t i = 0; i < 7; i++) {
        EXPECT_TRUE(allowed.count(std::string(out + 5 * i, 4))) << out;
        if (i < 6) {
            EXPECT_EQ(out[5 * i + 4], '-');
        }
    }
    std::memset(out, 'X', sizeof out);
    EXPECT_EQ(quorvane_passphrase_generate(7, out, 34), -1);
    EXPECT_EQ(out[0], 'X');  // refused before anything was drawn
    EXPECT_EQ(quorvane_passphrase_generate(0, out, sizeof out), -1);
    EXPECT_EQ(quorvane_passphrase_generate(1, nullptr, 5), -1);
    EXPECT_EQ(quorvane_passphrase_generate(SIZE_MAX / 5 + 1, out, 10), -1);  // 5n would wrap
    ASSERT_EQ(quorvane_passphrase_generate(1, out, 5), 0);
    EXPECT_EQ(std::strlen(out), 4u);
}

// 10^6 words from the real generator: chi-square within the script's bounds
// (0.05% per tail, 0.1% in all), every allowed word seen, no blocked word.
// Under the sanitizers 2 * 10^5 words, a fifth of the CPU: the bounds depend
// only on the number of words in the list, and about 42 draws per word still
// see every word and keep the statistic's approximation sound.
TEST(Passphrase, MillionDrawsAreUniform) {
    const WordLists &l = lists();
    ASSERT_EQ(l.allowed.size(), 4796u);
    ASSERT_GT(l.chisq_high, l.chisq_low);
    std::unordered_map<std::string, size_t> index;
    for (size_t i = 0; i < l.allowed.size(); i++) index[l.allowed[i]] = i;
    constexpr size_t N = qvtest::kSanitized ? 200000 : 1000000;
    std::vector<char> out(5 * N);
    ASSERT_EQ(quorvane_passphrase_generate(N, out.data(), out.size()), 0);
    ASSERT_EQ(std::strlen(out.data()), 5 * N - 1);
    std::vector<size_t> counts(l.allowed.size());
    size_t unknown = 0;
    for (size_t i = 0; i < N; i++) {
        auto it = index.find(std::string(out.data() + 5 * i, 4));
        if (it == index.end())
            unknown++;
        else
            counts[it->second]++;
    }
    EXPECT_EQ(unknown, 0u);  // blocked and malformed words alike
    const double expected = double(N) / counts.size();
    double chisq = 0;
    size_t never = 0;
    for (size_t c : counts) {
        chisq += (c - expected) * (c - expected) / expected;
        never += c == 0;
    }
    EXPECT_EQ(never, 0u);
    EXPECT_GT(chisq, l.chisq_low);
    EXPECT_LT(chisq, l.chisq_high);
    RecordProperty("chisq", std::to_string(chisq));
}

}  // namespace
