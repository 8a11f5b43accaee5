// X25519 key agreement and Ed25519 signatures over OpenSSL 3 EVP_PKEY. Keys
// cross this interface only as raw bytes in caller-owned buffers; no library
// object outlives a call. Results: 0 success, -1 failure (logged at ERR,
// except a signature that does not verify); the library's error queue is
// left empty after every failure.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t N_X25519_KEY_LEN     = 32;  // private key, public key and shared secret
constexpr size_t N_ED25519_KEY_LEN    = 32;  // private key (the seed) and public key
constexpr size_t N_ED25519_SIG_LEN    = 64;

[[nodiscard]] int n_x25519_keypair(uint8_t *priv, uint8_t *pub);
[[nodiscard]] int n_ed25519_keypair(uint8_t *priv, uint8_t *pub);
[[nodiscard]] int n_x25519_derive(const uint8_t *priv, const uint8_t *peer_pub, uint8_t *out);  // -1 also for a low-order peer key
[[nodiscard]] int n_ed25519_sign(const uint8_t *priv, const void *msg, size_t msg_len, uint8_t *sig);
[[nodiscard]] int n_ed25519_verify(const uint8_t *pub, const void *msg, size_t msg_len, const uint8_t *sig);  // 0 valid, -1 otherwise
