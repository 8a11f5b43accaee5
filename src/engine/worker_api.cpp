// Public functions that queue commands or read the worker's rings.
#include "worker_internal.h"

#include "client_dm.h"
#include "client_send.h"
#include "engine_clock.h"
#include "quorvane_crypto.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

quorvane_wcmd *new_cmd(int32_t kind, const uint8_t *conv_id) {
    auto *c = static_cast<quorvane_wcmd *>(std::calloc(1, sizeof(quorvane_wcmd)));
    if (!c) return nullptr;
    c->kind = kind;
    if (conv_id) std::memcpy(c->conv, conv_id, 16);
    return c;
}

// Queues a command carrying a copy of `text`; the copy is wiped with the record.
int queue_with_text(quorvane_worker *w, quorvane_wcmd *c, const char *text) {
    if (!c) return -1;
    if (text && !(c->text = strdup(text))) {
        wcmd_free(c);
        return -1;
    }
    return cmd_enqueue(w, c);
}

// Length of `s` when it is 1 to `max` bytes, else 0.
size_t bounded_len(const char *s, size_t max) {
    if (!s) return 0;
    const size_t n = strnlen(s, max + 1);
    return n <= max ? n : 0;
}

// The record with our own member first and the caller's after it, or null when
// the worker is not connected (the own member is not known for sure then).
quorvane_wcmd *with_own_member(quorvane_worker *w, int32_t kind, const uint8_t conv_id[16], const quorvane_member *members, size_t n) {
    if (n >= QV_MS_MEMBER_MAX || (n && !members)) return nullptr;
    quorvane_wcmd *c = new_cmd(kind, conv_id);
    if (!c) return nullptr;
    c->members = static_cast<quorvane_member *>(std::calloc(n + 1, sizeof(quorvane_member)));
    if (!c->members) {
        wcmd_free(c);
        return nullptr;
    }
    pthread_mutex_lock(&w->mu);
    const bool connected = w->status.code == QV_WS_CONNECTED && w->keys_loaded;
    if (connected) {
        quorvane_member &own = c->members[0];
        std::memcpy(own.user_id, w->status.user_id, 16);
        std::memcpy(own.identity, w->keys.identity_pub, 32);
        // the account's devices as the server last listed them, and this one
        const size_t listed = w->own_bundle_known ? std::min<uint64_t>(w->own_bundle.device_count, QV_PREKEY_DEVICES) : 0;
        bool self_listed = false;
        for (size_t i = 0; i < listed; i++) {
            const quorvane_prekey_device &d = w->own_bundle.devices[i];
            std::memcpy(own.devices[own.device_count], d.dev_x, 32);
            std::memcpy(own.devices[own.device_count] + 32, d.dev_ed, 32);
            own.device_count++;
            self_listed = self_listed || std::memcmp(d.dev_x, w->keys.device_x25519_pub, 32) == 0;
        }
        if (!self_listed && own.device_count < QV_PREKEY_DEVICES) {
            std::memcpy(own.devices[own.device_count], w->keys.device_x25519_pub, 32);
            std::memcpy(own.devices[own.device_count] + 32, w->keys.device_ed25519_pub, 32);
            own.device_count++;
        }
    }
    pthread_mutex_unlock(&w->mu);
    if (!connected) {
        wcmd_free(c);
        return nullptr;
    }
    if (n) std::memcpy(c->members + 1, members, n * sizeof(quorvane_member));
    c->member_count = n + 1;
    return c;
}

int request_prekeys_tagged(quorvane_worker *w, const char *user, uint8_t for_dm) {
    const size_t n = bounded_len(user, QV_CS_USER_MAX);
    if (!w || n == 0) return -1;
    quorvane_wcmd *c = new_cmd(0, nullptr);
    if (!c) return -1;
    std::memcpy(c->name, user, n);
    c->flag = for_dm;
    return cmd_enqueue(w, c);
}

void copy_device(uint8_t dst[64], const uint8_t *device_key) {
    if (device_key) std::memcpy(dst, device_key, 32);
}

// The stored members of a conversation but ourselves and `excluded`, with
// their devices, taken with the store's locks.
size_t roster_peers(quorvane_worker *w, const uint8_t conv_id[16], const uint8_t *excluded, quorvane_member *out, size_t max) {
    size_t n = 0;
    with_store(w, [&](quorvane_msgstore *ms) {
        if (ms) n = worker_members(ms, conv_id, out, max, w->status.user_id, excluded, nullptr, nullptr, nullptr);
    });
    return n;
}

bool has_members(quorvane_worker *w, const uint8_t conv_id[16]) {
    bool any = false;
    with_store(w, [&](quorvane_msgstore *ms) { any = ms && quorvane_msgstore_member_count(ms, conv_id) > 0; });
    return any;
}

// A command that names a user in a conversation: moderation, roles, purges.
int queue_user_op(quorvane_worker *w, int32_t kind, const uint8_t *conv_id, const uint8_t *user_id, uint8_t flag, uint64_t value) {
    if (!w || !conv_id || !user_id) return -1;
    quorvane_wcmd *c = new_cmd(kind, conv_id);
    if (!c) return -1;
    std::memcpy(c->id, user_id, 16);
    c->flag = flag;
    c->value = value;
    return cmd_enqueue(w, c);
}

int queue_conv_only(quorvane_worker *w, int32_t kind, const uint8_t *conv_id) {
    if (!w || !conv_id) return -1;
    return cmd_enqueue(w, new_cmd(kind, conv_id));
}

// Kind 10 with a fresh key, our own member first.
int rekey_with(quorvane_worker *w, const uint8_t conv_id[16], const quorvane_member *members, size_t n) {
    quorvane_wcmd *c = with_own_member(w, 10, conv_id, members, n);
    if (!c) return -1;
    if (quorvane_random(c->key, sizeof c->key) != 0) {
        wcmd_free(c);
        return -1;
    }
    return cmd_enqueue(w, c);
}

// A member list on the heap, wiped of nothing (member records are public keys).
struct member_buf {
    quorvane_member *p = static_cast<quorvane_member *>(std::calloc(QV_MS_MEMBER_MAX, sizeof(quorvane_member)));
    ~member_buf() { std::free(p); }
};

}  // namespace

/* ---- commands ---- */

int quorvane_worker_create_conv(quorvane_worker *w, const uint8_t conv_id[16], const uint8_t key[32], const quorvane_member *members,
                                size_t n) {
    if (!w || !conv_id || !key) return -1;
    quorvane_wcmd *c = with_own_member(w, 1, conv_id, members, n);
    if (!c) return -1;
    std::memcpy(c->key, key, 32);
    return cmd_enqueue(w, c);
}

int quorvane_worker_sync(quorvane_worker *w) { return w ? cmd_enqueue(w, new_cmd(3, nullptr)) : -1; }

int quorvane_worker_request_prekeys(quorvane_worker *w, const char *user) { return request_prekeys_tagged(w, user, 0); }

int quorvane_worker_request_prekeys_for_dm(quorvane_worker *w, const char *user) { return request_prekeys_tagged(w, user, 1); }

int quorvane_worker_send_text(quorvane_worker *w, const uint8_t conv_id[16], const char *text) {
    if (!w || !conv_id || bounded_len(text, QV_SEND_TEXT_MAX) == 0) return -1;
    bool changed = false;
    with_store(w, [&](quorvane_msgstore *ms) { changed = ms && quorvane_msgstore_identity_changed(ms, conv_id) > 0; });
    if (changed) return -1;  // the user must look at the new safety number first
    return queue_with_text(w, new_cmd(2, conv_id), text);
}

int quorvane_worker_send_system(quorvane_worker *w, const uint8_t conv_id[16], const char *text) {
    if (!w || !conv_id || bounded_len(text, QV_SEND_TEXT_MAX) == 0) return -1;
    return queue_with_text(w, new_cmd(11, conv_id), text);
}

int quorvane_worker_send_reply(quorvane_worker *w, const uint8_t conv_id[16], const uint8_t author[16], uint64_t counter,
                               const char *text) {
    if (!w || !conv_id || !author || !text || !*text) return -1;
    quorvane_wcmd *c = new_cmd(22, conv_id);
    if (!c) return -1;
    std::memcpy(c->id, author, 16);
    c->value = counter;
    return queue_with_text(w, c, text);
}

int quorvane_worker_send_edit(quorvane_worker *w, const uint8_t conv_id[16], const uint8_t *device_key, uint64_t counter,
                              const char *text) {
    if (!w || !conv_id || !text || !*text) return -1;
    quorvane_wcmd *c = new_cmd(23, conv_id);
    if (!c) return -1;
    copy_device(c->ref, device_key);
    c->value = counter;
    return queue_with_text(w, c, text);
}

int quorvane_worker_delete_message(quorvane_worker *w, const uint8_t conv_id[16], const uint8_t author[16], const uint8_t *device_key,
                                   uint64_t counter) {
    if (!w || !conv_id || !author) return -1;
    quorvane_wcmd *c = new_cmd(20, conv_id);
    if (!c) return -1;
    std::memcpy(c->id, author, 16);
    copy_device(c->ref, device_key);
    c->value = counter;
    return cmd_enqueue(w, c);
}

int quorvane_worker_react(quorvane_worker *w, const uint8_t conv_id[16], const uint8_t author[16], const uint8_t *device_key,
                          uint64_t counter, const char *name, int add) {
    if (!w || !conv_id || !author || !name || !*name) return -1;
    quorvane_wcmd *c = new_cmd(21, conv_id);
    if (!c) return -1;
    std::memcpy(c->id, author, 16);
    copy_device(c->ref, device_key);
    c->value = counter;
    c->flag = add ? 1 : 0;
    return queue_with_text(w, c, name);
}

/* ---- conversations and groups ---- */

int quorvane_worker_create_channel(quorvane_worker *w, const uint8_t conv_id[16], const uint8_t key[32], uint32_t kind,
                                   const quorvane_member *members, size_t n, const uint8_t *instance_id) {
    // the kind travels as one byte: a larger one would arrive as another kind
    if (!w || !conv_id || !key || kind > UINT8_MAX) return -1;
    quorvane_wcmd *c = with_own_member(w, 15, conv_id, members, n);
    if (!c) return -1;
    std::memcpy(c->key, key, 32);
    c->small = static_cast<uint8_t>(kind);
    if (instance_id) {
        std::memcpy(c->opt_id, instance_id, 16);
        c->has_opt_id = 1;
    }
    return cmd_enqueue(w, c);
}

int quorvane_worker_group_rekey(quorvane_worker *w, const uint8_t conv_id[16], const quorvane_member *members, size_t n) {
    if (!w || !conv_id) return -1;
    return rekey_with(w, conv_id, members, n);
}

int quorvane_worker_group_remove(quorvane_worker *w, const uint8_t conv_id[16], const uint8_t user_id[16]) {
    if (!w || !conv_id || !user_id) return -1;
    member_buf list;
    if (!list.p) return -1;
    const size_t n = roster_peers(w, conv_id, user_id, list.p, QV_MS_MEMBER_MAX - 1);
    if (n == 0) return -1;  // nobody would hold the new key but us
    return rekey_with(w, conv_id, list.p, n);
}

int quorvane_worker_group_add(quorvane_worker *w, const uint8_t conv_id[16], const quorvane_member *member) {
    if (!w || !conv_id || !member || !has_members(w, conv_id)) return -1;
    member_buf list;
    if (!list.p) return -1;
    // our own member and the new one take two of the places the store keeps
    const size_t n = roster_peers(w, conv_id, member->user_id, list.p, QV_MS_MEMBER_MAX - 2);
    list.p[n] = *member;
    quorvane_wcmd *c = with_own_member(w, 32, conv_id, list.p, n + 1);
    return c ? cmd_enqueue(w, c) : -1;
}

int quorvane_worker_group_rekey_exclude(quorvane_worker *w, const uint8_t conv_id[16], const quorvane_member *members, size_t n,
                                        const uint8_t device_key[32]) {
    if (!w || !conv_id || !members || !device_key || n == 0 || n > QV_MS_MEMBER_MAX) return -1;
    quorvane_wcmd *c = new_cmd(36, conv_id);
    if (!c) return -1;
    c->members = static_cast<quorvane_member *>(std::calloc(n, sizeof(quorvane_member)));
    if (!c->members) {
        wcmd_free(c);
        return -1;
    }
    std::memcpy(c->members, members, n * sizeof(quorvane_member));
    c->member_count = n;
    std::memcpy(c->ref, device_key, 32);
    return cmd_enqueue(w, c);
}

int quorvane_worker_group_leave(quorvane_worker *w, const uint8_t conv_id[16]) {
    if (!w || !conv_id) return -1;
    member_buf list;
    if (!list.p) return -1;
    const size_t n = roster_peers(w, conv_id, nullptr, list.p, QV_MS_MEMBER_MAX);
    quorvane_wcmd *c = new_cmd(12, conv_id);
    if (!c) return -1;
    if (n > 0) {
        // those who stay get a key we do not keep
        c->members = static_cast<quorvane_member *>(std::calloc(n, sizeof(quorvane_member)));
        if (!c->members || quorvane_random(c->key, sizeof c->key) != 0) {
            wcmd_free(c);
            return -1;
        }
        std::memcpy(c->members, list.p, n * sizeof(quorvane_member));
        c->member_count = n;
    }
    return cmd_enqueue(w, c);
}

int quorvane_worker_dm_reset(quorvane_worker *w, const uint8_t conv_id[16]) { return queue_conv_only(w, 56, conv_id); }

/* ---- messages and moderation ---- */

int quorvane_worker_send_sticker(quorvane_worker *w, const uint8_t conv_id[16], const char *name, uint32_t value) {
    if (!w || !conv_id || bounded_len(name, QV_MSG_NAME_MAX) == 0) return -1;
    quorvane_wcmd *c = new_cmd(61, conv_id);
    if (!c) return -1;
    c->value32 = value;
    return queue_with_text(w, c, name);
}

int quorvane_worker_mod_action(quorvane_worker *w, const uint8_t conv_id[16], const uint8_t user_id[16], uint8_t action) {
    return queue_user_op(w, 24, conv_id, user_id, action, 0);
}

int quorvane_worker_set_channel_role(quorvane_worker *w, const uint8_t conv_id[16], const uint8_t user_id[16], uint8_t role) {
    return queue_user_op(w, 26, conv_id, user_id, role, 0);
}

int quorvane_worker_purge_messages(quorvane_worker *w, const uint8_t conv_id[16], const uint8_t user_id[16], uint64_t value) {
    return queue_user_op(w, 27, conv_id, user_id, 0, value);
}

int quorvane_worker_delete_channel(quorvane_worker *w, const uint8_t conv_id[16]) { return queue_conv_only(w, 25, conv_id); }

/* ---- prekeys, rings and the hook ---- */

int quorvane_worker_take_prekeys(quorvane_worker *w, quorvane_prekey_reply *out) {
    if (!w || !out) return 0;
    pthread_mutex_lock(&w->mu);
    int rc = 0;
    if (w->pub_prekeys_ready) {
        // a bundle asked for a direct message waits a little for the first sync,
        // which may already hold the conversation it is for
        const int own = std::memcmp(w->pub_prekeys.user_id, w->status.user_id, 16) == 0;
        const uint64_t now = quorvane_engine_now_ms();
        const uint64_t age = now > w->pub_prekeys_ms ? now - w->pub_prekeys_ms : 0;
        if (!w->pub_prekeys_for_dm || !quorvane_dm_hold_bundle(own, w->last_sync != 0, age, QV_DM_HOLD_LIMIT_MS)) {
            std::memcpy(out, &w->pub_prekeys, sizeof *out);
            w->pub_prekeys_ready = 0;  // the bundle stays for the conversation made from it
            rc = 1;
        }
    }
    pthread_mutex_unlock(&w->mu);
    return rc;
}

int quorvane_worker_poll_notification(quorvane_worker *w, quorvane_notification *out) {
    if (!w) return 0;
    pthread_mutex_lock(&w->mu);
    int rc = 0;
    if (w->note_count > 0) {
        if (out) std::memcpy(out, &w->note_ring[w->note_head], sizeof *out);
        quorvane_cleanse(&w->note_ring[w->note_head], sizeof w->note_ring[0]);
        w->note_head = (w->note_head + 1) % QV_WNOTE_RING;
        w->note_count--;
        rc = 1;
    }
    pthread_mutex_unlock(&w->mu);
    return rc;
}

int quorvane_worker_poll_send_result(quorvane_worker *w, uint8_t conv_id[16], uint64_t *counter, int *ok) {
    if (!w) return 0;
    pthread_mutex_lock(&w->mu);
    int rc = 0;
    if (w->send_count > 0) {
        const qv_wsend_result &r = w->send_ring[w->send_head];
        if (conv_id) std::memcpy(conv_id, r.conv_id, 16);
        if (counter) *counter = r.counter;
        if (ok) *ok = r.ok;
        w->send_head = (w->send_head + 1) % QV_WSEND_RING;
        w->send_count--;
        rc = 1;
    }
    pthread_mutex_unlock(&w->mu);
    return rc;
}

void quorvane_worker_set_notify_hook(quorvane_worker *w, void (*hook)(void *), void *user) {
    if (!w) return;
    pthread_mutex_lock(&w->mu);
    w->hook = hook;
    w->hook_user = user;
    pthread_mutex_unlock(&w->mu);
}

#ifdef QV_ENGINE_TEST_HOOKS
void quorvane_worker_test_with_store(quorvane_worker *w, void (*fn)(quorvane_msgstore *, void *), void *user) {
    if (!w || !fn) return;
    with_store(w, [&](quorvane_msgstore *ms) { fn(ms, user); });
}
#endif
