// Sealed send and device sessions between real message stores: initiator
// sessions from prekey bags, one ratchet message per device with one counter,
// the record that drops its preamble after the first reply, the pending-send
// ring, and the layouts of the device envelope and the conversation-key payload
// against bytes written out by hand.
#include "client_seal.h"
#include "dm_support.h"
#include "qv_test_support.h"
#include "quorvane_x3dh.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using qvdm::Build;
using qvdm::Bytes;
using qvdm::bundle_of;


const uint8_t kSecret[32] = {9, 9, 9};

// One device: its key record, its own message store (reopened at will) and its prekey bag.
struct Dev {
    qvtest::TempDir dir;
    quorvane_device_keys keys{};
    quorvane_msgstore *ms = nullptr;
    uint8_t user[16];
    Dev(uint8_t user_byte) {
        std::memset(user, user_byte, 16);
        EXPECT_EQ(quorvane_x25519_keypair(keys.device_x25519_priv, keys.device_x25519_pub), 0);
        EXPECT_EQ(quorvane_ed25519_keypair(keys.device_ed25519_priv, keys.device_ed25519_pub), 0);
        reopen();
    }
    ~Dev() { quorvane_msgstore_close(ms); }
    void reopen() {
        quorvane_msgstore_close(ms);
        ms = quorvane_msgstore_open(dir.path.c_str(), kSecret);
        ASSERT_NE(ms, nullptr);
    }
    // A fresh prekey set pushed into the stored bag; the published side as a peer entry.
    quorvane_peer_device publish() { return qvdm::publish_set(ms, keys); }
    // Receipt of a device-session envelope as the delivery path does it: a preamble
    // starts a responder session from the bag, then the stored session is tried.
    std::string receive(const uint8_t conv[16], const Bytes &env) {
        const uint8_t *pay = env.data() + QV_ENV_HEADER_LEN;
        const size_t pl = env.size() - QV_ENV_HEADER_LEN;
        const uint8_t flag = pay[0];
        const uint8_t *sender = pay + 1;
        std::vector<uint8_t> rec(QV_SR_MAX), out(QV_SR_MAX), pt(QV_PT_MAX);
        size_t rl = quorvane_msgstore_get_ratchet(ms, conv, sender, rec.data(), rec.size());
        if (flag == 1 && rl == 0) {
            quorvane_dm_bag bag{};
            Bytes got(QV_DM_BAG_SER_MAX);
            EXPECT_EQ(quorvane_dm_bag_load(&bag, got.data(), quorvane_msgstore_get_prekeys(ms, got.data(), got.size())), 0);
            quorvane_ratchet *r = nullptr;
            EXPECT_EQ(quorvane_dm_bag_begin_responder(&r, pay + 33, QV_DM_PREAMBLE_LEN, sender, &bag), 0);
            if (!r) return "<no session>";
            EXPECT_EQ(cs_record_make(QV_SR_RESPONDER, nullptr, r, rec.data(), rec.size(), &rl), 0);
            quorvane_ratchet_free(&r);
            size_t n = 0;
            EXPECT_EQ(quorvane_dm_bag_serialize(&bag, got.data(), got.size(), &n), 0);
            EXPECT_EQ(quorvane_msgstore_put_prekeys(ms, got.data(), n), 0);
            quorvane_dm_bag_wipe(&bag);
        }
        size_t ptl = 0, ol = 0;
        if (cs_rt_try(rec.data(), rl, flag, pay, pl, pt.data(), &ptl, out.data(), &ol) != 1) return "<not opened>";
        EXPECT_EQ(quorvane_msgstore_put_ratchet(ms, conv, sender, out.data(), ol), 0);
        return std::string(reinterpret_cast<char *>(pt.data()), ptl);
    }
    Bytes record(const uint8_t conv[16], const uint8_t dev[32]) {
        Bytes r(QV_SR_MAX);
        r.resize(quorvane_msgstore_get_ratchet(ms, conv, dev, r.data(), r.size()));
        return r;
    }
};

struct Sent {
    std::vector<Bytes> frames;
    std::vector<Bytes> to;
    int refuse = 0;
    static int queue(void *ctx, const uint8_t device[32], const uint8_t *env, size_t len) {
        auto *s = static_cast<Sent *>(ctx);
        if (s->refuse) return -1;
        s->frames.emplace_back(env, env + len);
        s->to.emplace_back(device, device + 32);
        return 0;
    }
};

int seal(Dev &from, const uint8_t conv[16], const std::string &text, uint64_t counter, cs_pending_ring *ring, Sent *out) {
    return cs_seal_devices(from.ms, conv, from.user, from.keys.device_x25519_pub, counter, 1000 + counter,
                           reinterpret_cast<const uint8_t *>(text.data()), text.size(), ring, Sent::queue, out);
}

TEST(SealSend, DeviceEnvelopeLayout) {
    quorvane_env_header h{};
    std::memset(h.conversation_id, 0xC1, 16);
    std::memset(h.sender_id, 0xD1, 16);
    h.counter = 0x0102030405060708ull;
    h.time = 0x1112131415161718ull;
    uint8_t key[32], pre[41];
    std::memset(key, 0xE1, 32);
    std::memset(pre, 0xF1, 41);
    const uint8_t msg[3] = {'a', 'b', 'c'};
    for (uint8_t flag : {0, 1}) {
        SCOPED_TRACE(flag);
        Build want;
        want.rep(0xC1, 16).rep(0xD1, 16).u64(0x0102030405060708ull).u64(0x1112131415161718ull).rep(0, 16).u8(flag).rep(0xE1, 32);
        if (flag) want.rep(0xF1, 41);
        want.raw("abc", 3);
        Bytes out(200);
        size_t n = 0;
        ASSERT_EQ(cs_dev_envelope(&h, flag, key, pre, msg, 3, out.data(), out.size(), &n), 0);
        out.resize(n);
        EXPECT_EQ(qvtest::hex(out), qvtest::hex(want.b));
        Bytes small(n - 1);
        EXPECT_EQ(cs_dev_envelope(&h, flag, key, pre, msg, 3, small.data(), small.size(), &n), -1);
    }
}

TEST(SealSend, ConvPayloadLayout) {
    uint8_t conv[16], key[32];
    std::memset(conv, 0xA5, 16);
    std::memset(key, 0x5A, 32);
    // two members: one with two devices, one with none
    quorvane_member m[2]{};
    uint8_t m_priv[2][32], d_priv[2][32];
    for (int i = 0; i < 2; i++) {
        std::memset(m[i].user_id, 0x70 + i, 16);
        ASSERT_EQ(quorvane_x25519_keypair(m_priv[i], m[i].identity), 0);
    }
    m[0].device_count = 2;
    for (int d = 0; d < 2; d++) {
        uint8_t ed_priv[32];
        ASSERT_EQ(quorvane_x25519_keypair(d_priv[d], m[0].devices[d]), 0);
        ASSERT_EQ(quorvane_ed25519_keypair(ed_priv, m[0].devices[d] + 32), 0);
    }
    std::vector<uint8_t> out(QV_CONV_PAYLOAD_MAX);
    size_t n = 0;
    ASSERT_EQ(build_conv_payload(conv, key, m, 2, 3, out.data(), &n), 0);

    // TLV 17 id, 39 kind, then per member 19 user, 18 box (80), and per device 51 (112)
    const Bytes head = Build{}.tlv(17, 16).rep(0xA5, 16).tlv(39, 1).u8(3).tlv(19, 16).rep(0x70, 16).tlv(18, 80).b;
    ASSERT_EQ(n, head.size() + 80 + 2 * (5 + 112) + (5 + 16) + (5 + 80));
    EXPECT_EQ(qvtest::hex(out.data(), head.size()), qvtest::hex(head));
    auto opens_to_key = [&](const uint8_t *box, const uint8_t priv[32]) {
        uint8_t pt[32];
        size_t pl = 0;
        return quorvane_open(priv, box, 80, pt, sizeof pt, &pl) == 0 && pl == 32 && std::memcmp(pt, key, 32) == 0;
    };
    size_t off = head.size();
    EXPECT_TRUE(opens_to_key(out.data() + off, m_priv[0]));
    off += 80;
    for (int d = 0; d < 2; d++) {
        SCOPED_TRACE(d);
        uint8_t id[16];
        ASSERT_EQ(quorvane_device_id(m[0].devices[d], m[0].devices[d] + 32, id), 0);
        const Bytes rec = Build{}.tlv(51, 112).rep(0x70, 16).raw(id, 16).b;
        EXPECT_EQ(qvtest::hex(out.data() + off, rec.size()), qvtest::hex(rec));
        EXPECT_TRUE(opens_to_key(out.data() + off + rec.size(), d_priv[d]));
        off += 5 + 112;
    }
    const Bytes second = Build{}.tlv(19, 16).rep(0x71, 16).tlv(18, 80).b;
    EXPECT_EQ(qvtest::hex(out.data() + off, second.size()), qvtest::hex(second));
    EXPECT_TRUE(opens_to_key(out.data() + off + second.size(), m_priv[1]));

    // kind -1 leaves TLV 39 out
    ASSERT_EQ(build_conv_payload(conv, key, m + 1, 1, -1, out.data(), &n), 0);
    const Bytes bare = Build{}.tlv(17, 16).rep(0xA5, 16).tlv(19, 16).rep(0x71, 16).tlv(18, 80).b;
    ASSERT_EQ(n, bare.size() + 80);
    EXPECT_EQ(qvtest::hex(out.data(), bare.size()), qvtest::hex(bare));
}

TEST(SealSend, TargetDeviceWrapper) {
    uint8_t target[32], zero[32] = {};
    std::memset(target, 0x3C, 32);
    uint8_t buf[40] = {1, 'h', 'i'};
    EXPECT_EQ(cs_targetdev_wrap(nullptr, buf, 3, sizeof buf), 3u);
    EXPECT_EQ(cs_targetdev_wrap(zero, buf, 3, sizeof buf), 3u);
    EXPECT_EQ(cs_targetdev_wrap(target, buf, 8, sizeof buf), 0u);  // 41 bytes would not fit
    ASSERT_EQ(cs_targetdev_wrap(target, buf, 3, sizeof buf), 36u);
    const Bytes want = Build{}.u8(15).rep(0x3C, 32).u8(1).raw("hi", 2).b;
    EXPECT_EQ(qvtest::hex(buf, 36), qvtest::hex(want));
}

TEST(SealSend, PendingRingNeverDrops) {
    cs_pending_ring ring{};
    uint8_t conv[16] = {};
    for (uint64_t i = 1; i <= QV_PENDING_MAX; i++) ASSERT_EQ(cs_pending_push(&ring, conv, i), 0);
    EXPECT_EQ(cs_pending_push(&ring, conv, 999), -1);  // full: refused, the oldest stays
    EXPECT_EQ(cs_pending_room(&ring), 0u);
    uint64_t c = 0;
    for (uint64_t i = 1; i <= QV_PENDING_MAX; i++) {
        ASSERT_EQ(cs_pending_pop(&ring, conv, &c), 1);
        EXPECT_EQ(c, i);
        if (i == 1) {
            ASSERT_EQ(cs_pending_push(&ring, conv, 65), 0);  // wraps around
        }
    }
    ASSERT_EQ(cs_pending_pop(&ring, conv, &c), 1);
    EXPECT_EQ(c, 65u);
    EXPECT_EQ(cs_pending_pop(&ring, conv, &c), 0);
}

TEST(SealSend, ThreeDevicesOneCounterThenReplyDropsPreamble) {
    uint8_t conv[16];
    std::memset(conv, 0x42, 16);
    Dev alice(0xAA);
    Dev bob[3] = {Dev(0xBB), Dev(0xBB), Dev(0xBB)};
    for (Dev &b : bob) {
        const quorvane_peer_device p = b.publish();
        b.reopen();
        ASSERT_EQ(cs_dm_init_device(alice.ms, &alice.keys, conv, &p, 0, 1), 0);
        // unforced: an existing session stays as it is
        const Bytes before = alice.record(conv, p.bundle.dev_x);
        ASSERT_EQ(before.size(), 1 + 41 + QV_RATCHET_SER_BASE);
        EXPECT_EQ(before[0], QV_SR_PENDING | QV_SR_INITIATOR);
        ASSERT_EQ(cs_dm_init_device(alice.ms, &alice.keys, conv, &p, 0, 2), 0);
        EXPECT_EQ(alice.record(conv, p.bundle.dev_x), before);
    }
    alice.reopen();

    cs_pending_ring ring{};
    Sent sent;
    ASSERT_EQ(seal(alice, conv, "hello all three", 7, &ring, &sent), 3);
    ASSERT_EQ(sent.frames.size(), 3u);
    EXPECT_EQ(ring.count, 3u);
    for (const Bytes &f : sent.frames) {
        quorvane_env_header h{};
        ASSERT_EQ(quorvane_env_header_decode(f.data(), f.size(), &h), 0);
        EXPECT_EQ(h.counter, 7u);
        EXPECT_EQ(f[QV_ENV_HEADER_LEN], 1);  // first message carries the preamble
        EXPECT_TRUE(qvtest::all_zero(h.salt, 16));
        EXPECT_EQ(std::memcmp(f.data() + QV_ENV_HEADER_LEN + 1, alice.keys.device_x25519_pub, 32), 0);
    }
    // each Bob device opens the frame addressed to it, and only that one
    auto frame_for = [&](const Dev &b) -> const Bytes & {
        for (size_t i = 0; i < sent.to.size(); i++)
            if (std::memcmp(sent.to[i].data(), b.keys.device_x25519_pub, 32) == 0) return sent.frames[i];
        ADD_FAILURE() << "no frame for a device";
        return sent.frames[0];
    };
    for (Dev &b : bob) {
        b.reopen();
        EXPECT_EQ(b.receive(conv, frame_for(b)), "hello all three");
        const Bytes rec = b.record(conv, alice.keys.device_x25519_pub);
        ASSERT_FALSE(rec.empty());
        EXPECT_EQ(rec[0], QV_SR_RESPONDER);
    }
    // a frame for another device does not open here
    EXPECT_EQ(bob[0].receive(conv, frame_for(bob[1])), "<not opened>");

    // Bob's first device answers; Alice's pair with it leaves the pending state
    bob[0].reopen();
    Sent reply;
    cs_pending_ring bring{};
    ASSERT_EQ(seal(bob[0], conv, "welcome", 1, &bring, &reply), 1);
    ASSERT_EQ(reply.frames.size(), 1u);
    EXPECT_EQ(reply.frames[0][QV_ENV_HEADER_LEN], 0);  // a responder never sends a preamble
    alice.reopen();
    EXPECT_EQ(alice.receive(conv, reply.frames[0]), "welcome");
    const Bytes after = alice.record(conv, bob[0].keys.device_x25519_pub);
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after[0], QV_SR_INITIATOR);  // pending cleared, preamble gone
    EXPECT_EQ(after.size(), 1 + QV_RATCHET_SER_BASE);

    alice.reopen();
    Sent second;
    ASSERT_EQ(seal(alice, conv, "again", 8, &ring, &second), 3);
    for (size_t i = 0; i < second.frames.size(); i++) {
        const bool answered = std::memcmp(second.to[i].data(), bob[0].keys.device_x25519_pub, 32) == 0;
        EXPECT_EQ(second.frames[i][QV_ENV_HEADER_LEN], answered ? 0 : 1);
    }
    for (Dev &b : bob) {
        for (size_t i = 0; i < second.frames.size(); i++)
            if (std::memcmp(second.to[i].data(), b.keys.device_x25519_pub, 32) == 0) {
                EXPECT_EQ(b.receive(conv, second.frames[i]), "again");
            }
    }
    EXPECT_EQ(ring.count, 6u);
}

// Alice with an initiator session to Bob's one device in a conversation of its own.
struct Pair {
    uint8_t conv[16];
    Dev alice{0xAA}, bob{0xBB};
    quorvane_peer_device p{};
    Bytes before;
    explicit Pair(uint8_t conv_byte) {
        std::memset(conv, conv_byte, 16);
        p = bob.publish();
        EXPECT_EQ(cs_dm_init_device(alice.ms, &alice.keys, conv, &p, 0, 10), 0);
        before = alice.record(conv, p.bundle.dev_x);
    }
};

TEST(SealSend, FullRingSealsNothing) {
    Pair t(0x43);
    auto &[conv, alice, bob, p, before] = t;
    cs_pending_ring ring{};
    for (uint64_t i = 0; i < QV_PENDING_MAX; i++) ASSERT_EQ(cs_pending_push(&ring, conv, i), 0);
    Sent sent;
    EXPECT_EQ(seal(alice, conv, "wait", 1, &ring, &sent), -2);
    EXPECT_TRUE(sent.frames.empty());
    EXPECT_EQ(alice.record(conv, p.bundle.dev_x), before);  // the ratchet did not step
    uint64_t c = 0;
    ASSERT_EQ(cs_pending_pop(&ring, nullptr, &c), 1);
    EXPECT_EQ(c, 0u);
    EXPECT_EQ(seal(alice, conv, "now", 2, &ring, &sent), 1);
}

// A stepped ratchet that cannot be stored must not leave: otherwise the next
// message would reuse the same message key for other text.
TEST(SealSend, UnstorableStepSkipsTheDevice) {
    Pair t(0x44);
    auto &[conv, alice, bob, p, before] = t;

    // a directory where the store writes its next copy of the record
    std::string path = alice.dir.path + "/r_" + qvtest::hex(conv, 16) + "_" + qvtest::hex(p.bundle.dev_x, 32) + ".dat";
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
    const std::string blocker = path + ".tmp";
    ASSERT_EQ(mkdir(blocker.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((blocker + "/x").c_str(), 0700), 0);
    ASSERT_NE(quorvane_msgstore_put_ratchet(alice.ms, conv, p.bundle.dev_x, before.data(), before.size()), 0) << "write not blocked";

    cs_pending_ring ring{};
    Sent sent;
    EXPECT_EQ(seal(alice, conv, "secret one", 1, &ring, &sent), 0);
    EXPECT_TRUE(sent.frames.empty());
    EXPECT_EQ(ring.count, 0u);
    EXPECT_EQ(alice.record(conv, p.bundle.dev_x), before);

    ASSERT_EQ(rmdir((blocker + "/x").c_str()), 0);
    ASSERT_EQ(rmdir(blocker.c_str()), 0);
    ASSERT_EQ(seal(alice, conv, "secret two", 2, &ring, &sent), 1);
    EXPECT_EQ(bob.receive(conv, sent.frames[0]), "secret two");
}

TEST(SealSend, RecordTryRefusals) {
    Pair t(0x45);
    auto &[conv, alice, bob, p, before] = t;
    cs_pending_ring ring{};
    Sent sent;
    ASSERT_EQ(seal(alice, conv, "x", 1, &ring, &sent), 1);
    const Bytes pay(sent.frames[0].begin() + QV_ENV_HEADER_LEN, sent.frames[0].end());
    const Bytes rec = alice.record(conv, p.bundle.dev_x);
    std::vector<uint8_t> pt(QV_PT_MAX), out(QV_SR_MAX);
    size_t pl = 0, ol = 0;
    struct Case { const char *name; size_t rec_len; uint8_t flag; size_t pay_len; };
    const Case cases[] = {
        {"payload shorter than flag, key and preamble", rec.size(), 1, 73},
        {"pending record shorter than its preamble", 41, 1, pay.size()},
        {"empty record", 0, 1, pay.size()},
        {"flag 0 reads the preamble as ratchet", rec.size(), 0, pay.size()},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(cs_rt_try(rec.data(), c.rec_len, c.flag, pay.data(), c.pay_len, pt.data(), &pl, out.data(), &ol), 0);
    }
}

TEST(SealSend, SetAsideSlots) {
    uint8_t conv[16], dev[32];
    std::memset(conv, 0x46, 16);
    std::memset(dev, 0x47, 32);
    Dev d(0xAA);
    const uint8_t r1[] = {1}, r2[] = {2}, r3[] = {3}, r4[] = {4};
    auto slot = [&](unsigned s) {
        uint8_t b[8];
        uint64_t t = 0;
        const size_t n = quorvane_msgstore_get_ratchet_prev(d.ms, conv, dev, s, &t, b, sizeof b);
        return n == 1 ? std::to_string(b[0]) + "@" + std::to_string(t) : std::string("-");
    };
    ASSERT_EQ(cs_rt_set_aside(d.ms, conv, dev, r1, 1, 100), 0);
    EXPECT_EQ(slot(0) + " " + slot(1), "1@100 -");
    ASSERT_EQ(cs_rt_set_aside(d.ms, conv, dev, r2, 1, 200), 0);
    EXPECT_EQ(slot(0) + " " + slot(1), "1@100 2@200");
    ASSERT_EQ(cs_rt_set_aside(d.ms, conv, dev, r3, 1, 300), 0);  // oldest replaced
    EXPECT_EQ(slot(0) + " " + slot(1), "3@300 2@200");
    ASSERT_EQ(cs_rt_set_aside(d.ms, conv, dev, r4, 1, 400), 0);
    EXPECT_EQ(slot(0) + " " + slot(1), "3@300 4@400");
}

TEST(SealSend, ForcedStartSetsTheOldSessionAside) {
    uint8_t conv[16];
    std::memset(conv, 0x48, 16);
    Dev alice(0xAA), bob(0xBB);
    quorvane_peer_device p = bob.publish();
    ASSERT_EQ(cs_dm_init_device(alice.ms, &alice.keys, conv, &p, 0, 10), 0);
    const Bytes first = alice.record(conv, p.bundle.dev_x);
    ASSERT_EQ(cs_dm_init_device(alice.ms, &alice.keys, conv, &p, 1, 20), 0);
    EXPECT_NE(alice.record(conv, p.bundle.dev_x), first);
    Bytes prev(QV_SR_MAX);
    uint64_t t = 0;
    prev.resize(quorvane_msgstore_get_ratchet_prev(alice.ms, conv, p.bundle.dev_x, 0, &t, prev.data(), prev.size()));
    EXPECT_EQ(prev, first);
    EXPECT_EQ(t, 20u);
    // no signed prekey, or a forged signature: no session
    quorvane_peer_device bad = p;
    bad.has_spk = 0;
    EXPECT_EQ(cs_dm_init_device(alice.ms, &alice.keys, conv, &bad, 1, 30), -1);
    bad = p;
    bad.bundle.sig[5] ^= 1;
    EXPECT_EQ(cs_dm_init_device(alice.ms, &alice.keys, conv, &bad, 1, 30), -1);
}

}  // namespace
