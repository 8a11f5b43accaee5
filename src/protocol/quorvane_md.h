// Message markdown on one line: the line walk hands a parsed document to a
// callback piece by piece (conversation list, reply quotes, notifications),
// the plain line renders a text as one line of plain text, and the clip cuts
// a markdown text to a byte limit without cutting a marker in half. All three
// parse with QV_MD_FLAGS. Texts returned are the caller's (free()); the clip
// writes into the caller's buffer of limit + 1 bytes.
#pragma once

#include "n_markdown.h"

#include <cstddef>

// Headings, tables, autolinks, strikethrough and escapes: what every message is parsed with.
constexpr int    QV_MD_FLAGS          = N_MD_HEADINGS | N_MD_TABLES | N_MD_AUTOLINKS | N_MD_STRIKE | N_MD_ESCAPES;
constexpr size_t QV_MD_CLIP_TRIES     = 64;  // candidate cuts rendered before falling back to escaped text
constexpr size_t QV_MD_SHORTCODE_BACK = 33;  // a ":" this close before a cut marks an emoji shortcode

// Kinds of walked pieces.
constexpr int QV_MD_PIECE_TEXT = 0, QV_MD_PIECE_SEP = 1, QV_MD_PIECE_HEADING = 2, QV_MD_PIECE_QUOTE = 3,
              QV_MD_PIECE_CODE = 4;

// text belongs to the document (or is a constant) and lives for the call;
// url is given only for link spans.
typedef void (*quorvane_md_piece_fn)(void *user, const char *text, int style, const char *url, int kind);

void quorvane_md_line_walk(const N_MARKDOWN *doc, quorvane_md_piece_fn piece_fn, void *user);
[[nodiscard]] char  *quorvane_md_line_plain(const char *text, size_t len, size_t *len_out);      // null when out of memory
size_t quorvane_md_clip(const char *text, size_t max_len, size_t limit, char *out);             // length written, 0 on failure
