// Back-fill on a new device through the server program over TLS on loopback:
// a history page comes newest first, so a message's delete, edits and
// reactions arrive before the message itself. The new device must end where
// a device that saw them live ends: a deleted message stays deleted, an
// edited one shows its newest text, a reaction taken back stays gone. Pages
// of three envelopes, the store closed and opened again between them.
#include "client_community.h"
#include "client_send.h"
#include "e2e_support.h"

#include <algorithm>

using namespace qvtest;

namespace {

struct Shown {
    int type = -1;
    std::string text;
    std::string reactions;
    bool operator==(const Shown &) const = default;
};
std::ostream &operator<<(std::ostream &o, const Shown &s) {
    return o << "{type " << s.type << " '" << s.text << "' reactions '" << s.reactions << "'}";
}

Shown shown(const Device &d, const bytes &conv, const uint8_t author[16], uint64_t id) {
    Shown s;
    quorvane_ms_msgrec m{};
    if (quorvane_msgstore_find_msg(d.ms, conv.data(), author, id, &m) == 0) {
        s.type = m.type;
        s.text = text_of(m);
    }
    quorvane_ms_reaction_count rc[8];
    const size_t n = quorvane_msgstore_reactions(d.ms, conv.data(), author, nullptr, id, nullptr, rc, 8);
    std::vector<std::string> parts;
    for (size_t i = 0; i < n; i++) parts.push_back(std::string(rc[i].name) + ":" + std::to_string(rc[i].count));
    std::sort(parts.begin(), parts.end());
    for (const auto &p : parts) s.reactions += (s.reactions.empty() ? "" : ",") + p;
    return s;
}

uint64_t acked(Device &d) {
    const SendResult r = d.acks(1).at(0);
    EXPECT_EQ(r.ok, 1);
    return r.counter;
}

}  // namespace

TEST(BackfillMarks, NewDeviceShowsWhatTheActionsLeft) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    Device amy(srv, "amy", 1), ben(srv, "ben", 2), ben2(srv, "ben", 2);
    bring_up({&amy, &ben});
    const bytes conv = make_group({&amy, &ben});
    // the review's sequence, and one without the delete
    ASSERT_EQ(quorvane_cs_send_text(amy.cs.get(), conv.data(), "secret words"), 0);
    const uint64_t gone = acked(amy);
    ASSERT_EQ(quorvane_cs_send_text(amy.cs.get(), conv.data(), "kept words"), 0);
    const uint64_t kept = acked(amy);
    ASSERT_EQ(quorvane_cs_send_edit(amy.cs.get(), conv.data(), nullptr, gone, "secret words, edited"), 0);
    acked(amy);
    ASSERT_EQ(quorvane_cs_send_edit(amy.cs.get(), conv.data(), nullptr, kept, "kept words, edited"), 0);
    acked(amy);
    for (const auto &[id, name, add] : {std::tuple{gone, "heart", 1}, std::tuple{gone, "heart", 0}, std::tuple{kept, "smile", 1},
                                        std::tuple{kept, "smile", 0}, std::tuple{kept, "star", 1}}) {
        ASSERT_EQ(quorvane_cs_send_reaction(ben.cs.get(), conv.data(), amy.uid, nullptr, id, name, add), 0);
        acked(ben);
    }
    ASSERT_EQ(quorvane_cs_send_delete(amy.cs.get(), conv.data(), amy.uid, nullptr, gone), 0);
    acked(amy);
    ASSERT_TRUE(ben.sync());
    const Shown want_gone{QV_MS_TYPE_DELETED, "", ""}, want_kept{QV_MS_TYPE_TEXT, "kept words, edited", "star:1"};
    ASSERT_EQ(shown(ben, conv, amy.uid, gone), want_gone) << "the device that saw it live";
    ASSERT_EQ(shown(ben, conv, amy.uid, kept), want_kept) << "the device that saw it live";

    // ben's new device, given the key, back-fills three envelopes a page
    ASSERT_TRUE(ben2.enroll());
    ASSERT_TRUE(ben2.online());
    ASSERT_TRUE(ben2.publish());
    {
        const std::vector<quorvane_member> m = {member_of({&amy}), member_of({&ben, &ben2})};
        ASSERT_EQ(quorvane_cs_group_reseal(amy.cs.get(), conv.data(), m.data(), m.size()), 0);
    }
    ASSERT_TRUE(ben2.until([&] {
        amy.pump();
        uint8_t k[32];
        return quorvane_msgstore_get_conv(ben2.ms, conv.data(), k) == 1;
    })) << "the new device never got the key";
    uint64_t before = UINT64_MAX >> 1;
    int pages = 0;
    for (uint8_t more = 1; more && pages < 20; pages++) {
        ASSERT_EQ(quorvane_cs_backfill(ben2.cs.get(), conv.data(), before, 3), 0);
        uint8_t id[16];
        uint64_t count = 0;
        ASSERT_TRUE(ben2.until([&] { return quorvane_cs_backfill_result(ben2.cs.get(), id, &count, &before, &more) == 1; }));
        ASSERT_TRUE(ben2.reopen());
    }
    EXPECT_GE(pages, 4) << "the pages did not split the actions from their messages";
    EXPECT_EQ(shown(ben2, conv, amy.uid, gone), want_gone);
    EXPECT_EQ(shown(ben2, conv, amy.uid, kept), want_kept);
}
