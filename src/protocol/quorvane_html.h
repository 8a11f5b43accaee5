// Link-preview extraction: a tolerant single pass over a fetched page for its
// title element and the meta tags carrying Open Graph and description data,
// with entity decoding and blank folding. Fields are always NUL-terminated
// valid UTF-8 within the link body's text limits.
// Result: 1 when a title, a description or an image URL was found, else 0
// (also for a null page or record). Works in caller memory only.
#pragma once

#include "quorvane_msg.h"

#include <cstddef>

constexpr size_t QV_HTML_KEY_MAX     = 79;    // meta key compared; longer keys are cut
constexpr size_t QV_HTML_CONTENT_MAX = 1024;  // meta content taken before decoding
constexpr size_t QV_HTML_ENTITY_SPAN = 12;    // the ";" of an entity lies within this many bytes of its "&"

struct quorvane_link_preview {
    char title[QV_MSG_LINK_TITLE_MAX + 1];
    char description[QV_MSG_LINK_DESC_MAX + 1];
    char image_url[QV_MSG_LINK_URL_MAX + 1];
    int  has_title;        // each flag: the field holds a non-empty text
    int  has_description;
    int  has_image;
};

static_assert(sizeof(quorvane_link_preview::title) == 201 && sizeof(quorvane_link_preview::description) == 501 &&
              sizeof(quorvane_link_preview::image_url) == 1025);

int quorvane_html_extract_preview(const char *html, size_t len, quorvane_link_preview *out);  // zeroes *out first
