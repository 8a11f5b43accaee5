// The server's storage behind one narrow interface, kept in one SQLite file
// (WAL, synchronous=FULL). Nothing outside server_store.cpp knows SQL.
// Changes made during one turn of the event loop join one transaction, opened
// by the first change and closed by qvs_store_commit, so a turn costs one sync.
// Results: 0 ok, 1 "already there" where stated, -1 failure.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr int    QVS_SCHEMA_VERSION = 7;
constexpr size_t QVS_SALT_LEN = 16;
constexpr size_t QVS_ESCROW_LEN = 82;
constexpr size_t QVS_EXTRA_LEN = 10;
constexpr size_t QVS_MAX_DEVICES = 5;
constexpr size_t QVS_OTK_MAX = 16;            // one-time prekeys kept per device: a published set holds at most this
constexpr size_t QVS_SEALED_KEY_LEN = 80;     // a 32-byte key sealed to an X25519 key

struct qvs_store;

struct qvs_device {
    uint8_t x25519_pub[32];
    uint8_t ed25519_pub[32];
    uint8_t cert[64];
    int64_t row;  // the store's number for the device, set by the readers; envelopes are kept under it
};

// A device's published prekeys, and what one reply hands out of them.
struct qvs_prekeys {
    uint32_t spk_id;
    uint8_t  spk[32];
    uint8_t  sig[64];
    size_t   otk_count;
    uint32_t otk_id[QVS_OTK_MAX];
    uint8_t  otk[QVS_OTK_MAX][32];
};
struct qvs_prekey_hand {
    uint32_t spk_id;
    uint8_t  spk[32];
    uint8_t  sig[64];
    int      has_otk;
    uint32_t otk_id;
    uint8_t  otk[32];
};

// A conversation's members with the key sealed to each, and the keys sealed to
// single devices (by device id).
struct qvs_conv_member {
    uint8_t user_id[16];
    uint8_t sealed[QVS_SEALED_KEY_LEN];
    uint8_t role;  // 0 member, 1 admin, 2 moderator
};
struct qvs_conv_devkey {
    uint8_t user_id[16];
    uint8_t device_id[16];
    uint8_t sealed[QVS_SEALED_KEY_LEN];
};

// One stored envelope copy of a device.
struct qvs_envelope {
    uint64_t pos;
    uint8_t  conv_id[16];
    std::vector<uint8_t> body;
};

struct qvs_account {
    std::string name;
    uint8_t user_id[16];
    uint8_t role;
    uint8_t auth_salt[QVS_SALT_LEN];
    uint8_t auth_hash[32];  // of the salt and the auth value: the value itself is never kept
    uint8_t identity_pub[32];
    uint8_t pw_escrow[QVS_ESCROW_LEN];
    int has_rk_escrow;
    uint8_t rk_escrow[QVS_ESCROW_LEN];
    int has_extra;
    uint8_t extra[QVS_EXTRA_LEN];
    uint64_t created_ms;
};

[[nodiscard]] qvs_store *qvs_store_open(const char *path);  // creates or migrates the schema
void qvs_store_close(qvs_store *st);                        // commits what is open
[[nodiscard]] int qvs_store_commit(qvs_store *st);          // 0 also when nothing was open
[[nodiscard]] int qvs_store_account_count(qvs_store *st, uint64_t *count);
// Work done so far: one per statement run (and savepoint), plus one per
// QVS_VM_STEPS_PER_WORK virtual-machine steps, so that a long scan counts as
// the many rows it reads. The measure the event loop shares out per
// connection and turn. Only grows.
constexpr uint64_t QVS_VM_STEPS_PER_WORK = 32;
[[nodiscard]] uint64_t qvs_store_work(const qvs_store *st);
// Whether the open turn changed an account, a device or a password: until it
// commits, an answer read from those may be taken back, so it waits for the commit.
[[nodiscard]] bool qvs_store_accounts_changed(const qvs_store *st);

[[nodiscard]] int qvs_account_create(qvs_store *st, const qvs_account *acct, const qvs_device *dev);  // 1 when the name is taken
[[nodiscard]] int qvs_account_find(qvs_store *st, const std::string &name, qvs_account *out);        // 1 found, 0 none
[[nodiscard]] int qvs_account_by_id(qvs_store *st, const uint8_t user_id[16], qvs_account *out);      // 1 found, 0 none
[[nodiscard]] int qvs_account_devices(qvs_store *st, const uint8_t user_id[16], std::vector<qvs_device> *out);  // in the order they were added
[[nodiscard]] int qvs_device_add(qvs_store *st, const uint8_t user_id[16], const qvs_device *dev);  // 1 already there, 2 the account has QVS_MAX_DEVICES, 3 revoked
// The Ed25519 keys of the account's revoked devices, the latest `max` revoked first.
[[nodiscard]] int qvs_revoked_keys(qvs_store *st, const uint8_t user_id[16], size_t max, std::vector<std::array<uint8_t, 32>> *out);
[[nodiscard]] int qvs_account_set_password(qvs_store *st, const uint8_t user_id[16], const uint8_t salt[QVS_SALT_LEN],
                                           const uint8_t hash[32], const uint8_t pw_escrow[QVS_ESCROW_LEN]);
[[nodiscard]] int qvs_account_set_rk_escrow(qvs_store *st, const uint8_t user_id[16], const uint8_t rec[QVS_ESCROW_LEN]);

// Prekeys
// - put replaces the device's signed prekey and every one-time prekey it had.
// - take: 1 with the signed prekey and the lowest one-time prekey, which is deleted; 0 nothing published.
[[nodiscard]] int qvs_prekeys_put(qvs_store *st, int64_t dev, const qvs_prekeys *pk);
[[nodiscard]] int qvs_prekeys_take(qvs_store *st, int64_t dev, qvs_prekey_hand *out);

// Conversations
// create keeps each member's role as given.
[[nodiscard]] int qvs_conv_create(qvs_store *st, const uint8_t conv_id[16], const std::vector<qvs_conv_member> &members,
                                  const std::vector<qvs_conv_devkey> &devkeys);        // 1 when the id exists; all or nothing
[[nodiscard]] int qvs_conv_is_member(qvs_store *st, const uint8_t conv_id[16], const uint8_t user_id[16]);  // 1 member, 0 not
[[nodiscard]] int qvs_conv_members(qvs_store *st, const uint8_t conv_id[16], std::vector<qvs_conv_member> *out);  // in the creator's order
[[nodiscard]] int qvs_conv_device_key(qvs_store *st, const uint8_t conv_id[16], const uint8_t device_id[16],
                                      uint8_t out[QVS_SEALED_KEY_LEN]);                // 1 found, 0 none
[[nodiscard]] int qvs_user_convs(qvs_store *st, const uint8_t user_id[16], std::vector<std::vector<uint8_t>> *out);

// Envelopes, one copy per recipient device under one server-wide position that only grows
// - store: 0 stored, one copy per device (positions in *out, in the order of devs; 0 for a device that
//   has no room for it under `bounds`, which gets none); 1 refused because no device has room (nothing
//   stored). *ack is the frame's position: its last copy's, or a fresh one when there is no recipient,
//   so acknowledgements grow too.
// - fetch: copies of a device with after < pos <= upto, ascending, of one conversation (or any when
//   conv_id is null), at most max_count, and no more once their bodies reach max_bytes.
// - drop_upto deletes the device's copies of the conversation at or below the cursor (UINT64_MAX: all).
struct qvs_env_bounds {
    uint64_t copies = UINT64_MAX, bytes = UINT64_MAX;                // waiting for one device in all
    uint64_t sender_copies = UINT64_MAX, sender_bytes = UINT64_MAX;  // of them from one sender
    uint64_t reserve_copies = 0, reserve_bytes = 0;                  // a sender under both gets in past the device's totals
};
[[nodiscard]] int qvs_env_store(qvs_store *st, const uint8_t conv_id[16], const uint8_t sender[16], const uint8_t *env, size_t len,
                                const std::vector<int64_t> &devs, const qvs_env_bounds &bounds, std::vector<uint64_t> *out,
                                uint64_t *ack);
[[nodiscard]] int qvs_env_fetch(qvs_store *st, int64_t dev, const uint8_t *conv_id, uint64_t after, uint64_t upto, size_t max_count,
                                size_t max_bytes, std::vector<qvs_envelope> *out);
[[nodiscard]] int qvs_env_drop_upto(qvs_store *st, int64_t dev, const uint8_t conv_id[16], uint64_t cursor);
[[nodiscard]] uint64_t qvs_env_last_pos(qvs_store *st);  // the last position handed out, 0 before the first
// - handed raises the highest position queued for the device to `pos` (never lowers it);
//   handed_upto reads it: a cursor past it names copies the device never got.
[[nodiscard]] int qvs_env_handed(qvs_store *st, int64_t dev, uint64_t pos);
[[nodiscard]] int qvs_env_handed_upto(qvs_store *st, int64_t dev, uint64_t *out);

// Group keys, read marks, revocation, key requests, presence and history
// - rekey: the listed members and device keys replace the conversation's (1 when it does not exist), and the
//   copies waiting in it for the devices of members left out are deleted; all or nothing. Members who stay keep
//   their roles, newcomers have none (the given roles are not read); a set left without role 1 or 2 gets its
//   first member as admin.
// - a grant is a record of older keys sealed to one device, kept until replaced.
// - read_mark_set moves the user's mark forward only: 1 moved, 0 not.
// - revoke deletes the device with its prekeys, copies and key requests, and refuses it for good (add gives 3).
// - history keeps one copy of each envelope per conversation, the newest `keep`; a page is newest first
//   below `before`, at most `limit` and no more once max_bytes are reached, *more when older ones remain.
struct qvs_key_request {
    uint8_t conv_id[16];
    uint8_t device_id[16];
    uint8_t user_id[16];
    int64_t dev;
};
[[nodiscard]] int qvs_conv_rekey(qvs_store *st, const uint8_t conv_id[16], const std::vector<qvs_conv_member> &members,
                                 const std::vector<qvs_conv_devkey> &devkeys);
[[nodiscard]] int qvs_conv_grant_put(qvs_store *st, const uint8_t conv_id[16], const uint8_t device_id[16], const uint8_t *rec, size_t len);
[[nodiscard]] int qvs_conv_grant_get(qvs_store *st, const uint8_t conv_id[16], const uint8_t device_id[16], std::vector<uint8_t> *out);
[[nodiscard]] int qvs_read_mark_set(qvs_store *st, const uint8_t user_id[16], const uint8_t conv_id[16], uint64_t pos);
[[nodiscard]] int qvs_read_mark_get(qvs_store *st, const uint8_t user_id[16], const uint8_t conv_id[16], uint64_t *out);  // 1 / 0 none
[[nodiscard]] int qvs_device_revoke(qvs_store *st, const uint8_t user_id[16], const qvs_device *d);
[[nodiscard]] int qvs_key_request_put(qvs_store *st, const qvs_key_request *kr);
[[nodiscard]] int qvs_key_request_drop(qvs_store *st, const uint8_t conv_id[16], const uint8_t device_id[16]);
[[nodiscard]] int qvs_key_requests_for(qvs_store *st, const uint8_t user_id[16], std::vector<qvs_key_request> *out);  // of others, in the user's conversations
[[nodiscard]] int qvs_presence_set(qvs_store *st, const uint8_t user_id[16], int on);
[[nodiscard]] int qvs_presence_get(qvs_store *st, const uint8_t user_id[16]);  // 1 public, 0 not
[[nodiscard]] int qvs_user_peers(qvs_store *st, const uint8_t user_id[16], std::vector<std::vector<uint8_t>> *out);  // users sharing a conversation
[[nodiscard]] int qvs_history_put(qvs_store *st, const uint8_t conv_id[16], uint64_t pos, const uint8_t *env, size_t len, uint64_t keep);
[[nodiscard]] int qvs_history_page(qvs_store *st, const uint8_t conv_id[16], uint64_t before, size_t limit, size_t max_bytes,
                                   std::vector<qvs_envelope> *out, int *more);

// Members added: who put whom into a conversation, and when (ms of the wall clock)
// - note records one add per user, and forgets the sender's adds older than QVS_ADDS_KEPT_MS.
// - since counts the sender's adds at or after since_ms, of one user or (user null) of all.
constexpr uint64_t QVS_ADDS_KEPT_MS = 86400000;  // the longest window a limit reads
[[nodiscard]] int qvs_adds_note(qvs_store *st, const uint8_t by[16], const std::vector<std::vector<uint8_t>> &users, uint64_t now_ms);
[[nodiscard]] int qvs_adds_since(qvs_store *st, const uint8_t by[16], const uint8_t *user, uint64_t since_ms, uint64_t *out);

// New accounts by the address they came from (the caller's key of it), and when (ms of the wall clock)
// - note records one, and forgets every address's older than QVS_REGISTRATIONS_KEPT_MS.
// - since counts the address's at or after since_ms.
constexpr uint64_t QVS_REGISTRATIONS_KEPT_MS = 86400000;  // the window the bound reads
[[nodiscard]] int qvs_registrations_note(qvs_store *st, const std::vector<uint8_t> &address, uint64_t now_ms);
[[nodiscard]] int qvs_registrations_since(qvs_store *st, const std::vector<uint8_t> &address, uint64_t since_ms, uint64_t *out);
