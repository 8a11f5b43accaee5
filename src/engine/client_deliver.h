// The receive path: one sealed envelope from the server (live or from history)
// opened with the conversation key or the device session held for the sending
// device, its body applied to the message store, and a notification with a short
// preview for new messages from others. Also the hints record that outlives
// sessions (self events of own-device pairs, the ring of conversations that
// asked to be linked again) and the upkeep of sessions with the account's own
// other devices that reads it.
// Results: as each line says; getters of a null session give 0.
#pragma once

#include "client_msgstore.h"
#include "client_seal.h"

#include <cstddef>
#include <cstdint>

struct quorvane_cs;

constexpr size_t   QV_NOTE_QUEUE = 32;
constexpr size_t   QV_NOTE_PREVIEW = 121;
constexpr size_t   QV_SELF_EVENTS = 16;
constexpr size_t   QV_SELF_EVENT_COUNTERS = 3;      // failures from an own device that prove it never answered
constexpr uint64_t QV_SELF_EVENT_INTERVAL_MS = 120000;
constexpr size_t   QV_RELINK_RING = 16;
constexpr size_t   QV_PROFILE_ANSWERS = 16;
constexpr size_t   QV_OWN_DEVICES = 5;
constexpr uint64_t QV_PREV_SESSION_KEEP_MS = 604800000;  // a set-aside session is dropped after 7 days
constexpr size_t   QV_DEV_ENV_MIN = QV_ENV_HEADER_LEN + 32;  // shorter cannot carry a sending device key
constexpr uint8_t  QV_NOTE_UNOPENED = 0xFF;  // notification type of envelopes set aside unopened
inline constexpr char QV_NOTE_UNOPENED_TEXT[] = "could not be opened";

struct quorvane_self_event {
    uint8_t  conv_id[16];
    uint8_t  device[32];   // the other own device of the pair
    uint64_t created_ms;
    uint64_t counters[QV_SELF_EVENT_COUNTERS];
    uint8_t  count;
    uint8_t  in_use;
};

struct quorvane_cs_hints {
    quorvane_self_event self_events[QV_SELF_EVENTS];
    int32_t self_event_interval_ms;  // 0 means 120000
    uint8_t relink[QV_RELINK_RING][16];
    uint8_t relink_count;
    uint8_t relink_next;
};

struct quorvane_notification {
    uint8_t conv_id[16];
    uint8_t sender[16];
    uint8_t type;
    char    preview[QV_NOTE_PREVIEW];
};
static_assert(sizeof(quorvane_notification) == 154);

// Called with each history message while a back-fill runs with a sink.
using quorvane_cs_backfill_sink = void (*)(void *ctx, const quorvane_ms_msgrec *rec);

// What the receive path keeps in the session.
struct cs_deliver_state {
    quorvane_cs_hints own_hints;   // used when the configuration gives none
    quorvane_notification notes[QV_NOTE_QUEUE];
    size_t note_head, note_count;
    uint64_t failed;               // envelopes that did not open, only logged
    uint32_t self_profile_epoch;
    uint8_t profile_answers[QV_PROFILE_ANSWERS][16];
    size_t profile_answer_count;
    int sync_wanted;               // an envelope for an unknown conversation asked for a sync
    // back-fill, armed by the back-fill request
    int backfill_inflight;
    quorvane_cs_backfill_sink backfill_sink;
    void *backfill_ctx;
    uint64_t backfill_count;
    uint8_t backfill_conv[16];
};

// Delivery and what it hands on
// - the preview is cut to the buffer without splitting a UTF-8 sequence; empty for a null record.
void              deliver_envelope(quorvane_cs *cs, const uint8_t *env, size_t len, uint64_t position, int history);
[[nodiscard]] int quorvane_cs_poll_notification(quorvane_cs *cs, quorvane_notification *out);  // 1 taken, 0 none
// - an envelope set aside unopened is noted once per conversation while such a note waits in the queue.
void              cs_retry_unopened(quorvane_cs *cs, const uint8_t conv_id[16]);  // the kept ones that now open are delivered
char             *quorvane_cs_message_preview(const quorvane_ms_msgrec *rec, char *buf, size_t size);  // returns buf
[[nodiscard]] int quorvane_cs_take_profile_answer(quorvane_cs *cs, uint8_t out[16]);  // 1 and the oldest conversation id
uint32_t          quorvane_cs_self_profile_epoch(const quorvane_cs *cs);              // raised when another own device renamed us

// Hints and sessions with the account's own other devices
// - `own` is the own account's peer record, made from its prekey reply (at most 5 devices are looked at).
// - self_sync starts the pairs this device owns (its key sorts lower) and reopens a pair
//   whose other side never answered and has rotated its signed prekey; returns how many
//   it started, -1 on bad arguments. self_todo counts what self_sync would start.
quorvane_cs_hints   *cs_hints(quorvane_cs *cs);  // the configured record, else the session's own
[[nodiscard]] int    quorvane_cs_dm_self_sync(quorvane_cs *cs, const uint8_t conv_id[16], const quorvane_peer *own);
[[nodiscard]] int    quorvane_cs_dm_self_todo(quorvane_cs *cs, const uint8_t conv_id[16], const quorvane_peer *own);
int                  quorvane_cs_dm_ratchet_seen(quorvane_cs *cs, const uint8_t conv_id[16]);  // 1 when in the relink ring
int                  cs_self_pending(quorvane_cs *cs, const uint8_t conv_id[16], const uint8_t device[32],
                                     uint32_t *spk_id);  // 1 pending, with the signed-prekey id our preamble named
quorvane_self_event *cs_self_ev_get(quorvane_cs *cs, const uint8_t conv_id[16], const uint8_t device[32], int create);
void                 cs_relink_note(quorvane_cs *cs, const uint8_t conv_id[16]);  // not twice; the oldest goes at 16
uint64_t             cs_wall_ms();  // ms since the epoch: envelope times and stored stamps are wall-clock

#ifdef QV_ENGINE_TEST_HOOKS
// A session signed in as `user_id` over a store and a key record, without a
// connection, for driving the receive path with envelopes built by real peers.
// The strings and records are borrowed; null when the session cannot be made.
[[nodiscard]] quorvane_cs *quorvane_cs_test_receiver(quorvane_msgstore *ms, quorvane_device_keys *keys, const char *user,
                                                     const uint8_t user_id[16], const char *pin_path, quorvane_cs_hints *hints,
                                                     int fallback_off);
#endif
