// The chat view's per-frame rules beside loops a reader would write first.
// Virtual scroll over 100,000 rows at the newest end, the middle and the oldest
// end of the list (and over the 300 rows of the application's history window),
// beside a straight float loop over every row (the rule read literally); the
// counter per_visible_row is the time of one call divided by the rows it found
// visible. Mention scanning of a 4 KiB text beside a scan that
// lower-cases copies of text and name and tests every position.
#include "client_msgact.h"
#include "client_scroll.h"

#include <benchmark/benchmark.h>

#include <cctype>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr size_t kRows = 100000;
constexpr float  kView = 900;

const std::vector<float> &heights() {
    static const std::vector<float> h = [] {
        std::vector<float> v(kRows);
        std::mt19937 rng(3);
        for (float &x : v) x = 24 + float(rng() % 400) / 2;
        return v;
    }();
    return h;
}

float offset_for(size_t rows, int where) {  // 0 newest end, 1 middle, 2 oldest end
    float sum = 0;
    for (size_t i = 0; i < rows; i++) sum += heights()[i];
    const float over = sum - kView;
    return where == 0 ? 0 : where == 1 ? over / 2 : over;
}

// The rule as written: sum, place the first row, walk every row until the view's bottom.
quorvane_vscroll naive_vscroll(const float *h, size_t n, float view, float offset) {
    quorvane_vscroll r{};
    float s = 0;
    for (size_t i = 0; i < n; i++) s += h[i];
    r.content_height = s;
    float y = s > view ? offset + view - s : offset;
    r.overflow = s > view ? s - view : 0;
    r.first_top = y;
    bool any = false;
    size_t last = 0;
    for (size_t i = 0; i < n && y < view; i++) {
        const float b = y + h[i];
        if (b > 0) {
            if (!any) r.first_top = y, r.first_index = i, any = true;
            last = i;
        }
        y = b;
    }
    if (any) r.visible_count = last - r.first_index + 1;
    return r;
}

template <class F> void run_vscroll(benchmark::State &state, F f) {
    const size_t rows = size_t(state.range(0));
    const float off = offset_for(rows, int(state.range(1)));
    quorvane_vscroll r{};
    for (auto _ : state) {
        r = f(heights().data(), rows, kView, off);
        benchmark::DoNotOptimize(r);
    }
    state.counters["visible"] = double(r.visible_count);
    state.counters["per_visible_row"] =
        benchmark::Counter(double(r.visible_count), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(rows));
}

void BM_VScroll(benchmark::State &state) {
    run_vscroll(state, [](const float *h, size_t n, float v, float o) {
        quorvane_vscroll r;
        quorvane_vscroll_compute(h, n, &r, v, o);
        return r;
    });
}
void BM_VScrollNaive(benchmark::State &state) { run_vscroll(state, naive_vscroll); }

// 4 KiB of chat with an "@" every few words; the name is mentioned once, at the end.
const std::string &chat_text() {
    static const std::string t = [] {
        std::string s;
        std::mt19937 rng(5);
        const char *words[] = {"hello", "@alice", "the", "@bo", "meeting", "at", "@bobcat", "ten,", "ok", "@b"};
        while (s.size() < 4096 - 16) s += std::string(words[rng() % 10]) + " ";
        s += "cc @Bob.";
        return s;
    }();
    return t;
}

int naive_mentions(const std::string &text, const std::string &name) {
    std::string t = text, n = name;
    for (char &c : t) c = char(std::tolower(static_cast<unsigned char>(c)));
    for (char &c : n) c = char(std::tolower(static_cast<unsigned char>(c)));
    for (size_t i = 0; i + n.size() < t.size(); i++) {
        if (t[i] != '@' || (i > 0 && static_cast<unsigned char>(t[i - 1]) > 0x20)) continue;
        if (t.compare(i + 1, n.size(), n) != 0) continue;
        const unsigned char after = static_cast<unsigned char>(t[i + 1 + n.size()]);
        if (after < 0x21 || std::ispunct(after)) return 1;
    }
    return 0;
}

void BM_Mentions(benchmark::State &state) {
    const std::string &t = chat_text();
    for (auto _ : state) benchmark::DoNotOptimize(quorvane_text_mentions(t.c_str(), "bob"));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(t.size()));
}

void BM_MentionsNaive(benchmark::State &state) {
    const std::string &t = chat_text();
    const std::string name = "bob";
    for (auto _ : state) benchmark::DoNotOptimize(naive_mentions(t, name));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(t.size()));
}

}  // namespace

BENCHMARK(BM_VScroll)->Args({kRows, 0})->Args({kRows, 1})->Args({kRows, 2})->Args({300, 0});
BENCHMARK(BM_VScrollNaive)->Args({kRows, 0})->Args({kRows, 1})->Args({kRows, 2})->Args({300, 0});
BENCHMARK(BM_Mentions);
BENCHMARK(BM_MentionsNaive);
