// IMA ADPCM encode and decode in samples per second, beside sox doing the same
// to a WAV file of the same 60 s of 48 kHz audio (sox's figure includes its
// process start and file I/O, shown apart by timing `sox --version`).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "quorvane_voice.h"

namespace {

constexpr size_t kSamples = 48000 * 60;

const std::vector<int16_t> &audio() {
    static const std::vector<int16_t> s = [] {
        std::vector<int16_t> v(kSamples);
        std::mt19937 rng(5);
        std::normal_distribution<double> noise(0, 2000);
        for (size_t i = 0; i < v.size(); i++)
            v[i] = int16_t(std::lround(std::clamp(9000 * std::sin(2 * M_PI * 440 * double(i) / 48000) + noise(rng),
                                                  -32768.0, 32767.0)));
        return v;
    }();
    return s;
}

void BM_AdpcmEncode(benchmark::State &state) {
    const auto &s = audio();
    std::vector<uint8_t> out(quorvane_adpcm_encoded_len(s.size()));
    for (auto _ : state) benchmark::DoNotOptimize(quorvane_adpcm_encode(s.data(), s.size(), out.data(), out.size()));
    state.counters["samples_per_s"] = benchmark::Counter(double(state.iterations()) * double(s.size()), benchmark::Counter::kIsRate);
}

void BM_AdpcmDecode(benchmark::State &state) {
    const auto &s = audio();
    std::vector<uint8_t> enc(quorvane_adpcm_encoded_len(s.size()));
    if (quorvane_adpcm_encode(s.data(), s.size(), enc.data(), enc.size()) != enc.size()) std::abort();
    std::vector<int16_t> out(s.size());
    for (auto _ : state) benchmark::DoNotOptimize(quorvane_adpcm_decode(enc.data(), enc.size(), out.data(), out.size()));
    state.counters["samples_per_s"] = benchmark::Counter(double(state.iterations()) * double(s.size()), benchmark::Counter::kIsRate);
}

void BM_SoxImaAdpcm(benchmark::State &state) {
    qv_bench::ScratchDir dir;
    const std::string raw = dir.dir + "/in.raw", wav = dir.dir + "/ima.wav", back = dir.dir + "/back.raw";
    {
        std::ofstream f(raw, std::ios::binary);
        f.write(reinterpret_cast<const char *>(audio().data()), std::streamsize(kSamples * 2));
    }
    const std::vector<std::string> enc = {"sox", "-t", "raw", "-r", "48000", "-e", "signed-integer", "-b", "16", "-c", "1",
                                          "-L", raw, "-e", "ima-adpcm", wav};
    const std::vector<std::string> dec = {"sox", wav, "-t", "raw", "-e", "signed-integer", "-b", "16", "-L", back};
    if (qv_bench::run(enc, nullptr) != 0 || qv_bench::run(dec, nullptr) != 0) {
        state.SkipWithError("cannot run sox");
        return;
    }
    double e = 0, d = 0, start = 0;
    for (auto _ : state) {
        e = qv_bench::median_secs(5, [&] { benchmark::DoNotOptimize(qv_bench::run(enc, nullptr)); });
        d = qv_bench::median_secs(5, [&] { benchmark::DoNotOptimize(qv_bench::run(dec, nullptr)); });
        start = qv_bench::median_secs(5, [&] { benchmark::DoNotOptimize(qv_bench::run({"sox", "--version"}, nullptr)); });
    }
    state.counters["sox_encode_samples_per_s"] = double(kSamples) / e;
    state.counters["sox_decode_samples_per_s"] = double(kSamples) / d;
    state.counters["sox_encode_less_start"] = double(kSamples) / (e - start);
    state.counters["sox_decode_less_start"] = double(kSamples) / (d - start);
}

}  // namespace

BENCHMARK(BM_AdpcmEncode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AdpcmDecode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SoxImaAdpcm)->Iterations(1)->Unit(benchmark::kMillisecond);
