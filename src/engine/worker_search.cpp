// Readers of stored message data (reactions, avatars) and the requests for
// server-kept history: backfill of one conversation and deep search across
// many. The deep search is fed by the pump, which holds only store_mu, so
// every public function here takes both locks (with_store).
#include "worker_internal.h"

#include "client_search.h"
#include "engine_clock.h"

#include <cstdlib>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint64_t DEEP_DEADLINE_MS = 60000;

// The conversations the deep search has finished or already passed.
uint64_t deep_done_count(const quorvane_deep *d) {
    uint64_t n = 0;
    for (uint64_t i = 0; i < d->conv_count && i < QV_DEEP_CONV_MAX; i++) n += d->convs[i].done || i < d->current;
    return n;
}

}  // namespace

/* ---- reactions and avatars ---- */

size_t quorvane_worker_reactions(quorvane_worker *w, const uint8_t conv_id[16], const quorvane_ms_msgrec *msg,
                                 quorvane_ms_reaction_count *out, size_t cap) {
    if (!w || !conv_id || !msg || !out || cap == 0) return 0;
    size_t n = 0;
    with_store(w, [&](quorvane_msgstore *ms) {
        if (ms) n = quorvane_msgstore_reactions(ms, conv_id, msg->author, msg->author_device, msg->msg_id, w->status.user_id, out, cap);
    });
    return n;
}

int quorvane_worker_self_avatar(quorvane_worker *w, quorvane_file_meta *out) {
    if (!w || !out) return 0;
    int r = 0;
    with_store(w, [&](quorvane_msgstore *ms) { r = ms && quorvane_msgstore_get_self_avatar(ms, out) == 1 ? 1 : 0; });
    return r;
}

int quorvane_worker_conv_peer_avatar(quorvane_worker *w, const uint8_t conv_id[16], quorvane_file_meta *out) {
    if (!w || !conv_id || !out) return -1;
    int r = -1;
    with_store(w, [&](quorvane_msgstore *ms) {
        if (ms) r = quorvane_msgstore_get_peer_avatar(ms, conv_id, out);
    });
    return r;
}

int quorvane_worker_conv_group_avatar(quorvane_worker *w, const uint8_t conv_id[16], quorvane_file_meta *out) {
    if (!w || !conv_id || !out) return -1;
    int r = -1;
    with_store(w, [&](quorvane_msgstore *ms) {
        if (ms) r = quorvane_msgstore_get_group_avatar(ms, conv_id, out);
    });
    return r;
}

/* ---- backfill ---- */

int quorvane_worker_backfill(quorvane_worker *w, const uint8_t conv_id[16]) {
    if (!w || !conv_id) return -1;
    bool marked = false;
    uint64_t before = 0;
    with_store(w, [&](quorvane_msgstore *ms) {
        if (!ms || w->backfill_running || w->deep_page_inflight) return;
        const uint64_t oldest = quorvane_msgstore_oldest_cursor(ms, conv_id);
        if (std::memcmp(w->backfill_conv, conv_id, 16) != 0) w->histwin_bf = {};
        before = quorvane_histwin_bf_before(&w->histwin_bf, oldest);
        w->backfill_running = 1;
        std::memcpy(w->backfill_conv, conv_id, 16);
        w->backfill_cursor = before;
        marked = true;
    });
    if (!marked) return -1;
    auto *c = static_cast<quorvane_wcmd *>(std::calloc(1, sizeof(quorvane_wcmd)));
    if (c) {
        c->kind = 49;
        std::memcpy(c->conv, conv_id, 16);
        c->value = before;
    }
    const int rc = c ? cmd_enqueue(w, c) : -1;
    if (rc != 0) {
        // nothing will answer it: the next call must not find one running
        pthread_mutex_lock(&w->mu);
        w->backfill_running = 0;
        pthread_mutex_unlock(&w->mu);
    }
    return rc;
}

int quorvane_worker_backfill_state(quorvane_worker *w, const uint8_t conv_id[16], int *running, int *complete, uint64_t *count) {
    if (!w || !conv_id) return -1;
    pthread_mutex_lock(&w->mu);
    const bool same = std::memcmp(w->backfill_conv, conv_id, 16) == 0;
    if (running) *running = same && w->backfill_running;
    if (complete) *complete = same && !w->backfill_running && w->backfill_complete;
    if (count) *count = w->backfill_revision;
    pthread_mutex_unlock(&w->mu);
    return 0;
}

/* ---- deep search ---- */

int quorvane_worker_deep_search(quorvane_worker *w, const char *query, uint8_t kinds) {
    if (!w || !query || !*query) return -1;
    bool begun = false;
    with_store(w, [&](quorvane_msgstore *ms) {
        if (!ms) return;
        if (!w->deep) w->deep = static_cast<quorvane_deep *>(std::calloc(1, sizeof(quorvane_deep)));
        if (!w->deep || w->deep->running) return;
        if (quorvane_deep_begin(w->deep, query, kinds, 0, cs_wall_ms() + DEEP_DEADLINE_MS) != 0) return;
        w->deep_cancel = 0;
        w->deep_generation++;  // a page still out for an older search is not offered to this one
        w->search_revision++;
        begun = true;
    });
    if (!begun) return -1;
    auto *c = static_cast<quorvane_wcmd *>(std::calloc(1, sizeof(quorvane_wcmd)));
    if (c) c->kind = 50;
    const int rc = c ? cmd_enqueue(w, c) : -1;
    if (rc != 0) {
        // without its conversations it would run to its deadline and block the next
        with_store(w, [&](quorvane_msgstore *) {
            quorvane_deep_cancel(w->deep);
            w->search_revision++;
        });
    }
    return rc;
}

void quorvane_worker_deep_cancel(quorvane_worker *w) {
    if (!w) return;
    with_store(w, [&](quorvane_msgstore *) {
        w->deep_cancel = 1;
        if (w->deep && w->deep->running) {
            quorvane_deep_cancel(w->deep);
            w->search_revision++;
        }
    });
}

int quorvane_worker_deep_state(quorvane_worker *w, int *running, uint64_t *pages, uint64_t *scanned, uint64_t *found, uint64_t *done,
                               uint64_t *total, uint64_t *revision, int *stop_reason) {
    int rc = 0;
    quorvane_deep *d = nullptr;
    uint64_t vals[6] = {};
    int run = 0, reason = 0;
    if (w) {
        with_store(w, [&](quorvane_msgstore *) {
            d = w->deep;
            if (!d) return;
            if (d->running && !quorvane_deep_tick(d, cs_wall_ms())) w->search_revision++;
            run = d->running;
            vals[0] = d->pages_requested;
            vals[1] = d->scanned;
            vals[2] = d->found;
            vals[3] = deep_done_count(d);
            vals[4] = d->conv_count;
            vals[5] = w->search_revision;
            reason = d->stop_reason;
            rc = 1;
        });
    }
    if (running) *running = run;
    uint64_t *outs[] = {pages, scanned, found, done, total, revision};
    for (size_t i = 0; i < 6; i++)
        if (outs[i]) *outs[i] = vals[i];
    if (stop_reason) *stop_reason = reason;
    return rc;
}

size_t quorvane_worker_deep_results(quorvane_worker *w, quorvane_search_hit *out, size_t n) {
    if (!w || !out || n == 0) return 0;
    size_t got = 0;
    with_store(w, [&](quorvane_msgstore *) {
        if (w->deep) got = quorvane_deep_results(w->deep, out, n);
    });
    return got;
}

char *quorvane_worker_deep_status_text(quorvane_worker *w, char *buf, size_t size) {
    if (!buf || size == 0) return buf;
    buf[0] = 0;
    if (!w) return buf;
    with_store(w, [&](quorvane_msgstore *) {
        const char *t = w->deep ? quorvane_deep_stop_text(w->deep) : nullptr;
        if (t) std::snprintf(buf, size, "%s", t);
    });
    return buf;
}
