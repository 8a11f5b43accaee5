// The receive path: one sealed envelope from the server (live or from history)
// opened with the conversation key or the device session held for the sending
// device, its body applied to the message store, and a notification with a short
// preview for new messages from others. Also the hints record that outlives
// sessions: self events of own-device pairs and the ring of conversations that
// asked to be linked again.
#pragma once

#include "client_msgstore.h"

#include <cstddef>
#include <cstdint>

struct quorvane_cs;

constexpr size_t QV_NOTE_QUEUE = 32;
constexpr size_t QV_NOTE_PREVIEW = 121;
constexpr size_t QV_SELF_EVENTS = 16;
constexpr size_t QV_RELINK_RING = 16;
constexpr size_t QV_PROFILE_ANSWERS = 16;

struct quorvane_self_event {
    uint8_t  conv_id[16];
    uint8_t  device[32];   // the own device of the pair
    uint64_t created_ms;
    uint64_t counters[3];
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

void deliver_envelope(quorvane_cs *cs, const uint8_t *env, size_t len, uint64_t position, int history);
[[nodiscard]] int quorvane_cs_poll_notification(quorvane_cs *cs, quorvane_notification *out);  // 1 taken, 0 none
char *quorvane_cs_message_preview(const quorvane_ms_msgrec *rec, char *buf, size_t size);
