// Signed-in requests and the frames that answer them: conversations, channels, instances, invites, administration and back-fill.
// Requests: 0 queued, -1 not signed in, a missing or out-of-limit argument, or
// the frame could not be queued. Getters take a null session and give 0.
#pragma once

#include <cstddef>
#include <cstdint>

struct quorvane_cs;

// What this family keeps in the session.
struct cs_community_state {
    int unused;
};

// 1 when the frame is of this family (handled), 0 otherwise.
int cs_community_frame(quorvane_cs *cs, uint8_t type, const uint8_t *p, size_t len);
