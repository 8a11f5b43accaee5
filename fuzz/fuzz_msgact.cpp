// Peer text through the chat view's rules: a mention typed at any cursor is an
// "@" followed by visible bytes up to it; a mention test never reads past the
// text; copy text of a stored record of any type and any body fits its buffer,
// and for a text message it is a prefix that ends on a character boundary.
#include "client_msgact.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    const uint8_t type = data[0], cap = data[1], name_len = data[2] % 16;
    data += 3;
    size -= 3;
    const std::string text(reinterpret_cast<const char *>(data), size);
    const char *t = text.c_str();
    const size_t tlen = std::strlen(t);

    for (size_t cursor = 0; cursor <= tlen + 1; cursor++) {
        size_t start = 0, len = 0;
        if (quorvane_mention_typing(t, cursor, &start, &len)) {
            const size_t end = std::min(cursor, tlen);
            check(start < end && t[start] == '@' && start + 1 + len == end);
            check(start == 0 || static_cast<unsigned char>(t[start - 1]) < 0x21);
            for (size_t i = start + 1; i < end; i++) check(static_cast<unsigned char>(t[i]) >= 0x21);
        }
    }
    // The name is the text's own first bytes: a heap copy of exactly its length.
    const std::string name(t, std::min(tlen, size_t{name_len}));
    (void)quorvane_text_mentions(t, name.c_str());
    (void)quorvane_text_mentions(name.c_str(), t);

    quorvane_ms_msgrec rec;
    std::memset(&rec, 0, sizeof rec);
    rec.type = type;
    rec.text_len = std::min(size, QV_MS_TEXT_MAX);
    std::memcpy(rec.text, data, rec.text_len);
    std::vector<char> out(cap ? cap : 1, 'X');
    const int copied = quorvane_msg_copy_text(&rec, out.data(), cap);
    if (cap) {
        const size_t n = std::strlen(out.data());
        check(n < cap && copied == (n > 0));
        if (type == 1 && n) {
            check(std::memcmp(out.data(), rec.text, n) == 0);
            check(n == rec.text_len || rec.text[n] == '\0' || (static_cast<unsigned char>(rec.text[n]) & 0xc0) != 0x80);
        }
    } else {
        check(copied == 0 && out[0] == 'X');
    }
    return 0;
}
