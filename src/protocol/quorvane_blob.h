// Blob streams: a plaintext of up to 256 MiB cut into 64 KiB chunks, each sealed
// under its own derived key and bound to the blob id, its index and whether it is
// the last; the receiver also checks a BLAKE2b-512 digest of the whole plaintext.
// Results: 0 ok, -1 library failure, -2 authentication failure, -3 bad argument.
// All buffers are the caller's; a failed open leaves no plaintext in the output.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quorvane_crypto.h"

constexpr size_t   QV_BLOB_KEY_LEN        = QV_KEY_LEN;
constexpr size_t   QV_BLOB_SALT_LEN       = QV_SALT_LEN;
constexpr size_t   QV_BLOB_ID_LEN         = 16;
constexpr size_t   QV_BLOB_DIGEST_LEN     = QV_BLAKE2B_LEN;
constexpr size_t   QV_BLOB_CHUNK_LEN      = 65536;                        // plaintext bytes per chunk
constexpr size_t   QV_BLOB_SEALED_CHUNK   = QV_BLOB_CHUNK_LEN + QV_TAG_LEN;
constexpr size_t   QV_BLOB_AD_LEN         = QV_BLOB_ID_LEN + 4 + 1;       // blob id, index, last flag
constexpr uint64_t QV_BLOB_MAX            = 268435456;                    // 256 MiB of plaintext
constexpr uint32_t QV_BLOB_CHUNKS_MAX     = QV_BLOB_MAX / QV_BLOB_CHUNK_LEN;
constexpr uint64_t QV_BLOB_SEALED_MAX     = QV_BLOB_MAX + QV_TAG_LEN * uint64_t{QV_BLOB_CHUNKS_MAX};

static_assert(QV_BLOB_SEALED_CHUNK == 65552 && QV_BLOB_AD_LEN == 21);
static_assert(QV_BLOB_CHUNKS_MAX == 4096 && QV_BLOB_SEALED_MAX == 268500992);
static_assert(QV_BLOB_SEALED_MAX <= SIZE_MAX, "a whole sealed blob must be addressable");

// Sizes: ceil(len / 64 KiB) chunks, and one chunk (an empty one) for an empty blob.
// A length whose result does not fit gives UINT32_MAX / UINT64_MAX, never a wrapped
// small number; the stream functions refuse anything above QV_BLOB_MAX anyway.
[[nodiscard]] uint32_t quorvane_blob_chunk_count(uint64_t len);
[[nodiscard]] uint64_t quorvane_blob_sealed_len(uint64_t len);

// One chunk: ct has len bytes (may be null when len is 0), tag 16; len at most 64 KiB.
// The chunk key is derived inside the call and wiped before it returns.
[[nodiscard]] int quorvane_blob_chunk_seal(const uint8_t key[32], const uint8_t salt[16], const uint8_t blob_id[16], uint32_t index,
                                           int last, const uint8_t *pt, size_t len, uint8_t *ct, uint8_t tag[16]);
[[nodiscard]] int quorvane_blob_chunk_open(const uint8_t key[32], const uint8_t salt[16], const uint8_t blob_id[16], uint32_t index,
                                           int last, const uint8_t *ct, size_t len, const uint8_t tag[16], uint8_t *pt);  // -2 with pt wiped

// Whole streams, one pass over the caller's buffers; output and input must not overlap.
// Seal writes chunk after chunk (ciphertext, then tag); length, count and digest are
// set only on 0, and every failure is -3. Open refuses a chunk count that does not fit
// the stream length (-2) before it decrypts anything; *out_len is set only on 0.
[[nodiscard]] int quorvane_blob_stream_seal(const uint8_t key[32], const uint8_t salt[16], const uint8_t blob_id[16],
                                            const uint8_t *pt, size_t len, uint8_t *out, size_t cap, size_t *out_len,
                                            uint32_t *chunk_count_out, uint8_t digest_out[64]);
[[nodiscard]] int quorvane_blob_stream_open(const uint8_t key[32], const uint8_t salt[16], const uint8_t blob_id[16],
                                            const uint8_t *sealed, size_t len, uint32_t chunk_count,
                                            const uint8_t digest[64], uint8_t *out, size_t cap, size_t *out_len);
