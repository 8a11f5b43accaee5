// Backups, recovery keys and reset codes: the header and inner record at their
// limits, a backup of the largest size sealed and opened here and by
// tests/scripts/keys_xcheck.py in both directions, cut, extended, reordered and
// damaged streams refused with nothing of the plaintext left in the output, and the
// two texts compared with Python's own base-32 encoder under the alphabet mapping.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "qv_test_support.h"
#include "quorvane_backup.h"
#include "quorvane_crypto.h"
#include "quorvane_escrow.h"

using qvtest::file_bytes;
using qvtest::hex_word;
using qvtest::holds_no_plaintext;
using qvtest::put_file;
using qvtest::read_file;
using qvtest::TempDir;
using qvtest::write_file;

namespace {

using Bytes = std::vector<uint8_t>;
using Key = std::array<uint8_t, 32>;
using Salt = std::array<uint8_t, 16>;

// Content without the bytes 0x00 and 0xAA, so that a wiped or untouched output
// can never be mistaken for plaintext; differs from every shifted copy of itself.
Bytes pattern(size_t n, unsigned seed = 7) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++) {
        uint8_t v = static_cast<uint8_t>((i * 131 + seed + (i >> 16) * 17) % 255 + 1);
        b[i] = v == 0xAA ? 0xAB : v;
    }
    return b;
}

template <size_t N> std::array<uint8_t, N> fill(uint8_t start, uint8_t step = 7) {
    std::array<uint8_t, N> a;
    for (size_t i = 0; i < N; i++) a[i] = static_cast<uint8_t>(start + step * i);
    return a;
}


std::string sha256_hex(const Bytes &b) {
    std::string out;
    TempDir d;
    put_file(d.file("x"), b);
    EXPECT_EQ(qvtest::run_command("sha256sum '" + d.file("x") + "'", &out), 0);
    return out.substr(0, 64);
}

std::vector<std::vector<std::string>> xcheck(const std::vector<std::string> &requests) {
    return qvtest::xcheck_words("keys_xcheck.py", requests);
}

quorvane_backup_info sample_info(uint32_t direct = 1) {
    quorvane_backup_info info;
    const auto uid = fill<16>(1), dev = fill<16>(3);
    const auto pub = fill<32>(2);
    memcpy(info.user_id, uid.data(), 16);
    memcpy(info.identity_pub, pub.data(), 32);
    memcpy(info.device_id, dev.data(), 16);
    info.created_ms = 1700000000123ull;
    info.direct = direct;
    return info;
}

}  // namespace

// ---------------------------------------------------------------------------
// Header and inner record

TEST(BackupHeader, EncodesAndParsesOnlyTheExactForm) {
    const Salt salt = fill<16>(0x40);
    std::array<uint8_t, 21> hdr;
    ASSERT_EQ(quorvane_backup_hdr_encode(salt.data(), hdr.data()), 0);
    EXPECT_EQ(hex_word(hdr), hex_word(std::string("QVB1")) + "01" + hex_word(salt));
    Salt got{};
    ASSERT_EQ(quorvane_backup_hdr_parse(hdr.data(), hdr.size(), got.data()), 0);
    EXPECT_EQ(got, salt);

    Bytes longer(hdr.begin(), hdr.end());
    longer.push_back(0);
    EXPECT_EQ(quorvane_backup_hdr_parse(hdr.data(), 20, got.data()), -1);
    EXPECT_EQ(quorvane_backup_hdr_parse(longer.data(), 22, got.data()), -1);
    for (size_t off : {0, 3, 4}) {
        SCOPED_TRACE(off);
        auto bad = hdr;
        bad[off] ^= 0x01;
        EXPECT_EQ(quorvane_backup_hdr_parse(bad.data(), bad.size(), got.data()), -1);
    }
    EXPECT_EQ(quorvane_backup_hdr_parse(nullptr, 21, got.data()), -1);
    EXPECT_EQ(quorvane_backup_hdr_parse(hdr.data(), 21, nullptr), -1);
    EXPECT_EQ(quorvane_backup_hdr_encode(nullptr, hdr.data()), -1);
    EXPECT_EQ(quorvane_backup_hdr_encode(salt.data(), nullptr), -1);
}

TEST(BackupInner, RoundTripAndRefusedRecords) {
    const quorvane_backup_info info = sample_info(1);
    const Bytes payload = pattern(1000);
    Bytes rec(payload.size() + 89);
    size_t len = 0;
    ASSERT_EQ(quorvane_backup_inner_encode(&info, payload.data(), payload.size(), rec.data(), rec.size(), &len), 0);
    ASSERT_EQ(len, 1089u);
    // the header, field by field from the layout
    EXPECT_EQ(hex_word(rec.data(), 89), hex_word(std::string("QVBI")) + "01" + hex_word(fill<16>(1)) +
                                            hex_word(fill<32>(2)) + hex_word(fill<16>(3)) + "0000018bcfe5687b" +
                                            "00000001" + "00000000000003e8");

    quorvane_backup_info got{};
    const uint8_t *pl = nullptr;
    size_t pl_len = 0;
    ASSERT_EQ(quorvane_backup_inner_parse(rec.data(), rec.size(), &got, &pl, &pl_len), 0);
    EXPECT_EQ(0, memcmp(&got.user_id, info.user_id, 16));
    EXPECT_EQ(0, memcmp(&got.identity_pub, info.identity_pub, 32));
    EXPECT_EQ(0, memcmp(&got.device_id, info.device_id, 16));
    EXPECT_EQ(got.created_ms, info.created_ms);
    EXPECT_EQ(got.direct, 1u);
    EXPECT_EQ(pl, rec.data() + 89);
    EXPECT_EQ(Bytes(pl, pl + pl_len), payload);

    // an empty payload
    Bytes empty(89);
    ASSERT_EQ(quorvane_backup_inner_encode(&info, nullptr, 0, empty.data(), empty.size(), &len), 0);
    ASSERT_EQ(quorvane_backup_inner_parse(empty.data(), empty.size(), &got, &pl, &pl_len), 0);
    EXPECT_EQ(pl_len, 0u);

    struct Case {
        const char *name;
        size_t off;
        uint8_t value;  // written at off (SIZE_MAX: unchanged)
        long resize;
    } cases[] = {
        {"direct flag 2", 80, 2, 0},
        {"direct flag high byte", 77, 1, 0},
        {"one byte more than 89 + L", SIZE_MAX, 0, 1},
        {"one byte less than 89 + L", SIZE_MAX, 0, -1},
        {"shorter than the header", SIZE_MAX, 0, -1000 - 1},
        {"length high byte", 81, 0x80, 0},
        {"magic", 3, 'J', 0},
        {"version", 4, 2, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bad = rec;
        if (c.off != SIZE_MAX) bad[c.off] = c.value;
        bad.resize(static_cast<size_t>(static_cast<long>(bad.size()) + c.resize));
        EXPECT_EQ(quorvane_backup_inner_parse(bad.data(), bad.size(), &got, &pl, &pl_len), -1);
    }
    // the flag 0 is as good as 1
    Bytes zero = rec;
    zero[80] = 0;
    EXPECT_EQ(quorvane_backup_inner_parse(zero.data(), zero.size(), &got, &pl, &pl_len), 0);
    EXPECT_EQ(got.direct, 0u);

    // encoding limits
    EXPECT_EQ(quorvane_backup_inner_encode(&info, payload.data(), payload.size(), rec.data(), rec.size() - 1, &len), -1);
    EXPECT_EQ(quorvane_backup_inner_encode(&info, payload.data(), QV_BACKUP_PAYLOAD_MAX + 1, rec.data(), SIZE_MAX, &len),
              -1);
    EXPECT_EQ(quorvane_backup_inner_encode(nullptr, payload.data(), 10, rec.data(), rec.size(), &len), -1);
    EXPECT_EQ(quorvane_backup_inner_encode(&info, nullptr, 10, rec.data(), rec.size(), &len), -1);
    EXPECT_EQ(quorvane_backup_inner_encode(&info, payload.data(), 10, nullptr, rec.size(), &len), -1);
    EXPECT_EQ(quorvane_backup_inner_encode(&info, payload.data(), 10, rec.data(), rec.size(), nullptr), -1);
    EXPECT_EQ(quorvane_backup_inner_parse(rec.data(), rec.size(), nullptr, &pl, &pl_len), -1);
    EXPECT_EQ(quorvane_backup_inner_parse(rec.data(), rec.size(), &got, nullptr, &pl_len), -1);
    EXPECT_EQ(quorvane_backup_inner_parse(rec.data(), rec.size(), &got, &pl, nullptr), -1);
}

// ---------------------------------------------------------------------------
// Sealed backups

// The largest backup, its inner record built here and by the script: sealed here and
// opened there, sealed there and opened here.
TEST(BackupStream, LargestBackupCrossOpensInBothDirections) {
    TempDir dir;
    const Key rk = fill<32>(0x11);
    const Salt salt = fill<16>(0x22);
    const quorvane_backup_info info = sample_info(0);
    const Bytes payload = pattern(QV_BACKUP_PAYLOAD_MAX, 5);
    put_file(dir.file("payload"), payload);

    Bytes rec(QV_BACKUP_MAX);
    size_t rec_len = 0;
    ASSERT_EQ(quorvane_backup_inner_encode(&info, payload.data(), payload.size(), rec.data(), rec.size(), &rec_len), 0);
    ASSERT_EQ(rec_len, QV_BACKUP_MAX);
    const size_t sealed_max = QV_BACKUP_MAX + 16 * (QV_BACKUP_MAX / 65536);
    Bytes sealed(sealed_max + 1);
    size_t sealed_len = 0;
    ASSERT_EQ(quorvane_backup_seal(rk.data(), salt.data(), rec.data(), rec.size(), sealed.data(), sealed.size(),
                                   &sealed_len),
              0);
    ASSERT_EQ(sealed_len, sealed_max);
    sealed.resize(sealed_len);
    put_file(dir.file("ours.sealed"), sealed);

    // one byte more is refused before anything is sealed
    Bytes too_big(QV_BACKUP_MAX + 1, 1);
    size_t unused = 7;
    EXPECT_EQ(quorvane_backup_seal(rk.data(), salt.data(), too_big.data(), too_big.size(), sealed.data(),
                                   sealed.size() + 1000, &unused),
              -3);
    EXPECT_EQ(unused, 7u);
    too_big = Bytes();

    auto ans = xcheck({
        "inner_encode " + hex_word(fill<16>(1)) + " " + hex_word(fill<32>(2)) + " " + hex_word(fill<16>(3)) +
            " 1700000000123 0 " + dir.file("payload") + " " + dir.file("theirs.rec"),
        "backup_open " + hex_word(rk) + " " + hex_word(salt) + " " + dir.file("ours.sealed") + " " +
            dir.file("ours.opened"),
        "inner_parse " + dir.file("ours.opened"),
        "backup_seal " + hex_word(rk) + " " + hex_word(salt) + " " + dir.file("theirs.rec") + " " +
            dir.file("theirs.sealed"),
        "backup_open " + hex_word(fill<32>(0x12)) + " " + hex_word(salt) + " " + dir.file("ours.sealed") + " " +
            dir.file("wrong.opened"),
    });
    EXPECT_EQ(ans[0], (std::vector<std::string>{"OK", std::to_string(QV_BACKUP_MAX)}));
    EXPECT_EQ(ans[1], (std::vector<std::string>{"OK", std::to_string(QV_BACKUP_MAX)}));
    EXPECT_EQ(ans[2], (std::vector<std::string>{"OK", hex_word(fill<16>(1)), hex_word(fill<32>(2)),
                                                hex_word(fill<16>(3)), "1700000000123", "0", sha256_hex(payload)}));
    EXPECT_EQ(ans[3], (std::vector<std::string>{"OK", std::to_string(sealed_max)}));
    EXPECT_EQ(ans[4], (std::vector<std::string>{"FAIL", "AUTH"}));
    EXPECT_TRUE(file_bytes(dir.file("theirs.rec")) == rec) << "inner records differ";

    const Bytes theirs = file_bytes(dir.file("theirs.sealed"));
    Bytes out(QV_BACKUP_MAX);
    size_t out_len = 0;
    ASSERT_EQ(quorvane_backup_open(rk.data(), salt.data(), theirs.data(), theirs.size(), out.data(), out.size(), &out_len),
              0);
    ASSERT_EQ(out_len, QV_BACKUP_MAX);
    EXPECT_TRUE(out == rec);
    quorvane_backup_info got{};
    const uint8_t *pl = nullptr;
    size_t pl_len = 0;
    ASSERT_EQ(quorvane_backup_inner_parse(out.data(), out_len, &got, &pl, &pl_len), 0);
    EXPECT_EQ(pl_len, QV_BACKUP_PAYLOAD_MAX);
    EXPECT_EQ(got.created_ms, 1700000000123ull);
    // the capacity must hold the whole record
    EXPECT_EQ(quorvane_backup_open(rk.data(), salt.data(), theirs.data(), theirs.size(), out.data(), out.size() - 1,
                                   &out_len),
              -3);
    EXPECT_TRUE(holds_no_plaintext(Bytes(out.begin(), out.begin() + 65536 * 2)));
}

TEST(BackupStream, CutExtendedReorderedOrDamagedStreamsLeaveNoPlaintext) {
    const Key rk = fill<32>(0x31);
    const Salt salt = fill<16>(0x32);
    const size_t L = 2 * 65536 + 100;  // three chunks, the last one short
    const Bytes rec = pattern(L, 9);
    Bytes sealed(L + 3 * 16);
    size_t n = 0;
    ASSERT_EQ(quorvane_backup_seal(rk.data(), salt.data(), rec.data(), rec.size(), sealed.data(), sealed.size(), &n), 0);
    ASSERT_EQ(n, sealed.size());
    const size_t C = 65552;

    auto cut = [&](size_t len) { return Bytes(sealed.begin(), sealed.begin() + static_cast<long>(len)); };
    auto extended = [&](const Bytes &tail) {
        Bytes b = sealed;
        b.insert(b.end(), tail.begin(), tail.end());
        return b;
    };
    auto swapped = [&](size_t a, size_t b) {
        Bytes s = sealed;
        std::swap_ranges(s.begin() + static_cast<long>(a * C), s.begin() + static_cast<long>((a + 1) * C),
                         s.begin() + static_cast<long>(b * C));
        return s;
    };
    auto flipped = [&](size_t off) {
        Bytes b = sealed;
        b[off] ^= 0x01;
        return b;
    };
    struct Case {
        const char *name;
        Bytes stream;
        Key key;
        Salt salt;
        int rc;
    } cases[] = {
        {"last chunk dropped", cut(2 * C), rk, salt, -2},
        {"cut inside the last tag", cut(sealed.size() - 1), rk, salt, -2},
        {"cut to 15 bytes after a full chunk", cut(C + 15), rk, salt, -2},
        {"cut to one byte after two chunks", cut(2 * C + 1), rk, salt, -2},
        {"one byte appended", extended({0x00}), rk, salt, -2},
        {"a tag's worth appended", extended(Bytes(16, 0x5A)), rk, salt, -2},
        {"first chunk appended again", extended(Bytes(sealed.begin(), sealed.begin() + C)), rk, salt, -2},
        {"chunks 0 and 1 swapped", swapped(0, 1), rk, salt, -2},
        {"first ciphertext byte", flipped(0), rk, salt, -2},
        {"second chunk's tag", flipped(2 * C - 1), rk, salt, -2},
        {"last byte", flipped(sealed.size() - 1), rk, salt, -2},
        {"another recovery key", sealed, fill<32>(0x33), salt, -2},
        {"another salt", sealed, rk, fill<16>(0x34), -2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes out(L + 65536, 0xAA);
        size_t out_len = 12345;
        EXPECT_EQ(quorvane_backup_open(c.key.data(), c.salt.data(), c.stream.data(), c.stream.size(), out.data(),
                                       out.size(), &out_len),
                  c.rc);
        EXPECT_EQ(out_len, 12345u);
        EXPECT_TRUE(holds_no_plaintext(out));
    }
    Bytes out(L);
    size_t out_len = 0;
    ASSERT_EQ(quorvane_backup_open(rk.data(), salt.data(), sealed.data(), sealed.size(), out.data(), out.size(), &out_len),
              0);
    EXPECT_EQ(out_len, L);
    EXPECT_TRUE(out == rec);
    // too small a capacity for the last chunk: refused, the first two chunks wiped
    out.assign(L - 1, 0xAA);
    EXPECT_EQ(quorvane_backup_open(rk.data(), salt.data(), sealed.data(), sealed.size(), out.data(), out.size(), &out_len),
              -3);
    EXPECT_TRUE(holds_no_plaintext(out));
}

TEST(BackupStream, SmallestStreamsAndArguments) {
    const Key rk = fill<32>(0x41);
    const Salt salt = fill<16>(0x42);
    Bytes sealed(16);
    size_t n = 0;
    ASSERT_EQ(quorvane_backup_seal(rk.data(), salt.data(), nullptr, 0, sealed.data(), sealed.size(), &n), 0);
    EXPECT_EQ(n, 16u);
    uint8_t out[4] = {0xAA};
    size_t out_len = 99;
    ASSERT_EQ(quorvane_backup_open(rk.data(), salt.data(), sealed.data(), 16, out, 0, &out_len), 0);
    EXPECT_EQ(out_len, 0u);
    out_len = 99;
    EXPECT_EQ(quorvane_backup_open(rk.data(), salt.data(), sealed.data(), 15, out, sizeof out, &out_len), -3);
    EXPECT_EQ(quorvane_backup_open(rk.data(), salt.data(), sealed.data(), 0, out, sizeof out, &out_len), -3);
    EXPECT_EQ(quorvane_backup_open(nullptr, salt.data(), sealed.data(), 16, out, sizeof out, &out_len), -3);
    EXPECT_EQ(quorvane_backup_open(rk.data(), nullptr, sealed.data(), 16, out, sizeof out, &out_len), -3);
    EXPECT_EQ(quorvane_backup_open(rk.data(), salt.data(), nullptr, 16, out, sizeof out, &out_len), -3);
    EXPECT_EQ(quorvane_backup_open(rk.data(), salt.data(), sealed.data(), 16, nullptr, sizeof out, &out_len), -3);
    EXPECT_EQ(quorvane_backup_open(rk.data(), salt.data(), sealed.data(), 16, out, sizeof out, nullptr), -3);
    EXPECT_EQ(out_len, 99u);
    // the output must hold the sealed stream
    EXPECT_EQ(quorvane_backup_seal(rk.data(), salt.data(), out, 4, sealed.data(), 19, &n), -3);
    EXPECT_EQ(quorvane_backup_seal(nullptr, salt.data(), out, 4, sealed.data(), 100, &n), -3);
    EXPECT_EQ(quorvane_backup_seal(rk.data(), nullptr, out, 4, sealed.data(), 100, &n), -3);
    EXPECT_EQ(quorvane_backup_seal(rk.data(), salt.data(), nullptr, 4, sealed.data(), 100, &n), -3);
    EXPECT_EQ(quorvane_backup_seal(rk.data(), salt.data(), out, 4, nullptr, 100, &n), -3);
    EXPECT_EQ(quorvane_backup_seal(rk.data(), salt.data(), out, 4, sealed.data(), 100, nullptr), -3);
    Key fk;
    EXPECT_EQ(quorvane_backup_file_key(nullptr, salt.data(), fk.data()), -3);
    EXPECT_EQ(quorvane_backup_file_key(rk.data(), nullptr, fk.data()), -3);
    EXPECT_EQ(quorvane_backup_file_key(rk.data(), salt.data(), nullptr), -3);
}

// ---------------------------------------------------------------------------
// Recovery keys and reset codes

TEST(RecoveryKeyText, MatchesPythonBase32AndDecodesBack) {
    const Key keys[] = {Key{}, [] { Key k; k.fill(0xFF); return k; }(), fill<32>(0, 1), fill<32>(0x9D, 0x35)};
    std::vector<std::string> requests;
    for (const auto &k : keys) requests.push_back("rk_text " + hex_word(k));
    const auto codes = std::vector<std::array<uint8_t, 10>>{{}, fill<10>(0xF0, 0x11), fill<10>(1, 1)};
    for (const auto &c : codes) requests.push_back("reset_text " + hex_word(c));
    for (const auto &c : codes) requests.push_back("reset_hash " + hex_word(c));
    auto ans = xcheck(requests);

    for (size_t i = 0; i < std::size(keys); i++) {
        SCOPED_TRACE(hex_word(keys[i]));
        char text[70];
        memset(text, 'Z', sizeof text);
        ASSERT_EQ(quorvane_rk_encode(keys[i].data(), text), 0);
        ASSERT_EQ(strlen(text), 69u);
        EXPECT_EQ(ans[i], (std::vector<std::string>{"OK", text}));
        Key back{};
        ASSERT_EQ(quorvane_rk_decode(text, back.data()), 0);
        EXPECT_EQ(back, keys[i]);
    }
    for (size_t i = 0; i < codes.size(); i++) {
        SCOPED_TRACE(hex_word(codes[i]));
        char text[20];
        ASSERT_EQ(quorvane_reset_code_encode(codes[i].data(), text), 0);
        ASSERT_EQ(strlen(text), 19u);
        EXPECT_EQ(ans[std::size(keys) + i], (std::vector<std::string>{"OK", text}));
        std::array<uint8_t, 10> back{};
        ASSERT_EQ(quorvane_reset_code_decode(text, back.data()), 0);
        EXPECT_EQ(back, codes[i]);
        std::array<uint8_t, 32> h{};
        ASSERT_EQ(quorvane_reset_code_hash(codes[i].data(), h.data()), 0);
        EXPECT_EQ(ans[std::size(keys) + codes.size() + i], (std::vector<std::string>{"OK", hex_word(h)}));
    }
}

TEST(RecoveryKeyText, TypedVariantsDecodeToTheSameKey) {
    const Key key = fill<32>(0, 1);
    char text[70];
    ASSERT_EQ(quorvane_rk_encode(key.data(), text), 0);
    const std::string t = text;
    // the substitutions below must have something to substitute
    ASSERT_NE(t.find('0'), std::string::npos) << t;
    ASSERT_NE(t.find('1'), std::string::npos) << t;
    ASSERT_NE(t.find_first_of("ABCDEFGHJKMNPQRSTVWXYZ"), std::string::npos) << t;

    auto map = [&](auto f) {
        std::string s;
        for (char c : t) s += f(c);
        return s;
    };
    struct Case {
        const char *name;
        std::string text;
    } cases[] = {
        {"lower case", map([](char c) { return std::string(1, static_cast<char>(tolower(c))); })},
        {"spaces for dashes", map([](char c) { return std::string(1, c == '-' ? ' ' : c); })},
        {"no separators", map([](char c) { return c == '-' ? std::string() : std::string(1, c); })},
        {"tabs, line ends and doubled dashes",
         map([](char c) { return c == '-' ? std::string("-\t\r\n--") : std::string(1, c); })},
        {"O for 0", map([](char c) { return std::string(1, c == '0' ? 'O' : c); })},
        {"o for 0", map([](char c) { return std::string(1, c == '0' ? 'o' : c); })},
        {"I for 1", map([](char c) { return std::string(1, c == '1' ? 'I' : c); })},
        {"l for 1", map([](char c) { return std::string(1, c == '1' ? 'l' : c); })},
        {"L for 1", map([](char c) { return std::string(1, c == '1' ? 'L' : c); })},
        {"leading and trailing blanks", "  \n" + t + " \n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name + (": " + c.text));
        Key back{};
        ASSERT_EQ(quorvane_rk_decode(c.text.c_str(), back.data()), 0);
        EXPECT_EQ(back, key);
    }

    // the same reading rules for reset codes
    const auto code = fill<10>(0, 1);
    char ctext[20];
    ASSERT_EQ(quorvane_reset_code_encode(code.data(), ctext), 0);
    std::string lower;
    for (const char *p = ctext; *p; p++) lower += *p == '-' ? ' ' : static_cast<char>(tolower(*p));
    for (auto &ch : lower)
        if (ch == '0') ch = 'o';
    std::array<uint8_t, 10> back{};
    ASSERT_EQ(quorvane_reset_code_decode(lower.c_str(), back.data()), 0) << lower;
    EXPECT_EQ(back, code);
}

// One wrong symbol anywhere, in the key bits, across the boundary or in the check
// bits, is caught by the check (-2), not taken for a malformed text (-1).
TEST(RecoveryKeyText, OneCharacterTyposAreCaughtByTheCheck) {
    const Key key = fill<32>(0x9D, 0x35);
    char text[70];
    ASSERT_EQ(quorvane_rk_encode(key.data(), text), 0);
    const std::string t = text;
    auto pos = [](size_t symbol) { return symbol + symbol / 4; };  // skip the dashes
    auto value = [](char c) { return static_cast<int>(strchr(RK_ALPHA, c) - RK_ALPHA); };
    struct Case {
        size_t symbol;
        int delta;  // the typed symbol's value minus the right one's, modulo 32
    } cases[] = {{0, 1}, {0, 16}, {1, 31}, {13, 5}, {27, 2}, {31, 8}, {50, 1}, {51, 4}, {52, 1}, {54, 17}, {55, 1}, {55, 30}};
    for (const auto &c : cases) {
        std::string typo = t;
        const size_t at = pos(c.symbol);
        typo[at] = RK_ALPHA[(value(t[at]) + c.delta) % 32];
        SCOPED_TRACE(typo);
        Key out;
        out.fill(0xAA);
        EXPECT_EQ(quorvane_rk_decode(typo.c_str(), out.data()), -2);
        EXPECT_EQ(out, [] { Key k; k.fill(0xAA); return k; }()) << "the key is written only on success";
    }
    // two neighbours swapped
    std::string swapped = t;
    ASSERT_NE(swapped[pos(20)], swapped[pos(21)]);
    std::swap(swapped[pos(20)], swapped[pos(21)]);
    Key out{};
    EXPECT_EQ(quorvane_rk_decode(swapped.c_str(), out.data()), -2);
}

TEST(RecoveryKeyText, MalformedTextsAreRefused) {
    const Key key = fill<32>(3, 5);
    char text[70];
    ASSERT_EQ(quorvane_rk_encode(key.data(), text), 0);
    const std::string t = text;
    struct Case {
        const char *name;
        std::string text;
    } cases[] = {
        {"55 symbols", t.substr(0, t.size() - 1)},
        {"57 symbols", t + "0"},
        {"60 symbols", t + "-0000"},
        {"empty", ""},
        {"only separators", "- -\t-"},
        {"U", "U" + t.substr(1)},
        {"u", "u" + t.substr(1)},
        {"punctuation", t.substr(0, 10) + "." + t.substr(10)},
        {"underscore for a dash", t.substr(0, 4) + "_" + t.substr(5)},
        {"non-ASCII byte", t.substr(0, 68) + "\xc3\x98"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Key out;
        out.fill(0xAA);
        EXPECT_EQ(quorvane_rk_decode(c.text.c_str(), out.data()), -1);
        EXPECT_EQ(out, [] { Key k; k.fill(0xAA); return k; }());
    }
    Key out;
    EXPECT_EQ(quorvane_rk_decode(nullptr, out.data()), -1);
    EXPECT_EQ(quorvane_rk_decode(text, nullptr), -1);
    EXPECT_EQ(quorvane_rk_encode(nullptr, text), -1);
    EXPECT_EQ(quorvane_rk_encode(key.data(), nullptr), -1);

    const auto code = fill<10>(9, 9);
    char ctext[20];
    ASSERT_EQ(quorvane_reset_code_encode(code.data(), ctext), 0);
    const std::string c = ctext;
    for (const std::string &bad : {c.substr(0, 18), c + "0", std::string(), "U" + c.substr(1), c.substr(0, 5) + "U" + c.substr(6)}) {
        SCOPED_TRACE(bad);
        std::array<uint8_t, 10> out10;
        out10.fill(0xAA);
        EXPECT_EQ(quorvane_reset_code_decode(bad.c_str(), out10.data()), -1);
        EXPECT_EQ(out10[0], 0xAA);
    }
    std::array<uint8_t, 10> out10;
    EXPECT_EQ(quorvane_reset_code_decode(nullptr, out10.data()), -1);
    EXPECT_EQ(quorvane_reset_code_decode(ctext, nullptr), -1);
    EXPECT_EQ(quorvane_reset_code_encode(nullptr, ctext), -1);
    EXPECT_EQ(quorvane_reset_code_encode(code.data(), nullptr), -1);
    std::array<uint8_t, 32> h;
    EXPECT_EQ(quorvane_reset_code_hash(nullptr, h.data()), -3);
    EXPECT_EQ(quorvane_reset_code_hash(code.data(), nullptr), -3);
}

TEST(RecoveryKeyText, GeneratedKeysAndCodesRoundTrip) {
    Key a{}, b{};
    ASSERT_EQ(quorvane_rk_generate(a.data()), 0);
    ASSERT_EQ(quorvane_rk_generate(b.data()), 0);
    EXPECT_NE(a, b);
    char text[70];
    ASSERT_EQ(quorvane_rk_encode(a.data(), text), 0);
    Key back{};
    ASSERT_EQ(quorvane_rk_decode(text, back.data()), 0);
    EXPECT_EQ(back, a);
    std::array<uint8_t, 10> c{}, d{};
    ASSERT_EQ(quorvane_reset_code_generate(c.data()), 0);
    ASSERT_EQ(quorvane_reset_code_generate(d.data()), 0);
    EXPECT_NE(c, d);
    EXPECT_EQ(quorvane_rk_generate(nullptr), -3);
    EXPECT_EQ(quorvane_reset_code_generate(nullptr), -3);
}
