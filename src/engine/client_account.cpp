// Account, device, history and presence: the requests and the answers they get.
#include "client_account.h"

#include "client_session.h"
#include "engine_clock.h"
#include "n_log.h"
#include "quorvane_crypto.h"
#include "quorvane_escrow.h"
#include "quorvane_keyfile.h"
#include "quorvane_proto.h"
#include "quorvane_x3dh.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// Requests of this family.
constexpr uint8_t FT_TYPING = 13, FT_READ_RECEIPT = 14, FT_REVOKE = 42, FT_HISTORY_REQUEST = 43, FT_HISTORY_CHUNK = 44,
                  FT_PUSH = 45, FT_PRESENCE_PUBLIC = 58, FT_DELETE_ACCOUNT = 60, FT_CHANGE_PASSWORD = 63, FT_KEY_REQUEST = 64,
                  FT_KEY_REQUESTS_GET = 65, FT_BACKUP_SET = 66, FT_BACKUP_LIST = 67, FT_BACKUP_DELETE = 68, FT_ESCROW_RK_SET = 69,
                  FT_RK_REQUEST = 70, FT_RK_SHARE = 71, FT_EMAIL_SET = 77, FT_EMAIL_VERIFY = 78, FT_EMAIL_REMOVE = 79,
                  FT_EMAIL_GET = 80, FT_RESET_CANCEL = 81, FT_READ_MARK = 83;
// Answers of this family.
constexpr uint8_t FA_TYPING = 13, FA_READ_RECEIPT = 14, FA_PRESENCE = 15, FA_REVOKED = 159, FA_HISTORY_PEER = 160,
                  FA_HISTORY_CHUNK = 161, FA_PUSH_REGISTERED = 162, FA_ACCOUNT_DELETE = 172, FA_PASSWORD = 175,
                  FA_BACKUP_SLOTS = 177, FA_BACKUP_ACK = 178, FA_RK_ESCROW = 179, FA_RK_PEER = 180, FA_RK_DELIVERED = 181,
                  FA_EMAIL_ACK = 185, FA_EMAIL_INFO = 187, FA_READ_MARK = 188;
constexpr uint8_t TAG_AUTH = 2, TAG_DEV_X = 4, TAG_DEV_ED = 5, TAG_CERT = 6, TAG_USER_ID = 14, TAG_LAST_SEEN = 16, TAG_CONV = 17,
                  TAG_POSITION = 21, TAG_ONLINE = 22, TAG_BLOB = 23, TAG_TOTAL = 24, TAG_DATA = 25, TAG_OFFSET = 26,
                  TAG_DEVICE = 52, TAG_REVOKE_STATUS = 53, TAG_PUSH_TOKEN = 54, TAG_DELETE_STATUS = 78, TAG_ESCROW = 80,
                  TAG_NEW_AUTH = 81, TAG_PASSWORD_STATUS = 83, TAG_BACKUP_HEADER = 85, TAG_BACKUP_SLOT = 86,
                  TAG_BACKUP_STATUS = 87, TAG_RK_FLAG = 88, TAG_RK_SEALED = 89, TAG_EMAIL = 93, TAG_EMAIL_STATUS = 94,
                  TAG_EMAIL_CODE = 95, TAG_RESET_AT = 97, TAG_EMAIL_PENDING = 98;
constexpr uint8_t REVOKE_DEFAULT = 1, ACCOUNT_DEFAULT = 4, EMAIL_DEFAULT = 10;
constexpr size_t RK_SEALED_LEN = 32 + QV_SEAL_OVERHEAD;
constexpr size_t CHANGE_PASSWORD_BODY = 178;
constexpr size_t CHUNK_FRAME_BODY = 4 * QV_TLV_HEAD_LEN + 16 + 8 + 8 + QV_HISTORY_CHUNK;

static_assert(CHANGE_PASSWORD_BODY >= 3 * QV_TLV_HEAD_LEN + 32 + 32 + QV_ESCROW_RECORD_LEN);
static_assert(QV_ESCROW_RECORD_LEN == QV_ESCROW_LEN);
static_assert(CHUNK_FRAME_BODY <= QV_FRAME_MAX_PAYLOAD);

bool signed_in(const quorvane_cs *cs) { return cs && cs->state == QV_CS_SIGNED_IN; }

// A body built on the stack and wiped on every path: bodies carry auth values.
template <size_t N> struct body {
    uint8_t buf[N];
    quorvane_tlv_writer w;
    body() { quorvane_tlv_writer_init(&w, buf, N); }
    ~body() { quorvane_cleanse(buf, N); }
    int send(quorvane_cs *cs, uint8_t type, bool large = false) {
        size_t n = 0;
        if (quorvane_tlv_writer_finish(&w, &n) != 0) return -1;
        return (large ? send_frame_large(cs, type, buf, n) : send_frame(cs, type, buf, n)) == 0 ? 0 : -1;
    }
};

struct auth_value {
    uint8_t v[32];
    ~auth_value() { quorvane_cleanse(v, sizeof v); }
};

// The 32-byte login value of a non-empty password under the session's user name.
bool make_auth(const quorvane_cs *cs, const char *password, auth_value *out) {
    return password && *password && cs->cfg.user && quorvane_pw_auth(password, cs->cfg.user, out->v) == 0;
}

int send_empty(quorvane_cs *cs, uint8_t type) { return signed_in(cs) && send_frame(cs, type, nullptr, 0) == 0 ? 0 : -1; }

int send_conv(quorvane_cs *cs, uint8_t type, const uint8_t conv_id[16]) {
    if (!signed_in(cs) || !conv_id) return -1;
    body<QV_TLV_HEAD_LEN + 16> b;
    quorvane_tlv_put(&b.w, TAG_CONV, conv_id, 16);
    return b.send(cs, type);
}

int send_conv_position(quorvane_cs *cs, uint8_t type, const uint8_t conv_id[16], uint64_t position) {
    if (!signed_in(cs) || !conv_id) return -1;
    body<2 * QV_TLV_HEAD_LEN + 16 + 8> b;
    quorvane_tlv_put(&b.w, TAG_CONV, conv_id, 16);
    quorvane_tlv_put_u64(&b.w, TAG_POSITION, position);
    return b.send(cs, type);
}

int send_auth_only(quorvane_cs *cs, uint8_t type, const char *password) {
    auth_value a;
    if (!signed_in(cs) || !make_auth(cs, password, &a)) return -1;
    body<QV_TLV_HEAD_LEN + 32> b;
    quorvane_tlv_put(&b.w, TAG_AUTH, a.v, 32);
    return b.send(cs, type);
}

void wipe_free(uint8_t **buf, uint64_t len) {
    if (!*buf) return;
    quorvane_cleanse(*buf, static_cast<size_t>(len));
    std::free(*buf);
    *buf = nullptr;
}

void drop_history_in(cs_account_state &a) {
    wipe_free(&a.history_in, a.history_in_got);
    a.history_in_total = a.history_in_got = 0;
}

void drop_history_out(cs_account_state &a) {
    wipe_free(&a.history_out, a.history_out_total);
    a.history_out_total = a.history_out_sent = 0;
}

// A status byte answer: the byte, or the default when the TLV is missing or malformed.
uint8_t status_of(const uint8_t *p, size_t len, uint8_t tag, uint8_t dflt) {
    const uint8_t *v = nullptr;
    size_t vl = 0;
    uint8_t s = dflt;
    if (quorvane_tlv_find(p, len, tag, &v, &vl) != 0 || quorvane_tlv_get_u8(v, vl, &s) != 0) s = dflt;
    return s;
}

bool get_u64(const uint8_t *p, size_t len, uint8_t tag, uint64_t *out) {
    const uint8_t *v = nullptr;
    size_t vl = 0;
    return quorvane_tlv_find(p, len, tag, &v, &vl) == 0 && quorvane_tlv_get_u64(v, vl, out) == 0;
}

uint64_t be64(const uint8_t *p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; i++) v = v << 8 | p[i];
    return v;
}

// An own device's keys, accepted only when our identity certified them.
bool own_device(const quorvane_cs *cs, const uint8_t *p, size_t len, const uint8_t **x, const uint8_t **ed) {
    const uint8_t *cert = nullptr;
    return cs->cfg.keys && quorvane_tlv_find_fixed(p, len, TAG_DEV_X, 32, x) == 0 &&
           quorvane_tlv_find_fixed(p, len, TAG_DEV_ED, 32, ed) == 0 && quorvane_tlv_find_fixed(p, len, TAG_CERT, 64, &cert) == 0 &&
           quorvane_device_cert_verify(cs->cfg.keys->identity_pub, *x, *ed, cert) == 0;
}

void on_typing(quorvane_cs *cs, const uint8_t *p, size_t len) {
    const uint8_t *id = nullptr;
    if (quorvane_tlv_find_fixed(p, len, TAG_CONV, 16, &id) != 0) return;
    cs_account_state &a = cs->account;
    std::memcpy(a.typing_conv, id, 16);
    a.typing_ms = quorvane_engine_now_ms();
    a.has_typing = 1;
}

void on_read(quorvane_cs *cs, const uint8_t *p, size_t len, bool own_mark) {
    const uint8_t *id = nullptr;
    uint64_t pos = 0;
    quorvane_msgstore *ms = cs->cfg.store;
    if (!ms || quorvane_tlv_find_fixed(p, len, TAG_CONV, 16, &id) != 0 || !get_u64(p, len, TAG_POSITION, &pos)) return;
    if (!own_mark) {
        if (quorvane_msgstore_set_read(ms, id, pos) != 0) n_log(LOG_DEBUG, "session: read receipt not stored");
    } else if (quorvane_msgstore_set_read_mark(ms, id, pos) == 1) {
        cs->authed.read_marks_epoch++;
    }
}

void on_presence(quorvane_cs *cs, const uint8_t *p, size_t len) {
    const uint8_t *uid = nullptr, *v = nullptr;
    size_t vl = 0;
    uint8_t online = 0;
    if (quorvane_tlv_find_fixed(p, len, TAG_USER_ID, 16, &uid) != 0 || quorvane_tlv_find(p, len, TAG_ONLINE, &v, &vl) != 0 ||
        quorvane_tlv_get_u8(v, vl, &online) != 0)
        return;
    cs_account_state &a = cs->account;
    cs_presence_entry *e = nullptr;
    for (size_t i = 0; i < a.presence_count && !e; i++)
        if (std::memcmp(a.presence[i].user_id, uid, 16) == 0) e = &a.presence[i];
    if (!e) {
        if (a.presence_count == QV_PRESENCE_MAX) return;
        e = &a.presence[a.presence_count++];
        std::memset(e, 0, sizeof *e);
        std::memcpy(e->user_id, uid, 16);
    }
    e->online = online;
    uint64_t seen = 0;
    if (!online && get_u64(p, len, TAG_LAST_SEEN, &seen)) e->last_seen = std::max(e->last_seen, seen);
}

void on_revoked(quorvane_cs *cs, const uint8_t *p, size_t len) {
    cs_account_state &a = cs->account;
    const uint8_t *id = nullptr;
    if (quorvane_tlv_find_fixed(p, len, TAG_DEVICE, 16, &id) != 0) return;
    std::memcpy(a.revoke_id, id, 16);
    a.revoke_result = status_of(p, len, TAG_REVOKE_STATUS, REVOKE_DEFAULT);
    a.revoke_ready = 1;
    static const uint8_t zero[32] = {};
    if (a.revoke_result == 0 && cs->cfg.store && std::memcmp(a.revoke_key, zero, 32) != 0) {
        const int n = quorvane_msgstore_drop_ratchet_device(cs->cfg.store, a.revoke_key);
        n_log(LOG_INFO, "session: revoked device, %d session files dropped", n);
    }
}

// Another own device asks for our history: it goes out sealed to that device's
// key, a chunk at a time as the send ring empties (see cs_account_pump).
void on_history_peer(quorvane_cs *cs, const uint8_t *p, size_t len) {
    const uint8_t *id = nullptr, *x = nullptr, *ed = nullptr;
    quorvane_msgstore *ms = cs->cfg.store;
    if (!ms || quorvane_tlv_find_fixed(p, len, TAG_DEVICE, 16, &id) != 0 || !own_device(cs, p, len, &x, &ed)) return;
    cs_account_state &a = cs->account;
    std::memcpy(a.history_peer_key, x, 32);
    a.history_peer_ready = 1;

    size_t plain_len = 0;
    uint8_t *plain = quorvane_msgstore_export_history(ms, &plain_len);
    if (!plain) return;
    const uint64_t total = plain_len + QV_SEAL_OVERHEAD;
    uint8_t *sealed = total <= QV_HISTORY_MAX ? static_cast<uint8_t *>(std::malloc(total)) : nullptr;
    size_t sl = 0;
    if (sealed && quorvane_seal(x, plain, plain_len, sealed, total, &sl) != 0) {
        std::free(sealed);
        sealed = nullptr;
    }
    quorvane_msgstore_export_free(plain, plain_len);
    if (!sealed) {
        n_log(LOG_WARNING, "session: history for another own device could not be sealed");
        return;
    }
    drop_history_out(a);  // a newer request replaces a transfer still running
    a.history_out = sealed;
    a.history_out_total = total;
    a.history_out_sent = 0;
    std::memcpy(a.history_out_device, id, 16);
    cs_account_pump(cs);
}

// History chunks count only while this session asked for a history: anyone can
// seal bytes to our device key, and an import would merge them into the store.
void on_history_chunk(quorvane_cs *cs, const uint8_t *p, size_t len) {
    cs_account_state &a = cs->account;
    quorvane_msgstore *ms = cs->cfg.store;
    const uint8_t *data = nullptr;
    size_t dl = 0;
    uint64_t total = 0, offset = 0;
    if (!a.history_requested || !ms || !cs->cfg.keys || !get_u64(p, len, TAG_TOTAL, &total) ||
        !get_u64(p, len, TAG_OFFSET, &offset) || quorvane_tlv_find(p, len, TAG_DATA, &data, &dl) != 0)
        return;
    if (total < QV_HISTORY_MIN || total > QV_HISTORY_MAX) return;
    if (offset == 0 || total != a.history_in_total || !a.history_in) {
        drop_history_in(a);
        a.history_in = static_cast<uint8_t *>(std::malloc(total));
        if (!a.history_in) return;
        a.history_in_total = total;
    }
    if (offset != a.history_in_got || dl > total - a.history_in_got) return;  // out of order or past the end
    std::memcpy(a.history_in + a.history_in_got, data, dl);
    a.history_in_got += dl;
    if (a.history_in_got < a.history_in_total) return;

    const size_t cap = static_cast<size_t>(total - QV_SEAL_OVERHEAD);
    uint8_t *plain = static_cast<uint8_t *>(std::malloc(cap ? cap : 1));
    size_t pl = 0;
    if (plain && quorvane_open(cs->cfg.keys->device_x25519_priv, a.history_in, total, plain, cap, &pl) == 0) {
        if (quorvane_msgstore_import_history(ms, plain, pl) == 0) {
            a.history_synced = 1;
        } else {
            n_log(LOG_WARNING, "session: received history could not be imported");
        }
        quorvane_cleanse(plain, pl);
    } else {
        n_log(LOG_WARNING, "session: received history did not open");
    }
    std::free(plain);
    drop_history_in(a);
    a.history_requested = 0;  // the transfer asked for is over, whatever it held
}

void on_backup_slots(quorvane_cs *cs, const uint8_t *p, size_t len) {
    cs_account_state &a = cs->account;
    quorvane_cleanse(a.backup_slots, sizeof a.backup_slots);
    a.backup_slot_count = 0;
    quorvane_tlv_reader r;
    quorvane_tlv_reader_init(&r, p, len);
    uint8_t tag = 0;
    const uint8_t *v = nullptr;
    size_t vl = 0;
    while (a.backup_slot_count < QV_BACKUP_SLOTS && quorvane_tlv_next(&r, &tag, &v, &vl) == 0) {
        if (tag != TAG_BACKUP_SLOT || vl != QV_BACKUP_SLOT_WIRE) continue;
        quorvane_backup_slot &s = a.backup_slots[a.backup_slot_count++];
        std::memcpy(s.id, v, 32);
        s.value_a = be64(v + 32);
        s.value_b = be64(v + 40);
        s.flag = v[48] ? 1 : 0;
        std::memcpy(s.header, v + 49, 21);
    }
    a.backup_slots_ready = 1;
}

void on_rk_escrow(quorvane_cs *cs, const uint8_t *p, size_t len) {
    cs_account_state &a = cs->account;
    const uint8_t *rec = nullptr;
    quorvane_cleanse(a.rk_escrow, sizeof a.rk_escrow);
    a.rk_escrow_has = quorvane_tlv_find_fixed(p, len, TAG_ESCROW, QV_ESCROW_RECORD_LEN, &rec) == 0;
    if (a.rk_escrow_has) std::memcpy(a.rk_escrow, rec, QV_ESCROW_RECORD_LEN);
    a.rk_escrow_ready = 1;
}

void on_rk_peer(quorvane_cs *cs, const uint8_t *p, size_t len) {
    const uint8_t *id = nullptr, *x = nullptr, *ed = nullptr;
    if (quorvane_tlv_find_fixed(p, len, TAG_DEVICE, 16, &id) != 0 || !own_device(cs, p, len, &x, &ed)) return;
    cs_account_state &a = cs->account;
    std::memcpy(a.rk_peer_id, id, 16);
    std::memcpy(a.rk_peer_key, x, 32);
    a.rk_peer_ready = 1;
}

void on_rk_delivered(quorvane_cs *cs, const uint8_t *p, size_t len) {
    const uint8_t *box = nullptr, *rec = nullptr;
    if (!cs->cfg.keys || quorvane_tlv_find_fixed(p, len, TAG_RK_SEALED, RK_SEALED_LEN, &box) != 0) return;
    uint8_t value[32 + 1];  // one byte more, so a longer plaintext is told apart
    size_t n = 0;
    const bool ok = quorvane_open(cs->cfg.keys->device_x25519_priv, box, RK_SEALED_LEN, value, sizeof value, &n) == 0 && n == 32;
    if (ok) {
        cs_account_state &a = cs->account;
        quorvane_cleanse(a.rk_delivered_value, sizeof a.rk_delivered_value);
        quorvane_cleanse(a.rk_delivered_escrow, sizeof a.rk_delivered_escrow);
        std::memcpy(a.rk_delivered_value, value, 32);
        a.rk_delivered_has = quorvane_tlv_find_fixed(p, len, TAG_ESCROW, QV_ESCROW_RECORD_LEN, &rec) == 0;
        if (a.rk_delivered_has) std::memcpy(a.rk_delivered_escrow, rec, QV_ESCROW_RECORD_LEN);
        a.rk_delivered_ready = 1;
    }
    quorvane_cleanse(value, sizeof value);
}

// A text TLV of 1-254 bytes copied NUL-terminated; empty when absent or malformed.
void copy_text(const uint8_t *p, size_t len, uint8_t tag, char *out, size_t cap) {
    const uint8_t *v = nullptr;
    size_t vl = 0;
    std::memset(out, 0, cap);
    if (quorvane_tlv_find_bytes(p, len, tag, 1, QV_EMAIL_ADDRESS_MAX, &v, &vl) == 0) std::memcpy(out, v, vl);
}

void on_email_info(quorvane_cs *cs, const uint8_t *p, size_t len) {
    quorvane_email_info &e = cs->account.email_info;
    copy_text(p, len, TAG_EMAIL, e.address, sizeof e.address);
    copy_text(p, len, TAG_EMAIL_PENDING, e.pending, sizeof e.pending);
    if (!get_u64(p, len, TAG_RESET_AT, &e.reset_at_ms)) e.reset_at_ms = 0;
    cs->account.email_info_ready = 1;
}

void set_status(int *ready, uint8_t *result, const uint8_t *p, size_t len, uint8_t tag, uint8_t dflt) {
    *result = status_of(p, len, tag, dflt);
    *ready = 1;
}

// Take of a flag and a result byte.
int take_status(int *ready, const uint8_t *result, uint8_t *out) {
    if (!*ready) return 0;
    if (out) *out = *result;
    *ready = 0;
    return 1;
}

}  // namespace

/* ---- dispatch ---- */

int cs_account_frame(quorvane_cs *cs, uint8_t type, const uint8_t *p, size_t len) {
    if (!cs) return 0;
    cs_account_state &a = cs->account;
    switch (type) {
    case FA_TYPING: on_typing(cs, p, len); break;
    case FA_READ_RECEIPT: on_read(cs, p, len, false); break;
    case FA_READ_MARK: on_read(cs, p, len, true); break;
    case FA_PRESENCE: on_presence(cs, p, len); break;
    case FA_REVOKED: on_revoked(cs, p, len); break;
    case FA_HISTORY_PEER: on_history_peer(cs, p, len); break;
    case FA_HISTORY_CHUNK: on_history_chunk(cs, p, len); break;
    case FA_PUSH_REGISTERED: a.push_registered = 1; break;
    case FA_ACCOUNT_DELETE: set_status(&a.delete_ready, &a.delete_result, p, len, TAG_DELETE_STATUS, ACCOUNT_DEFAULT); break;
    case FA_PASSWORD: set_status(&a.password_ready, &a.password_result, p, len, TAG_PASSWORD_STATUS, ACCOUNT_DEFAULT); break;
    case FA_BACKUP_ACK: set_status(&a.backup_ack_ready, &a.backup_ack_result, p, len, TAG_BACKUP_STATUS, ACCOUNT_DEFAULT); break;
    case FA_EMAIL_ACK: set_status(&a.email_ack_ready, &a.email_ack_result, p, len, TAG_EMAIL_STATUS, EMAIL_DEFAULT); break;
    case FA_BACKUP_SLOTS: on_backup_slots(cs, p, len); break;
    case FA_RK_ESCROW: on_rk_escrow(cs, p, len); break;
    case FA_RK_PEER: on_rk_peer(cs, p, len); break;
    case FA_RK_DELIVERED: on_rk_delivered(cs, p, len); break;
    case FA_EMAIL_INFO: on_email_info(cs, p, len); break;
    default: return 0;
    }
    return 1;
}

void cs_account_pump(quorvane_cs *cs) {
    if (!cs) return;
    cs_account_state &a = cs->account;
    if (!a.history_out) return;
    // the connection's ring holds 64 frames: a 64 MiB history is 256 of them
    while (a.history_out_sent < a.history_out_total) {
        if (!signed_in(cs) || !cs->cnet || cs->cnet->send_count + QV_HISTORY_SEND_ROOM >= QV_CNET_RING) return;
        const uint64_t n = std::min<uint64_t>(QV_HISTORY_CHUNK, a.history_out_total - a.history_out_sent);
        body<CHUNK_FRAME_BODY> *b = new (std::nothrow) body<CHUNK_FRAME_BODY>;
        if (!b) return;
        quorvane_tlv_put(&b->w, TAG_DEVICE, a.history_out_device, 16);
        quorvane_tlv_put_u64(&b->w, TAG_TOTAL, a.history_out_total);
        quorvane_tlv_put_u64(&b->w, TAG_OFFSET, a.history_out_sent);
        quorvane_tlv_put(&b->w, TAG_DATA, a.history_out + a.history_out_sent, static_cast<size_t>(n));
        const int r = b->send(cs, FT_HISTORY_CHUNK, true);
        delete b;
        if (r != 0) {
            n_log(LOG_WARNING, "session: history transfer to another own device stopped");
            break;
        }
        a.history_out_sent += n;
    }
    drop_history_out(a);
}

void cs_account_release(quorvane_cs *cs) {
    if (!cs) return;
    drop_history_in(cs->account);
    drop_history_out(cs->account);
}

/* ---- account requests ---- */

int quorvane_cs_delete_account(quorvane_cs *cs, const char *password) {
    if (!signed_in(cs) || !password || !*password) return -1;
    cs->account.delete_ready = 0;
    return send_auth_only(cs, FT_DELETE_ACCOUNT, password);
}

int quorvane_cs_change_password(quorvane_cs *cs, const char *old_password, const char *new_password) {
    if (!signed_in(cs) || !cs->cfg.keys || !old_password || !*old_password || !new_password || !*new_password) return -1;
    auth_value old_auth, new_auth;
    uint8_t escrow[QV_ESCROW_RECORD_LEN];
    const bool ok = make_auth(cs, old_password, &old_auth) && make_auth(cs, new_password, &new_auth) &&
                    quorvane_escrow_seal_pw(new_password, cs->cfg.user, cs->cfg.keys->identity_priv, escrow) == 0;
    int r = -1;
    if (ok) {
        cs->account.password_ready = 0;
        body<CHANGE_PASSWORD_BODY> b;
        quorvane_tlv_put(&b.w, TAG_AUTH, old_auth.v, 32);
        quorvane_tlv_put(&b.w, TAG_NEW_AUTH, new_auth.v, 32);
        quorvane_tlv_put(&b.w, TAG_ESCROW, escrow, sizeof escrow);
        r = b.send(cs, FT_CHANGE_PASSWORD);
    }
    quorvane_cleanse(escrow, sizeof escrow);
    return r;
}

int quorvane_cs_email_get(quorvane_cs *cs) { return send_empty(cs, FT_EMAIL_GET); }

int quorvane_cs_email_set(quorvane_cs *cs, const char *address, const char *password) {
    if (!signed_in(cs) || !address || !password) return -1;
    const size_t n = std::strlen(address);
    auth_value a;
    if (n < 1 || n > QV_EMAIL_ADDRESS_MAX || !make_auth(cs, password, &a)) return -1;
    body<2 * QV_TLV_HEAD_LEN + QV_EMAIL_ADDRESS_MAX + 32> b;
    quorvane_tlv_put(&b.w, TAG_EMAIL, address, n);
    quorvane_tlv_put(&b.w, TAG_AUTH, a.v, 32);
    return b.send(cs, FT_EMAIL_SET);
}

int quorvane_cs_email_verify(quorvane_cs *cs, const char *code) {
    if (!signed_in(cs) || !code || std::strlen(code) != QV_EMAIL_CODE_LEN) return -1;
    body<QV_TLV_HEAD_LEN + QV_EMAIL_CODE_LEN> b;
    quorvane_tlv_put(&b.w, TAG_EMAIL_CODE, code, QV_EMAIL_CODE_LEN);
    return b.send(cs, FT_EMAIL_VERIFY);
}

int quorvane_cs_email_remove(quorvane_cs *cs, const char *password) { return send_auth_only(cs, FT_EMAIL_REMOVE, password); }
int quorvane_cs_reset_cancel(quorvane_cs *cs) { return send_empty(cs, FT_RESET_CANCEL); }

int quorvane_cs_rk_request(quorvane_cs *cs, int flag) {
    if (!signed_in(cs)) return -1;
    body<QV_TLV_HEAD_LEN + 1> b;
    if (flag) quorvane_tlv_put_u8(&b.w, TAG_RK_FLAG, 1);
    return b.send(cs, FT_RK_REQUEST);
}

int quorvane_cs_rk_share(quorvane_cs *cs, const uint8_t device_id[16], const uint8_t device_key[32], const uint8_t value[32]) {
    if (!signed_in(cs) || !device_id || !device_key || !value) return -1;
    uint8_t box[RK_SEALED_LEN];
    size_t n = 0;
    if (quorvane_seal(device_key, value, 32, box, sizeof box, &n) != 0 || n != RK_SEALED_LEN) return -1;
    body<2 * QV_TLV_HEAD_LEN + 16 + RK_SEALED_LEN> b;
    quorvane_tlv_put(&b.w, TAG_DEVICE, device_id, 16);
    quorvane_tlv_put(&b.w, TAG_RK_SEALED, box, n);
    return b.send(cs, FT_RK_SHARE);
}

int quorvane_cs_escrow_rk_set(quorvane_cs *cs, const uint8_t record[82]) {
    if (!signed_in(cs) || !record) return -1;
    body<QV_TLV_HEAD_LEN + QV_ESCROW_RECORD_LEN> b;
    quorvane_tlv_put(&b.w, TAG_ESCROW, record, QV_ESCROW_RECORD_LEN);
    return b.send(cs, FT_ESCROW_RK_SET);
}

int quorvane_cs_backup_set(quorvane_cs *cs, const uint8_t id[16], const uint8_t header[21]) {
    if (!signed_in(cs) || !id || !header) return -1;
    body<2 * QV_TLV_HEAD_LEN + 16 + 21> b;
    quorvane_tlv_put(&b.w, TAG_BLOB, id, 16);
    quorvane_tlv_put(&b.w, TAG_BACKUP_HEADER, header, 21);
    return b.send(cs, FT_BACKUP_SET);
}

int quorvane_cs_backup_list(quorvane_cs *cs) { return send_empty(cs, FT_BACKUP_LIST); }
int quorvane_cs_backup_delete(quorvane_cs *cs) { return send_empty(cs, FT_BACKUP_DELETE); }
int quorvane_cs_send_key_request(quorvane_cs *cs, const uint8_t conv_id[16]) { return send_conv(cs, FT_KEY_REQUEST, conv_id); }
int quorvane_cs_key_requests_get(quorvane_cs *cs) { return send_empty(cs, FT_KEY_REQUESTS_GET); }

int quorvane_cs_request_history(quorvane_cs *cs) {
    if (!signed_in(cs)) return -1;
    cs_account_state &a = cs->account;
    a.history_synced = 0;
    drop_history_in(a);
    if (send_frame(cs, FT_HISTORY_REQUEST, nullptr, 0) != 0) return -1;
    a.history_requested = 1;
    return 0;
}

/* ---- presence, typing, read state, devices, push ---- */

int quorvane_cs_send_typing(quorvane_cs *cs, const uint8_t conv_id[16]) { return send_conv(cs, FT_TYPING, conv_id); }

int quorvane_cs_send_read_receipt(quorvane_cs *cs, const uint8_t conv_id[16], uint64_t position) {
    return send_conv_position(cs, FT_READ_RECEIPT, conv_id, position);
}

int quorvane_cs_send_read_mark(quorvane_cs *cs, const uint8_t conv_id[16], uint64_t position) {
    return position == 0 ? -1 : send_conv_position(cs, FT_READ_MARK, conv_id, position);
}

int quorvane_cs_set_presence_public(quorvane_cs *cs, int on) {
    if (!signed_in(cs)) return -1;
    body<QV_TLV_HEAD_LEN + 1> b;
    quorvane_tlv_put_u8(&b.w, TAG_ONLINE, on ? 1 : 0);
    return b.send(cs, FT_PRESENCE_PUBLIC);
}

int quorvane_cs_revoke_device(quorvane_cs *cs, const uint8_t dev_x[32], const uint8_t dev_ed[32]) {
    if (!signed_in(cs) || !dev_x || !dev_ed) return -1;
    uint8_t id[16];
    if (quorvane_device_id(dev_x, dev_ed, id) != 0) return -1;
    cs_account_state &a = cs->account;
    a.revoke_ready = 0;
    std::memcpy(a.revoke_key, dev_x, 32);
    body<QV_TLV_HEAD_LEN + 16> b;
    quorvane_tlv_put(&b.w, TAG_DEVICE, id, 16);
    return b.send(cs, FT_REVOKE);
}

int quorvane_cs_register_push(quorvane_cs *cs, const char *token) {
    const size_t len = token ? std::strlen(token) : 0;
    if (!signed_in(cs) || len > QV_PUSH_TOKEN_MAX) return -1;
    cs->account.push_registered = 0;
    body<QV_TLV_HEAD_LEN + QV_PUSH_TOKEN_MAX> b;
    quorvane_tlv_put(&b.w, TAG_PUSH_TOKEN, token, len);
    return b.send(cs, FT_PUSH);
}

/* ---- getters ---- */

int quorvane_cs_get_typing(const quorvane_cs *cs, uint8_t conv_id[16], uint64_t *time_ms) {
    if (!cs || !cs->account.has_typing) return 0;
    if (conv_id) std::memcpy(conv_id, cs->account.typing_conv, 16);
    if (time_ms) *time_ms = cs->account.typing_ms;
    return 1;
}

size_t quorvane_cs_presence_copy(const quorvane_cs *cs, uint8_t (*user_ids)[16], uint8_t *online, size_t max) {
    if (!cs) return 0;
    const size_t n = std::min(max, cs->account.presence_count);
    for (size_t i = 0; i < n; i++) {
        if (user_ids) std::memcpy(user_ids[i], cs->account.presence[i].user_id, 16);
        if (online) online[i] = cs->account.presence[i].online;
    }
    return n;
}

uint64_t quorvane_cs_last_seen(const quorvane_cs *cs, const uint8_t user_id[16]) {
    if (!cs || !user_id) return 0;
    for (size_t i = 0; i < cs->account.presence_count; i++)
        if (std::memcmp(cs->account.presence[i].user_id, user_id, 16) == 0) return cs->account.presence[i].last_seen;
    return 0;
}

int quorvane_cs_push_registered(const quorvane_cs *cs) { return cs && cs->account.push_registered ? 1 : 0; }

int quorvane_cs_take_revoke(quorvane_cs *cs, uint8_t *result) {
    return cs ? take_status(&cs->account.revoke_ready, &cs->account.revoke_result, result) : 0;
}
int quorvane_cs_take_account_delete(quorvane_cs *cs, uint8_t *result) {
    return cs ? take_status(&cs->account.delete_ready, &cs->account.delete_result, result) : 0;
}
int quorvane_cs_take_password_change(quorvane_cs *cs, uint8_t *result) {
    return cs ? take_status(&cs->account.password_ready, &cs->account.password_result, result) : 0;
}
int quorvane_cs_take_email_ack(quorvane_cs *cs, uint8_t *result) {
    return cs && result ? take_status(&cs->account.email_ack_ready, &cs->account.email_ack_result, result) : 0;
}
int quorvane_cs_take_backup_ack(quorvane_cs *cs, uint8_t *result) {
    return cs && result ? take_status(&cs->account.backup_ack_ready, &cs->account.backup_ack_result, result) : 0;
}

int quorvane_cs_take_email_info(quorvane_cs *cs, quorvane_email_info *out) {
    if (!cs || !out || !cs->account.email_info_ready) return 0;
    *out = cs->account.email_info;
    cs->account.email_info_ready = 0;
    return 1;
}

int quorvane_cs_take_rk_escrow(quorvane_cs *cs, uint8_t out[82], int *has) {
    if (!cs || !cs->account.rk_escrow_ready) return 0;
    cs_account_state &a = cs->account;
    if (has) *has = a.rk_escrow_has;
    if (a.rk_escrow_has && out) std::memcpy(out, a.rk_escrow, QV_ESCROW_RECORD_LEN);
    quorvane_cleanse(a.rk_escrow, sizeof a.rk_escrow);
    a.rk_escrow_has = 0;
    a.rk_escrow_ready = 0;
    return 1;
}

int quorvane_cs_take_rk_peer(quorvane_cs *cs, uint8_t device_id[16], uint8_t device_key[32]) {
    if (!cs || !cs->account.rk_peer_ready) return 0;
    cs_account_state &a = cs->account;
    if (device_id) std::memcpy(device_id, a.rk_peer_id, 16);
    if (device_key) std::memcpy(device_key, a.rk_peer_key, 32);
    a.rk_peer_ready = 0;
    return 1;
}

int quorvane_cs_take_rk_delivered(quorvane_cs *cs, uint8_t value[32], uint8_t escrow[82], int *has) {
    if (!cs || !cs->account.rk_delivered_ready) return 0;
    cs_account_state &a = cs->account;
    if (value) std::memcpy(value, a.rk_delivered_value, 32);
    if (has) *has = a.rk_delivered_has;
    if (a.rk_delivered_has && escrow) std::memcpy(escrow, a.rk_delivered_escrow, QV_ESCROW_RECORD_LEN);
    quorvane_cleanse(a.rk_delivered_value, sizeof a.rk_delivered_value);
    quorvane_cleanse(a.rk_delivered_escrow, sizeof a.rk_delivered_escrow);
    a.rk_delivered_has = 0;
    a.rk_delivered_ready = 0;
    return 1;
}

int quorvane_cs_take_backup_slots(quorvane_cs *cs, quorvane_backup_slot *dst, size_t n, size_t *count) {
    if (!cs || !cs->account.backup_slots_ready) return 0;
    cs_account_state &a = cs->account;
    const size_t k = dst ? std::min(n, a.backup_slot_count) : 0;
    if (k) std::memcpy(dst, a.backup_slots, k * sizeof *dst);
    if (count) *count = k;
    a.backup_slots_ready = 0;
    return 1;
}

int quorvane_cs_take_history_peer(quorvane_cs *cs, uint8_t key[32]) {
    if (!cs || !cs->account.history_peer_ready) return 0;
    if (key) std::memcpy(key, cs->account.history_peer_key, 32);
    cs->account.history_peer_ready = 0;
    return 1;
}

int quorvane_cs_history_synced(const quorvane_cs *cs) { return cs && cs->account.history_synced ? 1 : 0; }
