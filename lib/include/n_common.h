// Child processes and process helpers: programs started detached, waited for
// (optionally cancelled), behind a pipe to their input or from their output,
// or with their combined output captured under a time limit and a size cap;
// shell commands, daemonising, a SIGCHLD reaper, and small process and path
// helpers. Results: 1 success, 0 failure (the waiting functions: 1 exactly
// when the child exited with 0), or a pointer that is null on failure.
// Returned records, texts and N_STR belong to the caller.
//
// Programs are looked up on PATH (execvp); `args` is a list of extra
// arguments closed by a null entry, or null. A child that cannot exec exits
// with 127. Children start with SIGPIPE at its default and no blocked
// signals, and inherit no descriptor but their standard streams.
#pragma once

#include "n_str.h"

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// At most this many extra arguments: the vector then holds the program name,
// the arguments and its closing null in 64 slots.
constexpr size_t N_SPAWN_MAX_ARGS = 62;
constexpr size_t N_SPAWN_PROGRAM_MAX = 255;

// A started child with one pipe.
struct N_SPAWN_PIPE {
    int fd;                                  // the parent's end; -1 once closed
    int pid;
    int read_mode;                           // 1: the parent reads the child's output; 0: writes its input
    char program[N_SPAWN_PROGRAM_MAX + 1];   // for messages
};

// Capture flags.
constexpr int N_SPAWN_TIMED_OUT = 1;   // the time limit was reached and the child's group was signalled
constexpr int N_SPAWN_TRUNCATED = 2;   // output beyond the cap was read and dropped

// n_daemonize_ex flags: each skips one step.
constexpr int N_DAEMON_NO_CLOSE = 0x02;            // keep descriptors from 3 up
constexpr int N_DAEMON_NO_STD_REDIRECT = 0x04;     // keep the standard streams
constexpr int N_DAEMON_NO_DOUBLE_FORK = 0x08;
constexpr int N_DAEMON_NO_SETSID = 0x10;
constexpr int N_DAEMON_NO_UMASK = 0x20;
constexpr int N_DAEMON_NO_CHDIR = 0x40;
constexpr int N_DAEMON_NO_SIGCHLD_IGN = 0x80;
constexpr int N_DAEMON_NO_SIGCHLD_HANDLER = 0x100;

// Starting and waiting. Exit codes: 0-255 for a normal exit, -1 when the
// child was signalled or could not be waited for.
int    n_spawn_detached(const char *program, const char *const *args);      // double fork; 1 once launched, not run
int    n_open_with_default(const char *path);                                // "xdg-open" path, detached
int    n_spawn_wait(const char *program, const char *const *args, int *exit_code);
int    n_spawn_wait_cancel(const char *program, const char *const *args, int *exit_code, int *cancel);  // *cancel (read atomically, another thread may set it) != 0: SIGTERM, SIGKILL 2 s later

// One pipe to a child. With `path`, the child's other output streams go to
// that file (created 0644, truncated).
[[nodiscard]] N_SPAWN_PIPE *n_spawn_pipe_open(const char *program, const char *const *args, const char *path);       // parent writes stdin
[[nodiscard]] N_SPAWN_PIPE *n_spawn_pipe_open_read(const char *program, const char *const *args, const char *path);  // parent reads stdout
ssize_t n_spawn_pipe_read(N_SPAWN_PIPE *sp, void *buffer, size_t size);      // fills buffer unless the output ends; -1 on error
int     n_spawn_pipe_write(N_SPAWN_PIPE *sp, const void *data, size_t len);  // never raises SIGPIPE in the caller
int     n_spawn_pipe_close(N_SPAWN_PIPE **sp, int stop, int *exit_code);     // stop: SIGTERM, SIGKILL about 2 s later; frees, nulls

// Capture of standard output and error interleaved. timeout in ms (<= 0:
// none): SIGTERM to the child's process group, SIGKILL 2 s later. cap in
// bytes (0: none). Output, exit code and flags may be null.
int    n_spawn_capture(const char *program, const char *const *args, int timeout, size_t cap, N_STR **output,
                       int *exit_code, int *flags);
int    n_shell_capture(const char *command, int timeout, size_t cap, N_STR **output, int *exit_code, int *flags);  // /bin/sh -c
int    n_popen(const char *cmd, size_t nb_line, N_STR **output, int *exit_code);  // lines joined without their newlines; 1 whatever the exit code
pid_t  system_nb(const char *command, int *child_out, int *child_in);           // sh -c, not waited for; -1 on failure

// Daemonising and reaping.
int    n_daemonize_ex(int flags);                     // returns in the daemon only; 0 when chdir("/") failed
int    n_daemonize();                                 // flags N_DAEMON_NO_SIGCHLD_IGN | N_DAEMON_NO_SIGCHLD_HANDLER
int    sigchld_handler_installer();                   // while installed, the waiting functions cannot wait
void   sigchld_handler(int sig);

// Small helpers.
int    get_computer_name(char *computer_name, size_t len);   // "Unknown_Host_Name" (cut) on failure, with 0
[[nodiscard]] char *get_prog_dir();                          // of /proc/self/exe; free()
[[nodiscard]] char *get_prog_name();
int    file_exist(const char *filename);                     // can be opened for reading
const char *n_get_file_extension(const char *path);           // into path: ".gz" of "a.tar.gz"; "" when none
[[noreturn]] void n_abort(const char *format, ...) __attribute__((format(printf, 1, 2)));  // stderr, exit status 1
void   log_environment(int loglevel);                        // "env: %s" per entry
void   N_HIDE_STR(char *buf, ...);                           // int character codes closed by 0
