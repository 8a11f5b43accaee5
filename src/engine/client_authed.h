// The signed-in exchange: every frame the server sends once the session is
// signed in, the result slots and queues its answers fill, and the requests of
// this road (sync, prekeys, conversations).
#pragma once

#include "client_seal.h"

#include <cstddef>
#include <cstdint>

struct quorvane_cs;

// What the signed-in exchange keeps in the session.
struct cs_authed_state {
    cs_pending_ring pending;  // envelopes sent, waiting for their acknowledgement
};

void handle_authed_frame(quorvane_cs *cs, const uint8_t *frame, size_t len);
