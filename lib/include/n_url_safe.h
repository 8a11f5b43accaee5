// Strict URLs for fetching what a message links to: a parser of absolute
// http and https URLs, a parser of an HTTP response head, a resolver of
// redirect and image references against a base URL, and a finder of the
// first URL in a message text. Results: 1 success, 0 failure; a null text,
// record or output (or an output size of 0) gives 0 at once.
// Texts need not be NUL-terminated: exactly the given bytes are examined.
// Everything goes into caller memory: no allocation, no logging, no state.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t N_URL_SAFE_TEXT_MAX     = 1040;   // longest URL text the parser looks at
constexpr size_t N_URL_SAFE_HOST_MAX     = 253;    // a DNS name's longest text form
constexpr size_t N_URL_SAFE_PATH_MAX     = 1024;   // path and query, with the leading "/"
constexpr size_t N_URL_SAFE_HEAD_MAX     = 16384;  // the head must end within this many bytes
constexpr size_t N_URL_SAFE_LOCATION_MAX = 1024;
constexpr size_t N_URL_SAFE_CTYPE_MAX    = 127;

struct N_URL_SAFE {
    int32_t  is_https;                          // 1 for "https://", 0 for "http://"
    uint16_t port;                              // explicit, else 443 or 80
    char     host[N_URL_SAFE_HOST_MAX + 1];     // as written; an IPv6 literal without brackets
    char     path[N_URL_SAFE_PATH_MAX + 1];     // path and query from "/", never the fragment
};

struct N_URL_SAFE_HEAD {
    int32_t  status;                                  // the three-digit status code
    int64_t  content_length;                          // -1 when absent, empty or not plain decimal
    int32_t  chunked;                                 // Transfer-Encoding lists "chunked"
    size_t   head_len;                                // the body starts at this offset
    char     location[N_URL_SAFE_LOCATION_MAX + 1];   // control bytes removed, longer values cut
    char     content_type[N_URL_SAFE_CTYPE_MAX + 1];  // media type, lower case, no parameters
};

static_assert(sizeof(N_URL_SAFE::host) == 254 && sizeof(N_URL_SAFE::path) == 1025);
static_assert(sizeof(N_URL_SAFE_HEAD::location) == 1025 && sizeof(N_URL_SAFE_HEAD::content_type) == 128);

// A refused text leaves the record cleared (head: content_length -1).
[[nodiscard]] int n_url_safe_parse(const char *text, size_t len, N_URL_SAFE *out);
[[nodiscard]] int n_url_safe_head_parse(const char *data, size_t len, N_URL_SAFE_HEAD *out);  // looks at most at 16384 bytes
// out holds the resolved text (NUL-terminated) even when the final parse refuses it.
[[nodiscard]] int n_url_safe_resolve(const char *base, size_t base_len, const char *ref, size_t ref_len, char *out,
                                     size_t out_size);
// out is the empty string unless a URL that n_url_safe_parse accepts was found.
[[nodiscard]] int n_url_safe_find(const char *text, size_t len, char *out, size_t out_size);
