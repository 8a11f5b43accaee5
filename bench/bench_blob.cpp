// Blob stream seal and open in bytes per second, beside what the two library
// primitives they are made of reach alone at the stream's 64 KiB chunk size
// (`openssl speed -evp chacha20-poly1305` and `-evp blake2b512`). Each byte
// goes through both, so the bound is 1 / (1/cipher + 1/digest); the ratio to
// it shows what a key derivation per chunk and the stream's own work cost.
#include <benchmark/benchmark.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "quorvane_blob.h"

namespace {

struct blob_fixture {
    uint8_t key[32], salt[16], id[16], digest[64];
    uint32_t count = 0;
    std::vector<uint8_t> pt, sealed, back;
    size_t sealed_len = 0, back_len = 0;
    explicit blob_fixture(size_t n) : pt(n), sealed(quorvane_blob_sealed_len(n)), back(n) {
        if (quorvane_random(key, sizeof key) != 0 || quorvane_random(salt, sizeof salt) != 0 ||
            quorvane_random(id, sizeof id) != 0 || quorvane_random(pt.data(), pt.size()) != 0)
            std::abort();
    }
    ~blob_fixture() { quorvane_cleanse(key, sizeof key); }
    int seal() {
        return quorvane_blob_stream_seal(key, salt, id, pt.data(), pt.size(), sealed.data(), sealed.size(),
                                         &sealed_len, &count, digest);
    }
    int open() {
        return quorvane_blob_stream_open(key, salt, id, sealed.data(), sealed_len, count, digest, back.data(),
                                         back.size(), &back_len);
    }
};

void BM_BlobSeal(benchmark::State &state) {
    blob_fixture f(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        if (f.seal() != 0) state.SkipWithError("seal failed");
        benchmark::DoNotOptimize(f.sealed.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_BlobOpen(benchmark::State &state) {
    blob_fixture f(static_cast<size_t>(state.range(0)));
    if (f.seal() != 0) state.SkipWithError("seal failed");
    for (auto _ : state) {
        if (f.open() != 0) state.SkipWithError("open failed");
        benchmark::DoNotOptimize(f.back.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_BlobSeal)->Arg(65536)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BlobOpen)->Arg(65536)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMicrosecond);

// Plaintext bytes per second of seal (open when `open`), timed for about a second.
double stream_rate(bool open) {
    blob_fixture f(16u << 20);
    if (f.seal() != 0) return 0;
    size_t bytes = 0;
    auto start = std::chrono::steady_clock::now();
    double secs = 0;
    do {
        if ((open ? f.open() : f.seal()) != 0) return 0;
        bytes += f.pt.size();
        secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    } while (secs < 1.0);
    return static_cast<double>(bytes) / secs;
}

// `openssl speed -evp ALG -bytes 65536`: bytes per second at that one size
// (the tool reports 1000s of bytes per second), or 0 when it cannot be read.
double openssl_speed(const char *alg) {
    const std::string cmd = std::string("openssl speed -evp ") + alg + " -bytes 65536 -seconds 2 2>/dev/null";
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return 0;
    double kbps = 0;
    int rows = 0;
    char line[512];
    while (fgets(line, sizeof line, p)) {
        std::istringstream in(line);
        std::string name, v;
        if (!(in >> name >> v)) continue;
        for (auto &c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (name != alg || v.empty() || v.back() != 'k') continue;
        kbps = std::strtod(v.c_str(), nullptr);
        rows++;
    }
    if (pclose(p) != 0 || rows != 1) return 0;
    return kbps * 1000.0;
}

void BM_BlobVsOpensslSpeed(benchmark::State &state) {
    double cipher = 0, digest = 0;
    for (auto _ : state) {
        cipher = openssl_speed("chacha20-poly1305");
        digest = openssl_speed("blake2b512");
    }
    if (cipher <= 0 || digest <= 0) {
        state.SkipWithError("cannot run or read openssl speed");
        return;
    }
    const double bound = 1.0 / (1.0 / cipher + 1.0 / digest);
    const double seal = stream_rate(false), open = stream_rate(true);
    if (seal <= 0 || open <= 0) {
        state.SkipWithError("stream failed");
        return;
    }
    state.counters["evp_chacha20poly1305_64KiB_MBps"] = cipher / 1e6;
    state.counters["evp_blake2b512_64KiB_MBps"] = digest / 1e6;
    state.counters["bound_MBps"] = bound / 1e6;
    state.counters["seal_16MiB_MBps"] = seal / 1e6;
    state.counters["open_16MiB_MBps"] = open / 1e6;
    state.counters["seal_vs_bound"] = seal / bound;
    state.counters["open_vs_bound"] = open / bound;
}

BENCHMARK(BM_BlobVsOpensslSpeed)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
