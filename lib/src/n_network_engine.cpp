// Threaded send and receive engine: one receive thread and one send thread per
// connection, exchanging engine frames, with the application's message queues
// in between. The frame builder is shared with the event reactor.
#include "n_lz4.h"
#include "n_network_internal.h"
#include "n_reactor.h"
#include "n_time.h"
#include "n_zlib.h"

#include <cinttypes>
#include <climits>
#include <semaphore.h>
#include <unistd.h>

constexpr int NETW_STOP_EXTRA_POSTS = 10;  // wake-ups sent after a stop, 1 ms apart, for a thread that missed one
constexpr unsigned char NETW_QUIT_WORD[4] = {0, 0, 0, 0x80};
static_assert(NETW_EXIT_ASKED == 0x80, "the quit word is NETW_EXIT_ASKED in big-endian");

static void put_be32(char *p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = static_cast<char>(v >> (24 - 8 * i));
}
static uint32_t get_be32(const char *p) { return n_zip_header_get(p); }

static const char *ip_of(NETWORK *netw) { return txt(netw->link.ip); }

// Most output one stream byte can give: deflate's ceiling is 1032 to 1, and an
// LZ4 block's long match spends one byte per 255 bytes of length.
constexpr uint64_t NETW_ZLIB_MAX_RATIO = 1032;
constexpr uint64_t NETW_LZ4_MAX_RATIO = 255;
constexpr uint64_t NETW_RATIO_SLACK = 64;

bool netw_declared_size_ok(const NETWORK *netw, const N_STR *packed, bool lz4) {
    if (!packed || !packed->data || packed->written < N_ZIP_HEADER_LEN) return false;
    uint64_t declared = n_zip_header_get(packed->data);
    uint64_t stream = packed->written - N_ZIP_HEADER_LEN;
    uint64_t most = stream * (lz4 ? NETW_LZ4_MAX_RATIO : NETW_ZLIB_MAX_RATIO) + NETW_RATIO_SLACK;
    return declared <= netw->recv_msg_limit && declared <= most;
}

// ---------------------------------------------------------------- frames

int netw_build_frame(int compression, uint32_t state, N_STR *msg, char **frame, size_t *frame_len) {
    N_ASSERT(msg && msg->data && frame && frame_len, return 0);
    N_STR *packed = nullptr;
    if (compression != 0 && msg->written >= NETW_COMPRESS_MIN) {
        packed = compression == 2 ? zip4_nstr(msg) : zip_nstr(msg);
        // Kept only when it saves at least a tenth: a random payload grows.
        if (packed && packed->written != 0 && msg->written * NETW_COMPRESS_KEEP_PCT >= packed->written * 100)
            state |= compression == 2 ? (uint32_t)NETW_COMPRESSED_LZ4 : (uint32_t)NETW_COMPRESSED_ZLIB;
        else
            free_nstr_nolog(&packed);
    }
    const N_STR *body = packed ? packed : msg;
    size_t n = body->written;
    char *buf = static_cast<char *>(_n_calloc("frame", n + 8, sizeof(char), "char", __FILE__, __func__, __LINE__));
    if (buf) {
        put_be32(buf, state);
        put_be32(buf + 4, (uint32_t)n);
        if (n) memcpy(buf + 8, body->data, n);
        *frame = buf;
        *frame_len = n + 8;
    } else {
        *frame_len = n + 8;  // what could not be had, for the caller's message
    }
    free_nstr_nolog(&packed);
    return buf ? 1 : 0;
}

// ---------------------------------------------------------------- threads

static void *end_thread(NETWORK *netw, bool sending, int code) {
    int sock = netw->link.sock;
    if (code == 0) {
        if (sending)
            n_log(LOG_DEBUG, "Socket %d: Sending thread exiting correctly", sock);
        else
            n_log(LOG_DEBUG, "Socket %d (%s): Receive thread exiting correctly", sock, ip_of(netw));
        netw_set(netw, NETW_EXIT_ASKED);
    } else {
        if (sending)
            NETW_RECORD_ERR(netw, "Socket %d (%s): Sending thread exiting with error %d !", sock, ip_of(netw), code);
        else
            NETW_RECORD_ERR(netw, "Socket %d (%s): Receive thread exiting with code %d !", sock, ip_of(netw), code);
        netw_set(netw, NETW_ERROR);
    }
    HOLD(netw, eventbolt);
    netw->nb_running_threads--;
    return nullptr;
}

static void wait_blocker(NETWORK *netw) {
    while (sem_wait(&netw->send_blocker) != 0 && errno == EINTR) {
    }
}

void *netw_send_func(void *net) {
    NETWORK *netw = static_cast<NETWORK *>(net);
    int sock = netw->link.sock;
    int code = 0;
    for (;;) {
        wait_blocker(netw);
        int state = netw_locked_read(netw, &NETWORK::state);
        if (state == NETW_ERROR) {
            code = 666;
            break;
        }
        if (state == NETW_EXITED) break;
        if (state == NETW_EXIT_ASKED) {
            n_log(LOG_DEBUG, "%d Sending Quit !", sock);
            char quit[4];
            memcpy(quit, NETW_QUIT_WORD, 4);
            ssize_t r = netw->send_data_fn(netw, quit, 4);
            n_log(LOG_DEBUG, "%d Quit sent!", sock);
            if (r < 0 && r != -2) {
                NETW_RECORD_ERR(netw, "Error when sending state QUIT on socket %d (%s), network: %s", sock, ip_of(netw), "socket error");
                code = 4;
            }
            break;
        }
        N_STR *msg = nullptr;
        {
            HOLD(netw, sendbolt);
            msg = static_cast<N_STR *>(list_shift(netw->send_buf));
        }
        if (!msg) continue;
        if (msg->length == 0 || !msg->data) {
            free_nstr_ptr_nolog(msg);
            continue;
        }
        if (msg->written > NETW_FRAME_SEND_MAX) {
            NETW_RECORD_ERR(netw, "discarded packet of size %zu which is greater than %u", msg->written, UINT32_MAX);
            free_nstr_ptr_nolog(msg);
            continue;
        }
        n_log(LOG_DEBUG, "Sending ptr size %zu written %zu...", msg->length, msg->written);
        char *frame = nullptr;
        size_t frame_len = 0;
        ssize_t r = 0;
        if (netw_build_frame(netw->compression, (uint32_t)state, msg, &frame, &frame_len)) {
            r = netw->send_data_fn(netw, frame, (uint32_t)frame_len);
            free(frame);
        } else {
            NETW_RECORD_ERR(netw, "could not allocate %zu byte send frame, packet dropped", frame_len);
        }
        if (netw->send_queue_consecutive_wait >= 0) u_sleep(netw->send_queue_consecutive_wait);
        free_nstr_ptr_nolog(msg);
        if (r == -2) break;
        if (r < 0) {
            NETW_RECORD_ERR(netw, "Error when sending state %u on socket %d (%s), network: %s", (unsigned)state, sock, ip_of(netw),
                            "socket error");
            code = 1;
            break;
        }
    }
    return end_thread(netw, true, code);
}

void *netw_recv_func(void *net) {
    NETWORK *netw = static_cast<NETWORK *>(net);
    int sock = netw->link.sock;
    int code = 0;
    for (;;) {
        int state = netw_locked_read(netw, &NETWORK::state);
        if (state == NETW_EXIT_ASKED || state == NETW_EXITED) break;
        if (state == NETW_ERROR) {
            code = 666;
            break;
        }
        char word[4];
        n_log(LOG_DEBUG, "socket %d : waiting to receive status", sock);
        ssize_t r = netw->recv_data_fn(netw, word, 4);
        if (r == -2) break;
        if (r < 0) {
            NETW_RECORD_ERR(netw, "Error when receiving state from socket %d (%s), net_status: %s", sock, ip_of(netw), "socket error");
            code = 1;
            break;
        }
        if (memcmp(word, NETW_QUIT_WORD, 4) == 0) {
            n_log(LOG_DEBUG, "socket %d : receiving order to QUIT !", sock);
            break;
        }
        uint32_t state_word = get_be32(word);
        n_log(LOG_DEBUG, "socket %d : waiting to receive next message nboctets", sock);
        r = netw->recv_data_fn(netw, word, 4);
        if (r == -2) break;
        if (r < 0) {
            NETW_RECORD_ERR(netw, "Error when receiving nboctet from socket %d (%s), net_status: %s", sock, ip_of(netw), "socket error");
            code = 2;
            break;
        }
        uint32_t n = get_be32(word);
        N_STR *msg = n_calloc(recvdmsg, 1, N_STR);
        if (!msg) {
            NETW_RECORD_ERR(netw, "Error allocating received message struct from socket %d (%s), net_status: %s", sock, ip_of(netw),
                            "socket error");
            code = 3;
            break;
        }
        if (n > NETW_MSG_MAX_FRAME_SIZE || n > netw->recv_msg_limit) {
            free(msg);
            NETW_RECORD_ERR(netw, "Rejected oversized frame from socket %d (%s): length exceeds NETW_MSG_MAX_FRAME_SIZE (%lu bytes)", sock,
                            ip_of(netw), (unsigned long)std::min(NETW_MSG_MAX_FRAME_SIZE, netw->recv_msg_limit));
            code = 8;
            break;
        }
        n_log(LOG_DEBUG, "socket %d : %u octets to receive...", sock, n);
        msg->data = static_cast<char *>(_n_calloc("recvdmsg->data", (size_t)n + 1, sizeof(char), "char", __FILE__, __func__, __LINE__));
        if (!msg->data) {
            free(msg);
            NETW_RECORD_ERR(netw, "Error allocating received messages data array from socket %d (%s), net_status: %s", sock, ip_of(netw),
                            "socket error");
            code = 4;
            break;
        }
        msg->length = (size_t)n + 1;
        msg->written = n;
        // An empty message has no payload to read; the TLS whole-buffer
        // receive would refuse a length of 0 and take the connection down.
        r = n ? netw->recv_data_fn(netw, msg->data, n) : 0;
        if (r < 0) {
            free_nstr_ptr_nolog(msg);
            if (r == -2) break;
            NETW_RECORD_ERR(netw, "Error when receiving data from socket %d (%s), net_status: %s", sock, ip_of(netw), "socket error");
            code = 5;
            break;
        }
        if (state_word & (NETW_COMPRESSED_LZ4 | NETW_COMPRESSED_ZLIB)) {
            bool lz4 = state_word & NETW_COMPRESSED_LZ4;
            N_STR *plain = netw_declared_size_ok(netw, msg, lz4) ? (lz4 ? unzip4_nstr(msg) : unzip_nstr(msg)) : nullptr;
            free_nstr_ptr_nolog(msg);
            msg = plain;
            if (!msg) {
                n_log(LOG_ERR, "socket %d : failed to decompress payload (%u bytes, codec=%s); dropping", sock, n, lz4 ? "lz4" : "zlib");
                code = 7;
                break;
            }
        }
        int pushed;
        {
            HOLD(netw, recvbolt);
            pushed = list_push(netw->recv_buf, msg, free_nstr_ptr);
        }
        n_log(LOG_DEBUG, "socket %d : %u octets received !", sock, n);
        if (!pushed) {
            free_nstr_ptr_nolog(msg);
            NETW_RECORD_ERR(netw, "Error adding receved message from socket %d (%s), net_status: %s", sock, ip_of(netw), "socket error");
            code = 6;
            break;
        }
    }
    return end_thread(netw, false, code);
}

// ---------------------------------------------------------------- start and stop

int netw_start_thr_engine(NETWORK *netw) {
    N_ASSERT(netw, return 0);
    HOLD(netw, eventbolt);
    if (netw->threaded_engine_status == NETW_THR_ENGINE_STARTED) {
        NETW_RECORD_ERR(netw, "THR Engine already started for network %p (%s)", (void *)netw, ip_of(netw));
        return 0;
    }
    if (netw->reactor_attached.load()) {
        NETW_RECORD_ERR(netw, "THR Engine refused for network %p (%s): it is served by a reactor", (void *)netw, ip_of(netw));
        return 0;
    }
    // The threads block in their own calls; over TLS they share the session,
    // so its calls must return at once and the waits happen outside its lock.
    if (netw->link.sock >= 0) {
        if (!netw_set_blocking(netw, netw->crypto_algo == NETW_ENCRYPT_OPENSSL ? 0 : 1)) {
            NETW_RECORD_ERR(netw, "THR Engine: cannot set the blocking mode of socket %d", netw->link.sock);
            return 0;
        }
    }
    if (pthread_create(&netw->recv_thr, nullptr, netw_recv_func, netw) != 0) {
        NETW_RECORD_ERR(netw, "Unable to create recv_thread for network %p (%s)", (void *)netw, ip_of(netw));
        return 0;
    }
    netw->nb_running_threads++;
    if (pthread_create(&netw->send_thr, nullptr, netw_send_func, netw) != 0) {
        NETW_RECORD_ERR(netw, "Unable to create send_thread for network %p (%s)", (void *)netw, ip_of(netw));
        // The receive thread ends through its state and the socket: a blocked
        // read returns once the socket is shut down. It counts itself out under
        // eventbolt, so the join happens with the lock released.
        netw->state = NETW_EXIT_ASKED;
        if (netw->link.sock >= 0) shutdown(netw->link.sock, SHUT_RDWR);
        netw_bolt_unlock(&netw->eventbolt, "netw->eventbolt", __func__, __LINE__);
        pthread_join(netw->recv_thr, nullptr);
        netw_bolt_lock(&netw->eventbolt, "netw->eventbolt", __func__, __LINE__);
        return 0;
    }
    netw->nb_running_threads++;
    netw->engine_threads = 1;
    netw->threaded_engine_status = NETW_THR_ENGINE_STARTED;
    return 1;
}

// Waits until both engine threads counted themselves out, or the monotonic
// `deadline_ms` passed.
static bool threads_ended_by(NETWORK *netw, long long deadline_ms) {
    for (;;) {
        if (netw_locked_read(netw, &NETWORK::nb_running_threads) <= 0) return true;
        if (netw_now_ms() >= deadline_ms) return false;
        u_sleep(1000);
    }
}

int netw_stop_thr_engine(NETWORK *netw) {
    N_ASSERT(netw, return 0);
    int sock = netw->link.sock;
    n_log(LOG_DEBUG, "Network %d stop threads event", sock);
    if (netw_locked_read(netw, &NETWORK::threaded_engine_status) != NETW_THR_ENGINE_STARTED) {
        NETW_RECORD_ERR(netw, "Thread engine status already stopped for network %p", (void *)netw);
        return 0;
    }
    {
        HOLD(netw, eventbolt);
        netw->state = NETW_EXIT_ASKED;
    }
    sem_post(&netw->send_blocker);
    n_log(LOG_DEBUG, "Network %d waits for send threads to stop", sock);
    for (int i = 0; i < NETW_STOP_EXTRA_POSTS; i++) {
        sem_post(&netw->send_blocker);
        u_sleep(1000);
    }
    // A peer that neither answers the quit word nor closes (nor reads) would
    // hold a thread for ever: past the bound the socket is shut down, which
    // ends both threads' waits, and only then are they joined.
    int bound_ms = netw->wait_close_timeout > 0 ? netw->wait_close_timeout * 1000 : NETW_STOP_PEER_WAIT_MS;
    if (!threads_ended_by(netw, netw_now_ms() + bound_ms)) {
        NETW_RECORD_ERR(netw, "Socket %d (%s): no quit from the peer after %d ms, shutting the socket down", sock, ip_of(netw), bound_ms);
        if (sock >= 0) shutdown(sock, SHUT_RDWR);
    }
    // The status alone does not prove the threads exist (netw_set can mark the
    // engine started): only threads this engine made are joined.
    int made;
    {
        HOLD(netw, eventbolt);
        made = netw->engine_threads;
        netw->engine_threads = 0;
    }
    if (made) {
        pthread_join(netw->send_thr, nullptr);
        n_log(LOG_DEBUG, "Network %d waits for recv threads to stop", sock);
        pthread_join(netw->recv_thr, nullptr);
    }
    {
        HOLD(netw, eventbolt);
        netw->state = NETW_EXITED;
        netw->threaded_engine_status = NETW_THR_ENGINE_STOPPED;
    }
    sem_post(&netw->send_blocker);
    n_log(LOG_DEBUG, "Network %d threads Stopped !", sock);
    return 1;
}

// ---------------------------------------------------------------- queues

// Appends under sendbolt, then wakes whoever sends: the reactor for a
// connection in reactor mode, else the send thread.
static int enqueue(NETWORK *netw, N_STR *msg) {
    int pushed;
    {
        HOLD(netw, sendbolt);
        pushed = list_push(netw->send_buf, msg, free_nstr_ptr);
    }
    if (!pushed) return 0;
    if (netw->reactor_attached.load() && netw->reactor.load())
        n_reactor_notify_send(netw);
    else
        sem_post(&netw->send_blocker);
    return 1;
}

int netw_add_msg(NETWORK *netw, N_STR *msg) {
    N_ASSERT(netw, return 0);
    N_ASSERT(msg, return 0);
    N_ASSERT(msg->data, return 0);
    if (msg->length == 0) {
        NETW_RECORD_ERR(netw, "Empty messages are not supported. msg(%p)->length=%zu", (void *)msg, msg->length);
        return 0;
    }
    size_t written = msg->written;  // the queue may hand msg to another thread at once
    if (!enqueue(netw, msg)) return 0;
    g_netw_bytes_sent.fetch_add(written);
    return 1;
}

int netw_add_msg_ex(NETWORK *netw, char *str, uint32_t length) {
    N_ASSERT(netw, return 0);
    N_ASSERT(str, return 0);
    if (length == 0) return 0;
    N_STR *nstr = n_calloc(nstr, 1, N_STR);
    N_ASSERT(nstr, return 0);
    nstr->data = str;
    nstr->length = length;
    nstr->written = length;
    if (!enqueue(netw, nstr)) {
        free(nstr);  // the buffer stays the caller's
        return 0;
    }
    return 1;
}

N_STR *netw_get_msg(NETWORK *netw) {
    N_ASSERT(netw, return nullptr);
    N_STR *msg;
    {
        HOLD(netw, recvbolt);
        msg = static_cast<N_STR *>(list_shift(netw->recv_buf));
    }
    if (msg) g_netw_bytes_recv.fetch_add(msg->written);
    return msg;
}

N_STR *netw_wait_msg(NETWORK *netw, uint32_t refresh_us, size_t timeout_us) {
    N_ASSERT(netw, return nullptr);
    if (refresh_us == 0) refresh_us = NETW_WAIT_MIN_REFRESH_US;
    uint32_t secs = 0, usecs = refresh_us;
    if (refresh_us > 999999) {
        secs = refresh_us / 1000000;
        usecs = refresh_us % 1000000;
    }
    int sock = netw->link.sock;
    n_log(LOG_DEBUG, "wait from socket %d, refresh: %u usec (%u secs, %u usecs), timeout %zu usec", sock, refresh_us, secs, usecs,
          timeout_us);
    int state = NETW_RUN;
    // Elapsed time is read from the monotonic clock: sleeps overshoot, and a
    // short refresh must not stretch or shrink the time-out.
    timespec t0{};
    clock_gettime(CLOCK_MONOTONIC, &t0);
    auto elapsed_us = [&t0]() -> uint64_t {
        timespec t{};
        clock_gettime(CLOCK_MONOTONIC, &t);
        return (uint64_t)(t.tv_sec - t0.tv_sec) * 1000000u + (uint64_t)((t.tv_nsec - t0.tv_nsec) / 1000);
    };
    for (;;) {
        if (N_STR *msg = netw_get_msg(netw)) return msg;
        uint64_t nap = refresh_us;
        if (timeout_us > 0) {
            uint64_t spent = elapsed_us();
            if (spent >= timeout_us) {
                NETW_RECORD_ERR(netw, "netw %d, status: %s (%u), timeouted after waiting %zu msecs", sock,
                                txt(__netw_code_type__toString((uint32_t)state)), (unsigned)state, timeout_us);
                return nullptr;
            }
            nap = std::min<uint64_t>(nap, timeout_us - spent);
        }
        while (nap >= 1000000) {
            u_sleep(1000000);
            nap -= 1000000;
        }
        if (nap) u_sleep((int32_t)nap);
        state = netw_locked_read(netw, &NETWORK::state);
        if (state == NETW_EXITED || state == NETW_ERROR) {
            NETW_RECORD_ERR(netw, "got no answer and netw %d is no more running, state: %s (%u)", sock,
                            txt(__netw_code_type__toString((uint32_t)state)), (unsigned)state);
            return nullptr;
        }
    }
}
