// The password auth value at its fixed scrypt cost (N 32768, r 8, p 1) beside the
// same derivation run by `openssl kdf ... SCRYPT` with the same password, salt and
// cost, timed on a monotonic clock in the same run; the command's output is checked
// against ours first. The command also pays for starting a process, so the cost of
// `openssl version` is shown beside it. Then what a key-store open and the largest
// backup cost a user.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "quorvane_backup.h"
#include "quorvane_crypto.h"
#include "quorvane_keyfile.h"

#include "bench_support.h"

namespace {

constexpr const char *kPassword = "correct horse battery staple";
constexpr const char *kUser = "alice";

void BM_PwAuth(benchmark::State &state) {
    uint8_t out[32];
    for (auto _ : state) {
        if (quorvane_pw_auth(kPassword, kUser, out) != 0) state.SkipWithError("pw_auth failed");
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_PwAuth)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_PwAuthVsOpensslKdf(benchmark::State &state) {
    std::vector<std::string> kdf;
    if (!qv_bench::pw_auth_kdf(state, kPassword, kUser, &kdf)) return;
    uint8_t out[32];
    qv_bench::time_vs_openssl_scrypt(state, kdf, "pw_auth_ms", [&] {
        benchmark::DoNotOptimize(quorvane_pw_auth(kPassword, kUser, out));
    });
}
BENCHMARK(BM_PwAuthVsOpensslKdf)->Arg(15)->Iterations(1)->Unit(benchmark::kSecond);

// What the device key store pays at every start: one real-cost key-file open.
void BM_KeyfileOpenRealCost(benchmark::State &state) {
    const qv_bench::ScratchDir scratch;
    const std::string path = scratch.dir + "/keyfile";
    uint8_t secret[297], out[297];
    size_t n = 0;
    const quorvane_scrypt_params cost = {32768, 8, 1};
    if (quorvane_random(secret, sizeof secret) != 0 ||
        quorvane_keyfile_seal(path.c_str(), kPassword, secret, sizeof secret, &cost) != 0) {
        state.SkipWithError("seal failed");
        return;
    }
    for (auto _ : state) {
        if (quorvane_keyfile_open(path.c_str(), kPassword, out, sizeof out, &n) != 0) state.SkipWithError("open failed");
        benchmark::DoNotOptimize(out);
    }
    unlink(path.c_str());
}
BENCHMARK(BM_KeyfileOpenRealCost)->Unit(benchmark::kMillisecond);

// The largest backup (64 MiB), sealed and opened.
void BM_BackupLargest(benchmark::State &state) {
    const bool open = state.range(0) != 0;
    uint8_t rk[32], salt[16];
    std::vector<uint8_t> rec(QV_BACKUP_MAX), sealed(quorvane_blob_sealed_len(QV_BACKUP_MAX)), back(QV_BACKUP_MAX);
    size_t n = 0, m = 0;
    if (quorvane_random(rk, sizeof rk) != 0 || quorvane_random(salt, sizeof salt) != 0 ||
        quorvane_random(rec.data(), rec.size()) != 0 ||
        quorvane_backup_seal(rk, salt, rec.data(), rec.size(), sealed.data(), sealed.size(), &n) != 0) {
        state.SkipWithError("seal failed");
        return;
    }
    for (auto _ : state) {
        const int rc = open ? quorvane_backup_open(rk, salt, sealed.data(), n, back.data(), back.size(), &m)
                            : quorvane_backup_seal(rk, salt, rec.data(), rec.size(), sealed.data(), sealed.size(), &n);
        if (rc != 0) state.SkipWithError("backup failed");
        benchmark::DoNotOptimize(back.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(QV_BACKUP_MAX));
    quorvane_cleanse(rk, sizeof rk);
}
BENCHMARK(BM_BackupLargest)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
