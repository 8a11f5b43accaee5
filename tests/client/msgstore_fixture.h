// Shared fixture of the message store tests: byte-string helpers, the
// independent script, store handles, the test fixture, injected faults (failing
// allocations, refused directory opens) and the conversation-list helpers.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "client_msgstore.h"
#include "msgstore_test_util.h"
#include "n_log.h"
#include "qv_test_support.h"
#include "quorvane_ratchet.h"
#include "quorvane_safety.h"
#include "quorvane_sidx.h"

namespace {

using bytes = std::string;

constexpr char kCrashEnv[] = "QV_MSGSTORE_CRASH_CHILD";

const uint8_t kSecret[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                             17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
const uint8_t kOtherSecret[32] = {0xee};

inline std::string hex(const bytes &s) {
    static const char d[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += d[c >> 4];
        out += d[c & 15];
    }
    return out.empty() ? "-" : out;
}

inline bytes unhex(const std::string &s) {
    bytes out;
    if (s == "-") return out;
    for (size_t i = 0; i + 1 < s.size(); i += 2) out += static_cast<char>(std::stoul(s.substr(i, 2), nullptr, 16));
    return out;
}

inline bytes raw(const uint8_t *p, size_t n) { return bytes(reinterpret_cast<const char *>(p), n); }
const uint8_t *u8(const bytes &b) { return reinterpret_cast<const uint8_t *>(b.data()); }
inline bytes filled(size_t n, int c) { return bytes(n, static_cast<char>(c)); }

// One request per line to the independent implementation; one answer per line back.
inline std::vector<std::vector<std::string>> script(const std::vector<std::string> &requests) {
    return mstest::run_script("msgstore_xcheck.py", requests);
}

inline bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

inline std::vector<std::string> names_in(const std::string &dir, const std::string &prefix) {
    std::vector<std::string> out;
    DIR *d = opendir(dir.c_str());
    if (!d) return out;
    while (struct dirent *e = readdir(d))
        if (strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0) out.push_back(e->d_name);
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

using store_ptr = std::unique_ptr<quorvane_msgstore, void (*)(quorvane_msgstore *)>;

inline store_ptr open_store(const std::string &dir, const uint8_t *secret = kSecret) {
    return store_ptr(quorvane_msgstore_open(dir.c_str(), secret), quorvane_msgstore_close);
}

struct Ids {
    bytes conv = filled(16, 0xc1), conv2 = filled(16, 0xc2);
    bytes dev = filled(32, 0xd1), dev2 = filled(32, 0xd2), dev3 = filled(32, 0xd3);
};

inline std::string ratchet_name(const bytes &conv, const bytes &dev) { return "r_" + hex(conv) + "_" + hex(dev) + ".dat"; }
inline std::string rprev_name(int slot, const bytes &conv, const bytes &dev) {
    return "rp" + std::to_string(slot) + "_" + hex(conv) + "_" + hex(dev) + ".dat";
}

class Msgstore : public ::testing::Test {
  protected:
    qvtest::TempDir tmp;
    std::string dir = tmp.file("msgstore");
    Ids id;
    std::string file(const std::string &name) const { return dir + "/" + name; }
    store_ptr open(const uint8_t *secret = kSecret) { return open_store(dir, secret); }
};


/* ---- faults injected into the store's allocations and directory syncs ---- */

// The allocation hook is process-wide: whatever a test leaves armed is
// turned off however the test ends.
struct AllocFailReset {
    ~AllocFailReset() { n_alloc_fail_after(-1); }
};

#if defined(__x86_64__)
constexpr uint32_t kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr uint32_t kAuditArch = AUDIT_ARCH_AARCH64;
#endif

volatile sig_atomic_t g_dir_opens = 0;
inline void count_dir_open(int) { g_dir_opens = g_dir_opens + 1; }

// From here on, in this process, every open of a directory (O_DIRECTORY, which
// is how the store opens one to sync it) fails and is counted; opening a file
// is not affected. The seccomp trap skips the call, which then fails.
inline bool refuse_dir_opens() {
    struct sigaction sa{};
    sa.sa_handler = count_dir_open;
    if (sigaction(SIGSYS, &sa, nullptr) != 0) return false;
    sock_filter f[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),  // the flags' low half
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, O_DIRECTORY, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog prog{static_cast<unsigned short>(sizeof f / sizeof f[0]), f};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

struct RefusedRun {
    bool ran = false;
    std::vector<long> results;  // what body returned
    int dir_opens = -1;         // directory opens refused while it ran
};

// Runs body in a forked child whose directory opens are refused and counted;
// the store objects of the parent are copies there, the files are shared.
inline RefusedRun run_refusing_dir_opens(const std::function<std::vector<long>()> &body) {
    RefusedRun out;
    int fds[2];
    if (pipe(fds) != 0) return out;
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (!refuse_dir_opens()) _exit(2);
        std::vector<long> r = body();
        long head[2] = {long(g_dir_opens), long(r.size())};
        bool ok = write(fds[1], head, sizeof head) == ssize_t(sizeof head) &&
                  write(fds[1], r.data(), r.size() * sizeof(long)) == ssize_t(r.size() * sizeof(long));
        _exit(ok ? 0 : 3);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return out;
    }
    std::string got;
    char buf[256];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        got.append(buf, size_t(n));
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    long head[2];
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || got.size() < sizeof head) return out;
    memcpy(head, got.data(), sizeof head);
    if (got.size() != sizeof head + size_t(head[1]) * sizeof(long)) return out;
    out.results.resize(size_t(head[1]));
    if (head[1]) memcpy(out.results.data(), got.data() + sizeof head, size_t(head[1]) * sizeof(long));
    out.dir_opens = int(head[0]);
    out.ran = true;
    return out;
}


const std::string kData = std::string(qvtest::source_dir()) + "/tests/client/data/msgstore/";
const std::string kSecretHex = "0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20";

using fields = std::map<std::string, std::string>;

// NAME=VALUE words of the script's describe output.
inline fields kv(const std::vector<std::string> &answer) {
    fields f;
    for (size_t i = 1; i < answer.size(); i++) {
        size_t eq = answer[i].find('=');
        if (eq != std::string::npos) f[answer[i].substr(0, eq)] = answer[i].substr(eq + 1);
    }
    return f;
}

// The script's reading of a store file: opened with the store key, then described.
inline fields script_describe(const std::string &kind, const std::string &path) {
    auto o = script({"open " + path + " " + kSecretHex});
    if (o[0].size() != 2 || o[0][0] != "OK") {
        ADD_FAILURE() << "script cannot open " << path;
        return {};
    }
    auto d = script({"decode " + kind + " " + o[0][1]});
    EXPECT_EQ(d[0].at(0), "OK") << path;
    return kv(d[0]);
}

inline void script_run(const std::string &request) {
    auto a = script({request});
    ASSERT_EQ(a[0], std::vector<std::string>{"OK"}) << request;
}

const bytes kA = filled(16, 0xa1), kB = filled(16, 0xb2);
inline std::string msgs_name(const bytes &conv) { return "m_" + hex(conv) + ".dat"; }
inline std::string arch_name(const bytes &conv) { return "a_" + hex(conv) + ".dat"; }

// conversation i of the script's generated lists
inline bytes gen_conv_id(uint32_t i) {
    bytes b = filled(12, 0xc0);
    for (int k = 3; k >= 0; k--) b += char(i >> (8 * k));
    return b;
}

inline void copy_file(const std::string &from, const std::string &to) { qvtest::write_file(to, qvtest::read_file(from)); }

// Seals a plaintext under kSecret with the label of `name`, by the script.
inline void script_seal(const std::string &path, const bytes &pt, const uint8_t *secret = kSecret) {
    auto a = script({"seal " + path + " " + hex(raw(secret, 32)) + " " + hex(pt)});
    ASSERT_EQ(a[0], std::vector<std::string>{"OK"});
}

}  // namespace
