// Time formatting and parsing per call, ours beside the C library's
// gmtime_r + strftime and strptime + timegm writing and reading the same
// texts (C locale), over one rotating set of times from years 1970 to 2100.
#include "n_time.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr const char *HTTP_FMT = "%a, %d %b %Y %H:%M:%S GMT";
constexpr const char *RFC3339_FMT = "%Y-%m-%dT%H:%M:%S+00:00";

const std::vector<int64_t> &times() {
    static const std::vector<int64_t> t = [] {
        std::mt19937_64 rng(3339);
        std::vector<int64_t> v(4096);
        for (auto &x : v) x = (int64_t)(rng() % 4102444800ULL);
        return v;
    }();
    return t;
}

std::vector<std::string> texts(bool http) {
    std::vector<std::string> v;
    char buf[64];
    for (int64_t t : times()) {
        if (!(http ? n_time_http_date(t, buf, sizeof buf) : n_time_rfc3339(t, 0, buf, sizeof buf))) abort();
        v.emplace_back(buf);
    }
    return v;
}

void BM_OursFormat(benchmark::State &state) {
    const bool http = state.range(0) == 1;
    char buf[64];
    size_t i = 0;
    for (auto _ : state) {
        const int64_t t = times()[i++ & 4095];
        benchmark::DoNotOptimize(http ? n_time_http_date(t, buf, sizeof buf) : n_time_rfc3339(t, 0, buf, sizeof buf));
    }
    state.SetLabel(http ? "HTTP date" : "RFC 3339");
}

void BM_Strftime(benchmark::State &state) {
    const bool http = state.range(0) == 1;
    char buf[64];
    size_t i = 0;
    for (auto _ : state) {
        const time_t t = (time_t)times()[i++ & 4095];
        struct tm tm;
        gmtime_r(&t, &tm);
        benchmark::DoNotOptimize(strftime(buf, sizeof buf, http ? HTTP_FMT : RFC3339_FMT, &tm));
    }
    state.SetLabel(http ? "HTTP date" : "RFC 3339");
}

void BM_OursParse(benchmark::State &state) {
    const bool http = state.range(0) == 1;
    const std::vector<std::string> v = texts(http);
    size_t i = 0;
    int64_t out = 0;
    for (auto _ : state) {
        const std::string &s = v[i++ & 4095];
        if (!(http ? n_time_parse_http_date(s.data(), s.size(), &out) : n_time_parse_rfc3339(s.data(), s.size(), &out)))
            return state.SkipWithError("refused our own text");
        benchmark::DoNotOptimize(out);
    }
    state.SetLabel(http ? "HTTP date" : "RFC 3339");
}

void BM_Strptime(benchmark::State &state) {
    const bool http = state.range(0) == 1;
    const std::vector<std::string> v = texts(http);
    size_t i = 0;
    for (auto _ : state) {
        struct tm tm;
        memset(&tm, 0, sizeof tm);
        if (!strptime(v[i++ & 4095].c_str(), http ? HTTP_FMT : RFC3339_FMT, &tm))
            return state.SkipWithError("strptime refused the text");
        benchmark::DoNotOptimize(timegm(&tm));
    }
    state.SetLabel(http ? "HTTP date" : "RFC 3339");
}

}  // namespace

// Argument 1: HTTP date; 0: RFC 3339.
BENCHMARK(BM_OursFormat)->Arg(1)->Arg(0);
BENCHMARK(BM_Strftime)->Arg(1)->Arg(0);
BENCHMARK(BM_OursParse)->Arg(1)->Arg(0);
BENCHMARK(BM_Strptime)->Arg(1)->Arg(0);
