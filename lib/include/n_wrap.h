// Greedy line breaking over measured items. The engine knows nothing of text
// or fonts: the caller measures its units (glyph runs, words, spaces, emoji)
// into N_WRAP_ITEMs, and lines come back as half-open item ranges through a
// callback. Hit-testing and selection extents lay the row out the same way.
// Widths are in the caller's unit; nothing is allocated.
#pragma once

#include <cstddef>

constexpr int N_WRAP_BREAK  = 1;  // a line may end here; the item is then dropped (a space)
constexpr int N_WRAP_FORCED = 2;  // the line ends here; the item belongs to no line (a line feed)

struct N_WRAP_ITEM {
    double width;
    int    flags;   // N_WRAP_BREAK | N_WRAP_FORCED
};

typedef void (*N_WRAP_LINE_FN)(size_t start, size_t end, size_t line_index, void *user, double line_width);
typedef void (*N_WRAP_RECT_FN)(size_t line_index, void *user, double x_start, double x_end);

size_t n_wrap_layout(const N_WRAP_ITEM *items, size_t count, N_WRAP_LINE_FN line_fn, void *user, double max_width);  // lines; 1 for no items
size_t n_wrap_index_at(const N_WRAP_ITEM *items, size_t count, double max_width, double line_height, double x, double y);  // count below the last line
size_t n_wrap_span_rects(const N_WRAP_ITEM *items, size_t count, size_t a, size_t b, N_WRAP_RECT_FN rect_fn, void *user,
                         double max_width);                                                                       // extents reported
