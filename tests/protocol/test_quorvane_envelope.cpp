// Envelopes: the 64-byte header on the wire, sealing and opening under the
// conversation key, refusal of any altered bit, and a cross-check of the whole
// layout against tests/scripts/crypto_xcheck.py in both directions.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <openssl/err.h>

#include "qv_test_support.h"
#include "quorvane_crypto.h"
#include "quorvane_envelope.h"

namespace {

using bytes = std::vector<uint8_t>;

using qvtest::all_zero;
using qvtest::hex_word;
using qvtest::random_bytes;
using qvtest::unhex;

quorvane_env_header make_header(uint64_t counter, uint64_t time) {
    quorvane_env_header h{};
    bytes r = random_bytes(48);
    memcpy(h.conversation_id, r.data(), 16);
    memcpy(h.sender_id, r.data() + 16, 16);
    memcpy(h.salt, r.data() + 32, 16);
    h.counter = counter;
    h.time = time;
    return h;
}

bool same_header(const quorvane_env_header &a, const quorvane_env_header &b) {
    return memcmp(a.conversation_id, b.conversation_id, 16) == 0 && memcmp(a.sender_id, b.sender_id, 16) == 0 &&
           a.counter == b.counter && a.time == b.time && memcmp(a.salt, b.salt, 16) == 0;
}

bytes seal(const bytes &key, const quorvane_env_header &h, const bytes &body) {
    bytes env(body.size() + QV_ENV_OVERHEAD);
    size_t n = 0;
    EXPECT_EQ(quorvane_env_seal(key.data(), &h, body.data(), body.size(), env.data(), env.size(), &n), 0);
    EXPECT_EQ(n, env.size());
    return env;
}

TEST(QuorvaneEnvHeader, EncodesBigEndianAndRoundTrips) {
    quorvane_env_header h = make_header(1, 0x0102030405060708ull), back;
    uint8_t wire[100];
    memset(wire, 0xEE, sizeof wire);
    quorvane_env_header_encode(&h, wire);
    EXPECT_EQ(memcmp(wire, h.conversation_id, 16), 0);
    EXPECT_EQ(memcmp(wire + 16, h.sender_id, 16), 0);
    EXPECT_EQ(hex_word(wire + 32, 8), "0000000000000001");  // counter 1: seven zero bytes, then 0x01
    EXPECT_EQ(hex_word(wire + 40, 8), "0102030405060708");
    EXPECT_EQ(memcmp(wire + 48, h.salt, 16), 0);
    EXPECT_EQ(wire[64], 0xEE);  // nothing past the 64 bytes

    ASSERT_EQ(quorvane_env_header_decode(wire, sizeof wire, &back), 0);  // more may follow
    EXPECT_TRUE(same_header(h, back));
    h.counter = UINT64_MAX;
    h.time = uint64_t{1} << 63;
    quorvane_env_header_encode(&h, wire);
    ASSERT_EQ(quorvane_env_header_decode(wire, 64, &back), 0);
    EXPECT_TRUE(same_header(h, back));

    EXPECT_EQ(quorvane_env_header_decode(wire, 63, &back), -2);
    EXPECT_EQ(quorvane_env_header_decode(wire, 64, nullptr), -3);
    EXPECT_EQ(quorvane_env_header_decode(nullptr, 64, &back), -3);
}

TEST(QuorvaneEnvelope, SealsAndOpensAtEveryBodyLength) {
    bytes key = random_bytes(32);
    for (size_t len : {0, 1, 17, 1000}) {
        SCOPED_TRACE(len);
        quorvane_env_header h = make_header(len * 3 + 1, 1700000000000ull), back;
        bytes body = random_bytes(len), env = seal(key, h, body);
        ASSERT_EQ(env.size(), len + 80);
        uint8_t wire[64];
        quorvane_env_header_encode(&h, wire);
        EXPECT_EQ(memcmp(env.data(), wire, 64), 0);  // clear header, salt from the caller's header

        bytes out(len + 1, 0xEE);
        size_t n = 99;
        ASSERT_EQ(quorvane_env_open(key.data(), env.data(), env.size(), &back, out.data(), len, &n), 0);
        EXPECT_EQ(n, len);
        EXPECT_TRUE(std::equal(body.begin(), body.end(), out.begin()));
        EXPECT_EQ(out[len], 0xEE);
        EXPECT_TRUE(same_header(h, back));
        n = 99;
        ASSERT_EQ(quorvane_env_open(key.data(), env.data(), env.size(), nullptr, out.data(), len, &n), 0);
        EXPECT_EQ(n, len);
    }
}

TEST(QuorvaneEnvelope, SizesAreCheckedBeforeAnythingIsWritten) {
    bytes key = random_bytes(32), body = random_bytes(20);
    quorvane_env_header h = make_header(9, 9);
    bytes out(100, 0xA5);
    size_t n = 7;
    EXPECT_EQ(quorvane_env_seal(key.data(), &h, body.data(), 20, out.data(), 99, &n), -3);
    EXPECT_EQ(quorvane_env_seal_bytes(key.data(), out.data(), body.data(), 20, out.data(), 99, &n), -3);
    EXPECT_EQ(quorvane_env_seal(key.data(), &h, body.data(), SIZE_MAX - 50, out.data(), 100, &n), -3);
    EXPECT_EQ(quorvane_env_seal(nullptr, &h, body.data(), 20, out.data(), 100, &n), -3);
    EXPECT_EQ(quorvane_env_seal(key.data(), nullptr, body.data(), 20, out.data(), 100, &n), -3);
    EXPECT_EQ(quorvane_env_seal(key.data(), &h, nullptr, 20, out.data(), 100, &n), -3);
    EXPECT_EQ(quorvane_env_seal(key.data(), &h, body.data(), 20, out.data(), 100, nullptr), -3);
    EXPECT_EQ(out, bytes(100, 0xA5));
    EXPECT_EQ(n, 7u);

    ASSERT_EQ(quorvane_env_seal(key.data(), &h, body.data(), 20, out.data(), 100, &n), 0);  // exactly enough
    EXPECT_EQ(n, 100u);
    bytes b(20, 0xA5);
    size_t m = 7;
    EXPECT_EQ(quorvane_env_open(key.data(), out.data(), 100, nullptr, b.data(), 19, &m), -3);
    EXPECT_EQ(quorvane_env_open(key.data(), out.data(), 79, nullptr, b.data(), 20, &m), -3);
    EXPECT_EQ(quorvane_env_open(key.data(), out.data(), 100, nullptr, nullptr, 20, &m), -3);
    EXPECT_EQ(quorvane_env_open(nullptr, out.data(), 100, nullptr, b.data(), 20, &m), -3);
    EXPECT_EQ(quorvane_env_open(key.data(), nullptr, 100, nullptr, b.data(), 20, &m), -3);
    EXPECT_EQ(quorvane_env_open(key.data(), out.data(), 100, nullptr, b.data(), 20, nullptr), -3);
    EXPECT_EQ(quorvane_env_open_bytes(key.data(), out.data(), 100, b.data(), 19, &m), -3);
    EXPECT_EQ(b, bytes(20, 0xA5));
    EXPECT_EQ(m, 7u);

    // empty body: exactly 80 bytes, opens to nothing
    ASSERT_EQ(quorvane_env_seal(key.data(), &h, nullptr, 0, out.data(), 80, &n), 0);
    EXPECT_EQ(n, 80u);
    ASSERT_EQ(quorvane_env_open(key.data(), out.data(), 80, nullptr, nullptr, 0, &m), 0);
    EXPECT_EQ(m, 0u);
}

TEST(QuorvaneEnvelope, EveryAlteredBitIsRefusedAndLeavesNothingBehind) {
    bytes key = random_bytes(32), body = random_bytes(12);
    quorvane_env_header h = make_header(1, 1000);
    bytes env = seal(key, h, body);
    qvtest::LogCapture log;
    testing::internal::CaptureStderr();
    for (size_t bit = 0; bit < env.size() * 8; bit++) {
        bytes t = env;
        t[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        bytes out(body.size(), 0xA5);
        quorvane_env_header back;
        memset(&back, 0xA5, sizeof back);
        size_t n = 7;
        int rc = quorvane_env_open(key.data(), t.data(), t.size(), &back, out.data(), out.size(), &n);
        bytes raw(reinterpret_cast<uint8_t *>(&back), reinterpret_cast<uint8_t *>(&back) + sizeof back);
        if (rc != -2 || !all_zero(out.data(), out.size()) || n != 7 || raw != bytes(64, 0xA5) ||
            ERR_peek_error() != 0) {
            ADD_FAILURE() << "bit " << bit << ": rc " << rc << " body " << hex_word(out);
            break;
        }
        memset(out.data(), 0xA5, out.size());
        rc = quorvane_env_open_bytes(key.data(), t.data(), t.size(), out.data(), out.size(), &n);
        if (rc != -2 || !all_zero(out.data(), out.size())) {
            ADD_FAILURE() << "bytes variant, bit " << bit << ": rc " << rc;
            break;
        }
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(log.text(), "");

    bytes other = random_bytes(32), out(body.size(), 0xA5);
    size_t n = 0;
    EXPECT_EQ(quorvane_env_open(other.data(), env.data(), env.size(), nullptr, out.data(), out.size(), &n), -2);
    EXPECT_TRUE(all_zero(out.data(), out.size()));
}

TEST(QuorvaneEnvelope, ByteVariantDrawsAFreshSaltAndSharesTheLayout) {
    bytes key = random_bytes(32), body = random_bytes(30);
    quorvane_env_header h = make_header(42, 42000);
    uint8_t wire[64];
    quorvane_env_header_encode(&h, wire);
    bytes a(110), b(110);
    size_t n = 0;
    ASSERT_EQ(quorvane_env_seal_bytes(key.data(), wire, body.data(), body.size(), a.data(), a.size(), &n), 0);
    EXPECT_EQ(n, 110u);
    ASSERT_EQ(quorvane_env_seal_bytes(key.data(), wire, body.data(), body.size(), b.data(), b.size(), &n), 0);
    EXPECT_EQ(memcmp(a.data(), wire, 48), 0);
    EXPECT_NE(memcmp(a.data() + 48, b.data() + 48, 16), 0);

    quorvane_env_header back;
    bytes out(30);
    ASSERT_EQ(quorvane_env_open(key.data(), a.data(), a.size(), &back, out.data(), out.size(), &n), 0);
    EXPECT_EQ(out, body);
    EXPECT_EQ(back.counter, 42u);
    EXPECT_EQ(memcmp(back.salt, a.data() + 48, 16), 0);
    ASSERT_EQ(quorvane_env_open_bytes(key.data(), b.data(), b.size(), out.data(), out.size(), &n), 0);
    EXPECT_EQ(out, body);

    // the caller's buffer may already hold the header
    memcpy(a.data(), wire, 48);
    ASSERT_EQ(quorvane_env_seal_bytes(key.data(), a.data(), body.data(), body.size(), a.data(), a.size(), &n), 0);
    EXPECT_EQ(memcmp(a.data(), wire, 48), 0);
    ASSERT_EQ(quorvane_env_open_bytes(key.data(), a.data(), a.size(), out.data(), out.size(), &n), 0);
}

std::vector<std::vector<std::string>> xcheck(const std::vector<std::string> &requests) {
    return qvtest::xcheck_words("crypto_xcheck.py", requests);
}

TEST(QuorvaneEnvelopeXcheck, BothWays) {
    bytes key = random_bytes(32);
    struct row {
        size_t len;
        uint64_t counter, time;
    } rows[] = {{0, 1, 1000}, {5, 0xFFFFFFFFFFFFFFFEull, 1700000000000ull}, {700, 0x0100000000000000ull, 0}};
    std::vector<std::string> req;
    std::vector<quorvane_env_header> hs;
    std::vector<bytes> bodies, ours;
    for (const auto &r : rows) {
        quorvane_env_header h = make_header(r.counter, r.time);
        bytes body = random_bytes(r.len);
        std::string fields = hex_word(h.conversation_id, 16) + " " + hex_word(h.sender_id, 16) + " " + std::to_string(r.counter) +
                             " " + std::to_string(r.time) + " ";
        // same header and salt: the bytes must be identical; a fresh salt on their side must open here
        req.push_back("env_seal " + hex_word(key) + " " + fields + hex_word(h.salt, 16) + " " + hex_word(body));
        req.push_back("env_seal " + hex_word(key) + " " + fields + "rand " + hex_word(body));
        // ours, sealed with a salt we draw, must open there with every header field intact
        uint8_t wire[64];
        quorvane_env_header_encode(&h, wire);
        bytes env(r.len + 80);
        size_t n = 0;
        EXPECT_EQ(quorvane_env_seal_bytes(key.data(), wire, body.data(), body.size(), env.data(), env.size(), &n), 0);
        req.push_back("env_open " + hex_word(key) + " " + hex_word(env));
        hs.push_back(h);
        bodies.push_back(body);
        ours.push_back(env);
    }
    bytes bad = ours.back();
    bad[33] ^= 1;  // the counter
    req.push_back("env_open " + hex_word(key) + " " + hex_word(bad));

    auto ans = xcheck(req);
    for (size_t i = 0; i < hs.size(); i++) {
        SCOPED_TRACE(rows[i].len);
        const auto &a1 = ans[3 * i], &a2 = ans[3 * i + 1], &a3 = ans[3 * i + 2];
        ASSERT_EQ(a1.size(), 2u);
        EXPECT_EQ(a1[1], hex_word(seal(key, hs[i], bodies[i])));

        ASSERT_EQ(a2.size(), 2u);
        bytes theirs = unhex(a2[1]), out(rows[i].len);
        quorvane_env_header back;
        size_t n = 0;
        ASSERT_EQ(quorvane_env_open(key.data(), theirs.data(), theirs.size(), &back, out.data(), out.size(), &n), 0);
        EXPECT_EQ(out, bodies[i]);
        EXPECT_EQ(back.counter, rows[i].counter);
        EXPECT_EQ(back.time, rows[i].time);
        EXPECT_EQ(memcmp(back.conversation_id, hs[i].conversation_id, 16), 0);

        ASSERT_EQ(a3.size(), 7u);
        EXPECT_EQ(a3[1], hex_word(hs[i].conversation_id, 16));
        EXPECT_EQ(a3[2], hex_word(hs[i].sender_id, 16));
        EXPECT_EQ(a3[3], std::to_string(rows[i].counter));
        EXPECT_EQ(a3[4], std::to_string(rows[i].time));
        EXPECT_EQ(a3[5], hex_word(ours[i].data() + 48, 16));
        EXPECT_EQ(a3[6], hex_word(bodies[i]));
    }
    EXPECT_EQ(ans.back(), (std::vector<std::string>{"FAIL", "AUTH"}));
}

}  // namespace
