// One-line markdown over peer text: the walk's pieces, the plain line and the
// clip (the first byte is the limit). A clip never passes its limit, renders
// as a prefix of the whole text's plain line, and, like the plain line, never
// splits a UTF-8 character of a well-formed input.
#include "quorvane_md.h"

#include "fuzz_text_support.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void piece(void *user, const char *text, int style, const char *url, int kind) {
    check(text != nullptr && kind >= QV_MD_PIECE_TEXT && kind <= QV_MD_PIECE_CODE);
    check(!url || (style & N_MD_LINK));
    ++*static_cast<size_t *>(user);
}

std::string plain_line(const std::string &s) {
    size_t n = 0;
    char *p = quorvane_md_line_plain(s.data(), s.size(), &n);
    check(p != nullptr);
    std::string r(p, n);
    free(p);
    for (char c : r) check(static_cast<unsigned char>(c) >= 0x20);
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const size_t limit = data[0];
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);

    N_MARKDOWN doc;
    n_markdown_parse_ex(text.data(), text.size(), QV_MD_FLAGS, &doc);
    size_t pieces = 0;
    quorvane_md_line_walk(&doc, piece, &pieces);
    n_markdown_free(&doc);

    const bool well_formed = text.find('\0') == std::string::npos && valid_utf8(text);
    const std::string line = plain_line(text);
    if (well_formed) check(valid_utf8(line));

    std::vector<char> out(limit + 1, 'Z');
    const size_t n = quorvane_md_clip(text.c_str(), text.size(), limit, out.data());
    check(n <= limit && strlen(out.data()) == n);
    if (limit == 0) return 0;
    std::string copy = text.substr(0, strlen(text.c_str()));
    for (char &c : copy)
        if (static_cast<unsigned char>(c) < 0x20 && c != '\n') c = ' ';
    std::string mine = plain_line(std::string(out.data(), n));
    while (!mine.empty() && mine.back() == ' ') mine.pop_back();
    const std::string whole = plain_line(copy);
    check(whole.compare(0, mine.size(), mine) == 0);
    if (well_formed) check(valid_utf8(std::string_view(out.data(), n)));
    return 0;
}
