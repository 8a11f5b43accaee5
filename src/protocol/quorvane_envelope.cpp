#include "quorvane_envelope.h"

#include <cstring>

#include "quorvane_bytes.h"
#include "quorvane_crypto.h"

using namespace qv_bytes;

static_assert(QV_ENV_HEADER_LEN == QV_ENV_PREFIX_LEN + QV_SALT_LEN);
static_assert(QV_ENV_OVERHEAD == QV_ENV_HEADER_LEN + QV_TAG_LEN);

// Header offsets on the wire.
constexpr size_t OFF_SENDER  = 16;
constexpr size_t OFF_COUNTER = 32;
constexpr size_t OFF_TIME    = 40;
constexpr size_t OFF_SALT    = 48;

// Checks shared by both seals, done before anything is written.
static int seal_args_ok(const uint8_t *key, const void *header, const uint8_t *body, size_t body_len,
                        const uint8_t *out, size_t out_cap, const size_t *out_len) {
    if (!key || !header || (!body && body_len) || !out || !out_len) return 0;
    if (body_len > QV_CRYPTO_LEN_MAX || out_cap < QV_ENV_OVERHEAD || out_cap - QV_ENV_OVERHEAD < body_len) return 0;
    return 1;
}

// `out` already starts with the 64 header bytes; they are both the source of
// the counter and salt and the associated data.
static int seal_after_header(const uint8_t key[32], const uint8_t *body, size_t body_len, uint8_t *out,
                             size_t *out_len) {
    uint8_t *ct = out + QV_ENV_HEADER_LEN;
    int rc = quorvane_msg_seal(key, get_be64(out + OFF_COUNTER), out + OFF_SALT, out, QV_ENV_HEADER_LEN, body, body_len,
                               ct, ct + body_len);
    if (rc == 0) *out_len = body_len + QV_ENV_OVERHEAD;
    return rc;
}

void quorvane_env_header_encode(const quorvane_env_header *h, uint8_t out[64]) {
    memcpy(out, h->conversation_id, 16);
    memcpy(out + OFF_SENDER, h->sender_id, 16);
    put_be64(out + OFF_COUNTER, h->counter);
    put_be64(out + OFF_TIME, h->time);
    memcpy(out + OFF_SALT, h->salt, 16);
}

int quorvane_env_header_decode(const uint8_t *bytes, size_t len, quorvane_env_header *out) {
    if (!out || (!bytes && len)) return -3;
    if (len < QV_ENV_HEADER_LEN) return -2;
    memcpy(out->conversation_id, bytes, 16);
    memcpy(out->sender_id, bytes + OFF_SENDER, 16);
    out->counter = get_be64(bytes + OFF_COUNTER);
    out->time = get_be64(bytes + OFF_TIME);
    memcpy(out->salt, bytes + OFF_SALT, 16);
    return 0;
}

int quorvane_env_seal(const uint8_t key[32], const quorvane_env_header *h, const uint8_t *body, size_t body_len,
                      uint8_t *out, size_t out_cap, size_t *out_len) {
    if (!seal_args_ok(key, h, body, body_len, out, out_cap, out_len)) return -3;
    quorvane_env_header_encode(h, out);
    return seal_after_header(key, body, body_len, out, out_len);
}

int quorvane_env_seal_bytes(const uint8_t key[32], const uint8_t header48[48], const uint8_t *body, size_t body_len,
                            uint8_t *out, size_t out_cap, size_t *out_len) {
    if (!seal_args_ok(key, header48, body, body_len, out, out_cap, out_len)) return -3;
    memmove(out, header48, QV_ENV_PREFIX_LEN);
    if (quorvane_random(out + OFF_SALT, QV_SALT_LEN) != 0) return -1;
    return seal_after_header(key, body, body_len, out, out_len);
}

int quorvane_env_open_bytes(const uint8_t key[32], const uint8_t *sealed, size_t sealed_len, uint8_t *body_out,
                            size_t body_cap, size_t *out_len) {
    if (!key || !sealed || !out_len || sealed_len < QV_ENV_OVERHEAD) return -3;
    size_t n = sealed_len - QV_ENV_OVERHEAD;
    if (body_cap < n || (!body_out && n)) return -3;
    const uint8_t *ct = sealed + QV_ENV_HEADER_LEN;
    int rc = quorvane_msg_open(key, get_be64(sealed + OFF_COUNTER), sealed + OFF_SALT, sealed, QV_ENV_HEADER_LEN, ct, n,
                               ct + n, body_out);
    if (rc == 0) *out_len = n;
    return rc;
}

int quorvane_env_open(const uint8_t key[32], const uint8_t *sealed, size_t sealed_len, quorvane_env_header *header_out,
                      uint8_t *body_out, size_t body_cap, size_t *out_len) {
    int rc = quorvane_env_open_bytes(key, sealed, sealed_len, body_out, body_cap, out_len);
    // The header is handed out only once it has been authenticated.
    if (rc == 0 && header_out) (void)quorvane_env_header_decode(sealed, sealed_len, header_out);
    return rc;
}
