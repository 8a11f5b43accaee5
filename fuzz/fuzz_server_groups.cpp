// The server's signed-in handlers of groups and own devices: group keys with
// older-keys records, key requests, presence, typing, read receipts and marks,
// device revocation, history requests and chunks, back-fill. The input is cut
// into frames handed, in order, to a connection signed in as the first of two
// devices of account "fuzz", which shares conversation 03..03 with "peer".
// Revocation is for good, so each input starts from a fresh store in a scratch
// directory. After every frame the turn commits, as the event loop does; every
// frame made must be whole, and a history chunk goes only to the own other device.
#include "fuzz_frames.h"
#include "fuzz_scratch.h"
#include "fuzz_server_turn.h"
#include "quorvane_proto.h"
#include "server_handlers.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

qvs_keys g_keys;
int64_t g_dev, g_own_other;

// Devices have fixed keys (the store does not check them), so seeds can name
// them by device id: fuzz 11../12.. and 21../22.., peer 31../32...
qvs_store *fresh_store() {
    static const std::string dir = fuzz_scratch_file("srv");
    static const bool keys = qvs_keys_load_or_create(dir, &g_keys) == 0;
    if (!keys) return nullptr;
    const std::string db = dir + "/groups.db";
    for (const char *ext : {"", "-wal", "-shm"}) unlink((db + ext).c_str());
    qvs_store *st = qvs_store_open(db.c_str());
    if (!st) return nullptr;
    const uint8_t devkeys[3][2] = {{0x11, 0x12}, {0x21, 0x22}, {0x31, 0x32}};
    for (int i = 0; i < 3; i++) {
        qvs_account a{};
        qvs_device d{};
        const uint8_t who = i < 2 ? 1 : 2;
        a.name = who == 1 ? "fuzz" : "peer";
        std::memset(a.user_id, who, 16);
        std::memset(a.identity_pub, 0x40 + who, 32);
        std::memset(d.x25519_pub, devkeys[i][0], 32);
        std::memset(d.ed25519_pub, devkeys[i][1], 32);
        int r = i == 1 ? qvs_device_add(st, a.user_id, &d) : qvs_account_create(st, &a, &d);
        if (r != 0) {
            qvs_store_close(st);
            return nullptr;
        }
    }
    std::vector<qvs_device> devs;
    if (!fuzz_shared_conv(st, &devs) || devs.size() != 2) {
        qvs_store_close(st);
        return nullptr;
    }
    g_dev = devs[0].row;
    g_own_other = devs[1].row;
    return st;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    qvs_store *st = fresh_store();
    if (!st) return 0;
    qvs_ctx ctx{st, &g_keys, {}, {}};
    qvs_conn conn;
    fuzz_sign_in(&conn, g_dev);
    fuzz_for_each_frame(data, size, [&](const uint8_t *frame, size_t len) {
        return fuzz_server_turn(&ctx, &conn, frame, len, [](const qvs_push &p, const std::vector<uint8_t> &f) {
            if (f[3] == QVS_FT_HISTORY_DATA && p.dev != g_own_other) __builtin_trap();
        });
    });
    qvs_store_close(st);
    return 0;
}
