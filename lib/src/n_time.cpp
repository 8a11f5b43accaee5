// Sleeps, interval timers and time formats.
#include "n_time.h"

#include "n_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

const char *const month_names[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
// Index 0 is Thursday: day 0 of the epoch, 1970-01-01, was one.
const char *const weekday_names[7] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};
const unsigned month_days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

constexpr int64_t SECS_PER_DAY = 86400;
constexpr int64_t DAYS_PER_ERA = 146097;        // 400 Gregorian years
constexpr int64_t DAYS_0000_03_01_TO_EPOCH = 719468;

struct civil {
    int64_t year;
    unsigned month, day, hour, minute, second, weekday;
};

bool is_leap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// Days to civil date after Howard Hinnant's days_from_civil inverse; 1 when
// the year is 1 to 9999.
int civil_of(int64_t t, int64_t offset, civil *c) {
    int64_t local;
    // Far outside the year range anyway; refuse before the sum can wrap.
    if (__builtin_add_overflow(t, offset, &local)) return 0;
    if (local < N_TIME_MIN_EPOCH || local > N_TIME_MAX_EPOCH) return 0;
    const int64_t days = floor_div(local, SECS_PER_DAY);
    const int64_t sod = local - days * SECS_PER_DAY;
    const int64_t z = days + DAYS_0000_03_01_TO_EPOCH;
    const int64_t era = floor_div(z, DAYS_PER_ERA);
    const int64_t doe = z - era * DAYS_PER_ERA;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    c->day = (unsigned)(doy - (153 * mp + 2) / 5 + 1);
    c->month = (unsigned)(mp < 10 ? mp + 3 : mp - 9);
    c->year = yoe + era * 400 + (c->month <= 2 ? 1 : 0);
    c->hour = (unsigned)(sod / 3600);
    c->minute = (unsigned)(sod % 3600 / 60);
    c->second = (unsigned)(sod % 60);
    c->weekday = (unsigned)(((days % 7) + 7) % 7);
    return c->year >= 1 && c->year <= 9999;
}

// Hinnant's days_from_civil; 1 when every part is in range.
int civil_to_time(int64_t year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second,
                  int64_t *out) {
    if (year < 1 || year > 9999 || month < 1 || month > 12) return 0;
    const unsigned mdays = month == 2 && is_leap(year) ? 29 : month_days[month - 1];
    if (day < 1 || day > mdays || hour > 23 || minute > 59 || second > 59) return 0;
    const int64_t y = month <= 2 ? year - 1 : year;
    const int64_t era = floor_div(y, 400);
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t days = era * DAYS_PER_ERA + doe - DAYS_0000_03_01_TO_EPOCH;
    *out = days * SECS_PER_DAY + hour * 3600 + minute * 60 + second;
    return 1;
}

// 1 when all `count` bytes are decimal digits.
int digits(const char *p, size_t count, unsigned *out) {
    unsigned v = 0;
    for (size_t i = 0; i < count; i++) {
        if (p[i] < '0' || p[i] > '9') return 0;
        v = v * 10 + (unsigned)(p[i] - '0');
    }
    *out = v;
    return 1;
}

bool valid_offset(int64_t offset) { return offset >= -N_TIME_MAX_OFFSET && offset <= N_TIME_MAX_OFFSET && offset % 60 == 0; }

int read_clock(struct timeval *tv) {
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return 0;
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = ts.tv_nsec / 1000;
    return 1;
}

// Measures since the previous reading and restarts there. The part below the
// unit is dropped on purpose (callers poll in loops and compare to limits),
// but from the whole interval: dropping it from the two clock fields apart
// would read 1.1 s as 2 s and end a time-out early.
int64_t reading(N_TIME *timer, int64_t unit_us) {
    if (!read_clock(&timer->current_time)) return 0;
    const int64_t us = ((int64_t)timer->current_time.tv_sec - (int64_t)timer->start_time.tv_sec) * 1000000 +
                       ((int64_t)timer->current_time.tv_usec - (int64_t)timer->start_time.tv_usec);
    timer->delta = us / unit_us;
    timer->start_time = timer->current_time;
    return timer->delta;
}

}  // namespace

void u_sleep(int32_t usec) {
    // A negative time must not turn into a sleep of 71 minutes as an unsigned
    // useconds_t would; a signal must not cut the sleep short.
    if (usec <= 0) return;
    struct timespec left = {usec / 1000000, (long)(usec % 1000000) * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

int PAUSE() {
    fprintf(stdout, "Press enter to continue...");
    fflush(stdout);
    errno = 0;
    int c = getchar();
    if (c != EOF) {
        n_log(LOG_DEBUG, "Enter key was pressed !");
    } else if (errno) {
        n_log(LOG_ERR, "error %s when waiting for a key !", strerror(errno));
    } else {
        n_log(LOG_DEBUG, "No matching characters");
    }
    return printf("\n");
}

int start_HiTimer(N_TIME *timer) {
    N_ASSERT(timer, return 0);
    timer->delta = 0;
    if (!read_clock(&timer->start_time)) return 0;
    timer->current_time = timer->start_time;
    return 1;
}

int64_t get_usec(N_TIME *timer) {
    N_ASSERT(timer, return 0);
    return reading(timer, 1);
}

int64_t get_msec(N_TIME *timer) {
    N_ASSERT(timer, return 0);
    return reading(timer, 1000);
}

int64_t get_sec(N_TIME *timer) {
    N_ASSERT(timer, return 0);
    return reading(timer, 1000000);
}

namespace {

// Fixed-width fields written by hand: every field has a known width once the
// year is within 1 to 9999, and formatting is the hot path of log and header
// writers.
char *put_digits(char *p, unsigned v, int width) {
    for (int i = width - 1; i >= 0; i--, v /= 10) p[i] = (char)('0' + v % 10);
    return p + width;
}

char *put_text(char *p, const char *s) {
    while (*s) *p++ = *s++;
    return p;
}

char *put_time(char *p, const civil &c) {
    p = put_digits(p, c.hour, 2);
    *p++ = ':';
    p = put_digits(p, c.minute, 2);
    *p++ = ':';
    return put_digits(p, c.second, 2);
}

// "Thu, 01 Jan 1970 00:00:00 " in front of the zone.
char *put_imf(char *p, const civil &c) {
    p = put_text(p, weekday_names[c.weekday]);
    p = put_text(p, ", ");
    p = put_digits(p, c.day, 2);
    *p++ = ' ';
    p = put_text(p, month_names[c.month - 1]);
    *p++ = ' ';
    p = put_digits(p, (unsigned)c.year, 4);
    *p++ = ' ';
    p = put_time(p, c);
    *p++ = ' ';
    return p;
}

// "+hhmm" or "+hh:mm"; "-" only for a negative offset.
char *put_zone(char *p, int64_t offset, bool colon) {
    const int64_t a = offset < 0 ? -offset : offset;
    *p++ = offset < 0 ? '-' : '+';
    p = put_digits(p, (unsigned)(a / 3600), 2);
    if (colon) *p++ = ':';
    return put_digits(p, (unsigned)(a % 3600 / 60), 2);
}

}  // namespace

int n_time_http_date(int64_t t, char *buf, size_t size) {
    if (!buf || size < N_TIME_HTTP_DATE_SIZE) return 0;
    civil c;
    if (!civil_of(t, 0, &c)) return 0;
    char *p = put_text(put_imf(buf, c), "GMT");
    *p = '\0';
    return 1;
}

int n_time_rfc2822(int64_t t, int64_t offset, char *buf, size_t size) {
    if (!buf || size < N_TIME_RFC2822_SIZE || !valid_offset(offset)) return 0;
    civil c;
    if (!civil_of(t, offset, &c)) return 0;
    char *p = put_zone(put_imf(buf, c), offset, false);
    *p = '\0';
    return 1;
}

int n_time_rfc3339(int64_t t, int64_t offset, char *buf, size_t size) {
    if (!buf || size < N_TIME_RFC3339_SIZE || !valid_offset(offset)) return 0;
    civil c;
    if (!civil_of(t, offset, &c)) return 0;
    char *p = put_digits(buf, (unsigned)c.year, 4);
    *p++ = '-';
    p = put_digits(p, c.month, 2);
    *p++ = '-';
    p = put_digits(p, c.day, 2);
    *p++ = 'T';
    p = put_zone(put_time(p, c), offset, true);
    *p = '\0';
    return 1;
}

int n_time_parse_http_date(const char *text, size_t len, int64_t *out) {
    if (!text || !out || len != 29) return 0;
    if (text[3] != ',' || text[4] != ' ' || text[7] != ' ' || text[11] != ' ' || text[16] != ' ' ||
        text[25] != ' ' || text[19] != ':' || text[22] != ':' || memcmp(text + 26, "GMT", 3) != 0)
        return 0;
    unsigned month = 0;
    for (unsigned m = 0; m < 12; m++)
        if (memcmp(text + 8, month_names[m], 3) == 0) month = m + 1;
    if (!month) return 0;
    unsigned day, year, hour, minute, second;
    if (!digits(text + 5, 2, &day) || !digits(text + 12, 4, &year) || !digits(text + 17, 2, &hour) ||
        !digits(text + 20, 2, &minute) || !digits(text + 23, 2, &second))
        return 0;
    int64_t t;
    if (!civil_to_time(year, month, day, hour, minute, second, &t)) return 0;
    civil c;
    if (!civil_of(t, 0, &c) || memcmp(text, weekday_names[c.weekday], 3) != 0) return 0;
    *out = t;
    return 1;
}

int n_time_parse_rfc3339(const char *text, size_t len, int64_t *out) {
    if (!text || !out || len < 19) return 0;
    if (text[4] != '-' || text[7] != '-' || (text[10] != 'T' && text[10] != 't' && text[10] != ' ') ||
        text[13] != ':' || text[16] != ':')
        return 0;
    unsigned year, month, day, hour, minute, second;
    if (!digits(text, 4, &year) || !digits(text + 5, 2, &month) || !digits(text + 8, 2, &day) ||
        !digits(text + 11, 2, &hour) || !digits(text + 14, 2, &minute) || !digits(text + 17, 2, &second))
        return 0;
    int64_t offset = 0;
    if (len == 20) {
        if (text[19] != 'Z' && text[19] != 'z') return 0;
    } else if (len == 25) {
        unsigned zh, zm;
        if ((text[19] != '+' && text[19] != '-') || text[22] != ':' || !digits(text + 20, 2, &zh) ||
            !digits(text + 23, 2, &zm) || zh > 23 || zm > 59)
            return 0;
        offset = (int64_t)zh * 3600 + zm * 60;
        if (text[19] == '-') offset = -offset;
    } else if (len != 19) {
        return 0;
    }
    int64_t local;
    if (!civil_to_time(year, month, day, hour, minute, second, &local)) return 0;
    *out = local - offset;
    return 1;
}
