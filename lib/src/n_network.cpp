// Network connections: record lifecycle, error rings, code names, the
// non-blocking TLS client road and socket options. TLS contexts and server
// handshakes live in n_network_tls.cpp, blocking connects, accept, UDP and
// whole-buffer I/O in n_network_blocking.cpp. Every wait on a descriptor goes
// through poll(): select()'s fd_set holds only FD_SETSIZE (1024) descriptors
// and a larger one would be written past its end.
#include "n_network.h"

#include "n_log.h"
#include "n_network_internal.h"
#include "n_reactor.h"

#include <openssl/err.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <mutex>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <endian.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

static std::atomic<int> OPENSSL_IS_INITIALIZED{0};
static pthread_mutex_t *netw_ssl_lockarray = nullptr;
// Two threads starting TLS at once both found it uninitialised and the later
// one dropped the other's lock array: setting up and tearing down take turns.
static std::mutex netw_ssl_init_mutex;
static std::atomic<int> netw_close_on_exec{0};

static thread_local char s_connect_errors[NETW_ERR_RING][NETW_ERR_LEN];
static thread_local int s_connect_err_next = 0;
static thread_local int s_connect_err_count = 0;

// ---------------------------------------------------------------- locks

void netw_bolt_lock(pthread_mutex_t *m, const char *name, const char *func, int line) {
    int e = pthread_mutex_lock(m);
    if (e) n_log(LOG_ERR, "Error %s while locking %s at %s:%s:%d", ErrText(e).s, name, __FILE__, func, line);
}

void netw_bolt_unlock(pthread_mutex_t *m, const char *name, const char *func, int line) {
    int e = pthread_mutex_unlock(m);
    if (e) n_log(LOG_ERR, "Error %s while unlocking %s at %s:%s:%d", ErrText(e).s, name, __FILE__, func, line);
}

int netw_locked_read(NETWORK *netw, int NETWORK::*field) {
    HOLD(netw, eventbolt);
    return netw->*field;
}

// ---------------------------------------------------------------- time

long long netw_now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void netw_sleep_full_ms(int ms) {
    timespec req{ms / 1000, (long)(ms % 1000) * 1000000L}, rem{};
    while (nanosleep(&req, &rem) == -1 && errno == EINTR) req = rem;
}

int netw_poll_one(int fd, short events, int ms, short *revents) {
    pollfd p{fd, events, 0};
    long long deadline = netw_now_ms() + ms;
    for (;;) {
        int r = poll(&p, 1, ms);
        if (r >= 0 || errno != EINTR) {
            *revents = p.revents;
            return r;
        }
        if (ms < 0) continue;
        long long left = deadline - netw_now_ms();
        if (left <= 0) {
            *revents = 0;
            return 0;
        }
        ms = (int)left;
    }
}

void netw_apply_cloexec(int fd) {
    if (fd < 0 || !netw_close_on_exec.load(std::memory_order_relaxed)) return;
    int kept = errno;
    int fl = fcntl(fd, F_GETFD);
    if (fl != -1) fcntl(fd, F_SETFD, fl | FD_CLOEXEC);
    errno = kept;
}

// ---------------------------------------------------------------- error rings

static void ring_write(char (*texts)[NETW_ERR_LEN], int *count, int *next, const char *format, va_list args) {
    vsnprintf(texts[*next], NETW_ERR_LEN, format, args);
    *next = (*next + 1) % NETW_ERR_RING;
    if (*count < NETW_ERR_RING) (*count)++;
}

static const char *ring_read(char (*texts)[NETW_ERR_LEN], int count, int next, int index) {
    if (index < 0 || index >= count) return nullptr;
    int oldest = (next - count + NETW_ERR_RING) % NETW_ERR_RING;
    return texts[(index + oldest) % NETW_ERR_RING];
}

void _netw_capture_error(NETWORK *netw, const char *format, ...) {
    if (!netw || !format) return;
    va_list args;
    va_start(args, format);
    ring_write(netw->errors, &netw->err_count, &netw->err_next, format, args);
    va_end(args);
}

void _netw_capture_connect_error(const char *format, ...) {
    if (!format) return;
    va_list args;
    va_start(args, format);
    ring_write(s_connect_errors, &s_connect_err_count, &s_connect_err_next, format, args);
    va_end(args);
}

const char *n_netw_get_error(NETWORK *netw, int index) {
    if (!netw) return nullptr;
    return ring_read(netw->errors, netw->err_count, netw->err_next, index);
}

const char *n_netw_get_connect_error(int index) {
    return ring_read(s_connect_errors, s_connect_err_count, s_connect_err_next, index);
}

int n_netw_get_error_count(NETWORK *netw) { return netw ? netw->err_count : 0; }
int n_netw_get_connect_error_count() { return s_connect_err_count; }

void n_netw_clear_errors(NETWORK *netw) {
    if (!netw) return;
    netw->err_count = 0;
    netw->err_next = 0;
}

void n_netw_clear_connect_errors() {
    s_connect_err_count = 0;
    s_connect_err_next = 0;
}

// ---------------------------------------------------------------- code names

// Table order is the lookup order: the first name that matches wins.
static constexpr struct {
    int value;
    const char *name;
} kCodeNames[] = {
    {NETW_CLIENT, "NETW_CLIENT"},
    {NETW_SERVER, "NETW_SERVER"},
    {NETW_RESTART_TIMER, "NETW_RESTART_TIMER"},
    {NETW_EMPTY_SENDBUF, "NETW_EMPTY_SENDBUF"},
    {NETW_EMPTY_RECVBUF, "NETW_EMPTY_RECVBUF"},
    {NETW_RUN, "NETW_RUN"},
    {NETW_EXIT_ASKED, "NETW_EXIT_ASKED"},
    {NETW_EXITED, "NETW_EXITED"},
    {NETW_ERROR, "NETW_ERROR"},
    {NETW_ENCRYPT_NONE, "NETW_ENCRYPT_NONE"},
    {NETW_ENCRYPT_OPENSSL, "NETW_ENCRYPT_OPENSSL"},
    {NETW_THR_ENGINE_STARTED, "NETW_THR_ENGINE_STARTED"},
    {NETW_THR_ENGINE_STOPPED, "NETW_THR_ENGINE_STOPPED"},
    {NETW_DESTROY_RECVBUF, "NETW_DESTROY_RECVBUF"},
    {NETW_DESTROY_SENDBUF, "NETW_DESTROY_SENDBUF"},
    {NETW_COMPRESSED_ZLIB, "NETW_COMPRESSED_ZLIB"},
    {NETW_COMPRESSED_LZ4, "NETW_COMPRESSED_LZ4"},
};
static_assert(sizeof kCodeNames / sizeof kCodeNames[0] == 17);

std::atomic<uint64_t> g_netw_bytes_sent{0};
std::atomic<uint64_t> g_netw_bytes_recv{0};
std::atomic<uint64_t> g_netw_msg_created{0};
std::atomic<uint64_t> g_netw_msg_deleted{0};

bool __netw_code_type__isValid(uint32_t value) { return __netw_code_type__toString(value) != nullptr; }

int __netw_code_type__isStringValid(const char *text) {
    return __netw_code_type__fromString(text) != NETW_CODE_TYPE_INVALID ? 1 : 0;
}

const char *__netw_code_type__toString(uint32_t value) {
    for (const auto &c : kCodeNames)
        if ((uint32_t)c.value == value) return c.name;
    return nullptr;
}

uint32_t __netw_code_type__fromString(const char *text) { return __netw_code_type__fromStringEx(text, 0); }

// The skip is checked against each name's length, so a count past the end of
// a short name makes that name not match instead of reading beyond it.
uint32_t __netw_code_type__fromStringEx(const char *text, int skip) {
    if (!text || skip < 0 || skip > NETW_CODE_NAME_SKIP_MAX) return NETW_CODE_TYPE_INVALID;
    for (const auto &c : kCodeNames) {
        size_t len = strlen(c.name);
        if ((size_t)skip <= len && strcmp(c.name + skip, text) == 0) return (uint32_t)c.value;
    }
    return NETW_CODE_TYPE_INVALID;
}

void netw_msg_stats_get(uint64_t *created, uint64_t *deleted) {
    if (created) *created = g_netw_msg_created.load();
    if (deleted) *deleted = g_netw_msg_deleted.load();
}

void netw_bytes_stats_get(uint64_t *sent, uint64_t *received) {
    if (sent) *sent = g_netw_bytes_sent.load();
    if (received) *received = g_netw_bytes_recv.load();
}

// ---------------------------------------------------------------- record

NETWORK *netw_new(size_t send_list_limit, size_t recv_list_limit) {
    errno = 0;
    NETWORK *netw = n_calloc(netw, 1, NETWORK);
    if (!netw) return nullptr;

    netw->backlog = -1;
    netw->mode = -1;
    netw->threaded_engine_status = NETW_THR_ENGINE_STOPPED;
    netw->so_reuseaddr = netw->so_keepalive = netw->tcpnodelay = -1;
    netw->so_sndbuf = netw->so_rcvbuf = netw->so_sndtimeo = netw->so_rcvtimeo = netw->so_linger = -1;
    netw->state = NETW_EXITED;
    netw->compression = 1;
    netw->link.sock = -1;

    int e = pthread_mutex_init(&netw->sendbolt, nullptr);
    if (e) {
        n_log(LOG_ERR, "Error initializing netw -> sendbolt");
        free(netw);
        return nullptr;
    }
    e = pthread_mutex_init(&netw->recvbolt, nullptr);
    if (e) {
        n_log(LOG_ERR, "Error initializing netw -> recvbolt");
        pthread_mutex_destroy(&netw->sendbolt);
        free(netw);
        return nullptr;
    }
    e = pthread_mutex_init(&netw->eventbolt, nullptr);
    if (e == 0 && sem_init(&netw->send_blocker, 0, 0) != 0) {
        pthread_mutex_destroy(&netw->eventbolt);
        e = -1;
    }
    if (e == 0 && pthread_mutex_init(&netw->ssl_bolt, nullptr) != 0) {
        sem_destroy(&netw->send_blocker);
        pthread_mutex_destroy(&netw->eventbolt);
        e = -1;
    }
    if (e) {
        n_log(LOG_ERR, "Error initializing netw -> eventbolt");
        pthread_mutex_destroy(&netw->recvbolt);
        pthread_mutex_destroy(&netw->sendbolt);
        free(netw);
        return nullptr;
    }

    // From here netw_close can take the record apart whatever is missing.
    netw->recv_buf = new_generic_list(recv_list_limit);
    if (!netw->recv_buf) {
        n_log(LOG_ERR, "Error when creating receive list with %zu item limit", recv_list_limit);
        netw_close(&netw);
        return nullptr;
    }
    netw->send_buf = new_generic_list(send_list_limit);
    if (!netw->send_buf) {
        n_log(LOG_ERR, "Error when creating send list with %zu item limit", send_list_limit);
        netw_close(&netw);
        return nullptr;
    }
    netw->pools = new_generic_list(SIZE_MAX);
    if (!netw->pools) {
        n_log(LOG_ERR, "Error when creating pools list");
        netw_close(&netw);
        return nullptr;
    }

    netw->crypto_algo = NETW_ENCRYPT_NONE;
    netw->nb_running_threads = 0;
    netw->wait_for_threads_timeout = -1;
    netw->deplete_timeout = -1;
    netw->wait_close_timeout = -1;
    netw->tls_handshake_timeout = 0;
    netw->recv_msg_limit = NETW_MSG_MAX_FRAME_SIZE;
    netw->link.is_blocking = 1;
    netw->send_data_fn = send_data;
    netw->recv_data_fn = recv_data;
    netw->send_once_fn = send_data_once;
    netw->recv_once_fn = recv_data_once;
    return netw;
}

int netw_set(NETWORK *netw, unsigned int flags) {
    N_ASSERT(netw, return 0);
    if (flags & NETW_EMPTY_SENDBUF) {
        HOLD(netw, sendbolt);
        if (netw->send_buf) list_empty(netw->send_buf);
    }
    if (flags & NETW_EMPTY_RECVBUF) {
        HOLD(netw, recvbolt);
        if (netw->recv_buf) list_empty(netw->recv_buf);
    }
    if (flags & NETW_DESTROY_SENDBUF) {
        HOLD(netw, sendbolt);
        if (netw->send_buf) list_destroy(&netw->send_buf);
    }
    if (flags & NETW_DESTROY_RECVBUF) {
        HOLD(netw, recvbolt);
        if (netw->recv_buf) list_destroy(&netw->recv_buf);
    }
    {
        HOLD(netw, eventbolt);
        for (int m : {NETW_CLIENT, NETW_SERVER})
            if (flags & (unsigned)m) netw->mode = m;
        for (int s : {NETW_RUN, NETW_EXITED, NETW_ERROR, NETW_EXIT_ASKED})
            if (flags & (unsigned)s) netw->state = s;
        for (int t : {NETW_THR_ENGINE_STARTED, NETW_THR_ENGINE_STOPPED})
            if (flags & (unsigned)t) netw->threaded_engine_status = t;
    }
    if (flags & (NETW_EXIT_ASKED | NETW_EXITED | NETW_ERROR)) sem_post(&netw->send_blocker);
    return 1;
}

int netw_get_state(NETWORK *netw, int *state, int *thr_engine_status) {
    if (!netw) {
        n_log(LOG_ERR, "Can't get status of a NULL network");
        return 0;
    }
    HOLD(netw, eventbolt);
    if (state) *state = netw->state;
    if (thr_engine_status) *thr_engine_status = netw->threaded_engine_status;
    return 1;
}

// The queue is read once more when the time is up: what drained during the
// last step must not be reported as left behind.
int deplete_send_buffer(int fd, int timeout_ms) {
    if (timeout_ms <= 0) return 0;
    for (long long elapsed = 0;; elapsed += NETW_WAIT_STEP_MS) {
        int queued = 0;
        if (ioctl(fd, SIOCOUTQ, &queued) == -1) {
            n_log(LOG_ERR, "ioctl SIOCOUTQ returned -1: %s for socket %d", ErrText(errno).s, fd);
            return -1;
        }
        if (queued == 0 || elapsed >= timeout_ms) return queued;
        netw_sleep_full_ms((int)std::min<long long>(timeout_ms - elapsed, NETW_WAIT_STEP_MS));
    }
}

static void ssl_close_session(NETWORK *netw, int threads) {
    int sock = netw->link.sock;
    if (!netw->ssl) {
        if (netw->mode == NETW_SERVER)
            n_log(LOG_DEBUG, "listening socket %d has no SSL handle (expected)", sock);
        else
            n_log(LOG_ERR, "SSL handle of socket %d was already NULL", sock);
        return;
    }
    if (threads > 0) n_log(LOG_WARNING, "netw %d: forcing bidirectional SSL_shutdown with %d threads still running", sock, threads);
    int r = SSL_shutdown(netw->ssl);
    if (r == 0) r = SSL_shutdown(netw->ssl);
    if (r < 0) {
        int code = SSL_get_error(netw->ssl, r);
        if (threads > 0) {
            n_log(LOG_ERR, "netw %d: SSL_shutdown() failed with %d threads still running: %d", sock, threads, code);
        } else if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
            n_log(LOG_DEBUG, "SSL_shutdown() would block on non-blocking socket %d: %d", sock, code);
            ERR_clear_error();
        } else if (code == SSL_ERROR_SSL || code == SSL_ERROR_SYSCALL) {
            n_log(LOG_DEBUG, "SSL_shutdown() peer already closed: %d", code);
        } else {
            n_log(LOG_ERR, "SSL_shutdown() failed: %d", code);
        }
    }
    ERR_clear_error();
    SSL_free(netw->ssl);
    netw->ssl = nullptr;
}

// After our FIN, read and drop whatever the peer still sends until its FIN,
// in passes of NETW_WAIT_STEP_MS.
static void wait_peer_close(NETWORK *netw) {
    int sock = netw->link.sock;
    long long passes = (long long)netw->wait_close_timeout * (1000 / NETW_WAIT_STEP_MS);
    char sink[4096];
    for (long long pass = 0; pass < passes; pass++) {
        short revents = 0;
        int r = netw_poll_one(sock, POLLIN, NETW_WAIT_STEP_MS, &revents);
        if (r == 0) continue;
        if (r < 0) {
            n_log(LOG_ERR, "poll() error on socket %d during close: %s", sock, ErrText(errno).s);
            return;
        }
        ssize_t got = recv(sock, sink, sizeof sink, MSG_NOSIGNAL);
        if (got == 0) return;
        if (got < 0) {
            int e = errno;
            if (e == ENOTCONN || e == EINTR || e == ECONNRESET)
                n_log(LOG_DEBUG, "wait close: connection gracefully closed on socket %d (%s:%s)", sock,
                      txt(netw->link.ip), txt(netw->link.port));
            else
                n_log(LOG_ERR, "read returned error %d when closing socket %d (%s:%s): %s", e, sock, txt(netw->link.ip),
                      txt(netw->link.port), ErrText(e).s);
            return;
        }
    }
}

int netw_close(NETWORK **netw) {
    N_ASSERT(netw && (*netw), return 0);
    NETWORK *n = *netw;

    // The reactor's loop lets go of the connection before anyone else touches it.
    if (n->reactor_ever.load()) n_reactor_close_netw_sync(n);

    if (n->wait_for_threads_timeout > 0 && netw_locked_read(n, &NETWORK::threaded_engine_status) == NETW_THR_ENGINE_STARTED) {
        long long passes = (long long)n->wait_for_threads_timeout * (1000 / NETW_WAIT_STEP_MS), pass = 0;
        int count = 0;
        for (; pass < passes; pass++) {
            count = netw_locked_read(n, &NETWORK::nb_running_threads);
            netw_sleep_full_ms(NETW_WAIT_STEP_MS);
            if (count == 0) break;
        }
        if (pass == passes && count > 0) {
            int state = netw_locked_read(n, &NETWORK::state);
            n_log(LOG_ERR, "netw %d: %d threads are still running after %d seconds, netw is in state %s (%u)", n->link.sock,
                  count, n->wait_for_threads_timeout, txt(__netw_code_type__toString((uint32_t)state)), (unsigned)state);
        }
    }

    if (n->link.sock != -1) {
        int left = deplete_send_buffer(n->link.sock, n->deplete_timeout);
        if (left > 0)
            n_log(LOG_ERR, "socket %d (%s:%s) %d octets still in send buffer before closing after a wait of %d msecs",
                  n->link.sock, txt(n->link.ip), txt(n->link.port), left, n->deplete_timeout);
    }

    if (n->pools) {
        // netw_pool_remove unlinks the node it finds, so take the head each time.
        while (n->pools->start) {
            NETWORK_POOL *pool = static_cast<NETWORK_POOL *>(n->pools->start->ptr);
            if (!netw_pool_remove(pool, n)) {
                // Not in that pool's table: drop the stale entry all the same.
                void *gone = remove_list_node(n->pools, n->pools->start);
                (void)gone;
            }
        }
        list_destroy(&n->pools);
    }

    if (netw_locked_read(n, &NETWORK::threaded_engine_status) == NETW_THR_ENGINE_STARTED) netw_stop_thr_engine(n);

    int threads = netw_locked_read(n, &NETWORK::nb_running_threads);

    if (n->link.sock != -1) {
        if (n->crypto_algo == NETW_ENCRYPT_OPENSSL) ssl_close_session(n, threads);
        shutdown(n->link.sock, SHUT_WR);
        if (n->wait_close_timeout > 0) wait_peer_close(n);
        close(n->link.sock);
        n_log(LOG_DEBUG, "socket %d closed", n->link.sock);
        n->link.sock = -1;
    }
    if (n->ssl) {  // a session whose socket is already gone
        SSL_free(n->ssl);
        n->ssl = nullptr;
    }
    if (n->ctx) SSL_CTX_free(n->ctx);
    free(n->key);
    free(n->certificate);
    free(n->link.ip);
    free(n->link.port);
    if (n->link.addr_list) freeaddrinfo(n->link.addr_list);

    netw_set(n, NETW_DESTROY_RECVBUF | NETW_DESTROY_SENDBUF);

    const char *names[] = {"netw->recvbolt", "netw->sendbolt", "netw->eventbolt", "netw->ssl_bolt"};
    pthread_mutex_t *bolts[] = {&n->recvbolt, &n->sendbolt, &n->eventbolt, &n->ssl_bolt};
    for (int i = 0; i < 4; i++) {
        int e = pthread_mutex_destroy(bolts[i]);
        if (e) n_log(LOG_ERR, "Error %s while destroying %s at %s:%s:%d", ErrText(e).s, names[i], __FILE__, __func__, __LINE__);
    }
    sem_destroy(&n->send_blocker);
    free(n);
    *netw = nullptr;
    return 1;
}

// ---------------------------------------------------------------- connect

int netw_set_blocking(NETWORK *netw, unsigned long blocking) {
    N_ASSERT(netw, return 0);
    int sock = netw->link.sock;
    int flags = fcntl(sock, F_GETFL, 0);
    int set = -1;
    if (flags != -1) {
        if (blocking) {
            if (netw->link.is_blocking != 1 && !(flags & O_NONBLOCK)) {
                n_log(LOG_DEBUG, "socket %d was already in blocking mode", sock);
                netw->link.is_blocking = 1;
                return 1;
            }
            set = fcntl(sock, F_SETFL, flags & ~O_NONBLOCK);
        } else {
            if (netw->link.is_blocking != 0 && (flags & O_NONBLOCK)) {
                n_log(LOG_DEBUG, "socket %d was already in non-blocking mode", sock);
                netw->link.is_blocking = 0;
                return 1;
            }
            set = fcntl(sock, F_SETFL, flags | O_NONBLOCK);
        }
    }
    if (set == -1) {
        NETW_RECORD_ERR(netw, "couldn't set blocking mode %lu on %d: %s", blocking, sock, ErrText(errno).s);
        return 0;
    }
    netw->link.is_blocking = blocking ? 1 : 0;
    return 1;
}

// Starts a connect on link.addr_next or a later address; 1 when one is under way.
static int start_nonblock_connect(NETWORK *netw) {
    for (; netw->link.addr_next; netw->link.addr_next = netw->link.addr_next->ai_next) {
        const addrinfo *a = netw->link.addr_next;
        int fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd < 0) continue;
        netw_apply_cloexec(fd);
        netw->link.sock = fd;
        if (netw_set_blocking(netw, 0) && (connect(fd, a->ai_addr, a->ai_addrlen) == 0 || errno == EINPROGRESS)) return 1;
        close(fd);
        netw->link.sock = -1;
    }
    return 0;
}

int netw_connect_nonblock(NETWORK **netw, const char *host, const char *port, int ip_version) {
    N_ASSERT(netw, return 0);
    if (*netw) {
        n_log(LOG_ERR, "netw_connect_nonblock: pass an empty NETWORK* (got a non-NULL one)");
        return 0;
    }
    *netw = netw_new(SIZE_MAX, SIZE_MAX);
    N_ASSERT(*netw, return 0);

    NETW_LINK &link = (*netw)->link;
    link.hints.ai_family = ip_version == 1 ? AF_INET : ip_version == 2 ? AF_INET6 : AF_UNSPEC;
    link.hints.ai_socktype = SOCK_STREAM;
    link.hints.ai_protocol = IPPROTO_TCP;
    link.hints.ai_flags = 0;

    link.ip = n_calloc((*netw)->link.ip, NETW_IP_LEN, char);
    if (!link.ip) {
        netw_close(netw);
        return 0;
    }
    int gai = getaddrinfo(host, port, &link.hints, &link.addr_list);
    if (gai != 0) {
        // The record and its ring go away here; the thread's ring keeps the cause.
        _netw_capture_connect_error("netw_connect_nonblock resolve %s:%s: %s", txt(host), txt(port), gai_strerror(gai));
        n_log(LOG_ERR, "netw_connect_nonblock resolve %s:%s: %s", txt(host), txt(port), gai_strerror(gai));
        link.addr_list = nullptr;
        netw_close(netw);
        return 0;
    }
    link.addr_next = link.addr_list;
    link.port = port ? strdup(port) : nullptr;
    N_ASSERT((*netw)->link.port, {
        netw_close(netw);
        return 0;
    });
    if (start_nonblock_connect(*netw)) return 1;
    _netw_capture_connect_error("netw_connect_nonblock: could not initiate connect to %s:%s", txt(host), txt(port));
    n_log(LOG_ERR, "netw_connect_nonblock: could not initiate connect to %s:%s", txt(host), txt(port));
    netw_close(netw);
    return 0;
}

int netw_connect_check(NETWORK *netw) {
    N_ASSERT(netw, return 0);
    if (netw->link.sock == -1) return 0;

    short revents = 0;
    pollfd p{netw->link.sock, POLLOUT, 0};
    int r = poll(&p, 1, 0);
    revents = p.revents;
    if (r == 0) return -11;
    if (r < 0) return errno == EINTR ? -11 : 0;

    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(netw->link.sock, SOL_SOCKET, SO_ERROR, &err, &len) == -1) err = errno;
    if (err == 0 && (revents & POLLNVAL)) err = EBADF;
    if (err == 0) {
        const addrinfo *a = netw->link.addr_next;
        if (!inet_ntop(a->ai_family, get_in_addr(a->ai_addr), netw->link.ip, NETW_IP_LEN))
            n_log(LOG_ERR, "netw_connect_check: inet_ntop failed on socket %d", netw->link.sock);
        HOLD(netw, eventbolt);
        netw->mode = NETW_CLIENT;
        netw->state = NETW_RUN;
        netw->threaded_engine_status = NETW_THR_ENGINE_STOPPED;
        return 1;
    }
    n_log(LOG_INFO, "netw_connect_check: connect failed on an address: %s", ErrText(err).s);
    close(netw->link.sock);
    netw->link.sock = -1;
    netw->link.addr_next = netw->link.addr_next ? netw->link.addr_next->ai_next : nullptr;
    return start_nonblock_connect(netw) ? -11 : 0;
}

// ---------------------------------------------------------------- TLS

int netw_init_openssl() {
    if (OPENSSL_IS_INITIALIZED.load() == 1) return 1;
    std::lock_guard<std::mutex> lock(netw_ssl_init_mutex);
    if (OPENSSL_IS_INITIALIZED.load() == 1) return 1;
    OPENSSL_init_ssl(0, nullptr);
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
    netw_ssl_lockarray = static_cast<pthread_mutex_t *>(OPENSSL_malloc(sizeof(pthread_mutex_t)));
    if (netw_ssl_lockarray) pthread_mutex_init(netw_ssl_lockarray, nullptr);
    // A write to a vanished peer inside OpenSSL must not kill the process.
    signal(SIGPIPE, SIG_IGN);
    OPENSSL_IS_INITIALIZED.store(1);
    return 1;
}

int netw_unload_openssl() {
    std::lock_guard<std::mutex> lock(netw_ssl_init_mutex);
    if (OPENSSL_IS_INITIALIZED.load() == 1) {
        if (netw_ssl_lockarray) {
            pthread_mutex_destroy(netw_ssl_lockarray);
            OPENSSL_free(netw_ssl_lockarray);
            netw_ssl_lockarray = nullptr;
        }
        OPENSSL_IS_INITIALIZED.store(0);
    }
    return 1;
}

void netw_ssl_print_errors(int socket) {
    unsigned long code;
    while ((code = ERR_get_error()) != 0) {
        const char *reason = ERR_reason_error_string(code);
        n_log(ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING ? LOG_DEBUG : LOG_ERR, "socket %d: %s", socket,
              txt(reason));
    }
}

int netw_ssl_start_client(NETWORK *netw) {
    N_ASSERT(netw, return 0);
    netw_init_openssl();
    // A context from an earlier start is owned here too; a session made from
    // it holds its own reference.
    if (netw->ctx) {
        SSL_CTX_free(netw->ctx);
        netw->ctx = nullptr;
    }
    netw->method = TLS_client_method();
    netw->ctx = SSL_CTX_new(netw->method);
    if (!netw->ctx) {
        netw_ssl_print_errors(netw->link.sock);
        return 0;
    }
    SSL_CTX_set_mode(netw->ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (SSL_CTX_set_default_verify_paths(netw->ctx) != 1) ERR_clear_error();
    netw_switch_to_tls(netw);
    return 1;
}

void netw_switch_to_tls(NETWORK *netw) {
    netw->crypto_algo = NETW_ENCRYPT_OPENSSL;
    netw->send_data_fn = send_ssl_data;
    netw->recv_data_fn = recv_ssl_data;
    netw->send_once_fn = send_ssl_data_once;
    netw->recv_once_fn = recv_ssl_data_once;
}

static int has_ctx(NETWORK *netw) {
    N_ASSERT(netw, return 0);
    N_ASSERT(netw->ctx, {
        n_log(LOG_ERR, "SSL context not initialized, call netw_set_crypto first");
        return 0;
    });
    return 1;
}

int netw_ssl_set_verify(NETWORK *netw, int verify) {
    if (!has_ctx(netw)) return 0;
    SSL_CTX_set_verify(netw->ctx, verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
    netw->ssl_verify_explicit = 1;
    return 1;
}

int netw_ssl_set_versions(NETWORK *netw, int min_version, int max_version) {
    if (!has_ctx(netw)) return 0;
    if (min_version && SSL_CTX_set_min_proto_version(netw->ctx, min_version) != 1) {
        n_log(LOG_ERR, "SSL_CTX_set_min_proto_version(%d) failed", min_version);
        return 0;
    }
    if (max_version && SSL_CTX_set_max_proto_version(netw->ctx, max_version) != 1) {
        n_log(LOG_ERR, "SSL_CTX_set_max_proto_version(%d) failed", max_version);
        return 0;
    }
    return 1;
}

int _netw_ssl_handshake_step(NETWORK *netw) {
    N_ASSERT(netw, return 0);
    SSL *ssl = netw->ssl;
    N_ASSERT(ssl, return 0);
    ERR_clear_error();
    errno = 0;
    int r = SSL_do_handshake(ssl);
    if (r == 1) return 1;
    int kept = errno;
    int code = SSL_get_error(ssl, r);
    if (code == SSL_ERROR_WANT_READ) return -10;
    if (code == SSL_ERROR_WANT_WRITE) return -11;

    unsigned long first = ERR_peek_error();
    const char *reason = first ? ERR_reason_error_string(first) : nullptr;
    _netw_capture_error(netw, "TLS handshake failed for %s:%s: %s", txt(netw->link.ip), txt(netw->link.port),
                        reason ? reason : "unknown error");
    const char *why = reason                             ? reason
                      : code == SSL_ERROR_ZERO_RETURN ? "peer closed"
                      : code == SSL_ERROR_SYSCALL     ? "syscall/EOF"
                                                      : "no reason";
    n_log(LOG_ERR, "socket %d: non-blocking TLS handshake failed (SSL_get_error %d, %s, errno %d)", netw->link.sock, code,
          why, kept);
    ERR_clear_error();
    return 0;
}

int netw_ssl_handshake_once(NETWORK *netw, const char *server_name) {
    N_ASSERT(netw, return 0);
    N_ASSERT(netw->ctx, {
        n_log(LOG_ERR, "netw_ssl_handshake_once: no SSL context");
        return 0;
    });
    if (netw->ssl) return _netw_ssl_handshake_step(netw);
    return netw_ssl_session_first_step(netw, netw->ctx, true, server_name);
}

int netw_ssl_session_first_step(NETWORK *netw, SSL_CTX *ctx, bool client, const char *server_name) {
    netw->ssl = SSL_new(ctx);
    if (!netw->ssl) {
        _netw_capture_error(netw, "SSL_new failed");
        netw_ssl_print_errors(netw->link.sock);
        return 0;
    }
    if (SSL_set_fd(netw->ssl, netw->link.sock) != 1) {
        _netw_capture_error(netw, "SSL_set_fd failed");
        netw_ssl_print_errors(netw->link.sock);
        return 0;
    }
    if (client) {
        SSL_set_connect_state(netw->ssl);
        if (server_name) SSL_set_tlsext_host_name(netw->ssl, server_name);
    } else {
        SSL_set_accept_state(netw->ssl);
    }
    netw_switch_to_tls(netw);
    if (!netw_set_blocking(netw, 0)) return 0;
    return _netw_ssl_handshake_step(netw);
}

// One direction of single-pass TLS I/O. A stale errno must not turn the EOF
// that SSL_ERROR_SYSCALL reports with errno 0 into a would-block, so errno is
// cleared before the call.
static ssize_t ssl_once(NETWORK *netw, char *buf, uint32_t n, bool sending) {
    SSL *ssl = netw->ssl;
    int sock = netw->link.sock;
    ERR_clear_error();
    errno = 0;
    size_t moved = 0;
    int r = sending ? SSL_write_ex(ssl, buf, n, &moved) : SSL_read_ex(ssl, buf, n, &moved);
    if (r == 1) return (ssize_t)moved;
    int kept = errno;
    int code = SSL_get_error(ssl, r);
    switch (code) {
    case SSL_ERROR_WANT_READ: return -10;
    case SSL_ERROR_WANT_WRITE: return -11;
    case SSL_ERROR_ZERO_RETURN:
        n_log(LOG_DEBUG, "socket %d TLS session closed by peer", sock);
        return -2;
    case SSL_ERROR_SYSCALL:
        if (kept == 0 || kept == ECONNRESET || kept == ENOTCONN || (sending && kept == EPIPE)) {
            n_log(LOG_DEBUG, sending ? "socket %d SSL_write syscall: connection closed by peer"
                                     : "socket %d SSL_read syscall: connection closed by peer",
                  sock);
            return -2;
        }
        if (kept == EINTR || kept == EAGAIN) return sending ? -11 : -10;
        if (sending)
            NETW_RECORD_ERR(netw, "socket %d SSL_write_once syscall error: %s", sock, ErrText(kept).s);
        else
            NETW_RECORD_ERR(netw, "socket %d SSL_read_once syscall error: %s", sock, ErrText(kept).s);
        return -1;
    default: break;
    }
    unsigned long first = ERR_peek_error();
    if (!sending && code == SSL_ERROR_SSL && ERR_GET_REASON(first) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        ERR_clear_error();
        n_log(LOG_DEBUG, "socket %d : peer closed connection (TLS unexpected EOF)", sock);
        return -2;
    }
    const char *reason = first ? ERR_reason_error_string(first) : nullptr;
    ERR_clear_error();
    if (sending)
        NETW_RECORD_ERR(netw, "socket %d SSL_write_once error: %s", sock, txt(reason));
    else
        NETW_RECORD_ERR(netw, "socket %d SSL_read_once error: %s", sock, txt(reason));
    return -1;
}

ssize_t send_ssl_data_once(NETWORK *netw, char *buf, uint32_t n) {
    N_ASSERT(netw, return -1);
    N_ASSERT(buf, return -1);
    SSL *ssl = netw->ssl;
    N_ASSERT(ssl, return -1);
    if (n == 0) {
        NETW_RECORD_ERR(netw, "Send of 0 is unsupported.");
        return -1;
    }
    return ssl_once(netw, buf, n, true);
}

ssize_t recv_ssl_data_once(NETWORK *netw, char *buf, uint32_t n) {
    N_ASSERT(netw, return -1);
    N_ASSERT(buf, return -1);
    SSL *ssl = netw->ssl;
    N_ASSERT(ssl, return -1);
    if (n == 0) {
        NETW_RECORD_ERR(netw, "Recv of 0 is unsupported.");
        return -1;
    }
    return ssl_once(netw, buf, n, false);
}

// ---------------------------------------------------------------- plain TCP

ssize_t send_data_once(NETWORK *netw, char *buf, uint32_t n) {
    N_ASSERT(netw, return -1);
    N_ASSERT(buf, return -1);
    if (n == 0) {
        NETW_RECORD_ERR(netw, "Send of 0 is unsupported.");
        return -1;
    }
    int sock = netw->link.sock;
    ssize_t r;
    do {
        r = send(sock, buf, n, MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    if (r > 0) return r;
    if (r == 0) {
        n_log(LOG_DEBUG, "socket %d : send returned 0", sock);
        return -2;
    }
    int e = errno;
    if (e == EAGAIN || e == EWOULDBLOCK) return -11;
    if (e == ECONNRESET || e == ENOTCONN || e == EPIPE) {
        n_log(LOG_DEBUG, "socket %d disconnected !", sock);
        return -2;
    }
    NETW_RECORD_ERR(netw, "Socket %d send_once error: %s", sock, ErrText(e).s);
    return -1;
}

ssize_t recv_data_once(NETWORK *netw, char *buf, uint32_t n) {
    N_ASSERT(netw, return -1);
    N_ASSERT(buf, return -1);
    if (n == 0) {
        NETW_RECORD_ERR(netw, "Recv of 0 is unsupported.");
        return -1;
    }
    int sock = netw->link.sock;
    ssize_t r;
    do {
        r = recv(sock, buf, n, MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    if (r > 0) return r;
    int e = r == 0 ? 0 : errno;
    if (r == 0 || e == ECONNRESET || e == ENOTCONN) {
        n_log(LOG_DEBUG, "socket %d disconnected !", sock);
        return -2;
    }
    if (e == EAGAIN || e == EWOULDBLOCK) return -10;
    NETW_RECORD_ERR(netw, "Socket %d recv_once error: %s", sock, ErrText(e).s);
    return -1;
}

// ---------------------------------------------------------------- options

static int set_sock_opt(NETWORK *netw, int level, int name, const void *value, socklen_t len, const char *label) {
    if (setsockopt(netw->link.sock, level, name, value, len) == 0) return 1;
    ErrText e(errno);
    NETW_RECORD_ERR(netw, "Error from setsockopt(%s) on socket %d. neterrno: %s", label, netw->link.sock, e.s);
    return 0;
}

int netw_setsockopt(NETWORK *netw, int optname, int value) {
    N_ASSERT(netw, return 0);
    int sock = netw->link.sock;
    switch (optname) {
    case TCP_NODELAY:
        if (value >= 0 && !set_sock_opt(netw, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value, "TCP_NODELAY")) return 0;
        netw->tcpnodelay = value;
        return 1;
    case SO_REUSEADDR:
        if (!set_sock_opt(netw, SOL_SOCKET, SO_REUSEADDR, &value, sizeof value, "SO_REUSEADDR")) return 0;
        netw->so_reuseaddr = value;
        return 1;
    case SO_SNDBUF:
        if (value >= 0 && !set_sock_opt(netw, SOL_SOCKET, SO_SNDBUF, &value, sizeof value, "SO_SNDBUF")) return 0;
        netw->so_sndbuf = value;
        return 1;
    case SO_RCVBUF:
        if (value >= 0 && !set_sock_opt(netw, SOL_SOCKET, SO_RCVBUF, &value, sizeof value, "SO_RCVBUF")) return 0;
        netw->so_rcvbuf = value;
        return 1;
    case SO_KEEPALIVE:
        if (!set_sock_opt(netw, SOL_SOCKET, SO_KEEPALIVE, &value, sizeof value, "SO_KEEPALIVE")) return 0;
        netw->so_keepalive = value;
        return 1;
    case TCP_QUICKACK:
        if (setsockopt(sock, IPPROTO_TCP, TCP_QUICKACK, &value, sizeof value) != 0) {
            ErrText e(errno);
            NETW_RECORD_ERR(netw, "Error setting setsockopt(TCP_QUICKACK) to %d on sock %d. neterrno: %s", value, sock, e.s);
            return 0;
        }
        return 1;
    case SO_LINGER: {
        linger l{};
        l.l_onoff = value < 0 ? 0 : 1;
        l.l_linger = value < 0 ? 0 : value;
        if (!set_sock_opt(netw, SOL_SOCKET, SO_LINGER, &l, sizeof l, "SO_LINGER")) return 0;
        netw->so_linger = value;
        return 1;
    }
    case TCP_USER_TIMEOUT:
        if (value < 0) return 1;
        return set_sock_opt(netw, IPPROTO_TCP, TCP_USER_TIMEOUT, &value, sizeof value, "TCP_USER_TIMEOUT");
    case SO_RCVTIMEO:
    case SO_SNDTIMEO: {
        bool rcv = optname == SO_RCVTIMEO;
        if (value >= 0) {
            timeval tv{value / 1000, (suseconds_t)(value % 1000) * 1000};
            if (!set_sock_opt(netw, SOL_SOCKET, optname, &tv, sizeof tv, rcv ? "SO_RCVTIMEO" : "SO_SNDTIMEO")) return 0;
        }
        (rcv ? netw->so_rcvtimeo : netw->so_sndtimeo) = value;
        return 1;
    }
    case NETW_OPT_DEPLETE_TIMEOUT: netw->deplete_timeout = value; return 1;
    case NETW_OPT_WAIT_THREADS_TIMEOUT: netw->wait_for_threads_timeout = value; return 1;
    case NETW_OPT_SEND_QUEUE_WAIT: netw->send_queue_consecutive_wait = value; return 1;
    case NETW_OPT_WAIT_CLOSE_TIMEOUT: netw->wait_close_timeout = value; return 1;
    case NETW_OPT_TLS_HANDSHAKE_TIMEOUT: netw->tls_handshake_timeout = value < 0 ? 0 : value; return 1;
    case NETW_OPT_RECV_MSG_LIMIT:
        netw->recv_msg_limit = value <= 0 ? NETW_MSG_MAX_FRAME_SIZE : std::min<uint32_t>((uint32_t)value, NETW_MSG_MAX_FRAME_SIZE);
        return 1;
    default:
        NETW_RECORD_ERR(netw, "%d is not a supported setsockopt", optname);
        return 0;
    }
}

int netw_set_close_on_exec(int flag) { return netw_close_on_exec.exchange(flag ? 1 : 0); }
int netw_get_close_on_exec() { return netw_close_on_exec.load(std::memory_order_relaxed); }

int netw_set_compression_mode(NETWORK *netw, int mode) {
    N_ASSERT(netw, return 0);
    // A negative mode names no codec either; storing it would leave the engine guessing.
    if (mode < 0 || mode > 2) {
        n_log(LOG_ERR, "netw_set_compression_mode: unknown mode %d", mode);
        return 0;
    }
    netw->compression = mode;
    return 1;
}

uint64_t htonst(uint64_t value) { return htobe64(value); }
uint64_t ntohst(uint64_t value) { return be64toh(value); }

void *get_in_addr(struct sockaddr *sa) {
    if (sa->sa_family == AF_INET) return &reinterpret_cast<sockaddr_in *>(sa)->sin_addr;
    return &reinterpret_cast<sockaddr_in6 *>(sa)->sin6_addr;
}

int netw_init_wsa() { return 1; }
