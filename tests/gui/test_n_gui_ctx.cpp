// The toolkit's context: initial state, the themes and style it hands out,
// theme derivation, the redraw rule, the cursor request and the clock.
#include "gui_bench.h"
#include "n_gui.h"
#include "n_gui_draw.h"
#include "qv_test_support.h"

#include <cmath>
#include <cstddef>
#include <functional>

using namespace qvgui;

namespace {

using GuiCtx = GuiTest;

TEST_F(GuiCtx, NewContextHoldsItsInitialValues) {
    N_GUI_CTX *c = ctx.get();
    EXPECT_EQ(c->windows->item_count, 0u);
    EXPECT_EQ(c->widgets_table->size, 256u);
    EXPECT_EQ(c->next_widget_id, 1);
    EXPECT_EQ(c->next_window_id, 1);
    EXPECT_EQ(c->default_font, font.get());
    EXPECT_EQ(c->focused_widget_id, -1);
    EXPECT_EQ(c->cursor_applied, 1);
    EXPECT_EQ(c->cursor_requested, 1);
    EXPECT_EQ(c->custom_cursor_applied, nullptr);
    EXPECT_EQ(c->captured_widget_id, -1);
    EXPECT_EQ(c->last_click_x, -10000);
    EXPECT_EQ(c->last_click_y, -10000);
    EXPECT_EQ(c->double_clicked_widget_id, -1);
    EXPECT_DOUBLE_EQ(c->double_click_time, 0.4);
    EXPECT_EQ(c->double_click_radius, 4);
    EXPECT_EQ(c->tooltip_widget_id, -1);
    EXPECT_EQ(c->press_x, -10000);
    EXPECT_EQ(c->open_combobox, -1);
    EXPECT_EQ(c->pointer_holder, -1);
    EXPECT_EQ(c->open_dropmenu, -1);
    EXPECT_EQ(c->suggest_textarea, -1);
    EXPECT_EQ(c->display_size_set, 0);
    EXPECT_FLOAT_EQ(c->dpi_scale, 1.0f);
    EXPECT_FLOAT_EQ(c->canvas_scale, 1.0f);
    EXPECT_EQ(c->style.shape_mode, -1);
    EXPECT_EQ(c->resize_mode, 0);
    EXPECT_EQ(c->pending_layout, nullptr);
    EXPECT_EQ(c->pending_widgets, nullptr);
    EXPECT_EQ(c->event_queue, nullptr);
    EXPECT_EQ(c->dirty, 1);
    EXPECT_DOUBLE_EQ(c->redraw_until, 0);
    EXPECT_EQ(rgba(c->default_theme.bg_normal), rgba(n_gui_default_theme().bg_normal));
    EXPECT_EQ(rgba(c->tb_close_theme.bg_hover), (Rgba{232, 17, 35, 220}));
}

TEST(GuiCtxRefusals, NoFontNoContextAndDestroyChecksItsHandle) {
    AllegroScope al;
    qvtest::LogCapture log;
    EXPECT_EQ(n_gui_new_ctx(nullptr), nullptr);
    EXPECT_TRUE(log.contains("if( !(default_font) ) assert")) << log.text();
    log.clear();
    N_GUI_CTX *none = nullptr;
    n_gui_destroy_ctx(&none);
    n_gui_destroy_ctx(nullptr);
    EXPECT_TRUE(log.contains("if( !(ctx && *ctx) ) assert")) << log.text();
}

TEST_F(GuiCtx, DestroyFreesEverythingAndNullsTheHandle) {
    int win = n_gui_add_window(ctx.get(), "w", 0, 0, 200, 100);
    ASSERT_GE(win, 1);
    ASSERT_GE(n_gui_add_button(ctx.get(), win, "b", 0, nullptr, nullptr, 0, 0, 10, 10), 1);
    ASSERT_GE(n_gui_add_textarea(ctx.get(), win, 1, 0, nullptr, nullptr, 0, 0, 10, 10), 1);
    N_GUI_CTX *c = ctx.release();
    n_gui_destroy_ctx(&c);  // AddressSanitizer reports any leak of windows, widgets or kind data
    EXPECT_EQ(c, nullptr);
}

/* ---- themes ---- */

struct ThemeRow {
    const char *name;
    N_GUI_THEME theme;
    Rgba bg[3], border[3], text[3];
    float thickness, rx, ry;
    Rgba selection;
};

TEST(GuiThemes, TheToolkitsThemesHoldTheirTableValues) {
    const ThemeRow rows[] = {
        {"default", n_gui_default_theme(),
         {{50, 50, 60, 230}, {70, 70, 85, 240}, {90, 90, 110, 250}},
         {{120, 120, 140, 255}, {160, 160, 180, 255}, {200, 200, 220, 255}},
         {{220, 220, 220, 255}, {255, 255, 255, 255}, {255, 255, 255, 255}}, 1, 4, 4, {50, 100, 200, 120}},
        {"title-bar button", n_gui_default_tb_btn_theme(),
         {{0, 0, 0, 0}, {255, 255, 255, 40}, {255, 255, 255, 80}},
         {{0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}},
         {{200, 200, 200, 255}, {255, 255, 255, 255}, {255, 255, 255, 255}}, 0, 2, 2, {0, 0, 0, 0}},
        {"title-bar close", n_gui_default_tb_close_theme(),
         {{0, 0, 0, 0}, {232, 17, 35, 220}, {200, 10, 25, 255}},
         {{0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}},
         {{200, 200, 200, 255}, {255, 255, 255, 255}, {255, 255, 255, 255}}, 0, 2, 2, {0, 0, 0, 0}},
    };
    for (const ThemeRow &r : rows) {
        SCOPED_TRACE(r.name);
        const N_GUI_THEME &t = r.theme;
        EXPECT_EQ(rgba(t.bg_normal), r.bg[0]);
        EXPECT_EQ(rgba(t.bg_hover), r.bg[1]);
        EXPECT_EQ(rgba(t.bg_active), r.bg[2]);
        EXPECT_EQ(rgba(t.border_normal), r.border[0]);
        EXPECT_EQ(rgba(t.border_hover), r.border[1]);
        EXPECT_EQ(rgba(t.border_active), r.border[2]);
        EXPECT_EQ(rgba(t.text_normal), r.text[0]);
        EXPECT_EQ(rgba(t.text_hover), r.text[1]);
        EXPECT_EQ(rgba(t.text_active), r.text[2]);
        EXPECT_FLOAT_EQ(t.border_thickness, r.thickness);
        EXPECT_FLOAT_EQ(t.corner_rx, r.rx);
        EXPECT_FLOAT_EQ(t.corner_ry, r.ry);
        EXPECT_EQ(rgba(t.selection_color), r.selection);
    }
}

TEST(GuiThemes, MakeThemeKeepsItsArgumentsAndFixesTheSelection) {
    auto c = [](int v) { return al_map_rgba(v, v + 1, v + 2, 255); };
    N_GUI_THEME t = n_gui_make_theme(c(10), c(20), c(30), c(40), c(50), c(60), c(70), c(80), c(90), 2.5f, 6, 7);
    EXPECT_EQ(rgba(t.bg_normal), (Rgba{10, 11, 12, 255}));
    EXPECT_EQ(rgba(t.bg_active), (Rgba{30, 31, 32, 255}));
    EXPECT_EQ(rgba(t.border_hover), (Rgba{50, 51, 52, 255}));
    EXPECT_EQ(rgba(t.text_active), (Rgba{90, 91, 92, 255}));
    EXPECT_FLOAT_EQ(t.border_thickness, 2.5f);
    EXPECT_FLOAT_EQ(t.corner_rx, 6);
    EXPECT_FLOAT_EQ(t.corner_ry, 7);
    EXPECT_EQ(rgba(t.selection_color), (Rgba{50, 100, 200, 120}));
}

// Body text must be readable: the default look keeps at least 4.5:1 between
// text and the background it is drawn on, laid over a black display.
TEST(GuiThemes, DefaultThemeTextHasEnoughContrast) {
    const N_GUI_THEME t = n_gui_default_theme();
    const ALLEGRO_COLOR black{0, 0, 0, 1};
    struct Pair {
        const char *what;
        ALLEGRO_COLOR text, bg;
    } pairs[] = {{"normal", t.text_normal, t.bg_normal}, {"hover", t.text_hover, t.bg_hover},
                 {"active", t.text_active, t.bg_active}};
    for (const Pair &p : pairs) {
        SCOPED_TRACE(p.what);
        EXPECT_GE(contrast(p.text, over(p.bg, black)), 4.5);
    }
}

TEST(GuiStyle, DefaultStyleHoldsEveryTableValue) {
    const N_GUI_STYLE s = n_gui_default_style();
    struct Num {
        const char *name;
        double got, want;
    } nums[] = {
        {"titlebar_h", s.titlebar_h, 28}, {"min_win_w", s.min_win_w, 120}, {"min_win_h", s.min_win_h, 60},
        {"title_padding", s.title_padding, 8}, {"title_max_w_reserve", s.title_max_w_reserve, 16},
        {"tb_btn_size", s.tb_btn_size, 0}, {"tb_btn_spacing", s.tb_btn_spacing, 2},
        {"tb_btn_right_margin", s.tb_btn_right_margin, 4}, {"tb_btn_glyph_thickness", s.tb_btn_glyph_thickness, 1.5},
        {"scrollbar_size", s.scrollbar_size, 12}, {"scrollbar_thumb_min", s.scrollbar_thumb_min, 16},
        {"scrollbar_thumb_padding", s.scrollbar_thumb_padding, 2}, {"scrollbar_thumb_corner_r", s.scrollbar_thumb_corner_r, 3},
        {"global_scrollbar_size", s.global_scrollbar_size, 14}, {"global_scrollbar_thumb_min", s.global_scrollbar_thumb_min, 20},
        {"global_scrollbar_thumb_padding", s.global_scrollbar_thumb_padding, 2},
        {"global_scrollbar_thumb_corner_r", s.global_scrollbar_thumb_corner_r, 4},
        {"global_scrollbar_border_thickness", s.global_scrollbar_border_thickness, 1}, {"grip_size", s.grip_size, 12},
        {"grip_line_thickness", s.grip_line_thickness, 1}, {"slider_track_size", s.slider_track_size, 6},
        {"slider_track_corner_r", s.slider_track_corner_r, 3},
        {"slider_track_border_thickness", s.slider_track_border_thickness, 1},
        {"slider_handle_min_r", s.slider_handle_min_r, 4}, {"slider_handle_edge_offset", s.slider_handle_edge_offset, 2},
        {"slider_handle_border_thickness", s.slider_handle_border_thickness, 1.5},
        {"slider_value_label_offset", s.slider_value_label_offset, 8}, {"tooltip_delay", s.tooltip_delay, 0.6},
        {"tooltip_max_w", s.tooltip_max_w, 480}, {"textarea_padding", s.textarea_padding, 4},
        {"textarea_cursor_width", s.textarea_cursor_width, 2},
        {"textarea_cursor_blink_period", s.textarea_cursor_blink_period, 1}, {"checkbox_max_size", s.checkbox_max_size, 20},
        {"checkbox_mark_margin", s.checkbox_mark_margin, 4}, {"checkbox_mark_thickness", s.checkbox_mark_thickness, 2},
        {"checkbox_label_gap", s.checkbox_label_gap, 10}, {"checkbox_label_offset", s.checkbox_label_offset, 6},
        {"radio_circle_min_r", s.radio_circle_min_r, 4},
        {"radio_circle_border_thickness", s.radio_circle_border_thickness, 1.5},
        {"radio_inner_offset", s.radio_inner_offset, 3}, {"radio_label_gap", s.radio_label_gap, 6},
        {"listbox_default_item_height", s.listbox_default_item_height, 20},
        {"radiolist_default_item_height", s.radiolist_default_item_height, 22},
        {"combobox_max_visible", static_cast<double>(s.combobox_max_visible), 6},
        {"dropmenu_max_visible", static_cast<double>(s.dropmenu_max_visible), 12},
        {"item_text_padding", s.item_text_padding, 6}, {"item_selection_inset", s.item_selection_inset, 1},
        {"item_height_pad", s.item_height_pad, 4}, {"dropdown_arrow_reserve", s.dropdown_arrow_reserve, 16},
        {"dropdown_arrow_thickness", s.dropdown_arrow_thickness, 1.5}, {"dropdown_arrow_half_h", s.dropdown_arrow_half_h, 3},
        {"dropdown_arrow_half_w", s.dropdown_arrow_half_w, 5},
        {"dropdown_border_thickness", s.dropdown_border_thickness, 1},
        {"shape_mode", static_cast<double>(s.shape_mode), -1}, {"label_padding", s.label_padding, 4},
        {"link_underline_thickness", s.link_underline_thickness, 1}, {"scroll_step", s.scroll_step, 20},
        {"global_scroll_step", s.global_scroll_step, 30}, {"combobox_max_dropdown_width", s.combobox_max_dropdown_width, 0},
    };
    for (const Num &n : nums) EXPECT_NEAR(n.got, n.want, 1e-6) << n.name;
    struct Col {
        const char *name;
        ALLEGRO_COLOR got;
        Rgba want;
    } cols[] = {
        {"scrollbar_track_color", s.scrollbar_track_color, {40, 40, 50, 200}},
        {"scrollbar_thumb_color", s.scrollbar_thumb_color, {120, 120, 140, 220}},
        {"global_scrollbar_track_color", s.global_scrollbar_track_color, {30, 30, 40, 200}},
        {"global_scrollbar_thumb_color", s.global_scrollbar_thumb_color, {100, 100, 120, 220}},
        {"global_scrollbar_thumb_border_color", s.global_scrollbar_thumb_border_color, {140, 140, 160, 255}},
        {"grip_color", s.grip_color, {160, 160, 180, 200}},
        {"tooltip_bg_color", s.tooltip_bg_color, {28, 30, 36, 240}},
        {"tooltip_border_color", s.tooltip_border_color, {110, 115, 130, 255}},
        {"tooltip_text_color", s.tooltip_text_color, {225, 225, 230, 255}},
        {"link_color_normal", s.link_color_normal, {80, 140, 220, 255}},
        {"link_color_hover", s.link_color_hover, {120, 180, 255, 255}},
    };
    for (const Col &c : cols) EXPECT_EQ(rgba(c.got), c.want) << c.name;
    // the record is the table in its order: the tooltip fields sit between
    // the slider label offset and the text-area padding
    EXPECT_LT(offsetof(N_GUI_STYLE, slider_value_label_offset), offsetof(N_GUI_STYLE, tooltip_delay));
    EXPECT_LT(offsetof(N_GUI_STYLE, tooltip_max_w), offsetof(N_GUI_STYLE, textarea_padding));
    EXPECT_LT(offsetof(N_GUI_STYLE, global_scroll_step), offsetof(N_GUI_STYLE, combobox_max_dropdown_width));
}

TEST_F(GuiCtx, SettingTheDefaultThemeRecoloursOnlyWhatComesLaterAndDerivesTheStyle) {
    const int before_win = n_gui_add_window(ctx.get(), "before", 0, 0, 100, 100);
    const int before_btn = n_gui_add_button(ctx.get(), before_win, "b", 0, nullptr, nullptr, 0, 0, 10, 10);
    const N_GUI_STYLE style_before = ctx->style;
    N_GUI_THEME t = n_gui_make_theme(al_map_rgba(10, 20, 30, 255), al_map_rgba(1, 2, 3, 255), al_map_rgba(40, 50, 60, 255),
                                     al_map_rgba(70, 80, 90, 255), al_map_rgba(1, 1, 1, 255), al_map_rgba(2, 2, 2, 255),
                                     al_map_rgba(100, 110, 120, 255), al_map_rgba(3, 3, 3, 255),
                                     al_map_rgba(4, 4, 4, 255), 1, 2, 2);
    ctx->dirty = 0;
    n_gui_set_default_theme(ctx.get(), t);
    EXPECT_EQ(ctx->dirty, 1);
    EXPECT_EQ(rgba(n_gui_get_window(ctx.get(), before_win)->theme.bg_normal), (Rgba{50, 50, 60, 230}));
    EXPECT_EQ(rgba(n_gui_get_widget(ctx.get(), before_btn)->theme.bg_normal), (Rgba{50, 50, 60, 230}));
    const int after_win = n_gui_add_window(ctx.get(), "after", 0, 0, 100, 100);
    const int after_btn = n_gui_add_button(ctx.get(), after_win, "b", 0, nullptr, nullptr, 0, 0, 10, 10);
    EXPECT_EQ(rgba(n_gui_get_window(ctx.get(), after_win)->theme.bg_normal), (Rgba{10, 20, 30, 255}));
    EXPECT_EQ(rgba(n_gui_get_widget(ctx.get(), after_btn)->theme.bg_normal), (Rgba{10, 20, 30, 255}));

    const N_GUI_STYLE &s = ctx->style;
    auto near = [](ALLEGRO_COLOR c, int r, int g, int b, float a) {
        return rgba(c).r == r && rgba(c).g == g && rgba(c).b == b && std::abs(c.a - a) < 1e-6f;
    };
    EXPECT_TRUE(near(s.scrollbar_track_color, 10, 20, 30, 0.78f));
    EXPECT_TRUE(near(s.scrollbar_thumb_color, 70, 80, 90, 0.86f));
    EXPECT_TRUE(near(s.global_scrollbar_track_color, 40, 50, 60, 0.78f));
    EXPECT_TRUE(near(s.global_scrollbar_thumb_color, 70, 80, 90, 0.86f));
    EXPECT_TRUE(near(s.global_scrollbar_thumb_border_color, 100, 110, 120, 0.5f));
    for (const N_GUI_THEME *tb : {&ctx->tb_btn_theme, &ctx->tb_close_theme}) {
        EXPECT_TRUE(near(tb->text_normal, 100, 110, 120, 0.8f));
        EXPECT_EQ(rgba(tb->text_hover), (Rgba{3, 3, 3, 255}));
        EXPECT_EQ(rgba(tb->text_active), (Rgba{4, 4, 4, 255}));
    }
    // nothing else of the style moves
    EXPECT_FLOAT_EQ(s.titlebar_h, style_before.titlebar_h);
    EXPECT_EQ(rgba(s.grip_color), rgba(style_before.grip_color));
    EXPECT_EQ(rgba(s.tooltip_bg_color), rgba(style_before.tooltip_bg_color));
    EXPECT_EQ(rgba(ctx->tb_close_theme.bg_hover), (Rgba{232, 17, 35, 220}));
    // a window made now carries the derived title-bar themes
    EXPECT_TRUE(near(n_gui_get_window(ctx.get(), after_win)->tb_btn_theme.text_normal, 100, 110, 120, 0.8f));
    n_gui_set_default_theme(nullptr, t);  // no context: nothing happens
}

// Links are read on the window body: a theme keeps the named link colours
// where they read on it, moves them towards its own text where they do not,
// and keeps them where its text gives no better choice.
TEST_F(GuiCtx, LinkColoursAreDerivedFromTheThemeOnlyWhereTheNamedOnesCannotBeRead) {
    const N_GUI_STYLE named = n_gui_default_style();
    auto theme = [](ALLEGRO_COLOR bg, ALLEGRO_COLOR text) {
        return n_gui_make_theme(bg, bg, bg, text, text, text, text, text, text, 1, 0, 0);
    };
    const ALLEGRO_COLOR black = al_map_rgb(0, 0, 0), white = al_map_rgb(255, 255, 255), grey = al_map_rgb(128, 128, 128);
    struct Case {
        const char *name;
        N_GUI_THEME theme;
        bool moved;
    } cases[] = {{"named colours read on black", theme(black, white), false},
                 {"on white they move towards the text", theme(white, black), true},
                 {"a faint text gives no choice", theme(grey, al_map_rgb(150, 150, 150)), false}};
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        n_gui_set_default_theme(ctx.get(), k.theme);
        const N_GUI_STYLE &s = ctx->style;
        if (!k.moved) {
            EXPECT_EQ(rgba(s.link_color_normal), rgba(named.link_color_normal));
            EXPECT_EQ(rgba(s.link_color_hover), rgba(named.link_color_hover));
            continue;
        }
        EXPECT_GE(contrast(s.link_color_normal, k.theme.bg_normal), 4.5);
        EXPECT_GE(contrast(s.link_color_hover, k.theme.bg_normal), 4.5);
        // still a link colour, not the text's
        EXPECT_GT(s.link_color_normal.b, s.link_color_normal.r + 0.1f);
        EXPECT_GT(s.link_color_hover.b, s.link_color_hover.r + 0.1f);
    }
    // a new context derives them for the default theme, whose body takes the named colour at 3.8:1
    CtxPtr fresh(n_gui_new_ctx(font.get()));
    ASSERT_TRUE(fresh);
    const N_GUI_THEME d = n_gui_default_theme();
    const ALLEGRO_COLOR body = over(d.bg_normal, over(d.bg_normal, black));
    EXPECT_LT(contrast(named.link_color_normal, body), 4.5);
    EXPECT_GE(contrast(fresh->style.link_color_normal, body), 4.5);
}

TEST_F(GuiCtx, DefaultFontIsRequiredAndReplaced) {
    qvtest::LogCapture log;
    EXPECT_EQ(n_gui_set_default_font(ctx.get(), nullptr), 0);
    EXPECT_TRUE(log.contains("if( !(font) ) assert")) << log.text();
    EXPECT_EQ(n_gui_set_default_font(nullptr, font.get()), 0);
    FontPtr other = builtin_font();
    EXPECT_EQ(n_gui_set_default_font(ctx.get(), other.get()), 1);
    EXPECT_EQ(ctx->default_font, other.get());
}

TEST_F(GuiCtx, TextDimsAreAllegrosAndZeroWithoutText) {
    int x = 9, y = 9, w = 9, h = 9;
    n_gui_get_text_dims(font.get(), nullptr, &x, &y, &w, &h);
    EXPECT_EQ(x + y + w + h, 0);
    n_gui_get_text_dims(nullptr, "abc", &x, &y, &w, &h);
    EXPECT_EQ(x + y + w + h, 0);
    int ax, ay, aw, ah;
    al_get_text_dimensions(font.get(), "Hello", &ax, &ay, &aw, &ah);
    n_gui_get_text_dims(font.get(), "Hello", &x, &y, &w, &h);
    EXPECT_EQ(x, ax);
    EXPECT_EQ(y, ay);
    EXPECT_EQ(w, aw);
    EXPECT_EQ(h, ah);
    EXPECT_GT(w, 0);
    n_gui_get_text_dims(font.get(), "Hello", nullptr, nullptr, nullptr, nullptr);  // outputs are optional
}

/* ---- redraw rule ---- */

TEST_F(GuiCtx, NeedsRedrawFollowsDirtyTheRedrawWindowAndABlinkingCaret) {
    FakeClock clock(100.0);
    EXPECT_EQ(n_gui_needs_redraw(nullptr), 1);
    EXPECT_EQ(n_gui_needs_redraw(ctx.get()), 1) << "a new context has never been drawn";
    BitmapPtr target = memory_bitmap(64, 64);
    al_set_target_bitmap(target.get());
    n_gui_draw(ctx.get());
    EXPECT_EQ(ctx->dirty, 0);
    EXPECT_EQ(n_gui_needs_redraw(ctx.get()), 0);
    n_gui_mark_dirty(ctx.get());
    EXPECT_EQ(n_gui_needs_redraw(ctx.get()), 1);
    ctx->dirty = 0;

    ctx->redraw_until = 100.5;
    EXPECT_EQ(n_gui_needs_redraw(ctx.get()), 1);
    clock.set(100.5);
    EXPECT_EQ(n_gui_needs_redraw(ctx.get()), 0) << "the window ends at its time";
    ctx->redraw_until = 0;

    const int win = n_gui_add_window(ctx.get(), "w", 0, 0, 100, 100);
    const int text = n_gui_add_textarea(ctx.get(), win, 0, 10, nullptr, nullptr, 0, 0, 50, 20);
    const int button = n_gui_add_button(ctx.get(), win, "b", 0, nullptr, nullptr, 0, 30, 50, 20);
    n_gui_set_focus(ctx.get(), button);
    ctx->dirty = 0;
    EXPECT_EQ(n_gui_needs_redraw(ctx.get()), 0);
    n_gui_set_focus(ctx.get(), text);
    ctx->dirty = 0;
    EXPECT_EQ(n_gui_needs_redraw(ctx.get()), 1) << "a focused text area blinks its caret";
    al_set_target_bitmap(nullptr);
}

TEST_F(GuiCtx, ChangesThatShowSetTheDirtyFlag) {
    struct Change {
        const char *what;
        std::function<void(N_GUI_CTX *)> run;
    };
    const int win = n_gui_add_window(ctx.get(), "w", 0, 0, 100, 100);
    const int label = n_gui_add_label(ctx.get(), win, "x", 0, 0, 0, 50, 20);
    const Change changes[] = {
        {"add window", [](N_GUI_CTX *c) { n_gui_add_window(c, "v", 0, 0, 10, 10); }},
        {"add widget", [win](N_GUI_CTX *c) { n_gui_add_label(c, win, "y", 0, 0, 0, 10, 10); }},
        {"focus", [label](N_GUI_CTX *c) { n_gui_set_focus(c, label); }},
        {"rectangle", [label](N_GUI_CTX *c) { n_gui_widget_set_rect(c, label, 1, 1, 5, 5); }},
        {"close window", [win](N_GUI_CTX *c) { n_gui_close_window(c, win); }},
        {"open window", [win](N_GUI_CTX *c) { n_gui_open_window(c, win); }},
        {"visibility", [label](N_GUI_CTX *c) { n_gui_set_widget_visible(c, label, 0); }},
        {"mark", [](N_GUI_CTX *c) { n_gui_mark_dirty(c); }},
    };
    for (const Change &ch : changes) {
        SCOPED_TRACE(ch.what);
        ctx->dirty = 0;
        ch.run(ctx.get());
        EXPECT_EQ(ctx->dirty, 1);
    }
}

/* ---- cursor ---- */

TEST_F(GuiCtx, CursorRequestsAreRecordedAndAppliedUnlessDeferred) {
    ALLEGRO_MOUSE_CURSOR *custom = nullptr;
    EXPECT_EQ(n_gui_get_cursor(ctx.get(), &custom), 1);
    // without a display the request counts as applied
    n_gui_set_cursor(ctx.get(), ALLEGRO_SYSTEM_MOUSE_CURSOR_EDIT, nullptr);
    EXPECT_EQ(n_gui_get_cursor(ctx.get(), &custom), ALLEGRO_SYSTEM_MOUSE_CURSOR_EDIT);
    EXPECT_EQ(custom, nullptr);

    ctx->defer_cursor = 1;
    n_gui_set_cursor(ctx.get(), ALLEGRO_SYSTEM_MOUSE_CURSOR_LINK, nullptr);
    EXPECT_EQ(ctx->cursor_requested, ALLEGRO_SYSTEM_MOUSE_CURSOR_LINK);
    EXPECT_EQ(n_gui_get_cursor(ctx.get(), nullptr), ALLEGRO_SYSTEM_MOUSE_CURSOR_EDIT) << "deferred: nothing applied";
    _n_gui_apply_cursor(ctx.get());
    EXPECT_EQ(n_gui_get_cursor(ctx.get(), nullptr), ALLEGRO_SYSTEM_MOUSE_CURSOR_LINK);

    // a custom cursor takes precedence over the system id given with it
    auto *fake = reinterpret_cast<ALLEGRO_MOUSE_CURSOR *>(&custom);  // never dereferenced without a display
    ctx->defer_cursor = 0;
    n_gui_set_cursor(ctx.get(), ALLEGRO_SYSTEM_MOUSE_CURSOR_DEFAULT, fake);
    EXPECT_EQ(n_gui_get_cursor(ctx.get(), &custom), ALLEGRO_SYSTEM_MOUSE_CURSOR_LINK);
    EXPECT_EQ(custom, fake);
    n_gui_set_cursor(ctx.get(), ALLEGRO_SYSTEM_MOUSE_CURSOR_DEFAULT, nullptr);
    EXPECT_EQ(n_gui_get_cursor(ctx.get(), &custom), ALLEGRO_SYSTEM_MOUSE_CURSOR_DEFAULT);
    EXPECT_EQ(custom, nullptr) << "a system cursor forgets the custom one";

    EXPECT_EQ(n_gui_get_cursor(nullptr, &custom), 1);
    EXPECT_EQ(custom, nullptr);
}

/* ---- clock ---- */

TEST(GuiClock, TheToolkitReadsTheTestsClockOnlyWhileItIsSet) {
    AllegroScope al;
    {
        FakeClock clock(5.0);
        EXPECT_DOUBLE_EQ(n_gui_get_time(), 5.0);
        clock.advance(0.25);
        EXPECT_DOUBLE_EQ(n_gui_get_time(), 5.25);
    }
    const double a = al_get_time(), t = n_gui_get_time(), b = al_get_time();
    EXPECT_GE(t, a);
    EXPECT_LE(t, b);
}

}  // namespace
