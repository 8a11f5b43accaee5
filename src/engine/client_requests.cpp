// Requests of the signed-in exchange and the getters that hand its answers out.
#include "client_authed.h"

#include "client_session.h"
#include "quorvane_crypto.h"
#include "quorvane_proto.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr uint8_t FT_PREKEY_REQUEST = 6, FT_SYNC = 8, FT_CREATE_CONV = 24, FT_PUBLISH_PREKEYS = 41;
constexpr uint8_t TAG_USER = 1, TAG_USER_ID = 14, TAG_SYNC_CURSORS = 41;

bool signed_in(const quorvane_cs *cs) { return cs && cs->state == QV_CS_SIGNED_IN; }

struct bag_guard {
    quorvane_dm_bag bag{};
    quorvane_dm_prekeys set{};
    ~bag_guard() {
        quorvane_dm_bag_wipe(&bag);
        quorvane_dm_prekeys_wipe(&set);
    }
};

struct wiped_bytes {
    std::vector<uint8_t> b;
    explicit wiped_bytes(size_t n) : b(n) {}
    ~wiped_bytes() { quorvane_cleanse(b.data(), b.size()); }
};

}  // namespace

/* ---- requests ---- */

int quorvane_cs_sync(quorvane_cs *cs) {
    if (!signed_in(cs)) return -1;
    quorvane_msgstore *ms = cs->cfg.store;
    // the server drops every copy at or below a cursor sent: what a cursor
    // covers must be on disk first, also inside a batch that holds it back
    if (ms && quorvane_msgstore_write_pending(ms) != 0) return -1;
    const size_t n = std::min(quorvane_msgstore_conv_count(ms), QV_SYNC_MAX_CONVS);
    std::vector<uint8_t> body;
    if (n > 0) {
        std::vector<uint8_t> entries(n * QV_SYNC_CURSOR_ENTRY_LEN);
        size_t used = 0;
        for (size_t i = 0; i < n; i++) {
            const quorvane_ms_conv *c = quorvane_msgstore_conv_at(ms, i);
            if (!c) break;
            uint8_t *e = entries.data() + used;
            std::memcpy(e, c->id, 16);
            const uint64_t cur = quorvane_msgstore_sync_cursor(ms, c->id);
            for (int b = 0; b < 8; b++) e[16 + b] = static_cast<uint8_t>(cur >> (56 - 8 * b));
            used += QV_SYNC_CURSOR_ENTRY_LEN;
        }
        body.resize(used + QV_TLV_HEAD_LEN);
        quorvane_tlv_writer w;
        quorvane_tlv_writer_init(&w, body.data(), body.size());
        quorvane_tlv_put(&w, TAG_SYNC_CURSORS, entries.data(), used);
        size_t bl = 0;
        if (used == 0 || quorvane_tlv_writer_finish(&w, &bl) != 0) body.clear();  // the server then sends everything
        else body.resize(bl);
    }
    const int rc = send_frame_large(cs, FT_SYNC, body.data(), body.size());
    if (rc == 0 && ms) quorvane_msgstore_sync_begun(ms);
    return rc;
}

int quorvane_cs_publish_prekeys(quorvane_cs *cs) {
    if (!signed_in(cs) || !cs->cfg.keys) return -1;
    // Prekeys whose secrets were not kept would make every first message sent
    // to them unopenable: without a store that took the new bag, nothing goes out.
    quorvane_msgstore *ms = cs->cfg.store;
    if (!ms) return -1;
    const quorvane_device_keys *k = cs->cfg.keys;
    bag_guard g;
    wiped_bytes buf(QV_DM_BAG_SER_MAX);
    const size_t got = quorvane_msgstore_get_prekeys(ms, buf.b.data(), buf.b.size());
    if (quorvane_dm_bag_load(&g.bag, buf.b.data(), got) != 0) {
        quorvane_dm_bag_wipe(&g.bag);
        g.bag = quorvane_dm_bag{};
    }
    const uint32_t first = g.bag.next_id ? g.bag.next_id : 1;
    if (quorvane_dm_prekeys_generate(&g.set, k->device_x25519_priv, k->device_x25519_pub, k->device_ed25519_priv,
                                     k->device_ed25519_pub, first) != 0)
        return -1;
    quorvane_dm_bag_push(&g.bag, &g.set);
    g.bag.next_id = g.bag.next_id ? g.bag.next_id + 18 : 19;
    size_t sl = 0;
    if (quorvane_dm_bag_serialize(&g.bag, buf.b.data(), buf.b.size(), &sl) != 0 || quorvane_msgstore_put_prekeys(ms, buf.b.data(), sl) != 0)
        return -1;
    uint8_t body[QV_DM_PUBLISH_MAX];
    size_t bl = 0;
    if (quorvane_dm_publish_body(&g.set, body, sizeof body, &bl) != 0) return -1;
    return send_frame(cs, FT_PUBLISH_PREKEYS, body, bl) == 0 ? 0 : -1;
}

int quorvane_cs_request_prekeys(quorvane_cs *cs, const char *user) {
    if (!signed_in(cs) || !user) return -1;
    const size_t n = std::strlen(user);
    if (n < 1 || n > QV_CS_USER_MAX) return -1;
    uint8_t body[QV_TLV_HEAD_LEN + QV_CS_USER_MAX];
    quorvane_tlv_writer w;
    quorvane_tlv_writer_init(&w, body, sizeof body);
    quorvane_tlv_put(&w, TAG_USER, user, n);
    size_t bl = 0;
    if (quorvane_tlv_writer_finish(&w, &bl) != 0 || send_frame(cs, FT_PREKEY_REQUEST, body, bl) != 0) return -1;
    cs->authed.prekeys_in_flight++;
    return 0;
}

int quorvane_cs_request_prekeys_by_id(quorvane_cs *cs, const uint8_t user_id[16]) {
    if (!signed_in(cs) || !user_id) return -1;
    uint8_t body[QV_TLV_HEAD_LEN + 16];
    quorvane_tlv_writer w;
    quorvane_tlv_writer_init(&w, body, sizeof body);
    quorvane_tlv_put(&w, TAG_USER_ID, user_id, 16);
    size_t bl = 0;
    if (quorvane_tlv_writer_finish(&w, &bl) != 0 || send_frame(cs, FT_PREKEY_REQUEST, body, bl) != 0) return -1;
    cs->authed.prekeys_in_flight++;
    return 0;
}

int quorvane_cs_create_conv(quorvane_cs *cs, const uint8_t conv_id[16], const uint8_t key[32], const quorvane_member *members,
                            size_t n) {
    return cs_create_conv_request(cs, FT_CREATE_CONV, conv_id, key, members, n, -1, nullptr, 0);
}

/* ---- getters ---- */

int quorvane_cs_prekeys_busy(const quorvane_cs *cs) {
    return cs && (cs->authed.prekeys_in_flight > 0 || cs->authed.prekey_count > 0) ? 1 : 0;
}

int quorvane_cs_take_prekeys(quorvane_cs *cs, quorvane_prekey_reply *out) {
    if (!cs || !out || cs->authed.prekey_count == 0) return 0;
    cs_authed_state &a = cs->authed;
    quorvane_prekey_reply &r = a.prekeys[a.prekey_head];
    std::memcpy(out, &r, sizeof r);
    quorvane_cleanse(&r, sizeof r);
    a.prekey_head = (a.prekey_head + 1) % QV_PREKEY_RING;
    a.prekey_count--;
    return 1;
}

int quorvane_cs_poll_send_result(quorvane_cs *cs, uint8_t conv_id[16], uint64_t *counter, int *ok) {
    if (!cs || cs->authed.result_count == 0) return 0;
    cs_authed_state &a = cs->authed;
    const quorvane_send_result &r = a.results[a.result_head];
    if (conv_id) std::memcpy(conv_id, r.conv_id, 16);
    if (counter) *counter = r.counter;
    if (ok) *ok = r.ok;
    a.result_head = (a.result_head + 1) % QV_SEND_RESULTS;
    a.result_count--;
    return 1;
}

int quorvane_cs_take_key_request(quorvane_cs *cs, quorvane_key_request *out) {
    if (!cs || !out || cs->authed.key_request_count == 0) return 0;
    cs_authed_state &a = cs->authed;
    *out = a.key_requests[a.key_request_head];
    a.key_request_head = (a.key_request_head + 1) % QV_KEY_REQUESTS;
    a.key_request_count--;
    return 1;
}

uint32_t quorvane_cs_take_stale_keys(quorvane_cs *cs) {
    if (!cs) return 0;
    const uint32_t n = cs->authed.stale_keys;
    cs->authed.stale_keys = 0;
    return n;
}

uint64_t quorvane_cs_last_sync(const quorvane_cs *cs) { return cs ? cs->authed.last_sync : 0; }
uint32_t quorvane_cs_read_marks_epoch(const quorvane_cs *cs) { return cs ? cs->authed.read_marks_epoch : 0; }

void quorvane_cs_set_self_multidev(quorvane_cs *cs, int on) {
    if (cs) cs->authed.self_multidev = on ? 1 : 0;
}

void quorvane_cs_peer_from_prekeys(quorvane_member *dst, const quorvane_prekey_reply *b) {
    if (!dst) return;
    std::memset(dst, 0, sizeof *dst);
    if (!b) return;
    std::memcpy(dst->user_id, b->user_id, 16);
    std::memcpy(dst->identity, b->identity, 32);
    if (b->device_count > QV_PREKEY_DEVICES) return;
    dst->device_count = b->device_count;
    for (size_t i = 0; i < b->device_count; i++) {
        std::memcpy(dst->devices[i], b->devices[i].dev_x, 32);
        std::memcpy(dst->devices[i] + 32, b->devices[i].dev_ed, 32);
    }
}

void quorvane_cs_peer_devices_from_prekeys(quorvane_peer *dst, const quorvane_prekey_reply *b) {
    if (!dst) return;
    std::memset(dst, 0, sizeof *dst);
    if (!b || b->device_count > QV_PREKEY_DEVICES) return;
    std::memcpy(dst->user_id, b->user_id, 16);
    dst->device_count = static_cast<uint8_t>(b->device_count);
    for (size_t i = 0; i < b->device_count; i++) {
        const quorvane_prekey_device &s = b->devices[i];
        quorvane_peer_device &d = dst->devices[i];
        std::memcpy(d.bundle.dev_x, s.dev_x, 32);
        std::memcpy(d.bundle.dev_ed, s.dev_ed, 32);
        d.has_spk = s.has_spk;
        d.bundle.spk_id = s.spk_id;
        std::memcpy(d.bundle.spk, s.spk, 32);
        std::memcpy(d.bundle.sig, s.sig, 64);
        d.bundle.has_otk = s.has_otk;
        d.bundle.otk_id = s.otk_id;
        std::memcpy(d.bundle.otk, s.otk, 32);
    }
}
