// Per-kind accessors of the toolkit's widgets: the application reads and
// changes a widget's kind data only through these. Every function takes the
// context and the widget id and acts only on a widget of its kind; otherwise
// it changes nothing and returns the neutral value (-1 for an index or an add,
// 0 / 0.0 for values and counts, a static "" for an item text, none for texts
// and copies), without a message. Setters call no callback. Copies returned
// as new are the caller's (free()).
#pragma once

#include "n_gui.h"

#include <cstddef>

// Slider.
double n_gui_slider_get_value(N_GUI_CTX *ctx, int id);
void   n_gui_slider_set_value(N_GUI_CTX *ctx, int id, double value);     // clamped, snapped to the step
void   n_gui_slider_set_range(N_GUI_CTX *ctx, int id, double min, double max);
void   n_gui_slider_set_step(N_GUI_CTX *ctx, int id, double step);
void   n_gui_slider_set_key_step(N_GUI_CTX *ctx, int id, double key_step);
double n_gui_slider_get_key_step(N_GUI_CTX *ctx, int id);                // falls back to step, range / 20, 1
void   n_gui_slider_set_default(N_GUI_CTX *ctx, int id, double value);
int    n_gui_slider_get_default(N_GUI_CTX *ctx, int id, double *value);
void   n_gui_slider_set_value_format(N_GUI_CTX *ctx, int id, const char *format);  // printf format of one double
void   n_gui_slider_set_value_visible(N_GUI_CTX *ctx, int id, int visible);
int    n_gui_slider_handle_pos(N_GUI_CTX *ctx, int id, float *pos, float *radius);
float  n_gui_slider_value_width(N_GUI_CTX *ctx, int id);
void   _slider_value_text(const N_GUI_SLIDER_DATA *sd, char out[N_GUI_SLIDER_FORMAT_MAX], double value);

// Text area.
const char *n_gui_textarea_get_text(N_GUI_CTX *ctx, int id);
void   n_gui_textarea_set_text(N_GUI_CTX *ctx, int id, const char *text);  // selection collapses at the end
size_t n_gui_textarea_get_text_length(N_GUI_CTX *ctx, int id);
void   n_gui_textarea_set_selection(N_GUI_CTX *ctx, int id, size_t start, size_t end);
bool   n_gui_textarea_has_selection(N_GUI_CTX *ctx, int id);
void   n_gui_textarea_scroll_to_bottom(N_GUI_CTX *ctx, int id);
void   n_gui_textarea_scroll_to_offset(N_GUI_CTX *ctx, int id, size_t offset);

// Check box.
int    n_gui_checkbox_is_checked(N_GUI_CTX *ctx, int id);
void   n_gui_checkbox_set_checked(N_GUI_CTX *ctx, int id, int checked);
void   n_gui_checkbox_set_label(N_GUI_CTX *ctx, int id, const char *label);
const char *n_gui_checkbox_get_label(N_GUI_CTX *ctx, int id);

// Scrollbar.
double n_gui_scrollbar_get_pos(N_GUI_CTX *ctx, int id);
void   n_gui_scrollbar_set_pos(N_GUI_CTX *ctx, int id, double pos);
void   n_gui_scrollbar_set_sizes(N_GUI_CTX *ctx, int id, double content_size, double view_size);
void   n_gui_scrollbar_set_wheel_step(N_GUI_CTX *ctx, int id, double step);

// List box.
int    n_gui_listbox_add_item(N_GUI_CTX *ctx, int id, const char *text);
int    n_gui_listbox_remove_item(N_GUI_CTX *ctx, int id, int index);
void   n_gui_listbox_clear(N_GUI_CTX *ctx, int id);
int    n_gui_listbox_get_count(N_GUI_CTX *ctx, int id);
const char *n_gui_listbox_get_item_text(N_GUI_CTX *ctx, int id, int index);
int    n_gui_listbox_get_selected(N_GUI_CTX *ctx, int id);
int    n_gui_listbox_is_selected(N_GUI_CTX *ctx, int id, int index);
void   n_gui_listbox_set_selected(N_GUI_CTX *ctx, int id, int index, int selected);
int    n_gui_listbox_get_scroll_offset(N_GUI_CTX *ctx, int id);
void   n_gui_listbox_set_scroll_offset(N_GUI_CTX *ctx, int id, int offset);
float  n_gui_listbox_content_width(N_GUI_CTX *ctx, int id);
float  n_gui_listbox_get_h_scroll(N_GUI_CTX *ctx, int id);
void   n_gui_listbox_set_h_scroll(N_GUI_CTX *ctx, int id, float offset);

// Split pane.
float  n_gui_splitpane_get_ratio(N_GUI_CTX *ctx, int id);   // 0.5 on failure
void   n_gui_splitpane_set_ratio(N_GUI_CTX *ctx, int id, float ratio);
void   n_gui_splitpane_set_limits(N_GUI_CTX *ctx, int id, float lower, float upper);

// Radio list and combo box.
int    n_gui_radiolist_add_item(N_GUI_CTX *ctx, int id, const char *text);
void   n_gui_radiolist_clear(N_GUI_CTX *ctx, int id);
int    n_gui_radiolist_get_selected(N_GUI_CTX *ctx, int id);
void   n_gui_radiolist_set_selected(N_GUI_CTX *ctx, int id, int index);
int    n_gui_combobox_add_item(N_GUI_CTX *ctx, int id, const char *text);
void   n_gui_combobox_clear(N_GUI_CTX *ctx, int id);
int    n_gui_combobox_get_selected(N_GUI_CTX *ctx, int id);
void   n_gui_combobox_set_selected(N_GUI_CTX *ctx, int id, int index);
const char *n_gui_combobox_get_item_text(N_GUI_CTX *ctx, int id, int index);
int    n_gui_combobox_get_count(N_GUI_CTX *ctx, int id);
int    n_gui_combobox_remove_item(N_GUI_CTX *ctx, int id, int index);

// Image and label.
void   n_gui_image_set_bitmap(N_GUI_CTX *ctx, int id, ALLEGRO_BITMAP *bitmap);
const char *n_gui_label_get_text(N_GUI_CTX *ctx, int id);
void   n_gui_label_set_text(N_GUI_CTX *ctx, int id, const char *text);
void   n_gui_label_set_link(N_GUI_CTX *ctx, int id, const char *link);
void   n_gui_label_set_truncate(N_GUI_CTX *ctx, int id, int mode);
int    n_gui_label_get_truncate(N_GUI_CTX *ctx, int id);
int    n_gui_label_fits(N_GUI_CTX *ctx, int id, float *need_w, float *need_h);

// Hex view.
void   n_gui_hexview_set_data(N_GUI_CTX *ctx, int id, const unsigned char *data, size_t size);
size_t n_gui_hexview_get_data(N_GUI_CTX *ctx, int id, unsigned char **data);
size_t n_gui_hexview_get_length(N_GUI_CTX *ctx, int id);
void   n_gui_hexview_set_cursor(N_GUI_CTX *ctx, int id, size_t index);
size_t n_gui_hexview_get_cursor(N_GUI_CTX *ctx, int id);
void   n_gui_hexview_set_editable(N_GUI_CTX *ctx, int id, int editable);
void   n_gui_hexview_set_on_change(N_GUI_CTX *ctx, int id, N_GUI_HEXVIEW_CB callback, void *user_data);

// Syntax view.
void   n_gui_syntaxview_set_text(N_GUI_CTX *ctx, int id, const char *text);
const char *n_gui_syntaxview_get_text(N_GUI_CTX *ctx, int id);
void   n_gui_syntaxview_set_mode(N_GUI_CTX *ctx, int id, int mode);
int    n_gui_syntaxview_get_line_count(N_GUI_CTX *ctx, int id);
void   n_gui_syntaxview_set_selection(N_GUI_CTX *ctx, int id, int start, int end);
void   n_gui_syntaxview_select_all(N_GUI_CTX *ctx, int id);
[[nodiscard]] char *n_gui_syntaxview_get_selected_text(N_GUI_CTX *ctx, int id);
void   n_gui_syntaxview_scroll_to_offset(N_GUI_CTX *ctx, int id, int offset);
float  n_gui_syntaxview_content_width(N_GUI_CTX *ctx, int id);
float  n_gui_syntaxview_get_h_scroll(N_GUI_CTX *ctx, int id);
void   n_gui_syntaxview_set_h_scroll(N_GUI_CTX *ctx, int id, float offset);
void   _syntaxview_hmetrics(const N_GUI_WIDGET *wgt, N_GUI_SYNTAXVIEW_DATA *yd, ALLEGRO_FONT *font,
                            const N_GUI_STYLE *style, float *content_w, float *view_w, int *needs_hbar,
                            int *visible_rows);
void   _syntaxview_ensure_width(N_GUI_SYNTAXVIEW_DATA *yd, ALLEGRO_FONT *font, const N_GUI_STYLE *style);

// Data-grid columns, as far as a saved layout restores them.
void   n_gui_datagrid_move_column(N_GUI_CTX *ctx, int id, int from, int to);  // display positions
