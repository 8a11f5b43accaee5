// Sleeps, interval timers and conversions between epoch seconds and three
// text forms: the HTTP date ("Thu, 01 Jan 1970 00:00:00 GMT"), the RFC 2822
// date with a numeric zone and RFC 3339 timestamps. Dates are proleptic
// Gregorian, years 1 to 9999, without leap seconds. Results: 1 success, 0
// failure; a timer reading is the interval itself (0 for a null timer).
// A timer belongs to its caller; everything here is re-entrant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/time.h>

// Intervals are read from the monotonic clock (kept as seconds and
// microseconds), so setting the system time never makes a time-out expire
// early or never.
struct N_TIME {
    int64_t delta;                // the last interval measured, in the unit of that reading
    struct timeval start_time;    // the start, or the previous reading
    struct timeval current_time;  // the previous reading
};

// Smallest buffers the formatters accept (text and terminator).
constexpr size_t N_TIME_HTTP_DATE_SIZE = 30;  // "Thu, 01 Jan 1970 00:00:00 GMT"
constexpr size_t N_TIME_RFC2822_SIZE = 32;    // "Thu, 01 Jan 1970 01:00:00 +0100"
constexpr size_t N_TIME_RFC3339_SIZE = 26;    // "1970-01-01T00:00:00+00:00"
// Zone offsets are whole minutes strictly inside one day either way.
constexpr int64_t N_TIME_MAX_OFFSET = 86399;
// 0001-01-01T00:00:00 and 9999-12-31T23:59:59 UTC, the range every conversion accepts.
constexpr int64_t N_TIME_MIN_EPOCH = -62135596800LL;
constexpr int64_t N_TIME_MAX_EPOCH = 253402300799LL;

// Sleeping and waiting.
void    u_sleep(int32_t usec);                          // a negative or zero time returns at once; resumes after signals
int     PAUSE();                                        // prompts on stdout, reads one character from stdin

// Interval timers: each reading measures since the previous one and restarts
// the timer there; the part below the unit is dropped.
int     start_HiTimer(N_TIME *timer);                   // delta 0, start now; 0 for a null timer or an unreadable clock
int64_t get_usec(N_TIME *timer);
int64_t get_msec(N_TIME *timer);
int64_t get_sec(N_TIME *timer);

// Formatting: the date and time printed are seconds + offset; nothing is
// written unless the whole text fits (the size is checked first).
[[nodiscard]] int n_time_http_date(int64_t t, char *buf, size_t size);                    // UTC, "GMT"
[[nodiscard]] int n_time_rfc2822(int64_t t, int64_t offset, char *buf, size_t size);      // "+0000" for UTC
[[nodiscard]] int n_time_rfc3339(int64_t t, int64_t offset, char *buf, size_t size);      // "+00:00" for UTC, never "Z"

// Parsing: exact forms only (letter case of names matters, no fractional seconds).
[[nodiscard]] int n_time_parse_http_date(const char *text, size_t len, int64_t *out);     // exactly 29 bytes, weekday checked
[[nodiscard]] int n_time_parse_rfc3339(const char *text, size_t len, int64_t *out);       // 19 (UTC), 20 ("Z") or 25 bytes
