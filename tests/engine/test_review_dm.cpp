// Hostile cases on the direct-message road: a receiving device whose message
// store fails or stops between opening an envelope and keeping it, and a
// server fed bogus sync cursors. Stores are reopened after each failure.
#include "deliver_support.h"
#include "relay_support.h"
#include "client_authed.h"
#include "server_store.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const uint8_t kSender[16] = {0x5e};  // the one sender of the store-level envelope cases

using namespace qvdeliver;

using qvtest::Blocker;

std::string msgs_file(const Receiver &r, const uint8_t conv[16]) { return r.dir.path + "/m_" + qvtest::hex(conv, 16) + ".dat"; }

// The session stepped by an envelope is kept only once what the envelope
// carried is: a message that could not be written comes again from the server
// (the cursor did not pass it) and must open then, with a text message, a
// first message with its preamble, and an action alike.
TEST_F(Deliver, UnwrittenMessageOpensWhenSentAgain) {
    struct Case {
        const char *name;
        bool first;  // the envelope carries the sender's preamble
    };
    for (const Case c : {Case{"preamble", true}, Case{"running session", false}}) {
        SCOPED_TRACE(c.name);
        Device sender{CAROL};
        record_devices(carol_id.data(), {&sender});
        pair(sender);
        uint64_t counter = 1;
        if (!c.first) {
            r.deliver(sender.seal(conv, text("before"), counter), counter);
            counter++;
        }
        const size_t had = msgs().size();
        const Bytes env = sender.seal(conv, text("kept at last"), counter);
        {
            Blocker b(msgs_file(r, conv));
            r.deliver(env, 100 + counter);
        }
        r.restart();
        EXPECT_EQ(msgs().size(), had) << "nothing was written";
        r.deliver(env, 100 + counter);
        ASSERT_EQ(msgs().size(), had + 1);
        EXPECT_EQ(text_of(msgs().back()), "kept at last");
        r.deliver(env, 100 + counter);
        EXPECT_EQ(msgs().size(), had + 1) << "a replay adds nothing";
        // and the session goes on
        r.deliver(sender.seal(conv, text("next"), counter + 1), 101 + counter);
        EXPECT_EQ(text_of(msgs().back()), "next");
    }
}

// A server that lists a member under an identity key of its own making, with a
// device that key certifies, must not make that device the member's: its
// envelopes would then post, rename, edit and delete as the member. The
// identity recorded first (and, for us, our own) is the one that counts.
TEST_F(Deliver, ServerMadeIdentityLendsNoDevice) {
    std::memset(r.keys.identity_pub, ALICE + 1, 32);  // as the member list has it
    pair(bob);
    r.deliver(bob.seal(conv, text("bob's words"), 1), 1);
    ASSERT_EQ(msgs().size(), 1u);
    struct Case {
        const char *name;
        std::array<uint8_t, 16> victim;
        Bytes body;
    } cases[] = {
        {"a text as Bob", bob_id, text("forged")},
        {"deleting Bob's message", bob_id, del(bob_id.data(), 1)},
        {"our display name", alice, profile("Evil Alice")},
        {"a text as us", alice, text("forged as us")},
    };
    uint64_t pos = 10;
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Device forger{k.victim[0]};
        uint8_t id_priv[32], id_pub[32], cert[64];
        ASSERT_EQ(quorvane_ed25519_keypair(id_priv, id_pub), 0);
        ASSERT_EQ(quorvane_device_cert_sign(id_priv, forger.keys.device_x25519_pub, forger.keys.device_ed25519_pub, cert), 0);
        uint8_t box[32 + QV_SEAL_OVERHEAD];
        size_t bl = 0;
        ASSERT_EQ(quorvane_seal(r.keys.device_x25519_pub, key, 32, box, sizeof box, &bl), 0);
        Bytes info = qvtest::cat({qvtest::tlv(17, Bytes(conv, conv + 16)), qvtest::tlv(18, Bytes(box, box + bl))});
        for (uint8_t who : {ALICE, BOB, CAROL, DAVE}) {
            const std::array<uint8_t, 16> u = uid(who);
            info = qvtest::cat({info, qvtest::tlv(19, Bytes(u.begin(), u.end()))});
            if (u != k.victim) {
                info = qvtest::cat({info, qvtest::tlv(3, Bytes(32, static_cast<uint8_t>(who + 1)))});
                continue;
            }
            const Bytes dev = qvtest::cat({Bytes(forger.keys.device_x25519_pub, forger.keys.device_x25519_pub + 32),
                                           Bytes(forger.keys.device_ed25519_pub, forger.keys.device_ed25519_pub + 32),
                                           Bytes(cert, cert + 64)});
            info = qvtest::cat({info, qvtest::tlv(3, Bytes(id_pub, id_pub + 32)), qvtest::tlv(55, dev)});
        }
        const Bytes frame = qvtest::frame_of(151, info);
        handle_authed_frame(r.cs, frame.data(), frame.size());
        uint8_t x[5][32];
        const size_t n = quorvane_msgstore_member_devices(r.ms, conv, k.victim.data(), x, nullptr, 5);
        for (size_t i = 0; i < n && i < 5; i++) EXPECT_NE(Bytes(x[i], x[i] + 32), Bytes(forger.dev(), forger.dev() + 32));

        forger.start(conv, r.publish());
        ++pos;
        r.deliver(forger.seal(conv, k.body, 50 + pos, k.victim.data(), cs_wall_ms()), pos);
        const auto m = msgs();
        ASSERT_EQ(m.size(), 1u);
        EXPECT_EQ(text_of(m[0]), "bob's words");
        EXPECT_EQ(quorvane_cs_self_profile_epoch(r.cs), 0u);
    }
    // the conversation key it carried is the one held: nothing else changed
    uint8_t held[32];
    ASSERT_EQ(quorvane_msgstore_get_conv(r.ms, conv, held), 1);
    EXPECT_EQ(Bytes(held, held + 32), Bytes(key, key + 32));
}

/* ---- the server ---- */

// Two accounts in one conversation, each signed in with one device.
struct Relay : ::testing::Test {
    qvrelay::ServerProc srv;
    qvrelay::Account amy{"amy"}, ben{"ben"};
    qvrelay::bytes amy_id, ben_id, conv = qvrelay::random_bytes(16);
    std::unique_ptr<qvrelay::Dev> a, b;
    void SetUp() override {
        ASSERT_TRUE(srv.start());
        ASSERT_EQ(qvrelay::reg(srv, amy, amy.first, amy.auth), 0);
        ASSERT_EQ(qvrelay::reg(srv, ben, ben.first, ben.auth), 0);
        a = std::make_unique<qvrelay::Dev>(srv, amy, amy.first);
        b = std::make_unique<qvrelay::Dev>(srv, ben, ben.first);
        amy_id = a->c.user_id;
        ben_id = b->c.user_id;
        const qvrelay::bytes key = qvrelay::random_bytes(32);
        ASSERT_TRUE(a->c.send(24, qvrelay::conv_payload(conv, key, {qvrelay::member_of(amy, amy_id, {}),
                                                                  qvrelay::member_of(ben, ben_id, {})})));
        EXPECT_EQ(a->sync().size(), 1u);
    }
    void ben_again() { b = std::make_unique<qvrelay::Dev>(srv, ben, ben.first); }
};

// A cursor says what the device has; one past every position the server ever
// handed that device cannot be true (a store restored from elsewhere, a server
// whose positions started again, a broken client) and must not delete, or
// hide, what the device never got.
TEST_F(Relay, CursorBeyondWhatWasHandedOutDeletesNothingUnseen) {
    struct Case {
        const char *name;
        uint64_t cursor;
    };
    const Case cases[] = {{"far in the future", uint64_t(1) << 62}, {"the largest", UINT64_MAX}, {"just past the last", 0}};
    uint64_t counter = 1;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        b.reset();
        const qvrelay::bytes env = qvrelay::envelope(conv, amy_id, counter++);
        const uint64_t pos = qvrelay::send_env(*a, env);
        ASSERT_NE(pos, 0u);
        const uint64_t cursor = c.cursor ? c.cursor : pos;  // "just past": claims the one it never got
        ben_again();
        auto got = qvrelay::envelopes_of(b->sync({{conv, cursor}}));
        EXPECT_EQ(got, std::vector<qvrelay::bytes>{env}) << "never handed out";
        // stored while ben is away, at a position below the claim
        b.reset();
        const qvrelay::bytes unseen = qvrelay::envelope(conv, amy_id, counter++);
        const uint64_t unseen_pos = qvrelay::send_env(*a, unseen);
        ASSERT_GT(unseen_pos, pos);
        ben_again();
        got = qvrelay::envelopes_of(b->sync({{conv, cursor}}));
        EXPECT_EQ(got, std::vector<qvrelay::bytes>{unseen}) << "stored after the claim and never handed out";
        // once handed out, a claim covering them lets them go
        got = qvrelay::envelopes_of(b->sync({{conv, std::max(cursor, unseen_pos)}}));
        EXPECT_TRUE(got.empty());
        got = qvrelay::envelopes_of(b->sync());
        EXPECT_TRUE(got.empty()) << "handed out and passed by the cursor: deleted";
    }
}

// A device that never syncs fills its own bound; from then on every member of
// every conversation it is in would be refused if a full device refused the
// whole envelope. The full device misses the copy, the others still get theirs.
TEST(RelayStore, AFullDeviceDoesNotBlockTheOthers) {
    qvtest::TempDir tmp;
    const std::string db = tmp.file("s.db");
    qvs_store *st = qvs_store_open(db.c_str());
    ASSERT_NE(st, nullptr);
    std::vector<int64_t> rows;
    for (uint8_t who : {1, 2, 3}) {
        qvs_account acct{};
        acct.name = std::string(1, static_cast<char>('a' + who));
        std::memset(acct.user_id, who, 16);
        qvs_device dev{};
        std::memset(dev.ed25519_pub, who, 32);
        ASSERT_EQ(qvs_account_create(st, &acct, &dev), 0);
        std::vector<qvs_device> devs;
        ASSERT_EQ(qvs_account_devices(st, acct.user_id, &devs), 0);
        rows.push_back(devs.at(0).row);
    }
    const int64_t idle = rows[0], reader = rows[1], other = rows[2];
    uint8_t conv[16] = {9};
    const qvrelay::bytes env = qvrelay::random_bytes(100);
    std::vector<uint64_t> pos;
    uint64_t ack = 0;
    auto copies = [&](int64_t dev) {
        std::vector<qvs_envelope> got;
        EXPECT_EQ(qvs_env_fetch(st, dev, conv, 0, UINT64_MAX, 100, 1u << 20, &got), 0);
        return got.size();
    };
    struct Step {
        const char *name;
        std::vector<int64_t> devs;
        int want;
        std::vector<bool> stored;  // per device of the step
    };
    const Step steps[] = {
        {"the idle device fills up", {idle, reader}, 0, {true, true}},
        {"full: the reader still gets it", {idle, reader}, 0, {false, true}},
        {"full, named last", {reader, other, idle}, 0, {true, true, false}},
        {"only the full device: refused", {idle}, 1, {false}},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.name);
        const size_t idle_before = copies(idle);
        EXPECT_EQ(qvs_env_store(st, conv, kSender, env.data(), env.size(), s.devs, qvs_env_bounds{1}, &pos, &ack), s.want);
        if (s.want != 0) continue;
        ASSERT_EQ(pos.size(), s.devs.size());
        for (size_t i = 0; i < s.devs.size(); i++) EXPECT_EQ(pos[i] != 0, s.stored[i]) << i;
        EXPECT_EQ(copies(idle), idle_before + (s.stored[0] && s.devs[0] == idle ? 1 : 0));
        // the reader passes what it got, so only the idle device stays full
        for (int64_t dev : {reader, other}) ASSERT_EQ(qvs_env_drop_upto(st, dev, conv, UINT64_MAX), 0);
        ASSERT_EQ(qvs_store_commit(st), 0);
    }
    qvs_store_close(st);
}

// Copies are bounded in bytes too: under the bound on their number alone,
// envelopes of up to 1 MiB would let one sender fill the disk. A cursor that
// passes copies gives their bytes back, also across a reopen.
TEST(RelayStore, WaitingBytesAreBounded) {
    qvtest::TempDir tmp;
    const std::string db = tmp.file("s.db");
    qvs_store *st = qvs_store_open(db.c_str());
    ASSERT_NE(st, nullptr);
    qvs_account acct{};
    acct.name = "b";
    std::memset(acct.user_id, 2, 16);
    qvs_device dev{};
    ASSERT_EQ(qvs_account_create(st, &acct, &dev), 0);
    std::vector<qvs_device> devs;
    ASSERT_EQ(qvs_account_devices(st, acct.user_id, &devs), 0);
    const std::vector<int64_t> to{devs.at(0).row};
    uint8_t conv[16] = {3};
    std::vector<uint64_t> pos;
    uint64_t ack = 0;
    struct Step {
        const char *name;
        size_t len;
        bool drop_first;  // the device's cursor passes all it holds first
        bool reopen;
        int want;
    };
    const Step steps[] = {
        {"100 of 250", 100, false, false, 0},
        {"200 of 250", 100, false, false, 0},
        {"300 would pass it", 100, false, false, 1},
        {"50 more fit exactly", 50, false, true, 0},
        {"one byte more does not", 1, false, false, 1},
        {"passed by the cursor, room again", 250, true, true, 0},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.name);
        if (s.drop_first) {
            ASSERT_EQ(qvs_env_drop_upto(st, to[0], conv, UINT64_MAX), 0);
        }
        if (s.reopen) {
            qvs_store_close(st);
            st = qvs_store_open(db.c_str());
            ASSERT_NE(st, nullptr);
        }
        const qvrelay::bytes env = qvrelay::random_bytes(s.len);
        EXPECT_EQ(qvs_env_store(st, conv, kSender, env.data(), env.size(), to, qvs_env_bounds{100, 250}, &pos, &ack), s.want);
        ASSERT_EQ(qvs_store_commit(st), 0);
    }
    qvs_store_close(st);
}

}  // namespace
