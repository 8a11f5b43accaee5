// Search-index records: the exact bytes of a small record, round trips at the
// length limits (n accepted, n + 1 refused) for texts, counts and whole
// records, and every refusal of encode, decode and next with its promise that
// nothing is written or moved.
#include "quorvane_sidx.h"

#include "qv_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using qvtest::unhex;

const uint8_t kConv[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                           0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};

// The entry points at `text`, which must outlive it.
quorvane_sidx_entry make_entry(uint64_t seed, std::string_view text) {
    quorvane_sidx_entry e{};
    for (size_t i = 0; i < sizeof e.author; i++) e.author[i] = static_cast<uint8_t>(seed + i);
    for (size_t i = 0; i < sizeof e.author_device; i++) e.author_device[i] = static_cast<uint8_t>(seed * 7 + i);
    e.position = seed * 1000003;
    e.msg_id = ~seed;
    e.time = 1700000000000ull + seed;
    e.type = static_cast<uint8_t>(seed % 17);
    e.edited = seed & 1;
    e.text = text.empty() ? nullptr : text.data();
    e.text_len = text.size();
    return e;
}

void expect_same(const quorvane_sidx_entry &got, const quorvane_sidx_entry &want) {
    EXPECT_EQ(0, std::memcmp(got.author, want.author, sizeof got.author));
    EXPECT_EQ(0, std::memcmp(got.author_device, want.author_device, sizeof got.author_device));
    EXPECT_EQ(got.position, want.position);
    EXPECT_EQ(got.msg_id, want.msg_id);
    EXPECT_EQ(got.time, want.time);
    EXPECT_EQ(got.type, want.type);
    EXPECT_EQ(got.edited, want.edited);
    ASSERT_EQ(got.text_len, want.text_len);
    if (want.text_len) {
        EXPECT_EQ(0, std::memcmp(got.text, want.text, want.text_len));
    }
}

Bytes encode(const std::vector<quorvane_sidx_entry> &entries) {
    size_t text = 0;
    for (const auto &e : entries) text += e.text_len;
    Bytes out(quorvane_sidx_encoded_size(entries.size(), text));
    size_t written = 0;
    EXPECT_EQ(quorvane_sidx_encode(kConv, entries.data(), entries.size(), out.data(), out.size(), &written), 0);
    EXPECT_EQ(written, out.size());
    return out;
}

// Reads every entry back, checks it against `want`, and that the record ends there.
void expect_decodes_to(const Bytes &rec, const std::vector<quorvane_sidx_entry> &want) {
    quorvane_sidx_cursor cur;
    ASSERT_EQ(quorvane_sidx_decode(rec.data(), rec.size(), &cur), 0);
    EXPECT_EQ(0, std::memcmp(quorvane_sidx_conv(&cur), kConv, 16));
    ASSERT_EQ(quorvane_sidx_left(&cur), want.size());
    quorvane_sidx_entry e;
    for (size_t i = 0; i < want.size(); i++) {
        ASSERT_EQ(quorvane_sidx_next(&cur, &e), 1) << "entry " << i;
        expect_same(e, want[i]);
        if (e.text_len) {
            EXPECT_GE(reinterpret_cast<const uint8_t *>(e.text), rec.data()) << "reading does not copy";
            EXPECT_LE(reinterpret_cast<const uint8_t *>(e.text) + e.text_len, rec.data() + rec.size());
        }
    }
    EXPECT_EQ(quorvane_sidx_next(&cur, &e), 0);
    EXPECT_EQ(quorvane_sidx_left(&cur), 0u);
}

TEST(SidxRecord, GoldenBytes) {
    quorvane_sidx_entry e{};
    std::memset(e.author, 0xaa, sizeof e.author);
    std::memset(e.author_device, 0xbb, sizeof e.author_device);
    e.position = 0x0102030405060708ull;
    e.msg_id = 9;
    e.time = 0x0000018c2a3b4c5dull;
    e.type = 1;
    e.edited = 1;
    e.text = "hi";
    e.text_len = 2;
    const Bytes golden = unhex("51565349" "01" "000000" "00112233445566778899aabbccddeeff" "00000001"
                               "0102030405060708" "0000000000000009" "0000018c2a3b4c5d" +
                               std::string(32, 'a') + std::string(64, 'b') + "01" "01" "0000" "00000002" "6869");
    ASSERT_EQ(golden.size(), 28u + 80 + 2);
    EXPECT_EQ(encode({e}), golden);
    expect_decodes_to(golden, {e});
}

TEST(SidxRecord, RoundTripsAtTextLimits) {
    const std::string t4170(QV_SIDX_TEXT_MAX, 'x'), t4169(QV_SIDX_TEXT_MAX - 1, 'y');
    const std::string binary("a\0\xff\n\x80z", 6);
    struct Case {
        const char *name;
        std::vector<quorvane_sidx_entry> entries;
    };
    quorvane_sidx_entry extreme = make_entry(3, "max");
    extreme.position = extreme.msg_id = extreme.time = UINT64_MAX;
    extreme.type = extreme.edited = 0xff;
    const Case cases[] = {
        {"no entries", {}},
        {"one empty text", {make_entry(1, "")}},
        {"text of 4169", {make_entry(2, t4169)}},
        {"text of 4170", {make_entry(2, t4170)}},
        {"binary text", {make_entry(4, binary)}},
        {"all-ones fields", {extreme}},
        {"several", {make_entry(5, "one"), make_entry(6, ""), make_entry(7, t4170), make_entry(8, "last")}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes rec = encode(c.entries);
        if (c.entries.empty()) {
            EXPECT_EQ(rec.size(), QV_SIDX_HEADER_LEN);
        }
        expect_decodes_to(rec, c.entries);

        // one byte short of the record: refused, buffer and length untouched
        Bytes small(rec.size() - 1, 0x5a);
        size_t written = 77;
        EXPECT_EQ(quorvane_sidx_encode(kConv, c.entries.data(), c.entries.size(), small.data(), small.size(), &written), -1);
        EXPECT_EQ(written, 77u);
        EXPECT_EQ(small, Bytes(rec.size() - 1, 0x5a));
    }
}

TEST(SidxRecord, EncodedSizeLimits) {
    struct Case {
        size_t count, text, want;
    };
    const Case cases[] = {
        {0, 0, 28},
        {3, 10, 28 + 240 + 10},
        {20000, 0, 28 + 80 * 20000},
        {20001, 0, 0},
        {0, 16777188, 16777216},
        {0, 16777189, 0},                         // 16777217 bytes
        {100, 16777216 - 28 - 8000, 16777216},
        {100, 16777216 - 28 - 8000 + 1, 0},
        {0, 16777217, 0},
        {0, SIZE_MAX, 0},
        {SIZE_MAX, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.count) + " entries, " + std::to_string(c.text) + " text bytes");
        EXPECT_EQ(quorvane_sidx_encoded_size(c.count, c.text), c.want);
    }
}

TEST(SidxRecord, CountLimit) {
    std::vector<quorvane_sidx_entry> entries(QV_SIDX_COUNT_MAX + 1);
    for (size_t i = 0; i < entries.size(); i++) entries[i] = make_entry(i, "");
    entries.pop_back();
    Bytes rec = encode(entries);
    ASSERT_EQ(rec.size(), 28u + 80 * 20000);
    expect_decodes_to(rec, entries);

    entries.push_back(make_entry(20000, ""));
    Bytes out(28 + 80 * 20001 + 1);
    size_t written = 0;
    EXPECT_EQ(quorvane_sidx_encode(kConv, entries.data(), entries.size(), out.data(), out.size(), &written), -1);
    EXPECT_EQ(quorvane_sidx_encoded_size(entries.size(), 0), 0u);
}

// The largest record: 3948 entries whose texts add up to exactly 16 MiB with
// the header and entry heads; one more text byte makes it too big.
TEST(SidxRecord, WholeRecordLimit) {
    const size_t n = 3948, text_total = QV_SIDX_RECORD_MAX - 28 - 80 * n;
    std::string text(QV_SIDX_TEXT_MAX, 't');
    std::vector<quorvane_sidx_entry> entries;
    size_t left = text_total;
    for (size_t i = 0; i < n; i++) {
        size_t len = std::min<size_t>(QV_SIDX_TEXT_MAX, left);  // full texts first, the rest in the last
        quorvane_sidx_entry e = make_entry(i, "");
        e.text = text.data();
        e.text_len = len;
        entries.push_back(e);
        left -= len;
    }
    ASSERT_EQ(left, 0u);
    ASSERT_LT(entries.back().text_len, QV_SIDX_TEXT_MAX) << "room to add one byte";
    Bytes rec = encode(entries);
    ASSERT_EQ(rec.size(), QV_SIDX_RECORD_MAX);
    expect_decodes_to(rec, entries);

    entries.back().text_len++;
    Bytes out(QV_SIDX_RECORD_MAX + 1);
    size_t written = 0;
    EXPECT_EQ(quorvane_sidx_encode(kConv, entries.data(), n, out.data(), out.size(), &written), -1);

    rec.push_back(0);
    quorvane_sidx_cursor cur;
    EXPECT_EQ(quorvane_sidx_decode(rec.data(), rec.size(), &cur), -1) << "16777217 bytes";
}

TEST(SidxRecord, EncodeRefusalsWriteNothing) {
    const std::string t4171(QV_SIDX_TEXT_MAX + 1, 'x');
    quorvane_sidx_entry ok = make_entry(1, "ok"), too_long = make_entry(2, t4171), no_text = make_entry(3, "");
    no_text.text_len = 5;
    quorvane_sidx_entry list[] = {ok, too_long, no_text};
    struct Case {
        const char *name;
        const uint8_t *conv;
        const quorvane_sidx_entry *entries;
        size_t count;
        bool null_out, null_written;
    };
    const Case cases[] = {
        {"null output", kConv, list, 1, true, false},
        {"null written length", kConv, list, 1, false, true},
        {"null conversation", nullptr, list, 1, false, false},
        {"null entries", kConv, nullptr, 1, false, false},
        {"text of 4171", kConv, list, 2, false, false},
        {"text length without pointer", kConv, list + 2, 1, false, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes out(16384, 0x5a);
        size_t written = 77;
        EXPECT_EQ(quorvane_sidx_encode(c.conv, c.entries, c.count, c.null_out ? nullptr : out.data(), out.size(),
                                       c.null_written ? nullptr : &written),
                  -1);
        EXPECT_EQ(written, 77u);
        EXPECT_EQ(out, Bytes(16384, 0x5a));
    }
    // the header alone needs 28 bytes of room
    Bytes out(27);
    size_t written = 0;
    EXPECT_EQ(quorvane_sidx_encode(kConv, nullptr, 0, out.data(), out.size(), &written), -1);
}

TEST(SidxRecord, DecodeRefusals) {
    const Bytes good = encode({make_entry(1, "abc")});
    struct Case {
        const char *name;
        size_t at;        // byte to change, or SIZE_MAX
        uint8_t value;
        size_t len;       // length passed
    };
    const Case cases[] = {
        {"bad magic", 3, 'J', good.size()},
        {"version 0", 4, 0, good.size()},
        {"version 2", 4, 2, good.size()},
        {"reserved byte 5", 5, 1, good.size()},
        {"reserved byte 7", 7, 0x80, good.size()},
        {"27 bytes", SIZE_MAX, 0, 27},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes rec = good;
        if (c.at != SIZE_MAX) rec[c.at] = c.value;
        quorvane_sidx_cursor cur;
        std::memset(&cur, 0x5a, sizeof cur);
        EXPECT_EQ(quorvane_sidx_decode(rec.data(), c.len, &cur), -1);
        const uint8_t *raw = reinterpret_cast<const uint8_t *>(&cur);
        for (size_t i = 0; i < sizeof cur; i++) ASSERT_EQ(raw[i], 0x5a) << "cursor written at byte " << i;
    }
    // count 20001 in a header of its own; 20000 passes the header check
    Bytes header = encode({});
    header[24] = 0, header[25] = 0, header[26] = 0x4e, header[27] = 0x21;
    quorvane_sidx_cursor cur;
    EXPECT_EQ(quorvane_sidx_decode(header.data(), header.size(), &cur), -1);
    header[27] = 0x20;
    ASSERT_EQ(quorvane_sidx_decode(header.data(), header.size(), &cur), 0);
    EXPECT_EQ(quorvane_sidx_left(&cur), 20000u);

    EXPECT_EQ(quorvane_sidx_decode(nullptr, 28, &cur), -1);
    EXPECT_EQ(quorvane_sidx_decode(good.data(), good.size(), nullptr), -1);
    EXPECT_EQ(quorvane_sidx_left(nullptr), 0u);
    EXPECT_EQ(quorvane_sidx_conv(nullptr), nullptr);
}

// Records that pass the header check but hold a bad entry: `next` refuses it
// on every call and leaves the cursor where it was.
TEST(SidxRecord, NextRefusalsLeaveCursor) {
    const std::string t4171(QV_SIDX_TEXT_MAX + 1, 'x');
    const quorvane_sidx_entry first = make_entry(1, "first");
    const Bytes two = encode({first, make_entry(2, "second")});
    const size_t second = 28 + 80 + 5;  // offset of the second entry
    auto with = [&](size_t at, std::initializer_list<uint8_t> bytes) {
        Bytes r = two;
        for (uint8_t b : bytes) r[at++] = b;
        return r;
    };
    Bytes long_text = two;
    long_text.resize(second + 80);
    long_text[second + 76] = 0, long_text[second + 77] = 0, long_text[second + 78] = 0x10, long_text[second + 79] = 0x4b;
    long_text.insert(long_text.end(), t4171.begin(), t4171.end());
    Bytes extra_count = two;
    extra_count[27] = 3;
    struct Case {
        const char *name;
        Bytes rec;
    };
    const Case cases[] = {
        {"reserved byte 74", with(second + 74, {1})},
        {"reserved byte 75", with(second + 75, {0xff})},
        {"text of 4171 with its bytes present", long_text},
        {"text beyond the end", with(second + 76, {0, 0, 0, 7})},
        {"79 bytes of entry", Bytes(two.begin(), two.begin() + second + 79)},
        {"count above the entries present", extra_count},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        quorvane_sidx_cursor cur;
        ASSERT_EQ(quorvane_sidx_decode(c.rec.data(), c.rec.size(), &cur), 0);
        quorvane_sidx_entry e;
        ASSERT_EQ(quorvane_sidx_next(&cur, &e), 1);
        expect_same(e, first);
        if (std::string(c.name) == "count above the entries present") {
            ASSERT_EQ(quorvane_sidx_next(&cur, &e), 1);  // the second entry is whole
        }
        const quorvane_sidx_cursor before = cur;
        for (int again = 0; again < 2; again++) {
            EXPECT_EQ(quorvane_sidx_next(&cur, &e), -1);
            EXPECT_EQ(cur.next, before.next);
            EXPECT_EQ(cur.left, before.left);
            EXPECT_EQ(cur.end, before.end);
        }
    }
    quorvane_sidx_cursor cur;
    quorvane_sidx_entry e;
    ASSERT_EQ(quorvane_sidx_decode(two.data(), two.size(), &cur), 0);
    EXPECT_EQ(quorvane_sidx_next(nullptr, &e), -1);
    EXPECT_EQ(quorvane_sidx_next(&cur, nullptr), -1);
    EXPECT_EQ(quorvane_sidx_left(&cur), 2u);
}

}  // namespace
