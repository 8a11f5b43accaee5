// Backups of the message history sealed under the account's recovery key (a 21-byte
// "QVB1" header kept apart, and an inner "QVBI" record sealed as a blob stream), the
// recovery key's 69-character text, the 10-byte reset code's 19-character text and its hash.
// Results: header and inner-record functions 0 or -1; the others 0, -1 library failure or
// bad text, -2 authentication or check failure, -3 bad argument, as noted per function.
// All buffers are the caller's; a failed open or decode leaves no secret in its output.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quorvane_blob.h"
#include "quorvane_crypto.h"

constexpr size_t   QV_BACKUP_HDR_LEN        = 21;
constexpr size_t   QV_BACKUP_SALT_LEN       = 16;
constexpr uint8_t  QV_BACKUP_VERSION        = 1;
constexpr size_t   QV_BACKUP_INNER_HDR_LEN  = 89;
constexpr uint64_t QV_BACKUP_MAX            = 67108864;  // inner record bytes (64 MiB)
constexpr uint64_t QV_BACKUP_PAYLOAD_MAX    = QV_BACKUP_MAX - QV_BACKUP_INNER_HDR_LEN;
constexpr size_t   QV_RK_LEN                = QV_KEY_LEN;
constexpr size_t   QV_RK_SYMBOLS            = 56;  // (32 key + 3 check bytes) x 8 / 5
constexpr size_t   QV_RK_TEXT_LEN           = QV_RK_SYMBOLS + QV_RK_SYMBOLS / 4 - 1;  // groups of 4 joined by '-'
constexpr size_t   QV_RESET_CODE_LEN        = 10;
constexpr size_t   QV_RESET_SYMBOLS         = 16;
constexpr size_t   QV_RESET_TEXT_LEN        = QV_RESET_SYMBOLS + QV_RESET_SYMBOLS / 4 - 1;
constexpr size_t   QV_RESET_HASH_LEN        = 32;

// Symbol values 0 to 31; reading also takes lower case, "I"/"L" as "1" and "O" as "0".
inline constexpr char RK_ALPHA[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";

static_assert(QV_BACKUP_HDR_LEN == 4 + 1 + QV_BACKUP_SALT_LEN && QV_BACKUP_SALT_LEN == QV_BLOB_SALT_LEN);
static_assert(QV_BACKUP_SALT_LEN == QV_BLOB_ID_LEN, "the salt is also the blob id");
static_assert(QV_BACKUP_INNER_HDR_LEN == 4 + 1 + 16 + 32 + 16 + 8 + 4 + 8);
static_assert(QV_BACKUP_PAYLOAD_MAX == 67108775 && QV_BACKUP_MAX <= QV_BLOB_MAX);
static_assert((QV_RK_LEN + 3) * 8 == QV_RK_SYMBOLS * 5 && QV_RK_TEXT_LEN == 69);
static_assert(QV_RESET_CODE_LEN * 8 == QV_RESET_SYMBOLS * 5 && QV_RESET_TEXT_LEN == 19);
static_assert(sizeof RK_ALPHA == 32 + 1);

// The inner record's fields besides the payload.
struct quorvane_backup_info {
    uint8_t  user_id[16];
    uint8_t  identity_pub[32];
    uint8_t  device_id[16];
    uint64_t created_ms;   // milliseconds since the epoch
    uint32_t direct;       // 1 when direct conversations are included, else 0
};

// Header and inner record: 0, or -1 for a missing pointer or a record that does not fit.
[[nodiscard]] int quorvane_backup_hdr_encode(const uint8_t salt[16], uint8_t out[21]);
[[nodiscard]] int quorvane_backup_hdr_parse(const uint8_t *p, size_t n, uint8_t salt_out[16]);
[[nodiscard]] int quorvane_backup_inner_encode(const quorvane_backup_info *info, const uint8_t *payload, size_t len,
                                               uint8_t *out, size_t cap, size_t *out_len);  // cap >= len + 89
[[nodiscard]] int quorvane_backup_inner_parse(const uint8_t *p, size_t n, quorvane_backup_info *info,
                                              const uint8_t **payload, size_t *payload_len);  // payload points into p

// Sealed backups: a blob stream under the file key with the salt as salt and blob id.
// - open needs no chunk count: it walks the stream, and a cut, extended or reordered
//   stream fails (-2) with everything written so far wiped.
[[nodiscard]] int quorvane_backup_file_key(const uint8_t rk[32], const uint8_t salt[16], uint8_t out[32]);
[[nodiscard]] int quorvane_backup_seal(const uint8_t rk[32], const uint8_t salt[16], const uint8_t *rec, size_t len,
                                       uint8_t *out, size_t cap, size_t *out_len);  // -3 above 64 MiB
[[nodiscard]] int quorvane_backup_open(const uint8_t rk[32], const uint8_t salt[16], const uint8_t *sealed, size_t len,
                                       uint8_t *out, size_t cap, size_t *out_len);  // -3 for 15 bytes or less

// Recovery keys and reset codes. Texts are zero-terminated; decoding skips tab, line
// feed, carriage return, space and '-'.
[[nodiscard]] int quorvane_rk_generate(uint8_t out[32]);                            // -3 null
[[nodiscard]] int quorvane_rk_encode(const uint8_t rk[32], char text[70]);          // 69 characters; -1 null
[[nodiscard]] int quorvane_rk_decode(const char *text, uint8_t rk_out[32]);        // -1 bad text, -2 check mismatch
[[nodiscard]] int quorvane_reset_code_generate(uint8_t out[10]);                    // -3 null
[[nodiscard]] int quorvane_reset_code_encode(const uint8_t code[10], char text[20]);  // 19 characters; -1 null
[[nodiscard]] int quorvane_reset_code_decode(const char *text, uint8_t code_out[10]);  // -1 bad text; no check symbols
[[nodiscard]] int quorvane_reset_code_hash(const uint8_t code[10], uint8_t out[32]);   // first 32 bytes of BLAKE2b-512
