// What the benchmarks share: a scratch directory on the disk TMPDIR (or /tmp)
// lives on, and for the scrypt benchmarks, running `openssl kdf ... SCRYPT`
// without a shell, checking its output against our derivation, and timing it
// beside our call and beside `openssl version`, so the cost of starting a
// process can be taken off. Header-only: benchmarks do not link the test
// support library.
#pragma once

#include <benchmark/benchmark.h>

#include "quorvane_crypto.h"
#include "quorvane_keyfile.h"

#include <algorithm>
#include <cctype>
#include <csignal>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace qv_bench {

// A fresh directory, removed with its content when the object goes away.
struct ScratchDir {
    std::string dir;
    ScratchDir() {
        const char *base = getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/qvbench.XXXXXX";
        if (!mkdtemp(tmpl.data())) abort();
        dir = tmpl;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
};

// Bytes this process has handed to write(2) so far ("wchar" of /proc/self/io).
inline uint64_t wchar() {
    FILE *f = fopen("/proc/self/io", "r");
    if (!f) abort();
    char line[128];
    uint64_t v = 0;
    while (fgets(line, sizeof line, f))
        if (sscanf(line, "wchar: %lu", &v) == 1) break;
    fclose(f);
    return v;
}

inline std::string hex(const uint8_t *p, size_t n) {
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

// Starts argv without a shell under the given file actions; the pid, or -1.
inline pid_t spawn(const std::vector<std::string> &args, const posix_spawn_file_actions_t *fa) {
    std::vector<char *> argv;
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    return posix_spawnp(&pid, argv[0], fa, nullptr, argv.data(), environ) == 0 ? pid : -1;
}

// The exit status of a started child, or -1.
inline int wait_status(pid_t pid) {
    int st = 0;
    if (pid < 0 || waitpid(pid, &st, 0) != pid) return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// The server program listening on a loopback port with its data under `data`,
// stopped by its pid (SIGTERM, then waited for) when this goes. The clients
// all register from loopback: the bound on new accounts per address is raised.
struct ServerChild {
    pid_t pid;
    ServerChild(const std::string &bin, const std::string &data, int port)
        : pid(spawn({bin, "--data", data, "--listen", "127.0.0.1:" + std::to_string(port), "--registrations-per-address", "100000"},
                    nullptr)) {}
    ~ServerChild() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            wait_status(pid);
        }
    }
    ServerChild(const ServerChild &) = delete;
    ServerChild &operator=(const ServerChild &) = delete;
};

// Runs argv without a shell, standard output captured; the exit status, or -1.
inline int run(const std::vector<std::string> &args, std::string *out) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addclose(&fa, fds[0]);
    posix_spawn_file_actions_addclose(&fa, fds[1]);
    const pid_t pid = spawn(args, &fa);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    std::string s;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) s.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    const int rc = wait_status(pid);
    if (rc >= 0 && out) *out = s;
    return rc;
}

// Runs argv without a shell, standard output into the file `path`; the exit status, or -1.
inline int run_to_file(const std::vector<std::string> &args, const std::string &path) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const pid_t pid = spawn(args, &fa);
    posix_spawn_file_actions_destroy(&fa);
    return wait_status(pid);
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

// The command for a 32-byte scrypt at the fixed cost both benchmarks measure
// (N 32768, r 8, p 1).
inline std::vector<std::string> openssl_scrypt_argv(const char *password, const uint8_t *salt, size_t salt_len) {
    return {"openssl", "kdf", "-keylen", "32",
            "-kdfopt", std::string("pass:") + password,
            "-kdfopt", "hexsalt:" + hex(salt, salt_len),
            "-kdfopt", "n:32768", "-kdfopt", "r:8", "-kdfopt", "p:1", "SCRYPT"};
}

// Runs the command once and compares what it prints with ours; on any difference
// the benchmark is skipped with the reason and false comes back, so a timing is
// never shown for a command that derived something else.
inline bool openssl_scrypt_agrees(benchmark::State &state, const std::vector<std::string> &kdf,
                                  const uint8_t *ours, size_t ours_len) {
    std::string printed;
    if (run(kdf, &printed) != 0) {
        state.SkipWithError("cannot run openssl kdf");
        return false;
    }
    printed.erase(std::remove_if(printed.begin(), printed.end(), [](char c) { return c == ':' || c == '\n'; }),
                  printed.end());
    for (auto &c : printed) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (printed != hex(ours, ours_len)) {
        state.SkipWithError(("openssl kdf derived another value: " + printed).c_str());
        return false;
    }
    return true;
}

// The `openssl kdf` command that derives the password auth value of (password,
// user): the salt is BLAKE2b-512 of the user name. false, with the benchmark
// skipped, when it does not agree with quorvane_pw_auth.
inline bool pw_auth_kdf(benchmark::State &state, const char *password, const char *user, std::vector<std::string> *kdf) {
    uint8_t salt[64], ours[32];
    if (quorvane_blake2b(reinterpret_cast<const uint8_t *>(user), strlen(user), salt) != 0 ||
        quorvane_pw_auth(password, user, ours) != 0) {
        state.SkipWithError("derivation failed");
        return false;
    }
    *kdf = openssl_scrypt_argv(password, salt, sizeof salt);
    return openssl_scrypt_agrees(state, *kdf, ours, sizeof ours);
}

// Times ours, the command, and `openssl version` (process start alone), each the
// median of state.range(0) rounds, and shows them as counters; ours is named by
// mine_counter.
template <class F>
void time_vs_openssl_scrypt(benchmark::State &state, const std::vector<std::string> &kdf, const char *mine_counter,
                            F mine_call) {
    double mine = 0, theirs = 0, spawn = 0;
    for (auto _ : state) {
        const int rounds = static_cast<int>(state.range(0));
        mine = median_secs(rounds, mine_call);
        theirs = median_secs(rounds, [&] { benchmark::DoNotOptimize(run(kdf, nullptr)); });
        spawn = median_secs(rounds, [&] { benchmark::DoNotOptimize(run({"openssl", "version"}, nullptr)); });
    }
    state.counters[mine_counter] = mine * 1e3;
    state.counters["openssl_kdf_ms"] = theirs * 1e3;
    state.counters["openssl_version_ms"] = spawn * 1e3;
    state.counters["ratio"] = mine / theirs;
    state.counters["ratio_less_start"] = mine / (theirs - spawn);
}

}  // namespace qv_bench
