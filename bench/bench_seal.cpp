// Message seal and open (HKDF-SHA256 key per message + ChaCha20-Poly1305) in
// messages per second, beside the bare cipher as `openssl speed` measures it
// on the same machine: the ratio shows what the per-message key costs.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "quorvane_crypto.h"

namespace {

struct msg_fixture {
    uint8_t key[32], salt[16], ad[64], tag[16];
    std::vector<uint8_t> pt, ct, back;
    explicit msg_fixture(size_t n) : pt(n, 0x5A), ct(n), back(n) {
        if (quorvane_random(key, sizeof key) != 0 || quorvane_random(salt, sizeof salt) != 0 ||
            quorvane_random(ad, sizeof ad) != 0)
            std::abort();
    }
    int seal(uint64_t counter) {
        return quorvane_msg_seal(key, counter, salt, ad, sizeof ad, pt.data(), pt.size(), ct.data(), tag);
    }
};

void BM_MsgSeal(benchmark::State &state) {
    msg_fixture f(static_cast<size_t>(state.range(0)));
    uint64_t counter = 0;
    for (auto _ : state) {
        if (f.seal(++counter) != 0) state.SkipWithError("seal failed");
        benchmark::DoNotOptimize(f.tag);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_MsgOpen(benchmark::State &state) {
    msg_fixture f(static_cast<size_t>(state.range(0)));
    if (f.seal(7) != 0) state.SkipWithError("seal failed");
    for (auto _ : state) {
        if (quorvane_msg_open(f.key, 7, f.salt, f.ad, sizeof f.ad, f.ct.data(), f.ct.size(), f.tag, f.back.data()) != 0)
            state.SkipWithError("open failed");
        benchmark::DoNotOptimize(f.back.data());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_MsgSeal)->Arg(100)->Arg(1024)->Arg(4096);
BENCHMARK(BM_MsgOpen)->Arg(100)->Arg(1024)->Arg(4096);

// Our seals per second at one size, timed for about a third of a second.
double seal_rate(size_t n) {
    msg_fixture f(n);
    uint64_t counter = 0, done = 0;
    auto start = std::chrono::steady_clock::now();
    double secs = 0;
    do {
        for (int i = 0; i < 256; i++, done++)
            if (f.seal(++counter) != 0) return 0;
        secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    } while (secs < 0.3);
    return static_cast<double>(done) / secs;
}

// `openssl speed -evp chacha20-poly1305`: one AEAD operation per block on a
// reused context, reported in 1000s of bytes per second for 16..16384 bytes.
void BM_OpensslSpeedChaCha20Poly1305(benchmark::State &state) {
    const char *sizes[] = {"16", "64", "256", "1024", "8192", "16384"};
    std::vector<double> kbps;
    for (auto _ : state) {
        FILE *p = popen("openssl speed -evp chacha20-poly1305 -seconds 1 2>/dev/null", "r");
        if (!p) {
            state.SkipWithError("cannot run openssl");
            return;
        }
        char line[512];
        while (fgets(line, sizeof line, p)) {
            std::istringstream in(line);
            std::string name;
            in >> name;
            if (name.rfind("ChaCha20-Poly1305", 0) != 0 && name.rfind("chacha20-poly1305", 0) != 0) continue;
            kbps.clear();
            for (std::string v; in >> v;) kbps.push_back(std::strtod(v.c_str(), nullptr));
        }
        if (pclose(p) != 0 || kbps.size() != 6) {
            state.SkipWithError("unexpected openssl speed output");
            return;
        }
    }
    for (size_t i = 0; i < 6; i++) {
        double bytes_per_s = kbps[i] * 1000.0;
        state.counters[std::string("evp_") + sizes[i] + "B_MBps"] = bytes_per_s / 1e6;
        state.counters[std::string("evp_") + sizes[i] + "B_ops"] = bytes_per_s / std::atof(sizes[i]);
    }
    // The one size both sides measure: ours over the bare cipher's operations.
    double ours = seal_rate(1024);
    state.counters["seal_1KiB_msgs"] = ours;
    state.counters["seal_1KiB_vs_evp"] = ours / (kbps[3] * 1000.0 / 1024.0);
}

BENCHMARK(BM_OpensslSpeedChaCha20Poly1305)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
