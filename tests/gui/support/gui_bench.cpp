// The toolkit's test bench: see gui_bench.h.
#include "gui_bench.h"

#include "qv_test_support.h"

#include <allegro5/allegro_image.h>
#include <allegro5/allegro_primitives.h>
#include <allegro5/allegro_ttf.h>

#include <cerrno>
#include <cmath>
#include <utility>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qvgui {

static XServer *the_server = nullptr;  // the binary's X server, when it has one

/* ---- Allegro without a display ---- */

AllegroScope::AllegroScope() {
    // Allegro opens $DISPLAY as it starts: a test without its own X server
    // must not reach whatever display the caller's session has
    if (!the_server || !the_server->ready()) unsetenv("DISPLAY");
    // no atexit hook: the scope shuts Allegro down itself, before the leak check
    ok = al_install_system(ALLEGRO_VERSION_INT, nullptr) && al_init_font_addon() && al_init_ttf_addon() &&
         al_init_primitives_addon() && al_init_image_addon();
}

AllegroScope::~AllegroScope() {
    if (!al_is_system_installed()) return;
    al_shutdown_image_addon();
    al_shutdown_primitives_addon();
    al_shutdown_ttf_addon();
    al_shutdown_font_addon();
    al_uninstall_system();
}

void FontFree::operator()(ALLEGRO_FONT *f) const {
    if (f) al_destroy_font(f);
}
void BitmapFree::operator()(ALLEGRO_BITMAP *b) const {
    if (b) al_destroy_bitmap(b);
}
void CtxFree::operator()(N_GUI_CTX *c) const {
    if (c) n_gui_destroy_ctx(&c);
}

FontPtr dejavu(const char *file, int px) {
    const std::string path = std::string(DEJAVU_DIR) + file;
    return FontPtr(al_load_ttf_font(path.c_str(), px, 0));
}

FontPtr builtin_font() { return FontPtr(al_create_builtin_font()); }

BitmapPtr memory_bitmap(int w, int h) {
    const int flags = al_get_new_bitmap_flags();
    al_set_new_bitmap_flags(ALLEGRO_MEMORY_BITMAP);
    ALLEGRO_BITMAP *b = al_create_bitmap(w, h);
    al_set_new_bitmap_flags(flags);
    return BitmapPtr(b);
}

Rgba rgba(ALLEGRO_COLOR c) {
    auto ch = [](float v) { return static_cast<int>(v * 255.0f + 0.5f); };
    return Rgba{ch(c.r), ch(c.g), ch(c.b), ch(c.a)};
}

std::ostream &operator<<(std::ostream &os, const Rgba &c) {
    return os << "(" << c.r << "," << c.g << "," << c.b << "," << c.a << ")";
}

static double luminance(ALLEGRO_COLOR c) {
    auto lin = [](double v) { return v <= 0.03928 ? v / 12.92 : pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * lin(c.r) + 0.7152 * lin(c.g) + 0.0722 * lin(c.b);
}

double contrast(ALLEGRO_COLOR a, ALLEGRO_COLOR b) {
    double la = luminance(a), lb = luminance(b);
    if (la < lb) std::swap(la, lb);
    return (la + 0.05) / (lb + 0.05);
}

ALLEGRO_COLOR over(ALLEGRO_COLOR top, ALLEGRO_COLOR under) {
    const float a = top.a;
    return ALLEGRO_COLOR{top.r * a + under.r * (1 - a), top.g * a + under.g * (1 - a), top.b * a + under.b * (1 - a), 1};
}

void GuiTest::SetUp() {
    ASSERT_TRUE(al.ok);
    font = builtin_font();
    ASSERT_TRUE(font);
    ctx.reset(n_gui_new_ctx(font.get()));
    ASSERT_TRUE(ctx);
}

/* ---- time ---- */

static double fake_now = 0;
static double read_fake() { return fake_now; }

FakeClock::FakeClock(double start) {
    fake_now = start;
    n_gui_set_time_source(read_fake);
}
FakeClock::~FakeClock() { n_gui_set_time_source(nullptr); }
void FakeClock::set(double t) { fake_now = t; }
void FakeClock::advance(double dt) { fake_now += dt; }

/* ---- a private X server ---- */

XServer::XServer(bool with_window_manager) : want_wm_(with_window_manager) { the_server = this; }

XServer *XServer::instance() { return the_server; }

XServer *use_x_server(bool with_window_manager) {
    auto *s = new XServer(with_window_manager);
    ::testing::AddGlobalTestEnvironment(s);  // GoogleTest owns it
    return s;
}

void XServer::SetUp() {
    char tmpl[] = "/tmp/qv-xvfb-XXXXXX";
    if (!mkdtemp(tmpl)) {
        why_ = "mkdtemp failed";
        return;
    }
    dir_ = tmpl;
    const std::string auth = dir_ + "/Xauthority", log = dir_ + "/xvfb.log";
    const std::string cookie = qvtest::hex(qvtest::random_bytes(16));
    // The server reads every cookie of its file whatever display the entry
    // names; the client's entry for the real display number follows below.
    if (qvtest::run_command("xauth -q -f " + auth + " add :0 . " + cookie + " 2>&1") != 0) {
        why_ = "xauth could not write " + auth;
        return;
    }
    int fds[2];
    if (pipe2(fds, 0) != 0) {
        why_ = "pipe failed";
        return;
    }
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    // the child inherits the pipe's write end: it was made without close-on-exec
    xvfb_ = std::make_unique<qvtest::ChildProcess>(
        std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1280x800x24", "-nolisten",
                                 "tcp", "-auth", auth},
        log);
    close(fds[1]);
    std::string number;
    // the server writes its display number once it accepts clients
    for (int waited = 0; waited < 60000 && number.find('\n') == std::string::npos;) {
        pollfd p{fds[0], POLLIN, 0};
        int r = poll(&p, 1, 100);
        waited += 100;
        if (r <= 0) continue;
        char buf[32];
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        number.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (number.find('\n') == std::string::npos) {
        why_ = "Xvfb did not report a display within 60 s; its log: " + qvtest::read_file(log);
        xvfb_.reset();
        return;
    }
    display_ = ":" + number.substr(0, number.find('\n'));
    if (qvtest::run_command("xauth -q -f " + auth + " add " + display_ + " . " + cookie + " 2>&1") != 0) {
        why_ = "xauth could not add " + display_;
        return;
    }
    setenv("DISPLAY", display_.c_str(), 1);
    setenv("XAUTHORITY", auth.c_str(), 1);
    if (want_wm_) {
        wm_ = std::make_unique<qvtest::ChildProcess>(std::vector<std::string>{"openbox", "--sm-disable"},
                                                     dir_ + "/openbox.log");
        bool up = qvtest::wait_until([] { return x_run("wmctrl -m >/dev/null 2>&1") == 0; }, 60000);
        if (!up) {
            why_ = "openbox did not come up within 60 s";
            return;
        }
    }
    // Mesa unloads its software renderer when the last display closes; what
    // it leaves behind would then be reported from an unknown module, out of
    // reach of the narrow suppressions in lsan.supp. Kept loaded, its frames
    // keep their name.
    dlopen("/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so", RTLD_NOW | RTLD_NODELETE);
    ready_ = true;
}

void XServer::TearDown() {
    wm_.reset();  // each stops its child by pid
    xvfb_.reset();
    if (!dir_.empty()) qvtest::run_command("rm -rf '" + dir_ + "'");
}

int x_run(const std::string &command, std::string *out) { return qvtest::run_command(command, out); }

unsigned long x_window_by_name(const std::string &name) {
    std::string out;
    if (x_run("xwininfo -name '" + name + "' 2>/dev/null", &out) != 0) return 0;
    const std::string key = "Window id: ";
    size_t at = out.find(key);
    if (at == std::string::npos) return 0;
    return strtoul(out.c_str() + at + key.size(), nullptr, 0);
}

/* ---- screenshots ---- */

std::string shots_dir() {
    const std::string d = QV_GUI_SHOTS_DIR;
    mkdir(d.c_str(), 0755);
    return d;
}

std::string golden_dir() { return QV_GUI_GOLDEN_DIR; }

bool x_screenshot(unsigned long window, const std::string &name) {
    const std::string path = shots_dir() + "/" + name;
    unlink(path.c_str());
    char id[32];
    snprintf(id, sizeof id, "0x%lx", window);
    if (x_run(std::string("import -window ") + id + " png:'" + path + "' 2>&1") != 0) return false;
    return access(path.c_str(), R_OK) == 0;
}

bool save_png(ALLEGRO_BITMAP *bmp, const std::string &name) {
    const std::string path = shots_dir() + "/" + name;
    return bmp && al_save_bitmap(path.c_str(), bmp);
}

::testing::AssertionResult matches_golden(const std::string &name, long max_pixels) {
    const std::string shot = shots_dir() + "/" + name, golden = golden_dir() + "/" + name;
    const char *update = getenv("QV_UPDATE_GOLDEN");
    if (update && strcmp(update, "1") == 0) {
        if (qvtest::run_command("cp '" + shot + "' '" + golden + "'") != 0)
            return ::testing::AssertionFailure() << "could not copy " << shot << " to " << golden;
        return ::testing::AssertionSuccess();
    }
    if (access(golden.c_str(), R_OK) != 0)
        return ::testing::AssertionFailure() << "no golden image " << golden << "; the new one is " << shot;
    const std::string diff = shots_dir() + "/" + name.substr(0, name.rfind('.')) + ".diff.png";
    std::string out;
    // compare prints the count of differing pixels on standard error
    qvtest::run_command("compare -metric AE -fuzz 2% '" + golden + "' '" + shot + "' '" + diff + "' 2>&1", &out);
    char *end = nullptr;
    const double differing = strtod(out.c_str(), &end);
    if (end == out.c_str())
        return ::testing::AssertionFailure() << "compare failed on " << shot << ": " << out;
    if (differing <= static_cast<double>(max_pixels)) {
        unlink(diff.c_str());
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << differing << " pixels differ from " << golden << " (at most " << max_pixels
                                         << " may); new image " << shot << ", difference " << diff;
}

}  // namespace qvgui
