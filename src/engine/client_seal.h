// Sealed send and device sessions: the stored form of a device session, trying a
// received ratchet message against it, setting a session aside, starting one as
// initiator, the device-session envelope, the pending-send ring that pairs the
// server's acknowledgements with what was sent, the conversation-key distribution
// payload and the target-device wrapper.
// Results: 0 ok / -1 failure unless a line says otherwise. Buffers are the caller's;
// every record buffer made here is wiped before it is freed.
#pragma once

#include "client_dm.h"
#include "client_msgstore.h"
#include "client_store.h"
#include "quorvane_envelope.h"

#include <cstddef>
#include <cstdint>

struct quorvane_cs;

constexpr uint8_t QV_SR_PENDING   = 0x01;  // our preamble is not answered yet
constexpr uint8_t QV_SR_INITIATOR = 0x02;
constexpr uint8_t QV_SR_RESPONDER = 0x04;
constexpr size_t  QV_SR_MAX       = 1 + QV_DM_PREAMBLE_LEN + QV_RATCHET_SER_BASE + QV_RATCHET_SER_ENTRY * 1000;
constexpr size_t  QV_SR_DEVICES   = 10;    // device sessions looked at per conversation
constexpr size_t  QV_PENDING_MAX  = 64;
constexpr size_t  QV_DEV_BODY_MAX = 4226;  // body a ratchet message may carry
constexpr size_t  QV_PT_MAX       = 4170;  // plaintext a received ratchet message may carry
constexpr size_t  QV_DEV_ENV_FIXED = QV_ENV_HEADER_LEN + 1 + 32;  // header, pending flag, sending device key
constexpr size_t  QV_CONV_PAYLOAD_MAX = 262144;
constexpr size_t  QV_TARGETDEV_LEN = 33;   // type 15 and the target device key
constexpr uint8_t QV_BODY_TARGETDEV = 15;

static_assert(QV_SR_MAX == 68319);

// The member record every member list passes.
struct quorvane_member {
    uint8_t  user_id[16];
    uint8_t  identity[32];
    uint64_t device_count;      // 0-5
    uint8_t  devices[5][64];    // X25519 key, then Ed25519 key
};
static_assert(sizeof(quorvane_member) == 376);

// One device of a peer, from a prekey reply: what it published, and whether a
// signed prekey came with it.
struct quorvane_peer_device {
    quorvane_dm_bundle bundle;
    uint8_t has_spk;
};

// A peer made from a prekey reply: its user and up to five devices.
struct quorvane_peer {
    uint8_t user_id[16];
    uint8_t device_count;
    quorvane_peer_device devices[5];
};

// Pending-send ring: one entry per envelope frame queued, consumed first in, first
// out by the server's acknowledgements. It never drops an entry: a full ring
// refuses, so every later acknowledgement still pairs with its own message.
struct cs_pending_entry {
    uint8_t  conv_id[16];
    uint64_t counter;
};
struct cs_pending_ring {
    cs_pending_entry e[QV_PENDING_MAX];
    size_t head;
    size_t count;
};
[[nodiscard]] int cs_pending_push(cs_pending_ring *r, const uint8_t conv_id[16], uint64_t counter);  // -1 full
[[nodiscard]] int cs_pending_pop(cs_pending_ring *r, uint8_t conv_id[16], uint64_t *counter);        // 1 taken, 0 empty
size_t            cs_pending_room(const cs_pending_ring *r);

// Session records: flag byte, the preamble while pending, then the stored ratchet.
[[nodiscard]] int cs_record_make(uint8_t flag, const uint8_t *preamble, const quorvane_ratchet *r, uint8_t *out, size_t cap,
                                 size_t *out_len);
[[nodiscard]] int cs_rt_try(const uint8_t *record, size_t record_len, uint8_t env_flag, const uint8_t *payload, size_t payload_len,
                            uint8_t *pt, size_t *pt_len, uint8_t *out_record, size_t *out_record_len);  // 1 opened, else 0
[[nodiscard]] int cs_rt_set_aside(quorvane_msgstore *ms, const uint8_t conv_id[16], const uint8_t device[32], const uint8_t *record,
                                  size_t len, uint64_t now_ms);
[[nodiscard]] int cs_dm_init_device(quorvane_msgstore *ms, const quorvane_device_keys *keys, const uint8_t conv_id[16],
                                    const quorvane_peer_device *dev, int force, uint64_t now_ms);

// Envelopes and payloads
// - a device-session envelope: header (salt zero), pending flag, sending device key,
//   the preamble when the flag is 1, then the ratchet message.
[[nodiscard]] int cs_dev_envelope(const quorvane_env_header *h, uint8_t flag, const uint8_t dev_key[32], const uint8_t *preamble,
                                  const uint8_t *msg, size_t msg_len, uint8_t *out, size_t cap, size_t *out_len);
size_t            cs_targetdev_wrap(const uint8_t *target, uint8_t *buf, size_t len, size_t cap);  // new length, 0 when it does not fit
[[nodiscard]] int build_conv_payload(const uint8_t conv_id[16], const uint8_t key[32], const quorvane_member *members, size_t count,
                                     int kind, uint8_t *out, size_t *out_len);  // out holds QV_CONV_PAYLOAD_MAX; kind -1 leaves TLV 39 out
// A new conversation or channel: frame `type` with build_conv_payload's body,
// then `tail` when the whole still fits QV_CONV_PAYLOAD_MAX. Signed in, n >= 1
// and a store, else -1. The body is built before the conversation and its key
// are stored, so a request refused while building leaves nothing stored; a send
// that then fails keeps what was stored. 0, or -1.
[[nodiscard]] int cs_create_conv_request(quorvane_cs *cs, uint8_t type, const uint8_t conv_id[16], const uint8_t key[32],
                                         const quorvane_member *members, size_t n, int kind, const uint8_t *tail, size_t tail_len);

// Device path of a sealed send: one ratchet message per device that has a session
// in this conversation, all with the same counter. Each stepped ratchet is stored
// before its frame is handed to `queue`; a device whose record cannot be stored is
// skipped, so no message key is ever used twice. Returns the devices served; -2
// when the pending ring has no room for every device (nothing sealed: keep the send).
using cs_queue_fn = int (*)(void *ctx, const uint8_t device[32], const uint8_t *envelope, size_t len);  // device: the recipient
[[nodiscard]] int cs_seal_devices(quorvane_msgstore *ms, const uint8_t conv_id[16], const uint8_t user_id[16],
                                  const uint8_t dev_pub[32], uint64_t counter, uint64_t time_ms, const uint8_t *body, size_t len,
                                  cs_pending_ring *ring, cs_queue_fn queue, void *ctx);

// Sealed send through the session: by the conversation key (wrapped with this
// device's key when the account has other devices), or by every device session
// of the conversation. 0 when at least one frame 7 was queued; -1 otherwise, and
// -1 without sealing anything while the pending-send ring has no room, so the
// caller keeps the send queued. The outputs are written only on 0.
[[nodiscard]] int cs_seal_send(quorvane_cs *cs, const uint8_t conv_id[16], const uint8_t *body, size_t len, uint64_t *counter,
                               uint64_t *time_ms, uint8_t device[32]);
[[nodiscard]] int quorvane_cs_dm_init(quorvane_cs *cs, const uint8_t conv_id[16], const quorvane_peer *peer);  // 0 when any device started
int               quorvane_cs_dm_self_only(quorvane_msgstore *ms, const uint8_t conv_id[16], const uint8_t own_user[16]);  // 1 or 0
[[nodiscard]] int quorvane_cs_dm_reset(quorvane_cs *cs, const uint8_t conv_id[16]);  // pairs set aside, -1 bad arguments
