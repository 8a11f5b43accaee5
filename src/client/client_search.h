// Local search over what the message store holds (live messages, each
// conversation's archive, conversation names) and the deep search state
// machine that pages older history from the server and tests each fetched
// message. Hits live in the caller's arrays; a deep search state is the
// caller's and holds plaintext snippets: clear it with quorvane_deep_clear.
// Results: counts, or 1/0 for yes/no, unless a line says otherwise.
#pragma once

#include "client_msgstore.h"

#include <cstddef>
#include <cstdint>

constexpr size_t   QV_SEARCH_SNIPPET_MAX  = 120;
constexpr int      QV_SEARCH_TEXTS = 1, QV_SEARCH_FILES = 2, QV_SEARCH_CONVS = 4;  // flag bits
constexpr int      QV_SEARCH_KIND_TEXT = 0, QV_SEARCH_KIND_FILE = 1, QV_SEARCH_KIND_CONV = 2;
constexpr size_t   QV_SEARCH_NAME_BUF     = 256;  // conversation texts are read in buffers of this size

constexpr size_t   QV_DEEP_QUERY_MAX      = 120;
constexpr size_t   QV_DEEP_CONV_MAX       = 64;
constexpr size_t   QV_DEEP_HIT_MAX        = 64;
constexpr uint32_t QV_DEEP_PAGE_LIMIT_MAX = 200;  // also the limit when none (0) or a wrong one is given
constexpr uint32_t QV_DEEP_CONV_PAGES_MAX = 40;   // a conversation is finished after this many pages
constexpr uint8_t  QV_DEEP_FAILURES_MAX   = 3;    // failures in a row that give a conversation up

// Stop reasons; 0 while running or never begun.
constexpr uint8_t QV_DEEP_STOP_DONE = 1, QV_DEEP_STOP_LIMIT = 2, QV_DEEP_STOP_DEADLINE = 3, QV_DEEP_STOP_CANCELLED = 4,
                  QV_DEEP_STOP_OFFLINE = 5, QV_DEEP_STOP_SOME_FAILED = 6;

struct quorvane_search_hit {
    int32_t  kind;                             // QV_SEARCH_KIND_*
    uint8_t  conv_id[QV_MS_ID_LEN];
    uint8_t  author[QV_MS_ID_LEN];             // zero for a conversation
    uint64_t msg_id;                           // zero for a conversation
    uint64_t time;                             // ms; a conversation's last message, 0 none; the ranking key
    char     snippet[QV_SEARCH_SNIPPET_MAX + 1];
    uint64_t extra;                            // 0 here; carried along unchanged
};

struct quorvane_deep_conv {
    uint8_t  id[QV_MS_ID_LEN];
    uint64_t cursor;                           // fetch older than this server position; 0 from the newest
    uint64_t floor;                            // oldest position the server holds; 0 not known
    uint32_t pages;
    uint8_t  done;
    uint8_t  failures;                         // in a row
};

struct quorvane_deep {
    char                query[QV_DEEP_QUERY_MAX + 1];
    int32_t             kinds;                 // QV_SEARCH_TEXTS | QV_SEARCH_FILES at most
    quorvane_deep_conv  convs[QV_DEEP_CONV_MAX];
    uint64_t            conv_count;
    uint64_t            current;
    uint32_t            pages_requested;
    uint32_t            page_limit;
    uint64_t            deadline;              // ms since the epoch; 0 none
    uint64_t            scanned, found;
    uint64_t            hit_count;
    quorvane_search_hit hits[QV_DEEP_HIT_MAX];
    uint8_t             running;
    uint8_t             stop_reason;
    uint8_t             some_failed;
};

// Local search
// - case-insensitive containment with the locale's byte lower-case mapping;
//   an empty query is contained nowhere.
size_t quorvane_search(quorvane_msgstore *ms, const char *query, int flags, quorvane_search_hit *hits,
                       size_t cap);  // hits written, newest first
int    quorvane_search_match(const quorvane_ms_msgrec *rec, const char *query, int flags, quorvane_search_hit *hit);
size_t quorvane_search_snippet(char *out, const char *src, size_t len);  // bytes written (at most 120), never a split character

// Deep search
// - after a stop every call but begin, tick, results and stop_text does nothing.
int         quorvane_deep_begin(quorvane_deep *d, const char *query, int kinds, uint32_t page_limit,
                                uint64_t deadline);  // 0; -1 missing state or empty query
int         quorvane_deep_add_conv(quorvane_deep *d, const uint8_t id[16], uint64_t cursor,
                                   uint64_t floor);  // 0; 1 when 64 are held; -1 missing arguments
int         quorvane_deep_tick(quorvane_deep *d, uint64_t now);  // 1 running and before the deadline
int         quorvane_deep_next(quorvane_deep *d, uint64_t now, uint8_t id_out[16], uint64_t *cursor_out);  // 1 a page to ask for
void        quorvane_deep_page_done(quorvane_deep *d, uint64_t oldest, int got);
int         quorvane_deep_page_failed(quorvane_deep *d);  // 1 the conversation was given up
void        quorvane_deep_offer(quorvane_deep *d, const quorvane_ms_msgrec *rec);
void        quorvane_deep_cancel(quorvane_deep *d);
void        quorvane_deep_offline(quorvane_deep *d);
size_t      quorvane_deep_results(const quorvane_deep *d, quorvane_search_hit *out, size_t cap);  // the newest, newest first
const char *quorvane_deep_stop_text(const quorvane_deep *d);
void        quorvane_deep_clear(quorvane_deep *d);  // wipes: hits carry plaintext
