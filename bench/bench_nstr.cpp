// N_STR appends against std::string appends of the same pieces. N_STR grows
// exactly (one reallocation per growing append) where std::string doubles, so
// the gap widens with the number of pieces; the presized N_STR shows what a
// caller gains by creating the string at its final size.
#include "n_str.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

namespace {

constexpr char kPiece[] = "abcdefgh";  // 8 bytes, a typical small field
constexpr size_t kPieceLen = sizeof kPiece - 1;

void set_counters(benchmark::State &state, size_t bytes_per_iteration) {
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(state.iterations() * (int64_t)bytes_per_iteration);
}

void BM_NstrCatEx(benchmark::State &state) {
    const size_t pieces = (size_t)state.range(0);
    for (auto _ : state) {
        N_STR *s = nullptr;
        for (size_t i = 0; i < pieces; i++) nstrcat_ex(&s, kPiece, kPieceLen, 1);
        benchmark::DoNotOptimize(s->data);
        free_nstr_nolog(&s);
    }
    set_counters(state, pieces * kPieceLen);
}

void BM_NstrCatBytesEx(benchmark::State &state) {
    const size_t pieces = (size_t)state.range(0);
    for (auto _ : state) {
        N_STR *s = nullptr;
        for (size_t i = 0; i < pieces; i++) nstrcat_bytes_ex(&s, kPiece, kPieceLen);
        benchmark::DoNotOptimize(s->data);
        free_nstr_nolog(&s);
    }
    set_counters(state, pieces * kPieceLen);
}

void BM_NstrCatPresized(benchmark::State &state) {
    const size_t pieces = (size_t)state.range(0);
    for (auto _ : state) {
        N_STR *s = new_nstr(pieces * kPieceLen);
        for (size_t i = 0; i < pieces; i++) nstrcat_ex(&s, kPiece, kPieceLen, 0);
        benchmark::DoNotOptimize(s->data);
        free_nstr_nolog(&s);
    }
    set_counters(state, pieces * kPieceLen);
}

void BM_StdStringAppend(benchmark::State &state) {
    const size_t pieces = (size_t)state.range(0);
    for (auto _ : state) {
        std::string s;
        for (size_t i = 0; i < pieces; i++) s.append(kPiece, kPieceLen);
        benchmark::DoNotOptimize(s.data());
    }
    set_counters(state, pieces * kPieceLen);
}

// Formatted pieces: "%d:%s;" with a counter and the small piece.
void BM_NstrPrintfCatEx(benchmark::State &state) {
    const int pieces = (int)state.range(0);
    size_t bytes = 0;
    for (auto _ : state) {
        N_STR *s = nullptr;
        for (int i = 0; i < pieces; i++) nstrprintf_cat_ex(&s, "%d:%s;", i, kPiece);
        bytes = s->written;
        benchmark::DoNotOptimize(s->data);
        free_nstr_nolog(&s);
    }
    set_counters(state, bytes);
}

// The same pieces formatted into a stack buffer and appended.
void BM_StdStringFormatAppend(benchmark::State &state) {
    const int pieces = (int)state.range(0);
    size_t bytes = 0;
    for (auto _ : state) {
        std::string s;
        char buf[32];
        for (int i = 0; i < pieces; i++) {
            int n = snprintf(buf, sizeof buf, "%d:%s;", i, kPiece);
            s.append(buf, (size_t)n);
        }
        bytes = s.size();
        benchmark::DoNotOptimize(s.data());
    }
    set_counters(state, bytes);
}

}  // namespace

BENCHMARK(BM_NstrCatEx)->RangeMultiplier(8)->Range(8, 32768);
BENCHMARK(BM_NstrCatBytesEx)->RangeMultiplier(8)->Range(8, 32768);
BENCHMARK(BM_NstrCatPresized)->RangeMultiplier(8)->Range(8, 32768);
BENCHMARK(BM_StdStringAppend)->RangeMultiplier(8)->Range(8, 32768);
BENCHMARK(BM_NstrPrintfCatEx)->RangeMultiplier(8)->Range(8, 32768);
BENCHMARK(BM_StdStringFormatAppend)->RangeMultiplier(8)->Range(8, 32768);
