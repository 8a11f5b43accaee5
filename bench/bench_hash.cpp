// Hash-table puts and gets of a million keys beside
// std::unordered_map<std::string, int64_t>. Both containers are sized for the
// keys up front (one bucket per key, outside the timed puts) and copy each
// key, so the figures compare hashing, node allocation and chain walking
// rather than growth policy. Gets visit the keys in a shuffled order so
// neither side reads its memory in insertion order.
#include "n_hash.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

constexpr size_t kKeys = 1000000;

const std::vector<std::string> &keys() {
    static const std::vector<std::string> k = [] {
        std::vector<std::string> v;
        v.reserve(kKeys);
        char buf[32];
        for (size_t i = 0; i < kKeys; i++) {
            snprintf(buf, sizeof buf, "user:%07zu", i);
            v.emplace_back(buf);
        }
        return v;
    }();
    return k;
}

const std::vector<std::string> &shuffled_keys() {
    static const std::vector<std::string> k = [] {
        std::vector<std::string> v = keys();
        std::shuffle(v.begin(), v.end(), std::mt19937_64(7));
        return v;
    }();
    return k;
}

void BM_HtPutInt(benchmark::State &state) {
    const auto &k = keys();
    for (auto _ : state) {
        state.PauseTiming();
        HASH_TABLE *t = new_ht(kKeys);
        state.ResumeTiming();
        for (size_t i = 0; i < kKeys; i++) ht_put_int(t, k[i].c_str(), (int64_t)i);
        benchmark::DoNotOptimize(t->key_count);
        state.PauseTiming();
        destroy_ht(&t);
        state.ResumeTiming();
    }
    state.SetItemsProcessed((int64_t)state.iterations() * (int64_t)kKeys);
}

void BM_UnorderedMapPut(benchmark::State &state) {
    const auto &k = keys();
    for (auto _ : state) {
        state.PauseTiming();
        auto *m = new std::unordered_map<std::string, int64_t>;
        m->reserve(kKeys);
        state.ResumeTiming();
        for (size_t i = 0; i < kKeys; i++) m->emplace(k[i], (int64_t)i);
        benchmark::DoNotOptimize(m->size());
        state.PauseTiming();
        delete m;
        state.ResumeTiming();
    }
    state.SetItemsProcessed((int64_t)state.iterations() * (int64_t)kKeys);
}

// Creating the empty containers, timed apart from the puts: a table makes one
// list per bucket.
void BM_HtNew(benchmark::State &state) {
    for (auto _ : state) {
        HASH_TABLE *t = new_ht(kKeys);
        benchmark::DoNotOptimize(t);
        state.PauseTiming();
        destroy_ht(&t);
        state.ResumeTiming();
    }
}

void BM_UnorderedMapReserve(benchmark::State &state) {
    for (auto _ : state) {
        auto *m = new std::unordered_map<std::string, int64_t>;
        m->reserve(kKeys);
        benchmark::DoNotOptimize(m);
        state.PauseTiming();
        delete m;
        state.ResumeTiming();
    }
}

void BM_HtGetInt(benchmark::State &state) {
    HASH_TABLE *t = new_ht(kKeys);
    for (size_t i = 0; i < kKeys; i++) ht_put_int(t, keys()[i].c_str(), (int64_t)i);
    const auto &k = shuffled_keys();
    for (auto _ : state) {
        int64_t sum = 0, v = 0;
        for (const auto &key : k)
            if (ht_get_int(t, key.c_str(), &v)) sum += v;
        benchmark::DoNotOptimize(sum);
    }
    destroy_ht(&t);
    state.SetItemsProcessed((int64_t)state.iterations() * (int64_t)kKeys);
}

void BM_UnorderedMapGet(benchmark::State &state) {
    std::unordered_map<std::string, int64_t> m;
    m.reserve(kKeys);
    for (size_t i = 0; i < kKeys; i++) m.emplace(keys()[i], (int64_t)i);
    const auto &k = shuffled_keys();
    for (auto _ : state) {
        int64_t sum = 0;
        for (const auto &key : k) {
            auto it = m.find(key);
            if (it != m.end()) sum += it->second;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed((int64_t)state.iterations() * (int64_t)kKeys);
}

}  // namespace

BENCHMARK(BM_HtPutInt)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnorderedMapPut)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HtNew)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnorderedMapReserve)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HtGetInt)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnorderedMapGet)->Unit(benchmark::kMillisecond);
