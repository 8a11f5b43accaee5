// Message store: messages, reactions, trimming into the archive and retention,
// with the message files of every older version; histories learned again after
// the conversation list was lost, through failed calls, allocations and kills.
#include "msgstore_fixture.h"

namespace {

/* ---- messages ------------------------------------------------------------------ */

using mstest::make_rec;
using mstest::msg_in;

const bytes kAlice = filled(16, 0x61), kBob = filled(16, 0x71);

using mstest::add;

msg_in text_msg(uint64_t id, uint64_t position, const bytes &author = kAlice) { return mstest::text_msg(id, position, author); }

// Message ids in list order.
std::vector<uint64_t> ids_of(quorvane_msgstore *ms, const bytes &conv) {
    std::vector<uint64_t> out;
    auto r = std::make_unique<quorvane_ms_msgrec>();
    for (size_t i = 0; quorvane_msgstore_msg_at(ms, u8(conv), i, r.get()) == 0; i++) out.push_back(r->msg_id);
    return out;
}

std::vector<quorvane_ms_msgrec> scan(quorvane_msgstore *ms, const bytes &conv) {
    std::vector<quorvane_ms_msgrec> out;
    size_t n = quorvane_msgstore_archive_scan(ms, u8(conv), [](void *u, const quorvane_ms_msgrec *r) {
        static_cast<std::vector<quorvane_ms_msgrec> *>(u)->push_back(*r);
    }, &out);
    EXPECT_EQ(n, out.size());
    return out;
}

std::vector<uint64_t> archive_ids(quorvane_msgstore *ms, const bytes &conv) {
    std::vector<uint64_t> out;
    for (const auto &r : scan(ms, conv)) out.push_back(r.msg_id);
    return out;
}

class Messages : public Msgstore {
  protected:
    const bytes c = id.conv;
    store_ptr ms = open_store(dir);
    void SetUp() override { ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(filled(32, 7))), 0); }
    void reopen() {
        ms.reset();
        ms = open_store(dir);
    }
};

// Message files of every version load with zeros for what they lack, and the
// first change writes the newest version.
TEST_F(Msgstore, MessageFileOfEveryVersionLoadsAndIsRewritten) {
    for (int v = 2; v <= 9; v++) {
        SCOPED_TRACE(v);
        std::string sub = tmp.file("mv" + std::to_string(v));
        ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
        copy_file(kData + "convs-22.dat", sub + "/convs.dat");
        copy_file(kData + "msgs-" + std::to_string(v) + ".dat", sub + "/" + msgs_name(kA));
        const bytes original = qvtest::read_file(sub + "/" + msgs_name(kA));
        auto check = [&](quorvane_msgstore *ms, size_t count) {
            ASSERT_EQ(quorvane_msgstore_msg_count(ms, u8(kA)), count);
            EXPECT_EQ(quorvane_msgstore_mark_count(ms, u8(kA)), v >= 9 ? 4u : 0u);
            EXPECT_EQ(quorvane_msgstore_unreadable(ms, msgs_name(kA).c_str()), 0);
            auto r = std::make_unique<quorvane_ms_msgrec>();
            ASSERT_EQ(quorvane_msgstore_msg_at(ms, u8(kA), 0, r.get()), 0);
            EXPECT_EQ(raw(r->conv_id, 16), kA);
            EXPECT_EQ(raw(r->author, 16), kAlice);
            EXPECT_EQ(r->msg_id, 1u);
            EXPECT_EQ(r->time, 1000u);
            EXPECT_EQ(r->type, 1);
            EXPECT_STREQ(r->text, "hello");
            EXPECT_EQ(r->edited, v >= 4 ? 1 : 0);
            EXPECT_EQ(raw(r->author_device, 32), v >= 5 ? filled(32, 0x62) : filled(32, 0));
            EXPECT_EQ(r->position, v >= 8 ? 100u : 0u);
            ASSERT_EQ(quorvane_msgstore_msg_at(ms, u8(kA), 1, r.get()), 0);
            EXPECT_EQ(r->text_len, 0u);
            EXPECT_EQ(r->send_status, v >= 7 ? 2 : 0);
            EXPECT_EQ(r->position, v >= 8 ? 200u : 0u);
            ASSERT_EQ(quorvane_msgstore_msg_at(ms, u8(kA), 2, r.get()), 0);
            EXPECT_EQ(r->type, 4);
            EXPECT_EQ(r->text_len, 300u);
            EXPECT_EQ(std::string(r->text), std::string(300, 'f'));
            quorvane_ms_reaction_count rc[4];
            const bytes dev = filled(32, 0x62);
            ASSERT_EQ(quorvane_msgstore_reactions(ms, u8(kA), u8(kAlice), u8(dev), 1, u8(kBob), rc, 4), v >= 3 ? 1u : 0u);
            if (v >= 3) {
                EXPECT_STREQ(rc[0].name, "thumbs_up");
                EXPECT_EQ(rc[0].count, 1u);
                EXPECT_EQ(rc[0].mine, 1u);
            }
            // a reaction recorded with the device counts only for that device
            EXPECT_EQ(quorvane_msgstore_reactions(ms, u8(kA), u8(kAlice), nullptr, 1, nullptr, rc, 4),
                      v >= 3 && v < 6 ? 1u : 0u);
            EXPECT_EQ(quorvane_msgstore_reactions(ms, u8(kA), u8(kAlice), nullptr, 3, nullptr, rc, 4), v >= 3 ? 1u : 0u);
            if (v >= 3) {
                EXPECT_EQ(std::string(rc[0].name), std::string(32, 'x'));
            }
        };
        {
            auto ms = open_store(sub);
            check(ms.get(), 3);
            ms.reset();
            EXPECT_EQ(qvtest::read_file(sub + "/" + msgs_name(kA)), original) << "opening rewrote it";
            ms = open_store(sub);
            ASSERT_EQ(add(ms.get(), kA, text_msg(4, 0, kBob)), 1);
            EXPECT_EQ(quorvane_msgstore_conv_hidden(ms.get(), u8(kA)), 0) << "a new message shows the conversation";
            check(ms.get(), 4);
        }
        EXPECT_TRUE(names_in(sub, msgs_name(kA) + ".unread-").empty());
        fields f = script_describe("msgs", sub + "/" + msgs_name(kA));
        EXPECT_EQ(f["version"], std::to_string(QV_MS_MSGS_VERSION));
        EXPECT_EQ(f["count"], "4");
        EXPECT_EQ(f["marks"], v >= 9 ? "4" : "0");
        EXPECT_EQ(f["floors"], "0");
        EXPECT_EQ(f["complete"], "1");
        EXPECT_EQ(f["reactions"], v >= 3 ? "2" : "0");
        EXPECT_EQ(f["m0.edited"], v >= 4 ? "1" : "0");
        EXPECT_EQ(f["m1.status"], v >= 7 ? "2" : "0");
        EXPECT_EQ(f["m1.position"], v >= 8 ? "200" : "0");
        EXPECT_EQ(f["m3.author"], hex(kBob));
        EXPECT_EQ(f["m3.text"], hex("m4"));
        if (v >= 3) {
            EXPECT_EQ(f["r0.device"], v >= 6 ? hex(filled(32, 0x62)) : hex(filled(32, 0)));
        }
        auto ms = open_store(sub);
        check(ms.get(), 4);
        EXPECT_EQ(quorvane_msgstore_conv_hidden(ms.get(), u8(kA)), 0);
    }
}

TEST_F(Messages, InsertInPositionOrderAndDuplicates) {
    struct Step {
        const char *what;
        msg_in m;
        int result;
        std::vector<uint64_t> order;
    } steps[] = {
        {"10", text_msg(1, 10), 1, {1}},
        {"30", text_msg(3, 30), 1, {1, 3}},
        {"20", text_msg(2, 20), 1, {1, 2, 3}},
        {"25 between 20 and 30", text_msg(4, 25), 1, {1, 2, 4, 3}},
        {"5 at the front", text_msg(5, 5), 1, {5, 1, 2, 4, 3}},
        {"equal position after the held one", text_msg(7, 20), 1, {5, 1, 2, 7, 4, 3}},
        {"duplicate", text_msg(4, 25), 0, {5, 1, 2, 7, 4, 3}},
        {"duplicate without position", text_msg(4, 0), 0, {5, 1, 2, 7, 4, 3}},
        {"0 at the end", text_msg(6, 0), 1, {5, 1, 2, 7, 4, 3, 6}},
        {"after a position-0 message, which counts as lower", text_msg(8, 40), 1, {5, 1, 2, 7, 4, 3, 6, 8}},
        {"unplaced message gets its position", text_msg(6, 22), 0, {5, 1, 2, 7, 6, 4, 3, 8}},
        {"a placed one keeps its position", text_msg(6, 1), 0, {5, 1, 2, 7, 6, 4, 3, 8}},
        {"same id from another author", text_msg(5, 6, kBob), 1, {5, 5, 1, 2, 7, 6, 4, 3, 8}},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(s.what);
        uint32_t rev = quorvane_msgstore_conv_revision(ms.get(), u8(c));
        EXPECT_EQ(add(ms.get(), c, s.m), s.result);
        EXPECT_EQ(ids_of(ms.get(), c), s.order);
        EXPECT_EQ(quorvane_msgstore_conv_revision(ms.get(), u8(c)) != rev, s.result == 1 || strstr(s.what, "gets"));
    }
    // the same id and author from another device is another message
    msg_in other = text_msg(1, 11);
    other.device = filled(32, 0xdd);
    EXPECT_EQ(add(ms.get(), c, other), 1);
    EXPECT_EQ(quorvane_msgstore_oldest_cursor(ms.get(), u8(c)), 5u);
    reopen();
    EXPECT_EQ(ids_of(ms.get(), c), (std::vector<uint64_t>{5, 5, 1, 1, 2, 7, 6, 4, 3, 8}));
    auto r = std::make_unique<quorvane_ms_msgrec>();
    ASSERT_EQ(quorvane_msgstore_find_msg(ms.get(), u8(c), u8(kAlice), 6, r.get()), 0);
    EXPECT_EQ(r->position, 22u);
    EXPECT_STREQ(r->text, "m6");
    EXPECT_EQ(quorvane_msgstore_find_msg(ms.get(), u8(c), u8(kBob), 6, r.get()), -1);
}

TEST_F(Messages, TextLimitAndRefusals) {
    msg_in m = text_msg(1, 1);
    m.text = std::string(QV_MS_TEXT_MAX, 'x');
    EXPECT_EQ(add(ms.get(), c, m), 1);
    m.id = 2;
    m.text += "y";
    EXPECT_EQ(add(ms.get(), c, m), -1);
    EXPECT_EQ(add(ms.get(), id.conv2, text_msg(3, 1)), -1) << "not held";
    EXPECT_EQ(quorvane_msgstore_add_msg(ms.get(), nullptr), -1);
    EXPECT_EQ(quorvane_msgstore_add_msg(nullptr, make_rec(c, text_msg(4, 1)).get()), -1);
    reopen();
    auto r = std::make_unique<quorvane_ms_msgrec>();
    ASSERT_EQ(quorvane_msgstore_msg_at(ms.get(), u8(c), 0, r.get()), 0);
    EXPECT_EQ(r->text_len, QV_MS_TEXT_MAX);
    EXPECT_EQ(strlen(r->text), QV_MS_TEXT_MAX);
    EXPECT_EQ(quorvane_msgstore_msg_at(ms.get(), u8(c), 1, r.get()), -1);
    EXPECT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(id.conv2)), 0u);
}

// A message file that cannot be written takes the new message back out, and
// with it the raise of the history allowance it brought.
TEST_F(Messages, FailedWriteTakesTheNewMessageOut) {
    ASSERT_EQ(add(ms.get(), c, text_msg(1, 1)), 1);
    ASSERT_EQ(mkdir(file(msgs_name(c) + ".tmp").c_str(), 0700), 0);
    EXPECT_EQ(add(ms.get(), c, text_msg(2, 2)), -1);
    EXPECT_EQ(ids_of(ms.get(), c), std::vector<uint64_t>{1});
    EXPECT_EQ(quorvane_msgstore_set_send_status(ms.get(), u8(c), u8(kAlice), 1, 2), 0) << "status 0: not an own message";
    ASSERT_EQ(rmdir(file(msgs_name(c) + ".tmp").c_str()), 0);
    EXPECT_EQ(add(ms.get(), c, text_msg(2, 2)), 1);

    struct Case {
        const char *what;
        bool history;
        uint64_t allowance;  // before the add
    } cases[] = {
        {"history message", true, 0},
        {"live message above an allowance", false, 3},
        {"history message above an allowance", true, 3},
    };
    std::vector<uint64_t> held{1, 2};
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        const uint64_t next = held.back() + 1;
        ms->convs[0].history_allowance = k.allowance;
        ASSERT_EQ(mkdir(file(msgs_name(c) + ".tmp").c_str(), 0700), 0);
        EXPECT_EQ(add(ms.get(), c, text_msg(next, next), k.history), -1);
        EXPECT_EQ(ids_of(ms.get(), c), held);
        EXPECT_EQ(ms->convs[0].history_allowance, k.allowance);
        ASSERT_EQ(rmdir(file(msgs_name(c) + ".tmp").c_str()), 0);
        EXPECT_EQ(add(ms.get(), c, text_msg(next, next), k.history), 1);
        EXPECT_EQ(ms->convs[0].history_allowance, k.allowance + 1);
        held.push_back(next);
        EXPECT_EQ(script_describe("msgs", file(msgs_name(c)))["count"], std::to_string(held.size()));
    }
}

TEST_F(Messages, CapTrimsIntoTheArchiveAndDropsReactions) {
    EXPECT_EQ(quorvane_msgstore_set_msg_cap(ms.get(), 3), 0u);
    for (uint64_t i = 1; i <= 3; i++) ASSERT_EQ(add(ms.get(), c, text_msg(i, 10 * i)), 1);
    ASSERT_EQ(quorvane_msgstore_set_reaction(ms.get(), u8(c), u8(kAlice), nullptr, 1, u8(kBob), "up", 1), 0);
    ASSERT_EQ(quorvane_msgstore_set_reaction(ms.get(), u8(c), u8(kAlice), nullptr, 2, u8(kBob), "up", 1), 0);
    EXPECT_TRUE(scan(ms.get(), c).empty());
    EXPECT_FALSE(exists(file(arch_name(c))));
    ASSERT_EQ(add(ms.get(), c, text_msg(4, 40)), 1);
    EXPECT_EQ(ids_of(ms.get(), c), (std::vector<uint64_t>{2, 3, 4}));
    quorvane_ms_reaction_count rc[2];
    EXPECT_EQ(quorvane_msgstore_reactions(ms.get(), u8(c), u8(kAlice), nullptr, 1, nullptr, rc, 2), 0u);
    EXPECT_EQ(quorvane_msgstore_reactions(ms.get(), u8(c), u8(kAlice), nullptr, 2, nullptr, rc, 2), 1u);
    auto a = scan(ms.get(), c);
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].msg_id, 1u);
    EXPECT_EQ(a[0].position, 10u);
    EXPECT_EQ(a[0].time, 1001u);
    EXPECT_STREQ(a[0].text, "m1");
    EXPECT_EQ(raw(a[0].conv_id, 16), c);
    // system messages and deletion marks cut away are not archived
    msg_in sys = text_msg(5, 1);
    sys.type = QV_MS_TYPE_SYSTEM;
    ASSERT_EQ(add(ms.get(), c, sys), 1);
    EXPECT_EQ(ids_of(ms.get(), c), (std::vector<uint64_t>{2, 3, 4})) << "the oldest position went at once";
    ASSERT_EQ(quorvane_msgstore_delete_msg(ms.get(), u8(c), u8(kAlice), nullptr, 2), 1);
    ASSERT_EQ(add(ms.get(), c, text_msg(6, 60)), 1);
    EXPECT_EQ(archive_ids(ms.get(), c), std::vector<uint64_t>{1});
    // the script reads the archive as a search-index record under its label
    fields f = script_describe("archive", file(arch_name(c)));
    EXPECT_EQ(f["conv"], hex(c));
    EXPECT_EQ(f["count"], "1");
    EXPECT_EQ(f["e0.id"], "1");
    EXPECT_EQ(f["e0.position"], "10");
    EXPECT_EQ(f["e0.author"], hex(kAlice));
    EXPECT_EQ(f["e0.text"], hex("m1"));
    EXPECT_EQ(f["rest"], "0");
    reopen();
    EXPECT_EQ(ids_of(ms.get(), c), (std::vector<uint64_t>{3, 4, 6})) << "the cap is 2000 again after open";
    EXPECT_EQ(quorvane_msgstore_archive_clear(ms.get(), u8(c)), 0);
    EXPECT_FALSE(exists(file(arch_name(c))));
    EXPECT_EQ(quorvane_msgstore_archive_scan(ms.get(), u8(c), nullptr, nullptr), 0u);
    EXPECT_EQ(quorvane_msgstore_archive_clear(ms.get(), nullptr), -1);
}

// Messages beyond the cap leave only into the archive. While it cannot be
// written (a directory stands at its temporary name) nothing is trimmed: the
// messages stay live, in memory and on disk, and the first trim after the
// archive is writable again moves them there.
TEST_F(Msgstore, UnwritableArchiveTrimsNothing) {
    const bytes c = id.conv;
    auto cap2_then_add = [](quorvane_msgstore *ms, const bytes &conv) {
        (void)quorvane_msgstore_set_msg_cap(ms, 2);
        return long(add(ms, conv, text_msg(3, 3)));
    };
    auto lower_cap = [](quorvane_msgstore *ms, const bytes &) { return long(quorvane_msgstore_set_msg_cap(ms, 2)); };
    struct Case {
        const char *what;
        size_t held;                                             // messages 1..held before the trim
        std::function<long(quorvane_msgstore *, const bytes &)> trim;  // null: opening trims
        long blocked, unblocked;                                 // its result without and with the archive
        size_t live_blocked, live_after;                         // live messages then
    } cases[] = {
        {"a new message", 2, cap2_then_add, -1, 1, 2, 2},
        {"a lower cap", 3, lower_cap, 0, 1, 3, 2},
        {"opening", QV_MS_MSG_CAP_DEFAULT + 1, nullptr, 0, 0, QV_MS_MSG_CAP_DEFAULT + 1, QV_MS_MSG_CAP_DEFAULT},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        const std::string sub = tmp.file(std::string("trim") + std::to_string(&k - cases));
        const std::string msgs = sub + "/" + msgs_name(c), block = sub + "/" + arch_name(c) + ".tmp";
        {
            auto ms = open_store(sub);
            ASSERT_TRUE(ms);
            ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(filled(32, 7))), 0);
            for (uint64_t i = 1; k.trim && i <= k.held; i++) ASSERT_EQ(add(ms.get(), c, text_msg(i, i)), 1);
        }
        if (!k.trim) script_run("sealmsgs " + msgs + " " + kSecretHex + " 8 " + std::to_string(k.held) + " 8 5000");
        auto first_live = [&](quorvane_msgstore *ms) {
            auto r = std::make_unique<quorvane_ms_msgrec>();
            return quorvane_msgstore_msg_at(ms, u8(c), 0, r.get()) == 0 ? r->msg_id : 0;
        };
        auto trim = [&](store_ptr &ms) {
            if (k.trim) return k.trim(ms.get(), c);
            ms = open_store(sub);
            return ms ? 0L : -1L;
        };

        ASSERT_EQ(mkdir(block.c_str(), 0700), 0);
        auto ms = open_store(sub);
        ASSERT_TRUE(ms);
        EXPECT_EQ(trim(ms), k.blocked);
        EXPECT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(c)), k.live_blocked);
        EXPECT_EQ(first_live(ms.get()), 1u);
        ms = open_store(sub);
        EXPECT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(c)), k.live_blocked) << "none lost on disk";
        EXPECT_EQ(first_live(ms.get()), 1u);
        EXPECT_EQ(script_describe("msgs", msgs)["count"], std::to_string(k.live_blocked));
        EXPECT_FALSE(exists(sub + "/" + arch_name(c)));

        ASSERT_EQ(rmdir(block.c_str()), 0);
        EXPECT_EQ(trim(ms), k.unblocked);
        EXPECT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(c)), k.live_after);
        ms = open_store(sub);
        EXPECT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(c)), k.live_after);
        EXPECT_EQ(first_live(ms.get()), 2u);
        EXPECT_EQ(archive_ids(ms.get(), c), std::vector<uint64_t>{1}) << "the trimmed message reached the archive";
        EXPECT_EQ(script_describe("msgs", msgs)["count"], std::to_string(k.live_after));
    }
}

// Removing the archive, or emptying it, syncs the directory as a write does,
// so that a power cut cannot bring the removed entries back.
TEST_F(Msgstore, ArchiveRemovalsSyncTheDirectory) {
    const bytes c = id.conv;
    const uint64_t day = 86400000, later = 1000000000000ull;
    struct Case {
        const char *what;
        std::function<long(quorvane_msgstore *)> remove;
        long result;
        bool marked;  // the message file is written too: it keeps the delete for the message's return
    } cases[] = {
        {"cleared", [&](quorvane_msgstore *ms) { return long(quorvane_msgstore_archive_clear(ms, u8(c))); }, 0, false},
        {"emptied by retention",
         [&](quorvane_msgstore *ms) { return long(quorvane_msgstore_enforce_retention(ms, 1001 + 2 * day)); }, 0, false},
        {"emptied by a deletion",
         [&](quorvane_msgstore *ms) { return long(quorvane_msgstore_delete_msg(ms, u8(c), u8(kAlice), nullptr, 1)); }, 0,
         true},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        const std::string sub = tmp.file(std::string("arm") + std::to_string(&k - cases));
        auto ms = open_store(sub);
        ASSERT_TRUE(ms);
        ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(filled(32, 7))), 0);
        ASSERT_EQ(quorvane_msgstore_set_retention(ms.get(), u8(c), 1), 0);
        (void)quorvane_msgstore_set_msg_cap(ms.get(), 1);
        msg_in old = text_msg(1, 1), recent = text_msg(2, 2);
        old.time = 1000;
        recent.time = later;  // not expired, so the message file is not written
        ASSERT_EQ(add(ms.get(), c, old), 1);
        ASSERT_EQ(add(ms.get(), c, recent), 1);
        ASSERT_EQ(archive_ids(ms.get(), c), std::vector<uint64_t>{1});
        const bytes msgs = qvtest::read_file(sub + "/" + msgs_name(c));

        RefusedRun run = run_refusing_dir_opens([&] { return std::vector<long>{k.remove(ms.get())}; });
        ASSERT_TRUE(run.ran);
        EXPECT_EQ(run.results, std::vector<long>{k.result});
        EXPECT_EQ(run.dir_opens, k.marked ? 2 : 1) << "the directory was synced after the removal (and the write)";
        EXPECT_FALSE(exists(sub + "/" + arch_name(c)));
        EXPECT_EQ(qvtest::read_file(sub + "/" + msgs_name(c)) != msgs, k.marked);
        ms = open_store(sub);
        EXPECT_EQ(quorvane_msgstore_mark_count(ms.get(), u8(c)), k.marked ? 1u : 0u);
        EXPECT_EQ(ids_of(ms.get(), c), std::vector<uint64_t>{2});
        EXPECT_TRUE(scan(ms.get(), c).empty());
    }
}

// After history backfill the conversation may hold the cap plus the
// allowance; a new cap resets the allowance and trims at once.
TEST_F(Messages, HistoryAllowance) {
    EXPECT_EQ(quorvane_msgstore_set_msg_cap(ms.get(), 3), 0u);
    for (uint64_t i = 1; i <= 3; i++) ASSERT_EQ(add(ms.get(), c, text_msg(10 + i, 10 + i)), 1);
    ASSERT_EQ(add(ms.get(), c, text_msg(1, 1), true), 1);
    EXPECT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(c)), 4u);
    ASSERT_EQ(add(ms.get(), c, text_msg(20, 20)), 1);
    EXPECT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(c)), 5u) << "once above 0, every addition raises the allowance";
    EXPECT_EQ(ms->convs[0].history_allowance, 2u);
    uint32_t rev = quorvane_msgstore_conv_revision(ms.get(), u8(c));
    EXPECT_EQ(quorvane_msgstore_set_msg_cap(ms.get(), 3), 1u);
    EXPECT_EQ(ids_of(ms.get(), c), (std::vector<uint64_t>{12, 13, 20}));
    EXPECT_EQ(ms->convs[0].history_allowance, 0u);
    EXPECT_GT(quorvane_msgstore_conv_revision(ms.get(), u8(c)), rev);
    EXPECT_EQ(archive_ids(ms.get(), c), (std::vector<uint64_t>{1, 11}));
    EXPECT_EQ(quorvane_msgstore_set_msg_cap(ms.get(), 3), 0u) << "nothing left to trim";
    // the allowance stops at 20000
    ms->convs[0].history_allowance = QV_MS_HISTORY_ALLOWANCE_MAX - 1;
    ASSERT_EQ(add(ms.get(), c, text_msg(30, 30), true), 1);
    EXPECT_EQ(ms->convs[0].history_allowance, QV_MS_HISTORY_ALLOWANCE_MAX);
    ASSERT_EQ(add(ms.get(), c, text_msg(31, 31), true), 1);
    EXPECT_EQ(ms->convs[0].history_allowance, QV_MS_HISTORY_ALLOWANCE_MAX);
    // cap 0 trims nothing; a cap at the top of the range does not wrap with the allowance
    EXPECT_EQ(quorvane_msgstore_set_msg_cap(ms.get(), 0), 0u);
    ms->convs[0].history_allowance = 5;
    ms->msg_cap = UINT64_MAX;
    ASSERT_EQ(add(ms.get(), c, text_msg(32, 32)), 1);
    EXPECT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(c)), 6u);
}

// The archive holds at most 20000 entries; when trimming brings more, the
// oldest go, so recent history stays searchable.
TEST_F(Messages, FullArchiveKeepsTheNewest) {
    ms.reset();
    script_run("sealmsgs " + file(msgs_name(c)) + " " + kSecretHex + " 8 21999 8 5000");
    reopen();
    ASSERT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(c)), 2000u) << "trimmed to the cap at open";
    auto a = archive_ids(ms.get(), c);
    ASSERT_EQ(a.size(), 19999u);
    EXPECT_EQ(a.front(), 1u);
    EXPECT_EQ(a.back(), 19999u);
    EXPECT_EQ(script_describe("msgs", file(msgs_name(c)))["count"], "2000") << "written back at open";
    ASSERT_EQ(add(ms.get(), c, text_msg(30000, 30000)), 1);
    a = archive_ids(ms.get(), c);
    ASSERT_EQ(a.size(), 20000u);
    EXPECT_EQ(a.front(), 1u);
    EXPECT_EQ(a.back(), 20000u);
    ASSERT_EQ(add(ms.get(), c, text_msg(30001, 30001)), 1);
    a = archive_ids(ms.get(), c);
    ASSERT_EQ(a.size(), 20000u);
    EXPECT_EQ(a.front(), 2u) << "the oldest entry made room";
    EXPECT_EQ(a.back(), 20001u) << "the newly trimmed message is searchable";
}

// The archive record has a size limit too; the oldest entries go until it fits.
TEST_F(Messages, ArchiveSizeLimitDropsTheOldest) {
    ms.reset();
    script_run("sealmsgs " + file(msgs_name(c)) + " " + kSecretHex + " 8 6100 4096 0");
    reopen();
    ASSERT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(c)), 2000u);
    auto a = archive_ids(ms.get(), c);
    const size_t fit = (QV_SIDX_RECORD_MAX - QV_SIDX_HEADER_LEN) / (QV_SIDX_ENTRY_LEN + 4096);
    ASSERT_EQ(a.size(), fit);
    EXPECT_EQ(a.front(), 4100 - fit + 1);
    EXPECT_EQ(a.back(), 4100u);
}

TEST_F(Messages, DeleteAndEdit) {
    const bytes d1 = filled(32, 0xd1), d2 = filled(32, 0xd2);
    msg_in m1 = text_msg(1, 10), m1b = text_msg(1, 11), file_msg = text_msg(3, 30);
    m1.device = d1;
    m1b.device = d2;
    file_msg.type = QV_MS_TYPE_FILE;
    for (const auto &m : {m1, m1b, text_msg(2, 20), file_msg}) ASSERT_EQ(add(ms.get(), c, m), 1);
    struct Step {
        const char *what;
        bool edit;
        const bytes *device;
        uint64_t msg_id;
        const char *text;
        size_t len;
        int result;
    } steps[] = {
        {"edit another device's copy", true, &d2, 1, "second", 6, 1},
        {"edit a file message", true, nullptr, 3, "x", 1, 0},
        {"edit to an empty text", true, nullptr, 2, nullptr, 0, 1},
        {"edit what is not there", true, nullptr, 9, "x", 1, 0},
        {"edit over the limit", true, nullptr, 2, "x", QV_MS_TEXT_MAX + 1, -1},
        {"edit without text", true, nullptr, 2, nullptr, 1, -1},
        {"delete one device's copy", false, &d1, 1, nullptr, 0, 1},
        {"delete it again", false, &d1, 1, nullptr, 0, 0},
        {"delete any device: the first copy is a mark already", false, nullptr, 1, nullptr, 0, 0},
        {"delete what is not there", false, nullptr, 9, nullptr, 0, 0},
        {"edit a deletion mark", true, &d1, 1, "x", 1, 0},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(s.what);
        const uint8_t *dev = s.device ? u8(*s.device) : nullptr;
        int r = s.edit ? quorvane_msgstore_edit_msg(ms.get(), u8(c), u8(kAlice), dev, s.msg_id, s.text, s.len)
                       : quorvane_msgstore_delete_msg(ms.get(), u8(c), u8(kAlice), dev, s.msg_id);
        EXPECT_EQ(r, s.result);
    }
    reopen();
    auto r = std::make_unique<quorvane_ms_msgrec>();
    struct Want {
        size_t index;
        uint8_t type, edited;
        const char *text;
    } wants[] = {{0, 8, 0, ""}, {1, 1, 1, "second"}, {2, 1, 1, ""}, {3, 4, 0, "m3"}};
    for (const auto &w : wants) {
        SCOPED_TRACE(w.index);
        ASSERT_EQ(quorvane_msgstore_msg_at(ms.get(), u8(c), w.index, r.get()), 0);
        EXPECT_EQ(r->type, w.type);
        EXPECT_EQ(r->edited, w.edited);
        EXPECT_STREQ(r->text, w.text);
        EXPECT_EQ(r->text_len, strlen(w.text));
    }
    EXPECT_EQ(quorvane_msgstore_delete_msg(ms.get(), u8(id.conv2), u8(kAlice), nullptr, 1), -1);
    EXPECT_EQ(quorvane_msgstore_edit_msg(ms.get(), u8(id.conv2), u8(kAlice), nullptr, 1, "x", 1), -1);
}

// Deleting a message also takes it out of the archive: with a device only
// that device's copy, without one every copy.
TEST_F(Messages, DeleteReachesTheArchive) {
    EXPECT_EQ(quorvane_msgstore_set_msg_cap(ms.get(), 1), 0u);
    const bytes d1 = filled(32, 0xd1), d2 = filled(32, 0xd2);
    msg_in a = text_msg(1, 1), b = text_msg(1, 2), other = text_msg(2, 3);
    a.device = d1;
    b.device = d2;
    for (const auto &m : {a, b, other, text_msg(3, 4), text_msg(4, 5)}) ASSERT_EQ(add(ms.get(), c, m), 1);
    ASSERT_EQ(archive_ids(ms.get(), c), (std::vector<uint64_t>{1, 1, 2, 3}));
    EXPECT_EQ(quorvane_msgstore_delete_msg(ms.get(), u8(c), u8(kAlice), u8(d2), 1), 0) << "not live";
    auto left = scan(ms.get(), c);
    ASSERT_EQ(left.size(), 3u);
    EXPECT_EQ(raw(left[0].author_device, 32), d1);
    EXPECT_EQ(quorvane_msgstore_delete_msg(ms.get(), u8(c), u8(kAlice), nullptr, 1), 0);
    EXPECT_EQ(archive_ids(ms.get(), c), (std::vector<uint64_t>{2, 3}));
    // an edit leaves the archive as it is
    EXPECT_EQ(quorvane_msgstore_edit_msg(ms.get(), u8(c), u8(kAlice), nullptr, 4, "new", 3), 1);
    EXPECT_EQ(archive_ids(ms.get(), c), (std::vector<uint64_t>{2, 3}));
    EXPECT_EQ(quorvane_msgstore_delete_msg(ms.get(), u8(c), u8(kAlice), nullptr, 2), 0);
    EXPECT_EQ(quorvane_msgstore_delete_msg(ms.get(), u8(c), u8(kAlice), nullptr, 3), 0);
    EXPECT_FALSE(exists(file(arch_name(c)))) << "an archive with nothing left is removed";
}

TEST_F(Messages, SendStatus) {
    msg_in own = text_msg(1, 0, kBob);
    own.status = 1;
    ASSERT_EQ(add(ms.get(), c, text_msg(1, 1)), 1);
    ASSERT_EQ(add(ms.get(), c, own), 1);
    struct Step {
        const bytes *author;
        uint64_t id;
        int status, result;
    } steps[] = {
        {&kBob, 1, 0, -1}, {&kBob, 1, 4, -1}, {&kAlice, 1, 2, 0}, {&kBob, 2, 2, 0},
        {&kBob, 1, 2, 1},  {&kBob, 1, 2, 0},  {&kBob, 1, 3, 1},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(std::to_string(s.id) + "/" + std::to_string(s.status));
        uint32_t rev = quorvane_msgstore_conv_revision(ms.get(), u8(c));
        EXPECT_EQ(quorvane_msgstore_set_send_status(ms.get(), u8(c), u8(*s.author), s.id, s.status), s.result);
        EXPECT_EQ(quorvane_msgstore_conv_revision(ms.get(), u8(c)) - rev, s.result == 1 ? 1u : 0u);
    }
    reopen();
    auto r = std::make_unique<quorvane_ms_msgrec>();
    ASSERT_EQ(quorvane_msgstore_find_msg(ms.get(), u8(c), u8(kBob), 1, r.get()), 0);
    EXPECT_EQ(r->send_status, 3);
    ASSERT_EQ(quorvane_msgstore_find_msg(ms.get(), u8(c), u8(kAlice), 1, r.get()), 0);
    EXPECT_EQ(r->send_status, 0);
}

TEST_F(Messages, ReactionsStoredOnceAndCounted) {
    const bytes carol = filled(16, 0x81), d = filled(32, 0xd1), d2 = filled(32, 0xd2);
    ASSERT_EQ(add(ms.get(), c, text_msg(1, 1)), 1);
    EXPECT_EQ(quorvane_msgstore_set_reaction(ms.get(), u8(c), u8(kAlice), nullptr, 1, u8(kBob), "", 1), -1);
    EXPECT_EQ(quorvane_msgstore_set_reaction(ms.get(), u8(c), u8(kAlice), nullptr, 1, u8(kBob),
                                             std::string(33, 'n').c_str(), 1), -1);
    EXPECT_EQ(quorvane_msgstore_set_reaction(ms.get(), u8(c), u8(kAlice), nullptr, 1, nullptr, "up", 1), -1);
    EXPECT_EQ(quorvane_msgstore_set_reaction(ms.get(), u8(id.conv2), u8(kAlice), nullptr, 1, u8(kBob), "up", 1), -1);
    struct Step {
        const bytes *user, *device;
        const char *name;
        int add, result;
        bool revision;
    } steps[] = {
        {&kBob, nullptr, "up", 1, 0, true},
        {&kBob, nullptr, "up", 1, 0, false},   // stored once
        {&carol, nullptr, "up", 1, 0, true},
        {&carol, &d, "heart", 1, 0, true},
        {&kBob, &d2, "heart", 1, 0, true},
        {&kBob, nullptr, "laugh", 1, 0, true},
        {&kBob, nullptr, "sad", 0, 0, false},  // removing what is not there
        {&carol, nullptr, "up", 0, 0, true},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(s.name);
        uint32_t rev = quorvane_msgstore_conv_revision(ms.get(), u8(c));
        EXPECT_EQ(quorvane_msgstore_set_reaction(ms.get(), u8(c), u8(kAlice), s.device ? u8(*s.device) : nullptr, 1,
                                                 u8(*s.user), s.name, s.add), s.result);
        EXPECT_EQ(quorvane_msgstore_conv_revision(ms.get(), u8(c)) != rev, s.revision);
    }
    EXPECT_EQ(ms->convs[0].reaction_count, 4u);
    // the slot the last record was moved out of keeps no copy of it
    ASSERT_GT(ms->convs[0].reaction_alloc, 4u);
    EXPECT_EQ(raw(reinterpret_cast<const uint8_t *>(&ms->convs[0].reactions[4]), sizeof(quorvane_ms_reaction)),
              filled(sizeof(quorvane_ms_reaction), 0));
    reopen();
    quorvane_ms_reaction_count rc[3];
    // no device: only device-less reactions; with d: those and d's
    ASSERT_EQ(quorvane_msgstore_reactions(ms.get(), u8(c), u8(kAlice), nullptr, 1, u8(kBob), rc, 3), 2u);
    EXPECT_STREQ(rc[0].name, "up");
    EXPECT_EQ(rc[0].count, 1u);
    EXPECT_EQ(rc[0].mine, 1u);
    EXPECT_STREQ(rc[1].name, "laugh");
    ASSERT_EQ(quorvane_msgstore_reactions(ms.get(), u8(c), u8(kAlice), u8(d), 1, u8(carol), rc, 3), 3u);
    EXPECT_STREQ(rc[2].name, "heart");
    EXPECT_EQ(rc[2].count, 1u);
    EXPECT_EQ(rc[2].mine, 1u);
    EXPECT_EQ(rc[0].mine, 0u);
    // a full summary skips new names and keeps counting known ones
    ASSERT_EQ(quorvane_msgstore_set_reaction(ms.get(), u8(c), u8(kAlice), nullptr, 1, u8(carol), "up", 1), 0);
    ASSERT_EQ(quorvane_msgstore_reactions(ms.get(), u8(c), u8(kAlice), u8(d2), 1, nullptr, rc, 1), 1u);
    EXPECT_STREQ(rc[0].name, "up");
    EXPECT_EQ(rc[0].count, 2u);
    EXPECT_EQ(quorvane_msgstore_reactions(ms.get(), u8(c), u8(kAlice), nullptr, 2, nullptr, rc, 3), 0u);
    EXPECT_EQ(quorvane_msgstore_reactions(ms.get(), u8(c), nullptr, nullptr, 1, nullptr, rc, 3), 0u);
}

// Retention against a clock the test sets: expired messages, their reactions
// and their archive entries go; messages without a time never expire.
TEST_F(Messages, RetentionWithAGivenClock) {
    const uint64_t now = 1700000000000ull, hour = 3600000;
    ASSERT_EQ(quorvane_msgstore_set_msg_cap(ms.get(), 2), 0u);
    msg_in old_arch = text_msg(1, 1), undated_arch = text_msg(2, 2), old = text_msg(3, 3), undated = text_msg(4, 4),
             recent = text_msg(5, 5);
    old_arch.time = now - 30 * hour;
    undated_arch.time = 0;
    old.time = now - 25 * hour;
    undated.time = 0;
    recent.time = now - 23 * hour;
    for (const auto &m : {old_arch, undated_arch, old, undated}) ASSERT_EQ(add(ms.get(), c, m), 1);
    ASSERT_EQ(quorvane_msgstore_set_msg_cap(ms.get(), 3), 0u);
    ASSERT_EQ(add(ms.get(), c, recent), 1);
    ASSERT_EQ(archive_ids(ms.get(), c), (std::vector<uint64_t>{1, 2}));
    ASSERT_EQ(ids_of(ms.get(), c), (std::vector<uint64_t>{3, 4, 5}));
    ASSERT_EQ(quorvane_msgstore_set_reaction(ms.get(), u8(c), u8(kAlice), nullptr, 3, u8(kBob), "up", 1), 0);
    ASSERT_EQ(quorvane_msgstore_set_reaction(ms.get(), u8(c), u8(kAlice), nullptr, 5, u8(kBob), "up", 1), 0);
    // a second conversation without retention keeps everything
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(id.conv2), u8(filled(32, 3))), 0);
    ASSERT_EQ(add(ms.get(), id.conv2, old), 1);

    EXPECT_EQ(quorvane_msgstore_enforce_retention(ms.get(), now), 0u) << "no retention set";
    ASSERT_EQ(quorvane_msgstore_set_retention(ms.get(), u8(c), 1), 0);
    EXPECT_EQ(quorvane_msgstore_set_retention(ms.get(), u8(c), 1), 0);
    EXPECT_EQ(quorvane_msgstore_enforce_retention(ms.get(), 86400000), 0u) << "a period not below the clock";
    EXPECT_EQ(ids_of(ms.get(), c).size(), 3u);
    uint32_t rev = quorvane_msgstore_conv_revision(ms.get(), u8(c));
    EXPECT_EQ(quorvane_msgstore_enforce_retention(ms.get(), now), 1u);
    EXPECT_EQ(ids_of(ms.get(), c), (std::vector<uint64_t>{4, 5}));
    EXPECT_EQ(archive_ids(ms.get(), c), std::vector<uint64_t>{2}) << "undated archive entries stay";
    EXPECT_EQ(quorvane_msgstore_conv_revision(ms.get(), u8(c)), rev + 1);
    quorvane_ms_reaction_count rc[2];
    EXPECT_EQ(quorvane_msgstore_reactions(ms.get(), u8(c), u8(kAlice), nullptr, 3, nullptr, rc, 2), 0u);
    EXPECT_EQ(quorvane_msgstore_reactions(ms.get(), u8(c), u8(kAlice), nullptr, 5, nullptr, rc, 2), 1u);
    EXPECT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(id.conv2)), 1u);
    EXPECT_EQ(quorvane_msgstore_enforce_retention(ms.get(), now), 0u);
    // an hour later the 23-hour message is still inside the day; two hours later it is not
    EXPECT_EQ(quorvane_msgstore_enforce_retention(ms.get(), now + hour - 1), 0u);
    EXPECT_EQ(quorvane_msgstore_enforce_retention(ms.get(), now + hour + 1), 1u);
    reopen();
    EXPECT_EQ(ids_of(ms.get(), c), std::vector<uint64_t>{4});
}

TEST_F(Messages, ForgetHidesAndANewMessageBringsItBack) {
    ASSERT_EQ(quorvane_msgstore_set_msg_cap(ms.get(), 1), 0u);
    ASSERT_EQ(add(ms.get(), c, text_msg(1, 1)), 1);
    ASSERT_EQ(add(ms.get(), c, text_msg(2, 2)), 1);
    quorvane_msgstore_note_cursor(ms.get(), u8(c), 2);
    uint32_t rev = quorvane_msgstore_conv_revision(ms.get(), u8(c));
    ASSERT_EQ(quorvane_msgstore_forget_conv(ms.get(), u8(c)), 0);
    EXPECT_EQ(quorvane_msgstore_conv_revision(ms.get(), u8(c)), rev + 1);
    EXPECT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(c)), 0u);
    EXPECT_FALSE(exists(file(msgs_name(c))));
    EXPECT_TRUE(exists(file(arch_name(c)))) << "the archive stays";
    EXPECT_EQ(quorvane_msgstore_history_floor(ms.get(), u8(c)), 2u);
    reopen();
    EXPECT_EQ(quorvane_msgstore_conv_hidden(ms.get(), u8(c)), 1);
    uint8_t key[32];
    EXPECT_EQ(quorvane_msgstore_get_conv(ms.get(), u8(c), key), 1) << "the key stays";
    ASSERT_EQ(add(ms.get(), c, text_msg(3, 3)), 1);
    EXPECT_EQ(quorvane_msgstore_conv_hidden(ms.get(), u8(c)), 0);
    reopen();
    EXPECT_EQ(quorvane_msgstore_conv_hidden(ms.get(), u8(c)), 0) << "written at once";
    EXPECT_EQ(ids_of(ms.get(), c), std::vector<uint64_t>{3});
}

TEST_F(Messages, UnreadCount) {
    msg_in sys = text_msg(3, 30), reply = text_msg(4, 40), unplaced = text_msg(6, 0);
    sys.type = QV_MS_TYPE_SYSTEM;
    reply.type = 10;
    for (const auto &m : {text_msg(1, 10), text_msg(2, 20, kBob), sys, reply, text_msg(5, 50), unplaced})
        ASSERT_EQ(add(ms.get(), c, m), 1);
    uint64_t high = 9;
    EXPECT_EQ(quorvane_msgstore_unread(ms.get(), u8(id.conv2), nullptr, &high), 0u);
    EXPECT_EQ(high, 0u);
    EXPECT_EQ(quorvane_msgstore_unread(ms.get(), u8(c), nullptr, &high), 4u);
    EXPECT_EQ(high, 50u);
    EXPECT_EQ(quorvane_msgstore_unread(ms.get(), u8(c), u8(kBob), nullptr), 3u);
    ASSERT_EQ(quorvane_msgstore_set_read_mark(ms.get(), u8(c), 20), 1);
    EXPECT_EQ(quorvane_msgstore_unread(ms.get(), u8(c), u8(kBob), &high), 2u);
    ASSERT_EQ(quorvane_msgstore_set_read_mark(ms.get(), u8(c), 50), 1);
    EXPECT_EQ(quorvane_msgstore_unread(ms.get(), u8(c), nullptr, nullptr), 0u);
}

// Message texts at the limit and one byte over it, in files the script builds.
TEST_F(Messages, MessageFileTextLimitOnReading) {
    struct Case {
        size_t text;
        size_t loaded;
        int unreadable;
    } cases[] = {{QV_MS_TEXT_MAX, 3, 0}, {QV_MS_TEXT_MAX + 1, 0, 1}};
    for (const auto &k : cases) {
        SCOPED_TRACE(k.text);
        ms.reset();
        script_run("sealmsgs " + file(msgs_name(c)) + " " + kSecretHex + " 8 3 " + std::to_string(k.text) + " 0");
        reopen();
        EXPECT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(c)), k.loaded);
        EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), msgs_name(c).c_str()), k.unreadable);
    }
}

// Message and archive files that do not open, or stop at a bad entry, are
// kept aside before the store writes them again; what was read stays.
TEST_F(Messages, UnusableMessageAndArchiveFilesAreKeptAside) {
    ASSERT_EQ(quorvane_msgstore_set_msg_cap(ms.get(), 2), 0u);
    for (uint64_t i = 1; i <= 4; i++) ASSERT_EQ(add(ms.get(), c, text_msg(i, i)), 1);
    ms.reset();
    const std::string mpath = file(msgs_name(c)), apath = file(arch_name(c));
    struct Case {
        const char *what;
        std::string path;
        std::function<bytes(const bytes &)> damage;
        std::vector<uint64_t> live, archived;  // what the store holds after open
    };
    auto flip = [](const bytes &f) {
        bytes g = f;
        g[g.size() / 2] ^= 0x04;
        return g;
    };
    // the message file with its last entry cut: re-sealed by the script
    auto cut_last = [&](const bytes &) {
        auto o = script({"open " + mpath + " " + kSecretHex});
        bytes pt = unhex(o[0].at(1));
        auto s = script({"seal " + mpath + " " + kSecretHex + " " + hex(pt.substr(0, pt.size() - 20))});
        EXPECT_EQ(s[0], std::vector<std::string>{"OK"});
        return qvtest::read_file(mpath);
    };
    const Case cases[] = {
        {"message file, flipped bit", mpath, flip, {}, {1, 2}},
        {"message file, last entry cut", mpath, cut_last, {3}, {1, 2}},
        {"archive, flipped bit", apath, flip, {3, 4}, {}},
    };
    const bytes mfile = qvtest::read_file(mpath), afile = qvtest::read_file(apath);
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        qvtest::write_file(mpath, mfile);
        qvtest::write_file(apath, afile);
        for (const auto &n : names_in(dir, msgs_name(c) + ".unread-")) unlink(file(n).c_str());
        for (const auto &n : names_in(dir, arch_name(c) + ".unread-")) unlink(file(n).c_str());
        bytes damaged = k.damage(qvtest::read_file(k.path));
        qvtest::write_file(k.path, damaged);
        std::string name = k.path.substr(dir.size() + 1);
        reopen();
        EXPECT_EQ(ids_of(ms.get(), c), k.live);
        EXPECT_EQ(archive_ids(ms.get(), c), k.archived);
        EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), name.c_str()), 1);
        EXPECT_EQ(qvtest::read_file(k.path), damaged) << "untouched until written";
        // a trim writes both files
        ASSERT_EQ(quorvane_msgstore_set_msg_cap(ms.get(), 1), k.live.size() > 1 ? 1u : 0u);
        ASSERT_EQ(add(ms.get(), c, text_msg(9, 9)), 1);
        auto asides = names_in(dir, name + ".unread-");
        ASSERT_EQ(asides.size(), 1u);
        EXPECT_EQ(qvtest::read_file(file(asides[0])), damaged);
        EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), name.c_str()), 0);
        ms.reset();
    }
}

/* ---- a history whose list entry was lost ----------------------------------- */

// A version-8 message file's plaintext holding messages 1..n at positions 1..n.
bytes msgs_plaintext(uint64_t n) {
    bytes pt(1, char(8));  // the layout below is version 8's
    auto be = [&](uint64_t v, int w) {
        for (int k = w - 1; k >= 0; k--) pt += char(v >> (8 * k));
    };
    be(n, 4);
    for (uint64_t i = 1; i <= n; i++) {
        const std::string text = std::string("m").append(std::to_string(i));
        pt += kAlice;
        be(i, 8);
        be(1000 + i, 8);
        pt += char(QV_MS_TYPE_TEXT);
        pt += '\0';
        be(text.size(), 4);
        pt += text;
        pt += filled(32, 0);
        pt += '\0';
        be(i, 8);
    }
    be(0, 4);
    return pt;
}

// The conversation list cannot be used at open (a newer version after a
// downgrade, or a flipped bit), so the conversation is unknown; when it is
// learned again, its message file on disk is read as open reads it, and the
// next message extends that history. A message file that cannot be used is
// kept aside before it is rewritten.
TEST_F(Msgstore, HistoryComesBackWhenTheConversationIsLearnedAgain) {
    const bytes c = id.conv, key = filled(32, 7);
    enum class List { Newer, FlipBit };
    struct Case {
        const char *what;
        List list;
        bool locked;        // learned as a placeholder without key
        bool damage_msgs;   // the message file has a flipped bit too
        uint64_t on_disk;   // messages in the file (written by the script past 3)
        std::vector<uint64_t> live, archived;  // after the new message and a reopen
    };
    std::vector<uint64_t> last2000;
    for (uint64_t i = 5; i <= 2003; i++) last2000.push_back(i);
    last2000.push_back(9999);
    const Case cases[] = {
        {"newer list, put", List::Newer, false, false, 3, {1, 2, 3, 9999}, {}},
        {"flipped list, put", List::FlipBit, false, false, 3, {1, 2, 3, 9999}, {}},
        {"newer list, placeholder", List::Newer, true, false, 3, {1, 2, 3, 9999}, {}},
        {"flipped list, unusable message file", List::FlipBit, false, true, 3, {9999}, {}},
        {"newer list, placeholder, unusable message file", List::Newer, true, true, 3, {9999}, {}},
        {"newer list, history over the cap is trimmed", List::Newer, false, false, 2003, last2000, {1, 2, 3, 4}},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        const std::string sub = tmp.file(std::string("lost") + std::to_string(&k - cases));
        const std::string mpath = sub + "/" + msgs_name(c), lpath = sub + "/convs.dat";
        {
            auto ms = open_store(sub);
            ASSERT_TRUE(ms);
            ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(key)), 0);
            for (uint64_t i = 1; i <= 3; i++) ASSERT_EQ(add(ms.get(), c, text_msg(i, i)), 1);
        }
        if (k.on_disk > 3) script_seal(mpath, msgs_plaintext(k.on_disk));
        if (k.list == List::Newer) {
            script_seal(lpath, bytes(1, char(QV_MS_CONVS_VERSION + 1)) + unhex("00000001") + filled(200, 1));
        } else {
            bytes f = qvtest::read_file(lpath);
            f[f.size() / 2] ^= 0x10;
            qvtest::write_file(lpath, f);
        }
        bytes mfile = qvtest::read_file(mpath);
        if (k.damage_msgs) {
            mfile[mfile.size() / 2] ^= 0x10;
            qvtest::write_file(mpath, mfile);
        }
        {
            auto ms = open_store(sub);
            ASSERT_TRUE(ms);
            ASSERT_EQ(quorvane_msgstore_conv_count(ms.get()), 0u);
            EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), "convs.dat"), 1);
            ASSERT_EQ(k.locked ? quorvane_msgstore_put_conv_locked(ms.get(), u8(c))
                               : quorvane_msgstore_put_conv(ms.get(), u8(c), u8(key)),
                      0);
            EXPECT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(c)),
                      k.damage_msgs ? 0u : std::min<uint64_t>(k.on_disk, QV_MS_MSG_CAP_DEFAULT));
            EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), msgs_name(c).c_str()), k.damage_msgs ? 1 : 0);
            ASSERT_EQ(add(ms.get(), c, text_msg(9999, 9999)), 1);
        }
        auto ms = open_store(sub);
        ASSERT_TRUE(ms);
        EXPECT_EQ(quorvane_msgstore_conv_locked(ms.get(), u8(c)), k.locked ? 1 : 0);
        EXPECT_EQ(ids_of(ms.get(), c), k.live);
        EXPECT_EQ(archive_ids(ms.get(), c), k.archived);
        auto asides = names_in(sub, msgs_name(c) + ".unread-");
        ASSERT_EQ(asides.size(), k.damage_msgs ? 1u : 0u);
        if (k.damage_msgs) {
            EXPECT_EQ(qvtest::read_file(sub + "/" + asides[0]), mfile) << "the aside holds the unusable history";
        }
        EXPECT_EQ(names_in(sub, "convs.dat.unread-").size(), 1u) << "the unusable list is kept too";
    }
}

/* ---- a directory sync that fails after the rename ---------------------------- */

// The subject: started with QV_MSGSTORE_SUBJECT set (under strace), this
// binary does one store operation on the store in QV_MSGSTORE_SUBJECT_DIR and
// exits before GoogleTest starts: 0 when the operation reported success, 1
// when it reported failure, 2 when the store did not open.
const bytes kSubjectState = filled(120, 0x5a);

int store_subject(const char *op, const char *dir) {
    const Ids ids;
    quorvane_msgstore *ms = quorvane_msgstore_open(dir, kSecret);
    if (!ms) return 2;
    bool ok = false;
    if (strcmp(op, "add") == 0) ok = add(ms, ids.conv, text_msg(2, 2)) == 1;
    else if (strcmp(op, "counter") == 0) ok = quorvane_msgstore_next_counter(ms, u8(ids.conv)) == 2;
    else if (strcmp(op, "profile") == 0) ok = quorvane_msgstore_set_self_profile(ms, "after", nullptr) == 0;
    else if (strcmp(op, "ratchet") == 0)
        ok = quorvane_msgstore_put_ratchet(ms, u8(ids.conv), u8(ids.dev), u8(kSubjectState), kSubjectState.size()) == 0;
    else if (strcmp(op, "label") == 0) ok = quorvane_msgstore_set_label(ms, u8(ids.conv), "after") == 0;
    else if (strcmp(op, "learn") == 0)
        ok = quorvane_msgstore_put_conv(ms, u8(ids.conv), u8(filled(32, 7))) == 0 && add(ms, ids.conv, text_msg(9999, 9999)) == 1;
    else if (strcmp(op, "delete") == 0) ok = quorvane_msgstore_delete_conv(ms, u8(ids.conv)) == 0;
    else if (strcmp(op, "forget") == 0) ok = quorvane_msgstore_forget_conv(ms, u8(ids.conv)) == 0;
    quorvane_msgstore_close(ms);
    return ok ? 0 : 1;
}

const int store_subject_hook = [] {
    const char *op = getenv("QV_MSGSTORE_SUBJECT"), *dir = getenv("QV_MSGSTORE_SUBJECT_DIR");
    if (op && dir) _exit(store_subject(op, dir));
    return 0;
}();

// Every sync of the store directory fails; the file syncs do not. Each write
// renames its file into place, so each must report success, and a reopen
// must find exactly what was reported: a message, a counter, a profile, a
// ratchet state that a caller was told were lost would come back, or be
// used twice, at the next start.
TEST_F(Msgstore, FailedDirectorySyncReportsWhatAReopenFinds) {
    const std::string why = qvtest::strace_unusable();
    if (!why.empty()) GTEST_SKIP() << why;
    struct Case {
        const char *op;
        std::function<void(quorvane_msgstore *)> holds;  // checks what the subject wrote
    } cases[] = {
        {"add", [&](quorvane_msgstore *ms) { EXPECT_EQ(ids_of(ms, id.conv), (std::vector<uint64_t>{1, 2})); }},
        {"counter", [&](quorvane_msgstore *ms) { EXPECT_EQ(quorvane_msgstore_next_counter(ms, u8(id.conv)), 3u); }},
        {"profile",
         [&](quorvane_msgstore *ms) {
             char name[80];
             ASSERT_EQ(quorvane_msgstore_get_self_profile(ms, name, sizeof name, nullptr, 0), 0);
             EXPECT_STREQ(name, "after");
         }},
        {"ratchet",
         [&](quorvane_msgstore *ms) {
             uint8_t b[200];
             ASSERT_EQ(quorvane_msgstore_get_ratchet(ms, u8(id.conv), u8(id.dev), b, sizeof b), kSubjectState.size());
             EXPECT_EQ(raw(b, kSubjectState.size()), kSubjectState);
         }},
        {"label",
         [&](quorvane_msgstore *ms) {
             char l[80];
             ASSERT_EQ(quorvane_msgstore_get_label(ms, u8(id.conv), l, sizeof l), 0);
             EXPECT_STREQ(l, "after");
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.op);
        const std::string sub = tmp.file(std::string("dirsync-") + c.op);
        {
            auto ms = open_store(sub);
            ASSERT_TRUE(ms);
            ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(id.conv), u8(filled(32, 7))), 0);
            ASSERT_EQ(add(ms.get(), id.conv, text_msg(1, 1)), 1);
            ASSERT_EQ(quorvane_msgstore_next_counter(ms.get(), u8(id.conv)), 1u);
            ASSERT_EQ(quorvane_msgstore_set_self_profile(ms.get(), "before", nullptr), 0);
            ASSERT_EQ(quorvane_msgstore_put_ratchet(ms.get(), u8(id.conv), u8(id.dev), u8(filled(90, 1)), 90), 0);
        }
        // only calls on the directory itself are traced, so only its syncs fail
        qvtest::Traced t = qvtest::run_self_traced(
            tmp, {std::string("QV_MSGSTORE_SUBJECT=") + c.op, "QV_MSGSTORE_SUBJECT_DIR=" + sub}, {sub},
            {"fsync:error=EIO"});
        EXPECT_NE(t.log.find("fsync("), std::string::npos) << t.log;
        EXPECT_NE(t.log.find("(INJECTED)"), std::string::npos) << t.log;
        EXPECT_EQ(t.status, 0) << "the rename happened, so the write is done\n" << t.log;
        for (const auto &n : names_in(sub, "")) EXPECT_EQ(n.find(".tmp"), std::string::npos) << n;
        auto ms = open_store(sub);
        ASSERT_TRUE(ms);
        c.holds(ms.get());
    }
}

// A message or archive file that cannot be removed (the unlink fails) when
// its conversation is deleted or forgotten: a reported success must hold at
// the next start, so the history the user removed never comes back, neither
// at open (forgotten) nor when the conversation is learned again (deleted). A
// failure leaves the conversation with its history, as memory had it.
TEST_F(Msgstore, RemovedHistoryStaysGoneWhenItsFileCannotBeRemoved) {
    const std::string why = qvtest::strace_unusable();
    if (!why.empty()) GTEST_SKIP() << why;
    struct Case {
        const char *op;
        bool archive;  // the archive file is the one that stays
    } cases[] = {{"delete", false}, {"delete", true}, {"forget", false}};
    for (const auto &k : cases) {
        SCOPED_TRACE(std::string(k.op) + (k.archive ? ", archive" : ", messages"));
        const std::string sub = tmp.file(std::string("unlink-") + k.op + (k.archive ? "-a" : "-m"));
        const std::string stays = sub + "/" + (k.archive ? "a_" + hex(id.conv) + ".dat" : msgs_name(id.conv));
        {
            auto ms = open_store(sub);
            ASSERT_TRUE(ms);
            ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(id.conv), u8(filled(32, 7))), 0);
            for (uint64_t i = 1; i <= 3; i++) ASSERT_EQ(add(ms.get(), id.conv, text_msg(i, i)), 1);
            ASSERT_EQ(quorvane_msgstore_set_msg_cap(ms.get(), 2), 1u);
        }
        qvtest::Traced t = qvtest::run_self_traced(
            tmp, {std::string("QV_MSGSTORE_SUBJECT=") + k.op, "QV_MSGSTORE_SUBJECT_DIR=" + sub}, {stays},
            {"unlink,unlinkat:error=EIO"});
        EXPECT_NE(t.log.find("(INJECTED)"), std::string::npos) << t.log;
        ASSERT_TRUE(t.status == 0 || t.status == 1) << t.log;
        auto ms = open_store(sub);
        ASSERT_TRUE(ms);
        if (t.status == 1) {
            EXPECT_EQ(ids_of(ms.get(), id.conv), (std::vector<uint64_t>{2, 3})) << "a failure keeps the messages";
            continue;
        }
        if (strcmp(k.op, "delete") == 0) {
            EXPECT_EQ(quorvane_msgstore_conv_count(ms.get()), 0u);
            ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(id.conv), u8(filled(32, 7))), 0);
            EXPECT_EQ(archive_ids(ms.get(), id.conv), std::vector<uint64_t>{}) << "the deleted archive came back";
        }
        EXPECT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(id.conv)), 0u) << "the removed history came back";
    }
}

}  // namespace

namespace {

// The conversation list is lost and the conversation learned again while each
// allocation through the hook in turn fails: its history is either held, or
// kept aside byte for byte before the next message rewrites its file.
TEST_F(Msgstore, HistoryLearnedAgainWithoutMemoryIsHeldOrKeptAside) {
    const bytes c = id.conv, key = filled(32, 7);
    for (long k = 0; k < 6; k++) {
        SCOPED_TRACE(k);
        const std::string sub = tmp.file("oomlearn" + std::to_string(k)), mpath = sub + "/" + msgs_name(c);
        {
            auto ms = open_store(sub);
            ASSERT_TRUE(ms);
            ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(key)), 0);
            for (uint64_t i = 1; i <= 3; i++) ASSERT_EQ(add(ms.get(), c, text_msg(i, i)), 1);
        }
        script_seal(sub + "/convs.dat", bytes(1, char(QV_MS_CONVS_VERSION + 1)) + unhex("00000001") + filled(200, 1));
        const bytes mfile = qvtest::read_file(mpath);
        {
            auto ms = open_store(sub);
            ASSERT_TRUE(ms);
            int rc;
            {
                AllocFailReset reset;
                n_alloc_fail_after(k);
                rc = quorvane_msgstore_put_conv(ms.get(), u8(c), u8(key));
            }
            if (rc != 0) {
                ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(key)), 0);
            }
            ASSERT_EQ(add(ms.get(), c, text_msg(9999, 9999)), 1);
        }
        auto ms = open_store(sub);
        ASSERT_TRUE(ms);
        const auto live = ids_of(ms.get(), c);
        const auto asides = names_in(sub, msgs_name(c) + ".unread-");
        if (live == std::vector<uint64_t>{1, 2, 3, 9999}) {
            EXPECT_TRUE(asides.empty());
        } else {
            EXPECT_EQ(live, std::vector<uint64_t>{9999});
            ASSERT_EQ(asides.size(), 1u);
            EXPECT_EQ(qvtest::read_file(sub + "/" + asides[0]), mfile);
        }
    }
}

std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> out;
    for (size_t at = 0;;) {
        const size_t end = s.find(sep, at);
        out.push_back(s.substr(at, end - at));
        if (end == std::string::npos) return out;
        at = end + 1;
    }
}

// The conversation list is lost, and the conversation is learned again and
// given a message while one system call on its message file fails: whatever
// is reported, the old history is held or kept aside byte for byte, and a
// message reported added is there at the next start.
TEST_F(Msgstore, HistoryLearnedAgainSurvivesEachFailedCall) {
    const std::string why = qvtest::strace_unusable();
    if (!why.empty()) GTEST_SKIP() << why;
    const bytes c = id.conv, key = filled(32, 7);
    // one run each; "|" joins faults injected in the same run
    const char *injects[] = {"openat:error=EIO",
                             "openat:error=EIO:when=2",
                             "read:error=EIO",
                             "fstat,newfstatat,statx:error=EIO",
                             "write:error=ENOSPC",
                             "fsync:error=EIO",
                             "close:error=EIO",
                             "rename:error=EIO",
                             "rename:error=EIO|unlink:error=EIO",
                             "link:error=EIO",
                             "link:error=EPERM",
                             "link:error=EPERM|renameat2:error=EIO"};
    int run = 0;
    for (bool damaged : {false, true}) {
        for (const char *inj : injects) {
            SCOPED_TRACE(std::string(inj) + (damaged ? ", unusable message file" : ""));
            const std::string sub = tmp.file("learnfail" + std::to_string(run++)), mpath = sub + "/" + msgs_name(c);
            {
                auto ms = open_store(sub);
                ASSERT_TRUE(ms);
                ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(key)), 0);
                for (uint64_t i = 1; i <= 3; i++) ASSERT_EQ(add(ms.get(), c, text_msg(i, i)), 1);
            }
            script_seal(sub + "/convs.dat", bytes(1, char(QV_MS_CONVS_VERSION + 1)) + unhex("00000001") + filled(200, 1));
            bytes mfile = qvtest::read_file(mpath);
            if (damaged) {
                mfile[mfile.size() / 2] ^= 0x10;
                qvtest::write_file(mpath, mfile);
            }
            qvtest::Traced t = qvtest::run_self_traced(
                tmp, {"QV_MSGSTORE_SUBJECT=learn", "QV_MSGSTORE_SUBJECT_DIR=" + sub}, {mpath, mpath + ".tmp"},
                split(inj, '|'));
            // a link is only made to keep an unusable file aside
            if (damaged || !strstr(inj, "link")) {
                EXPECT_NE(t.log.find("(INJECTED)"), std::string::npos) << t.log;
            }
            ASSERT_TRUE(t.status == 0 || t.status == 1) << t.log;
            auto ms = open_store(sub);
            ASSERT_TRUE(ms);
            if (quorvane_msgstore_conv_count(ms.get()) == 0) {
                ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(key)), 0);
            }
            const auto live = ids_of(ms.get(), c);
            bool kept = qvtest::read_file(mpath) == mfile;
            for (const auto &a : names_in(sub, msgs_name(c) + ".unread-")) kept = kept || qvtest::read_file(sub + "/" + a) == mfile;
            if (!damaged) {
                const bool held = live.size() >= 3 && live[0] == 1 && live[1] == 2 && live[2] == 3;
                EXPECT_TRUE(held || kept) << "the old history is lost\n" << t.log;
            } else {
                EXPECT_TRUE(kept) << "the unusable history is lost\n" << t.log;
            }
            if (t.status == 0) {
                EXPECT_FALSE(live.empty() || live.back() != 9999) << "a message reported added is gone\n" << t.log;
            }
        }
    }
}

// The same, with a history over the cap (the learning trims it into the
// archive), and the subject killed before one of its renames or syncs, or its
// archive writes failing: after the next start every old message is held
// once, live or in the archive.
TEST_F(Msgstore, HistoryLearnedAgainSurvivesAKill) {
    const std::string why = qvtest::strace_unusable();
    if (!why.empty()) GTEST_SKIP() << why;
    const bytes c = id.conv, key = filled(32, 7);
    const uint64_t on_disk = QV_MS_MSG_CAP_DEFAULT + 3;
    struct Case {
        std::string inject;
        bool archive_only;  // only calls on the archive are traced
    };
    std::vector<Case> cases;
    for (const char *call : {"rename", "fsync"})
        for (int when = 1; when <= 4; when++)
            cases.push_back({std::string(call) + ":signal=SIGKILL:when=" + std::to_string(when), false});
    // the archive cannot take the trimmed messages: nothing is trimmed
    cases.push_back({"rename:error=EIO", true});
    cases.push_back({"write:error=ENOSPC", true});
    int run = 0;
    {
        for (const auto &k : cases) {
            SCOPED_TRACE(k.inject);
            const std::string sub = tmp.file("learnkill" + std::to_string(run++));
            const std::string mpath = sub + "/" + msgs_name(c), apath = sub + "/a_" + hex(c) + ".dat",
                              lpath = sub + "/convs.dat";
            {
                auto ms = open_store(sub);
                ASSERT_TRUE(ms);
                ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(key)), 0);
            }
            script_seal(mpath, msgs_plaintext(on_disk));
            script_seal(lpath, bytes(1, char(QV_MS_CONVS_VERSION + 1)) + unhex("00000001") + filled(200, 1));
            qvtest::Traced t = qvtest::run_self_traced(
                tmp, {"QV_MSGSTORE_SUBJECT=learn", "QV_MSGSTORE_SUBJECT_DIR=" + sub},
                k.archive_only ? std::vector<std::string>{apath, apath + ".tmp"}
                               : std::vector<std::string>{mpath, mpath + ".tmp", apath, apath + ".tmp", lpath, lpath + ".tmp"},
                {k.inject});
            if (k.archive_only) {
                EXPECT_NE(t.log.find("(INJECTED)"), std::string::npos) << t.log;
            } else {
                EXPECT_EQ(t.status, 128 + SIGKILL) << "the subject was killed\n" << t.log;
            }
            auto ms = open_store(sub);
            ASSERT_TRUE(ms);
            if (quorvane_msgstore_conv_count(ms.get()) == 0) {
                ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(key)), 0);
            }
            std::vector<uint64_t> all = archive_ids(ms.get(), c), live = ids_of(ms.get(), c);
            all.insert(all.end(), live.begin(), live.end());
            std::sort(all.begin(), all.end());
            all.erase(std::remove(all.begin(), all.end(), 9999u), all.end());
            std::vector<uint64_t> want;
            for (uint64_t i = 1; i <= on_disk; i++) want.push_back(i);
            EXPECT_EQ(all, want) << "status " << t.status << "\n" << t.log.substr(0, 4000);
        }
    }
}

}  // namespace
