#include "client_authed.h"

#include "client_session.h"

void handle_authed_frame(quorvane_cs *, const uint8_t *, size_t) {
    // The signed-in exchange reads its frames here; until it exists, frames
    // the server sends while signed in are drained and dropped.
}
