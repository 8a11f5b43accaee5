// X3DH in agreements per second for each role, with and without a one-time
// prekey, beside the bare X25519 step it is made of: an agreement costs four
// (five) of those plus HKDF, and the initiator a key generation on top.
#include <benchmark/benchmark.h>

#include "n_ecc.h"
#include "quorvane_crypto.h"
#include "quorvane_x3dh.h"

namespace {

struct parties {
    uint8_t a_priv[32], a_pub[32], b_priv[32], b_pub[32], spk_priv[32], spk_pub[32], opk_priv[32], opk_pub[32];
    uint8_t eph[32], secret[32], ad[64];
    bool ok = true;
    parties() {
        ok = quorvane_x25519_keypair(a_priv, a_pub) == 0 && quorvane_x25519_keypair(b_priv, b_pub) == 0 &&
             quorvane_x25519_keypair(spk_priv, spk_pub) == 0 && quorvane_x25519_keypair(opk_priv, opk_pub) == 0 &&
             quorvane_x3dh_initiator(a_priv, a_pub, b_pub, spk_pub, opk_pub, eph, secret, ad) == 0;
    }
};

void BM_X3dhInitiator(benchmark::State &state) {
    parties p;
    if (!p.ok) state.SkipWithError("setup failed");
    const uint8_t *opk = state.range(0) ? p.opk_pub : nullptr;
    for (auto _ : state) {
        if (quorvane_x3dh_initiator(p.a_priv, p.a_pub, p.b_pub, p.spk_pub, opk, p.eph, p.secret, p.ad) != 0)
            state.SkipWithError("initiator failed");
        benchmark::DoNotOptimize(p.secret);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_X3dhInitiator)->Arg(0)->Arg(1);

void BM_X3dhResponder(benchmark::State &state) {
    parties p;
    if (!p.ok) state.SkipWithError("setup failed");
    const uint8_t *opk = state.range(0) ? p.opk_priv : nullptr;
    for (auto _ : state) {
        if (quorvane_x3dh_responder(p.b_priv, p.b_pub, p.spk_priv, opk, p.a_pub, p.eph, p.secret, p.ad) != 0)
            state.SkipWithError("responder failed");
        benchmark::DoNotOptimize(p.secret);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_X3dhResponder)->Arg(0)->Arg(1);

void BM_X25519Derive(benchmark::State &state) {
    parties p;
    uint8_t out[32];
    for (auto _ : state) {
        if (n_x25519_derive(p.a_priv, p.b_pub, out) != 0) state.SkipWithError("derive failed");
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_X25519Derive);

}  // namespace
