// The receive path and conversation-key envelopes that never open: each
// live failure holds the conversation's cursor, so the next sync brings it
// again; after it failed in three syncs (the receiver restarted between them)
// it is set aside with what failed behind it, kept, counted, noted once as
// "could not be opened", and the cursor moves on. A set-aside envelope
// whose key arrives later opens then. Here a "sync" is the receiver handed
// the same envelopes again, as the server sends whatever lies above the cursor.
#include "client_authed.h"
#include "deliver_support.h"
#include "engine_support.h"

using namespace qvdeliver;

namespace {

struct Poison : Deliver {
    uint64_t cursor() { return quorvane_msgstore_sync_cursor(r.ms, conv); }
    // Notes taken from the queue: (type, preview) in order.
    std::vector<std::pair<int, std::string>> take_notes() {
        std::vector<std::pair<int, std::string>> out;
        quorvane_notification n;
        while (quorvane_cs_poll_notification(r.cs, &n)) {
            EXPECT_EQ(Bytes(n.conv_id, n.conv_id + 16), Bytes(conv, conv + 16));
            out.emplace_back(n.type, n.preview);
        }
        return out;
    }
    // The conversation's listing with a new key sealed to this device, as the server sends it.
    void listing(const uint8_t new_key[32]) {
        Bytes sealed(32 + QV_SEAL_OVERHEAD);
        size_t n = 0;
        ASSERT_EQ(quorvane_seal(r.keys.device_x25519_pub, new_key, 32, sealed.data(), sealed.size(), &n), 0);
        const Bytes f = qvtest::frame_of(151, qvtest::cat({qvtest::tlv(17, Bytes(conv, conv + 16)), qvtest::tlv(18, sealed)}));
        handle_authed_frame(r.cs, f.data(), f.size());
    }
};

Bytes sealed_elsewhere(const uint8_t conv[16], const uint8_t sender[16], uint64_t counter, size_t body_len = 40) {
    const Bytes wrong = qvtest::random_bytes(32);
    return conv_env(wrong.data(), conv, sender, counter, text(std::string(body_len, 'p')));
}

const std::pair<int, std::string> kUnopenedNote{QV_NOTE_UNOPENED, QV_NOTE_UNOPENED_TEXT};

}  // namespace

TEST_F(Poison, SetAsideAfterThreeSyncsAndTheCursorMovesOn) {
    std::vector<Bytes> stream;
    for (uint64_t i = 0; i < 50; i++) stream.push_back(sealed_elsewhere(conv, carol_id.data(), 100 + i));
    stream.push_back(from(bob_id, 7, text("from a friend")));  // position 150
    auto sync = [&] {
        for (size_t i = 0; i < stream.size(); i++) r.deliver(stream[i], 100 + i);
    };
    sync();  // live: the first failure, then what comes behind it
    EXPECT_EQ(cursor(), 0u);
    ASSERT_EQ(msgs().size(), 1u) << "the friend's text waits for no hold";
    EXPECT_EQ(take_notes(), (std::vector<std::pair<int, std::string>>{{QV_MSG_TEXT, "from a friend"}}));
    r.restart();
    sync();
    EXPECT_EQ(cursor(), 0u) << "set aside after two syncs";
    EXPECT_TRUE(take_notes().empty());
    r.restart();
    sync();
    EXPECT_EQ(cursor(), 150u) << "the hold was never released";
    EXPECT_EQ(quorvane_msgstore_unopened_count(r.ms, conv), 50u);
    EXPECT_EQ(quorvane_msgstore_unopened_kept(r.ms, conv), 50u) << "one sender's share holds all fifty";
    EXPECT_EQ(take_notes(), (std::vector<std::pair<int, std::string>>{kUnopenedNote})) << "one note for fifty";
    EXPECT_EQ(msgs().size(), 1u);
    // what comes next holds anew; an envelope too long to ever open does not wait
    r.deliver(sealed_elsewhere(conv, carol_id.data(), 200), 160);
    EXPECT_EQ(quorvane_msgstore_hold_position(r.ms, conv), 160u);
    r.restart();
    const Bytes huge = sealed_elsewhere(conv, carol_id.data(), 201, QV_MS_UNOPENED_ENV_MAX);
    ASSERT_GT(huge.size(), QV_MS_UNOPENED_ENV_MAX);
    r.deliver(huge, 155);
    EXPECT_EQ(cursor(), 155u);
    EXPECT_EQ(quorvane_msgstore_unopened_count(r.ms, conv), 51u);
    for (size_t i = 0; i < quorvane_msgstore_unopened_kept(r.ms, conv); i++) {
        uint64_t pos = 0;
        const uint8_t *e = nullptr;
        size_t n = 0;
        ASSERT_EQ(quorvane_msgstore_unopened_at(r.ms, conv, i, &pos, &e, &n), 0);
        EXPECT_NE(pos, 155u) << "kept though it can never open";
    }
    EXPECT_EQ(take_notes(), (std::vector<std::pair<int, std::string>>{kUnopenedNote}));
}

// Sealed under a key this device gets only later: held, it opens on the
// sync that follows the key; set aside, it opens when the key arrives.
TEST_F(Poison, LateKeysOpenWhatWaited) {
    uint8_t k2[32], k3[32];
    std::memcpy(k2, qvtest::random_bytes(32).data(), 32);
    std::memcpy(k3, qvtest::random_bytes(32).data(), 32);
    const Bytes early = conv_env(k2, conv, bob_id.data(), 1, text("sealed under a key still on its way"));
    for (int sync = 0; sync < QV_MS_HOLD_TRIES; sync++) r.deliver(early, 10);
    EXPECT_EQ(cursor(), 10u);
    ASSERT_EQ(quorvane_msgstore_unopened_kept(r.ms, conv), 1u);
    EXPECT_TRUE(msgs().empty());
    take_notes();
    r.restart();
    listing(k2);
    ASSERT_EQ(msgs().size(), 1u) << "the kept envelope did not open with its key";
    EXPECT_EQ(text_of(msgs()[0]), "sealed under a key still on its way");
    EXPECT_EQ(msgs()[0].position, 10u);
    EXPECT_EQ(quorvane_msgstore_unopened_kept(r.ms, conv), 0u);
    EXPECT_EQ(take_notes(), (std::vector<std::pair<int, std::string>>{{QV_MSG_TEXT, "sealed under a key still on its way"}}));

    const Bytes later = conv_env(k3, conv, bob_id.data(), 2, text("held until its key came"));
    r.deliver(later, 20);
    EXPECT_EQ(quorvane_msgstore_hold_position(r.ms, conv), 20u);
    listing(k3);
    r.deliver(later, 20);
    EXPECT_EQ(cursor(), 20u);
    EXPECT_EQ(quorvane_msgstore_hold_position(r.ms, conv), 0u);
    EXPECT_EQ(msgs().size(), 2u);
}
