#include "client_scroll.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t BLOCK = 16;  // rows skipped at once on the way to the first visible one

// Four independent sums, so the adds do not wait on each other; in double, so
// 100,000 rows lose nothing a float could show.
double sum_heights(const float *h, size_t n) {
    double s[4] = {0, 0, 0, 0};
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        s[0] += h[i];
        s[1] += h[i + 1];
        s[2] += h[i + 2];
        s[3] += h[i + 3];
    }
    for (; i < n; i++) s[0] += h[i];
    return (s[0] + s[1]) + (s[2] + s[3]);
}

// Whole blocks of rows that end at or above the view's top are passed in one
// step. Only blocks of non-negative heights: there a block's end bounds every
// row in it. Returns the first row left and moves y to its top.
size_t skip_above(const float *h, size_t n, double *y, double view) {
    size_t i = 0;
    for (; i + BLOCK <= n; i += BLOCK) {
        double s = 0;
        bool sound = true;
        for (size_t k = 0; k < BLOCK; k++) {
            sound &= h[i + k] >= 0.0f;  // also false for NaN
            s += h[i + k];
        }
        const double end = *y + s;
        if (!sound || end > 0 || end >= view) break;
        *y = end;
    }
    return i;
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
    const double s = sum_heights(heights, count), v = view;
    double y;
    *out = {};
    out->content_height = static_cast<float>(s);
    if (s + pad > v) {
        out->overflow = static_cast<float>(s + pad - v);
        y = offset + v - s;
    } else {
        y = static_cast<double>(offset) + pad;
    }
    out->first_top = static_cast<float>(y);
    bool any = false;
    size_t last = 0;
    for (size_t i = count ? skip_above(heights, count, &y, v) : 0; i < count && y < v; i++) {
        const double bottom = y + heights[i];
        if (bottom > 0) {
            if (!any) {
                out->first_top = static_cast<float>(y);
                out->first_index = i;
                any = true;
            }
            last = i;
        }
        y = bottom;
    }
    if (any) out->visible_count = last - out->first_index + 1;
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
