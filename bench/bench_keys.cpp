// The password auth value at its fixed scrypt cost (N 32768, r 8, p 1) beside the
// same derivation run by `openssl kdf ... SCRYPT` with the same password, salt and
// cost, timed on a monotonic clock in the same run; the command's output is checked
// against ours first. The command also pays for starting a process, so the cost of
// `openssl version` is shown beside it. Then what a key-store open and the largest
// backup cost a user.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "quorvane_backup.h"
#include "quorvane_crypto.h"
#include "quorvane_keyfile.h"

extern char **environ;

namespace {

constexpr const char *kPassword = "correct horse battery staple";
constexpr const char *kUser = "alice";

std::string hex(const uint8_t *p, size_t n) {
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

// Runs argv without a shell, standard output captured; the exit status, or -1.
int run(const std::vector<std::string> &args, std::string *out) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addclose(&fa, fds[0]);
    posix_spawn_file_actions_addclose(&fa, fds[1]);
    std::vector<char *> argv;
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    std::string s;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) s.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int st = 0;
    if (rc != 0 || waitpid(pid, &st, 0) != pid) return -1;
    if (out) *out = s;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// Seconds per call of f, the median of `rounds` timed calls after one warm-up.
template <class F> double median_secs(int rounds, F f) {
    f();
    std::vector<double> t;
    for (int i = 0; i < rounds; i++) {
        const auto start = std::chrono::steady_clock::now();
        f();
        t.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

void BM_PwAuth(benchmark::State &state) {
    uint8_t out[32];
    for (auto _ : state) {
        if (quorvane_pw_auth(kPassword, kUser, out) != 0) state.SkipWithError("pw_auth failed");
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_PwAuth)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_PwAuthVsOpensslKdf(benchmark::State &state) {
    uint8_t salt[64], ours[32];
    if (quorvane_blake2b(reinterpret_cast<const uint8_t *>(kUser), strlen(kUser), salt) != 0 ||
        quorvane_pw_auth(kPassword, kUser, ours) != 0) {
        state.SkipWithError("derivation failed");
        return;
    }
    const std::vector<std::string> kdf = {"openssl", "kdf", "-keylen", "32",
                                          "-kdfopt", std::string("pass:") + kPassword,
                                          "-kdfopt", "hexsalt:" + hex(salt, sizeof salt),
                                          "-kdfopt", "n:32768", "-kdfopt", "r:8", "-kdfopt", "p:1", "SCRYPT"};
    std::string printed;
    if (run(kdf, &printed) != 0) {
        state.SkipWithError("cannot run openssl kdf");
        return;
    }
    printed.erase(std::remove_if(printed.begin(), printed.end(), [](char c) { return c == ':' || c == '\n'; }),
                  printed.end());
    for (auto &c : printed) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (printed != hex(ours, sizeof ours)) {
        state.SkipWithError(("openssl kdf derived another value: " + printed).c_str());
        return;
    }
    double mine = 0, theirs = 0, spawn = 0;
    for (auto _ : state) {
        const int rounds = static_cast<int>(state.range(0));
        uint8_t out[32];
        mine = median_secs(rounds, [&] { benchmark::DoNotOptimize(quorvane_pw_auth(kPassword, kUser, out)); });
        theirs = median_secs(rounds, [&] { benchmark::DoNotOptimize(run(kdf, nullptr)); });
        spawn = median_secs(rounds, [&] { benchmark::DoNotOptimize(run({"openssl", "version"}, nullptr)); });
    }
    state.counters["pw_auth_ms"] = mine * 1e3;
    state.counters["openssl_kdf_ms"] = theirs * 1e3;
    state.counters["openssl_version_ms"] = spawn * 1e3;
    state.counters["ratio"] = mine / theirs;
    state.counters["ratio_less_start"] = mine / (theirs - spawn);
}
BENCHMARK(BM_PwAuthVsOpensslKdf)->Arg(15)->Iterations(1)->Unit(benchmark::kSecond);

// What the device key store pays at every start: one real-cost key-file open.
void BM_KeyfileOpenRealCost(benchmark::State &state) {
    const std::string path = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/bench_keys." +
                             std::to_string(getpid());
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
