// Double ratchet between two devices: X25519 ratchet steps, HMAC-SHA256 chains, one
// ChaCha20-Poly1305 key per message, and the stored form "HRR1".
// Results: 0 ok, -1 library or allocation failure, -2 authentication failure, -3 bad argument,
// no sending chain, too many skipped messages, or malformed stored state.
// The caller owns each state and frees it (wiped) with quorvane_ratchet_free; outputs are set only on success.
#pragma once

#include "quorvane_crypto.h"

#include <cstddef>
#include <cstdint>

constexpr size_t QV_RATCHET_HEADER_LEN   = 40;                    // ratchet key, previous chain length, number
constexpr size_t QV_RATCHET_OVERHEAD     = QV_RATCHET_HEADER_LEN + QV_TAG_LEN;
constexpr size_t QV_RATCHET_AD_LEN       = 64;                    // from X3DH
constexpr size_t QV_RATCHET_MSG_AD_LEN   = QV_RATCHET_AD_LEN + QV_RATCHET_HEADER_LEN;
// cap skipped keys: a forged counter must not make us derive or store millions
constexpr size_t QV_RATCHET_MAX_SKIP     = 1000;
constexpr size_t QV_RATCHET_SER_BASE     = 277;                   // "HRR1" without skipped entries
constexpr size_t QV_RATCHET_SER_ENTRY    = 68;                    // public key, number, chain message key
constexpr size_t QV_RATCHET_SER_MAX      = QV_RATCHET_SER_BASE + QV_RATCHET_SER_ENTRY * QV_RATCHET_MAX_SKIP;
constexpr size_t QV_RATCHET_FIRST_CAP    = 8;                     // skipped array: 8, 16, ..., 512, 1000

static_assert(QV_RATCHET_OVERHEAD == 56 && QV_RATCHET_MSG_AD_LEN == 104);
static_assert(QV_RATCHET_HEADER_LEN == QV_KEY_LEN + 4 + 4);
static_assert(QV_RATCHET_SER_BASE == 4 + 1 + 6 * QV_KEY_LEN + 3 * 4 + QV_RATCHET_AD_LEN + 4);
static_assert(QV_RATCHET_SER_ENTRY == QV_KEY_LEN + 4 + QV_KEY_LEN);

// The key of a message that has not arrived yet: the chain message key, not the
// derived AEAD key, so a stored entry is worth no more than a chain step.
struct quorvane_ratchet_skipped {
    uint8_t  peer_pub[32];   // ratchet key of its chain
    uint32_t number;
    uint8_t  chain_mk[32];
};

struct quorvane_ratchet {
    uint8_t  root_key[32];
    uint8_t  own_priv[32];
    uint8_t  own_pub[32];
    uint8_t  peer_pub[32];      // the responder's signed prekey until the first ratchet step
    uint8_t  send_ck[32];
    uint8_t  recv_ck[32];
    uint32_t send_n;
    uint32_t recv_n;
    uint32_t prev_n;            // send_n when the sending chain was last replaced
    uint8_t  ad[64];
    uint8_t  peer_known;
    uint8_t  has_send;
    uint8_t  has_recv;
    quorvane_ratchet_skipped *skipped;
    size_t   skipped_count;
    size_t   skipped_cap;
};

// Life of a state
// - an init or deserialise writes *out only on success; free wipes everything, nulls *st.
// - the responder can send only after its first successful decrypt.
[[nodiscard]] int quorvane_ratchet_init_initiator(quorvane_ratchet **out, const uint8_t secret[32], const uint8_t ad[64],
                                                  const uint8_t peer_pub[32]);  // peer_pub: the responder's signed prekey
[[nodiscard]] int quorvane_ratchet_init_responder(quorvane_ratchet **out, const uint8_t secret[32], const uint8_t ad[64],
                                                  const uint8_t own_priv[32], const uint8_t own_pub[32]);  // the signed-prekey pair
void              quorvane_ratchet_free(quorvane_ratchet **st);                  // null or *st null is ignored

// Messages
// - a message is header (40) | ciphertext | tag (16): plaintext length + 56 bytes.
// - a failed call leaves the state as it was; a failed decrypt wipes the plaintext output.
[[nodiscard]] int quorvane_ratchet_encrypt(quorvane_ratchet *st, const uint8_t *pt, size_t pt_len, uint8_t *out,
                                           size_t out_cap, size_t *out_len);
[[nodiscard]] int quorvane_ratchet_decrypt(quorvane_ratchet *st, const uint8_t *msg, size_t msg_len, uint8_t *out,
                                           size_t out_cap, size_t *out_len);  // -3 also when a skip passes 1000 keys

// Stored form "HRR1": 277 + 68 x skipped count bytes
[[nodiscard]] int quorvane_ratchet_serialize(const quorvane_ratchet *st, uint8_t *out, size_t out_cap, size_t *out_len);
[[nodiscard]] int quorvane_ratchet_deserialize(quorvane_ratchet **out, const uint8_t *in, size_t in_len);

// The same operations from stored form to stored form, for callers that keep no live
// state. The temporary state is wiped and freed on every path; a malformed input
// state is -3; the new state may be written over the old one's buffer.
[[nodiscard]] int quorvane_ratchet_init_initiator_ser(const uint8_t secret[32], const uint8_t ad[64], const uint8_t peer_pub[32],
                                                      uint8_t *state_out, size_t state_cap, size_t *state_len);
[[nodiscard]] int quorvane_ratchet_init_responder_ser(const uint8_t secret[32], const uint8_t ad[64], const uint8_t own_priv[32],
                                                      const uint8_t own_pub[32], uint8_t *state_out, size_t state_cap,
                                                      size_t *state_len);
[[nodiscard]] int quorvane_ratchet_encrypt_ser(const uint8_t *state, size_t state_len, const uint8_t *pt, size_t pt_len,
                                               uint8_t *state_out, size_t state_cap, size_t *state_out_len, uint8_t *msg_out,
                                               size_t msg_cap, size_t *msg_len);  // no room for the new state: -3, nothing encrypted
[[nodiscard]] int quorvane_ratchet_decrypt_ser(const uint8_t *state, size_t state_len, const uint8_t *msg, size_t msg_len,
                                               uint8_t *state_out, size_t state_cap, size_t *state_out_len, uint8_t *pt_out,
                                               size_t pt_cap, size_t *pt_len);  // a state that cannot be stored wipes pt_out
