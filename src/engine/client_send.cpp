#include "client_send.h"

#include "client_seal.h"
#include "client_session.h"
#include "n_log.h"
#include "quorvane_bytes.h"
#include "quorvane_crypto.h"
#include "quorvane_proto.h"
#include "quorvane_x3dh.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

using wiped_buf = qv_bytes::secret_vec;

constexpr uint8_t MS_STATUS_SENT_HERE = 1;

bool ready(const quorvane_cs *cs, const uint8_t *conv_id, bool need_store = true) {
    return cs && cs->state == QV_CS_SIGNED_IN && conv_id && (!need_store || cs->cfg.store);
}

// A zeroed message record wiped however its scope is left: it holds a body.
struct msgrec_guard {
    quorvane_ms_msgrec r{};
    ~msgrec_guard() { quorvane_cleanse(&r, sizeof r); }
};

// Seals a body and, when it went out and the kind keeps one, writes the own
// copy; the copy's store result is deliberately not the caller's result.
int send_body(quorvane_cs *cs, const uint8_t conv_id[16], const uint8_t *body, size_t len, uint8_t type, const void *kept,
              size_t kept_len) {
    uint64_t counter = 0, time_ms = 0;
    uint8_t device[32];
    if (cs_seal_send(cs, conv_id, body, len, &counter, &time_ms, device) != 0) return -1;
    if (type == 0 || kept_len > QV_MS_TEXT_MAX) return 0;
    msgrec_guard g;
    std::memcpy(g.r.conv_id, conv_id, 16);
    std::memcpy(g.r.author, cs->user_id, 16);
    std::memcpy(g.r.author_device, device, 32);
    g.r.msg_id = counter;
    g.r.time = time_ms;
    g.r.type = type;
    g.r.send_status = MS_STATUS_SENT_HERE;
    if (kept_len) std::memcpy(g.r.text, kept, kept_len);
    g.r.text_len = kept_len;
    if (quorvane_msgstore_add_msg(cs->cfg.store, &g.r) < 0)
        n_log(LOG_WARNING, "send: conv %02x%02x%02x%02x: own copy of message %llu not stored", conv_id[0], conv_id[1], conv_id[2],
              conv_id[3], static_cast<unsigned long long>(counter));
    return 0;
}

size_t text_len(const char *text, size_t max) {
    return text ? strnlen(text, max + 1) : 0;
}

// The body in buf is wrapped for one device of the peer when a target is given.
int send_targeted(quorvane_cs *cs, const uint8_t conv_id[16], const uint8_t *target, uint8_t *buf, size_t len, size_t cap) {
    const size_t wl = cs_targetdev_wrap(target, buf, len, cap);
    if (wl == 0) return -1;
    return send_body(cs, conv_id, buf, wl, 0, nullptr, 0);
}

bool lists_user(const quorvane_member *members, size_t n, const uint8_t user[16]) {
    for (size_t i = 0; i < n; i++)
        if (std::memcmp(members[i].user_id, user, 16) == 0) return true;
    return false;
}

// Frame 17 with `key` sealed to every member and device; `grant` may append
// one record after the member entries before the frame leaves.
template <typename Extra>
int send_group_key(quorvane_cs *cs, const uint8_t conv_id[16], const uint8_t key[32], const quorvane_member *members, size_t n,
                   Extra &&extra) {
    wiped_buf body(QV_CONV_PAYLOAD_MAX);
    size_t bl = 0;
    if (build_conv_payload(conv_id, key, members, n, -1, body.data(), &bl) != 0) return -1;
    extra(body.data(), &bl, body.size());
    return send_frame_large(cs, QV_FT_GROUP_KEY, body.data(), bl) == 0 ? 0 : -1;
}

void no_extra(uint8_t *, size_t *, size_t) {}

// Text and system bodies: 1-4096 bytes, the plain text kept as the own copy.
int send_plain(quorvane_cs *cs, const uint8_t conv_id[16], const char *text, size_t (*encode)(const char *, size_t, uint8_t *, size_t),
               uint8_t type) {
    const size_t n = text_len(text, QV_SEND_TEXT_MAX);
    if (!ready(cs, conv_id) || n < 1 || n > QV_SEND_TEXT_MAX) return -1;
    wiped_buf b(QV_SEND_TEXT_BUF);
    const size_t bl = encode(text, n, b.data(), b.size());
    return bl ? send_body(cs, conv_id, b.data(), bl, type, text, n) : -1;
}

// File, voice and link: the record encoded, the encoded body kept as the own copy.
template <typename Rec>
int send_record(quorvane_cs *cs, const uint8_t conv_id[16], const Rec *rec, size_t (*encode)(const Rec *, uint8_t *, size_t),
                size_t cap, uint8_t type) {
    if (!ready(cs, conv_id) || !rec) return -1;
    wiped_buf b(cap);  // carries the blob key
    const size_t bl = encode(rec, b.data(), b.size());
    return bl ? send_body(cs, conv_id, b.data(), bl, type, b.data(), bl) : -1;
}

}  // namespace

/* ---- messages that leave an own copy ---- */

int quorvane_cs_send_text(quorvane_cs *cs, const uint8_t conv_id[16], const char *text) {
    return send_plain(cs, conv_id, text, quorvane_msg_text_encode, QV_MSG_TEXT);
}

int quorvane_cs_send_system(quorvane_cs *cs, const uint8_t conv_id[16], const char *text) {
    return send_plain(cs, conv_id, text, quorvane_msg_system_encode, QV_MSG_SYSTEM);
}

int quorvane_cs_send_sticker(quorvane_cs *cs, const uint8_t conv_id[16], const char *name, uint32_t value) {
    const size_t n = text_len(name, QV_MSG_NAME_MAX);
    if (!ready(cs, conv_id) || n < 1 || n > QV_MSG_NAME_MAX) return -1;
    quorvane_sticker s{};
    s.version = value;
    std::memcpy(s.name, name, n);
    wiped_buf b(QV_SEND_STICKER_BUF);
    const size_t bl = quorvane_msg_sticker_encode(&s, b.data(), b.size());
    return bl ? send_body(cs, conv_id, b.data(), bl, QV_MSG_STICKER, name, n) : -1;
}

int quorvane_cs_send_reply(quorvane_cs *cs, const uint8_t conv_id[16], const uint8_t author[16], uint64_t counter, const char *text) {
    const size_t n = text_len(text, QV_SEND_QUOTE_MAX);
    if (!ready(cs, conv_id) || !author || n < 1 || n > QV_SEND_QUOTE_MAX) return -1;
    wiped_buf b(QV_SEND_TEXT_BUF);
    const size_t bl = quorvane_msg_reply_encode(author, counter, text, n, b.data(), b.size());
    return bl ? send_body(cs, conv_id, b.data(), bl, QV_MSG_REPLY, b.data(), bl) : -1;
}

int quorvane_cs_send_file(quorvane_cs *cs, const uint8_t conv_id[16], const quorvane_file_meta *meta) {
    return send_record(cs, conv_id, meta, quorvane_msg_file_encode, QV_SEND_FILE_BUF, QV_MSG_FILE);
}

int quorvane_cs_send_voice(quorvane_cs *cs, const uint8_t conv_id[16], const quorvane_voice_meta *voice) {
    return send_record(cs, conv_id, voice, quorvane_msg_voice_encode, QV_SEND_VOICE_BUF, QV_MSG_VOICE);
}

int quorvane_cs_send_link(quorvane_cs *cs, const uint8_t conv_id[16], const quorvane_link_meta *link) {
    return send_record(cs, conv_id, link, quorvane_msg_link_encode, QV_SEND_LINK_BUF, QV_MSG_LINK);
}

/* ---- messages that change earlier ones ---- */

int quorvane_cs_send_edit(quorvane_cs *cs, const uint8_t conv_id[16], const uint8_t *target_dev, uint64_t counter, const char *text) {
    const size_t n = text_len(text, QV_SEND_QUOTE_MAX);
    if (!ready(cs, conv_id) || n < 1 || n > QV_SEND_QUOTE_MAX) return -1;
    wiped_buf b(QV_SEND_EDIT_BUF);
    const size_t bl = quorvane_msg_edit_encode(cs->user_id, counter, text, n, b.data(), b.size());
    if (bl == 0 || send_targeted(cs, conv_id, target_dev, b.data(), bl, b.size()) != 0) return -1;
    return quorvane_msgstore_edit_msg(cs->cfg.store, conv_id, cs->user_id, target_dev, counter, text, n) < 0 ? -1 : 0;
}

int quorvane_cs_send_reaction(quorvane_cs *cs, const uint8_t conv_id[16], const uint8_t author[16], const uint8_t *target_dev,
                              uint64_t counter, const char *name, int add) {
    if (!ready(cs, conv_id) || !author || !name) return -1;
    uint8_t b[QV_SEND_SMALL_BUF];
    const size_t bl = quorvane_msg_reaction_encode(author, counter, add, name, b, sizeof b);
    const int rc = bl ? send_targeted(cs, conv_id, target_dev, b, bl, sizeof b) : -1;
    quorvane_cleanse(b, sizeof b);
    if (rc != 0) return -1;
    return quorvane_msgstore_set_reaction(cs->cfg.store, conv_id, author, target_dev, counter, cs->user_id, name, add) < 0 ? -1 : 0;
}

int quorvane_cs_send_delete(quorvane_cs *cs, const uint8_t conv_id[16], const uint8_t author[16], const uint8_t *target_dev,
                            uint64_t counter) {
    if (!ready(cs, conv_id) || !author) return -1;
    if (quorvane_msgstore_can_delete(cs->cfg.store, conv_id, cs->user_id, author) != 1 && cs->role != 1) return -1;
    uint8_t b[QV_SEND_SMALL_BUF];
    const size_t bl = quorvane_msg_delete_encode(author, counter, b, sizeof b);
    const int rc = bl ? send_targeted(cs, conv_id, target_dev, b, bl, sizeof b) : -1;
    quorvane_cleanse(b, sizeof b);
    if (rc != 0) return -1;
    return quorvane_msgstore_delete_msg(cs->cfg.store, conv_id, author, target_dev, counter) < 0 ? -1 : 0;
}

/* ---- profile and group meta ---- */

int quorvane_cs_send_profile(quorvane_cs *cs, const uint8_t conv_id[16]) {
    if (!ready(cs, conv_id, false)) return -1;
    char name[QV_MS_NAME_MAX + 1] = {}, about[QV_MS_ABOUT_MAX + 1] = {};
    if (cs->cfg.store) (void)quorvane_msgstore_get_self_profile(cs->cfg.store, name, sizeof name, about, sizeof about);
    const size_t nl = strnlen(name, QV_MSG_PROFILE_NAME_MAX), al = strnlen(about, QV_MSG_PROFILE_ABOUT_MAX);
    if (nl == 0 && al == 0) return 0;
    uint8_t b[QV_SEND_PROFILE_BUF];
    const size_t bl = quorvane_msg_profile_encode(name, nl, about, al, b, sizeof b);
    const int rc = bl ? send_body(cs, conv_id, b, bl, 0, nullptr, 0) : -1;
    quorvane_cleanse(b, sizeof b);
    return rc;
}

int quorvane_cs_send_avatar(quorvane_cs *cs, const uint8_t conv_id[16]) {
    if (!ready(cs, conv_id, false)) return -1;
    if (!cs->cfg.store) return 0;
    quorvane_file_meta av{};
    int rc = 0;
    if (quorvane_msgstore_get_self_avatar(cs->cfg.store, &av) == 1) {
        uint8_t b[QV_SEND_FILE_BUF];
        const size_t bl = quorvane_msg_avatar_encode(&av, b, sizeof b);
        rc = bl ? send_body(cs, conv_id, b, bl, 0, nullptr, 0) : -1;
        quorvane_cleanse(b, sizeof b);
    }
    quorvane_cleanse(&av, sizeof av);  // the avatar's blob key
    return rc;
}

int quorvane_cs_send_group_avatar(quorvane_cs *cs, const uint8_t conv_id[16], const quorvane_file_meta *avatar) {
    if (!ready(cs, conv_id) || !avatar) return -1;
    uint8_t b[QV_SEND_FILE_BUF];
    const size_t bl = quorvane_msg_group_avatar_encode(avatar, b, sizeof b);
    const int rc = bl ? send_body(cs, conv_id, b, bl, 0, nullptr, 0) : -1;
    quorvane_cleanse(b, sizeof b);
    if (rc != 0) return -1;
    return quorvane_msgstore_set_group_avatar(cs->cfg.store, conv_id, avatar) < 0 ? -1 : 0;
}

int quorvane_cs_send_group_name(quorvane_cs *cs, const uint8_t conv_id[16], const char *name) {
    if (!ready(cs, conv_id) || !name) return -1;
    const size_t n = strnlen(name, QV_MSG_GROUP_NAME_MAX);
    uint8_t b[QV_SEND_GROUP_BUF];
    const size_t bl = quorvane_msg_group_encode(name, n, b, sizeof b);
    const int rc = bl ? send_body(cs, conv_id, b, bl, 0, nullptr, 0) : -1;
    quorvane_cleanse(b, sizeof b);
    if (rc != 0) return -1;
    return quorvane_msgstore_set_group_name(cs->cfg.store, conv_id, name) < 0 ? -1 : 0;
}

void cs_reannounce_group_meta(quorvane_cs *cs, const uint8_t conv_id[16]) {
    if (!ready(cs, conv_id)) return;
    char name[QV_MS_LABEL_MAX + 1] = {};
    if (quorvane_msgstore_get_group_name(cs->cfg.store, conv_id, name, sizeof name) == 1)
        (void)quorvane_cs_send_group_name(cs, conv_id, name);
    quorvane_file_meta av{};
    if (quorvane_msgstore_get_group_avatar(cs->cfg.store, conv_id, &av) == 1) (void)quorvane_cs_send_group_avatar(cs, conv_id, &av);
    quorvane_cleanse(&av, sizeof av);
}

/* ---- group keys ---- */

// The new key becomes current only after its frame was queued: storing it first
// and keeping it when the send failed would seal our later messages under a key
// no other member holds. put_conv moves the replaced key into the older keys.
int quorvane_cs_group_rekey(quorvane_cs *cs, const uint8_t conv_id[16], const uint8_t key[32], const quorvane_member *members,
                            size_t n) {
    if (!ready(cs, conv_id) || !key || !members || n < 1) return -1;
    if (send_group_key(cs, conv_id, key, members, n, no_extra) != 0) return -1;
    if (quorvane_msgstore_put_conv(cs->cfg.store, conv_id, key) != 0) {
        // the store keeps a change it could not write in memory: the key is ours as
        // long as it is current there, and is written with the next change
        uint8_t held[32];
        const bool current = quorvane_msgstore_get_conv(cs->cfg.store, conv_id, held) == 1 && quorvane_ct_eq(held, key, 32);
        quorvane_cleanse(held, sizeof held);
        n_log(LOG_ERR, "send: conv %02x%02x%02x%02x: new group key sent but not written", conv_id[0], conv_id[1], conv_id[2],
              conv_id[3]);
        if (!current) return -1;
    }
    if (lists_user(members, n, cs->user_id)) cs_reannounce_group_meta(cs, conv_id);
    return 0;
}

int quorvane_cs_group_rekey_exclude(quorvane_cs *cs, const uint8_t conv_id[16], const quorvane_member *members, size_t n,
                                    const uint8_t device[32]) {
    if (!ready(cs, conv_id) || !members || n < 1 || !device) return -1;
    std::vector<quorvane_member> kept(members, members + n);
    for (quorvane_member &m : kept) {
        const size_t count = std::min<uint64_t>(m.device_count, 5);
        size_t w = 0;
        for (size_t d = 0; d < count; d++) {
            if (std::memcmp(m.devices[d], device, 32) == 0) continue;
            if (w != d) std::memcpy(m.devices[w], m.devices[d], sizeof m.devices[d]);
            w++;
        }
        for (size_t d = w; d < 5; d++) quorvane_cleanse(m.devices[d], sizeof m.devices[d]);
        if (m.device_count <= 5) m.device_count = w;
    }
    uint8_t key[32];
    int rc = -1;
    if (quorvane_random(key, sizeof key) == 0) rc = quorvane_cs_group_rekey(cs, conv_id, key, kept.data(), kept.size());
    quorvane_cleanse(key, sizeof key);
    quorvane_cleanse(kept.data(), kept.size() * sizeof(quorvane_member));
    return rc;
}

int quorvane_cs_group_reseal(quorvane_cs *cs, const uint8_t conv_id[16], const quorvane_member *members, size_t n) {
    if (!ready(cs, conv_id) || !members || n < 1) return -1;
    uint8_t key[32];
    int rc = -1;
    if (quorvane_msgstore_get_conv(cs->cfg.store, conv_id, key) == 1) rc = send_group_key(cs, conv_id, key, members, n, no_extra);
    quorvane_cleanse(key, sizeof key);
    if (rc == 0) cs_reannounce_group_meta(cs, conv_id);
    return rc;
}

int quorvane_cs_group_reseal_grant(quorvane_cs *cs, const uint8_t conv_id[16], const quorvane_member *members, size_t n,
                                   const uint8_t dev_x[32], const uint8_t dev_ed[32]) {
    if (!ready(cs, conv_id) || !members || n < 1 || !dev_x || !dev_ed) return -1;
    uint8_t keys[QV_GRANT_KEYS][32];
    uint8_t dev_id[16];
    int rc = -1;
    const size_t kc = std::min(quorvane_msgstore_get_conv_keys(cs->cfg.store, conv_id, keys, QV_GRANT_KEYS), QV_GRANT_KEYS);
    if (kc > 0 && quorvane_device_id(dev_x, dev_ed, dev_id) == 0) {
        // the older keys let the granted device read what was sealed before the last rekey
        auto older = [&](uint8_t *body, size_t *len, size_t cap) {
            if (kc < 2) return;
            uint8_t rec[16 + (QV_GRANT_KEYS - 1) * 32 + QV_SEAL_OVERHEAD];
            size_t sl = 0;
            std::memcpy(rec, dev_id, 16);
            if (quorvane_seal(dev_x, keys[1], (kc - 1) * 32, rec + 16, sizeof rec - 16, &sl) == 0) {
                quorvane_tlv_writer w;
                quorvane_tlv_writer_init(&w, body + *len, cap - *len);
                quorvane_tlv_put(&w, QV_TAG_OLD_KEYS, rec, 16 + sl);
                size_t wl = 0;
                if (quorvane_tlv_writer_finish(&w, &wl) == 0) *len += wl;
            }
            quorvane_cleanse(rec, sizeof rec);
        };
        rc = send_group_key(cs, conv_id, keys[0], members, n, older);
    }
    quorvane_cleanse(keys, sizeof keys);
    if (rc == 0) cs_reannounce_group_meta(cs, conv_id);
    return rc;
}
