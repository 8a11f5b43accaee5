// Local search and the deep search state machine. A text's snippet is cut
// as a name's is: at most 120 bytes, control bytes as spaces, never inside
// a UTF-8 character.
#include "client_search.h"

#include "quorvane_crypto.h"
#include "quorvane_msg.h"

#include <cctype>
#include <cstring>

namespace {

// The query lowered once, with the locale's mapping taken into a table once,
// for every text it is tested against. One longer than any text is kept at
// 4097 bytes: it is contained nowhere.
struct query {
    unsigned char fold[256];
    unsigned char q[QV_MS_TEXT_MAX + 1];
    size_t n = 0;
    explicit query(const char *s) {
        for (int c = 0; c < 256; c++) fold[c] = static_cast<unsigned char>(tolower(c));
        n = s ? strnlen(s, QV_MS_TEXT_MAX + 1) : 0;
        for (size_t i = 0; i < n; i++) q[i] = fold[static_cast<unsigned char>(s[i])];
    }
    // case-insensitive containment
    bool in(const char *text, size_t len) const {
        if (n == 0 || n > len) return false;
        const auto *t = reinterpret_cast<const unsigned char *>(text);
        const unsigned char first = q[0];
        for (size_t i = 0, last = len - n; i <= last; i++) {
            if (fold[t[i]] != first) continue;
            size_t k = 1;
            while (k < n && fold[t[i + k]] == q[k]) k++;
            if (k == n) return true;
        }
        return false;
    }
};

// The one matching rule of both searches; rec fields given apart so that a
// live message is tested without a copy.
int match(const uint8_t *conv, const uint8_t *author, uint64_t msg_id, uint64_t time, uint8_t type, const char *text,
          size_t len, const query &q, int flags, quorvane_search_hit *hit) {
    if (q.n == 0) return 0;
    auto fill = [&](int kind) {
        memset(hit, 0, sizeof *hit);
        hit->kind = kind;
        memcpy(hit->conv_id, conv, QV_MS_ID_LEN);
        memcpy(hit->author, author, QV_MS_ID_LEN);
        hit->msg_id = msg_id;
        hit->time = time;
    };
    if (type == QV_MS_TYPE_TEXT && (flags & QV_SEARCH_TEXTS)) {
        if (!q.in(text, len)) return 0;
        fill(QV_SEARCH_KIND_TEXT);
        quorvane_search_snippet(hit->snippet, text, len);
        return 1;
    }
    if (type == QV_MS_TYPE_FILE && (flags & QV_SEARCH_FILES)) {
        quorvane_file_meta meta;
        int found = 0;
        if (quorvane_msg_file_decode(reinterpret_cast<const uint8_t *>(text), len, &meta) == 0) {
            size_t nl = strnlen(meta.name, sizeof meta.name), ml = strnlen(meta.mime, sizeof meta.mime);
            if (q.in(meta.name, nl) || q.in(meta.mime, ml)) {
                fill(QV_SEARCH_KIND_FILE);
                if (nl) quorvane_search_snippet(hit->snippet, meta.name, nl);
                else quorvane_search_snippet(hit->snippet, meta.mime, ml);
                found = 1;
            }
        }
        quorvane_cleanse(&meta, sizeof meta);  // carries the blob key
        return found;
    }
    return 0;
}

// Keeps the best cap hits: appended while there is room, else in place of
// the oldest held (the first such) when that is older than the new one.
void keep(quorvane_search_hit *hits, size_t cap, size_t *count, const quorvane_search_hit &h) {
    if (*count < cap) {
        hits[(*count)++] = h;
        return;
    }
    size_t oldest = 0;
    for (size_t i = 1; i < *count; i++)
        if (hits[i].time < hits[oldest].time) oldest = i;
    if (hits[oldest].time < h.time) hits[oldest] = h;
}

// Newest first; equal times keep their order.
void sort_hits(quorvane_search_hit *hits, size_t n) {
    for (size_t i = 1; i < n; i++) {
        quorvane_search_hit h = hits[i];
        size_t j = i;
        while (j > 0 && hits[j - 1].time < h.time) {
            hits[j] = hits[j - 1];
            j--;
        }
        hits[j] = h;
    }
}

// The text of a conversation that matches: the label, else the group name,
// else the first member with a non-empty name that does. Read through a
// 256-byte buffer as the store's getters give them.
bool conv_text_match(quorvane_msgstore *ms, const quorvane_ms_conv &c, const query &q, char *out) {
    char buf[QV_SEARCH_NAME_BUF];
    if (quorvane_msgstore_get_label(ms, c.id, buf, sizeof buf) == 0 && q.in(buf, strlen(buf))) {
        quorvane_search_snippet(out, buf, strlen(buf));
        return true;
    }
    if (quorvane_msgstore_get_group_name(ms, c.id, buf, sizeof buf) == 1 && q.in(buf, strlen(buf))) {
        quorvane_search_snippet(out, buf, strlen(buf));
        return true;
    }
    for (size_t i = 0; i < c.member_count; i++)
        if (quorvane_msgstore_member_name(ms, c.id, c.members[i].user_id, buf, sizeof buf) == 1 && q.in(buf, strlen(buf))) {
            quorvane_search_snippet(out, buf, strlen(buf));
            return true;
        }
    return false;
}

struct arch_walk {
    const query *q;
    int flags;
    quorvane_search_hit *hits;
    size_t cap, *count;
};

// Archived matches come after the live ones of the conversation and only
// fill room that is left: the archive walk cannot rank them.
void arch_visit(void *user, const quorvane_ms_msgrec *r) {
    auto *w = static_cast<arch_walk *>(user);
    if (*w->count >= w->cap) return;
    quorvane_search_hit h;
    if (match(r->conv_id, r->author, r->msg_id, r->time, r->type, r->text, size_t(r->text_len), *w->q, w->flags, &h))
        w->hits[(*w->count)++] = h;
    quorvane_cleanse(&h, sizeof h);
}

void stop(quorvane_deep *d, uint8_t reason) {
    d->running = 0;
    d->stop_reason = reason;
}

bool past(const quorvane_deep *d, uint64_t now) { return d->deadline != 0 && now >= d->deadline; }

quorvane_deep_conv *current(quorvane_deep *d) {
    return d->running && d->current < d->conv_count ? &d->convs[d->current] : nullptr;
}

}  // namespace

size_t quorvane_search_snippet(char *out, const char *src, size_t len) {
    if (!out) return 0;
    size_t n = len;
    if (n > QV_SEARCH_SNIPPET_MAX) {
        n = QV_SEARCH_SNIPPET_MAX;
        // back to the start of the character the cut would split
        while (n > 0 && (static_cast<unsigned char>(src[n]) & 0xC0) == 0x80) n--;
    }
    for (size_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(src[i]);
        out[i] = c < 0x20 ? ' ' : char(c);
    }
    out[n] = '\0';
    return n;
}

int quorvane_search_match(const quorvane_ms_msgrec *rec, const char *q, int flags, quorvane_search_hit *hit) {
    if (!rec || !q || !hit || !*q || rec->text_len > QV_MS_TEXT_MAX) return 0;
    query lq(q);
    return match(rec->conv_id, rec->author, rec->msg_id, rec->time, rec->type, rec->text, size_t(rec->text_len), lq,
                 flags, hit);
}

size_t quorvane_search(quorvane_msgstore *ms, const char *q, int flags, quorvane_search_hit *hits, size_t cap) {
    if (!ms || !q || !hits || cap == 0 || !*q) return 0;
    query lq(q);
    size_t count = 0;
    quorvane_search_hit h;
    for (size_t i = 0; i < quorvane_msgstore_conv_count(ms); i++) {
        const quorvane_ms_conv &c = *quorvane_msgstore_conv_at(ms, i);
        if (flags & QV_SEARCH_CONVS) {
            memset(&h, 0, sizeof h);
            if (conv_text_match(ms, c, lq, h.snippet)) {
                h.kind = QV_SEARCH_KIND_CONV;
                memcpy(h.conv_id, c.id, QV_MS_ID_LEN);
                h.time = c.msg_count ? c.msgs[c.msg_count - 1].time : 0;
                keep(hits, cap, &count, h);
            }
        }
        if (!(flags & (QV_SEARCH_TEXTS | QV_SEARCH_FILES))) continue;
        for (size_t j = 0; j < c.msg_count; j++) {
            const quorvane_ms_msg &m = c.msgs[j];
            if (match(c.id, m.author, m.msg_id, m.time, m.type, m.text, m.text_len, lq, flags, &h))
                keep(hits, cap, &count, h);
        }
        arch_walk w{&lq, flags, hits, cap, &count};
        (void)quorvane_msgstore_archive_scan(ms, c.id, arch_visit, &w);
    }
    quorvane_cleanse(&h, sizeof h);
    sort_hits(hits, count);
    return count;
}

/* ---- deep search ---------------------------------------------------------- */

int quorvane_deep_begin(quorvane_deep *d, const char *q, int kinds, uint32_t page_limit, uint64_t deadline) {
    if (!d || !q || !*q) return -1;
    quorvane_deep_clear(d);
    memcpy(d->query, q, strnlen(q, QV_DEEP_QUERY_MAX));
    d->kinds = kinds & (QV_SEARCH_TEXTS | QV_SEARCH_FILES);
    d->page_limit = page_limit >= 1 && page_limit <= QV_DEEP_PAGE_LIMIT_MAX ? page_limit : QV_DEEP_PAGE_LIMIT_MAX;
    d->deadline = deadline;
    d->running = 1;
    return 0;
}

int quorvane_deep_add_conv(quorvane_deep *d, const uint8_t id[16], uint64_t cursor, uint64_t floor) {
    if (!d || !id) return -1;
    if (d->conv_count >= QV_DEEP_CONV_MAX) return 1;
    quorvane_deep_conv &c = d->convs[d->conv_count++];
    memset(&c, 0, sizeof c);
    memcpy(c.id, id, QV_MS_ID_LEN);
    c.cursor = cursor;
    c.floor = floor;
    // cursor 0 pages from the newest: there is always something to fetch
    c.done = floor != 0 && cursor != 0 && floor + 1 >= cursor;
    return 0;
}

int quorvane_deep_tick(quorvane_deep *d, uint64_t now) {
    if (!d || !d->running) return 0;
    if (past(d, now)) {
        stop(d, QV_DEEP_STOP_DEADLINE);
        return 0;
    }
    return 1;
}

int quorvane_deep_next(quorvane_deep *d, uint64_t now, uint8_t id_out[16], uint64_t *cursor_out) {
    if (!d || !d->running) return 0;
    if (past(d, now)) {
        stop(d, QV_DEEP_STOP_DEADLINE);
        return 0;
    }
    if (d->pages_requested >= d->page_limit) {
        stop(d, QV_DEEP_STOP_LIMIT);
        return 0;
    }
    while (d->current < d->conv_count && d->convs[d->current].done) d->current++;
    if (d->current >= d->conv_count) {
        stop(d, d->some_failed ? QV_DEEP_STOP_SOME_FAILED : QV_DEEP_STOP_DONE);
        return 0;
    }
    const quorvane_deep_conv &c = d->convs[d->current];
    if (id_out) memcpy(id_out, c.id, QV_MS_ID_LEN);
    if (cursor_out) *cursor_out = c.cursor;
    d->pages_requested++;
    return 1;
}

void quorvane_deep_page_done(quorvane_deep *d, uint64_t oldest, int got) {
    quorvane_deep_conv *c = d ? current(d) : nullptr;
    if (!c) return;
    c->pages++;
    c->failures = 0;
    if (got && oldest != 0 && (c->cursor == 0 || oldest < c->cursor)) {
        c->cursor = oldest;
        if ((c->floor != 0 && c->floor + 1 >= c->cursor) || c->pages >= QV_DEEP_CONV_PAGES_MAX) c->done = 1;
    } else {
        c->done = 1;  // no progress: nothing older will come
    }
}

int quorvane_deep_page_failed(quorvane_deep *d) {
    quorvane_deep_conv *c = d ? current(d) : nullptr;
    if (!c) return 0;
    if (++c->failures < QV_DEEP_FAILURES_MAX) return 0;
    c->done = 1;
    d->some_failed = 1;
    return 1;
}

void quorvane_deep_offer(quorvane_deep *d, const quorvane_ms_msgrec *rec) {
    if (!d || !d->running || !rec) return;
    d->scanned++;
    quorvane_search_hit h;
    if (quorvane_search_match(rec, d->query, d->kinds, &h)) {
        d->found++;
        size_t n = size_t(d->hit_count);
        keep(d->hits, QV_DEEP_HIT_MAX, &n, h);
        d->hit_count = n;
    }
    quorvane_cleanse(&h, sizeof h);
}

void quorvane_deep_cancel(quorvane_deep *d) {
    if (d && d->running) stop(d, QV_DEEP_STOP_CANCELLED);
}

void quorvane_deep_offline(quorvane_deep *d) {
    if (d && d->running) stop(d, QV_DEEP_STOP_OFFLINE);
}

// Sorted first, then cut: a copy of the first held hits would be arbitrary
// ones, not the newest.
size_t quorvane_deep_results(const quorvane_deep *d, quorvane_search_hit *out, size_t cap) {
    if (!d || !out || cap == 0) return 0;
    size_t n = d->hit_count < QV_DEEP_HIT_MAX ? size_t(d->hit_count) : QV_DEEP_HIT_MAX;
    quorvane_search_hit all[QV_DEEP_HIT_MAX];
    memcpy(all, d->hits, n * sizeof all[0]);
    sort_hits(all, n);
    size_t k = n < cap ? n : cap;
    memcpy(out, all, k * sizeof all[0]);
    quorvane_cleanse(all, sizeof all);
    return k;
}

const char *quorvane_deep_stop_text(const quorvane_deep *d) {
    if (!d) return "";
    if (d->running) return "Searching older messages\u2026";
    switch (d->stop_reason) {
    case QV_DEEP_STOP_DONE: return "Searched all history the server still holds.";
    case QV_DEEP_STOP_LIMIT: return "Stopped at this search's limit \u2014 older messages were not searched.";
    case QV_DEEP_STOP_DEADLINE: return "Stopped after the time limit \u2014 older messages were not searched.";
    case QV_DEEP_STOP_CANCELLED: return "Stopped.";
    case QV_DEEP_STOP_OFFLINE: return "Connection lost \u2014 older messages were not searched.";
    case QV_DEEP_STOP_SOME_FAILED: return "Some older messages could not be fetched \u2014 this is not all of them.";
    default: return "";
    }
}

void quorvane_deep_clear(quorvane_deep *d) {
    if (d) quorvane_cleanse(d, sizeof *d);
}
