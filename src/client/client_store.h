// The device key store: one account's long-term keys on this device, kept in a
// password key file whose plaintext is an "HKS1" record, plus an unprotected
// "<path>.pub" file holding the device's two public keys.
// Results: 0 ok, -1 internal or I/O failure, -2 wrong password (from the key file),
// -3 bad argument, store already present, or malformed plaintext.
// The record is the caller's; functions that hold secrets in it lock its memory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quorvane_crypto.h"

constexpr size_t   QV_KEYSTORE_BLOCK_LEN = 256;   // keys and certificate, stored as one block
constexpr size_t   QV_KEYSTORE_V1_LEN    = 264;   // magic, format, block
constexpr size_t   QV_KEYSTORE_LEN       = 297;   // + recovery flag and key
constexpr size_t   QV_KEYSTORE_PUB_LEN   = 64;    // device X25519 public || device Ed25519 public
constexpr size_t   QV_KEYSTORE_NAME_MAX  = 1024;  // the ".pub" name must be shorter
constexpr uint8_t  QV_KEYSTORE_FORMAT_1  = 1;     // read only
constexpr uint8_t  QV_KEYSTORE_FORMAT_2  = 2;

// What the store costs to unlock, on every device alike (32 MiB).
inline constexpr quorvane_scrypt_params QV_KEYSTORE_SCRYPT = {32768, 8, 1};

struct quorvane_device_keys {
    uint8_t identity_priv[QV_KEY_LEN];        // Ed25519 seed of the account identity
    uint8_t identity_pub[QV_KEY_LEN];
    uint8_t device_x25519_priv[QV_KEY_LEN];
    uint8_t device_x25519_pub[QV_KEY_LEN];
    uint8_t device_ed25519_priv[QV_KEY_LEN];  // Ed25519 seed of this device
    uint8_t device_ed25519_pub[QV_KEY_LEN];
    uint8_t device_cert[QV_SIG_LEN];          // identity signature over the two device public keys
    uint8_t has_recovery_key;                 // 0 or 1
    uint8_t recovery_key[QV_KEY_LEN];         // zero when absent
};

static_assert(sizeof(quorvane_device_keys) == 289);
static_assert(offsetof(quorvane_device_keys, has_recovery_key) == QV_KEYSTORE_BLOCK_LEN);
static_assert(QV_KEYSTORE_V1_LEN == 4 + 4 + QV_KEYSTORE_BLOCK_LEN);
static_assert(QV_KEYSTORE_LEN == QV_KEYSTORE_V1_LEN + 1 + QV_KEY_LEN);
static_assert(QV_KEYSTORE_PUB_LEN == 2 * QV_KEY_LEN);

// Key store
// - create and persist never replace an existing path (a file, a directory or a dangling
//   link alike): -3 and nothing written; reseal replaces the store.
// - open passes the key file's code through unchanged: -1 missing, unreadable or cut short,
//   -2 wrong password or damaged body, -3 malformed header; -3 also for a malformed plaintext.
//   Whatever fails, the record is left as it was (locked).
// - build does not lock; when it fails it wipes the four secrets and unlocks.
[[nodiscard]] int quorvane_client_store_exists(const char *path);  // 1 when it opens for reading, else 0
[[nodiscard]] int quorvane_client_store_build(const uint8_t *seed, quorvane_device_keys *keys);  // seed: 32 or null
[[nodiscard]] int quorvane_client_store_create(const char *path, const char *password, quorvane_device_keys *keys);
[[nodiscard]] int quorvane_client_store_persist(const char *path, const char *password,
                                                const quorvane_device_keys *keys);
[[nodiscard]] int quorvane_client_store_reseal(const char *path, const char *password,
                                               const quorvane_device_keys *keys);  // -3 for an empty password
[[nodiscard]] int quorvane_client_store_open(const char *path, const char *password, quorvane_device_keys *keys);
void              quorvane_device_keys_cleanse(quorvane_device_keys *keys);  // unlocks, wipes the secrets; null ignored

// The plaintext record, below the key file
[[nodiscard]] int quorvane_client_store_serialise(const quorvane_device_keys *keys,
                                                  uint8_t out[QV_KEYSTORE_LEN]);  // always format 2
[[nodiscard]] int quorvane_client_store_parse(const uint8_t *pt, size_t len,
                                              quorvane_device_keys *keys);  // -3 malformed, keys untouched

// Public-key file: "<path>.pub", written through "<path>.pub.tmp" and a rename, unsynced, in
// the default creation mode. Both return 0 or -1, also for a ".pub" name of 1024 characters or more.
[[nodiscard]] int quorvane_client_store_write_pub(const char *path, const quorvane_device_keys *keys);
[[nodiscard]] int quorvane_client_store_read_pub(const char *path, uint8_t x25519_pub[32],
                                                 uint8_t ed25519_pub[32]);  // accepts exactly 64 bytes
