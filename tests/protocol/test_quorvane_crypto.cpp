// Crypto primitives and sealing: known answers, argument contracts, refusal of
// every single-bit change, wiping of refused output, and a cross-check against
// a second implementation (tests/scripts/crypto_xcheck.py) in both directions.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <vector>

#include <openssl/err.h>
#include <openssl/evp.h>

#include "n_digest.h"
#include "qv_test_support.h"
#include "quorvane_crypto.h"

namespace {

using bytes = std::vector<uint8_t>;

using qvtest::all_zero;
using qvtest::hex_word;
using qvtest::random_bytes;
using qvtest::unhex;

// Runs the second implementation over request lines; returns its answer lines.
std::vector<std::vector<std::string>> xcheck(const std::vector<std::string> &requests) {
    return qvtest::xcheck_words("crypto_xcheck.py", requests);
}

// Flips each bit of `sealed` in turn; `open` must refuse every copy with -2,
// leave its `out_len` output bytes all zero (they are pre-filled with a
// pattern), print nothing and leave the OpenSSL error queue empty.
void expect_every_bit_refused(const bytes &sealed, size_t out_len,
                              const std::function<int(const bytes &, uint8_t *)> &open) {
    qvtest::LogCapture log;
    testing::internal::CaptureStderr();
    bytes out(out_len + 1);
    for (size_t bit = 0; bit < sealed.size() * 8; bit++) {
        bytes t = sealed;
        t[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        memset(out.data(), 0xA5, out.size());
        int rc = open(t, out.data());
        if (rc != -2 || !all_zero(out.data(), out_len) || ERR_peek_error() != 0) {
            ADD_FAILURE() << "bit " << bit << ": rc " << rc << ", output " << hex_word(out.data(), out_len);
            break;
        }
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(log.text(), "");
}

/* ---- Primitives --------------------------------------------------------- */

TEST(QuorvaneCrypto, InitFetchesOnceAndStreamsStillWorkAfterDeinit) {
    ASSERT_EQ(quorvane_crypto_init(), 0);
    ASSERT_EQ(quorvane_crypto_init(), 0);
    quorvane_crypto_deinit();
    quorvane_crypto_deinit();
    // the stream fetches the method itself when init has not run
    quorvane_blake2b_ctx *h = nullptr;
    uint8_t out[64];
    ASSERT_EQ(quorvane_blake2b_init(&h), 0);
    EXPECT_EQ(quorvane_blake2b_final(&h, out), 0);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(quorvane_crypto_init(), 0);
}

TEST(QuorvaneCrypto, RandomArguments) {
    EXPECT_EQ(quorvane_random(nullptr, 0), 0);
    EXPECT_EQ(quorvane_random(nullptr, 1), -3);
    uint8_t b[32];
    EXPECT_EQ(quorvane_random(b, QV_CRYPTO_LEN_MAX + size_t{1}), -3);
    bytes a = random_bytes(32), c = random_bytes(32);
    EXPECT_NE(a, c);
}

TEST(QuorvaneCrypto, ConstantTimeEqualAndCleanse) {
    bytes a = random_bytes(40), b = a;
    EXPECT_EQ(quorvane_ct_eq(a.data(), b.data(), a.size()), 1);
    for (size_t i = 0; i < a.size(); i++) {
        b = a;
        b[i] ^= 0x80;
        EXPECT_EQ(quorvane_ct_eq(a.data(), b.data(), a.size()), 0) << i;
    }
    EXPECT_EQ(quorvane_ct_eq(a.data(), b.data(), 0), 1);
    EXPECT_EQ(quorvane_ct_eq(nullptr, b.data(), 0), 0);
    EXPECT_EQ(quorvane_ct_eq(a.data(), nullptr, 4), 0);

    quorvane_cleanse(a.data(), a.size());
    EXPECT_TRUE(all_zero(a.data(), a.size()));
    quorvane_cleanse(nullptr, 10);  // ignored
}

TEST(QuorvaneCrypto, MemLockIsBestEffort) {
    EXPECT_EQ(quorvane_mem_lock(nullptr, 32), 0);
    uint8_t key[32];
    EXPECT_EQ(quorvane_mem_lock(key, 0), 0);
    long page = sysconf(_SC_PAGESIZE);
    void *map = mmap(nullptr, static_cast<size_t>(page) * 2, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    ASSERT_EQ(munmap(static_cast<uint8_t *>(map) + page, static_cast<size_t>(page)), 0);
    // A range running into unmapped memory cannot be locked: 0, nothing else
    // happens. The sanitizers turn mlock into a no-op that always succeeds.
    if (!qvtest::kSanitized) {
        EXPECT_EQ(quorvane_mem_lock(map, static_cast<size_t>(page) * 2), 0);
    }
    // One page is within every default lock limit; callers test for non-zero.
    int locked = quorvane_mem_lock(map, static_cast<size_t>(page));
    EXPECT_EQ(locked, 1);
    quorvane_mem_unlock(map, static_cast<size_t>(page));
    quorvane_mem_unlock(nullptr, 0);
    munmap(map, static_cast<size_t>(page));
}

TEST(QuorvaneCrypto, Ed25519SignVerifyAndSeedToPublic) {
    uint8_t priv[32], pub[32], pub2[32], sig[64];
    ASSERT_EQ(quorvane_ed25519_keypair(priv, pub), 0);
    ASSERT_EQ(quorvane_ed25519_pub_from_seed(priv, pub2), 0);
    EXPECT_EQ(memcmp(pub, pub2, 32), 0);
    EXPECT_EQ(quorvane_ed25519_pub_from_seed(nullptr, pub2), -3);
    EXPECT_EQ(quorvane_ed25519_pub_from_seed(priv, nullptr), -3);

    ASSERT_EQ(quorvane_ed25519_sign(priv, nullptr, 0, sig), 0);  // empty message
    EXPECT_EQ(quorvane_ed25519_verify(pub, nullptr, 0, sig), 0);
    bytes msg = random_bytes(100);
    ASSERT_EQ(quorvane_ed25519_sign(priv, msg.data(), msg.size(), sig), 0);
    EXPECT_EQ(quorvane_ed25519_verify(pub, msg.data(), msg.size(), sig), 0);

    bytes s(sig, sig + 64);
    expect_every_bit_refused(s, 0, [&](const bytes &t, uint8_t *) {
        return quorvane_ed25519_verify(pub, msg.data(), msg.size(), t.data());
    });
    // every failure is -2, also a key that is not a curve point and a missing key
    uint8_t bad[32];
    memset(bad, 0xFF, sizeof bad);
    EXPECT_EQ(quorvane_ed25519_verify(bad, msg.data(), msg.size(), sig), -2);
    {
        qvtest::LogCapture log;
        EXPECT_EQ(quorvane_ed25519_verify(nullptr, msg.data(), msg.size(), sig), -2);
    }
    EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST(QuorvaneCrypto, Blake2bKnownAnswerAndStreaming) {
    // BLAKE2b-512("abc"), RFC 7693 appendix A
    const std::string abc =
        "ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d17d87c5392aab792dc252d5de4533cc95"
        "18d38aa8dbf1925ab92386edd4009923";
    uint8_t out[64], out2[64];
    ASSERT_EQ(quorvane_blake2b(reinterpret_cast<const uint8_t *>("abc"), 3, out), 0);
    EXPECT_EQ(hex_word(out, 64), abc);

    bytes data = random_bytes(1000);
    ASSERT_EQ(quorvane_blake2b(data.data(), data.size(), out), 0);
    quorvane_blake2b_ctx *h = nullptr;
    ASSERT_EQ(quorvane_blake2b_init(&h), 0);
    EXPECT_EQ(quorvane_blake2b_update(h, nullptr, 0), 0);
    for (size_t off = 0, step = 1; off < data.size(); off += step, step = step * 2 + 1)
        ASSERT_EQ(quorvane_blake2b_update(h, data.data() + off, std::min(step, data.size() - off)), 0);
    ASSERT_EQ(quorvane_blake2b_final(&h, out2), 0);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(memcmp(out, out2, 64), 0);

    // a failed final still frees the stream (ASan reports a leak otherwise)
    ASSERT_EQ(quorvane_blake2b_init(&h), 0);
    EXPECT_EQ(quorvane_blake2b_final(&h, nullptr), -3);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(quorvane_blake2b_final(&h, out), -3);
    EXPECT_EQ(quorvane_blake2b_final(nullptr, out), -3);
    EXPECT_EQ(quorvane_blake2b_init(nullptr), -3);
    EXPECT_EQ(quorvane_blake2b_update(nullptr, data.data(), 1), -3);
}

TEST(QuorvaneCrypto, HmacSha256) {
    // RFC 4231 test case 2
    const std::string key = "Jefe", data = "what do ya want for nothing?";
    uint8_t out[32];
    ASSERT_EQ(quorvane_hmac_sha256(reinterpret_cast<const uint8_t *>(key.data()), key.size(),
                                   reinterpret_cast<const uint8_t *>(data.data()), data.size(), out),
              0);
    EXPECT_EQ(hex_word(out, 32), "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    uint8_t k = 0;
    EXPECT_EQ(quorvane_hmac_sha256(&k, 0, nullptr, 0, out), 0);  // empty key, empty data
    EXPECT_EQ(quorvane_hmac_sha256(nullptr, 0, nullptr, 0, out), -3);
    EXPECT_EQ(quorvane_hmac_sha256(&k, 1, nullptr, 1, out), -3);
    EXPECT_EQ(quorvane_hmac_sha256(&k, 1, &k, 1, nullptr), -3);
}

TEST(QuorvaneCrypto, Scrypt) {
    // RFC 7914 section 12, second vector
    const std::string pw = "password", salt = "NaCl";
    quorvane_scrypt_params p{1024, 8, 16};
    uint8_t out[64];
    ASSERT_EQ(quorvane_scrypt(reinterpret_cast<const uint8_t *>(pw.data()), pw.size(),
                              reinterpret_cast<const uint8_t *>(salt.data()), salt.size(), &p, out, sizeof out),
              0);
    EXPECT_EQ(hex_word(out, 64),
              "fdbabe1c9d3472007856e7190d01e9fe7c6ad7cbc8237830e77376634b3731622eaf30d92e22a3886ff109279d9830dac7"
              "27afb94a83ee6d8360cbdfa2cc0640");
    EXPECT_EQ(quorvane_scrypt(out, 1, out, 1, nullptr, out, 32), -3);
    // 128 * r * N = 4 GiB: over the 2 GiB bound, refused before any work
    quorvane_scrypt_params huge{1u << 22, 8, 1};
    qvtest::LogCapture log;
    testing::internal::CaptureStderr();
    EXPECT_EQ(quorvane_scrypt(out, 1, out, 1, &huge, out, 32), -1);
    testing::internal::GetCapturedStderr();
    ERR_clear_error();
}

TEST(QuorvaneCrypto, SslPerrorPrintsEveryQueuedErrorAndEmptiesTheQueue) {
    uint8_t k[5] = {};
    ASSERT_EQ(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, k, sizeof k), nullptr);  // wrong length
    ASSERT_NE(ERR_peek_error(), 0u);
    testing::internal::CaptureStderr();
    quorvane_ssl_perror("unit");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("quorvane_crypto: unit: error:", 0), 0u) << err;
    EXPECT_EQ(err.back(), '\n');
    EXPECT_EQ(ERR_peek_error(), 0u);
    testing::internal::CaptureStderr();
    quorvane_ssl_perror("unit");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

/* ---- Anonymous boxes ---------------------------------------------------- */

struct keypair {
    uint8_t priv[32], pub[32];
    keypair() { EXPECT_EQ(quorvane_x25519_keypair(priv, pub), 0); }
};

bytes box_seal(const keypair &to, const bytes &pt) {
    bytes box(pt.size() + QV_SEAL_OVERHEAD);
    size_t n = 0;
    EXPECT_EQ(quorvane_seal(to.pub, pt.data(), pt.size(), box.data(), box.size(), &n), 0);
    EXPECT_EQ(n, box.size());
    return box;
}

TEST(QuorvaneSeal, RoundTripsAtEveryLength) {
    keypair k;
    for (size_t len : {0, 1, 15, 16, 64, 1000}) {
        SCOPED_TRACE(len);
        bytes pt = random_bytes(len), box = box_seal(k, pt);
        bytes out(len + 1, 0xEE);
        size_t n = 99;
        ASSERT_EQ(quorvane_open(k.priv, box.data(), box.size(), out.data(), len, &n), 0);
        EXPECT_EQ(n, len);
        EXPECT_TRUE(std::equal(pt.begin(), pt.end(), out.begin()));
        EXPECT_EQ(out[len], 0xEE);
    }
    // two seals of the same bytes differ (fresh ephemeral key)
    bytes pt = random_bytes(8);
    EXPECT_NE(box_seal(k, pt), box_seal(k, pt));
}

TEST(QuorvaneSeal, SizeAndArgumentChecks) {
    keypair k;
    bytes pt = random_bytes(10), out(100);
    size_t n = 7;
    EXPECT_EQ(quorvane_seal(k.pub, pt.data(), 10, out.data(), 57, &n), -3);  // one short
    EXPECT_EQ(quorvane_seal(k.pub, pt.data(), SIZE_MAX - 10, out.data(), 100, &n), -3);  // wraps
    EXPECT_EQ(quorvane_seal(nullptr, pt.data(), 10, out.data(), 100, &n), -3);
    EXPECT_EQ(quorvane_seal(k.pub, nullptr, 10, out.data(), 100, &n), -3);
    EXPECT_EQ(quorvane_seal(k.pub, pt.data(), 10, nullptr, 100, &n), -3);
    EXPECT_EQ(quorvane_seal(k.pub, pt.data(), 10, out.data(), 100, nullptr), -3);
    EXPECT_EQ(n, 7u);
    ASSERT_EQ(quorvane_seal(k.pub, nullptr, 0, out.data(), 48, &n), 0);  // empty: exactly 48 bytes
    EXPECT_EQ(n, 48u);
    size_t m = 7;
    EXPECT_EQ(quorvane_open(k.priv, out.data(), 48, nullptr, 0, &m), 0);
    EXPECT_EQ(m, 0u);
    m = 7;
    EXPECT_EQ(quorvane_open(k.priv, out.data(), 47, out.data() + 50, 50, &m), -3);
    EXPECT_EQ(quorvane_open(nullptr, out.data(), 48, out.data() + 50, 50, &m), -3);
    EXPECT_EQ(quorvane_open(k.priv, nullptr, 48, out.data() + 50, 50, &m), -3);
    EXPECT_EQ(quorvane_open(k.priv, out.data(), 48, out.data() + 50, 50, nullptr), -3);

    bytes box = box_seal(k, pt), pt2(10);
    EXPECT_EQ(quorvane_open(k.priv, box.data(), box.size(), pt2.data(), 9, &m), -3);
    EXPECT_EQ(quorvane_open(k.priv, box.data(), box.size(), nullptr, 10, &m), -3);
    EXPECT_EQ(m, 7u);
}

TEST(QuorvaneSeal, EveryBitAndAnotherKeyAreRefusedAndWiped) {
    keypair k, other;
    bytes pt = random_bytes(12), box = box_seal(k, pt);
    auto open_with = [&](const uint8_t *priv) {
        return [priv](const bytes &t, uint8_t *out) {
            size_t n = 0;
            return quorvane_open(priv, t.data(), t.size(), out, t.size() - QV_SEAL_OVERHEAD, &n);
        };
    };
    expect_every_bit_refused(box, pt.size(), open_with(k.priv));
    bytes out(pt.size(), 0xA5);
    EXPECT_EQ(open_with(other.priv)(box, out.data()), -2);
    EXPECT_TRUE(all_zero(out.data(), out.size()));
    EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST(QuorvaneSeal, LowOrderEphemeralKeyIsALibraryRefusalNotPlaintext) {
    keypair k;
    bytes box = box_seal(k, random_bytes(4));
    memset(box.data(), 0, 32);  // the all-zero point gives an all-zero secret, which X25519 refuses
    bytes out(4, 0xA5);
    size_t n = 9;
    qvtest::LogCapture log;
    EXPECT_EQ(quorvane_open(k.priv, box.data(), box.size(), out.data(), out.size(), &n), -1);
    EXPECT_EQ(n, 9u);
    EXPECT_EQ(out, bytes(4, 0xA5));  // nothing was decrypted
    EXPECT_EQ(ERR_peek_error(), 0u);
}

/* ---- Message seal ------------------------------------------------------- */

struct msg_case {
    bytes key = random_bytes(32), salt = random_bytes(16), ad = random_bytes(20), pt;
    uint64_t counter;
    bytes ct, tag = bytes(16);
    msg_case(size_t len, uint64_t c) : pt(random_bytes(len)), counter(c), ct(len) {
        EXPECT_EQ(quorvane_msg_seal(key.data(), counter, salt.data(), ad.data(), ad.size(), pt.data(), pt.size(),
                                    ct.data(), tag.data()),
                  0);
    }
    int open(uint64_t c, const bytes &s, const bytes &a, const bytes &ctx, const bytes &t, uint8_t *out) const {
        return quorvane_msg_open(key.data(), c, s.data(), a.data(), a.size(), ctx.data(), ctx.size(), t.data(), out);
    }
};

TEST(QuorvaneMsgSeal, RoundTripAndBindingToCounterSaltAndAssociatedData) {
    msg_case m(33, 1);
    bytes out(33);
    ASSERT_EQ(m.open(1, m.salt, m.ad, m.ct, m.tag, out.data()), 0);
    EXPECT_EQ(out, m.pt);

    bytes other_salt = m.salt, other_ad = m.ad;
    other_salt[15] ^= 1;
    other_ad[0] ^= 1;
    struct {
        const char *name;
        uint64_t counter;
        const bytes *salt, *ad;
    } rows[] = {{"counter 2", 2, &m.salt, &m.ad},
                {"counter 1 << 56", (uint64_t{1} << 56) | 1, &m.salt, &m.ad},
                {"other salt", 1, &other_salt, &m.ad},
                {"other associated data", 1, &m.salt, &other_ad}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        memset(out.data(), 0xA5, out.size());
        EXPECT_EQ(m.open(r.counter, *r.salt, *r.ad, m.ct, m.tag, out.data()), -2);
        EXPECT_TRUE(all_zero(out.data(), out.size()));
    }
    bytes other_key = random_bytes(32);
    EXPECT_EQ(quorvane_msg_open(other_key.data(), 1, m.salt.data(), m.ad.data(), m.ad.size(), m.ct.data(), m.ct.size(),
                                m.tag.data(), out.data()),
              -2);
}

TEST(QuorvaneMsgSeal, EveryBitOfCiphertextAndTagIsRefused) {
    msg_case m(24, 77);
    bytes sealed = m.ct;
    sealed.insert(sealed.end(), m.tag.begin(), m.tag.end());
    expect_every_bit_refused(sealed, m.pt.size(), [&](const bytes &t, uint8_t *out) {
        bytes ct(t.begin(), t.begin() + 24), tag(t.begin() + 24, t.end());
        return m.open(77, m.salt, m.ad, ct, tag, out);
    });
}

TEST(QuorvaneMsgSeal, EmptyTextAndArgumentChecks) {
    bytes key = random_bytes(32), salt = random_bytes(16);
    uint8_t tag[16];
    ASSERT_EQ(quorvane_msg_seal(key.data(), 5, salt.data(), nullptr, 0, nullptr, 0, nullptr, tag), 0);
    EXPECT_EQ(quorvane_msg_open(key.data(), 5, salt.data(), nullptr, 0, nullptr, 0, tag, nullptr), 0);
    tag[0] ^= 1;
    EXPECT_EQ(quorvane_msg_open(key.data(), 5, salt.data(), nullptr, 0, nullptr, 0, tag, nullptr), -2);

    uint8_t b[8] = {}, o[8];
    const size_t huge = QV_CRYPTO_LEN_MAX + size_t{1};
    EXPECT_EQ(quorvane_msg_seal(nullptr, 1, salt.data(), b, 8, b, 8, o, tag), -3);
    EXPECT_EQ(quorvane_msg_seal(key.data(), 1, nullptr, b, 8, b, 8, o, tag), -3);
    EXPECT_EQ(quorvane_msg_seal(key.data(), 1, salt.data(), nullptr, 8, b, 8, o, tag), -3);
    EXPECT_EQ(quorvane_msg_seal(key.data(), 1, salt.data(), b, 8, nullptr, 8, o, tag), -3);
    EXPECT_EQ(quorvane_msg_seal(key.data(), 1, salt.data(), b, 8, b, 8, nullptr, tag), -3);
    EXPECT_EQ(quorvane_msg_seal(key.data(), 1, salt.data(), b, 8, b, 8, o, nullptr), -3);
    EXPECT_EQ(quorvane_msg_seal(key.data(), 1, salt.data(), b, huge, b, 8, o, tag), -3);
    EXPECT_EQ(quorvane_msg_seal(key.data(), 1, salt.data(), b, 8, b, huge, o, tag), -3);
    EXPECT_EQ(quorvane_msg_open(key.data(), 1, salt.data(), b, 8, b, 8, nullptr, o), -3);
    EXPECT_EQ(quorvane_msg_open(key.data(), 1, salt.data(), b, 8, b, 8, tag, nullptr), -3);
    EXPECT_EQ(quorvane_msg_open(key.data(), 1, salt.data(), b, 8, b, huge, tag, o), -3);
}

/* ---- REST tokens and the search-index key ------------------------------- */

TEST(QuorvaneRestToken, IssueVerifyExpiryAndFields) {
    bytes secret = random_bytes(32), id = random_bytes(16), extra = random_bytes(16);
    uint8_t tok[QV_REST_TOKEN_LEN], tok2[QV_REST_TOKEN_LEN];
    ASSERT_EQ(quorvane_rest_token_issue(secret.data(), id.data(), 0x1AB, extra.data(), 1000, tok), 0);
    uint8_t id_out[16], kind = 0, extra_out[16];
    ASSERT_EQ(quorvane_rest_token_verify(secret.data(), tok, sizeof tok, 999, id_out, &kind, extra_out), 0);
    EXPECT_EQ(bytes(id_out, id_out + 16), id);
    EXPECT_EQ(kind, 0xAB);  // the low byte only
    EXPECT_EQ(bytes(extra_out, extra_out + 16), extra);
    EXPECT_EQ(quorvane_rest_token_verify(secret.data(), tok, sizeof tok, 0, id_out, nullptr, nullptr), 0);

    memset(id_out, 0xA5, 16);
    EXPECT_EQ(quorvane_rest_token_verify(secret.data(), tok, sizeof tok, 1000, id_out, &kind, extra_out), -2);
    EXPECT_EQ(quorvane_rest_token_verify(secret.data(), tok, sizeof tok, UINT64_MAX, id_out, &kind, extra_out), -2);
    EXPECT_EQ(bytes(id_out, id_out + 16), bytes(16, 0xA5));  // nothing handed out

    ASSERT_EQ(quorvane_rest_token_issue(secret.data(), id.data(), 3, nullptr, 1000, tok2), 0);
    ASSERT_EQ(quorvane_rest_token_verify(secret.data(), tok2, sizeof tok2, 5, id_out, &kind, extra_out), 0);
    EXPECT_EQ(bytes(extra_out, extra_out + 16), bytes(16, 0));
    EXPECT_NE(memcmp(tok, tok2, 16), 0);  // fresh salt per token

    bytes other = random_bytes(32);
    EXPECT_EQ(quorvane_rest_token_verify(other.data(), tok, sizeof tok, 5, id_out, &kind, extra_out), -2);
}

TEST(QuorvaneRestToken, LengthAndArgumentChecksComeBeforeDecryption) {
    bytes secret = random_bytes(32), id = random_bytes(16);
    bytes tok(QV_REST_TOKEN_LEN + 1);
    ASSERT_EQ(quorvane_rest_token_issue(secret.data(), id.data(), 1, nullptr, 10, tok.data()), 0);
    uint8_t id_out[16];
    EXPECT_EQ(quorvane_rest_token_verify(secret.data(), tok.data(), 72, 0, id_out, nullptr, nullptr), -3);
    EXPECT_EQ(quorvane_rest_token_verify(secret.data(), tok.data(), 74, 0, id_out, nullptr, nullptr), -3);
    EXPECT_EQ(quorvane_rest_token_verify(nullptr, tok.data(), 73, 0, id_out, nullptr, nullptr), -3);
    EXPECT_EQ(quorvane_rest_token_verify(secret.data(), nullptr, 73, 0, id_out, nullptr, nullptr), -3);
    EXPECT_EQ(quorvane_rest_token_verify(secret.data(), tok.data(), 73, 0, nullptr, nullptr, nullptr), -3);
    EXPECT_EQ(quorvane_rest_token_issue(nullptr, id.data(), 1, nullptr, 10, tok.data()), -3);
    EXPECT_EQ(quorvane_rest_token_issue(secret.data(), nullptr, 1, nullptr, 10, tok.data()), -3);
    EXPECT_EQ(quorvane_rest_token_issue(secret.data(), id.data(), 1, nullptr, 10, nullptr), -3);
}

TEST(QuorvaneRestToken, EveryBitIsRefused) {
    bytes secret = random_bytes(32), id = random_bytes(16), tok(QV_REST_TOKEN_LEN);
    ASSERT_EQ(quorvane_rest_token_issue(secret.data(), id.data(), 9, nullptr, UINT64_MAX, tok.data()), 0);
    // verify decrypts into its own buffer and hands nothing out on refusal
    expect_every_bit_refused(tok, 0, [&](const bytes &t, uint8_t *) {
        uint8_t id_out[16], kind = 0xA5, extra_out[16];
        memset(id_out, 0xA5, 16);
        memset(extra_out, 0xA5, 16);
        int rc = quorvane_rest_token_verify(secret.data(), t.data(), t.size(), 0, id_out, &kind, extra_out);
        bool untouched = kind == 0xA5 && bytes(id_out, id_out + 16) == bytes(16, 0xA5) &&
                         bytes(extra_out, extra_out + 16) == bytes(16, 0xA5);
        return untouched ? rc : 99;
    });
}

TEST(QuorvaneSidx, MatchesTheLibraryHkdfAndNeedsEveryArgument) {
    bytes key = random_bytes(32), salt = random_bytes(16);
    uint8_t a[32], b[32];
    ASSERT_EQ(quorvane_sidx_key(key.data(), salt.data(), a), 0);
    // OpenSSL's own HKDF as a second opinion on our HMAC-built derivation
    ASSERT_EQ(n_kdf_hkdf_sha256(key.data(), 32, salt.data(), 16, SIDX_INFO.data(), SIDX_INFO.size(), b, 32), 0);
    EXPECT_EQ(memcmp(a, b, 32), 0);
    salt[0] ^= 1;
    ASSERT_EQ(quorvane_sidx_key(key.data(), salt.data(), b), 0);
    EXPECT_NE(memcmp(a, b, 32), 0);
    EXPECT_EQ(quorvane_sidx_key(nullptr, salt.data(), b), -1);
    EXPECT_EQ(quorvane_sidx_key(key.data(), nullptr, b), -1);
    EXPECT_EQ(quorvane_sidx_key(key.data(), salt.data(), nullptr), -1);
}

// RFC 5869's cases A.1 to A.3 (of which this is the first 32 bytes), then
// OpenSSL's own HKDF as a second opinion at the lengths the callers use.
TEST(QuorvaneHkdf32, KnownAnswersAndTheLibraryHkdf) {
    auto counting = [](uint8_t from, size_t n) {
        bytes b(n);
        for (size_t i = 0; i < n; i++) b[i] = static_cast<uint8_t>(from + i);
        return b;
    };
    struct V {
        const char *name;
        bytes ikm, salt, info;
        const char *okm;
    };
    const V vectors[] = {
        {"A.1", bytes(22, 0x0b), counting(0x00, 13), counting(0xf0, 10),
         "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf"},
        {"A.2", counting(0x00, 80), counting(0x60, 80), counting(0xb0, 80),
         "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c"},
        {"A.3 (no salt, no info)", bytes(22, 0x0b), {}, {},
         "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d"},
    };
    for (const auto &v : vectors) {
        SCOPED_TRACE(v.name);
        uint8_t out[32];
        ASSERT_EQ(quorvane_hkdf_sha256_32(v.ikm.data(), v.ikm.size(), v.salt.data(), v.salt.size(), v.info.data(),
                                          v.info.size(), out),
                  0);
        EXPECT_EQ(qvtest::hex(out, sizeof out), v.okm);
    }
    for (size_t ikm_len : {1, 32, 64, 160})
        for (size_t salt_len : {0, 16, 32, 64}) {
            SCOPED_TRACE(std::to_string(ikm_len) + " bytes of key material, salt of " + std::to_string(salt_len));
            const bytes ikm = random_bytes(ikm_len), salt = random_bytes(salt_len), info = random_bytes(ikm_len % 40);
            uint8_t ours[32], library[32];
            ASSERT_EQ(quorvane_hkdf_sha256_32(ikm.data(), ikm.size(), salt.data(), salt.size(), info.data(),
                                              info.size(), ours),
                      0);
            ASSERT_EQ(n_kdf_hkdf_sha256(ikm.data(), ikm.size(), salt.data(), salt.size(), info.data(), info.size(),
                                        library, sizeof library),
                      0);
            EXPECT_EQ(qvtest::hex(ours, 32), qvtest::hex(library, 32));
        }
    const bytes k = random_bytes(32);
    uint8_t out[32];
    EXPECT_EQ(quorvane_hkdf_sha256_32(nullptr, 32, k.data(), 16, k.data(), 4, out), -1);
    EXPECT_EQ(quorvane_hkdf_sha256_32(k.data(), 32, nullptr, 16, k.data(), 4, out), -1);
    EXPECT_EQ(quorvane_hkdf_sha256_32(k.data(), 32, k.data(), 16, nullptr, 4, out), -1);
    EXPECT_EQ(quorvane_hkdf_sha256_32(k.data(), 32, k.data(), 16, k.data(), 4, nullptr), -1);
}

/* ---- Cross-check against the second implementation ---------------------- */

TEST(QuorvaneCryptoXcheck, BoxesOpenBothWays) {
    keypair mine;
    const size_t lens[] = {0, 1, 31, 300};
    std::vector<std::string> req;
    std::vector<bytes> ours;
    bytes peer_priv = random_bytes(32);
    req.push_back("x25519_pub " + hex_word(peer_priv));
    for (size_t len : lens) {
        bytes pt = random_bytes(len);
        ours.push_back(pt);
        req.push_back("seal " + hex_word(mine.pub, 32) + " " + hex_word(pt));  // they seal to us
    }
    auto ans = xcheck(req);
    ASSERT_EQ(ans[0].size(), 2u);
    bytes peer_pub = unhex(ans[0][1]);
    ASSERT_EQ(peer_pub.size(), 32u);
    for (size_t i = 0; i < ours.size(); i++) {
        SCOPED_TRACE(lens[i]);
        ASSERT_EQ(ans[i + 1].size(), 2u);
        bytes box = unhex(ans[i + 1][1]), out(lens[i]);
        EXPECT_EQ(box.size(), lens[i] + 48);
        size_t n = 0;
        ASSERT_EQ(quorvane_open(mine.priv, box.data(), box.size(), out.data(), out.size(), &n), 0);
        EXPECT_EQ(out, ours[i]);
    }

    // we seal to them; a box with one bit changed must fail there too
    req.clear();
    for (const auto &pt : ours) {
        bytes box(pt.size() + 48);
        size_t n = 0;
        ASSERT_EQ(quorvane_seal(peer_pub.data(), pt.data(), pt.size(), box.data(), box.size(), &n), 0);
        req.push_back("open " + hex_word(peer_priv) + " " + hex_word(box));
        if (&pt == &ours.back()) {
            box[40] ^= 4;
            req.push_back("open " + hex_word(peer_priv) + " " + hex_word(box));
        }
    }
    ans = xcheck(req);
    for (size_t i = 0; i < ours.size(); i++) {
        ASSERT_EQ(ans[i].size(), 2u) << i;
        EXPECT_EQ(ans[i][0], "OK");
        EXPECT_EQ(unhex(ans[i][1]), ours[i]);
    }
    EXPECT_EQ(ans.back(), (std::vector<std::string>{"FAIL", "AUTH"}));
}

TEST(QuorvaneCryptoXcheck, MessageSealsAreIdenticalBytes) {
    struct row {
        size_t len;
        uint64_t counter;
    } rows[] = {{0, 0}, {1, 1}, {100, 0x0102030405060708ull}, {1024, UINT64_MAX}};
    std::vector<std::string> req;
    std::vector<msg_case> cases;
    for (const auto &r : rows) cases.emplace_back(r.len, r.counter);
    for (const auto &m : cases) {
        req.push_back("msg_seal " + hex_word(m.key) + " " + std::to_string(m.counter) + " " + hex_word(m.salt) + " " +
                      hex_word(m.ad) + " " + hex_word(m.pt));
        req.push_back("msg_open " + hex_word(m.key) + " " + std::to_string(m.counter) + " " + hex_word(m.salt) + " " +
                      hex_word(m.ad) + " " + hex_word(m.ct) + " " + hex_word(m.tag));
    }
    auto ans = xcheck(req);
    for (size_t i = 0; i < cases.size(); i++) {
        SCOPED_TRACE(rows[i].len);
        const auto &m = cases[i];
        ASSERT_EQ(ans[2 * i].size(), 3u);
        EXPECT_EQ(ans[2 * i][1], hex_word(m.ct));  // deterministic: same key, counter, salt
        EXPECT_EQ(ans[2 * i][2], hex_word(m.tag));
        ASSERT_EQ(ans[2 * i + 1].size(), 2u);
        EXPECT_EQ(ans[2 * i + 1][1], hex_word(m.pt));
    }
}

TEST(QuorvaneCryptoXcheck, RestTokensVerifyBothWays) {
    bytes secret = random_bytes(32), id = random_bytes(16), extra = random_bytes(16);
    const uint64_t expiry = 0x0000018F00001234ull;
    uint8_t tok[QV_REST_TOKEN_LEN];
    ASSERT_EQ(quorvane_rest_token_issue(secret.data(), id.data(), 0x42, extra.data(), expiry, tok), 0);
    std::vector<std::string> req = {
        "token_verify " + hex_word(secret) + " " + hex_word(tok, sizeof tok) + " " + std::to_string(expiry - 1),
        "token_verify " + hex_word(secret) + " " + hex_word(tok, sizeof tok) + " " + std::to_string(expiry),
        "token_issue " + hex_word(secret) + " " + hex_word(id) + " 7 " + hex_word(extra) + " " + std::to_string(expiry),
        "token_issue " + hex_word(secret) + " " + hex_word(id) + " 300 - " + std::to_string(expiry),
    };
    auto ans = xcheck(req);
    EXPECT_EQ(ans[0], (std::vector<std::string>{"OK", hex_word(id), "66", hex_word(extra)}));
    EXPECT_EQ(ans[1], (std::vector<std::string>{"FAIL", "EXPIRED"}));
    struct {
        int kind;
        bytes extra;
    } want[] = {{7, extra}, {300 & 0xFF, bytes(16, 0)}};
    for (int i = 0; i < 2; i++) {
        ASSERT_EQ(ans[2 + i].size(), 2u);
        bytes t = unhex(ans[2 + i][1]);
        ASSERT_EQ(t.size(), QV_REST_TOKEN_LEN);
        uint8_t id_out[16], kind = 0, extra_out[16];
        ASSERT_EQ(quorvane_rest_token_verify(secret.data(), t.data(), t.size(), expiry - 1, id_out, &kind, extra_out), 0);
        EXPECT_EQ(bytes(id_out, id_out + 16), id);
        EXPECT_EQ(kind, want[i].kind);
        EXPECT_EQ(bytes(extra_out, extra_out + 16), want[i].extra);
        EXPECT_EQ(quorvane_rest_token_verify(secret.data(), t.data(), t.size(), expiry, id_out, &kind, extra_out), -2);
    }
}

TEST(QuorvaneCryptoXcheck, SearchIndexKeyAndEd25519) {
    bytes key = random_bytes(32), salt = random_bytes(16), seed = random_bytes(32), msg = random_bytes(50);
    uint8_t sidx[32], pub[32], sig[64];
    ASSERT_EQ(quorvane_sidx_key(key.data(), salt.data(), sidx), 0);
    ASSERT_EQ(quorvane_ed25519_pub_from_seed(seed.data(), pub), 0);
    ASSERT_EQ(quorvane_ed25519_sign(seed.data(), msg.data(), msg.size(), sig), 0);
    auto ans = xcheck({"sidx " + hex_word(key) + " " + hex_word(salt), "ed_pub " + hex_word(seed), "ed_sign " + hex_word(seed) + " " + hex_word(msg),
                       "ed_verify " + hex_word(pub, 32) + " " + hex_word(msg) + " " + hex_word(sig, 64)});
    EXPECT_EQ(ans[0], (std::vector<std::string>{"OK", hex_word(sidx, 32)}));
    EXPECT_EQ(ans[1], (std::vector<std::string>{"OK", hex_word(pub, 32)}));
    EXPECT_EQ(ans[2], (std::vector<std::string>{"OK", hex_word(sig, 64)}));  // Ed25519 is deterministic
    EXPECT_EQ(ans[3], (std::vector<std::string>{"OK"}));
}

}  // namespace
