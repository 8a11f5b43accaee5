// Time parsers: the HTTP date and RFC 3339 readers over arbitrary bytes, each
// given an exact-size copy so that a read past the length is caught. An
// accepted HTTP date is canonical: formatting its value gives the same text.
// An accepted RFC 3339 stamp lies in a range the formatter can show at some
// zone, and its UTC form reads back to the same value.
#include "n_time.h"

#include <cstring>
#include <vector>

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::vector<char> text(data, data + size);
    int64_t t = 0;
    if (n_time_parse_http_date(text.data(), size, &t)) {
        char buf[N_TIME_HTTP_DATE_SIZE];
        check(n_time_http_date(t, buf, sizeof buf) == 1);
        check(size == 29 && memcmp(buf, text.data(), 29) == 0);
    }
    if (n_time_parse_rfc3339(text.data(), size, &t)) {
        check(t >= N_TIME_MIN_EPOCH - 86400 && t <= N_TIME_MAX_EPOCH + 86400);
        char buf[N_TIME_RFC3339_SIZE];
        if (n_time_rfc3339(t, 0, buf, sizeof buf)) {
            int64_t back = 0;
            check(n_time_parse_rfc3339(buf, strlen(buf), &back) == 1 && back == t);
        }
    }
    return 0;
}
