// Numbers behind scrolling the chat: the drag gesture (vertical drag, horizontal
// swipe or click) with its smoothed velocity, the fling after release, the
// virtual scroll that finds the visible rows, the history window a chat lays
// out and the cursor of history backfill. No state beyond the caller's records;
// times are seconds, distances pixels.
#pragma once

#include <cstddef>
#include <cstdint>

// Drag and fling
// - press, then moves: a move beyond the slop decides the gesture once; a
//   horizontal swipe is reported through `horizontal` and `dx`, never by move's result.
// - release keeps the velocity of a drag or swipe for the fling; a click clears it.
constexpr double QV_DRAG_DT_MIN       = 0.001;   // a sample's time step is clamped to these
constexpr double QV_DRAG_DT_MAX       = 0.05;
constexpr double QV_DRAG_SMOOTH_NEW   = 0.3;     // weight of a new sample, the old velocity keeps 0.7
constexpr float  QV_DRAG_VELOCITY_MAX = 6000.0f;
constexpr float  QV_FLING_STEP_MAX    = 0.05f;   // seconds of fling per frame at most
constexpr float  QV_FLING_DECAY       = 0.325f;  // seconds
constexpr float  QV_FLING_STOP        = 40.0f;   // pixels per second

struct quorvane_drag {
    int32_t pressed;
    int32_t dragging;    // a vertical drag
    int32_t press_x;
    int32_t anchor_y;
    int32_t last_y;
    double  last_time;
    float   offset;      // current y minus anchor y
    float   velocity;    // pixels per second
    int32_t horizontal;  // taken as a horizontal swipe
    float   dx;          // current x minus press x
};

void  quorvane_drag_press(quorvane_drag *d, int x, int y, double time);
int   quorvane_drag_move(quorvane_drag *d, int x, int y, double time, int slop);  // 1 while a vertical drag moves
int   quorvane_drag_release(quorvane_drag *d);                                   // 1 drag or swipe, 0 click
float quorvane_drag_fling(quorvane_drag *d, double seconds);                     // distance to scroll this frame
void  quorvane_drag_cancel(quorvane_drag *d);                                    // clears every field

// Virtual scroll over row heights, oldest first. Content taller than the view
// (with the pad) is aligned to the view's bottom at offset 0 and the offset
// moves it down; shorter content starts at the pad. Rows whose bottom lies
// below the view's top (> 0) and whose top lies above its bottom are visible.
struct quorvane_vscroll {
    float    content_height;  // sum of the heights
    float    overflow;        // how far the content (with the pad) exceeds the view
    float    first_top;       // top of the first visible row
    uint64_t first_index;
    uint64_t visible_count;   // 0: none
};

void quorvane_vscroll_compute(const float *heights, size_t count, quorvane_vscroll *out, float view, float offset);
void quorvane_vscroll_compute_pad(const float *heights, size_t count, quorvane_vscroll *out, float view, float offset,
                                  float pad);

// History window: the first message index a chat lays out.
constexpr uint64_t QV_HISTWIN_WINDOW = 300;  // what the application uses

uint64_t quorvane_histwin_initial(uint64_t count, uint64_t window);                           // max(count - window, 0)
uint64_t quorvane_histwin_start(uint64_t count, uint64_t saved, uint64_t window, int force);  // keeps a saved start within count
uint64_t quorvane_histwin_backfill(uint64_t count, uint64_t window);                          // max(count - window, 0)

// Backfill cursor: server positions; 0 means none.
struct quorvane_histwin_bf {
    uint64_t pending;  // fetch before this next
    uint64_t oldest;   // the oldest held position it was computed for
};

uint64_t quorvane_histwin_bf_before(const quorvane_histwin_bf *st, uint64_t oldest_held);  // the cursor to fetch before
int      quorvane_histwin_bf_done(quorvane_histwin_bf *st, uint64_t cursor, uint64_t oldest_held, int error, int got,
                                  uint64_t oldest_fetched);  // 1 history complete, 0 more may come
