#include "client_seal.h"

#include "client_session.h"
#include "n_log.h"
#include "quorvane_bytes.h"
#include "quorvane_crypto.h"
#include "quorvane_proto.h"
#include "quorvane_x3dh.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using wiped_buf = qv_bytes::secret_vec;  // a record buffer wiped however its scope is left

struct ratchet_guard {
    quorvane_ratchet *r = nullptr;
    ~ratchet_guard() { quorvane_ratchet_free(&r); }
};

size_t record_ratchet_offset(uint8_t flag) { return (flag & QV_SR_PENDING) ? 1 + QV_DM_PREAMBLE_LEN : 1; }

}  // namespace

/* ---- pending-send ring ---- */

int cs_pending_push(cs_pending_ring *r, const uint8_t conv_id[16], uint64_t counter) {
    if (!r || !conv_id || r->count >= QV_PENDING_MAX) return -1;
    cs_pending_entry &e = r->e[(r->head + r->count) % QV_PENDING_MAX];
    std::memcpy(e.conv_id, conv_id, 16);
    e.counter = counter;
    r->count++;
    return 0;
}

int cs_pending_pop(cs_pending_ring *r, uint8_t conv_id[16], uint64_t *counter) {
    if (!r || r->count == 0 || r->count > QV_PENDING_MAX) return 0;
    const cs_pending_entry &e = r->e[r->head % QV_PENDING_MAX];
    if (conv_id) std::memcpy(conv_id, e.conv_id, 16);
    if (counter) *counter = e.counter;
    r->head = (r->head + 1) % QV_PENDING_MAX;
    r->count--;
    return 1;
}

size_t cs_pending_room(const cs_pending_ring *r) { return r && r->count <= QV_PENDING_MAX ? QV_PENDING_MAX - r->count : 0; }

/* ---- session records ---- */

int cs_record_make(uint8_t flag, const uint8_t *preamble, const quorvane_ratchet *r, uint8_t *out, size_t cap, size_t *out_len) {
    const size_t off = record_ratchet_offset(flag);
    if (!r || !out || cap < off || ((flag & QV_SR_PENDING) && !preamble)) return -1;
    out[0] = flag;
    if (flag & QV_SR_PENDING) std::memcpy(out + 1, preamble, QV_DM_PREAMBLE_LEN);
    size_t n = 0;
    if (quorvane_ratchet_serialize(r, out + off, cap - off, &n) != 0) return -1;
    if (out_len) *out_len = off + n;
    return 0;
}

int cs_rt_try(const uint8_t *record, size_t record_len, uint8_t env_flag, const uint8_t *payload, size_t payload_len, uint8_t *pt,
              size_t *pt_len, uint8_t *out_record, size_t *out_record_len) {
    if (!record || record_len < 1 || !payload || !pt || !pt_len || !out_record || !out_record_len) return 0;
    const uint8_t flag = record[0];
    const size_t rec_off = record_ratchet_offset(flag);
    const size_t msg_off = env_flag == 1 ? 1 + 32 + QV_DM_PREAMBLE_LEN : 1 + 32;
    if (record_len < rec_off || payload_len < msg_off) return 0;
    ratchet_guard g;
    if (quorvane_ratchet_deserialize(&g.r, record + rec_off, record_len - rec_off) != 0) return 0;
    size_t n = 0;
    if (quorvane_ratchet_decrypt(g.r, payload + msg_off, payload_len - msg_off, pt, QV_PT_MAX, &n) != 0) return 0;
    // the first message that opens ends the pending state: the record drops its preamble
    if (cs_record_make(static_cast<uint8_t>(flag & ~QV_SR_PENDING), nullptr, g.r, out_record, QV_SR_MAX, out_record_len) != 0) {
        quorvane_cleanse(pt, n);
        return 0;
    }
    *pt_len = n;
    return 1;
}

int cs_rt_set_aside(quorvane_msgstore *ms, const uint8_t conv_id[16], const uint8_t device[32], const uint8_t *record, size_t len,
                    uint64_t now_ms) {
    if (!ms || !conv_id || !device || !record || !len) return -1;
    wiped_buf tmp(QV_SR_MAX);
    uint64_t t[2] = {0, 0};
    const size_t l0 = quorvane_msgstore_get_ratchet_prev(ms, conv_id, device, 0, &t[0], tmp.data(), tmp.size());
    const size_t l1 = quorvane_msgstore_get_ratchet_prev(ms, conv_id, device, 1, &t[1], tmp.data(), tmp.size());
    const unsigned slot = l0 == 0 ? 0 : l1 == 0 ? 1 : (t[1] < t[0] ? 1 : 0);
    return quorvane_msgstore_put_ratchet_prev(ms, conv_id, device, slot, now_ms, record, len) == 0 ? 0 : -1;
}

int cs_dm_init_device(quorvane_msgstore *ms, const quorvane_device_keys *keys, const uint8_t conv_id[16],
                      const quorvane_peer_device *dev, int force, uint64_t now_ms) {
    if (!ms || !keys || !conv_id || !dev || !dev->has_spk) return -1;
    if (!force && quorvane_msgstore_has_ratchet(ms, conv_id, dev->bundle.dev_x) == 1) return 0;
    const quorvane_dm_bundle &b = dev->bundle;
    ratchet_guard g;
    uint8_t pre[QV_DM_PREAMBLE_LEN];
    if (quorvane_dm_begin_initiator(&g.r, pre, keys->device_x25519_priv, keys->device_x25519_pub, &b) != 0) return -1;
    wiped_buf rec(QV_SR_MAX);
    if (force) {
        const size_t old = quorvane_msgstore_get_ratchet(ms, conv_id, b.dev_x, rec.data(), rec.size());
        if (old > 0 && cs_rt_set_aside(ms, conv_id, b.dev_x, rec.data(), old, now_ms) != 0) return -1;
    }
    size_t n = 0;
    if (cs_record_make(QV_SR_PENDING | QV_SR_INITIATOR, pre, g.r, rec.data(), rec.size(), &n) != 0 ||
        quorvane_msgstore_put_ratchet(ms, conv_id, b.dev_x, rec.data(), n) != 0)
        return -1;
    n_log(LOG_INFO, "dm: initiator session (conv %02x%02x%02x%02x, device %02x%02x%02x%02x)", conv_id[0], conv_id[1], conv_id[2],
          conv_id[3], b.dev_x[0], b.dev_x[1], b.dev_x[2], b.dev_x[3]);
    return 0;
}

/* ---- envelopes and payloads ---- */

int cs_dev_envelope(const quorvane_env_header *h, uint8_t flag, const uint8_t dev_key[32], const uint8_t *preamble, const uint8_t *msg,
                    size_t msg_len, uint8_t *out, size_t cap, size_t *out_len) {
    if (!h || !dev_key || !msg || !out || flag > 1 || (flag && !preamble)) return -1;
    const size_t need = QV_DEV_ENV_FIXED + (flag ? QV_DM_PREAMBLE_LEN : 0) + msg_len;
    if (cap < need) return -1;
    quorvane_env_header_encode(h, out);
    size_t off = QV_ENV_HEADER_LEN;
    out[off++] = flag;
    std::memcpy(out + off, dev_key, 32);
    off += 32;
    if (flag) {
        std::memcpy(out + off, preamble, QV_DM_PREAMBLE_LEN);
        off += QV_DM_PREAMBLE_LEN;
    }
    std::memcpy(out + off, msg, msg_len);
    if (out_len) *out_len = need;
    return 0;
}

size_t cs_targetdev_wrap(const uint8_t *target, uint8_t *buf, size_t len, size_t cap) {
    static const uint8_t zero[32] = {};
    if (!target || std::memcmp(target, zero, 32) == 0) return len;
    if (!buf || cap < QV_TARGETDEV_LEN || len > cap - QV_TARGETDEV_LEN) return 0;
    std::memmove(buf + QV_TARGETDEV_LEN, buf, len);
    buf[0] = QV_BODY_TARGETDEV;
    std::memcpy(buf + 1, target, 32);
    return len + QV_TARGETDEV_LEN;
}

int build_conv_payload(const uint8_t conv_id[16], const uint8_t key[32], const quorvane_member *members, size_t count, int kind,
                       uint8_t *out, size_t *out_len) {
    if (!conv_id || !key || (!members && count) || !out || kind < -1 || kind > 255) return -1;
    quorvane_tlv_writer w;
    quorvane_tlv_writer_init(&w, out, QV_CONV_PAYLOAD_MAX);
    quorvane_tlv_put(&w, 17, conv_id, 16);
    if (kind != -1) quorvane_tlv_put_u8(&w, 39, static_cast<uint8_t>(kind));
    uint8_t box[32 + QV_SEAL_OVERHEAD];
    uint8_t rec[16 + 16 + sizeof box];
    size_t bl = 0;
    int rc = 0;
    for (size_t i = 0; rc == 0 && i < count; i++) {
        const quorvane_member &m = members[i];
        quorvane_tlv_put(&w, 19, m.user_id, 16);
        if (quorvane_seal(m.identity, key, 32, box, sizeof box, &bl) != 0 || bl != sizeof box) { rc = -1; break; }
        quorvane_tlv_put(&w, 18, box, sizeof box);
        if (m.device_count < 1 || m.device_count > 5) continue;
        for (size_t d = 0; rc == 0 && d < m.device_count; d++) {
            std::memcpy(rec, m.user_id, 16);
            if (quorvane_device_id(m.devices[d], m.devices[d] + 32, rec + 16) != 0 ||
                quorvane_seal(m.devices[d], key, 32, rec + 32, sizeof box, &bl) != 0 || bl != sizeof box) {
                rc = -1;
                break;
            }
            quorvane_tlv_put(&w, 51, rec, sizeof rec);
        }
    }
    if (rc == 0 && quorvane_tlv_writer_finish(&w, out_len) != 0) rc = -1;
    return rc;
}

int cs_create_conv_request(quorvane_cs *cs, uint8_t type, const uint8_t conv_id[16], const uint8_t key[32],
                           const quorvane_member *members, size_t n, int kind, const uint8_t *tail, size_t tail_len) {
    if (!cs || cs->state != QV_CS_SIGNED_IN || !conv_id || !key || !members || n < 1 || !cs->cfg.store) return -1;
    wiped_buf body(QV_CONV_PAYLOAD_MAX);
    size_t bl = 0;
    if (build_conv_payload(conv_id, key, members, n, kind, body.data(), &bl) != 0) return -1;
    if (tail && tail_len <= QV_CONV_PAYLOAD_MAX - bl) {
        std::memcpy(body.data() + bl, tail, tail_len);
        bl += tail_len;
    }
    if (quorvane_msgstore_put_conv(cs->cfg.store, conv_id, key) != 0) return -1;
    return send_frame_large(cs, type, body.data(), bl) == 0 ? 0 : -1;
}

/* ---- device path of a sealed send ---- */

int cs_seal_devices(quorvane_msgstore *ms, const uint8_t conv_id[16], const uint8_t user_id[16], const uint8_t dev_pub[32],
                    uint64_t counter, uint64_t time_ms, const uint8_t *body, size_t len, cs_pending_ring *ring, cs_queue_fn queue,
                    void *ctx) {
    if (!ms || !conv_id || !user_id || !dev_pub || !body || !len || len > QV_DEV_BODY_MAX || !ring || !queue) return -1;
    uint8_t devices[QV_SR_DEVICES][32];
    size_t n = quorvane_msgstore_ratchet_devices(ms, conv_id, devices, QV_SR_DEVICES);
    if (n > QV_SR_DEVICES) n = QV_SR_DEVICES;
    if (n == 0) return 0;
    if (cs_pending_room(ring) < n) return -2;

    quorvane_env_header h{};
    std::memcpy(h.conversation_id, conv_id, 16);
    std::memcpy(h.sender_id, user_id, 16);
    h.counter = counter;
    h.time = time_ms;
    wiped_buf rec(QV_SR_MAX), next(QV_SR_MAX);
    std::vector<uint8_t> msg(len + QV_RATCHET_OVERHEAD), env(QV_DEV_ENV_FIXED + QV_DM_PREAMBLE_LEN + msg.size());
    int served = 0;
    for (size_t i = 0; i < n; i++) {
        const size_t rl = quorvane_msgstore_get_ratchet(ms, conv_id, devices[i], rec.data(), rec.size());
        if (rl == 0) continue;
        const uint8_t flag = rec.data()[0];
        const size_t off = record_ratchet_offset(flag);
        if (rl <= off) continue;
        ratchet_guard g;
        size_t ml = 0, nl = 0, el = 0;
        if (quorvane_ratchet_deserialize(&g.r, rec.data() + off, rl - off) != 0 ||
            quorvane_ratchet_encrypt(g.r, body, len, msg.data(), msg.size(), &ml) != 0)
            continue;
        // stored before it leaves: if the stepped state cannot be kept, the next
        // send would reuse this message key for other text, so this device is skipped
        const uint8_t *pre = (flag & QV_SR_PENDING) ? rec.data() + 1 : nullptr;
        if (cs_record_make(flag, pre, g.r, next.data(), next.size(), &nl) != 0 ||
            quorvane_msgstore_put_ratchet(ms, conv_id, devices[i], next.data(), nl) != 0) {
            n_log(LOG_ERR, "dm: conv %02x%02x%02x%02x: session could not be stored, device skipped", conv_id[0], conv_id[1],
                  conv_id[2], conv_id[3]);
            continue;
        }
        const uint8_t env_flag = (flag & QV_SR_PENDING) ? 1 : 0;
        if (cs_dev_envelope(&h, env_flag, dev_pub, pre, msg.data(), ml, env.data(), env.size(), &el) != 0 ||
            queue(ctx, devices[i], env.data(), el) != 0)
            continue;
        if (cs_pending_push(ring, conv_id, counter) != 0) continue;  // room was checked above
        served++;
    }
    quorvane_cleanse(msg.data(), msg.size());
    return served;
}

/* ---- sealed send through the session ---- */

namespace {

constexpr uint8_t FT_ENVELOPE_SEND = 7, TAG_ENVELOPE = 20;
constexpr uint8_t BODY_PROFILE = 3, BODY_SELF_WRAP = 14;
constexpr size_t  CONV_BODY_MAX = 4170;  // a conversation-key envelope carries at most 4250 bytes
constexpr size_t  SELF_WRAP_LEN = 33;    // type 14 and this device's key

uint64_t wall_ms() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count());
}

int send_envelope(quorvane_cs *cs, const uint8_t *env, size_t len) {
    std::vector<uint8_t> body(len + QV_TLV_HEAD_LEN);
    quorvane_tlv_writer w;
    quorvane_tlv_writer_init(&w, body.data(), body.size());
    quorvane_tlv_put(&w, TAG_ENVELOPE, env, len);
    size_t bl = 0;
    if (quorvane_tlv_writer_finish(&w, &bl) != 0) return -1;
    return send_frame(cs, FT_ENVELOPE_SEND, body.data(), bl) == 0 ? 0 : -1;
}

int queue_device_envelope(void *ctx, const uint8_t *, const uint8_t *env, size_t len) {
    return send_envelope(static_cast<quorvane_cs *>(ctx), env, len);
}

int seal_by_conv_key(quorvane_cs *cs, const uint8_t conv_id[16], const uint8_t *body, size_t len, uint64_t now, uint64_t *counter,
                     uint64_t *time_ms, uint8_t device[32]) {
    quorvane_msgstore *ms = cs->cfg.store;
    const quorvane_device_keys *k = cs->cfg.keys;
    if (len > CONV_BODY_MAX) return -1;
    wiped_buf pt(CONV_BODY_MAX);
    size_t pl = len;
    uint8_t dev[32] = {};
    if (cs->authed.self_multidev && k && len + SELF_WRAP_LEN <= CONV_BODY_MAX) {
        pt.data()[0] = BODY_SELF_WRAP;
        std::memcpy(pt.data() + 1, k->device_x25519_pub, 32);
        std::memcpy(pt.data() + SELF_WRAP_LEN, body, len);
        pl = len + SELF_WRAP_LEN;
        std::memcpy(dev, k->device_x25519_pub, 32);
    } else {
        std::memcpy(pt.data(), body, len);
    }
    uint8_t key[32];
    if (quorvane_msgstore_get_conv(ms, conv_id, key) != 1) return -1;
    int rc = -1;
    quorvane_env_header h{};
    std::memcpy(h.conversation_id, conv_id, 16);
    std::memcpy(h.sender_id, cs->user_id, 16);
    h.time = now;
    std::vector<uint8_t> env(pl + QV_ENV_OVERHEAD);
    size_t el = 0;
    const uint64_t c = quorvane_msgstore_next_counter(ms, conv_id);
    h.counter = c;
    if (c != 0 && quorvane_random(h.salt, sizeof h.salt) == 0 &&
        quorvane_env_seal(key, &h, pt.data(), pl, env.data(), env.size(), &el) == 0 && send_envelope(cs, env.data(), el) == 0 &&
        cs_pending_push(&cs->authed.pending, conv_id, c) == 0) {
        *counter = c;
        *time_ms = now;
        std::memcpy(device, dev, 32);
        rc = 0;
    }
    quorvane_cleanse(key, sizeof key);
    return rc;
}

}  // namespace

int cs_seal_send(quorvane_cs *cs, const uint8_t conv_id[16], const uint8_t *body, size_t len, uint64_t *counter, uint64_t *time_ms,
                 uint8_t device[32]) {
    if (!cs || cs->state != QV_CS_SIGNED_IN || !cs->cfg.store || !conv_id || !body || !len || !counter || !time_ms || !device)
        return -1;
    // Acknowledgements pair first in, first out: with no room to record this
    // send, sealing it would leave an acknowledgement without its message.
    if (cs_pending_room(&cs->authed.pending) == 0) return -1;
    quorvane_msgstore *ms = cs->cfg.store;
    const uint64_t now = wall_ms();
    uint8_t devices[QV_SR_DEVICES][32];
    const size_t n = std::min(quorvane_msgstore_ratchet_devices(ms, conv_id, devices, QV_SR_DEVICES), QV_SR_DEVICES);
    const bool profile = body[0] == BODY_PROFILE;
    if (n == 0 || (!profile && quorvane_cs_dm_self_only(ms, conv_id, cs->user_id) == 1)) {
        if (n > 0)
            n_log(LOG_NOTICE, "dm: conv %02x%02x%02x%02x: no session with the peer yet, only with our own devices: the conv_key path instead",
                  conv_id[0], conv_id[1], conv_id[2], conv_id[3]);
        return seal_by_conv_key(cs, conv_id, body, len, now, counter, time_ms, device);
    }
    const quorvane_device_keys *k = cs->cfg.keys;
    if (!k || len > QV_DEV_BODY_MAX || cs_pending_room(&cs->authed.pending) < n) return -1;
    const uint64_t c = quorvane_msgstore_next_counter(ms, conv_id);
    if (c == 0) return -1;
    const int served = cs_seal_devices(ms, conv_id, cs->user_id, k->device_x25519_pub, c, now, body, len, &cs->authed.pending,
                                       queue_device_envelope, cs);
    if (served <= 0) return -1;
    *counter = c;
    *time_ms = now;
    std::memcpy(device, k->device_x25519_pub, 32);
    return 0;
}

int quorvane_cs_dm_init(quorvane_cs *cs, const uint8_t conv_id[16], const quorvane_peer *peer) {
    if (!cs || cs->state != QV_CS_SIGNED_IN || !cs->cfg.keys || !cs->cfg.store || !conv_id || !peer) return -1;
    int rc = -1;
    const size_t n = std::min<size_t>(peer->device_count, 5);
    for (size_t i = 0; i < n; i++)
        if (cs_dm_init_device(cs->cfg.store, cs->cfg.keys, conv_id, &peer->devices[i], 0, wall_ms()) == 0) rc = 0;
    return rc;
}

int quorvane_cs_dm_self_only(quorvane_msgstore *ms, const uint8_t conv_id[16], const uint8_t own_user[16]) {
    if (!ms || !conv_id || !own_user) return 0;
    uint8_t devices[QV_SR_DEVICES][32], own[5][32];
    const size_t n = std::min(quorvane_msgstore_ratchet_devices(ms, conv_id, devices, QV_SR_DEVICES), QV_SR_DEVICES);
    const size_t o = std::min<size_t>(quorvane_msgstore_member_devices(ms, conv_id, own_user, own, nullptr, 5), 5);
    if (n == 0) return 0;
    for (size_t i = 0; i < n; i++) {
        bool mine = false;
        for (size_t j = 0; j < o && !mine; j++) mine = std::memcmp(devices[i], own[j], 32) == 0;
        if (!mine) return 0;
    }
    return 1;
}

int quorvane_cs_dm_reset(quorvane_cs *cs, const uint8_t conv_id[16]) {
    if (!cs || !cs->cfg.store || !conv_id) return -1;
    quorvane_msgstore *ms = cs->cfg.store;
    uint8_t devices[QV_SR_DEVICES][32], own[5][32];
    const size_t n = std::min(quorvane_msgstore_ratchet_devices(ms, conv_id, devices, QV_SR_DEVICES), QV_SR_DEVICES);
    const size_t o = std::min<size_t>(quorvane_msgstore_member_devices(ms, conv_id, cs->user_id, own, nullptr, 5), 5);
    std::unique_ptr<wiped_buf> rec;
    int count = 0;
    for (size_t i = 0; i < n; i++) {
        bool mine = false;
        for (size_t j = 0; j < o && !mine; j++) mine = std::memcmp(devices[i], own[j], 32) == 0;
        if (mine) continue;
        if (!rec) rec = std::make_unique<wiped_buf>(QV_SR_MAX);
        const size_t rl = quorvane_msgstore_get_ratchet(ms, conv_id, devices[i], rec->data(), rec->size());
        // a session that cannot be kept aside stays current rather than being lost
        if (rl > 0 && cs_rt_set_aside(ms, conv_id, devices[i], rec->data(), rl, wall_ms()) != 0) continue;
        if (quorvane_msgstore_drop_ratchet(ms, conv_id, devices[i]) == 0) count++;
    }
    n_log(LOG_NOTICE, "dm: conv %02x%02x%02x%02x: secure session reset, %d pair(s) set aside (D-132)", conv_id[0], conv_id[1],
          conv_id[2], conv_id[3], count);
    return count;
}
