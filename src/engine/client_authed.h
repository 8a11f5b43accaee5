// The signed-in exchange: every frame the server sends once the session is
// signed in, the result slots and queues its answers fill, and the requests of
// this road (sync, prekeys, conversations).
// Requests: 0 queued, -1 not signed in, a missing or out-of-limit argument, or
// the frame could not be queued. Getters take a null session and give 0.
// Take functions copy once and clear; records handed out are the caller's.
#pragma once

#include "client_seal.h"

#include <cstddef>
#include <cstdint>

struct quorvane_cs;

constexpr size_t QV_PREKEY_RING    = 8;
constexpr size_t QV_PREKEY_DEVICES = 5;
constexpr size_t QV_SEND_RESULTS   = 64;
constexpr size_t QV_KEY_REQUESTS   = 32;
constexpr size_t QV_CONV_MEMBERS   = 64;   // members a conversation-information frame may list
constexpr size_t QV_OLD_KEYS_SEALED_MAX = 224;  // older keys sealed in one record: seven
constexpr size_t QV_SYNC_MAX_CONVS = 4096;

// One device of a prekey reply.
struct quorvane_prekey_device {
    uint8_t  dev_x[32];
    uint8_t  dev_ed[32];
    uint8_t  has_spk;
    uint8_t  spk[32];
    uint8_t  sig[64];
    uint32_t spk_id;
    uint8_t  has_otk;
    uint8_t  otk[32];
    uint32_t otk_id;
};
static_assert(sizeof(quorvane_prekey_device) == 208);

// A prekey reply: the first device keys of the frame, device 0's prekeys
// beside them once a device was parsed, then every device in order.
struct quorvane_prekey_reply {
    uint32_t complete;             // 1 when user id, identity and a first device pair all came
    uint8_t  user_id[16];
    uint8_t  identity[32];
    quorvane_prekey_device first;  // keys: the first TLV 4 and 5; prekeys: device 0's
    uint64_t device_count;
    quorvane_prekey_device devices[QV_PREKEY_DEVICES];
};
static_assert(sizeof(quorvane_prekey_reply) == 1312);

struct quorvane_send_result {
    uint8_t  conv_id[16];
    uint64_t counter;
    uint8_t  ok;
};

// A key request from another user of a conversation.
struct quorvane_key_request {
    uint8_t conv_id[16];
    uint8_t user_id[16];
    uint8_t identity[32];
    uint8_t dev_x[32];
    uint8_t dev_ed[32];
    uint8_t cert[64];
};
static_assert(sizeof(quorvane_key_request) == 192);

// A conversation-information frame as read, before the store sees it.
struct cs_conv_member {
    uint8_t user_id[16];
    uint8_t identity[32];
    uint8_t second[32];
    uint8_t role;
    uint8_t muted;
    uint8_t device_count;
    uint8_t devices[5][2][32];  // X25519, Ed25519; each certified by the member's identity
};
struct cs_conv_info {
    uint8_t conv_id[16];
    const uint8_t *sealed_key;       // 80 bytes, in the frame
    const uint8_t *old_keys;         // TLV 84 value, or null
    size_t old_keys_len;
    int has_kind, has_read_mark;
    uint8_t kind;
    uint64_t read_mark;
    size_t member_count;
    cs_conv_member members[QV_CONV_MEMBERS];
};

// What the signed-in exchange keeps in the session.
struct cs_authed_state {
    cs_pending_ring pending;  // envelopes sent, waiting for their acknowledgement
    quorvane_prekey_reply prekeys[QV_PREKEY_RING];
    size_t prekey_head, prekey_count;
    uint32_t prekeys_in_flight;
    quorvane_send_result results[QV_SEND_RESULTS];
    size_t result_head, result_count;
    quorvane_key_request key_requests[QV_KEY_REQUESTS];
    size_t key_request_head, key_request_count;
    uint32_t stale_keys;
    uint32_t read_marks_epoch;
    uint64_t last_sync;        // wall clock, seconds
    int self_multidev;
};

void handle_authed_frame(quorvane_cs *cs, const uint8_t *frame, size_t len);

// Parsers of frame payloads (TLV bodies without the frame header)
// - the prekey reply is rebuilt from zero; 0 always (an incomplete reply is still a reply).
// - conversation information: -1 without TLV 17 or 18; devices are kept only when certified.
int                 cs_prekey_reply_parse(const uint8_t *p, size_t len, quorvane_prekey_reply *out);
[[nodiscard]] int   cs_conv_info_parse(const uint8_t *p, size_t len, cs_conv_info *out);

// Requests
[[nodiscard]] int quorvane_cs_sync(quorvane_cs *cs);                  // at most 4096 cursors; empty body without any
[[nodiscard]] int quorvane_cs_publish_prekeys(quorvane_cs *cs);       // -1 unless the new bag was stored first
[[nodiscard]] int quorvane_cs_request_prekeys(quorvane_cs *cs, const char *user);  // 1-32 bytes
[[nodiscard]] int quorvane_cs_request_prekeys_by_id(quorvane_cs *cs, const uint8_t user_id[16]);
[[nodiscard]] int quorvane_cs_create_conv(quorvane_cs *cs, const uint8_t conv_id[16], const uint8_t key[32],
                                          const quorvane_member *members, size_t n);  // as cs_create_conv_request

// Getters
int      quorvane_cs_prekeys_busy(const quorvane_cs *cs);
int      quorvane_cs_take_prekeys(quorvane_cs *cs, quorvane_prekey_reply *out);   // oldest first, wiped in the ring
int      quorvane_cs_poll_send_result(quorvane_cs *cs, uint8_t conv_id[16], uint64_t *counter, int *ok);
int      quorvane_cs_take_key_request(quorvane_cs *cs, quorvane_key_request *out);
uint32_t quorvane_cs_take_stale_keys(quorvane_cs *cs);               // and resets the count
uint64_t quorvane_cs_last_sync(const quorvane_cs *cs);
uint32_t quorvane_cs_read_marks_epoch(const quorvane_cs *cs);
void     quorvane_cs_set_self_multidev(quorvane_cs *cs, int on);
void     quorvane_cs_peer_from_prekeys(quorvane_member *dst, const quorvane_prekey_reply *bundle);
void     quorvane_cs_peer_devices_from_prekeys(quorvane_peer *dst, const quorvane_prekey_reply *bundle);  // for quorvane_cs_dm_init
