// The receive path between real message stores: envelopes sealed under the
// conversation key with the envelope sealer, and device-session envelopes made
// by a real sender (X3DH from a published prekey bag, then the double ratchet)
// delivered to a signed-in session without a connection. Every body type, the
// wrappers, the cursor decisions, previous sessions, replays of a preamble,
// forged senders, notifications and their previews, and the upkeep of sessions
// with the account's own devices.
#include "client_deliver.h"
#include "client_session.h"
#include "deliver_support.h"
#include "dm_support.h"
#include "qv_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using namespace qvdeliver;
using qvdeliver::link;  // not the file system call

/* ---- bodies ---- */

TEST_F(Deliver, EveryStoredBodyType) {
    const std::string long_text(QV_MS_TEXT_MAX + 20, 'x');
    const Bytes rep = reply(bob_id.data(), 3, "sure");
    const Bytes fil = file("application/pdf", "a.pdf"), voi = voice(1500), lnk = link("https://example.org/", "Ex");
    struct Case {
        const char *name;
        Bytes body;
        bool stored;
        uint8_t type;
        std::string text;
    } cases[] = {
        {"text", text("hello"), true, 1, "hello"},
        {"text cut to the record", text(long_text), true, 1, long_text.substr(0, QV_MS_TEXT_MAX)},
        {"system", body_of(quorvane_msg_system_encode, "joined"), true, 2, "joined"},
        {"reply keeps its whole body", rep, true, 10, std::string(rep.begin(), rep.end())},
        {"reply too long for the record", reply(bob_id.data(), 3, std::string(QV_MS_TEXT_MAX, 'r')), false, 0, ""},
        {"reply that does not decode", Bytes{10, 1, 2}, false, 0, ""},
        {"file keeps its whole body", fil, true, 4, std::string(fil.begin(), fil.end())},
        {"file that does not decode", Bytes{4, 0, 0}, false, 0, ""},
        {"voice", voi, true, 12, std::string(voi.begin(), voi.end())},
        {"voice that does not decode", cat(voi, Bytes{0}), false, 0, ""},
        {"link", lnk, true, 13, std::string(lnk.begin(), lnk.end())},
        {"link that does not decode", Bytes{13, 0xFF, 0xFF}, false, 0, ""},
        {"sticker stores its name", sticker("party_parrot"), true, 16, "party_parrot"},
        {"sticker that does not decode", Bytes{16, 0, 0, 0, 1, 1, 'A'}, false, 0, ""},
        {"unknown type", Bytes{42, 'z', 'z'}, true, 42, ""},
        {"empty plaintext", Bytes{}, true, 0, ""},
        {"empty text", Bytes{1}, true, 1, ""},
    };
    uint64_t counter = 0, pos = 100;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = msgs().size();
        r.deliver(from(bob_id, ++counter, c.body), ++pos);
        const auto m = msgs();
        EXPECT_EQ(quorvane_msgstore_sync_cursor(r.ms, conv), pos) << "an opened envelope advances the cursor";
        ASSERT_EQ(m.size(), before + (c.stored ? 1 : 0));
        if (!c.stored) continue;
        const quorvane_ms_msgrec &got = m.back();
        EXPECT_EQ(got.type, c.type);
        EXPECT_EQ(text_of(got), c.text);
        EXPECT_EQ(got.text[got.text_len], 0);
        EXPECT_EQ(got.msg_id, counter);
        EXPECT_EQ(got.position, pos);
        EXPECT_EQ(got.time, 9000 + counter);
        EXPECT_EQ(std::memcmp(got.author, bob_id.data(), 16), 0);
    }
    // persisted: the same messages after a restart
    const size_t held = msgs().size();
    r.restart();
    EXPECT_EQ(msgs().size(), held);
}

// A text cut to the record never ends inside a UTF-8 sequence.
TEST_F(Deliver, LongTextCutOnACharacter) {
    std::string s = "a";
    while (s.size() < QV_MS_TEXT_MAX + 10) s += "\xC3\xA9";  // é
    r.deliver(from(bob_id, 1, text(s)), 1);
    const auto m = msgs();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].text_len, QV_MS_TEXT_MAX - 1);
    EXPECT_EQ(text_of(m[0]), s.substr(0, QV_MS_TEXT_MAX - 1));
}

TEST_F(Deliver, ProfilesAvatarsAndGroupData) {
    // the peer's profile names the conversation and the member, and asks for ours
    r.deliver(from(bob_id, 1, profile("Bobby", "about bob")), 1);
    char name[65] = {}, about[129] = {};
    EXPECT_EQ(quorvane_msgstore_get_peer_profile(r.ms, conv, name, sizeof name, about, sizeof about), 1);
    EXPECT_STREQ(name, "Bobby");
    EXPECT_STREQ(about, "about bob");
    EXPECT_EQ(quorvane_msgstore_member_name(r.ms, conv, bob_id.data(), name, sizeof name), 1);
    EXPECT_STREQ(name, "Bobby");

    // another member's profile names only that member, never the conversation
    r.deliver(from(carol_id, 1, profile("Mallory")), 2);
    EXPECT_EQ(quorvane_msgstore_get_peer_profile(r.ms, conv, name, sizeof name, about, sizeof about), 1);
    EXPECT_STREQ(name, "Bobby");
    EXPECT_EQ(quorvane_msgstore_member_name(r.ms, conv, carol_id.data(), name, sizeof name), 1);
    EXPECT_STREQ(name, "Mallory");

    // one answer per conversation, however many profiles came
    uint8_t answer[16];
    ASSERT_EQ(quorvane_cs_take_profile_answer(r.cs, answer), 1);
    EXPECT_EQ(qvtest::hex(answer, 16), qvtest::hex(conv, 16));
    EXPECT_EQ(quorvane_cs_take_profile_answer(r.cs, answer), 0);

    // avatars: a member's is ignored, the peer's is kept
    quorvane_file_meta av{};
    r.deliver(from(carol_id, 2, file("image/png", "carol.png", quorvane_msg_avatar_encode)), 3);
    EXPECT_NE(quorvane_msgstore_get_peer_avatar(r.ms, conv, &av), 1);
    r.deliver(from(bob_id, 2, file("image/png", "bob.png", quorvane_msg_avatar_encode)), 4);
    ASSERT_EQ(quorvane_msgstore_get_peer_avatar(r.ms, conv, &av), 1);
    EXPECT_STREQ(av.name, "bob.png");

    // group name and avatar from any member
    Bytes g(80);
    g.resize(quorvane_msg_group_encode("Team", 4, g.data(), g.size()));
    r.deliver(from(carol_id, 3, g), 5);
    r.deliver(from(carol_id, 4, file("image/png", "group.png", quorvane_msg_group_avatar_encode)), 6);
    r.restart();
    EXPECT_EQ(quorvane_msgstore_get_group_name(r.ms, conv, name, sizeof name), 1);
    EXPECT_STREQ(name, "Team");
    ASSERT_EQ(quorvane_msgstore_get_group_avatar(r.ms, conv, &av), 1);
    EXPECT_STREQ(av.name, "group.png");
    EXPECT_EQ(quorvane_msgstore_get_peer_profile(r.ms, conv, name, sizeof name, about, sizeof about), 1);
    EXPECT_STREQ(name, "Bobby");
    EXPECT_TRUE(msgs().empty()) << "none of these is a message";
}

TEST_F(Deliver, OwnProfileFromAnotherDevice) {
    const uint32_t e0 = quorvane_cs_self_profile_epoch(r.cs);
    char name[65] = {}, about[129] = {};
    // the account's user name, in any case, is what a device shows before it was named
    r.deliver(from(alice, 1, profile("ALICE", "x")), 1);
    EXPECT_EQ(quorvane_cs_self_profile_epoch(r.cs), e0);
    ASSERT_EQ(quorvane_msgstore_get_self_profile(r.ms, name, sizeof name, about, sizeof about), 0);
    EXPECT_STRNE(name, "ALICE");
    r.deliver(from(alice, 2, profile("", "y")), 2);
    EXPECT_EQ(quorvane_cs_self_profile_epoch(r.cs), e0);

    r.deliver(from(alice, 3, profile("Alice L.", "hi")), 3);
    EXPECT_EQ(quorvane_cs_self_profile_epoch(r.cs), e0 + 1);
    ASSERT_EQ(quorvane_msgstore_get_self_profile(r.ms, name, sizeof name, about, sizeof about), 0);
    EXPECT_STREQ(name, "Alice L.");
    EXPECT_STREQ(about, "hi");
    EXPECT_EQ(quorvane_cs_take_profile_answer(r.cs, nullptr), 0) << "our own profile asks for no answer";
}

TEST_F(Deliver, DeleteReactEdit) {
    r.deliver(from(bob_id, 1, text("bob one")), 1);
    r.deliver(from(bob_id, 2, text("bob two")), 2);
    r.deliver(from(carol_id, 1, text("carol one")), 3);
    auto has = [&](const char *t) {
        for (const auto &m : msgs())
            if (text_of(m) == t) return true;
        return false;
    };
    struct Case {
        const char *name;
        std::array<uint8_t, 16> sender;
        uint8_t server_role;
        std::array<uint8_t, 16> author;
        uint64_t counter;
        const char *target;
        bool gone;
    } cases[] = {
        {"a member may not delete another's", carol_id, 0, bob_id, 1, "bob one", false},
        {"we may not delete another's without a role", alice, 0, bob_id, 1, "bob one", false},
        {"server role 1 lets us delete another's", alice, 1, bob_id, 1, "bob one", true},
        {"a member with role 1 may", dave_id, 0, carol_id, 1, "carol one", true},
        {"the author may", bob_id, 0, bob_id, 2, "bob two", true},
    };
    uint64_t c = 10, pos = 10;
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        r.cs->role = k.server_role;
        r.deliver(from(k.sender, ++c, del(k.author.data(), k.counter)), ++pos);
        EXPECT_EQ(has(k.target), !k.gone);
    }
    r.cs->role = 0;

    // reactions added and removed by their user
    r.deliver(from(bob_id, 3, text("react here")), 20);
    quorvane_ms_reaction_count rc[4];
    auto count = [&](const char *n) {
        const size_t k = quorvane_msgstore_reactions(r.ms, conv, bob_id.data(), nullptr, 3, alice.data(), rc, 4);
        for (size_t i = 0; i < k; i++)
            if (std::string(rc[i].name) == n) return rc[i].count;
        return 0u;
    };
    r.deliver(from(carol_id, 30, reaction(bob_id.data(), 3, 1, "fire")), 21);
    r.deliver(from(alice, 30, reaction(bob_id.data(), 3, 1, "fire")), 22);
    EXPECT_EQ(count("fire"), 2u);
    r.deliver(from(carol_id, 31, reaction(bob_id.data(), 3, 0, "fire")), 23);
    EXPECT_EQ(count("fire"), 1u);

    // edits only by the author
    r.deliver(from(carol_id, 32, edit(bob_id.data(), 3, "carol was here")), 24);
    EXPECT_TRUE(has("react here"));
    r.deliver(from(bob_id, 33, edit(bob_id.data(), 3, "edited by bob")), 25);
    EXPECT_TRUE(has("edited by bob"));
    EXPECT_FALSE(has("react here"));
    r.restart();
    EXPECT_TRUE(has("edited by bob"));
}

TEST_F(Deliver, Wrappers) {
    uint8_t dev[32];
    std::memset(dev, 0x3D, 32);
    // 14: the sending device is taken from the wrapper
    r.deliver(from(bob_id, 1, wrap14(dev, text("wrapped"))), 1);
    auto m = msgs();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(text_of(m[0]), "wrapped");
    EXPECT_EQ(qvtest::hex(m[0].author_device, 32), qvtest::hex(dev, 32));
    // 14 inside 14, or 14 without an inner body, is dropped
    r.deliver(from(bob_id, 2, wrap14(dev, wrap14(dev, text("twice")))), 2);
    r.deliver(from(bob_id, 3, wrap14(dev, Bytes{})), 3);
    EXPECT_EQ(msgs().size(), 1u);
    // 15 around a delete, inside 14 too; around anything else it is dropped
    r.deliver(from(bob_id, 4, text("doomed")), 4);
    r.deliver(from(bob_id, 5, wrap15(dev, text("not an action"))), 5);
    ASSERT_EQ(msgs().size(), 2u);
    r.deliver(from(bob_id, 6, wrap14(dev, wrap15(dev, del(bob_id.data(), 4)))), 6);
    m = msgs();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(text_of(m[0]), "wrapped");
    EXPECT_EQ(m[1].type, QV_MS_TYPE_DELETED) << "the store keeps a deleted message's place";
    EXPECT_EQ(text_of(m[1]), "");
    r.deliver(from(bob_id, 7, wrap15(dev, edit(bob_id.data(), 1, "edited"))), 7);
    EXPECT_EQ(text_of(msgs()[0]), "edited");
    EXPECT_EQ(quorvane_msgstore_sync_cursor(r.ms, conv), 7u);
}

/* ---- conversation keys and cursors ---- */

TEST_F(Deliver, OlderKeysOpenUpToTheEighth) {
    uint8_t older[QV_MS_OLD_KEYS][32];
    for (auto &k : older) {
        const Bytes b = qvtest::random_bytes(32);
        std::memcpy(k, b.data(), 32);
    }
    ASSERT_EQ(quorvane_msgstore_add_old_keys(r.ms, conv, older, QV_MS_OLD_KEYS), int(QV_MS_OLD_KEYS));
    r.restart();
    uint64_t c = 0;
    for (size_t i = 0; i < QV_MS_OLD_KEYS; i++) {
        SCOPED_TRACE(i);
        ++c;
        r.deliver(conv_env(older[i], conv, bob_id.data(), c, text("old " + std::to_string(i))), c);
        EXPECT_EQ(msgs().size(), c);
    }
    ++c;
    r.deliver(from(bob_id, c, text("current")), c);
    EXPECT_EQ(msgs().size(), c);
    EXPECT_EQ(quorvane_msgstore_sync_cursor(r.ms, conv), c);
}

TEST_F(Deliver, CursorDecisions) {
    const Bytes unknown_key = qvtest::random_bytes(32);
    qvtest::LogCapture log;
    // a conversation-key envelope that does not open holds the cursor for the next sync
    r.deliver(from(bob_id, 1, text("one")), 10);
    r.deliver(conv_env(unknown_key.data(), conv, bob_id.data(), 2, text("two")), 11);
    r.deliver(from(bob_id, 3, text("three")), 12);
    EXPECT_EQ(quorvane_msgstore_sync_cursor(r.ms, conv), 10u);
    EXPECT_EQ(msgs().size(), 2u);
    EXPECT_TRUE(log.contains("session: an envelope did not open (conv_key, conv 5c5c5c5c, history 0, 1 so far)")) << log.text();

    // a blocked conversation stores nothing and still advances
    uint8_t other[16];
    std::memset(other, 0x6E, 16);
    ASSERT_EQ(quorvane_msgstore_put_conv(r.ms, other, key), 0);
    ASSERT_EQ(quorvane_msgstore_set_blocked(r.ms, other, 1), 0);
    r.deliver(conv_env(key, other, bob_id.data(), 1, text("blocked")), 40);
    EXPECT_EQ(quorvane_msgstore_sync_cursor(r.ms, other), 40u);
    EXPECT_EQ(quorvane_msgstore_msg_count(r.ms, other), 0u);
    EXPECT_EQ(notes(), 2u) << "only the two texts in the open conversation";

    // history never moves the cursor
    ASSERT_EQ(quorvane_msgstore_set_blocked(r.ms, other, 0), 0);
    r.deliver(conv_env(key, other, bob_id.data(), 2, text("old")), 50, 1);
    EXPECT_EQ(quorvane_msgstore_sync_cursor(r.ms, other), 40u);
    EXPECT_EQ(quorvane_msgstore_msg_count(r.ms, other), 1u);
    EXPECT_EQ(notes(), 0u) << "history does not notify";

    // cut or foreign input changes nothing
    const Bytes good = from(bob_id, 9, text("x"));
    for (size_t n : {size_t(0), size_t(10), size_t(63), size_t(64), size_t(79)}) {
        SCOPED_TRACE(n);
        r.deliver(Bytes(good.begin(), good.begin() + n), 60);
    }
    EXPECT_EQ(msgs().size(), 2u);
}

TEST_F(Deliver, NotificationsAndTheirQueue) {
    r.deliver(from(bob_id, 1, text("**hi** there\nsecond line")), 1);
    quorvane_notification n{};
    ASSERT_EQ(quorvane_cs_poll_notification(r.cs, &n), 1);
    EXPECT_EQ(qvtest::hex(n.conv_id, 16), qvtest::hex(conv, 16));
    EXPECT_EQ(qvtest::hex(n.sender, 16), qvtest::hex(bob_id.data(), 16));
    EXPECT_EQ(n.type, 1);
    EXPECT_STREQ(n.preview, "hi there second line") << "markup gone, lines joined";
    EXPECT_EQ(quorvane_cs_poll_notification(r.cs, &n), 0);

    // none for our own, for system messages, or for a duplicate
    r.deliver(from(alice, 1, text("mine")), 2);
    r.deliver(from(bob_id, 2, body_of(quorvane_msg_system_encode, "sys")), 3);
    const Bytes again = from(bob_id, 3, text("once"));
    r.deliver(again, 4);
    r.deliver(again, 4);
    EXPECT_EQ(notes(), 1u);

    // a full queue drops its oldest
    for (uint64_t i = 0; i < QV_NOTE_QUEUE + 1; i++) r.deliver(from(carol_id, 100 + i, text(std::string("n").append(std::to_string(i)))), 10 + i);
    ASSERT_EQ(quorvane_cs_poll_notification(r.cs, &n), 1);
    EXPECT_STREQ(n.preview, "n1");
    EXPECT_EQ(notes(), QV_NOTE_QUEUE - 1);
}

TEST(DeliverPreview, Table) {
    auto rec_of = [](uint8_t type, const Bytes &t) {
        quorvane_ms_msgrec r{};
        r.type = type;
        if (!t.empty()) std::memcpy(r.text, t.data(), t.size());
        r.text_len = t.size();
        return r;
    };
    auto str = [](const std::string &s) { return Bytes(s.begin(), s.end()); };
    const uint8_t who[16] = {1};
    std::string accents = "a";
    while (accents.size() < 300) accents += "\xC3\xA9";
    struct Case {
        const char *name;
        uint8_t type;
        Bytes text;
        std::string want;
    } cases[] = {
        {"text as one plain line", 1, str("**bold** and _it_\nnext"), "bold and it next"},
        {"text cut on a character", 1, str(accents), accents.substr(0, 119)},
        {"photo", 4, file("image/png", "cat.png"), "Photo"},
        {"video", 4, file("video/mp4", "clip.mp4"), "Video"},
        {"file", 4, file("application/pdf", "report.pdf"), "File: report.pdf"},
        {"file that does not decode", 4, str("junk"), "File"},
        {"reply", 10, reply(who, 1, "*sure*"), "sure"},
        {"reply without text", 10, reply(who, 1, ""), "Reply"},
        {"reply that does not decode", 10, str("x"), "Reply"},
        {"voice 0.4 s", 12, voice(400), "Voice message, 1 second"},
        {"voice 1 s", 12, voice(1000), "Voice message, 1 second"},
        {"voice 2 s", 12, voice(2000), "Voice message, 2 seconds"},
        {"voice 59.6 s", 12, voice(59600), "Voice message, 1 minute"},
        {"voice 60 s", 12, voice(60000), "Voice message, 1 minute"},
        {"voice 61 s", 12, voice(61000), "Voice message, 1 minute 1 second"},
        {"voice 2 min", 12, voice(120000), "Voice message, 2 minutes"},
        {"voice 2 min 2 s", 12, voice(122000), "Voice message, 2 minutes 2 seconds"},
        {"voice that does not decode", 12, str("v"), "Voice message"},
        {"link with a title", 13, link("https://a.example/", "A title"), "Link: A title"},
        {"link without a title", 13, link("https://a.example/", ""), "Link: https://a.example/"},
        {"link that does not decode", 13, str("l"), "Link"},
        {"sticker", 16, str("party_parrot_2"), "Sticker: party parrot 2"},
        {"system", 2, str("joined"), "Message"},
        {"unknown", 42, str(""), "Message"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const quorvane_ms_msgrec rec = rec_of(c.type, c.text);
        char buf[QV_NOTE_PREVIEW];
        std::memset(buf, 'Z', sizeof buf);
        EXPECT_EQ(quorvane_cs_message_preview(&rec, buf, sizeof buf), buf);
        EXPECT_EQ(std::string(buf), c.want);
    }
    // tiny buffers, a null record, no buffer
    const quorvane_ms_msgrec rec = rec_of(13, link("https://a.example/", "\xE2\x82\xAC"));
    char small[8];
    EXPECT_STREQ(quorvane_cs_message_preview(&rec, small, sizeof small), "Link: ");
    char one[1] = {'Z'};
    EXPECT_STREQ(quorvane_cs_message_preview(&rec, one, 1), "");
    char buf[16] = "stale";
    EXPECT_STREQ(quorvane_cs_message_preview(nullptr, buf, sizeof buf), "");
    EXPECT_EQ(quorvane_cs_message_preview(&rec, nullptr, 10), nullptr);
    char keep[4] = "abc";
    EXPECT_EQ(quorvane_cs_message_preview(&rec, keep, 0), keep);
    EXPECT_STREQ(keep, "abc");
}

/* ---- device sessions ---- */

size_t count_of(const std::string &hay, const std::string &needle) {
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) n++;
    return n;
}

TEST_F(Deliver, PreambleAnsweredOnceAcrossRestarts) {
    qvtest::LogCapture log;
    pair(bob);
    const Bytes first = bob.seal(conv, text("hello alice"), 1);
    ASSERT_EQ(first[QV_ENV_HEADER_LEN], 1) << "the first envelope carries the preamble";
    r.deliver(first, 1);
    ASSERT_EQ(msgs().size(), 1u);
    EXPECT_EQ(text_of(msgs()[0]), "hello alice");
    EXPECT_EQ(qvtest::hex(msgs()[0].author_device, 32), qvtest::hex(bob.dev(), 32));
    const Bytes rec = r.record(conv, bob.dev());
    ASSERT_FALSE(rec.empty());
    EXPECT_EQ(rec[0], QV_SR_RESPONDER);

    // the same envelope again, after a restart: the held session does not open it twice
    r.restart();
    r.deliver(first, 2);
    EXPECT_TRUE(log.contains("the session held for that device did not open it, and its X3DH preamble was already answered"));
    // and without a held session it is a replay, not a second responder session
    ASSERT_EQ(quorvane_msgstore_drop_ratchet(r.ms, conv, bob.dev()), 0);
    r.deliver(first, 3);
    EXPECT_TRUE(log.contains("an X3DH preamble already answered (a replay?)")) << log.text();
    EXPECT_EQ(count_of(log.text(), "dm: responder session (conv 5c5c5c5c"), 1u);
    EXPECT_EQ(msgs().size(), 1u);
    EXPECT_EQ(quorvane_msgstore_sync_cursor(r.ms, conv), 3u) << "device-session failures advance the cursor";

    // the one-time prekey it used is gone from the stored bag: another device naming it fails
    ASSERT_EQ(quorvane_msgstore_put_ratchet(r.ms, conv, bob.dev(), rec.data(), rec.size()), 0);
    Device bob2(BOB);
    record_devices(bob_id.data(), {&bob, &bob2});
    quorvane_peer_device same_bundle{};
    {
        quorvane_dm_bag bag{};
        Bytes got(QV_DM_BAG_SER_MAX);
        ASSERT_EQ(quorvane_dm_bag_load(&bag, got.data(), quorvane_msgstore_get_prekeys(r.ms, got.data(), got.size())), 0);
        same_bundle.bundle = bundle_of(bag.sets[0], 0);
        same_bundle.bundle.otk_id = bag.sets[0].spk_id + 1;  // the one-time id the first preamble used
        same_bundle.has_spk = 1;
        EXPECT_EQ(bag.sets[0].otk_count, QV_DM_OTK_MAX - 1);
        quorvane_dm_bag_wipe(&bag);
    }
    bob2.start(conv, same_bundle);
    r.deliver(bob2.seal(conv, text("reused"), 1), 4);
    EXPECT_TRUE(log.contains("X3DH from the preamble failed"));

    // a reply keeps going on the held session, without a preamble
    const Bytes second = bob.seal(conv, text("second"), 2);
    r.deliver(second, 5);
    ASSERT_EQ(msgs().size(), 2u);
    EXPECT_EQ(text_of(msgs()[1]), "second");
}

// Alice's device holds session S2 with Bob's device and S1 set aside; Bob sends on S1.
struct PrevSession : Deliver {
    Bytes s1_sender;  // Bob's side of the first session
    void SetUp() override {
        Deliver::SetUp();
        pair(bob);
        r.deliver(bob.seal(conv, text("on s1"), 1), 1);
        s1_sender = bob.record(conv, r.dev());
        bob.start(conv, r.publish(), 1);
        r.deliver(bob.seal(conv, text("on s2"), 2), 2);
        ASSERT_EQ(msgs().size(), 2u);
    }
    Bytes on_s1(const std::string &t, uint64_t counter) {
        const Bytes s2 = bob.record(conv, r.dev());
        EXPECT_EQ(quorvane_msgstore_put_ratchet(bob.ms, conv, r.dev(), s1_sender.data(), s1_sender.size()), 0);
        Bytes env = bob.seal(conv, text(t), counter);
        s1_sender = bob.record(conv, r.dev());
        EXPECT_EQ(quorvane_msgstore_put_ratchet(bob.ms, conv, r.dev(), s2.data(), s2.size()), 0);
        return env;
    }
};

TEST_F(PrevSession, TakesOverForLiveOnly) {
    struct Case {
        const char *name;
        int history, fallback_off;
        bool delivered, takes_over;
    } cases[] = {
        {"history leaves the current session", 1, 0, true, false},
        {"fallback off tries nothing else", 0, 1, false, false},
        {"live takes over", 0, 0, true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        qvtest::LogCapture log;
        r.fallback_off = c.fallback_off;
        r.restart();
        const Bytes current = r.record(conv, bob.dev());
        const size_t before = msgs().size();
        Bytes aside(QV_SR_MAX);
        uint64_t stamp = 0, stamp_after = 0;
        aside.resize(quorvane_msgstore_get_ratchet_prev(r.ms, conv, bob.dev(), 0, &stamp, aside.data(), aside.size()));
        ASSERT_FALSE(aside.empty());
        r.deliver(on_s1(c.name, 10 + before), 10 + before, c.history);
        Bytes aside_after(QV_SR_MAX);
        aside_after.resize(quorvane_msgstore_get_ratchet_prev(r.ms, conv, bob.dev(), 0, &stamp_after, aside_after.data(), aside_after.size()));
        if (c.history) {
            EXPECT_EQ(stamp_after, stamp) << "the stepped session goes back with its old time";
            EXPECT_NE(aside_after, aside);
        }
        if (c.takes_over) {
            EXPECT_EQ(aside_after, current) << "the replaced session is set aside";
        }
        EXPECT_EQ(msgs().size(), before + (c.delivered ? 1 : 0));
        EXPECT_EQ(log.contains("a previous session takes over (D-132)"), c.takes_over);
        if (c.takes_over) {
            EXPECT_NE(r.record(conv, bob.dev()), current);
            // the session it replaced is kept aside, and still opens Bob's later S2 messages
            r.deliver(bob.seal(conv, text("s2 again"), 50), 50);
            EXPECT_EQ(text_of(msgs().back()), "s2 again");
        } else {
            EXPECT_EQ(r.record(conv, bob.dev()), current);
        }
    }
}

TEST_F(Deliver, AsidesOlderThanAWeekGo) {
    pair(bob);
    r.deliver(bob.seal(conv, text("one"), 1), 1);
    const Bytes rec = r.record(conv, bob.dev());
    const uint64_t now = cs_wall_ms();
    ASSERT_EQ(quorvane_msgstore_put_ratchet_prev(r.ms, conv, bob.dev(), 0, now - QV_PREV_SESSION_KEEP_MS + 60000, rec.data(), rec.size()), 0);
    ASSERT_EQ(quorvane_msgstore_put_ratchet_prev(r.ms, conv, bob.dev(), 1, now - QV_PREV_SESSION_KEEP_MS - 60000, rec.data(), rec.size()), 0);
    r.deliver(bob.seal(conv, text("two"), 2), 2);
    Bytes buf(QV_SR_MAX);
    uint64_t t = 0;
    EXPECT_GT(quorvane_msgstore_get_ratchet_prev(r.ms, conv, bob.dev(), 0, &t, buf.data(), buf.size()), 0u);
    EXPECT_EQ(quorvane_msgstore_get_ratchet_prev(r.ms, conv, bob.dev(), 1, &t, buf.data(), buf.size()), 0u);
}

// The header's sender is in clear: a member with a session of its own must not be
// able to speak for another.
TEST_F(Deliver, ForgedSendersAreRefused) {
    pair(bob);
    pair(carol);
    r.deliver(bob.seal(conv, text("bob's words"), 1), 1);
    r.deliver(carol.seal(conv, text("carol's own"), 1), 2);
    ASSERT_EQ(msgs().size(), 2u);
    const Bytes self_before = [&] {
        char n[65] = {}, a[129] = {};
        (void)quorvane_msgstore_get_self_profile(r.ms, n, sizeof n, a, sizeof a);
        return Bytes(n, n + std::strlen(n));
    }();
    struct Case {
        const char *name;
        std::array<uint8_t, 16> claims;
        Bytes body;
    } cases[] = {
        {"a text as Bob", bob_id, text("forged")},
        {"a text as us", alice, text("forged")},
        {"our display name", alice, profile("Evil Alice")},
        {"Bob's name", bob_id, profile("Evil Bob")},
        {"deleting Bob's message", bob_id, del(bob_id.data(), 1)},
        {"editing Bob's message", bob_id, edit(bob_id.data(), 1, "bob's forged words")},
    };
    qvtest::LogCapture log;
    uint64_t c = 10, pos = 10;
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        r.deliver(carol.seal(conv, k.body, ++c, k.claims.data(), cs_wall_ms()), ++pos);
        EXPECT_EQ(quorvane_msgstore_sync_cursor(r.ms, conv), pos);
    }
    const auto m = msgs();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(text_of(m[0]), "bob's words");
    EXPECT_EQ(quorvane_cs_self_profile_epoch(r.cs), 0u);
    char n[65] = {}, a[129] = {};
    (void)quorvane_msgstore_get_self_profile(r.ms, n, sizeof n, a, sizeof a);
    EXPECT_EQ(std::string(n), std::string(self_before.begin(), self_before.end()));
    EXPECT_NE(quorvane_msgstore_get_peer_profile(r.ms, conv, n, sizeof n, a, sizeof a), 1);
    EXPECT_EQ(count_of(log.text(), "the sending device is not one of the sender's recorded devices"), std::size(cases));
    EXPECT_EQ(count_of(log.text(), "ratchet DM"), std::size(cases));

    // Carol's session was not stepped by the refusals: her next message still opens
    r.deliver(carol.seal(conv, text("carol again"), 40), 40);
    EXPECT_EQ(text_of(msgs().back()), "carol again");
    // and our second device, recorded as ours, may rename us
    pair(alice2);
    r.deliver(alice2.seal(conv, profile("Alice Two"), 1, nullptr, cs_wall_ms()), 41);
    EXPECT_EQ(quorvane_cs_self_profile_epoch(r.cs), 1u);
}

TEST_F(Deliver, EchoUnknownConversationAndShortEnvelopes) {
    qvtest::LogCapture log;
    // our own echo: the cursor moves, nothing else
    quorvane_env_header h{};
    std::memcpy(h.conversation_id, conv, 16);
    std::memcpy(h.sender_id, alice.data(), 16);
    h.counter = 1;
    const Bytes msg = qvtest::random_bytes(80);
    Bytes env(400);
    size_t n = 0;
    ASSERT_EQ(cs_dev_envelope(&h, 0, r.dev(), nullptr, msg.data(), msg.size(), env.data(), env.size(), &n), 0);
    env.resize(n);
    r.deliver(env, 7);
    EXPECT_EQ(quorvane_msgstore_sync_cursor(r.ms, conv), 7u);
    EXPECT_FALSE(log.contains("did not open"));

    // a conversation not known yet keeps its envelope for the next sync
    uint8_t later[16];
    std::memset(later, 0x77, 16);
    std::memcpy(env.data(), later, 16);
    std::memcpy(env.data() + QV_ENV_HEADER_LEN + 1, bob.dev(), 32);
    r.deliver(env, 8);
    EXPECT_TRUE(log.contains("dm: conv 77777777 not known yet: envelope kept for the next sync"));
    EXPECT_EQ(r.cs->deliver.sync_wanted, 1);
    EXPECT_EQ(quorvane_msgstore_sync_cursor(r.ms, later), 0u);

    // 96 bytes cannot name a device: a failure, and the cursor moves on
    std::memcpy(env.data(), conv, 16);
    r.deliver(Bytes(env.begin(), env.begin() + QV_DEV_ENV_MIN), 9);
    EXPECT_EQ(quorvane_msgstore_sync_cursor(r.ms, conv), 9u);
    EXPECT_TRUE(log.contains("session: an envelope did not open (ratchet DM, conv 5c5c5c5c, history 0, 1 so far)")) << log.text();
    // a recorded device with neither a session nor a preamble
    std::memcpy(env.data() + 16, bob_id.data(), 16);
    r.deliver(env, 10);
    EXPECT_TRUE(log.contains("no session for that device, and no X3DH preamble"));
    EXPECT_TRUE(msgs().empty());
}

// Receiving steps the session even when it cannot be stored: the message is still
// delivered, and the replay the old record then allows is absorbed by the store.
TEST_F(Deliver, UnstorableStepStillDelivers) {
    pair(bob);
    r.deliver(bob.seal(conv, text("first"), 1), 1);
    const std::string path = r.dir.path + "/r_" + qvtest::hex(conv, 16) + "_" + qvtest::hex(bob.dev(), 32) + ".dat";
    const std::string blocker = path + ".tmp";
    ASSERT_EQ(mkdir(blocker.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((blocker + "/x").c_str(), 0700), 0);
    const Bytes before = r.record(conv, bob.dev());

    const Bytes second = bob.seal(conv, text("second"), 2);
    r.deliver(second, 2);
    ASSERT_EQ(msgs().size(), 2u);
    EXPECT_EQ(text_of(msgs()[1]), "second");
    EXPECT_EQ(r.record(conv, bob.dev()), before) << "write not blocked";
    EXPECT_EQ(notes(), 2u);
    r.deliver(second, 2);
    EXPECT_EQ(msgs().size(), 2u);
    EXPECT_EQ(notes(), 0u);

    ASSERT_EQ(rmdir((blocker + "/x").c_str()), 0);
    ASSERT_EQ(rmdir(blocker.c_str()), 0);
    r.deliver(bob.seal(conv, text("third"), 3), 3);
    ASSERT_EQ(msgs().size(), 3u);
    EXPECT_EQ(text_of(msgs()[2]), "third");
    EXPECT_NE(r.record(conv, bob.dev()), before);
}

TEST_F(Deliver, HistoryAndTheBackfillSink) {
    pair(bob);
    r.deliver(bob.seal(conv, text("live"), 1), 1);
    struct Sink {
        std::vector<std::string> got;
        static void take(void *ctx, const quorvane_ms_msgrec *rec) { static_cast<Sink *>(ctx)->got.push_back(text_of(*rec)); }
    } sink;
    r.cs->deliver.backfill_sink = Sink::take;
    r.cs->deliver.backfill_ctx = &sink;
    const uint64_t count0 = r.cs->deliver.backfill_count;
    r.deliver(bob.seal(conv, text("dm history"), 2), 2, 1);
    r.deliver(from(bob_id, 3, text("group history")), 3, 1);
    EXPECT_EQ(sink.got, std::vector<std::string>{"group history"});
    EXPECT_EQ(msgs().size(), 1u);
    EXPECT_EQ(r.cs->deliver.backfill_count, count0 + 1);

    r.cs->deliver.backfill_sink = nullptr;
    r.deliver(from(bob_id, 4, text("stored history")), 4, 1);
    r.deliver(from(bob_id, 4, text("stored history")), 4, 1);
    EXPECT_EQ(msgs().size(), 2u);
    EXPECT_EQ(r.cs->deliver.backfill_count, count0 + 2);
    EXPECT_EQ(quorvane_msgstore_sync_cursor(r.ms, conv), 1u);
}

/* ---- sessions with our own devices ---- */

// This device and two more of the account: one whose key sorts after ours (we
// start that pair) and one whose key sorts before (it starts the pair with us).
struct OwnDevices : Deliver {
    std::unique_ptr<Device> high, low;
    void SetUp() override {
        Deliver::SetUp();
        while (!high || !low) {
            auto d = std::make_unique<Device>(ALICE);
            const int cmp = std::memcmp(d->dev(), r.dev(), 32);
            if (cmp > 0 && !high) high = std::move(d);
            else if (cmp < 0 && !low) low = std::move(d);
        }
        record_devices(alice.data(), {&r, high.get(), low.get()});
    }
    // A failing envelope from an own device, dated `time`.
    Bytes failing_from(Device &d, uint64_t counter, uint64_t time) {
        quorvane_env_header h{};
        std::memcpy(h.conversation_id, conv, 16);
        std::memcpy(h.sender_id, alice.data(), 16);
        h.counter = counter;
        h.time = time;
        const Bytes msg = qvtest::random_bytes(90);
        Bytes env(400);
        size_t n = 0;
        EXPECT_EQ(cs_dev_envelope(&h, 0, d.dev(), nullptr, msg.data(), msg.size(), env.data(), env.size(), &n), 0);
        env.resize(n);
        return env;
    }
};

TEST_F(OwnDevices, OnlyTheLowerKeyStartsThePair) {
    quorvane_peer own{};
    own.device_count = 2;
    own.devices[0] = high->publish();
    own.devices[1] = low->publish();
    const quorvane_peer none{};
    EXPECT_EQ(quorvane_cs_dm_self_todo(r.cs, conv, &own), 1);
    EXPECT_EQ(quorvane_cs_dm_self_sync(r.cs, conv, &own), 1);
    EXPECT_EQ(quorvane_msgstore_has_ratchet(r.ms, conv, high->dev()), 1);
    EXPECT_NE(quorvane_msgstore_has_ratchet(r.ms, conv, low->dev()), 1);
    EXPECT_EQ(quorvane_cs_dm_self_todo(r.cs, conv, &own), 0);
    EXPECT_EQ(quorvane_cs_dm_self_sync(r.cs, conv, &own), 0) << "a held session is left alone";
    // the other side answers its pair: the first envelope it sends carries a preamble we answer
    low->start(conv, r.publish());
    r.deliver(low->seal(conv, text("from my laptop"), 1), 1);
    EXPECT_EQ(text_of(msgs().back()), "from my laptop");
    EXPECT_EQ(notes(), 0u) << "our own message does not notify";

    EXPECT_EQ(quorvane_cs_dm_self_sync(r.cs, conv, &none), 0);
    EXPECT_EQ(quorvane_cs_dm_self_sync(r.cs, conv, nullptr), -1);
    EXPECT_EQ(quorvane_cs_dm_self_sync(nullptr, conv, &own), -1);
    EXPECT_EQ(quorvane_cs_dm_self_todo(r.cs, nullptr, &own), -1);
}

quorvane_peer peer_of(const quorvane_peer_device &d) {
    quorvane_peer p{};
    p.device_count = 1;
    p.devices[0] = d;
    return p;
}

// Our preamble to an own device that never answers: three failures from it, each
// well after we started, and a rotated signed prekey open the pair again.
TEST_F(OwnDevices, NeverAnsweredPairIsOpenedAgain) {
    qvtest::LogCapture log;
    r.hints.self_event_interval_ms = 1000;
    quorvane_peer_device d = high->publish();
    const quorvane_peer own = peer_of(d);
    ASSERT_EQ(quorvane_cs_dm_self_sync(r.cs, conv, &own), 1);
    uint32_t spk = 0;
    ASSERT_EQ(cs_self_pending(r.cs, conv, high->dev(), &spk), 1);
    EXPECT_EQ(spk, d.bundle.spk_id);
    const quorvane_self_event *ev = cs_self_ev_get(r.cs, conv, high->dev(), 0);
    ASSERT_NE(ev, nullptr);
    const uint64_t started = ev->created_ms;

    // too soon after the start, then one counter twice, then two more; the hints outlive the session
    r.deliver(failing_from(*high, 1, started + 10), 1);
    EXPECT_EQ(ev->count, 0u);
    r.restart();
    for (uint64_t c : {2, 2, 3, 4, 5}) r.deliver(failing_from(*high, c, started + 5000), c);
    EXPECT_EQ(ev->count, 3u);
    EXPECT_EQ(ev->counters[0], 2u);
    EXPECT_EQ(ev->counters[2], 4u);

    // the same prekey: nothing to do; a rotated one: the pair opens again, the old session set aside
    EXPECT_EQ(quorvane_cs_dm_self_todo(r.cs, conv, &own), 1);
    EXPECT_EQ(quorvane_cs_dm_self_sync(r.cs, conv, &own), 0);
    const Bytes old = r.record(conv, high->dev());
    quorvane_peer_device rotated = high->publish();
    ASSERT_NE(rotated.bundle.spk_id, d.bundle.spk_id);
    const quorvane_peer own_rotated = peer_of(rotated);
    EXPECT_EQ(quorvane_cs_dm_self_sync(r.cs, conv, &own_rotated), 1);
    EXPECT_TRUE(log.contains("never answered our init and has rotated its prekey: opening the pair again"));
    ASSERT_EQ(cs_self_pending(r.cs, conv, high->dev(), &spk), 1);
    EXPECT_EQ(spk, rotated.bundle.spk_id);
    EXPECT_EQ(ev->count, 0u);
    Bytes aside(QV_SR_MAX);
    uint64_t t = 0;
    aside.resize(quorvane_msgstore_get_ratchet_prev(r.ms, conv, high->dev(), 0, &t, aside.data(), aside.size()));
    EXPECT_EQ(aside, old);
    EXPECT_EQ(quorvane_cs_dm_self_todo(r.cs, conv, &own_rotated), 0);
}

TEST_F(OwnDevices, SelfEventTableReusesTheOldest) {
    uint8_t c[16] = {1}, dev[32] = {};
    for (uint8_t i = 0; i < QV_SELF_EVENTS; i++) {
        dev[0] = i;
        quorvane_self_event *e = cs_self_ev_get(r.cs, c, dev, 1);
        ASSERT_NE(e, nullptr);
        e->created_ms = 1000 + (i == 5 ? 0 : 10 + i);
    }
    dev[0] = 0xEE;
    EXPECT_EQ(cs_self_ev_get(r.cs, c, dev, 0), nullptr);
    quorvane_self_event *fresh = cs_self_ev_get(r.cs, c, dev, 1);
    EXPECT_EQ(fresh, &r.hints.self_events[5]);
    EXPECT_EQ(fresh->device[0], 0xEE);
    EXPECT_EQ(cs_self_ev_get(r.cs, c, dev, 1), fresh) << "an entry in use is returned unchanged";
}

TEST_F(Deliver, RelinkRingOfConversationsWithoutSessions) {
    // a device-session failure in a conversation without any session asks to be linked again
    r.deliver(from(bob_id, 1, text("x")), 1);
    Bytes env(200);
    quorvane_env_header h{};
    std::memcpy(h.conversation_id, conv, 16);
    std::memcpy(h.sender_id, bob_id.data(), 16);
    const Bytes msg = qvtest::random_bytes(60);
    size_t n = 0;
    ASSERT_EQ(cs_dev_envelope(&h, 0, bob.dev(), nullptr, msg.data(), msg.size(), env.data(), env.size(), &n), 0);
    env.resize(n);
    EXPECT_EQ(quorvane_cs_dm_ratchet_seen(r.cs, conv), 0);
    r.deliver(env, 2);
    EXPECT_EQ(quorvane_cs_dm_ratchet_seen(r.cs, conv), 1);
    r.deliver(env, 3);
    EXPECT_EQ(r.hints.relink_count, 1u) << "not twice";

    // with a session held, a failure does not ask
    uint8_t other[16];
    std::memset(other, 0x42, 16);
    ASSERT_EQ(quorvane_msgstore_put_conv(r.ms, other, key), 0);
    uint8_t users[1][16], ids[1][32] = {}, second[1][32] = {}, roles[1] = {0};
    std::memcpy(users[0], bob_id.data(), 16);
    ASSERT_EQ(quorvane_msgstore_set_members(r.ms, other, users, ids, second, roles, 1), 0);
    uint8_t x[1][32], ed[1][32];
    std::memcpy(x[0], bob.dev(), 32);
    std::memcpy(ed[0], bob.keys.device_ed25519_pub, 32);
    ASSERT_EQ(quorvane_msgstore_set_member_devices(r.ms, other, bob_id.data(), x, ed, 1), 0);
    bob.start(other, r.publish());
    r.deliver(bob.seal(other, text("held"), 1), 1);
    std::memcpy(env.data(), other, 16);
    r.deliver(env, 2);
    EXPECT_EQ(quorvane_cs_dm_ratchet_seen(r.cs, other), 0);

    // sixteen more conversations push the oldest out
    for (uint8_t i = 0; i < QV_RELINK_RING; i++) {
        uint8_t id[16];
        std::memset(id, 0x90 + i, 16);
        cs_relink_note(r.cs, id);
    }
    EXPECT_EQ(quorvane_cs_dm_ratchet_seen(r.cs, conv), 0);
    uint8_t last[16];
    std::memset(last, 0x90 + QV_RELINK_RING - 1, 16);
    EXPECT_EQ(quorvane_cs_dm_ratchet_seen(r.cs, last), 1);
}

}  // namespace
