// Retained-mode widget toolkit over Allegro 5: one context (N_GUI_CTX) owns
// windows in z-order, each window owns its widgets, and everything is
// addressed by integer ids handed out from 1. Results: creators return the new
// id or -1, setters 1/0 or nothing, getters a neutral value (-1, 0, none) for
// an unknown id or a widget of another kind. The context and its records
// belong to the toolkit; fonts, bitmaps, displays and the event queue given to
// it stay the caller's. Texts handed out as new are the caller's (free()).
// UI thread only: nothing here is locked.
#pragma once

#ifndef ALLEGRO_UNSTABLE
#define ALLEGRO_UNSTABLE
#endif
#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>

#include "n_hash.h"
#include "n_list.h"

#include <cstddef>
#include <cstdint>

/* ---- limits and constants ---- */

constexpr size_t N_GUI_TITLE_MAX = 128;      // window titles and captions, terminator included
constexpr size_t N_GUI_ITEM_TEXT_MAX = 128;  // list items, check-box and button labels, grid titles
constexpr size_t N_GUI_TEXT_MAX = 4096;      // labels, link targets, progress texts
constexpr size_t N_GUI_PERSIST_KEY_MAX = 128;
constexpr size_t N_GUI_SLIDER_FORMAT_MAX = 32;
constexpr size_t N_GUI_TEXTAREA_DEFAULT_MAX = 4095;  // a text area made with maximum 0 holds this many bytes
constexpr int N_GUI_FOCUS_IDS = 8;                   // widgets a button's key may be bound to
constexpr int N_GUI_SUGGEST_MAX = 64;
constexpr size_t N_GUI_SUGGEST_SEP_MAX = 7;
constexpr int N_GUI_PENDING_COLS = 64;
constexpr int N_GUI_HT_BUCKETS = 256;

// Widget kinds.
constexpr int N_GUI_TYPE_BUTTON = 1;
constexpr int N_GUI_TYPE_SLIDER = 2;
constexpr int N_GUI_TYPE_TEXTAREA = 3;
constexpr int N_GUI_TYPE_CHECKBOX = 4;
constexpr int N_GUI_TYPE_SCROLLBAR = 5;
constexpr int N_GUI_TYPE_LISTBOX = 6;
constexpr int N_GUI_TYPE_RADIOLIST = 7;
constexpr int N_GUI_TYPE_COMBOBOX = 8;
constexpr int N_GUI_TYPE_IMAGE = 9;
constexpr int N_GUI_TYPE_LABEL = 10;
constexpr int N_GUI_TYPE_DROPMENU = 11;
constexpr int N_GUI_TYPE_SPLITPANE = 12;
constexpr int N_GUI_TYPE_HEXVIEW = 13;
constexpr int N_GUI_TYPE_SYNTAXVIEW = 14;
constexpr int N_GUI_TYPE_DATAGRID = 15;
constexpr int N_GUI_TYPE_PROGRESSBAR = 16;
constexpr int N_GUI_TYPE_CUSTOM = 17;
constexpr int N_GUI_TYPE_MARKDOWNVIEW = 18;

// Widget state bits.
constexpr int N_GUI_STATE_HOVER = 0x1;
constexpr int N_GUI_STATE_PRESSED = 0x2;
constexpr int N_GUI_STATE_FOCUSED = 0x4;
constexpr int N_GUI_STATE_HELD = 0x8;

// Window state bits; the bits from 4 to 0x100 other than these belong to
// event processing. A layout file keeps state & 0x43.
constexpr int N_GUI_WIN_STATE_OPEN = 0x1;
constexpr int N_GUI_WIN_STATE_MINIMISED = 0x2;
constexpr int N_GUI_WIN_STATE_MOVING = 0x4;
constexpr int N_GUI_WIN_STATE_RESIZING = 0x8;
constexpr int N_GUI_WIN_STATE_VSCROLL_DRAG = 0x10;
constexpr int N_GUI_WIN_STATE_HSCROLL_DRAG = 0x20;
constexpr int N_GUI_WIN_STATE_MAXIMISED = 0x40;
constexpr int N_GUI_WIN_STATE_VSCROLL_HOVER = 0x80;
constexpr int N_GUI_WIN_STATE_HSCROLL_HOVER = 0x100;

// Window flag bits (the application sets the whole word).
constexpr int N_GUI_WIN_CONTENT_SCROLL = 0x10;
constexpr int N_GUI_WIN_RESIZABLE = 0x20;
constexpr int N_GUI_WIN_FIXED = 0x40;
constexpr int N_GUI_WIN_NO_TITLEBAR = 0x80;
constexpr int N_GUI_WIN_BTN_MINIMISE = 0x100;
constexpr int N_GUI_WIN_BTN_MAXIMISE = 0x200;
constexpr int N_GUI_WIN_BTN_CLOSE = 0x400;
constexpr int N_GUI_WIN_NO_HSCROLL = 0x800;

// Z-order classes; their stacking rank from the bottom is BEHIND, FIXED,
// NORMAL, ALWAYS_ON_TOP, POPUP.
constexpr int N_GUI_ZORDER_NORMAL = 0;
constexpr int N_GUI_ZORDER_ALWAYS_ON_TOP = 1;
constexpr int N_GUI_ZORDER_ALWAYS_BEHIND = 2;
constexpr int N_GUI_ZORDER_FIXED = 3;
constexpr int N_GUI_ZORDER_POPUP = 4;

// Title-bar buttons.
constexpr int N_GUI_TB_MINIMISE = 1;
constexpr int N_GUI_TB_MAXIMISE = 2;
constexpr int N_GUI_TB_CLOSE = 3;

// Detach flags.
constexpr int N_GUI_DETACH_RESIZABLE = 1;
constexpr int N_GUI_DETACH_SCALE_WIDGETS = 2;
constexpr int N_GUI_DETACH_FRAMELESS = 4;
constexpr int N_GUI_NATIVE_POS_UNSET = INT32_MIN;

// Autofit flags.
constexpr int N_GUI_AUTOFIT_W = 1;
constexpr int N_GUI_AUTOFIT_H = 2;
constexpr int N_GUI_AUTOFIT_KEEP_RIGHT = 4;
constexpr int N_GUI_AUTOFIT_KEEP_BOTTOM = 8;
constexpr int N_GUI_AUTOFIT_CENTER = 0x10;

// Resize mode of the context and resize policies of windows.
constexpr int N_GUI_RESIZE_MODE_ADAPTIVE = 1;
constexpr int N_GUI_RESIZE_FIXED = 0;
constexpr int N_GUI_RESIZE_MOVE = 1;
constexpr int N_GUI_RESIZE_SCALE = 2;

// Text shortening modes (labels' truncate setting too).
constexpr int N_GUI_SHORTEN_END = 0;
constexpr int N_GUI_SHORTEN_START = 1;
constexpr int N_GUI_SHORTEN_PATH = 2;

// Label alignments.
constexpr int N_GUI_ALIGN_LEFT = 0;
constexpr int N_GUI_ALIGN_CENTER = 1;
constexpr int N_GUI_ALIGN_RIGHT = 2;
constexpr int N_GUI_ALIGN_JUSTIFIED = 3;

// Slider modes and orientations; scrollbar and split-pane orientations.
constexpr int N_GUI_SLIDER_VALUE = 0;
constexpr int N_GUI_SLIDER_PERCENT = 1;      // range 0..100 whatever the arguments say
constexpr int N_GUI_HORIZONTAL = 0;
constexpr int N_GUI_VERTICAL = 1;            // split pane: panes above and below a horizontal divider

// List-box selection modes.
constexpr int N_GUI_SELECT_NONE = 0;
constexpr int N_GUI_SELECT_SINGLE = 1;
constexpr int N_GUI_SELECT_MULTIPLE = 2;

// Image fit modes (window body bitmaps too).
constexpr int N_GUI_IMAGE_FIT = 0;
constexpr int N_GUI_IMAGE_STRETCH = 1;
constexpr int N_GUI_IMAGE_CENTER = 2;

// Combo-box flags.
constexpr int N_GUI_COMBOBOX_WIDEN = 1;
constexpr int N_GUI_COMBOBOX_ABOVE = 2;

// Button shapes.
constexpr int N_GUI_SHAPE_RECT = 0;
constexpr int N_GUI_SHAPE_ROUNDED = 1;
constexpr int N_GUI_SHAPE_BITMAP = 2;
constexpr int N_GUI_GLYPH_MAX = 8;
constexpr int N_GUI_KEYMOD_MASK = 0x47;  // Shift, Ctrl, Alt, AltGr

// Syntax-view modes.
constexpr int N_GUI_SYNTAX_PLAIN = 0;
constexpr int N_GUI_SYNTAX_HEADERS = 1;
constexpr int N_GUI_SYNTAX_JSON = 2;
constexpr int N_GUI_SYNTAX_XML = 3;
constexpr int N_GUI_SYNTAX_YAML = 4;
constexpr int N_GUI_SYNTAX_JS = 5;
constexpr int N_GUI_SYNTAX_DIFF = 6;

/* ---- theme and style ---- */

// The colours and shape of a widget or window; passed and stored by value.
// Normal, hover and active are the looks at rest, under the pointer, and
// pressed or focused.
struct N_GUI_THEME {
    ALLEGRO_COLOR bg_normal, bg_hover, bg_active;
    ALLEGRO_COLOR border_normal, border_hover, border_active;
    ALLEGRO_COLOR text_normal, text_hover, text_active;
    float border_thickness;
    float corner_rx, corner_ry;
    ALLEGRO_COLOR selection_color;
};

// Metrics and colours of the whole toolkit, named as the theme file's keys.
struct N_GUI_STYLE {
    float titlebar_h, min_win_w, min_win_h, title_padding, title_max_w_reserve;
    float tb_btn_size;  // 0: title-bar height - 4
    float tb_btn_spacing, tb_btn_right_margin, tb_btn_glyph_thickness;
    float scrollbar_size, scrollbar_thumb_min, scrollbar_thumb_padding, scrollbar_thumb_corner_r;
    ALLEGRO_COLOR scrollbar_track_color, scrollbar_thumb_color;
    float global_scrollbar_size, global_scrollbar_thumb_min, global_scrollbar_thumb_padding;
    float global_scrollbar_thumb_corner_r, global_scrollbar_border_thickness;
    ALLEGRO_COLOR global_scrollbar_track_color, global_scrollbar_thumb_color, global_scrollbar_thumb_border_color;
    float grip_size, grip_line_thickness;
    ALLEGRO_COLOR grip_color;
    float slider_track_size, slider_track_corner_r, slider_track_border_thickness;
    float slider_handle_min_r, slider_handle_edge_offset, slider_handle_border_thickness;
    float slider_value_label_offset;
    double tooltip_delay;  // seconds; 0 or less: no tooltips
    ALLEGRO_COLOR tooltip_bg_color, tooltip_border_color, tooltip_text_color;
    float tooltip_max_w;
    float textarea_padding, textarea_cursor_width;
    double textarea_cursor_blink_period;  // seconds
    float checkbox_max_size, checkbox_mark_margin, checkbox_mark_thickness, checkbox_label_gap, checkbox_label_offset;
    float radio_circle_min_r, radio_circle_border_thickness, radio_inner_offset, radio_label_gap;
    float listbox_default_item_height, radiolist_default_item_height;
    int combobox_max_visible, dropmenu_max_visible;
    float item_text_padding, item_selection_inset, item_height_pad;
    float dropdown_arrow_reserve, dropdown_arrow_thickness, dropdown_arrow_half_h, dropdown_arrow_half_w;
    float dropdown_border_thickness;
    int shape_mode;  // -1 until n_gui_set_shape_mode
    float label_padding, link_underline_thickness;
    ALLEGRO_COLOR link_color_normal, link_color_hover;
    float scroll_step, global_scroll_step, combobox_max_dropdown_width;
};

/* ---- callbacks ---- */

using N_GUI_BUTTON_CB = void (*)(int widget_id, void *user_data);
using N_GUI_SLIDER_CB = void (*)(int widget_id, void *user_data, double value);
using N_GUI_TEXTAREA_CB = void (*)(int widget_id, const char *text, void *user_data);
using N_GUI_CHECKBOX_CB = void (*)(int widget_id, int checked, void *user_data);
using N_GUI_SCROLLBAR_CB = void (*)(int widget_id, void *user_data, double position);
using N_GUI_LISTBOX_CB = void (*)(int widget_id, int index, int selected, void *user_data);
using N_GUI_RADIOLIST_CB = void (*)(int widget_id, int index, void *user_data);
using N_GUI_COMBOBOX_CB = void (*)(int widget_id, int index, void *user_data);
using N_GUI_SPLITPANE_CB = void (*)(int widget_id, void *user_data, float ratio);
using N_GUI_LINK_CB = void (*)(int widget_id, const char *link, void *user_data);
using N_GUI_HEXVIEW_CB = void (*)(int widget_id, unsigned char *bytes, size_t length, void *user_data);
using N_GUI_DATAGRID_CB = void (*)(int widget_id, int row, void *user_data);
using N_GUI_DATAGRID_CONTEXT_CB = void (*)(int widget_id, int row, int x, int y, void *user_data);
using N_GUI_DATAGRID_COLUMNS_CB = void (*)(int widget_id, void *user_data);
using N_GUI_DROPMENU_OPEN_CB = void (*)(int widget_id, void *user_data);
using N_GUI_DROPMENU_ENTRY_CB = void (*)(int widget_id, int entry_index, int tag, void *user_data);
using N_GUI_SUGGEST_CB = void (*)(const char *prefix, void *list, void *user_data);
using N_GUI_WINDOW_BUTTON_CB = void (*)(int window_id, void *user_data, int button);
using N_GUI_WINDOW_CONTENT_CB = void (*)(int window_id, void *user_data);

struct N_GUI_WIDGET;
struct N_GUI_CUSTOM_MOUSE_EVENT;
using N_GUI_CUSTOM_DRAW_CB = void (*)(N_GUI_WIDGET *widget, ALLEGRO_FONT *font, void *user_data, float x, float y);
using N_GUI_CUSTOM_MOUSE_CB = int (*)(int widget_id, const N_GUI_CUSTOM_MOUSE_EVENT *event, void *user_data);
using N_GUI_CUSTOM_DESTROY_CB = void (*)(void *user_data);

/* ---- kind data records ----
   Zero-filled at creation; the constructors store the non-zero defaults.
   Bitmaps are the caller's. */

struct N_GUI_LISTITEM {
    char text[N_GUI_ITEM_TEXT_MAX];
    int selected;
    void *user_data;
};

struct N_GUI_BUTTON_DATA {
    char label[N_GUI_ITEM_TEXT_MAX];
    ALLEGRO_BITMAP *normal, *hover, *active;
    int shape;          // N_GUI_SHAPE_BITMAP: drawn from the bitmaps
    int glyph;          // 0..8, 0 = none
    int toggle_mode;
    int toggled;
    int keycode;        // an Allegro key code, 0 = none
    int key_modifiers;  // masked with N_GUI_KEYMOD_MASK
    int focused_only;
    int focus_ids[N_GUI_FOCUS_IDS];  // ended by -1 when fewer than 8
    N_GUI_BUTTON_CB callback;
    void *user_data;
    double flash_until;  // a key-activated button shows pressed until then
};

struct N_GUI_SLIDER_DATA {
    double min, max, value, step, key_step;
    double default_value;
    int has_default;
    int mode;         // N_GUI_SLIDER_PERCENT or N_GUI_SLIDER_VALUE
    int orientation;  // N_GUI_VERTICAL or N_GUI_HORIZONTAL
    int show_value;
    char value_format[N_GUI_SLIDER_FORMAT_MAX];
    ALLEGRO_BITMAP *track, *fill, *handle_normal, *handle_hover, *handle_active;
    N_GUI_SLIDER_CB callback;
    void *user_data;
};

struct N_GUI_TEXTAREA_DATA {
    char *text;         // max_length + 1 bytes
    size_t length;
    size_t max_length;
    int multiline;
    size_t cursor;
    size_t sel_start;   // anchor; equal to sel_end: no selection
    size_t sel_end;
    int scroll_y;       // multi-line, whole pixels
    int user_scrolled;
    float scroll_x;     // single line
    double last_edit;   // caret blink start
    N_GUI_TEXTAREA_CB callback;
    void *user_data;
    ALLEGRO_BITMAP *bitmap;
    int mask_char;      // 0: shown as typed
    int secret;         // has had a mask: never measured through the cache, even while shown
    char *placeholder;  // owned, none when empty
    // word suggestions
    N_GUI_SUGGEST_CB suggest_cb;
    void *suggest_user_data;
    char suggest_sep[N_GUI_SUGGEST_SEP_MAX + 1];
    N_GUI_LISTITEM *suggest_items;  // N_GUI_SUGGEST_MAX, owned, made on first use
    int suggest_count, suggest_highlight, suggest_first, suggest_open;
    char suggest_prefix[N_GUI_ITEM_TEXT_MAX];
};

struct N_GUI_CHECKBOX_DATA {
    char label[N_GUI_ITEM_TEXT_MAX];
    int checked;
    ALLEGRO_BITMAP *unchecked_bmp, *checked_bmp, *hover_bmp;
    N_GUI_CHECKBOX_CB callback;
    void *user_data;
};

struct N_GUI_SCROLLBAR_DATA {
    int orientation;
    int shape;
    double content_size, view_size, position, wheel_step;
    ALLEGRO_BITMAP *track, *thumb_normal, *thumb_hover, *thumb_active;
    N_GUI_SCROLLBAR_CB callback;
    void *user_data;
};

struct N_GUI_LISTBOX_DATA {
    N_GUI_LISTITEM *items;
    int count, capacity;
    int selection_mode;
    int scroll_offset;  // first visible item
    float h_scroll;
    int h_dragging;
    float item_height;
    int hovered;
    ALLEGRO_BITMAP *bg_bmp, *item_bmp, *selected_bmp;
    N_GUI_LISTBOX_CB callback;
    void *user_data;
};

struct N_GUI_RADIOLIST_DATA {
    N_GUI_LISTITEM *items;
    int count, capacity;
    int selected;
    int scroll_offset;
    float item_height;
    ALLEGRO_BITMAP *bg_bmp, *item_bmp, *selected_bmp;
    N_GUI_RADIOLIST_CB callback;
    void *user_data;
};

struct N_GUI_COMBOBOX_DATA {
    N_GUI_LISTITEM *items;
    int count, capacity;
    int selected;
    int is_open;
    int scroll_offset;  // first visible item of the drop-down
    int hovered;        // highlighted item, -1 none
    int max_visible;
    float item_height;
    int flags;          // N_GUI_COMBOBOX_WIDEN | N_GUI_COMBOBOX_ABOVE
    ALLEGRO_BITMAP *bg_bmp, *hover_bmp, *selected_bmp;
    N_GUI_COMBOBOX_CB callback;
    void *user_data;
};

struct N_GUI_IMAGE_DATA {
    ALLEGRO_BITMAP *bitmap;
    int fit_mode;
};

struct N_GUI_LABEL_DATA {
    char text[N_GUI_TEXT_MAX];
    char link[N_GUI_TEXT_MAX];  // a link when not empty
    int align;
    int truncate;
    float scroll_y;             // wrapped labels
    int sel_start, sel_end;     // -1: none
    int selecting;
    ALLEGRO_BITMAP *bitmap;
    N_GUI_LINK_CB link_cb;
    void *user_data;
};

struct N_GUI_DROPMENU_ENTRY {
    char text[N_GUI_ITEM_TEXT_MAX];
    int dynamic;
    int tag;
    N_GUI_DROPMENU_ENTRY_CB callback;
    void *user_data;
    int separator;
};

struct N_GUI_DROPMENU_DATA {
    char label[N_GUI_ITEM_TEXT_MAX];
    N_GUI_DROPMENU_ENTRY *entries;
    size_t count, capacity;
    int is_open;
    int scroll_offset;
    int highlighted;
    int max_visible;
    float item_height;
    ALLEGRO_BITMAP *panel_bmp, *highlight_bmp;
    N_GUI_DROPMENU_OPEN_CB on_open;
    void *user_data;
    int flags;  // 1: the panel prefers to open above
};

struct N_GUI_SPLITPANE_DATA {
    int orientation;  // N_GUI_VERTICAL: panes above and below
    float ratio, min_ratio, max_ratio;
    float divider;    // thickness
    int dragging;
    N_GUI_SPLITPANE_CB callback;
    void *user_data;
};

struct N_GUI_HEXVIEW_DATA {
    unsigned char *data;
    size_t length, capacity;
    int bytes_per_row;
    int scroll_offset;  // first visible row
    int cursor_shown;
    size_t cursor;
    int low_nibble;
    int editable;
    N_GUI_HEXVIEW_CB callback;
    void *user_data;
};

struct N_GUI_SYNTAXVIEW_DATA {
    char *text;  // owned, none when empty
    size_t length;
    int mode;
    int scroll_offset;  // first visible line
    float h_scroll;
    int sel_start, sel_end;
    int lines_valid, line_count, header_end;
    int width_valid;
    float content_w;
    ALLEGRO_FONT *width_font;
};

struct N_GUI_DATAGRID_COL {
    char title[N_GUI_ITEM_TEXT_MAX];
    float width;
    int visible;
};

struct N_GUI_DATAGRID_DATA {
    N_GUI_DATAGRID_COL *columns;
    int col_count, col_capacity;
    int *order;        // display position -> physical column, col_capacity entries
    char **cells;      // row-major, row_capacity x col_count
    int row_count, row_capacity;
    int sort_col, sort_dir;
    int selected;
    int multiselect;
    unsigned char *row_sel;   // row_capacity bytes once needed
    int anchor;
    ALLEGRO_COLOR *row_colors;        // row_capacity once needed
    unsigned char *row_has_color;     // row_capacity once needed
    int scroll_offset;
    float h_scroll;
    int h_dragging;
    int resize_col;
    float resize_start_x, resize_start_w;
    int resizing;
    N_GUI_DATAGRID_CB on_select;
    N_GUI_DATAGRID_CONTEXT_CB on_context;
    N_GUI_DATAGRID_COLUMNS_CB on_columns_changed;
    void *user_data;
};

struct N_GUI_PROGRESSBAR_DATA {
    float value;  // 0..1
    char text[N_GUI_TEXT_MAX];
};

struct N_GUI_CUSTOM_MOUSE_EVENT {
    int type;    // 1 press, 2 release, 3 hover motion, 4 drag motion, 5 wheel
    int button;  // 1 left, 2 right, 0 for hover and wheel
    float x, y;  // from the widget's top-left corner
    int wheel_delta;
    int key_modifiers;
};

struct N_GUI_CUSTOM_DATA {
    N_GUI_CUSTOM_DRAW_CB draw;
    void *user_data;
    N_GUI_CUSTOM_MOUSE_CB mouse;
    void *mouse_user_data;
    N_GUI_CUSTOM_DESTROY_CB destroy;
};

// The markdown font set: regular is required, the others fall back to it.
struct N_GUI_MD {
    ALLEGRO_FONT *regular, *bold, *italic, *bold_italic, *mono, *h1, *h2, *h3;
};

// How markdown is drawn (n_gui_md_style_default fills it).
struct N_GUI_MD_STYLE {
    ALLEGRO_COLOR text_color, heading_color, link_color, code_color, code_bg, quote_color, rule_color;
    float block_gap, indent, code_pad, table_min_col_w;
    int parse_flags;
    int keep_newlines;
};

struct N_GUI_MARKDOWNVIEW_DATA {
    char *text;  // owned, never none
    N_GUI_MD fonts;
    N_GUI_MD_STYLE style;
    float scroll, content_h, layout_w;
    int relayout;
    int style_follows_theme;
    N_GUI_LINK_CB link_cb;
    void *link_user_data;
    size_t sel_a, sel_b;  // offsets into the plain text
    int selecting;
    char *pressed_link;   // owned
    char *plain;          // owned cache of the plain text
    size_t plain_len;
    int plain_flags;
};

/* ---- widgets, windows, context ---- */

struct N_GUI_WIDGET {
    int id;
    int kind;
    float x, y, w, h;  // relative to the window's content origin
    int state;
    int scroll_hot_v, scroll_hot_h;  // pointer over the widget's own scrollbars
    int visible;
    int enabled;
    N_GUI_THEME theme;
    ALLEGRO_FONT *font;  // none: the context's default font
    void *data;          // kind data, owned
    char *tooltip;       // owned, none when empty
    char persist_key[N_GUI_PERSIST_KEY_MAX];
    float norm_x, norm_y, norm_w, norm_h;  // fractions of the window, for adaptive resize
};

struct N_GUI_WINDOW {
    int id;
    char title[N_GUI_TITLE_MAX];
    char caption[N_GUI_TITLE_MAX];
    int wheel_scrollbar;  // -1: none
    float x, y, w, h;     // title bar included
    float titlebar_h;
    int state;
    int flags;
    LIST *widgets;        // creation order; the list frees its widgets
    N_GUI_THEME theme;
    ALLEGRO_FONT *font;
    float drag_dx, drag_dy;
    float min_w, min_h;
    float scroll_y, scroll_x;
    float content_h, content_w;
    int z_order;
    int z_value;
    ALLEGRO_BITMAP *body_bmp, *titlebar_bmp;
    int bitmap_mode;
    int autofit_flags;
    float autofit_border;
    float anchor_x, anchor_y;
    int resize_policy;
    float norm_x, norm_y, norm_w, norm_h;  // fractions of the display
    int tb_hover, tb_pressed;
    float saved_x, saved_y, saved_w, saved_h;
    N_GUI_THEME tb_btn_theme, tb_close_theme;
    ALLEGRO_BITMAP *tb_bitmaps[3][3];  // button 1..3 x normal, hover, active
    N_GUI_WINDOW_BUTTON_CB on_minimize, on_maximize, on_close;
    void *minimize_user_data, *maximize_user_data, *close_user_data;
    N_GUI_WINDOW_CONTENT_CB on_content;
    void *content_user_data;
    ALLEGRO_DISPLAY *native_display;  // owned while detached
    int detach_flags;
    int native;
    int close_pending;
    float attached_x, attached_y, attached_w, attached_h;
    int attached_flags;
    float native_w, native_h;
    int native_x, native_y;  // N_GUI_NATIVE_POS_UNSET when unknown
    int native_hidden;
};

struct N_GUI_PENDING_GEOM {
    char title[N_GUI_TITLE_MAX];
    float x, y, w, h;
    int state;
    int consumed;
};

struct N_GUI_PENDING_WIDGET {
    char window_title[N_GUI_TITLE_MAX];
    char key[N_GUI_PERSIST_KEY_MAX];
    int kind;
    float ratio;
    int ncols;
    int order[N_GUI_PENDING_COLS];
    int visible[N_GUI_PENDING_COLS];
    float width[N_GUI_PENDING_COLS];
    int consumed;
};

struct N_GUI_CTX {
    LIST *windows;               // z-order, first drawn first
    HASH_TABLE *widgets_table;   // every widget by "%d" of its id
    int next_widget_id;
    int next_window_id;
    ALLEGRO_FONT *default_font;
    N_GUI_THEME default_theme;
    int focused_widget_id;
    int mouse_x, mouse_y;
    int defer_cursor;
    int in_event;
    int cursor_applied;          // Allegro system cursor id
    ALLEGRO_MOUSE_CURSOR *custom_cursor_applied;
    int cursor_requested;
    ALLEGRO_MOUSE_CURSOR *custom_cursor_requested;
    int captured_widget_id;
    void *drag_state;
    int last_click_x, last_click_y;
    int double_clicked_widget_id;
    double double_click_time;
    int double_click_radius;
    int tooltip_widget_id;
    double tooltip_hover_start;
    int press_x, press_y;
    int open_combobox;
    int pointer_holder;
    int open_dropmenu;
    int suggest_textarea;
    float display_w, display_h;
    int display_size_set;
    int size_notice_given;
    float global_scroll_x, global_scroll_y;
    float gui_bounds_w, gui_bounds_h;
    float dpi_scale;
    float virtual_w, virtual_h;
    float canvas_scale;
    float letterbox_x, letterbox_y;
    int global_vscroll_state, global_hscroll_state;
    N_GUI_STYLE style;
    ALLEGRO_DISPLAY *display;   // primary display; not owned
    int last_click_widget_id;
    int selected_label_id;
    int resize_mode;
    float ref_display_w, ref_display_h;
    N_GUI_THEME tb_btn_theme, tb_close_theme;
    N_GUI_PENDING_GEOM *pending_layout;
    int pending_layout_count;
    N_GUI_PENDING_WIDGET *pending_widgets;
    int pending_widgets_count;
    ALLEGRO_EVENT_QUEUE *event_queue;  // not owned
    ALLEGRO_DISPLAY *drawing_display;  // none: the main display
    ALLEGRO_DISPLAY *event_display;
    int dirty;
    double redraw_until;
    int key_modifiers;
    double last_click_time;
    int selection_owner;  // syntax view holding the selection, -1 none
};

/* ---- time ----
   Every time the toolkit reads (double clicks, tooltips, caret blink,
   flashes) comes from n_gui_get_time. Tests replace the source; the program
   never does. */
double n_gui_get_time();                                      // al_get_time() unless a test set a source
void   n_gui_set_time_source(double (*now)());                // tests only; null restores al_get_time

/* ---- context, theme and style ---- */
[[nodiscard]] N_GUI_CTX *n_gui_new_ctx(ALLEGRO_FONT *default_font);  // none without a font or memory
void        n_gui_destroy_ctx(N_GUI_CTX **ctx);                       // frees windows and widgets, nulls *ctx
N_GUI_THEME n_gui_default_theme();
N_GUI_THEME n_gui_default_tb_btn_theme();
N_GUI_THEME n_gui_default_tb_close_theme();
N_GUI_THEME n_gui_make_theme(ALLEGRO_COLOR bg_normal, ALLEGRO_COLOR bg_hover, ALLEGRO_COLOR bg_active,
                             ALLEGRO_COLOR border_normal, ALLEGRO_COLOR border_hover, ALLEGRO_COLOR border_active,
                             ALLEGRO_COLOR text_normal, ALLEGRO_COLOR text_hover, ALLEGRO_COLOR text_active,
                             float border_thickness, float corner_rx, float corner_ry);  // selection 50,100,200,120
void        n_gui_set_default_theme(N_GUI_CTX *ctx, N_GUI_THEME theme);  // later windows and widgets; derives style colours
N_GUI_STYLE n_gui_default_style();
int         n_gui_set_default_font(N_GUI_CTX *ctx, ALLEGRO_FONT *font);  // clears the measure cache
void        n_gui_get_text_dims(ALLEGRO_FONT *font, const char *text, int *x, int *y, int *w, int *h);
void        n_gui_set_cursor(N_GUI_CTX *ctx, int system_cursor, ALLEGRO_MOUSE_CURSOR *custom);
int         n_gui_get_cursor(N_GUI_CTX *ctx, ALLEGRO_MOUSE_CURSOR **custom);  // applied system cursor id
void        _n_gui_apply_cursor(N_GUI_CTX *ctx);                              // what a deferred request waits for
void        n_gui_mark_dirty(N_GUI_CTX *ctx);
int         n_gui_needs_redraw(N_GUI_CTX *ctx);

/* ---- display size and mapping ----
   What windows need of the display: its size (maximising, layout clamps),
   the primary display (cursors), the virtual canvas and adaptive resizing. */
void   n_gui_set_display_size(N_GUI_CTX *ctx, float w, float h);
void   n_gui_set_display(N_GUI_CTX *ctx, ALLEGRO_DISPLAY *display);
void   n_gui_set_virtual_size(N_GUI_CTX *ctx, float w, float h);  // both > 0, or both <= 0 to switch it off
void   n_gui_update_transform(N_GUI_CTX *ctx);
void   n_gui_screen_to_virtual(N_GUI_CTX *ctx, float *vx, float *vy, float sx, float sy);
void   n_gui_set_resize_mode(N_GUI_CTX *ctx, int mode);
int    n_gui_get_resize_mode(N_GUI_CTX *ctx);
void   n_gui_set_shape_mode(N_GUI_CTX *ctx, int mode);           // 1 rounded, anything else 0
int    n_gui_get_shape_mode(N_GUI_CTX *ctx);

/* ---- windows ----
   (ctx, window id, ...); an unknown id does nothing and returns the
   neutral value. Windows live until the context goes. */
int   n_gui_add_window(N_GUI_CTX *ctx, const char *title, float x, float y, float w, float h);
int   n_gui_add_window_auto(N_GUI_CTX *ctx, const char *title, float x, float y);  // minimum size
N_GUI_WINDOW *n_gui_get_window(N_GUI_CTX *ctx, int id);
LIST_NODE *_find_window_node(N_GUI_CTX *ctx, int id);
void  _destroy_window(void *window);                          // the window list's free function
void  n_gui_open_window(N_GUI_CTX *ctx, int id);
void  n_gui_close_window(N_GUI_CTX *ctx, int id);             // drops focus held inside
void  n_gui_toggle_window(N_GUI_CTX *ctx, int id);
int   n_gui_window_is_open(N_GUI_CTX *ctx, int id);
void  n_gui_minimize_window(N_GUI_CTX *ctx, int id);          // a toggle
void  n_gui_restore_window(N_GUI_CTX *ctx, int id);
void  n_gui_maximize_window(N_GUI_CTX *ctx, int id);          // a toggle
int   n_gui_window_is_minimised(N_GUI_CTX *ctx, int id);
int   n_gui_window_is_maximised(N_GUI_CTX *ctx, int id);
int   n_gui_get_topmost_open_window(N_GUI_CTX *ctx);          // -1 when none
void  n_gui_window_set_zorder(N_GUI_CTX *ctx, int id, int z_mode, int z_value);
int   n_gui_window_get_zorder(N_GUI_CTX *ctx, int id);
int   n_gui_window_get_zvalue(N_GUI_CTX *ctx, int id);
void  n_gui_raise_window(N_GUI_CTX *ctx, int id);             // NORMAL and POPUP only
void  n_gui_lower_window(N_GUI_CTX *ctx, int id);             // NORMAL only
void  n_gui_window_set_flags(N_GUI_CTX *ctx, int id, int flags);
int   n_gui_window_get_flags(N_GUI_CTX *ctx, int id);
void  n_gui_window_set_caption(N_GUI_CTX *ctx, int id, const char *caption);
void  n_gui_window_set_wheel_scrollbar(N_GUI_CTX *ctx, int id, int scrollbar_id);
void  n_gui_window_set_close_callback(N_GUI_CTX *ctx, int id, N_GUI_WINDOW_BUTTON_CB cb, void *user_data);
void  n_gui_window_set_minimize_callback(N_GUI_CTX *ctx, int id, N_GUI_WINDOW_BUTTON_CB cb, void *user_data);
void  n_gui_window_set_maximize_callback(N_GUI_CTX *ctx, int id, N_GUI_WINDOW_BUTTON_CB cb, void *user_data);
void  n_gui_window_set_content_draw_callback(N_GUI_CTX *ctx, int id, N_GUI_WINDOW_CONTENT_CB cb, void *user_data);
void  n_gui_window_set_tb_btn_theme(N_GUI_CTX *ctx, int id, N_GUI_THEME theme);
void  n_gui_window_set_tb_close_theme(N_GUI_CTX *ctx, int id, N_GUI_THEME theme);
void  n_gui_window_set_tb_button_bitmaps(N_GUI_CTX *ctx, int id, int button, ALLEGRO_BITMAP *normal,
                                         ALLEGRO_BITMAP *hover, ALLEGRO_BITMAP *active);  // buttons 1..3
int   n_gui_window_button_rect(N_GUI_CTX *ctx, int id, int button, float *x, float *y, float *w, float *h);
int   n_gui_window_find_button(N_GUI_CTX *ctx, int id, const char *label);  // first button with that label, -1
void  n_gui_window_autosize(N_GUI_CTX *ctx, int id);
void  n_gui_window_set_autofit(N_GUI_CTX *ctx, int id, int flags, float border);
void  n_gui_window_apply_autofit(N_GUI_CTX *ctx, int id);
void  _window_update_content_size(N_GUI_CTX *ctx, N_GUI_WINDOW *win);
void  n_gui_window_set_resize_policy(N_GUI_CTX *ctx, int id, int policy);
int   n_gui_window_get_resize_policy(N_GUI_CTX *ctx, int id);
void  n_gui_window_update_normalized(N_GUI_CTX *ctx, int id);
void  n_gui_window_set_rect_axes(N_GUI_CTX *ctx, int id, int scale_x, int scale_y, float x, float y, float w, float h);
void  n_gui_window_set_rect(N_GUI_CTX *ctx, int id, float x, float y, float w, float h);
void  n_gui_apply_adaptive_resize(N_GUI_CTX *ctx, float w, float h);
void  n_gui_set_event_queue(N_GUI_CTX *ctx, ALLEGRO_EVENT_QUEUE *queue);
ALLEGRO_EVENT_QUEUE *n_gui_get_event_queue(N_GUI_CTX *ctx);

// Detached windows: a window moved into a native display of its own, and back.
int   n_gui_window_detach(N_GUI_CTX *ctx, int id, int flags);  // 0, or -1 with a message
int   n_gui_window_attach(N_GUI_CTX *ctx, int id);             // 0, or -1 for an unknown window
int   n_gui_window_is_detached(N_GUI_CTX *ctx, int id);
ALLEGRO_DISPLAY *n_gui_window_get_display(N_GUI_CTX *ctx, int id);
int   n_gui_window_from_display(N_GUI_CTX *ctx, ALLEGRO_DISPLAY *display);  // -1 when no window owns it
int   n_gui_count_detached(N_GUI_CTX *ctx);
int   n_gui_window_native_is_hidden(N_GUI_CTX *ctx, int id);
int   n_gui_window_set_native_icons(N_GUI_CTX *ctx, int id, ALLEGRO_BITMAP **icons, int count);  // 0 or -1
void  _window_release_native(N_GUI_CTX *ctx, N_GUI_WINDOW *win);

/* ---- widgets: constructors ----
   Each takes the context, the window id and the rectangle, returns the new
   id or -1, and leaves nothing behind when it fails. */
int n_gui_add_button(N_GUI_CTX *ctx, int window_id, const char *label, int shape, N_GUI_BUTTON_CB callback,
                     void *user_data, float x, float y, float w, float h);
int n_gui_add_button_bitmap(N_GUI_CTX *ctx, int window_id, ALLEGRO_BITMAP *normal, ALLEGRO_BITMAP *hover,
                            ALLEGRO_BITMAP *active, N_GUI_BUTTON_CB callback, void *user_data, float x, float y,
                            float w, float h);
int n_gui_add_toggle_button(N_GUI_CTX *ctx, int window_id, const char *label, int shape, int toggled,
                            N_GUI_BUTTON_CB callback, void *user_data, float x, float y, float w, float h);
int n_gui_add_slider(N_GUI_CTX *ctx, int window_id, int mode, N_GUI_SLIDER_CB callback, void *user_data, double min,
                     double max, double value, float x, float y, float w, float h);
int n_gui_add_vslider(N_GUI_CTX *ctx, int window_id, int mode, N_GUI_SLIDER_CB callback, void *user_data, double min,
                      double max, double value, float x, float y, float w, float h);
int n_gui_add_textarea(N_GUI_CTX *ctx, int window_id, int multiline, size_t max_length, N_GUI_TEXTAREA_CB callback,
                       void *user_data, float x, float y, float w, float h);  // max 0: 4095 bytes
int n_gui_add_checkbox(N_GUI_CTX *ctx, int window_id, const char *label, int checked, N_GUI_CHECKBOX_CB callback,
                       void *user_data, float x, float y, float w, float h);
int n_gui_add_scrollbar(N_GUI_CTX *ctx, int window_id, int orientation, int shape, N_GUI_SCROLLBAR_CB callback,
                        void *user_data, double content_size, double view_size, float x, float y, float w, float h);
int n_gui_add_listbox(N_GUI_CTX *ctx, int window_id, int selection_mode, N_GUI_LISTBOX_CB callback, void *user_data,
                      float x, float y, float w, float h);
int n_gui_add_radiolist(N_GUI_CTX *ctx, int window_id, N_GUI_RADIOLIST_CB callback, void *user_data, float x, float y,
                        float w, float h);
int n_gui_add_combobox(N_GUI_CTX *ctx, int window_id, N_GUI_COMBOBOX_CB callback, void *user_data, float x, float y,
                       float w, float h);
int n_gui_add_image(N_GUI_CTX *ctx, int window_id, ALLEGRO_BITMAP *bitmap, int fit_mode, float x, float y, float w,
                    float h);
int n_gui_add_label(N_GUI_CTX *ctx, int window_id, const char *text, int align, float x, float y, float w, float h);
int n_gui_add_label_link(N_GUI_CTX *ctx, int window_id, const char *text, const char *link, int align,
                         N_GUI_LINK_CB callback, void *user_data, float x, float y, float w, float h);
int n_gui_add_dropmenu(N_GUI_CTX *ctx, int window_id, const char *label, N_GUI_DROPMENU_OPEN_CB on_open,
                       void *user_data, float x, float y, float w, float h);
int n_gui_add_splitpane(N_GUI_CTX *ctx, int window_id, int orientation, N_GUI_SPLITPANE_CB callback, void *user_data,
                        float x, float y, float w, float h, float ratio);
int n_gui_add_hexview(N_GUI_CTX *ctx, int window_id, float x, float y, float w, float h);
int n_gui_add_syntaxview(N_GUI_CTX *ctx, int window_id, int mode, float x, float y, float w, float h);
int n_gui_add_datagrid(N_GUI_CTX *ctx, int window_id, N_GUI_DATAGRID_CB on_select, void *user_data, float x, float y,
                       float w, float h);
int n_gui_add_progressbar(N_GUI_CTX *ctx, int window_id, float x, float y, float w, float h);  // made disabled
int n_gui_add_custom(N_GUI_CTX *ctx, int window_id, N_GUI_CUSTOM_DRAW_CB draw, void *user_data, float x, float y,
                     float w, float h);
int n_gui_add_markdownview(N_GUI_CTX *ctx, int window_id, const N_GUI_MD *fonts, float x, float y, float w, float h);
void n_gui_md_style_default(N_GUI_MD_STYLE *style, ALLEGRO_COLOR text, ALLEGRO_COLOR background, float base);
void _destroy_widget(void *widget);  // the widget list's free function

/* ---- widgets: common operations ---- */
N_GUI_WIDGET *n_gui_get_widget(N_GUI_CTX *ctx, int id);
int   n_gui_widget_screen_rect(N_GUI_CTX *ctx, int id, float *x, float *y, float *w, float *h);  // 0 outside open windows
int   n_gui_widget_is_visible(N_GUI_CTX *ctx, int id);
void  n_gui_set_widget_visible(N_GUI_CTX *ctx, int id, int visible);
int   n_gui_is_widget_enabled(N_GUI_CTX *ctx, int id);
void  n_gui_set_widget_enabled(N_GUI_CTX *ctx, int id, int enabled);
void  n_gui_widget_set_rect(N_GUI_CTX *ctx, int id, float x, float y, float w, float h);
void  n_gui_set_widget_theme(N_GUI_CTX *ctx, int id, N_GUI_THEME theme);
void  n_gui_reset_all_widget_themes(N_GUI_CTX *ctx);
void  n_gui_set_widget_tooltip(N_GUI_CTX *ctx, int id, const char *text);  // none or "" clears
int   n_gui_tooltip_pending(N_GUI_CTX *ctx);                              // 0 none, 1 waiting, 2 due
void  n_gui_widget_set_persist_key(N_GUI_CTX *ctx, int id, const char *key);  // applies a pending layout state
const char *n_gui_widget_get_persist_key(N_GUI_CTX *ctx, int id);
N_GUI_WINDOW *_find_widget_window(N_GUI_CTX *ctx, int widget_id);
int   n_gui_hovered_widget(N_GUI_CTX *ctx);
int   n_gui_double_clicked_widget(N_GUI_CTX *ctx);
int   n_gui_was_double_click(N_GUI_CTX *ctx, int id);
void  n_gui_set_double_click_time(N_GUI_CTX *ctx, double seconds);
void  n_gui_set_double_click_radius(N_GUI_CTX *ctx, int pixels);
void  n_gui_close_menus(N_GUI_CTX *ctx);
int   n_gui_menu_is_open(N_GUI_CTX *ctx);

// Buttons; widgets of other kinds are ignored.
const char *n_gui_button_get_label(N_GUI_CTX *ctx, int id);
void  n_gui_button_set_label(N_GUI_CTX *ctx, int id, const char *label);
void  n_gui_button_set_state_bitmaps(N_GUI_CTX *ctx, int id, ALLEGRO_BITMAP *normal, ALLEGRO_BITMAP *hover,
                                     ALLEGRO_BITMAP *active);
void  n_gui_button_set_toggle_mode(N_GUI_CTX *ctx, int id, int on);
void  n_gui_button_set_toggled(N_GUI_CTX *ctx, int id, int toggled);
int   n_gui_button_is_toggled(N_GUI_CTX *ctx, int id);
void  n_gui_button_set_glyph(N_GUI_CTX *ctx, int id, int glyph);   // above 8 ignored
int   n_gui_button_get_glyph(N_GUI_CTX *ctx, int id);
void  n_gui_button_set_keycode(N_GUI_CTX *ctx, int id, int keycode, int modifiers);
void  n_gui_button_set_keycode_focused(N_GUI_CTX *ctx, int id, int keycode, int modifiers, const int *focus_ids,
                                       int count);
void  n_gui_combobox_set_flags(N_GUI_CTX *ctx, int id, int flags);

// Focus.
int   n_gui_get_focus(N_GUI_CTX *ctx);
void  n_gui_set_focus(N_GUI_CTX *ctx, int id);                     // -1 clears
void  n_gui_focus_window(N_GUI_CTX *ctx, int window_id);
int   n_gui_focus_takes_key(N_GUI_CTX *ctx, int keycode);

/* ---- text-area settings of the drawing ---- */
void  n_gui_textarea_set_mask_char(N_GUI_CTX *ctx, int id, int mask_char);  // 0: shown as typed
void  n_gui_textarea_set_placeholder(N_GUI_CTX *ctx, int id, const char *text);
