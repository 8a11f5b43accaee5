#include "quorvane_escrow.h"

#include <cstring>

#include <openssl/crypto.h>

#include "n_digest.h"
#include "quorvane_bytes.h"

using namespace qv_bytes;

static_assert(QV_KEY_LEN == N_AEAD_KEY_LEN && QV_TAG_LEN == N_AEAD_TAG_LEN);

namespace {

constexpr char ESCROW_MAGIC[4] = {'Q', 'V', 'E', '1'};

// 1 to 32 bytes, else 0.
size_t user_len(const char *user) {
    if (!user) return 0;
    const size_t n = strnlen(user, QV_ESCROW_USER_MAX + 1);
    return n > QV_ESCROW_USER_MAX ? 0 : n;
}

bool pw_cost_ok(const quorvane_scrypt_params &s) {
    const bool pow2 = (s.N & (s.N - 1)) == 0;
    return pow2 && s.N >= QV_ESCROW_N_MIN && s.N <= QV_ESCROW_N_MAX && s.r >= 1 && s.r <= QV_ESCROW_R_MAX &&
           s.p >= 1 && s.p <= QV_ESCROW_P_MAX && 128ull * s.N * s.r <= QV_ESCROW_MEM_MAX;
}

bool params_ok(const quorvane_escrow_params &p) {
    if (p.kind == QV_ESCROW_KIND_PW) return pw_cost_ok(p.scrypt);
    if (p.kind == QV_ESCROW_KIND_RK) return p.scrypt.N == 0 && p.scrypt.r == 0 && p.scrypt.p == 0;
    return false;
}

void encode_hdr(const quorvane_escrow_params &p, uint8_t hdr[QV_ESCROW_HDR_LEN]) {
    memcpy(hdr, ESCROW_MAGIC, 4);
    hdr[4] = QV_ESCROW_VERSION;
    hdr[5] = p.kind;
    put_be32(hdr + 6, p.scrypt.N);
    put_be32(hdr + 10, p.scrypt.r);
    put_be32(hdr + 14, p.scrypt.p);
    memcpy(hdr + 18, p.salt, QV_ESCROW_SALT_LEN);
}

// Header, name length, name, identity public key; the length, or 0 for a bad name.
size_t escrow_ad(const uint8_t hdr[QV_ESCROW_HDR_LEN], const char *user, const uint8_t pub[32],
                 uint8_t ad[QV_ESCROW_AD_MAX]) {
    const size_t n = user_len(user);
    if (!n) return 0;
    memcpy(ad, hdr, QV_ESCROW_HDR_LEN);
    ad[QV_ESCROW_HDR_LEN] = static_cast<uint8_t>(n);
    memcpy(ad + QV_ESCROW_HDR_LEN + 1, user, n);
    memcpy(ad + QV_ESCROW_HDR_LEN + 1 + n, pub, QV_KEY_LEN);
    return QV_ESCROW_HDR_LEN + 1 + n + QV_KEY_LEN;
}

// Shared by both kinds once the record is parsed and the wrapping key derived.
int escrow_open(const uint8_t wrap_key[32], const char *user, const uint8_t pub[32], const uint8_t *rec,
                uint8_t seed_out[32]) {
    uint8_t ad[QV_ESCROW_AD_MAX];
    const size_t ad_len = escrow_ad(rec, user, pub, ad);
    if (!ad_len) return -3;
    secret_buf<QV_KEY_LEN> seed;
    if (n_aead_chacha20poly1305_decrypt(wrap_key, ZERO_NONCE, sizeof ZERO_NONCE, ad, ad_len, rec + QV_ESCROW_HDR_LEN,
                                        QV_KEY_LEN, rec + QV_ESCROW_HDR_LEN + QV_KEY_LEN, seed.b) != 0)
        return -2;
    // The tag alone would accept a record sealed over another key's seed by
    // someone who knew the password; the seed must really be this identity's.
    uint8_t derived[QV_KEY_LEN];
    if (quorvane_ed25519_pub_from_seed(seed.b, derived) != 0) return -1;
    if (!quorvane_ct_eq(derived, pub, QV_KEY_LEN)) return -2;
    memcpy(seed_out, seed.b, QV_KEY_LEN);
    return 0;
}

int parse_kind(const uint8_t *rec, size_t len, uint8_t kind, quorvane_escrow_params *p) {
    if (quorvane_escrow_parse(rec, len, p) != 0 || p->kind != kind) return -3;
    return 0;
}

// Draws the salt, derives the public key and seals; `wrap` fills the wrapping key.
template <class Wrap>
int seal_kind(uint8_t kind, const char *user, const uint8_t seed[32], uint8_t rec_out[82], Wrap wrap) {
    quorvane_escrow_params p{};
    p.kind = kind;
    if (kind == QV_ESCROW_KIND_PW) p.scrypt = QV_ESCROW_PW_SCRYPT;
    if (!user_len(user)) return -3;
    if (quorvane_random(p.salt, sizeof p.salt) != 0) return -1;
    uint8_t pub[QV_KEY_LEN];
    if (quorvane_ed25519_pub_from_seed(seed, pub) != 0) return -1;
    secret_buf<QV_KEY_LEN> key;
    int rc = wrap(p, key.b);
    if (rc == 0) rc = quorvane_escrow_seal_raw(&p, key.b, user, pub, seed, rec_out);
    key.wipe();
    return rc;
}

// Builds the signed bytes; the length, or 0 for a bad name.
size_t recover_msg(const uint8_t challenge[32], const uint8_t server_pub[32], const char *user, const uint8_t auth[32],
                   const uint8_t rec[82], uint8_t msg[QV_RECOVER_MSG_MAX]) {
    const size_t n = user_len(user);
    if (!n) return 0;
    uint8_t *p = msg;
    memcpy(p, RECOVER_INFO.data(), RECOVER_INFO.size());
    p += RECOVER_INFO.size();
    memcpy(p, challenge, 32);
    p += 32;
    memcpy(p, server_pub, 32);
    p += 32;
    *p++ = static_cast<uint8_t>(n);
    memcpy(p, user, n);
    p += n;
    memcpy(p, auth, 32);
    p += 32;
    memcpy(p, rec, QV_ESCROW_LEN);
    p += QV_ESCROW_LEN;
    return static_cast<size_t>(p - msg);
}

}  // namespace

int quorvane_escrow_parse(const uint8_t *rec, size_t len, quorvane_escrow_params *out) {
    if (!rec || len != QV_ESCROW_LEN) return -3;
    if (memcmp(rec, ESCROW_MAGIC, 4) != 0 || rec[4] != QV_ESCROW_VERSION) return -3;
    quorvane_escrow_params p;
    p.kind = rec[5];
    p.scrypt = {get_be32(rec + 6), get_be32(rec + 10), get_be32(rec + 14)};
    memcpy(p.salt, rec + 18, QV_ESCROW_SALT_LEN);
    if (!params_ok(p)) return -3;
    if (out) *out = p;
    return 0;
}

int quorvane_escrow_wrap_pw(const char *password, const uint8_t salt[16], const quorvane_scrypt_params *params,
                            uint8_t key_out[32]) {
    if (!password || !salt || !params || !key_out) return -3;
    // Only costs a record may carry: this is the derivation a record's header drives.
    if (!pw_cost_ok(*params)) return -3;
    secret_buf<QV_KEY_LEN> stretched;
    if (quorvane_scrypt(byte_ptr(password), strlen(password), salt, QV_ESCROW_SALT_LEN, params, stretched.b,
                        sizeof stretched.b) != 0)
        return -1;
    const int rc = quorvane_hkdf_sha256_32(stretched.b, sizeof stretched.b, salt, QV_ESCROW_SALT_LEN,
                                           byte_ptr(ESCROW_PW_INFO), ESCROW_PW_INFO.size(), key_out);
    stretched.wipe();
    return rc == 0 ? 0 : -1;
}

int quorvane_escrow_wrap_rk(const uint8_t rk[32], const uint8_t salt[16], uint8_t key_out[32]) {
    if (!rk || !salt || !key_out) return -3;
    return quorvane_hkdf_sha256_32(rk, QV_KEY_LEN, salt, QV_ESCROW_SALT_LEN, byte_ptr(ESCROW_RK_INFO),
                                   ESCROW_RK_INFO.size(), key_out);
}

int quorvane_escrow_seal_raw(const quorvane_escrow_params *params, const uint8_t wrap_key[32], const char *user,
                             const uint8_t identity_pub[32], const uint8_t seed[32], uint8_t rec_out[82]) {
    if (!params || !wrap_key || !user || !identity_pub || !seed || !rec_out) return -3;
    if (!params_ok(*params)) return -3;
    uint8_t rec[QV_ESCROW_LEN];
    encode_hdr(*params, rec);
    uint8_t ad[QV_ESCROW_AD_MAX];
    const size_t ad_len = escrow_ad(rec, user, identity_pub, ad);
    if (!ad_len) return -3;
    if (n_aead_chacha20poly1305_encrypt(wrap_key, ZERO_NONCE, sizeof ZERO_NONCE, ad, ad_len, seed, QV_KEY_LEN,
                                        rec + QV_ESCROW_HDR_LEN, rec + QV_ESCROW_HDR_LEN + QV_KEY_LEN) != 0)
        return -1;
    memcpy(rec_out, rec, sizeof rec);
    return 0;
}

int quorvane_escrow_seal_pw(const char *password, const char *user, const uint8_t seed[32], uint8_t rec_out[82]) {
    if (!password || !user || !seed || !rec_out) return -3;
    return seal_kind(QV_ESCROW_KIND_PW, user, seed, rec_out, [&](const quorvane_escrow_params &p, uint8_t *key) {
        return quorvane_escrow_wrap_pw(password, p.salt, &p.scrypt, key);
    });
}

int quorvane_escrow_seal_rk(const uint8_t rk[32], const char *user, const uint8_t seed[32], uint8_t rec_out[82]) {
    if (!rk || !user || !seed || !rec_out) return -3;
    return seal_kind(QV_ESCROW_KIND_RK, user, seed, rec_out, [&](const quorvane_escrow_params &p, uint8_t *key) {
        return quorvane_escrow_wrap_rk(rk, p.salt, key);
    });
}

int quorvane_escrow_open_pw(const char *password, const char *user, const uint8_t identity_pub[32], const uint8_t *rec,
                            size_t len, uint8_t seed_out[32]) {
    if (!password || !identity_pub || !rec || !seed_out || !user_len(user)) return -3;
    quorvane_escrow_params p;
    if (parse_kind(rec, len, QV_ESCROW_KIND_PW, &p) != 0) return -3;
    secret_buf<QV_KEY_LEN> key;
    if (quorvane_escrow_wrap_pw(password, p.salt, &p.scrypt, key.b) != 0) return -1;
    const int rc = escrow_open(key.b, user, identity_pub, rec, seed_out);
    key.wipe();
    return rc;
}

int quorvane_escrow_open_rk(const uint8_t rk[32], const char *user, const uint8_t identity_pub[32], const uint8_t *rec,
                            size_t len, uint8_t seed_out[32]) {
    if (!rk || !identity_pub || !rec || !seed_out || !user_len(user)) return -3;
    quorvane_escrow_params p;
    if (parse_kind(rec, len, QV_ESCROW_KIND_RK, &p) != 0) return -3;
    secret_buf<QV_KEY_LEN> key;
    if (quorvane_escrow_wrap_rk(rk, p.salt, key.b) != 0) return -1;
    const int rc = escrow_open(key.b, user, identity_pub, rec, seed_out);
    key.wipe();
    return rc;
}

int quorvane_recover_sign(const uint8_t seed[32], const uint8_t challenge[32], const uint8_t server_pub[32],
                          const char *user, const uint8_t auth[32], const uint8_t rec[82], uint8_t sig_out[64]) {
    if (!seed || !challenge || !server_pub || !auth || !rec || !sig_out) return -3;
    uint8_t msg[QV_RECOVER_MSG_MAX];
    const size_t n = recover_msg(challenge, server_pub, user, auth, rec, msg);
    if (!n) return -3;
    return quorvane_ed25519_sign(seed, msg, n, sig_out) == 0 ? 0 : -1;
}

int quorvane_recover_verify(const uint8_t identity_pub[32], const uint8_t challenge[32], const uint8_t server_pub[32],
                            const char *user, const uint8_t auth[32], const uint8_t rec[82], const uint8_t sig[64]) {
    if (!identity_pub || !challenge || !server_pub || !auth || !rec || !sig) return -3;
    uint8_t msg[QV_RECOVER_MSG_MAX];
    const size_t n = recover_msg(challenge, server_pub, user, auth, rec, msg);
    if (!n) return -3;
    return quorvane_ed25519_verify(identity_pub, msg, n, sig) == 0 ? 0 : -2;
}

int quorvane_rk_check(const uint8_t rk[32], uint8_t out[3]) {
    if (!rk || !out) return -3;
    secret_buf<RK_CHECK_INFO.size() + QV_KEY_LEN> in;
    memcpy(in.b, RK_CHECK_INFO.data(), RK_CHECK_INFO.size());
    memcpy(in.b + RK_CHECK_INFO.size(), rk, QV_KEY_LEN);
    uint8_t digest[QV_BLAKE2B_LEN];
    const int rc = quorvane_blake2b(in.b, sizeof in.b, digest);
    in.wipe();
    if (rc != 0) return -1;
    memcpy(out, digest, QV_RK_CHECK_LEN);
    // The rest of the digest would confirm a guessed key: keep none of it.
    OPENSSL_cleanse(digest, sizeof digest);
    return 0;
}
