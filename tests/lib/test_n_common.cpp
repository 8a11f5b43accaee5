// Child processes against real children: exit codes and missing programs,
// capture caps and time-outs, SIGTERM escalated to SIGKILL, grandchildren
// that keep the pipe, SIGPIPE kept from the caller, the argument limit at n
// and n + 1, descriptors seen from the child's /proc, daemonising in a
// throw-away process, and "xdg-open" replaced by a fake one first on PATH.
#include "n_common.h"

#include "n_log.h"
#include "qv_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <thread>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using qvtest::LogCapture;
using qvtest::TempDir;

namespace {


int64_t mono_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

std::string text(N_STR *s) { return s && s->data ? std::string(s->data, s->written) : "<null>"; }

// The descriptors open in this process, as "0 1 2 ...", without the one
// that reads the directory.
std::string open_fds() {
    std::vector<int> fds;
    DIR *d = opendir("/proc/self/fd");
    if (!d) return "?";
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.' && atoi(e->d_name) != dirfd(d)) fds.push_back(atoi(e->d_name));
    closedir(d);
    std::sort(fds.begin(), fds.end());
    std::string s;
    for (int fd : fds) s.append(s.empty() ? "" : " ").append(std::to_string(fd));
    return s;
}

// Sets an environment variable for the life of the object.
struct EnvScope {
    std::string name;
    std::string old;
    bool had;
    EnvScope(const std::string &n, const std::string &v) : name(n) {
        const char *o = getenv(n.c_str());
        had = o != nullptr;
        if (had) old = o;
        setenv(n.c_str(), v.c_str(), 1);
    }
    ~EnvScope() {
        if (had) setenv(name.c_str(), old.c_str(), 1);
        else unsetenv(name.c_str());
    }
};

// ---------------------------------------------------------------------------
// Subjects: this binary started as a child with QV_COMMON_SUBJECT set does
// one thing and exits before GoogleTest starts.

void put(const char *path, const std::string &s) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) _exit(5);
    if (write(fd, s.data(), s.size()) != (ssize_t)s.size()) _exit(6);
    close(fd);
}

int run_subject() {
    const char *op = getenv("QV_COMMON_SUBJECT");
    if (!op) return 0;
    const char *out = getenv("QV_COMMON_OUT");
    if (strcmp(op, "fds") == 0) {
        // The list and what stdin is, to stdout or to a file.
        char in[256] = {0};
        if (readlink("/proc/self/fd/0", in, sizeof in - 1) < 0) strcpy(in, "closed");
        const std::string report = open_fds() + "|" + in + "|" + std::to_string(getpgrp() == getpid()) + "\n";
        if (out) put(out, report);
        else if (write(1, report.data(), report.size()) < 0) _exit(7);
        _exit(0);
    }
    if (strcmp(op, "daemon") == 0) {
        const std::string flags = getenv("QV_COMMON_FLAGS");
        const pid_t before_sid = getsid(0);
        if (flags == "default") n_daemonize();
        else n_daemonize_ex(atoi(flags.c_str()));
        // Only the daemon gets here.
        char cwd[512] = {0}, in[256] = {0};
        if (!getcwd(cwd, sizeof cwd)) strcpy(cwd, "?");
        if (readlink("/proc/self/fd/0", in, sizeof in - 1) < 0) strcpy(in, "closed");
        const mode_t um = umask(0);
        const std::string report = open_fds() + "|" + in + "|" + cwd + "|" + std::to_string(um) + "|" +
                                   std::to_string(getsid(0) != before_sid) + "|" +
                                   std::to_string(getsid(0) == getpid()) + "\n";
        put((std::string(out) + ".tmp").c_str(), report);
        rename((std::string(out) + ".tmp").c_str(), out);
        _exit(0);
    }
    if (strcmp(op, "abort") == 0) n_abort("stopping: %s %d %s", "code", 7, std::string(3000, 'x').c_str());
    _exit(2);
}
[[maybe_unused]] const int subject_ran = run_subject();

const char *const kNoArgs[] = {nullptr};

}  // namespace

// ---------------------------------------------------------------------------
// Exit codes and missing programs.

TEST(NCommonSpawn, ExitCodesAndMissingPrograms) {
    struct Case {
        const char *name;
        std::vector<const char *> argv;  // program, then arguments
        int ok, code;
        const char *log;
    } cases[] = {
        {"exit 0", {"sh", "-c", "exit 0"}, 1, 0, nullptr},
        {"exit 3", {"sh", "-c", "exit 3"}, 0, 3, nullptr},
        {"missing program", {"qv-no-such-program-here"}, 0, 127, "could not be found or started"},
        {"ended by a signal", {"sh", "-c", "kill -KILL $$"}, 0, -1, "was ended by a signal"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<const char *> args(c.argv.begin() + 1, c.argv.end());
        args.push_back(nullptr);
        LogCapture cap;
        int code = 99;
        EXPECT_EQ(n_spawn_wait(c.argv[0], args.data(), &code), c.ok);
        EXPECT_EQ(code, c.code);
        if (c.log) {
            EXPECT_TRUE(cap.contains(std::string("n_spawn_wait: ") + c.argv[0] + " " + c.log)) << cap.text();
        }
        code = 99;
        int flags = 99;
        N_STR *out = nullptr;
        EXPECT_EQ(n_spawn_capture(c.argv[0], args.data(), 0, 0, &out, &code, &flags), c.ok);
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(flags, 0);
        free_nstr_ptr_nolog(out);
        if (c.log) {
            EXPECT_TRUE(cap.contains(std::string("n_spawn_capture: ") + c.argv[0] + " " + c.log)) << cap.text();
        }
        // Through a pipe: the close reports the same.
        N_SPAWN_PIPE *sp = n_spawn_pipe_open_read(c.argv[0], args.data(), nullptr);
        ASSERT_TRUE(sp);
        code = 99;
        EXPECT_EQ(n_spawn_pipe_close(&sp, 0, &code), c.ok);
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(sp, nullptr);
    }
    EXPECT_EQ(n_spawn_detached("qv-no-such-program-here", nullptr), 1) << "a detached exec failure cannot be seen";
    LogCapture cap;
    int code = 5;
    EXPECT_EQ(n_spawn_wait(nullptr, nullptr, &code), 0);
    EXPECT_EQ(code, -1);
    EXPECT_TRUE(cap.contains("if( !(program) ) assert"));
}

TEST(NCommonSpawn, ArgumentLimitHoldsAtNAndNPlusOne) {
    std::vector<std::string> words;
    // "-c", the script, argument zero of the script, then the rest: 62 in all.
    std::vector<const char *> args = {"-c", "echo $#", "sh"};
    for (size_t i = args.size(); i < N_SPAWN_MAX_ARGS; i++) words.push_back(std::string("a").append(std::to_string(i)));
    for (const auto &w : words) args.push_back(w.c_str());
    ASSERT_EQ(args.size(), N_SPAWN_MAX_ARGS);
    args.push_back(nullptr);

    N_STR *out = nullptr;
    ASSERT_EQ(n_spawn_capture("sh", args.data(), 0, 0, &out, nullptr, nullptr), 1);
    EXPECT_EQ(text(out), std::to_string(N_SPAWN_MAX_ARGS - 3) + "\n") << "all 62 reached the child";
    free_nstr_ptr_nolog(out);

    args.back() = "one-too-many";
    args.push_back(nullptr);
    struct Case {
        const char *msg;
        bool (*call)(const char *const *);
    } cases[] = {
        {"n_spawn_wait: more than 62 arguments", [](const char *const *a) { return n_spawn_wait("sh", a, nullptr) == 1; }},
        {"n_spawn_detached: more than 62 arguments", [](const char *const *a) { return n_spawn_detached("true", a) == 1; }},
        {"n_spawn_capture: more than 62 arguments",
         [](const char *const *a) { return n_spawn_capture("sh", a, 0, 0, nullptr, nullptr, nullptr) == 1; }},
        {"n_spawn_pipe_open: more than 62 arguments", [](const char *const *a) { return n_spawn_pipe_open("sh", a, nullptr) != nullptr; }},
        {"n_spawn_pipe_open_read: more than 62 arguments",
         [](const char *const *a) { return n_spawn_pipe_open_read("sh", a, nullptr) != nullptr; }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.msg);
        LogCapture cap;
        EXPECT_FALSE(c.call(args.data()));
        EXPECT_TRUE(cap.contains(c.msg)) << cap.text();
    }
}

// ---------------------------------------------------------------------------
// Capture.

TEST(NCommonCapture, CapAndInterleavedStreams) {
    struct Case {
        size_t cap, want;
        int flags;
    } cases[] = {{100, 100, N_SPAWN_TRUNCATED}, {0, 10000, 0}, {10000, 10000, 0}, {9999, 9999, N_SPAWN_TRUNCATED}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.cap);
        N_STR *out = nullptr;
        int code = 99, flags = 99;
        // Written in small pieces so that the cap falls inside a chunk and
        // later chunks arrive after it.
        EXPECT_EQ(n_shell_capture("i=0; while [ $i -lt 100 ]; do printf '%0100d' $i; i=$((i+1)); done", 0, c.cap, &out,
                                  &code, &flags),
                  1);
        EXPECT_EQ(code, 0);
        EXPECT_EQ(flags, c.flags);
        ASSERT_TRUE(out);
        EXPECT_EQ(out->written, c.want);
        EXPECT_EQ(std::string(out->data, 100), std::string(100, '0'));
        EXPECT_EQ(out->data[out->written], '\0');
        free_nstr_ptr_nolog(out);
    }
    N_STR *out = nullptr;
    ASSERT_EQ(n_shell_capture("echo one; echo two >&2; echo three", 0, 0, &out, nullptr, nullptr), 1);
    EXPECT_EQ(text(out), "one\ntwo\nthree\n");
    free_nstr_ptr_nolog(out);
}

TEST(NCommonCapture, TimeOutStopsTheGroupAndEscalates) {
    // Long enough for the shell to have printed its pid (and set its trap)
    // before it runs out, however busy the machine.
    constexpr int kTimeOutMs = 2000;
    struct Case {
        const char *name, *cmd;
        int64_t min_ms;
    } cases[] = {
        // The shell's child is in the group too: it must go with it.
        {"plain", "echo $$; sleep 600", kTimeOutMs},
        // SIGTERM ignored (and inherited by sleep): SIGKILL 2000 ms later.
        {"traps SIGTERM", "trap '' TERM; echo $$; sleep 600", kTimeOutMs + 2000},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture cap;
        N_STR *out = nullptr;
        int code = 99, flags = 99;
        const int64_t t0 = mono_ms();
        EXPECT_EQ(n_shell_capture(c.cmd, kTimeOutMs, 0, &out, &code, &flags), 0);
        const int64_t took = mono_ms() - t0;
        EXPECT_EQ(flags, N_SPAWN_TIMED_OUT);
        EXPECT_EQ(code, -1);
        EXPECT_GE(took, c.min_ms);
        EXPECT_LT(took, c.min_ms + qvtest::kWaitMs) << "stopped, not left to its 600 s sleep";
        EXPECT_TRUE(cap.contains("n_shell_capture: sh stopped after 2000 msecs")) << cap.text();
        const int pid = atoi(text(out).c_str());
        ASSERT_GT(pid, 0);
        // The group is gone: the sleep that held the pipe too.
        EXPECT_TRUE(qvtest::wait_until([&] { return killpg(pid, 0) != 0; }, qvtest::kWaitMs));
        free_nstr_ptr_nolog(out);
    }
}

TEST(NCommonCapture, GrandchildrenHoldingThePipeDoNotHoldTheCapture) {
    struct Case {
        const char *name, *cmd;
        int timeout;
    } cases[] = {
        // Its pid comes first, so that it is stopped here and not left behind.
        {"silent grandchild, no time-out", "sleep 600 & echo $!; echo hi", 0},
        // Keeps the pipe busy: output never pauses for a poll to time out.
        {"chatty grandchild, no time-out", "yes & echo hi", 0},
        // Out of the child's group: the time-out's signals do not reach it.
        {"chatty grandchild in its own session, time-out", "setsid yes & sleep 600", 500},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        N_STR *out = nullptr;
        int flags = 0;
        const int64_t t0 = mono_ms();
        n_shell_capture(c.cmd, c.timeout, 1 << 20, &out, nullptr, &flags);
        // Not held by the grandchild (600 s, or for ever); a loaded machine may be slow.
        EXPECT_LT(mono_ms() - t0, qvtest::kWaitMs + c.timeout);
        ASSERT_TRUE(out);
        if (!c.timeout) {
            EXPECT_NE(text(out).find("hi\n"), std::string::npos);
        }
        if (std::string(c.cmd).rfind("sleep", 0) == 0) {
            const int sleeper = atoi(text(out).c_str());
            EXPECT_GT(sleeper, 0);
            if (sleeper > 0) kill(sleeper, SIGKILL);
        }
        free_nstr_ptr_nolog(out);
    }
    // The stray writers die of SIGPIPE once the pipe is closed; the sleeper was stopped above.
}

// ---------------------------------------------------------------------------
// Pipes.

TEST(NCommonPipe, WriteReadAndClose) {
    TempDir dir;
    const char *cat_args[] = {nullptr};
    N_SPAWN_PIPE *w = n_spawn_pipe_open("cat", cat_args, dir.file("out").c_str());
    ASSERT_TRUE(w);
    EXPECT_EQ(w->read_mode, 0);
    EXPECT_STREQ(w->program, "cat");
    const std::string data(200000, 'q');
    EXPECT_EQ(n_spawn_pipe_write(w, data.data(), data.size()), 1);
    EXPECT_EQ(n_spawn_pipe_write(w, "", 0), 1);
    char byte;
    {
        LogCapture cap;
        EXPECT_EQ(n_spawn_pipe_read(w, &byte, 1), -1);
        EXPECT_TRUE(cap.contains("n_spawn_pipe_read: cat was started to be written to"));
    }
    int code = 99;
    EXPECT_EQ(n_spawn_pipe_close(&w, 0, &code), 1);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(qvtest::read_file(dir.file("out")), data);
    EXPECT_EQ((qvtest::mode_of(dir.file("out")) & 0777) & ~0644u, 0u);

    const char *echo_args[] = {"-c", "printf hello; echo err >&2", nullptr};
    N_SPAWN_PIPE *r = n_spawn_pipe_open_read("sh", echo_args, dir.file("err").c_str());
    ASSERT_TRUE(r);
    char buf[64] = {0};
    EXPECT_EQ(n_spawn_pipe_read(r, buf, sizeof buf), 5) << "a short count only at the end";
    EXPECT_EQ(std::string(buf), "hello");
    EXPECT_EQ(n_spawn_pipe_read(r, buf, sizeof buf), 0);
    EXPECT_EQ(n_spawn_pipe_read(r, buf, 0), 0);
    EXPECT_EQ(n_spawn_pipe_read(r, nullptr, 4), -1);
    {
        LogCapture cap;
        EXPECT_EQ(n_spawn_pipe_write(r, "x", 1), 0);
        EXPECT_TRUE(cap.contains("n_spawn_pipe_write: sh was started to be read from"));
    }
    EXPECT_EQ(n_spawn_pipe_close(&r, 0, &code), 1);
    EXPECT_EQ(qvtest::read_file(dir.file("err")), "err\n");
    EXPECT_EQ(n_spawn_pipe_close(&r, 0, &code), 0);
    EXPECT_EQ(code, -1);
    EXPECT_EQ(n_spawn_pipe_close(nullptr, 0, nullptr), 0);

    LogCapture cap;
    N_SPAWN_PIPE *bad = n_spawn_pipe_open("cat", nullptr, dir.file("no/such/dir/file").c_str());
    EXPECT_TRUE(cap.contains("n_spawn_pipe_open: cannot write " + dir.file("no/such/dir/file")));
    ASSERT_TRUE(bad) << "the child keeps the caller's streams instead";
    EXPECT_EQ(n_spawn_pipe_close(&bad, 0, nullptr), 1);
}

TEST(NCommonPipe, WritingToAGoneReaderRaisesNoSigpipe) {
    // Default disposition: a SIGPIPE reaching us would end this test binary.
    struct sigaction dfl {}, old{};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, &old);
    N_SPAWN_PIPE *w = n_spawn_pipe_open("true", nullptr, nullptr);
    ASSERT_TRUE(w);
    // Wait until the child has exited (without reaping it) so the reader is gone.
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, (id_t)w->pid, &info, WEXITED | WNOWAIT), 0);
    LogCapture cap;
    const std::string data(1 << 20, 'x');
    EXPECT_EQ(n_spawn_pipe_write(w, data.data(), data.size()), 0);
    EXPECT_TRUE(cap.contains("n_spawn_pipe_write: true stopped reading: Broken pipe")) << cap.text();
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0) << "the signal our write raised was taken back";
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    EXPECT_EQ(sigismember(&mask, SIGPIPE), 0) << "the mask is restored";
    EXPECT_EQ(n_spawn_pipe_close(&w, 0, nullptr), 1);
    sigaction(SIGPIPE, &old, nullptr);
}

// Both ways of stopping a child: closing its pipe with `stop`, and the cancel
// flag of n_spawn_wait_cancel set by another thread 300 ms after the shell
// said it was ready. A child that ignores SIGTERM gets SIGKILL about two
// seconds later.
TEST(NCommonStop, SigtermThenSigkill) {
    TempDir dir;
    const std::string ready = dir.file("ready");
    // The shell says when its trap is set: on its pipe, or with a file.
    const std::string say = "echo ready; : > '" + ready + "'; ";
    struct Case {
        const char *name;
        std::string script;
        bool pipe;
        int64_t min_ms;
    } const cases[] = {
        {"pipe, stops on SIGTERM", say + "exec sleep 600", true, 0},
        {"pipe, traps SIGTERM", "trap '' TERM; " + say + "exec sleep 600", true, 1800},
        {"cancel, stops on SIGTERM", say + "exec sleep 600", false, 300},
        {"cancel, traps SIGTERM", "trap '' TERM; " + say + "exec sleep 600", false, 300 + 1900},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(ready.c_str());
        const char *args[] = {"-c", c.script.c_str(), nullptr};
        LogCapture cap;
        int code = 99, result = 99;
        pid_t pid = -1;
        int64_t t0 = 0;
        if (c.pipe) {
            N_SPAWN_PIPE *sp = n_spawn_pipe_open_read("sh", args, nullptr);
            ASSERT_TRUE(sp);
            char line[6];
            ASSERT_EQ(n_spawn_pipe_read(sp, line, sizeof line), (ssize_t)sizeof line);
            EXPECT_EQ(std::string(line, sizeof line), "ready\n");
            pid = sp->pid;
            t0 = mono_ms();
            result = n_spawn_pipe_close(&sp, 1, &code);
        } else {
            int cancel = 0;
            std::thread t([&] {
                EXPECT_TRUE(qvtest::wait_until([&] { return qvtest::exists(ready); }, qvtest::kWaitMs));
                qvtest::sleep_ms(300);
                __atomic_store_n(&cancel, 1, __ATOMIC_SEQ_CST);
            });
            t0 = mono_ms();
            result = n_spawn_wait_cancel("sh", args, &code, &cancel);
            t.join();
        }
        const int64_t took = mono_ms() - t0;
        EXPECT_EQ(result, 0);
        EXPECT_EQ(code, -1);
        EXPECT_GE(took, c.min_ms);
        // Stopped, not left to its 600 s sleep; a loaded machine may be slow.
        EXPECT_LT(took, c.min_ms + qvtest::kWaitMs);
        EXPECT_TRUE(cap.contains(c.pipe ? "n_spawn_pipe_close: sh stopped" : "n_spawn_wait_cancel: sh stopped"));
        if (pid > 0) {
            EXPECT_NE(kill(pid, 0), 0) << "reaped";
        }
    }
    int cancel = 0, code = 99;
    const char *args[] = {"-c", "exit 4", nullptr};
    EXPECT_EQ(n_spawn_wait_cancel("sh", args, &code, &cancel), 0);
    EXPECT_EQ(code, 4) << "never cancelled: the exit code as usual";
}

// ---------------------------------------------------------------------------
// Descriptors seen by the children.

TEST(NCommonFds, ChildrenInheritOnlyTheirStandardStreams) {
    TempDir dir;
    // A descriptor of the caller's that is not close-on-exec, and standard
    // streams as they are: neither must leak anything past 2.
    const int stray = open("/dev/null", O_RDONLY);
    ASSERT_GE(stray, 3);
    const std::string self = qvtest::self_exe();
    EnvScope subject("QV_COMMON_SUBJECT", "fds");

    {
        SCOPED_TRACE("capture");
        N_STR *out = nullptr;
        ASSERT_EQ(n_spawn_capture(self.c_str(), kNoArgs, 0, 0, &out, nullptr, nullptr), 1);
        EXPECT_EQ(text(out), "0 1 2|/dev/null|1\n") << "stdin from /dev/null, a group of its own";
        free_nstr_ptr_nolog(out);
    }
    {
        SCOPED_TRACE("pipe read");
        N_SPAWN_PIPE *sp = n_spawn_pipe_open_read(self.c_str(), kNoArgs, dir.file("err").c_str());
        ASSERT_TRUE(sp);
        char buf[256] = {0};
        ASSERT_GT(n_spawn_pipe_read(sp, buf, sizeof buf - 1), 0);
        EXPECT_EQ(std::string(buf), "0 1 2|/dev/null|0\n");
        EXPECT_EQ(n_spawn_pipe_close(&sp, 0, nullptr), 1);
    }
    {
        SCOPED_TRACE("pipe write");
        N_SPAWN_PIPE *sp = n_spawn_pipe_open(self.c_str(), kNoArgs, dir.file("w").c_str());
        ASSERT_TRUE(sp);
        EXPECT_EQ(n_spawn_pipe_close(&sp, 0, nullptr), 1);
        EXPECT_EQ(qvtest::read_file(dir.file("w")).substr(0, 6), "0 1 2|");
    }
    {
        SCOPED_TRACE("wait");
        EnvScope out("QV_COMMON_OUT", dir.file("wait"));
        ASSERT_EQ(n_spawn_wait(self.c_str(), kNoArgs, nullptr), 1);
        EXPECT_EQ(qvtest::read_file(dir.file("wait")).substr(0, 6), "0 1 2|");
    }
    {
        SCOPED_TRACE("detached");
        EnvScope out("QV_COMMON_OUT", dir.file("detached"));
        ASSERT_EQ(n_spawn_detached(self.c_str(), kNoArgs), 1);
        ASSERT_TRUE(qvtest::wait_until([&] { return !qvtest::read_file(dir.file("detached")).empty(); }, qvtest::kWaitMs));
        EXPECT_EQ(qvtest::read_file(dir.file("detached")).substr(0, 6), "0 1 2|");
    }
    {
        SCOPED_TRACE("system_nb");
        // The pipes of another command still running must not reach this one.
        int other_out = -1, other_in = -1;
        const pid_t other = system_nb("cat", &other_out, &other_in);
        ASSERT_GT(other, 0);
        int child_out = -1;
        const std::string cmd = "exec '" + self + "'";
        const pid_t pid = system_nb(cmd.c_str(), &child_out, nullptr);
        ASSERT_GT(pid, 0);
        std::string report;
        char buf[256];
        for (ssize_t n; (n = read(child_out, buf, sizeof buf)) > 0;) report.append(buf, (size_t)n);
        close(child_out);
        waitpid(pid, nullptr, 0);
        close(other_in);
        close(other_out);
        waitpid(other, nullptr, 0);
        const std::string fds = " " + report.substr(0, report.find('|')) + " ";
        EXPECT_EQ(fds.find(" " + std::to_string(other_out) + " "), std::string::npos) << report;
        EXPECT_EQ(fds.find(" " + std::to_string(other_in) + " "), std::string::npos) << report;
        EXPECT_EQ(fds.substr(0, 7), " 0 1 2 ") << report;
    }
    close(stray);
}

// ---------------------------------------------------------------------------
// Shell helpers.

TEST(NCommonShell, PopenJoinsLinesAndReportsTheExitCode) {
    N_STR *out = nullptr;
    int code = 99;
    ASSERT_EQ(n_popen("printf 'one\\ntwo\\n'; exit 5", 64, &out, &code), 1);
    EXPECT_EQ(text(out), "onetwo");
    EXPECT_EQ(code, 5);
    free_nstr_ptr_nolog(out);
    // Lines longer than the buffer arrive in pieces, joined the same way.
    ASSERT_EQ(n_popen("printf 'abcdefgh\\nij'", 4, &out, &code), 1);
    EXPECT_EQ(text(out), "abcdefghij");
    EXPECT_EQ(code, 0);
    free_nstr_ptr_nolog(out);

    LogCapture cap;
    EXPECT_EQ(n_popen("true", (size_t)INT_MAX + 1, &out, nullptr), 0);
    EXPECT_TRUE(cap.contains("read_buf_size buffer size is too large for fgets (2147483648>2147483647)"));
    EXPECT_EQ(n_popen("true", 65537, &out, nullptr), 0);
    EXPECT_TRUE(cap.contains("read_buf_size 65537 exceeds safe stack limit"));
    EXPECT_EQ(n_popen("true", 1, &out, nullptr), 0) << "a line buffer that holds no character is refused";
    EXPECT_EQ(n_popen(nullptr, 64, &out, nullptr), 0);
}

TEST(NCommonShell, SystemNbTalksThroughBothPipes) {
    int child_out = -1, child_in = -1;
    const pid_t pid = system_nb("tr a-z A-Z", &child_out, &child_in);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(write(child_in, "hello", 5), 5);
    close(child_in);
    char buf[16] = {0};
    ssize_t got = 0, n;
    while ((n = read(child_out, buf + got, sizeof buf - 1 - got)) > 0) got += n;
    close(child_out);
    EXPECT_EQ(std::string(buf), "HELLO");
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(system_nb(nullptr, nullptr, nullptr), -1);
}

// ---------------------------------------------------------------------------
// Daemonising and reaping, each in a throw-away process.

TEST(NCommonDaemon, DaemonisesInAThrowAwayProcess) {
    struct Case {
        const char *name, *flags;
        std::string cwd;
        bool new_session;
        const char *in;
        const char *umask;
    } cases[] = {
        {"default", "default", "/", true, "/dev/null", "0"},
        {"keeps directory, umask, streams and session", "124",  // 0x04 | 0x08 | 0x10 | 0x20 | 0x40 == 124
         "", false, "", "18"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string report = dir.file("report");
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            umask(022);
            setenv("QV_COMMON_SUBJECT", "daemon", 1);
            setenv("QV_COMMON_FLAGS", c.flags, 1);
            setenv("QV_COMMON_OUT", report.c_str(), 1);
            setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
            const std::string self = qvtest::self_exe();
            execl(self.c_str(), self.c_str(), (char *)nullptr);
            _exit(127);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the first parent exits with 0";
        ASSERT_TRUE(qvtest::wait_until([&] { return qvtest::exists(report); }, qvtest::kWaitMs));
        const std::string r = qvtest::read_file(report);
        std::vector<std::string> f;
        for (size_t p = 0, q; p <= r.size(); p = q + 1) {
            q = r.find_first_of("|\n", p);
            if (q == std::string::npos) break;
            f.push_back(r.substr(p, q - p));
        }
        ASSERT_EQ(f.size(), 6u) << r;
        char cwd[512];
        ASSERT_TRUE(getcwd(cwd, sizeof cwd));
        EXPECT_EQ(f[2], c.cwd.empty() ? std::string(cwd) : c.cwd);
        EXPECT_EQ(f[3], c.umask);
        EXPECT_EQ(f[4], c.new_session ? "1" : "0");
        EXPECT_EQ(f[5], "0") << "never a session leader: it cannot take a terminal back";
        if (c.new_session) {
            EXPECT_EQ(f[0], "0 1 2");
            EXPECT_EQ(f[1], c.in);
        }
    }
}

TEST(NCommonDaemon, ReaperCollectsChildrenNobodyWaitsFor) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (!sigchld_handler_installer()) _exit(3);
        const pid_t child = system_nb("exit 0", nullptr, nullptr);
        if (child <= 0) _exit(4);
        // The reaper takes it: it does not stay a zombie.
        for (int i = 0; i < qvtest::kWaitMs / 10; i++) {
            if (kill(child, 0) != 0) break;
            usleep(10000);
        }
        if (kill(child, 0) == 0) _exit(5);
        if (waitpid(child, nullptr, WNOHANG) != -1 || errno != ECHILD) _exit(6);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// ---------------------------------------------------------------------------
// The desktop's default program.

TEST(NCommonOpen, RunsXdgOpenFromPath) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("bin").c_str(), 0700), 0);
    const std::string args_file = dir.file("args");
    qvtest::write_file(dir.file("bin/xdg-open"), "#!/bin/sh\nprintf '%s|' \"$#\" \"$@\" > '" + args_file +
                                                      ".tmp'\nmv '" + args_file + ".tmp' '" + args_file + "'\n");
    ASSERT_EQ(chmod(dir.file("bin/xdg-open").c_str(), 0700), 0);
    EnvScope path("PATH", dir.file("bin") + ":" + getenv("PATH"));
    const std::string target = dir.file("a file; with $(odd) 'chars'.png");
    ASSERT_EQ(n_open_with_default(target.c_str()), 1);
    ASSERT_TRUE(qvtest::wait_until([&] { return qvtest::exists(args_file); }, qvtest::kWaitMs));
    EXPECT_EQ(qvtest::read_file(args_file), "1|" + target + "|") << "one argument, passed without a shell";
    LogCapture cap;
    EXPECT_EQ(n_open_with_default(nullptr), 0);
    EXPECT_TRUE(cap.contains("if( !(path) ) assert"));
}

// ---------------------------------------------------------------------------
// Small helpers.

TEST(NCommonHelpers, FileExtensionTable) {
    const struct {
        const char *path, *ext;
    } cases[] = {{"a.tar.gz", ".gz"}, {"file.", ""},   {".profile", ""},   {"dir.d/file", ""}, {"", ""},
                 {"a/.b", ""},        {"a\\.b", ""},   {"x.c", ".c"},      {"dir/x.c", ".c"}, {"..", ""},
                 {"a..", ""},         {"a.b/", ""}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        const char *e = n_get_file_extension(c.path);
        EXPECT_STREQ(e, c.ext);
        EXPECT_TRUE(e >= c.path && e <= c.path + strlen(c.path)) << "points into the path";
    }
    LogCapture cap;
    EXPECT_STREQ(n_get_file_extension(nullptr), "");
}

TEST(NCommonHelpers, HostProgramFilesEnvironment) {
    char name[256];
    ASSERT_EQ(get_computer_name(name, sizeof name), 1);
    std::string host;
    ASSERT_EQ(qvtest::run_command("uname -n", &host), 0);
    EXPECT_EQ(std::string(name) + "\n", host);
    {
        LogCapture cap;
        char tiny[2];
        EXPECT_EQ(get_computer_name(tiny, sizeof tiny), strlen(name) < 2 ? 1 : 0);
        if (strlen(name) >= 2) {
            EXPECT_STREQ(tiny, "U");
            EXPECT_TRUE(cap.contains("on gethostname !"));
        }
        EXPECT_EQ(get_computer_name(nullptr, 4), 0);
        EXPECT_EQ(get_computer_name(tiny, 0), 0);
    }

    const std::string self = qvtest::self_exe();
    std::unique_ptr<char, decltype(&free)> dir{get_prog_dir(), free}, prog{get_prog_name(), free};
    ASSERT_TRUE(dir && prog);
    char real[4096];
    ASSERT_TRUE(realpath(self.c_str(), real));
    EXPECT_EQ(std::string(dir.get()) + "/" + prog.get(), std::string(real));

    EXPECT_EQ(file_exist(real), 1);
    EXPECT_EQ(file_exist("/nonexistent/qv"), 0);
    EXPECT_EQ(file_exist(nullptr), 0);

    {
        EnvScope e("QV_COMMON_PROBE", "visible");
        LogCapture cap;
        log_environment(LOG_INFO);
        EXPECT_TRUE(cap.contains("env: QV_COMMON_PROBE=visible"));
    }

    char hidden[8];
    N_HIDE_STR(hidden, 's', 'e', 'c', 'r', 'e', 't', 0);
    EXPECT_STREQ(hidden, "secret");
    N_HIDE_STR(hidden, 0);
    EXPECT_STREQ(hidden, "");
}

TEST(NCommonHelpers, AbortWritesCutMessageAndExitsWithOne) {
    N_STR *out = nullptr;
    int code = 0;
    const std::string self = qvtest::self_exe();
    EnvScope s("QV_COMMON_SUBJECT", "abort");
    EnvScope a("ASAN_OPTIONS", "detect_leaks=0");
    EXPECT_EQ(n_spawn_capture(self.c_str(), kNoArgs, 0, 0, &out, &code, nullptr), 0);
    EXPECT_EQ(code, 1);
    ASSERT_TRUE(out);
    EXPECT_EQ(text(out), "stopping: code 7 " + std::string(1023 - 17, 'x'));
    free_nstr_ptr_nolog(out);
}
