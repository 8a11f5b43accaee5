// Escrow records ("QVE1", 82 bytes): the account's Ed25519 identity seed sealed under a
// key derived from the password (kind 1) or from the 32-byte recovery key (kind 2), the
// signed account-recovery request, and the recovery key's three check bytes.
// Results: 0 ok, -1 library failure, -2 authentication failure or wrong key, -3 bad argument
// or invalid record. Buffers are the caller's; a seed output is written only on success.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quorvane_crypto.h"

constexpr size_t   QV_ESCROW_HDR_LEN      = 34;
constexpr size_t   QV_ESCROW_LEN          = QV_ESCROW_HDR_LEN + QV_KEY_LEN + QV_TAG_LEN;
constexpr size_t   QV_ESCROW_SALT_LEN     = 16;
constexpr uint8_t  QV_ESCROW_VERSION      = 1;
constexpr uint8_t  QV_ESCROW_KIND_PW      = 1;
constexpr uint8_t  QV_ESCROW_KIND_RK      = 2;
constexpr size_t   QV_ESCROW_USER_MAX     = 32;  // user names are 1 to 32 bytes
constexpr size_t   QV_ESCROW_AD_MAX       = QV_ESCROW_HDR_LEN + 1 + QV_ESCROW_USER_MAX + QV_KEY_LEN;
constexpr size_t   QV_RECOVER_MSG_MAX     = 198 + QV_ESCROW_USER_MAX;
constexpr size_t   QV_RK_CHECK_LEN        = 3;

// Ranges of a password record's scrypt cost, checked on every record read or built.
constexpr uint32_t QV_ESCROW_N_MIN        = 16384;
constexpr uint32_t QV_ESCROW_N_MAX        = 1048576;
constexpr uint32_t QV_ESCROW_R_MAX        = 16;
constexpr uint32_t QV_ESCROW_P_MAX        = 4;
constexpr uint64_t QV_ESCROW_MEM_MAX      = 268435456;  // 128 x N x r

// The cost of the password records this system makes.
inline constexpr quorvane_scrypt_params QV_ESCROW_PW_SCRYPT = {32768, 8, 1};

static_assert(QV_ESCROW_LEN == 82 && QV_ESCROW_HDR_LEN == 4 + 1 + 1 + 3 * 4 + QV_ESCROW_SALT_LEN);
static_assert(QV_ESCROW_AD_MAX == 67 + QV_ESCROW_USER_MAX);
static_assert(QV_RECOVER_MSG_MAX == RECOVER_INFO.size() + 32 + 32 + 1 + QV_ESCROW_USER_MAX + 32 + QV_ESCROW_LEN);

// The parsed header, and the input of quorvane_escrow_seal_raw.
struct quorvane_escrow_params {
    uint8_t kind;                    // QV_ESCROW_KIND_PW or QV_ESCROW_KIND_RK
    quorvane_scrypt_params scrypt;   // all zero for a recovery-key record
    uint8_t salt[QV_ESCROW_SALT_LEN];
};

// Records
// - the associated data binds the header, the user name and the identity public key, so a
//   record opened under another name or key fails (-2) like a wrong password does.
// - a record naming an out-of-range cost is refused (-3) before any derivation.
[[nodiscard]] int quorvane_escrow_parse(const uint8_t *rec, size_t len, quorvane_escrow_params *out);  // out may be null
[[nodiscard]] int quorvane_escrow_wrap_pw(const char *password, const uint8_t salt[16], const quorvane_scrypt_params *params,
                                          uint8_t key_out[32]);  // -3 for a cost outside the record ranges
[[nodiscard]] int quorvane_escrow_wrap_rk(const uint8_t rk[32], const uint8_t salt[16], uint8_t key_out[32]);
[[nodiscard]] int quorvane_escrow_seal_raw(const quorvane_escrow_params *params, const uint8_t wrap_key[32], const char *user,
                                           const uint8_t identity_pub[32], const uint8_t seed[32], uint8_t rec_out[82]);
[[nodiscard]] int quorvane_escrow_seal_pw(const char *password, const char *user, const uint8_t seed[32], uint8_t rec_out[82]);
[[nodiscard]] int quorvane_escrow_seal_rk(const uint8_t rk[32], const char *user, const uint8_t seed[32], uint8_t rec_out[82]);
[[nodiscard]] int quorvane_escrow_open_pw(const char *password, const char *user, const uint8_t identity_pub[32],
                                          const uint8_t *rec, size_t len, uint8_t seed_out[32]);  // -3 for a kind-2 record
[[nodiscard]] int quorvane_escrow_open_rk(const uint8_t rk[32], const char *user, const uint8_t identity_pub[32],
                                          const uint8_t *rec, size_t len, uint8_t seed_out[32]);  // -3 for a kind-1 record

// Account recovery: an Ed25519 signature over "quorvane-recover-v1", the server's challenge
// and static key, the user name, the new auth value and the new password record.
[[nodiscard]] int quorvane_recover_sign(const uint8_t seed[32], const uint8_t challenge[32], const uint8_t server_pub[32],
                                        const char *user, const uint8_t auth[32], const uint8_t rec[82], uint8_t sig_out[64]);
[[nodiscard]] int quorvane_recover_verify(const uint8_t identity_pub[32], const uint8_t challenge[32], const uint8_t server_pub[32],
                                          const char *user, const uint8_t auth[32], const uint8_t rec[82], const uint8_t sig[64]);
[[nodiscard]] int quorvane_rk_check(const uint8_t rk[32], uint8_t out[3]);  // first 3 bytes of BLAKE2b-512(label || key)
