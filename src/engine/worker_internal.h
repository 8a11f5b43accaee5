// The worker's record and the functions its thread, its connected run and its
// command queue share. Every field that both the thread and a caller touch is
// read and written only under `mu`; fields marked "thread only" are never read
// by a public function.
#pragma once

#include "client_account.h"
#include "client_authed.h"
#include "client_community.h"
#include "client_deliver.h"
#include "client_session.h"
#include "client_scroll.h"
#include "client_store.h"
#include "quorvane_msg.h"
#include "worker.h"

#include <pthread.h>

#include <atomic>

#include <cstddef>
#include <cstdint>

struct quorvane_emoji_cache;
struct quorvane_deep;

constexpr size_t   QV_WCMD_QUEUE_MAX      = 256;
constexpr int32_t  QV_WCMD_KINDS          = 62;     // kinds 0-61; others are skipped
constexpr size_t   QV_WSEND_RING          = 128;
constexpr size_t   QV_WNOTE_RING          = 64;
constexpr size_t   QV_W_PREAUTH_LEN       = 56;
constexpr size_t   QV_W_PATH_MAX          = 600;    // aside names ("%s.pre-reset") are skipped past this
constexpr uint64_t QV_W_NAP_SLICE_MS      = 20;
constexpr uint64_t QV_W_SIGNIN_PUMP_US    = 500;
constexpr uint64_t QV_W_LOOP_SLEEP_MIN_US = 2000;
constexpr uint64_t QV_W_LOOP_SLEEP_MAX_US = 50000;
constexpr uint64_t QV_W_STABLE_MS         = 29999;  // a connection that lasted longer resets the back-off
constexpr uint64_t QV_W_BATCH_MS          = 250;    // received messages held for one store write at most this long
constexpr size_t   QV_W_PROFILE_ANSWERED  = 128;
constexpr size_t   QV_W_GRANTS            = 64;
constexpr size_t   QV_W_KEY_ASKED         = 64;
constexpr size_t   QV_W_JOIN_COUNTS       = 64;

// One queued command; owned by the queue once enqueued.
struct quorvane_wcmd {
    quorvane_wcmd *next;
    int32_t kind;
    uint8_t conv[16];
    char name[33];
    uint8_t key[32];             // wiped when freed
    uint8_t id[16];
    quorvane_member *members;    // freed with the record
    uint64_t member_count;
    char *text;                  // wiped and freed with the record
    char *text2;                 // second secret (new password); wiped and freed
    uint8_t small;
    uint8_t flag;
    uint64_t value;
    uint32_t value32;
    uint8_t opt_id[16];
    int32_t has_opt_id;
    uint8_t ref[64];
    uint8_t (*list)[16];         // freed with the record
    uint64_t list_count;
};
static_assert(sizeof(quorvane_wcmd) == 264);

struct qv_wsend_result {
    uint8_t conv_id[16];
    uint64_t counter;
    uint8_t ok;
};
static_assert(sizeof(qv_wsend_result) == 32);

struct qv_join_count {
    uint8_t conv_id[16];
    uint16_t count;  // saturates at 65535
};

// The one blob transfer the worker runs at a time. Uploads carry their
// sealed bytes; downloads the buffer the sealed blob arrives in.
enum qv_xfer_kind : int32_t {
    QV_XFER_FILE = 1, QV_XFER_DOWNLOAD_FILE = 2, QV_XFER_DOWNLOAD_MEM = 3, QV_XFER_AVATAR = 4,
    QV_XFER_GROUP_AVATAR = 5, QV_XFER_VOICE = 6, QV_XFER_LINK = 7,
};
constexpr size_t QV_XFER_DEST_MAX = 512;  // a destination path must fit with its NUL

struct qv_xfer {
    int32_t kind;
    int32_t active, started, done, ok;
    uint8_t conv[16];
    uint8_t upload_id[16];
    int upload_id_known;
    uint8_t *sealed;             // uploads
    size_t sealed_len;
    uint8_t *dl_buf;             // downloads: the sealed size of the blob; wiped when freed
    size_t dl_len;
    quorvane_file_meta meta;     // the descriptor; holds the blob key: wiped
    uint64_t plain_size;
    int poster_pending;
    uint8_t *poster;
    size_t poster_len;
    char dest[QV_XFER_DEST_MAX];
    uint8_t *mem;                // a finished download to memory, until taken or the next arming; wiped
    size_t mem_len;
    uint32_t voice_ms, voice_rate;
    uint8_t peak_count;
    uint8_t peaks[QV_MSG_VOICE_PEAKS_MAX];
    quorvane_link_meta link;
    int link_needs_image;
    int local;                   // a caller's thread is serving the download from the blob cache: the run leaves the slot alone
};

struct quorvane_worker {
    pthread_t thread;
    int thread_started;
    pthread_mutex_t mu;
    // The message store, the session and the deep search (fed by the pump)
    // change on this thread alone. It touches them holding mu or store_mu;
    // any other thread holds both. So a pump that writes and fsyncs what came
    // in holds store_mu only, and the screens' getters, which take mu alone,
    // never wait for the disk.
    pthread_mutex_t store_mu;

    /* ---- control (under mu) ---- */
    int stop, wake, offline;
    int thread_ended;   // the thread returned: commands are no longer taken
    uint64_t ever_connected;
    int attempts;
    uint64_t connected_at_ms;

    /* ---- status block (under mu) ---- */
    quorvane_worker_status status;

    /* ---- configuration copies ---- */
    char *server_host, *server_port, *username, *password, *keystore_path, *pin_path;
    char *msgstore_dir, *emoji_dir, *sticker_dir;
    char *bk_path;           // keystore_path + ".bk"
    char *blob_dir;          // msgstore_dir + "-blobs"
    char *instavatar_dir;    // "instavatars" beside msgstore_dir
    int backoff_initial_ms, backoff_max_ms, approval_poll_ms, max_attempts, hold_sync_ms;
    uint64_t blob_cache_limit;
    int no_initial_sync, relink_reconnects, session_option;
    int presence_public, hide_notif;

    /* ---- sign-in preparation (thread only unless noted) ---- */
    int register_;
    int reset_mode;
    uint8_t reset_code[10];
    int recovery_mode;
    uint8_t recovery_key[32];
    char *email_code;
    int preauth_mode;
    uint8_t preauth[QV_W_PREAUTH_LEN];  // under mu
    int preauth_present;                // under mu
    quorvane_device_keys keys;
    int keys_loaded, keys_new, persist_reseal, key_save_failed;
    int join_state;      // 0 none, 1 existing key store, 2 rebuilt from the escrow seed
    int needs_escrow, adding_device;
    int keyfile_needs_previous;   // under mu
    int keyfile_decision;         // under mu: 0 none, 1 previous password, 2 relink
    char *keyfile_prev_password;  // under mu; wiped
    int password_reset_done;
    int revoke_previous_pending;
    uint8_t revoke_previous[2][32];
    char last_detail[QV_WORKER_TEXT_LEN];
    uint8_t fail_reason;          // the last session's, read as a signed byte
    uint8_t server_key[32];       // under mu
    uint8_t server_tls_key[32];   // under mu: the certificate key seen with it, pinned beside it
    int server_tls_known;         // under mu
    int server_key_pending, server_key_accepted;  // under mu
    quorvane_cs_hints hints;      // thread only: outlives each session
    uint8_t pw_auth[32];          // thread only: the password's sign-in value, made once per password; wiped
    int pw_auth_ready;            // thread only

    /* ---- stores (pointers published under mu) ---- */
    quorvane_msgstore *ms;
    quorvane_emoji_cache *emoji, *sticker;
    uint32_t emoji_epoch, sticker_epoch;  // the caches' versions as of the last pass: the pump changes the caches

    /* ---- connected run (under mu) ---- */
    qv_wsend_result send_ring[QV_WSEND_RING];
    size_t send_head, send_count;
    quorvane_notification note_ring[QV_WNOTE_RING];
    size_t note_head, note_count;
    void (*hook)(void *);
    void *hook_user;
    quorvane_email_info email_info;
    int email_info_present;
    int email_ack_ready;
    uint8_t email_ack;
    int email_req;                  // 1 set, 2 verify, 3 remove, 4 cancel reset
    char *email_req_a, *email_req_b;  // wiped and freed
    uint8_t typing_conv[16];
    uint64_t typing_counter;
    size_t presence_count;
    uint8_t presence_ids[QV_PRESENCE_MAX][16];
    uint8_t presence_online[QV_PRESENCE_MAX];
    uint64_t presence_seen[QV_PRESENCE_MAX];
    uint32_t roles_epoch, joins_epoch, read_marks_epoch, self_profile_epoch;
    uint64_t last_sync;
    int first_sync_pending;
    int delete_ready; uint8_t delete_code;
    int pwchange_ready; uint8_t pwchange_code;
    char *pending_new_password;    // wiped
    char *adopt_password;          // wiped; replaces `password` when the run ends
    int revoke_ready; uint8_t revoke_code;
    int revoking; uint8_t revoking_key[32];
    int backfill_running; uint8_t backfill_conv[16];
    uint64_t backfill_count, backfill_cursor, backfill_revision, backfill_done_count;
    uint8_t backfill_flag;
    int backfill_complete;         // the last finished backfill reached the start of its conversation's history
    quorvane_histwin_bf histwin_bf;
    quorvane_deep *deep;           // created on first use; wiped when freed
    int deep_page_inflight; uint32_t deep_generation; uint64_t search_revision; int deep_cancel;
    uint32_t deep_page_generation;  // the generation the page in flight was asked for
    qv_join_count join_counts[QV_W_JOIN_COUNTS];
    /* channels, instances and administration: copies of the session's answers */
    int dir_ready, dir_copied; size_t dir_count; uint32_t dir_revision;
    quorvane_channel_dir_entry dir[QV_CS_CHANNEL_DIR];
    quorvane_instdir_entry *instances;  // QV_CS_INSTANCES entries, allocated once
    size_t instance_count; int instances_ready, instances_copied; uint32_t instances_revision, instances_epoch_seen;
    int inst_result_ready; uint8_t inst_result;
    int inst_has_id, inst_has_second; uint8_t inst_id[16], inst_second[16];
    int invites_ready, invites_copied; size_t invite_count; uint32_t invites_revision;
    quorvane_invite invites[QV_CS_INVITES];
    int members_ready, members_copied; size_t member_count, second_count; uint32_t members_revision;
    uint8_t member_ids[QV_CS_INST_MEMBERS][16];
    uint8_t member_roles[QV_CS_INST_MEMBERS];
    uint8_t second_ids[QV_CS_INST_SECOND][16];
    int joins_copied;
    int joinview_open, joinview_ready; uint8_t joinview_conv[16]; size_t joinview_count;
    quorvane_member joinview_peers[QV_CS_JOIN_REQS];
    uint8_t joinview_rejoin[QV_CS_JOIN_REQS];
    int retention_ready, retention_has_id; uint8_t retention_conv[16]; uint32_t retention_value;
    int auto_roles_ready; uint8_t auto_roles_conv[16]; uint32_t auto_roles_mask;
    int admin_ready; uint8_t admin_status; size_t admin_count; uint32_t admin_revision;
    quorvane_admin_entry admin[QV_CS_ADMIN_ENTRIES];
    int for_dm;                    // the next prekey reply is for a direct message
    quorvane_prekey_reply pub_prekeys;  // the public prekey slot, read by quorvane_worker_take_prekeys
    int pub_prekeys_ready;
    quorvane_prekey_reply own_bundle;   // our account's own devices, as the server last listed them
    int own_bundle_known;
    int own_bundle_requested;           // the sign-in's own request: its answer is not for the screens
    int push_registered;

    /* ---- remembered sets and timers (thread only) ---- */
    uint8_t answered[QV_W_PROFILE_ANSWERED][16]; size_t answered_count;
    struct { uint8_t conv[16]; uint8_t dev[32]; } grants[QV_W_GRANTS]; size_t grant_count;
    uint8_t key_asked[QV_W_KEY_ASKED][16]; size_t key_asked_count;
    uint64_t next_history_ms, next_key_sweep_ms, next_retention_ms, next_joinscan_ms, next_hold_sync_ms;
    int prekeys_published, history_requested, asides_discarded;
    int asides_made;               // this worker moved the store aside for keys of a new identity
    int instances_requested;       // once per run
    uint64_t activity_seen;        // the session's activity count at the last pass
    int batch_open;                // thread only: received messages are held for one store write
    uint64_t batch_since_ms;
    int store_note;                // the store could not be opened as asked: say so on connecting

    /* ---- the transfer slot (under mu) ---- */
    qv_xfer xfer;

    /* ---- command queue (under mu) ---- */
    quorvane_wcmd *cmd_head, *cmd_tail;
    size_t cmd_count;

    /* ---- command application ---- */
    uint64_t pub_prekeys_ms;      // when the public prekey slot was filled (engine clock)
    int pub_prekeys_for_dm;       // the slot's bundle was asked for a direct message
    uint64_t cmd_failed_sends;    // failed send results apply_commands added to the ring: the run wakes the screens when it moves
};

// Thread and connected run
void *worker_thread(void *arg);
uint32_t run_one(quorvane_worker *w, int mode);  // the state at which sign-in settled (4-9); 9 without a session
void worker_set_status(quorvane_worker *w, int32_t code, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
uint64_t worker_now_ms();   // monotonic, for intervals
inline constexpr const char *QV_W_NO_STORE_TEXT = "Could not set the old messages aside; running without a message store.";
void worker_set_status_locked(quorvane_worker *w, int32_t code, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void worker_free_fields(quorvane_worker *w);  // stop's teardown after the join; also a failed start's
void worker_wipe_free(char **s);  // wipes a secret text, frees it and nulls the pointer
quorvane_cs_config worker_cs_config(quorvane_worker *w);          // host, port, user, password, pin, hints, option
uint32_t worker_pump_settle(quorvane_worker *w, quorvane_cs *cs);  // pumps every 500 µs until the handshake settles or stop

// The worker's thread lets go of mu for the length of a scope: around
// scrypt and other slow work on data no other thread touches.
struct unlocked {
    quorvane_worker *w;
    explicit unlocked(quorvane_worker *worker) : w(worker) { pthread_mutex_unlock(&w->mu); }
    ~unlocked() { pthread_mutex_lock(&w->mu); }
    unlocked(const unlocked &) = delete;
    unlocked &operator=(const unlocked &) = delete;
};

// The store from a thread other than the worker's: both locks, store_mu
// first, so that waiting out a pump's disk writes holds up no getter. The
// worker's thread never holds both at once.
template <class F> void with_store(quorvane_worker *w, F &&fn) {
    pthread_mutex_lock(&w->store_mu);
    pthread_mutex_lock(&w->mu);
    fn(w->ms);
    pthread_mutex_unlock(&w->mu);
    pthread_mutex_unlock(&w->store_mu);
}

// The stored members of a conversation with their devices (at most max),
// leaving out skip_a and skip_b; add_user's entry gains the device (add_x,
// add_ed) when it lacks it and has room. Store access as the caller holds it.
size_t worker_members(const quorvane_msgstore *ms, const uint8_t conv[16], quorvane_member *out, size_t max, const uint8_t *skip_a,
                      const uint8_t *skip_b, const uint8_t *add_user, const uint8_t *add_x, const uint8_t *add_ed);

// Transfers
[[nodiscard]] int worker_seal_blob(const uint8_t *data, size_t size, uint8_t **sealed, size_t *sealed_len, quorvane_blob_ref *ref);  // fresh key, id and salt
void xfer_free_buffers(quorvane_worker *w);          // mu held
void xfer_free_all(quorvane_worker *w);              // stop: the buffers and a download held in memory
void xfer_pump(quorvane_worker *w, quorvane_cs *cs); // mu held; one step of the slot
void xfer_on_ready(quorvane_worker *w);              // mu held; a new run resumes an upload that has its id, ends any other
// Opens a whole sealed blob with the descriptor and delivers it: kept in
// *mem (kind 3) or written to dest through a temporary file and a rename.
// 0 delivered; -1 it did not open (nothing kept, nothing written); -2 it
// opened and could not be written. Takes no lock: the caller owns the buffers.
int  xfer_deliver(int32_t kind, const quorvane_file_meta *meta, const char *dest, const uint8_t *sealed, size_t sealed_len,
                  uint8_t **mem, size_t *mem_len);

// Command queue
int  cmd_enqueue(quorvane_worker *w, quorvane_wcmd *c);  // -1 frees the record: no store, 256 waiting, or the thread ended
void wcmd_free(quorvane_wcmd *c);
void apply_commands(quorvane_worker *w, quorvane_cs *cs);  // mu held
void cmd_queue_flush(quorvane_worker *w);                  // stop, after the join: frees every record, wiping its secrets

#ifdef QV_ENGINE_TEST_HOOKS
// Ends the pump's batches in place, with store_mu held across the writes:
// how the run did it before, for a benchmark to set beside writes behind.
extern std::atomic<bool> qv_worker_write_in_place;
// Called by wcmd_free after the record's secrets were wiped and before any of
// its memory goes back: text and text2 with the lengths they had.
extern void (*qv_wcmd_wiped_probe)(const quorvane_wcmd *c, const char *text, size_t text_len, const char *text2, size_t text2_len);
#endif
