// The command queue: records the screens fill, applied on the worker's thread.
// Applying stops at the first command the connection could not take whole: a
// frame that does not fit the send ring is refused after the screen was told
// "queued", so such a command waits, with everything behind it, for a later
// pass instead of being lost.
#include "worker_internal.h"

#include "client_search.h"
#include "client_send.h"
#include "n_log.h"
#include "quorvane_crypto.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#ifdef QV_ENGINE_TEST_HOOKS
void (*qv_wcmd_wiped_probe)(const quorvane_wcmd *c, const char *text, size_t text_len, const char *text2, size_t text2_len) = nullptr;
#endif

namespace {

constexpr size_t TAG_TEXT_MAX = QV_CS_META_TAG_LEN - 1;  // 47 bytes go out per tag

size_t wipe_text(char *s) {
    if (!s) return 0;
    const size_t n = std::strlen(s);
    quorvane_cleanse(s, n);
    return n;
}

// The send-result ring drops its oldest entry when full, as the connected run's does.
void send_ring_push(quorvane_worker *w, const uint8_t conv_id[16], uint64_t counter, uint8_t ok) {
    if (w->send_count == QV_WSEND_RING) {
        w->send_head = (w->send_head + 1) % QV_WSEND_RING;
        w->send_count--;
    }
    qv_wsend_result &r = w->send_ring[(w->send_head + w->send_count) % QV_WSEND_RING];
    r = {};
    std::memcpy(r.conv_id, conv_id, 16);
    r.counter = counter;
    r.ok = ok;
    w->send_count++;
}

// Kinds whose session call seals one user message into the conversation.
bool is_message_send(int32_t kind) {
    switch (kind) {
    case 2: case 9: case 11: case 20: case 21: case 22: case 23: case 61: return true;
    default: return false;
    }
}

// Frames one sealed message may take: one per device session of the
// conversation (at most 10), or one by the conversation key.
size_t sealed_frames(const quorvane_worker *w, const uint8_t conv_id[16]) {
    const size_t n = w->ms ? quorvane_msgstore_ratchet_devices(w->ms, conv_id, nullptr, 0) : 0;
    return std::max<size_t>(1, std::min(n, QV_SR_DEVICES));
}

// Send-ring entries and pending-send entries a command may need at most.
struct room_need {
    size_t frames, sealed;
};

room_need need_of(const quorvane_worker *w, const quorvane_wcmd *c) {
    switch (c->kind) {
    case 4: case 5: case 50: case 56: case 57: case 58: case 59: case 60:
        return {0, 0};
    case 2: case 9: case 11: case 20: case 21: case 22: case 23: case 61: {
        const size_t s = sealed_frames(w, c->conv);
        return {s, s};
    }
    case 8: {  // profile, then avatar
        const size_t s = 2 * sealed_frames(w, c->conv);
        return {s, s};
    }
    case 10: case 12: case 15: case 32: case 36: {  // the key frame, then the group name and avatar under it
        const size_t s = 2 * sealed_frames(w, c->conv);
        return {1 + s, s};
    }
    default:
        return {1, 0};
    }
}

bool has_room(const quorvane_worker *w, const quorvane_cs *cs, const quorvane_wcmd *c) {
    const room_need n = need_of(w, c);
    if (n.frames && quorvane_cs_send_room(cs) < n.frames) return false;
    return n.sealed == 0 || quorvane_cs_pending_room(cs) >= n.sealed;
}

const char *or_empty(const char *s) { return s ? s : ""; }

// Kind 1: a two-member conversation starts its device sessions at once when
// the public slot holds a usable bundle of the other member. The screens take
// the bundle before they create the conversation from it, so a taken bundle
// still counts: taking only ends its being handed out.
void dm_init_from_slot(quorvane_worker *w, quorvane_cs *cs, const quorvane_wcmd *c) {
    if (c->member_count != 2 || !c->members) return;
    const quorvane_prekey_reply &b = w->pub_prekeys;
    if (!b.complete || b.device_count == 0) return;
    const quorvane_member *other = nullptr;
    for (size_t i = 0; i < 2; i++)
        if (std::memcmp(c->members[i].user_id, w->status.user_id, 16) != 0) other = &c->members[i];
    if (!other || std::memcmp(other->user_id, b.user_id, 16) != 0) return;
    quorvane_peer peer{};
    quorvane_cs_peer_devices_from_prekeys(&peer, &b);
    if (quorvane_cs_dm_init(cs, c->conv, &peer) != 0)
        n_log(LOG_NOTICE, "worker: conv %02x%02x%02x%02x: no device session could be started", c->conv[0], c->conv[1], c->conv[2],
              c->conv[3]);
}

// Kind 7: the highest counter among the stored messages others wrote.
void mark_read(quorvane_worker *w, quorvane_cs *cs, const uint8_t conv_id[16]) {
    if (!w->ms) return;
    uint64_t highest = 0;
    const size_t n = quorvane_msgstore_msg_count(w->ms, conv_id);
    auto *rec = static_cast<quorvane_ms_msgrec *>(std::calloc(1, sizeof(quorvane_ms_msgrec)));
    if (!rec) return;
    for (size_t i = 0; i < n; i++) {
        if (quorvane_msgstore_msg_at(w->ms, conv_id, i, rec) != 0) continue;
        if (std::memcmp(rec->author, w->status.user_id, 16) != 0) highest = std::max(highest, rec->msg_id);
    }
    quorvane_cleanse(rec, sizeof *rec);
    std::free(rec);
    if (highest > 0) (void)quorvane_cs_send_read_receipt(cs, conv_id, highest);
}

// Kind 44: one tag per non-empty line, at most 16, each cut to 47 bytes.
void meta_set(quorvane_cs *cs, const quorvane_wcmd *c) {
    char tags[QV_CS_META_TAGS][QV_CS_META_TAG_LEN] = {};
    size_t count = 0;
    const char *p = c->text;
    while (p && *p && count < QV_CS_META_TAGS) {
        const char *nl = std::strchr(p, '\n');
        const size_t len = nl ? static_cast<size_t>(nl - p) : std::strlen(p);
        if (len > 0) std::memcpy(tags[count++], p, std::min(len, TAG_TEXT_MAX));
        if (!nl) break;
        p = nl + 1;
    }
    (void)quorvane_cs_instance_meta_set(cs, c->conv, tags, count);
}

// Kind 50: the conversations a new deep search walks, newest first.
void deep_fill(quorvane_worker *w) {
    quorvane_deep *d = w->deep;
    if (!d || !d->running || d->conv_count != 0 || !w->ms) return;
    struct cand {
        const uint8_t *id;
        uint64_t newest;
    };
    cand kept[QV_DEEP_CONV_MAX];
    size_t count = 0;
    auto *rec = static_cast<quorvane_ms_msgrec *>(std::calloc(1, sizeof(quorvane_ms_msgrec)));
    if (!rec) return;
    const size_t total = quorvane_msgstore_conv_count(w->ms);
    for (size_t i = 0; i < total; i++) {
        const quorvane_ms_conv *conv = quorvane_msgstore_conv_at(w->ms, i);
        if (!conv || !conv->has_key || quorvane_msgstore_ratchet_devices(w->ms, conv->id, nullptr, 0) != 0 ||
            quorvane_msgstore_oldest_cursor(w->ms, conv->id) == 1)
            continue;
        uint64_t newest = 0;
        const size_t n = quorvane_msgstore_msg_count(w->ms, conv->id);
        if (n > 0 && quorvane_msgstore_msg_at(w->ms, conv->id, n - 1, rec) == 0) newest = rec->msg_id;
        // after every kept one that is at least as new: equal values keep their store order
        size_t at = 0;
        while (at < count && kept[at].newest >= newest) at++;
        if (at == QV_DEEP_CONV_MAX) continue;
        if (count == QV_DEEP_CONV_MAX) count--;
        std::memmove(&kept[at + 1], &kept[at], (count - at) * sizeof kept[0]);
        kept[at] = {conv->id, newest};
        count++;
    }
    quorvane_cleanse(rec, sizeof *rec);
    std::free(rec);
    for (size_t i = 0; i < count; i++)
        (void)quorvane_deep_add_conv(d, kept[i].id, quorvane_msgstore_oldest_cursor(w->ms, kept[i].id),
                                     quorvane_msgstore_history_floor(w->ms, kept[i].id));
}

void change_password(quorvane_worker *w, quorvane_cs *cs, quorvane_wcmd *c) {
    // One change at a time: an answer reseals the key file under the pending
    // password, so a second request in flight would have the first answer
    // seal it under a password the server never took.
    int r = -1;
    if (!w->pending_new_password) {
        // three scrypts (both auth values, the new escrow): the screens must not wait for them
        unlocked u(w);
        r = quorvane_cs_change_password(cs, or_empty(c->text), or_empty(c->text2));
    }
    if (r != 0) {
        w->pwchange_ready = 1;
        w->pwchange_code = 4;
        return;
    }
    w->pending_new_password = c->text2;  // the record no longer wipes it: the run does, or adopts it
    c->text2 = nullptr;
}

// Applies one command; the session's results come back through the run.
// Returns the message-send call's result for the kinds that send one, else 0.
int apply_one(quorvane_worker *w, quorvane_cs *cs, quorvane_wcmd *c) {
    const uint8_t *conv = c->conv;
    quorvane_msgstore *ms = w->ms;
    switch (c->kind) {
    case 0:
        w->for_dm = c->flag;
        (void)quorvane_cs_request_prekeys(cs, c->name);
        break;
    case 1:
        if (quorvane_cs_create_conv(cs, conv, c->key, c->members, c->member_count) != 0)
            n_log(LOG_NOTICE, "worker: conv %02x%02x%02x%02x: create failed", conv[0], conv[1], conv[2], conv[3]);
        dm_init_from_slot(w, cs, c);
        break;
    case 2: return c->text ? quorvane_cs_send_text(cs, conv, c->text) : -1;
    case 3: (void)quorvane_cs_sync(cs); break;
    case 4:
        if (c->text && ms) (void)quorvane_msgstore_set_label(ms, conv, c->text);
        break;
    case 5:
        if (ms) (void)quorvane_msgstore_set_peer(ms, conv, c->id, c->key);
        break;
    case 6: (void)quorvane_cs_send_typing(cs, conv); break;
    case 7: mark_read(w, cs, conv); break;
    case 8:
        (void)quorvane_cs_send_profile(cs, conv);
        (void)quorvane_cs_send_avatar(cs, conv);
        break;
    case 9: return c->text ? quorvane_cs_send_group_name(cs, conv, c->text) : 0;
    case 10: (void)quorvane_cs_group_rekey(cs, conv, c->key, c->members, c->member_count); break;
    case 11: return c->text ? quorvane_cs_send_system(cs, conv, c->text) : 0;
    case 12:
        if (c->member_count) (void)quorvane_cs_group_rekey(cs, conv, c->key, c->members, c->member_count);
        if (ms) (void)quorvane_msgstore_delete_conv(ms, conv);
        break;
    case 13: (void)quorvane_cs_channel_list(cs); break;
    case 14: (void)quorvane_cs_channel_join_request(cs, conv); break;
    case 15:
        (void)quorvane_cs_create_channel(cs, conv, c->key, c->small, c->members, c->member_count, c->has_opt_id ? c->opt_id : nullptr);
        break;
    case 16: (void)quorvane_cs_admin_list_pending(cs); break;
    case 17: (void)quorvane_cs_admin_approve(cs, c->id, c->flag); break;
    case 18: (void)quorvane_cs_admin_set_role(cs, c->id, c->flag); break;
    case 19: (void)quorvane_cs_admin_list_users(cs); break;
    case 20: return quorvane_cs_send_delete(cs, conv, c->id, c->ref, c->value);
    case 21: return c->text ? quorvane_cs_send_reaction(cs, conv, c->id, c->ref, c->value, c->text, c->flag) : 0;
    case 22: return c->text ? quorvane_cs_send_reply(cs, conv, c->id, c->value, c->text) : 0;
    case 23: return c->text ? quorvane_cs_send_edit(cs, conv, c->ref, c->value, c->text) : 0;
    case 24: (void)quorvane_cs_mod_action(cs, conv, c->id, c->flag); break;
    case 25: (void)quorvane_cs_delete_channel(cs, conv); break;
    case 26: (void)quorvane_cs_set_channel_role(cs, conv, c->id, c->flag); break;
    case 27: (void)quorvane_cs_purge_messages(cs, conv, c->id, c->value); break;
    case 28: (void)quorvane_cs_channel_join_list(cs, conv); break;
    case 29: (void)quorvane_cs_channel_join_deny(cs, conv, c->id); break;
    case 30: (void)quorvane_cs_retention_get(cs, c->flag ? conv : nullptr); break;
    case 31: (void)quorvane_cs_retention_set(cs, c->flag ? conv : nullptr, c->value32); break;
    case 32: (void)quorvane_cs_group_reseal(cs, conv, c->members, c->member_count); break;
    case 33: (void)quorvane_cs_auto_roles_get(cs, conv); break;
    case 34: (void)quorvane_cs_auto_roles_set(cs, conv, c->value32); break;
    case 35:
        (void)quorvane_cs_revoke_device(cs, c->ref, c->ref + 32);
        w->revoking = 1;
        std::memcpy(w->revoking_key, c->ref, 32);
        break;
    case 36:
        if (c->members && c->member_count) (void)quorvane_cs_group_rekey_exclude(cs, conv, c->members, c->member_count, c->ref);
        break;
    case 37: (void)quorvane_cs_register_push(cs, or_empty(c->text)); break;
    case 38:
        (void)quorvane_cs_admin_set_mod_scope(cs, c->id, c->flag, c->list, c->list_count);
        break;
    case 39: (void)quorvane_cs_instance_join(cs, conv); break;
    case 40: (void)quorvane_cs_instance_leave(cs, conv); break;
    case 41: (void)quorvane_cs_invite_create(cs, conv, c->value, c->value32); break;
    case 42: (void)quorvane_cs_invite_list(cs, conv); break;
    case 43: (void)quorvane_cs_invite_revoke(cs, conv, c->ref); break;
    case 44: meta_set(cs, c); break;
    case 45: (void)quorvane_cs_channel_group_set(cs, conv, c->ref[0], c->ref[1], c->ref[2]); break;
    case 46: (void)quorvane_cs_instance_kick(cs, conv, c->id, c->flag); break;
    case 47: (void)quorvane_cs_instance_role_set(cs, conv, c->id, c->flag); break;
    case 48: (void)quorvane_cs_instance_members_get(cs, conv); break;
    case 49:
        if (quorvane_cs_backfill(cs, conv, c->value, 0) != 0) {
            w->backfill_running = 0;
            w->backfill_revision++;
        }
        break;
    case 50:
        deep_fill(w);
        w->search_revision++;
        break;
    case 51:
        if (quorvane_cs_delete_account(cs, or_empty(c->text)) != 0) {
            w->delete_ready = 1;
            w->delete_code = 4;
        }
        break;
    case 52: change_password(w, cs, c); break;
    case 53: (void)quorvane_cs_channel_set_listing(cs, conv, or_empty(c->text)); break;
    case 54: (void)quorvane_cs_send_read_mark(cs, conv, c->value); break;
    case 55:
        w->for_dm = 1;
        (void)quorvane_cs_request_prekeys_by_id(cs, c->id);
        break;
    case 56: (void)quorvane_cs_dm_reset(cs, conv); break;
    case 61: return c->text ? quorvane_cs_send_sticker(cs, conv, c->text, c->value32) : 0;
    default: break;  // 57-60: nothing
    }
    return 0;
}

}  // namespace

int cmd_enqueue(quorvane_worker *w, quorvane_wcmd *c) {
    if (!c) return -1;
    if (!w) {
        wcmd_free(c);
        return -1;
    }
    pthread_mutex_lock(&w->mu);
    const bool ok = w->ms && !w->thread_ended && w->cmd_count < QV_WCMD_QUEUE_MAX;
    if (ok) {
        c->next = nullptr;
        if (w->cmd_tail)
            w->cmd_tail->next = c;
        else
            w->cmd_head = c;
        w->cmd_tail = c;
        w->cmd_count++;
    }
    pthread_mutex_unlock(&w->mu);
    if (!ok) wcmd_free(c);
    return ok ? 0 : -1;
}

void wcmd_free(quorvane_wcmd *c) {
    if (!c) return;
    const size_t tl = wipe_text(c->text), t2l = wipe_text(c->text2);
    quorvane_cleanse(c->key, sizeof c->key);
#ifdef QV_ENGINE_TEST_HOOKS
    if (qv_wcmd_wiped_probe) qv_wcmd_wiped_probe(c, c->text, tl, c->text2, t2l);
#else
    (void)tl;
    (void)t2l;
#endif
    std::free(c->text);
    std::free(c->text2);
    std::free(c->members);
    std::free(c->list);
    std::free(c);
}

void apply_commands(quorvane_worker *w, quorvane_cs *cs) {
    if (!w) return;
    while (quorvane_wcmd *c = w->cmd_head) {
        if (c->kind >= 0 && c->kind < QV_WCMD_KINDS) {
            if (!has_room(w, cs, c)) break;  // it and all behind it wait, in order, for the ring to drain
            if (apply_one(w, cs, c) != 0 && is_message_send(c->kind)) {
                n_log(LOG_NOTICE, "worker: conv %02x%02x%02x%02x: send of kind %d failed", c->conv[0], c->conv[1], c->conv[2],
                      c->conv[3], c->kind);
                send_ring_push(w, c->conv, 0, 0);
                w->cmd_failed_sends++;
            }
        }
        w->cmd_head = c->next;
        if (!w->cmd_head) w->cmd_tail = nullptr;
        w->cmd_count--;
        wcmd_free(c);
    }
}

void cmd_queue_flush(quorvane_worker *w) {
    if (!w) return;
    while (quorvane_wcmd *c = w->cmd_head) {
        w->cmd_head = c->next;
        wcmd_free(c);
    }
    w->cmd_tail = nullptr;
    w->cmd_count = 0;
}
