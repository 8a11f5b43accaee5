// Envelopes and sync: every envelope a member sends is kept once per
// recipient device under a server-wide position and acknowledged only after
// the turn has committed; devices that have synced on their connection get it
// pushed at once, the others on their next sync, which also deletes what the
// device's cursor has passed.
#include "n_log.h"
#include "quorvane_crypto.h"
#include "quorvane_envelope.h"
#include "server_frames.h"
#include "server_handlers.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>

namespace {

void ack(qvs_conn *c, uint64_t pos) {
    qvs_frame_builder f(QVS_FT_ACK);
    if (pos) f.put_u64(QVS_TAG_POSITION, pos);
    c->replies.push_back(f.take());
}

bool own_device(qvs_ctx *ctx, const qvs_conn *c, qvs_device *out) {
    std::vector<qvs_device> devs;
    if (qvs_account_devices(ctx->store, c->user_id, &devs) != 0) return false;
    for (const qvs_device &d : devs)
        if (d.row == c->dev) {
            *out = d;
            return true;
        }
    return false;
}

// Recipients: every registered device of every member but the sending one.
bool recipients(qvs_ctx *ctx, const uint8_t conv_id[16], int64_t sender, std::vector<int64_t> *out) {
    std::vector<qvs_conv_member> members;
    if (qvs_conv_members(ctx->store, conv_id, &members) != 0) return false;
    for (const qvs_conv_member &m : members) {
        std::vector<qvs_device> devs;
        if (qvs_account_devices(ctx->store, m.user_id, &devs) != 0) return false;
        for (const qvs_device &d : devs)
            if (d.row != sender) out->push_back(d.row);
    }
    return true;
}

}  // namespace

// Kept with the next turn's commit; one lost to a crash only keeps copies longer.
void note_handed(qvs_ctx *ctx, int64_t dev, uint64_t pos) {
    if (qvs_env_handed(ctx->store, dev, pos) != 0) n_log(LOG_ERR, "server: what a device was handed could not be noted");
}

std::vector<uint8_t> qvs_live_head(uint64_t pos, size_t env_len) {
    qvs_frame_builder f(QVS_FT_LIVE_ENVELOPE);
    f.put_u64(QVS_TAG_POSITION, pos);
    uint8_t head[QV_TLV_HEAD_LEN] = {QVS_TAG_ENVELOPE};
    qv_bytes::put_be32(head + 1, static_cast<uint32_t>(env_len));
    f.b.insert(f.b.end(), head, head + QV_TLV_HEAD_LEN);
    std::vector<uint8_t> out = f.take();
    qv_bytes::put_be32(&out[4], static_cast<uint32_t>(out.size() - QV_FRAME_HEADER_LEN + env_len));
    return out;
}

std::vector<uint8_t> qvs_live_frame(uint64_t pos, const std::vector<uint8_t> &env) {
    std::vector<uint8_t> f = qvs_live_head(pos, env.size());
    f.insert(f.end(), env.begin(), env.end());
    return f;
}

std::vector<uint8_t> qvs_push_head(const qvs_push &p) {
    if (p.pos) return qvs_live_head(p.pos, p.frame->size());
    return p.make && p.frame ? p.make() : std::vector<uint8_t>{};
}

qvs_frame_ptr qvs_push_shared(const qvs_push &p) {
    return p.make && !p.frame ? std::make_shared<const std::vector<uint8_t>>(p.make()) : p.frame;
}

std::vector<uint8_t> qvs_push_frame(const qvs_push &p) {
    std::vector<uint8_t> f = qvs_push_head(p);
    const qvs_frame_ptr tail = qvs_push_shared(p);
    if (tail) f.insert(f.end(), tail->begin(), tail->end());
    return f;
}

// Every frame 7 gets exactly one acknowledgement, in order: the client pairs
// them with what it sent first in, first out, so even a malformed one is
// answered (without a position) rather than dropped.
int qvs_on_envelope(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec) {
    const uint8_t *env = nullptr;
    size_t n = 0;
    quorvane_env_header h{};
    const char *bad = "";
    if (!rec.bytes(QVS_TAG_ENVELOPE, QVS_ENV_MIN, QVS_ENV_MAX, &env, &n) || quorvane_env_header_decode(env, n, &h) != 0)
        bad = "malformed";
    else if (std::memcmp(h.sender_id, c->user_id, 16) != 0)
        bad = "another user's name as sender";
    else if (qvs_conv_is_member(ctx->store, h.conversation_id, c->user_id) != 1)
        bad = "not a member";
    std::vector<int64_t> devs;
    if (!*bad && !recipients(ctx, h.conversation_id, c->dev, &devs)) bad = "a store failure";
    std::vector<uint64_t> pos;
    uint64_t at = 0;
    if (!*bad) {
        static const qvs_env_bounds bounds{QVS_ENV_PER_DEVICE_MAX,       QVS_ENV_BYTES_PER_DEVICE_MAX, QVS_ENV_PER_SENDER_MAX,
                                           QVS_ENV_BYTES_PER_SENDER_MAX, QVS_ENV_SENDER_RESERVE,       QVS_ENV_BYTES_SENDER_RESERVE};
        int r = qvs_env_store(ctx->store, h.conversation_id, h.sender_id, env, n, devs, bounds, &pos, &at);
        if (r == 1) bad = "every recipient device holds as much as it may from this sender";
        else if (r != 0) bad = "a store failure";
    }
    if (*bad) {
        n_log(LOG_NOTICE, "server: an envelope of %s refused: %s", c->user.c_str(), bad);
        ack(c, 0);
        return 0;
    }
    // One copy per conversation is kept for back-fill: of envelopes under the
    // conversation's key only (a random salt), which every member can open;
    // device-session ones are for one device and gone once delivered.
    static const uint8_t zero[16] = {};
    if (std::memcmp(h.salt, zero, 16) != 0 && qvs_history_put(ctx->store, h.conversation_id, at, env, n, QVS_BACKLOG_KEEP) != 0)
        n_log(LOG_ERR, "server: the history copy of an envelope of %s could not be kept", c->user.c_str());
    auto body = std::make_shared<const std::vector<uint8_t>>(env, env + n);
    for (size_t i = 0; i < devs.size(); i++)
        if (pos[i]) ctx->pushes.push_back({devs[i], body, pos[i], nullptr});
    ack(c, at);
    return 0;
}

namespace {

// The cursor table by conversation, the first entry of each counting (as
// quorvane_sync_cursor_lookup reads it): one pass, where a look-up per
// conversation would cost 4,096 x 4,096 comparisons per sync frame.
std::unordered_map<std::string, uint64_t> cursor_map(const uint8_t *table, size_t len) {
    std::unordered_map<std::string, uint64_t> m;
    for (size_t at = 0; table && at + QV_SYNC_CURSOR_ENTRY_LEN <= len; at += QV_SYNC_CURSOR_ENTRY_LEN)
        m.emplace(std::string(reinterpret_cast<const char *>(table + at), QV_SYNC_CONV_ID_LEN),
                  qv_bytes::get_be64(table + at + QV_SYNC_CONV_ID_LEN));
    return m;
}

}  // namespace

// Starts a sync: sets up the stream the event loop sends turn by turn, which
// deletes the device's copies at or below each cursor as it reaches the
// conversation (a user in 4,000 conversations would otherwise cost 4,000
// deletions in one frame). Live pushes to this connection pause until the
// stream has caught up.
int qvs_on_sync(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec) {
    const uint8_t *table = nullptr;
    size_t tlen = 0;
    if (rec.has(QVS_TAG_SYNC_LIST) &&
        !rec.bytes(QVS_TAG_SYNC_LIST, 0, QV_SYNC_CURSOR_MAX_ENTRIES * QV_SYNC_CURSOR_ENTRY_LEN, &table, &tlen))
        table = nullptr, tlen = 0;
    qvs_sync_stream s;
    uint64_t handed = 0;
    if (qvs_user_convs(ctx->store, c->user_id, &s.convs) != 0 || qvs_env_handed_upto(ctx->store, c->dev, &handed) != 0) return 0;
    const auto cursors = cursor_map(table, tlen);
    for (const auto &conv : s.convs) {
        auto it = cursors.find(std::string(conv.begin(), conv.end()));
        // a cursor past all this device was ever handed claims what it never got:
        // taken at its word, that would be deleted, and what comes later hidden below it
        s.cursors.push_back(std::min(it == cursors.end() ? 0 : it->second, handed));
    }
    s.active = true;
    s.after = s.cursors.empty() ? 0 : s.cursors[0];
    s.mark = s.tail_after = qvs_env_last_pos(ctx->store);
    c->sync = std::move(s);
    c->synced = false;
    return 0;
}

// One step: conversations' information and copies until the step has built
// QVS_SYNC_STEP_BYTES or its work reaches work_max, so that no step passes
// what the connection may have waiting, or its account's share of a turn,
// however many conversations or members there are.
int qvs_sync_step(qvs_ctx *ctx, qvs_conn *c, uint64_t work_max) {
    if (!ctx || !c) return -1;
    qvs_sync_stream &s = c->sync;
    if (!s.active) return 0;
    qvs_device me{};
    if (!own_device(ctx, c, &me)) return -1;
    const uint64_t work0 = qvs_store_work(ctx->store);
    size_t built = 0;
    auto spent = [&] { return built >= QVS_SYNC_STEP_BYTES || qvs_store_work(ctx->store) - work0 + built / QVS_WORK_BYTES >= work_max; };
    std::vector<qvs_envelope> batch;
    while (s.next < s.convs.size()) {
        const uint8_t *conv = s.convs[s.next].data();
        if (!s.info_sent) {
            if (qvs_env_drop_upto(ctx->store, c->dev, conv, s.cursors[s.next]) != 0)
                n_log(LOG_ERR, "server: the copies passed by a cursor of %s could not be deleted", c->user.c_str());
            std::vector<uint8_t> info;
            if (qvs_conv_info(ctx, conv, c->user_id, me, &info) == 0) {
                built += info.size();
                c->replies.push_back(std::move(info));
            }
            s.info_sent = true;
        }
        if (qvs_env_fetch(ctx->store, c->dev, conv, s.after, s.mark, QVS_SYNC_BATCH, QVS_SYNC_STEP_BYTES, &batch) != 0) return -1;
        if (batch.empty()) {
            s.next++;
            s.info_sent = false;
            s.after = s.next < s.convs.size() ? s.cursors[s.next] : 0;
            if (spent()) return 1;
            continue;
        }
        for (const qvs_envelope &e : batch) c->replies.push_back(qvs_live_frame(e.pos, e.body));
        s.after = batch.back().pos;
        note_handed(ctx, c->dev, s.after);
        return 1;
    }
    // What arrived since the sync began; a conversation made meanwhile gets
    // its information first.
    if (qvs_env_fetch(ctx->store, c->dev, nullptr, s.tail_after, UINT64_MAX, QVS_SYNC_BATCH, QVS_SYNC_STEP_BYTES, &batch) != 0) return -1;
    for (const qvs_envelope &e : batch) {
        auto known = std::find_if(s.convs.begin(), s.convs.end(), [&](const auto &v) { return std::memcmp(v.data(), e.conv_id, 16) == 0; });
        if (known == s.convs.end()) {
            std::vector<uint8_t> info;
            if (qvs_conv_info(ctx, e.conv_id, c->user_id, me, &info) == 0) c->replies.push_back(std::move(info));
            s.convs.emplace_back(e.conv_id, e.conv_id + 16);
            s.cursors.push_back(0);
            s.next = s.convs.size();
        }
        c->replies.push_back(qvs_live_frame(e.pos, e.body));
        s.tail_after = e.pos;
    }
    if (!batch.empty()) {
        note_handed(ctx, c->dev, s.tail_after);
        return 1;
    }
    c->replies.push_back(qvs_frame_builder(QVS_FT_SYNC_END).take());
    s = qvs_sync_stream{};
    c->synced = true;
    return 0;
}
