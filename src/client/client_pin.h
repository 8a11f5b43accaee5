// The pinned static key of each server (trust on first use): one file per
// server holding exactly the 32 raw key bytes, replaced only atomically.
// Results: set 0 written, -1 failed; check 0 first use (key stored now),
// 1 same key, 2 key changed, -1 error. Nothing is logged: the caller reports.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t QV_PIN_LEN = 32;

[[nodiscard]] int quorvane_pin_set(const char *path, const uint8_t key[32]);    // the server directory must exist
[[nodiscard]] int quorvane_pin_check(const char *path, const uint8_t key[32]);  // only a missing file is a first use
