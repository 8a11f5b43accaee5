// The toolkit against a hostile or careless caller: texts handed back to the
// setter they came from, sizes no buffer can hold, NaN and out-of-range
// floats, and a window that comes back maximised from a saved layout. Each
// case states the sound behaviour; under the sanitizer build a fault shows
// as an AddressSanitizer or UndefinedBehaviorSanitizer report.
#include "gui_bench.h"
#include "n_log.h"
#include "n_gui.h"
#include "n_gui_draw.h"
#include "n_gui_kinds.h"
#include "n_gui_text.h"
#include "qv_test_support.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

using namespace qvgui;

namespace {

struct GuiReview : GuiTest {
    int win = -1;
    void SetUp() override {
        GuiTest::SetUp();
        win = n_gui_add_window(ctx.get(), "form", 0, 0, 600, 400);
        ASSERT_GE(win, 0);
    }
    N_GUI_CTX *c() { return ctx.get(); }
};

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

/* ---- texts handed back to their own setter ---- */

// A caller that re-sets a view's text (to reset its scroll, say) passes the
// pointer the getter gave it: the setter must not free it before copying.
TEST_F(GuiReview, SyntaxViewTakesBackItsOwnText) {
    const int v = n_gui_add_syntaxview(c(), win, N_GUI_SYNTAX_JSON, 0, 0, 300, 100);
    ASSERT_GE(v, 0);
    n_gui_syntaxview_set_text(c(), v, "{\n  \"theme\": \"dark\"\n}");
    n_gui_syntaxview_set_text(c(), v, n_gui_syntaxview_get_text(c(), v));
    const char *now = n_gui_syntaxview_get_text(c(), v);
    ASSERT_NE(now, nullptr);
    EXPECT_STREQ(now, "{\n  \"theme\": \"dark\"\n}");
}

// The hex view hands out its own buffer; writing it back must keep the bytes.
TEST_F(GuiReview, HexViewTakesBackItsOwnBytes) {
    const int h = n_gui_add_hexview(c(), win, 0, 0, 500, 100);
    ASSERT_GE(h, 0);
    const unsigned char bytes[] = {0x51, 0x56, 0x01, 0x00, 0x7F, 0xFF};
    n_gui_hexview_set_data(c(), h, bytes, sizeof bytes);
    unsigned char *own = nullptr;
    const size_t n = n_gui_hexview_get_data(c(), h, &own);
    ASSERT_EQ(n, sizeof bytes);
    n_gui_hexview_set_data(c(), h, own, n);
    unsigned char *now = nullptr;
    ASSERT_EQ(n_gui_hexview_get_data(c(), h, &now), sizeof bytes);
    EXPECT_EQ(memcmp(now, bytes, sizeof bytes), 0);
}

/* ---- sizes no buffer can hold ---- */

// max_length + 1 wraps to 0: the area gets a one-byte buffer while it keeps
// claiming SIZE_MAX, and every text set on it is silently dropped. It must
// refuse, or hold what it claims to hold.
TEST_F(GuiReview, TextAreaWithTheLargestMaximumIsRefusedOrHoldsItsText) {
    const int t = n_gui_add_textarea(c(), win, 0, SIZE_MAX, nullptr, nullptr, 0, 0, 200, 28);
    if (t < 0) return;  // a clean refusal is sound
    const auto *td = static_cast<N_GUI_TEXTAREA_DATA *>(n_gui_get_widget(c(), t)->data);
    EXPECT_LT(td->max_length, SIZE_MAX) << "the maximum claims more than the buffer has";
    n_gui_textarea_set_text(c(), t, "hello");
    EXPECT_EQ(n_gui_textarea_get_text_length(c(), t), 5u);
    EXPECT_STREQ(n_gui_textarea_get_text(c(), t), "hello");
}

/* ---- floats no layout can use ---- */

// A row count is an int: a height of NaN or beyond any display converts out
// of range (undefined behaviour) when the list box works out its rows.
TEST_F(GuiReview, ListBoxWithAnUnusableHeightStillScrollsSafely) {
    for (float h : {NaN, 1e30f}) {
        SCOPED_TRACE(h);
        const int l = n_gui_add_listbox(c(), win, N_GUI_SELECT_SINGLE, nullptr, nullptr, 0, 0, 200, h);
        if (l < 0) continue;  // refusing such a rectangle is sound too
        for (const char *t : {"Alice", "Bob", "Carol"}) n_gui_listbox_add_item(c(), l, t);
        n_gui_listbox_set_scroll_offset(c(), l, 2);
        const int off = n_gui_listbox_get_scroll_offset(c(), l);
        EXPECT_GE(off, 0);
        EXPECT_LE(off, 2);
    }
}

// Widgets and windows keep rectangles drawing can use: no NaN, no negative size.
TEST_F(GuiReview, RectanglesRejectNaNAndNegativeSizes) {
    const int b = n_gui_add_button(c(), win, "OK", 0, nullptr, nullptr, 0, 0, -40, NaN);
    if (b >= 0) {
        const N_GUI_WIDGET *w = n_gui_get_widget(c(), b);
        EXPECT_GE(w->w, 0) << "constructor kept a negative width";
        EXPECT_FALSE(std::isnan(w->h)) << "constructor kept a NaN height";
        n_gui_widget_set_rect(c(), b, 0, 0, NaN, NaN);
        EXPECT_FALSE(std::isnan(w->w)) << "n_gui_widget_set_rect kept a NaN width";
    }
    n_gui_window_set_rect(c(), win, 0, 0, NaN, NaN);
    const N_GUI_WINDOW *w = n_gui_get_window(c(), win);
    EXPECT_FALSE(std::isnan(w->w)) << "n_gui_window_set_rect kept a NaN width";
}

// A caller's bad layout arithmetic (0/0) reaches the drawing: the frame must
// be drawn without converting NaN to a pixel (undefined behaviour).
TEST_F(GuiReview, DrawingSurvivesAWidgetWithANaNRectangle) {
    const int l = n_gui_add_listbox(c(), win, N_GUI_SELECT_SINGLE, nullptr, nullptr, 10, 10, 200, 100);
    ASSERT_GE(l, 0);
    n_gui_listbox_add_item(c(), l, "Alice");
    n_gui_widget_set_rect(c(), l, 10, 10, 200, NaN);
    BitmapPtr target = memory_bitmap(640, 480);
    ASSERT_TRUE(target);
    al_set_target_bitmap(target.get());
    n_gui_draw(c());
    EXPECT_EQ(n_gui_needs_redraw(c()), 0);
}

// Clamped setters: NaN passes every comparison of a clamp unchanged.
TEST_F(GuiReview, ClampedSettersNeverStoreNaN) {
    const int sp = n_gui_add_splitpane(c(), win, N_GUI_HORIZONTAL, nullptr, nullptr, 0, 0, 300, 200, 0.5f);
    ASSERT_GE(sp, 0);
    n_gui_splitpane_set_ratio(c(), sp, NaN);
    const float r = n_gui_splitpane_get_ratio(c(), sp);
    EXPECT_FALSE(std::isnan(r));
    n_gui_splitpane_set_limits(c(), sp, NaN, NaN);
    const auto *sd = static_cast<N_GUI_SPLITPANE_DATA *>(n_gui_get_widget(c(), sp)->data);
    EXPECT_FALSE(std::isnan(sd->min_ratio) || std::isnan(sd->max_ratio) || std::isnan(sd->ratio));

    const int sb = n_gui_add_scrollbar(c(), win, N_GUI_VERTICAL, 0, nullptr, nullptr, 1000, 100, 0, 0, 12, 200);
    ASSERT_GE(sb, 0);
    n_gui_scrollbar_set_pos(c(), sb, std::nan(""));
    const double pos = n_gui_scrollbar_get_pos(c(), sb);
    EXPECT_FALSE(std::isnan(pos));
    EXPECT_GE(pos, 0.0);
    EXPECT_LE(pos, 900.0);
}

/* ---- saved layouts ---- */

// A window restored maximised from a saved layout has never been maximised
// by the toolkit, so its saved rectangle is still all zero: the first
// maximise (the user's "restore") must not shrink it to nothing.
TEST_F(GuiReview, WindowMaximisedFromALayoutRestoresToAUsableSize) {
    n_gui_set_display_size(c(), 1280, 720);
    std::vector<N_GUI_PENDING_GEOM> geoms(1);
    memset(geoms.data(), 0, sizeof(N_GUI_PENDING_GEOM));
    strcpy(geoms[0].title, "Chats");
    geoms[0].w = 1280;
    geoms[0].h = 720;
    geoms[0].state = N_GUI_WIN_STATE_OPEN | N_GUI_WIN_STATE_MAXIMISED;
    c()->pending_layout = geoms.data();
    c()->pending_layout_count = 1;
    const int w = n_gui_add_window(c(), "Chats", 100, 80, 400, 300);
    c()->pending_layout = nullptr;  // the array is the test's
    c()->pending_layout_count = 0;
    ASSERT_GE(w, 0);
    ASSERT_EQ(n_gui_window_is_maximised(c(), w), 1);
    n_gui_maximize_window(c(), w);
    EXPECT_EQ(n_gui_window_is_maximised(c(), w), 0);
    const N_GUI_WINDOW *win_rec = n_gui_get_window(c(), w);
    EXPECT_GE(win_rec->w, c()->style.min_win_w) << "restored to a width of " << win_rec->w;
    EXPECT_GE(win_rec->h, c()->style.min_win_h) << "restored to a height of " << win_rec->h;
}

// A saved layout is a file on disk: a damaged entry must not place a window
// at NaN.
TEST_F(GuiReview, LayoutEntryWithNaNCoordinatesIsNotTaken) {
    n_gui_set_display_size(c(), 1280, 720);
    std::vector<N_GUI_PENDING_GEOM> geoms(1);
    memset(geoms.data(), 0, sizeof(N_GUI_PENDING_GEOM));
    strcpy(geoms[0].title, "Settings");
    geoms[0].x = NaN;
    geoms[0].y = NaN;
    geoms[0].w = 500;
    geoms[0].h = 400;
    geoms[0].state = N_GUI_WIN_STATE_OPEN;
    c()->pending_layout = geoms.data();
    c()->pending_layout_count = 1;
    const int w = n_gui_add_window(c(), "Settings", 100, 80, 400, 300);
    c()->pending_layout = nullptr;
    c()->pending_layout_count = 0;
    ASSERT_GE(w, 0);
    const N_GUI_WINDOW *rec = n_gui_get_window(c(), w);
    EXPECT_FALSE(std::isnan(rec->x)) << "x taken from the damaged entry";
    EXPECT_FALSE(std::isnan(rec->y)) << "y taken from the damaged entry";
}

/* ---- z-order under allocation failure ---- */

// Raising moves the window to the end of the list and then re-sorts by
// class; the sort allocates, and when that fails a NORMAL window is left
// above an ALWAYS_ON_TOP one (lowering likewise leaves it under an
// ALWAYS_BEHIND one). The order must hold whatever memory does.
TEST_F(GuiReview, RaiseAndLowerKeepTheClassesWhenTheSortCannotAllocate) {
    const int top = n_gui_add_window(c(), "on top", 0, 0, 100, 100);
    n_gui_window_set_zorder(c(), top, N_GUI_ZORDER_ALWAYS_ON_TOP, 0);
    const int behind = n_gui_add_window(c(), "behind", 0, 0, 100, 100);
    n_gui_window_set_zorder(c(), behind, N_GUI_ZORDER_ALWAYS_BEHIND, 0);
    ASSERT_EQ(n_gui_get_topmost_open_window(c()), top);

    n_alloc_fail_after(0);
    n_gui_raise_window(c(), win);
    n_alloc_fail_after(-1);
    EXPECT_EQ(n_gui_get_topmost_open_window(c()), top) << "a NORMAL window was raised above an ALWAYS_ON_TOP one";

    n_gui_window_set_zorder(c(), win, N_GUI_ZORDER_NORMAL, 0);  // a sort that can allocate restores the order
    n_alloc_fail_after(0);
    n_gui_lower_window(c(), win);
    n_alloc_fail_after(-1);
    auto *first = static_cast<N_GUI_WINDOW *>(c()->windows->start->ptr);
    EXPECT_EQ(first->id, behind) << "a NORMAL window was lowered under an ALWAYS_BEHIND one";
}

/* ---- focus in a window that is no longer shown ---- */

// Closing a window drops the focus held inside it; toggling it closed does
// not, so keys keep going to a text area nobody sees (a sign-in window's
// password field, say).
TEST_F(GuiReview, TogglingAWindowClosedDropsTheFocusInsideIt) {
    const int pass = n_gui_add_textarea(c(), win, 0, 64, nullptr, nullptr, 10, 10, 200, 28);
    ASSERT_GE(pass, 0);
    n_gui_textarea_set_mask_char(c(), pass, '*');
    n_gui_set_focus(c(), pass);
    ASSERT_EQ(n_gui_get_focus(c()), pass);
    n_gui_toggle_window(c(), win);
    ASSERT_EQ(n_gui_window_is_open(c(), win), 0);
    EXPECT_EQ(n_gui_get_focus(c()), -1);
    EXPECT_EQ(n_gui_focus_takes_key(c(), ALLEGRO_KEY_A), 0) << "keys still go to the hidden password field";
}

/* ---- secrets ---- */

// A password field the user briefly reveals ("show password": mask off, then
// on again) and then clears: its text is wiped from the field, but the
// reveal drew it unmasked, and the measure cache, which lives as long as the
// context, still holds the password in the clear.
TEST_F(GuiReview, RevealedPasswordDoesNotOutliveTheFieldInTheMeasureCache) {
    const int pass = n_gui_add_textarea(c(), win, 0, 64, nullptr, nullptr, 10, 10, 300, 28);
    ASSERT_GE(pass, 0);
    n_gui_textarea_set_mask_char(c(), pass, '*');
    n_gui_textarea_set_text(c(), pass, "hunter2-horse");
    n_gui_set_focus(c(), pass);
    BitmapPtr target = memory_bitmap(640, 480);
    al_set_target_bitmap(target.get());
    n_gui_draw(c());
    n_gui_textarea_set_mask_char(c(), pass, 0);
    n_gui_draw(c());
    n_gui_textarea_set_mask_char(c(), pass, '*');
    n_gui_textarea_set_text(c(), pass, "");
    n_gui_draw(c());
    al_set_target_bitmap(nullptr);
    const char secret[] = "hunter2-horse";
    bool found = false;
    for (const N_GUI_MEAS_SLOT &slot : _ngui_meas_cache)
        if (slot.font && slot.len == sizeof secret - 1 && memcmp(slot.text, secret, slot.len) == 0) found = true;
    EXPECT_FALSE(found) << "the password is still in the measure cache";
}

// A field filled in the clear and only then masked (a form that turns a
// field into a password field, say): the text measured while it showed must
// leave the cache with the mask, and nothing typed later may enter it.
TEST_F(GuiReview, MaskingAFieldEvictsWhatWasMeasuredInTheClear) {
    const int pass = n_gui_add_textarea(c(), win, 0, 64, nullptr, nullptr, 10, 10, 300, 28);
    ASSERT_GE(pass, 0);
    n_gui_set_focus(c(), pass);
    BitmapPtr target = memory_bitmap(640, 480);
    al_set_target_bitmap(target.get());
    auto cached = [](const char *text) {
        for (const N_GUI_MEAS_SLOT &slot : _ngui_meas_cache)
            if (slot.font && slot.len == strlen(text) && memcmp(slot.text, text, slot.len) == 0) return true;
        return false;
    };
    n_gui_textarea_set_text(c(), pass, "correct-horse");
    n_gui_draw(c());
    ASSERT_TRUE(cached("correct-horse")) << "the case needs a text the cache took while it showed";
    n_gui_textarea_set_mask_char(c(), pass, '*');
    EXPECT_FALSE(cached("correct-horse"));
    n_gui_textarea_set_mask_char(c(), pass, 0);  // shown again
    n_gui_textarea_set_text(c(), pass, "battery-staple");
    n_gui_draw(c());
    al_set_target_bitmap(nullptr);
    EXPECT_FALSE(cached("battery-staple")) << "a field that has had a mask is measured through the cache";
}

/* ---- what a person reads ---- */

// The contrast of the darkest (light look) or brightest (dark look) pixel of
// the text drawn in a single-line text area against the area's background,
// read back from the pixels.
double drawn_text_contrast(ALLEGRO_FONT *font, const N_GUI_THEME &theme, ALLEGRO_COLOR clear, bool light,
                           const char *text, const char *placeholder) {
    CtxPtr ctx(n_gui_new_ctx(font));
    n_gui_set_default_theme(ctx.get(), theme);
    const int win = n_gui_add_window(ctx.get(), "form", 0, 0, 400, 120);
    const int t = n_gui_add_textarea(ctx.get(), win, 0, 64, nullptr, nullptr, 10, 10, 300, 30);
    n_gui_textarea_set_placeholder(ctx.get(), t, placeholder);
    n_gui_textarea_set_text(ctx.get(), t, text);
    BitmapPtr target = memory_bitmap(400, 120);
    al_set_target_bitmap(target.get());
    al_clear_to_color(clear);
    n_gui_draw(ctx.get());
    float x = 0, y = 0, w = 0, h = 0;
    n_gui_widget_screen_rect(ctx.get(), t, &x, &y, &w, &h);
    const ALLEGRO_COLOR bg = al_get_pixel(target.get(), static_cast<int>(x + w) - 6, static_cast<int>(y) + 4);
    ALLEGRO_COLOR ink = bg;
    auto lum = [](ALLEGRO_COLOR c) { return c.r + c.g + c.b; };
    for (int py = static_cast<int>(y) + 3; py < static_cast<int>(y + h) - 3; py++)
        for (int px = static_cast<int>(x) + 3; px < static_cast<int>(x + w) - 3; px++) {
            const ALLEGRO_COLOR c = al_get_pixel(target.get(), px, py);
            if (light ? lum(c) < lum(ink) : lum(c) > lum(ink)) ink = c;
        }
    al_set_target_bitmap(nullptr);
    return contrast(ink, bg);
}

// A placeholder tells the user what to type: it is text a person must read,
// so it needs the same 4.5:1 as body text. Drawn halfway between text and
// background it stays near 3:1 in both looks of the demonstration form.
TEST(GuiReviewPixels, PlaceholderTextIsReadableInBothLooks) {
    AllegroScope al;
    ASSERT_TRUE(al.ok);
    FontPtr font = dejavu("DejaVuSans.ttf", 14);
    ASSERT_TRUE(font);
    N_GUI_THEME light = n_gui_make_theme(al_map_rgb(252, 252, 253), al_map_rgb(238, 241, 246), al_map_rgb(222, 228, 240),
                                         al_map_rgb(168, 176, 192), al_map_rgb(130, 140, 160), al_map_rgb(60, 104, 196),
                                         al_map_rgb(28, 30, 36), al_map_rgb(16, 18, 24), al_map_rgb(16, 18, 24), 1, 6, 6);
    struct Look {
        const char *name;
        N_GUI_THEME theme;
        ALLEGRO_COLOR clear;
        bool light;
    } looks[] = {{"dark", n_gui_default_theme(), al_map_rgb(24, 26, 32), false},
                 {"light", light, al_map_rgb(232, 235, 240), true}};
    for (const Look &k : looks) {
        SCOPED_TRACE(k.name);
        const double typed = drawn_text_contrast(font.get(), k.theme, k.clear, k.light, "How others see you", "");
        EXPECT_GE(typed, 4.5) << "typed text";
        const double hint = drawn_text_contrast(font.get(), k.theme, k.clear, k.light, "", "How others see you");
        EXPECT_GE(hint, 4.5) << "placeholder";
    }
}

}  // namespace
