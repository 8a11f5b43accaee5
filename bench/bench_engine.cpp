// The threaded engine and the event reactor on loopback, beside what a user
// would otherwise measure there: iperf3's TCP stream, and a minimal epoll echo
// server written for this benchmark that sends back every byte it reads.
// - Stream: 64 KiB messages from an engine client, counted when the server
//   side (an engine, or the reactor) has them in its queue; iperf3 streams
//   for 2 s in the same run.
// - Echo: an engine client sends one message and waits for it to come back,
//   from the reactor (which parses each frame and queues it again) or from the
//   bare epoll echo (which only copies bytes).
#include "n_network.h"
#include "n_reactor.h"
#include "n_str.h"

#include "bench_support.h"
#include "net_test_helpers.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

N_STR *msg_of(size_t n, char fill) {
    N_STR *m = new_nstr(n);
    memset(m->data, fill, n);
    m->written = n;
    return m;
}

// Accepted side in a thread, connecting side here.
struct Pair {
    NETWORK *client = nullptr, *server = nullptr;
    explicit Pair(n_reactor *reactor = nullptr) {
        NETWORK *l = nullptr;
        if (netw_make_listening(&l, "127.0.0.1", "0", 4, 1) != 1) return;
        std::string port = qvnettest::local_port(l->link.sock);
        std::thread acc([&] {
            int err = 0;
            server = reactor ? netw_accept_into_reactor(l, SIZE_MAX, SIZE_MAX, 10000, reactor, &err)
                             : netw_accept_from_ex(l, SIZE_MAX, SIZE_MAX, 10000, &err);
        });
        if (netw_connect(&client, "127.0.0.1", port.c_str(), 1) != 1) client = nullptr;
        acc.join();
        netw_close(&l);
    }
    ~Pair() {
        if (client) netw_close(&client);
        if (server) netw_close(&server);
    }
};

// Takes `count` messages off `n`, spinning: the benchmark measures the
// transport, not netw_wait_msg's refresh period.
void take(NETWORK *n, int64_t count) {
    while (count > 0) {
        if (N_STR *m = netw_get_msg(n)) {
            free_nstr_ptr_nolog(m);
            count--;
        } else {
            std::this_thread::yield();
        }
    }
}

constexpr size_t kStreamMsg = 64 * 1024;
constexpr int kBatch = 256;

void stream(benchmark::State &state, bool reactor_side) {
    n_reactor *r = reactor_side ? n_reactor_new() : nullptr;
    std::thread loop;
    if (r) loop = std::thread([r] { n_reactor_run(r); });
    {
        Pair p(r);
        if (!p.client || !p.server) {
            state.SkipWithError("no loopback pair");
        } else {
            netw_set_compression_mode(p.client, 0);
            if (netw_start_thr_engine(p.client) != 1 || (!r && netw_start_thr_engine(p.server) != 1)) state.SkipWithError("engine");
            for (auto _ : state) {
                for (int i = 0; i < kBatch; i++) (void)netw_add_msg(p.client, msg_of(kStreamMsg, 'q'));
                take(p.server, kBatch);
            }
            state.SetBytesProcessed(state.iterations() * kBatch * (int64_t)kStreamMsg);
        }
    }
    if (r) {
        n_reactor_stop(r);
        loop.join();
        n_reactor_destroy(&r);
    }
}
void BM_stream_engine_to_engine(benchmark::State &state) { stream(state, false); }
void BM_stream_engine_to_reactor(benchmark::State &state) { stream(state, true); }
BENCHMARK(BM_stream_engine_to_engine)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_stream_engine_to_reactor)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// iperf3 over loopback for 2 s: its received rate, as bytes per second.
void BM_stream_iperf3(benchmark::State &state) {
    std::string port = std::to_string(qvnettest::free_port());
    std::string json;
    for (auto _ : state) {
        pid_t server = -1;
        {
            posix_spawn_file_actions_t fa;
            posix_spawn_file_actions_init(&fa);
            posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
            std::vector<std::string> args{"iperf3", "-s", "-1", "-B", "127.0.0.1", "-p", port};
            std::vector<char *> argv;
            for (auto &a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            if (posix_spawnp(&server, "iperf3", &fa, nullptr, argv.data(), environ) != 0) server = -1;
            posix_spawn_file_actions_destroy(&fa);
        }
        if (server < 0) {
            state.SkipWithError("iperf3 not installed (Debian package iperf3)");
            return;
        }
        // The server may not listen yet: try again until a run reports a rate.
        int rc = -1;
        for (int tries = 0; tries < 50; tries++) {
            rc = qv_bench::run({"iperf3", "-c", "127.0.0.1", "-p", port, "-t", "2", "-J"}, &json);
            if (rc == 0 && json.find("\"sum_received\"") != std::string::npos) break;
            rc = -1;
            usleep(100000);
        }
        kill(server, SIGTERM);
        waitpid(server, nullptr, 0);
        if (rc != 0) {
            state.SkipWithError("iperf3 client failed");
            return;
        }
        state.SetIterationTime(2.0);
    }
    // "sum_received": { ... "bits_per_second": X }
    size_t at = json.find("\"sum_received\"");
    at = at == std::string::npos ? at : json.find("\"bits_per_second\"", at);
    if (at == std::string::npos) {
        state.SkipWithError("no rate in iperf3's report");
        return;
    }
    double bps = std::stod(json.substr(json.find(':', at) + 1));
    state.counters["bytes_per_second"] = bps / 8;
}
BENCHMARK(BM_stream_iperf3)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// ---------------------------------------------------------------- echo

// The bare epoll echo: level-triggered, one buffer, every byte written back.
struct EpollEcho {
    int lfd = -1, efd = -1, stop = -1;
    std::string port;
    std::thread th;
    EpollEcho() {
        lfd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(lfd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(lfd, 1024) != 0) return;
        port = qvnettest::local_port(lfd);
        efd = epoll_create1(0);
        int p[2];
        if (pipe(p) != 0) return;
        stop = p[1];
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = lfd;
        epoll_ctl(efd, EPOLL_CTL_ADD, lfd, &ev);
        ev.data.fd = p[0];
        epoll_ctl(efd, EPOLL_CTL_ADD, p[0], &ev);
        th = std::thread([this, rd = p[0]] {
            std::vector<char> buf(256 * 1024);
            for (;;) {
                epoll_event evs[16];
                int n = epoll_wait(efd, evs, 16, -1);
                for (int i = 0; i < n; i++) {
                    int fd = evs[i].data.fd;
                    if (fd == rd) {
                        close(rd);
                        return;
                    }
                    if (fd == lfd) {
                        int c = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK);
                        if (c < 0) continue;
                        int one = 1;
                        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                        epoll_event ce{};
                        ce.events = EPOLLIN;
                        ce.data.fd = c;
                        epoll_ctl(efd, EPOLL_CTL_ADD, c, &ce);
                        continue;
                    }
                    ssize_t got = read(fd, buf.data(), buf.size());
                    if (got <= 0) {
                        if (got == 0 || errno != EAGAIN) close(fd);
                        continue;
                    }
                    for (ssize_t off = 0; off < got;) {
                        ssize_t w = write(fd, buf.data() + off, (size_t)(got - off));
                        if (w > 0) {
                            off += w;
                        } else if (errno == EAGAIN) {
                            pollfd pf{fd, POLLOUT, 0};
                            poll(&pf, 1, -1);
                        } else {
                            break;
                        }
                    }
                }
            }
        });
    }
    ~EpollEcho() {
        if (stop >= 0) close(stop);
        if (th.joinable()) th.join();
        if (efd >= 0) close(efd);
        if (lfd >= 0) close(lfd);
    }
};

// The reactor as an echo of `count` connections: one owner thread moves each
// received message back onto the same connection's send queue.
struct ReactorEcho {
    n_reactor *r = n_reactor_new();
    NETWORK *listener = nullptr;
    std::vector<NETWORK *> conns;
    std::string port;
    std::thread loop, acceptor, owner;
    std::atomic<bool> done{false};
    explicit ReactorEcho(int count = 1) {
        if (!r || netw_make_listening(&listener, "127.0.0.1", "0", 1024, 1) != 1) return;
        port = qvnettest::local_port(listener->link.sock);
        loop = std::thread([this] { n_reactor_run(r); });
        acceptor = std::thread([this, count] {
            for (int i = 0; i < count; i++) {
                int err = 0;
                NETWORK *conn = netw_accept_into_reactor(listener, SIZE_MAX, SIZE_MAX, 10000, r, &err);
                if (!conn) return;
                netw_set_compression_mode(conn, 0);  // both echoes return the bytes as they came, before any arrive
                conns.push_back(conn);
            }
            owner = std::thread([this] {
                while (!done.load()) {
                    bool any = false;
                    for (NETWORK *conn : conns)
                        while (N_STR *m = netw_get_msg(conn)) {
                            any = true;
                            (void)netw_add_msg(conn, m);
                        }
                    if (!any) std::this_thread::yield();
                }
            });
        });
    }
    ~ReactorEcho() {
        if (acceptor.joinable()) acceptor.join();
        done = true;
        if (owner.joinable()) owner.join();
        for (NETWORK *&conn : conns) netw_close(&conn);
        n_reactor_stop(r);
        if (loop.joinable()) loop.join();
        if (listener) netw_close(&listener);
        n_reactor_destroy(&r);
    }
};

void echo(benchmark::State &state, const std::string &port, size_t size) {
    NETWORK *c = nullptr;
    if (port.empty() || netw_connect(&c, "127.0.0.1", port.c_str(), 1) != 1) {
        state.SkipWithError("cannot connect to the echo server");
        return;
    }
    netw_set_compression_mode(c, 0);
    netw_setsockopt(c, TCP_NODELAY, 1);
    if (netw_start_thr_engine(c) != 1) {
        state.SkipWithError("engine");
        netw_close(&c);
        return;
    }
    for (auto _ : state) {
        (void)netw_add_msg(c, msg_of(size, 'e'));
        take(c, 1);
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)size);
    // The bare echo does not answer the quit word: shut the socket so the
    // engine's receive thread ends and the stop can join it.
    shutdown(c->link.sock, SHUT_RDWR);
    netw_close(&c);
}

void BM_echo_reactor(benchmark::State &state) {
    ReactorEcho srv;
    echo(state, srv.port, (size_t)state.range(0));
}
void BM_echo_bare_epoll(benchmark::State &state) {
    EpollEcho srv;
    echo(state, srv.port, (size_t)state.range(0));
}
BENCHMARK(BM_echo_reactor)->Arg(64)->Arg(16384)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_echo_bare_epoll)->Arg(64)->Arg(16384)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(1.0);



// ---------------------------------------------------------------- many connections

// 1,000 connections each send one 1 KiB engine frame per round and read it
// back: messages per second through one reactor thread (which parses and
// queues each frame, and frames it again) beside the bare epoll echo.
constexpr int kFanConns = 1000;

void fan(benchmark::State &state, const std::string &port) {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = std::max<rlim_t>(lim.rlim_cur, std::min<rlim_t>(lim.rlim_max, 3 * kFanConns));
    setrlimit(RLIMIT_NOFILE, &lim);
    std::vector<int> fds;
    for (int i = 0; i < kFanConns && !port.empty(); i++) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)std::stoi(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            if (fd >= 0) close(fd);
            break;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        fds.push_back(fd);
    }
    if ((int)fds.size() != kFanConns) {
        state.SkipWithError("cannot open 1,000 connections");
        for (int fd : fds) close(fd);
        return;
    }
    std::string frame(8 + 1024, 'f');
    const unsigned char head[8] = {0, 0, 0, 0x40, 0, 0, 4, 0};
    memcpy(frame.data(), head, 8);
    std::vector<char> back(frame.size());
    bool ok = true;
    for (auto _ : state) {
        for (int fd : fds) ok = ok && send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) == (ssize_t)frame.size();
        for (int fd : fds)
            for (size_t got = 0; ok && got < back.size();) {
                ssize_t n = recv(fd, back.data() + got, back.size() - got, 0);
                if (n <= 0) ok = false;
                else got += (size_t)n;
            }
        if (!ok) break;
    }
    if (!ok || memcmp(back.data(), frame.data(), frame.size()) != 0) state.SkipWithError("echo lost bytes");
    state.SetItemsProcessed(state.iterations() * kFanConns);
    for (int fd : fds) close(fd);
}

void BM_fan_1000_reactor(benchmark::State &state) {
    ReactorEcho srv(kFanConns);
    fan(state, srv.port);
}
void BM_fan_1000_bare_epoll(benchmark::State &state) {
    EpollEcho srv;
    fan(state, srv.port);
}
BENCHMARK(BM_fan_1000_reactor)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_fan_1000_bare_epoll)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace
