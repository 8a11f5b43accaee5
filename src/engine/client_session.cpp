#include "client_session.h"

#include "client_pin.h"
#include "engine_clock.h"
#include "n_log.h"
#include "quorvane_crypto.h"
#include "quorvane_escrow.h"
#include "quorvane_keyfile.h"
#include "quorvane_x3dh.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char *DETAIL_SILENT = "no answer from the server within %u s (wrong address, or the network blocks the port)";

bool active(uint32_t state) {
    return state <= QV_CS_SIGNED_IN || state == QV_CS_ESCROW_SENT || state == QV_CS_RECOVERING ||
           state == QV_CS_PREAUTH_SENT;
}

void set_state(quorvane_cs *cs, uint32_t state) { cs->state = state; }

// A request payload, wiped when it goes out of scope whatever it held.
struct payload : quorvane_wiped_tlv<QV_CS_FRAME_BUF - QV_FRAME_HEADER_LEN> {
    int send(quorvane_cs *cs, uint8_t type) {
        size_t len = 0;
        if (finish(&len) != 0) return -1;
        return send_frame(cs, type, buf, len);
    }
};

int frame_payload(const uint8_t *frame, size_t len, const uint8_t **p, size_t *plen) {
    quorvane_frame_header h{};
    if (!frame || quorvane_frame_parse_header(frame, len, &h) != 0 || len - QV_FRAME_HEADER_LEN < h.length) return -1;
    *p = frame + QV_FRAME_HEADER_LEN;
    *plen = h.length;
    return 0;
}

int frame_type(const uint8_t *frame, size_t len) {
    quorvane_frame_header h{};
    if (quorvane_frame_parse_header(frame, len, &h) != 0) return -1;
    return h.type;
}

int send_register(quorvane_cs *cs) {
    const quorvane_device_keys *k = cs->cfg.keys;
    if (!k) return -1;
    uint8_t escrow[QV_ESCROW_LEN];
    if (quorvane_escrow_seal_pw(cs->cfg.password, cs->cfg.user, k->identity_priv, escrow) != 0) return -1;
    payload p;
    quorvane_tlv_put(&p.w, QV_TAG_USER, cs->cfg.user, std::strlen(cs->cfg.user));
    quorvane_tlv_put(&p.w, QV_TAG_AUTH, cs->auth, 32);
    quorvane_tlv_put(&p.w, QV_TAG_IDENTITY, k->identity_pub, 32);
    quorvane_tlv_put(&p.w, QV_TAG_DEV_X25519, k->device_x25519_pub, 32);
    quorvane_tlv_put(&p.w, QV_TAG_DEV_ED25519, k->device_ed25519_pub, 32);
    quorvane_tlv_put(&p.w, QV_TAG_CERT, k->device_cert, 64);
    quorvane_tlv_put(&p.w, QV_TAG_ESCROW, escrow, sizeof escrow);
    if (cs->cfg.register_extra) quorvane_tlv_put(&p.w, QV_TAG_REG_EXTRA, cs->cfg.register_extra, QV_CS_REG_EXTRA_LEN);
    quorvane_cleanse(escrow, sizeof escrow);
    return p.send(cs, QV_FT_REGISTER);
}

int send_preauth(quorvane_cs *cs) {
    const char *user = cs->cfg.user;
    size_t ulen = std::strlen(user);
    payload p;
    switch (cs->cfg.preauth_kind) {
    case 1:
        if (ulen < 1 || ulen > QV_CS_ADDRESS_MAX) return -1;
        quorvane_tlv_put(&p.w, QV_TAG_ADDRESS, user, ulen);
        return p.send(cs, QV_FT_PREAUTH_EMAIL);
    case 2:
        if (ulen < 1 || ulen > QV_CS_USER_MAX) return -1;
        quorvane_tlv_put(&p.w, QV_TAG_USER, user, ulen);
        return p.send(cs, QV_FT_PREAUTH_USER);
    case 3:
        if (ulen < 1 || ulen > QV_CS_USER_MAX || !cs->cfg.code || std::strlen(cs->cfg.code) != QV_CS_CODE_LEN) return -1;
        quorvane_tlv_put(&p.w, QV_TAG_USER, user, ulen);
        quorvane_tlv_put(&p.w, QV_TAG_CODE, cs->cfg.code, QV_CS_CODE_LEN);
        return p.send(cs, QV_FT_PREAUTH_CODE);
    default: return -1;
    }
}

// Both pins must hold before the mode's first request leaves: the static key
// of frame 129, then the public key of the certificate this TLS session ended
// with. A relay that forwards frame 129 cannot also show the server's TLS key.
int check_pins(quorvane_cs *cs) {
    int r = quorvane_pin_check(cs->cfg.pin_path, cs->server_key);
    if (r == 2) return 2;
    if (r < 0) return -1;
    uint8_t tls_key[32];
    if (quorvane_cnet_peer_key_digest(cs->cnet, tls_key) != 0) return -1;
    std::string tls_pin = std::string(cs->cfg.pin_path) + QV_CS_PIN_TLS_SUFFIX;
    r = quorvane_pin_check(tls_pin.c_str(), tls_key);
    return r == 2 ? 2 : r < 0 ? -1 : 0;
}

void handle_server_hello(quorvane_cs *cs, const uint8_t *frame, size_t len) {
    const uint8_t *key = nullptr;
    if (frame_type(frame, len) != QV_FT_SERVER_HELLO || find_fixed(frame, len, QV_TAG_SERVER_KEY, 32, &key) != 0)
        return set_state(cs, QV_CS_FAILED);
    std::memcpy(cs->server_key, key, 32);
    cs->server_key_known = 1;
    int pin = check_pins(cs);
    if (pin == 2) {
        n_log(LOG_ERR, "session: the server's key changed");
        return set_state(cs, QV_CS_KEY_CHANGED);
    }
    if (pin < 0) return set_state(cs, QV_CS_FAILED);

    const char *user = cs->cfg.user;
    if (cs->cfg.preauth_kind) {
        set_state(cs, send_preauth(cs) == 0 ? QV_CS_PREAUTH_SENT : QV_CS_FAILED);
    } else if (cs->cfg.recover) {
        payload p;
        quorvane_tlv_put(&p.w, QV_TAG_USER, user, std::strlen(user));
        set_state(cs, p.send(cs, QV_FT_RECOVER) == 0 ? QV_CS_RECOVERING : QV_CS_FAILED);
    } else if (cs->cfg.escrow_fetch) {
        payload p;
        quorvane_tlv_put(&p.w, QV_TAG_USER, user, std::strlen(user));
        quorvane_tlv_put(&p.w, QV_TAG_AUTH, cs->auth, 32);
        set_state(cs, p.send(cs, QV_FT_ESCROW_GET) == 0 ? QV_CS_ESCROW_SENT : QV_CS_FAILED);
    } else if (cs->cfg.do_register) {
        set_state(cs, send_register(cs) == 0 ? QV_CS_REGISTERING : QV_CS_FAILED);
    } else {
        payload p;
        quorvane_tlv_put(&p.w, QV_TAG_USER, user, std::strlen(user));
        set_state(cs, p.send(cs, QV_FT_LOGIN) == 0 ? QV_CS_SIGNING_IN : QV_CS_FAILED);
    }
}

void handle_register_answer(quorvane_cs *cs, const uint8_t *frame, size_t len) {
    uint8_t status = 0;
    if (frame_type(frame, len) != QV_FT_REGISTERED || find_u8(frame, len, QV_TAG_REG_STATUS, &status) != 0)
        return set_state(cs, QV_CS_FAILED);
    if (status == 0 || status == 3) return set_state(cs, QV_CS_REGISTERED);
    cs->fail_reason = status;
    set_state(cs, QV_CS_REGISTER_REFUSED);
}

void welcome(quorvane_cs *cs) {
    if (cs->cfg.keys) {
        uint8_t id[16];
        if (quorvane_device_id(cs->cfg.keys->device_x25519_pub, cs->cfg.keys->device_ed25519_pub, id) == 0)
            n_log(LOG_INFO, "session: signed in as device %02x%02x%02x%02x", id[0], id[1], id[2], id[3]);
    }
    quorvane_msgstore *ms = cs->cfg.store;
    if (ms && cs->cfg.user[0]) {
        char name[65] = {0}, about[129] = {0};
        if (quorvane_msgstore_get_self_profile(ms, name, sizeof name, about, sizeof about) != 0 || !name[0]) {
            if (quorvane_msgstore_set_self_profile(ms, cs->cfg.user, about) != 0)
                n_log(LOG_ERR, "session: could not set the own display name");
        }
    }
    cs_transfer_signed_in(cs);
}

void handle_login(quorvane_cs *cs, const uint8_t *frame, size_t len) {
    switch (frame_type(frame, len)) {
    case QV_FT_CHALLENGE: {
        const uint8_t *nonce = nullptr;
        if (!cs->cfg.keys || find_fixed(frame, len, QV_TAG_NONCE, 32, &nonce) != 0) return set_state(cs, QV_CS_FAILED);
        uint8_t msg[64 + QV_CS_USER_MAX + 64];
        std::vector<uint8_t> big;
        uint8_t *m = msg;
        size_t cap = sizeof msg;
        if (std::strlen(cs->cfg.user) > QV_CS_USER_MAX) {
            big.resize(64 + std::strlen(cs->cfg.user));
            m = big.data();
            cap = big.size();
        }
        size_t mlen = quorvane_login_message(nonce, cs->server_key, cs->cfg.user, m, cap);
        uint8_t sig[64];
        if (mlen == 0 || quorvane_ed25519_sign(cs->cfg.keys->device_ed25519_priv, m, mlen, sig) != 0)
            return set_state(cs, QV_CS_FAILED);
        payload p;
        quorvane_tlv_put(&p.w, QV_TAG_AUTH, cs->auth, 32);
        quorvane_tlv_put(&p.w, QV_TAG_SIGNATURE, sig, sizeof sig);
        if (p.send(cs, QV_FT_LOGIN_PROOF) != 0) set_state(cs, QV_CS_FAILED);
        return;
    }
    case QV_FT_WELCOME: {
        const uint8_t *uid = nullptr;
        uint8_t role = 0;
        if (find_fixed(frame, len, QV_TAG_USER_ID, 16, &uid) != 0 || find_u8(frame, len, QV_TAG_ROLE, &role) != 0)
            return set_state(cs, QV_CS_FAILED);
        std::memcpy(cs->user_id, uid, 16);
        cs->role = role;
        set_state(cs, QV_CS_SIGNED_IN);
        welcome(cs);
        return;
    }
    case QV_FT_REFUSED: {
        uint8_t reason = 0;
        if (find_u8(frame, len, QV_TAG_REFUSAL, &reason) != 0) return set_state(cs, QV_CS_FAILED);
        cs->fail_reason = reason;
        return set_state(cs, QV_CS_LOGIN_REFUSED);
    }
    default: set_state(cs, QV_CS_FAILED);
    }
}

void handle_escrow(quorvane_cs *cs, const uint8_t *frame, size_t len) {
    uint8_t status = 0;
    if (frame_type(frame, len) != QV_FT_ESCROW || find_u8(frame, len, QV_TAG_ESCROW_STATUS, &status) != 0)
        return set_state(cs, QV_CS_FAILED);
    if (status != 0) {
        cs->fail_reason = status;
        return set_state(cs, QV_CS_ESCROW_REFUSED);
    }
    const uint8_t *ident = nullptr, *rec = nullptr;
    if (find_fixed(frame, len, QV_TAG_IDENTITY, 32, &ident) != 0 || find_fixed(frame, len, QV_TAG_ESCROW, QV_ESCROW_LEN, &rec) != 0)
        return set_state(cs, QV_CS_FAILED);
    if (quorvane_escrow_open_pw(cs->cfg.password, cs->cfg.user, ident, rec, QV_ESCROW_LEN, cs->escrow_seed) != 0) {
        quorvane_cleanse(cs->escrow_seed, sizeof cs->escrow_seed);
        cs->fail_reason = QV_CS_REASON_ESCROW;
        return set_state(cs, QV_CS_ESCROW_REFUSED);
    }
    cs->escrow_seed_ready = 1;
    set_state(cs, QV_CS_ESCROW_READY);
}

// Steps 1-4 of answering the recovery challenge; false leaves nothing behind.
bool recovery_proof(quorvane_cs *cs, const uint8_t *ident, const uint8_t *rec, const uint8_t *nonce,
                    uint8_t new_rec[QV_ESCROW_LEN], uint8_t sig[64]) {
    uint8_t seed[32], pub[32];
    bool ok = quorvane_escrow_open_rk(cs->cfg.recovery_key, cs->cfg.user, ident, rec, QV_ESCROW_LEN, seed) == 0 &&
              quorvane_ed25519_pub_from_seed(seed, pub) == 0 && quorvane_ct_eq(pub, ident, 32) &&
              quorvane_escrow_seal_pw(cs->cfg.password, cs->cfg.user, seed, new_rec) == 0 &&
              quorvane_recover_sign(seed, nonce, cs->server_key, cs->cfg.user, cs->auth, new_rec, sig) == 0;
    quorvane_cleanse(seed, sizeof seed);
    return ok;
}

void handle_recover(quorvane_cs *cs, const uint8_t *frame, size_t len) {
    int type = frame_type(frame, len);
    uint8_t status = 0;
    if ((type != QV_FT_RECOVER_CHALLENGE && type != QV_FT_RECOVER_DONE) ||
        find_u8(frame, len, QV_TAG_RECOVER_STATUS, &status) != 0)
        return set_state(cs, QV_CS_FAILED);
    if (status != 0) {
        cs->fail_reason = status;
        return set_state(cs, QV_CS_RECOVER_REFUSED);
    }
    if (type == QV_FT_RECOVER_DONE) return set_state(cs, QV_CS_RECOVERED);
    const uint8_t *ident = nullptr, *rec = nullptr, *nonce = nullptr;
    if (find_fixed(frame, len, QV_TAG_IDENTITY, 32, &ident) != 0 || find_fixed(frame, len, QV_TAG_ESCROW, QV_ESCROW_LEN, &rec) != 0 ||
        find_fixed(frame, len, QV_TAG_NONCE, 32, &nonce) != 0)
        return set_state(cs, QV_CS_FAILED);
    uint8_t new_rec[QV_ESCROW_LEN], sig[64];
    if (!recovery_proof(cs, ident, rec, nonce, new_rec, sig)) {
        cs->fail_reason = QV_CS_REASON_ESCROW;
        return set_state(cs, QV_CS_RECOVER_REFUSED);
    }
    payload p;
    quorvane_tlv_put(&p.w, QV_TAG_NEW_AUTH, cs->auth, 32);
    quorvane_tlv_put(&p.w, QV_TAG_ESCROW, new_rec, sizeof new_rec);
    quorvane_tlv_put(&p.w, QV_TAG_CERT, sig, sizeof sig);
    quorvane_cleanse(new_rec, sizeof new_rec);
    if (p.send(cs, QV_FT_RECOVER_SET) != 0) set_state(cs, QV_CS_FAILED);
}

void handle_preauth(quorvane_cs *cs, const uint8_t *frame, size_t len) {
    quorvane_cleanse(&cs->preauth, sizeof cs->preauth);
    int type = frame_type(frame, len);
    if (type == QV_FT_PREAUTH_TEXT) {
        const uint8_t *text = nullptr;
        size_t tlen = 0;
        if (find_bytes(frame, len, QV_TAG_USER, 1, QV_CS_USER_MAX, &text, &tlen) != 0) return set_state(cs, QV_CS_FAILED);
        std::memcpy(cs->preauth.text, text, tlen);
        cs->preauth.text[tlen] = 0;
    } else if (type == QV_FT_PREAUTH_STATUS || type == QV_FT_PREAUTH_CODE_STATUS) {
        if (find_u8(frame, len, QV_TAG_PREAUTH_STATUS, &cs->preauth.status) != 0) return set_state(cs, QV_CS_FAILED);
        const uint8_t *extra = nullptr;
        if (find_fixed(frame, len, QV_TAG_REG_EXTRA, QV_CS_REG_EXTRA_LEN, &extra) == 0) {
            std::memcpy(cs->preauth.extra8, extra, 8);
            std::memcpy(cs->preauth.extra2, extra + 8, 2);
            cs->preauth.has_extra = 1;
        }
        uint64_t v = 0;
        if (find_u64(frame, len, QV_TAG_PREAUTH_VALUE, &v) == 0) cs->preauth.value = v;
    } else {
        return set_state(cs, QV_CS_FAILED);
    }
    cs->preauth_ready = 1;
    set_state(cs, QV_CS_PREAUTH_READY);
}

void cs_dispatch_queued(quorvane_cs *cs) {
    const uint8_t *frame = nullptr;
    size_t len = 0;
    while (active(cs->state) && quorvane_cnet_recv(cs->cnet, &frame, &len) == 1) {
        switch (cs->state) {
        case QV_CS_CONNECTING: handle_server_hello(cs, frame, len); break;
        case QV_CS_REGISTERING: handle_register_answer(cs, frame, len); break;
        case QV_CS_SIGNING_IN: handle_login(cs, frame, len); break;
        case QV_CS_SIGNED_IN: handle_authed_frame(cs, frame, len); break;
        case QV_CS_ESCROW_SENT: handle_escrow(cs, frame, len); break;
        case QV_CS_RECOVERING: handle_recover(cs, frame, len); break;
        case QV_CS_PREAUTH_SENT: handle_preauth(cs, frame, len); break;
        default: set_state(cs, QV_CS_FAILED);
        }
    }
    if (cs->state > QV_CS_PREAUTH_READY) set_state(cs, QV_CS_FAILED);
}

void set_detail(quorvane_cs *cs, const char *text) { std::snprintf(cs->detail, sizeof cs->detail, "%s", text ? text : ""); }

void keep_alive(quorvane_cs *cs) {
    if (quorvane_cs_should_ping(cs->last_send_ms, quorvane_engine_now_ms())) (void)send_frame(cs, QV_FT_PING, nullptr, 0);
}

int queue_frame(quorvane_cs *cs, uint8_t *buf, size_t cap, uint8_t type, const uint8_t *payload, size_t len) {
    size_t out = 0;
    if (quorvane_frame_encode(type, payload, len, buf, cap, &out) != 0) return -1;
    int r = quorvane_cnet_send(cs->cnet, buf, out);
    quorvane_cleanse(buf, out);
    if (r != 0) return -1;
    cs->last_send_ms = quorvane_engine_now_ms();
    return 0;
}

}  // namespace

int send_frame(quorvane_cs *cs, uint8_t type, const uint8_t *p, size_t len) {
    if (!cs || !cs->cnet) return -1;
    uint8_t buf[QV_CS_FRAME_BUF];
    return queue_frame(cs, buf, sizeof buf, type, p, len);
}

int send_frame_large(quorvane_cs *cs, uint8_t type, const uint8_t *p, size_t len) {
    if (!cs || !cs->cnet || len > QV_FRAME_MAX_PAYLOAD) return -1;
    std::vector<uint8_t> buf(len + QV_FRAME_HEADER_LEN);
    return queue_frame(cs, buf.data(), buf.size(), type, p, len);
}

int find_u8(const uint8_t *frame, size_t len, uint8_t tag, uint8_t *out) {
    const uint8_t *p = nullptr, *v = nullptr;
    size_t plen = 0, vlen = 0;
    if (frame_payload(frame, len, &p, &plen) != 0 || quorvane_tlv_find(p, plen, tag, &v, &vlen) != 0) return -1;
    return quorvane_tlv_get_u8(v, vlen, out) == 0 ? 0 : -1;
}

int find_u64(const uint8_t *frame, size_t len, uint8_t tag, uint64_t *out) {
    const uint8_t *p = nullptr, *v = nullptr;
    size_t plen = 0, vlen = 0;
    if (frame_payload(frame, len, &p, &plen) != 0 || quorvane_tlv_find(p, plen, tag, &v, &vlen) != 0) return -1;
    return quorvane_tlv_get_u64(v, vlen, out) == 0 ? 0 : -1;
}

int find_fixed(const uint8_t *frame, size_t len, uint8_t tag, size_t exact, const uint8_t **out) {
    const uint8_t *p = nullptr;
    size_t plen = 0;
    if (frame_payload(frame, len, &p, &plen) != 0) return -1;
    return quorvane_tlv_find_fixed(p, plen, tag, exact, out) == 0 ? 0 : -1;
}

int find_bytes(const uint8_t *frame, size_t len, uint8_t tag, size_t min, size_t max, const uint8_t **out, size_t *out_len) {
    const uint8_t *p = nullptr;
    size_t plen = 0;
    if (frame_payload(frame, len, &p, &plen) != 0) return -1;
    return quorvane_tlv_find_bytes(p, plen, tag, min, max, out, out_len) == 0 ? 0 : -1;
}

quorvane_cs *quorvane_cs_new(const quorvane_cs_config *c) {
    if (!c || !c->host || !c->port || !c->user || !c->password || !c->pin_path || !*c->pin_path) return nullptr;
    if (!c->keys && !c->escrow_fetch && !c->recover && !c->preauth_kind) return nullptr;
    if (c->recover && !c->recovery_key) return nullptr;
    auto *cs = static_cast<quorvane_cs *>(std::calloc(1, sizeof(quorvane_cs)));
    if (!cs) return nullptr;
    cs->cfg = *c;
    cs->cnet = quorvane_cnet_new();
    if (!cs->cnet) {
        std::free(cs);
        return nullptr;
    }
    return cs;
}

#ifdef QV_ENGINE_TEST_HOOKS
void quorvane_cs_test_signed_in(quorvane_cs *cs, const uint8_t user_id[16]) {
    if (!cs) return;
    std::memcpy(cs->user_id, user_id, 16);
    cs->state = QV_CS_SIGNED_IN;
}
#endif

void quorvane_cs_free(quorvane_cs *cs) {
    if (!cs) return;
    cs_account_release(cs);
    cs_transfer_release(cs);
    quorvane_cnet_free(cs->cnet);
    quorvane_cleanse(cs, sizeof *cs);
    std::free(cs);
}

void quorvane_cs_pump(quorvane_cs *cs) {
    if (!cs || !active(cs->state)) return;
    if (cs->state == QV_CS_NEW) {
        if (cs->cfg.auth) std::memcpy(cs->auth, cs->cfg.auth, sizeof cs->auth);
        if ((!cs->cfg.auth && quorvane_pw_auth(cs->cfg.password, cs->cfg.user, cs->auth) != 0) ||
            quorvane_cnet_connect(cs->cnet, cs->cfg.host, cs->cfg.port) != 0) {
            set_detail(cs, quorvane_cnet_error(cs->cnet));
            return set_state(cs, QV_CS_FAILED);
        }
        set_state(cs, QV_CS_CONNECTING);
        cs->connect_start_ms = quorvane_engine_now_ms();
        cs->detail[0] = 0;
    }
    quorvane_cnet_pump(cs->cnet);
    uint32_t cst = quorvane_cnet_get_state(cs->cnet);
    if (cst == QV_CNET_CLOSED || cst == QV_CNET_BROKEN) {
        // An answer that came just before the close still counts.
        cs_dispatch_queued(cs);
        if (!active(cs->state)) return;
        const char *err = quorvane_cnet_error(cs->cnet);
        set_detail(cs, err ? err : "the connection failed");
        return set_state(cs, QV_CS_FAILED);
    }
    if (cs->state == QV_CS_CONNECTING) {
        if (quorvane_engine_now_ms() - cs->connect_start_ms > QV_CS_CONNECT_TIMEOUT_MS) {
            std::snprintf(cs->detail, sizeof cs->detail, DETAIL_SILENT, static_cast<unsigned>(QV_CS_CONNECT_TIMEOUT_MS / 1000));
            return set_state(cs, QV_CS_FAILED);
        }
        if (cst == QV_CNET_UP && !cs->hello_sent) {
            if (send_frame(cs, QV_FT_HELLO, nullptr, 0) != 0) return set_state(cs, QV_CS_FAILED);
            cs->hello_sent = 1;
        }
    }
    cs_dispatch_queued(cs);
    cs_account_pump(cs);
    if (cs->state != QV_CS_SIGNED_IN) return;
    blob_pump(cs);
    emoji_pump(cs);
    keep_alive(cs);
}

uint32_t quorvane_cs_get_state(const quorvane_cs *cs) { return cs ? cs->state : QV_CS_FAILED; }
uint8_t quorvane_cs_fail_reason(const quorvane_cs *cs) { return cs ? cs->fail_reason : 0; }
const char *quorvane_cs_fail_detail(const quorvane_cs *cs) { return cs && cs->detail[0] ? cs->detail : nullptr; }
const uint8_t *quorvane_cs_user_id(const quorvane_cs *cs) { return cs ? cs->user_id : nullptr; }
uint8_t quorvane_cs_role(const quorvane_cs *cs) { return cs ? cs->role : 0; }

int quorvane_cs_should_ping(uint64_t last_send_ms, uint64_t now_ms) {
    return last_send_ms && last_send_ms <= now_ms && now_ms - last_send_ms > QV_CS_PING_IDLE_MS;
}

uint64_t quorvane_cs_activity(const quorvane_cs *cs) { return cs ? quorvane_cnet_activity(cs->cnet) : 0; }

size_t quorvane_cs_send_room(const quorvane_cs *cs) { return cs ? quorvane_cnet_send_room(cs->cnet) : 0; }

size_t quorvane_cs_pending_room(const quorvane_cs *cs) { return cs ? cs_pending_room(&cs->authed.pending) : 0; }

int quorvane_cs_server_key(const quorvane_cs *cs, uint8_t out[32]) {
    if (!cs || !out || !cs->server_key_known || cs->state < QV_CS_REGISTERING) return 0;
    std::memcpy(out, cs->server_key, 32);
    return 1;
}

int quorvane_cs_preauth(quorvane_cs *cs, quorvane_cs_preauth_info *out) {
    if (!cs || !out || !cs->preauth_ready) return -1;
    *out = cs->preauth;
    quorvane_cleanse(&cs->preauth, sizeof cs->preauth);
    cs->preauth_ready = 0;
    return 0;
}

int quorvane_cs_take_escrow_seed(quorvane_cs *cs, uint8_t out[32]) {
    if (!cs || !out || cs->state != QV_CS_ESCROW_READY || !cs->escrow_seed_ready) return -1;
    std::memcpy(out, cs->escrow_seed, 32);
    quorvane_cleanse(cs->escrow_seed, 32);
    cs->escrow_seed_ready = 0;
    return 0;
}
