// Helpers shared by the toolkit's source files and by nothing else: kind
// lookups, font choice, owned text copies and the normalised rectangles that
// adaptive resizing works from.
#pragma once

#include "n_gui.h"
#include "n_log.h"

#include <climits>
#include <cmath>
#include <cstddef>

// The widget when it exists, has this kind and has its data; none otherwise.
N_GUI_WIDGET *ngui_widget_of(N_GUI_CTX *ctx, int id, int kind);

// The widget's own font, else the context's default font.
ALLEGRO_FONT *ngui_widget_font(N_GUI_CTX *ctx, const N_GUI_WIDGET *wgt);

// A heap copy through the library allocator (so tests can make it fail);
// none for a none text. EXPR names the destination in the failure log.
char *ngui_strdup(const char *text, const char *expr);

// Title-bar height as laid out: 0 without a title bar.
float ngui_titlebar_h(const N_GUI_WINDOW *win);

// One widget's norm rectangle against its window's size (when w, h > 0).
void ngui_widget_norm(const N_GUI_WINDOW *win, N_GUI_WIDGET *wgt);

// The window's widgets' norm rectangles against its own size (when w, h > 0).
void ngui_widgets_norm(N_GUI_WINDOW *win);

// Captures a window's norm rectangle against the reference (else the display) size.
void ngui_capture_window_norm(N_GUI_CTX *ctx, N_GUI_WINDOW *win);

// Re-sorts the window list by z-order (stable, in place, allocates nothing).
void ngui_sort_windows(N_GUI_CTX *ctx);

// Applies a pending layout state to a widget that just got its persist key.
void ngui_apply_pending_widget(N_GUI_CTX *ctx, N_GUI_WINDOW *win, N_GUI_WIDGET *wgt);

// Wipes then frees a buffer that may have held typed secrets.
void ngui_wipe_free(void *p, size_t n);

// The farthest coordinate and the largest size a rectangle keeps: no display
// comes near it, and every pixel or row count worked out from it fits an int.
constexpr float NGUI_COORD_MAX = 1048576.0f;

// A coordinate drawing can use: NaN becomes 0, the rest is held within
// +-NGUI_COORD_MAX (a caller's 0/0 or 1/0 must not reach a pixel conversion).
inline float ngui_coord(float v) {
    if (!(v == v)) return 0;
    return v < -NGUI_COORD_MAX ? -NGUI_COORD_MAX : (v > NGUI_COORD_MAX ? NGUI_COORD_MAX : v);
}

// A size drawing can use: NaN and negative sizes become 0, at most NGUI_COORD_MAX.
inline float ngui_extent(float v) { return v > 0 ? (v < NGUI_COORD_MAX ? v : NGUI_COORD_MAX) : 0; }

// How many whole rows of PITCH fit in EXTENT, as an int: 0 for NaN, negative
// or unusable inputs, never beyond INT_MAX (a float out of an int's range
// converts to nothing defined).
inline int ngui_rows(float extent, float pitch) {
    const float r = pitch > 0 ? floorf(extent / pitch) : 0;
    if (!(r > 0)) return 0;
    return r < static_cast<float>(INT_MAX / 2) ? static_cast<int>(r) : INT_MAX / 2;
}

// R held within [LO, HI]; a NaN R (which passes every comparison) gives IF_NAN.
inline float ngui_clamp(float r, float lo, float hi, float if_nan) {
    if (!(r == r)) r = if_nan;
    return r < lo ? lo : (r > hi ? hi : r);
}

// A field that has had a mask holds a secret even while it is shown ("show
// password"): its text must not outlive the display in the measure cache.
inline bool ngui_textarea_secret(const N_GUI_TEXTAREA_DATA *td) { return td->mask_char != 0 || td->secret; }

// Text a person must read stands at least this far from its background (the
// ratio of relative luminances, as for body text).
constexpr float NGUI_READABLE_CONTRAST = 4.5f;

// C when it stands NGUI_READABLE_CONTRAST from BG; else C moved towards
// TOWARD (a theme's text colour) by the least step that does; C unchanged
// when even TOWARD does not (the theme leaves no choice). Opaque result.
ALLEGRO_COLOR ngui_readable(ALLEGRO_COLOR c, ALLEGRO_COLOR toward, ALLEGRO_COLOR bg);

// Colour from 0..255 channels, not premultiplied (as the theme tables give them).
inline ALLEGRO_COLOR ngui_rgba(int r, int g, int b, int a) {
    return ALLEGRO_COLOR{r / 255.0f, g / 255.0f, b / 255.0f, a / 255.0f};
}
