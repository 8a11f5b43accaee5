// The engine's clock: milliseconds of the monotonic clock, so that a step of
// the wall clock neither fires nor hides a time-out. A test build can replace
// it to run 15-second and 30-second cases without waiting.
#pragma once

#include <cstdint>

[[nodiscard]] uint64_t quorvane_engine_now_ms();

#ifdef QV_ENGINE_TEST_HOOKS
using quorvane_engine_clock_fn = uint64_t (*)();
void quorvane_engine_set_clock(quorvane_engine_clock_fn fn);  // null: the monotonic clock again
#endif
