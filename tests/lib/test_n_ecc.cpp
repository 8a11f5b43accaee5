// Curve-key wrappers: published X25519 and Ed25519 vectors, low-order peer
// keys, refusals, and the library error queue after each of them.
#include "n_ecc.h"
#include "qv_test_support.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using qvtest::all_zero;
using qvtest::hex;
using qvtest::unhex;

// The u-coordinate 9: the X25519 base point, so derive(priv, base) is priv's public key.
Bytes base_point()
{
    Bytes u(32, 0);
    u[0] = 9;
    return u;
}

class n_ecc : public qvtest::EmptyErrorQueue {};

TEST_F(n_ecc, X25519PublishedVectors)
{
    struct V {
        const char *name;
        const char *scalar, *u, *out;
    };
    const V vectors[] = {
        {"scalar mult 1", "a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4",
         "e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c",
         "c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552"},
        {"scalar mult 2", "4b66e9d4d1b4673c5ad22691957d6af5c11b6421e0ea01d42ca4169e7918ba0d",
         "e5210f12786811d3f4b7959d0538ae2c31dbe7106fc03c3efc4cd549c715a493",
         "95cbde9476e8907d7aade45cb4b873f88b595a68799fa152e6f8f7647aac7957"},
        {"alice public", "77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a",
         "0900000000000000000000000000000000000000000000000000000000000000",
         "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a"},
        {"bob public", "5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb",
         "0900000000000000000000000000000000000000000000000000000000000000",
         "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f"},
        {"alice with bob", "77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a",
         "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f",
         "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742"},
        {"bob with alice", "5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb",
         "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a",
         "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742"},
    };
    for (const auto &v : vectors) {
        SCOPED_TRACE(v.name);
        const Bytes k = unhex(v.scalar), u = unhex(v.u);
        uint8_t out[N_X25519_KEY_LEN + 8];
        memset(out, 0xA5, sizeof out);
        ASSERT_EQ(n_x25519_derive(k.data(), u.data(), out), 0);
        EXPECT_EQ(hex(out, N_X25519_KEY_LEN), v.out);
        EXPECT_TRUE(std::all_of(out + N_X25519_KEY_LEN, out + sizeof out, [](uint8_t c) { return c == 0xA5; }));
    }
}

// The iterated ladder: k and u both start at the base point; each round
// k, u = X25519(k, u), k.
TEST_F(n_ecc, X25519Iterated)
{
    struct V {
        int rounds;
        const char *k;
    };
    const V vectors[] = {
        {1, "422c8e7a6227d7bca1350b3e2bb7279f7897b87bb6854b783c60e80311ae3079"},
        {1000, "684cf59ba83309552800ef566f2f4d3c1c3887c49360e3875f2eb94d99532c51"},
    };
    for (const auto &v : vectors) {
        SCOPED_TRACE(v.rounds);
        Bytes k = base_point(), u = base_point(), r(32);
        for (int i = 0; i < v.rounds; i++) {
            ASSERT_EQ(n_x25519_derive(k.data(), u.data(), r.data()), 0);
            u = k;
            k = r;
        }
        EXPECT_EQ(hex(k.data(), k.size()), v.k);
    }
}

// Points of small order give an all-zero secret, which the library refuses:
// accepting one would let a peer force a known shared key.
TEST_F(n_ecc, X25519RefusesLowOrderPeer)
{
    const char *points[] = {
        "0000000000000000000000000000000000000000000000000000000000000000",
        "0100000000000000000000000000000000000000000000000000000000000000",
        "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800",
        "5f9c95bca3508c24b1d0b1559c83ef5b04445cc4581c8e86d8224eddd09f1157",
        "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",  // p - 1
        "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",  // p, read as 0
    };
    const Bytes priv = unhex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
    for (const char *p : points) {
        SCOPED_TRACE(p);
        const Bytes peer = unhex(p);
        uint8_t out[N_X25519_KEY_LEN];
        memset(out, 0xA5, sizeof out);
        qvtest::LogCapture log;
        EXPECT_EQ(n_x25519_derive(priv.data(), peer.data(), out), -1);
        EXPECT_TRUE(log.contains("src/n_ecc.cpp->n_x25519_derive:"));
        EXPECT_TRUE(log.contains("n_x25519_derive: derive failed")) << log.text();
        EXPECT_TRUE(all_zero(out, sizeof out));
        EXPECT_EQ(ERR_peek_error(), 0ul);
    }
}

TEST_F(n_ecc, X25519FreshPairsAgree)
{
    uint8_t a_priv[32], a_pub[32], b_priv[32], b_pub[32], ab[32], ba[32], pub[32];
    ASSERT_EQ(n_x25519_keypair(a_priv, a_pub), 0);
    ASSERT_EQ(n_x25519_keypair(b_priv, b_pub), 0);
    EXPECT_NE(hex(a_priv, 32), hex(b_priv, 32));
    ASSERT_EQ(n_x25519_derive(a_priv, base_point().data(), pub), 0);
    EXPECT_EQ(hex(pub, 32), hex(a_pub, 32));
    ASSERT_EQ(n_x25519_derive(a_priv, b_pub, ab), 0);
    ASSERT_EQ(n_x25519_derive(b_priv, a_pub, ba), 0);
    EXPECT_EQ(hex(ab, 32), hex(ba, 32));
}

TEST_F(n_ecc, Ed25519PublishedVectors)
{
    struct V {
        const char *name;
        const char *priv, *pub, *msg, *sig;
    };
    const V vectors[] = {
        {"test 1 (empty message)", "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
         "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
         "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
         "5fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
        {"test 2", "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
         "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
         "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da"
         "085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
        {"test 3", "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
         "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
         "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac"
         "18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"},
        {"test SHA(abc)", "833fe62409237b9d62ec77587520911e9a759cec1d19755b7da901b96dca3d42",
         "ec172b93ad5e563bf4932c70e1245034c35467ef2efd4d64ebf819683467e2bf",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
         "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f",
         "dc2a4459e7369633a52b1bf277839a00201009a3efbf3ecb69bea2186c26b589"
         "09351fc9ac90b3ecfdfbc7c66431e0303dca179c138ac17ad9bef1177331a704"},
    };
    for (const auto &v : vectors) {
        SCOPED_TRACE(v.name);
        const Bytes priv = unhex(v.priv), pub = unhex(v.pub), msg = unhex(v.msg), want = unhex(v.sig);
        // An empty message goes in as a null pointer.
        const uint8_t *m = msg.empty() ? nullptr : msg.data();
        uint8_t sig[N_ED25519_SIG_LEN + 8];
        memset(sig, 0xA5, sizeof sig);
        ASSERT_EQ(n_ed25519_sign(priv.data(), m, msg.size(), sig), 0);
        EXPECT_EQ(hex(sig, N_ED25519_SIG_LEN), v.sig);
        EXPECT_TRUE(std::all_of(sig + N_ED25519_SIG_LEN, sig + sizeof sig, [](uint8_t c) { return c == 0xA5; }));
        EXPECT_EQ(n_ed25519_verify(pub.data(), m, msg.size(), want.data()), 0);
    }
}

// Verification failures are answers, not errors: -1, no log line and no
// library error left queued, whichever input was altered.
TEST_F(n_ecc, Ed25519RejectsAlteredInput)
{
    const Bytes priv = unhex("c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7"),
                pub = unhex("fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025"), msg = unhex("af82");
    uint8_t sig[N_ED25519_SIG_LEN];
    ASSERT_EQ(n_ed25519_sign(priv.data(), msg.data(), msg.size(), sig), 0);
    struct Flip {
        const char *what;
        size_t bit;
        int which;  // 0 signature, 1 message, 2 public key
    };
    const Flip flips[] = {{"signature R", 3, 0},       {"signature S", 8 * 40 + 1, 0}, {"signature top bit", 511, 0},
                          {"message", 9, 1},           {"public key", 17, 2}};
    for (const auto &f : flips) {
        SCOPED_TRACE(f.what);
        Bytes s(sig, sig + sizeof sig), m = msg, p = pub;
        Bytes &target = f.which == 0 ? s : f.which == 1 ? m : p;
        target[f.bit / 8] ^= static_cast<uint8_t>(1u << (f.bit % 8));
        qvtest::LogCapture log;
        EXPECT_EQ(n_ed25519_verify(p.data(), m.data(), m.size(), s.data()), -1);
        EXPECT_EQ(log.text(), "");
        EXPECT_EQ(ERR_peek_error(), 0ul);
    }
}

TEST_F(n_ecc, Ed25519FreshPairMatchesTheLibrary)
{
    uint8_t priv[N_ED25519_KEY_LEN], pub[N_ED25519_KEY_LEN], sig[N_ED25519_SIG_LEN];
    ASSERT_EQ(n_ed25519_keypair(priv, pub), 0);
    EVP_PKEY *k = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, priv, sizeof priv);
    ASSERT_NE(k, nullptr);
    uint8_t derived[N_ED25519_KEY_LEN];
    size_t len = sizeof derived;
    EXPECT_EQ(EVP_PKEY_get_raw_public_key(k, derived, &len), 1);
    EVP_PKEY_free(k);
    EXPECT_EQ(len, N_ED25519_KEY_LEN);
    EXPECT_EQ(hex(derived, sizeof derived), hex(pub, sizeof pub));

    ASSERT_EQ(n_ed25519_sign(priv, nullptr, 0, sig), 0);
    EXPECT_EQ(n_ed25519_verify(pub, nullptr, 0, sig), 0);
    EXPECT_EQ(n_ed25519_verify(pub, "x", 1, sig), -1);
}

TEST_F(n_ecc, RefusesBadArguments)
{
    uint8_t k[32] = {1}, out[64];
    struct V {
        const char *name;
        int (*call)(uint8_t *k, uint8_t *out);
        const char *msg;
    };
    const V cases[] = {
        {"x25519 pair, null private", [](uint8_t *, uint8_t *o) { return n_x25519_keypair(nullptr, o); },
         "n_x25519_keypair: NULL output"},
        {"x25519 pair, null public", [](uint8_t *, uint8_t *o) { return n_x25519_keypair(o, nullptr); },
         "n_x25519_keypair: NULL output"},
        {"ed25519 pair, null public", [](uint8_t *, uint8_t *o) { return n_ed25519_keypair(o, nullptr); },
         "n_ed25519_keypair: NULL output"},
        {"derive, null private", [](uint8_t *k, uint8_t *o) { return n_x25519_derive(nullptr, k, o); },
         "n_x25519_derive: NULL argument"},
        {"derive, null peer", [](uint8_t *k, uint8_t *o) { return n_x25519_derive(k, nullptr, o); },
         "n_x25519_derive: NULL argument"},
        {"derive, null output", [](uint8_t *k, uint8_t *) { return n_x25519_derive(k, k, nullptr); },
         "n_x25519_derive: NULL argument"},
        {"sign, null key", [](uint8_t *, uint8_t *o) { return n_ed25519_sign(nullptr, "m", 1, o); },
         "n_ed25519_sign: invalid arguments"},
        {"sign, null message", [](uint8_t *k, uint8_t *o) { return n_ed25519_sign(k, nullptr, 1, o); },
         "n_ed25519_sign: invalid arguments"},
        {"sign, null signature", [](uint8_t *k, uint8_t *) { return n_ed25519_sign(k, "m", 1, nullptr); },
         "n_ed25519_sign: invalid arguments"},
        {"verify, null key", [](uint8_t *, uint8_t *o) { return n_ed25519_verify(nullptr, "m", 1, o); },
         "n_ed25519_verify: invalid arguments"},
        {"verify, null message", [](uint8_t *k, uint8_t *o) { return n_ed25519_verify(k, nullptr, 1, o); },
         "n_ed25519_verify: invalid arguments"},
        {"verify, null signature", [](uint8_t *k, uint8_t *) { return n_ed25519_verify(k, "m", 1, nullptr); },
         "n_ed25519_verify: invalid arguments"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        qvtest::LogCapture log;
        EXPECT_EQ(c.call(k, out), -1);
        EXPECT_TRUE(log.contains(c.msg)) << log.text();
    }
    qvtest::LogCapture log;
    EXPECT_EQ(n_ed25519_keypair(nullptr, out), -1);
    EXPECT_TRUE(log.contains("src/n_ecc.cpp->n_ecc_keypair:"));
}

}  // namespace
