// Emoji-pack parser over arbitrary text: an accepted pack keeps every rule
// (counts within their limits, names and keywords of allowed characters and
// terminated, entries pointing at real pages and cells, names unique), and
// each visible entry is found by its name.
#include "quorvane_emojipack.h"

#include <cstring>
#include <set>
#include <string>

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

bool terminated(const char *s, size_t cap) { return memchr(s, 0, cap) != nullptr; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    quorvane_emojipack *p = quorvane_emojipack_parse(reinterpret_cast<const char *>(data), size);
    if (!p) return 0;
    check(size > 0 && size <= QV_EMOJIPACK_TEXT_MAX);
    const uint32_t cell = quorvane_emojipack_cell(p);
    check(cell >= 1 && cell <= QV_EMOJI_CELL_MAX);
    const size_t pages = quorvane_emojipack_page_count(p), entries = quorvane_emojipack_entry_count(p);
    check(pages <= QV_EMOJIPACK_PAGES_MAX && entries <= QV_EMOJIPACK_ENTRIES_MAX);
    for (size_t i = 0; i < pages; i++) {
        const quorvane_emoji_page *pg = quorvane_emojipack_page(p, i);
        check(pg && terminated(pg->name, sizeof pg->name) && pg->name[0]);
        check(strspn(pg->name, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._") ==
              strlen(pg->name));
        check(pg->columns >= 1 && pg->rows >= 1 && pg->columns * cell <= QV_EMOJI_PAGE_EDGE_MAX &&
              pg->rows * cell <= QV_EMOJI_PAGE_EDGE_MAX);
    }
    check(!quorvane_emojipack_page(p, pages));
    std::set<std::string> names;
    for (size_t i = 0; i < entries; i++) {
        const quorvane_emoji_entry *e = quorvane_emojipack_entry(p, i);
        check(e && terminated(e->name, sizeof e->name) && terminated(e->keywords, sizeof e->keywords));
        check(e->name[0] && strspn(e->name, "abcdefghijklmnopqrstuvwxyz0123456789_") == strlen(e->name));
        check(strspn(e->keywords, "abcdefghijklmnopqrstuvwxyz0123456789_,") == strlen(e->keywords));
        check(e->page < pages);
        const quorvane_emoji_page *pg = quorvane_emojipack_page(p, e->page);
        check(uint32_t(e->slot) < uint32_t(pg->columns) * pg->rows);
        check(names.insert(e->name).second);
        const quorvane_emoji_entry *found = quorvane_emojipack_lookup(p, e->name);
        check(e->hidden ? found == nullptr : found == e);
    }
    check(!quorvane_emojipack_entry(p, entries));
    quorvane_emojipack_free(p);
    return 0;
}
