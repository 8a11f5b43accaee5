// Password key files ("HRK1": a secret of at most 4096 bytes sealed on disk under
// scrypt and ChaCha20-Poly1305) and the password auth value sent in place of a password.
// Results: 0 ok, -1 I/O or library failure, -2 wrong password or damaged file,
// -3 bad argument or malformed header. All buffers are the caller's; a failed open
// leaves nothing of the plaintext in the output.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quorvane_crypto.h"

constexpr size_t   QV_KEYFILE_HDR_LEN    = 50;    // magic, version, kind, N, r, p, salt, nonce, length
constexpr size_t   QV_KEYFILE_SALT_LEN   = 16;
constexpr size_t   QV_KEYFILE_MAX        = 4096;  // plaintext bytes
constexpr size_t   QV_KEYFILE_FILE_MAX   = QV_KEYFILE_HDR_LEN + QV_KEYFILE_MAX + QV_TAG_LEN;
constexpr size_t   QV_KEYFILE_PATH_MAX   = 1019;  // paths must be shorter: "<path>.tmp" fits 1024 bytes
constexpr uint8_t  QV_KEYFILE_VERSION    = 1;
constexpr uint8_t  QV_KEYFILE_KDF_SCRYPT = 1;
constexpr size_t   QV_PW_AUTH_LEN        = 32;

// Sane scrypt bounds of a key file: a damaged or planted header must not make the
// client spend minutes or gigabytes before the tag can refuse it. The largest set
// costs what the largest escrow record may (256 MiB, four lanes).
constexpr uint32_t QV_KEYFILE_N_MAX      = 1048576;
constexpr uint32_t QV_KEYFILE_R_MAX      = 16;
constexpr uint32_t QV_KEYFILE_P_MAX      = 4;
constexpr uint64_t QV_KEYFILE_MEM_MAX    = 268435456;  // 128 x N x r

// What the password auth value costs, on every device alike (32 MiB).
inline constexpr quorvane_scrypt_params QV_PW_AUTH_SCRYPT = {32768, 8, 1};

static_assert(QV_KEYFILE_HDR_LEN == 4 + 1 + 1 + 3 * 4 + QV_KEYFILE_SALT_LEN + QV_NONCE_LEN + 4);
static_assert(QV_KEYFILE_PATH_MAX + 4 + 1 == 1024);
static_assert(QV_KEYFILE_MAX <= QV_CRYPTO_LEN_MAX);

// The parsed 50-byte header.
struct quorvane_keyfile_hdr {
    quorvane_scrypt_params params;
    uint8_t  salt[QV_KEYFILE_SALT_LEN];
    uint8_t  nonce[QV_NONCE_LEN];
    uint32_t len;  // plaintext length, 1 to 4096
};

// Key files
// - seal replaces `path` through "<path>.tmp": created 0600, written, synced, renamed, and
//   the directory synced; a seal that fails before the rename leaves the old file as it was
//   and returns -1; once renamed it returns 0 (a failed directory sync is only logged).
// - seal and open refuse scrypt parameters outside the bounds above with -3, before any
//   derivation, so seal never writes a file that open would refuse.
// - open reports a wrong password and a damaged body alike (-2), after the full derivation.
[[nodiscard]] int quorvane_keyfile_seal(const char *path, const char *password, const uint8_t *pt, size_t len,
                                        const quorvane_scrypt_params *params);  // len 1 to 4096
[[nodiscard]] int quorvane_keyfile_open(const char *path, const char *password, uint8_t *out, size_t cap,
                                        size_t *out_len);  // -3 before any derivation when cap < stored length
[[nodiscard]] int quorvane_keyfile_parse(const uint8_t *p, size_t n, quorvane_keyfile_hdr *out);  // first 50 bytes; -3 malformed
[[nodiscard]] int quorvane_keyfile_params_ok(const quorvane_scrypt_params *params);  // 1 within the bounds, else 0

// Password auth value: scrypt(password, BLAKE2b-512(user name), 32768, 8, 1), 32 bytes.
[[nodiscard]] int quorvane_pw_auth(const char *password, const char *user, uint8_t out[32]);  // -3 null text
