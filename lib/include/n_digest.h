// One-shot digests, HMAC, PBKDF2, AEAD (AES-256-GCM, ChaCha20-Poly1305), HKDF
// and scrypt over the OpenSSL 3 EVP interface; each call owns its library
// objects, so any thread may call. Results: 0 success, -1 failure (failures
// are logged at ERR, a refused AEAD tag is not). Every buffer is the caller's;
// a null input pointer is accepted wherever its length is zero.
#pragma once

#include "n_str.h"

#include <cstddef>
#include <cstdint>

constexpr size_t N_DIGEST_MD5_LEN        = 16;
constexpr size_t N_DIGEST_SHA1_LEN       = 20;
constexpr size_t N_DIGEST_SHA256_LEN     = 32;
constexpr size_t N_DIGEST_SHA384_LEN     = 48;
constexpr size_t N_DIGEST_SHA512_LEN     = 64;
constexpr size_t N_DIGEST_BLAKE2B512_LEN = 64;
constexpr size_t N_AEAD_KEY_LEN          = 32;
constexpr size_t N_AEAD_TAG_LEN          = 16;
constexpr size_t N_DIGEST_LEN_MAX        = 2147483647;  // the library takes these lengths as int

// Digests: `out` must hold the digest's size (N_DIGEST_*_LEN).
[[nodiscard]] int    n_digest_md5(const void *data, size_t len, uint8_t *out);
[[nodiscard]] int    n_digest_sha1(const void *data, size_t len, uint8_t *out);
[[nodiscard]] int    n_digest_sha256(const void *data, size_t len, uint8_t *out);
[[nodiscard]] int    n_digest_sha384(const void *data, size_t len, uint8_t *out);
[[nodiscard]] int    n_digest_sha512(const void *data, size_t len, uint8_t *out);
[[nodiscard]] int    n_digest_blake2b512(const void *data, size_t len, uint8_t *out);
[[nodiscard]] N_STR *n_digest_sha256_hex(const void *data, size_t len);  // 64 lower-case digits; caller frees; null on failure

// HMAC: `out` must hold the hash's digest size; keys up to N_DIGEST_LEN_MAX bytes.
[[nodiscard]] int    n_hmac_sha1(const void *key, size_t key_len, const void *data, size_t data_len, uint8_t *out);
[[nodiscard]] int    n_hmac_sha256(const void *key, size_t key_len, const void *data, size_t data_len, uint8_t *out);
[[nodiscard]] int    n_hmac_sha384(const void *key, size_t key_len, const void *data, size_t data_len, uint8_t *out);
[[nodiscard]] int    n_hmac_sha512(const void *key, size_t key_len, const void *data, size_t data_len, uint8_t *out);

// PBKDF2: iterations must be positive (0 is an invalid argument, a negative count "too large").
[[nodiscard]] int    n_pbkdf2_hmac_sha1(const void *pass, size_t pass_len, const void *salt, size_t salt_len, int32_t iterations, uint8_t *out, size_t out_len);
[[nodiscard]] int    n_pbkdf2_hmac_sha256(const void *pass, size_t pass_len, const void *salt, size_t salt_len, int32_t iterations, uint8_t *out, size_t out_len);

// AEAD: key N_AEAD_KEY_LEN bytes, tag N_AEAD_TAG_LEN bytes; the ciphertext has the plaintext's length.
// - the output pointer must be non-null even for an empty plaintext;
// - decryption returns -1 when the tag does not authenticate, with nothing logged and the whole
//   plaintext output wiped to zero (so is it after every other decryption failure);
// - ChaCha20-Poly1305 takes nonces of 1 to 12 bytes, AES-256-GCM any non-zero length.
[[nodiscard]] int    n_aead_aes256gcm_encrypt(const uint8_t *key, const uint8_t *nonce, size_t nonce_len, const void *aad, size_t aad_len, const void *plain, size_t plain_len, uint8_t *cipher, uint8_t *tag);
[[nodiscard]] int    n_aead_aes256gcm_decrypt(const uint8_t *key, const uint8_t *nonce, size_t nonce_len, const void *aad, size_t aad_len, const void *cipher, size_t cipher_len, const uint8_t *tag, uint8_t *plain);
[[nodiscard]] int    n_aead_chacha20poly1305_encrypt(const uint8_t *key, const uint8_t *nonce, size_t nonce_len, const void *aad, size_t aad_len, const void *plain, size_t plain_len, uint8_t *cipher, uint8_t *tag);
[[nodiscard]] int    n_aead_chacha20poly1305_decrypt(const uint8_t *key, const uint8_t *nonce, size_t nonce_len, const void *aad, size_t aad_len, const void *cipher, size_t cipher_len, const uint8_t *tag, uint8_t *plain);

// Key derivation. HKDF does extract then expand, at most 255 * 32 bytes; an empty salt is HKDF's
// zero-filled salt. scrypt leaves N, r and p to the library, which refuses any set needing more
// than maxmem bytes.
[[nodiscard]] int    n_kdf_hkdf_sha256(const void *key, size_t key_len, const void *salt, size_t salt_len, const void *info, size_t info_len, uint8_t *out, size_t out_len);
[[nodiscard]] int    n_kdf_scrypt(const void *pass, size_t pass_len, const void *salt, size_t salt_len, uint64_t N, uint32_t r, uint32_t p, uint64_t maxmem, uint8_t *out, size_t out_len);

[[nodiscard]] int    n_digest_consttime_equal(const void *a, const void *b, size_t len);  // 1 equal, 0 otherwise or for a null pointer
