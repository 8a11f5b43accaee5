// Safety numbers: every text is compared with a second implementation
// (tests/scripts/safety_xcheck.py, hashlib), and each pair is computed from
// both sides and each group in several member orders, which must all agree.
#include "quorvane_safety.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "quorvane_crypto.h"
#include "qv_test_support.h"

namespace {

using qvtest::hex;
using qvtest::unhex_array;

struct Identity {
    std::array<uint8_t, 32> pub{};
    std::array<uint8_t, 16> id{};
};

Identity random_identity() {
    Identity x;
    EXPECT_EQ(quorvane_random(x.pub.data(), x.pub.size()), 0);
    EXPECT_EQ(quorvane_random(x.id.data(), x.id.size()), 0);
    return x;
}

Identity filled(uint8_t pub_byte, uint8_t id_byte) {
    Identity x;
    x.pub.fill(pub_byte);
    x.id.fill(id_byte);
    return x;
}

std::string word(const Identity &x) { return hex(x.pub.data(), 32) + ":" + hex(x.id.data(), 16); }

// One request per line to the script; the texts of the "OK" answers, or the
// whole answer line when it is not "OK".
std::vector<std::string> xcheck(const std::vector<std::string> &requests) {
    std::string in, out;
    for (const auto &r : requests) in += r + "\n";
    EXPECT_EQ(qvtest::run_python("safety_xcheck.py", {}, in, &out), 0) << out;
    std::vector<std::string> texts;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) texts.push_back(line.rfind("OK ", 0) == 0 ? line.substr(3) : line);
    EXPECT_EQ(texts.size(), requests.size()) << out;
    texts.resize(requests.size());
    return texts;
}

std::string pair_request(const Identity &a, const Identity &b) {
    return "pair " + hex(a.pub.data(), 32) + " " + hex(a.id.data(), 16) + " " + hex(b.pub.data(), 32) + " " +
           hex(b.id.data(), 16);
}

std::string group_request(const std::vector<Identity> &g) {
    std::string r = "group";
    for (const auto &x : g) r.append(" ").append(word(x));
    return r;
}

std::string pair_text(const Identity &a, const Identity &b) {
    char out[QV_SAFETY_TEXT_LEN];
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(quorvane_safety_number(a.pub.data(), a.id.data(), b.pub.data(), b.id.data(), out), 0);
    EXPECT_EQ(out[QV_SAFETY_TEXT_LEN - 1], '\0');
    return std::string(out, strnlen(out, sizeof out));
}

std::string group_text(const std::vector<Identity> &g) {
    std::vector<quorvane_safety_member> m(g.size());
    for (size_t i = 0; i < g.size(); i++) {
        m[i].identity_pub = g[i].pub.data();
        std::memcpy(m[i].user_id, g[i].id.data(), 16);
    }
    char out[QV_SAFETY_TEXT_LEN];
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(quorvane_group_safety_number(m.data(), m.size(), out), 0);
    EXPECT_EQ(out[QV_SAFETY_TEXT_LEN - 1], '\0');
    return std::string(out, strnlen(out, sizeof out));
}

std::vector<std::string> groups_of(const std::string &text) {
    std::vector<std::string> g;
    std::istringstream words(text);
    for (std::string w; words >> w;) g.push_back(w);
    return g;
}

// 71 characters: twelve groups of exactly five digits, one space between.
void expect_shape(const std::string &t) {
    ASSERT_EQ(t.size(), 71u) << t;
    EXPECT_EQ(std::count(t.begin(), t.end(), ' '), 11) << t;
    for (size_t i = 0; i < t.size(); i++) {
        if (i % 6 == 5)
            EXPECT_EQ(t[i], ' ') << t;
        else
            EXPECT_TRUE(t[i] >= '0' && t[i] <= '9') << t;
    }
}

// Found by search: a 5-byte chunk of this identity's fingerprint (pair) or of
// the hash over it alone (group) is 42 modulo 100000, so a group must read "00042".
const Identity kPair42 = {unhex_array<32>("7db4ea720f5662933a97fae195dfae29d31500c30559f22c3ef8c874bb6b8359"),
                          unhex_array<16>("d832dd0c08fc02d94c3cf15e9b93d7c4")};
const Identity kGroup42 = {unhex_array<32>("c68399680b638b081050bcaae4f590491487440c24da394f18e1639f94506252"),
                           unhex_array<16>("8f25771ee713201253d8d74eef003b5f")};

TEST(SafetyNumber, PairsMatchScriptFromBothSides) {
    Identity r1 = random_identity(), r2 = random_identity();
    Identity same_key_a = r1, same_key_b = r1;
    same_key_b.id[15] ^= 1;
    // the key decides before the user id: A's key is lower, its id higher
    Identity key_first_a = filled(0x10, 0xff), key_first_b = filled(0x10, 0x00);
    key_first_b.pub[31] = 0x11;
    // bytes compare unsigned: 0x80 sorts after 0x7f
    Identity high = filled(0x80, 0x00), low = filled(0x7f, 0xff);
    struct Case {
        const char *name;
        Identity a, b;
    };
    const Case cases[] = {
        {"random", r1, r2},
        {"same identity twice", r1, r1},
        {"same key, ids differ in the last byte", same_key_a, same_key_b},
        {"key decides before id", key_first_a, key_first_b},
        {"unsigned byte order", high, low},
        {"all zero against all 0xff", filled(0, 0), filled(0xff, 0xff)},
        {"a chunk of 42", filled(0, 0), kPair42},
    };
    std::vector<std::string> req;
    for (const auto &c : cases) req.push_back(pair_request(c.a, c.b));
    std::vector<std::string> want = xcheck(req);
    for (size_t i = 0; i < std::size(cases); i++) {
        const Case &c = cases[i];
        SCOPED_TRACE(c.name);
        std::string ab = pair_text(c.a, c.b), ba = pair_text(c.b, c.a);
        expect_shape(ab);
        EXPECT_EQ(ab, want[i]);
        EXPECT_EQ(ba, ab);
    }
    // a single changed bit of either input changes the number
    EXPECT_NE(pair_text(same_key_a, r2), pair_text(same_key_b, r2));
    std::vector<std::string> g42 = groups_of(pair_text(filled(0, 0), kPair42));
    EXPECT_NE(std::find(g42.begin() + 6, g42.end(), "00042"), g42.end()) << "the higher identity fills the last six";
}

TEST(SafetyNumber, GroupsMatchScriptInEveryOrder) {
    std::vector<Identity> big(QV_SAFETY_GROUP_MAX);
    for (auto &x : big) x = random_identity();
    Identity a = random_identity(), b = random_identity(), c = random_identity();
    struct Case {
        const char *name;
        std::vector<Identity> members;
    };
    const Case cases[] = {
        {"one member", {kGroup42}},
        {"two members", {a, b}},
        {"three members", {a, b, c}},
        {"a member listed twice", {a, b, a}},
        {"same key, two user ids", {filled(7, 1), filled(7, 2)}},
        {"64 members", big},
    };
    std::vector<std::string> req;
    for (const auto &k : cases) req.push_back(group_request(k.members));
    std::vector<std::string> want = xcheck(req);
    std::mt19937 rng(12345);
    for (size_t i = 0; i < std::size(cases); i++) {
        SCOPED_TRACE(cases[i].name);
        std::vector<Identity> m = cases[i].members;
        std::string t = group_text(m);
        expect_shape(t);
        EXPECT_EQ(t, want[i]);
        // small groups in every order, the big one in a few shuffles
        if (m.size() <= 4) {
            std::vector<size_t> order(m.size());
            for (size_t k = 0; k < order.size(); k++) order[k] = k;
            while (std::next_permutation(order.begin(), order.end())) {
                std::vector<Identity> p;
                for (size_t k : order) p.push_back(m[k]);
                EXPECT_EQ(group_text(p), t);
            }
        } else {
            for (int round = 0; round < 2; round++) {
                std::shuffle(m.begin(), m.end(), rng);
                EXPECT_EQ(group_text(m), t);
            }
        }
    }
    EXPECT_NE(group_text({a, b}), group_text({a, c}));
    std::vector<std::string> g42 = groups_of(group_text({kGroup42}));
    EXPECT_NE(std::find(g42.begin(), g42.end(), "00042"), g42.end());
}

// A group of one hashes the fingerprint once more; the pair number of an
// identity with itself shows that fingerprint's own first bytes twice.
TEST(SafetyNumber, GroupOfOneIsNotTheFingerprint) {
    Identity x = random_identity();
    std::string own = pair_text(x, x), one = group_text({x});
    EXPECT_EQ(own.substr(0, 35), own.substr(36, 35));
    EXPECT_NE(one.substr(0, 35), own.substr(0, 35));
    EXPECT_NE(one.substr(36, 35), own.substr(36, 35));
}

TEST(SafetyNumber, RefusesBadArguments) {
    Identity x = random_identity();
    const uint8_t *k = x.pub.data(), *id = x.id.data();
    char out[QV_SAFETY_TEXT_LEN];
    struct PairCase {
        const char *name;
        const uint8_t *a_pub, *a_id, *b_pub, *b_id;
        char *out;
    };
    const PairCase pairs[] = {
        {"A key", nullptr, id, k, id, out}, {"A id", k, nullptr, k, id, out}, {"B key", k, id, nullptr, id, out},
        {"B id", k, id, k, nullptr, out},   {"output", k, id, k, id, nullptr},
    };
    for (const auto &c : pairs) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(quorvane_safety_number(c.a_pub, c.a_id, c.b_pub, c.b_id, c.out), -3);
    }

    std::vector<quorvane_safety_member> m(QV_SAFETY_GROUP_MAX + 1);
    for (auto &e : m) {
        e.identity_pub = k;
        std::memcpy(e.user_id, id, 16);
    }
    EXPECT_EQ(quorvane_group_safety_number(nullptr, 1, out), -3);
    EXPECT_EQ(quorvane_group_safety_number(m.data(), 0, out), -3);
    EXPECT_EQ(quorvane_group_safety_number(m.data(), QV_SAFETY_GROUP_MAX + 1, out), -3);
    EXPECT_EQ(quorvane_group_safety_number(m.data(), 1, nullptr), -3);
    m[2].identity_pub = nullptr;
    EXPECT_EQ(quorvane_group_safety_number(m.data(), 3, out), -3);
    EXPECT_EQ(quorvane_group_safety_number(m.data(), 2, out), 0) << "members after the count are not read";
}

}  // namespace
