// Every text helper that takes peer text: attachment names, MIME types, user
// names (fold, suggest, variant), the UTF-8 repair and the markdown test. No
// writer passes its size; the results keep their promises.
#include "quorvane_text.h"

#include "fuzz_text_support.h"

#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const size_t cap = 1 + data[0] % 64;  // buffer size under test
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    const char *s = text.c_str();  // up to the first NUL, as the callers pass it
    char buf[80];
    auto fresh = [&] { memset(buf, 'Z', sizeof buf); };
    auto within = [&] { check(buf[cap] == 'Z' && strlen(buf) < cap); };

    fresh();
    quorvane_safe_basename(s, buf, cap);
    within();
    const std::string base = buf;
    check(base.find_first_of("/\\") == std::string::npos && base != "." && base != "..");
    for (char c : base) check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
    if (cap >= 2) check(!base.empty());
    if (valid_utf8(s)) check(valid_utf8(base));

    (void)quorvane_is_image_mime(s);
    (void)quorvane_is_video_mime(s);
    check(quorvane_file_shows_preview(s, 1) == 1);

    fresh();
    const int folded = quorvane_username_fold(s, buf, cap);
    within();
    if (folded) {
        const size_t n = strlen(buf);
        check(n >= QV_USERNAME_MIN && n <= QV_USERNAME_MAX);
    }
    (void)quorvane_username_has_caps(s);

    fresh();
    if (quorvane_username_suggest(s, buf, cap)) {
        within();
        char again[64];
        check(quorvane_username_fold(buf, again, sizeof again) == 1 && strcmp(again, buf) == 0);
        fresh();
        if (quorvane_username_variant(again, 2 + data[0], buf, cap)) {
            within();
            check(quorvane_username_fold(buf, again, sizeof again) == 1);
        }
    } else {
        check(buf[0] == '\0');
    }

    fresh();
    if (quorvane_utf8_undouble(s, buf, cap)) {
        within();
        check(valid_utf8(buf) && strlen(buf) < strlen(s));
    }
    const int md = quorvane_msg_uses_markdown(1, text.data(), text.size());
    check(md == 0 || md == 1);
    check(quorvane_msg_uses_markdown(16, text.data(), text.size()) == 0);
    return 0;
}
