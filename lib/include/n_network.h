// Network connections: the NETWORK record, the non-blocking client road
// (connect, TLS handshake, single-pass send and receive), TLS contexts,
// certificates and handshakes, blocking connects, listening, accept, UDP,
// whole-buffer send and receive, socket options and code names.
// Results: 1 done / 0 failed for set-up calls; I/O calls return bytes moved,
// -10 would block reading, -11 would block writing (or connect in progress),
// -2 peer closed, -1 error. A NETWORK is owned by whoever holds the pointer
// and released only with netw_close(), which nulls that pointer.
#pragma once

#include "n_list.h"
#include "n_str.h"

#include <atomic>
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
constexpr int NETW_OPT_RECV_MSG_LIMIT = 16384;      // bytes: the largest message (payload or decompressed) this end takes; <= 0 resets

struct NETWORK;
struct NETWORK_POOL;
struct n_reactor;
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
    uint32_t recv_msg_limit;       // largest payload and declared decompressed size taken, <= NETW_MSG_MAX_FRAME_SIZE
    int state;                     // under eventbolt

    NETW_IO_FN send_data_fn;       // whole-buffer I/O; the plain, TLS or UDP pair
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
    int engine_threads;            // 1 while send_thr and recv_thr exist and wait to be joined (under eventbolt)
    pthread_mutex_t sendbolt;
    pthread_mutex_t recvbolt;
    pthread_mutex_t eventbolt;
    sem_t send_blocker;
    LIST *pools;                   // pools holding this connection; does not own them

    char errors[NETW_ERR_RING][NETW_ERR_LEN];
    int err_count;                 // 0..NETW_ERR_RING
    int err_next;                  // slot of the next text
    int compression;               // 0 none, 1 zlib, 2 LZ4
    int ssl_verify_explicit;       // 1 once netw_ssl_set_verify was called: a blocking handshake keeps that choice

    // Event reactor attachment (n_reactor). The flags other threads look at are
    // atomic; the read and write state belongs to the loop thread.
    std::atomic<int> reactor_attached;
    std::atomic<n_reactor *> reactor;
    int reactor_read_phase;        // 0 state word, 1 length word, 2 payload
    unsigned char reactor_hdr[4];
    int reactor_hdr_len;
    uint32_t reactor_state_word;
    uint32_t reactor_read_len;
    char *reactor_read_payload;    // length + 1 bytes; owned until dispatched
    size_t reactor_read_got;
    char *reactor_send_frame;      // owned
    size_t reactor_send_len;
    size_t reactor_send_off;
    std::atomic<int> reactor_wants_out;
    std::atomic<int> reactor_write_wants_read;
    std::atomic<int> reactor_read_wants_write;
    std::atomic<int> reactor_dirty;
    std::atomic<int> reactor_released;
    std::atomic<int> reactor_ever;

    // The threaded engine's two threads share one TLS session: each OpenSSL
    // call on it is made under this lock, the waits for the socket outside it.
    pthread_mutex_t ssl_bolt;
    int ssl_io_users;              // whole-buffer TLS transfers under way; under ssl_bolt
    int ssl_io_restore;            // 1: the last of them makes the socket blocking again; under ssl_bolt
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

// Code names. Values and names are those of netw_code_type; a combination of
// flags has no name. Re-entrant.
constexpr uint32_t NETW_CODE_TYPE_INVALID = 131073;  // what a name that matches none gives
constexpr int      NETW_CODE_NAME_SKIP_MAX = 8;      // length of the shortest name, "NETW_RUN"
bool        __netw_code_type__isValid(uint32_t value);
int         __netw_code_type__isStringValid(const char *text);          // exact, case matters; 0 for null
const char *__netw_code_type__toString(uint32_t value);                 // null for a value without a name
uint32_t    __netw_code_type__fromString(const char *text);             // NETW_CODE_TYPE_INVALID when none matches
uint32_t    __netw_code_type__fromStringEx(const char *text, int skip); // names compared from their skip-th byte; skip 0..8

// Process-wide traffic counters, added to atomically by their owners.
extern std::atomic<uint64_t> g_netw_bytes_sent;
extern std::atomic<uint64_t> g_netw_bytes_recv;
extern std::atomic<uint64_t> g_netw_msg_created;
extern std::atomic<uint64_t> g_netw_msg_deleted;
void netw_msg_stats_get(uint64_t *created, uint64_t *deleted);     // null out-pointers are skipped
void netw_bytes_stats_get(uint64_t *sent, uint64_t *received);

// TLS contexts, certificates and handshakes.
// - Server-capable contexts get fixed defaults: no compression, tickets or
//   renegotiation, TLS 1.2 at least, ECDHE AEAD suites, X25519/P-256/P-384.
// - A context or session made here belongs to the connection (netw_close frees
//   it), except a shared context from netw_ssl_server_ctx_new, which the caller owns.
// - Every failure logs at ERR and empties the OpenSSL error queue.
constexpr size_t NETW_ALPN_WIRE_MAX = 512;  // bytes of the ALPN wire list we offer
constexpr int    NETW_ALPN_NAME_MAX = 255;  // one protocol name: its length is one byte

// Chooses the certificate for the name a client asked for (null: it asked for
// none): 0 after filling both PEM texts (the library takes and frees them),
// anything else refuses the handshake.
using NETW_SNI_PICK = int (*)(const char *server_name, N_STR **cert_pem, N_STR **key_pem, void *user);

// Argument of the SNI and ALPN callbacks for the length of one server handshake.
struct NETW_SNI_SELECT {
    NETW_SNI_PICK pick;
    void *user;
    const char **alpn;  // the server's protocols in its order of preference, or null
    int alpn_count;     // 0 when alpn is null
};

[[nodiscard]] int     _netw_ssl_server_defaults(SSL_CTX *ctx);
[[nodiscard]] SSL_CTX *netw_ssl_server_ctx_new(const char *key_file, const char *cert_chain_file);  // shared by any number of connections
[[nodiscard]] int netw_set_crypto(NETWORK *netw, const char *key, const char *certificate);  // either null: remembers the names only
[[nodiscard]] int netw_set_crypto_pem(NETWORK *netw, const char *key_pem, const char *cert_pem);
[[nodiscard]] int netw_set_crypto_chain(NETWORK *netw, const char *key, const char *certificate, const char *ca_file);
[[nodiscard]] int netw_set_crypto_chain_pem(NETWORK *netw, const char *key_pem, const char *cert_pem, const char *ca_pem);  // cert PEM: leaf first
[[nodiscard]] int netw_set_crypto_pem_ctx(NETWORK *netw, N_STR *key_pem, N_STR *cert_pem);  // on the session only
[[nodiscard]] int _ssl_use_pem(SSL *ssl, const char *key_text, const char *cert_text);      // 0 or -1
[[nodiscard]] int netw_ssl_set_ca(NETWORK *netw, const char *ca_file, const char *ca_path);   // not both null
[[nodiscard]] int netw_ssl_set_ciphers(NETWORK *netw, const char *cipher_list, const char *ciphersuites);  // null or "": unchanged
[[nodiscard]] int netw_ssl_set_client_cert(NETWORK *netw, const char *cert_file, const char *key_file);   // key null: in the cert file
[[nodiscard]] int netw_ssl_set_alpn(NETWORK *netw, const char **protos, int count);          // the client's offer, in order
int         netw_ssl_get_alpn(NETWORK *netw, char *out, size_t out_len);                     // 1 with the negotiated protocol
const char *netw_ssl_get_sni(NETWORK *netw);                                                  // what the client asked for, or null
int         netw_ssl_get_verify_result(NETWORK *netw, const char *expected_host, char *out, size_t out_size);  // system CAs, not the context's
[[nodiscard]] int netw_ssl_do_handshake(NETWORK *netw, const char *server_name);  // blocking client; a name turns verification on unless switched off
[[nodiscard]] int netw_ssl_server_handshake_ex(NETWORK *netw, NETW_SNI_PICK pick, void *user, const char **alpn, int alpn_count);  // blocking
[[nodiscard]] int netw_ssl_server_handshake(NETWORK *netw, NETW_SNI_PICK pick, void *user);
[[nodiscard]] int netw_ssl_server_handshake_once(NETWORK *netw, SSL_CTX *server_ctx);  // 1, 0, -10, -11; ctx stays the caller's
char *netw_get_openssl_error_string();                                              // caller frees; null when the queue is empty
int   _netw_alpn_select_cb(SSL *ssl, const unsigned char **out, unsigned char *outlen, const unsigned char *in, unsigned int inlen, void *arg);
int   _netw_sni_servername_cb(SSL *ssl, int *alert, void *arg);

// Blocking connects, listening, accept, UDP and adoption.
// - Each creates the NETWORK itself into the address of a null pointer and
//   leaves that pointer null on failure (the thread's connect-error ring says why).
// - Time-outs are per address, in milliseconds; below 1 means a plain blocking call.
using NETW_CONNECT_ABORT_FN = int (*)(void *user);  // non-zero abandons the address being tried
[[nodiscard]] int netw_connect_ex_to(NETWORK **netw, const char *host, const char *port, size_t send_list_limit, size_t recv_list_limit,
                                     int ip_version, const char *ssl_key_file, const char *ssl_cert_file, int timeout_ms);
[[nodiscard]] int netw_connect_ex(NETWORK **netw, const char *host, const char *port, size_t send_list_limit, size_t recv_list_limit,
                                  int ip_version, const char *ssl_key_file, const char *ssl_cert_file);
[[nodiscard]] int netw_connect(NETWORK **netw, const char *host, const char *port, int ip_version);
[[nodiscard]] int netw_connect_to(NETWORK **netw, const char *host, const char *port, int ip_version, int timeout_ms);
[[nodiscard]] int netw_ssl_connect(NETWORK **netw, const char *host, const char *port, int ip_version, const char *ssl_key_file, const char *ssl_cert_file);
[[nodiscard]] int netw_ssl_connect_client(NETWORK **netw, const char *host, const char *port, int ip_version);  // handshake: netw_ssl_do_handshake
[[nodiscard]] int netw_ssl_connect_client_to(NETWORK **netw, const char *host, const char *port, int ip_version, int timeout_ms);
void      netw_set_connect_abort_cb(NETW_CONNECT_ABORT_FN cb, void *user);  // process-wide; set before connecting threads run
[[nodiscard]] int netw_make_listening(NETWORK **netw, const char *addr, const char *port, int nbpending, int ip_version);  // addr null: all local
// wait: -1 non-blocking, below 1 blocking, else milliseconds; *netw_err gets errno, EPROTO or ETIMEDOUT
[[nodiscard]] NETWORK *netw_accept_from_ex(NETWORK *from, size_t send_list_limit, size_t recv_list_limit, int wait_ms, int *netw_err);
[[nodiscard]] NETWORK *netw_accept_from(NETWORK *from);
[[nodiscard]] NETWORK *netw_accept_nonblock_from(NETWORK *from, int wait_ms);
[[nodiscard]] NETWORK *netw_accept_ssl_with_sni_cb(NETWORK *from, NETW_SNI_PICK pick, void *user);
[[nodiscard]] int netw_bind_udp(NETWORK **netw, const char *addr, const char *port, int ip_version);
[[nodiscard]] int netw_connect_udp(NETWORK **netw, const char *host, const char *port, int ip_version);
[[nodiscard]] int netw_adopt_client_fd(NETWORK **netw, int fd, const char *ip, const char *port);  // the record owns fd from then on
int _netw_socket(int family, int type, int protocol);                        // close-on-exec as switched
int _netw_accept(int listen_fd, struct sockaddr *addr, socklen_t *addrlen);  // errno of accept kept
int _proxy_tcp_connect(const char *host, int port);                          // blocking descriptor, or -1

// Blocking whole-buffer send and receive: the full length, -2 peer gone, -1
// other failure (also in the ring). A failed transfer does not say how much
// moved: treat the connection as broken.
// - The plain pair retries EINTR/EAGAIN 8 times per chunk and never sleeps.
// - The TLS pair waits with poll() while OpenSSL wants the socket; a send
//   waits at most the send time-out (SO_SNDTIMEO as set, else NETW_SSL_SEND_WAIT_MS).
//   One thread may send while another receives on the same connection: the
//   socket is non-blocking while a transfer is under way (a blocking one is
//   blocking again when the last ends), and no wait holds the session's lock.
constexpr int NETW_RETRY_STORM = 8;          // immediate retries of one chunk
constexpr int NETW_SSL_SEND_WAIT_MS = 30000; // longest stall of a TLS send when no send time-out is set
ssize_t send_data(NETWORK *netw, char *buf, uint32_t n);
ssize_t recv_data(NETWORK *netw, char *buf, uint32_t n);      // n 0: 0
ssize_t send_ssl_data(NETWORK *netw, char *buf, uint32_t n);
ssize_t recv_ssl_data(NETWORK *netw, char *buf, uint32_t n);
ssize_t send_udp_data(NETWORK *netw, char *buf, uint32_t n);  // one datagram, never retried
ssize_t recv_udp_data(NETWORK *netw, char *buf, uint32_t n);  // one datagram, cut to n; 0 for an empty one

// Threaded engine: a receive and a send thread per connection exchanging
// engine frames (big-endian state word with the compression flags, big-endian
// length, payload; the quit word NETW_EXIT_ASKED alone). The application only
// queues and dequeues whole N_STR messages; queued messages belong to the queue.
constexpr uint32_t NETW_FRAME_SEND_MAX = 0xFFFFFFF7u;  // larger messages are dropped: the frame length must fit in 32 bits
constexpr uint32_t NETW_MSG_MAX_FRAME_SIZE = 0x40000000u;  // 1 GiB: the largest payload a receiver allocates
constexpr size_t   NETW_COMPRESS_MIN = 256;            // smaller messages are never compressed
constexpr int      NETW_COMPRESS_KEEP_PCT = 90;        // compressed form kept only at <= 90 % of the message
constexpr uint32_t NETW_WAIT_MIN_REFRESH_US = 1000;    // netw_wait_msg's refresh when given 0: never a busy loop
constexpr int      NETW_STOP_PEER_WAIT_MS = 5000;      // how long a stop waits for the peer's quit when wait_close_timeout is not set
int      netw_start_thr_engine(NETWORK *netw);
int      netw_stop_thr_engine(NETWORK *netw);                     // sends the quit word, joins both threads; a silent peer is cut off after a bound
int      netw_add_msg(NETWORK *netw, N_STR *msg);                 // 1: the queue owns msg; 0: the caller keeps it
int      netw_add_msg_ex(NETWORK *netw, char *str, uint32_t length);  // 1: buffer adopted in a new N_STR
[[nodiscard]] N_STR *netw_get_msg(NETWORK *netw);                 // oldest received message or null; caller owns it
[[nodiscard]] N_STR *netw_wait_msg(NETWORK *netw, uint32_t refresh_us, size_t timeout_us);  // timeout 0: none
void    *netw_send_func(void *net);
void    *netw_recv_func(void *net);
// One engine frame of `msg` into a new buffer (state word, length, payload),
// compressed as the connection's `compression` says; 0 when it cannot be made.
[[nodiscard]] int netw_build_frame(int compression, uint32_t state, N_STR *msg, char **frame, size_t *frame_len);

// Connection pools: sets of connections keyed by socket number. A pool never
// owns or closes its members; each member lists its pools so that netw_close
// can leave them all.
struct NETWORK_POOL {
    struct HASH_TABLE *pool;       // "%lld" socket -> NETWORK *
    pthread_rwlock_t rwlock;       // writers: add, remove, destroy
};
[[nodiscard]] NETWORK_POOL *netw_new_pool(size_t nb_min_element);
int      netw_destroy_pool(NETWORK_POOL **netw_pool);  // also takes itself out of its members' lists
int      netw_pool_add(NETWORK_POOL *netw_pool, NETWORK *netw);
int      netw_pool_remove(NETWORK_POOL *netw_pool, NETWORK *netw);
void     netw_pool_netw_close(void *netw_ptr);        // the table's destroy function: logs, closes nothing
