#include "server_handlers.h"

#include "server_frames.h"
#include "n_log.h"
#include "quorvane_crypto.h"
#include "quorvane_escrow.h"
#include "quorvane_handshake.h"
#include "quorvane_proto.h"
#include "quorvane_x3dh.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <ctime>

namespace {

using records = qvs_records;

bool auth_matches(const qvs_account &a, const uint8_t auth[32]) {
    uint8_t h[32];
    bool ok = qvs_auth_hash(a.auth_salt, auth, h) == 0 && quorvane_ct_eq(h, a.auth_hash, 32);
    quorvane_cleanse(h, sizeof h);
    return ok;
}

// A reply, wiped once it is copied out: some carry escrow records.
struct reply : quorvane_wiped_tlv<1024> {
    int queue(qvs_conn *c, uint8_t type) {
        size_t len = 0;
        if (finish(&len) != 0) return -1;
        std::vector<uint8_t> frame(len + QV_FRAME_HEADER_LEN);
        size_t out = 0;
        if (quorvane_frame_encode(type, buf, len, frame.data(), frame.size(), &out) != 0) return -1;
        c->replies.push_back(std::move(frame));
        return 0;
    }
};

uint8_t knob_status(const qvs_ctx *ctx, uint8_t status) {
#ifdef QV_SERVER_TEST_KNOBS
    if (ctx->knobs.refuse) return ctx->knobs.refuse;
#else
    (void)ctx;
#endif
    return status;
}

int final_status(qvs_ctx *ctx, qvs_conn *c, uint8_t type, uint8_t tag, uint8_t status) {
    reply r;
    quorvane_tlv_put_u8(&r.w, tag, knob_status(ctx, status));
    c->phase = QVS_DONE;
    return r.queue(c, type);
}

int on_hello(qvs_ctx *ctx, qvs_conn *c) {
#ifdef QV_SERVER_TEST_KNOBS
    if (ctx->knobs.silent) {
        c->phase = QVS_DONE;
        return 0;
    }
    if (ctx->knobs.reset) c->reset_after_send = 1;
#endif
    reply r;
    quorvane_tlv_put(&r.w, QV_TAG_SERVER_KEY, ctx->keys->static_pub, 32);
    c->phase = QVS_WAIT_REQUEST;
    return r.queue(c, QV_FT_SERVER_HELLO);
}

// Whether a new account may be made from `from` now: 0 yes, 1 the address
// has made as many in the last day as it may (a device joining its own
// account under a taken name is no new account and is let through), -1 a
// store failure.
int registrations_allowed(qvs_ctx *ctx, const std::vector<uint8_t> &from, const std::string &name, uint64_t now) {
    if (ctx->registrations_per_address == 0) return 0;
    uint64_t made = 0;
    if (qvs_registrations_since(ctx->store, from, now - std::min(now, QVS_REGISTRATIONS_KEPT_MS), &made) != 0) return -1;
    if (made < ctx->registrations_per_address) return 0;
    qvs_account have{};
    const int found = qvs_account_find(ctx->store, name, &have);
    quorvane_cleanse(have.auth_hash, sizeof have.auth_hash);
    return found < 0 ? -1 : found == 1 ? 0 : 1;
}

int on_register(qvs_ctx *ctx, qvs_conn *c, const records &rec) {
    auto refuse = [&](uint8_t s) { return final_status(ctx, c, QV_FT_REGISTERED, QV_TAG_REG_STATUS, s); };
#ifdef QV_SERVER_TEST_KNOBS
    if (ctx->knobs.refuse) return refuse(0);
#endif
    const uint8_t *name = nullptr, *auth, *ident, *dx, *ded, *cert, *escrow, *extra = nullptr;
    size_t name_len = 0;
    if (!rec.bytes(QV_TAG_USER, 0, 4096, &name, &name_len) || !rec.fixed(QV_TAG_AUTH, 32, &auth) ||
        !rec.fixed(QV_TAG_IDENTITY, 32, &ident) || !rec.fixed(QV_TAG_DEV_X25519, 32, &dx) ||
        !rec.fixed(QV_TAG_DEV_ED25519, 32, &ded) || !rec.fixed(QV_TAG_CERT, 64, &cert) ||
        !rec.fixed(QV_TAG_ESCROW, QVS_ESCROW_LEN, &escrow) ||
        (rec.has(QV_TAG_REG_EXTRA) && !rec.fixed(QV_TAG_REG_EXTRA, QVS_EXTRA_LEN, &extra)))
        return refuse(QVS_REG_MALFORMED);
    quorvane_escrow_params params{};
    if (quorvane_escrow_parse(escrow, QVS_ESCROW_LEN, &params) != 0 || params.kind != QV_ESCROW_KIND_PW)
        return refuse(QVS_REG_MALFORMED);
    if (!qvs_user_name_valid(name, name_len)) return refuse(QVS_REG_BAD_NAME);
    if (quorvane_device_cert_verify(ident, dx, ded, cert) != 0) return refuse(QVS_REG_BAD_CERT);

    qvs_account a{};
    a.name.assign(reinterpret_cast<const char *>(name), name_len);
    uint64_t count = 0;
    if (quorvane_random(a.user_id, 16) != 0 || quorvane_random(a.auth_salt, QVS_SALT_LEN) != 0 ||
        qvs_auth_hash(a.auth_salt, auth, a.auth_hash) != 0 || qvs_store_account_count(ctx->store, &count) != 0)
        return refuse(QVS_REG_FAILED);
    a.role = count == 0 ? 1 : 0;  // the first account is the server's owner
    std::memcpy(a.identity_pub, ident, 32);
    std::memcpy(a.pw_escrow, escrow, QVS_ESCROW_LEN);
    if (extra) {
        a.has_extra = 1;
        std::memcpy(a.extra, extra, QVS_EXTRA_LEN);
    }
    a.created_ms = qvs_wall_ms(ctx);
    qvs_device d{};
    std::memcpy(d.x25519_pub, dx, 32);
    std::memcpy(d.ed25519_pub, ded, 32);
    std::memcpy(d.cert, cert, 64);
    const std::vector<uint8_t> from = qvs_address_key(c->peer);
    switch (registrations_allowed(ctx, from, a.name, a.created_ms)) {
    case 0: break;
    case 1:
        n_log(LOG_NOTICE, "server: registration of %s refused: %s made %llu new accounts in a day, as many as it may", a.name.c_str(),
              c->peer.c_str(), static_cast<unsigned long long>(ctx->registrations_per_address));
        return refuse(QVS_REG_ADDRESS_LIMITED);
    default: return refuse(QVS_REG_FAILED);
    }
    int r = qvs_account_create(ctx->store, &a, &d);
    if (r == 1) {
        // A taken name: a new device of the same account joins it (the same
        // identity, the right auth value, a certificate by that identity) and
        // is registered; anything else changes nothing.
        qvs_account have{};
        int found = qvs_account_find(ctx->store, a.name, &have);
        uint8_t status = QVS_REG_FAILED;
        if (found == 1) status = qvs_add_device(ctx, have, ident, auth, d);
        quorvane_cleanse(have.auth_hash, sizeof have.auth_hash);
        if (status == QVS_REG_OK)
            n_log(LOG_INFO, "server: %s has a device more", a.name.c_str());
        else
            n_log(LOG_INFO, "server: registration of the taken name %s added nothing (%u)", a.name.c_str(), status);
        return refuse(status);
    }
    if (r != 0) return refuse(QVS_REG_FAILED);
    // The account is made: a count lost here only lets the address make one more.
    if (qvs_registrations_note(ctx->store, from, a.created_ms) != 0) n_log(LOG_ERR, "server: the registration of %s was not counted", a.name.c_str());
    n_log(LOG_INFO, "server: registered %s", a.name.c_str());
    return refuse(QVS_REG_OK);
}

// The challenge goes out whether or not the name exists; the refusal, which
// does tell that there is no such account, comes only after the proof.
int on_login(qvs_ctx *ctx, qvs_conn *c, const records &rec) {
    const uint8_t *name = nullptr;
    size_t name_len = 0;
    if (!rec.bytes(QV_TAG_USER, 1, QV_ESCROW_USER_MAX, &name, &name_len)) return -1;
#ifdef QV_SERVER_TEST_KNOBS
    if (ctx->knobs.refuse) return final_status(ctx, c, QV_FT_REFUSED, QV_TAG_REFUSAL, 0);
    if (ctx->knobs.login_refuse >= 0)
        return final_status(ctx, c, QV_FT_REFUSED, QV_TAG_REFUSAL, static_cast<uint8_t>(ctx->knobs.login_refuse));
#endif
    c->user.assign(reinterpret_cast<const char *>(name), name_len);
    int found = qvs_account_find(ctx->store, c->user, &c->acct);
    if (found < 0) return final_status(ctx, c, QV_FT_REFUSED, QV_TAG_REFUSAL, QVS_LOGIN_FAILED);
    c->known_user = found;
    if (quorvane_random(c->nonce, 32) != 0) return -1;
    reply r;
    quorvane_tlv_put(&r.w, QV_TAG_NONCE, c->nonce, 32);
    c->phase = QVS_WAIT_PROOF;
    return r.queue(c, QV_FT_CHALLENGE);
}


int on_login_proof(qvs_ctx *ctx, qvs_conn *c, const records &rec) {
    const uint8_t *auth = nullptr, *sig = nullptr;
    if (!rec.fixed(QV_TAG_AUTH, 32, &auth) || !rec.fixed(QV_TAG_SIGNATURE, 64, &sig)) return -1;
    auto refuse = [&](uint8_t s) { return final_status(ctx, c, QV_FT_REFUSED, QV_TAG_REFUSAL, s); };
    if (!c->known_user) return refuse(QVS_LOGIN_NO_ACCOUNT);
    if (!auth_matches(c->acct, auth)) return refuse(QVS_LOGIN_WRONG);
    std::vector<qvs_device> devices;
    if (qvs_account_devices(ctx->store, c->acct.user_id, &devices) != 0) return refuse(QVS_LOGIN_FAILED);
    uint8_t msg[64 + QV_ESCROW_USER_MAX];
    size_t mlen = quorvane_login_message(c->nonce, ctx->keys->static_pub, c->user.c_str(), msg, sizeof msg);
    bool signed_ok = false;
    for (const qvs_device &d : devices)
        if (mlen && !signed_ok && quorvane_ed25519_verify(d.ed25519_pub, msg, mlen, sig) == 0) {
            signed_ok = true;
            c->dev = d.row;
        }
    if (!signed_ok) {
        // A device the account does not have: the client registers it to its
        // account, unless it was revoked, which it is told instead.
        std::vector<std::array<uint8_t, 32>> revoked;
        if (qvs_revoked_keys(ctx->store, c->acct.user_id, QVS_REVOKED_CHECKED, &revoked) != 0) return refuse(QVS_LOGIN_FAILED);
        uint8_t status = QVS_LOGIN_WRONG;
        for (const auto &k : revoked)
            if (mlen && quorvane_ed25519_verify(k.data(), msg, mlen, sig) == 0) status = QVS_LOGIN_DEVICE_REVOKED;
        quorvane_cleanse(c->nonce, sizeof c->nonce);
        return refuse(status);
    }
    quorvane_cleanse(c->nonce, sizeof c->nonce);
    if (ctx->may_sign_in && !ctx->may_sign_in(c->acct.user_id)) {
        n_log(LOG_NOTICE, "server: %s has as many connections as it may: a sign-in refused", c->user.c_str());
        return refuse(QVS_LOGIN_LIMITED);
    }
    reply r;
    quorvane_tlv_put(&r.w, QV_TAG_USER_ID, c->acct.user_id, 16);
    quorvane_tlv_put_u8(&r.w, QV_TAG_ROLE, c->acct.role);
    std::memcpy(c->user_id, c->acct.user_id, 16);
    c->phase = QVS_SIGNED_IN;
    n_log(LOG_DEBUG, "server: %s signed in", c->user.c_str());
    return r.queue(c, QV_FT_WELCOME);
}

int on_escrow_get(qvs_ctx *ctx, qvs_conn *c, const records &rec) {
    const uint8_t *name = nullptr, *auth = nullptr;
    size_t name_len = 0;
    if (!rec.bytes(QV_TAG_USER, 1, QV_ESCROW_USER_MAX, &name, &name_len) || !rec.fixed(QV_TAG_AUTH, 32, &auth)) return -1;
    auto refuse = [&](uint8_t s) { return final_status(ctx, c, QV_FT_ESCROW, QV_TAG_ESCROW_STATUS, s); };
#ifdef QV_SERVER_TEST_KNOBS
    if (ctx->knobs.refuse) return refuse(0);
#endif
    qvs_account a{};
    int found = qvs_account_find(ctx->store, std::string(reinterpret_cast<const char *>(name), name_len), &a);
    if (found < 0) return refuse(QVS_ESCROW_FAILED);
    if (found == 0) return refuse(QVS_ESCROW_NO_ACCOUNT);
    bool right = auth_matches(a, auth);
    quorvane_cleanse(a.auth_hash, sizeof a.auth_hash);
    if (!right) return refuse(QVS_ESCROW_WRONG);
    reply r;
    quorvane_tlv_put_u8(&r.w, QV_TAG_ESCROW_STATUS, QVS_ESCROW_OK);
    quorvane_tlv_put(&r.w, QV_TAG_IDENTITY, a.identity_pub, 32);
    quorvane_tlv_put(&r.w, QV_TAG_ESCROW, a.pw_escrow, QVS_ESCROW_LEN);
    c->phase = QVS_DONE;
    return r.queue(c, QV_FT_ESCROW);
}

int on_recover(qvs_ctx *ctx, qvs_conn *c, const records &rec) {
    const uint8_t *name = nullptr;
    size_t name_len = 0;
    if (!rec.bytes(QV_TAG_USER, 1, QV_ESCROW_USER_MAX, &name, &name_len)) return -1;
    auto refuse = [&](uint8_t s) { return final_status(ctx, c, QV_FT_RECOVER_CHALLENGE, QV_TAG_RECOVER_STATUS, s); };
#ifdef QV_SERVER_TEST_KNOBS
    if (ctx->knobs.refuse) return refuse(0);
#endif
    c->user.assign(reinterpret_cast<const char *>(name), name_len);
    int found = qvs_account_find(ctx->store, c->user, &c->acct);
    if (found < 0) return refuse(QVS_RECOVER_FAILED);
    if (found == 0) return refuse(QVS_RECOVER_NO_ACCOUNT);
    if (!c->acct.has_rk_escrow) return refuse(QVS_RECOVER_NO_ESCROW);
    if (quorvane_random(c->nonce, 32) != 0) return -1;
    reply r;
    quorvane_tlv_put_u8(&r.w, QV_TAG_RECOVER_STATUS, QVS_RECOVER_OK);
    quorvane_tlv_put(&r.w, QV_TAG_IDENTITY, c->acct.identity_pub, 32);
    quorvane_tlv_put(&r.w, QV_TAG_ESCROW, c->acct.rk_escrow, QVS_ESCROW_LEN);
    quorvane_tlv_put(&r.w, QV_TAG_NONCE, c->nonce, 32);
    c->phase = QVS_WAIT_RECOVERY;
    return r.queue(c, QV_FT_RECOVER_CHALLENGE);
}

int on_recover_set(qvs_ctx *ctx, qvs_conn *c, const records &rec) {
    const uint8_t *auth = nullptr, *escrow = nullptr, *sig = nullptr;
    if (!rec.fixed(QV_TAG_NEW_AUTH, 32, &auth) || !rec.fixed(QV_TAG_ESCROW, QVS_ESCROW_LEN, &escrow) ||
        !rec.fixed(QV_TAG_CERT, 64, &sig))
        return -1;
    auto answer = [&](uint8_t s) { return final_status(ctx, c, QV_FT_RECOVER_DONE, QV_TAG_RECOVER_STATUS, s); };
    quorvane_escrow_params params{};
    if (quorvane_escrow_parse(escrow, QVS_ESCROW_LEN, &params) != 0 || params.kind != QV_ESCROW_KIND_PW ||
        quorvane_recover_verify(c->acct.identity_pub, c->nonce, ctx->keys->static_pub, c->user.c_str(), auth, escrow, sig) != 0)
        return answer(QVS_RECOVER_BAD_PROOF);
    quorvane_cleanse(c->nonce, sizeof c->nonce);
    uint8_t salt[QVS_SALT_LEN], hash[32];
    int ok = quorvane_random(salt, sizeof salt) == 0 && qvs_auth_hash(salt, auth, hash) == 0 &&
             qvs_account_set_password(ctx->store, c->acct.user_id, salt, hash, escrow) == 0;
    if (!ok) return answer(QVS_RECOVER_FAILED);
    n_log(LOG_INFO, "server: %s reset the password with the recovery key", c->user.c_str());
    return answer(QVS_RECOVER_OK);
}

// The new auth value replaces the old, and the escrow sealed under the new
// password the old one, in one update; the account is read afresh, since an
// earlier change on this connection made the one read at sign-in stale.
int change_password(qvs_ctx *ctx, qvs_conn *c, const records &rec) {
    const uint8_t *old_auth = nullptr, *new_auth = nullptr, *escrow = nullptr;
    if (!rec.fixed(QVS_TAG_AUTH, 32, &old_auth) || !rec.fixed(QVS_TAG_NEW_AUTH, 32, &new_auth) ||
        !rec.fixed(QVS_TAG_ESCROW, QVS_ESCROW_LEN, &escrow))
        return -1;
    auto answer = [&](uint8_t s) {
        qvs_frame_builder f(QVS_FT_PASSWORD_RESULT);
        f.put(QVS_TAG_PASSWORD_STATUS, &s, 1);
        c->replies.push_back(f.take());
        return 0;
    };
    quorvane_escrow_params params{};
    if (quorvane_escrow_parse(escrow, QVS_ESCROW_LEN, &params) != 0 || params.kind != QV_ESCROW_KIND_PW)
        return answer(QVS_PW_MALFORMED);
    qvs_account a{};
    if (qvs_account_find(ctx->store, c->user, &a) != 1 || std::memcmp(a.user_id, c->user_id, 16) != 0)
        return answer(QVS_PW_FAILED);
    const bool right = auth_matches(a, old_auth);
    quorvane_cleanse(a.auth_hash, sizeof a.auth_hash);
    if (!right) {
        // a stolen session must not become a fast way to guess the password
        if (++c->pw_wrong >= QVS_PW_WRONG_MAX) c->phase = QVS_DONE;
        return answer(QVS_PW_WRONG);
    }
    uint8_t salt[QVS_SALT_LEN], hash[32];
    const bool ok = quorvane_random(salt, sizeof salt) == 0 && qvs_auth_hash(salt, new_auth, hash) == 0 &&
                    qvs_account_set_password(ctx->store, c->user_id, salt, hash, escrow) == 0;
    quorvane_cleanse(hash, sizeof hash);
    if (!ok) return answer(QVS_PW_FAILED);
    n_log(LOG_INFO, "server: %s changed the password", c->user.c_str());
    return answer(QVS_PW_OK);
}

int on_preauth(qvs_ctx *ctx, qvs_conn *c, uint8_t type, const records &rec) {
    const uint8_t *v = nullptr;
    size_t vlen = 0;
    if (type == QV_FT_PREAUTH_EMAIL) {
        if (!rec.bytes(QV_TAG_ADDRESS, 1, 254, &v, &vlen)) return -1;
    } else if (!rec.bytes(QV_TAG_USER, 1, QV_ESCROW_USER_MAX, &v, &vlen) ||
               (type == QV_FT_PREAUTH_CODE && !rec.fixed(QV_TAG_CODE, 6, &v))) {
        return -1;
    }
    // This server sends no e-mail yet: every e-mailed name or code is refused
    // for that reason, which the client shows as such.
    uint8_t answer = type == QV_FT_PREAUTH_CODE ? QV_FT_PREAUTH_CODE_STATUS : QV_FT_PREAUTH_STATUS;
    return final_status(ctx, c, answer, QV_TAG_PREAUTH_STATUS, QVS_PREAUTH_NO_MAIL);
}

}  // namespace

uint8_t qvs_add_device(qvs_ctx *ctx, const qvs_account &acct, const uint8_t identity[32], const uint8_t auth[32], const qvs_device &dev) {
    if (!ctx || !identity || !auth) return QVS_REG_FAILED;
    if (std::memcmp(identity, acct.identity_pub, 32) != 0 || !auth_matches(acct, auth)) return QVS_REG_TAKEN;
    if (quorvane_device_cert_verify(acct.identity_pub, dev.x25519_pub, dev.ed25519_pub, dev.cert) != 0) return QVS_REG_BAD_CERT;
    switch (qvs_device_add(ctx->store, acct.user_id, &dev)) {
    case 0:
    case 1: return QVS_REG_OK;
    case 2: return QVS_REG_DEVICES_FULL;
    case 3: return QVS_REG_DEVICE_REVOKED;
    default: return QVS_REG_FAILED;
    }
}

std::vector<uint8_t> qvs_address_key(const std::string &peer) {
    uint8_t a[16];
    if (inet_pton(AF_INET, peer.c_str(), a) == 1) return {a, a + 4};
    if (inet_pton(AF_INET6, peer.c_str(), a) == 1) {
        static const uint8_t v4_mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        if (std::memcmp(a, v4_mapped, sizeof v4_mapped) == 0) return {a + 12, a + 16};
        return {a, a + 8};
    }
    std::vector<uint8_t> k{0xff};  // longer than either, so no address's
    k.insert(k.end(), peer.begin(), peer.end());
    return k;
}

qvs_conn::~qvs_conn() {
    quorvane_cleanse(nonce, sizeof nonce);
    quorvane_cleanse(&acct.auth_hash, sizeof acct.auth_hash);
    for (auto &f : replies) quorvane_cleanse(f.data(), f.size());
}

int qvs_auth_hash(const uint8_t salt[QVS_SALT_LEN], const uint8_t auth[32], uint8_t out[32]) {
    uint8_t in[QVS_SALT_LEN + 32], digest[64];
    std::memcpy(in, salt, QVS_SALT_LEN);
    std::memcpy(in + QVS_SALT_LEN, auth, 32);
    int r = quorvane_blake2b(in, sizeof in, digest);
    if (r == 0) std::memcpy(out, digest, 32);
    quorvane_cleanse(in, sizeof in);
    quorvane_cleanse(digest, sizeof digest);
    return r == 0 ? 0 : -1;
}

uint64_t qvs_wall_ms(const qvs_ctx *ctx) {
#ifdef QV_SERVER_TEST_KNOBS
    if (ctx && ctx->knobs.clock_ms) return ctx->knobs.clock_ms;
#else
    (void)ctx;
#endif
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

bool qvs_user_name_valid(const uint8_t *name, size_t len) {
    if (!name || len < 1 || len > QV_ESCROW_USER_MAX) return false;
    for (size_t i = 0; i < len; i++)
        if (name[i] <= 0x20 || name[i] >= 0x7f || name[i] == '/') return false;
    return true;
}

int qvs_handle_frame(qvs_ctx *ctx, qvs_conn *c, const uint8_t *frame, size_t len) {
    if (!ctx || !c || !frame) return -1;
    quorvane_frame_header h{};
    if (quorvane_frame_parse_header(frame, len, &h) != 0 || len - QV_FRAME_HEADER_LEN != h.length) return -1;
    records rec{frame + QV_FRAME_HEADER_LEN, h.length};
    // Every record must be well formed, not only the ones looked at.
    quorvane_tlv_reader rd;
    quorvane_tlv_reader_init(&rd, rec.p, rec.len);
    int r;
    while ((r = quorvane_tlv_next(&rd, nullptr, nullptr, nullptr)) == 0) {}
    if (r != -5) return -1;

    switch (c->phase) {
    case QVS_WAIT_HELLO: return h.type == QV_FT_HELLO ? on_hello(ctx, c) : -1;
    case QVS_WAIT_REQUEST:
        switch (h.type) {
        case QV_FT_REGISTER: return on_register(ctx, c, rec);
        case QV_FT_LOGIN: return on_login(ctx, c, rec);
        case QV_FT_ESCROW_GET: return on_escrow_get(ctx, c, rec);
        case QV_FT_RECOVER: return on_recover(ctx, c, rec);
        case QV_FT_PREAUTH_EMAIL:
        case QV_FT_PREAUTH_USER:
        case QV_FT_PREAUTH_CODE: return on_preauth(ctx, c, h.type, rec);
        default: return -1;
        }
    case QVS_WAIT_PROOF: return h.type == QV_FT_LOGIN_PROOF ? on_login_proof(ctx, c, rec) : -1;
    case QVS_WAIT_RECOVERY: return h.type == QV_FT_RECOVER_SET ? on_recover_set(ctx, c, rec) : -1;
    case QVS_SIGNED_IN:
        switch (h.type) {
        case QV_FT_PING: c->pings++; return 0;
        case QVS_FT_PUBLISH_PREKEYS: return qvs_on_publish_prekeys(ctx, c, rec);
        case QVS_FT_PREKEY_REQUEST: return qvs_on_prekey_request(ctx, c, rec);
        case QVS_FT_CREATE_CONV: return qvs_on_create_conv(ctx, c, rec);
        case QVS_FT_ENVELOPE: return qvs_on_envelope(ctx, c, rec);
        case QVS_FT_SYNC: return qvs_on_sync(ctx, c, rec);
        case QVS_FT_GROUP_KEY: return qvs_on_group_key(ctx, c, rec);
        case QVS_FT_KEY_REQUEST: return qvs_on_key_request(ctx, c, rec);
        case QVS_FT_KEY_REQUESTS_AGAIN: return qvs_on_key_requests_again(ctx, c, rec);
        case QVS_FT_PRESENCE_PUBLIC: return qvs_on_presence_public(ctx, c, rec);
        case QVS_FT_TYPING: return qvs_on_typing(ctx, c, rec);
        case QVS_FT_RECEIPT: return qvs_on_receipt(ctx, c, rec);
        case QVS_FT_READ_MARK: return qvs_on_read_mark(ctx, c, rec);
        case QVS_FT_REVOKE: return qvs_on_revoke(ctx, c, rec);
        case QVS_FT_HISTORY_REQUEST: return qvs_on_history_request(ctx, c, rec);
        case QVS_FT_HISTORY_CHUNK: return qvs_on_history_chunk(ctx, c, rec);
        case QVS_FT_BACKFILL: return qvs_on_backfill(ctx, c, rec);
        case QVS_FT_CHANGE_PASSWORD: return change_password(ctx, c, rec);
        default: return 0;  // frames of later exchanges are not served yet
        }
    default: return 0;  // a final answer is on its way out
    }
}
