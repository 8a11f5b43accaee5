#include "client_scroll.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr size_t BLOCK = 16;  // rows passed at once on the way to the visible ones

// Sums of heights in double, so 100,000 rows lose nothing a float could show.
// `irregular` is set when a height is negative or NaN: only with every height
// >= 0 do the rows' tops never decrease, which the shortcuts below rely on.
#if defined(__SSE2__)
struct dsum {
    __m128d a0 = _mm_setzero_pd(), a1 = _mm_setzero_pd(), a2 = _mm_setzero_pd(), a3 = _mm_setzero_pd();
    __m128  bad = _mm_setzero_ps();
    void add8(const float *h) {
        const __m128 x = _mm_loadu_ps(h), y = _mm_loadu_ps(h + 4), zero = _mm_setzero_ps();
        bad = _mm_or_ps(bad, _mm_or_ps(_mm_cmpnge_ps(x, zero), _mm_cmpnge_ps(y, zero)));
        a0 = _mm_add_pd(a0, _mm_cvtps_pd(x));
        a1 = _mm_add_pd(a1, _mm_cvtps_pd(_mm_movehl_ps(x, x)));
        a2 = _mm_add_pd(a2, _mm_cvtps_pd(y));
        a3 = _mm_add_pd(a3, _mm_cvtps_pd(_mm_movehl_ps(y, y)));
    }
    double total(bool *irregular) const {
        const __m128d t = _mm_add_pd(_mm_add_pd(a0, a1), _mm_add_pd(a2, a3));
        if (_mm_movemask_ps(bad)) *irregular = true;
        return _mm_cvtsd_f64(t) + _mm_cvtsd_f64(_mm_unpackhi_pd(t, t));
    }
};
#else
struct dsum {
    double a[8] = {};
    bool   bad = false;
    void add8(const float *h) {
        for (size_t k = 0; k < 8; k++) {
            bad |= !(h[k] >= 0.0f);
            a[k] += h[k];
        }
    }
    double total(bool *irregular) const {
        if (bad) *irregular = true;
        return ((a[0] + a[1]) + (a[2] + a[3])) + ((a[4] + a[5]) + (a[6] + a[7]));
    }
};
#endif

double sum_heights(const float *h, size_t n, bool *irregular) {
    dsum d, e;  // two sets of sums, so eight adds are in flight
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        d.add8(h + i);
        e.add8(h + i + 8);
    }
    if (i + 8 <= n) {
        d.add8(h + i);
        i += 8;
    }
    double s = d.total(irregular) + e.total(irregular);
    for (; i < n; i++) {
        if (!(h[i] >= 0.0f)) *irregular = true;
        s += h[i];
    }
    return s;
}

double block_sum(const float *h) {
    dsum d;
    d.add8(h);
    d.add8(h + 8);
    bool ignored = false;
    return d.total(&ignored);
}

struct visible {
    bool   any = false;
    size_t first = 0, last = 0;
    double first_top = 0;
};

// Row by row from `i`, whose top is y, until a top reaches the view's bottom:
// the rule itself, and the only walk for irregular heights.
void walk_down(const float *h, size_t n, size_t i, double y, double view, visible *r) {
    for (; i < n && y < view; i++) {
        const double bottom = y + h[i];
        if (bottom > 0) {
            if (!r->any) {
                r->first_top = y;
                r->first = i;
                r->any = true;
            }
            r->last = i;
        }
        y = bottom;
    }
}

// From the top: whole blocks that end at or above the view's top are passed.
void from_top(const float *h, size_t n, double y, double view, visible *r) {
    size_t i = 0;
    for (; i + BLOCK <= n; i += BLOCK) {
        const double end = y + block_sum(h + i);
        if (end > 0 || end >= view) break;
        y = end;
    }
    walk_down(h, n, i, y, view, r);
}

// From the bottom, for content laid out up from `base` (the bottom of the last
// row): rows whose top is at or below the view's bottom are passed, whole blocks
// first, then the visible ones are walked up to the first whose bottom is at or
// above the view's top. Row i's top is base minus the heights from i to the end.
void from_bottom(const float *h, size_t n, double base, double view, visible *r) {
    size_t end = n;
    double below = 0;  // heights of the rows from `end` on
    while (end >= BLOCK) {
        const double more = below + block_sum(h + end - BLOCK);
        if (base - more < view) break;
        below = more;
        end -= BLOCK;
    }
    while (end > 0 && base - (below + h[end - 1]) >= view) below += h[--end];
    if (end == 0 || !(base - below > 0)) return;  // the last row left ends above the view
    r->any = true;
    r->last = end - 1;
    size_t i = end - 1;
    double top = base - (below + h[i]);
    while (i > 0 && top > 0) {
        below += h[i];
        top = base - (below + h[--i]);
    }
    r->first = i;
    r->first_top = top;
}

}  // namespace

void quorvane_drag_press(quorvane_drag *d, int x, int y, double time) {
    if (!d) return;
    *d = {};
    d->pressed = 1;
    d->press_x = x;
    d->anchor_y = d->last_y = y;
    d->last_time = time;
}

int quorvane_drag_move(quorvane_drag *d, int x, int y, double time, int slop) {
    if (!d || !d->pressed) return 0;
    const int64_t dx = static_cast<int64_t>(x) - d->press_x;
    d->dx = static_cast<float>(dx);
    if (d->horizontal) return 0;
    int64_t dy = static_cast<int64_t>(y) - d->anchor_y;
    d->offset = static_cast<float>(dy);
    if (!d->dragging) {
        const int64_t adx = std::llabs(dx), ady = std::llabs(dy);
        if (adx >= slop && adx > ady) {
            d->horizontal = 1;
            d->offset = 0;
            return 0;
        }
        if (ady < slop) return 0;
        // Start from the slop, not from where the finger is, so the list does not jump.
        dy = dy < 0 ? -static_cast<int64_t>(slop) : slop;
        d->dragging = 1;
        d->offset = static_cast<float>(dy);
        d->anchor_y = static_cast<int32_t>(y - dy);
    }
    double dt = time - d->last_time;
    if (!(dt >= QV_DRAG_DT_MIN)) dt = QV_DRAG_DT_MIN;  // also a clock that went back, or NaN
    if (dt > QV_DRAG_DT_MAX) dt = QV_DRAG_DT_MAX;
    const double sample = static_cast<double>(static_cast<int64_t>(y) - d->last_y) / dt;
    const double v = QV_DRAG_SMOOTH_NEW * sample + (1.0 - QV_DRAG_SMOOTH_NEW) * d->velocity;
    d->velocity = static_cast<float>(std::clamp<double>(v, -QV_DRAG_VELOCITY_MAX, QV_DRAG_VELOCITY_MAX));
    d->last_y = y;
    d->last_time = time;
    return 1;
}

int quorvane_drag_release(quorvane_drag *d) {
    if (!d) return 0;
    const int moved = d->pressed && (d->dragging || d->horizontal);
    d->pressed = d->dragging = d->horizontal = 0;
    if (!moved) d->velocity = 0;
    return moved;
}

float quorvane_drag_fling(quorvane_drag *d, double seconds) {
    if (!d || d->pressed || d->velocity == 0 || !(seconds > 0)) return 0;
    const float dt = std::min(static_cast<float>(seconds), QV_FLING_STEP_MAX);
    const float v = d->velocity;
    const float step = v * dt;
    float next = v - (dt / QV_FLING_DECAY) * v;
    if (std::fabs(next) < QV_FLING_STOP) next = 0;
    d->velocity = next;
    return step;
}

void quorvane_drag_cancel(quorvane_drag *d) {
    if (d) *d = {};
}

void quorvane_vscroll_compute(const float *heights, size_t count, quorvane_vscroll *out, float view, float offset) {
    quorvane_vscroll_compute_pad(heights, count, out, view, offset, 0.0f);
}

void quorvane_vscroll_compute_pad(const float *heights, size_t count, quorvane_vscroll *out, float view, float offset,
                                  float pad) {
    if (!out) return;
    if (!heights) count = 0;
    bool irregular = false;
    const double s = sum_heights(heights, count, &irregular), v = view;
    const bool over = s + pad > v;
    const double y = over ? offset + v - s : static_cast<double>(offset) + pad;
    *out = {};
    out->content_height = static_cast<float>(s);
    out->overflow = over ? static_cast<float>(s + pad - v) : 0.0f;
    out->first_top = static_cast<float>(y);
    // Start from the end nearer the view: at the newest messages, where a chat
    // usually is, the work is the visible rows and a few blocks.
    visible r;
    if (irregular)
        walk_down(heights, count, 0, y, v, &r);
    else if (over && offset < s - v - offset)
        from_bottom(heights, count, offset + v, v, &r);
    else
        from_top(heights, count, y, v, &r);
    if (!r.any) return;
    out->first_top = static_cast<float>(r.first_top);
    out->first_index = r.first;
    out->visible_count = r.last - r.first + 1;
}

uint64_t quorvane_histwin_initial(uint64_t count, uint64_t window) { return count > window ? count - window : 0; }

uint64_t quorvane_histwin_start(uint64_t count, uint64_t saved, uint64_t window, int force) {
    return (force || saved > count) ? quorvane_histwin_initial(count, window) : saved;
}

uint64_t quorvane_histwin_backfill(uint64_t count, uint64_t window) { return quorvane_histwin_initial(count, window); }

uint64_t quorvane_histwin_bf_before(const quorvane_histwin_bf *st, uint64_t oldest_held) {
    if (!st || !st->pending || st->oldest != oldest_held) return oldest_held;
    return oldest_held ? std::min(st->pending, oldest_held) : st->pending;
}

int quorvane_histwin_bf_done(quorvane_histwin_bf *st, uint64_t cursor, uint64_t oldest_held, int error, int got,
                             uint64_t oldest_fetched) {
    if (error) {
        if (st) st->pending = 0;
        return 0;
    }
    if (got && oldest_fetched && (!cursor || oldest_fetched < cursor)) {
        if (st) *st = {oldest_fetched, oldest_held};
        return 0;
    }
    return 1;
}
