// Markdown parser under every flag set (the first two bytes choose the
// flags): the limits hold, a table's cells are whole rows, the plain text
// exists, has no split UTF-8 character when the input has none, and starts
// with the plain text of the first block.
#include "n_markdown.h"

#include "fuzz_text_support.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const int flags = (data[0] | (data[1] << 8)) & 0x1FF;
    const char *text = reinterpret_cast<const char *>(data + 2);
    const size_t len = size - 2;

    N_MARKDOWN doc;
    n_markdown_parse_ex(text, len, flags, &doc);
    check(doc.count <= N_MD_MAX_BLOCKS);
    for (size_t i = 0; i < doc.count; i++) {
        const N_MARKDOWN_BLOCK &b = doc.blocks[i];
        check(b.type <= N_MD_RULE);
        check(b.inl.count <= N_MD_MAX_SPANS && b.item_count <= N_MD_MAX_ITEMS);
        check(b.depth >= 0 && static_cast<size_t>(b.depth) <= N_MD_MAX_DEPTH);
        check((flags & N_MD_INDENT) || b.depth == 0);
        check(b.number >= 0 && b.number <= 999999999L);
        if (b.type == N_MD_TABLE) check(b.columns >= 1 && b.columns <= N_MD_MAX_ROW_CELLS && b.item_count % b.columns == 0);
        if (b.type == N_MD_HEADING) check(b.level >= 1 && b.level <= 6);
        if (b.type == N_MD_CODE_BLOCK) check(b.code != nullptr);
        for (size_t k = 0; k < b.inl.count; k++) check(b.inl.spans[k].text != nullptr);
        char m[80];
        for (size_t k = 0; k < b.item_count; k++) check(n_markdown_plain_marker(&b, k, m, sizeof m) == static_cast<int>(strlen(m)));
    }
    size_t n = 0;
    char *plain = n_markdown_doc_to_plain(&doc, &n);
    check(plain && strlen(plain) <= n);
    const std::string_view in(text, len);
    if (in.find('\0') == std::string_view::npos && valid_utf8(in)) check(valid_utf8(std::string_view(plain, n)));
    free(plain);
    const int markup = n_markdown_has_markup_ex(text, len, flags);
    check(markup == 0 || markup == 1);
    if (doc.count >= 2) check(markup == 1);
    n_markdown_free(&doc);
    check(doc.count == 0 && doc.blocks == nullptr);
    return 0;
}
