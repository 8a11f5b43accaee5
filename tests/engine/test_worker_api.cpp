// The worker's public functions for conversations, messages, backfill and
// search on a worker record without its thread: the command each mutator
// queues (kind and fields) and each refusal (no store, a full queue, null
// pointers, every limit at n and n + 1), the member lists built from the
// store, and the one-at-a-time rules of backfill and deep search.
#include "client_send.h"
#include "worker_record_support.h"

#include <functional>
#include <string>
#include <vector>

using namespace qvtest;

namespace {

const bytes G = rep(0x61, 16), PEER = rep(0xB2, 16), P2 = rep(0xB3, 16), P3 = rep(0xB4, 16), INST = rep(0x11, 16),
            DEV = rep(0x71, 32), KEY = rep(0x3C, 32);

quorvane_member member(const bytes &user, uint8_t seed) {
    quorvane_member m{};
    std::memcpy(m.user_id, user.data(), 16);
    std::memset(m.identity, seed, 32);
    m.device_count = 1;
    std::memset(m.devices[0], seed + 1, 64);
    return m;
}

// Stores a conversation with these members (their identity and one device each).
void store_members(quorvane_msgstore *ms, const bytes &conv, const std::vector<quorvane_member> &members) {
    ASSERT_EQ(quorvane_msgstore_put_conv(ms, conv.data(), KEY.data()), 0);
    const size_t n = members.size();
    std::vector<uint8_t> users(16 * n), ids(32 * n), seconds(32 * n), roles(n, 0);
    for (size_t i = 0; i < n; i++) {
        std::memcpy(&users[16 * i], members[i].user_id, 16);
        std::memcpy(&ids[32 * i], members[i].identity, 32);
        std::memcpy(&seconds[32 * i], members[i].devices[0] + 32, 32);
    }
    ASSERT_EQ(quorvane_msgstore_set_members(ms, conv.data(), reinterpret_cast<const uint8_t(*)[16]>(users.data()),
                                            reinterpret_cast<const uint8_t(*)[32]>(ids.data()),
                                            reinterpret_cast<const uint8_t(*)[32]>(seconds.data()), roles.data(), n),
              0);
    for (const quorvane_member &m : members) {
        const auto *first = reinterpret_cast<const uint8_t(*)[32]>(m.devices[0]);
        const auto *second = reinterpret_cast<const uint8_t(*)[32]>(m.devices[0] + 32);
        ASSERT_EQ(quorvane_msgstore_set_member_devices(ms, conv.data(), m.user_id, first, second, 1), 0);
    }
}

bytes b16(const uint8_t *p) { return bytes(p, p + 16); }

struct Row {
    const char *name;
    std::function<int(quorvane_worker *)> call;
    int32_t kind;                                    // -1: refused
    std::function<void(const quorvane_wcmd &)> check;
};

}  // namespace

// Every mutator queues one command of its kind carrying what the call gave.
TEST(WorkerApiTable, EachMutatorQueuesItsCommand) {
    Local l;
    Wk wk(l.ms, &l.keys.k);
    const quorvane_member pm = member(PEER, 0x40);
    store_members(l.ms, G, {member(OWN, 0x20), pm, member(P2, 0x50)});
    const uint8_t *g = G.data();
    auto own_first = [&](const quorvane_wcmd &c) {
        ASSERT_GE(c.member_count, 1u);
        EXPECT_EQ(b16(c.members[0].user_id), OWN);
        EXPECT_EQ(bytes(c.members[0].identity, c.members[0].identity + 32), b(l.keys.k.identity_pub, 32));
    };
    const Row rows[] = {
        {"create channel", [&](quorvane_worker *w) { return quorvane_worker_create_channel(w, g, KEY.data(), 3, &pm, 1, INST.data()); }, 15,
         [&](const quorvane_wcmd &c) {
             own_first(c);
             EXPECT_EQ(c.member_count, 2u);
             EXPECT_EQ(std::memcmp(&c.members[1], &pm, sizeof pm), 0);
             EXPECT_EQ(bytes(c.key, c.key + 32), KEY);
             EXPECT_EQ(c.small, 3);
             EXPECT_EQ(c.has_opt_id, 1);
             EXPECT_EQ(b16(c.opt_id), INST);
         }},
        {"create channel, no instance", [&](quorvane_worker *w) { return quorvane_worker_create_channel(w, g, KEY.data(), 1, nullptr, 0, nullptr); },
         15, [&](const quorvane_wcmd &c) {
             EXPECT_EQ(c.member_count, 1u);
             EXPECT_EQ(c.has_opt_id, 0);
         }},
        {"rekey", [&](quorvane_worker *w) { return quorvane_worker_group_rekey(w, g, &pm, 1); }, 10,
         [&](const quorvane_wcmd &c) {
             own_first(c);
             EXPECT_EQ(c.member_count, 2u);
             EXPECT_FALSE(zero(c.key, 32));  // a fresh key, not the stored one
             EXPECT_NE(bytes(c.key, c.key + 32), KEY);
         }},
        {"remove", [&](quorvane_worker *w) { return quorvane_worker_group_remove(w, g, P2.data()); }, 10,
         [&](const quorvane_wcmd &c) {
             own_first(c);
             ASSERT_EQ(c.member_count, 2u);  // we, and the peer who stays
             EXPECT_EQ(b16(c.members[1].user_id), PEER);
             EXPECT_EQ(c.members[1].device_count, 1u);
             EXPECT_EQ(bytes(c.members[1].devices[0], c.members[1].devices[0] + 64), rep(0x41, 64));
         }},
        {"add", [&](quorvane_worker *w) {
             const quorvane_member nm = member(P3, 0x60);
             return quorvane_worker_group_add(w, g, &nm);
         }, 32,
         [&](const quorvane_wcmd &c) {
             own_first(c);
             ASSERT_EQ(c.member_count, 4u);  // we, the two stored, the new one last
             EXPECT_EQ(b16(c.members[1].user_id), PEER);
             EXPECT_EQ(b16(c.members[2].user_id), P2);
             EXPECT_EQ(b16(c.members[3].user_id), P3);
         }},
        {"rekey excluding a device", [&](quorvane_worker *w) { return quorvane_worker_group_rekey_exclude(w, g, &pm, 1, DEV.data()); }, 36,
         [&](const quorvane_wcmd &c) {
             ASSERT_EQ(c.member_count, 1u);  // no own member added
             EXPECT_EQ(std::memcmp(&c.members[0], &pm, sizeof pm), 0);
             EXPECT_EQ(bytes(c.ref, c.ref + 32), DEV);
         }},
        {"leave", [&](quorvane_worker *w) { return quorvane_worker_group_leave(w, g); }, 12,
         [&](const quorvane_wcmd &c) {
             ASSERT_EQ(c.member_count, 2u);  // those who stay, without us
             EXPECT_EQ(b16(c.members[0].user_id), PEER);
             EXPECT_EQ(b16(c.members[1].user_id), P2);
             EXPECT_FALSE(zero(c.key, 32));
         }},
        {"dm reset", [&](quorvane_worker *w) { return quorvane_worker_dm_reset(w, g); }, 56,
         [&](const quorvane_wcmd &c) { EXPECT_EQ(b16(c.conv), G); }},
        {"text", [&](quorvane_worker *w) { return quorvane_worker_send_text(w, g, "hello"); }, 2,
         [&](const quorvane_wcmd &c) { EXPECT_STREQ(c.text, "hello"); }},
        {"system", [&](quorvane_worker *w) { return quorvane_worker_send_system(w, g, "joined"); }, 11,
         [&](const quorvane_wcmd &c) { EXPECT_STREQ(c.text, "joined"); }},
        {"sticker", [&](quorvane_worker *w) { return quorvane_worker_send_sticker(w, g, "cat_1", 7); }, 61,
         [&](const quorvane_wcmd &c) {
             EXPECT_STREQ(c.text, "cat_1");
             EXPECT_EQ(c.value32, 7u);
         }},
        {"reply", [&](quorvane_worker *w) { return quorvane_worker_send_reply(w, g, PEER.data(), 9, "re"); }, 22,
         [&](const quorvane_wcmd &c) {
             EXPECT_EQ(b16(c.id), PEER);
             EXPECT_EQ(c.value, 9u);
             EXPECT_STREQ(c.text, "re");
         }},
        {"edit", [&](quorvane_worker *w) { return quorvane_worker_send_edit(w, g, DEV.data(), 10, "fixed"); }, 23,
         [&](const quorvane_wcmd &c) {
             EXPECT_EQ(bytes(c.ref, c.ref + 32), DEV);
             EXPECT_TRUE(zero(c.ref + 32, 32));
             EXPECT_EQ(c.value, 10u);
             EXPECT_STREQ(c.text, "fixed");
         }},
        {"delete", [&](quorvane_worker *w) { return quorvane_worker_delete_message(w, g, PEER.data(), nullptr, 11); }, 20,
         [&](const quorvane_wcmd &c) {
             EXPECT_EQ(b16(c.id), PEER);
             EXPECT_TRUE(zero(c.ref, 64));
             EXPECT_EQ(c.value, 11u);
         }},
        {"react", [&](quorvane_worker *w) { return quorvane_worker_react(w, g, PEER.data(), DEV.data(), 12, "thumbs_up", 5); }, 21,
         [&](const quorvane_wcmd &c) {
             EXPECT_EQ(b16(c.id), PEER);
             EXPECT_EQ(bytes(c.ref, c.ref + 32), DEV);
             EXPECT_EQ(c.value, 12u);
             EXPECT_STREQ(c.text, "thumbs_up");
             EXPECT_EQ(c.flag, 1);  // kept as 0 or 1
         }},
        {"unreact", [&](quorvane_worker *w) { return quorvane_worker_react(w, g, PEER.data(), nullptr, 12, "x", 0); }, 21,
         [&](const quorvane_wcmd &c) { EXPECT_EQ(c.flag, 0); }},
        {"moderate", [&](quorvane_worker *w) { return quorvane_worker_mod_action(w, g, PEER.data(), 4); }, 24,
         [&](const quorvane_wcmd &c) {
             EXPECT_EQ(b16(c.id), PEER);
             EXPECT_EQ(c.flag, 4);
         }},
        {"channel role", [&](quorvane_worker *w) { return quorvane_worker_set_channel_role(w, g, PEER.data(), 2); }, 26,
         [&](const quorvane_wcmd &c) {
             EXPECT_EQ(b16(c.id), PEER);
             EXPECT_EQ(c.flag, 2);
         }},
        {"purge", [&](quorvane_worker *w) { return quorvane_worker_purge_messages(w, g, PEER.data(), 0x1122334455ull); }, 27,
         [&](const quorvane_wcmd &c) {
             EXPECT_EQ(b16(c.id), PEER);
             EXPECT_EQ(c.value, 0x1122334455ull);
         }},
        {"delete channel", [&](quorvane_worker *w) { return quorvane_worker_delete_channel(w, g); }, 25,
         [&](const quorvane_wcmd &c) { EXPECT_EQ(b16(c.conv), G); }},
        {"sync", [&](quorvane_worker *w) { return quorvane_worker_sync(w); }, 3, nullptr},
        {"backfill", [&](quorvane_worker *w) { return quorvane_worker_backfill(w, g); }, 49,
         [&](const quorvane_wcmd &c) {
             EXPECT_EQ(b16(c.conv), G);
             EXPECT_EQ(c.value, quorvane_msgstore_oldest_cursor(l.ms, g));
         }},
        {"deep search", [&](quorvane_worker *w) { return quorvane_worker_deep_search(w, "needle", 1); }, 50, nullptr},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        const size_t before = wk.queued();
        ASSERT_EQ(r.call(wk.w), 0);
        ASSERT_EQ(wk.queued(), before + 1);
        const quorvane_wcmd &c = *wk.tail();
        EXPECT_EQ(c.kind, r.kind);
        if (r.kind != 3 && r.kind != 50) {
            EXPECT_EQ(b16(c.conv), G);
        }
        if (r.check) r.check(c);
    }
}

// Each mutator refused: no store, a full queue, a null worker or pointer, and
// each limit one past what it takes (the limit itself passes).
TEST(WorkerApiTable, Refusals) {
    Local l;
    Wk wk(l.ms, &l.keys.k);
    Wk none(nullptr, &l.keys.k);
    store_members(l.ms, G, {member(OWN, 0x20), member(PEER, 0x40)});
    const uint8_t *g = G.data();
    const quorvane_member pm = member(PEER, 0x40);
    std::vector<quorvane_member> many(QV_MS_MEMBER_MAX + 1, pm);
    const std::string text_max(QV_SEND_TEXT_MAX, 't'), text_over(QV_SEND_TEXT_MAX + 1, 't');
    const std::string sticker_max(QV_MSG_NAME_MAX, 's'), sticker_over(QV_MSG_NAME_MAX + 1, 's');

    // calls that pass on a worker with a store and room
    const std::vector<std::pair<const char *, std::function<int(quorvane_worker *)>>> passing = {
        {"create channel", [&](quorvane_worker *w) { return quorvane_worker_create_channel(w, g, KEY.data(), 255, &pm, 1, nullptr); }},
        {"rekey 63", [&](quorvane_worker *w) { return quorvane_worker_group_rekey(w, g, many.data(), QV_MS_MEMBER_MAX - 1); }},
        {"remove", [&](quorvane_worker *w) { return quorvane_worker_group_remove(w, g, P3.data()); }},
        {"add", [&](quorvane_worker *w) { return quorvane_worker_group_add(w, g, &pm); }},
        {"exclude 64", [&](quorvane_worker *w) { return quorvane_worker_group_rekey_exclude(w, g, many.data(), QV_MS_MEMBER_MAX, DEV.data()); }},
        {"leave", [&](quorvane_worker *w) { return quorvane_worker_group_leave(w, g); }},
        {"dm reset", [&](quorvane_worker *w) { return quorvane_worker_dm_reset(w, g); }},
        {"text 4096", [&](quorvane_worker *w) { return quorvane_worker_send_text(w, g, text_max.c_str()); }},
        {"system 4096", [&](quorvane_worker *w) { return quorvane_worker_send_system(w, g, text_max.c_str()); }},
        {"sticker 32", [&](quorvane_worker *w) { return quorvane_worker_send_sticker(w, g, sticker_max.c_str(), 0); }},
        {"reply", [&](quorvane_worker *w) { return quorvane_worker_send_reply(w, g, PEER.data(), 1, "r"); }},
        {"edit", [&](quorvane_worker *w) { return quorvane_worker_send_edit(w, g, nullptr, 1, "e"); }},
        {"delete", [&](quorvane_worker *w) { return quorvane_worker_delete_message(w, g, PEER.data(), nullptr, 1); }},
        {"react", [&](quorvane_worker *w) { return quorvane_worker_react(w, g, PEER.data(), nullptr, 1, "a", 1); }},
        {"moderate", [&](quorvane_worker *w) { return quorvane_worker_mod_action(w, g, PEER.data(), 1); }},
        {"role", [&](quorvane_worker *w) { return quorvane_worker_set_channel_role(w, g, PEER.data(), 1); }},
        {"purge", [&](quorvane_worker *w) { return quorvane_worker_purge_messages(w, g, PEER.data(), 1); }},
        {"delete channel", [&](quorvane_worker *w) { return quorvane_worker_delete_channel(w, g); }},
        {"sync", [&](quorvane_worker *w) { return quorvane_worker_sync(w); }},
    };
    // no store, no worker: each refused and nothing queued
    for (const auto &[name, call] : passing) {
        SCOPED_TRACE(name);
        EXPECT_EQ(call(none.w), -1);
        EXPECT_EQ(call(nullptr), -1);
    }
    EXPECT_EQ(none.queued(), 0u);
    // with room each passes; with 256 waiting each is refused
    for (const auto &[name, call] : passing) {
        SCOPED_TRACE(name);
        EXPECT_EQ(call(wk.w), 0);
    }
    while (wk.queued() < QV_WCMD_QUEUE_MAX) ASSERT_EQ(quorvane_worker_sync(wk.w), 0);
    for (const auto &[name, call] : passing) {
        SCOPED_TRACE(name);
        EXPECT_EQ(call(wk.w), -1);
    }
    EXPECT_EQ(wk.queued(), QV_WCMD_QUEUE_MAX);
    cmd_queue_flush(wk.w);

    // null pointers and limits one past
    const std::vector<std::pair<const char *, std::function<int(quorvane_worker *)>>> refused = {
        {"channel kind 256", [&](quorvane_worker *w) { return quorvane_worker_create_channel(w, g, KEY.data(), 256, &pm, 1, nullptr); }},
        {"channel no key", [&](quorvane_worker *w) { return quorvane_worker_create_channel(w, g, nullptr, 1, &pm, 1, nullptr); }},
        {"channel no members", [&](quorvane_worker *w) { return quorvane_worker_create_channel(w, g, KEY.data(), 1, nullptr, 1, nullptr); }},
        {"rekey 64", [&](quorvane_worker *w) { return quorvane_worker_group_rekey(w, g, many.data(), QV_MS_MEMBER_MAX); }},
        {"rekey no conv", [&](quorvane_worker *w) { return quorvane_worker_group_rekey(w, nullptr, &pm, 1); }},
        {"remove no user", [&](quorvane_worker *w) { return quorvane_worker_group_remove(w, g, nullptr); }},
        {"remove the only peer", [&](quorvane_worker *w) { return quorvane_worker_group_remove(w, g, PEER.data()); }},
        {"add no member", [&](quorvane_worker *w) { return quorvane_worker_group_add(w, g, nullptr); }},
        {"add to a conversation without members", [&](quorvane_worker *w) { return quorvane_worker_group_add(w, P3.data(), &pm); }},
        {"exclude 65", [&](quorvane_worker *w) { return quorvane_worker_group_rekey_exclude(w, g, many.data(), QV_MS_MEMBER_MAX + 1, DEV.data()); }},
        {"exclude 0", [&](quorvane_worker *w) { return quorvane_worker_group_rekey_exclude(w, g, many.data(), 0, DEV.data()); }},
        {"exclude no device", [&](quorvane_worker *w) { return quorvane_worker_group_rekey_exclude(w, g, &pm, 1, nullptr); }},
        {"leave no conv", [&](quorvane_worker *w) { return quorvane_worker_group_leave(w, nullptr); }},
        {"dm reset no conv", [&](quorvane_worker *w) { return quorvane_worker_dm_reset(w, nullptr); }},
        {"text 4097", [&](quorvane_worker *w) { return quorvane_worker_send_text(w, g, text_over.c_str()); }},
        {"text empty", [&](quorvane_worker *w) { return quorvane_worker_send_text(w, g, ""); }},
        {"system 4097", [&](quorvane_worker *w) { return quorvane_worker_send_system(w, g, text_over.c_str()); }},
        {"sticker 33", [&](quorvane_worker *w) { return quorvane_worker_send_sticker(w, g, sticker_over.c_str(), 0); }},
        {"sticker empty", [&](quorvane_worker *w) { return quorvane_worker_send_sticker(w, g, "", 0); }},
        {"sticker null", [&](quorvane_worker *w) { return quorvane_worker_send_sticker(w, g, nullptr, 0); }},
        {"reply null text", [&](quorvane_worker *w) { return quorvane_worker_send_reply(w, g, PEER.data(), 1, nullptr); }},
        {"edit no conv", [&](quorvane_worker *w) { return quorvane_worker_send_edit(w, nullptr, nullptr, 1, "e"); }},
        {"delete no conv", [&](quorvane_worker *w) { return quorvane_worker_delete_message(w, nullptr, PEER.data(), nullptr, 1); }},
        {"react no name", [&](quorvane_worker *w) { return quorvane_worker_react(w, g, PEER.data(), nullptr, 1, nullptr, 1); }},
        {"moderate no user", [&](quorvane_worker *w) { return quorvane_worker_mod_action(w, g, nullptr, 1); }},
        {"role no user", [&](quorvane_worker *w) { return quorvane_worker_set_channel_role(w, g, nullptr, 1); }},
        {"purge no user", [&](quorvane_worker *w) { return quorvane_worker_purge_messages(w, g, nullptr, 1); }},
        {"delete channel no conv", [&](quorvane_worker *w) { return quorvane_worker_delete_channel(w, nullptr); }},
        {"backfill no conv", [&](quorvane_worker *w) { return quorvane_worker_backfill(w, nullptr); }},
        {"search empty", [&](quorvane_worker *w) { return quorvane_worker_deep_search(w, "", 1); }},
        {"search null", [&](quorvane_worker *w) { return quorvane_worker_deep_search(w, nullptr, 1); }},
    };
    for (const auto &[name, call] : refused) {
        SCOPED_TRACE(name);
        EXPECT_EQ(call(wk.w), -1);
    }
    EXPECT_EQ(wk.queued(), 0u);

    // creating, rekeying and adding need the own member: not while reconnecting
    wk.w->status.code = QV_WS_RETRYING;
    EXPECT_EQ(quorvane_worker_create_channel(wk.w, g, KEY.data(), 1, &pm, 1, nullptr), -1);
    EXPECT_EQ(quorvane_worker_group_rekey(wk.w, g, &pm, 1), -1);
    EXPECT_EQ(quorvane_worker_group_add(wk.w, g, &pm), -1);
    EXPECT_EQ(wk.queued(), 0u);
}

// Leaving the last place: no one stays, so the command carries no key and
// no list; a conversation whose other member goes leaves nobody to rekey.
TEST(WorkerApiTable, LeaveAlone) {
    Local l;
    Wk wk(l.ms, &l.keys.k);
    store_members(l.ms, G, {member(OWN, 0x20)});
    ASSERT_EQ(quorvane_worker_group_leave(wk.w, G.data()), 0);
    EXPECT_EQ(wk.tail()->kind, 12);
    EXPECT_EQ(wk.tail()->member_count, 0u);
    EXPECT_EQ(wk.tail()->members, nullptr);
    EXPECT_TRUE(zero(wk.tail()->key, 32));
}

// A backfill runs one at a time, and not while a search page is out; its
// state reads per conversation; a command that cannot be queued takes the
// running mark back.
TEST(WorkerApiTable, BackfillOneAtATime) {
    Local l;
    Wk wk(l.ms, &l.keys.k);
    ASSERT_EQ(quorvane_msgstore_put_conv(l.ms, G.data(), KEY.data()), 0);
    int running = -1, complete = -1;
    uint64_t count = 99;
    ASSERT_EQ(quorvane_worker_backfill(wk.w, G.data()), 0);
    EXPECT_EQ(quorvane_worker_backfill(wk.w, G.data()), -1);
    EXPECT_EQ(quorvane_worker_backfill(wk.w, PEER.data()), -1);
    ASSERT_EQ(quorvane_worker_backfill_state(wk.w, G.data(), &running, &complete, &count), 0);
    EXPECT_EQ(running, 1);
    EXPECT_EQ(complete, 0);
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(quorvane_worker_backfill_state(wk.w, PEER.data(), &running, &complete, &count), 0);
    EXPECT_EQ(running, 0);  // the running one is another conversation's
    EXPECT_EQ(quorvane_worker_backfill_state(nullptr, G.data(), &running, &complete, &count), -1);

    wk.w->backfill_running = 0;
    wk.w->deep_page_inflight = 1;
    EXPECT_EQ(quorvane_worker_backfill(wk.w, G.data()), -1);
    wk.w->deep_page_inflight = 0;

    while (wk.queued() < QV_WCMD_QUEUE_MAX) ASSERT_EQ(quorvane_worker_sync(wk.w), 0);
    EXPECT_EQ(quorvane_worker_backfill(wk.w, G.data()), -1);
    ASSERT_EQ(quorvane_worker_backfill_state(wk.w, G.data(), &running, nullptr, nullptr), 0);
    EXPECT_EQ(running, 0);
}

// A search runs one at a time; a cancelled one stops at once and keeps what
// it found readable; its state and status text read without a session.
TEST(WorkerApiTable, DeepSearchRules) {
    Local l;
    Wk wk(l.ms, &l.keys.k);
    int running = -1;
    uint64_t total = 9, revision = 0;
    EXPECT_EQ(quorvane_worker_deep_state(wk.w, &running, nullptr, nullptr, nullptr, nullptr, &total, &revision, nullptr), 0);
    EXPECT_EQ(running, 0);
    EXPECT_EQ(total, 0u);
    char text[64] = "x";
    EXPECT_STREQ(quorvane_worker_deep_status_text(wk.w, text, sizeof text), "");

    ASSERT_EQ(quorvane_worker_deep_search(wk.w, "needle", 1), 0);
    EXPECT_EQ(quorvane_worker_deep_search(wk.w, "other", 1), -1);
    ASSERT_EQ(quorvane_worker_deep_state(wk.w, &running, nullptr, nullptr, nullptr, nullptr, &total, &revision, nullptr), 1);
    EXPECT_EQ(running, 1);
    const uint64_t rev_running = revision;

    quorvane_ms_msgrec hit{};
    std::memcpy(hit.conv_id, G.data(), 16);
    std::memcpy(hit.author, PEER.data(), 16);
    hit.msg_id = 5;
    hit.time = 1000;
    hit.type = QV_MS_TYPE_TEXT;
    const char body[] = "a needle in it";
    hit.text_len = sizeof body - 1;
    std::memcpy(hit.text, body, hit.text_len);
    quorvane_deep_offer(wk.w->deep, &hit);

    quorvane_worker_deep_cancel(wk.w);
    int reason = 0;
    ASSERT_EQ(quorvane_worker_deep_state(wk.w, &running, nullptr, nullptr, nullptr, nullptr, nullptr, &revision, &reason), 1);
    EXPECT_EQ(running, 0);
    EXPECT_GT(revision, rev_running);
    quorvane_search_hit hits[4];
    ASSERT_EQ(quorvane_worker_deep_results(wk.w, hits, 4), 1u);
    EXPECT_EQ(hits[0].msg_id, 5u);
    EXPECT_STRNE(quorvane_worker_deep_status_text(wk.w, text, sizeof text), "");
    // and a new one may start
    EXPECT_EQ(quorvane_worker_deep_search(wk.w, "again", 1), 0);
    // nothing for a null worker
    EXPECT_EQ(quorvane_worker_deep_results(nullptr, hits, 4), 0u);
    EXPECT_EQ(quorvane_worker_deep_state(nullptr, &running, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
}

// Readers of stored reactions and avatars, and their answers without a store.
TEST(WorkerApiTable, Readers) {
    Local l;
    Wk wk(l.ms, &l.keys.k);
    Wk none(nullptr, &l.keys.k);
    ASSERT_EQ(quorvane_msgstore_put_conv(l.ms, G.data(), KEY.data()), 0);
    quorvane_ms_msgrec m{};
    std::memcpy(m.conv_id, G.data(), 16);
    std::memcpy(m.author, PEER.data(), 16);
    m.msg_id = 3;
    m.time = 1;
    m.type = QV_MS_TYPE_TEXT;
    m.text_len = 1;
    m.text[0] = 'x';
    ASSERT_EQ(quorvane_msgstore_add_msg(l.ms, &m), 1);
    ASSERT_EQ(quorvane_msgstore_set_reaction(l.ms, G.data(), PEER.data(), nullptr, 3, OWN.data(), "ok", 1), 0);
    ASSERT_EQ(quorvane_msgstore_set_reaction(l.ms, G.data(), PEER.data(), nullptr, 3, P2.data(), "ok", 1), 0);
    quorvane_ms_reaction_count rc[4];
    ASSERT_EQ(quorvane_worker_reactions(wk.w, G.data(), &m, rc, 4), 1u);
    EXPECT_STREQ(rc[0].name, "ok");
    EXPECT_EQ(rc[0].count, 2u);
    EXPECT_EQ(rc[0].mine, 1u);
    EXPECT_EQ(quorvane_worker_reactions(wk.w, G.data(), &m, rc, 0), 0u);
    EXPECT_EQ(quorvane_worker_reactions(none.w, G.data(), &m, rc, 4), 0u);

    quorvane_file_meta av{};
    EXPECT_EQ(quorvane_worker_self_avatar(wk.w, &av), 0);
    av.blob.size = 10;
    std::strcpy(av.mime, "image/png");
    ASSERT_EQ(quorvane_msgstore_set_self_avatar(l.ms, &av), 0);
    quorvane_file_meta got{};
    EXPECT_EQ(quorvane_worker_self_avatar(wk.w, &got), 1);
    EXPECT_EQ(got.blob.size, 10u);
    EXPECT_EQ(quorvane_worker_self_avatar(none.w, &got), 0);
    EXPECT_EQ(quorvane_worker_conv_group_avatar(wk.w, G.data(), &got), 0);
    ASSERT_EQ(quorvane_msgstore_set_group_avatar(l.ms, G.data(), &av), 0);
    EXPECT_EQ(quorvane_worker_conv_group_avatar(wk.w, G.data(), &got), 1);
    EXPECT_EQ(quorvane_worker_conv_group_avatar(none.w, G.data(), &got), -1);
    EXPECT_EQ(quorvane_worker_conv_peer_avatar(none.w, G.data(), &got), -1);
    EXPECT_EQ(quorvane_worker_conv_peer_avatar(wk.w, G.data(), nullptr), -1);
}
