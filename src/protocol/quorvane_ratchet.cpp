#include "quorvane_ratchet.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <openssl/crypto.h>

#include "n_digest.h"
#include "n_ecc.h"
#include "n_log.h"
#include "quorvane_bytes.h"

using namespace qv_bytes;

static_assert(QV_KEY_LEN == N_X25519_KEY_LEN && QV_TAG_LEN == N_AEAD_TAG_LEN);
static_assert(QV_RATCHET_MAX_SKIP <= UINT32_MAX && QV_RATCHET_FIRST_CAP <= QV_RATCHET_MAX_SKIP);

namespace {

constexpr uint8_t FLAG_PEER_KNOWN = 1u << 0;
constexpr uint8_t FLAG_HAS_SEND   = 1u << 1;
constexpr uint8_t FLAG_HAS_RECV   = 1u << 2;
constexpr uint8_t CHAIN_MSG_BYTE  = 0x01;
constexpr uint8_t CHAIN_NEXT_BYTE = 0x02;
constexpr char    SER_MAGIC[4]    = {'H', 'R', 'R', '1'};

void wipe_free_skipped(quorvane_ratchet *s) {
    if (s->skipped) {
        OPENSSL_cleanse(s->skipped, s->skipped_cap * sizeof *s->skipped);
        free(s->skipped);
    }
    s->skipped = nullptr;
    s->skipped_count = 0;
    s->skipped_cap = 0;
}

// Root step: the Diffie-Hellman result keyed by the current root key gives the
// next root key and a fresh chain key.
int kdf_rk(uint8_t root_key[32], const uint8_t dh[32], uint8_t chain_out[32]) {
    secret_buf<64> okm;
    if (n_kdf_hkdf_sha256(dh, QV_KEY_LEN, root_key, QV_KEY_LEN, RATCHET_ROOT_INFO.data(), RATCHET_ROOT_INFO.size(),
                          okm.b, sizeof okm.b) != 0)
        return -1;
    memcpy(root_key, okm.b, QV_KEY_LEN);
    memcpy(chain_out, okm.b + QV_KEY_LEN, QV_KEY_LEN);
    okm.wipe();
    return 0;
}

// Chain step: one key for this message, one for the rest of the chain.
int kdf_ck(const uint8_t ck[32], uint8_t chain_mk[32], uint8_t next_ck[32]) {
    if (quorvane_hmac_sha256(ck, QV_KEY_LEN, &CHAIN_MSG_BYTE, 1, chain_mk) != 0) return -1;
    if (quorvane_hmac_sha256(ck, QV_KEY_LEN, &CHAIN_NEXT_BYTE, 1, next_ck) != 0) {
        OPENSSL_cleanse(chain_mk, QV_KEY_LEN);
        return -1;
    }
    return 0;
}

int message_key(const uint8_t chain_mk[32], uint8_t mk[32]) {
    return quorvane_hkdf_sha256_32(chain_mk, QV_KEY_LEN, ZERO_SALT32, sizeof ZERO_SALT32, byte_ptr(RATCHET_MSG_INFO),
                                   RATCHET_MSG_INFO.size(), mk);
}

// X25519(own_priv, s->peer_pub) into a root step that yields `chain_out`.
int dh_root_step(quorvane_ratchet *s, uint8_t chain_out[32]) {
    secret_buf<32> dh;
    if (n_x25519_derive(s->own_priv, s->peer_pub, dh.b) != 0) return -1;
    const int rc = kdf_rk(s->root_key, dh.b, chain_out);
    dh.wipe();
    return rc;
}

// Room for one more skipped entry. realloc would leave the old block's keys
// behind in freed memory, so the copy is made by hand and the old block wiped.
int grow_skipped(quorvane_ratchet *s) {
    if (s->skipped_count < s->skipped_cap) return 0;
    const size_t cap = s->skipped_cap == 0 ? QV_RATCHET_FIRST_CAP : std::min(2 * s->skipped_count, QV_RATCHET_MAX_SKIP);
    if (cap <= s->skipped_count) return -3;
    auto *grown = n_calloc(grown, cap, quorvane_ratchet_skipped);
    if (!grown) return -1;
    if (s->skipped_count) memcpy(grown, s->skipped, s->skipped_count * sizeof *grown);
    const size_t count = s->skipped_count;
    wipe_free_skipped(s);
    s->skipped = grown;
    s->skipped_count = count;
    s->skipped_cap = cap;
    return 0;
}

// Stores the keys of the receiving chain's messages up to (not including)
// `target`. Runs only on a working copy, so a failure half way leaves nothing.
int rk_skip(quorvane_ratchet *s, uint32_t target) {
    if (!s->has_recv || s->recv_n >= target) return 0;
    const size_t diff = target - s->recv_n;
    if (diff > QV_RATCHET_MAX_SKIP || s->skipped_count + diff > QV_RATCHET_MAX_SKIP) return -3;
    secret_buf<32> cmk, next;
    while (s->recv_n < target) {
        int rc = grow_skipped(s);
        if (rc != 0) return rc;
        if (kdf_ck(s->recv_ck, cmk.b, next.b) != 0) return -1;
        quorvane_ratchet_skipped *e = &s->skipped[s->skipped_count++];
        memcpy(e->peer_pub, s->peer_pub, QV_KEY_LEN);
        e->number = s->recv_n;
        memcpy(e->chain_mk, cmk.b, QV_KEY_LEN);
        memcpy(s->recv_ck, next.b, QV_KEY_LEN);
        s->recv_n++;
        cmk.wipe();
        next.wipe();
    }
    return 0;
}

// Header fields and the 104 bytes every message authenticates.
struct header_view {
    const uint8_t *key;
    uint32_t prev_n;
    uint32_t number;
    uint8_t ad[QV_RATCHET_MSG_AD_LEN];
};

void read_header(const quorvane_ratchet *s, const uint8_t *msg, header_view *h) {
    h->key = msg;
    h->prev_n = get_be32(msg + QV_KEY_LEN);
    h->number = get_be32(msg + QV_KEY_LEN + 4);
    memcpy(h->ad, s->ad, QV_RATCHET_AD_LEN);
    memcpy(h->ad + QV_RATCHET_AD_LEN, msg, QV_RATCHET_HEADER_LEN);
}

// The message's key from a chain message key, then the AEAD open; -2 for any
// refusal of the cipher, the output wiped.
int open_with(const uint8_t chain_mk[32], const header_view &h, const uint8_t *msg, size_t n, uint8_t *out) {
    secret_buf<32> mk;
    if (message_key(chain_mk, mk.b) != 0) return -1;
    const uint8_t *ct = msg + QV_RATCHET_HEADER_LEN;
    const int rc = n_aead_chacha20poly1305_decrypt(mk.b, ZERO_NONCE, sizeof ZERO_NONCE, h.ad, sizeof h.ad, ct, n,
                                                   ct + n, out);
    mk.wipe();
    if (rc != 0) {
        OPENSSL_cleanse(out, n);
        return -2;
    }
    return 0;
}

// Steps the working copy to the header's chain and number and leaves the
// message's chain key in `chain_mk`.
int advance_recv(quorvane_ratchet *w, const header_view &h, uint8_t chain_mk[32]) {
    int rc = 0;
    if (!w->peer_known || !quorvane_ct_eq(h.key, w->peer_pub, QV_KEY_LEN)) {
        if ((rc = rk_skip(w, h.prev_n)) != 0) return rc;
        w->prev_n = w->send_n;
        w->send_n = 0;
        w->recv_n = 0;
        memcpy(w->peer_pub, h.key, QV_KEY_LEN);
        w->peer_known = 1;
        if (dh_root_step(w, w->recv_ck) != 0) return -1;
        w->has_recv = 1;
        if (quorvane_x25519_keypair(w->own_priv, w->own_pub) != 0 || dh_root_step(w, w->send_ck) != 0) return -1;
        w->has_send = 1;
    }
    // The initiator's first peer key is the responder's signed prekey, which
    // anyone can put in a header; with no receiving chain behind it the chain
    // key would be all zeros and the message key public.
    if (!w->has_recv) return -2;
    if ((rc = rk_skip(w, h.number)) != 0) return rc;
    if (w->recv_n == UINT32_MAX) return -3;  // numbers of this chain are used up
    secret_buf<32> next;
    if (kdf_ck(w->recv_ck, chain_mk, next.b) != 0) return -1;
    memcpy(w->recv_ck, next.b, QV_KEY_LEN);
    next.wipe();
    w->recv_n++;
    return 0;
}

}  // namespace

/* ---- Life of a state ------------------------------------------------------ */

int quorvane_ratchet_init_initiator(quorvane_ratchet **out, const uint8_t secret[32], const uint8_t ad[64],
                                    const uint8_t peer_pub[32]) {
    if (!out || !secret || !ad || !peer_pub) return -3;
    auto *s = n_calloc(s, 1, quorvane_ratchet);
    if (!s) return -1;
    memcpy(s->root_key, secret, QV_KEY_LEN);
    memcpy(s->peer_pub, peer_pub, QV_KEY_LEN);
    s->peer_known = 1;
    memcpy(s->ad, ad, QV_RATCHET_AD_LEN);
    if (quorvane_x25519_keypair(s->own_priv, s->own_pub) != 0 || dh_root_step(s, s->send_ck) != 0) {
        quorvane_ratchet_free(&s);
        return -1;
    }
    s->has_send = 1;
    *out = s;
    return 0;
}

int quorvane_ratchet_init_responder(quorvane_ratchet **out, const uint8_t secret[32], const uint8_t ad[64],
                                    const uint8_t own_priv[32], const uint8_t own_pub[32]) {
    if (!out || !secret || !ad || !own_priv || !own_pub) return -3;
    auto *s = n_calloc(s, 1, quorvane_ratchet);
    if (!s) return -1;
    memcpy(s->root_key, secret, QV_KEY_LEN);
    memcpy(s->own_priv, own_priv, QV_KEY_LEN);
    memcpy(s->own_pub, own_pub, QV_KEY_LEN);
    memcpy(s->ad, ad, QV_RATCHET_AD_LEN);
    *out = s;
    return 0;
}

void quorvane_ratchet_free(quorvane_ratchet **st) {
    if (!st || !*st) return;
    wipe_free_skipped(*st);
    OPENSSL_cleanse(*st, sizeof **st);
    free(*st);
    *st = nullptr;
}

/* ---- Messages --------------------------------------------------------------- */

int quorvane_ratchet_encrypt(quorvane_ratchet *st, const uint8_t *pt, size_t pt_len, uint8_t *out, size_t out_cap,
                             size_t *out_len) {
    if (!st || !out || !out_len || (!pt && pt_len) || !st->has_send) return -3;
    if (pt_len > QV_CRYPTO_LEN_MAX || out_cap < pt_len + QV_RATCHET_OVERHEAD) return -3;
    if (st->send_n == UINT32_MAX) return -3;  // numbers of this chain are used up
    memcpy(out, st->own_pub, QV_KEY_LEN);
    put_be32(out + QV_KEY_LEN, st->prev_n);
    put_be32(out + QV_KEY_LEN + 4, st->send_n);
    uint8_t ad[QV_RATCHET_MSG_AD_LEN];
    memcpy(ad, st->ad, QV_RATCHET_AD_LEN);
    memcpy(ad + QV_RATCHET_AD_LEN, out, QV_RATCHET_HEADER_LEN);

    secret_buf<32> cmk, next, mk;
    if (kdf_ck(st->send_ck, cmk.b, next.b) != 0) return -1;
    int rc = message_key(cmk.b, mk.b);
    cmk.wipe();
    if (rc != 0) return -1;
    uint8_t *ct = out + QV_RATCHET_HEADER_LEN;
    rc = n_aead_chacha20poly1305_encrypt(mk.b, ZERO_NONCE, sizeof ZERO_NONCE, ad, sizeof ad, pt, pt_len, ct, ct + pt_len);
    mk.wipe();
    if (rc != 0) return -1;
    memcpy(st->send_ck, next.b, QV_KEY_LEN);
    next.wipe();
    st->send_n++;
    *out_len = pt_len + QV_RATCHET_OVERHEAD;
    return 0;
}

/* Decrypt never touches the live state before a tag has verified: a stored
 * skipped key is consumed only after its message opens, and everything else
 * (ratchet step, skipping, chain step) runs on a working copy with its own
 * skipped array that replaces the live state only on success. */
int quorvane_ratchet_decrypt(quorvane_ratchet *st, const uint8_t *msg, size_t msg_len, uint8_t *out, size_t out_cap,
                             size_t *out_len) {
    if (!st || !msg || !out || !out_len || msg_len < QV_RATCHET_OVERHEAD) return -3;
    const size_t n = msg_len - QV_RATCHET_OVERHEAD;
    if (out_cap < n || n > QV_CRYPTO_LEN_MAX) return -3;
    header_view h;
    read_header(st, msg, &h);

    for (size_t i = 0; i < st->skipped_count; i++) {
        quorvane_ratchet_skipped *e = &st->skipped[i];
        if (e->number != h.number || !quorvane_ct_eq(e->peer_pub, h.key, QV_KEY_LEN)) continue;
        const int rc = open_with(e->chain_mk, h, msg, n, out);
        if (rc != 0) return rc;
        quorvane_ratchet_skipped *last = &st->skipped[st->skipped_count - 1];
        if (e != last) memcpy(e, last, sizeof *e);
        OPENSSL_cleanse(last, sizeof *last);
        st->skipped_count--;
        *out_len = n;
        return 0;
    }

    quorvane_ratchet w = *st;
    w.skipped = nullptr;
    w.skipped_cap = 0;
    if (st->skipped_count) {
        w.skipped = n_calloc(w.skipped, st->skipped_count, quorvane_ratchet_skipped);
        if (!w.skipped) {
            OPENSSL_cleanse(&w, sizeof w);
            return -1;
        }
        memcpy(w.skipped, st->skipped, st->skipped_count * sizeof *w.skipped);
        w.skipped_cap = st->skipped_count;
    }
    secret_buf<32> chain_mk;
    int rc = advance_recv(&w, h, chain_mk.b);
    if (rc == 0) rc = open_with(chain_mk.b, h, msg, n, out);
    chain_mk.wipe();
    if (rc != 0) {
        OPENSSL_cleanse(out, n);
        wipe_free_skipped(&w);
        OPENSSL_cleanse(&w, sizeof w);
        return rc;
    }
    wipe_free_skipped(st);
    *st = w;
    OPENSSL_cleanse(&w, sizeof w);
    *out_len = n;
    return 0;
}

/* ---- Stored form -------------------------------------------------------------- */

int quorvane_ratchet_serialize(const quorvane_ratchet *st, uint8_t *out, size_t out_cap, size_t *out_len) {
    if (!st || !out || !out_len || st->skipped_count > QV_RATCHET_MAX_SKIP || (st->skipped_count && !st->skipped))
        return -3;
    const size_t need = QV_RATCHET_SER_BASE + QV_RATCHET_SER_ENTRY * st->skipped_count;
    if (out_cap < need) return -3;
    uint8_t *p = out;
    memcpy(p, SER_MAGIC, 4);
    p[4] = static_cast<uint8_t>((st->peer_known ? FLAG_PEER_KNOWN : 0) | (st->has_send ? FLAG_HAS_SEND : 0) |
                                (st->has_recv ? FLAG_HAS_RECV : 0));
    p += 5;
    for (const uint8_t *k : {st->root_key, st->own_priv, st->own_pub, st->peer_pub, st->send_ck, st->recv_ck}) {
        memcpy(p, k, QV_KEY_LEN);
        p += QV_KEY_LEN;
    }
    for (uint32_t v : {st->send_n, st->recv_n, st->prev_n}) {
        put_be32(p, v);
        p += 4;
    }
    memcpy(p, st->ad, QV_RATCHET_AD_LEN);
    p += QV_RATCHET_AD_LEN;
    put_be32(p, static_cast<uint32_t>(st->skipped_count));
    p += 4;
    for (size_t i = 0; i < st->skipped_count; i++) {
        const quorvane_ratchet_skipped &e = st->skipped[i];
        memcpy(p, e.peer_pub, QV_KEY_LEN);
        put_be32(p + QV_KEY_LEN, e.number);
        memcpy(p + QV_KEY_LEN + 4, e.chain_mk, QV_KEY_LEN);
        p += QV_RATCHET_SER_ENTRY;
    }
    *out_len = need;
    return 0;
}

int quorvane_ratchet_deserialize(quorvane_ratchet **out, const uint8_t *in, size_t in_len) {
    if (!out || !in || in_len < QV_RATCHET_SER_BASE || memcmp(in, SER_MAGIC, 4) != 0) return -3;
    const uint32_t count = get_be32(in + QV_RATCHET_SER_BASE - 4);
    // compared before multiplying: a forged count must not wrap the expected length
    if (count > QV_RATCHET_MAX_SKIP || in_len != QV_RATCHET_SER_BASE + QV_RATCHET_SER_ENTRY * size_t{count}) return -3;
    auto *s = n_calloc(s, 1, quorvane_ratchet);
    if (!s) return -1;
    if (count) {
        s->skipped = n_calloc(s->skipped, count, quorvane_ratchet_skipped);
        if (!s->skipped) {
            quorvane_ratchet_free(&s);
            return -1;
        }
        s->skipped_cap = count;
    }
    const uint8_t *p = in + 4;
    s->peer_known = (p[0] & FLAG_PEER_KNOWN) ? 1 : 0;
    s->has_send = (p[0] & FLAG_HAS_SEND) ? 1 : 0;
    s->has_recv = (p[0] & FLAG_HAS_RECV) ? 1 : 0;
    p += 1;
    for (uint8_t *k : {s->root_key, s->own_priv, s->own_pub, s->peer_pub, s->send_ck, s->recv_ck}) {
        memcpy(k, p, QV_KEY_LEN);
        p += QV_KEY_LEN;
    }
    for (uint32_t *v : {&s->send_n, &s->recv_n, &s->prev_n}) {
        *v = get_be32(p);
        p += 4;
    }
    memcpy(s->ad, p, QV_RATCHET_AD_LEN);
    p += QV_RATCHET_AD_LEN + 4;
    for (size_t i = 0; i < count; i++) {
        quorvane_ratchet_skipped &e = s->skipped[i];
        memcpy(e.peer_pub, p, QV_KEY_LEN);
        e.number = get_be32(p + QV_KEY_LEN);
        memcpy(e.chain_mk, p + QV_KEY_LEN + 4, QV_KEY_LEN);
        p += QV_RATCHET_SER_ENTRY;
    }
    s->skipped_count = count;
    *out = s;
    return 0;
}

/* ---- Stored form to stored form ------------------------------------------------
 * A state that cannot be read back is -3 (malformed); an allocation failure while
 * reading it stays -1, so a caller never mistakes a transient failure for a
 * damaged stored state and throws the state away. */

int quorvane_ratchet_init_initiator_ser(const uint8_t secret[32], const uint8_t ad[64], const uint8_t peer_pub[32],
                                        uint8_t *state_out, size_t state_cap, size_t *state_len) {
    if (!state_out || !state_len) return -3;
    quorvane_ratchet *s = nullptr;
    int rc = quorvane_ratchet_init_initiator(&s, secret, ad, peer_pub);
    if (rc == 0) rc = quorvane_ratchet_serialize(s, state_out, state_cap, state_len);
    quorvane_ratchet_free(&s);
    return rc;
}

int quorvane_ratchet_init_responder_ser(const uint8_t secret[32], const uint8_t ad[64], const uint8_t own_priv[32],
                                        const uint8_t own_pub[32], uint8_t *state_out, size_t state_cap,
                                        size_t *state_len) {
    if (!state_out || !state_len) return -3;
    quorvane_ratchet *s = nullptr;
    int rc = quorvane_ratchet_init_responder(&s, secret, ad, own_priv, own_pub);
    if (rc == 0) rc = quorvane_ratchet_serialize(s, state_out, state_cap, state_len);
    quorvane_ratchet_free(&s);
    return rc;
}

namespace {

enum class step_dir { encrypt, decrypt };

// One message through a stored state, either way: the new state and the output are
// handed out together or not at all, and an output whose state could not be kept
// is wiped, so that no ciphertext or plaintext outlives the step that made it.
int step_ser(step_dir dir, const uint8_t *state, size_t state_len, const uint8_t *in, size_t in_len,
             uint8_t *state_out, size_t state_cap, size_t *state_out_len, uint8_t *out, size_t out_cap,
             size_t *out_len) {
    if (!state_out || !state_out_len || !out_len) return -3;
    quorvane_ratchet *s = nullptr;
    size_t n = 0, sn = 0;
    int rc = quorvane_ratchet_deserialize(&s, state, state_len);
    // refused before encrypting: a message whose chain step cannot be kept
    // would let a retry from the old state reuse its key and nonce
    if (rc == 0 && dir == step_dir::encrypt &&
        state_cap < QV_RATCHET_SER_BASE + QV_RATCHET_SER_ENTRY * s->skipped_count)
        rc = -3;
    if (rc == 0)
        rc = dir == step_dir::encrypt ? quorvane_ratchet_encrypt(s, in, in_len, out, out_cap, &n)
                                      : quorvane_ratchet_decrypt(s, in, in_len, out, out_cap, &n);
    if (rc == 0) {
        rc = quorvane_ratchet_serialize(s, state_out, state_cap, &sn);
        if (rc != 0) OPENSSL_cleanse(out, n);
    }
    quorvane_ratchet_free(&s);
    if (rc != 0) return rc;
    *state_out_len = sn;
    *out_len = n;
    return 0;
}

}  // namespace

int quorvane_ratchet_encrypt_ser(const uint8_t *state, size_t state_len, const uint8_t *pt, size_t pt_len,
                                 uint8_t *state_out, size_t state_cap, size_t *state_out_len, uint8_t *msg_out,
                                 size_t msg_cap, size_t *msg_len) {
    return step_ser(step_dir::encrypt, state, state_len, pt, pt_len, state_out, state_cap, state_out_len, msg_out,
                    msg_cap, msg_len);
}

int quorvane_ratchet_decrypt_ser(const uint8_t *state, size_t state_len, const uint8_t *msg, size_t msg_len,
                                 uint8_t *state_out, size_t state_cap, size_t *state_out_len, uint8_t *pt_out,
                                 size_t pt_cap, size_t *pt_len) {
    return step_ser(step_dir::decrypt, state, state_len, msg, msg_len, state_out, state_cap, state_out_len, pt_out,
                    pt_cap, pt_len);
}
