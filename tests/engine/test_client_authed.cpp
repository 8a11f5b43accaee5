// The signed-in exchange: server frames written here by hand from the tag
// tables and handed to a signed-in session with a real message store, and the
// request bodies a signed-in session sends, captured by a scripted TLS peer.
#include "client_authed.h"
#include "client_community.h"
#include "dm_support.h"
#include "quorvane_crypto.h"
#include "quorvane_x3dh.h"
#include "signed_in_support.h"

#include <cstring>
#include <mutex>
#include <sys/stat.h>

using namespace qvtest;

namespace {

// Frame 135 for one device as a server lists it.
bytes device_tlvs(uint8_t seed, bool otk) {
    bytes d = cat({tlv(4, rep(seed, 32)), tlv(5, rep(seed + 1, 32)), tlv(46, rep(seed + 2, 32)), tlv(47, rep(seed + 3, 64)),
                   tlv(48, be32(0x01020300u + seed))});
    if (otk) d = cat({d, tlv(49, rep(seed + 4, 32)), tlv(50, be32(0x0A0B0C00u + seed))});
    return d;
}

}  // namespace

// Frame 135: the record is rebuilt from zero for each reply, devices open on a
// 4 followed by a 5, prekey tags go to the device last opened, tags of another
// length are skipped, and an incomplete reply is still queued.
TEST(AuthedFrames, PrekeyReplyParsing) {
    const bytes uid = rep(0x11, 16), ident = rep(0x22, 32);
    struct Case {
        const char *name;
        bytes payload;
        uint32_t complete;
        uint64_t devices;
    };
    const Case cases[] = {
        {"two devices", cat({tlv(14, uid), tlv(3, ident), device_tlvs(0x30, true), device_tlvs(0x40, false)}), 1, 2},
        {"without TLV 5", cat({tlv(14, uid), tlv(3, ident), tlv(4, rep(0x30, 32)), tlv(46, rep(1, 32))}), 0, 0},
        {"only the user id", tlv(14, uid), 0, 0},
        {"a 5 before any 4", cat({tlv(14, uid), tlv(3, ident), tlv(5, rep(0x31, 32)), tlv(4, rep(0x30, 32))}), 1, 0},
        {"six devices", cat({tlv(14, uid), tlv(3, ident), device_tlvs(0x10, false), device_tlvs(0x20, false), device_tlvs(0x30, false),
                             device_tlvs(0x40, false), device_tlvs(0x50, false), device_tlvs(0x60, true)}), 1, 5},
        {"short keys skipped", cat({tlv(14, uid), tlv(3, ident), tlv(4, rep(0x30, 31)), tlv(4, rep(0x30, 32)), tlv(5, rep(0x31, 32)),
                                    tlv(46, rep(9, 31)), tlv(48, bytes{1, 2, 3})}), 0, 1},  // the first 4 is the one looked at
    };
    Local l;
    l.cs->authed.prekeys_in_flight = 1;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        l.feed(135, c.payload);
        EXPECT_EQ(l.cs->authed.prekeys_in_flight, 0u);  // never below zero
        EXPECT_EQ(quorvane_cs_prekeys_busy(l.cs.get()), 1);
        quorvane_prekey_reply r;
        ASSERT_EQ(quorvane_cs_take_prekeys(l.cs.get(), &r), 1);
        EXPECT_EQ(quorvane_cs_prekeys_busy(l.cs.get()), 0);
        EXPECT_EQ(r.complete, c.complete);
        EXPECT_EQ(r.device_count, c.devices);
        EXPECT_EQ(hex(r.user_id, 16), hex(uid));
    }
    // the layout of one device, field by field, and device 0's prekeys beside the first keys
    l.feed(135, cases[0].payload);
    quorvane_prekey_reply r;
    ASSERT_EQ(quorvane_cs_take_prekeys(l.cs.get(), &r), 1);
    const quorvane_prekey_device &d0 = r.devices[0], &d1 = r.devices[1];
    EXPECT_EQ(hex(r.identity, 32), hex(ident));
    EXPECT_EQ(hex(d0.dev_x, 32), hex(rep(0x30, 32)));
    EXPECT_EQ(hex(d0.dev_ed, 32), hex(rep(0x31, 32)));
    EXPECT_EQ(d0.has_spk, 1);
    EXPECT_EQ(hex(d0.spk, 32), hex(rep(0x32, 32)));
    EXPECT_EQ(hex(d0.sig, 64), hex(rep(0x33, 64)));
    EXPECT_EQ(d0.spk_id, 0x01020330u);
    EXPECT_EQ(d0.has_otk, 1);
    EXPECT_EQ(hex(d0.otk, 32), hex(rep(0x34, 32)));
    EXPECT_EQ(d0.otk_id, 0x0A0B0C30u);
    EXPECT_EQ(d1.has_otk, 0);
    EXPECT_EQ(d1.spk_id, 0x01020340u);
    EXPECT_EQ(hex(r.first.dev_x, 32), hex(rep(0x30, 32)));
    EXPECT_EQ(r.first.spk_id, d0.spk_id);
    EXPECT_EQ(hex(r.first.otk, 32), hex(d0.otk, 32));
    // the sixth device's prekeys never land on the fifth
    l.feed(135, cases[4].payload);
    ASSERT_EQ(quorvane_cs_take_prekeys(l.cs.get(), &r), 1);
    EXPECT_EQ(hex(r.devices[4].dev_x, 32), hex(rep(0x50, 32)));
    EXPECT_EQ(r.devices[4].has_otk, 0);
    // a member record from the reply
    quorvane_member m;
    l.feed(135, cases[0].payload);
    ASSERT_EQ(quorvane_cs_take_prekeys(l.cs.get(), &r), 1);
    quorvane_cs_peer_from_prekeys(&m, &r);
    EXPECT_EQ(m.device_count, 2u);
    EXPECT_EQ(hex(m.devices[1], 64), hex(cat({rep(0x40, 32), rep(0x41, 32)})));
    r.device_count = 6;
    quorvane_cs_peer_from_prekeys(&m, &r);
    EXPECT_EQ(m.device_count, 0u);
    EXPECT_EQ(hex(m.user_id, 16), hex(uid));
}

// Nine replies with none taken leave the newest eight, oldest first; a taken
// record is wiped in the ring. Two requests answered by one reply stay busy.
TEST(AuthedFrames, PrekeyRingKeepsTheNewestEight) {
    Local l;
    l.cs->authed.prekeys_in_flight = 2;
    l.feed(135, tlv(14, rep(0, 16)));
    quorvane_prekey_reply r;
    ASSERT_EQ(quorvane_cs_take_prekeys(l.cs.get(), &r), 1);
    EXPECT_EQ(quorvane_cs_prekeys_busy(l.cs.get()), 1);  // one request still waits
    l.cs->authed.prekeys_in_flight = 0;
    for (uint8_t i = 1; i <= 9; i++) l.feed(135, cat({tlv(14, rep(i, 16)), tlv(3, rep(i, 32))}));
    for (uint8_t i = 2; i <= 9; i++) {
        ASSERT_EQ(quorvane_cs_take_prekeys(l.cs.get(), &r), 1);
        EXPECT_EQ(r.user_id[0], i);
    }
    EXPECT_EQ(quorvane_cs_take_prekeys(l.cs.get(), &r), 0);
    for (const auto &slot : l.cs->authed.prekeys) EXPECT_TRUE(all_zero(&slot, sizeof slot));
}

// Frame 136 pairs with the oldest pending send; accepted only with a non-zero
// position; nothing happens without a pending send; the result ring keeps 64.
TEST(AuthedFrames, AcknowledgementsPairFirstInFirstOut) {
    Local l;
    const bytes conv = rep(0xC0, 16);
    l.feed(136, tlv(21, be64(7)));  // nothing pending
    EXPECT_EQ(quorvane_cs_poll_send_result(l.cs.get(), nullptr, nullptr, nullptr), 0);
    struct Case {
        bytes payload;
        int ok;
    };
    const Case cases[] = {{tlv(21, be64(5)), 1}, {{}, 0}, {tlv(21, be64(0)), 0}, {tlv(21, bytes{1, 2}), 0}};
    for (uint64_t i = 0; i < 4; i++) ASSERT_EQ(cs_pending_push(&l.cs->authed.pending, conv.data(), 100 + i), 0);
    for (const auto &c : cases) l.feed(136, c.payload);
    for (uint64_t i = 0; i < 4; i++) {
        uint8_t id[16];
        uint64_t counter = 0;
        int ok = -1;
        ASSERT_EQ(quorvane_cs_poll_send_result(l.cs.get(), id, &counter, &ok), 1);
        EXPECT_EQ(counter, 100 + i);
        EXPECT_EQ(ok, cases[i].ok);
        EXPECT_EQ(hex(id, 16), hex(conv));
    }
    EXPECT_EQ(quorvane_cs_poll_send_result(l.cs.get(), nullptr, nullptr, nullptr), 0);
    for (uint64_t i = 1; i <= 65; i++) {
        ASSERT_EQ(cs_pending_push(&l.cs->authed.pending, conv.data(), i), 0);
        l.feed(136, tlv(21, be64(i)));
    }
    uint64_t counter = 0;
    ASSERT_EQ(quorvane_cs_poll_send_result(l.cs.get(), nullptr, &counter, nullptr), 1);
    EXPECT_EQ(counter, 2u);
}

// Frames 139 and 150 write the noted cursors and stamp the last sync.
TEST(AuthedFrames, EndOfSyncWritesCursors) {
    for (uint8_t type : {139, 150}) {
        SCOPED_TRACE(type);
        Local l;
        const bytes conv = rep(0xC1, 16);
        ASSERT_EQ(quorvane_msgstore_put_conv(l.ms, conv.data(), rep(1, 32).data()), 0);
        quorvane_msgstore_note_cursor(l.ms, conv.data(), 4242);
        EXPECT_EQ(quorvane_cs_last_sync(l.cs.get()), 0u);
        const uint64_t before = static_cast<uint64_t>(time(nullptr));
        l.feed(type, {});
        EXPECT_GE(quorvane_cs_last_sync(l.cs.get()), before);
        EXPECT_LE(quorvane_cs_last_sync(l.cs.get()), before + 60);
        quorvane_msgstore *again = quorvane_msgstore_open(l.dir.path.c_str(), kStoreSecret);  // what is on disk
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(quorvane_msgstore_sync_cursor(again, conv.data()), 4242u);
        quorvane_msgstore_close(again);
    }
}

// Frame 151: the key opens or the conversation is added locked; a stale key is
// counted only when one was held; a different key keeps the held one among
// the older keys; older keys, kind, read mark, members, certified devices and
// the peer are stored.
TEST(AuthedFrames, ConversationInformation) {
    Local l;
    const uint8_t *me = l.keys.k.device_x25519_pub;
    Keys stranger, bob;
    const bytes conv = rep(0xD0, 16), k1 = rep(0x01, 32), k2 = rep(0x02, 32), k3 = rep(0x03, 32), k4 = rep(0x04, 32);
    const bytes bob_id = rep(0xB0, 16);

    // a key that does not open for a conversation not held: added locked, nothing counted
    l.feed(151, cat({tlv(17, conv), tlv(18, sealed_to(stranger.k.device_x25519_pub, k1))}));
    EXPECT_EQ(quorvane_msgstore_conv_locked(l.ms, conv.data()), 1);
    EXPECT_EQ(quorvane_cs_take_stale_keys(l.cs.get()), 0u);

    // the key opens; older keys, kind, read mark and the member list come with it
    bytes bob_dev = cat({b(bob.k.device_x25519_pub, 32), b(bob.k.device_ed25519_pub, 32), b(bob.k.device_cert, 64)});
    bytes forged = bob_dev;
    forged[100] ^= 1;
    const bytes full = cat({tlv(17, conv), tlv(18, sealed_to(me, k1)), tlv(84, cat({rep(0xEE, 16), sealed_to(me, cat({k3, k4}))})),
                            tlv(38, u8(1)), tlv(100, be64(12)),
                            tlv(19, OWN), tlv(3, rep(0x0E, 32)), tlv(28, u8(1)),
                            tlv(19, bob_id), tlv(3, b(bob.k.identity_pub, 32)), tlv(4, rep(0x5C, 32)), tlv(28, u8(2)),
                            tlv(55, forged), tlv(55, bob_dev), tlv(77, u8(1)),
                            tlv(3, rep(0x33, 32))});  // a 3 without its 19 adds nobody
    const uint32_t epoch = quorvane_cs_read_marks_epoch(l.cs.get());
    l.feed(151, full);
    uint8_t keys[8][32];
    ASSERT_EQ(l.keys_of(conv, keys), 3u);
    EXPECT_EQ(hex(keys[0], 32), hex(k1));
    EXPECT_EQ(hex(keys[1], 32), hex(k3));
    EXPECT_EQ(hex(keys[2], 32), hex(k4));
    EXPECT_EQ(quorvane_msgstore_kind(l.ms, conv.data()), 1);
    EXPECT_EQ(quorvane_msgstore_read_mark(l.ms, conv.data()), 12u);
    EXPECT_EQ(quorvane_cs_read_marks_epoch(l.cs.get()), epoch + 1);
    ASSERT_EQ(quorvane_msgstore_member_count(l.ms, conv.data()), 2u);
    uint8_t user[16], ident[32], second[32], role = 0;
    ASSERT_EQ(quorvane_msgstore_member_at(l.ms, conv.data(), 1, user, ident, second, &role), 0);
    EXPECT_EQ(hex(user, 16), hex(bob_id));
    EXPECT_EQ(hex(second, 32), hex(rep(0x5C, 32)));
    EXPECT_EQ(role, 2);
    EXPECT_EQ(quorvane_msgstore_member_muted(l.ms, conv.data(), 1), 1);
    uint8_t first[5][32];
    ASSERT_EQ(quorvane_msgstore_member_devices(l.ms, conv.data(), bob_id.data(), first, nullptr, 5), 1u);  // the forged one is not
    EXPECT_EQ(hex(first[0], 32), hex(bob.k.device_x25519_pub, 32));
    uint8_t peer[16], peer_key[32];
    ASSERT_EQ(quorvane_msgstore_get_peer(l.ms, conv.data(), peer, peer_key), 1);
    EXPECT_EQ(hex(peer, 16), hex(bob_id));
    l.feed(151, full);  // the same read mark again moves nothing
    EXPECT_EQ(quorvane_cs_read_marks_epoch(l.cs.get()), epoch + 1);

    // a key that does not open, with a key held: counted once, the key stays
    l.feed(151, cat({tlv(17, conv), tlv(18, sealed_to(stranger.k.device_x25519_pub, k2))}));
    EXPECT_EQ(quorvane_cs_take_stale_keys(l.cs.get()), 1u);
    EXPECT_EQ(quorvane_cs_take_stale_keys(l.cs.get()), 0u);
    ASSERT_GE(l.keys_of(conv, keys), 1u);
    EXPECT_EQ(hex(keys[0], 32), hex(k1));

    // another key that opens: it becomes current and the held one is kept first among the older
    l.feed(151, cat({tlv(17, conv), tlv(18, sealed_to(me, k2))}));
    ASSERT_EQ(l.keys_of(conv, keys), 4u);
    EXPECT_EQ(hex(keys[0], 32), hex(k2));
    EXPECT_EQ(hex(keys[1], 32), hex(k1));

    // without TLV 17 or TLV 18 nothing happens
    const bytes other = rep(0xD1, 16);
    l.feed(151, tlv(17, other));
    l.feed(151, cat({tlv(17, rep(0xD1, 15)), tlv(18, sealed_to(me, k1))}));
    EXPECT_EQ(quorvane_msgstore_conv_locked(l.ms, other.data()), 0);
    EXPECT_EQ(quorvane_msgstore_get_conv(l.ms, other.data(), keys[0]), 0);

    // with two others in the list there is no peer to set
    const bytes group = rep(0xD2, 16);
    l.feed(151, cat({tlv(17, group), tlv(18, sealed_to(me, k1)), tlv(19, rep(1, 16)), tlv(3, rep(1, 32)), tlv(19, rep(2, 16)),
                     tlv(3, rep(2, 32))}));
    EXPECT_EQ(quorvane_msgstore_member_count(l.ms, group.data()), 2u);
    EXPECT_EQ(quorvane_msgstore_get_peer(l.ms, group.data(), peer, peer_key), 0);
}

// Frame 154 removes the conversation; frame 176 queues complete key requests,
// at most 32, first in first out.
TEST(AuthedFrames, RemovalAndKeyRequests) {
    Local l;
    const bytes conv = rep(0xE0, 16);
    ASSERT_EQ(quorvane_msgstore_put_conv(l.ms, conv.data(), rep(7, 32).data()), 0);
    l.feed(154, tlv(17, rep(0xE0, 15)));
    EXPECT_EQ(quorvane_msgstore_conv_count(l.ms), 1u);
    l.feed(154, tlv(17, conv));
    EXPECT_EQ(quorvane_msgstore_conv_count(l.ms), 0u);

    auto request = [&](uint8_t i) {
        return cat({tlv(17, rep(i, 16)), tlv(14, rep(i + 1, 16)), tlv(3, rep(i + 2, 32)), tlv(4, rep(i + 3, 32)),
                    tlv(5, rep(i + 4, 32)), tlv(6, rep(i + 5, 64))});
    };
    bytes incomplete = request(0);
    incomplete.resize(incomplete.size() - 1);
    l.feed(176, incomplete);
    quorvane_key_request r;
    EXPECT_EQ(quorvane_cs_take_key_request(l.cs.get(), &r), 0);
    for (uint8_t i = 0; i < 33; i++) l.feed(176, request(i));
    for (uint8_t i = 0; i < 32; i++) {
        ASSERT_EQ(quorvane_cs_take_key_request(l.cs.get(), &r), 1);
        EXPECT_EQ(hex(&r, sizeof r), hex(cat({rep(i, 16), rep(i + 1, 16), rep(i + 2, 32), rep(i + 3, 32), rep(i + 4, 32),
                                               rep(i + 5, 64)})));
    }
    EXPECT_EQ(quorvane_cs_take_key_request(l.cs.get(), &r), 0);
}

// A full pending-send ring seals nothing and spends no counter.
TEST(AuthedFrames, FullPendingRingSealsNothing) {
    Local l;
    const bytes conv = rep(0xF0, 16);
    ASSERT_EQ(quorvane_msgstore_put_conv(l.ms, conv.data(), rep(7, 32).data()), 0);
    for (uint64_t i = 0; i < QV_PENDING_MAX; i++) ASSERT_EQ(cs_pending_push(&l.cs->authed.pending, conv.data(), i), 0);
    const uint8_t text[] = {1, 'h', 'i'};
    uint64_t counter = 0, t = 0;
    uint8_t dev[32];
    EXPECT_EQ(cs_seal_send(l.cs.get(), conv.data(), text, sizeof text, &counter, &t, dev), -1);
    EXPECT_EQ(quorvane_msgstore_next_counter(l.ms, conv.data()), 1u);
}

// ---- requests captured by a scripted peer ----

namespace {

}  // namespace

// Request bodies byte for byte: sync cursors, prekey requests by name and by
// id, the prekey publication (and the bag stored before it), the conversation
// created with its key sealed to the member and each of its devices.
TEST(AuthedRequests, BodiesOnTheWire) {
    Remote r;
    const bytes c1 = rep(0x01, 16), c2 = rep(0x02, 16);
    ASSERT_EQ(quorvane_msgstore_put_conv(r.ms, c1.data(), rep(1, 32).data()), 0);
    ASSERT_EQ(quorvane_msgstore_put_conv_locked(r.ms, c2.data()), 0);
    quorvane_msgstore_note_cursor(r.ms, c1.data(), 0x0102030405060708ull);
    r.start();
    ASSERT_EQ(quorvane_cs_sync(r.cs.get()), 0);
    ASSERT_EQ(quorvane_cs_request_prekeys(r.cs.get(), "bob"), 0);
    const bytes bob_id = rep(0xB0, 16);
    ASSERT_EQ(quorvane_cs_request_prekeys_by_id(r.cs.get(), bob_id.data()), 0);
    EXPECT_EQ(quorvane_cs_prekeys_busy(r.cs.get()), 1);
    EXPECT_EQ(quorvane_cs_request_prekeys(r.cs.get(), ""), -1);
    EXPECT_EQ(quorvane_cs_request_prekeys(r.cs.get(), std::string(33, 'x').c_str()), -1);
    ASSERT_EQ(quorvane_cs_publish_prekeys(r.cs.get()), 0);
    Keys member_x, dev;  // the member's sealing key and one device
    quorvane_member m{};
    std::memcpy(m.user_id, bob_id.data(), 16);
    std::memcpy(m.identity, member_x.k.device_x25519_pub, 32);
    m.device_count = 1;
    std::memcpy(m.devices[0], dev.k.device_x25519_pub, 32);
    std::memcpy(m.devices[0] + 32, dev.k.device_ed25519_pub, 32);
    const bytes conv = rep(0xCC, 16), key = rep(0x4B, 32);
    ASSERT_EQ(quorvane_cs_create_conv(r.cs.get(), conv.data(), key.data(), &m, 1), 0);
    uint8_t held[32];
    ASSERT_EQ(quorvane_msgstore_get_conv(r.ms, conv.data(), held), 1);
    EXPECT_EQ(hex(held, 32), hex(key));

    auto got = r.wait_frames(5);
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(hex(got[0]), "48520108" "00000035" "29" "00000030" + hex(c1) + "0102030405060708" + hex(c2) + "0000000000000000");
    EXPECT_EQ(hex(got[1]), "48520106" "00000008" "01" "00000003" "626f62");
    EXPECT_EQ(hex(got[2]), "48520106" "00000015" "0e" "00000010" + hex(bob_id));

    // the bag in the store holds the set that went out
    quorvane_dm_bag bag{};
    bytes stored(QV_DM_BAG_SER_MAX);
    ASSERT_EQ(quorvane_dm_bag_load(&bag, stored.data(), quorvane_msgstore_get_prekeys(r.ms, stored.data(), stored.size())), 0);
    ASSERT_EQ(bag.count, 1);
    EXPECT_EQ(bag.next_id, 19u);
    const quorvane_dm_prekeys &s = bag.sets[0];
    EXPECT_EQ(s.spk_id, 1u);
    std::string want = "2e" "00000020" + hex(s.spk_pub, 32) + "2f" "00000040" + hex(s.spk_sig, 64) + "30" "00000004" "00000001";
    ASSERT_EQ(s.otk_count, 16);
    for (int i = 0; i < 16; i++) {
        EXPECT_EQ(s.otk[i].id, 2u + i);
        want += "31" "00000020" + hex(s.otk[i].pub, 32) + "32" "00000004" + hex(be32(2 + i));
    }
    EXPECT_EQ(hex(got[3]), "48520129" + hex(be32(static_cast<uint32_t>(want.size() / 2))) + want);
    quorvane_dm_bag_wipe(&bag);

    // frame 24: 17 conv, 19 member, 18 key sealed to the member, 51 per device
    const bytes &f = got[4];
    ASSERT_EQ(f.size(), 8u + 21 + 21 + 85 + 117);
    EXPECT_EQ(hex(b(f.data(), 8)), "48520118" "000000f4");
    EXPECT_EQ(hex(b(f.data() + 8, 21)), "11" "00000010" + hex(conv));
    EXPECT_EQ(hex(b(f.data() + 29, 21)), "13" "00000010" + hex(bob_id));
    EXPECT_EQ(hex(b(f.data() + 50, 5)), "12" "00000050");
    EXPECT_EQ(hex(b(f.data() + 135, 5 + 16)), "33" "00000070" + hex(bob_id));
    uint8_t dev_id[16], opened[32];
    ASSERT_EQ(quorvane_device_id(dev.k.device_x25519_pub, dev.k.device_ed25519_pub, dev_id), 0);
    EXPECT_EQ(hex(b(f.data() + 156, 16)), hex(dev_id, 16));
    size_t n = 0;
    ASSERT_EQ(quorvane_open(member_x.k.device_x25519_priv, f.data() + 55, 80, opened, sizeof opened, &n), 0);
    EXPECT_EQ(hex(opened, n), hex(key));
    ASSERT_EQ(quorvane_open(dev.k.device_x25519_priv, f.data() + 172, 80, opened, sizeof opened, &n), 0);
    EXPECT_EQ(hex(opened, n), hex(key));
}

// Sync cursors for 5000 conversations: the store holds 4096 and the request
// carries exactly those; an empty store sends an empty body.
TEST(AuthedRequests, SyncBounds) {
    {
        Remote r;
        r.start();
        ASSERT_EQ(quorvane_cs_sync(r.cs.get()), 0);
        auto got = r.wait_frames(1);
        EXPECT_EQ(hex(got.at(0)), "4852010800000000");
    }
    Remote r;
    quorvane_msgstore_batch_begin(r.ms);
    for (uint32_t i = 0; i < 5000; i++) {
        bytes id = cat({rep(0x77, 12), be32(i)});
        (void)quorvane_msgstore_put_conv_locked(r.ms, id.data());
    }
    ASSERT_EQ(quorvane_msgstore_batch_end(r.ms), 0);
    r.start();
    ASSERT_EQ(quorvane_cs_sync(r.cs.get()), 0);
    auto got = r.wait_frames(1);
    const bytes &f = got.at(0);
    ASSERT_EQ(f.size(), 8u + 5 + 4096 * 24);
    EXPECT_EQ(hex(b(f.data(), 13)), "48520108" + hex(be32(5 + 4096 * 24)) + "29" + hex(be32(4096 * 24)));
    for (uint32_t i = 0; i < 4096; i += 1365) EXPECT_EQ(hex(b(f.data() + 13 + 24 * i, 24)), hex(cat({rep(0x77, 12), be32(i), be64(0)})));
}

// Publishing is refused, and nothing goes out, without a store or when the
// store cannot take the new bag (a directory stands where it is written).
TEST(AuthedRequests, PublishNeedsTheBagStoredFirst) {
    {
        Remote r(false);
        r.start();
        EXPECT_EQ(quorvane_cs_publish_prekeys(r.cs.get()), -1);
        ASSERT_EQ(quorvane_cs_sync(r.cs.get()), 0);
        auto got = r.wait_frames(1);
        EXPECT_EQ(got.at(0)[3], 8);
    }
    Remote r;  // a directory where the store writes its next copy of the bag
    ASSERT_EQ(mkdir(r.dir.file("prekeys.dat.tmp").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(r.dir.file("prekeys.dat.tmp/x").c_str(), 0700), 0);
    r.start();
    EXPECT_EQ(quorvane_cs_publish_prekeys(r.cs.get()), -1);
    ASSERT_EQ(quorvane_cs_sync(r.cs.get()), 0);
    auto got = r.wait_frames(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0][3], 8);
}

// Conversation-key send: frame 7 with the envelope in TLV 20 that opens under
// the key, wrapped with this device's key when the account has other devices;
// each acknowledgement then reports its own message.
TEST(AuthedRequests, ConvKeySendAndAcknowledgements) {
    int acks = 0;
    Remote r(true, [&](const bytes &f) {
        if (f[3] != 7) return bytes{};
        return ++acks == 1 ? frame_of(136, tlv(21, be64(99))) : frame_of(136, {});
    });
    const bytes conv = rep(0xAB, 16), key = rep(0x4B, 32);
    ASSERT_EQ(quorvane_msgstore_put_conv(r.ms, conv.data(), key.data()), 0);
    r.start();
    const bytes text = {1, 'h', 'e', 'l', 'l', 'o'};
    struct Case {
        int multidev;
        bytes body;
    };
    const Case cases[] = {{1, cat({u8(14), b(r.keys.k.device_x25519_pub, 32), text})}, {0, text}};
    uint64_t n = 0;
    for (const auto &c : cases) {
        quorvane_cs_set_self_multidev(r.cs.get(), c.multidev);
        uint64_t counter = 0, t = 0;
        uint8_t dev[32];
        ASSERT_EQ(cs_seal_send(r.cs.get(), conv.data(), text.data(), text.size(), &counter, &t, dev), 0);
        EXPECT_EQ(counter, ++n);
        EXPECT_EQ(hex(dev, 32), c.multidev ? hex(r.keys.k.device_x25519_pub, 32) : hex(rep(0, 32)));
        auto got = r.wait_frames(n);
        const bytes &f = got.at(n - 1);
        const size_t env_len = c.body.size() + 80;
        ASSERT_EQ(f.size(), 8 + 5 + env_len);
        EXPECT_EQ(hex(b(f.data(), 13)), "48520107" + hex(be32(5 + env_len)) + "14" + hex(be32(env_len)));
        quorvane_env_header h{};
        bytes body(env_len);
        size_t bl = 0;
        ASSERT_EQ(quorvane_env_open(key.data(), f.data() + 13, env_len, &h, body.data(), body.size(), &bl), 0);
        body.resize(bl);
        EXPECT_EQ(hex(body), hex(c.body));
        EXPECT_EQ(h.counter, n);
        EXPECT_EQ(h.time, t);
        EXPECT_EQ(hex(h.sender_id, 16), hex(OWN));
        EXPECT_EQ(hex(h.conversation_id, 16), hex(conv));
    }
    uint8_t id[16];
    uint64_t counter = 0;
    int ok = -1;
    ASSERT_TRUE(wait_until([&] { quorvane_cs_pump(r.cs.get()); return r.cs->authed.result_count == 2; }, kWaitMs));
    ASSERT_EQ(quorvane_cs_poll_send_result(r.cs.get(), id, &counter, &ok), 1);
    EXPECT_EQ(counter, 1u);
    EXPECT_EQ(ok, 1);
    ASSERT_EQ(quorvane_cs_poll_send_result(r.cs.get(), id, &counter, &ok), 1);
    EXPECT_EQ(counter, 2u);
    EXPECT_EQ(ok, 0);
}

// A conversation information that answers an envelope of an unknown
// conversation sends the sync request that envelope asked for.
TEST(AuthedRequests, ConvInfoSendsTheWantedSync) {
    Remote r;
    r.start();
    r.cs->deliver.sync_wanted = 1;
    bytes f = frame_of(151, cat({tlv(17, rep(0x51, 16)), tlv(18, sealed_to(r.keys.k.device_x25519_pub, rep(3, 32)))}));
    handle_authed_frame(r.cs.get(), f.data(), f.size());
    EXPECT_EQ(r.cs->deliver.sync_wanted, 0);
    auto got = r.wait_frames(1);
    ASSERT_GE(got.size(), 1u);
    EXPECT_EQ(hex(got[0]), "48520108" "0000001d" "29" "00000018" + hex(rep(0x51, 16)) + "0000000000000000");
}

namespace {

// A peer device with its prekey set, as the server would list it in frame 135.
struct PeerDevice {
    Keys keys;
    quorvane_dm_prekeys set{};
    PeerDevice() {
        EXPECT_EQ(quorvane_dm_prekeys_generate(&set, keys.k.device_x25519_priv, keys.k.device_x25519_pub, keys.k.device_ed25519_priv,
                                               keys.k.device_ed25519_pub, 40), 0);
    }
    ~PeerDevice() { quorvane_dm_prekeys_wipe(&set); }
    bytes reply(const bytes &uid) const {
        return frame_of(135, cat({tlv(14, uid), tlv(3, b(keys.k.identity_pub, 32)), tlv(4, b(set.dev_x_pub, 32)),
                                  tlv(5, b(set.dev_ed_pub, 32)), tlv(46, b(set.spk_pub, 32)), tlv(47, b(set.spk_sig, 64)),
                                  tlv(48, be32(set.spk_id)), tlv(49, b(set.otk[0].pub, 32)), tlv(50, be32(set.otk[0].id))}));
    }
    quorvane_peer_device entry() const {
        quorvane_peer_device d{};
        d.bundle = qvdm::bundle_of(set, -1);
        d.has_spk = 1;
        return d;
    }
    // Opens the first message of a device envelope as a responder would.
    std::string open_first(const bytes &env) {
        const size_t off = QV_ENV_HEADER_LEN;
        if (env.size() < off + 1 + 32 + QV_DM_PREAMBLE_LEN || env[off] != 1) return "<no preamble>";
        quorvane_ratchet *r = nullptr;
        if (quorvane_dm_begin_responder(&r, env.data() + off + 33, QV_DM_PREAMBLE_LEN, env.data() + off + 1, &set) != 0)
            return "<no session>";
        bytes pt(env.size());
        size_t n = 0;
        const size_t msg = off + 33 + QV_DM_PREAMBLE_LEN;
        const int rc = quorvane_ratchet_decrypt(r, env.data() + msg, env.size() - msg, pt.data(), pt.size(), &n);
        quorvane_ratchet_free(&r);
        return rc == 0 ? std::string(pt.begin(), pt.begin() + n) : "<does not open>";
    }
};

bytes envelope_of(const bytes &frame) {
    const uint8_t *v = nullptr;
    size_t n = 0;
    if (frame.size() < 8 || quorvane_tlv_find(frame.data() + 8, frame.size() - 8, 20, &v, &n) != 0) return {};
    return b(v, n);
}

}  // namespace

// The device path end to end: a prekey reply from the scripted server becomes
// a peer, its device gets an initiator session, and the message sent reaches
// it as a device envelope with the preamble, which its prekey set opens; the
// acknowledgement reports the message's counter.
TEST(AuthedRequests, DevicePathFromPrekeyReply) {
    PeerDevice bobdev;
    const bytes bob = rep(0xB0, 16);
    Remote r(true, [&](const bytes &f) {
        if (f[3] == 6) return bobdev.reply(bob);
        if (f[3] == 7) return frame_of(136, tlv(21, be64(31)));
        return bytes{};
    });
    const bytes conv = rep(0xDD, 16);
    ASSERT_EQ(quorvane_msgstore_put_conv(r.ms, conv.data(), rep(0x4B, 32).data()), 0);
    r.start();
    ASSERT_EQ(quorvane_cs_request_prekeys_by_id(r.cs.get(), bob.data()), 0);
    quorvane_prekey_reply reply;
    ASSERT_TRUE(wait_until([&] { quorvane_cs_pump(r.cs.get()); return quorvane_cs_take_prekeys(r.cs.get(), &reply) == 1; }, kWaitMs));
    EXPECT_EQ(quorvane_cs_prekeys_busy(r.cs.get()), 0);
    ASSERT_EQ(reply.complete, 1u);
    quorvane_peer peer;
    quorvane_cs_peer_devices_from_prekeys(&peer, &reply);
    ASSERT_EQ(peer.device_count, 1);
    ASSERT_EQ(quorvane_cs_dm_init(r.cs.get(), conv.data(), &peer), 0);

    const std::string text = "\x01hello bob";
    uint64_t counter = 0, t = 0;
    uint8_t dev[32];
    ASSERT_EQ(cs_seal_send(r.cs.get(), conv.data(), reinterpret_cast<const uint8_t *>(text.data()), text.size(), &counter, &t, dev), 0);
    EXPECT_EQ(counter, 1u);
    EXPECT_EQ(hex(dev, 32), hex(r.keys.k.device_x25519_pub, 32));
    auto got = r.wait_frames(2);
    ASSERT_EQ(got.size(), 2u);
    const bytes env = envelope_of(got[1]);
    ASSERT_GT(env.size(), 64u + 1 + 32 + 41);
    quorvane_env_header h{};
    ASSERT_EQ(quorvane_env_header_decode(env.data(), env.size(), &h), 0);
    EXPECT_EQ(h.counter, 1u);
    EXPECT_EQ(h.time, t);
    EXPECT_TRUE(all_zero(h.salt, 16));
    EXPECT_EQ(hex(b(env.data() + 65, 32)), hex(r.keys.k.device_x25519_pub, 32));
    EXPECT_EQ(bobdev.open_first(env), text);
    uint64_t acked = 0;
    int ok = 0;
    ASSERT_TRUE(wait_until([&] { quorvane_cs_pump(r.cs.get()); return quorvane_cs_poll_send_result(r.cs.get(), nullptr, &acked, &ok) == 1; },
                           kWaitMs));
    EXPECT_EQ(acked, 1u);
    EXPECT_EQ(ok, 1);
}

// Sessions only with own devices: text goes by the conversation key, a profile
// by the device sessions. A reset sets aside and drops only the peer's sessions.
TEST(AuthedRequests, OwnDeviceSessionsAndReset) {
    PeerDevice mine, theirs;
    Remote r;
    const bytes conv = rep(0xEE, 16), key = rep(0x4B, 32);
    ASSERT_EQ(quorvane_msgstore_put_conv(r.ms, conv.data(), key.data()), 0);
    const uint8_t users[1][16] = {{0xA1, 0xA1, 0xA1, 0xA1, 0xA1, 0xA1, 0xA1, 0xA1, 0xA1, 0xA1, 0xA1, 0xA1, 0xA1, 0xA1, 0xA1, 0xA1}};
    uint8_t idents[1][32] = {}, seconds[1][32] = {}, first[1][32], second[1][32];
    const uint8_t roles[1] = {0};
    ASSERT_EQ(quorvane_msgstore_set_members(r.ms, conv.data(), users, idents, seconds, roles, 1), 0);
    std::memcpy(first[0], mine.set.dev_x_pub, 32);
    std::memcpy(second[0], mine.set.dev_ed_pub, 32);
    ASSERT_EQ(quorvane_msgstore_set_member_devices(r.ms, conv.data(), users[0], first, second, 1), 0);
    const quorvane_peer_device own_dev = mine.entry(), peer_dev = theirs.entry();
    ASSERT_EQ(cs_dm_init_device(r.ms, &r.keys.k, conv.data(), &own_dev, 0, 1), 0);
    EXPECT_EQ(quorvane_cs_dm_self_only(r.ms, conv.data(), OWN.data()), 1);
    r.start();

    const bytes text = {1, 'h', 'i'}, profile = {3, 0, 0};
    uint64_t counter = 0, t = 0;
    uint8_t dev[32];
    ASSERT_EQ(cs_seal_send(r.cs.get(), conv.data(), text.data(), text.size(), &counter, &t, dev), 0);
    ASSERT_EQ(cs_seal_send(r.cs.get(), conv.data(), profile.data(), profile.size(), &counter, &t, dev), 0);
    auto got = r.wait_frames(2);
    ASSERT_EQ(got.size(), 2u);
    bytes body(64);
    size_t bl = 0;
    const bytes e0 = envelope_of(got[0]), e1 = envelope_of(got[1]);
    EXPECT_EQ(quorvane_env_open(key.data(), e0.data(), e0.size(), nullptr, body.data(), body.size(), &bl), 0);
    EXPECT_EQ(hex(b(body.data(), bl)), hex(text));
    EXPECT_EQ(mine.open_first(e1), std::string(profile.begin(), profile.end()));

    // a session with another user's device: no longer own devices only, and a reset drops it alone
    ASSERT_EQ(cs_dm_init_device(r.ms, &r.keys.k, conv.data(), &peer_dev, 0, 1), 0);
    EXPECT_EQ(quorvane_cs_dm_self_only(r.ms, conv.data(), OWN.data()), 0);
    bytes before(QV_SR_MAX);
    before.resize(quorvane_msgstore_get_ratchet(r.ms, conv.data(), peer_dev.bundle.dev_x, before.data(), before.size()));
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(quorvane_cs_dm_reset(r.cs.get(), conv.data()), 1);
    EXPECT_EQ(quorvane_msgstore_has_ratchet(r.ms, conv.data(), peer_dev.bundle.dev_x), 0);
    EXPECT_EQ(quorvane_msgstore_has_ratchet(r.ms, conv.data(), own_dev.bundle.dev_x), 1);
    bytes aside(QV_SR_MAX);
    uint64_t when = 0;
    aside.resize(quorvane_msgstore_get_ratchet_prev(r.ms, conv.data(), peer_dev.bundle.dev_x, 0, &when, aside.data(), aside.size()));
    EXPECT_EQ(hex(aside), hex(before));
}

// A conversation or channel whose request is refused while its body is built
// (a key that cannot be sealed to a member or a device, more members than fit
// the body) is not stored: no server would ever hold its key. The same id
// created afterwards with a good list is stored and goes out.
TEST(AuthedRequests, CreateRefusedWhileBuildingStoresNothing) {
    Remote r;
    r.start();
    Keys member_x, dev;
    quorvane_member good{};
    std::memcpy(good.user_id, rep(0xB0, 16).data(), 16);
    std::memcpy(good.identity, member_x.k.device_x25519_pub, 32);
    good.device_count = 5;
    for (auto &d : good.devices) {
        std::memcpy(d, dev.k.device_x25519_pub, 32);
        std::memcpy(d + 32, dev.k.device_ed25519_pub, 32);
    }
    quorvane_member zero_identity = good, zero_device = good;
    std::memset(zero_identity.identity, 0, 32);  // the all-zero point gives no shared secret
    std::memset(zero_device.devices[3], 0, 32);
    const std::vector<quorvane_member> crowd(380, good);  // 380 members of 5 devices: past 262144 bytes
    struct Refusal {
        const char *name;
        std::vector<quorvane_member> members;
    } refusals[] = {
        {"a member whose key cannot be sealed", {good, zero_identity}},
        {"a device whose key cannot be sealed", {zero_device}},
        {"more members than the body holds", crowd},
    };
    using create_fn = int (*)(quorvane_cs *, const uint8_t *, const uint8_t *, const quorvane_member *, size_t);
    struct Creator {
        const char *name;
        create_fn call;
        uint8_t frame_type;
    } creators[] = {
        {"conversation", [](quorvane_cs *cs, const uint8_t *c, const uint8_t *k, const quorvane_member *m, size_t n) {
             return quorvane_cs_create_conv(cs, c, k, m, n);
         }, 24},
        {"channel", [](quorvane_cs *cs, const uint8_t *c, const uint8_t *k, const quorvane_member *m, size_t n) {
             return quorvane_cs_create_channel(cs, c, k, 2, m, n, rep(0x11, 16).data());
         }, 29},
    };
    const bytes key = rep(0x4B, 32);
    auto conv_of = [](size_t creator, size_t refusal) { return rep(static_cast<uint8_t>(0xC0 + 16 * creator + refusal), 16); };
    for (size_t ci = 0; ci < std::size(creators); ci++) {
        SCOPED_TRACE(creators[ci].name);
        for (size_t ri = 0; ri < std::size(refusals); ri++) {
            SCOPED_TRACE(refusals[ri].name);
            const bytes conv = conv_of(ci, ri);  // each refusal its own id: none hides behind an earlier one
            const auto &m = refusals[ri].members;
            EXPECT_EQ(creators[ci].call(r.cs.get(), conv.data(), key.data(), m.data(), m.size()), -1);
            uint8_t held[32];
            EXPECT_EQ(quorvane_msgstore_get_conv(r.ms, conv.data(), held), 0);
            EXPECT_EQ(quorvane_msgstore_get_conv_keys(r.ms, conv.data(), &held, 1), 0u);
        }
    }
    EXPECT_EQ(quorvane_msgstore_conv_count(r.ms), 0u);
    for (size_t ci = 0; ci < std::size(creators); ci++) {
        SCOPED_TRACE(creators[ci].name);
        const bytes conv = conv_of(ci, 0);
        ASSERT_EQ(creators[ci].call(r.cs.get(), conv.data(), key.data(), &good, 1), 0);
        uint8_t held[32];
        ASSERT_EQ(quorvane_msgstore_get_conv(r.ms, conv.data(), held), 1);
        EXPECT_EQ(hex(held, 32), hex(key));
    }
    EXPECT_EQ(quorvane_msgstore_conv_count(r.ms), std::size(creators));
    // nothing of the refused requests went out: the first frames are the good ones
    auto got = r.wait_frames(std::size(creators));
    ASSERT_EQ(got.size(), std::size(creators));
    for (size_t ci = 0; ci < std::size(creators); ci++) {
        SCOPED_TRACE(creators[ci].name);
        EXPECT_EQ(got[ci][3], creators[ci].frame_type);
        EXPECT_EQ(hex(got[ci]).substr(16, 42), "11" "00000010" + hex(conv_of(ci, 0)));
    }
}

// Requests made outside the signed-in state return -1 and send nothing.
TEST(AuthedRequests, NothingLeavesOutsideTheSignedInState) {
    Remote r;
    const bytes conv = rep(0x9C, 16), key = rep(0x4B, 32), text = {1, 'x'};
    ASSERT_EQ(quorvane_msgstore_put_conv(r.ms, conv.data(), key.data()), 0);
    r.start();
    quorvane_member m{};
    uint64_t counter = 0, t = 0;
    uint8_t dev[32];
    for (uint32_t state : {QV_CS_CONNECTING, QV_CS_SIGNING_IN, QV_CS_FAILED}) {
        SCOPED_TRACE(state);
        r.cs->state = state;
        EXPECT_EQ(quorvane_cs_sync(r.cs.get()), -1);
        EXPECT_EQ(quorvane_cs_publish_prekeys(r.cs.get()), -1);
        EXPECT_EQ(quorvane_cs_request_prekeys(r.cs.get(), "bob"), -1);
        EXPECT_EQ(quorvane_cs_request_prekeys_by_id(r.cs.get(), conv.data()), -1);
        EXPECT_EQ(quorvane_cs_create_conv(r.cs.get(), rep(0x9D, 16).data(), key.data(), &m, 1), -1);
        EXPECT_EQ(cs_seal_send(r.cs.get(), conv.data(), text.data(), text.size(), &counter, &t, dev), -1);
    }
    EXPECT_EQ(quorvane_cs_prekeys_busy(r.cs.get()), 0);
    r.cs->state = QV_CS_SIGNED_IN;
    ASSERT_EQ(quorvane_cs_request_prekeys(r.cs.get(), "bob"), 0);
    auto got = r.wait_frames(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0][3], 6);
    EXPECT_EQ(quorvane_msgstore_next_counter(r.ms, conv.data()), 1u);  // no counter spent
}
