// Message store batches: what a batch holds back and what it writes at its
// end, in which order; the same changes with and without a batch end in the
// same store; a failed end loses nothing; and a writer killed at random
// points inside and at the end of batches leaves files that are each whole
// and a list whose cursors never run ahead of the messages on disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "msgstore_test_util.h"
#include "qv_test_support.h"

using namespace mstest;

namespace {

constexpr char kBatchCrashEnv[] = "QV_MSGSTORE_BATCH_CRASH_CHILD";
constexpr char kBehindEnv[] = "QV_MSGSTORE_BATCH_BEHIND";  // the child ends its batches with writes behind
constexpr uint64_t kCrashCap = 30, kCrashBatch = 17;
const bytes kConv = filled(16, 0xc1), kKey = filled(32, 7);

std::string hexs(const bytes &b) { return qvtest::hex(b); }
std::string msgs_name(const bytes &c) { return "m_" + hexs(c) + ".dat"; }
std::string arch_name(const bytes &c) { return "a_" + hexs(c) + ".dat"; }

bool exists(const std::string &p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

// Every position held, live and archived, ascending.
std::vector<uint64_t> positions(quorvane_msgstore *ms, const bytes &conv) {
    std::vector<uint64_t> out;
    for (const auto &r : archived(ms, conv)) out.push_back(r.position);
    for (const auto &r : live(ms, conv)) out.push_back(r.position);
    std::sort(out.begin(), out.end());
    return out;
}

// The child: continues after the highest position held, one batch of
// messages at a time, the batch's last position noted as the cursor; prints
// each cursor once its batch has ended.
int batch_crash_child(const char *dir) {
    quorvane_msgstore *ms = quorvane_msgstore_open(dir, kSecret);
    if (!ms || quorvane_msgstore_put_conv(ms, u8(kConv), u8(kKey)) != 0) return 3;
    (void)quorvane_msgstore_set_msg_cap(ms, kCrashCap);
    std::vector<uint64_t> held = positions(ms, kConv);
    uint64_t next = held.empty() ? 1 : held.back() + 1;
    for (int b = 0; b < 100000; b++) {
        quorvane_msgstore_batch_begin(ms);
        for (uint64_t k = 0; k < kCrashBatch; k++, next++)
            if (add(ms, kConv, text_msg(next, next)) != 1) return 4;
        quorvane_msgstore_note_cursor(ms, u8(kConv), next - 1);
        if (getenv(kBehindEnv)) {
            // sealed under the lock a caller would hold, written after it
            if (quorvane_msgstore_batch_end_behind(ms) != 0 || quorvane_msgstore_write_behind(ms) != 0) return 5;
            quorvane_msgstore_settle(ms);
        } else if (quorvane_msgstore_batch_end(ms) != 0) {
            return 5;
        }
        char line[32];
        int len = snprintf(line, sizeof line, "%llu\n", static_cast<unsigned long long>(next - 1));
        if (write(1, line, size_t(len)) != len) return 6;
    }
    quorvane_msgstore_close(ms);
    return 0;
}

const int batch_crash_hook = [] {
    if (const char *d = getenv(kBatchCrashEnv)) _exit(batch_crash_child(d));
    return 0;
}();

// The fault subject: one batch trims and archives in one conversation and
// adds to another, notes both cursors and a read position, then changes a
// label outside any batch and ends as a crash would, without close. Run
// under strace, one of its writes fails.
const bytes kConv2 = filled(16, 0xc2);
constexpr char kFaultEnv[] = "QV_MSGSTORE_BATCH_FAULT_DIR";
constexpr uint64_t kFaultCap = 3;

[[noreturn]] void batch_fault_subject(const char *dir) {
    quorvane_msgstore *ms = quorvane_msgstore_open(dir, kSecret);
    if (!ms) _exit(2);
    (void)quorvane_msgstore_set_msg_cap(ms, kFaultCap);
    quorvane_msgstore_batch_begin(ms);
    for (uint64_t i = 2; i <= 7; i++) (void)add(ms, kConv, text_msg(i, i));
    for (uint64_t i = 2; i <= 3; i++) (void)add(ms, kConv2, text_msg(i, i));
    quorvane_msgstore_note_cursor(ms, u8(kConv), 7);
    quorvane_msgstore_note_cursor(ms, u8(kConv2), 3);
    (void)quorvane_msgstore_set_read(ms, u8(kConv), 7);
    (void)quorvane_msgstore_batch_end(ms);
    (void)quorvane_msgstore_set_label(ms, u8(kConv2), "after");
    _exit(0);
}

const int batch_fault_hook = [] {
    if (const char *d = getenv(kFaultEnv)) batch_fault_subject(d);
    return 0;
}();

class Batch : public ::testing::Test {
  protected:
    qvtest::TempDir tmp;
    std::string dir = tmp.file("msgstore");
    std::string file(const std::string &n) const { return dir + "/" + n; }
    // kConv (capped at `cap` live messages when not 0), with `block` in the
    // way of one of its files, inside a batch that added 1..n and noted n as
    // its cursor.
    store_ptr blocked_batch(const std::string &block, uint64_t n, uint64_t cap = 2) {
        auto ms = open_store(dir);
        EXPECT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(kConv), u8(kKey)), 0);
        if (cap) (void)quorvane_msgstore_set_msg_cap(ms.get(), cap);
        EXPECT_EQ(mkdir(block.c_str(), 0700), 0);
        quorvane_msgstore_batch_begin(ms.get());
        for (uint64_t i = 1; i <= n; i++) EXPECT_EQ(add(ms.get(), kConv, text_msg(i, i)), 1);
        quorvane_msgstore_note_cursor(ms.get(), u8(kConv), n);
        return ms;
    }
};

// One sequence of changes run with and without a batch around it: memory
// and the reopened store agree, and inside the batch no message, archive or
// list file changes.
TEST_F(Batch, SameResultAsUnbatchedAndNothingWrittenBeforeTheEnd) {
    auto run = [](quorvane_msgstore *ms) {
        (void)quorvane_msgstore_set_msg_cap(ms, 5);
        for (uint64_t i = 1; i <= 12; i++) EXPECT_EQ(add(ms, kConv, text_msg(i, i)), 1);
        EXPECT_EQ(add(ms, kConv, text_msg(12, 12)), 0) << "a duplicate inside the batch is still one";
        EXPECT_EQ(quorvane_msgstore_edit_msg(ms, u8(kConv), u8(kAlice), nullptr, 11, "edited", 6), 1);
        EXPECT_EQ(quorvane_msgstore_set_reaction(ms, u8(kConv), u8(kAlice), nullptr, 12, u8(kAlice), "+1", 1), 0);
        EXPECT_EQ(quorvane_msgstore_delete_msg(ms, u8(kConv), u8(kAlice), nullptr, 3), 0) << "archived: not live";
        EXPECT_EQ(quorvane_msgstore_set_read(ms, u8(kConv), 12), 0);
        quorvane_msgstore_note_cursor(ms, u8(kConv), 12);
    };
    struct Seen {
        std::vector<uint64_t> live_ids, arch_ids;
        uint64_t cursor, read;
        std::string edited;
        size_t reactions;
    };
    auto seen = [](quorvane_msgstore *ms) {
        Seen s{ids(live(ms, kConv)), ids(archived(ms, kConv)), quorvane_msgstore_sync_cursor(ms, u8(kConv)),
               quorvane_msgstore_get_read(ms, u8(kConv)), "", 0};
        auto l = live(ms, kConv);
        for (const auto &r : l)
            if (r.msg_id == 11) s.edited.assign(r.text, r.text_len);
        quorvane_ms_reaction_count rc[4];
        s.reactions = quorvane_msgstore_reactions(ms, u8(kConv), u8(kAlice), nullptr, 12, nullptr, rc, 4);
        return s;
    };
    Seen plain, batched;
    {
        const std::string d = tmp.file("plain");
        auto ms = open_store(d);
        ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(kConv), u8(kKey)), 0);
        run(ms.get());
        ASSERT_EQ(quorvane_msgstore_flush(ms.get()), 0);
        ms = open_store(d);
        plain = seen(ms.get());
    }
    {
        auto ms = open_store(dir);
        ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(kConv), u8(kKey)), 0);
        const std::string list_before = qvtest::read_file(file("convs.dat"));
        quorvane_msgstore_batch_begin(ms.get());
        quorvane_msgstore_batch_begin(ms.get());  // nested: only the outermost end writes
        run(ms.get());
        EXPECT_EQ(ids(archived(ms.get(), kConv)), (std::vector<uint64_t>{1, 2, 4, 5, 6, 7}))
            << "what waits for the archive is searchable already";
        EXPECT_EQ(quorvane_msgstore_batch_end(ms.get()), 0);
        EXPECT_FALSE(exists(file(msgs_name(kConv))));
        EXPECT_FALSE(exists(file(arch_name(kConv))));
        EXPECT_EQ(qvtest::read_file(file("convs.dat")), list_before);
        EXPECT_EQ(quorvane_msgstore_batch_end(ms.get()), 0);
        EXPECT_TRUE(exists(file(msgs_name(kConv))));
        EXPECT_TRUE(exists(file(arch_name(kConv))));
        ms = open_store(dir);
        batched = seen(ms.get());
    }
    EXPECT_EQ(batched.live_ids, (std::vector<uint64_t>{8, 9, 10, 11, 12}));
    EXPECT_EQ(batched.live_ids, plain.live_ids);
    EXPECT_EQ(batched.arch_ids, plain.arch_ids);
    EXPECT_EQ(batched.cursor, 12u);
    EXPECT_EQ(batched.cursor, plain.cursor);
    EXPECT_EQ(batched.read, plain.read);
    EXPECT_EQ(batched.edited, "edited");
    EXPECT_EQ(batched.reactions, plain.reactions);
    EXPECT_EQ(batched.reactions, 1u);
}

// Keys and counters are never held back: inside a batch they write the
// marked message file first and the list after it. The one exception is a
// conversation made inside the batch: the server lists it again at every
// sync, so it waits for the batch's end with its keys, until a send counter
// of its own must be kept.
TEST_F(Batch, CounterAndKeysWriteThroughWithTheMessagesBeforeThem) {
    auto ms = open_store(dir);
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(kConv), u8(kKey)), 0);
    quorvane_msgstore_batch_begin(ms.get());
    ASSERT_EQ(add(ms.get(), kConv, text_msg(1, 1)), 1);
    quorvane_msgstore_note_cursor(ms.get(), u8(kConv), 1);
    EXPECT_FALSE(exists(file(msgs_name(kConv))));
    EXPECT_EQ(quorvane_msgstore_next_counter(ms.get(), u8(kConv)), 1u);
    EXPECT_TRUE(exists(file(msgs_name(kConv)))) << "the message went first";
    const bytes conv2 = filled(16, 0xc2), conv3 = filled(16, 0xc3), key2 = filled(32, 9), rekey = filled(32, 8);
    // a second reader sees what a crash now would leave
    auto on_disk = [&](size_t convs, const bytes &current, uint64_t counter3) {
        auto other = open_store(dir);
        EXPECT_EQ(quorvane_msgstore_conv_count(other.get()), convs);
        EXPECT_EQ(quorvane_msgstore_sync_cursor(other.get(), u8(kConv)), 1u);
        EXPECT_EQ(live(other.get(), kConv).size(), 1u);
        uint8_t k[32];
        ASSERT_EQ(quorvane_msgstore_get_conv(other.get(), u8(kConv), k), 1);
        EXPECT_EQ(bytes(reinterpret_cast<char *>(k), 32), current);
        if (convs == 3) {
            EXPECT_EQ(quorvane_msgstore_next_counter(other.get(), u8(conv3)), counter3 + 1);
        }
    };
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(conv2), u8(key2)), 0);
    on_disk(1, kKey, 0);
    // a held conversation's new key takes the whole list, the new one with it
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(kConv), u8(rekey)), 0);
    on_disk(2, rekey, 0);
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(conv3), u8(key2)), 0);
    on_disk(2, rekey, 0);
    // a send counter of its own is kept at once, and takes the conversation with it
    EXPECT_EQ(quorvane_msgstore_next_counter(ms.get(), u8(conv3)), 1u);
    on_disk(3, rekey, 1);
    EXPECT_EQ(quorvane_msgstore_batch_end(ms.get()), 0);
}

// Conversations made inside a batch, with keys, members, peers, older keys
// and the members' first-seen identities, are written once at its end, as
// memory holds them; made outside a batch, each writes the list at once.
TEST_F(Batch, NewConversationsWaitForTheEndAndComeBackWhole) {
    constexpr int kConvs = 300;
    auto conv_of = [](int i) {
        bytes c = filled(16, 0xa0);
        c[14] = char(i >> 8), c[15] = char(i);
        return c;
    };
    auto key_of = [](int i) {
        bytes k = filled(32, 0x11);
        k[0] = char(i >> 8), k[1] = char(i);
        return k;
    };
    const bytes stranger = filled(16, 0x5a), ident = filled(32, 0x5b), old_key = filled(32, 0x0d);
    auto ms = open_store(dir);
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(kConv), u8(kKey)), 0);
    const std::string list_before = qvtest::read_file(file("convs.dat"));
    quorvane_msgstore_batch_begin(ms.get());
    for (int i = 0; i < kConvs; i++) {
        const bytes c = conv_of(i);
        if (i % 3 == 2) {
            ASSERT_EQ(quorvane_msgstore_put_conv_locked(ms.get(), u8(c)), 0);
            continue;
        }
        ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(key_of(i))), 0);
        ASSERT_EQ(quorvane_msgstore_add_old_keys(ms.get(), u8(c), reinterpret_cast<const uint8_t(*)[32]>(u8(old_key)), 1), 1);
        const uint8_t role = 1;
        ASSERT_EQ(quorvane_msgstore_set_members(ms.get(), u8(c), reinterpret_cast<const uint8_t(*)[16]>(u8(stranger)),
                                                reinterpret_cast<const uint8_t(*)[32]>(u8(ident)),
                                                reinterpret_cast<const uint8_t(*)[32]>(u8(ident)), &role, 1),
                  0);
        ASSERT_EQ(quorvane_msgstore_set_peer(ms.get(), u8(c), u8(stranger), u8(ident)), 0);
        ASSERT_EQ(quorvane_msgstore_identity_tofu(ms.get(), u8(c), u8(ident)), 0);
    }
    EXPECT_TRUE(qvtest::read_file(file("convs.dat")) == list_before) << "the list was written inside the batch";
    EXPECT_FALSE(exists(file("idents.dat"))) << "the identities were written inside the batch";
    ASSERT_EQ(quorvane_msgstore_batch_end(ms.get()), 0);
    ms = open_store(dir);
    ASSERT_EQ(quorvane_msgstore_conv_count(ms.get()), size_t(kConvs + 1));
    for (int i = 0; i < kConvs; i++) {
        SCOPED_TRACE(i);
        const bytes c = conv_of(i);
        uint8_t keys[8][32];
        if (i % 3 == 2) {
            EXPECT_EQ(quorvane_msgstore_conv_locked(ms.get(), u8(c)), 1);
            continue;
        }
        ASSERT_EQ(quorvane_msgstore_get_conv_keys(ms.get(), u8(c), keys, 8), 2u);
        EXPECT_EQ(bytes(reinterpret_cast<char *>(keys[0]), 32), key_of(i));
        EXPECT_EQ(bytes(reinterpret_cast<char *>(keys[1]), 32), old_key);
        EXPECT_EQ(quorvane_msgstore_member_count(ms.get(), u8(c)), 1u);
        EXPECT_EQ(quorvane_msgstore_get_peer(ms.get(), u8(c), nullptr, nullptr), 1);
    }
    for (int i = 0; i < kConvs; i++) {
        if (i % 3 == 2) continue;
        EXPECT_EQ(quorvane_msgstore_identity_tofu(ms.get(), u8(conv_of(i)), u8(ident)), 1) << i;
    }

    // outside a batch a new conversation is on disk when put returns
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(conv_of(kConvs)), u8(kKey)), 0);
    auto other = open_store(dir);
    EXPECT_EQ(quorvane_msgstore_conv_count(other.get()), size_t(kConvs + 2));
}

// A session state stepped by a received message, a prekey set and the ring of
// answered preambles are keys too: written inside a batch, they take the
// message held back with them, so a crash never leaves the stepped session on
// disk without the message it opened.
TEST_F(Batch, SessionStatesWriteTheMessagesBeforeThem) {
    const bytes dev = filled(32, 0xd7), state = filled(40, 3);
    struct Case {
        const char *what;
        int (*write)(quorvane_msgstore *, const bytes &dev, const bytes &state);
    };
    const Case cases[] = {
        {"session state", [](quorvane_msgstore *ms, const bytes &d, const bytes &st) {
             return quorvane_msgstore_put_ratchet(ms, u8(kConv), u8(d), u8(st), st.size());
         }},
        {"previous session", [](quorvane_msgstore *ms, const bytes &d, const bytes &st) {
             return quorvane_msgstore_put_ratchet_prev(ms, u8(kConv), u8(d), 0, 1, u8(st), st.size());
         }},
        {"prekey set", [](quorvane_msgstore *ms, const bytes &, const bytes &st) {
             return quorvane_msgstore_put_prekeys(ms, u8(st), st.size());
         }},
        {"answered preamble", [](quorvane_msgstore *ms, const bytes &, const bytes &st) {
             return quorvane_msgstore_rinit_note(ms, u8(st));
         }},
    };
    uint64_t pos = 1;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        auto ms = open_store(dir);
        ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(kConv), u8(kKey)), 0);
        quorvane_msgstore_batch_begin(ms.get());
        ASSERT_EQ(add(ms.get(), kConv, text_msg(pos, pos)), 1);
        ASSERT_EQ(c.write(ms.get(), dev, state), 0);
        {
            auto other = open_store(dir);  // what a crash now would leave
            const auto held = live(other.get(), kConv);
            ASSERT_FALSE(held.empty());
            EXPECT_EQ(held.back().position, pos) << "the message went first";
        }
        EXPECT_EQ(quorvane_msgstore_batch_end(ms.get()), 0);
        pos++;
    }
}

// An end whose archive cannot be written trims nothing: the messages stay
// live and are written so, the list (with the cursor) is not written by that
// end, and the next flush writes it behind them.
TEST_F(Batch, FailedEndLosesNothingAndKeepsTheCursorBehind) {
    const std::string block = file(arch_name(kConv)) + ".tmp";
    {
        auto ms = blocked_batch(block, 4);
        EXPECT_EQ(quorvane_msgstore_batch_end(ms.get()), -1);
        EXPECT_EQ(ids(live(ms.get(), kConv)), (std::vector<uint64_t>{1, 2, 3, 4}));
        {
            auto other = open_store(dir);
            (void)quorvane_msgstore_set_msg_cap(other.get(), 0);
            EXPECT_EQ(ids(live(other.get(), kConv)), (std::vector<uint64_t>{1, 2, 3, 4})) << "all four on disk";
            EXPECT_EQ(quorvane_msgstore_sync_cursor(other.get(), u8(kConv)), 0u) << "the list was held back";
        }
        // the messages are on disk live now, so the list may follow
        EXPECT_EQ(quorvane_msgstore_flush(ms.get()), 0);
        ASSERT_EQ(rmdir(block.c_str()), 0);
    }
    auto ms = open_store(dir);
    EXPECT_EQ(quorvane_msgstore_sync_cursor(ms.get(), u8(kConv)), 4u);
    EXPECT_EQ(positions(ms.get(), kConv), (std::vector<uint64_t>{1, 2, 3, 4}));
}

// An end whose message file could not be written keeps it marked; a list
// written later outside any batch (a new conversation arrives) must not
// carry the cursor and read position past the messages on disk, and once the
// file can be written it goes first.
TEST_F(Batch, ListWrittenAfterAFailedEndStaysBehindTheMessages) {
    const std::string block = file(msgs_name(kConv)) + ".tmp";
    const bytes conv2 = filled(16, 0xc2), conv3 = filled(16, 0xc3);
    auto ms = blocked_batch(block, 3, 0);
    ASSERT_EQ(quorvane_msgstore_set_read(ms.get(), u8(kConv), 3), 0);
    EXPECT_EQ(quorvane_msgstore_batch_end(ms.get()), -1);
    (void)quorvane_msgstore_put_conv(ms.get(), u8(conv2), u8(filled(32, 9)));  // fails or not: the list is the point
    {
        auto other = open_store(dir);
        EXPECT_EQ(live(other.get(), kConv).size(), 0u);
        EXPECT_EQ(quorvane_msgstore_sync_cursor(other.get(), u8(kConv)), 0u) << "the cursor ran ahead of the messages";
        EXPECT_EQ(quorvane_msgstore_get_read(other.get(), u8(kConv)), 0u) << "the read position ran ahead";
    }
    ASSERT_EQ(rmdir(block.c_str()), 0);
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(conv3), u8(filled(32, 10))), 0);
    auto other = open_store(dir);
    EXPECT_EQ(ids(live(other.get(), kConv)), (std::vector<uint64_t>{1, 2, 3})) << "the marked file went first";
    EXPECT_EQ(quorvane_msgstore_sync_cursor(other.get(), u8(kConv)), 3u);
    EXPECT_EQ(quorvane_msgstore_conv_count(other.get()), 3u);
}

// One write of a batch's end, or of the list right after it, fails (its
// write, sync or rename, by strace), and the process then dies: whatever
// failed, every file reads, nothing held is lost, and no cursor or read
// position is beyond the messages on disk.
TEST_F(Batch, FailedWriteAtTheEndNeverLeavesACursorAhead) {
    const std::string why = qvtest::strace_unusable();
    if (!why.empty()) GTEST_SKIP() << why;
    int injected = 0;
    for (const char *call : {"write", "fsync", "rename"})
        for (int when = 1; when <= 5; when++) {
            const std::string inject = std::string(call) + ":error=EIO:when=" + std::to_string(when);
            SCOPED_TRACE(inject);
            const std::string sub = tmp.file("fault-" + std::string(call) + std::to_string(when));
            {
                auto ms = open_store(sub);
                ASSERT_TRUE(ms);
                for (const bytes &c : {kConv, kConv2}) {
                    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(kKey)), 0);
                    ASSERT_EQ(add(ms.get(), c, text_msg(1, 1)), 1);
                }
            }
            std::vector<std::string> paths;
            for (const std::string &n : {arch_name(kConv), msgs_name(kConv), msgs_name(kConv2), std::string("convs.dat")})
                paths.push_back(sub + "/" + n + ".tmp");
            qvtest::Traced t = qvtest::run_self_traced(tmp, {std::string(kFaultEnv) + "=" + sub}, paths, {inject});
            ASSERT_EQ(t.status, 0) << t.log;
            if (t.log.find("(INJECTED)") != std::string::npos) injected++;
            auto ms = open_store(sub);
            ASSERT_TRUE(ms);
            for (const std::string &n : {std::string("convs.dat"), msgs_name(kConv), arch_name(kConv), msgs_name(kConv2)})
                EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), n.c_str()), 0) << n << " torn";
            for (const bytes &c : {kConv, kConv2}) {
                std::vector<uint64_t> pos = positions(ms.get(), c);
                pos.erase(std::unique(pos.begin(), pos.end()), pos.end());
                ASSERT_FALSE(pos.empty());
                for (size_t i = 0; i < pos.size(); i++) EXPECT_EQ(pos[i], i + 1) << "a gap in what is held";
                EXPECT_LE(quorvane_msgstore_sync_cursor(ms.get(), u8(c)), pos.back()) << "cursor ahead\n" << t.log;
                EXPECT_LE(quorvane_msgstore_get_read(ms.get(), u8(c)), pos.back()) << "read position ahead";
            }
        }
    EXPECT_GE(injected, 10) << "too few faults landed to call this a fault test";
}

// A batch left open is ended by close.
TEST_F(Batch, CloseEndsAnOpenBatch) {
    {
        auto ms = open_store(dir);
        ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(kConv), u8(kKey)), 0);
        quorvane_msgstore_batch_begin(ms.get());
        ASSERT_EQ(add(ms.get(), kConv, text_msg(1, 1)), 1);
        quorvane_msgstore_note_cursor(ms.get(), u8(kConv), 1);
    }
    auto ms = open_store(dir);
    EXPECT_EQ(positions(ms.get(), kConv), std::vector<uint64_t>{1});
    EXPECT_EQ(quorvane_msgstore_sync_cursor(ms.get(), u8(kConv)), 1u);
}

class KilledWriter : public Batch, public ::testing::WithParamInterface<bool> {};

// Killed at random points inside and at the end of batches, ended in place
// or with their files written behind.
TEST_P(KilledWriter, LeavesWholeFilesAndCursorsBehindTheirMessages) {
    if (GetParam())
        ASSERT_EQ(setenv(kBehindEnv, "1", 1), 0);
    else
        ASSERT_EQ(unsetenv(kBehindEnv), 0);
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    exe[n] = '\0';
    std::mt19937 rng(4242);
    uint64_t ended_before = 0;  // the highest cursor a child reported as written
    int kills = 0;
    for (int round = 0; round < 20; round++) {
        SCOPED_TRACE(round);
        std::string progress = tmp.file("progress" + std::to_string(round));
        ASSERT_EQ(setenv(kBatchCrashEnv, dir.c_str(), 1), 0);
        qvtest::ChildProcess child({exe}, progress);
        ASSERT_EQ(unsetenv(kBatchCrashEnv), 0);
        const long want = std::uniform_int_distribution<long>(2, 8)(rng);
        ASSERT_TRUE(qvtest::wait_until([&] {
            std::string p = qvtest::read_file(progress);
            return std::count(p.begin(), p.end(), '\n') >= want;
        }, qvtest::kWaitMs));
        usleep(useconds_t(std::uniform_int_distribution<int>(0, 20000)(rng)));
        ASSERT_TRUE(child.running()) << "the writer ended on its own";
        ASSERT_EQ(kill(child.pid, SIGKILL), 0);
        int status = child.stop();
        ASSERT_TRUE(WIFSIGNALED(status));
        kills++;
        std::string p = qvtest::read_file(progress);
        if (!p.empty()) {
            std::string last = p.substr(0, p.size() - 1);
            last = last.substr(last.rfind('\n') == std::string::npos ? 0 : last.rfind('\n') + 1);
            ended_before = std::max<uint64_t>(ended_before, std::stoull(last));
        }

        auto ms = open_store(dir);
        ASSERT_TRUE(ms);
        for (const std::string &name : {std::string("convs.dat"), msgs_name(kConv), arch_name(kConv)})
            EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), name.c_str()), 0) << name << " torn";
        // a kill between an archive write and the message file's leaves the
        // trimmed messages live as well as archived: twins across the two,
        // never a gap and never a twin inside the archive
        std::vector<uint64_t> arch = ids(archived(ms.get(), kConv));
        EXPECT_EQ(std::set<uint64_t>(arch.begin(), arch.end()).size(), arch.size());
        std::vector<uint64_t> pos = positions(ms.get(), kConv);
        pos.erase(std::unique(pos.begin(), pos.end()), pos.end());
        ASSERT_FALSE(pos.empty());
        for (size_t i = 0; i < pos.size(); i++) ASSERT_EQ(pos[i], i + 1) << "a gap in what is held";
        const uint64_t cursor = quorvane_msgstore_sync_cursor(ms.get(), u8(kConv));
        EXPECT_LE(cursor, pos.back()) << "the cursor ran ahead of the messages";
        EXPECT_GE(cursor, ended_before) << "an ended batch was lost";
        EXPECT_GE(pos.back(), ended_before);
        EXPECT_LE(live(ms.get(), kConv).size(), kCrashCap);
    }
    EXPECT_EQ(kills, 20);
    EXPECT_GE(ended_before, 40 * kCrashBatch) << "too few batches ended to call this a crash test";
    ASSERT_EQ(unsetenv(kBehindEnv), 0);
}
INSTANTIATE_TEST_SUITE_P(Ends, KilledWriter, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) { return std::string(i.param ? "Behind" : "InPlace"); });

// Writes behind: nothing of a batch is on disk when its end returns, all of
// it once write_behind did, in the order an in-place end writes.
TEST_F(Batch, BehindWritesNothingUntilAskedThenAll) {
    auto ms = open_store(dir);
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(kConv), u8(kKey)), 0);
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(kConv2), u8(kKey)), 0);
    quorvane_msgstore_batch_begin(ms.get());
    for (uint64_t i = 1; i <= 5; i++) ASSERT_EQ(add(ms.get(), kConv, text_msg(i, i)), 1);
    ASSERT_EQ(add(ms.get(), kConv2, text_msg(1, 1)), 1);
    quorvane_msgstore_note_cursor(ms.get(), u8(kConv), 5);
    ASSERT_EQ(quorvane_msgstore_batch_end_behind(ms.get()), 0);
    EXPECT_EQ(ids(live(ms.get(), kConv)), (std::vector<uint64_t>{1, 2, 3, 4, 5})) << "memory has it all at once";
    {
        auto other = open_store(dir);
        EXPECT_EQ(live(other.get(), kConv).size(), 0u);
        EXPECT_EQ(quorvane_msgstore_sync_cursor(other.get(), u8(kConv)), 0u);
    }
    ASSERT_EQ(quorvane_msgstore_write_behind(ms.get()), 0);
    quorvane_msgstore_settle(ms.get());
    auto other = open_store(dir);
    EXPECT_EQ(ids(live(other.get(), kConv)), (std::vector<uint64_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(ids(live(other.get(), kConv2)), (std::vector<uint64_t>{1}));
    EXPECT_EQ(quorvane_msgstore_sync_cursor(other.get(), u8(kConv)), 5u);
}

// A queued file that cannot be written stops those after it (the list never
// overtakes the messages) and is due again after settle; nothing is lost.
TEST_F(Batch, BehindFailedWriteIsDueAgainAndKeepsTheOrder) {
    const std::string block = file(msgs_name(kConv)) + ".tmp";
    auto ms = blocked_batch(block, 3, 0);
    ASSERT_EQ(quorvane_msgstore_batch_end_behind(ms.get()), 0);
    EXPECT_EQ(quorvane_msgstore_write_behind(ms.get()), -1);
    quorvane_msgstore_settle(ms.get());
    {
        auto other = open_store(dir);
        EXPECT_EQ(live(other.get(), kConv).size(), 0u);
        EXPECT_EQ(quorvane_msgstore_sync_cursor(other.get(), u8(kConv)), 0u) << "the list overtook its messages";
    }
    ASSERT_EQ(rmdir(block.c_str()), 0);
    quorvane_msgstore_batch_begin(ms.get());
    ASSERT_EQ(quorvane_msgstore_batch_end_behind(ms.get()), 0);
    ASSERT_EQ(quorvane_msgstore_write_behind(ms.get()), 0);
    quorvane_msgstore_settle(ms.get());
    auto other = open_store(dir);
    EXPECT_EQ(ids(live(other.get(), kConv)), (std::vector<uint64_t>{1, 2, 3}));
    EXPECT_EQ(quorvane_msgstore_sync_cursor(other.get(), u8(kConv)), 3u);
}

// Trimmed messages stay pending until their archive is on disk: a failed
// archive write keeps them for the next end instead of losing them.
TEST_F(Batch, BehindArchiveKeepsItsEntriesUntilWritten) {
    const std::string block = file(arch_name(kConv)) + ".tmp";
    auto ms = blocked_batch(block, 6);
    ASSERT_EQ(quorvane_msgstore_batch_end_behind(ms.get()), 0);
    EXPECT_EQ(quorvane_msgstore_write_behind(ms.get()), -1);
    quorvane_msgstore_settle(ms.get());
    EXPECT_EQ(positions(ms.get(), kConv), (std::vector<uint64_t>{1, 2, 3, 4, 5, 6})) << "pending entries still held";
    ASSERT_EQ(rmdir(block.c_str()), 0);
    quorvane_msgstore_batch_begin(ms.get());
    ASSERT_EQ(quorvane_msgstore_batch_end_behind(ms.get()), 0);
    ASSERT_EQ(quorvane_msgstore_write_behind(ms.get()), 0);
    quorvane_msgstore_settle(ms.get());
    ms.reset();
    auto other = open_store(dir);
    EXPECT_EQ(positions(other.get(), kConv), (std::vector<uint64_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(quorvane_msgstore_sync_cursor(other.get(), u8(kConv)), 6u);
}

// Any other write waits for the queue and goes after it: a setting changed
// before write_behind ran finds the batch's files already on disk.
TEST_F(Batch, BehindQueueGoesBeforeAnyOtherWrite) {
    auto ms = open_store(dir);
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(kConv), u8(kKey)), 0);
    quorvane_msgstore_batch_begin(ms.get());
    for (uint64_t i = 1; i <= 3; i++) ASSERT_EQ(add(ms.get(), kConv, text_msg(i, i)), 1);
    quorvane_msgstore_note_cursor(ms.get(), u8(kConv), 3);
    ASSERT_EQ(quorvane_msgstore_batch_end_behind(ms.get()), 0);
    ASSERT_EQ(quorvane_msgstore_set_self_profile(ms.get(), "me", "about"), 0);
    auto other = open_store(dir);
    EXPECT_EQ(ids(live(other.get(), kConv)), (std::vector<uint64_t>{1, 2, 3}));
    EXPECT_EQ(quorvane_msgstore_sync_cursor(other.get(), u8(kConv)), 3u);
    EXPECT_EQ(quorvane_msgstore_write_behind(ms.get()), 0) << "nothing left to write";
}

}  // namespace
