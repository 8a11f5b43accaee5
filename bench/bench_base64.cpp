// Base64 over one 256 MiB file, ours beside coreutils `base64`: each reads
// the file and writes its result to a file on the same disk, so both pay the
// same I/O; the in-memory encode and decode are timed apart. Outputs are
// compared with coreutils' once before anything is timed.
#include "n_base64.h"

#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr size_t FILE_SIZE = 256u << 20;

struct Owned {
    N_STR *s = nullptr;
    ~Owned() { free_nstr_ptr_nolog(s); }
};

// One scratch directory with the plain file and coreutils' encoding of it.
struct Files {
    qv_bench::ScratchDir dir;
    std::string plain = dir.dir + "/plain", coded = dir.dir + "/coded", out = dir.dir + "/out";
    bool ok = false;
    Files() {
        std::mt19937_64 rng(64);
        FILE *f = fopen(plain.c_str(), "wb");
        if (!f) return;
        std::vector<uint64_t> block(1 << 17);
        for (size_t done = 0; done < FILE_SIZE; done += block.size() * 8) {
            for (auto &w : block) w = rng();
            fwrite(block.data(), 8, block.size(), f);
        }
        ok = fclose(f) == 0 && qv_bench::run_to_file({"base64", "-w0", plain}, coded) == 0;
    }
};

Files &files() {
    static Files f;
    return f;
}

bool write_file(const std::string &path, const N_STR *s) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = fwrite(s->data, 1, s->written, f) == s->written;
    return fclose(f) == 0 && ok;
}

bool same_file(const std::string &a, const std::string &b) {
    Owned x{file_to_nstr(a.c_str())}, y{file_to_nstr(b.c_str())};
    return x.s && y.s && x.s->written == y.s->written && memcmp(x.s->data, y.s->data, x.s->written) == 0;
}

// Ours, file to file: read, convert, write.
void BM_OursFile(benchmark::State &state) {
    Files &f = files();
    const bool encode = state.range(0) == 1;
    if (!f.ok) return state.SkipWithError("cannot make the test files");
    const std::string &in = encode ? f.plain : f.coded, &expect = encode ? f.coded : f.plain;
    for (auto _ : state) {
        Owned src{file_to_nstr(in.c_str())};
        Owned dst{src.s ? (encode ? n_base64_encode(src.s) : n_base64_decode(src.s)) : nullptr};
        if (!dst.s || !write_file(f.out, dst.s)) return state.SkipWithError("conversion failed");
    }
    if (!same_file(f.out, expect)) return state.SkipWithError("our output differs from coreutils'");
    state.SetBytesProcessed(state.iterations() * (int64_t)FILE_SIZE);
    state.SetLabel(encode ? "encode, plain bytes/s" : "decode, plain bytes/s");
}

void BM_CoreutilsFile(benchmark::State &state) {
    Files &f = files();
    const bool encode = state.range(0) == 1;
    if (!f.ok) return state.SkipWithError("cannot make the test files");
    const std::vector<std::string> argv =
        encode ? std::vector<std::string>{"base64", "-w0", f.plain} : std::vector<std::string>{"base64", "-d", f.coded};
    for (auto _ : state)
        if (qv_bench::run_to_file(argv, f.out) != 0) return state.SkipWithError("coreutils base64 failed");
    state.SetBytesProcessed(state.iterations() * (int64_t)FILE_SIZE);
    state.SetLabel(encode ? "encode, plain bytes/s" : "decode, plain bytes/s");
}

// In memory only: the conversion itself.
void BM_OursMemory(benchmark::State &state) {
    Files &f = files();
    const bool encode = state.range(0) == 1;
    if (!f.ok) return state.SkipWithError("cannot make the test files");
    Owned src{file_to_nstr((encode ? f.plain : f.coded).c_str())};
    if (!src.s) return state.SkipWithError("cannot read the input");
    for (auto _ : state) {
        Owned dst{encode ? n_base64_encode(src.s) : n_base64_decode(src.s)};
        benchmark::DoNotOptimize(dst.s);
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)FILE_SIZE);
    state.SetLabel(encode ? "encode, plain bytes/s" : "decode, plain bytes/s");
}

}  // namespace

// Argument 1 encodes, 0 decodes.
BENCHMARK(BM_OursFile)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_CoreutilsFile)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_OursMemory)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
