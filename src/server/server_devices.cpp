// Devices and prekeys: a device publishes its signed prekey and one-time
// prekeys (frame 41); anyone signed in asks for a user's (frame 6) and gets
// every device of the account with one one-time prekey each, handed out once.
#include "n_log.h"
#include "quorvane_crypto.h"
#include "quorvane_x3dh.h"
#include "server_frames.h"
#include "server_handlers.h"

#include <cstring>

namespace {

// The one-time prekeys in the order sent: a 49 is held until its 50 comes.
void read_otks(const qvs_records &rec, qvs_prekeys *pk) {
    quorvane_tlv_reader rd;
    quorvane_tlv_reader_init(&rd, rec.p, rec.len);
    uint8_t tag;
    const uint8_t *v;
    size_t n;
    const uint8_t *held = nullptr;
    while (pk->otk_count < QVS_OTK_MAX && quorvane_tlv_next(&rd, &tag, &v, &n) == 0) {
        if (tag == QVS_TAG_OTK && n == 32) {
            held = v;
        } else if (tag == QVS_TAG_OTK_ID && n == 4 && held) {
            std::memcpy(pk->otk[pk->otk_count], held, 32);
            pk->otk_id[pk->otk_count++] = qv_bytes::get_be32(v);
            held = nullptr;
        }
    }
}

}  // namespace

// Replaces the device's set only when the signed prekey is signed by the
// device's own Ed25519 key: anyone else's prekey would let them read the
// first messages sent to this device. No answer either way.
int qvs_on_publish_prekeys(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec) {
    const uint8_t *spk = nullptr, *sig = nullptr, *id = nullptr;
    if (!rec.fixed(QVS_TAG_SPK, 32, &spk) || !rec.fixed(QVS_TAG_SPK_SIG, 64, &sig) || !rec.fixed(QVS_TAG_SPK_ID, 4, &id)) {
        n_log(LOG_NOTICE, "server: %s published malformed prekeys", c->user.c_str());
        return 0;
    }
    std::vector<qvs_device> devs;
    if (qvs_account_devices(ctx->store, c->user_id, &devs) != 0) return 0;
    const qvs_device *me = nullptr;
    for (const qvs_device &d : devs)
        if (d.row == c->dev) me = &d;
    if (!me || quorvane_prekey_verify(me->ed25519_pub, spk, sig) != 0) {
        n_log(LOG_NOTICE, "server: %s published a prekey its device did not sign", c->user.c_str());
        return 0;
    }
    qvs_prekeys pk{};
    pk.spk_id = qv_bytes::get_be32(id);
    std::memcpy(pk.spk, spk, 32);
    std::memcpy(pk.sig, sig, 64);
    read_otks(rec, &pk);
    if (qvs_prekeys_put(ctx->store, c->dev, &pk) != 0) n_log(LOG_ERR, "server: the prekeys of %s could not be stored", c->user.c_str());
    return 0;
}

// Always answers, so the asker's count of requests in flight comes down: an
// unknown user gets a reply with no more than the id it was asked by.
int qvs_on_prekey_request(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec) {
    (void)c;
    const uint8_t *name = nullptr, *uid = nullptr;
    size_t name_len = 0;
    qvs_account a{};
    int found = 0;
    if (rec.bytes(QVS_TAG_USER, 1, 32, &name, &name_len))
        found = qvs_account_find(ctx->store, std::string(reinterpret_cast<const char *>(name), name_len), &a);
    else if (rec.fixed(QVS_TAG_USER_ID, 16, &uid))
        found = qvs_account_by_id(ctx->store, uid, &a);
    quorvane_cleanse(a.auth_hash, sizeof a.auth_hash);
    qvs_frame_builder f(QVS_FT_PREKEY_REPLY);
    std::vector<qvs_device> devs;
    if (found != 1 || qvs_account_devices(ctx->store, a.user_id, &devs) != 0) {
        if (uid) f.put(QVS_TAG_USER_ID, uid, 16);
        c->replies.push_back(f.take());
        return 0;
    }
    f.put(QVS_TAG_USER_ID, a.user_id, 16);
    f.put(QVS_TAG_IDENTITY, a.identity_pub, 32);
    for (const qvs_device &d : devs) {
        f.put(QVS_TAG_DEV_X25519, d.x25519_pub, 32);
        f.put(QVS_TAG_DEV_ED25519, d.ed25519_pub, 32);
        qvs_prekey_hand h{};
        if (qvs_prekeys_take(ctx->store, d.row, &h) != 1) continue;
        f.put(QVS_TAG_SPK, h.spk, 32);
        f.put(QVS_TAG_SPK_SIG, h.sig, 64);
        f.put_u32(QVS_TAG_SPK_ID, h.spk_id);
        if (h.has_otk) {
            f.put(QVS_TAG_OTK, h.otk, 32);
            f.put_u32(QVS_TAG_OTK_ID, h.otk_id);
        }
    }
    c->replies.push_back(f.take());
    return 0;
}

// Revocation of one of the account's own devices: gone with its prekeys, its
// waiting copies and its key requests, refused at registration for good, and
// its connections closed once the turn has committed.
int qvs_on_revoke(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec) {
    const uint8_t *id = nullptr;
    if (!rec.fixed(QVS_TAG_DEVICE_ID, 16, &id)) return -1;
    std::vector<qvs_device> devs;
    uint8_t status = 1;
    if (qvs_account_devices(ctx->store, c->user_id, &devs) == 0)
        for (const qvs_device &d : devs) {
            uint8_t did[16];
            if (quorvane_device_id(d.x25519_pub, d.ed25519_pub, did) != 0 || std::memcmp(did, id, 16) != 0) continue;
            if (qvs_device_revoke(ctx->store, c->user_id, &d) == 0) {
                status = 0;
                ctx->revoked.push_back(d.row);
                if (d.row == c->dev) c->phase = QVS_DONE;  // the answer goes out, then this connection closes
                n_log(LOG_INFO, "server: %s revoked a device", c->user.c_str());
            }
        }
    qvs_frame_builder f(QVS_FT_REVOKED);
    f.put(QVS_TAG_DEVICE_ID, id, 16);
    f.put(QVS_TAG_REVOKE_STATUS, &status, 1);
    c->replies.push_back(f.take());
    return 0;
}
