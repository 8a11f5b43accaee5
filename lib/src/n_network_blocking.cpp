// Blocking connections: TCP connects with a per-address time-out, an abort
// hook and an optional TLS layer; listening and accepting (blocking, polled or
// timed, with a time-limited TLS handshake); UDP sockets; adoption of a
// descriptor connected elsewhere; and the whole-buffer send and receive
// functions that the connection's slots default to. Every wait is a poll().
#include "n_network.h"

#include "n_log.h"
#include "n_network_internal.h"
#include "n_time.h"

#include <openssl/err.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

static NETW_CONNECT_ABORT_FN _netw_connect_abort_cb = nullptr;
static void *_netw_connect_abort_ctx = nullptr;

constexpr int NETW_ABORT_POLL_MS = 100;  // how often a timed connect asks the abort hook

void netw_set_connect_abort_cb(NETW_CONNECT_ABORT_FN cb, void *user) {
    _netw_connect_abort_cb = cb;
    _netw_connect_abort_ctx = user;
}

int _netw_socket(int family, int type, int protocol) {
    int fd = socket(family, type, protocol);
    netw_apply_cloexec(fd);
    return fd;
}

int _netw_accept(int listen_fd, struct sockaddr *addr, socklen_t *addrlen) {
    int fd = accept(listen_fd, addr, addrlen);
    netw_apply_cloexec(fd);
    return fd;
}

static int family_of(int ip_version) { return ip_version == 1 ? AF_INET : ip_version == 2 ? AF_INET6 : AF_UNSPEC; }

static void set_hints(NETWORK *netw, int ip_version, int type, int protocol, int flags) {
    netw->link.hints.ai_family = family_of(ip_version);
    netw->link.hints.ai_socktype = type;
    netw->link.hints.ai_protocol = protocol;
    netw->link.hints.ai_flags = flags;
}

// The numeric address of `sa` into link.ip (allocated here when missing).
static int write_ip(NETWORK *netw, const sockaddr *sa) {
    if (!netw->link.ip) {
        netw->link.ip = n_calloc(netw->link.ip, NETW_IP_LEN, char);
        if (!netw->link.ip) {
            n_log(LOG_ERR, "Error allocating 64 bytes for ip");
            return 0;
        }
    }
    void *part = get_in_addr(const_cast<sockaddr *>(sa));
    if (!inet_ntop(sa->sa_family, part, netw->link.ip, NETW_IP_LEN)) {
        n_log(LOG_ERR, "inet_ntop: %p , %s", part, ErrText(errno).s);
        return -1;
    }
    return 1;
}

static void mark_running(NETWORK *netw, int mode) { netw_set(netw, (unsigned)mode | NETW_RUN | NETW_THR_ENGINE_STOPPED); }

// ---------------------------------------------------------------- TCP connect

// A new record in the caller's empty pointer, with lookup hints for `type`
// and `protocol` and the host resolved into link.addr_list; null (and the
// pointer null again) on failure. `filled` is the refusal of a filled pointer;
// `tell_thread` also puts a resolver failure in the thread's connect ring.
static NETWORK *new_resolved(NETWORK **netw, const char *host, const char *port, size_t send_limit, size_t recv_limit, int ip_version,
                             int type, int protocol, int flags, const char *filled, bool tell_thread) {
    N_ASSERT(netw, return nullptr);
    if (*netw) {
        n_log(LOG_ERR, "%s", filled);
        return nullptr;
    }
    *netw = netw_new(send_limit, recv_limit);
    N_ASSERT(netw && (*netw), return nullptr);
    NETWORK *n = *netw;
    set_hints(n, ip_version, type, protocol, flags);
    int gai = getaddrinfo(host, port, &n->link.hints, &n->link.addr_list);
    if (gai != 0) {
        n->link.addr_list = nullptr;
        NETW_RECORD_ERR(n, "Error when resolving %s:%s getaddrinfo: %s", txt(host), txt(port), gai_strerror(gai));
        if (tell_thread) _netw_capture_connect_error("DNS resolution failed for %s:%s: %s", txt(host), txt(port), gai_strerror(gai));
        netw_close(netw);
        return nullptr;
    }
    return n;
}

constexpr const char *kFilledConnect = "Unable to allocate (*netw), already existing. You must use empty NETWORK *structs.";


// Waits for a connect in progress on `fd` for `timeout_ms`, asking the abort
// hook every NETW_ABORT_POLL_MS. 1 connected, 0 failed (errno says why).
static int wait_connect(int fd, int timeout_ms) {
    N_TIME timer;
    start_HiTimer(&timer);
    int64_t budget_us = (int64_t)timeout_ms * 1000;
    for (;;) {
        if (_netw_connect_abort_cb && _netw_connect_abort_cb(_netw_connect_abort_ctx)) {
            errno = ECANCELED;
            return 0;
        }
        int64_t slice_ms = (budget_us + 999) / 1000;
        if (_netw_connect_abort_cb && slice_ms > NETW_ABORT_POLL_MS) slice_ms = NETW_ABORT_POLL_MS;
        pollfd p{fd, POLLOUT, 0};
        int r = poll(&p, 1, (int)slice_ms);
        if (r > 0) {
            int err = 0;
            socklen_t len = sizeof err;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == -1) err = errno;
            if (err == 0 && (p.revents & POLLNVAL)) err = EBADF;
            errno = err;
            return err == 0 ? 1 : 0;
        }
        if (r < 0 && errno != EINTR) return 0;
        budget_us -= get_usec(&timer);
        if (budget_us <= 0) {
            errno = ETIMEDOUT;
            return 0;
        }
    }
}

// One address: 1 connected, 0 failed (errno set).
static int connect_one(NETWORK *netw, const addrinfo *a, int timeout_ms) {
    int fd = netw->link.sock;
    if (timeout_ms >= 1 && netw_set_blocking(netw, 0)) {
        int r = connect(fd, a->ai_addr, a->ai_addrlen);
        int ok = r == 0 ? 1 : (errno == EINPROGRESS ? wait_connect(fd, timeout_ms) : 0);
        int kept = errno;
        netw_set_blocking(netw, 1);
        errno = kept;
        return ok;
    }
    int r;
    do {
        r = connect(fd, a->ai_addr, a->ai_addrlen);
    } while (r == -1 && errno == EINTR);
    return r == 0;
}

int netw_connect_ex_to(NETWORK **netw, const char *host, const char *port, size_t send_list_limit, size_t recv_list_limit,
                       int ip_version, const char *ssl_key_file, const char *ssl_cert_file, int timeout_ms) {
    NETWORK *n = new_resolved(netw, host, port, send_list_limit, recv_list_limit, ip_version, SOCK_STREAM, IPPROTO_TCP, AI_PASSIVE,
                              kFilledConnect, true);
    if (!n) return 0;
    n->link.ip = n_calloc((*netw)->link.ip, NETW_IP_LEN, char);
    if (!n->link.ip) {
        netw_close(netw);
        return 0;
    }
    for (const addrinfo *a = n->link.addr_list; a; a = a->ai_next) {
        int fd = _netw_socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd < 0) {
            n_log(LOG_ERR, "Error while trying to make a socket: %s", ErrText(errno).s);
            continue;
        }
        n->link.sock = fd;
        n->link.is_blocking = 1;
        if (!connect_one(n, a, timeout_ms)) {
            n_log(LOG_INFO, "connecting to %s:%s : %s", txt(host), txt(port), ErrText(errno).s);
            close(fd);
            n->link.sock = -1;
            continue;
        }
        write_ip(n, a->ai_addr);
        n->link.port = port ? strdup(port) : nullptr;
        N_ASSERT((*netw)->link.port, {
            netw_close(netw);
            return 0;
        });
        if (!ssl_key_file || !ssl_cert_file) {
            n_log(LOG_DEBUG, "Connected to %s:%s", txt(n->link.ip), txt(n->link.port));
            mark_running(n, NETW_CLIENT);
            return 1;
        }
        if (!netw_set_crypto(n, ssl_key_file, ssl_cert_file)) {
            n_log(LOG_ERR, "couldn't initialize SSL !");
            _netw_capture_connect_error("SSL initialization failed");
            netw_close(netw);
            return 0;
        }
        n->ssl = SSL_new(n->ctx);
        ERR_clear_error();
        if (n->ssl && SSL_set_fd(n->ssl, fd) == 1 && SSL_connect(n->ssl) == 1) {
            n_log(LOG_DEBUG, "SSL-Connected to %s:%s", txt(n->link.ip), txt(n->link.port));
            mark_running(n, NETW_CLIENT);
            return 1;
        }
        n_log(LOG_ERR, "SSL Handshake error !");
        _netw_capture_connect_error("SSL handshake failed for %s:%s", txt(host), txt(port));
        netw_ssl_print_errors(fd);
        netw_close(netw);
        return 0;
    }
    NETW_RECORD_ERR(n, "Couldn't connect to %s:%s : no address succeeded", txt(host), txt(port));
    _netw_capture_connect_error("TCP connect failed for %s:%s: no address succeeded", txt(host), txt(port));
    netw_close(netw);
    return 0;
}

int netw_connect_ex(NETWORK **netw, const char *host, const char *port, size_t send_list_limit, size_t recv_list_limit,
                    int ip_version, const char *ssl_key_file, const char *ssl_cert_file) {
    return netw_connect_ex_to(netw, host, port, send_list_limit, recv_list_limit, ip_version, ssl_key_file, ssl_cert_file, 0);
}

int netw_connect(NETWORK **netw, const char *host, const char *port, int ip_version) {
    n_log(LOG_INFO, "Trying to connect to %s : %s", txt(host), txt(port));
    return netw_connect_ex_to(netw, host, port, SIZE_MAX, SIZE_MAX, ip_version, nullptr, nullptr, 0);
}

int netw_connect_to(NETWORK **netw, const char *host, const char *port, int ip_version, int timeout_ms) {
    n_log(LOG_INFO, "Trying to connect to %s : %s (connect timeout %d ms)", txt(host), txt(port), timeout_ms);
    return netw_connect_ex_to(netw, host, port, SIZE_MAX, SIZE_MAX, ip_version, nullptr, nullptr, timeout_ms);
}

int netw_ssl_connect(NETWORK **netw, const char *host, const char *port, int ip_version, const char *ssl_key_file,
                     const char *ssl_cert_file) {
    n_log(LOG_INFO, "Trying to connect to %s : %s", txt(host), txt(port));
    return netw_connect_ex_to(netw, host, port, SIZE_MAX, SIZE_MAX, ip_version, ssl_key_file, ssl_cert_file, 0);
}

int netw_ssl_connect_client_to(NETWORK **netw, const char *host, const char *port, int ip_version, int timeout_ms) {
    if (!netw_connect_ex_to(netw, host, port, SIZE_MAX, SIZE_MAX, ip_version, nullptr, nullptr, timeout_ms)) return 0;
    if (!netw_ssl_start_client(*netw)) {
        netw_close(netw);
        return 0;
    }
    return 1;
}

int netw_ssl_connect_client(NETWORK **netw, const char *host, const char *port, int ip_version) {
    return netw_ssl_connect_client_to(netw, host, port, ip_version, 0);
}

int _proxy_tcp_connect(const char *host, int port) {
    char service[16];
    snprintf(service, sizeof service, "%d", port);
    addrinfo hints{}, *list = nullptr;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    int gai = getaddrinfo(host, service, &hints, &list);
    if (gai != 0 || !list) {
        n_log(LOG_ERR, "n_proxy: DNS lookup failed for %s:%d: %s", txt(host), port, gai ? gai_strerror(gai) : "no result");
        if (list) freeaddrinfo(list);
        return -1;
    }
    for (const addrinfo *a = list; a; a = a->ai_next) {
        int fd = _netw_socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd < 0) continue;
        int r;
        do {
            r = connect(fd, a->ai_addr, a->ai_addrlen);
        } while (r == -1 && errno == EINTR);
        if (r == 0) {
            freeaddrinfo(list);
            return fd;
        }
        close(fd);
    }
    freeaddrinfo(list);
    n_log(LOG_ERR, "n_proxy: TCP connect to %s:%d failed", txt(host), port);
    return -1;
}

// ---------------------------------------------------------------- listening and UDP

// Texts of one binding kind, so TCP listening and UDP binding share one walk.
struct BindTexts {
    const char *socket_fail, *bind_fail, *none;
};

// Resolves and binds the first address that takes it. 1 bound, 0 failed and closed.
static int bind_first(NETWORK **netw, const char *addr, const char *port, int ip_version, int type, int protocol,
                      const BindTexts &t) {
    N_ASSERT(port, return 0);
    NETWORK *n = new_resolved(netw, addr, port, SIZE_MAX, SIZE_MAX, ip_version, type, protocol, addr ? 0 : AI_PASSIVE,
                              "Cannot use an allocated network. Please pass a NULL network to modify", false);
    if (!n) return 0;
    n->link.port = strdup(port);
    N_ASSERT((*netw)->link.port, {
        netw_close(netw);
        return 0;
    });
    for (const addrinfo *a = n->link.addr_list; a; a = a->ai_next) {
        int fd = _netw_socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd < 0) {
            n_log(LOG_ERR, t.socket_fail, ErrText(errno).s);
            continue;
        }
        n->link.sock = fd;
        netw_setsockopt(n, SO_REUSEADDR, 1);
        if (bind(fd, a->ai_addr, a->ai_addrlen) != 0) {
            NETW_RECORD_ERR(n, t.bind_fail, port, ErrText(errno).s);
            close(fd);
            n->link.sock = -1;
            continue;
        }
        if (write_ip(n, a->ai_addr) == 0) {
            netw_close(netw);
            return 0;
        }
        return 1;
    }
    NETW_RECORD_ERR(n, t.none, port);
    netw_close(netw);
    return 0;
}

int netw_make_listening(NETWORK **netw, const char *addr, const char *port, int nbpending, int ip_version) {
    static constexpr BindTexts texts{"Error while trying to make a socket: %s", "Error from bind() on port %s neterrno: %s",
                                     "Couldn't get a socket for listening on port %s"};
    if (!bind_first(netw, addr, port, ip_version, SOCK_STREAM, IPPROTO_TCP, texts)) return 0;
    NETWORK *n = *netw;
    n->backlog = nbpending;
    if (listen(n->link.sock, nbpending) != 0) {
        NETW_RECORD_ERR(n, "listen() failed on port %s: %s", port, ErrText(errno).s);
        netw_close(netw);
        return 0;
    }
    mark_running(n, NETW_SERVER);
    return 1;
}

int netw_bind_udp(NETWORK **netw, const char *addr, const char *port, int ip_version) {
    static constexpr BindTexts texts{"Error while trying to make a UDP socket: %s", "Error from bind() on UDP port %s neterrno: %s",
                                     "Couldn't get a socket for UDP binding on port %s"};
    if (!bind_first(netw, addr, port, ip_version, SOCK_DGRAM, IPPROTO_UDP, texts)) return 0;
    NETWORK *n = *netw;
    n->send_data_fn = send_udp_data;
    n->recv_data_fn = recv_udp_data;
    mark_running(n, NETW_SERVER);
    n_log(LOG_DEBUG, "UDP socket bound to %s:%s", txt(n->link.ip), port);
    return 1;
}

int netw_connect_udp(NETWORK **netw, const char *host, const char *port, int ip_version) {
    NETWORK *n = new_resolved(netw, host, port, SIZE_MAX, SIZE_MAX, ip_version, SOCK_DGRAM, IPPROTO_UDP, AI_PASSIVE, kFilledConnect, false);
    if (!n) return 0;
    for (const addrinfo *a = n->link.addr_list; a; a = a->ai_next) {
        int fd = _netw_socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd < 0) {
            n_log(LOG_ERR, "Error while trying to make a UDP socket: %s", ErrText(errno).s);
            continue;
        }
        if (connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            n_log(LOG_INFO, "UDP connecting to %s:%s : %s", txt(host), txt(port), ErrText(errno).s);
            close(fd);
            continue;
        }
        n->link.sock = fd;
        if (write_ip(n, a->ai_addr) == 0 || !(n->link.port = port ? strdup(port) : nullptr)) {
            netw_close(netw);
            return 0;
        }
        n->send_data_fn = send_udp_data;
        n->recv_data_fn = recv_udp_data;
        mark_running(n, NETW_CLIENT);
        n_log(LOG_DEBUG, "UDP-Connected to %s:%s", txt(n->link.ip), txt(n->link.port));
        return 1;
    }
    NETW_RECORD_ERR(n, "Couldn't connect UDP to %s:%s : no address succeeded", txt(host), txt(port));
    netw_close(netw);
    return 0;
}

int netw_adopt_client_fd(NETWORK **netw, int fd, const char *ip, const char *port) {
    N_ASSERT(netw, return 0);
    if (*netw) {
        n_log(LOG_ERR, "netw_adopt_client_fd: target NETWORK must be empty");
        return 0;
    }
    if (fd == -1) {
        n_log(LOG_ERR, "netw_adopt_client_fd: invalid socket");
        return 0;
    }
    *netw = netw_new(SIZE_MAX, SIZE_MAX);
    if (!*netw) return 0;
    NETWORK *n = *netw;
    n->link.sock = fd;
    n->link.ip = strdup(ip ? ip : "");
    n->link.port = strdup(port ? port : "");
    if (!n->link.ip || !n->link.port) {
        netw_close(netw);
        return 0;
    }
    mark_running(n, NETW_CLIENT);
    n_log(LOG_DEBUG, "netw_adopt_client_fd: adopted socket %d for %s:%s", fd, n->link.ip, n->link.port);
    return 1;
}

// ---------------------------------------------------------------- accept

// The accepted TLS handshake under the listener's time limit: 1 done; 0 with
// *err set to EPROTO (failed) or ETIMEDOUT.
int netw_timed_accept_handshake(NETWORK *netw, int limit_ms, int *err) {
    SSL_set_accept_state(netw->ssl);
    if (!netw_set_blocking(netw, 0)) {
        *err = EPROTO;
        return 0;
    }
    N_TIME timer;
    start_HiTimer(&timer);
    int64_t budget_us = (int64_t)limit_ms * 1000;
    for (;;) {
        int r = _netw_ssl_handshake_step(netw);
        if (r == 1) {
            if (netw_set_blocking(netw, 1)) return 1;
            *err = EPROTO;
            return 0;
        }
        if (r == 0) {
            *err = EPROTO;
            return 0;
        }
        budget_us -= get_usec(&timer);
        if (budget_us <= 0) {
            _netw_capture_error(netw, "TLS handshake timeout (%d ms) from %s:%s", limit_ms, txt(netw->link.ip), txt(netw->link.port));
            n_log(LOG_ERR, "socket %d: TLS handshake timeout (%d ms) from %s:%s", netw->link.sock, limit_ms, txt(netw->link.ip),
                  txt(netw->link.port));
            *err = ETIMEDOUT;
            return 0;
        }
        short revents = 0;
        if (netw_poll_one(netw->link.sock, r == -10 ? POLLIN : POLLOUT, (int)((budget_us + 999) / 1000), &revents) < 0) {
            *err = EPROTO;
            return 0;
        }
    }
}

NETWORK *netw_accept_from_ex(NETWORK *from, size_t send_list_limit, size_t recv_list_limit, int wait_ms, int *netw_err) {
    N_ASSERT(from, return nullptr);
    NETWORK *netw = netw_new(send_list_limit, recv_list_limit);
    if (!netw) return nullptr;
    auto fail = [&]() -> NETWORK * {
        netw_close(&netw);
        return nullptr;
    };
    auto set_err = [&](int e) {
        if (netw_err) *netw_err = e;
    };
    socklen_t len = sizeof netw->link.raddr;
    sockaddr *peer = reinterpret_cast<sockaddr *>(&netw->link.raddr);
    int fd = -1;
    int lsock = from->link.sock;
    if (wait_ms == -1) {
        if (from->link.is_blocking) netw_set_blocking(from, 0);
        fd = _netw_accept(lsock, peer, &len);
        set_err(errno);
        if (fd < 0) {
            if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
                n_log(LOG_ERR, "accept returned an invalid socket (%d), neterrno: %s", fd, ErrText(errno).s);
            return fail();
        }
    } else if (wait_ms < 1) {
        if (!from->link.is_blocking) {
            netw_set_blocking(from, 1);
            n_log(LOG_DEBUG, "(default) blocking accept call on socket %d", lsock);
        }
        fd = _netw_accept(lsock, peer, &len);
        if (fd < 0) {
            set_err(errno);
            n_log(LOG_DEBUG, "error accepting on socket %d, %s", lsock, ErrText(errno).s);
            return fail();
        }
    } else {
        short revents = 0;
        int r = netw_poll_one(lsock, POLLIN, wait_ms, &revents);
        if (r < 0) {
            set_err(errno);
            n_log(LOG_DEBUG, "error on poll with timeout %ds (%d.%ds), neterrno: %s", wait_ms, wait_ms / 1000, (wait_ms % 1000) * 1000,
                  ErrText(errno).s);
            return fail();
        }
        if (r == 0) {
            n_log(LOG_DEBUG, "No connection waiting on %d", lsock);
            return fail();
        }
        if (!(revents & POLLIN)) {
            NETW_RECORD_ERR(from, "poll returned no POLLIN on %d", lsock);
            return fail();
        }
        fd = _netw_accept(lsock, peer, &len);
        if (fd < 0) {
            set_err(errno);
            n_log(LOG_DEBUG, "error accepting on %d, %s", lsock, ErrText(errno).s);
            return fail();
        }
    }

    netw->link.sock = fd;
    netw->link.is_blocking = 1;
    netw_set_blocking(netw, 1);
    unsigned port = 0;
    if (peer->sa_family == AF_INET) port = ntohs(reinterpret_cast<sockaddr_in *>(peer)->sin_port);
    if (peer->sa_family == AF_INET6) port = ntohs(reinterpret_cast<sockaddr_in6 *>(peer)->sin6_port);
    char port_text[16];
    snprintf(port_text, sizeof port_text, "%u", port);
    netw->link.port = strdup(port_text);
    N_ASSERT(netw->link.port, return fail());
    if (write_ip(netw, peer) != 1) return fail();

    netw_setsockopt(netw, SO_REUSEADDR, 1);
    netw_setsockopt(netw, SO_KEEPALIVE, 1);
    mark_running(netw, NETW_SERVER);
    n_log(LOG_DEBUG, "Connection accepted from %s:%s socket %d", netw->link.ip, netw->link.port, fd);
    if (from->crypto_algo != NETW_ENCRYPT_OPENSSL) return netw;

    // The session comes from the listener's context; the new record never
    // owns that context, so closing it leaves the listener intact.
    netw->ssl = from->ctx ? SSL_new(from->ctx) : nullptr;
    if (!netw->ssl || SSL_set_fd(netw->ssl, fd) != 1) {
        NETW_RECORD_ERR(netw, "SSL error on %d", fd);
        set_err(EPROTO);
        netw_ssl_print_errors(fd);
        return fail();
    }
    netw_switch_to_tls(netw);
    if (from->tls_handshake_timeout < 1) {
        ERR_clear_error();
        if (SSL_accept(netw->ssl) != 1) {
            set_err(errno);
            NETW_RECORD_ERR(netw, "SSL error on %d", fd);
            netw_ssl_print_errors(fd);
            return fail();
        }
    } else {
        int err = 0;
        if (!netw_timed_accept_handshake(netw, from->tls_handshake_timeout, &err)) {
            set_err(err);
            return fail();
        }
    }
    n_log(LOG_DEBUG, " socket %d: SSL connection established", fd);
    return netw;
}

NETWORK *netw_accept_from(NETWORK *from) { return netw_accept_from_ex(from, SIZE_MAX, SIZE_MAX, 0, nullptr); }

NETWORK *netw_accept_nonblock_from(NETWORK *from, int wait_ms) { return netw_accept_from_ex(from, SIZE_MAX, SIZE_MAX, wait_ms, nullptr); }

NETWORK *netw_accept_ssl_with_sni_cb(NETWORK *from, NETW_SNI_PICK pick, void *user) {
    NETWORK *netw = netw_accept_from(from);
    if (!netw) return nullptr;
    netw->tls_handshake_timeout = from->tls_handshake_timeout;  // a silent client must not hold the accepting thread
    if (!netw_ssl_server_handshake_ex(netw, pick, user, nullptr, 0)) {
        netw_close(&netw);
        return nullptr;
    }
    return netw;
}

// ---------------------------------------------------------------- whole-buffer I/O

static int zero_length(NETWORK *netw, bool sending) {
    NETW_RECORD_ERR(netw, sending ? "Send of 0 is unsupported." : "Recv of 0 is unsupported.");
    return -1;
}

// One direction of plain whole-buffer I/O: NETW_RETRY_STORM immediate tries
// per chunk on EINTR or EAGAIN, never a sleep.
static ssize_t plain_all(NETWORK *netw, char *buf, uint32_t n, bool sending) {
    int sock = netw->link.sock;
    uint32_t done = 0;
    int tries = 0;
    while (done < n) {
        ssize_t r = sending ? send(sock, buf + done, n - done, MSG_NOSIGNAL) : recv(sock, buf + done, n - done, MSG_NOSIGNAL);
        if (r > 0) {
            done += (uint32_t)r;
            tries = 0;
            continue;
        }
        if (r == 0) {
            n_log(LOG_DEBUG, sending ? "socket %d : send returned 0" : "socket %d : peer closed connection", sock);
            return -2;
        }
        int e = errno;
        if (e == EINTR || e == EAGAIN || e == EWOULDBLOCK) {
            if (++tries < NETW_RETRY_STORM) continue;
            NETW_RECORD_ERR(netw, sending ? "Socket %d : retry storm on send (%d retries)" : "Socket %d : retry storm on recv (%d retries)",
                            sock, NETW_RETRY_STORM);
            return -1;
        }
        if (e == ECONNRESET || e == ENOTCONN || (sending && e == EPIPE)) {
            n_log(LOG_DEBUG, "socket %d disconnected !", sock);
            return -2;
        }
        NETW_RECORD_ERR(netw, sending ? "Socket %d send error: %zd, %s" : "Socket %d recv error: %zd, %s", sock, r, ErrText(e).s);
        return -1;
    }
    return (ssize_t)n;
}

ssize_t send_data(NETWORK *netw, char *buf, uint32_t n) {
    N_ASSERT(netw, return -1);
    N_ASSERT(buf, return -1);
    if (n == 0) return zero_length(netw, true);
    return plain_all(netw, buf, n, true);
}

ssize_t recv_data(NETWORK *netw, char *buf, uint32_t n) {
    N_ASSERT(netw, return -1);
    N_ASSERT(buf, return -1);
    if (n == 0) return 0;
    return plain_all(netw, buf, n, false);
}

// How long one TLS transfer may stall while OpenSSL wants the socket: the
// connection's time-out for that direction when set; a send without one gets
// NETW_SSL_SEND_WAIT_MS, so a peer that stops reading cannot hang the caller;
// a receive without one waits as long as a blocking read would (-1).
static int ssl_stall_limit(NETWORK *netw, bool sending) {
    int t = sending ? netw->so_sndtimeo : netw->so_rcvtimeo;
    if (t > 0) return t;
    return sending ? NETW_SSL_SEND_WAIT_MS : -1;
}

// The whole-buffer pair may serve a sending and a receiving thread on one
// session, each OpenSSL call under ssl_bolt. On a blocking socket the kernel
// would make a call wait inside that lock (a receiver waiting for the echo of
// what the sender cannot send, for ever): while any transfer is under way the
// socket is non-blocking, so every call returns and the waits are poll()s
// outside the lock. The last transfer to end makes a blocking socket blocking
// again, so the caller sees the mode it set.
struct NonBlockingSpan {
    NETWORK *netw;
    bool entered = false;
    explicit NonBlockingSpan(NETWORK *n) : netw(n) {
        HOLD(netw, ssl_bolt);
        int sock = netw->link.sock;
        if (netw->ssl_io_users == 0) {
            int flags = fcntl(sock, F_GETFL, 0);
            if (flags == -1) return;
            netw->ssl_io_restore = (flags & O_NONBLOCK) ? 0 : 1;
            if (netw->ssl_io_restore && fcntl(sock, F_SETFL, flags | O_NONBLOCK) == -1) return;
        }
        netw->ssl_io_users++;
        entered = true;
    }
    ~NonBlockingSpan() {
        if (!entered) return;
        int kept = errno;
        HOLD(netw, ssl_bolt);
        if (--netw->ssl_io_users == 0 && netw->ssl_io_restore) {
            int flags = fcntl(netw->link.sock, F_GETFL, 0);
            if (flags != -1) fcntl(netw->link.sock, F_SETFL, flags & ~O_NONBLOCK);
            netw->ssl_io_restore = 0;
        }
        errno = kept;
    }
    NonBlockingSpan(const NonBlockingSpan &) = delete;
    NonBlockingSpan &operator=(const NonBlockingSpan &) = delete;
};

// Longest single poll() of a TLS transfer. The other thread's call on the same
// session may take in what this one waits for (a handshake message during a
// renegotiation), which no poll() would report: each slice ends in a fresh try.
constexpr int NETW_SSL_WAIT_SLICE_MS = 1000;

// One direction of TLS whole-buffer I/O.
static ssize_t ssl_all(NETWORK *netw, char *buf, uint32_t n, bool sending) {
    N_ASSERT(netw, return -1);
    N_ASSERT(buf, return -1);
    SSL *ssl = netw->ssl;
    N_ASSERT(ssl, return -1);
    if (n == 0) return zero_length(netw, sending);
    int sock = netw->link.sock;
    int limit = ssl_stall_limit(netw, sending);
    NonBlockingSpan span(netw);
    if (!span.entered) {
        NETW_RECORD_ERR(netw, "socket %d cannot be made non-blocking for TLS: %s", sock, ErrText(errno).s);
        return -1;
    }
    // The stall counts from the last progress (or the start).
    N_TIME stall;
    start_HiTimer(&stall);
    int64_t stall_left_us = (int64_t)limit * 1000;
    uint32_t done = 0;
    while (done < n) {
        ERR_clear_error();
        errno = 0;
        size_t moved = 0;
        int r, kept, code;
        {
            // Only the calls are serialised, never the waits below.
            HOLD(netw, ssl_bolt);
            r = sending ? SSL_write_ex(ssl, buf + done, n - done, &moved) : SSL_read_ex(ssl, buf + done, n - done, &moved);
            kept = errno;
            code = r == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl, r);
        }
        if (r == 1 && moved > 0) {
            done += (uint32_t)moved;
            stall_left_us = (int64_t)limit * 1000;
            start_HiTimer(&stall);
            continue;
        }
        if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
            stall_left_us -= get_usec(&stall);
            if (limit >= 0 && stall_left_us <= 0) {
                NETW_RECORD_ERR(netw, sending ? "socket %d SSL_write timed out after %d ms: the peer does not read"
                                              : "socket %d SSL_read timed out after %d ms: the peer sends nothing",
                                sock, limit);
                ERR_clear_error();
                return -1;
            }
            short revents = 0;
            int wait_ms = NETW_SSL_WAIT_SLICE_MS;
            if (limit >= 0 && stall_left_us < (int64_t)wait_ms * 1000) wait_ms = (int)((stall_left_us + 999) / 1000);
            if (netw_poll_one(sock, code == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, wait_ms, &revents) < 0) {
                NETW_RECORD_ERR(netw, "socket %d poll error while waiting for TLS: %s", sock, ErrText(errno).s);
                return -1;
            }
            continue;
        }
        if (code == SSL_ERROR_ZERO_RETURN) {
            n_log(LOG_DEBUG, sending ? "socket %d disconnected during SSL_write !" : "socket %d : TLS session closed by peer (close_notify)",
                  sock);
            ERR_clear_error();
            return -2;
        }
        if (code == SSL_ERROR_SYSCALL) {
            if (kept == 0 || kept == ECONNRESET || kept == ENOTCONN || (sending && kept == EPIPE)) {
                n_log(LOG_DEBUG, sending ? "socket %d disconnected during SSL_write !" : "socket %d : peer closed connection (TLS, no close_notify)",
                      sock);
                ERR_clear_error();
                return -2;
            }
            ERR_clear_error();
            NETW_RECORD_ERR(netw, sending ? "socket %d SSL_write syscall error: %s" : "socket %d SSL_read syscall error: %s", sock,
                            ErrText(kept).s);
            return -1;
        }
        unsigned long first = ERR_peek_error();
        const char *reason = first ? ERR_reason_error_string(first) : nullptr;
        ERR_clear_error();
        if (code == SSL_ERROR_SSL) {
            if (!sending && ERR_GET_REASON(first) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
                n_log(LOG_DEBUG, "socket %d : peer closed connection (TLS unexpected EOF)", sock);
                return -2;
            }
            if (sending)
                NETW_RECORD_ERR(netw, "socket %d SSL_write returned %zu, error: %s", sock, moved, txt(reason));
            else
                NETW_RECORD_ERR(netw, "socket %d SSL_read protocol error: %s", sock, txt(reason));
            return -1;
        }
        NETW_RECORD_ERR(netw, sending ? "socket %d SSL_write returned %zu, errno: %s" : "socket %d SSL_read returned %zu, errno: %s", sock,
                        moved, ErrText(kept).s);
        return -1;
    }
    return (ssize_t)n;
}

ssize_t send_ssl_data(NETWORK *netw, char *buf, uint32_t n) { return ssl_all(netw, buf, n, true); }
ssize_t recv_ssl_data(NETWORK *netw, char *buf, uint32_t n) { return ssl_all(netw, buf, n, false); }

ssize_t send_udp_data(NETWORK *netw, char *buf, uint32_t n) {
    N_ASSERT(netw, return -1);
    N_ASSERT(buf, return -1);
    if (n == 0) return zero_length(netw, true);
    ssize_t r = send(netw->link.sock, buf, n, MSG_NOSIGNAL);
    if (r >= 0) return r;
    int e = errno;
    if (e == ECONNRESET || e == ENOTCONN) {
        n_log(LOG_DEBUG, "UDP socket %d disconnected !", netw->link.sock);
        return -2;
    }
    NETW_RECORD_ERR(netw, "UDP Socket %d send Error: %zd , %s", netw->link.sock, r, ErrText(e).s);
    return -1;
}

ssize_t recv_udp_data(NETWORK *netw, char *buf, uint32_t n) {
    N_ASSERT(netw, return -1);
    N_ASSERT(buf, return -1);
    if (n == 0) return zero_length(netw, false);
    ssize_t r = recv(netw->link.sock, buf, n, MSG_NOSIGNAL);
    if (r == 0) {
        n_log(LOG_DEBUG, "UDP socket %d: zero-length recv", netw->link.sock);
        return 0;
    }
    if (r > 0) return r;
    NETW_RECORD_ERR(netw, "UDP socket %d recv returned %zd, error: %s", netw->link.sock, r, ErrText(errno).s);
    return -1;
}
