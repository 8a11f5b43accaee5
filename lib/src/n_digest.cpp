// One-shot digests, MACs, AEAD ciphers and key derivations over OpenSSL 3 EVP.
#include "n_digest.h"

#include "n_hex.h"
#include "n_log.h"

#include <climits>
#include <cstring>
#include <memory>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/sha.h>

static_assert(N_DIGEST_LEN_MAX == INT_MAX, "lengths above the limit do not fit the library's int");
static_assert(N_DIGEST_SHA1_LEN == SHA_DIGEST_LENGTH && N_DIGEST_SHA256_LEN == SHA256_DIGEST_LENGTH &&
              N_DIGEST_SHA384_LEN == SHA384_DIGEST_LENGTH && N_DIGEST_SHA512_LEN == SHA512_DIGEST_LENGTH);
static_assert(N_AEAD_TAG_LEN == EVP_GCM_TLS_TAG_LEN && N_AEAD_TAG_LEN == EVP_CHACHAPOLY_TLS_TAG_LEN);

using cipher_ctx_ptr = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;
using kdf_ptr        = std::unique_ptr<EVP_KDF, decltype(&EVP_KDF_free)>;
using kdf_ctx_ptr    = std::unique_ptr<EVP_KDF_CTX, decltype(&EVP_KDF_CTX_free)>;

// The library wants a readable pointer even for an empty input.
static const void *nonnull(const void *p)
{
    return p ? p : "";
}

static int n_digest_oneshot(const EVP_MD *md, const void *data, size_t len, uint8_t *out, const char *name)
{
    if (!out || (!data && len)) {
        n_log(LOG_ERR, "n_digest_%s: invalid arguments", name);
        return -1;
    }
    if (EVP_Digest(nonnull(data), len, out, nullptr, md, nullptr) != 1) {
        n_log(LOG_ERR, "n_digest_%s: EVP_Digest failed", name);
        ERR_clear_error();
        return -1;
    }
    return 0;
}

int n_digest_md5(const void *data, size_t len, uint8_t *out)
{
    return n_digest_oneshot(EVP_md5(), data, len, out, "md5");
}

int n_digest_sha1(const void *data, size_t len, uint8_t *out)
{
    return n_digest_oneshot(EVP_sha1(), data, len, out, "sha1");
}

int n_digest_sha256(const void *data, size_t len, uint8_t *out)
{
    return n_digest_oneshot(EVP_sha256(), data, len, out, "sha256");
}

int n_digest_sha384(const void *data, size_t len, uint8_t *out)
{
    return n_digest_oneshot(EVP_sha384(), data, len, out, "sha384");
}

int n_digest_sha512(const void *data, size_t len, uint8_t *out)
{
    return n_digest_oneshot(EVP_sha512(), data, len, out, "sha512");
}

int n_digest_blake2b512(const void *data, size_t len, uint8_t *out)
{
    return n_digest_oneshot(EVP_blake2b512(), data, len, out, "blake2b512");
}

N_STR *n_digest_sha256_hex(const void *data, size_t len)
{
    uint8_t md[N_DIGEST_SHA256_LEN];
    if (n_digest_sha256(data, len, md) != 0) return nullptr;
    return n_hex_encode(md, sizeof md);
}

static int n_hmac_oneshot(const EVP_MD *md, unsigned expected, const void *key, size_t key_len, const void *data,
                          size_t data_len, uint8_t *out, const char *name)
{
    if (!out || (!key && key_len) || (!data && data_len)) {
        n_log(LOG_ERR, "n_hmac_%s: invalid arguments", name);
        return -1;
    }
    if (key_len > N_DIGEST_LEN_MAX) {
        n_log(LOG_ERR, "n_hmac_%s: key length %zu too large", name, key_len);
        return -1;
    }
    unsigned out_len = 0;
    if (!HMAC(md, nonnull(key), static_cast<int>(key_len), static_cast<const unsigned char *>(nonnull(data)), data_len,
              out, &out_len) ||
        out_len != expected) {
        n_log(LOG_ERR, "n_hmac_%s: HMAC failed (out_len %u)", name, out_len);
        OPENSSL_cleanse(out, expected);
        ERR_clear_error();
        return -1;
    }
    return 0;
}

int n_hmac_sha1(const void *key, size_t key_len, const void *data, size_t data_len, uint8_t *out)
{
    return n_hmac_oneshot(EVP_sha1(), N_DIGEST_SHA1_LEN, key, key_len, data, data_len, out, "sha1");
}

int n_hmac_sha256(const void *key, size_t key_len, const void *data, size_t data_len, uint8_t *out)
{
    return n_hmac_oneshot(EVP_sha256(), N_DIGEST_SHA256_LEN, key, key_len, data, data_len, out, "sha256");
}

int n_hmac_sha384(const void *key, size_t key_len, const void *data, size_t data_len, uint8_t *out)
{
    return n_hmac_oneshot(EVP_sha384(), N_DIGEST_SHA384_LEN, key, key_len, data, data_len, out, "sha384");
}

int n_hmac_sha512(const void *key, size_t key_len, const void *data, size_t data_len, uint8_t *out)
{
    return n_hmac_oneshot(EVP_sha512(), N_DIGEST_SHA512_LEN, key, key_len, data, data_len, out, "sha512");
}

static int n_pbkdf2_oneshot(const EVP_MD *md, const void *pass, size_t pass_len, const void *salt, size_t salt_len,
                            int32_t iterations, uint8_t *out, size_t out_len, const char *name)
{
    if (!out || out_len == 0 || iterations == 0 || (!pass && pass_len) || (!salt && salt_len)) {
        n_log(LOG_ERR, "n_pbkdf2_%s: invalid arguments", name);
        return -1;
    }
    if (pass_len > N_DIGEST_LEN_MAX || salt_len > N_DIGEST_LEN_MAX || out_len > N_DIGEST_LEN_MAX || iterations < 0) {
        n_log(LOG_ERR, "n_pbkdf2_%s: argument too large", name);
        return -1;
    }
    if (PKCS5_PBKDF2_HMAC(static_cast<const char *>(nonnull(pass)), static_cast<int>(pass_len),
                          static_cast<const unsigned char *>(nonnull(salt)), static_cast<int>(salt_len), iterations, md,
                          static_cast<int>(out_len), out) != 1) {
        n_log(LOG_ERR, "n_pbkdf2_%s: PKCS5_PBKDF2_HMAC failed", name);
        OPENSSL_cleanse(out, out_len);
        ERR_clear_error();
        return -1;
    }
    return 0;
}

int n_pbkdf2_hmac_sha1(const void *pass, size_t pass_len, const void *salt, size_t salt_len, int32_t iterations,
                       uint8_t *out, size_t out_len)
{
    return n_pbkdf2_oneshot(EVP_sha1(), pass, pass_len, salt, salt_len, iterations, out, out_len, "sha1");
}

int n_pbkdf2_hmac_sha256(const void *pass, size_t pass_len, const void *salt, size_t salt_len, int32_t iterations,
                         uint8_t *out, size_t out_len)
{
    return n_pbkdf2_oneshot(EVP_sha256(), pass, pass_len, salt, salt_len, iterations, out, out_len, "sha256");
}

// A tag that does not authenticate is an ordinary refusal: it must not be
// logged, and it must not be told apart from the outside by what is logged.
static const char *const kTagMismatch = "tag mismatch";

// Runs one AEAD operation in the given direction. Returns null on success,
// kTagMismatch when the tag did not authenticate, or the log suffix naming the
// step that the library refused.
static const char *aead_run(const EVP_CIPHER *cipher, int enc, const uint8_t *key, const uint8_t *nonce,
                            size_t nonce_len, const void *aad, size_t aad_len, const void *in, size_t in_len,
                            uint8_t *out, uint8_t *tag_out, const uint8_t *tag_in)
{
    cipher_ctx_ptr ctx{EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free};
    if (!ctx) return "EVP_CIPHER_CTX_new failed";
    if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, nullptr, nullptr, enc) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_IVLEN, static_cast<int>(nonce_len), nullptr) != 1 ||
        EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, key, nonce, enc) != 1)
        return "init failed";

    int n = 0;
    if (aad_len && EVP_CipherUpdate(ctx.get(), nullptr, &n, static_cast<const unsigned char *>(aad),
                                    static_cast<int>(aad_len)) != 1)
        return "AAD failed";
    n = 0;
    if (in_len && (EVP_CipherUpdate(ctx.get(), out, &n, static_cast<const unsigned char *>(in),
                                    static_cast<int>(in_len)) != 1 ||
                   static_cast<size_t>(n) != in_len))
        return enc ? "encrypt failed" : "decrypt failed";

    int tail = 0;
    if (enc) {
        if (EVP_CipherFinal_ex(ctx.get(), out + in_len, &tail) != 1 || tail != 0 ||
            EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, static_cast<int>(N_AEAD_TAG_LEN), tag_out) != 1)
            return "finalize failed";
        return nullptr;
    }
    uint8_t tag[N_AEAD_TAG_LEN];
    memcpy(tag, tag_in, sizeof tag);
    const int set = EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, static_cast<int>(sizeof tag), tag);
    OPENSSL_cleanse(tag, sizeof tag);
    if (set != 1) return "set tag failed";
    if (EVP_CipherFinal_ex(ctx.get(), out + in_len, &tail) != 1 || tail != 0) return kTagMismatch;
    return nullptr;
}

// Both ciphers and both directions. The library writes plaintext before it
// has checked the tag, so a failed decryption wipes the whole output: the
// caller never holds unauthenticated bytes.
static int aead_oneshot(const EVP_CIPHER *cipher, const char *name, int enc, const uint8_t *key, const uint8_t *nonce,
                        size_t nonce_len, const void *aad, size_t aad_len, const void *in, size_t in_len, uint8_t *out,
                        uint8_t *tag_out, const uint8_t *tag_in)
{
    const uint8_t *tag = enc ? tag_out : tag_in;
    if (!key || !nonce || !out || !tag || nonce_len == 0 || (!aad && aad_len) || (!in && in_len) ||
        nonce_len > N_DIGEST_LEN_MAX || aad_len > N_DIGEST_LEN_MAX || in_len > N_DIGEST_LEN_MAX) {
        _n_log(LOG_ERR, __FILE__, name, __LINE__, "%s: invalid arguments", name);
        return -1;
    }
    const char *why = aead_run(cipher, enc, key, nonce, nonce_len, aad, aad_len, in, in_len, out, tag_out, tag_in);
    if (!why) return 0;
    if (why != kTagMismatch) _n_log(LOG_ERR, __FILE__, name, __LINE__, "%s: %s", name, why);
    if (!enc) OPENSSL_cleanse(out, in_len);
    ERR_clear_error();
    return -1;
}

int n_aead_aes256gcm_encrypt(const uint8_t *key, const uint8_t *nonce, size_t nonce_len, const void *aad,
                             size_t aad_len, const void *plain, size_t plain_len, uint8_t *cipher, uint8_t *tag)
{
    return aead_oneshot(EVP_aes_256_gcm(), "n_aead_aes256gcm_encrypt", 1, key, nonce, nonce_len, aad, aad_len, plain,
                        plain_len, cipher, tag, nullptr);
}

int n_aead_aes256gcm_decrypt(const uint8_t *key, const uint8_t *nonce, size_t nonce_len, const void *aad,
                             size_t aad_len, const void *cipher, size_t cipher_len, const uint8_t *tag, uint8_t *plain)
{
    return aead_oneshot(EVP_aes_256_gcm(), "n_aead_aes256gcm_decrypt", 0, key, nonce, nonce_len, aad, aad_len, cipher,
                        cipher_len, plain, nullptr, tag);
}

int n_aead_chacha20poly1305_encrypt(const uint8_t *key, const uint8_t *nonce, size_t nonce_len, const void *aad,
                                    size_t aad_len, const void *plain, size_t plain_len, uint8_t *cipher, uint8_t *tag)
{
    return aead_oneshot(EVP_chacha20_poly1305(), "n_aead_chacha20poly1305_encrypt", 1, key, nonce, nonce_len, aad,
                        aad_len, plain, plain_len, cipher, tag, nullptr);
}

int n_aead_chacha20poly1305_decrypt(const uint8_t *key, const uint8_t *nonce, size_t nonce_len, const void *aad,
                                    size_t aad_len, const void *cipher, size_t cipher_len, const uint8_t *tag,
                                    uint8_t *plain)
{
    return aead_oneshot(EVP_chacha20_poly1305(), "n_aead_chacha20poly1305_decrypt", 0, key, nonce, nonce_len, aad,
                        aad_len, cipher, cipher_len, plain, nullptr, tag);
}

// The parameter arrays point into the caller's buffers; OSSL_PARAM wants
// non-const pointers but the library only reads them during derivation.
static OSSL_PARAM octets(const char *key, const void *p, size_t n)
{
    return OSSL_PARAM_construct_octet_string(key, const_cast<void *>(nonnull(p)), n);
}

int n_kdf_hkdf_sha256(const void *key, size_t key_len, const void *salt, size_t salt_len, const void *info,
                      size_t info_len, uint8_t *out, size_t out_len)
{
    if (!out || out_len == 0 || (!key && key_len) || (!salt && salt_len) || (!info && info_len)) {
        n_log(LOG_ERR, "n_kdf_hkdf_sha256: invalid arguments");
        return -1;
    }
    kdf_ptr kdf{EVP_KDF_fetch(nullptr, "HKDF", nullptr), EVP_KDF_free};
    if (!kdf) {
        n_log(LOG_ERR, "n_kdf_hkdf_sha256: EVP_KDF_fetch(HKDF) failed");
        ERR_clear_error();
        return -1;
    }
    kdf_ctx_ptr kctx{EVP_KDF_CTX_new(kdf.get()), EVP_KDF_CTX_free};
    if (!kctx) {
        ERR_clear_error();
        return -1;
    }
    // No mode: the library's default is extract then expand, which an
    // absent salt turns into HKDF's zero-filled salt.
    OSSL_PARAM params[5];
    size_t i = 0;
    params[i++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char *>("SHA256"), 0);
    params[i++] = octets(OSSL_KDF_PARAM_KEY, key, key_len);
    if (salt_len) params[i++] = octets(OSSL_KDF_PARAM_SALT, salt, salt_len);
    if (info_len) params[i++] = octets(OSSL_KDF_PARAM_INFO, info, info_len);
    params[i] = OSSL_PARAM_construct_end();
    if (EVP_KDF_derive(kctx.get(), out, out_len, params) != 1) {
        n_log(LOG_ERR, "n_kdf_hkdf_sha256: EVP_KDF_derive failed");
        OPENSSL_cleanse(out, out_len);
        ERR_clear_error();
        return -1;
    }
    return 0;
}

int n_kdf_scrypt(const void *pass, size_t pass_len, const void *salt, size_t salt_len, uint64_t N, uint32_t r,
                 uint32_t p, uint64_t maxmem, uint8_t *out, size_t out_len)
{
    if (!out || out_len == 0 || (!pass && pass_len) || (!salt && salt_len)) {
        n_log(LOG_ERR, "n_kdf_scrypt: invalid arguments");
        return -1;
    }
    kdf_ptr kdf{EVP_KDF_fetch(nullptr, "SCRYPT", nullptr), EVP_KDF_free};
    if (!kdf) {
        n_log(LOG_ERR, "n_kdf_scrypt: EVP_KDF_fetch(SCRYPT) failed");
        ERR_clear_error();
        return -1;
    }
    kdf_ctx_ptr kctx{EVP_KDF_CTX_new(kdf.get()), EVP_KDF_CTX_free};
    if (!kctx) {
        ERR_clear_error();
        return -1;
    }
    // Cost limits are the callers' (they bound N, r and p); the memory bound
    // is what keeps a hostile parameter set from exhausting the process.
    OSSL_PARAM params[] = {
        octets(OSSL_KDF_PARAM_PASSWORD, pass, pass_len),
        octets(OSSL_KDF_PARAM_SALT, salt, salt_len),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_N, &N),
        OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_R, &r),
        OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_P, &p),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_MAXMEM, &maxmem),
        OSSL_PARAM_construct_end(),
    };
    if (EVP_KDF_derive(kctx.get(), out, out_len, params) != 1) {
        n_log(LOG_ERR, "n_kdf_scrypt: EVP_KDF_derive failed");
        OPENSSL_cleanse(out, out_len);
        ERR_clear_error();
        return -1;
    }
    return 0;
}

int n_digest_consttime_equal(const void *a, const void *b, size_t len)
{
    if (!a || !b) return 0;
    return CRYPTO_memcmp(a, b, len) == 0 ? 1 : 0;
}
