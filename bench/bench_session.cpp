// Sign-in on loopback against the project's server program: the time from a
// new session to state 4, beside its floor measured in the same run (the
// password-auth scrypt as `openssl kdf` computes it, plus one TLS 1.3
// handshake as `openssl s_time -new` makes them against the same server);
// and the server's sign-ins per second with 100 clients at once.
#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "net_test_helpers.h"
#include "client_session.h"
#include "quorvane_crypto.h"
#include "quorvane_keyfile.h"

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
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

// 100 clients connect at once: every session starts its connect with the auth
// value its account derived once (not timed); then the clock runs while all
// of them handshake and sign in, pumped round-robin on this thread.
void BM_ServerSignIns100(benchmark::State &state) {
    Server &s = server();
    static Crowd crowd(s);
    if (!s.ok || !crowd.ok) {
        state.SkipWithError("the server did not start");
        return;
    }
    constexpr int N = Crowd::N;
    double rate = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<quorvane_cs_config> c(N);
        for (int i = 0; i < N; i++) c[i] = crowd.config(s, i);
        std::vector<quorvane_cs *> cs(N);
        for (int i = 0; i < N; i++) {
            cs[i] = quorvane_cs_new(&c[i]);
            quorvane_cs_pump(cs[i]);
        }
        state.ResumeTiming();
        auto t0 = std::chrono::steady_clock::now();
        int in = 0, done = 0;
        while (done < N) {
            done = in = 0;
            for (auto *x : cs) {
                uint32_t st = quorvane_cs_get_state(x);
                if (st == QV_CS_SIGNED_IN) in++;
                if (st == QV_CS_SIGNED_IN || !active(st)) {
                    done++;
                    continue;
                }
                quorvane_cs_pump(x);
            }
        }
        double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        for (auto *x : cs) quorvane_cs_free(x);
        if (in != N) {
            state.SkipWithError("not every client signed in");
            return;
        }
        rate = N / secs;
    }
    state.counters["signins_per_s"] = rate;
}
BENCHMARK(BM_ServerSignIns100)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
