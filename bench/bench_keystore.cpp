// Unlocking the device key store (one open at its fixed scrypt cost, N 32768, r 8,
// p 1) beside the same derivation run by `openssl kdf ... SCRYPT` with the store's
// own salt, timed on a monotonic clock in the same run; the command's output is
// checked against our scrypt first. The command also pays for starting a process,
// so the cost of `openssl version` is shown beside it and taken off in
// ratio_less_start.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "client_store.h"
#include "quorvane_keyfile.h"

#include "bench_support.h"

namespace {

constexpr const char *kPassword = "correct horse battery staple";

// A store in a scratch file, removed with the object.
struct Store {
    qv_bench::ScratchDir scratch;
    std::string path;
    quorvane_device_keys keys{};
    int rc = -1;
    Store() {
        path = scratch.dir + "/device.keys";
        rc = quorvane_client_store_create(path.c_str(), kPassword, &keys);
    }
    ~Store() {
        quorvane_device_keys_cleanse(&keys);
        unlink(path.c_str());
    }
};

void BM_KeystoreOpen(benchmark::State &state) {
    Store s;
    if (s.rc != 0) {
        state.SkipWithError("create failed");
        return;
    }
    quorvane_device_keys k;
    for (auto _ : state) {
        if (quorvane_client_store_open(s.path.c_str(), kPassword, &k) != 0) state.SkipWithError("open failed");
        benchmark::DoNotOptimize(k);
    }
    quorvane_device_keys_cleanse(&k);
}
BENCHMARK(BM_KeystoreOpen)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_KeystoreOpenVsOpensslKdf(benchmark::State &state) {
    Store s;
    uint8_t hdr[QV_KEYFILE_HDR_LEN], ours[32];
    quorvane_keyfile_hdr h;
    FILE *f = s.rc == 0 ? fopen(s.path.c_str(), "rb") : nullptr;
    const bool got = f && fread(hdr, 1, sizeof hdr, f) == sizeof hdr;
    if (f) fclose(f);
    if (!got || quorvane_keyfile_parse(hdr, sizeof hdr, &h) != 0 || h.params.N != QV_KEYSTORE_SCRYPT.N ||
        h.params.r != QV_KEYSTORE_SCRYPT.r || h.params.p != QV_KEYSTORE_SCRYPT.p ||
        quorvane_scrypt(reinterpret_cast<const uint8_t *>(kPassword), strlen(kPassword), h.salt, sizeof h.salt,
                        &h.params, ours, sizeof ours) != 0) {
        state.SkipWithError("store set-up failed");
        return;
    }
    const auto kdf = qv_bench::openssl_scrypt_argv(kPassword, h.salt, sizeof h.salt);
    if (!qv_bench::openssl_scrypt_agrees(state, kdf, ours, sizeof ours)) return;
    quorvane_device_keys k;
    qv_bench::time_vs_openssl_scrypt(state, kdf, "open_ms", [&] {
        benchmark::DoNotOptimize(quorvane_client_store_open(s.path.c_str(), kPassword, &k));
    });
    quorvane_device_keys_cleanse(&k);
}
BENCHMARK(BM_KeystoreOpenVsOpensslKdf)->Arg(15)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
