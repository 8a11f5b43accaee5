// Levelled logging: the one diagnostics road of the whole program, and the
// fixed forms in which every foundation module reports a failed precondition,
// a failed allocation or reallocation and the release of a null pointer.
// Nothing is written until set_log_level() gives a threshold; levels are the
// syslog priorities 0 (EMERG) to 7 (DEBUG). Results: 1 success, 0 failure.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <pthread.h>
#include <syslog.h>  // LOG_EMERG .. LOG_DEBUG: our levels are the syslog priorities

// Values of set_log_level() that pick the output mode instead of the threshold.
constexpr int LOG_NULL    = -1;   // the level that is never written, and the initial threshold
constexpr int LOG_FILE    = -3;   // the log file (or standard error while none is set)
constexpr int LOG_STDERR  = -4;   // standard error (or the log file while one is set)
constexpr int LOG_SYSJRNL = 100;  // the system logger

// One row of the level table: printed name, level, event-type name.
struct N_LOG_PRIORITY {
    const char *c_name;
    int c_val;
    const char *w_name;
};
extern const N_LOG_PRIORITY prioritynames[9];  // levels 0..7 then {nullptr, -1, nullptr}

#define n_log(LEVEL, ...) _n_log((LEVEL), __FILE__, __func__, __LINE__, __VA_ARGS__)

void  _n_log(int level, const char *file, const char *func, int line, const char *format, ...)
          __attribute__((format(printf, 5, 6)));
void  set_log_level(int value);                  // -3, -4, 100 set the mode; anything else the threshold
int   get_log_level();
FILE *get_log_file();                            // null while logging goes to standard error
int   set_log_file(const char *file);            // opens (0600, append) a file the module owns
int   set_log_file_fd(FILE *fd);                 // a stream the caller owns and closes
int   open_sysjrnl(const char *identity);        // keeps a copy of identity; does not switch the mode
void  close_sysjrnl();

int   _vscprintf_so(const char *format, va_list args);  // bytes the text needs, -1 on a format error
// Formats into a new zero-filled buffer of length + 9 bytes; the caller frees
// it. On failure returns -1 and leaves *out untouched. These replace the C
// library's functions of the same names for the whole process, which is why
// their contract is kept compatible with them.
extern "C" int vasprintf(char **out, const char *format, va_list args) noexcept;
extern "C" int asprintf(char **out, const char *format, ...) noexcept;

// A log file shared by several threads: each write is formatted outside the
// lock and written and flushed whole under it.
struct TS_LOG {
    pthread_mutex_t LOG_MUTEX;
    FILE *file;
};
int  open_safe_logging(TS_LOG **log, const char *pathname, const char *mode);  // -1000 when *log is already open
int  write_safe_log(TS_LOG *log, const char *format, ...) __attribute__((format(printf, 2, 3)));
int  close_safe_logging(TS_LOG *log);                                         // frees; *log is not reset

// Library-wide failure forms. The text logged is the expression's own source
// text, so N_ASSERT(ptr && (*ptr), return 0) logs "ptr && (*ptr)".
#define n_log_assert_fail(TEXT) \
    _n_log(LOG_DEBUG, __FILE__, __func__, __LINE__, "if( !(%s) ) assert at line %d of %s", (TEXT), __LINE__, __FILE__)
#define N_ASSERT(EXPR, ACTION)             \
    do {                                   \
        if (!(EXPR)) {                     \
            n_log_assert_fail(#EXPR);      \
            ACTION;                        \
        }                                  \
    } while (0)
#define n_log_free_null(TEXT) \
    _n_log(LOG_DEBUG, __FILE__, __func__, __LINE__, "Free( %s ) already done or NULL at line %d of %s", (TEXT), __LINE__, __FILE__)

// Zero-filled allocation of COUNT elements of TYPE; on failure logs the
// allocation form naming EXPR and returns null.
#define n_calloc(EXPR, COUNT, TYPE) \
    static_cast<TYPE *>(_n_calloc(#EXPR, (COUNT), sizeof(TYPE), #TYPE, __FILE__, __func__, __LINE__))
// Reallocation of PTR to COUNT bytes; on failure logs the reallocation form
// naming EXPR, returns null and leaves PTR allocated.
#define n_realloc(EXPR, PTR, COUNT) \
    static_cast<char *>(_n_realloc((PTR), #EXPR, (COUNT), "char", __FILE__, __func__, __LINE__))

void *_n_calloc(const char *expr, size_t count, size_t size, const char *type, const char *file, const char *func, int line);
void *_n_realloc(void *ptr, const char *expr, size_t count, const char *type, const char *file, const char *func, int line);

// Fault injection for tests: after `successes` more allocations through
// n_calloc/n_realloc succeed, the next one fails, once. -1 turns it off.
void  n_alloc_fail_after(long successes);
