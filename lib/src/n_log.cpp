// Levelled logging and the library-wide failure forms.
#include "n_log.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

const N_LOG_PRIORITY prioritynames[9] = {
    {"EMERG", LOG_EMERG, "ERROR"},       {"ALERT", LOG_ALERT, "ERROR"},
    {"CRITICAL", LOG_CRIT, "ERROR"},     {"ERR", LOG_ERR, "ERROR"},
    {"WARNING", LOG_WARNING, "WARNING"}, {"NOTICE", LOG_NOTICE, "SUCCESS"},
    {"INFO", LOG_INFO, "INFORMATION"},   {"DEBUG", LOG_DEBUG, "INFORMATION"},
    {nullptr, -1, nullptr},
};

// Set at start-up before any thread runs and read without a lock afterwards.
static int LOG_LEVEL = LOG_NULL;
static int LOG_TYPE = LOG_STDERR;
static FILE *log_file = nullptr;
static int log_file_owned = 0;
static int terminal_support_colors = 0;
static char *proc_name = nullptr;

static const char *const level_colors[8] = {
    "\33[31m", "\33[35m", "\33[31m", "\33[31m", "\33[33m", "\33[32m", "\33[36m", "\33[34m",
};

// A level outside the table still gets a printable name so a stray caller
// cannot make the prefix print "(null)".
static const char *level_name(int level) {
    if (level >= 0 && level <= 7) return prioritynames[level].c_name;
    return "UNKNOWN";
}

// A failed allocation inside vasprintf logs its own line, which comes back
// here; formatting that one with vasprintf again would recurse for as long as
// memory stays short, so a nested line is cut to a stack buffer instead.
constexpr size_t SYSJRNL_NESTED_MAX = 1024;
static thread_local int in_sysjrnl_format = 0;

void _n_log(int level, const char *file, const char *func, int line, const char *format, ...) {
    if (level == LOG_NULL || level > LOG_LEVEL) return;
    FILE *out = log_file ? log_file : stderr;
    const char *color = "";
    const char *reset = "";
    if (terminal_support_colors) {
        color = (level >= 0 && level <= 7) ? level_colors[level] : "\33[37m";
        reset = "\33[0m";
    }
    if (!file) file = "NULL";
    if (!func) func = "NULL";

    if (LOG_TYPE == LOG_SYSJRNL) {
        char *msg = nullptr;
        char nested[SYSJRNL_NESTED_MAX];
        const char *text = "";
        if (format) {
            va_list args;
            va_start(args, format);
            if (in_sysjrnl_format) {
                vsnprintf(nested, sizeof nested, format, args);
                text = nested;
            } else {
                in_sysjrnl_format = 1;
                text = vasprintf(&msg, format, args) >= 0 ? msg : "<log: vasprintf failed>";
                in_sysjrnl_format = 0;
            }
            va_end(args);
        }
        syslog(level, "%s->%s:%d %s", file, func, line, text);
        free(msg);
        fflush(out);
        return;
    }

    fprintf(out, "%s%s:%jd:%s->%s:%d ", color, level_name(level), (intmax_t)time(nullptr), file, func, line);
    if (format) {
        va_list args;
        va_start(args, format);
        vfprintf(out, format, args);
        va_end(args);
    }
    fprintf(out, "%s\n", reset);
    fflush(out);
}

void set_log_level(int value) {
    if (value == LOG_FILE || value == LOG_STDERR || value == LOG_SYSJRNL) {
        LOG_TYPE = value;
        return;
    }
    LOG_LEVEL = value;
    if (isatty(STDOUT_FILENO)) terminal_support_colors = 1;
}

int get_log_level() { return LOG_LEVEL; }

FILE *get_log_file() { return log_file; }

int set_log_file(const char *file) {
    N_ASSERT(file, return 0);
    if (log_file) {
        if (log_file_owned) fclose(log_file);
        log_file = nullptr;
        log_file_owned = 0;
    }
    int fd = open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        n_log(LOG_ERR, "couldn't create %s with 0600 permission", file);
        return 0;
    }
    FILE *f = fdopen(fd, "a");
    if (!f) {
        close(fd);
        n_log(LOG_ERR, "fdopen returned an invalid file descriptor pointer for %s:%d", file, fd);
        return 0;
    }
    log_file = f;
    log_file_owned = 1;
    LOG_TYPE = LOG_FILE;
    return 1;
}

int set_log_file_fd(FILE *fd) {
    N_ASSERT(fd, return 0);
    if (log_file && log_file != fd && log_file_owned) fclose(log_file);
    log_file = fd;
    log_file_owned = 0;
    LOG_TYPE = LOG_FILE;
    return 1;
}

int open_sysjrnl(const char *identity) {
    N_ASSERT(identity, return 0);
    size_t len = strlen(identity);
    char *copy = n_calloc(copy, len + 1, char);
    if (!copy) return 0;
    memcpy(copy, identity, len);
    // openlog keeps the pointer, not the text: the old copy may go only once
    // the logger has been pointed at the new one
    openlog(copy, LOG_PID | LOG_CONS | LOG_NDELAY, LOG_LOCAL7);
    free(proc_name);
    proc_name = copy;
    return 1;
}

void close_sysjrnl() {
    closelog();
    free(proc_name);
    proc_name = nullptr;
}

int _vscprintf_so(const char *format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    return n;
}

extern "C" int vasprintf(char **out, const char *format, va_list args) noexcept {
    int len = _vscprintf_so(format, args);
    if (len < 0) return -1;
    char *str = n_calloc(str, (size_t)len + 9, char);
    if (!str) return -1;
    int n = vsnprintf(str, (size_t)len + 1, format, args);
    if (n < 0) {
        free(str);
        return -1;
    }
    *out = str;
    return n;
}

extern "C" int asprintf(char **out, const char *format, ...) noexcept {
    va_list args;
    va_start(args, format);
    int n = vasprintf(out, format, args);
    va_end(args);
    return n;
}

int open_safe_logging(TS_LOG **log, const char *pathname, const char *mode) {
    if (!log) {
        n_log(LOG_ERR, "Invalid log pointer (NULL)");
        return 0;
    }
    if (*log) {
        if ((*log)->file) {
            n_log(LOG_ERR, "Log file '%s' already open", pathname ? pathname : "NULL");
            return -1000;
        }
        n_log(LOG_ERR, "Log struct already allocated without file");
        return 0;
    }
    if (!pathname || !mode) {
        n_log(LOG_ERR, "Invalid pathname or mode (pathname=%s, opt=%s)", pathname ? pathname : "NULL",
              mode ? mode : "NULL");
        return 0;
    }
    *log = n_calloc((*log), 1, TS_LOG);
    if (!*log) {
        n_log(LOG_ERR, "Failed to allocate TS_LOG structure");
        return 0;
    }
    pthread_mutex_init(&(*log)->LOG_MUTEX, nullptr);

    int flags = -1;
    if (!strcmp(mode, "a")) flags = O_WRONLY | O_CREAT | O_APPEND;
    else if (!strcmp(mode, "a+")) flags = O_RDWR | O_CREAT | O_APPEND;
    else if (!strcmp(mode, "w")) flags = O_WRONLY | O_CREAT | O_TRUNC;
    else if (!strcmp(mode, "w+")) flags = O_RDWR | O_CREAT | O_TRUNC;

    int fd = -1;
    if (flags < 0) {
        n_log(LOG_ERR, "Unsupported open mode '%s' for pathname '%s'", mode, pathname);
    } else if ((fd = open(pathname, flags | O_CLOEXEC, 0600)) < 0) {
        n_log(LOG_ERR, "Failed to open '%s' with 0600 permissions", pathname);
    } else if (!((*log)->file = fdopen(fd, mode))) {
        n_log(LOG_ERR, "fdopen failed for '%s' (fd=%d, mode='%s')", pathname, fd, mode);
        close(fd);
    } else {
        return 1;
    }
    pthread_mutex_destroy(&(*log)->LOG_MUTEX);
    free(*log);
    *log = nullptr;
    return 0;
}

int write_safe_log(TS_LOG *log, const char *format, ...) {
    if (!log) return 0;
    N_ASSERT(format, return 0);
    char buf[2048] = {0};
    va_list args;
    va_start(args, format);
    vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    pthread_mutex_lock(&log->LOG_MUTEX);
    fputs(buf, log->file);
    fflush(log->file);
    pthread_mutex_unlock(&log->LOG_MUTEX);
    return 1;
}

int close_safe_logging(TS_LOG *log) {
    if (!log) return 0;
    // fflush(NULL) would flush every stream of the process and fclose(NULL) crash
    pthread_mutex_lock(&log->LOG_MUTEX);
    if (log->file) fflush(log->file);
    pthread_mutex_unlock(&log->LOG_MUTEX);
    pthread_mutex_destroy(&log->LOG_MUTEX);
    if (log->file) fclose(log->file);
    free(log);
    return 1;
}

// Tests count down allocations to make the n-th one fail; atomic so that a
// test thread arming it and a library thread allocating do not race.
static std::atomic<long> alloc_countdown{-1};

static bool alloc_should_fail() {
    long n = alloc_countdown.load(std::memory_order_relaxed);
    while (n >= 0) {
        if (alloc_countdown.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) return n == 0;
    }
    return false;
}

void n_alloc_fail_after(long successes) { alloc_countdown.store(successes < 0 ? -1 : successes); }

void *_n_calloc(const char *expr, size_t count, size_t size, const char *type, const char *file, const char *func,
                int line) {
    errno = 0;
    void *p = nullptr;
    if (alloc_should_fail()) errno = ENOMEM;
    else p = calloc(count, size);
    if (!p)
        _n_log(LOG_ERR, file, func, line, "( %s *)calloc( %zu , sizeof( %s ) ) %s at line %d of %s", expr, count, type,
               errno ? strerror(errno) : "malloc error", line, file);
    return p;
}

void *_n_realloc(void *ptr, const char *expr, size_t count, const char *type, const char *file, const char *func,
                 int line) {
    errno = 0;
    void *p = nullptr;
    if (alloc_should_fail()) errno = ENOMEM;
    // realloc(ptr, 0) may free ptr and return null, which a caller would
    // take for a failure that left ptr allocated
    else p = realloc(ptr, count ? count : 1);
    if (!p)
        _n_log(LOG_ERR, file, func, line, "( %s *)realloc( %s * sizeof( %zu ) ) %s at line %d of %s", expr, type, count,
               errno ? strerror(errno) : "realloc error", line, file);
    return p;
}
