// Markdown of message texts: a small dialect parsed into blocks of inline
// spans with style bits, plain-text conversion and a markup test. The parser
// never fails: a null text or a failed allocation gives an empty or partial
// document, and its time is linear in the input whatever the text holds.
// Everything inside an N_MARKDOWN belongs to it and is released by
// n_markdown_free; texts returned by the plain-text functions are the
// caller's (free()). Results: 1 success, 0 failure, counts as stated.
#pragma once

#include <cstddef>

// Option flags. Links, code spans and fences, quotes, lists and emphasis are always on.
constexpr int N_MD_HEADINGS      = 0x01;   // "# " .. "###### "
constexpr int N_MD_TABLES        = 0x02;   // a row with "|" followed by a rule row
constexpr int N_MD_AUTOLINKS     = 0x04;   // <http://...> and bare http(s) URLs
constexpr int N_MD_STRIKE        = 0x08;   // ~~text~~
constexpr int N_MD_ESCAPES       = 0x10;   // backslash before ASCII punctuation
constexpr int N_MD_INDENT        = 0x20;   // leading blanks measured; nested list depth
constexpr int N_MD_RULES         = 0x40;   // *** --- ___
constexpr int N_MD_IMAGES        = 0x80;   // ![alt](url)
constexpr int N_MD_RELATIVE_URLS = 0x100;  // links and images may point at relative URLs

// Style bits of a span; nested styles combine.
constexpr int N_MD_BOLD   = 0x01;
constexpr int N_MD_ITALIC = 0x02;
constexpr int N_MD_CODE   = 0x04;
constexpr int N_MD_LINK   = 0x08;
constexpr int N_MD_STRIKETHROUGH = 0x10;
constexpr int N_MD_IMAGE  = 0x20;

// Block types.
constexpr unsigned N_MD_PARAGRAPH = 0, N_MD_QUOTE = 1, N_MD_CODE_BLOCK = 2, N_MD_BULLET_LIST = 3,
                   N_MD_ORDERED_LIST = 4, N_MD_HEADING = 5, N_MD_TABLE = 6, N_MD_RULE = 7;

// Limits; content past them is dropped silently.
constexpr size_t N_MD_MAX_BLOCKS    = 1024;
constexpr size_t N_MD_MAX_SPANS     = 2048;  // per inline list
constexpr size_t N_MD_MAX_ITEMS     = 1024;  // list items, or table cells of a whole table
constexpr size_t N_MD_MAX_ROW_CELLS = 32;
constexpr int    N_MD_MAX_NESTING   = 16;    // emphasis and strikethrough inside each other
constexpr size_t N_MD_MAX_DEPTH     = 16;    // nested list indentations
constexpr int    N_MD_MAX_NUMBER_DIGITS = 9; // an ordered-list number of more digits is no list item

struct N_MARKDOWN_INLINE {
    char *text;   // visible text, or an image's alt text; never null
    char *url;    // link or image target, or null
    int   style;  // N_MD_BOLD | ...
};

struct N_MARKDOWN_INLINE_LIST {
    N_MARKDOWN_INLINE *spans;
    size_t             count;
};

struct N_MARKDOWN_BLOCK {
    unsigned int            type;        // N_MD_PARAGRAPH ..
    N_MARKDOWN_INLINE_LIST  inl;         // paragraph, quote and heading text
    char                   *code;        // code block content (may be empty), else null
    N_MARKDOWN_INLINE_LIST *items;       // list items, or table cells row by row
    size_t                  item_count;
    int                     level;       // heading level 1-6
    size_t                  columns;     // table columns, at least 1
    unsigned char          *aligns;      // per column: 0 default, 1 centre, 2 right
    int                     depth;       // list nesting (0 unless N_MD_INDENT)
    long                    number;      // first number of an ordered list (0 when not taken)
};

struct N_MARKDOWN {
    N_MARKDOWN_BLOCK *blocks;
    size_t            count;
};

void   n_markdown_parse_ex(const char *text, size_t len, int flags, N_MARKDOWN *doc);  // doc is emptied first
void   n_markdown_parse(const char *text, size_t len, N_MARKDOWN *doc);                // flags 0
void   n_markdown_free(N_MARKDOWN *doc);                                               // leaves doc empty
[[nodiscard]] int n_markdown_has_markup_ex(const char *text, size_t len, int flags);   // 1 when any markup
[[nodiscard]] int n_markdown_has_markup(const char *text, size_t len);

// Plain text: blocks separated by n_markdown_plain_sep line feeds, list items
// prefixed by n_markdown_plain_marker, table cells by tabs, URLs dropped.
int    n_markdown_plain_sep(const N_MARKDOWN *doc, size_t index);                       // 0, 1 or 2 line feeds
int    n_markdown_plain_marker(const N_MARKDOWN_BLOCK *block, size_t item_index, char *buf, size_t size);  // bytes written
[[nodiscard]] char *n_markdown_doc_to_plain(const N_MARKDOWN *doc, size_t *len_out);   // null on allocation failure
[[nodiscard]] char *n_markdown_to_plain(const char *text, size_t len, int flags, size_t *len_out);
