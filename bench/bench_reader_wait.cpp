// How long a screen's reader waits for the worker while a device that was
// off-line takes a 10,000-text backlog (one conversation) through the
// project's server on loopback: a reader that touches the message store
// (both of the worker's locks) and quorvane_worker_get (the mutex alone),
// each called every 50 µs from its own thread. Side by side in one run: the
// batches' files written behind the lock, as the worker does, and written in
// place with the store's lock held across every write and fsync, as it did.
// Figures are counters of one iteration each: a pass is seconds long.
#include <benchmark/benchmark.h>

#include "bench_backlog.h"

namespace {

using namespace qv_backlog;

void store_reader(quorvane_worker *w) {
    static const uint8_t conv[16] = {};
    quorvane_file_meta meta;
    (void)quorvane_worker_conv_group_avatar(w, conv, &meta);
}

void BM_ReaderWait(benchmark::State &state) {
    const size_t convs = static_cast<size_t>(state.range(0));
    const bool in_place = state.range(1) != 0;
    for (auto _ : state) {
        Backlog b;
        qv_worker_write_in_place = in_place;
        clk::time_point t0;
        WorkerPtr w = b.fill_and_start(state, convs, &t0);
        if (!w) return;
        LockProbe reader(w.get(), store_reader);
        LockProbe getter(w.get());
        const bool all = poll_until([&] { return stored_total(w.get()) >= kBacklog; }, 2000);
        const double took = ms_since(t0);
        reader.finish(state, "store_reader");
        getter.finish(state, "get");
        qv_worker_write_in_place = false;
        if (!all) {
            state.SkipWithError("not every message was stored");
            return;
        }
        state.counters["start_to_last_stored_ms"] = took;
    }
    state.SetLabel(std::string(in_place ? "written in place" : "written behind") + ", " + std::to_string(kBacklog) + " texts over " +
                   std::to_string(convs) + " conversation(s)");
}
BENCHMARK(BM_ReaderWait)
    ->Args({1, 0})
    ->Args({1, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
