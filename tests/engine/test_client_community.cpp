// Conversations, channels, instances, invites, administration and back-fill:
// request bodies captured by a scripted TLS peer and compared with bytes
// written here from the tag tables, and answers written the same way handed to
// a signed-in session.
#include "client_community.h"
#include "deliver_support.h"
#include "session_support.h"
#include "signed_in_support.h"

#include <cstring>
#include <functional>

using namespace qvtest;

namespace {

using bytes = std::vector<uint8_t>;

const bytes INST = rep(0x11, 16), USER = rep(0x22, 16), CONV = rep(0x33, 16), CONV2 = rep(0x34, 16), TOKEN = rep(0x44, 32),
            CODE = rep(0x55, 16);
const std::string I = hex(INST), U = hex(USER), C = hex(CONV), C2 = hex(CONV2), T = hex(TOKEN), K = hex(CODE);

// The frame header of a request: magic, version, type, then the body's length.
std::string framed(uint8_t type, const std::string &body_hex) {
    return "485201" + hex(u8(type)) + hex(be32(static_cast<uint32_t>(body_hex.size() / 2))) + body_hex;
}

// One request and what must reach the server: "" when it is refused.
struct Req {
    const char *name;
    std::function<int(quorvane_cs *)> call;
    std::string want;
};

// Runs the table, then one last empty channel-list request as a marker: every
// accepted request's frame must arrive in order and nothing from a refused one.
void run_table(Remote &r, const std::vector<Req> &table) {
    std::vector<std::string> want;
    for (const Req &q : table) {
        SCOPED_TRACE(q.name);
        EXPECT_EQ(q.call(r.cs.get()), q.want.empty() ? -1 : 0);
        if (!q.want.empty()) want.push_back(q.want);
    }
    ASSERT_EQ(quorvane_cs_channel_list(r.cs.get()), 0);
    want.push_back(framed(0x1E, ""));
    auto got = r.wait_frames(want.size());
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); i++) EXPECT_EQ(hex(got[i]), want[i]) << "frame " << i;
}

const char kTagText[3][QV_CS_META_TAG_LEN] = {"a", "", "b"};

}  // namespace

// Every request body of the family, byte for byte, with the limits: 33 scope
// ids refused, the all flag sending no ids, 17 tags refused, empty tags left
// out with the index byte of their place, a listing name checked or removed.
TEST(CommunityRequests, BodiesOnTheWire) {
    Remote r;
    r.start();
    static uint8_t ids33[33][16];
    for (auto &id : ids33) std::memset(id, 0x34, 16);
    static char tags17[17][QV_CS_META_TAG_LEN] = {};
    const uint8_t two[2][16] = {{0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33},
                                {0x34, 0x34, 0x34, 0x34, 0x34, 0x34, 0x34, 0x34, 0x34, 0x34, 0x34, 0x34, 0x34, 0x34, 0x34, 0x34}};
    char long_tag[1][QV_CS_META_TAG_LEN];
    std::memset(long_tag[0], 'x', QV_CS_META_TAG_LEN);  // 48 bytes, no terminator
    const uint8_t *i = INST.data(), *u = USER.data(), *c = CONV.data();
    const std::vector<Req> table = {
        {"meta a,,b", [&](quorvane_cs *s) { return quorvane_cs_instance_meta_set(s, i, kTagText, 3); },
         framed(0x34, "38" "00000010" + I + "3d" "00000002" "0061" "3d" "00000002" "0262")},
        {"meta cut to 47", [&](quorvane_cs *s) { return quorvane_cs_instance_meta_set(s, i, long_tag, 1); },
         framed(0x34, "38" "00000010" + I + "3d" "00000030" "00" + hex(rep('x', 47)))},
        {"meta 17 tags", [&](quorvane_cs *s) { return quorvane_cs_instance_meta_set(s, i, tags17, 17); }, ""},
        {"group", [&](quorvane_cs *s) { return quorvane_cs_channel_group_set(s, c, 255, 7, 1); },
         framed(0x35, "11" "00000010" + C + "45" "00000003" "ff0701")},
        {"kick", [&](quorvane_cs *s) { return quorvane_cs_instance_kick(s, i, u, 5); },
         framed(0x36, "38" "00000010" + I + "0e" "00000010" + U + "46" "00000001" "05")},
        {"instance role", [&](quorvane_cs *s) { return quorvane_cs_instance_role_set(s, i, u, 2); },
         framed(0x37, "38" "00000010" + I + "0e" "00000010" + U + "0f" "00000001" "02")},
        {"instance list", [&](quorvane_cs *s) { return quorvane_cs_instance_list(s); }, framed(0x2E, "")},
        {"join", [&](quorvane_cs *s) { return quorvane_cs_instance_join(s, CODE.data()); }, framed(0x2F, "3f" "00000010" + K)},
        {"leave", [&](quorvane_cs *s) { return quorvane_cs_instance_leave(s, i); }, framed(0x30, "38" "00000010" + I)},
        {"invite both values", [&](quorvane_cs *s) { return quorvane_cs_invite_create(s, i, 0x0102030405060708ull, 0x0A0B0C0D); },
         framed(0x31, "38" "00000010" + I + "40" "00000008" "0102030405060708" "41" "00000004" "0a0b0c0d")},
        {"invite no values", [&](quorvane_cs *s) { return quorvane_cs_invite_create(s, i, 0, 0); }, framed(0x31, "38" "00000010" + I)},
        {"invite list", [&](quorvane_cs *s) { return quorvane_cs_invite_list(s, i); }, framed(0x32, "38" "00000010" + I)},
        {"invite revoke", [&](quorvane_cs *s) { return quorvane_cs_invite_revoke(s, i, TOKEN.data()); },
         framed(0x33, "38" "00000010" + I + "43" "00000020" + T)},
        {"members", [&](quorvane_cs *s) { return quorvane_cs_instance_members_get(s, i); }, framed(0x39, "38" "00000010" + I)},
        {"avatar", [&](quorvane_cs *s) { return quorvane_cs_instance_avatar_get(s, i); }, framed(0x38, "38" "00000010" + I)},
        {"channel list", [&](quorvane_cs *s) { return quorvane_cs_channel_list(s); }, framed(0x1E, "")},
        {"join request", [&](quorvane_cs *s) { return quorvane_cs_channel_join_request(s, c); }, framed(0x1F, "11" "00000010" + C)},
        {"listing", [&](quorvane_cs *s) { return quorvane_cs_channel_set_listing(s, c, "Lobby"); },
         framed(0x52, "11" "00000010" + C + "63" "00000005" "4c6f626279")},
        {"listing empty", [&](quorvane_cs *s) { return quorvane_cs_channel_set_listing(s, c, ""); }, framed(0x52, "11" "00000010" + C)},
        {"listing null", [&](quorvane_cs *s) { return quorvane_cs_channel_set_listing(s, c, nullptr); }, framed(0x52, "11" "00000010" + C)},
        {"listing spaces", [&](quorvane_cs *s) { return quorvane_cs_channel_set_listing(s, c, "   "); }, ""},
        {"listing control", [&](quorvane_cs *s) { return quorvane_cs_channel_set_listing(s, c, "a\tb"); }, ""},
        {"join list", [&](quorvane_cs *s) { return quorvane_cs_channel_join_list(s, c); }, framed(0x20, "11" "00000010" + C)},
        {"join deny", [&](quorvane_cs *s) { return quorvane_cs_channel_join_deny(s, c, u); },
         framed(0x21, "11" "00000010" + C + "0e" "00000010" + U)},
        {"retention server", [&](quorvane_cs *s) { return quorvane_cs_retention_get(s, nullptr); }, framed(0x25, "")},
        {"retention conv", [&](quorvane_cs *s) { return quorvane_cs_retention_get(s, c); }, framed(0x25, "11" "00000010" + C)},
        {"retention set server", [&](quorvane_cs *s) { return quorvane_cs_retention_set(s, nullptr, 30); },
         framed(0x26, "2b" "00000004" "0000001e")},
        {"retention set conv", [&](quorvane_cs *s) { return quorvane_cs_retention_set(s, c, 0x01020304); },
         framed(0x26, "11" "00000010" + C + "2b" "00000004" "01020304")},
        {"auto roles", [&](quorvane_cs *s) { return quorvane_cs_auto_roles_get(s, c); }, framed(0x27, "11" "00000010" + C)},
        {"auto roles set", [&](quorvane_cs *s) { return quorvane_cs_auto_roles_set(s, c, 5); },
         framed(0x28, "11" "00000010" + C + "2c" "00000004" "00000005")},
        {"channel role", [&](quorvane_cs *s) { return quorvane_cs_set_channel_role(s, c, u, 3); },
         framed(0x1A, "11" "00000010" + C + "13" "00000010" + U + "1c" "00000001" "03")},
        {"mod action", [&](quorvane_cs *s) { return quorvane_cs_mod_action(s, c, u, 4); },
         framed(0x1B, "11" "00000010" + C + "13" "00000010" + U + "24" "00000001" "04")},
        {"purge", [&](quorvane_cs *s) { return quorvane_cs_purge_messages(s, c, u, 0x1122334455667788ull); },
         framed(0x24, "11" "00000010" + C + "13" "00000010" + U + "2a" "00000008" "1122334455667788")},
        {"admin pending", [&](quorvane_cs *s) { return quorvane_cs_admin_list_pending(s); }, framed(0x14, "")},
        {"admin users", [&](quorvane_cs *s) { return quorvane_cs_admin_list_users(s); }, framed(0x22, "")},
        {"approve", [&](quorvane_cs *s) { return quorvane_cs_admin_approve(s, u, 1); },
         framed(0x15, "0e" "00000010" + U + "23" "00000001" "01")},
        {"admin role", [&](quorvane_cs *s) { return quorvane_cs_admin_set_role(s, u, 2); },
         framed(0x19, "0e" "00000010" + U + "0f" "00000001" "02")},
        {"scope two", [&](quorvane_cs *s) { return quorvane_cs_admin_set_mod_scope(s, u, 0, two, 2); },
         framed(0x1C, "0e" "00000010" + U + "25" "00000001" "00" "11" "00000010" + C + "11" "00000010" + C2)},
        {"scope 33", [&](quorvane_cs *s) { return quorvane_cs_admin_set_mod_scope(s, u, 0, ids33, 33); }, ""},
        {"scope all", [&](quorvane_cs *s) { return quorvane_cs_admin_set_mod_scope(s, u, 7, ids33, 33); },
         framed(0x1C, "0e" "00000010" + U + "25" "00000001" "01")},
        {"delete channel", [&](quorvane_cs *s) { return quorvane_cs_delete_channel(s, c); }, framed(0x23, "11" "00000010" + C)},
        {"backfill", [&](quorvane_cs *s) { return quorvane_cs_backfill(s, c, 0x1000, 50); },
         framed(0x3B, "11" "00000010" + C + "15" "00000008" "0000000000001000" "4a" "00000004" "00000032")},
        {"backfill in flight", [&](quorvane_cs *s) { return quorvane_cs_backfill(s, CONV2.data(), 0x1000, 0); }, ""},
    };
    ASSERT_EQ(quorvane_msgstore_put_conv(r.ms, c, rep(1, 32).data()), 0);
    run_table(r, table);
    uint8_t key[32];
    EXPECT_EQ(quorvane_msgstore_get_conv(r.ms, c, key), 0);  // the channel left the store before it was sent
}

// Requests made outside the signed-in state return -1 and send nothing; a
// null session gives -1 and 0 from the getters.
TEST(CommunityRequests, NothingLeavesOutsideTheSignedInState) {
    Remote r;
    r.start();
    const uint8_t *i = INST.data(), *c = CONV.data(), *u = USER.data();
    const std::vector<std::function<int(quorvane_cs *)>> calls = {
        [&](quorvane_cs *s) { return quorvane_cs_instance_list(s); },
        [&](quorvane_cs *s) { return quorvane_cs_invite_create(s, i, 1, 1); },
        [&](quorvane_cs *s) { return quorvane_cs_channel_join_deny(s, c, u); },
        [&](quorvane_cs *s) { return quorvane_cs_retention_set(s, c, 1); },
        [&](quorvane_cs *s) { return quorvane_cs_admin_set_mod_scope(s, u, 1, nullptr, 0); },
        [&](quorvane_cs *s) { return quorvane_cs_backfill(s, c, 10, 0); },
        [&](quorvane_cs *s) { return quorvane_cs_delete_channel(s, c); },
    };
    ASSERT_EQ(quorvane_msgstore_put_conv(r.ms, c, rep(1, 32).data()), 0);
    for (uint32_t state : {QV_CS_CONNECTING, QV_CS_SIGNING_IN, QV_CS_FAILED}) {
        SCOPED_TRACE(state);
        r.cs->state = state;
        for (auto &call : calls) EXPECT_EQ(call(r.cs.get()), -1);
    }
    for (auto &call : calls) EXPECT_EQ(call(nullptr), -1);
    EXPECT_EQ(quorvane_cs_backfill_inflight(r.cs.get()), 0);
    uint8_t key[32];
    EXPECT_EQ(quorvane_msgstore_get_conv(r.ms, c, key), 1);  // a refused delete touches nothing
    r.cs->state = QV_CS_SIGNED_IN;
    run_table(r, {});
}

// Back-fill: refused at the floor (floor + 1 >= before) and while one runs;
// the answer 171 closes it with the cursor, the flag and the count, disarms
// the sink, and an answer nobody asked for changes nothing.
TEST(CommunityBackfill, FloorInFlightAndDone) {
    Remote r;
    r.start();
    const uint8_t *c = CONV.data(), *c2 = CONV2.data();
    ASSERT_EQ(quorvane_msgstore_put_conv(r.ms, c2, rep(2, 32).data()), 0);
    quorvane_msgstore_note_cursor(r.ms, c2, 100);
    ASSERT_EQ(quorvane_msgstore_forget_conv(r.ms, c2), 0);
    ASSERT_EQ(quorvane_msgstore_history_floor(r.ms, c2), 100u);
    auto done = [&](const bytes &payload) {
        bytes f = frame_of(171, payload);
        handle_authed_frame(r.cs.get(), f.data(), f.size());
    };
    // nothing in flight: ignored
    done(cat({tlv(21, be64(9)), tlv(75, u8(1))}));
    EXPECT_EQ(quorvane_cs_backfill_result(r.cs.get(), nullptr, nullptr, nullptr, nullptr), 0);

    struct Case {
        const uint8_t *conv;
        uint64_t before;
        bool accepted;
    } cases[] = {{c2, 99, false}, {c2, 100, false}, {c2, 101, false}, {c2, 102, true}, {c, 1, true}};
    auto sink = [](void *ctx, const quorvane_ms_msgrec *) { ++*static_cast<int *>(ctx); };
    int seen = 0;
    std::vector<std::string> want;
    for (const Case &k : cases) {
        SCOPED_TRACE(k.before);
        EXPECT_EQ(quorvane_cs_backfill_search(r.cs.get(), k.conv, k.before, 0, nullptr, nullptr), -1);  // the callback is required
        EXPECT_EQ(quorvane_cs_backfill_search(r.cs.get(), k.conv, k.before, 0, sink, &seen), k.accepted ? 0 : -1);
        EXPECT_EQ(quorvane_cs_backfill_inflight(r.cs.get()), k.accepted ? 1 : 0);
        EXPECT_EQ(quorvane_cs_backfill_sink_armed(r.cs.get()), k.accepted ? 1 : 0);
        if (!k.accepted) continue;
        want.push_back(framed(0x3B, "11" "00000010" + hex(k.conv, 16) + "15" "00000008" + hex(be64(k.before))));
        EXPECT_EQ(quorvane_cs_backfill(r.cs.get(), c, 500, 0), -1);  // one at a time
        r.cs->deliver.backfill_count = 3;  // as delivery counts what it took
        done(cat({tlv(21, be64(0x0A0B)), tlv(75, u8(5))}));
        EXPECT_EQ(quorvane_cs_backfill_inflight(r.cs.get()), 0);
        EXPECT_EQ(quorvane_cs_backfill_sink_armed(r.cs.get()), 0);
        uint8_t conv[16];
        uint64_t count = 0, cursor = 0;
        uint8_t flag = 0;
        ASSERT_EQ(quorvane_cs_backfill_result(r.cs.get(), conv, &count, &cursor, &flag), 1);
        EXPECT_EQ(hex(conv, 16), hex(k.conv, 16));
        EXPECT_EQ(count, 3u);
        EXPECT_EQ(cursor, 0x0A0Bu);
        EXPECT_EQ(flag, 1);
        EXPECT_EQ(quorvane_cs_backfill_result(r.cs.get(), conv, &count, &cursor, &flag), 0);  // taken once
        done(cat({tlv(21, be64(1)), tlv(75, u8(0))}));  // a second answer: nothing is in flight
        EXPECT_EQ(quorvane_cs_backfill_result(r.cs.get(), nullptr, nullptr, nullptr, nullptr), 0);
    }
    auto got = r.wait_frames(want.size());
    ASSERT_EQ(got.size(), want.size());
    for (size_t k = 0; k < want.size(); k++) EXPECT_EQ(hex(got[k]), want[k]);
}

// A new channel: stored with its key before it goes out, the kind in the body
// and the instance id last when one is given.
TEST(CommunityRequests, CreateChannel) {
    Remote r;
    r.start();
    Keys member_x;
    quorvane_member m{};
    std::memcpy(m.user_id, USER.data(), 16);
    std::memcpy(m.identity, member_x.k.device_x25519_pub, 32);
    const bytes key = rep(0x4B, 32);
    EXPECT_EQ(quorvane_cs_create_channel(r.cs.get(), CONV.data(), key.data(), 3, &m, 0, nullptr), -1);
    ASSERT_EQ(quorvane_cs_create_channel(r.cs.get(), CONV.data(), key.data(), 3, &m, 1, INST.data()), 0);
    ASSERT_EQ(quorvane_cs_create_channel(r.cs.get(), CONV2.data(), key.data(), 2, &m, 1, nullptr), 0);
    uint8_t held[32];
    ASSERT_EQ(quorvane_msgstore_get_conv(r.ms, CONV.data(), held), 1);
    EXPECT_EQ(hex(held, 32), hex(key));
    auto got = r.wait_frames(2);
    ASSERT_EQ(got.size(), 2u);
    const std::string with = hex(got[0]), without = hex(got[1]);
    EXPECT_EQ(with.substr(0, 8), "4852011d");
    EXPECT_EQ(with.substr(16, 42), "11" "00000010" + C);
    EXPECT_NE(with.find("27" "00000001" "03"), std::string::npos);
    EXPECT_EQ(with.substr(with.size() - 42), "38" "00000010" + I);
    EXPECT_EQ(without.substr(16, 42), "11" "00000010" + C2);
    EXPECT_NE(without.find("27" "00000001" "02"), std::string::npos);
    EXPECT_EQ(without.find("38" "00000010" + I), std::string::npos);
    EXPECT_EQ(got[0].size(), got[1].size() + 21);
}

// ---- answers ----

// Frame 148: status, entries started by a user id; a malformed list still
// answers; missing status reads 0; a role of another length is skipped.
TEST(CommunityFrames, AdministrationList) {
    const bytes U2 = rep(0x23, 16);
    struct Case {
        const char *name;
        bytes payload;
        uint8_t status;
        size_t count;
        std::string first_name;
        uint8_t role, second;
    } cases[] = {
        {"two entries", cat({tlv(34, u8(2)), tlv(14, USER), tlv_text(1, "alice"), tlv(15, u8(1)), tlv(35, u8(9)), tlv(14, U2)}), 2, 2,
         "alice", 1, 9},
        {"no status, long name cut", cat({tlv(14, USER), tlv_text(1, std::string(40, 'n'))}), 0, 1, std::string(32, 'n'), 0, 0},
        {"role of two bytes skipped", cat({tlv(14, USER), tlv(15, bytes{1, 2})}), 0, 1, "", 0, 0},
        {"fields before any user", cat({tlv(15, u8(1)), tlv(14, USER)}), 0, 1, "", 0, 0},
        {"malformed tail", [&] { bytes p = cat({tlv(34, u8(4)), tlv(14, USER), tlv(15, u8(2))}); p.insert(p.end(), {14, 0, 0, 0, 16, 1}); return p; }(),
         4, 1, "", 2, 0},
        {"empty", {}, 0, 0, "", 0, 0},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Local l;
        EXPECT_EQ(quorvane_cs_admin_ready(l.cs.get()), 0);
        l.feed(148, k.payload);
        EXPECT_EQ(quorvane_cs_admin_ready(l.cs.get()), 1);
        EXPECT_EQ(quorvane_cs_admin_status(l.cs.get()), k.status);
        quorvane_admin_entry e[QV_CS_ADMIN_ENTRIES];
        ASSERT_EQ(quorvane_cs_pending_copy(l.cs.get(), e, QV_CS_ADMIN_ENTRIES), k.count);
        if (k.count) {
            EXPECT_EQ(hex(e[0].user_id, 16), U);
            EXPECT_EQ(std::string(e[0].name), k.first_name);
            EXPECT_EQ(e[0].role, k.role);
            EXPECT_EQ(e[0].second, k.second);
        }
        quorvane_cs_admin_consume(l.cs.get());
        EXPECT_EQ(quorvane_cs_admin_ready(l.cs.get()), 0);
        EXPECT_EQ(quorvane_cs_pending_copy(l.cs.get(), e, QV_CS_ADMIN_ENTRIES), 0u);
    }
    Local l;  // 65 entries keep the first 64
    bytes many;
    for (int n = 0; n < 65; n++) many = cat({many, tlv(14, rep(uint8_t(n), 16))});
    l.feed(148, many);
    quorvane_admin_entry e[QV_CS_ADMIN_ENTRIES + 1];
    ASSERT_EQ(quorvane_cs_pending_copy(l.cs.get(), e, QV_CS_ADMIN_ENTRIES + 1), QV_CS_ADMIN_ENTRIES);
    EXPECT_EQ(e[63].user_id[0], 63);
}

// Frame 166: invites started by their token; a malformed list still answers.
TEST(CommunityFrames, Invites) {
    Local l;
    const bytes T2 = rep(0x45, 32);
    l.feed(166, cat({tlv(67, TOKEN), tlv(64, be64(0x0102030405060708ull)), tlv(65, be32(7)), tlv(66, be32(9)), tlv(14, USER),
                     tlv(64, be64(5)), tlv(67, T2), tlv(65, bytes{1, 2})}));
    quorvane_invite v[4];
    ASSERT_EQ(quorvane_cs_invites_ready(l.cs.get()), 1);
    ASSERT_EQ(quorvane_cs_invites_copy(l.cs.get(), v, 4), 2u);
    EXPECT_EQ(hex(v[0].token, 32), T);
    EXPECT_EQ(v[0].value64, 5u);  // a repeated field: the last one counts
    EXPECT_EQ(v[0].value65, 7u);
    EXPECT_EQ(v[0].value66, 9u);
    EXPECT_EQ(hex(v[0].user_id, 16), U);
    EXPECT_EQ(hex(v[1].token, 32), hex(T2));
    EXPECT_EQ(v[1].value65, 0u);
    EXPECT_EQ(quorvane_cs_invites_copy(l.cs.get(), v, 1), 1u);

    (void)quorvane_cs_invite_list(l.cs.get(), INST.data());  // the request clears the held list
    EXPECT_EQ(quorvane_cs_invites_ready(l.cs.get()), 0);
    EXPECT_EQ(quorvane_cs_invites_copy(l.cs.get(), v, 4), 0u);
    bytes cut = tlv(67, TOKEN);
    cut.resize(cut.size() - 3);
    l.feed(166, cut);  // malformed: an empty answer, but an answer
    EXPECT_EQ(quorvane_cs_invites_ready(l.cs.get()), 1);
    EXPECT_EQ(quorvane_cs_invites_copy(l.cs.get(), v, 4), 0u);
}

// Frames 152, 153 and 169 take a whole list or nothing: a malformed one
// leaves the slot as it was.
TEST(CommunityFrames, ChannelDirectory) {
    Local l;
    bytes list = cat({tlv(17, CONV), tlv(40, be32(12)), tlv_text(99, "Lobby"), tlv(40, be32(1)),  // 40 without a new id: none
                      tlv(17, CONV2), tlv(40, be32(3)), tlv_text(99, "   "),                     // a name that is not valid
                      tlv(17, USER), tlv_text(99, "late")});                                     // no count: no entry
    l.feed(152, list);
    ASSERT_EQ(quorvane_cs_channel_dir_ready(l.cs.get()), 1);
    quorvane_channel_dir_entry d[4];
    ASSERT_EQ(quorvane_cs_channel_dir_copy(l.cs.get(), d, 4), 2u);
    EXPECT_EQ(hex(d[0].channel_id, 16), C);
    EXPECT_EQ(d[0].count, 12u);
    EXPECT_STREQ(d[0].name, "Lobby");
    EXPECT_EQ(hex(d[1].channel_id, 16), C2);
    EXPECT_EQ(d[1].count, 3u);
    EXPECT_STREQ(d[1].name, "");
    bytes cut = tlv(17, USER);
    cut.pop_back();
    l.feed(152, cut);
    EXPECT_EQ(quorvane_cs_channel_dir_copy(l.cs.get(), d, 4), 2u);
    bytes many;
    for (int n = 0; n < 130; n++) many = cat({many, tlv(17, rep(uint8_t(n), 16)), tlv(40, be32(n))});
    l.feed(152, many);
    std::vector<quorvane_channel_dir_entry> all(200);
    ASSERT_EQ(quorvane_cs_channel_dir_copy(l.cs.get(), all.data(), all.size()), QV_CS_CHANNEL_DIR);
    EXPECT_EQ(all[127].count, 127u);
}

TEST(CommunityFrames, JoinRequests) {
    Local l;
    const bytes U2 = rep(0x23, 16), U3 = rep(0x24, 16), KEY = rep(0x66, 32);
    l.feed(153, cat({tlv(17, CONV), tlv(14, USER), tlv(4, KEY), tlv(14, U2), tlv(17, CONV2), tlv(92, U3), tlv(4, bytes(31, 1))}));
    ASSERT_EQ(quorvane_cs_join_reqs_ready(l.cs.get()), 1);
    uint8_t ids[4][16];
    ASSERT_EQ(quorvane_cs_join_reqs_copy(l.cs.get(), ids, 4), 1u);  // U2 never got its key
    EXPECT_EQ(hex(ids[0], 16), U);
    quorvane_member m[2];
    std::memset(m, 0xEE, sizeof m);
    ASSERT_EQ(quorvane_cs_join_reqs_copy_peers(l.cs.get(), m, 2), 1u);
    EXPECT_EQ(hex(m[0].user_id, 16), U);
    EXPECT_EQ(hex(m[0].identity, 32), hex(KEY));
    EXPECT_EQ(m[0].device_count, 0u);
    uint8_t conv[16];
    ASSERT_EQ(quorvane_cs_join_reqs_conv(l.cs.get(), conv), 1);
    EXPECT_EQ(hex(conv, 16), C);  // the first one
    EXPECT_EQ(quorvane_cs_join_reqs_is_rejoin(l.cs.get(), U3.data()), 1);
    EXPECT_EQ(quorvane_cs_join_reqs_is_rejoin(l.cs.get(), USER.data()), 0);

    bytes cut = cat({tlv(14, U2), tlv(4, KEY)});
    cut.pop_back();
    l.feed(153, cut);  // malformed: the held list stays
    ASSERT_EQ(quorvane_cs_join_reqs_copy(l.cs.get(), ids, 4), 1u);
    EXPECT_EQ(hex(ids[0], 16), U);
    l.feed(153, tlv(14, U2));  // a list without a conversation
    EXPECT_EQ(quorvane_cs_join_reqs_conv(l.cs.get(), conv), 0);
    EXPECT_EQ(quorvane_cs_join_reqs_copy(l.cs.get(), ids, 4), 0u);
    EXPECT_EQ(quorvane_cs_join_reqs_is_rejoin(l.cs.get(), U3.data()), 0);
}

TEST(CommunityFrames, InstanceMembers) {
    Local l;
    bytes list = tlv(56, INST);
    for (int n = 0; n < 258; n++) list = cat({list, tlv(72, cat({rep(uint8_t(n), 16), u8(uint8_t(n % 5))}))});
    list = cat({list, tlv(73, USER), tlv(73, bytes(15, 1)), tlv(72, bytes(16, 1))});
    for (int n = 0; n < 70; n++) list = cat({list, tlv(73, rep(uint8_t(n), 16))});
    l.feed(169, list);
    ASSERT_EQ(quorvane_cs_instance_members_ready(l.cs.get()), 1);
    std::vector<uint8_t> ids(300 * 16), roles(300);
    std::vector<uint8_t> second(100 * 16);
    size_t sn = 0;
    ASSERT_EQ(quorvane_cs_instance_members_copy(l.cs.get(), reinterpret_cast<uint8_t(*)[16]>(ids.data()), roles.data(), 300,
                                                reinterpret_cast<uint8_t(*)[16]>(second.data()), &sn, 100),
              QV_CS_INST_MEMBERS);
    const uint8_t want_roles[5] = {0, 1, 2, 0, 0};  // above 2 is kept as 0
    for (int n = 0; n < 10; n++) EXPECT_EQ(roles[n], want_roles[n % 5]) << n;
    EXPECT_EQ(ids[255 * 16], 255);
    EXPECT_EQ(sn, QV_CS_INST_SECOND);
    EXPECT_EQ(hex(second.data(), 16), U);
    // limits of the caller
    uint8_t two[2][16], r2[2];
    EXPECT_EQ(quorvane_cs_instance_members_copy(l.cs.get(), two, r2, 2, two, &sn, 1), 2u);
    EXPECT_EQ(sn, 1u);
    EXPECT_EQ(quorvane_cs_instance_members_copy(l.cs.get(), nullptr, r2, 2, nullptr, nullptr, 0), 2u);
    bytes cut = tlv(72, bytes(17, 9));
    cut.pop_back();
    l.feed(169, cut);  // malformed: the held list stays
    EXPECT_EQ(quorvane_cs_instance_members_copy(l.cs.get(), nullptr, nullptr, 300, nullptr, nullptr, 0), QV_CS_INST_MEMBERS);
}

// Frame 164: instance-directory entries, at most 32, until one does not read.
TEST(CommunityFrames, Instances) {
    struct Case {
        const char *name;
        bytes payload;
        size_t count;
    };
    auto entry = [](uint8_t n) { return cat({tlv(56, rep(n, 16)), tlv_text(57, "inst" + std::to_string(n))}); };
    bytes many;
    for (int n = 0; n < 34; n++) many = cat({many, entry(uint8_t(n))});
    const Case cases[] = {
        {"two", cat({entry(1), entry(2)}), 2},
        {"nameless second stops", cat({entry(1), tlv(56, rep(9, 16)), entry(3)}), 1},
        {"thirty-four", many, QV_CS_INSTANCES},
        {"empty", {}, 0},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Local l;
        EXPECT_EQ(quorvane_cs_instances_ready(l.cs.get()), 0);
        l.feed(164, k.payload);
        ASSERT_EQ(quorvane_cs_instances_ready(l.cs.get()), 1);
        std::vector<quorvane_instdir_entry> v(40);
        ASSERT_EQ(quorvane_cs_instances_copy(l.cs.get(), v.data(), v.size()), k.count);
        if (k.count) {
            EXPECT_EQ(v[0].instance_id[0], k.count == QV_CS_INSTANCES ? 0 : 1);
            EXPECT_STREQ(v[k.count - 1].name, ("inst" + std::to_string(v[k.count - 1].instance_id[0])).c_str());
        }
        (void)quorvane_cs_instance_list(l.cs.get());  // the request clears the held list
        EXPECT_EQ(quorvane_cs_instances_copy(l.cs.get(), v.data(), v.size()), 0u);
    }
}

// Frames 167 and 168, and the counters of 157, 163 and 165.
TEST(CommunityFrames, InstanceResultAvatarAndEpochs) {
    struct Case {
        const char *name;
        bytes payload;
        uint8_t result;
        int has, has2;
    } cases[] = {
        {"empty", {}, 1, 0, 0},
        {"all", cat({tlv(68, u8(0)), tlv(56, INST), tlv(63, CODE)}), 0, 1, 1},
        {"second only", cat({tlv(68, u8(7)), tlv(63, CODE), tlv(56, bytes(15, 1))}), 7, 0, 1},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Local l;
        l.feed(167, k.payload);
        uint8_t result = 9, id[16] = {}, id2[16] = {};
        int has = 9, has2 = 9;
        ASSERT_EQ(quorvane_cs_take_instance_result(l.cs.get(), &result, id, &has, id2, &has2), 1);
        EXPECT_EQ(result, k.result);
        EXPECT_EQ(has, k.has);
        EXPECT_EQ(has2, k.has2);
        if (k.has) { EXPECT_EQ(hex(id, 16), I); }
        if (k.has2) { EXPECT_EQ(hex(id2, 16), K); }
        EXPECT_EQ(quorvane_cs_take_instance_result(l.cs.get(), &result, id, &has, id2, &has2), 0);
    }

    Local l;
    const bytes img = rep(0x77, 1000);
    l.feed(168, cat({tlv(56, INST), tlv(25, img)}));
    l.feed(168, tlv(25, img));  // without an instance: the held image is dropped, nothing else
    uint8_t id[16];
    uint8_t *buf = nullptr;
    size_t len = 0;
    EXPECT_EQ(quorvane_cs_take_instance_avatar(l.cs.get(), id, &buf, &len), 0);
    l.feed(168, cat({tlv(56, INST), tlv(25, img)}));
    ASSERT_EQ(quorvane_cs_take_instance_avatar(l.cs.get(), id, &buf, &len), 1);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(hex(buf, len), hex(img));
    EXPECT_EQ(hex(id, 16), I);
    std::free(buf);
    EXPECT_EQ(quorvane_cs_take_instance_avatar(l.cs.get(), id, &buf, &len), 0);
    l.feed(168, cat({tlv(56, INST), tlv(25, bytes(QV_CS_AVATAR_MAX + 1, 1))}));  // too large: the id alone
    ASSERT_EQ(quorvane_cs_take_instance_avatar(l.cs.get(), id, &buf, &len), 1);
    EXPECT_EQ(buf, nullptr);
    EXPECT_EQ(len, 0u);
    l.feed(168, cat({tlv(56, INST), tlv(25, img)}));
    ASSERT_EQ(quorvane_cs_take_instance_avatar(l.cs.get(), nullptr, nullptr, nullptr), 1);  // not wanted: dropped
    EXPECT_EQ(l.cs->community.avatar_len, 0u);

    struct Epoch {
        uint8_t type;
        uint32_t (*get)(const quorvane_cs *);
    } epochs[] = {{157, quorvane_cs_roles_epoch}, {163, quorvane_cs_joins_epoch}, {165, quorvane_cs_instances_epoch}};
    for (const Epoch &e : epochs) {
        SCOPED_TRACE(int(e.type));
        uint32_t before[3];
        for (int n = 0; n < 3; n++) before[n] = epochs[n].get(l.cs.get());
        l.feed(e.type, {});
        for (int n = 0; n < 3; n++) EXPECT_EQ(epochs[n].get(l.cs.get()), before[n] + (&epochs[n] == &e ? 1 : 0));
    }
}

// Frames 155 and 156: the value is required, the conversation optional.
TEST(CommunityFrames, RetentionAndAutomaticRoles) {
    struct Case {
        const char *name;
        uint8_t type;
        bytes payload;
        int ready, has;
        uint32_t value;
    } cases[] = {
        {"retention with id", 155, cat({tlv(17, CONV), tlv(43, be32(30))}), 1, 1, 30},
        {"retention server-wide", 155, tlv(43, be32(0x01020304)), 1, 0, 0x01020304},
        {"retention id of 15 bytes", 155, cat({tlv(17, bytes(15, 1)), tlv(43, be32(2))}), 1, 0, 2},
        {"retention without value", 155, tlv(17, CONV), 0, 0, 0},
        {"retention value of 2 bytes", 155, tlv(43, bytes{0, 1}), 0, 0, 0},
        {"roles with id", 156, cat({tlv(17, CONV), tlv(44, be32(5))}), 1, 1, 5},
        {"roles without id", 156, tlv(44, be32(6)), 1, 0, 6},
        {"roles without value", 156, tlv(17, CONV), 0, 0, 0},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Local l;
        l.feed(k.type, k.payload);
        uint8_t id[16] = {};
        uint32_t value = 0;
        if (k.type == 155) {
            int has = 9;
            EXPECT_EQ(quorvane_cs_retention_ready(l.cs.get()), k.ready);
            ASSERT_EQ(quorvane_cs_retention_read(l.cs.get(), &has, id, &value), k.ready);
            if (!k.ready) continue;
            EXPECT_EQ(has, k.has);
            EXPECT_EQ(quorvane_cs_retention_ready(l.cs.get()), 0);
        } else {
            EXPECT_EQ(quorvane_cs_auto_roles_ready(l.cs.get()), k.ready);
            ASSERT_EQ(quorvane_cs_auto_roles_read(l.cs.get(), id, &value), k.ready);
            if (!k.ready) continue;
            EXPECT_EQ(quorvane_cs_auto_roles_ready(l.cs.get()), 0);
        }
        EXPECT_EQ(hex(id, 16), k.has ? C : std::string(32, '0'));
        EXPECT_EQ(value, k.value);
    }
}

// A back-fill end to end on the receive path: with a sink, the history
// envelopes (frame 170) go to it and not to the store; without one they are
// stored; frame 171 reports how many were taken either way.
struct BackfillDelivery : qvdeliver::Deliver {
    void frame(uint8_t type, const bytes &payload) {
        bytes f = frame_of(type, payload);
        handle_authed_frame(r.cs, f.data(), f.size());
    }
    void history(uint64_t pos, const std::string &t) {
        frame(170, cat({tlv(21, be64(pos)), tlv(20, from(bob_id, pos, qvdeliver::text(t)))}));
    }
    uint64_t finish(uint64_t cursor) {
        frame(171, cat({tlv(21, be64(cursor)), tlv(75, u8(1))}));
        uint8_t id[16];
        uint64_t count = 0, got_cursor = 0;
        uint8_t flag = 0;
        EXPECT_EQ(quorvane_cs_backfill_result(r.cs, id, &count, &got_cursor, &flag), 1);
        EXPECT_EQ(hex(id, 16), hex(conv, 16));
        EXPECT_EQ(got_cursor, cursor);
        EXPECT_EQ(flag, 1);
        EXPECT_EQ(quorvane_cs_backfill_inflight(r.cs), 0);
        return count;
    }
};

TEST_F(BackfillDelivery, SinkThenStore) {
    struct Sink {
        std::vector<std::string> got;
        static void take(void *ctx, const quorvane_ms_msgrec *rec) { static_cast<Sink *>(ctx)->got.push_back(qvdeliver::text_of(*rec)); }
    } sink;
    ASSERT_EQ(quorvane_cs_backfill_search(r.cs, conv, 100, 0, Sink::take, &sink), 0);
    history(7, "seven");
    history(6, "six");
    EXPECT_EQ(finish(6), 2u);
    EXPECT_EQ(sink.got, (std::vector<std::string>{"seven", "six"}));
    EXPECT_TRUE(msgs().empty());
    history(5, "after the end");  // the sink is disarmed: stored as plain history
    EXPECT_EQ(sink.got.size(), 2u);
    ASSERT_EQ(msgs().size(), 1u);

    ASSERT_EQ(quorvane_cs_backfill(r.cs, conv, 5, 0), 0);
    history(4, "four");
    history(3, "three");
    EXPECT_EQ(finish(3), 2u);
    ASSERT_EQ(msgs().size(), 3u);
    EXPECT_EQ(qvdeliver::text_of(msgs()[0]), "three");
    EXPECT_EQ(sink.got.size(), 2u);
}
