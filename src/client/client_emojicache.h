// Custom-emoji cache: the committed emoji pack of one kind and its page images
// in one directory, a new pack brought in page by page and committed only when
// every page is on disk and verified, and the lookups the views make (":code:"
// in a text, a shortcode being typed, picker categories and search).
// Results: 0 ok / -1 refused, except where a count or 1/0 is noted. The cache
// owns its packs; entries handed out live until the next commit, reload or free.
// A handle has no lock and belongs to one thread; other threads open their own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "n_hash.h"
#include "quorvane_emojipack.h"

constexpr size_t QV_EMOJI_CACHE_DIR_MAX    = 512;       // the directory's length must stay below it
constexpr size_t QV_EMOJI_CACHE_PACK_MAX   = 1048576;   // bytes of the "pack" file read back
constexpr size_t QV_EMOJI_CACHE_PAGE_MAX   = 8388608;   // bytes of one page image
constexpr size_t QV_EMOJI_CODE_MAX         = 32;        // characters between the colons

// Picker categories; 0 is none.
enum quorvane_emoji_category_id { QV_EMOJI_CAT_NONE, QV_EMOJI_CAT_FACES, QV_EMOJI_CAT_PEOPLE, QV_EMOJI_CAT_SYMBOLS,
                                  QV_EMOJI_CAT_NATURE, QV_EMOJI_CAT_FOOD, QV_EMOJI_CAT_THINGS };

struct quorvane_emoji_page_slot {
    char     name[QV_EMOJI_PAGE_NAME_MAX + 1];
    uint32_t present;  // 1: on disk and verified against the staged pack
};

struct quorvane_emoji_cache {
    char                      directory[QV_EMOJI_CACHE_DIR_MAX];
    quorvane_emojipack       *committed;
    uint32_t                  committed_version;
    HASH_TABLE               *code_index;   // visible entry name -> entry number
    quorvane_emoji_cache     *first_layer;  // not owned; consulted before this cache
    quorvane_emoji_cache     *last_layer;   // not owned; consulted after it
    int32_t                   staging;
    uint8_t                  *staged_bytes;
    size_t                    staged_len;
    uint8_t                   staged_sig[QV_EMOJI_SIG_LEN];
    quorvane_emojipack       *staged;
    quorvane_emoji_page_slot *page_table;
    uint64_t                  page_count;
    uint64_t                  missing;
};

// Handles and the committed pack
[[nodiscard]] quorvane_emoji_cache *quorvane_emoji_cache_open(const char *directory);  // null: missing, empty or too long path, no memory
void     quorvane_emoji_cache_free(quorvane_emoji_cache *cache);
uint32_t quorvane_emoji_cache_version(const quorvane_emoji_cache *cache);             // 0 without a pack
const quorvane_emojipack *quorvane_emoji_cache_pack(const quorvane_emoji_cache *cache);
int      quorvane_emoji_cache_reload_committed(quorvane_emoji_cache *cache);          // -1 only without a cache
[[nodiscard]] int quorvane_emoji_cache_read_page(quorvane_emoji_cache *cache, const char *name, uint8_t **data,
                                                 size_t *len);  // a verified page of the committed pack; free() the data

// Bringing a pack in: begin, then next_needed / put_page until nothing is
// missing, then commit; abort at any point. Until commit the committed pack
// and its pages stay as they were, on disk too.
[[nodiscard]] int quorvane_emoji_cache_begin(quorvane_emoji_cache *cache, const uint8_t *pack, size_t len,
                                             const uint8_t sig[64], const uint8_t key[32]);  // pages still missing, or -1
[[nodiscard]] int quorvane_emoji_cache_next_needed(const quorvane_emoji_cache *cache, char *name, size_t cap);  // 1 and a name, or 0
[[nodiscard]] int quorvane_emoji_cache_put_page(quorvane_emoji_cache *cache, const char *name, const uint8_t *bytes,
                                                size_t len);
[[nodiscard]] int quorvane_emoji_cache_commit(quorvane_emoji_cache *cache);  // -1 keeps the staging
void     quorvane_emoji_cache_abort(quorvane_emoji_cache *cache);

// Lookups: the first layer, then this cache, then the last layer.
void     quorvane_emoji_cache_set_layers(quorvane_emoji_cache *cache, quorvane_emoji_cache *first,
                                         quorvane_emoji_cache *last);
const quorvane_emoji_entry *quorvane_emoji_cache_lookup(const quorvane_emoji_cache *cache, const char *code);
int      quorvane_emoji_cache_owns(const quorvane_emoji_cache *cache, const quorvane_emoji_entry *entry);  // 1 or 0
size_t   quorvane_emoji_cache_match(const quorvane_emoji_cache *cache, const char *text, size_t pos, size_t len,
                                    const quorvane_emoji_entry **out);  // length of ":code:" at pos, or 0

// Text and picker helpers (no cache needed)
int      quorvane_emoji_typing(const char *text, size_t cursor, size_t *start, size_t *frag_len);  // 1 while a shortcode is typed
int      quorvane_emoji_category(const quorvane_emoji_entry *entry);                                // 0 to 6
int      quorvane_emoji_search_match(const quorvane_emoji_entry *entry, const char *text);         // 1 or 0
