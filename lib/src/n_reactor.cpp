// Event reactor: one epoll loop serving many connections in the engine's frame
// format. Sockets are edge-triggered and non-blocking: every readable event
// reads until the socket would block, every drain writes until it would
// block, and write interest is held only while a frame is stuck.
#include "n_reactor.h"

#include "n_lz4.h"
#include "n_network_internal.h"
#include "n_time.h"
#include "n_zlib.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

constexpr unsigned char QUIT_WORD[4] = {0, 0, 0, 0x80};
constexpr uint32_t EV_BASE = EPOLLIN | EPOLLRDHUP | EPOLLET;

enum ReadResult { READ_OPEN, READ_CLOSED };

static uint32_t be32(const unsigned char *p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

static void close_fd(int *fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

// ---------------------------------------------------------------- life

static void unlink_from(LIST *list, pthread_mutex_t *lock, NETWORK *netw);

n_reactor *n_reactor_new() {
    n_reactor *r = n_calloc(r, 1, n_reactor);
    N_ASSERT(r, return nullptr);
    r->epoll_fd = r->stop_efd = r->wake_efd = -1;
    bool ok = false;
    bool reg_lock = false, dirty_lock = false;
    do {
        r->epoll_fd = epoll_create1(EPOLL_CLOEXEC);
        if (r->epoll_fd < 0) {
            n_log(LOG_ERR, "n_reactor_new: epoll_create1 failed: %s", ErrText(errno).s);
            break;
        }
        r->stop_efd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (r->stop_efd < 0) {
            n_log(LOG_ERR, "n_reactor_new: eventfd(stop) failed: %s", ErrText(errno).s);
            break;
        }
        r->wake_efd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (r->wake_efd < 0) {
            n_log(LOG_ERR, "n_reactor_new: eventfd(wake) failed: %s", ErrText(errno).s);
            break;
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = N_REACTOR_DATA_STOP;
        bool added = epoll_ctl(r->epoll_fd, EPOLL_CTL_ADD, r->stop_efd, &ev) == 0;
        ev.data.u64 = N_REACTOR_DATA_WAKE;
        added = added && epoll_ctl(r->epoll_fd, EPOLL_CTL_ADD, r->wake_efd, &ev) == 0;
        if (!added) {
            n_log(LOG_ERR, "n_reactor: epoll_ctl ADD eventfd failed: %s", ErrText(errno).s);
            break;
        }
        r->registered = new_generic_list(0);
        if (!r->registered || pthread_mutex_init(&r->registered_lock, nullptr) != 0) {
            n_log(LOG_ERR, "n_reactor_new: cannot allocate registered list");
            break;
        }
        reg_lock = true;
        r->dirty_pending = new_generic_list(0);
        if (!r->dirty_pending || pthread_mutex_init(&r->dirty_lock, nullptr) != 0) {
            n_log(LOG_ERR, "n_reactor_new: cannot allocate dirty_pending list");
            break;
        }
        dirty_lock = true;
        if (pthread_mutex_init(&r->run_lock, nullptr) != 0) {
            n_log(LOG_ERR, "n_reactor_new: cannot create the run lock");
            break;
        }
        ok = true;
    } while (false);
    if (!ok) {
        close_fd(&r->wake_efd);
        close_fd(&r->stop_efd);
        close_fd(&r->epoll_fd);
        if (r->registered) list_destroy(&r->registered);
        if (r->dirty_pending) list_destroy(&r->dirty_pending);
        if (reg_lock) pthread_mutex_destroy(&r->registered_lock);
        if (dirty_lock) pthread_mutex_destroy(&r->dirty_lock);
        free(r);
        return nullptr;
    }
    n_log(LOG_INFO, "n_reactor_new: created (epoll_fd=%d stop_efd=%d wake_efd=%d)", r->epoll_fd, r->stop_efd, r->wake_efd);
    return r;
}

void n_reactor_destroy(n_reactor **reactor) {
    if (!reactor || !*reactor) return;
    n_reactor *r = *reactor;
    // No connection may keep pointing at the freed reactor: each one still
    // registered is let go (the head is taken again after every removal).
    for (;;) {
        pthread_mutex_lock(&r->registered_lock);
        LIST_NODE *head = r->registered ? r->registered->start : nullptr;
        NETWORK *netw = head ? static_cast<NETWORK *>(head->ptr) : nullptr;
        pthread_mutex_unlock(&r->registered_lock);
        if (!netw) break;
        n_reactor_unregister(r, netw);
        unlink_from(r->registered, &r->registered_lock, netw);  // no-op unless it was listed yet not attached
    }
    close_fd(&r->wake_efd);
    close_fd(&r->stop_efd);
    close_fd(&r->epoll_fd);
    list_destroy(&r->registered);
    pthread_mutex_destroy(&r->registered_lock);
    list_destroy(&r->dirty_pending);
    pthread_mutex_destroy(&r->dirty_lock);
    pthread_mutex_destroy(&r->run_lock);
    free(r);
    *reactor = nullptr;
}

void n_reactor_stop(n_reactor *reactor) {
    if (!reactor || reactor->stop_efd < 0) return;
    uint64_t one = 1;
    ssize_t w = write(reactor->stop_efd, &one, sizeof one);
    (void)w;  // a full counter already asks the same
}

void n_reactor_get_stats(n_reactor *reactor, n_reactor_stats *out) {
    if (!out) return;
    *out = n_reactor_stats{};
    if (!reactor) return;
    out->events = reactor->events.load();
    out->send_blocked = reactor->send_blocked.load();
    out->partial_reads = reactor->partial_reads.load();
    out->registrations = reactor->registrations.load();
    out->unregistrations = reactor->unregistrations.load();
    out->wake_sum = reactor->wake_sum.load();
    out->wake_events = reactor->wake_events.load();
    out->dirty_seen = reactor->dirty_seen.load();
    out->dirty_drained = reactor->dirty_drained.load();
}

// ---------------------------------------------------------------- membership

static void reset_io(NETWORK *netw) {
    free(netw->reactor_read_payload);
    netw->reactor_read_payload = nullptr;
    free(netw->reactor_send_frame);
    netw->reactor_send_frame = nullptr;
    netw->reactor_read_phase = 0;
    netw->reactor_hdr_len = 0;
    netw->reactor_state_word = 0;
    netw->reactor_read_len = 0;
    netw->reactor_read_got = 0;
    netw->reactor_send_len = 0;
    netw->reactor_send_off = 0;
    netw->reactor_wants_out = 0;
    netw->reactor_write_wants_read = 0;
    netw->reactor_read_wants_write = 0;
}

static void unlink_from(LIST *list, pthread_mutex_t *lock, NETWORK *netw) {
    pthread_mutex_lock(lock);
    if (LIST_NODE *node = list_search(list, netw)) (void)remove_list_node(list, node);
    pthread_mutex_unlock(lock);
}

int n_reactor_register(n_reactor *reactor, NETWORK *netw) {
    if (!reactor || !netw) return 0;
    int sock = netw->link.sock;
    if (netw->reactor_attached.load()) {
        n_log(LOG_WARNING, "n_reactor_register: socket %d already in reactor mode", sock);
        return 0;
    }
    if (netw_locked_read(netw, &NETWORK::threaded_engine_status) == NETW_THR_ENGINE_STARTED) {
        n_log(LOG_ERR, "n_reactor_register: socket %d has thread engine started; reactor and thread mode are mutually exclusive", sock);
        return 0;
    }
    int flags = fcntl(sock, F_GETFL);
    if (flags < 0 || (!(flags & O_NONBLOCK) && fcntl(sock, F_SETFL, flags | O_NONBLOCK) < 0)) {
        n_log(LOG_ERR, "n_reactor_register: O_NONBLOCK on socket %d failed: %s", sock, ErrText(errno).s);
        return 0;
    }
    netw->link.is_blocking = 0;
    if (!netw->send_once_fn) netw->send_once_fn = send_data_once;
    if (!netw->recv_once_fn) netw->recv_once_fn = recv_data_once;
    reset_io(netw);
    netw->reactor_released = 0;
    epoll_event ev{};
    ev.events = EV_BASE;
    ev.data.ptr = netw;
    if (epoll_ctl(reactor->epoll_fd, EPOLL_CTL_ADD, sock, &ev) != 0) {
        n_log(LOG_ERR, "n_reactor_register: epoll_ctl ADD socket %d failed: %s", sock, ErrText(errno).s);
        return 0;
    }
    netw->reactor = reactor;
    netw->reactor_ever = 1;
    netw->reactor_attached = 1;
    pthread_mutex_lock(&reactor->registered_lock);
    int pushed = list_push(reactor->registered, netw, nullptr);
    pthread_mutex_unlock(&reactor->registered_lock);
    if (!pushed) {
        // Never half-registered: the sweep could not find it.
        epoll_ctl(reactor->epoll_fd, EPOLL_CTL_DEL, sock, nullptr);
        netw->reactor_attached = 0;
        netw->reactor = nullptr;
        netw->reactor_released = 1;
        n_log(LOG_ERR, "n_reactor_register: socket %d cannot be listed", sock);
        return 0;
    }
    reactor->registrations++;
    n_log(LOG_DEBUG, "n_reactor: registered socket %d", sock);
    return 1;
}

void n_reactor_unregister(n_reactor *reactor, NETWORK *netw) {
    if (!reactor || !netw || !netw->reactor_attached.load()) return;
    int sock = netw->link.sock;
    if (epoll_ctl(reactor->epoll_fd, EPOLL_CTL_DEL, sock, nullptr) != 0 && errno != EBADF && errno != ENOENT)
        n_log(LOG_WARNING, "n_reactor_unregister: epoll_ctl DEL socket %d failed: %s", sock, ErrText(errno).s);
    reset_io(netw);
    unlink_from(reactor->registered, &reactor->registered_lock, netw);
    // Detached under dirty_lock: a notification racing with us either sees
    // the connection attached and is taken back out here, or sees it gone.
    pthread_mutex_lock(&reactor->dirty_lock);
    if (LIST_NODE *node = list_search(reactor->dirty_pending, netw)) (void)remove_list_node(reactor->dirty_pending, node);
    netw->reactor_dirty = 0;
    netw->reactor_attached = 0;
    pthread_mutex_unlock(&reactor->dirty_lock);
    netw->reactor = nullptr;
    reactor->unregistrations++;
    n_log(LOG_DEBUG, "n_reactor: unregistered socket %d", sock);
    netw->reactor_released = 1;  // last: the owner may free the record from here on
}

void n_reactor_notify_send(NETWORK *netw) {
    if (!netw) return;
    n_reactor *r = netw->reactor.load();
    if (!r || r->wake_efd < 0) return;
    int expected = 0;
    if (netw->reactor_dirty.compare_exchange_strong(expected, 1)) {
        pthread_mutex_lock(&r->dirty_lock);
        if (!netw->reactor_attached.load() || !list_push(r->dirty_pending, netw, nullptr)) netw->reactor_dirty = 0;
        pthread_mutex_unlock(&r->dirty_lock);
    }
    uint64_t one = 1;
    ssize_t w = write(r->wake_efd, &one, sizeof one);
    (void)w;
}

// ---------------------------------------------------------------- reading

static void dispatch(n_reactor *r, NETWORK *netw, char *payload, uint32_t len, uint32_t state_word) {
    (void)r;
    N_STR *msg = n_calloc(msg, 1, N_STR);
    if (!msg) {
        free(payload);
        return;
    }
    msg->data = payload;
    msg->written = len;
    msg->length = (size_t)len + 1;
    msg->data[len] = 0;
    if (state_word & (NETW_COMPRESSED_LZ4 | NETW_COMPRESSED_ZLIB)) {
        bool lz4 = state_word & NETW_COMPRESSED_LZ4;
        N_STR *plain = netw_declared_size_ok(netw, msg, lz4) ? (lz4 ? unzip4_nstr(msg) : unzip_nstr(msg)) : nullptr;
        free_nstr_ptr_nolog(msg);
        if (!plain) {
            n_log(LOG_ERR, "n_reactor: failed to decompress payload (%u bytes, codec=%s); dropping", len, lz4 ? "lz4" : "zlib");
            return;
        }
        msg = plain;
    }
    int pushed;
    {
        HOLD(netw, recvbolt);
        pushed = list_push(netw->recv_buf, msg, free_nstr_ptr);
    }
    if (!pushed) {
        n_log(LOG_ERR, "n_reactor: recv_buf list_push failed; dropping frame");
        free_nstr_ptr_nolog(msg);
    }
}

int n_reactor_feed(n_reactor *r, NETWORK *netw, const unsigned char *p, size_t n) {
    while (n > 0) {
        if (netw->reactor_read_phase < 2) {
            size_t take = std::min<size_t>(4 - (size_t)netw->reactor_hdr_len, n);
            memcpy(netw->reactor_hdr + netw->reactor_hdr_len, p, take);
            netw->reactor_hdr_len += (int)take;
            p += take;
            n -= take;
            if (netw->reactor_hdr_len < 4) {
                r->partial_reads++;
                return 1;
            }
            netw->reactor_hdr_len = 0;
            uint32_t word = be32(netw->reactor_hdr);
            if (netw->reactor_read_phase == 0) {
                if (memcmp(netw->reactor_hdr, QUIT_WORD, 4) == 0) return 0;
                netw->reactor_state_word = word;
                netw->reactor_read_phase = 1;
                continue;
            }
            if (word > NETW_MSG_MAX_FRAME_SIZE || word > netw->recv_msg_limit) {
                n_log(LOG_ERR, "n_reactor: rejected oversized frame (%u bytes) exceeding NETW_MSG_MAX_FRAME_SIZE (%lu)", word,
                      (unsigned long)NETW_MSG_MAX_FRAME_SIZE);
                return -1;
            }
            netw->reactor_read_len = word;
            if (word == 0) {
                char *empty = static_cast<char *>(_n_calloc("empty", 1, sizeof(char), "char", __FILE__, __func__, __LINE__));
                if (!empty) {
                    n_log(LOG_ERR, "n_reactor: alloc(empty payload) failed");
                    return -1;
                }
                dispatch(r, netw, empty, 0, netw->reactor_state_word);
                netw->reactor_read_phase = 0;
                continue;
            }
            netw->reactor_read_payload = static_cast<char *>(
                _n_calloc("netw->reactor_read_payload", (size_t)word + 1, sizeof(char), "char", __FILE__, __func__, __LINE__));
            if (!netw->reactor_read_payload) {
                n_log(LOG_ERR, "n_reactor: alloc(%u-byte payload) failed", word);
                return -1;
            }
            netw->reactor_read_got = 0;
            netw->reactor_read_phase = 2;
            continue;
        }
        size_t take = std::min<size_t>(netw->reactor_read_len - netw->reactor_read_got, n);
        memcpy(netw->reactor_read_payload + netw->reactor_read_got, p, take);
        netw->reactor_read_got += take;
        p += take;
        n -= take;
        if (netw->reactor_read_got < netw->reactor_read_len) {
            r->partial_reads++;
            return 1;
        }
        char *payload = netw->reactor_read_payload;
        netw->reactor_read_payload = nullptr;
        netw->reactor_read_phase = 0;
        dispatch(r, netw, payload, netw->reactor_read_len, netw->reactor_state_word);
    }
    return 1;
}

static ReadResult handle_readable(n_reactor *r, NETWORK *netw) {
    netw->reactor_read_wants_write = 0;
    unsigned char chunk[N_REACTOR_READ_CHUNK];
    for (;;) {
        ssize_t got = netw->recv_once_fn(netw, reinterpret_cast<char *>(chunk), sizeof chunk);
        if (got == -10) return READ_OPEN;
        if (got == -11) {
            netw->reactor_read_wants_write = 1;
            return READ_OPEN;
        }
        if (got <= 0) return READ_CLOSED;
        // A quit ends the stream: whatever follows it is not read.
        if (n_reactor_feed(r, netw, chunk, (size_t)got) <= 0) return READ_CLOSED;
    }
}

// ---------------------------------------------------------------- writing

// 1 everything sent, 0 would block, -1 failure.
static int drain_writes(n_reactor *r, NETWORK *netw) {
    for (;;) {
        while (netw->reactor_send_frame) {
            if (netw->reactor_send_off >= netw->reactor_send_len) {
                free(netw->reactor_send_frame);
                netw->reactor_send_frame = nullptr;
                break;
            }
            netw->reactor_write_wants_read = 0;
            size_t left = std::min<size_t>(netw->reactor_send_len - netw->reactor_send_off, UINT32_MAX);
            ssize_t w = netw->send_once_fn(netw, netw->reactor_send_frame + netw->reactor_send_off, (uint32_t)left);
            if (w > 0) {
                netw->reactor_send_off += (size_t)w;
                continue;
            }
            if (w == -11) {
                r->send_blocked++;
                return 0;
            }
            if (w == -10) {
                netw->reactor_write_wants_read = 1;
                r->send_blocked++;
                return 0;
            }
            return -1;
        }
        N_STR *msg;
        {
            HOLD(netw, sendbolt);
            msg = static_cast<N_STR *>(list_shift(netw->send_buf));
        }
        if (!msg) return 1;
        if (!msg->data || msg->written > UINT32_MAX) {
            n_log(LOG_ERR, "n_reactor: payload too large (%zu > UINT32_MAX); dropping", msg->written);
            free_nstr_ptr_nolog(msg);
            continue;  // the messages behind it still go out now
        }
        char *frame = nullptr;
        size_t len = 0;
        int built = netw_build_frame(netw->compression, NETW_RUN, msg, &frame, &len);
        free_nstr_ptr_nolog(msg);
        if (!built) return -1;
        netw->reactor_send_frame = frame;
        netw->reactor_send_len = len;
        netw->reactor_send_off = 0;
    }
}

static bool has_output(NETWORK *netw) {
    if (netw->reactor_send_frame) return true;
    HOLD(netw, sendbolt);
    return netw->send_buf && netw->send_buf->item_count > 0;
}

static void set_out(n_reactor *r, NETWORK *netw, bool out) {
    epoll_event ev{};
    ev.events = EV_BASE | (out ? (uint32_t)EPOLLOUT : 0u);
    ev.data.ptr = netw;
    if (epoll_ctl(r->epoll_fd, EPOLL_CTL_MOD, netw->link.sock, &ev) == 0) netw->reactor_wants_out = out ? 1 : 0;
}

// Lets a connection go with the state that says why.
static void let_go(n_reactor *r, NETWORK *netw, int state) {
    netw_set(netw, (unsigned)state);
    n_reactor_unregister(r, netw);
}

// Flushes what it can once, half-closes and lets go: the end of a
// connection asked to exit, and of one whose peer ended the stream (its FIN,
// its quit word, or a frame we refuse), so that an engine peer waiting for
// our end of the stream can finish its stop.
static void flush_and_release(n_reactor *r, NETWORK *netw) {
    if (has_output(netw)) (void)drain_writes(r, netw);
    shutdown(netw->link.sock, SHUT_WR);
    n_reactor_unregister(r, netw);
}

static void let_go_closed(n_reactor *r, NETWORK *netw) {
    netw_set(netw, NETW_EXIT_ASKED);
    flush_and_release(r, netw);
}

// Drains and fixes the write interest to match; false when the connection went.
static bool drain_and_track(n_reactor *r, NETWORK *netw) {
    int d = drain_writes(r, netw);
    if (d < 0) {
        let_go(r, netw, NETW_ERROR);
        return false;
    }
    bool want = d == 0 || netw->reactor_read_wants_write.load();
    if (want != (netw->reactor_wants_out.load() != 0)) set_out(r, netw, want);
    return true;
}

// ---------------------------------------------------------------- loop

static void drain_eventfd(int fd, uint64_t *sum) {
    uint64_t v = 0;
    while (read(fd, &v, sizeof v) == (ssize_t)sizeof v)
        if (sum) *sum += v;
}

static void handle_wake(n_reactor *r) {
    uint64_t sum = 0;
    drain_eventfd(r->wake_efd, &sum);
    r->wake_sum += sum;
    r->wake_events++;
    LIST *fresh = new_generic_list(0);
    pthread_mutex_lock(&r->dirty_lock);
    LIST *work = r->dirty_pending;
    if (fresh) r->dirty_pending = fresh;
    if (!fresh) {
        // No fresh list: work in place, with the lock released around each
        // connection's handling so that unregistering can take it.
        while (LIST_NODE *node = r->dirty_pending->start) {
            NETWORK *netw = static_cast<NETWORK *>(remove_list_node(r->dirty_pending, node));
            netw->reactor_dirty = 0;
            pthread_mutex_unlock(&r->dirty_lock);
            r->dirty_seen++;
            if (netw->reactor_attached.load() && has_output(netw)) {
                r->dirty_drained++;
                drain_and_track(r, netw);
            }
            pthread_mutex_lock(&r->dirty_lock);
        }
        pthread_mutex_unlock(&r->dirty_lock);
        return;
    }
    // Cleared while still under the lock: a notification after this point
    // puts the connection on the fresh list again.
    for (LIST_NODE *node = work->start; node; node = node->next) static_cast<NETWORK *>(node->ptr)->reactor_dirty = 0;
    pthread_mutex_unlock(&r->dirty_lock);
    for (LIST_NODE *node = work->start; node; node = node->next) {
        NETWORK *netw = static_cast<NETWORK *>(node->ptr);
        r->dirty_seen++;
        if (!netw->reactor_attached.load() || !has_output(netw)) continue;
        r->dirty_drained++;
        drain_and_track(r, netw);
    }
    list_destroy(&work);
}

static void handle_conn(n_reactor *r, NETWORK *netw, uint32_t ev) {
    if (ev & EPOLLERR) {
        let_go(r, netw, NETW_ERROR);
        return;
    }
    // A hang-up is read to its end first: the peer's last frames (and its
    // quit word) arrive together with its FIN.
    if (ev & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) {
        if (handle_readable(r, netw) == READ_CLOSED) {
            let_go_closed(r, netw);
            return;
        }
        if (netw->reactor_write_wants_read.load() && !drain_and_track(r, netw)) return;
        if (netw->reactor_read_wants_write.load() && !netw->reactor_wants_out.load()) set_out(r, netw, true);
    }
    if (ev & EPOLLOUT) {
        if (netw->reactor_read_wants_write.load() && handle_readable(r, netw) == READ_CLOSED) {
            let_go_closed(r, netw);
            return;
        }
        drain_and_track(r, netw);
    }
}

static void sweep(n_reactor *r) {
    NETWORK *leaving[N_REACTOR_SWEEP_MAX];
    int count = 0;
    pthread_mutex_lock(&r->registered_lock);
    for (LIST_NODE *node = r->registered->start; node && count < N_REACTOR_SWEEP_MAX; node = node->next) {
        NETWORK *netw = static_cast<NETWORK *>(node->ptr);
        if (netw->reactor_attached.load() && netw_locked_read(netw, &NETWORK::state) == NETW_EXIT_ASKED) leaving[count++] = netw;
    }
    pthread_mutex_unlock(&r->registered_lock);
    for (int i = 0; i < count; i++) flush_and_release(r, leaving[i]);
}

void n_reactor_run(n_reactor *reactor) {
    if (!reactor) return;
    pthread_mutex_lock(&reactor->run_lock);
    epoll_event events[N_REACTOR_MAX_EVENTS];
    while (!reactor->stopping.load()) {
        int n = epoll_wait(reactor->epoll_fd, events, N_REACTOR_MAX_EVENTS, N_REACTOR_WAIT_MS);
        if (n < 0) {
            if (errno == EINTR) continue;
            n_log(LOG_ERR, "n_reactor_run: epoll_wait failed: %s", ErrText(errno).s);
            break;
        }
        for (int i = 0; i < n; i++) {
            reactor->events++;
            if (events[i].data.u64 == N_REACTOR_DATA_STOP) {
                drain_eventfd(reactor->stop_efd, nullptr);
                reactor->stopping = 1;
            } else if (events[i].data.u64 == N_REACTOR_DATA_WAKE) {
                handle_wake(reactor);
            } else {
                handle_conn(reactor, static_cast<NETWORK *>(events[i].data.ptr), events[i].events);
            }
        }
        sweep(reactor);
    }
    n_log(LOG_INFO, "n_reactor_run: exiting (events=%lld)", (long long)reactor->events.load());
    pthread_mutex_unlock(&reactor->run_lock);
}

void *n_reactor_run_thread_entry(void *reactor) {
    n_reactor_run(static_cast<n_reactor *>(reactor));
    return nullptr;
}

// ---------------------------------------------------------------- close and accept

void n_reactor_close_netw_sync(NETWORK *netw) {
    if (!netw) return;
    if (netw->reactor_attached.load()) {
        netw_set(netw, NETW_EXIT_ASKED);
        n_reactor_notify_send(netw);
    }
    while (!netw->reactor_released.load()) {
        n_reactor *r = netw->reactor.load();
        // No loop runs (stopped, or never started): let it go here. Holding
        // the run lock keeps a loop from starting meanwhile.
        if (r && pthread_mutex_trylock(&r->run_lock) == 0) {
            if (!netw->reactor_released.load()) flush_and_release(r, netw);
            pthread_mutex_unlock(&r->run_lock);
            break;
        }
        u_sleep(1000);
    }
}

NETWORK *netw_accept_into_reactor(NETWORK *from, size_t send_list_limit, size_t recv_list_limit, int wait_ms, n_reactor *reactor,
                                  int *netw_err) {
    if (!reactor) {
        n_log(LOG_ERR, "netw_accept_into_reactor: NULL reactor");
        if (netw_err) *netw_err = EINVAL;
        return nullptr;
    }
    NETWORK *netw = netw_accept_from_ex(from, send_list_limit, recv_list_limit, wait_ms, netw_err);
    if (!netw) return nullptr;
    if (!n_reactor_register(reactor, netw)) {
        n_log(LOG_ERR, "netw_accept_into_reactor: register failed for socket %d", netw->link.sock);
        netw_close(&netw);
        if (netw_err) *netw_err = EIO;
        return nullptr;
    }
    return netw;
}
