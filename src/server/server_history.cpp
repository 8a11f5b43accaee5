// History between the account's own devices, and back-fill from the history
// the server keeps. A new device asks (43) and the others learn its keys from
// the server's record (160); one of them seals the history to it and sends it
// in chunks (44) that go to that device only (161). The event loop stops
// reading from the sender while the target's queue is long, so a 64 MiB
// transfer never sits in memory. Back-fill hands out a conversation's kept
// envelopes below a position, newest first, and says where it stopped.
#include "n_log.h"
#include "quorvane_x3dh.h"
#include "server_frames.h"
#include "server_handlers.h"

#include <cstring>

namespace {

uint64_t be64(const uint8_t *p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; i++) v = (v << 8) | p[i];
    return v;
}

}  // namespace

int qvs_on_history_request(qvs_ctx *ctx, qvs_conn *c, const qvs_records &) {
    std::vector<qvs_device> devs;
    if (qvs_account_devices(ctx->store, c->user_id, &devs) != 0) return 0;
    const qvs_device *me = nullptr;
    for (const qvs_device &d : devs)
        if (d.row == c->dev) me = &d;
    uint8_t id[16];
    if (!me || quorvane_device_id(me->x25519_pub, me->ed25519_pub, id) != 0) return 0;
    qvs_frame_builder f(QVS_FT_HISTORY_PEER);
    f.put(QVS_TAG_DEVICE_ID, id, 16);
    f.put(QVS_TAG_DEV_X25519, me->x25519_pub, 32);
    f.put(QVS_TAG_DEV_ED25519, me->ed25519_pub, 32);
    f.put(QVS_TAG_CERT, me->cert, 64);
    qvs_push_to_users(ctx, {std::vector<uint8_t>(c->user_id, c->user_id + 16)}, c->dev, f.take());
    return 0;
}

int qvs_on_history_chunk(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec) {
    const uint8_t *target = nullptr, *total = nullptr, *offset = nullptr, *data = nullptr;
    size_t n = 0;
    if (!rec.fixed(QVS_TAG_DEVICE_ID, 16, &target) || !rec.fixed(QVS_TAG_TOTAL, 8, &total) || !rec.fixed(QVS_TAG_OFFSET, 8, &offset) ||
        !rec.bytes(QVS_TAG_DATA, 0, QVS_HISTORY_CHUNK_MAX, &data, &n))
        return -1;
    const uint64_t tot = be64(total), off = be64(offset);
    if (tot == 0 || tot > QVS_HISTORY_TOTAL_MAX || off > tot || n > tot - off) return -1;
    std::vector<qvs_device> devs;
    if (qvs_account_devices(ctx->store, c->user_id, &devs) != 0) return 0;
    int64_t to = 0;
    for (const qvs_device &d : devs) {
        uint8_t id[16];
        if (d.row != c->dev && quorvane_device_id(d.x25519_pub, d.ed25519_pub, id) == 0 && std::memcmp(id, target, 16) == 0) to = d.row;
    }
    if (!to) {
        n_log(LOG_NOTICE, "server: a history chunk of %s for a device not its own dropped", c->user.c_str());
        return 0;
    }
    qvs_frame_builder f(QVS_FT_HISTORY_DATA);
    f.put(QVS_TAG_TOTAL, total, 8);
    f.put(QVS_TAG_OFFSET, offset, 8);
    f.put(QVS_TAG_DATA, data, n);
    ctx->pushes.push_back({to, std::make_shared<const std::vector<uint8_t>>(f.take()), 0, nullptr, true});
    c->history_to = to;
    return 0;
}

// Pages of at most QVS_BACKFILL_PAGE envelopes and about 1 MiB; the end frame
// carries the lowest position sent (the next page's `before`) and 1 while
// older envelopes are still kept.
int qvs_on_backfill(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec) {
    const uint8_t *conv = nullptr, *before = nullptr, *limit = nullptr;
    if (!rec.fixed(QVS_TAG_CONV_ID, 16, &conv) || !rec.fixed(QVS_TAG_POSITION, 8, &before) ||
        (rec.has(QVS_TAG_LIMIT) && !rec.fixed(QVS_TAG_LIMIT, 4, &limit)))
        return -1;
    size_t want = QVS_BACKFILL_PAGE;
    if (limit) {
        const uint32_t l = qv_bytes::get_be32(limit);
        if (l && l < want) want = l;
    }
    uint64_t cursor = be64(before);
    int more = 0;
    std::vector<qvs_envelope> page;
    if (qvs_conv_is_member(ctx->store, conv, c->user_id) != 1) {
        n_log(LOG_NOTICE, "server: a back-fill of %s for a conversation it is not in: nothing", c->user.c_str());
    } else if (qvs_history_page(ctx->store, conv, cursor, want, QVS_SYNC_LOW_WATER, &page, &more) != 0) {
        n_log(LOG_ERR, "server: a back-fill of %s could not be read", c->user.c_str());
        page.clear();
        more = 0;
    }
    for (const qvs_envelope &e : page) {
        qvs_frame_builder f(QVS_FT_HISTORY_ENVELOPE);
        f.put_u64(QVS_TAG_POSITION, e.pos);
        f.put(QVS_TAG_ENVELOPE, e.body.data(), e.body.size());
        c->replies.push_back(f.take());
        cursor = e.pos;
    }
    qvs_frame_builder end(QVS_FT_BACKFILL_END);
    end.put_u64(QVS_TAG_POSITION, cursor);
    uint8_t flag = more ? 1 : 0;
    end.put(QVS_TAG_MORE, &flag, 1);
    c->replies.push_back(end.take());
    return 0;
}
