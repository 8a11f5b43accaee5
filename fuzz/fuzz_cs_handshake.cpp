// The client session's handling of whatever a server sends while it waits in
// one handshake state (FUZZ_CS_STATE): the input is cut into frames, which
// are queued on a connection that never touches the network, and one pump
// handles them.
#include "client_session.h"
#include "engine_clock.h"
#include "quorvane_escrow.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

std::string g_dir;
quorvane_device_keys g_keys;
uint8_t g_rk[32];

void cleanup() {
    unlink((g_dir + "/pin").c_str());
    unlink((g_dir + "/pin.tls").c_str());
    rmdir(g_dir.c_str());
}

bool init() {
    char tmpl[] = "/tmp/fuzz_cs_XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    g_dir = tmpl;
    std::atexit(cleanup);
    std::memset(g_rk, 7, sizeof g_rk);
    return quorvane_client_store_build(nullptr, &g_keys) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool ready = init();
    if (!ready) return 0;
    std::string pin = g_dir + "/pin";
    quorvane_cs_config c{};
    c.host = "127.0.0.1";
    c.port = "1";
    c.user = "fuzz";
    c.password = "pw";
    c.pin_path = pin.c_str();
    c.keys = &g_keys;
    constexpr uint32_t state = FUZZ_CS_STATE;
    c.do_register = state == QV_CS_REGISTERING;
    c.escrow_fetch = state == QV_CS_ESCROW_SENT;
    c.recover = state == QV_CS_RECOVERING;
    c.recovery_key = g_rk;
    c.preauth_kind = state == QV_CS_PREAUTH_SENT ? 2 : 0;
    quorvane_cs *cs = quorvane_cs_new(&c);
    if (!cs) return 0;
    cs->state = state;
    cs->connect_start_ms = quorvane_engine_now_ms();
    std::memset(cs->server_key, 0x5e, 32);
    cs->server_key_known = 1;

    quorvane_framebuf fb;
    quorvane_framebuf_init(&fb);
    const uint8_t *in = data;
    size_t left = size;
    quorvane_cnet *n = cs->cnet;
    while (left && n->recv_count < QV_CNET_RING) {
        const uint8_t *frame = nullptr;
        size_t len = 0;
        if (quorvane_framebuf_consume(&fb, &in, &left, &frame, &len) != 0) break;
        auto *copy = static_cast<uint8_t *>(std::malloc(len ? len : 1));
        if (!copy) break;
        std::memcpy(copy, frame, len);
        n->recv_ring[n->recv_count++] = {copy, len};
    }
    quorvane_framebuf_free(&fb);
    quorvane_cs_pump(cs);
    uint32_t st = quorvane_cs_get_state(cs);
    if (st > QV_CS_PREAUTH_READY) __builtin_trap();
    quorvane_cs_preauth_info info;
    if (quorvane_cs_preauth(cs, &info) == 0 && std::memchr(info.text, 0, sizeof info.text) == nullptr) __builtin_trap();
    quorvane_cs_free(cs);
    return 0;
}
