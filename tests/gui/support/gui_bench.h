// The toolkit's test bench, shared by every GUI suite: Allegro started
// without a display for headless tests (memory bitmaps, the real DejaVu
// fonts and Allegro's built-in 8-pixel font), a clock the toolkit reads
// instead of al_get_time, and for window tests a private X server (Xvfb, and
// openbox when a window manager must act) that the test binary starts once
// and stops by pid, real X input through xdotool, and screenshots compared
// with reviewed golden images by ImageMagick.
#pragma once

#include "n_gui.h"
#include "qv_test_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace qvgui {

/* ---- Allegro without a display ---- */

// Starts Allegro (system, fonts, TrueType, primitives, images) for the life of
// the object and shuts it down after; tests that need no window use only this.
struct AllegroScope {
    AllegroScope();
    ~AllegroScope();
    AllegroScope(const AllegroScope &) = delete;
    AllegroScope &operator=(const AllegroScope &) = delete;
    bool ok = false;
};

struct FontFree {
    void operator()(ALLEGRO_FONT *f) const;
};
struct BitmapFree {
    void operator()(ALLEGRO_BITMAP *b) const;
};
struct CtxFree {
    void operator()(N_GUI_CTX *c) const;
};
using FontPtr = std::unique_ptr<ALLEGRO_FONT, FontFree>;
using BitmapPtr = std::unique_ptr<ALLEGRO_BITMAP, BitmapFree>;
using CtxPtr = std::unique_ptr<N_GUI_CTX, CtxFree>;

constexpr const char *DEJAVU_DIR = "/usr/share/fonts/truetype/dejavu/";
FontPtr dejavu(const char *file, int px);  // e.g. dejavu("DejaVuSans.ttf", 16)
FontPtr builtin_font();                   // 8 pixels a glyph
BitmapPtr memory_bitmap(int w, int h);    // a target that needs no display

// A colour as 0..255 channels (rounded), for comparing with the theme tables.
struct Rgba {
    int r, g, b, a;
    bool operator==(const Rgba &o) const { return r == o.r && g == o.g && b == o.b && a == o.a; }
};
Rgba rgba(ALLEGRO_COLOR c);
std::ostream &operator<<(std::ostream &os, const Rgba &c);

// WCAG contrast ratio of two opaque colours (1 .. 21).
double contrast(ALLEGRO_COLOR a, ALLEGRO_COLOR b);
// `top` with its alpha laid over an opaque `under`.
ALLEGRO_COLOR over(ALLEGRO_COLOR top, ALLEGRO_COLOR under);

// A context on the built-in font for a test; the fixture every headless
// suite starts from.
struct GuiTest : ::testing::Test {
    AllegroScope al;
    FontPtr font;
    CtxPtr ctx;
    void SetUp() override;
};

/* ---- time ---- */

// Installs itself as the toolkit's clock for its life; only tests do this.
struct FakeClock {
    explicit FakeClock(double start = 1000.0);
    ~FakeClock();
    FakeClock(const FakeClock &) = delete;
    FakeClock &operator=(const FakeClock &) = delete;
    void set(double t);
    void advance(double dt);
};

/* ---- a private X server ---- */

// One Xvfb (and, when asked, openbox inside it) per test binary: registered
// as a GoogleTest environment, started before the first test and stopped by
// pid after the last. DISPLAY and XAUTHORITY of this process point at it, so
// Allegro and every X program a test runs use it and nothing else.
class XServer : public ::testing::Environment {
  public:
    explicit XServer(bool with_window_manager);
    void SetUp() override;
    void TearDown() override;
    static XServer *instance();
    const std::string &display() const { return display_; }
    bool ready() const { return ready_; }
    const std::string &why_not() const { return why_; }

  private:
    bool want_wm_;
    bool ready_ = false;
    std::string why_;
    std::string display_;
    std::string dir_;
    std::unique_ptr<qvtest::ChildProcess> xvfb_, wm_;
};

// Registers the server for this binary; call once at namespace scope:
//   static auto *xs = qvgui::use_x_server(true);
XServer *use_x_server(bool with_window_manager);

// Skips nothing: a test that needs the server fails when it did not start.
#define QV_NEED_X()                                                                          \
    do {                                                                                     \
        ASSERT_NE(qvgui::XServer::instance(), nullptr);                                      \
        ASSERT_TRUE(qvgui::XServer::instance()->ready()) << qvgui::XServer::instance()->why_not(); \
    } while (0)

// Runs an X client (xdotool, xwininfo, import...) against our server: the
// exit status, and its standard output in `out` when given.
int x_run(const std::string &command, std::string *out = nullptr);

// Polls `pred` every 100 ms (each poll may run an X client) until it holds
// or `ms` pass.
template <class F> bool x_wait(F pred, int ms) {
    for (int waited = 0; waited <= ms; waited += 100) {
        if (pred()) return true;
        qvtest::sleep_ms(100);
    }
    return pred();
}

// The X window id of the top-level window with that exact name, 0 when none.
unsigned long x_window_by_name(const std::string &name);

/* ---- screenshots ---- */

// Where screenshots go (under the build tree) and where golden images live.
std::string shots_dir();
std::string golden_dir();

// Saves the X window as PNG under shots_dir(); true when the file was written.
bool x_screenshot(unsigned long window, const std::string &name);

// Saves an Allegro bitmap as PNG under shots_dir().
bool save_png(ALLEGRO_BITMAP *bmp, const std::string &name);

// Compares shots_dir()/name with golden_dir()/name: at most max_pixels may
// differ by more than 2 %. A failure keeps the new image and the difference
// image and names both. With QV_UPDATE_GOLDEN=1 in the environment the new
// image replaces the golden one instead (then look at it before committing).
::testing::AssertionResult matches_golden(const std::string &name, long max_pixels);

}  // namespace qvgui
