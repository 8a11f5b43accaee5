// What the server does with each frame a client sends before and while it is
// signed in: one function per frame type, each taking the frame's TLV records
// (length-checked by the TLV reader) and the connection's handshake state, and
// calling the store. Replies are queued on the connection; the event loop
// sends them after the turn's transaction commits.
// Results: 0 handled (a reply may be queued), -1 the client broke the protocol
// and the connection is dropped without a reply.
#pragma once

#include "server_keys.h"
#include "server_store.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Frames and records of the signed-in exchange this server serves.
enum : uint8_t {
    QVS_FT_PREKEY_REQUEST = 6, QVS_FT_ENVELOPE = 7, QVS_FT_SYNC = 8, QVS_FT_CREATE_CONV = 24, QVS_FT_PUBLISH_PREKEYS = 41,
    QVS_FT_PREKEY_REPLY = 135, QVS_FT_ACK = 136, QVS_FT_LIVE_ENVELOPE = 137, QVS_FT_SYNC_END = 139, QVS_FT_CONV_INFO = 151,
    QVS_FT_TYPING = 13, QVS_FT_RECEIPT = 14, QVS_FT_PRESENCE = 15, QVS_FT_GROUP_KEY = 17, QVS_FT_REVOKE = 42,
    QVS_FT_HISTORY_REQUEST = 43, QVS_FT_HISTORY_CHUNK = 44, QVS_FT_PRESENCE_PUBLIC = 58, QVS_FT_BACKFILL = 59,
    QVS_FT_KEY_REQUEST = 64, QVS_FT_KEY_REQUESTS_AGAIN = 65, QVS_FT_READ_MARK = 83, QVS_FT_CHANGE_PASSWORD = 63,
    QVS_FT_PASSWORD_RESULT = 175,
    QVS_FT_REVOKED = 159, QVS_FT_HISTORY_PEER = 160, QVS_FT_HISTORY_DATA = 161, QVS_FT_HISTORY_ENVELOPE = 170,
    QVS_FT_BACKFILL_END = 171, QVS_FT_KEY_REQUEST_RELAY = 176, QVS_FT_READ_MARK_RELAY = 188,
};
enum : uint8_t {
    QVS_TAG_USER = 1, QVS_TAG_IDENTITY = 3, QVS_TAG_DEV_X25519 = 4, QVS_TAG_DEV_ED25519 = 5, QVS_TAG_USER_ID = 14,
    QVS_TAG_CONV_ID = 17, QVS_TAG_SEALED_KEY = 18, QVS_TAG_MEMBER = 19, QVS_TAG_ENVELOPE = 20, QVS_TAG_POSITION = 21,
    QVS_TAG_SYNC_LIST = 41, QVS_TAG_SPK = 46, QVS_TAG_SPK_SIG = 47, QVS_TAG_SPK_ID = 48, QVS_TAG_OTK = 49, QVS_TAG_OTK_ID = 50,
    QVS_TAG_DEVICE_KEY = 51, QVS_TAG_MEMBER_DEVICE = 55,
    QVS_TAG_CERT = 6, QVS_TAG_LAST_SEEN = 16, QVS_TAG_ONLINE = 22, QVS_TAG_TOTAL = 24, QVS_TAG_DATA = 25, QVS_TAG_OFFSET = 26,
    QVS_TAG_DEVICE_ID = 52, QVS_TAG_REVOKE_STATUS = 53, QVS_TAG_LIMIT = 74, QVS_TAG_MORE = 75, QVS_TAG_GRANT = 84,
    QVS_TAG_READ_MARK = 100, QVS_TAG_ROLE = 28, QVS_TAG_AUTH = 2, QVS_TAG_ESCROW = 80, QVS_TAG_NEW_AUTH = 81, QVS_TAG_PASSWORD_STATUS = 83,
};

constexpr size_t   QVS_ENV_MIN = 80;                           // header and tag: nothing shorter is an envelope
constexpr size_t   QVS_ENV_MAX = (1u << 20) - 2 * 5 - 8;       // a live envelope's frame adds its position and must stay within 1 MiB
constexpr uint64_t QVS_ENV_PER_DEVICE_MAX = 100000;            // copies waiting for one device; beyond, it gets no more
constexpr uint64_t QVS_ENV_BYTES_PER_DEVICE_MAX = 512ull << 20;  // and their bytes: 1 MiB envelopes would fill 100 GB
constexpr uint64_t QVS_ENV_PER_SENDER_MAX = 10000;             // of them from one sender: one user cannot fill a device,
constexpr uint64_t QVS_ENV_BYTES_PER_SENDER_MAX = 64ull << 20;  // it takes ten
constexpr uint64_t QVS_ENV_SENDER_RESERVE = 1000;              // a sender with fewer waiting (and fewer bytes) is taken
constexpr uint64_t QVS_ENV_BYTES_SENDER_RESERVE = 8ull << 20;   // even by a device that holds its totals
constexpr size_t   QVS_CONV_MEMBERS_MAX = 64;
constexpr uint64_t QVS_CONVS_WITH_USER_PER_DAY = 32;           // conversations one user may put another into in a day
constexpr uint64_t QVS_MEMBERS_ADDED_PER_MINUTE = 256;         // and members it may add in all, a minute
constexpr uint64_t QVS_REGISTRATIONS_PER_ADDRESS = 3;          // new accounts one address (IPv6: a /64) may make a day, by
                                                               // default: fresh accounts would multiply every per-sender limit
constexpr size_t   QVS_HISTORY_CHUNK_MAX = 262144;             // bytes of one history transfer chunk
constexpr uint64_t QVS_HISTORY_TOTAL_MAX = 64ull << 20;        // and of a whole transfer
constexpr size_t   QVS_HISTORY_HOLD = 2u << 20;                // a sender of chunks waits while more than this waits for its target
constexpr uint64_t QVS_BACKLOG_KEEP = 10000;                   // envelopes kept per conversation for back-fill
constexpr size_t   QVS_BACKFILL_PAGE = 200;                    // envelopes of one back-fill page at most
constexpr size_t   QVS_REVOKED_CHECKED = 64;                   // revoked devices a refused sign-in is checked against, latest first
constexpr size_t   QVS_SYNC_BATCH = 64;                        // envelopes read from the store per step of a sync
constexpr size_t   QVS_SYNC_LOW_WATER = 1u << 20;              // a sync goes on while less than this waits to be sent
constexpr size_t   QVS_SYNC_STEP_BYTES = 256u << 10;           // a step ends once it has built this much (plus one
                                                               // envelope or conversation information at most) ...
constexpr uint64_t QVS_SYNC_STEP_WORK = 800;                   // ... or done this much in the store (qvs_store_work: ~2 ms)
constexpr size_t   QVS_WORK_BYTES = 4096;                      // bytes taken in or built that count as one unit of work

// Statuses this server answers with, each meaning what the client reads in
// it. Codes the client knows but this server has no cause to send are not
// named: sign-in 0 (awaiting approval) and 3 (account revoked), escrow 3 to
// 5, recovery 3 and 4. Registration must never answer 3:
// the client counts it as registered.
enum : uint8_t {
    // registration, frame 130
    QVS_REG_OK = 0,              // a new account, or a device added to its own account
    QVS_REG_TAKEN = 1,           // the name belongs to another identity, or the auth value does not match
    QVS_REG_BAD_NAME = 2,
    QVS_REG_DEVICES_FULL = 4,    // the account has QVS_MAX_DEVICES
    QVS_REG_DEVICE_REVOKED = 5,  // this device was revoked from the account
    QVS_REG_MALFORMED = 6, QVS_REG_BAD_CERT = 7, QVS_REG_FAILED = 8,
    QVS_REG_ADDRESS_LIMITED = 9,  // the address made as many new accounts in a day as it may: the client's "rejected"
    // sign-in refusal, frame 133
    QVS_LOGIN_WRONG = 1,  // the wrong auth value, or a device the account does not have: the client then registers it
    QVS_LOGIN_LIMITED = 2,  // the account has QVS_CONNS_PER_ACCOUNT connections signed in: the client tries again later
    QVS_LOGIN_NO_ACCOUNT = 4, QVS_LOGIN_DEVICE_REVOKED = 5, QVS_LOGIN_FAILED = 6,
    // escrow fetch, frame 174
    QVS_ESCROW_OK = 0, QVS_ESCROW_WRONG = 1, QVS_ESCROW_NO_ACCOUNT = 2, QVS_ESCROW_FAILED = 6,
    // recovery, frames 182 and 183
    QVS_RECOVER_OK = 0, QVS_RECOVER_NO_ACCOUNT = 1, QVS_RECOVER_NO_ESCROW = 2, QVS_RECOVER_BAD_PROOF = 5, QVS_RECOVER_FAILED = 6,
    // pre-authentication, frames 185 and 186
    QVS_PREAUTH_NO_MAIL = 1,
    // password change, frame 175
    QVS_PW_OK = 0, QVS_PW_WRONG = 1, QVS_PW_MALFORMED = 2, QVS_PW_FAILED = 6,
};
constexpr int QVS_PW_WRONG_MAX = 5;  // wrong current passwords one connection may try; the next ends it

enum qvs_phase : int {
    QVS_WAIT_HELLO = 0,
    QVS_WAIT_REQUEST = 1,
    QVS_WAIT_PROOF = 2,    // sign-in challenge sent
    QVS_WAIT_RECOVERY = 3, // recovery challenge sent
    QVS_SIGNED_IN = 4,
    QVS_DONE = 5,          // final answer sent: the connection closes once it is out
};

// Behaviour a test build can switch on (from the environment); the product
// build has no way to set them.
struct qvs_knobs {
    uint8_t refuse;  // every status-bearing answer carries this status
    int silent;      // never answer, not even hello
    int split;       // write every byte as its own TLS record
    int reset;       // reset the connection right after the server's hello
    int login_refuse = -1;  // 0-255: every sign-in is refused with this status, 0 included
    uint64_t clock_ms = 0;  // nonzero: the wall clock stands at this time, so windows of minutes hold however slow a test runs
    uint64_t handshake_limit_ms = 0;  // nonzero: replaces QVS_HANDSHAKE_LIMIT_MS, so connections a test holds unsigned stay however slow it runs
    const char *work_log = nullptr;   // a file: each turn, the work each signed-in account was given in it
};

using qvs_frame_ptr = std::shared_ptr<const std::vector<uint8_t>>;

// A frame for every signed-in, synced connection of one device, sent only
// once the turn has committed (the event loop finds the connections).
struct qvs_push {
    int64_t dev;
    qvs_frame_ptr frame;  // a whole frame, or with pos the envelope that frame 137 carries, or with make the frame's shared tail
    uint64_t pos;
    std::function<std::vector<uint8_t>()> make;  // the frame (or its own part before `frame`), made only when the device is connected
    bool unsynced_too = false;  // also to connections still syncing: a frame no cursor orders (history chunks)
};

struct qvs_ctx {
    qvs_store *store;
    const qvs_keys *keys;
    qvs_knobs knobs;
    std::vector<qvs_push> pushes;
    std::vector<int64_t> revoked = {};  // devices whose connections end once the turn has committed
    std::function<bool(const uint8_t user_id[16])> may_sign_in = {};  // the event loop's caps; none: always
    uint64_t registrations_per_address = QVS_REGISTRATIONS_PER_ADDRESS;  // the operator's; 0: no bound
};

// A sync streamed over several turns, so that a device with much waiting
// never fills its send queue: each conversation's information, then its
// copies above the cursor up to `mark` (the last position when the sync
// began), then whatever arrived for the device since, then the end frame.
struct qvs_sync_stream {
    bool active = false;
    std::vector<std::vector<uint8_t>> convs;  // of the user, in order
    std::vector<uint64_t> cursors;            // the device's, one per conversation
    size_t next = 0;                          // index of the conversation being sent
    bool info_sent = false;                   // and its copies at or below the cursor deleted
    uint64_t after = 0;                       // last position sent (or the cursor) in that conversation
    uint64_t mark = 0;
    uint64_t tail_after = 0;
};

struct qvs_conn {
    int phase = QVS_WAIT_HELLO;
    std::string peer;  // the peer's address as text, as the loop counts it
    std::string user;
    uint8_t nonce[32] = {};
    int known_user = 0;           // the challenge was for an account that exists
    qvs_account acct{};
    uint8_t user_id[16] = {};
    int64_t dev = 0;      // the signed-in device
    bool synced = false;  // live envelopes go to it: it has synced on this connection
    qvs_sync_stream sync;
    int reset_after_send = 0;
    std::vector<std::vector<uint8_t>> replies;  // whole frames, sent after the turn commits
    uint64_t pings = 0;
    int pw_wrong = 0;             // wrong current passwords offered in password changes
    int64_t history_to = 0;  // the device this connection last sent history chunks to (the loop holds it back for it)
    ~qvs_conn();
};

[[nodiscard]] int qvs_handle_frame(qvs_ctx *ctx, qvs_conn *conn, const uint8_t *frame, size_t len);
// Queues the next part of a sync: 1 more to come, 0 done, -1 failure. The part
// ends once its work (the store's, and one per QVS_WORK_BYTES built) reaches
// work_max, yet always carries one conversation or one batch of copies, so a
// sync goes on however little of a turn its account has left.
[[nodiscard]] int qvs_sync_step(qvs_ctx *ctx, qvs_conn *conn, uint64_t work_max = QVS_SYNC_STEP_WORK);
std::vector<uint8_t> qvs_live_frame(uint64_t pos, const std::vector<uint8_t> &env);  // frame 137
std::vector<uint8_t> qvs_live_head(uint64_t pos, size_t env_len);  // frame 137 up to its envelope, which the sender's copy completes
// A push as one device receives it: the part made for that device (empty when
// the push's frame is whole by itself), then the shared part when there is one.
std::vector<uint8_t> qvs_push_head(const qvs_push &p);
qvs_frame_ptr qvs_push_shared(const qvs_push &p);
std::vector<uint8_t> qvs_push_frame(const qvs_push &p);  // head and shared part in one
void note_handed(qvs_ctx *ctx, int64_t dev, uint64_t pos);  // copies up to pos were queued for the device

// Signed-in handlers, one file per concern (same results as qvs_handle_frame)
// - devices and prekeys (server_devices.cpp): 41 publish, 6 request -> 135.
// - conversations (server_convs.cpp): 24 create -> 151 to every synced device of the members.
// - envelopes and sync (server_relay.cpp): 7 -> 136 and 137 pushes, 8 -> a sync stream.
struct qvs_records;
int qvs_on_publish_prekeys(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec);
int qvs_on_prekey_request(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec);
int qvs_on_create_conv(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec);
int qvs_on_envelope(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec);
int qvs_on_sync(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec);
// - group keys and key requests (server_convs.cpp, server_groups.cpp): 17 -> 151; 64 -> 176, 65.
// - presence, typing and read state (server_presence.cpp): 58, 13, 14, 83 -> 15, 13, 14, 188.
// - own devices (server_devices.cpp, server_history.cpp): 42 -> 159; 43 -> 160, 44 -> 161; 59 -> 170 ... 171.
int qvs_on_group_key(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec);
int qvs_on_key_request(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec);
int qvs_on_key_requests_again(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec);
int qvs_on_presence_public(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec);
int qvs_on_typing(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec);
int qvs_on_receipt(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec);
int qvs_on_read_mark(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec);
int qvs_on_revoke(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec);
int qvs_on_history_request(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec);
int qvs_on_history_chunk(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec);
int qvs_on_backfill(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec);
// Presence frames for a user coming online (its first connection) or going
// offline (its last), to the devices of users who share a conversation.
void qvs_presence_changed(qvs_ctx *ctx, const uint8_t user_id[16], bool online);
void qvs_push_conv_info(qvs_ctx *ctx, const uint8_t conv_id[16], const std::vector<qvs_conv_member> &members);
void qvs_push_to_users(qvs_ctx *ctx, const std::vector<std::vector<uint8_t>> &users, int64_t except_dev, const std::vector<uint8_t> &frame);
[[nodiscard]] uint8_t qvs_add_device(qvs_ctx *ctx, const qvs_account &acct, const uint8_t identity[32], const uint8_t auth[32],
                                     const qvs_device &dev);  // the registration status: QVS_REG_OK when added or already there
[[nodiscard]] int qvs_conv_info(qvs_ctx *ctx, const uint8_t conv_id[16], const uint8_t user_id[16], const qvs_device &dev,
                                std::vector<uint8_t> *frame);  // frame 151 for one device of the member user_id
[[nodiscard]] int qvs_auth_hash(const uint8_t salt[QVS_SALT_LEN], const uint8_t auth[32], uint8_t out[32]);
uint64_t qvs_wall_ms(const qvs_ctx *ctx);  // the wall clock in ms: kept times (accounts, adds, last seen)
// What registrations are counted by for an address in text: the 4 bytes of
// an IPv4 address (also one mapped into IPv6), the first 8 of an IPv6 one
// (a /64 is what one subscriber gets), else a mark and the text.
std::vector<uint8_t> qvs_address_key(const std::string &peer);
[[nodiscard]] bool qvs_user_name_valid(const uint8_t *name, size_t len);  // 1-32 printable bytes without '/' or spaces
