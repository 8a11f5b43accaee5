// History export and import: the empty export, a fixed point of export,
// import and export between two stores, both directions against
// tests/scripts/history_xcheck.py, every limit at n and n + 1, an entry
// refused whole, and the merges that must not lose or leak keys: a zero key,
// held and older keys, the send counter, a held member list.
#include <gtest/gtest.h>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>

#include "msgstore_test_util.h"
#include "qv_test_support.h"

using namespace mstest;

namespace {

using qvtest::hex;

std::vector<std::vector<std::string>> script(const std::vector<std::string> &requests) {
    return run_script("history_xcheck.py", requests);
}

// An export as bytes, wiped and freed by the helper meant for it.
bytes export_of(quorvane_msgstore *ms, int include_direct = 1) {
    size_t n = 0;
    uint8_t *p = quorvane_msgstore_export_history_ex(ms, include_direct, &n);
    EXPECT_NE(p, nullptr);
    bytes out(reinterpret_cast<const char *>(p), n);
    quorvane_msgstore_export_free(p, n);
    return out;
}

int import(quorvane_msgstore *ms, const bytes &b) { return quorvane_msgstore_import_history(ms, u8(b), b.size()); }

bool exists(const std::string &p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

const bytes kGroup = filled(16, 0xa1), kDirect = filled(16, 0xa2), kLocked = filled(16, 0xa3);
const bytes kBob = filled(16, 0x62), kCarol = filled(16, 0x63);

// The fault subject: imports the export in the file named by the variable
// into the store beside it, and exits 0 when the import said it was done.
constexpr char kImportFaultEnv[] = "QV_HISTORY_IMPORT_FAULT_DIR";

[[noreturn]] void import_fault_subject(const char *dir) {
    const std::string in = std::string(dir) + ".export";
    FILE *f = fopen(in.c_str(), "rb");
    if (!f) _exit(3);
    std::string data;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) data.append(buf, n);
    fclose(f);
    quorvane_msgstore *ms = quorvane_msgstore_open(dir, kSecret);
    if (!ms) _exit(2);
    const int rc = quorvane_msgstore_import_history(ms, reinterpret_cast<const uint8_t *>(data.data()), data.size());
    _exit(rc == 0 ? 0 : 1);  // as a crash would: no close
}

const int import_fault_hook = [] {
    if (const char *d = getenv(kImportFaultEnv)) import_fault_subject(d);
    return 0;
}();

class History : public ::testing::Test {
  protected:
    qvtest::TempDir tmp;
    store_ptr open(const std::string &name) { return open_store(tmp.file(name)); }

    // A group with older keys, members and messages (a deletion mark among
    // them), a direct conversation, and one still waiting for its key.
    void fill(quorvane_msgstore *ms) {
        ASSERT_EQ(quorvane_msgstore_put_conv(ms, u8(kGroup), u8(filled(32, 1))), 0);
        ASSERT_EQ(quorvane_msgstore_put_conv(ms, u8(kGroup), u8(filled(32, 2))), 0);  // 1 becomes older
        ASSERT_EQ(quorvane_msgstore_next_counter(ms, u8(kGroup)), 1u);
        const uint8_t users[2][16] = {{0x61}, {0x62}}, ik[2][32] = {{1}, {2}}, sk[2][32] = {{3}, {4}};
        const uint8_t roles[2] = {1, 0};
        ASSERT_EQ(quorvane_msgstore_set_members(ms, u8(kGroup), users, ik, sk, roles, 2), 0);
        ASSERT_EQ(quorvane_msgstore_set_member_name(ms, u8(kGroup), users[1], "Bob"), 0);
        ASSERT_EQ(add(ms, kGroup, text_msg(1, 10)), 1);
        ASSERT_EQ(add(ms, kGroup, {kBob, 2, 2000, 11, QV_MS_TYPE_TEXT, "caf\xc3\xa9"}), 1);
        ASSERT_EQ(add(ms, kGroup, text_msg(3, 12)), 1);
        ASSERT_EQ(quorvane_msgstore_delete_msg(ms, u8(kGroup), u8(kAlice), nullptr, 3), 1);
        ASSERT_EQ(quorvane_msgstore_put_conv(ms, u8(kDirect), u8(filled(32, 5))), 0);
        ASSERT_EQ(quorvane_msgstore_set_peer(ms, u8(kDirect), u8(kBob), u8(filled(32, 6))), 0);
        ASSERT_EQ(add(ms, kDirect, {kBob, 7, 3000, 20, QV_MS_TYPE_TEXT, "hi"}), 1);
        ASSERT_EQ(quorvane_msgstore_put_conv_locked(ms, u8(kLocked)), 0);
    }
};

TEST_F(History, EmptyStoreGivesFiveBytesThatImportAndWriteTheList) {
    auto a = open("a");
    EXPECT_EQ(export_of(a.get()), bytes("\x01\x00\x00\x00\x00", 5));
    auto b = open("b");
    EXPECT_FALSE(exists(tmp.file("b/convs.dat")));
    EXPECT_EQ(import(b.get(), bytes("\x01\x00\x00\x00\x00", 5)), 0);
    EXPECT_TRUE(exists(tmp.file("b/convs.dat")));
    size_t n = 1;
    EXPECT_EQ(quorvane_msgstore_export_history(nullptr, &n), nullptr);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(quorvane_msgstore_export_history(a.get(), nullptr), nullptr);
    for (const bytes &bad : {bytes("\x01\x00\x00\x00", 4), bytes("\x02\x00\x00\x00\x00", 5), bytes()})
        EXPECT_EQ(import(b.get(), bad), -1) << hex(bad);
    EXPECT_EQ(quorvane_msgstore_import_history(nullptr, u8(bytes(5, 1)), 5), -1);
}

TEST_F(History, ExportImportExportReachesAFixedPoint) {
    auto a = open("a");
    fill(a.get());
    const bytes x = export_of(a.get());
    auto b = open("b");
    ASSERT_EQ(import(b.get(), x), 0);
    EXPECT_EQ(export_of(b.get()), x);
    b = open("b");  // and from disk
    EXPECT_EQ(export_of(b.get()), x);
    ASSERT_EQ(import(a.get(), export_of(b.get())), 0);
    EXPECT_EQ(export_of(a.get()), x) << "nothing was added twice";
    EXPECT_EQ(quorvane_msgstore_conv_locked(b.get(), u8(kLocked)), 1);
    auto l = live(b.get(), kGroup);
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(l[2].type, QV_MS_TYPE_DELETED);
    EXPECT_EQ(l[0].position, 0u) << "positions come from the server's copy later";
    EXPECT_EQ(l[0].send_status, 0);

    // without direct conversations; a store of only direct ones exports none
    const bytes y = export_of(a.get(), 0);
    auto d = script({"decode " + hex(y)});
    ASSERT_EQ(d[0].size(), 4u);
    EXPECT_EQ(d[0][1], "2");
    auto c = open("c");
    ASSERT_EQ(quorvane_msgstore_put_conv(c.get(), u8(kDirect), u8(filled(32, 5))), 0);
    ASSERT_EQ(quorvane_msgstore_set_peer(c.get(), u8(kDirect), u8(kBob), u8(filled(32, 6))), 0);
    EXPECT_EQ(export_of(c.get(), 0), bytes("\x01\x00\x00\x00\x00", 5));
}

// The script decodes our export into exactly what the store holds.
TEST_F(History, ScriptDecodesOurExport) {
    auto a = open("a");
    fill(a.get());
    auto d = script({"decode " + hex(export_of(a.get()))});
    ASSERT_EQ(d[0].size(), 5u) << d[0][0] << " " << (d[0].size() > 1 ? d[0][1] : "");
    EXPECT_EQ(d[0][0], "OK");
    EXPECT_EQ(d[0][1], "3");
    const std::string group = hex(kGroup) + "/" + hex(filled(32, 2)) + "/" + hex(filled(32, 1)) + "/1/";
    const std::string members =
        "61" + std::string(30, '0') + "~01" + std::string(62, '0') + "~03" + std::string(62, '0') + "~1~-," +
        "62" + std::string(30, '0') + "~02" + std::string(62, '0') + "~04" + std::string(62, '0') + "~0~" + hex(bytes("Bob"));
    const std::string zero_dev(64, '0');
    const std::string msgs = hex(kAlice) + "~" + zero_dev + "~1~1001~1~0~" + hex(bytes("m1")) + "," + hex(kBob) + "~" +
                             zero_dev + "~2~2000~1~0~" + hex(bytes("caf\xc3\xa9")) + "," + hex(kAlice) + "~" + zero_dev +
                             "~3~1003~8~0~-";
    EXPECT_EQ(d[0][2], group + members + "/" + msgs);
    EXPECT_EQ(d[0][4], hex(kLocked) + "/" + std::string(64, '0') + "/-/0/-/-") << "a locked conversation: zero key";
}

// What the script encodes imports here; every limit at n and n + 1, and a
// refused entry changes nothing while the one before it stays.
TEST_F(History, ScriptExportImportsAndLimitsHold) {
    const std::string id1 = hex(filled(16, 0xb1)), id2 = hex(filled(16, 0xb2)), key = hex(filled(32, 9));
    auto member = [](int i, size_t name_len) {
        bytes user = filled(16, 0x10);
        user[15] = char(i);
        return hex(user) + "~" + hex(filled(32, 0x20)) + "~" + hex(filled(32, 0x30)) + "~0~" +
               (name_len ? hex(filled(name_len, 'n')) : "-");
    };
    auto members = [&](int count, size_t name_len) {
        std::string s;
        for (int i = 0; i < count; i++) s.append(i ? "," : "").append(member(i, name_len));
        return count ? s : "-";
    };
    auto keys = [](int count) {
        std::string s;
        for (int i = 0; i < count; i++) s.append(i ? "," : "").append(hex(filled(32, 0x40 + i)));
        return count ? s : "-";
    };
    auto msg = [](uint64_t id, size_t text_len) {
        return hex(kCarol) + "~" + hex(filled(32, 0xdd)) + "~" + std::to_string(id) + "~5000~1~1~" +
               (text_len ? hex(filled(text_len, 't')) : "-");
    };
    auto entry = [&](const std::string &id, int k, int m, size_t name, size_t text) {
        return id + "/" + key + "/" + keys(k) + "/42/" + members(m, name) + "/" + msg(1, text);
    };
    struct Case {
        const char *what;
        int k, m;
        size_t name, text;
        int want;
    } cases[] = {
        {"limits reached", 7, 64, 64, 4096, 0},
        {"eighth older key", 8, 1, 1, 1, -1},
        {"65 members", 0, 65, 1, 1, -1},
        {"65-byte name", 0, 1, 65, 1, -1},
        {"4097-byte text", 0, 1, 1, 4097, -1},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        auto ms = open(std::string("lim") + std::to_string(&k - cases));
        auto e = script({"encode 2 " + entry(id1, 1, 1, 3, 3) + " " + entry(id2, k.k, k.m, k.name, k.text)});
        ASSERT_EQ(e[0].size(), 2u);
        const bytes x = qvtest::unhex_string(e[0][1]);
        EXPECT_EQ(import(ms.get(), x), k.want);
        EXPECT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(filled(16, 0xb1))), 1u) << "the first entry merged";
        if (k.want == 0) {
            EXPECT_EQ(quorvane_msgstore_member_count(ms.get(), u8(filled(16, 0xb2))), 64u);
            uint8_t got[8][32];
            EXPECT_EQ(quorvane_msgstore_get_conv_keys(ms.get(), u8(filled(16, 0xb2)), got, 8), 8u);
            auto l = live(ms.get(), filled(16, 0xb2));
            ASSERT_EQ(l.size(), 1u);
            EXPECT_EQ(l[0].text_len, 4096u);
            EXPECT_EQ(l[0].edited, 1);
            // the script decodes our export of it back to the same entry
            auto d = script({"decode " + hex(export_of(ms.get()))});
            ASSERT_EQ(d[0].size(), 4u);
            EXPECT_EQ(d[0][3], entry(id2, 7, 64, 64, 4096));
        } else {
            EXPECT_EQ(quorvane_msgstore_conv_count(ms.get()), 1u) << "the refused entry changed nothing";
        }
        // every cut of a valid export is refused, and reopening finds the first entry intact
        if (&k == cases) {
            for (size_t cut = 5; cut < x.size(); cut += 997) {
                auto fresh = open("cut" + std::to_string(cut));
                EXPECT_EQ(import(fresh.get(), x.substr(0, cut)), -1) << cut;
            }
            ms = open(std::string("lim0"));
            EXPECT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(filled(16, 0xb1))), 1u);
        }
    }
}

// The four merges that lost or leaked keys.
TEST_F(History, MergesKeepKeysCountersAndDevicesSafe) {
    auto ms = open("a");
    const bytes held = filled(32, 0x11), old1 = filled(32, 0x12), newk = filled(32, 0x13), imp_old = filled(32, 0x14);
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(kGroup), u8(old1)), 0);
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(kGroup), u8(held)), 0);
    for (int i = 0; i < 5; i++) ASSERT_NE(quorvane_msgstore_next_counter(ms.get(), u8(kGroup)), 0u);
    const uint8_t users[2][16] = {{0x61}, {0x62}}, ik[2][32] = {{1}, {2}}, sk[2][32] = {{3}, {4}}, roles[2] = {0, 0};
    ASSERT_EQ(quorvane_msgstore_set_members(ms.get(), u8(kGroup), users, ik, sk, roles, 2), 0);
    const uint8_t dev1[1][32] = {{0x71}}, dev2[1][32] = {{0x72}}, flags[2] = {1, 1};
    ASSERT_EQ(quorvane_msgstore_set_member_devices(ms.get(), u8(kGroup), users[0], dev1, dev2, 1), 0);
    ASSERT_EQ(quorvane_msgstore_set_member_devices(ms.get(), u8(kGroup), users[1], dev1, dev2, 1), 0);
    ASSERT_EQ(quorvane_msgstore_set_member_muted(ms.get(), u8(kGroup), users, flags, 2), 0);

    const std::string m_user1 = hex(bytes(reinterpret_cast<const char *>(users[1]), 16)) + "~" + hex(filled(32, 2)) +
                                "~" + hex(filled(32, 4)) + "~0~-";
    const std::string m_carol = hex(kCarol) + "~" + hex(filled(32, 8)) + "~" + hex(filled(32, 9)) + "~0~-";
    // slot 0 now Bob (held at slot 1), slot 1 Carol (new)
    auto e = script({"encode 3 " + hex(kGroup) + "/" + hex(newk) + "/" + hex(imp_old) + "," + hex(held) + "/2/" + m_user1 +
                     "," + m_carol + "/-" + " " + hex(kDirect) + "/" + std::string(64, '0') + "/-/0/-/-" + " " +
                     hex(kLocked) + "/" + std::string(64, '0') + "/-/0/-/-"});
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(kDirect), u8(filled(32, 0x15))), 0);
    ASSERT_EQ(import(ms.get(), qvtest::unhex_string(e[0][1])), 0);

    for (int pass = 0; pass < 2; pass++, ms = open("a")) {
        SCOPED_TRACE(pass ? "reopened" : "in memory");
        uint8_t keys[8][32];
        ASSERT_EQ(quorvane_msgstore_get_conv_keys(ms.get(), u8(kGroup), keys, 8), 4u);
        EXPECT_EQ(bytes(reinterpret_cast<char *>(keys[0]), 32), held) << "the held key stays current";
        EXPECT_EQ(bytes(reinterpret_cast<char *>(keys[1]), 32), old1);
        EXPECT_EQ(bytes(reinterpret_cast<char *>(keys[2]), 32), newk) << "the entry's differing key joins the older";
        EXPECT_EQ(bytes(reinterpret_cast<char *>(keys[3]), 32), imp_old) << "the entry's older key joins once";
        EXPECT_EQ(quorvane_msgstore_next_counter(ms.get(), u8(kGroup)), 6u + pass) << "the counter never goes back";

        uint8_t k[32];
        EXPECT_EQ(quorvane_msgstore_get_conv(ms.get(), u8(kDirect), k), 1);
        EXPECT_EQ(bytes(reinterpret_cast<char *>(k), 32), filled(32, 0x15)) << "a zero key leaves the held key alone";
        EXPECT_EQ(quorvane_msgstore_conv_locked(ms.get(), u8(kLocked)), 1) << "created locked, not under a zero key";
        EXPECT_EQ(quorvane_msgstore_get_conv(ms.get(), u8(kLocked), k), 0);

        uint8_t f[5][32], s[5][32];
        EXPECT_EQ(quorvane_msgstore_member_devices(ms.get(), u8(kGroup), users[1], f, s, 5), 1u) << "Bob keeps his own";
        EXPECT_EQ(quorvane_msgstore_member_muted(ms.get(), u8(kGroup), 0), 1);
        EXPECT_EQ(quorvane_msgstore_member_devices(ms.get(), u8(kGroup), u8(kCarol), f, s, 5), 0u)
            << "Carol does not inherit Bob's slot's devices";
        EXPECT_EQ(quorvane_msgstore_member_count(ms.get(), u8(kGroup)), 2u) << "the held member list was replaced";
        EXPECT_EQ(quorvane_msgstore_member_muted(ms.get(), u8(kGroup), 1), 1);
    }
}

// An export older than the store (a backup made before the key was rotated
// away from a removed member) names as its key one the store holds as older:
// the current key stays, or messages would be sealed under the old one
// again. An all-zero older key, publicly known, never joins the keys.
TEST_F(History, OlderKeysNeverComeBackAsCurrentAndZeroKeysNeverJoin) {
    auto ms = open("a");
    const bytes k1 = filled(32, 0x21), k2 = filled(32, 0x22), zero = filled(32, 0);
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(kGroup), u8(k1)), 0);
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(kGroup), u8(k2)), 0);
    auto e = script({"encode 1 " + hex(kGroup) + "/" + hex(k1) + "/" + hex(zero) + "/0/-/-"});
    ASSERT_EQ(e[0].size(), 2u);
    ASSERT_EQ(import(ms.get(), qvtest::unhex_string(e[0][1])), 0);
    const uint8_t zeros[1][32] = {};
    EXPECT_EQ(quorvane_msgstore_add_old_keys(ms.get(), u8(kGroup), zeros, 1), 0);
    for (int pass = 0; pass < 2; pass++, ms = open("a")) {
        SCOPED_TRACE(pass ? "reopened" : "in memory");
        uint8_t keys[8][32];
        ASSERT_EQ(quorvane_msgstore_get_conv_keys(ms.get(), u8(kGroup), keys, 8), 2u);
        EXPECT_EQ(bytes(reinterpret_cast<char *>(keys[0]), 32), k2) << "the newer key stays current";
        EXPECT_EQ(bytes(reinterpret_cast<char *>(keys[1]), 32), k1);
    }
}

// A new own device got the current key and members from the server, then
// imports a history exported before the rekey that took Carol out: the
// export's key, which she still holds, must not become the key we seal under,
// nor must she come back among the members (the next rekey would include her).
// A conversation the store does not hold yet takes the export's key.
TEST_F(History, ImportNeverReplacesAHeldKey) {
    auto old_dev = open("old");
    const bytes k1 = filled(32, 0x31), k2 = filled(32, 0x32), other = filled(16, 0xa4);
    const uint8_t users[3][16] = {{0x61}, {0x62}, {0x63}}, ik[3][32] = {{1}, {2}, {3}}, sk[3][32] = {{4}, {5}, {6}};
    const uint8_t roles[3] = {0, 0, 0};
    ASSERT_EQ(quorvane_msgstore_put_conv(old_dev.get(), u8(kGroup), u8(k1)), 0);
    ASSERT_EQ(quorvane_msgstore_set_members(old_dev.get(), u8(kGroup), users, ik, sk, roles, 3), 0);
    ASSERT_EQ(quorvane_msgstore_set_member_name(old_dev.get(), u8(kGroup), users[1], "Bob"), 0);
    ASSERT_EQ(quorvane_msgstore_put_conv(old_dev.get(), u8(other), u8(k1)), 0);
    const bytes before_rekey = export_of(old_dev.get());

    // the server's list after the rekey: Carol is out
    auto ms = open("new");
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(kGroup), u8(k2)), 0);
    ASSERT_EQ(quorvane_msgstore_set_members(ms.get(), u8(kGroup), users, ik, sk, roles, 2), 0);
    ASSERT_EQ(import(ms.get(), before_rekey), 0);
    for (int pass = 0; pass < 2; pass++, ms = open("new")) {
        SCOPED_TRACE(pass ? "reopened" : "in memory");
        uint8_t keys[8][32];
        ASSERT_EQ(quorvane_msgstore_get_conv_keys(ms.get(), u8(kGroup), keys, 8), 2u);
        EXPECT_EQ(bytes(reinterpret_cast<char *>(keys[0]), 32), k2) << "the held key was replaced by the exported one";
        EXPECT_EQ(bytes(reinterpret_cast<char *>(keys[1]), 32), k1) << "the exported key opens old messages as an older one";
        EXPECT_EQ(quorvane_msgstore_member_count(ms.get(), u8(kGroup)), 2u) << "the member rekeyed out came back";
        char name[QV_MS_NAME_MAX + 1];
        EXPECT_EQ(quorvane_msgstore_member_name(ms.get(), u8(kGroup), users[1], name, sizeof name), 1);
        EXPECT_STREQ(name, "Bob") << "a held member takes the name it lacked";
        ASSERT_EQ(quorvane_msgstore_get_conv_keys(ms.get(), u8(other), keys, 8), 1u);
        EXPECT_EQ(bytes(reinterpret_cast<char *>(keys[0]), 32), k1) << "a conversation not held takes the exported key";
    }
}

// One write of an import fails (its write, sync or rename, by strace) and the
// process then dies: the key, messages and read mark held before stay, and an
// import that said it was done left all it brought on disk.
TEST_F(History, FailedWriteOfAnImportLosesNothingHeld) {
    const std::string why = qvtest::strace_unusable();
    if (!why.empty()) GTEST_SKIP() << why;
    const bytes k1 = filled(32, 0x41), k2 = filled(32, 0x42), other = filled(16, 0xa5);
    bytes exp;
    {
        auto src = open("src");
        ASSERT_EQ(quorvane_msgstore_put_conv(src.get(), u8(kGroup), u8(k1)), 0);
        ASSERT_EQ(add(src.get(), kGroup, text_msg(3, 30)), 1);
        ASSERT_EQ(quorvane_msgstore_put_conv(src.get(), u8(other), u8(k1)), 0);
        ASSERT_EQ(add(src.get(), other, text_msg(4, 40)), 1);
        exp = export_of(src.get());
    }
    int injected = 0;
    for (const char *call : {"write", "fsync", "rename"})
        for (int when = 1; when <= 4; when++) {
            const std::string inject = std::string(call) + ":error=EIO:when=" + std::to_string(when);
            SCOPED_TRACE(inject);
            const std::string sub = tmp.file(std::string("fault-") + call + std::to_string(when));
            {
                auto ms = open_store(sub);
                ASSERT_TRUE(ms);
                ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(kGroup), u8(k2)), 0);
                ASSERT_EQ(add(ms.get(), kGroup, text_msg(1, 10)), 1);
                ASSERT_EQ(add(ms.get(), kGroup, text_msg(2, 20)), 1);
                ASSERT_EQ(quorvane_msgstore_set_read_mark(ms.get(), u8(kGroup), 20), 1);
            }
            FILE *f = fopen((sub + ".export").c_str(), "wb");
            ASSERT_TRUE(f);
            ASSERT_EQ(fwrite(exp.data(), 1, exp.size(), f), exp.size());
            fclose(f);
            std::vector<std::string> paths;
            for (const std::string &n : {"m_" + hex(kGroup) + ".dat", "m_" + hex(other) + ".dat", std::string("convs.dat")})
                paths.push_back(sub + "/" + n + ".tmp");
            qvtest::Traced t = qvtest::run_self_traced(tmp, {std::string(kImportFaultEnv) + "=" + sub}, paths, {inject});
            ASSERT_TRUE(t.status == 0 || t.status == 1) << t.log;
            if (t.log.find("(INJECTED)") != std::string::npos) injected++;
            auto ms = open_store(sub);
            ASSERT_TRUE(ms);
            for (const std::string &n : {std::string("convs.dat"), "m_" + hex(kGroup) + ".dat"})
                EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), n.c_str()), 0) << n << " torn";
            uint8_t keys[8][32];
            ASSERT_GE(quorvane_msgstore_get_conv_keys(ms.get(), u8(kGroup), keys, 8), 1u);
            EXPECT_EQ(bytes(reinterpret_cast<char *>(keys[0]), 32), k2) << "the held key is no longer current";
            const std::vector<uint64_t> got = ids(live(ms.get(), kGroup));
            EXPECT_EQ(std::vector<uint64_t>(got.begin(), got.begin() + std::min<size_t>(2, got.size())), (std::vector<uint64_t>{1, 2}))
                << "held messages lost";
            EXPECT_EQ(quorvane_msgstore_read_mark(ms.get(), u8(kGroup)), 20u);
            if (t.status == 0) {
                EXPECT_EQ(got, (std::vector<uint64_t>{1, 2, 3})) << "reported done, not on disk";
                EXPECT_EQ(ids(live(ms.get(), other)), std::vector<uint64_t>{4}) << "reported done, not on disk";
                EXPECT_EQ(quorvane_msgstore_get_conv_keys(ms.get(), u8(kGroup), keys, 8), 2u) << "reported done, not on disk";
            }
        }
    EXPECT_GE(injected, 6) << "too few faults landed to call this a fault test";
}

TEST_F(History, ImportedMessagesFollowTheHeldOnes) {
    auto a = open("a");
    ASSERT_EQ(quorvane_msgstore_put_conv(a.get(), u8(kGroup), u8(filled(32, 1))), 0);
    ASSERT_EQ(add(a.get(), kGroup, text_msg(1, 5)), 1);
    ASSERT_EQ(add(a.get(), kGroup, text_msg(2, 6)), 1);
    auto b = open("b");
    ASSERT_EQ(quorvane_msgstore_put_conv(b.get(), u8(kGroup), u8(filled(32, 1))), 0);
    ASSERT_EQ(add(b.get(), kGroup, text_msg(9, 1)), 1);
    ASSERT_EQ(add(b.get(), kGroup, text_msg(2, 6)), 1);
    ASSERT_EQ(import(b.get(), export_of(a.get())), 0);
    ASSERT_EQ(import(b.get(), export_of(a.get())), 0);
    EXPECT_EQ(ids(live(b.get(), kGroup)), (std::vector<uint64_t>{9, 2, 1}));
    b = open("b");
    EXPECT_EQ(ids(live(b.get(), kGroup)), (std::vector<uint64_t>{9, 2, 1}));
}

// A backup restored twice with a trim in between: what the trim moved to
// the archive is held, and does not come back live beside its archived copy.
TEST_F(History, ArchivedMessagesAreHeldAtASecondImport) {
    auto a = open("a");
    ASSERT_EQ(quorvane_msgstore_put_conv(a.get(), u8(kGroup), u8(filled(32, 1))), 0);
    for (uint64_t i = 1; i <= 4; i++) ASSERT_EQ(add(a.get(), kGroup, text_msg(i, i)), 1);
    const bytes x = export_of(a.get());
    auto b = open("b");
    (void)quorvane_msgstore_set_msg_cap(b.get(), 3);
    ASSERT_EQ(import(b.get(), x), 0);
    ASSERT_EQ(add(b.get(), kGroup, text_msg(9, 9)), 1);  // trims 1 and 2 to the archive
    ASSERT_EQ(ids(archived(b.get(), kGroup)), (std::vector<uint64_t>{1, 2}));
    ASSERT_EQ(import(b.get(), x), 0);
    EXPECT_EQ(ids(live(b.get(), kGroup)), (std::vector<uint64_t>{3, 4, 9}));
    EXPECT_EQ(ids(archived(b.get(), kGroup)), (std::vector<uint64_t>{1, 2}));
}

}  // namespace
