// Child processes and process helpers.
#include "n_common.h"

#include "n_log.h"
#include "n_time.h"

#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <libgen.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

constexpr int POLL_MS = 100;                 // waits between checks of a child
constexpr int CAPTURE_CHUNK = 8192;
constexpr int CAPTURE_KILL_GRACE_MS = 2000;  // SIGTERM to SIGKILL
constexpr int CANCEL_KILL_POLL = 21;         // n_spawn_wait_cancel: SIGKILL at this poll after SIGTERM
constexpr int CLOSE_KILL_POLL = 20;          // n_spawn_pipe_close
constexpr int DRAIN_READS_MAX = 128;         // reads after the child ended: a grandchild may never stop writing
constexpr long FD_LIMIT_UNKNOWN = 1024;
constexpr long FD_LIMIT_MAX = 65536;

using argv_t = std::array<char *, N_SPAWN_MAX_ARGS + 2>;

// The child's vector, built before fork so that the child allocates nothing;
// `fn` names the caller in the message of a refusal.
bool build_argv(const char *fn, const char *argv0, const char *const *args, argv_t &argv) {
    size_t n = 0;
    argv[n++] = const_cast<char *>(argv0);
    for (size_t k = 0; args && args[k]; k++) {
        if (k >= N_SPAWN_MAX_ARGS) {
            n_log(LOG_ERR, "%s: more than %zu arguments", fn, N_SPAWN_MAX_ARGS);
            return false;
        }
        argv[n++] = const_cast<char *>(args[k]);
    }
    argv[n] = nullptr;
    return true;
}

pid_t fork_logged(const char *fn) {
    const pid_t pid = fork();
    if (pid < 0) n_log(LOG_ERR, "%s: fork failed: %s", fn, strerror(errno));
    return pid;
}

int64_t now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Moves a descriptor of ours off 0, 1 and 2, where a caller that closed its
// standard streams would have it land, so that the child's dup2 calls onto
// those numbers cannot clobber one another.
int lift(int fd) {
    if (fd < 0 || fd > 2) return fd;
    const int high = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return high;
}

void close_fd(int &fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// Everything from 3 up: one call where the kernel offers it, else one by one.
void close_from_3() {
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3u, ~0u, 0u) == 0) return;
#endif
    struct rlimit rl;
    long limit = FD_LIMIT_UNKNOWN;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY) limit = (long)rl.rlim_cur;
    if (limit > FD_LIMIT_MAX) limit = FD_LIMIT_MAX;
    for (long fd = 3; fd < limit; fd++) close((int)fd);
}

// In the child, between fork and exec: only async-signal-safe calls. The
// caller may ignore SIGPIPE or block signals in its thread; the program we
// start must not inherit either.
[[noreturn]] void exec_child(const char *file, const argv_t &argv) {
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    close_from_3();
    execvp(file, argv.data());
    _exit(127);
}

// waitpid retried on interruption.
pid_t wait_child(pid_t pid, int *status, int options) {
    pid_t r;
    do r = waitpid(pid, status, options);
    while (r < 0 && errno == EINTR);
    return r;
}

// The common end of the waiting functions: 1 exactly for exit code 0.
int report_status(int status, const char *prefix, const char *program, int *exit_code) {
    if (WIFSIGNALED(status)) {
        n_log(LOG_ERR, "%s: %s was ended by a signal", prefix, program);
        return 0;
    }
    if (!WIFEXITED(status)) return 0;
    const int code = WEXITSTATUS(status);
    if (exit_code) *exit_code = code;
    if (code == 127) n_log(LOG_ERR, "%s: %s could not be found or started", prefix, program);
    return code == 0;
}

}  // namespace

/* ---- starting and waiting ---- */

int n_spawn_detached(const char *program, const char *const *args) {
    N_ASSERT(program, return 0);
    argv_t argv;
    if (!build_argv("n_spawn_detached", program, args, argv)) return 0;
    const pid_t pid = fork_logged("n_spawn_detached");
    if (pid < 0) return 0;
    if (pid == 0) {
        // Leave the caller's terminal and group; the grandchild is adopted by
        // the system and never becomes a zombie of ours.
        setsid();
        const pid_t grandchild = fork();
        if (grandchild < 0) _exit(1);
        if (grandchild > 0) _exit(0);
        exec_child(program, argv);
    }
    int status = 0;
    if (wait_child(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        n_log(LOG_ERR, "n_spawn_detached: could not start %s", program);
        return 0;
    }
    return 1;
}

int n_open_with_default(const char *path) {
    N_ASSERT(path, return 0);
    const char *args[] = {path, nullptr};
    return n_spawn_detached("xdg-open", args);
}

int n_spawn_wait(const char *program, const char *const *args, int *exit_code) {
    return n_spawn_wait_cancel(program, args, exit_code, nullptr);
}

int n_spawn_wait_cancel(const char *program, const char *const *args, int *exit_code, int *cancel) {
    if (exit_code) *exit_code = -1;
    N_ASSERT(program, return 0);
    argv_t argv;
    if (!build_argv("n_spawn_wait", program, args, argv)) return 0;
    const pid_t pid = fork_logged("n_spawn_wait");
    if (pid < 0) return 0;
    if (pid == 0) exec_child(program, argv);

    int status = 0;
    if (!cancel) {
        if (wait_child(pid, &status, 0) != pid) {
            n_log(LOG_ERR, "n_spawn_wait: waiting for %s failed: %s", program, strerror(errno));
            return 0;
        }
        return report_status(status, "n_spawn_wait", program, exit_code);
    }
    bool signalled = false;
    int polls = 0;  // counted only while cancellation is asked for
    for (;;) {
        const pid_t r = wait_child(pid, &status, WNOHANG);
        if (r == pid) break;
        if (r < 0) {
            n_log(LOG_ERR, "n_spawn_wait_cancel: waiting for %s failed: %s", program, strerror(errno));
            return 0;
        }
        if (__atomic_load_n(cancel, __ATOMIC_ACQUIRE)) {  // set by another thread
            polls++;
            if (polls == 1) kill(pid, SIGTERM), signalled = true;
            if (polls == CANCEL_KILL_POLL) kill(pid, SIGKILL);
        }
        u_sleep(POLL_MS * 1000);
    }
    if (signalled) {
        n_log(LOG_NOTICE, "n_spawn_wait_cancel: %s stopped", program);
        return 0;
    }
    return report_status(status, "n_spawn_wait", program, exit_code);
}

/* ---- one pipe to a child ---- */

namespace {

N_SPAWN_PIPE *pipe_open(const char *fn, const char *program, const char *const *args, const char *path, int read_mode) {
    N_ASSERT(program, return nullptr);
    N_SPAWN_PIPE *sp = n_calloc(sp, 1, N_SPAWN_PIPE);
    if (!sp) return nullptr;
    snprintf(sp->program, sizeof sp->program, "%s", program);
    sp->read_mode = read_mode;
    sp->fd = -1;
    argv_t argv;
    if (!build_argv(fn, program, args, argv)) {
        free(sp);
        return nullptr;
    }
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
        n_log(LOG_ERR, "%s: no pipe: %s", fn, strerror(errno));
        free(sp);
        return nullptr;
    }
    int ends[2] = {lift(p[0]), lift(p[1])};
    int file = -1, devnull = -1;
    if (path) {
        file = lift(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (file < 0) n_log(LOG_ERR, "%s: cannot write %s: %s", fn, path, strerror(errno));
    }
    if (read_mode) devnull = lift(open("/dev/null", O_RDONLY | O_CLOEXEC));
    const int mine = read_mode ? 0 : 1, theirs = read_mode ? 1 : 0;  // indices into ends

    const pid_t pid = fork_logged(fn);
    if (pid < 0) {
        close_fd(ends[0]), close_fd(ends[1]), close_fd(file), close_fd(devnull);
        free(sp);
        return nullptr;
    }
    if (pid == 0) {
        if (read_mode) {
            dup2(ends[theirs], 1);
            if (devnull >= 0) dup2(devnull, 0);
            if (file >= 0) dup2(file, 2);
        } else {
            dup2(ends[theirs], 0);
            if (file >= 0) dup2(file, 1), dup2(file, 2);
        }
        exec_child(program, argv);
    }
    close_fd(ends[theirs]), close_fd(file), close_fd(devnull);
    sp->fd = ends[mine];
    sp->pid = pid;
    return sp;
}

}  // namespace

N_SPAWN_PIPE *n_spawn_pipe_open(const char *program, const char *const *args, const char *path) {
    return pipe_open("n_spawn_pipe_open", program, args, path, 0);
}

N_SPAWN_PIPE *n_spawn_pipe_open_read(const char *program, const char *const *args, const char *path) {
    return pipe_open("n_spawn_pipe_open_read", program, args, path, 1);
}

ssize_t n_spawn_pipe_read(N_SPAWN_PIPE *sp, void *buffer, size_t size) {
    N_ASSERT(sp, return -1);
    if (!sp->read_mode) {
        n_log(LOG_ERR, "n_spawn_pipe_read: %s was started to be written to", sp->program);
        return -1;
    }
    if ((!buffer && size) || sp->fd < 0) return -1;
    if (size == 0) return 0;
    size_t got = 0;
    while (got < size) {
        const ssize_t n = read(sp->fd, static_cast<char *>(buffer) + got, size - got);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            n_log(LOG_ERR, "n_spawn_pipe_read: reading %s failed: %s", sp->program, strerror(errno));
            return -1;
        }
        got += (size_t)n;
    }
    return (ssize_t)got;
}

int n_spawn_pipe_write(N_SPAWN_PIPE *sp, const void *data, size_t len) {
    N_ASSERT(sp, return 0);
    if (sp->read_mode) {
        n_log(LOG_ERR, "n_spawn_pipe_write: %s was started to be read from", sp->program);
        return 0;
    }
    if ((!data && len) || sp->fd < 0) return 0;
    if (len == 0) return 1;
    // A reader that went away raises SIGPIPE in the writing thread: block it
    // here and take back the one our write raised, so the process never sees
    // it whatever its disposition. One that was already pending stays.
    sigset_t pipe_set, old, pending;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_set, &old);
    int ok = 1;
    size_t put = 0;
    while (put < len) {
        const ssize_t n = write(sp->fd, static_cast<const char *>(data) + put, len - put);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            n_log(LOG_ERR, "n_spawn_pipe_write: %s stopped reading: %s", sp->program, strerror(err));
            if (err == EPIPE && !was_pending) {
                const struct timespec zero = {0, 0};
                while (sigtimedwait(&pipe_set, nullptr, &zero) < 0 && errno == EINTR) {
                }
            }
            ok = 0;
            break;
        }
        put += (size_t)n;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return ok;
}

int n_spawn_pipe_close(N_SPAWN_PIPE **sp, int stop, int *exit_code) {
    if (exit_code) *exit_code = -1;
    if (!sp || !*sp) return 0;
    N_SPAWN_PIPE *p = *sp;
    if (stop) kill(p->pid, SIGTERM);
    close_fd(p->fd);
    int status = 0, result = 0;
    pid_t r;
    if (!stop) {
        r = wait_child(p->pid, &status, 0);
    } else {
        for (int polls = 0;;) {
            r = wait_child(p->pid, &status, WNOHANG);
            if (r != 0) break;
            if (++polls == CLOSE_KILL_POLL) kill(p->pid, SIGKILL);
            u_sleep(POLL_MS * 1000);
        }
    }
    if (r != p->pid) {
        n_log(LOG_ERR, "n_spawn_pipe_close: waiting for %s failed: %s", p->program, strerror(errno));
    } else if (stop) {
        n_log(LOG_NOTICE, "n_spawn_pipe_close: %s stopped", p->program);
    } else {
        result = report_status(status, "n_spawn_pipe_close", p->program, exit_code);
    }
    free(p);
    *sp = nullptr;
    return result;
}

/* ---- capture ---- */

namespace {

// Appends up to the cap; true when something had to be dropped. Growth is
// geometric: a chatty child must not cost a copy of the output per chunk.
bool append_capped(N_STR *out, const char *buf, size_t n, size_t cap) {
    size_t take = n;
    if (cap) take = out->written >= cap ? 0 : (cap - out->written < n ? cap - out->written : n);
    if (take && out->written + take + 1 > out->length) {
        size_t want = out->length * 2;
        if (want < out->written + take + 1) want = out->written + take + 1;
        if (!resize_nstr(out, want)) return take < n;
    }
    if (take) {
        memcpy(out->data + out->written, buf, take);
        out->written += take;
        out->data[out->written] = '\0';
    }
    return take < n;
}

int capture(const char *fn, const char *file, const char *argv0, const char *const *args, int timeout, size_t cap,
            N_STR **output, int *exit_code, int *flags) {
    argv_t argv;
    if (!build_argv("n_spawn_capture", argv0, args, argv)) return 0;
    N_STR *out = new_nstr(CAPTURE_CHUNK);
    N_ASSERT(out, return 0);
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
        n_log(LOG_ERR, "%s: no pipe: %s", fn, strerror(errno));
        free_nstr_nolog(&out);
        return 0;
    }
    int rd = lift(p[0]), wr = lift(p[1]);
    int devnull = lift(open("/dev/null", O_RDONLY | O_CLOEXEC));
    const pid_t pid = fork_logged(fn);
    if (pid < 0) {
        close_fd(rd), close_fd(wr), close_fd(devnull);
        free_nstr_nolog(&out);
        return 0;
    }
    if (pid == 0) {
        // A group of its own, so that a time-out reaches its children too.
        setpgid(0, 0);
        dup2(wr, 1);
        dup2(wr, 2);
        if (devnull >= 0) dup2(devnull, 0);
        exec_child(file, argv);
    }
    setpgid(pid, pid);  // also here: the child may not have run yet when we signal
    close_fd(wr), close_fd(devnull);
    fcntl(rd, F_SETFL, fcntl(rd, F_GETFL) | O_NONBLOCK);

    const int64_t deadline = timeout > 0 ? now_ms() + timeout : 0;
    int64_t kill_at = 0;
    bool term_sent = false, kill_sent = false, ended = false, wait_failed = false;
    int status = 0, fl = 0;
    char buf[CAPTURE_CHUNK];
    auto read_once = [&]() {
        const ssize_t n = read(rd, buf, sizeof buf);
        if (n > 0) {
            if (append_capped(out, buf, (size_t)n, cap)) fl |= N_SPAWN_TRUNCATED;
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            close_fd(rd);
        }
        return n > 0;
    };
    for (;;) {
        if (deadline) {
            const int64_t now = now_ms();
            if (!term_sent && now >= deadline) {
                killpg(pid, SIGTERM);
                fl |= N_SPAWN_TIMED_OUT;
                term_sent = true;
                kill_at = now + CAPTURE_KILL_GRACE_MS;
            }
            if (term_sent && !kill_sent && now >= kill_at) {
                killpg(pid, SIGKILL);
                kill_sent = true;
            }
        }
        if (rd >= 0) {
            struct pollfd pfd = {rd, POLLIN, 0};
            if (poll(&pfd, 1, POLL_MS) > 0) read_once();
        } else {
            u_sleep(20000);
        }
        // The child is checked after every wait, not only when the output
        // pauses: a grandchild that keeps the pipe busy must not keep us here
        // after the child ended, nor past the time-out.
        const pid_t r = wait_child(pid, &status, WNOHANG);
        if (r == pid) {
            ended = true;
            for (int k = 0; k < DRAIN_READS_MAX && rd >= 0; k++) {
                struct pollfd pfd = {rd, POLLIN, 0};
                if (poll(&pfd, 1, 0) <= 0 || !read_once()) break;
            }
            break;
        }
        if (r < 0) {
            n_log(LOG_ERR, "%s: waiting for %s failed: %s", fn, argv0, strerror(errno));
            wait_failed = true;
            break;
        }
    }
    close_fd(rd);
    int result = 0;
    if (exit_code) *exit_code = -1;
    if (term_sent) {
        n_log(LOG_NOTICE, "%s: %s stopped after %d msecs", fn, argv0, timeout);
    } else if (ended && !wait_failed) {
        result = report_status(status, fn, argv0, exit_code);
    }
    if (flags) *flags = fl;
    if (output) *output = out;
    else free_nstr_nolog(&out);
    return result;
}

}  // namespace

int n_spawn_capture(const char *program, const char *const *args, int timeout, size_t cap, N_STR **output,
                    int *exit_code, int *flags) {
    if (exit_code) *exit_code = -1;
    if (flags) *flags = 0;
    if (output) *output = nullptr;
    N_ASSERT(program, return 0);
    return capture("n_spawn_capture", program, program, args, timeout, cap, output, exit_code, flags);
}

int n_shell_capture(const char *command, int timeout, size_t cap, N_STR **output, int *exit_code, int *flags) {
    if (exit_code) *exit_code = -1;
    if (flags) *flags = 0;
    if (output) *output = nullptr;
    N_ASSERT(command, return 0);
    const char *args[] = {"-c", command, nullptr};
    return capture("n_shell_capture", "/bin/sh", "sh", args, timeout, cap, output, exit_code, flags);
}

/* ---- shell commands ---- */

int n_popen(const char *cmd, size_t nb_line, N_STR **output, int *exit_code) {
    N_ASSERT(cmd, return 0);
    if (nb_line > (size_t)INT_MAX) {
        n_log(LOG_ERR, "read_buf_size buffer size is too large for fgets (%zu>%d)", nb_line, INT_MAX);
        return 0;
    }
    if (nb_line > 65536) {
        n_log(LOG_ERR, "read_buf_size %zu exceeds safe stack limit", nb_line);
        return 0;
    }
    // fgets with room for the terminator only reads nothing, forever.
    N_ASSERT(nb_line >= 2, return 0);
    N_STR *out = new_nstr(nb_line + 1);
    N_ASSERT(out, return 0);
    FILE *fp = popen(cmd, "re");
    if (!fp) {
        n_log(LOG_ERR, "popen( %s ) returned NULL , %s (%d)", cmd, strerror(errno), errno);
        free_nstr_nolog(&out);
        return 0;
    }
    std::vector<char> line(nb_line);
    while (fgets(line.data(), (int)nb_line, fp)) {
        size_t n = strlen(line.data());
        if (n && line[n - 1] == '\n') n--;
        if (n) nstrcat_ex(&out, line.data(), n, 1);
    }
    const int status = pclose(fp);
    if (status == -1) {
        n_log(LOG_ERR, "pclose( %s ) returned -1 , %s (%d)", cmd, strerror(errno), errno);
        free_nstr_nolog(&out);
        return 0;
    }
    if (exit_code) *exit_code = (status >> 8) & 0xFF;
    if (output) *output = out;
    else free_nstr_nolog(&out);
    return 1;
}

pid_t system_nb(const char *command, int *child_out, int *child_in) {
    N_ASSERT(command, return -1);
    // Close-on-exec like every other pipe here, so that children started
    // meanwhile by other threads do not hold them open; the child's own
    // standard streams are dup2 copies and survive its exec.
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if (child_in && pipe2(in, O_CLOEXEC) != 0) return -1;
    if (child_out && pipe2(out, O_CLOEXEC) != 0) {
        close_fd(in[0]), close_fd(in[1]);
        return -1;
    }
    for (int *fd : {&in[0], &in[1], &out[0], &out[1]}) *fd = lift(*fd);
    const pid_t pid = fork();
    if (pid < 0) {
        n_log(LOG_ERR, "Couldn't fork command %s", command);
        close_fd(in[0]), close_fd(in[1]), close_fd(out[0]), close_fd(out[1]);
        return -1;
    }
    if (pid == 0) {
        if (child_in) dup2(in[0], 0), close(in[1]);
        if (child_out) dup2(out[1], 1), close(out[0]);
        execlp("sh", "sh", "-c", command, (char *)nullptr);
        n_log(LOG_ERR, "%s:%d: exec failed: %s", __FILE__, __LINE__, strerror(errno));
        _exit(42);
    }
    close_fd(in[0]), close_fd(out[1]);
    if (child_in) *child_in = in[1];
    if (child_out) *child_out = out[0];
    return pid;
}

/* ---- daemonising and reaping ---- */

int n_daemonize_ex(int flags) {
    // Whatever sits in the stdio buffers must be written once, not once per
    // process that the forks leave.
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        n_log(LOG_ERR, "Error: unable to fork child: %s", strerror(errno));
        exit(1);
    }
    if (pid > 0) {
        n_log(LOG_NOTICE, "Child started successfuly !");
        _exit(0);
    }
    if (!(flags & N_DAEMON_NO_SETSID)) {
        if (setsid() < 0) {
            n_log(LOG_ERR, "Error: unable to set session leader with setsid(): %s", strerror(errno));
            exit(1);
        }
        n_log(LOG_NOTICE, "Session leader set !");
    }
    if (!(flags & N_DAEMON_NO_SIGCHLD_IGN)) signal(SIGCHLD, SIG_IGN);
    if (!(flags & N_DAEMON_NO_SIGCHLD_HANDLER)) sigchld_handler_installer();
    if (!(flags & N_DAEMON_NO_DOUBLE_FORK)) {
        fflush(nullptr);
        pid = fork();
        if (pid < 0) {
            n_log(LOG_ERR, "Error: unable to double fork child: %s", strerror(errno));
            exit(1);
        }
        if (pid > 0) {
            n_log(LOG_NOTICE, "Double fork child started successfuly !");
            _exit(0);
        }
    }
    if (!(flags & N_DAEMON_NO_UMASK)) umask(0);
    if (!(flags & N_DAEMON_NO_CHDIR) && chdir("/") != 0) {
        n_log(LOG_ERR, "couldn't chdir() to '/': %s", strerror(errno));
        return 0;
    }
    if (!(flags & N_DAEMON_NO_CLOSE)) close_from_3();
    if (flags & N_DAEMON_NO_STD_REDIRECT) return 1;
    const int fd = open("/dev/null", O_RDWR);
    if (fd < 0) {
        n_log(LOG_ERR, "Failed to open /dev/null: %s", strerror(errno));
        return 1;
    }
    dup2(fd, 0), dup2(fd, 1), dup2(fd, 2);
    if (fd > 2) close(fd);
    return 1;
}

int n_daemonize() { return n_daemonize_ex(N_DAEMON_NO_SIGCHLD_IGN | N_DAEMON_NO_SIGCHLD_HANDLER); }

int sigchld_handler_installer() {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = sigchld_handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    if (sigaction(SIGCHLD, &sa, nullptr) == -1) {
        n_log(LOG_ERR, "sigaction error: %s", strerror(errno));
        return 0;
    }
    return 1;
}

// Signal context: no logging (not async-signal-safe), errno kept for the
// interrupted code.
void sigchld_handler(int sig) {
    (void)sig;
    const int saved = errno;
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    errno = saved;
}

/* ---- small helpers ---- */

int get_computer_name(char *computer_name, size_t len) {
    if (!computer_name || len == 0) return 0;
    memset(computer_name, 0, len);
    if (gethostname(computer_name, len) == 0 && computer_name[len - 1] == '\0') return 1;
    const int err = errno;
    snprintf(computer_name, len, "%s", "Unknown_Host_Name");
    n_log(LOG_ERR, "%s on gethostname !", strerror(err));
    return 0;
}

namespace {

char *prog_path_part(char *(*part)(char *)) {
    char buf[4096];
    char link[64];
    snprintf(link, sizeof link, "/proc/%d/exe", (int)getpid());
    const ssize_t n = readlink(link, buf, sizeof buf - 1);
    if (n < 0) {
        fprintf(stderr, "%s\n", strerror(errno));
        return nullptr;
    }
    buf[n] = '\0';
    return strdup(part(buf));
}

}  // namespace

char *get_prog_dir() { return prog_path_part(dirname); }
char *get_prog_name() { return prog_path_part(basename); }

int file_exist(const char *filename) {
    if (!filename) return 0;
    FILE *f = fopen(filename, "re");
    if (!f) return 0;
    fclose(f);
    return 1;
}

const char *n_get_file_extension(const char *path) {
    N_ASSERT(path, return "");
    const size_t len = strlen(path);
    for (size_t i = len; i-- > 1;) {
        const char c = path[i];
        if (c != '.' && c != '/' && c != '\\') continue;
        if (c == '.' && i + 1 < len && path[i - 1] != '/' && path[i - 1] != '\\') return path + i;
        break;
    }
    return path + len;
}

void n_abort(const char *format, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    fputs(buf, stderr);
    fflush(stderr);
    exit(1);
}

void log_environment(int loglevel) {
    for (char **e = environ; e && *e; e++) n_log(loglevel, "env: %s", *e);
}

void N_HIDE_STR(char *buf, ...) {
    va_list ap;
    va_start(ap, buf);
    size_t i = 0;
    for (int c; (c = va_arg(ap, int)) != 0;) buf[i++] = (char)c;
    buf[i] = '\0';
    va_end(ap);
}
