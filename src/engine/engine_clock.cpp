#include "engine_clock.h"

#include <ctime>

namespace {

uint64_t monotonic_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

#ifdef QV_ENGINE_TEST_HOOKS
quorvane_engine_clock_fn g_clock = nullptr;
#endif

}  // namespace

uint64_t quorvane_engine_now_ms() {
#ifdef QV_ENGINE_TEST_HOOKS
    if (g_clock) return g_clock();
#endif
    return monotonic_ms();
}

#ifdef QV_ENGINE_TEST_HOOKS
void quorvane_engine_set_clock(quorvane_engine_clock_fn fn) { g_clock = fn; }
#endif
