// The toolkit's context: creation and release, the themes and the style it
// hands to windows and widgets, the cursor request, the redraw rule, the time
// source, and the display size that windows are placed against.
#include "n_gui.h"
#include "n_gui_internal.h"
#include "n_gui_text.h"
#include "n_log.h"

#include <openssl/crypto.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

/* ---- time ---- */

static double (*time_source)() = nullptr;

double n_gui_get_time() { return time_source ? time_source() : al_get_time(); }

void n_gui_set_time_source(double (*now)()) { time_source = now; }

/* ---- shared helpers ---- */

N_GUI_WIDGET *ngui_widget_of(N_GUI_CTX *ctx, int id, int kind) {
    N_GUI_WIDGET *wgt = n_gui_get_widget(ctx, id);
    if (!wgt || wgt->kind != kind || !wgt->data) return nullptr;
    return wgt;
}

ALLEGRO_FONT *ngui_widget_font(N_GUI_CTX *ctx, const N_GUI_WIDGET *wgt) {
    if (wgt && wgt->font) return wgt->font;
    return ctx ? ctx->default_font : nullptr;
}

char *ngui_strdup(const char *text, const char *expr) {
    if (!text) return nullptr;
    size_t n = strlen(text);
    char *copy = static_cast<char *>(_n_calloc(expr, n + 1, sizeof(char), "char", __FILE__, __func__, __LINE__));
    if (copy) memcpy(copy, text, n);
    return copy;
}

void ngui_wipe_free(void *p, size_t n) {
    if (!p) return;
    OPENSSL_cleanse(p, n);
    free(p);
}

/* ---- themes and style ---- */

N_GUI_THEME n_gui_make_theme(ALLEGRO_COLOR bg_normal, ALLEGRO_COLOR bg_hover, ALLEGRO_COLOR bg_active,
                             ALLEGRO_COLOR border_normal, ALLEGRO_COLOR border_hover, ALLEGRO_COLOR border_active,
                             ALLEGRO_COLOR text_normal, ALLEGRO_COLOR text_hover, ALLEGRO_COLOR text_active,
                             float border_thickness, float corner_rx, float corner_ry) {
    N_GUI_THEME t;
    t.bg_normal = bg_normal;
    t.bg_hover = bg_hover;
    t.bg_active = bg_active;
    t.border_normal = border_normal;
    t.border_hover = border_hover;
    t.border_active = border_active;
    t.text_normal = text_normal;
    t.text_hover = text_hover;
    t.text_active = text_active;
    t.border_thickness = border_thickness;
    t.corner_rx = corner_rx;
    t.corner_ry = corner_ry;
    t.selection_color = ngui_rgba(50, 100, 200, 120);
    return t;
}

N_GUI_THEME n_gui_default_theme() {
    return n_gui_make_theme(ngui_rgba(50, 50, 60, 230), ngui_rgba(70, 70, 85, 240), ngui_rgba(90, 90, 110, 250),
                            ngui_rgba(120, 120, 140, 255), ngui_rgba(160, 160, 180, 255),
                            ngui_rgba(200, 200, 220, 255), ngui_rgba(220, 220, 220, 255),
                            ngui_rgba(255, 255, 255, 255), ngui_rgba(255, 255, 255, 255), 1, 4, 4);
}

N_GUI_THEME n_gui_default_tb_btn_theme() {
    N_GUI_THEME t = n_gui_make_theme(ngui_rgba(0, 0, 0, 0), ngui_rgba(255, 255, 255, 40), ngui_rgba(255, 255, 255, 80),
                                     ngui_rgba(0, 0, 0, 0), ngui_rgba(0, 0, 0, 0), ngui_rgba(0, 0, 0, 0),
                                     ngui_rgba(200, 200, 200, 255), ngui_rgba(255, 255, 255, 255),
                                     ngui_rgba(255, 255, 255, 255), 0, 2, 2);
    t.selection_color = ngui_rgba(0, 0, 0, 0);
    return t;
}

N_GUI_THEME n_gui_default_tb_close_theme() {
    N_GUI_THEME t = n_gui_default_tb_btn_theme();
    t.bg_hover = ngui_rgba(232, 17, 35, 220);
    t.bg_active = ngui_rgba(200, 10, 25, 255);
    return t;
}

N_GUI_STYLE n_gui_default_style() {
    N_GUI_STYLE s;
    s.titlebar_h = 28;
    s.min_win_w = 120;
    s.min_win_h = 60;
    s.title_padding = 8;
    s.title_max_w_reserve = 16;
    s.tb_btn_size = 0;
    s.tb_btn_spacing = 2;
    s.tb_btn_right_margin = 4;
    s.tb_btn_glyph_thickness = 1.5f;
    s.scrollbar_size = 12;
    s.scrollbar_thumb_min = 16;
    s.scrollbar_thumb_padding = 2;
    s.scrollbar_thumb_corner_r = 3;
    s.scrollbar_track_color = ngui_rgba(40, 40, 50, 200);
    s.scrollbar_thumb_color = ngui_rgba(120, 120, 140, 220);
    s.global_scrollbar_size = 14;
    s.global_scrollbar_thumb_min = 20;
    s.global_scrollbar_thumb_padding = 2;
    s.global_scrollbar_thumb_corner_r = 4;
    s.global_scrollbar_border_thickness = 1;
    s.global_scrollbar_track_color = ngui_rgba(30, 30, 40, 200);
    s.global_scrollbar_thumb_color = ngui_rgba(100, 100, 120, 220);
    s.global_scrollbar_thumb_border_color = ngui_rgba(140, 140, 160, 255);
    s.grip_size = 12;
    s.grip_line_thickness = 1;
    s.grip_color = ngui_rgba(160, 160, 180, 200);
    s.slider_track_size = 6;
    s.slider_track_corner_r = 3;
    s.slider_track_border_thickness = 1;
    s.slider_handle_min_r = 4;
    s.slider_handle_edge_offset = 2;
    s.slider_handle_border_thickness = 1.5f;
    s.slider_value_label_offset = 8;
    s.tooltip_delay = 0.6;
    s.tooltip_bg_color = ngui_rgba(28, 30, 36, 240);
    s.tooltip_border_color = ngui_rgba(110, 115, 130, 255);
    s.tooltip_text_color = ngui_rgba(225, 225, 230, 255);
    s.tooltip_max_w = 480;
    s.textarea_padding = 4;
    s.textarea_cursor_width = 2;
    s.textarea_cursor_blink_period = 1;
    s.checkbox_max_size = 20;
    s.checkbox_mark_margin = 4;
    s.checkbox_mark_thickness = 2;
    s.checkbox_label_gap = 10;
    s.checkbox_label_offset = 6;
    s.radio_circle_min_r = 4;
    s.radio_circle_border_thickness = 1.5f;
    s.radio_inner_offset = 3;
    s.radio_label_gap = 6;
    s.listbox_default_item_height = 20;
    s.radiolist_default_item_height = 22;
    s.combobox_max_visible = 6;
    s.dropmenu_max_visible = 12;
    s.item_text_padding = 6;
    s.item_selection_inset = 1;
    s.item_height_pad = 4;
    s.dropdown_arrow_reserve = 16;
    s.dropdown_arrow_thickness = 1.5f;
    s.dropdown_arrow_half_h = 3;
    s.dropdown_arrow_half_w = 5;
    s.dropdown_border_thickness = 1;
    s.shape_mode = -1;
    s.label_padding = 4;
    s.link_underline_thickness = 1;
    s.link_color_normal = ngui_rgba(80, 140, 220, 255);
    s.link_color_hover = ngui_rgba(120, 180, 255, 255);
    s.scroll_step = 20;
    s.global_scroll_step = 30;
    s.combobox_max_dropdown_width = 0;
    return s;
}

static ALLEGRO_COLOR with_alpha(ALLEGRO_COLOR c, float a) {
    c.a = a;
    return c;
}

static double linear_channel(float v) { return v <= 0.03928f ? v / 12.92 : pow((v + 0.055) / 1.055, 2.4); }

static double rel_luminance(ALLEGRO_COLOR c) {
    return 0.2126 * linear_channel(c.r) + 0.7152 * linear_channel(c.g) + 0.0722 * linear_channel(c.b);
}

static double contrast_ratio(ALLEGRO_COLOR a, ALLEGRO_COLOR b) {
    const double la = rel_luminance(a), lb = rel_luminance(b);
    return la > lb ? (la + 0.05) / (lb + 0.05) : (lb + 0.05) / (la + 0.05);
}

ALLEGRO_COLOR ngui_readable(ALLEGRO_COLOR c, ALLEGRO_COLOR toward, ALLEGRO_COLOR bg) {
    c.a = 1;
    // Theme colours are given unpremultiplied and drawn with the premultiplied
    // blender: a translucent background over more of itself (a field on its
    // window's body) comes to BG / alpha, lighter than BG.
    if (bg.a > 0 && bg.a < 1)
        bg = ALLEGRO_COLOR{fminf(bg.r / bg.a, 1), fminf(bg.g / bg.a, 1), fminf(bg.b / bg.a, 1), 1};
    // the drawn colour is rounded to 8 bits per channel: aim a little above
    const double want = NGUI_READABLE_CONTRAST + 0.05;
    if (contrast_ratio(c, bg) >= want || contrast_ratio(toward, bg) < want) return c;
    constexpr int steps = 32;
    ALLEGRO_COLOR m = c;
    for (int k = 1; k <= steps; k++) {
        const float f = static_cast<float>(k) / steps;
        m = ALLEGRO_COLOR{c.r + (toward.r - c.r) * f, c.g + (toward.g - c.g) * f, c.b + (toward.b - c.b) * f, 1};
        if (contrast_ratio(m, bg) >= want) break;
    }
    return m;
}

// Links sit on the window body: the named colours where they read on the
// theme, else moved towards the theme's text until they do.
static void derive_link_colours(N_GUI_STYLE *s, const N_GUI_THEME &theme) {
    const N_GUI_STYLE named = n_gui_default_style();
    s->link_color_normal = ngui_readable(named.link_color_normal, theme.text_normal, theme.bg_normal);
    s->link_color_hover = ngui_readable(named.link_color_hover, theme.text_hover, theme.bg_normal);
}

void n_gui_set_default_theme(N_GUI_CTX *ctx, N_GUI_THEME theme) {
    N_ASSERT(ctx, return);
    ctx->default_theme = theme;
    ctx->style.scrollbar_track_color = with_alpha(theme.bg_normal, 0.78f);
    ctx->style.scrollbar_thumb_color = with_alpha(theme.border_normal, 0.86f);
    ctx->style.global_scrollbar_track_color = with_alpha(theme.bg_active, 0.78f);
    ctx->style.global_scrollbar_thumb_color = with_alpha(theme.border_normal, 0.86f);
    ctx->style.global_scrollbar_thumb_border_color = with_alpha(theme.text_normal, 0.5f);
    for (N_GUI_THEME *tb : {&ctx->tb_btn_theme, &ctx->tb_close_theme}) {
        tb->text_normal = with_alpha(theme.text_normal, 0.8f);
        tb->text_hover = theme.text_hover;
        tb->text_active = theme.text_active;
    }
    derive_link_colours(&ctx->style, theme);
    ctx->dirty = 1;
}

/* ---- context ---- */

N_GUI_CTX *n_gui_new_ctx(ALLEGRO_FONT *default_font) {
    N_ASSERT(default_font, return nullptr);
    N_GUI_CTX *ctx = n_calloc(ctx, 1, N_GUI_CTX);
    if (!ctx) return nullptr;
    ctx->windows = new_generic_list(0);
    if (!ctx->windows) {
        n_log(LOG_ERR, "n_gui_new_ctx: failed to allocate window list");
        free(ctx);
        return nullptr;
    }
    ctx->widgets_table = new_ht(N_GUI_HT_BUCKETS);
    if (!ctx->widgets_table) {
        n_log(LOG_ERR, "n_gui_new_ctx: failed to allocate widget hash table");
        list_destroy(&ctx->windows);
        free(ctx);
        return nullptr;
    }
    ctx->next_widget_id = 1;
    ctx->next_window_id = 1;
    ctx->default_font = default_font;
    ctx->default_theme = n_gui_default_theme();
    ctx->focused_widget_id = -1;
    ctx->cursor_applied = ALLEGRO_SYSTEM_MOUSE_CURSOR_DEFAULT;
    ctx->cursor_requested = ALLEGRO_SYSTEM_MOUSE_CURSOR_DEFAULT;
    ctx->captured_widget_id = -1;
    ctx->last_click_x = ctx->last_click_y = -10000;
    ctx->double_clicked_widget_id = -1;
    ctx->double_click_time = 0.4;
    ctx->double_click_radius = 4;
    ctx->tooltip_widget_id = -1;
    ctx->press_x = ctx->press_y = -10000;
    ctx->open_combobox = -1;
    ctx->pointer_holder = -1;
    ctx->open_dropmenu = -1;
    ctx->suggest_textarea = -1;
    ctx->dpi_scale = 1.0f;
    ctx->canvas_scale = 1.0f;
    ctx->style = n_gui_default_style();
    derive_link_colours(&ctx->style, ctx->default_theme);
    ctx->last_click_widget_id = -1;
    ctx->selected_label_id = -1;
    ctx->tb_btn_theme = n_gui_default_tb_btn_theme();
    ctx->tb_close_theme = n_gui_default_tb_close_theme();
    ctx->dirty = 1;
    ctx->selection_owner = -1;
    return ctx;
}

void n_gui_destroy_ctx(N_GUI_CTX **ctx) {
    N_ASSERT(ctx && *ctx, return);
    N_GUI_CTX *c = *ctx;
    // The X11 clipboard service, which the context would stop first, is not
    // part of this build of the toolkit.
    for (LIST_NODE *n = c->windows ? c->windows->start : nullptr; n; n = n->next) {
        auto *win = static_cast<N_GUI_WINDOW *>(n->ptr);
        if (win && win->native_display) _window_release_native(c, win);
    }
    if (c->windows) list_destroy(&c->windows);
    if (c->widgets_table) destroy_ht(&c->widgets_table);
    free(c->pending_layout);
    free(c->pending_widgets);
    free(c);
    *ctx = nullptr;
    // Fonts may be freed right after the context: a slot keyed by a freed
    // font's address would answer for the next font allocated there.
    n_gui_text_cache_clear();
}

int n_gui_set_default_font(N_GUI_CTX *ctx, ALLEGRO_FONT *font) {
    N_ASSERT(ctx, return 0);
    N_ASSERT(font, return 0);
    ctx->default_font = font;
    n_gui_text_cache_clear();
    for (LIST_NODE *n = ctx->windows->start; n; n = n->next)
        if (n->ptr) _window_update_content_size(ctx, static_cast<N_GUI_WINDOW *>(n->ptr));
    ctx->dirty = 1;
    return 1;
}

void n_gui_get_text_dims(ALLEGRO_FONT *font, const char *text, int *x, int *y, int *w, int *h) {
    int bx = 0, by = 0, bw = 0, bh = 0;
    if (font && text) al_get_text_dimensions(font, text, &bx, &by, &bw, &bh);
    if (x) *x = bx;
    if (y) *y = by;
    if (w) *w = bw;
    if (h) *h = bh;
}

/* ---- cursor ---- */

void _n_gui_apply_cursor(N_GUI_CTX *ctx) {
    N_ASSERT(ctx, return);
    ALLEGRO_DISPLAY *d = ctx->event_display ? ctx->event_display : ctx->display;
    if (ctx->custom_cursor_requested) {
        if (ctx->custom_cursor_requested == ctx->custom_cursor_applied) return;
        if (d) al_set_mouse_cursor(d, ctx->custom_cursor_requested);
        ctx->custom_cursor_applied = ctx->custom_cursor_requested;
        return;
    }
    if (!ctx->custom_cursor_applied && ctx->cursor_requested == ctx->cursor_applied) return;
    if (d) al_set_system_mouse_cursor(d, static_cast<ALLEGRO_SYSTEM_MOUSE_CURSOR>(ctx->cursor_requested));
    ctx->cursor_applied = ctx->cursor_requested;
    ctx->custom_cursor_applied = nullptr;
}

void n_gui_set_cursor(N_GUI_CTX *ctx, int system_cursor, ALLEGRO_MOUSE_CURSOR *custom) {
    N_ASSERT(ctx, return);
    ctx->cursor_requested = system_cursor;
    ctx->custom_cursor_requested = custom;
    if (!ctx->defer_cursor) _n_gui_apply_cursor(ctx);
}

int n_gui_get_cursor(N_GUI_CTX *ctx, ALLEGRO_MOUSE_CURSOR **custom) {
    if (!ctx) {
        if (custom) *custom = nullptr;
        return ALLEGRO_SYSTEM_MOUSE_CURSOR_DEFAULT;
    }
    if (custom) *custom = ctx->custom_cursor_applied;
    return ctx->cursor_applied;
}

/* ---- redraw ---- */

void n_gui_mark_dirty(N_GUI_CTX *ctx) {
    N_ASSERT(ctx, return);
    ctx->dirty = 1;
}

int n_gui_needs_redraw(N_GUI_CTX *ctx) {
    if (!ctx) return 1;
    if (ctx->dirty) return 1;
    if (ctx->redraw_until > 0 && n_gui_get_time() < ctx->redraw_until) return 1;
    // a focused text area's caret blinks
    N_GUI_WIDGET *f = ctx->focused_widget_id >= 0 ? n_gui_get_widget(ctx, ctx->focused_widget_id) : nullptr;
    return f && f->kind == N_GUI_TYPE_TEXTAREA ? 1 : 0;
}

/* ---- display size and mapping ---- */

void n_gui_update_transform(N_GUI_CTX *ctx) {
    N_ASSERT(ctx, return);
    if (ctx->virtual_w > 0 && ctx->virtual_h > 0 && ctx->display_w > 0 && ctx->display_h > 0) {
        float s = fminf(ctx->display_w / ctx->virtual_w, ctx->display_h / ctx->virtual_h);
        if (s < 0.01f) s = 0.01f;
        ctx->canvas_scale = s;
        ctx->letterbox_x = (ctx->display_w - ctx->virtual_w * s) / 2;
        ctx->letterbox_y = (ctx->display_h - ctx->virtual_h * s) / 2;
    } else {
        ctx->canvas_scale = 1;
        ctx->letterbox_x = ctx->letterbox_y = 0;
    }
}

void n_gui_set_display_size(N_GUI_CTX *ctx, float w, float h) {
    N_ASSERT(ctx, return);
    ctx->display_w = w;
    ctx->display_h = h;
    ctx->display_size_set = 1;
    if (ctx->resize_mode == N_GUI_RESIZE_MODE_ADAPTIVE) n_gui_apply_adaptive_resize(ctx, w, h);
    else if (ctx->virtual_w > 0 && ctx->virtual_h > 0) n_gui_update_transform(ctx);
    ctx->dirty = 1;
}

void n_gui_set_display(N_GUI_CTX *ctx, ALLEGRO_DISPLAY *display) {
    N_ASSERT(ctx, return);
    ctx->display = display;
}

void n_gui_set_virtual_size(N_GUI_CTX *ctx, float w, float h) {
    N_ASSERT(ctx, return);
    if ((w > 0) != (h > 0)) {
        n_log(LOG_ERR,
              "n_gui_set_virtual_size: both dimensions must be > 0 (got w=%.1f, h=%.1f); virtual canvas not changed",
              static_cast<double>(w), static_cast<double>(h));
        return;
    }
    ctx->virtual_w = w > 0 ? w : 0;
    ctx->virtual_h = h > 0 ? h : 0;
    n_gui_update_transform(ctx);
    ctx->dirty = 1;
}

void n_gui_screen_to_virtual(N_GUI_CTX *ctx, float *vx, float *vy, float sx, float sy) {
    N_ASSERT(ctx, return);
    float x = sx, y = sy;
    if (ctx->virtual_w > 0 && ctx->virtual_h > 0 && ctx->canvas_scale > 0) {
        x = (sx - ctx->letterbox_x) / ctx->canvas_scale;
        y = (sy - ctx->letterbox_y) / ctx->canvas_scale;
    }
    if (vx) *vx = x;
    if (vy) *vy = y;
}

void n_gui_set_resize_mode(N_GUI_CTX *ctx, int mode) {
    N_ASSERT(ctx, return);
    ctx->resize_mode = mode;
    if (mode != N_GUI_RESIZE_MODE_ADAPTIVE) return;
    ctx->virtual_w = ctx->virtual_h = 0;
    ctx->canvas_scale = 1;
    ctx->letterbox_x = ctx->letterbox_y = 0;
    ctx->ref_display_w = ctx->display_w;
    ctx->ref_display_h = ctx->display_h;
    for (LIST_NODE *n = ctx->windows->start; n; n = n->next)
        if (n->ptr) ngui_capture_window_norm(ctx, static_cast<N_GUI_WINDOW *>(n->ptr));
}

int n_gui_get_resize_mode(N_GUI_CTX *ctx) { return ctx ? ctx->resize_mode : 0; }

void n_gui_set_shape_mode(N_GUI_CTX *ctx, int mode) {
    N_ASSERT(ctx, return);
    ctx->style.shape_mode = mode == 1 ? 1 : 0;
    ctx->dirty = 1;
}

int n_gui_get_shape_mode(N_GUI_CTX *ctx) { return ctx ? ctx->style.shape_mode : 1; }
