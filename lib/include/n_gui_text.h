// Text measurement, wrapping and shortening for the toolkit: every width the
// toolkit needs goes through one direct-mapped cache of short strings, label
// texts break into words and lines, and texts too wide for their box are cut
// with "..." on character boundaries. Also the horizontal metrics of list
// boxes and grids, and the growth of item arrays. Results: widths in pixels,
// counts, 1/0 for success; word and line tables are the caller's and are
// released with their free functions. UI thread only: the cache is a plain
// global without a lock.
#pragma once

#include "n_gui.h"

#include <cstddef>
#include <cstdint>

/* ---- UTF-8 steps ----
   Offsets are byte offsets; a character is stepped by its lead byte
   (110xxxxx two bytes, 1110xxxx three, 11110xxx four, else one). */
size_t n_gui_utf8_step(unsigned char lead);                          // 1..4
size_t n_gui_utf8_cut(const char *text, size_t len, size_t max);     // longest whole-character prefix of at most max bytes
size_t n_gui_copy_text(char *dst, size_t dst_size, const char *src, int strip_cr);  // bytes kept; cut on a character boundary

/* ---- measure cache ----
   Texts shorter than N_GUI_MEAS_TEXT_MAX bytes are measured once per font
   and kept; longer ones are measured every time so that slots stay small.
   A key (FNV-1a of the bytes mixed with the font's line height) picks a set
   of two adjacent slots: _ngui_meas_set(key) and the one after. */
constexpr size_t N_GUI_MEAS_SLOTS = 1024;
constexpr size_t N_GUI_MEAS_TEXT_MAX = 32;
constexpr uint32_t N_GUI_FNV_BASIS = 0x811C9DC5u;
constexpr uint32_t N_GUI_FNV_PRIME = 0x01000193u;
constexpr uint32_t N_GUI_MEAS_LH_MIX = 0x9E3779B1u;

struct N_GUI_MEAS_SLOT {
    ALLEGRO_FONT *font;  // none: empty slot
    int32_t line_height;
    uint32_t hash;       // the key
    uint16_t len;
    char text[N_GUI_MEAS_TEXT_MAX];  // not terminated
    float width;
    int32_t bbx, bby, bbw, bbh;
    uint8_t width_valid;
    uint8_t dims_valid;
    uint8_t recent;  // the newer of the two slots of its set
};

extern N_GUI_MEAS_SLOT _ngui_meas_cache[N_GUI_MEAS_SLOTS];
extern uint64_t _ngui_meas_hits, _ngui_meas_misses;  // lookups since the last clear, for benchmarks

uint32_t _ngui_meas_fnv1a(const char *text, size_t len);
uint32_t _ngui_meas_key(uint32_t text_hash, int32_t line_height);
size_t   _ngui_meas_set(uint32_t key);  // first slot of the key's set (even)
N_GUI_MEAS_SLOT *_ngui_meas_slot(ALLEGRO_FONT *font, const char *text, size_t len);  // a miss takes the older slot over
void  n_gui_text_cache_clear();  // wipes every slot; call when a font that may have been measured is freed
float _text_w(ALLEGRO_FONT *font, const char *text);
float _text_w_n(ALLEGRO_FONT *font, const char *text, size_t len);     // the first len bytes
float _text_w_nocache(ALLEGRO_FONT *font, const char *text, size_t len);  // secrets are never kept in the cache
void  _text_dims(ALLEGRO_FONT *font, const char *text, int *bbx, int *bby, int *bbw, int *bbh);

/* ---- words and lines ----
   Tables are sized by the text, so no word of a label is ever dropped. */
struct N_GUI_WORDS {
    size_t count;
    size_t *offset;  // count entries
    size_t *length;
    float *width;
    int *newlines;   // count + 1 entries: newlines in the white space before word i (i == count: after the last)
};

struct N_GUI_LINES {
    size_t count;
    size_t *start;  // count + 1 entries: first word of each line, then the word count
    int *para_end;  // count entries
};

[[nodiscard]] int _split_words(const char *text, ALLEGRO_FONT *font, N_GUI_WORDS *out);  // 0 when memory failed
void  _words_free(N_GUI_WORDS *words);
[[nodiscard]] int _wrap_words(const N_GUI_WORDS *words, float space_w, float max_w, N_GUI_LINES *out);
void  _lines_free(N_GUI_LINES *lines);
float _label_content_height(const char *text, ALLEGRO_FONT *font, float width);

/* ---- shortening ---- */
int   n_gui_text_shorten(ALLEGRO_FONT *font, const char *text, int mode, char *out, size_t out_size,
                         float max_width);  // 0 fits, 1 shortened, -1 bad arguments (out emptied when it has room)
int   _shorten_start(ALLEGRO_FONT *font, const char *text, char *out, size_t out_size, float max_width);

/* ---- text-area layout ---- */
struct N_GUI_TEXT_STEP {
    size_t bytes;
    float width;
    int newline;
    int wraps;
};
N_GUI_TEXT_STEP _textarea_step(const char *text, size_t length, size_t offset, ALLEGRO_FONT *font, float pen_x,
                               float wrap_w, float line_start_x, int secret);
float _textarea_content_height(const N_GUI_TEXTAREA_DATA *td, ALLEGRO_FONT *font, float width, float padding);

/* ---- list and grid metrics, item arrays ---- */
void  _listbox_hmetrics(const N_GUI_WIDGET *wgt, const N_GUI_LISTBOX_DATA *ld, ALLEGRO_FONT *font,
                        const N_GUI_STYLE *style, float *content_w, float *view_w, int *needs_hbar,
                        int *visible_rows);
void  _datagrid_hmetrics(const N_GUI_WIDGET *wgt, const N_GUI_DATAGRID_DATA *gd, ALLEGRO_FONT *font,
                         const N_GUI_STYLE *style, float *content_w, float *view_w, int *needs_hbar);
[[nodiscard]] int _items_grow(N_GUI_LISTITEM **items, int used, int *capacity);  // 1 when one more fits
[[nodiscard]] int _datagrid_ensure_sel(N_GUI_DATAGRID_DATA *gd);                // 1 when the flags exist
const char *_markdownview_plain(N_GUI_MARKDOWNVIEW_DATA *md);                    // cached plain text, none on failure
