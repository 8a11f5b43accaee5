// Drag and fling as recorded event sequences with the thresholds at n and n + 1,
// virtual scroll against a brute-force oracle, and the history window and
// backfill cursor as sequences.
#include "client_scroll.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

// ---- drag ---------------------------------------------------------------------

struct Ev {
    char   kind;  // 'p' press, 'm' move, 'r' release
    int    x, y;
    double t;
    int    result;  // of move and release
};

struct After {
    int   dragging, horizontal;
    float offset, dx;
    int   anchor_y;
};

struct Seq {
    const char             *name;
    std::vector<Ev>         events;
    After                   after;  // before the final release, if any
};

void play(const Seq &s, quorvane_drag *d) {
    for (size_t i = 0; i < s.events.size(); i++) {
        const Ev &e = s.events[i];
        SCOPED_TRACE(testing::Message() << "event " << i);
        if (e.kind == 'p') quorvane_drag_press(d, e.x, e.y, e.t);
        if (e.kind == 'm') {
            EXPECT_EQ(quorvane_drag_move(d, e.x, e.y, e.t, 10), e.result);
        }
        if (e.kind == 'r') {
            EXPECT_EQ(quorvane_drag_release(d), e.result);
        }
    }
}

TEST(Drag, SlopDecidesOnce) {
    const Seq seqs[] = {
        {"12 right, 3 down: horizontal", {{'p', 100, 100, 0, 0}, {'m', 112, 103, 0.01, 0}, {'m', 112, 200, 0.02, 0}},
         {0, 1, 0, 12, 100}},
        {"3 right, 12 up: a drag from -10", {{'p', 100, 100, 0, 0}, {'m', 103, 88, 0.01, 1}}, {1, 0, -10, 3, 98}},
        {"within the slop", {{'p', 0, 0, 0, 0}, {'m', 9, 0, 0.01, 0}, {'m', 0, 9, 0.02, 0}, {'m', -9, -9, 0.03, 0}},
         {0, 0, -9, -9, 0}},
        {"dy at the slop: drag", {{'p', 0, 0, 0, 0}, {'m', 0, 10, 0.01, 1}}, {1, 0, 10, 0, 0}},
        {"dx at the slop, dy under: horizontal", {{'p', 0, 0, 0, 0}, {'m', -10, 9, 0.01, 0}}, {0, 1, 0, -10, 0}},
        {"dx 9: undecided", {{'p', 0, 0, 0, 0}, {'m', 9, 0, 0.01, 0}}, {0, 0, 0, 9, 0}},
        {"dx equals dy at the slop: vertical", {{'p', 0, 0, 0, 0}, {'m', 10, 10, 0.01, 1}}, {1, 0, 10, 10, 0}},
        {"dx 11, dy 10: horizontal", {{'p', 0, 0, 0, 0}, {'m', 11, 10, 0.01, 0}}, {0, 1, 0, 11, 0}},
        {"a drag keeps following", {{'p', 0, 50, 0, 0}, {'m', 0, 70, 0.01, 1}, {'m', 40, 90, 0.02, 1}},
         {1, 0, 30, 40, 60}},
        {"horizontal stays horizontal", {{'p', 0, 0, 0, 0}, {'m', 30, 0, 0.01, 0}, {'m', 30, 100, 0.02, 0}},
         {0, 1, 0, 30, 0}},
        {"move without press", {{'m', 0, 100, 0.01, 0}}, {0, 0, 0, 0, 0}},
    };
    for (const Seq &s : seqs) {
        SCOPED_TRACE(s.name);
        quorvane_drag d{};
        play(s, &d);
        EXPECT_EQ(d.dragging, s.after.dragging);
        EXPECT_EQ(d.horizontal, s.after.horizontal);
        EXPECT_FLOAT_EQ(d.offset, s.after.offset);
        EXPECT_FLOAT_EQ(d.dx, s.after.dx);
        EXPECT_EQ(d.anchor_y, s.after.anchor_y);
    }
}

TEST(Drag, ReleaseTellsClickFromDrag) {
    quorvane_drag d{};
    // A swipe: release 1, velocity 0 (never measured).
    play({"", {{'p', 100, 100, 0, 0}, {'m', 112, 103, 0.01, 0}, {'r', 0, 0, 0, 1}}, {}}, &d);
    EXPECT_EQ(d.velocity, 0.0f);
    EXPECT_EQ(d.pressed + d.dragging + d.horizontal, 0);
    // A drag: release 1 and the velocity is kept for the fling.
    play({"", {{'p', 0, 0, 0, 0}, {'m', 0, 20, 0.01, 1}, {'r', 0, 0, 0, 1}}, {}}, &d);
    EXPECT_NE(d.velocity, 0.0f);
    const float kept = d.velocity;
    // A click after it: 0, and the velocity is gone.
    play({"", {{'p', 0, 0, 1, 0}, {'m', 3, 4, 1.01, 0}}, {}}, &d);
    d.velocity = kept;  // as if a fling were still running when the click began
    EXPECT_EQ(quorvane_drag_release(&d), 0);
    EXPECT_EQ(d.velocity, 0.0f);
    // Release without a press.
    d.velocity = 5;
    EXPECT_EQ(quorvane_drag_release(&d), 0);
    EXPECT_EQ(d.velocity, 0.0f);
    EXPECT_EQ(quorvane_drag_release(nullptr), 0);
}

// Velocity by the smoothing rule, worked out by hand from each sample.
TEST(Drag, VelocitySmoothingAndClamps) {
    struct Case {
        const char *name;
        double      t1, t2;  // times of two moves after a press at t = 0, y = 0
        int         y1, y2;
        double      want;
    };
    const double v1_20ms = 0.3 * (20 / 0.02);  // first sample: 20 px in 20 ms
    const Case cases[] = {
        {"0.0001 s apart uses 0.001", 0.02, 0.0201, 20, 21, 0.3 * (1 / 0.001) + 0.7 * v1_20ms},
        {"0.001 s apart", 0.02, 0.021, 20, 21, 0.3 * (1 / 0.001) + 0.7 * v1_20ms},
        {"0.05 s apart", 0.02, 0.07, 20, 30, 0.3 * (10 / 0.05) + 0.7 * v1_20ms},
        {"1 s apart uses 0.05", 0.02, 1.02, 20, 30, 0.3 * (10 / 0.05) + 0.7 * v1_20ms},
        {"time going back uses 0.001", 0.02, 0.01, 20, 21, 0.3 * (1 / 0.001) + 0.7 * v1_20ms},
        {"held at +6000", 0.02, 0.0201, 20, 100, 6000},
        {"held at -6000", 0.02, 0.0201, 20, -100, -6000},
        {"just under 6000", 0.02, 0.02 + 0.05, 20, 20 + 944, 0.3 * (944 / 0.05) + 0.7 * v1_20ms},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        quorvane_drag d{};
        quorvane_drag_press(&d, 0, 0, 0);
        ASSERT_EQ(quorvane_drag_move(&d, 0, c.y1, c.t1, 10), 1);
        EXPECT_NEAR(d.velocity, v1_20ms, 1e-3);
        ASSERT_EQ(quorvane_drag_move(&d, 0, c.y2, c.t2, 10), 1);
        EXPECT_NEAR(d.velocity, c.want, 1e-2);
        EXPECT_LE(std::fabs(d.velocity), 6000.0f);
        EXPECT_EQ(d.last_y, c.y2);
        EXPECT_EQ(d.last_time, c.t2);
    }
    // At the limit: a velocity of exactly 6000 is kept, just below it moves freely.
    quorvane_drag d{};
    quorvane_drag_press(&d, 0, 0, 0);
    d.dragging = 1;
    d.velocity = 6000;
    ASSERT_EQ(quorvane_drag_move(&d, 0, 300, 0.05, 10), 1);  // sample 6000: stays 6000
    EXPECT_FLOAT_EQ(d.velocity, 6000);
    d.velocity = 5990;
    ASSERT_EQ(quorvane_drag_move(&d, 0, 600, 0.10, 10), 1);  // 0.3*6000 + 0.7*5990 = 5993
    EXPECT_NEAR(d.velocity, 5993, 1e-2);
}

TEST(Drag, CancelClearsEverything) {
    quorvane_drag d{};
    play({"", {{'p', 5, 5, 1, 0}, {'m', 5, 50, 1.01, 1}}, {}}, &d);
    quorvane_drag_cancel(&d);
    EXPECT_EQ(d.pressed + d.dragging + d.press_x + d.anchor_y + d.last_y + d.horizontal, 0);
    EXPECT_EQ(d.last_time, 0.0);
    EXPECT_EQ(d.offset + d.velocity + d.dx, 0.0f);
    EXPECT_EQ(quorvane_drag_fling(&d, 0.016), 0.0f);
    quorvane_drag_cancel(nullptr);
}

TEST(Fling, StepsDecayAndStop) {
    struct Case {
        const char *name;
        float       v;
        double      seconds;
        float       step, next;
    };
    const float k = 0.05f / 0.325f;
    const Case cases[] = {
        {"1000 over 0.1 s", 1000, 0.1, 50, 1000 - k * 1000},
        {"-1000 over 0.05 s", -1000, 0.05, -50, -1000 + k * 1000},
        {"1000 over 0.016 s", 1000, 0.016, 16, 1000 - (0.016f / 0.325f) * 1000},
        {"30 stops after one step", 30, 0.016, 0.48f, 0},
        {"47 falls under 40", 47, 0.05, 2.35f, 0},
        {"48 stays above 40", 48, 0.05, 2.4f, 48 - k * 48},
        {"0 s", 1000, 0, 0, 1000},
        {"negative time", 1000, -1, 0, 1000},
        {"NaN time", 1000, std::nan(""), 0, 1000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        quorvane_drag d{};
        d.velocity = c.v;
        EXPECT_NEAR(quorvane_drag_fling(&d, c.seconds), c.step, 1e-4);
        EXPECT_NEAR(d.velocity, c.next, 1e-3);
    }
    // While pressed, and with no velocity, nothing moves.
    quorvane_drag d{};
    d.pressed = 1;
    d.velocity = 1000;
    EXPECT_EQ(quorvane_drag_fling(&d, 0.016), 0.0f);
    EXPECT_EQ(d.velocity, 1000.0f);
    d.pressed = 0;
    d.velocity = 0;
    EXPECT_EQ(quorvane_drag_fling(&d, 0.016), 0.0f);
    // A fling runs down to rest and covers about v * tau in all.
    d.velocity = 3000;
    double total = 0;
    int frames = 0;
    for (; d.velocity != 0 && frames < 10000; frames++) total += quorvane_drag_fling(&d, 1.0 / 60);
    EXPECT_LT(frames, 10000);
    EXPECT_NEAR(total, 3000 * 0.325, 3000 * 0.325 * 0.1);
}

// ---- virtual scroll --------------------------------------------------------------

struct Vs {
    float    content, overflow, top;
    uint64_t first, count;
};

Vs vs(const std::vector<float> &h, float view, float offset, float pad) {
    quorvane_vscroll r;
    std::memset(&r, 0x77, sizeof r);
    quorvane_vscroll_compute_pad(h.data(), h.size(), &r, view, offset, pad);
    return {r.content_height, r.overflow, r.first_top, r.first_index, r.visible_count};
}

TEST(VScroll, PartCasesAndEdges) {
    struct Case {
        const char        *name;
        std::vector<float> h;
        float              view, offset, pad;
        Vs                 want;
    };
    const Case cases[] = {
        {"three of 100 in 250", {100, 100, 100}, 250, 0, 0, {300, 50, -50, 0, 3}},
        {"one of 100 with pad 20", {100}, 250, 0, 20, {100, 0, 20, 0, 1}},
        {"scrolled up by 50", {100, 100, 100}, 250, 50, 0, {300, 50, 0, 0, 3}},
        {"scrolled up by 100", {100, 100, 100}, 250, 100, 0, {300, 50, 50, 0, 2}},
        {"scrolled down past the end", {100, 100, 100}, 250, -100, 0, {300, 50, -50, 1, 2}},
        {"a bottom exactly at 0 is hidden", {100, 100, 100}, 200, 0, 0, {300, 100, 0, 1, 2}},
        {"a top exactly at the view's bottom is hidden", {100, 100, 100}, 250, 150, 0, {300, 50, 100, 0, 2}},
        {"no rows", {}, 250, 0, 0, {0, 0, 0, 0, 0}},
        {"no rows, pad beyond the view", {}, 10, 0, 20, {0, 10, 10, 0, 0}},
        {"everything above the view", {100, 100}, 50, -500, 0, {200, 150, -650, 0, 0}},
        {"a zero-height row on the top edge is hidden, one inside counts", {0, 50, 0}, 100, 0, 0, {50, 0, 0, 1, 2}},
        {"a zero-height row below the top counts", {0, 50}, 100, 0, 10, {50, 0, 10, 0, 2}},
        {"exactly filling the view", {50, 50}, 100, 0, 0, {100, 0, 0, 0, 2}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Vs r = vs(c.h, c.view, c.offset, c.pad);
        EXPECT_FLOAT_EQ(r.content, c.want.content);
        EXPECT_FLOAT_EQ(r.overflow, c.want.overflow);
        EXPECT_FLOAT_EQ(r.top, c.want.top);
        EXPECT_EQ(r.first, c.want.first);
        EXPECT_EQ(r.count, c.want.count);
    }
    // compute is compute_pad with pad 0; no heights is no rows; no result is ignored.
    const std::vector<float> h = {30, 40, 50, 60};
    quorvane_vscroll a, b;
    quorvane_vscroll_compute(h.data(), h.size(), &a, 90, 12);
    quorvane_vscroll_compute_pad(h.data(), h.size(), &b, 90, 12, 0);
    EXPECT_EQ(0, std::memcmp(&a, &b, sizeof a));
    quorvane_vscroll_compute_pad(nullptr, 5, &a, 90, 0, 0);
    EXPECT_EQ(a.content_height, 0.0f);
    EXPECT_EQ(a.visible_count, 0u);
    quorvane_vscroll_compute_pad(h.data(), h.size(), nullptr, 90, 0, 0);
}

// The oracle places every row by exact integer arithmetic (heights, view, offset
// and pad in quarter pixels) and keeps the rows that overlap the open band (0, V)
// of the view, stopping at the first row whose top reaches V; no blocks, no
// shortcuts. Sums stay below 2^22 quarters, so the float results are exact too.
TEST(VScroll, AgreesWithBruteForceOracle) {
    std::mt19937 rng(2025);
    for (int round = 0; round < 4000; round++) {
        const size_t n = round % 10 == 0 ? rng() % 3000 : rng() % 60;
        std::vector<int64_t> q(n);
        std::vector<float> h(n);
        const int64_t max_h = 1 + rng() % 800;
        for (size_t i = 0; i < n; i++) {
            q[i] = rng() % 7 == 0 ? 0 : int64_t(rng() % max_h);
            h[i] = float(q[i]) / 4;
        }
        int64_t sum = 0;
        for (int64_t x : q) sum += x;
        const int64_t view = rng() % 4000, pad = rng() % 3 ? 0 : rng() % 200;
        const int64_t over = std::max<int64_t>(0, sum + pad - view);
        int64_t off;
        switch (rng() % 4) {
        case 0: off = 0; break;
        case 1: off = over ? int64_t(rng() % (over + 1)) : 0; break;
        case 2: off = -int64_t(rng() % 2000); break;
        default: off = int64_t(rng() % (over + 2000)); break;
        }
        SCOPED_TRACE(testing::Message() << "round " << round << " n " << n << " view " << view << " off " << off);

        int64_t y = sum + pad > view ? off + view - sum : off + pad;
        int64_t first_top = y;
        uint64_t first = 0, count = 0;
        bool any = false;
        for (size_t i = 0; i < n; i++) {
            if (y >= view) break;
            if (y + q[i] > 0) {
                if (!any) first_top = y, first = i;
                any = true;
                count = i - first + 1;
            }
            y += q[i];
        }
        const Vs r = vs(h, float(view) / 4, float(off) / 4, float(pad) / 4);
        ASSERT_EQ(r.content, float(sum) / 4);
        ASSERT_EQ(r.overflow, float(over) / 4);
        ASSERT_EQ(r.first, first);
        ASSERT_EQ(r.count, count);
        ASSERT_EQ(r.top, float(first_top) / 4);
    }
}

// Blocks skipped on the way must never hide a row: negative heights inside a
// block (which a caller should not pass) are walked row by row.
TEST(VScroll, NegativeHeightsAreWalkedRowByRow) {
    std::vector<float> h(64, 10);
    h[16] = 1000;   // a tall row, visible
    h[17] = -1000;  // cancelling it within its block of 16
    // Sum 620, view 100: overflow 520, rows start at -520; row 16's top is
    // -520 + 160 = -360 and its bottom 640, past the view: the only visible row.
    // Summed as a block, rows 16-31 would end at -220 and seem to lie above it.
    const Vs r = vs(h, 100, 0, 0);
    EXPECT_FLOAT_EQ(r.content, 620);
    EXPECT_FLOAT_EQ(r.overflow, 520);
    EXPECT_EQ(r.first, 16u);
    EXPECT_EQ(r.count, 1u);
    EXPECT_FLOAT_EQ(r.top, -360);
}

// ---- history window -----------------------------------------------------------------

TEST(HistoryWindow, StartInitialAndBackfill) {
    struct Case {
        uint64_t count, saved, window;
        int      force;
        uint64_t start;
    };
    const Case cases[] = {
        {250, 0, 300, 0, 0},     {1000, 900, 300, 0, 900}, {1000, 1200, 300, 0, 700}, {1000, 900, 300, 1, 700},
        {1000, 1000, 300, 0, 1000}, {1000, 1001, 300, 0, 700}, {300, 5, 300, 1, 0},      {301, 5, 300, 1, 1},
        {0, 0, 300, 0, 0},       {0, 1, 300, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.count << " " << c.saved << " " << c.force);
        EXPECT_EQ(quorvane_histwin_start(c.count, c.saved, c.window, c.force), c.start);
    }
    EXPECT_EQ(quorvane_histwin_initial(250, 300), 0u);
    EXPECT_EQ(quorvane_histwin_initial(300, 300), 0u);
    EXPECT_EQ(quorvane_histwin_initial(301, 300), 1u);
    EXPECT_EQ(quorvane_histwin_initial(UINT64_MAX, 300), UINT64_MAX - 300);
    // Backfill moves the window start back a window at a time, down to 0.
    std::vector<uint64_t> starts;
    for (uint64_t s = 1000; s;) starts.push_back(s = quorvane_histwin_backfill(s, 300));
    EXPECT_EQ(starts, (std::vector<uint64_t>{700, 400, 100, 0}));
}

TEST(HistoryWindow, BackfillCursorSequences) {
    quorvane_histwin_bf st{};
    // Nothing pending: fetch before the oldest held message.
    EXPECT_EQ(quorvane_histwin_bf_before(&st, 5000), 5000u);
    // A page came with older messages: the next fetch goes before the oldest fetched.
    EXPECT_EQ(quorvane_histwin_bf_done(&st, 5000, 5000, 0, 1, 4200), 0);
    EXPECT_EQ(st.pending, 4200u);
    EXPECT_EQ(st.oldest, 5000u);
    EXPECT_EQ(quorvane_histwin_bf_before(&st, 5000), 4200u);
    // The store took them in: its oldest held changed, so the state is stale.
    EXPECT_EQ(quorvane_histwin_bf_before(&st, 4200), 4200u);
    EXPECT_EQ(quorvane_histwin_bf_before(&st, 4300), 4300u);
    // The pending cursor is never after the oldest held one.
    st = {4800, 4500};
    EXPECT_EQ(quorvane_histwin_bf_before(&st, 4500), 4500u);
    // Nothing held yet: the pending cursor itself.
    st = {900, 0};
    EXPECT_EQ(quorvane_histwin_bf_before(&st, 0), 900u);
    EXPECT_EQ(quorvane_histwin_bf_before(nullptr, 77), 77u);

    // An error forgets the pending cursor; the history is not complete.
    st = {900, 1000};
    EXPECT_EQ(quorvane_histwin_bf_done(&st, 900, 1000, -1, 1, 100), 0);
    EXPECT_EQ(st.pending, 0u);
    EXPECT_EQ(quorvane_histwin_bf_before(&st, 1000), 1000u);

    struct Page {
        const char *name;
        uint64_t    cursor;
        int         got;
        uint64_t    oldest_fetched;
        int         complete;
    };
    const Page pages[] = {
        {"no messages", 1000, 0, 0, 1},
        {"messages flag without a position", 1000, 1, 0, 1},
        {"only messages at the cursor", 1000, 1, 1000, 1},
        {"only messages after the cursor", 1000, 1, 1500, 1},
        {"one older", 1000, 1, 999, 0},
        {"no cursor: any position", 0, 1, 123456, 0},
        {"positions but the got flag clear", 1000, 0, 10, 1},
    };
    for (const Page &p : pages) {
        SCOPED_TRACE(p.name);
        quorvane_histwin_bf s{7, 8};
        EXPECT_EQ(quorvane_histwin_bf_done(&s, p.cursor, 2000, 0, p.got, p.oldest_fetched), p.complete);
        if (!p.complete) {
            EXPECT_EQ(s.pending, p.oldest_fetched);
            EXPECT_EQ(s.oldest, 2000u);
        } else {
            EXPECT_EQ(s.pending, 7u);  // an ended backfill leaves the state
            EXPECT_EQ(s.oldest, 8u);
        }
    }
    EXPECT_EQ(quorvane_histwin_bf_done(nullptr, 1000, 1000, 0, 1, 5), 0);
    EXPECT_EQ(quorvane_histwin_bf_done(nullptr, 1000, 1000, 0, 0, 0), 1);
}

}  // namespace
