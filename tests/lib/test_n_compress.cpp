// Compressed strings (zlib and LZ4 behind a 4-byte big-endian size header):
// what we make opens in Python (zlib, and lz4.block from python3-lz4), what
// Python makes opens here, truncated and corrupted strings get the same
// verdict from both, sizes above the limit are refused before any
// allocation, and every refusal and allocation failure ends cleanly.
#include "n_lz4.h"
#include "n_zlib.h"

#include "n_log.h"
#include "n_str.h"
#include "qv_test_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

using qvtest::AllocFailGuard;
using qvtest::LogCapture;
using qvtest::NstrPtr;
using qvtest::TempDir;

namespace {

NstrPtr nstr(const std::string &bytes) {
    N_STR *s = nullptr;
    EXPECT_EQ(char_to_nstr_ex(bytes.data(), bytes.size(), &s), 1);
    return NstrPtr{s};
}

std::string content(const N_STR *s) { return s ? std::string(s->data, s->written) : std::string(); }

// The two algorithms behind one shape, so every case runs for both.
struct Algo {
    const char *name;  // also the cross-check script's prefix
    N_STR *(*zip)(N_STR *);
    N_STR *(*unzip)(N_STR *);
};
const Algo kAlgos[] = {{"zlib", zip_nstr, unzip_nstr}, {"lz4", zip4_nstr, unzip4_nstr}};

std::string random_string(size_t n, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::string s(n, '\0');
    for (auto &c : s) c = static_cast<char>(rng());
    return s;
}

std::string text_string(size_t n, uint64_t seed) {
    static const char *const words[] = {"conversation ", "message ", "key ", "ratchet ", "the ", "a ", "\n", "device "};
    std::mt19937_64 rng(seed);
    std::string s;
    while (s.size() < n) s += words[rng() % 8];
    s.resize(n);
    return s;
}

struct Input {
    std::string name;
    std::string bytes;
};

// Incompressible inputs around deflate's 16 KiB blocks, where its output is
// closest to the room the compressor allocates.
const std::vector<Input> &inputs() {
    static const std::vector<Input> v = [] {
        std::vector<Input> in{
            {"one_byte", "x"},
            {"text_300", text_string(300, 1)},
            {"zeros_inside", std::string("abc\0def\0\0", 9) + std::string(50, '\0') + "end"},
            {"zeros_100k", std::string(100000, '\0')},
            {"text_200k", text_string(200000, 2)},
            {"random_16383", random_string(16383, 3)},
            {"random_16384", random_string(16384, 4)},
            {"random_16385", random_string(16385, 5)},
            {"random_65536", random_string(65536, 6)},
            {"random_1m", random_string(1 << 20, 7)},
        };
        std::string all;
        for (int i = 0; i < 256 * 40; i++) all += static_cast<char>(i);
        in.push_back({"all_bytes", all});
        return in;
    }();
    return v;
}

}  // namespace

/* ---------------------------------------------------------------- Cross-checks with Python */

TEST(NCompressXcheck, OursOpenInPython) {
    TempDir dir;
    std::vector<std::string> requests;
    std::vector<const Input *> expected;
    for (const auto &a : kAlgos) {
        for (const auto &in : inputs()) {
            SCOPED_TRACE(std::string(a.name) + " " + in.name);
            NstrPtr src = nstr(in.bytes);
            NstrPtr zipped{a.zip(src.get())};
            ASSERT_TRUE(zipped);
            EXPECT_EQ(content(src.get()), in.bytes) << "the source is never changed";
            EXPECT_EQ(n_zip_header_get(zipped->data), in.bytes.size());
            const std::string path = dir.file(std::string(a.name) + "_" + in.name);
            qvtest::write_file(path, content(zipped.get()));
            requests.push_back(std::string(a.name) + "_open " + path + " " + path + ".out");
            expected.push_back(&in);
        }
    }
    const auto answers = qvtest::xcheck_words("compress_xcheck.py", requests);
    for (size_t i = 0; i < requests.size(); i++) {
        SCOPED_TRACE(requests[i]);
        const std::string size = std::to_string(expected[i]->bytes.size());
        ASSERT_EQ(answers[i], (std::vector<std::string>{"OK", size, size}));
        const std::string out = requests[i].substr(requests[i].rfind(' ') + 1);
        EXPECT_TRUE(qvtest::read_file(out) == expected[i]->bytes);
    }
}

TEST(NCompressXcheck, TheirsOpenHere) {
    TempDir dir;
    struct Made {
        const Algo *algo;
        const Input *input;
        std::string path;
    };
    std::vector<std::string> requests;
    std::vector<Made> made;
    for (const auto &in : inputs()) {
        const std::string raw = dir.file(in.name);
        qvtest::write_file(raw, in.bytes);
        for (const char *level : {"0", "1", "6", "9"}) {
            made.push_back({&kAlgos[0], &in, raw + ".zlib" + level});
            requests.push_back("zlib_make " + raw + " " + made.back().path + " " + level);
        }
        for (const char *mode : {"default", "fast", "high_compression"}) {
            made.push_back({&kAlgos[1], &in, raw + ".lz4" + mode});
            requests.push_back("lz4_make " + raw + " " + made.back().path + " " + mode);
        }
    }
    const auto answers = qvtest::xcheck_words("compress_xcheck.py", requests);
    for (size_t i = 0; i < made.size(); i++) {
        SCOPED_TRACE(requests[i]);
        ASSERT_EQ(answers[i], (std::vector<std::string>{"OK"}));
        NstrPtr theirs = nstr(qvtest::read_file(made[i].path));
        NstrPtr opened{made[i].algo->unzip(theirs.get())};
        ASSERT_TRUE(opened);
        EXPECT_TRUE(content(opened.get()) == made[i].input->bytes);
        EXPECT_EQ(opened->data[opened->written], '\0') << "text comes back terminated";
    }
}

// Every cut of a short string and a spread of byte flips: both sides refuse,
// or both yield the same bytes (an LZ4 block has no checksum, so a flipped
// literal decodes). zlib's Adler-32 catches what deflate does not.
TEST(NCompressXcheck, TruncatedAndCorruptStringsGetPythonsVerdict) {
    TempDir dir;
    std::mt19937_64 rng(99);
    struct Case {
        const Algo *algo;
        std::string bytes;
        std::string path;
    };
    std::vector<Case> cases;
    for (const auto &a : kAlgos) {
        for (const std::string &plain : {text_string(700, 8), random_string(300, 9)}) {
            NstrPtr src = nstr(plain);
            NstrPtr zipped{a.zip(src.get())};
            ASSERT_TRUE(zipped);
            const std::string whole = content(zipped.get());
            for (size_t cut = 0; cut < whole.size(); cut++) cases.push_back({&a, whole.substr(0, cut), ""});
            for (int i = 0; i < 300; i++) {
                std::string bad = whole;
                const size_t at = N_ZIP_HEADER_LEN + rng() % (bad.size() - N_ZIP_HEADER_LEN);
                bad[at] = static_cast<char>(bad[at] ^ (1u << (rng() % 8)));
                if (i % 3 == 0) bad[rng() % bad.size()] = static_cast<char>(rng());
                cases.push_back({&a, bad, ""});
            }
        }
    }
    std::vector<std::string> requests;
    for (size_t i = 0; i < cases.size(); i++) {
        cases[i].path = dir.file("case" + std::to_string(i));
        qvtest::write_file(cases[i].path, cases[i].bytes);
        requests.push_back(std::string(cases[i].algo->name) + "_open " + cases[i].path + " " + cases[i].path + ".out");
    }
    const auto answers = qvtest::xcheck_words("compress_xcheck.py", requests);
    size_t refused = 0;
    for (size_t i = 0; i < cases.size(); i++) {
        SCOPED_TRACE(requests[i]);
        NstrPtr in{cases[i].bytes.empty() ? new_nstr(0) : nstr(cases[i].bytes).release()};  // empty: no buffer at all
        NstrPtr ours{cases[i].algo->unzip(in.get())};
        ASSERT_FALSE(answers[i].empty());
        if (answers[i][0] == "OK") {
            ASSERT_TRUE(ours) << "Python opened it";
            EXPECT_TRUE(content(ours.get()) == qvtest::read_file(cases[i].path + ".out"));
        } else {
            EXPECT_FALSE(ours) << "Python refused it: " << answers[i][1];
            refused++;
        }
    }
    EXPECT_GT(refused, cases.size() / 2);
}

/* ---------------------------------------------------------------- Formats and limits */

TEST(NCompressFormat, HeaderIsTheWrittenCountWhateverTheLength) {
    const std::string text = text_string(300, 10);
    for (const auto &a : kAlgos) {
        SCOPED_TRACE(a.name);
        NstrPtr src{new_nstr(1000)};
        memcpy(src->data, text.data(), text.size());
        src->written = text.size();
        NstrPtr zipped{a.zip(src.get())};
        ASSERT_TRUE(zipped);
        EXPECT_EQ(qvtest::hex(zipped->data, 4), "0000012c");
        NstrPtr back{a.unzip(zipped.get())};
        ASSERT_TRUE(back);
        EXPECT_EQ(back->written, 300u);
        EXPECT_EQ(content(back.get()), text);
    }
}

TEST(NCompressFormat, RefusedSources) {
    LogCapture log;
    for (const auto &a : kAlgos) {
        SCOPED_TRACE(a.name);
        log.clear();
        NstrPtr empty{new_nstr(10)};
        EXPECT_EQ(a.zip(empty.get()), nullptr);
        EXPECT_TRUE(log.contains("written of src == 0")) << log.text();
        EXPECT_EQ(a.zip(nullptr), nullptr);
        EXPECT_TRUE(log.contains("if( !(src) )")) << log.text();
        NstrPtr bufferless{new_nstr(0)};
        EXPECT_EQ(a.zip(bufferless.get()), nullptr);
        EXPECT_EQ(a.unzip(bufferless.get()), nullptr);
        EXPECT_TRUE(log.contains("if( !(src->data) )")) << log.text();
        EXPECT_EQ(a.unzip(nullptr), nullptr);
    }
    log.clear();
    NstrPtr three = nstr(std::string("\0\0\1", 3));
    EXPECT_EQ(unzip_nstr(three.get()), nullptr);
    EXPECT_TRUE(log.contains("compressed data too short")) << log.text();
    EXPECT_EQ(unzip4_nstr(three.get()), nullptr);
    EXPECT_TRUE(log.contains("compressed data too short (3 bytes)")) << log.text();
    NstrPtr zero_size = nstr(std::string("\0\0\0\0\x78\x9c", 6));
    EXPECT_EQ(unzip_nstr(zero_size.get()), nullptr);
    EXPECT_TRUE(log.contains("original_size == 0")) << log.text();
    EXPECT_EQ(unzip4_nstr(zero_size.get()), nullptr);
    EXPECT_TRUE(log.contains("lz4 frame declares original_size == 0")) << log.text();
}

// 268435456 passes the size test (and then fails on the stream); one more, or
// the largest header, is refused before anything is allocated: with the
// allocator set to fail, no allocation failure is logged.
TEST(NCompressFormat, DeclaredSizeLimitComesBeforeAnyAllocation) {
    AllocFailGuard guard;
    LogCapture log;
    for (const auto &a : kAlgos) {
        SCOPED_TRACE(a.name);
        for (const uint32_t declared : {0x10000001u, 0xFFFFFFFFu}) {
            std::string s(8, '\x11');
            qvtest::put_be32(reinterpret_cast<uint8_t *>(s.data()), declared);
            NstrPtr in = nstr(s);
            log.clear();
            n_alloc_fail_after(0);
            EXPECT_EQ(a.unzip(in.get()), nullptr);
            n_alloc_fail_after(-1);
            EXPECT_TRUE(log.contains(a.unzip == unzip_nstr ? "decompressed size too large: " + std::to_string(declared)
                                                           : "lz4 frame declares absurd original_size " +
                                                                 std::to_string(declared)))
                << log.text();
            EXPECT_FALSE(log.contains("calloc")) << log.text();
        }
        std::string s(8, '\x11');
        qvtest::put_be32(reinterpret_cast<uint8_t *>(s.data()), 0x10000000u);
        NstrPtr in = nstr(s);
        log.clear();
        EXPECT_EQ(a.unzip(in.get()), nullptr);
        EXPECT_FALSE(log.contains("too large")) << log.text();
        EXPECT_FALSE(log.contains("absurd")) << log.text();
        EXPECT_TRUE(log.contains(a.unzip == unzip_nstr ? "unable to unzip string" : "LZ4_decompress_safe failed"))
            << log.text();
    }
}

TEST(NCompressFormat, DeclaredSizeAgainstTheRealContent) {
    const std::string text = text_string(5000, 11);
    NstrPtr src = nstr(text);
    // zlib: the output must fit in the declared size
    NstrPtr z{zip_nstr(src.get())};
    ASSERT_TRUE(z);
    qvtest::put_be32(reinterpret_cast<uint8_t *>(z->data), 4999);
    LogCapture log;
    EXPECT_EQ(unzip_nstr(z.get()), nullptr);
    EXPECT_TRUE(log.contains("unable to unzip string")) << log.text();
    qvtest::put_be32(reinterpret_cast<uint8_t *>(z->data), 9000);
    NstrPtr zl{unzip_nstr(z.get())};
    ASSERT_TRUE(zl);
    EXPECT_EQ(content(zl.get()), text);
    // LZ4: a larger declared size decodes to the real size; a smaller one fails
    NstrPtr l{zip4_nstr(src.get())};
    ASSERT_TRUE(l);
    qvtest::put_be32(reinterpret_cast<uint8_t *>(l->data), 9000);
    NstrPtr ll{unzip4_nstr(l.get())};
    ASSERT_TRUE(ll);
    EXPECT_EQ(ll->written, 5000u);
    EXPECT_EQ(content(ll.get()), text);
    qvtest::put_be32(reinterpret_cast<uint8_t *>(l->data), 4999);
    EXPECT_EQ(unzip4_nstr(l.get()), nullptr);
    // a block that decodes short of its declared size: LZ4's wide copies left
    // decoded bytes past the end, where the terminator must stand
    NstrPtr short_block = nstr(qvtest::unhex_string("0000006865686c6f6c0020060050776f726c64"));
    NstrPtr sb{unzip4_nstr(short_block.get())};
    ASSERT_TRUE(sb);
    EXPECT_EQ(content(sb.get()), std::string("hlol\0 hlol\0 hlo", 15) + "world");
    EXPECT_EQ(sb->data[sb->written], '\0');
    EXPECT_EQ(strlen(sb->data + 16), 4u);
    // the streams are not interchangeable
    qvtest::put_be32(reinterpret_cast<uint8_t *>(l->data), 5000);
    EXPECT_EQ(unzip_nstr(l.get()), nullptr);
}

/* ---------------------------------------------------------------- Buffer functions */

TEST(NCompressBuffers, BoundAndRefusals) {
    EXPECT_EQ(GetMaxCompressedLen(0), 6u);
    EXPECT_EQ(GetMaxCompressedLen(16384), 16395u);
    EXPECT_EQ(GetMaxCompressedLen(16385), 16401u);

    const std::string text = text_string(4000, 12);
    const unsigned char *src = reinterpret_cast<const unsigned char *>(text.data());
    std::vector<unsigned char> out(GetMaxCompressedLen(text.size()));
    const size_t n = CompressData(src, text.size(), out.data(), out.size());
    ASSERT_GT(n, 0u);
    std::vector<unsigned char> back(text.size());
    EXPECT_EQ(UncompressData(out.data(), n, back.data(), back.size()), text.size());
    EXPECT_EQ(std::string(back.begin(), back.end()), text);

    LogCapture log;
    // one pass: a buffer too small fails, it does not return a part
    EXPECT_EQ(CompressData(src, text.size(), out.data(), n - 1), 0u);
    EXPECT_TRUE(log.contains("buffer error on string")) << log.text();
    EXPECT_EQ(UncompressData(out.data(), n, back.data(), back.size() - 1), 0u);
    EXPECT_EQ(UncompressData(out.data(), n - 1, back.data(), back.size()), 0u);  // truncated stream

    struct Refusal {
        const unsigned char *src;
        size_t src_len;
        unsigned char *dst;
        size_t dst_len;
        const char *message;
    } const refusals[] = {
        {nullptr, 10, out.data(), 10, "if( !(abSrc) )"},
        {src, 10, nullptr, 10, "if( !(abDst) )"},
        {src, 0, out.data(), 10, "nLenSrc == 0"},
        {src, 10, out.data(), 0, "nLenDst == 0"},
        {src, size_t{UINT_MAX} + 1, out.data(), 10, "nLenSrc is bigger than UINT_MAX"},
        {src, 10, out.data(), size_t{UINT_MAX} + 1, "nLenDst is bigger than UINT_MAX"},
    };
    for (const auto &r : refusals) {
        SCOPED_TRACE(r.message);
        log.clear();
        EXPECT_EQ(CompressData(r.src, r.src_len, r.dst, r.dst_len), 0u);
        EXPECT_EQ(UncompressData(r.src, r.src_len, r.dst, r.dst_len), 0u);
        EXPECT_TRUE(log.contains(r.message)) << log.text();
    }
}

// Each allocation in turn fails: the result is null, nothing leaks (ASan),
// and the next call with a working allocator succeeds.
TEST(NCompressBuffers, AllocationFailuresEndCleanly) {
    AllocFailGuard guard;
    const std::string text = text_string(3000, 13);
    for (const auto &a : kAlgos) {
        SCOPED_TRACE(a.name);
        NstrPtr src = nstr(text);
        NstrPtr zipped{a.zip(src.get())};
        ASSERT_TRUE(zipped);
        for (const bool unzip : {false, true}) {
            bool done = false;
            for (long n = 0; n < 5 && !done; n++) {
                SCOPED_TRACE("failing allocation " + std::to_string(n));
                n_alloc_fail_after(n);
                NstrPtr r{unzip ? a.unzip(zipped.get()) : a.zip(src.get())};
                n_alloc_fail_after(-1);
                done = r != nullptr;
            }
            EXPECT_TRUE(done);
        }
    }
}
