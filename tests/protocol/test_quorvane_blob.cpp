// Blob streams: sizes at the chunk boundaries, every way a stream can be cut,
// reordered, extended or mislabelled, and the layout checked against a second
// implementation (tests/scripts/blob_xcheck.py) in both directions, up to the
// largest blob, which goes through memory-mapped files so it stays streaming.
#include "quorvane_blob.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "qv_test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using qvtest::hex;
using qvtest::holds_no_plaintext;
using qvtest::random_bytes;
using qvtest::unhex;

// Key, salt and id of one blob, fresh per test.
struct Blob {
    Bytes key = random_bytes(QV_BLOB_KEY_LEN);
    Bytes salt = random_bytes(QV_BLOB_SALT_LEN);
    Bytes id = random_bytes(QV_BLOB_ID_LEN);

    struct Sealed {
        Bytes    stream;
        uint32_t count = 0;
        Bytes    digest = Bytes(QV_BLOB_DIGEST_LEN);
    };
    Sealed seal(const Bytes &pt) const
    {
        Sealed s;
        s.stream.resize(quorvane_blob_sealed_len(pt.size()));
        size_t n = 0;
        EXPECT_EQ(quorvane_blob_stream_seal(key.data(), salt.data(), id.data(), pt.data(), pt.size(), s.stream.data(),
                                            s.stream.size(), &n, &s.count, s.digest.data()), 0);
        EXPECT_EQ(n, s.stream.size());
        return s;
    }
    int open(const Bytes &stream, uint32_t count, const Bytes &digest, Bytes *out, size_t *out_len) const
    {
        return quorvane_blob_stream_open(key.data(), salt.data(), id.data(), stream.data(), stream.size(), count,
                                         digest.data(), out->data(), out->size(), out_len);
    }
};

TEST(QuorvaneBlob, SizesAtTheChunkBoundaries)
{
    constexpr uint64_t kMaxWhole = UINT64_MAX / 65552;
    const struct { uint64_t len; uint32_t count; uint64_t sealed; } kSizes[] = {
        {0, 1, 16},
        {1, 1, 17},
        {65535, 1, 65551},
        {65536, 1, 65552},
        {65537, 2, 65569},
        {131072, 2, 131104},
        {131073, 3, 131121},
        {QV_BLOB_MAX, 4096, 268500992},
        {QV_BLOB_MAX + 1, 4097, 268501009},
        // a forged size in a blob reference must not wrap to a small count
        {uint64_t{UINT32_MAX} * 65536, UINT32_MAX, uint64_t{UINT32_MAX} * 65552},
        {uint64_t{UINT32_MAX} * 65536 + 1, UINT32_MAX, uint64_t{UINT32_MAX} * 65552 + 1 + 16},
        {65536 * kMaxWhole + 65518, UINT32_MAX, UINT64_MAX - 1},
        {65536 * kMaxWhole + 65520, UINT32_MAX, UINT64_MAX},  // would wrap to 1
        {UINT64_MAX, UINT32_MAX, UINT64_MAX},
    };
    for (const auto &s : kSizes) {
        SCOPED_TRACE(s.len);
        EXPECT_EQ(quorvane_blob_chunk_count(s.len), s.count);
        EXPECT_EQ(quorvane_blob_sealed_len(s.len), s.sealed);
    }
}

TEST(QuorvaneBlob, StreamsRoundTripAtTheChunkBoundaries)
{
    const Blob b;
    for (size_t len : {size_t{0}, size_t{1}, size_t{65535}, size_t{65536}, size_t{65537}, size_t{200000}}) {
        SCOPED_TRACE(len);
        const Bytes pt = random_bytes(len);
        const Blob::Sealed s = b.seal(pt);
        EXPECT_EQ(s.stream.size(), quorvane_blob_sealed_len(len));
        EXPECT_EQ(s.count, quorvane_blob_chunk_count(len));

        Bytes want_digest(64);
        ASSERT_EQ(quorvane_blake2b(pt.data(), pt.size(), want_digest.data()), 0);
        EXPECT_EQ(s.digest, want_digest);

        Bytes out(len + 1, 0xAA);  // one spare byte that must stay untouched
        size_t n = 7;
        ASSERT_EQ(b.open(s.stream, s.count, s.digest, &out, &n), 0);
        EXPECT_EQ(n, len);
        EXPECT_TRUE(std::equal(pt.begin(), pt.end(), out.begin()));
        EXPECT_EQ(out.back(), 0xAA);

        for (uint32_t i = 0; i < s.count; i++) {
            const size_t off = size_t{i} * QV_BLOB_CHUNK_LEN;
            const size_t m = std::min<size_t>(QV_BLOB_CHUNK_LEN, len - off);
            const uint8_t *c = s.stream.data() + size_t{i} * QV_BLOB_SEALED_CHUNK;
            Bytes chunk(m + 1);
            ASSERT_EQ(quorvane_blob_chunk_open(b.key.data(), b.salt.data(), b.id.data(), i, i + 1 == s.count, c, m,
                                               c + m, chunk.data()), 0) << "chunk " << i;
            EXPECT_TRUE(std::equal(chunk.begin(), chunk.begin() + m, pt.begin() + off));
        }
    }

    // the two named edges: an empty blob is one 16-byte chunk, 65537 bytes end in a 1-byte chunk
    const Blob::Sealed empty = b.seal({});
    EXPECT_EQ(empty.stream.size(), 16u);
    EXPECT_EQ(empty.count, 1u);
    EXPECT_EQ(quorvane_blob_chunk_open(b.key.data(), b.salt.data(), b.id.data(), 0, 1, nullptr, 0,
                                       empty.stream.data(), nullptr), 0);
    const Bytes pt = random_bytes(65537);
    const Blob::Sealed two = b.seal(pt);
    ASSERT_EQ(two.stream.size(), 65569u);
    uint8_t last = 0;
    EXPECT_EQ(quorvane_blob_chunk_open(b.key.data(), b.salt.data(), b.id.data(), 1, 1, &two.stream[65552], 1,
                                       &two.stream[65553], &last), 0);
    EXPECT_EQ(last, pt[65536]);
}

TEST(QuorvaneBlob, TamperedStreamsAreRefusedWithTheOutputWiped)
{
    const Blob b;
    const size_t len = 2 * QV_BLOB_CHUNK_LEN + 1000;  // two full chunks and a short one
    const Bytes pt = random_bytes(len);
    const Blob::Sealed s = b.seal(pt);
    ASSERT_EQ(s.count, 3u);
    const size_t C = QV_BLOB_SEALED_CHUNK;

    // the same plaintext and one more chunk, sealed under the same key: its
    // first three chunks differ from ours only in the last flag of the third
    Bytes longer_pt = pt;
    longer_pt.resize(3 * QV_BLOB_CHUNK_LEN + 10, 0x42);
    const Blob::Sealed longer = b.seal(longer_pt);

    Blob other_key = b, other_salt = b, other_id = b;
    other_key.key = random_bytes(32);
    other_salt.salt = random_bytes(16);
    other_id.id = random_bytes(16);

    const auto swapped = [&] {
        Bytes t = s.stream;
        std::swap_ranges(t.begin(), t.begin() + C, t.begin() + C);
        return t;
    };
    const auto flip = [&](size_t at) {
        Bytes t = s.stream;
        t[at] ^= 1;
        return t;
    };
    Bytes bad_digest = s.digest;
    bad_digest[63] ^= 0x80;

    const struct Case {
        const char *name;
        const Blob *blob;
        Bytes       stream;
        uint32_t    count;
        Bytes       digest;
        int         want;
    } kCases[] = {
        {"intact", &b, s.stream, 3, s.digest, 0},
        {"first two chunks swapped", &b, swapped(), 3, s.digest, -2},
        {"a bit of the first ciphertext flipped", &b, flip(5), 3, s.digest, -2},
        {"a bit of the last tag flipped", &b, flip(s.stream.size() - 1), 3, s.digest, -2},
        {"last chunk dropped, count told 2", &b, Bytes(s.stream.begin(), s.stream.begin() + 2 * C), 2, s.digest, -2},
        {"last chunk dropped, count still 3", &b, Bytes(s.stream.begin(), s.stream.begin() + 2 * C), 3, s.digest, -2},
        {"one byte cut off the end", &b, Bytes(s.stream.begin(), s.stream.end() - 1), 3, s.digest, -2},
        {"a longer stream cut to our length", &b, Bytes(longer.stream.begin(), longer.stream.begin() + s.stream.size()),
         3, s.digest, -2},
        {"extended by the longer stream's fourth chunk",
         &b, [&] { Bytes t = s.stream; t.insert(t.end(), longer.stream.begin() + 3 * C, longer.stream.end()); return t; }(),
         4, longer.digest, -2},
        {"extended by 16 zero bytes", &b, [&] { Bytes t = s.stream; t.resize(t.size() + 16); return t; }(), 4, s.digest, -2},
        {"count one too many", &b, s.stream, 4, s.digest, -2},
        {"count one too few", &b, s.stream, 2, s.digest, -2},
        {"count zero", &b, s.stream, 0, s.digest, -2},
        {"wrong digest", &b, s.stream, 3, bad_digest, -2},
        {"wrong key", &other_key, s.stream, 3, s.digest, -2},
        {"wrong salt", &other_salt, s.stream, 3, s.digest, -2},
        {"wrong blob id", &other_id, s.stream, 3, s.digest, -2},
        {"tail of 15 bytes cannot hold a tag", &b, Bytes(s.stream.begin(), s.stream.begin() + 2 * C + 15), 3, s.digest, -3},
        {"tail of 1 byte", &b, Bytes(s.stream.begin(), s.stream.begin() + C + 1), 2, s.digest, -3},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.name);
        Bytes out(len + 64, 0xAA);
        size_t n = 12345;
        EXPECT_EQ(c.blob->open(c.stream, c.count, c.digest, &out, &n), c.want);
        if (c.want == 0) {
            EXPECT_EQ(n, len);
            EXPECT_TRUE(std::equal(pt.begin(), pt.end(), out.begin()));
            continue;
        }
        EXPECT_EQ(n, 12345u) << "written length set on failure";
        EXPECT_TRUE(holds_no_plaintext(out)) << "plaintext left in the output";
    }

    // a wrong digest is only found after every chunk opened: all of it must be wiped
    Bytes out(len, 0xAA);
    size_t n = 0;
    ASSERT_EQ(b.open(s.stream, 3, bad_digest, &out, &n), -2);
    EXPECT_EQ(out, Bytes(len, 0));
}

TEST(QuorvaneBlob, ChunksOpenOnlyInTheirOwnPlace)
{
    const Blob b;
    const Bytes pt = random_bytes(1000);
    Bytes ct(pt.size());
    uint8_t tag[16];
    ASSERT_EQ(quorvane_blob_chunk_seal(b.key.data(), b.salt.data(), b.id.data(), 7, 0, pt.data(), pt.size(), ct.data(), tag), 0);

    const struct { const char *name; uint32_t index; int last; int want; } kPlaces[] = {
        {"own place", 7, 0, 0},
        {"index 6", 6, 0, -2},
        {"index 8", 8, 0, -2},
        {"index 7 + 2^24", 7 + (1u << 24), 0, -2},
        {"flagged last", 7, 1, -2},
        {"flagged last by 2", 7, 2, -2},
    };
    for (const auto &p : kPlaces) {
        SCOPED_TRACE(p.name);
        Bytes out(pt.size(), 0xAA);
        EXPECT_EQ(quorvane_blob_chunk_open(b.key.data(), b.salt.data(), b.id.data(), p.index, p.last, ct.data(),
                                           ct.size(), tag, out.data()), p.want);
        EXPECT_EQ(out, p.want == 0 ? pt : Bytes(pt.size(), 0));
    }

    // last flags 1 and 2 seal the same chunk
    Bytes ct1(pt.size()), ct2(pt.size());
    uint8_t tag1[16], tag2[16];
    ASSERT_EQ(quorvane_blob_chunk_seal(b.key.data(), b.salt.data(), b.id.data(), 0, 1, pt.data(), pt.size(), ct1.data(), tag1), 0);
    ASSERT_EQ(quorvane_blob_chunk_seal(b.key.data(), b.salt.data(), b.id.data(), 0, 2, pt.data(), pt.size(), ct2.data(), tag2), 0);
    EXPECT_EQ(ct1, ct2);
    EXPECT_EQ(0, std::memcmp(tag1, tag2, 16));

    // every chunk of a blob has its own key: the same plaintext at two indices differs
    Bytes ct0(pt.size());
    uint8_t tag0[16];
    ASSERT_EQ(quorvane_blob_chunk_seal(b.key.data(), b.salt.data(), b.id.data(), 0, 0, pt.data(), pt.size(), ct0.data(), tag0), 0);
    EXPECT_NE(ct0, ct);
}

TEST(QuorvaneBlob, BadArgumentsAreRefused)
{
    const Blob b;
    const uint8_t *k = b.key.data(), *s = b.salt.data(), *id = b.id.data();
    Bytes big(QV_BLOB_CHUNK_LEN + 1), out(QV_BLOB_CHUNK_LEN + 1);
    uint8_t tag[16] = {};
    uint8_t dg[64] = {};
    size_t n = 0;
    uint32_t count = 0;
    const Bytes pt = random_bytes(100);
    const Blob::Sealed sealed = b.seal(pt);
    Bytes sink(sealed.stream.size() + 100);
    const uint8_t *st = sealed.stream.data();
    const size_t sl = sealed.stream.size();
    // a length above the limit is refused before any byte is looked at, so a
    // small buffer stands in for a 256 MiB one
    const struct { const char *name; int got; } kCalls[] = {
        {"chunk seal, 65537 bytes", quorvane_blob_chunk_seal(k, s, id, 0, 1, big.data(), big.size(), out.data(), tag)},
        {"chunk open, 65537 bytes", quorvane_blob_chunk_open(k, s, id, 0, 1, big.data(), big.size(), tag, out.data())},
        {"chunk seal, no key", quorvane_blob_chunk_seal(nullptr, s, id, 0, 1, pt.data(), 1, out.data(), tag)},
        {"chunk seal, no salt", quorvane_blob_chunk_seal(k, nullptr, id, 0, 1, pt.data(), 1, out.data(), tag)},
        {"chunk seal, no id", quorvane_blob_chunk_seal(k, s, nullptr, 0, 1, pt.data(), 1, out.data(), tag)},
        {"chunk seal, no tag", quorvane_blob_chunk_seal(k, s, id, 0, 1, pt.data(), 1, out.data(), nullptr)},
        {"chunk seal, no plaintext", quorvane_blob_chunk_seal(k, s, id, 0, 1, nullptr, 1, out.data(), tag)},
        {"chunk seal, no ciphertext", quorvane_blob_chunk_seal(k, s, id, 0, 1, pt.data(), 1, nullptr, tag)},
        {"chunk open, no tag", quorvane_blob_chunk_open(k, s, id, 0, 1, pt.data(), 1, nullptr, out.data())},
        {"chunk open, no output", quorvane_blob_chunk_open(k, s, id, 0, 1, pt.data(), 1, tag, nullptr)},
        {"seal, 256 MiB + 1", quorvane_blob_stream_seal(k, s, id, pt.data(), QV_BLOB_MAX + 1, sink.data(), SIZE_MAX, &n, &count, dg)},
        {"seal, no key", quorvane_blob_stream_seal(nullptr, s, id, pt.data(), 100, sink.data(), sink.size(), &n, &count, dg)},
        {"seal, no salt", quorvane_blob_stream_seal(k, nullptr, id, pt.data(), 100, sink.data(), sink.size(), &n, &count, dg)},
        {"seal, no id", quorvane_blob_stream_seal(k, s, nullptr, pt.data(), 100, sink.data(), sink.size(), &n, &count, dg)},
        {"seal, no plaintext", quorvane_blob_stream_seal(k, s, id, nullptr, 100, sink.data(), sink.size(), &n, &count, dg)},
        {"seal, no output", quorvane_blob_stream_seal(k, s, id, pt.data(), 100, nullptr, sink.size(), &n, &count, dg)},
        {"seal, no length output", quorvane_blob_stream_seal(k, s, id, pt.data(), 100, sink.data(), sink.size(), nullptr, &count, dg)},
        {"seal, no count output", quorvane_blob_stream_seal(k, s, id, pt.data(), 100, sink.data(), sink.size(), &n, nullptr, dg)},
        {"seal, no digest output", quorvane_blob_stream_seal(k, s, id, pt.data(), 100, sink.data(), sink.size(), &n, &count, nullptr)},
        {"seal, room one short", quorvane_blob_stream_seal(k, s, id, pt.data(), 100, sink.data(), 115, &n, &count, dg)},
        {"seal, empty blob with room 15", quorvane_blob_stream_seal(k, s, id, nullptr, 0, sink.data(), 15, &n, &count, dg)},
        {"open, stream above the largest", quorvane_blob_stream_open(k, s, id, st, QV_BLOB_SEALED_MAX + 1, 4097, sealed.digest.data(), sink.data(), SIZE_MAX, &n)},
        {"open, stream of 15", quorvane_blob_stream_open(k, s, id, st, 15, 1, sealed.digest.data(), sink.data(), sink.size(), &n)},
        {"open, no key", quorvane_blob_stream_open(nullptr, s, id, st, sl, 1, sealed.digest.data(), sink.data(), sink.size(), &n)},
        {"open, no salt", quorvane_blob_stream_open(k, nullptr, id, st, sl, 1, sealed.digest.data(), sink.data(), sink.size(), &n)},
        {"open, no id", quorvane_blob_stream_open(k, s, nullptr, st, sl, 1, sealed.digest.data(), sink.data(), sink.size(), &n)},
        {"open, no stream", quorvane_blob_stream_open(k, s, id, nullptr, sl, 1, sealed.digest.data(), sink.data(), sink.size(), &n)},
        {"open, no digest", quorvane_blob_stream_open(k, s, id, st, sl, 1, nullptr, sink.data(), sink.size(), &n)},
        {"open, no output", quorvane_blob_stream_open(k, s, id, st, sl, 1, sealed.digest.data(), nullptr, sink.size(), &n)},
        {"open, no length output", quorvane_blob_stream_open(k, s, id, st, sl, 1, sealed.digest.data(), sink.data(), sink.size(), nullptr)},
        {"open, room one short", quorvane_blob_stream_open(k, s, id, st, sl, 1, sealed.digest.data(), sink.data(), 99, &n)},
    };
    for (const auto &c : kCalls) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.got, -3);
    }
    EXPECT_EQ(n, 0u) << "a refused call set the written length";
    EXPECT_EQ(count, 0u);

    // the largest sealed stream is a length the opener takes: the count decides
    EXPECT_EQ(quorvane_blob_stream_open(k, s, id, st, QV_BLOB_SEALED_MAX, 4095, sealed.digest.data(), sink.data(),
                                        SIZE_MAX, &n), -2);
    // exactly enough room is enough
    EXPECT_EQ(quorvane_blob_stream_open(k, s, id, st, sl, 1, sealed.digest.data(), sink.data(), 100, &n), 0);
    EXPECT_EQ(n, 100u);
}

/* ---- against the second implementation ---------------------------------- */

std::vector<std::vector<std::string>> xcheck(const std::vector<std::string> &requests)
{
    return qvtest::xcheck_words("blob_xcheck.py", requests);
}

std::string join(std::initializer_list<std::string> words)
{
    std::string s;
    for (const auto &w : words)
        s += (s.empty() ? "" : " ") + w;
    return s;
}

// A file mapped shared into memory: the kernel streams it through the page
// cache, so a 256 MiB blob needs no 256 MiB of our own memory.
struct MappedFile {
    int      fd = -1;
    uint8_t *p = nullptr;
    size_t   n = 0;

    MappedFile(const std::string &path, size_t create_len = SIZE_MAX)
    {
        const bool create = create_len != SIZE_MAX;
        fd = ::open(path.c_str(), create ? O_RDWR | O_CREAT | O_TRUNC : O_RDONLY, 0600);
        if (fd < 0)
            return;
        struct stat sb;
        if (create ? ftruncate(fd, static_cast<off_t>(create_len)) != 0 : fstat(fd, &sb) != 0)
            return;
        n = create ? create_len : static_cast<size_t>(sb.st_size);
        if (n == 0)
            return;
        void *m = mmap(nullptr, n, create ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
        p = m == MAP_FAILED ? nullptr : static_cast<uint8_t *>(m);
    }
    ~MappedFile()
    {
        if (p)
            munmap(p, n);
        if (fd >= 0)
            close(fd);
    }
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;
    bool ok() const { return fd >= 0 && (p || n == 0); }
    bool same_as(const MappedFile &o) const { return n == o.n && (n == 0 || std::memcmp(p, o.p, n) == 0); }
};

void write_random_file(const std::string &path, size_t len)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    Bytes piece(1 << 20);
    for (size_t done = 0; done < len;) {
        const size_t m = std::min(piece.size(), len - done);
        ASSERT_EQ(quorvane_random(piece.data(), m), 0);
        ASSERT_EQ(std::fwrite(piece.data(), 1, m, f), m);
        done += m;
    }
    ASSERT_EQ(std::fclose(f), 0);
}

// C++ seals `plain` to `sealed`; returns chunk count and digest through the outputs.
void seal_file(const Blob &b, const std::string &plain, const std::string &sealed, uint32_t *count, Bytes *digest)
{
    MappedFile in(plain);
    ASSERT_TRUE(in.ok());
    MappedFile out(sealed, quorvane_blob_sealed_len(in.n));
    ASSERT_TRUE(out.ok());
    size_t n = 0;
    digest->assign(64, 0);
    static const uint8_t kNone = 0;
    ASSERT_EQ(quorvane_blob_stream_seal(b.key.data(), b.salt.data(), b.id.data(), in.n ? in.p : &kNone, in.n, out.p,
                                        out.n, &n, count, digest->data()), 0);
    EXPECT_EQ(n, out.n);
}

// C++ opens `sealed` into `plain`; the result of the open.
int open_file(const Blob &b, const std::string &sealed, uint32_t count, const Bytes &digest, const std::string &plain)
{
    MappedFile in(sealed);
    EXPECT_TRUE(in.ok());
    const size_t plain_len = in.n - std::min<size_t>(in.n, 16u * count);
    MappedFile out(plain, plain_len);
    EXPECT_TRUE(out.ok());
    uint8_t spare = 0;  // an empty blob still needs somewhere to point
    size_t n = 0;
    int rc = quorvane_blob_stream_open(b.key.data(), b.salt.data(), b.id.data(), in.p, in.n, count, digest.data(),
                                       out.p ? out.p : &spare, out.n, &n);
    if (rc == 0) {
        EXPECT_EQ(n, plain_len);
    }
    return rc;
}

void cross_check_both_ways(size_t len, const qvtest::TempDir &dir)
{
    SCOPED_TRACE(len);
    const std::string plain = dir.file("plain"), sealed_cpp = dir.file("sealed.cpp"), sealed_py = dir.file("sealed.py"),
                      opened_py = dir.file("opened.py"), opened_cpp = dir.file("opened.cpp");
    write_random_file(plain, len);

    const Blob ours, theirs;  // a different blob each way
    uint32_t count = 0;
    Bytes digest;
    seal_file(ours, plain, sealed_cpp, &count, &digest);
    auto ans = xcheck({
        join({"open", hex(ours.key), hex(ours.salt), hex(ours.id), std::to_string(count), hex(digest), sealed_cpp,
              opened_py}),
        join({"seal", hex(theirs.key), hex(theirs.salt), hex(theirs.id), plain, sealed_py}),
        // the script refuses what we refuse: a wrong count and a wrong digest
        join({"open", hex(ours.key), hex(ours.salt), hex(ours.id), std::to_string(count + 1), hex(digest), sealed_cpp,
              dir.file("x")}),
        join({"open", hex(theirs.key), hex(ours.salt), hex(ours.id), std::to_string(count), hex(digest), sealed_cpp,
              dir.file("x")}),
    });
    ASSERT_EQ(ans[0], (std::vector<std::string>{"OK", std::to_string(len)}));
    EXPECT_EQ(ans[2], (std::vector<std::string>{"FAIL", "COUNT"}));
    EXPECT_EQ(ans[3], (std::vector<std::string>{"FAIL", "AUTH"}));
    {
        MappedFile a(plain), b(opened_py);
        EXPECT_TRUE(a.same_as(b)) << "the script opened something else";
    }

    ASSERT_EQ(ans[1].size(), 4u);
    ASSERT_EQ(ans[1][0], "OK");
    const uint32_t their_count = static_cast<uint32_t>(std::stoul(ans[1][1]));
    const Bytes their_digest = unhex(ans[1][2]);
    EXPECT_EQ(their_count, count);
    EXPECT_EQ(their_digest, digest) << "both sides digest the same plaintext";
    EXPECT_EQ(std::stoull(ans[1][3]), quorvane_blob_sealed_len(len));
    ASSERT_EQ(open_file(theirs, sealed_py, their_count, their_digest, opened_cpp), 0);
    {
        MappedFile a(plain), b(opened_cpp);
        EXPECT_TRUE(a.same_as(b));
    }
    EXPECT_EQ(open_file(theirs, sealed_py, their_count + 1, their_digest, opened_cpp), -2);
}

TEST(QuorvaneBlob, CrossCheckedBothWaysAtTheChunkBoundaries)
{
    qvtest::TempDir dir;
    for (size_t len : {size_t{0}, size_t{1}, size_t{65535}, size_t{65536}, size_t{65537}, size_t{3 * 65536 + 77}})
        cross_check_both_ways(len, dir);
}

// Same key, salt and id on both sides: the streams are the same bytes.
TEST(QuorvaneBlob, SameBlobSealsToTheSameBytesOnBothSides)
{
    qvtest::TempDir dir;
    const Blob b;
    write_random_file(dir.file("plain"), 2 * 65536 + 5);
    uint32_t count = 0;
    Bytes digest;
    seal_file(b, dir.file("plain"), dir.file("sealed.cpp"), &count, &digest);
    auto ans = xcheck({join({"seal", hex(b.key), hex(b.salt), hex(b.id), dir.file("plain"), dir.file("sealed.py")})});
    ASSERT_EQ(ans[0].size(), 4u);
    EXPECT_EQ(ans[0][2], hex(digest));
    MappedFile a(dir.file("sealed.cpp")), p(dir.file("sealed.py"));
    EXPECT_TRUE(a.same_as(p));
}

// The largest blob, both ways, through files: the timing is printed so a slow
// sanitizer build shows where the time goes.
TEST(QuorvaneBlob, LargestBlobCrossChecksBothWays)
{
    const auto start = std::chrono::steady_clock::now();
    qvtest::TempDir dir;
    cross_check_both_ways(QV_BLOB_MAX, dir);
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("256 MiB blob, both ways: %.1f s\n", secs);
}

}  // namespace
