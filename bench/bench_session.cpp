// Sign-in on loopback against the project's server program: the time from a
// new session to state 4, beside its floor measured in the same run (the
// password-auth scrypt as `openssl kdf` computes it, plus one TLS 1.3
// handshake as `openssl s_time -new` makes them against the same server);
// and the server's sign-ins per second with 100 clients at once.
#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "net_test_helpers.h"
#include "client_net.h"
#include "client_session.h"
#include "quorvane_crypto.h"
#include "quorvane_keyfile.h"

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <poll.h>
#include <string>
#include <thread>

namespace {

constexpr const char *kUser = "bench";
constexpr const char *kPassword = "correct horse battery staple";

bool active(uint32_t st) { return st <= QV_CS_SIGNED_IN - 1 || st == QV_CS_ESCROW_SENT || st == QV_CS_RECOVERING || st == QV_CS_PREAUTH_SENT; }

struct Server {
    qv_bench::ScratchDir scratch;
    std::string port = std::to_string(qvnettest::free_port());
    std::string pin = scratch.dir + "/pin";
    pid_t pid = -1;
    quorvane_device_keys keys{};
    bool ok = false;

    quorvane_cs_config config() {
        quorvane_cs_config c{};
        c.host = "127.0.0.1";
        c.port = port.c_str();
        c.user = kUser;
        c.password = kPassword;
        c.keys = &keys;
        c.pin_path = pin.c_str();
        return c;
    }

    Server() {
        pid = qv_bench::spawn({QV_SERVER_PRODUCT_BIN, "--data", scratch.dir + "/srv", "--listen", "127.0.0.1:" + port}, nullptr);
        if (pid < 0 || quorvane_client_store_build(nullptr, &keys) != 0) return;
        quorvane_cs_config c = config();
        c.do_register = 1;
        for (int attempt = 0; attempt < 100 && !ok; attempt++) {
            quorvane_cs *cs = quorvane_cs_new(&c);
            while (active(quorvane_cs_get_state(cs))) quorvane_cs_pump(cs);
            ok = quorvane_cs_get_state(cs) == QV_CS_REGISTERED;
            quorvane_cs_free(cs);
            if (!ok) usleep(100000);
        }
    }
    ~Server() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            qv_bench::wait_status(pid);
        }
        quorvane_device_keys_cleanse(&keys);
    }
};

Server &server() {
    static Server s;
    return s;
}

double sign_in_once(Server &s) {
    quorvane_cs_config c = s.config();
    auto t0 = std::chrono::steady_clock::now();
    quorvane_cs *cs = quorvane_cs_new(&c);
    while (quorvane_cs_get_state(cs) != QV_CS_SIGNED_IN && active(quorvane_cs_get_state(cs))) quorvane_cs_pump(cs);
    bool in = quorvane_cs_get_state(cs) == QV_CS_SIGNED_IN;
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    quorvane_cs_free(cs);
    return in ? secs : -1;
}

// `openssl s_time -new` for two seconds against the server: seconds per handshake.
double s_time_handshake(const std::string &port) {
    std::string out;
    auto t0 = std::chrono::steady_clock::now();
    if (qv_bench::run({"openssl", "s_time", "-connect", "127.0.0.1:" + port, "-new", "-time", "2"}, &out) != 0) return -1;
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    size_t at = out.find(" connections in ");
    if (at == std::string::npos) return -1;
    size_t start = out.rfind('\n', at);
    long conns = strtol(out.c_str() + (start == std::string::npos ? 0 : start + 1), nullptr, 10);
    return conns > 0 ? wall / static_cast<double>(conns) : -1;
}

void BM_SignInVsFloor(benchmark::State &state) {
    Server &s = server();
    if (!s.ok) {
        state.SkipWithError("the server did not start");
        return;
    }
    std::vector<std::string> kdf;
    if (!qv_bench::pw_auth_kdf(state, kPassword, kUser, &kdf)) return;
    double mine = 0, theirs = 0, start = 0, handshake = 0;
    for (auto _ : state) {
        const int rounds = static_cast<int>(state.range(0));
        mine = qv_bench::median_secs(rounds, [&] { benchmark::DoNotOptimize(sign_in_once(s)); });
        theirs = qv_bench::median_secs(rounds, [&] { benchmark::DoNotOptimize(qv_bench::run(kdf, nullptr)); });
        start = qv_bench::median_secs(rounds, [&] { benchmark::DoNotOptimize(qv_bench::run({"openssl", "version"}, nullptr)); });
        handshake = s_time_handshake(s.port);
    }
    if (handshake < 0) {
        state.SkipWithError("openssl s_time failed");
        return;
    }
    state.counters["signin_ms"] = mine * 1e3;
    state.counters["openssl_kdf_ms"] = theirs * 1e3;
    state.counters["openssl_version_ms"] = start * 1e3;
    state.counters["s_time_handshake_ms"] = handshake * 1e3;
    state.counters["floor_ms"] = (theirs - start + handshake) * 1e3;
    state.counters["ratio_to_floor"] = mine / (theirs - start + handshake);
}
BENCHMARK(BM_SignInVsFloor)->Arg(9)->Iterations(1)->Unit(benchmark::kSecond);

// The accounts of the 100 clients: the server lets one account have only a
// few connections at once, so each client is a user of its own, registered
// once (on eight threads: each registration runs the client-side scrypts),
// and its auth value is kept so that signing in derives nothing.
struct Crowd {
    static constexpr int N = 100;
    std::vector<std::string> names;
    std::vector<quorvane_device_keys> keys = std::vector<quorvane_device_keys>(N);
    std::vector<std::array<uint8_t, 32>> auth = std::vector<std::array<uint8_t, 32>>(N);
    bool ok = true;
    explicit Crowd(Server &s) {
        for (int i = 0; i < N; i++) names.push_back("crowd" + std::to_string(i));
        std::vector<std::thread> makers;
        std::atomic<int> failed{0};
        for (int t = 0; t < 8; t++)
            makers.emplace_back([&, t] {
                for (int i = t; i < N; i += 8) {
                    quorvane_cs_config c = config(s, i);
                    c.do_register = 1;
                    quorvane_cs *cs = quorvane_client_store_build(nullptr, &keys[i]) == 0 ? quorvane_cs_new(&c) : nullptr;
                    if (quorvane_pw_auth(kPassword, names[i].c_str(), auth[i].data()) != 0) failed++;
                    while (cs && active(quorvane_cs_get_state(cs))) quorvane_cs_pump(cs);
                    if (!cs || quorvane_cs_get_state(cs) != QV_CS_REGISTERED) failed++;
                    quorvane_cs_free(cs);
                }
            });
        for (auto &m : makers) m.join();
        ok = failed == 0;
    }
    ~Crowd() {
        for (auto &k : keys) quorvane_device_keys_cleanse(&k);
        for (auto &a : auth) quorvane_cleanse(a.data(), a.size());
    }
    quorvane_cs_config config(Server &s, int i) {
        quorvane_cs_config c = s.config();
        c.user = names[i].c_str();
        c.keys = &keys[i];
        c.auth = auth[i].data();
        return c;
    }
};

// The sessions' sockets that are still on their way, polled for input for up to
// `ms`; returns at once when there is none.
void wait_for_input(const std::vector<quorvane_cs *> &cs, int ms) {
    std::vector<pollfd> fds;
    for (auto *x : cs)
        if (x && active(quorvane_cs_get_state(x)) && x->cnet && x->cnet->netw && x->cnet->netw->link.sock >= 0)
            fds.push_back({x->cnet->netw->link.sock, POLLIN, 0});
    if (!fds.empty()) poll(fds.data(), fds.size(), ms);
}

// How long 100 sign-ins may take in all before the run is called failed, and
// the longest a round that moved nothing waits for the server's answers.
constexpr auto kSignInsLimit = std::chrono::minutes(10);
constexpr int kIdleWaitMs = 10;

// 100 clients connect at once and the clock runs until all of them have
// handshaken and signed in, pumped round-robin on this thread.
// - They are given the auth value derived once beforehand: a client that
//   derived its own would start its connect (and its 15 s connect time-out)
//   while the others still ran their scrypts.
// - A round that moved no client waits for input instead of spinning, so this
//   thread does not take the cores from the server it measures.
// - On a busy machine not every hello is answered within a client's connect
//   time-out (each client's TLS set-up also costs this thread tens of
//   milliseconds): such a client connects again, as the application would, and
//   the clock keeps running (counted in `reconnects`, over all iterations). A
//   refusal by the server ends the run.
// 100 clients, each of its own account (the server takes at most 16
// connections of one account), connect at once and the clock runs until all of them have
// handshaken and signed in, pumped round-robin on this thread.
// - They are given the auth value derived once beforehand: a client that
//   derived its own would start its connect (and its 15 s connect time-out)
//   while the others still ran their scrypts.
// - A round that moved no client waits for input instead of spinning, so this
//   thread does not take the cores from the server it measures.
// - On a busy machine not every hello is answered within a client's connect
//   time-out (each client's TLS set-up also costs this thread tens of
//   milliseconds): such a client connects again, as the application would, and
//   the clock keeps running (counted in `reconnects`, over all iterations). A
//   refusal by the server ends the run.
void BM_ServerSignIns100(benchmark::State &state) {
    Server &s = server();
    static Crowd crowd(s);
    if (!s.ok || !crowd.ok) {
        state.SkipWithError("the server did not start");
        return;
    }
    constexpr int N = Crowd::N;
    double rate = 0;
    int reconnects = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<quorvane_cs_config> c(N);
        for (int i = 0; i < N; i++) c[i] = crowd.config(s, i);
        std::vector<quorvane_cs *> cs(N);
        for (int i = 0; i < N; i++) cs[i] = quorvane_cs_new(&c[i]);
        state.ResumeTiming();
        const auto t0 = std::chrono::steady_clock::now();
        std::string refused;
        int in = 0;
        while (in < N && refused.empty() && std::chrono::steady_clock::now() - t0 < kSignInsLimit) {
            in = 0;
            bool moved = false;
            for (int i = 0; i < N; i++) {
                quorvane_cs *&x = cs[i];
                const uint32_t st = quorvane_cs_get_state(x);
                if (st == QV_CS_SIGNED_IN) {
                    in++;
                    continue;
                }
                if (!active(st)) {
                    if (quorvane_cs_fail_reason(x) != 0) {
                        const char *d = quorvane_cs_fail_detail(x);
                        refused = d ? d : "refused without a detail";
                        break;
                    }
                    quorvane_cs_free(x);
                    x = quorvane_cs_new(&c[i]);
                    reconnects++;
                }
                const uint64_t before = quorvane_cs_activity(x);
                quorvane_cs_pump(x);
                moved = moved || quorvane_cs_get_state(x) != st || quorvane_cs_activity(x) != before;
            }
            if (!moved && in < N) wait_for_input(cs, kIdleWaitMs);
        }
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        for (auto *x : cs) quorvane_cs_free(x);
        if (in != N) {
            state.SkipWithError(("not every client signed in (" + std::to_string(in) + " of " + std::to_string(N) +
                                 (refused.empty() ? ", out of time" : "; refused: " + refused) + ")")
                                    .c_str());
            return;
        }
        rate = N / secs;
    }
    state.counters["signins_per_s"] = rate;
    state.counters["reconnects"] = reconnects;
}
BENCHMARK(BM_ServerSignIns100)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
