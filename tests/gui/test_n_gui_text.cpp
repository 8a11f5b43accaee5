// Text measurement, wrapping and shortening: the measure cache's key and
// slots, word and line tables, label heights, shortening in its three modes,
// list and grid metrics, item arrays. The built-in font (8 pixels a glyph)
// makes widths exact; DejaVu checks that nothing cuts a character.
#include "gui_bench.h"
#include "n_gui.h"
#include "n_gui_kinds.h"
#include "n_gui_text.h"
#include "qv_test_support.h"

#include <cstring>
#include <string>
#include <vector>

using namespace qvgui;

namespace {

struct GuiText : ::testing::Test {
    AllegroScope al;
    FontPtr b8;  // 8 pixels a glyph
    void SetUp() override {
        ASSERT_TRUE(al.ok);
        b8 = builtin_font();
        ASSERT_TRUE(b8);
        ASSERT_EQ(al_get_text_width(b8.get(), "abc"), 24);
        n_gui_text_cache_clear();
    }
};

// True when the bytes are whole UTF-8 characters.
bool valid_utf8(const std::string &s) {
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; k++)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

size_t used_slots() {
    size_t n = 0;
    for (const N_GUI_MEAS_SLOT &s : _ngui_meas_cache) n += s.font != nullptr;
    return n;
}

/* ---- UTF-8 cuts ---- */

TEST(GuiUtf8, CopiesAndCutsKeepWholeCharacters) {
    EXPECT_EQ(n_gui_utf8_step(0x41), 1u);
    EXPECT_EQ(n_gui_utf8_step(0xC3), 2u);
    EXPECT_EQ(n_gui_utf8_step(0xE2), 3u);
    EXPECT_EQ(n_gui_utf8_step(0xF0), 4u);
    EXPECT_EQ(n_gui_utf8_step(0x80), 1u) << "a stray continuation byte steps alone";
    struct Case {
        const char *name, *src;
        size_t room;  // buffer size
        const char *want;
    } cases[] = {
        {"fits", "abc", 8, "abc"},
        {"ascii cut", "abcdef", 4, "abc"},
        {"two-byte character not split", "ab\xc3\xa9", 4, "ab"},
        {"three-byte character kept whole", "a\xe2\x82\xac" "b", 5, "a\xe2\x82\xac"},
        {"three-byte character not split", "a\xe2\x82\xac" "b", 4, "a"},
        {"three-byte character cut early", "ab\xe2\x82\xac", 4, "ab"},
        {"four-byte emoji not split", "x\xf0\x9f\x91\x8d", 5, "x"},
        {"four-byte emoji whole", "x\xf0\x9f\x91\x8dy", 6, "x\xf0\x9f\x91\x8d"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        char buf[16];
        memset(buf, '#', sizeof buf);
        size_t n = n_gui_copy_text(buf, c.room, c.src, 0);
        EXPECT_STREQ(buf, c.want);
        EXPECT_EQ(n, strlen(c.want));
        EXPECT_EQ(n_gui_utf8_cut(c.src, strlen(c.src), c.room - 1), strlen(c.want));
    }
    char buf[8];
    EXPECT_EQ(n_gui_copy_text(buf, sizeof buf, "a\r\nb\r", 1), 3u);
    EXPECT_STREQ(buf, "a\nb");
    EXPECT_EQ(n_gui_copy_text(buf, 4, "ab\r\r\r\xc3\xa9", 1), 2u) << "carriage returns before the cut do not hide it";
    EXPECT_STREQ(buf, "ab");
    EXPECT_EQ(n_gui_copy_text(buf, 0, "abc", 0), 0u);
}

/* ---- measure cache ---- */

TEST(GuiMeasureKey, FnvOneAOfTheTextMixedWithTheLineHeight) {
    // published 32-bit FNV-1a vectors
    struct Vec {
        const char *text;
        uint32_t hash;
    } vecs[] = {{"", 0x811c9dc5u}, {"a", 0xe40c292cu}, {"foobar", 0xbf9cf968u}};
    for (const Vec &v : vecs) EXPECT_EQ(_ngui_meas_fnv1a(v.text, strlen(v.text)), v.hash) << v.text;
    EXPECT_EQ(_ngui_meas_key(0x811c9dc5u, 0), 0x811c9dc5u);
    EXPECT_EQ(_ngui_meas_key(0xe40c292cu, 16), 0xe40c292cu ^ (16u * 0x9E3779B1u));
    // bytes are taken unsigned: a high byte changes the hash as the vector says
    const char high[] = "\xff";
    EXPECT_EQ(_ngui_meas_fnv1a(high, 1), (0x811c9dc5u ^ 0xffu) * 0x01000193u);
}

TEST_F(GuiText, ShortTextsAreCachedAndLongOnesNever) {
    const std::string t31(31, 'm'), t32(32, 'm');
    EXPECT_FLOAT_EQ(_text_w(b8.get(), t31.c_str()), 31 * 8);
    EXPECT_EQ(_ngui_meas_misses, 1u);
    EXPECT_FLOAT_EQ(_text_w(b8.get(), t31.c_str()), 31 * 8);
    EXPECT_EQ(_ngui_meas_hits, 1u);
    const uint32_t key = _ngui_meas_key(_ngui_meas_fnv1a(t31.data(), 31), al_get_font_line_height(b8.get()));
    const size_t set = _ngui_meas_set(key);
    EXPECT_EQ(set % 2, 0u);
    EXPECT_EQ(set, key & 0x3FEu);
    const N_GUI_MEAS_SLOT &slot = _ngui_meas_cache[set].font ? _ngui_meas_cache[set] : _ngui_meas_cache[set + 1];
    EXPECT_EQ(slot.font, b8.get());
    EXPECT_EQ(slot.len, 31);
    EXPECT_EQ(slot.width_valid, 1);
    EXPECT_EQ(slot.dims_valid, 0);
    EXPECT_EQ(std::string(slot.text, 31), t31);

    EXPECT_FLOAT_EQ(_text_w(b8.get(), t32.c_str()), 32 * 8);
    EXPECT_FLOAT_EQ(_text_w(b8.get(), t32.c_str()), 32 * 8);
    EXPECT_EQ(_ngui_meas_hits + _ngui_meas_misses, 2u) << "32 bytes never touch the cache";
    EXPECT_EQ(_ngui_meas_slot(b8.get(), t32.c_str(), 32), nullptr);

    int x, y, w, h;
    _text_dims(b8.get(), "Ab", &x, &y, &w, &h);
    int ax, ay, aw, ah;
    al_get_text_dimensions(b8.get(), "Ab", &ax, &ay, &aw, &ah);
    EXPECT_EQ(std::vector<int>({x, y, w, h}), std::vector<int>({ax, ay, aw, ah}));
    _text_dims(b8.get(), "Ab", nullptr, nullptr, &w, nullptr);
    EXPECT_EQ(w, aw);
    EXPECT_EQ(_ngui_meas_hits, 2u) << "the box came from the slot the second time";
    _text_dims(b8.get(), "", &x, &y, &w, &h);
    EXPECT_EQ(x + y + w + h, 0);
    EXPECT_FLOAT_EQ(_text_w(nullptr, "a"), 0);
    EXPECT_FLOAT_EQ(_text_w(b8.get(), ""), 0);
    EXPECT_FLOAT_EQ(_text_w(b8.get(), nullptr), 0);
}

TEST_F(GuiText, FontsAreToldApartByLineHeightAndByPointer) {
    FontPtr small = dejavu("DejaVuSans.ttf", 12), big = dejavu("DejaVuSans.ttf", 20);
    ASSERT_TRUE(small && big);
    ASSERT_NE(al_get_font_line_height(small.get()), al_get_font_line_height(big.get()));
    const char *t = "Conversation";
    const uint32_t h = _ngui_meas_fnv1a(t, strlen(t));
    EXPECT_NE(_ngui_meas_key(h, al_get_font_line_height(small.get())), _ngui_meas_key(h, al_get_font_line_height(big.get())));
    const float ws = _text_w(small.get(), t), wb = _text_w(big.get(), t);
    EXPECT_FLOAT_EQ(ws, static_cast<float>(al_get_text_width(small.get(), t)));
    EXPECT_FLOAT_EQ(wb, static_cast<float>(al_get_text_width(big.get(), t)));
    EXPECT_LT(ws, wb);

    // two fonts of one line height share the slot index; the pointer decides
    FontPtr other8 = builtin_font();
    ASSERT_EQ(al_get_font_line_height(other8.get()), al_get_font_line_height(b8.get()));
    const float w1 = _text_w(b8.get(), "slot"), w2 = _text_w(other8.get(), "slot");
    EXPECT_FLOAT_EQ(w1, 32);
    EXPECT_FLOAT_EQ(w2, 32);
    EXPECT_EQ(_ngui_meas_misses, 4u) << "the second font did not read the first one's entry";
    EXPECT_FLOAT_EQ(_text_w(b8.get(), "slot"), 32);
    EXPECT_EQ(_ngui_meas_misses, 4u) << "both entries share the set";
}

// Three texts of one set: the two ways hold the two most recent.
TEST_F(GuiText, ASetKeepsItsTwoNewestTexts) {
    const int32_t lh = al_get_font_line_height(b8.get());
    std::vector<std::string> same;
    size_t want_set = 0;
    for (int i = 0; same.size() < 3 && i < 200000; i++) {
        // Appended, not "t" + ...: g++ 12 at -O3 warns falsely on the latter.
        std::string t(1, 't');
        t += std::to_string(i);
        const size_t set = _ngui_meas_set(_ngui_meas_key(_ngui_meas_fnv1a(t.data(), t.size()), lh));
        if (same.empty()) want_set = set;
        if (set == want_set) same.push_back(t);
    }
    ASSERT_EQ(same.size(), 3u);
    const std::string &a = same[0], &b = same[1], &c = same[2];
    struct Step {
        const std::string *text;
        bool hit;
    } steps[] = {{&a, false}, {&b, false}, {&a, true}, {&b, true}, {&c, false}, {&b, true}, {&a, false}, {&c, false}};
    for (const Step &st : steps) {
        SCOPED_TRACE(*st.text);
        const uint64_t hits = _ngui_meas_hits;
        EXPECT_FLOAT_EQ(_text_w(b8.get(), st.text->c_str()), 8.0f * static_cast<float>(st.text->size()));
        EXPECT_EQ(_ngui_meas_hits - hits, st.hit ? 1u : 0u);
    }
}

TEST_F(GuiText, CacheIsEmptiedWhenTheDefaultFontChangesAndWhenTheContextGoes) {
    N_GUI_CTX *ctx = n_gui_new_ctx(b8.get());
    ASSERT_NE(ctx, nullptr);
    _text_w(b8.get(), "one");
    _text_w(b8.get(), "two");
    EXPECT_EQ(used_slots(), 2u);
    FontPtr other = builtin_font();
    n_gui_set_default_font(ctx, other.get());
    EXPECT_EQ(used_slots(), 0u) << "a freed font's slots would answer for the next font at that address";
    _text_w(other.get(), "three");
    EXPECT_EQ(used_slots(), 1u);
    n_gui_destroy_ctx(&ctx);
    EXPECT_EQ(used_slots(), 0u);
    for (const N_GUI_MEAS_SLOT &s : _ngui_meas_cache) ASSERT_TRUE(qvtest::all_zero(&s, sizeof s)) << "texts are wiped";
}

// A password typed into a masked area is measured a character at a time by
// multi-line layout; none of it may stay behind in the global cache.
TEST_F(GuiText, MaskedTextNeverEntersTheCache) {
    N_GUI_CTX *ctx = n_gui_new_ctx(b8.get());
    const int win = n_gui_add_window(ctx, "w", 0, 0, 300, 200);
    struct Case {
        int mask;
        bool cached;
    } cases[] = {{'*', false}, {0, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mask);
        const int area = n_gui_add_textarea(ctx, win, 1, 0, nullptr, nullptr, 0, 0, 40, 20);
        n_gui_textarea_set_mask_char(ctx, area, c.mask);
        n_gui_textarea_set_text(ctx, area, "s3cret pass\nphrase");
        n_gui_text_cache_clear();
        n_gui_textarea_scroll_to_offset(ctx, area, 15);
        n_gui_textarea_scroll_to_bottom(ctx, area);
        EXPECT_EQ(used_slots() > 0, c.cached);
    }
    n_gui_destroy_ctx(&ctx);
}

/* ---- words and lines ---- */

TEST_F(GuiText, SplitWordsRecordsOffsetsWidthsAndNewlines) {
    N_GUI_WORDS w;
    ASSERT_TRUE(_split_words("  a\tbb\n\nccc \n", b8.get(), &w));
    ASSERT_EQ(w.count, 3u);
    EXPECT_EQ(std::vector<size_t>(w.offset, w.offset + 3), (std::vector<size_t>{2, 4, 8}));
    EXPECT_EQ(std::vector<size_t>(w.length, w.length + 3), (std::vector<size_t>{1, 2, 3}));
    EXPECT_EQ(std::vector<float>(w.width, w.width + 3), (std::vector<float>{8, 16, 24}));
    EXPECT_EQ(std::vector<int>(w.newlines, w.newlines + 4), (std::vector<int>{0, 0, 2, 1}));
    _words_free(&w);
    ASSERT_TRUE(_split_words(" \n \r\n\t", b8.get(), &w));
    EXPECT_EQ(w.count, 0u);
    EXPECT_EQ(w.newlines[0], 2);
    _words_free(&w);
    ASSERT_TRUE(_split_words(nullptr, b8.get(), &w));
    EXPECT_EQ(w.count, 0u);
    _words_free(&w);
}

struct WrapCase {
    const char *name, *text;
    float width;
    std::vector<size_t> starts;  // first word of each line, then the word count
    std::vector<int> para_end;
};

TEST_F(GuiText, WrapBreaksAtSpacesAndNewlines) {
    const WrapCase cases[] = {
        {"fits on one line", "aa bb", 40, {0, 2}, {1}},
        {"breaks at the last space", "aa bb cc", 40, {0, 2, 3}, {0, 1}},
        {"newlines before the first word give empty lines", "\n\nword", 100, {0, 0, 0, 1}, {1, 1, 1}},
        {"a newline ends a paragraph", "aa\nbb cc dd", 40, {0, 1, 3, 4}, {1, 0, 1}},
        {"two newlines leave an empty line", "aa\n\nbb", 100, {0, 1, 1, 2}, {1, 1, 1}},
        {"a word wider than the line stays alone", "aaaaaaaaaa b", 40, {0, 1, 2}, {0, 1}},
    };
    for (const WrapCase &c : cases) {
        SCOPED_TRACE(c.name);
        N_GUI_WORDS w;
        ASSERT_TRUE(_split_words(c.text, b8.get(), &w));
        N_GUI_LINES l;
        ASSERT_TRUE(_wrap_words(&w, 8, c.width, &l));
        EXPECT_EQ(std::vector<size_t>(l.start, l.start + l.count + 1), c.starts);
        EXPECT_EQ(std::vector<int>(l.para_end, l.para_end + l.count), c.para_end);
        _lines_free(&l);
        _words_free(&w);
    }
}

// A label of more than 256 words keeps every word: the tables grow with the text.
TEST_F(GuiText, LongLabelsWrapEveryWord) {
    std::string text;
    for (int i = 0; i < 600; i++) text += i ? " w" : "w";
    N_GUI_WORDS w;
    ASSERT_TRUE(_split_words(text.c_str(), b8.get(), &w));
    EXPECT_EQ(w.count, 600u);
    N_GUI_LINES l;
    ASSERT_TRUE(_wrap_words(&w, 8, 8, &l));
    EXPECT_EQ(l.count, 600u) << "one word a line";
    EXPECT_EQ(l.start[599], 599u);
    EXPECT_EQ(l.start[600], 600u);
    _lines_free(&l);
    _words_free(&w);
    EXPECT_FLOAT_EQ(_label_content_height(text.c_str(), b8.get(), 8), 600 * 8);
}

TEST_F(GuiText, LabelContentHeight) {
    struct Case {
        const char *text;
        float width, lines;
    } cases[] = {{"", 100, 0}, {"   \n ", 100, 0}, {"single", 10, 1}, {"aa bb cc", 40, 2}, {"aa\n\nbb", 100, 3},
                 {"\n\nword", 100, 3}};
    for (const Case &c : cases) EXPECT_FLOAT_EQ(_label_content_height(c.text, b8.get(), c.width), c.lines * 8) << c.text;
    EXPECT_FLOAT_EQ(_label_content_height("text", nullptr, 100), 0);
}

TEST_F(GuiText, WordTablesFailCleanlyWhenMemoryRunsOut) {
    qvtest::AllocFailGuard guard;
    for (long n = 0; n < 8; n++) {
        N_GUI_WORDS w;
        n_alloc_fail_after(n);
        int ok = _split_words("one two three", b8.get(), &w);
        n_alloc_fail_after(-1);
        if (!ok) {
            EXPECT_EQ(w.count, 0u);
            EXPECT_EQ(w.offset, nullptr);
            continue;
        }
        N_GUI_LINES l;
        n_alloc_fail_after(n);
        int wrapped = _wrap_words(&w, 8, 40, &l);
        n_alloc_fail_after(-1);
        if (wrapped) {
            _lines_free(&l);
        } else {
            EXPECT_EQ(l.start, nullptr);
        }
        _words_free(&w);
    }
}

/* ---- shortening ---- */

struct ShortenCase {
    const char *name, *text;
    int mode;
    float width;
    size_t out_size;
    int result;
    const char *want;
};

TEST_F(GuiText, ShortenInItsThreeModes) {
    const ShortenCase cases[] = {
        {"fits unchanged", "abc", N_GUI_SHORTEN_END, 24, 64, 0, "abc"},
        {"end", "abcdefghij", N_GUI_SHORTEN_END, 50, 64, 1, "abc..."},
        {"end, unknown mode", "abcdefghij", 7, 50, 64, 1, "abc..."},
        {"end, no room for a character", "abcdefghij", N_GUI_SHORTEN_END, 20, 64, 1, "..."},
        {"end, by the buffer", "abcdefghij", N_GUI_SHORTEN_END, 1000, 8, 1, "abcd..."},
        {"start", "abcdefghij", N_GUI_SHORTEN_START, 50, 64, 1, "...hij"},
        {"start, not even the last character fits", "abcdefghij", N_GUI_SHORTEN_START, 30, 64, 1, "..."},
        {"start, candidates must fit the buffer whole", "abcdefghij", N_GUI_SHORTEN_START, 1000, 8, 1, "...ghij"},
        {"path, absolute: the leading separator is tried first", "/home/user/file.txt", N_GUI_SHORTEN_PATH, 100, 64, 1,
         ".../file.txt"},
        {"path, a/b/c tries .../b/c then .../c", "aaaa/bb/cc", N_GUI_SHORTEN_PATH, 48, 64, 1, ".../cc"},
        {"path, .../b/c fits", "aaaa/bb/cc", N_GUI_SHORTEN_PATH, 72, 64, 1, ".../bb/cc"},
        {"path, last component in start mode", "a/b/cdefgh", N_GUI_SHORTEN_PATH, 40, 64, 1, "...gh"},
        {"path, backslashes", "C:\\dir\\file", N_GUI_SHORTEN_PATH, 64, 64, 1, ".../file"},
        {"path, runs of separators", "aaaa//bb", N_GUI_SHORTEN_PATH, 48, 64, 1, ".../bb"},
        {"path, trailing separators", "abcdef///", N_GUI_SHORTEN_PATH, 50, 64, 1, "...///"},
        {"path, no separator", "abcdefghij", N_GUI_SHORTEN_PATH, 50, 64, 1, "...hij"},
    };
    for (const ShortenCase &c : cases) {
        SCOPED_TRACE(c.name);
        char out[64];
        memset(out, '#', sizeof out);
        EXPECT_EQ(n_gui_text_shorten(b8.get(), c.text, c.mode, out, c.out_size, c.width), c.result);
        EXPECT_STREQ(out, c.want);
        EXPECT_LT(strlen(out), c.out_size);
    }
}

TEST_F(GuiText, ShortenRefusesBadArgumentsAndNeverWritesPastItsBuffer) {
    char out[8];
    memset(out, '#', sizeof out);
    EXPECT_EQ(n_gui_text_shorten(b8.get(), "abcdef", N_GUI_SHORTEN_END, out, 4, 8), -1);
    EXPECT_STREQ(out, "") << "refused with the output emptied";
    memset(out, '#', sizeof out);
    EXPECT_EQ(n_gui_text_shorten(b8.get(), "abcdef", N_GUI_SHORTEN_END, out, 0, 8), -1);
    EXPECT_EQ(out[0], '#') << "a buffer without room is not written";
    EXPECT_EQ(n_gui_text_shorten(b8.get(), "abcdef", N_GUI_SHORTEN_END, nullptr, 8, 8), -1);
    EXPECT_EQ(n_gui_text_shorten(nullptr, "abcdef", N_GUI_SHORTEN_END, out, 8, 8), -1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(n_gui_text_shorten(b8.get(), nullptr, N_GUI_SHORTEN_END, out, 8, 8), -1);
    memset(out, '#', sizeof out);
    EXPECT_EQ(_shorten_start(b8.get(), "abc", out, 0, 8), -1);
    EXPECT_EQ(out[0], '#');
}

// Real glyphs of varied widths: whatever the width, the result is whole
// characters followed by "..." and fits.
TEST_F(GuiText, ShortenNeverCutsACharacter) {
    FontPtr sans = dejavu("DejaVuSans.ttf", 16);
    ASSERT_TRUE(sans);
    const std::string texts[] = {"Zoë Müller-Øster wrote: ça va très bien 👍 ✓",
                                 "/home/zoë/Документы/отчёт за март.pdf", "日本語のテキストを短くする"};
    for (const std::string &t : texts) {
        for (int mode : {N_GUI_SHORTEN_END, N_GUI_SHORTEN_START, N_GUI_SHORTEN_PATH}) {
            for (float width = 10; width < 420; width += 7) {
                char out[256];
                int r = n_gui_text_shorten(sans.get(), t.c_str(), mode, out, sizeof out, width);
                ASSERT_GE(r, 0);
                ASSERT_TRUE(valid_utf8(out)) << t << " mode " << mode << " width " << width << ": " << out;
                if (r == 1) {
                    const bool dotted = strstr(out, "...") != nullptr;
                    EXPECT_TRUE(dotted) << out;
                    const float got = static_cast<float>(al_get_text_width(sans.get(), out));
                    const float dots = static_cast<float>(al_get_text_width(sans.get(), "..."));
                    if (width >= dots) {
                        EXPECT_LE(got, width + 1) << out;
                    }
                }
            }
        }
    }
}

/* ---- list and grid metrics ---- */

TEST_F(GuiText, ListMetricsDecideTheBars) {
    N_GUI_STYLE s = n_gui_default_style();
    N_GUI_WIDGET w{};
    w.w = 100;
    w.h = 60;
    N_GUI_LISTITEM items[5] = {};
    N_GUI_LISTBOX_DATA ld{};
    ld.items = items;
    ld.item_height = 20;
    struct Case {
        const char *name, *text;
        int count;
        float content, view;
        int hbar, rows;
    } cases[] = {
        {"narrow items, more than fit", "short", 5, 52, 88, 0, 3},
        {"wide items, more than fit", "xxxxxxxxxxxxxxxxxxxx", 5, 172, 88, 1, 2},
        {"wide items, two of them", "xxxxxxxxxxxxxxxxxxxx", 2, 172, 100, 1, 2},
        {"empty", "", 0, 0, 100, 0, 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        for (auto &it : items) snprintf(it.text, sizeof it.text, "%s", c.text);
        ld.count = c.count;
        float cw = -1, vw = -1;
        int hbar = -1, rows = -1;
        _listbox_hmetrics(&w, &ld, b8.get(), &s, &cw, &vw, &hbar, &rows);
        EXPECT_FLOAT_EQ(cw, c.content);
        EXPECT_FLOAT_EQ(vw, c.view);
        EXPECT_EQ(hbar, c.hbar);
        EXPECT_EQ(rows, c.rows);
    }
    ld.item_height = 2;  // below the line height: line height + pad
    ld.count = 5;
    int rows = 0;
    _listbox_hmetrics(&w, &ld, nullptr, &s, nullptr, nullptr, nullptr, &rows);
    EXPECT_EQ(rows, 3) << "16 + 4 stands in for a missing font";
    w.h = 5;
    _listbox_hmetrics(&w, &ld, b8.get(), &s, nullptr, nullptr, nullptr, &rows);
    EXPECT_EQ(rows, 0);
}

TEST_F(GuiText, GridMetricsWalkTheVisibleColumnsInDisplayOrder) {
    N_GUI_STYLE s = n_gui_default_style();
    N_GUI_WIDGET w{};
    w.w = 200;
    w.h = 100;
    N_GUI_DATAGRID_COL cols[4] = {{"a", 80, 1}, {"b", 90, 1}, {"c", 50, 0}, {"d", 40, 1}};
    int order[4] = {3, 2, 1, 0};
    N_GUI_DATAGRID_DATA gd{};
    gd.columns = cols;
    gd.col_count = 3;
    gd.row_count = 10;  // 7 rows of 12 px fit under the header
    float cw, vw;
    int hbar;
    _datagrid_hmetrics(&w, &gd, b8.get(), &s, &cw, &vw, &hbar);
    EXPECT_FLOAT_EQ(cw, 6 + 170);
    EXPECT_FLOAT_EQ(vw, 188);
    EXPECT_EQ(hbar, 0);
    gd.col_count = 4;
    gd.order = order;
    _datagrid_hmetrics(&w, &gd, b8.get(), &s, &cw, &vw, &hbar);
    EXPECT_FLOAT_EQ(cw, 6 + 210);
    EXPECT_EQ(hbar, 1);
    gd.row_count = 3;
    _datagrid_hmetrics(&w, &gd, b8.get(), &s, &cw, &vw, &hbar);
    EXPECT_FLOAT_EQ(vw, 200);
}

TEST_F(GuiText, ItemArraysDoubleAndKeepTheirItemsWhenGrowthFails) {
    qvtest::AllocFailGuard guard;
    N_GUI_LISTITEM *items = nullptr;
    int cap = 0;
    ASSERT_TRUE(_items_grow(&items, 0, &cap));
    EXPECT_EQ(cap, 8);
    EXPECT_TRUE(_items_grow(&items, 7, &cap));
    EXPECT_EQ(cap, 8) << "room left: nothing to do";
    snprintf(items[7].text, sizeof items[7].text, "eighth");
    n_alloc_fail_after(0);
    EXPECT_FALSE(_items_grow(&items, 8, &cap));
    n_alloc_fail_after(-1);
    EXPECT_EQ(cap, 8);
    EXPECT_STREQ(items[7].text, "eighth");
    ASSERT_TRUE(_items_grow(&items, 8, &cap));
    EXPECT_EQ(cap, 16);
    EXPECT_STREQ(items[7].text, "eighth");
    EXPECT_EQ(items[15].selected, 0);
    free(items);
    int negative = -1;
    N_GUI_LISTITEM *none = nullptr;
    EXPECT_FALSE(_items_grow(&none, 0, &negative));
}

// Selection bytes are sized by the row capacity, so a row added later
// within the capacity has its byte.
TEST_F(GuiText, GridSelectionBytesCoverTheRowCapacity) {
    N_GUI_DATAGRID_DATA gd{};
    EXPECT_FALSE(_datagrid_ensure_sel(&gd)) << "no rows ever: nothing to allocate";
    gd.row_count = 3;
    gd.row_capacity = 16;
    ASSERT_TRUE(_datagrid_ensure_sel(&gd));
    gd.row_sel[15] = 1;  // AddressSanitizer: within the allocation
    unsigned char *kept = gd.row_sel;
    ASSERT_TRUE(_datagrid_ensure_sel(&gd));
    EXPECT_EQ(gd.row_sel, kept);
    free(gd.row_sel);
}

TEST_F(GuiText, MarkdownViewPlainTextIsCachedPerFlagsAndClampsTheSelection) {
    N_GUI_MARKDOWNVIEW_DATA md{};
    char text[] = "**bold** and *soft*";
    md.text = text;
    md.style.parse_flags = 35;
    md.sel_a = 100;
    md.sel_b = 3;
    const char *plain = _markdownview_plain(&md);
    ASSERT_NE(plain, nullptr);
    EXPECT_STREQ(plain, "bold and soft");
    EXPECT_EQ(md.plain_len, strlen("bold and soft"));
    EXPECT_EQ(md.sel_a, md.plain_len);
    EXPECT_EQ(md.sel_b, 3u);
    EXPECT_EQ(_markdownview_plain(&md), plain) << "the same flags reuse the cache";
    md.style.parse_flags = 34;
    EXPECT_NE(_markdownview_plain(&md), nullptr);
    EXPECT_EQ(md.plain_flags, 34);
    free(md.plain);
}

}  // namespace
