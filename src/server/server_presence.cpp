// Presence, typing and read state: typing notices and read receipts go live
// to the other members' devices and are never stored; a read mark is kept per
// user and conversation (conversation information carries it) and goes to the
// user's other devices; presence goes to the users who share a conversation
// when a user's first device signs in or its last one leaves, while the user
// has made it public.
#include "n_log.h"
#include "server_frames.h"
#include "server_handlers.h"

#include <cstring>
#include <ctime>

namespace {

// The other members of a conversation the user is in; false when the user is not a member.
bool other_members(qvs_ctx *ctx, const uint8_t conv_id[16], const uint8_t user_id[16], std::vector<std::vector<uint8_t>> *out) {
    std::vector<qvs_conv_member> members;
    if (qvs_conv_is_member(ctx->store, conv_id, user_id) != 1 || qvs_conv_members(ctx->store, conv_id, &members) != 0) return false;
    for (const qvs_conv_member &m : members)
        if (std::memcmp(m.user_id, user_id, 16) != 0) out->emplace_back(m.user_id, m.user_id + 16);
    return true;
}

uint64_t be64(const uint8_t *p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; i++) v = (v << 8) | p[i];
    return v;
}

// Receipts and read marks only move forward where they are kept: one past
// every position the server handed out would stop all later ones for good.
bool handed_out(qvs_ctx *ctx, const uint8_t *pos) { return be64(pos) <= qvs_env_last_pos(ctx->store); }

// A notice about a conversation (typing, a read receipt) for its other members, not kept.
int relay_notice(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec, uint8_t type, bool with_pos) {
    const uint8_t *conv = nullptr, *pos = nullptr;
    if (!rec.fixed(QVS_TAG_CONV_ID, 16, &conv) || (with_pos && !rec.fixed(QVS_TAG_POSITION, 8, &pos))) return -1;
    if (pos && !handed_out(ctx, pos)) {
        n_log(LOG_NOTICE, "server: a receipt of %s past every position handed out dropped", c->user.c_str());
        return 0;
    }
    std::vector<std::vector<uint8_t>> others;
    if (!other_members(ctx, conv, c->user_id, &others)) {
        n_log(LOG_NOTICE, "server: a notice of %s about a conversation it is not in dropped", c->user.c_str());
        return 0;
    }
    qvs_frame_builder f(type);
    f.put(QVS_TAG_CONV_ID, conv, 16);
    if (pos) f.put(QVS_TAG_POSITION, pos, 8);
    qvs_push_to_users(ctx, others, c->dev, f.take());
    return 0;
}

}  // namespace

void qvs_push_to_users(qvs_ctx *ctx, const std::vector<std::vector<uint8_t>> &users, int64_t except_dev, const std::vector<uint8_t> &frame) {
    auto shared = std::make_shared<const std::vector<uint8_t>>(frame);
    for (const auto &u : users) {
        std::vector<qvs_device> devs;
        if (u.size() != 16 || qvs_account_devices(ctx->store, u.data(), &devs) != 0) continue;
        for (const qvs_device &d : devs)
            if (d.row != except_dev) ctx->pushes.push_back({d.row, shared, 0, nullptr});
    }
}

int qvs_on_typing(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec) { return relay_notice(ctx, c, rec, QVS_FT_TYPING, false); }

int qvs_on_receipt(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec) { return relay_notice(ctx, c, rec, QVS_FT_RECEIPT, true); }

int qvs_on_read_mark(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec) {
    const uint8_t *conv = nullptr, *pos = nullptr;
    if (!rec.fixed(QVS_TAG_CONV_ID, 16, &conv) || !rec.fixed(QVS_TAG_POSITION, 8, &pos)) return -1;
    const uint64_t at = be64(pos);
    const char *bad = at == 0                                                    ? "position 0"
                      : !handed_out(ctx, pos)                                    ? "past every position handed out"
                      : qvs_conv_is_member(ctx->store, conv, c->user_id) != 1 ? "not a member"
                                                                                 : nullptr;
    if (bad) {
        n_log(LOG_NOTICE, "server: a read mark of %s dropped: %s", c->user.c_str(), bad);
        return 0;
    }
    int r = qvs_read_mark_set(ctx->store, c->user_id, conv, at);
    if (r < 0) n_log(LOG_ERR, "server: a read mark of %s could not be kept", c->user.c_str());
    if (r != 1) return 0;  // not forward: the other devices have it already
    qvs_frame_builder f(QVS_FT_READ_MARK_RELAY);
    f.put(QVS_TAG_CONV_ID, conv, 16);
    f.put(QVS_TAG_POSITION, pos, 8);
    qvs_push_to_users(ctx, {std::vector<uint8_t>(c->user_id, c->user_id + 16)}, c->dev, f.take());
    return 0;
}

// Switched on, the user's peers see it online at once; switched off, offline
// without a last-seen time, which would tell when it was last here.
int qvs_on_presence_public(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec) {
    const uint8_t *on = nullptr;
    if (!rec.fixed(QVS_TAG_ONLINE, 1, &on) || *on > 1) return -1;
    int was = qvs_presence_get(ctx->store, c->user_id);
    if (was < 0 || qvs_presence_set(ctx->store, c->user_id, *on) != 0) {
        n_log(LOG_ERR, "server: the presence switch of %s could not be kept", c->user.c_str());
        return 0;
    }
    if (was == *on) return 0;
    std::vector<std::vector<uint8_t>> peers;
    if (qvs_user_peers(ctx->store, c->user_id, &peers) != 0) return 0;
    qvs_frame_builder f(QVS_FT_PRESENCE);
    f.put(QVS_TAG_USER_ID, c->user_id, 16);
    uint8_t flag = *on;
    f.put(QVS_TAG_ONLINE, &flag, 1);
    qvs_push_to_users(ctx, peers, 0, f.take());
    return 0;
}

void qvs_presence_changed(qvs_ctx *ctx, const uint8_t user_id[16], bool online) {
    if (!ctx || !user_id || qvs_presence_get(ctx->store, user_id) != 1) return;
    std::vector<std::vector<uint8_t>> peers;
    if (qvs_user_peers(ctx->store, user_id, &peers) != 0 || peers.empty()) return;
    qvs_frame_builder f(QVS_FT_PRESENCE);
    f.put(QVS_TAG_USER_ID, user_id, 16);
    uint8_t flag = online ? 1 : 0;
    f.put(QVS_TAG_ONLINE, &flag, 1);
    if (!online) f.put_u64(QVS_TAG_LAST_SEEN, qvs_wall_ms(ctx));
    qvs_push_to_users(ctx, peers, 0, f.take());
}
