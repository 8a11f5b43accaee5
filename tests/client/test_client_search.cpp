// Local search against a brute-force oracle over 20,000 generated messages
// (live and archived, texts and files, conversation names) and against
// `grep -F -i -c` over the same plaintext; the edge cases of matching,
// ranking and snippets; and the deep search state machine as a table of
// call sequences with their limits at n and n + 1.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>

#include "client_search.h"
#include "msgstore_test_util.h"
#include "qv_test_support.h"
#include "quorvane_msg.h"

using namespace mstest;

namespace {

bytes conv_id(int i) {
    bytes b = filled(16, 0xc0);
    b[15] = char(i);
    return b;
}

bytes file_body(const std::string &name, const std::string &mime) {
    quorvane_file_meta m{};
    snprintf(m.name, sizeof m.name, "%s", name.c_str());
    snprintf(m.mime, sizeof m.mime, "%s", mime.c_str());
    uint8_t out[1024];
    size_t n = quorvane_msg_file_encode(&m, out, sizeof out);
    EXPECT_GT(n, 0u);
    return bytes(reinterpret_cast<char *>(out), n);
}

// The matching rule written out plainly: ASCII letters fold, nothing else.
bool oracle_contains(const std::string &text, const std::string &q) {
    auto fold = [](std::string s) {
        for (char &c : s)
            if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        return s;
    };
    return !q.empty() && fold(text).find(fold(q)) != std::string::npos;
}

struct gen_msg {
    bytes conv;
    uint64_t id, time;
    bool file;
    std::string text, name, mime;
};

struct gen_conv {
    bytes id;
    std::string label, group;
    std::vector<std::string> member_names;
    uint64_t last_time = 0;
};

struct hit_key {
    int kind;
    bytes conv;
    uint64_t msg_id, time;
    bool operator==(const hit_key &o) const {
        return kind == o.kind && conv == o.conv && msg_id == o.msg_id && time == o.time;
    }
};

std::ostream &operator<<(std::ostream &o, const hit_key &h) {
    return o << "{" << h.kind << " " << qvtest::hex(h.conv) << " " << h.msg_id << " " << h.time << "}";
}

class SearchCorpus : public ::testing::Test {
  protected:
    static constexpr int kConvs = 10, kPerConv = 2000;
    static constexpr uint64_t kCap = 500;
    static inline qvtest::TempDir *tmp;
    static inline std::vector<gen_msg> msgs;
    static inline std::vector<gen_conv> convs;
    static inline std::string plain_path;

    static void SetUpTestSuite() {
        tmp = new qvtest::TempDir;
        std::mt19937 rng(99);
        const std::vector<std::string> vocab = {"alpha", "Beta", "GAMMA", "d\xc3\xa9lta", "D\xc3\x89LTA", "zeta",
                                                "caf\xc3\xa9", "x", "Report", "meeting", "TODO", "tab\there"};
        auto pick = [&](size_t n) { return vocab[rng() % n]; };
        auto ms = open_store(tmp->file("ms"));
        (void)quorvane_msgstore_set_msg_cap(ms.get(), kCap);
        std::string plain;
        uint64_t time = 1000000;
        for (int c = 0; c < kConvs; c++) {
            gen_conv g{conv_id(c), "Chat " + pick(vocab.size()), c % 3 ? "" : "Team " + pick(6), {}};
            ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(g.id), u8(filled(32, c + 1))), 0);
            ASSERT_EQ(quorvane_msgstore_set_label(ms.get(), u8(g.id), g.label.c_str()), 0);
            if (!g.group.empty()) {
                ASSERT_EQ(quorvane_msgstore_set_group_name(ms.get(), u8(g.id), g.group.c_str()), 0);
            }
            uint8_t users[3][16] = {}, keys[3][32] = {}, roles[3] = {};
            for (int u = 0; u < 3; u++) users[u][0] = uint8_t(0x50 + u), users[u][1] = uint8_t(c);
            ASSERT_EQ(quorvane_msgstore_set_members(ms.get(), u8(g.id), users, keys, keys, roles, 3), 0);
            for (int u = 0; u < 3; u++) {
                std::string name = u == 2 ? "" : pick(vocab.size()) + " " + std::to_string(u);
                g.member_names.push_back(name);
                ASSERT_EQ(quorvane_msgstore_set_member_name(ms.get(), u8(g.id), users[u], name.c_str()), 0);
            }
            for (int i = 0; i < kPerConv; i++) {
                if (i % 200 == 0) quorvane_msgstore_batch_begin(ms.get());
                gen_msg m{g.id, uint64_t(i + 1), time += 7, rng() % 10 == 0, "", "", ""};
                msg_in in{kAlice, m.id, m.time, uint64_t(i + 1), QV_MS_TYPE_TEXT, ""};
                if (m.file) {
                    m.name = rng() % 4 ? pick(vocab.size()) + ".pdf" : "";
                    m.mime = rng() % 2 ? "application/pdf" : "image/png";
                    in.type = QV_MS_TYPE_FILE;
                    in.text = file_body(m.name, m.mime);
                } else {
                    int words = 1 + int(rng() % 6);
                    for (int w = 0; w < words; w++) m.text += (w ? " " : "") + pick(vocab.size());
                    in.text = m.text;
                    plain += m.text + "\n";
                }
                ASSERT_EQ(add(ms.get(), g.id, in), 1);
                if (i % 200 == 199) {
                    ASSERT_EQ(quorvane_msgstore_batch_end(ms.get()), 0);
                }
                msgs.push_back(m);
                g.last_time = m.time;
            }
            convs.push_back(g);
        }
        plain_path = tmp->file("plain.txt");
        qvtest::write_file(plain_path, plain);
    }
    static void TearDownTestSuite() {
        delete tmp;
        msgs.clear();
        convs.clear();
    }

    std::vector<hit_key> oracle(const std::string &q, int flags) {
        std::vector<hit_key> out;
        for (const auto &g : convs) {
            if (!(flags & QV_SEARCH_CONVS)) continue;
            bool hit = oracle_contains(g.label, q) || oracle_contains(g.group, q);
            for (const auto &n : g.member_names) hit = hit || oracle_contains(n, q);
            if (hit) out.push_back({QV_SEARCH_KIND_CONV, g.id, 0, g.last_time});
        }
        for (const auto &m : msgs) {
            if (!m.file && (flags & QV_SEARCH_TEXTS) && oracle_contains(m.text, q))
                out.push_back({QV_SEARCH_KIND_TEXT, m.conv, m.id, m.time});
            if (m.file && (flags & QV_SEARCH_FILES) && (oracle_contains(m.name, q) || oracle_contains(m.mime, q)))
                out.push_back({QV_SEARCH_KIND_FILE, m.conv, m.id, m.time});
        }
        // newest first; a conversation's hit was offered before its last message of the same time
        std::stable_sort(out.begin(), out.end(), [](const hit_key &a, const hit_key &b) {
            if (a.time != b.time) return a.time > b.time;
            return a.kind == QV_SEARCH_KIND_CONV && b.kind != QV_SEARCH_KIND_CONV;
        });
        return out;
    }
};

TEST_F(SearchCorpus, EqualsTheOracleAndGrepCounts) {
    auto ms = open_store(tmp->file("ms"));
    ASSERT_TRUE(ms);
    (void)quorvane_msgstore_set_msg_cap(ms.get(), kCap);
    size_t archived_total = 0;
    for (const auto &g : convs) archived_total += archived(ms.get(), g.id).size();
    ASSERT_GT(archived_total, size_t(kConvs) * 1000) << "the corpus must reach the archives";
    std::vector<quorvane_search_hit> hits(msgs.size() + convs.size());
    for (const std::string q : {"alpha", "ALPHA", "ta", "\xc3\xa9", "D\xc3\x89L", "d\xc3\xa9l", "caf\xc3\xa9", "a b",
                                "pdf", "IMAGE/", "team", "zz", "t\th", "1"}) {
        for (int flags : {1, 2, 4, 7}) {
            SCOPED_TRACE(q + " flags " + std::to_string(flags));
            size_t n = quorvane_search(ms.get(), q.c_str(), flags, hits.data(), hits.size());
            std::vector<hit_key> got;
            for (size_t i = 0; i < n; i++)
                got.push_back({hits[i].kind, bytes(reinterpret_cast<char *>(hits[i].conv_id), 16), hits[i].msg_id,
                               hits[i].time});
            EXPECT_EQ(got, oracle(q, flags));
            for (size_t i = 0; i < n; i++) {
                const char *s = hits[i].snippet;
                size_t len = strlen(s);
                ASSERT_LE(len, QV_SEARCH_SNIPPET_MAX);
                for (size_t k = 0; k < len; k++) ASSERT_GE(static_cast<unsigned char>(s[k]), 0x20) << "control byte";
            }
            if (flags == 1) {
                std::string out;
                int rc = qvtest::run_command("LC_ALL=C grep -F -i -c -- '" + q + "' " + plain_path, &out);
                ASSERT_TRUE(rc == 0 || rc == 1) << rc;  // 1: no line matched
                EXPECT_EQ(std::stoul(out), n) << "grep -F -i -c";
            }
        }
    }
}

// Files for the edge cases: a store with a few messages of given times.
class Search : public ::testing::Test {
  protected:
    qvtest::TempDir tmp;
    store_ptr ms = open_store(tmp.file("ms"));
    const bytes c = conv_id(1);
    void SetUp() override { ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(filled(32, 1))), 0); }
    void text(uint64_t id, uint64_t time, const std::string &t) {
        ASSERT_EQ(add(ms.get(), c, {kAlice, id, time, id, QV_MS_TYPE_TEXT, t}), 1);
    }
    void file(uint64_t id, uint64_t time, const std::string &name, const std::string &mime) {
        ASSERT_EQ(add(ms.get(), c, {kAlice, id, time, id, QV_MS_TYPE_FILE, file_body(name, mime)}), 1);
    }
    std::vector<uint64_t> times(const char *q, int flags, size_t cap) {
        std::vector<quorvane_search_hit> h(cap + 1);
        size_t n = quorvane_search(ms.get(), q, flags, h.data(), cap);
        std::vector<uint64_t> out;
        for (size_t i = 0; i < n; i++) out.push_back(h[i].time);
        return out;
    }
};

TEST_F(Search, MatchingRankingAndKinds) {
    text(1, 10, "hello world");
    text(2, 30, "say HELLO");
    text(3, 20, "hello again");
    text(4, 40, "\xc3\x89t\xc3\xa9");
    file(5, 50, "", "text/hello");
    EXPECT_EQ(times("HELLO", 1, 10), (std::vector<uint64_t>{30, 20, 10})) << "upper-case query, lower-case body";
    EXPECT_EQ(times("hello", 1, 2), (std::vector<uint64_t>{30, 20})) << "capacity 2 keeps the newest";
    EXPECT_EQ(times("\xc3\xa9t\xc3\xa9", 1, 10), std::vector<uint64_t>{}) << "non-ASCII folds nothing";
    EXPECT_EQ(times("\xc3\x89t\xc3\xa9", 1, 10), std::vector<uint64_t>{40});
    EXPECT_EQ(times("hello", 2, 10), std::vector<uint64_t>{50}) << "files only";
    EXPECT_EQ(times("hello", 3, 10), (std::vector<uint64_t>{50, 30, 20, 10}));
    EXPECT_EQ(times("hello", 4, 10), std::vector<uint64_t>{}) << "flags 4 never looks at messages";
    EXPECT_EQ(times("", 7, 10), std::vector<uint64_t>{});
    quorvane_search_hit h[2];
    ASSERT_EQ(quorvane_search(ms.get(), "HELLO", 2, h, 2), 1u);
    EXPECT_STREQ(h[0].snippet, "text/hello") << "an empty name gives the MIME type";
    EXPECT_EQ(h[0].kind, QV_SEARCH_KIND_FILE);
    EXPECT_EQ(quorvane_search(nullptr, "a", 7, h, 2), 0u);
    EXPECT_EQ(quorvane_search(ms.get(), "a", 7, h, 0), 0u);

    // a conversation without messages matching by label: kind 2, time 0, last
    const bytes quiet = conv_id(2);
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(quiet), u8(filled(32, 2))), 0);
    ASSERT_EQ(quorvane_msgstore_set_label(ms.get(), u8(quiet), "hello club"), 0);
    quorvane_search_hit all[8];
    size_t n = quorvane_search(ms.get(), "hello", 5, all, 8);
    ASSERT_EQ(n, 4u);
    EXPECT_EQ(all[3].kind, QV_SEARCH_KIND_CONV);
    EXPECT_EQ(all[3].time, 0u);
    EXPECT_STREQ(all[3].snippet, "hello club");
    EXPECT_EQ(all[3].msg_id, 0u);
}

TEST_F(Search, SnippetsNeverSplitACharacter) {
    // a 200-byte name with a three-byte character at bytes 119 to 121
    std::string name = std::string(119, 'n') + "\xe2\x82\xac" + std::string(78, 'n');
    ASSERT_EQ(name.size(), 200u);
    file(1, 10, name, "application/pdf");
    quorvane_search_hit h;
    ASSERT_EQ(quorvane_search(ms.get(), "nnn", 2, &h, 1), 1u);
    EXPECT_EQ(strlen(h.snippet), 119u);
    struct Case {
        std::string src;
        size_t want;
    } cases[] = {
        {std::string(120, 'a'), 120},
        {std::string(121, 'a'), 120},
        {std::string(118, 'a') + "\xc3\xa9" + "b", 120},         // a whole character ends at 120
        {std::string(119, 'a') + "\xc3\xa9", 119},               // it would end at 121
        {std::string(117, 'a') + "\xf0\x9f\x98\x80" + "b", 117},  // four bytes across the cut
        {"a\nb\x01", 4},
    };
    for (const auto &k : cases) {
        char out[QV_SEARCH_SNIPPET_MAX + 1];
        EXPECT_EQ(quorvane_search_snippet(out, k.src.data(), k.src.size()), k.want) << k.src;
        EXPECT_EQ(strlen(out), k.want);
    }
    char out[QV_SEARCH_SNIPPET_MAX + 1];
    (void)quorvane_search_snippet(out, "a\nb\x01", 4);
    EXPECT_STREQ(out, "a b ");
}

/* ---- deep search ---------------------------------------------------------- */

// One call per word group, separated by ';':
//   begin LIMIT DEADLINE [QUERYLEN]  add ID CURSOR FLOOR =RC   next NOW =RC [ID CURSOR]
//   done OLDEST GOT   fail =RC   tick NOW =RC   offer TIME   cancel   offline
//   reason R   limit L   pages P   querylen N   results CAP TIME...
struct DeepCase {
    const char *what, *steps;
};
const DeepCase kDeep[] = {
    {"limit 0 gives 200", "begin 0 0; limit 200"},
    {"limit 500 gives 200", "begin 500 0; limit 200"},
    {"limit 200 kept", "begin 200 0; limit 200"},
    {"limit 201 gives 200", "begin 201 0; limit 200"},
    {"limit 7 kept", "begin 7 0; limit 7"},
    {"query cut at 120", "begin 0 0 130; querylen 120"},
    {"query of 120 kept", "begin 0 0 120; querylen 120"},
    {"floor just below the cursor: done at once", "begin 0 0; add 1 100 99 =0; next 5 =0; reason 1"},
    {"floor two below: paged", "begin 0 0; add 1 100 98 =0; next 5 =1 1 100"},
    {"floor unknown: paged", "begin 0 0; add 1 100 0 =0; next 5 =1 1 100"},
    {"from the newest with a known floor: paged", "begin 0 0; add 1 0 50 =0; next 5 =1 1 0"},
    {"paging moves the cursor and stops at the floor",
     "begin 0 0; add 1 0 10 =0; add 2 500 0 =0; next 5 =1 1 0; done 300 1; next 5 =1 1 300; done 11 1;"
     " next 5 =1 2 500; done 0 0; next 5 =0; reason 1; pages 3"},
    {"no progress finishes", "begin 0 0; add 1 100 0 =0; next 5 =1 1 100; done 150 1; next 5 =0; reason 1"},
    {"empty page finishes", "begin 0 0; add 1 100 0 =0; next 5 =1 1 100; done 0 0; next 5 =0; reason 1"},
    {"three failures give up: reason 6",
     "begin 0 0; add 1 100 0 =0; next 5 =1; fail =0; next 5 =1; fail =0; next 5 =1; fail =1; next 5 =0; reason 6"},
    {"a success between resets the count",
     "begin 0 0; add 1 100 0 =0; next 5 =1; fail =0; next 5 =1; fail =0; next 5 =1; done 90 1; next 5 =1; fail =0;"
     " next 5 =1; fail =0; next 5 =1 1 90"},
    {"40 pages finish a conversation", "begin 0 0; add 1 1000 0 =0; page40; next 5 =0; reason 1; pages 40"},
    {"page limit reached: reason 2",
     "begin 2 0; add 1 1000 0 =0; next 5 =1; done 900 1; next 5 =1; done 800 1; next 5 =0; reason 2"},
    {"deadline 0 never stops", "begin 0 0; add 1 100 0 =0; tick 99999999999 =1; next 99999999999 =1"},
    {"deadline equal to now stops at the next call", "begin 0 1000; add 1 100 0 =0; next 1000 =0; reason 3"},
    {"tick past the deadline stops", "begin 0 1000; tick 999 =1; tick 1000 =0; reason 3"},
    {"64 conversations held, the 65th refused", "begin 0 0; add64; add 65 100 0 =1"},
    {"cancel, and nothing after it changes the reason",
     "begin 0 0; add 1 100 0 =0; next 5 =1; cancel; offline; done 50 1; fail =0; next 5 =0; reason 4"},
    {"offline", "begin 0 0; offline; cancel; reason 5"},
    {"results: the newest of 64 held, sorted", "begin 0 0; offer64; results 10 64 63 62 61 60 59 58 57 56 55"},
    {"a 65th hit replaces the oldest", "begin 0 0; offer64; offer 100; results 2 100 64"},
    {"an older 65th hit is dropped", "begin 0 0; offer64; offer 0; results 65 64 63 62 61 60 59 58 57 56 55 54 53 52 51"
     " 50 49 48 47 46 45 44 43 42 41 40 39 38 37 36 35 34 33 32 31 30 29 28 27 26 25 24 23 22 21 20 19 18 17 16 15 14"
     " 13 12 11 10 9 8 7 6 5 4 3 2 1"},
};

void run_deep(const DeepCase &k) {
    SCOPED_TRACE(k.what);
    auto d = std::make_unique<quorvane_deep>();
    memset(d.get(), 0xa5, sizeof *d);  // begin must clear whatever was there
    std::istringstream steps(k.steps);
    auto offer = [&](uint64_t time) {
        auto r = std::make_unique<quorvane_ms_msgrec>();
        memset(r.get(), 0, sizeof *r);
        r->type = QV_MS_TYPE_TEXT;
        r->time = time;
        r->msg_id = time;
        strcpy(r->text, "find me");
        r->text_len = 7;
        quorvane_deep_offer(d.get(), r.get());
    };
    for (std::string step; std::getline(steps, step, ';');) {
        std::istringstream w(step);
        std::string op;
        w >> op;
        SCOPED_TRACE(step);
        auto want_rc = [&]() {
            std::string s;
            w >> s;
            return std::stoi(s.substr(1));
        };
        uint8_t id[16] = {};
        if (op == "begin") {
            uint32_t limit;
            uint64_t deadline;
            size_t qlen = 4;
            w >> limit >> deadline;
            if (!(w >> qlen)) qlen = 4;
            std::string q = qlen == 4 ? "find" : std::string(qlen, 'q');
            ASSERT_EQ(quorvane_deep_begin(d.get(), q.c_str(), 3, limit, deadline), 0);
        } else if (op == "add") {
            int i;
            uint64_t cursor, floor;
            w >> i >> cursor >> floor;
            id[0] = uint8_t(i);
            EXPECT_EQ(quorvane_deep_add_conv(d.get(), id, cursor, floor), want_rc());
        } else if (op == "add64") {
            for (int i = 1; i <= 64; i++) {
                id[0] = uint8_t(i);
                ASSERT_EQ(quorvane_deep_add_conv(d.get(), id, 100, 0), 0);
            }
        } else if (op == "next") {
            uint64_t now, cursor = 12345;
            w >> now;
            int rc = want_rc();
            EXPECT_EQ(quorvane_deep_next(d.get(), now, id, &cursor), rc);
            int want_id;
            uint64_t want_cursor;
            if (w >> want_id >> want_cursor) {
                EXPECT_EQ(id[0], want_id);
                EXPECT_EQ(cursor, want_cursor);
            }
        } else if (op == "done") {
            uint64_t oldest;
            int got;
            w >> oldest >> got;
            quorvane_deep_page_done(d.get(), oldest, got);
        } else if (op == "page40") {
            for (uint64_t p = 0; p < 40; p++) {
                ASSERT_EQ(quorvane_deep_next(d.get(), 5, id, nullptr), 1) << p;
                quorvane_deep_page_done(d.get(), 999 - p, 1);
            }
        } else if (op == "fail") {
            EXPECT_EQ(quorvane_deep_page_failed(d.get()), want_rc());
        } else if (op == "tick") {
            uint64_t now;
            w >> now;
            EXPECT_EQ(quorvane_deep_tick(d.get(), now), want_rc());
        } else if (op == "offer") {
            uint64_t t;
            w >> t;
            offer(t);
        } else if (op == "offer64") {
            for (uint64_t t = 1; t <= 64; t++) offer(t);  // held in the order offered, oldest first
        } else if (op == "cancel") {
            quorvane_deep_cancel(d.get());
        } else if (op == "offline") {
            quorvane_deep_offline(d.get());
        } else if (op == "reason") {
            int r;
            w >> r;
            EXPECT_EQ(d->stop_reason, r);
            EXPECT_EQ(d->running, 0);
        } else if (op == "limit") {
            uint32_t l;
            w >> l;
            EXPECT_EQ(d->page_limit, l);
        } else if (op == "pages") {
            uint32_t p;
            w >> p;
            EXPECT_EQ(d->pages_requested, p);
        } else if (op == "querylen") {
            size_t n;
            w >> n;
            EXPECT_EQ(strlen(d->query), n);
        } else if (op == "results") {
            size_t cap;
            w >> cap;
            std::vector<uint64_t> want;
            for (uint64_t t; w >> t;) want.push_back(t);
            std::vector<quorvane_search_hit> out(cap);
            size_t n = quorvane_deep_results(d.get(), out.data(), cap);
            std::vector<uint64_t> got;
            for (size_t i = 0; i < n; i++) got.push_back(out[i].time);
            EXPECT_EQ(got, want);
        } else {
            FAIL() << "unknown step " << op;
        }
    }
}

TEST(DeepSearch, Sequences) {
    for (const auto &k : kDeep) run_deep(k);
}

TEST(DeepSearch, StopTextsMatchAndWipe) {
    auto d = std::make_unique<quorvane_deep>();
    EXPECT_STREQ(quorvane_deep_stop_text(nullptr), "");
    ASSERT_EQ(quorvane_deep_begin(d.get(), "", 3, 0, 0), -1);
    ASSERT_EQ(quorvane_deep_begin(nullptr, "x", 3, 0, 0), -1);
    ASSERT_EQ(quorvane_deep_begin(d.get(), "find", 7, 0, 0), 0);
    EXPECT_EQ(d->kinds, 3);
    EXPECT_STREQ(quorvane_deep_stop_text(d.get()), "Searching older messages\xe2\x80\xa6");
    const std::pair<uint8_t, const char *> texts[] = {
        {1, "Searched all history the server still holds."},
        {2, "Stopped at this search's limit \xe2\x80\x94 older messages were not searched."},
        {3, "Stopped after the time limit \xe2\x80\x94 older messages were not searched."},
        {4, "Stopped."},
        {5, "Connection lost \xe2\x80\x94 older messages were not searched."},
        {6, "Some older messages could not be fetched \xe2\x80\x94 this is not all of them."},
        {0, ""},
        {7, ""},
    };
    for (const auto &[reason, text] : texts) {
        d->running = 0;
        d->stop_reason = reason;
        EXPECT_STREQ(quorvane_deep_stop_text(d.get()), text);
    }
    // a state with hits is all zero after clear
    ASSERT_EQ(quorvane_deep_begin(d.get(), "find", 3, 0, 0), 0);
    auto r = std::make_unique<quorvane_ms_msgrec>();
    memset(r.get(), 0, sizeof *r);
    r->type = QV_MS_TYPE_TEXT;
    strcpy(r->text, "secret find");
    r->text_len = 11;
    quorvane_deep_offer(d.get(), r.get());
    ASSERT_EQ(d->hit_count, 1u);
    EXPECT_STREQ(d->hits[0].snippet, "secret find");
    quorvane_deep_clear(d.get());
    const auto *p = reinterpret_cast<const uint8_t *>(d.get());
    EXPECT_TRUE(std::all_of(p, p + sizeof *d, [](uint8_t b) { return b == 0; }));
}

}  // namespace
