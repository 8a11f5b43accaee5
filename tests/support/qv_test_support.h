// Test helpers shared by every suite: scratch directories on the real
// filesystem, capture of the library's log lines, child processes that a
// test starts and stops by pid, the bytes of test vectors and of the
// cross-check scripts' lines, and this binary re-run under strace.
#pragma once

#include "n_str.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

struct N_STR;
struct LIST;
struct HASH_TABLE;

namespace qvtest {

// Foundation objects owned by a test, released through their own destructors.
struct NstrFree {
    void operator()(N_STR *s) const;
};
struct ListFree {
    void operator()(LIST *l) const;
};
struct TableFree {
    void operator()(HASH_TABLE *t) const;
};
using NstrPtr = std::unique_ptr<N_STR, NstrFree>;
using ListPtr = std::unique_ptr<LIST, ListFree>;
using TablePtr = std::unique_ptr<HASH_TABLE, TableFree>;

// Turns the allocator's fault injection off when a test ends, whatever it did.
struct AllocFailGuard {
    AllocFailGuard() = default;
    ~AllocFailGuard();
    AllocFailGuard(const AllocFailGuard &) = delete;
    AllocFailGuard &operator=(const AllocFailGuard &) = delete;
};

// A fresh directory under TMPDIR (or /tmp), removed with its content.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string file(const std::string &name) const { return path + "/" + name; }
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
std::vector<uint8_t> file_bytes(const std::string &path);
void put_file(const std::string &path, const std::vector<uint8_t> &b);

// Sends the library's log lines (threshold DEBUG) to a scratch file for the
// life of the object, then back to standard error at the previous threshold.
struct LogCapture {
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;
    std::string text() const;                       // everything logged so far
    bool contains(const std::string &needle) const;
    void clear();
  private:
    FILE *f_ = nullptr;
    int prev_level_ = -1;
};

// Runs a shell command, returns its exit status (-1 when it did not exit) and
// fills `out` with its standard output when given.
int run_command(const std::string &cmd, std::string *out = nullptr);

// Runs the Python script `tests/scripts/<script>` with Debian's python3 and
// the given arguments; stdin gets `input`; returns the exit status.
int run_python(const std::string &script, const std::vector<std::string> &args, const std::string &input,
               std::string *out);

// A child process started with execvp in a process group of its own; stopped
// by pid (SIGTERM to its group, SIGKILL if it is still there after kWaitMs)
// when the object goes away.
struct ChildProcess {
    pid_t pid = -1;
    explicit ChildProcess(const std::vector<std::string> &argv, const std::string &stdout_path = "/dev/null");
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;
    bool running();
    int stop();  // returns the wait status
};

// Runs `body` in a forked child (for namespaces and other changes that must
// not reach this process) and returns the text it reported; a child that did
// not exit adds "child died".
std::string report_from_child(const std::function<std::string()> &body);

// In a child that has its own mount namespace (unshare(CLONE_NEWNS)): makes
// every mount it sees private, so that nothing it mounts reaches the
// machine's namespace. Also where the root is not a mount point (a plain
// chroot): there the root is bound onto itself and becomes the child's root,
// unless the mount that holds it would pass new mounts on to the machine.
// Returns "" when done, else why not (the caller skips).
std::string make_mounts_private();

// A loopback TCP port nobody listens on right now (0 when none was found).
int free_loopback_port();

// True when process `pid` itself holds a socket listening on TCP `port`
// (IPv4 or IPv6): seen in /proc without connecting, so a peer that serves a
// single connection still has it.
bool child_listens(pid_t pid, int port);

// A child that listens on the port it is given: `argv_for(port)` is started
// on one free port after another until a try listens there, since a port
// found free can be taken by another process (a connection's own port on a
// busy machine) before the child binds it, and the child then ends. The
// port, or 0 when no try listened within kWaitMs.
int start_listening(const std::function<std::vector<std::string>(int)> &argv_for, const std::string &stdout_path,
                    std::unique_ptr<ChildProcess> *child);

// Every byte from `fd` until the peer closes, an error, or `ms` of silence.
std::string read_until_closed(int fd, int ms);

// True when `prog` is found on PATH.
bool have_program(const std::string &prog);

void sleep_ms(int ms);

// How long a test waits for what is bound to happen (a peer's bytes, a
// child's exit, a state): long enough that a machine busy with other builds
// and suites never fails a test that passes on an idle one. Only a fault
// spends it. Checks that something does NOT happen keep their short windows.
constexpr int kWaitMs = 60000;

// Polls `pred` every 10 ms until it holds or `ms` of the monotonic clock
// pass (however long `pred` itself takes).
template <class F> bool wait_until(F pred, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        sleep_ms(10);
    }
    return pred();
}

// Bytes as lower-case hex. hex_word() is a value on a cross-check script's
// line, where "-" stands for no bytes so that every line keeps all its words.
std::string hex(const void *p, size_t n);
std::string hex_word(const void *p, size_t n);
std::string hex(std::string_view bytes);
std::string hex_word(std::string_view bytes);
std::string hex(const std::vector<uint8_t> &b);
std::string hex_word(const std::vector<uint8_t> &b);
template <size_t N> std::string hex(const std::array<uint8_t, N> &a) { return hex(a.data(), N); }
template <size_t N> std::string hex_word(const std::array<uint8_t, N> &a) { return hex_word(a.data(), N); }

std::vector<uint8_t> unhex(std::string_view h);  // either case; "-" is no bytes
std::string unhex_string(std::string_view h);    // the same bytes in a string

// Exactly N bytes; a text of another length is a test failure.
template <size_t N> std::array<uint8_t, N> unhex_array(std::string_view h) {
    std::array<uint8_t, N> a{};
    EXPECT_EQ(h.size(), 2 * N) << h;
    const std::vector<uint8_t> b = unhex(h);
    for (size_t i = 0; i < N && i < b.size(); i++) a[i] = b[i];
    return a;
}

bool all_zero(const void *p, size_t n);
bool all_zero(const std::vector<uint8_t> &b);
std::vector<uint8_t> random_bytes(size_t n);  // from OpenSSL's generator, not the code under test
void put_be32(uint8_t *p, uint32_t v);  // for crafting headers by hand

// After a refused open every output byte is either wiped (0) or still the
// caller's fill (0xAA): no plaintext is left.
::testing::AssertionResult holds_no_plaintext(const std::vector<uint8_t> &out);

// Runs `tests/scripts/<script>` over one request a line; the words of each
// answer line, exactly one list per request (a missing answer is a failure).
std::vector<std::vector<std::string>> xcheck_words(const std::string &script, const std::vector<std::string> &requests);
// The same for any checker program: `cmd` (a shell command) reads the requests on stdin.
std::vector<std::vector<std::string>> command_words(const std::string &cmd, const std::vector<std::string> &requests);

// The same for scripts that answer through crypto_xcheck.serve: the words
// after the leading "OK" (a line without it is a failure and gives none).
std::vector<std::vector<std::string>> xcheck_ok(const std::string &script, const std::vector<std::string> &requests);

// Each test ends with an empty OpenSSL error queue: a wrapper that refuses must
// not leave errors for the next, unrelated, library caller.
class EmptyErrorQueue : public ::testing::Test {
  protected:
    void TearDown() override;
};

// Files, seen with lstat: a dangling link exists.
bool exists(const std::string &path);
mode_t mode_of(const std::string &path);                    // permission bits, (mode_t)-1 when absent
std::vector<std::string> names_in(const std::string &dir);  // sorted, without "." and ".."

struct UmaskScope {
    mode_t old;
    explicit UmaskScope(mode_t m);
    ~UmaskScope();
    UmaskScope(const UmaskScope &) = delete;
    UmaskScope &operator=(const UmaskScope &) = delete;
};

// This test binary re-run as a subject: a suite reads its own environment
// variables before GoogleTest starts, does one operation and exits.
std::string self_exe();
std::string strace_unusable();  // why strace cannot be used here, or "" when it can

struct Traced {
    int status = -1;
    std::string log;
};

// Runs this binary under strace with `env` set ("NAME=value" each), tracing
// only system calls on `paths`, with each of `injects`
// ("SYSCALLS:error=E[:when=N]") applied; the trace is read from, then removed
// from, `work`.
Traced run_self_traced(const TempDir &work, const std::vector<std::string> &env, const std::vector<std::string> &paths,
                       const std::vector<std::string> &injects);

// Signatures and digests made by tools outside our code: an Ed25519 key from
// `openssl genpkey`, signatures from `openssl pkeyutl -sign -rawin`, BLAKE2b-512
// digests from coreutils `b2sum`. A failing tool fails the test.
struct OpensslEd25519 {
    std::string key_pem;                 // the private key file
    std::array<uint8_t, 32> pub{};       // raw public key, from the key's DER form
    explicit OpensslEd25519(const TempDir &dir, const std::string &name = "signer");
    std::array<uint8_t, 64> sign(const std::string &message) const;  // through a scratch file beside the key
};
std::string b2sum_hex(const std::string &path);  // 128 lower-case hex digits, or "" on failure

// The top of the source tree, for fixtures and cross-check scripts. It lives
// in one object file so that every other test object compiles to the same
// bytes in any clone, and a compiler cache filled in one serves another.
const char *source_dir();

// Which sanitizer this build has (GCC and clang announce them differently).
// Exhaustive and volume cases run at full size in the plain build and at a
// size that fits the sanitizers' slowdown under them.
#if defined(__has_feature)
#define QV_HAS_FEATURE(x) __has_feature(x)
#else
#define QV_HAS_FEATURE(x) 0
#endif
#if defined(__SANITIZE_ADDRESS__) || QV_HAS_FEATURE(address_sanitizer)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif
#if defined(__SANITIZE_THREAD__) || QV_HAS_FEATURE(thread_sanitizer)
inline constexpr bool kThreadSanitizer = true;
#else
inline constexpr bool kThreadSanitizer = false;
#endif
#undef QV_HAS_FEATURE
inline constexpr bool kSanitized = kAddressSanitizer || kThreadSanitizer;

// Real PNG images from the Debian icon theme that scripts/deps.sh installs
// (adwaita-icon-theme): `count` distinct files, the same ones on every run.
std::vector<std::string> icon_theme_pngs(size_t count);

}  // namespace qvtest
