// Direct-message key agreement: prekey sets, the bag of sets, the preamble and
// the two starts, run through real X3DH and the double ratchet. Layouts are
// checked against bytes written out by hand from the formats' tables.
#include "client_dm.h"
#include "client_msgstore.h"
#include "dm_support.h"
#include "qv_test_support.h"
#include "quorvane_x3dh.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

using qvdm::Build;
using qvdm::Bytes;
using qvdm::bundle_of;


// A set whose every field is a recognisable pattern, with two one-time prekeys.
quorvane_dm_prekeys pattern_set() {
    quorvane_dm_prekeys s{};
    std::memset(s.dev_x_priv, 0x11, 32);
    std::memset(s.dev_x_pub, 0x12, 32);
    std::memset(s.dev_ed_priv, 0x13, 32);
    std::memset(s.dev_ed_pub, 0x14, 32);
    s.spk_id = 0x01020304;
    std::memset(s.spk_priv, 0x21, 32);
    std::memset(s.spk_pub, 0x22, 32);
    std::memset(s.spk_sig, 0x23, 64);
    s.otk_count = 2;
    s.otk[0].id = 5;
    std::memset(s.otk[0].priv, 0x31, 32);
    std::memset(s.otk[0].pub, 0x32, 32);
    s.otk[1].id = 0xA0B0C0D0;
    std::memset(s.otk[1].priv, 0x41, 32);
    std::memset(s.otk[1].pub, 0x42, 32);
    return s;
}

struct Device {
    uint8_t x_priv[32], x_pub[32], ed_priv[32], ed_pub[32];
    Device() {
        EXPECT_EQ(quorvane_x25519_keypair(x_priv, x_pub), 0);
        EXPECT_EQ(quorvane_ed25519_keypair(ed_priv, ed_pub), 0);
    }
};

struct RatchetFree {
    void operator()(quorvane_ratchet *r) const { quorvane_ratchet_free(&r); }
};
using Ratchet = std::unique_ptr<quorvane_ratchet, RatchetFree>;


// One message each way: the responder can answer only once the first arrived.
void converse(quorvane_ratchet *init, quorvane_ratchet *resp) {
    const char hello[] = "first words";
    uint8_t msg[128], pt[128];
    size_t m = 0, n = 0;
    ASSERT_EQ(quorvane_ratchet_encrypt(init, reinterpret_cast<const uint8_t *>(hello), sizeof hello, msg, sizeof msg, &m), 0);
    ASSERT_EQ(quorvane_ratchet_decrypt(resp, msg, m, pt, sizeof pt, &n), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(pt), n), std::string(hello, sizeof hello));
    ASSERT_EQ(quorvane_ratchet_encrypt(resp, pt, n, msg, sizeof msg, &m), 0);
    ASSERT_EQ(quorvane_ratchet_decrypt(init, msg, m, pt, sizeof pt, &n), 0);
    EXPECT_EQ(n, sizeof hello);
}

TEST(DmPrekeys, SetLayoutMatchesTheTable) {
    const quorvane_dm_prekeys s = pattern_set();
    const Bytes want = Build{}
                           .text("DPK1").rep(0x11, 32).rep(0x12, 32).rep(0x13, 32).rep(0x14, 32)
                           .u32(0x01020304).rep(0x21, 32).rep(0x22, 32).rep(0x23, 64)
                           .u8(2)
                           .u32(5).rep(0x31, 32).rep(0x32, 32)
                           .u32(0xA0B0C0D0).rep(0x41, 32).rep(0x42, 32)
                           .b;
    ASSERT_EQ(want.size(), 265u + 2 * 68u);
    Bytes out(QV_DM_SET_MAX);
    size_t n = 0;
    ASSERT_EQ(quorvane_dm_prekeys_serialize(&s, out.data(), out.size(), &n), 0);
    out.resize(n);
    EXPECT_EQ(qvtest::hex(out), qvtest::hex(want));

    quorvane_dm_prekeys back{};
    ASSERT_EQ(quorvane_dm_prekeys_deserialize(&back, want.data(), want.size()), 0);
    EXPECT_EQ(std::memcmp(&back, &s, sizeof s), 0);

    // one byte off either way, a count past 16, a wrong tag: refused
    EXPECT_EQ(quorvane_dm_prekeys_deserialize(&back, want.data(), want.size() - 1), -1);
    Bytes longer = want;
    longer.push_back(0);
    EXPECT_EQ(quorvane_dm_prekeys_deserialize(&back, longer.data(), longer.size()), -1);
    Bytes many = Build{}.text("DPK1").rep(0, 260).u8(17).rep(0, 17 * 68).b;
    EXPECT_EQ(quorvane_dm_prekeys_deserialize(&back, many.data(), many.size()), -1);
    Bytes tag = want;
    tag[3] = '2';
    EXPECT_EQ(quorvane_dm_prekeys_deserialize(&back, tag.data(), tag.size()), -1);
    Bytes small(n - 1);
    EXPECT_EQ(quorvane_dm_prekeys_serialize(&s, small.data(), small.size(), &n), -1);
}

TEST(DmPrekeys, PublishBodyMatchesTheTags) {
    const quorvane_dm_prekeys s = pattern_set();
    const Bytes want = Build{}
                           .tlv(46, 32).rep(0x22, 32)
                           .tlv(47, 64).rep(0x23, 64)
                           .tlv(48, 4).u32(0x01020304)
                           .tlv(49, 32).rep(0x32, 32).tlv(50, 4).u32(5)
                           .tlv(49, 32).rep(0x42, 32).tlv(50, 4).u32(0xA0B0C0D0)
                           .b;
    Bytes out(QV_DM_PUBLISH_MAX);
    size_t n = 0;
    ASSERT_EQ(quorvane_dm_publish_body(&s, out.data(), out.size(), &n), 0);
    out.resize(n);
    EXPECT_EQ(qvtest::hex(out), qvtest::hex(want));
    Bytes small(want.size() - 1);
    EXPECT_EQ(quorvane_dm_publish_body(&s, small.data(), small.size(), &n), -1);

    // a full set fits the named maximum
    Device d;
    quorvane_dm_prekeys full{};
    ASSERT_EQ(quorvane_dm_prekeys_generate(&full, d.x_priv, d.x_pub, d.ed_priv, d.ed_pub, 1), 0);
    Bytes big(QV_DM_PUBLISH_MAX);
    ASSERT_EQ(quorvane_dm_publish_body(&full, big.data(), big.size(), &n), 0);
    EXPECT_EQ(n, QV_DM_PUBLISH_MAX);
    quorvane_dm_prekeys_wipe(&full);
}

TEST(DmPrekeys, GenerateNumbersAndSigns) {
    Device d;
    quorvane_dm_prekeys s{};
    ASSERT_EQ(quorvane_dm_prekeys_generate(&s, d.x_priv, d.x_pub, d.ed_priv, d.ed_pub, 40), 0);
    EXPECT_EQ(s.spk_id, 40u);
    ASSERT_EQ(s.otk_count, 16);
    for (uint32_t i = 0; i < 16; i++) EXPECT_EQ(s.otk[i].id, 41 + i);
    EXPECT_EQ(quorvane_prekey_verify(d.ed_pub, s.spk_pub, s.spk_sig), 0);
    EXPECT_EQ(std::memcmp(s.dev_x_pub, d.x_pub, 32), 0);
    EXPECT_EQ(std::memcmp(s.dev_ed_priv, d.ed_priv, 32), 0);
    // ids that would wrap past the largest u32 are refused rather than reused; the set stays
    EXPECT_EQ(quorvane_dm_prekeys_generate(&s, d.x_priv, d.x_pub, d.ed_priv, d.ed_pub, UINT32_MAX - 15), -1);
    EXPECT_EQ(quorvane_dm_prekeys_generate(&s, d.x_priv, d.x_pub, d.ed_priv, d.ed_pub, 0), -1);
    EXPECT_EQ(s.spk_id, 40u);
    EXPECT_EQ(quorvane_dm_prekeys_generate(&s, d.x_priv, d.x_pub, d.ed_priv, d.ed_pub, UINT32_MAX - 16), 0);
    EXPECT_EQ(s.otk[15].id, UINT32_MAX);
    quorvane_dm_prekeys_wipe(&s);
    EXPECT_TRUE(qvtest::all_zero(&s, sizeof s));
}

TEST(DmSession, BothStartsAgreeWithAndWithoutOneTimePrekey) {
    Device alice, bob;
    quorvane_dm_prekeys set{};
    ASSERT_EQ(quorvane_dm_prekeys_generate(&set, bob.x_priv, bob.x_pub, bob.ed_priv, bob.ed_pub, 100), 0);

    for (int otk : {3, -1}) {
        SCOPED_TRACE(otk);
        const quorvane_dm_bundle b = bundle_of(set, otk);
        quorvane_ratchet *ri = nullptr, *rr = nullptr;
        uint8_t pre[QV_DM_PREAMBLE_LEN];
        ASSERT_EQ(quorvane_dm_begin_initiator(&ri, pre, alice.x_priv, alice.x_pub, &b), 0);
        Ratchet init(ri);
        // preamble layout: ephemeral key, signed-prekey id, flag, one-time id (0 without one)
        const Bytes tail = Build{}.u32(100).u8(otk >= 0 ? 1 : 0).u32(otk >= 0 ? 104 : 0).b;
        EXPECT_EQ(qvtest::hex(pre + 32, 9), qvtest::hex(tail));
        const uint8_t before = set.otk_count;
        ASSERT_EQ(quorvane_dm_begin_responder(&rr, pre, sizeof pre, alice.x_pub, &set), 0);
        Ratchet resp(rr);
        converse(init.get(), resp.get());
        EXPECT_EQ(set.otk_count, before - (otk >= 0 ? 1 : 0));
        if (otk >= 0) {
            for (size_t i = 0; i < set.otk_count; i++) EXPECT_NE(set.otk[i].id, 104u);
            EXPECT_TRUE(qvtest::all_zero(&set.otk[set.otk_count], sizeof set.otk[0]));
            // the used one-time prekey is gone: the same preamble fails
            quorvane_ratchet *again = nullptr;
            EXPECT_EQ(quorvane_dm_begin_responder(&again, pre, sizeof pre, alice.x_pub, &set), -1);
            EXPECT_EQ(again, nullptr);
        }
    }
    quorvane_dm_prekeys_wipe(&set);
}

TEST(DmSession, RefusedStarts) {
    Device alice, bob, mallory;
    quorvane_dm_prekeys set{};
    ASSERT_EQ(quorvane_dm_prekeys_generate(&set, bob.x_priv, bob.x_pub, bob.ed_priv, bob.ed_pub, 1), 0);
    quorvane_ratchet *r = nullptr;
    uint8_t pre[QV_DM_PREAMBLE_LEN];
    std::memset(pre, 0xAA, sizeof pre);

    // a signed prekey signed by someone else: no session, no preamble
    quorvane_dm_bundle forged = bundle_of(set, 0);
    std::memcpy(forged.dev_ed, mallory.ed_pub, 32);
    EXPECT_EQ(quorvane_dm_begin_initiator(&r, pre, alice.x_priv, alice.x_pub, &forged), -1);
    forged = bundle_of(set, 0);
    forged.spk[0] ^= 1;
    EXPECT_EQ(quorvane_dm_begin_initiator(&r, pre, alice.x_priv, alice.x_pub, &forged), -1);
    EXPECT_EQ(r, nullptr);
    for (uint8_t c : pre) EXPECT_EQ(c, 0xAA);

    const quorvane_dm_bundle good = bundle_of(set, 0);
    ASSERT_EQ(quorvane_dm_begin_initiator(&r, pre, alice.x_priv, alice.x_pub, &good), 0);
    Ratchet init(r);
    r = nullptr;
    struct Case { const char *name; size_t len; size_t at; uint8_t xorv; };
    const Case cases[] = {
        {"short", 40, 0, 0}, {"long", 42, 0, 0},
        {"other signed-prekey id", 41, 35, 1},
        {"unknown one-time id", 41, 40, 0x7F},
        {"flag not 0 or 1", 41, 36, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t buf[42] = {};
        std::memcpy(buf, pre, sizeof pre);
        buf[c.at] ^= c.xorv;
        const uint8_t count = set.otk_count;
        EXPECT_EQ(quorvane_dm_begin_responder(&r, buf, c.len, alice.x_pub, &set), -1);
        EXPECT_EQ(r, nullptr);
        EXPECT_EQ(set.otk_count, count);
    }
    // the wrong sender key gives a session that cannot read the message
    ASSERT_EQ(quorvane_dm_begin_responder(&r, pre, sizeof pre, mallory.x_pub, &set), 0);
    Ratchet wrong(r);
    uint8_t msg[64], pt[64];
    size_t m = 0, n = 0;
    const uint8_t one = 1;
    ASSERT_EQ(quorvane_ratchet_encrypt(init.get(), &one, 1, msg, sizeof msg, &m), 0);
    EXPECT_EQ(quorvane_ratchet_decrypt(wrong.get(), msg, m, pt, sizeof pt, &n), -2);
    quorvane_dm_prekeys_wipe(&set);
}

TEST(DmBag, KeepsThreeNewestAndAnswersFromThem) {
    qvtest::TempDir dir;
    uint8_t secret[32];
    std::memset(secret, 7, sizeof secret);
    Device alice, bob;

    quorvane_dm_bag bag{};
    ASSERT_EQ(quorvane_dm_bag_load(&bag, nullptr, 0), 0);
    EXPECT_EQ(bag.next_id, 1u);
    EXPECT_EQ(bag.count, 0);

    // four sets published in turn; the bag lives in the message store, reopened each step
    auto load = [&](quorvane_dm_bag *out) {
        quorvane_msgstore *ms = quorvane_msgstore_open(dir.path.c_str(), secret);
        ASSERT_NE(ms, nullptr);
        Bytes got(QV_DM_BAG_SER_MAX);
        const size_t gl = quorvane_msgstore_get_prekeys(ms, got.data(), got.size());
        quorvane_msgstore_close(ms);
        ASSERT_EQ(quorvane_dm_bag_load(out, got.data(), gl), 0);
    };
    std::vector<quorvane_dm_bundle> bundles;
    for (int round = 0; round < 4; round++) {
        load(&bag);
        quorvane_dm_prekeys set{};
        ASSERT_EQ(quorvane_dm_prekeys_generate(&set, bob.x_priv, bob.x_pub, bob.ed_priv, bob.ed_pub, bag.next_id), 0);
        bag.next_id += 17;
        bundles.push_back(bundle_of(set, 0));
        quorvane_dm_bag_push(&bag, &set);
        quorvane_dm_prekeys_wipe(&set);

        Bytes ser(QV_DM_BAG_SER_MAX);
        size_t n = 0;
        ASSERT_EQ(quorvane_dm_bag_serialize(&bag, ser.data(), ser.size(), &n), 0);
        quorvane_msgstore *ms = quorvane_msgstore_open(dir.path.c_str(), secret);
        ASSERT_NE(ms, nullptr);
        ASSERT_EQ(quorvane_msgstore_put_prekeys(ms, ser.data(), n), 0);
        quorvane_msgstore_close(ms);
        quorvane_dm_bag_wipe(&bag);
    }
    load(&bag);
    EXPECT_EQ(bag.count, 3);
    EXPECT_EQ(bag.next_id, 1u + 4 * 17);
    EXPECT_EQ(bag.sets[0].spk_id, 52u);  // newest first
    EXPECT_EQ(bag.sets[2].spk_id, 18u);

    for (size_t i = 0; i < bundles.size(); i++) {
        SCOPED_TRACE(i);
        quorvane_ratchet *ri = nullptr, *rr = nullptr;
        uint8_t pre[QV_DM_PREAMBLE_LEN];
        ASSERT_EQ(quorvane_dm_begin_initiator(&ri, pre, alice.x_priv, alice.x_pub, &bundles[i]), 0);
        Ratchet init(ri);
        const int rc = quorvane_dm_bag_begin_responder(&rr, pre, sizeof pre, alice.x_pub, &bag);
        Ratchet resp(rr);
        if (i == 0) {
            EXPECT_EQ(rc, -1);  // the fourth-newest set is gone
            continue;
        }
        ASSERT_EQ(rc, 0);
        converse(init.get(), resp.get());
    }
    quorvane_dm_bag_wipe(&bag);
}

TEST(DmBag, LoadForms) {
    const quorvane_dm_prekeys s = pattern_set();
    Bytes set(QV_DM_SET_MAX);
    size_t sn = 0;
    ASSERT_EQ(quorvane_dm_prekeys_serialize(&s, set.data(), set.size(), &sn), 0);
    set.resize(sn);

    quorvane_dm_bag bag{};
    // the older form: one bare set, next id after its largest (one-time 0xA0B0C0D0)
    ASSERT_EQ(quorvane_dm_bag_load(&bag, set.data(), set.size()), 0);
    EXPECT_EQ(bag.count, 1);
    EXPECT_EQ(bag.next_id, 0xA0B0C0D1u);

    const Bytes bagged = Build{}.text("DPKB").u32(9).u8(1).u8(static_cast<uint8_t>(sn >> 8)).u8(static_cast<uint8_t>(sn)).b;
    Bytes whole = bagged;
    whole.insert(whole.end(), set.begin(), set.end());
    ASSERT_EQ(quorvane_dm_bag_load(&bag, whole.data(), whole.size()), 0);
    EXPECT_EQ(bag.next_id, 9u);
    Bytes back(QV_DM_BAG_SER_MAX);
    size_t bn = 0;
    ASSERT_EQ(quorvane_dm_bag_serialize(&bag, back.data(), back.size(), &bn), 0);
    back.resize(bn);
    EXPECT_EQ(qvtest::hex(back), qvtest::hex(whole));

    Bytes trailing = whole;
    trailing.push_back(0);
    Bytes cut(whole.begin(), whole.end() - 1);
    Bytes zero_next = whole;
    zero_next[7] = 0;
    Bytes four = whole;
    four[8] = 4;
    struct Case { const char *name; Bytes in; };
    const Case bad[] = {
        {"one byte", Bytes{'D'}}, {"three bytes", Bytes{'D', 'P', 'K'}},
        {"bare head", Build{}.text("DPKB").u32(1).b},
        {"trailing byte", trailing}, {"cut", cut}, {"next id 0", zero_next}, {"four sets", four},
        {"other tag", Build{}.text("DPKX").u32(1).u8(0).b},
    };
    for (const Case &c : bad) {
        SCOPED_TRACE(c.name);
        quorvane_dm_bag keep{};
        keep.next_id = 77;
        EXPECT_EQ(quorvane_dm_bag_load(&keep, c.in.data(), c.in.size()), -1);
        EXPECT_EQ(keep.next_id, 77u);  // a refused load leaves the bag as it was
    }
    const Bytes empty_bag = Build{}.text("DPKB").u32(5).u8(0).b;
    ASSERT_EQ(quorvane_dm_bag_load(&bag, empty_bag.data(), empty_bag.size()), 0);
    EXPECT_EQ(bag.count, 0);
    EXPECT_EQ(bag.next_id, 5u);
}

TEST(DmPairing, Helpers) {
    uint8_t a[16], b[16];
    std::memset(a, 1, 16);
    std::memset(b, 1, 16);
    b[15] = 2;
    EXPECT_EQ(quorvane_dm_is_initiator(a, b), 1);
    EXPECT_EQ(quorvane_dm_is_initiator(b, a), 0);
    EXPECT_EQ(quorvane_dm_is_initiator(a, a), 0);
    EXPECT_EQ(quorvane_dm_is_initiator(nullptr, b), 0);
    EXPECT_EQ(quorvane_dm_is_initiator(a, nullptr), 0);

    struct Hold { int fa, fb; uint64_t elapsed; int want; };
    for (const Hold &h : {Hold{0, 0, 0, 1}, Hold{0, 0, 9999, 1}, Hold{0, 0, 10000, 0}, Hold{1, 0, 0, 0}, Hold{0, 1, 0, 0}}) {
        SCOPED_TRACE(h.elapsed);
        EXPECT_EQ(quorvane_dm_hold_bundle(h.fa, h.fb, h.elapsed, QV_DM_HOLD_LIMIT_MS), h.want);
    }

    uint8_t dev[4][32], paired[2][32];
    for (int i = 0; i < 4; i++) std::memset(dev[i], 0x10 + i, 32);
    std::memcpy(paired[0], dev[1], 32);
    std::memcpy(paired[1], dev[3], 32);
    size_t idx[4] = {};
    ASSERT_EQ(quorvane_dm_unpaired(dev, 4, paired, 2, idx, 4), 2u);
    EXPECT_EQ(idx[0], 0u);
    EXPECT_EQ(idx[1], 2u);
    EXPECT_EQ(quorvane_dm_unpaired(dev, 4, paired, 2, idx, 1), 1u);
    EXPECT_EQ(quorvane_dm_unpaired(dev, 4, nullptr, 0, idx, 4), 4u);
    EXPECT_EQ(quorvane_dm_unpaired(nullptr, 4, paired, 2, idx, 4), 0u);
    EXPECT_EQ(quorvane_dm_unpaired(dev, 0, paired, 2, idx, 4), 0u);
    EXPECT_EQ(quorvane_dm_unpaired(dev, 4, paired, 2, nullptr, 4), 0u);
    EXPECT_EQ(quorvane_dm_unpaired(dev, 4, paired, 2, idx, 0), 0u);
}

}  // namespace
