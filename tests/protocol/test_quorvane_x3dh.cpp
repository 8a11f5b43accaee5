// X3DH, signed prekeys, device ids and device certificates: agreement of the two
// roles, refusal of bad signatures and low-order keys with a clean error queue,
// and a cross-check in both directions against tests/scripts/x3dh_xcheck.py.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <openssl/err.h>

#include "qv_test_support.h"
#include "quorvane_crypto.h"
#include "quorvane_x3dh.h"

namespace {

using qvtest::hex;
using qvtest::unhex_array;

using key = std::array<uint8_t, 32>;
using sig = std::array<uint8_t, 64>;

struct xpair {
    key priv, pub;
    xpair() { EXPECT_EQ(quorvane_x25519_keypair(priv.data(), pub.data()), 0); }
};
struct edpair {
    key seed, pub;
    edpair() { EXPECT_EQ(quorvane_ed25519_keypair(seed.data(), pub.data()), 0); }
};

// The responder's published keys and the private halves it keeps.
struct responder_keys {
    xpair identity, spk, opk;
};

struct x3dh_out {
    key eph{}, secret{};
    sig ad{};
};

x3dh_out initiate(const xpair &me, const responder_keys &peer, bool with_opk) {
    x3dh_out o;
    EXPECT_EQ(quorvane_x3dh_initiator(me.priv.data(), me.pub.data(), peer.identity.pub.data(), peer.spk.pub.data(),
                                      with_opk ? peer.opk.pub.data() : nullptr, o.eph.data(), o.secret.data(),
                                      o.ad.data()),
              0);
    return o;
}

x3dh_out respond(const responder_keys &me, const key &peer_identity, const key &peer_eph, bool with_opk) {
    x3dh_out o;
    EXPECT_EQ(quorvane_x3dh_responder(me.identity.priv.data(), me.identity.pub.data(), me.spk.priv.data(),
                                      with_opk ? me.opk.priv.data() : nullptr, peer_identity.data(), peer_eph.data(),
                                      o.secret.data(), o.ad.data()),
              0);
    return o;
}

sig concat(const key &a, const key &b) {
    sig s;
    std::memcpy(s.data(), a.data(), 32);
    std::memcpy(s.data() + 32, b.data(), 32);
    return s;
}

// Runs the second implementation over request lines; one word list per answer line.
std::vector<std::vector<std::string>> xcheck(const std::vector<std::string> &requests) {
    return qvtest::xcheck_words("x3dh_xcheck.py", requests);
}

// X25519 public values of small order; each makes some DH output all zero.
const char *const kLowOrderPoints[] = {
    "0000000000000000000000000000000000000000000000000000000000000000",  // 0
    "0100000000000000000000000000000000000000000000000000000000000000",  // 1
    "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800",  // order 8
    "5f9c95bca3508c24b1d0b1559c83ef5b04445cc4581c8e86d8224eddd09f1157",  // order 8
    "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",  // p - 1, order 2
    "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",  // p, i.e. 0
};

}  // namespace

TEST(X3dh, RolesAgreeWithAndWithoutOneTimePrekey) {
    xpair alice;
    responder_keys bob;
    key secrets[2];
    for (bool opk : {false, true}) {
        SCOPED_TRACE(opk ? "with one-time prekey" : "without");
        const x3dh_out a = initiate(alice, bob, opk);
        const x3dh_out b = respond(bob, alice.pub, a.eph, opk);
        EXPECT_EQ(a.secret, b.secret);
        EXPECT_EQ(a.ad, b.ad);
        EXPECT_EQ(a.ad, concat(alice.pub, bob.identity.pub));  // initiator first on both sides
        EXPECT_NE(a.eph, alice.pub);
        secrets[opk] = a.secret;
    }
    EXPECT_NE(secrets[0], secrets[1]);
}

TEST(X3dh, EachKeyTakesPart) {
    xpair alice, mallory;
    responder_keys bob;
    const x3dh_out a = initiate(alice, bob, true);
    // one-time prekey used on one side only
    EXPECT_NE(respond(bob, alice.pub, a.eph, false).secret, a.secret);
    // a claimed identity that does not own the initiator's key material
    EXPECT_NE(respond(bob, mallory.pub, a.eph, true).secret, a.secret);
    // another ephemeral key
    EXPECT_NE(respond(bob, alice.pub, mallory.pub, true).secret, a.secret);
    // two runs over the same bundle use fresh ephemeral keys
    const x3dh_out again = initiate(alice, bob, true);
    EXPECT_NE(again.eph, a.eph);
    EXPECT_NE(again.secret, a.secret);
}

TEST(X3dh, LowOrderPeerKeysFailCleanly) {
    xpair alice;
    responder_keys bob;
    const x3dh_out good = initiate(alice, bob, true);
    for (const char *point : kLowOrderPoints) {
        SCOPED_TRACE(point);
        const key bad = unhex_array<32>(point);
        ERR_clear_error();
        // initiator: as the peer's identity, signed prekey and one-time prekey
        for (int slot = 0; slot < 3; slot++) {
            key ik = bob.identity.pub, spk = bob.spk.pub, opk = bob.opk.pub;
            (slot == 0 ? ik : slot == 1 ? spk : opk) = bad;
            x3dh_out o;
            o.secret.fill(0xAA);
            o.eph.fill(0xAA);
            EXPECT_EQ(quorvane_x3dh_initiator(alice.priv.data(), alice.pub.data(), ik.data(), spk.data(), opk.data(),
                                              o.eph.data(), o.secret.data(), o.ad.data()),
                      -1)
                << "slot " << slot;
            key untouched;
            untouched.fill(0xAA);
            EXPECT_EQ(o.secret, untouched);  // nothing written on failure
            EXPECT_EQ(o.eph, untouched);
        }
        // responder: as the peer's identity and the peer's ephemeral key
        for (int slot = 0; slot < 2; slot++) {
            key ik = alice.pub, ek = good.eph;
            (slot == 0 ? ik : ek) = bad;
            x3dh_out o;
            EXPECT_EQ(quorvane_x3dh_responder(bob.identity.priv.data(), bob.identity.pub.data(), bob.spk.priv.data(),
                                              bob.opk.priv.data(), ik.data(), ek.data(), o.secret.data(), o.ad.data()),
                      -1)
                << "slot " << slot;
        }
        EXPECT_EQ(ERR_peek_error(), 0u);
    }
}

TEST(X3dh, NullArgumentsAreRefused) {
    xpair alice;
    responder_keys bob;
    x3dh_out o;
    // one required pointer left out at a time; the optional one-time prekey stays given
    for (int miss = 0; miss < 7; miss++) {
        SCOPED_TRACE(miss);
        const uint8_t *in[] = {alice.priv.data(), alice.pub.data(), bob.identity.pub.data(), bob.spk.pub.data()};
        uint8_t *outs[] = {o.eph.data(), o.secret.data(), o.ad.data()};
        if (miss < 4) in[miss] = nullptr;
        else outs[miss - 4] = nullptr;
        EXPECT_EQ(quorvane_x3dh_initiator(in[0], in[1], in[2], in[3], bob.opk.pub.data(), outs[0], outs[1], outs[2]), -3);
    }
    for (int miss = 0; miss < 7; miss++) {
        SCOPED_TRACE(miss);
        const uint8_t *in[] = {bob.identity.priv.data(), bob.identity.pub.data(), bob.spk.priv.data(), alice.pub.data(),
                               o.eph.data()};
        uint8_t *outs[] = {o.secret.data(), o.ad.data()};
        if (miss < 5) in[miss] = nullptr;
        else outs[miss - 5] = nullptr;
        EXPECT_EQ(quorvane_x3dh_responder(in[0], in[1], in[2], bob.opk.priv.data(), in[3], in[4], outs[0], outs[1]), -3);
    }
    key k{};
    sig s{};
    uint8_t id[16];
    EXPECT_EQ(quorvane_prekey_sign(nullptr, k.data(), s.data()), -3);
    EXPECT_EQ(quorvane_prekey_verify(k.data(), nullptr, s.data()), -3);
    EXPECT_EQ(quorvane_device_id(k.data(), nullptr, id), -3);
    EXPECT_EQ(quorvane_device_cert_sign(k.data(), k.data(), k.data(), nullptr), -3);
    EXPECT_EQ(quorvane_device_cert_verify(nullptr, k.data(), k.data(), s.data()), -3);
}

TEST(SignedPrekey, SignatureCoversLabelAndKey) {
    edpair device, other_device;
    xpair prekey, other_prekey;
    sig s;
    ASSERT_EQ(quorvane_prekey_sign(device.seed.data(), prekey.pub.data(), s.data()), 0);
    EXPECT_EQ(quorvane_prekey_verify(device.pub.data(), prekey.pub.data(), s.data()), 0);

    ERR_clear_error();
    EXPECT_EQ(quorvane_prekey_verify(device.pub.data(), other_prekey.pub.data(), s.data()), -2);
    EXPECT_EQ(quorvane_prekey_verify(other_device.pub.data(), prekey.pub.data(), s.data()), -2);
    // a plain signature over the bare key must not pass as a prekey signature
    sig bare;
    ASSERT_EQ(quorvane_ed25519_sign(device.seed.data(), prekey.pub.data(), 32, bare.data()), 0);
    EXPECT_EQ(quorvane_prekey_verify(device.pub.data(), prekey.pub.data(), bare.data()), -2);
    for (size_t bit : {0u, 255u, 511u}) {
        sig flipped = s;
        flipped[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        EXPECT_EQ(quorvane_prekey_verify(device.pub.data(), prekey.pub.data(), flipped.data()), -2) << bit;
    }
    // a signer key that is no curve point is a bad signature too, not a library failure
    key not_a_point = unhex_array<32>("0200000000000000000000000000000000000000000000000000000000000000");
    EXPECT_EQ(quorvane_prekey_verify(not_a_point.data(), prekey.pub.data(), s.data()), -2);
    EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST(DeviceId, KnownAnswerAndKeyOrder) {
    // BLAKE2b-512 prefixes computed with Python's hashlib over label || X25519 || Ed25519
    key x, ed;
    for (int i = 0; i < 32; i++) {
        x[i] = static_cast<uint8_t>(i);
        ed[i] = static_cast<uint8_t>(32 + i);
    }
    uint8_t id[16], swapped[16];
    ASSERT_EQ(quorvane_device_id(x.data(), ed.data(), id), 0);
    EXPECT_EQ(hex(id, 16), "8c14bd5b7ef4c8a7b07e3c9342f578e2");  // raw digest bytes, not hex text cut short
    ASSERT_EQ(quorvane_device_id(ed.data(), x.data(), swapped), 0);
    EXPECT_EQ(hex(swapped, 16), "c29ff9574418e0b9e200c6efe63803e2");
}

TEST(DeviceCert, BindsBothKeysInOrder) {
    edpair account, other_account, device_ed;
    xpair device_x;
    sig s;
    ASSERT_EQ(quorvane_device_cert_sign(account.seed.data(), device_x.pub.data(), device_ed.pub.data(), s.data()), 0);
    EXPECT_EQ(quorvane_device_cert_verify(account.pub.data(), device_x.pub.data(), device_ed.pub.data(), s.data()), 0);
    ERR_clear_error();
    EXPECT_EQ(quorvane_device_cert_verify(account.pub.data(), device_ed.pub.data(), device_x.pub.data(), s.data()), -2);
    EXPECT_EQ(quorvane_device_cert_verify(other_account.pub.data(), device_x.pub.data(), device_ed.pub.data(), s.data()),
              -2);
    xpair other_x;
    EXPECT_EQ(quorvane_device_cert_verify(account.pub.data(), other_x.pub.data(), device_ed.pub.data(), s.data()), -2);
    EXPECT_EQ(ERR_peek_error(), 0u);
}

/* ---- Cross-check against the second implementation ---------------------- */

TEST(X3dhXcheck, CxxInitiatorScriptResponder) {
    xpair alice;
    responder_keys bob;
    std::vector<std::string> req;
    x3dh_out a[2];
    for (bool opk : {false, true}) {
        a[opk] = initiate(alice, bob, opk);
        req.push_back("respond " + hex(bob.identity.priv) + " " + hex(bob.spk.priv) + " " +
                      (opk ? hex(bob.opk.priv) : "-") + " " + hex(alice.pub) + " " + hex(a[opk].eph));
    }
    const auto ans = xcheck(req);
    for (bool opk : {false, true}) {
        SCOPED_TRACE(opk ? "with one-time prekey" : "without");
        ASSERT_EQ(ans[opk].size(), 3u);
        EXPECT_EQ(ans[opk][0], "OK");
        EXPECT_EQ(ans[opk][1], hex(a[opk].secret));
        EXPECT_EQ(ans[opk][2], hex(a[opk].ad));
    }
}

TEST(X3dhXcheck, ScriptInitiatorCxxResponder) {
    responder_keys bob;
    // the initiator's identity key is made by the script, so neither side's key code is shared
    const auto kp = xcheck({"x_keypair"});
    ASSERT_EQ(kp[0].size(), 3u);
    const std::string alice_priv = kp[0][1];
    const key alice_pub = unhex_array<32>(kp[0][2]);
    std::vector<std::string> req;
    for (bool opk : {false, true})
        req.push_back("initiate " + alice_priv + " " + hex(bob.identity.pub) + " " + hex(bob.spk.pub) + " " +
                      (opk ? hex(bob.opk.pub) : "-"));
    const auto ans = xcheck(req);
    for (bool opk : {false, true}) {
        SCOPED_TRACE(opk ? "with one-time prekey" : "without");
        ASSERT_EQ(ans[opk].size(), 4u);
        EXPECT_EQ(ans[opk][0], "OK");
        const x3dh_out b = respond(bob, alice_pub, unhex_array<32>(ans[opk][1]), opk);
        EXPECT_EQ(hex(b.secret), ans[opk][2]);
        EXPECT_EQ(hex(b.ad), ans[opk][3]);
        EXPECT_EQ(b.ad, concat(alice_pub, bob.identity.pub));
    }
}

TEST(X3dhXcheck, SignaturesAndDeviceIdsBothWays) {
    edpair device_ed, account;
    xpair prekey, device_x;
    sig prekey_sig, cert;
    uint8_t id[16];
    ASSERT_EQ(quorvane_prekey_sign(device_ed.seed.data(), prekey.pub.data(), prekey_sig.data()), 0);
    ASSERT_EQ(quorvane_device_cert_sign(account.seed.data(), device_x.pub.data(), device_ed.pub.data(), cert.data()), 0);
    ASSERT_EQ(quorvane_device_id(device_x.pub.data(), device_ed.pub.data(), id), 0);

    // C++ signs, the script verifies (and refuses the swapped certificate); ids must agree
    const std::string dx = hex(device_x.pub), de = hex(device_ed.pub);
    const auto ans = xcheck({
        "prekey_verify " + de + " " + hex(prekey.pub) + " " + hex(prekey_sig),
        "cert_verify " + hex(account.pub) + " " + dx + " " + de + " " + hex(cert),
        "cert_verify " + hex(account.pub) + " " + de + " " + dx + " " + hex(cert),
        "device_id " + dx + " " + de,
        "prekey_sign " + hex(device_ed.seed) + " " + hex(prekey.pub),
        "cert_sign " + hex(account.seed) + " " + dx + " " + de,
    });
    EXPECT_EQ(ans[0], std::vector<std::string>{"OK"});
    EXPECT_EQ(ans[1], std::vector<std::string>{"OK"});
    EXPECT_EQ(ans[2], (std::vector<std::string>{"FAIL", "SIG"}));
    EXPECT_EQ(ans[3], (std::vector<std::string>{"OK", hex(id, 16)}));

    // the script signs, C++ verifies
    ASSERT_EQ(ans[4].size(), 2u);
    ASSERT_EQ(ans[5].size(), 2u);
    const sig script_prekey_sig = unhex_array<64>(ans[4][1]), script_cert = unhex_array<64>(ans[5][1]);
    EXPECT_EQ(quorvane_prekey_verify(device_ed.pub.data(), prekey.pub.data(), script_prekey_sig.data()), 0);
    EXPECT_EQ(quorvane_device_cert_verify(account.pub.data(), device_x.pub.data(), device_ed.pub.data(),
                                          script_cert.data()),
              0);
    // Ed25519 signing is deterministic: equal bytes show an equal message
    EXPECT_EQ(script_prekey_sig, prekey_sig);
    EXPECT_EQ(script_cert, cert);
}
