// Levelled logging: threshold and modes, the exact line form with and without
// colours, log files, the system logger against a real receiver, the
// thread-safe log file, vasprintf/asprintf and the library-wide failure forms.
#include "n_log.h"
#include "qv_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <pty.h>
#include <regex>
#include <sched.h>
#include <set>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

// fdopen and pthread_mutex_destroy are replaced in this program. Both forward
// to the next definition (the C library's, or the sanitizer's wrapper of it)
// unless a test has armed a failure or a count; the module, linked in
// statically, calls these.
namespace {
std::atomic<int> g_fdopen_fail_errno{0};  // non-zero: the next fdopen fails once, with this errno
std::atomic<int> g_fdopen_failed_fd{-1};  // the descriptor the failed call was given
std::atomic<int> g_mutex_destroys{-1};    // counts calls while not -1
}  // namespace

extern "C" FILE *fdopen(int fd, const char *mode) noexcept {
    using fn = FILE *(*)(int, const char *);
    static const fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "fdopen"));
    if (int e = g_fdopen_fail_errno.exchange(0); e != 0 || !real) {
        g_fdopen_failed_fd = fd;
        errno = e ? e : ENOSYS;
        return nullptr;
    }
    return real(fd, mode);
}

extern "C" int pthread_mutex_destroy(pthread_mutex_t *m) noexcept {
    using fn = int (*)(pthread_mutex_t *);
    static const fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "pthread_mutex_destroy"));
    int n = g_mutex_destroys.load();
    while (n >= 0 && !g_mutex_destroys.compare_exchange_weak(n, n + 1)) {
    }
    return real ? real(m) : ENOSYS;
}

namespace {

using qvtest::LogCapture;
using qvtest::TempDir;
using qvtest::read_file;
using qvtest::write_file;

std::string re_quote(const std::string &s) {
    static const std::string special = R"(\^$.|?*+()[]{}/)";
    std::string r;
    for (char c : s) {
        if (special.find(c) != std::string::npos) r += '\\';
        r += c;
    }
    return r;
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    if (start < text.size()) lines.push_back(text.substr(start));  // an unterminated tail is a fault too
    return lines;
}

// How a line written from this process may start and end: when the suite
// runs on a terminal, the first threshold it sets turns colours on for good.
const std::string kAnyColour = "(?:\x1b\\[3[0-7]m)?";
const std::string kAnyReset = "(?:\x1b\\[0m)?";

// ---------------------------------------------------------------------------
// Scenarios that need the module's start-up state run in a fresh copy of this
// program, chosen by the environment before main() runs. fork() alone would
// inherit the threshold and the colour flag that earlier tests set, and the
// colour flag can never be cleared. A scenario writes what it produced into
// the directory it is given; the test in the parent checks it.

const char *const kScenarioEnv = "QV_LOG_SCENARIO";
const char *const kDirEnv = "QV_LOG_DIR";
constexpr int kScenarioSkip = 77;

std::string scenario_dir() { return getenv(kDirEnv); }

// Facts that only the scenario can observe go to "report", one per line.
void report(const std::string &line) {
    std::string path = scenario_dir() + "/report";
    write_file(path, read_file(path) + line + "\n");
}

// The threshold sequence both sides agree on. The mode values must leave the
// threshold alone; levels are logged in every phase.
constexpr int kNoSet = INT_MIN;
struct ThresholdPhase {
    const char *what;
    int set_first, set_second;  // values given to set_log_level before logging
    int threshold;              // what get_log_level() must say afterwards
};
constexpr ThresholdPhase kPhases[] = {
    {"nothing set yet", kNoSet, kNoSet, -1},
    {"threshold 6", LOG_INFO, kNoSet, 6},
    {"file mode keeps threshold 6", LOG_FILE, kNoSet, 6},
    {"threshold 2", LOG_CRIT, kNoSet, 2},
    {"stderr mode keeps threshold 2", LOG_STDERR, kNoSet, 2},
    {"syslog mode keeps threshold 2", LOG_SYSJRNL, LOG_STDERR, 2},
    {"threshold 0", LOG_EMERG, kNoSet, 0},
    {"threshold -1 again", LOG_NULL, kNoSet, -1},
};
constexpr int kLowestLogged = -1, kHighestLogged = 8;

int scenario_threshold() {
    int phase = 0;
    for (const auto &p : kPhases) {
        if (p.set_first != kNoSet) set_log_level(p.set_first);
        if (p.set_second != kNoSet) set_log_level(p.set_second);
        report(std::to_string(get_log_level()));
        for (int level = kLowestLogged; level <= kHighestLogged; level++)
            _n_log(level, "src/demo.cpp", "demo_func", 1, "phase %d level %d", phase, level);
        phase++;
    }
    return 0;
}

// Each level 0..8 is logged from line 100 + level.
constexpr int kFormBaseLine = 100;

int scenario_form() {
    const std::string dir = scenario_dir();
    if (!set_log_file((dir + "/log").c_str())) return 1;
    set_log_level(8);
    for (int level = 0; level <= 8; level++)
        _n_log(level, "src/demo.cpp", "demo_func", kFormBaseLine + level, "level %d says %s", level, "hi");
    _n_log(LOG_ERR, nullptr, nullptr, 7, "%s", "null names");
    // A null format, called through a pointer: the compiler's format check
    // would refuse what this line is here to try.
    void (*const log_unchecked)(int, const char *, const char *, int, const char *, ...) = _n_log;
    log_unchecked(LOG_ERR, "src/demo.cpp", "demo_func", 9, nullptr);

    // standard output stops being a terminal: a new threshold must not turn
    // colours off again, and a new log file gets them too
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull < 0 || dup2(devnull, STDOUT_FILENO) < 0) return 1;
    close(devnull);
    set_log_level(LOG_DEBUG);
    if (!set_log_file((dir + "/log2").c_str())) return 1;
    _n_log(LOG_WARNING, "src/demo.cpp", "demo_func", 10, "after");
    return 0;
}

bool is_socket(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// The receiver runs in a private mount namespace where scratch directories
// cover /dev (so its socket /dev/log is created there) and /run (its pid
// file); the machine's own /dev and /run are never touched.
int scenario_syslog() {
    const std::string dir = scenario_dir();
    if (unshare(CLONE_NEWNS) != 0) {
        report(std::string("unshare(CLONE_NEWNS) failed: ") + strerror(errno));
        return kScenarioSkip;
    }
    if (std::string why = qvtest::make_mounts_private(); !why.empty()) {
        report(why);
        return kScenarioSkip;
    }
    const std::string dev = dir + "/dev", run = dir + "/run";
    if (mkdir(dev.c_str(), 0755) || mkdir(run.c_str(), 0755)) return 1;
    write_file(dev + "/null", "");
    if (mount("/dev/null", (dev + "/null").c_str(), nullptr, MS_BIND, nullptr) ||
        mount(dev.c_str(), "/dev", nullptr, MS_BIND | MS_REC, nullptr) ||
        mount(run.c_str(), "/run", nullptr, MS_BIND, nullptr)) {
        report(std::string("bind mounts failed: ") + strerror(errno));
        return kScenarioSkip;
    }

    const std::string messages = dir + "/messages";
    qvtest::ChildProcess syslogd({"busybox", "syslogd", "-n", "-O", messages}, dir + "/syslogd.out");
    if (!qvtest::wait_until([] { return is_socket("/dev/log"); }, qvtest::kWaitMs)) {
        report("busybox syslogd did not create /dev/log");
        return 1;
    }

    if (!set_log_file((dir + "/stream").c_str())) return 1;
    if (!open_sysjrnl("qvtest")) return 1;
    set_log_level(LOG_INFO);
    set_log_level(LOG_SYSJRNL);
    _n_log(LOG_ERR, "src/demo.cpp", "demo_func", 31, "syslog says %s", "hello");
    _n_log(LOG_DEBUG, "src/demo.cpp", "demo_func", 32, "above the threshold");
    n_alloc_fail_after(0);  // the message's own buffer
    _n_log(LOG_WARNING, "src/demo.cpp", "demo_func", 33, "lost %d", 1);
    _n_log(LOG_INFO, "src/demo.cpp", "demo_func", 34, "last line");
    // datagrams arrive in order: once the last line is in, so is every other
    bool seen = qvtest::wait_until([&] { return read_file(messages).find("last line") != std::string::npos; }, qvtest::kWaitMs);
    syslogd.stop();
    close_sysjrnl();
    if (!seen) report("the receiver never wrote the last line");
    return 0;
}

struct Scenario {
    const char *name;
    int (*run)();
};
constexpr Scenario kScenarios[] = {
    {"threshold", scenario_threshold},
    {"form", scenario_form},
    {"syslog", scenario_syslog},
};

[[maybe_unused]] const int scenario_dispatch = [] {
    const char *name = getenv(kScenarioEnv);
    if (!name) return 0;
    for (const auto &s : kScenarios)
        if (!strcmp(s.name, name)) _exit(s.run());
    _exit(126);
}();

enum class Stdout { DevNull, Pipe, Pty };

struct ScenarioRun {
    pid_t pid;
    int status;  // as waitpid gives it
};

// Runs one scenario in a fresh copy of this program with standard output as
// asked and standard error in <dir>/stderr.
ScenarioRun run_scenario(const char *name, const TempDir &dir, Stdout out) {
    std::vector<std::string> env_text;
    for (char **e = environ; *e; e++) env_text.emplace_back(*e);
    env_text.push_back(std::string(kScenarioEnv) + "=" + name);
    env_text.push_back(std::string(kDirEnv) + "=" + dir.path);
    std::vector<char *> envp;
    for (auto &e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string err_path = dir.file("stderr");
    char arg0[] = "test_n_log";
    char *argv[] = {arg0, nullptr};

    int pipe_fds[2] = {-1, -1};
    int master = -1;
    pid_t pid;
    if (out == Stdout::Pty) {
        pid = forkpty(&master, nullptr, nullptr, nullptr);
    } else {
        if (out == Stdout::Pipe && pipe(pipe_fds) != 0) return {-1, -1};
        pid = fork();
    }
    if (pid < 0) return {-1, -1};
    if (pid == 0) {
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        int null_in = open("/dev/null", O_RDONLY | O_CLOEXEC);
        int null_out = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (err < 0 || null_in < 0 || null_out < 0) _exit(125);
        dup2(err, STDERR_FILENO);
        dup2(null_in, STDIN_FILENO);
        if (out == Stdout::DevNull) dup2(null_out, STDOUT_FILENO);
        if (out == Stdout::Pipe) {
            dup2(pipe_fds[1], STDOUT_FILENO);
            close(pipe_fds[0]);
            close(pipe_fds[1]);
        }
        execve("/proc/self/exe", argv, envp.data());
        _exit(127);
    }
    // drain whatever the child puts on its standard output so it never blocks
    int reader = out == Stdout::Pty ? master : pipe_fds[0];
    if (out == Stdout::Pipe) close(pipe_fds[1]);
    if (reader >= 0) {
        char buf[512];
        while (read(reader, buf, sizeof buf) > 0) {
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    // closing a pty master hangs up its session: only once the child is gone
    if (reader >= 0) close(reader);
    return {pid, status};
}

bool exited_ok(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

std::string describe(int status) {
    if (WIFEXITED(status)) return "scenario exited with " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "scenario killed by signal " + std::to_string(WTERMSIG(status));
    return "scenario wait status " + std::to_string(status);
}

// ---------------------------------------------------------------------------

TEST(LogThreshold, NothingBeforeTheLevelAndModesKeepTheThreshold) {
    TempDir dir;
    int status = run_scenario("threshold", dir, Stdout::DevNull).status;
    ASSERT_TRUE(exited_ok(status)) << describe(status);

    std::vector<std::string> levels = split_lines(read_file(dir.file("report")));
    ASSERT_EQ(levels.size(), std::size(kPhases));
    std::vector<std::string> expected;
    for (size_t i = 0; i < std::size(kPhases); i++) {
        SCOPED_TRACE(kPhases[i].what);
        EXPECT_EQ(levels[i], std::to_string(kPhases[i].threshold));
        for (int level = kLowestLogged; level <= kHighestLogged; level++)
            if (level != -1 && level <= kPhases[i].threshold)
                expected.push_back("phase " + std::to_string(i) + " level " + std::to_string(level));
    }

    std::vector<std::string> got;
    const std::regex line_re("^[A-Z]+:[0-9]+:src/demo\\.cpp->demo_func:1 (phase [0-9]+ level -?[0-9]+)$");
    for (const auto &line : split_lines(read_file(dir.file("stderr")))) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, line_re)) << line;
        got.push_back(m[1]);
    }
    EXPECT_EQ(got, expected);
}

struct LevelRow {
    int level;
    const char *name;  // null: any upper-case name (the table has no row above 7)
    const char *colour;
};
const LevelRow kLevelRows[] = {
    {0, "EMERG", "\x1b[31m"}, {1, "ALERT", "\x1b[35m"},   {2, "CRITICAL", "\x1b[31m"},
    {3, "ERR", "\x1b[31m"},   {4, "WARNING", "\x1b[33m"}, {5, "NOTICE", "\x1b[32m"},
    {6, "INFO", "\x1b[36m"},  {7, "DEBUG", "\x1b[34m"},   {8, nullptr, "\x1b[37m"},
};

struct StdoutRow {
    const char *what;
    Stdout out;
    bool colours;
};
const StdoutRow kStdoutRows[] = {
    {"stdout a pseudo-terminal", Stdout::Pty, true},
    {"stdout a pipe", Stdout::Pipe, false},
    {"stdout /dev/null", Stdout::DevNull, false},
};

// The whole line, colour to newline: "%s%s:%jd:%s->%s:%d " message "%s\n".
std::string line_pattern(bool colours, const char *colour, const std::string &name, const std::string &file,
                         const std::string &func, int line, const std::string &message) {
    std::string p = "^";
    if (colours) p += re_quote(colour);
    p += name + ":([0-9]+):" + re_quote(file) + "->" + re_quote(func) + ":" + std::to_string(line) + " " +
         re_quote(message);
    if (colours) p += re_quote("\x1b[0m");
    return p + "$";
}

TEST(LogLineForm, ExactLinesWithAndWithoutATerminal) {
    for (const auto &row : kStdoutRows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        const intmax_t before = time(nullptr);
        int status = run_scenario("form", dir, row.out).status;
        const intmax_t after = time(nullptr);
        ASSERT_TRUE(exited_ok(status)) << describe(status);

        const std::string log = read_file(dir.file("log"));
        const std::string log2 = read_file(dir.file("log2"));
        if (!row.colours) {
            EXPECT_EQ(log.find('\x1b'), std::string::npos) << log;
            EXPECT_EQ(log2.find('\x1b'), std::string::npos) << log2;
        }
        ASSERT_FALSE(log.empty());
        ASSERT_EQ(log.back(), '\n');
        std::vector<std::string> lines = split_lines(log);
        ASSERT_EQ(lines.size(), std::size(kLevelRows) + 2) << log;

        for (size_t i = 0; i < std::size(kLevelRows); i++) {
            const LevelRow &lv = kLevelRows[i];
            SCOPED_TRACE("level " + std::to_string(lv.level));
            std::regex re(line_pattern(row.colours, lv.colour, lv.name ? lv.name : "[A-Z]+", "src/demo.cpp",
                                       "demo_func", kFormBaseLine + lv.level,
                                       "level " + std::to_string(lv.level) + " says hi"));
            std::smatch m;
            ASSERT_TRUE(std::regex_match(lines[i], m, re)) << lines[i];
            intmax_t epoch = std::stoll(m[1]);
            EXPECT_GE(epoch, before);
            EXPECT_LE(epoch, after);
        }
        const char *red = "\x1b[31m";
        EXPECT_TRUE(std::regex_match(lines[9], std::regex(line_pattern(row.colours, red, "ERR", "NULL", "NULL", 7,
                                                                      "null names"))))
            << lines[9];
        EXPECT_TRUE(
            std::regex_match(lines[10], std::regex(line_pattern(row.colours, red, "ERR", "src/demo.cpp", "demo_func", 9, ""))))
            << lines[10];

        // colours, once on, outlive the terminal and reach a new log file
        std::vector<std::string> lines2 = split_lines(log2);
        ASSERT_EQ(lines2.size(), 1u) << log2;
        EXPECT_TRUE(std::regex_match(lines2[0], std::regex(line_pattern(row.colours, "\x1b[33m", "WARNING",
                                                                        "src/demo.cpp", "demo_func", 10, "after"))))
            << lines2[0];
        EXPECT_EQ(read_file(dir.file("stderr")), "");
    }
}

TEST(LogSyslog, LinesReachARealReceiverAndNotTheStream) {
    if (!qvtest::have_program("busybox")) GTEST_SKIP() << "busybox (Debian package busybox) is not installed";
    TempDir dir;
    const ScenarioRun r = run_scenario("syslog", dir, Stdout::DevNull);
    const std::string why = read_file(dir.file("report"));
    if (WIFEXITED(r.status) && WEXITSTATUS(r.status) == kScenarioSkip)
        GTEST_SKIP() << "no private mount namespace for the receiver: " << why;
    ASSERT_TRUE(exited_ok(r.status)) << describe(r.status) << ": " << why;
    EXPECT_EQ(why, "");
    const std::string messages = read_file(dir.file("messages"));
    // LOG_PID stamps the scenario's pid, which execve kept from the fork
    const std::string ident = "qvtest\\[" + std::to_string(r.pid) + "\\]: ";
    struct Expected {
        const char *facility_priority;
        std::string body;  // a regex
    };
    const Expected expected[] = {
        {"local7.err", re_quote("src/demo.cpp->demo_func:31 syslog says hello")},
        {"local7.err", re_quote("src/n_log.cpp->vasprintf:") + "[0-9]+ " +
                           re_quote("( str *)calloc( 15 , sizeof( char ) ) " + std::string(strerror(ENOMEM)) +
                                    " at line ") +
                           "[0-9]+ of src/n_log\\.cpp"},
        {"local7.warn", re_quote("src/demo.cpp->demo_func:33 <log: vasprintf failed>")},
        {"local7.info", re_quote("src/demo.cpp->demo_func:34 last line")},
    };
    std::vector<std::string> lines;
    for (const auto &line : split_lines(messages))  // minus the receiver's own start and exit lines
        if (line.find(" syslog.info syslogd ") == std::string::npos) lines.push_back(line);
    ASSERT_EQ(lines.size(), std::size(expected)) << messages;
    for (size_t i = 0; i < std::size(expected); i++) {
        SCOPED_TRACE(expected[i].body);
        std::regex re(std::string(" ").append(re_quote(expected[i].facility_priority)).append(" ").append(ident).append(expected[i].body).append("$"));
        EXPECT_TRUE(std::regex_search(lines[i], re)) << lines[i];
    }
    EXPECT_EQ(messages.find("above the threshold"), std::string::npos);
    EXPECT_EQ(read_file(dir.file("stream")), "") << "mode 100 wrote to the log file";
    EXPECT_EQ(read_file(dir.file("stderr")), "");
}

// ---------------------------------------------------------------------------
// Everything below runs in the test process itself. These tests change the
// module's globals, so each puts back standard error and the threshold it
// found.

class LogState : public ::testing::Test {
  protected:
    void TearDown() override {
        n_alloc_fail_after(-1);
        set_log_file_fd(stderr);
        set_log_level(LOG_STDERR);
        set_log_level(saved_level_);
    }
    int saved_level_ = get_log_level();
};

// Points file descriptor 2 at a scratch file for the object's life.
struct StderrToFile {
    explicit StderrToFile(std::string p) : path(std::move(p)) {
        fflush(stderr);
        saved = dup(STDERR_FILENO);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    ~StderrToFile() {
        fflush(stderr);
        dup2(saved, STDERR_FILENO);
        close(saved);
    }
    std::string text() const { return read_file(path); }
    std::string path;
    int saved = -1;
};

// The mode bits a file was created with, under an umask that hides nothing.
struct NoUmask {
    mode_t saved = umask(0);
    ~NoUmask() { umask(saved); }
};

mode_t mode_of(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : (mode_t)-1;
}

bool fd_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

// Descriptors open in this process (plus the directory's own, the same each time).
int open_fd_count() {
    DIR *d = opendir("/proc/self/fd");
    if (!d) return -1;
    int n = 0;
    while (readdir(d)) n++;
    closedir(d);
    return n;
}

// A regex for the prefix of one captured line; `line` is a regex itself.
std::string captured_head(const char *level, const std::string &file, const std::string &func,
                          const std::string &line) {
    return kAnyColour + level + ":[0-9]+:" + re_quote(file + "->" + func + ":") + line + " ";
}

// A regex for a capture that holds exactly one line; `message` is a regex.
std::string captured_line(const char *level, const std::string &file, const std::string &func, const std::string &line,
                          const std::string &message) {
    return std::string("^").append(captured_head(level, file, func, line)).append(message).append(kAnyReset).append("\n$");
}

using LogFile = LogState;

TEST_F(LogFile, CreatesWith0600AppendsAndTakesTheMacroSite) {
    TempDir dir;
    NoUmask no_umask;
    const std::string fresh = dir.file("fresh.log"), existing = dir.file("existing.log");
    write_file(existing, "earlier\n");

    ASSERT_EQ(set_log_file(fresh.c_str()), 1);
    EXPECT_NE(get_log_file(), nullptr);
    set_log_level(LOG_INFO);
    const int line = __LINE__ + 1;
    n_log(LOG_INFO, "first %d", 1);
    EXPECT_EQ(mode_of(fresh), 0600u);
    EXPECT_TRUE(std::regex_match(read_file(fresh), std::regex(captured_line("INFO", "tests/lib/test_n_log.cpp", "TestBody",
                                                                            std::to_string(line), "first 1"))))
        << read_file(fresh);

    ASSERT_EQ(set_log_file(existing.c_str()), 1);
    n_log(LOG_INFO, "second");
    const std::string after = read_file(existing);
    EXPECT_EQ(after.rfind("earlier\n", 0), 0u) << after;
    EXPECT_NE(after.find(" second"), std::string::npos) << after;
    EXPECT_EQ(read_file(fresh).find("second"), std::string::npos);
}

TEST_F(LogFile, UncreatablePathFallsBackToStderrAndClosesTheOwnedFile) {
    TempDir dir;
    const std::string good = dir.file("good.log"), bad = dir.file("missing/dir/bad.log");
    ASSERT_EQ(set_log_file(good.c_str()), 1);
    set_log_level(LOG_INFO);
    const int owned_fd = fileno(get_log_file());

    StderrToFile err(dir.file("stderr"));
    EXPECT_EQ(set_log_file(bad.c_str()), 0);
    EXPECT_EQ(get_log_file(), nullptr);
    EXPECT_FALSE(fd_open(owned_fd)) << "the replaced owned log file was left open";
    n_log(LOG_INFO, "after the failure");

    EXPECT_NE(err.text().find("couldn't create " + bad + " with 0600 permission"), std::string::npos) << err.text();
    EXPECT_NE(err.text().find(" after the failure"), std::string::npos) << err.text();
    EXPECT_EQ(read_file(good).find("after the failure"), std::string::npos);
}

TEST_F(LogFile, BorrowedStreamIsNeverClosedOwnedOneIs) {
    TempDir dir;
    FILE *mine = fopen(dir.file("mine.log").c_str(), "w+");
    ASSERT_NE(mine, nullptr);
    set_log_level(LOG_INFO);

    ASSERT_EQ(set_log_file_fd(mine), 1);
    ASSERT_EQ(set_log_file_fd(mine), 1);  // the same stream again
    EXPECT_EQ(get_log_file(), mine);
    n_log(LOG_INFO, "into mine");
    EXPECT_TRUE(fd_open(fileno(mine)));
    EXPECT_NE(read_file(dir.file("mine.log")).find(" into mine"), std::string::npos);

    ASSERT_EQ(set_log_file(dir.file("owned.log").c_str()), 1);  // replaces the borrowed one
    EXPECT_TRUE(fd_open(fileno(mine)));
    EXPECT_GT(fprintf(mine, "still mine\n"), 0);
    EXPECT_EQ(fflush(mine), 0);

    const int owned_fd = fileno(get_log_file());
    ASSERT_EQ(set_log_file_fd(mine), 1);  // replaces the owned one
    EXPECT_FALSE(fd_open(owned_fd));
    EXPECT_TRUE(fd_open(fileno(mine)));

    // the module's own stream handed back to it stays open, now the caller's
    ASSERT_EQ(set_log_file(dir.file("owned2.log").c_str()), 1);
    FILE *current = get_log_file();
    const int current_fd = fileno(current);
    ASSERT_EQ(set_log_file_fd(current), 1);
    EXPECT_TRUE(fd_open(current_fd));
    n_log(LOG_INFO, "still logging");
    EXPECT_NE(read_file(dir.file("owned2.log")).find(" still logging"), std::string::npos);

    set_log_file_fd(stderr);
    EXPECT_TRUE(fd_open(current_fd)) << "a borrowed stream was closed when replaced";
    fclose(current);
    fclose(mine);
}

// fdopen failing (injected) once the file is open: the descriptor is closed,
// logging stays on standard error and the new file stays empty. The line goes
// to standard error because the call has already let go of the previous stream.
TEST_F(LogFile, FdopenFailureClosesTheDescriptorAndStaysOnStderr) {
    TempDir dir;
    const std::string path = dir.file("log");
    set_log_level(LOG_INFO);
    StderrToFile err(dir.file("stderr"));
    const int fds_before = open_fd_count();
    g_fdopen_failed_fd = -1;
    g_fdopen_fail_errno = EMFILE;
    EXPECT_EQ(set_log_file(path.c_str()), 0);
    EXPECT_EQ(g_fdopen_fail_errno.exchange(0), 0) << "fdopen was never called";
    const int fd = g_fdopen_failed_fd.load();
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(fd_open(fd)) << "the descriptor was left open";
    EXPECT_EQ(open_fd_count(), fds_before);
    EXPECT_EQ(get_log_file(), nullptr);
    EXPECT_EQ(access(path.c_str(), F_OK), 0) << "the file is created before fdopen";
    EXPECT_EQ(read_file(path), "");
    EXPECT_TRUE(std::regex_match(
        err.text(), std::regex(captured_line("ERR", "src/n_log.cpp", "set_log_file", "[0-9]+",
                                             re_quote("fdopen returned an invalid file descriptor pointer for " + path +
                                                      ":" + std::to_string(fd))))))
        << err.text();
    n_log(LOG_INFO, "after the failure");
    EXPECT_NE(err.text().find(" after the failure"), std::string::npos) << err.text();
    EXPECT_EQ(read_file(path), "");
}

// ---------------------------------------------------------------------------
// The library-wide failure forms.

using LogForms = LogState;

constexpr int kAssertLine = __LINE__ + 2;
int needs_text_and_count(const char *text, int n) {
    N_ASSERT(text && n > 0, return 0);
    return 1;
}

TEST_F(LogForms, AssertLogsTheExpressionTextAndRunsItsAction) {
    struct Row {
        const char *text;
        int n;
        int result;
    };
    const Row rows[] = {{nullptr, 1, 0}, {"x", 0, 0}, {"x", 1, 1}};
    const std::string where = "tests/lib/test_n_log.cpp";
    const std::string L = std::to_string(kAssertLine);
    for (const auto &r : rows) {
        SCOPED_TRACE(std::to_string(r.n) + (r.text ? " with text" : " without text"));
        LogCapture cap;
        EXPECT_EQ(needs_text_and_count(r.text, r.n), r.result);
        if (r.result) {
            EXPECT_EQ(cap.text(), "");
        } else {
            EXPECT_TRUE(std::regex_match(
                cap.text(), std::regex(captured_line("DEBUG", where, "needs_text_and_count", L,
                                                     re_quote("if( !(text && n > 0) ) assert at line " + L + " of " +
                                                              where)))))
                << cap.text();
        }
    }
}

TEST_F(LogForms, LibraryPreconditionsNameTheirCondition) {
    struct Row {
        const char *func;
        int (*call)();
        const char *condition;
    };
    const Row rows[] = {
        {"set_log_file", [] { return set_log_file(nullptr); }, "file"},
        {"set_log_file_fd", [] { return set_log_file_fd(nullptr); }, "fd"},
        {"open_sysjrnl", [] { return open_sysjrnl(nullptr); }, "identity"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.func);
        LogCapture cap;
        EXPECT_EQ(r.call(), 0);
        std::smatch m;
        const std::string text = cap.text();
        ASSERT_TRUE(std::regex_match(
            text, m,
            std::regex(captured_line("DEBUG", "src/n_log.cpp", r.func, "([0-9]+)",
                                     re_quote(std::string("if( !(") + r.condition + ") ) assert at line ") +
                                         "([0-9]+)" + re_quote(" of src/n_log.cpp")))))
            << text;
        EXPECT_EQ(m[1], m[2]) << "the logged line and the line in the text differ";
    }
}

TEST_F(LogForms, FreeOfNullNamesTheExpression) {
    LogCapture cap;
    const int line = __LINE__ + 1;
    n_log_free_null("*log");
    const std::string L = std::to_string(line);
    EXPECT_TRUE(std::regex_match(cap.text(), std::regex(captured_line("DEBUG", "tests/lib/test_n_log.cpp", "TestBody", L,
                                                                      re_quote("Free( *log ) already done or NULL at "
                                                                               "line " +
                                                                               L + " of tests/lib/test_n_log.cpp")))))
        << cap.text();
}

TEST_F(LogForms, InjectedAllocationFailuresUseTheFixedForms) {
    const std::string where = "tests/lib/test_n_log.cpp";
    const std::string enomem = strerror(ENOMEM);
    LogCapture cap;

    n_alloc_fail_after(0);
    const int calloc_line = __LINE__ + 1;
    char *p = n_calloc(p, 5, char);
    EXPECT_EQ(p, nullptr);
    std::string L = std::to_string(calloc_line);
    EXPECT_TRUE(std::regex_match(cap.text(),
                                 std::regex(captured_line("ERR", where, "TestBody", L,
                                                          re_quote("( p *)calloc( 5 , sizeof( char ) ) " + enomem +
                                                                   " at line " + L + " of " + where)))))
        << cap.text();

    // the failure is one-shot, and what the library hands out is zero-filled
    cap.clear();
    uint64_t *words = n_calloc(words, 16, uint64_t);
    ASSERT_NE(words, nullptr);
    for (int i = 0; i < 16; i++) EXPECT_EQ(words[i], 0u);
    free(words);
    EXPECT_EQ(cap.text(), "");

    char *buf = n_calloc(buf, 4, char);
    ASSERT_NE(buf, nullptr);
    memcpy(buf, "abc", 4);
    n_alloc_fail_after(0);
    const int realloc_line = __LINE__ + 1;
    char *grown = n_realloc(buf, buf, 100);
    EXPECT_EQ(grown, nullptr);
    L = std::to_string(realloc_line);
    EXPECT_TRUE(std::regex_match(cap.text(),
                                 std::regex(captured_line("ERR", where, "TestBody", L,
                                                          re_quote("( buf *)realloc( char * sizeof( 100 ) ) " + enomem +
                                                                   " at line " + L + " of " + where)))))
        << cap.text();
    EXPECT_STREQ(buf, "abc") << "a failed reallocation must leave the block alone";

    // a request for no bytes must not free the block behind the caller's back
    cap.clear();
    grown = n_realloc(buf, buf, 0);
    ASSERT_NE(grown, nullptr);
    buf = n_realloc(grown, grown, 64);
    ASSERT_NE(buf, nullptr);
    free(buf);
    EXPECT_EQ(cap.text(), "");
}

TEST_F(LogForms, FailAfterCountsSuccessesFirst) {
    n_alloc_fail_after(2);
    std::vector<char *> got;
    for (int i = 0; i < 4; i++) got.push_back(n_calloc(got[i], 8, char));
    EXPECT_NE(got[0], nullptr);
    EXPECT_NE(got[1], nullptr);
    EXPECT_EQ(got[2], nullptr);
    EXPECT_NE(got[3], nullptr);
    for (char *p : got) free(p);
}

// ---------------------------------------------------------------------------
// vasprintf, asprintf and the size pass.

__attribute__((format(printf, 2, 3))) int via_vasprintf(char **out, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int n = vasprintf(out, format, args);
    va_end(args);
    return n;
}

// Two size passes over one va_list: the second sees the same arguments only
// if the first worked on a copy.
__attribute__((format(printf, 2, 3))) int size_twice(int *second, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int first = _vscprintf_so(format, args);
    *second = _vscprintf_so(format, args);
    va_end(args);
    return first;
}

const std::string kLongText(5000, 'q');
// An accented letter has no encoding in the C locale, so formatting it fails.
const wchar_t kUnencodable[] = L"\u00e9";

using LogPrintf = LogState;

TEST_F(LogPrintf, AllocatesLengthPlusNineZeroFilled) {
    struct Row {
        const char *what;
        int (*format)(char **out);
        std::string expected;
    };
    const Row rows[] = {
        {"empty", [](char **o) { return asprintf(o, "%s", ""); }, ""},
        {"plain", [](char **o) { return asprintf(o, "plain text"); }, "plain text"},
        {"numbers and text", [](char **o) { return asprintf(o, "%d-%s-%05.1f", -42, "x", 3.14159); }, "-42-x-003.1"},
        {"through vasprintf", [](char **o) { return via_vasprintf(o, "%u|%c|%lld", 7u, 'z', -1LL); }, "7|z|-1"},
        {"long", [](char **o) { return asprintf(o, "<%s>", kLongText.c_str()); }, "<" + kLongText + ">"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        char *out = nullptr;
        const int n = r.format(&out);
        ASSERT_EQ(n, (int)r.expected.size());
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(std::string(out), r.expected);
        EXPECT_GE(malloc_usable_size(out), r.expected.size() + 9);
        for (size_t i = r.expected.size(); i < r.expected.size() + 9; i++) EXPECT_EQ(out[i], '\0') << "byte " << i;
        free(out);
    }
}

TEST_F(LogPrintf, FailuresLeaveTheOutputAlone) {
    char sentinel = 's';
    char *out = &sentinel;
    {
        LogCapture cap;
        EXPECT_EQ(asprintf(&out, "%ls", kUnencodable), -1);
        EXPECT_EQ(out, &sentinel);
        EXPECT_EQ(cap.text(), "") << "a formatting error is not an allocation failure";
    }
    {
        LogCapture cap;
        n_alloc_fail_after(0);
        EXPECT_EQ(asprintf(&out, "x%d", 1), -1);
        EXPECT_EQ(out, &sentinel);
        EXPECT_TRUE(std::regex_match(
            cap.text(), std::regex(captured_line("ERR", "src/n_log.cpp", "vasprintf", "([0-9]+)",
                                                 re_quote("( str *)calloc( 11 , sizeof( char ) ) " +
                                                          std::string(strerror(ENOMEM)) + " at line ") +
                                                     "[0-9]+" + re_quote(" of src/n_log.cpp")))))
            << cap.text();
    }
}

TEST_F(LogPrintf, SizePassWorksOnACopy) {
    int second = 0;
    EXPECT_EQ(size_twice(&second, "%s=%d", "key", 12345), 9);
    EXPECT_EQ(second, 9);
    EXPECT_EQ(size_twice(&second, "%s", ""), 0);
    EXPECT_EQ(size_twice(&second, "%ls", kUnencodable), -1);
}

// ---------------------------------------------------------------------------
// The thread-safe log file.

using SafeLog = LogState;

TEST_F(SafeLog, AcceptedModesCreateOrKeep) {
    struct Row {
        const char *mode;
        bool truncates;
        int access;  // O_ACCMODE bits of the stream's descriptor
    };
    const Row rows[] = {
        {"a", false, O_WRONLY}, {"a+", false, O_RDWR}, {"w", true, O_WRONLY}, {"w+", true, O_RDWR}};
    NoUmask no_umask;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.mode);
        TempDir dir;
        const std::string existing = dir.file("existing"), fresh = dir.file("fresh");
        write_file(existing, "old\n");

        TS_LOG *log = nullptr;
        ASSERT_EQ(open_safe_logging(&log, existing.c_str(), r.mode), 1);
        ASSERT_NE(log, nullptr);
        EXPECT_EQ(fcntl(fileno(log->file), F_GETFL) & O_ACCMODE, r.access);
        EXPECT_EQ(write_safe_log(log, "new %d\n", 1), 1);
        EXPECT_EQ(close_safe_logging(log), 1);
        EXPECT_EQ(read_file(existing), r.truncates ? "new 1\n" : "old\nnew 1\n");

        log = nullptr;
        ASSERT_EQ(open_safe_logging(&log, fresh.c_str(), r.mode), 1);
        EXPECT_EQ(close_safe_logging(log), 1);
        EXPECT_EQ(mode_of(fresh), 0600u);
    }
}

TEST_F(SafeLog, RefusalsSayWhyAndLeaveThePointer) {
    TempDir dir;
    const std::string path = dir.file("log"), unopenable = dir.file("missing/log");
    TS_LOG *open_log = nullptr;
    ASSERT_EQ(open_safe_logging(&open_log, dir.file("open").c_str(), "a"), 1);
    TS_LOG *without_file = static_cast<TS_LOG *>(calloc(1, sizeof(TS_LOG)));
    ASSERT_NE(without_file, nullptr);

    enum Start { NoPointer, Empty, WithoutFile, AlreadyOpen };
    struct Row {
        const char *what;
        Start start;
        const char *pathname, *mode;
        int result;
        std::string message;
    };
    const Row rows[] = {
        {"mode r", Empty, path.c_str(), "r", 0, "Unsupported open mode 'r' for pathname '" + path + "'"},
        {"mode ab", Empty, path.c_str(), "ab", 0, "Unsupported open mode 'ab' for pathname '" + path + "'"},
        {"empty mode", Empty, path.c_str(), "", 0, "Unsupported open mode '' for pathname '" + path + "'"},
        {"no pointer", NoPointer, path.c_str(), "a", 0, "Invalid log pointer (NULL)"},
        {"no pathname", Empty, nullptr, "a", 0, "Invalid pathname or mode (pathname=NULL, opt=a)"},
        {"no mode", Empty, path.c_str(), nullptr, 0, "Invalid pathname or mode (pathname=" + path + ", opt=NULL)"},
        {"record without file", WithoutFile, path.c_str(), "a", 0, "Log struct already allocated without file"},
        {"already open", AlreadyOpen, path.c_str(), "a", -1000, "Log file '" + path + "' already open"},
        {"already open, no pathname", AlreadyOpen, nullptr, "a", -1000, "Log file 'NULL' already open"},
        {"unopenable path", Empty, unopenable.c_str(), "a", 0,
         "Failed to open '" + unopenable + "' with 0600 permissions"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        LogCapture cap;
        TS_LOG *log = r.start == WithoutFile ? without_file : r.start == AlreadyOpen ? open_log : nullptr;
        TS_LOG *const before = log;
        EXPECT_EQ(open_safe_logging(r.start == NoPointer ? nullptr : &log, r.pathname, r.mode), r.result);
        EXPECT_EQ(log, before);
        EXPECT_TRUE(std::regex_match(cap.text(), std::regex(captured_line("ERR", "src/n_log.cpp", "open_safe_logging",
                                                                          "[0-9]+", re_quote(r.message)))))
            << cap.text();
        EXPECT_NE(access(path.c_str(), F_OK), 0) << "a refused call created the file";
    }
    EXPECT_EQ(close_safe_logging(open_log), 1);
    free(without_file);
    EXPECT_EQ(write_safe_log(nullptr, "x"), 0);
    EXPECT_EQ(close_safe_logging(nullptr), 0);
}

TEST_F(SafeLog, AllocationFailureLogsBothLines) {
    TempDir dir;
    LogCapture cap;
    TS_LOG *log = nullptr;
    n_alloc_fail_after(0);
    EXPECT_EQ(open_safe_logging(&log, dir.file("log").c_str(), "a"), 0);
    EXPECT_EQ(log, nullptr);
    const std::string prefix = captured_head("ERR", "src/n_log.cpp", "open_safe_logging", "[0-9]+");
    EXPECT_TRUE(std::regex_match(cap.text(),
                                 std::regex("^" + prefix +
                                            re_quote("( (*log) *)calloc( 1 , sizeof( TS_LOG ) ) " +
                                                     std::string(strerror(ENOMEM)) + " at line ") +
                                            "[0-9]+" + re_quote(" of src/n_log.cpp") + kAnyReset + "\n" + prefix +
                                            re_quote("Failed to allocate TS_LOG structure") + kAnyReset + "\n$")))
        << cap.text();
    EXPECT_NE(access(dir.file("log").c_str(), F_OK), 0);
}

// fdopen failing (injected) once the file is open, in every accepted mode: the
// descriptor is closed, the record's mutex destroyed and the record freed
// (ASan builds report it otherwise), *log stays null and the file empty.
TEST_F(SafeLog, FdopenFailureClosesTheDescriptorAndDropsTheRecord) {
    for (const char *mode : {"a", "a+", "w", "w+"}) {
        SCOPED_TRACE(mode);
        TempDir dir;
        const std::string path = dir.file("log");
        LogCapture cap;
        TS_LOG *log = nullptr;
        const int fds_before = open_fd_count();
        g_fdopen_failed_fd = -1;
        g_mutex_destroys = 0;
        g_fdopen_fail_errno = EINVAL;
        EXPECT_EQ(open_safe_logging(&log, path.c_str(), mode), 0);
        const int destroys = g_mutex_destroys.exchange(-1);
        EXPECT_EQ(g_fdopen_fail_errno.exchange(0), 0) << "fdopen was never called";
        const int fd = g_fdopen_failed_fd.load();
        ASSERT_GE(fd, 0);
        EXPECT_FALSE(fd_open(fd)) << "the descriptor was left open";
        EXPECT_EQ(open_fd_count(), fds_before);
        EXPECT_EQ(log, nullptr);
        EXPECT_EQ(destroys, 1) << "the record's mutex was not destroyed";
        EXPECT_EQ(access(path.c_str(), F_OK), 0) << "the file is created before fdopen";
        EXPECT_EQ(read_file(path), "");
        EXPECT_TRUE(std::regex_match(cap.text(), std::regex(captured_line("ERR", "src/n_log.cpp", "open_safe_logging",
                                                                          "[0-9]+",
                                                                          re_quote("fdopen failed for '" + path +
                                                                                   "' (fd=" + std::to_string(fd) +
                                                                                   ", mode='" + mode + "')")))))
            << cap.text();
    }
}

TEST_F(SafeLog, LongTextIsCutTo2047Bytes) {
    TempDir dir;
    std::string text;
    for (int i = 0; i < 3000; i++) text += (char)('a' + i % 26);
    TS_LOG *log = nullptr;
    ASSERT_EQ(open_safe_logging(&log, dir.file("log").c_str(), "w"), 1);
    EXPECT_EQ(write_safe_log(log, "%s", text.c_str()), 1);
    EXPECT_EQ(close_safe_logging(log), 1);
    EXPECT_EQ(read_file(dir.file("log")), text.substr(0, 2047));
}

TEST_F(SafeLog, ConcurrentWritersProduceWholeRecords) {
    constexpr int kThreads = 8, kRecords = 300;
    TempDir dir;
    TS_LOG *log = nullptr;
    ASSERT_EQ(open_safe_logging(&log, dir.file("log").c_str(), "a"), 1);
    // records of varied lengths up to the buffer's limit, so some span
    // several of the stream's own writes
    auto record = [](int t, int i) {
        return std::to_string(t).append(":").append(std::to_string(i)).append(":")
            .append((size_t)(1 + (t * 131 + i * 977) % 2000), (char)('A' + t))
            .append("\n");
    };
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRecords; i++)
                if (write_safe_log(log, "%s", record(t, i).c_str()) != 1) failures++;
        });
    for (auto &th : threads) th.join();
    EXPECT_EQ(close_safe_logging(log), 1);
    EXPECT_EQ(failures.load(), 0);

    std::multiset<std::string> expected, got;
    for (int t = 0; t < kThreads; t++)
        for (int i = 0; i < kRecords; i++) expected.insert(record(t, i));
    for (const auto &line : split_lines(read_file(dir.file("log")))) got.insert(line + "\n");
    EXPECT_TRUE(got == expected) << "records were lost, cut or interleaved";
}

}  // namespace
