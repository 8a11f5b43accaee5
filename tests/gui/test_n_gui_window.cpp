// Toolkit windows without a display: z-order, open and minimise states,
// maximising, title-bar button geometry, saved geometry applied at creation,
// content size, autosize and autofit, adaptive placement, and the refusals
// of detaching.
#include "gui_bench.h"
#include "n_gui.h"
#include "n_gui_kinds.h"
#include "qv_test_support.h"

#include <vector>

using namespace qvgui;

namespace {

struct GuiWin : GuiTest {
    int add(const char *title, float x = 10, float y = 10, float w = 200, float h = 150) {
        return n_gui_add_window(ctx.get(), title, x, y, w, h);
    }
    std::vector<int> order() const {
        std::vector<int> ids;
        for (LIST_NODE *n = ctx->windows->start; n; n = n->next) ids.push_back(static_cast<N_GUI_WINDOW *>(n->ptr)->id);
        return ids;
    }
    N_GUI_WINDOW *win(int id) { return n_gui_get_window(ctx.get(), id); }
};

TEST_F(GuiWin, NewWindowHoldsItsInitialValues) {
    const int id = add("Settings", 15, 25, 300, 200);
    ASSERT_EQ(id, 1);
    N_GUI_WINDOW *w = win(id);
    ASSERT_NE(w, nullptr);
    EXPECT_STREQ(w->title, "Settings");
    EXPECT_STREQ(w->caption, "");
    EXPECT_EQ(w->wheel_scrollbar, -1);
    EXPECT_FLOAT_EQ(w->x, 15);
    EXPECT_FLOAT_EQ(w->h, 200);
    EXPECT_FLOAT_EQ(w->titlebar_h, 28);
    EXPECT_EQ(w->state, N_GUI_WIN_STATE_OPEN);
    EXPECT_EQ(w->flags, 0);
    EXPECT_EQ(w->widgets->item_count, 0u);
    EXPECT_FLOAT_EQ(w->min_w, 120);
    EXPECT_FLOAT_EQ(w->min_h, 60);
    EXPECT_EQ(w->z_order, N_GUI_ZORDER_NORMAL);
    EXPECT_FLOAT_EQ(w->anchor_x, 15);
    EXPECT_FLOAT_EQ(w->anchor_y, 25);
    EXPECT_EQ(w->resize_policy, N_GUI_RESIZE_FIXED);
    EXPECT_EQ(w->native_x, N_GUI_NATIVE_POS_UNSET);
    EXPECT_EQ(w->native_y, N_GUI_NATIVE_POS_UNSET);
    EXPECT_FLOAT_EQ(w->attached_w, 300);
    EXPECT_EQ(add("second"), 2);
    EXPECT_EQ(n_gui_add_window(nullptr, "x", 0, 0, 1, 1), -1);
    const int autow = n_gui_add_window_auto(ctx.get(), "auto", 5, 6);
    EXPECT_FLOAT_EQ(win(autow)->w, 120);
    EXPECT_FLOAT_EQ(win(autow)->h, 60);
    EXPECT_EQ(n_gui_get_window(ctx.get(), 99), nullptr);
}

TEST_F(GuiWin, TitlesAreCutOnACharacterBoundary) {
    // 126 ASCII bytes then a 2-byte character: 128 bytes do not fit in 127
    std::string title(126, 'a');
    title += "\xc3\xa9";
    const int id = add(title.c_str());
    EXPECT_EQ(std::string(win(id)->title), std::string(126, 'a'));
    n_gui_window_set_caption(ctx.get(), id, title.c_str());
    EXPECT_EQ(std::string(win(id)->caption), std::string(126, 'a'));
    n_gui_window_set_caption(ctx.get(), id, nullptr);
    EXPECT_STREQ(win(id)->caption, "");
}

/* ---- z-order ---- */

TEST_F(GuiWin, ZOrderClassesRaiseAndLower) {
    const int a = add("1"), b = add("2"), c = add("3");
    EXPECT_EQ(order(), (std::vector<int>{a, b, c}));
    n_gui_window_set_zorder(ctx.get(), a, N_GUI_ZORDER_ALWAYS_ON_TOP, 0);
    EXPECT_EQ(order(), (std::vector<int>{b, c, a}));
    n_gui_raise_window(ctx.get(), b);
    EXPECT_EQ(order(), (std::vector<int>{c, b, a}));
    n_gui_lower_window(ctx.get(), a);  // not NORMAL: stays
    EXPECT_EQ(order(), (std::vector<int>{c, b, a}));
    n_gui_lower_window(ctx.get(), b);
    EXPECT_EQ(order(), (std::vector<int>{b, c, a}));
    const int p = add("popup");
    n_gui_window_set_zorder(ctx.get(), p, N_GUI_ZORDER_POPUP, 0);
    const int d = add("4");
    EXPECT_EQ(order(), (std::vector<int>{b, c, d, a, p})) << "a new NORMAL window stays below the upper classes";
    n_gui_raise_window(ctx.get(), p);
    EXPECT_EQ(order().back(), p);
    EXPECT_EQ(n_gui_window_get_zorder(ctx.get(), a), N_GUI_ZORDER_ALWAYS_ON_TOP);
    EXPECT_EQ(n_gui_window_get_zorder(ctx.get(), 99), 0);
}

TEST_F(GuiWin, FixedWindowsSortByValueBetweenBehindAndNormal) {
    const int normal = add("normal");
    const int f5a = add("f5a"), f1 = add("f1"), f5b = add("f5b");
    n_gui_window_set_zorder(ctx.get(), f5a, N_GUI_ZORDER_FIXED, 5);
    n_gui_window_set_zorder(ctx.get(), f1, N_GUI_ZORDER_FIXED, 1);
    n_gui_window_set_zorder(ctx.get(), f5b, N_GUI_ZORDER_FIXED, 5);
    const int behind = add("behind");
    n_gui_window_set_zorder(ctx.get(), behind, N_GUI_ZORDER_ALWAYS_BEHIND, 0);
    EXPECT_EQ(order(), (std::vector<int>{behind, f1, f5a, f5b, normal}));
    EXPECT_EQ(n_gui_window_get_zvalue(ctx.get(), f1), 1);
    n_gui_raise_window(ctx.get(), f1);  // a FIXED window is not raised
    EXPECT_EQ(order(), (std::vector<int>{behind, f1, f5a, f5b, normal}));
}

TEST_F(GuiWin, UnknownZClassFallsBackToNormalWithItsMessage) {
    const int a = add("a"), b = add("b");
    qvtest::LogCapture log;
    n_gui_window_set_zorder(ctx.get(), a, 7, 3);
    EXPECT_TRUE(log.contains("n_gui_window_set_zorder: unknown z_mode 7 for window 1 (expected N_GUI_ZORDER_NORMAL, "
                             "N_GUI_ZORDER_ALWAYS_ON_TOP, N_GUI_ZORDER_ALWAYS_BEHIND, N_GUI_ZORDER_FIXED, or "
                             "N_GUI_ZORDER_POPUP), falling back to N_GUI_ZORDER_NORMAL"))
        << log.text();
    EXPECT_EQ(n_gui_window_get_zorder(ctx.get(), a), N_GUI_ZORDER_NORMAL);
    EXPECT_EQ(n_gui_window_get_zvalue(ctx.get(), a), 3);
    EXPECT_EQ(order(), (std::vector<int>{a, b}));
}

/* ---- states ---- */

TEST_F(GuiWin, OpenCloseToggleMinimiseRestore) {
    const int id = add("w");
    const int field = n_gui_add_textarea(ctx.get(), id, 0, 0, nullptr, nullptr, 0, 0, 50, 20);
    n_gui_set_focus(ctx.get(), field);
    n_gui_close_window(ctx.get(), id);
    EXPECT_EQ(n_gui_window_is_open(ctx.get(), id), 0);
    EXPECT_EQ(n_gui_get_focus(ctx.get()), -1) << "closing drops the focus held inside";
    EXPECT_EQ(n_gui_get_widget(ctx.get(), field)->state & N_GUI_STATE_FOCUSED, 0);
    n_gui_toggle_window(ctx.get(), id);
    EXPECT_EQ(n_gui_window_is_open(ctx.get(), id), 1);
    n_gui_minimize_window(ctx.get(), id);
    EXPECT_EQ(n_gui_window_is_minimised(ctx.get(), id), 1);
    n_gui_minimize_window(ctx.get(), id);
    EXPECT_EQ(n_gui_window_is_minimised(ctx.get(), id), 0) << "minimise is a toggle";
    n_gui_minimize_window(ctx.get(), id);
    n_gui_restore_window(ctx.get(), id);
    n_gui_restore_window(ctx.get(), id);
    EXPECT_EQ(n_gui_window_is_minimised(ctx.get(), id), 0) << "restore always clears";
    EXPECT_EQ(n_gui_window_is_open(ctx.get(), 99), 0);
}

TEST_F(GuiWin, TopmostOpenWindowSkipsClosedAndMinimised) {
    EXPECT_EQ(n_gui_get_topmost_open_window(ctx.get()), -1);
    const int a = add("a"), b = add("b"), c = add("c");
    EXPECT_EQ(n_gui_get_topmost_open_window(ctx.get()), c);
    n_gui_close_window(ctx.get(), c);
    n_gui_minimize_window(ctx.get(), b);
    EXPECT_EQ(n_gui_get_topmost_open_window(ctx.get()), a);
}

TEST_F(GuiWin, MaximiseCoversTheDisplayAndRestoresTheRectangle) {
    n_gui_set_display_size(ctx.get(), 1280, 720);
    const int id = add("w", 30, 40, 250, 180);
    n_gui_minimize_window(ctx.get(), id);
    n_gui_maximize_window(ctx.get(), id);
    N_GUI_WINDOW *w = win(id);
    EXPECT_EQ(n_gui_window_is_maximised(ctx.get(), id), 1);
    EXPECT_EQ(n_gui_window_is_minimised(ctx.get(), id), 0);
    EXPECT_FLOAT_EQ(w->x, 0);
    EXPECT_FLOAT_EQ(w->y, 0);
    EXPECT_FLOAT_EQ(w->w, 1280);
    EXPECT_FLOAT_EQ(w->h, 720);
    n_gui_maximize_window(ctx.get(), id);
    EXPECT_EQ(n_gui_window_is_maximised(ctx.get(), id), 0);
    EXPECT_FLOAT_EQ(w->x, 30);
    EXPECT_FLOAT_EQ(w->y, 40);
    EXPECT_FLOAT_EQ(w->w, 250);
    EXPECT_FLOAT_EQ(w->h, 180);
    // a virtual canvas is what a maximised window covers
    n_gui_set_virtual_size(ctx.get(), 800, 600);
    n_gui_maximize_window(ctx.get(), id);
    EXPECT_FLOAT_EQ(w->w, 800);
    EXPECT_FLOAT_EQ(w->h, 600);
}

/* ---- title-bar buttons ---- */

TEST_F(GuiWin, TitleBarButtonRectangles) {
    const int id = add("w", 100, 50, 300, 200);
    float x, y, w, h;
    EXPECT_EQ(n_gui_window_button_rect(ctx.get(), id, N_GUI_TB_CLOSE, &x, &y, &w, &h), 0) << "no button flags";
    n_gui_window_set_flags(ctx.get(), id, N_GUI_WIN_BTN_CLOSE | N_GUI_WIN_BTN_MAXIMISE | N_GUI_WIN_BTN_MINIMISE);
    // side = titlebar 28 - 4 = 24; close at 100 + 300 - 4 - 24 = 372, y = 50 + 2
    ASSERT_EQ(n_gui_window_button_rect(ctx.get(), id, N_GUI_TB_CLOSE, &x, &y, &w, &h), 1);
    EXPECT_FLOAT_EQ(x, 372);
    EXPECT_FLOAT_EQ(y, 52);
    EXPECT_FLOAT_EQ(w, 24);
    EXPECT_FLOAT_EQ(h, 24);
    float mx, mnx;
    ASSERT_EQ(n_gui_window_button_rect(ctx.get(), id, N_GUI_TB_MAXIMISE, &mx, nullptr, nullptr, nullptr), 1);
    ASSERT_EQ(n_gui_window_button_rect(ctx.get(), id, N_GUI_TB_MINIMISE, &mnx, nullptr, nullptr, nullptr), 1);
    EXPECT_FLOAT_EQ(mx, x - (2 + 24));
    EXPECT_FLOAT_EQ(mnx, x - 2 * (2 + 24));
    // without the close button the maximise button takes its place
    n_gui_window_set_flags(ctx.get(), id, N_GUI_WIN_BTN_MAXIMISE | N_GUI_WIN_BTN_MINIMISE);
    n_gui_window_button_rect(ctx.get(), id, N_GUI_TB_MAXIMISE, &mx, nullptr, nullptr, nullptr);
    EXPECT_FLOAT_EQ(mx, 372);
    ctx->style.tb_btn_size = 16;
    n_gui_window_button_rect(ctx.get(), id, N_GUI_TB_MAXIMISE, &mx, &y, &w, nullptr);
    EXPECT_FLOAT_EQ(mx, 100 + 300 - 4 - 16);
    EXPECT_FLOAT_EQ(y, 50 + 6);
    EXPECT_FLOAT_EQ(w, 16);
    EXPECT_EQ(n_gui_window_button_rect(ctx.get(), id, N_GUI_TB_CLOSE, &x, &y, &w, &h), 0);
    EXPECT_EQ(n_gui_window_button_rect(ctx.get(), id, 4, &x, &y, &w, &h), 0);
    n_gui_window_set_flags(ctx.get(), id, N_GUI_WIN_BTN_CLOSE | N_GUI_WIN_NO_TITLEBAR);
    EXPECT_EQ(n_gui_window_button_rect(ctx.get(), id, N_GUI_TB_CLOSE, &x, &y, &w, &h), 0);
}

TEST_F(GuiWin, SettersOfCallbacksThemesAndBitmapsStoreTheirValues) {
    const int id = add("w");
    auto cb = [](int, void *, int) {};
    int user = 0;
    n_gui_window_set_close_callback(ctx.get(), id, cb, &user);
    n_gui_window_set_minimize_callback(ctx.get(), id, cb, &user);
    n_gui_window_set_maximize_callback(ctx.get(), id, cb, &user);
    n_gui_window_set_content_draw_callback(ctx.get(), id, [](int, void *) {}, &user);
    N_GUI_WINDOW *w = win(id);
    EXPECT_NE(w->on_close, nullptr);
    EXPECT_EQ(w->close_user_data, &user);
    EXPECT_EQ(w->maximize_user_data, &user);
    EXPECT_NE(w->on_content, nullptr);
    n_gui_window_set_wheel_scrollbar(ctx.get(), id, 7);
    EXPECT_EQ(w->wheel_scrollbar, 7);
    n_gui_window_set_wheel_scrollbar(ctx.get(), id, -5);
    EXPECT_EQ(w->wheel_scrollbar, -1);
    N_GUI_THEME t = n_gui_default_theme();
    t.border_thickness = 9;
    n_gui_window_set_tb_btn_theme(ctx.get(), id, t);
    n_gui_window_set_tb_close_theme(ctx.get(), id, t);
    EXPECT_FLOAT_EQ(w->tb_btn_theme.border_thickness, 9);
    EXPECT_FLOAT_EQ(w->tb_close_theme.border_thickness, 9);
    auto *bmp = reinterpret_cast<ALLEGRO_BITMAP *>(&user);  // stored, never drawn here
    n_gui_window_set_tb_button_bitmaps(ctx.get(), id, N_GUI_TB_CLOSE, bmp, nullptr, bmp);
    EXPECT_EQ(w->tb_bitmaps[2][0], bmp);
    EXPECT_EQ(w->tb_bitmaps[2][2], bmp);
    n_gui_window_set_tb_button_bitmaps(ctx.get(), id, 4, bmp, bmp, bmp);
    n_gui_window_set_tb_button_bitmaps(ctx.get(), id, 0, bmp, bmp, bmp);
    EXPECT_EQ(w->tb_bitmaps[0][0], nullptr);
    n_gui_window_set_flags(ctx.get(), id, 0x123);
    EXPECT_EQ(n_gui_window_get_flags(ctx.get(), id), 0x123);
    EXPECT_EQ(n_gui_window_get_flags(ctx.get(), 42), 0);
}

TEST_F(GuiWin, FindButtonByLabel) {
    const int id = add("w");
    n_gui_add_label(ctx.get(), id, "OK", 0, 0, 0, 10, 10);
    const int ok = n_gui_add_button(ctx.get(), id, "OK", 0, nullptr, nullptr, 0, 0, 10, 10);
    n_gui_add_button(ctx.get(), id, "OK", 0, nullptr, nullptr, 0, 0, 10, 10);
    EXPECT_EQ(n_gui_window_find_button(ctx.get(), id, "OK"), ok);
    EXPECT_EQ(n_gui_window_find_button(ctx.get(), id, "Cancel"), -1);
    EXPECT_EQ(n_gui_window_find_button(ctx.get(), id, nullptr), -1);
    EXPECT_EQ(n_gui_window_find_button(ctx.get(), 99, "OK"), -1);
}

/* ---- saved geometry ---- */

TEST_F(GuiWin, PendingGeometryIsClampedToTheDisplayAndConsumed) {
    n_gui_set_display_size(ctx.get(), 800, 600);
    N_GUI_PENDING_GEOM geoms[4] = {};
    auto put = [&](int i, const char *title, float x, float y, float w, float h, int state) {
        snprintf(geoms[i].title, sizeof geoms[i].title, "%s", title);
        geoms[i].x = x, geoms[i].y = y, geoms[i].w = w, geoms[i].h = h, geoms[i].state = state;
    };
    put(0, "Chat", 10, 10, 100, 100, 0);
    put(1, "Chat", -50, 700, 2000, 300, N_GUI_WIN_STATE_MINIMISED | N_GUI_WIN_STATE_OPEN);
    put(2, "Other", 5, 5, 0, 90, N_GUI_WIN_STATE_MAXIMISED);
    put(3, "Chat", 1, 1, 1, 1, 0);
    geoms[3].consumed = 1;
    ctx->pending_layout = geoms;
    ctx->pending_layout_count = 4;
    const int chat = add("Chat", 100, 100, 300, 200);
    N_GUI_WINDOW *w = win(chat);
    EXPECT_FLOAT_EQ(w->x, 0) << "x = -50 lies outside the display";
    EXPECT_FLOAT_EQ(w->y, 0) << "y = 700 lies beyond it";
    EXPECT_FLOAT_EQ(w->w, 800) << "w = 2000 is cut to the display";
    EXPECT_FLOAT_EQ(w->h, 300);
    EXPECT_EQ(w->state, N_GUI_WIN_STATE_OPEN | N_GUI_WIN_STATE_MINIMISED) << "only minimised and maximised are taken";
    EXPECT_TRUE(geoms[0].consumed && geoms[1].consumed);
    EXPECT_FALSE(geoms[2].consumed);
    const int other = add("Other", 100, 100, 300, 200);
    EXPECT_FLOAT_EQ(win(other)->x, 5);
    EXPECT_FLOAT_EQ(win(other)->w, 300) << "a size with a zero side is not taken";
    EXPECT_EQ(n_gui_window_is_maximised(ctx.get(), other), 1);
    const int again = add("Chat", 100, 100, 300, 200);
    EXPECT_FLOAT_EQ(win(again)->x, 100) << "consumed entries apply once";
    ctx->pending_layout = nullptr;  // the array is the test's
    ctx->pending_layout_count = 0;
}

/* ---- content, autosize, autofit ---- */

TEST_F(GuiWin, AutosizeFitsTheWidgetsWithAMargin) {
    const int id = add("w", 0, 0, 500, 500);
    n_gui_window_autosize(ctx.get(), id);
    EXPECT_FLOAT_EQ(win(id)->w, 120) << "no widgets: the minimum";
    EXPECT_FLOAT_EQ(win(id)->h, 60);
    n_gui_add_button(ctx.get(), id, "b", 0, nullptr, nullptr, 10, 20, 200, 100);
    n_gui_add_label(ctx.get(), id, "l", 0, 50, 130, 30, 40);
    n_gui_window_autosize(ctx.get(), id);
    EXPECT_FLOAT_EQ(win(id)->w, 230);
    EXPECT_FLOAT_EQ(win(id)->h, 170 + 20 + 28);
    n_gui_window_set_flags(ctx.get(), id, N_GUI_WIN_NO_TITLEBAR);
    n_gui_window_autosize(ctx.get(), id);
    EXPECT_FLOAT_EQ(win(id)->h, 190);
}

TEST_F(GuiWin, AutofitKeepsItsAnchorOrItsRightAndBottomEdges) {
    qvtest::LogCapture log;
    n_gui_window_set_autofit(ctx.get(), 77, N_GUI_AUTOFIT_W, 0);
    EXPECT_TRUE(log.contains("n_gui_window_set_autofit: window 77 not found")) << log.text();
    struct Case {
        const char *name;
        int flags;
        float x, y, w, h;
    } cases[] = {
        {"width only", N_GUI_AUTOFIT_W, 400, 300, 2 * 10 + 250, 200},
        {"both", N_GUI_AUTOFIT_W | N_GUI_AUTOFIT_H, 400, 300, 270, 20 + 150 + 28},
        {"keep right", N_GUI_AUTOFIT_W | N_GUI_AUTOFIT_KEEP_RIGHT, 400 - (270 - 300), 300, 270, 200},
        {"keep bottom", N_GUI_AUTOFIT_H | N_GUI_AUTOFIT_KEEP_BOTTOM, 400, 300 - (198 - 200), 300, 198},
        {"centre", N_GUI_AUTOFIT_W | N_GUI_AUTOFIT_H | N_GUI_AUTOFIT_CENTER, 400 - 135, 300 - 99, 270, 198},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const int id = add(c.name, 400, 300, 300, 200);
        n_gui_add_button(ctx.get(), id, "b", 0, nullptr, nullptr, 0, 0, 250, 150);
        const int hidden = n_gui_add_button(ctx.get(), id, "h", 0, nullptr, nullptr, 0, 0, 900, 900);
        n_gui_set_widget_visible(ctx.get(), hidden, 0);  // hidden widgets take no room
        n_gui_window_set_autofit(ctx.get(), id, c.flags, 10);
        n_gui_window_apply_autofit(ctx.get(), id);
        N_GUI_WINDOW *w = win(id);
        EXPECT_FLOAT_EQ(w->x, c.x);
        EXPECT_FLOAT_EQ(w->y, c.y);
        EXPECT_FLOAT_EQ(w->w, c.w);
        EXPECT_FLOAT_EQ(w->h, c.h);
        EXPECT_FLOAT_EQ(w->content_w, 250);
        EXPECT_FLOAT_EQ(w->content_h, 150);
    }
}

TEST_F(GuiWin, ContentSizeCountsVisibleWidgetsAndLabelTextInScrollingWindows) {
    const int id = add("w", 0, 0, 100, 100);
    n_gui_add_button(ctx.get(), id, "b", 0, nullptr, nullptr, 10, 10, 30, 40);
    const int label = n_gui_add_label(ctx.get(), id, "0123456789", 0, 5, 60, 20, 10);  // 80 px of text
    _window_update_content_size(ctx.get(), win(id));
    EXPECT_FLOAT_EQ(win(id)->content_w, 40);
    EXPECT_FLOAT_EQ(win(id)->content_h, 70);
    n_gui_window_set_flags(ctx.get(), id, N_GUI_WIN_CONTENT_SCROLL);
    _window_update_content_size(ctx.get(), win(id));
    EXPECT_FLOAT_EQ(win(id)->content_w, 5 + 80 + 8);
    n_gui_set_widget_visible(ctx.get(), label, 0);
    _window_update_content_size(ctx.get(), win(id));
    EXPECT_FLOAT_EQ(win(id)->content_w, 40);
    EXPECT_FLOAT_EQ(win(id)->content_h, 50);
}

/* ---- adaptive placement ---- */

TEST_F(GuiWin, AdaptiveResizeMovesAndScalesByPolicy) {
    n_gui_set_display_size(ctx.get(), 800, 600);
    const int scale = add("scale", 400, 300, 200, 150);
    const int move = add("move", 80, 60, 100, 100);
    const int fixed = add("fixed", 10, 10, 100, 100);
    const int btn = n_gui_add_button(ctx.get(), scale, "b", 0, nullptr, nullptr, 20, 30, 100, 60);
    n_gui_set_resize_mode(ctx.get(), N_GUI_RESIZE_MODE_ADAPTIVE);
    n_gui_window_set_resize_policy(ctx.get(), scale, N_GUI_RESIZE_SCALE);
    n_gui_window_set_resize_policy(ctx.get(), move, N_GUI_RESIZE_MOVE);
    EXPECT_EQ(n_gui_window_get_resize_policy(ctx.get(), scale), N_GUI_RESIZE_SCALE);
    EXPECT_EQ(n_gui_window_get_resize_policy(ctx.get(), 99), 0);
    n_gui_set_display_size(ctx.get(), 1000, 800);
    EXPECT_FLOAT_EQ(win(scale)->x, 500);
    EXPECT_FLOAT_EQ(win(scale)->y, 400);
    EXPECT_FLOAT_EQ(win(scale)->w, 250);
    EXPECT_FLOAT_EQ(win(scale)->h, 200);
    N_GUI_WIDGET *b = n_gui_get_widget(ctx.get(), btn);
    EXPECT_FLOAT_EQ(b->x, 25);
    EXPECT_NEAR(b->y, 40, 1e-4);
    EXPECT_FLOAT_EQ(b->w, 125);
    EXPECT_NEAR(b->h, 80, 1e-4);
    EXPECT_FLOAT_EQ(win(move)->x, 100);
    EXPECT_FLOAT_EQ(win(move)->y, 80);
    EXPECT_FLOAT_EQ(win(move)->w, 100);
    EXPECT_FLOAT_EQ(win(fixed)->x, 10);
    // a scaled window with a title bar is never smaller than its minimum
    n_gui_set_display_size(ctx.get(), 100, 100);
    EXPECT_FLOAT_EQ(win(scale)->w, 120);
    EXPECT_FLOAT_EQ(win(scale)->h, 60);
    n_gui_apply_adaptive_resize(ctx.get(), 0, 500);  // nothing for an empty size
    EXPECT_FLOAT_EQ(win(scale)->w, 120);
}

TEST_F(GuiWin, SetRectScalesWidgetsOnTheAxesAskedAndRenormalisesTheOthers) {
    n_gui_set_display_size(ctx.get(), 1000, 500);
    const int id = add("w", 0, 0, 200, 100);
    const int b = n_gui_add_button(ctx.get(), id, "b", 0, nullptr, nullptr, 20, 10, 100, 50);
    n_gui_window_set_rect_axes(ctx.get(), id, 1, 0, 50, 60, 400, 100);
    N_GUI_WIDGET *w = n_gui_get_widget(ctx.get(), b);
    EXPECT_FLOAT_EQ(w->x, 40);
    EXPECT_FLOAT_EQ(w->w, 200);
    EXPECT_FLOAT_EQ(w->y, 10);
    EXPECT_FLOAT_EQ(win(id)->norm_x, 0.05f);
    EXPECT_FLOAT_EQ(win(id)->norm_h, 0.2f);
    n_gui_window_set_rect(ctx.get(), id, 0, 0, -3, 0);
    EXPECT_FLOAT_EQ(win(id)->w, 1);
    EXPECT_FLOAT_EQ(win(id)->h, 1);
}

/* ---- detaching without a display ---- */

TEST_F(GuiWin, DetachRefusesUnknownWindowsAndAMissingQueue) {
    const int id = add("w");
    qvtest::LogCapture log;
    EXPECT_EQ(n_gui_window_detach(ctx.get(), 42, 0), -1);
    EXPECT_TRUE(log.contains("n_gui_window_detach: no window with id 42")) << log.text();
    EXPECT_EQ(n_gui_window_detach(ctx.get(), id, N_GUI_DETACH_RESIZABLE), -1);
    EXPECT_TRUE(log.contains("n_gui_window_detach: no event queue set, call n_gui_set_event_queue first")) << log.text();
    N_GUI_WINDOW *w = win(id);
    EXPECT_EQ(w->native_display, nullptr);
    EXPECT_EQ(w->native, 0);
    EXPECT_EQ(w->detach_flags, 0);
    EXPECT_EQ(n_gui_window_attach(ctx.get(), 42), -1);
    EXPECT_TRUE(log.contains("n_gui_window_attach: no window with id 42")) << log.text();
    w->native = 1;
    EXPECT_EQ(n_gui_window_attach(ctx.get(), id), 0);
    EXPECT_EQ(w->native, 0) << "attaching a window that is not detached only forgets the native mark";
    EXPECT_EQ(n_gui_window_is_detached(ctx.get(), id), 0);
    EXPECT_EQ(n_gui_count_detached(ctx.get()), 0);
    EXPECT_EQ(n_gui_window_from_display(ctx.get(), nullptr), -1);
    ALLEGRO_BITMAP *icon = nullptr;
    EXPECT_EQ(n_gui_window_set_native_icons(ctx.get(), id, &icon, 0), -1);
    EXPECT_TRUE(log.contains("n_gui_window_set_native_icons: num_icons must be >= 1")) << log.text();
    EXPECT_EQ(n_gui_window_set_native_icons(ctx.get(), id, &icon, 1), -1);
    EXPECT_TRUE(log.contains("n_gui_window_set_native_icons: window 1 is not detached")) << log.text();
    EXPECT_EQ(n_gui_window_native_is_hidden(ctx.get(), id), 0);
}

}  // namespace
