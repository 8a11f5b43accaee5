#include "quorvane_crypto.h"

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/rand.h>

#include "n_digest.h"
#include "n_ecc.h"
#include "n_files.h"
#include "quorvane_bytes.h"

using namespace qv_bytes;

static_assert(QV_KEY_LEN == N_X25519_KEY_LEN && QV_KEY_LEN == N_ED25519_KEY_LEN && QV_KEY_LEN == N_AEAD_KEY_LEN);
static_assert(QV_SIG_LEN == N_ED25519_SIG_LEN && QV_TAG_LEN == N_AEAD_TAG_LEN);
static_assert(QV_BLAKE2B_LEN == N_DIGEST_BLAKE2B512_LEN && QV_HMAC_SHA256_LEN == N_DIGEST_SHA256_LEN);
static_assert(QV_CRYPTO_LEN_MAX == INT_MAX);

struct quorvane_blake2b_ctx {
    EVP_MD_CTX *md;
};

// Methods fetched once and shared: a fetch costs more than sealing a short
// message. Each slot is filled by compare-and-swap, so a racing second fetch
// is freed instead of leaked.
static std::atomic<EVP_MD *>     g_blake2b{nullptr};
static std::atomic<EVP_CIPHER *> g_chacha{nullptr};
static std::atomic<EVP_MAC *>    g_hmac{nullptr};

template <class T, T *(*Fetch)(OSSL_LIB_CTX *, const char *, const char *), void (*Free)(T *)>
static T *fetch_once(std::atomic<T *> &slot, const char *name) {
    T *m = slot.load(std::memory_order_acquire);
    if (m) return m;
    m = Fetch(nullptr, name, nullptr);
    if (!m) return nullptr;
    T *prev = nullptr;
    if (!slot.compare_exchange_strong(prev, m, std::memory_order_acq_rel)) {
        Free(m);
        return prev;
    }
    return m;
}

static EVP_MD *blake2b_md() { return fetch_once<EVP_MD, EVP_MD_fetch, EVP_MD_free>(g_blake2b, "BLAKE2B-512"); }
static EVP_CIPHER *chacha_cipher() {
    return fetch_once<EVP_CIPHER, EVP_CIPHER_fetch, EVP_CIPHER_free>(g_chacha, "ChaCha20-Poly1305");
}

template <class T, void (*Free)(T *)> static void release(std::atomic<T *> &slot) { Free(slot.exchange(nullptr)); }

using cipher_ctx_ptr = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;
using mac_ctx_ptr    = std::unique_ptr<EVP_MAC_CTX, decltype(&EVP_MAC_CTX_free)>;

/* ---- HKDF-SHA256 -------------------------------------------------------
 * Every seal derives one 32-byte key, so HKDF is one HMAC to extract and one
 * HMAC block to expand (RFC 5869 with L = 32). OpenSSL's own HKDF fetches its
 * digest and MAC again on every call, which costs more than the cipher does
 * on a short message; instead each thread keeps an HMAC-SHA256 context that
 * has never seen a key and copies it per derivation. The copies hold keyed
 * state and are freed (and cleansed by the library) before we return. */

struct hmac_template {
    EVP_MAC_CTX *ctx = nullptr;
    ~hmac_template() { EVP_MAC_CTX_free(ctx); }
};

static EVP_MAC_CTX *hmac_sha256_template() {
    thread_local hmac_template t;
    if (t.ctx) return t.ctx;
    EVP_MAC *mac = fetch_once<EVP_MAC, EVP_MAC_fetch, EVP_MAC_free>(g_hmac, "HMAC");
    if (!mac) return nullptr;
    EVP_MAC_CTX *c = EVP_MAC_CTX_new(mac);
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0), OSSL_PARAM_construct_end()};
    if (!c || EVP_MAC_CTX_set_params(c, params) != 1) {
        EVP_MAC_CTX_free(c);
        return nullptr;
    }
    t.ctx = c;
    return c;
}

static int hmac_block(EVP_MAC_CTX *m, const uint8_t *key, size_t key_len, const uint8_t *a, size_t a_len,
                      const uint8_t *b, size_t b_len, uint8_t out[32]) {
    size_t n = 0;
    // A null key would tell the library to keep the previous one.
    if (key_len == 0) key = ZERO_SALT32;
    if (EVP_MAC_init(m, key, key_len, nullptr) != 1) return -1;
    if (a_len && EVP_MAC_update(m, a, a_len) != 1) return -1;
    if (b_len && EVP_MAC_update(m, b, b_len) != 1) return -1;
    if (EVP_MAC_final(m, out, &n, 32) != 1 || n != 32) return -1;
    return 0;
}

// HKDF-SHA256(ikm, salt, info) -> 32 bytes; 0, or -1 after printing under `what`.
static int hkdf32(const uint8_t *ikm, size_t ikm_len, const uint8_t *salt, size_t salt_len, const uint8_t *info,
                  size_t info_len, uint8_t out[32], const char *what) {
    static const uint8_t block_one = 1;
    EVP_MAC_CTX *tmpl = hmac_sha256_template();
    mac_ctx_ptr m{tmpl ? EVP_MAC_CTX_dup(tmpl) : nullptr, EVP_MAC_CTX_free};
    secret_buf<32> prk;
    int rc = -1;
    if (m && hmac_block(m.get(), salt, salt_len, ikm, ikm_len, nullptr, 0, prk.b) == 0 &&
        hmac_block(m.get(), prk.b, 32, info, info_len, &block_one, 1, out) == 0)
        rc = 0;
    prk.wipe();
    if (rc != 0) quorvane_ssl_perror(what);
    return rc;
}

/* ---- ChaCha20-Poly1305 under ZERO_NONCE ----------------------------------
 * A fresh context per call on the shared fetched cipher. Reusing one context
 * would save little (the fetch was the cost) and would keep the last one-time
 * Poly1305 key and keystream block inside it after we return. */

// enc 1: in -> out and tag written; enc 0: tag checked, -2 when it does not
// verify. Lengths are at most QV_CRYPTO_LEN_MAX (callers check). On any
// non-zero result the caller wipes `out`.
static int aead(int enc, const uint8_t key[32], const uint8_t *ad, size_t ad_len, const uint8_t *in, size_t len,
                uint8_t *out, uint8_t *tag, const uint8_t *tag_in, const char *what) {
    EVP_CIPHER *cipher = chacha_cipher();
    cipher_ctx_ptr c{cipher ? EVP_CIPHER_CTX_new() : nullptr, EVP_CIPHER_CTX_free};
    uint8_t final_out[QV_TAG_LEN];  // a stream cipher's final step writes nothing
    int n = 0;
    if (!c || EVP_CipherInit_ex2(c.get(), cipher, key, ZERO_NONCE, enc, nullptr) != 1 ||
        (ad_len && EVP_CipherUpdate(c.get(), nullptr, &n, ad, static_cast<int>(ad_len)) != 1) ||
        (len && EVP_CipherUpdate(c.get(), out, &n, in, static_cast<int>(len)) != 1)) {
        quorvane_ssl_perror(what);
        return -1;
    }
    if (enc) {
        if (EVP_CipherFinal_ex(c.get(), final_out, &n) != 1 ||
            EVP_CIPHER_CTX_ctrl(c.get(), EVP_CTRL_AEAD_GET_TAG, QV_TAG_LEN, tag) != 1) {
            quorvane_ssl_perror(what);
            return -1;
        }
        return 0;
    }
    uint8_t expect[QV_TAG_LEN];
    memcpy(expect, tag_in, sizeof expect);
    if (EVP_CIPHER_CTX_ctrl(c.get(), EVP_CTRL_AEAD_SET_TAG, QV_TAG_LEN, expect) != 1) {
        quorvane_ssl_perror(what);
        return -1;
    }
    // A refused tag must leave no trace, not even in the error queue.
    ERR_set_mark();
    if (EVP_CipherFinal_ex(c.get(), final_out, &n) != 1) {
        ERR_pop_to_mark();
        return -2;
    }
    ERR_clear_last_mark();
    return 0;
}

// Raw private key -> raw public key for X25519 or Ed25519 (library import and export).
static int pub_from_priv(int type, const uint8_t priv[32], uint8_t pub[32], const char *what) {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> k{EVP_PKEY_new_raw_private_key(type, nullptr, priv, 32),
                                                           EVP_PKEY_free};
    size_t n = 32;
    if (!k || EVP_PKEY_get_raw_public_key(k.get(), pub, &n) != 1 || n != 32) {
        quorvane_ssl_perror(what);
        return -1;
    }
    return 0;
}

/* ---- Set-up, randomness, secret memory ---------------------------------- */

int quorvane_crypto_init() {
    if (blake2b_md()) return 0;
    quorvane_ssl_perror("EVP_MD_fetch(BLAKE2B-512)");
    return -1;
}

void quorvane_crypto_deinit() {
    release<EVP_MD, EVP_MD_free>(g_blake2b);
    release<EVP_CIPHER, EVP_CIPHER_free>(g_chacha);
    release<EVP_MAC, EVP_MAC_free>(g_hmac);
}

int quorvane_random(uint8_t *buf, size_t len) {
    if (len == 0) return 0;
    if (!buf || len > QV_CRYPTO_LEN_MAX) return -3;
    if (RAND_bytes(buf, static_cast<int>(len)) != 1) {
        quorvane_ssl_perror("RAND_bytes");
        return -1;
    }
    return 0;
}

int quorvane_ct_eq(const void *a, const void *b, size_t len) { return n_digest_consttime_equal(a, b, len); }

void quorvane_cleanse(void *buf, size_t len) {
    if (buf) OPENSSL_cleanse(buf, len);
}

int quorvane_mem_lock(void *buf, size_t len) { return (buf && len && mlock(buf, len) == 0) ? 1 : 0; }

void quorvane_mem_unlock(void *buf, size_t len) {
    if (buf && len) (void)munlock(buf, len);
}

void quorvane_ssl_perror(const char *context) {
    char text[256];
    unsigned long e;
    while ((e = ERR_get_error()) != 0) {
        ERR_error_string_n(e, text, sizeof text);
        fprintf(stderr, "quorvane_crypto: %s: %s\n", context ? context : "", text);
    }
}

/* ---- Curve keys ---------------------------------------------------------- */

int quorvane_x25519_keypair(uint8_t priv[32], uint8_t pub[32]) { return n_x25519_keypair(priv, pub) == 0 ? 0 : -1; }

int quorvane_ed25519_keypair(uint8_t priv[32], uint8_t pub[32]) { return n_ed25519_keypair(priv, pub) == 0 ? 0 : -1; }

int quorvane_ed25519_sign(const uint8_t priv[32], const uint8_t *msg, size_t len, uint8_t sig[64]) {
    return n_ed25519_sign(priv, msg, len, sig) == 0 ? 0 : -1;
}

int quorvane_ed25519_verify(const uint8_t pub[32], const uint8_t *msg, size_t len, const uint8_t sig[64]) {
    return n_ed25519_verify(pub, msg, len, sig) == 0 ? 0 : -2;
}

int quorvane_ed25519_pub_from_seed(const uint8_t seed[32], uint8_t pub[32]) {
    if (!seed || !pub) return -3;
    return pub_from_priv(EVP_PKEY_ED25519, seed, pub, "ed25519_pub_from_priv");
}

/* ---- Digests, MAC, scrypt ------------------------------------------------ */

int quorvane_blake2b(const uint8_t *data, size_t len, uint8_t out[64]) {
    return n_digest_blake2b512(data, len, out) == 0 ? 0 : -1;
}

int quorvane_blake2b_init(quorvane_blake2b_ctx **out) {
    if (!out) return -3;
    EVP_MD *md = blake2b_md();
    auto *h = md ? new (std::nothrow) quorvane_blake2b_ctx{EVP_MD_CTX_new()} : nullptr;
    if (!h || !h->md || EVP_DigestInit_ex2(h->md, md, nullptr) != 1) {
        quorvane_ssl_perror("blake2b_init");
        if (h) EVP_MD_CTX_free(h->md);
        delete h;
        return -1;
    }
    *out = h;
    return 0;
}

int quorvane_blake2b_update(quorvane_blake2b_ctx *h, const uint8_t *data, size_t len) {
    if (!h) return -3;
    if (len == 0) return 0;
    if (!data) return -3;
    if (EVP_DigestUpdate(h->md, data, len) != 1) {
        quorvane_ssl_perror("blake2b_update");
        return -1;
    }
    return 0;
}

int quorvane_blake2b_final(quorvane_blake2b_ctx **hp, uint8_t out[64]) {
    if (!hp || !*hp) return -3;
    quorvane_blake2b_ctx *h = *hp;
    *hp = nullptr;
    unsigned int n = 0;
    int rc = -3;
    if (out) {
        rc = 0;
        if (EVP_DigestFinal_ex(h->md, out, &n) != 1 || n != QV_BLAKE2B_LEN) {
            quorvane_ssl_perror("blake2b_final");
            rc = -1;
        }
    }
    EVP_MD_CTX_free(h->md);
    delete h;
    return rc;
}

int quorvane_hmac_sha256(const uint8_t *key, size_t key_len, const uint8_t *data, size_t data_len, uint8_t out[32]) {
    if (!key || !out || (!data && data_len) || key_len > QV_CRYPTO_LEN_MAX || data_len > QV_CRYPTO_LEN_MAX) return -3;
    return n_hmac_sha256(key, key_len, data, data_len, out) == 0 ? 0 : -1;
}

// The output of a full HKDF-SHA256 asked for 32 bytes, on the thread's HMAC
// template instead of a fetch per call; the key streams of the ratchet, blobs
// and backups derive one such key per message or chunk.
int quorvane_hkdf_sha256_32(const uint8_t *ikm, size_t ikm_len, const uint8_t *salt, size_t salt_len,
                            const uint8_t *info, size_t info_len, uint8_t out[32]) {
    if (!out || (!ikm && ikm_len) || (!salt && salt_len) || (!info && info_len)) return -1;
    if (hkdf32(ikm, ikm_len, salt, salt_len, info, info_len, out, "hkdf_sha256_32") == 0) return 0;
    OPENSSL_cleanse(out, QV_KEY_LEN);
    return -1;
}

int quorvane_scrypt(const uint8_t *pw, size_t pw_len, const uint8_t *salt, size_t salt_len,
                    const quorvane_scrypt_params *params, uint8_t *out, size_t out_len) {
    if (!params) return -3;
    return n_kdf_scrypt(pw, pw_len, salt, salt_len, params->N, params->r, params->p, QV_SCRYPT_MAXMEM, out, out_len) == 0
               ? 0
               : -1;
}

/* ---- Anonymous boxes ----------------------------------------------------
 * The salt and the associated data are the same 64 bytes: ephemeral public
 * key then recipient public key, so a box cannot be replayed to another key. */

int quorvane_seal(const uint8_t recipient_pub[32], const uint8_t *pt, size_t pt_len, uint8_t *out, size_t out_cap,
                  size_t *out_len) {
    if (!recipient_pub || !out || !out_len || (!pt && pt_len)) return -3;
    if (pt_len > out_cap || out_cap - pt_len < QV_SEAL_OVERHEAD) return -3;
    if (pt_len > QV_CRYPTO_LEN_MAX) return -1;
    secret_buf<32> eph_priv, shared, key;
    uint8_t salt[64];
    if (n_x25519_keypair(eph_priv.b, salt) != 0) return -1;
    int rc = n_x25519_derive(eph_priv.b, recipient_pub, shared.b);
    eph_priv.wipe();
    if (rc != 0) return -1;
    memcpy(salt + 32, recipient_pub, 32);
    rc = hkdf32(shared.b, 32, salt, sizeof salt, byte_ptr(SEAL_INFO), SEAL_INFO.size(), key.b, "seal");
    shared.wipe();
    if (rc != 0) return -1;
    memcpy(out, salt, 32);
    rc = aead(1, key.b, salt, sizeof salt, pt, pt_len, out + 32, out + 32 + pt_len, nullptr, "seal");
    key.wipe();
    if (rc != 0) return -1;
    *out_len = pt_len + QV_SEAL_OVERHEAD;
    return 0;
}

int quorvane_open(const uint8_t priv[32], const uint8_t *box, size_t box_len, uint8_t *out, size_t out_cap,
                  size_t *out_len) {
    if (!priv || !box || !out_len || box_len < QV_SEAL_OVERHEAD) return -3;
    size_t n = box_len - QV_SEAL_OVERHEAD;
    if (out_cap < n || (!out && n) || n > QV_CRYPTO_LEN_MAX) return -3;
    uint8_t salt[64];
    memcpy(salt, box, 32);
    if (pub_from_priv(EVP_PKEY_X25519, priv, salt + 32, "x25519_pub_from_priv") != 0) return -1;
    secret_buf<32> shared, key;
    if (n_x25519_derive(priv, box, shared.b) != 0) return -1;
    int rc = hkdf32(shared.b, 32, salt, sizeof salt, byte_ptr(SEAL_INFO), SEAL_INFO.size(), key.b, "open");
    shared.wipe();
    if (rc != 0) return -1;
    rc = aead(0, key.b, salt, sizeof salt, box + 32, n, out, nullptr, box + 32 + n, "open");
    key.wipe();
    if (rc != 0) {
        if (n) OPENSSL_cleanse(out, n);
        return rc;
    }
    *out_len = n;
    return 0;
}

/* ---- Message seal: one key per (conversation key, counter, salt) --------- */

static int msg_key(const uint8_t conv_key[32], uint64_t counter, const uint8_t salt[16], uint8_t out[32]) {
    uint8_t info[23];
    static_assert(sizeof info == MSG_INFO_PREFIX.size() + 8);
    memcpy(info, MSG_INFO_PREFIX.data(), MSG_INFO_PREFIX.size());
    put_be64(info + MSG_INFO_PREFIX.size(), counter);
    return hkdf32(conv_key, QV_KEY_LEN, salt, QV_SALT_LEN, info, sizeof info, out, "msg_key");
}

int quorvane_msg_seal(const uint8_t key[32], uint64_t counter, const uint8_t salt[16], const uint8_t *ad, size_t ad_len,
                      const uint8_t *pt, size_t pt_len, uint8_t *ct, uint8_t tag[16]) {
    if (!key || !salt || !tag || (!ad && ad_len) || (!pt && pt_len) || (!ct && pt_len)) return -3;
    if (ad_len > QV_CRYPTO_LEN_MAX || pt_len > QV_CRYPTO_LEN_MAX) return -3;
    secret_buf<32> mk;
    if (msg_key(key, counter, salt, mk.b) != 0) return -1;
    int rc = aead(1, mk.b, ad, ad_len, pt, pt_len, ct, tag, nullptr, "msg_seal");
    mk.wipe();
    return rc == 0 ? 0 : -1;
}

int quorvane_msg_open(const uint8_t key[32], uint64_t counter, const uint8_t salt[16], const uint8_t *ad, size_t ad_len,
                      const uint8_t *ct, size_t ct_len, const uint8_t tag[16], uint8_t *pt) {
    if (!key || !salt || !tag || (!ad && ad_len) || (!ct && ct_len) || (!pt && ct_len)) return -3;
    if (ad_len > QV_CRYPTO_LEN_MAX || ct_len > QV_CRYPTO_LEN_MAX) return -3;
    secret_buf<32> mk;
    if (msg_key(key, counter, salt, mk.b) != 0) return -1;
    int rc = aead(0, mk.b, ad, ad_len, ct, ct_len, pt, nullptr, tag, "msg_open");
    mk.wipe();
    if (rc != 0 && ct_len) OPENSSL_cleanse(pt, ct_len);
    return rc;
}

/* ---- REST tokens: salt | sealed(id, kind, expiry, extra) | tag ----------- */

int quorvane_rest_token_issue(const uint8_t secret[32], const uint8_t id[16], int kind, const uint8_t *extra,
                              uint64_t expiry, uint8_t out[73]) {
    if (!secret || !id || !out) return -3;
    if (quorvane_random(out, QV_SALT_LEN) != 0) return -1;
    secret_buf<32> key;
    secret_buf<QV_REST_TOKEN_BODY_LEN> body;
    if (hkdf32(secret, QV_KEY_LEN, out, QV_SALT_LEN, byte_ptr(REST_TOKEN_INFO), REST_TOKEN_INFO.size(), key.b,
               "rest_token_issue") != 0)
        return -1;
    memcpy(body.b, id, 16);
    body.b[16] = static_cast<uint8_t>(kind & 0xFF);
    put_be64(body.b + 17, expiry);
    if (extra)
        memcpy(body.b + 25, extra, 16);
    else
        memset(body.b + 25, 0, 16);
    int rc = aead(1, key.b, out, QV_SALT_LEN, body.b, sizeof body.b, out + QV_SALT_LEN,
                  out + QV_SALT_LEN + QV_REST_TOKEN_BODY_LEN, nullptr, "rest_token_issue");
    return rc == 0 ? 0 : -1;
}

int quorvane_rest_token_verify(const uint8_t secret[32], const uint8_t *token, size_t token_len, uint64_t now,
                               uint8_t id_out[16], uint8_t *kind_out, uint8_t *extra_out) {
    if (!secret || !token || !id_out || token_len != QV_REST_TOKEN_LEN) return -3;
    secret_buf<32> key;
    secret_buf<QV_REST_TOKEN_BODY_LEN> body;
    if (hkdf32(secret, QV_KEY_LEN, token, QV_SALT_LEN, byte_ptr(REST_TOKEN_INFO), REST_TOKEN_INFO.size(), key.b,
               "rest_token_verify") != 0)
        return -1;
    int rc = aead(0, key.b, token, QV_SALT_LEN, token + QV_SALT_LEN, QV_REST_TOKEN_BODY_LEN, body.b, nullptr,
                  token + QV_SALT_LEN + QV_REST_TOKEN_BODY_LEN, "rest_token_verify");
    key.wipe();
    if (rc != 0) return rc;
    if (!(now < get_be64(body.b + 17))) return -2;
    memcpy(id_out, body.b, 16);
    if (kind_out) *kind_out = body.b[16];
    if (extra_out) memcpy(extra_out, body.b + 25, 16);
    return 0;
}

int quorvane_sidx_key(const uint8_t key[32], const uint8_t salt[16], uint8_t out[32]) {
    if (!key || !salt || !out) return -1;
    return hkdf32(key, QV_KEY_LEN, salt, QV_SALT_LEN, byte_ptr(SIDX_INFO), SIDX_INFO.size(), out, "sidx_key");
}

/* ---- Self-signed certificate --------------------------------------------- */

// The certificate's file is public; the private key goes
// through a memory BIO into a file that exists only with mode 0600, so no
// other user can read it in any window, and it is wiped from memory after.
static int write_key_file(const char *path, EVP_PKEY *pkey) {
    std::unique_ptr<BIO, decltype(&BIO_free)> mem(BIO_new(BIO_s_secmem()), BIO_free);
    if (!mem || PEM_write_bio_PrivateKey(mem.get(), pkey, nullptr, nullptr, 0, nullptr, nullptr) != 1) return -1;
    char *pem = nullptr;
    long pem_len = BIO_get_mem_data(mem.get(), &pem);
    if (pem_len <= 0 || !pem) return -1;
    int fd = n_file_create_scratch(path, 0600, N_SCRATCH_REFUSE_LINK);
    if (fd < 0) {
        fprintf(stderr, "quorvane_crypto: selfsigned_cert: %s: %s\n", path, strerror(errno));
        return -1;
    }
    bool ok = fchmod(fd, 0600) == 0 && n_fd_write_all(fd, pem, (size_t)pem_len) && fsync(fd) == 0;
    int err = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        fprintf(stderr, "quorvane_crypto: selfsigned_cert: %s: %s\n", path, strerror(err));
        unlink(path);
        return -1;
    }
    return 0;
}

int quorvane_selfsigned_cert(const char *cert_path, const char *key_path, const char *common_name) {
    if (!cert_path || !key_path || !common_name) return -3;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    int rc = -1;
    X509_NAME *name = cert ? X509_get_subject_name(cert.get()) : nullptr;
    if (pkey && cert && name && X509_set_version(cert.get(), 2) == 1 && ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1) == 1 &&
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) && X509_gmtime_adj(X509_getm_notAfter(cert.get()), QV_SELFSIGNED_DAYS * 86400L) &&
        X509_set_pubkey(cert.get(), pkey.get()) == 1 &&
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>(common_name), -1, -1, 0) == 1 &&
        X509_set_issuer_name(cert.get(), name) == 1 && X509_sign(cert.get(), pkey.get(), EVP_sha256()) > 0) {
        // A link planted at the name must not carry the certificate into
        // whatever file it points at: the name gets a file of our own.
        int cfd = n_file_create_scratch(cert_path, 0666, N_SCRATCH_REFUSE_LINK);
        FILE *f = cfd < 0 ? nullptr : fdopen(cfd, "wb");
        if (!f && cfd >= 0) close(cfd);
        if (!f) {
            fprintf(stderr, "quorvane_crypto: selfsigned_cert: %s: %s\n", cert_path, strerror(errno));
        } else {
            bool written = PEM_write_X509(f, cert.get()) == 1;
            if (fclose(f) == 0 && written) rc = write_key_file(key_path, pkey.get());
            else fprintf(stderr, "quorvane_crypto: selfsigned_cert: %s: %s\n", cert_path, strerror(errno));
        }
    }
    if (rc != 0) quorvane_ssl_perror("selfsigned_cert");
    return rc;
}
