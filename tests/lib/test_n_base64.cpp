// Base64 and ASCII classes: the known answers and refusals as tables;
// encoding and decoding of random and adversarial inputs cross-checked with
// Python's base64 and with coreutils base64 over a file; every byte value's
// class cross-checked with Python's bytes methods.
#include "n_base64.h"

#include "n_log.h"
#include "qv_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

using qvtest::LogCapture;
using qvtest::NstrPtr;
using qvtest::TempDir;

namespace {


NstrPtr nstr(const std::string &s) {
    N_STR *p = nullptr;
    EXPECT_EQ(char_to_nstr_ex(s.data(), s.size(), &p), 1);
    return NstrPtr{p};
}

std::string text(const NstrPtr &s) {
    EXPECT_TRUE(s && s->data);
    if (!s || !s->data) return "<null>";
    EXPECT_LT(s->written, s->length);
    EXPECT_EQ(s->data[s->written], '\0') << "terminated after its content";
    return std::string(s->data, s->written);
}

std::string encoded(const std::string &in) { return text(NstrPtr{n_base64_encode(nstr(in).get())}); }
std::string decoded(const std::string &in) { return text(NstrPtr{n_base64_decode(nstr(in).get())}); }

}  // namespace

TEST(NBase64, KnownAnswers) {
    struct Case {
        std::string plain, coded;
    };
    // RFC 4648 section 10, and three bytes of 0xFF.
    const Case cases[] = {{"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},
                          {"foo", "Zm9v"},    {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                          {"foobar", "Zm9vYmFy"}, {"\xff\xff\xff", "////"}, {std::string("\0\0", 2), "AAA="}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.coded);
        EXPECT_EQ(encoded(c.plain), c.coded);
        EXPECT_EQ(decoded(c.coded), c.plain);
        EXPECT_EQ(n_base64_encode_len(nstr(c.plain).get()), c.coded.size() + 1);
    }
    EXPECT_EQ(n_base64_encode_len(nstr("abcd").get()), 9u);
}

TEST(NBase64, DecodingStopsAtTheFirstOtherByte) {
    struct Case {
        std::string coded, plain;
        size_t len;  // n_base64_decode_len
    };
    const Case cases[] = {
        {"YWI=", "ab", 3},    {"YWI", "ab", 3},         {"Y", "", 3},      {"YWJj\nYWJj", "abc", 3},
        {"", "", 0},          {"=YWJj", "", 0},         {"YWJjZ", "abc", 6}, {"YWJ=Yw==", "ab", 3},
        {"YWJ-YWJj", "ab", 3}, {"YWJ\xc3YWJj", "ab", 3}, {"YWJ", "ab", 3},
        {"YR==", "a", 3},     // spare bits set: accepted, not examined
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.coded);
        EXPECT_EQ(decoded(c.coded), c.plain);
        EXPECT_EQ(n_base64_decode_len(nstr(c.coded).get()), c.len);
    }
}

TEST(NBase64, Refusals) {
    LogCapture cap;
    EXPECT_EQ(n_base64_encode_len(nullptr), 0u);
    EXPECT_EQ(n_base64_decode_len(nullptr), 0u);
    EXPECT_EQ(n_base64_encode(nullptr), nullptr);
    EXPECT_EQ(n_base64_decode(nullptr), nullptr);
    for (const char *expr : {"string", "input", "bufcoded"})
        EXPECT_TRUE(cap.contains(std::string("if( !(") + expr + ") ) assert")) << expr;

    // A string without a buffer is refused; one without a terminator at
    // `written` is refused instead of being read past its content.
    NstrPtr bare{new_nstr(0)};
    EXPECT_EQ(n_base64_decode(bare.get()), nullptr);
    EXPECT_EQ(n_base64_decode_len(bare.get()), 0u);
    NstrPtr unterminated = nstr("YWJjYWJj");
    unterminated->written = 4;
    cap.clear();
    EXPECT_EQ(n_base64_decode(unterminated.get()), nullptr);
    EXPECT_TRUE(cap.contains("could not detect end of bufcoded string for N_STR"));
    EXPECT_EQ(n_base64_decode_len(unterminated.get()), 0u);
    EXPECT_TRUE(cap.contains("could not detect end of encoded string for N_STR"));
    // Alphabet characters up to `length`: no room for a terminator at all.
    NstrPtr full = nstr("YWJj");
    full->data[4] = 'Y';
    full->written = full->length;
    EXPECT_EQ(n_base64_decode(full.get()), nullptr);

    // An empty string from new_nstr(0) encodes to an empty text.
    NstrPtr e{n_base64_encode(bare.get())};
    EXPECT_EQ(text(e), "");

    // Allocation failures.
    NstrPtr in = nstr("abc");
    n_alloc_fail_after(0);
    EXPECT_EQ(n_base64_encode(in.get()), nullptr);
    n_alloc_fail_after(0);
    EXPECT_EQ(n_base64_decode(in.get()), nullptr);
    n_alloc_fail_after(-1);
}

TEST(NBase64Xcheck, RandomAndAdversarialAgainstPython) {
    std::mt19937_64 rng(4648);
    std::vector<std::string> plains, texts, req;
    for (size_t i = 0; i < 3000; i++) {
        std::string p(rng() % 70, '\0');
        for (char &c : p) c = (char)(rng() & 0xFF);
        plains.push_back(p);
        req.push_back("enc " + qvtest::hex_word(p));
    }
    // Texts a hostile sender could write: alphabet runs of every length
    // broken by padding, white space, bytes from outside the alphabet and
    // from the high half, sometimes with spare bits set.
    const std::string pieces = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::string others = "=\n\r \t-_.:\x80\xff\x01";
    for (size_t i = 0; i < 3000; i++) {
        std::string t;
        const size_t n = rng() % 40;
        for (size_t k = 0; k < n; k++)
            t += rng() % 16 ? pieces[rng() % pieces.size()] : others[rng() % others.size()];
        texts.push_back(t);
        req.push_back("dec " + qvtest::hex_word(t));
    }
    const auto ans = qvtest::xcheck_ok("base64_xcheck.py", req);
    for (size_t i = 0; i < plains.size(); i++) {
        SCOPED_TRACE(req[i]);
        ASSERT_EQ(ans[i].size(), 1u);
        const std::string want = ans[i][0] == "-" ? "" : ans[i][0];
        EXPECT_EQ(encoded(plains[i]), want);
        EXPECT_EQ(decoded(want), plains[i]);
    }
    for (size_t i = 0; i < texts.size(); i++) {
        const size_t j = plains.size() + i;
        SCOPED_TRACE(req[j]);
        ASSERT_EQ(ans[j].size(), 1u);
        EXPECT_EQ(qvtest::hex_word(decoded(texts[i])), ans[j][0]);
    }
}

TEST(NBase64Xcheck, FileAgainstCoreutils) {
    if (!qvtest::have_program("base64")) GTEST_SKIP() << "coreutils base64 is not installed";
    TempDir dir;
    for (size_t size : {0u, 1u, 2u, 3u, 1000003u}) {
        SCOPED_TRACE(size);
        const std::vector<uint8_t> plain = qvtest::random_bytes(size);
        const std::string raw(plain.begin(), plain.end());
        qvtest::put_file(dir.file("plain"), plain);
        std::string theirs;
        ASSERT_EQ(qvtest::run_command("base64 -w0 " + dir.file("plain"), &theirs), 0);
        const std::string ours = encoded(raw);
        EXPECT_EQ(ours, theirs);
        qvtest::write_file(dir.file("coded"), ours);
        ASSERT_EQ(qvtest::run_command("base64 -d " + dir.file("coded") + " > " + dir.file("back")), 0);
        EXPECT_EQ(qvtest::read_file(dir.file("back")), raw) << "coreutils reads what we wrote";
        EXPECT_EQ(decoded(theirs), raw) << "we read what coreutils wrote";
    }
}

TEST(NCharClass, EveryByteAgainstPython) {
    std::vector<std::string> req;
    std::vector<int> args;
    for (int c = 0; c < 256; c++) args.push_back(c);
    // Only the low byte counts, and the case functions keep the high bits.
    for (int c : {0x141, 0x161, -191, 0x1E9, 0x7FFFFF5F}) args.push_back(c);
    for (int c : args) req.push_back("cls " + std::to_string(c));
    const auto ans = qvtest::xcheck_ok("base64_xcheck.py", req);
    for (size_t i = 0; i < args.size(); i++) {
        const int c = args[i];
        SCOPED_TRACE(c);
        ASSERT_EQ(ans[i].size(), 5u);
        EXPECT_EQ(n_isupper(c), std::stoi(ans[i][0]));
        EXPECT_EQ(n_islower(c), std::stoi(ans[i][1]));
        EXPECT_EQ(n_isalpha(c), std::stoi(ans[i][2]));
        EXPECT_EQ(n_toupper(c), c - (c & 0xFF) + std::stoi(ans[i][3]));
        EXPECT_EQ(n_tolower(c), c - (c & 0xFF) + std::stoi(ans[i][4]));
    }
    EXPECT_EQ(n_toupper('a'), 'A');
    EXPECT_EQ(n_toupper('A'), 'A');
    EXPECT_EQ(n_toupper(0xE9), 0xE9);
    EXPECT_EQ(n_isalpha('_'), 0);
}
