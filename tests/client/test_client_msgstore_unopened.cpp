// Message store: conversation-key envelopes that do not open. The hold on
// the sync cursor and its tries across syncs (and across a reopen), the
// envelopes set aside with it, what is kept of them and counted, "u_" conv
// ".dat" on disk (written as cursor notes are, before the list), and its
// reading when damaged.
#include "msgstore_fixture.h"

#include "quorvane_envelope.h"

namespace {

std::string unop_name(const bytes &conv) { return "u_" + hex(conv) + ".dat"; }

bytes env_of(size_t len, int fill) { return filled(len, fill); }

// An envelope of `sender` with a header as the server checked it, told apart by `tag`.
bytes env_from(const bytes &sender, uint64_t tag) {
    quorvane_env_header h{};
    std::memcpy(h.sender_id, sender.data(), 16);
    h.counter = tag;
    bytes e(100, char(0xee));
    quorvane_env_header_encode(&h, reinterpret_cast<uint8_t *>(e.data()));
    return e;
}

class Unopened : public Msgstore {
  protected:
    const bytes c = id.conv;
    store_ptr ms = open();
    void SetUp() override {
        ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(filled(32, 7))), 0);
        quorvane_msgstore_note_cursor(ms.get(), u8(c), 50);
        ASSERT_EQ(quorvane_msgstore_flush(ms.get()), 0);
    }
    void reopen() {
        ms.reset();
        ms = open();
    }
    uint64_t cursor() { return quorvane_msgstore_sync_cursor(ms.get(), u8(c)); }
    // One sync's stream: the failures, then a message behind them that opens.
    std::vector<int> stream(const std::vector<uint64_t> &fails, uint64_t opens) {
        std::vector<int> got;
        for (uint64_t p : fails) got.push_back(quorvane_msgstore_hold_at(ms.get(), u8(c), p));
        quorvane_msgstore_note_cursor(ms.get(), u8(c), opens);
        return got;
    }
};

}  // namespace

// Three envelopes that never open, and a message behind them: the cursor
// stays below the first through its first two syncs (the store reopened
// between them), the third sets all three aside and the cursor moves on; a
// later failure starts a hold of its own.
TEST_F(Unopened, HoldRunsOutAfterItsTriesAcrossSyncsAndReopens) {
    EXPECT_EQ(stream({100, 110, 120}, 130), (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(cursor(), 50u);
    EXPECT_EQ(quorvane_msgstore_hold_position(ms.get(), u8(c)), 100u);
    ASSERT_EQ(quorvane_msgstore_flush(ms.get()), 0);
    reopen();
    EXPECT_EQ(quorvane_msgstore_hold_position(ms.get(), u8(c)), 100u) << "the hold was not kept";
    EXPECT_EQ(stream({100, 110, 120}, 130), (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(cursor(), 50u);
    reopen();  // closing writes it too
    EXPECT_EQ(stream({100, 110, 120}, 130), (std::vector<int>{1, 1, 1})) << "the third sync sets them all aside";
    EXPECT_EQ(cursor(), 130u);
    EXPECT_EQ(quorvane_msgstore_hold_position(ms.get(), u8(c)), 0u);
    EXPECT_EQ(stream({140}, 150), (std::vector<int>{0}));
    EXPECT_EQ(cursor(), 130u);
    EXPECT_EQ(quorvane_msgstore_hold_position(ms.get(), u8(c)), 140u);
    EXPECT_EQ(quorvane_msgstore_hold_at(ms.get(), u8(c), 20), 1) << "below the cursor: nothing to hold";
    EXPECT_EQ(quorvane_msgstore_hold_at(ms.get(), u8(c), 0), 1) << "no position: nothing to hold";
    EXPECT_EQ(quorvane_msgstore_hold_at(ms.get(), u8(id.conv2), 200), -1);
}

// A sync brings every copy above the cursors it names: a hold whose envelope
// did not come between a sync's request and its end ends there (the server
// no longer has it), and the state on disk says so. One that came, or that
// began during the sync, stays; an end without a sync of this store's asking
// ends nothing.
TEST_F(Unopened, AHoldNotBroughtByASyncEndsWithIt) {
    struct Case {
        const char *name;
        bool begun;
        std::vector<uint64_t> during;  // failures the sync brought, above the case's base
        size_t ended;
        bool held_after;
    };
    const Case cases[] = {
        {"brought again", true, {0, 10}, 0, true},
        {"only what failed behind it", true, {10}, 1, false},
        {"nothing", true, {}, 1, false},
        {"no sync asked for", false, {}, 0, true},
    };
    uint64_t base = 100;
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        ASSERT_EQ(stream({base, base + 10}, 0), (std::vector<int>{0, 0}));
        if (k.begun) quorvane_msgstore_sync_begun(ms.get());
        std::vector<uint64_t> during;
        for (uint64_t d : k.during) during.push_back(base + d);
        (void)stream(during, 0);
        EXPECT_EQ(quorvane_msgstore_sync_ended(ms.get()), k.ended);
        EXPECT_EQ(quorvane_msgstore_sync_ended(ms.get()), 0u) << "one end per sync";
        reopen();
        EXPECT_EQ(quorvane_msgstore_hold_position(ms.get(), u8(c)), k.held_after ? base : 0u) << "as written";
        // what failed behind it holds anew, from its first try
        EXPECT_EQ(stream({base + 10}, 0), (std::vector<int>{0}));
        EXPECT_EQ(quorvane_msgstore_hold_position(ms.get(), u8(c)), k.held_after ? base : base + 10);
        // the next case starts above this one
        quorvane_msgstore_note_cursor(ms.get(), u8(c), quorvane_msgstore_hold_position(ms.get(), u8(c)));
        quorvane_msgstore_note_cursor(ms.get(), u8(c), base + 20);
        ASSERT_EQ(cursor(), base + 20);
        base += 100;
    }
    // a hold that began while a sync ran is not ended by that sync
    quorvane_msgstore_sync_begun(ms.get());
    EXPECT_EQ(stream({base}, 0), (std::vector<int>{0}));
    EXPECT_EQ(quorvane_msgstore_sync_ended(ms.get()), 0u);
    EXPECT_EQ(quorvane_msgstore_hold_position(ms.get(), u8(c)), base);
}

// A failure that arrived after the hold's first sync has been tried fewer
// times: it is set aside with the rest only when it was seen before the
// hold ran out; one first seen after it starts a new hold.
TEST_F(Unopened, OnlyWhatWasSeenWhileHeldGoesWithTheHold) {
    EXPECT_EQ(stream({100}, 0), (std::vector<int>{0}));
    EXPECT_EQ(stream({100, 110}, 0), (std::vector<int>{0, 0}));
    EXPECT_EQ(stream({100, 110, 120}, 0), (std::vector<int>{1, 1, 0}));
    EXPECT_EQ(quorvane_msgstore_hold_position(ms.get(), u8(c)), 120u);
    quorvane_msgstore_note_cursor(ms.get(), u8(c), 115);
    EXPECT_EQ(cursor(), 115u);
    // the held one opens at last: the hold ends and the cursor passes it
    quorvane_msgstore_note_cursor(ms.get(), u8(c), 130);
    EXPECT_EQ(cursor(), 115u);
    quorvane_msgstore_note_cursor(ms.get(), u8(c), 120);
    quorvane_msgstore_note_cursor(ms.get(), u8(c), 130);
    EXPECT_EQ(cursor(), 130u);
    EXPECT_EQ(quorvane_msgstore_hold_position(ms.get(), u8(c)), 0u);
    // nothing held and nothing set aside: the file goes
    const bytes c2 = id.conv2;
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c2), u8(filled(32, 8))), 0);
    EXPECT_EQ(quorvane_msgstore_hold_at(ms.get(), u8(c2), 10), 0);
    EXPECT_FALSE(exists(file(unop_name(c2)))) << "written before a flush, as a cursor note is not";
    ASSERT_EQ(quorvane_msgstore_flush(ms.get()), 0);
    EXPECT_TRUE(exists(file(unop_name(c2))));
    quorvane_msgstore_note_cursor(ms.get(), u8(c2), 10);
    ASSERT_EQ(quorvane_msgstore_flush(ms.get()), 0);
    EXPECT_FALSE(exists(file(unop_name(c2))));
}

// What is set aside is counted; the newest that could ever open are kept,
// one copy per position, and stay through a reopen until dropped; the
// conversation's removal takes the file with it.
TEST_F(Unopened, SetAsideIsCountedAndTheNewestKept) {
    struct Keep {
        uint64_t position;
        size_t len;
        uint32_t count;
        size_t kept;
    } steps[] = {
        {200, 120, 1, 1},
        {200, 120, 1, 1},                            // the same one again
        {201, QV_MS_UNOPENED_ENV_MAX, 2, 2},
        {202, QV_MS_UNOPENED_ENV_MAX + 1, 3, 2},     // too long to ever open: counted only
    };
    for (const auto &k : steps) {
        SCOPED_TRACE(k.position);
        const bytes e = env_of(k.len, int(k.position & 0xff));
        ASSERT_EQ(quorvane_msgstore_unopened_keep(ms.get(), u8(c), k.position, u8(e), e.size()), 0);
        EXPECT_EQ(quorvane_msgstore_unopened_count(ms.get(), u8(c)), k.count);
        EXPECT_EQ(quorvane_msgstore_unopened_kept(ms.get(), u8(c)), k.kept);
    }
    // one sender past its share: its own oldest goes, counted
    const bytes carol = filled(16, 0xca);
    for (uint64_t p = 300; p <= 300 + QV_MS_UNOPENED_SENDER_KEPT; p++)
        ASSERT_EQ(quorvane_msgstore_unopened_keep(ms.get(), u8(c), p, u8(env_from(carol, p)), 100), p == 300 + QV_MS_UNOPENED_SENDER_KEPT ? 1 : 0);
    reopen();
    EXPECT_EQ(quorvane_msgstore_unopened_count(ms.get(), u8(c)), 3 + QV_MS_UNOPENED_SENDER_KEPT + 1);
    EXPECT_EQ(quorvane_msgstore_unopened_dropped(ms.get(), u8(c)), 1u);
    ASSERT_EQ(quorvane_msgstore_unopened_kept(ms.get(), u8(c)), 2 + QV_MS_UNOPENED_SENDER_KEPT);
    uint64_t pos = 0;
    const uint8_t *e = nullptr;
    size_t len = 0;
    ASSERT_EQ(quorvane_msgstore_unopened_at(ms.get(), u8(c), 0, &pos, &e, &len), 0);
    EXPECT_EQ(pos, 200u) << "another sender's went";
    ASSERT_EQ(quorvane_msgstore_unopened_at(ms.get(), u8(c), 2, &pos, &e, &len), 0);
    EXPECT_EQ(pos, 301u) << "the sender's oldest did not go first";
    EXPECT_EQ(raw(e, len), env_from(carol, 301));
    EXPECT_EQ(quorvane_msgstore_unopened_at(ms.get(), u8(c), 2 + QV_MS_UNOPENED_SENDER_KEPT, &pos, &e, &len), -1);
    EXPECT_EQ(quorvane_msgstore_unopened_drop(ms.get(), u8(c), 305), 1);
    EXPECT_EQ(quorvane_msgstore_unopened_drop(ms.get(), u8(c), 305), 0);
    reopen();
    EXPECT_EQ(quorvane_msgstore_unopened_kept(ms.get(), u8(c)), 1 + QV_MS_UNOPENED_SENDER_KEPT);
    EXPECT_EQ(quorvane_msgstore_unopened_count(ms.get(), u8(c)), 3 + QV_MS_UNOPENED_SENDER_KEPT + 1) << "dropping keeps the count";

    ASSERT_EQ(quorvane_msgstore_forget_conv(ms.get(), u8(c)), 0);
    EXPECT_FALSE(exists(file(unop_name(c))));
    EXPECT_EQ(quorvane_msgstore_unopened_kept(ms.get(), u8(c)), 0u);
    ASSERT_EQ(quorvane_msgstore_unopened_keep(ms.get(), u8(c), 900, u8(env_of(100, 1)), 100), 0);
    ASSERT_EQ(quorvane_msgstore_flush(ms.get()), 0);
    EXPECT_TRUE(exists(file(unop_name(c))));
    ASSERT_EQ(quorvane_msgstore_delete_conv(ms.get(), u8(c)), 0);
    EXPECT_FALSE(exists(file(unop_name(c))));
}

// A friend's envelopes stay kept whatever other members' come after them:
// one member past its share pushes out only its own, and when the
// conversation's are all taken the sender keeping the most gives way.
TEST_F(Unopened, AFloodPushesOutOnlyItsSendersOwn) {
    const bytes bob = filled(16, 0xb0);
    struct Flood {
        const char *name;
        size_t senders, each;  // after bob's four
        size_t dropped;
    } floods[] = {
        {"one member past its share", 1, QV_MS_UNOPENED_SENDER_KEPT + 40, 40},
        {"the conversation's share taken", QV_MS_UNOPENED_KEPT / QV_MS_UNOPENED_SENDER_KEPT, QV_MS_UNOPENED_SENDER_KEPT, 4},
    };
    for (const Flood &f : floods) {
        SCOPED_TRACE(f.name);
        const bytes conv = filled(16, f.senders == 1 ? 0xe1 : 0xe2);
        ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(conv), u8(filled(32, 7))), 0);
        uint64_t p = 1000;
        for (int i = 0; i < 4; i++, p++) ASSERT_EQ(quorvane_msgstore_unopened_keep(ms.get(), u8(conv), p, u8(env_from(bob, p)), 100), 0);
        for (size_t s = 0; s < f.senders; s++)
            for (size_t i = 0; i < f.each; i++, p++)
                ASSERT_GE(quorvane_msgstore_unopened_keep(ms.get(), u8(conv), p, u8(env_from(filled(16, int(0xc0 + s)), p)), 100), 0);
        ASSERT_EQ(quorvane_msgstore_flush(ms.get()), 0);
        reopen();
        EXPECT_EQ(quorvane_msgstore_unopened_dropped(ms.get(), u8(conv)), f.dropped);
        const size_t kept = quorvane_msgstore_unopened_kept(ms.get(), u8(conv));
        EXPECT_EQ(kept, 4 + f.senders * f.each - f.dropped);
        size_t bobs = 0;
        for (size_t i = 0; i < kept; i++) {
            uint64_t pos = 0;
            const uint8_t *e = nullptr;
            size_t len = 0;
            ASSERT_EQ(quorvane_msgstore_unopened_at(ms.get(), u8(conv), i, &pos, &e, &len), 0);
            bobs += raw(e, len) == env_from(bob, pos);
        }
        EXPECT_EQ(bobs, 4u) << "the friend's envelopes were pushed out";
    }
}

// Inside a batch the hold and what is set aside wait for its end, and are
// written before the list whose cursor passes them.
TEST_F(Unopened, BatchWritesThemBeforeTheList) {
    quorvane_msgstore_batch_begin(ms.get());
    EXPECT_EQ(stream({100}, 0), (std::vector<int>{0}));
    EXPECT_FALSE(exists(file(unop_name(c))));
    ASSERT_EQ(quorvane_msgstore_unopened_keep(ms.get(), u8(c), 60, u8(env_of(100, 6)), 100), 0);
    quorvane_msgstore_note_cursor(ms.get(), u8(c), 60);
    EXPECT_FALSE(exists(file(unop_name(c))));
    {
        auto other = open_store(dir);
        EXPECT_EQ(quorvane_msgstore_unopened_count(other.get(), u8(c)), 0u);
        EXPECT_EQ(quorvane_msgstore_sync_cursor(other.get(), u8(c)), 50u);
    }
    ASSERT_EQ(quorvane_msgstore_batch_end(ms.get()), 0);
    auto other = open_store(dir);
    EXPECT_EQ(quorvane_msgstore_unopened_count(other.get(), u8(c)), 1u);
    EXPECT_EQ(quorvane_msgstore_hold_position(other.get(), u8(c)), 100u);
    EXPECT_EQ(quorvane_msgstore_sync_cursor(other.get(), u8(c)), 60u);
}

// The plaintext of "u_" conv ".dat": a short or unknown-version one is
// unusable; a kept entry cut short, too long or past the count ends the
// reading with the entries before it.
TEST_F(Msgstore, UnopenedFileReading) {
    auto be = [](uint64_t v, int w) {
        std::string s;
        for (int k = w - 1; k >= 0; k--) s += char(v >> (8 * k));
        return s;
    };
    auto head = [&](uint8_t version, uint8_t kept) {
        return std::string(1, char(version)) + be(100, 8) + '\x02' + be(120, 8) + be(90, 8) + be(7, 4) + char(kept);
    };
    auto head2 = [&](size_t kept) {
        return std::string(1, '\x02') + be(100, 8) + '\x02' + be(120, 8) + be(90, 8) + be(7, 4) + be(3, 4) + be(kept, 2);
    };
    auto entry = [&](uint64_t pos, size_t len) { return be(pos, 8) + be(len, 2) + filled(len, 'e'); };
    struct Case {
        const char *what;
        std::string pt;
        int rc;
        size_t kept;
    } cases[] = {
        {"no entries", head(1, 0), 0, 0},
        {"two entries", head(1, 2) + entry(1, 10) + entry(2, QV_MS_UNOPENED_ENV_MAX), 0, 2},
        {"short header", head(1, 0).substr(0, QV_MS_UNOPENED_HDR - 1), -1, 0},
        {"version 3", head(3, 0), -1, 0},
        {"version 2, two entries", head2(2) + entry(1, 10) + entry(2, 20), 0, 2},
        {"version 2, short header", head2(0).substr(0, QV_MS_UNOPENED_HDR_V2 - 1), -1, 0},
        {"version 2, more announced than are kept", head2(QV_MS_UNOPENED_KEPT + 1) + entry(1, 10), 1, 0},
        {"entry cut short", head(1, 2) + entry(1, 10) + entry(2, 10).substr(0, 15), 1, 1},
        {"entry too long to open", head(1, 1) + entry(1, QV_MS_UNOPENED_ENV_MAX + 1), 1, 0},
        {"17 entries announced", head(1, 17), 1, 0},
        {"bytes after the entries", head(1, 0) + "x", 1, 0},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        quorvane_ms_conv conv{};
        EXPECT_EQ(quorvane_ms_unopened_decode(u8(k.pt), k.pt.size(), &conv), k.rc);
        EXPECT_EQ(conv.kept_count, k.kept);
        if (k.rc >= 0) {
            EXPECT_EQ(conv.hold_pos, 100u);
            EXPECT_EQ(conv.hold_tries, 2);
            EXPECT_EQ(conv.hold_high, 120u);
            EXPECT_EQ(conv.aside_upto, 90u);
            EXPECT_EQ(conv.unopened, 7u);
            EXPECT_EQ(conv.unopened_dropped, k.pt[0] == 2 ? 3u : 0u);
        }
        quorvane_ms_conv_clear(&conv);
    }
}
