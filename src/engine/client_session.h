// One protocol session with the server: one connection, one pass through the
// handshake that the configuration picks (sign in, register, fetch the
// password escrow, recover with the recovery key, or a pre-authentication
// query), then the signed-in exchange. A finished or failed session is never
// restarted; the caller frees it and makes a new one.
// The server is trusted on first use by two pins kept side by side: its static
// Ed25519 key (frame 129) at the pin-store path, and the public key of its TLS
// certificate at that path with ".tls" appended. Either changing ends the
// session in state 8 before anything but hello was sent, so a relay in the
// middle never sees the auth value or an escrow record.
// Results: 0 ok, -1 refused or not available.
#pragma once

#include "client_account.h"
#include "client_authed.h"
#include "client_community.h"
#include "client_deliver.h"
#include "client_msgstore.h"
#include "client_net.h"
#include "client_store.h"
#include "client_transfer.h"
#include "quorvane_handshake.h"

#include <cstddef>
#include <cstdint>

struct quorvane_emoji_cache;

constexpr uint64_t QV_CS_CONNECT_TIMEOUT_MS = 15000;
constexpr uint64_t QV_CS_PING_IDLE_MS = 29999;      // a ping goes out once this much has passed without sending
constexpr size_t   QV_CS_FRAME_BUF = 8192;
constexpr size_t   QV_CS_DETAIL_LEN = 160;
constexpr size_t   QV_CS_USER_MAX = 32;
constexpr size_t   QV_CS_ADDRESS_MAX = 254;
constexpr size_t   QV_CS_CODE_LEN = 6;
constexpr size_t   QV_CS_REG_EXTRA_LEN = 10;
constexpr uint8_t  QV_CS_REASON_ESCROW = 255;       // an escrow record did not open
constexpr const char *QV_CS_PIN_TLS_SUFFIX = ".tls";

enum quorvane_cs_state : uint32_t {
    QV_CS_NEW = 0,
    QV_CS_CONNECTING = 1,
    QV_CS_REGISTERING = 2,
    QV_CS_SIGNING_IN = 3,
    QV_CS_SIGNED_IN = 4,
    QV_CS_REGISTERED = 5,
    QV_CS_LOGIN_REFUSED = 6,
    QV_CS_REGISTER_REFUSED = 7,
    QV_CS_KEY_CHANGED = 8,
    QV_CS_FAILED = 9,
    QV_CS_ESCROW_SENT = 10,
    QV_CS_ESCROW_READY = 11,
    QV_CS_ESCROW_REFUSED = 12,
    QV_CS_RECOVERING = 13,
    QV_CS_RECOVERED = 14,
    QV_CS_RECOVER_REFUSED = 15,
    QV_CS_PREAUTH_SENT = 16,
    QV_CS_PREAUTH_READY = 17,
};

struct quorvane_cs_config {
    const char *host;
    const char *port;
    const char *user;
    const char *password;
    quorvane_device_keys *keys;
    const char *pin_path;
    int32_t do_register;
    int32_t escrow_fetch;
    int32_t recover;
    const uint8_t *recovery_key;       // 32 bytes, recover mode
    const uint8_t *register_extra;     // 10 bytes or null
    int32_t preauth_kind;              // 0 none, 1 e-mail address, 2 user name, 3 user name and code
    const char *code;                  // 6 characters, kind 3
    quorvane_msgstore *store;
    quorvane_emoji_cache *emoji_cache, *emoji_pack0, *emoji_pack1;
    quorvane_cs_hints *hints;
    int32_t fallback_off;
    const uint8_t *auth;               // 32 bytes: quorvane_pw_auth of user and password made earlier, or null to make it here
};

struct quorvane_cs_preauth_info {
    uint8_t status;
    char text[QV_CS_USER_MAX + 1];
    uint8_t extra8[8];
    uint8_t extra2[2];
    uint8_t has_extra;
    uint8_t pad[3];
    uint64_t value;
};
static_assert(sizeof(quorvane_cs_preauth_info) == 56);

struct quorvane_cs {
    quorvane_cs_config cfg;
    quorvane_cnet *cnet;
    uint32_t state;
    int hello_sent;
    uint8_t auth[32];
    uint8_t server_key[32];
    int server_key_known;
    uint8_t fail_reason;
    uint8_t user_id[16];
    uint8_t role;
    uint64_t connect_start_ms;
    uint64_t last_send_ms;
    char detail[QV_CS_DETAIL_LEN];
    uint8_t login_nonce_seen;
    quorvane_cs_preauth_info preauth;
    int preauth_ready;
    uint8_t escrow_seed[32];
    int escrow_seed_ready;
    cs_authed_state authed;    // signed-in exchange: result slots, queues, counters
    cs_deliver_state deliver;  // receive path: notifications, hints, back-fill sink
    cs_account_state account;      // account, device, history and presence answers
    cs_community_state community;  // conversation, channel, instance and administration answers
    cs_transfer_state transfer;    // the blob transfer and the emoji-pack sync
};

[[nodiscard]] quorvane_cs *quorvane_cs_new(const quorvane_cs_config *config);  // null when a required field is missing
void quorvane_cs_free(quorvane_cs *cs);  // wipes the whole block
void quorvane_cs_pump(quorvane_cs *cs);
uint32_t quorvane_cs_get_state(const quorvane_cs *cs);  // 9 for null
uint8_t quorvane_cs_fail_reason(const quorvane_cs *cs);
const char *quorvane_cs_fail_detail(const quorvane_cs *cs);  // null when empty
const uint8_t *quorvane_cs_user_id(const quorvane_cs *cs);
uint8_t quorvane_cs_role(const quorvane_cs *cs);
int quorvane_cs_server_key(const quorvane_cs *cs, uint8_t out[32]);  // 1 with the key from state 2 on, else 0
uint64_t quorvane_cs_activity(const quorvane_cs *cs);
int      quorvane_cs_should_ping(uint64_t last_send_ms, uint64_t now_ms);  // a send happened, not in the future, over 29999 ms ago
// Room to send: frames the connection's send ring still takes, and sealed sends
// the pending-send ring still records. A caller that keeps its work queued while
// these are short never has a send refused for want of room.
size_t quorvane_cs_send_room(const quorvane_cs *cs);     // 0 for null or without a connection
size_t quorvane_cs_pending_room(const quorvane_cs *cs);  // 0 for null
[[nodiscard]] int quorvane_cs_preauth(quorvane_cs *cs, quorvane_cs_preauth_info *out);
[[nodiscard]] int quorvane_cs_take_escrow_seed(quorvane_cs *cs, uint8_t out[32]);

#ifdef QV_ENGINE_TEST_HOOKS
// Puts a new session straight into the signed-in state without a connection, so
// the receive path can be driven with frames a test builds; sends fail.
void quorvane_cs_test_signed_in(quorvane_cs *cs, const uint8_t user_id[16]);
#endif

// Frame senders and finders shared with the signed-in exchange.
[[nodiscard]] int send_frame(quorvane_cs *cs, uint8_t type, const uint8_t *payload, size_t len);
[[nodiscard]] int send_frame_large(quorvane_cs *cs, uint8_t type, const uint8_t *payload, size_t len);
[[nodiscard]] int find_u8(const uint8_t *frame, size_t len, uint8_t tag, uint8_t *out);
[[nodiscard]] int find_fixed(const uint8_t *frame, size_t len, uint8_t tag, size_t exact, const uint8_t **out);
[[nodiscard]] int find_bytes(const uint8_t *frame, size_t len, uint8_t tag, size_t min, size_t max, const uint8_t **out, size_t *out_len);
[[nodiscard]] int find_u64(const uint8_t *frame, size_t len, uint8_t tag, uint64_t *out);
