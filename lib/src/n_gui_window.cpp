// Toolkit windows: creation with any pending saved geometry, the z-ordered
// list, open / close / minimise / maximise, title-bar button geometry,
// content size and autofit, adaptive placement, and detaching a window into a
// native display of its own and attaching it back.
#include "n_gui.h"
#include "n_gui_internal.h"
#include "n_gui_kinds.h"
#include "n_gui_text.h"
#include "n_log.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

/* ---- lookup ---- */

LIST_NODE *_find_window_node(N_GUI_CTX *ctx, int id) {
    N_ASSERT(ctx && ctx->windows, return nullptr);
    for (LIST_NODE *n = ctx->windows->start; n; n = n->next) {
        auto *win = static_cast<N_GUI_WINDOW *>(n->ptr);
        if (win && win->id == id) return n;
    }
    return nullptr;
}

N_GUI_WINDOW *n_gui_get_window(N_GUI_CTX *ctx, int id) {
    N_ASSERT(ctx, return nullptr);
    LIST_NODE *n = _find_window_node(ctx, id);
    return n ? static_cast<N_GUI_WINDOW *>(n->ptr) : nullptr;
}

float ngui_titlebar_h(const N_GUI_WINDOW *win) { return (win->flags & N_GUI_WIN_NO_TITLEBAR) ? 0.0f : win->titlebar_h; }

void _destroy_window(void *ptr) {
    auto *win = static_cast<N_GUI_WINDOW *>(ptr);
    if (!win) return;
    if (win->widgets) list_destroy(&win->widgets);
    free(win);
}

/* ---- normalised rectangles ---- */

void ngui_widget_norm(const N_GUI_WINDOW *win, N_GUI_WIDGET *wgt) {
    if (!(win->w > 0 && win->h > 0)) return;
    wgt->norm_x = wgt->x / win->w;
    wgt->norm_y = wgt->y / win->h;
    wgt->norm_w = wgt->w / win->w;
    wgt->norm_h = wgt->h / win->h;
}

void ngui_widgets_norm(N_GUI_WINDOW *win) {
    for (LIST_NODE *n = win->widgets->start; n; n = n->next)
        if (n->ptr) ngui_widget_norm(win, static_cast<N_GUI_WIDGET *>(n->ptr));
}

void ngui_capture_window_norm(N_GUI_CTX *ctx, N_GUI_WINDOW *win) {
    float W = ctx->ref_display_w > 0 ? ctx->ref_display_w : ctx->display_w;
    float H = ctx->ref_display_h > 0 ? ctx->ref_display_h : ctx->display_h;
    if (!(W > 0 && H > 0)) return;
    win->norm_x = win->x / W;
    win->norm_y = win->y / H;
    win->norm_w = win->w / W;
    win->norm_h = win->h / H;
    if (win->resize_policy == N_GUI_RESIZE_SCALE) ngui_widgets_norm(win);
}

/* ---- z-order ---- */

static int zrank(int z) {
    switch (z) {
    case N_GUI_ZORDER_ALWAYS_BEHIND: return 0;
    case N_GUI_ZORDER_FIXED: return 1;
    case N_GUI_ZORDER_ALWAYS_ON_TOP: return 3;
    case N_GUI_ZORDER_POPUP: return 4;
    default: return 2;
    }
}

// a draws strictly below b
static bool zbelow(const N_GUI_WINDOW *a, const N_GUI_WINDOW *b) {
    int ra = zrank(a->z_order), rb = zrank(b->z_order);
    if (ra != rb) return ra < rb;
    return a->z_order == N_GUI_ZORDER_FIXED && a->z_value < b->z_value;
}

// A stable insertion sort over the nodes' items, in place: it allocates
// nothing, so no raise, lower or new window can be left out of its class
// because memory ran short (the nodes stay, only their items move).
void ngui_sort_windows(N_GUI_CTX *ctx) {
    if (!ctx->windows->start) return;
    for (LIST_NODE *node = ctx->windows->start->next; node; node = node->next) {
        auto *w = static_cast<N_GUI_WINDOW *>(node->ptr);
        if (!w) continue;
        LIST_NODE *j = node;
        while (j->prev && j->prev->ptr && zbelow(w, static_cast<N_GUI_WINDOW *>(j->prev->ptr))) {
            j->ptr = j->prev->ptr;
            j = j->prev;
        }
        j->ptr = w;
    }
}

// Moves the window's item to the end (or the front) of the list without
// touching the nodes.
static void move_window_item(N_GUI_CTX *ctx, LIST_NODE *node, bool to_end) {
    void *item = node->ptr;
    if (to_end) {
        for (LIST_NODE *n = node; n->next; n = n->next) n->ptr = n->next->ptr;
        ctx->windows->end->ptr = item;
    } else {
        for (LIST_NODE *n = node; n->prev; n = n->prev) n->ptr = n->prev->ptr;
        ctx->windows->start->ptr = item;
    }
}

void n_gui_window_set_zorder(N_GUI_CTX *ctx, int id, int z_mode, int z_value) {
    N_ASSERT(ctx, return);
    N_GUI_WINDOW *win = n_gui_get_window(ctx, id);
    if (!win) return;
    if (z_mode < 0 || z_mode > N_GUI_ZORDER_POPUP) {
        n_log(LOG_ERR,
              "n_gui_window_set_zorder: unknown z_mode %d for window %d (expected N_GUI_ZORDER_NORMAL, "
              "N_GUI_ZORDER_ALWAYS_ON_TOP, N_GUI_ZORDER_ALWAYS_BEHIND, N_GUI_ZORDER_FIXED, or N_GUI_ZORDER_POPUP), "
              "falling back to N_GUI_ZORDER_NORMAL",
              z_mode, id);
        z_mode = N_GUI_ZORDER_NORMAL;
    }
    win->z_order = z_mode;
    win->z_value = z_value;
    ngui_sort_windows(ctx);
    ctx->dirty = 1;
}

int n_gui_window_get_zorder(N_GUI_CTX *ctx, int id) {
    N_GUI_WINDOW *win = ctx ? n_gui_get_window(ctx, id) : nullptr;
    return win ? win->z_order : 0;
}

int n_gui_window_get_zvalue(N_GUI_CTX *ctx, int id) {
    N_GUI_WINDOW *win = ctx ? n_gui_get_window(ctx, id) : nullptr;
    return win ? win->z_value : 0;
}

void n_gui_raise_window(N_GUI_CTX *ctx, int id) {
    N_ASSERT(ctx, return);
    LIST_NODE *node = _find_window_node(ctx, id);
    if (!node) return;
    auto *win = static_cast<N_GUI_WINDOW *>(node->ptr);
    if (win->z_order == N_GUI_ZORDER_NORMAL || win->z_order == N_GUI_ZORDER_POPUP) move_window_item(ctx, node, true);
    ngui_sort_windows(ctx);
    ctx->dirty = 1;
}

void n_gui_lower_window(N_GUI_CTX *ctx, int id) {
    N_ASSERT(ctx, return);
    LIST_NODE *node = _find_window_node(ctx, id);
    if (!node) return;
    auto *win = static_cast<N_GUI_WINDOW *>(node->ptr);
    if (win->z_order == N_GUI_ZORDER_NORMAL) move_window_item(ctx, node, false);
    ngui_sort_windows(ctx);
    ctx->dirty = 1;
}

/* ---- creation ---- */

static void apply_pending_geometry(N_GUI_CTX *ctx, N_GUI_WINDOW *win) {
    if (!ctx->pending_layout || ctx->pending_layout_count <= 0 || !win->title[0]) return;
    N_GUI_PENDING_GEOM *last = nullptr;
    for (int i = 0; i < ctx->pending_layout_count; i++) {
        N_GUI_PENDING_GEOM *g = &ctx->pending_layout[i];
        if (g->consumed || strncmp(g->title, win->title, N_GUI_TITLE_MAX) != 0) continue;
        g->consumed = 1;
        last = g;
    }
    if (!last) return;
    const int kept = N_GUI_WIN_STATE_MINIMISED | N_GUI_WIN_STATE_MAXIMISED;
    if (last->state & N_GUI_WIN_STATE_MAXIMISED) {
        // The layout holds only the maximised rectangle: the caller's own,
        // grown to the minimum size, is what "restore" comes back to.
        win->saved_x = win->x;
        win->saved_y = win->y;
        win->saved_w = win->w > win->min_w ? win->w : win->min_w;
        win->saved_h = win->h > win->min_h ? win->h : win->min_h;
    }
    // The layout is a file on disk: a damaged coordinate keeps the caller's.
    if (std::isfinite(last->x)) win->x = ngui_coord(last->x);
    if (std::isfinite(last->y)) win->y = ngui_coord(last->y);
    if (ctx->display_w > 0 && (win->x < 0 || win->x > ctx->display_w)) win->x = 0;
    if (ctx->display_h > 0 && (win->y < 0 || win->y > ctx->display_h)) win->y = 0;
    if (last->w > 0 && last->h > 0 && std::isfinite(last->w) && std::isfinite(last->h)) {
        win->w = ctx->display_w > 0 && ctx->display_w < last->w ? ctx->display_w : ngui_extent(last->w);
        win->h = ctx->display_h > 0 && ctx->display_h < last->h ? ctx->display_h : ngui_extent(last->h);
    }
    win->state = (win->state & ~kept) | (last->state & kept);
}

int n_gui_add_window(N_GUI_CTX *ctx, const char *title, float x, float y, float w, float h) {
    N_ASSERT(ctx, return -1);
    x = ngui_coord(x);
    y = ngui_coord(y);
    w = ngui_extent(w);
    h = ngui_extent(h);
    N_GUI_WINDOW *win = n_calloc(win, 1, N_GUI_WINDOW);
    if (!win) return -1;
    win->widgets = new_generic_list(0);
    if (!win->widgets) {
        n_log(LOG_ERR, "n_gui_add_window: failed to allocate widget list");
        free(win);
        return -1;
    }
    win->id = ctx->next_window_id;
    n_gui_copy_text(win->title, sizeof win->title, title ? title : "", 0);
    win->wheel_scrollbar = -1;
    win->x = x;
    win->y = y;
    win->w = w;
    win->h = h;
    win->titlebar_h = ctx->style.titlebar_h;
    win->state = N_GUI_WIN_STATE_OPEN;
    win->theme = ctx->default_theme;
    win->min_w = ctx->style.min_win_w;
    win->min_h = ctx->style.min_win_h;
    win->z_order = N_GUI_ZORDER_NORMAL;
    win->anchor_x = x;
    win->anchor_y = y;
    win->resize_policy = N_GUI_RESIZE_FIXED;
    win->tb_btn_theme = ctx->tb_btn_theme;
    win->tb_close_theme = ctx->tb_close_theme;
    win->attached_x = x;
    win->attached_y = y;
    win->attached_w = w;
    win->attached_h = h;
    win->native_x = win->native_y = N_GUI_NATIVE_POS_UNSET;
    apply_pending_geometry(ctx, win);
    if (!list_push(ctx->windows, win, _destroy_window)) {
        _destroy_window(win);
        return -1;
    }
    ctx->next_window_id++;
    if (ctx->resize_mode == N_GUI_RESIZE_MODE_ADAPTIVE) ngui_capture_window_norm(ctx, win);
    ngui_sort_windows(ctx);
    ctx->dirty = 1;
    return win->id;
}

int n_gui_add_window_auto(N_GUI_CTX *ctx, const char *title, float x, float y) {
    N_ASSERT(ctx, return -1);
    return n_gui_add_window(ctx, title, x, y, ctx->style.min_win_w, ctx->style.min_win_h);
}

/* ---- open, close, minimise, maximise ---- */

// A frameless native window shows its minimised state by shrinking to its
// title bar; a framed one is left to the window manager.
static void apply_native_minimised(N_GUI_WINDOW *win) {
    ALLEGRO_DISPLAY *d = win->native_display;
    if (!d || !(win->detach_flags & N_GUI_DETACH_FRAMELESS)) return;
    bool minimised = win->state & N_GUI_WIN_STATE_MINIMISED;
    int th;
    if (minimised) th = (win->flags & N_GUI_WIN_NO_TITLEBAR) ? 1 : static_cast<int>(lroundf(win->titlebar_h));
    else th = static_cast<int>(lroundf(win->h));
    if (th < 1) th = 1;
    bool resizable = al_get_display_flags(d) & ALLEGRO_RESIZABLE;
    if (minimised && resizable) {
        al_set_window_constraints(d, static_cast<int>(lroundf(win->min_w)), th, 0, 0);
        al_apply_window_constraints(d, true);
    }
    int tw = static_cast<int>(lroundf(win->w));
    if (tw < 1) tw = 1;
    if (al_get_display_width(d) != tw || al_get_display_height(d) != th) al_resize_display(d, tw, th);
    if (!minimised && resizable) {
        al_set_window_constraints(d, static_cast<int>(lroundf(win->min_w)), static_cast<int>(lroundf(win->min_h)), 0, 0);
        al_apply_window_constraints(d, true);
    }
}

void n_gui_open_window(N_GUI_CTX *ctx, int id) {
    N_ASSERT(ctx, return);
    N_GUI_WINDOW *win = n_gui_get_window(ctx, id);
    if (!win) return;
    win->state |= N_GUI_WIN_STATE_OPEN;
    if (win->native_display) win->close_pending = 0;
    else if (win->native && ctx->event_queue) (void)n_gui_window_detach(ctx, id, win->detach_flags);
    ctx->dirty = 1;
}

// Keys must not go on reaching a widget nobody sees (a password field, say).
static void drop_focus_inside(N_GUI_CTX *ctx, const N_GUI_WINDOW *win) {
    if (ctx->focused_widget_id >= 0 && _find_widget_window(ctx, ctx->focused_widget_id) == win) n_gui_set_focus(ctx, -1);
}

void n_gui_close_window(N_GUI_CTX *ctx, int id) {
    N_ASSERT(ctx, return);
    N_GUI_WINDOW *win = n_gui_get_window(ctx, id);
    if (!win) return;
    win->state &= ~N_GUI_WIN_STATE_OPEN;
    drop_focus_inside(ctx, win);
    if (win->native_display) win->close_pending = 1;
    ctx->dirty = 1;
}

void n_gui_toggle_window(N_GUI_CTX *ctx, int id) {
    N_ASSERT(ctx, return);
    N_GUI_WINDOW *win = n_gui_get_window(ctx, id);
    if (!win) return;
    win->state ^= N_GUI_WIN_STATE_OPEN;
    if (!(win->state & N_GUI_WIN_STATE_OPEN)) drop_focus_inside(ctx, win);
    ctx->dirty = 1;
}

static int state_bit(N_GUI_CTX *ctx, int id, int bit) {
    N_ASSERT(ctx, return 0);
    N_GUI_WINDOW *win = n_gui_get_window(ctx, id);
    return win && (win->state & bit) ? 1 : 0;
}

int n_gui_window_is_open(N_GUI_CTX *ctx, int id) { return state_bit(ctx, id, N_GUI_WIN_STATE_OPEN); }
int n_gui_window_is_minimised(N_GUI_CTX *ctx, int id) { return state_bit(ctx, id, N_GUI_WIN_STATE_MINIMISED); }
int n_gui_window_is_maximised(N_GUI_CTX *ctx, int id) { return state_bit(ctx, id, N_GUI_WIN_STATE_MAXIMISED); }

void n_gui_minimize_window(N_GUI_CTX *ctx, int id) {
    N_ASSERT(ctx, return);
    N_GUI_WINDOW *win = n_gui_get_window(ctx, id);
    if (!win) return;
    win->state ^= N_GUI_WIN_STATE_MINIMISED;
    apply_native_minimised(win);
    ctx->dirty = 1;
}

void n_gui_restore_window(N_GUI_CTX *ctx, int id) {
    N_ASSERT(ctx, return);
    N_GUI_WINDOW *win = n_gui_get_window(ctx, id);
    if (!win) return;
    win->state &= ~N_GUI_WIN_STATE_MINIMISED;
    apply_native_minimised(win);
    ctx->dirty = 1;
}

static void save_rect(N_GUI_WINDOW *win) {
    win->saved_x = win->x;
    win->saved_y = win->y;
    win->saved_w = win->w;
    win->saved_h = win->h;
}

void n_gui_maximize_window(N_GUI_CTX *ctx, int id) {
    N_ASSERT(ctx, return);
    N_GUI_WINDOW *win = n_gui_get_window(ctx, id);
    if (!win) return;
    ALLEGRO_DISPLAY *d = win->native_display;
    if (!d || !(win->detach_flags & N_GUI_DETACH_FRAMELESS)) {
        if (win->state & N_GUI_WIN_STATE_MAXIMISED) {
            win->x = win->saved_x;
            win->y = win->saved_y;
            win->w = win->saved_w;
            win->h = win->saved_h;
            win->state &= ~N_GUI_WIN_STATE_MAXIMISED;
        } else {
            save_rect(win);
            win->x = win->y = 0;
            win->w = ctx->virtual_w > 0 ? ctx->virtual_w : ctx->display_w;
            win->h = ctx->virtual_h > 0 ? ctx->virtual_h : ctx->display_h;
            win->state &= ~N_GUI_WIN_STATE_MINIMISED;
            win->state |= N_GUI_WIN_STATE_MAXIMISED;
        }
        if (ctx->resize_mode == N_GUI_RESIZE_MODE_ADAPTIVE) ngui_capture_window_norm(ctx, win);
        ctx->dirty = 1;
        return;
    }
    if (win->state & N_GUI_WIN_STATE_MAXIMISED) {
        if (!al_set_display_flag(d, ALLEGRO_MAXIMIZED, false)) {
            n_log(LOG_DEBUG, "n_gui_maximize_window: window manager refused ALLEGRO_MAXIMIZED for window %d", id);
            al_resize_display(d, static_cast<int>(lroundf(win->saved_w)), static_cast<int>(lroundf(win->saved_h)));
        }
        win->state &= ~N_GUI_WIN_STATE_MAXIMISED;
    } else {
        save_rect(win);
        win->state &= ~N_GUI_WIN_STATE_MINIMISED;
        apply_native_minimised(win);
        if (!al_set_display_flag(d, ALLEGRO_MAXIMIZED, true)) {
            n_log(LOG_DEBUG, "n_gui_maximize_window: window manager refused ALLEGRO_MAXIMIZED for window %d", id);
            int wx = 0, wy = 0;
            al_get_window_position(d, &wx, &wy);
            int adapters = al_get_num_video_adapters();
            ALLEGRO_MONITOR_INFO info{};
            bool found = false;
            for (int i = 0; i < adapters && !found; i++)
                if (al_get_monitor_info(i, &info) && wx >= info.x1 && wx < info.x2 && wy >= info.y1 && wy < info.y2)
                    found = true;
            if (!found && adapters > 0) found = al_get_monitor_info(0, &info);
            if (found) {
                al_set_window_position(d, info.x1, info.y1);
                al_resize_display(d, info.x2 - info.x1, info.y2 - info.y1);
            }
        }
        win->state |= N_GUI_WIN_STATE_MAXIMISED;
    }
    ctx->dirty = 1;
}

int n_gui_get_topmost_open_window(N_GUI_CTX *ctx) {
    N_ASSERT(ctx, return -1);
    for (LIST_NODE *n = ctx->windows->end; n; n = n->prev) {
        auto *win = static_cast<N_GUI_WINDOW *>(n->ptr);
        if (win && (win->state & N_GUI_WIN_STATE_OPEN) && !(win->state & N_GUI_WIN_STATE_MINIMISED)) return win->id;
    }
    return -1;
}

/* ---- other settings ---- */

#define WINDOW_OR_RETURN(...)                                \
    N_ASSERT(ctx, return __VA_ARGS__);                       \
    N_GUI_WINDOW *win = n_gui_get_window(ctx, id);           \
    if (!win) return __VA_ARGS__

void n_gui_window_set_flags(N_GUI_CTX *ctx, int id, int flags) {
    WINDOW_OR_RETURN();
    win->flags = flags;
    ctx->dirty = 1;
}

int n_gui_window_get_flags(N_GUI_CTX *ctx, int id) {
    WINDOW_OR_RETURN(0);
    return win->flags;
}

void n_gui_window_set_caption(N_GUI_CTX *ctx, int id, const char *caption) {
    WINDOW_OR_RETURN();
    n_gui_copy_text(win->caption, sizeof win->caption, caption ? caption : "", 0);
    if (win->native_display) al_set_window_title(win->native_display, win->caption[0] ? win->caption : win->title);
    ctx->dirty = 1;
}

void n_gui_window_set_wheel_scrollbar(N_GUI_CTX *ctx, int id, int scrollbar_id) {
    WINDOW_OR_RETURN();
    win->wheel_scrollbar = scrollbar_id < 0 ? -1 : scrollbar_id;
}

void n_gui_window_set_close_callback(N_GUI_CTX *ctx, int id, N_GUI_WINDOW_BUTTON_CB cb, void *user_data) {
    WINDOW_OR_RETURN();
    win->on_close = cb;
    win->close_user_data = user_data;
}

void n_gui_window_set_minimize_callback(N_GUI_CTX *ctx, int id, N_GUI_WINDOW_BUTTON_CB cb, void *user_data) {
    WINDOW_OR_RETURN();
    win->on_minimize = cb;
    win->minimize_user_data = user_data;
}

void n_gui_window_set_maximize_callback(N_GUI_CTX *ctx, int id, N_GUI_WINDOW_BUTTON_CB cb, void *user_data) {
    WINDOW_OR_RETURN();
    win->on_maximize = cb;
    win->maximize_user_data = user_data;
}

void n_gui_window_set_content_draw_callback(N_GUI_CTX *ctx, int id, N_GUI_WINDOW_CONTENT_CB cb, void *user_data) {
    WINDOW_OR_RETURN();
    win->on_content = cb;
    win->content_user_data = user_data;
}

void n_gui_window_set_tb_btn_theme(N_GUI_CTX *ctx, int id, N_GUI_THEME theme) {
    WINDOW_OR_RETURN();
    win->tb_btn_theme = theme;
    ctx->dirty = 1;
}

void n_gui_window_set_tb_close_theme(N_GUI_CTX *ctx, int id, N_GUI_THEME theme) {
    WINDOW_OR_RETURN();
    win->tb_close_theme = theme;
    ctx->dirty = 1;
}

void n_gui_window_set_tb_button_bitmaps(N_GUI_CTX *ctx, int id, int button, ALLEGRO_BITMAP *normal,
                                        ALLEGRO_BITMAP *hover, ALLEGRO_BITMAP *active) {
    WINDOW_OR_RETURN();
    if (button < N_GUI_TB_MINIMISE || button > N_GUI_TB_CLOSE) return;
    win->tb_bitmaps[button - 1][0] = normal;
    win->tb_bitmaps[button - 1][1] = hover;
    win->tb_bitmaps[button - 1][2] = active;
    ctx->dirty = 1;
}

int n_gui_window_button_rect(N_GUI_CTX *ctx, int id, int button, float *x, float *y, float *w, float *h) {
    WINDOW_OR_RETURN(0);
    if (win->flags & N_GUI_WIN_NO_TITLEBAR) return 0;
    const bool has_close = win->flags & N_GUI_WIN_BTN_CLOSE, has_max = win->flags & N_GUI_WIN_BTN_MAXIMISE,
               has_min = win->flags & N_GUI_WIN_BTN_MINIMISE;
    int slot;
    switch (button) {
    case N_GUI_TB_CLOSE:
        if (!has_close) return 0;
        slot = 0;
        break;
    case N_GUI_TB_MAXIMISE:
        if (!has_max) return 0;
        slot = has_close ? 1 : 0;
        break;
    case N_GUI_TB_MINIMISE:
        if (!has_min) return 0;
        slot = (has_close ? 1 : 0) + (has_max ? 1 : 0);
        break;
    default: return 0;
    }
    float s = ctx->style.tb_btn_size > 0 ? ctx->style.tb_btn_size : win->titlebar_h - 4;
    if (x) *x = win->x + win->w - ctx->style.tb_btn_right_margin - s - (ctx->style.tb_btn_spacing + s) * slot;
    if (y) *y = win->y + (win->titlebar_h - s) / 2;
    if (w) *w = s;
    if (h) *h = s;
    return 1;
}

int n_gui_window_find_button(N_GUI_CTX *ctx, int id, const char *label) {
    WINDOW_OR_RETURN(-1);
    if (!label) return -1;
    for (LIST_NODE *n = win->widgets->start; n; n = n->next) {
        auto *wgt = static_cast<N_GUI_WIDGET *>(n->ptr);
        if (wgt && wgt->kind == N_GUI_TYPE_BUTTON && wgt->data &&
            strcmp(static_cast<N_GUI_BUTTON_DATA *>(wgt->data)->label, label) == 0)
            return wgt->id;
    }
    return -1;
}

/* ---- content size, autosize, autofit ---- */

static void widgets_extent(const N_GUI_WINDOW *win, bool visible_only, float *cw, float *ch) {
    float mx = 0, my = 0;
    for (LIST_NODE *n = win->widgets->start; n; n = n->next) {
        auto *wgt = static_cast<N_GUI_WIDGET *>(n->ptr);
        if (!wgt || (visible_only && !wgt->visible)) continue;
        if (wgt->x + wgt->w > mx) mx = wgt->x + wgt->w;
        if (wgt->y + wgt->h > my) my = wgt->y + wgt->h;
    }
    *cw = mx;
    *ch = my;
}

void _window_update_content_size(N_GUI_CTX *ctx, N_GUI_WINDOW *win) {
    N_ASSERT(ctx && win, return);
    float mx = 0, my = 0;
    const bool scrolls = win->flags & N_GUI_WIN_CONTENT_SCROLL;
    for (LIST_NODE *n = win->widgets->start; n; n = n->next) {
        auto *wgt = static_cast<N_GUI_WIDGET *>(n->ptr);
        if (!wgt || !wgt->visible) continue;
        float right = wgt->x + wgt->w;
        if (scrolls && wgt->kind == N_GUI_TYPE_LABEL && wgt->data) {
            auto *ld = static_cast<N_GUI_LABEL_DATA *>(wgt->data);
            ALLEGRO_FONT *f = wgt->font ? wgt->font : ctx->default_font;
            if (ld->text[0] && ld->align != N_GUI_ALIGN_JUSTIFIED && f) {
                float need = wgt->x + _text_w(f, ld->text) + 8;
                if (need > right) right = need;
            }
        }
        if (right > mx) mx = right;
        if (wgt->y + wgt->h > my) my = wgt->y + wgt->h;
    }
    win->content_w = mx;
    win->content_h = my;
}

void n_gui_window_autosize(N_GUI_CTX *ctx, int id) {
    WINDOW_OR_RETURN();
    float cw = 0, ch = 0;
    widgets_extent(win, false, &cw, &ch);
    if (!win->widgets->start) cw = ch = 0;
    cw += 20;
    ch += 20 + ngui_titlebar_h(win);
    win->w = cw > win->min_w ? cw : win->min_w;
    win->h = ch > win->min_h ? ch : win->min_h;
    ctx->dirty = 1;
}

void n_gui_window_set_autofit(N_GUI_CTX *ctx, int id, int flags, float border) {
    N_ASSERT(ctx, return);
    N_GUI_WINDOW *win = n_gui_get_window(ctx, id);
    if (!win) {
        n_log(LOG_ERR, "n_gui_window_set_autofit: window %d not found", id);
        return;
    }
    win->autofit_flags = flags;
    win->autofit_border = border;
    win->anchor_x = win->x;
    win->anchor_y = win->y;
    ctx->dirty = 1;
}

void n_gui_window_apply_autofit(N_GUI_CTX *ctx, int id) {
    WINDOW_OR_RETURN();
    if (!win->autofit_flags) return;
    float cw = 0, ch = 0;
    widgets_extent(win, true, &cw, &ch);
    const float m = 2 * win->autofit_border;
    if (win->autofit_flags & N_GUI_AUTOFIT_W) {
        float W = m + cw > win->min_w ? m + cw : win->min_w;
        if (win->autofit_flags & N_GUI_AUTOFIT_CENTER) win->x = win->anchor_x - W / 2;
        else if (win->autofit_flags & N_GUI_AUTOFIT_KEEP_RIGHT) win->x -= W - win->w;
        win->w = W;
    }
    if (win->autofit_flags & N_GUI_AUTOFIT_H) {
        float need = m + ch + ngui_titlebar_h(win);
        float H = need > win->min_h ? need : win->min_h;
        if (win->autofit_flags & N_GUI_AUTOFIT_CENTER) win->y = win->anchor_y - H / 2;
        else if (win->autofit_flags & N_GUI_AUTOFIT_KEEP_BOTTOM) win->y -= H - win->h;
        win->h = H;
    }
    win->content_w = cw;
    win->content_h = ch;
}

/* ---- adaptive placement ---- */

void n_gui_window_set_resize_policy(N_GUI_CTX *ctx, int id, int policy) {
    WINDOW_OR_RETURN();
    win->resize_policy = policy;
    ngui_capture_window_norm(ctx, win);
}

int n_gui_window_get_resize_policy(N_GUI_CTX *ctx, int id) {
    WINDOW_OR_RETURN(0);
    return win->resize_policy;
}

void n_gui_window_update_normalized(N_GUI_CTX *ctx, int id) {
    WINDOW_OR_RETURN();
    ctx->ref_display_w = ctx->display_w;
    ctx->ref_display_h = ctx->display_h;
    ngui_capture_window_norm(ctx, win);
}

void n_gui_window_set_rect_axes(N_GUI_CTX *ctx, int id, int scale_x, int scale_y, float x, float y, float w,
                                float h) {
    WINDOW_OR_RETURN();
    win->x = ngui_coord(x);
    win->y = ngui_coord(y);
    win->w = ngui_extent(w) < 1 ? 1 : ngui_extent(w);
    win->h = ngui_extent(h) < 1 ? 1 : ngui_extent(h);
    for (LIST_NODE *n = win->widgets->start; n; n = n->next) {
        auto *wgt = static_cast<N_GUI_WIDGET *>(n->ptr);
        if (!wgt) continue;
        if (scale_x) {
            wgt->x = win->w * wgt->norm_x;
            wgt->w = win->w * wgt->norm_w;
        } else if (win->w > 0) {
            wgt->norm_x = wgt->x / win->w;
            wgt->norm_w = wgt->w / win->w;
        }
        if (scale_y) {
            wgt->y = win->h * wgt->norm_y;
            wgt->h = win->h * wgt->norm_h;
        } else if (win->h > 0) {
            wgt->norm_y = wgt->y / win->h;
            wgt->norm_h = wgt->h / win->h;
        }
    }
    if (ctx->display_w > 0 && ctx->display_h > 0) {
        win->norm_x = win->x / ctx->display_w;
        win->norm_y = win->y / ctx->display_h;
        win->norm_w = win->w / ctx->display_w;
        win->norm_h = win->h / ctx->display_h;
    }
    ctx->dirty = 1;
}

void n_gui_window_set_rect(N_GUI_CTX *ctx, int id, float x, float y, float w, float h) {
    n_gui_window_set_rect_axes(ctx, id, 1, 1, x, y, w, h);
}

void n_gui_apply_adaptive_resize(N_GUI_CTX *ctx, float W, float H) {
    N_ASSERT(ctx, return);
    if (W <= 0 || H <= 0) return;
    for (LIST_NODE *n = ctx->windows->start; n; n = n->next) {
        auto *win = static_cast<N_GUI_WINDOW *>(n->ptr);
        if (!win || win->native_display) continue;
        if (win->resize_policy == N_GUI_RESIZE_MOVE) {
            win->x = win->norm_x * W;
            win->y = win->norm_y * H;
        } else if (win->resize_policy == N_GUI_RESIZE_SCALE) {
            win->x = win->norm_x * W;
            win->y = win->norm_y * H;
            win->w = win->norm_w * W;
            win->h = win->norm_h * H;
            if (!(win->flags & N_GUI_WIN_NO_TITLEBAR)) {
                if (win->w < win->min_w) win->w = win->min_w;
                if (win->h < win->min_h) win->h = win->min_h;
            }
            for (LIST_NODE *m = win->widgets->start; m; m = m->next) {
                auto *wgt = static_cast<N_GUI_WIDGET *>(m->ptr);
                if (!wgt) continue;
                wgt->x = wgt->norm_x * win->w;
                wgt->y = wgt->norm_y * win->h;
                wgt->w = wgt->norm_w * win->w;
                wgt->h = wgt->norm_h * win->h;
            }
        }
    }
    ctx->dirty = 1;
}

void n_gui_set_event_queue(N_GUI_CTX *ctx, ALLEGRO_EVENT_QUEUE *queue) {
    N_ASSERT(ctx, return);
    ctx->event_queue = queue;
}

ALLEGRO_EVENT_QUEUE *n_gui_get_event_queue(N_GUI_CTX *ctx) {
    N_ASSERT(ctx, return nullptr);
    return ctx->event_queue;
}

/* ---- detached windows ---- */

void _window_release_native(N_GUI_CTX *ctx, N_GUI_WINDOW *win) {
    ALLEGRO_DISPLAY *d = win->native_display;
    if (!d) return;
    int px = 0, py = 0;
    al_get_window_position(d, &px, &py);
    win->native_x = px;
    win->native_y = py;
    win->native_w = static_cast<float>(al_get_display_width(d));
    win->native_h = static_cast<float>(al_get_display_height(d));
    win->native_display = nullptr;
    win->close_pending = 0;
    if (ctx->event_queue) al_unregister_event_source(ctx->event_queue, al_get_display_event_source(d));
    if (ctx->drawing_display == d) ctx->drawing_display = nullptr;
    if (ctx->event_display == d) ctx->event_display = nullptr;
    al_destroy_display(d);
    if (ctx->display) al_set_target_backbuffer(ctx->display);
}

static int to_px(float v) {
    int i = static_cast<int>(lroundf(v));
    return i < 1 ? 1 : i;
}

int n_gui_window_detach(N_GUI_CTX *ctx, int id, int flags) {
    N_ASSERT(ctx, return -1);
    N_GUI_WINDOW *win = n_gui_get_window(ctx, id);
    if (!win) {
        n_log(LOG_ERR, "n_gui_window_detach: no window with id %d", id);
        return -1;
    }
    if (win->native_display) {
        win->detach_flags = flags;
        return 0;
    }
    if (!ctx->event_queue) {
        n_log(LOG_ERR, "n_gui_window_detach: no event queue set, call n_gui_set_event_queue first");
        return -1;
    }
    const bool frameless = flags & N_GUI_DETACH_FRAMELESS;
    const float tbh = ngui_titlebar_h(win);
    float nh = win->h;
    if (!frameless && tbh > 0) {
        nh = win->h - tbh;
        if (nh < 1) nh = win->h;
    }
    int width = to_px(win->w), height = to_px(nh);
    if (win->native_w > 0 && win->native_h > 0) {
        width = to_px(win->native_w);
        height = to_px(win->native_h);
    }
    int dflags = ALLEGRO_WINDOWED;
    if (frameless) dflags |= ALLEGRO_RESIZABLE | ALLEGRO_FRAMELESS;
    else if (flags & N_GUI_DETACH_RESIZABLE) dflags |= ALLEGRO_RESIZABLE;
    const bool has_pos = win->native_x != N_GUI_NATIVE_POS_UNSET && win->native_y != N_GUI_NATIVE_POS_UNSET;

    const int old_flags = al_get_new_display_flags();
    int old_x = 0, old_y = 0;
    al_get_new_window_position(&old_x, &old_y);
    ALLEGRO_BITMAP *old_target = al_get_target_bitmap();
    al_set_new_display_flags(dflags);
    if (win->title[0]) al_set_new_window_title(win->title);
    if (has_pos) al_set_new_window_position(win->native_x, win->native_y);
    ALLEGRO_DISPLAY *d = al_create_display(width, height);
    al_set_new_display_flags(old_flags);
    al_set_new_window_position(old_x, old_y);
    al_set_new_window_title("");
    al_set_target_bitmap(old_target);
    if (!d) {
        n_log(LOG_ERR, "n_gui_window_detach: al_create_display(%d, %d) failed for window %d", width, height, id);
        return -1;
    }
    if (win->caption[0]) al_set_window_title(d, win->caption);
    else if (win->title[0]) al_set_window_title(d, win->title);
    if (has_pos) al_set_window_position(d, win->native_x, win->native_y);
    if (frameless || (flags & N_GUI_DETACH_RESIZABLE)) {
        float mh = win->min_h;
        if (!frameless && tbh > 0) mh -= tbh;
        al_set_window_constraints(d, to_px(win->min_w), to_px(mh), 0, 0);
        al_apply_window_constraints(d, true);
    }
    al_register_event_source(ctx->event_queue, al_get_display_event_source(d));

    win->native_display = d;
    win->detach_flags = flags;
    win->attached_flags = win->flags;
    win->native = 1;
    win->attached_x = win->x;
    win->attached_y = win->y;
    win->attached_w = win->w;
    win->attached_h = win->h;
    if (!frameless) win->flags |= N_GUI_WIN_NO_TITLEBAR;  // the system frame shows the title
    win->state = (win->state & ~0x1FE) | N_GUI_WIN_STATE_OPEN;
    win->x = win->y = 0;
    win->scroll_x = win->scroll_y = 0;
    win->w = win->native_w = static_cast<float>(width);
    win->h = win->native_h = static_cast<float>(height);
    ngui_widgets_norm(win);
    n_log(LOG_DEBUG, "n_gui_window_detach: window %d ('%s') detached into a %dx%d native window", id, win->title, width,
          height);
    ctx->dirty = 1;
    return 0;
}

int n_gui_window_attach(N_GUI_CTX *ctx, int id) {
    N_ASSERT(ctx, return -1);
    N_GUI_WINDOW *win = n_gui_get_window(ctx, id);
    if (!win) {
        n_log(LOG_ERR, "n_gui_window_attach: no window with id %d", id);
        return -1;
    }
    if (!win->native_display) {
        win->native = 0;
        return 0;
    }
    _window_release_native(ctx, win);
    win->x = win->attached_x;
    win->y = win->attached_y;
    win->w = win->attached_w;
    win->h = win->attached_h;
    win->flags = win->attached_flags;
    win->native = 0;
    win->scroll_x = win->scroll_y = 0;
    ngui_widgets_norm(win);
    n_log(LOG_DEBUG, "n_gui_window_attach: window %d ('%s') is a pop-up again", id, win->title);
    ctx->dirty = 1;
    return 0;
}

int n_gui_window_is_detached(N_GUI_CTX *ctx, int id) {
    WINDOW_OR_RETURN(0);
    return win->native_display ? 1 : 0;
}

ALLEGRO_DISPLAY *n_gui_window_get_display(N_GUI_CTX *ctx, int id) {
    WINDOW_OR_RETURN(nullptr);
    return win->native_display;
}

int n_gui_window_from_display(N_GUI_CTX *ctx, ALLEGRO_DISPLAY *display) {
    N_ASSERT(ctx, return -1);
    if (!display) return -1;
    for (LIST_NODE *n = ctx->windows->start; n; n = n->next) {
        auto *win = static_cast<N_GUI_WINDOW *>(n->ptr);
        if (win && win->native_display == display) return win->id;
    }
    return -1;
}

int n_gui_count_detached(N_GUI_CTX *ctx) {
    N_ASSERT(ctx, return 0);
    int count = 0;
    for (LIST_NODE *n = ctx->windows->start; n; n = n->next) {
        auto *win = static_cast<N_GUI_WINDOW *>(n->ptr);
        if (win && win->native_display) count++;
    }
    return count;
}

int n_gui_window_native_is_hidden(N_GUI_CTX *ctx, int id) {
    WINDOW_OR_RETURN(0);
    if (!win->native_display) return 0;
    return win->native_hidden || (al_get_display_flags(win->native_display) & ALLEGRO_MINIMIZED) ? 1 : 0;
}

int n_gui_window_set_native_icons(N_GUI_CTX *ctx, int id, ALLEGRO_BITMAP **icons, int count) {
    WINDOW_OR_RETURN(-1);
    if (count < 1 || !icons) {
        n_log(LOG_ERR, "n_gui_window_set_native_icons: num_icons must be >= 1");
        return -1;
    }
    if (!win->native_display) {
        n_log(LOG_ERR, "n_gui_window_set_native_icons: window %d is not detached", id);
        return -1;
    }
    if (count == 1) al_set_display_icon(win->native_display, icons[0]);
    else al_set_display_icons(win->native_display, count, icons);
    return 0;
}
