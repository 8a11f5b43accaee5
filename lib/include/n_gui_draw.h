// Drawing of toolkit windows and their widgets into the current Allegro
// target: the title bar and its buttons, the body, border, scrollbars and
// grip, then every visible widget by its kind, each in its own theme and
// state. Drawing never fails: a missing font, bitmap or kind data skips the
// piece that needs it. UI thread only.
#pragma once

#include "n_gui.h"

void  n_gui_draw(N_GUI_CTX *ctx);                                   // every open window of the main display; clears dirty
void  _draw_window(N_GUI_CTX *ctx, N_GUI_WINDOW *win, ALLEGRO_FONT *font, const N_GUI_STYLE *style);

// Shared pieces.
float _min_thickness(float t);                                     // at least one device pixel
void  _set_clipping_rect_transformed(int x, int y, int w, int h);  // only ever tightens the clip
void  _draw_text_truncated(ALLEGRO_FONT *font, const char *text, ALLEGRO_COLOR colour, float x, float y,
                           float max_w);                            // cut with "..." on a character boundary
void  _draw_themed_rect(const N_GUI_THEME *theme, int state, int rounded, float x, float y, float w, float h);
