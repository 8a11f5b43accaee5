// Envelopes: the unit the server stores and relays for a conversation, a
// 64-byte clear header (routing, counter, time, salt) bound as associated data
// to the message body sealed under the conversation key.
// Results: 0 ok, -1 derivation or cipher failure, -2 authentication failure
// (or a header shorter than 64 bytes), -3 bad argument or too little room.
// Outputs are caller buffers; *out_len and *header_out are written only on 0.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t QV_ENV_HEADER_LEN = 64;
constexpr size_t QV_ENV_PREFIX_LEN = 48;                       // the header without its salt
constexpr size_t QV_ENV_OVERHEAD   = QV_ENV_HEADER_LEN + 16;    // header + tag
constexpr size_t QV_ENV_MAX_LEN    = 1048576;                  // longest envelope the client accepts from a frame

static_assert(QV_ENV_OVERHEAD == 80);

struct quorvane_env_header {
    uint8_t  conversation_id[16];
    uint8_t  sender_id[16];
    uint64_t counter;  // per-conversation message counter; also the counter of the key derivation
    uint64_t time;     // sending time, ms since the Unix epoch
    uint8_t  salt[16]; // random for a conversation-key envelope; zero in the direct-message path
};
static_assert(sizeof(quorvane_env_header) == QV_ENV_HEADER_LEN);

// Header on the wire (integers big-endian)
void quorvane_env_header_encode(const quorvane_env_header *h, uint8_t out[64]);
[[nodiscard]] int quorvane_env_header_decode(const uint8_t *bytes, size_t len, quorvane_env_header *out);  // -2 below 64 bytes; reads the first 64

// Sealing under the conversation key
// - the envelope is body_len + 80 bytes; every size is checked before a byte is written.
// - the key is derived from the header's counter and salt as sent, so any
//   change to the header alters both key and associated data and the open fails.
// - a failed open wipes the body bytes it wrote.
[[nodiscard]] int quorvane_env_seal(const uint8_t key[32], const quorvane_env_header *h, const uint8_t *body,
                                    size_t body_len, uint8_t *out, size_t out_cap, size_t *out_len);  // salt from h: never reuse it with the same counter
[[nodiscard]] int quorvane_env_open(const uint8_t key[32], const uint8_t *sealed, size_t sealed_len,
                                    quorvane_env_header *header_out, uint8_t *body_out, size_t body_cap,
                                    size_t *out_len);  // header_out may be null
[[nodiscard]] int quorvane_env_seal_bytes(const uint8_t key[32], const uint8_t header48[48], const uint8_t *body,
                                          size_t body_len, uint8_t *out, size_t out_cap, size_t *out_len);  // draws a fresh salt
[[nodiscard]] int quorvane_env_open_bytes(const uint8_t key[32], const uint8_t *sealed, size_t sealed_len,
                                          uint8_t *body_out, size_t body_cap, size_t *out_len);
