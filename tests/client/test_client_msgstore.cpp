// Message store: opening and its limits, the sealed file layout and its
// atomic replacement (with a writer really killed mid-run), files that exist
// but cannot be read (kept aside, never overwritten), the own profile and
// interface state, ratchet, previous-ratchet, prekey, session-init and
// identity files; conversations, members and settings, with the conversation
// lists of every older version (tests/client/data/msgstore); messages,
// reactions, trimming into the archive and retention, with the message files
// of every older version; and both directions against
// tests/scripts/msgstore_xcheck.py.
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

std::string hex(const bytes &s) {
    static const char d[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += d[c >> 4];
        out += d[c & 15];
    }
    return out.empty() ? "-" : out;
}

bytes unhex(const std::string &s) {
    bytes out;
    if (s == "-") return out;
    for (size_t i = 0; i + 1 < s.size(); i += 2) out += static_cast<char>(std::stoul(s.substr(i, 2), nullptr, 16));
    return out;
}

bytes raw(const uint8_t *p, size_t n) { return bytes(reinterpret_cast<const char *>(p), n); }
const uint8_t *u8(const bytes &b) { return reinterpret_cast<const uint8_t *>(b.data()); }
bytes filled(size_t n, int c) { return bytes(n, static_cast<char>(c)); }

// One request per line to the independent implementation; one answer per line back.
std::vector<std::vector<std::string>> script(const std::vector<std::string> &requests) {
    return mstest::run_script("msgstore_xcheck.py", requests);
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> names_in(const std::string &dir, const std::string &prefix) {
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

store_ptr open_store(const std::string &dir, const uint8_t *secret = kSecret) {
    return store_ptr(quorvane_msgstore_open(dir.c_str(), secret), quorvane_msgstore_close);
}

struct Ids {
    bytes conv = filled(16, 0xc1), conv2 = filled(16, 0xc2);
    bytes dev = filled(32, 0xd1), dev2 = filled(32, 0xd2), dev3 = filled(32, 0xd3);
};

std::string ratchet_name(const bytes &conv, const bytes &dev) { return "r_" + hex(conv) + "_" + hex(dev) + ".dat"; }
std::string rprev_name(int slot, const bytes &conv, const bytes &dev) {
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

/* ---- crash test: the child writer --------------------------------------- */

// Version i of the state the child writes: its index in front, a length and
// pattern of its own, so any mixture of two versions is told apart.
bytes crash_version(uint64_t i) {
    bytes b(200 + (i * 37) % 900, '\0');
    for (int k = 0; k < 8; k++) b[k] = static_cast<char>(i >> (56 - 8 * k));
    for (size_t j = 8; j < b.size(); j++) b[j] = static_cast<char>(i * 131 + j);
    return b;
}

uint64_t version_index(const bytes &b) {
    uint64_t v = 0;
    for (int k = 0; k < 8 && size_t(k) < b.size(); k++) v = v << 8 | static_cast<uint8_t>(b[k]);
    return v;
}

// Runs in the re-executed test binary before GoogleTest starts: continues
// from the version on disk and writes new ones until it is killed.
int crash_child(const char *dir) {
    Ids id;
    quorvane_msgstore *ms = quorvane_msgstore_open(dir, kSecret);
    if (!ms) return 3;
    uint8_t buf[2048];
    size_t n = quorvane_msgstore_get_ratchet(ms, u8(id.conv), u8(id.dev), buf, sizeof buf);
    uint64_t next = n ? version_index(raw(buf, n)) + 1 : 0;
    for (uint64_t i = next; i < next + 100000; i++) {
        bytes v = crash_version(i);
        if (quorvane_msgstore_put_ratchet(ms, u8(id.conv), u8(id.dev), u8(v), v.size()) != 0) return 4;
        char line[32];
        int len = snprintf(line, sizeof line, "%llu\n", static_cast<unsigned long long>(i));
        if (write(1, line, size_t(len)) != len) return 5;
    }
    quorvane_msgstore_close(ms);
    return 0;
}

const int crash_child_hook = [] {
    if (const char *d = getenv(kCrashEnv)) _exit(crash_child(d));
    return 0;
}();

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
void count_dir_open(int) { g_dir_opens = g_dir_opens + 1; }

// From here on, in this process, every open of a directory (O_DIRECTORY, which
// is how the store opens one to sync it) fails and is counted; opening a file
// is not affected. The seccomp trap skips the call, which then fails.
bool refuse_dir_opens() {
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
RefusedRun run_refusing_dir_opens(const std::function<std::vector<long>()> &body) {
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

/* ---- open ----------------------------------------------------------------- */

TEST_F(Msgstore, OpenPathLimits) {
    // parents of short components, then a last component that brings the
    // whole path to exactly the length wanted
    std::string base = tmp.path;
    while (base.size() < 400) {
        base += "/" + std::string(100, 'p');
        ASSERT_EQ(mkdir(base.c_str(), 0700), 0);
    }
    struct Case {
        size_t len;
        bool opens;
    } cases[] = {{QV_MS_PATH_MAX, true}, {QV_MS_PATH_MAX + 1, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.len);
        std::string path = base + "/" + std::string(c.len - base.size() - 1, 'q');
        ASSERT_EQ(path.size(), c.len);
        auto ms = open_store(path);
        EXPECT_EQ(ms != nullptr, c.opens);
        EXPECT_EQ(exists(path), c.opens);
        if (!ms) continue;
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        // the longest file names of the store still fit behind the longest directory
        bytes state = filled(300, 0x5a);
        EXPECT_EQ(quorvane_msgstore_put_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev), 1, 7, u8(state), state.size()), 0);
        EXPECT_EQ(quorvane_msgstore_put_ratchet(ms.get(), u8(id.conv), u8(id.dev), u8(state), state.size()), 0);
        uint8_t buf[400];
        EXPECT_EQ(quorvane_msgstore_get_ratchet(ms.get(), u8(id.conv), u8(id.dev), buf, sizeof buf), state.size());
    }
}

TEST_F(Msgstore, OpenRefusals) {
    EXPECT_EQ(quorvane_msgstore_open(nullptr, kSecret), nullptr);
    EXPECT_EQ(quorvane_msgstore_open(dir.c_str(), nullptr), nullptr);
    EXPECT_EQ(quorvane_msgstore_open(tmp.file("no/such/parent").c_str(), kSecret), nullptr);
    qvtest::write_file(tmp.file("plain"), "x");
    EXPECT_EQ(quorvane_msgstore_open(tmp.file("plain").c_str(), kSecret), nullptr);
    quorvane_msgstore_close(nullptr);
}

TEST_F(Msgstore, OpenEmptyDirectoryGivesDefaults) {
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    auto ms = open();
    ASSERT_TRUE(ms);
    EXPECT_EQ(ms->conv_count, 0u);
    EXPECT_EQ(ms->ident_count, 0u);
    EXPECT_EQ(ms->msg_cap, 2000u);
    EXPECT_EQ(quorvane_msgstore_self_profile_ts(ms.get()), 0u);
    char name[80] = "x", about[140] = "y";
    EXPECT_EQ(quorvane_msgstore_get_self_profile(ms.get(), name, sizeof name, about, sizeof about), 0);
    EXPECT_STREQ(name, "");
    EXPECT_STREQ(about, "");
    quorvane_file_meta av{};
    EXPECT_EQ(quorvane_msgstore_get_self_avatar(ms.get(), &av), 0);
    EXPECT_EQ(quorvane_msgstore_get_session(ms.get(), nullptr, nullptr, nullptr, nullptr, 0), -1);
    EXPECT_TRUE(names_in(dir, "").size() == 2) << "open wrote files into an empty store";
}

TEST_F(Msgstore, StoreKeyMatchesScriptDerivation) {
    auto ms = open();
    ASSERT_TRUE(ms);
    auto a = script({"key " + hex(raw(kSecret, 32)), "key " + hex(raw(kOtherSecret, 32))});
    EXPECT_EQ(a[0], (std::vector<std::string>{"OK", hex(raw(ms->key, 32))}));
    auto other = open_store(tmp.file("other"), kOtherSecret);
    ASSERT_TRUE(other);
    EXPECT_EQ(a[1], (std::vector<std::string>{"OK", hex(raw(other->key, 32))}));
}

TEST(MsgstoreWriteVersion, HookAcceptsOnlyOlderWritableVersions) {
    struct Case {
        int given, set;
    } cases[] = {{18, 22}, {19, 19}, {20, 20}, {21, 21}, {22, 22}, {23, 22}, {0, 22}, {-1, 22}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.given);
        EXPECT_EQ(quorvane_msgstore_test_write_version(c.given), 22);
        EXPECT_EQ(quorvane_msgstore_write_version(), c.set);
    }
    EXPECT_EQ(quorvane_msgstore_test_write_version(22), 22);
}

/* ---- sealed files and atomic replacement ---------------------------------- */

TEST_F(Msgstore, SealedLayoutModeAndFreshSalt) {
    auto ms = open();
    ASSERT_TRUE(ms);
    // a stale temporary of another mode: the replacement must not inherit it
    qvtest::write_file(file("profile.dat.tmp"), "stale");
    ASSERT_EQ(chmod(file("profile.dat.tmp").c_str(), 0666), 0);
    ASSERT_EQ(quorvane_msgstore_set_self_profile(ms.get(), "ab", nullptr), 0);
    bytes first = qvtest::read_file(file("profile.dat"));
    EXPECT_EQ(first.size(), size_t(1 + 1 + 2 + 1 + 2 + 8) + 32);
    struct stat st;
    ASSERT_EQ(stat(file("profile.dat").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(exists(file("profile.dat.tmp")));

    ASSERT_EQ(quorvane_msgstore_set_self_profile(ms.get(), "ab", nullptr), 0);
    bytes second = qvtest::read_file(file("profile.dat"));
    EXPECT_NE(first.substr(0, 16), second.substr(0, 16));

    // an empty plaintext is a 32-byte file that opens to nothing
    uint8_t one = 0;
    ASSERT_EQ(quorvane_msgstore_put_prekeys(ms.get(), &one, 0), 0);
    EXPECT_EQ(qvtest::read_file(file("prekeys.dat")).size(), 32u);
    auto a = script({"open " + file("prekeys.dat") + " " + hex(raw(kSecret, 32))});
    EXPECT_EQ(a[0], (std::vector<std::string>{"OK", "-"}));
}

// Whatever stands at the temporary name never receives the new bytes: a
// hard link there to another file is unlinked, not truncated through (the
// other file keeps its bytes and its mode), and a symbolic link is refused.
TEST_F(Msgstore, LeftoverAtTheTempNameNeverReceivesOurBytes) {
    enum class Plant { HardLink, SymLink, DanglingLink, StaleFile };
    struct Case {
        const char *what;
        Plant plant;
        int result;
    } cases[] = {
        {"hard link to another file", Plant::HardLink, 0},
        {"symbolic link to another file", Plant::SymLink, -1},
        {"symbolic link to nothing", Plant::DanglingLink, -1},
        {"stale file of another mode", Plant::StaleFile, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string sub = tmp.file(std::string("plant") + std::to_string(&c - cases));
        const std::string other = sub + "-other", absent = sub + "-absent", tmpname = sub + "/profile.dat.tmp";
        {
            auto ms = open_store(sub);
            ASSERT_TRUE(ms);
            ASSERT_EQ(quorvane_msgstore_set_self_profile(ms.get(), "old", nullptr), 0);
        }
        const bytes old_file = qvtest::read_file(sub + "/profile.dat");
        const bytes theirs = "somebody else's bytes";
        qvtest::write_file(other, theirs);
        ASSERT_EQ(chmod(other.c_str(), 0644), 0);
        switch (c.plant) {
        case Plant::HardLink: ASSERT_EQ(link(other.c_str(), tmpname.c_str()), 0); break;
        case Plant::SymLink: ASSERT_EQ(symlink(other.c_str(), tmpname.c_str()), 0); break;
        case Plant::DanglingLink: ASSERT_EQ(symlink(absent.c_str(), tmpname.c_str()), 0); break;
        case Plant::StaleFile:
            qvtest::write_file(tmpname, "stale");
            ASSERT_EQ(chmod(tmpname.c_str(), 0666), 0);
            break;
        }
        auto ms = open_store(sub);
        ASSERT_TRUE(ms);
        EXPECT_EQ(quorvane_msgstore_set_self_profile(ms.get(), "new", nullptr), c.result);

        struct stat st;
        ASSERT_EQ(stat(other.c_str(), &st), 0);
        EXPECT_EQ(qvtest::read_file(other), theirs);
        EXPECT_EQ(st.st_mode & 0777, 0644u);
        EXPECT_FALSE(exists(absent));
        ASSERT_EQ(stat((sub + "/profile.dat").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        if (c.result == 0) {
            EXPECT_FALSE(exists(tmpname));
            EXPECT_NE(qvtest::read_file(sub + "/profile.dat"), old_file);
        } else {
            EXPECT_EQ(qvtest::read_file(sub + "/profile.dat"), old_file);
        }
        ms = open_store(sub);
        char name[80];
        ASSERT_EQ(quorvane_msgstore_get_self_profile(ms.get(), name, sizeof name, nullptr, 0), 0);
        EXPECT_STREQ(name, c.result == 0 ? "new" : "old");
    }
}

TEST_F(Msgstore, FailedWriteKeepsOldFileAndLeftoverTempIsIgnored) {
    {
        auto ms = open();
        ASSERT_TRUE(ms);
        ASSERT_EQ(quorvane_msgstore_set_self_profile(ms.get(), "old", "about"), 0);
        bytes before = qvtest::read_file(file("profile.dat"));
        // a directory where the temporary goes makes every write fail, even for root
        ASSERT_EQ(mkdir(file("profile.dat.tmp").c_str(), 0700), 0);
        EXPECT_EQ(quorvane_msgstore_set_self_profile(ms.get(), "new", nullptr), -1);
        EXPECT_EQ(qvtest::read_file(file("profile.dat")), before);
        char name[80];
        EXPECT_EQ(quorvane_msgstore_get_self_profile(ms.get(), name, sizeof name, nullptr, 0), 0);
        EXPECT_STREQ(name, "new") << "the change stays in memory";
        ASSERT_EQ(rmdir(file("profile.dat.tmp").c_str()), 0);

        // the identity list drops an entry it could not write
        const bytes user = filled(16, 0x11), key = filled(32, 0x22);
        ASSERT_EQ(mkdir(file("idents.dat.tmp").c_str(), 0700), 0);
        EXPECT_EQ(quorvane_msgstore_identity_tofu(ms.get(), u8(user), u8(key)), -2);
        EXPECT_EQ(ms->ident_count, 0u);
        ASSERT_EQ(rmdir(file("idents.dat.tmp").c_str()), 0);
        EXPECT_EQ(quorvane_msgstore_identity_tofu(ms.get(), u8(user), u8(key)), 0);
    }
    qvtest::write_file(file("profile.dat.tmp"), "torn half of a write");
    auto ms = open();
    ASSERT_TRUE(ms);
    char name[80];
    EXPECT_EQ(quorvane_msgstore_get_self_profile(ms.get(), name, sizeof name, nullptr, 0), 0);
    EXPECT_STREQ(name, "old");
    EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), "profile.dat"), 0);
}

// A directory sync that fails after the rename leaves the file just written
// in place: the write is reported done, and the file is no longer taken for
// unreadable, so the next write does not set a good file aside.
TEST_F(Msgstore, FailedDirectorySyncAfterTheRenameClearsTheUnreadableMark) {
    {
        auto ms = open();
        ASSERT_TRUE(ms);
        ASSERT_EQ(quorvane_msgstore_set_self_profile(ms.get(), "one", nullptr), 0);
    }
    bytes damaged = qvtest::read_file(file("profile.dat"));
    damaged[damaged.size() / 2] ^= 0x10;
    qvtest::write_file(file("profile.dat"), damaged);
    auto ms = open();
    ASSERT_TRUE(ms);
    ASSERT_EQ(quorvane_msgstore_unreadable(ms.get(), "profile.dat"), 1);
    RefusedRun run = run_refusing_dir_opens([&] {
        long first = quorvane_msgstore_set_self_profile(ms.get(), "two", nullptr);
        long marked = quorvane_msgstore_unreadable(ms.get(), "profile.dat");
        long second = quorvane_msgstore_set_self_profile(ms.get(), "three", nullptr);
        return std::vector<long>{first, marked, second};
    });
    ASSERT_TRUE(run.ran);
    EXPECT_EQ(run.results, (std::vector<long>{0, 0, 0})) << "write, mark after it, second write";
    EXPECT_GE(run.dir_opens, 2);
    auto asides = names_in(dir, "profile.dat.unread-");
    ASSERT_EQ(asides.size(), 1u) << "only the damaged file was set aside";
    EXPECT_EQ(qvtest::read_file(file(asides[0])), damaged);
    ms = open();
    char name[80];
    ASSERT_EQ(quorvane_msgstore_get_self_profile(ms.get(), name, sizeof name, nullptr, 0), 0);
    EXPECT_STREQ(name, "three");
    EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), "profile.dat"), 0);
}

// A writer killed at random points during hundreds of writes: every time the
// file opens and is exactly one of the versions written, never older than the
// last one seen.
TEST_F(Msgstore, KilledWriterLeavesOldOrNewFile) {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    exe[n] = '\0';
    { ASSERT_TRUE(open()); }
    std::mt19937 rng(12345);
    uint64_t last_seen = 0;
    bool have = false;
    int kills = 0;
    for (int round = 0; round < 25; round++) {
        SCOPED_TRACE(round);
        std::string progress = tmp.file("progress" + std::to_string(round));
        ASSERT_EQ(setenv(kCrashEnv, dir.c_str(), 1), 0);
        qvtest::ChildProcess child({exe}, progress);
        ASSERT_EQ(unsetenv(kCrashEnv), 0);
        // a number of whole writes first, so that a loaded machine still
        // gives enough of them, then a random point inside the next ones
        const long want = std::uniform_int_distribution<long>(9, 24)(rng);
        ASSERT_TRUE(qvtest::wait_until([&] {
            std::string p = qvtest::read_file(progress);
            return std::count(p.begin(), p.end(), '\n') >= want;
        }, 20000));
        usleep(useconds_t(std::uniform_int_distribution<int>(0, 3000)(rng)));
        ASSERT_TRUE(child.running()) << "the writer ended on its own";
        ASSERT_EQ(kill(child.pid, SIGKILL), 0);
        int status = child.stop();
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), SIGKILL);
        kills++;

        auto ms = open();
        ASSERT_TRUE(ms);
        uint8_t buf[2048];
        size_t got = quorvane_msgstore_get_ratchet(ms.get(), u8(id.conv), u8(id.dev), buf, sizeof buf);
        std::string written = qvtest::read_file(progress);
        if (got == 0) {
            // only possible when the very first write was cut
            EXPECT_FALSE(have);
            EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 0);
            continue;
        }
        bytes state = raw(buf, got);
        uint64_t v = version_index(state);
        EXPECT_EQ(state, crash_version(v)) << "torn file";
        if (have) {
            EXPECT_GE(v, last_seen);
        }
        last_seen = v;
        have = true;
        EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), ratchet_name(id.conv, id.dev).c_str()), 0);
        struct stat st;
        ASSERT_EQ(stat(file(ratchet_name(id.conv, id.dev)).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
    EXPECT_EQ(kills, 25);
    RecordProperty("versions_written", std::to_string(last_seen + 1));
    EXPECT_GE(last_seen, 200u) << "too few writes happened to call this a crash test";
}

/* ---- files present but unusable ------------------------------------------ */

enum class Damage { FlipBit, Truncate, Cut31, OtherSecret, Newer };

// Seals a plaintext under kSecret with the label of `name`, by the script.
void script_seal(const std::string &path, const bytes &pt, const uint8_t *secret = kSecret) {
    auto a = script({"seal " + path + " " + hex(raw(secret, 32)) + " " + hex(pt)});
    ASSERT_EQ(a[0], std::vector<std::string>{"OK"});
}

TEST_F(Msgstore, UnusableFileIsKeptAsideBeforeItsRewrite) {
    struct Case {
        const char *what;
        std::string name;
        Damage damage;
        bytes newer_pt;                                                 // for Damage::Newer
        std::function<int(quorvane_msgstore *)> read;                   // null: read at open
        std::function<int(quorvane_msgstore *, int)> write;             // writes version k
        std::function<bool(quorvane_msgstore *, int)> holds;            // reads version k back
    };
    auto set_profile = [](quorvane_msgstore *ms, int k) {
        return quorvane_msgstore_set_self_profile(ms, ("name" + std::to_string(k)).c_str(), nullptr);
    };
    auto has_profile = [](quorvane_msgstore *ms, int k) {
        char n[80];
        return quorvane_msgstore_get_self_profile(ms, n, sizeof n, nullptr, 0) == 0 && n == "name" + std::to_string(k);
    };
    auto tofu = [](quorvane_msgstore *ms, int k) {
        return quorvane_msgstore_identity_tofu(ms, u8(filled(16, k)), u8(filled(32, k)));
    };
    auto has_ident = [](quorvane_msgstore *ms, int k) {
        return quorvane_msgstore_identity_tofu(ms, u8(filled(16, k)), u8(filled(32, k))) == 1;
    };
    auto set_sess = [](quorvane_msgstore *ms, int k) {
        return quorvane_msgstore_set_session(ms, 1, nullptr, uint32_t(k), "draft");
    };
    auto get_sess = [](quorvane_msgstore *ms) {
        return quorvane_msgstore_get_session(ms, nullptr, nullptr, nullptr, nullptr, 0);
    };
    auto has_sess = [](quorvane_msgstore *ms, int k) {
        uint32_t v = 0;
        return quorvane_msgstore_get_session(ms, nullptr, nullptr, &v, nullptr, 0) == 0 && v == uint32_t(k);
    };
    const Ids ids;
    auto put_r = [ids](quorvane_msgstore *ms, int k) {
        bytes s = filled(100, k);
        return quorvane_msgstore_put_ratchet(ms, u8(ids.conv), u8(ids.dev), u8(s), s.size());
    };
    auto get_r = [ids](quorvane_msgstore *ms) {
        uint8_t b[200];
        return int(quorvane_msgstore_get_ratchet(ms, u8(ids.conv), u8(ids.dev), b, sizeof b));
    };
    auto has_r = [ids](quorvane_msgstore *ms, int k) {
        uint8_t b[200];
        return quorvane_msgstore_get_ratchet(ms, u8(ids.conv), u8(ids.dev), b, sizeof b) == 100 && b[0] == k;
    };
    auto put_pk = [](quorvane_msgstore *ms, int k) {
        bytes s = filled(60, k);
        return quorvane_msgstore_put_prekeys(ms, u8(s), s.size());
    };
    auto get_pk = [](quorvane_msgstore *ms) {
        uint8_t b[100];
        return int(quorvane_msgstore_get_prekeys(ms, b, sizeof b));
    };
    auto has_pk = [](quorvane_msgstore *ms, int k) {
        uint8_t b[100];
        return quorvane_msgstore_get_prekeys(ms, b, sizeof b) == 60 && b[0] == k;
    };
    auto set_label = [ids](quorvane_msgstore *ms, int k) {
        if (quorvane_msgstore_put_conv(ms, u8(ids.conv), u8(filled(32, 1))) != 0) return -1;
        return quorvane_msgstore_set_label(ms, u8(ids.conv), ("label" + std::to_string(k)).c_str());
    };
    auto has_label = [ids](quorvane_msgstore *ms, int k) {
        char l[80];
        return quorvane_msgstore_get_label(ms, u8(ids.conv), l, sizeof l) == 0 && l == "label" + std::to_string(k);
    };
    auto note = [](quorvane_msgstore *ms, int k) { return quorvane_msgstore_rinit_note(ms, u8(filled(16, k))); };
    auto seen = [](quorvane_msgstore *ms) { return quorvane_msgstore_rinit_seen(ms, u8(filled(16, 1))); };
    auto has_note = [](quorvane_msgstore *ms, int k) { return quorvane_msgstore_rinit_seen(ms, u8(filled(16, k))) == 1; };

    bytes profile_v3 = unhex("03016100") + bytes(2, '\0') + bytes(8, '\0');
    bytes idents_v2 = bytes(1, '\2') + unhex("00000001") + filled(48, 9);
    bytes session_v2 = bytes(1, '\2') + filled(23, 0);
    bytes rinit_bad = unhex("0000000200") + filled(15, 1);  // announces 2 ids, holds less than one
    const Case cases[] = {
        {"profile, flipped bit", "profile.dat", Damage::FlipBit, {}, nullptr, set_profile, has_profile},
        {"profile, truncated", "profile.dat", Damage::Truncate, {}, nullptr, set_profile, has_profile},
        {"profile, 31 bytes", "profile.dat", Damage::Cut31, {}, nullptr, set_profile, has_profile},
        {"profile, other secret", "profile.dat", Damage::OtherSecret, {}, nullptr, set_profile, has_profile},
        {"profile, newer version", "profile.dat", Damage::Newer, profile_v3, nullptr, set_profile, has_profile},
        {"identities, flipped bit", "idents.dat", Damage::FlipBit, {}, nullptr, tofu, has_ident},
        {"identities, newer version", "idents.dat", Damage::Newer, idents_v2, nullptr, tofu, has_ident},
        {"interface state, truncated", "session.dat", Damage::Truncate, {}, get_sess, set_sess, has_sess},
        {"interface state, newer version", "session.dat", Damage::Newer, session_v2, get_sess, set_sess, has_sess},
        {"ratchet, flipped bit", ratchet_name(ids.conv, ids.dev), Damage::FlipBit, {}, get_r, put_r, has_r},
        {"prekeys, truncated", "prekeys.dat", Damage::Truncate, {}, get_pk, put_pk, has_pk},
        {"id ring, malformed", "rinit.dat", Damage::Newer, rinit_bad, seen, note, has_note},
        {"conversation list, flipped bit", "convs.dat", Damage::FlipBit, {}, nullptr, set_label, has_label},
        {"conversation list, other secret", "convs.dat", Damage::OtherSecret, {}, nullptr, set_label, has_label},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::string sub = tmp.file(std::string("case") + std::to_string(&c - cases));
        std::string path = sub + "/" + c.name;
        {
            auto ms = open_store(sub, c.damage == Damage::OtherSecret ? kOtherSecret : kSecret);
            ASSERT_TRUE(ms);
            ASSERT_EQ(c.write(ms.get(), 1), 0);
        }
        bytes f = qvtest::read_file(path);
        switch (c.damage) {
        case Damage::FlipBit: f[f.size() / 2] ^= 0x10; break;
        case Damage::Truncate: f.pop_back(); break;
        case Damage::Cut31: f.resize(31); break;
        case Damage::OtherSecret: break;
        case Damage::Newer: script_seal(path, c.newer_pt); f = qvtest::read_file(path); break;
        }
        qvtest::write_file(path, f);

        auto ms = open_store(sub);
        ASSERT_TRUE(ms);
        if (c.read) {
            EXPECT_EQ(c.read(ms.get()), c.name == "session.dat" ? -1 : 0) << "reads as absent";
        }
        EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), c.name.c_str()), 1);
        EXPECT_EQ(qvtest::read_file(path), f) << "left untouched until the next write";
        EXPECT_TRUE(names_in(sub, c.name + ".unread-").empty());

        ASSERT_EQ(c.write(ms.get(), 2), 0);
        auto asides = names_in(sub, c.name + ".unread-");
        ASSERT_EQ(asides.size(), 1u);
        EXPECT_EQ(qvtest::read_file(sub + "/" + asides[0]), f) << "the aside holds the original bytes";
        EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), c.name.c_str()), 0);
        EXPECT_TRUE(c.holds(ms.get(), 2));
        ASSERT_EQ(c.write(ms.get(), 3), 0);
        EXPECT_EQ(names_in(sub, c.name + ".unread-").size(), 1u) << "a readable file is replaced in place";
        ms.reset();
        ms = open_store(sub);
        EXPECT_TRUE(c.holds(ms.get(), 3));
    }
}

// A file that exists but whose bytes could not be held for lack of memory
// reads as absent, like an unusable one, and like one it is kept aside before
// its next write: the conversation list then still has every key it held.
TEST_F(Msgstore, FileReadWithoutMemoryIsKeptAsideBeforeItsRewrite) {
    const Ids ids;
    const bytes state = filled(100, 7);
    struct Case {
        const char *what;
        std::string name;
        long fail_after;  // allocations through the hook that succeed first
        bool at_open;
    } cases[] = {
        {"conversation list, its file's bytes", "convs.dat", 0, true},
        {"conversation list, its plaintext", "convs.dat", 1, true},
        {"ratchet, its file's bytes", ratchet_name(ids.conv, ids.dev), 0, false},
        {"ratchet, its plaintext", ratchet_name(ids.conv, ids.dev), 1, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string sub = tmp.file(std::string("oom") + std::to_string(&c - cases)), path = sub + "/" + c.name;
        {
            auto ms = open_store(sub);
            ASSERT_TRUE(ms);
            ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(ids.conv), u8(filled(32, 1))), 0);
            ASSERT_EQ(quorvane_msgstore_put_ratchet(ms.get(), u8(ids.conv), u8(ids.dev), u8(state), state.size()), 0);
        }
        const bytes before = qvtest::read_file(path);
        store_ptr ms(nullptr, quorvane_msgstore_close);
        uint8_t buf[200];
        {
            AllocFailReset reset;
            if (c.at_open) n_alloc_fail_after(c.fail_after);
            ms = open_store(sub);
            ASSERT_TRUE(ms);
            if (!c.at_open) {
                n_alloc_fail_after(c.fail_after);
                EXPECT_EQ(quorvane_msgstore_get_ratchet(ms.get(), u8(ids.conv), u8(ids.dev), buf, sizeof buf), 0u);
            }
        }
        EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), c.name.c_str()), 1);
        if (c.at_open) {
            EXPECT_EQ(quorvane_msgstore_conv_count(ms.get()), 0u) << "reads as absent";
            ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(ids.conv2), u8(filled(32, 2))), 0);
        } else {
            ASSERT_EQ(quorvane_msgstore_put_ratchet(ms.get(), u8(ids.conv), u8(ids.dev), u8(filled(50, 8)), 50), 0);
        }
        auto asides = names_in(sub, c.name + ".unread-");
        EXPECT_EQ(asides.size(), 1u);
        if (asides.size() == 1) {
            EXPECT_EQ(qvtest::read_file(sub + "/" + asides[0]), before) << "the aside holds the original bytes";
        }
        EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), c.name.c_str()), 0);
    }
}

TEST_F(Msgstore, AbsentFileIsWrittenWithoutAside) {
    auto ms = open();
    ASSERT_TRUE(ms);
    EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), "profile.dat"), 0);
    ASSERT_EQ(quorvane_msgstore_set_self_profile(ms.get(), "n", nullptr), 0);
    EXPECT_TRUE(names_in(dir, "profile.dat.unread-").empty());
}

TEST_F(Msgstore, DroppingAnUnreadableRatchetKeepsItsBytes) {
    {
        auto ms = open();
        ASSERT_TRUE(ms);
        bytes s = filled(90, 7);
        ASSERT_EQ(quorvane_msgstore_put_ratchet(ms.get(), u8(id.conv), u8(id.dev), u8(s), s.size()), 0);
    }
    std::string name = ratchet_name(id.conv, id.dev);
    bytes f = qvtest::read_file(file(name));
    f[40] ^= 1;
    qvtest::write_file(file(name), f);
    auto ms = open();
    uint8_t b[200];
    EXPECT_EQ(quorvane_msgstore_get_ratchet(ms.get(), u8(id.conv), u8(id.dev), b, sizeof b), 0u);
    EXPECT_EQ(quorvane_msgstore_drop_ratchet(ms.get(), u8(id.conv), u8(id.dev)), 0);
    EXPECT_FALSE(exists(file(name)));
    auto asides = names_in(dir, name + ".unread-");
    ASSERT_EQ(asides.size(), 1u);
    EXPECT_EQ(qvtest::read_file(file(asides[0])), f);
}

/* ---- cross-checks with the independent script ----------------------------- */

TEST_F(Msgstore, FilesWrittenByStoreOpenInScript) {
    const bytes avatar_name = "me.png";
    const bytes s = hex(raw(kSecret, 32));
    bytes state = filled(277, 0x42), prev = filled(300, 0x43), pk = filled(500, 0x44);
    const bytes u1 = filled(16, 0x01), k1 = filled(32, 0x0a), u2 = filled(16, 0x02), k2 = filled(32, 0x0b);
    quorvane_file_meta av{};
    memset(av.blob.key, 0x77, sizeof av.blob.key);
    strcpy(av.mime, "image/png");
    strcpy(av.name, avatar_name.c_str());
    {
        auto ms = open();
        ASSERT_TRUE(ms);
        ASSERT_EQ(quorvane_msgstore_set_self_profile(ms.get(), "Ada", "about me"), 0);
        ASSERT_EQ(quorvane_msgstore_set_self_avatar(ms.get(), &av), 0);
        ASSERT_EQ(quorvane_msgstore_self_profile_edited(ms.get(), 1700000000123ull), 0);
        ASSERT_EQ(quorvane_msgstore_set_session(ms.get(), 1, u8(id.conv), 0xdeadbeef, "unsent"), 0);
        ASSERT_EQ(quorvane_msgstore_identity_tofu(ms.get(), u8(u1), u8(k1)), 0);
        ASSERT_EQ(quorvane_msgstore_identity_tofu(ms.get(), u8(u2), u8(k2)), 0);
        for (int i = 1; i <= 3; i++) ASSERT_EQ(quorvane_msgstore_rinit_note(ms.get(), u8(filled(16, i))), 0);
        ASSERT_EQ(quorvane_msgstore_put_prekeys(ms.get(), u8(pk), pk.size()), 0);
        ASSERT_EQ(quorvane_msgstore_put_ratchet(ms.get(), u8(id.conv), u8(id.dev), u8(state), state.size()), 0);
        ASSERT_EQ(quorvane_msgstore_put_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev), 1, 99, u8(prev), prev.size()), 0);
    }
    auto opened = script({"open " + file("profile.dat") + " " + s, "open " + file("session.dat") + " " + s,
                          "open " + file("idents.dat") + " " + s, "open " + file("rinit.dat") + " " + s,
                          "open " + file("prekeys.dat") + " " + s, "open " + file(ratchet_name(id.conv, id.dev)) + " " + s,
                          "open " + file(rprev_name(1, id.conv, id.dev)) + " " + s,
                          "open " + file("profile.dat") + " " + hex(raw(kOtherSecret, 32))});
    for (size_t i = 0; i + 1 < opened.size(); i++) ASSERT_EQ(opened[i].size(), 2u) << i;
    EXPECT_EQ(opened.back(), (std::vector<std::string>{"FAIL", "AUTH"}));
    EXPECT_EQ(opened[4][1], hex(pk));
    EXPECT_EQ(opened[5][1], hex(state));

    uint8_t enc[QV_MS_AVATAR_MAX];
    size_t enc_len = quorvane_msg_avatar_encode(&av, enc, sizeof enc);
    ASSERT_GT(enc_len, 0u);
    auto d = script({"decode profile " + opened[0][1], "decode session " + opened[1][1], "decode idents " + opened[2][1],
                     "decode rinit " + opened[3][1], "decode rprev " + opened[6][1]});
    EXPECT_EQ(d[0], (std::vector<std::string>{"OK", hex("Ada"), hex("about me"), hex(raw(enc, enc_len)), "1700000000123"}));
    EXPECT_EQ(d[1], (std::vector<std::string>{"OK", "1", hex(id.conv), "3735928559", hex("unsent")}));
    EXPECT_EQ(d[2], (std::vector<std::string>{"OK", "2", hex(u1) + ":" + hex(k1) + "," + hex(u2) + ":" + hex(k2)}));
    EXPECT_EQ(d[3], (std::vector<std::string>{"OK", "3", "3",
                                              hex(filled(16, 1)) + "," + hex(filled(16, 2)) + "," + hex(filled(16, 3))}));
    EXPECT_EQ(d[4], (std::vector<std::string>{"OK", "99", hex(prev)}));
}

TEST_F(Msgstore, FilesSealedByScriptOpenInStore) {
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    const bytes s = hex(raw(kSecret, 32));
    const bytes u1 = filled(16, 0x31), k1 = filled(32, 0x3a);
    const bytes state = filled(400, 0x61), prev = filled(280, 0x62), pk = filled(64, 0x63);
    auto enc = script({"encode profile " + hex("Bob") + " " + hex("hello") + " - 42",
                       "encode session 1 " + hex(id.conv2) + " 7 " + hex("typed"),
                       "encode idents 1 " + hex(u1) + ":" + hex(k1),
                       "encode rinit 2 2 " + hex(filled(16, 5)) + "," + hex(filled(16, 6)), "encode rprev 1234 " + hex(prev)});
    for (const auto &e : enc) ASSERT_EQ(e.size(), 2u);
    auto sealed = script({"seal " + file("profile.dat") + " " + s + " " + enc[0][1],
                          "seal " + file("session.dat") + " " + s + " " + enc[1][1],
                          "seal " + file("idents.dat") + " " + s + " " + enc[2][1],
                          "seal " + file("rinit.dat") + " " + s + " " + enc[3][1],
                          "seal " + file("prekeys.dat") + " " + s + " " + hex(pk),
                          "seal " + file(ratchet_name(id.conv, id.dev)) + " " + s + " " + hex(state),
                          "seal " + file(rprev_name(0, id.conv, id.dev)) + " " + s + " " + enc[4][1],
                          "seal " + file("convs.dat") + " " + s + " 1600000000"});
    for (const auto &e : sealed) ASSERT_EQ(e, std::vector<std::string>{"OK"});

    auto ms = open();
    ASSERT_TRUE(ms);
    char name[80], about[140], text[100];
    EXPECT_EQ(quorvane_msgstore_get_self_profile(ms.get(), name, sizeof name, about, sizeof about), 0);
    EXPECT_STREQ(name, "Bob");
    EXPECT_STREQ(about, "hello");
    EXPECT_EQ(quorvane_msgstore_self_profile_ts(ms.get()), 42u);
    int flag = 0;
    uint8_t conv[16];
    uint32_t value = 0;
    ASSERT_EQ(quorvane_msgstore_get_session(ms.get(), &flag, conv, &value, text, sizeof text), 0);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(raw(conv, 16), id.conv2);
    EXPECT_EQ(value, 7u);
    EXPECT_STREQ(text, "typed");
    EXPECT_EQ(quorvane_msgstore_identity_tofu(ms.get(), u8(u1), u8(k1)), 1);
    EXPECT_EQ(quorvane_msgstore_rinit_seen(ms.get(), u8(filled(16, 6))), 1);
    uint8_t buf[500];
    ASSERT_EQ(quorvane_msgstore_get_prekeys(ms.get(), buf, sizeof buf), pk.size());
    EXPECT_EQ(raw(buf, pk.size()), pk);
    ASSERT_EQ(quorvane_msgstore_get_ratchet(ms.get(), u8(id.conv), u8(id.dev), buf, sizeof buf), state.size());
    EXPECT_EQ(raw(buf, state.size()), state);
    uint64_t when = 0;
    ASSERT_EQ(quorvane_msgstore_get_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev), 0, &when, buf, sizeof buf), prev.size());
    EXPECT_EQ(when, 1234u);
    EXPECT_EQ(raw(buf, prev.size()), prev);
    EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), "convs.dat"), 0);
    // the label binds slot, conversation and device: the same bytes under another name do not open
    ASSERT_EQ(rename(file(rprev_name(0, id.conv, id.dev)).c_str(), file(rprev_name(1, id.conv, id.dev)).c_str()), 0);
    EXPECT_EQ(quorvane_msgstore_get_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev), 1, &when, buf, sizeof buf), 0u);
    ASSERT_EQ(rename(file(ratchet_name(id.conv, id.dev)).c_str(), file(ratchet_name(id.conv, id.dev2)).c_str()), 0);
    EXPECT_EQ(quorvane_msgstore_get_ratchet(ms.get(), u8(id.conv), u8(id.dev2), buf, sizeof buf), 0u);
}

/* ---- own profile and interface state -------------------------------------- */

TEST_F(Msgstore, SelfProfileCutsAndSurvivesReopen) {
    struct Case {
        size_t name_len, about_len, name_kept, about_kept;
    } cases[] = {{64, 128, 64, 128}, {65, 129, 64, 128}, {0, 0, 0, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name_len);
        std::string n(c.name_len, 'n'), a(c.about_len, 'a');
        {
            auto ms = open();
            ASSERT_EQ(quorvane_msgstore_set_self_profile(ms.get(), n.c_str(), a.c_str()), 0);
        }
        auto ms = open();
        char name[100], about[200];
        EXPECT_EQ(quorvane_msgstore_get_self_profile(ms.get(), name, sizeof name, about, sizeof about), 0);
        EXPECT_EQ(std::string(name), n.substr(0, c.name_kept));
        EXPECT_EQ(std::string(about), a.substr(0, c.about_kept));
    }
    auto ms = open();
    ASSERT_EQ(quorvane_msgstore_set_self_profile(ms.get(), nullptr, nullptr), 0);
    ASSERT_EQ(quorvane_msgstore_set_self_profile(ms.get(), "abcdef", nullptr), 0);
    char small[4];
    EXPECT_EQ(quorvane_msgstore_get_self_profile(ms.get(), small, sizeof small, nullptr, 0), 0);
    EXPECT_STREQ(small, "abc");
    EXPECT_EQ(quorvane_msgstore_get_self_profile(nullptr, small, sizeof small, nullptr, 0), -1);
}

TEST_F(Msgstore, SelfProfileEditTimeAndAdoption) {
    auto ms = open();
    ASSERT_EQ(quorvane_msgstore_set_self_profile(ms.get(), "Ann", "x"), 0);
    ASSERT_EQ(quorvane_msgstore_self_profile_edited(ms.get(), 100), 0);
    ASSERT_EQ(quorvane_msgstore_self_profile_edited(ms.get(), 50), 0);
    EXPECT_EQ(quorvane_msgstore_self_profile_ts(ms.get()), 100u) << "only raised";

    const std::string long_name(70, 'L'), long_kept(64, 'L');
    struct Case {
        const char *what, *name, *about;
        uint64_t time;
        int result;
        const char *name_after, *about_after;
        uint64_t time_after;
    } cases[] = {
        {"equal time refused", "Zed", "y", 100, 0, "Ann", "x", 100},
        {"older time refused", "Zed", "y", 99, 0, "Ann", "x", 100},
        {"null name refused", nullptr, "y", 200, 0, "Ann", "x", 100},
        {"empty name refused", "", "y", 200, 0, "Ann", "x", 100},
        {"same texts: only the time", "Ann", "x", 150, 0, "Ann", "x", 150},
        {"new texts", "Zed", nullptr, 160, 1, "Zed", "", 160},
        {"same again, null about as empty", "Zed", nullptr, 170, 0, "Zed", "", 170},
        {"long name", long_name.c_str(), nullptr, 180, 1, long_kept.c_str(), "", 180},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(quorvane_msgstore_adopt_self_profile(ms.get(), c.name, c.about, c.time), c.result);
        char name[100], about[200];
        ASSERT_EQ(quorvane_msgstore_get_self_profile(ms.get(), name, sizeof name, about, sizeof about), 0);
        EXPECT_STREQ(name, c.name_after);
        EXPECT_STREQ(about, c.about_after);
        EXPECT_EQ(quorvane_msgstore_self_profile_ts(ms.get()), c.time_after);
    }
    EXPECT_EQ(quorvane_msgstore_adopt_self_profile(ms.get(), long_name.c_str(), nullptr, 190), 0) << "cut name equals stored";
    ms.reset();
    ms = open();
    EXPECT_EQ(quorvane_msgstore_self_profile_ts(ms.get()), 190u);
}

TEST_F(Msgstore, SelfAvatarRoundTripAndClear) {
    quorvane_file_meta av{};
    memset(av.blob.storage_id, 0x12, sizeof av.blob.storage_id);
    memset(av.blob.key, 0x34, sizeof av.blob.key);
    av.blob.size = 12345;
    strcpy(av.mime, "image/webp");
    memset(av.name, 'n', QV_MSG_FILE_NAME_MAX);  // the longest avatar the encoder makes
    memset(av.mime, 'm', QV_MSG_MIME_MAX);
    {
        auto ms = open();
        ASSERT_EQ(quorvane_msgstore_set_self_avatar(ms.get(), &av), 0);
    }
    auto ms = open();
    quorvane_file_meta out{};
    ASSERT_EQ(quorvane_msgstore_get_self_avatar(ms.get(), &out), 1);
    EXPECT_EQ(memcmp(out.blob.key, av.blob.key, sizeof av.blob.key), 0);
    EXPECT_EQ(out.blob.size, 12345u);
    EXPECT_EQ(std::string(out.name), std::string(QV_MSG_FILE_NAME_MAX, 'n'));
    ASSERT_EQ(quorvane_msgstore_set_self_avatar(ms.get(), nullptr), 0);
    EXPECT_EQ(quorvane_msgstore_get_self_avatar(ms.get(), &out), 0);
    ms.reset();
    ms = open();
    EXPECT_EQ(quorvane_msgstore_get_self_avatar(ms.get(), &out), 0);
}

bytes profile_pt(size_t a, size_t b, size_t c, bool time) {
    bytes p = bytes(1, '\2') + bytes(1, char(a)) + filled(a, 'N') + bytes(1, char(b)) + filled(b, 'A');
    p += bytes(1, char(c >> 8)) + bytes(1, char(c & 0xff)) + filled(c, 'V');
    if (time) p += unhex("0000000000000309");
    return p;
}

// Each field that fails its test ends the reading and keeps what came before.
TEST(MsgstoreDecode, ProfileFieldsEndAtTheFirstBadOne) {
    struct Case {
        const char *what;
        bytes pt;
        int used;
        size_t name, about, avatar;
        uint64_t time;
    } cases[] = {
        {"whole", profile_pt(3, 4, 5, true), 1, 3, 4, 5, 777},
        {"limits", profile_pt(64, 128, 560, true), 1, 64, 128, 560, 777},
        {"name 65", profile_pt(65, 4, 5, true), 1, 0, 0, 0, 0},
        {"about 129", profile_pt(3, 129, 5, true), 1, 3, 0, 0, 0},
        {"avatar 561", profile_pt(3, 4, 561, true), 1, 3, 4, 0, 0},
        {"no time", profile_pt(3, 4, 5, false), 1, 3, 4, 5, 0},
        {"time cut", profile_pt(3, 4, 5, true).substr(0, 3 + 3 + 4 + 2 + 5 + 7), 1, 3, 4, 5, 0},
        {"name with nothing behind", bytes(1, '\2') + bytes(1, '\3') + "abc", 1, 0, 0, 0, 0},
        {"avatar length cut", profile_pt(3, 4, 0, false).substr(0, 1 + 1 + 3 + 1 + 4 + 1), 1, 3, 4, 0, 0},
        {"two bytes", unhex("0200"), 0, 0, 0, 0, 0},
        {"version 1", bytes(1, '\1') + profile_pt(3, 4, 5, true).substr(1), 0, 0, 0, 0, 0},
        {"version 3", bytes(1, '\3') + profile_pt(3, 4, 5, true).substr(1), 0, 0, 0, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        quorvane_ms_profile p;
        memset(&p, 0xff, sizeof p);
        EXPECT_EQ(quorvane_ms_profile_decode(u8(c.pt), c.pt.size(), &p), c.used);
        EXPECT_EQ(strlen(p.name), c.name);
        EXPECT_EQ(strlen(p.about), c.about);
        EXPECT_EQ(p.avatar_len, c.avatar);
        EXPECT_EQ(p.edit_time, c.time);
    }
}

TEST_F(Msgstore, SessionRoundTripAndCuts) {
    auto ms = open();
    struct Case {
        size_t text_len, kept;
    } cases[] = {{0, 0}, {4096, 4096}, {4097, 4096}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text_len);
        std::string t(c.text_len, 't');
        ASSERT_EQ(quorvane_msgstore_set_session(ms.get(), 5, u8(id.conv), 0xffffffffu, t.c_str()), 0);
        int flag = 9;
        uint8_t conv[16];
        uint32_t value = 0;
        std::vector<char> text(5000, 'x');
        ASSERT_EQ(quorvane_msgstore_get_session(ms.get(), &flag, conv, &value, text.data(), text.size()), 0);
        EXPECT_EQ(flag, 1);
        EXPECT_EQ(raw(conv, 16), id.conv);
        EXPECT_EQ(value, 0xffffffffu);
        EXPECT_EQ(strlen(text.data()), c.kept);
    }
    ASSERT_EQ(quorvane_msgstore_set_session(ms.get(), 0, nullptr, 3, nullptr), 0);
    int flag = 9;
    uint8_t conv[16];
    memset(conv, 0xab, sizeof conv);
    char text[8] = "zzz";
    ASSERT_EQ(quorvane_msgstore_get_session(ms.get(), &flag, conv, nullptr, text, sizeof text), 0);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(raw(conv, 16), filled(16, 0));
    EXPECT_STREQ(text, "");
    ASSERT_EQ(quorvane_msgstore_set_session(ms.get(), 1, nullptr, 3, "0123456789"), 0);
    ASSERT_EQ(quorvane_msgstore_get_session(ms.get(), nullptr, nullptr, nullptr, text, sizeof text), 0);
    EXPECT_STREQ(text, "0123456") << "cut to the buffer size minus one";

    ASSERT_EQ(unlink(file("session.dat").c_str()), 0);
    flag = 1;
    uint32_t value = 5;
    strcpy(text, "left");
    EXPECT_EQ(quorvane_msgstore_get_session(ms.get(), &flag, conv, &value, text, sizeof text), -1);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(value, 0u);
    EXPECT_STREQ(text, "") << "outputs are cleared first";
}

TEST(MsgstoreDecode, SessionTakesOnlyTheBytesPresent) {
    auto enc = script({"encode session 1 " + hex(filled(16, 4)) + " 9 " + hex("short") + " 300",
                       "encode session 1 " + hex(filled(16, 4)) + " 9 " + hex(filled(4100, 'w')) + " 65535"});
    struct Case {
        bytes pt;
        int rc;
        size_t text;
    } cases[] = {
        {unhex(enc[0][1]), 0, 5},
        {unhex(enc[1][1]), 0, 4096},
        {unhex(enc[0][1]).substr(0, 24), 0, 0},
        {unhex(enc[0][1]).substr(0, 23), -1, 0},
        {bytes(1, '\2') + unhex(enc[0][1]).substr(1), -1, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pt.size());
        quorvane_ms_session s;
        EXPECT_EQ(quorvane_ms_session_decode(u8(c.pt), c.pt.size(), &s), c.rc);
        EXPECT_EQ(s.text_len, c.text);
        EXPECT_EQ(strlen(s.text), c.text);
    }
}

/* ---- ratchet files --------------------------------------------------------- */

TEST_F(Msgstore, RatchetStateRoundTripAndCapacity) {
    // a real stored state of the double ratchet, not just any bytes
    uint8_t secret[32] = {7}, ad[64] = {8}, priv[32], pub[32];
    ASSERT_EQ(quorvane_x25519_keypair(priv, pub), 0);
    std::vector<uint8_t> st(QV_RATCHET_SER_MAX);
    size_t st_len = 0;
    ASSERT_EQ(quorvane_ratchet_init_initiator_ser(secret, ad, pub, st.data(), st.size(), &st_len), 0);
    st.resize(st_len);
    {
        auto ms = open();
        EXPECT_EQ(quorvane_msgstore_has_ratchet(ms.get(), u8(id.conv), u8(id.dev)), 0);
        ASSERT_EQ(quorvane_msgstore_put_ratchet(ms.get(), u8(id.conv), u8(id.dev), st.data(), st.size()), 0);
        EXPECT_EQ(quorvane_msgstore_put_ratchet(ms.get(), nullptr, u8(id.dev), st.data(), st.size()), -1);
        EXPECT_EQ(quorvane_msgstore_put_ratchet(ms.get(), u8(id.conv), u8(id.dev), nullptr, 3), -1);
        EXPECT_EQ(quorvane_msgstore_put_ratchet(nullptr, u8(id.conv), u8(id.dev), st.data(), st.size()), -1);
    }
    auto ms = open();
    EXPECT_EQ(quorvane_msgstore_has_ratchet(ms.get(), u8(id.conv), u8(id.dev)), 1);
    EXPECT_EQ(quorvane_msgstore_has_ratchet(ms.get(), u8(id.conv), u8(id.dev2)), 0);
    std::vector<uint8_t> buf(st.size() + 1);
    EXPECT_EQ(quorvane_msgstore_get_ratchet(ms.get(), u8(id.conv), u8(id.dev), buf.data(), st.size() - 1), 0u);
    ASSERT_EQ(quorvane_msgstore_get_ratchet(ms.get(), u8(id.conv), u8(id.dev), buf.data(), st.size()), st.size());
    EXPECT_TRUE(std::equal(st.begin(), st.end(), buf.begin()));
    quorvane_ratchet *r = nullptr;
    ASSERT_EQ(quorvane_ratchet_deserialize(&r, buf.data(), st.size()), 0);
    quorvane_ratchet_free(&r);

    EXPECT_EQ(quorvane_msgstore_drop_ratchet(ms.get(), u8(id.conv), nullptr), 1);
    EXPECT_EQ(quorvane_msgstore_drop_ratchet(ms.get(), u8(id.conv), u8(id.dev)), 0);
    EXPECT_EQ(quorvane_msgstore_drop_ratchet(ms.get(), u8(id.conv), u8(id.dev)), -1);
    EXPECT_EQ(quorvane_msgstore_has_ratchet(ms.get(), u8(id.conv), u8(id.dev)), 0);
    EXPECT_EQ(quorvane_msgstore_get_ratchet(ms.get(), u8(id.conv), u8(id.dev), buf.data(), buf.size()), 0u);
}

TEST_F(Msgstore, PreviousRatchetSlots) {
    auto ms = open();
    bytes a = filled(300, 0xa0), b = filled(1, 0xb0);
    EXPECT_EQ(quorvane_msgstore_put_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev), 2, 1, u8(a), a.size()), -1);
    ASSERT_EQ(quorvane_msgstore_put_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev), 0, 111, u8(a), a.size()), 0);
    ASSERT_EQ(quorvane_msgstore_put_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev), 1, 222, u8(b), b.size()), 0);
    ms.reset();
    ms = open();
    uint8_t buf[400];
    uint64_t v = 0;
    EXPECT_EQ(quorvane_msgstore_get_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev), 2, &v, buf, sizeof buf), 0u);
    ASSERT_EQ(quorvane_msgstore_get_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev), 0, &v, buf, sizeof buf), a.size());
    EXPECT_EQ(v, 111u);
    EXPECT_EQ(raw(buf, a.size()), a);
    EXPECT_EQ(quorvane_msgstore_get_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev), 0, &v, buf, a.size() - 1), 0u);
    // 9 bytes of plaintext (value and one state byte) is the shortest that counts
    ASSERT_EQ(quorvane_msgstore_get_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev), 1, nullptr, buf, sizeof buf), 1u);
    EXPECT_EQ(buf[0], 0xb0);
    ASSERT_EQ(quorvane_msgstore_put_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev), 1, 333, u8(b), 0), 0);
    v = 9;
    EXPECT_EQ(quorvane_msgstore_get_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev), 1, &v, buf, sizeof buf), 0u)
        << "a file holding only the value";
    EXPECT_EQ(v, 0u);

    quorvane_msgstore_drop_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev), 2);
    quorvane_msgstore_drop_ratchet_prev(ms.get(), nullptr, u8(id.dev), 0);
    EXPECT_TRUE(exists(file(rprev_name(0, id.conv, id.dev))));
    quorvane_msgstore_drop_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev), 0);
    EXPECT_FALSE(exists(file(rprev_name(0, id.conv, id.dev))));
    EXPECT_TRUE(exists(file(rprev_name(1, id.conv, id.dev))));
}

TEST_F(Msgstore, RatchetDevicesListing) {
    auto ms = open();
    bytes s = filled(10, 1);
    for (const bytes *d : {&id.dev, &id.dev2})
        ASSERT_EQ(quorvane_msgstore_put_ratchet(ms.get(), u8(id.conv), u8(*d), u8(s), s.size()), 0);
    ASSERT_EQ(quorvane_msgstore_put_ratchet(ms.get(), u8(id.conv2), u8(id.dev3), u8(s), s.size()), 0);
    ASSERT_EQ(quorvane_msgstore_put_ratchet_prev(ms.get(), u8(id.conv), u8(id.dev3), 0, 1, u8(s), s.size()), 0);
    // near misses: an upper-case digit, a short name, a non-hex digit, a leftover temporary
    std::string upper = ratchet_name(id.conv, filled(32, 0xab));
    std::transform(upper.begin() + 35, upper.end() - 4, upper.begin() + 35, ::toupper);
    qvtest::write_file(file(upper), "x");
    qvtest::write_file(file("r_" + hex(id.conv) + "_" + hex(filled(31, 1)) + ".dat"), "x");
    qvtest::write_file(file("r_" + hex(id.conv) + "_" + std::string(63, 'a') + "g.dat"), "x");
    qvtest::write_file(file(ratchet_name(id.conv, filled(32, 0xee)) + ".tmp"), "x");

    uint8_t out[4][32];
    ASSERT_EQ(quorvane_msgstore_ratchet_devices(ms.get(), u8(id.conv), out, 4), 2u);
    std::vector<bytes> got = {raw(out[0], 32), raw(out[1], 32)};
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<bytes>{id.dev, id.dev2}));
    memset(out, 0, sizeof out);
    EXPECT_EQ(quorvane_msgstore_ratchet_devices(ms.get(), u8(id.conv), out, 1), 2u) << "all matches counted";
    EXPECT_TRUE(raw(out[0], 32) == id.dev || raw(out[0], 32) == id.dev2);
    EXPECT_EQ(raw(out[1], 32), filled(32, 0)) << "nothing copied past the capacity";
    EXPECT_EQ(quorvane_msgstore_ratchet_devices(ms.get(), u8(id.conv2), nullptr, 0), 1u);
    EXPECT_EQ(quorvane_msgstore_ratchet_devices(ms.get(), u8(filled(16, 0x77)), out, 4), 0u);
}

TEST_F(Msgstore, DropRatchetDeviceAcrossConversations) {
    auto ms = open();
    bytes s = filled(10, 1);
    for (const bytes *c : {&id.conv, &id.conv2}) {
        for (const bytes *d : {&id.dev, &id.dev2}) {
            ASSERT_EQ(quorvane_msgstore_put_ratchet(ms.get(), u8(*c), u8(*d), u8(s), s.size()), 0);
            for (unsigned slot = 0; slot < 2; slot++)
                ASSERT_EQ(quorvane_msgstore_put_ratchet_prev(ms.get(), u8(*c), u8(*d), slot, 1, u8(s), s.size()), 0);
        }
    }
    // a file of another kind that ends like the device's files is not a ratchet file
    qvtest::write_file(file("x_" + hex(id.dev) + ".dat"), "keep");
    EXPECT_EQ(quorvane_msgstore_drop_ratchet_device(ms.get(), u8(id.dev)), 6);
    for (const bytes *c : {&id.conv, &id.conv2}) {
        EXPECT_FALSE(exists(file(ratchet_name(*c, id.dev))));
        EXPECT_FALSE(exists(file(rprev_name(0, *c, id.dev))));
        EXPECT_FALSE(exists(file(rprev_name(1, *c, id.dev))));
        EXPECT_TRUE(exists(file(ratchet_name(*c, id.dev2))));
        EXPECT_TRUE(exists(file(rprev_name(0, *c, id.dev2))));
        EXPECT_TRUE(exists(file(rprev_name(1, *c, id.dev2))));
    }
    EXPECT_TRUE(exists(file("x_" + hex(id.dev) + ".dat")));
    EXPECT_EQ(quorvane_msgstore_drop_ratchet_device(ms.get(), u8(id.dev)), 0);
    EXPECT_EQ(quorvane_msgstore_drop_ratchet_device(ms.get(), nullptr), 0);
}

/* ---- session-initiation ring, prekeys, identities -------------------------- */

bytes ring_id(int i) {
    bytes b = filled(16, 0x5e);
    b[0] = char(i >> 8);
    b[1] = char(i);
    return b;
}

TEST_F(Msgstore, RinitRingKeepsTheLast256) {
    {
        auto ms = open();
        for (int i = 0; i < 300; i++) ASSERT_EQ(quorvane_msgstore_rinit_note(ms.get(), u8(ring_id(i))), 0);
    }
    auto ms = open();
    for (int i = 0; i < 300; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(quorvane_msgstore_rinit_seen(ms.get(), u8(ring_id(i))), i >= 44 ? 1 : 0);
    }
    auto a = script({"open " + file("rinit.dat") + " " + hex(raw(kSecret, 32))});
    ASSERT_EQ(a[0].size(), 2u);
    auto d = script({"decode rinit " + a[0][1]});
    ASSERT_EQ(d[0].size(), 4u);
    EXPECT_EQ(d[0][1], "44");
    EXPECT_EQ(d[0][2], "256");
    EXPECT_EQ(quorvane_msgstore_rinit_note(nullptr, u8(ring_id(1))), -1);
    EXPECT_EQ(quorvane_msgstore_rinit_seen(ms.get(), nullptr), 0);
}

// An id the ring could not be checked for counts as seen, so that a replay
// is refused rather than let through; a ring that could not be read is not
// rewritten with the new id alone.
TEST_F(Msgstore, RinitUncheckedForLackOfMemory) {
    auto ms = open();
    ASSERT_TRUE(ms);
    const bytes kept = ring_id(1), fresh = ring_id(2);
    ASSERT_EQ(quorvane_msgstore_rinit_note(ms.get(), u8(kept)), 0);
    const bytes before = qvtest::read_file(file("rinit.dat"));
    struct Case {
        const char *what;
        bool note;
        long fail_after;  // allocations through the hook that succeed first
        int result;
    } cases[] = {
        {"check, its ring", false, 0, 1},
        {"check, the file's bytes", false, 1, 1},
        {"check, the plaintext", false, 2, 1},
        {"note, its ring", true, 0, -1},
        {"note, the file's bytes", true, 1, -1},
        {"note, the plaintext", true, 2, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        {
            AllocFailReset reset;
            n_alloc_fail_after(c.fail_after);
            EXPECT_EQ(c.note ? quorvane_msgstore_rinit_note(ms.get(), u8(fresh))
                             : quorvane_msgstore_rinit_seen(ms.get(), u8(fresh)),
                      c.result);
        }
        EXPECT_EQ(qvtest::read_file(file("rinit.dat")), before);
        EXPECT_EQ(quorvane_msgstore_rinit_seen(ms.get(), u8(fresh)), 0);
        EXPECT_EQ(quorvane_msgstore_rinit_seen(ms.get(), u8(kept)), 1);
    }
}

bytes ring_pt(unsigned next, unsigned count, size_t ids) {
    bytes p = bytes(1, char(next >> 8)) + bytes(1, char(next)) + bytes(1, char(count >> 8)) + bytes(1, char(count));
    return p + filled(16 * ids, 0x21);
}

TEST(MsgstoreDecode, RinitValidity) {
    struct Case {
        const char *what;
        bytes pt;
        int rc;
        unsigned count;
    } cases[] = {
        {"empty ring", ring_pt(0, 0, 0), 0, 0},
        {"full ring", ring_pt(255, 256, 256), 0, 256},
        {"count 257", ring_pt(0, 257, 257), -1, 0},
        {"next 256", ring_pt(256, 1, 1), -1, 0},
        {"one id missing", ring_pt(0, 2, 1), -1, 0},
        {"one id too many", ring_pt(0, 1, 2), -1, 0},
        {"three bytes", ring_pt(0, 0, 0).substr(0, 3), -1, 0},
        {"4101 bytes", ring_pt(0, 256, 256) + "x", -1, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        auto ring = std::make_unique<quorvane_ms_rinit>();
        EXPECT_EQ(quorvane_ms_rinit_decode(u8(c.pt), c.pt.size(), ring.get()), c.rc);
        EXPECT_EQ(ring->count, c.count);
    }
}

TEST_F(Msgstore, PrekeysRoundTripAndCapacity) {
    bytes pk = filled(777, 0x9c);
    {
        auto ms = open();
        EXPECT_EQ(quorvane_msgstore_put_prekeys(ms.get(), nullptr, 5), -1);
        ASSERT_EQ(quorvane_msgstore_put_prekeys(ms.get(), u8(pk), pk.size()), 0);
    }
    auto ms = open();
    std::vector<uint8_t> buf(pk.size());
    EXPECT_EQ(quorvane_msgstore_get_prekeys(ms.get(), buf.data(), pk.size() - 1), 0u);
    ASSERT_EQ(quorvane_msgstore_get_prekeys(ms.get(), buf.data(), pk.size()), pk.size());
    EXPECT_EQ(raw(buf.data(), buf.size()), pk);
}

TEST_F(Msgstore, IdentityFirstSeenIsKept) {
    const bytes u = filled(16, 0x41), k = filled(32, 0x42), other = filled(32, 0x43);
    {
        auto ms = open();
        EXPECT_EQ(quorvane_msgstore_identity_tofu(ms.get(), u8(u), u8(k)), 0);
        EXPECT_EQ(quorvane_msgstore_identity_tofu(ms.get(), u8(u), u8(k)), 1);
        EXPECT_EQ(quorvane_msgstore_identity_tofu(ms.get(), u8(u), u8(other)), -1);
        EXPECT_EQ(quorvane_msgstore_identity_tofu(ms.get(), nullptr, u8(k)), -2);
        EXPECT_EQ(quorvane_msgstore_identity_tofu(ms.get(), u8(u), nullptr), -2);
    }
    auto ms = open();
    EXPECT_EQ(ms->ident_count, 1u);
    EXPECT_EQ(quorvane_msgstore_identity_tofu(ms.get(), u8(u), u8(other)), -1);
    EXPECT_EQ(quorvane_msgstore_identity_tofu(ms.get(), u8(u), u8(k)), 1);
}

bytes ident_user(size_t i) {
    bytes b = filled(16, 0x70);
    b[0] = char(i >> 8);
    b[1] = char(i);
    return b;
}

// The list limit at 2047, 2048 and 2049 entries, from files the script seals.
TEST_F(Msgstore, IdentityListLimit) {
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    auto file_of = [](size_t announced, size_t present) {
        bytes pt = bytes(1, '\1') + bytes(1, char(announced >> 24)) + bytes(1, char(announced >> 16)) +
                   bytes(1, char(announced >> 8)) + bytes(1, char(announced));
        for (size_t i = 0; i < present; i++) pt += ident_user(i) + filled(32, 0x99);
        return pt;
    };
    struct Case {
        size_t announced, present, loaded;
        int next_new;  // tofu of a user not in the list
    } cases[] = {{2047, 2047, 2047, 0}, {2048, 2048, 2048, -2}, {2049, 2049, 2048, -2}, {2049, 2048, 2048, -2}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.announced);
        script_seal(file("idents.dat"), file_of(c.announced, c.present));
        auto ms = open();
        EXPECT_EQ(ms->ident_count, c.loaded);
        EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), "idents.dat"), 0);
        EXPECT_EQ(quorvane_msgstore_identity_tofu(ms.get(), u8(ident_user(c.loaded - 1)), u8(filled(32, 0x99))), 1);
        EXPECT_EQ(quorvane_msgstore_identity_tofu(ms.get(), u8(filled(16, 0xfe)), u8(filled(32, 1))), c.next_new);
        ms.reset();
        ms = open();
        EXPECT_EQ(ms->ident_count, std::min<size_t>(c.loaded + (c.next_new == 0), 2048));
    }
}

TEST(MsgstoreDecode, IdentityListValidity) {
    bytes one = bytes(1, '\1') + unhex("00000001") + filled(48, 3);
    struct Case {
        const char *what;
        bytes pt;
        long rc;
    } cases[] = {
        {"one entry", one, 1},
        {"one entry and spare bytes", one + "zz", 1},
        {"count 0", bytes(1, '\1') + unhex("00000000") + filled(48, 3), -1},
        {"entry cut", one.substr(0, one.size() - 1), -1},
        {"four bytes", one.substr(0, 4), -1},
        {"version 2", bytes(1, '\2') + one.substr(1), -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        quorvane_ms_ident out[2];
        EXPECT_EQ(quorvane_ms_idents_decode(u8(c.pt), c.pt.size(), out, 2), c.rc);
    }
}

/* ---- aside directories ----------------------------------------------------- */

TEST_F(Msgstore, DiscardAsidesRemovesBothCopies) {
    for (const char *suffix : {".pre-recreate", ".pre-reset"}) {
        std::string d = dir + suffix;
        ASSERT_EQ(mkdir(d.c_str(), 0700), 0);
        for (int i = 0; i < 5; i++) qvtest::write_file(d + "/f" + std::to_string(i), "x");
        ASSERT_EQ(mkdir((d + "/emptydir").c_str(), 0700), 0);
    }
    EXPECT_EQ(quorvane_msgstore_discard_asides(dir.c_str()), 2);
    EXPECT_FALSE(exists(dir + ".pre-recreate"));
    EXPECT_FALSE(exists(dir + ".pre-reset"));
    EXPECT_EQ(quorvane_msgstore_discard_asides(dir.c_str()), 0);

    // a directory that cannot be emptied stays and is not counted
    std::string d = dir + ".pre-reset";
    ASSERT_EQ(mkdir(d.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((d + "/full").c_str(), 0700), 0);
    qvtest::write_file(d + "/full/f", "x");
    EXPECT_EQ(quorvane_msgstore_discard_asides(dir.c_str()), 0);
    EXPECT_TRUE(exists(d + "/full/f"));

    EXPECT_EQ(quorvane_msgstore_discard_asides(nullptr), 0);
    EXPECT_EQ(quorvane_msgstore_discard_asides(std::string(512, 'a').c_str()), 0);
}

/* ---- conversations ----------------------------------------------------------- */

const std::string kData = std::string(QV_SOURCE_DIR) + "/tests/client/data/msgstore/";
const std::string kSecretHex = "0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20";

using fields = std::map<std::string, std::string>;

// NAME=VALUE words of the script's describe output.
fields kv(const std::vector<std::string> &answer) {
    fields f;
    for (size_t i = 1; i < answer.size(); i++) {
        size_t eq = answer[i].find('=');
        if (eq != std::string::npos) f[answer[i].substr(0, eq)] = answer[i].substr(eq + 1);
    }
    return f;
}

// The script's reading of a store file: opened with the store key, then described.
fields script_describe(const std::string &kind, const std::string &path) {
    auto o = script({"open " + path + " " + kSecretHex});
    if (o[0].size() != 2 || o[0][0] != "OK") {
        ADD_FAILURE() << "script cannot open " << path;
        return {};
    }
    auto d = script({"decode " + kind + " " + o[0][1]});
    EXPECT_EQ(d[0].at(0), "OK") << path;
    return kv(d[0]);
}

void script_run(const std::string &request) {
    auto a = script({request});
    ASSERT_EQ(a[0], std::vector<std::string>{"OK"}) << request;
}

const bytes kA = filled(16, 0xa1), kB = filled(16, 0xb2);
std::string msgs_name(const bytes &conv) { return "m_" + hex(conv) + ".dat"; }
std::string arch_name(const bytes &conv) { return "a_" + hex(conv) + ".dat"; }

// conversation i of the script's generated lists
bytes gen_conv_id(uint32_t i) {
    bytes b = filled(12, 0xc0);
    for (int k = 3; k >= 0; k--) b += char(i >> (8 * k));
    return b;
}

void copy_file(const std::string &from, const std::string &to) { qvtest::write_file(to, qvtest::read_file(from)); }

// "convs.dat" is judged at open by its version; a file of a version this
// program does not read stays byte for byte until something writes the list,
// which writes the current version and keeps the old bytes aside.
TEST_F(Msgstore, ConvListVersionsJudgedAtOpen) {
    auto empty_list = [](int version) { return bytes(1, char(version)) + unhex("00000000"); };
    struct Case {
        const char *what;
        bytes pt;
        bool usable;
        const char *logged;  // why an unusable one is not read
    } cases[] = {
        {"12", empty_list(12), false, "is of an older version than this program reads"},
        {"13", empty_list(13), true, nullptr},
        {"22", empty_list(22), true, nullptr},
        {"23", empty_list(23), false, "is of a newer version than this program reads"},
        {"255", empty_list(255), false, "is of a newer version than this program reads"},
        {"4 bytes of version 22", unhex("16000000"), false, "is too short to be a conversation list"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string sub = tmp.file(std::string("cv") + std::to_string(&c - cases)), path = sub + "/convs.dat";
        ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
        script_seal(path, c.pt);
        const bytes before = qvtest::read_file(path);
        {
            qvtest::LogCapture log;
            auto ms = open_store(sub);
            ASSERT_TRUE(ms);
            EXPECT_EQ(ms->conv_count, 0u);
            EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), "convs.dat"), c.usable ? 0 : 1);
            if (c.logged) {
                EXPECT_TRUE(log.contains(c.logged)) << log.text();
            } else {
                EXPECT_FALSE(log.contains("convs.dat")) << log.text();
            }
        }
        EXPECT_EQ(qvtest::read_file(path), before);
        {
            auto ms = open_store(sub);
            ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(id.conv), u8(filled(32, 1))), 0);
        }
        fields f = script_describe("convs", path);
        EXPECT_EQ(f["version"], "22");
        EXPECT_EQ(f["count"], "1");
        EXPECT_EQ(f["c0.id"], hex(id.conv));
        auto asides = names_in(sub, "convs.dat.unread-");
        ASSERT_EQ(asides.size(), c.usable ? 0u : 1u);
        if (!c.usable) {
            EXPECT_EQ(qvtest::read_file(sub + "/" + asides[0]), before) << "the aside holds the original bytes";
        }
    }
}

// Every version of the list loads with the defaults of the fields it lacks,
// opening leaves it as it is, and the first change writes the current version.
TEST_F(Msgstore, ConvListOfEveryVersionLoadsAndIsRewrittenCurrent) {
    for (int v = 13; v <= 22; v++) {
        SCOPED_TRACE(v);
        std::string sub = tmp.file("v" + std::to_string(v));
        ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
        copy_file(kData + "convs-" + std::to_string(v) + ".dat", sub + "/convs.dat");
        const bytes original = qvtest::read_file(sub + "/convs.dat");
        auto check = [&](quorvane_msgstore *ms) {
            ASSERT_EQ(quorvane_msgstore_conv_count(ms), 2u);
            EXPECT_EQ(quorvane_msgstore_unreadable(ms, "convs.dat"), 0);
            const quorvane_ms_conv *a = quorvane_msgstore_conv_at(ms, 0);
            ASSERT_EQ(raw(a->id, 16), kA);
            uint8_t keys[9][32];
            ASSERT_EQ(quorvane_msgstore_get_conv_keys(ms, u8(kA), keys, 9), 3u);
            EXPECT_EQ(raw(keys[0], 32), filled(32, 0x11));
            EXPECT_EQ(raw(keys[1], 32), filled(32, 0x31));
            EXPECT_EQ(raw(keys[2], 32), filled(32, 0x32));
            EXPECT_EQ(a->send_counter, 4242u);
            uint8_t peer[16], pkey[32];
            EXPECT_EQ(quorvane_msgstore_get_peer(ms, u8(kA), peer, pkey), 1);
            EXPECT_EQ(raw(peer, 16), filled(16, 0x21));
            EXPECT_EQ(raw(pkey, 32), filled(32, 0x22));
            EXPECT_EQ(quorvane_msgstore_get_verified(ms, u8(kA)), 0);
            EXPECT_EQ(quorvane_msgstore_identity_changed(ms, u8(kA)), 1);
            char t1[200], t2[200];
            EXPECT_EQ(quorvane_msgstore_get_peer_profile(ms, u8(kA), t1, sizeof t1, t2, sizeof t2), 1);
            EXPECT_STREQ(t1, "Peer A");
            EXPECT_STREQ(t2, "about A");
            EXPECT_EQ(quorvane_msgstore_get_label(ms, u8(kA), t1, sizeof t1), 0);
            EXPECT_STREQ(t1, "label A");
            EXPECT_EQ(quorvane_msgstore_get_group_name(ms, u8(kA), t1, sizeof t1), 1);
            EXPECT_STREQ(t1, "Group A");
            EXPECT_EQ(raw(a->peer_avatar, a->peer_avatar_len), "\x05" + filled(30, 'P'));
            EXPECT_EQ(raw(a->group_avatar, a->group_avatar_len), "\x07" + filled(20, 'G'));
            EXPECT_EQ(quorvane_msgstore_mode(ms, u8(kA), 0), 2);
            EXPECT_EQ(quorvane_msgstore_get_blocked(ms, u8(kA)), 1);
            EXPECT_EQ(quorvane_msgstore_get_read(ms, u8(kA)), 777u);
            // members: devices from 15, muted from 19
            ASSERT_EQ(quorvane_msgstore_member_count(ms, u8(kA)), 2u);
            uint8_t user[16], ik[32], k2[32], role = 9;
            ASSERT_EQ(quorvane_msgstore_member_at(ms, u8(kA), 0, user, ik, k2, &role), 0);
            EXPECT_EQ(raw(user, 16), filled(16, 0x41));
            EXPECT_EQ(raw(ik, 32), filled(32, 0x42));
            EXPECT_EQ(raw(k2, 32), filled(32, 0x43));
            EXPECT_EQ(role, 1);
            EXPECT_EQ(quorvane_msgstore_member_name(ms, u8(kA), u8(filled(16, 0x41)), t1, sizeof t1), 1);
            EXPECT_STREQ(t1, "Mem one");
            EXPECT_EQ(quorvane_msgstore_member_name(ms, u8(kA), u8(filled(16, 0x51)), t1, sizeof t1), 0);
            uint8_t d1[5][32], d2[5][32];
            size_t nd = quorvane_msgstore_member_devices(ms, u8(kA), u8(filled(16, 0x41)), d1, d2, 5);
            EXPECT_EQ(nd, v >= 15 ? 1u : 0u);
            if (nd == 1) {
                EXPECT_EQ(raw(d1[0], 32), filled(32, 0x44));
                EXPECT_EQ(raw(d2[0], 32), filled(32, 0x45));
            }
            EXPECT_EQ(quorvane_msgstore_member_muted(ms, u8(kA), 0), v >= 19 ? 1 : 0);
            EXPECT_EQ(quorvane_msgstore_member_muted(ms, u8(kA), 1), 0);
            // trailer: hidden and floor from 14, cursor 16, retention 17, has-key 18, the rest 20
            EXPECT_EQ(quorvane_msgstore_conv_hidden(ms, u8(kA)), v >= 14 ? 1 : 0);
            EXPECT_EQ(quorvane_msgstore_history_floor(ms, u8(kA)), v >= 14 ? 5000u : 0u);
            EXPECT_EQ(quorvane_msgstore_sync_cursor(ms, u8(kA)), v >= 16 ? 6000u : v >= 14 ? 5000u : 0u);
            EXPECT_EQ(quorvane_msgstore_get_retention(ms, u8(kA)), v >= 17 ? 30u : 0u);
            EXPECT_EQ(quorvane_msgstore_kind(ms, u8(kA)), v >= 20 ? 2 : 1) << "announced channel, or derived group";
            EXPECT_EQ(quorvane_msgstore_read_mark(ms, u8(kA)), v >= 20 ? 888u : 0u);
            EXPECT_EQ(quorvane_msgstore_mode(ms, u8(kA), 1), v >= 20 ? 2 : 0);
            // B: the out-of-range bytes read as 0; locked only where the version can say so
            EXPECT_EQ(quorvane_msgstore_conv_locked(ms, u8(kB)), v >= 18 ? 1 : 0);
            EXPECT_EQ(quorvane_msgstore_mode(ms, u8(kB), 0), 0);
            EXPECT_EQ(quorvane_msgstore_mode(ms, u8(kB), 1), 0);
            EXPECT_EQ(quorvane_msgstore_conv_at(ms, 1)->kind, 0);
            EXPECT_EQ(quorvane_msgstore_get_peer(ms, u8(kB), nullptr, nullptr), 0);
            // store-wide bytes: mute and notification defaults from 20, car flags 21, receipts 22
            EXPECT_EQ(ms->mute_defaults, v >= 20 ? 5 : 0);
            EXPECT_EQ(ms->notif_defaults, v >= 20 ? 2 : 0);
            EXPECT_EQ(quorvane_msgstore_car_flags(ms), v >= 21 ? 6 : 0);
            EXPECT_EQ(quorvane_msgstore_send_receipts(ms), v >= 22 ? 0 : 1);
        };
        {
            auto ms = open_store(sub);
            ASSERT_TRUE(ms);
            check(ms.get());
            ms.reset();
            EXPECT_EQ(qvtest::read_file(sub + "/convs.dat"), original) << "opening rewrote the list";
            ms = open_store(sub);
            ASSERT_EQ(quorvane_msgstore_set_blocked(ms.get(), u8(kA), 1), 0);
            check(ms.get());
        }
        EXPECT_TRUE(names_in(sub, "convs.dat.unread-").empty()) << "a readable older list needs no aside";
        fields f = script_describe("convs", sub + "/convs.dat");
        EXPECT_EQ(f["version"], "22");
        EXPECT_EQ(f["count"], "2");
        EXPECT_EQ(f["complete"], "1");
        EXPECT_EQ(f["c0.members"], "2");
        EXPECT_EQ(f["c0.m0.devices"], v >= 15 ? hex(filled(32, 0x44)) + ":" + hex(filled(32, 0x45)) : "-");
        EXPECT_EQ(f["c0.m0.muted"], v >= 19 ? "1" : "0");
        EXPECT_EQ(f["c0.cursor"], v >= 16 ? "6000" : "0");
        EXPECT_EQ(f["c0.kind"], v >= 20 ? "3" : "0");
        EXPECT_EQ(f["c1.has_key"], v >= 18 ? "0" : "1");
        EXPECT_EQ(f["settings"], v >= 22 ? "5,2,6,1" : v == 21 ? "5,2,6,0" : v == 20 ? "5,2,0,0" : "0,0,0,0");
        auto ms = open_store(sub);
        check(ms.get());
    }
}

// Every setting of a conversation and of the store, set through the store,
// survives a reopen and reads back in the independent decoder.
TEST_F(Msgstore, ConversationSettingsSurviveReopen) {
    const bytes c1 = filled(16, 0x01), c2 = filled(16, 0x02), k1 = filled(32, 0x0a), k2 = filled(32, 0x0b);
    const bytes peer = filled(16, 0x0c), pkey = filled(32, 0x0d);
    const uint8_t users[3][16] = {{0x31}, {0x32}, {0x33}}, iks[3][32] = {{0x41}, {0x42}, {0x43}},
                  sks[3][32] = {{0x51}, {0x52}, {0x53}}, roles[3] = {0, 1, 2};
    const uint8_t dev1[2][32] = {{0x61}, {0x62}}, dev2[2][32] = {{0x71}, {0x72}};
    quorvane_file_meta av{};
    memset(av.blob.key, 0x77, sizeof av.blob.key);
    strcpy(av.mime, "image/png");
    strcpy(av.name, "p.png");
    {
        auto ms = open();
        ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c1), u8(k1)), 0);
        ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c1), u8(k2)), 0);
        ASSERT_EQ(quorvane_msgstore_put_conv_locked(ms.get(), u8(c2)), 0);
        EXPECT_EQ(quorvane_msgstore_next_counter(ms.get(), u8(c1)), 1u);
        EXPECT_EQ(quorvane_msgstore_next_counter(ms.get(), u8(c1)), 2u);
        ASSERT_EQ(quorvane_msgstore_set_label(ms.get(), u8(c1), "work"), 0);
        ASSERT_EQ(quorvane_msgstore_set_peer(ms.get(), u8(c1), u8(peer), u8(pkey)), 0);
        ASSERT_EQ(quorvane_msgstore_set_verified(ms.get(), u8(c1), 7), 0);
        ASSERT_EQ(quorvane_msgstore_set_peer_profile(ms.get(), u8(c1), "Pat", "hi"), 0);
        ASSERT_EQ(quorvane_msgstore_set_peer_avatar(ms.get(), u8(c1), &av), 0);
        ASSERT_EQ(quorvane_msgstore_set_group_avatar(ms.get(), u8(c1), &av), 0);
        ASSERT_EQ(quorvane_msgstore_set_group_name(ms.get(), u8(c1), "team"), 0);
        ASSERT_EQ(quorvane_msgstore_set_members(ms.get(), u8(c1), users, iks, sks, roles, 3), 0);
        ASSERT_EQ(quorvane_msgstore_set_member_devices(ms.get(), u8(c1), users[1], dev1, dev2, 2), 0);
        const uint8_t mute_users[1][16] = {{0x33}}, mute_flags[1] = {1};
        ASSERT_EQ(quorvane_msgstore_set_member_muted(ms.get(), u8(c1), mute_users, mute_flags, 1), 0);
        ASSERT_EQ(quorvane_msgstore_set_member_name(ms.get(), u8(c1), users[0], "Zoe"), 0);
        ASSERT_EQ(quorvane_msgstore_set_kind(ms.get(), u8(c1), 2), 0);
        ASSERT_EQ(quorvane_msgstore_set_read(ms.get(), u8(c1), 40), 0);
        ASSERT_EQ(quorvane_msgstore_set_read_mark(ms.get(), u8(c1), 41), 1);
        quorvane_msgstore_note_cursor(ms.get(), u8(c1), 42);
        ASSERT_EQ(quorvane_msgstore_set_mode(ms.get(), u8(c1), 1, 1), 0);
        ASSERT_EQ(quorvane_msgstore_set_muted(ms.get(), u8(c1), 1), 0);
        ASSERT_EQ(quorvane_msgstore_set_blocked(ms.get(), u8(c1), 3), 0);
        ASSERT_EQ(quorvane_msgstore_set_retention(ms.get(), u8(c1), 9), 0);
        ASSERT_EQ(quorvane_msgstore_set_type_default(ms.get(), 0, 2, 1), 0);
        ASSERT_EQ(quorvane_msgstore_set_type_default(ms.get(), 1, 1, 0), 0);
        ASSERT_EQ(quorvane_msgstore_set_car_flags(ms.get(), 5), 0);
        ASSERT_EQ(quorvane_msgstore_set_send_receipts(ms.get(), 0), 0);
        quorvane_msgstore_note_cursor(ms.get(), u8(c1), 43);  // written at close
    }
    auto ms = open();
    ASSERT_EQ(quorvane_msgstore_conv_count(ms.get()), 2u);
    uint8_t keys[8][32];
    ASSERT_EQ(quorvane_msgstore_get_conv_keys(ms.get(), u8(c1), keys, 8), 2u);
    EXPECT_EQ(raw(keys[0], 32), k2);
    EXPECT_EQ(raw(keys[1], 32), k1);
    EXPECT_EQ(quorvane_msgstore_conv_locked(ms.get(), u8(c2)), 1);
    EXPECT_EQ(quorvane_msgstore_get_conv(ms.get(), u8(c2), keys[0]), 0);
    EXPECT_EQ(quorvane_msgstore_next_counter(ms.get(), u8(c1)), 3u);
    char t1[100], t2[200];
    EXPECT_EQ(quorvane_msgstore_get_label(ms.get(), u8(c1), t1, sizeof t1), 0);
    EXPECT_STREQ(t1, "work");
    EXPECT_EQ(quorvane_msgstore_get_verified(ms.get(), u8(c1)), 1);
    EXPECT_EQ(quorvane_msgstore_get_peer_profile(ms.get(), u8(c1), t1, sizeof t1, t2, sizeof t2), 1);
    EXPECT_STREQ(t1, "Pat");
    EXPECT_STREQ(t2, "hi");
    quorvane_file_meta out{};
    EXPECT_EQ(quorvane_msgstore_get_peer_avatar(ms.get(), u8(c1), &out), 1);
    EXPECT_STREQ(out.name, "p.png");
    EXPECT_EQ(quorvane_msgstore_get_group_avatar(ms.get(), u8(c1), &out), 1);
    EXPECT_EQ(memcmp(out.blob.key, av.blob.key, sizeof av.blob.key), 0);
    EXPECT_EQ(quorvane_msgstore_get_group_name(ms.get(), u8(c1), t1, sizeof t1), 1);
    EXPECT_STREQ(t1, "team");
    ASSERT_EQ(quorvane_msgstore_member_count(ms.get(), u8(c1)), 3u);
    uint8_t d1[5][32], d2[5][32];
    ASSERT_EQ(quorvane_msgstore_member_devices(ms.get(), u8(c1), users[1], d1, d2, 5), 2u);
    EXPECT_EQ(raw(d1[1], 32), raw(dev1[1], 32));
    EXPECT_EQ(raw(d2[0], 32), raw(dev2[0], 32));
    EXPECT_EQ(quorvane_msgstore_member_devices(ms.get(), u8(c1), users[1], nullptr, d2, 1), 1u) << "cut to the capacity";
    EXPECT_EQ(quorvane_msgstore_member_muted(ms.get(), u8(c1), 2), 1);
    EXPECT_EQ(quorvane_msgstore_member_muted(ms.get(), u8(c1), 0), 0);
    EXPECT_EQ(quorvane_msgstore_member_name(ms.get(), u8(c1), users[0], t1, sizeof t1), 1);
    EXPECT_STREQ(t1, "Zoe");
    EXPECT_EQ(quorvane_msgstore_kind(ms.get(), u8(c1)), 2);
    EXPECT_EQ(quorvane_msgstore_get_read(ms.get(), u8(c1)), 40u);
    EXPECT_EQ(quorvane_msgstore_read_mark(ms.get(), u8(c1)), 41u);
    EXPECT_EQ(quorvane_msgstore_sync_cursor(ms.get(), u8(c1)), 43u);
    EXPECT_EQ(quorvane_msgstore_mode(ms.get(), u8(c1), 1), 1);
    EXPECT_EQ(quorvane_msgstore_get_muted(ms.get(), u8(c1)), 1);
    EXPECT_EQ(quorvane_msgstore_get_blocked(ms.get(), u8(c1)), 1);
    EXPECT_EQ(quorvane_msgstore_get_retention(ms.get(), u8(c1)), 9u);
    EXPECT_EQ(quorvane_msgstore_type_default(ms.get(), 0, 2), 1);
    EXPECT_EQ(quorvane_msgstore_type_default(ms.get(), 0, 1), 0);
    EXPECT_EQ(quorvane_msgstore_type_default(ms.get(), 1, 1), 0);
    EXPECT_EQ(quorvane_msgstore_type_default(ms.get(), 1, 0), 1);
    EXPECT_EQ(quorvane_msgstore_car_flags(ms.get()), 5);
    EXPECT_EQ(quorvane_msgstore_send_receipts(ms.get()), 0);
    ms.reset();

    fields f = script_describe("convs", file("convs.dat"));
    EXPECT_EQ(f["version"], "22");
    EXPECT_EQ(f["c0.id"], hex(c1));
    EXPECT_EQ(f["c0.key"], hex(k2));
    EXPECT_EQ(f["c0.old_keys"], hex(k1));
    EXPECT_EQ(f["c0.counter"], "3");
    EXPECT_EQ(f["c0.label"], hex("work"));
    EXPECT_EQ(f["c0.peer_id"], hex(peer));
    EXPECT_EQ(f["c0.verified"], "1");
    EXPECT_EQ(f["c0.peer_name"], hex("Pat"));
    EXPECT_EQ(f["c0.group_name"], hex("team"));
    EXPECT_EQ(f["c0.m0.name"], hex("Zoe"));
    EXPECT_EQ(f["c0.m2.role"], "2");
    EXPECT_EQ(f["c0.m2.muted"], "1");
    EXPECT_EQ(f["c0.m1.devices"], hex(raw(dev1[0], 32)) + ":" + hex(raw(dev2[0], 32)) + "," + hex(raw(dev1[1], 32)) +
                                      ":" + hex(raw(dev2[1], 32)));
    EXPECT_EQ(f["c0.kind"], "3");
    EXPECT_EQ(f["c0.read_pos"], "40");
    EXPECT_EQ(f["c0.read_mark"], "41");
    EXPECT_EQ(f["c0.cursor"], "43");
    EXPECT_EQ(f["c0.mute"], "1");
    EXPECT_EQ(f["c0.notif"], "1");
    EXPECT_EQ(f["c0.blocked"], "1");
    EXPECT_EQ(f["c0.retention"], "9");
    EXPECT_EQ(f["c1.has_key"], "0");
    EXPECT_EQ(f["settings"], "4,2,5,1");
}

// The older writable versions, chosen by the test hook, carry what they can.
// The write version is process-wide: a failed assertion must not leave the
// tests after this one writing an older layout.
struct WriteVersionReset {
    ~WriteVersionReset() { quorvane_msgstore_test_write_version(QV_MS_CONVS_VERSION); }
};

TEST_F(Msgstore, WriteVersionHookWritesOlderLayouts) {
    for (int v : {19, 20, 21, 22}) {
        SCOPED_TRACE(v);
        std::string sub = tmp.file("w" + std::to_string(v));
        {
            WriteVersionReset reset;
            quorvane_msgstore_test_write_version(v);
            auto ms = open_store(sub);
            ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(id.conv), u8(filled(32, 1))), 0);
            ASSERT_EQ(quorvane_msgstore_set_kind(ms.get(), u8(id.conv), 1), 0);
            ASSERT_EQ(quorvane_msgstore_set_car_flags(ms.get(), 3), 0);
            ASSERT_EQ(quorvane_msgstore_set_send_receipts(ms.get(), 0), 0);
            ASSERT_EQ(quorvane_msgstore_set_type_default(ms.get(), 0, 0, 1), 0);
        }
        fields f = script_describe("convs", sub + "/convs.dat");
        EXPECT_EQ(f["version"], std::to_string(v));
        EXPECT_EQ(f["complete"], "1");
        EXPECT_EQ(f["c0.kind"], v >= 20 ? "2" : "0");
        EXPECT_EQ(f["settings"], v >= 22 ? "1,0,3,1" : v == 21 ? "1,0,3,0" : v == 20 ? "1,0,0,0" : "0,0,0,0");
        auto ms = open_store(sub);
        EXPECT_EQ(quorvane_msgstore_conv_at(ms.get(), 0)->kind, v >= 20 ? 2 : 0);
        EXPECT_EQ(quorvane_msgstore_car_flags(ms.get()), v >= 21 ? 3 : 0);
        EXPECT_EQ(quorvane_msgstore_send_receipts(ms.get()), v >= 22 ? 0 : 1);
    }
}

TEST_F(Msgstore, ConversationKeysAndPlaceholders) {
    auto ms = open();
    const bytes c = id.conv;
    EXPECT_EQ(quorvane_msgstore_get_conv(ms.get(), u8(c), nullptr), 0);
    EXPECT_EQ(quorvane_msgstore_add_old_keys(ms.get(), u8(c), nullptr, 0), -1) << "not held";
    ASSERT_EQ(quorvane_msgstore_put_conv_locked(ms.get(), u8(c)), 0);
    EXPECT_EQ(quorvane_msgstore_conv_locked(ms.get(), u8(c)), 1);
    uint8_t keys[9][32];
    EXPECT_EQ(quorvane_msgstore_get_conv_keys(ms.get(), u8(c), keys, 9), 0u);
    const uint8_t one[1][32] = {{1}};
    EXPECT_EQ(quorvane_msgstore_add_old_keys(ms.get(), u8(c), one, 1), -1) << "locked";
    // the placeholder takes its key in place: no older key appears
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(filled(32, 1))), 0);
    EXPECT_EQ(quorvane_msgstore_conv_locked(ms.get(), u8(c)), 0);
    EXPECT_EQ(quorvane_msgstore_get_conv_keys(ms.get(), u8(c), keys, 9), 1u);
    EXPECT_EQ(quorvane_msgstore_put_conv_locked(ms.get(), u8(c)), 0);
    EXPECT_EQ(quorvane_msgstore_conv_locked(ms.get(), u8(c)), 0);

    // the same key again writes nothing
    ASSERT_EQ(unlink(file("convs.dat").c_str()), 0);
    EXPECT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(filled(32, 1))), 0);
    EXPECT_FALSE(exists(file("convs.dat")));

    // eight further keys: the older list holds the last seven replaced, newest first
    for (int k = 2; k <= 9; k++) ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(filled(32, k))), 0);
    ASSERT_EQ(quorvane_msgstore_get_conv_keys(ms.get(), u8(c), keys, 9), 8u);
    for (int i = 0; i < 8; i++) EXPECT_EQ(keys[i][0], 9 - i) << i;
    EXPECT_EQ(quorvane_msgstore_get_conv_keys(ms.get(), u8(c), keys, 3), 3u);
    const quorvane_ms_conv *rec = quorvane_msgstore_conv_at(ms.get(), 0);
    EXPECT_EQ(rec->old_key_count, 7);

    // older keys from elsewhere: duplicates of held keys are skipped, at most 7 held
    const bytes c2 = id.conv2;
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c2), u8(filled(32, 0x50))), 0);
    const uint8_t add[4][32] = {{0x50}, {0x51}, {0x51}, {0x52}};
    uint8_t add_full[4][32];
    memcpy(add_full, add, sizeof add);
    for (auto &k : add_full) memset(k + 1, k[0], 31);
    EXPECT_EQ(quorvane_msgstore_add_old_keys(ms.get(), u8(c2), add_full, 4), 2);
    EXPECT_EQ(quorvane_msgstore_add_old_keys(ms.get(), u8(c2), add_full, 4), 0);
    EXPECT_EQ(quorvane_msgstore_add_old_keys(ms.get(), u8(c2), add_full, 0), 0);
    ASSERT_EQ(quorvane_msgstore_get_conv_keys(ms.get(), u8(c2), keys, 9), 3u);
    EXPECT_EQ(keys[1][0], 0x51);
    EXPECT_EQ(keys[2][0], 0x52);
    uint8_t many[9][32];
    for (int i = 0; i < 9; i++) memset(many[i], 0x60 + i, 32);
    EXPECT_EQ(quorvane_msgstore_add_old_keys(ms.get(), u8(c2), many, 9), 5) << "stops at seven older keys";
    EXPECT_EQ(quorvane_msgstore_get_conv_keys(ms.get(), u8(c2), keys, 9), 8u);

    EXPECT_EQ(quorvane_msgstore_next_counter(ms.get(), u8(filled(16, 0x99))), 0u);
    EXPECT_EQ(quorvane_msgstore_conv_at(ms.get(), 2), nullptr);
    EXPECT_EQ(quorvane_msgstore_conv_count(nullptr), 0u);
}

// A write that fails returns -1 and keeps the change in memory, except the
// send counter, which goes back.
TEST_F(Msgstore, FailedListWriteKeepsChangeButNotCounter) {
    auto ms = open();
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(id.conv), u8(filled(32, 1))), 0);
    EXPECT_EQ(quorvane_msgstore_next_counter(ms.get(), u8(id.conv)), 1u);
    const bytes before = qvtest::read_file(file("convs.dat"));
    ASSERT_EQ(mkdir(file("convs.dat.tmp").c_str(), 0700), 0);
    EXPECT_EQ(quorvane_msgstore_next_counter(ms.get(), u8(id.conv)), 0u);
    EXPECT_EQ(quorvane_msgstore_set_label(ms.get(), u8(id.conv), "kept"), -1);
    quorvane_msgstore_note_cursor(ms.get(), u8(id.conv), 77);
    EXPECT_EQ(quorvane_msgstore_flush(ms.get()), -1);
    EXPECT_EQ(ms->cursor_dirty, 1) << "a failed flush is tried again";
    EXPECT_EQ(qvtest::read_file(file("convs.dat")), before);
    char t[80];
    EXPECT_EQ(quorvane_msgstore_get_label(ms.get(), u8(id.conv), t, sizeof t), 0);
    EXPECT_STREQ(t, "kept");
    ASSERT_EQ(rmdir(file("convs.dat.tmp").c_str()), 0);
    EXPECT_EQ(quorvane_msgstore_next_counter(ms.get(), u8(id.conv)), 2u);
    EXPECT_EQ(ms->cursor_dirty, 0) << "the list written carries the cursor";
    ms.reset();
    ms = open();
    EXPECT_EQ(quorvane_msgstore_sync_cursor(ms.get(), u8(id.conv)), 77u);
    EXPECT_EQ(quorvane_msgstore_get_label(ms.get(), u8(id.conv), t, sizeof t), 0);
    EXPECT_STREQ(t, "kept");
}

TEST_F(Msgstore, PeerVerificationAndProfiles) {
    auto ms = open();
    const bytes c = id.conv, u1 = filled(16, 1), u2 = filled(16, 2), k1 = filled(32, 1), k2 = filled(32, 2);
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(filled(32, 9))), 0);
    EXPECT_EQ(quorvane_msgstore_get_peer(ms.get(), u8(id.conv2), nullptr, nullptr), -1);
    EXPECT_EQ(quorvane_msgstore_get_verified(ms.get(), u8(id.conv2)), -1);
    struct Step {
        const char *what;
        bool verify;
        const bytes *user, *key;
        int verified, changed;
    } steps[] = {
        {"first peer", false, &u1, &k1, 0, 0},
        {"never verified, new key: mark stays 0", false, &u1, &k2, 0, 0},
        {"verified", true, &u1, &k2, 1, 0},
        {"same peer again", false, &u1, &k2, 1, 0},
        {"verified, new key", false, &u1, &k1, 0, 1},
        {"still changed after another key", false, &u2, &k2, 0, 1},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(s.what);
        if (s.verify) {
            ASSERT_EQ(quorvane_msgstore_set_verified(ms.get(), u8(c), 1), 0);
        }
        ASSERT_EQ(quorvane_msgstore_set_peer(ms.get(), u8(c), u8(*s.user), u8(*s.key)), 0);
        EXPECT_EQ(quorvane_msgstore_get_verified(ms.get(), u8(c)), s.verified);
        EXPECT_EQ(quorvane_msgstore_identity_changed(ms.get(), u8(c)), s.changed);
        uint8_t got[32];
        EXPECT_EQ(quorvane_msgstore_get_peer(ms.get(), u8(c), nullptr, got), 1);
        EXPECT_EQ(raw(got, 32), *s.key);
    }
    char n[100] = "x", a[200] = "y";
    EXPECT_EQ(quorvane_msgstore_get_peer_profile(ms.get(), u8(c), n, sizeof n, a, sizeof a), 0);
    EXPECT_STREQ(n, "");
    EXPECT_EQ(quorvane_msgstore_get_peer_profile(ms.get(), u8(id.conv2), n, sizeof n, a, sizeof a), -1);
    const std::string longname(70, 'n'), longabout(130, 'a'), longlabel(100, 'l');
    ASSERT_EQ(quorvane_msgstore_set_peer_profile(ms.get(), u8(c), longname.c_str(), nullptr), 0);
    EXPECT_EQ(quorvane_msgstore_get_peer_profile(ms.get(), u8(c), n, sizeof n, a, sizeof a), 1);
    EXPECT_EQ(std::string(n), longname.substr(0, 64));
    EXPECT_STREQ(a, "");
    ASSERT_EQ(quorvane_msgstore_set_peer_profile(ms.get(), u8(c), nullptr, longabout.c_str()), 0);
    EXPECT_EQ(quorvane_msgstore_get_peer_profile(ms.get(), u8(c), n, sizeof n, a, sizeof a), 1);
    EXPECT_EQ(std::string(a), longabout.substr(0, 128));
    ASSERT_EQ(quorvane_msgstore_set_label(ms.get(), u8(c), longlabel.c_str()), 0);
    ASSERT_EQ(quorvane_msgstore_set_group_name(ms.get(), u8(c), longlabel.c_str()), 0);
    EXPECT_EQ(quorvane_msgstore_get_label(ms.get(), u8(c), n, sizeof n), 0);
    EXPECT_EQ(std::string(n), longlabel.substr(0, 63));
    EXPECT_EQ(quorvane_msgstore_get_group_name(ms.get(), u8(c), n, sizeof n), 1);
    EXPECT_EQ(std::string(n), longlabel.substr(0, 63));
    ASSERT_EQ(quorvane_msgstore_set_group_name(ms.get(), u8(c), nullptr), 0);
    EXPECT_EQ(quorvane_msgstore_get_group_name(ms.get(), u8(c), n, sizeof n), 0);
    strcpy(n, "stale");
    EXPECT_EQ(quorvane_msgstore_get_group_name(ms.get(), u8(id.conv2), n, sizeof n), -1);
    EXPECT_STREQ(n, "") << "buffer emptied";

    quorvane_file_meta av{}, out{};
    EXPECT_EQ(quorvane_msgstore_get_peer_avatar(ms.get(), u8(c), &out), 0);
    EXPECT_EQ(quorvane_msgstore_get_peer_avatar(ms.get(), u8(id.conv2), &out), -1);
    EXPECT_EQ(quorvane_msgstore_get_group_avatar(ms.get(), u8(id.conv2), &out), 0);
    EXPECT_EQ(quorvane_msgstore_set_peer_avatar(ms.get(), u8(c), nullptr), -1);
    EXPECT_EQ(quorvane_msgstore_set_group_avatar(ms.get(), u8(id.conv2), &av), -1);
    EXPECT_EQ(quorvane_msgstore_get_peer_avatar(ms.get(), u8(c), &out), 0);
}

// Members: the list, names that stay with their user, devices, mutes, who
// may delete, and the group safety number.
TEST_F(Msgstore, MembersDevicesMutesAndRoles) {
    auto ms = open();
    const bytes c = id.conv;
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(filled(32, 9))), 0);
    uint8_t users[65][16] = {}, iks[65][32] = {}, sks[65][32] = {}, roles[65] = {};
    for (int i = 0; i < 65; i++) {
        users[i][0] = uint8_t(i + 1);
        memset(iks[i], i + 1, 32);
        memset(sks[i], 0x80 + i, 32);
    }
    roles[1] = 1;
    roles[2] = 2;
    EXPECT_EQ(quorvane_msgstore_set_members(ms.get(), u8(c), nullptr, iks, sks, roles, 3), -1);
    EXPECT_EQ(quorvane_msgstore_set_members(ms.get(), u8(id.conv2), users, iks, sks, roles, 3), -1);
    ASSERT_EQ(quorvane_msgstore_set_members(ms.get(), u8(c), users, iks, sks, roles, 3), 0);
    uint32_t rev = quorvane_msgstore_conv_revision(ms.get(), u8(c));
    ASSERT_EQ(quorvane_msgstore_set_members(ms.get(), u8(c), users, iks, sks, roles, 3), 0);
    EXPECT_EQ(quorvane_msgstore_conv_revision(ms.get(), u8(c)), rev) << "the same list raises nothing";
    EXPECT_EQ(ms->ident_count, 3u) << "each member's identity recorded on first sight";
    ASSERT_EQ(quorvane_msgstore_set_member_name(ms.get(), u8(c), users[1], "Bo"), 0);
    EXPECT_EQ(quorvane_msgstore_set_member_name(ms.get(), u8(c), users[40], "x"), 0) << "not a member";
    // the kind follows the members until it is announced
    EXPECT_EQ(quorvane_msgstore_kind(ms.get(), u8(c)), 1);

    // a new list: the member who stays keeps the name, newcomers have none
    const uint8_t (*from1)[16] = users + 1;
    ASSERT_EQ(quorvane_msgstore_set_members(ms.get(), u8(c), from1, iks + 1, sks + 1, roles + 1, 2), 0);
    EXPECT_EQ(quorvane_msgstore_conv_revision(ms.get(), u8(c)), rev + 1);
    char n[80];
    EXPECT_EQ(quorvane_msgstore_member_name(ms.get(), u8(c), users[1], n, sizeof n), 1);
    EXPECT_STREQ(n, "Bo");
    EXPECT_EQ(quorvane_msgstore_member_name(ms.get(), u8(c), users[0], n, sizeof n), -1);
    EXPECT_EQ(quorvane_msgstore_kind(ms.get(), u8(c)), 0) << "two members, no group name";
    ASSERT_EQ(quorvane_msgstore_set_group_name(ms.get(), u8(c), "named"), 0);
    EXPECT_EQ(quorvane_msgstore_kind(ms.get(), u8(c)), 1);
    ASSERT_EQ(quorvane_msgstore_set_kind(ms.get(), u8(c), 0), 0);
    EXPECT_EQ(quorvane_msgstore_kind(ms.get(), u8(c)), 1) << "a direct kind with a group name is derived";
    EXPECT_EQ(quorvane_msgstore_set_kind(ms.get(), u8(c), 3), -1);
    EXPECT_EQ(quorvane_msgstore_set_kind(ms.get(), u8(c), 0), 0);

    // who may delete: the author, or a member of role 1 or 2
    EXPECT_EQ(quorvane_msgstore_can_delete(ms.get(), u8(c), users[1], users[5]), 1);
    EXPECT_EQ(quorvane_msgstore_can_delete(ms.get(), u8(c), users[2], users[5]), 1);
    EXPECT_EQ(quorvane_msgstore_can_delete(ms.get(), u8(c), users[5], users[5]), 1);
    EXPECT_EQ(quorvane_msgstore_can_delete(ms.get(), u8(c), users[6], users[5]), 0);
    EXPECT_EQ(quorvane_msgstore_can_delete(ms.get(), u8(c), nullptr, users[5]), 0);

    // devices: at most five pairs, no revision change, the same pairs write nothing
    uint8_t f6[6][32], s6[6][32];
    for (int i = 0; i < 6; i++) memset(f6[i], 0x10 + i, 32), memset(s6[i], 0x20 + i, 32);
    EXPECT_EQ(quorvane_msgstore_set_member_devices(ms.get(), u8(c), users[1], f6, nullptr, 2), -1);
    EXPECT_EQ(quorvane_msgstore_set_member_devices(ms.get(), u8(c), users[0], f6, s6, 2), -1) << "not a member";
    rev = quorvane_msgstore_conv_revision(ms.get(), u8(c));
    ASSERT_EQ(quorvane_msgstore_set_member_devices(ms.get(), u8(c), users[1], f6, s6, 6), 0);
    EXPECT_EQ(quorvane_msgstore_conv_revision(ms.get(), u8(c)), rev);
    uint8_t g1[6][32], g2[6][32];
    EXPECT_EQ(quorvane_msgstore_member_devices(ms.get(), u8(c), users[1], g1, g2, 6), 5u);
    EXPECT_EQ(raw(g1[4], 32), raw(f6[4], 32));
    EXPECT_EQ(quorvane_msgstore_member_devices(ms.get(), u8(c), users[1], g1, g2, 6), 5u);
    ASSERT_EQ(unlink(file("convs.dat").c_str()), 0);
    EXPECT_EQ(quorvane_msgstore_set_member_devices(ms.get(), u8(c), users[1], f6, s6, 5), 0);
    EXPECT_FALSE(exists(file("convs.dat"))) << "the same pairs write nothing";
    ASSERT_EQ(quorvane_msgstore_set_member_devices(ms.get(), u8(c), users[1], nullptr, nullptr, 0), 0);
    EXPECT_EQ(quorvane_msgstore_member_devices(ms.get(), u8(c), users[1], g1, g2, 6), 0u);

    // mutes: the first list entry of a user decides; unlisted members are unmuted
    const uint8_t mu[3][16] = {{2}, {2}, {3}}, fl[3] = {1, 0, 0};
    ASSERT_EQ(quorvane_msgstore_set_member_muted(ms.get(), u8(c), mu, fl, 3), 0);
    EXPECT_EQ(quorvane_msgstore_member_muted(ms.get(), u8(c), 0), 1);
    EXPECT_EQ(quorvane_msgstore_member_muted(ms.get(), u8(c), 1), 0);
    EXPECT_EQ(quorvane_msgstore_member_muted(ms.get(), u8(c), 2), 0) << "past the end";
    ASSERT_EQ(unlink(file("convs.dat").c_str()), 0);
    EXPECT_EQ(quorvane_msgstore_set_member_muted(ms.get(), u8(c), mu, fl, 3), 0);
    EXPECT_FALSE(exists(file("convs.dat"))) << "no flag changed: nothing written";
    ASSERT_EQ(quorvane_msgstore_set_member_muted(ms.get(), u8(c), nullptr, nullptr, 0), 0);
    EXPECT_EQ(quorvane_msgstore_member_muted(ms.get(), u8(c), 0), 0);

    // 65 given: the first 64 are kept
    ASSERT_EQ(quorvane_msgstore_set_members(ms.get(), u8(c), users, iks, sks, roles, 65), 0);
    EXPECT_EQ(quorvane_msgstore_member_count(ms.get(), u8(c)), 64u);
    uint8_t last[16];
    ASSERT_EQ(quorvane_msgstore_member_at(ms.get(), u8(c), 63, last, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(last[0], 64);
    EXPECT_EQ(quorvane_msgstore_member_at(ms.get(), u8(c), 64, last, nullptr, nullptr, nullptr), -1);

    // the group safety number: 72 bytes at least, 1 to 64 members, the same
    // text as the members handed over directly
    char sn[80], want[80];
    EXPECT_EQ(quorvane_msgstore_group_safety_number(ms.get(), u8(c), sn, 71), -1);
    ASSERT_EQ(quorvane_msgstore_set_members(ms.get(), u8(c), users, iks, sks, roles, 3), 0);
    ASSERT_EQ(quorvane_msgstore_group_safety_number(ms.get(), u8(c), sn, 72), 0);
    quorvane_safety_member list[3];
    for (int i = 0; i < 3; i++) {
        list[i].identity_pub = iks[i];
        memcpy(list[i].user_id, users[i], 16);
    }
    ASSERT_EQ(quorvane_group_safety_number(list, 3, want), 0);
    EXPECT_STREQ(sn, want);
    ASSERT_EQ(quorvane_msgstore_set_members(ms.get(), u8(c), nullptr, nullptr, nullptr, nullptr, 0), 0);
    EXPECT_EQ(quorvane_msgstore_member_count(ms.get(), u8(c)), 0u);
    EXPECT_EQ(quorvane_msgstore_group_safety_number(ms.get(), u8(c), sn, sizeof sn), -1) << "no members";
    EXPECT_EQ(quorvane_msgstore_set_member_muted(ms.get(), u8(c), mu, fl, 3), 0);
}

TEST_F(Msgstore, ModesDefaultsAndEffectiveSettings) {
    auto ms = open();
    const bytes c = id.conv;
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(filled(32, 9))), 0);
    ASSERT_EQ(quorvane_msgstore_set_kind(ms.get(), u8(c), 1), 0);
    EXPECT_EQ(quorvane_msgstore_set_mode(ms.get(), u8(c), 2, 1), -1);
    EXPECT_EQ(quorvane_msgstore_set_mode(ms.get(), u8(c), 0, 3), -1);
    EXPECT_EQ(quorvane_msgstore_mode(ms.get(), u8(c), 2), -1);
    EXPECT_EQ(quorvane_msgstore_set_type_default(ms.get(), 0, 3, 1), -1);
    EXPECT_EQ(quorvane_msgstore_set_type_default(ms.get(), 2, 0, 1), -1);
    EXPECT_EQ(quorvane_msgstore_type_default(ms.get(), 0, 3), -1);
    EXPECT_EQ(quorvane_msgstore_set_car_flags(ms.get(), 8), -1);
    EXPECT_EQ(quorvane_msgstore_effective(ms.get(), u8(id.conv2), 0), -1);
    EXPECT_EQ(quorvane_msgstore_effective(ms.get(), u8(c), 2), -1);
    // stored mode, default of the group kind -> effective
    struct Case {
        int setting, mode, kind_default, effective;
    } cases[] = {
        {0, 0, 0, 0}, {0, 0, 1, 1}, {0, 1, 0, 1}, {0, 2, 1, 0},
        {1, 0, 1, 1}, {1, 0, 0, 0}, {1, 1, 0, 1}, {1, 2, 1, 0},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(std::to_string(k.setting) + "/" + std::to_string(k.mode) + "/" + std::to_string(k.kind_default));
        ASSERT_EQ(quorvane_msgstore_set_mode(ms.get(), u8(c), k.setting, k.mode), 0);
        ASSERT_EQ(quorvane_msgstore_set_type_default(ms.get(), k.setting, 1, k.kind_default), 0);
        // another kind's default must not leak in
        ASSERT_EQ(quorvane_msgstore_set_type_default(ms.get(), k.setting, 0, !k.kind_default), 0);
        EXPECT_EQ(quorvane_msgstore_type_default(ms.get(), k.setting, 1), k.kind_default);
        EXPECT_EQ(quorvane_msgstore_mode(ms.get(), u8(c), k.setting), k.mode);
        EXPECT_EQ(quorvane_msgstore_effective(ms.get(), u8(c), k.setting), k.effective);
    }
    ASSERT_EQ(quorvane_msgstore_set_muted(ms.get(), u8(c), 5), 0);
    EXPECT_EQ(quorvane_msgstore_mode(ms.get(), u8(c), 0), 1);
    ASSERT_EQ(quorvane_msgstore_set_muted(ms.get(), u8(c), 0), 0);
    EXPECT_EQ(quorvane_msgstore_get_muted(ms.get(), u8(c)), 0);
    EXPECT_EQ(quorvane_msgstore_mode(ms.get(), u8(c), 0), 0);
    EXPECT_EQ(quorvane_msgstore_get_muted(ms.get(), u8(id.conv2)), -1);
    EXPECT_EQ(quorvane_msgstore_set_retention(ms.get(), u8(c), 0), 0);
    EXPECT_EQ(quorvane_msgstore_send_receipts(nullptr), 1);
    EXPECT_EQ(quorvane_msgstore_car_flags(nullptr), 0);
}

TEST_F(Msgstore, ReadPositionsCursorsAndLookup) {
    auto ms = open();
    const bytes c = id.conv, peer = filled(16, 0x0e);
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(filled(32, 9))), 0);
    ASSERT_EQ(quorvane_msgstore_set_read(ms.get(), u8(c), 10), 0);
    EXPECT_EQ(quorvane_msgstore_set_read(ms.get(), u8(c), 5), 0);
    EXPECT_EQ(quorvane_msgstore_get_read(ms.get(), u8(c)), 10u);
    EXPECT_EQ(quorvane_msgstore_set_read_mark(ms.get(), u8(c), 20), 1);
    EXPECT_EQ(quorvane_msgstore_set_read_mark(ms.get(), u8(c), 19), 0);
    EXPECT_EQ(quorvane_msgstore_set_read_mark(ms.get(), u8(c), 20), 0);
    EXPECT_EQ(quorvane_msgstore_read_mark(ms.get(), u8(c)), 20u);
    EXPECT_EQ(quorvane_msgstore_set_read_mark(ms.get(), u8(id.conv2), 20), -1);

    // cursor notes set the dirty flag and write nothing until flushed
    ASSERT_EQ(unlink(file("convs.dat").c_str()), 0);
    quorvane_msgstore_note_cursor(ms.get(), u8(c), 100);
    quorvane_msgstore_note_cursor(ms.get(), u8(c), 90);
    EXPECT_FALSE(exists(file("convs.dat")));
    EXPECT_EQ(quorvane_msgstore_sync_cursor(ms.get(), u8(c)), 100u);
    ASSERT_EQ(quorvane_msgstore_flush(ms.get()), 0);
    EXPECT_TRUE(exists(file("convs.dat")));
    ASSERT_EQ(unlink(file("convs.dat").c_str()), 0);
    EXPECT_EQ(quorvane_msgstore_flush(ms.get()), 0);
    EXPECT_FALSE(exists(file("convs.dat"))) << "nothing due";
    quorvane_msgstore_hold_cursor(ms.get(), u8(c));
    quorvane_msgstore_note_cursor(ms.get(), u8(c), 200);
    EXPECT_EQ(quorvane_msgstore_sync_cursor(ms.get(), u8(c)), 100u) << "held";
    EXPECT_EQ(ms->cursor_dirty, 0);

    // direct conversations by peer: not hidden, direct by kind or derivation
    EXPECT_EQ(quorvane_msgstore_find_dm(ms.get(), u8(peer), nullptr), 0);
    ASSERT_EQ(quorvane_msgstore_set_peer(ms.get(), u8(c), u8(peer), u8(filled(32, 1))), 0);
    ASSERT_EQ(quorvane_msgstore_set_group_name(ms.get(), u8(c), "a group"), 0);
    EXPECT_EQ(quorvane_msgstore_find_dm(ms.get(), u8(peer), nullptr), 0);
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(id.conv2), u8(filled(32, 8))), 0);
    ASSERT_EQ(quorvane_msgstore_set_peer(ms.get(), u8(id.conv2), u8(peer), u8(filled(32, 1))), 0);
    uint8_t found[16];
    EXPECT_EQ(quorvane_msgstore_find_dm(ms.get(), u8(peer), found), 1);
    EXPECT_EQ(raw(found, 16), id.conv2);
    ASSERT_EQ(quorvane_msgstore_forget_conv(ms.get(), u8(id.conv2)), 0);
    EXPECT_EQ(quorvane_msgstore_find_dm(ms.get(), u8(peer), found), 0) << "hidden";

    // forgetting raises the floor to the cursor; the sync cursor never drops below it
    quorvane_msgstore_note_cursor(ms.get(), u8(id.conv2), 300);
    ASSERT_EQ(quorvane_msgstore_forget_conv(ms.get(), u8(id.conv2)), 0);
    EXPECT_EQ(quorvane_msgstore_history_floor(ms.get(), u8(id.conv2)), 300u);
    EXPECT_EQ(quorvane_msgstore_sync_cursor(ms.get(), u8(id.conv2)), 300u);
    EXPECT_EQ(quorvane_msgstore_conv_hidden(ms.get(), u8(id.conv2)), 1);
    EXPECT_EQ(quorvane_msgstore_conv_hidden(ms.get(), u8(filled(16, 0x77))), -1);
    EXPECT_EQ(quorvane_msgstore_forget_conv(ms.get(), u8(filled(16, 0x77))), -1);
}

// The limits of the list at n and n + 1, in files the script builds: a
// conversation that breaks one ends the reading there, the ones before stay,
// and the file is kept aside before its rewrite.
TEST_F(Msgstore, ConvListLimitsOnReading) {
    struct Case {
        const char *what;
        int count, announced, members, devices, old_keys, label;
        size_t loaded;
        bool complete;
    } cases[] = {
        {"64 members", 2, 2, 64, 0, 0, 1, 2, true},
        {"65 members", 2, 2, 65, 0, 0, 1, 0, false},
        {"5 devices", 2, 2, 1, 5, 0, 1, 2, true},
        {"6 devices", 2, 2, 1, 6, 0, 1, 0, false},
        {"7 older keys", 2, 2, 0, 0, 7, 1, 2, true},
        {"8 older keys", 2, 2, 0, 0, 8, 1, 0, false},
        {"label 63", 2, 2, 0, 0, 0, 63, 2, true},
        {"label 64", 2, 2, 0, 0, 0, 64, 0, false},
        {"one more announced than present", 2, 3, 0, 0, 0, 1, 2, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::string sub = tmp.file(std::string("lim") + std::to_string(&c - cases));
        ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
        char req[300];
        snprintf(req, sizeof req, "sealconvs %s/convs.dat %s 22 %d %d %d %d %d %d", sub.c_str(), kSecretHex.c_str(),
                 c.count, c.announced, c.members, c.devices, c.old_keys, c.label);
        script_run(req);
        const bytes original = qvtest::read_file(sub + "/convs.dat");
        auto ms = open_store(sub);
        ASSERT_EQ(quorvane_msgstore_conv_count(ms.get()), c.loaded);
        EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), "convs.dat"), c.complete ? 0 : 1);
        EXPECT_EQ(quorvane_msgstore_car_flags(ms.get()), c.complete ? 3 : 0) << "store-wide bytes only after every entry";
        if (c.loaded) {
            EXPECT_EQ(quorvane_msgstore_member_count(ms.get(), u8(gen_conv_id(1))), size_t(c.members));
            uint8_t keys[9][32];
            EXPECT_EQ(quorvane_msgstore_get_conv_keys(ms.get(), u8(gen_conv_id(1)), keys, 9), size_t(c.old_keys + 1));
        }
        ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(id.conv), u8(filled(32, 1))), 0);
        auto asides = names_in(sub, "convs.dat.unread-");
        EXPECT_EQ(asides.size(), c.complete ? 0u : 1u);
        if (!asides.empty()) {
            EXPECT_EQ(qvtest::read_file(sub + "/" + asides[0]), original);
        }
    }
}

TEST_F(Msgstore, FourThousandNinetySixConversations) {
    struct Case {
        int count, announced;
        size_t loaded;
        bool complete;
    } cases[] = {{4095, 4095, 4095, true}, {4096, 4096, 4096, true}, {4097, 4097, 4096, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.count);
        std::string sub = tmp.file("n" + std::to_string(c.count));
        ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
        char req[300];
        snprintf(req, sizeof req, "sealconvs %s/convs.dat %s 22 %d %d 0 0 0 1", sub.c_str(), kSecretHex.c_str(), c.count,
                 c.announced);
        script_run(req);
        auto ms = open_store(sub);
        ASSERT_EQ(quorvane_msgstore_conv_count(ms.get()), c.loaded);
        EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), "convs.dat"), c.complete ? 0 : 1);
        EXPECT_EQ(quorvane_msgstore_get_read(ms.get(), u8(gen_conv_id(uint32_t(c.loaded - 1)))), c.loaded - 1);
        int room = c.loaded < QV_MS_CONV_MAX ? 0 : -1;
        EXPECT_EQ(quorvane_msgstore_put_conv_locked(ms.get(), u8(filled(16, 0x99))), room);
        EXPECT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(filled(16, 0x98)), u8(filled(32, 1))), -1);
        EXPECT_EQ(quorvane_msgstore_conv_count(ms.get()), QV_MS_CONV_MAX);
    }
}

TEST_F(Msgstore, DeleteConversationRemovesItsFiles) {
    auto ms = open();
    for (const bytes *c : std::initializer_list<const bytes *>{&id.conv, &id.conv2, &kA})
        ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(*c), u8(filled(32, (*c)[0]))), 0);
    qvtest::write_file(file(arch_name(id.conv2)), filled(40, 1));
    qvtest::write_file(file(msgs_name(id.conv2)), filled(40, 1));
    bytes state = filled(10, 1);
    ASSERT_EQ(quorvane_msgstore_put_ratchet(ms.get(), u8(id.conv2), u8(id.dev), u8(state), state.size()), 0);
    EXPECT_EQ(quorvane_msgstore_delete_conv(ms.get(), u8(filled(16, 0x55))), -1);
    ASSERT_EQ(quorvane_msgstore_delete_conv(ms.get(), u8(id.conv2)), 0);
    EXPECT_FALSE(exists(file(arch_name(id.conv2))));
    EXPECT_FALSE(exists(file(msgs_name(id.conv2))));
    EXPECT_TRUE(exists(file(ratchet_name(id.conv2, id.dev)))) << "ratchet files are not the list's";
    ASSERT_EQ(quorvane_msgstore_conv_count(ms.get()), 2u);
    EXPECT_EQ(raw(quorvane_msgstore_conv_at(ms.get(), 0)->id, 16), id.conv);
    EXPECT_EQ(raw(quorvane_msgstore_conv_at(ms.get(), 1)->id, 16), kA) << "later conversations keep their order";
    ms.reset();
    ms = open();
    EXPECT_EQ(quorvane_msgstore_conv_count(ms.get()), 2u);
    EXPECT_EQ(quorvane_msgstore_conv_hidden(ms.get(), u8(id.conv2)), -1);
}

/* ---- messages ------------------------------------------------------------------ */

using mstest::make_rec;
using mstest::msg_in;

const bytes kAlice = filled(16, 0x61), kBob = filled(16, 0x71);

using mstest::add;

msg_in text_msg(uint64_t id, uint64_t position, const bytes &author = kAlice) { return mstest::text_msg(id, position, author); }

// Message ids in list order.
std::vector<uint64_t> ids_of(quorvane_msgstore *ms, const bytes &conv) {
    std::vector<uint64_t> out;
    auto r = std::make_unique<quorvane_ms_msgrec>();
    for (size_t i = 0; quorvane_msgstore_msg_at(ms, u8(conv), i, r.get()) == 0; i++) out.push_back(r->msg_id);
    return out;
}

std::vector<quorvane_ms_msgrec> scan(quorvane_msgstore *ms, const bytes &conv) {
    std::vector<quorvane_ms_msgrec> out;
    size_t n = quorvane_msgstore_archive_scan(ms, u8(conv), [](void *u, const quorvane_ms_msgrec *r) {
        static_cast<std::vector<quorvane_ms_msgrec> *>(u)->push_back(*r);
    }, &out);
    EXPECT_EQ(n, out.size());
    return out;
}

std::vector<uint64_t> archive_ids(quorvane_msgstore *ms, const bytes &conv) {
    std::vector<uint64_t> out;
    for (const auto &r : scan(ms, conv)) out.push_back(r.msg_id);
    return out;
}

class Messages : public Msgstore {
  protected:
    const bytes c = id.conv;
    store_ptr ms = open_store(dir);
    void SetUp() override { ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(filled(32, 7))), 0); }
    void reopen() {
        ms.reset();
        ms = open_store(dir);
    }
};

// Message files of every version load with zeros for what they lack, and the
// first change writes version 8.
TEST_F(Msgstore, MessageFileOfEveryVersionLoadsAndIsRewritten) {
    for (int v = 2; v <= 8; v++) {
        SCOPED_TRACE(v);
        std::string sub = tmp.file("mv" + std::to_string(v));
        ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
        copy_file(kData + "convs-22.dat", sub + "/convs.dat");
        copy_file(kData + "msgs-" + std::to_string(v) + ".dat", sub + "/" + msgs_name(kA));
        const bytes original = qvtest::read_file(sub + "/" + msgs_name(kA));
        auto check = [&](quorvane_msgstore *ms, size_t count) {
            ASSERT_EQ(quorvane_msgstore_msg_count(ms, u8(kA)), count);
            EXPECT_EQ(quorvane_msgstore_unreadable(ms, msgs_name(kA).c_str()), 0);
            auto r = std::make_unique<quorvane_ms_msgrec>();
            ASSERT_EQ(quorvane_msgstore_msg_at(ms, u8(kA), 0, r.get()), 0);
            EXPECT_EQ(raw(r->conv_id, 16), kA);
            EXPECT_EQ(raw(r->author, 16), kAlice);
            EXPECT_EQ(r->msg_id, 1u);
            EXPECT_EQ(r->time, 1000u);
            EXPECT_EQ(r->type, 1);
            EXPECT_STREQ(r->text, "hello");
            EXPECT_EQ(r->edited, v >= 4 ? 1 : 0);
            EXPECT_EQ(raw(r->author_device, 32), v >= 5 ? filled(32, 0x62) : filled(32, 0));
            EXPECT_EQ(r->position, v >= 8 ? 100u : 0u);
            ASSERT_EQ(quorvane_msgstore_msg_at(ms, u8(kA), 1, r.get()), 0);
            EXPECT_EQ(r->text_len, 0u);
            EXPECT_EQ(r->send_status, v >= 7 ? 2 : 0);
            EXPECT_EQ(r->position, v >= 8 ? 200u : 0u);
            ASSERT_EQ(quorvane_msgstore_msg_at(ms, u8(kA), 2, r.get()), 0);
            EXPECT_EQ(r->type, 4);
            EXPECT_EQ(r->text_len, 300u);
            EXPECT_EQ(std::string(r->text), std::string(300, 'f'));
            quorvane_ms_reaction_count rc[4];
            const bytes dev = filled(32, 0x62);
            ASSERT_EQ(quorvane_msgstore_reactions(ms, u8(kA), u8(kAlice), u8(dev), 1, u8(kBob), rc, 4), v >= 3 ? 1u : 0u);
            if (v >= 3) {
                EXPECT_STREQ(rc[0].name, "thumbs_up");
                EXPECT_EQ(rc[0].count, 1u);
                EXPECT_EQ(rc[0].mine, 1u);
            }
            // a reaction recorded with the device counts only for that device
            EXPECT_EQ(quorvane_msgstore_reactions(ms, u8(kA), u8(kAlice), nullptr, 1, nullptr, rc, 4),
                      v >= 3 && v < 6 ? 1u : 0u);
            EXPECT_EQ(quorvane_msgstore_reactions(ms, u8(kA), u8(kAlice), nullptr, 3, nullptr, rc, 4), v >= 3 ? 1u : 0u);
            if (v >= 3) {
                EXPECT_EQ(std::string(rc[0].name), std::string(32, 'x'));
            }
        };
        {
            auto ms = open_store(sub);
            check(ms.get(), 3);
            ms.reset();
            EXPECT_EQ(qvtest::read_file(sub + "/" + msgs_name(kA)), original) << "opening rewrote it";
            ms = open_store(sub);
            ASSERT_EQ(add(ms.get(), kA, text_msg(4, 0, kBob)), 1);
            EXPECT_EQ(quorvane_msgstore_conv_hidden(ms.get(), u8(kA)), 0) << "a new message shows the conversation";
            check(ms.get(), 4);
        }
        EXPECT_TRUE(names_in(sub, msgs_name(kA) + ".unread-").empty());
        fields f = script_describe("msgs", sub + "/" + msgs_name(kA));
        EXPECT_EQ(f["version"], "8");
        EXPECT_EQ(f["count"], "4");
        EXPECT_EQ(f["complete"], "1");
        EXPECT_EQ(f["reactions"], v >= 3 ? "2" : "0");
        EXPECT_EQ(f["m0.edited"], v >= 4 ? "1" : "0");
        EXPECT_EQ(f["m1.status"], v >= 7 ? "2" : "0");
        EXPECT_EQ(f["m1.position"], v >= 8 ? "200" : "0");
        EXPECT_EQ(f["m3.author"], hex(kBob));
        EXPECT_EQ(f["m3.text"], hex("m4"));
        if (v >= 3) {
            EXPECT_EQ(f["r0.device"], v >= 6 ? hex(filled(32, 0x62)) : hex(filled(32, 0)));
        }
        auto ms = open_store(sub);
        check(ms.get(), 4);
        EXPECT_EQ(quorvane_msgstore_conv_hidden(ms.get(), u8(kA)), 0);
    }
}

TEST_F(Messages, InsertInPositionOrderAndDuplicates) {
    struct Step {
        const char *what;
        msg_in m;
        int result;
        std::vector<uint64_t> order;
    } steps[] = {
        {"10", text_msg(1, 10), 1, {1}},
        {"30", text_msg(3, 30), 1, {1, 3}},
        {"20", text_msg(2, 20), 1, {1, 2, 3}},
        {"25 between 20 and 30", text_msg(4, 25), 1, {1, 2, 4, 3}},
        {"5 at the front", text_msg(5, 5), 1, {5, 1, 2, 4, 3}},
        {"equal position after the held one", text_msg(7, 20), 1, {5, 1, 2, 7, 4, 3}},
        {"duplicate", text_msg(4, 25), 0, {5, 1, 2, 7, 4, 3}},
        {"duplicate without position", text_msg(4, 0), 0, {5, 1, 2, 7, 4, 3}},
        {"0 at the end", text_msg(6, 0), 1, {5, 1, 2, 7, 4, 3, 6}},
        {"after a position-0 message, which counts as lower", text_msg(8, 40), 1, {5, 1, 2, 7, 4, 3, 6, 8}},
        {"unplaced message gets its position", text_msg(6, 22), 0, {5, 1, 2, 7, 6, 4, 3, 8}},
        {"a placed one keeps its position", text_msg(6, 1), 0, {5, 1, 2, 7, 6, 4, 3, 8}},
        {"same id from another author", text_msg(5, 6, kBob), 1, {5, 5, 1, 2, 7, 6, 4, 3, 8}},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(s.what);
        uint32_t rev = quorvane_msgstore_conv_revision(ms.get(), u8(c));
        EXPECT_EQ(add(ms.get(), c, s.m), s.result);
        EXPECT_EQ(ids_of(ms.get(), c), s.order);
        EXPECT_EQ(quorvane_msgstore_conv_revision(ms.get(), u8(c)) != rev, s.result == 1 || strstr(s.what, "gets"));
    }
    // the same id and author from another device is another message
    msg_in other = text_msg(1, 11);
    other.device = filled(32, 0xdd);
    EXPECT_EQ(add(ms.get(), c, other), 1);
    EXPECT_EQ(quorvane_msgstore_oldest_cursor(ms.get(), u8(c)), 5u);
    reopen();
    EXPECT_EQ(ids_of(ms.get(), c), (std::vector<uint64_t>{5, 5, 1, 1, 2, 7, 6, 4, 3, 8}));
    auto r = std::make_unique<quorvane_ms_msgrec>();
    ASSERT_EQ(quorvane_msgstore_find_msg(ms.get(), u8(c), u8(kAlice), 6, r.get()), 0);
    EXPECT_EQ(r->position, 22u);
    EXPECT_STREQ(r->text, "m6");
    EXPECT_EQ(quorvane_msgstore_find_msg(ms.get(), u8(c), u8(kBob), 6, r.get()), -1);
}

TEST_F(Messages, TextLimitAndRefusals) {
    msg_in m = text_msg(1, 1);
    m.text = std::string(QV_MS_TEXT_MAX, 'x');
    EXPECT_EQ(add(ms.get(), c, m), 1);
    m.id = 2;
    m.text += "y";
    EXPECT_EQ(add(ms.get(), c, m), -1);
    EXPECT_EQ(add(ms.get(), id.conv2, text_msg(3, 1)), -1) << "not held";
    EXPECT_EQ(quorvane_msgstore_add_msg(ms.get(), nullptr), -1);
    EXPECT_EQ(quorvane_msgstore_add_msg(nullptr, make_rec(c, text_msg(4, 1)).get()), -1);
    reopen();
    auto r = std::make_unique<quorvane_ms_msgrec>();
    ASSERT_EQ(quorvane_msgstore_msg_at(ms.get(), u8(c), 0, r.get()), 0);
    EXPECT_EQ(r->text_len, QV_MS_TEXT_MAX);
    EXPECT_EQ(strlen(r->text), QV_MS_TEXT_MAX);
    EXPECT_EQ(quorvane_msgstore_msg_at(ms.get(), u8(c), 1, r.get()), -1);
    EXPECT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(id.conv2)), 0u);
}

// A message file that cannot be written takes the new message back out, and
// with it the raise of the history allowance it brought.
TEST_F(Messages, FailedWriteTakesTheNewMessageOut) {
    ASSERT_EQ(add(ms.get(), c, text_msg(1, 1)), 1);
    ASSERT_EQ(mkdir(file(msgs_name(c) + ".tmp").c_str(), 0700), 0);
    EXPECT_EQ(add(ms.get(), c, text_msg(2, 2)), -1);
    EXPECT_EQ(ids_of(ms.get(), c), std::vector<uint64_t>{1});
    EXPECT_EQ(quorvane_msgstore_set_send_status(ms.get(), u8(c), u8(kAlice), 1, 2), 0) << "status 0: not an own message";
    ASSERT_EQ(rmdir(file(msgs_name(c) + ".tmp").c_str()), 0);
    EXPECT_EQ(add(ms.get(), c, text_msg(2, 2)), 1);

    struct Case {
        const char *what;
        bool history;
        uint64_t allowance;  // before the add
    } cases[] = {
        {"history message", true, 0},
        {"live message above an allowance", false, 3},
        {"history message above an allowance", true, 3},
    };
    std::vector<uint64_t> held{1, 2};
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        const uint64_t next = held.back() + 1;
        ms->convs[0].history_allowance = k.allowance;
        ASSERT_EQ(mkdir(file(msgs_name(c) + ".tmp").c_str(), 0700), 0);
        EXPECT_EQ(add(ms.get(), c, text_msg(next, next), k.history), -1);
        EXPECT_EQ(ids_of(ms.get(), c), held);
        EXPECT_EQ(ms->convs[0].history_allowance, k.allowance);
        ASSERT_EQ(rmdir(file(msgs_name(c) + ".tmp").c_str()), 0);
        EXPECT_EQ(add(ms.get(), c, text_msg(next, next), k.history), 1);
        EXPECT_EQ(ms->convs[0].history_allowance, k.allowance + 1);
        held.push_back(next);
        EXPECT_EQ(script_describe("msgs", file(msgs_name(c)))["count"], std::to_string(held.size()));
    }
}

TEST_F(Messages, CapTrimsIntoTheArchiveAndDropsReactions) {
    EXPECT_EQ(quorvane_msgstore_set_msg_cap(ms.get(), 3), 0u);
    for (uint64_t i = 1; i <= 3; i++) ASSERT_EQ(add(ms.get(), c, text_msg(i, 10 * i)), 1);
    ASSERT_EQ(quorvane_msgstore_set_reaction(ms.get(), u8(c), u8(kAlice), nullptr, 1, u8(kBob), "up", 1), 0);
    ASSERT_EQ(quorvane_msgstore_set_reaction(ms.get(), u8(c), u8(kAlice), nullptr, 2, u8(kBob), "up", 1), 0);
    EXPECT_TRUE(scan(ms.get(), c).empty());
    EXPECT_FALSE(exists(file(arch_name(c))));
    ASSERT_EQ(add(ms.get(), c, text_msg(4, 40)), 1);
    EXPECT_EQ(ids_of(ms.get(), c), (std::vector<uint64_t>{2, 3, 4}));
    quorvane_ms_reaction_count rc[2];
    EXPECT_EQ(quorvane_msgstore_reactions(ms.get(), u8(c), u8(kAlice), nullptr, 1, nullptr, rc, 2), 0u);
    EXPECT_EQ(quorvane_msgstore_reactions(ms.get(), u8(c), u8(kAlice), nullptr, 2, nullptr, rc, 2), 1u);
    auto a = scan(ms.get(), c);
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].msg_id, 1u);
    EXPECT_EQ(a[0].position, 10u);
    EXPECT_EQ(a[0].time, 1001u);
    EXPECT_STREQ(a[0].text, "m1");
    EXPECT_EQ(raw(a[0].conv_id, 16), c);
    // system messages and deletion marks cut away are not archived
    msg_in sys = text_msg(5, 1);
    sys.type = QV_MS_TYPE_SYSTEM;
    ASSERT_EQ(add(ms.get(), c, sys), 1);
    EXPECT_EQ(ids_of(ms.get(), c), (std::vector<uint64_t>{2, 3, 4})) << "the oldest position went at once";
    ASSERT_EQ(quorvane_msgstore_delete_msg(ms.get(), u8(c), u8(kAlice), nullptr, 2), 1);
    ASSERT_EQ(add(ms.get(), c, text_msg(6, 60)), 1);
    EXPECT_EQ(archive_ids(ms.get(), c), std::vector<uint64_t>{1});
    // the script reads the archive as a search-index record under its label
    fields f = script_describe("archive", file(arch_name(c)));
    EXPECT_EQ(f["conv"], hex(c));
    EXPECT_EQ(f["count"], "1");
    EXPECT_EQ(f["e0.id"], "1");
    EXPECT_EQ(f["e0.position"], "10");
    EXPECT_EQ(f["e0.author"], hex(kAlice));
    EXPECT_EQ(f["e0.text"], hex("m1"));
    EXPECT_EQ(f["rest"], "0");
    reopen();
    EXPECT_EQ(ids_of(ms.get(), c), (std::vector<uint64_t>{3, 4, 6})) << "the cap is 2000 again after open";
    EXPECT_EQ(quorvane_msgstore_archive_clear(ms.get(), u8(c)), 0);
    EXPECT_FALSE(exists(file(arch_name(c))));
    EXPECT_EQ(quorvane_msgstore_archive_scan(ms.get(), u8(c), nullptr, nullptr), 0u);
    EXPECT_EQ(quorvane_msgstore_archive_clear(ms.get(), nullptr), -1);
}

// Messages beyond the cap leave only into the archive. While it cannot be
// written (a directory stands at its temporary name) nothing is trimmed: the
// messages stay live, in memory and on disk, and the first trim after the
// archive is writable again moves them there.
TEST_F(Msgstore, UnwritableArchiveTrimsNothing) {
    const bytes c = id.conv;
    auto cap2_then_add = [](quorvane_msgstore *ms, const bytes &conv) {
        (void)quorvane_msgstore_set_msg_cap(ms, 2);
        return long(add(ms, conv, text_msg(3, 3)));
    };
    auto lower_cap = [](quorvane_msgstore *ms, const bytes &) { return long(quorvane_msgstore_set_msg_cap(ms, 2)); };
    struct Case {
        const char *what;
        size_t held;                                             // messages 1..held before the trim
        std::function<long(quorvane_msgstore *, const bytes &)> trim;  // null: opening trims
        long blocked, unblocked;                                 // its result without and with the archive
        size_t live_blocked, live_after;                         // live messages then
    } cases[] = {
        {"a new message", 2, cap2_then_add, -1, 1, 2, 2},
        {"a lower cap", 3, lower_cap, 0, 1, 3, 2},
        {"opening", QV_MS_MSG_CAP_DEFAULT + 1, nullptr, 0, 0, QV_MS_MSG_CAP_DEFAULT + 1, QV_MS_MSG_CAP_DEFAULT},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        const std::string sub = tmp.file(std::string("trim") + std::to_string(&k - cases));
        const std::string msgs = sub + "/" + msgs_name(c), block = sub + "/" + arch_name(c) + ".tmp";
        {
            auto ms = open_store(sub);
            ASSERT_TRUE(ms);
            ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(filled(32, 7))), 0);
            for (uint64_t i = 1; k.trim && i <= k.held; i++) ASSERT_EQ(add(ms.get(), c, text_msg(i, i)), 1);
        }
        if (!k.trim) script_run("sealmsgs " + msgs + " " + kSecretHex + " 8 " + std::to_string(k.held) + " 8 5000");
        auto first_live = [&](quorvane_msgstore *ms) {
            auto r = std::make_unique<quorvane_ms_msgrec>();
            return quorvane_msgstore_msg_at(ms, u8(c), 0, r.get()) == 0 ? r->msg_id : 0;
        };
        auto trim = [&](store_ptr &ms) {
            if (k.trim) return k.trim(ms.get(), c);
            ms = open_store(sub);
            return ms ? 0L : -1L;
        };

        ASSERT_EQ(mkdir(block.c_str(), 0700), 0);
        auto ms = open_store(sub);
        ASSERT_TRUE(ms);
        EXPECT_EQ(trim(ms), k.blocked);
        EXPECT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(c)), k.live_blocked);
        EXPECT_EQ(first_live(ms.get()), 1u);
        ms = open_store(sub);
        EXPECT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(c)), k.live_blocked) << "none lost on disk";
        EXPECT_EQ(first_live(ms.get()), 1u);
        EXPECT_EQ(script_describe("msgs", msgs)["count"], std::to_string(k.live_blocked));
        EXPECT_FALSE(exists(sub + "/" + arch_name(c)));

        ASSERT_EQ(rmdir(block.c_str()), 0);
        EXPECT_EQ(trim(ms), k.unblocked);
        EXPECT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(c)), k.live_after);
        ms = open_store(sub);
        EXPECT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(c)), k.live_after);
        EXPECT_EQ(first_live(ms.get()), 2u);
        EXPECT_EQ(archive_ids(ms.get(), c), std::vector<uint64_t>{1}) << "the trimmed message reached the archive";
        EXPECT_EQ(script_describe("msgs", msgs)["count"], std::to_string(k.live_after));
    }
}

// Removing the archive, or emptying it, syncs the directory as a write does,
// so that a power cut cannot bring the removed entries back.
TEST_F(Msgstore, ArchiveRemovalsSyncTheDirectory) {
    const bytes c = id.conv;
    const uint64_t day = 86400000, later = 1000000000000ull;
    struct Case {
        const char *what;
        std::function<long(quorvane_msgstore *)> remove;
        long result;
    } cases[] = {
        {"cleared", [&](quorvane_msgstore *ms) { return long(quorvane_msgstore_archive_clear(ms, u8(c))); }, 0},
        {"emptied by retention",
         [&](quorvane_msgstore *ms) { return long(quorvane_msgstore_enforce_retention(ms, 1001 + 2 * day)); }, 0},
        {"emptied by a deletion",
         [&](quorvane_msgstore *ms) { return long(quorvane_msgstore_delete_msg(ms, u8(c), u8(kAlice), nullptr, 1)); }, 0},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        const std::string sub = tmp.file(std::string("arm") + std::to_string(&k - cases));
        auto ms = open_store(sub);
        ASSERT_TRUE(ms);
        ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(filled(32, 7))), 0);
        ASSERT_EQ(quorvane_msgstore_set_retention(ms.get(), u8(c), 1), 0);
        (void)quorvane_msgstore_set_msg_cap(ms.get(), 1);
        msg_in old = text_msg(1, 1), recent = text_msg(2, 2);
        old.time = 1000;
        recent.time = later;  // not expired, so the message file is not written
        ASSERT_EQ(add(ms.get(), c, old), 1);
        ASSERT_EQ(add(ms.get(), c, recent), 1);
        ASSERT_EQ(archive_ids(ms.get(), c), std::vector<uint64_t>{1});
        const bytes msgs = qvtest::read_file(sub + "/" + msgs_name(c));

        RefusedRun run = run_refusing_dir_opens([&] { return std::vector<long>{k.remove(ms.get())}; });
        ASSERT_TRUE(run.ran);
        EXPECT_EQ(run.results, std::vector<long>{k.result});
        EXPECT_EQ(run.dir_opens, 1) << "the directory was synced once, after the removal";
        EXPECT_FALSE(exists(sub + "/" + arch_name(c)));
        EXPECT_EQ(qvtest::read_file(sub + "/" + msgs_name(c)), msgs);
        ms = open_store(sub);
        EXPECT_EQ(ids_of(ms.get(), c), std::vector<uint64_t>{2});
        EXPECT_TRUE(scan(ms.get(), c).empty());
    }
}

// After history backfill the conversation may hold the cap plus the
// allowance; a new cap resets the allowance and trims at once.
TEST_F(Messages, HistoryAllowance) {
    EXPECT_EQ(quorvane_msgstore_set_msg_cap(ms.get(), 3), 0u);
    for (uint64_t i = 1; i <= 3; i++) ASSERT_EQ(add(ms.get(), c, text_msg(10 + i, 10 + i)), 1);
    ASSERT_EQ(add(ms.get(), c, text_msg(1, 1), true), 1);
    EXPECT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(c)), 4u);
    ASSERT_EQ(add(ms.get(), c, text_msg(20, 20)), 1);
    EXPECT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(c)), 5u) << "once above 0, every addition raises the allowance";
    EXPECT_EQ(ms->convs[0].history_allowance, 2u);
    uint32_t rev = quorvane_msgstore_conv_revision(ms.get(), u8(c));
    EXPECT_EQ(quorvane_msgstore_set_msg_cap(ms.get(), 3), 1u);
    EXPECT_EQ(ids_of(ms.get(), c), (std::vector<uint64_t>{12, 13, 20}));
    EXPECT_EQ(ms->convs[0].history_allowance, 0u);
    EXPECT_GT(quorvane_msgstore_conv_revision(ms.get(), u8(c)), rev);
    EXPECT_EQ(archive_ids(ms.get(), c), (std::vector<uint64_t>{1, 11}));
    EXPECT_EQ(quorvane_msgstore_set_msg_cap(ms.get(), 3), 0u) << "nothing left to trim";
    // the allowance stops at 20000
    ms->convs[0].history_allowance = QV_MS_HISTORY_ALLOWANCE_MAX - 1;
    ASSERT_EQ(add(ms.get(), c, text_msg(30, 30), true), 1);
    EXPECT_EQ(ms->convs[0].history_allowance, QV_MS_HISTORY_ALLOWANCE_MAX);
    ASSERT_EQ(add(ms.get(), c, text_msg(31, 31), true), 1);
    EXPECT_EQ(ms->convs[0].history_allowance, QV_MS_HISTORY_ALLOWANCE_MAX);
    // cap 0 trims nothing; a cap at the top of the range does not wrap with the allowance
    EXPECT_EQ(quorvane_msgstore_set_msg_cap(ms.get(), 0), 0u);
    ms->convs[0].history_allowance = 5;
    ms->msg_cap = UINT64_MAX;
    ASSERT_EQ(add(ms.get(), c, text_msg(32, 32)), 1);
    EXPECT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(c)), 6u);
}

// The archive holds at most 20000 entries; when trimming brings more, the
// oldest go, so recent history stays searchable.
TEST_F(Messages, FullArchiveKeepsTheNewest) {
    ms.reset();
    script_run("sealmsgs " + file(msgs_name(c)) + " " + kSecretHex + " 8 21999 8 5000");
    reopen();
    ASSERT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(c)), 2000u) << "trimmed to the cap at open";
    auto a = archive_ids(ms.get(), c);
    ASSERT_EQ(a.size(), 19999u);
    EXPECT_EQ(a.front(), 1u);
    EXPECT_EQ(a.back(), 19999u);
    EXPECT_EQ(script_describe("msgs", file(msgs_name(c)))["count"], "2000") << "written back at open";
    ASSERT_EQ(add(ms.get(), c, text_msg(30000, 30000)), 1);
    a = archive_ids(ms.get(), c);
    ASSERT_EQ(a.size(), 20000u);
    EXPECT_EQ(a.front(), 1u);
    EXPECT_EQ(a.back(), 20000u);
    ASSERT_EQ(add(ms.get(), c, text_msg(30001, 30001)), 1);
    a = archive_ids(ms.get(), c);
    ASSERT_EQ(a.size(), 20000u);
    EXPECT_EQ(a.front(), 2u) << "the oldest entry made room";
    EXPECT_EQ(a.back(), 20001u) << "the newly trimmed message is searchable";
}

// The archive record has a size limit too; the oldest entries go until it fits.
TEST_F(Messages, ArchiveSizeLimitDropsTheOldest) {
    ms.reset();
    script_run("sealmsgs " + file(msgs_name(c)) + " " + kSecretHex + " 8 6100 4096 0");
    reopen();
    ASSERT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(c)), 2000u);
    auto a = archive_ids(ms.get(), c);
    const size_t fit = (QV_SIDX_RECORD_MAX - QV_SIDX_HEADER_LEN) / (QV_SIDX_ENTRY_LEN + 4096);
    ASSERT_EQ(a.size(), fit);
    EXPECT_EQ(a.front(), 4100 - fit + 1);
    EXPECT_EQ(a.back(), 4100u);
}

TEST_F(Messages, DeleteAndEdit) {
    const bytes d1 = filled(32, 0xd1), d2 = filled(32, 0xd2);
    msg_in m1 = text_msg(1, 10), m1b = text_msg(1, 11), file_msg = text_msg(3, 30);
    m1.device = d1;
    m1b.device = d2;
    file_msg.type = QV_MS_TYPE_FILE;
    for (const auto &m : {m1, m1b, text_msg(2, 20), file_msg}) ASSERT_EQ(add(ms.get(), c, m), 1);
    struct Step {
        const char *what;
        bool edit;
        const bytes *device;
        uint64_t msg_id;
        const char *text;
        size_t len;
        int result;
    } steps[] = {
        {"edit another device's copy", true, &d2, 1, "second", 6, 1},
        {"edit a file message", true, nullptr, 3, "x", 1, 0},
        {"edit to an empty text", true, nullptr, 2, nullptr, 0, 1},
        {"edit what is not there", true, nullptr, 9, "x", 1, 0},
        {"edit over the limit", true, nullptr, 2, "x", QV_MS_TEXT_MAX + 1, -1},
        {"edit without text", true, nullptr, 2, nullptr, 1, -1},
        {"delete one device's copy", false, &d1, 1, nullptr, 0, 1},
        {"delete it again", false, &d1, 1, nullptr, 0, 0},
        {"delete any device: the first copy is a mark already", false, nullptr, 1, nullptr, 0, 0},
        {"delete what is not there", false, nullptr, 9, nullptr, 0, 0},
        {"edit a deletion mark", true, &d1, 1, "x", 1, 0},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(s.what);
        const uint8_t *dev = s.device ? u8(*s.device) : nullptr;
        int r = s.edit ? quorvane_msgstore_edit_msg(ms.get(), u8(c), u8(kAlice), dev, s.msg_id, s.text, s.len)
                       : quorvane_msgstore_delete_msg(ms.get(), u8(c), u8(kAlice), dev, s.msg_id);
        EXPECT_EQ(r, s.result);
    }
    reopen();
    auto r = std::make_unique<quorvane_ms_msgrec>();
    struct Want {
        size_t index;
        uint8_t type, edited;
        const char *text;
    } wants[] = {{0, 8, 0, ""}, {1, 1, 1, "second"}, {2, 1, 1, ""}, {3, 4, 0, "m3"}};
    for (const auto &w : wants) {
        SCOPED_TRACE(w.index);
        ASSERT_EQ(quorvane_msgstore_msg_at(ms.get(), u8(c), w.index, r.get()), 0);
        EXPECT_EQ(r->type, w.type);
        EXPECT_EQ(r->edited, w.edited);
        EXPECT_STREQ(r->text, w.text);
        EXPECT_EQ(r->text_len, strlen(w.text));
    }
    EXPECT_EQ(quorvane_msgstore_delete_msg(ms.get(), u8(id.conv2), u8(kAlice), nullptr, 1), -1);
    EXPECT_EQ(quorvane_msgstore_edit_msg(ms.get(), u8(id.conv2), u8(kAlice), nullptr, 1, "x", 1), -1);
}

// Deleting a message also takes it out of the archive: with a device only
// that device's copy, without one every copy.
TEST_F(Messages, DeleteReachesTheArchive) {
    EXPECT_EQ(quorvane_msgstore_set_msg_cap(ms.get(), 1), 0u);
    const bytes d1 = filled(32, 0xd1), d2 = filled(32, 0xd2);
    msg_in a = text_msg(1, 1), b = text_msg(1, 2), other = text_msg(2, 3);
    a.device = d1;
    b.device = d2;
    for (const auto &m : {a, b, other, text_msg(3, 4), text_msg(4, 5)}) ASSERT_EQ(add(ms.get(), c, m), 1);
    ASSERT_EQ(archive_ids(ms.get(), c), (std::vector<uint64_t>{1, 1, 2, 3}));
    EXPECT_EQ(quorvane_msgstore_delete_msg(ms.get(), u8(c), u8(kAlice), u8(d2), 1), 0) << "not live";
    auto left = scan(ms.get(), c);
    ASSERT_EQ(left.size(), 3u);
    EXPECT_EQ(raw(left[0].author_device, 32), d1);
    EXPECT_EQ(quorvane_msgstore_delete_msg(ms.get(), u8(c), u8(kAlice), nullptr, 1), 0);
    EXPECT_EQ(archive_ids(ms.get(), c), (std::vector<uint64_t>{2, 3}));
    // an edit leaves the archive as it is
    EXPECT_EQ(quorvane_msgstore_edit_msg(ms.get(), u8(c), u8(kAlice), nullptr, 4, "new", 3), 1);
    EXPECT_EQ(archive_ids(ms.get(), c), (std::vector<uint64_t>{2, 3}));
    EXPECT_EQ(quorvane_msgstore_delete_msg(ms.get(), u8(c), u8(kAlice), nullptr, 2), 0);
    EXPECT_EQ(quorvane_msgstore_delete_msg(ms.get(), u8(c), u8(kAlice), nullptr, 3), 0);
    EXPECT_FALSE(exists(file(arch_name(c)))) << "an archive with nothing left is removed";
}

TEST_F(Messages, SendStatus) {
    msg_in own = text_msg(1, 0, kBob);
    own.status = 1;
    ASSERT_EQ(add(ms.get(), c, text_msg(1, 1)), 1);
    ASSERT_EQ(add(ms.get(), c, own), 1);
    struct Step {
        const bytes *author;
        uint64_t id;
        int status, result;
    } steps[] = {
        {&kBob, 1, 0, -1}, {&kBob, 1, 4, -1}, {&kAlice, 1, 2, 0}, {&kBob, 2, 2, 0},
        {&kBob, 1, 2, 1},  {&kBob, 1, 2, 0},  {&kBob, 1, 3, 1},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(std::to_string(s.id) + "/" + std::to_string(s.status));
        uint32_t rev = quorvane_msgstore_conv_revision(ms.get(), u8(c));
        EXPECT_EQ(quorvane_msgstore_set_send_status(ms.get(), u8(c), u8(*s.author), s.id, s.status), s.result);
        EXPECT_EQ(quorvane_msgstore_conv_revision(ms.get(), u8(c)) - rev, s.result == 1 ? 1u : 0u);
    }
    reopen();
    auto r = std::make_unique<quorvane_ms_msgrec>();
    ASSERT_EQ(quorvane_msgstore_find_msg(ms.get(), u8(c), u8(kBob), 1, r.get()), 0);
    EXPECT_EQ(r->send_status, 3);
    ASSERT_EQ(quorvane_msgstore_find_msg(ms.get(), u8(c), u8(kAlice), 1, r.get()), 0);
    EXPECT_EQ(r->send_status, 0);
}

TEST_F(Messages, ReactionsStoredOnceAndCounted) {
    const bytes carol = filled(16, 0x81), d = filled(32, 0xd1), d2 = filled(32, 0xd2);
    ASSERT_EQ(add(ms.get(), c, text_msg(1, 1)), 1);
    EXPECT_EQ(quorvane_msgstore_set_reaction(ms.get(), u8(c), u8(kAlice), nullptr, 1, u8(kBob), "", 1), -1);
    EXPECT_EQ(quorvane_msgstore_set_reaction(ms.get(), u8(c), u8(kAlice), nullptr, 1, u8(kBob),
                                             std::string(33, 'n').c_str(), 1), -1);
    EXPECT_EQ(quorvane_msgstore_set_reaction(ms.get(), u8(c), u8(kAlice), nullptr, 1, nullptr, "up", 1), -1);
    EXPECT_EQ(quorvane_msgstore_set_reaction(ms.get(), u8(id.conv2), u8(kAlice), nullptr, 1, u8(kBob), "up", 1), -1);
    struct Step {
        const bytes *user, *device;
        const char *name;
        int add, result;
        bool revision;
    } steps[] = {
        {&kBob, nullptr, "up", 1, 0, true},
        {&kBob, nullptr, "up", 1, 0, false},   // stored once
        {&carol, nullptr, "up", 1, 0, true},
        {&carol, &d, "heart", 1, 0, true},
        {&kBob, &d2, "heart", 1, 0, true},
        {&kBob, nullptr, "laugh", 1, 0, true},
        {&kBob, nullptr, "sad", 0, 0, false},  // removing what is not there
        {&carol, nullptr, "up", 0, 0, true},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(s.name);
        uint32_t rev = quorvane_msgstore_conv_revision(ms.get(), u8(c));
        EXPECT_EQ(quorvane_msgstore_set_reaction(ms.get(), u8(c), u8(kAlice), s.device ? u8(*s.device) : nullptr, 1,
                                                 u8(*s.user), s.name, s.add), s.result);
        EXPECT_EQ(quorvane_msgstore_conv_revision(ms.get(), u8(c)) != rev, s.revision);
    }
    EXPECT_EQ(ms->convs[0].reaction_count, 4u);
    // the slot the last record was moved out of keeps no copy of it
    ASSERT_GT(ms->convs[0].reaction_alloc, 4u);
    EXPECT_EQ(raw(reinterpret_cast<const uint8_t *>(&ms->convs[0].reactions[4]), sizeof(quorvane_ms_reaction)),
              filled(sizeof(quorvane_ms_reaction), 0));
    reopen();
    quorvane_ms_reaction_count rc[3];
    // no device: only device-less reactions; with d: those and d's
    ASSERT_EQ(quorvane_msgstore_reactions(ms.get(), u8(c), u8(kAlice), nullptr, 1, u8(kBob), rc, 3), 2u);
    EXPECT_STREQ(rc[0].name, "up");
    EXPECT_EQ(rc[0].count, 1u);
    EXPECT_EQ(rc[0].mine, 1u);
    EXPECT_STREQ(rc[1].name, "laugh");
    ASSERT_EQ(quorvane_msgstore_reactions(ms.get(), u8(c), u8(kAlice), u8(d), 1, u8(carol), rc, 3), 3u);
    EXPECT_STREQ(rc[2].name, "heart");
    EXPECT_EQ(rc[2].count, 1u);
    EXPECT_EQ(rc[2].mine, 1u);
    EXPECT_EQ(rc[0].mine, 0u);
    // a full summary skips new names and keeps counting known ones
    ASSERT_EQ(quorvane_msgstore_set_reaction(ms.get(), u8(c), u8(kAlice), nullptr, 1, u8(carol), "up", 1), 0);
    ASSERT_EQ(quorvane_msgstore_reactions(ms.get(), u8(c), u8(kAlice), u8(d2), 1, nullptr, rc, 1), 1u);
    EXPECT_STREQ(rc[0].name, "up");
    EXPECT_EQ(rc[0].count, 2u);
    EXPECT_EQ(quorvane_msgstore_reactions(ms.get(), u8(c), u8(kAlice), nullptr, 2, nullptr, rc, 3), 0u);
    EXPECT_EQ(quorvane_msgstore_reactions(ms.get(), u8(c), nullptr, nullptr, 1, nullptr, rc, 3), 0u);
}

// Retention against a clock the test sets: expired messages, their reactions
// and their archive entries go; messages without a time never expire.
TEST_F(Messages, RetentionWithAGivenClock) {
    const uint64_t now = 1700000000000ull, hour = 3600000;
    ASSERT_EQ(quorvane_msgstore_set_msg_cap(ms.get(), 2), 0u);
    msg_in old_arch = text_msg(1, 1), undated_arch = text_msg(2, 2), old = text_msg(3, 3), undated = text_msg(4, 4),
             recent = text_msg(5, 5);
    old_arch.time = now - 30 * hour;
    undated_arch.time = 0;
    old.time = now - 25 * hour;
    undated.time = 0;
    recent.time = now - 23 * hour;
    for (const auto &m : {old_arch, undated_arch, old, undated}) ASSERT_EQ(add(ms.get(), c, m), 1);
    ASSERT_EQ(quorvane_msgstore_set_msg_cap(ms.get(), 3), 0u);
    ASSERT_EQ(add(ms.get(), c, recent), 1);
    ASSERT_EQ(archive_ids(ms.get(), c), (std::vector<uint64_t>{1, 2}));
    ASSERT_EQ(ids_of(ms.get(), c), (std::vector<uint64_t>{3, 4, 5}));
    ASSERT_EQ(quorvane_msgstore_set_reaction(ms.get(), u8(c), u8(kAlice), nullptr, 3, u8(kBob), "up", 1), 0);
    ASSERT_EQ(quorvane_msgstore_set_reaction(ms.get(), u8(c), u8(kAlice), nullptr, 5, u8(kBob), "up", 1), 0);
    // a second conversation without retention keeps everything
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(id.conv2), u8(filled(32, 3))), 0);
    ASSERT_EQ(add(ms.get(), id.conv2, old), 1);

    EXPECT_EQ(quorvane_msgstore_enforce_retention(ms.get(), now), 0u) << "no retention set";
    ASSERT_EQ(quorvane_msgstore_set_retention(ms.get(), u8(c), 1), 0);
    EXPECT_EQ(quorvane_msgstore_set_retention(ms.get(), u8(c), 1), 0);
    EXPECT_EQ(quorvane_msgstore_enforce_retention(ms.get(), 86400000), 0u) << "a period not below the clock";
    EXPECT_EQ(ids_of(ms.get(), c).size(), 3u);
    uint32_t rev = quorvane_msgstore_conv_revision(ms.get(), u8(c));
    EXPECT_EQ(quorvane_msgstore_enforce_retention(ms.get(), now), 1u);
    EXPECT_EQ(ids_of(ms.get(), c), (std::vector<uint64_t>{4, 5}));
    EXPECT_EQ(archive_ids(ms.get(), c), std::vector<uint64_t>{2}) << "undated archive entries stay";
    EXPECT_EQ(quorvane_msgstore_conv_revision(ms.get(), u8(c)), rev + 1);
    quorvane_ms_reaction_count rc[2];
    EXPECT_EQ(quorvane_msgstore_reactions(ms.get(), u8(c), u8(kAlice), nullptr, 3, nullptr, rc, 2), 0u);
    EXPECT_EQ(quorvane_msgstore_reactions(ms.get(), u8(c), u8(kAlice), nullptr, 5, nullptr, rc, 2), 1u);
    EXPECT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(id.conv2)), 1u);
    EXPECT_EQ(quorvane_msgstore_enforce_retention(ms.get(), now), 0u);
    // an hour later the 23-hour message is still inside the day; two hours later it is not
    EXPECT_EQ(quorvane_msgstore_enforce_retention(ms.get(), now + hour - 1), 0u);
    EXPECT_EQ(quorvane_msgstore_enforce_retention(ms.get(), now + hour + 1), 1u);
    reopen();
    EXPECT_EQ(ids_of(ms.get(), c), std::vector<uint64_t>{4});
}

TEST_F(Messages, ForgetHidesAndANewMessageBringsItBack) {
    ASSERT_EQ(quorvane_msgstore_set_msg_cap(ms.get(), 1), 0u);
    ASSERT_EQ(add(ms.get(), c, text_msg(1, 1)), 1);
    ASSERT_EQ(add(ms.get(), c, text_msg(2, 2)), 1);
    quorvane_msgstore_note_cursor(ms.get(), u8(c), 2);
    uint32_t rev = quorvane_msgstore_conv_revision(ms.get(), u8(c));
    ASSERT_EQ(quorvane_msgstore_forget_conv(ms.get(), u8(c)), 0);
    EXPECT_EQ(quorvane_msgstore_conv_revision(ms.get(), u8(c)), rev + 1);
    EXPECT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(c)), 0u);
    EXPECT_FALSE(exists(file(msgs_name(c))));
    EXPECT_TRUE(exists(file(arch_name(c)))) << "the archive stays";
    EXPECT_EQ(quorvane_msgstore_history_floor(ms.get(), u8(c)), 2u);
    reopen();
    EXPECT_EQ(quorvane_msgstore_conv_hidden(ms.get(), u8(c)), 1);
    uint8_t key[32];
    EXPECT_EQ(quorvane_msgstore_get_conv(ms.get(), u8(c), key), 1) << "the key stays";
    ASSERT_EQ(add(ms.get(), c, text_msg(3, 3)), 1);
    EXPECT_EQ(quorvane_msgstore_conv_hidden(ms.get(), u8(c)), 0);
    reopen();
    EXPECT_EQ(quorvane_msgstore_conv_hidden(ms.get(), u8(c)), 0) << "written at once";
    EXPECT_EQ(ids_of(ms.get(), c), std::vector<uint64_t>{3});
}

TEST_F(Messages, UnreadCount) {
    msg_in sys = text_msg(3, 30), reply = text_msg(4, 40), unplaced = text_msg(6, 0);
    sys.type = QV_MS_TYPE_SYSTEM;
    reply.type = 10;
    for (const auto &m : {text_msg(1, 10), text_msg(2, 20, kBob), sys, reply, text_msg(5, 50), unplaced})
        ASSERT_EQ(add(ms.get(), c, m), 1);
    uint64_t high = 9;
    EXPECT_EQ(quorvane_msgstore_unread(ms.get(), u8(id.conv2), nullptr, &high), 0u);
    EXPECT_EQ(high, 0u);
    EXPECT_EQ(quorvane_msgstore_unread(ms.get(), u8(c), nullptr, &high), 4u);
    EXPECT_EQ(high, 50u);
    EXPECT_EQ(quorvane_msgstore_unread(ms.get(), u8(c), u8(kBob), nullptr), 3u);
    ASSERT_EQ(quorvane_msgstore_set_read_mark(ms.get(), u8(c), 20), 1);
    EXPECT_EQ(quorvane_msgstore_unread(ms.get(), u8(c), u8(kBob), &high), 2u);
    ASSERT_EQ(quorvane_msgstore_set_read_mark(ms.get(), u8(c), 50), 1);
    EXPECT_EQ(quorvane_msgstore_unread(ms.get(), u8(c), nullptr, nullptr), 0u);
}

// Message texts at the limit and one byte over it, in files the script builds.
TEST_F(Messages, MessageFileTextLimitOnReading) {
    struct Case {
        size_t text;
        size_t loaded;
        int unreadable;
    } cases[] = {{QV_MS_TEXT_MAX, 3, 0}, {QV_MS_TEXT_MAX + 1, 0, 1}};
    for (const auto &k : cases) {
        SCOPED_TRACE(k.text);
        ms.reset();
        script_run("sealmsgs " + file(msgs_name(c)) + " " + kSecretHex + " 8 3 " + std::to_string(k.text) + " 0");
        reopen();
        EXPECT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(c)), k.loaded);
        EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), msgs_name(c).c_str()), k.unreadable);
    }
}

// Message and archive files that do not open, or stop at a bad entry, are
// kept aside before the store writes them again; what was read stays.
TEST_F(Messages, UnusableMessageAndArchiveFilesAreKeptAside) {
    ASSERT_EQ(quorvane_msgstore_set_msg_cap(ms.get(), 2), 0u);
    for (uint64_t i = 1; i <= 4; i++) ASSERT_EQ(add(ms.get(), c, text_msg(i, i)), 1);
    ms.reset();
    const std::string mpath = file(msgs_name(c)), apath = file(arch_name(c));
    struct Case {
        const char *what;
        std::string path;
        std::function<bytes(const bytes &)> damage;
        std::vector<uint64_t> live, archived;  // what the store holds after open
    };
    auto flip = [](const bytes &f) {
        bytes g = f;
        g[g.size() / 2] ^= 0x04;
        return g;
    };
    // the message file with its last entry cut: re-sealed by the script
    auto cut_last = [&](const bytes &) {
        auto o = script({"open " + mpath + " " + kSecretHex});
        bytes pt = unhex(o[0].at(1));
        auto s = script({"seal " + mpath + " " + kSecretHex + " " + hex(pt.substr(0, pt.size() - 20))});
        EXPECT_EQ(s[0], std::vector<std::string>{"OK"});
        return qvtest::read_file(mpath);
    };
    const Case cases[] = {
        {"message file, flipped bit", mpath, flip, {}, {1, 2}},
        {"message file, last entry cut", mpath, cut_last, {3}, {1, 2}},
        {"archive, flipped bit", apath, flip, {3, 4}, {}},
    };
    const bytes mfile = qvtest::read_file(mpath), afile = qvtest::read_file(apath);
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        qvtest::write_file(mpath, mfile);
        qvtest::write_file(apath, afile);
        for (const auto &n : names_in(dir, msgs_name(c) + ".unread-")) unlink(file(n).c_str());
        for (const auto &n : names_in(dir, arch_name(c) + ".unread-")) unlink(file(n).c_str());
        bytes damaged = k.damage(qvtest::read_file(k.path));
        qvtest::write_file(k.path, damaged);
        std::string name = k.path.substr(dir.size() + 1);
        reopen();
        EXPECT_EQ(ids_of(ms.get(), c), k.live);
        EXPECT_EQ(archive_ids(ms.get(), c), k.archived);
        EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), name.c_str()), 1);
        EXPECT_EQ(qvtest::read_file(k.path), damaged) << "untouched until written";
        // a trim writes both files
        ASSERT_EQ(quorvane_msgstore_set_msg_cap(ms.get(), 1), k.live.size() > 1 ? 1u : 0u);
        ASSERT_EQ(add(ms.get(), c, text_msg(9, 9)), 1);
        auto asides = names_in(dir, name + ".unread-");
        ASSERT_EQ(asides.size(), 1u);
        EXPECT_EQ(qvtest::read_file(file(asides[0])), damaged);
        EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), name.c_str()), 0);
        ms.reset();
    }
}

/* ---- a history whose list entry was lost ----------------------------------- */

// A version-8 message file's plaintext holding messages 1..n at positions 1..n.
bytes msgs_plaintext(uint64_t n) {
    bytes pt(1, char(QV_MS_MSGS_VERSION));
    auto be = [&](uint64_t v, int w) {
        for (int k = w - 1; k >= 0; k--) pt += char(v >> (8 * k));
    };
    be(n, 4);
    for (uint64_t i = 1; i <= n; i++) {
        const std::string text = "m" + std::to_string(i);
        pt += kAlice;
        be(i, 8);
        be(1000 + i, 8);
        pt += char(QV_MS_TYPE_TEXT);
        pt += '\0';
        be(text.size(), 4);
        pt += text;
        pt += filled(32, 0);
        pt += '\0';
        be(i, 8);
    }
    be(0, 4);
    return pt;
}

// The conversation list cannot be used at open (a newer version after a
// downgrade, or a flipped bit), so the conversation is unknown; when it is
// learned again, its message file on disk is read as open reads it, and the
// next message extends that history. A message file that cannot be used is
// kept aside before it is rewritten.
TEST_F(Msgstore, HistoryComesBackWhenTheConversationIsLearnedAgain) {
    const bytes c = id.conv, key = filled(32, 7);
    enum class List { Newer, FlipBit };
    struct Case {
        const char *what;
        List list;
        bool locked;        // learned as a placeholder without key
        bool damage_msgs;   // the message file has a flipped bit too
        uint64_t on_disk;   // messages in the file (written by the script past 3)
        std::vector<uint64_t> live, archived;  // after the new message and a reopen
    };
    std::vector<uint64_t> last2000;
    for (uint64_t i = 5; i <= 2003; i++) last2000.push_back(i);
    last2000.push_back(9999);
    const Case cases[] = {
        {"newer list, put", List::Newer, false, false, 3, {1, 2, 3, 9999}, {}},
        {"flipped list, put", List::FlipBit, false, false, 3, {1, 2, 3, 9999}, {}},
        {"newer list, placeholder", List::Newer, true, false, 3, {1, 2, 3, 9999}, {}},
        {"flipped list, unusable message file", List::FlipBit, false, true, 3, {9999}, {}},
        {"newer list, placeholder, unusable message file", List::Newer, true, true, 3, {9999}, {}},
        {"newer list, history over the cap is trimmed", List::Newer, false, false, 2003, last2000, {1, 2, 3, 4}},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        const std::string sub = tmp.file(std::string("lost") + std::to_string(&k - cases));
        const std::string mpath = sub + "/" + msgs_name(c), lpath = sub + "/convs.dat";
        {
            auto ms = open_store(sub);
            ASSERT_TRUE(ms);
            ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(key)), 0);
            for (uint64_t i = 1; i <= 3; i++) ASSERT_EQ(add(ms.get(), c, text_msg(i, i)), 1);
        }
        if (k.on_disk > 3) script_seal(mpath, msgs_plaintext(k.on_disk));
        if (k.list == List::Newer) {
            script_seal(lpath, bytes(1, char(QV_MS_CONVS_VERSION + 1)) + unhex("00000001") + filled(200, 1));
        } else {
            bytes f = qvtest::read_file(lpath);
            f[f.size() / 2] ^= 0x10;
            qvtest::write_file(lpath, f);
        }
        bytes mfile = qvtest::read_file(mpath);
        if (k.damage_msgs) {
            mfile[mfile.size() / 2] ^= 0x10;
            qvtest::write_file(mpath, mfile);
        }
        {
            auto ms = open_store(sub);
            ASSERT_TRUE(ms);
            ASSERT_EQ(quorvane_msgstore_conv_count(ms.get()), 0u);
            EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), "convs.dat"), 1);
            ASSERT_EQ(k.locked ? quorvane_msgstore_put_conv_locked(ms.get(), u8(c))
                               : quorvane_msgstore_put_conv(ms.get(), u8(c), u8(key)),
                      0);
            EXPECT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(c)),
                      k.damage_msgs ? 0u : std::min<uint64_t>(k.on_disk, QV_MS_MSG_CAP_DEFAULT));
            EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), msgs_name(c).c_str()), k.damage_msgs ? 1 : 0);
            ASSERT_EQ(add(ms.get(), c, text_msg(9999, 9999)), 1);
        }
        auto ms = open_store(sub);
        ASSERT_TRUE(ms);
        EXPECT_EQ(quorvane_msgstore_conv_locked(ms.get(), u8(c)), k.locked ? 1 : 0);
        EXPECT_EQ(ids_of(ms.get(), c), k.live);
        EXPECT_EQ(archive_ids(ms.get(), c), k.archived);
        auto asides = names_in(sub, msgs_name(c) + ".unread-");
        ASSERT_EQ(asides.size(), k.damage_msgs ? 1u : 0u);
        if (k.damage_msgs) {
            EXPECT_EQ(qvtest::read_file(sub + "/" + asides[0]), mfile) << "the aside holds the unusable history";
        }
        EXPECT_EQ(names_in(sub, "convs.dat.unread-").size(), 1u) << "the unusable list is kept too";
    }
}

/* ---- a directory sync that fails after the rename ---------------------------- */

// The subject: started with QV_MSGSTORE_SUBJECT set (under strace), this
// binary does one store operation on the store in QV_MSGSTORE_SUBJECT_DIR and
// exits before GoogleTest starts: 0 when the operation reported success, 1
// when it reported failure, 2 when the store did not open.
const bytes kSubjectState = filled(120, 0x5a);

int store_subject(const char *op, const char *dir) {
    const Ids ids;
    quorvane_msgstore *ms = quorvane_msgstore_open(dir, kSecret);
    if (!ms) return 2;
    bool ok = false;
    if (strcmp(op, "add") == 0) ok = add(ms, ids.conv, text_msg(2, 2)) == 1;
    else if (strcmp(op, "counter") == 0) ok = quorvane_msgstore_next_counter(ms, u8(ids.conv)) == 2;
    else if (strcmp(op, "profile") == 0) ok = quorvane_msgstore_set_self_profile(ms, "after", nullptr) == 0;
    else if (strcmp(op, "ratchet") == 0)
        ok = quorvane_msgstore_put_ratchet(ms, u8(ids.conv), u8(ids.dev), u8(kSubjectState), kSubjectState.size()) == 0;
    else if (strcmp(op, "label") == 0) ok = quorvane_msgstore_set_label(ms, u8(ids.conv), "after") == 0;
    else if (strcmp(op, "learn") == 0)
        ok = quorvane_msgstore_put_conv(ms, u8(ids.conv), u8(filled(32, 7))) == 0 && add(ms, ids.conv, text_msg(9999, 9999)) == 1;
    else if (strcmp(op, "delete") == 0) ok = quorvane_msgstore_delete_conv(ms, u8(ids.conv)) == 0;
    else if (strcmp(op, "forget") == 0) ok = quorvane_msgstore_forget_conv(ms, u8(ids.conv)) == 0;
    quorvane_msgstore_close(ms);
    return ok ? 0 : 1;
}

const int store_subject_hook = [] {
    const char *op = getenv("QV_MSGSTORE_SUBJECT"), *dir = getenv("QV_MSGSTORE_SUBJECT_DIR");
    if (op && dir) _exit(store_subject(op, dir));
    return 0;
}();

// Every sync of the store directory fails; the file syncs do not. Each write
// renames its file into place, so each must report success, and a reopen
// must find exactly what was reported: a message, a counter, a profile, a
// ratchet state that a caller was told were lost would come back, or be
// used twice, at the next start.
TEST_F(Msgstore, FailedDirectorySyncReportsWhatAReopenFinds) {
    const std::string why = qvtest::strace_unusable();
    if (!why.empty()) GTEST_SKIP() << why;
    struct Case {
        const char *op;
        std::function<void(quorvane_msgstore *)> holds;  // checks what the subject wrote
    } cases[] = {
        {"add", [&](quorvane_msgstore *ms) { EXPECT_EQ(ids_of(ms, id.conv), (std::vector<uint64_t>{1, 2})); }},
        {"counter", [&](quorvane_msgstore *ms) { EXPECT_EQ(quorvane_msgstore_next_counter(ms, u8(id.conv)), 3u); }},
        {"profile",
         [&](quorvane_msgstore *ms) {
             char name[80];
             ASSERT_EQ(quorvane_msgstore_get_self_profile(ms, name, sizeof name, nullptr, 0), 0);
             EXPECT_STREQ(name, "after");
         }},
        {"ratchet",
         [&](quorvane_msgstore *ms) {
             uint8_t b[200];
             ASSERT_EQ(quorvane_msgstore_get_ratchet(ms, u8(id.conv), u8(id.dev), b, sizeof b), kSubjectState.size());
             EXPECT_EQ(raw(b, kSubjectState.size()), kSubjectState);
         }},
        {"label",
         [&](quorvane_msgstore *ms) {
             char l[80];
             ASSERT_EQ(quorvane_msgstore_get_label(ms, u8(id.conv), l, sizeof l), 0);
             EXPECT_STREQ(l, "after");
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.op);
        const std::string sub = tmp.file(std::string("dirsync-") + c.op);
        {
            auto ms = open_store(sub);
            ASSERT_TRUE(ms);
            ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(id.conv), u8(filled(32, 7))), 0);
            ASSERT_EQ(add(ms.get(), id.conv, text_msg(1, 1)), 1);
            ASSERT_EQ(quorvane_msgstore_next_counter(ms.get(), u8(id.conv)), 1u);
            ASSERT_EQ(quorvane_msgstore_set_self_profile(ms.get(), "before", nullptr), 0);
            ASSERT_EQ(quorvane_msgstore_put_ratchet(ms.get(), u8(id.conv), u8(id.dev), u8(filled(90, 1)), 90), 0);
        }
        // only calls on the directory itself are traced, so only its syncs fail
        qvtest::Traced t = qvtest::run_self_traced(
            tmp, {std::string("QV_MSGSTORE_SUBJECT=") + c.op, "QV_MSGSTORE_SUBJECT_DIR=" + sub}, {sub},
            {"fsync:error=EIO"});
        EXPECT_NE(t.log.find("fsync("), std::string::npos) << t.log;
        EXPECT_NE(t.log.find("(INJECTED)"), std::string::npos) << t.log;
        EXPECT_EQ(t.status, 0) << "the rename happened, so the write is done\n" << t.log;
        for (const auto &n : names_in(sub, "")) EXPECT_EQ(n.find(".tmp"), std::string::npos) << n;
        auto ms = open_store(sub);
        ASSERT_TRUE(ms);
        c.holds(ms.get());
    }
}

// A message or archive file that cannot be removed (the unlink fails) when
// its conversation is deleted or forgotten: a reported success must hold at
// the next start, so the history the user removed never comes back, neither
// at open (forgotten) nor when the conversation is learned again (deleted). A
// failure leaves the conversation with its history, as memory had it.
TEST_F(Msgstore, RemovedHistoryStaysGoneWhenItsFileCannotBeRemoved) {
    const std::string why = qvtest::strace_unusable();
    if (!why.empty()) GTEST_SKIP() << why;
    struct Case {
        const char *op;
        bool archive;  // the archive file is the one that stays
    } cases[] = {{"delete", false}, {"delete", true}, {"forget", false}};
    for (const auto &k : cases) {
        SCOPED_TRACE(std::string(k.op) + (k.archive ? ", archive" : ", messages"));
        const std::string sub = tmp.file(std::string("unlink-") + k.op + (k.archive ? "-a" : "-m"));
        const std::string stays = sub + "/" + (k.archive ? "a_" + hex(id.conv) + ".dat" : msgs_name(id.conv));
        {
            auto ms = open_store(sub);
            ASSERT_TRUE(ms);
            ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(id.conv), u8(filled(32, 7))), 0);
            for (uint64_t i = 1; i <= 3; i++) ASSERT_EQ(add(ms.get(), id.conv, text_msg(i, i)), 1);
            ASSERT_EQ(quorvane_msgstore_set_msg_cap(ms.get(), 2), 1u);
        }
        qvtest::Traced t = qvtest::run_self_traced(
            tmp, {std::string("QV_MSGSTORE_SUBJECT=") + k.op, "QV_MSGSTORE_SUBJECT_DIR=" + sub}, {stays},
            {"unlink,unlinkat:error=EIO"});
        EXPECT_NE(t.log.find("(INJECTED)"), std::string::npos) << t.log;
        ASSERT_TRUE(t.status == 0 || t.status == 1) << t.log;
        auto ms = open_store(sub);
        ASSERT_TRUE(ms);
        if (t.status == 1) {
            EXPECT_EQ(ids_of(ms.get(), id.conv), (std::vector<uint64_t>{2, 3})) << "a failure keeps the messages";
            continue;
        }
        if (strcmp(k.op, "delete") == 0) {
            EXPECT_EQ(quorvane_msgstore_conv_count(ms.get()), 0u);
            ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(id.conv), u8(filled(32, 7))), 0);
            EXPECT_EQ(archive_ids(ms.get(), id.conv), std::vector<uint64_t>{}) << "the deleted archive came back";
        }
        EXPECT_EQ(quorvane_msgstore_msg_count(ms.get(), u8(id.conv)), 0u) << "the removed history came back";
    }
}

}  // namespace

namespace {

// The conversation list is lost and the conversation learned again while each
// allocation through the hook in turn fails: its history is either held, or
// kept aside byte for byte before the next message rewrites its file.
TEST_F(Msgstore, HistoryLearnedAgainWithoutMemoryIsHeldOrKeptAside) {
    const bytes c = id.conv, key = filled(32, 7);
    for (long k = 0; k < 6; k++) {
        SCOPED_TRACE(k);
        const std::string sub = tmp.file("oomlearn" + std::to_string(k)), mpath = sub + "/" + msgs_name(c);
        {
            auto ms = open_store(sub);
            ASSERT_TRUE(ms);
            ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(key)), 0);
            for (uint64_t i = 1; i <= 3; i++) ASSERT_EQ(add(ms.get(), c, text_msg(i, i)), 1);
        }
        script_seal(sub + "/convs.dat", bytes(1, char(QV_MS_CONVS_VERSION + 1)) + unhex("00000001") + filled(200, 1));
        const bytes mfile = qvtest::read_file(mpath);
        {
            auto ms = open_store(sub);
            ASSERT_TRUE(ms);
            int rc;
            {
                AllocFailReset reset;
                n_alloc_fail_after(k);
                rc = quorvane_msgstore_put_conv(ms.get(), u8(c), u8(key));
            }
            if (rc != 0) {
                ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(key)), 0);
            }
            ASSERT_EQ(add(ms.get(), c, text_msg(9999, 9999)), 1);
        }
        auto ms = open_store(sub);
        ASSERT_TRUE(ms);
        const auto live = ids_of(ms.get(), c);
        const auto asides = names_in(sub, msgs_name(c) + ".unread-");
        if (live == std::vector<uint64_t>{1, 2, 3, 9999}) {
            EXPECT_TRUE(asides.empty());
        } else {
            EXPECT_EQ(live, std::vector<uint64_t>{9999});
            ASSERT_EQ(asides.size(), 1u);
            EXPECT_EQ(qvtest::read_file(sub + "/" + asides[0]), mfile);
        }
    }
}

std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> out;
    for (size_t at = 0;;) {
        const size_t end = s.find(sep, at);
        out.push_back(s.substr(at, end - at));
        if (end == std::string::npos) return out;
        at = end + 1;
    }
}

// The conversation list is lost, and the conversation is learned again and
// given a message while one system call on its message file fails: whatever
// is reported, the old history is held or kept aside byte for byte, and a
// message reported added is there at the next start.
TEST_F(Msgstore, HistoryLearnedAgainSurvivesEachFailedCall) {
    const std::string why = qvtest::strace_unusable();
    if (!why.empty()) GTEST_SKIP() << why;
    const bytes c = id.conv, key = filled(32, 7);
    // one run each; "|" joins faults injected in the same run
    const char *injects[] = {"openat:error=EIO",
                             "openat:error=EIO:when=2",
                             "read:error=EIO",
                             "fstat,newfstatat,statx:error=EIO",
                             "write:error=ENOSPC",
                             "fsync:error=EIO",
                             "close:error=EIO",
                             "rename:error=EIO",
                             "rename:error=EIO|unlink:error=EIO",
                             "link:error=EIO",
                             "link:error=EPERM",
                             "link:error=EPERM|renameat2:error=EIO"};
    int run = 0;
    for (bool damaged : {false, true}) {
        for (const char *inj : injects) {
            SCOPED_TRACE(std::string(inj) + (damaged ? ", unusable message file" : ""));
            const std::string sub = tmp.file("learnfail" + std::to_string(run++)), mpath = sub + "/" + msgs_name(c);
            {
                auto ms = open_store(sub);
                ASSERT_TRUE(ms);
                ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(key)), 0);
                for (uint64_t i = 1; i <= 3; i++) ASSERT_EQ(add(ms.get(), c, text_msg(i, i)), 1);
            }
            script_seal(sub + "/convs.dat", bytes(1, char(QV_MS_CONVS_VERSION + 1)) + unhex("00000001") + filled(200, 1));
            bytes mfile = qvtest::read_file(mpath);
            if (damaged) {
                mfile[mfile.size() / 2] ^= 0x10;
                qvtest::write_file(mpath, mfile);
            }
            qvtest::Traced t = qvtest::run_self_traced(
                tmp, {"QV_MSGSTORE_SUBJECT=learn", "QV_MSGSTORE_SUBJECT_DIR=" + sub}, {mpath, mpath + ".tmp"},
                split(inj, '|'));
            // a link is only made to keep an unusable file aside
            if (damaged || !strstr(inj, "link")) {
                EXPECT_NE(t.log.find("(INJECTED)"), std::string::npos) << t.log;
            }
            ASSERT_TRUE(t.status == 0 || t.status == 1) << t.log;
            auto ms = open_store(sub);
            ASSERT_TRUE(ms);
            if (quorvane_msgstore_conv_count(ms.get()) == 0) {
                ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(key)), 0);
            }
            const auto live = ids_of(ms.get(), c);
            bool kept = qvtest::read_file(mpath) == mfile;
            for (const auto &a : names_in(sub, msgs_name(c) + ".unread-")) kept = kept || qvtest::read_file(sub + "/" + a) == mfile;
            if (!damaged) {
                const bool held = live.size() >= 3 && live[0] == 1 && live[1] == 2 && live[2] == 3;
                EXPECT_TRUE(held || kept) << "the old history is lost\n" << t.log;
            } else {
                EXPECT_TRUE(kept) << "the unusable history is lost\n" << t.log;
            }
            if (t.status == 0) {
                EXPECT_FALSE(live.empty() || live.back() != 9999) << "a message reported added is gone\n" << t.log;
            }
        }
    }
}

// The same, with a history over the cap (the learning trims it into the
// archive), and the subject killed before one of its renames or syncs, or its
// archive writes failing: after the next start every old message is held
// once, live or in the archive.
TEST_F(Msgstore, HistoryLearnedAgainSurvivesAKill) {
    const std::string why = qvtest::strace_unusable();
    if (!why.empty()) GTEST_SKIP() << why;
    const bytes c = id.conv, key = filled(32, 7);
    const uint64_t on_disk = QV_MS_MSG_CAP_DEFAULT + 3;
    struct Case {
        std::string inject;
        bool archive_only;  // only calls on the archive are traced
    };
    std::vector<Case> cases;
    for (const char *call : {"rename", "fsync"})
        for (int when = 1; when <= 4; when++)
            cases.push_back({std::string(call) + ":signal=SIGKILL:when=" + std::to_string(when), false});
    // the archive cannot take the trimmed messages: nothing is trimmed
    cases.push_back({"rename:error=EIO", true});
    cases.push_back({"write:error=ENOSPC", true});
    int run = 0;
    {
        for (const auto &k : cases) {
            SCOPED_TRACE(k.inject);
            const std::string sub = tmp.file("learnkill" + std::to_string(run++));
            const std::string mpath = sub + "/" + msgs_name(c), apath = sub + "/a_" + hex(c) + ".dat",
                              lpath = sub + "/convs.dat";
            {
                auto ms = open_store(sub);
                ASSERT_TRUE(ms);
                ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(key)), 0);
            }
            script_seal(mpath, msgs_plaintext(on_disk));
            script_seal(lpath, bytes(1, char(QV_MS_CONVS_VERSION + 1)) + unhex("00000001") + filled(200, 1));
            qvtest::Traced t = qvtest::run_self_traced(
                tmp, {"QV_MSGSTORE_SUBJECT=learn", "QV_MSGSTORE_SUBJECT_DIR=" + sub},
                k.archive_only ? std::vector<std::string>{apath, apath + ".tmp"}
                               : std::vector<std::string>{mpath, mpath + ".tmp", apath, apath + ".tmp", lpath, lpath + ".tmp"},
                {k.inject});
            if (k.archive_only) {
                EXPECT_NE(t.log.find("(INJECTED)"), std::string::npos) << t.log;
            } else {
                EXPECT_EQ(t.status, 128 + SIGKILL) << "the subject was killed\n" << t.log;
            }
            auto ms = open_store(sub);
            ASSERT_TRUE(ms);
            if (quorvane_msgstore_conv_count(ms.get()) == 0) {
                ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(key)), 0);
            }
            std::vector<uint64_t> all = archive_ids(ms.get(), c), live = ids_of(ms.get(), c);
            all.insert(all.end(), live.begin(), live.end());
            std::sort(all.begin(), all.end());
            all.erase(std::remove(all.begin(), all.end(), 9999u), all.end());
            std::vector<uint64_t> want;
            for (uint64_t i = 1; i <= on_disk; i++) want.push_back(i);
            EXPECT_EQ(all, want) << "status " << t.status << "\n" << t.log.substr(0, 4000);
        }
    }
}

}  // namespace
