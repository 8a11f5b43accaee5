// Emoji packs: the signed text a server publishes, naming a cell size, up to
// 64 page images cut into square cells and up to 4096 named entries, one cell
// each. Parsing checks every rule and gives null on any fault, with no reason;
// the verifiers answer 1 or 0, never a negative code. A parsed pack belongs to
// the caller (quorvane_emojipack_free); records handed out point into it.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t   QV_EMOJIPACK_TEXT_MAX     = 1048576;  // bytes of pack text
constexpr size_t   QV_EMOJIPACK_PAGES_MAX    = 64;
constexpr size_t   QV_EMOJIPACK_ENTRIES_MAX  = 4096;
constexpr size_t   QV_EMOJI_PAGE_NAME_MAX    = 63;
constexpr size_t   QV_EMOJI_NAME_MAX         = 32;
constexpr size_t   QV_EMOJI_KEYWORDS_MAX     = 127;
constexpr uint32_t QV_EMOJI_CELL_MAX         = 256;       // cell edge in pixels
constexpr uint32_t QV_EMOJI_GRID_MAX         = 256;       // columns or rows of a page
constexpr uint32_t QV_EMOJI_PAGE_EDGE_MAX    = 2048;      // pixels a page may span either way
constexpr size_t   QV_EMOJI_HASH_LEN         = 64;        // BLAKE2b-512 of the page image
constexpr size_t   QV_EMOJI_SIG_LEN          = 64;
constexpr size_t   QV_EMOJI_KEY_LEN          = 32;
constexpr const char *QV_EMOJIPACK_MAGIC     = "quorvane-emoji-pack-v1";

struct quorvane_emoji_page {
    char     name[QV_EMOJI_PAGE_NAME_MAX + 1];
    uint8_t  hash[QV_EMOJI_HASH_LEN];
    uint16_t columns;
    uint16_t rows;
};

struct quorvane_emoji_entry {
    char     name[QV_EMOJI_NAME_MAX + 1];         // without the "!" of a hidden entry
    uint16_t page;
    uint16_t slot;
    uint8_t  hidden;
    char     keywords[QV_EMOJI_KEYWORDS_MAX + 1];  // comma-separated; empty for "-"
};

struct quorvane_emojipack {
    uint32_t              version;
    uint32_t              cell;
    quorvane_emoji_page  *pages;
    size_t                page_count;
    quorvane_emoji_entry *entries;
    size_t                entry_count;
};

[[nodiscard]] quorvane_emojipack *quorvane_emojipack_parse(const char *text, size_t len);  // null: empty, over 1 MiB, invalid, no memory
void     quorvane_emojipack_free(quorvane_emojipack *pack);                                // null is ignored

// Accessors: 0 or null for a null pack or an index out of range.
uint32_t quorvane_emojipack_version(const quorvane_emojipack *pack);
uint32_t quorvane_emojipack_cell(const quorvane_emojipack *pack);
size_t   quorvane_emojipack_page_count(const quorvane_emojipack *pack);
size_t   quorvane_emojipack_entry_count(const quorvane_emojipack *pack);
const quorvane_emoji_page  *quorvane_emojipack_page(const quorvane_emojipack *pack, size_t index);
const quorvane_emoji_entry *quorvane_emojipack_entry(const quorvane_emojipack *pack, size_t index);   // hidden entries too
const quorvane_emoji_entry *quorvane_emojipack_lookup(const quorvane_emojipack *pack, const char *name);  // first visible entry of that name

// Verification: 1 good, 0 for anything else (missing arguments, zero length included).
[[nodiscard]] int quorvane_emojipack_verify_sig(const char *text, size_t len, const uint8_t sig[64], const uint8_t pub[32]);  // over the exact bytes
[[nodiscard]] int quorvane_emojipack_verify_page(const quorvane_emoji_page *page, const uint8_t *image, size_t len);
