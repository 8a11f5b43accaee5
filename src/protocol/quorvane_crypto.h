// The one home of the system's cryptography: random bytes, secret memory, curve
// keys, BLAKE2b, HMAC, scrypt, and the sealing constructions built on them.
// Results: 0 ok, -1 library or resource failure, -2 authentication failure (tag,
// signature, expired token), -3 bad argument or malformed input; exceptions are noted.
// Keys and outputs are caller-owned byte arrays; library failures print the OpenSSL
// error queue to stderr (quorvane_ssl_perror), authentication failures print nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

constexpr size_t QV_KEY_LEN         = 32;   // symmetric keys, X25519 keys, Ed25519 seeds and public keys
constexpr size_t QV_SIG_LEN         = 64;   // Ed25519 signature
constexpr size_t QV_NONCE_LEN       = 12;
constexpr size_t QV_TAG_LEN         = 16;   // Poly1305
constexpr size_t QV_SALT_LEN        = 16;   // message, token and search-index salts
constexpr size_t QV_BLAKE2B_LEN     = 64;
constexpr size_t QV_HMAC_SHA256_LEN = 32;
constexpr size_t QV_SEAL_OVERHEAD   = QV_KEY_LEN + QV_TAG_LEN;  // ephemeral public key + tag
constexpr size_t QV_REST_TOKEN_LEN      = 73;
constexpr size_t QV_REST_TOKEN_BODY_LEN = 41;   // id, kind, expiry, extra
constexpr size_t QV_CRYPTO_LEN_MAX  = 2147483647;  // the library counts in int
constexpr uint64_t QV_SCRYPT_MAXMEM = 2147483648ull;

static_assert(QV_SEAL_OVERHEAD == 48);
static_assert(QV_REST_TOKEN_BODY_LEN == 16 + 1 + 8 + 16);
static_assert(QV_REST_TOKEN_LEN == QV_SALT_LEN + QV_REST_TOKEN_BODY_LEN + QV_TAG_LEN);

// Every ChaCha20-Poly1305 call of the core uses this nonce; it is safe only
// because each call's key is derived for that one message, chunk, token or record.
inline constexpr uint8_t ZERO_NONCE[QV_NONCE_LEN] = {};
inline constexpr uint8_t ZERO_SALT32[32] = {};

// Derivation labels: the bytes fed to HKDF are exactly the text, no terminator.
inline constexpr std::string_view SEAL_INFO         = "quorvane-seal-v1";
inline constexpr std::string_view REST_TOKEN_INFO   = "quorvane-rest-token-v1";
inline constexpr std::string_view SIDX_INFO         = "quorvane-sidx-v1";
inline constexpr std::string_view MSG_INFO_PREFIX   = "quorvane-msg-v1";       // + counter, 8 bytes big-endian
inline constexpr std::string_view X3DH_INFO         = "quorvane-x3dh-v1";
inline constexpr std::string_view PREKEY_INFO       = "quorvane-prekey-v1";
inline constexpr std::string_view DEVICEID_INFO     = "quorvane-deviceid-v1";
inline constexpr std::string_view RATCHET_ROOT_INFO = "quorvane-ratchet-root-v1";
inline constexpr std::string_view RATCHET_MSG_INFO  = "quorvane-ratchet-msg-v1";
inline constexpr std::string_view ESCROW_PW_INFO    = "quorvane-escrow-pw-v1";
inline constexpr std::string_view ESCROW_RK_INFO    = "quorvane-escrow-rk-v1";
inline constexpr std::string_view RECOVER_INFO      = "quorvane-recover-v1";
inline constexpr std::string_view RK_CHECK_INFO     = "quorvane-rk-check-v1";
inline constexpr std::string_view BACKUP_INFO       = "quorvane-backup-v1";
inline constexpr std::string_view BLOB_INFO_PREFIX  = "quorvane-blob-v1";      // + chunk index, 4 bytes big-endian

// The lengths are part of the formats: a typo in a label must not compile.
static_assert(SEAL_INFO.size() == 16 && REST_TOKEN_INFO.size() == 22 && SIDX_INFO.size() == 16);
static_assert(MSG_INFO_PREFIX.size() + 8 == 23 && X3DH_INFO.size() == 16 && PREKEY_INFO.size() == 18);
static_assert(DEVICEID_INFO.size() == 20 && RATCHET_ROOT_INFO.size() == 24 && RATCHET_MSG_INFO.size() == 23);
static_assert(ESCROW_PW_INFO.size() == 21 && ESCROW_RK_INFO.size() == 21 && RECOVER_INFO.size() == 19);
static_assert(RK_CHECK_INFO.size() == 20 && BACKUP_INFO.size() == 18 && BLOB_INFO_PREFIX.size() + 4 == 20);

struct quorvane_scrypt_params {
    uint32_t N;
    uint32_t r;
    uint32_t p;
};

struct quorvane_blake2b_ctx;  // one incremental BLAKE2b-512 stream

// Set-up, randomness and secret memory
[[nodiscard]] int quorvane_crypto_init();    // fetches BLAKE2b-512 once; call before threads share the BLAKE2b stream functions
void quorvane_crypto_deinit();               // frees the fetched methods; no crypto call may run concurrently
[[nodiscard]] int quorvane_random(uint8_t *buf, size_t len);            // null with length 0 succeeds
[[nodiscard]] int quorvane_ct_eq(const void *a, const void *b, size_t len);  // 1 equal, 0 differ or a null pointer
void quorvane_cleanse(void *buf, size_t len);                           // null is ignored
[[nodiscard]] int quorvane_mem_lock(void *buf, size_t len);             // 1 locked, 0 not (best effort: not an error)
void quorvane_mem_unlock(void *buf, size_t len);
void quorvane_ssl_perror(const char *context);                          // prints and empties the OpenSSL error queue

// Curve keys
// - private keys are raw 32-byte X25519 scalars or Ed25519 seeds; public keys 32 bytes.
// - verification failures of every kind are -2, never -1.
[[nodiscard]] int quorvane_x25519_keypair(uint8_t priv[32], uint8_t pub[32]);
[[nodiscard]] int quorvane_ed25519_keypair(uint8_t priv[32], uint8_t pub[32]);
[[nodiscard]] int quorvane_ed25519_sign(const uint8_t priv[32], const uint8_t *msg, size_t len, uint8_t sig[64]);
[[nodiscard]] int quorvane_ed25519_verify(const uint8_t pub[32], const uint8_t *msg, size_t len, const uint8_t sig[64]);
[[nodiscard]] int quorvane_ed25519_pub_from_seed(const uint8_t seed[32], uint8_t pub[32]);

// Digests, MAC and password hashing
[[nodiscard]] int quorvane_blake2b(const uint8_t *data, size_t len, uint8_t out[64]);
[[nodiscard]] int quorvane_blake2b_init(quorvane_blake2b_ctx **out);
[[nodiscard]] int quorvane_blake2b_update(quorvane_blake2b_ctx *h, const uint8_t *data, size_t len);
[[nodiscard]] int quorvane_blake2b_final(quorvane_blake2b_ctx **h, uint8_t out[64]);  // frees and nulls *h even when it fails
[[nodiscard]] int quorvane_hmac_sha256(const uint8_t *key, size_t key_len, const uint8_t *data, size_t data_len,
                                       uint8_t out[32]);
[[nodiscard]] int quorvane_hkdf_sha256_32(const uint8_t *ikm, size_t ikm_len, const uint8_t *salt, size_t salt_len,
                                          const uint8_t *info, size_t info_len, uint8_t out[32]);  // 0/-1 (also for a null argument); no salt is 32 zero bytes
[[nodiscard]] int quorvane_scrypt(const uint8_t *pw, size_t pw_len, const uint8_t *salt, size_t salt_len,
                                  const quorvane_scrypt_params *params, uint8_t *out, size_t out_len);  // memory bound 2 GiB

// Sealing
// - every call derives a key for one use with HKDF-SHA256 and encrypts with
//   ChaCha20-Poly1305 under ZERO_NONCE; the derived key never leaves the call.
// - a failed open wipes what it wrote to the plaintext output; *out_len is set only on 0.
[[nodiscard]] int quorvane_seal(const uint8_t recipient_pub[32], const uint8_t *pt, size_t pt_len, uint8_t *out,
                                size_t out_cap, size_t *out_len);  // anonymous box of pt_len + 48 bytes
[[nodiscard]] int quorvane_open(const uint8_t priv[32], const uint8_t *box, size_t box_len, uint8_t *out,
                                size_t out_cap, size_t *out_len);  // -3 below 48 bytes
[[nodiscard]] int quorvane_msg_seal(const uint8_t key[32], uint64_t counter, const uint8_t salt[16], const uint8_t *ad,
                                    size_t ad_len, const uint8_t *pt, size_t pt_len, uint8_t *ct, uint8_t tag[16]);
[[nodiscard]] int quorvane_msg_open(const uint8_t key[32], uint64_t counter, const uint8_t salt[16], const uint8_t *ad,
                                    size_t ad_len, const uint8_t *ct, size_t ct_len, const uint8_t tag[16], uint8_t *pt);
[[nodiscard]] int quorvane_rest_token_issue(const uint8_t secret[32], const uint8_t id[16], int kind,
                                            const uint8_t *extra, uint64_t expiry, uint8_t out[73]);  // extra: 16 bytes or null (zeros)
[[nodiscard]] int quorvane_rest_token_verify(const uint8_t secret[32], const uint8_t *token, size_t token_len, uint64_t now,
                                             uint8_t id_out[16], uint8_t *kind_out, uint8_t *extra_out);  // -2 forged or now >= expiry
[[nodiscard]] int quorvane_sidx_key(const uint8_t key[32], const uint8_t salt[16], uint8_t out[32]);  // -1 also for a null argument

// Self-signed certificate for a server side without one of its own: a fresh
// P-256 key, a version-3 certificate with serial 1, subject and issuer
// CN=common_name, valid from now for QV_SELFSIGNED_DAYS, signed with SHA-256.
// Both files are PEM; the key file is created 0600 before a byte of the key is
// written, synced, and removed again when anything fails after its creation.
constexpr long QV_SELFSIGNED_DAYS = 3650;
[[nodiscard]] int quorvane_selfsigned_cert(const char *cert_path, const char *key_path, const char *common_name);  // -3 null argument
