// Instance bar: row plans, initials, unread counting and aggregation, mode
// resolution, the muted-instance file (including that a failed save keeps the
// old list) and invite links through format and parse.
#include "client_instbar.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "qv_test_support.h"

namespace {

using Id = std::array<uint8_t, 16>;
using qvtest::exists;
using qvtest::hex;
using qvtest::unhex_array;

Id id_of(uint8_t seed) {
    Id id;
    for (size_t i = 0; i < id.size(); i++) id[i] = static_cast<uint8_t>(seed * 16 + i);
    return id;
}

// ---- rows -----------------------------------------------------------------

struct Row {
    uint32_t kind;
    int32_t category;
    uint64_t instance;
    bool operator==(const Row &o) const { return kind == o.kind && category == o.category && instance == o.instance; }
};
std::ostream &operator<<(std::ostream &os, const Row &r) {
    return os << (r.kind == QV_INSTBAR_ROW_CAT ? "header" : "instance") << "(" << r.category << "," << r.instance << ")";
}
Row inst(int32_t cat, uint64_t i) { return {QV_INSTBAR_ROW_INST, cat, i}; }
Row header(int32_t cat) { return {QV_INSTBAR_ROW_CAT, cat, 0}; }

quorvane_instbar_layout layout_of(uint64_t categories, const std::vector<std::pair<uint8_t, uint8_t>> &cat_pos) {
    quorvane_instbar_layout l{};
    l.category_count = categories;
    l.instance_count = cat_pos.size();
    for (size_t i = 0; i < cat_pos.size(); i++) {
        l.category[i] = cat_pos[i].first;
        l.position[i] = cat_pos[i].second;
    }
    return l;
}

std::vector<Row> plan(const quorvane_instbar_layout &l, size_t cap) {
    std::vector<quorvane_instbar_item> items(cap + 4);
    size_t n = quorvane_instbar_plan(&l, items.data(), cap);
    EXPECT_LE(n, cap);
    std::vector<Row> rows;
    for (size_t i = 0; i < n; i++) rows.push_back({items[i].kind, items[i].category, items[i].instance});
    return rows;
}

TEST(InstbarPlan, Table) {
    // categories 0..2; instance 1 has category 3 (== count: none); category 1 is empty
    const auto mixed = layout_of(3, {{0, 5}, {3, 0}, {2, 1}, {2, 0}, {255, 2}});
    const std::vector<Row> mixed_rows = {inst(255, 1), inst(255, 4), header(0), inst(0, 0),
                                         header(2),    inst(2, 3),   inst(2, 2)};
    struct Case {
        const char *name;
        quorvane_instbar_layout layout;
        size_t cap;
        std::vector<Row> want;
    };
    const Case cases[] = {
        {"positions 3, 1, 1", layout_of(0, {{255, 3}, {255, 1}, {255, 1}}), 10, {inst(255, 1), inst(255, 2), inst(255, 0)}},
        {"category at the count is none, empty category has no header", mixed, 20, mixed_rows},
        {"cut right after a header", mixed, 5, {mixed_rows.begin(), mixed_rows.begin() + 5}},
        {"cut inside a category", mixed, 6, {mixed_rows.begin(), mixed_rows.begin() + 6}},
        {"cut inside the uncategorised", mixed, 1, {inst(255, 1)}},
        {"no instances", layout_of(4, {}), 10, {}},
        {"positions 255 and 0", layout_of(1, {{0, 255}, {0, 0}, {255, 255}}), 10,
         {inst(255, 2), header(0), inst(0, 1), inst(0, 0)}},
        {"category 254 of a huge count", layout_of(uint64_t{1} << 40, {{254, 0}, {255, 0}}), 10,
         {inst(255, 1), header(254), inst(254, 0)}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(plan(c.layout, c.cap), c.want);
    }
}

TEST(InstbarPlan, LimitsAndMissingArguments) {
    // a count beyond the arrays plans only what they hold
    quorvane_instbar_layout l = layout_of(0, {});
    l.instance_count = 1000;
    std::fill(std::begin(l.category), std::end(l.category), QV_INSTBAR_NO_CAT);
    EXPECT_EQ(plan(l, 500).size(), QV_INSTBAR_MAX);

    quorvane_instbar_item rows[4];
    EXPECT_EQ(quorvane_instbar_plan(nullptr, rows, 4), 0u);
    EXPECT_EQ(quorvane_instbar_plan(&l, nullptr, 4), 0u);
    EXPECT_EQ(quorvane_instbar_plan(&l, rows, 0), 0u);
}

// ---- initials ---------------------------------------------------------------

TEST(InstbarInitials, Table) {
    struct Case {
        const char *name;
        const char *in;
        size_t cap;
        const char *want;
    };
    const Case cases[] = {
        {"spaces around words", "  hello   world  again", 8, "HW"},
        {"tabs", "\thello\t\tworld", 8, "HW"},
        {"one word", "alpha", 8, "A"},
        {"two-byte initial", "\xc3\xa9lan", 8, "\xc3\xa9"},
        {"three-byte initials", "\xe6\x97\xa5\xe6\x9c\xac \xe8\xaa\x9e", 8, "\xe6\x97\xa5\xe8\xaa\x9e"},
        {"four-byte initial", "\xf0\x9f\x98\x80 party", 8, "\xf0\x9f\x98\x80P"},
        {"digit", "1st place", 8, "1P"},
        {"empty", "", 8, "?"},
        {"only spaces", "    ", 8, "?"},
        {"null name", nullptr, 8, "?"},
        {"capacity 1", "hello world", 1, ""},
        {"capacity 2 holds one", "hello world", 2, "H"},
        {"capacity 3 holds two", "hello world", 3, "HW"},
        {"capacity 2 cannot hold e-acute", "\xc3\xa9lan", 2, "?"},
        {"second fits where the first did not", "\xc3\xa9lan bob", 2, "B"},
        {"capacity 4 holds e-acute and B", "\xc3\xa9lan bob", 4, "\xc3\xa9" "B"},
        {"sequence cut by the end", "\xe2\x82", 8, "?"},
        {"sequence cut by a space", "\xe2\x82 x", 8, "X"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        char out[16];
        std::memset(out, 'z', sizeof out);
        quorvane_instbar_initials(c.in, out, c.cap);
        EXPECT_STREQ(out, c.want);
        EXPECT_EQ(out[c.cap], 'z') << "wrote past the capacity";
    }
    char untouched = 'z';
    quorvane_instbar_initials("hello", &untouched, 0);
    EXPECT_EQ(untouched, 'z');
    quorvane_instbar_initials("hello", nullptr, 8);  // nothing to write into: no crash
}

// ---- unread counts ------------------------------------------------------------

// Instances 0, 1 and 2; conversation 2 is listed by both 0 and 1.
struct Instances {
    Id c1 = id_of(1), c2 = id_of(2), c3 = id_of(3), c4 = id_of(4), stray = id_of(9);
    std::vector<Id> l0 = {c1, c2}, l1 = {c3, c2}, l2 = {c4};
    std::vector<quorvane_instance_rec> recs;
    Instances() {
        const std::vector<Id> *lists[] = {&l0, &l1, &l2};
        for (size_t i = 0; i < 3; i++) {
            quorvane_instance_rec r{};
            Id iid = id_of(static_cast<uint8_t>(100 + i));
            std::memcpy(r.id, iid.data(), 16);
            r.conv_count = lists[i]->size();
            r.convs = reinterpret_cast<const uint8_t(*)[16]>(lists[i]->data());
            recs.push_back(r);
        }
    }
};

TEST(InstbarFindConv, Table) {
    Instances in;
    struct Case {
        const char *name;
        Id conv;
        int64_t want;
    };
    const Case cases[] = {{"first instance", in.c1, 0}, {"listed twice: the first wins", in.c2, 0},
                          {"second instance", in.c3, 1}, {"last instance", in.c4, 2},
                          {"no instance", in.stray, -1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(quorvane_instbar_find_conv(in.recs.data(), in.recs.size(), c.conv.data()), c.want);
    }
    EXPECT_EQ(quorvane_instbar_find_conv(nullptr, 3, in.c1.data()), -1);
    EXPECT_EQ(quorvane_instbar_find_conv(in.recs.data(), 3, nullptr), -1);
    EXPECT_EQ(quorvane_instbar_find_conv(in.recs.data(), 0, in.c1.data()), -1);
}

TEST(UnreadCounts, BumpAndClear) {
    const Id a = id_of(1), b = id_of(2), c = id_of(3), d = id_of(4);
    quorvane_unread e[3];
    std::memset(e, 0xee, sizeof e);
    size_t n = 0;
    n = quorvane_unread_bump(e, n, 3, a.data(), 0);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(0, std::memcmp(e[0].conv, a.data(), 16));
    EXPECT_EQ(e[0].count, 1u);
    EXPECT_EQ(e[0].mentioned, 0);
    EXPECT_EQ(e[0].second, 0);
    n = quorvane_unread_bump(e, n, 3, a.data(), 1);
    n = quorvane_unread_bump(e, n, 3, a.data(), 0);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(e[0].count, 3u);
    EXPECT_EQ(e[0].mentioned, 1) << "a later bump without mention keeps the mark";
    n = quorvane_unread_bump(e, n, 3, b.data(), 1);
    n = quorvane_unread_bump(e, n, 3, c.data(), 0);
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(e[1].mentioned, 1);
    EXPECT_EQ(e[2].count, 1u);

    quorvane_unread before[3];
    std::memcpy(before, e, sizeof e);
    EXPECT_EQ(quorvane_unread_bump(e, n, 3, d.data(), 1), 3u);
    EXPECT_EQ(0, std::memcmp(before, e, sizeof e)) << "a full array changes nothing for a new conversation";
    EXPECT_EQ(quorvane_unread_bump(e, n, 3, c.data(), 0), 3u);
    EXPECT_EQ(e[2].count, 2u) << "a present conversation still counts when the array is full";

    n = quorvane_unread_clear(e, n, b.data());
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(0, std::memcmp(e[0].conv, a.data(), 16));
    EXPECT_EQ(0, std::memcmp(e[1].conv, c.data(), 16));
    EXPECT_EQ(e[1].count, 2u);
    EXPECT_EQ(quorvane_unread_clear(e, n, d.data()), 2u);
    n = quorvane_unread_clear(e, n, c.data());
    n = quorvane_unread_clear(e, n, a.data());
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(quorvane_unread_clear(e, 0, a.data()), 0u);
    EXPECT_EQ(quorvane_unread_bump(nullptr, 2, 3, a.data(), 0), 2u);
    EXPECT_EQ(quorvane_unread_bump(e, 0, 3, nullptr, 0), 0u);

    // a count at its largest stays there: wrapping to 0 would hide the conversation
    e[0] = {};
    std::memcpy(e[0].conv, a.data(), 16);
    e[0].count = UINT32_MAX;
    EXPECT_EQ(quorvane_unread_bump(e, 1, 3, a.data(), 0), 1u);
    EXPECT_EQ(e[0].count, UINT32_MAX);
}

quorvane_unread unread(const Id &conv, uint32_t count, uint8_t mentioned, uint8_t second) {
    quorvane_unread u{};
    std::memcpy(u.conv, conv.data(), 16);
    u.count = count;
    u.mentioned = mentioned;
    u.second = second;
    return u;
}

TEST(UnreadCounts, Aggregate) {
    Instances in;
    const Id other = id_of(8);
    const std::vector<quorvane_unread> entries = {
        unread(in.c1, 2, 1, 0),    unread(in.c2, 3, 0, 1), unread(in.c3, 5, 0, 0),
        unread(in.c4, 7, 1, 1),    unread(in.stray, 1, 1, 0), unread(other, 4, 0, 0),
    };
    struct Case {
        const char *name;
        std::vector<Id> muted;
        std::vector<uint64_t> totals;
        std::vector<uint8_t> mentions, seconds;
    };
    const Case cases[] = {
        {"nothing muted", {}, {5, 5, 5, 7}, {1, 1, 0, 1}, {0, 1, 0, 1}},
        {"instance 2 muted", {id_of(102)}, {5, 5, 5, 0}, {1, 1, 0, 0}, {0, 1, 0, 0}},
        {"instances 0 and 2 muted", {id_of(102), id_of(77), id_of(100)}, {5, 0, 5, 0}, {1, 0, 0, 0}, {0, 0, 0, 0}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint64_t> totals(4, 99);
        std::vector<uint8_t> mentions(4, 9), seconds(4, 9);
        quorvane_unread_aggregate(entries.data(), entries.size(), in.recs.data(), in.recs.size(),
                                  reinterpret_cast<const uint8_t(*)[16]>(c.muted.data()), c.muted.size(), totals.data(),
                                  mentions.data(), seconds.data());
        EXPECT_EQ(totals, c.totals);
        EXPECT_EQ(mentions, c.mentions);
        EXPECT_EQ(seconds, c.seconds);
        // second marks are optional
        quorvane_unread_aggregate(entries.data(), entries.size(), in.recs.data(), in.recs.size(),
                                  reinterpret_cast<const uint8_t(*)[16]>(c.muted.data()), c.muted.size(), totals.data(),
                                  mentions.data(), nullptr);
        EXPECT_EQ(totals, c.totals);
        EXPECT_EQ(mentions, c.mentions);
    }
    // no instances: everything lands in slot 0
    uint64_t total = 0;
    uint8_t mention = 0;
    quorvane_unread_aggregate(entries.data(), entries.size(), nullptr, 0, nullptr, 0, &total, &mention, nullptr);
    EXPECT_EQ(total, 22u);
    EXPECT_EQ(mention, 1);
}

TEST(UnreadCounts, TypesThatCount) {
    const int counting[] = {1, 4, 10, 12, 13, 16};  // text, file, reply, voice, link, sticker
    for (int t = -2; t < 300; t++) {
        SCOPED_TRACE(t);
        bool want = std::find(std::begin(counting), std::end(counting), t) != std::end(counting);
        EXPECT_EQ(quorvane_unread_type_counts(t), want ? 1 : 0);
    }
}

TEST(ConvMode, Resolve) {
    struct Case {
        int mode, def, want;
    };
    const Case cases[] = {{0, 0, 0}, {0, 1, 1},  {0, 7, 1}, {1, 0, 1},  {1, 1, 1},
                          {2, 0, 0}, {2, 1, 0},  {3, 0, 0}, {3, 1, 1},  {-1, 1, 1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.mode) + " over default " + std::to_string(c.def));
        EXPECT_EQ(quorvane_conv_mode_resolve(c.mode, c.def), c.want);
    }
}

// ---- muted instances ------------------------------------------------------------

const std::string kId1 = "00112233445566778899aabbccddeeff";
const std::string kId2 = "0123456789abcdef0123456789abcdef";
const std::string kId3 = "fedcba9876543210fedcba9876543210";

std::vector<std::string> load(const std::string &path, size_t cap) {
    std::vector<Id> ids(cap + 1);
    size_t n = quorvane_instmute_load(path.c_str(), reinterpret_cast<uint8_t(*)[16]>(ids.data()), cap);
    std::vector<std::string> out;
    for (size_t i = 0; i < n; i++) out.push_back(hex(ids[i].data(), 16));
    return out;
}

TEST(InstMute, LoadTable) {
    std::string upper = kId1;
    for (char &ch : upper) ch = static_cast<char>(toupper(ch));
    struct Case {
        const char *name;
        std::string content;
        size_t cap;
        std::vector<std::string> want;
    };
    const Case cases[] = {
        {"31 digits, 33 digits, trailing space", kId1.substr(1) + "\n" + kId1 + "0\n" + kId1 + " \n", 32, {}},
        {"upper case", upper + "\n", 32, {kId1}},
        {"CR LF and no final line end", kId1 + "\r\n" + kId2, 32, {kId1, kId2}},
        {"blank and foreign lines skipped", "\n# muted\n" + kId2 + "\n\n" + kId3 + "\n", 32, {kId2, kId3}},
        {"non-hex digit", std::string("g") + kId1.substr(1) + "\n", 32, {}},
        {"zero byte in the line", kId1.substr(0, 16) + std::string(1, '\0') + kId1.substr(17) + "\n", 32, {}},
        {"64 digits", kId1 + kId2 + "\n", 32, {}},
        // a long line is read 63 bytes at a time and each piece judged alone
        {"line of 63 bytes then an id", std::string(63, 'z') + kId3 + "\n", 32, {kId3}},
        {"id then 31 bytes", kId3 + std::string(31, 'z') + "\n", 32, {}},
        {"stops at the capacity", kId1 + "\n" + kId2 + "\n" + kId3 + "\n", 2, {kId1, kId2}},
    };
    qvtest::TempDir dir;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        qvtest::write_file(dir.file("instmute"), c.content);
        EXPECT_EQ(load(dir.file("instmute"), c.cap), c.want);
    }
    EXPECT_EQ(load(dir.file("missing"), 32), std::vector<std::string>{});
    Id one;
    EXPECT_EQ(quorvane_instmute_load(nullptr, reinterpret_cast<uint8_t(*)[16]>(one.data()), 1), 0u);
    EXPECT_EQ(quorvane_instmute_load(dir.file("instmute").c_str(), nullptr, 1), 0u);
    EXPECT_EQ(quorvane_instmute_load(dir.file("instmute").c_str(), reinterpret_cast<uint8_t(*)[16]>(one.data()), 0), 0u);
}

int save(const std::string &path, const std::vector<std::string> &hex) {
    std::vector<Id> ids;
    for (const auto &h : hex) ids.push_back(unhex_array<16>(h));
    return quorvane_instmute_save(path.c_str(), reinterpret_cast<const uint8_t(*)[16]>(ids.data()), ids.size());
}

TEST(InstMute, SaveWritesLowerCaseAndRemovesWhenEmpty) {
    qvtest::TempDir dir;
    const std::string path = dir.file("instmute");
    std::string upper = "ABCDEF0123456789ABCDEF0123456789";
    ASSERT_EQ(save(path, {kId1, upper, kId3}), 0);
    EXPECT_EQ(qvtest::read_file(path), kId1 + "\n" + "abcdef0123456789abcdef0123456789\n" + kId3 + "\n");
    EXPECT_FALSE(exists(path + ".tmp"));
    EXPECT_EQ(load(path, QV_INSTMUTE_MAX), (std::vector<std::string>{kId1, "abcdef0123456789abcdef0123456789", kId3}));

    ASSERT_EQ(save(path, {kId2}), 0);
    EXPECT_EQ(qvtest::read_file(path), kId2 + "\n") << "a shorter list leaves no tail of the old one";

    ASSERT_EQ(save(path, {}), 0);
    EXPECT_FALSE(exists(path));
    EXPECT_EQ(save(path, {}), 0) << "already absent";

    EXPECT_EQ(quorvane_instmute_save(nullptr, nullptr, 0), -1);
    EXPECT_EQ(quorvane_instmute_save("", nullptr, 0), -1);
    EXPECT_EQ(quorvane_instmute_save(path.c_str(), nullptr, 1), -1);
    EXPECT_EQ(save(dir.file("no/such/dir/instmute"), {kId1}), -1);
    // a list that cannot be removed is a failure, not an empty list
    ASSERT_EQ(mkdir(dir.file("isdir").c_str(), 0700), 0);
    EXPECT_EQ(save(dir.file("isdir"), {}), -1);
}

// A directory standing where the temporary file goes makes the write fail
// before the list is touched.
TEST(InstMute, FailedSaveKeepsOldListTempBlocked) {
    qvtest::TempDir dir;
    const std::string path = dir.file("instmute");
    ASSERT_EQ(save(path, {kId1, kId2}), 0);
    ASSERT_EQ(mkdir((path + ".tmp").c_str(), 0700), 0);
    EXPECT_EQ(save(path, {kId3}), -1);
    EXPECT_EQ(qvtest::read_file(path), kId1 + "\n" + kId2 + "\n");
}

// A full file system: rewritten in place, the list would be truncated and
// then cut at the first page that does not fit. Runs in a forked child with a
// private mount namespace holding a 16 KiB tmpfs.
TEST(InstMute, FailedSaveKeepsOldListDiskFull) {
    qvtest::TempDir dir;
    const std::string mnt = dir.file("mnt");
    ASSERT_EQ(mkdir(mnt.c_str(), 0700), 0);
    std::vector<std::string> many;
    for (int i = 0; i < 400; i++) {
        Id id = id_of(static_cast<uint8_t>(i));
        id[0] = static_cast<uint8_t>(i >> 8);
        many.push_back(hex(id.data(), 16));
    }
    enum { OK = 0, SKIP = 77, OLD_SAVE = 10, FILL = 11, SAVE_OK = 12, CHANGED = 13, TMP_LEFT = 14 };
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (unshare(CLONE_NEWNS) != 0 || !qvtest::make_mounts_private().empty() ||
            mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=16k") != 0)
            _exit(SKIP);
        const std::string path = mnt + "/instmute";
        if (save(path, {kId1, kId2}) != 0) _exit(OLD_SAVE);
        // fill the rest of the file system
        int fd = open((mnt + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0) _exit(FILL);
        char block[512] = {};
        while (write(fd, block, sizeof block) > 0) {
        }
        if (errno != ENOSPC) _exit(FILL);
        close(fd);
        if (save(path, many) == 0) _exit(SAVE_OK);
        if (qvtest::read_file(path) != kId1 + "\n" + kId2 + "\n") _exit(CHANGED);
        if (exists(path + ".tmp")) _exit(TMP_LEFT);
        _exit(OK);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    if (WEXITSTATUS(status) == SKIP) GTEST_SKIP() << "no private mount namespace with a tmpfs here (needs root)";
    EXPECT_EQ(WEXITSTATUS(status), OK) << "10 first save, 11 filling, 12 save reported success, 13 old list "
                                          "changed, 14 temporary file left";
}

// ---- invite links ---------------------------------------------------------------

TEST(InviteLink, FormatParseRoundTrip) {
    struct Case {
        const char *host, *port;
        Id token;
        const char *want;  // null: not pinned here
    };
    Id ff;
    ff.fill(0xff);
    const Case cases[] = {
        {"chat.example.org", "443", unhex_array<16>(kId1), "quorvane://chat.example.org:443/join/00112233445566778899aabbccddeeff"},
        {"127.0.0.1", "7443", Id{}, "quorvane://127.0.0.1:7443/join/00000000000000000000000000000000"},
        {"[::1]", "8443", ff, nullptr},
        {"", "", unhex_array<16>(kId3), "quorvane://:/join/fedcba9876543210fedcba9876543210"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.host);
        char link[128];
        ASSERT_EQ(quorvane_invite_uri_format(c.host, c.port, c.token.data(), link, sizeof link), 0);
        if (c.want) {
            EXPECT_STREQ(link, c.want);
        }
        Id back{};
        ASSERT_EQ(quorvane_invite_uri_parse(link, back.data()), 0);
        EXPECT_EQ(back, c.token);
    }
}

TEST(InviteLink, FormatNeedsRoomForTheTerminator) {
    const Id t = unhex_array<16>(kId2);
    const std::string want = "quorvane://h.example:1/join/" + kId2;
    std::vector<char> out(want.size() + 1, 'z');
    EXPECT_EQ(quorvane_invite_uri_format("h.example", "1", t.data(), out.data(), want.size()), -1);
    EXPECT_EQ(out, std::vector<char>(want.size() + 1, 'z')) << "nothing written on failure";
    ASSERT_EQ(quorvane_invite_uri_format("h.example", "1", t.data(), out.data(), want.size() + 1), 0);
    EXPECT_EQ(std::string(out.data()), want);

    EXPECT_EQ(quorvane_invite_uri_format(nullptr, "1", t.data(), out.data(), out.size()), -1);
    EXPECT_EQ(quorvane_invite_uri_format("h", nullptr, t.data(), out.data(), out.size()), -1);
    EXPECT_EQ(quorvane_invite_uri_format("h", "1", nullptr, out.data(), out.size()), -1);
    EXPECT_EQ(quorvane_invite_uri_format("h", "1", t.data(), nullptr, out.size()), -1);
    EXPECT_EQ(quorvane_invite_uri_format("h", "1", t.data(), out.data(), 0), -1);
}

TEST(InviteLink, ParseTable) {
    const std::string mixed = "0123456789AbCdEf0123456789aBcDeF";
    const Id mixed_id = unhex_array<16>("0123456789abcdef0123456789abcdef");
    struct Case {
        const char *name;
        std::string text;
        bool ok;
    };
    const Case cases[] = {
        {"link with slash, CR, LF after the token", "quorvane://chat.example.org:443/join/" + mixed + "/\r\n", true},
        {"any host and scheme", "https://elsewhere.example/x/join/" + mixed, true},
        {"bare code with leading spaces", "   " + mixed, true},
        {"blanks around", "\r\n\t " + mixed + " \t/ /", true},
        {"31 digits", "quorvane://h:1/join/" + mixed.substr(1), false},
        {"33 digits", "quorvane://h:1/join/" + mixed + "0", false},
        {"trailing question mark", "quorvane://h:1/join/" + mixed + "?", false},
        {"trailing path", "quorvane://h:1/join/" + mixed + "/more", false},
        {"non-hex digit", "quorvane://h:1/join/" + mixed.substr(1) + "g", false},
        {"space after join", "quorvane://h:1/join/ " + mixed, false},
        {"the first join counts", "quorvane://h:1/join/x/join/" + mixed, false},
        {"no join, token not at the start", "quorvane://h:1/" + mixed, false},
        {"empty", "", false},
        {"only blanks", " \r\n\t", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Id token;
        token.fill(0xee);
        int rc = quorvane_invite_uri_parse(c.text.c_str(), token.data());
        if (c.ok) {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(token, mixed_id);
        } else {
            EXPECT_EQ(rc, -1);
            Id untouched;
            untouched.fill(0xee);
            EXPECT_EQ(token, untouched);
        }
    }
    Id token;
    EXPECT_EQ(quorvane_invite_uri_parse(nullptr, token.data()), -1);
    EXPECT_EQ(quorvane_invite_uri_parse(mixed.c_str(), nullptr), -1);
}

}  // namespace
