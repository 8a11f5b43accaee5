// Network connections: the NETWORK record, the non-blocking client road
// (connect, TLS handshake, single-pass send and receive) and socket options.
// Results: 1 done / 0 failed for set-up calls; I/O calls return bytes moved,
// -10 would block reading, -11 would block writing (or connect in progress),
// -2 peer closed, -1 error. A NETWORK is owned by whoever holds the pointer
// and released only with netw_close(), which nulls that pointer.
#pragma once

#include "n_list.h"

#include <cstddef>
#include <cstdint>
#include <netdb.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/socket.h>
#include <sys/types.h>

// Modes, states, engine status and netw_set() flags share one number space.
enum netw_code_type : int {
    NETW_CLIENT = 2,
    NETW_SERVER = 4,
    NETW_RESTART_TIMER = 8,
    NETW_EMPTY_SENDBUF = 16,
    NETW_EMPTY_RECVBUF = 32,
    NETW_RUN = 64,
    NETW_EXIT_ASKED = 128,
    NETW_EXITED = 256,
    NETW_ERROR = 512,
    NETW_ENCRYPT_NONE = 1024,
    NETW_ENCRYPT_OPENSSL = 2048,
    NETW_THR_ENGINE_STARTED = 4096,
    NETW_THR_ENGINE_STOPPED = 8192,
    NETW_DESTROY_RECVBUF = 16384,
    NETW_DESTROY_SENDBUF = 32768,
    NETW_COMPRESSED_ZLIB = 65536,
    NETW_COMPRESSED_LZ4 = 131072,
};

constexpr int    NETW_ERR_RING = 8;        // error texts kept per connection and per thread
constexpr size_t NETW_ERR_LEN = 512;       // bytes per error text, terminator included
constexpr size_t NETW_IP_LEN = 64;         // room for any numeric address written into link.ip
constexpr int    NETW_WAIT_STEP_MS = 100;  // one pass of every wait in netw_close

// Library option codes of netw_setsockopt(); the socket-level codes are the system's own.
constexpr int NETW_OPT_DEPLETE_TIMEOUT = 512;       // ms netw_close waits for the send queue to drain
constexpr int NETW_OPT_WAIT_THREADS_TIMEOUT = 1024; // s netw_close waits for engine threads
constexpr int NETW_OPT_SEND_QUEUE_WAIT = 2048;      // us the send thread pauses after each message
constexpr int NETW_OPT_WAIT_CLOSE_TIMEOUT = 4096;   // s netw_close waits for the peer's FIN
constexpr int NETW_OPT_TLS_HANDSHAKE_TIMEOUT = 8192;// ms allowed for an accepted TLS handshake

struct NETWORK;
using NETW_IO_FN = ssize_t (*)(NETWORK *netw, char *buf, uint32_t n);

struct NETW_LINK {
    char *port;                    // service text given to getaddrinfo; owned
    int sock;                      // -1 when none
    char *ip;                      // numeric peer address (NETW_IP_LEN bytes); owned
    uint64_t is_blocking;          // 1 blocking, 0 non-blocking, as last set by netw_set_blocking
    struct addrinfo hints;
    struct addrinfo *addr_list;    // owned, freeaddrinfo
    struct addrinfo *addr_next;    // the address the non-blocking connect is trying
    struct sockaddr_storage raddr; // peer of accepted and UDP sockets
};

struct NETWORK {
    int backlog;
    int mode;                      // NETW_CLIENT, NETW_SERVER or -1; under eventbolt
    int threaded_engine_status;    // under eventbolt
    int send_queue_consecutive_wait;
    int so_reuseaddr;              // socket options: last value given, -1 never set
    int so_keepalive;
    int tcpnodelay;
    int so_sndbuf;
    int so_rcvbuf;
    int so_sndtimeo;
    int so_rcvtimeo;
    int so_linger;
    int crypto_algo;               // NETW_ENCRYPT_NONE or NETW_ENCRYPT_OPENSSL
    int nb_running_threads;        // under eventbolt
    int wait_for_threads_timeout;  // s, <= 0 no wait
    int deplete_timeout;           // ms, <= 0 no wait
    int wait_close_timeout;        // s, <= 0 no wait
    int tls_handshake_timeout;     // ms, 0 no limit
    int state;                     // under eventbolt

    // Whole-buffer slots stay null until blocking I/O exists in this build.
    NETW_IO_FN send_data_fn;
    NETW_IO_FN recv_data_fn;
    NETW_IO_FN send_once_fn;
    NETW_IO_FN recv_once_fn;

    const SSL_METHOD *method;
    SSL_CTX *ctx;                  // owned
    SSL *ssl;                      // owned
    char *certificate;             // owned
    char *key;                     // owned

    NETW_LINK link;

    LIST *send_buf;                // under sendbolt
    LIST *recv_buf;                // under recvbolt
    pthread_t send_thr;
    pthread_t recv_thr;
    pthread_mutex_t sendbolt;
    pthread_mutex_t recvbolt;
    pthread_mutex_t eventbolt;
    sem_t send_blocker;
    LIST *pools;                   // pools holding this connection; does not own them

    char errors[NETW_ERR_RING][NETW_ERR_LEN];
    int err_count;                 // 0..NETW_ERR_RING
    int err_next;                  // slot of the next text
    int compression;               // 0 none, 1 zlib, 2 LZ4
};

// Record lifecycle. No lock is held while another is taken.
[[nodiscard]] NETWORK *netw_new(size_t send_list_limit, size_t recv_list_limit);  // -1 or 0: no limit
int      netw_close(NETWORK **netw);                                             // waits as set by the close options
int      netw_set(NETWORK *netw, unsigned int flags);                            // later flag of a group wins
int      netw_get_state(NETWORK *netw, int *state, int *thr_engine_status);

// Non-blocking client road. Each call returns at once; the caller polls again
// on its next turn after -10 or -11.
// - connect functions take the address of a null pointer and leave it null on failure.
// - a 0 from connect check or handshake, or -2/-1 from I/O, leaves the record for netw_close.
[[nodiscard]] int netw_connect_nonblock(NETWORK **netw, const char *host, const char *port, int ip_version);  // ip_version 1 v4, 2 v6, else any
[[nodiscard]] int netw_connect_check(NETWORK *netw);                         // 1, -11 in progress, 0 failed everywhere
int      netw_set_blocking(NETWORK *netw, unsigned long blocking);
int      netw_init_openssl();
int      netw_unload_openssl();
[[nodiscard]] int netw_ssl_start_client(NETWORK *netw);
int      netw_ssl_set_verify(NETWORK *netw, int verify);
int      netw_ssl_set_versions(NETWORK *netw, int min_version, int max_version);  // 0 leaves a bound as it is
[[nodiscard]] int netw_ssl_handshake_once(NETWORK *netw, const char *server_name); // 1, 0, -10, -11
[[nodiscard]] int _netw_ssl_handshake_step(NETWORK *netw);
ssize_t  send_ssl_data_once(NETWORK *netw, char *buf, uint32_t n);           // may write fewer than n
ssize_t  recv_ssl_data_once(NETWORK *netw, char *buf, uint32_t n);
ssize_t  send_data_once(NETWORK *netw, char *buf, uint32_t n);               // plain TCP
ssize_t  recv_data_once(NETWORK *netw, char *buf, uint32_t n);
void     netw_ssl_print_errors(int socket);                                  // empties the OpenSSL error queue

// Kernel send queue drain: 0 empty (or timeout <= 0), bytes still queued when
// time ran out, -1 when the queue cannot be read.
int      deplete_send_buffer(int fd, int timeout_ms);

// Error rings: one per connection, one per thread for connects whose record is
// already gone. Index 0 is the oldest text held; pointers stay valid until the
// slot is overwritten.
void        _netw_capture_error(NETWORK *netw, const char *format, ...) __attribute__((format(printf, 2, 3)));
void        _netw_capture_connect_error(const char *format, ...) __attribute__((format(printf, 1, 2)));
const char *n_netw_get_error(NETWORK *netw, int index);                     // null out of range
const char *n_netw_get_connect_error(int index);
int         n_netw_get_error_count(NETWORK *netw);
int         n_netw_get_connect_error_count();
void        n_netw_clear_errors(NETWORK *netw);
void        n_netw_clear_connect_errors();

// Socket options and small helpers.
int       netw_setsockopt(NETWORK *netw, int optname, int value);  // remembers value in the record
int       netw_set_close_on_exec(int flag);                        // returns the previous setting
int       netw_get_close_on_exec();
int       netw_set_compression_mode(NETWORK *netw, int mode);      // 0 none, 1 zlib, 2 LZ4
uint64_t  htonst(uint64_t value);
uint64_t  ntohst(uint64_t value);
void     *get_in_addr(struct sockaddr *sa);                        // the IPv4 or IPv6 address part
int       netw_init_wsa();                                         // nothing to start here; 1
