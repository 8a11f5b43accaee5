// Frame header, frame reassembly, TLV records and sync cursors.
#include "quorvane_proto.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "n_log.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes str(const std::string &s) { return Bytes(s.begin(), s.end()); }

Bytes cat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes slice(const Bytes &b, size_t from, size_t to = SIZE_MAX) {
    to = std::min(to, b.size());
    return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(to));
}

void be(Bytes &out, uint64_t v, int width) {
    for (int i = width - 1; i >= 0; i--) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Frame bytes laid out by hand, so the buffer tests do not lean on the encoder.
Bytes header(uint8_t m0, uint8_t m1, uint8_t version, uint8_t type, uint32_t len) {
    Bytes h{m0, m1, version, type};
    be(h, len, 4);
    return h;
}

Bytes frame(uint8_t type, const Bytes &payload) {
    return cat(header('H', 'R', 1, type, static_cast<uint32_t>(payload.size())), payload);
}

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

Bytes record(uint8_t tag, const Bytes &value) {
    Bytes r{tag};
    be(r, value.size(), 4);
    return cat(r, value);
}

// A record head that claims `len` bytes, without the bytes.
Bytes head(uint8_t tag, uint32_t len) {
    Bytes r{tag};
    be(r, len, 4);
    return r;
}

struct AllocFailReset {
    ~AllocFailReset() { n_alloc_fail_after(-1); }
};

// ---------------------------------------------------------------- header

struct ParseCase {
    const char *name;
    Bytes bytes;
    size_t available;
    int rc;
    uint8_t version, type;
    uint32_t length;
};

TEST(ProtoFrameHeader, ParseTable) {
    const Bytes ok = header('H', 'R', 1, 0x07, 3);
    const ParseCase cases[] = {
        {"nothing available", ok, 0, -2, 0, 0, 0},
        {"seven bytes are short", ok, 7, -2, 0, 0, 0},
        {"eight bytes parse", ok, 8, 0, 1, 0x07, 3},
        {"payload not compared with bytes available", header('H', 'R', 1, 0x89, 500), 8, 0, 1, 0x89, 500},
        {"length exactly 1 MiB accepted", header('H', 'R', 1, 0x0A, 1048576), 8, 0, 1, 0x0A, 1048576},
        {"length 1 MiB + 1 refused", header('H', 'R', 1, 0x0A, 1048577), 8, -4, 0, 0, 0},
        {"length all ones refused", header('H', 'R', 1, 0x0A, 0xFFFFFFFF), 8, -4, 0, 0, 0},
        {"wrong second magic byte", header('H', 'X', 1, 0x07, 0), 8, -3, 0, 0, 0},
        {"magic bytes swapped", header('R', 'H', 1, 0x07, 0), 8, -3, 0, 0, 0},
        {"bad magic wins over bad length", header('h', 'R', 1, 0x07, 0xFFFFFFFF), 8, -3, 0, 0, 0},
        {"bad magic but short is still short", header('X', 'X', 1, 0x07, 0), 7, -2, 0, 0, 0},
        {"version returned, not tested", header('H', 'R', 9, 0x07, 0), 8, 0, 9, 0x07, 0},
        {"type 0 passes the parser", header('H', 'R', 1, 0x00, 0), 8, 0, 1, 0x00, 0},
        {"type 0x54 passes the parser", header('H', 'R', 1, 0x54, 0), 8, 0, 1, 0x54, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        quorvane_frame_header h{0xEE, 0xEE, 0xEEEEEEEE};
        ASSERT_EQ(quorvane_frame_parse_header(c.bytes.data(), c.available, &h), c.rc);
        if (c.rc == 0) {
            EXPECT_EQ(h.version, c.version);
            EXPECT_EQ(h.type, c.type);
            EXPECT_EQ(h.length, c.length);
        } else {
            EXPECT_EQ(h.version, 0xEE);  // untouched on failure
            EXPECT_EQ(h.length, 0xEEEEEEEEu);
        }
    }
}

TEST(ProtoFrameHeader, NullArguments) {
    const Bytes ok = header('H', 'R', 1, 0x07, 3);
    quorvane_frame_header h{};
    EXPECT_EQ(quorvane_frame_parse_header(ok.data(), ok.size(), nullptr), -1);
    EXPECT_EQ(quorvane_frame_parse_header(nullptr, 8, &h), -1);
    EXPECT_EQ(quorvane_frame_parse_header(nullptr, 0, &h), -2);
    uint8_t out[16];
    size_t n = 0;
    EXPECT_EQ(quorvane_frame_encode(1, nullptr, 3, out, sizeof out, &n), -1);
    EXPECT_EQ(quorvane_frame_encode(1, ok.data(), 3, nullptr, 16, &n), -1);
    EXPECT_EQ(quorvane_frame_encode(1, ok.data(), 3, out, sizeof out, nullptr), -1);
}

TEST(ProtoFrameHeader, TypeKnownBoundaries) {
    const struct {
        uint8_t type;
        int known;
    } cases[] = {
        {0x00, 0}, {0x01, 1}, {0x05, 1}, {0x3D, 1}, {0x53, 1}, {0x54, 0}, {0x80, 0},
        {0x81, 1}, {0x86, 1}, {0xAD, 1}, {0xBC, 1}, {0xBD, 0}, {0xFF, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "type 0x" << std::hex << int(c.type));
        EXPECT_EQ(quorvane_frame_type_known(c.type), c.known);
    }
}

struct EncodeCase {
    const char *name;
    size_t payload_len;
    size_t out_cap;
    int rc;
};

TEST(ProtoFrameEncode, SizeLimitsTable) {
    const EncodeCase cases[] = {
        {"1 MiB payload with exact room", 1048576, 1048576 + 8, 0},
        {"1 MiB + 1 payload refused before room", 1048577, 1048577 + 8, -4},
        {"room of exactly payload + 8", 300, 308, 0},
        {"one byte less than payload + 8", 300, 307, -1},
        {"empty payload needs the 8 header bytes", 0, 8, 0},
        {"empty payload with 7 bytes of room", 0, 7, -1},
    };
    const Bytes payload = pattern(1048577, 3);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes out(c.out_cap + 1, 0xEE);  // one sentinel byte past the stated room
        size_t out_len = 12345;
        ASSERT_EQ(quorvane_frame_encode(0x0A, payload.data(), c.payload_len, out.data(), c.out_cap, &out_len), c.rc);
        if (c.rc != 0) {
            EXPECT_EQ(out_len, 12345u);
            EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0xEE; }));
            continue;
        }
        ASSERT_EQ(out_len, c.payload_len + 8);
        EXPECT_EQ(slice(out, 0, 8), header('H', 'R', 1, 0x0A, static_cast<uint32_t>(c.payload_len)));
        EXPECT_EQ(0, std::memcmp(out.data() + 8, payload.data(), c.payload_len));
        EXPECT_EQ(out[c.out_cap], 0xEE);
        quorvane_frame_header h{};
        ASSERT_EQ(quorvane_frame_parse_header(out.data(), out_len, &h), 0);
        EXPECT_EQ(h.length, c.payload_len);
    }
}

TEST(ProtoFrameEncode, ExactBytesAndTypeUnchecked) {
    uint8_t out[16];
    size_t n = 0;
    ASSERT_EQ(quorvane_frame_encode(0x07, reinterpret_cast<const uint8_t *>("ab"), 2, out, sizeof out, &n), 0);
    EXPECT_EQ(Bytes(out, out + n), str(std::string("HR\x01\x07\x00\x00\x00\x02" "ab", 10)));
    ASSERT_EQ(quorvane_frame_encode(0xFF, nullptr, 0, out, sizeof out, &n), 0);
    EXPECT_EQ(Bytes(out, out + n), header('H', 'R', 1, 0xFF, 0));
}

// ---------------------------------------------------------------- frame buffer

struct FbStep {
    std::optional<Bytes> feed;  // nullopt: go on with what the previous call left
    int rc;
    size_t taken;
    Bytes frame;  // expected when rc is 0
};

struct FbCase {
    const char *name;
    std::vector<FbStep> steps;
};

TEST(ProtoFrameBuf, ScriptedStreams) {
    const Bytes A = frame(0x07, str("abc"));
    const Bytes E = frame(0x17, {});
    const Bytes B = frame(0x89, pattern(300, 1));
    const Bytes bad = header('H', 'X', 1, 0x07, 0);
    const Bytes big = header('H', 'R', 1, 0x07, 1048577);
    const Bytes t0 = frame(0x00, str("z")), t54 = frame(0x54, {});
    const std::vector<FbCase> cases = {
        {"seven bytes are taken, the eighth completes the header",
         {{slice(A, 0, 7), -2, 7, {}}, {slice(A, 7, 8), -2, 1, {}}, {slice(A, 8), 0, 3, A}}},
        {"empty payload is delivered with its eighth byte", {{slice(E, 0, 7), -2, 7, {}}, {slice(E, 7), 0, 1, E}}},
        {"two frames in one block, one per call",
         {{cat(A, B), 0, A.size(), A}, {std::nullopt, 0, B.size(), B}, {std::nullopt, -2, 0, {}}}},
        {"frame followed by the start of the next",
         {{cat(A, slice(B, 0, 3)), 0, A.size(), A}, {std::nullopt, -2, 3, {}}, {slice(B, 3), 0, B.size() - 3, B}}},
        {"no input after a delivery asks for more, then a new frame",
         {{A, 0, A.size(), A}, {Bytes{}, -2, 0, {}}, {E, 0, 8, E}}},
        {"header split across three calls", {{slice(B, 0, 2), -2, 2, {}}, {slice(B, 2, 5), -2, 3, {}},
                                             {slice(B, 5, 100), -2, 95, {}}, {slice(B, 100), 0, 208, B}}},
        {"types unknown to the type table pass", {{cat(t0, t54), 0, t0.size(), t0}, {std::nullopt, 0, 8, t54}}},
        {"bad magic refused once the header is whole, and sticks",
         {{slice(bad, 0, 2), -2, 2, {}}, {cat(slice(bad, 2), A), -3, 6, {}}, {A, -3, 0, {}}, {Bytes{}, -3, 0, {}}}},
        {"length over 1 MiB refused before any body byte, and sticks",
         {{cat(big, A), -4, 8, {}}, {std::nullopt, -4, 0, {}}, {Bytes{}, -4, 0, {}}}},
        {"good frame, then an oversize header",
         {{cat(A, big), 0, A.size(), A}, {std::nullopt, -4, 8, {}}, {A, -4, 0, {}}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        quorvane_framebuf fb;
        quorvane_framebuf_init(&fb);
        Bytes cur;
        const uint8_t *p = nullptr;
        size_t n = 0;
        for (size_t i = 0; i < c.steps.size(); i++) {
            SCOPED_TRACE(testing::Message() << "step " << i);
            const FbStep &s = c.steps[i];
            if (s.feed) {
                cur = *s.feed;
                p = cur.data();
                n = cur.size();
            }
            const uint8_t *before = p;
            const size_t n_before = n;
            const uint8_t *f = nullptr;
            size_t fl = 0;
            EXPECT_EQ(quorvane_framebuf_consume(&fb, &p, &n, &f, &fl), s.rc);
            EXPECT_EQ(static_cast<size_t>(p - before), s.taken);
            EXPECT_EQ(n_before - n, s.taken);
            if (s.rc == 0) {
                ASSERT_NE(f, nullptr);
                EXPECT_EQ(Bytes(f, f + fl), s.frame);
            }
        }
        quorvane_framebuf_free(&fb);
    }
}

TEST(ProtoFrameBuf, EmptyCallAfterDeliveryResetsState) {
    const Bytes A = frame(0x07, str("abc"));
    quorvane_framebuf fb;
    quorvane_framebuf_init(&fb);
    const uint8_t *p = A.data(), *f = nullptr;
    size_t n = A.size(), fl = 0;
    ASSERT_EQ(quorvane_framebuf_consume(&fb, &p, &n, &f, &fl), 0);
    EXPECT_EQ(fb.delivered, 1);
    ASSERT_EQ(quorvane_framebuf_consume(&fb, &p, &n, &f, &fl), -2);
    EXPECT_EQ(fb.delivered, 0);
    EXPECT_EQ(fb.in_body, 0);
    EXPECT_EQ(fb.header_count, 0u);
    EXPECT_EQ(fb.frame_count, 0u);
    EXPECT_EQ(fb.payload_len, 0u);
    EXPECT_GE(fb.capacity, A.size());  // the block is kept for the next frame
    quorvane_framebuf_free(&fb);
}

// The block grows to exactly the largest frame seen and is reused.
TEST(ProtoFrameBuf, BlockOnlyGrowsToExactFrameSize) {
    const Bytes big = frame(0x0A, pattern(1000, 2)), small = frame(0x0D, str("x"));
    quorvane_framebuf fb;
    quorvane_framebuf_init(&fb);
    const Bytes stream = cat(cat(small, big), small);
    const uint8_t *p = stream.data(), *f = nullptr;
    size_t n = stream.size(), fl = 0;
    const size_t caps[] = {small.size(), big.size(), big.size()};
    for (size_t cap : caps) {
        ASSERT_EQ(quorvane_framebuf_consume(&fb, &p, &n, &f, &fl), 0);
        EXPECT_EQ(fb.capacity, cap);
        EXPECT_EQ(f, fb.frame);
    }
    quorvane_framebuf_free(&fb);
}

// Releasing the block mid-frame used to leave the body counters behind, so
// the next consume copied body bytes into a null block.
TEST(ProtoFrameBuf, FreeForgetsPartialFrame) {
    const Bytes A = frame(0x07, pattern(40, 5)), B = frame(0x08, str("next"));
    quorvane_framebuf fb;
    quorvane_framebuf_init(&fb);
    quorvane_framebuf_free(&fb);  // nothing held yet
    const uint8_t *p = A.data(), *f = nullptr;
    size_t n = 20, fl = 0;
    ASSERT_EQ(quorvane_framebuf_consume(&fb, &p, &n, &f, &fl), -2);
    quorvane_framebuf_free(&fb);
    EXPECT_EQ(fb.frame, nullptr);
    EXPECT_EQ(fb.capacity, 0u);
    quorvane_framebuf_free(&fb);  // twice is harmless

    p = B.data();
    n = B.size();
    ASSERT_EQ(quorvane_framebuf_consume(&fb, &p, &n, &f, &fl), 0);
    EXPECT_EQ(Bytes(f, f + fl), B);
    quorvane_framebuf_free(&fb);
}

TEST(ProtoFrameBuf, NullArgumentsRefused) {
    quorvane_framebuf fb;
    quorvane_framebuf_init(&fb);
    const Bytes A = frame(0x07, {});
    const uint8_t *p = A.data(), *nullp = nullptr, *f = nullptr;
    size_t n = A.size(), fl = 0;
    EXPECT_EQ(quorvane_framebuf_consume(nullptr, &p, &n, &f, &fl), -1);
    EXPECT_EQ(quorvane_framebuf_consume(&fb, nullptr, &n, &f, &fl), -1);
    EXPECT_EQ(quorvane_framebuf_consume(&fb, &p, nullptr, &f, &fl), -1);
    EXPECT_EQ(quorvane_framebuf_consume(&fb, &p, &n, nullptr, &fl), -1);
    EXPECT_EQ(quorvane_framebuf_consume(&fb, &p, &n, &f, nullptr), -1);
    EXPECT_EQ(quorvane_framebuf_consume(&fb, &nullp, &n, &f, &fl), -1);  // null bytes but a length
    EXPECT_EQ(p, A.data());
    EXPECT_EQ(n, A.size());
    size_t zero = 0;
    EXPECT_EQ(quorvane_framebuf_consume(&fb, &nullp, &zero, &f, &fl), -2);  // no input at all is fine
    quorvane_framebuf_free(&fb);
}

// Growth goes through n_realloc, whose fault hook makes the next call fail.
TEST(ProtoFrameBuf, OutOfMemoryKeepsHeaderAndRetries) {
    AllocFailReset reset;
    const Bytes small = frame(0x01, pattern(10, 1)), big = frame(0x02, pattern(5000, 2));
    quorvane_framebuf fb;
    quorvane_framebuf_init(&fb);
    const uint8_t *f = nullptr;
    size_t fl = 0;

    // First growth, no block yet.
    const uint8_t *p = small.data();
    size_t n = small.size();
    n_alloc_fail_after(0);
    ASSERT_EQ(quorvane_framebuf_consume(&fb, &p, &n, &f, &fl), -1);
    EXPECT_EQ(n, small.size() - 8);  // header taken, body not started
    EXPECT_EQ(fb.frame, nullptr);
    EXPECT_EQ(fb.in_body, 0);
    ASSERT_EQ(quorvane_framebuf_consume(&fb, &p, &n, &f, &fl), 0);
    EXPECT_EQ(Bytes(f, f + fl), small);

    // Growth of a held block fails twice, the second time with no input.
    uint8_t *held = fb.frame;
    p = big.data();
    n = big.size();
    n_alloc_fail_after(0);
    ASSERT_EQ(quorvane_framebuf_consume(&fb, &p, &n, &f, &fl), -1);
    EXPECT_EQ(n, big.size() - 8);
    EXPECT_EQ(fb.frame, held);
    EXPECT_EQ(fb.capacity, small.size());
    size_t none = 0;
    const uint8_t *q = p;
    n_alloc_fail_after(0);
    ASSERT_EQ(quorvane_framebuf_consume(&fb, &q, &none, &f, &fl), -1);
    ASSERT_EQ(quorvane_framebuf_consume(&fb, &p, &n, &f, &fl), 0);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(Bytes(f, f + fl), big);
    quorvane_framebuf_free(&fb);
}

struct Stream {
    Bytes bytes;
    std::vector<size_t> ends;  // offset just past each frame
};

// Random frames; the large stream also holds empty and 1 MiB payloads.
Stream make_stream(uint32_t seed, size_t count, bool large) {
    std::mt19937 rng(seed);
    Stream s;
    for (size_t i = 0; i < count; i++) {
        size_t len;
        const unsigned pick = rng() % 100;
        if (i % 37 == 0) len = 0;
        else if (!large) len = rng() % 100;
        else if (i == 11 || i == 150 || i == count - 1) len = QV_FRAME_MAX_PAYLOAD;
        else if (pick < 70) len = rng() % 513;
        else if (pick < 97) len = 513 + rng() % 70000;
        else len = 70513 + rng() % (QV_FRAME_MAX_PAYLOAD - 70513);
        Bytes payload(len);
        for (auto &b : payload) b = static_cast<uint8_t>(rng());
        const Bytes f = frame(static_cast<uint8_t>(rng()), payload);
        s.bytes.insert(s.bytes.end(), f.begin(), f.end());
        s.ends.push_back(s.bytes.size());
    }
    return s;
}

// Feeds the stream in chunks whose sizes `next_chunk` picks; every frame must
// come out whole and equal, at the exact stream offset where it ends.
void check_reassembly(const Stream &s, const std::function<size_t()> &next_chunk) {
    quorvane_framebuf fb;
    quorvane_framebuf_init(&fb);
    size_t fed = 0, got = 0;
    while (fed < s.bytes.size()) {
        const size_t chunk = std::min(std::max<size_t>(next_chunk(), 1), s.bytes.size() - fed);
        // A block of exactly the chunk, so a read past it is caught under ASan.
        std::unique_ptr<uint8_t[]> block(new uint8_t[chunk]);
        std::memcpy(block.get(), s.bytes.data() + fed, chunk);
        const uint8_t *p = block.get();
        size_t n = chunk;
        while (n > 0) {
            const uint8_t *before = p, *f = nullptr;
            const size_t n_before = n;
            size_t fl = 0;
            const int rc = quorvane_framebuf_consume(&fb, &p, &n, &f, &fl);
            if (p < before || static_cast<size_t>(p - before) != n_before - n) {
                ADD_FAILURE() << "pointer and length moved apart at offset " << fed;
                quorvane_framebuf_free(&fb);
                return;
            }
            fed += n_before - n;
            if (rc == 0) {
                const size_t start = got ? s.ends[got - 1] : 0;
                if (got >= s.ends.size() || fed != s.ends[got] || fl != s.ends[got] - start || f != fb.frame ||
                    std::memcmp(f, s.bytes.data() + start, fl) != 0) {
                    ADD_FAILURE() << "frame " << got << " wrong (delivered at offset " << fed << ", length " << fl
                                  << ")";
                    quorvane_framebuf_free(&fb);
                    return;
                }
                got++;
            } else if (rc != -2 || n != 0) {
                ADD_FAILURE() << "result " << rc << " with " << n << " bytes left at offset " << fed;
                quorvane_framebuf_free(&fb);
                return;
            }
        }
    }
    EXPECT_EQ(got, s.ends.size());
    quorvane_framebuf_free(&fb);
}

TEST(ProtoFrameBuf, SmallStreamSplitAtEveryPoint) {
    const Stream s = make_stream(7, 40, false);
    for (size_t split = 1; split < s.bytes.size(); split++) {
        SCOPED_TRACE(testing::Message() << "split at " << split);
        bool first = true;
        check_reassembly(s, [&] {
            const size_t c = first ? split : s.bytes.size();
            first = false;
            return c;
        });
        if (HasFailure()) break;
    }
}

TEST(ProtoFrameBuf, LargeStreamReassembled) {
    const Stream s = make_stream(20240611, 300, true);
    ASSERT_GT(s.bytes.size(), 3 * QV_FRAME_MAX_PAYLOAD);
    {
        SCOPED_TRACE("one byte at a time");
        check_reassembly(s, [] { return size_t{1}; });
    }
    {
        SCOPED_TRACE("random chunks");
        std::mt19937 rng(99);
        check_reassembly(s, [&] { return size_t{1} + rng() % (rng() % 4 == 0 ? 300000 : 20000); });
    }
    {
        SCOPED_TRACE("16 KiB reads");
        check_reassembly(s, [] { return size_t{16384}; });
    }
    {
        SCOPED_TRACE("all at once");
        check_reassembly(s, [&] { return s.bytes.size(); });
    }
}

// ---------------------------------------------------------------- TLV writer

struct WOp {
    enum Kind { Put, U8, U16, U32, U64 } kind;
    uint8_t tag;
    uint64_t num;     // for the integer puts
    Bytes value;      // for Put
    bool null_value;  // Put with a null pointer
    size_t len;       // Put with this length
    int rc;
};

WOp put(uint8_t tag, const Bytes &v, int rc = 0) { return {WOp::Put, tag, 0, v, false, v.size(), rc}; }
// A put whose stated length is not the value's: the value is one byte or null.
WOp put_len(uint8_t tag, bool null_value, size_t len, int rc) {
    return {WOp::Put, tag, 0, str("x"), null_value, len, rc};
}
WOp num(WOp::Kind k, uint8_t tag, uint64_t n, int rc = 0) { return {k, tag, n, {}, false, 0, rc}; }

struct WCase {
    const char *name;
    size_t capacity;  // may claim more than the 64-byte buffer: such a put must be refused untouched
    std::vector<WOp> ops;
    int finish_rc;
    Bytes written;
};

TEST(ProtoTlvWriter, Table) {
    const std::vector<WCase> cases = {
        {"capacity exactly value_len + 5", 8, {put(1, str("abc"))}, 0, cat(head(1, 3), str("abc"))},
        {"one byte short overflows, and a fitting u8 after it fails too",
         7,
         {put(1, str("abc"), -3), num(WOp::U8, 2, 9, -3)},
         -3,
         {}},
        {"overflow after good records fails the payload",
         12,
         {num(WOp::U8, 2, 9), put(3, str("abcd"), -3), num(WOp::U8, 4, 1, -3)},
         -3,
         {2, 0, 0, 0, 1, 9}},
        {"zero-length record with null value is 5 bytes", 5, {put_len(9, true, 0, 0)}, 0, head(9, 0)},
        {"zero-length record needs 5 bytes", 4, {put_len(9, true, 0, -3)}, -3, {}},
        {"integers big-endian at their exact widths",
         35,
         {num(WOp::U8, 1, 0xAB), num(WOp::U16, 2, 0x0102), num(WOp::U32, 3, 0x01020304),
          num(WOp::U64, 4, 0x0102030405060708)},
         0,
         {1, 0, 0, 0, 1, 0xAB, 2, 0, 0, 0, 2, 1, 2, 3, 0, 0, 0, 4, 1, 2, 3, 4,
          4, 0, 0, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8}},
        {"null value with a length", 64, {put_len(1, true, 3, -3)}, -3, {}},
        // A length past 32 bits used to be cut short in the head and copied whole.
        {"length wider than the 32-bit field", SIZE_MAX, {put_len(1, false, size_t{1} << 32, -3)}, -3, {}},
        {"no records is an empty payload", 0, {}, 0, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t buf[64];
        std::memset(buf, 0xEE, sizeof buf);
        quorvane_tlv_writer w;
        quorvane_tlv_writer_init(&w, buf, c.capacity);
        for (size_t i = 0; i < c.ops.size(); i++) {
            SCOPED_TRACE(testing::Message() << "op " << i);
            const WOp &o = c.ops[i];
            int rc = 0;
            switch (o.kind) {
            case WOp::Put:
                rc = quorvane_tlv_put(&w, o.tag, o.null_value ? nullptr : o.value.data(), o.len);
                break;
            case WOp::U8: rc = quorvane_tlv_put_u8(&w, o.tag, static_cast<uint8_t>(o.num)); break;
            case WOp::U16: rc = quorvane_tlv_put_u16(&w, o.tag, static_cast<uint16_t>(o.num)); break;
            case WOp::U32: rc = quorvane_tlv_put_u32(&w, o.tag, static_cast<uint32_t>(o.num)); break;
            case WOp::U64: rc = quorvane_tlv_put_u64(&w, o.tag, o.num); break;
            }
            EXPECT_EQ(rc, o.rc);
        }
        size_t out_len = 777;
        ASSERT_EQ(quorvane_tlv_writer_finish(&w, &out_len), c.finish_rc);
        if (c.finish_rc == 0) {
            EXPECT_EQ(out_len, c.written.size());
        } else {
            EXPECT_EQ(out_len, 777u);
        }
        // The records that went in, and nothing touched after them.
        EXPECT_EQ(Bytes(buf, buf + c.written.size()), c.written);
        EXPECT_TRUE(std::all_of(buf + c.written.size(), buf + sizeof buf, [](uint8_t b) { return b == 0xEE; }));
    }
}

// ---------------------------------------------------------------- TLV reader and finders

struct RCase {
    const char *name;
    Bytes run;
    std::vector<std::pair<uint8_t, Bytes>> records;
    int end_rc;
};

TEST(ProtoTlvReader, WalkTable) {
    const Bytes r1 = record(1, str("one")), r2 = record(2, str("two!"));
    const std::vector<RCase> cases = {
        {"empty payload is zero records", {}, {}, -5},
        {"zero-length record", record(7, {}), {{7, {}}}, -5},
        {"repeated tags are all walked", cat(cat(r1, record(1, str("again"))), r2),
         {{1, str("one")}, {1, str("again")}, {2, str("two!")}}, -5},
        {"last record declares more than remains", cat(cat(r1, r2), cat(head(3, 10), str("short"))),
         {{1, str("one")}, {2, str("two!")}}, -3},
        {"declared length one past the end", cat(r1, cat(head(3, 2), str("x"))), {{1, str("one")}}, -3},
        {"truncated head", cat(r1, Bytes{4, 0, 0, 0}), {{1, str("one")}}, -3},
        {"single byte", {0}, {}, -3},
        {"length field all ones", cat(head(5, 0xFFFFFFFF), str("abc")), {}, -3},
        {"value running exactly to the end", record(6, pattern(1000, 4)), {{6, pattern(1000, 4)}}, -5},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // Exact-size heap copy, so a read past the run is caught under ASan.
        std::unique_ptr<uint8_t[]> run(new uint8_t[c.run.size() + 1]);
        if (!c.run.empty()) std::memcpy(run.get(), c.run.data(), c.run.size());
        const uint8_t *base = c.run.empty() ? nullptr : run.get();
        quorvane_tlv_reader r;
        quorvane_tlv_reader_init(&r, base, c.run.size());
        for (const auto &want : c.records) {
            uint8_t tag = 0;
            const uint8_t *v = nullptr;
            size_t len = 99;
            ASSERT_EQ(quorvane_tlv_next(&r, &tag, &v, &len), 0);
            EXPECT_EQ(tag, want.first);
            ASSERT_EQ(len, want.second.size());
            ASSERT_TRUE(v >= base && v + len <= base + c.run.size());
            EXPECT_EQ(Bytes(v, v + len), want.second);
        }
        const size_t pos = r.position;
        uint8_t tag = 0xEE;
        EXPECT_EQ(quorvane_tlv_next(&r, &tag, nullptr, nullptr), c.end_rc);
        EXPECT_EQ(tag, 0xEE);
        EXPECT_EQ(r.position, pos);
        EXPECT_EQ(quorvane_tlv_next(&r, nullptr, nullptr, nullptr), c.end_rc);  // stays put
        if (c.end_rc == -5) {
            EXPECT_EQ(pos, c.run.size());
        }
    }
}

struct FindCase {
    const char *name;
    enum Fn { Find, Range, Fixed } fn;
    Bytes run;
    uint8_t tag;
    size_t min_len, max_len;  // Range; Fixed uses min_len
    int rc;
    Bytes value;
};

TEST(ProtoTlvFind, Table) {
    const Bytes a = record(1, str("alpha")), b = record(2, str("beta"));
    const Bytes k31 = record(7, pattern(31, 1)), k32 = record(7, pattern(32, 2));
    const Bytes runaway = cat(head(9, 50), str("abc"));  // declares 50, holds 3
    const std::vector<FindCase> cases = {
        {"zero-length record has length 0", FindCase::Find, cat(a, record(4, {})), 4, 0, 0, 0, {}},
        {"first of repeated tags", FindCase::Find, cat(cat(a, record(1, str("second"))), b), 1, 0, 0, 0, str("alpha")},
        {"later tag found", FindCase::Find, cat(a, b), 2, 0, 0, 0, str("beta")},
        {"absent tag", FindCase::Find, cat(a, b), 3, 0, 0, -5, {}},
        {"empty payload", FindCase::Find, {}, 1, 0, 0, -5, {}},
        {"malformed record before the match", FindCase::Find, cat(a, cat(runaway, b)), 2, 0, 0, -3, {}},
        {"truncated head with the tag absent is -3", FindCase::Find, cat(a, Bytes{2, 0}), 3, 0, 0, -3, {}},
        {"records after the match are not examined", FindCase::Find, cat(b, runaway), 2, 0, 0, 0, str("beta")},
        {"fixed 32 on a record of 31", FindCase::Fixed, cat(a, k31), 7, 32, 32, -3, {}},
        {"fixed: a wrong first record is not skipped", FindCase::Fixed, cat(k31, k32), 7, 32, 32, -3, {}},
        {"fixed 32 on 32", FindCase::Fixed, cat(a, k32), 7, 32, 32, 0, pattern(32, 2)},
        {"fixed on an absent tag", FindCase::Fixed, a, 7, 32, 32, -5, {}},
        {"range: length at the minimum", FindCase::Range, a, 1, 5, 9, 0, str("alpha")},
        {"range: length at the maximum", FindCase::Range, a, 1, 2, 5, 0, str("alpha")},
        {"range: length below the minimum", FindCase::Range, a, 1, 6, 9, -3, {}},
        {"range: length above the maximum", FindCase::Range, a, 1, 0, 4, -3, {}},
        {"range: malformed run before the tag", FindCase::Range, cat(runaway, a), 1, 0, 9, -3, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<uint8_t[]> run(new uint8_t[c.run.size() + 1]);
        if (!c.run.empty()) std::memcpy(run.get(), c.run.data(), c.run.size());
        const uint8_t *base = c.run.empty() ? nullptr : run.get();
        const uint8_t *v = nullptr;
        size_t len = 99;
        int rc = 0;
        switch (c.fn) {
        case FindCase::Find: rc = quorvane_tlv_find(base, c.run.size(), c.tag, &v, &len); break;
        case FindCase::Range:
            rc = quorvane_tlv_find_bytes(base, c.run.size(), c.tag, c.min_len, c.max_len, &v, &len);
            break;
        case FindCase::Fixed:
            rc = quorvane_tlv_find_fixed(base, c.run.size(), c.tag, c.min_len, &v);
            len = c.min_len;
            break;
        }
        ASSERT_EQ(rc, c.rc);
        if (rc != 0) {
            EXPECT_EQ(v, nullptr);  // outputs written only on success
            continue;
        }
        ASSERT_TRUE(v >= base && v + len <= base + c.run.size());
        EXPECT_EQ(Bytes(v, v + len), c.value);
    }
}

TEST(ProtoTlvFind, NullBuffer) {
    const uint8_t *v = nullptr;
    size_t len = 0;
    EXPECT_EQ(quorvane_tlv_find(nullptr, 0, 1, &v, &len), -5);
    EXPECT_EQ(quorvane_tlv_find(nullptr, 10, 1, &v, &len), -3);
    quorvane_tlv_reader r;
    quorvane_tlv_reader_init(&r, nullptr, 10);
    EXPECT_EQ(quorvane_tlv_next(&r, nullptr, &v, &len), -3);
    EXPECT_EQ(quorvane_tlv_next(nullptr, nullptr, &v, &len), -3);
}

struct GetCase {
    const char *name;
    int width;  // which getter
    Bytes value;
    int rc;
    uint64_t want;
};

// Runs one getter; its output must stay untouched when it refuses.
template <typename T>
int call_getter(int (*get)(const uint8_t *, size_t, T *), const uint8_t *v, size_t n, uint64_t *got) {
    T out = 0x5A;
    const int rc = get(v, n, &out);
    if (rc != 0) {
        EXPECT_EQ(out, T{0x5A});
    }
    *got = out;
    return rc;
}

TEST(ProtoTlvGet, ExactWidthTable) {
    const GetCase cases[] = {
        {"u8", 1, {0xAB}, 0, 0xAB},
        {"u8 of nothing", 1, {}, -3, 0},
        {"u8 of 2 bytes", 1, {0, 1}, -3, 0},
        {"u16 big-endian", 2, {0x01, 0x02}, 0, 0x0102},
        {"u16 of 1 byte", 2, {0x01}, -3, 0},
        {"u16 of 3 bytes", 2, {0, 1, 2}, -3, 0},
        {"u32 big-endian", 4, {0x01, 0x02, 0x03, 0x04}, 0, 0x01020304},
        {"u32 top bit", 4, {0x80, 0, 0, 0}, 0, 0x80000000},
        {"u32 of 8 bytes", 4, {0, 0, 0, 0, 0, 0, 0, 1}, -3, 0},
        {"u32 of 3 bytes", 4, {0, 0, 1}, -3, 0},
        {"u64 big-endian", 8, {1, 2, 3, 4, 5, 6, 7, 8}, 0, 0x0102030405060708},
        {"u64 all ones", 8, Bytes(8, 0xFF), 0, UINT64_MAX},
        {"u64 of 7 bytes", 8, Bytes(7, 1), -3, 0},
        {"u64 of 9 bytes", 8, Bytes(9, 1), -3, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const uint8_t *v = c.value.empty() ? reinterpret_cast<const uint8_t *>("") : c.value.data();
        uint64_t got = 0;
        int rc = 0;
        switch (c.width) {
        case 1: rc = call_getter(quorvane_tlv_get_u8, v, c.value.size(), &got); break;
        case 2: rc = call_getter(quorvane_tlv_get_u16, v, c.value.size(), &got); break;
        case 4: rc = call_getter(quorvane_tlv_get_u32, v, c.value.size(), &got); break;
        case 8: rc = call_getter(quorvane_tlv_get_u64, v, c.value.size(), &got); break;
        }
        ASSERT_EQ(rc, c.rc);
        if (rc == 0) {
            EXPECT_EQ(got, c.want);
        }
    }
    uint8_t o8;
    uint64_t o64;
    EXPECT_EQ(quorvane_tlv_get_u8(nullptr, 1, &o8), -3);
    EXPECT_EQ(quorvane_tlv_get_u64(reinterpret_cast<const uint8_t *>("12345678"), 8, nullptr), -3);
    EXPECT_EQ(quorvane_tlv_get_u64(nullptr, 8, &o64), -3);
}

// Builder and finders meet: what one writes the other reads back.
TEST(ProtoTlv, WriterOutputReadBack) {
    const Bytes envelope = pattern(200, 9);
    uint8_t buf[512];
    quorvane_tlv_writer w;
    quorvane_tlv_writer_init(&w, buf, sizeof buf);
    quorvane_tlv_put(&w, 20, envelope.data(), envelope.size());
    quorvane_tlv_put_u64(&w, 21, 0xDEADBEEFCAFEF00D);
    quorvane_tlv_put_u16(&w, 22, 443);
    quorvane_tlv_put(&w, 23, nullptr, 0);
    size_t n = 0;
    ASSERT_EQ(quorvane_tlv_writer_finish(&w, &n), 0);
    ASSERT_EQ(n, 205u + 13 + 7 + 5);

    const uint8_t *v = nullptr;
    size_t len = 0;
    ASSERT_EQ(quorvane_tlv_find_bytes(buf, n, 20, 1, 4096, &v, &len), 0);
    EXPECT_EQ(Bytes(v, v + len), envelope);
    uint64_t u64 = 0;
    ASSERT_EQ(quorvane_tlv_find_fixed(buf, n, 21, 8, &v), 0);
    ASSERT_EQ(quorvane_tlv_get_u64(v, 8, &u64), 0);
    EXPECT_EQ(u64, 0xDEADBEEFCAFEF00Du);
    uint16_t u16 = 0;
    ASSERT_EQ(quorvane_tlv_find(buf, n, 22, &v, &len), 0);
    ASSERT_EQ(quorvane_tlv_get_u16(v, len, &u16), 0);
    EXPECT_EQ(u16, 443);
    ASSERT_EQ(quorvane_tlv_find(buf, n, 23, &v, &len), 0);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(quorvane_tlv_find(buf, n, 24, &v, &len), -5);
}

// ---------------------------------------------------------------- sync cursors

Bytes cursor_entry(uint8_t id_fill, uint64_t cursor) {
    Bytes e(16, id_fill);
    be(e, cursor, 8);
    return e;
}

TEST(ProtoSyncCursor, LookupTable) {
    const Bytes id1(16, 0x11), id2(16, 0x22), id3(16, 0x33);
    const Bytes e1 = cursor_entry(0x11, 0x0102030405060708), e2 = cursor_entry(0x22, 42);
    const struct {
        const char *name;
        Bytes table;
        Bytes id;
        uint64_t want;
    } cases[] = {
        {"first entry", cat(e1, e2), id1, 0x0102030405060708},
        {"second entry", cat(e1, e2), id2, 42},
        {"absent id", cat(e1, e2), id3, 0},
        {"first of duplicate ids", cat(cat(e2, cursor_entry(0x22, 7)), e1), id2, 42},
        {"47-byte table: only the first entry is whole", slice(cat(e1, e2), 0, 47), id2, 0},
        {"47-byte table still finds its whole entry", slice(cat(e1, e2), 0, 47), id1, 0x0102030405060708},
        {"trailing bytes after whole entries ignored", cat(cat(e1, e2), Bytes(5, 0x33)), id2, 42},
        {"table shorter than one entry", slice(e1, 0, 23), id1, 0},
        {"empty table", {}, id1, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // Exact-size copy: a look at the partial entry's bytes would be caught under ASan.
        std::unique_ptr<uint8_t[]> t(new uint8_t[c.table.size() + 1]);
        if (!c.table.empty()) std::memcpy(t.get(), c.table.data(), c.table.size());
        EXPECT_EQ(quorvane_sync_cursor_lookup(t.get(), c.table.size(), c.id.data()), c.want);
    }
    EXPECT_EQ(quorvane_sync_cursor_lookup(nullptr, 48, id1.data()), 0u);
    EXPECT_EQ(quorvane_sync_cursor_lookup(e1.data(), e1.size(), nullptr), 0u);
}

}  // namespace
