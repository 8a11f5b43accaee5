// Sealing one message for a conversation with three device sessions (each
// stepped ratchet stored in the message store before its frame leaves) beside
// the floor: three ratchet encryptions of the same body with nothing stored.
#include "client_seal.h"
#include "quorvane_crypto.h"

#include <benchmark/benchmark.h>

#include "bench_peer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kBody = 200;


int drop(void *, const uint8_t *, const uint8_t *, size_t) { return 0; }

void BM_SealThreeDevices(benchmark::State &state) {
    char tmpl[] = "/tmp/bench_dm_XXXXXX";
    if (!mkdtemp(tmpl)) std::abort();
    const uint8_t secret[32] = {1};
    quorvane_msgstore *ms = quorvane_msgstore_open(tmpl, secret);
    quorvane_device_keys keys{};
    if (!ms || quorvane_x25519_keypair(keys.device_x25519_priv, keys.device_x25519_pub) != 0) std::abort();
    uint8_t conv[16] = {7}, user[16] = {8};
    qv_bench::PeerDevice peers[3];
    for (qv_bench::PeerDevice &p : peers)
        if (cs_dm_init_device(ms, &keys, conv, &p.dev, 0, 1) != 0) std::abort();
    std::vector<uint8_t> body(kBody, 'x');
    cs_pending_ring ring{};
    uint64_t counter = 0;
    for (auto _ : state) {
        ring.count = 0;
        if (cs_seal_devices(ms, conv, user, keys.device_x25519_pub, ++counter, 1, body.data(), body.size(), &ring, drop,
                            nullptr) != 3)
            std::abort();
    }
    quorvane_msgstore_close(ms);
    if (std::system((std::string("rm -rf ") + tmpl).c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", tmpl);
}

void BM_ThreeRatchetEncryptions(benchmark::State &state) {
    quorvane_ratchet *r[3] = {};
    qv_bench::PeerDevice peers[3];
    uint8_t xp[32], xq[32], pre[QV_DM_PREAMBLE_LEN];
    if (quorvane_x25519_keypair(xp, xq) != 0) std::abort();
    for (int i = 0; i < 3; i++)
        if (quorvane_dm_begin_initiator(&r[i], pre, xp, xq, &peers[i].dev.bundle) != 0) std::abort();
    std::vector<uint8_t> body(kBody, 'x'), msg(kBody + QV_RATCHET_OVERHEAD);
    size_t n = 0;
    for (auto _ : state)
        for (quorvane_ratchet *s : r)
            if (quorvane_ratchet_encrypt(s, body.data(), body.size(), msg.data(), msg.size(), &n) != 0) std::abort();
    for (quorvane_ratchet *&s : r) quorvane_ratchet_free(&s);
}

}  // namespace

BENCHMARK(BM_SealThreeDevices);
BENCHMARK(BM_ThreeRatchetEncryptions);
