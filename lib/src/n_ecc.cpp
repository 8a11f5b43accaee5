// X25519 and Ed25519 through OpenSSL 3 EVP_PKEY, raw keys in and out.
#include "n_ecc.h"

#include "n_log.h"

#include <memory>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

using pkey_ptr     = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using pkey_ctx_ptr = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;
using md_ctx_ptr   = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

static_assert(N_X25519_KEY_LEN == N_ED25519_KEY_LEN, "one key-pair routine serves both curves");

// The library's empty message must still be a readable pointer.
static const unsigned char *msg_ptr(const void *msg)
{
    return static_cast<const unsigned char *>(msg ? msg : "");
}

// A refused key or signature must leave nothing queued for an unrelated
// later caller to trip over.
static int fail()
{
    ERR_clear_error();
    return -1;
}

// Writes both outputs, or (on failure) neither: a half-written private key
// must not look usable to a caller that ignores the result.
static int n_ecc_keypair(int type, uint8_t *priv, uint8_t *pub, const char *name)
{
    if (!priv || !pub) {
        n_log(LOG_ERR, "%s: NULL output", name);
        return -1;
    }
    pkey_ctx_ptr ctx{EVP_PKEY_CTX_new_id(type, nullptr), EVP_PKEY_CTX_free};
    if (!ctx) {
        n_log(LOG_ERR, "%s: EVP_PKEY_CTX_new_id failed", name);
        return fail();
    }
    EVP_PKEY *raw = nullptr;
    if (EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &raw) != 1) {
        EVP_PKEY_free(raw);
        n_log(LOG_ERR, "%s: keygen failed", name);
        return fail();
    }
    pkey_ptr key{raw, EVP_PKEY_free};
    size_t len = N_X25519_KEY_LEN;
    if (EVP_PKEY_get_raw_private_key(key.get(), priv, &len) != 1 || len != N_X25519_KEY_LEN) {
        OPENSSL_cleanse(priv, N_X25519_KEY_LEN);
        n_log(LOG_ERR, "%s: get_raw_private_key failed", name);
        return fail();
    }
    len = N_X25519_KEY_LEN;
    if (EVP_PKEY_get_raw_public_key(key.get(), pub, &len) != 1 || len != N_X25519_KEY_LEN) {
        OPENSSL_cleanse(priv, N_X25519_KEY_LEN);
        OPENSSL_cleanse(pub, N_X25519_KEY_LEN);
        n_log(LOG_ERR, "%s: get_raw_public_key failed", name);
        return fail();
    }
    return 0;
}

int n_x25519_keypair(uint8_t *priv, uint8_t *pub)
{
    return n_ecc_keypair(EVP_PKEY_X25519, priv, pub, "n_x25519_keypair");
}

int n_ed25519_keypair(uint8_t *priv, uint8_t *pub)
{
    return n_ecc_keypair(EVP_PKEY_ED25519, priv, pub, "n_ed25519_keypair");
}

// The library refuses an all-zero shared secret (a low-order peer point), so
// a contributory result is guaranteed to the caller on success.
int n_x25519_derive(const uint8_t *priv, const uint8_t *peer_pub, uint8_t *out)
{
    if (!priv || !peer_pub || !out) {
        n_log(LOG_ERR, "n_x25519_derive: NULL argument");
        return -1;
    }
    pkey_ptr own{EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, priv, N_X25519_KEY_LEN), EVP_PKEY_free};
    pkey_ptr peer{EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peer_pub, N_X25519_KEY_LEN), EVP_PKEY_free};
    if (!own || !peer) {
        n_log(LOG_ERR, "n_x25519_derive: key import failed");
        return fail();
    }
    pkey_ctx_ptr ctx{EVP_PKEY_CTX_new(own.get(), nullptr), EVP_PKEY_CTX_free};
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 || EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) != 1) {
        n_log(LOG_ERR, "n_x25519_derive: derive init failed");
        return fail();
    }
    size_t len = N_X25519_KEY_LEN;
    if (EVP_PKEY_derive(ctx.get(), out, &len) != 1 || len != N_X25519_KEY_LEN) {
        OPENSSL_cleanse(out, N_X25519_KEY_LEN);
        n_log(LOG_ERR, "n_x25519_derive: derive failed");
        return fail();
    }
    return 0;
}

int n_ed25519_sign(const uint8_t *priv, const void *msg, size_t msg_len, uint8_t *sig)
{
    if (!priv || !sig || (!msg && msg_len)) {
        n_log(LOG_ERR, "n_ed25519_sign: invalid arguments");
        return -1;
    }
    pkey_ptr key{EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, priv, N_ED25519_KEY_LEN), EVP_PKEY_free};
    md_ctx_ptr mctx{EVP_MD_CTX_new(), EVP_MD_CTX_free};
    if (!key || !mctx) {
        n_log(LOG_ERR, "n_ed25519_sign: setup failed");
        return fail();
    }
    // Pure Ed25519 hashes internally: the digest must be null.
    if (EVP_DigestSignInit(mctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
        n_log(LOG_ERR, "n_ed25519_sign: init failed");
        return fail();
    }
    size_t len = N_ED25519_SIG_LEN;
    if (EVP_DigestSign(mctx.get(), sig, &len, msg_ptr(msg), msg_len) != 1 || len != N_ED25519_SIG_LEN) {
        OPENSSL_cleanse(sig, N_ED25519_SIG_LEN);
        n_log(LOG_ERR, "n_ed25519_sign: sign failed");
        return fail();
    }
    return 0;
}

int n_ed25519_verify(const uint8_t *pub, const void *msg, size_t msg_len, const uint8_t *sig)
{
    if (!pub || !sig || (!msg && msg_len)) {
        n_log(LOG_ERR, "n_ed25519_verify: invalid arguments");
        return -1;
    }
    pkey_ptr key{EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, pub, N_ED25519_KEY_LEN), EVP_PKEY_free};
    md_ctx_ptr mctx{EVP_MD_CTX_new(), EVP_MD_CTX_free};
    if (!key || !mctx) {
        n_log(LOG_ERR, "n_ed25519_verify: setup failed");
        return fail();
    }
    if (EVP_DigestVerifyInit(mctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
        n_log(LOG_ERR, "n_ed25519_verify: init failed");
        return fail();
    }
    // A signature that does not verify is an answer, not an error: no log.
    if (EVP_DigestVerify(mctx.get(), sig, N_ED25519_SIG_LEN, msg_ptr(msg), msg_len) != 1) return fail();
    return 0;
}
