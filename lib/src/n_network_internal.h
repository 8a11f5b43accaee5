// Pieces shared by the network module's source files (n_network*.cpp) and
// nobody else: texts for log lines, the record's lock guard, waits on one
// descriptor, and the one place that applies close-on-exec.
#pragma once

#include "n_log.h"
#include "n_network.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <pthread.h>

// The ring and the log get the same text.
#define NETW_RECORD_ERR(NETW, ...)                \
    do {                                          \
        _netw_capture_error((NETW), __VA_ARGS__); \
        n_log(LOG_ERR, __VA_ARGS__);              \
    } while (0)

inline const char *txt(const char *s) { return s ? s : "NULL"; }

// strerror's text in a caller-owned buffer, so two threads never share one.
struct ErrText {
    char buf[256];
    const char *s;
    explicit ErrText(int e) { s = strerror_r(e, buf, sizeof buf); }
};

void netw_bolt_lock(pthread_mutex_t *m, const char *name, const char *func, int line);
void netw_bolt_unlock(pthread_mutex_t *m, const char *name, const char *func, int line);

// Scoped hold of one of the record's mutexes; never nested with another.
struct BoltGuard {
    pthread_mutex_t *m;
    const char *name, *func;
    int line;
    BoltGuard(pthread_mutex_t *m_, const char *name_, const char *func_, int line_)
        : m(m_), name(name_), func(func_), line(line_) {
        netw_bolt_lock(m, name, func, line);
    }
    ~BoltGuard() { netw_bolt_unlock(m, name, func, line); }
    BoltGuard(const BoltGuard &) = delete;
    BoltGuard &operator=(const BoltGuard &) = delete;
};
#define HOLD(NETW, BOLT) BoltGuard hold_##BOLT(&(NETW)->BOLT, "netw->" #BOLT, __func__, __LINE__)

int       netw_locked_read(NETWORK *netw, int NETWORK::*field);  // one field under eventbolt
long long netw_now_ms();                      // monotonic
// Whether a compressed payload (size header + stream) declares a size this
// connection takes: at most its own message limit and at most what the codec
// can make of a stream that long, so a short frame cannot make the receiver
// allocate a large buffer. Checked before decompressing.
bool      netw_declared_size_ok(const NETWORK *netw, const N_STR *packed, bool lz4);
void      netw_sleep_full_ms(int ms);         // resumes after signals
// poll() on one descriptor for up to `ms` (negative: no limit); EINTR resumes
// with what is left, so a timer signal cannot cut a wait short.
int       netw_poll_one(int fd, short events, int ms, short *revents);
// FD_CLOEXEC on `fd` when the process-wide switch is on; errno is kept.
void      netw_apply_cloexec(int fd);
void      netw_switch_to_tls(NETWORK *netw);  // crypto_algo and the four slots
// The session of a single-pass handshake, on `ctx`, in either role: attached to
// the socket, the socket made non-blocking, then the first step (1, 0, -10, -11).
int       netw_ssl_session_first_step(NETWORK *netw, SSL_CTX *ctx, bool client, const char *server_name);
// The server side of a handshake on a fresh session under `limit_ms`: 1 done
// (socket blocking again); 0 with *err EPROTO (failed) or ETIMEDOUT.
int       netw_timed_accept_handshake(NETWORK *netw, int limit_ms, int *err);
