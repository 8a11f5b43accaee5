// The sender's cost of one text, through quorvane_cs_send_text on a session
// signed in to the project's server over loopback TLS (encoding, sealing, the
// frame queued and written, the own copy stored), beside its crypto-only floor:
// - a 64-member group: one envelope under the conversation key, whatever the
//   member count, beside quorvane_env_seal of the same body;
// - a direct conversation with three device sessions: three ratchet messages,
//   each stepped session stored before it leaves, beside three
//   quorvane_ratchet_encrypt with nothing stored.
// And sealing a 64 MiB history for another own device (quorvane_seal)
// beside `openssl speed -evp chacha20-poly1305` run as a child in the same run.
#include <benchmark/benchmark.h>

#include "bench_peer.h"

#include "bench_support.h"
#include "client_send.h"
#include "client_session.h"
#include "net_test_helpers.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const uint8_t kSecret[32] = {5, 1, 5};
const std::string kText(200, 't');
constexpr size_t kHistory = size_t{64} << 20;


using qv_bench::pump_until;


// The server, one registered account signed in with its store, a 64-member
// group and a direct conversation with three device sessions.
struct World {
    qv_bench::ScratchDir scratch;
    int port = qvnettest::free_port();
    qv_bench::ServerChild server{QV_SERVER_PRODUCT_BIN, scratch.dir + "/srv", port};
    std::string port_s = std::to_string(port), pin = scratch.dir + "/pin";
    qv_bench::PlainAccount amy{port_s, pin};
    uint8_t group[16] = {0x61}, direct[16] = {0x62}, group_key[32] = {0x4B};
    qv_bench::PeerDevice peers[3];
    bool ok = false;

    World() {
        if (!amy.up(scratch.dir + "/store", kSecret)) return;
        // the group: our own entry and 63 more; the conversation-key path never looks at them
        uint8_t users[64][16] = {}, idk[64][32] = {}, sk[64][32] = {}, roles[64] = {};
        for (int i = 0; i < 64; i++) users[i][0] = idk[i][0] = static_cast<uint8_t>(i + 1);
        std::memcpy(users[0], quorvane_cs_user_id(amy.cs.get()), 16);
        if (quorvane_msgstore_put_conv(amy.ms, group, group_key) != 0 ||
            quorvane_msgstore_set_members(amy.ms, group, users, idk, sk, roles, 64) != 0)
            return;
        const uint8_t direct_key[32] = {0x4C};
        if (quorvane_msgstore_put_conv(amy.ms, direct, direct_key) != 0) return;
        for (qv_bench::PeerDevice &p : peers)
            if (cs_dm_init_device(amy.ms, &amy.keys, direct, &p.dev, 0, 1) != 0) return;
        quorvane_msgstore_set_msg_cap(amy.ms, 200);
        ok = true;
    }
    // One send; the server answers every envelope, so the pending ring is let
    // go of here rather than waited for: the figure is the sender's own work.
    bool send(const uint8_t conv[16]) {
        amy.cs->authed.pending.count = 0;
        const bool sent = quorvane_cs_send_text(amy.cs.get(), conv, kText.c_str()) == 0;
        quorvane_cs_pump(amy.cs.get());
        return sent;
    }
};

void BM_SendText(benchmark::State &state) {
    World w;
    if (!w.ok) {
        state.SkipWithError("setup failed");
        return;
    }
    const uint8_t *conv = state.range(0) == 0 ? w.group : w.direct;
    for (auto _ : state)
        if (!w.send(conv)) {
            state.SkipWithError("send refused");
            return;
        }
    state.SetLabel(state.range(0) == 0 ? "64-member group, one envelope" : "direct, three device sessions");
}
BENCHMARK(BM_SendText)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_FloorEnvSeal(benchmark::State &state) {
    const uint8_t key[32] = {0x4B};
    std::vector<uint8_t> body(1 + kText.size(), 't'), env(body.size() + QV_ENV_OVERHEAD);
    body[0] = 1;
    quorvane_env_header h{};
    size_t n = 0;
    for (auto _ : state) {
        h.counter++;
        if (quorvane_random(h.salt, sizeof h.salt) != 0 || quorvane_env_seal(key, &h, body.data(), body.size(), env.data(), env.size(), &n) != 0)
            std::abort();
        benchmark::DoNotOptimize(env.data());
    }
    state.SetLabel("one envelope seal");
}
BENCHMARK(BM_FloorEnvSeal)->Unit(benchmark::kMicrosecond);

void BM_FloorThreeRatchets(benchmark::State &state) {
    qv_bench::PeerDevice peers[3];
    quorvane_ratchet *r[3] = {};
    uint8_t xp[32], xq[32], pre[QV_DM_PREAMBLE_LEN];
    if (quorvane_x25519_keypair(xp, xq) != 0) std::abort();
    for (int i = 0; i < 3; i++)
        if (quorvane_dm_begin_initiator(&r[i], pre, xp, xq, &peers[i].dev.bundle) != 0) std::abort();
    std::vector<uint8_t> body(1 + kText.size(), 't'), msg(body.size() + QV_RATCHET_OVERHEAD);
    size_t n = 0;
    for (auto _ : state)
        for (quorvane_ratchet *s : r)
            if (quorvane_ratchet_encrypt(s, body.data(), body.size(), msg.data(), msg.size(), &n) != 0) std::abort();
    for (quorvane_ratchet *&s : r) quorvane_ratchet_free(&s);
    state.SetLabel("three ratchet encryptions");
}
BENCHMARK(BM_FloorThreeRatchets)->Unit(benchmark::kMicrosecond);

// 64 MiB sealed to a device key, beside the bare AEAD at its largest block size.
void BM_History64MiB(benchmark::State &state) {
    std::vector<uint8_t> history(kHistory, 0x68), box(kHistory + QV_SEAL_OVERHEAD);
    uint8_t pub[32], priv[32];
    if (quorvane_x25519_keypair(priv, pub) != 0) std::abort();
    size_t n = 0;
    for (auto _ : state)
        if (quorvane_seal(pub, history.data(), history.size(), box.data(), box.size(), &n) != 0) std::abort();
    const double ours = static_cast<double>(kHistory) * state.iterations();
    state.SetBytesProcessed(static_cast<int64_t>(ours));
    std::string out;
    if (qv_bench::run({"openssl", "speed", "-evp", "chacha20-poly1305", "-seconds", "1"}, &out) != 0) {
        state.SkipWithError("cannot run openssl speed");
        return;
    }
    double kbps16k = 0;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream in(line);
        std::string name;
        in >> name;
        if (name.rfind("ChaCha20-Poly1305", 0) != 0 && name.rfind("chacha20-poly1305", 0) != 0) continue;
        for (std::string v; in >> v;) kbps16k = std::strtod(v.c_str(), nullptr);  // the last column: 16384-byte blocks
    }
    if (kbps16k <= 0) {
        state.SkipWithError("unexpected openssl speed output");
        return;
    }
    state.counters["openssl_16KiB_MBps"] = kbps16k * 1000.0 / 1e6;
    state.counters["openssl_64MiB_ms"] = static_cast<double>(kHistory) / (kbps16k * 1000.0) * 1e3;
}
BENCHMARK(BM_History64MiB)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
