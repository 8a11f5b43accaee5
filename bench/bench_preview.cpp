// Link previews: finding the first URL in 4 KiB chat texts, beside the
// std::regex search a C++ developer would otherwise write; and extracting a
// preview from every page of Debian's HTML documentation, beside the Python
// extractor the tests compare with (html.parser), timed inside Python on the
// same pages so that starting the interpreter is not counted.
#include "n_url_safe.h"
#include "quorvane_html.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr size_t kChat = 4096;

// Kind 0: words with a link at the end; 1: words only; 2: hostile, a refused
// candidate after another.
std::string chat_text(int kind) {
    std::mt19937 rng(42);
    const char *words[] = {"hello", "the", "meeting", "is", "at", "noon,", "see", "you", "there!", "ok", "\xC3\xA9t\xC3\xA9"};
    std::string t;
    if (kind == 2) {
        while (t.size() < kChat) t += "http://u@h/ https:// ";
    } else {
        while (t.size() < kChat - 64) t += std::string(words[rng() % std::size(words)]) + " ";
        t += kind == 0 ? "(https://example.org/path/to/page?id=42)." : "and that is all for today";
    }
    t.resize(kChat, ' ');
    return t;
}

void BM_UrlFind(benchmark::State &state) {
    const std::string t = chat_text((int)state.range(0));
    char out[1025];
    for (auto _ : state) {
        int r = n_url_safe_find(t.data(), t.size(), out, sizeof out);
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)t.size());
}

void BM_RegexFind(benchmark::State &state) {
    const std::string t = chat_text((int)state.range(0));
    const std::regex re(R"(https?://[^\s"<>\\`]+)", std::regex::icase | std::regex::optimize);
    for (auto _ : state) {
        std::smatch m;
        bool found = std::regex_search(t, m, re);
        benchmark::DoNotOptimize(found);
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)t.size());
}

std::vector<std::string> page_paths() {
    std::vector<std::string> paths;
    FILE *p = popen("find /usr/share/doc -type f \\( -name '*.html' -o -name '*.htm' \\) | sort", "r");
    if (!p) return paths;
    char line[4096];
    while (fgets(line, sizeof line, p)) {
        std::string s(line);
        while (!s.empty() && s.back() == '\n') s.pop_back();
        if (!s.empty()) paths.push_back(s);
    }
    pclose(p);
    return paths;
}

const std::vector<std::string> &pages() {
    static const std::vector<std::string> v = [] {
        std::vector<std::string> out;
        for (const auto &path : page_paths()) {
            std::ifstream f(path, std::ios::binary);
            std::ostringstream s;
            s << f.rdbuf();
            out.push_back(s.str());
        }
        return out;
    }();
    return v;
}

int64_t corpus_bytes() {
    int64_t n = 0;
    for (const auto &p : pages()) n += (int64_t)p.size();
    return n;
}

void BM_ExtractDebianDocs(benchmark::State &state) {
    if (pages().empty()) {
        state.SkipWithError("no HTML pages under /usr/share/doc");
        return;
    }
    quorvane_link_preview out;
    for (auto _ : state) {
        for (const auto &p : pages()) {
            int r = quorvane_html_extract_preview(p.data(), p.size(), &out);
            benchmark::DoNotOptimize(r);
        }
    }
    state.SetBytesProcessed(state.iterations() * corpus_bytes());
    state.counters["pages"] = (double)pages().size();
}

// One pass of the Python extractor over the same pages, timed by Python.
void BM_ExtractDebianDocsPython(benchmark::State &state) {
    const std::string cmd = std::string("/usr/bin/python3 -c '") +
                            "import sys, time, subprocess\n"
                            "sys.path.insert(0, \"" QV_SOURCE_DIR "/tests/scripts\")\n"
                            "import html_preview_ref as r\n"
                            "paths = subprocess.run([\"sh\", \"-c\", \"find /usr/share/doc -type f \\\\( -name \\\"*.html\\\" -o -name \\\"*.htm\\\" \\\\) | sort\"], capture_output=True, text=True).stdout.split()\n"
                            "pages = [open(p, \"rb\").read() for p in paths]\n"
                            "t = time.perf_counter()\n"
                            "for p in pages:\n"
                            "    e = r.Extractor(p); e.feed(e.page); e.close()\n"
                            "print(time.perf_counter() - t)\n'";
    for (auto _ : state) {
        FILE *p = popen(cmd.c_str(), "r");
        double seconds = -1;
        if (p) {
            if (fscanf(p, "%lf", &seconds) != 1) seconds = -1;
            pclose(p);
        }
        if (seconds <= 0) {
            state.SkipWithError("the Python extractor did not run");
            return;
        }
        state.SetIterationTime(seconds);
    }
    state.SetBytesProcessed(state.iterations() * corpus_bytes());
}

}  // namespace

BENCHMARK(BM_UrlFind)->Arg(0)->Arg(1)->Arg(2);
BENCHMARK(BM_RegexFind)->Arg(0)->Arg(1)->Arg(2);
BENCHMARK(BM_ExtractDebianDocs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExtractDebianDocsPython)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
