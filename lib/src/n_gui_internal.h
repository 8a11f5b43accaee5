// Helpers shared by the toolkit's source files and by nothing else: kind
// lookups, font choice, owned text copies and the normalised rectangles that
// adaptive resizing works from.
#pragma once

#include "n_gui.h"
#include "n_log.h"

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

// The window's widgets' norm rectangles against its own size (when w, h > 0).
void ngui_widgets_norm(N_GUI_WINDOW *win);

// Captures a window's norm rectangle against the reference (else the display) size.
void ngui_capture_window_norm(N_GUI_CTX *ctx, N_GUI_WINDOW *win);

// Re-sorts the window list by z-order (stable).
void ngui_sort_windows(N_GUI_CTX *ctx);

// Applies a pending layout state to a widget that just got its persist key.
void ngui_apply_pending_widget(N_GUI_CTX *ctx, N_GUI_WINDOW *win, N_GUI_WIDGET *wgt);

// Wipes then frees a buffer that may have held typed secrets.
void ngui_wipe_free(void *p, size_t n);

// Colour from 0..255 channels, not premultiplied (as the theme tables give them).
inline ALLEGRO_COLOR ngui_rgba(int r, int g, int b, int a) {
    return ALLEGRO_COLOR{r / 255.0f, g / 255.0f, b / 255.0f, a / 255.0f};
}
