#include "client_authed.h"

#include "client_account.h"
#include "client_community.h"
#include "client_session.h"
#include "n_log.h"
#include "quorvane_crypto.h"
#include "quorvane_proto.h"
#include "quorvane_x3dh.h"

#include <cstring>
#include <ctime>
#include <memory>

namespace {

// Server frames of the signed-in exchange handled here.
constexpr uint8_t FT_PREKEYS = 135, FT_ACK = 136, FT_ENVELOPE = 137, FT_SYNC_DONE = 139, FT_SYNC_DONE_2 = 150,
                  FT_CONV_INFO = 151, FT_CONV_REMOVED = 154, FT_HISTORY_ENVELOPE = 170, FT_KEY_REQUEST = 176;
constexpr uint8_t TAG_IDENTITY = 3, TAG_DEV_X = 4, TAG_DEV_ED = 5, TAG_CERT = 6, TAG_USER_ID = 14, TAG_CONV = 17,
                  TAG_SEALED_KEY = 18, TAG_MEMBER = 19, TAG_ENVELOPE = 20, TAG_POSITION = 21, TAG_ROLE = 28,
                  TAG_KIND = 38, TAG_SPK = 46, TAG_SPK_SIG = 47, TAG_SPK_ID = 48, TAG_OTK = 49, TAG_OTK_ID = 50,
                  TAG_MEMBER_DEVICE = 55, TAG_MUTED = 77, TAG_OLD_KEYS = 84, TAG_READ_MARK = 100;
constexpr size_t SEALED_KEY_LEN = 32 + QV_SEAL_OVERHEAD;
constexpr size_t OLD_KEYS_MIN = 17, OLD_KEYS_MAX = 16 + QV_OLD_KEYS_SEALED_MAX + QV_SEAL_OVERHEAD;
constexpr size_t MEMBER_DEVICE_LEN = 32 + 32 + 64;
constexpr size_t MEMBER_DEVICES_MAX = 5;

static_assert(OLD_KEYS_MAX == 288);

uint32_t be32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

int payload_of(const uint8_t *frame, size_t len, uint8_t *type, const uint8_t **p, size_t *plen) {
    quorvane_frame_header h{};
    if (!frame || quorvane_frame_parse_header(frame, len, &h) != 0 || len - QV_FRAME_HEADER_LEN < h.length) return -1;
    *type = h.type;
    *p = frame + QV_FRAME_HEADER_LEN;
    *plen = h.length;
    return 0;
}

void on_prekeys(quorvane_cs *cs, const uint8_t *p, size_t len) {
    cs_authed_state &a = cs->authed;
    if (a.prekey_count == QV_PREKEY_RING) {
        n_log(LOG_NOTICE, "session: prekeys queue full, oldest reply dropped");
        quorvane_cleanse(&a.prekeys[a.prekey_head], sizeof a.prekeys[0]);
        a.prekey_head = (a.prekey_head + 1) % QV_PREKEY_RING;
        a.prekey_count--;
    }
    quorvane_prekey_reply &slot = a.prekeys[(a.prekey_head + a.prekey_count) % QV_PREKEY_RING];
    cs_prekey_reply_parse(p, len, &slot);
    a.prekey_count++;
    if (a.prekeys_in_flight > 0) a.prekeys_in_flight--;
}

void on_ack(quorvane_cs *cs, const uint8_t *p, size_t len) {
    cs_authed_state &a = cs->authed;
    quorvane_send_result r{};
    if (cs_pending_pop(&a.pending, r.conv_id, &r.counter) != 1) return;
    const uint8_t *v = nullptr;
    size_t vl = 0;
    uint64_t pos = 0;
    r.ok = quorvane_tlv_find(p, len, TAG_POSITION, &v, &vl) == 0 && quorvane_tlv_get_u64(v, vl, &pos) == 0 && pos != 0;
    if (a.result_count == QV_SEND_RESULTS) {
        a.result_head = (a.result_head + 1) % QV_SEND_RESULTS;
        a.result_count--;
    }
    a.results[(a.result_head + a.result_count) % QV_SEND_RESULTS] = r;
    a.result_count++;
}

void on_envelope(quorvane_cs *cs, const uint8_t *p, size_t len, int history) {
    const uint8_t *env = nullptr, *v = nullptr;
    size_t el = 0, vl = 0;
    if (quorvane_tlv_find_bytes(p, len, TAG_ENVELOPE, QV_ENV_OVERHEAD, QV_ENV_MAX_LEN, &env, &el) != 0) return;
    uint64_t pos = 0;
    if (quorvane_tlv_find(p, len, TAG_POSITION, &v, &vl) == 0 && quorvane_tlv_get_u64(v, vl, &pos) != 0) pos = 0;
    deliver_envelope(cs, env, el, pos, history);
}

void on_sync_done(quorvane_cs *cs) {
    if (const size_t ended = quorvane_msgstore_sync_ended(cs->cfg.store))
        n_log(LOG_INFO, "session: %zu held envelope(s) the sync did not bring again: no longer waited for", ended);
    if (cs->cfg.store && quorvane_msgstore_flush(cs->cfg.store) != 0)
        n_log(LOG_WARNING, "session: sync cursors could not be written");
    cs->authed.last_sync = static_cast<uint64_t>(std::time(nullptr));
}

// Opens a key sealed to this device; 1 with exactly `want` bytes (or a multiple
// of 32 up to `cap` when want is 0), else 0 with nothing left in out.
int open_sealed(const quorvane_cs *cs, const uint8_t *box, size_t box_len, uint8_t *out, size_t cap, size_t want, size_t *got) {
    const quorvane_device_keys *k = cs->cfg.keys;
    size_t n = 0;
    if (!k || quorvane_open(k->device_x25519_priv, box, box_len, out, cap, &n) != 0) return 0;
    if ((want && n != want) || (!want && (n == 0 || n % 32 != 0))) {
        quorvane_cleanse(out, cap);
        return 0;
    }
    *got = n;
    return 1;
}

// A member's listed devices count only under the identity first recorded for it
// (for us, our own): the list comes from the server, which could otherwise name
// anyone under a key of its making with devices that key certifies, and speak
// as them through those devices.
bool identity_trusted(const quorvane_cs *cs, quorvane_msgstore *ms, const cs_conv_member &m) {
    if (std::memcmp(m.user_id, cs->user_id, 16) == 0)
        return cs->cfg.keys && std::memcmp(m.identity, cs->cfg.keys->identity_pub, 32) == 0;
    return quorvane_msgstore_identity_tofu(ms, m.user_id, m.identity) != -1;
}

void apply_members(quorvane_cs *cs, quorvane_msgstore *ms, const cs_conv_info &ci) {
    const size_t n = ci.member_count;
    if (n == 0) return;
    uint8_t users[QV_CONV_MEMBERS][16], idents[QV_CONV_MEMBERS][32], seconds[QV_CONV_MEMBERS][32];
    uint8_t roles[QV_CONV_MEMBERS], muted[QV_CONV_MEMBERS];
    for (size_t i = 0; i < n; i++) {
        std::memcpy(users[i], ci.members[i].user_id, 16);
        std::memcpy(idents[i], ci.members[i].identity, 32);
        std::memcpy(seconds[i], ci.members[i].second, 32);
        roles[i] = ci.members[i].role;
        muted[i] = ci.members[i].muted;
    }
    if (quorvane_msgstore_set_members(ms, ci.conv_id, users, idents, seconds, roles, n) != 0 ||
        quorvane_msgstore_set_member_muted(ms, ci.conv_id, users, muted, n) != 0)
        n_log(LOG_WARNING, "session: member list could not be stored");
    size_t others = 0, peer = 0;
    for (size_t i = 0; i < n; i++) {
        const cs_conv_member &m = ci.members[i];
        if (m.device_count && !identity_trusted(cs, ms, m)) {
            n_log(LOG_WARNING, "session: devices listed under another identity key than the one known for %02x%02x%02x%02x ignored",
                  m.user_id[0], m.user_id[1], m.user_id[2], m.user_id[3]);
        } else if (m.device_count) {
            uint8_t first[5][32], second[5][32];
            for (size_t d = 0; d < m.device_count; d++) {
                std::memcpy(first[d], m.devices[d][0], 32);
                std::memcpy(second[d], m.devices[d][1], 32);
            }
            if (quorvane_msgstore_set_member_devices(ms, ci.conv_id, m.user_id, first, second, m.device_count) != 0)
                n_log(LOG_WARNING, "session: member devices could not be stored");
        }
        if (std::memcmp(m.user_id, cs->user_id, 16) != 0) {
            others++;
            peer = i;
        }
    }
    if (others == 1 && quorvane_msgstore_set_peer(ms, ci.conv_id, ci.members[peer].user_id, ci.members[peer].identity) != 0)
        n_log(LOG_WARNING, "session: peer could not be stored");
}

void on_conv_info(quorvane_cs *cs, const uint8_t *p, size_t len) {
    quorvane_msgstore *ms = cs->cfg.store;
    if (!ms) return;
    auto ci = std::make_unique<cs_conv_info>();
    if (cs_conv_info_parse(p, len, ci.get()) == 0) {
        uint8_t key[32], old[QV_OLD_KEYS_SEALED_MAX];
        size_t n = 0;
        uint8_t held[QV_MS_OLD_KEYS + 1][32];
        const size_t held_count = quorvane_msgstore_get_conv_keys(ms, ci->conv_id, held, QV_MS_OLD_KEYS + 1);
        if (!open_sealed(cs, ci->sealed_key, SEALED_KEY_LEN, key, sizeof key, 32, &n)) {
            uint8_t held[32];
            if (quorvane_msgstore_get_conv(ms, ci->conv_id, held) == 1) cs->authed.stale_keys++;
            quorvane_cleanse(held, sizeof held);
            if (quorvane_msgstore_put_conv_locked(ms, ci->conv_id) != 0) n_log(LOG_WARNING, "session: conversation could not be stored");
        } else {
            // a key other than the held one does not replace it outright: the store keeps
            // the held key first among the older ones, so what it sealed still opens
            if (quorvane_msgstore_put_conv(ms, ci->conv_id, key) != 0) n_log(LOG_WARNING, "session: conversation key could not be stored");
            size_t on = 0;
            if (ci->old_keys && open_sealed(cs, ci->old_keys + 16, ci->old_keys_len - 16, old, sizeof old, 0, &on)) {
                if (quorvane_msgstore_add_old_keys(ms, ci->conv_id, reinterpret_cast<const uint8_t(*)[32]>(old), on / 32) < 0)
                    n_log(LOG_WARNING, "session: older keys could not be stored");
                quorvane_cleanse(old, sizeof old);
            }
        }
        quorvane_cleanse(key, sizeof key);
        // newer keys: what was set aside may open now, and a held envelope is worth a sync
        uint8_t now[QV_MS_OLD_KEYS + 1][32];
        const size_t now_count = quorvane_msgstore_get_conv_keys(ms, ci->conv_id, now, QV_MS_OLD_KEYS + 1);
        if (now_count != held_count || std::memcmp(now, held, 32 * now_count) != 0) {
            cs_retry_unopened(cs, ci->conv_id);
            if (quorvane_msgstore_hold_position(ms, ci->conv_id)) cs->deliver.sync_wanted = 1;
        }
        quorvane_cleanse(held, sizeof held);
        quorvane_cleanse(now, sizeof now);
        if (ci->has_kind && quorvane_msgstore_set_kind(ms, ci->conv_id, ci->kind) != 0)
            n_log(LOG_DEBUG, "session: conversation kind %u not taken", ci->kind);
        if (ci->has_read_mark && quorvane_msgstore_set_read_mark(ms, ci->conv_id, ci->read_mark) == 1) cs->authed.read_marks_epoch++;
        apply_members(cs, ms, *ci);
    }
    if (cs->deliver.sync_wanted) {
        cs->deliver.sync_wanted = 0;
        if (quorvane_cs_sync(cs) != 0) n_log(LOG_WARNING, "session: sync request could not be sent");
    }
}

void on_conv_removed(quorvane_cs *cs, const uint8_t *p, size_t len) {
    const uint8_t *id = nullptr;
    if (!cs->cfg.store || quorvane_tlv_find_fixed(p, len, TAG_CONV, 16, &id) != 0) return;
    if (quorvane_msgstore_delete_conv(cs->cfg.store, id) != 0) n_log(LOG_WARNING, "session: removed conversation could not be deleted");
}

void on_key_request(quorvane_cs *cs, const uint8_t *p, size_t len) {
    cs_authed_state &a = cs->authed;
    if (a.key_request_count >= QV_KEY_REQUESTS) return;
    const uint8_t *conv, *user, *ident, *x, *ed, *cert;
    if (quorvane_tlv_find_fixed(p, len, TAG_CONV, 16, &conv) != 0 || quorvane_tlv_find_fixed(p, len, TAG_USER_ID, 16, &user) != 0 ||
        quorvane_tlv_find_fixed(p, len, TAG_IDENTITY, 32, &ident) != 0 || quorvane_tlv_find_fixed(p, len, TAG_DEV_X, 32, &x) != 0 ||
        quorvane_tlv_find_fixed(p, len, TAG_DEV_ED, 32, &ed) != 0 || quorvane_tlv_find_fixed(p, len, TAG_CERT, 64, &cert) != 0)
        return;
    quorvane_key_request &r = a.key_requests[(a.key_request_head + a.key_request_count) % QV_KEY_REQUESTS];
    std::memcpy(r.conv_id, conv, 16);
    std::memcpy(r.user_id, user, 16);
    std::memcpy(r.identity, ident, 32);
    std::memcpy(r.dev_x, x, 32);
    std::memcpy(r.dev_ed, ed, 32);
    std::memcpy(r.cert, cert, 64);
    a.key_request_count++;
}

}  // namespace

/* ---- parsers ---- */

int cs_prekey_reply_parse(const uint8_t *p, size_t len, quorvane_prekey_reply *out) {
    if (!out) return -1;
    std::memset(out, 0, sizeof *out);
    if (!p) return 0;
    const uint8_t *uid = nullptr, *ident = nullptr, *x = nullptr, *ed = nullptr;
    const bool has_uid = quorvane_tlv_find_fixed(p, len, TAG_USER_ID, 16, &uid) == 0;
    const bool has_ident = quorvane_tlv_find_fixed(p, len, TAG_IDENTITY, 32, &ident) == 0;
    const bool has_x = quorvane_tlv_find_fixed(p, len, TAG_DEV_X, 32, &x) == 0;
    const bool has_ed = quorvane_tlv_find_fixed(p, len, TAG_DEV_ED, 32, &ed) == 0;
    if (has_uid) std::memcpy(out->user_id, uid, 16);
    if (has_ident) std::memcpy(out->identity, ident, 32);
    if (has_x) std::memcpy(out->first.dev_x, x, 32);
    if (has_ed) std::memcpy(out->first.dev_ed, ed, 32);
    out->complete = has_uid && has_ident && has_x && has_ed;

    // Device list: a 4 then a 5 opens a device; prekey tags belong to the device
    // last opened. A pair past the fifth device is ignored with what follows it.
    quorvane_tlv_reader r;
    quorvane_tlv_reader_init(&r, p, len);
    uint8_t tag = 0;
    const uint8_t *v = nullptr;
    size_t vl = 0;
    const uint8_t *held_x = nullptr;
    quorvane_prekey_device *cur = nullptr;
    while (quorvane_tlv_next(&r, &tag, &v, &vl) == 0) {
        if (tag == TAG_DEV_X && vl == 32) {
            held_x = v;
            continue;
        }
        if (tag == TAG_DEV_ED && vl == 32 && held_x) {
            if (out->device_count < QV_PREKEY_DEVICES) {
                cur = &out->devices[out->device_count++];
                std::memcpy(cur->dev_x, held_x, 32);
                std::memcpy(cur->dev_ed, v, 32);
            } else {
                cur = nullptr;
            }
            held_x = nullptr;
            continue;
        }
        if (!cur) continue;
        if (tag == TAG_SPK && vl == 32) {
            cur->has_spk = 1;
            std::memcpy(cur->spk, v, 32);
        } else if (tag == TAG_SPK_SIG && vl == 64) {
            std::memcpy(cur->sig, v, 64);
        } else if (tag == TAG_SPK_ID && vl == 4) {
            cur->spk_id = be32(v);
        } else if (tag == TAG_OTK && vl == 32) {
            cur->has_otk = 1;
            std::memcpy(cur->otk, v, 32);
        } else if (tag == TAG_OTK_ID && vl == 4) {
            cur->otk_id = be32(v);
        }
    }
    if (out->device_count > 0) {
        const quorvane_prekey_device &d0 = out->devices[0];
        out->first.has_spk = d0.has_spk;
        std::memcpy(out->first.spk, d0.spk, 32);
        std::memcpy(out->first.sig, d0.sig, 64);
        out->first.spk_id = d0.spk_id;
        out->first.has_otk = d0.has_otk;
        std::memcpy(out->first.otk, d0.otk, 32);
        out->first.otk_id = d0.otk_id;
    }
    return 0;
}

int cs_conv_info_parse(const uint8_t *p, size_t len, cs_conv_info *out) {
    if (!p || !out) return -1;
    std::memset(out, 0, sizeof *out);
    const uint8_t *id = nullptr, *v = nullptr;
    size_t vl = 0;
    if (quorvane_tlv_find_fixed(p, len, TAG_CONV, 16, &id) != 0 || quorvane_tlv_find_fixed(p, len, TAG_SEALED_KEY, SEALED_KEY_LEN, &out->sealed_key) != 0)
        return -1;
    std::memcpy(out->conv_id, id, 16);
    if (quorvane_tlv_find_bytes(p, len, TAG_OLD_KEYS, OLD_KEYS_MIN, OLD_KEYS_MAX, &v, &vl) == 0) {
        out->old_keys = v;
        out->old_keys_len = vl;
    }
    if (quorvane_tlv_find(p, len, TAG_KIND, &v, &vl) == 0 && quorvane_tlv_get_u8(v, vl, &out->kind) == 0) out->has_kind = 1;
    if (quorvane_tlv_find(p, len, TAG_READ_MARK, &v, &vl) == 0 && quorvane_tlv_get_u64(v, vl, &out->read_mark) == 0)
        out->has_read_mark = 1;

    // Member list in order: a 19 names the next member, a 3 after it adds the
    // member; the tags after that describe the member last added.
    quorvane_tlv_reader r;
    quorvane_tlv_reader_init(&r, p, len);
    uint8_t tag = 0;
    const uint8_t *next_id = nullptr;
    cs_conv_member *cur = nullptr;
    while (quorvane_tlv_next(&r, &tag, &v, &vl) == 0) {
        if (tag == TAG_MEMBER && vl == 16) {
            next_id = v;
        } else if (tag == TAG_IDENTITY && vl == 32 && next_id) {
            cur = nullptr;
            if (out->member_count < QV_CONV_MEMBERS) {
                cur = &out->members[out->member_count++];
                std::memcpy(cur->user_id, next_id, 16);
                std::memcpy(cur->identity, v, 32);
            }
            next_id = nullptr;
        } else if (!cur) {
            continue;
        } else if (tag == TAG_DEV_X && vl == 32) {
            std::memcpy(cur->second, v, 32);
        } else if (tag == TAG_ROLE && vl == 1) {
            cur->role = v[0];
        } else if (tag == TAG_MUTED && vl == 1) {
            cur->muted = v[0];
        } else if (tag == TAG_MEMBER_DEVICE && vl == MEMBER_DEVICE_LEN && cur->device_count < MEMBER_DEVICES_MAX) {
            // a device the member's identity did not certify never joins the list
            if (quorvane_device_cert_verify(cur->identity, v, v + 32, v + 64) != 0) continue;
            std::memcpy(cur->devices[cur->device_count][0], v, 32);
            std::memcpy(cur->devices[cur->device_count][1], v + 32, 32);
            cur->device_count++;
        }
    }
    return 0;
}

/* ---- dispatch ---- */

void handle_authed_frame(quorvane_cs *cs, const uint8_t *frame, size_t len) {
    uint8_t type = 0;
    const uint8_t *p = nullptr;
    size_t plen = 0;
    if (!cs || payload_of(frame, len, &type, &p, &plen) != 0) return;
    switch (type) {
    case FT_PREKEYS: on_prekeys(cs, p, plen); break;
    case FT_ACK: on_ack(cs, p, plen); break;
    case FT_ENVELOPE: on_envelope(cs, p, plen, 0); break;
    case FT_HISTORY_ENVELOPE: on_envelope(cs, p, plen, 1); break;
    case FT_SYNC_DONE:
    case FT_SYNC_DONE_2: on_sync_done(cs); break;
    case FT_CONV_INFO: on_conv_info(cs, p, plen); break;
    case FT_CONV_REMOVED: on_conv_removed(cs, p, plen); break;
    case FT_KEY_REQUEST: on_key_request(cs, p, plen); break;
    default:
        // account, device and presence frames, blob and emoji-pack replies, then conversations and communities
        if (cs_account_frame(cs, type, p, plen) || cs_transfer_frame(cs, type, p, plen)) break;
        (void)cs_community_frame(cs, type, p, plen);
        break;
    }
}
