// Atomic replacement of a file against the bare sequence a caller would write
// by hand (open, write, fsync, close, rename) on the same disk. Both sync
// every write, so the difference is what stdio, the exact-mode fchmod and the
// cleanup bookkeeping cost on top of the sync that dominates both.
#include "n_files.h"

#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

using Scratch = qv_bench::ScratchDir;

void BM_FileWriteAtomic(benchmark::State &state) {
    Scratch s;
    std::string target = s.dir + "/target", data((size_t)state.range(0), 'q');
    for (auto _ : state) {
        if (!n_file_write_atomic(target.c_str(), data.data(), data.size(), 0600)) {
            state.SkipWithError("n_file_write_atomic failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

int bare_write(const std::string &target, const std::string &tmp, const std::string &data) {
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return 0;
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n <= 0) break;
        done += (size_t)n;
    }
    int ok = done == data.size() && fsync(fd) == 0;
    if (close(fd) != 0) ok = 0;
    return ok && rename(tmp.c_str(), target.c_str()) == 0;
}

void BM_BareWriteFsyncRename(benchmark::State &state) {
    Scratch s;
    std::string target = s.dir + "/target", tmp = target + ".tmp", data((size_t)state.range(0), 'q');
    for (auto _ : state) {
        if (!bare_write(target, tmp, data)) {
            state.SkipWithError("bare write failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(BM_FileWriteAtomic)->Arg(4096)->Arg(1 << 20)->UseRealTime();
BENCHMARK(BM_BareWriteFsyncRename)->Arg(4096)->Arg(1 << 20)->UseRealTime();
