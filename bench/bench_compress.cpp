// Compressed strings beside what a user would otherwise run on the same
// files: our LZ4 wrappers beside `lz4 -b1` (the same library at the same
// level, its own timing loop), our zlib wrappers beside Python's zlib at level
// 6 (the default level we use). Each benchmark writes one file into a scratch
// directory, times our compression and decompression of it (the median of
// several rounds), runs the other tool on that very file, and reports MB/s
// (10^6 bytes, as lz4 counts them) and the ratio, original / compressed, for
// both. Files: the repository's own sources (text), this program (machine
// code), and random bytes.
#include "n_lz4.h"
#include "n_zlib.h"

#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <string>

namespace {

std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// range(0): 0 the repository's sources, 1 this program, 2 random bytes.
std::string sample(int which) {
    if (which == 1) return slurp("/proc/self/exe");
    if (which == 2) {
        std::mt19937_64 rng(5);
        std::string s(4 << 20, '\0');
        for (auto &c : s) c = static_cast<char>(rng());
        return s;
    }
    std::string all;
    for (const char *dir : {"lib", "src", "tests"})
        for (const auto &e : std::filesystem::recursive_directory_iterator(std::string(QV_SOURCE_DIR) + "/" + dir)) {
            const auto ext = e.path().extension();
            if (e.is_regular_file() && (ext == ".cpp" || ext == ".h" || ext == ".py")) all += slurp(e.path());
        }
    return all;
}

const char *sample_name(int which) { return which == 0 ? "sources" : which == 1 ? "program" : "random"; }

struct Ours {
    double c_mbps = 0, d_mbps = 0, ratio = 0;
};

// Times one compressor and its decompressor on the content, checking that the
// bytes come back.
Ours time_ours(benchmark::State &state, const std::string &bytes, N_STR *(*zip)(N_STR *), N_STR *(*unzip)(N_STR *)) {
    Ours r;
    N_STR *src = nullptr;
    if (!char_to_nstr_ex(bytes.data(), bytes.size(), &src)) {
        state.SkipWithError("cannot make the source string");
        return r;
    }
    N_STR *packed = zip(src);
    N_STR *back = packed ? unzip(packed) : nullptr;
    if (!back || back->written != bytes.size() || memcmp(back->data, bytes.data(), bytes.size()) != 0) {
        state.SkipWithError("our round trip failed");
    } else {
        const double c = qv_bench::median_secs(9, [&] {
            N_STR *p = zip(src);
            free_nstr_nolog(&p);
        });
        const double d = qv_bench::median_secs(9, [&] {
            N_STR *p = unzip(packed);
            free_nstr_nolog(&p);
        });
        r = {bytes.size() / c / 1e6, bytes.size() / d / 1e6, (double)bytes.size() / (double)packed->written};
    }
    free_nstr_nolog(&back);
    free_nstr_nolog(&packed);
    free_nstr_nolog(&src);
    return r;
}

// Runs a shell command and returns what it printed on both streams.
std::string shell(benchmark::State &state, const std::string &cmd) {
    std::string out;
    if (qv_bench::run({"sh", "-c", cmd + " 2>&1"}, &out) != 0) state.SkipWithError(("cannot run: " + cmd).c_str());
    return out;
}

void BM_Lz4BesideCli(benchmark::State &state) {
    qv_bench::ScratchDir dir;
    const std::string bytes = sample((int)state.range(0));
    const std::string path = dir.dir + "/" + sample_name((int)state.range(0));
    std::ofstream(path, std::ios::binary) << bytes;
    Ours ours;
    std::smatch m;
    std::string printed;
    for (auto _ : state) {
        ours = time_ours(state, bytes, zip4_nstr, unzip4_nstr);
        printed = shell(state, "lz4 -b1 -i1 '" + path + "'");
    }
    // the last line of its progress: "N -> M (ratio), C MB/s , D MB/s"
    static const std::regex line(R"((\d+) ->\s*(\d+) \(([\d.]+)\),\s*([\d.]+) MB/s ,\s*([\d.]+) MB/s)");
    std::string last;
    for (auto it = std::sregex_iterator(printed.begin(), printed.end(), line); it != std::sregex_iterator(); ++it)
        last = it->str();
    if (last.empty() || !std::regex_search(last, m, line)) {
        state.SkipWithError("cannot read lz4 -b1's figures");
        return;
    }
    state.counters["ours_c_MBps"] = ours.c_mbps;
    state.counters["ours_d_MBps"] = ours.d_mbps;
    state.counters["ours_ratio"] = ours.ratio;
    state.counters["lz4cli_c_MBps"] = std::stod(m[4]);
    state.counters["lz4cli_d_MBps"] = std::stod(m[5]);
    state.counters["lz4cli_ratio"] = std::stod(m[1]) / std::stod(m[2]);
    state.counters["MB"] = bytes.size() / 1e6;
}

void BM_ZlibBesidePython6(benchmark::State &state) {
    qv_bench::ScratchDir dir;
    const std::string bytes = sample((int)state.range(0));
    const std::string path = dir.dir + "/" + sample_name((int)state.range(0));
    std::ofstream(path, std::ios::binary) << bytes;
    // the same median-of-9 timing, in Python, around zlib.compress(data, 6)
    const std::string py =
        "import sys, time, zlib\n"
        "d = open(sys.argv[1], 'rb').read()\n"
        "def med(f):\n"
        "    f(); t = []\n"
        "    for _ in range(9):\n"
        "        s = time.perf_counter(); f(); t.append(time.perf_counter() - s)\n"
        "    return sorted(t)[4]\n"
        "c = zlib.compress(d, 6)\n"
        "assert zlib.decompress(c) == d\n"
        "print(len(d) / med(lambda: zlib.compress(d, 6)) / 1e6, len(d) / med(lambda: zlib.decompress(c)) / 1e6,"
        " len(d) / len(c))\n";
    const std::string script = dir.dir + "/zlib6.py";
    std::ofstream(script) << py;
    Ours ours;
    std::string printed;
    for (auto _ : state) {
        ours = time_ours(state, bytes, zip_nstr, unzip_nstr);
        printed = shell(state, "/usr/bin/python3 '" + script + "' '" + path + "'");
    }
    std::istringstream words(printed);
    double c = 0, d = 0, ratio = 0;
    if (!(words >> c >> d >> ratio)) {
        state.SkipWithError(("cannot read Python's figures: " + printed).c_str());
        return;
    }
    state.counters["ours_c_MBps"] = ours.c_mbps;
    state.counters["ours_d_MBps"] = ours.d_mbps;
    state.counters["ours_ratio"] = ours.ratio;
    state.counters["py6_c_MBps"] = c;
    state.counters["py6_d_MBps"] = d;
    state.counters["py6_ratio"] = ratio;
    state.counters["MB"] = bytes.size() / 1e6;
}

}  // namespace

BENCHMARK(BM_Lz4BesideCli)->DenseRange(0, 2)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibBesidePython6)->DenseRange(0, 2)->Iterations(1)->Unit(benchmark::kMillisecond);
