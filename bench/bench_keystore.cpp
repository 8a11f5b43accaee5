// Unlocking the device key store (one open at its fixed scrypt cost, N 32768, r 8,
// p 1) beside the same derivation run by `openssl kdf ... SCRYPT` with the store's
// own salt, timed on a monotonic clock in the same run; the command's output is
// checked against our scrypt first. The command also pays for starting a process,
// so the cost of `openssl version` is shown beside it and taken off in
// ratio_less_start.
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

#include "client_store.h"
#include "quorvane_keyfile.h"

extern char **environ;

namespace {

constexpr const char *kPassword = "correct horse battery staple";

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

// A store in a scratch file, removed with the object.
struct Store {
    std::string path;
    quorvane_device_keys keys{};
    int rc = -1;
    Store() {
        const char *t = getenv("TMPDIR");
        path = std::string(t && *t ? t : "/tmp") + "/bench_keystore." + std::to_string(getpid());
        unlink(path.c_str());
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
    const std::vector<std::string> kdf = {"openssl", "kdf", "-keylen", "32",
                                          "-kdfopt", std::string("pass:") + kPassword,
                                          "-kdfopt", "hexsalt:" + hex(h.salt, sizeof h.salt),
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
    quorvane_device_keys k;
    for (auto _ : state) {
        const int rounds = static_cast<int>(state.range(0));
        mine = median_secs(rounds, [&] {
            benchmark::DoNotOptimize(quorvane_client_store_open(s.path.c_str(), kPassword, &k));
        });
        theirs = median_secs(rounds, [&] { benchmark::DoNotOptimize(run(kdf, nullptr)); });
        spawn = median_secs(rounds, [&] { benchmark::DoNotOptimize(run({"openssl", "version"}, nullptr)); });
    }
    quorvane_device_keys_cleanse(&k);
    state.counters["open_ms"] = mine * 1e3;
    state.counters["openssl_kdf_ms"] = theirs * 1e3;
    state.counters["openssl_version_ms"] = spawn * 1e3;
    state.counters["ratio"] = mine / theirs;
    state.counters["ratio_less_start"] = mine / (theirs - spawn);
}
BENCHMARK(BM_KeystoreOpenVsOpensslKdf)->Arg(15)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
