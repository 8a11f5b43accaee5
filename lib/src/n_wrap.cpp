// Greedy line breaking, hit-testing and selection extents over measured items.
#include "n_wrap.h"

#include <algorithm>
#include <cmath>

namespace {

// Lays the row out and calls f(start, end, line_width) per line; returns the
// line count, which counts the empty line after a final forced break. Each
// item is added once and, when a line is cut back to its last break
// opportunity, summed once more for the next line: linear in the count.
template <class F> size_t layout(const N_WRAP_ITEM *items, size_t count, double max_width, F &&f) {
    size_t start = 0, lines = 0, brk = 0;
    bool have_brk = false, ended_forced = false;
    double width = 0, before_brk = 0;
    auto end_line = [&](size_t end, double w) {
        f(start, end, w);
        lines++;
    };
    for (size_t i = 0; i < count;) {
        const N_WRAP_ITEM &it = items[i];
        ended_forced = false;
        if (it.flags & N_WRAP_FORCED) {
            end_line(i, width);
            start = i + 1, width = 0, have_brk = false, ended_forced = true;
            i++;
            continue;
        }
        const double sum = width + it.width;
        if (sum <= max_width || i == start) {
            if (it.flags & N_WRAP_BREAK) have_brk = true, brk = i, before_brk = width;
            width = sum;
            i++;
            continue;
        }
        if (it.flags & N_WRAP_BREAK) {
            end_line(i, width);
            start = i + 1, width = 0, have_brk = false;
            i++;
            continue;
        }
        if (have_brk) {
            end_line(brk, before_brk);
            start = brk + 1, width = 0, have_brk = false;
            for (size_t k = start; k < i; k++) width += items[k].width;
        } else {
            end_line(i, width);
            start = i, width = 0;
        }
    }
    if (start < count) end_line(count, width);
    return lines + (ended_forced ? 1 : 0);
}

}  // namespace

size_t n_wrap_layout(const N_WRAP_ITEM *items, size_t count, N_WRAP_LINE_FN line_fn, void *user, double max_width) {
    if (!items || count == 0) return 1;
    size_t index = 0;
    return layout(items, count, max_width, [&](size_t s, size_t e, double w) {
        if (line_fn) line_fn(s, e, index, user, w);
        index++;
    });
}

size_t n_wrap_index_at(const N_WRAP_ITEM *items, size_t count, double max_width, double line_height, double x, double y) {
    if (!items || count == 0 || y < 0) return 0;
    const double q = line_height > 0 ? std::floor(y / line_height) : 0;
    size_t want = 0, index = 0, ls = count, le = count;
    bool beyond = false;
    if (q >= static_cast<double>(count) + 1)
        beyond = true;  // more lines than items plus one cannot exist
    else
        want = static_cast<size_t>(q);
    const size_t lines = layout(items, count, max_width, [&](size_t s, size_t e, double) {
        if (index++ == want) ls = s, le = e;
    });
    if (beyond || want >= lines) return count;
    double acc = 0;
    for (size_t i = ls; i < le; i++) {
        if (acc + items[i].width / 2 > x) return i;
        acc += items[i].width;
    }
    return le;
}

size_t n_wrap_span_rects(const N_WRAP_ITEM *items, size_t count, size_t a, size_t b, N_WRAP_RECT_FN rect_fn, void *user,
                         double max_width) {
    if (!items || count == 0) return 0;
    if (a > b) std::swap(a, b);
    a = std::min(a, count), b = std::min(b, count);
    if (a == b) return 0;
    size_t index = 0, reported = 0;
    layout(items, count, max_width, [&](size_t s, size_t e, double) {
        const size_t lo = std::max(s, a), hi = std::min(e, b);
        if (lo < hi) {
            double x0 = 0, x1;
            for (size_t i = s; i < lo; i++) x0 += items[i].width;
            x1 = x0;
            for (size_t i = lo; i < hi; i++) x1 += items[i].width;
            if (x0 < x1) {
                if (rect_fn) rect_fn(index, user, x0, x1);
                reported++;
            }
        }
        index++;
    });
    return reported;
}
