// One connection's life on the worker's thread: sign in, become ready, then
// pass after pass apply the queued commands, drain the session's answers into
// the worker's copies and rings, wake the screens and sleep adaptively.
// The network I/O of each pass runs without the mutex; everything that opens
// envelopes or writes the message store runs under it, since the screens read
// the store under it.
#include "worker_internal.h"

#include "client_emojicache.h"
#include "client_search.h"
#include "client_seal.h"
#include "client_send.h"
#include "engine_clock.h"
#include "n_log.h"
#include "quorvane_crypto.h"
#include "quorvane_x3dh.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <unistd.h>

#ifdef QV_ENGINE_TEST_HOOKS
std::atomic<bool> qv_worker_write_in_place{false};
#endif

namespace {

constexpr uint64_t HISTORY_AGAIN_MS   = 300000;
constexpr uint64_t KEY_SWEEP_MS       = 15000;
constexpr uint64_t RETENTION_EVERY_MS = 300000;
constexpr uint32_t SEARCH_PAGE        = 200;
constexpr uint8_t  EMAIL_NOT_SENT     = 10;
constexpr uint8_t  RESEAL_FAILED      = 254;

// Rings keep the newest: a full ring drops its oldest entry.
template <typename T, size_t N>
void ring_push(T (&ring)[N], size_t &head, size_t &count, const T &v) {
    if (count < N) {
        ring[(head + count) % N] = v;
        count++;
    } else {
        ring[head] = v;
        head = (head + 1) % N;
    }
}

bool id_in(const uint8_t (*set)[16], size_t n, const uint8_t id[16]) {
    for (size_t i = 0; i < n; i++)
        if (std::memcmp(set[i], id, 16) == 0) return true;
    return false;
}

bool key_held(const quorvane_msgstore *ms, const uint8_t conv[16]) {
    uint8_t key[32];
    const int held = quorvane_msgstore_get_conv(ms, conv, key) == 1;
    OPENSSL_cleanse(key, sizeof key);
    return held;
}

bool is_member(const quorvane_member *m, size_t n, const uint8_t user[16]) {
    for (size_t i = 0; i < n; i++)
        if (std::memcmp(m[i].user_id, user, 16) == 0) return true;
    return false;
}

void deep_sink(void *ctx, const quorvane_ms_msgrec *rec) {
    auto *w = static_cast<quorvane_worker *>(ctx);
    if (w->deep && w->deep_page_generation == w->deep_generation) quorvane_deep_offer(w->deep, rec);
}

/* ---- becoming ready ---- */

void become_ready(quorvane_worker *w, quorvane_cs *cs) {
    const uint64_t now = worker_now_ms();
    pthread_mutex_lock(&w->mu);
    w->connected_at_ms = now;
    std::memcpy(w->status.user_id, quorvane_cs_user_id(cs), 16);
    w->status.role = quorvane_cs_role(cs);
    // A reset that could not move the old store aside runs without one; the
    // user must see why their messages are missing.
    worker_set_status_locked(w, QV_WS_CONNECTED, "%s", w->store_note ? QV_W_NO_STORE_TEXT : "");

    // The rest queues requests and may write the store (the published prekeys).
    if (w->revoke_previous_pending) {
        w->revoke_previous_pending = 0;
        if (quorvane_cs_revoke_device(cs, w->revoke_previous[0], w->revoke_previous[1]) == 0) {
            w->revoking = 1;
            std::memcpy(w->revoking_key, w->revoke_previous[0], 32);
        }
    }
    if (!w->prekeys_published && quorvane_cs_publish_prekeys(cs) == 0) w->prekeys_published = 1;
    w->grant_count = 0;
    w->key_asked_count = 0;
    w->next_key_sweep_ms = 0;
    w->next_hold_sync_ms = worker_now_ms() + static_cast<uint64_t>(w->hold_sync_ms);
    (void)quorvane_cs_key_requests_get(cs);
    (void)quorvane_cs_email_get(cs);
    if (!w->instances_requested && quorvane_cs_instance_list(cs) == 0) {
        w->instances_requested = 1;
        w->instances_copied = 0;
    }
    w->own_bundle_requested = 1;
    (void)quorvane_cs_request_prekeys(cs, w->username);
    (void)quorvane_cs_set_presence_public(cs, w->presence_public);
    w->first_sync_pending = 1;
    if (!w->no_initial_sync) (void)quorvane_cs_sync(cs);
    if (!w->history_requested && w->ms) {
        const size_t n = quorvane_msgstore_conv_count(w->ms);
        bool want = n == 0;
        for (size_t i = 0; i < n && !want; i++) {
            const quorvane_ms_conv *c = quorvane_msgstore_conv_at(w->ms, i);
            want = c && !key_held(w->ms, c->id);
        }
        if (want && quorvane_cs_request_history(cs) == 0) w->history_requested = 1;
    }
    xfer_on_ready(w);
    pthread_mutex_unlock(&w->mu);
}

/* ---- the steps of one pass (mutex held) ---- */

void step_email(quorvane_worker *w, quorvane_cs *cs) {
    if (w->email_req) {
        int r = -1;
        switch (w->email_req) {
        case 1: r = w->email_req_a && w->email_req_b ? quorvane_cs_email_set(cs, w->email_req_a, w->email_req_b) : -1; break;
        case 2: r = w->email_req_a ? quorvane_cs_email_verify(cs, w->email_req_a) : -1; break;
        case 3: r = w->email_req_a ? quorvane_cs_email_remove(cs, w->email_req_a) : -1; break;
        case 4: r = quorvane_cs_reset_cancel(cs); break;
        default: break;
        }
        w->email_req = 0;
        worker_wipe_free(&w->email_req_a);
        worker_wipe_free(&w->email_req_b);
        if (r != 0) {
            w->email_ack = EMAIL_NOT_SENT;
            w->email_ack_ready = 1;
        }
    }
    uint8_t ack = 0;
    if (quorvane_cs_take_email_ack(cs, &ack)) {
        w->email_ack = ack;
        w->email_ack_ready = 1;
        (void)quorvane_cs_email_get(cs);
    }
    if (quorvane_cs_take_email_info(cs, &w->email_info)) w->email_info_present = 1;
}

void step_deep_search(quorvane_worker *w, quorvane_cs *cs) {
    if (!w->deep || !w->deep->running) return;
    if (w->deep_cancel) {
        w->deep_cancel = 0;
        quorvane_deep_cancel(w->deep);
        w->search_revision++;
        return;
    }
    if (w->backfill_running || w->deep_page_inflight || quorvane_cs_backfill_inflight(cs)) return;
    uint8_t conv[16];
    uint64_t cursor = 0;
    if (!quorvane_deep_next(w->deep, cs_wall_ms(), conv, &cursor)) {
        w->search_revision++;
        return;
    }
    w->deep_page_generation = w->deep_generation;
    if (quorvane_cs_backfill_search(cs, conv, cursor, SEARCH_PAGE, deep_sink, w) != 0) {
        (void)quorvane_deep_page_failed(w->deep);
        w->search_revision++;
    } else {
        w->deep_page_inflight = 1;
    }
}

void step_history_peer(quorvane_worker *w, quorvane_cs *cs, const uint8_t own[16]) {
    uint8_t device[32];
    if (!quorvane_cs_take_history_peer(cs, device)) return;
    if (!w->ms) return;
    quorvane_member members[QV_MS_MEMBER_MAX];
    for (size_t i = 0; i < quorvane_msgstore_conv_count(w->ms); i++) {
        const quorvane_ms_conv *c = quorvane_msgstore_conv_at(w->ms, i);
        if (!c || !key_held(w->ms, c->id)) continue;
        uint8_t id[16];
        std::memcpy(id, c->id, 16);
        const size_t n = worker_members(w->ms, id, members, QV_MS_MEMBER_MAX, nullptr, nullptr, own, device, nullptr);
        if (n) (void)quorvane_cs_group_reseal(cs, id, members, n);
    }
}

bool granted(const quorvane_worker *w, const uint8_t conv[16], const uint8_t dev[32]) {
    for (size_t i = 0; i < w->grant_count; i++)
        if (std::memcmp(w->grants[i].conv, conv, 16) == 0 && std::memcmp(w->grants[i].dev, dev, 32) == 0) return true;
    return false;
}

void step_key_requests(quorvane_worker *w, quorvane_cs *cs) {
    quorvane_member members[QV_MS_MEMBER_MAX];
    quorvane_key_request kr;
    while (quorvane_cs_take_key_request(cs, &kr)) {
        if (!w->ms || std::memcmp(kr.dev_x, w->keys.device_x25519_pub, 32) == 0 || granted(w, kr.conv_id, kr.dev_x) ||
            !key_held(w->ms, kr.conv_id))
            continue;
        uint8_t ratchet[1][32];
        if (quorvane_msgstore_ratchet_devices(w->ms, kr.conv_id, ratchet, 0) > 0) continue;
        size_t n = worker_members(w->ms, kr.conv_id, members, QV_MS_MEMBER_MAX, nullptr, nullptr, nullptr, nullptr, nullptr);
        if (!is_member(members, n, kr.user_id)) continue;
        if (quorvane_msgstore_identity_tofu(w->ms, kr.user_id, kr.identity) < 0 ||
            quorvane_device_cert_verify(kr.identity, kr.dev_x, kr.dev_ed, kr.cert) != 0)
            continue;
        n = worker_members(w->ms, kr.conv_id, members, QV_MS_MEMBER_MAX, nullptr, nullptr, kr.user_id, kr.dev_x, kr.dev_ed);
        if (quorvane_cs_group_reseal_grant(cs, kr.conv_id, members, n, kr.dev_x, kr.dev_ed) == 0 &&
            w->grant_count < QV_W_GRANTS) {
            std::memcpy(w->grants[w->grant_count].conv, kr.conv_id, 16);
            std::memcpy(w->grants[w->grant_count].dev, kr.dev_x, 32);
            w->grant_count++;
        }
    }
}

void step_key_sweep(quorvane_worker *w, quorvane_cs *cs, uint64_t now) {
    if (!w->ms || now < w->next_key_sweep_ms) return;
    w->next_key_sweep_ms = now + KEY_SWEEP_MS;
    for (size_t i = 0; i < quorvane_msgstore_conv_count(w->ms) && w->key_asked_count < QV_W_KEY_ASKED; i++) {
        const quorvane_ms_conv *c = quorvane_msgstore_conv_at(w->ms, i);
        if (!c || !quorvane_msgstore_conv_locked(w->ms, c->id) || id_in(w->key_asked, w->key_asked_count, c->id)) continue;
        uint8_t id[16];
        std::memcpy(id, c->id, 16);
        if (quorvane_cs_send_key_request(cs, id) == 0) std::memcpy(w->key_asked[w->key_asked_count++], id, 16);
    }
}

// An envelope that does not open is tried again by the next sync, and set
// aside after a few: on a connection that lasts, nothing else would bring
// that sync, and the server would keep every copy behind it meanwhile.
void step_hold_sync(quorvane_worker *w, quorvane_cs *cs, uint64_t now) {
    if (!w->ms || now < w->next_hold_sync_ms) return;
    w->next_hold_sync_ms = now + static_cast<uint64_t>(w->hold_sync_ms);
    if (w->first_sync_pending) return;
    for (size_t i = 0; i < quorvane_msgstore_conv_count(w->ms); i++) {
        const quorvane_ms_conv *c = quorvane_msgstore_conv_at(w->ms, i);
        if (c && c->hold_pos) {
            (void)quorvane_cs_sync(cs);
            return;
        }
    }
}

void step_profile_answers(quorvane_worker *w, quorvane_cs *cs) {
    uint8_t id[16];
    while (quorvane_cs_take_profile_answer(cs, id)) {
        if (id_in(w->answered, w->answered_count, id)) continue;
        (void)quorvane_cs_send_profile(cs, id);
        (void)quorvane_cs_send_avatar(cs, id);
        if (w->answered_count < QV_W_PROFILE_ANSWERED) std::memcpy(w->answered[w->answered_count++], id, 16);
    }
}

// The server took a new password: the key file is sealed under it too, or
// the next sign-in would find the two apart. Mutex held.
void take_password_change(quorvane_worker *w, quorvane_cs *cs) {
    uint8_t r = 0;
    if (!quorvane_cs_take_password_change(cs, &r)) return;
    char *fresh = w->pending_new_password;
    w->pending_new_password = nullptr;
    if (r == 0 && fresh) {
        int sealed;
        {
            unlocked u(w);  // the reseal runs scrypt: the screens must not wait for it
            sealed = quorvane_client_store_reseal(w->keystore_path, fresh, &w->keys);
        }
        // The server takes only the new password from now on, sealed or
        // not: the next run signs in with it. A key file the reseal could not
        // replace still opens with the old one, which the key-file decision
        // asks for at the next start.
        if (sealed != 0) r = RESEAL_FAILED;
        worker_wipe_free(&w->adopt_password);
        w->adopt_password = fresh;
        fresh = nullptr;
    }
    worker_wipe_free(&fresh);
    w->pwchange_code = r;
    w->pwchange_ready = 1;
}

void step_results(quorvane_worker *w, quorvane_cs *cs) {
    uint8_t r = 0;
    if (quorvane_cs_take_account_delete(cs, &r)) {
        w->delete_code = r;
        w->delete_ready = 1;
    }
    take_password_change(w, cs);
    if (quorvane_cs_take_revoke(cs, &r)) {
        w->revoke_code = r;
        w->revoke_ready = 1;
        if (r == 0 && w->revoking && w->ms) {
            quorvane_member members[QV_MS_MEMBER_MAX];
            for (size_t i = 0; i < quorvane_msgstore_conv_count(w->ms); i++) {
                const quorvane_ms_conv *c = quorvane_msgstore_conv_at(w->ms, i);
                if (!c || c->member_count <= 1) continue;
                uint8_t id[16];
                std::memcpy(id, c->id, 16);
                const size_t n = worker_members(w->ms, id, members, QV_MS_MEMBER_MAX, nullptr, nullptr, nullptr, nullptr, nullptr);
                if (n > 1) (void)quorvane_cs_group_rekey_exclude(cs, id, members, n, w->revoking_key);
            }
        }
        w->revoking = 0;
    }
}

void step_presence(quorvane_worker *w, quorvane_cs *cs) {
    uint8_t conv[16];
    uint64_t counter = 0;
    if (quorvane_cs_get_typing(cs, conv, &counter) && counter > w->typing_counter) {
        std::memcpy(w->typing_conv, conv, 16);
        w->typing_counter = counter;
    }
    w->presence_count = quorvane_cs_presence_copy(cs, w->presence_ids, w->presence_online, QV_PRESENCE_MAX);
    for (size_t i = 0; i < w->presence_count; i++) w->presence_seen[i] = quorvane_cs_last_seen(cs, w->presence_ids[i]);
}

void step_backfill(quorvane_worker *w, quorvane_cs *cs) {
    uint8_t conv[16];
    uint64_t count = 0, cursor = 0;
    uint8_t flag = 0;
    if (!quorvane_cs_backfill_result(cs, conv, &count, &cursor, &flag)) return;
    if (w->deep_page_inflight) {
        w->deep_page_inflight = 0;
        if (w->deep && w->deep_page_generation == w->deep_generation) quorvane_deep_page_done(w->deep, cursor, count > 0);
        w->search_revision++;
        return;
    }
    std::memcpy(w->backfill_conv, conv, 16);
    w->backfill_done_count = count;
    w->backfill_flag = flag;
    const uint64_t held = w->ms ? quorvane_msgstore_oldest_cursor(w->ms, conv) : 0;
    w->backfill_complete = quorvane_histwin_bf_done(&w->histwin_bf, w->backfill_cursor, held, 0, count > 0, cursor) == 1;
    w->backfill_revision++;
    w->backfill_running = 0;
}

// Copies a session list once per answer: the session clears its slot before
// asking again, which re-arms the copy.
template <typename F>
void copy_once(int session_ready, int &copied, F copy) {
    if (!session_ready) {
        copied = 0;
    } else if (!copied) {
        copy();
        copied = 1;
    }
}

void step_community(quorvane_worker *w, quorvane_cs *cs) {
    copy_once(quorvane_cs_channel_dir_ready(cs), w->dir_copied, [&] {
        w->dir_count = quorvane_cs_channel_dir_copy(cs, w->dir, QV_CS_CHANNEL_DIR);
        w->dir_ready = 1;
        w->dir_revision++;
    });
    if (quorvane_cs_instances_ready(cs) && !w->instances_copied) {
        if (!w->instances)
            w->instances = static_cast<quorvane_instdir_entry *>(std::calloc(QV_CS_INSTANCES, sizeof(quorvane_instdir_entry)));
        if (w->instances) {
            w->instance_count = quorvane_cs_instances_copy(cs, w->instances, QV_CS_INSTANCES);
            w->instances_ready = 1;
            w->instances_revision++;
        }
        w->instances_copied = 1;
    }
    uint8_t result = 0;
    if (quorvane_cs_take_instance_result(cs, &result, w->inst_id, &w->inst_has_id, w->inst_second, &w->inst_has_second)) {
        w->inst_result = result;
        w->inst_result_ready = 1;
    }
    copy_once(quorvane_cs_invites_ready(cs), w->invites_copied, [&] {
        w->invite_count = quorvane_cs_invites_copy(cs, w->invites, QV_CS_INVITES);
        w->invites_ready = 1;
        w->invites_revision++;
    });
    copy_once(quorvane_cs_instance_members_ready(cs), w->members_copied, [&] {
        w->member_count = quorvane_cs_instance_members_copy(cs, w->member_ids, w->member_roles, QV_CS_INST_MEMBERS,
                                                            w->second_ids, &w->second_count, QV_CS_INST_SECOND);
        w->members_ready = 1;
        w->members_revision++;
    });
    const uint32_t epoch = quorvane_cs_instances_epoch(cs);
    if (epoch != w->instances_epoch_seen) {
        w->instances_epoch_seen = epoch;
        if (quorvane_cs_instance_list(cs) == 0) w->instances_copied = 0;
    }
}

void note_join_count(quorvane_worker *w, const uint8_t conv[16], size_t n) {
    const uint16_t count = static_cast<uint16_t>(std::min<size_t>(n, 65535));
    for (qv_join_count &j : w->join_counts)
        if (j.count && std::memcmp(j.conv_id, conv, 16) == 0) {
            j.count = count;
            return;
        }
    if (!count) return;
    for (qv_join_count &j : w->join_counts)
        if (!j.count) {
            std::memcpy(j.conv_id, conv, 16);
            j.count = count;
            return;
        }
}

void step_admin(quorvane_worker *w, quorvane_cs *cs) {
    copy_once(quorvane_cs_join_reqs_ready(cs), w->joins_copied, [&] {
        uint8_t conv[16];
        if (!quorvane_cs_join_reqs_conv(cs, conv)) return;
        quorvane_member peers[QV_CS_JOIN_REQS];
        const size_t n = quorvane_cs_join_reqs_copy_peers(cs, peers, QV_CS_JOIN_REQS);
        note_join_count(w, conv, n);
        if (w->joinview_open && std::memcmp(w->joinview_conv, conv, 16) == 0) {
            std::memcpy(w->joinview_peers, peers, n * sizeof peers[0]);
            for (size_t i = 0; i < n; i++) w->joinview_rejoin[i] = quorvane_cs_join_reqs_is_rejoin(cs, peers[i].user_id) ? 1 : 0;
            w->joinview_count = n;
            w->joinview_ready = 1;
        }
    });
    const uint64_t wall = cs_wall_ms();
    const uint64_t now = worker_now_ms();
    if (w->ms && now >= w->next_retention_ms) {
        w->next_retention_ms = now + RETENTION_EVERY_MS;
        quorvane_msgstore_enforce_retention(w->ms, wall);
    }
    int has = 0;
    uint32_t value = 0;
    uint8_t conv[16];
    if (quorvane_cs_retention_read(cs, &has, conv, &value)) {
        w->retention_has_id = has;
        if (has) std::memcpy(w->retention_conv, conv, 16);
        w->retention_value = value;
        w->retention_ready = 1;
        if (has && w->ms && quorvane_msgstore_set_retention(w->ms, conv, value) == 0)
            quorvane_msgstore_enforce_retention(w->ms, wall);
    }
    uint32_t mask = 0;
    if (quorvane_cs_auto_roles_read(cs, conv, &mask)) {
        std::memcpy(w->auto_roles_conv, conv, 16);
        w->auto_roles_mask = mask;
        w->auto_roles_ready = 1;
    }
    w->roles_epoch = quorvane_cs_roles_epoch(cs);
    w->joins_epoch = quorvane_cs_joins_epoch(cs);
    w->read_marks_epoch = quorvane_cs_read_marks_epoch(cs);
    w->self_profile_epoch = quorvane_cs_self_profile_epoch(cs);
    if (quorvane_cs_admin_ready(cs)) {
        w->admin_status = quorvane_cs_admin_status(cs);
        w->admin_count = quorvane_cs_pending_copy(cs, w->admin, QV_CS_ADMIN_ENTRIES);
        w->admin_ready = 1;
        w->admin_revision++;
        quorvane_cs_admin_consume(cs);
    }
    const uint64_t synced = quorvane_cs_last_sync(cs);
    if (synced) {
        w->last_sync = synced;
        w->first_sync_pending = 0;
        // Only an aside this worker made, once the new identity's keys are on
        // disk: a reset the server refused, or one cut short, leaves the old
        // keys in force and the aside is then the only copy of their history.
        if (!w->asides_discarded && w->msgstore_dir && w->asides_made && !w->keys_new) {
            quorvane_msgstore_discard_asides(w->msgstore_dir);
            w->asides_discarded = 1;
        }
    }
}

// Send results and notifications into the rings; true when any arrived.
// A flood set aside over several passes is noted once while a note for its
// conversation waits here, as the session does in its own queue.
bool unopened_noted(const quorvane_worker *w, const uint8_t conv[16]) {
    for (size_t i = 0; i < w->note_count; i++) {
        const quorvane_notification &n = w->note_ring[(w->note_head + i) % QV_WNOTE_RING];
        if (n.type == QV_NOTE_UNOPENED && std::memcmp(n.conv_id, conv, 16) == 0) return true;
    }
    return false;
}

bool step_rings(quorvane_worker *w, quorvane_cs *cs, const uint8_t own[16]) {
    bool news = false;
    qv_wsend_result sr{};
    int ok = 0;
    while (quorvane_cs_poll_send_result(cs, sr.conv_id, &sr.counter, &ok)) {
        sr.ok = ok ? 1 : 0;
        if (w->ms) (void)quorvane_msgstore_set_send_status(w->ms, sr.conv_id, own, sr.counter, ok ? 2 : 3);
        ring_push(w->send_ring, w->send_head, w->send_count, sr);
        news = true;
    }
    quorvane_notification n;
    while (quorvane_cs_poll_notification(cs, &n)) {
        if (n.type == QV_NOTE_UNOPENED && unopened_noted(w, n.conv_id)) continue;
        ring_push(w->note_ring, w->note_head, w->note_count, n);
        news = true;
    }
    OPENSSL_cleanse(&n, sizeof n);
    if (quorvane_cs_push_registered(cs)) w->push_registered = 1;
    return news;
}

void end_batch(quorvane_worker *w) {
    if (!w->batch_open) return;
    w->batch_open = 0;
    if (w->ms && quorvane_msgstore_batch_end(w->ms) != 0) n_log(LOG_ERR, "worker: messages received could not all be written yet");
}

// Our own bundle tells which devices the account has; the one the sign-in
// asked for stops there. Every other bundle is for the screens.
void route_prekeys(quorvane_worker *w, quorvane_cs *cs, const quorvane_prekey_reply &reply, const uint8_t own[16]) {
    if (reply.complete && std::memcmp(reply.user_id, own, 16) == 0) {
        w->own_bundle = reply;
        w->own_bundle_known = 1;
        quorvane_cs_set_self_multidev(cs, reply.device_count > 1);
        if (w->own_bundle_requested) {
            w->own_bundle_requested = 0;
            return;
        }
    }
    w->pub_prekeys = reply;
    w->pub_prekeys_ready = 1;
    w->pub_prekeys_ms = quorvane_engine_now_ms();
    w->pub_prekeys_for_dm = w->for_dm;
}

// The session's pump: what came in is opened and stored with store_mu held
// and mu free. A batch's end copies its files' contents under store_mu and
// seals, writes and syncs them after letting it go, so a reader, which takes
// both locks, waits for the copying at most, never for the disk. Nothing the run sends after
// this rests on those files before they are written: this thread writes
// them before its next pass, and a sync writes whatever is due first.
void pump_into_store(quorvane_worker *w, quorvane_cs *cs) {
    pthread_mutex_lock(&w->store_mu);
    // A backlog of a thousand texts in one conversation would rewrite its
    // message file a thousand times: what arrives is written once when the
    // stream pauses, or every QV_W_BATCH_MS while it goes on. The server keeps
    // every copy until a sync names its cursor, and a sync writes first.
    if (w->ms && !w->batch_open) {
        quorvane_msgstore_batch_begin(w->ms);
        w->batch_open = 1;
        w->batch_since_ms = worker_now_ms();
    }
    const uint64_t before = quorvane_cs_activity(cs);
    quorvane_cs_pump(cs);
    bool queued = false;
    if (w->batch_open && (quorvane_cs_activity(cs) == before || worker_now_ms() - w->batch_since_ms >= QV_W_BATCH_MS)) {
#ifdef QV_ENGINE_TEST_HOOKS
        if (qv_worker_write_in_place) {
            end_batch(w);
            pthread_mutex_unlock(&w->store_mu);
            return;
        }
#endif
        w->batch_open = 0;
        if (quorvane_msgstore_batch_end_behind(w->ms) != 0) n_log(LOG_ERR, "worker: messages received could not all be queued yet");
        queued = true;
    }
    pthread_mutex_unlock(&w->store_mu);
    if (!queued) return;
    // the store pointer is this thread's to change: no lock needed to read it
    if (quorvane_msgstore_write_behind(w->ms) != 0) n_log(LOG_ERR, "worker: messages received could not all be written yet");
    pthread_mutex_lock(&w->store_mu);
    quorvane_msgstore_settle(w->ms);
    pthread_mutex_unlock(&w->store_mu);
}

// One pass with the mutex held, after the pump; returns whether the screens
// have news, and sets *busy when more work waits.
bool pass(quorvane_worker *w, quorvane_cs *cs, bool *busy, bool live) {
    uint8_t own[16];
    std::memcpy(own, quorvane_cs_user_id(cs), 16);
    *busy = w->cmd_count > 0 || (w->xfer.active && !w->xfer.done);
    const uint64_t failed_before = w->cmd_failed_sends;
    if (live) {
        apply_commands(w, cs);  // else they wait, in order, for the next run
        xfer_pump(w, cs);
    }
    step_email(w, cs);
    step_deep_search(w, cs);
    const uint64_t now = worker_now_ms();
    if (quorvane_cs_take_stale_keys(cs) && now >= w->next_history_ms) {
        (void)quorvane_cs_request_history(cs);
        w->next_history_ms = now + HISTORY_AGAIN_MS;
    }
    quorvane_prekey_reply reply;
    while (quorvane_cs_take_prekeys(cs, &reply)) route_prekeys(w, cs, reply, own);
    OPENSSL_cleanse(&reply, sizeof reply);
    step_history_peer(w, cs, own);
    step_key_requests(w, cs);
    step_key_sweep(w, cs, now);
    step_hold_sync(w, cs, now);
    step_profile_answers(w, cs);
    step_results(w, cs);
    step_presence(w, cs);
    step_backfill(w, cs);
    step_community(w, cs);
    step_admin(w, cs);
    w->emoji_epoch = quorvane_emoji_cache_version(w->emoji);
    w->sticker_epoch = quorvane_emoji_cache_version(w->sticker);
    // a send the ring had no room for is reported failed by apply_commands
    return step_rings(w, cs, own) || w->cmd_failed_sends != failed_before;
}

void connected_loop(quorvane_worker *w, quorvane_cs *cs) {
    uint64_t sleep_us = QV_W_LOOP_SLEEP_MIN_US;
    for (;;) {
        // Reading and writing the socket needs no lock: only this thread
        // touches the connection.
        quorvane_cnet_pump(cs->cnet);
        pump_into_store(w, cs);
        pthread_mutex_lock(&w->mu);
        // What that pump opened is taken even when the session ended in it or
        // stop came meanwhile: a revocation's or a password change's answer
        // must not be lost with the run.
        const bool ended = w->stop || quorvane_cs_get_state(cs) != QV_CS_SIGNED_IN;
        bool busy = false;
        const bool news = pass(w, cs, &busy, !ended);
        void (*hook)(void *) = w->hook;
        void *hook_user = w->hook_user;
        const uint64_t activity = quorvane_cs_activity(cs);
        pthread_mutex_unlock(&w->mu);
        if (ended) {
            if (news && hook) hook(hook_user);
            return;
        }
        if (news) {
            if (hook) hook(hook_user);
            sleep_us = QV_W_LOOP_SLEEP_MIN_US;
        } else if (busy || activity != w->activity_seen) {
            sleep_us = QV_W_LOOP_SLEEP_MIN_US;
        } else {
            sleep_us = std::min(2 * sleep_us, QV_W_LOOP_SLEEP_MAX_US);
        }
        w->activity_seen = activity;
        // What the commands queued goes out now, not after the sleep.
        if (quorvane_cnet_send_room(cs->cnet) < QV_CNET_RING) quorvane_cnet_pump(cs->cnet);
        // Input the last pump had to leave behind (its ring full, its budget
        // spent) is read at once: a backlog taken 64 frames per sleep would
        // trickle in at a fraction of what the socket gives. The locks are
        // still let go between passes.
        if (quorvane_cnet_input_waiting(cs->cnet)) {
            sched_yield();
            continue;
        }
        usleep(static_cast<useconds_t>(sleep_us));
    }
}

// The connection is gone: answers that came before the close are reported as
// usual, and every send still waiting for its acknowledgement is reported
// failed, in the ring and in the store, since the session that could match an
// acknowledgement to it dies with this run. A device-session send waits once
// per device under one counter; it is reported once. Mutex held; true when
// the rings have news.
bool fail_unacknowledged_sends(quorvane_worker *w, quorvane_cs *cs) {
    uint8_t own[16];
    std::memcpy(own, quorvane_cs_user_id(cs), 16);
    bool any = step_rings(w, cs, own);
    qv_wsend_result sr{}, last{};
    bool popped = false;
    while (cs_pending_pop(&cs->authed.pending, sr.conv_id, &sr.counter) == 1) {
        if (popped && sr.counter == last.counter && std::memcmp(sr.conv_id, last.conv_id, 16) == 0) continue;
        if (w->ms) (void)quorvane_msgstore_set_send_status(w->ms, sr.conv_id, own, sr.counter, 3);
        ring_push(w->send_ring, w->send_head, w->send_count, sr);
        last = sr;
        popped = any = true;
    }
    return any;
}

void leave_run(quorvane_worker *w, quorvane_cs *cs, uint32_t settled) {
    pthread_mutex_lock(&w->mu);
    end_batch(w);
    const bool news = fail_unacknowledged_sends(w, cs);
    void (*hook)(void *) = w->hook;
    void *hook_user = w->hook_user;
    uint8_t r = 0;
    if (quorvane_cs_take_account_delete(cs, &r)) {
        w->delete_code = r;
        w->delete_ready = 1;
    }
    // The last pump may have opened the answer and then seen the close or
    // stop: the server already holds the new password.
    take_password_change(w, cs);
    worker_wipe_free(&w->pending_new_password);  // its answer can no longer come
    w->backfill_running = 0;
    w->deep_page_inflight = 0;
    if (w->deep && w->deep->running) {
        quorvane_deep_offline(w->deep);
        w->search_revision++;
    }
    pthread_mutex_unlock(&w->mu);
    if (news && hook) hook(hook_user);
    w->fail_reason = quorvane_cs_fail_reason(cs);
    const char *detail = quorvane_cs_fail_detail(cs);
    std::snprintf(w->last_detail, sizeof w->last_detail, "%s", detail ? detail : "");
    if (settled == QV_CS_KEY_CHANGED) {
        pthread_mutex_lock(&w->mu);
        if (quorvane_cs_server_key(cs, w->server_key)) {
            w->server_tls_known = quorvane_cnet_peer_key_digest(cs->cnet, w->server_tls_key) == 0;
            w->server_key_pending = 1;
        }
        pthread_mutex_unlock(&w->mu);
    }
    quorvane_cs_free(cs);
    pthread_mutex_lock(&w->mu);
    if (w->adopt_password) {
        worker_wipe_free(&w->password);
        w->password = w->adopt_password;
        w->adopt_password = nullptr;
        OPENSSL_cleanse(w->pw_auth, sizeof w->pw_auth);
        w->pw_auth_ready = 0;
    }
    pthread_mutex_unlock(&w->mu);
}

void persist_new_keys(quorvane_worker *w) {
    const int r = w->persist_reseal ? quorvane_client_store_reseal(w->keystore_path, w->password, &w->keys)
                                    : quorvane_client_store_persist(w->keystore_path, w->password, &w->keys);
    if (r != 0) {
        w->key_save_failed = 1;
        return;
    }
    w->keys_new = 0;
    w->persist_reseal = 0;
    (void)quorvane_client_store_write_pub(w->keystore_path, &w->keys);
}

}  // namespace

size_t worker_members(const quorvane_msgstore *ms, const uint8_t conv[16], quorvane_member *out, size_t max, const uint8_t *skip_a,
                      const uint8_t *skip_b, const uint8_t *add_user, const uint8_t *add_x, const uint8_t *add_ed) {
    const size_t n = std::min(quorvane_msgstore_member_count(ms, conv), QV_MS_MEMBER_MAX);
    size_t k = 0;
    for (size_t i = 0; i < n && k < max; i++) {
        quorvane_member &m = out[k];
        std::memset(&m, 0, sizeof m);
        uint8_t second[32], role = 0;
        if (quorvane_msgstore_member_at(ms, conv, i, m.user_id, m.identity, second, &role) != 0) continue;
        if ((skip_a && std::memcmp(m.user_id, skip_a, 16) == 0) || (skip_b && std::memcmp(m.user_id, skip_b, 16) == 0)) continue;
        uint8_t first[QV_MS_MEMBER_DEVICES][32], sec[QV_MS_MEMBER_DEVICES][32];
        const size_t d = std::min(quorvane_msgstore_member_devices(ms, conv, m.user_id, first, sec, QV_MS_MEMBER_DEVICES),
                                  QV_MS_MEMBER_DEVICES);
        bool has_added = false;
        for (size_t j = 0; j < d; j++) {
            std::memcpy(m.devices[j], first[j], 32);
            std::memcpy(m.devices[j] + 32, sec[j], 32);
            if (add_x && std::memcmp(first[j], add_x, 32) == 0) has_added = true;
        }
        m.device_count = d;
        if (add_user && add_x && std::memcmp(m.user_id, add_user, 16) == 0 && !has_added && d < QV_MS_MEMBER_DEVICES) {
            std::memcpy(m.devices[d], add_x, 32);
            if (add_ed) std::memcpy(m.devices[d] + 32, add_ed, 32);
            m.device_count = d + 1;
        }
        k++;
    }
    if (k < max) std::memset(&out[k], 0, sizeof out[k]);  // the slot a skipped member was read into
    return k;
}

uint32_t run_one(quorvane_worker *w, int mode) {
    quorvane_cs_config c = worker_cs_config(w);
    c.keys = &w->keys;
    c.do_register = mode;
    c.register_extra = mode == 1 && w->reset_mode ? w->reset_code : nullptr;
    pthread_mutex_lock(&w->mu);
    c.store = w->ms;
    c.emoji_cache = w->emoji;
    c.emoji_pack0 = w->sticker;
    w->instances_requested = 0;
    pthread_mutex_unlock(&w->mu);
    quorvane_cs *cs = quorvane_cs_new(&c);
    if (!cs) {
        w->last_detail[0] = 0;
        return QV_CS_FAILED;
    }
    const uint32_t settled = worker_pump_settle(w, cs);
    if ((settled == QV_CS_SIGNED_IN || settled == QV_CS_REGISTERED) && w->keys_new) persist_new_keys(w);
    if (settled == QV_CS_SIGNED_IN && !w->key_save_failed) {
        become_ready(w, cs);
        connected_loop(w, cs);
    }
    leave_run(w, cs, settled);
    return settled;
}
