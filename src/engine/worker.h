// The client's background engine: one object owning one thread that signs in,
// keeps the protocol session alive, reconnects, applies the commands the
// screens queue, and copies the session's results where the screens read them.
// Every public function takes the worker's one mutex for the whole of its
// access and never waits for the thread (stop joins it). Mutators queue a
// command and return 0, or -1 when no message store is open, the queue is
// full, the thread has ended (status 4, 7 or 8), or an argument is missing; their effect shows later through readers.
// A null worker gives the function's failure value.
#pragma once

#include <cstddef>
#include <cstdint>

struct quorvane_worker;
struct quorvane_member;
struct quorvane_notification;
struct quorvane_msgstore;
struct quorvane_prekey_reply;
struct quorvane_file_meta;
struct quorvane_link_meta;
struct quorvane_ms_msgrec;
struct quorvane_ms_reaction_count;
struct quorvane_search_hit;

constexpr size_t QV_WORKER_TEXT_LEN = 160;

enum quorvane_worker_code : int32_t {
    QV_WS_CONNECTING = 0,
    QV_WS_CONNECTED = 1,
    QV_WS_AWAITING_APPROVAL = 2,
    QV_WS_RETRYING = 3,
    QV_WS_FAILED = 4,
    QV_WS_SERVER_KEY_CHANGED = 5,
    QV_WS_KEYFILE_DECISION = 6,
    QV_WS_PREAUTH_DONE = 7,
    QV_WS_UNREACHABLE = 8,
};

// Read only during start; every string is copied.
struct quorvane_worker_config {
    const char *server_host;       // required
    const char *server_port;       // required
    const char *username;          // required
    const char *password;          // required; also the key-store password
    const char *keystore_path;     // required; the backup state lives at this path + ".bk"
    const char *pin_path;          // required
    const char *msgstore_dir;      // optional: gives the blob cache and instance-avatar directories too
    const char *emoji_dir;         // optional
    const char *sticker_dir;       // optional
    int register_;                 // non-zero: sign up instead of signing in
    int backoff_initial_ms;        // 0: 1000
    int backoff_max_ms;            // 0: 60000
    int approval_poll_ms;          // 0: 5000
    int max_attempts;              // failed attempts before giving up while never connected; <= 0 unlimited
    uint64_t blob_cache_limit;     // 0: 128 MiB
    const char *recovery_key;      // optional: reset the password with the recovery key
    const char *reset_code;        // optional: re-register with an account reset code
    int preauth_mode;              // non-zero: one pre-authentication exchange, then status 7
    const char *email_code;        // optional: six digits redeemed for a reset code first
    int no_initial_sync;
    int relink_reconnects;
    int session_option;
    int presence_private;
    int notif_show;
    int hold_sync_ms;              // 0: 60000; how often to sync while an envelope holds a conversation's cursor
};

struct quorvane_worker_status {
    int32_t code;
    uint8_t user_id[16];
    uint8_t role;
    char    text[QV_WORKER_TEXT_LEN];  // NUL-terminated
};

// Lifecycle and status
[[nodiscard]] quorvane_worker *quorvane_worker_start(const quorvane_worker_config *config);  // null: bad config, no memory, no thread
void     quorvane_worker_stop(quorvane_worker *w);                                 // joins the thread, wipes and frees everything
int      quorvane_worker_get(quorvane_worker *w, quorvane_worker_status *out);     // -1 and "no worker" for a null worker
uint32_t quorvane_worker_emoji_version(quorvane_worker *w);
uint32_t quorvane_worker_sticker_version(quorvane_worker *w);
int      quorvane_worker_server_key(quorvane_worker *w, uint8_t out[32]);          // 1 while a changed key waits for a decision
int      quorvane_worker_accept_server_key(quorvane_worker *w);                   // -1 when no key waits
int      quorvane_worker_keyfile_old_password(quorvane_worker *w, const char *text);  // only while status 6 asks for it
int      quorvane_worker_keyfile_relink(quorvane_worker *w);
void     quorvane_worker_kick(quorvane_worker *w);                                 // ends the current nap
void     quorvane_worker_set_online(quorvane_worker *w, int online);
int      quorvane_worker_offline(quorvane_worker *w);
int      quorvane_worker_join_pending(quorvane_worker *w, const uint8_t conv_id[16]);
int      quorvane_worker_preauth_result(quorvane_worker *w, uint8_t out[56]);     // -1 until a result is present

// The last prekey reply for a user we asked about (not our own bundle)
int      quorvane_worker_take_prekeys(quorvane_worker *w, quorvane_prekey_reply *out);  // 1 and the reply, once

// Rings and the hook
int      quorvane_worker_poll_notification(quorvane_worker *w, quorvane_notification *out);  // 1 took the oldest, 0 none
int      quorvane_worker_poll_send_result(quorvane_worker *w, uint8_t conv_id[16], uint64_t *counter, int *ok);
void     quorvane_worker_set_notify_hook(quorvane_worker *w, void (*hook)(void *), void *user);  // called without the mutex

// Commands (queued; applied on the worker's thread once connected)
[[nodiscard]] int quorvane_worker_create_conv(quorvane_worker *w, const uint8_t conv_id[16], const uint8_t key[32],
                                              const quorvane_member *members, size_t n);  // own member put first
[[nodiscard]] int quorvane_worker_sync(quorvane_worker *w);
[[nodiscard]] int quorvane_worker_request_prekeys(quorvane_worker *w, const char *user);
[[nodiscard]] int quorvane_worker_request_prekeys_for_dm(quorvane_worker *w, const char *user);
[[nodiscard]] int quorvane_worker_send_text(quorvane_worker *w, const uint8_t conv_id[16], const char *text);
[[nodiscard]] int quorvane_worker_send_system(quorvane_worker *w, const uint8_t conv_id[16], const char *text);
[[nodiscard]] int quorvane_worker_send_reply(quorvane_worker *w, const uint8_t conv_id[16], const uint8_t author[16],
                                             uint64_t counter, const char *text);
[[nodiscard]] int quorvane_worker_send_edit(quorvane_worker *w, const uint8_t conv_id[16], const uint8_t *device_key,
                                            uint64_t counter, const char *text);  // device key: 32 bytes or null
[[nodiscard]] int quorvane_worker_delete_message(quorvane_worker *w, const uint8_t conv_id[16], const uint8_t author[16],
                                                 const uint8_t *device_key, uint64_t counter);
[[nodiscard]] int quorvane_worker_react(quorvane_worker *w, const uint8_t conv_id[16], const uint8_t author[16],
                                        const uint8_t *device_key, uint64_t counter, const char *name, int add);


// Conversations and groups
// - create, rekey and add put our own member first, and only while connected (-1 otherwise);
// - remove, add and leave build the list from the stored members (at most 64).
[[nodiscard]] int quorvane_worker_create_channel(quorvane_worker *w, const uint8_t conv_id[16], const uint8_t key[32], uint32_t kind,
                                                 const quorvane_member *members, size_t n, const uint8_t *instance_id);  // instance: 16 bytes or null
[[nodiscard]] int quorvane_worker_group_rekey(quorvane_worker *w, const uint8_t conv_id[16], const quorvane_member *members, size_t n);  // a fresh key
[[nodiscard]] int quorvane_worker_group_remove(quorvane_worker *w, const uint8_t conv_id[16], const uint8_t user_id[16]);  // -1 when nobody stays
[[nodiscard]] int quorvane_worker_group_add(quorvane_worker *w, const uint8_t conv_id[16], const quorvane_member *member);  // -1 without stored members
[[nodiscard]] int quorvane_worker_group_rekey_exclude(quorvane_worker *w, const uint8_t conv_id[16], const quorvane_member *members,
                                                      size_t n, const uint8_t device_key[32]);  // n 1-64; no own member added
[[nodiscard]] int quorvane_worker_group_leave(quorvane_worker *w, const uint8_t conv_id[16]);  // rekeys those who stay, then forgets it
[[nodiscard]] int quorvane_worker_dm_reset(quorvane_worker *w, const uint8_t conv_id[16]);

// Messages and moderation
[[nodiscard]] int quorvane_worker_send_sticker(quorvane_worker *w, const uint8_t conv_id[16], const char *name, uint32_t value);  // name 1-32
[[nodiscard]] int quorvane_worker_mod_action(quorvane_worker *w, const uint8_t conv_id[16], const uint8_t user_id[16], uint8_t action);
[[nodiscard]] int quorvane_worker_set_channel_role(quorvane_worker *w, const uint8_t conv_id[16], const uint8_t user_id[16], uint8_t role);
[[nodiscard]] int quorvane_worker_purge_messages(quorvane_worker *w, const uint8_t conv_id[16], const uint8_t user_id[16], uint64_t value);
[[nodiscard]] int quorvane_worker_delete_channel(quorvane_worker *w, const uint8_t conv_id[16]);
size_t   quorvane_worker_reactions(quorvane_worker *w, const uint8_t conv_id[16], const quorvane_ms_msgrec *msg,
                                   quorvane_ms_reaction_count *out, size_t cap);  // distinct names, with our own marked

// Transfers, one at a time
// - data is sealed on the caller's thread before the slot is armed; -1 and
//   nothing armed when no store is open or a transfer is still running;
// - sizes are 1 to 256 MiB; a finished transfer keeps kind, ok and a download
//   to memory until the next arming.
[[nodiscard]] int quorvane_worker_send_file_poster(quorvane_worker *w, const uint8_t conv_id[16], const uint8_t *data, size_t size,
                                                   const char *mime, const char *name, const uint8_t *poster, size_t poster_size,
                                                   uint32_t poster_width, uint32_t poster_height);  // a poster that cannot be sealed is left out
[[nodiscard]] int quorvane_worker_send_file(quorvane_worker *w, const uint8_t conv_id[16], const uint8_t *data, size_t size,
                                            const char *mime, const char *name);
[[nodiscard]] int quorvane_worker_send_voice(quorvane_worker *w, const uint8_t conv_id[16], const int16_t *samples, size_t count,
                                             uint32_t rate);
[[nodiscard]] int quorvane_worker_send_link(quorvane_worker *w, const uint8_t conv_id[16], const quorvane_link_meta *link,
                                            const uint8_t *image, size_t image_size);  // the image only when link->has_image
[[nodiscard]] int quorvane_worker_set_avatar(quorvane_worker *w, const uint8_t *image, size_t size, const char *mime);
[[nodiscard]] int quorvane_worker_set_group_avatar(quorvane_worker *w, const uint8_t conv_id[16], const uint8_t *image, size_t size,
                                                   const char *mime);
[[nodiscard]] int quorvane_worker_download_file(quorvane_worker *w, const quorvane_file_meta *meta, const char *path);  // -1 for a path of 512 bytes or more
[[nodiscard]] int quorvane_worker_download_mem(quorvane_worker *w, const quorvane_file_meta *meta);
int      quorvane_worker_take_download(quorvane_worker *w, uint8_t **out, size_t *len);  // 1: the plaintext is the caller's (free()); else 0
int      quorvane_worker_xfer_status(quorvane_worker *w, int *busy, int *done, int *ok);  // 0; -1 for a null worker; outs may be null

// Avatars
int      quorvane_worker_self_avatar(quorvane_worker *w, quorvane_file_meta *out);                                // 1 stored, 0 none
int      quorvane_worker_conv_peer_avatar(quorvane_worker *w, const uint8_t conv_id[16], quorvane_file_meta *out);  // 1, 0, -1
int      quorvane_worker_conv_group_avatar(quorvane_worker *w, const uint8_t conv_id[16], quorvane_file_meta *out); // 1, 0, -1

// History backfill and deep search
[[nodiscard]] int quorvane_worker_backfill(quorvane_worker *w, const uint8_t conv_id[16]);  // -1 while one runs or a search page is out
int      quorvane_worker_backfill_state(quorvane_worker *w, const uint8_t conv_id[16], int *running, int *complete, uint64_t *count);
[[nodiscard]] int quorvane_worker_deep_search(quorvane_worker *w, const char *query, uint8_t kinds);  // -1 while one runs
void     quorvane_worker_deep_cancel(quorvane_worker *w);
int      quorvane_worker_deep_state(quorvane_worker *w, int *running, uint64_t *pages, uint64_t *scanned, uint64_t *found,
                                    uint64_t *done, uint64_t *total, uint64_t *revision, int *stop_reason);  // 1 a search exists; outs may be null
size_t   quorvane_worker_deep_results(quorvane_worker *w, quorvane_search_hit *out, size_t n);  // newest first
char    *quorvane_worker_deep_status_text(quorvane_worker *w, char *buf, size_t size);  // buf; empty without a search

#ifdef QV_ENGINE_TEST_HOOKS
// Runs fn on the worker's open message store (null when none) with the mutex held.
void quorvane_worker_test_with_store(quorvane_worker *w, void (*fn)(quorvane_msgstore *, void *), void *user);
#endif
