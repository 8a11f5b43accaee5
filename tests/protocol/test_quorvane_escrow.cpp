// Escrow records and account recovery: the table of header ranges (parse and seal
// agree), tampering with every region of a record, opening under another key, name
// or identity, names of 0, 32 and 33 bytes, and records, recovery signatures and
// check bytes cross-checked in both directions against tests/scripts/keys_xcheck.py.
// Password records made by quorvane_escrow_seal_pw run the real scrypt cost; the
// other password cases take the smallest cost a record may carry.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "qv_test_support.h"
#include "quorvane_crypto.h"
#include "quorvane_escrow.h"
#include "quorvane_keyfile.h"

namespace {

using qvtest::hex_word;
using qvtest::put_be32;
using qvtest::unhex_array;

using Bytes = std::vector<uint8_t>;
using Key = std::array<uint8_t, 32>;
using Rec = std::array<uint8_t, QV_ESCROW_LEN>;

Key fill(uint8_t start) {
    Key k;
    for (size_t i = 0; i < k.size(); i++) k[i] = static_cast<uint8_t>(start + 7 * i);
    return k;
}

struct Identity {
    Key seed, pub;
    Identity() { EXPECT_EQ(quorvane_ed25519_keypair(seed.data(), pub.data()), 0); }
};

// A record header written out by hand from the layout, with a body of 0x33.
Rec record(uint8_t kind, uint32_t N, uint32_t r, uint32_t p) {
    Rec rec;
    rec.fill(0x33);
    memcpy(rec.data(), "QVE1\x01", 5);
    rec[5] = kind;
    put_be32(rec.data() + 6, N);
    put_be32(rec.data() + 10, r);
    put_be32(rec.data() + 14, p);
    for (size_t i = 0; i < 16; i++) rec[18 + i] = static_cast<uint8_t>(0xC0 + i);
    return rec;
}

std::vector<std::vector<std::string>> xcheck(const std::vector<std::string> &requests) {
    return qvtest::xcheck_words("keys_xcheck.py", requests);
}

const std::vector<std::string> kFail = {"FAIL", "AUTH"};
std::vector<std::string> ok(const std::string &v) { return {"OK", v}; }

}  // namespace

// ---------------------------------------------------------------------------
// Header ranges: the parser and the sealer enforce the same table.

TEST(EscrowParse, ParameterRangeTable) {
    struct Case {
        const char *name;
        uint8_t kind;
        uint32_t N, r, p;
        bool valid;
    } cases[] = {
        {"N 16384", 1, 16384, 8, 1, true},
        {"N 32768, as sealed here", 1, 32768, 8, 1, true},
        {"N 1048576", 1, 1048576, 1, 1, true},
        {"N 1048576 r 2 (exactly 256 MiB)", 1, 1048576, 2, 1, true},
        {"N 1048576 r 3", 1, 1048576, 3, 1, false},
        {"N 16384 r 16 p 4", 1, 16384, 16, 4, true},
        {"N 131072 r 16 (exactly 256 MiB)", 1, 131072, 16, 1, true},
        {"N 262144 r 16", 1, 262144, 16, 1, false},
        {"N 8192", 1, 8192, 8, 1, false},
        {"N 2097152", 1, 2097152, 1, 1, false},
        {"N 24576 (not a power of two)", 1, 24576, 8, 1, false},
        {"N 0", 1, 0, 8, 1, false},
        {"N 2^31", 1, 0x80000000u, 1, 1, false},
        {"r 0", 1, 32768, 0, 1, false},
        {"r 17", 1, 32768, 17, 1, false},
        {"p 0", 1, 32768, 8, 0, false},
        {"p 5", 1, 32768, 8, 5, false},
        {"kind 2 all zero", 2, 0, 0, 0, true},
        {"kind 2 with N", 2, 16384, 0, 0, false},
        {"kind 2 with r", 2, 0, 1, 0, false},
        {"kind 2 with p", 2, 0, 0, 1, false},
        {"kind 0", 0, 0, 0, 0, false},
        {"kind 3", 3, 0, 0, 0, false},
        {"kind 3 with a password cost", 3, 32768, 8, 1, false},
    };
    const Identity id;
    const Key wrap = fill(9);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const Rec rec = record(c.kind, c.N, c.r, c.p);
        quorvane_escrow_params got{};
        ASSERT_EQ(quorvane_escrow_parse(rec.data(), rec.size(), &got), c.valid ? 0 : -3);
        EXPECT_EQ(quorvane_escrow_parse(rec.data(), rec.size(), nullptr), c.valid ? 0 : -3);
        if (c.valid) {
            EXPECT_EQ(got.kind, c.kind);
            EXPECT_EQ(got.scrypt.N, c.N);
            EXPECT_EQ(got.scrypt.r, c.r);
            EXPECT_EQ(got.scrypt.p, c.p);
            EXPECT_EQ(0, memcmp(got.salt, rec.data() + 18, 16));
        }
        // the sealer builds exactly this header, or refuses it
        quorvane_escrow_params prm{c.kind, {c.N, c.r, c.p}, {}};
        memcpy(prm.salt, rec.data() + 18, 16);
        Rec out;
        out.fill(0xEE);
        ASSERT_EQ(quorvane_escrow_seal_raw(&prm, wrap.data(), "alice", id.pub.data(), id.seed.data(), out.data()),
                  c.valid ? 0 : -3);
        if (c.valid) {
            EXPECT_EQ(0, memcmp(out.data(), rec.data(), QV_ESCROW_HDR_LEN));
        } else {
            EXPECT_EQ(out, [] { Rec r; r.fill(0xEE); return r; }()) << "a refused seal writes nothing";
        }
    }
}

TEST(EscrowParse, LengthMagicAndVersion) {
    const Rec good = record(2, 0, 0, 0);
    Bytes longer(good.begin(), good.end());
    longer.push_back(0);
    EXPECT_EQ(quorvane_escrow_parse(good.data(), 81, nullptr), -3);
    EXPECT_EQ(quorvane_escrow_parse(longer.data(), 83, nullptr), -3);
    EXPECT_EQ(quorvane_escrow_parse(good.data(), 0, nullptr), -3);
    EXPECT_EQ(quorvane_escrow_parse(nullptr, 82, nullptr), -3);
    for (size_t off : {0, 1, 2, 3, 4}) {
        SCOPED_TRACE(off);
        Rec bad = good;
        bad[off] ^= 0x01;
        EXPECT_EQ(quorvane_escrow_parse(bad.data(), bad.size(), nullptr), -3);
    }
    EXPECT_EQ(quorvane_escrow_parse(good.data(), good.size(), nullptr), 0);
}

// ---------------------------------------------------------------------------
// Recovery-key records (no scrypt: every case is cheap)

TEST(EscrowRecoveryKey, OpensOnlyWithTheSameKeyNameAndIdentity) {
    const Identity id, other;
    const Key rk = fill(1), wrong_rk = fill(2);
    Rec rec;
    ASSERT_EQ(quorvane_escrow_seal_rk(rk.data(), "alice", id.seed.data(), rec.data()), 0);
    quorvane_escrow_params prm;
    ASSERT_EQ(quorvane_escrow_parse(rec.data(), rec.size(), &prm), 0);
    EXPECT_EQ(prm.kind, QV_ESCROW_KIND_RK);

    Key seed{};
    ASSERT_EQ(quorvane_escrow_open_rk(rk.data(), "alice", id.pub.data(), rec.data(), rec.size(), seed.data()), 0);
    EXPECT_EQ(seed, id.seed);

    struct Case {
        const char *name;
        const Key &rk;
        const char *user;
        const Key &pub;
    } cases[] = {
        {"another recovery key", wrong_rk, "alice", id.pub},
        {"another user name", rk, "Alice", id.pub},
        {"a longer user name", rk, "alice2", id.pub},
        {"another identity", rk, "alice", other.pub},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Key out;
        out.fill(0xAA);
        EXPECT_EQ(quorvane_escrow_open_rk(c.rk.data(), c.user, c.pub.data(), rec.data(), rec.size(), out.data()), -2);
        EXPECT_EQ(out, [] { Key k; k.fill(0xAA); return k; }()) << "the seed is written only on success";
    }
    // a fresh salt per record
    Rec again;
    ASSERT_EQ(quorvane_escrow_seal_rk(rk.data(), "alice", id.seed.data(), again.data()), 0);
    EXPECT_NE(0, memcmp(rec.data() + 18, again.data() + 18, 16));
}

TEST(EscrowRecoveryKey, EveryRegionOfTheRecordIsBound) {
    const Identity id;
    const Key rk = fill(5);
    Rec rec;
    ASSERT_EQ(quorvane_escrow_seal_rk(rk.data(), "bob", id.seed.data(), rec.data()), 0);
    for (size_t off = 0; off < rec.size(); off++) {
        SCOPED_TRACE(off);
        Rec bad = rec;
        bad[off] ^= 0x10;
        Key out{};
        // magic, version, kind, N, r and p are refused as invalid; salt, ciphertext and tag at the tag
        const int want = off < 18 ? -3 : -2;
        EXPECT_EQ(quorvane_escrow_open_rk(rk.data(), "bob", id.pub.data(), bad.data(), bad.size(), out.data()), want);
    }
}

// The tag alone cannot tell that the sealed seed belongs to the identity named in
// the associated data; the open derives and compares.
TEST(EscrowRecoveryKey, SeedOfAnotherIdentityIsRefused) {
    const Identity id, other;
    quorvane_escrow_params prm{QV_ESCROW_KIND_RK, {0, 0, 0}, {}};
    memset(prm.salt, 0x42, sizeof prm.salt);
    const Key rk = fill(4);
    Key wrap;
    ASSERT_EQ(quorvane_escrow_wrap_rk(rk.data(), prm.salt, wrap.data()), 0);
    Rec rec;
    ASSERT_EQ(quorvane_escrow_seal_raw(&prm, wrap.data(), "carol", id.pub.data(), other.seed.data(), rec.data()), 0);
    Key out;
    out.fill(0xAA);
    EXPECT_EQ(quorvane_escrow_open_rk(rk.data(), "carol", id.pub.data(), rec.data(), rec.size(), out.data()), -2);
    EXPECT_EQ(out, [] { Key k; k.fill(0xAA); return k; }());
}

// ---------------------------------------------------------------------------
// Arguments shared by every function

TEST(EscrowArguments, UserNameLengthsAndNullPointers) {
    const Identity id;
    const Key rk = fill(6), chal = fill(7), spk = fill(8), auth = fill(9);
    const std::string n32(32, 'u'), n33(33, 'u');
    Rec rec, rec32;
    Key seed;
    std::array<uint8_t, 64> sig;
    ASSERT_EQ(quorvane_escrow_seal_rk(rk.data(), n32.c_str(), id.seed.data(), rec32.data()), 0);
    ASSERT_EQ(quorvane_escrow_open_rk(rk.data(), n32.c_str(), id.pub.data(), rec32.data(), 82, seed.data()), 0);
    ASSERT_EQ(quorvane_recover_sign(id.seed.data(), chal.data(), spk.data(), n32.c_str(), auth.data(), rec32.data(),
                                    sig.data()),
              0);
    EXPECT_EQ(quorvane_recover_verify(id.pub.data(), chal.data(), spk.data(), n32.c_str(), auth.data(), rec32.data(),
                                      sig.data()),
              0);

    quorvane_escrow_params prm{QV_ESCROW_KIND_RK, {0, 0, 0}, {}};
    for (const char *bad : {n33.c_str(), ""}) {
        SCOPED_TRACE(strlen(bad));
        EXPECT_EQ(quorvane_escrow_seal_rk(rk.data(), bad, id.seed.data(), rec.data()), -3);
        EXPECT_EQ(quorvane_escrow_seal_pw("pw", bad, id.seed.data(), rec.data()), -3);  // refused before scrypt
        EXPECT_EQ(quorvane_escrow_seal_raw(&prm, rk.data(), bad, id.pub.data(), id.seed.data(), rec.data()), -3);
        EXPECT_EQ(quorvane_escrow_open_rk(rk.data(), bad, id.pub.data(), rec32.data(), 82, seed.data()), -3);
        EXPECT_EQ(quorvane_escrow_open_pw("pw", bad, id.pub.data(), rec32.data(), 82, seed.data()), -3);
        EXPECT_EQ(quorvane_recover_sign(id.seed.data(), chal.data(), spk.data(), bad, auth.data(), rec32.data(),
                                        sig.data()),
                  -3);
        EXPECT_EQ(quorvane_recover_verify(id.pub.data(), chal.data(), spk.data(), bad, auth.data(), rec32.data(),
                                          sig.data()),
                  -3);
    }

    const uint8_t *k = rk.data(), *s = id.seed.data(), *p = id.pub.data(), *r = rec32.data();
    uint8_t *o = seed.data(), *ro = rec.data();
    EXPECT_EQ(quorvane_escrow_seal_rk(nullptr, "a", s, ro), -3);
    EXPECT_EQ(quorvane_escrow_seal_rk(k, nullptr, s, ro), -3);
    EXPECT_EQ(quorvane_escrow_seal_rk(k, "a", nullptr, ro), -3);
    EXPECT_EQ(quorvane_escrow_seal_rk(k, "a", s, nullptr), -3);
    EXPECT_EQ(quorvane_escrow_seal_pw(nullptr, "a", s, ro), -3);
    EXPECT_EQ(quorvane_escrow_seal_raw(nullptr, k, "a", p, s, ro), -3);
    EXPECT_EQ(quorvane_escrow_seal_raw(&prm, nullptr, "a", p, s, ro), -3);
    EXPECT_EQ(quorvane_escrow_seal_raw(&prm, k, "a", nullptr, s, ro), -3);
    EXPECT_EQ(quorvane_escrow_open_rk(nullptr, "a", p, r, 82, o), -3);
    EXPECT_EQ(quorvane_escrow_open_rk(k, "a", nullptr, r, 82, o), -3);
    EXPECT_EQ(quorvane_escrow_open_rk(k, "a", p, nullptr, 82, o), -3);
    EXPECT_EQ(quorvane_escrow_open_rk(k, "a", p, r, 82, nullptr), -3);
    EXPECT_EQ(quorvane_escrow_open_pw(nullptr, "a", p, r, 82, o), -3);
    EXPECT_EQ(quorvane_escrow_wrap_rk(nullptr, k, o), -3);
    EXPECT_EQ(quorvane_escrow_wrap_rk(k, nullptr, o), -3);
    EXPECT_EQ(quorvane_escrow_wrap_pw(nullptr, k, &QV_ESCROW_PW_SCRYPT, o), -3);
    EXPECT_EQ(quorvane_escrow_wrap_pw("pw", k, nullptr, o), -3);
    EXPECT_EQ(quorvane_recover_sign(nullptr, k, k, "a", k, r, sig.data()), -3);
    EXPECT_EQ(quorvane_recover_verify(p, k, k, "a", k, r, nullptr), -3);
    EXPECT_EQ(quorvane_rk_check(nullptr, o), -3);
    EXPECT_EQ(quorvane_rk_check(k, nullptr), -3);
    // a cost no record may carry is not derived either
    const quorvane_scrypt_params huge = {32768, 8, 1000000};
    EXPECT_EQ(quorvane_escrow_wrap_pw("pw", k, &huge, o), -3);
}

// ---------------------------------------------------------------------------
// Password records

TEST(EscrowPassword, KindMismatchIsRefusedBeforeAnyDerivation) {
    const Identity id;
    const Key rk = fill(11);
    Rec rk_rec;
    ASSERT_EQ(quorvane_escrow_seal_rk(rk.data(), "dave", id.seed.data(), rk_rec.data()), 0);
    Key out{};
    EXPECT_EQ(quorvane_escrow_open_pw("pw", "dave", id.pub.data(), rk_rec.data(), 82, out.data()), -3);
    // a password record (the cheapest cost a record may carry) under the other opener
    quorvane_escrow_params prm{QV_ESCROW_KIND_PW, {16384, 1, 1}, {}};
    Rec pw_rec;
    ASSERT_EQ(quorvane_escrow_seal_raw(&prm, rk.data(), "dave", id.pub.data(), id.seed.data(), pw_rec.data()), 0);
    EXPECT_EQ(quorvane_escrow_open_rk(rk.data(), "dave", id.pub.data(), pw_rec.data(), 82, out.data()), -3);
    EXPECT_EQ(out, Key{});
}

// Real cost: two derivations to seal and open, one for the wrong password.
TEST(EscrowPassword, SealedHereOpensWithThePasswordOnly) {
    const Identity id;
    Rec rec;
    ASSERT_EQ(quorvane_escrow_seal_pw("hunter2", "erin", id.seed.data(), rec.data()), 0);
    quorvane_escrow_params prm;
    ASSERT_EQ(quorvane_escrow_parse(rec.data(), rec.size(), &prm), 0);
    EXPECT_EQ(prm.kind, QV_ESCROW_KIND_PW);
    EXPECT_EQ(prm.scrypt.N, 32768u);
    EXPECT_EQ(prm.scrypt.r, 8u);
    EXPECT_EQ(prm.scrypt.p, 1u);
    Key seed{};
    ASSERT_EQ(quorvane_escrow_open_pw("hunter2", "erin", id.pub.data(), rec.data(), rec.size(), seed.data()), 0);
    EXPECT_EQ(seed, id.seed);
    Key out;
    out.fill(0xAA);
    EXPECT_EQ(quorvane_escrow_open_pw("hunter3", "erin", id.pub.data(), rec.data(), rec.size(), out.data()), -2);
    EXPECT_EQ(out, [] { Key k; k.fill(0xAA); return k; }());
}

// ---------------------------------------------------------------------------
// Cross-checks with the second implementation

TEST(EscrowXcheck, RecordsOpenAcrossImplementationsInBothDirections) {
    const Identity id;
    const Key rk = fill(21);
    const std::string pw = "pässwörd", user = "frank";
    std::array<uint8_t, 16> salt;
    salt.fill(0x5C);

    // ours: a real-cost password record, a cheapest-cost one, a recovery-key one
    Rec ours_pw, ours_pw_min, ours_rk;
    ASSERT_EQ(quorvane_escrow_seal_pw(pw.c_str(), user.c_str(), id.seed.data(), ours_pw.data()), 0);
    quorvane_escrow_params min_prm{QV_ESCROW_KIND_PW, {16384, 1, 2}, {}};
    memcpy(min_prm.salt, salt.data(), 16);
    Key wrap;
    ASSERT_EQ(quorvane_escrow_wrap_pw(pw.c_str(), salt.data(), &min_prm.scrypt, wrap.data()), 0);
    ASSERT_EQ(quorvane_escrow_seal_raw(&min_prm, wrap.data(), user.c_str(), id.pub.data(), id.seed.data(),
                                       ours_pw_min.data()),
              0);
    ASSERT_EQ(quorvane_escrow_seal_rk(rk.data(), user.c_str(), id.seed.data(), ours_rk.data()), 0);

    const std::string hp = hex_word(pw), hu = hex_word(user), hs = hex_word(id.seed), hpub = hex_word(id.pub);
    auto ans = xcheck({
        "escrow_open 1 " + hp + " " + hu + " " + hpub + " " + hex_word(ours_pw),
        "escrow_open 1 " + hp + " " + hu + " " + hpub + " " + hex_word(ours_pw_min),
        "escrow_open 2 " + hex_word(rk) + " " + hu + " " + hpub + " " + hex_word(ours_rk),
        "escrow_open 2 " + hex_word(fill(22)) + " " + hu + " " + hpub + " " + hex_word(ours_rk),
        "escrow_seal 1 " + hp + " " + hu + " " + hs + " 16384 2 1 " + hex_word(salt),
        "escrow_seal 2 " + hex_word(rk) + " " + hu + " " + hs + " 0 0 0 " + hex_word(salt),
    });
    EXPECT_EQ(ans[0], ok(hs));
    EXPECT_EQ(ans[1], ok(hs));
    EXPECT_EQ(ans[2], ok(hs));
    EXPECT_EQ(ans[3], kFail);
    // the same inputs give the same bytes: the only randomness is the salt
    ASSERT_EQ(ans[4].size(), 2u);
    ASSERT_EQ(ans[5].size(), 2u);
    const Rec theirs_pw = unhex_array<82>(ans[4][1]), theirs_rk = unhex_array<82>(ans[5][1]);
    Rec again;
    quorvane_escrow_params rk_prm{QV_ESCROW_KIND_RK, {0, 0, 0}, {}};
    memcpy(rk_prm.salt, salt.data(), 16);
    ASSERT_EQ(quorvane_escrow_wrap_rk(rk.data(), salt.data(), wrap.data()), 0);
    ASSERT_EQ(quorvane_escrow_seal_raw(&rk_prm, wrap.data(), user.c_str(), id.pub.data(), id.seed.data(), again.data()),
              0);
    EXPECT_EQ(again, theirs_rk);

    Key seed{};
    ASSERT_EQ(quorvane_escrow_open_pw(pw.c_str(), user.c_str(), id.pub.data(), theirs_pw.data(), 82, seed.data()), 0);
    EXPECT_EQ(seed, id.seed);
    seed = Key{};
    ASSERT_EQ(quorvane_escrow_open_rk(rk.data(), user.c_str(), id.pub.data(), theirs_rk.data(), 82, seed.data()), 0);
    EXPECT_EQ(seed, id.seed);
    EXPECT_EQ(quorvane_escrow_open_rk(rk.data(), "frank2", id.pub.data(), theirs_rk.data(), 82, seed.data()), -2);
}

TEST(EscrowXcheck, RecoverySignaturesAndCheckBytes) {
    const Identity id;
    const Key chal = fill(31), spk = fill(32), auth = fill(33);
    Rec rec;
    ASSERT_EQ(quorvane_escrow_seal_rk(fill(34).data(), "gina", id.seed.data(), rec.data()), 0);
    std::array<uint8_t, 64> sig;
    ASSERT_EQ(quorvane_recover_sign(id.seed.data(), chal.data(), spk.data(), "gina", auth.data(), rec.data(), sig.data()),
              0);
    const std::string args = hex_word(chal) + " " + hex_word(spk) + " " + hex_word(std::string("gina")) + " " + hex_word(auth) + " " + hex_word(rec);

    const Key rks[] = {Key{}, fill(0x80), [] { Key k; k.fill(0xFF); return k; }()};
    std::vector<std::string> requests = {
        "recover_sign " + hex_word(id.seed) + " " + args,
        "recover_verify " + hex_word(id.pub) + " " + args + " " + hex_word(sig),
        "recover_verify " + hex_word(id.pub) + " " + hex_word(chal) + " " + hex_word(spk) + " " +
            hex_word(std::string("gina")) + " " + hex_word(fill(35)) + " " + hex_word(rec) + " " + hex_word(sig),
    };
    for (const auto &k : rks) requests.push_back("rk_check " + hex_word(k));
    auto ans = xcheck(requests);
    // Ed25519 is deterministic: the same message gives the same signature
    EXPECT_EQ(ans[0], ok(hex_word(sig)));
    EXPECT_EQ(ans[1], std::vector<std::string>{"OK"});
    EXPECT_EQ(ans[2], kFail);
    for (size_t i = 0; i < std::size(rks); i++) {
        SCOPED_TRACE(i);
        std::array<uint8_t, 3> check;
        ASSERT_EQ(quorvane_rk_check(rks[i].data(), check.data()), 0);
        EXPECT_EQ(ans[3 + i], ok(hex_word(check)));
    }

    // every signed field counts
    EXPECT_EQ(quorvane_recover_verify(id.pub.data(), chal.data(), spk.data(), "gina", auth.data(), rec.data(), sig.data()),
              0);
    struct Case {
        const char *name;
        int field;
    } cases[] = {{"challenge", 0}, {"server key", 1}, {"auth value", 2}, {"record", 3}, {"signature", 4},
                 {"user name", 5}, {"identity", 6}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Key ch = chal, sk = spk, au = auth, pub = id.pub;
        Rec r = rec;
        std::array<uint8_t, 64> s = sig;
        const char *user = "gina";
        if (c.field == 0) ch[0] ^= 1;
        if (c.field == 1) sk[31] ^= 1;
        if (c.field == 2) au[5] ^= 1;
        if (c.field == 3) r[81] ^= 1;
        if (c.field == 4) s[10] ^= 1;
        if (c.field == 5) user = "ginA";
        if (c.field == 6) pub = Identity().pub;
        EXPECT_EQ(quorvane_recover_verify(pub.data(), ch.data(), sk.data(), user, au.data(), r.data(), s.data()), -2);
    }
}
