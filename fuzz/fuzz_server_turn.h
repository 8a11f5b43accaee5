// One turn of the server's event loop for the handler fuzz targets: the frame
// handled, the turn committed, a sync run to its end, and every frame made
// checked to be whole; `check` sees each push's frame with its device.
#pragma once

#include "quorvane_proto.h"
#include "server_handlers.h"

#include <cstdint>
#include <cstring>
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
        std::vector<uint8_t> f = qvs_push_frame(p);
        fuzz_check_frame(f);
        check(p, f);
    }
    conn->replies.clear();
    ctx->pushes.clear();
    ctx->revoked.clear();
    return true;
}

// Conversation 03..03 of users 01..01 and 02..02, committed; the devices of
// user 01..01 in *devs.
inline bool fuzz_shared_conv(qvs_store *st, std::vector<qvs_device> *devs) {
    std::vector<qvs_conv_member> members(2);
    std::memset(members[0].user_id, 1, 16);
    std::memset(members[1].user_id, 2, 16);
    uint8_t conv[16], uid[16];
    std::memset(conv, 3, 16);
    std::memset(uid, 1, 16);
    return qvs_conv_create(st, conv, members, {}) == 0 && qvs_account_devices(st, uid, devs) == 0 && !devs->empty() &&
           qvs_store_commit(st) == 0;
}

// The connection signed in as device `dev` of "fuzz" (user 01..01).
inline void fuzz_sign_in(qvs_conn *conn, int64_t dev) {
    conn->phase = QVS_SIGNED_IN;
    conn->user = "fuzz";
    std::memset(conn->user_id, 1, 16);
    conn->dev = dev;
}
