// The server's handling of everything a client can send before and at sign-in:
// the input is cut into frames and handed, in order, to one connection's
// handlers over an in-memory store that already holds one account.
#include "fuzz_frames.h"
#include "quorvane_crypto.h"
#include "quorvane_escrow.h"
#include "quorvane_proto.h"
#include "quorvane_x3dh.h"
#include "server_handlers.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

std::string g_dir;
qvs_keys g_keys;
qvs_store *g_store;

void cleanup() {
    qvs_store_close(g_store);
    for (const char *f : {"/server.key", "/tls.crt", "/tls.key"}) unlink((g_dir + f).c_str());
    rmdir(g_dir.c_str());
}

// One account, "fuzz", whose auth value is 32 bytes of 0x41.
bool init() {
    char tmpl[] = "/tmp/fuzz_srv_XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    g_dir = tmpl;
    if (qvs_keys_load_or_create(g_dir, &g_keys) != 0) return false;
    g_store = qvs_store_open(":memory:");
    std::atexit(cleanup);
    if (!g_store) return false;
    uint8_t id_priv[32], x_priv[32];
    qvs_account a{};
    qvs_device d{};
    a.name = "fuzz";
    uint8_t auth[32];
    std::memset(auth, 0x41, sizeof auth);
    std::memset(a.user_id, 1, 16);
    if (quorvane_ed25519_keypair(id_priv, a.identity_pub) != 0 || quorvane_x25519_keypair(x_priv, d.x25519_pub) != 0 ||
        quorvane_ed25519_keypair(x_priv, d.ed25519_pub) != 0 || qvs_auth_hash(a.auth_salt, auth, a.auth_hash) != 0 ||
        quorvane_escrow_seal_rk(auth, "fuzz", id_priv, a.rk_escrow) != 0)
        return false;
    a.has_rk_escrow = 1;
    std::memcpy(a.pw_escrow, a.rk_escrow, sizeof a.pw_escrow);
    return qvs_account_create(g_store, &a, &d) == 0 && qvs_store_commit(g_store) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool ready = init();
    if (!ready) return 0;
    qvs_ctx ctx{g_store, &g_keys, {}, {}};
    qvs_conn conn;
    fuzz_for_each_frame(data, size, [&](const uint8_t *frame, size_t len) {
        size_t before = conn.replies.size();
        int r = qvs_handle_frame(&ctx, &conn, frame, len);
        if (qvs_store_commit(g_store) != 0) __builtin_trap();
        if (r != 0) {
            if (conn.replies.size() != before) __builtin_trap();  // a dropped connection is not answered
            return false;
        }
        for (size_t i = before; i < conn.replies.size(); i++) {
            quorvane_frame_header h{};
            const auto &f = conn.replies[i];
            if (quorvane_frame_parse_header(f.data(), f.size(), &h) != 0 || h.length + 8 != f.size()) __builtin_trap();
        }
        return conn.phase != QVS_DONE;
    });
    return 0;
}
