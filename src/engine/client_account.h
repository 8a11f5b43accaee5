// Signed-in requests and the frames that answer them: account, device, history and presence.
// Requests: 0 queued, -1 not signed in, a missing or out-of-limit argument, or
// the frame could not be queued. Getters take a null session and give 0.
// Take functions copy once and clear; slots that held a secret (the delivered
// recovery key, escrow records, the history being received or sent) are wiped
// when taken, when a later answer replaces them and when the session is freed.
#pragma once

#include <cstddef>
#include <cstdint>

struct quorvane_cs;

constexpr size_t   QV_PRESENCE_MAX      = 128;
constexpr size_t   QV_BACKUP_SLOTS      = 8;
constexpr size_t   QV_BACKUP_SLOT_WIRE  = 70;
constexpr size_t   QV_PUSH_TOKEN_MAX    = 512;
constexpr size_t   QV_EMAIL_ADDRESS_MAX = 254;
constexpr size_t   QV_EMAIL_CODE_LEN    = 6;
constexpr size_t   QV_ESCROW_RECORD_LEN = 82;
constexpr size_t   QV_HISTORY_CHUNK     = 262144;     // bytes of history per frame 44
constexpr uint64_t QV_HISTORY_MIN       = 48;         // a sealed empty history
constexpr uint64_t QV_HISTORY_MAX       = 67108864;   // 64 MiB sealed
constexpr size_t   QV_HISTORY_SEND_ROOM = 8;          // send-ring entries left free for other frames

// E-mail state as the server reports it.
struct quorvane_email_info {
    char     address[255];   // verified address, NUL-terminated, empty when none
    char     pending[257];   // address waiting for its code, NUL-terminated, empty when none
    uint64_t reset_at_ms;    // when a pending reset by e-mail takes effect, 0 none
};
static_assert(sizeof(quorvane_email_info) == 520);

// One stored backup as the server lists it; the two values are carried unread.
struct quorvane_backup_slot {
    uint8_t  id[32];
    uint64_t value_a;   // host order
    uint64_t value_b;
    uint8_t  flag;      // 0 or 1
    uint8_t  header[21];
};

struct cs_presence_entry {
    uint8_t  user_id[16];
    uint8_t  online;
    uint64_t last_seen;
};

// What this family keeps in the session.
struct cs_account_state {
    // presence, typing, push
    cs_presence_entry presence[QV_PRESENCE_MAX];
    size_t presence_count;
    int has_typing;
    uint8_t typing_conv[16];
    uint64_t typing_ms;
    int push_registered;
    // device revocation: the X25519 key the request named, whose sessions go on success
    int revoke_ready;
    uint8_t revoke_result;
    uint8_t revoke_id[16];
    uint8_t revoke_key[32];
    // single answers: flag and result byte
    int delete_ready, password_ready, email_ack_ready, backup_ack_ready;
    uint8_t delete_result, password_result, email_ack_result, backup_ack_result;
    int email_info_ready;
    quorvane_email_info email_info;
    // recovery key
    int rk_escrow_ready, rk_escrow_has;
    uint8_t rk_escrow[QV_ESCROW_RECORD_LEN];
    int rk_peer_ready;
    uint8_t rk_peer_id[16];
    uint8_t rk_peer_key[32];
    int rk_delivered_ready, rk_delivered_has;
    uint8_t rk_delivered_value[32];
    uint8_t rk_delivered_escrow[QV_ESCROW_RECORD_LEN];
    // backups
    int backup_slots_ready;
    size_t backup_slot_count;
    quorvane_backup_slot backup_slots[QV_BACKUP_SLOTS];
    // history: asked for by another own device, and received from one
    int history_peer_ready;
    uint8_t history_peer_key[32];
    int history_synced;
    int history_requested;     // this session asked; only then do chunks count
    uint8_t *history_in;       // sealed history being received
    uint64_t history_in_total, history_in_got;
    uint8_t *history_out;      // sealed history being sent, a chunk per pump while the ring has room
    uint64_t history_out_total, history_out_sent;
    uint8_t history_out_device[16];
};

// 1 when the frame is of this family (handled), 0 otherwise.
int  cs_account_frame(quorvane_cs *cs, uint8_t type, const uint8_t *p, size_t len);
void cs_account_pump(quorvane_cs *cs);     // sends the next history chunks while the send ring has room
void cs_account_release(quorvane_cs *cs);  // wipes and frees the history buffers; the session frees itself after

// Account requests (passwords become auth values under the session's user name)
[[nodiscard]] int quorvane_cs_delete_account(quorvane_cs *cs, const char *password);
[[nodiscard]] int quorvane_cs_change_password(quorvane_cs *cs, const char *old_password, const char *new_password);
[[nodiscard]] int quorvane_cs_email_get(quorvane_cs *cs);
[[nodiscard]] int quorvane_cs_email_set(quorvane_cs *cs, const char *address, const char *password);  // 1-254 bytes
[[nodiscard]] int quorvane_cs_email_verify(quorvane_cs *cs, const char *code);                        // exactly 6 bytes
[[nodiscard]] int quorvane_cs_email_remove(quorvane_cs *cs, const char *password);
[[nodiscard]] int quorvane_cs_reset_cancel(quorvane_cs *cs);
[[nodiscard]] int quorvane_cs_rk_request(quorvane_cs *cs, int flag);
[[nodiscard]] int quorvane_cs_rk_share(quorvane_cs *cs, const uint8_t device_id[16], const uint8_t device_key[32], const uint8_t value[32]);
[[nodiscard]] int quorvane_cs_escrow_rk_set(quorvane_cs *cs, const uint8_t record[82]);
[[nodiscard]] int quorvane_cs_backup_set(quorvane_cs *cs, const uint8_t id[16], const uint8_t header[21]);
[[nodiscard]] int quorvane_cs_backup_list(quorvane_cs *cs);
[[nodiscard]] int quorvane_cs_backup_delete(quorvane_cs *cs);
[[nodiscard]] int quorvane_cs_send_key_request(quorvane_cs *cs, const uint8_t conv_id[16]);
[[nodiscard]] int quorvane_cs_key_requests_get(quorvane_cs *cs);
[[nodiscard]] int quorvane_cs_request_history(quorvane_cs *cs);  // opens the window in which history chunks are taken

// Presence, typing, read state, devices, push
[[nodiscard]] int quorvane_cs_send_typing(quorvane_cs *cs, const uint8_t conv_id[16]);
[[nodiscard]] int quorvane_cs_send_read_receipt(quorvane_cs *cs, const uint8_t conv_id[16], uint64_t position);
[[nodiscard]] int quorvane_cs_send_read_mark(quorvane_cs *cs, const uint8_t conv_id[16], uint64_t position);  // 0 refused
[[nodiscard]] int quorvane_cs_set_presence_public(quorvane_cs *cs, int on);
[[nodiscard]] int quorvane_cs_revoke_device(quorvane_cs *cs, const uint8_t dev_x[32], const uint8_t dev_ed[32]);
[[nodiscard]] int quorvane_cs_register_push(quorvane_cs *cs, const char *token);  // null: empty; over 512 bytes refused

// Getters
int      quorvane_cs_get_typing(const quorvane_cs *cs, uint8_t conv_id[16], uint64_t *time_ms);  // not cleared
size_t   quorvane_cs_presence_copy(const quorvane_cs *cs, uint8_t (*user_ids)[16], uint8_t *online, size_t max);
uint64_t quorvane_cs_last_seen(const quorvane_cs *cs, const uint8_t user_id[16]);
int      quorvane_cs_push_registered(const quorvane_cs *cs);
int      quorvane_cs_take_revoke(quorvane_cs *cs, uint8_t *result);
int      quorvane_cs_take_account_delete(quorvane_cs *cs, uint8_t *result);
int      quorvane_cs_take_password_change(quorvane_cs *cs, uint8_t *result);
int      quorvane_cs_take_email_ack(quorvane_cs *cs, uint8_t *result);   // 0 without an out pointer
int      quorvane_cs_take_backup_ack(quorvane_cs *cs, uint8_t *result);  // 0 without an out pointer
int      quorvane_cs_take_email_info(quorvane_cs *cs, quorvane_email_info *out);
int      quorvane_cs_take_rk_escrow(quorvane_cs *cs, uint8_t out[82], int *has);
int      quorvane_cs_take_rk_peer(quorvane_cs *cs, uint8_t device_id[16], uint8_t device_key[32]);
int      quorvane_cs_take_rk_delivered(quorvane_cs *cs, uint8_t value[32], uint8_t escrow[82], int *has);
int      quorvane_cs_take_backup_slots(quorvane_cs *cs, quorvane_backup_slot *dst, size_t n, size_t *count);
int      quorvane_cs_take_history_peer(quorvane_cs *cs, uint8_t key[32]);
int      quorvane_cs_history_synced(const quorvane_cs *cs);
