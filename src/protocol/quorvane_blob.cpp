#include "quorvane_blob.h"

#include <algorithm>
#include <cstring>

#include <openssl/crypto.h>

#include "n_digest.h"
#include "quorvane_bytes.h"

using namespace qv_bytes;

static_assert(QV_BLOB_KEY_LEN == N_AEAD_KEY_LEN && QV_TAG_LEN == N_AEAD_TAG_LEN);
static_assert(QV_BLOB_DIGEST_LEN == QV_BLAKE2B_LEN);
static_assert(QV_BLOB_CHUNK_LEN <= QV_CRYPTO_LEN_MAX);

namespace {

// The running BLAKE2b of a stream's plaintext; a stream that stops early still
// frees (and so clears) the library's state.
struct plain_digest {
    quorvane_blake2b_ctx *h = nullptr;
    int rc = quorvane_blake2b_init(&h);
    plain_digest() = default;
    plain_digest(const plain_digest &) = delete;
    plain_digest &operator=(const plain_digest &) = delete;
    ~plain_digest()
    {
        uint8_t unused[QV_BLOB_DIGEST_LEN];
        if (h)
            (void)quorvane_blake2b_final(&h, unused);
    }
    bool update(const uint8_t *p, size_t n) { return rc == 0 && quorvane_blake2b_update(h, p, n) == 0; }
    bool final(uint8_t out[QV_BLOB_DIGEST_LEN]) { return rc == 0 && quorvane_blake2b_final(&h, out) == 0; }
};

int blob_chunk_key(const uint8_t key[32], const uint8_t salt[16], uint32_t index, uint8_t out[32])
{
    uint8_t info[20];
    static_assert(sizeof info == BLOB_INFO_PREFIX.size() + 4);
    std::memcpy(info, BLOB_INFO_PREFIX.data(), BLOB_INFO_PREFIX.size());
    put_be32(info + BLOB_INFO_PREFIX.size(), index);
    return quorvane_hkdf_sha256_32(key, QV_BLOB_KEY_LEN, salt, QV_BLOB_SALT_LEN, info, sizeof info, out);
}

// Binding the index and the last flag is what makes a reordered, cut or
// extended stream fail: a chunk authenticates only in its own place.
void chunk_ad(const uint8_t blob_id[16], uint32_t index, int last, uint8_t ad[QV_BLOB_AD_LEN])
{
    std::memcpy(ad, blob_id, QV_BLOB_ID_LEN);
    put_be32(ad + QV_BLOB_ID_LEN, index);
    ad[QV_BLOB_ID_LEN + 4] = last ? 1 : 0;
}

uint64_t chunks_of(uint64_t len)
{
    return len == 0 ? 1 : len / QV_BLOB_CHUNK_LEN + (len % QV_BLOB_CHUNK_LEN != 0);
}

bool chunk_args_ok(const uint8_t *key, const uint8_t *salt, const uint8_t *blob_id, const uint8_t *tag,
                   const uint8_t *in, const uint8_t *out, size_t len)
{
    return key && salt && blob_id && tag && (in || !len) && (out || !len) && len <= QV_BLOB_CHUNK_LEN;
}

}  // namespace

uint32_t quorvane_blob_chunk_count(uint64_t len)
{
    const uint64_t n = chunks_of(len);
    return n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n);
}

uint64_t quorvane_blob_sealed_len(uint64_t len)
{
    const uint64_t tags = QV_TAG_LEN * chunks_of(len);  // at most 2^52: no overflow
    return len > UINT64_MAX - tags ? UINT64_MAX : len + tags;
}

int quorvane_blob_chunk_seal(const uint8_t key[32], const uint8_t salt[16], const uint8_t blob_id[16], uint32_t index,
                             int last, const uint8_t *pt, size_t len, uint8_t *ct, uint8_t tag[16])
{
    if (!chunk_args_ok(key, salt, blob_id, tag, pt, ct, len))
        return -3;
    secret_buf<QV_BLOB_KEY_LEN> ck;
    if (blob_chunk_key(key, salt, index, ck.b) != 0)
        return -1;
    uint8_t ad[QV_BLOB_AD_LEN];
    chunk_ad(blob_id, index, last, ad);
    uint8_t none;  // the AEAD wrapper wants somewhere to write even an empty chunk
    const int rc = n_aead_chacha20poly1305_encrypt(ck.b, ZERO_NONCE, sizeof ZERO_NONCE, ad, sizeof ad, pt, len,
                                                   ct ? ct : &none, tag);
    ck.wipe();
    return rc == 0 ? 0 : -1;
}

int quorvane_blob_chunk_open(const uint8_t key[32], const uint8_t salt[16], const uint8_t blob_id[16], uint32_t index,
                             int last, const uint8_t *ct, size_t len, const uint8_t tag[16], uint8_t *pt)
{
    if (!chunk_args_ok(key, salt, blob_id, tag, ct, pt, len))
        return -3;
    secret_buf<QV_BLOB_KEY_LEN> ck;
    if (blob_chunk_key(key, salt, index, ck.b) != 0)
        return -1;
    uint8_t ad[QV_BLOB_AD_LEN];
    chunk_ad(blob_id, index, last, ad);
    uint8_t none;
    const int rc = n_aead_chacha20poly1305_decrypt(ck.b, ZERO_NONCE, sizeof ZERO_NONCE, ad, sizeof ad, ct, len, tag,
                                                   pt ? pt : &none);
    ck.wipe();
    if (rc != 0) {
        if (len)
            OPENSSL_cleanse(pt, len);
        return -2;
    }
    return 0;
}

int quorvane_blob_stream_seal(const uint8_t key[32], const uint8_t salt[16], const uint8_t blob_id[16],
                              const uint8_t *pt, size_t len, uint8_t *out, size_t cap, size_t *out_len,
                              uint32_t *chunk_count_out, uint8_t digest_out[64])
{
    if (!key || !salt || !blob_id || (!pt && len) || !out || !out_len || !chunk_count_out || !digest_out ||
        len > QV_BLOB_MAX)
        return -3;
    const uint32_t count = quorvane_blob_chunk_count(len);
    const size_t sealed_len = len + QV_TAG_LEN * count;
    if (cap < sealed_len)
        return -3;

    plain_digest digest;
    for (uint32_t i = 0; i < count; i++) {
        const size_t off = size_t{i} * QV_BLOB_CHUNK_LEN;
        const size_t n = std::min(QV_BLOB_CHUNK_LEN, len - off);
        const uint8_t *p = n ? pt + off : nullptr;
        uint8_t *c = out + size_t{i} * QV_BLOB_SEALED_CHUNK;
        if (quorvane_blob_chunk_seal(key, salt, blob_id, i, i + 1 == count, p, n, c, c + n) != 0 ||
            !digest.update(p, n))
            return -3;
    }
    uint8_t d[QV_BLOB_DIGEST_LEN];
    if (!digest.final(d))
        return -3;
    std::memcpy(digest_out, d, sizeof d);
    *out_len = sealed_len;
    *chunk_count_out = count;
    return 0;
}

int quorvane_blob_stream_open(const uint8_t key[32], const uint8_t salt[16], const uint8_t blob_id[16],
                              const uint8_t *sealed, size_t len, uint32_t chunk_count, const uint8_t digest[64],
                              uint8_t *out, size_t cap, size_t *out_len)
{
    if (!key || !salt || !blob_id || !sealed || !digest || !out || !out_len || len < QV_TAG_LEN ||
        len > QV_BLOB_SEALED_MAX)
        return -3;
    // The count comes from the message, the length from the server: they must
    // agree before anything is decrypted.
    const size_t q = len / QV_BLOB_SEALED_CHUNK, r = len % QV_BLOB_SEALED_CHUNK;
    if (r != 0 && r < QV_TAG_LEN)
        return -3;
    if (chunk_count != (r ? q + 1 : q))
        return -2;
    const size_t plain_len = len - QV_TAG_LEN * chunk_count;
    if (cap < plain_len)
        return -3;

    plain_digest running;
    size_t done = 0;  // plaintext bytes written so far, all wiped on any failure
    for (uint32_t i = 0; i < chunk_count; i++) {
        const bool last = i + 1 == chunk_count;
        const size_t n = last ? plain_len - done : QV_BLOB_CHUNK_LEN;
        const uint8_t *c = sealed + size_t{i} * QV_BLOB_SEALED_CHUNK;
        uint8_t *p = n ? out + done : nullptr;
        if (quorvane_blob_chunk_open(key, salt, blob_id, i, last, c, n, c + n, p) != 0 || !running.update(p, n)) {
            OPENSSL_cleanse(out, done + n);
            return -2;
        }
        done += n;
    }
    uint8_t d[QV_BLOB_DIGEST_LEN];
    if (!running.final(d) || !quorvane_ct_eq(d, digest, sizeof d)) {
        OPENSSL_cleanse(out, plain_len);
        return -2;
    }
    *out_len = plain_len;
    return 0;
}
