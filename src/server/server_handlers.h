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
#include <string>
#include <vector>

// Statuses this server answers with (the client carries them as reasons).
enum : uint8_t {
    QVS_REG_OK = 0, QVS_REG_MALFORMED = 1, QVS_REG_BAD_NAME = 2, QVS_REG_TAKEN = 3, QVS_REG_BAD_CERT = 4, QVS_REG_FAILED = 5,
    QVS_LOGIN_WRONG = 1, QVS_LOGIN_UNKNOWN_DEVICE = 2, QVS_LOGIN_FAILED = 3,
    QVS_ESCROW_WRONG = 1, QVS_ESCROW_FAILED = 3,
    QVS_RECOVER_NO_ACCOUNT = 1, QVS_RECOVER_NO_ESCROW = 2, QVS_RECOVER_BAD_PROOF = 5, QVS_RECOVER_FAILED = 6,
    QVS_PREAUTH_NO_MAIL = 1,
};

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
};

struct qvs_ctx {
    qvs_store *store;
    const qvs_keys *keys;
    qvs_knobs knobs;
};

struct qvs_conn {
    int phase = QVS_WAIT_HELLO;
    std::string user;
    uint8_t nonce[32] = {};
    int known_user = 0;           // the challenge was for an account that exists
    qvs_account acct{};
    uint8_t user_id[16] = {};
    int reset_after_send = 0;
    std::vector<std::vector<uint8_t>> replies;  // whole frames, sent after the turn commits
    uint64_t pings = 0;
    ~qvs_conn();
};

[[nodiscard]] int qvs_handle_frame(qvs_ctx *ctx, qvs_conn *conn, const uint8_t *frame, size_t len);
[[nodiscard]] int qvs_auth_hash(const uint8_t salt[QVS_SALT_LEN], const uint8_t auth[32], uint8_t out[32]);
[[nodiscard]] bool qvs_user_name_valid(const uint8_t *name, size_t len);  // 1-32 printable bytes without '/' or spaces
