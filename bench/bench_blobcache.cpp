// Blob-cache put latency with 10,000 entries present (every put scans both
// class directories to enforce the limit), beside `du -sb` of the same
// directory, which walks the same entries; and a get, which does not scan.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench_support.h"
#include "client_blobcache.h"

namespace {

constexpr int kEntries = 10000;

void id_of(int n, uint8_t id[16]) {
    for (int i = 0; i < 16; i++) id[i] = uint8_t((n >> (8 * (i % 4))) + i * 17);
}

struct filled_cache {
    qv_bench::ScratchDir dir;
    std::vector<uint8_t> blob = std::vector<uint8_t>(4096, 0x5a);
    filled_cache() {
        uint8_t id[16];
        for (int n = 0; n < kEntries; n++) {
            id_of(n, id);
            if (quorvane_blobcache_put(dir.dir.c_str(), id, blob.data(), blob.size(), 1ull << 40) != 0) std::abort();
        }
    }
};

filled_cache &cache() {
    static filled_cache c;
    return c;
}

void BM_BlobCachePut10k(benchmark::State &state) {
    filled_cache &c = cache();
    uint8_t id[16];
    id_of(kEntries, id);  // one more entry, stored again and again
    for (auto _ : state)
        if (quorvane_blobcache_put(c.dir.dir.c_str(), id, c.blob.data(), c.blob.size(), 1ull << 40) != 0)
            state.SkipWithError("put refused");
}

void BM_BlobCacheGet10k(benchmark::State &state) {
    filled_cache &c = cache();
    uint8_t id[16];
    id_of(1234, id);
    std::vector<uint8_t> buf(8192);
    size_t len = 0;
    for (auto _ : state)
        if (quorvane_blobcache_get(c.dir.dir.c_str(), id, buf.data(), buf.size(), &len) != 0) state.SkipWithError("get");
}

void BM_DuSb10k(benchmark::State &state) {
    filled_cache &c = cache();
    for (auto _ : state) benchmark::DoNotOptimize(qv_bench::run({"du", "-sb", c.dir.dir}, nullptr));
}

void BM_ProcessStart(benchmark::State &state) {
    for (auto _ : state) benchmark::DoNotOptimize(qv_bench::run({"du", "--version"}, nullptr));
}

}  // namespace

BENCHMARK(BM_BlobCachePut10k)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BlobCacheGet10k)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DuSb10k)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProcessStart)->Unit(benchmark::kMillisecond);
