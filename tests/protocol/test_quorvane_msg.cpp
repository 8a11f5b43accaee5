// Message bodies: each encoder against hand-built bytes, each decoder against
// hand-built bodies on both sides of every limit, and the layout rules
// (truncation, trailing bytes, optional outputs) checked over every good body;
// the bodies that carry a blob also for the records they fill and wipe.
#include "quorvane_msg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Any body of this module in decoded form, so one table drives every encoder
// and every decoder; fields a type does not use stay at their defaults.
struct Body {
    uint8_t                  type = 0;
    std::string              text;   // text, system, reply, edit; profile, group, reaction and sticker names
    std::string              about;  // profile
    std::array<uint8_t, 16>  id{};
    uint64_t                 counter = 0;
    int                      add = 0;
    uint32_t                 version = 0;
    std::array<uint8_t, 32>  key{};
    Bytes                    inner;  // target-device wrapper
    bool operator==(const Body &) const = default;
};

constexpr std::array<uint8_t, 16> kId = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17,
                                         0x18, 0x19, 0x1a, 0x1b, 0x1c, 0x1d, 0x1e, 0x1f};
constexpr uint64_t kCounter = 0x0102030405060708ull;
const Bytes kCounterBytes = {1, 2, 3, 4, 5, 6, 7, 8};

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes rep(size_t n, char c) { return Bytes(n, static_cast<uint8_t>(c)); }
Bytes str(const std::string &s) { return Bytes(s.begin(), s.end()); }
Bytes idb() { return Bytes(kId.begin(), kId.end()); }
Bytes drop_last(Bytes b) { b.pop_back(); return b; }

// Head of a body that names a target message, built by hand from the layout.
Bytes target_head(uint8_t type) { return cat({{type}, idb(), kCounterBytes}); }
Bytes wrap15(const Bytes &inner) { return cat({{15}, rep(32, 'K'), inner}); }

Body text_body(uint8_t type, std::string s) { Body b; b.type = type; b.text = std::move(s); return b; }
Body profile(std::string name, std::string about) { Body b; b.type = 3; b.text = std::move(name); b.about = std::move(about); return b; }
Body targeted(uint8_t type, std::string s, int add = 0)
{
    Body b;
    b.type = type;
    b.id = kId;
    b.counter = kCounter;
    b.text = std::move(s);
    b.add = add;
    return b;
}
Body sticker(uint32_t version, std::string name) { Body b; b.type = 16; b.version = version; b.text = std::move(name); return b; }
Body targetdev(Bytes inner)
{
    Body b;
    b.type = 15;
    b.key.fill('K');
    b.inner = std::move(inner);
    return b;
}

size_t encode(const Body &b, uint8_t *out, size_t cap)
{
    switch (b.type) {
    case 1:  return quorvane_msg_text_encode(b.text.data(), b.text.size(), out, cap);
    case 2:  return quorvane_msg_system_encode(b.text.data(), b.text.size(), out, cap);
    case 3:  return quorvane_msg_profile_encode(b.text.data(), b.text.size(), b.about.data(), b.about.size(), out, cap);
    case 6:  return quorvane_msg_group_encode(b.text.data(), b.text.size(), out, cap);
    case 8:  return quorvane_msg_delete_encode(b.id.data(), b.counter, out, cap);
    case 9:  return quorvane_msg_reaction_encode(b.id.data(), b.counter, b.add, b.text.c_str(), out, cap);
    case 10: return quorvane_msg_reply_encode(b.id.data(), b.counter, b.text.data(), b.text.size(), out, cap);
    case 11: return quorvane_msg_edit_encode(b.id.data(), b.counter, b.text.data(), b.text.size(), out, cap);
    case 15: return quorvane_msg_targetdev_encode(b.key.data(), b.inner.data(), b.inner.size(), out, cap);
    case 16: {
        quorvane_sticker s{};
        s.version = b.version;
        // a name of 33 or more fills the array with no NUL: the encoder must stop looking there
        std::memcpy(s.name, b.text.data(), std::min(b.text.size(), sizeof s.name));
        return quorvane_msg_sticker_encode(&s, out, cap);
    }
    }
    ADD_FAILURE() << "no encoder for type " << int(b.type);
    return 0;
}

// Calls the decoder of the given type with every output present and checks
// that a failing decoder wrote none of them and that texts point into the body.
int decode(uint8_t type, const Bytes &body, Body *out)
{
    static const char    kNoText[1] = {};
    static const uint8_t kNoInner[1] = {};
    const char    *t1 = kNoText, *t2 = kNoText;
    size_t         l1 = 777, l2 = 777;
    uint8_t        id[16], key[32];
    uint64_t       counter = 777;
    int            add = 777;
    char           name[64];
    const uint8_t *inner = kNoInner;
    size_t         inner_len = 777;
    quorvane_sticker st;
    std::memset(id, 0xEE, sizeof id);
    std::memset(key, 0xEE, sizeof key);
    std::memset(name, 0xEE, sizeof name);
    std::memset(&st, 0xEE, sizeof st);

    const uint8_t *p = body.data();
    size_t n = body.size();
    int rc = -100;
    switch (type) {
    case 1:  rc = quorvane_msg_text_decode(p, n, &t1, &l1); break;
    case 2:  rc = quorvane_msg_system_decode(p, n, &t1, &l1); break;
    case 3:  rc = quorvane_msg_profile_decode(p, n, &t1, &l1, &t2, &l2); break;
    case 6:  rc = quorvane_msg_group_decode(p, n, &t1, &l1); break;
    case 8:  rc = quorvane_msg_delete_decode(p, n, id, &counter); break;
    case 9:  rc = quorvane_msg_reaction_decode(p, n, id, &counter, &add, name, sizeof name); break;
    case 10: rc = quorvane_msg_reply_decode(p, n, id, &counter, &t1, &l1); break;
    case 11: rc = quorvane_msg_edit_decode(p, n, id, &counter, &t1, &l1); break;
    case 15: rc = quorvane_msg_targetdev_decode(p, n, key, &inner, &inner_len); break;
    case 16: rc = quorvane_msg_sticker_decode(p, n, &st); break;
    default: ADD_FAILURE() << "no decoder for type " << int(type); return rc;
    }

    const auto untouched = [](const void *m, size_t len) {
        for (size_t i = 0; i < len; i++)
            if (static_cast<const uint8_t *>(m)[i] != 0xEE)
                return false;
        return true;
    };
    if (rc != 0) {
        EXPECT_TRUE(t1 == kNoText && t2 == kNoText && l1 == 777 && l2 == 777) << "text outputs written on failure";
        EXPECT_TRUE(counter == 777 && add == 777 && inner == kNoInner && inner_len == 777) << "outputs written on failure";
        EXPECT_TRUE(untouched(id, sizeof id) && untouched(key, sizeof key)) << "id or key written on failure";
        EXPECT_TRUE(untouched(name, sizeof name) && untouched(&st, sizeof st)) << "name written on failure";
        return rc;
    }
    const auto inside = [&](const void *q, size_t len) {
        auto a = static_cast<const uint8_t *>(q);
        return a >= p && a + len <= p + n;
    };
    Body d;
    d.type = type;
    switch (type) {
    case 3:
        EXPECT_TRUE(inside(t2, l2));
        d.about.assign(t2, l2);
        [[fallthrough]];
    case 1: case 2: case 6: case 10: case 11:
        EXPECT_TRUE(inside(t1, l1)) << "text must point into the body";
        d.text.assign(t1, l1);
        break;
    case 9:
        d.add = add;
        d.text = name;
        break;
    case 15:
        EXPECT_TRUE(inside(inner, inner_len));
        std::memcpy(d.key.data(), key, sizeof key);
        d.inner.assign(inner, inner + inner_len);
        break;
    case 16:
        d.version = st.version;
        EXPECT_NE(std::memchr(st.name, 0, sizeof st.name), nullptr) << "sticker name not terminated";
        d.text = st.name;
        break;
    }
    if (type >= 8 && type <= 11) {
        std::memcpy(d.id.data(), id, sizeof id);
        d.counter = counter;
    }
    *out = d;
    return 0;
}

// The same decoder with every optional output left out.
int decode_bare(uint8_t type, const Bytes &body)
{
    const uint8_t *p = body.data();
    size_t n = body.size();
    quorvane_sticker st;
    switch (type) {
    case 1:  return quorvane_msg_text_decode(p, n, nullptr, nullptr);
    case 2:  return quorvane_msg_system_decode(p, n, nullptr, nullptr);
    case 3:  return quorvane_msg_profile_decode(p, n, nullptr, nullptr, nullptr, nullptr);
    case 6:  return quorvane_msg_group_decode(p, n, nullptr, nullptr);
    case 8:  return quorvane_msg_delete_decode(p, n, nullptr, nullptr);
    case 9:  return quorvane_msg_reaction_decode(p, n, nullptr, nullptr, nullptr, nullptr, 0);
    case 10: return quorvane_msg_reply_decode(p, n, nullptr, nullptr, nullptr, nullptr);
    case 11: return quorvane_msg_edit_decode(p, n, nullptr, nullptr, nullptr, nullptr);
    case 15: return quorvane_msg_targetdev_decode(p, n, nullptr, nullptr, nullptr);
    case 16: return quorvane_msg_sticker_decode(p, n, &st);  // the record is required
    }
    return -100;
}

constexpr uint8_t kDecoders[] = {1, 2, 3, 6, 8, 9, 10, 11, 15, 16};

// Counted and fixed layouts refuse any other length; the others end in "rest".
bool counted(uint8_t type) { return type == 3 || type == 6 || type == 8 || type == 9 || type == 16; }
size_t rest_min(uint8_t type) { return type <= 2 ? 1 : type == 15 ? 34 : 25; }

struct RoundTrip {
    const char *name;
    Body        body;
    size_t      want_len;    // 0: the encoder refuses
    Bytes       want_bytes;  // checked when given
};

const RoundTrip kRoundTrips[] = {
    {"empty text is the single byte 1", text_body(1, ""), 1, {1}},
    {"text", text_body(1, "hello"), 6, cat({{1}, str("hello")})},
    {"text is bytes, NUL and UTF-8 included", text_body(1, std::string("a\0\xc3\xa9", 4)), 5, {1, 'a', 0, 0xc3, 0xa9}},
    {"text of the client's longest send", text_body(1, std::string(4096, 't')), 4097, {}},
    {"empty system text", text_body(2, ""), 1, {2}},
    {"system text", text_body(2, "joined"), 7, cat({{2}, str("joined")})},

    {"profile with empty name and about is 3, 0, 0", profile("", ""), 3, {3, 0, 0}},
    {"profile", profile("Ann", "hi"), 8, {3, 3, 'A', 'n', 'n', 2, 'h', 'i'}},
    {"profile name at 64 and about at 128", profile(std::string(64, 'n'), std::string(128, 'a')), 195,
     cat({{3, 64}, rep(64, 'n'), {128}, rep(128, 'a')})},
    {"profile name of 65 refused", profile(std::string(65, 'n'), ""), 0, {}},
    {"profile about of 129 refused", profile("", std::string(129, 'a')), 0, {}},

    {"empty group name", text_body(6, ""), 2, {6, 0}},
    {"group name of 63", text_body(6, std::string(63, 'g')), 65, cat({{6, 63}, rep(63, 'g')})},
    {"group name of 64 refused", text_body(6, std::string(64, 'g')), 0, {}},

    {"delete, counter big-endian", targeted(8, ""), 25, target_head(8)},
    {"delete of the highest counter", [] { Body b = targeted(8, ""); b.counter = UINT64_MAX; return b; }(), 25,
     cat({{8}, idb(), rep(8, '\xff')})},

    {"reaction thumbsup", targeted(9, "thumbsup", 1), 35, cat({target_head(9), {1, 8}, str("thumbsup")})},
    {"reaction removed", targeted(9, "a_9", 0), 30, cat({target_head(9), {0, 3}, str("a_9")})},
    {"reaction add flag 2 is written as 1", targeted(9, "x", 2), 28, cat({target_head(9), {1, 1, 'x'}})},
    {"reaction add flag -1 is written as 1", targeted(9, "x", -1), 28, cat({target_head(9), {1, 1, 'x'}})},
    {"reaction name of 32", targeted(9, std::string(32, 'z'), 1), 59, {}},
    {"reaction name of 33 refused", targeted(9, std::string(33, 'z'), 1), 0, {}},
    {"reaction empty name refused", targeted(9, "", 1), 0, {}},
    {"reaction upper-case name refused", targeted(9, "thumbsUp", 1), 0, {}},

    {"reply with empty text", targeted(10, ""), 25, target_head(10)},
    {"reply", targeted(10, "hi"), 27, cat({target_head(10), str("hi")})},
    {"edit with empty text", targeted(11, ""), 25, target_head(11)},
    {"edit", targeted(11, "new text"), 33, cat({target_head(11), str("new text")})},

    {"sticker, version big-endian", sticker(0x01020304, "cat"), 9, {16, 1, 2, 3, 4, 3, 'c', 'a', 't'}},
    {"sticker name of 1", sticker(0, "z"), 7, {16, 0, 0, 0, 0, 1, 'z'}},
    {"sticker name of 32", sticker(UINT32_MAX, std::string(32, '_')), 38, {}},
    {"sticker name of 33 refused", sticker(1, std::string(33, 'a')), 0, {}},
    {"sticker empty name refused", sticker(1, ""), 0, {}},
    {"sticker name with a dash refused", sticker(1, "a-b"), 0, {}},

    {"target-device around a delete", targetdev(target_head(8)), 58, wrap15(target_head(8))},
    {"target-device around a reaction", targetdev(cat({target_head(9), {1, 1, 'x'}})), 61, {}},
    {"target-device around an edit", targetdev(cat({target_head(11), str("fix")})), 61, {}},
    {"target-device around a bare type byte", targetdev({8}), 34, wrap15({8})},
    {"target-device around a text refused", targetdev({1, 'h', 'i'}), 0, {}},
    {"target-device around a reply refused", targetdev(target_head(10)), 0, {}},
    {"target-device around a target-device refused", targetdev(wrap15({8})), 0, {}},
    {"target-device around a sender-device wrapper refused", targetdev(cat({{14}, rep(32, 'S'), {8}})), 0, {}},
    {"target-device around nothing refused", targetdev({}), 0, {}},
};

TEST(QuorvaneMsg, RoundTripsAtEveryLimit)
{
    for (const RoundTrip &r : kRoundTrips) {
        SCOPED_TRACE(r.name);
        const Body &b = r.body;
        Bytes buf(r.want_len + 64, 0xAA);
        size_t n = encode(b, buf.data(), buf.size());
        if (r.want_len == 0) {
            EXPECT_EQ(n, 0u);
            EXPECT_EQ(buf, Bytes(buf.size(), 0xAA)) << "a refusing encoder wrote";
            continue;
        }
        ASSERT_EQ(n, r.want_len);
        buf.resize(n);
        if (!r.want_bytes.empty()) {
            EXPECT_EQ(buf, r.want_bytes);
        }

        Body want = b;
        want.add = b.add != 0;
        Body got;
        ASSERT_EQ(decode(b.type, buf, &got), 0);
        EXPECT_EQ(got, want);
        EXPECT_EQ(decode_bare(b.type, buf), 0);

        // room for exactly the body is enough, one byte less is refused untouched
        auto exact = std::make_unique<uint8_t[]>(n);
        EXPECT_EQ(encode(b, exact.get(), n), n);
        Bytes small(n - 1, 0xAA);
        EXPECT_EQ(encode(b, small.data(), small.size()), 0u);
        EXPECT_EQ(small, Bytes(n - 1, 0xAA));

        // every truncation, and one trailing byte, as the layout says
        for (size_t k = 0; k < n; k++) {
            Bytes cut(buf.begin(), buf.begin() + k);
            Body ignored;
            int want_rc = counted(b.type) || k < rest_min(b.type) ? -3 : 0;
            EXPECT_EQ(decode(b.type, cut, &ignored), want_rc) << "cut to " << k;
        }
        Bytes longer = cat({buf, {0}});
        Body ignored;
        EXPECT_EQ(decode(b.type, longer, &ignored), counted(b.type) ? -3 : 0) << "one trailing byte";
    }
}

struct HandBuilt {
    const char *name;
    uint8_t     decoder;
    Bytes       body;
    int         want;
};

const HandBuilt kHandBuilt[] = {
    {"text: type byte only", 1, {1}, 0},
    {"text: empty body", 1, {}, -3},
    {"text decoder on a system body", 1, {2, 'h', 'i'}, -3},
    {"system decoder on a text body", 2, {1, 'h', 'i'}, -3},
    {"system: empty body", 2, {}, -3},

    {"profile: type only", 3, {3}, -3},
    {"profile: two bytes", 3, {3, 0}, -3},
    {"profile: name 64, about 128", 3, cat({{3, 64}, rep(64, 'n'), {128}, rep(128, 'a')}), 0},
    {"profile: name length 65", 3, cat({{3, 65}, rep(65, 'n'), {0}}), -3},
    {"profile: about length 129", 3, cat({{3, 0, 129}, rep(129, 'a')}), -3},
    {"profile: name runs past the end", 3, {3, 5, 'a', 'b'}, -3},
    {"profile: name leaves no room for the about length", 3, {3, 2, 'a', 'b'}, -3},
    {"profile: about runs past the end", 3, {3, 0, 3, 'a'}, -3},
    {"profile: trailing byte", 3, {3, 0, 0, 0}, -3},
    {"profile decoder on a group body", 3, {6, 0, 0}, -3},

    {"group: type only", 6, {6}, -3},
    {"group: name 63", 6, cat({{6, 63}, rep(63, 'g')}), 0},
    {"group: name 64 refused", 6, cat({{6, 64}, rep(64, 'g')}), -3},
    {"group: length 255 past the end", 6, cat({{6, 255}, rep(10, 'g')}), -3},
    {"group: name runs past the end", 6, {6, 3, 'a'}, -3},
    {"group: trailing byte", 6, {6, 0, 'x'}, -3},
    {"group decoder on a profile body", 6, {3, 0, 0}, -3},

    {"delete: 25 bytes", 8, target_head(8), 0},
    {"delete: 24 bytes", 8, drop_last(target_head(8)), -3},
    {"delete: 26 bytes refused", 8, cat({target_head(8), {0}}), -3},
    {"delete decoder on a reaction head", 8, target_head(9), -3},

    {"reaction: add 1", 9, cat({target_head(9), {1, 8}, str("thumbsup")}), 0},
    {"reaction: add 0", 9, cat({target_head(9), {0, 8}, str("thumbsup")}), 0},
    {"reaction: add flag 2 refused", 9, cat({target_head(9), {2, 8}, str("thumbsup")}), -3},
    {"reaction: add flag 255 refused", 9, cat({target_head(9), {255, 8}, str("thumbsup")}), -3},
    {"reaction: name 32", 9, cat({target_head(9), {1, 32}, rep(32, 'z')}), 0},
    {"reaction: name 33 refused", 9, cat({target_head(9), {1, 33}, rep(33, 'z')}), -3},
    {"reaction: name length 0 refused", 9, cat({target_head(9), {1, 0}}), -3},
    {"reaction: upper-case letter refused", 9, cat({target_head(9), {1, 8}, str("Thumbsup")}), -3},
    {"reaction: non-ASCII refused", 9, cat({target_head(9), {1, 2, 0xc3, 0xa9}}), -3},
    {"reaction: NUL inside the name refused", 9, cat({target_head(9), {1, 3, 'a', 0, 'b'}}), -3},
    {"reaction: name runs past the end", 9, cat({target_head(9), {1, 8}, str("thumbsu")}), -3},
    {"reaction: trailing byte", 9, cat({target_head(9), {1, 1, 'x', 'y'}}), -3},
    {"reaction: no name length", 9, cat({target_head(9), {1}}), -3},

    {"reply: 25 bytes, empty text", 10, target_head(10), 0},
    {"reply: 24 bytes", 10, drop_last(target_head(10)), -3},
    {"reply decoder on an edit body", 10, target_head(11), -3},
    {"edit: 25 bytes, empty text", 11, target_head(11), 0},
    {"edit decoder on a reply body", 11, cat({target_head(10), str("x")}), -3},

    {"sticker: name 1", 16, {16, 0, 0, 0, 1, 1, 'a'}, 0},
    {"sticker: name 32", 16, cat({{16, 0, 0, 0, 1, 32}, rep(32, '9')}), 0},
    {"sticker: name length 0 refused", 16, {16, 0, 0, 0, 1, 0}, -3},
    {"sticker: name length 33 refused", 16, cat({{16, 0, 0, 0, 1, 33}, rep(33, 'a')}), -3},
    {"sticker: upper-case refused", 16, {16, 0, 0, 0, 1, 3, 'c', 'A', 't'}, -3},
    {"sticker: name runs past the end", 16, {16, 0, 0, 0, 1, 3, 'c', 'a'}, -3},
    {"sticker: trailing byte", 16, {16, 0, 0, 0, 1, 1, 'a', 'b'}, -3},
    {"sticker: cut inside the version", 16, {16, 0, 0}, -3},
    {"sticker decoder on a reaction body", 16, cat({target_head(9), {1, 1, 'x'}}), -3},

    {"target-device: around a delete", 15, wrap15(target_head(8)), 0},
    {"target-device: around a bare 9", 15, wrap15({9}), 0},
    {"target-device: around a bare 11", 15, wrap15({11}), 0},
    {"target-device: around a text refused", 15, wrap15({1, 'h', 'i'}), -3},
    {"target-device: around a reply refused", 15, wrap15(target_head(10)), -3},
    {"target-device: around a target-device refused", 15, wrap15(wrap15({8})), -3},
    {"target-device: key only, 33 bytes", 15, wrap15({}), -3},
    {"target-device: key cut short", 15, cat({{15}, rep(20, 'K')}), -3},
    {"target-device decoder on a sender-device wrapper", 15, cat({{14}, rep(32, 'S'), target_head(8)}), -3},
};

TEST(QuorvaneMsg, DecodersOnHandBuiltBodies)
{
    for (const HandBuilt &h : kHandBuilt) {
        SCOPED_TRACE(h.name);
        Body got;
        EXPECT_EQ(decode(h.decoder, h.body, &got), h.want);
        EXPECT_EQ(decode_bare(h.decoder, h.body), h.want) << "optional outputs left out";
    }
}

TEST(QuorvaneMsg, EveryDecoderRefusesAMissingBody)
{
    for (uint8_t type : kDecoders) {
        SCOPED_TRACE(int(type));
        Body got;
        EXPECT_EQ(decode(type, Bytes{}, &got), -3);
        EXPECT_EQ(decode(type, Bytes{type}, &got), type <= 2 ? 0 : -3) << "type byte alone";
    }
    EXPECT_EQ(quorvane_msg_text_decode(nullptr, 40, nullptr, nullptr), -3);
    EXPECT_EQ(quorvane_msg_profile_decode(nullptr, 40, nullptr, nullptr, nullptr, nullptr), -3);
    EXPECT_EQ(quorvane_msg_group_decode(nullptr, 40, nullptr, nullptr), -3);
    EXPECT_EQ(quorvane_msg_delete_decode(nullptr, 25, nullptr, nullptr), -3);
    EXPECT_EQ(quorvane_msg_reaction_decode(nullptr, 40, nullptr, nullptr, nullptr, nullptr, 0), -3);
    EXPECT_EQ(quorvane_msg_edit_decode(nullptr, 40, nullptr, nullptr, nullptr, nullptr), -3);
    EXPECT_EQ(quorvane_msg_targetdev_decode(nullptr, 40, nullptr, nullptr, nullptr), -3);
    const Bytes st = {16, 0, 0, 0, 1, 1, 'a'};
    EXPECT_EQ(quorvane_msg_sticker_decode(st.data(), st.size(), nullptr), -3) << "the sticker record is required";

    // a null body with no length and with one that would pass every length
    // check: refused, and the outputs given are left alone
    for (size_t n : {size_t{0}, size_t{40}}) {
        SCOPED_TRACE(n);
        EXPECT_EQ(quorvane_msg_system_decode(nullptr, n, nullptr, nullptr), -3);
        EXPECT_EQ(quorvane_msg_reply_decode(nullptr, n, nullptr, nullptr, nullptr, nullptr), -3);

        static const char kNoText[1] = {};
        const char *text = kNoText;
        size_t      text_len = 777;
        uint8_t     id[16];
        uint64_t    counter = 777;
        quorvane_sticker rec, untouched;
        std::memset(id, 0xEE, sizeof id);
        std::memset(&rec, 0xEE, sizeof rec);
        std::memset(&untouched, 0xEE, sizeof untouched);
        EXPECT_EQ(quorvane_msg_system_decode(nullptr, n, &text, &text_len), -3);
        EXPECT_EQ(quorvane_msg_reply_decode(nullptr, n, id, &counter, &text, &text_len), -3);
        EXPECT_EQ(quorvane_msg_sticker_decode(nullptr, n, &rec), -3);
        EXPECT_EQ(text, kNoText);
        EXPECT_EQ(text_len, 777u);
        EXPECT_EQ(counter, 777u);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(id), sizeof id), std::string(sizeof id, '\xEE'));
        EXPECT_EQ(std::memcmp(&rec, &untouched, sizeof rec), 0) << "the sticker record was written";
    }
}

// Names of reactions and stickers: the bytes on both sides of each allowed range.
TEST(QuorvaneMsg, NameAlphabetIsTheSameForEncodersAndDecoders)
{
    const struct { uint8_t c; bool ok; } kChars[] = {
        {'a', true}, {'z', true}, {'0', true}, {'9', true}, {'_', true},
        {'`', false}, {'{', false}, {'/', false}, {':', false}, {'^', false}, {'A', false}, {'Z', false},
        {'-', false}, {' ', false}, {0x7f, false}, {0x80, false}, {0xff, false},
    };
    for (const auto &k : kChars) {
        SCOPED_TRACE(int(k.c));
        const std::string name = std::string("ab") + char(k.c);
        uint8_t out[64];
        EXPECT_EQ(quorvane_msg_reaction_encode(kId.data(), 1, 1, name.c_str(), out, sizeof out) != 0, k.ok);
        EXPECT_EQ(encode(sticker(1, name), out, sizeof out) != 0, k.ok);

        Body got;
        EXPECT_EQ(decode(9, cat({target_head(9), {1, 3}, str(name)}), &got), k.ok ? 0 : -3);
        EXPECT_EQ(decode(16, cat({{16, 0, 0, 0, 1, 3}, str(name)}), &got), k.ok ? 0 : -3);
    }
}

TEST(QuorvaneMsg, ReactionNameBufferMustHoldTheTerminator)
{
    const Bytes body = cat({target_head(9), {1, 8}, str("thumbsup")});
    const struct { size_t cap; int want; } kCaps[] = {{0, -3}, {7, -3}, {8, -3}, {9, 0}, {33, 0}};
    for (const auto &k : kCaps) {
        SCOPED_TRACE(k.cap);
        char buf[40];
        std::memset(buf, '#', sizeof buf);
        int add = -1;
        EXPECT_EQ(quorvane_msg_reaction_decode(body.data(), body.size(), nullptr, nullptr, &add, buf, k.cap), k.want);
        if (k.want == 0) {
            EXPECT_STREQ(buf, "thumbsup");
            EXPECT_EQ(add, 1);
        } else {
            EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, '#'));
            EXPECT_EQ(add, -1);
        }
    }
    // without a buffer the capacity is not looked at
    EXPECT_EQ(quorvane_msg_reaction_decode(body.data(), body.size(), nullptr, nullptr, nullptr, nullptr, 0), 0);
}

// A name with no NUL in its first 33 bytes is too long; the encoder must not read past them.
TEST(QuorvaneMsg, UnterminatedReactionNameIsRefusedWithoutOverread)
{
    auto name = std::make_unique<char[]>(QV_MSG_NAME_MAX + 1);
    std::memset(name.get(), 'a', QV_MSG_NAME_MAX + 1);
    uint8_t out[128];
    EXPECT_EQ(quorvane_msg_reaction_encode(kId.data(), 1, 1, name.get(), out, sizeof out), 0u);
}

// Two pages from mmap, the second made PROT_NONE: whatever is placed to end at
// end() faults on any read past it, in every build and not only under ASan.
struct GuardedPage {
    GuardedPage()
    {
        const long ps = sysconf(_SC_PAGESIZE);
        if (ps <= 0)
            return;
        page = static_cast<size_t>(ps);
        void *m = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED)
            return;
        if (mprotect(static_cast<char *>(m) + page, page, PROT_NONE) != 0) {
            munmap(m, 2 * page);
            return;
        }
        base = static_cast<char *>(m);
    }
    ~GuardedPage()
    {
        if (base)
            munmap(base, 2 * page);
    }
    GuardedPage(const GuardedPage &) = delete;
    GuardedPage &operator=(const GuardedPage &) = delete;
    char *end() const { return base + page; }  // the first byte of the guard page

    size_t page = 0;
    char  *base = nullptr;
};

// Names whose last byte, the NUL or the 33rd name byte, is the last readable
// one: an encoder must stop looking after 33 bytes, and one byte more would
// fault.
struct GuardedName {
    const char *what;
    size_t      len;         // bytes of 'a' ...
    bool        terminated;  // ... followed by a NUL
    size_t      reaction;    // body lengths, 0 refused
    size_t      sticker;
};
constexpr GuardedName kGuardedNames[] = {
    {"one byte and its NUL", 1, true, 28, 7},
    {"32 bytes and their NUL", QV_MSG_NAME_MAX, true, 59, 38},
    {"33 bytes, no NUL", QV_MSG_NAME_MAX + 1, false, 0, 0},
};

TEST(QuorvaneMsg, ReactionNameEndingAtAGuardPageIsReadNoFurther)
{
    GuardedPage g;
    ASSERT_NE(g.base, nullptr) << "mmap or mprotect failed";
    for (const GuardedName &r : kGuardedNames) {
        SCOPED_TRACE(r.what);
        char *name = g.end() - r.len - (r.terminated ? 1 : 0);
        std::memset(name, 'a', r.len);
        if (r.terminated)
            name[r.len] = '\0';
        uint8_t out[128];
        EXPECT_EQ(quorvane_msg_reaction_encode(kId.data(), 1, 1, name, out, sizeof out), r.reaction);
    }
}

// The record cannot end at name[32]: its alignment puts tail padding after the
// name (sizeof minus offset minus 33 bytes; 3 on x86-64), and a record placed
// off its alignment is undefined behaviour that UBSan stops on. So the record
// ends at the guard, its padding holds 'a' as well, and an encoder that does
// not stop at 33 bytes runs through the padding into the guard page. A read of
// no more than the padding's length past the name is the one case this cannot
// see.
TEST(QuorvaneMsg, StickerNameEndingAtAGuardPageIsReadNoFurther)
{
    constexpr size_t kNameAt = offsetof(quorvane_sticker, name);
    static_assert(kNameAt + sizeof(quorvane_sticker::name) <= sizeof(quorvane_sticker));
    GuardedPage g;
    ASSERT_NE(g.base, nullptr) << "mmap or mprotect failed";
    for (const GuardedName &r : kGuardedNames) {
        SCOPED_TRACE(r.what);
        char *raw = g.end() - sizeof(quorvane_sticker);
        auto *st = ::new (static_cast<void *>(raw)) quorvane_sticker;
        st->version = 7;
        std::memset(raw + kNameAt, 'a', sizeof(quorvane_sticker) - kNameAt);  // the name and the padding after it
        if (r.terminated)
            st->name[r.len] = '\0';
        uint8_t out[64];
        EXPECT_EQ(quorvane_msg_sticker_encode(st, out, sizeof out), r.sticker);
    }
}

TEST(QuorvaneMsg, EncodersRefuseMissingArguments)
{
    uint8_t out[128];
    const quorvane_sticker st = {1, "cat"};
    const Bytes del = target_head(8);
    const uint8_t key[32] = {};
    const struct { const char *name; size_t got; } kCalls[] = {
        {"text, no output", quorvane_msg_text_encode("a", 1, nullptr, 8)},
        {"text, no text", quorvane_msg_text_encode(nullptr, 1, out, sizeof out)},
        {"system, no text", quorvane_msg_system_encode(nullptr, 3, out, sizeof out)},
        {"text, no room at all", quorvane_msg_text_encode("", 0, out, 0)},
        {"text, length near SIZE_MAX", quorvane_msg_text_encode("a", SIZE_MAX, out, sizeof out)},
        {"profile, no name", quorvane_msg_profile_encode(nullptr, 2, "", 0, out, sizeof out)},
        {"profile, no about", quorvane_msg_profile_encode("", 0, nullptr, 2, out, sizeof out)},
        {"profile, no output", quorvane_msg_profile_encode("", 0, "", 0, nullptr, 8)},
        {"group, no output", quorvane_msg_group_encode("g", 1, nullptr, 8)},
        {"group, no name", quorvane_msg_group_encode(nullptr, 1, out, sizeof out)},
        {"delete, no id", quorvane_msg_delete_encode(nullptr, 1, out, sizeof out)},
        {"delete, no output", quorvane_msg_delete_encode(kId.data(), 1, nullptr, 25)},
        {"delete, room 24", quorvane_msg_delete_encode(kId.data(), 1, out, 24)},
        {"reaction, no id", quorvane_msg_reaction_encode(nullptr, 1, 1, "x", out, sizeof out)},
        {"reaction, no name", quorvane_msg_reaction_encode(kId.data(), 1, 1, nullptr, out, sizeof out)},
        {"reaction, no output", quorvane_msg_reaction_encode(kId.data(), 1, 1, "x", nullptr, 64)},
        {"reply, no id", quorvane_msg_reply_encode(nullptr, 1, "x", 1, out, sizeof out)},
        {"reply, no text", quorvane_msg_reply_encode(kId.data(), 1, nullptr, 1, out, sizeof out)},
        {"reply, length near SIZE_MAX", quorvane_msg_reply_encode(kId.data(), 1, "x", SIZE_MAX - 10, out, sizeof out)},
        {"edit, no text", quorvane_msg_edit_encode(kId.data(), 1, nullptr, 1, out, sizeof out)},
        {"sticker, no record", quorvane_msg_sticker_encode(nullptr, out, sizeof out)},
        {"sticker, no output", quorvane_msg_sticker_encode(&st, nullptr, 64)},
        {"target-device, no key", quorvane_msg_targetdev_encode(nullptr, del.data(), del.size(), out, sizeof out)},
        {"target-device, no inner", quorvane_msg_targetdev_encode(key, nullptr, 25, out, sizeof out)},
        {"target-device, no output", quorvane_msg_targetdev_encode(key, del.data(), del.size(), nullptr, 64)},
        {"target-device, length near SIZE_MAX", quorvane_msg_targetdev_encode(key, del.data(), SIZE_MAX - 1, out, sizeof out)},
    };
    for (const auto &c : kCalls) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.got, 0u);
    }
    // no text is fine when there is none to take
    EXPECT_EQ(quorvane_msg_text_encode(nullptr, 0, out, sizeof out), 1u);
    EXPECT_EQ(quorvane_msg_reply_encode(kId.data(), 1, nullptr, 0, out, sizeof out), 25u);
    EXPECT_EQ(quorvane_msg_profile_encode(nullptr, 0, nullptr, 0, out, sizeof out), 3u);
    EXPECT_EQ(quorvane_msg_group_encode(nullptr, 0, out, sizeof out), 2u);
}

// The engine builds a body and then wraps it, or turns a text into a reply,
// in the one buffer: the payload must be moved before the head is written.
TEST(QuorvaneMsg, EncodersWorkInPlace)
{
    Bytes buf(128, 0);
    ASSERT_EQ(quorvane_msg_delete_encode(kId.data(), kCounter, buf.data(), buf.size()), 25u);
    uint8_t key[32];
    std::memset(key, 'K', sizeof key);
    ASSERT_EQ(quorvane_msg_targetdev_encode(key, buf.data(), 25, buf.data(), buf.size()), 58u);
    buf.resize(58);
    EXPECT_EQ(buf, wrap15(target_head(8)));

    const std::string text = "in place";
    Bytes t(64, 0);
    std::memcpy(t.data(), text.data(), text.size());
    ASSERT_EQ(quorvane_msg_reply_encode(kId.data(), kCounter, reinterpret_cast<const char *>(t.data()), text.size(),
                                        t.data(), t.size()), 25 + text.size());
    t.resize(25 + text.size());
    EXPECT_EQ(t, cat({target_head(10), str(text)}));

    Bytes u(64, 0);
    std::memcpy(u.data(), text.data(), text.size());
    ASSERT_EQ(quorvane_msg_text_encode(reinterpret_cast<const char *>(u.data()), text.size(), u.data(), u.size()),
              1 + text.size());
    u.resize(1 + text.size());
    EXPECT_EQ(u, cat({{1}, str(text)}));
}

/* ---- bodies that carry a blob: file, avatar, group avatar, voice, link ---- */

Bytes be(uint64_t v, size_t n)
{
    Bytes b(n);
    for (size_t i = n; i-- > 0; v >>= 8)
        b[i] = static_cast<uint8_t>(v);
    return b;
}

// A reference whose every field is told apart by `seed`; chunk count and size
// have a different value in every byte so a swapped byte order shows.
quorvane_blob_ref make_ref(uint8_t seed)
{
    quorvane_blob_ref r;
    std::memset(&r, 0, sizeof r);
    std::memset(r.storage_id, seed, sizeof r.storage_id);
    std::memset(r.blob_id, seed + 1, sizeof r.blob_id);
    std::memset(r.key, seed + 2, sizeof r.key);
    std::memset(r.salt, seed + 3, sizeof r.salt);
    r.chunk_count = 0x01020304u + seed;
    r.size = 0x0a0b0c0d0e0f1011ull + seed;
    std::memset(r.hash, seed + 4, sizeof r.hash);
    return r;
}

// The same reference as the layout puts it on the wire, built by hand.
Bytes ref_bytes(uint8_t seed)
{
    return cat({Bytes(16, seed), Bytes(16, uint8_t(seed + 1)), Bytes(32, uint8_t(seed + 2)), Bytes(16, uint8_t(seed + 3)),
                be(0x01020304u + seed, 4), be(0x0a0b0c0d0e0f1011ull + seed, 8), Bytes(64, uint8_t(seed + 4))});
}

bool same_ref(const quorvane_blob_ref &a, const quorvane_blob_ref &b)
{
    return !std::memcmp(a.storage_id, b.storage_id, 16) && !std::memcmp(a.blob_id, b.blob_id, 16) &&
           !std::memcmp(a.key, b.key, 32) && !std::memcmp(a.salt, b.salt, 16) && a.chunk_count == b.chunk_count &&
           a.size == b.size && !std::memcmp(a.hash, b.hash, 64);
}

// Copies up to the array's size; a text of exactly that size is left unterminated
// on purpose, the way a caller that filled the array to the brim would leave it.
template <size_t N> void fill(char (&dst)[N], const std::string &s)
{
    std::memset(dst, 0, N);
    std::memcpy(dst, s.data(), std::min(s.size(), N));
}

// Any blob-carrying body in decoded form; only the member of its type is used.
struct Rec {
    uint8_t             type = 0;
    quorvane_file_meta  file;
    quorvane_voice_meta voice;
    quorvane_link_meta  link;
    Rec() { wipe(0); }
    void wipe(uint8_t c)
    {
        std::memset(&file, c, sizeof file);
        std::memset(&voice, c, sizeof voice);
        std::memset(&link, c, sizeof link);
    }
};

Rec file_rec(uint8_t type, const std::string &mime, const std::string &name)
{
    Rec r;
    r.type = type;
    r.file.blob = make_ref(0x10);
    fill(r.file.mime, mime);
    fill(r.file.name, name);
    return r;
}
Rec with_thumb(Rec r, uint32_t w, uint32_t h)
{
    r.file.has_thumb = 1;
    r.file.thumb = make_ref(0x60);
    r.file.thumb_width = w;
    r.file.thumb_height = h;
    return r;
}
Rec voice_rec(size_t peaks)
{
    Rec r;
    r.type = 12;
    r.voice.file.blob = make_ref(0x20);
    fill(r.voice.file.mime, "audio/ogg");  // not carried: the decoder names the codec itself
    fill(r.voice.file.name, "memo.ogg");
    r.voice.duration_ms = 0x00012345;
    r.voice.sample_rate = 16000;
    r.voice.peak_count = static_cast<uint8_t>(peaks);
    for (size_t i = 0; i < std::min(peaks, sizeof r.voice.peaks); i++)
        r.voice.peaks[i] = static_cast<uint8_t>(i * 2 + 1);
    return r;
}
Rec link_rec(const std::string &url, const std::string &title, const std::string &desc, int image = 0)
{
    Rec r;
    r.type = 13;
    fill(r.link.url, url);
    fill(r.link.title, title);
    fill(r.link.description, desc);
    r.link.has_image = image;
    if (image) {
        r.link.image.blob = make_ref(0x30);
        r.link.image_width = 0x01020304;
        r.link.image_height = 1080;
    }
    return r;
}

size_t encode_rec(const Rec &r, uint8_t *out, size_t cap)
{
    switch (r.type) {
    case 4:  return quorvane_msg_file_encode(&r.file, out, cap);
    case 5:  return quorvane_msg_avatar_encode(&r.file, out, cap);
    case 7:  return quorvane_msg_group_avatar_encode(&r.file, out, cap);
    case 12: return quorvane_msg_voice_encode(&r.voice, out, cap);
    case 13: return quorvane_msg_link_encode(&r.link, out, cap);
    }
    ADD_FAILURE() << "no encoder for type " << int(r.type);
    return 0;
}

// The record prefilled with 0xEE, so "zeroed first" and "wiped on failure" show.
int decode_rec(uint8_t type, const Bytes &body, Rec *out)
{
    out->wipe(0xEE);
    out->type = type;
    const uint8_t *p = body.data();
    const size_t n = body.size();
    switch (type) {
    case 4:  return quorvane_msg_file_decode(p, n, &out->file);
    case 5:  return quorvane_msg_avatar_decode(p, n, &out->file);
    case 7:  return quorvane_msg_group_avatar_decode(p, n, &out->file);
    case 12: return quorvane_msg_voice_decode(p, n, &out->voice);
    case 13: return quorvane_msg_link_decode(p, n, &out->link);
    }
    ADD_FAILURE() << "no decoder for type " << int(type);
    return -100;
}

bool all_zero(const void *p, size_t n)
{
    return std::all_of(static_cast<const uint8_t *>(p), static_cast<const uint8_t *>(p) + n,
                       [](uint8_t c) { return c == 0; });
}

// What the receiver must see of what was sent: texts cut to their limits,
// thumbnails on file bodies only, the MIME type a voice note or link image reports.
void expect_decoded_as_sent(const Rec &sent, const Rec &got)
{
    const auto cut = [](const char *s, size_t max) { return std::string(s, strnlen(s, max)); };
    const auto same_file = [&](const quorvane_file_meta &a, const quorvane_file_meta &g) {
        EXPECT_TRUE(same_ref(a.blob, g.blob));
        EXPECT_EQ(std::string(g.mime), cut(a.mime, QV_MSG_MIME_MAX));
        EXPECT_EQ(std::string(g.name), cut(a.name, QV_MSG_FILE_NAME_MAX));
        const bool thumb = sent.type == 4 && a.has_thumb;
        EXPECT_EQ(g.has_thumb, thumb ? 1 : 0);
        if (thumb) {
            EXPECT_TRUE(same_ref(a.thumb, g.thumb));
            EXPECT_EQ(g.thumb_width, a.thumb_width);
            EXPECT_EQ(g.thumb_height, a.thumb_height);
        } else {
            EXPECT_TRUE(all_zero(&g.thumb, sizeof g.thumb) && g.thumb_width == 0 && g.thumb_height == 0)
                << "record not zeroed first";
        }
    };
    switch (sent.type) {
    case 4: case 5: case 7:
        same_file(sent.file, got.file);
        break;
    case 12:
        EXPECT_TRUE(same_ref(sent.voice.file.blob, got.voice.file.blob));
        EXPECT_STREQ(got.voice.file.mime, "audio/x-adpcm");
        EXPECT_STREQ(got.voice.file.name, "");
        EXPECT_EQ(got.voice.file.has_thumb, 0);
        EXPECT_EQ(got.voice.duration_ms, sent.voice.duration_ms);
        EXPECT_EQ(got.voice.sample_rate, sent.voice.sample_rate);
        EXPECT_EQ(got.voice.peak_count, sent.voice.peak_count);
        EXPECT_EQ(0, std::memcmp(got.voice.peaks, sent.voice.peaks, sent.voice.peak_count));
        EXPECT_TRUE(all_zero(got.voice.peaks + got.voice.peak_count, QV_MSG_VOICE_PEAKS_MAX - got.voice.peak_count));
        break;
    case 13: {
        const quorvane_link_meta &s = sent.link, &g = got.link;
        EXPECT_EQ(std::string(g.url), cut(s.url, QV_MSG_LINK_URL_MAX));
        EXPECT_EQ(std::string(g.title), cut(s.title, QV_MSG_LINK_TITLE_MAX));
        EXPECT_EQ(std::string(g.description), cut(s.description, QV_MSG_LINK_DESC_MAX));
        EXPECT_EQ(g.has_image, s.has_image ? 1 : 0);
        EXPECT_STREQ(g.image.mime, "image/png");
        EXPECT_STREQ(g.image.name, "");
        if (s.has_image) {
            EXPECT_TRUE(same_ref(s.image.blob, g.image.blob));
        } else {
            EXPECT_TRUE(all_zero(&g.image.blob, sizeof g.image.blob)) << "record not zeroed first";
        }
        EXPECT_EQ(g.image_width, s.has_image ? s.image_width : 0);
        EXPECT_EQ(g.image_height, s.has_image ? s.image_height : 0);
        break;
    }
    }
}

// Hand-built bodies, straight from the layouts.
Bytes file_body(uint8_t type, const Bytes &mime, const Bytes &name, const Bytes &tail = {})
{
    return cat({{type}, ref_bytes(0x10), {uint8_t(mime.size())}, mime, {uint8_t(name.size())}, name, tail});
}
Bytes thumb_tail(uint8_t marker = 1, uint16_t w = 320, uint16_t h = 200)
{
    return cat({{marker}, ref_bytes(0x60), be(w, 2), be(h, 2)});
}
Bytes voice_body(size_t declared, size_t present)
{
    Bytes peaks;
    for (size_t i = 0; i < present; i++)
        peaks.push_back(static_cast<uint8_t>(i * 2 + 1));
    return cat({{12}, ref_bytes(0x20), be(0x00012345, 4), be(16000, 4), {uint8_t(declared)}, peaks});
}
Bytes link_body(const Bytes &url, const Bytes &title, const Bytes &desc, uint8_t flag, bool image)
{
    return cat({{13}, be(url.size(), 2), url, be(title.size(), 2), title, be(desc.size(), 2), desc, {flag},
                image ? cat({ref_bytes(0x30), be(0x01020304, 4), be(1080, 4)}) : Bytes{}});
}
Bytes link_lens(uint16_t u, uint16_t t, uint16_t d, uint8_t flag = 0)
{
    return link_body(rep(u, 'u'), rep(t, 't'), rep(d, 'd'), flag, false);
}

struct RecRoundTrip {
    const char *name;
    Rec         rec;
    size_t      want_len;  // 0: the encoder refuses
    Bytes       want_bytes;
};

const RecRoundTrip kRecRoundTrips[] = {
    {"file with empty MIME type and name is 159 bytes", file_rec(4, "", ""), 159, file_body(4, {}, {})},
    {"file", file_rec(4, "text/plain", "notes.txt"), 178, file_body(4, str("text/plain"), str("notes.txt"))},
    {"file with a thumbnail", with_thumb(file_rec(4, "image/jpeg", "cat.jpg"), 320, 200), 337,
     file_body(4, str("image/jpeg"), str("cat.jpg"), thumb_tail())},
    {"thumbnail of 65535 x 65535", with_thumb(file_rec(4, "", ""), 65535, 65535), 320,
     file_body(4, {}, {}, thumb_tail(1, 65535, 65535))},
    {"thumbnail 65536 wide refused", with_thumb(file_rec(4, "", ""), 65536, 1), 0, {}},
    {"thumbnail 65536 high refused", with_thumb(file_rec(4, "", ""), 1, 65536), 0, {}},
    {"MIME type of 127", file_rec(4, std::string(127, 'm'), "f"), 287, file_body(4, rep(127, 'm'), str("f"))},
    {"MIME type filling all 128 bytes is cut to 127", file_rec(4, std::string(128, 'm'), "f"), 287,
     file_body(4, rep(127, 'm'), str("f"))},
    {"name of 255", file_rec(4, "", std::string(255, 'n')), 414, file_body(4, {}, rep(255, 'n'))},
    {"name filling all 256 bytes is cut to 255", file_rec(4, "", std::string(256, 'n')), 414,
     file_body(4, {}, rep(255, 'n'))},
    {"file at every limit with a thumbnail", with_thumb(file_rec(4, std::string(128, 'm'), std::string(256, 'n')), 1, 2),
     159 + 127 + 255 + 161, file_body(4, rep(127, 'm'), rep(255, 'n'), thumb_tail(1, 1, 2))},
    {"avatar", file_rec(5, "image/png", "me.png"), 174, file_body(5, str("image/png"), str("me.png"))},
    {"avatar drops a thumbnail", with_thumb(file_rec(5, "image/png", ""), 9, 9), 168, file_body(5, str("image/png"), {})},
    {"avatar ignores a thumbnail side it never writes", with_thumb(file_rec(5, "", ""), 70000, 70000), 159,
     file_body(5, {}, {})},
    {"group avatar", file_rec(7, "image/webp", "g"), 170, file_body(7, str("image/webp"), str("g"))},
    {"group avatar drops a thumbnail", with_thumb(file_rec(7, "", ""), 9, 9), 159, file_body(7, {}, {})},

    {"voice without peaks", voice_rec(0), 166, voice_body(0, 0)},
    {"voice with one peak", voice_rec(1), 167, voice_body(1, 1)},
    {"voice with 100 peaks is 266 bytes", voice_rec(100), 266, voice_body(100, 100)},
    {"voice with 101 peaks refused", voice_rec(101), 0, {}},
    {"voice with 255 peaks refused", voice_rec(255), 0, {}},

    {"empty link is 8 bytes", link_rec("", "", ""), 8, {13, 0, 0, 0, 0, 0, 0, 0}},
    {"link", link_rec("https://x.test/a", "A", "An example"), 35,
     link_body(str("https://x.test/a"), str("A"), str("An example"), 0, false)},
    {"link with an image", link_rec("u", "t", "d", 1), 175, link_body(str("u"), str("t"), str("d"), 1, true)},
    {"link image flag 7 is written as 1", link_rec("u", "", "", 7), 173, link_body(str("u"), {}, {}, 1, true)},
    {"link at every limit", link_rec(std::string(1024, 'u'), std::string(200, 't'), std::string(500, 'd'), 1),
     172 + 1724, link_body(rep(1024, 'u'), rep(200, 't'), rep(500, 'd'), 1, true)},
    {"texts filling their arrays are cut to 1024, 200, 500",
     link_rec(std::string(1025, 'u'), std::string(201, 't'), std::string(501, 'd')), 8 + 1724,
     link_body(rep(1024, 'u'), rep(200, 't'), rep(500, 'd'), 0, false)},
};

TEST(QuorvaneMsgBlobBodies, RoundTripsAtEveryLimit)
{
    for (const RecRoundTrip &r : kRecRoundTrips) {
        SCOPED_TRACE(r.name);
        Bytes buf(r.want_len + 2048, 0xAA);
        const size_t n = encode_rec(r.rec, buf.data(), buf.size());
        if (r.want_len == 0) {
            EXPECT_EQ(n, 0u);
            EXPECT_EQ(buf, Bytes(buf.size(), 0xAA)) << "a refusing encoder wrote";
            continue;
        }
        ASSERT_EQ(n, r.want_len);
        buf.resize(n);
        EXPECT_EQ(buf, r.want_bytes);

        Rec got;
        ASSERT_EQ(decode_rec(r.rec.type, buf, &got), 0);
        expect_decoded_as_sent(r.rec, got);

        // the decoded record encodes to the same body
        Bytes again(n + 1, 0xAA);
        got.type = r.rec.type;
        EXPECT_EQ(encode_rec(got, again.data(), again.size()), n);
        again.resize(n);
        EXPECT_EQ(again, buf);

        // room for exactly the body is enough, one byte less is refused untouched
        auto exact = std::make_unique<uint8_t[]>(n);
        EXPECT_EQ(encode_rec(r.rec, exact.get(), n), n);
        Bytes small(n - 1, 0xAA);
        EXPECT_EQ(encode_rec(r.rec, small.data(), small.size()), 0u);
        EXPECT_EQ(small, Bytes(n - 1, 0xAA));

        // every truncation is refused but one: a file body cut just before its thumbnail
        const bool thumb = r.rec.type == 4 && got.file.has_thumb;
        for (size_t k = 0; k < n; k++) {
            const bool ok = thumb && k == n - QV_MSG_THUMB_LEN;
            EXPECT_EQ(decode_rec(r.rec.type, Bytes(buf.begin(), buf.begin() + k), &got), ok ? 0 : -3) << "cut to " << k;
        }
        EXPECT_EQ(decode_rec(r.rec.type, cat({buf, {0}}), &got), -3) << "one trailing byte";
    }
}

struct RecHandBuilt {
    const char *name;
    uint8_t     decoder;
    Bytes       body;
    int         want;
};

const RecHandBuilt kRecHandBuilt[] = {
    {"file: 156 bytes", 4, drop_last(drop_last(drop_last(file_body(4, {}, {})))), -3},
    {"file: 157 bytes, no MIME length", 4, drop_last(drop_last(file_body(4, {}, {}))), -3},
    {"file: 158 bytes, no name length", 4, drop_last(file_body(4, {}, {})), -3},
    {"file: 159 bytes", 4, file_body(4, {}, {}), 0},
    {"file: 160 bytes", 4, cat({file_body(4, {}, {}), {1}}), -3},
    {"file: thumbnail tail", 4, file_body(4, {}, {}, thumb_tail()), 0},
    {"file: thumbnail marker 0", 4, file_body(4, {}, {}, thumb_tail(0)), -3},
    {"file: thumbnail marker 2", 4, file_body(4, {}, {}, thumb_tail(2)), -3},
    {"file: thumbnail tail one short", 4, file_body(4, {}, {}, drop_last(thumb_tail())), -3},
    {"file: thumbnail tail one long", 4, file_body(4, {}, {}, cat({thumb_tail(), {0}})), -3},
    {"file: marker alone", 4, file_body(4, {}, {}, {1}), -3},
    {"file: MIME length 127", 4, file_body(4, rep(127, 'm'), {}), 0},
    {"file: MIME length 128 refused", 4, file_body(4, rep(128, 'm'), {}), -3},
    {"file: MIME length 255 refused", 4, file_body(4, rep(255, 'm'), {}), -3},
    {"file: name length 255", 4, file_body(4, {}, rep(255, 'n')), 0},
    {"file: MIME runs past the end", 4, cat({{4}, ref_bytes(0x10), {5}, str("ab")}), -3},
    {"file: name runs past the end", 4, cat({{4}, ref_bytes(0x10), {0, 9}, str("abc")}), -3},
    {"file decoder on an avatar body", 4, file_body(5, {}, {}), -3},
    {"avatar: plain", 5, file_body(5, str("image/png"), {}), 0},
    {"avatar: thumbnail tail refused", 5, file_body(5, {}, {}, thumb_tail()), -3},
    {"avatar decoder on a file body", 5, file_body(4, {}, {}), -3},
    {"group avatar: plain", 7, file_body(7, {}, str("g")), 0},
    {"group avatar: thumbnail tail refused", 7, file_body(7, {}, {}, thumb_tail()), -3},
    {"group avatar decoder on an avatar body", 7, file_body(5, {}, {}), -3},

    {"voice: 165 bytes", 12, drop_last(voice_body(0, 0)), -3},
    {"voice: 166 bytes", 12, voice_body(0, 0), 0},
    {"voice: 100 peaks", 12, voice_body(100, 100), 0},
    {"voice: 101 peaks refused", 12, voice_body(101, 101), -3},
    {"voice: 255 peaks refused", 12, voice_body(255, 255), -3},
    {"voice: peaks run past the end", 12, voice_body(3, 2), -3},
    {"voice: trailing byte", 12, voice_body(2, 3), -3},
    {"voice decoder on a link body", 12, cat({{13}, voice_body(0, 0)}), -3},

    {"link: 7 bytes", 13, drop_last(link_lens(0, 0, 0)), -3},
    {"link: 8 bytes", 13, link_lens(0, 0, 0), 0},
    {"link: URL 1024", 13, link_lens(1024, 0, 0), 0},
    {"link: URL 1025 refused", 13, link_lens(1025, 0, 0), -3},
    {"link: title 200", 13, link_lens(0, 200, 0), 0},
    {"link: title 201 refused", 13, link_lens(0, 201, 0), -3},
    {"link: description 500", 13, link_lens(0, 0, 500), 0},
    {"link: description 501 refused", 13, link_lens(0, 0, 501), -3},
    {"link: URL length 65535 refused", 13, cat({{13, 0xff, 0xff}, rep(20, 'u')}), -3},
    {"link: URL runs past the end", 13, cat({{13, 0, 9}, str("abc")}), -3},
    {"link: title runs past the end", 13, cat({{13, 0, 0, 0, 4}, str("abc")}), -3},
    {"link: no flag byte", 13, {13, 0, 0, 0, 0, 0, 0}, -3},
    {"link: flag 0 with an image behind it refused", 13, link_body({}, {}, {}, 0, true), -3},
    {"link: flag 1 with no image refused", 13, link_body({}, {}, {}, 1, false), -3},
    {"link: flag 1 with an image", 13, link_body({}, {}, {}, 1, true), 0},
    {"link: flag 2 counts as 1", 13, link_body({}, {}, {}, 2, true), 0},
    {"link: image one byte short", 13, drop_last(link_body({}, {}, {}, 1, true)), -3},
    {"link decoder on a voice body", 13, cat({{12}, drop_last(link_lens(0, 0, 0))}), -3},
};

TEST(QuorvaneMsgBlobBodies, DecodersOnHandBuiltBodies)
{
    for (const RecHandBuilt &h : kRecHandBuilt) {
        SCOPED_TRACE(h.name);
        Rec got;
        EXPECT_EQ(decode_rec(h.decoder, h.body, &got), h.want);
        if (h.want != 0) {
            // a refused body may have got as far as a blob key: none may stay behind
            EXPECT_TRUE(h.decoder == 12 ? all_zero(&got.voice, sizeof got.voice)
                        : h.decoder == 13 ? all_zero(&got.link, sizeof got.link)
                                          : all_zero(&got.file, sizeof got.file)) << "record not wiped";
        }
    }

    // the fields a decoder fills, read back from hand-built bodies
    Rec got;
    ASSERT_EQ(decode_rec(4, file_body(4, str("image/jpeg"), str("cat.jpg"), thumb_tail(1, 0x1234, 0x0567)), &got), 0);
    EXPECT_TRUE(same_ref(got.file.blob, make_ref(0x10)));
    EXPECT_TRUE(same_ref(got.file.thumb, make_ref(0x60)));
    EXPECT_STREQ(got.file.mime, "image/jpeg");
    EXPECT_STREQ(got.file.name, "cat.jpg");
    EXPECT_EQ(got.file.has_thumb, 1);
    EXPECT_EQ(got.file.thumb_width, 0x1234u);
    EXPECT_EQ(got.file.thumb_height, 0x0567u);

    ASSERT_EQ(decode_rec(12, voice_body(3, 3), &got), 0);
    EXPECT_TRUE(same_ref(got.voice.file.blob, make_ref(0x20)));
    EXPECT_EQ(got.voice.duration_ms, 0x00012345u);
    EXPECT_EQ(got.voice.sample_rate, 16000u);
    EXPECT_EQ(got.voice.peak_count, 3);
    EXPECT_EQ(Bytes(got.voice.peaks, got.voice.peaks + 3), (Bytes{1, 3, 5}));
    EXPECT_STREQ(got.voice.file.mime, "audio/x-adpcm");
    EXPECT_STREQ(got.voice.file.name, "");

    ASSERT_EQ(decode_rec(13, link_body(str("https://a"), str("T"), str("D"), 2, true), &got), 0);
    EXPECT_STREQ(got.link.url, "https://a");
    EXPECT_STREQ(got.link.title, "T");
    EXPECT_STREQ(got.link.description, "D");
    EXPECT_EQ(got.link.has_image, 1);
    EXPECT_TRUE(same_ref(got.link.image.blob, make_ref(0x30)));
    EXPECT_STREQ(got.link.image.mime, "image/png");
    EXPECT_EQ(got.link.image_width, 0x01020304u);
    EXPECT_EQ(got.link.image_height, 1080u);
}

TEST(QuorvaneMsgBlobBodies, MissingArgumentsAreRefused)
{
    const Rec f = file_rec(4, "a", "b"), v = voice_rec(1), l = link_rec("u", "", "");
    uint8_t out[2048];
    const struct { const char *name; size_t got; } kEncodes[] = {
        {"file, no record", quorvane_msg_file_encode(nullptr, out, sizeof out)},
        {"file, no output", quorvane_msg_file_encode(&f.file, nullptr, sizeof out)},
        {"avatar, no record", quorvane_msg_avatar_encode(nullptr, out, sizeof out)},
        {"group avatar, no output", quorvane_msg_group_avatar_encode(&f.file, nullptr, sizeof out)},
        {"voice, no record", quorvane_msg_voice_encode(nullptr, out, sizeof out)},
        {"voice, no output", quorvane_msg_voice_encode(&v.voice, nullptr, sizeof out)},
        {"link, no record", quorvane_msg_link_encode(nullptr, out, sizeof out)},
        {"link, no output", quorvane_msg_link_encode(&l.link, nullptr, sizeof out)},
    };
    for (const auto &c : kEncodes) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.got, 0u);
    }

    const Bytes file = file_body(4, {}, {}), voice = voice_body(0, 0), link = link_lens(0, 0, 0);
    quorvane_file_meta fm;
    quorvane_voice_meta vm;
    quorvane_link_meta lm;
    EXPECT_EQ(quorvane_msg_file_decode(file.data(), file.size(), nullptr), -3);
    EXPECT_EQ(quorvane_msg_avatar_decode(file.data(), file.size(), nullptr), -3);
    EXPECT_EQ(quorvane_msg_group_avatar_decode(file.data(), file.size(), nullptr), -3);
    EXPECT_EQ(quorvane_msg_voice_decode(voice.data(), voice.size(), nullptr), -3);
    EXPECT_EQ(quorvane_msg_link_decode(link.data(), link.size(), nullptr), -3);
    EXPECT_EQ(quorvane_msg_file_decode(nullptr, file.size(), &fm), -3);
    EXPECT_EQ(quorvane_msg_voice_decode(nullptr, voice.size(), &vm), -3);
    EXPECT_EQ(quorvane_msg_link_decode(nullptr, link.size(), &lm), -3);
}

// A blob sealed, referenced in a file body, decoded on the other side and
// opened from what the reference holds: the reference is all a receiver needs.
TEST(QuorvaneMsgBlobBodies, AReferenceOpensTheBlobItNames)
{
    Bytes content(70000);
    for (size_t i = 0; i < content.size(); i++)
        content[i] = static_cast<uint8_t>(i * 7);
    Rec sent = file_rec(4, "application/octet-stream", "data.bin");
    quorvane_blob_ref &ref = sent.file.blob;
    ASSERT_EQ(quorvane_random(ref.storage_id, sizeof ref.storage_id), 0);
    ASSERT_EQ(quorvane_random(ref.blob_id, sizeof ref.blob_id), 0);
    ASSERT_EQ(quorvane_random(ref.key, sizeof ref.key), 0);
    ASSERT_EQ(quorvane_random(ref.salt, sizeof ref.salt), 0);
    Bytes sealed(quorvane_blob_sealed_len(content.size()));
    size_t sealed_len = 0;
    ASSERT_EQ(quorvane_blob_stream_seal(ref.key, ref.salt, ref.blob_id, content.data(), content.size(), sealed.data(),
                                        sealed.size(), &sealed_len, &ref.chunk_count, ref.hash), 0);
    ref.size = content.size();

    uint8_t body[512];
    const size_t n = quorvane_msg_file_encode(&sent.file, body, sizeof body);
    ASSERT_NE(n, 0u);
    quorvane_file_meta got;
    ASSERT_EQ(quorvane_msg_file_decode(body, n, &got), 0);
    Bytes opened(got.blob.size);
    size_t opened_len = 0;
    ASSERT_EQ(quorvane_blob_stream_open(got.blob.key, got.blob.salt, got.blob.blob_id, sealed.data(), sealed_len,
                                        got.blob.chunk_count, got.blob.hash, opened.data(), opened.size(), &opened_len), 0);
    EXPECT_EQ(opened, content);
    quorvane_cleanse(&got, sizeof got);
}

}  // namespace
