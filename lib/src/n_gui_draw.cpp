// Drawing of toolkit windows and widgets. A window is painted title bar
// first, then body and border, then its widgets in creation order inside the
// content clip, then its own scrollbars and grip. Each widget is drawn from
// its box, its state and its theme; texts that do not fit are cut with "..."
// on character boundaries, never inside a character.
#include "n_gui_draw.h"
#include "n_gui_internal.h"
#include "n_gui_kinds.h"
#include "n_gui_text.h"

#include <allegro5/allegro_primitives.h>
#include <openssl/crypto.h>

#include <cmath>
#include <cstdio>
#include <cstring>

/* ---- shared pieces ---- */

float _min_thickness(float t) {
    const ALLEGRO_TRANSFORM *tr = al_get_current_transform();
    float s = 1;
    if (tr) {
        float sx = hypotf(tr->m[0][0], tr->m[0][1]), sy = hypotf(tr->m[1][0], tr->m[1][1]);
        s = sx > sy ? sx : sy;
    }
    float px = 1 / (s > 0.01f ? s : 0.01f);
    return t > px ? t : px;
}

void _set_clipping_rect_transformed(int x, int y, int w, int h) {
    const ALLEGRO_TRANSFORM *tr = al_get_current_transform();
    float xs[4] = {static_cast<float>(x), static_cast<float>(x + w), static_cast<float>(x), static_cast<float>(x + w)};
    float ys[4] = {static_cast<float>(y), static_cast<float>(y), static_cast<float>(y + h), static_cast<float>(y + h)};
    float x0 = 1e30f, y0 = 1e30f, x1 = -1e30f, y1 = -1e30f;
    for (int i = 0; i < 4; i++) {
        if (tr) al_transform_coordinates(tr, &xs[i], &ys[i]);
        x0 = fminf(x0, xs[i]), y0 = fminf(y0, ys[i]), x1 = fmaxf(x1, xs[i]), y1 = fmaxf(y1, ys[i]);
    }
    int cx, cy, cw, ch;
    al_get_clipping_rectangle(&cx, &cy, &cw, &ch);
    // ngui_coord: a transform may scale a corner past any int
    int nx0 = static_cast<int>(floorf(ngui_coord(x0))), ny0 = static_cast<int>(floorf(ngui_coord(y0)));
    int nx1 = static_cast<int>(ceilf(ngui_coord(x1))), ny1 = static_cast<int>(ceilf(ngui_coord(y1)));
    if (nx0 < cx) nx0 = cx;
    if (ny0 < cy) ny0 = cy;
    if (nx1 > cx + cw) nx1 = cx + cw;
    if (ny1 > cy + ch) ny1 = cy + ch;
    al_set_clipping_rectangle(nx0, ny0, nx1 - nx0 > 0 ? nx1 - nx0 : 0, ny1 - ny0 > 0 ? ny1 - ny0 : 0);
}

void _draw_text_truncated(ALLEGRO_FONT *font, const char *text, ALLEGRO_COLOR colour, float x, float y, float max_w) {
    if (!font || !text || !text[0]) return;
    if (_text_w(font, text) <= max_w) {
        al_draw_text(font, colour, x, y, 0, text);
        return;
    }
    char buf[N_GUI_TEXT_MAX];
    float room = max_w - _text_w(font, "...");
    if (room < 0) room = 0;
    size_t keep = 0, len = strlen(text);
    while (keep < len) {
        size_t next = keep + n_gui_utf8_step(static_cast<unsigned char>(text[keep]));
        if (next > len || next > sizeof buf - 5 || _text_w_n(font, text, next) > room) break;
        keep = next;
    }
    memcpy(buf, text, keep);
    memcpy(buf + keep, "...", 4);
    al_draw_text(font, colour, x, y, 0, buf);
}

static ALLEGRO_COLOR state_bg(const N_GUI_THEME *t, int state) {
    if (state & N_GUI_STATE_PRESSED) return t->bg_active;
    return (state & N_GUI_STATE_HOVER) ? t->bg_hover : t->bg_normal;
}

static ALLEGRO_COLOR state_border(const N_GUI_THEME *t, int state) {
    if (state & N_GUI_STATE_PRESSED) return t->border_active;
    return (state & N_GUI_STATE_HOVER) ? t->border_hover : t->border_normal;
}

static ALLEGRO_COLOR state_text(const N_GUI_THEME *t, int state) {
    if (state & N_GUI_STATE_PRESSED) return t->text_active;
    return (state & N_GUI_STATE_HOVER) ? t->text_hover : t->text_normal;
}

void _draw_themed_rect(const N_GUI_THEME *theme, int state, int rounded, float x, float y, float w, float h) {
    const float t = _min_thickness(theme->border_thickness), e = t / 2;
    ALLEGRO_COLOR bg = state_bg(theme, state), border = state_border(theme, state);
    if (rounded) {
        al_draw_filled_rounded_rectangle(x + e, y + e, x + w - e, y + h - e, theme->corner_rx, theme->corner_ry, bg);
        al_draw_rounded_rectangle(x + e, y + e, x + w - e, y + h - e, theme->corner_rx, theme->corner_ry, border, t);
    } else {
        al_draw_filled_rectangle(x, y, x + w, y + h, bg);
        if (theme->border_thickness > 0) al_draw_rectangle(x + e, y + e, x + w - e, y + h - e, border, t);
    }
}

static void draw_bitmap_scaled(ALLEGRO_BITMAP *bmp, float x, float y, float w, float h) {
    if (!bmp) return;
    al_draw_scaled_bitmap(bmp, 0, 0, static_cast<float>(al_get_bitmap_width(bmp)),
                          static_cast<float>(al_get_bitmap_height(bmp)), x, y, w, h, 0);
}

// Bitmap by mode: 1 stretch, 2 natural size centred, else fit keeping the aspect.
static void draw_bitmap_mode(ALLEGRO_BITMAP *bmp, int mode, float x, float y, float w, float h) {
    if (!bmp) return;
    const float bw = static_cast<float>(al_get_bitmap_width(bmp)), bh = static_cast<float>(al_get_bitmap_height(bmp));
    if (bw <= 0 || bh <= 0) return;
    if (mode == N_GUI_IMAGE_STRETCH) {
        draw_bitmap_scaled(bmp, x, y, w, h);
    } else if (mode == N_GUI_IMAGE_CENTER) {
        al_draw_bitmap(bmp, x + (w - bw) / 2, y + (h - bh) / 2, 0);
    } else {
        float s = fminf(w / bw, h / bh);
        al_draw_scaled_bitmap(bmp, 0, 0, bw, bh, x + (w - bw * s) / 2, y + (h - bh * s) / 2, bw * s, bh * s, 0);
    }
}

// The first visible row of a list kept where rows still show items.
static int clamp_first(int first, int count, int rows) {
    const int top = count - rows > 0 ? count - rows : 0;
    return first < 0 ? 0 : (first > top ? top : first);
}

/* ---- scrollbars ---- */

struct SbSkin {
    ALLEGRO_COLOR track, thumb;
    float padding, corner;
    int rounded;
    float inset;
};

static SbSkin sb_skin(const N_GUI_STYLE *s) {
    return SbSkin{s->scrollbar_track_color, s->scrollbar_thumb_color, s->scrollbar_thumb_padding,
                  s->scrollbar_thumb_corner_r, 0, 0};
}

static void draw_track(bool vertical, const SbSkin &sk, const N_GUI_THEME *theme, float x, float y, float w, float h) {
    if (sk.rounded) {
        float r = sk.inset;
        if (vertical && h > 2 * r) y += r, h -= 2 * r;
        if (!vertical && w > 2 * r) x += r, w -= 2 * r;
        float rr = (vertical ? w : h) / 2;
        al_draw_filled_rounded_rectangle(x, y, x + w, y + h, rr, rr, sk.track);
        return;
    }
    al_draw_filled_rectangle(x, y, x + w, y + h, sk.track);
    const float t = _min_thickness(0);
    if (vertical) al_draw_line(x + t / 2, y, x + t / 2, y + h, theme->border_normal, t);
    else al_draw_line(x, y + t / 2, x + w, y + t / 2, theme->border_normal, t);
}

static ALLEGRO_COLOR toward(ALLEGRO_COLOR c, ALLEGRO_COLOR b, float k) {
    return ALLEGRO_COLOR{c.r + (b.r - c.r) * k, c.g + (b.g - c.g) * k, c.b + (b.b - c.b) * k, c.a + (b.a - c.a) * k};
}

static void draw_thumb(int state, const SbSkin &sk, const N_GUI_THEME *theme, float x, float y, float w, float h) {
    if (w < 0 || h < 0) return;
    ALLEGRO_COLOR fill = sk.thumb, outline = theme->border_normal;
    if (state & (N_GUI_STATE_PRESSED | N_GUI_STATE_HELD)) fill = toward(sk.thumb, theme->border_active, 0.45f), outline = theme->border_active;
    else if (state & N_GUI_STATE_HOVER) fill = toward(sk.thumb, theme->border_hover, 0.30f), outline = theme->border_hover;
    const bool ring = state & 0xF;
    const float t = _min_thickness(theme->border_thickness);
    if (sk.corner > 0) {
        al_draw_filled_rounded_rectangle(x, y, x + w, y + h, sk.corner, sk.corner, fill);
        if (ring) al_draw_rounded_rectangle(x, y, x + w, y + h, sk.corner, sk.corner, outline, t);
    } else {
        al_draw_filled_rectangle(x, y, x + w, y + h, fill);
        if (ring) al_draw_rectangle(x, y, x + w, y + h, outline, t);
    }
}

// The vertical bar lists and views draw inside themselves.
static void draw_rows_scrollbar(int total, int visible, int first, const N_GUI_STYLE *s, const N_GUI_THEME *theme,
                                float x, float y, float w, float h) {
    const float S = s->scrollbar_size, p = s->scrollbar_thumb_padding;
    SbSkin sk = sb_skin(s);
    draw_track(true, sk, theme, x + w - S, y, S, h);
    float len = total <= 0 ? h : fmaxf(s->scrollbar_thumb_min, h * fminf(1, static_cast<float>(visible) / total));
    float den = static_cast<float>(total - visible);
    float off = den > 0 ? (h - len) * static_cast<float>(first) / den : 0;
    draw_thumb(0, sk, theme, x + w - S + p, y + off, S - 2 * p, len);
}

static void draw_cols_scrollbar(const N_GUI_STYLE *s, const N_GUI_THEME *theme, float x, float y, float view_w,
                                float content_w, float scroll) {
    const float S = s->scrollbar_size, p = s->scrollbar_thumb_padding;
    SbSkin sk = sb_skin(s);
    draw_track(false, sk, theme, x, y, view_w, S);
    float len = content_w <= 0 ? view_w : fmaxf(s->scrollbar_thumb_min, view_w * fminf(1, view_w / content_w));
    float den = content_w - view_w;
    float off = den > 0 ? (view_w - len) * scroll / den : 0;
    draw_thumb(0, sk, theme, x + off, y + p, len, S - 2 * p);
}

static void draw_widget_vscrollbar(const N_GUI_STYLE *s, const N_GUI_THEME *theme, float x, float y, float w,
                                   float view_h, float content_h, float scroll) {
    const float S = s->scrollbar_size, p = s->scrollbar_thumb_padding;
    SbSkin sk = sb_skin(s);
    draw_track(true, sk, theme, x + w - S, y, S, view_h);
    float len = content_h <= 0 ? view_h : fmaxf(s->scrollbar_thumb_min, view_h * fminf(1, view_h / content_h));
    float den = content_h - view_h;
    float off = den > 0 ? (view_h - len) * scroll / den : 0;
    draw_thumb(0, sk, theme, x + w - S + p, y + off, S - 2 * p, len);
}

/* ---- buttons, check boxes, sliders, scrollbars ---- */

static void draw_glyph(int glyph, ALLEGRO_COLOR stroke, ALLEGRO_COLOR fill, const N_GUI_STYLE *s, float X, float Y,
                       float W, float H) {
    const float g = fmaxf(2, 0.25f * fminf(W, H)), k = 0.8f * g, cx = X + W / 2, cy = Y + H / 2;
    const float t = fmaxf(_min_thickness(s->tb_btn_glyph_thickness), 0.42f * g);
    switch (glyph) {
    case 1: al_draw_filled_triangle(cx, cy - k, cx - g, cy + k, cx + g, cy + k, stroke); break;
    case 2: al_draw_filled_triangle(cx, cy + k, cx - g, cy - k, cx + g, cy - k, stroke); break;
    case 3: al_draw_filled_triangle(cx - k, cy, cx + k, cy - g, cx + k, cy + g, stroke); break;
    case 4: al_draw_filled_triangle(cx + k, cy, cx - k, cy - g, cx - k, cy + g, stroke); break;
    case 5:
        al_draw_line(cx - g, cy, cx + g, cy, stroke, t);
        al_draw_line(cx, cy - g, cx, cy + g, stroke, t);
        break;
    case 6: al_draw_line(cx - g, cy, cx + g, cy, stroke, t); break;
    case 7:
        al_draw_line(cx - g, cy - g, cx + g, cy + g, stroke, t);
        al_draw_line(cx + g, cy - g, cx - g, cy + g, stroke, t);
        break;
    case 8: {
        const float d = 0.9f * g;
        al_draw_rectangle(cx - g, cy - g, cx + g - d, cy + g - d, stroke, t);
        al_draw_filled_rectangle(cx - g + d, cy - g + d, cx + g, cy + g, fill);
        al_draw_rectangle(cx - g + d, cy - g + d, cx + g, cy + g, stroke, t);
        break;
    }
    default: break;
    }
}

static void draw_button(N_GUI_CTX *ctx, N_GUI_WIDGET *wgt, ALLEGRO_FONT *font, const N_GUI_STYLE *s, float X, float Y) {
    auto *bd = static_cast<N_GUI_BUTTON_DATA *>(wgt->data);
    int state = wgt->state;
    if (bd->toggle_mode && bd->toggled) state |= N_GUI_STATE_PRESSED;
    if (bd->flash_until > 0 && bd->flash_until > n_gui_get_time()) state |= N_GUI_STATE_PRESSED;
    const float W = wgt->w, H = wgt->h;
    if (bd->shape == N_GUI_SHAPE_BITMAP && bd->normal) {
        ALLEGRO_BITMAP *b = bd->normal;
        if ((state & N_GUI_STATE_PRESSED) && bd->active) b = bd->active;
        else if ((state & N_GUI_STATE_HOVER) && bd->hover) b = bd->hover;
        draw_bitmap_scaled(b, X, Y, W, H);
    } else {
        int rounded = s->shape_mode == 1 || (s->shape_mode != 0 && bd->shape == N_GUI_SHAPE_ROUNDED);
        _draw_themed_rect(&wgt->theme, state, rounded, X, Y, W, H);
    }
    if (bd->glyph >= 1 && bd->glyph <= N_GUI_GLYPH_MAX) {
        draw_glyph(bd->glyph, state_text(&wgt->theme, state), state_bg(&wgt->theme, state), s, X, Y, W, H);
        return;
    }
    ALLEGRO_FONT *f = wgt->font ? wgt->font : font;
    if (!f || !bd->label[0]) return;
    int bbx, bby, bbw, bbh;
    _text_dims(f, bd->label, &bbx, &bby, &bbw, &bbh);
    const float ty = Y + (H - bbh) / 2 - bby;
    ALLEGRO_COLOR c = state_text(&wgt->theme, state);
    if (bbw > W - 2 * s->label_padding) _draw_text_truncated(f, bd->label, c, X + s->label_padding, ty, W - 2 * s->label_padding);
    else al_draw_text(f, c, X + (W - bbw) / 2 - bbx, ty, 0, bd->label);
    (void)ctx;
}

static void draw_checkbox(N_GUI_WIDGET *wgt, ALLEGRO_FONT *font, const N_GUI_STYLE *s, float X, float Y) {
    auto *cd = static_cast<N_GUI_CHECKBOX_DATA *>(wgt->data);
    const float W = wgt->w, H = wgt->h, sz = fminf(H, s->checkbox_max_size), bx = X, by = Y + (H - sz) / 2;
    ALLEGRO_BITMAP *bmp = nullptr;
    if ((wgt->state & N_GUI_STATE_HOVER) && cd->hover_bmp) bmp = cd->hover_bmp;
    else if (cd->checked && cd->checked_bmp) bmp = cd->checked_bmp;
    else if (cd->unchecked_bmp) bmp = cd->unchecked_bmp;
    if (bmp) {
        draw_bitmap_scaled(bmp, bx, by, sz, sz);
    } else {
        if (s->shape_mode == 1) {
            N_GUI_THEME t = wgt->theme;
            t.corner_rx = fminf(0.25f * sz, t.corner_rx);
            t.corner_ry = fminf(0.25f * sz, t.corner_ry);
            _draw_themed_rect(&t, wgt->state, 1, bx, by, sz, sz);
        } else {
            _draw_themed_rect(&wgt->theme, wgt->state, 0, bx, by, sz, sz);
        }
        if (cd->checked) {
            const float m = s->checkbox_mark_margin, t = _min_thickness(s->checkbox_mark_thickness);
            al_draw_line(bx + m, by + sz / 2, bx + sz / 2, by + sz - m, wgt->theme.text_active, t);
            al_draw_line(bx + sz / 2, by + sz - m, bx + sz - m, by + m, wgt->theme.text_active, t);
        }
    }
    ALLEGRO_FONT *f = wgt->font ? wgt->font : font;
    if (!f || !cd->label[0]) return;
    int bbx, bby, bbw, bbh;
    _text_dims(f, cd->label, &bbx, &bby, &bbw, &bbh);
    _draw_text_truncated(f, cd->label, state_text(&wgt->theme, wgt->state), X + sz + s->checkbox_label_offset,
                         Y + (H - bbh) / 2 - bby, W - sz - s->checkbox_label_gap);
}

static void draw_slider(N_GUI_WIDGET *wgt, ALLEGRO_FONT *font, const N_GUI_STYLE *s, float X, float Y) {
    auto *sd = static_cast<N_GUI_SLIDER_DATA *>(wgt->data);
    const bool vertical = sd->orientation == N_GUI_VERTICAL;
    const float W = wgt->w, H = wgt->h, T = s->slider_track_size;
    const double span = sd->max - sd->min;
    const float f = span > 0 ? static_cast<float>((sd->value - sd->min) / span) : 0;
    float tx = X, ty = Y + (H - T) / 2, tw = W, th = T;
    if (vertical) tx = X + (W - T) / 2, ty = Y, tw = T, th = H;
    if (sd->track) {
        draw_bitmap_scaled(sd->track, tx, ty, tw, th);
    } else {
        al_draw_filled_rounded_rectangle(tx, ty, tx + tw, ty + th, s->slider_track_corner_r, s->slider_track_corner_r,
                                         wgt->theme.bg_normal);
        al_draw_rounded_rectangle(tx, ty, tx + tw, ty + th, s->slider_track_corner_r, s->slider_track_corner_r,
                                  wgt->theme.border_normal, _min_thickness(s->slider_track_border_thickness));
    }
    float r = fmaxf(s->slider_handle_min_r, (vertical ? W : H) / 2 - s->slider_handle_edge_offset);
    float L = (vertical ? H : W) - 2 * r;
    if (L < 0) L = 0, r = (vertical ? H : W) / 2;
    const float F = L * f + r;
    if (sd->fill) {
        if (vertical) draw_bitmap_scaled(sd->fill, tx, Y + H - F, tw, F);
        else draw_bitmap_scaled(sd->fill, tx, ty, F, th);
    } else if (vertical) {
        al_draw_filled_rounded_rectangle(tx, Y + H - F, tx + tw, Y + H, s->slider_track_corner_r, s->slider_track_corner_r,
                                         wgt->theme.bg_active);
    } else {
        al_draw_filled_rounded_rectangle(tx, ty, tx + F, ty + th, s->slider_track_corner_r, s->slider_track_corner_r,
                                         wgt->theme.bg_active);
    }
    const float hx = vertical ? X + W / 2 : X + F, hy = vertical ? Y + H - F : Y + H / 2;
    ALLEGRO_BITMAP *hb = sd->handle_normal;
    if ((wgt->state & N_GUI_STATE_PRESSED) && sd->handle_active) hb = sd->handle_active;
    else if ((wgt->state & N_GUI_STATE_HOVER) && sd->handle_hover) hb = sd->handle_hover;
    if (hb) {
        draw_bitmap_scaled(hb, hx - r, hy - r, 2 * r, 2 * r);
    } else {
        al_draw_filled_circle(hx, hy, r, state_bg(&wgt->theme, wgt->state));
        al_draw_circle(hx, hy, r, state_border(&wgt->theme, wgt->state), _min_thickness(s->slider_handle_border_thickness));
    }
    ALLEGRO_FONT *fnt = wgt->font ? wgt->font : font;
    if (!sd->show_value || !fnt) return;
    char text[N_GUI_SLIDER_FORMAT_MAX];
    _slider_value_text(sd, text, sd->value);
    int bbx, bby, bbw, bbh;
    _text_dims(fnt, text, &bbx, &bby, &bbw, &bbh);
    if (vertical) al_draw_text(fnt, wgt->theme.text_normal, X + (W - bbw) / 2 - bbx, Y + H + s->slider_value_label_offset, 0, text);
    else al_draw_text(fnt, wgt->theme.text_normal, X + W + s->slider_value_label_offset, Y + (H - bbh) / 2 - bby, 0, text);
}

static void draw_scrollbar(N_GUI_WIDGET *wgt, const N_GUI_STYLE *s, float X, float Y) {
    auto *sb = static_cast<N_GUI_SCROLLBAR_DATA *>(wgt->data);
    const bool vertical = sb->orientation == N_GUI_VERTICAL;
    const float A = vertical ? wgt->h : wgt->w;
    const float thumb = sb->content_size <= 0 ? A
                                              : fmaxf(s->scrollbar_thumb_min,
                                                      A * fminf(1, static_cast<float>(sb->view_size / sb->content_size)));
    const double den = sb->content_size - sb->view_size;
    const float off = den > 0 ? (A - thumb) * static_cast<float>(sb->position / den) : 0;
    SbSkin sk = sb_skin(s);
    if (!(s->shape_mode == 1 || (s->shape_mode != 0 && s->shape_mode != 1 && sb->shape == 1))) sk.corner = 0;
    if (sb->track) draw_bitmap_scaled(sb->track, X, Y, wgt->w, wgt->h);
    else draw_track(vertical, sk, &wgt->theme, X, Y, wgt->w, wgt->h);
    const float p = s->scrollbar_thumb_padding;
    float x = vertical ? X + p : X + off, y = vertical ? Y + off : Y + p;
    float w = vertical ? wgt->w - 2 * p : thumb, h = vertical ? thumb : wgt->h - 2 * p;
    ALLEGRO_BITMAP *tb = sb->thumb_normal;
    if ((wgt->state & N_GUI_STATE_PRESSED) && sb->thumb_active) tb = sb->thumb_active;
    else if ((wgt->state & N_GUI_STATE_HOVER) && sb->thumb_hover) tb = sb->thumb_hover;
    if (tb) draw_bitmap_scaled(tb, x, y, w, h);
    else draw_thumb(wgt->state, sk, &wgt->theme, x, y, w, h);
}

/* ---- labels and text areas ---- */

static float label_effective_w(const N_GUI_LABEL_DATA *ld, ALLEGRO_FONT *font, float w, float room, float wx, float pad) {
    if (room <= 0 || w >= room - wx) return w;
    if (ld->align == N_GUI_ALIGN_LEFT || ld->align == N_GUI_ALIGN_JUSTIFIED) return room - wx;
    float widest = 0;
    for (const char *p = ld->text;;) {
        const char *e = strchr(p, '\n');
        size_t n = e ? static_cast<size_t>(e - p) : strlen(p);
        widest = fmaxf(widest, _text_w_n(font, p, n));
        if (!e) break;
        p = e + 1;
    }
    return widest <= w - 2 * pad ? w : room - wx;
}

static void draw_label_overflow(ALLEGRO_FONT *font, int mode, const char *text, ALLEGRO_COLOR c, float x, float y,
                                float max_w) {
    if (mode == N_GUI_SHORTEN_END) {
        _draw_text_truncated(font, text, c, x, y, max_w);
        return;
    }
    char buf[N_GUI_TEXT_MAX];
    if (n_gui_text_shorten(font, text, mode, buf, sizeof buf, max_w) >= 0) al_draw_text(font, c, x, y, 0, buf);
}

static void draw_wrapped_label(N_GUI_LABEL_DATA *ld, N_GUI_WIDGET *wgt, ALLEGRO_FONT *font, const N_GUI_STYLE *s,
                               ALLEGRO_COLOR c, float X, float Y) {
    const float pad = s->label_padding, lh = static_cast<float>(al_get_font_line_height(font));
    float wrap = fmaxf(1, wgt->w - 2 * pad);
    const float content = _label_content_height(ld->text, font, wrap), visible = wgt->h - pad;
    float sbw = 0;
    if (content > visible) {
        ld->scroll_y = fminf(fmaxf(0, ld->scroll_y), content - visible);
        sbw = s->scrollbar_size;
        wrap = fmaxf(1, wrap - sbw);
    } else {
        ld->scroll_y = 0;
    }
    int cx, cy, cw, ch;
    al_get_clipping_rectangle(&cx, &cy, &cw, &ch);
    _set_clipping_rect_transformed(static_cast<int>(X), static_cast<int>(Y), static_cast<int>(wgt->w - sbw),
                                   static_cast<int>(wgt->h));
    N_GUI_WORDS words;
    N_GUI_LINES lines;
    const float top = Y + pad / 2 - ld->scroll_y;
    if (_split_words(ld->text, font, &words)) {
        if (words.count == 1 && words.newlines[0] == 0 && words.newlines[1] == 0) {
            _draw_text_truncated(font, ld->text + words.offset[0], c, X + pad, top, wrap);
        } else if (_wrap_words(&words, _text_w(font, " "), wrap, &lines)) {
            const float space = _text_w(font, " ");
            for (size_t l = 0; l < lines.count; l++) {
                const float ly = top + static_cast<float>(l) * lh;
                if (ly >= Y + wgt->h) break;
                const size_t a = lines.start[l], b = lines.start[l + 1];
                if (a >= b || ly + lh < Y) continue;
                float sum = 0;
                for (size_t i = a; i < b; i++) sum += words.width[i];
                const size_t n = b - a;
                float gap = space;
                if (!lines.para_end[l] && n > 1) gap = fmaxf(0, wrap - sum) / static_cast<float>(n - 1);
                float x = X + pad;
                for (size_t i = a; i < b; i++) {
                    char word[N_GUI_TEXT_MAX];
                    size_t len = n_gui_utf8_cut(ld->text + words.offset[i], words.length[i], sizeof word - 1);
                    memcpy(word, ld->text + words.offset[i], len);
                    word[len] = '\0';
                    if (n == 1 && words.width[i] > wrap) _draw_text_truncated(font, word, c, x, ly, wrap);
                    else al_draw_text(font, c, x, ly, 0, word);
                    x += words.width[i] + gap;
                }
            }
            _lines_free(&lines);
        }
        _words_free(&words);
    }
    al_set_clipping_rectangle(cx, cy, cw, ch);
    if (sbw > 0) draw_widget_vscrollbar(s, &wgt->theme, X, Y + pad / 2, wgt->w, visible, content, ld->scroll_y);
}

static void draw_label(N_GUI_WIDGET *wgt, ALLEGRO_FONT *font, const N_GUI_STYLE *s, float X, float Y, float room) {
    auto *ld = static_cast<N_GUI_LABEL_DATA *>(wgt->data);
    if (ld->bitmap) draw_bitmap_scaled(ld->bitmap, X, Y, wgt->w, wgt->h);
    ALLEGRO_FONT *f = wgt->font ? wgt->font : font;
    if (!f || !ld->text[0]) return;
    ALLEGRO_COLOR c = ld->link[0] ? ((wgt->state & N_GUI_STATE_HOVER) ? s->link_color_hover : s->link_color_normal)
                                  : state_text(&wgt->theme, wgt->state);
    if (ld->align == N_GUI_ALIGN_JUSTIFIED) {
        draw_wrapped_label(ld, wgt, f, s, c, X, Y);
        return;
    }
    const float pad = s->label_padding, E = label_effective_w(ld, f, wgt->w, room, wgt->x, pad);
    if (!strchr(ld->text, '\n')) {
        int bbx, bby, bbw, bbh;
        _text_dims(f, ld->text, &bbx, &bby, &bbw, &bbh);
        const float ty = Y + (wgt->h - bbh) / 2 - bby;
        float tx;
        if (bbw > E - 2 * pad) {
            tx = X + pad;
            draw_label_overflow(f, ld->truncate, ld->text, c, tx, ty, E - 2 * pad);
        } else {
            if (ld->align == N_GUI_ALIGN_CENTER) tx = X + (E - bbw) / 2 - bbx;
            else if (ld->align == N_GUI_ALIGN_RIGHT) tx = X + E - bbw - pad - bbx;
            else tx = X + pad;
            al_draw_text(f, c, tx, ty, 0, ld->text);
        }
        if (ld->link[0] && (wgt->state & N_GUI_STATE_HOVER))
            al_draw_line(tx, Y + bbh, tx + fminf(static_cast<float>(bbw), E - 2 * pad), Y + bbh, c,
                         _min_thickness(s->link_underline_thickness));
        return;
    }
    const float lh = static_cast<float>(al_get_font_line_height(f));
    int n = 1;
    for (const char *p = ld->text; *p; p++) n += *p == '\n';
    const float top = fmaxf(Y, Y + (wgt->h - static_cast<float>(n) * lh) / 2);
    int cx, cy, cw, ch;
    al_get_clipping_rectangle(&cx, &cy, &cw, &ch);
    _set_clipping_rect_transformed(static_cast<int>(X), static_cast<int>(Y), static_cast<int>(E), static_cast<int>(wgt->h));
    const char *p = ld->text;
    for (int i = 0; i < n; i++) {
        const char *e = strchr(p, '\n');
        size_t len = e ? static_cast<size_t>(e - p) : strlen(p);
        char line[N_GUI_TEXT_MAX];
        memcpy(line, p, len);
        if (len > 0 && line[len - 1] == '\r') len--;
        line[len] = '\0';
        const float ly = top + static_cast<float>(i) * lh, lw = _text_w(f, line);
        if (lw > E - 2 * pad) draw_label_overflow(f, ld->truncate, line, c, X + pad, ly, E - 2 * pad);
        else if (ld->align == N_GUI_ALIGN_CENTER) al_draw_text(f, c, X + (E - lw) / 2, ly, 0, line);
        else if (ld->align == N_GUI_ALIGN_RIGHT) al_draw_text(f, c, X + E - lw - pad, ly, 0, line);
        else al_draw_text(f, c, X + pad, ly, 0, line);
        if (!e) break;
        p = e + 1;
    }
    al_set_clipping_rectangle(cx, cy, cw, ch);
}

// The text a single-line area shows: a masked one shows one mask glyph per
// character, so its length never tells the password's byte count.
static size_t shown_text(const N_GUI_TEXTAREA_DATA *td, char *buf, size_t size) {
    if (!td->mask_char) {
        size_t n = td->length < size - 1 ? td->length : size - 1;
        memcpy(buf, td->text, n);
        buf[n] = '\0';
        return n;
    }
    char glyph[8];
    const size_t gl = al_utf8_encode(glyph, static_cast<int32_t>(td->mask_char));
    size_t n = 0;
    for (size_t off = 0; off < td->length && n + gl < size; off += n_gui_utf8_step(static_cast<unsigned char>(td->text[off]))) {
        memcpy(buf + n, glyph, gl);
        n += gl;
    }
    buf[n] = '\0';
    return n;
}

// An empty area shows its placeholder fainter than typed text, halfway
// towards the background, but never so faint that it cannot be read: it
// tells the user what to type.
static void draw_placeholder(const N_GUI_TEXTAREA_DATA *td, const N_GUI_WIDGET *wgt, ALLEGRO_FONT *f, ALLEGRO_COLOR bg,
                             float x, float y) {
    if (td->length != 0 || !td->placeholder || !td->placeholder[0]) return;
    const ALLEGRO_COLOR ink = wgt->theme.text_normal;
    const ALLEGRO_COLOR half{(ink.r + bg.r) / 2, (ink.g + bg.g) / 2, (ink.b + bg.b) / 2, 1};
    al_draw_text(f, ngui_readable(half, ink, bg), x, y, 0, td->placeholder);
}

static void draw_textarea(N_GUI_WIDGET *wgt, ALLEGRO_FONT *font, const N_GUI_STYLE *s, float X, float Y) {
    auto *td = static_cast<N_GUI_TEXTAREA_DATA *>(wgt->data);
    const bool focused = wgt->state & N_GUI_STATE_FOCUSED;
    const float W = wgt->w, H = wgt->h, pad = s->textarea_padding;
    const float t = _min_thickness(wgt->theme.border_thickness);
    const ALLEGRO_COLOR bg = td->bitmap ? wgt->theme.bg_normal
                             : focused  ? wgt->theme.bg_active
                                        : ((wgt->state & N_GUI_STATE_HOVER) ? wgt->theme.bg_hover : wgt->theme.bg_normal);
    if (td->bitmap) {
        draw_bitmap_scaled(td->bitmap, X, Y, W, H);
    } else {
        if (s->shape_mode == 1) al_draw_filled_rounded_rectangle(X, Y, X + W, Y + H, wgt->theme.corner_rx, wgt->theme.corner_ry, bg);
        else al_draw_filled_rectangle(X, Y, X + W, Y + H, bg);
    }
    ALLEGRO_COLOR border = focused ? wgt->theme.border_active
                                   : ((wgt->state & N_GUI_STATE_HOVER) ? wgt->theme.border_hover : wgt->theme.border_normal);
    if (s->shape_mode == 1)
        al_draw_rounded_rectangle(X + t / 2, Y + t / 2, X + W - t / 2, Y + H - t / 2, wgt->theme.corner_rx,
                                  wgt->theme.corner_ry, border, t);
    else al_draw_rectangle(X, Y, X + W, Y + H, border, t);
    ALLEGRO_FONT *f = wgt->font ? wgt->font : font;
    if (!f) return;
    const float lh = static_cast<float>(al_get_font_line_height(f));
    const double period = s->textarea_cursor_blink_period > 0 ? s->textarea_cursor_blink_period : 1.0;
    const bool caret = focused && fmod(n_gui_get_time() - td->last_edit, period) < period / 2;
    const float cw = _min_thickness(s->textarea_cursor_width);
    int cx, cy, ccw, cch;
    al_get_clipping_rectangle(&cx, &cy, &ccw, &cch);
    if (!td->multiline) {
        static char shown[4 * N_GUI_TEXT_MAX + 8];
        size_t n = shown_text(td, shown, sizeof shown);
        // caret x: the shown text up to the caret's character
        size_t chars = 0, caret_bytes = 0;
        for (size_t off = 0; off < td->cursor && off < td->length; off += n_gui_utf8_step(static_cast<unsigned char>(td->text[off]))) chars++;
        if (td->mask_char) {
            char glyph[8];
            size_t gl = al_utf8_encode(glyph, static_cast<int32_t>(td->mask_char));
            caret_bytes = chars * gl;
        } else {
            caret_bytes = td->cursor;
        }
        if (caret_bytes > n) caret_bytes = n;
        const bool secret = ngui_textarea_secret(td);
        const float caret_x = secret ? _text_w_nocache(f, shown, caret_bytes) : _text_w_n(f, shown, caret_bytes);
        if (!focused) td->scroll_x = 0;
        else {
            const float span = W - 2 * pad - cw;
            if (caret_x - td->scroll_x > span) td->scroll_x = caret_x - span;
            if (caret_x - td->scroll_x < 0) td->scroll_x = caret_x;
            if (td->scroll_x < 0) td->scroll_x = 0;
        }
        _set_clipping_rect_transformed(static_cast<int>(X + pad), static_cast<int>(Y), static_cast<int>(W - 2 * pad),
                                       static_cast<int>(H));
        const float ty = Y + (H - lh) / 2, tx = X + pad - td->scroll_x;
        draw_placeholder(td, wgt, f, bg, X + pad, ty);
        if (n) al_draw_text(f, wgt->theme.text_normal, tx, ty, 0, shown);
        if (caret) al_draw_filled_rectangle(tx + caret_x, ty, tx + caret_x + cw, ty + lh, wgt->theme.text_active);
        if (secret) OPENSSL_cleanse(shown, n);  // a revealed password is drawn: not kept
        al_set_clipping_rectangle(cx, cy, ccw, cch);
        return;
    }
    // multi-line: laid out a character at a time, drawn in runs per line
    const float view = H - 2 * pad;
    float width = W, content = _textarea_content_height(td, f, width, pad);
    const bool bar = content > view;
    if (bar) width -= s->scrollbar_size, content = _textarea_content_height(td, f, width, pad);
    const float top_max = content - view > 0 ? content - view : 0;
    if (td->scroll_y < 0) td->scroll_y = 0;
    if (td->scroll_y > top_max) td->scroll_y = static_cast<int>(top_max);
    _set_clipping_rect_transformed(static_cast<int>(X), static_cast<int>(Y), static_cast<int>(width), static_cast<int>(H));
    const float wrap = width - 2 * pad, ox = X + pad, oy = Y + pad - static_cast<float>(td->scroll_y);
    draw_placeholder(td, wgt, f, bg, ox, oy);
    char run[256];
    size_t rn = 0;
    float pen = 0, line_y = oy, run_x = 0;
    auto flush = [&]() {
        if (rn == 0) return;
        run[rn] = '\0';
        if (line_y + lh >= Y && line_y <= Y + H) al_draw_text(f, wgt->theme.text_normal, ox + run_x, line_y, 0, run);
        rn = 0;
    };
    for (size_t off = 0; off <= td->length;) {
        if (caret && off == td->cursor) al_draw_filled_rectangle(ox + pen, line_y, ox + pen + cw, line_y + lh, wgt->theme.text_active);
        if (off == td->length) break;
        N_GUI_TEXT_STEP st = _textarea_step(td->text, td->length, off, f, pen, wrap, 0, ngui_textarea_secret(td));
        if (st.newline || st.wraps) {
            flush();
            line_y += lh;
            pen = 0;
            if (st.newline) {
                off += st.bytes;
                run_x = 0;
                continue;
            }
        }
        if (rn == 0) run_x = pen;
        if (rn + st.bytes > 254) {
            flush();
            run_x = pen;
        }
        memcpy(run + rn, td->text + off, st.bytes);
        rn += st.bytes;
        pen += st.width;
        off += st.bytes;
    }
    flush();
    al_set_clipping_rectangle(cx, cy, ccw, cch);
    if (bar) draw_widget_vscrollbar(s, &wgt->theme, X, Y, W, H, content + 2 * pad, static_cast<float>(td->scroll_y));
}

/* ---- lists ---- */

static float list_item_h(float item_h, ALLEGRO_FONT *f, const N_GUI_STYLE *s) {
    const float lh = f ? static_cast<float>(al_get_font_line_height(f)) : 16;
    return item_h > lh ? item_h : lh + s->item_height_pad;
}

static void draw_listbox(N_GUI_WIDGET *wgt, ALLEGRO_FONT *font, const N_GUI_STYLE *s, float X, float Y) {
    auto *ld = static_cast<N_GUI_LISTBOX_DATA *>(wgt->data);
    ALLEGRO_FONT *f = wgt->font ? wgt->font : font;
    if (ld->bg_bmp) draw_bitmap_scaled(ld->bg_bmp, X, Y, wgt->w, wgt->h);
    else al_draw_filled_rectangle(X, Y, X + wgt->w, Y + wgt->h, wgt->theme.bg_normal);
    const float ih = list_item_h(ld->item_height, f, s);
    float content_w = 0, view_w = 0;
    int hbar = 0, rows = 0;
    _listbox_hmetrics(wgt, ld, f, s, &content_w, &view_w, &hbar, &rows);
    ld->h_scroll = fminf(fmaxf(0, ld->h_scroll), fmaxf(0, content_w - view_w));
    ld->scroll_offset = clamp_first(ld->scroll_offset, ld->count, rows);
    const bool vbar = rows < ld->count;
    const float rw = wgt->w - (vbar ? s->scrollbar_size : 0), rows_h = wgt->h - (hbar ? s->scrollbar_size : 0);
    const float inset = s->item_selection_inset;
    for (int r = 0; r < rows + 1 && ld->scroll_offset + r < ld->count; r++) {
        const int i = ld->scroll_offset + r;
        const float ry = Y + static_cast<float>(r) * ih;
        if (ry >= Y + rows_h) break;
        if (ld->items[i].selected) {
            if (ld->selected_bmp) draw_bitmap_scaled(ld->selected_bmp, X + inset, ry, rw - 2 * inset, ih);
            else al_draw_filled_rectangle(X + inset, ry, X + rw - inset, ry + ih, wgt->theme.bg_active);
        } else if (i == ld->hovered) {
            al_draw_filled_rectangle(X + inset, ry, X + rw - inset, ry + ih, wgt->theme.bg_hover);
        } else if (ld->item_bmp) {
            draw_bitmap_scaled(ld->item_bmp, X + inset, ry, rw - 2 * inset, ih);
        }
    }
    if (f) {
        const float lh = static_cast<float>(al_get_font_line_height(f));
        int cx, cy, cw, ch;
        al_get_clipping_rectangle(&cx, &cy, &cw, &ch);
        _set_clipping_rect_transformed(static_cast<int>(X), static_cast<int>(Y), static_cast<int>(rw), static_cast<int>(rows_h));
        al_hold_bitmap_drawing(true);
        for (int r = 0; r < rows + 1 && ld->scroll_offset + r < ld->count; r++) {
            const int i = ld->scroll_offset + r;
            const float ry = Y + static_cast<float>(r) * ih + (ih - lh) / 2;
            ALLEGRO_COLOR c = ld->items[i].selected ? wgt->theme.text_active : wgt->theme.text_normal;
            if (hbar) al_draw_text(f, c, X + s->item_text_padding - ld->h_scroll, ry, 0, ld->items[i].text);
            else _draw_text_truncated(f, ld->items[i].text, c, X + s->item_text_padding, ry, rw - 2 * s->item_text_padding);
        }
        al_hold_bitmap_drawing(false);
        al_set_clipping_rectangle(cx, cy, cw, ch);
    }
    if (vbar) draw_rows_scrollbar(ld->count, rows, ld->scroll_offset, s, &wgt->theme, X, Y, wgt->w, rows_h);
    if (hbar) draw_cols_scrollbar(s, &wgt->theme, X, Y + wgt->h - s->scrollbar_size, view_w, content_w, ld->h_scroll);
    al_draw_rectangle(X, Y, X + wgt->w, Y + wgt->h, wgt->theme.border_normal, wgt->theme.border_thickness);
}

static void draw_radiolist(N_GUI_WIDGET *wgt, ALLEGRO_FONT *font, const N_GUI_STYLE *s, float X, float Y) {
    auto *rd = static_cast<N_GUI_RADIOLIST_DATA *>(wgt->data);
    ALLEGRO_FONT *f = wgt->font ? wgt->font : font;
    const bool hover = wgt->state & N_GUI_STATE_HOVER;
    if (rd->bg_bmp) draw_bitmap_scaled(rd->bg_bmp, X, Y, wgt->w, wgt->h);
    else al_draw_filled_rectangle(X, Y, X + wgt->w, Y + wgt->h, hover ? wgt->theme.bg_hover : wgt->theme.bg_normal);
    al_draw_rectangle(X, Y, X + wgt->w, Y + wgt->h, hover ? wgt->theme.border_hover : wgt->theme.border_normal,
                      wgt->theme.border_thickness);
    const float ih = list_item_h(rd->item_height, f, s);
    const float rr = fmaxf(s->radio_circle_min_r, (ih - 2 * s->item_height_pad) / 2);
    int rows = ngui_rows(wgt->h, ih);
    rd->scroll_offset = clamp_first(rd->scroll_offset, rd->count, rows);
    const float lh = f ? static_cast<float>(al_get_font_line_height(f)) : 16;
    for (int r = 0; r < rows && rd->scroll_offset + r < rd->count; r++) {
        const int i = rd->scroll_offset + r;
        const float ry = Y + static_cast<float>(r) * ih, mid = ry + ih / 2;
        ALLEGRO_BITMAP *b = i == rd->selected ? rd->selected_bmp : rd->item_bmp;
        if (b) draw_bitmap_scaled(b, X, ry, wgt->w, ih);
        const float ccx = X + s->radio_label_gap + rr;
        al_draw_circle(ccx, mid, rr, wgt->theme.border_normal, _min_thickness(s->radio_circle_border_thickness));
        if (i == rd->selected) al_draw_filled_circle(ccx, mid, rr - s->radio_inner_offset, wgt->theme.text_active);
        if (f) {
            const float tx = X + 2 * (s->radio_label_gap + rr);
            _draw_text_truncated(f, rd->items[i].text, wgt->theme.text_normal, tx, ry + (ih - lh) / 2,
                                 wgt->w - (tx - X) - (rows < rd->count ? s->scrollbar_size : 0) - s->item_text_padding);
        }
    }
    if (rows < rd->count) draw_rows_scrollbar(rd->count, rows, rd->scroll_offset, s, &wgt->theme, X, Y, wgt->w, wgt->h);
}

static void draw_arrow(const N_GUI_STYLE *s, ALLEGRO_COLOR c, float X, float Y, float W, float H, bool up) {
    const float left = X + W - s->dropdown_arrow_reserve, mid = Y + H / 2, hw = s->dropdown_arrow_half_w;
    const float hh = up ? -s->dropdown_arrow_half_h : s->dropdown_arrow_half_h;
    const float t = _min_thickness(s->dropdown_arrow_thickness);
    al_draw_line(left, mid - hh, left + hw, mid + hh, c, t);
    al_draw_line(left + hw, mid + hh, left + 2 * hw, mid - hh, c, t);
}

static void draw_combo_text(ALLEGRO_FONT *f, const char *text, ALLEGRO_COLOR c, const N_GUI_STYLE *s, float X, float Y,
                            float W, float H) {
    if (!f) return;
    int bbx, bby, bbw, bbh;
    _text_dims(f, text && text[0] ? text : "Ay", &bbx, &bby, &bbw, &bbh);
    if (!text || !text[0]) return;
    _draw_text_truncated(f, text, c, X + s->item_text_padding, Y + (H - bbh) / 2 - bby,
                         W - s->item_text_padding - s->dropdown_arrow_reserve);
}

static void draw_combobox(N_GUI_WIDGET *wgt, ALLEGRO_FONT *font, const N_GUI_STYLE *s, float X, float Y) {
    auto *cd = static_cast<N_GUI_COMBOBOX_DATA *>(wgt->data);
    if (cd->bg_bmp) draw_bitmap_scaled(cd->bg_bmp, X, Y, wgt->w, wgt->h);
    else _draw_themed_rect(&wgt->theme, wgt->state, s->shape_mode == 1, X, Y, wgt->w, wgt->h);
    const char *text = cd->selected >= 0 && cd->selected < cd->count ? cd->items[cd->selected].text : nullptr;
    draw_combo_text(wgt->font ? wgt->font : font, text, state_text(&wgt->theme, wgt->state), s, X, Y, wgt->w, wgt->h);
    draw_arrow(s, wgt->theme.text_normal, X, Y, wgt->w, wgt->h, false);
}

static void draw_dropmenu(N_GUI_WIDGET *wgt, ALLEGRO_FONT *font, const N_GUI_STYLE *s, float X, float Y) {
    auto *dd = static_cast<N_GUI_DROPMENU_DATA *>(wgt->data);
    const int state = wgt->state | (dd->is_open ? N_GUI_STATE_PRESSED : 0);
    _draw_themed_rect(&wgt->theme, state, s->shape_mode != 0, X, Y, wgt->w, wgt->h);
    draw_combo_text(wgt->font ? wgt->font : font, dd->label, state_text(&wgt->theme, state), s, X, Y, wgt->w, wgt->h);
    draw_arrow(s, wgt->theme.text_normal, X, Y, wgt->w, wgt->h, dd->is_open);
}

/* ---- other kinds ---- */

static void draw_splitpane(N_GUI_WIDGET *wgt, float X, float Y) {
    auto *sd = static_cast<N_GUI_SPLITPANE_DATA *>(wgt->data);
    const float d = sd->divider;
    ALLEGRO_COLOR grip = (wgt->state & (N_GUI_STATE_HOVER | N_GUI_STATE_PRESSED)) ? wgt->theme.border_active : wgt->theme.border_normal;
    if (sd->orientation == N_GUI_VERTICAL) {
        const float by = Y + sd->ratio * wgt->h - d / 2;
        al_draw_filled_rectangle(X, by, X + wgt->w, by + d, wgt->theme.bg_normal);
        al_draw_line(X + wgt->w / 2 - 1.5f * d, by + d / 2, X + wgt->w / 2 + 1.5f * d, by + d / 2, grip, 2);
    } else {
        const float bx = X + sd->ratio * wgt->w - d / 2;
        al_draw_filled_rectangle(bx, Y, bx + d, Y + wgt->h, wgt->theme.bg_normal);
        al_draw_line(bx + d / 2, Y + wgt->h / 2 - 1.5f * d, bx + d / 2, Y + wgt->h / 2 + 1.5f * d, grip, 2);
    }
}

static void draw_progressbar(N_GUI_WIDGET *wgt, ALLEGRO_FONT *font, float X, float Y) {
    auto *pd = static_cast<N_GUI_PROGRESSBAR_DATA *>(wgt->data);
    const float W = wgt->w, H = wgt->h;
    al_draw_filled_rounded_rectangle(X, Y, X + W, Y + H, 3, 3, wgt->theme.bg_normal);
    if (pd->value * W > 0) al_draw_filled_rounded_rectangle(X, Y, X + fmaxf(1, pd->value * W), Y + H, 3, 3, wgt->theme.bg_active);
    al_draw_rounded_rectangle(X, Y, X + W, Y + H, 3, 3, wgt->theme.border_normal, 1);
    ALLEGRO_FONT *f = wgt->font ? wgt->font : font;
    if (f && pd->text[0])
        al_draw_text(f, wgt->theme.text_normal, X + W / 2, Y + (H - static_cast<float>(al_get_font_line_height(f))) / 2,
                     ALLEGRO_ALIGN_CENTRE, pd->text);
}

static void draw_hexview(N_GUI_WIDGET *wgt, ALLEGRO_FONT *font, const N_GUI_STYLE *s, float X, float Y) {
    auto *hd = static_cast<N_GUI_HEXVIEW_DATA *>(wgt->data);
    ALLEGRO_FONT *f = wgt->font ? wgt->font : font;
    const float lh = f ? static_cast<float>(al_get_font_line_height(f)) : 16, pitch = lh + 2, p = s->textarea_padding;
    al_draw_filled_rectangle(X, Y, X + wgt->w, Y + wgt->h, wgt->theme.bg_normal);
    al_draw_rectangle(X, Y, X + wgt->w, Y + wgt->h, wgt->theme.border_normal, _min_thickness(wgt->theme.border_thickness));
    const int bpr = hd->bytes_per_row > 0 ? hd->bytes_per_row : 16;
    const int total = static_cast<int>((hd->length + static_cast<size_t>(bpr) - 1) / static_cast<size_t>(bpr));
    int visible = ngui_rows(wgt->h - 2 * p, pitch);
    if (visible < 1) visible = 1;
    const bool bar = visible < total;
    hd->scroll_offset = clamp_first(hd->scroll_offset, total, visible);
    if (f) {
        int cx, cy, cw, ch;
        al_get_clipping_rectangle(&cx, &cy, &cw, &ch);
        _set_clipping_rect_transformed(static_cast<int>(X), static_cast<int>(Y),
                                       static_cast<int>(wgt->w - (bar ? s->scrollbar_size : 0)), static_cast<int>(wgt->h));
        for (int r = 0; r < visible; r++) {
            const size_t o = static_cast<size_t>(hd->scroll_offset + r) * static_cast<size_t>(bpr);
            if (o >= hd->length) break;
            char line[256];
            int n = snprintf(line, sizeof line, "%08lX  ", static_cast<unsigned long>(o));
            char chars[80];
            int cn = 0;
            for (int b = 0; b < bpr && n < 200; b++) {
                if (o + static_cast<size_t>(b) < hd->length) {
                    unsigned char v = hd->data[o + static_cast<size_t>(b)];
                    n += snprintf(line + n, sizeof line - static_cast<size_t>(n), "%02X ", v);
                    if (cn < 79) chars[cn++] = v >= 32 && v <= 126 ? static_cast<char>(v) : '.';
                } else {
                    n += snprintf(line + n, sizeof line - static_cast<size_t>(n), "   ");
                }
            }
            chars[cn] = '\0';
            snprintf(line + n, sizeof line - static_cast<size_t>(n), " |%s|", chars);
            al_draw_text(f, wgt->theme.text_normal, X + p, Y + p + static_cast<float>(r) * pitch, 0, line);
        }
        al_set_clipping_rectangle(cx, cy, cw, ch);
    }
    if (bar) draw_rows_scrollbar(total, visible, hd->scroll_offset, s, &wgt->theme, X, Y, wgt->w, wgt->h);
}

static void draw_syntaxview(N_GUI_CTX *ctx, N_GUI_WIDGET *wgt, ALLEGRO_FONT *font, const N_GUI_STYLE *s, float X, float Y) {
    auto *yd = static_cast<N_GUI_SYNTAXVIEW_DATA *>(wgt->data);
    ALLEGRO_FONT *f = wgt->font ? wgt->font : font;
    float cw = 0, vw = 0;
    int hbar = 0, rows = 1;
    _syntaxview_hmetrics(wgt, yd, f, s, &cw, &vw, &hbar, &rows);
    yd->h_scroll = fminf(fmaxf(0, yd->h_scroll), fmaxf(0, cw - vw));
    yd->scroll_offset = clamp_first(yd->scroll_offset, yd->line_count, rows);
    const bool vbar = rows < yd->line_count;
    al_draw_filled_rectangle(X, Y, X + wgt->w, Y + wgt->h, wgt->theme.bg_normal);
    al_draw_rectangle(X, Y, X + wgt->w, Y + wgt->h, wgt->theme.border_normal, _min_thickness(wgt->theme.border_thickness));
    const float sb = s->scrollbar_size, p = s->textarea_padding;
    if (f && yd->text) {
        const float pitch = static_cast<float>(al_get_font_line_height(f)) + 2;
        int cx, cy, ccw, cch;
        al_get_clipping_rectangle(&cx, &cy, &ccw, &cch);
        _set_clipping_rect_transformed(static_cast<int>(X), static_cast<int>(Y), static_cast<int>(wgt->w - (vbar ? sb : 0)),
                                       static_cast<int>(wgt->h - (hbar ? sb : 0)));
        al_hold_bitmap_drawing(true);
        const char *line = yd->text;
        int index = 0;
        for (size_t i = 0; i <= yd->length; i++) {
            if (i < yd->length && yd->text[i] != '\n') continue;
            size_t n = static_cast<size_t>(yd->text + i - line);
            if (n > 0 && line[n - 1] == '\r') n--;
            const int r = index - yd->scroll_offset;
            if (r >= rows) break;
            if (r >= 0 && n > 0) {
                ALLEGRO_USTR_INFO info;
                al_draw_ustr(f, wgt->theme.text_normal, X + p - yd->h_scroll, Y + p + static_cast<float>(r) * pitch, 0,
                             al_ref_buffer(&info, line, n));
            }
            index++;
            line = yd->text + i + 1;
        }
        al_hold_bitmap_drawing(false);
        al_set_clipping_rectangle(cx, cy, ccw, cch);
    }
    if (vbar) draw_rows_scrollbar(yd->line_count, rows, yd->scroll_offset, s, &wgt->theme, X, Y, wgt->w, wgt->h - (hbar ? sb : 0));
    if (hbar) draw_cols_scrollbar(s, &wgt->theme, X, Y + wgt->h - sb, vw, cw, yd->h_scroll);
    (void)ctx;
}

static void draw_datagrid(N_GUI_WIDGET *wgt, ALLEGRO_FONT *font, const N_GUI_STYLE *s, float X, float Y) {
    auto *gd = static_cast<N_GUI_DATAGRID_DATA *>(wgt->data);
    ALLEGRO_FONT *f = wgt->font ? wgt->font : font;
    const float lh = f ? static_cast<float>(al_get_font_line_height(f)) : 16, rh = lh + s->item_height_pad;
    al_draw_filled_rectangle(X, Y, X + wgt->w, Y + wgt->h, wgt->theme.bg_normal);
    al_draw_filled_rectangle(X, Y, X + wgt->w, Y + rh, wgt->theme.bg_active);
    int visible = ngui_rows(wgt->h - rh, rh);
    if (visible < 1) visible = 1;
    const bool vbar = visible < gd->row_count;
    const float vbw = vbar ? s->scrollbar_size : 0;
    float x = X - gd->h_scroll;
    if (f) {
        int cx, cy, cw, ch;
        al_get_clipping_rectangle(&cx, &cy, &cw, &ch);
        _set_clipping_rect_transformed(static_cast<int>(X), static_cast<int>(Y), static_cast<int>(wgt->w - vbw), static_cast<int>(wgt->h));
        for (int pos = 0; pos < gd->col_count; pos++) {
            const int c = gd->order ? gd->order[pos] : pos;
            if (c < 0 || c >= gd->col_count || !gd->columns[c].visible) continue;
            char title[132];
            snprintf(title, sizeof title, "%s%s", gd->columns[c].title,
                     c == gd->sort_col ? (gd->sort_dir < 0 ? " v" : " ^") : "");
            _draw_text_truncated(f, title, wgt->theme.text_active, x + s->item_text_padding, Y + (rh - lh) / 2,
                                 gd->columns[c].width - s->item_text_padding);
            for (int r = 0; r < visible && gd->scroll_offset + r < gd->row_count; r++) {
                const char *cell = gd->cells ? gd->cells[(gd->scroll_offset + r) * gd->col_count + c] : nullptr;
                if (cell) _draw_text_truncated(f, cell, wgt->theme.text_normal, x + s->item_text_padding,
                                               Y + rh * static_cast<float>(r + 1) + (rh - lh) / 2,
                                               gd->columns[c].width - s->item_text_padding);
            }
            x += gd->columns[c].width;
        }
        al_set_clipping_rectangle(cx, cy, cw, ch);
    }
    al_draw_line(X, Y + rh, X + wgt->w - vbw, Y + rh, wgt->theme.border_normal, 1);
    al_draw_rectangle(X, Y, X + wgt->w, Y + wgt->h,
                      (wgt->state & N_GUI_STATE_FOCUSED) ? wgt->theme.border_active : wgt->theme.border_normal,
                      _min_thickness(wgt->theme.border_thickness));
    if (vbar) draw_rows_scrollbar(gd->row_count, visible, gd->scroll_offset, s, &wgt->theme, X, Y + rh, wgt->w, wgt->h - rh);
}

static void draw_widget(N_GUI_CTX *ctx, N_GUI_WIDGET *wgt, ALLEGRO_FONT *font, const N_GUI_STYLE *s, float X, float Y,
                        float room) {
    switch (wgt->kind) {
    case N_GUI_TYPE_BUTTON: draw_button(ctx, wgt, font, s, X, Y); break;
    case N_GUI_TYPE_SLIDER: draw_slider(wgt, font, s, X, Y); break;
    case N_GUI_TYPE_TEXTAREA: draw_textarea(wgt, font, s, X, Y); break;
    case N_GUI_TYPE_CHECKBOX: draw_checkbox(wgt, font, s, X, Y); break;
    case N_GUI_TYPE_SCROLLBAR: draw_scrollbar(wgt, s, X, Y); break;
    case N_GUI_TYPE_LISTBOX: draw_listbox(wgt, font, s, X, Y); break;
    case N_GUI_TYPE_RADIOLIST: draw_radiolist(wgt, font, s, X, Y); break;
    case N_GUI_TYPE_COMBOBOX: draw_combobox(wgt, font, s, X, Y); break;
    case N_GUI_TYPE_IMAGE: {
        auto *imd = static_cast<N_GUI_IMAGE_DATA *>(wgt->data);
        al_draw_rectangle(X, Y, X + wgt->w, Y + wgt->h, wgt->theme.border_normal, wgt->theme.border_thickness);
        draw_bitmap_mode(imd->bitmap, imd->fit_mode, X, Y, wgt->w, wgt->h);
        break;
    }
    case N_GUI_TYPE_LABEL: draw_label(wgt, font, s, X, Y, room); break;
    case N_GUI_TYPE_DROPMENU: draw_dropmenu(wgt, font, s, X, Y); break;
    case N_GUI_TYPE_SPLITPANE: draw_splitpane(wgt, X, Y); break;
    case N_GUI_TYPE_HEXVIEW: draw_hexview(wgt, font, s, X, Y); break;
    case N_GUI_TYPE_SYNTAXVIEW: draw_syntaxview(ctx, wgt, font, s, X, Y); break;
    case N_GUI_TYPE_DATAGRID: draw_datagrid(wgt, font, s, X, Y); break;
    case N_GUI_TYPE_PROGRESSBAR: draw_progressbar(wgt, font, X, Y); break;
    case N_GUI_TYPE_CUSTOM: {
        auto *cd = static_cast<N_GUI_CUSTOM_DATA *>(wgt->data);
        if (cd->draw) cd->draw(wgt, wgt->font ? wgt->font : font, cd->user_data, X, Y);
        break;
    }
    case N_GUI_TYPE_MARKDOWNVIEW:
        // the text itself comes with the markdown engine; an empty view is its frame
        _draw_themed_rect(&wgt->theme, 0, s->shape_mode == 1, X, Y, wgt->w, wgt->h);
        break;
    default: break;
    }
}

static bool has_focus_ring(int kind) {
    switch (kind) {
    case N_GUI_TYPE_BUTTON:
    case N_GUI_TYPE_SLIDER:
    case N_GUI_TYPE_CHECKBOX:
    case N_GUI_TYPE_SCROLLBAR:
    case N_GUI_TYPE_LISTBOX:
    case N_GUI_TYPE_RADIOLIST:
    case N_GUI_TYPE_COMBOBOX:
    case N_GUI_TYPE_DROPMENU:
    case N_GUI_TYPE_DATAGRID:
    case N_GUI_TYPE_MARKDOWNVIEW: return true;
    default: return false;
    }
}

/* ---- windows ---- */

static void draw_tb_button(const N_GUI_WINDOW *win, int button, const N_GUI_STYLE *s, float b) {
    const float tbh = win->titlebar_h;
    const bool close = win->flags & N_GUI_WIN_BTN_CLOSE, max = win->flags & N_GUI_WIN_BTN_MAXIMISE;
    int slot = button == N_GUI_TB_CLOSE ? 0 : (button == N_GUI_TB_MAXIMISE ? (close ? 1 : 0) : (close ? 1 : 0) + (max ? 1 : 0));
    const float x = win->x + win->w - s->tb_btn_right_margin - b - (s->tb_btn_spacing + b) * static_cast<float>(slot);
    const float y = win->y + (tbh - b) / 2;
    const int st = win->tb_pressed == button ? 2 : (win->tb_hover == button ? 1 : 0);
    ALLEGRO_BITMAP *bmp = win->tb_bitmaps[button - 1][st] ? win->tb_bitmaps[button - 1][st] : win->tb_bitmaps[button - 1][0];
    if (bmp) {
        draw_bitmap_scaled(bmp, x, y, b, b);
        return;
    }
    const N_GUI_THEME *th = button == N_GUI_TB_CLOSE ? &win->tb_close_theme : &win->tb_btn_theme;
    _draw_themed_rect(th, st == 2 ? N_GUI_STATE_PRESSED : (st == 1 ? N_GUI_STATE_HOVER : 0), 1, x, y, b, b);
    ALLEGRO_COLOR c = st == 2 ? th->text_active : (st == 1 ? th->text_hover : th->text_normal);
    const float t = _min_thickness(s->tb_btn_glyph_thickness), mx = x + b / 2, my = y + b / 2, g = 0.22f * b;
    if (button == N_GUI_TB_MINIMISE) {
        al_draw_line(mx - g, my + g / 2, mx + g, my + g / 2, c, t);
    } else if (button == N_GUI_TB_MAXIMISE) {
        if (win->state & N_GUI_WIN_STATE_MAXIMISED) {
            al_draw_rectangle(mx - g + 0.4f * g, my - g, mx + g, my + g - 0.4f * g, c, t);
            al_draw_rectangle(mx - g, my - g + 0.4f * g, mx + g - 0.4f * g, my + g, c, t);
        } else {
            al_draw_rectangle(mx - g, my - g, mx + g, my + g, c, t);
        }
    } else {
        al_draw_line(mx - g, my - g, mx + g, my + g, c, t);
        al_draw_line(mx + g, my - g, mx - g, my + g, c, t);
    }
}

void _draw_window(N_GUI_CTX *ctx, N_GUI_WINDOW *win, ALLEGRO_FONT *font, const N_GUI_STYLE *s) {
    const float tbh = ngui_titlebar_h(win), x = win->x, y = win->y, w = win->w, h = win->h, cy0 = y + tbh;
    const N_GUI_THEME *th = &win->theme;
    const float t = _min_thickness(th->border_thickness), e = win->native_display ? t / 2 : 0;
    if (tbh > 0) {
        if (win->titlebar_bmp) draw_bitmap_scaled(win->titlebar_bmp, x, y, w, tbh);
        else al_draw_filled_rounded_rectangle(x, y, x + w, y + tbh, th->corner_rx, th->corner_ry, th->bg_active);
        ALLEGRO_FONT *f = win->font ? win->font : font;
        const char *cap = win->caption[0] ? win->caption : win->title;
        const float b = s->tb_btn_size > 0 ? s->tb_btn_size : tbh - 4;
        const int n = !!(win->flags & N_GUI_WIN_BTN_MINIMISE) + !!(win->flags & N_GUI_WIN_BTN_MAXIMISE) +
                      !!(win->flags & N_GUI_WIN_BTN_CLOSE);
        if (f && cap[0]) {
            const float r = n ? static_cast<float>(n - 1) * s->tb_btn_spacing + static_cast<float>(n) * b + s->tb_btn_right_margin : 0;
            int bbx, bby, bbw, bbh;
            _text_dims(f, cap, &bbx, &bby, &bbw, &bbh);
            _draw_text_truncated(f, cap, th->text_active, x + s->title_padding, y + (tbh - bbh) / 2 - bby,
                                 w - s->title_max_w_reserve - r);
        }
        for (int button = N_GUI_TB_MINIMISE; button <= N_GUI_TB_CLOSE; button++) {
            const int flag = button == N_GUI_TB_MINIMISE ? N_GUI_WIN_BTN_MINIMISE
                                                         : (button == N_GUI_TB_MAXIMISE ? N_GUI_WIN_BTN_MAXIMISE : N_GUI_WIN_BTN_CLOSE);
            if (win->flags & flag) draw_tb_button(win, button, s, b);
        }
    }
    if (win->state & N_GUI_WIN_STATE_MINIMISED) {
        al_draw_rounded_rectangle(x + e, y + e, x + w - e, y + tbh - e, th->corner_rx, th->corner_ry, th->border_normal, t);
        return;
    }
    // scroll metrics
    float view_w = w, view_h = h - tbh;
    bool vbar = false, hbar = false;
    const float sb = s->scrollbar_size;
    if (win->flags & N_GUI_WIN_CONTENT_SCROLL) {
        _window_update_content_size(ctx, win);
        const bool no_h = win->flags & N_GUI_WIN_NO_HSCROLL;
        hbar = !no_h && win->content_w > w;
        vbar = win->content_h > view_h - (hbar ? sb : 0);
        if (vbar && !no_h && !hbar) hbar = win->content_w > w - sb;
        if (hbar && !vbar) vbar = win->content_h > view_h - sb;
        if (vbar) view_w -= sb;
        if (hbar) view_h -= sb;
        if (no_h) win->scroll_x = 0;
    }
    if (!vbar) win->scroll_y = 0;
    else win->scroll_y = fminf(fmaxf(0, win->scroll_y), fmaxf(0, win->content_h - view_h));
    if (!hbar) win->scroll_x = 0;
    else win->scroll_x = fminf(fmaxf(0, win->scroll_x), fmaxf(0, win->content_w - view_w));
    // body and border
    if (tbh <= 0) {
        if (win->body_bmp) draw_bitmap_mode(win->body_bmp, win->bitmap_mode, x, cy0, view_w, h - tbh);
        else if (s->shape_mode == 1) al_draw_filled_rounded_rectangle(x, cy0, x + view_w, y + h, th->corner_rx, th->corner_ry, th->bg_normal);
        else al_draw_filled_rectangle(x, cy0, x + view_w, y + h, th->bg_normal);
    } else if (win->body_bmp) {
        draw_bitmap_mode(win->body_bmp, win->bitmap_mode, x, cy0 - 1, view_w, h - tbh + 1);
    } else {
        al_draw_filled_rectangle(x, cy0 - 1, x + view_w, y + h, th->bg_normal);
    }
    al_draw_rounded_rectangle(x + e, y + e, x + w - e, y + h - e, th->corner_rx, th->corner_ry, th->border_normal, t);
    // widgets
    int cx, cy, cw, ch;
    al_get_clipping_rectangle(&cx, &cy, &cw, &ch);
    const int k = tbh > 0 ? static_cast<int>(s->scrollbar_thumb_padding) : 0;
    _set_clipping_rect_transformed(static_cast<int>(x) + k, static_cast<int>(cy0), static_cast<int>(view_w) - k,
                                   static_cast<int>(view_h));
    const float ox = x - win->scroll_x, oy = cy0 - win->scroll_y;
    for (LIST_NODE *n = win->widgets->start; n; n = n->next) {
        auto *wgt = static_cast<N_GUI_WIDGET *>(n->ptr);
        if (!wgt || !wgt->visible || !wgt->data) continue;
        const int saved = wgt->state;
        if (!wgt->enabled) wgt->state &= ~(N_GUI_STATE_HOVER | N_GUI_STATE_PRESSED | N_GUI_STATE_FOCUSED);
        const float ax = ox + wgt->x, ay = oy + wgt->y;
        draw_widget(ctx, wgt, font, s, ax, ay, view_w);
        if ((wgt->state & N_GUI_STATE_FOCUSED) && has_focus_ring(wgt->kind)) {
            const float f = fmaxf(2, _min_thickness(2 * wgt->theme.border_thickness));
            if (wgt->w > f && wgt->h > f) {
                if (wgt->theme.corner_rx > 0)
                    al_draw_rounded_rectangle(ax + f / 2, ay + f / 2, ax + wgt->w - f / 2, ay + wgt->h - f / 2,
                                              wgt->theme.corner_rx, wgt->theme.corner_ry, wgt->theme.border_active, f);
                else
                    al_draw_rectangle(ax + f / 2, ay + f / 2, ax + wgt->w - f / 2, ay + wgt->h - f / 2,
                                      wgt->theme.border_active, f);
            }
        }
        // a progress bar is disabled only so that it takes no input: it is not dimmed
        if (!wgt->enabled && wgt->kind != N_GUI_TYPE_PROGRESSBAR)
            al_draw_filled_rectangle(ax, ay, ax + wgt->w, ay + wgt->h, ALLEGRO_COLOR{0, 0, 0, 120 / 255.0f});
        wgt->state = saved;
    }
    al_set_clipping_rectangle(cx, cy, cw, ch);
    // window scrollbars and grip
    SbSkin sk = sb_skin(s);
    const bool resizable = win->flags & N_GUI_WIN_RESIZABLE;
    if (vbar) {
        SbSkin vs = sk;
        if (tbh <= 0 && s->shape_mode == 1) vs.rounded = 1, vs.inset = th->corner_ry;
        const float len = view_h - (resizable && !hbar ? sb : 0);
        draw_track(true, vs, th, x + w - sb, cy0, sb, len);
        const float thumb = fmaxf(s->scrollbar_thumb_min, fminf(1, view_h / win->content_h) * len);
        const float den = win->content_h - view_h, off = den > 0 ? (len - thumb) * win->scroll_y / den : 0;
        const int st = (win->state & N_GUI_WIN_STATE_VSCROLL_DRAG) ? N_GUI_STATE_PRESSED
                                                                   : ((win->state & N_GUI_WIN_STATE_VSCROLL_HOVER) ? N_GUI_STATE_HOVER : 0);
        draw_thumb(st, sk, th, x + w - sb + s->scrollbar_thumb_padding, cy0 + off, sb - 2 * s->scrollbar_thumb_padding, thumb);
    }
    if (hbar) {
        const float len = view_w - (resizable && !vbar ? sb : 0);
        draw_track(false, sk, th, x, y + h - sb, len, sb);
        const float thumb = fmaxf(s->scrollbar_thumb_min, fminf(1, view_w / win->content_w) * len);
        const float den = win->content_w - view_w, off = den > 0 ? (len - thumb) * win->scroll_x / den : 0;
        const int st = (win->state & N_GUI_WIN_STATE_HSCROLL_DRAG) ? N_GUI_STATE_PRESSED
                                                                   : ((win->state & N_GUI_WIN_STATE_HSCROLL_HOVER) ? N_GUI_STATE_HOVER : 0);
        draw_thumb(st, sk, th, x + off, y + h - sb + s->scrollbar_thumb_padding, thumb, sb - 2 * s->scrollbar_thumb_padding);
    }
    if (resizable) {
        const float R = x + w, B = y + h, g = s->grip_size, gt = _min_thickness(s->grip_line_thickness);
        for (float d = 0; d <= 8; d += 4) al_draw_line(R - g + d, B - 2, R - 2, B - g + d, s->grip_color, gt);
    }
}

void n_gui_draw(N_GUI_CTX *ctx) {
    N_ASSERT(ctx && ctx->windows, return);
    ALLEGRO_BITMAP *target = al_get_target_bitmap();
    if (!ctx->display_size_set && target) {
        const float tw = static_cast<float>(al_get_bitmap_width(target)), th = static_cast<float>(al_get_bitmap_height(target));
        if (tw > 0 && th > 0 && (tw != ctx->display_w || th != ctx->display_h)) {
            if (!ctx->size_notice_given) {
                n_log(LOG_NOTICE,
                      "n_gui: no display size was set, using the draw target's %.0fx%.0f; call n_gui_set_display_size() at "
                      "start up and on resize",
                      static_cast<double>(tw), static_cast<double>(th));
                ctx->size_notice_given = 1;
            }
            ctx->display_w = tw;
            ctx->display_h = th;
            if (ctx->resize_mode == N_GUI_RESIZE_MODE_ADAPTIVE) n_gui_apply_adaptive_resize(ctx, tw, th);
            else if (ctx->virtual_w > 0 && ctx->virtual_h > 0) n_gui_update_transform(ctx);
        }
    }
    ctx->drawing_display = nullptr;
    for (LIST_NODE *n = ctx->windows->start; n; n = n->next) {
        auto *win = static_cast<N_GUI_WINDOW *>(n->ptr);
        if (win && !win->native_display && win->autofit_flags) n_gui_window_apply_autofit(ctx, win->id);
    }
    for (LIST_NODE *n = ctx->windows->start; n; n = n->next) {
        auto *win = static_cast<N_GUI_WINDOW *>(n->ptr);
        if (!win || win->native_display || !(win->state & N_GUI_WIN_STATE_OPEN)) continue;
        _draw_window(ctx, win, ctx->default_font, &ctx->style);
        if (win->on_content && !(win->state & N_GUI_WIN_STATE_MINIMISED)) win->on_content(win->id, win->content_user_data);
    }
    ctx->dirty = 0;
}
