#include "server_loop.h"

#include "n_log.h"
#include "n_network.h"
#include "quorvane_crypto.h"
#include "quorvane_handshake.h"
#include "quorvane_proto.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>
#include <unordered_map>

namespace {

uint64_t now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// A frame on its way out: a reply of this connection (wiped once sent: some
// carry escrow records), a push that several connections share, or both: a
// live envelope is its own 26-byte head and the sender's one copy of the
// envelope, however many devices it goes to.
struct out_frame {
    std::vector<uint8_t> own;
    qvs_frame_ptr shared;
    size_t sent = 0;
    size_t size() const { return own.size() + (shared ? shared->size() : 0); }
    const uint8_t *at(size_t off, size_t *n) const {  // the contiguous bytes from `off`
        if (off < own.size()) return *n = own.size() - off, own.data() + off;
        return *n = shared->size() - (off - own.size()), shared->data() + (off - own.size());
    }
};

struct connection {
    NETWORK *netw = nullptr;
    int fd = -1;
    bool tls_up = false;
    bool want_write = false;  // the TLS handshake or a send waits for room
    quorvane_framebuf fb{};
    qvs_conn st;
    std::deque<out_frame> outq;
    size_t queued = 0;
    uint64_t accepted_ms = 0, last_ms = 0;
    bool dead = false;
    bool present = false;  // counted for presence: signed in and announced
    bool held = false;     // not read while the device it sends history to has much waiting
    bool resumed = false;  // read this turn already
    std::vector<uint8_t> unread;  // frames received past the share of a turn
    uint32_t events = 0;
    std::string addr;       // the peer's address, as counted
    bool counted_in = false;  // counted as signed in (not as waiting to) for its address
    uint64_t turn_work = 0;   // spent of its share of this turn, what earlier turns overran included
    uint64_t turn_done = 0;   // work done for it this turn
    connection() { quorvane_framebuf_init(&fb); }
    ~connection() {
        for (auto &o : outq) quorvane_cleanse(o.own.data(), o.own.size());
        quorvane_cleanse(unread.data(), unread.size());
        if (fb.frame) quorvane_cleanse(fb.frame, fb.capacity);
        quorvane_framebuf_free(&fb);
        if (netw) netw_close(&netw);
    }
};

using account_key = std::array<uint8_t, 16>;
struct account_key_hash {
    size_t operator()(const account_key &k) const {
        size_t h;
        std::memcpy(&h, k.data(), sizeof h);  // random user ids
        return h;
    }
};

struct server {
    const qvs_server_options &opts;
    qvs_ctx ctx{};
    SSL_CTX *tls = nullptr;
    NETWORK *listener = nullptr;
    int ep = -1, sig = -1;
    std::unordered_map<int, std::unique_ptr<connection>> conns;
    uint64_t listen_paused_ms = 0;  // nonzero: out of descriptors, the listener is not watched
    struct address { size_t all = 0, waiting = 0; };  // connections, and of them not signed in
    std::unordered_map<std::string, address> addrs;
    std::unordered_map<account_key, std::vector<connection *>, account_key_hash> accounts;  // signed in and announced
    explicit server(const qvs_server_options &o) : opts(o) {}
};

account_key key_of(const uint8_t user_id[16]) {
    account_key k;
    std::memcpy(k.data(), user_id, 16);
    return k;
}

// What a connection holds in memory for its account: the part of a partial
// frame past QVS_RECV_FREE, frames read but not yet taken, and its send queue.
size_t holds(const connection &c) {
    return (c.fb.capacity > QVS_RECV_FREE ? c.fb.capacity : 0) + c.unread.size() + c.queued;
}

// Keeps the connection's account within QVS_ACCOUNT_HELD_MAX: while it holds
// more, its connection holding the most ends (what was stored for it waits
// for its next sync), so a stale connection full of unread pushes gives way
// to a fresh one rather than the other way round. True when `c` ended.
bool shed(server &s, connection &c) {
    if (!c.present) return c.dead;
    auto it = s.accounts.find(key_of(c.st.user_id));
    if (it == s.accounts.end()) return c.dead;
    size_t total = 0;
    for (const connection *o : it->second) total += o->dead ? 0 : holds(*o);
    while (total > QVS_ACCOUNT_HELD_MAX) {
        connection *big = nullptr;
        for (connection *o : it->second)
            if (!o->dead && (!big || holds(*o) > holds(*big))) big = o;
        if (!big) break;
        n_log(LOG_NOTICE, "server: dropping a connection of %s: the account holds %zu bytes", c.st.user.c_str(), total);
        total -= holds(*big);
        big->dead = true;
    }
    return c.dead;
}

void watch(server &s, connection &c) {
    uint32_t ev = (c.held ? 0u : uint32_t{EPOLLIN}) | ((c.want_write || !c.outq.empty()) ? uint32_t{EPOLLOUT} : 0u);
    if (ev == c.events) return;
    epoll_event e{};
    e.events = ev;
    e.data.fd = c.fd;
    if (epoll_ctl(s.ep, EPOLL_CTL_MOD, c.fd, &e) == 0) c.events = ev;
}

void reset_now(connection &c) {
    linger l{1, 0};
    setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(c.fd);
    c.netw->link.sock = -1;
    c.dead = true;
}

void flush(server &s, connection &c) {
    while (!c.outq.empty() && !c.dead) {
        out_frame &o = c.outq.front();
        size_t chunk = 0;
        const uint8_t *from = o.at(o.sent, &chunk);
#ifdef QV_SERVER_TEST_KNOBS
        if (s.opts.knobs.split) chunk = 1;
#endif
        ssize_t n = send_ssl_data_once(c.netw, const_cast<char *>(reinterpret_cast<const char *>(from)), static_cast<uint32_t>(chunk));
        if (n == -10 || n == -11) {
            c.want_write = true;
            break;
        }
        if (n <= 0) {
            c.dead = true;
            return;
        }
        o.sent += static_cast<size_t>(n);
        if (o.sent == o.size()) {
            c.queued -= o.size();
            quorvane_cleanse(o.own.data(), o.own.size());
            c.outq.pop_front();
            c.want_write = false;
        }
    }
    if (c.outq.empty()) {
        if (c.st.reset_after_send) return reset_now(c);
        if (c.st.phase == QVS_DONE) c.dead = true;  // the final answer is out
    }
    if (!c.dead) watch(s, c);
}

// Moves the replies of the committed turn (and pushes for it) to the send
// queue. A client that lets its queue pass the bound is dropped: what was
// pushed to it stays stored for its next sync.
void release_replies(server &s, connection &c, std::vector<out_frame> *pushes = nullptr) {
    for (auto &f : c.st.replies) {
        c.queued += f.size();
        c.outq.push_back(out_frame{std::move(f), nullptr, 0});
    }
    c.st.replies.clear();
    if (pushes)
        for (auto &p : *pushes) {
            c.queued += p.size();
            c.outq.push_back(std::move(p));
        }
    if (c.queued > QVS_SEND_QUEUE_MAX) {
        n_log(LOG_NOTICE, "server: dropping %s: it does not read its replies", c.addr.c_str());
        c.dead = true;
        return;
    }
    if (shed(s, c)) return;
    flush(s, c);
}

// What one connection may cost in one turn. Frames alone do not bound it: a
// 30-byte typing notice in a group of 64 members is 64 look-ups and up to 320
// pushes, and a sync frame of a user in 4,000 conversations reads 4,000 rows.
// So each connection has a share of work (the store's, plus what it builds)
// and of pushes, besides its frames; past any, the frames left over wait in
// the connection for the next turn. A single frame may overrun the share: its
// own cost is bounded by its handler.
// One account's connections together have one connection's share of work,
// so an account that holds its cap of connections does not get that many
// shares of the loop; each of them still gets one frame or sync step a turn,
// so none of an honest account's devices waits for another's long sync.
bool work_spent(const server &s, const connection &c) {
    if (c.turn_work >= QVS_TURN_WORK_MAX) return true;
    if (c.turn_work == 0 || !c.present) return false;
    auto it = s.accounts.find(key_of(c.st.user_id));
    if (it == s.accounts.end()) return false;
    uint64_t all = 0;
    for (const connection *o : it->second) all += o->turn_work;
    return all >= QVS_TURN_WORK_MAX;
}

struct turn_share {
    size_t frames = 0, pushes_at = 0;
    size_t waiting = 0;  // answers of the turn not yet sent, with the queue
    bool spent(const server &s, const connection &c) const {
        return frames >= QVS_TURN_FRAMES_MAX || s.ctx.pushes.size() - pushes_at >= QVS_TURN_PUSHES_MAX || work_spent(s, c);
    }
};

// What is left of the connection's share of this turn: its own and its account's.
uint64_t share_left(const server &s, const connection &c) {
    uint64_t used = c.turn_work;
    if (c.present)
        if (auto it = s.accounts.find(key_of(c.st.user_id)); it != s.accounts.end()) {
            uint64_t all = 0;
            for (const connection *o : it->second) all += o->turn_work;
            used = std::max(used, all);
        }
    return used >= QVS_TURN_WORK_MAX ? 0 : QVS_TURN_WORK_MAX - used;
}

// The work of what was just done for the connection: the store's since `at`,
// one for the frame or step itself, and the bytes it took in or built.
void charge(server &s, connection &c, uint64_t at, size_t bytes) {
    const uint64_t w = 1 + (qvs_store_work(s.ctx.store) - at) + bytes / QVS_WORK_BYTES;
    c.turn_work += w;
    c.turn_done += w;
}

// A new turn's shares: what a connection spent past its share is owed, so a
// frame that overran one turn takes from the next ones and an account's work
// stays within its share turn after turn.
void new_shares(server &s) {
    for (auto &[fd, c] : s.conns) {
        c->turn_work = c->turn_work > QVS_TURN_WORK_MAX ? c->turn_work - QVS_TURN_WORK_MAX : 0;
        c->turn_done = 0;
    }
}

// Answers that promise nothing stored (the server's hello, a sign-in
// challenge, the sign-in's outcome) go out as soon as they are made, not
// after the turn's commit: that would make a sign-in wait for whatever
// others wrote in the turn. Only while nothing this turn changed what they
// read (accounts, devices, passwords), and behind any answer still waiting
// for the commit.
bool answer_now(const server &s, uint8_t type, size_t waiting_before) {
    return waiting_before == 0 && (type == QV_FT_HELLO || type == QV_FT_LOGIN || type == QV_FT_LOGIN_PROOF) &&
           !qvs_store_accounts_changed(s.ctx.store);
}

// Hands the frames in `in` to the handlers until the share is spent; what is
// left is kept for the next turn. False when the connection ends.
bool take_frames(server &s, connection &c, turn_share &t, const uint8_t *in, size_t left) {
    while (left && !c.dead) {
        if (t.spent(s, c)) {
            c.unread.insert(c.unread.end(), in, in + left);
            shed(s, c);
            return !c.dead;
        }
        const uint8_t *frame = nullptr;
        size_t flen = 0;
        int r = quorvane_framebuf_consume(&c.fb, &in, &left, &frame, &flen);
        // Checked once the header is in, before the body can fill the block.
        if (c.fb.in_body && c.fb.payload_len > QVS_PRESIGNIN_FRAME_MAX && c.st.phase != QVS_SIGNED_IN) {
            c.dead = true;
            break;
        }
        if (r == -2) {
            if (c.fb.in_body && c.fb.payload_len > QVS_RECV_FREE) shed(s, c);
            break;
        }
        t.frames++;
        const size_t had = c.st.replies.size();
        const uint64_t at = qvs_store_work(s.ctx.store);
        if (r != 0 || qvs_handle_frame(&s.ctx, &c.st, frame, flen) != 0) c.dead = true;
        // Answers wait in memory until the turn commits: a burst of small requests
        // with large answers (back-fill pages of about 1 MiB) must end the client
        // once they pass what it may have waiting, not after all were built.
        size_t built = 0;
        for (size_t i = had; i < c.st.replies.size(); i++) built += c.st.replies[i].size();
        t.waiting += built;
        charge(s, c, at, built + flen);
        if (t.waiting > QVS_SEND_QUEUE_MAX) {
            n_log(LOG_NOTICE, "server: dropping %s: it asked for more than it may have waiting", c.addr.c_str());
            c.dead = true;
        } else if (r == 0 && !c.dead && c.st.replies.size() > had && answer_now(s, frame[3], had)) {
            release_replies(s, c);
        }
        // A large frame's block goes once handled: an idle connection keeps a few KiB, not 1 MiB.
        if (c.fb.capacity > QVS_RECV_FREE) {
            quorvane_cleanse(c.fb.frame, c.fb.capacity);
            quorvane_framebuf_free(&c.fb);
        }
    }
    return !c.dead;
}

void read_frames(server &s, connection &c) {
    c.resumed = true;
    turn_share t;
    t.pushes_at = s.ctx.pushes.size();
    t.waiting = c.queued;
    for (const auto &f : c.st.replies) t.waiting += f.size();
    if (!c.unread.empty()) {
        std::vector<uint8_t> held;
        held.swap(c.unread);
        const bool alive = take_frames(s, c, t, held.data(), held.size());
        quorvane_cleanse(held.data(), held.size());
        if (!alive || !c.unread.empty()) return;
    }
    uint8_t buf[16384];
    // A bounded share per turn, so one busy client cannot hold the loop; the
    // rest stays in the socket and epoll reports it again. Small frames that
    // share a turn share its commit.
    size_t taken = 0;
    for (int reads = 0; reads < 64 && taken < QVS_TURN_READ_MAX && c.unread.empty(); reads++) {
        if (c.st.phase == QVS_DONE) return;  // nothing more is read once the answer is final
        ssize_t n = recv_ssl_data_once(c.netw, reinterpret_cast<char *>(buf), sizeof buf);
        if (n == -10 || n == -11) break;
        if (n <= 0) {
            c.dead = true;
            break;
        }
        c.last_ms = now_ms();
        taken += static_cast<size_t>(n);
        const bool alive = take_frames(s, c, t, buf, static_cast<size_t>(n));
        quorvane_cleanse(buf, sizeof buf);
        if (!alive) return;
    }
}

// Connections with frames left over from an earlier turn take their next
// share without waiting for the socket; true while one still has some.
bool resume_unread(server &s) {
    bool any = false;
    for (auto &[fd, c] : s.conns) {
        if (c->dead || c->held || c->unread.empty()) continue;
        if (!c->resumed) read_frames(s, *c);
        any = any || (!c->dead && !c->unread.empty());
    }
    for (auto &[fd, c] : s.conns) c->resumed = false;
    return any;
}

// Bytes waiting to go to a device's connections.
size_t queued_for(const server &s, int64_t dev) {
    size_t n = 0;
    for (const auto &[fd, c] : s.conns)
        if (!c->dead && c->st.phase == QVS_SIGNED_IN && c->st.dev == dev) n += c->queued;
    return n;
}

bool hold_reading(const server &s, const connection &c) {
    return c.st.history_to && queued_for(s, c.st.history_to) > QVS_HISTORY_HOLD;
}

void on_event(server &s, connection &c) {
    if (!c.tls_up) {
        int r = netw_ssl_server_handshake_once(c.netw, s.tls);
        if (r == -10 || r == -11) {
            c.want_write = r == -11;
            watch(s, c);
            return;
        }
        if (r != 1) {
            c.dead = true;
            return;
        }
        c.tls_up = true;
        c.want_write = false;
    }
    if (!c.outq.empty()) flush(s, c);
    if (c.dead) return;
    if (hold_reading(s, c)) {
        c.held = true;
        watch(s, c);
        return;
    }
    read_frames(s, c);
}

// Held senders read again once their target has taken most of what waits
// (TLS may hold records already read from the socket: they are read at once,
// not on the next readiness). True while one is still held.
bool release_held(server &s) {
    bool any = false;
    for (auto &[fd, c] : s.conns) {
        if (c->dead || !c->held) continue;
        if (hold_reading(s, *c)) {
            any = true;
            continue;
        }
        c->held = false;
        watch(s, *c);
        read_frames(s, *c);
    }
    return any;
}

// A user is online from its first signed-in connection to the end of its last.
bool user_present(const server &s, const uint8_t user_id[16], const connection *except) {
    for (const auto &[fd, c] : s.conns)
        if (c.get() != except && c->present && !c->dead && std::memcmp(c->st.user_id, user_id, 16) == 0) return true;
    return false;
}

void note_sign_ins(server &s) {
    for (auto &[fd, c] : s.conns) {
        if (c->dead || c->present || c->st.phase != QVS_SIGNED_IN) continue;
        bool first = !user_present(s, c->st.user_id, c.get());
        c->present = true;
        s.accounts[key_of(c->st.user_id)].push_back(c.get());
        if (!c->counted_in) {
            c->counted_in = true;
            s.addrs[c->addr].waiting--;
        }
        if (first) qvs_presence_changed(&s.ctx, c->st.user_id, true);
    }
}

// Connections of revoked devices end; the revoking one sends its answer first.
void close_revoked(server &s) {
    for (int64_t dev : s.ctx.revoked)
        for (auto &[fd, c] : s.conns)
            if (c->st.dev == dev && c->st.phase == QVS_SIGNED_IN) c->dead = true;
    s.ctx.revoked.clear();
}

// Out of descriptors, a pending connection keeps the listener readable and
// every epoll_wait would return at once: the loop would spin and log without
// end. The listener rests until a connection closes or a second has passed.
void watch_listener(server &s, bool on) {
    epoll_event e{};
    e.events = on ? uint32_t{EPOLLIN} : 0u;
    e.data.fd = s.listener->link.sock;
    if (epoll_ctl(s.ep, EPOLL_CTL_MOD, e.data.fd, &e) == 0) s.listen_paused_ms = on ? 0 : now_ms();
}

// Whether a new connection from `addr` may stay: within its address's caps,
// and with room in the table, made by ending the oldest connection that has
// not signed in when the table is full (so connections that only wait cannot
// keep everyone else out).
bool admit(server &s, const std::string &addr) {
    const server::address &a = s.addrs[addr];
    if (a.all >= QVS_CONNS_PER_ADDRESS || a.waiting >= QVS_PRESIGNIN_PER_ADDRESS) return false;
    if (s.conns.size() < static_cast<size_t>(QVS_MAX_CONNECTIONS)) return true;
    size_t alive = 0;
    connection *oldest = nullptr;
    for (auto &[fd, c] : s.conns) {
        if (c->dead) continue;
        alive++;
        if (c->st.phase != QVS_SIGNED_IN && (!oldest || c->accepted_ms < oldest->accepted_ms)) oldest = c.get();
    }
    if (alive < static_cast<size_t>(QVS_MAX_CONNECTIONS)) return true;
    if (!oldest) return false;
    oldest->dead = true;
    return true;
}

void accept_all(server &s) {
    for (;;) {
        int err = 0;
        NETWORK *n = netw_accept_from_ex(s.listener, SIZE_MAX, SIZE_MAX, -1, &err);
        if (!n) {
            if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) watch_listener(s, false);
            return;
        }
        const std::string addr = n->link.ip ? n->link.ip : "";
        // Handshake frames are small and answered at once: Nagle would hold each for an ACK.
        if (!admit(s, addr) || !netw_set_blocking(n, 0) || !netw_setsockopt(n, TCP_NODELAY, 1)) {
            netw_close(&n);
            continue;
        }
        auto c = std::make_unique<connection>();
        c->netw = n;
        c->fd = n->link.sock;
        c->addr = c->st.peer = addr;
        c->accepted_ms = c->last_ms = now_ms();
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.fd = c->fd;
        if (epoll_ctl(s.ep, EPOLL_CTL_ADD, c->fd, &e) != 0) continue;
        c->events = EPOLLIN;
        server::address &a = s.addrs[addr];
        a.all++;
        a.waiting++;
        // Its TLS handshake starts when the client's first bytes come (epoll reports
        // them, also those already waiting): a connection that sends nothing costs
        // no handshake buffers.
        s.conns[c->fd] = std::move(c);
    }
}

void expire(server &s, uint64_t now) {
    uint64_t handshake_limit = QVS_HANDSHAKE_LIMIT_MS;
#ifdef QV_SERVER_TEST_KNOBS
    if (s.opts.knobs.handshake_limit_ms) handshake_limit = s.opts.knobs.handshake_limit_ms;
#endif
    for (auto &[fd, c] : s.conns) {
        uint64_t limit = c->st.phase == QVS_SIGNED_IN ? QVS_IDLE_LIMIT_MS : handshake_limit;
        uint64_t since = c->st.phase == QVS_SIGNED_IN ? c->last_ms : c->accepted_ms;
#ifdef QV_SERVER_TEST_KNOBS
        if (s.opts.knobs.silent) continue;  // silence is what the test wants to see
#endif
        if (now - since > limit) c->dead = true;
    }
}

// Ends a connection's place in the counts of its address and account.
void uncount(server &s, connection &c) {
    auto a = s.addrs.find(c.addr);
    if (a != s.addrs.end()) {
        a->second.all--;
        if (!c.counted_in) a->second.waiting--;
        if (a->second.all == 0) s.addrs.erase(a);
    }
    if (!c.present) return;
    auto it = s.accounts.find(key_of(c.st.user_id));
    if (it == s.accounts.end()) return;
    std::erase(it->second, &c);
    if (it->second.empty()) s.accounts.erase(it);
}

void reap(server &s) {
    bool closed = false;
    std::vector<std::array<uint8_t, 16>> left;
    for (auto it = s.conns.begin(); it != s.conns.end();) {
        if (it->second->dead) {
            closed = true;
            if (it->second->present) {
                std::array<uint8_t, 16> u;
                std::memcpy(u.data(), it->second->st.user_id, 16);
                left.push_back(u);
            }
            uncount(s, *it->second);
            if (it->second->fd >= 0 && it->second->netw && it->second->netw->link.sock >= 0)
                epoll_ctl(s.ep, EPOLL_CTL_DEL, it->second->fd, nullptr);
            it = s.conns.erase(it);
        } else {
            ++it;
        }
    }
    if (s.listen_paused_ms && (closed || now_ms() - s.listen_paused_ms >= 1000)) watch_listener(s, true);
    std::sort(left.begin(), left.end());
    left.erase(std::unique(left.begin(), left.end()), left.end());  // announced once per user
    for (const auto &u : left)
        if (!user_present(s, u.data(), nullptr)) qvs_presence_changed(&s.ctx, u.data(), false);
}

// The committed turn's pushes, to every signed-in connection of each device
// that has synced on it. A frame 137 is made once per copy, shared by that
// device's connections.
void deliver_pushes(server &s) {
    if (s.ctx.pushes.empty()) return;
    std::unordered_map<int64_t, std::vector<connection *>> live, signed_in;
    for (auto &[fd, c] : s.conns)
        if (!c->dead && c->st.phase == QVS_SIGNED_IN) {
            signed_in[c->st.dev].push_back(c.get());
            if (c->st.synced) live[c->st.dev].push_back(c.get());
        }
    std::unordered_map<connection *, std::vector<out_frame>> out;
    std::unordered_map<int64_t, uint64_t> handed;
    for (const qvs_push &p : s.ctx.pushes) {
        auto &to = p.unsynced_too ? signed_in : live;
        auto it = to.find(p.dev);
        if (it == to.end()) continue;
        if (p.pos) handed[p.dev] = std::max(handed[p.dev], p.pos);
        // A live envelope shares the sender's copy, a conversation's information
        // its member list; only their heads are made per device.
        std::vector<uint8_t> head = qvs_push_head(p);
        qvs_frame_ptr f = qvs_push_shared(p);
        for (connection *c : it->second) out[c].push_back(out_frame{head, f, 0});
    }
    s.ctx.pushes.clear();
    for (auto &[dev, pos] : handed) note_handed(&s.ctx, dev, pos);
    for (auto &[c, frames] : out) release_replies(s, *c, &frames);
}

// Each sync in progress goes on while its connection's queue is short and
// its share of the turn lasts; true when one still has more, so the loop
// turns again without waiting.
bool stream_syncs(server &s) {
    bool more = false;
    for (auto &[fd, c] : s.conns) {
        if (c->dead || !c->st.sync.active) continue;
        while (!c->dead && c->st.sync.active && c->queued < QVS_SYNC_LOW_WATER && !work_spent(s, *c)) {
            const uint64_t at = qvs_store_work(s.ctx.store);
            size_t built = 0;
            // Within what the account has left: four connections of one account
            // syncing at once must not each take a whole share of the turn.
            if (qvs_sync_step(&s.ctx, &c->st, std::min(share_left(s, *c), QVS_SYNC_STEP_WORK)) < 0) c->dead = true;
            for (const auto &f : c->st.replies) built += f.size();
            charge(s, *c, at, built);
            if (!c->dead) release_replies(s, *c);
        }
        // A queue still long waits for room (EPOLLOUT), not for another turn.
        if (!c->dead && c->st.sync.active && c->queued < QVS_SYNC_LOW_WATER) more = true;
    }
    return more;
}

#ifdef QV_SERVER_TEST_KNOBS
// The work each signed-in account was given in the turn, one line per
// account that had any: "<turn> <user name> <work>". Tests read it to see how
// the loop shares its turns out.
void log_work(server &s, FILE *to, uint64_t turn) {
    for (const auto &[key, conns] : s.accounts) {
        uint64_t done = 0;
        for (const connection *c : conns) done += c->turn_done;
        if (done && !conns.empty())
            std::fprintf(to, "%llu %s %llu\n", static_cast<unsigned long long>(turn), conns.front()->st.user.c_str(),
                         static_cast<unsigned long long>(done));
    }
}
#endif

bool start(server &s, qvs_keys &keys) {
    if (qvs_keys_load_or_create(s.opts.data_dir, &keys) != 0) return false;
    std::string db = s.opts.data_dir + "/quorvane.db";
    s.ctx.store = qvs_store_open(db.c_str());
    if (!s.ctx.store) return false;
    s.ctx.keys = &keys;
    s.ctx.knobs = s.opts.knobs;
    s.ctx.registrations_per_address = s.opts.registrations_per_address;
    s.ctx.may_sign_in = [&s](const uint8_t user_id[16]) {
        size_t n = 0;  // signed in to the account, this turn's sign-ins included
        for (const auto &[fd, c] : s.conns) n += !c->dead && c->st.phase == QVS_SIGNED_IN && std::memcmp(c->st.user_id, user_id, 16) == 0;
        return n < QVS_CONNS_PER_ACCOUNT;
    };
    // Every connection needs a descriptor: as many as the table holds, and a few for the store and the loop.
    rlimit fds{};
    if (getrlimit(RLIMIT_NOFILE, &fds) == 0 && fds.rlim_cur < static_cast<rlim_t>(QVS_MAX_CONNECTIONS + 64)) {
        fds.rlim_cur = std::min(fds.rlim_max, static_cast<rlim_t>(QVS_MAX_CONNECTIONS + 64));
        if (setrlimit(RLIMIT_NOFILE, &fds) != 0) n_log(LOG_WARNING, "server: descriptors stay at %llu", static_cast<unsigned long long>(fds.rlim_cur));
    }
    netw_init_openssl();
    s.tls = netw_ssl_server_ctx_new(keys.key_path.c_str(), keys.cert_path.c_str());
    if (!s.tls || SSL_CTX_set_min_proto_version(s.tls, TLS1_3_VERSION) != 1) return false;
    SSL_CTX_set_mode(s.tls, SSL_MODE_RELEASE_BUFFERS);  // an idle connection keeps no 34 KiB of record buffers
    if (!netw_make_listening(&s.listener, s.opts.host.c_str(), s.opts.port.c_str(), QVS_LISTEN_BACKLOG, 0) || !netw_set_blocking(s.listener, 0)) {
        n_log(LOG_ERR, "server: cannot listen on %s:%s", s.opts.host.c_str(), s.opts.port.c_str());
        return false;
    }
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
    s.sig = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    s.ep = epoll_create1(EPOLL_CLOEXEC);
    if (s.sig < 0 || s.ep < 0) return false;
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.fd = s.listener->link.sock;
    if (epoll_ctl(s.ep, EPOLL_CTL_ADD, e.data.fd, &e) != 0) return false;
    e.data.fd = s.sig;
    return epoll_ctl(s.ep, EPOLL_CTL_ADD, s.sig, &e) == 0;
}

}  // namespace

int qvs_server_run(const qvs_server_options &opts) {
    server s(opts);
    qvs_keys keys{};
    int rc = 1;
    if (start(s, keys)) {
        rc = 0;
        n_log(LOG_NOTICE, "server: listening on %s:%s, data in %s", opts.host.c_str(), opts.port.c_str(), opts.data_dir.c_str());
        bool stop = false, more = false, held = false, unread = false;
        epoll_event evs[64];
#ifdef QV_SERVER_TEST_KNOBS
        FILE *work_log = opts.knobs.work_log ? std::fopen(opts.knobs.work_log, "w") : nullptr;
        uint64_t turn = 0;
#endif
        while (!stop) {
            new_shares(s);
            int n = epoll_wait(s.ep, evs, 64, more || unread || !s.ctx.pushes.empty() ? 0 : held ? 5 : 1000);
            if (n < 0 && errno != EINTR) {
                n_log(LOG_ERR, "server: epoll_wait: %s", std::strerror(errno));
                rc = 1;
                break;
            }
            for (int i = 0; i < n; i++) {
                int fd = evs[i].data.fd;
                if (fd == s.sig) {
                    stop = true;
                } else if (fd == s.listener->link.sock) {
                    accept_all(s);
                } else if (auto it = s.conns.find(fd); it != s.conns.end() && !it->second->dead) {
                    on_event(s, *it->second);
                }
            }
            held = release_held(s);
            unread = resume_unread(s);
            note_sign_ins(s);
            // Replies that promise something stored go out only once it is.
            if (qvs_store_commit(s.ctx.store) != 0) {
                n_log(LOG_ERR, "server: a commit failed; the turn's answers are withdrawn");
                for (auto &[fd, c] : s.conns)
                    if (!c->st.replies.empty()) c->dead = true;
                s.ctx.pushes.clear();
                s.ctx.revoked.clear();
            }
            close_revoked(s);
            deliver_pushes(s);
            for (auto &[fd, c] : s.conns)
                if (!c->dead && !c->st.replies.empty()) release_replies(s, *c);
            more = stream_syncs(s);
#ifdef QV_SERVER_TEST_KNOBS
            if (work_log) log_work(s, work_log, turn++);
#endif
            expire(s, now_ms());
            reap(s);
        }
        n_log(LOG_NOTICE, "server: stopping");
#ifdef QV_SERVER_TEST_KNOBS
        if (work_log) std::fclose(work_log);
#endif
    }
    s.conns.clear();
    if (s.listener) netw_close(&s.listener);
    if (s.tls) SSL_CTX_free(s.tls);
    if (s.ep >= 0) close(s.ep);
    if (s.sig >= 0) close(s.sig);
    qvs_store_close(s.ctx.store);
    qvs_keys_wipe(&keys);
    return rc;
}
