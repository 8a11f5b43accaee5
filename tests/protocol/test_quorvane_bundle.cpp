// Prekey bundles, instance directories and listing names: round trips at the
// limits of every field, the reading rules as tables of hand-made records, the
// cursor walk over several entries, and strict UTF-8 in listing names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "quorvane_bundle.h"

namespace {

using bytes = std::vector<uint8_t>;

// One TLV record, written by hand so that malformed lengths are easy to make.
bytes rec(uint8_t tag, const bytes &value) {
    bytes r(5 + value.size());
    r[0] = tag;
    for (int i = 0; i < 4; i++) r[1 + i] = static_cast<uint8_t>(value.size() >> (24 - 8 * i));
    std::copy(value.begin(), value.end(), r.begin() + 5);
    return r;
}
bytes fill(size_t n, uint8_t v) { return bytes(n, v); }
bytes text(const std::string &s) { return bytes(s.begin(), s.end()); }
bytes cat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

/* ---- Prekey bundles ------------------------------------------------------ */

quorvane_prekey_bundle sample_bundle(bool with_opk) {
    quorvane_prekey_bundle b{};
    memset(b.device_key, 0x11, sizeof b.device_key);
    memset(b.signed_prekey, 0x22, sizeof b.signed_prekey);
    memset(b.signature, 0x33, sizeof b.signature);
    b.signed_prekey_id = 0x01020304;
    if (with_opk) {
        b.has_one_time_prekey = 1;
        memset(b.one_time_prekey, 0x44, sizeof b.one_time_prekey);
        b.one_time_prekey_id = 0xA0B0C0D0;
    }
    return b;
}

void expect_same(const quorvane_prekey_bundle &a, const quorvane_prekey_bundle &b) {
    EXPECT_EQ(0, memcmp(a.device_key, b.device_key, 32));
    EXPECT_EQ(0, memcmp(a.signed_prekey, b.signed_prekey, 32));
    EXPECT_EQ(0, memcmp(a.signature, b.signature, 64));
    EXPECT_EQ(a.signed_prekey_id, b.signed_prekey_id);
    EXPECT_EQ(a.has_one_time_prekey, b.has_one_time_prekey);
    EXPECT_EQ(0, memcmp(a.one_time_prekey, b.one_time_prekey, 32));
    EXPECT_EQ(a.one_time_prekey_id, b.one_time_prekey_id);
}

// The four required records with valid lengths.
const bytes kIk = rec(4, fill(32, 0x11)), kSpk = rec(46, fill(32, 0x22)), kSig = rec(47, fill(64, 0x33)),
            kSpkId = rec(48, {1, 2, 3, 4}), kOpk = rec(49, fill(32, 0x44)), kOpkId = rec(50, {0xA0, 0xB0, 0xC0, 0xD0});
const bytes kBase = cat({kIk, kSpk, kSig, kSpkId});

}  // namespace

TEST(PrekeyBundle, RoundTripAtExactCapacity) {
    struct row {
        const char *name;
        bool opk;
        size_t len;
    } rows[] = {{"without one-time prekey", false, QV_BUNDLE_BASE_LEN}, {"with one-time prekey", true, QV_BUNDLE_MAX_LEN}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        const quorvane_prekey_bundle in = sample_bundle(r.opk);
        bytes buf(r.len);
        size_t n = 0;
        ASSERT_EQ(quorvane_prekey_bundle_encode(&in, buf.data(), buf.size(), &n), 0);
        EXPECT_EQ(n, r.len);
        // ids are big-endian, in the order the records are written
        EXPECT_EQ(buf, r.opk ? cat({kBase, kOpk, kOpkId}) : kBase);
        quorvane_prekey_bundle out;
        ASSERT_EQ(quorvane_prekey_bundle_decode(buf.data(), n, &out), 0);
        expect_same(in, out);

        size_t untouched = 7;
        EXPECT_EQ(quorvane_prekey_bundle_encode(&in, buf.data(), r.len - 1, &untouched), -4);
        EXPECT_EQ(untouched, 7u);
    }
    const quorvane_prekey_bundle in = sample_bundle(true);
    uint8_t small[36];
    size_t n;
    EXPECT_EQ(quorvane_prekey_bundle_encode(&in, small, sizeof small, &n), -4);
}

TEST(PrekeyBundle, DecodeRules) {
    struct row {
        const char *name;
        bytes payload;
        int rc;
        int has_opk;
    } rows[] = {
        {"required records only", kBase, 0, 0},
        {"one-time pair", cat({kBase, kOpk, kOpkId}), 0, 1},
        {"pair first, any order", cat({kOpkId, kOpk, kSpkId, kSig, kSpk, kIk}), 0, 1},
        {"unknown tags skipped", cat({rec(99, {1}), kBase, rec(0, {})}), 0, 0},
        {"tag 50 without tag 49", cat({kBase, kOpkId}), 0, 0},
        {"tag 49 without tag 50", cat({kBase, kOpk}), -3, 0},
        {"tag 49 of 31 bytes", cat({kBase, rec(49, fill(31, 1)), kOpkId}), -3, 0},
        {"tag 49 of 33 bytes", cat({kBase, rec(49, fill(33, 1)), kOpkId}), -3, 0},
        {"tag 50 of 3 bytes", cat({kBase, kOpk, rec(50, {1, 2, 3})}), -3, 0},
        {"tag 50 of 5 bytes", cat({kBase, kOpk, rec(50, fill(5, 1))}), -3, 0},
        {"signature of 63 bytes", cat({kIk, kSpk, rec(47, fill(63, 3)), kSpkId}), -3, 0},
        {"signature of 65 bytes", cat({kIk, kSpk, rec(47, fill(65, 3)), kSpkId}), -3, 0},
        {"device key of 31 bytes", cat({rec(4, fill(31, 1)), kSpk, kSig, kSpkId}), -3, 0},
        {"device key of 33 bytes", cat({rec(4, fill(33, 1)), kSpk, kSig, kSpkId}), -3, 0},
        {"prekey id of 3 bytes", cat({kIk, kSpk, kSig, rec(48, {1, 2, 3})}), -3, 0},
        {"first of two device keys decides", cat({rec(4, fill(31, 1)), kIk, kSpk, kSig, kSpkId}), -3, 0},
        {"no device key", cat({kSpk, kSig, kSpkId}), -5, 0},
        {"no signed prekey", cat({kIk, kSig, kSpkId}), -5, 0},
        {"no signature", cat({kIk, kSpk, kSpkId}), -5, 0},
        {"no prekey id", cat({kIk, kSpk, kSig}), -5, 0},
        {"empty", {}, -5, 0},
        {"trailing partial head", cat({kBase, {49, 0, 0}}), -3, 0},
        {"last value runs past the end", cat({kBase, {49, 0, 0, 0, 32, 1}}), -3, 0},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        quorvane_prekey_bundle out;
        memset(&out, 0x5A, sizeof out);
        const uint8_t dummy = 0;
        EXPECT_EQ(quorvane_prekey_bundle_decode(r.payload.empty() ? &dummy : r.payload.data(), r.payload.size(), &out),
                  r.rc);
        if (r.rc == 0) {
            EXPECT_EQ(out.has_one_time_prekey, r.has_opk);
            EXPECT_EQ(out.signed_prekey_id, 0x01020304u);
            if (r.has_opk) {
                EXPECT_EQ(out.one_time_prekey_id, 0xA0B0C0D0u);
            }
        } else {
            EXPECT_EQ(out.signed_prekey_id, 0x5A5A5A5Au);  // left alone on failure
        }
    }
}

TEST(PrekeyBundle, NullArguments) {
    quorvane_prekey_bundle b = sample_bundle(false);
    uint8_t buf[QV_BUNDLE_MAX_LEN];
    size_t n;
    EXPECT_EQ(quorvane_prekey_bundle_encode(nullptr, buf, sizeof buf, &n), -1);
    EXPECT_EQ(quorvane_prekey_bundle_encode(&b, nullptr, sizeof buf, &n), -1);
    EXPECT_EQ(quorvane_prekey_bundle_encode(&b, buf, sizeof buf, nullptr), -1);
    EXPECT_EQ(quorvane_prekey_bundle_decode(nullptr, 0, &b), -1);
    EXPECT_EQ(quorvane_prekey_bundle_decode(kBase.data(), kBase.size(), nullptr), -1);
}

/* ---- Instance directory -------------------------------------------------- */

namespace {

// An entry at every limit: longest texts, all categories and conversations.
quorvane_instdir_entry full_entry(uint8_t seed) {
    quorvane_instdir_entry e;
    memset(&e, 0, sizeof e);
    memset(e.instance_id, seed, sizeof e.instance_id);
    memset(e.name, 'N', QV_INSTDIR_NAME_MAX);
    memset(e.description, 'D', QV_INSTDIR_DESC_MAX);
    e.byte60 = 0xFE;
    e.role = QV_INSTDIR_ROLE_MAX;
    e.u32_40 = 0x11223344;
    e.has_avatar = 1;
    memset(e.avatar_digest, 0xAB, sizeof e.avatar_digest);
    e.category_count = QV_INSTDIR_CATEGORIES_MAX;
    for (size_t i = 0; i < QV_INSTDIR_CATEGORIES_MAX; i++) {
        e.category_index[i] = static_cast<uint8_t>(i);
        memset(e.category_name[i], 'a' + static_cast<int>(i), QV_INSTDIR_CATEGORY_NAME_MAX);
    }
    e.conversation_count = QV_INSTDIR_CONVS_MAX;
    for (size_t i = 0; i < QV_INSTDIR_CONVS_MAX; i++) {
        memset(e.conversation_id[i], static_cast<int>(i), QV_INSTDIR_ID_LEN);
        e.conversation_category[i] = static_cast<uint8_t>(i % 17 == 16 ? QV_INSTDIR_NO_CATEGORY : i % 17);
        e.conversation_position[i] = static_cast<uint8_t>(255 - i);
        e.conversation_flags[i] = i == 0 ? QV_INSTDIR_CONV_DEFAULT : 0;
        e.conversation_u32[i] = 0xF0000000u + static_cast<uint32_t>(i);
    }
    return e;
}

void expect_same(const quorvane_instdir_entry &a, const quorvane_instdir_entry &b) {
    EXPECT_EQ(0, memcmp(a.instance_id, b.instance_id, sizeof a.instance_id));
    EXPECT_EQ(a.byte60, b.byte60);
    EXPECT_EQ(a.role, b.role);
    EXPECT_EQ(a.u32_40, b.u32_40);
    EXPECT_STREQ(a.name, b.name);
    EXPECT_STREQ(a.description, b.description);
    EXPECT_EQ(a.has_avatar, b.has_avatar);
    if (a.has_avatar) {
        EXPECT_EQ(0, memcmp(a.avatar_digest, b.avatar_digest, sizeof a.avatar_digest));
    }
    ASSERT_EQ(a.category_count, b.category_count);
    for (size_t i = 0; i < a.category_count; i++) {
        EXPECT_EQ(a.category_index[i], b.category_index[i]) << i;
        EXPECT_STREQ(a.category_name[i], b.category_name[i]) << i;
    }
    ASSERT_EQ(a.conversation_count, b.conversation_count);
    for (size_t i = 0; i < a.conversation_count; i++) {
        EXPECT_EQ(0, memcmp(a.conversation_id[i], b.conversation_id[i], QV_INSTDIR_ID_LEN)) << i;
        EXPECT_EQ(a.conversation_category[i], b.conversation_category[i]) << i;
        EXPECT_EQ(a.conversation_position[i], b.conversation_position[i]) << i;
        EXPECT_EQ(a.conversation_flags[i], b.conversation_flags[i]) << i;
        EXPECT_EQ(a.conversation_u32[i], b.conversation_u32[i]) << i;
    }
}

bytes append_all(std::initializer_list<quorvane_instdir_entry> entries) {
    bytes buf(64 * 1024);
    quorvane_tlv_writer w;
    quorvane_tlv_writer_init(&w, buf.data(), buf.size());
    for (const auto &e : entries) EXPECT_EQ(quorvane_instdir_append(&w, &e), 0);
    size_t n = 0;
    EXPECT_EQ(quorvane_tlv_writer_finish(&w, &n), 0);
    buf.resize(n);
    return buf;
}

const bytes kId = rec(56, fill(16, 7)), kName = rec(57, text("Lounge"));

struct walk {
    int rc;
    size_t cursor;
    quorvane_instdir_entry e;
};
walk next_entry(const bytes &dir, size_t cursor = 0) {
    walk w{0, cursor, {}};
    const uint8_t dummy = 0;
    w.rc = quorvane_instdir_next(dir.empty() ? &dummy : dir.data(), dir.size(), &w.cursor, &w.e);
    return w;
}

}  // namespace

TEST(InstanceDirectory, RoundTripAtLimits) {
    quorvane_instdir_entry minimal;
    memset(&minimal, 0, sizeof minimal);
    minimal.name[0] = 'x';
    for (const auto &in : {full_entry(1), minimal}) {
        SCOPED_TRACE(in.name);
        const bytes dir = append_all({in});
        const walk w = next_entry(dir);
        ASSERT_EQ(w.rc, 0);
        EXPECT_EQ(w.cursor, dir.size());
        expect_same(in, w.e);
        EXPECT_EQ(next_entry(dir, w.cursor).rc, -5);
    }
}

TEST(InstanceDirectory, TwoEntriesAndTheCursor) {
    quorvane_instdir_entry a = full_entry(1), b = full_entry(2);
    strcpy(b.name, "second");
    b.has_avatar = 0;
    b.description[0] = '\0';
    const bytes first = append_all({a});
    const bytes dir = append_all({a, b});

    walk w = next_entry(dir);
    ASSERT_EQ(w.rc, 0);
    EXPECT_EQ(w.cursor, first.size());  // the second tag 56
    EXPECT_EQ(dir[w.cursor], QV_INSTDIR_TAG_ID);
    expect_same(a, w.e);
    w = next_entry(dir, w.cursor);
    ASSERT_EQ(w.rc, 0);
    EXPECT_EQ(w.cursor, dir.size());
    expect_same(b, w.e);
    w = next_entry(dir, w.cursor);
    EXPECT_EQ(w.rc, -5);
    EXPECT_EQ(w.cursor, dir.size());
}

TEST(InstanceDirectory, EntryRules) {
    bytes cats17, convs129;
    for (int i = 0; i < 17; i++) cats17 = cat({cats17, rec(61, cat({{static_cast<uint8_t>(i)}, text(std::string("c").append(std::to_string(i)))}))});
    for (int i = 0; i < 129; i++) convs129 = cat({convs129, rec(62, fill(23, static_cast<uint8_t>(i)))});
    bytes cats15, convs127;
    for (int i = 0; i < 15; i++) cats15 = cat({cats15, rec(61, cat({{static_cast<uint8_t>(i)}, text(std::string("c").append(std::to_string(i)))}))});
    for (int i = 0; i < 127; i++) convs127 = cat({convs127, rec(62, fill(23, static_cast<uint8_t>(i)))});
    const bytes cats16 = cat({cats15, rec(61, cat({{15}, text("c15")}))});
    const bytes convs128 = cat({convs127, rec(62, fill(23, 127))});
    struct row {
        const char *name;
        bytes records;  // after the tag-56 record
        int rc;
        bool passed = false;  // refused, yet the walk went past the entry
    } rows[] = {
        {"name of 1 byte", rec(57, text("x")), 0},
        {"name of 63 bytes", rec(57, fill(63, 'n')), 0},
        {"name of 64 bytes", rec(57, fill(64, 'n')), -3},
        {"empty name", rec(57, {}), -3},
        {"name with NUL", rec(57, text(std::string("a\0b", 3))), -3},
        {"no name", rec(58, text("about")), -3, true},
        {"description of 0 bytes", cat({kName, rec(58, {})}), 0},
        {"description of 255 bytes", cat({kName, rec(58, fill(255, 'd'))}), 0},
        {"description of 256 bytes", cat({kName, rec(58, fill(256, 'd'))}), -3},
        {"description with NUL", cat({kName, rec(58, text(std::string("a\0", 2)))}), -3},
        {"avatar digest of 32 bytes", cat({kName, rec(71, fill(32, 1))}), 0},
        {"avatar digest of 31 bytes", cat({kName, rec(71, fill(31, 1))}), -3},
        {"avatar digest of 33 bytes", cat({kName, rec(71, fill(33, 1))}), -3},
        {"tag 60 of 2 bytes", cat({kName, rec(60, {1, 2})}), -3},
        {"tag 60 of 0 bytes", cat({kName, rec(60, {})}), -3},
        {"role 2", cat({kName, rec(59, {2})}), 0},
        {"role 3", cat({kName, rec(59, {3})}), -3},
        {"role of 2 bytes", cat({kName, rec(59, {0, 0})}), -3},
        {"tag 40 of 3 bytes", cat({kName, rec(40, {1, 2, 3})}), -3},
        {"tag 40 of 5 bytes", cat({kName, rec(40, fill(5, 1))}), -3},
        {"category of 2 bytes", cat({kName, rec(61, {0, 'c'})}), 0},
        {"category of 48 bytes", cat({kName, rec(61, cat({{0}, fill(47, 'c')}))}), 0},
        {"category of 49 bytes", cat({kName, rec(61, cat({{0}, fill(48, 'c')}))}), -3},
        {"category without name", cat({kName, rec(61, {0})}), -3},
        {"category name with NUL", cat({kName, rec(61, {0, 'a', 0})}), -3},
        {"17 categories", cat({kName, cats17}), 0},
        {"malformed 16th category", cat({kName, cats15, rec(61, {0})}), -3},
        {"17th category without name", cat({kName, cats16, rec(61, {0})}), 0},
        {"17th category of 49 bytes", cat({kName, cats16, rec(61, cat({{0}, fill(48, 'c')}))}), 0},
        {"17th category name with NUL", cat({kName, cats16, rec(61, {0, 'a', 0})}), 0},
        {"malformed 18th category", cat({kName, cats17, rec(61, {})}), 0},
        {"conversation of 22 bytes", cat({kName, rec(62, fill(22, 1))}), -3},
        {"conversation of 24 bytes", cat({kName, rec(62, fill(24, 1))}), -3},
        {"129 conversations", cat({kName, convs129}), 0},
        {"malformed 128th conversation", cat({kName, convs127, rec(62, fill(22, 1))}), -3},
        {"129th conversation of 22 bytes", cat({kName, convs128, rec(62, fill(22, 1))}), 0},
        {"129th conversation of 24 bytes", cat({kName, convs128, rec(62, fill(24, 1))}), 0},
        {"empty 130th conversation", cat({kName, convs129, rec(62, {})}), 0},
        {"unknown tag of any length", cat({kName, rec(99, fill(300, 0))}), 0},
        {"name after other records", cat({rec(59, {1}), kName}), 0},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        const bytes dir = cat({kId, r.records});
        const walk w = next_entry(dir);
        EXPECT_EQ(w.rc, r.rc);
        // a malformed record leaves the cursor; a nameless entry is read to its end
        EXPECT_EQ(w.cursor, r.rc == 0 || r.passed ? dir.size() : 0u);
        if (r.rc != 0) {
            EXPECT_EQ(w.e.name[0], '\0');  // and no half-read entry
        }
    }
    // caps: the first 16 categories and 128 conversations are kept, in order,
    // and what follows them, good or not, changes nothing
    const quorvane_instdir_entry full = next_entry(cat({kId, kName, cats16, convs128})).e;
    for (const bytes &tail : {cat({cats17, convs129}), cat({cats16, rec(61, {}), rec(61, {9, 0}), convs128, rec(62, {1})})}) {
        walk w = next_entry(cat({kId, kName, tail}));
        ASSERT_EQ(w.rc, 0);
        EXPECT_EQ(w.e.category_count, 16u);
        EXPECT_STREQ(w.e.category_name[15], "c15");
        EXPECT_EQ(w.e.conversation_count, 128u);
        EXPECT_EQ(w.e.conversation_id[127][0], 127);
        EXPECT_EQ(w.e.conversation_u32[127], 0x7F7F7F7Fu);
        expect_same(full, w.e);
    }
}

TEST(InstanceDirectory, WalkErrors) {
    const bytes entry = cat({kId, kName});
    struct row {
        const char *name;
        bytes dir;
        size_t cursor;
        int rc;
        size_t cursor_after;
    } rows[] = {
        {"empty directory", {}, 0, -5, 0},
        {"no tag 56 at all", cat({kName, rec(99, {1})}), 0, -5, kName.size() + 6},
        {"records before the first entry are skipped", cat({kName, rec(59, {9}), entry}), 0, 0, kName.size() + 6 + entry.size()},
        {"cursor at the end", entry, entry.size(), -5, entry.size()},
        {"cursor beyond the end", entry, entry.size() + 1, -3, entry.size() + 1},
        {"tag 56 of 15 bytes", cat({rec(56, fill(15, 1)), kName}), 0, -3, 0},
        {"tag 56 of 17 bytes", cat({rec(56, fill(17, 1)), kName}), 0, -3, 0},
        {"1 trailing byte", cat({entry, {0}}), 0, -3, 0},
        {"4 trailing bytes", cat({entry, {57, 0, 0, 0}}), 0, -3, 0},
        {"4 trailing bytes and no entry", {57, 0, 0, 0}, 0, -3, 0},
        {"value runs past the end", cat({entry, {58, 0, 0, 0, 9, 'a'}}), 0, -3, 0},
        {"length field near 2^32", cat({entry, {58, 0xFF, 0xFF, 0xFF, 0xFF, 'a'}}), 0, -3, 0},
        {"nameless entry before a good one", cat({kId, kId, kName}), 0, -3, kId.size()},
        {"good entry before a nameless one", cat({entry, kId}), 0, 0, entry.size()},
        {"nameless last entry", cat({entry, kId}), entry.size(), -3, entry.size() + kId.size()},
        {"nameless only entry with other records", cat({kId, rec(59, {1}), rec(99, {})}), 0, -3, kId.size() + 6 + 5},
        {"malformed nameless last entry", cat({entry, kId, rec(59, {3})}), entry.size(), -3, entry.size()},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        const walk w = next_entry(r.dir, r.cursor);
        EXPECT_EQ(w.rc, r.rc);
        EXPECT_EQ(w.cursor, r.cursor_after);
    }
    // the entries read before a broken one stay valid: the loop just stops
    const bytes dir = cat({entry, kId});
    walk w = next_entry(dir);
    ASSERT_EQ(w.rc, 0);
    EXPECT_STREQ(w.e.name, "Lounge");
    EXPECT_EQ(next_entry(dir, w.cursor).rc, -3);

    size_t cursor = 0;
    quorvane_instdir_entry e;
    EXPECT_EQ(quorvane_instdir_next(nullptr, 0, &cursor, &e), -3);
    EXPECT_EQ(quorvane_instdir_next(entry.data(), entry.size(), nullptr, &e), -3);
    EXPECT_EQ(quorvane_instdir_next(entry.data(), entry.size(), &cursor, nullptr), -3);
}

TEST(InstanceDirectory, AppendWritesWhatTheReaderTakes) {
    // record order, and records left out when empty or over the caps
    quorvane_instdir_entry e = full_entry(3);
    e.category_count = 20;  // more than the array holds: the first 16 are written
    e.category_name[3][0] = '\0';  // an empty category name is left out
    memset(e.category_name[4], 'z', sizeof e.category_name[4]);  // so is one without terminator
    e.conversation_count = 1000;
    const bytes dir = append_all({e});
    std::vector<uint8_t> tags;
    quorvane_tlv_reader r;
    quorvane_tlv_reader_init(&r, dir.data(), dir.size());
    uint8_t tag;
    while (quorvane_tlv_next(&r, &tag, nullptr, nullptr) == 0) tags.push_back(tag);
    std::vector<uint8_t> want{56, 57, 58, 71, 60, 59, 40};
    want.insert(want.end(), 14, 61);
    want.insert(want.end(), 128, 62);
    EXPECT_EQ(tags, want);
    const walk w = next_entry(dir);
    ASSERT_EQ(w.rc, 0);
    EXPECT_EQ(w.e.category_count, 14u);
    EXPECT_EQ(w.e.category_index[3], 5);

    quorvane_instdir_entry plain;
    memset(&plain, 0, sizeof plain);
    strcpy(plain.name, "n");
    tags.clear();
    const bytes small = append_all({plain});
    quorvane_tlv_reader_init(&r, small.data(), small.size());
    while (quorvane_tlv_next(&r, &tag, nullptr, nullptr) == 0) tags.push_back(tag);
    EXPECT_EQ(tags, (std::vector<uint8_t>{56, 57, 60, 59, 40}));

    // refusals
    uint8_t buf[256];
    quorvane_tlv_writer wr;
    quorvane_tlv_writer_init(&wr, buf, sizeof buf);
    quorvane_instdir_entry bad = plain;
    bad.name[0] = '\0';
    EXPECT_EQ(quorvane_instdir_append(&wr, &bad), -3);
    memset(bad.name, 'n', sizeof bad.name);  // no terminator inside the array
    EXPECT_EQ(quorvane_instdir_append(&wr, &bad), -3);
    bad = plain;
    memset(bad.description, 'd', sizeof bad.description);
    EXPECT_EQ(quorvane_instdir_append(&wr, &bad), -3);
    EXPECT_EQ(quorvane_instdir_append(nullptr, &plain), -3);
    EXPECT_EQ(quorvane_instdir_append(&wr, nullptr), -3);
    EXPECT_EQ(wr.length, 0u);  // refused before anything was written
    // overflow: the exact size fits, one byte less does not
    const size_t need = small.size();
    quorvane_tlv_writer_init(&wr, buf, need);
    EXPECT_EQ(quorvane_instdir_append(&wr, &plain), 0);
    quorvane_tlv_writer_init(&wr, buf, need - 1);
    EXPECT_EQ(quorvane_instdir_append(&wr, &plain), -3);
}

/* ---- Listing names ------------------------------------------------------- */

TEST(ListingName, Rules) {
    struct row {
        const char *name;
        std::string s;
        int valid;
    } rows[] = {
        {"letter", "a", 1},
        {"spaces only", "   ", 0},
        {"space then letter", " a", 1},
        {"tilde 0x7E", "~", 1},
        {"63 bytes", std::string(63, 'a'), 1},
        {"64 bytes", std::string(64, 'a'), 0},
        {"empty", "", 0},
        {"tab", "a\tb", 0},
        {"NUL", std::string("a\0b", 3), 0},
        {"0x1F", "a\x1f", 0},
        {"DEL", "a\x7f", 0},
        // strict UTF-8: valid forms at the edges of each length
        {"U+0080", "\xC2\x80", 1},
        {"U+07FF", "\xDF\xBF", 1},
        {"U+0800", "\xE0\xA0\x80", 1},
        {"U+D7FF", "\xED\x9F\xBF", 1},
        {"U+E000", "\xEE\x80\x80", 1},
        {"U+FFFF", "\xEF\xBF\xBF", 1},
        {"U+10000", "\xF0\x90\x80\x80", 1},
        {"U+10FFFF", "\xF4\x8F\xBF\xBF", 1},
        {"no-break space counts as content", "\xC2\xA0", 1},
        {"2-byte character ends at byte 63", std::string(61, 'a') + "\xC3\xA9", 1},
        {"2-byte character ends at byte 64", std::string(62, 'a') + "\xC3\xA9", 0},
        {"4-byte character ends at byte 63", std::string(59, 'a') + "\xF0\x9F\x98\x80", 1},
        {"overlong 2-byte C0", "\xC0\xAF", 0},
        {"overlong 2-byte C1", "\xC1\xBF", 0},
        {"overlong 3-byte U+002F", "\xE0\x80\xAF", 0},
        {"overlong 3-byte U+07FF", "\xE0\x9F\xBF", 0},
        {"overlong 4-byte U+002F", "\xF0\x80\x80\xAF", 0},
        {"overlong 4-byte U+FFFF", "\xF0\x8F\xBF\xBF", 0},
        {"surrogate U+D800", "\xED\xA0\x80", 0},
        {"surrogate U+DFFF", "\xED\xBF\xBF", 0},
        {"U+110000", "\xF4\x90\x80\x80", 0},
        {"lead F5", "\xF5\x80\x80\x80", 0},
        {"lead F7 (old 4-byte range)", "\xF7\xBF\xBF\xBF", 0},
        {"5-byte form", "\xF8\x88\x80\x80\x80", 0},
        {"byte FF", "a\xFF", 0},
        {"truncated 2-byte at the end", "a\xC3", 0},
        {"truncated 3-byte at the end", "a\xE2\x82", 0},
        {"truncated 4-byte at the end", "a\xF0\x9F\x98", 0},
        {"truncated 3-byte before ASCII", "\xE2\x82" "a", 0},
        {"stray continuation first", "\x80", 0},
        {"stray continuation after ASCII", "a\xBF", 0},
        {"continuation after a whole character", "\xC3\xA9\xA9", 0},
        {"bad second byte", "\xC3\x28", 0},
        {"bad third byte", "\xE2\x82\x28", 0},
        {"bad fourth byte", "\xF0\x9F\x98\xC0", 0},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(quorvane_listing_name_valid(r.s.data(), r.s.size()), r.valid);
    }
    EXPECT_EQ(quorvane_listing_name_valid(nullptr, 3), 0);
    // the length bounds the read: a valid prefix of a longer buffer is judged alone
    EXPECT_EQ(quorvane_listing_name_valid("ab\x01", 2), 1);
    EXPECT_EQ(quorvane_listing_name_valid("a\xC3\xA9", 2), 0);
}
