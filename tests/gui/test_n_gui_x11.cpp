// The toolkit on a real X server: this binary starts its own Xvfb with
// openbox once for all its cases. Input comes from xdotool through Allegro's
// event queue; windows are checked with xwininfo; the demonstration form is
// photographed with ImageMagick and compared with its reviewed golden image
// in two themes.
#include "gui_bench.h"
#include "n_gui.h"
#include "n_gui_draw.h"
#include "n_gui_kinds.h"
#include "qv_test_support.h"

#include <allegro5/allegro_primitives.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace qvgui;

namespace {

XServer *const x_server = use_x_server(true);

// Allegro with a display, mouse and keyboard on our X server.
struct OnX : ::testing::Test {
    AllegroScope al;
    ALLEGRO_EVENT_QUEUE *queue = nullptr;
    std::vector<ALLEGRO_DISPLAY *> displays;
    void SetUp() override {
        // Xlib converts window titles through the locale: without a UTF-8
        // one, every character outside ASCII is dropped from them
        ASSERT_NE(setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
        QV_NEED_X();
        ASSERT_TRUE(al.ok);
        ASSERT_TRUE(al_install_mouse());
        ASSERT_TRUE(al_install_keyboard());
        queue = al_create_event_queue();
        ASSERT_NE(queue, nullptr);
        al_register_event_source(queue, al_get_mouse_event_source());
        al_register_event_source(queue, al_get_keyboard_event_source());
    }
    void TearDown() override {
        for (ALLEGRO_DISPLAY *d : displays) al_destroy_display(d);
        if (queue) al_destroy_event_queue(queue);
        al_uninstall_keyboard();
        al_uninstall_mouse();
    }
    ALLEGRO_DISPLAY *open_display(const char *title, int w, int h) {
        al_set_new_display_flags(ALLEGRO_WINDOWED);
        al_set_new_window_title(title);
        ALLEGRO_DISPLAY *d = al_create_display(w, h);
        al_set_new_window_title("");
        if (d) {
            displays.push_back(d);
            al_register_event_source(queue, al_get_display_event_source(d));
        }
        return d;
    }
    // Reads events until one satisfies `pred`, for at most 60 s.
    template <class F> bool wait_event(F pred) {
        const double until = al_get_time() + 60;
        ALLEGRO_EVENT ev;
        while (al_get_time() < until)
            if (al_wait_for_event_timed(queue, &ev, 0.25f) && pred(ev)) return true;
        return false;
    }
};

std::string xwininfo(const std::string &name) {
    std::string out;
    x_run("xwininfo -name '" + name + "' 2>/dev/null", &out);
    return out;
}

std::string wm_titles() {
    std::string out;
    x_run("LC_ALL=C.UTF-8 wmctrl -l 2>/dev/null", &out);  // titles are UTF-8
    return out;
}

std::string xprop_names(unsigned long id) {
    std::string out;
    x_run("xprop -id " + std::to_string(id) + " WM_NAME _NET_WM_NAME 2>&1", &out);
    return out;
}

bool viewable(const std::string &name) { return xwininfo(name).find("IsViewable") != std::string::npos; }

int field(const std::string &info, const std::string &key) {
    size_t at = info.find(key);
    return at == std::string::npos ? -1 : atoi(info.c_str() + at + key.size());
}

/* ---- the bench itself ---- */

// Real X input reaches Allegro's queue: a pointer move, a click and a key.
TEST_F(OnX, XdotoolInputArrivesThroughAllegrosQueue) {
    ALLEGRO_DISPLAY *d = open_display("Input bench", 320, 200);
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(x_wait([] { return viewable("Input bench"); }, 60000)) << xwininfo("Input bench");
    const unsigned long id = x_window_by_name("Input bench");
    ASSERT_NE(id, 0u);
    const std::string wid = std::to_string(id);
    ASSERT_EQ(x_run("xdotool windowactivate --sync " + wid + " mousemove --window " + wid + " --sync 40 30"), 0);
    EXPECT_TRUE(wait_event([](const ALLEGRO_EVENT &e) {
        return (e.type == ALLEGRO_EVENT_MOUSE_AXES || e.type == ALLEGRO_EVENT_MOUSE_ENTER_DISPLAY) && e.mouse.x == 40 &&
               e.mouse.y == 30;
    }));
    ASSERT_EQ(x_run("xdotool click 1"), 0);
    EXPECT_TRUE(wait_event([](const ALLEGRO_EVENT &e) {
        return e.type == ALLEGRO_EVENT_MOUSE_BUTTON_UP && e.mouse.button == 1 && e.mouse.x == 40;
    }));
    ASSERT_EQ(x_run("xdotool key q"), 0);
    EXPECT_TRUE(wait_event([](const ALLEGRO_EVENT &e) { return e.type == ALLEGRO_EVENT_KEY_CHAR && e.keyboard.unichar == 'q'; }));
}

/* ---- detached windows ---- */

TEST_F(OnX, DetachedWindowIsARealXWindowWithItsTitle) {
    FontPtr font = dejavu("DejaVuSans.ttf", 15);
    ASSERT_TRUE(font);
    CtxPtr ctx(n_gui_new_ctx(font.get()));
    n_gui_set_event_queue(ctx.get(), queue);
    const int win = n_gui_add_window(ctx.get(), "Conversation details", 40, 50, 360, 228);
    const int btn = n_gui_add_button(ctx.get(), win, "Close", 0, nullptr, nullptr, 10, 10, 100, 30);
    ASSERT_EQ(n_gui_window_detach(ctx.get(), win, N_GUI_DETACH_RESIZABLE), 0);
    EXPECT_EQ(n_gui_window_is_detached(ctx.get(), win), 1);
    EXPECT_EQ(n_gui_count_detached(ctx.get()), 1);
    ALLEGRO_DISPLAY *nd = n_gui_window_get_display(ctx.get(), win);
    ASSERT_NE(nd, nullptr);
    EXPECT_EQ(n_gui_window_from_display(ctx.get(), nd), win);
    N_GUI_WINDOW *w = n_gui_get_window(ctx.get(), win);
    // the system frame shows the title: the native window is the body alone
    EXPECT_FLOAT_EQ(w->w, 360);
    EXPECT_FLOAT_EQ(w->h, 200);
    EXPECT_FLOAT_EQ(w->x, 0);
    EXPECT_TRUE(w->flags & N_GUI_WIN_NO_TITLEBAR);
    EXPECT_EQ(w->native, 1);
    EXPECT_FLOAT_EQ(n_gui_get_widget(ctx.get(), btn)->norm_w, 100.0f / 360);
    ASSERT_TRUE(x_wait([] { return viewable("Conversation details"); }, 60000))
        << xwininfo("Conversation details");
    const std::string info = xwininfo("Conversation details");
    EXPECT_EQ(field(info, "Width: "), 360) << info;
    EXPECT_EQ(field(info, "Height: "), 200) << info;

    n_gui_window_set_caption(ctx.get(), win, "Alice — details");
    // the window manager's list shows the UTF-8 title
    EXPECT_TRUE(x_wait([] { return wm_titles().find("Alice — details") != std::string::npos; }, 60000))
        << wm_titles() << xprop_names(strtoul(wm_titles().c_str(), nullptr, 16));

    ALLEGRO_BITMAP *icon = al_create_bitmap(16, 16);
    EXPECT_EQ(n_gui_window_set_native_icons(ctx.get(), win, &icon, 1), 0);
    EXPECT_EQ(n_gui_window_detach(ctx.get(), win, N_GUI_DETACH_FRAMELESS), 0);
    EXPECT_EQ(w->detach_flags, N_GUI_DETACH_FRAMELESS) << "detaching again only takes the flags";
    EXPECT_EQ(n_gui_window_get_display(ctx.get(), win), nd);

    n_gui_close_window(ctx.get(), win);
    EXPECT_EQ(w->close_pending, 1);
    n_gui_open_window(ctx.get(), win);
    EXPECT_EQ(w->close_pending, 0);

    ASSERT_EQ(n_gui_window_attach(ctx.get(), win), 0);
    EXPECT_EQ(n_gui_window_is_detached(ctx.get(), win), 0);
    EXPECT_FLOAT_EQ(w->x, 40);
    EXPECT_FLOAT_EQ(w->h, 228);
    EXPECT_FALSE(w->flags & N_GUI_WIN_NO_TITLEBAR);
    EXPECT_FLOAT_EQ(w->native_w, 360) << "the native size is remembered for the next detach";
    EXPECT_TRUE(x_wait([] { return wm_titles().find("Alice — details") == std::string::npos; }, 60000))
        << "its X window is gone: " << wm_titles();
    al_destroy_bitmap(icon);
}

// A frameless native window is maximised by the window manager.
TEST_F(OnX, FramelessWindowMaximisesThroughTheWindowManager) {
    FontPtr font = dejavu("DejaVuSans.ttf", 15);
    CtxPtr ctx(n_gui_new_ctx(font.get()));
    n_gui_set_event_queue(ctx.get(), queue);
    const int win = n_gui_add_window(ctx.get(), "Media viewer", 20, 20, 300, 200);
    ASSERT_EQ(n_gui_window_detach(ctx.get(), win, N_GUI_DETACH_FRAMELESS), 0);
    ASSERT_TRUE(x_wait([] { return viewable("Media viewer"); }, 60000));
    n_gui_maximize_window(ctx.get(), win);
    EXPECT_EQ(n_gui_window_is_maximised(ctx.get(), win), 1);
    EXPECT_TRUE(x_wait([] { return field(xwininfo("Media viewer"), "Width: ") == 1280; }, 60000))
        << xwininfo("Media viewer");
    n_gui_maximize_window(ctx.get(), win);
    EXPECT_EQ(n_gui_window_is_maximised(ctx.get(), win), 0);
    EXPECT_TRUE(x_wait([] { return field(xwininfo("Media viewer"), "Width: ") == 300; }, 60000))
        << xwininfo("Media viewer");
}

/* ---- the demonstration form ---- */

void draw_avatar(N_GUI_WIDGET *wgt, ALLEGRO_FONT *font, void *, float x, float y) {
    const float r = fminf(wgt->w, wgt->h) / 2;
    al_draw_filled_circle(x + wgt->w / 2, y + wgt->h / 2, r, al_map_rgb(64, 120, 200));
    if (font) al_draw_text(font, al_map_rgb(255, 255, 255), x + wgt->w / 2,
                           y + (wgt->h - static_cast<float>(al_get_font_line_height(font))) / 2, ALLEGRO_ALIGN_CENTRE, "ZM");
}

struct Palette {
    const char *name;
    N_GUI_THEME theme;
    ALLEGRO_COLOR clear;
};

Palette dark_palette() { return {"dark", n_gui_default_theme(), al_map_rgb(24, 26, 32)}; }

Palette light_palette() {
    N_GUI_THEME t = n_gui_make_theme(al_map_rgb(252, 252, 253), al_map_rgb(238, 241, 246), al_map_rgb(222, 228, 240),
                                     al_map_rgb(168, 176, 192), al_map_rgb(130, 140, 160), al_map_rgb(60, 104, 196),
                                     al_map_rgb(28, 30, 36), al_map_rgb(16, 18, 24), al_map_rgb(16, 18, 24), 1, 6, 6);
    t.selection_color = al_map_rgba(60, 104, 196, 90);
    return {"light", t, al_map_rgb(232, 235, 240)};
}

// A members table: the grid's row and column accessors come with the grid
// code, so the record is filled as they will fill it (heap copies the
// widget frees).
void fill_members(N_GUI_CTX *ctx, int grid) {
    static const char *const titles[] = {"Name", "Role", "Last seen"};
    static const float widths[] = {134, 90, 116};
    static const char *const rows[][3] = {{"Alice Martin", "Owner", "today"},
                                          {"Zoë Müller", "Admin", "online"},
                                          {"Bob's workshop", "Member", "2 days ago"},
                                          {"Hiking club", "Member", "last week"}};
    auto *gd = static_cast<N_GUI_DATAGRID_DATA *>(n_gui_get_widget(ctx, grid)->data);
    gd->col_count = gd->col_capacity = 3;
    gd->columns = static_cast<N_GUI_DATAGRID_COL *>(calloc(3, sizeof(N_GUI_DATAGRID_COL)));
    gd->order = static_cast<int *>(calloc(3, sizeof(int)));
    ASSERT_TRUE(gd->columns && gd->order);
    for (int c = 0; c < 3; c++) {
        snprintf(gd->columns[c].title, sizeof gd->columns[c].title, "%s", titles[c]);
        gd->columns[c].width = widths[c];
        gd->columns[c].visible = 1;
        gd->order[c] = c;
    }
    gd->row_count = gd->row_capacity = 4;
    gd->cells = static_cast<char **>(calloc(4 * 3, sizeof(char *)));
    ASSERT_TRUE(gd->cells);
    for (int r = 0; r < 4; r++)
        for (int c = 0; c < 3; c++) gd->cells[r * 3 + c] = strdup(rows[r][c]);
}

// Every kind whose drawing the toolkit has, each in its state at rest (the
// markdown view waits for its engine: an empty frame shows nothing a user
// could judge). Returns the window.
int build_demo(N_GUI_CTX *ctx, ALLEGRO_BITMAP *picture, ALLEGRO_FONT *mono) {
    const int win = n_gui_add_window(ctx, "Every widget", 10, 10, 700, 630);
    n_gui_window_set_flags(ctx, win, N_GUI_WIN_BTN_MINIMISE | N_GUI_WIN_BTN_MAXIMISE | N_GUI_WIN_BTN_CLOSE |
                                         N_GUI_WIN_RESIZABLE);
    // left column
    n_gui_add_label(ctx, win, "Display name", N_GUI_ALIGN_LEFT, 12, 8, 300, 22);
    const int name = n_gui_add_textarea(ctx, win, 0, 64, nullptr, nullptr, 16, 32, 300, 28);
    n_gui_textarea_set_placeholder(ctx, name, "How others see you");
    const int note = n_gui_add_textarea(ctx, win, 1, 0, nullptr, nullptr, 16, 68, 300, 64);
    n_gui_textarea_set_text(ctx, note, "Back at six.\nCall me if the parcel arrives before then.");
    n_gui_add_button(ctx, win, "Send", N_GUI_SHAPE_ROUNDED, nullptr, nullptr, 16, 142, 96, 30);
    n_gui_add_toggle_button(ctx, win, "Bold", N_GUI_SHAPE_ROUNDED, 1, nullptr, nullptr, 120, 142, 80, 30);
    const int plus = n_gui_add_button(ctx, win, "", N_GUI_SHAPE_ROUNDED, nullptr, nullptr, 208, 142, 30, 30);
    n_gui_button_set_glyph(ctx, plus, 5);
    n_gui_add_checkbox(ctx, win, "Remember me on this device", 1, nullptr, nullptr, 16, 182, 300, 22);
    n_gui_add_checkbox(ctx, win, "Show link previews", 0, nullptr, nullptr, 16, 208, 300, 22);
    n_gui_add_slider(ctx, win, N_GUI_SLIDER_PERCENT, nullptr, nullptr, 0, 100, 40, 16, 238, 240, 22);
    const int progress = n_gui_add_progressbar(ctx, win, 16, 270, 300, 18);
    // its accessors come with the progress-bar code; the record is plain
    auto *pd = static_cast<N_GUI_PROGRESSBAR_DATA *>(n_gui_get_widget(ctx, progress)->data);
    pd->value = 0.6f;
    snprintf(pd->text, sizeof pd->text, "Uploading 60%%");
    const int radio = n_gui_add_radiolist(ctx, win, nullptr, nullptr, 16, 296, 300, 70);
    for (const char *t : {"Everyone", "Contacts only", "Nobody"}) n_gui_radiolist_add_item(ctx, radio, t);
    n_gui_radiolist_set_selected(ctx, radio, 1);
    const int combo = n_gui_add_combobox(ctx, win, nullptr, nullptr, 16, 374, 300, 28);
    for (const char *t : {"English", "Deutsch", "Français"}) n_gui_combobox_add_item(ctx, combo, t);
    n_gui_combobox_set_selected(ctx, combo, 2);
    n_gui_add_dropmenu(ctx, win, "Actions", nullptr, nullptr, 16, 410, 140, 28);
    n_gui_add_label_link(ctx, win, "Help and privacy", "https://quorvane.example/help", N_GUI_ALIGN_LEFT, nullptr,
                         nullptr, 164, 410, 152, 28);
    n_gui_add_label(ctx, win,
                    "Messages are sealed on this device before they leave it; the server only relays what it "
                    "cannot read.",
                    N_GUI_ALIGN_JUSTIFIED, 12, 446, 308, 72);
    // right column: a split view, conversations on the left of its divider
    // and a settings file on the right, each pane as wide as the ratio gives
    const float split_x = 340, split_w = 340, split_h = 132, ratio = 0.5f;
    const int split = n_gui_add_splitpane(ctx, win, N_GUI_HORIZONTAL, nullptr, nullptr, split_x, 8, split_w, split_h, ratio);
    const float divider = static_cast<N_GUI_SPLITPANE_DATA *>(n_gui_get_widget(ctx, split)->data)->divider;
    const float left_w = split_w * ratio - divider / 2, right_x = split_x + split_w * ratio + divider / 2;
    const int list = n_gui_add_listbox(ctx, win, N_GUI_SELECT_SINGLE, nullptr, nullptr, split_x, 8, left_w, split_h);
    for (const char *t : {"Alice Martin", "Bob's workshop", "Family", "Zoë Müller", "Release notes", "Hiking club"})
        n_gui_listbox_add_item(ctx, list, t);
    n_gui_listbox_set_selected(ctx, list, 0, 1);
    const int syn = n_gui_add_syntaxview(ctx, win, N_GUI_SYNTAX_JSON, right_x, 8, split_x + split_w - right_x, split_h);
    n_gui_syntaxview_set_text(ctx, syn, "{\n  \"language\": \"fr\",\n  \"scale\": 1.25,\n  \"sounds\": true\n}");
    const int bar = n_gui_add_scrollbar(ctx, win, N_GUI_HORIZONTAL, 0, nullptr, nullptr, 1000, 250, 340, 148, 340, 12);
    n_gui_scrollbar_set_pos(ctx, bar, 200);
    fill_members(ctx, n_gui_add_datagrid(ctx, win, nullptr, nullptr, 340, 172, 340, 110));
    n_gui_add_image(ctx, win, picture, N_GUI_IMAGE_FIT, 340, 294, 72, 72);
    n_gui_add_custom(ctx, win, draw_avatar, nullptr, 420, 298, 64, 64);
    n_gui_add_label(ctx, win, "Zoë Müller\nOnline\nSafety number verified", N_GUI_ALIGN_LEFT, 492, 294, 188, 72);
    // a vertical slider shows its value under its track, as a horizontal one
    // shows it beside: the space below is left for it
    n_gui_add_label(ctx, win, "Volume", N_GUI_ALIGN_LEFT, 336, 378, 120, 22);
    n_gui_add_vslider(ctx, win, N_GUI_SLIDER_VALUE, nullptr, nullptr, 0, 10, 7, 344, 404, 20, 84);
    // across the bottom, in a monospace font so that its columns line up
    const int hex = n_gui_add_hexview(ctx, win, 16, 530, 664, 52);
    n_gui_get_widget(ctx, hex)->font = mono;
    const unsigned char bytes[] = {0x51, 0x56, 0x01, 0x00, 0x7F, 0x1F, 'h', 'e', 'l', 'l', 'o', 0xFF,
                                   0x00, 0x10, 0x20, 0x30, 0x40, 0x41, 0x42};
    n_gui_hexview_set_data(ctx, hex, bytes, sizeof bytes);
    return win;
}

// A small picture for the image widget: a sky over a green hill.
ALLEGRO_BITMAP *make_picture() {
    ALLEGRO_BITMAP *b = al_create_bitmap(64, 48);
    ALLEGRO_BITMAP *old = al_get_target_bitmap();
    al_set_target_bitmap(b);
    al_clear_to_color(al_map_rgb(140, 190, 235));
    al_draw_filled_circle(48, 12, 7, al_map_rgb(250, 220, 90));
    al_draw_filled_ellipse(28, 52, 44, 22, al_map_rgb(70, 150, 80));
    al_set_target_bitmap(old);
    return b;
}

// Both looks of the form keep body text readable on what it is drawn over,
// and the links the toolkit derives from each theme too (the named link
// colour alone is near 3.8:1 on both).
TEST(DemoPalettes, TextAndLinksHaveEnoughContrast) {
    AllegroScope al;
    ASSERT_TRUE(al.ok);
    FontPtr font = builtin_font();
    ASSERT_TRUE(font);
    for (const Palette &p : {dark_palette(), light_palette()}) {
        SCOPED_TRACE(p.name);
        const ALLEGRO_COLOR body = over(p.theme.bg_normal, p.clear);
        EXPECT_GE(contrast(p.theme.text_normal, body), 4.5);
        EXPECT_GE(contrast(p.theme.text_active, over(p.theme.bg_active, p.clear)), 4.5);
        CtxPtr ctx(n_gui_new_ctx(font.get()));
        ASSERT_TRUE(ctx);
        n_gui_set_default_theme(ctx.get(), p.theme);
        EXPECT_LT(contrast(n_gui_default_style().link_color_normal, body), 4.5) << "the case shows no change";
        EXPECT_GE(contrast(ctx->style.link_color_normal, body), 4.5);
        EXPECT_GE(contrast(ctx->style.link_color_hover, body), 4.5);
    }
}

TEST_F(OnX, DemonstrationFormMatchesItsGoldenImageInTwoThemes) {
    FontPtr font = dejavu("DejaVuSans.ttf", 14), mono = dejavu("DejaVuSansMono.ttf", 13);
    ASSERT_TRUE(font && mono);
    for (const Palette &p : {dark_palette(), light_palette()}) {
        SCOPED_TRACE(p.name);
        const std::string title = std::string("Widgets ") + p.name;
        ALLEGRO_DISPLAY *d = open_display(title.c_str(), 720, 650);
        ASSERT_NE(d, nullptr);
        ALLEGRO_BITMAP *picture = make_picture();
        CtxPtr ctx(n_gui_new_ctx(font.get()));
        n_gui_set_display(ctx.get(), d);
        n_gui_set_display_size(ctx.get(), 720, 650);
        n_gui_set_shape_mode(ctx.get(), 1);
        n_gui_set_default_theme(ctx.get(), p.theme);
        const int win = build_demo(ctx.get(), picture, mono.get());
        // every label was sized to show its whole text
        for (LIST_NODE *n = n_gui_get_window(ctx.get(), win)->widgets->start; n; n = n->next) {
            auto *wgt = static_cast<N_GUI_WIDGET *>(n->ptr);
            if (wgt->kind != N_GUI_TYPE_LABEL) continue;
            EXPECT_EQ(n_gui_label_fits(ctx.get(), wgt->id, nullptr, nullptr), 1) << n_gui_label_get_text(ctx.get(), wgt->id);
        }
        ASSERT_TRUE(x_wait([&] { return viewable(title); }, 60000));
        al_set_target_backbuffer(d);
        al_clear_to_color(p.clear);
        n_gui_draw(ctx.get());
        al_flip_display();
        const unsigned long xid = x_window_by_name(title);
        ASSERT_NE(xid, 0u);
        const std::string shot = std::string("demo-form-") + p.name + ".png";
        ASSERT_TRUE(x_screenshot(xid, shot));
        EXPECT_TRUE(matches_golden(shot, 200));
        ctx.reset();
        al_destroy_bitmap(picture);
    }
}

}  // namespace
