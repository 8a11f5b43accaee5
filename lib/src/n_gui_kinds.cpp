// Per-kind accessors: the only road from the application to a widget's kind
// data. Each one finds the widget, checks its kind and clamps what it stores,
// so that drawing and input never meet an offset, index or ratio out of range.
#include "n_gui_kinds.h"
#include "n_gui_internal.h"
#include "n_gui_text.h"
#include "n_log.h"

#include <openssl/crypto.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Finds the widget of this kind or returns the neutral value.
#define KIND_DATA(TYPE, KIND, VAR, ...)                        \
    if (!ctx) return __VA_ARGS__;                              \
    N_GUI_WIDGET *wgt = ngui_widget_of(ctx, id, (KIND));       \
    if (!wgt) return __VA_ARGS__;                              \
    TYPE *VAR = static_cast<TYPE *>(wgt->data)

// The same for the accessors that log a missing context.
#define KIND_DATA_CTX(TYPE, KIND, VAR, ...)                    \
    N_ASSERT(ctx, return __VA_ARGS__);                         \
    KIND_DATA(TYPE, KIND, VAR, __VA_ARGS__)

static const char EMPTY[] = "";

static size_t char_floor(const char *text, size_t off) {
    int back = 0;
    while (off > 0 && back < 3 && (static_cast<unsigned char>(text[off]) & 0xC0) == 0x80) off--, back++;
    return off;
}

/* ---- slider ---- */

static double slider_fit(const N_GUI_SLIDER_DATA *sd, double v) {
    if (sd->step > 0) {
        double snapped = sd->min + std::round((v - sd->min) / sd->step) * sd->step;
        return std::fmin(sd->max, std::fmax(sd->min, snapped));
    }
    return v < sd->min ? sd->min : std::fmin(sd->max, v);
}

double n_gui_slider_get_value(N_GUI_CTX *ctx, int id) {
    KIND_DATA(N_GUI_SLIDER_DATA, N_GUI_TYPE_SLIDER, sd, 0.0);
    return sd->value;
}

void n_gui_slider_set_value(N_GUI_CTX *ctx, int id, double value) {
    KIND_DATA(N_GUI_SLIDER_DATA, N_GUI_TYPE_SLIDER, sd);
    sd->value = slider_fit(sd, value);
}

void n_gui_slider_set_range(N_GUI_CTX *ctx, int id, double min, double max) {
    KIND_DATA(N_GUI_SLIDER_DATA, N_GUI_TYPE_SLIDER, sd);
    sd->min = min;
    sd->max = max;
    sd->value = slider_fit(sd, sd->value);
}

void n_gui_slider_set_step(N_GUI_CTX *ctx, int id, double step) {
    KIND_DATA(N_GUI_SLIDER_DATA, N_GUI_TYPE_SLIDER, sd);
    sd->step = step;
    if (step > 0) sd->value = slider_fit(sd, sd->value);
}

void n_gui_slider_set_key_step(N_GUI_CTX *ctx, int id, double key_step) {
    KIND_DATA(N_GUI_SLIDER_DATA, N_GUI_TYPE_SLIDER, sd);
    sd->key_step = key_step > 0 ? key_step : 0;
}

double n_gui_slider_get_key_step(N_GUI_CTX *ctx, int id) {
    KIND_DATA(N_GUI_SLIDER_DATA, N_GUI_TYPE_SLIDER, sd, 0.0);
    if (sd->key_step > 0) return sd->key_step;
    if (sd->step > 0) return sd->step;
    if ((sd->max - sd->min) / 20 > 0) return (sd->max - sd->min) / 20;
    return 1;
}

void n_gui_slider_set_default(N_GUI_CTX *ctx, int id, double value) {
    KIND_DATA(N_GUI_SLIDER_DATA, N_GUI_TYPE_SLIDER, sd);
    sd->default_value = value;
    sd->has_default = 1;
}

int n_gui_slider_get_default(N_GUI_CTX *ctx, int id, double *value) {
    KIND_DATA(N_GUI_SLIDER_DATA, N_GUI_TYPE_SLIDER, sd, 0);
    if (!sd->has_default) return 0;
    if (value) *value = sd->default_value;
    return 1;
}

// A value format is handed to snprintf with one double: only literal text,
// "%%" and a single floating conversion may be in it, or a "%s" or "%n"
// would read or write through the double.
static bool format_takes_one_double(const char *f) {
    int conversions = 0;
    for (const char *p = f; *p; p++) {
        if (*p != '%') continue;
        p++;
        if (*p == '%') continue;
        while (*p && strchr("-+ #0'", *p)) p++;
        while (*p >= '0' && *p <= '9') p++;
        if (*p == '.') {
            p++;
            while (*p >= '0' && *p <= '9') p++;
        }
        if (!*p || !strchr("eEfFgGaA", *p)) return false;
        conversions++;
    }
    return conversions <= 1;
}

void n_gui_slider_set_value_format(N_GUI_CTX *ctx, int id, const char *format) {
    KIND_DATA(N_GUI_SLIDER_DATA, N_GUI_TYPE_SLIDER, sd);
    char copy[N_GUI_SLIDER_FORMAT_MAX];
    n_gui_copy_text(copy, sizeof copy, format ? format : "", 0);
    if (!format_takes_one_double(copy)) {
        n_log(LOG_WARNING, "n_gui_slider_set_value_format: widget %d: \"%s\" is not a format of one number", id, copy);
        copy[0] = '\0';
    }
    memcpy(sd->value_format, copy, sizeof copy);
    ctx->dirty = 1;
}

void n_gui_slider_set_value_visible(N_GUI_CTX *ctx, int id, int visible) {
    KIND_DATA(N_GUI_SLIDER_DATA, N_GUI_TYPE_SLIDER, sd);
    sd->show_value = visible ? 1 : 0;
    ctx->dirty = 1;
}

int n_gui_slider_handle_pos(N_GUI_CTX *ctx, int id, float *pos, float *radius) {
    KIND_DATA(N_GUI_SLIDER_DATA, N_GUI_TYPE_SLIDER, sd, 0);
    const bool vertical = sd->orientation == N_GUI_VERTICAL;
    const float L = vertical ? wgt->h : wgt->w, K = vertical ? wgt->w : wgt->h;
    float r = K / 2 - ctx->style.slider_handle_edge_offset;
    if (r < ctx->style.slider_handle_min_r) r = ctx->style.slider_handle_min_r;
    const double span = sd->max - sd->min;
    const float f = span > 0 ? static_cast<float>((sd->value - sd->min) / span) : 0.0f;
    float t = L - 2 * r;
    float centre = t < 0 ? L / 2 : r + t * f;
    if (vertical) centre = wgt->h - centre;
    if (pos) *pos = centre;
    if (radius) *radius = r;
    return 1;
}

void _slider_value_text(const N_GUI_SLIDER_DATA *sd, char out[N_GUI_SLIDER_FORMAT_MAX], double value) {
    // the format was checked to take exactly one double when it was set
    if (sd->value_format[0]) snprintf(out, N_GUI_SLIDER_FORMAT_MAX, sd->value_format, value);
    else if (sd->mode == N_GUI_SLIDER_PERCENT) snprintf(out, N_GUI_SLIDER_FORMAT_MAX, "%.0f%%", value);
    else snprintf(out, N_GUI_SLIDER_FORMAT_MAX, "%.1f", value);
}

float n_gui_slider_value_width(N_GUI_CTX *ctx, int id) {
    KIND_DATA(N_GUI_SLIDER_DATA, N_GUI_TYPE_SLIDER, sd, 0.0f);
    ALLEGRO_FONT *font = ngui_widget_font(ctx, wgt);
    if (!sd->show_value || !font) return 0;
    char a[N_GUI_SLIDER_FORMAT_MAX], b[N_GUI_SLIDER_FORMAT_MAX];
    _slider_value_text(sd, a, sd->min);
    _slider_value_text(sd, b, sd->max);
    int wa = 0, wb = 0;
    _text_dims(font, a, nullptr, nullptr, &wa, nullptr);
    _text_dims(font, b, nullptr, nullptr, &wb, nullptr);
    return static_cast<float>(wa > wb ? wa : wb) + ctx->style.slider_value_label_offset;
}

/* ---- text area ---- */

const char *n_gui_textarea_get_text(N_GUI_CTX *ctx, int id) {
    KIND_DATA(N_GUI_TEXTAREA_DATA, N_GUI_TYPE_TEXTAREA, td, EMPTY);
    return td->text;
}

void n_gui_textarea_set_text(N_GUI_CTX *ctx, int id, const char *text) {
    KIND_DATA(N_GUI_TEXTAREA_DATA, N_GUI_TYPE_TEXTAREA, td);
    const size_t old = td->length;
    td->length = n_gui_copy_text(td->text, td->max_length + 1, text ? text : "", 1);
    if (old > td->length) OPENSSL_cleanse(td->text + td->length, old - td->length);
    td->cursor = td->length;
    // an old selection would reach past the new text
    td->sel_start = td->sel_end = td->length;
    td->scroll_x = 0;
    ctx->dirty = 1;
}

size_t n_gui_textarea_get_text_length(N_GUI_CTX *ctx, int id) {
    KIND_DATA(N_GUI_TEXTAREA_DATA, N_GUI_TYPE_TEXTAREA, td, 0);
    return td->length;
}

void n_gui_textarea_set_selection(N_GUI_CTX *ctx, int id, size_t start, size_t end) {
    KIND_DATA(N_GUI_TEXTAREA_DATA, N_GUI_TYPE_TEXTAREA, td);
    td->sel_start = char_floor(td->text, start < td->length ? start : td->length);
    td->sel_end = td->cursor = char_floor(td->text, end < td->length ? end : td->length);
    ctx->dirty = 1;
}

bool n_gui_textarea_has_selection(N_GUI_CTX *ctx, int id) {
    KIND_DATA(N_GUI_TEXTAREA_DATA, N_GUI_TYPE_TEXTAREA, td, false);
    return td->sel_start != td->sel_end;
}

void n_gui_textarea_scroll_to_bottom(N_GUI_CTX *ctx, int id) {
    KIND_DATA(N_GUI_TEXTAREA_DATA, N_GUI_TYPE_TEXTAREA, td);
    ALLEGRO_FONT *font = ngui_widget_font(ctx, wgt);
    if (!td->multiline || td->length == 0 || !font) return;
    const float pad = ctx->style.textarea_padding;
    float s = _textarea_content_height(td, font, wgt->w, pad) - (wgt->h - 2 * pad);
    td->scroll_y = s > 0 ? static_cast<int>(s) : 0;
    ctx->dirty = 1;
}

void n_gui_textarea_scroll_to_offset(N_GUI_CTX *ctx, int id, size_t offset) {
    KIND_DATA(N_GUI_TEXTAREA_DATA, N_GUI_TYPE_TEXTAREA, td);
    ALLEGRO_FONT *font = ngui_widget_font(ctx, wgt);
    if (!td->multiline || td->length == 0 || !font) return;
    const float pad = ctx->style.textarea_padding, v = wgt->h - 2 * pad;
    float width = wgt->w;
    float content = _textarea_content_height(td, font, width, pad);
    if (content > v) {
        width -= ctx->style.scrollbar_size;
        content = _textarea_content_height(td, font, width, pad);
    }
    const float lh = static_cast<float>(al_get_font_line_height(font)), wrap = width - 2 * pad;
    const size_t target = offset < td->length ? offset : td->length;
    float y = 0, pen = 0;
    for (size_t off = 0; off < target;) {
        N_GUI_TEXT_STEP st = _textarea_step(td->text, td->length, off, font, pen, wrap, 0, ngui_textarea_secret(td));
        if (st.newline) {
            y += lh;
            pen = 0;
        } else if (st.wraps) {
            y += lh;
            pen = st.width;
        } else {
            pen += st.width;
        }
        off += st.bytes;
    }
    float top = content - v > 0 ? content - v : 0;
    float want = y - v / 2 + lh / 2;
    if (want < 0) want = 0;
    td->scroll_y = static_cast<int>(want < top ? want : top);
    td->user_scrolled = 0;
    ctx->dirty = 1;
}

/* ---- check box ---- */

int n_gui_checkbox_is_checked(N_GUI_CTX *ctx, int id) {
    KIND_DATA(N_GUI_CHECKBOX_DATA, N_GUI_TYPE_CHECKBOX, cd, 0);
    return cd->checked;
}

void n_gui_checkbox_set_checked(N_GUI_CTX *ctx, int id, int checked) {
    KIND_DATA(N_GUI_CHECKBOX_DATA, N_GUI_TYPE_CHECKBOX, cd);
    cd->checked = checked ? 1 : 0;
    ctx->dirty = 1;
}

void n_gui_checkbox_set_label(N_GUI_CTX *ctx, int id, const char *label) {
    KIND_DATA_CTX(N_GUI_CHECKBOX_DATA, N_GUI_TYPE_CHECKBOX, cd);
    if (!label) return;
    n_gui_copy_text(cd->label, sizeof cd->label, label, 0);
    ctx->dirty = 1;
}

const char *n_gui_checkbox_get_label(N_GUI_CTX *ctx, int id) {
    KIND_DATA_CTX(N_GUI_CHECKBOX_DATA, N_GUI_TYPE_CHECKBOX, cd, nullptr);
    return cd->label;
}

/* ---- scrollbar ---- */

static void scrollbar_clamp(N_GUI_SCROLLBAR_DATA *sb) {
    const double top = sb->content_size - sb->view_size > 0 ? sb->content_size - sb->view_size : 0;
    if (!(sb->position > 0)) sb->position = 0;  // NaN too: it passes every comparison
    if (sb->position > top) sb->position = top;
}

double n_gui_scrollbar_get_pos(N_GUI_CTX *ctx, int id) {
    KIND_DATA(N_GUI_SCROLLBAR_DATA, N_GUI_TYPE_SCROLLBAR, sb, 0.0);
    return sb->position;
}

void n_gui_scrollbar_set_pos(N_GUI_CTX *ctx, int id, double pos) {
    KIND_DATA(N_GUI_SCROLLBAR_DATA, N_GUI_TYPE_SCROLLBAR, sb);
    sb->position = pos;
    scrollbar_clamp(sb);
    ctx->dirty = 1;
}

void n_gui_scrollbar_set_sizes(N_GUI_CTX *ctx, int id, double content_size, double view_size) {
    KIND_DATA(N_GUI_SCROLLBAR_DATA, N_GUI_TYPE_SCROLLBAR, sb);
    sb->content_size = content_size > 0 ? content_size : 1;
    sb->view_size = view_size > 0 ? view_size : 1;
    scrollbar_clamp(sb);
    ctx->dirty = 1;
}

void n_gui_scrollbar_set_wheel_step(N_GUI_CTX *ctx, int id, double step) {
    KIND_DATA(N_GUI_SCROLLBAR_DATA, N_GUI_TYPE_SCROLLBAR, sb);
    sb->wheel_step = step > 0 ? step : 0;
}

/* ---- item lists (list box, radio list, combo box) ---- */

static int items_add(N_GUI_LISTITEM **items, int *count, int *capacity, const char *text) {
    if (!_items_grow(items, *count, capacity)) return -1;
    N_GUI_LISTITEM *it = &(*items)[*count];
    memset(it, 0, sizeof *it);
    n_gui_copy_text(it->text, sizeof it->text, text ? text : "", 0);
    return (*count)++;
}

static void items_remove(N_GUI_LISTITEM *items, int *count, int index) {
    memmove(&items[index], &items[index + 1], static_cast<size_t>(*count - index - 1) * sizeof *items);
    (*count)--;
    memset(&items[*count], 0, sizeof *items);  // the freed last slot
}

// The first visible item after a removal: 0 for an empty list, pulled back
// when it points past the end.
static int scroll_after_remove(int scroll, int count) {
    if (count == 0) return 0;
    if (scroll > 0 && scroll >= count) return count - 1;
    return scroll;
}

int n_gui_listbox_add_item(N_GUI_CTX *ctx, int id, const char *text) {
    KIND_DATA(N_GUI_LISTBOX_DATA, N_GUI_TYPE_LISTBOX, ld, -1);
    int index = items_add(&ld->items, &ld->count, &ld->capacity, text);
    ctx->dirty = 1;
    return index;
}

int n_gui_listbox_remove_item(N_GUI_CTX *ctx, int id, int index) {
    KIND_DATA(N_GUI_LISTBOX_DATA, N_GUI_TYPE_LISTBOX, ld, -1);
    if (index < 0 || index >= ld->count) return -1;
    items_remove(ld->items, &ld->count, index);
    ld->scroll_offset = scroll_after_remove(ld->scroll_offset, ld->count);
    if (ld->hovered >= ld->count) ld->hovered = -1;
    ctx->dirty = 1;
    return 0;
}

void n_gui_listbox_clear(N_GUI_CTX *ctx, int id) {
    KIND_DATA(N_GUI_LISTBOX_DATA, N_GUI_TYPE_LISTBOX, ld);
    ld->count = 0;
    ld->scroll_offset = 0;
    ld->h_scroll = 0;
    ld->hovered = -1;
    ctx->dirty = 1;
}

int n_gui_listbox_get_count(N_GUI_CTX *ctx, int id) {
    KIND_DATA(N_GUI_LISTBOX_DATA, N_GUI_TYPE_LISTBOX, ld, 0);
    return ld->count;
}

const char *n_gui_listbox_get_item_text(N_GUI_CTX *ctx, int id, int index) {
    KIND_DATA(N_GUI_LISTBOX_DATA, N_GUI_TYPE_LISTBOX, ld, EMPTY);
    return index >= 0 && index < ld->count ? ld->items[index].text : EMPTY;
}

int n_gui_listbox_get_selected(N_GUI_CTX *ctx, int id) {
    KIND_DATA(N_GUI_LISTBOX_DATA, N_GUI_TYPE_LISTBOX, ld, -1);
    for (int i = 0; i < ld->count; i++)
        if (ld->items[i].selected) return i;
    return -1;
}

int n_gui_listbox_is_selected(N_GUI_CTX *ctx, int id, int index) {
    KIND_DATA(N_GUI_LISTBOX_DATA, N_GUI_TYPE_LISTBOX, ld, 0);
    return index >= 0 && index < ld->count && ld->items[index].selected ? 1 : 0;
}

void n_gui_listbox_set_selected(N_GUI_CTX *ctx, int id, int index, int selected) {
    KIND_DATA(N_GUI_LISTBOX_DATA, N_GUI_TYPE_LISTBOX, ld);
    if (index < 0 || index >= ld->count) return;
    if (selected && ld->selection_mode == N_GUI_SELECT_SINGLE)
        for (int i = 0; i < ld->count; i++) ld->items[i].selected = 0;
    ld->items[index].selected = selected ? 1 : 0;
    ctx->dirty = 1;
}

int n_gui_listbox_get_scroll_offset(N_GUI_CTX *ctx, int id) {
    KIND_DATA(N_GUI_LISTBOX_DATA, N_GUI_TYPE_LISTBOX, ld, 0);
    return ld->scroll_offset;
}

void n_gui_listbox_set_scroll_offset(N_GUI_CTX *ctx, int id, int offset) {
    KIND_DATA(N_GUI_LISTBOX_DATA, N_GUI_TYPE_LISTBOX, ld);
    int rows = ld->item_height > 0 ? ngui_rows(wgt->h, ld->item_height) : ld->count;
    int top = ld->count - rows > 0 ? ld->count - rows : 0;
    ld->scroll_offset = offset < 0 ? 0 : (offset > top ? top : offset);
    ctx->dirty = 1;
}

float n_gui_listbox_content_width(N_GUI_CTX *ctx, int id) {
    KIND_DATA(N_GUI_LISTBOX_DATA, N_GUI_TYPE_LISTBOX, ld, 0.0f);
    ALLEGRO_FONT *font = ngui_widget_font(ctx, wgt);
    if (!font || ld->count == 0) return 0;
    float widest = 0;
    for (int i = 0; i < ld->count; i++) {
        float w = _text_w(font, ld->items[i].text);
        if (w > widest) widest = w;
    }
    return widest + 2 * ctx->style.item_text_padding;
}

float n_gui_listbox_get_h_scroll(N_GUI_CTX *ctx, int id) {
    KIND_DATA(N_GUI_LISTBOX_DATA, N_GUI_TYPE_LISTBOX, ld, 0.0f);
    return ld->h_scroll;
}

void n_gui_listbox_set_h_scroll(N_GUI_CTX *ctx, int id, float offset) {
    KIND_DATA(N_GUI_LISTBOX_DATA, N_GUI_TYPE_LISTBOX, ld);
    ld->h_scroll = offset > 0 ? offset : 0;
    ctx->dirty = 1;
}

/* ---- split pane ---- */

float n_gui_splitpane_get_ratio(N_GUI_CTX *ctx, int id) {
    KIND_DATA(N_GUI_SPLITPANE_DATA, N_GUI_TYPE_SPLITPANE, sd, 0.5f);
    return sd->ratio;
}

// A NaN ratio or limit (a caller's 0/0) leaves the value it would replace.
void n_gui_splitpane_set_ratio(N_GUI_CTX *ctx, int id, float ratio) {
    KIND_DATA(N_GUI_SPLITPANE_DATA, N_GUI_TYPE_SPLITPANE, sd);
    sd->ratio = ngui_clamp(ratio, sd->min_ratio, sd->max_ratio, sd->ratio);
    ctx->dirty = 1;
}

void n_gui_splitpane_set_limits(N_GUI_CTX *ctx, int id, float lower, float upper) {
    KIND_DATA(N_GUI_SPLITPANE_DATA, N_GUI_TYPE_SPLITPANE, sd);
    if (std::isnan(upper)) upper = sd->max_ratio;
    if (std::isnan(lower)) lower = sd->min_ratio;
    if (upper > 1) upper = 1;
    if (lower < 0) lower = 0;
    if (lower > upper) lower = upper;
    sd->min_ratio = lower;
    sd->max_ratio = upper;
    sd->ratio = ngui_clamp(sd->ratio, lower, upper, lower);
    ctx->dirty = 1;
}

/* ---- radio list and combo box ---- */

int n_gui_radiolist_add_item(N_GUI_CTX *ctx, int id, const char *text) {
    KIND_DATA(N_GUI_RADIOLIST_DATA, N_GUI_TYPE_RADIOLIST, rd, -1);
    int index = items_add(&rd->items, &rd->count, &rd->capacity, text);
    ctx->dirty = 1;
    return index;
}

void n_gui_radiolist_clear(N_GUI_CTX *ctx, int id) {
    KIND_DATA(N_GUI_RADIOLIST_DATA, N_GUI_TYPE_RADIOLIST, rd);
    rd->count = 0;
    rd->selected = -1;
    rd->scroll_offset = 0;
    ctx->dirty = 1;
}

int n_gui_radiolist_get_selected(N_GUI_CTX *ctx, int id) {
    KIND_DATA(N_GUI_RADIOLIST_DATA, N_GUI_TYPE_RADIOLIST, rd, -1);
    return rd->selected;
}

void n_gui_radiolist_set_selected(N_GUI_CTX *ctx, int id, int index) {
    KIND_DATA(N_GUI_RADIOLIST_DATA, N_GUI_TYPE_RADIOLIST, rd);
    if (index != -1 && (index < 0 || index >= rd->count)) return;
    rd->selected = index;
    ctx->dirty = 1;
}

int n_gui_combobox_add_item(N_GUI_CTX *ctx, int id, const char *text) {
    KIND_DATA(N_GUI_COMBOBOX_DATA, N_GUI_TYPE_COMBOBOX, cd, -1);
    int index = items_add(&cd->items, &cd->count, &cd->capacity, text);
    ctx->dirty = 1;
    return index;
}

void n_gui_combobox_clear(N_GUI_CTX *ctx, int id) {
    KIND_DATA(N_GUI_COMBOBOX_DATA, N_GUI_TYPE_COMBOBOX, cd);
    if (cd->items) memset(cd->items, 0, static_cast<size_t>(cd->count) * sizeof *cd->items);
    cd->count = 0;
    cd->selected = -1;
    cd->scroll_offset = 0;
    cd->hovered = -1;
    ctx->dirty = 1;
}

int n_gui_combobox_get_selected(N_GUI_CTX *ctx, int id) {
    KIND_DATA(N_GUI_COMBOBOX_DATA, N_GUI_TYPE_COMBOBOX, cd, -1);
    return cd->selected;
}

void n_gui_combobox_set_selected(N_GUI_CTX *ctx, int id, int index) {
    KIND_DATA(N_GUI_COMBOBOX_DATA, N_GUI_TYPE_COMBOBOX, cd);
    if (index != -1 && (index < 0 || index >= cd->count)) return;
    cd->selected = index;
    ctx->dirty = 1;
}

const char *n_gui_combobox_get_item_text(N_GUI_CTX *ctx, int id, int index) {
    KIND_DATA(N_GUI_COMBOBOX_DATA, N_GUI_TYPE_COMBOBOX, cd, EMPTY);
    return index >= 0 && index < cd->count ? cd->items[index].text : EMPTY;
}

int n_gui_combobox_get_count(N_GUI_CTX *ctx, int id) {
    KIND_DATA(N_GUI_COMBOBOX_DATA, N_GUI_TYPE_COMBOBOX, cd, 0);
    return cd->count;
}

static int index_after_remove(int index, int removed) {
    if (index == removed) return -1;
    return index > removed ? index - 1 : index;
}

int n_gui_combobox_remove_item(N_GUI_CTX *ctx, int id, int index) {
    KIND_DATA(N_GUI_COMBOBOX_DATA, N_GUI_TYPE_COMBOBOX, cd, -1);
    if (index < 0 || index >= cd->count) return -1;
    items_remove(cd->items, &cd->count, index);
    cd->selected = index_after_remove(cd->selected, index);
    cd->hovered = index_after_remove(cd->hovered, index);
    cd->scroll_offset = scroll_after_remove(cd->scroll_offset, cd->count);
    ctx->dirty = 1;
    return 0;
}

/* ---- image and label ---- */

void n_gui_image_set_bitmap(N_GUI_CTX *ctx, int id, ALLEGRO_BITMAP *bitmap) {
    KIND_DATA(N_GUI_IMAGE_DATA, N_GUI_TYPE_IMAGE, imd);
    imd->bitmap = bitmap;
    ctx->dirty = 1;
}

const char *n_gui_label_get_text(N_GUI_CTX *ctx, int id) {
    KIND_DATA_CTX(N_GUI_LABEL_DATA, N_GUI_TYPE_LABEL, ld, nullptr);
    return ld->text;
}

void n_gui_label_set_text(N_GUI_CTX *ctx, int id, const char *text) {
    KIND_DATA(N_GUI_LABEL_DATA, N_GUI_TYPE_LABEL, ld);
    n_gui_copy_text(ld->text, sizeof ld->text, text ? text : "", 1);
    // offsets into the old text mean nothing in the new one
    ld->sel_start = ld->sel_end = -1;
    ld->selecting = 0;
    ctx->dirty = 1;
}

void n_gui_label_set_link(N_GUI_CTX *ctx, int id, const char *link) {
    KIND_DATA(N_GUI_LABEL_DATA, N_GUI_TYPE_LABEL, ld);
    n_gui_copy_text(ld->link, sizeof ld->link, link ? link : "", 0);
    ctx->dirty = 1;
}

void n_gui_label_set_truncate(N_GUI_CTX *ctx, int id, int mode) {
    KIND_DATA(N_GUI_LABEL_DATA, N_GUI_TYPE_LABEL, ld);
    ld->truncate = (mode == N_GUI_SHORTEN_START || mode == N_GUI_SHORTEN_PATH) ? mode : N_GUI_SHORTEN_END;
    ctx->dirty = 1;
}

int n_gui_label_get_truncate(N_GUI_CTX *ctx, int id) {
    KIND_DATA(N_GUI_LABEL_DATA, N_GUI_TYPE_LABEL, ld, 0);
    return ld->truncate;
}

int n_gui_label_fits(N_GUI_CTX *ctx, int id, float *need_w, float *need_h) {
    if (need_w) *need_w = 0;
    if (need_h) *need_h = 0;
    KIND_DATA_CTX(N_GUI_LABEL_DATA, N_GUI_TYPE_LABEL, ld, 1);
    ALLEGRO_FONT *font = ngui_widget_font(ctx, wgt);
    if (!font || !ld->text[0]) return 1;
    const float p = ctx->style.label_padding, lh = static_cast<float>(al_get_font_line_height(font));
    float w, h;
    if (ld->align == N_GUI_ALIGN_JUSTIFIED) {
        w = wgt->w;
        float wrap = wgt->w - 2 * p;
        h = _label_content_height(ld->text, font, wrap > 1 ? wrap : 1) + p;
    } else if (strchr(ld->text, '\n')) {
        int lines = 1;
        float widest = 0;
        for (const char *s = ld->text;;) {
            const char *e = strchr(s, '\n');
            size_t n = e ? static_cast<size_t>(e - s) : strlen(s);
            if (n > 0 && s[n - 1] == '\r') n--;
            float lw = _text_w_n(font, s, n);
            if (lw > widest) widest = lw;
            if (!e) break;
            lines++;
            s = e + 1;
        }
        w = widest + 2 * p;
        h = lh * static_cast<float>(lines);
    } else {
        w = _text_w(font, ld->text) + 2 * p;
        h = lh;
    }
    if (need_w) *need_w = w;
    if (need_h) *need_h = h;
    return w <= wgt->w + 0.5f && h <= wgt->h + 0.5f ? 1 : 0;
}

/* ---- hex view ---- */

void n_gui_hexview_set_data(N_GUI_CTX *ctx, int id, const unsigned char *data, size_t size) {
    KIND_DATA(N_GUI_HEXVIEW_DATA, N_GUI_TYPE_HEXVIEW, hd);
    // Copy before freeing: DATA may be the view's own buffer handed back.
    unsigned char *copy = nullptr;
    if (data && size > 0) {
        copy = n_calloc(copy, size, unsigned char);
        if (copy) memcpy(copy, data, size);
    }
    free(hd->data);
    hd->data = copy;
    hd->cursor = 0;
    hd->low_nibble = 0;
    hd->scroll_offset = 0;
    hd->length = hd->capacity = copy ? size : 0;
    ctx->dirty = 1;
}

size_t n_gui_hexview_get_data(N_GUI_CTX *ctx, int id, unsigned char **data) {
    if (data) *data = nullptr;
    KIND_DATA(N_GUI_HEXVIEW_DATA, N_GUI_TYPE_HEXVIEW, hd, 0);
    if (data) *data = hd->data;
    return hd->length;
}

size_t n_gui_hexview_get_length(N_GUI_CTX *ctx, int id) {
    KIND_DATA(N_GUI_HEXVIEW_DATA, N_GUI_TYPE_HEXVIEW, hd, 0);
    return hd->length;
}

void n_gui_hexview_set_cursor(N_GUI_CTX *ctx, int id, size_t index) {
    KIND_DATA(N_GUI_HEXVIEW_DATA, N_GUI_TYPE_HEXVIEW, hd);
    hd->cursor = index < hd->length ? index : hd->length;
    hd->low_nibble = 0;
    ctx->dirty = 1;
}

size_t n_gui_hexview_get_cursor(N_GUI_CTX *ctx, int id) {
    KIND_DATA(N_GUI_HEXVIEW_DATA, N_GUI_TYPE_HEXVIEW, hd, 0);
    return hd->cursor;
}

void n_gui_hexview_set_editable(N_GUI_CTX *ctx, int id, int editable) {
    KIND_DATA(N_GUI_HEXVIEW_DATA, N_GUI_TYPE_HEXVIEW, hd);
    hd->editable = editable ? 1 : 0;
}

void n_gui_hexview_set_on_change(N_GUI_CTX *ctx, int id, N_GUI_HEXVIEW_CB callback, void *user_data) {
    KIND_DATA(N_GUI_HEXVIEW_DATA, N_GUI_TYPE_HEXVIEW, hd);
    hd->callback = callback;
    hd->user_data = user_data;
}

/* ---- syntax view ---- */

void n_gui_syntaxview_set_text(N_GUI_CTX *ctx, int id, const char *text) {
    KIND_DATA(N_GUI_SYNTAXVIEW_DATA, N_GUI_TYPE_SYNTAXVIEW, yd);
    // Copy before freeing: TEXT may be the view's own, handed back.
    const size_t n = text ? strlen(text) : 0;
    char *copy = nullptr;
    if (n > 0) {
        copy = n_calloc(copy, n + 1, char);
        if (copy) memcpy(copy, text, n);
    }
    free(yd->text);
    yd->text = copy;
    yd->length = copy ? n : 0;
    yd->scroll_offset = 0;
    yd->h_scroll = 0;
    yd->lines_valid = 0;
    yd->width_valid = 0;
    yd->sel_start = yd->sel_end = -1;
    if (ctx->selection_owner == id) ctx->selection_owner = -1;
    ctx->dirty = 1;
}

const char *n_gui_syntaxview_get_text(N_GUI_CTX *ctx, int id) {
    KIND_DATA(N_GUI_SYNTAXVIEW_DATA, N_GUI_TYPE_SYNTAXVIEW, yd, nullptr);
    return yd->length ? yd->text : nullptr;
}

void n_gui_syntaxview_set_mode(N_GUI_CTX *ctx, int id, int mode) {
    KIND_DATA(N_GUI_SYNTAXVIEW_DATA, N_GUI_TYPE_SYNTAXVIEW, yd);
    yd->mode = mode;
    ctx->dirty = 1;
}

static void syntax_lines(N_GUI_SYNTAXVIEW_DATA *yd) {
    if (yd->lines_valid) return;
    yd->line_count = 0;
    yd->header_end = 0x7FFFFFFF;
    if (yd->text && yd->length) {
        yd->line_count = 1;
        const char *line = yd->text;
        for (size_t i = 0; i <= yd->length; i++) {
            if (i < yd->length && yd->text[i] != '\n') continue;
            size_t n = static_cast<size_t>(yd->text + i - line);
            bool empty = n == 0 || (n == 1 && line[0] == '\r');
            if (empty && yd->header_end == 0x7FFFFFFF) yd->header_end = yd->line_count - 1;
            if (i < yd->length) {
                yd->line_count++;
                line = yd->text + i + 1;
            }
        }
    }
    yd->lines_valid = 1;
}

int n_gui_syntaxview_get_line_count(N_GUI_CTX *ctx, int id) {
    KIND_DATA(N_GUI_SYNTAXVIEW_DATA, N_GUI_TYPE_SYNTAXVIEW, yd, 0);
    syntax_lines(yd);
    return yd->line_count;
}

void n_gui_syntaxview_set_selection(N_GUI_CTX *ctx, int id, int start, int end) {
    KIND_DATA(N_GUI_SYNTAXVIEW_DATA, N_GUI_TYPE_SYNTAXVIEW, yd);
    const int len = static_cast<int>(yd->length);
    yd->sel_start = start < 0 ? 0 : (start > len ? len : start);
    yd->sel_end = end < 0 ? 0 : (end > len ? len : end);
    if (yd->sel_start != yd->sel_end) ctx->selection_owner = id;
    ctx->dirty = 1;
}

void n_gui_syntaxview_select_all(N_GUI_CTX *ctx, int id) {
    KIND_DATA(N_GUI_SYNTAXVIEW_DATA, N_GUI_TYPE_SYNTAXVIEW, yd);
    n_gui_syntaxview_set_selection(ctx, id, 0, static_cast<int>(yd->length));
}

char *n_gui_syntaxview_get_selected_text(N_GUI_CTX *ctx, int id) {
    KIND_DATA(N_GUI_SYNTAXVIEW_DATA, N_GUI_TYPE_SYNTAXVIEW, yd, nullptr);
    if (yd->sel_start < 0 || yd->sel_end < 0 || yd->sel_start == yd->sel_end || !yd->text) return nullptr;
    size_t a = static_cast<size_t>(yd->sel_start < yd->sel_end ? yd->sel_start : yd->sel_end);
    size_t b = static_cast<size_t>(yd->sel_start < yd->sel_end ? yd->sel_end : yd->sel_start);
    if (a > yd->length) a = yd->length;
    if (b > yd->length) b = yd->length;
    if (a >= b) return nullptr;
    char *out = n_calloc(out, b - a + 1, char);
    if (out) memcpy(out, yd->text + a, b - a);
    return out;
}

void _syntaxview_ensure_width(N_GUI_SYNTAXVIEW_DATA *yd, ALLEGRO_FONT *font, const N_GUI_STYLE *style) {
    if (yd->width_valid && yd->width_font == font) return;
    float widest = 0;
    if (yd->text && yd->length && font) {
        const char *line = yd->text;
        for (size_t i = 0; i <= yd->length; i++) {
            if (i < yd->length && yd->text[i] != '\n') continue;
            size_t n = static_cast<size_t>(yd->text + i - line);
            if (n > 0 && line[n - 1] == '\r') n--;
            float w = _text_w_n(font, line, n);
            if (w > widest) widest = w;
            line = yd->text + i + 1;
        }
    }
    yd->content_w = yd->length ? widest + 2 * style->textarea_padding : 0;
    yd->width_font = font;
    yd->width_valid = 1;
}

void _syntaxview_hmetrics(const N_GUI_WIDGET *wgt, N_GUI_SYNTAXVIEW_DATA *yd, ALLEGRO_FONT *font,
                          const N_GUI_STYLE *style, float *content_w, float *view_w, int *needs_hbar,
                          int *visible_rows) {
    const float pitch = font ? static_cast<float>(al_get_font_line_height(font)) + 2 : 18;
    const float p = style->textarea_padding;
    syntax_lines(yd);
    _syntaxview_ensure_width(yd, font, style);
    int rows = ngui_rows(wgt->h - 2 * p, pitch);
    if (rows < 1) rows = 1;
    float vw = wgt->w - (rows < yd->line_count ? style->scrollbar_size : 0);
    int hbar = yd->content_w > vw + 1;
    if (hbar) {
        rows = ngui_rows(wgt->h - style->scrollbar_size - 2 * p, pitch);
        if (rows < 1) rows = 1;
        if (rows < yd->line_count) vw = wgt->w - style->scrollbar_size;
    }
    if (content_w) *content_w = yd->content_w;
    if (view_w) *view_w = vw;
    if (needs_hbar) *needs_hbar = hbar;
    if (visible_rows) *visible_rows = rows;
}

void n_gui_syntaxview_scroll_to_offset(N_GUI_CTX *ctx, int id, int offset) {
    KIND_DATA(N_GUI_SYNTAXVIEW_DATA, N_GUI_TYPE_SYNTAXVIEW, yd);
    if (!yd->text || !yd->length) return;
    const int len = static_cast<int>(yd->length);
    offset = offset < 0 ? 0 : (offset > len ? len : offset);
    int line = 0, line_start = 0;
    for (int i = 0; i < offset; i++)
        if (yd->text[i] == '\n') line++, line_start = i + 1;
    ALLEGRO_FONT *font = ngui_widget_font(ctx, wgt);
    float cw = 0, vw = 0;
    int hbar = 0, rows = 1;
    _syntaxview_hmetrics(wgt, yd, font, &ctx->style, &cw, &vw, &hbar, &rows);
    int first = line - rows / 2, top = yd->line_count - rows > 0 ? yd->line_count - rows : 0;
    yd->scroll_offset = first < 0 ? 0 : (first > top ? top : first);
    if (cw > vw) {
        float x = _text_w_n(font, yd->text + line_start, static_cast<size_t>(offset - line_start));
        float inner = vw - 2 * ctx->style.textarea_padding;
        if (inner < 1) inner = 1;
        if (x < yd->h_scroll || x > yd->h_scroll + inner) yd->h_scroll = x - inner / 3;
        float hmax = cw - vw > 0 ? cw - vw : 0;
        yd->h_scroll = yd->h_scroll < 0 ? 0 : (yd->h_scroll > hmax ? hmax : yd->h_scroll);
    }
    ctx->dirty = 1;
}

float n_gui_syntaxview_content_width(N_GUI_CTX *ctx, int id) {
    KIND_DATA(N_GUI_SYNTAXVIEW_DATA, N_GUI_TYPE_SYNTAXVIEW, yd, 0.0f);
    _syntaxview_ensure_width(yd, ngui_widget_font(ctx, wgt), &ctx->style);
    return yd->content_w;
}

float n_gui_syntaxview_get_h_scroll(N_GUI_CTX *ctx, int id) {
    KIND_DATA(N_GUI_SYNTAXVIEW_DATA, N_GUI_TYPE_SYNTAXVIEW, yd, 0.0f);
    return yd->h_scroll;
}

void n_gui_syntaxview_set_h_scroll(N_GUI_CTX *ctx, int id, float offset) {
    KIND_DATA(N_GUI_SYNTAXVIEW_DATA, N_GUI_TYPE_SYNTAXVIEW, yd);
    yd->h_scroll = offset > 0 ? offset : 0;
    ctx->dirty = 1;
}

/* ---- data-grid columns ---- */

void n_gui_datagrid_move_column(N_GUI_CTX *ctx, int id, int from, int to) {
    KIND_DATA(N_GUI_DATAGRID_DATA, N_GUI_TYPE_DATAGRID, gd);
    if (!gd->order || from < 0 || to < 0 || from >= gd->col_count || to >= gd->col_count || from == to) return;
    int moved = gd->order[from];
    if (from < to) memmove(&gd->order[from], &gd->order[from + 1], static_cast<size_t>(to - from) * sizeof(int));
    else memmove(&gd->order[to + 1], &gd->order[to], static_cast<size_t>(from - to) * sizeof(int));
    gd->order[to] = moved;
    ctx->dirty = 1;
}
