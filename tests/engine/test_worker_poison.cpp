// A worker that stays connected while a member floods a group with envelopes
// that never open, through the server program on loopback: with nothing to
// make it reconnect, it syncs again while the cursor is held, so the flood
// is set aside (noted as "could not be opened") and a friend's text after it
// arrives, without a restart.
#include "client_deliver.h"
#include "client_send.h"
#include "e2e_support.h"
#include "worker_internal.h"
#include "worker_support.h"

#include <algorithm>

using namespace qvtest;

TEST(WorkerPoison, StayingConnectedTheFloodIsSetAside) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    Device mal(srv, "mallory", 1), fred(srv, "fred", 2);
    bring_up({&mal, &fred});
    TempDir dir;
    Cfg cfg(dir, srv.port, "victim", dir.file("pin"));
    cfg.c.register_ = 1;
    cfg.c.hold_sync_ms = 200;  // a minute in the product: here the test need not wait for it
    WorkerPtr vic = cfg.start();
    ASSERT_TRUE(vic && wait_code(vic.get(), QV_WS_CONNECTED, kWaitMs));

    quorvane_prekey_reply reply = mal.prekeys_of("victim");
    ASSERT_EQ(reply.complete, 1u);
    quorvane_member members[3];
    members[0] = member_of({&mal});
    members[1] = member_of({&fred});
    quorvane_cs_peer_from_prekeys(&members[2], &reply);
    const bytes conv = random_bytes(16);
    ASSERT_EQ(quorvane_cs_create_conv(mal.cs.get(), conv.data(), random_bytes(32).data(), members, 3), 0);
    ASSERT_TRUE(mal.sync());
    ASSERT_TRUE(fred.sync());
    ASSERT_TRUE(wait_until(
        [&] {
            bool known = false;
            with_store(vic.get(), [&](quorvane_msgstore *ms) { known = ms && quorvane_msgstore_get_blocked(ms, conv.data()) == 0; });
            return known;
        },
        kWaitMs));

    constexpr size_t kFlood = 20;
    ASSERT_TRUE(send_unopenable(mal, conv, kFlood));
    ASSERT_EQ(quorvane_cs_send_text(fred.cs.get(), conv.data(), "a friend's text after the flood"), 0);
    ASSERT_EQ(fred.acks(1).at(0).ok, 1);

    std::vector<quorvane_notification> notes;
    uint32_t unopened = 0;
    uint64_t cursor = 0;
    ASSERT_TRUE(wait_until(
        [&] {
            quorvane_notification n{};
            while (quorvane_worker_poll_notification(vic.get(), &n) == 1) notes.push_back(n);
            with_store(vic.get(), [&](quorvane_msgstore *ms) {
                unopened = quorvane_msgstore_unopened_count(ms, conv.data());
                cursor = quorvane_msgstore_sync_cursor(ms, conv.data());
            });
            // the note reaches the worker's ring in the pass after the store took the envelopes
            return unopened == kFlood && cursor > 0 && std::any_of(notes.begin(), notes.end(), [](const auto &x) {
                       return x.type == QV_NOTE_UNOPENED;
                   });
        },
        kWaitMs))
        << unopened << " of " << kFlood << " set aside, cursor " << cursor;
    size_t unopened_notes = 0, texts = 0;
    for (const auto &n : notes) {
        unopened_notes += n.type == QV_NOTE_UNOPENED && std::string(n.preview) == QV_NOTE_UNOPENED_TEXT;
        texts += std::string(n.preview) == "a friend's text after the flood" && std::memcmp(n.sender, fred.uid, 16) == 0;
    }
    // noted once while a note waits: a flood set aside over several passes
    // may be noted again after this test took the first, never per envelope
    EXPECT_GE(unopened_notes, 1u);
    EXPECT_LT(unopened_notes, kFlood / 2);
    EXPECT_EQ(texts, 1u) << "the friend's text was not noted once";
}
