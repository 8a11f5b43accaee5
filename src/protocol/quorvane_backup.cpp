#include "quorvane_backup.h"

#include <algorithm>
#include <cstring>

#include <openssl/crypto.h>

#include "n_digest.h"
#include "quorvane_bytes.h"
#include "quorvane_escrow.h"

using namespace qv_bytes;

static_assert(QV_RK_CHECK_LEN == 3);

namespace {

constexpr char BACKUP_MAGIC[4] = {'Q', 'V', 'B', '1'};
constexpr char INNER_MAGIC[4]  = {'Q', 'V', 'B', 'I'};

/* ---- Texts ---------------------------------------------------------------
 * Both texts are the bytes read most significant bit first, five bits per
 * symbol; the byte counts are chosen so the bits fill whole symbols. */

bool skipped(unsigned char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == '-'; }

// The value of one character, or -1 outside the alphabet.
int rk_symbol(unsigned char c) {
    if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 'a' + 'A');
    if (c == 'I' || c == 'L') c = '1';
    if (c == 'O') c = '0';
    if (c == 0) return -1;
    const char *hit = strchr(RK_ALPHA, c);
    return hit ? static_cast<int>(hit - RK_ALPHA) : -1;
}

int bit_at(const uint8_t *buf, size_t i) { return (buf[i / 8] >> (7 - i % 8)) & 1; }

void encode_text(const uint8_t *buf, size_t symbols, char *text) {
    char *t = text;
    for (size_t s = 0; s < symbols; s++) {
        if (s && s % 4 == 0) *t++ = '-';
        int v = 0;
        for (size_t b = 0; b < 5; b++) v = v << 1 | bit_at(buf, s * 5 + b);
        *t++ = RK_ALPHA[v];
    }
    *t = '\0';
}

// Fills buf (symbols x 5 / 8 bytes); 0, or -1 for a bad character or another
// symbol count. A failed decode leaves buf for the caller to wipe.
int decode_text(const char *text, uint8_t *buf, size_t symbols) {
    memset(buf, 0, symbols * 5 / 8);
    size_t count = 0;
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(text); *c; c++) {
        if (skipped(*c)) continue;
        const int v = rk_symbol(*c);
        if (v < 0 || count == symbols) return -1;
        for (size_t b = 0; b < 5; b++) {
            const size_t i = count * 5 + b;
            buf[i / 8] |= static_cast<uint8_t>(((v >> (4 - b)) & 1) << (7 - i % 8));
        }
        count++;
    }
    return count == symbols ? 0 : -1;
}

}  // namespace

/* ---- Header and inner record --------------------------------------------- */

int quorvane_backup_hdr_encode(const uint8_t salt[16], uint8_t out[21]) {
    if (!salt || !out) return -1;
    memcpy(out, BACKUP_MAGIC, 4);
    out[4] = QV_BACKUP_VERSION;
    memcpy(out + 5, salt, QV_BACKUP_SALT_LEN);
    return 0;
}

int quorvane_backup_hdr_parse(const uint8_t *p, size_t n, uint8_t salt_out[16]) {
    if (!p || !salt_out || n != QV_BACKUP_HDR_LEN) return -1;
    if (memcmp(p, BACKUP_MAGIC, 4) != 0 || p[4] != QV_BACKUP_VERSION) return -1;
    memcpy(salt_out, p + 5, QV_BACKUP_SALT_LEN);
    return 0;
}

int quorvane_backup_inner_encode(const quorvane_backup_info *info, const uint8_t *payload, size_t len, uint8_t *out,
                                 size_t cap, size_t *out_len) {
    if (!info || (!payload && len) || !out || !out_len || len > QV_BACKUP_PAYLOAD_MAX ||
        cap < len + QV_BACKUP_INNER_HDR_LEN)
        return -1;
    memcpy(out, INNER_MAGIC, 4);
    out[4] = QV_BACKUP_VERSION;
    memcpy(out + 5, info->user_id, 16);
    memcpy(out + 21, info->identity_pub, 32);
    memcpy(out + 53, info->device_id, 16);
    put_be(out + 69, info->created_ms, 8);
    put_be(out + 77, info->direct, 4);
    put_be(out + 81, len, 8);
    if (len) memcpy(out + QV_BACKUP_INNER_HDR_LEN, payload, len);
    *out_len = len + QV_BACKUP_INNER_HDR_LEN;
    return 0;
}

int quorvane_backup_inner_parse(const uint8_t *p, size_t n, quorvane_backup_info *info, const uint8_t **payload,
                                size_t *payload_len) {
    if (!p || !info || !payload || !payload_len || n < QV_BACKUP_INNER_HDR_LEN) return -1;
    if (memcmp(p, INNER_MAGIC, 4) != 0 || p[4] != QV_BACKUP_VERSION) return -1;
    const uint64_t direct = get_be(p + 77, 4), len = get_be(p + 81, 8);
    if (direct > 1 || len != n - QV_BACKUP_INNER_HDR_LEN) return -1;
    memcpy(info->user_id, p + 5, 16);
    memcpy(info->identity_pub, p + 21, 32);
    memcpy(info->device_id, p + 53, 16);
    info->created_ms = get_be(p + 69, 8);
    info->direct = static_cast<uint32_t>(direct);
    *payload = p + QV_BACKUP_INNER_HDR_LEN;
    *payload_len = static_cast<size_t>(len);
    return 0;
}

/* ---- Sealed backups ------------------------------------------------------ */

int quorvane_backup_file_key(const uint8_t rk[32], const uint8_t salt[16], uint8_t out[32]) {
    if (!rk || !salt || !out) return -3;
    return quorvane_hkdf_sha256_32(rk, QV_RK_LEN, salt, QV_BACKUP_SALT_LEN, byte_ptr(BACKUP_INFO), BACKUP_INFO.size(),
                                   out);
}

int quorvane_backup_seal(const uint8_t rk[32], const uint8_t salt[16], const uint8_t *rec, size_t len, uint8_t *out,
                         size_t cap, size_t *out_len) {
    if (!rk || !salt || (!rec && len) || !out || !out_len || len > QV_BACKUP_MAX) return -3;
    secret_buf<QV_KEY_LEN> fk;
    int rc = quorvane_backup_file_key(rk, salt, fk.b);
    if (rc != 0) return rc;
    // Count and digest are not kept: the open walks the stream instead.
    uint32_t count = 0;
    uint8_t digest[QV_BLOB_DIGEST_LEN];
    rc = quorvane_blob_stream_seal(fk.b, salt, salt, rec, len, out, cap, out_len, &count, digest);
    fk.wipe();
    return rc;
}

int quorvane_backup_open(const uint8_t rk[32], const uint8_t salt[16], const uint8_t *sealed, size_t len, uint8_t *out,
                         size_t cap, size_t *out_len) {
    if (!rk || !salt || !sealed || !out || !out_len || len < QV_TAG_LEN) return -3;
    secret_buf<QV_KEY_LEN> fk;
    int rc = quorvane_backup_file_key(rk, salt, fk.b);
    if (rc != 0) return rc;
    size_t off = 0, done = 0;
    uint32_t index = 0;
    while (off < len) {
        const size_t take = std::min(len - off, QV_BLOB_SEALED_CHUNK);
        const size_t n = take - std::min(take, QV_TAG_LEN);
        if (take < QV_TAG_LEN)
            rc = -2;  // a stream cut inside the tag after a full chunk
        else if (cap - done < n)
            rc = -3;
        else
            rc = quorvane_blob_chunk_open(fk.b, salt, salt, index, off + take == len, sealed + off, n, sealed + off + n,
                                          n ? out + done : nullptr);
        if (rc != 0) {
            OPENSSL_cleanse(out, done);
            return rc;
        }
        done += n;
        off += take;
        index++;
    }
    fk.wipe();
    *out_len = done;
    return 0;
}

/* ---- Recovery keys and reset codes --------------------------------------- */

int quorvane_rk_generate(uint8_t out[32]) {
    if (!out) return -3;
    return quorvane_random(out, QV_RK_LEN);
}

int quorvane_rk_encode(const uint8_t rk[32], char text[70]) {
    if (!rk || !text) return -1;
    secret_buf<QV_RK_LEN + QV_RK_CHECK_LEN> buf;
    memcpy(buf.b, rk, QV_RK_LEN);
    if (quorvane_rk_check(rk, buf.b + QV_RK_LEN) != 0) return -1;
    encode_text(buf.b, QV_RK_SYMBOLS, text);
    buf.wipe();
    return 0;
}

int quorvane_rk_decode(const char *text, uint8_t rk_out[32]) {
    if (!text || !rk_out) return -1;
    secret_buf<QV_RK_LEN + QV_RK_CHECK_LEN> buf;
    if (decode_text(text, buf.b, QV_RK_SYMBOLS) != 0) return -1;
    uint8_t check[QV_RK_CHECK_LEN];
    if (quorvane_rk_check(buf.b, check) != 0) return -1;
    if (!quorvane_ct_eq(check, buf.b + QV_RK_LEN, sizeof check)) return -2;
    memcpy(rk_out, buf.b, QV_RK_LEN);
    buf.wipe();
    return 0;
}

int quorvane_reset_code_generate(uint8_t out[10]) {
    if (!out) return -3;
    return quorvane_random(out, QV_RESET_CODE_LEN);
}

int quorvane_reset_code_encode(const uint8_t code[10], char text[20]) {
    if (!code || !text) return -1;
    encode_text(code, QV_RESET_SYMBOLS, text);
    return 0;
}

int quorvane_reset_code_decode(const char *text, uint8_t code_out[10]) {
    if (!text || !code_out) return -1;
    secret_buf<QV_RESET_CODE_LEN> buf;
    if (decode_text(text, buf.b, QV_RESET_SYMBOLS) != 0) return -1;
    memcpy(code_out, buf.b, QV_RESET_CODE_LEN);
    buf.wipe();
    return 0;
}

int quorvane_reset_code_hash(const uint8_t code[10], uint8_t out[32]) {
    if (!code || !out) return -3;
    secret_buf<QV_BLAKE2B_LEN> digest;
    if (quorvane_blake2b(code, QV_RESET_CODE_LEN, digest.b) != 0) return -1;
    memcpy(out, digest.b, QV_RESET_HASH_LEN);
    digest.wipe();
    return 0;
}
