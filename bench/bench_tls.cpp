// TLS on loopback, each side by side with the stock command-line tool.
//
// Bulk upload: our non-blocking client road (connect,
// handshake, single-pass writes, close) beside the stock command-line TLS
// client sending the same file, both into one sink server that this benchmark
// starts and stops by pid. An iteration ends when the sink has written out the
// whole payload, so both sides are timed to delivery, not to the last write
// into a socket buffer. Each iteration is a whole connection: both pay for a
// handshake, the command-line side also for starting a process, which is
// small next to the payload.
#include "n_network.h"

#include "bench_support.h"
#include "net_test_helpers.h"

#include <benchmark/benchmark.h>

#include <openssl/rand.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <thread>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using qvnettest::free_port;
using qvnettest::now_ms;

constexpr size_t kPayload = 128u << 20;

pid_t spawn(const std::vector<std::string> &argv, int stdin_fd, int stdout_fd = -1) {
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_WRONLY);
        dup2(stdin_fd, 0);
        dup2(stdout_fd >= 0 ? stdout_fd : devnull, 1);
        dup2(devnull, 2);
        std::vector<char *> v;
        for (const auto &a : argv) v.push_back(const_cast<char *>(a.c_str()));
        v.push_back(nullptr);
        execvp(v[0], v.data());
        _exit(127);
    }
    return pid;
}

// The sink server, its certificate and the payload file, made once and torn
// down at exit.
struct Setup {
    qv_bench::ScratchDir scratch;  // cert, key and payload; removed last
    std::string dir, payload_file, port;
    std::vector<char> payload;
    pid_t server = -1;
    int server_stdin = -1;  // held open: the server quits when its input ends
    int server_stdout = -1; // what the server received, counted by `sink`
    std::atomic<uint64_t> received{0};
    std::thread sink;
    bool ok = false;

    Setup() {
        dir = scratch.dir;
        std::string cert = dir + "/cert.pem", key = dir + "/key.pem";
        std::string cmd = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=localhost -keyout " +
                          key + " -out " + cert + " >/dev/null 2>&1";
        if (system(cmd.c_str()) != 0) return;
        payload.resize(kPayload);
        RAND_bytes(reinterpret_cast<unsigned char *>(payload.data()), (int)payload.size());
        payload_file = dir + "/payload";
        FILE *f = fopen(payload_file.c_str(), "wb");
        if (!f || fwrite(payload.data(), 1, payload.size(), f) != payload.size()) return;
        fclose(f);

        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return;
        port = std::to_string(free_port());
        server = spawn({"openssl", "s_server", "-quiet", "-accept", "127.0.0.1:" + port, "-cert", cert, "-key", key}, in[0], out[1]);
        close(in[0]);
        close(out[1]);
        server_stdin = in[1];
        server_stdout = out[0];
        sink = std::thread([this] {
            static char buf[1 << 16];
            ssize_t r;
            while ((r = read(server_stdout, buf, sizeof buf)) > 0) received += (uint64_t)r;
        });
        netw_init_openssl();
        for (long long end = now_ms() + 10000; now_ms() < end && !ok;) {
            NETWORK *n = nullptr;
            if (netw_connect_nonblock(&n, "127.0.0.1", port.c_str(), 1) == 1) {
                int r;
                while ((r = netw_connect_check(n)) == -11) usleep(1000);
                ok = r == 1;
            }
            if (n) netw_close(&n);
            if (!ok) usleep(20000);
        }
    }
    ~Setup() {
        if (server > 0) {
            kill(server, SIGTERM);
            waitpid(server, nullptr, 0);
        }
        if (server_stdin >= 0) close(server_stdin);
        if (sink.joinable()) sink.join();  // the server's end of the pipe is gone with it
        if (server_stdout >= 0) close(server_stdout);
    }
};

Setup &setup() {
    static Setup s;
    return s;
}

// Bounded wait for the sink to have `total` bytes.
bool delivered(Setup &s, uint64_t total) {
    for (long long end = now_ms() + 30000; now_ms() < end;) {
        if (s.received.load() >= total) return true;
        usleep(100);
    }
    return false;
}

void wait_fd(int fd, short events) {
    pollfd p{fd, events, 0};
    poll(&p, 1, 100);
}

// One connection: connect, TLS 1.3 handshake without verification, the whole
// payload through send_ssl_data_once from the caller's offset, close.
bool upload_once(Setup &s) {
    NETWORK *n = nullptr;
    if (netw_connect_nonblock(&n, "127.0.0.1", s.port.c_str(), 1) != 1) return false;
    bool ok = false;
    int r;
    while ((r = netw_connect_check(n)) == -11) wait_fd(n->link.sock, POLLOUT);
    if (r == 1 && netw_ssl_start_client(n) && netw_ssl_set_verify(n, 0) && netw_ssl_set_versions(n, 772, 772)) {
        while ((r = netw_ssl_handshake_once(n, nullptr)) == -10 || r == -11) wait_fd(n->link.sock, r == -10 ? POLLIN : POLLOUT);
        size_t off = 0;
        while (r == 1 && off < s.payload.size()) {
            uint32_t chunk = (uint32_t)std::min<size_t>(s.payload.size() - off, 65536);
            ssize_t w = send_ssl_data_once(n, s.payload.data() + off, chunk);
            if (w > 0)
                off += (size_t)w;
            else if (w == -10 || w == -11)
                wait_fd(n->link.sock, w == -10 ? POLLIN : POLLOUT);
            else
                break;
        }
        ok = off == s.payload.size();
    }
    netw_close(&n);
    return ok;
}

void BM_tls_upload_quorvane(benchmark::State &state) {
    Setup &s = setup();
    if (!s.ok) {
        state.SkipWithError("sink server did not start");
        return;
    }
    for (auto _ : state) {
        uint64_t want = s.received.load() + s.payload.size();
        if (!upload_once(s) || !delivered(s, want)) {
            state.SkipWithError("upload failed");
            return;
        }
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)s.payload.size());
}
BENCHMARK(BM_tls_upload_quorvane)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void BM_tls_upload_openssl_s_client(benchmark::State &state) {
    Setup &s = setup();
    if (!s.ok) {
        state.SkipWithError("sink server did not start");
        return;
    }
    for (auto _ : state) {
        int in = open(s.payload_file.c_str(), O_RDONLY);
        uint64_t want = s.received.load() + s.payload.size();
        auto t0 = std::chrono::steady_clock::now();
        // -nocommands: a read of the file starting with 'Q' or 'R' would
        // otherwise be taken as a command and end or renegotiate the session.
        pid_t pid = spawn({"openssl", "s_client", "-quiet", "-no_ign_eof", "-nocommands", "-connect", "127.0.0.1:" + s.port}, in);
        int st = 0;
        waitpid(pid, &st, 0);
        bool all = delivered(s, want);
        auto t1 = std::chrono::steady_clock::now();
        close(in);
        if (!WIFEXITED(st) || WEXITSTATUS(st) != 0 || !all) {
            state.SkipWithError("s_client failed");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)s.payload.size());
}
BENCHMARK(BM_tls_upload_openssl_s_client)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);

// ---------------------------------------------------------------- handshakes and accepts
//
// Handshake rate: our blocking connect + TLS 1.3 handshake + close against
// `openssl s_server`, beside `openssl s_time -new` against the same server.
// Accept rate: `openssl s_time -new` against our TLS listener (blocking accept
// with the handshake, then close), beside the same s_time against s_server.

struct HandshakeSetup {
    qv_bench::ScratchDir scratch;
    std::string cert, key, server_port, our_port;
    pid_t server = -1;
    int server_stdin = -1;
    NETWORK *listener = nullptr;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> accepted{0};
    std::thread acceptor;
    bool ok = false;

    HandshakeSetup() {
        cert = scratch.dir + "/cert.pem", key = scratch.dir + "/key.pem";
        std::string cmd = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=localhost -keyout " +
                          key + " -out " + cert + " >/dev/null 2>&1";
        if (system(cmd.c_str()) != 0) return;
        int in[2];
        if (pipe(in) != 0) return;
        server_port = std::to_string(free_port());
        server = spawn({"openssl", "s_server", "-quiet", "-tls1_3", "-accept", "127.0.0.1:" + server_port, "-cert", cert, "-key", key}, in[0]);
        close(in[0]);
        server_stdin = in[1];

        if (netw_make_listening(&listener, "127.0.0.1", "0", 128, 1) != 1 || netw_set_crypto(listener, key.c_str(), cert.c_str()) != 1) return;
        sockaddr_in a{};
        socklen_t len = sizeof a;
        getsockname(listener->link.sock, reinterpret_cast<sockaddr *>(&a), &len);
        our_port = std::to_string(ntohs(a.sin_port));
        acceptor = std::thread([this] {
            while (!stop) {
                NETWORK *c = netw_accept_from_ex(listener, SIZE_MAX, SIZE_MAX, 100, nullptr);
                if (!c) continue;
                accepted++;
                netw_close(&c);
            }
        });
        for (long long end = now_ms() + 10000; now_ms() < end && !ok; usleep(20000)) ok = handshake_once(server_port);
    }
    ~HandshakeSetup() {
        stop = true;
        if (acceptor.joinable()) acceptor.join();
        if (listener) netw_close(&listener);
        if (server > 0) {
            kill(server, SIGTERM);
            waitpid(server, nullptr, 0);
        }
        if (server_stdin >= 0) close(server_stdin);
    }

    // Connect, TLS 1.3 handshake without verification, close.
    static bool handshake_once(const std::string &port) {
        NETWORK *n = nullptr;
        if (netw_ssl_connect_client(&n, "127.0.0.1", port.c_str(), 1) != 1) return false;
        bool done = netw_ssl_set_verify(n, 0) && netw_ssl_set_versions(n, 772, 772) && netw_ssl_do_handshake(n, nullptr) == 1;
        netw_close(&n);
        return done;
    }
};

HandshakeSetup &handshakes() {
    static HandshakeSetup s;
    return s;
}

// Runs `openssl s_time -new` for `seconds` and returns its connections per
// second of wall time (its own "real seconds" are whole seconds only).
double s_time_rate(const std::string &port, int seconds) {
    std::string cmd = "openssl s_time -connect 127.0.0.1:" + port + " -new -time " + std::to_string(seconds) + " 2>&1";
    auto t0 = std::chrono::steady_clock::now();
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    char line[512];
    long conns = -1;
    while (fgets(line, sizeof line, p))
        if (strstr(line, "real seconds")) conns = strtol(line, nullptr, 10);
    int st = pclose(p);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return st == 0 && conns > 0 ? conns / wall : -1;
}

void BM_tls13_handshake_quorvane_client(benchmark::State &state) {
    HandshakeSetup &s = handshakes();
    if (!s.ok) {
        state.SkipWithError("s_server did not start");
        return;
    }
    for (auto _ : state)
        if (!HandshakeSetup::handshake_once(s.server_port)) {
            state.SkipWithError("handshake failed");
            return;
        }
    state.SetItemsProcessed((int64_t)state.iterations());
}
BENCHMARK(BM_tls13_handshake_quorvane_client)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(3.0);

// One run of a few seconds each; the figure is the counter.
void run_s_time(benchmark::State &state, bool our_listener) {
    HandshakeSetup &s = handshakes();
    if (!s.ok) {
        state.SkipWithError("servers did not start");
        return;
    }
    double rate = 0;
    uint64_t before = s.accepted.load();
    for (auto _ : state) rate = s_time_rate(our_listener ? s.our_port : s.server_port, 5);
    if (rate <= 0) {
        state.SkipWithError("s_time failed");
        return;
    }
    state.counters["handshakes_per_s"] = rate;
    if (our_listener) state.counters["accepted"] = (double)(s.accepted.load() - before);
}
void BM_tls13_handshake_openssl_s_time_to_s_server(benchmark::State &state) { run_s_time(state, false); }
void BM_tls13_accept_quorvane_listener_from_s_time(benchmark::State &state) { run_s_time(state, true); }
BENCHMARK(BM_tls13_handshake_openssl_s_time_to_s_server)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_tls13_accept_quorvane_listener_from_s_time)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
