// Double ratchet ping-pong in messages per second (one encrypt and its
// decrypt per message), with the same sender throughout and with the
// direction changing on every message, beside what `openssl speed` measures on
// the same machine in the same session for the two costs that dominate: an
// X25519 operation (three per ratchet step) and a ChaCha20-Poly1305 call.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "quorvane_ratchet.h"

namespace {

// Two started ratchets; the responder has opened one message, so both can send.
struct pair_fixture {
    quorvane_ratchet *a = nullptr, *b = nullptr;
    std::vector<uint8_t> pt, msg, back;
    bool ok = false;
    explicit pair_fixture(size_t n) : pt(n, 0x5A), msg(n + QV_RATCHET_OVERHEAD), back(n) {
        uint8_t secret[32], ad[64], spk_priv[32], spk_pub[32];
        if (quorvane_random(secret, sizeof secret) != 0 || quorvane_random(ad, sizeof ad) != 0 ||
            quorvane_x25519_keypair(spk_priv, spk_pub) != 0 ||
            quorvane_ratchet_init_initiator(&a, secret, ad, spk_pub) != 0 ||
            quorvane_ratchet_init_responder(&b, secret, ad, spk_priv, spk_pub) != 0)
            return;
        quorvane_cleanse(secret, sizeof secret);
        quorvane_cleanse(spk_priv, sizeof spk_priv);
        ok = one(a, b);
    }
    ~pair_fixture() {
        quorvane_ratchet_free(&a);
        quorvane_ratchet_free(&b);
    }
    bool one(quorvane_ratchet *from, quorvane_ratchet *to) {
        size_t m = 0, p = 0;
        return quorvane_ratchet_encrypt(from, pt.data(), pt.size(), msg.data(), msg.size(), &m) == 0 &&
               quorvane_ratchet_decrypt(to, msg.data(), m, back.data(), back.size(), &p) == 0 && p == pt.size();
    }
    bool step(bool turn, uint64_t i) { return turn && (i & 1) ? one(b, a) : one(a, b); }
};

// range(0): plaintext bytes; range(1): 1 to change direction on every message.
void BM_RatchetPingPong(benchmark::State &state) {
    pair_fixture f(static_cast<size_t>(state.range(0)));
    if (!f.ok) {
        state.SkipWithError("set-up failed");
        return;
    }
    const bool turn = state.range(1) != 0;
    uint64_t i = 0;
    for (auto _ : state) {
        if (!f.step(turn, i++)) {
            state.SkipWithError("message failed");
            break;
        }
        benchmark::DoNotOptimize(f.back.data());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_RatchetPingPong)->ArgNames({"bytes", "turn"})->Args({100, 0})->Args({100, 1})->Args({1024, 0})->Args({1024, 1});

// Our messages per second for one setting, timed for about half a second.
double pingpong_rate(size_t n, bool turn) {
    pair_fixture f(n);
    if (!f.ok) return 0;
    uint64_t done = 0;
    auto start = std::chrono::steady_clock::now();
    double secs = 0;
    do {
        for (int i = 0; i < 64; i++, done++)
            if (!f.step(turn, done)) return 0;
        secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    } while (secs < 0.5);
    return static_cast<double>(done) / secs;
}

// Runs `openssl speed`, hands each output line to `take`; false when it could not run.
template <class F> bool openssl_speed(const char *args, F take) {
    std::string cmd = std::string("openssl speed -seconds 1 ") + args + " 2>/dev/null";
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return false;
    char line[512];
    while (fgets(line, sizeof line, p)) take(std::string(line));
    return pclose(p) == 0;
}

// One run of both `openssl speed` tests and of our ping-pong, in one session,
// reported together as counters.
void BM_RatchetBesideOpensslSpeed(benchmark::State &state) {
    double x25519_ops = 0, chacha_1k_kBps = 0;
    for (auto _ : state) {
        // " 253 bits ecdh (X25519)   0.0000s  30058.6": the last figure is operations per second
        bool ran = openssl_speed("ecdhx25519", [&](const std::string &line) {
            if (line.find("ecdh (X25519)") == std::string::npos) return;
            std::istringstream in(line);
            std::string last;
            for (std::string w; in >> w;) last = w;
            x25519_ops = std::strtod(last.c_str(), nullptr);
        });
        // "ChaCha20-Poly1305  a b c d e f": 1000s of bytes per second at 16, 64, 256, 1024, 8192, 16384 bytes
        ran = ran && openssl_speed("-evp chacha20-poly1305", [&](const std::string &line) {
            std::istringstream in(line);
            std::string name;
            in >> name;
            if (name.rfind("ChaCha20-Poly1305", 0) != 0 && name.rfind("chacha20-poly1305", 0) != 0) return;
            std::vector<double> v;
            for (std::string w; in >> w;) v.push_back(std::strtod(w.c_str(), nullptr));
            if (v.size() == 6) chacha_1k_kBps = v[3];
        });
        if (!ran || x25519_ops <= 0 || chacha_1k_kBps <= 0) {
            state.SkipWithError("openssl speed did not run or its output was not understood");
            return;
        }
    }
    const double chacha_1k_ops = chacha_1k_kBps * 1000.0 / 1024.0;
    state.counters["openssl_x25519_ops"] = x25519_ops;
    state.counters["openssl_chacha_1KiB_ops"] = chacha_1k_ops;
    for (size_t n : {size_t{100}, size_t{1024}}) {
        const std::string sz = std::to_string(n) + "B";
        const double same = pingpong_rate(n, false), turn = pingpong_rate(n, true);
        state.counters["ratchet_" + sz + "_msgs"] = same;
        state.counters["ratchet_" + sz + "_turn_msgs"] = turn;
        // a turning message costs three X25519 operations: this is how close we come
        if (n == 1024) {
            state.counters["turn_vs_x25519_over_3"] = turn / (x25519_ops / 3.0);
            state.counters["same_vs_chacha_1KiB"] = same / chacha_1k_ops;
        }
    }
}

BENCHMARK(BM_RatchetBesideOpensslSpeed)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
