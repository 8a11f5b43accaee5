// The server's signed-in handlers: prekey publication and requests,
// conversation creation, envelopes and sync. The input is cut into frames and
// handed, in order, to a connection signed in as one device of an account that
// shares a conversation with another; the store lives in a scratch directory.
// After every frame the turn commits and any sync runs to its end, as the event
// loop does; every frame made must be whole and within 1 MiB.
#include "fuzz_frames.h"
#include "fuzz_scratch.h"
#include "fuzz_server_turn.h"
#include "quorvane_crypto.h"
#include "quorvane_proto.h"
#include "quorvane_x3dh.h"
#include "server_handlers.h"

#include <cstdint>
#include <cstring>

namespace {

qvs_keys g_keys;
qvs_store *g_store;
int64_t g_dev;

// Accounts "fuzz" (user id 01..01, device Ed25519 seed 42..42, so seeds can
// carry a valid prekey signature) and "peer" (02..02), and conversation 03..03
// of both.
bool init() {
    std::string dir = fuzz_scratch_file("srv");
    if (qvs_keys_load_or_create(dir, &g_keys) != 0) return false;
    g_store = qvs_store_open((dir + "/quorvane.db").c_str());
    if (!g_store) return false;
    for (uint8_t who = 1; who <= 2; who++) {
        qvs_account a{};
        qvs_device d{};
        uint8_t priv[32], seed[32];
        a.name = who == 1 ? "fuzz" : "peer";
        std::memset(a.user_id, who, 16);
        std::memset(seed, 0x42 + who - 1, 32);
        if (quorvane_ed25519_keypair(priv, a.identity_pub) != 0 || quorvane_x25519_keypair(priv, d.x25519_pub) != 0 ||
            quorvane_ed25519_pub_from_seed(seed, d.ed25519_pub) != 0 || qvs_account_create(g_store, &a, &d) != 0)
            return false;
    }
    std::vector<qvs_device> devs;
    if (!fuzz_shared_conv(g_store, &devs)) return false;
    g_dev = devs[0].row;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool ready = init();
    if (!ready) return 0;
    qvs_ctx ctx{g_store, &g_keys, {}, {}};
    qvs_conn conn;
    fuzz_sign_in(&conn, g_dev);
    fuzz_for_each_frame(data, size, [&](const uint8_t *frame, size_t len) {
        return fuzz_server_turn(&ctx, &conn, frame, len, [](const qvs_push &, const std::vector<uint8_t> &) {});
    });
    return 0;
}
