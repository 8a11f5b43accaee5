// Direct messages end to end: client sessions, each device with its own key
// record and message store, talking through the server program over TLS on
// loopback with real key agreement and ratchets. Stores are closed and opened
// again between steps, so what a device knows must have been written.
#include "e2e_support.h"

#include <csignal>
#include <cstring>
#include <set>

using namespace qvtest;

// The first message carries the key agreement's preamble, the receiver stores
// it with a notification, and the first reply makes the sender drop the
// preamble from its session record and from the envelopes after it.
TEST(DmEndToEnd, FirstMessageReplyAndAcknowledgement) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    Device amy(srv, "amy", 1), ben(srv, "ben", 2);
    bring_up({&amy, &ben});
    const bytes conv = open_dm(amy, "ben", 1);
    const bytes pending = amy.record(conv, ben.dev_key());
    ASSERT_EQ(pending.size(), 1 + QV_DM_PREAMBLE_LEN + QV_RATCHET_SER_BASE);
    EXPECT_EQ(pending[0] & (QV_SR_PENDING | QV_SR_INITIATOR), QV_SR_PENDING | QV_SR_INITIATOR);

    ASSERT_TRUE(amy.reopen());
    const uint64_t first = amy.send_text(conv, "hello *ben*");
    EXPECT_EQ(first, 1u);
    expect_acks(amy.acks(1), conv, {first}, 1);

    ASSERT_TRUE(ben.reopen());
    ASSERT_TRUE(ben.sync());
    auto envs = ben.envelopes();
    ASSERT_EQ(envs.size(), 1u);
    ASSERT_GT(envs[0].size(), QV_DEV_ENV_FIXED + QV_DM_PREAMBLE_LEN);
    EXPECT_EQ(envs[0][QV_ENV_HEADER_LEN], 1) << "the first envelope carries the preamble";
    EXPECT_EQ(hex(envs[0].data() + QV_ENV_HEADER_LEN + 1, 32), hex(amy.dev_key(), 32));
    EXPECT_EQ(hex(envs[0].data() + QV_DEV_ENV_FIXED, QV_DM_PREAMBLE_LEN), hex(pending.data() + 1, QV_DM_PREAMBLE_LEN));
    auto got = ben.messages(conv);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(text_of(got[0]), "hello *ben*");
    EXPECT_EQ(got[0].type, QV_MSG_TEXT);
    EXPECT_EQ(got[0].msg_id, first);
    EXPECT_EQ(hex(got[0].author, 16), hex(amy.uid, 16));
    EXPECT_EQ(hex(got[0].author_device, 32), hex(amy.dev_key(), 32));
    quorvane_notification note{};
    ASSERT_EQ(quorvane_cs_poll_notification(ben.cs.get(), &note), 1);
    EXPECT_EQ(hex(note.conv_id, 16), hex(conv));
    EXPECT_EQ(hex(note.sender, 16), hex(amy.uid, 16));
    EXPECT_EQ(note.type, QV_MSG_TEXT);
    EXPECT_STREQ(note.preview, "hello ben");
    EXPECT_EQ(quorvane_cs_poll_notification(ben.cs.get(), &note), 0);
    const bytes responder = ben.record(conv, amy.dev_key());
    ASSERT_FALSE(responder.empty());
    EXPECT_EQ(responder[0], QV_SR_RESPONDER);

    // The reply, from a store opened again; amy reads it after opening hers again.
    ASSERT_TRUE(ben.reopen());
    const uint64_t reply = ben.send_text(conv, "hi amy");
    expect_acks(ben.acks(1), conv, {reply}, 1);
    ASSERT_TRUE(amy.reopen());
    ASSERT_TRUE(amy.sync());
    auto at_amy = amy.messages(conv);
    ASSERT_EQ(at_amy.size(), 1u);
    EXPECT_EQ(text_of(at_amy[0]), "hi amy");
    EXPECT_EQ(hex(at_amy[0].author, 16), hex(ben.uid, 16));
    EXPECT_EQ(hex(at_amy[0].author_device, 32), hex(ben.dev_key(), 32));
    ASSERT_TRUE(amy.reopen());
    const bytes answered = amy.record(conv, ben.dev_key());
    ASSERT_FALSE(answered.empty());
    EXPECT_EQ(answered[0] & QV_SR_PENDING, 0);
    EXPECT_EQ(pending.size() - answered.size(), QV_DM_PREAMBLE_LEN);

    // ben is synced on this connection: the next envelope comes live, without a preamble.
    ASSERT_TRUE(ben.sync());
    const size_t mark = ben.seen.size();
    const uint64_t second = amy.send_text(conv, "second");
    expect_acks(amy.acks(1), conv, {second}, 1);
    ASSERT_TRUE(ben.until([&] { return ben.messages(conv).size() == 2; }));
    envs = ben.envelopes(mark);
    ASSERT_EQ(envs.size(), 1u);
    EXPECT_EQ(envs[0][QV_ENV_HEADER_LEN], 0);
    EXPECT_EQ(header_of(envs[0]).counter, second);
    EXPECT_EQ(text_of(ben.messages(conv)[1]), "second");
}

// Three devices of the peer: one frame per device, all with one counter, each
// acknowledged; every device opens its own copy and drops the other two.
TEST(DmEndToEnd, ThreeDevicesOfThePeer) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    Device amy(srv, "amy", 1), ben1(srv, "ben", 2), ben2(srv, "ben", 2), ben3(srv, "ben", 2);
    bring_up({&amy, &ben1, &ben2, &ben3});
    for (Device *d : {&ben2, &ben3}) EXPECT_EQ(hex(d->uid, 16), hex(ben1.uid, 16)) << "one account";
    const bytes conv = open_dm(amy, "ben", 3);

    const uint64_t counter = amy.send_text(conv, "to every device");
    EXPECT_EQ(amy.cs->authed.pending.count, 3u);
    expect_acks(amy.acks(3), conv, {counter, counter, counter}, 1);

    for (Device *d : {&ben1, &ben2, &ben3}) {
        SCOPED_TRACE(hex(d->dev_key(), 4));
        ASSERT_TRUE(d->reopen());
        ASSERT_TRUE(d->sync());
        auto envs = d->envelopes();
        ASSERT_EQ(envs.size(), 3u) << "a copy of each frame";
        for (auto &e : envs) {
            EXPECT_EQ(header_of(e).counter, counter);
            EXPECT_EQ(e[QV_ENV_HEADER_LEN], 1);
        }
        auto got = d->messages(conv);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].msg_id, counter);
        EXPECT_EQ(text_of(got[0]), "to every device");
        EXPECT_EQ(hex(got[0].author_device, 32), hex(amy.dev_key(), 32));
        EXPECT_FALSE(d->record(conv, amy.dev_key()).empty());
        ASSERT_TRUE(d->reopen());
        EXPECT_EQ(d->messages(conv).size(), 1u) << "kept across a reopen";
    }
}

// The receiver is away while the sender sends; the server is killed after the
// acknowledgements and started again on its data: every acknowledged message
// reaches the receiver once, the first one with the preamble opening the session.
TEST(DmEndToEnd, OfflineDeliveryAcrossServerKill) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    Device amy(srv, "amy", 1), ben(srv, "ben", 2);
    bring_up({&amy, &ben});
    const bytes conv = open_dm(amy, "ben", 1);
    ben.offline();

    std::vector<std::string> texts;
    std::vector<uint64_t> counters;
    for (int i = 0; i < 6; i++) {
        texts.push_back("while away " + std::to_string(i));
        counters.push_back(amy.send_text(conv, texts.back()));
    }
    expect_acks(amy.acks(texts.size()), conv, counters, 1);
    kill(srv.proc->pid, SIGKILL);
    srv.stop();
    amy.offline();
    ASSERT_TRUE(srv.start(true));

    ASSERT_TRUE(ben.online());
    ASSERT_TRUE(ben.sync());
    auto got = ben.messages(conv);
    ASSERT_EQ(got.size(), texts.size());
    for (size_t i = 0; i < got.size(); i++) {
        EXPECT_EQ(text_of(got[i]), texts[i]) << i;
        EXPECT_EQ(got[i].msg_id, counters[i]) << i;
    }
    // Again, from a store opened anew: the cursor passed them, nothing comes twice.
    ASSERT_TRUE(ben.reopen());
    const size_t mark = ben.seen.size();
    ASSERT_TRUE(ben.sync());
    EXPECT_TRUE(ben.envelopes(mark).empty());
    EXPECT_EQ(ben.messages(conv).size(), texts.size());
}

// The conversation-key path: a group of three accounts, the sender with a
// second device. Without device sessions, and with sessions only with its own
// devices, a text goes out by the conversation key to every member; with the
// multi-device switch on it carries the sending device, which receivers record.
TEST(DmEndToEnd, ConversationKeyPathToAGroup) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    Device amy(srv, "amy", 1), amy2(srv, "amy", 1), ben(srv, "ben", 2), cy(srv, "cy", 3);
    bring_up({&amy, &amy2, &ben, &cy});
    const bytes conv = random_bytes(16), key = random_bytes(32);
    const quorvane_member members[] = {member_of({&amy, &amy2}), member_of({&ben}), member_of({&cy})};
    ASSERT_EQ(quorvane_cs_create_conv(amy.cs.get(), conv.data(), key.data(), members, 3), 0);
    ASSERT_TRUE(amy.sync());

    struct Step {
        const char *name;
        bool own_session;  // a device session with amy's second device only
        int multidev;
        bool wrapped;
    };
    const Step steps[] = {
        {"no device session", false, 0, false},
        {"no device session, switch on", false, 1, true},
        {"a session with the own second device only", true, 1, true},
        {"the same, switch off", true, 0, false},
    };
    std::vector<std::string> texts;
    for (const Step &s : steps) {
        SCOPED_TRACE(s.name);
        if (s.own_session) {
            quorvane_prekey_reply own = amy.prekeys_of("amy");
            quorvane_peer peer{};
            quorvane_cs_peer_devices_from_prekeys(&peer, &own);
            quorvane_peer other{};
            std::memcpy(other.user_id, peer.user_id, 16);
            for (size_t i = 0; i < peer.device_count; i++)
                if (std::memcmp(peer.devices[i].bundle.dev_x, amy.dev_key(), 32) != 0) other.devices[other.device_count++] = peer.devices[i];
            ASSERT_EQ(other.device_count, 1);
            if (amy.record(conv, amy2.dev_key()).empty()) {
                ASSERT_EQ(quorvane_cs_dm_init(amy.cs.get(), conv.data(), &other), 0);
            }
            EXPECT_EQ(quorvane_cs_dm_self_only(amy.ms, conv.data(), amy.uid), 1);
        }
        quorvane_cs_set_self_multidev(amy.cs.get(), s.multidev);
        texts.push_back(std::string("to the group: ") + s.name);
        const uint64_t counter = amy.send_text(conv, texts.back());
        expect_acks(amy.acks(1), conv, {counter}, 1);
        for (Device *d : {&amy2, &ben, &cy}) {
            SCOPED_TRACE(d->user);
            ASSERT_TRUE(d->reopen());
            const size_t mark = d->seen.size();
            ASSERT_TRUE(d->sync());
            auto envs = d->envelopes(mark);
            ASSERT_EQ(envs.size(), 1u);
            EXPECT_FALSE(all_zero(header_of(envs[0]).salt, 16)) << "sealed by the conversation key";
            auto got = d->messages(conv);
            ASSERT_EQ(got.size(), texts.size());
            const quorvane_ms_msgrec &m = got.back();
            EXPECT_EQ(text_of(m), texts.back());
            EXPECT_EQ(m.msg_id, counter);
            EXPECT_EQ(hex(m.author, 16), hex(amy.uid, 16));
            EXPECT_EQ(hex(m.author_device, 32), s.wrapped ? hex(amy.dev_key(), 32) : hex(bytes(32)));
        }
    }
}

namespace {

struct Forger {
    Device *d;
    std::vector<bytes> sent;
};
int send_forged(void *ctx, const uint8_t *, const uint8_t *env, size_t len) {
    auto *f = static_cast<Forger *>(ctx);
    f->sent.emplace_back(env, env + len);
    const bytes body = tlv(TAG_ENVELOPE, f->sent.back());
    return send_frame(f->d->cs.get(), FT_SEND, body.data(), body.size());
}

}  // namespace

// A member of a group seals device-session envelopes to another member with
// the real key agreement, claiming to be a third: naming that member in the
// header, or presenting that member's device key. Neither touches the
// receiver's store; the same member speaking as itself is delivered.
TEST(DmEndToEnd, ForgedSenderThroughTheServer) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    Device amy(srv, "amy", 1), ben(srv, "ben", 2), cy(srv, "cy", 3);
    bring_up({&amy, &ben, &cy});
    const bytes conv = random_bytes(16), key = random_bytes(32);
    const quorvane_member members[] = {member_of({&amy}), member_of({&ben}), member_of({&cy})};
    ASSERT_EQ(quorvane_cs_create_conv(amy.cs.get(), conv.data(), key.data(), members, 3), 0);
    ASSERT_TRUE(amy.sync());
    ASSERT_TRUE(ben.sync());
    const uint64_t bens = ben.send_text(conv, "ben's own words");
    expect_acks(ben.acks(1), conv, {bens}, 1);
    ASSERT_TRUE(amy.until([&] { return amy.messages(conv).size() == 1; }));
    ASSERT_TRUE(cy.sync());

    bytes del(QV_MSG_DELETE_LEN);
    ASSERT_EQ(quorvane_msg_delete_encode(ben.uid, bens, del.data(), del.size()), del.size());
    const bytes hello = text_body("cy as cy");
    struct Case {
        const char *name;
        const uint8_t *header_sender;
        const uint8_t *device;
        bytes body;
        int server_ok;
        bool stored;
    };
    const Case cases[] = {
        {"the header names ben", ben.uid, cy.dev_key(), del, 0, false},
        {"ben's device key under cy's name", cy.uid, ben.dev_key(), del, 1, false},
        {"cy as itself", cy.uid, cy.dev_key(), hello, 1, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        quorvane_prekey_reply reply = cy.prekeys_of("amy");
        quorvane_peer peer{};
        quorvane_cs_peer_devices_from_prekeys(&peer, &reply);
        ASSERT_EQ(peer.device_count, 1);
        ASSERT_EQ(cs_dm_init_device(cy.ms, &cy.keys.k, conv.data(), &peer.devices[0], 1, cs_wall_ms()), 0);
        Forger f{&cy, {}};
        const uint64_t counter = quorvane_msgstore_next_counter(cy.ms, conv.data());
        ASSERT_EQ(cs_seal_devices(cy.ms, conv.data(), c.header_sender, c.device, counter, cs_wall_ms(), c.body.data(), c.body.size(),
                                  &cy.cs->authed.pending, send_forged, &f),
                  1);
        ASSERT_EQ(f.sent.size(), 1u);
        EXPECT_EQ(f.sent[0][QV_ENV_HEADER_LEN], 1);
        expect_acks(cy.acks(1), conv, {counter}, c.server_ok);
        const uint64_t failed = amy.cs->deliver.failed;
        const size_t mark = amy.seen.size();
        if (c.server_ok) {
            ASSERT_TRUE(amy.until([&] { return !amy.envelopes(mark).empty(); }));
        }
        ASSERT_TRUE(amy.sync());  // a round trip after anything the server passed on
        auto got = amy.messages(conv);
        ASSERT_EQ(got.size(), c.stored ? 2u : 1u);
        EXPECT_EQ(text_of(got[0]), "ben's own words") << "ben's message untouched";
        EXPECT_EQ(got[0].type, QV_MSG_TEXT);
        EXPECT_EQ(amy.cs->deliver.failed, failed + (c.server_ok && !c.stored ? 1 : 0));
        if (c.stored) {
            EXPECT_EQ(text_of(got[1]), "cy as cy");
            EXPECT_EQ(hex(got[1].author, 16), hex(cy.uid, 16));
            EXPECT_EQ(hex(got[1].author_device, 32), hex(cy.dev_key(), 32));
            ASSERT_TRUE(amy.reopen());
            EXPECT_EQ(amy.messages(conv).size(), 2u);
        }
    }
}
