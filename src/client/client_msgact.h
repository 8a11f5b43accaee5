// Rules behind the chat view: "@"-mentions being typed and mentions in received
// texts, the rectangles of floating overlays that a press must not go through,
// what a long press does, the text "copy" puts on the clipboard, and the cycle
// of quick reactions. Pure functions of their arguments; tests answer 1 or 0,
// texts returned are static and never freed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client_msgstore.h"

// Mentions
// - typing: text is NUL-terminated; only the bytes before min(cursor, length)
//   count. start and len (both optional) are written only on 1.
// - text: "@" name at the start or after a byte <= 0x20, the name matched
//   ignoring ASCII case, then the end, a byte < 0x21 or ASCII punctuation.
int quorvane_mention_typing(const char *text, size_t cursor, size_t *start, size_t *len);  // 1 an "@"-fragment ends at the cursor
int quorvane_text_mentions(const char *text, const char *name);                            // 1 mentioned, 0 not or no name

// Overlays: up to 16 rectangles; once full, the 16th grows to cover each further one.
constexpr int32_t QV_OVERLAYS_MAX = 16;

struct quorvane_overlay_rect {
    float x, y, w, h;
};
struct quorvane_overlays {
    quorvane_overlay_rect rect[QV_OVERLAYS_MAX];
    int32_t               count;  // negative: the next note starts a new list
};

void quorvane_overlays_note(quorvane_overlays *o, float x, float y, float w, float h);
int  quorvane_overlays_hit(const quorvane_overlays *o, int x, int y);  // 1 on a rectangle, edges included
void quorvane_overlays_clear(quorvane_overlays *o);

// Long press: what a press held long enough does.
constexpr int QV_LONGPRESS_NONE   = 0;
constexpr int QV_LONGPRESS_PASTE  = 1;  // into the focused text field, on release
constexpr int QV_LONGPRESS_MENU   = 2;  // the message menu at the press point, while held
constexpr int QV_LONGPRESS_SELECT = 3;  // select the message's text from the word under the press, while held

int quorvane_longpress_route(int on_field, int on_message, int alternate);  // QV_LONGPRESS_*
int quorvane_longpress_on_hold(int route);                                  // 1 when it acts while still held

// Copy: the text body (1), a file's name (4), a reply's own text (10) or a link's
// address (13), cut to cap - 1 bytes on a character boundary and terminated.
// out is emptied first whenever there is room for its terminator.
int quorvane_msg_copy_text(const quorvane_ms_msgrec *msg, char *out, size_t cap);  // 1 when non-empty text was written

// Quick reactions: thumbsup, heart, laugh, wow, fire, party, check, then thumbsup again.
constexpr char QV_QUICK_REACT_DEFAULT[] = "thumbsup";

int         quorvane_quick_react_valid(const char *code);  // 1 for one of the seven codes, exactly
const char *quorvane_quick_react_next(const char *code);   // "thumbsup" for none or an unknown code
const char *quorvane_quick_react_label(const char *code);  // the code itself when unknown, "" for none
