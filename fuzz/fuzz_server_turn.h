// One turn of the server's event loop for the handler fuzz targets: the frame
// handled, the turn committed, a sync run to its end, and every frame made
// checked to be whole; `check` sees each push's frame with its device.
#pragma once

#include "quorvane_proto.h"
#include "server_handlers.h"

#include <cstdint>
#include <vector>

inline void fuzz_check_frame(const std::vector<uint8_t> &f) {
    quorvane_frame_header h{};
    if (quorvane_frame_parse_header(f.data(), f.size(), &h) != 0 || h.length + QV_FRAME_HEADER_LEN != f.size()) __builtin_trap();
}

template <class F> bool fuzz_server_turn(qvs_ctx *ctx, qvs_conn *conn, const uint8_t *frame, size_t len, F check) {
    int r = qvs_handle_frame(ctx, conn, frame, len);
    if (qvs_store_commit(ctx->store) != 0) __builtin_trap();
    if (r != 0) return false;
    for (int steps = 0; conn->sync.active; steps++)
        if (steps > 10000 || qvs_sync_step(ctx, conn) < 0) __builtin_trap();  // a sync always ends
    for (const auto &f : conn->replies) fuzz_check_frame(f);
    for (const qvs_push &p : ctx->pushes) {
        std::vector<uint8_t> f = p.make ? p.make() : p.pos ? qvs_live_frame(p.pos, *p.frame) : *p.frame;
        fuzz_check_frame(f);
        check(p, f);
    }
    conn->replies.clear();
    ctx->pushes.clear();
    ctx->revoked.clear();
    return true;
}
