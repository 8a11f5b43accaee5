// X3DH key agreement over a peer's prekey bundle, the signature over a signed
// prekey, the 16-byte device id and the device certificate.
// Results: 0 ok, -1 library failure (key generation, Diffie-Hellman, derivation), -2 signature
// not valid, -3 null argument. Keys and outputs are caller-owned raw byte arrays;
// outputs of a failed call are not to be used.
#pragma once

#include "quorvane_crypto.h"

#include <cstddef>
#include <cstdint>

constexpr size_t QV_X3DH_SECRET_LEN     = 32;
constexpr size_t QV_X3DH_AD_LEN         = 2 * QV_KEY_LEN;        // initiator identity || responder identity
constexpr size_t QV_X3DH_MATERIAL_MAX   = 5 * QV_KEY_LEN;        // 0xFF pad, DH1-DH3, optional DH4
constexpr size_t QV_PREKEY_MSG_LEN      = 18 + QV_KEY_LEN;       // label || prekey public key
constexpr size_t QV_DEVICE_CERT_MSG_LEN = 2 * QV_KEY_LEN;        // device X25519 || device Ed25519
constexpr size_t QV_DEVICE_ID_INPUT_LEN = 20 + 2 * QV_KEY_LEN;   // label || X25519 || Ed25519
constexpr size_t QV_DEVICE_ID_LEN       = 16;                    // prefix of BLAKE2b-512, raw bytes

static_assert(QV_PREKEY_MSG_LEN == PREKEY_INFO.size() + QV_KEY_LEN && QV_PREKEY_MSG_LEN == 50);
static_assert(QV_DEVICE_ID_INPUT_LEN == DEVICEID_INFO.size() + 2 * QV_KEY_LEN && QV_DEVICE_ID_INPUT_LEN == 84);
static_assert(QV_X3DH_MATERIAL_MAX == 160 && QV_X3DH_AD_LEN == 64);
static_assert(QV_DEVICE_ID_LEN <= QV_BLAKE2B_LEN);

// Signed prekeys and device certificates
// - a signature is over the label-prefixed message, never over the bare key.
// - verify reports every failure of the curve layer (bad key, bad signature) as -2.
[[nodiscard]] int quorvane_prekey_sign(const uint8_t signing_priv[32], const uint8_t prekey_pub[32], uint8_t sig_out[64]);
[[nodiscard]] int quorvane_prekey_verify(const uint8_t signer_pub[32], const uint8_t prekey_pub[32], const uint8_t sig[64]);
[[nodiscard]] int quorvane_device_id(const uint8_t device_x25519_pub[32], const uint8_t device_ed25519_pub[32], uint8_t id_out[16]);
[[nodiscard]] int quorvane_device_cert_sign(const uint8_t identity_priv[32], const uint8_t device_x25519_pub[32],
                                            const uint8_t device_ed25519_pub[32], uint8_t sig_out[64]);
[[nodiscard]] int quorvane_device_cert_verify(const uint8_t identity_pub[32], const uint8_t device_x25519_pub[32],
                                              const uint8_t device_ed25519_pub[32], const uint8_t sig[64]);

// X3DH
// - both sides end with the same 32-byte secret and the same 64-byte associated data
//   (initiator identity public key, then responder identity public key).
// - the one-time prekey is optional (null) and must be given on both sides or neither.
// - a low-order peer key fails the Diffie-Hellman step: -1.
[[nodiscard]] int quorvane_x3dh_initiator(const uint8_t own_identity_priv[32], const uint8_t own_identity_pub[32],
                                          const uint8_t peer_identity_pub[32], const uint8_t peer_signed_prekey_pub[32],
                                          const uint8_t *peer_one_time_prekey_pub, uint8_t ephemeral_pub_out[32],
                                          uint8_t secret_out[32], uint8_t ad_out[64]);
[[nodiscard]] int quorvane_x3dh_responder(const uint8_t own_identity_priv[32], const uint8_t own_identity_pub[32],
                                          const uint8_t own_signed_prekey_priv[32], const uint8_t *own_one_time_prekey_priv,
                                          const uint8_t peer_identity_pub[32], const uint8_t peer_ephemeral_pub[32],
                                          uint8_t secret_out[32], uint8_t ad_out[64]);
