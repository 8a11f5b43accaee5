// Message store: what deletes, edits and reactions leave behind. A history
// page comes newest first, so every action on a message arrives before the
// message itself; the store must end where the same actions applied live in
// their own order end, never show deleted text again, and keep that across a
// reopen, an imported history, a full set of marks and every file version.
#include "msgstore_fixture.h"

namespace {

using mstest::add;
using mstest::msg_in;

const bytes kAlice = filled(16, 0x61), kBob = filled(16, 0x71), kCy = filled(16, 0x81);

enum class Op { send, edit, react, unreact, del };
struct Action {
    Op op;
    std::string arg;     // text of a send or an edit, reaction name
    bytes user = kBob;   // who reacts
};

// The message (alice's id 1), as a test compares it.
struct Seen {
    int type = -1;
    std::string text;
    int edited = 0;
    std::string reactions;  // "name:count" by name, comma separated
    bool operator==(const Seen &) const = default;
};
std::ostream &operator<<(std::ostream &o, const Seen &s) {
    return o << "{type " << s.type << " text '" << s.text << "' edited " << s.edited << " reactions '" << s.reactions << "'}";
}

Seen seen(quorvane_msgstore *ms, const bytes &conv) {
    Seen s;
    quorvane_ms_msgrec r{};
    if (quorvane_msgstore_find_msg(ms, u8(conv), u8(kAlice), 1, &r) == 0) {
        s.type = r.type;
        s.text.assign(r.text, r.text_len);
        s.edited = r.edited;
    }
    quorvane_ms_reaction_count rc[8];
    size_t n = quorvane_msgstore_reactions(ms, u8(conv), u8(kAlice), nullptr, 1, nullptr, rc, 8);
    std::vector<std::string> parts;
    for (size_t i = 0; i < n; i++) parts.push_back(std::string(rc[i].name) + ":" + std::to_string(rc[i].count));
    std::sort(parts.begin(), parts.end());
    for (const auto &p : parts) s.reactions += (s.reactions.empty() ? "" : ",") + p;
    return s;
}

// One action at a position; at is that position for history, live otherwise.
void apply(quorvane_msgstore *ms, const bytes &conv, const Action &a, uint64_t position, bool history) {
    const uint64_t at = history ? position : QV_MS_MARK_LIVE;
    switch (a.op) {
    case Op::send:
        ASSERT_EQ(add(ms, conv, msg_in{kAlice, 1, 1000, position, QV_MS_TYPE_TEXT, a.arg}, history), 1);
        break;
    case Op::edit:
        ASSERT_GE(quorvane_msgstore_edit_msg_at(ms, u8(conv), u8(kAlice), nullptr, 1, a.arg.data(), a.arg.size(), at), 0);
        break;
    case Op::react:
    case Op::unreact:
        ASSERT_EQ(quorvane_msgstore_set_reaction_at(ms, u8(conv), u8(kAlice), nullptr, 1, u8(a.user), a.arg.c_str(),
                                                    a.op == Op::react, at),
                  0);
        break;
    case Op::del: ASSERT_GE(quorvane_msgstore_delete_msg_at(ms, u8(conv), u8(kAlice), nullptr, 1, at), 0); break;
    }
}

class Marks : public Msgstore {
  protected:
    const bytes c = id.conv;
    store_ptr ms = open();
    void SetUp() override { ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(filled(32, 7))), 0); }
    void reopen() {
        ms.reset();
        ms = open();
    }
};

}  // namespace

// Each sequence applied live in its order, and as a new device's back-fill
// brings it (newest first, the message last), in one run and with the store
// closed and opened again between the actions and the message: all three end
// the same, and as expected.
TEST_F(Marks, BackfillEndsWhereTheLiveOrderEnds) {
    const Action send{Op::send, "hello"}, edit{Op::edit, "hello, edited"}, edit2{Op::edit, "hello, edited twice"},
        heart{Op::react, "heart"}, unheart{Op::unreact, "heart"}, del{Op::del, ""};
    const Action cy_heart{Op::react, "heart", kCy}, cy_unheart{Op::unreact, "heart", kCy};
    struct Case {
        const char *what;
        std::vector<Action> actions;
        Seen want;
    } cases[] = {
        {"send, edit, react, unreact, delete", {send, edit, heart, unheart, del}, {QV_MS_TYPE_DELETED, "", 0, ""}},
        {"send, edit, react, unreact", {send, edit, heart, unheart}, {QV_MS_TYPE_TEXT, "hello, edited", 1, ""}},
        {"send, edit, edit", {send, edit, edit2}, {QV_MS_TYPE_TEXT, "hello, edited twice", 1, ""}},
        {"send, react, unreact, react", {send, heart, unheart, heart}, {QV_MS_TYPE_TEXT, "hello", 0, "heart:1"}},
        {"two react, one unreacts", {send, heart, cy_heart, cy_unheart}, {QV_MS_TYPE_TEXT, "hello", 0, "heart:1"}},
        {"send, delete, edit", {send, del, edit}, {QV_MS_TYPE_DELETED, "", 0, ""}},
        {"send, react, delete", {send, heart, del}, {QV_MS_TYPE_DELETED, "", 0, "heart:1"}},
    };
    int n = 0;
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        for (int mode = 0; mode < 3; mode++) {
            SCOPED_TRACE(mode == 0 ? "live" : mode == 1 ? "back-fill" : "back-fill across a reopen");
            const bytes conv = gen_conv_id(uint32_t(++n));
            ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(conv), u8(filled(32, 7))), 0);
            const size_t count = k.actions.size();
            if (mode == 0) {
                for (size_t i = 0; i < count; i++) ASSERT_NO_FATAL_FAILURE(apply(ms.get(), conv, k.actions[i], 10 * (i + 1), false));
            } else {
                for (size_t i = count; i-- > 0;) {
                    if (mode == 2 && i == 0) reopen();
                    ASSERT_NO_FATAL_FAILURE(apply(ms.get(), conv, k.actions[i], 10 * (i + 1), true));
                }
            }
            EXPECT_EQ(seen(ms.get(), conv), k.want);
            reopen();
            EXPECT_EQ(seen(ms.get(), conv), k.want) << "after a reopen";
            if (k.want.type == QV_MS_TYPE_DELETED) {
                fields f = script_describe("msgs", file(msgs_name(conv)));
                EXPECT_EQ(f["m0.text"], "-") << "deleted text on disk";
                for (int i = 0; f.count("k" + std::to_string(i) + ".text"); i++)
                    EXPECT_EQ(f["k" + std::to_string(i) + ".text"], "-") << "an edit's text kept for a deleted message";
            }
        }
    }
}

// A message held and acted on live; the same or older actions from a
// history page seen again (a second back-fill, a deep search) change
// nothing, except a delete, which nothing undoes.
TEST_F(Marks, HistorySeenAgainDoesNotUndoWhatIsHeld) {
    ASSERT_EQ(add(ms.get(), c, msg_in{kAlice, 1, 1000, 100, QV_MS_TYPE_TEXT, "first words"}), 1);
    ASSERT_EQ(quorvane_msgstore_edit_msg(ms.get(), u8(c), u8(kAlice), nullptr, 1, "last words", 10), 1);
    ASSERT_EQ(quorvane_msgstore_set_reaction(ms.get(), u8(c), u8(kAlice), nullptr, 1, u8(kBob), "heart", 1), 0);
    const Seen held = seen(ms.get(), c);
    ASSERT_EQ(held, (Seen{QV_MS_TYPE_TEXT, "last words", 1, "heart:1"}));
    EXPECT_EQ(quorvane_msgstore_edit_msg_at(ms.get(), u8(c), u8(kAlice), nullptr, 1, "first edit", 10, 110), 0);
    EXPECT_EQ(quorvane_msgstore_set_reaction_at(ms.get(), u8(c), u8(kAlice), nullptr, 1, u8(kBob), "heart", 0, 120), 0);
    EXPECT_EQ(quorvane_msgstore_set_reaction_at(ms.get(), u8(c), u8(kAlice), nullptr, 1, u8(kCy), "smile", 1, 130), 0);
    EXPECT_EQ(seen(ms.get(), c), held);
    EXPECT_EQ(quorvane_msgstore_mark_count(ms.get(), u8(c)), 0u) << "nothing to remember for a held message";

    // one that went through a back-fill is remembered by position: older ones stay out, newer ones act
    const bytes c2 = id.conv2;
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c2), u8(filled(32, 7))), 0);
    ASSERT_EQ(quorvane_msgstore_set_reaction_at(ms.get(), u8(c2), u8(kAlice), nullptr, 1, u8(kBob), "heart", 0, 50), 0);
    ASSERT_EQ(add(ms.get(), c2, msg_in{kAlice, 1, 1000, 10, QV_MS_TYPE_TEXT, "hello"}, true), 1);
    ASSERT_EQ(quorvane_msgstore_set_reaction_at(ms.get(), u8(c2), u8(kAlice), nullptr, 1, u8(kBob), "heart", 1, 40), 0);
    EXPECT_EQ(seen(ms.get(), c2).reactions, "") << "an older reaction than the one remembered acted";
    ASSERT_EQ(quorvane_msgstore_set_reaction(ms.get(), u8(c2), u8(kAlice), nullptr, 1, u8(kBob), "heart", 1), 0);
    ASSERT_EQ(quorvane_msgstore_set_reaction_at(ms.get(), u8(c2), u8(kAlice), nullptr, 1, u8(kBob), "heart", 0, 60), 0);
    EXPECT_EQ(seen(ms.get(), c2).reactions, "heart:1") << "history undid a live reaction";

    EXPECT_EQ(quorvane_msgstore_delete_msg_at(ms.get(), u8(c), u8(kAlice), nullptr, 1, 90), 1);
    EXPECT_EQ(seen(ms.get(), c).type, QV_MS_TYPE_DELETED);
}

// A history brought from another own device, made before a delete this
// store has seen, brings nothing deleted back; a message it brings that an
// edit waits for arrives with the edit's text.
TEST_F(Marks, ImportedHistoryArrivesAsTheActionsLeftIt) {
    const std::string other_dir = tmp.file("other");
    {
        auto other = open_store(other_dir);
        ASSERT_EQ(quorvane_msgstore_put_conv(other.get(), u8(c), u8(filled(32, 7))), 0);
        ASSERT_EQ(add(other.get(), c, msg_in{kAlice, 1, 1000, 0, QV_MS_TYPE_TEXT, "deleted words"}), 1);
        ASSERT_EQ(add(other.get(), c, msg_in{kAlice, 2, 1000, 0, QV_MS_TYPE_TEXT, "old words"}), 1);
        size_t len = 0;
        uint8_t *exp = quorvane_msgstore_export_history(other.get(), &len);
        ASSERT_NE(exp, nullptr);
        ASSERT_EQ(quorvane_msgstore_delete_msg_at(ms.get(), u8(c), u8(kAlice), nullptr, 1, 30), 0);
        ASSERT_EQ(quorvane_msgstore_edit_msg_at(ms.get(), u8(c), u8(kAlice), nullptr, 2, "new words", 9, 40), 0);
        EXPECT_EQ(quorvane_msgstore_import_history(ms.get(), exp, len), 0);
        quorvane_msgstore_export_free(exp, len);
    }
    quorvane_ms_msgrec r{};
    ASSERT_EQ(quorvane_msgstore_find_msg(ms.get(), u8(c), u8(kAlice), 1, &r), 0);
    EXPECT_EQ(r.type, QV_MS_TYPE_DELETED);
    EXPECT_EQ(r.text_len, 0u);
    ASSERT_EQ(quorvane_msgstore_find_msg(ms.get(), u8(c), u8(kAlice), 2, &r), 0);
    EXPECT_EQ(std::string(r.text, r.text_len), "new words");
    EXPECT_EQ(r.edited, 1);
}

// A mark that waits for its message counts against the one who acted. Past
// a member's share, or past the conversation's, only the member holding the
// most loses its oldest, and that member's history older than the lost mark
// is refused from then on, so nothing it undid comes back; alice's delete of
// a message not held yet stays through it all, and so do the other members'
// marks. The conversation-wide case is the largest (16,384 marks, each
// looked up linearly): it runs in the main build only (under 1 s there, about
// 5 s under ASan), the member's case runs in both.
TEST_F(Marks, AFloodPushesOutOnlyItsOwnMarks) {
    const bytes kDi = filled(16, 0x82), kEd = filled(16, 0x83), kFay = filled(16, 0x84);
    struct Flood {
        const char *name;
        std::vector<bytes> members;  // each takes back a reaction to as many of bob's messages not held
        size_t each;
        bool full_size_only;
    };
    const Flood floods[] = {
        {"one member past its share", {kCy}, QV_MS_MARKS_SENDER_MAX + 1, false},
        {"the conversation's share full", {kCy, kDi, kEd, kFay}, QV_MS_MARKS_WAITING_MAX / 4, true},
    };
    for (const Flood &f : floods) {
        SCOPED_TRACE(f.name);
        if (f.full_size_only && qvtest::kSanitized) continue;
        const bytes conv = filled(16, f.members.size() == 1 ? 0xe1 : 0xe2);
        ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(conv), u8(filled(32, 7))), 0);
        ASSERT_EQ(quorvane_msgstore_delete_msg_at(ms.get(), u8(conv), u8(kAlice), nullptr, 1, 200000), 0);
        quorvane_msgstore_batch_begin(ms.get());
        for (const bytes &m : f.members)
            for (uint64_t t = 0; t < f.each; t++)
                ASSERT_EQ(quorvane_msgstore_set_reaction_at(ms.get(), u8(conv), u8(kBob), nullptr, 100 + t, u8(m), "heart", 0, 100000 - t), 0);
        ASSERT_EQ(quorvane_msgstore_batch_end(ms.get()), 0);
        reopen();
        // cy's first mark went, whichever share ran out: the one holding the most is cy
        EXPECT_EQ(quorvane_msgstore_mark_floor(ms.get(), u8(conv), u8(kCy)), 100000u);
        for (const bytes &other : {kAlice, kBob, kDi, kEd, kFay}) EXPECT_EQ(quorvane_msgstore_mark_floor(ms.get(), u8(conv), u8(other)), 0u);
        EXPECT_EQ(quorvane_msgstore_mark_count(ms.get(), u8(conv)), 1 + f.members.size() * f.each - 1);
        quorvane_ms_reaction_count rc[2];
        // cy's older reaction to the message whose mark went, and cy's own older message, stay out
        ASSERT_EQ(quorvane_msgstore_set_reaction_at(ms.get(), u8(conv), u8(kBob), nullptr, 100, u8(kCy), "heart", 1, 500), 0);
        EXPECT_EQ(quorvane_msgstore_reactions(ms.get(), u8(conv), u8(kBob), nullptr, 100, nullptr, rc, 2), 0u);
        EXPECT_EQ(add(ms.get(), conv, msg_in{kCy, 5, 1000, 900, QV_MS_TYPE_TEXT, "taken back"}, true), 0);
        quorvane_ms_msgrec r{};
        EXPECT_EQ(quorvane_msgstore_find_msg(ms.get(), u8(conv), u8(kCy), 5, &r), -1) << "history below the floor was shown";
        // the marks that stayed still act: an older reaction of the last member's is stale
        const bytes &last = f.members.back();
        ASSERT_EQ(quorvane_msgstore_set_reaction_at(ms.get(), u8(conv), u8(kBob), nullptr, 100 + f.each - 1, u8(last), "heart", 1, 10), 0);
        EXPECT_EQ(quorvane_msgstore_reactions(ms.get(), u8(conv), u8(kBob), nullptr, 100 + f.each - 1, nullptr, rc, 2), 0u);
        ASSERT_EQ(add(ms.get(), conv, msg_in{kAlice, 1, 1000, 1, QV_MS_TYPE_TEXT, "deleted words"}, true), 1);
        ASSERT_EQ(quorvane_msgstore_find_msg(ms.get(), u8(conv), u8(kAlice), 1, &r), 0);
        EXPECT_EQ(r.type, QV_MS_TYPE_DELETED) << "the delete was pushed out";
        ASSERT_EQ(add(ms.get(), conv, msg_in{kBob, 100, 1000, 2, QV_MS_TYPE_TEXT, "bob's"}, true), 1) << "only cy's history is refused";
    }
}

// A mark whose message is held is settled, and the oldest settled go past
// QV_MS_MARKS_MAX: a user's own bulk delete of held messages sets no floor
// and pushes out no delete that still waits.
TEST_F(Marks, SettledMarksGoFirstAndLeaveNoFloor) {
    ASSERT_EQ(quorvane_msgstore_delete_msg_at(ms.get(), u8(c), u8(kAlice), nullptr, 1, 200000), 0);
    quorvane_msgstore_batch_begin(ms.get());
    for (uint64_t t = 0; t < QV_MS_MARKS_MAX + 10; t++) {
        ASSERT_EQ(add(ms.get(), c, msg_in{kBob, 10 + t, 1000, 10 + t, QV_MS_TYPE_TEXT, "bob's"}), 1);
        ASSERT_EQ(quorvane_msgstore_delete_msg(ms.get(), u8(c), u8(kBob), nullptr, 10 + t), 1);
    }
    ASSERT_EQ(quorvane_msgstore_batch_end(ms.get()), 0);
    reopen();
    EXPECT_EQ(quorvane_msgstore_mark_count(ms.get(), u8(c)), QV_MS_MARKS_MAX + 1);
    EXPECT_EQ(quorvane_msgstore_mark_floor(ms.get(), u8(c), u8(kBob)), 0u);
    ASSERT_EQ(add(ms.get(), c, msg_in{kBob, 5, 1000, 5, QV_MS_TYPE_TEXT, "older"}, true), 1) << "bob's history was refused";
    ASSERT_EQ(add(ms.get(), c, msg_in{kAlice, 1, 1000, 1, QV_MS_TYPE_TEXT, "deleted words"}, true), 1);
    EXPECT_EQ(seen(ms.get(), c).type, QV_MS_TYPE_DELETED) << "the delete that waited was pushed out";
}

// The marks of the version 9 fixture act: its delete and its kept edit wait
// for their messages, its reaction mark and its live edit mark keep older
// history out.
TEST_F(Msgstore, MarksOfTheFixtureAct) {
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    copy_file(kData + "convs-22.dat", file("convs.dat"));
    copy_file(kData + "msgs-9.dat", file(msgs_name(kA)));
    auto ms = open();
    ASSERT_EQ(quorvane_msgstore_mark_count(ms.get(), u8(kA)), 4u);
    ASSERT_EQ(add(ms.get(), kA, msg_in{filled(16, 0x91), 7, 1000, 70, QV_MS_TYPE_TEXT, "gone"}, true), 1);
    ASSERT_EQ(add(ms.get(), kA, msg_in{filled(16, 0x92), 8, 1000, 80, QV_MS_TYPE_TEXT, "old words"}, true), 1);
    quorvane_ms_msgrec r{};
    ASSERT_EQ(quorvane_msgstore_find_msg(ms.get(), u8(kA), u8(filled(16, 0x91)), 7, &r), 0);
    EXPECT_EQ(r.type, QV_MS_TYPE_DELETED);
    ASSERT_EQ(quorvane_msgstore_find_msg(ms.get(), u8(kA), u8(filled(16, 0x92)), 8, &r), 0);
    EXPECT_EQ(std::string(r.text, r.text_len), "newest words");
    EXPECT_EQ(quorvane_msgstore_edit_msg_at(ms.get(), u8(kA), u8(kAlice), nullptr, 1, "older", 5, 5000), 0);
    ASSERT_EQ(quorvane_msgstore_find_msg(ms.get(), u8(kA), u8(kAlice), 1, &r), 0);
    EXPECT_STREQ(r.text, "hello") << "a history edit acted over a live one";
    quorvane_ms_reaction_count rc[4];
    ASSERT_EQ(quorvane_msgstore_set_reaction_at(ms.get(), u8(kA), u8(kAlice), nullptr, 1, u8(kCy), "heart", 1, 850), 0);
    EXPECT_EQ(quorvane_msgstore_reactions(ms.get(), u8(kA), u8(kAlice), nullptr, 1, u8(kCy), rc, 4), 0u);
    ASSERT_EQ(quorvane_msgstore_set_reaction_at(ms.get(), u8(kA), u8(kAlice), nullptr, 1, u8(kCy), "heart", 1, 950), 0);
    ASSERT_EQ(quorvane_msgstore_reactions(ms.get(), u8(kA), u8(kAlice), nullptr, 1, u8(kCy), rc, 4), 1u);
    EXPECT_STREQ(rc[0].name, "heart");
}

// A mark cut short, of an unknown kind or past the limit ends the reading
// there: the marks before it stay, and the file is kept aside at its next
// write.
TEST_F(Msgstore, MarksCutShortOrOutOfRangeStopTheReading) {
    auto mark = [](uint8_t kind, uint8_t flag, const std::string &rest) {
        return std::string(1, char(kind)) + char(flag) + filled(16, 0x61) + std::string(7, '\0') + "\x01" +
               std::string(7, '\0') + "\x0a" + rest;
    };
    const std::string head = std::string("\x09", 1) + std::string(4, '\0') + std::string(4, '\0');
    auto count = [](uint32_t n) { return std::string{char(n >> 24), char(n >> 16), char(n >> 8), char(n)}; };
    const std::string del = mark(QV_MS_MARK_DELETE, 0, "");
    const std::string v10 = std::string("\x0a", 1) + std::string(8, '\0');
    const std::string floor = filled(16, 0x81) + std::string(7, '\0') + "\x09";
    struct Case {
        const char *what;
        std::string pt;
        size_t marks;
        int rc;
    } cases[] = {
        {"one delete", head + count(1) + del, 1, 0},
        {"a delete, then one cut short", head + count(2) + del + del.substr(0, 20), 1, 1},
        {"unknown kind", head + count(2) + del + mark(4, 0, ""), 1, 1},
        {"flag 2", head + count(1) + mark(QV_MS_MARK_DELETE, 2, ""), 0, 1},
        {"reaction without a name", head + count(1) + mark(QV_MS_MARK_REACTION, 1, filled(16, 0x71) + '\0'), 0, 1},
        {"reaction name of 33", head + count(1) + mark(QV_MS_MARK_REACTION, 1, filled(16, 0x71) + '\x21' + filled(33, 'x')), 0, 1},
        {"edit text of 4097", head + count(1) + mark(QV_MS_MARK_EDIT, 1, count(4097) + filled(4097, 'x')), 0, 1},
        {"edit text cut short", head + count(1) + mark(QV_MS_MARK_EDIT, 1, count(10) + "abc"), 0, 1},
        {"more marks announced than are kept", head + count(QV_MS_MARKS_ALL_MAX + 1) + del, 0, 1},
        {"no mark count", head, 0, 1},
        // version 10: the floors after the marks
        {"a floor", v10 + count(1) + del + count(1) + floor, 1, 0},
        {"no floor count", v10 + count(1) + del, 1, 1},
        {"a floor cut short", v10 + count(1) + del + count(1) + floor.substr(0, 20), 1, 1},
        {"more floors announced than are kept", v10 + count(0) + count(QV_MS_FLOORS_MAX + 1) + floor, 0, 1},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        quorvane_ms_conv conv{};
        EXPECT_EQ(quorvane_ms_msgs_decode(u8(k.pt), k.pt.size(), &conv), k.rc);
        EXPECT_EQ(conv.mark_count, k.marks);
        if (k.pt[0] == 10 && k.rc == 0) {
            ASSERT_EQ(conv.floor_count, 1u);
            EXPECT_EQ(conv.floors[0].position, 9u);
            EXPECT_EQ(bytes(conv.floors[0].user_id, conv.floors[0].user_id + 16), filled(16, 0x81));
        }
        quorvane_ms_conv_clear(&conv);
    }
}
