// Chat-view rules: mentions while typing and in texts, overlays, long-press
// routes, copy text of every body type (bodies made by the protocol encoders and
// kept as the session stores them) and the quick-reaction cycle.
#include "client_msgact.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "quorvane_msg.h"

namespace {

// ---- mentions -----------------------------------------------------------------

TEST(Mentions, Typing) {
    struct Case {
        const char *text;
        size_t      cursor;
        int         result;
        size_t      start, len;
    };
    const Case cases[] = {
        {"hi @al", 6, 1, 3, 2},        // the Part's example
        {"hi @al", 4, 1, 3, 0},        // right after the "@"
        {"hi @al", 100, 1, 3, 2},      // a cursor past the end counts to the end
        {"hi @al", 5, 1, 3, 1},
        {"hi @al", 3, 0, 0, 0},        // the space before it
        {"mail@al", 7, 0, 0, 0},       // "@" after a visible byte
        {"@al", 3, 1, 0, 2},           // at the start of the text
        {"a\t@b\xc3\xa9", 6, 1, 2, 3}, // after a tab; UTF-8 bytes belong to the fragment
        {"a @b c", 6, 0, 0, 0},        // a blank met first
        {"x @@b", 5, 0, 0, 0},         // the nearest "@" follows another
        {"@", 1, 1, 0, 0},
        {"", 0, 0, 0, 0},
        {"@al", 0, 0, 0, 0},
        {"a\x01@b", 4, 1, 2, 1},       // control bytes are blanks
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << '"' << c.text << "\" cursor " << c.cursor);
        size_t start = 99, len = 99;
        EXPECT_EQ(quorvane_mention_typing(c.text, c.cursor, &start, &len), c.result);
        EXPECT_EQ(start, c.result ? c.start : 99u);
        EXPECT_EQ(len, c.result ? c.len : 99u);
    }
    EXPECT_EQ(quorvane_mention_typing("hi @al", 6, nullptr, nullptr), 1);
    EXPECT_EQ(quorvane_mention_typing(nullptr, 6, nullptr, nullptr), 0);
}

TEST(Mentions, InText) {
    struct Case {
        const char *text, *name;
        int         result;
    };
    const Case cases[] = {
        {"@Bob, hi", "bob", 1},     {"@bobby", "bob", 0},     {"@bob.", "bob", 1},     {"@bob x", "bob", 1},
        {"x@bob", "bob", 0},        {"@bob", "bob", 1},       {"@bob", "BOB", 1},      {"hey\t@bob\n", "bob", 1},
        {"@bob\x01", "bob", 1},     {"@bob_x", "bob", 1},     {"@bob-x", "bob", 1},    {"@bob~", "bob", 1},
        {"@bob\xc3\xa9", "bob", 0}, {"@bob1", "bob", 0},      {"@bo", "bob", 0},       {"bob", "bob", 0},
        {"@bob", "", 0},            {"", "bob", 0},           {"x@bob @bob", "bob", 1}, {"\xc3\xa9@bob", "bob", 0},
        {"@@bob", "bob", 0},        {"@ab@bob", "bob", 0},    {"@anna-lee!", "anna-lee", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << '"' << c.text << "\" / " << c.name);
        EXPECT_EQ(quorvane_text_mentions(c.text, c.name), c.result);
    }
    EXPECT_EQ(quorvane_text_mentions(nullptr, "bob"), 0);
    EXPECT_EQ(quorvane_text_mentions("@bob", nullptr), 0);
}

// The worker's two readings: a text body's text, and a reply's text after its
// 25-byte reference.
TEST(Mentions, OnEncodedBodies) {
    const std::string text = "thanks @Carol!";
    uint8_t body[128];
    size_t n = quorvane_msg_text_encode(text.data(), text.size(), body, sizeof body);
    ASSERT_GT(n, 0u);
    const char *t = nullptr;
    size_t tl = 0;
    ASSERT_EQ(quorvane_msg_text_decode(body, n, &t, &tl), 0);
    EXPECT_EQ(quorvane_text_mentions(std::string(t, tl).c_str(), "carol"), 1);
    EXPECT_EQ(quorvane_text_mentions(std::string(t, tl).c_str(), "caro"), 0);

    const uint8_t target[16] = {7};
    n = quorvane_msg_reply_encode(target, 42, text.data(), text.size(), body, sizeof body);
    ASSERT_EQ(n, 25 + text.size());
    EXPECT_EQ(quorvane_text_mentions(std::string(reinterpret_cast<char *>(body) + 25, n - 25).c_str(), "carol"), 1);
}

// ---- overlays -------------------------------------------------------------------

TEST(Overlays, NoteHitMergeAndClear) {
    quorvane_overlays o{};
    for (int i = 0; i < 16; i++) quorvane_overlays_note(&o, 100.0f * i, 0, 10, 10);
    EXPECT_EQ(o.count, 16);
    EXPECT_EQ(quorvane_overlays_hit(&o, 1500, 10), 1);  // 16th, corner
    EXPECT_EQ(quorvane_overlays_hit(&o, 0, 0), 1);      // edges included
    EXPECT_EQ(quorvane_overlays_hit(&o, 10, 10), 1);
    EXPECT_EQ(quorvane_overlays_hit(&o, 11, 10), 0);
    EXPECT_EQ(quorvane_overlays_hit(&o, 5, 2000), 0);
    EXPECT_EQ(quorvane_overlays_hit(&o, 5, 1000), 0);
    // The 17th merges into the 16th: its bounding box.
    quorvane_overlays_note(&o, 1600, 990, 20, 20);
    EXPECT_EQ(o.count, 16);
    EXPECT_EQ(quorvane_overlays_hit(&o, 1610, 1000), 1);
    EXPECT_EQ(quorvane_overlays_hit(&o, 1550, 500), 1);  // inside the box, in neither rectangle
    EXPECT_EQ(quorvane_overlays_hit(&o, 1499, 500), 0);
    EXPECT_FLOAT_EQ(o.rect[15].x, 1500);
    EXPECT_FLOAT_EQ(o.rect[15].y, 0);
    EXPECT_FLOAT_EQ(o.rect[15].w, 120);
    EXPECT_FLOAT_EQ(o.rect[15].h, 1010);
    EXPECT_FLOAT_EQ(o.rect[14].x, 1400);  // the others stay

    // A negative count: the next rectangle is the only one.
    o.count = -1;
    EXPECT_EQ(quorvane_overlays_hit(&o, 5, 5), 0);
    quorvane_overlays_note(&o, 50, 50, 5, 5);
    EXPECT_EQ(o.count, 1);
    EXPECT_EQ(quorvane_overlays_hit(&o, 5, 5), 0);
    EXPECT_EQ(quorvane_overlays_hit(&o, 55, 55), 1);
    // A count past 16 looks at 16 only.
    o.count = 1000;
    EXPECT_EQ(quorvane_overlays_hit(&o, 1550, 500), 1);
    quorvane_overlays_clear(&o);
    EXPECT_EQ(o.count, 0);
    EXPECT_EQ(quorvane_overlays_hit(&o, 55, 55), 0);
    quorvane_overlays_note(nullptr, 0, 0, 1, 1);
    quorvane_overlays_clear(nullptr);
    EXPECT_EQ(quorvane_overlays_hit(nullptr, 0, 0), 0);
}

// ---- long press -----------------------------------------------------------------

TEST(LongPress, RouteTable) {
    struct Case {
        int field, message, alternate, route, on_hold;
    };
    const Case cases[] = {
        {0, 0, 0, 0, 0}, {0, 0, 1, 0, 0}, {0, 1, 0, 2, 1}, {0, 1, 1, 3, 1},
        {1, 0, 0, 1, 0}, {1, 0, 1, 1, 0}, {1, 1, 0, 1, 0}, {1, 1, 1, 1, 0},
        {7, -1, 5, 1, 0}, {0, -1, 5, 3, 1},  // any non-zero flag counts
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.field << c.message << c.alternate);
        const int r = quorvane_longpress_route(c.field, c.message, c.alternate);
        EXPECT_EQ(r, c.route);
        EXPECT_EQ(quorvane_longpress_on_hold(r), c.on_hold);
    }
    EXPECT_EQ(quorvane_longpress_on_hold(4), 0);
    EXPECT_EQ(quorvane_longpress_on_hold(-1), 0);
}

// ---- copy text --------------------------------------------------------------------

struct Rec {
    quorvane_ms_msgrec r;
    Rec(uint8_t type, const void *body, size_t n) {
        std::memset(&r, 0, sizeof r);
        r.type = type;
        std::memcpy(r.text, body, n);
        r.text_len = n;
    }
    Rec(uint8_t type, const std::string &s) : Rec(type, s.data(), s.size()) {}
};

std::string copied(const Rec &m, size_t cap, int *result) {
    std::vector<char> out(cap + 8, '#');
    *result = quorvane_msg_copy_text(&m.r, out.data(), cap);
    if (cap == 0) return std::string(out.data(), 1);
    EXPECT_LT(std::strlen(out.data()), cap);
    return out.data();
}

quorvane_file_meta file_meta(const std::string &name, bool thumb) {
    quorvane_file_meta f;
    std::memset(&f, 0, sizeof f);
    f.blob.chunk_count = 1;
    f.blob.size = 5;
    std::memset(f.blob.key, 0x42, sizeof f.blob.key);
    std::strcpy(f.mime, "application/pdf");
    std::memcpy(f.name, name.data(), name.size());
    f.has_thumb = thumb;
    f.thumb_width = f.thumb_height = 64;
    return f;
}

std::vector<uint8_t> file_body(const std::string &name, bool thumb = false) {
    const quorvane_file_meta f = file_meta(name, thumb);
    std::vector<uint8_t> b(1024);
    b.resize(quorvane_msg_file_encode(&f, b.data(), b.size()));
    EXPECT_FALSE(b.empty());
    return b;
}

std::vector<uint8_t> reply_body(const std::string &text) {
    const uint8_t target[16] = {1, 2, 3};
    std::vector<uint8_t> b(text.size() + 64);
    b.resize(quorvane_msg_reply_encode(target, 9, text.data(), text.size(), b.data(), b.size()));
    EXPECT_FALSE(b.empty());
    return b;
}

std::vector<uint8_t> link_body(const std::string &url, bool image) {
    quorvane_link_meta l;
    std::memset(&l, 0, sizeof l);
    std::memcpy(l.url, url.data(), url.size());
    std::strcpy(l.title, "A title");
    std::strcpy(l.description, "Words about it");
    l.has_image = image;
    l.image_width = l.image_height = 100;
    std::vector<uint8_t> b(4096);
    b.resize(quorvane_msg_link_encode(&l, b.data(), b.size()));
    EXPECT_FALSE(b.empty());
    return b;
}

TEST(CopyText, EveryBodyType) {
    const std::string text = "see you at 10";
    std::vector<uint8_t> text_wire(64);
    text_wire.resize(quorvane_msg_text_encode(text.data(), text.size(), text_wire.data(), text_wire.size()));
    ASSERT_EQ(text_wire.size(), text.size() + 1);

    quorvane_voice_meta voice;
    std::memset(&voice, 0, sizeof voice);
    voice.duration_ms = 1200;
    voice.peak_count = 3;
    std::vector<uint8_t> voice_body(512);
    voice_body.resize(quorvane_msg_voice_encode(&voice, voice_body.data(), voice_body.size()));
    ASSERT_FALSE(voice_body.empty());

    quorvane_sticker st{};
    st.version = 3;
    std::strcpy(st.name, "cat_wave");
    std::vector<uint8_t> sticker_body(64);
    sticker_body.resize(quorvane_msg_sticker_encode(&st, sticker_body.data(), sticker_body.size()));
    ASSERT_FALSE(sticker_body.empty());

    const uint8_t target[16] = {4};
    std::vector<uint8_t> delete_body(32);
    delete_body.resize(quorvane_msg_delete_encode(target, 5, delete_body.data(), delete_body.size()));
    ASSERT_EQ(delete_body.size(), 25u);

    const std::vector<uint8_t> file = file_body("report.pdf"), thumb = file_body("photo \xc3\xa9t\xc3\xa9.jpg", true);
    const std::vector<uint8_t> reply = reply_body("sure thing"), link = link_body("https://example.org/a?b=c", false);
    const std::vector<uint8_t> link_img = link_body("https://example.org/img", true);
    std::vector<uint8_t> cut_file(file.begin(), file.end() - 1);

    struct Case {
        const char *name;
        Rec         rec;
        int         result;
        std::string want;
    };
    const Case cases[] = {
        // Stored as the session stores them: plain text for 1 and 2, the sticker's
        // name for 16, the whole body for 4, 10, 12 and 13.
        {"text", Rec(QV_MSG_TEXT, text), 1, text},
        {"empty text", Rec(QV_MSG_TEXT, ""), 0, ""},
        {"system", Rec(QV_MSG_SYSTEM, "Alice joined"), 0, ""},
        {"file", Rec(QV_MSG_FILE, file.data(), file.size()), 1, "report.pdf"},
        {"file with thumbnail", Rec(QV_MSG_FILE, thumb.data(), thumb.size()), 1, "photo \xc3\xa9t\xc3\xa9.jpg"},
        {"file without a name", Rec(QV_MSG_FILE, file_body("").data(), 159), 0, ""},
        {"file body cut short", Rec(QV_MSG_FILE, cut_file.data(), cut_file.size()), 0, ""},
        {"text read as a file", Rec(QV_MSG_FILE, text_wire.data(), text_wire.size()), 0, ""},
        {"reply", Rec(QV_MSG_REPLY, reply.data(), reply.size()), 1, "sure thing"},
        {"reply without text", Rec(QV_MSG_REPLY, reply_body("").data(), 25), 0, ""},
        {"reply of one byte", Rec(QV_MSG_REPLY, reply_body("k").data(), 26), 1, "k"},
        {"link", Rec(QV_MSG_LINK, link.data(), link.size()), 1, "https://example.org/a?b=c"},
        {"link with image", Rec(QV_MSG_LINK, link_img.data(), link_img.size()), 1, "https://example.org/img"},
        {"link cut short", Rec(QV_MSG_LINK, link.data(), link.size() - 1), 0, ""},
        {"voice", Rec(QV_MSG_VOICE, voice_body.data(), voice_body.size()), 0, ""},
        {"sticker", Rec(QV_MSG_STICKER, std::string(st.name)), 0, ""},
        {"delete", Rec(QV_MSG_DELETE, delete_body.data(), delete_body.size()), 0, ""},
        {"type 0", Rec(0, "x"), 0, ""},
        {"text with a zero byte", Rec(QV_MSG_TEXT, std::string("ab\0cd", 5)), 1, "ab"},
        {"text starting with a zero byte", Rec(QV_MSG_TEXT, std::string("\0cd", 3)), 0, ""},
        {"reply text starting with a zero byte", Rec(QV_MSG_REPLY, reply_body(std::string("\0x", 2)).data(), 27), 0, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        int result = -1;
        EXPECT_EQ(copied(c.rec, 4097, &result), c.want);
        EXPECT_EQ(result, c.result);
    }
}

// Only text, file, reply and link records copy anything; every other type
// number gives nothing, whatever its body: here a body that would copy as text,
// and the real bodies of an edit, a reaction and an avatar.
TEST(CopyText, OtherTypesCopyNothing) {
    const uint8_t target[16] = {9};
    std::vector<uint8_t> edit(64), reaction(64);
    edit.resize(quorvane_msg_edit_encode(target, 3, "new words", 9, edit.data(), edit.size()));
    reaction.resize(quorvane_msg_reaction_encode(target, 3, 1, "heart", reaction.data(), reaction.size()));
    quorvane_file_meta avatar = file_meta("me.png", false);
    std::vector<uint8_t> avatar_body(512);
    avatar_body.resize(quorvane_msg_avatar_encode(&avatar, avatar_body.data(), avatar_body.size()));
    ASSERT_FALSE(edit.empty() || reaction.empty() || avatar_body.empty());
    for (int type = 0; type < 256; type++) {
        if (type == QV_MSG_TEXT || type == QV_MSG_FILE || type == QV_MSG_REPLY || type == QV_MSG_LINK) continue;
        SCOPED_TRACE(type);
        int result = -1;
        EXPECT_EQ(copied(Rec(uint8_t(type), "plain words"), 64, &result), "");
        EXPECT_EQ(result, 0);
        for (const auto *b : {&edit, &reaction, &avatar_body}) {
            EXPECT_EQ(copied(Rec(uint8_t(type), b->data(), b->size()), 64, &result), "");
            EXPECT_EQ(result, 0);
        }
    }
}

TEST(CopyText, CutsOnCharacterBoundaries) {
    struct Case {
        std::string text;
        size_t      cap;
        std::string want;
    };
    const Case cases[] = {
        {"0123456789", 5, "0123"},                      // the Part's example
        {"012\xc3\xa9" "56789", 5, "012"},               // the fifth byte continues "é"
        {"012\xc3\xa9" "56789", 6, "012\xc3\xa9"},
        {"\xe2\x82\xac\xe2\x82\xac", 6, "\xe2\x82\xac"}, // two euro signs, the second cut
        {"\xe2\x82\xac\xe2\x82\xac", 3, ""},
        {"\xe2\x82\xac\xe2\x82\xac", 7, "\xe2\x82\xac\xe2\x82\xac"},
        {"0123456789", 11, "0123456789"},
        {"0123456789", 10, "012345678"},
        {"0123456789", 1, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.text << " cap " << c.cap);
        int result = -1;
        EXPECT_EQ(copied(Rec(QV_MSG_TEXT, c.text), c.cap, &result), c.want);
        EXPECT_EQ(result, c.want.empty() ? 0 : 1);
    }
    // A reply and a file name are cut the same way.
    const std::vector<uint8_t> reply = reply_body("ab\xc3\xa9"), file = file_body("ab\xc3\xa9.txt");
    int result = -1;
    EXPECT_EQ(copied(Rec(QV_MSG_REPLY, reply.data(), reply.size()), 4, &result), "ab");
    EXPECT_EQ(copied(Rec(QV_MSG_FILE, file.data(), file.size()), 4, &result), "ab");
    EXPECT_EQ(result, 1);
}

TEST(CopyText, MissingAndOversizedArguments) {
    Rec m(QV_MSG_TEXT, "hello");
    char out[8] = "keep";
    EXPECT_EQ(quorvane_msg_copy_text(&m.r, out, 0), 0);
    EXPECT_STREQ(out, "keep");  // no room even for the terminator: untouched
    EXPECT_EQ(quorvane_msg_copy_text(&m.r, nullptr, 8), 0);
    EXPECT_EQ(quorvane_msg_copy_text(nullptr, out, sizeof out), 0);
    EXPECT_STREQ(out, "");
    // A length beyond the store's 4096 bytes reads no further than them.
    Rec big(QV_MSG_TEXT, std::string(QV_MS_TEXT_MAX, 'x'));
    big.r.text_len = 1u << 20;
    int result = -1;
    EXPECT_EQ(copied(big, 8192, &result), std::string(QV_MS_TEXT_MAX, 'x'));
    EXPECT_EQ(result, 1);
}

// ---- quick reactions -------------------------------------------------------------

TEST(QuickReact, CycleValidityAndLabels) {
    const char *cycle[] = {"thumbsup", "heart", "laugh", "wow", "fire", "party", "check"};
    const char *labels[] = {"thumbs up", "heart", "laugh", "wow", "fire", "party", "check"};
    for (size_t i = 0; i < 7; i++) {
        SCOPED_TRACE(cycle[i]);
        EXPECT_EQ(quorvane_quick_react_valid(cycle[i]), 1);
        EXPECT_STREQ(quorvane_quick_react_next(cycle[i]), cycle[(i + 1) % 7]);
        EXPECT_STREQ(quorvane_quick_react_label(cycle[i]), labels[i]);
    }
    const char *others[] = {"smile", "", "Thumbsup", "thumbsup ", "thumbs up", "hear"};
    for (const char *o : others) {
        SCOPED_TRACE(o);
        EXPECT_EQ(quorvane_quick_react_valid(o), 0);
        EXPECT_STREQ(quorvane_quick_react_next(o), "thumbsup");
        EXPECT_STREQ(quorvane_quick_react_label(o), o);
    }
    EXPECT_EQ(quorvane_quick_react_valid(nullptr), 0);
    EXPECT_STREQ(quorvane_quick_react_next(nullptr), "thumbsup");
    EXPECT_STREQ(quorvane_quick_react_label(nullptr), "");
    EXPECT_STREQ(QV_QUICK_REACT_DEFAULT, quorvane_quick_react_next(nullptr));
}

}  // namespace
