#include "qv_test_support.h"

#include "n_hash.h"
#include "n_list.h"
#include "n_log.h"
#include "n_str.h"

#include <openssl/err.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

namespace qvtest {

void NstrFree::operator()(N_STR *s) const { free_nstr_nolog(&s); }
void ListFree::operator()(LIST *l) const { list_destroy(&l); }
void TableFree::operator()(HASH_TABLE *t) const { destroy_ht(&t); }
AllocFailGuard::~AllocFailGuard() { n_alloc_fail_after(-1); }

TempDir::TempDir() {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/qvtest.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) abort();
    path = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), (std::streamsize)content.size());
}

std::vector<uint8_t> file_bytes(const std::string &path) {
    std::string s = read_file(path);
    return std::vector<uint8_t>(s.begin(), s.end());
}

void put_file(const std::string &path, const std::vector<uint8_t> &b) {
    write_file(path, std::string(b.begin(), b.end()));
}

LogCapture::LogCapture() {
    f_ = tmpfile();
    prev_level_ = get_log_level();
    set_log_file_fd(f_);
    set_log_level(LOG_DEBUG);
}

LogCapture::~LogCapture() {
    set_log_file_fd(stderr);
    set_log_level(prev_level_);
    fclose(f_);
}

std::string LogCapture::text() const {
    fflush(f_);
    std::string s;
    long end = ftell(f_);
    s.resize((size_t)end);
    if (end > 0) {
        fseek(f_, 0, SEEK_SET);
        size_t got = fread(s.data(), 1, (size_t)end, f_);
        s.resize(got);
        fseek(f_, 0, SEEK_END);
    }
    return s;
}

bool LogCapture::contains(const std::string &needle) const { return text().find(needle) != std::string::npos; }

void LogCapture::clear() {
    fflush(f_);
    if (ftruncate(fileno(f_), 0) == 0) fseek(f_, 0, SEEK_SET);
}

int run_command(const std::string &cmd, std::string *out) {
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    std::string s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) s.append(buf, n);
    int st = pclose(p);
    if (out) *out = s;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

static std::string shell_quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    return q + "'";
}

int run_python(const std::string &script, const std::vector<std::string> &args, const std::string &input,
               std::string *out) {
    TempDir dir;
    std::string in = dir.file("stdin");
    write_file(in, input);
    std::string cmd = std::string(QV_PYTHON) + " " + shell_quote(std::string(source_dir()) + "/tests/scripts/" + script);
    for (const auto &a : args) cmd.append(" ").append(shell_quote(a));
    cmd += " < " + shell_quote(in);
    return run_command(cmd, out);
}

ChildProcess::ChildProcess(const std::vector<std::string> &argv, const std::string &stdout_path) {
    pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        int fd = open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, 0);
        std::vector<char *> v;
        for (const auto &a : argv) v.push_back(const_cast<char *>(a.c_str()));
        v.push_back(nullptr);
        execvp(v[0], v.data());
        _exit(127);
    }
    if (pid > 0) setpgid(pid, pid);  // also here: stop() may come before the child ran
}

ChildProcess::~ChildProcess() { stop(); }

bool ChildProcess::running() {
    if (pid <= 0) return false;
    int st;
    pid_t r = waitpid(pid, &st, WNOHANG);
    if (r == pid) {
        pid = -1;
        return false;
    }
    return r == 0;
}

int ChildProcess::stop() {
    if (pid <= 0) return 0;
    int st = 0;
    // The child's whole process group, so that a shell's pipeline ends with
    // it; what ignores SIGTERM still goes once the child is gone.
    kill(-pid, SIGTERM);
    kill(pid, SIGTERM);
    if (!wait_until([&] { return waitpid(pid, &st, WNOHANG) == pid; }, kWaitMs)) {
        kill(-pid, SIGKILL);
        waitpid(pid, &st, 0);
    }
    kill(-pid, SIGKILL);
    pid = -1;
    return st;
}

namespace {

std::string errno_text(const char *what) { return std::string(what) + ": " + strerror(errno); }

// The propagation fields of the newest mount at "/" in this namespace ("" when none).
std::string root_mount_fields() {
    std::ifstream in("/proc/self/mountinfo");
    std::string line, fields;
    while (std::getline(in, line)) {
        // ID PARENT MAJ:MIN ROOT MOUNT_POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER
        std::istringstream ls(line);
        std::string id, parent, dev, root, point, opts, f, optional;
        if (!(ls >> id >> parent >> dev >> root >> point >> opts) || point != "/") continue;
        while (ls >> f && f != "-") optional += f + " ";
        fields = optional.empty() ? "private" : optional;
    }
    return fields;
}

}  // namespace

std::string make_mounts_private() {
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) return "";
    if (errno != EINVAL) return errno_text("making / private");
    // The root is not a mount point. A mount made on the one that holds it
    // would reach the machine if that one is shared, and so would a bind of
    // the root onto itself: a bind without the mounts below shows which it
    // is, and is taken away again (which reaches the same places). "/" names
    // the old root, "/.." steps onto what is mounted there.
    if (mount("/", "/", nullptr, MS_BIND, nullptr) != 0) return errno_text("binding / onto itself");
    const std::string fields = root_mount_fields();
    if (umount2("/..", MNT_DETACH) != 0) return errno_text("unmounting the bind of /");
    if (fields.empty() || fields.find("shared:") != std::string::npos)
        return "the mount that holds / passes mounts on to the machine (" + fields + ")";
    if (mount("/", "/", nullptr, MS_BIND | MS_REC, nullptr) != 0) return errno_text("binding / onto itself");
    if (mount(nullptr, "/..", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return errno_text("making the bind private");
    if (chdir("/..") != 0 || chroot(".") != 0 || chdir("/") != 0) return errno_text("moving onto the bind");
    return "";
}

std::string report_from_child(const std::function<std::string()> &body) {
    int pipefd[2];
    if (pipe(pipefd) != 0) return "pipe failed";
    pid_t pid = fork();
    if (pid == 0) {
        close(pipefd[0]);
        std::string report = body();
        ssize_t w = write(pipefd[1], report.data(), report.size());
        (void)w;
        _exit(0);
    }
    close(pipefd[1]);
    std::string out;
    char buf[4096];
    ssize_t r;
    while ((r = read(pipefd[0], buf, sizeof buf)) > 0) out.append(buf, (size_t)r);
    close(pipefd[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    if (!WIFEXITED(st)) out += "\nchild died";
    return out;
}

int free_loopback_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&a), len) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0) close(fd);
    return port;
}

bool child_listens(pid_t pid, int port) {
    std::vector<std::string> inodes;
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::istringstream lines(read_file(table));
        std::string line;
        std::getline(lines, line);  // the heading
        while (std::getline(lines, line)) {
            std::istringstream f(line);
            std::vector<std::string> w;
            for (std::string x; f >> x && w.size() < 10;) w.push_back(x);
            if (w.size() < 10 || w[3] != "0A") continue;
            const size_t colon = w[1].rfind(':');
            if (colon != std::string::npos && std::stoi(w[1].substr(colon + 1), nullptr, 16) == port)
                inodes.push_back("socket:[" + w[9] + "]");
        }
    }
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    for (const auto &name : names_in(fds)) {
        char target[64];
        const ssize_t n = readlink((fds + "/" + name).c_str(), target, sizeof target - 1);
        if (n > 0 && std::find(inodes.begin(), inodes.end(), std::string(target, (size_t)n)) != inodes.end()) return true;
    }
    return false;
}

int start_listening(const std::function<std::vector<std::string>(int)> &argv_for, const std::string &stdout_path,
                    std::unique_ptr<ChildProcess> *child) {
    for (int tries = 0; tries < 10; tries++) {
        const int port = free_loopback_port();
        if (port == 0) continue;
        *child = std::make_unique<ChildProcess>(argv_for(port), stdout_path);
        const pid_t pid = (*child)->pid;
        if (!wait_until([&] { return child_listens(pid, port) || !(*child)->running(); }, kWaitMs)) return 0;
        if ((*child)->running()) return port;
        child->reset();
    }
    return 0;
}

std::string read_until_closed(int fd, int ms) {
    std::string got;
    char buf[4096];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, ms) == 1) {
        ssize_t r = recv(fd, buf, sizeof buf, 0);
        if (r <= 0) break;
        got.append(buf, (size_t)r);
    }
    return got;
}

bool have_program(const std::string &prog) {
    return run_command("command -v " + shell_quote(prog) + " >/dev/null 2>&1") == 0;
}

void sleep_ms(int ms) { usleep((useconds_t)ms * 1000); }

std::string hex(const void *p, size_t n) {
    static const char d[] = "0123456789abcdef";
    const uint8_t *b = static_cast<const uint8_t *>(p);
    std::string s;
    s.reserve(2 * n);
    for (size_t i = 0; i < n; i++) {
        s += d[b[i] >> 4];
        s += d[b[i] & 15];
    }
    return s;
}

std::string hex_word(const void *p, size_t n) { return n ? hex(p, n) : "-"; }
std::string hex(std::string_view bytes) { return hex(bytes.data(), bytes.size()); }
std::string hex_word(std::string_view bytes) { return hex_word(bytes.data(), bytes.size()); }
std::string hex(const std::vector<uint8_t> &b) { return hex(b.data(), b.size()); }
std::string hex_word(const std::vector<uint8_t> &b) { return hex_word(b.data(), b.size()); }

std::vector<uint8_t> unhex(std::string_view h) {
    std::vector<uint8_t> b;
    if (h == "-") return b;
    auto nib = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    for (size_t i = 0; i + 1 < h.size(); i += 2) b.push_back(static_cast<uint8_t>(nib(h[i]) << 4 | nib(h[i + 1])));
    return b;
}

std::string unhex_string(std::string_view h) {
    const std::vector<uint8_t> b = unhex(h);
    return std::string(b.begin(), b.end());
}

bool all_zero(const void *p, size_t n) {
    const uint8_t *b = static_cast<const uint8_t *>(p);
    return std::all_of(b, b + n, [](uint8_t c) { return c == 0; });
}

bool all_zero(const std::vector<uint8_t> &b) { return all_zero(b.data(), b.size()); }

std::vector<uint8_t> random_bytes(size_t n) {
    std::vector<uint8_t> b(n);
    if (n) {
        EXPECT_EQ(RAND_bytes(b.data(), static_cast<int>(n)), 1);
    }
    return b;
}

void put_be32(uint8_t *p, uint32_t v) {
    for (int i = 3; i >= 0; i--, v >>= 8) p[i] = static_cast<uint8_t>(v);
}

::testing::AssertionResult holds_no_plaintext(const std::vector<uint8_t> &out) {
    for (size_t i = 0; i < out.size(); i++)
        if (out[i] != 0 && out[i] != 0xAA) return ::testing::AssertionFailure() << "plaintext byte at " << i;
    return ::testing::AssertionSuccess();
}

namespace {

// The words of each line of `out`, exactly one list per request.
std::vector<std::vector<std::string>> answer_words(const std::string &out, size_t requests) {
    std::vector<std::vector<std::string>> answers;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        answers.emplace_back();
        for (std::string w; words >> w;) answers.back().push_back(w);
    }
    EXPECT_EQ(answers.size(), requests) << out;
    answers.resize(requests);
    return answers;
}

std::string request_lines(const std::vector<std::string> &requests) {
    std::string in;
    for (const auto &r : requests) in += r + "\n";
    return in;
}

}  // namespace

std::vector<std::vector<std::string>> xcheck_words(const std::string &script,
                                                   const std::vector<std::string> &requests) {
    std::string out;
    EXPECT_EQ(run_python(script, {}, request_lines(requests), &out), 0) << out;
    return answer_words(out, requests.size());
}

std::vector<std::vector<std::string>> command_words(const std::string &cmd, const std::vector<std::string> &requests) {
    TempDir dir;
    write_file(dir.file("stdin"), request_lines(requests));
    std::string out;
    EXPECT_EQ(run_command(cmd + " < " + shell_quote(dir.file("stdin")), &out), 0) << cmd << "\n" << out;
    return answer_words(out, requests.size());
}

std::vector<std::vector<std::string>> xcheck_ok(const std::string &script, const std::vector<std::string> &requests) {
    std::vector<std::vector<std::string>> answers = xcheck_words(script, requests);
    for (size_t i = 0; i < answers.size(); i++) {
        auto &a = answers[i];
        EXPECT_TRUE(!a.empty() && a[0] == "OK") << requests[i];
        if (!a.empty() && a[0] == "OK") a.erase(a.begin());
        else a.clear();
    }
    return answers;
}

void EmptyErrorQueue::TearDown() {
    EXPECT_EQ(ERR_peek_error(), 0ul);
    ERR_clear_error();  // one leak must not be blamed on the next test too
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

mode_t mode_of(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : static_cast<mode_t>(-1);
}

std::vector<std::string> names_in(const std::string &dir) {
    std::vector<std::string> v;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) v.emplace_back(e->d_name);
        closedir(d);
    }
    std::sort(v.begin(), v.end());
    return v;
}

UmaskScope::UmaskScope(mode_t m) : old(umask(m)) {}
UmaskScope::~UmaskScope() { umask(old); }

std::string self_exe() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string strace_unusable() {
    if (!have_program("strace")) return "strace is not installed";
    if (run_command("strace -qq -o /dev/null true 2>/dev/null") != 0) return "ptrace is not permitted here";
    return "";
}

Traced run_self_traced(const TempDir &work, const std::vector<std::string> &env, const std::vector<std::string> &paths,
                       const std::vector<std::string> &injects) {
    const std::string log = work.file("strace.log");
    std::string cmd = "env";
    for (const auto &e : env) cmd.append(" ").append(shell_quote(e));
    cmd += " ASAN_OPTIONS=detect_leaks=0 strace -f -qq -e signal=none -o " + shell_quote(log);
    for (const auto &p : paths) cmd += " -P " + shell_quote(p);
    for (const auto &i : injects) cmd += " -e inject=" + i;
    cmd += " " + shell_quote(self_exe()) + " >/dev/null 2>&1";
    Traced t;
    t.status = run_command(cmd);
    t.log = read_file(log);
    unlink(log.c_str());
    return t;
}

OpensslEd25519::OpensslEd25519(const TempDir &dir, const std::string &name) : key_pem(dir.file(name + ".pem")) {
    const std::string der = dir.file(name + ".pub.der");
    EXPECT_EQ(run_command("openssl genpkey -algorithm ed25519 -out " + shell_quote(key_pem) + " 2>&1"), 0);
    EXPECT_EQ(run_command("openssl pkey -in " + shell_quote(key_pem) + " -pubout -outform DER -out " + shell_quote(der) +
                          " 2>&1"),
              0);
    // the SubjectPublicKeyInfo of an Ed25519 key ends in the 32 raw key bytes
    const std::vector<uint8_t> b = file_bytes(der);
    EXPECT_EQ(b.size(), 44u);
    if (b.size() >= 32) std::copy(b.end() - 32, b.end(), pub.begin());
}

std::array<uint8_t, 64> OpensslEd25519::sign(const std::string &message) const {
    const std::string msg = key_pem + ".msg", sig = key_pem + ".sig";
    write_file(msg, message);
    std::array<uint8_t, 64> out{};
    EXPECT_EQ(run_command("openssl pkeyutl -sign -rawin -inkey " + shell_quote(key_pem) + " -in " + shell_quote(msg) +
                          " -out " + shell_quote(sig) + " 2>&1"),
              0);
    const std::vector<uint8_t> b = file_bytes(sig);
    EXPECT_EQ(b.size(), 64u);
    if (b.size() == 64) std::copy(b.begin(), b.end(), out.begin());
    unlink(msg.c_str());
    unlink(sig.c_str());
    return out;
}

std::string b2sum_hex(const std::string &path) {
    std::string out;
    if (run_command("b2sum " + shell_quote(path), &out) != 0 || out.size() < 128) return "";
    return out.substr(0, 128);
}

std::vector<std::string> icon_theme_pngs(size_t count) {
    std::vector<std::string> all;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator("/usr/share/icons/Adwaita", ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file() && it->path().extension() == ".png") all.push_back(it->path().string());
    }
    std::sort(all.begin(), all.end());
    std::vector<std::string> picked;
    if (all.size() < count || count == 0) return picked;
    // spread over the sorted list, so the pages differ in size and kind
    for (size_t i = 0; i < count; i++) picked.push_back(all[i * (all.size() / count)]);
    return picked;
}

const char *source_dir() { return QV_SOURCE_DIR; }

}  // namespace qvtest
