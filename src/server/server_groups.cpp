// Key requests: a member device that lacks a conversation's key asks for it;
// the request goes to every other device of the members and is kept until a
// group key names that device, so members who come later can still answer.
#include "n_log.h"
#include "quorvane_x3dh.h"
#include "server_frames.h"
#include "server_handlers.h"

#include <cstring>

namespace {

bool device_of(qvs_ctx *ctx, const uint8_t user_id[16], int64_t row, qvs_device *out) {
    std::vector<qvs_device> devs;
    if (qvs_account_devices(ctx->store, user_id, &devs) != 0) return false;
    for (const qvs_device &d : devs)
        if (d.row == row) {
            *out = d;
            return true;
        }
    return false;
}

// Frame 176 from what the server knows of the device, never from what it claimed.
bool request_frame(qvs_ctx *ctx, const qvs_key_request &kr, std::vector<uint8_t> *out) {
    qvs_account a{};
    qvs_device d{};
    int found = qvs_account_by_id(ctx->store, kr.user_id, &a);
    quorvane_cleanse(a.auth_hash, sizeof a.auth_hash);
    if (found != 1 || !device_of(ctx, kr.user_id, kr.dev, &d)) return false;
    qvs_frame_builder f(QVS_FT_KEY_REQUEST_RELAY);
    f.put(QVS_TAG_CONV_ID, kr.conv_id, 16);
    f.put(QVS_TAG_USER_ID, kr.user_id, 16);
    f.put(QVS_TAG_IDENTITY, a.identity_pub, 32);
    f.put(QVS_TAG_DEV_X25519, d.x25519_pub, 32);
    f.put(QVS_TAG_DEV_ED25519, d.ed25519_pub, 32);
    f.put(QVS_TAG_CERT, d.cert, 64);
    *out = f.take();
    return true;
}

}  // namespace

int qvs_on_key_request(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec) {
    const uint8_t *conv = nullptr;
    if (!rec.fixed(QVS_TAG_CONV_ID, 16, &conv)) return -1;
    qvs_key_request kr{};
    std::memcpy(kr.conv_id, conv, 16);
    std::memcpy(kr.user_id, c->user_id, 16);
    kr.dev = c->dev;
    qvs_device me{};
    std::vector<qvs_conv_member> members;
    std::vector<uint8_t> frame;
    const char *bad = "";
    if (qvs_conv_is_member(ctx->store, conv, c->user_id) != 1) bad = "not a member";
    else if (!device_of(ctx, c->user_id, c->dev, &me) || quorvane_device_id(me.x25519_pub, me.ed25519_pub, kr.device_id) != 0 ||
             qvs_conv_members(ctx->store, conv, &members) != 0 || qvs_key_request_put(ctx->store, &kr) != 0 ||
             !request_frame(ctx, kr, &frame))
        bad = "a store failure";
    if (*bad) {
        n_log(LOG_NOTICE, "server: a key request of %s dropped: %s", c->user.c_str(), bad);
        return 0;
    }
    std::vector<std::vector<uint8_t>> users;
    for (const qvs_conv_member &m : members) users.emplace_back(m.user_id, m.user_id + 16);
    qvs_push_to_users(ctx, users, c->dev, frame);
    return 0;
}

// The requests still waiting in the user's conversations, from other users.
int qvs_on_key_requests_again(qvs_ctx *ctx, qvs_conn *c, const qvs_records &) {
    std::vector<qvs_key_request> waiting;
    if (qvs_key_requests_for(ctx->store, c->user_id, &waiting) != 0) return 0;
    for (const qvs_key_request &kr : waiting) {
        std::vector<uint8_t> frame;
        if (request_frame(ctx, kr, &frame)) c->replies.push_back(std::move(frame));
    }
    return 0;
}
