// The worker's command queue and command application, on a worker record put
// together by hand (no thread): queue limits, the frame each kind sends through
// a session signed in to a scripted server, the result copies, the send ring
// running full under a burst of texts, wiping, and the queueing functions' rules.
#include "client_search.h"
#include "client_send.h"
#include "dm_support.h"
#include "session_support.h"
#include "signed_in_support.h"
#include "worker_internal.h"
#include "worker_record_support.h"

#include <cstring>
#include <functional>
#include <string>

using namespace qvtest;

namespace {

const bytes PEER = rep(0xB2, 16), USER = rep(0x22, 16), INST = rep(0x11, 16), CODE = rep(0x55, 16), TOKEN = rep(0x44, 32),
            G = rep(0x61, 16), G2 = rep(0x62, 16), G3 = rep(0x63, 16), NEWC = rep(0x64, 16), CH = rep(0x65, 16),
            CHD = rep(0x66, 16), NOCONV = rep(0x67, 16), DEVX = rep(0x71, 32), DEVED = rep(0x72, 32);
const bytes KEY = rep(0x3C, 32);

quorvane_wcmd *rec(int32_t kind, const bytes &conv = {}) {
    auto *c = static_cast<quorvane_wcmd *>(std::calloc(1, sizeof(quorvane_wcmd)));
    c->kind = kind;
    if (!conv.empty()) std::memcpy(c->conv, conv.data(), 16);
    return c;
}
quorvane_wcmd *with_text(quorvane_wcmd *c, const char *t, const char *t2 = nullptr) {
    c->text = strdup(t);
    if (t2) c->text2 = strdup(t2);
    return c;
}
quorvane_wcmd *with_id(quorvane_wcmd *c, const bytes &id) {
    std::memcpy(c->id, id.data(), 16);
    return c;
}
quorvane_wcmd *with_members(quorvane_wcmd *c, std::initializer_list<quorvane_member> m) {
    c->members = static_cast<quorvane_member *>(std::calloc(m.size(), sizeof(quorvane_member)));
    size_t i = 0;
    for (const quorvane_member &x : m) c->members[i++] = x;
    c->member_count = m.size();
    return c;
}

quorvane_member member_of(const bytes &user, const quorvane_device_keys &k) {
    quorvane_member m{};
    std::memcpy(m.user_id, user.data(), 16);
    std::memcpy(m.identity, k.identity_pub, 32);
    m.device_count = 1;
    std::memcpy(m.devices[0], k.device_x25519_pub, 32);
    std::memcpy(m.devices[0] + 32, k.device_ed25519_pub, 32);
    return m;
}

bool contains(const bytes &hay, const bytes &needle) {
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

// The values of every TLV with this tag in a frame's body.
std::vector<bytes> tlvs(const bytes &f, uint8_t tag) {
    std::vector<bytes> out;
    for (size_t p = 8; p + 5 <= f.size();) {
        const size_t len = (size_t(f[p + 1]) << 24) | (size_t(f[p + 2]) << 16) | (size_t(f[p + 3]) << 8) | f[p + 4];
        if (p + 5 + len > f.size()) break;
        if (f[p] == tag) out.emplace_back(f.begin() + p + 5, f.begin() + p + 5 + len);
        p += 5 + len;
    }
    return out;
}

// Frames a session without a live connection has queued, oldest first.
std::vector<bytes> ring_frames(quorvane_cs *cs) {
    std::vector<bytes> out;
    const quorvane_cnet *c = cs->cnet;
    for (uint64_t i = 0; i < c->send_count; i++) {
        const quorvane_cnet_out &e = c->send_ring[(c->send_head + i) % QV_CNET_RING];
        out.emplace_back(e.buf, e.buf + e.len);
    }
    return out;
}

quorvane_ms_msgrec msg_by(const bytes &conv, const bytes &author, uint64_t id, const char *text) {
    quorvane_ms_msgrec m{};
    std::memcpy(m.conv_id, conv.data(), 16);
    std::memcpy(m.author, author.data(), 16);
    m.msg_id = id;
    m.time = 1;
    m.type = QV_MS_TYPE_TEXT;
    m.text_len = std::strlen(text);
    std::memcpy(m.text, text, m.text_len);
    return m;
}

// Applies and pumps until the queue is empty, the way the connected run does.
void drain(Wk &wk, Remote &r) {
    EXPECT_TRUE(wait_until(
        [&] {
            wk.apply(r.cs.get());
            quorvane_cs_pump(r.cs.get());
            return wk.queued() == 0;
        },
        kWaitMs));
}

bytes id_of(int i) {
    bytes b = rep(0xE0, 16);
    b[15] = static_cast<uint8_t>(i);
    return b;
}

size_t count_type(const std::vector<bytes> &frames, uint8_t type) {
    size_t n = 0;
    for (const bytes &f : frames) n += f.size() >= 8 && f[3] == type;
    return n;
}

}  // namespace

// The 257th record is refused and freed (the sanitizers see no leak), one pass
// makes room again, and nothing is accepted without a store.
TEST(WorkerQueue, LimitsAndStore) {
    Local l;
    Wk wk(l.ms, &l.keys.k);
    for (size_t i = 0; i < QV_WCMD_QUEUE_MAX; i++) ASSERT_EQ(cmd_enqueue(wk.w, with_text(rec(57), "held")), 0) << i;
    EXPECT_EQ(cmd_enqueue(wk.w, with_text(rec(57), "refused")), -1);
    EXPECT_EQ(quorvane_worker_sync(wk.w), -1);
    EXPECT_EQ(wk.queued(), QV_WCMD_QUEUE_MAX);
    wk.apply(l.cs.get());
    EXPECT_EQ(wk.queued(), 0u);
    EXPECT_EQ(wk.w->cmd_head, nullptr);
    EXPECT_EQ(wk.w->cmd_tail, nullptr);
    EXPECT_EQ(quorvane_worker_sync(wk.w), 0);
    EXPECT_EQ(wk.queued(), 1u);

    Wk none(nullptr, &l.keys.k);
    EXPECT_EQ(cmd_enqueue(none.w, with_text(rec(2, G), "no store")), -1);
    EXPECT_EQ(quorvane_worker_send_text(none.w, G.data(), "no store"), -1);
    EXPECT_EQ(none.queued(), 0u);
    EXPECT_EQ(cmd_enqueue(nullptr, with_text(rec(2, G), "no worker")), -1);
    EXPECT_EQ(quorvane_worker_sync(nullptr), -1);
}

// Coming back on-line wakes the worker from whatever nap it is in (the
// network wait's 500 ms one included); staying on-line or going off-line
// does not.
TEST(WorkerQueue, GoingOnlineWakesTheWorker) {
    Wk wk(nullptr, nullptr);
    struct Step {
        int online, offline, woken;
    } const steps[] = {{1, 0, 0}, {0, 1, 0}, {0, 1, 0}, {1, 0, 1}, {1, 0, 0}};
    for (size_t i = 0; i < std::size(steps); i++) {
        wk.w->wake = 0;
        quorvane_worker_set_online(wk.w, steps[i].online);
        EXPECT_EQ(quorvane_worker_offline(wk.w), steps[i].offline) << i;
        EXPECT_EQ(wk.w->wake, steps[i].woken) << i;
    }
}

// Every kind, queued at once and applied in order: the frame it sends (type
// and an identifying field), or its local effect; kinds past 61 are skipped.
TEST(WorkerApply, EveryKindInOrder) {
    Remote r;
    Keys peer;
    ASSERT_NO_FATAL_FAILURE(r.start());
    quorvane_msgstore *ms = r.ms;
    for (const bytes &c : {G, G2, G3, CHD}) ASSERT_EQ(quorvane_msgstore_put_conv(ms, c.data(), KEY.data()), 0);
    quorvane_ms_msgrec m = msg_by(G, PEER, 7, "hi");
    ASSERT_EQ(quorvane_msgstore_add_msg(ms, &m), 1);
    m = msg_by(G, OWN, 900, "mine");
    ASSERT_EQ(quorvane_msgstore_add_msg(ms, &m), 1);
    ASSERT_EQ(quorvane_msgstore_set_self_profile(ms, "me", ""), 0);
    Wk wk(ms, &r.keys.k);
    const quorvane_member pm = member_of(PEER, peer.k);
    quorvane_member own{};
    std::memcpy(own.user_id, OWN.data(), 16);

    struct Row {
        const char *name;
        quorvane_wcmd *c;
        int type;                   // frame type, or -1 for none
        std::vector<bytes> needles; // each inside the frame
    };
    auto k = [](quorvane_wcmd *c, const bytes &key) { std::memcpy(c->key, key.data(), 32); return c; };
    auto ref = [](quorvane_wcmd *c, const bytes &v) { std::memcpy(c->ref, v.data(), v.size()); return c; };
    auto val = [](quorvane_wcmd *c, uint64_t v, uint32_t v32 = 0, uint8_t flag = 0) {
        c->value = v;
        c->value32 = v32;
        c->flag = flag;
        return c;
    };
    quorvane_wcmd *k0 = rec(0);
    std::strcpy(k0->name, "bob");
    quorvane_wcmd *k38 = with_id(rec(38), USER);
    k38->list = static_cast<uint8_t(*)[16]>(std::calloc(1, 16));
    k38->list_count = 1;
    const std::vector<Row> table = {
        {"0 prekeys", k0, 6, {tlv(1, bytes{'b', 'o', 'b'})}},
        {"1 create", with_members(k(rec(1, NEWC), KEY), {member_of(OWN, r.keys.k), pm}), 24, {NEWC}},
        {"2 text", with_text(rec(2, G), "hello"), 7, {G}},
        {"3 sync", rec(3), 8, {}},
        {"4 label", with_text(rec(4, G), "lab"), -1, {}},
        {"5 peer", k(with_id(rec(5, G3), PEER), KEY), -1, {}},
        {"6 typing", rec(6, G), 13, {tlv(17, G)}},
        {"7 read", rec(7, G), 14, {tlv(17, G), tlv(21, be64(7))}},
        {"8 profile", rec(8, G), 7, {G}},
        {"9 group name", with_text(rec(9, G), "grp"), 7, {G}},
        {"10 rekey", with_members(k(rec(10, G2), rep(0x3D, 32)), {pm}), QV_FT_GROUP_KEY, {G2}},
        {"11 system", with_text(rec(11, G), "sys"), 7, {G}},
        {"12 leave", with_members(k(rec(12, G3), rep(0x3E, 32)), {pm}), QV_FT_GROUP_KEY, {G3}},
        {"13 channel list", rec(13), 30, {}},
        {"14 join", rec(14, G), 31, {tlv(17, G)}},
        {"15 channel", with_members(k(val(rec(15, CH), 0, 0), KEY), {pm}), 29, {CH}},
        {"16 pending", rec(16), 20, {}},
        {"17 approve", val(with_id(rec(17), USER), 0, 0, 1), 21, {tlv(14, USER)}},
        {"18 role", val(with_id(rec(18), USER), 0, 0, 2), 25, {tlv(14, USER)}},
        {"19 users", rec(19), 34, {}},
        {"20 delete", val(with_id(rec(20, G), OWN), 900), 7, {G}},
        {"21 react", val(with_id(with_text(rec(21, G), "ok"), PEER), 7, 0, 1), 7, {G}},
        {"22 reply", val(with_id(with_text(rec(22, G), "re"), PEER), 7), 7, {G}},
        {"23 edit", val(with_text(rec(23, G), "ed"), 900), 7, {G}},
        {"24 mod", val(with_id(rec(24, G), USER), 0, 0, 1), 27, {tlv(17, G), tlv(19, USER)}},
        {"25 delete channel", rec(25, CHD), 35, {tlv(17, CHD)}},
        {"26 channel role", val(with_id(rec(26, G), USER), 0, 0, 1), 26, {tlv(17, G), tlv(19, USER)}},
        {"27 purge", val(with_id(rec(27, G), USER), 3), 36, {tlv(17, G), tlv(19, USER)}},
        {"28 join list", rec(28, G), 32, {tlv(17, G)}},
        {"29 deny", with_id(rec(29, G), USER), 33, {tlv(17, G), tlv(14, USER)}},
        {"30 retention get", val(rec(30, G), 0, 0, 1), 37, {tlv(17, G)}},
        {"31 retention set", val(rec(31, G), 0, 30, 1), 38, {tlv(17, G)}},
        {"32 reseal", with_members(rec(32, G2), {pm}), QV_FT_GROUP_KEY, {G2}},
        {"33 auto roles", rec(33, G), 39, {tlv(17, G)}},
        {"34 auto roles set", val(rec(34, G), 0, 5), 40, {tlv(17, G)}},
        {"35 revoke", ref(rec(35), cat({DEVX, DEVED})), 42, {bytes{52, 0, 0, 0, 16}}},  // the device id the keys give,
        {"36 exclude", ref(with_members(rec(36, G2), {pm}), DEVX), QV_FT_GROUP_KEY, {G2}},
        {"37 push", with_text(rec(37), "tok"), 45, {tlv(54, bytes{'t', 'o', 'k'})}},
        {"38 mod scope", k38, 28, {USER}},
        {"39 instance join", rec(39, CODE), 47, {tlv(63, CODE)}},
        {"40 instance leave", rec(40, INST), 48, {tlv(56, INST)}},
        {"41 invite", val(rec(41, INST), 5, 6), 49, {tlv(56, INST)}},
        {"42 invites", rec(42, INST), 50, {tlv(56, INST)}},
        {"43 invite revoke", ref(rec(43, INST), TOKEN), 51, {tlv(67, TOKEN)}},
        {"44 meta", with_text(rec(44, INST), "x"), 52, {tlv(56, INST)}},
        {"45 group set", ref(rec(45, G), bytes{1, 2, 3}), 53, {tlv(69, bytes{1, 2, 3})}},
        {"46 kick", val(with_id(rec(46, INST), USER), 0, 0, 1), 54, {tlv(56, INST), tlv(14, USER)}},
        {"47 instance role", val(with_id(rec(47, INST), USER), 0, 0, 2), 55, {tlv(56, INST), tlv(14, USER)}},
        {"48 members", rec(48, INST), 57, {tlv(56, INST)}},
        {"49 backfill", rec(49, G), 59, {tlv(17, G)}},
        {"50 deep", rec(50), -1, {}},
        {"51 delete account", with_text(rec(51), "pw"), 60, {}},
        {"52 password", with_text(rec(52), "pw", "newpw"), 63, {}},
        {"53 listing", with_text(rec(53, G), "lst"), 82, {tlv(17, G)}},
        {"54 read mark", val(rec(54, G), 9), 83, {tlv(17, G), tlv(21, be64(9))}},
        {"55 prekeys by id", with_id(rec(55), USER), 6, {tlv(14, USER)}},
        {"56 reset", rec(56, G), -1, {}},
        {"57", rec(57, G), -1, {}},
        {"60", rec(60, G), -1, {}},
        {"61 sticker", val(with_text(rec(61, G), "st"), 0, 1), 7, {G}},
        {"62 skipped", with_text(rec(62, G), "x"), -1, {}},
        {"-1 skipped", rec(-1, G), -1, {}},
    };
    for (const Row &row : table) ASSERT_EQ(cmd_enqueue(wk.w, row.c), 0) << row.name;
    drain(wk, r);

    std::vector<const Row *> sending;
    for (const Row &row : table)
        if (row.type >= 0) sending.push_back(&row);
    const auto got = r.wait_frames(sending.size());
    ASSERT_EQ(got.size(), sending.size());
    for (size_t i = 0; i < sending.size(); i++) {
        SCOPED_TRACE(sending[i]->name);
        EXPECT_EQ(got[i][3], sending[i]->type);
        for (const bytes &n : sending[i]->needles) EXPECT_TRUE(contains(got[i], n)) << hex(n) << " in " << hex(got[i]);
    }
    char label[64] = {};
    EXPECT_GE(quorvane_msgstore_get_label(ms, G.data(), label, sizeof label), 0);
    EXPECT_STREQ(label, "lab");
    uint8_t peer_id[16], peer_key[32];
    EXPECT_EQ(quorvane_msgstore_get_peer(ms, G3.data(), peer_id, peer_key), -1);  // set, then the leave deleted it
    EXPECT_EQ(quorvane_msgstore_get_conv(ms, G3.data(), peer_key), 0);
    EXPECT_EQ(wk.w->for_dm, 1);     // kind 55 after kind 0
    EXPECT_EQ(wk.w->revoking, 1);
    EXPECT_EQ(bytes(wk.w->revoking_key, wk.w->revoking_key + 32), DEVX);
    ASSERT_NE(wk.w->pending_new_password, nullptr);
    EXPECT_STREQ(wk.w->pending_new_password, "newpw");
    EXPECT_EQ(wk.w->send_count, 0u);  // no send failed
}

// Kind 7 sends nothing while only our own messages are stored, then the
// highest counter of the others; kind 44 makes one tag per non-empty line.
TEST(WorkerApply, ReadReceiptAndTags) {
    Local l;
    Wk wk(l.ms, &l.keys.k);
    ASSERT_EQ(quorvane_msgstore_put_conv(l.ms, G.data(), KEY.data()), 0);
    for (uint64_t i = 1; i <= 3; i++) {
        quorvane_ms_msgrec m = msg_by(G, OWN, i, "mine");
        ASSERT_EQ(quorvane_msgstore_add_msg(l.ms, &m), 1);
    }
    ASSERT_EQ(cmd_enqueue(wk.w, rec(7, G)), 0);
    wk.apply(l.cs.get());
    EXPECT_TRUE(ring_frames(l.cs.get()).empty());

    for (auto [author, id] : {std::pair{PEER, 4}, std::pair{USER, 2}, std::pair{OWN, 9}}) {
        quorvane_ms_msgrec m = msg_by(G, author, id, "x");
        ASSERT_EQ(quorvane_msgstore_add_msg(l.ms, &m), 1);
    }
    ASSERT_EQ(cmd_enqueue(wk.w, rec(7, G)), 0);
    std::string many;
    for (int i = 0; i < 18; i++) many += (i == 1 ? std::string(60, 'y') : std::string("t").append(std::to_string(i))) + "\n";
    const struct {
        const char *text;
        std::vector<bytes> want;
    } tags[] = {
        {"a\n\nb", {bytes{0, 'a'}, bytes{1, 'b'}}},
        {"\n\n", {}},
        {nullptr, {}},
    };
    for (const auto &t : tags) ASSERT_EQ(cmd_enqueue(wk.w, t.text ? with_text(rec(44, INST), t.text) : rec(44, INST)), 0);
    ASSERT_EQ(cmd_enqueue(wk.w, with_text(rec(44, INST), many.c_str())), 0);
    wk.apply(l.cs.get());

    const auto f = ring_frames(l.cs.get());
    ASSERT_EQ(f.size(), 5u);
    EXPECT_EQ(f[0][3], 14);
    EXPECT_EQ(tlvs(f[0], 21), std::vector<bytes>{be64(4)});
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(f[1 + i][3], 52);
        EXPECT_EQ(tlvs(f[1 + i], 61), tags[i].want) << i;
    }
    const auto cut = tlvs(f[4], 61);
    ASSERT_EQ(cut.size(), QV_CS_META_TAGS);
    EXPECT_EQ(cut[1].size(), 1 + 47u);
    EXPECT_EQ(cut[15], cat({u8(15), bytes{'t', '1', '5'}}));
}

// Kinds 49, 51 and 52 report a request that could not be sent through their
// result copies; a sent password change makes text2 the pending password, and
// while one waits for its answer another is not sent: that answer would seal
// the key file under the later password, which the server never took.
TEST(WorkerApply, ResultCopies) {
    {
        Local l;
        l.cs->state = QV_CS_FAILED;  // the connection has room; every request is refused
        Wk wk(l.ms, &l.keys.k);
        ASSERT_EQ(quorvane_msgstore_put_conv(l.ms, G.data(), KEY.data()), 0);
        wk.w->backfill_running = 1;
        wk.w->backfill_revision = 4;
        wk.w->pending_new_password = strdup("older");
        for (quorvane_wcmd *c : {rec(49, G), with_text(rec(51), "pw"), with_text(rec(52), "pw", "newpw")})
            ASSERT_EQ(cmd_enqueue(wk.w, c), 0);
        wk.apply(l.cs.get());
        EXPECT_EQ(wk.queued(), 0u);
        EXPECT_EQ(wk.w->backfill_running, 0);
        EXPECT_EQ(wk.w->backfill_revision, 5u);
        EXPECT_EQ(wk.w->delete_ready, 1);
        EXPECT_EQ(wk.w->delete_code, 4);
        EXPECT_EQ(wk.w->pwchange_ready, 1);
        EXPECT_EQ(wk.w->pwchange_code, 4);
        EXPECT_STREQ(wk.w->pending_new_password, "older");
    }
    Local l;
    Wk wk(l.ms, &l.keys.k);
    ASSERT_EQ(cmd_enqueue(wk.w, with_text(rec(52), "pw", "newpw")), 0);
    ASSERT_EQ(cmd_enqueue(wk.w, with_text(rec(52), "pw", "later")), 0);
    wk.apply(l.cs.get());
    EXPECT_EQ(wk.w->pwchange_ready, 1);
    EXPECT_EQ(wk.w->pwchange_code, 4);
    EXPECT_STREQ(wk.w->pending_new_password, "newpw");
    EXPECT_EQ(count_type(ring_frames(l.cs.get()), 63), 1u);
}

// The connection's send ring nearly full when 200 texts are queued: a pass
// applies only what fits and keeps the rest, in order, until the ring drains;
// every text reaches the server and is stored in order. A send refused for
// another reason comes back as a failed send result and does not stop the rest.
TEST(WorkerApply, FullSendRingKeepsTexts) {
    uint64_t position = 0;
    Remote r(true, [&position](const bytes &f) {
        return f.size() >= 8 && f[3] == 7 ? frame_of(136, tlv(21, be64(++position))) : bytes{};
    });
    ASSERT_NO_FATAL_FAILURE(r.start());
    ASSERT_EQ(quorvane_msgstore_put_conv(r.ms, G.data(), KEY.data()), 0);
    Wk wk(r.ms, &r.keys.k);
    const size_t filler = QV_CNET_RING - 4;
    for (size_t i = 0; i < filler; i++) ASSERT_EQ(quorvane_cs_set_presence_public(r.cs.get(), 1), 0);
    ASSERT_EQ(quorvane_cs_send_room(r.cs.get()), 4u);

    constexpr int N = 200;
    ASSERT_EQ(quorvane_worker_send_text(wk.w, NOCONV.data(), "nowhere"), 0);  // no key held: refused at once
    for (int i = 0; i < N; i++) ASSERT_EQ(quorvane_worker_send_text(wk.w, G.data(), std::string("t").append(std::to_string(1000 + i)).c_str()), 0);
    wk.apply(r.cs.get());
    EXPECT_EQ(wk.queued(), size_t(N - 4));  // the failed one and four texts went; the rest waits
    EXPECT_EQ(quorvane_cs_send_room(r.cs.get()), 0u);
    pthread_mutex_lock(&wk.w->mu);
    ASSERT_EQ(wk.w->send_count, 1u);
    EXPECT_EQ(bytes(wk.w->send_ring[wk.w->send_head].conv_id, wk.w->send_ring[wk.w->send_head].conv_id + 16), NOCONV);
    EXPECT_EQ(wk.w->send_ring[wk.w->send_head].ok, 0);
    EXPECT_EQ(wk.w->cmd_failed_sends, 1u);
    pthread_mutex_unlock(&wk.w->mu);
    uint8_t conv[16];
    uint64_t counter = 9;
    int ok = 1;
    EXPECT_EQ(quorvane_worker_poll_send_result(wk.w, conv, &counter, &ok), 1);
    EXPECT_EQ(bytes(conv, conv + 16), NOCONV);
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(quorvane_worker_poll_send_result(wk.w, conv, &counter, &ok), 0);

    drain(wk, r);
    const auto got = r.wait_frames(filler + N);
    EXPECT_EQ(count_type(got, 7), size_t(N));
    EXPECT_EQ(wk.w->send_count, 0u);
    ASSERT_EQ(quorvane_msgstore_msg_count(r.ms, G.data()), size_t(N));
    quorvane_ms_msgrec m{};
    uint64_t last = 0;
    for (int i = 0; i < N; i++) {
        ASSERT_EQ(quorvane_msgstore_msg_at(r.ms, G.data(), i, &m), 0);
        EXPECT_EQ(std::string(m.text, m.text_len), std::string("t").append(std::to_string(1000 + i)));
        EXPECT_GT(m.msg_id, last);
        last = m.msg_id;
    }
}

namespace {

struct Wiped {
    int calls = 0;
    bool all_zero = true;
    size_t text_len = 0, text2_len = 0;
};
Wiped g_wiped;

void probe(const quorvane_wcmd *c, const char *text, size_t tl, const char *text2, size_t t2l) {
    g_wiped.calls++;
    g_wiped.text_len += tl;
    g_wiped.text2_len += t2l;
    g_wiped.all_zero = g_wiped.all_zero && zero(c->key, 32) && (!text || zero(text, tl)) && (!text2 || zero(text2, t2l));
}

struct ProbeOn {
    ProbeOn() {
        g_wiped = {};
        qv_wcmd_wiped_probe = probe;
    }
    ~ProbeOn() { qv_wcmd_wiped_probe = nullptr; }
};

quorvane_wcmd *secret_rec() {
    quorvane_wcmd *c = with_text(rec(52), "current-password", "next-password");
    std::memset(c->key, 0xAB, 32);
    c->members = static_cast<quorvane_member *>(std::calloc(2, sizeof(quorvane_member)));
    c->member_count = 2;
    c->list = static_cast<uint8_t(*)[16]>(std::calloc(3, 16));
    c->list_count = 3;
    return c;
}

}  // namespace

// Texts, second texts and keys are wiped before their memory goes back: on a
// plain free, on a refused enqueue, on a stop's flush; a password change that
// went out hands text2 over instead.
TEST(WorkerQueue, SecretsWiped) {
    ProbeOn on;
    wcmd_free(secret_rec());
    EXPECT_EQ(g_wiped.calls, 1);
    EXPECT_EQ(g_wiped.text_len, 16u);
    EXPECT_EQ(g_wiped.text2_len, 13u);
    EXPECT_TRUE(g_wiped.all_zero);

    Local l;
    {
        Wk wk(l.ms, &l.keys.k);
        g_wiped = {};
        for (int i = 0; i < 3; i++) ASSERT_EQ(cmd_enqueue(wk.w, secret_rec()), 0);
        wk.w->cmd_count = QV_WCMD_QUEUE_MAX;  // full: the next one is refused
        EXPECT_EQ(cmd_enqueue(wk.w, secret_rec()), -1);
        EXPECT_EQ(g_wiped.calls, 1);
        cmd_queue_flush(wk.w);
        EXPECT_EQ(g_wiped.calls, 4);
        EXPECT_EQ(g_wiped.text2_len, 4 * 13u);
        EXPECT_TRUE(g_wiped.all_zero);
        EXPECT_EQ(wk.w->cmd_count, 0u);
        EXPECT_EQ(wk.w->cmd_head, nullptr);

        g_wiped = {};
        ASSERT_EQ(cmd_enqueue(wk.w, secret_rec()), 0);
        wk.apply(l.cs.get());
        EXPECT_EQ(g_wiped.calls, 1);
        EXPECT_EQ(g_wiped.text_len, 16u);
        EXPECT_EQ(g_wiped.text2_len, 0u);  // moved, not freed
        EXPECT_TRUE(g_wiped.all_zero);
        EXPECT_STREQ(wk.w->pending_new_password, "next-password");
    }
}

// The queueing functions' own rules.
TEST(WorkerApi, MutatorRules) {
    Local l;
    Wk wk(l.ms, &l.keys.k);
    ASSERT_EQ(quorvane_msgstore_put_conv(l.ms, G.data(), KEY.data()), 0);
    const std::string max(QV_SEND_TEXT_MAX, 'a'), over(QV_SEND_TEXT_MAX + 1, 'a');
    const struct {
        const char *name;
        std::function<int()> call;
        int want;
    } table[] = {
        {"text empty", [&] { return quorvane_worker_send_text(wk.w, G.data(), ""); }, -1},
        {"text null", [&] { return quorvane_worker_send_text(wk.w, G.data(), nullptr); }, -1},
        {"text over", [&] { return quorvane_worker_send_text(wk.w, G.data(), over.c_str()); }, -1},
        {"text max", [&] { return quorvane_worker_send_text(wk.w, G.data(), max.c_str()); }, 0},
        {"system over", [&] { return quorvane_worker_send_system(wk.w, G.data(), over.c_str()); }, -1},
        {"system", [&] { return quorvane_worker_send_system(wk.w, G.data(), "s"); }, 0},
        {"reply empty", [&] { return quorvane_worker_send_reply(wk.w, G.data(), PEER.data(), 1, ""); }, -1},
        {"reply no author", [&] { return quorvane_worker_send_reply(wk.w, G.data(), nullptr, 1, "r"); }, -1},
        {"edit empty", [&] { return quorvane_worker_send_edit(wk.w, G.data(), nullptr, 1, ""); }, -1},
        {"react empty", [&] { return quorvane_worker_react(wk.w, G.data(), PEER.data(), nullptr, 1, "", 1); }, -1},
        {"delete no author", [&] { return quorvane_worker_delete_message(wk.w, G.data(), nullptr, nullptr, 1); }, -1},
        {"prekeys empty", [&] { return quorvane_worker_request_prekeys(wk.w, ""); }, -1},
        {"prekeys 33", [&] { return quorvane_worker_request_prekeys(wk.w, std::string(33, 'u').c_str()); }, -1},
        {"prekeys 32", [&] { return quorvane_worker_request_prekeys_for_dm(wk.w, std::string(32, 'u').c_str()); }, 0},
        {"null worker", [&] { return quorvane_worker_send_text(nullptr, G.data(), "x"); }, -1},
    };
    for (const auto &t : table) {
        SCOPED_TRACE(t.name);
        const size_t before = wk.queued();
        EXPECT_EQ(t.call(), t.want);
        EXPECT_EQ(wk.queued(), before + (t.want == 0));
        if (t.want == 0 && std::string(t.name) == "prekeys 32") {
            EXPECT_EQ(wk.tail()->flag, 1);
            EXPECT_EQ(std::string(wk.tail()->name), std::string(32, 'u'));
        }
    }

    // what the records carry
    const uint8_t dev[32] = {9, 9, 9};
    ASSERT_EQ(quorvane_worker_react(wk.w, G.data(), PEER.data(), dev, 5, "ok", 7), 0);
    EXPECT_EQ(wk.tail()->flag, 1);
    EXPECT_EQ(wk.tail()->kind, 21);
    EXPECT_EQ(wk.tail()->value, 5u);
    EXPECT_EQ(bytes(wk.tail()->ref, wk.tail()->ref + 32), bytes(dev, dev + 32));
    EXPECT_STREQ(wk.tail()->text, "ok");
    ASSERT_EQ(quorvane_worker_send_edit(wk.w, G.data(), nullptr, 6, "e"), 0);
    EXPECT_TRUE(zero(wk.tail()->ref, 64));

    // a peer's verified identity replaced: texts are refused until the user looks
    Keys a, b;
    ASSERT_EQ(quorvane_msgstore_set_peer(l.ms, G.data(), PEER.data(), a.k.identity_pub), 0);
    ASSERT_EQ(quorvane_msgstore_set_verified(l.ms, G.data(), 1), 0);
    ASSERT_EQ(quorvane_msgstore_set_peer(l.ms, G.data(), PEER.data(), b.k.identity_pub), 0);
    ASSERT_EQ(quorvane_msgstore_identity_changed(l.ms, G.data()), 1);
    const size_t before = wk.queued();
    EXPECT_EQ(quorvane_worker_send_text(wk.w, G.data(), "hello"), -1);
    EXPECT_EQ(wk.queued(), before);
}

// Our own member goes first, only while connected: user id, identity key and
// this device's key pair; the caller's members follow unchanged.
TEST(WorkerApi, CreateConvOwnMemberFirst) {
    Local l;
    Wk wk(l.ms, &l.keys.k);
    Keys peer;
    const quorvane_member pm = member_of(PEER, peer.k);
    wk.w->status.code = QV_WS_RETRYING;
    EXPECT_EQ(quorvane_worker_create_conv(wk.w, NEWC.data(), KEY.data(), &pm, 1), -1);
    EXPECT_EQ(wk.queued(), 0u);
    wk.w->status.code = QV_WS_CONNECTED;
    EXPECT_EQ(quorvane_worker_create_conv(wk.w, NEWC.data(), nullptr, &pm, 1), -1);
    EXPECT_EQ(quorvane_worker_create_conv(wk.w, NEWC.data(), KEY.data(), nullptr, 1), -1);
    ASSERT_EQ(quorvane_worker_create_conv(wk.w, NEWC.data(), KEY.data(), &pm, 1), 0);
    const quorvane_wcmd *c = wk.tail();
    EXPECT_EQ(c->kind, 1);
    EXPECT_EQ(bytes(c->key, c->key + 32), KEY);
    ASSERT_EQ(c->member_count, 2u);
    const quorvane_member &own = c->members[0];
    EXPECT_EQ(bytes(own.user_id, own.user_id + 16), OWN);
    EXPECT_EQ(bytes(own.identity, own.identity + 32), bytes(l.keys.k.identity_pub, l.keys.k.identity_pub + 32));
    ASSERT_EQ(own.device_count, 1u);
    EXPECT_EQ(bytes(own.devices[0], own.devices[0] + 32), bytes(l.keys.k.device_x25519_pub, l.keys.k.device_x25519_pub + 32));
    EXPECT_EQ(bytes(own.devices[0] + 32, own.devices[0] + 64), bytes(l.keys.k.device_ed25519_pub, l.keys.k.device_ed25519_pub + 32));
    EXPECT_EQ(std::memcmp(&c->members[1], &pm, sizeof pm), 0);
    ASSERT_EQ(quorvane_worker_create_conv(wk.w, NEWC.data(), KEY.data(), nullptr, 0), 0);
    EXPECT_EQ(wk.tail()->member_count, 1u);
}

// Kind 1 starts the device sessions of a two-member conversation from the
// public slot only when the bundle is the other member's.
TEST(WorkerApply, CreateConvStartsSessionsFromSlot) {
    Keys peer;
    TempDir peer_dir;
    quorvane_msgstore *peer_ms = quorvane_msgstore_open(peer_dir.path.c_str(), kStoreSecret);
    ASSERT_NE(peer_ms, nullptr);
    const quorvane_peer_device pd = qvdm::publish_set(peer_ms, peer.k);
    quorvane_msgstore_close(peer_ms);
    const quorvane_member pm = member_of(PEER, peer.k);

    struct Case {
        bool theirs, taken;  // the peer's bundle; the screens took it before creating
    };
    for (const Case v : {Case{false, false}, Case{true, false}, Case{true, true}}) {
        const bool theirs = v.theirs;
        SCOPED_TRACE(std::string(theirs ? "the peer's bundle" : "someone else's bundle") + (v.taken ? ", taken" : ""));
        Local l;
        Wk wk(l.ms, &l.keys.k);
        quorvane_prekey_reply &b = wk.w->pub_prekeys;
        b.complete = 1;
        std::memcpy(b.user_id, (theirs ? PEER : USER).data(), 16);
        std::memcpy(b.identity, peer.k.identity_pub, 32);
        b.device_count = 1;
        quorvane_prekey_device &d = b.devices[0];
        std::memcpy(d.dev_x, pd.bundle.dev_x, 32);
        std::memcpy(d.dev_ed, pd.bundle.dev_ed, 32);
        d.has_spk = 1;
        d.spk_id = pd.bundle.spk_id;
        std::memcpy(d.spk, pd.bundle.spk, 32);
        std::memcpy(d.sig, pd.bundle.sig, 64);
        d.has_otk = pd.bundle.has_otk;
        d.otk_id = pd.bundle.otk_id;
        std::memcpy(d.otk, pd.bundle.otk, 32);
        wk.w->pub_prekeys_ready = 1;
        if (v.taken) {
            quorvane_prekey_reply out{};
            ASSERT_EQ(quorvane_worker_take_prekeys(wk.w, &out), 1);
            EXPECT_EQ(quorvane_worker_take_prekeys(wk.w, &out), 0);  // handed out once
        }
        ASSERT_EQ(quorvane_worker_create_conv(wk.w, NEWC.data(), KEY.data(), &pm, 1), 0);
        wk.apply(l.cs.get());
        EXPECT_EQ(count_type(ring_frames(l.cs.get()), 24), 1u);
        EXPECT_EQ(quorvane_msgstore_ratchet_devices(l.ms, NEWC.data(), nullptr, 0), theirs ? 1u : 0u);
    }
}

// Kind 50 lists, newest first, the keyed group conversations whose history is
// not exhausted; equal ones keep store order, and only 64 are kept.
TEST(WorkerApply, DeepSearchFill) {
    Local l;
    Wk wk(l.ms, &l.keys.k);
    auto id = [](int i) { bytes b = rep(0xD0, 16); b[14] = uint8_t(i >> 8); b[15] = uint8_t(i); return b; };
    // 70 candidates: three with equal newest counters ahead of 67 distinct ones in a
    // mixed order; and two that do not qualify: no key, and a device session
    for (int i = 0; i < 70; i++) {
        const bytes c = id(i);
        ASSERT_EQ(quorvane_msgstore_put_conv(l.ms, c.data(), KEY.data()), 0);
        const uint64_t newest = i < 3 ? 100 : uint64_t((i * 37) % 67 + 1);
        quorvane_ms_msgrec m = msg_by(c, PEER, newest, "x");
        ASSERT_EQ(quorvane_msgstore_add_msg(l.ms, &m), 1);
    }
    const bytes locked = id(200), dm = id(201);
    ASSERT_EQ(quorvane_msgstore_put_conv_locked(l.ms, locked.data()), 0);
    ASSERT_EQ(quorvane_msgstore_put_conv(l.ms, dm.data(), KEY.data()), 0);
    const uint8_t state[8] = {1};
    ASSERT_EQ(quorvane_msgstore_put_ratchet(l.ms, dm.data(), DEVX.data(), state, sizeof state), 0);
    quorvane_ms_msgrec m = msg_by(dm, PEER, 1000, "x");
    ASSERT_EQ(quorvane_msgstore_add_msg(l.ms, &m), 1);

    wk.w->deep = static_cast<quorvane_deep *>(std::calloc(1, sizeof(quorvane_deep)));
    ASSERT_EQ(quorvane_deep_begin(wk.w->deep, "x", QV_SEARCH_TEXTS, 0, 0), 0);
    ASSERT_EQ(cmd_enqueue(wk.w, rec(50)), 0);
    wk.apply(l.cs.get());
    EXPECT_EQ(wk.w->search_revision, 1u);
    const quorvane_deep *d = wk.w->deep;
    ASSERT_EQ(d->conv_count, QV_DEEP_CONV_MAX);
    for (int i = 0; i < 3; i++) EXPECT_EQ(bytes(d->convs[i].id, d->convs[i].id + 16), id(i)) << i;
    uint64_t prev = 100;
    for (size_t i = 3; i < QV_DEEP_CONV_MAX; i++) {
        quorvane_ms_msgrec last{};
        const size_t n = quorvane_msgstore_msg_count(l.ms, d->convs[i].id);
        ASSERT_EQ(quorvane_msgstore_msg_at(l.ms, d->convs[i].id, n - 1, &last), 0);
        EXPECT_LE(last.msg_id, prev) << i;
        prev = last.msg_id;
    }
    EXPECT_GT(prev, 3u);  // the oldest few fell out
    for (size_t i = 0; i < d->conv_count; i++) EXPECT_NE(bytes(d->convs[i].id, d->convs[i].id + 16), dm);

    // a search that already holds conversations is not filled again
    ASSERT_EQ(cmd_enqueue(wk.w, rec(50)), 0);
    wk.apply(l.cs.get());
    EXPECT_EQ(wk.w->deep->conv_count, QV_DEEP_CONV_MAX);
    EXPECT_EQ(wk.w->search_revision, 2u);
}

// The public prekey slot: a bundle asked for a direct message waits for the
// first sync or 10 s (not our own); it is handed out once.
TEST(WorkerApi, TakePrekeysAndRings) {
    FakeClock clock;
    Local l;
    Wk wk(l.ms, &l.keys.k);
    quorvane_prekey_reply out{};
    EXPECT_EQ(quorvane_worker_take_prekeys(wk.w, &out), 0);
    auto fill = [&](const bytes &user, int for_dm) {
        std::memcpy(wk.w->pub_prekeys.user_id, user.data(), 16);
        wk.w->pub_prekeys.device_count = 1;
        wk.w->pub_prekeys_ready = 1;
        wk.w->pub_prekeys_for_dm = for_dm;
        wk.w->pub_prekeys_ms = quorvane_engine_now_ms();
    };
    fill(PEER, 1);
    clock.advance(QV_DM_HOLD_LIMIT_MS - 1);
    EXPECT_EQ(quorvane_worker_take_prekeys(wk.w, &out), 0);
    clock.advance(1);
    EXPECT_EQ(quorvane_worker_take_prekeys(wk.w, &out), 1);
    EXPECT_EQ(bytes(out.user_id, out.user_id + 16), PEER);
    EXPECT_EQ(quorvane_worker_take_prekeys(wk.w, &out), 0);
    fill(OWN, 1);
    EXPECT_EQ(quorvane_worker_take_prekeys(wk.w, &out), 1);
    fill(PEER, 0);
    EXPECT_EQ(quorvane_worker_take_prekeys(wk.w, &out), 1);
    fill(PEER, 1);
    wk.w->last_sync = 5;
    EXPECT_EQ(quorvane_worker_take_prekeys(wk.w, &out), 1);

    // the notification ring wraps at 64
    wk.w->note_head = QV_WNOTE_RING - 1;
    wk.w->note_count = 2;
    wk.w->note_ring[QV_WNOTE_RING - 1].type = 1;
    wk.w->note_ring[0].type = 2;
    quorvane_notification n{};
    EXPECT_EQ(quorvane_worker_poll_notification(wk.w, &n), 1);
    EXPECT_EQ(n.type, 1);
    EXPECT_EQ(quorvane_worker_poll_notification(wk.w, nullptr), 1);
    EXPECT_EQ(quorvane_worker_poll_notification(wk.w, &n), 0);
    EXPECT_EQ(wk.w->note_head, 1u);

    int user = 0;
    quorvane_worker_set_notify_hook(wk.w, [](void *u) { ++*static_cast<int *>(u); }, &user);
    ASSERT_NE(wk.w->hook, nullptr);
    wk.w->hook(wk.w->hook_user);
    EXPECT_EQ(user, 1);
    quorvane_worker_set_notify_hook(wk.w, nullptr, nullptr);
    EXPECT_EQ(wk.w->hook, nullptr);

    // the send-result ring keeps the newest 128 when apply adds failures
    l.cs->state = QV_CS_FAILED;
    for (int i = 0; i < int(QV_WSEND_RING) + 2; i++) ASSERT_EQ(cmd_enqueue(wk.w, with_text(rec(2, id_of(i)), "x")), 0);
    wk.apply(l.cs.get());
    EXPECT_EQ(wk.w->send_count, QV_WSEND_RING);
    uint8_t conv[16];
    int ok = 1;
    ASSERT_EQ(quorvane_worker_poll_send_result(wk.w, conv, nullptr, &ok), 1);
    EXPECT_EQ(conv[15], 2);
}

// The store callback runs with the mutex held, on the open store or null.
TEST(WorkerApi, WithStore) {
    Local l;
    Wk wk(l.ms, &l.keys.k);
    struct Seen {
        quorvane_worker *w;
        quorvane_msgstore *ms = nullptr;
        int busy = 0;
    } seen{wk.w};
    quorvane_worker_test_with_store(
        wk.w,
        [](quorvane_msgstore *ms, void *u) {
            auto *s = static_cast<Seen *>(u);
            s->ms = ms;
            s->busy = pthread_mutex_trylock(&s->w->mu);
            if (s->busy == 0) pthread_mutex_unlock(&s->w->mu);
        },
        &seen);
    EXPECT_EQ(seen.ms, l.ms);
    EXPECT_NE(seen.busy, 0);
}
