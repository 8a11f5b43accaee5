// One member floods a group with conversation-key envelopes that never open,
// through the server program over TLS on loopback. The victim's device must
// not hold the conversation's cursor for good: a friend's text that comes
// after the flood arrives, the flood is set aside after its syncs, and the
// server, whose copies go only when the cursor passes them, stops sending it.
#include "client_send.h"
#include "e2e_support.h"

using namespace qvtest;

namespace {

// 1,000 envelopes: enough that a cursor held for good would keep every one
// of them coming back at each sync, well below the server's bound of waiting
// copies per device (a flood that reaches it is the server's to refuse).
constexpr size_t kFlood = 1000;

// Frames 137 of the conversation in what the device received from `from` on.
size_t copies_of(const Device &d, const bytes &conv, size_t from) {
    size_t n = 0;
    for (const bytes &e : d.envelopes(from))
        if (std::memcmp(header_of(e).conversation_id, conv.data(), 16) == 0) n++;
    return n;
}

}  // namespace

TEST(PoisonFlood, FriendsTextArrivesAndTheHoldIsReleased) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    Device mal(srv, "mallory", 1), vic(srv, "victim", 2), fred(srv, "fred", 3);
    bring_up({&mal, &vic, &fred});
    const bytes conv = make_group({&mal, &vic, &fred});

    // the flood, acknowledged one by one as the victim takes it live
    size_t sent = 0, acked = 0, scanned = 0;
    ASSERT_TRUE(mal.until([&] {
        while (sent < kFlood && sent - acked < 256) {
            const bytes body = tlv(TAG_ENVELOPE, sealed_elsewhere(conv, mal.uid, 1000 + sent));
            if (send_frame(mal.cs.get(), FT_SEND, body.data(), body.size()) != 0) break;
            sent++;
        }
        for (; scanned < mal.seen.size(); scanned++) acked += mal.seen[scanned].size() >= 8 && mal.seen[scanned][3] == 136 ? 1 : 0;
        vic.pump();
        return acked == kFlood;
    })) << acked << " of " << kFlood << " acknowledged";
    ASSERT_TRUE(vic.until([&] { return copies_of(vic, conv, 0) >= kFlood; })) << "the flood did not reach the victim live";

    ASSERT_EQ(quorvane_cs_send_text(fred.cs.get(), conv.data(), "a friend's text after the flood"), 0);
    const SendResult friends = fred.acks(1).at(0);
    ASSERT_EQ(friends.ok, 1);
    auto holds_friend = [&] {
        quorvane_ms_msgrec r{};
        return quorvane_msgstore_find_msg(vic.ms, conv.data(), fred.uid, friends.counter, &r) == 0 &&
               text_of(r) == "a friend's text after the flood";
    };
    ASSERT_TRUE(vic.until(holds_friend)) << "the friend's text did not arrive";

    // two syncs, the store reopened between them as after a restart: the
    // flood comes back while the cursor waits, then is set aside
    for (int sync = 1; sync <= 2; sync++) {
        SCOPED_TRACE(sync);
        ASSERT_TRUE(vic.reopen());
        const size_t from = vic.seen.size();
        ASSERT_TRUE(vic.sync());
        EXPECT_EQ(copies_of(vic, conv, from), kFlood + 1) << "the flood and the friend's text, sent again";
    }
    EXPECT_TRUE(holds_friend());
    EXPECT_EQ(quorvane_msgstore_unopened_count(vic.ms, conv.data()), kFlood);
    EXPECT_EQ(quorvane_msgstore_hold_position(vic.ms, conv.data()), 0u);
    size_t unopened_notes = 0;
    quorvane_notification n;
    while (quorvane_cs_poll_notification(vic.cs.get(), &n))
        if (n.type == QV_NOTE_UNOPENED && std::string(n.preview) == QV_NOTE_UNOPENED_TEXT) unopened_notes++;
    EXPECT_EQ(unopened_notes, 1u) << "one note for the whole flood";

    // the cursor passed them: the server sends none of it again
    ASSERT_TRUE(vic.reopen());
    const size_t from = vic.seen.size();
    ASSERT_TRUE(vic.sync());
    EXPECT_EQ(copies_of(vic, conv, from), 0u) << "the flood keeps coming back";
    EXPECT_EQ(quorvane_msgstore_unopened_count(vic.ms, conv.data()), kFlood) << "kept across the reopen";
    EXPECT_TRUE(holds_friend());
}

// The server may stop having a held envelope (its retention or a removal
// takes it; here a sync that names a cursor at it, as the server deletes what
// a cursor passes). A sync brings every copy above the cursors it names, so
// the hold ends at the end of the first sync without it, instead of keeping
// the cursor below it for good; what failed behind it holds in its turn and
// is set aside after its syncs.
TEST(PoisonFlood, AHoldTheServerNoLongerSendsEnds) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    Device mal(srv, "mallory", 1), vic(srv, "victim", 2), fred(srv, "fred", 3);
    bring_up({&mal, &vic, &fred});
    const bytes conv = make_group({&mal, &vic, &fred});
    constexpr size_t kFew = 5;
    ASSERT_TRUE(send_unopenable(mal, conv, kFew));
    ASSERT_EQ(quorvane_cs_send_text(fred.cs.get(), conv.data(), "a friend's text"), 0);
    const SendResult friends = fred.acks(1).at(0);
    ASSERT_EQ(friends.ok, 1);
    quorvane_ms_msgrec text{};
    ASSERT_TRUE(vic.until([&] { return quorvane_msgstore_find_msg(vic.ms, conv.data(), fred.uid, friends.counter, &text) == 0; }));
    const uint64_t held = quorvane_msgstore_hold_position(vic.ms, conv.data());
    ASSERT_GT(held, 0u);
    ASSERT_LT(quorvane_msgstore_sync_cursor(vic.ms, conv.data()), held);

    // the held copy goes from the server; this sync is not the victim's own
    {
        const size_t from = vic.seen.size();
        bytes entry = conv;  // the conversation and its cursor, big-endian
        for (int b = 0; b < 8; b++) entry.push_back(uint8_t(held >> (56 - 8 * b)));
        const bytes body = tlv(41, entry);
        ASSERT_EQ(send_frame(vic.cs.get(), 8, body.data(), body.size()), 0);
        ASSERT_TRUE(vic.until([&] { return vic.saw_since(from, FT_SYNC_DONE); }));
    }
    ASSERT_EQ(quorvane_msgstore_hold_position(vic.ms, conv.data()), held);

    ASSERT_TRUE(vic.sync());
    const uint64_t next = quorvane_msgstore_hold_position(vic.ms, conv.data());
    EXPECT_NE(next, held) << "a hold on a copy the server no longer has did not end";
    for (int sync = 0; sync < QV_MS_HOLD_TRIES; sync++) {
        SCOPED_TRACE(sync);
        ASSERT_TRUE(vic.sync());
    }
    EXPECT_EQ(quorvane_msgstore_hold_position(vic.ms, conv.data()), 0u);
    EXPECT_EQ(quorvane_msgstore_unopened_count(vic.ms, conv.data()), kFew - 1) << "those behind it were not set aside";
    EXPECT_GE(quorvane_msgstore_sync_cursor(vic.ms, conv.data()), text.position) << "the cursor did not pass the friend's text";
    const size_t from = vic.seen.size();
    ASSERT_TRUE(vic.sync());
    EXPECT_EQ(copies_of(vic, conv, from), 0u) << "the conversation keeps coming back";
}
