// Toolkit widgets: what every constructor stores, what the common
// operations do, buttons, focus, tooltips, persist keys, and constructors
// that fail at each of their allocations in turn.
#include "gui_bench.h"
#include "n_gui.h"
#include "n_gui_kinds.h"
#include "qv_test_support.h"

#include <functional>
#include <set>
#include <string>
#include <vector>

using namespace qvgui;

namespace {

struct GuiWidget : GuiTest {
    int win = -1;
    void SetUp() override {
        GuiTest::SetUp();
        win = n_gui_add_window(ctx.get(), "form", 0, 0, 400, 300);
        ASSERT_GE(win, 1);
    }
    N_GUI_WIDGET *get(int id) { return n_gui_get_widget(ctx.get(), id); }
    template <class T> T *data(int id) { return static_cast<T *>(get(id)->data); }
};

void noop_button(int, void *) {}

/* ---- constructors ---- */

TEST_F(GuiWidget, IdsAreSharedByAllKindsAndEveryWidgetStartsTheSameWay) {
    const int b = n_gui_add_button(ctx.get(), win, "Send", N_GUI_SHAPE_ROUNDED, noop_button, this, 10, 20, 100, 30);
    const int l = n_gui_add_label(ctx.get(), win, "Name", 0, 10, 60, 100, 20);
    EXPECT_EQ(b, 1);
    EXPECT_EQ(l, 2);
    N_GUI_WIDGET *w = get(b);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->kind, N_GUI_TYPE_BUTTON);
    EXPECT_FLOAT_EQ(w->x, 10);
    EXPECT_FLOAT_EQ(w->h, 30);
    EXPECT_EQ(w->state, 0);
    EXPECT_EQ(w->visible, 1);
    EXPECT_EQ(w->enabled, 1);
    EXPECT_EQ(w->font, nullptr);
    EXPECT_EQ(w->tooltip, nullptr);
    EXPECT_STREQ(w->persist_key, "");
    EXPECT_FLOAT_EQ(w->norm_x, 10.0f / 400);
    EXPECT_FLOAT_EQ(w->norm_h, 30.0f / 300);
    EXPECT_EQ(rgba(w->theme.bg_normal), rgba(ctx->default_theme.bg_normal));
    EXPECT_EQ(n_gui_get_window(ctx.get(), win)->widgets->item_count, 2u);
    EXPECT_EQ(get(99), nullptr);
    qvtest::LogCapture log;
    EXPECT_EQ(n_gui_add_button(ctx.get(), 42, "x", 0, nullptr, nullptr, 0, 0, 1, 1), -1);
    EXPECT_TRUE(log.contains("if( !(win) ) assert")) << log.text();
    EXPECT_EQ(n_gui_add_label(nullptr, win, "x", 0, 0, 0, 1, 1), -1);
    EXPECT_EQ(n_gui_add_label(ctx.get(), win, "next", 0, 0, 0, 1, 1), 3) << "refusals use up no id";
}

TEST_F(GuiWidget, ButtonsAndTheirVariants) {
    int user = 0;
    std::string long_label(130, 'x');
    const int b = n_gui_add_button(ctx.get(), win, long_label.c_str(), 1, noop_button, &user, 0, 0, 10, 10);
    auto *bd = data<N_GUI_BUTTON_DATA>(b);
    EXPECT_EQ(std::string(bd->label), std::string(127, 'x'));
    EXPECT_EQ(bd->shape, 1);
    EXPECT_EQ(bd->callback, &noop_button);
    EXPECT_EQ(bd->user_data, &user);
    EXPECT_EQ(bd->normal, nullptr);
    EXPECT_EQ(bd->glyph, 0);
    EXPECT_EQ(bd->toggle_mode, 0);
    EXPECT_EQ(bd->keycode, 0);
    int marks[3];  // stand-ins: stored, never drawn here
    auto *n = reinterpret_cast<ALLEGRO_BITMAP *>(&marks[0]), *h = reinterpret_cast<ALLEGRO_BITMAP *>(&marks[1]),
         *a = reinterpret_cast<ALLEGRO_BITMAP *>(&marks[2]);
    const int bb = n_gui_add_button_bitmap(ctx.get(), win, n, h, a, noop_button, nullptr, 0, 0, 10, 10);
    EXPECT_EQ(data<N_GUI_BUTTON_DATA>(bb)->shape, N_GUI_SHAPE_BITMAP);
    EXPECT_EQ(data<N_GUI_BUTTON_DATA>(bb)->normal, n);
    EXPECT_EQ(data<N_GUI_BUTTON_DATA>(bb)->hover, h);
    EXPECT_EQ(data<N_GUI_BUTTON_DATA>(bb)->active, a);
    const int tb = n_gui_add_toggle_button(ctx.get(), win, "Bold", 0, 5, nullptr, nullptr, 0, 0, 10, 10);
    EXPECT_EQ(data<N_GUI_BUTTON_DATA>(tb)->toggle_mode, 1);
    EXPECT_EQ(data<N_GUI_BUTTON_DATA>(tb)->toggled, 1);
}

TEST_F(GuiWidget, SliderConstructorLimitsItsValue) {
    struct Case {
        const char *name;
        int mode;
        double min, max, value, want_min, want_max, want_value;
    } cases[] = {
        {"percent ignores its range", N_GUI_SLIDER_PERCENT, 5, 7, 50, 0, 100, 50},
        {"value above the range", N_GUI_SLIDER_VALUE, 0, 10, 12, 0, 10, 10},
        {"value below the range", N_GUI_SLIDER_VALUE, 0, 10, -3, 0, 10, 0},
        {"inside", N_GUI_SLIDER_VALUE, -1, 1, 0.25, -1, 1, 0.25},
        {"minimum above maximum", N_GUI_SLIDER_VALUE, 8, 2, 5, 8, 2, 8},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const int id = n_gui_add_slider(ctx.get(), win, c.mode, nullptr, nullptr, c.min, c.max, c.value, 0, 0, 100, 20);
        auto *sd = data<N_GUI_SLIDER_DATA>(id);
        EXPECT_DOUBLE_EQ(sd->min, c.want_min);
        EXPECT_DOUBLE_EQ(sd->max, c.want_max);
        EXPECT_DOUBLE_EQ(sd->value, c.want_value);
        EXPECT_DOUBLE_EQ(sd->step, 0);
        EXPECT_EQ(sd->orientation, N_GUI_HORIZONTAL);
        EXPECT_EQ(sd->show_value, 1);
        EXPECT_STREQ(sd->value_format, "");
    }
    const int v = n_gui_add_vslider(ctx.get(), win, N_GUI_SLIDER_VALUE, nullptr, nullptr, 0, 1, 0, 0, 0, 20, 100);
    EXPECT_EQ(data<N_GUI_SLIDER_DATA>(v)->orientation, N_GUI_VERTICAL);
}

TEST_F(GuiWidget, TextAreaLimitsAndDefaults) {
    struct Case {
        size_t max, want_limit;
    } cases[] = {{0, 4095}, {10, 10}, {1, 1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.max);
        const int id = n_gui_add_textarea(ctx.get(), win, 1, c.max, nullptr, nullptr, 0, 0, 100, 40);
        auto *td = data<N_GUI_TEXTAREA_DATA>(id);
        EXPECT_EQ(td->max_length, c.want_limit);
        EXPECT_EQ(td->multiline, 1);
        EXPECT_EQ(td->length, 0u);
        EXPECT_STREQ(td->text, "");
        EXPECT_EQ(td->cursor + td->sel_start + td->sel_end, 0u);
        EXPECT_EQ(td->scroll_y, 0);
        const std::string full(c.want_limit + 7, 'k');
        n_gui_textarea_set_text(ctx.get(), id, full.c_str());
        EXPECT_EQ(n_gui_textarea_get_text_length(ctx.get(), id), c.want_limit) << "it accepts exactly its limit";
    }
}

TEST_F(GuiWidget, ListKindsAndOtherConstructorsStoreTheirDefaults) {
    int user = 0;
    const int cb = n_gui_add_checkbox(ctx.get(), win, "Remember me", 7, nullptr, &user, 0, 0, 100, 20);
    EXPECT_STREQ(data<N_GUI_CHECKBOX_DATA>(cb)->label, "Remember me");
    EXPECT_EQ(data<N_GUI_CHECKBOX_DATA>(cb)->checked, 1);
    EXPECT_EQ(data<N_GUI_CHECKBOX_DATA>(cb)->user_data, &user);

    const int sb = n_gui_add_scrollbar(ctx.get(), win, N_GUI_VERTICAL, 1, nullptr, nullptr, 0, -2, 0, 0, 12, 100);
    EXPECT_DOUBLE_EQ(data<N_GUI_SCROLLBAR_DATA>(sb)->content_size, 1);
    EXPECT_DOUBLE_EQ(data<N_GUI_SCROLLBAR_DATA>(sb)->view_size, 1);
    EXPECT_DOUBLE_EQ(data<N_GUI_SCROLLBAR_DATA>(sb)->position, 0);
    EXPECT_EQ(data<N_GUI_SCROLLBAR_DATA>(sb)->orientation, N_GUI_VERTICAL);

    const int lb = n_gui_add_listbox(ctx.get(), win, N_GUI_SELECT_MULTIPLE, nullptr, nullptr, 0, 0, 100, 100);
    EXPECT_FLOAT_EQ(data<N_GUI_LISTBOX_DATA>(lb)->item_height, 20);
    EXPECT_EQ(data<N_GUI_LISTBOX_DATA>(lb)->selection_mode, N_GUI_SELECT_MULTIPLE);
    EXPECT_EQ(n_gui_listbox_get_selected(ctx.get(), lb), -1);
    EXPECT_EQ(data<N_GUI_LISTBOX_DATA>(lb)->count, 0);

    const int rl = n_gui_add_radiolist(ctx.get(), win, nullptr, nullptr, 0, 0, 100, 100);
    EXPECT_EQ(data<N_GUI_RADIOLIST_DATA>(rl)->selected, -1);
    EXPECT_FLOAT_EQ(data<N_GUI_RADIOLIST_DATA>(rl)->item_height, 22);

    const int co = n_gui_add_combobox(ctx.get(), win, nullptr, nullptr, 0, 0, 100, 24);
    auto *cd = data<N_GUI_COMBOBOX_DATA>(co);
    EXPECT_EQ(cd->selected, -1);
    EXPECT_EQ(cd->is_open, 0);
    EXPECT_EQ(cd->scroll_offset, 0);
    EXPECT_EQ(cd->hovered, -1);
    EXPECT_EQ(cd->max_visible, 6);
    EXPECT_EQ(cd->flags, 0);

    auto *bmp = reinterpret_cast<ALLEGRO_BITMAP *>(&user);
    const int im = n_gui_add_image(ctx.get(), win, bmp, N_GUI_IMAGE_CENTER, 0, 0, 32, 32);
    EXPECT_EQ(data<N_GUI_IMAGE_DATA>(im)->bitmap, bmp);
    EXPECT_EQ(data<N_GUI_IMAGE_DATA>(im)->fit_mode, N_GUI_IMAGE_CENTER);

    const int dm = n_gui_add_dropmenu(ctx.get(), win, "Menu", nullptr, nullptr, 0, 0, 80, 26);
    auto *dd = data<N_GUI_DROPMENU_DATA>(dm);
    EXPECT_STREQ(dd->label, "Menu");
    EXPECT_EQ(dd->highlighted, -1);
    EXPECT_EQ(dd->max_visible, 12);
    EXPECT_FLOAT_EQ(dd->item_height, 26);
    EXPECT_EQ(dd->count, 0u);

    const int hv = n_gui_add_hexview(ctx.get(), win, 0, 0, 300, 100);
    EXPECT_EQ(data<N_GUI_HEXVIEW_DATA>(hv)->bytes_per_row, 16);
    EXPECT_EQ(data<N_GUI_HEXVIEW_DATA>(hv)->length, 0u);
    const int sv = n_gui_add_syntaxview(ctx.get(), win, N_GUI_SYNTAX_JSON, 0, 0, 300, 100);
    EXPECT_EQ(data<N_GUI_SYNTAXVIEW_DATA>(sv)->mode, N_GUI_SYNTAX_JSON);
    EXPECT_EQ(data<N_GUI_SYNTAXVIEW_DATA>(sv)->sel_start, -1);
    EXPECT_EQ(data<N_GUI_SYNTAXVIEW_DATA>(sv)->sel_end, -1);

    const int dg = n_gui_add_datagrid(ctx.get(), win, nullptr, &user, 0, 0, 300, 100);
    auto *gd = data<N_GUI_DATAGRID_DATA>(dg);
    EXPECT_EQ(gd->col_count + gd->row_count, 0);
    EXPECT_EQ(gd->selected, -1);
    EXPECT_EQ(gd->sort_col, -1);
    EXPECT_EQ(gd->sort_dir, 1);
    EXPECT_EQ(gd->anchor, -1);
    EXPECT_EQ(gd->resize_col, -1);
    EXPECT_EQ(gd->on_context, nullptr);
    EXPECT_EQ(gd->on_columns_changed, nullptr);

    const int pb = n_gui_add_progressbar(ctx.get(), win, 0, 0, 200, 16);
    EXPECT_EQ(get(pb)->enabled, 0) << "a progress bar takes no input";
    EXPECT_FLOAT_EQ(data<N_GUI_PROGRESSBAR_DATA>(pb)->value, 0);
    EXPECT_STREQ(data<N_GUI_PROGRESSBAR_DATA>(pb)->text, "");

    auto draw = [](N_GUI_WIDGET *, ALLEGRO_FONT *, void *, float, float) {};
    const int cu = n_gui_add_custom(ctx.get(), win, draw, &user, 0, 0, 50, 50);
    EXPECT_NE(data<N_GUI_CUSTOM_DATA>(cu)->draw, nullptr);
    EXPECT_EQ(data<N_GUI_CUSTOM_DATA>(cu)->user_data, &user);
    EXPECT_EQ(data<N_GUI_CUSTOM_DATA>(cu)->mouse, nullptr);
    EXPECT_EQ(data<N_GUI_CUSTOM_DATA>(cu)->destroy, nullptr);
}

TEST_F(GuiWidget, LabelsAndSplitPanesNormaliseWhatTheyAreGiven) {
    const int l = n_gui_add_label(ctx.get(), win, "one\r\ntwo\rthree", N_GUI_ALIGN_RIGHT, 0, 0, 100, 40);
    auto *ld = data<N_GUI_LABEL_DATA>(l);
    EXPECT_STREQ(ld->text, "one\ntwothree") << "carriage returns are removed";
    EXPECT_EQ(ld->align, N_GUI_ALIGN_RIGHT);
    EXPECT_STREQ(ld->link, "");
    EXPECT_EQ(ld->link_cb, nullptr);
    EXPECT_EQ(ld->sel_start, -1);
    EXPECT_EQ(ld->sel_end, -1);
    auto link_cb = [](int, const char *, void *) {};
    const int ll = n_gui_add_label_link(ctx.get(), win, "docs", "https://example.org/a", 0, link_cb, this, 0, 0, 50, 20);
    EXPECT_STREQ(data<N_GUI_LABEL_DATA>(ll)->link, "https://example.org/a");
    EXPECT_NE(data<N_GUI_LABEL_DATA>(ll)->link_cb, nullptr);
    EXPECT_EQ(data<N_GUI_LABEL_DATA>(ll)->user_data, this);

    struct Case {
        float given, stored;
    } cases[] = {{0.01f, 0.05f}, {2.0f, 0.95f}, {0.3f, 0.3f}, {-1.0f, 0.05f}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.given);
        const int sp = n_gui_add_splitpane(ctx.get(), win, N_GUI_VERTICAL, nullptr, nullptr, 0, 0, 100, 100, c.given);
        auto *sd = data<N_GUI_SPLITPANE_DATA>(sp);
        EXPECT_FLOAT_EQ(sd->ratio, c.stored);
        EXPECT_FLOAT_EQ(sd->min_ratio, 0.05f);
        EXPECT_FLOAT_EQ(sd->max_ratio, 0.95f);
        EXPECT_FLOAT_EQ(sd->divider, 6);
        EXPECT_EQ(sd->orientation, N_GUI_VERTICAL);
    }
}

TEST_F(GuiWidget, MarkdownViewTakesItsStyleFromTheWidgetTheme) {
    N_GUI_MD fonts{};
    fonts.regular = font.get();
    const int md = n_gui_add_markdownview(ctx.get(), win, &fonts, 0, 0, 200, 100);
    auto *mv = data<N_GUI_MARKDOWNVIEW_DATA>(md);
    EXPECT_STREQ(mv->text, "");
    EXPECT_EQ(mv->fonts.regular, font.get());
    EXPECT_FLOAT_EQ(mv->layout_w, -1);
    EXPECT_EQ(mv->relayout, 1);
    EXPECT_EQ(mv->style_follows_theme, 1);
    EXPECT_EQ(mv->style.parse_flags, 35);
    const float base = static_cast<float>(al_get_font_line_height(font.get()));
    EXPECT_FLOAT_EQ(mv->style.block_gap, 0.45f * base);
    EXPECT_EQ(rgba(mv->style.text_color), rgba(get(md)->theme.text_normal));
    EXPECT_EQ(rgba(mv->style.link_color), (Rgba{120, 170, 245, 255}));
    // the default background is dark: code blocks get a light veil
    EXPECT_FLOAT_EQ(mv->style.code_bg.a, 0.1f);
    const int bare = n_gui_add_markdownview(ctx.get(), win, nullptr, 0, 0, 200, 100);
    EXPECT_FLOAT_EQ(data<N_GUI_MARKDOWNVIEW_DATA>(bare)->style.indent, 0.8f * 16) << "16 stands for a missing font";
    N_GUI_MD_STYLE light{};
    n_gui_md_style_default(&light, al_map_rgb(0, 0, 0), al_map_rgb(250, 250, 250), 0);
    EXPECT_FLOAT_EQ(light.code_bg.a, 0.06f);
    EXPECT_FLOAT_EQ(light.code_bg.r, 0);
    EXPECT_FLOAT_EQ(light.table_min_col_w, 2.5f * 16);
}

/* ---- common operations ---- */

TEST_F(GuiWidget, ScreenRectFollowsTheWindowItsTitleBarAndScroll) {
    n_gui_get_window(ctx.get(), win)->x = 100;
    n_gui_get_window(ctx.get(), win)->y = 50;
    const int id = n_gui_add_button(ctx.get(), win, "b", 0, nullptr, nullptr, 10, 20, 30, 40);
    float x, y, w, h;
    ASSERT_EQ(n_gui_widget_screen_rect(ctx.get(), id, &x, &y, &w, &h), 1);
    EXPECT_FLOAT_EQ(x, 110);
    EXPECT_FLOAT_EQ(y, 50 + 28 + 20);
    EXPECT_FLOAT_EQ(w, 30);
    EXPECT_FLOAT_EQ(h, 40);
    n_gui_get_window(ctx.get(), win)->scroll_x = 5;
    n_gui_get_window(ctx.get(), win)->scroll_y = 7;
    n_gui_window_set_flags(ctx.get(), win, N_GUI_WIN_NO_TITLEBAR);
    ASSERT_EQ(n_gui_widget_screen_rect(ctx.get(), id, &x, &y, nullptr, nullptr), 1);
    EXPECT_FLOAT_EQ(x, 105);
    EXPECT_FLOAT_EQ(y, 63);
    n_gui_close_window(ctx.get(), win);
    EXPECT_EQ(n_gui_widget_screen_rect(ctx.get(), id, &x, &y, &w, &h), 0);
    EXPECT_EQ(n_gui_widget_screen_rect(ctx.get(), 99, &x, &y, &w, &h), 0);
}

TEST_F(GuiWidget, VisibilityEnabledRectThemeAndTooltip) {
    const int id = n_gui_add_label(ctx.get(), win, "x", 0, 0, 0, 10, 10);
    n_gui_set_widget_visible(ctx.get(), id, 5);
    EXPECT_EQ(n_gui_widget_is_visible(ctx.get(), id), 5) << "stored as given";
    n_gui_set_widget_enabled(ctx.get(), id, 0);
    EXPECT_EQ(n_gui_is_widget_enabled(ctx.get(), id), 0);
    EXPECT_EQ(n_gui_is_widget_enabled(ctx.get(), 99), 0);
    n_gui_widget_set_rect(ctx.get(), id, 40, 30, -5, 60);
    N_GUI_WIDGET *w = get(id);
    EXPECT_FLOAT_EQ(w->w, 0);
    EXPECT_FLOAT_EQ(w->h, 60);
    EXPECT_FLOAT_EQ(w->norm_x, 0.1f);
    EXPECT_FLOAT_EQ(w->norm_h, 0.2f);
    N_GUI_THEME t = n_gui_default_theme();
    t.corner_rx = 11;
    n_gui_set_widget_theme(ctx.get(), id, t);
    EXPECT_FLOAT_EQ(w->theme.corner_rx, 11);
    n_gui_set_widget_tooltip(ctx.get(), id, "Sends the message");
    EXPECT_STREQ(w->tooltip, "Sends the message");
    n_gui_set_widget_tooltip(ctx.get(), id, "");
    EXPECT_EQ(w->tooltip, nullptr);
    n_gui_set_widget_tooltip(ctx.get(), id, "again");
    n_gui_set_widget_tooltip(ctx.get(), id, nullptr);
    EXPECT_EQ(w->tooltip, nullptr);
}

TEST_F(GuiWidget, ResetAllThemesGivesEveryoneTheDefaultAgain) {
    const int id = n_gui_add_label(ctx.get(), win, "x", 0, 0, 0, 10, 10);
    N_GUI_THEME t = n_gui_default_theme();
    t.bg_normal = al_map_rgb(1, 2, 3);
    n_gui_set_widget_theme(ctx.get(), id, t);
    n_gui_get_window(ctx.get(), win)->theme = t;
    n_gui_get_window(ctx.get(), win)->tb_close_theme = t;
    t.bg_normal = al_map_rgb(9, 9, 9);
    n_gui_set_default_theme(ctx.get(), t);
    n_gui_reset_all_widget_themes(ctx.get());
    EXPECT_EQ(rgba(get(id)->theme.bg_normal), (Rgba{9, 9, 9, 255}));
    EXPECT_EQ(rgba(n_gui_get_window(ctx.get(), win)->theme.bg_normal), (Rgba{9, 9, 9, 255}));
    EXPECT_EQ(rgba(n_gui_get_window(ctx.get(), win)->tb_close_theme.bg_hover), (Rgba{232, 17, 35, 220}));
}

TEST_F(GuiWidget, TooltipPendingWaitsForTheDelayAndTheTopmostWindow) {
    FakeClock clock(50.0);
    const int id = n_gui_add_button(ctx.get(), win, "b", 0, nullptr, nullptr, 10, 10, 50, 20);
    EXPECT_EQ(n_gui_tooltip_pending(ctx.get()), 0) << "no tooltip widget";
    ctx->tooltip_widget_id = id;
    ctx->tooltip_hover_start = 50.0;
    ctx->mouse_x = 20;
    ctx->mouse_y = 45;
    EXPECT_EQ(n_gui_tooltip_pending(ctx.get()), 1);
    clock.set(50.6);
    EXPECT_EQ(n_gui_tooltip_pending(ctx.get()), 2);
    const int cover = n_gui_add_window(ctx.get(), "cover", 0, 0, 100, 100);
    EXPECT_EQ(n_gui_tooltip_pending(ctx.get()), 0) << "another window lies on top under the pointer";
    n_gui_close_window(ctx.get(), cover);
    EXPECT_EQ(n_gui_tooltip_pending(ctx.get()), 2);
    ctx->style.tooltip_delay = 0;
    EXPECT_EQ(n_gui_tooltip_pending(ctx.get()), 0) << "a delay of 0 switches tooltips off";
}

TEST_F(GuiWidget, HoveredAndDoubleClickedWidgets) {
    const int a = n_gui_add_button(ctx.get(), win, "a", 0, nullptr, nullptr, 0, 0, 10, 10);
    const int b = n_gui_add_button(ctx.get(), win, "b", 0, nullptr, nullptr, 0, 0, 10, 10);
    const int top = n_gui_add_window(ctx.get(), "top", 0, 0, 100, 100);
    const int c = n_gui_add_button(ctx.get(), top, "c", 0, nullptr, nullptr, 0, 0, 10, 10);
    EXPECT_EQ(n_gui_hovered_widget(ctx.get()), -1);
    get(b)->state |= N_GUI_STATE_PRESSED;
    EXPECT_EQ(n_gui_hovered_widget(ctx.get()), b);
    get(c)->state |= N_GUI_STATE_HOVER;
    EXPECT_EQ(n_gui_hovered_widget(ctx.get()), c) << "the topmost window first";
    n_gui_set_widget_enabled(ctx.get(), c, 0);
    get(a)->state |= N_GUI_STATE_HOVER;
    EXPECT_EQ(n_gui_hovered_widget(ctx.get()), a) << "disabled widgets are passed over";

    EXPECT_EQ(n_gui_double_clicked_widget(ctx.get()), -1);
    EXPECT_EQ(n_gui_was_double_click(ctx.get(), -1), 0);
    ctx->double_clicked_widget_id = a;
    EXPECT_EQ(n_gui_was_double_click(ctx.get(), a), 1);
    EXPECT_EQ(n_gui_was_double_click(ctx.get(), b), 0);
    n_gui_set_double_click_time(ctx.get(), -2);
    EXPECT_DOUBLE_EQ(ctx->double_click_time, 0);
    n_gui_set_double_click_time(ctx.get(), 0.25);
    EXPECT_DOUBLE_EQ(ctx->double_click_time, 0.25);
    n_gui_set_double_click_radius(ctx.get(), -1);
    EXPECT_EQ(ctx->double_click_radius, 0);
    n_gui_set_double_click_radius(ctx.get(), 9);
    EXPECT_EQ(ctx->double_click_radius, 9);
}

TEST_F(GuiWidget, CloseMenusClosesTheOpenListAndPanel) {
    const int co = n_gui_add_combobox(ctx.get(), win, nullptr, nullptr, 0, 0, 100, 24);
    const int dm = n_gui_add_dropmenu(ctx.get(), win, "m", nullptr, nullptr, 0, 0, 100, 24);
    EXPECT_EQ(n_gui_menu_is_open(ctx.get()), 0);
    data<N_GUI_COMBOBOX_DATA>(co)->is_open = 1;
    ctx->open_combobox = co;
    EXPECT_EQ(n_gui_menu_is_open(ctx.get()), 1);
    data<N_GUI_DROPMENU_DATA>(dm)->is_open = 1;
    ctx->open_dropmenu = dm;
    ctx->dirty = 0;
    n_gui_close_menus(ctx.get());
    EXPECT_EQ(ctx->dirty, 1);
    EXPECT_EQ(data<N_GUI_COMBOBOX_DATA>(co)->is_open, 0);
    EXPECT_EQ(data<N_GUI_DROPMENU_DATA>(dm)->is_open, 0);
    EXPECT_EQ(ctx->open_combobox, -1);
    EXPECT_EQ(ctx->open_dropmenu, -1);
    EXPECT_EQ(n_gui_menu_is_open(ctx.get()), 0);
    qvtest::LogCapture log;
    n_gui_combobox_set_flags(ctx.get(), dm, 3);
    EXPECT_TRUE(log.contains("if( !(wgt) ) assert")) << log.text();
    n_gui_combobox_set_flags(ctx.get(), co, N_GUI_COMBOBOX_WIDEN | N_GUI_COMBOBOX_ABOVE);
    EXPECT_EQ(data<N_GUI_COMBOBOX_DATA>(co)->flags, 3);
}

/* ---- buttons ---- */

TEST_F(GuiWidget, ButtonOperationsIgnoreOtherKinds) {
    const int b = n_gui_add_button(ctx.get(), win, "Save", 0, nullptr, nullptr, 0, 0, 10, 10);
    const int l = n_gui_add_label(ctx.get(), win, "Save", 0, 0, 0, 10, 10);
    EXPECT_STREQ(n_gui_button_get_label(ctx.get(), b), "Save");
    EXPECT_EQ(n_gui_button_get_label(ctx.get(), l), nullptr);
    n_gui_button_set_label(ctx.get(), b, "Saved");
    n_gui_button_set_label(ctx.get(), b, nullptr);
    EXPECT_STREQ(n_gui_button_get_label(ctx.get(), b), "Saved");
    n_gui_button_set_label(ctx.get(), l, "no");
    EXPECT_STREQ(n_gui_label_get_text(ctx.get(), l), "Save");

    n_gui_button_set_toggle_mode(ctx.get(), b, 3);
    n_gui_button_set_toggled(ctx.get(), b, 9);
    EXPECT_EQ(n_gui_button_is_toggled(ctx.get(), b), 1);
    n_gui_button_set_toggle_mode(ctx.get(), b, 0);
    EXPECT_EQ(n_gui_button_is_toggled(ctx.get(), b), 0) << "leaving toggle mode clears the state";
    EXPECT_EQ(n_gui_button_is_toggled(ctx.get(), l), 0);

    struct Glyph {
        int set, got;
    } glyphs[] = {{3, 3}, {9, 3}, {-1, 3}, {8, 8}, {0, 0}};
    for (const Glyph &g : glyphs) {
        n_gui_button_set_glyph(ctx.get(), b, g.set);
        EXPECT_EQ(n_gui_button_get_glyph(ctx.get(), b), g.got) << g.set;
    }
    ALLEGRO_BITMAP *bm = reinterpret_cast<ALLEGRO_BITMAP *>(&glyphs);
    n_gui_button_set_state_bitmaps(ctx.get(), b, bm, nullptr, nullptr);
    EXPECT_EQ(data<N_GUI_BUTTON_DATA>(b)->shape, N_GUI_SHAPE_BITMAP);
    EXPECT_EQ(data<N_GUI_BUTTON_DATA>(b)->normal, bm);

    n_gui_button_set_keycode(ctx.get(), b, ALLEGRO_KEY_ENTER, 0xFF);
    EXPECT_EQ(data<N_GUI_BUTTON_DATA>(b)->keycode, ALLEGRO_KEY_ENTER);
    EXPECT_EQ(data<N_GUI_BUTTON_DATA>(b)->key_modifiers, 0x47);
}

TEST_F(GuiWidget, KeycodeBoundToFocusKeepsEightIdsAndEndsShorterListsWithMinusOne) {
    const int b = n_gui_add_button(ctx.get(), win, "OK", 0, nullptr, nullptr, 0, 0, 10, 10);
    const int ten[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    n_gui_button_set_keycode_focused(ctx.get(), b, ALLEGRO_KEY_ENTER, 0x2, ten, 10);
    auto *bd = data<N_GUI_BUTTON_DATA>(b);
    EXPECT_EQ(bd->focused_only, 1);
    EXPECT_EQ(std::vector<int>(bd->focus_ids, bd->focus_ids + 8), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
    const int three[] = {11, 12, 13};
    n_gui_button_set_keycode_focused(ctx.get(), b, ALLEGRO_KEY_ENTER, 0, three, 3);
    EXPECT_EQ(std::vector<int>(bd->focus_ids, bd->focus_ids + 4), (std::vector<int>{11, 12, 13, -1}));
}

/* ---- focus ---- */

TEST_F(GuiWidget, FocusMovesTheBitAndRaisesTheWindow) {
    const int field = n_gui_add_textarea(ctx.get(), win, 0, 0, nullptr, nullptr, 0, 0, 50, 20);
    const int other_win = n_gui_add_window(ctx.get(), "other", 0, 0, 100, 100);
    const int button = n_gui_add_button(ctx.get(), other_win, "b", 0, nullptr, nullptr, 0, 0, 10, 10);
    FakeClock clock(77.0);
    n_gui_set_focus(ctx.get(), field);
    EXPECT_EQ(n_gui_get_focus(ctx.get()), field);
    EXPECT_TRUE(get(field)->state & N_GUI_STATE_FOCUSED);
    EXPECT_DOUBLE_EQ(data<N_GUI_TEXTAREA_DATA>(field)->last_edit, 77.0) << "the caret blinks from now";
    EXPECT_EQ(static_cast<N_GUI_WINDOW *>(ctx->windows->end->ptr)->id, win) << "its window was raised";
    n_gui_set_focus(ctx.get(), button);
    EXPECT_FALSE(get(field)->state & N_GUI_STATE_FOCUSED);
    EXPECT_EQ(static_cast<N_GUI_WINDOW *>(ctx->windows->end->ptr)->id, other_win);
    qvtest::LogCapture log;
    n_gui_set_focus(ctx.get(), -1);
    EXPECT_EQ(n_gui_get_focus(ctx.get()), -1);
    EXPECT_EQ(log.text().find("not found"), std::string::npos) << "clearing is silent";
    n_gui_set_focus(ctx.get(), button);
    n_gui_set_focus(ctx.get(), 99);
    EXPECT_EQ(n_gui_get_focus(ctx.get()), -1);
    EXPECT_TRUE(log.contains("n_gui_set_focus: widget 99 not found")) << log.text();
    EXPECT_FALSE(get(button)->state & N_GUI_STATE_FOCUSED);
    EXPECT_EQ(n_gui_get_focus(nullptr), -1);
}

TEST_F(GuiWidget, FocusWindowPicksTheFirstWidgetThatTakesKeys) {
    n_gui_add_button(ctx.get(), win, "b", 0, nullptr, nullptr, 0, 0, 10, 10);
    n_gui_add_label(ctx.get(), win, "l", 0, 0, 0, 10, 10);
    const int hidden = n_gui_add_textarea(ctx.get(), win, 0, 0, nullptr, nullptr, 0, 0, 10, 10);
    n_gui_set_widget_visible(ctx.get(), hidden, 0);
    const int slider = n_gui_add_slider(ctx.get(), win, 0, nullptr, nullptr, 0, 1, 0, 0, 0, 10, 10);
    n_gui_add_textarea(ctx.get(), win, 0, 0, nullptr, nullptr, 0, 0, 10, 10);
    const int other = n_gui_add_window(ctx.get(), "other", 0, 0, 100, 100);
    n_gui_focus_window(ctx.get(), win);
    EXPECT_EQ(n_gui_get_focus(ctx.get()), slider);
    EXPECT_EQ(static_cast<N_GUI_WINDOW *>(ctx->windows->end->ptr)->id, win);
    n_gui_add_button(ctx.get(), other, "only a button", 0, nullptr, nullptr, 0, 0, 10, 10);
    n_gui_focus_window(ctx.get(), other);
    EXPECT_EQ(n_gui_get_focus(ctx.get()), -1);
}

TEST_F(GuiWidget, FocusTakesKeyByKind) {
    const int keys[] = {ALLEGRO_KEY_ENTER, ALLEGRO_KEY_SPACE, ALLEGRO_KEY_HOME, ALLEGRO_KEY_PGDN,
                        ALLEGRO_KEY_LEFT, ALLEGRO_KEY_DOWN, ALLEGRO_KEY_PAD_ENTER, ALLEGRO_KEY_A, ALLEGRO_KEY_ESCAPE};
    struct Row {
        const char *kind;
        std::function<int()> make;
        const char *takes;  // per key above: 1 or 0
    } rows[] = {
        {"text area", [&] { return n_gui_add_textarea(ctx.get(), win, 0, 0, nullptr, nullptr, 0, 0, 9, 9); }, "111111111"},
        {"button", [&] { return n_gui_add_button(ctx.get(), win, "b", 0, nullptr, nullptr, 0, 0, 9, 9); }, "110011100"},
        {"list box", [&] { return n_gui_add_listbox(ctx.get(), win, 1, nullptr, nullptr, 0, 0, 9, 9); }, "101111100"},
        {"hex view", [&] { return n_gui_add_hexview(ctx.get(), win, 0, 0, 9, 9); }, "101111100"},
        {"label", [&] { return n_gui_add_label(ctx.get(), win, "l", 0, 0, 0, 9, 9); }, "000000000"},
        {"image", [&] { return n_gui_add_image(ctx.get(), win, nullptr, 0, 0, 0, 9, 9); }, "000000000"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.kind);
        const int id = r.make();
        n_gui_set_focus(ctx.get(), id);
        for (size_t k = 0; k < sizeof keys / sizeof keys[0]; k++)
            EXPECT_EQ(n_gui_focus_takes_key(ctx.get(), keys[k]), r.takes[k] - '0') << "key " << keys[k];
        n_gui_set_widget_enabled(ctx.get(), id, 0);
        EXPECT_EQ(n_gui_focus_takes_key(ctx.get(), ALLEGRO_KEY_ENTER), 0) << "a disabled widget takes nothing";
    }
    n_gui_set_focus(ctx.get(), -1);
    EXPECT_EQ(n_gui_focus_takes_key(ctx.get(), ALLEGRO_KEY_ENTER), 0);
}

/* ---- persist keys and pending layout states ---- */

TEST_F(GuiWidget, PersistKeyAppliesAMatchingSavedStateOnce) {
    N_GUI_PENDING_WIDGET pending[3] = {};
    auto put = [&](int i, const char *title, const char *key, int kind) {
        snprintf(pending[i].window_title, sizeof pending[i].window_title, "%s", title);
        snprintf(pending[i].key, sizeof pending[i].key, "%s", key);
        pending[i].kind = kind;
    };
    put(0, "other window", "split", N_GUI_TYPE_SPLITPANE);
    pending[0].ratio = 0.2f;
    put(1, "form", "split", N_GUI_TYPE_SPLITPANE);
    pending[1].ratio = 0.7f;
    put(2, "form", "grid", N_GUI_TYPE_DATAGRID);
    pending[2].ncols = 3;
    ctx->pending_widgets = pending;
    ctx->pending_widgets_count = 3;
    const int sp = n_gui_add_splitpane(ctx.get(), win, 0, nullptr, nullptr, 0, 0, 100, 100, 0.5f);
    EXPECT_EQ(n_gui_widget_get_persist_key(ctx.get(), sp), std::string(""));
    n_gui_widget_set_persist_key(ctx.get(), sp, "split");
    EXPECT_STREQ(n_gui_widget_get_persist_key(ctx.get(), sp), "split");
    EXPECT_FLOAT_EQ(n_gui_splitpane_get_ratio(ctx.get(), sp), 0.7f);
    EXPECT_EQ(pending[1].consumed, 1);
    EXPECT_EQ(pending[0].consumed, 0) << "another window's entry stays";
    const int sp2 = n_gui_add_splitpane(ctx.get(), win, 0, nullptr, nullptr, 0, 0, 100, 100, 0.5f);
    n_gui_widget_set_persist_key(ctx.get(), sp2, "split");
    EXPECT_FLOAT_EQ(n_gui_splitpane_get_ratio(ctx.get(), sp2), 0.5f) << "an entry applies once";
    const int lbl = n_gui_add_label(ctx.get(), win, "x", 0, 0, 0, 1, 1);
    n_gui_widget_set_persist_key(ctx.get(), lbl, "grid");  // another kind: nothing
    EXPECT_EQ(pending[2].consumed, 0);
    const int grid = n_gui_add_datagrid(ctx.get(), win, nullptr, nullptr, 0, 0, 100, 100);
    n_gui_widget_set_persist_key(ctx.get(), grid, "grid");
    EXPECT_EQ(pending[2].consumed, 1) << "a grid whose column count changed uses the entry up";
    EXPECT_EQ(n_gui_widget_get_persist_key(ctx.get(), 99), nullptr);
    ctx->pending_widgets = nullptr;  // the array is the test's
    ctx->pending_widgets_count = 0;
}

/* ---- allocation failures ---- */

// Every constructor is run with its n-th allocation failing, for n = 0, 1, ...
// until it succeeds: each failure must leave the window's widget list, the id
// table and the next id as they were, and AddressSanitizer sees any leak.
TEST_F(GuiWidget, EveryConstructorFailsCleanlyAtEachOfItsAllocations) {
    qvtest::AllocFailGuard guard;
    N_GUI_MD fonts{};
    fonts.regular = font.get();
    struct Maker {
        const char *kind;
        std::function<int(N_GUI_CTX *, int)> make;
    } makers[] = {
        {"button", [](N_GUI_CTX *c, int w) { return n_gui_add_button(c, w, "b", 0, nullptr, nullptr, 0, 0, 9, 9); }},
        {"bitmap button", [](N_GUI_CTX *c, int w) { return n_gui_add_button_bitmap(c, w, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, 9, 9); }},
        {"toggle button", [](N_GUI_CTX *c, int w) { return n_gui_add_toggle_button(c, w, "t", 0, 1, nullptr, nullptr, 0, 0, 9, 9); }},
        {"slider", [](N_GUI_CTX *c, int w) { return n_gui_add_slider(c, w, 0, nullptr, nullptr, 0, 1, 0, 0, 0, 9, 9); }},
        {"vertical slider", [](N_GUI_CTX *c, int w) { return n_gui_add_vslider(c, w, 0, nullptr, nullptr, 0, 1, 0, 0, 0, 9, 9); }},
        {"text area", [](N_GUI_CTX *c, int w) { return n_gui_add_textarea(c, w, 1, 0, nullptr, nullptr, 0, 0, 9, 9); }},
        {"check box", [](N_GUI_CTX *c, int w) { return n_gui_add_checkbox(c, w, "c", 0, nullptr, nullptr, 0, 0, 9, 9); }},
        {"scrollbar", [](N_GUI_CTX *c, int w) { return n_gui_add_scrollbar(c, w, 0, 0, nullptr, nullptr, 9, 9, 0, 0, 9, 9); }},
        {"list box", [](N_GUI_CTX *c, int w) { return n_gui_add_listbox(c, w, 1, nullptr, nullptr, 0, 0, 9, 9); }},
        {"radio list", [](N_GUI_CTX *c, int w) { return n_gui_add_radiolist(c, w, nullptr, nullptr, 0, 0, 9, 9); }},
        {"combo box", [](N_GUI_CTX *c, int w) { return n_gui_add_combobox(c, w, nullptr, nullptr, 0, 0, 9, 9); }},
        {"image", [](N_GUI_CTX *c, int w) { return n_gui_add_image(c, w, nullptr, 0, 0, 0, 9, 9); }},
        {"label", [](N_GUI_CTX *c, int w) { return n_gui_add_label(c, w, "l", 0, 0, 0, 9, 9); }},
        {"link label", [](N_GUI_CTX *c, int w) { return n_gui_add_label_link(c, w, "l", "u", 0, nullptr, nullptr, 0, 0, 9, 9); }},
        {"drop menu", [](N_GUI_CTX *c, int w) { return n_gui_add_dropmenu(c, w, "m", nullptr, nullptr, 0, 0, 9, 9); }},
        {"split pane", [](N_GUI_CTX *c, int w) { return n_gui_add_splitpane(c, w, 0, nullptr, nullptr, 0, 0, 9, 9, 0.5f); }},
        {"hex view", [](N_GUI_CTX *c, int w) { return n_gui_add_hexview(c, w, 0, 0, 9, 9); }},
        {"syntax view", [](N_GUI_CTX *c, int w) { return n_gui_add_syntaxview(c, w, 0, 0, 0, 9, 9); }},
        {"data grid", [](N_GUI_CTX *c, int w) { return n_gui_add_datagrid(c, w, nullptr, nullptr, 0, 0, 9, 9); }},
        {"progress bar", [](N_GUI_CTX *c, int w) { return n_gui_add_progressbar(c, w, 0, 0, 9, 9); }},
        {"custom", [](N_GUI_CTX *c, int w) { return n_gui_add_custom(c, w, nullptr, nullptr, 0, 0, 9, 9); }},
        {"markdown view", [&fonts](N_GUI_CTX *c, int w) { return n_gui_add_markdownview(c, w, &fonts, 0, 0, 9, 9); }},
    };
    for (const Maker &m : makers) {
        SCOPED_TRACE(m.kind);
        int failures = 0;
        bool made = false;
        for (long n = 0; n < 64 && !made; n++) {
            const size_t widgets_before = n_gui_get_window(ctx.get(), win)->widgets->item_count;
            const size_t keys_before = ctx->widgets_table->key_count;
            const int next_before = ctx->next_widget_id;
            n_alloc_fail_after(n);
            const int id = m.make(ctx.get(), win);
            n_alloc_fail_after(-1);
            if (id >= 0) {
                made = true;
                EXPECT_EQ(id, next_before);
                EXPECT_EQ(n_gui_get_widget(ctx.get(), id)->id, id);
                break;
            }
            failures++;
            EXPECT_EQ(n_gui_get_window(ctx.get(), win)->widgets->item_count, widgets_before) << "allocation " << n;
            EXPECT_EQ(ctx->widgets_table->key_count, keys_before) << "allocation " << n;
            EXPECT_EQ(ctx->next_widget_id, next_before) << "allocation " << n;
        }
        EXPECT_TRUE(made);
        // record, kind data, list node, table node and key: at least four
        EXPECT_GE(failures, 4);
    }
}

TEST(GuiAlloc, ContextAndWindowFailCleanlyAtEachOfTheirAllocations) {
    AllegroScope al;
    FontPtr font = builtin_font();
    qvtest::AllocFailGuard guard;
    qvtest::LogCapture log;
    int ctx_failures = 0;
    N_GUI_CTX *ctx = nullptr;
    for (long n = 0; n < 400 && !ctx; n++) {
        n_alloc_fail_after(n);
        ctx = n_gui_new_ctx(font.get());
        n_alloc_fail_after(-1);
        if (!ctx) ctx_failures++;
    }
    ASSERT_NE(ctx, nullptr);
    EXPECT_GE(ctx_failures, 3) << "record, window list and the table's allocations";
    EXPECT_TRUE(log.contains("( ctx *)calloc( 1 , sizeof( N_GUI_CTX ) )")) << log.text();
    EXPECT_TRUE(log.contains("n_gui_new_ctx: failed to allocate window list")) << log.text();
    EXPECT_TRUE(log.contains("n_gui_new_ctx: failed to allocate widget hash table")) << log.text();
    int win = -1, win_failures = 0;
    for (long n = 0; n < 16 && win < 0; n++) {
        n_alloc_fail_after(n);
        win = n_gui_add_window(ctx, "w", 0, 0, 100, 100);
        n_alloc_fail_after(-1);
        if (win < 0) {
            win_failures++;
            EXPECT_EQ(ctx->windows->item_count, 0u);
            EXPECT_EQ(ctx->next_window_id, 1);
        }
    }
    EXPECT_EQ(win, 1);
    EXPECT_EQ(win_failures, 3) << "record, widget list, list node";
    EXPECT_TRUE(log.contains("n_gui_add_window: failed to allocate widget list")) << log.text();
    n_gui_destroy_ctx(&ctx);
}

}  // namespace
