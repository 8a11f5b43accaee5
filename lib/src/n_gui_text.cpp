// Text measurement, wrapping and shortening for the toolkit. Widths of short
// strings come from one direct-mapped cache keyed by font, line height and
// the text's bytes, because the whole interface is redrawn every frame and
// measures the same labels again and again.
#include "n_gui_text.h"
#include "n_gui_internal.h"
#include "n_log.h"
#include "n_markdown.h"
#include "n_wrap.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

/* ---- UTF-8 steps ---- */

size_t n_gui_utf8_step(unsigned char lead) {
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 1;
}

// Kept length when buf[0..n) is followed by `next`: a character cut by the
// boundary is dropped whole.
static size_t cut_back(const char *buf, size_t n, unsigned char next) {
    if ((next & 0xC0) != 0x80) return n;
    size_t k = n;
    int back = 0;
    while (k > 0 && back < 3 && (static_cast<unsigned char>(buf[k - 1]) & 0xC0) == 0x80) k--, back++;
    if (k > 0 && (static_cast<unsigned char>(buf[k - 1]) & 0xC0) == 0xC0) k--;
    return k;
}

size_t n_gui_utf8_cut(const char *text, size_t len, size_t max) {
    if (!text) return 0;
    if (len <= max) return len;
    return cut_back(text, max, static_cast<unsigned char>(text[max]));
}

size_t n_gui_copy_text(char *dst, size_t dst_size, const char *src, int strip_cr) {
    if (!dst || dst_size == 0) return 0;
    size_t n = 0;
    const char *p = src ? src : "";
    while (*p && n < dst_size - 1) {
        if (!(strip_cr && *p == '\r')) dst[n++] = *p;
        p++;
    }
    while (strip_cr && *p == '\r') p++;
    if (*p) n = cut_back(dst, n, static_cast<unsigned char>(*p));
    dst[n] = '\0';
    return n;
}

/* ---- measure cache ---- */

N_GUI_MEAS_SLOT _ngui_meas_cache[N_GUI_MEAS_SLOTS];
uint64_t _ngui_meas_hits, _ngui_meas_misses;

uint32_t _ngui_meas_fnv1a(const char *text, size_t len) {
    uint32_t h = N_GUI_FNV_BASIS;
    for (size_t i = 0; i < len; i++) {
        h ^= static_cast<unsigned char>(text[i]);
        h *= N_GUI_FNV_PRIME;
    }
    return h;
}

uint32_t _ngui_meas_key(uint32_t text_hash, int32_t line_height) {
    return text_hash ^ (static_cast<uint32_t>(line_height) * N_GUI_MEAS_LH_MIX);
}

size_t _ngui_meas_set(uint32_t key) { return key & (N_GUI_MEAS_SLOTS - 2); }

static bool slot_holds(const N_GUI_MEAS_SLOT *s, ALLEGRO_FONT *font, int32_t lh, uint32_t key, const char *text,
                       size_t len) {
    return s->font == font && s->line_height == lh && s->hash == key && s->len == len && memcmp(s->text, text, len) == 0;
}

// Two ways per set: a direct-mapped table thrashes on the strings that happen
// to share a slot, a fifth of them on a 300-string frame, and each such miss
// costs a full measurement. The newer entry of a set survives a miss.
N_GUI_MEAS_SLOT *_ngui_meas_slot(ALLEGRO_FONT *font, const char *text, size_t len) {
    if (!font || !text || len >= N_GUI_MEAS_TEXT_MAX) return nullptr;
    const int32_t lh = al_get_font_line_height(font);
    const uint32_t key = _ngui_meas_key(_ngui_meas_fnv1a(text, len), lh);
    N_GUI_MEAS_SLOT *way = &_ngui_meas_cache[_ngui_meas_set(key)];
    for (int w = 0; w < 2; w++) {
        if (!slot_holds(&way[w], font, lh, key, text, len)) continue;
        _ngui_meas_hits++;
        way[w].recent = 1;
        way[1 - w].recent = 0;
        return &way[w];
    }
    _ngui_meas_misses++;
    const int w = !way[0].font ? 0 : (!way[1].font ? 1 : (way[0].recent ? 1 : 0));
    N_GUI_MEAS_SLOT *s = &way[w];
    s->font = font;
    s->line_height = lh;
    s->hash = key;
    s->len = static_cast<uint16_t>(len);
    memset(s->text, 0, sizeof s->text);
    memcpy(s->text, text, len);
    s->width_valid = 0;
    s->dims_valid = 0;
    s->recent = 1;
    way[1 - w].recent = 0;
    return s;
}

void n_gui_text_cache_clear() {
    // volatile stores so that the wipe of texts is not optimised away
    volatile unsigned char *p = reinterpret_cast<volatile unsigned char *>(_ngui_meas_cache);
    for (size_t i = 0; i < sizeof _ngui_meas_cache; i++) p[i] = 0;
    _ngui_meas_hits = _ngui_meas_misses = 0;
}

static float measure_direct(ALLEGRO_FONT *font, const char *text, size_t len) {
    ALLEGRO_USTR_INFO info;
    const ALLEGRO_USTR *u = al_ref_buffer(&info, text, len);
    return static_cast<float>(al_get_ustr_width(font, u));
}

float _text_w_nocache(ALLEGRO_FONT *font, const char *text, size_t len) {
    if (!font || !text || len == 0) return 0;
    return measure_direct(font, text, len);
}

float _text_w_n(ALLEGRO_FONT *font, const char *text, size_t len) {
    if (!font || !text || len == 0) return 0;
    N_GUI_MEAS_SLOT *s = _ngui_meas_slot(font, text, len);
    if (!s) return measure_direct(font, text, len);
    if (!s->width_valid) {
        s->width = measure_direct(font, text, len);
        s->width_valid = 1;
    }
    return s->width;
}

float _text_w(ALLEGRO_FONT *font, const char *text) {
    if (!font || !text || !text[0]) return 0;
    return _text_w_n(font, text, strlen(text));
}

void _text_dims(ALLEGRO_FONT *font, const char *text, int *bbx, int *bby, int *bbw, int *bbh) {
    int x = 0, y = 0, w = 0, h = 0;
    if (font && text && text[0]) {
        size_t len = strlen(text);
        N_GUI_MEAS_SLOT *s = _ngui_meas_slot(font, text, len);
        if (s && s->dims_valid) {
            x = s->bbx, y = s->bby, w = s->bbw, h = s->bbh;
        } else {
            ALLEGRO_USTR_INFO info;
            al_get_ustr_dimensions(font, al_ref_buffer(&info, text, len), &x, &y, &w, &h);
            if (s) {
                s->bbx = x, s->bby = y, s->bbw = w, s->bbh = h;
                s->dims_valid = 1;
            }
        }
    }
    if (bbx) *bbx = x;
    if (bby) *bby = y;
    if (bbw) *bbw = w;
    if (bbh) *bbh = h;
}

/* ---- words and lines ---- */

static bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

void _words_free(N_GUI_WORDS *words) {
    if (!words) return;
    free(words->offset);
    free(words->length);
    free(words->width);
    free(words->newlines);
    memset(words, 0, sizeof *words);
}

int _split_words(const char *text, ALLEGRO_FONT *font, N_GUI_WORDS *out) {
    N_ASSERT(out, return 0);
    memset(out, 0, sizeof *out);
    if (!text) text = "";
    size_t count = 0;
    for (const char *p = text; *p;) {
        while (*p && is_space(*p)) p++;
        if (!*p) break;
        count++;
        while (*p && !is_space(*p)) p++;
    }
    const size_t slots = count ? count : 1;
    out->offset = n_calloc(out->offset, slots, size_t);
    out->length = n_calloc(out->length, slots, size_t);
    out->width = n_calloc(out->width, slots, float);
    out->newlines = n_calloc(out->newlines, count + 1, int);
    if (!out->offset || !out->length || !out->width || !out->newlines) {
        _words_free(out);
        return 0;
    }
    size_t i = 0;
    const char *p = text;
    while (true) {
        int nl = 0;
        while (*p && is_space(*p)) nl += *p++ == '\n';
        out->newlines[i] = nl;
        if (!*p) break;
        const char *start = p;
        while (*p && !is_space(*p)) p++;
        out->offset[i] = static_cast<size_t>(start - text);
        out->length[i] = static_cast<size_t>(p - start);
        // a word is measured within the longest text a label holds
        out->width[i] = _text_w_n(font, start, n_gui_utf8_cut(start, out->length[i], N_GUI_TEXT_MAX - 1));
        i++;
    }
    out->count = count;
    return 1;
}

void _lines_free(N_GUI_LINES *lines) {
    if (!lines) return;
    free(lines->start);
    free(lines->para_end);
    memset(lines, 0, sizeof *lines);
}

namespace {
struct WrapEmit {
    const N_WRAP_ITEM *items;
    const long *word_of;  // word index of each item, -1 for spaces and breaks
    size_t nitems;
    size_t nwords;
    N_GUI_LINES *lines;
    size_t room;          // line slots allocated
    size_t called;        // lines handed to the callback
};
}  // namespace

static void _wrap_words_emit(size_t first, size_t end, size_t line, void *user, double) {
    auto *e = static_cast<WrapEmit *>(user);
    e->called = line + 1;
    size_t word = e->nwords;
    for (size_t k = first; k < e->nitems; k++)
        if (e->word_of[k] >= 0) {
            word = static_cast<size_t>(e->word_of[k]);
            break;
        }
    if (line >= e->room) return;
    e->lines->start[line] = word;
    e->lines->para_end[line] = end >= e->nitems || (e->items[end].flags & N_WRAP_FORCED) || first == end;
}

int _wrap_words(const N_GUI_WORDS *words, float space_w, float max_w, N_GUI_LINES *out) {
    N_ASSERT(words && out, return 0);
    memset(out, 0, sizeof *out);
    size_t nitems = 0;
    for (size_t i = 0; i < words->count; i++)
        nitems += (words->newlines[i] > 0 ? static_cast<size_t>(words->newlines[i]) : (i > 0 ? 1 : 0)) + 1;
    // one line per item at most, and the line after a final forced break
    const size_t room = nitems + 2;
    N_WRAP_ITEM *items = n_calloc(items, nitems ? nitems : 1, N_WRAP_ITEM);
    long *word_of = n_calloc(word_of, nitems ? nitems : 1, long);
    out->start = n_calloc(out->start, room + 1, size_t);
    out->para_end = n_calloc(out->para_end, room, int);
    if (!items || !word_of || !out->start || !out->para_end) {
        free(items);
        free(word_of);
        _lines_free(out);
        return 0;
    }
    size_t k = 0;
    for (size_t i = 0; i < words->count; i++) {
        if (words->newlines[i] > 0) {
            for (int n = 0; n < words->newlines[i]; n++) items[k] = {0, N_WRAP_FORCED}, word_of[k++] = -1;
        } else if (i > 0) {
            items[k] = {space_w, N_WRAP_BREAK}, word_of[k++] = -1;
        }
        items[k] = {words->width[i], 0}, word_of[k++] = static_cast<long>(i);
    }
    WrapEmit e{items, word_of, nitems, words->count, out, room, 0};
    size_t lines = n_wrap_layout(items, nitems, _wrap_words_emit, &e, max_w);
    if (lines > room) lines = room;
    // lines the layout counted without handing them over (the one after a final break)
    for (size_t l = e.called; l < lines; l++) {
        out->start[l] = words->count;
        out->para_end[l] = 1;
    }
    out->start[lines] = words->count;
    out->count = lines;
    free(items);
    free(word_of);
    return 1;
}

float _label_content_height(const char *text, ALLEGRO_FONT *font, float width) {
    if (!font || !text || !text[0]) return 0;
    N_GUI_WORDS words;
    if (!_split_words(text, font, &words)) return 0;
    const float lh = static_cast<float>(al_get_font_line_height(font));
    float h = 0;
    if (words.count == 0) {
        h = 0;
    } else if (words.count == 1 && words.newlines[0] == 0 && words.newlines[1] == 0) {
        h = lh;
    } else {
        N_GUI_LINES lines;
        if (_wrap_words(&words, _text_w(font, " "), width, &lines)) {
            h = static_cast<float>(lines.count) * lh;
            _lines_free(&lines);
        }
    }
    _words_free(&words);
    return h;
}

/* ---- shortening ---- */

static constexpr const char ELLIPSIS[] = "...";

int _shorten_start(ALLEGRO_FONT *font, const char *text, char *out, size_t out_size, float max_width) {
    if (!out || out_size == 0) return -1;
    out[0] = '\0';
    if (!font || !text) return -1;
    const size_t len = strlen(text);
    size_t first = len ? n_gui_utf8_step(static_cast<unsigned char>(text[0])) : 0;
    for (size_t at = first; at < len; at += n_gui_utf8_step(static_cast<unsigned char>(text[at]))) {
        const size_t rest = len - at;
        if (3 + rest + 1 > out_size) continue;  // the candidate must fit the buffer whole
        memcpy(out, ELLIPSIS, 3);
        memcpy(out + 3, text + at, rest);
        out[3 + rest] = '\0';
        if (_text_w_n(font, out, 3 + rest) <= max_width) return 1;
    }
    snprintf(out, out_size, "%s", ELLIPSIS);
    return 1;
}

static bool is_sep(char c) { return c == '/' || c == '\\'; }

int n_gui_text_shorten(ALLEGRO_FONT *font, const char *text, int mode, char *out, size_t out_size, float max_width) {
    if (!out || out_size == 0) return -1;  // nothing may be written into a buffer without room
    out[0] = '\0';
    if (!font || !text || out_size <= 4) return -1;
    const size_t len = strlen(text);
    n_gui_copy_text(out, out_size, text, 0);
    if (_text_w_n(font, text, len) <= max_width && len < out_size) return 0;

    if (mode == N_GUI_SHORTEN_START) return _shorten_start(font, text, out, out_size, max_width);
    if (mode == N_GUI_SHORTEN_PATH) {
        const char *p = text;
        while (true) {
            const char *s = p;
            while (*s && !is_sep(*s)) s++;
            if (!*s) return _shorten_start(font, p, out, out_size, max_width);
            const char *q = s;
            while (*q && is_sep(*q)) q++;
            if (!*q) return _shorten_start(font, p, out, out_size, max_width);
            const size_t rest = strlen(q);
            if (rest + 4 < out_size) {
                memcpy(out, ".../", 4);
                memcpy(out + 4, q, rest + 1);
                if (_text_w_n(font, out, rest + 4) <= max_width) return 1;
            }
            p = q;
        }
    }
    // end mode, and any unknown mode
    const float room = max_width - _text_w_n(font, ELLIPSIS, 3);
    size_t keep = 0;
    while (keep < len) {
        size_t next = keep + n_gui_utf8_step(static_cast<unsigned char>(text[keep]));
        if (next > len) next = len;
        if (next + 4 > out_size || _text_w_n(font, text, next) > room) break;
        keep = next;
    }
    memcpy(out, text, keep);
    memcpy(out + keep, ELLIPSIS, 4);
    return 1;
}

/* ---- text-area layout ---- */

N_GUI_TEXT_STEP _textarea_step(const char *text, size_t length, size_t offset, ALLEGRO_FONT *font, float pen_x,
                               float wrap_w, float line_start_x, int secret) {
    N_GUI_TEXT_STEP st{1, 0, 0, 0};
    if (!text || offset >= length) return st;
    if (text[offset] == '\n') {
        st.newline = 1;
        return st;
    }
    size_t n = n_gui_utf8_step(static_cast<unsigned char>(text[offset]));
    if (n > length - offset) n = length - offset;
    st.bytes = n;
    st.width = secret ? _text_w_nocache(font, text + offset, n) : _text_w_n(font, text + offset, n);
    st.wraps = pen_x + st.width > wrap_w && pen_x > line_start_x;
    return st;
}

float _textarea_content_height(const N_GUI_TEXTAREA_DATA *td, ALLEGRO_FONT *font, float width, float padding) {
    if (!td || !font || td->length == 0) return 0;
    const float wrap = width - 2 * padding;
    size_t lines = 1;
    float pen = 0;
    for (size_t off = 0; off < td->length;) {
        N_GUI_TEXT_STEP st = _textarea_step(td->text, td->length, off, font, pen, wrap, 0, ngui_textarea_secret(td));
        if (st.newline) {
            lines++;
            pen = 0;
        } else if (st.wraps) {
            lines++;
            pen = st.width;
        } else {
            pen += st.width;
        }
        off += st.bytes;
    }
    return static_cast<float>(lines) * static_cast<float>(al_get_font_line_height(font));
}

/* ---- list and grid metrics ---- */

void _listbox_hmetrics(const N_GUI_WIDGET *wgt, const N_GUI_LISTBOX_DATA *ld, ALLEGRO_FONT *font,
                       const N_GUI_STYLE *style, float *content_w, float *view_w, int *needs_hbar,
                       int *visible_rows) {
    const float lh = font ? static_cast<float>(al_get_font_line_height(font)) : 16.0f;
    float rh = ld->item_height > lh ? ld->item_height : lh + style->item_height_pad;
    if (rh < 1) rh = 1;
    float widest = 0;
    for (int i = 0; font && i < ld->count; i++) {
        float w = _text_w(font, ld->items[i].text);
        if (w > widest) widest = w;
    }
    const float cw = widest > 0 ? widest + 2 * style->item_text_padding : 0;
    int rows = ngui_rows(wgt->h, rh);
    float vw = wgt->w - (rows < ld->count ? style->scrollbar_size : 0);
    int hbar = cw > vw + 1;
    if (hbar) {
        rows = ngui_rows(wgt->h - style->scrollbar_size, rh);
        if (rows < ld->count) vw = wgt->w - style->scrollbar_size;
    }
    if (rows < 0) rows = 0;
    if (content_w) *content_w = cw;
    if (view_w) *view_w = vw;
    if (needs_hbar) *needs_hbar = hbar;
    if (visible_rows) *visible_rows = rows;
}

void _datagrid_hmetrics(const N_GUI_WIDGET *wgt, const N_GUI_DATAGRID_DATA *gd, ALLEGRO_FONT *font,
                        const N_GUI_STYLE *style, float *content_w, float *view_w, int *needs_hbar) {
    const float rh = (font ? static_cast<float>(al_get_font_line_height(font)) : 16.0f) + style->item_height_pad;
    int rows = ngui_rows(wgt->h - rh, rh);
    if (rows < 1) rows = 1;
    float cw = style->item_text_padding;
    for (int pos = 0; pos < gd->col_count; pos++) {
        int c = gd->order ? gd->order[pos] : pos;
        if (c >= 0 && c < gd->col_count && gd->columns[c].visible) cw += gd->columns[c].width;
    }
    const float vw = wgt->w - (rows < gd->row_count ? style->scrollbar_size : 0);
    if (content_w) *content_w = cw;
    if (view_w) *view_w = vw;
    if (needs_hbar) *needs_hbar = cw > vw + 1;
}

int _items_grow(N_GUI_LISTITEM **items, int used, int *capacity) {
    N_ASSERT(items && capacity, return 0);
    if (*capacity < 0) return 0;
    if (used < *capacity) return 1;
    if (*capacity > (1 << 29)) return 0;  // doubling would overflow the count
    int cap = *capacity == 0 ? 8 : *capacity * 2;
    N_GUI_LISTITEM *tmp = n_calloc(tmp, static_cast<size_t>(cap), N_GUI_LISTITEM);
    if (!tmp) return 0;
    if (*items && used > 0) memcpy(tmp, *items, static_cast<size_t>(used) * sizeof **items);
    free(*items);
    *items = tmp;
    *capacity = cap;
    return 1;
}

int _datagrid_ensure_sel(N_GUI_DATAGRID_DATA *gd) {
    N_ASSERT(gd, return 0);
    if (gd->row_sel) return 1;
    // sized by capacity: rows added later must not write past it
    if (gd->row_capacity <= 0) return 0;
    gd->row_sel = n_calloc(gd->row_sel, static_cast<size_t>(gd->row_capacity), unsigned char);
    return gd->row_sel ? 1 : 0;
}

const char *_markdownview_plain(N_GUI_MARKDOWNVIEW_DATA *md) {
    N_ASSERT(md, return nullptr);
    if (md->plain && md->plain_flags == md->style.parse_flags) return md->plain;
    free(md->plain);
    md->plain = nullptr;
    md->plain_len = 0;
    size_t len = 0;
    const char *text = md->text ? md->text : "";
    md->plain = n_markdown_to_plain(text, strlen(text), md->style.parse_flags, &len);
    if (!md->plain) return nullptr;
    md->plain_len = len;
    md->plain_flags = md->style.parse_flags;
    if (md->sel_a > len) md->sel_a = len;
    if (md->sel_b > len) md->sel_b = len;
    return md->plain;
}
