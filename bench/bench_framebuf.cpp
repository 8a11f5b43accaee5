// Frame reassembly of a connection's byte stream, read 16 KiB at a time as the
// server connection does, against a bare memcpy of the same blocks: the
// reassembly copies every byte once, so memcpy is the floor it should approach.
#include "quorvane_proto.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr size_t kStreamBytes = size_t{256} << 20;
constexpr size_t kReadBlock = 16384;

// Random valid frames, mostly small with a tail of large ones up to 1 MiB.
const std::vector<uint8_t> &stream() {
    static const std::vector<uint8_t> s = [] {
        std::vector<uint8_t> out;
        out.reserve(kStreamBytes + QV_FRAME_MAX_PAYLOAD + QV_FRAME_HEADER_LEN);
        std::mt19937_64 rng(12345);
        while (out.size() < kStreamBytes) {
            const unsigned pick = rng() % 100;
            size_t len = pick < 60   ? rng() % 257
                         : pick < 90 ? 257 + rng() % 16127
                         : pick < 99 ? 16384 + rng() % 245760
                                     : 262144 + rng() % (QV_FRAME_MAX_PAYLOAD - 262144 + 1);
            const size_t at = out.size();
            out.resize(at + QV_FRAME_HEADER_LEN + len);
            size_t n = 0;
            std::vector<uint8_t> payload(len);
            for (size_t i = 0; i < len; i += 8) {
                const uint64_t r = rng();
                std::memcpy(payload.data() + i, &r, std::min<size_t>(8, len - i));
            }
            if (quorvane_frame_encode(static_cast<uint8_t>(rng()), payload.data(), len, out.data() + at,
                                      out.size() - at, &n) != 0)
                std::abort();
        }
        return out;
    }();
    return s;
}

void BM_FramebufReassembly(benchmark::State &state) {
    const std::vector<uint8_t> &s = stream();
    size_t frames = 0;
    for (auto _ : state) {
        quorvane_framebuf fb;
        quorvane_framebuf_init(&fb);
        for (size_t off = 0; off < s.size(); off += kReadBlock) {
            const uint8_t *p = s.data() + off;
            size_t n = std::min(kReadBlock, s.size() - off);
            while (n > 0) {
                const uint8_t *f = nullptr;
                size_t fl = 0;
                const int rc = quorvane_framebuf_consume(&fb, &p, &n, &f, &fl);
                if (rc == 0) {
                    benchmark::DoNotOptimize(f);
                    frames++;
                } else if (rc != -2) {
                    state.SkipWithError("consume failed");
                    break;
                }
            }
        }
        quorvane_framebuf_free(&fb);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.size()));
    state.counters["frames"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}

void BM_Memcpy16K(benchmark::State &state) {
    const std::vector<uint8_t> &s = stream();
    // Destination the size of the largest frame block, written round-robin.
    std::vector<uint8_t> dst(QV_FRAME_MAX_PAYLOAD + QV_FRAME_HEADER_LEN);
    const size_t span = dst.size() / kReadBlock * kReadBlock;
    for (auto _ : state) {
        for (size_t off = 0; off < s.size(); off += kReadBlock) {
            std::memcpy(dst.data() + off % span, s.data() + off, std::min(kReadBlock, s.size() - off));
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.size()));
}

BENCHMARK(BM_FramebufReassembly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy16K)->Unit(benchmark::kMillisecond);

}  // namespace
