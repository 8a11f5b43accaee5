// The toolkit's text-width cache beside asking Allegro every time, on the
// short strings a redrawn interface measures each frame (DejaVu Sans at
// 16 px, no display: fonts and widths work headless); the cache's miss rate
// when a frame shows more distinct strings than it has slots; and building
// 50 windows of 50 widgets, then finding every widget by its id, beside a
// std::unordered_map<int, N_GUI_WIDGET *> of the same ids.
#include "n_gui.h"
#include "n_gui_text.h"

#include <allegro5/allegro_ttf.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

ALLEGRO_FONT *font16() {
    static ALLEGRO_FONT *f = [] {
        unsetenv("DISPLAY");  // nothing here needs a display
        al_install_system(ALLEGRO_VERSION_INT, nullptr);
        al_init_font_addon();
        al_init_ttf_addon();
        return al_load_ttf_font("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 16, 0);
    }();
    return f;
}

// Texts of the kind a messenger's screens show: names, buttons, times,
// previews; the same every run.
std::vector<std::string> ui_strings(size_t n) {
    static const char *first[] = {"Alice", "Bob", "Zoë", "Marta", "Ravi", "Chen", "Olu", "Ines", "Tomás", "Yuki"};
    static const char *words[] = {"Send",   "Cancel", "Settings", "Devices", "Back up", "Search", "Reply",   "Edit",
                                  "Delete", "Mute",   "Pinned",   "typing",  "online",  "photo",  "message", "channel",
                                  "group",  "invite", "sealed",   "draft",   "today",   "seen",   "unread",  "voice"};
    std::mt19937 rng(34);
    std::vector<std::string> out;
    char buf[96];
    for (size_t i = 0; i < n; i++) {
        switch (i % 4) {
        case 0: snprintf(buf, sizeof buf, "%s %s %zu", first[rng() % 10], words[rng() % 24], i); break;
        case 1: snprintf(buf, sizeof buf, "%02u:%02u · %s", unsigned(rng() % 24), unsigned(rng() % 60), words[rng() % 24]); break;
        case 2: snprintf(buf, sizeof buf, "%s %zu", words[rng() % 24], i); break;
        default: snprintf(buf, sizeof buf, "%s: %s %s %s", first[rng() % 10], words[rng() % 24], words[rng() % 24], words[rng() % 24]); break;
        }
        out.emplace_back(buf);
    }
    return out;
}

void BM_TextWidthAllegro(benchmark::State &state) {
    ALLEGRO_FONT *f = font16();
    const std::vector<std::string> texts = ui_strings(300);
    for (auto _ : state)
        for (const std::string &t : texts) benchmark::DoNotOptimize(al_get_text_width(f, t.c_str()));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * texts.size()));
}
BENCHMARK(BM_TextWidthAllegro);

// The cached widths of a frame of n strings, measured once before timing:
// with 300 the figure beside BM_TextWidthAllegro, with 1200 (more strings
// than slots) the miss rate of a steady frame.
void BM_TextWidthCached(benchmark::State &state) {
    ALLEGRO_FONT *f = font16();
    const std::vector<std::string> texts = ui_strings(static_cast<size_t>(state.range(0)));
    n_gui_text_cache_clear();
    for (const std::string &t : texts) _text_w(f, t.c_str());
    _ngui_meas_hits = _ngui_meas_misses = 0;
    for (auto _ : state)
        for (const std::string &t : texts) benchmark::DoNotOptimize(_text_w(f, t.c_str()));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * texts.size()));
    const double lookups = static_cast<double>(_ngui_meas_hits + _ngui_meas_misses);
    state.counters["miss_rate"] = lookups > 0 ? static_cast<double>(_ngui_meas_misses) / lookups : 0;
    size_t long_ones = 0;
    for (const std::string &t : texts) long_ones += t.size() >= N_GUI_MEAS_TEXT_MAX;
    state.counters["uncached_texts"] = static_cast<double>(long_ones);
}
BENCHMARK(BM_TextWidthCached)->Arg(300)->Arg(1200);

constexpr int kWindows = 50, kWidgets = 50;

// Fifty windows of fifty widgets of the common kinds; returns the ids.
std::vector<int> build(N_GUI_CTX *ctx) {
    std::vector<int> ids;
    ids.reserve(kWindows * kWidgets);
    for (int w = 0; w < kWindows; w++) {
        char title[32];
        snprintf(title, sizeof title, "window %d", w);
        const int win = n_gui_add_window(ctx, title, 10, 10, 400, 600);
        for (int i = 0; i < kWidgets; i++) {
            const float y = static_cast<float>(i) * 12;
            int id;
            switch (i % 4) {
            case 0: id = n_gui_add_label(ctx, win, "Label", 0, 4, y, 100, 10); break;
            case 1: id = n_gui_add_button(ctx, win, "OK", 0, nullptr, nullptr, 4, y, 60, 10); break;
            case 2: id = n_gui_add_checkbox(ctx, win, "Option", 0, nullptr, nullptr, 4, y, 100, 10); break;
            default: id = n_gui_add_textarea(ctx, win, 0, 64, nullptr, nullptr, 4, y, 100, 10); break;
            }
            ids.push_back(id);
        }
    }
    return ids;
}

void BM_Build50x50(benchmark::State &state) {
    for (auto _ : state) {
        N_GUI_CTX *ctx = n_gui_new_ctx(font16());
        benchmark::DoNotOptimize(build(ctx));
        n_gui_destroy_ctx(&ctx);
    }
    state.SetItemsProcessed(state.iterations() * kWindows * kWidgets);
}
BENCHMARK(BM_Build50x50)->Unit(benchmark::kMicrosecond);

void BM_LookupById(benchmark::State &state) {
    N_GUI_CTX *ctx = n_gui_new_ctx(font16());
    std::vector<int> ids = build(ctx);
    std::shuffle(ids.begin(), ids.end(), std::mt19937(50));
    for (auto _ : state)
        for (int id : ids) benchmark::DoNotOptimize(n_gui_get_widget(ctx, id));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * ids.size()));
    n_gui_destroy_ctx(&ctx);
}
BENCHMARK(BM_LookupById);

void BM_LookupUnorderedMap(benchmark::State &state) {
    N_GUI_CTX *ctx = n_gui_new_ctx(font16());
    std::vector<int> ids = build(ctx);
    std::unordered_map<int, N_GUI_WIDGET *> map;
    map.reserve(ids.size());
    for (int id : ids) map.emplace(id, n_gui_get_widget(ctx, id));
    std::shuffle(ids.begin(), ids.end(), std::mt19937(50));
    for (auto _ : state)
        for (int id : ids) benchmark::DoNotOptimize(map.find(id)->second);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * ids.size()));
    n_gui_destroy_ctx(&ctx);
}
BENCHMARK(BM_LookupUnorderedMap);

}  // namespace
