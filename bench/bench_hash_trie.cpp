// Trie-mode hash tables beside std::map<std::string, int64_t>: puts, gets
// (in shuffled order) and prefix completion of 200,000 random lower-case
// keys. Both sides copy every key they store and every key they return, so
// the figures compare walking a 26-way trie with walking a balanced tree.
// Completion on the map is a lower_bound and a scan while the prefix holds.
#include "n_hash.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr size_t kKeys = 200000;

const std::vector<std::string> &keys() {
    static const std::vector<std::string> k = [] {
        std::mt19937_64 rng(11);
        std::vector<std::string> v;
        for (size_t i = 0; i < kKeys; i++) {
            std::string s(3 + rng() % 8, 'a');
            for (auto &c : s) c = static_cast<char>('a' + rng() % 26);
            v.push_back(s);
        }
        return v;
    }();
    return k;
}

const std::vector<std::string> &shuffled() {
    static const std::vector<std::string> k = [] {
        std::vector<std::string> v = keys();
        std::shuffle(v.begin(), v.end(), std::mt19937_64(12));
        return v;
    }();
    return k;
}

// Two-letter prefixes: about 300 keys each.
const std::vector<std::string> &prefixes() {
    static const std::vector<std::string> p = [] {
        std::vector<std::string> v;
        for (char a = 'a'; a <= 'z'; a++)
            for (char b = 'a'; b <= 'z'; b += 5) v.push_back(std::string{a, b});
        return v;
    }();
    return p;
}

HASH_TABLE *filled_trie() {
    HASH_TABLE *t = new_ht_trie(26, 'a');
    for (size_t i = 0; i < kKeys; i++) ht_put_int(t, keys()[i].c_str(), (int64_t)i);
    return t;
}

std::map<std::string, int64_t> filled_map() {
    std::map<std::string, int64_t> m;
    for (size_t i = 0; i < kKeys; i++) m[keys()[i]] = (int64_t)i;
    return m;
}

void BM_TriePut(benchmark::State &state) {
    for (auto _ : state) {
        HASH_TABLE *t = filled_trie();
        benchmark::DoNotOptimize(t->key_count);
        state.PauseTiming();
        destroy_ht(&t);
        state.ResumeTiming();
    }
    state.SetItemsProcessed((int64_t)state.iterations() * (int64_t)kKeys);
}

void BM_MapPut(benchmark::State &state) {
    for (auto _ : state) {
        auto *m = new std::map<std::string, int64_t>(filled_map());
        benchmark::DoNotOptimize(m->size());
        state.PauseTiming();
        delete m;
        state.ResumeTiming();
    }
    state.SetItemsProcessed((int64_t)state.iterations() * (int64_t)kKeys);
}

void BM_TrieGet(benchmark::State &state) {
    HASH_TABLE *t = filled_trie();
    int64_t sum = 0, v = 0;
    for (auto _ : state)
        for (const auto &k : shuffled()) sum += ht_get_int(t, k.c_str(), &v) ? v : 0;
    benchmark::DoNotOptimize(sum);
    destroy_ht(&t);
    state.SetItemsProcessed((int64_t)state.iterations() * (int64_t)kKeys);
}

void BM_MapGet(benchmark::State &state) {
    const auto m = filled_map();
    int64_t sum = 0;
    for (auto _ : state)
        for (const auto &k : shuffled()) {
            auto it = m.find(k);
            sum += it != m.end() ? it->second : 0;
        }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed((int64_t)state.iterations() * (int64_t)kKeys);
}

// range(0): most results (0 = all).
void BM_TrieComplete(benchmark::State &state) {
    HASH_TABLE *t = filled_trie();
    size_t found = 0;
    for (auto _ : state)
        for (const auto &p : prefixes()) {
            LIST *l = ht_get_completion_list(t, p.c_str(), (size_t)state.range(0));
            found += l ? l->item_count : 0;
            list_destroy(&l);
        }
    destroy_ht(&t);
    state.counters["results_per_prefix"] = (double)found / (double)(state.iterations() * prefixes().size());
    state.SetItemsProcessed((int64_t)(state.iterations() * prefixes().size()));
}

void BM_MapComplete(benchmark::State &state) {
    const auto m = filled_map();
    const size_t most = (size_t)state.range(0);
    size_t found = 0;
    for (auto _ : state)
        for (const auto &p : prefixes()) {
            std::vector<std::string> out{p};
            for (auto it = m.lower_bound(p); it != m.end() && it->first.compare(0, p.size(), p) == 0; ++it) {
                if (most && out.size() >= most) break;
                out.push_back(it->first);
            }
            found += out.size();
            benchmark::DoNotOptimize(out.data());
        }
    state.counters["results_per_prefix"] = (double)found / (double)(state.iterations() * prefixes().size());
    state.SetItemsProcessed((int64_t)(state.iterations() * prefixes().size()));
}

}  // namespace

BENCHMARK(BM_TriePut)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MapPut)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TrieGet)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MapGet)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TrieComplete)->Arg(0)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MapComplete)->Arg(0)->Arg(10)->Unit(benchmark::kMillisecond);
