// Groups, key requests, history between own devices, back-fill, presence,
// typing and read state end to end: client sessions with stores of their own
// through the server program over TLS on loopback.
#include "e2e_support.h"
#include "client_send.h"
#include "quorvane_x3dh.h"

#include <algorithm>

using namespace qvtest;

namespace {

constexpr uint8_t FT_HISTORY_CHUNK = 161, FT_KEY_REQUEST = 176, FT_TYPING = 13, FT_RECEIPT = 14,
                  FT_READ_MARK = 188;

// amy, ben and cy, each on one device, in one group made by amy and known to all three.
struct Group {
    ServerProc &srv;
    Device amy, ben, cy;
    bytes conv = random_bytes(16), key = random_bytes(32);
    explicit Group(ServerProc &s) : srv(s), amy(s, "amy", 1), ben(s, "ben", 2), cy(s, "cy", 3) {}
    std::vector<quorvane_member> members() const { return {member_of({&amy}), member_of({&ben}), member_of({&cy})}; }
    void up() {
        bring_up({&amy, &ben, &cy});
        const auto m = members();
        ASSERT_EQ(quorvane_cs_create_conv(amy.cs.get(), conv.data(), key.data(), m.data(), m.size()), 0);
        for (Device *d : {&amy, &ben, &cy}) ASSERT_TRUE(d->sync()) << d->user;
    }
    // amy sends a text; it is acknowledged.
    void say(const std::string &text) {
        ASSERT_EQ(quorvane_cs_send_text(amy.cs.get(), conv.data(), text.c_str()), 0);
        ASSERT_EQ(amy.acks(1).at(0).ok, 1) << text;
    }
    // The texts a device holds for the group, after a round trip to the server.
    std::vector<std::string> texts(Device &d) {
        EXPECT_TRUE(d.sync());
        std::vector<std::string> out;
        for (const auto &m : d.messages(conv)) out.push_back(text_of(m));
        return out;
    }
    std::vector<bytes> keys(Device &d) {
        uint8_t k[8][32];
        std::vector<bytes> out;
        const size_t n = quorvane_msgstore_get_conv_keys(d.ms, conv.data(), k, 8);
        for (size_t i = 0; i < n; i++) out.emplace_back(k[i], k[i] + 32);
        return out;
    }
    // amy leaves cy's device out of a fresh key.
    void exclude_cy() {
        const auto m = members();
        ASSERT_EQ(quorvane_cs_group_rekey_exclude(amy.cs.get(), conv.data(), m.data(), m.size(), cy.dev_key()), 0);
        ASSERT_TRUE(amy.sync());
        ASSERT_EQ(keys(amy).size(), 2u);
        EXPECT_NE(hex(keys(amy)[0]), hex(key)) << "no new key";
        EXPECT_EQ(hex(keys(amy)[1]), hex(key)) << "the old key among the older ones";
    }
};

using Strings = std::vector<std::string>;

}  // namespace

// A device left out of a rekey opens nothing sealed after it while the other
// members do; a grant with the older keys lets it read the new messages and
// keeps what it needs for the old ones.
TEST(GroupEndToEnd, RekeyExcludingADeviceThenGrant) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    Group g(srv);
    ASSERT_NO_FATAL_FAILURE(g.up());
    ASSERT_NO_FATAL_FAILURE(g.say("before the rekey"));
    for (Device *d : {&g.ben, &g.cy}) EXPECT_EQ(g.texts(*d), Strings{"before the rekey"}) << d->user;

    ASSERT_NO_FATAL_FAILURE(g.exclude_cy());
    const bytes key2 = g.keys(g.amy)[0];
    ASSERT_TRUE(g.ben.sync());
    ASSERT_TRUE(g.cy.sync());
    EXPECT_EQ(hex(g.keys(g.ben)[0]), hex(key2));
    EXPECT_EQ(g.keys(g.cy), std::vector<bytes>{g.key}) << "cy's device opened the new key";

    ASSERT_NO_FATAL_FAILURE(g.say("after the rekey"));
    EXPECT_EQ(g.texts(g.ben), (Strings{"before the rekey", "after the rekey"}));
    ASSERT_TRUE(g.cy.reopen());
    EXPECT_EQ(g.texts(g.cy), Strings{"before the rekey"});
    EXPECT_EQ(g.cy.cs->deliver.failed, 1u) << "the envelope under the new key reached cy and did not open";

    // The grant: the current key for cy's device, the older ones in record 84.
    const auto m = g.members();
    ASSERT_EQ(quorvane_cs_group_reseal_grant(g.amy.cs.get(), g.conv.data(), m.data(), m.size(), g.cy.dev_key(),
                                             g.cy.keys.k.device_ed25519_pub),
              0);
    ASSERT_TRUE(g.amy.sync());
    ASSERT_TRUE(g.cy.reopen());
    ASSERT_TRUE(g.cy.sync());
    bool had_84 = false;
    for (const bytes &f : g.cy.seen) {
        const uint8_t *v = nullptr;
        size_t n = 0;
        if (f.size() > 8 && f[3] == 151 && quorvane_tlv_find(f.data() + 8, f.size() - 8, 84, &v, &n) == 0) had_84 = true;
    }
    EXPECT_TRUE(had_84) << "no older-keys record reached the granted device";
    const auto cy_keys = g.keys(g.cy);
    ASSERT_GE(cy_keys.size(), 2u);
    EXPECT_EQ(hex(cy_keys[0]), hex(key2));
    EXPECT_NE(std::find(cy_keys.begin() + 1, cy_keys.end(), g.key), cy_keys.end());
    ASSERT_TRUE(g.cy.reopen());
    EXPECT_EQ(g.texts(g.cy), (Strings{"before the rekey", "after the rekey"})) << "the held envelope opens after the grant";

    // Older messages too: the server's kept copies under either key, back-filled,
    // all open with the granted keys and none is stored twice.
    ASSERT_TRUE(g.cy.reopen());
    const uint64_t failed_before_backfill = g.cy.cs->deliver.failed;
    ASSERT_EQ(quorvane_cs_backfill(g.cy.cs.get(), g.conv.data(), UINT64_MAX >> 1, 10), 0);
    uint8_t conv[16];
    uint64_t count = 9, cursor = 0;
    uint8_t flag = 9;
    ASSERT_TRUE(g.cy.until([&] { return quorvane_cs_backfill_result(g.cy.cs.get(), conv, &count, &cursor, &flag) == 1; }));
    size_t kept = 0;
    for (const bytes &f : g.cy.seen) kept += f.size() > 8 && f[3] == 170;
    EXPECT_EQ(kept, 2u);
    EXPECT_EQ(g.cy.cs->deliver.failed, failed_before_backfill) << "a kept envelope did not open";
    EXPECT_EQ(count, 0u) << "both were held already";
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(g.texts(g.cy), (Strings{"before the rekey", "after the rekey"}));

    // cy's device, holding the key again, reads what comes next; so does ben.
    ASSERT_NO_FATAL_FAILURE(g.say("after the grant"));
    for (Device *d : {&g.ben, &g.cy}) {
        ASSERT_TRUE(d->reopen());
        EXPECT_EQ(g.texts(*d), (Strings{"before the rekey", "after the rekey", "after the grant"})) << d->user;
    }
}

// A device without the current key asks for it: the request reaches the other
// members' devices, not its own; it carries the identity the members know for
// the requester and a certificate of the device by that identity, and only
// then is the key granted.
TEST(GroupEndToEnd, KeyRequestCheckedThenGranted) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    Group g(srv);
    ASSERT_NO_FATAL_FAILURE(g.up());
    ASSERT_NO_FATAL_FAILURE(g.exclude_cy());
    const bytes key2 = g.keys(g.amy)[0];
    ASSERT_TRUE(g.cy.sync());
    ASSERT_EQ(g.keys(g.cy).size(), 1u);

    const size_t cy_mark = g.cy.seen.size();
    ASSERT_EQ(quorvane_cs_send_key_request(g.cy.cs.get(), g.conv.data()), 0);
    ASSERT_TRUE(g.cy.sync());
    quorvane_key_request got[2]{};
    Device *const members[] = {&g.amy, &g.ben};
    for (size_t i = 0; i < 2; i++) {
        Device &d = *members[i];
        SCOPED_TRACE(d.user);
        ASSERT_TRUE(d.until([&] { return quorvane_cs_take_key_request(d.cs.get(), &got[i]) == 1; }));
        const quorvane_key_request &r = got[i];
        EXPECT_EQ(hex(r.conv_id, 16), hex(g.conv));
        EXPECT_EQ(hex(r.user_id, 16), hex(g.cy.uid, 16));
        EXPECT_EQ(hex(r.dev_x, 32), hex(g.cy.dev_key(), 32));
        // the identity check: the one this member's store holds for cy
        bool known = false;
        for (size_t k = 0; k < quorvane_msgstore_member_count(d.ms, g.conv.data()); k++) {
            uint8_t user[16], ident[32], second[32], role = 0;
            ASSERT_EQ(quorvane_msgstore_member_at(d.ms, g.conv.data(), k, user, ident, second, &role), 0);
            if (std::memcmp(user, r.user_id, 16) == 0) known = std::memcmp(ident, r.identity, 32) == 0;
        }
        EXPECT_TRUE(known) << "the request's identity is not the one known for cy";
        EXPECT_EQ(hex(r.identity, 32), hex(g.cy.keys.k.identity_pub, 32));
        // the certificate check, and a certificate that must fail it
        EXPECT_EQ(quorvane_device_cert_verify(r.identity, r.dev_x, r.dev_ed, r.cert), 0);
        uint8_t bent[64];
        std::memcpy(bent, r.cert, 64);
        bent[5] ^= 1;
        EXPECT_NE(quorvane_device_cert_verify(r.identity, r.dev_x, r.dev_ed, bent), 0);
        EXPECT_NE(quorvane_device_cert_verify(g.ben.keys.k.identity_pub, r.dev_x, r.dev_ed, r.cert), 0);
    }
    EXPECT_FALSE(g.cy.saw_since(cy_mark, FT_KEY_REQUEST)) << "the requester got its own request";

    const auto m = g.members();
    ASSERT_EQ(quorvane_cs_group_reseal_grant(g.amy.cs.get(), g.conv.data(), m.data(), m.size(), got[0].dev_x, got[0].dev_ed), 0);
    ASSERT_TRUE(g.amy.sync());
    ASSERT_TRUE(g.cy.reopen());
    ASSERT_TRUE(g.cy.sync());
    ASSERT_FALSE(g.keys(g.cy).empty());
    EXPECT_EQ(hex(g.keys(g.cy)[0]), hex(key2));
    // granted: asked again, the request is no longer handed out
    ASSERT_EQ(quorvane_cs_key_requests_get(g.ben.cs.get()), 0);
    ASSERT_TRUE(g.ben.sync());
    quorvane_key_request again{};
    EXPECT_EQ(quorvane_cs_take_key_request(g.ben.cs.get(), &again), 0);
}

// A new own device asks for the history; the old one seals its export to the
// new device's key and sends it in chunks of at most 256 KiB, which arrive in
// order, whole, and are merged into the new device's store.
TEST(GroupEndToEnd, HistoryToANewOwnDevice) {
    constexpr size_t kTarget = QV_HISTORY_MAX;
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    Device amy(srv, "amy", 1), amy2(srv, "amy", 1);
    bring_up({&amy});
    // conversations of 1,000 messages, below the store's cap on either side
    constexpr uint64_t kPerConv = 1000;
    std::vector<bytes> convs, keys;
    const auto add_conv = [&] {
        convs.push_back(random_bytes(16));
        keys.push_back(random_bytes(32));
        return quorvane_msgstore_put_conv(amy.ms, convs.back().data(), keys.back().data()) == 0;
    };
    ASSERT_TRUE(add_conv());
    // texts of the longest kind until the sealed export fills the target
    size_t base = 0;
    {
        uint8_t *x = quorvane_msgstore_export_history(amy.ms, &base);
        ASSERT_NE(x, nullptr);
        quorvane_msgstore_export_free(x, base);
    }
    const size_t room = kTarget - QV_SEAL_OVERHEAD - base;
    auto rec = std::make_unique<quorvane_ms_msgrec>();
    std::memcpy(rec->author, amy.uid, 16);
    rec->type = QV_MSG_TEXT;
    quorvane_msgstore_batch_begin(amy.ms);
    uint64_t n = 0;
    std::string first, last;
    for (size_t used = 0; used + QV_MS_EXPORT_MSG < room; n++) {
        if (n > 0 && n % kPerConv == 0) {
            used += base - QV_MS_EXPORT_HDR;  // another conversation's own entry, as the first one's
            if (used + QV_MS_EXPORT_MSG >= room) break;
            ASSERT_TRUE(add_conv());
        }
        std::memcpy(rec->conv_id, convs.back().data(), 16);
        const size_t len = std::min(QV_MS_TEXT_MAX, room - used - QV_MS_EXPORT_MSG);
        std::string t = "message " + std::to_string(n) + " ";
        t.resize(len, static_cast<char>('a' + n % 26));
        std::memcpy(rec->text, t.data(), len);
        rec->text_len = len;
        rec->msg_id = n + 1;
        rec->time = 1700000000000 + n;
        rec->position = n + 1;
        ASSERT_EQ(quorvane_msgstore_add_msg(amy.ms, rec.get()), 1);
        used += QV_MS_EXPORT_MSG + len;
        if (n == 0) first = t;
        last = t;
    }
    ASSERT_EQ(quorvane_msgstore_batch_end(amy.ms), 0);
    {
        size_t len = 0;
        uint8_t *x = quorvane_msgstore_export_history(amy.ms, &len);
        ASSERT_NE(x, nullptr);
        quorvane_msgstore_export_free(x, len);
        ASSERT_EQ(len + QV_SEAL_OVERHEAD, kTarget) << "the history is not of the size aimed at";
    }

    ASSERT_TRUE(amy2.enroll());
    ASSERT_TRUE(amy2.online());
    ASSERT_EQ(quorvane_cs_request_history(amy2.cs.get()), 0);
    ASSERT_TRUE(wait_until(
        [&] {
            amy.pump();
            amy2.pump();
            return quorvane_cs_history_synced(amy2.cs.get()) == 1;
        },
        10 * kWaitMs));
    uint8_t peer[32];
    ASSERT_EQ(quorvane_cs_take_history_peer(amy.cs.get(), peer), 1);
    EXPECT_EQ(hex(peer, 32), hex(amy2.dev_key(), 32)) << "the history went to another device";

    // the chunks: in order, none above 256 KiB, together the whole sealed history
    uint64_t expect_offset = 0, chunks = 0;
    for (const bytes &f : amy2.seen) {
        if (f.size() <= 8 || f[3] != FT_HISTORY_CHUNK) continue;
        const uint8_t *v = nullptr;
        size_t vl = 0;
        uint64_t total = 0, offset = 0;
        ASSERT_EQ(quorvane_tlv_find(f.data() + 8, f.size() - 8, 24, &v, &vl), 0);
        ASSERT_EQ(quorvane_tlv_get_u64(v, vl, &total), 0);
        ASSERT_EQ(quorvane_tlv_find(f.data() + 8, f.size() - 8, 26, &v, &vl), 0);
        ASSERT_EQ(quorvane_tlv_get_u64(v, vl, &offset), 0);
        ASSERT_EQ(quorvane_tlv_find(f.data() + 8, f.size() - 8, 25, &v, &vl), 0);
        EXPECT_EQ(total, kTarget);
        EXPECT_EQ(offset, expect_offset);
        EXPECT_LE(vl, QV_HISTORY_CHUNK);
        EXPECT_TRUE(vl == QV_HISTORY_CHUNK || offset + vl == kTarget) << "a short chunk before the last";
        expect_offset = offset + vl;
        chunks++;
    }
    EXPECT_EQ(expect_offset, kTarget);
    EXPECT_EQ(chunks, (kTarget + QV_HISTORY_CHUNK - 1) / QV_HISTORY_CHUNK);
    EXPECT_EQ(amy2.cs->account.history_in, nullptr) << "the received buffer was kept";

    // merged, and kept across a reopen of the new device's store
    ASSERT_TRUE(amy2.reopen());
    uint64_t merged = 0;
    for (size_t i = 0; i < convs.size(); i++) {
        uint8_t k[32];
        ASSERT_EQ(quorvane_msgstore_get_conv(amy2.ms, convs[i].data(), k), 1) << i;
        EXPECT_EQ(hex(k, 32), hex(keys[i])) << i;
        merged += quorvane_msgstore_msg_count(amy2.ms, convs[i].data());
    }
    EXPECT_EQ(merged, n);
    EXPECT_EQ(text_of(amy2.messages(convs.front()).front()), first);
    EXPECT_EQ(text_of(amy2.messages(convs.back()).back()), last);
}

// Back-fill pages through the server's kept copies of a conversation, newest
// first, each page below the last; it ends at the oldest kept, and a
// conversation forgotten at a position is not fetched below it again.
TEST(GroupEndToEnd, BackfillPagesDownToTheFloor) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    Group g(srv);
    ASSERT_NO_FATAL_FAILURE(g.up());
    Strings said;
    for (int i = 0; i < 4; i++) {
        said.push_back("kept " + std::to_string(i));
        ASSERT_NO_FATAL_FAILURE(g.say(said.back()));
    }
    // ben adds a device; amy rekeys and then grants that device the current key
    // and the older ones, so it can open the past under both
    Device ben2(srv, "ben", 2);
    ASSERT_TRUE(ben2.enroll());
    ASSERT_TRUE(ben2.online());
    ASSERT_TRUE(ben2.sync());
    const bytes key2 = random_bytes(32);
    std::vector<quorvane_member> m = {member_of({&g.amy}), member_of({&g.ben, &ben2}), member_of({&g.cy})};
    ASSERT_EQ(quorvane_cs_group_rekey(g.amy.cs.get(), g.conv.data(), key2.data(), m.data(), m.size()), 0);
    ASSERT_TRUE(g.amy.sync());
    for (int i = 4; i < 7; i++) {
        said.push_back("kept " + std::to_string(i));
        ASSERT_NO_FATAL_FAILURE(g.say(said.back()));
    }
    ASSERT_EQ(quorvane_cs_group_reseal_grant(g.amy.cs.get(), g.conv.data(), m.data(), m.size(), ben2.dev_key(),
                                             ben2.keys.k.device_ed25519_pub),
              0);
    ASSERT_TRUE(g.amy.sync());
    ASSERT_TRUE(ben2.reopen());
    ASSERT_TRUE(ben2.sync());
    EXPECT_EQ(g.keys(ben2), (std::vector<bytes>{key2, g.key}));
    ASSERT_EQ(quorvane_msgstore_msg_count(ben2.ms, g.conv.data()), 3u) << "the messages after the rekey came to the new device";

    // pages of three, newest first: the first brings what the device holds (nothing new)
    uint64_t before = UINT64_MAX >> 1, pages = 0, last_cursor = 0, added = 0;
    uint8_t flag = 1;
    while (flag && pages < 10) {
        const size_t mark = ben2.seen.size();
        ASSERT_EQ(quorvane_cs_backfill(ben2.cs.get(), g.conv.data(), before, 3), 0);
        uint8_t conv[16];
        uint64_t count = 0, cursor = 0;
        ASSERT_TRUE(ben2.until([&] { return quorvane_cs_backfill_result(ben2.cs.get(), conv, &count, &cursor, &flag) == 1; }));
        EXPECT_EQ(hex(conv, 16), hex(g.conv));
        size_t in_page = 0;
        for (size_t i = mark; i < ben2.seen.size(); i++) in_page += ben2.seen[i].size() > 8 && ben2.seen[i][3] == 170;
        EXPECT_EQ(in_page, flag ? 3u : 1u) << "page " << pages;
        EXPECT_EQ(count, pages == 0 ? 0u : in_page) << "page " << pages;
        added += count;
        EXPECT_LT(cursor, before);
        before = last_cursor = cursor;
        pages++;
    }
    EXPECT_EQ(pages, 3u);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(added, 4u) << "the four sealed under the older key";
    Strings got;
    for (const auto &m : ben2.messages(g.conv)) got.push_back(text_of(m));
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, said) << "every kept message, once";
    EXPECT_EQ(ben2.cs->deliver.failed, 0u);

    // Below the oldest: an empty page that says so.
    ASSERT_EQ(quorvane_cs_backfill(ben2.cs.get(), g.conv.data(), last_cursor, 3), 0);
    uint8_t conv[16];
    uint64_t count = 9, cursor = 0;
    ASSERT_TRUE(ben2.until([&] { return quorvane_cs_backfill_result(ben2.cs.get(), conv, &count, &cursor, &flag) == 1; }));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(flag, 0);

    // Forgotten at ben's sync cursor: no back-fill at or below that floor is asked for.
    ASSERT_TRUE(g.ben.sync());
    ASSERT_EQ(quorvane_msgstore_forget_conv(g.ben.ms, g.conv.data()), 0);
    const uint64_t floor = quorvane_msgstore_history_floor(g.ben.ms, g.conv.data());
    ASSERT_GT(floor, 0u);
    const size_t mark = g.ben.seen.size();
    EXPECT_EQ(quorvane_cs_backfill(g.ben.cs.get(), g.conv.data(), floor + 1, 3), -1);
    EXPECT_EQ(quorvane_cs_backfill_inflight(g.ben.cs.get()), 0);
    ASSERT_TRUE(g.ben.sync());
    EXPECT_FALSE(g.ben.saw_since(mark, 171)) << "a back-fill below the floor went out";
    EXPECT_EQ(quorvane_msgstore_msg_count(g.ben.ms, g.conv.data()), 0u);
}

// Presence of a user whose presence is public reaches those who share a
// conversation with it; typing and read receipts reach the other members live;
// a read mark reaches the user's own other device and nobody else.
TEST(GroupEndToEnd, PresenceTypingAndReadState) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    Group g(srv);
    ASSERT_NO_FATAL_FAILURE(g.up());
    Device amy2(srv, "amy", 1);
    ASSERT_TRUE(amy2.enroll());
    ASSERT_TRUE(amy2.online());
    ASSERT_TRUE(amy2.sync());

    auto online_of = [](Device &d, const uint8_t uid[16]) {
        uint8_t ids[QV_PRESENCE_MAX][16], on[QV_PRESENCE_MAX];
        const size_t n = quorvane_cs_presence_copy(d.cs.get(), ids, on, QV_PRESENCE_MAX);
        for (size_t i = 0; i < n; i++)
            if (std::memcmp(ids[i], uid, 16) == 0) return static_cast<int>(on[i]);
        return -1;
    };
    // public presence: ben and cy hear of amy going away (last device) and coming back
    ASSERT_EQ(quorvane_cs_set_presence_public(g.amy.cs.get(), 1), 0);
    ASSERT_TRUE(g.amy.sync());
    amy2.offline();
    g.amy.offline();
    for (Device *d : {&g.ben, &g.cy}) {
        SCOPED_TRACE(d->user);
        ASSERT_TRUE(d->until([&] { return online_of(*d, g.amy.uid) == 0; }));
        EXPECT_GT(quorvane_cs_last_seen(d->cs.get(), g.amy.uid), 0u);
    }
    ASSERT_TRUE(g.amy.online());
    ASSERT_TRUE(amy2.online());
    for (Device *d : {&g.ben, &g.cy}) ASSERT_TRUE(d->until([&] { return online_of(*d, g.amy.uid) == 1; })) << d->user;
    ASSERT_TRUE(g.amy.sync());
    ASSERT_TRUE(amy2.sync());

    // positions past 57 handed out (three copies a text): receipts and marks name only those
    for (int i = 0; i < 20; i++) ASSERT_NO_FATAL_FAILURE(g.say("text " + std::to_string(i)));
    ASSERT_TRUE(amy2.sync());

    // typing and a read receipt
    const size_t amy2_mark = amy2.seen.size();
    ASSERT_EQ(quorvane_cs_send_typing(g.amy.cs.get(), g.conv.data()), 0);
    ASSERT_EQ(quorvane_cs_send_read_receipt(g.amy.cs.get(), g.conv.data(), 42), 0);
    ASSERT_TRUE(g.amy.sync());
    for (Device *d : {&g.ben, &g.cy}) {
        SCOPED_TRACE(d->user);
        uint8_t conv[16];
        uint64_t t = 0;
        ASSERT_TRUE(d->until([&] { return quorvane_cs_get_typing(d->cs.get(), conv, &t) == 1; }));
        EXPECT_EQ(hex(conv, 16), hex(g.conv));
        EXPECT_GT(t, 0u);
        ASSERT_TRUE(d->until([&] { return quorvane_msgstore_get_read(d->ms, g.conv.data()) == 42; }));
    }

    // a read mark: to amy's other device, into its store; ben hears nothing of it
    const uint32_t epoch = quorvane_cs_read_marks_epoch(amy2.cs.get());
    const size_t ben_mark = g.ben.seen.size();
    ASSERT_EQ(quorvane_cs_send_read_mark(g.amy.cs.get(), g.conv.data(), 57), 0);
    ASSERT_TRUE(g.amy.sync());
    ASSERT_TRUE(amy2.until([&] { return quorvane_msgstore_read_mark(amy2.ms, g.conv.data()) == 57; }));
    EXPECT_EQ(quorvane_cs_read_marks_epoch(amy2.cs.get()), epoch + 1);
    EXPECT_TRUE(amy2.saw_since(amy2_mark, FT_READ_MARK));
    EXPECT_FALSE(amy2.saw_since(amy2_mark, FT_TYPING) || amy2.saw_since(amy2_mark, FT_RECEIPT)) << "amy's own typing came back";
    ASSERT_TRUE(g.ben.sync());
    EXPECT_FALSE(g.ben.saw_since(ben_mark, FT_READ_MARK));
    EXPECT_EQ(quorvane_msgstore_read_mark(g.ben.ms, g.conv.data()), 0u);
    // the mark is kept by the server: a store of amy's opened anew learns it from the sync
    ASSERT_TRUE(amy2.reopen());
    ASSERT_TRUE(amy2.sync());
    EXPECT_EQ(quorvane_msgstore_read_mark(amy2.ms, g.conv.data()), 57u);
}
