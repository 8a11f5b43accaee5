// Toolkit widgets: the common record, the constructors of every kind with
// the defaults they store, what destruction frees, and the operations every
// kind shares (lookup, rectangles, visibility, themes, tooltips, persist
// keys, buttons, focus). A constructor that fails at any step leaves nothing
// behind: no record, no list node, no table entry, no id used up.
#include "n_gui.h"
#include "n_gui_internal.h"
#include "n_gui_kinds.h"
#include "n_gui_text.h"
#include "n_log.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

/* ---- lookup ---- */

// "%d" of the id without snprintf: every lookup of every frame makes one.
static void id_key(int id, char key[16]) {
    char digits[12];
    unsigned v = id < 0 ? 0u - static_cast<unsigned>(id) : static_cast<unsigned>(id);
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    int k = 0;
    if (id < 0) key[k++] = '-';
    while (n) key[k++] = digits[--n];
    key[k] = '\0';
}

N_GUI_WIDGET *n_gui_get_widget(N_GUI_CTX *ctx, int id) {
    N_ASSERT(ctx, return nullptr);
    char key[16];
    id_key(id, key);
    void *p = nullptr;
    if (!ht_get_ptr(ctx->widgets_table, key, &p)) return nullptr;
    return static_cast<N_GUI_WIDGET *>(p);
}

N_GUI_WINDOW *_find_widget_window(N_GUI_CTX *ctx, int widget_id) {
    N_ASSERT(ctx, return nullptr);
    for (LIST_NODE *n = ctx->windows->start; n; n = n->next) {
        auto *win = static_cast<N_GUI_WINDOW *>(n->ptr);
        if (!win) continue;
        for (LIST_NODE *m = win->widgets->start; m; m = m->next) {
            auto *wgt = static_cast<N_GUI_WIDGET *>(m->ptr);
            if (wgt && wgt->id == widget_id) return win;
        }
    }
    return nullptr;
}

/* ---- construction ---- */

static N_GUI_WIDGET *_new_widget(N_GUI_CTX *ctx, int kind, float x, float y, float w, float h) {
    N_GUI_WIDGET *wgt = n_calloc(wgt, 1, N_GUI_WIDGET);
    if (!wgt) return nullptr;
    wgt->id = ctx->next_widget_id++;
    wgt->kind = kind;
    wgt->x = ngui_coord(x);
    wgt->y = ngui_coord(y);
    wgt->w = ngui_extent(w);
    wgt->h = ngui_extent(h);
    wgt->visible = 1;
    wgt->enabled = 1;
    wgt->theme = ctx->default_theme;
    return wgt;
}

// Frees a widget that never made it into the window and gives its id back.
static int abandon(N_GUI_CTX *ctx, N_GUI_WIDGET *wgt) {
    if (wgt->id == ctx->next_widget_id - 1) ctx->next_widget_id--;
    _destroy_widget(wgt);
    return -1;
}

// Appends the finished widget to its window and enters it in the id table;
// undoes both when either fails.
static int ngui_register(N_GUI_CTX *ctx, N_GUI_WINDOW *win, N_GUI_WIDGET *wgt) {
    if (!list_push(win->widgets, wgt, _destroy_widget)) return abandon(ctx, wgt);
    ngui_widget_norm(win, wgt);
    char key[16];
    id_key(wgt->id, key);
    if (!ht_put_ptr(ctx->widgets_table, key, wgt, nullptr, nullptr)) {
        void *item = remove_list_node(win->widgets, win->widgets->end);
        (void)item;  // it is wgt, freed below
        return abandon(ctx, wgt);
    }
    // Every frame looks widgets up by id: keep the chains short as forms
    // grow. A failed resize leaves the table as it was, only slower.
    HASH_TABLE *t = ctx->widgets_table;
    if (t->key_count > 2 * t->size) (void)ht_resize(&ctx->widgets_table, 4 * t->size + 1);
    ctx->dirty = 1;
    return wgt->id;
}

// The first steps of every constructor: the window and the widget record.
#define BEGIN_WIDGET(KIND)                                          \
    N_ASSERT(ctx, return -1);                                       \
    N_GUI_WINDOW *win = n_gui_get_window(ctx, window_id);           \
    N_ASSERT(win, return -1);                                       \
    N_GUI_WIDGET *wgt = _new_widget(ctx, (KIND), x, y, w, h);       \
    if (!wgt) return -1

#define NEW_DATA(VAR, TYPE)                                         \
    TYPE *VAR = n_calloc(VAR, 1, TYPE);                             \
    if (!VAR) return abandon(ctx, wgt);                             \
    wgt->data = VAR

int n_gui_add_button(N_GUI_CTX *ctx, int window_id, const char *label, int shape, N_GUI_BUTTON_CB callback,
                     void *user_data, float x, float y, float w, float h) {
    BEGIN_WIDGET(N_GUI_TYPE_BUTTON);
    NEW_DATA(bd, N_GUI_BUTTON_DATA);
    n_gui_copy_text(bd->label, sizeof bd->label, label ? label : "", 0);
    bd->shape = shape;
    bd->callback = callback;
    bd->user_data = user_data;
    return ngui_register(ctx, win, wgt);
}

int n_gui_add_button_bitmap(N_GUI_CTX *ctx, int window_id, ALLEGRO_BITMAP *normal, ALLEGRO_BITMAP *hover,
                            ALLEGRO_BITMAP *active, N_GUI_BUTTON_CB callback, void *user_data, float x, float y,
                            float w, float h) {
    int id = n_gui_add_button(ctx, window_id, "", N_GUI_SHAPE_BITMAP, callback, user_data, x, y, w, h);
    if (id < 0) return -1;
    auto *bd = static_cast<N_GUI_BUTTON_DATA *>(n_gui_get_widget(ctx, id)->data);
    bd->normal = normal;
    bd->hover = hover;
    bd->active = active;
    return id;
}

int n_gui_add_toggle_button(N_GUI_CTX *ctx, int window_id, const char *label, int shape, int toggled,
                            N_GUI_BUTTON_CB callback, void *user_data, float x, float y, float w, float h) {
    int id = n_gui_add_button(ctx, window_id, label, shape, callback, user_data, x, y, w, h);
    if (id < 0) return -1;
    auto *bd = static_cast<N_GUI_BUTTON_DATA *>(n_gui_get_widget(ctx, id)->data);
    bd->toggle_mode = 1;
    bd->toggled = toggled ? 1 : 0;
    return id;
}

int n_gui_add_slider(N_GUI_CTX *ctx, int window_id, int mode, N_GUI_SLIDER_CB callback, void *user_data, double min,
                     double max, double value, float x, float y, float w, float h) {
    BEGIN_WIDGET(N_GUI_TYPE_SLIDER);
    NEW_DATA(sd, N_GUI_SLIDER_DATA);
    if (mode == N_GUI_SLIDER_PERCENT) {
        min = 0;
        max = 100;
    }
    sd->mode = mode;
    sd->min = min;
    sd->max = max;
    sd->value = min > value ? min : (value < max ? value : max);
    sd->orientation = N_GUI_HORIZONTAL;
    sd->show_value = 1;
    sd->callback = callback;
    sd->user_data = user_data;
    return ngui_register(ctx, win, wgt);
}

int n_gui_add_vslider(N_GUI_CTX *ctx, int window_id, int mode, N_GUI_SLIDER_CB callback, void *user_data, double min,
                      double max, double value, float x, float y, float w, float h) {
    int id = n_gui_add_slider(ctx, window_id, mode, callback, user_data, min, max, value, x, y, w, h);
    if (id < 0) return -1;
    static_cast<N_GUI_SLIDER_DATA *>(n_gui_get_widget(ctx, id)->data)->orientation = N_GUI_VERTICAL;
    return id;
}

int n_gui_add_textarea(N_GUI_CTX *ctx, int window_id, int multiline, size_t max_length, N_GUI_TEXTAREA_CB callback,
                       void *user_data, float x, float y, float w, float h) {
    // the buffer holds the maximum and a terminator: SIZE_MAX + 1 would wrap to nothing
    if (max_length == SIZE_MAX) {
        n_log(LOG_ERR, "n_gui_add_textarea: a maximum length of %zu leaves no room for the terminator", max_length);
        return -1;
    }
    BEGIN_WIDGET(N_GUI_TYPE_TEXTAREA);
    NEW_DATA(td, N_GUI_TEXTAREA_DATA);
    if (max_length == 0) max_length = N_GUI_TEXTAREA_DEFAULT_MAX;
    td->text = n_calloc(td->text, max_length + 1, char);
    if (!td->text) return abandon(ctx, wgt);
    td->max_length = max_length;
    td->multiline = multiline ? 1 : 0;
    td->callback = callback;
    td->user_data = user_data;
    td->suggest_highlight = -1;
    strcpy(td->suggest_sep, " \t");
    return ngui_register(ctx, win, wgt);
}

int n_gui_add_checkbox(N_GUI_CTX *ctx, int window_id, const char *label, int checked, N_GUI_CHECKBOX_CB callback,
                       void *user_data, float x, float y, float w, float h) {
    BEGIN_WIDGET(N_GUI_TYPE_CHECKBOX);
    NEW_DATA(cd, N_GUI_CHECKBOX_DATA);
    n_gui_copy_text(cd->label, sizeof cd->label, label ? label : "", 0);
    cd->checked = checked ? 1 : 0;
    cd->callback = callback;
    cd->user_data = user_data;
    return ngui_register(ctx, win, wgt);
}

int n_gui_add_scrollbar(N_GUI_CTX *ctx, int window_id, int orientation, int shape, N_GUI_SCROLLBAR_CB callback,
                        void *user_data, double content_size, double view_size, float x, float y, float w, float h) {
    BEGIN_WIDGET(N_GUI_TYPE_SCROLLBAR);
    NEW_DATA(sb, N_GUI_SCROLLBAR_DATA);
    sb->orientation = orientation;
    sb->shape = shape;
    sb->content_size = content_size > 0 ? content_size : 1;
    sb->view_size = view_size > 0 ? view_size : 1;
    sb->callback = callback;
    sb->user_data = user_data;
    return ngui_register(ctx, win, wgt);
}

int n_gui_add_listbox(N_GUI_CTX *ctx, int window_id, int selection_mode, N_GUI_LISTBOX_CB callback, void *user_data,
                      float x, float y, float w, float h) {
    BEGIN_WIDGET(N_GUI_TYPE_LISTBOX);
    NEW_DATA(ld, N_GUI_LISTBOX_DATA);
    ld->selection_mode = selection_mode;
    ld->item_height = ctx->style.listbox_default_item_height;
    ld->hovered = -1;
    ld->callback = callback;
    ld->user_data = user_data;
    return ngui_register(ctx, win, wgt);
}

int n_gui_add_radiolist(N_GUI_CTX *ctx, int window_id, N_GUI_RADIOLIST_CB callback, void *user_data, float x, float y,
                        float w, float h) {
    BEGIN_WIDGET(N_GUI_TYPE_RADIOLIST);
    NEW_DATA(rd, N_GUI_RADIOLIST_DATA);
    rd->selected = -1;
    rd->item_height = ctx->style.radiolist_default_item_height;
    rd->callback = callback;
    rd->user_data = user_data;
    return ngui_register(ctx, win, wgt);
}

int n_gui_add_combobox(N_GUI_CTX *ctx, int window_id, N_GUI_COMBOBOX_CB callback, void *user_data, float x, float y,
                       float w, float h) {
    BEGIN_WIDGET(N_GUI_TYPE_COMBOBOX);
    NEW_DATA(cd, N_GUI_COMBOBOX_DATA);
    cd->selected = -1;
    cd->hovered = -1;
    cd->max_visible = ctx->style.combobox_max_visible;
    cd->callback = callback;
    cd->user_data = user_data;
    return ngui_register(ctx, win, wgt);
}

int n_gui_add_image(N_GUI_CTX *ctx, int window_id, ALLEGRO_BITMAP *bitmap, int fit_mode, float x, float y, float w,
                    float h) {
    BEGIN_WIDGET(N_GUI_TYPE_IMAGE);
    NEW_DATA(id, N_GUI_IMAGE_DATA);
    id->bitmap = bitmap;
    id->fit_mode = fit_mode;
    return ngui_register(ctx, win, wgt);
}

int n_gui_add_label(N_GUI_CTX *ctx, int window_id, const char *text, int align, float x, float y, float w, float h) {
    BEGIN_WIDGET(N_GUI_TYPE_LABEL);
    NEW_DATA(ld, N_GUI_LABEL_DATA);
    n_gui_copy_text(ld->text, sizeof ld->text, text ? text : "", 1);
    ld->align = align;
    ld->sel_start = ld->sel_end = -1;
    return ngui_register(ctx, win, wgt);
}

int n_gui_add_label_link(N_GUI_CTX *ctx, int window_id, const char *text, const char *link, int align,
                         N_GUI_LINK_CB callback, void *user_data, float x, float y, float w, float h) {
    int id = n_gui_add_label(ctx, window_id, text, align, x, y, w, h);
    if (id < 0) return -1;
    auto *ld = static_cast<N_GUI_LABEL_DATA *>(n_gui_get_widget(ctx, id)->data);
    n_gui_copy_text(ld->link, sizeof ld->link, link ? link : "", 0);
    ld->link_cb = callback;
    ld->user_data = user_data;
    return id;
}

int n_gui_add_dropmenu(N_GUI_CTX *ctx, int window_id, const char *label, N_GUI_DROPMENU_OPEN_CB on_open,
                       void *user_data, float x, float y, float w, float h) {
    BEGIN_WIDGET(N_GUI_TYPE_DROPMENU);
    NEW_DATA(dd, N_GUI_DROPMENU_DATA);
    n_gui_copy_text(dd->label, sizeof dd->label, label ? label : "", 0);
    dd->highlighted = -1;
    dd->max_visible = ctx->style.dropmenu_max_visible;
    dd->item_height = h;
    dd->on_open = on_open;
    dd->user_data = user_data;
    return ngui_register(ctx, win, wgt);
}


int n_gui_add_splitpane(N_GUI_CTX *ctx, int window_id, int orientation, N_GUI_SPLITPANE_CB callback, void *user_data,
                        float x, float y, float w, float h, float ratio) {
    BEGIN_WIDGET(N_GUI_TYPE_SPLITPANE);
    NEW_DATA(sd, N_GUI_SPLITPANE_DATA);
    sd->orientation = orientation;
    sd->min_ratio = 0.05f;
    sd->max_ratio = 0.95f;
    sd->ratio = ngui_clamp(ratio, sd->min_ratio, sd->max_ratio, 0.5f);
    sd->divider = 6;
    sd->callback = callback;
    sd->user_data = user_data;
    return ngui_register(ctx, win, wgt);
}

int n_gui_add_hexview(N_GUI_CTX *ctx, int window_id, float x, float y, float w, float h) {
    BEGIN_WIDGET(N_GUI_TYPE_HEXVIEW);
    NEW_DATA(hd, N_GUI_HEXVIEW_DATA);
    hd->bytes_per_row = 16;
    return ngui_register(ctx, win, wgt);
}

int n_gui_add_syntaxview(N_GUI_CTX *ctx, int window_id, int mode, float x, float y, float w, float h) {
    BEGIN_WIDGET(N_GUI_TYPE_SYNTAXVIEW);
    NEW_DATA(yd, N_GUI_SYNTAXVIEW_DATA);
    yd->mode = mode;
    yd->sel_start = yd->sel_end = -1;
    return ngui_register(ctx, win, wgt);
}

int n_gui_add_datagrid(N_GUI_CTX *ctx, int window_id, N_GUI_DATAGRID_CB on_select, void *user_data, float x, float y,
                       float w, float h) {
    BEGIN_WIDGET(N_GUI_TYPE_DATAGRID);
    NEW_DATA(gd, N_GUI_DATAGRID_DATA);
    gd->selected = -1;
    gd->sort_col = -1;
    gd->sort_dir = 1;
    gd->anchor = -1;
    gd->resize_col = -1;
    gd->on_select = on_select;
    gd->user_data = user_data;
    return ngui_register(ctx, win, wgt);
}

int n_gui_add_progressbar(N_GUI_CTX *ctx, int window_id, float x, float y, float w, float h) {
    BEGIN_WIDGET(N_GUI_TYPE_PROGRESSBAR);
    NEW_DATA(pd, N_GUI_PROGRESSBAR_DATA);
    (void)pd;
    wgt->enabled = 0;  // it takes no input
    return ngui_register(ctx, win, wgt);
}

int n_gui_add_custom(N_GUI_CTX *ctx, int window_id, N_GUI_CUSTOM_DRAW_CB draw, void *user_data, float x, float y,
                     float w, float h) {
    BEGIN_WIDGET(N_GUI_TYPE_CUSTOM);
    NEW_DATA(cd, N_GUI_CUSTOM_DATA);
    cd->draw = draw;
    cd->user_data = user_data;
    return ngui_register(ctx, win, wgt);
}

void n_gui_md_style_default(N_GUI_MD_STYLE *style, ALLEGRO_COLOR text, ALLEGRO_COLOR bg, float base) {
    N_ASSERT(style, return);
    if (base < 1) base = 16;
    style->text_color = text;
    style->heading_color = text;
    style->link_color = ngui_rgba(120, 170, 245, 255);
    style->code_color = text;
    // premultiplied, as Allegro blends by default
    if ((bg.r + bg.g + bg.b) / 3 > 0.5f) style->code_bg = ALLEGRO_COLOR{0, 0, 0, 0.06f};
    else style->code_bg = ALLEGRO_COLOR{0.1f, 0.1f, 0.1f, 0.1f};
    style->quote_color = ALLEGRO_COLOR{text.r * 0.8f, text.g * 0.8f, text.b * 0.8f, text.a * 0.8f};
    style->rule_color = ALLEGRO_COLOR{text.r * 0.35f, text.g * 0.35f, text.b * 0.35f, text.a * 0.35f};
    style->block_gap = 0.45f * base;
    style->indent = 0.8f * base;
    style->code_pad = 0.35f * base;
    style->table_min_col_w = 2.5f * base;
    style->parse_flags = 35;
}

int n_gui_add_markdownview(N_GUI_CTX *ctx, int window_id, const N_GUI_MD *fonts, float x, float y, float w, float h) {
    BEGIN_WIDGET(N_GUI_TYPE_MARKDOWNVIEW);
    NEW_DATA(md, N_GUI_MARKDOWNVIEW_DATA);
    md->text = n_calloc(md->text, 1, char);
    if (!md->text) return abandon(ctx, wgt);
    if (fonts) md->fonts = *fonts;
    float base = md->fonts.regular ? static_cast<float>(al_get_font_line_height(md->fonts.regular)) : 16;
    n_gui_md_style_default(&md->style, wgt->theme.text_normal, wgt->theme.bg_normal, base);
    md->layout_w = -1;
    md->relayout = 1;
    md->style_follows_theme = 1;
    return ngui_register(ctx, win, wgt);
}

/* ---- destruction ---- */

void _destroy_widget(void *ptr) {
    auto *wgt = static_cast<N_GUI_WIDGET *>(ptr);
    if (!wgt) return;
    free(wgt->tooltip);
    if (wgt->data) {
        switch (wgt->kind) {
        case N_GUI_TYPE_TEXTAREA: {
            auto *td = static_cast<N_GUI_TEXTAREA_DATA *>(wgt->data);
            ngui_wipe_free(td->text, td->max_length + 1);  // may hold a typed password
            free(td->placeholder);
            free(td->suggest_items);
            break;
        }
        case N_GUI_TYPE_LISTBOX: free(static_cast<N_GUI_LISTBOX_DATA *>(wgt->data)->items); break;
        case N_GUI_TYPE_RADIOLIST: free(static_cast<N_GUI_RADIOLIST_DATA *>(wgt->data)->items); break;
        case N_GUI_TYPE_COMBOBOX: free(static_cast<N_GUI_COMBOBOX_DATA *>(wgt->data)->items); break;
        case N_GUI_TYPE_HEXVIEW: free(static_cast<N_GUI_HEXVIEW_DATA *>(wgt->data)->data); break;
        case N_GUI_TYPE_SYNTAXVIEW: free(static_cast<N_GUI_SYNTAXVIEW_DATA *>(wgt->data)->text); break;
        case N_GUI_TYPE_DROPMENU: free(static_cast<N_GUI_DROPMENU_DATA *>(wgt->data)->entries); break;
        case N_GUI_TYPE_DATAGRID: {
            auto *gd = static_cast<N_GUI_DATAGRID_DATA *>(wgt->data);
            if (gd->cells)
                for (int i = 0; i < gd->row_count * gd->col_count; i++) free(gd->cells[i]);
            free(gd->cells);
            free(gd->columns);
            free(gd->order);
            free(gd->row_sel);
            free(gd->row_colors);
            free(gd->row_has_color);
            break;
        }
        case N_GUI_TYPE_MARKDOWNVIEW: {
            auto *md = static_cast<N_GUI_MARKDOWNVIEW_DATA *>(wgt->data);
            free(md->text);
            free(md->pressed_link);
            free(md->plain);
            break;
        }
        case N_GUI_TYPE_CUSTOM: {
            auto *cd = static_cast<N_GUI_CUSTOM_DATA *>(wgt->data);
            if (cd->destroy) cd->destroy(cd->user_data);
            break;
        }
        default: break;
        }
        free(wgt->data);
    }
    free(wgt);
}

/* ---- common operations ---- */

#define WIDGET_OR_RETURN(...)                          \
    N_ASSERT(ctx, return __VA_ARGS__);                 \
    N_GUI_WIDGET *wgt = n_gui_get_widget(ctx, id);     \
    if (!wgt) return __VA_ARGS__

int n_gui_widget_screen_rect(N_GUI_CTX *ctx, int id, float *x, float *y, float *w, float *h) {
    WIDGET_OR_RETURN(0);
    N_GUI_WINDOW *win = _find_widget_window(ctx, id);
    if (!win || !(win->state & N_GUI_WIN_STATE_OPEN)) return 0;
    if (x) *x = wgt->x + win->x - win->scroll_x;
    if (y) *y = wgt->y + win->y + ngui_titlebar_h(win) - win->scroll_y;
    if (w) *w = wgt->w;
    if (h) *h = wgt->h;
    return 1;
}

int n_gui_widget_is_visible(N_GUI_CTX *ctx, int id) {
    WIDGET_OR_RETURN(0);
    return wgt->visible;
}

void n_gui_set_widget_visible(N_GUI_CTX *ctx, int id, int visible) {
    WIDGET_OR_RETURN();
    wgt->visible = visible;
    ctx->dirty = 1;
}

int n_gui_is_widget_enabled(N_GUI_CTX *ctx, int id) {
    WIDGET_OR_RETURN(0);
    return wgt->enabled;
}

void n_gui_set_widget_enabled(N_GUI_CTX *ctx, int id, int enabled) {
    WIDGET_OR_RETURN();
    wgt->enabled = enabled;
    ctx->dirty = 1;
}

void n_gui_widget_set_rect(N_GUI_CTX *ctx, int id, float x, float y, float w, float h) {
    WIDGET_OR_RETURN();
    wgt->x = ngui_coord(x);
    wgt->y = ngui_coord(y);
    wgt->w = ngui_extent(w);
    wgt->h = ngui_extent(h);
    N_GUI_WINDOW *win = _find_widget_window(ctx, id);
    if (win) ngui_widget_norm(win, wgt);
    ctx->dirty = 1;
}

void n_gui_set_widget_theme(N_GUI_CTX *ctx, int id, N_GUI_THEME theme) {
    WIDGET_OR_RETURN();
    wgt->theme = theme;
    ctx->dirty = 1;
}

void n_gui_reset_all_widget_themes(N_GUI_CTX *ctx) {
    N_ASSERT(ctx, return);
    for (LIST_NODE *n = ctx->windows->start; n; n = n->next) {
        auto *win = static_cast<N_GUI_WINDOW *>(n->ptr);
        if (!win) continue;
        win->theme = ctx->default_theme;
        win->tb_btn_theme = ctx->tb_btn_theme;
        win->tb_close_theme = ctx->tb_close_theme;
        for (LIST_NODE *m = win->widgets->start; m; m = m->next)
            if (m->ptr) static_cast<N_GUI_WIDGET *>(m->ptr)->theme = ctx->default_theme;
    }
    ctx->dirty = 1;
}

void n_gui_set_widget_tooltip(N_GUI_CTX *ctx, int id, const char *text) {
    WIDGET_OR_RETURN();
    free(wgt->tooltip);
    wgt->tooltip = (text && text[0]) ? ngui_strdup(text, "wgt->tooltip") : nullptr;
}

// The window of the display being drawn whose area holds the point, from the top.
static N_GUI_WINDOW *window_at(N_GUI_CTX *ctx, int px, int py) {
    for (LIST_NODE *n = ctx->windows->end; n; n = n->prev) {
        auto *win = static_cast<N_GUI_WINDOW *>(n->ptr);
        if (!win || !(win->state & N_GUI_WIN_STATE_OPEN)) continue;
        if (win->native_display != ctx->drawing_display) continue;
        float h = (win->state & N_GUI_WIN_STATE_MINIMISED) ? ngui_titlebar_h(win) : win->h;
        if (px >= win->x && px <= win->x + win->w && py >= win->y && py <= win->y + h) return win;
    }
    return nullptr;
}

int n_gui_tooltip_pending(N_GUI_CTX *ctx) {
    N_ASSERT(ctx, return 0);
    if (ctx->style.tooltip_delay <= 0 || ctx->tooltip_widget_id < 0) return 0;
    N_GUI_WINDOW *own = _find_widget_window(ctx, ctx->tooltip_widget_id);
    if (own && (own->state & N_GUI_WIN_STATE_OPEN)) {
        N_GUI_WINDOW *top = window_at(ctx, ctx->mouse_x, ctx->mouse_y);
        if (top && top != own) return 0;
    }
    return n_gui_get_time() - ctx->tooltip_hover_start >= ctx->style.tooltip_delay ? 2 : 1;
}

const char *n_gui_widget_get_persist_key(N_GUI_CTX *ctx, int id) {
    WIDGET_OR_RETURN(nullptr);
    return wgt->persist_key;
}

void n_gui_widget_set_persist_key(N_GUI_CTX *ctx, int id, const char *key) {
    WIDGET_OR_RETURN();
    n_gui_copy_text(wgt->persist_key, sizeof wgt->persist_key, key ? key : "", 0);
    N_GUI_WINDOW *win = _find_widget_window(ctx, id);
    if (wgt->persist_key[0] && win) ngui_apply_pending_widget(ctx, win, wgt);
}

void ngui_apply_pending_widget(N_GUI_CTX *ctx, N_GUI_WINDOW *win, N_GUI_WIDGET *wgt) {
    for (int i = 0; ctx->pending_widgets && i < ctx->pending_widgets_count; i++) {
        N_GUI_PENDING_WIDGET *p = &ctx->pending_widgets[i];
        if (p->consumed || p->kind != wgt->kind || strncmp(p->window_title, win->title, N_GUI_TITLE_MAX) != 0 ||
            strncmp(p->key, wgt->persist_key, N_GUI_PERSIST_KEY_MAX) != 0)
            continue;
        p->consumed = 1;
        if (wgt->kind == N_GUI_TYPE_SPLITPANE) {
            n_gui_splitpane_set_ratio(ctx, wgt->id, p->ratio);
        } else if (wgt->kind == N_GUI_TYPE_DATAGRID && wgt->data) {
            auto *gd = static_cast<N_GUI_DATAGRID_DATA *>(wgt->data);
            // a grid whose columns changed since the layout was saved keeps its own
            if (gd->col_count != p->ncols || p->ncols <= 0) return;
            for (int c = 0; c < gd->col_count; c++) {
                gd->columns[c].visible = p->visible[c] != 0;
                if (p->width[c] > 0) gd->columns[c].width = p->width[c] > 16 ? p->width[c] : 16;
            }
            for (int pos = 0; pos < gd->col_count && gd->order; pos++) {
                for (int at = pos; at < gd->col_count; at++) {
                    if (gd->order[at] != p->order[pos]) continue;
                    if (at != pos) n_gui_datagrid_move_column(ctx, wgt->id, at, pos);
                    break;
                }
            }
        }
        ctx->dirty = 1;
        return;
    }
}

int n_gui_hovered_widget(N_GUI_CTX *ctx) {
    N_ASSERT(ctx, return -1);
    for (LIST_NODE *n = ctx->windows->end; n; n = n->prev) {
        auto *win = static_cast<N_GUI_WINDOW *>(n->ptr);
        if (!win || !(win->state & N_GUI_WIN_STATE_OPEN)) continue;
        for (LIST_NODE *m = win->widgets->start; m; m = m->next) {
            auto *wgt = static_cast<N_GUI_WIDGET *>(m->ptr);
            if (wgt && wgt->visible && wgt->enabled && (wgt->state & (N_GUI_STATE_HOVER | N_GUI_STATE_PRESSED)))
                return wgt->id;
        }
    }
    return -1;
}

int n_gui_double_clicked_widget(N_GUI_CTX *ctx) {
    N_ASSERT(ctx, return -1);
    return ctx->double_clicked_widget_id;
}

int n_gui_was_double_click(N_GUI_CTX *ctx, int id) {
    N_ASSERT(ctx, return 0);
    return id >= 0 && id == ctx->double_clicked_widget_id ? 1 : 0;
}

void n_gui_set_double_click_time(N_GUI_CTX *ctx, double seconds) {
    N_ASSERT(ctx, return);
    ctx->double_click_time = seconds > 0 ? seconds : 0;
}

void n_gui_set_double_click_radius(N_GUI_CTX *ctx, int pixels) {
    N_ASSERT(ctx, return);
    ctx->double_click_radius = pixels < 0 ? 0 : pixels;
}

void n_gui_close_menus(N_GUI_CTX *ctx) {
    N_ASSERT(ctx, return);
    if (ctx->open_combobox >= 0) {
        N_GUI_WIDGET *c = ngui_widget_of(ctx, ctx->open_combobox, N_GUI_TYPE_COMBOBOX);
        if (c) static_cast<N_GUI_COMBOBOX_DATA *>(c->data)->is_open = 0;
        ctx->open_combobox = -1;
        ctx->dirty = 1;
    }
    if (ctx->open_dropmenu >= 0) {
        N_GUI_WIDGET *d = ngui_widget_of(ctx, ctx->open_dropmenu, N_GUI_TYPE_DROPMENU);
        if (d) static_cast<N_GUI_DROPMENU_DATA *>(d->data)->is_open = 0;
        ctx->open_dropmenu = -1;
        ctx->dirty = 1;
    }
}

int n_gui_menu_is_open(N_GUI_CTX *ctx) {
    N_ASSERT(ctx, return 0);
    return ctx->open_combobox >= 0 || ctx->open_dropmenu >= 0 ? 1 : 0;
}

/* ---- buttons ---- */

static N_GUI_BUTTON_DATA *button_data(N_GUI_CTX *ctx, int id) {
    if (!ctx) return nullptr;
    N_GUI_WIDGET *wgt = ngui_widget_of(ctx, id, N_GUI_TYPE_BUTTON);
    return wgt ? static_cast<N_GUI_BUTTON_DATA *>(wgt->data) : nullptr;
}

const char *n_gui_button_get_label(N_GUI_CTX *ctx, int id) {
    N_GUI_BUTTON_DATA *bd = button_data(ctx, id);
    return bd ? bd->label : nullptr;
}

void n_gui_button_set_label(N_GUI_CTX *ctx, int id, const char *label) {
    N_GUI_BUTTON_DATA *bd = button_data(ctx, id);
    if (!bd || !label) return;
    n_gui_copy_text(bd->label, sizeof bd->label, label, 0);
    ctx->dirty = 1;
}

void n_gui_button_set_state_bitmaps(N_GUI_CTX *ctx, int id, ALLEGRO_BITMAP *normal, ALLEGRO_BITMAP *hover,
                                    ALLEGRO_BITMAP *active) {
    N_GUI_BUTTON_DATA *bd = button_data(ctx, id);
    if (!bd) return;
    bd->normal = normal;
    bd->hover = hover;
    bd->active = active;
    bd->shape = N_GUI_SHAPE_BITMAP;
    ctx->dirty = 1;
}

void n_gui_button_set_toggle_mode(N_GUI_CTX *ctx, int id, int on) {
    N_GUI_BUTTON_DATA *bd = button_data(ctx, id);
    if (!bd) return;
    bd->toggle_mode = on ? 1 : 0;
    if (!on) bd->toggled = 0;
    ctx->dirty = 1;
}

void n_gui_button_set_toggled(N_GUI_CTX *ctx, int id, int toggled) {
    N_GUI_BUTTON_DATA *bd = button_data(ctx, id);
    if (!bd) return;
    bd->toggled = toggled ? 1 : 0;
    ctx->dirty = 1;
}

int n_gui_button_is_toggled(N_GUI_CTX *ctx, int id) {
    N_GUI_BUTTON_DATA *bd = button_data(ctx, id);
    return bd ? bd->toggled : 0;
}

void n_gui_button_set_glyph(N_GUI_CTX *ctx, int id, int glyph) {
    N_GUI_BUTTON_DATA *bd = button_data(ctx, id);
    if (!bd || glyph < 0 || glyph > N_GUI_GLYPH_MAX) return;
    bd->glyph = glyph;
    ctx->dirty = 1;
}

int n_gui_button_get_glyph(N_GUI_CTX *ctx, int id) {
    N_GUI_BUTTON_DATA *bd = button_data(ctx, id);
    return bd ? bd->glyph : 0;
}

void n_gui_button_set_keycode(N_GUI_CTX *ctx, int id, int keycode, int modifiers) {
    N_GUI_BUTTON_DATA *bd = button_data(ctx, id);
    if (!bd) return;
    bd->keycode = keycode;
    bd->key_modifiers = modifiers & N_GUI_KEYMOD_MASK;
    bd->focused_only = 0;
}

void n_gui_button_set_keycode_focused(N_GUI_CTX *ctx, int id, int keycode, int modifiers, const int *focus_ids,
                                      int count) {
    N_GUI_BUTTON_DATA *bd = button_data(ctx, id);
    if (!bd) return;
    bd->keycode = keycode;
    bd->key_modifiers = modifiers & N_GUI_KEYMOD_MASK;
    bd->focused_only = 1;
    int kept = 0;
    for (; focus_ids && kept < count && kept < N_GUI_FOCUS_IDS; kept++) bd->focus_ids[kept] = focus_ids[kept];
    if (kept < N_GUI_FOCUS_IDS) bd->focus_ids[kept] = -1;
}

void n_gui_combobox_set_flags(N_GUI_CTX *ctx, int id, int flags) {
    N_ASSERT(ctx, return);
    N_GUI_WIDGET *wgt = ngui_widget_of(ctx, id, N_GUI_TYPE_COMBOBOX);
    N_ASSERT(wgt, return);
    static_cast<N_GUI_COMBOBOX_DATA *>(wgt->data)->flags = flags;
    ctx->dirty = 1;
}

/* ---- focus ---- */

int n_gui_get_focus(N_GUI_CTX *ctx) { return ctx ? ctx->focused_widget_id : -1; }

void n_gui_set_focus(N_GUI_CTX *ctx, int id) {
    N_ASSERT(ctx, return);
    if (ctx->focused_widget_id >= 0) {
        N_GUI_WIDGET *old = n_gui_get_widget(ctx, ctx->focused_widget_id);
        if (old) old->state &= ~N_GUI_STATE_FOCUSED;
    }
    ctx->dirty = 1;
    if (id < 0) {
        ctx->focused_widget_id = -1;
        return;
    }
    N_GUI_WIDGET *wgt = n_gui_get_widget(ctx, id);
    if (!wgt) {
        n_log(LOG_ERR, "n_gui_set_focus: widget %d not found", id);
        ctx->focused_widget_id = -1;
        return;
    }
    ctx->focused_widget_id = id;
    wgt->state |= N_GUI_STATE_FOCUSED;
    if (wgt->kind == N_GUI_TYPE_TEXTAREA && wgt->data)
        static_cast<N_GUI_TEXTAREA_DATA *>(wgt->data)->last_edit = n_gui_get_time();
    N_GUI_WINDOW *win = _find_widget_window(ctx, id);
    if (win && (win->state & N_GUI_WIN_STATE_OPEN)) n_gui_raise_window(ctx, win->id);
}

static bool takes_focus_from_window(int kind) {
    return (kind >= N_GUI_TYPE_SLIDER && kind <= N_GUI_TYPE_COMBOBOX) || kind == N_GUI_TYPE_DROPMENU ||
           kind == N_GUI_TYPE_DATAGRID || kind == N_GUI_TYPE_MARKDOWNVIEW;
}

void n_gui_focus_window(N_GUI_CTX *ctx, int window_id) {
    N_ASSERT(ctx, return);
    N_GUI_WINDOW *win = n_gui_get_window(ctx, window_id);
    if (!win) return;
    n_gui_raise_window(ctx, window_id);
    for (LIST_NODE *n = win->widgets->start; n; n = n->next) {
        auto *wgt = static_cast<N_GUI_WIDGET *>(n->ptr);
        if (wgt && wgt->visible && wgt->enabled && takes_focus_from_window(wgt->kind)) {
            n_gui_set_focus(ctx, wgt->id);
            return;
        }
    }
    n_gui_set_focus(ctx, -1);
}

int n_gui_focus_takes_key(N_GUI_CTX *ctx, int keycode) {
    if (!ctx || ctx->focused_widget_id < 0) return 0;
    N_GUI_WIDGET *wgt = n_gui_get_widget(ctx, ctx->focused_widget_id);
    if (!wgt || !wgt->visible || !wgt->enabled) return 0;
    const bool arrow = keycode >= ALLEGRO_KEY_LEFT && keycode <= ALLEGRO_KEY_DOWN;
    const bool enter = keycode == ALLEGRO_KEY_ENTER || keycode == ALLEGRO_KEY_PAD_ENTER;
    switch (wgt->kind) {
    case N_GUI_TYPE_TEXTAREA: return 1;
    case N_GUI_TYPE_BUTTON: return enter || arrow || keycode == ALLEGRO_KEY_SPACE;
    case N_GUI_TYPE_SLIDER:
    case N_GUI_TYPE_SCROLLBAR:
    case N_GUI_TYPE_LISTBOX:
    case N_GUI_TYPE_RADIOLIST:
    case N_GUI_TYPE_COMBOBOX:
    case N_GUI_TYPE_DROPMENU:
    case N_GUI_TYPE_HEXVIEW:
    case N_GUI_TYPE_SYNTAXVIEW:
    case N_GUI_TYPE_DATAGRID:
    case N_GUI_TYPE_MARKDOWNVIEW:
        return enter || arrow || keycode == ALLEGRO_KEY_HOME || keycode == ALLEGRO_KEY_END ||
               keycode == ALLEGRO_KEY_PGUP || keycode == ALLEGRO_KEY_PGDN;
    default: return 0;
    }
}

/* ---- text-area settings of the drawing ---- */

static N_GUI_TEXTAREA_DATA *textarea_or_warn(N_GUI_CTX *ctx, int id, const char *fn) {
    N_ASSERT(ctx, return nullptr);
    N_GUI_WIDGET *wgt = ngui_widget_of(ctx, id, N_GUI_TYPE_TEXTAREA);
    if (!wgt) {
        n_log(LOG_WARNING, "%s: widget %d is not a textarea", fn, id);
        return nullptr;
    }
    return static_cast<N_GUI_TEXTAREA_DATA *>(wgt->data);
}

void n_gui_textarea_set_mask_char(N_GUI_CTX *ctx, int id, int mask_char) {
    N_GUI_TEXTAREA_DATA *td = textarea_or_warn(ctx, id, "n_gui_textarea_set_mask_char");
    if (!td) return;
    // Masking a field that holds text: it may have been measured while shown
    // (typed before the mask, or revealed), so the cache lets all of it go.
    if (mask_char && !td->mask_char && td->length > 0) n_gui_text_cache_clear();
    if (mask_char) td->secret = 1;
    td->mask_char = mask_char;
    ctx->dirty = 1;
}

void n_gui_textarea_set_placeholder(N_GUI_CTX *ctx, int id, const char *text) {
    N_GUI_TEXTAREA_DATA *td = textarea_or_warn(ctx, id, "n_gui_textarea_set_placeholder");
    if (!td) return;
    free(td->placeholder);
    td->placeholder = (text && text[0]) ? ngui_strdup(text, "td->placeholder") : nullptr;
    ctx->dirty = 1;
}
