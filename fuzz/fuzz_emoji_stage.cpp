// Custom-emoji cache staging hostile packs and pages. The input is the pack
// text, then pages, each after a line "\n--page NAME\n". A hash token "@N" in
// the text stands for the BLAKE2b-512 of page N, so the fuzzer reaches stored
// pages and commits with names of its choosing ("..", "a.tmp", ...). The pack
// is signed here with a fixed key: the signature check is not what is fuzzed.
// Whatever is put, a refused step changes no committed file, only verified
// pages are ever read back, and what is committed reloads in a second handle.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "client_emojicache.h"
#include "n_hex.h"
#include "quorvane_crypto.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

std::string scratch;

void remove_scratch() {
    std::error_code ec;
    std::filesystem::remove_all(scratch, ec);
}

const std::string &base() {
    if (scratch.empty()) {
        char tmpl[] = "/tmp/fuzz_emoji_stage.XXXXXX";
        if (!mkdtemp(tmpl)) __builtin_trap();
        scratch = tmpl;
        atexit(remove_scratch);
    }
    return scratch;
}

struct page_in {
    std::string name;
    std::string bytes;
};

std::string file(const std::string &path) {
    std::string s;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return "<none>";
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
    fclose(f);
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view in(reinterpret_cast<const char *>(data), size);
    constexpr std::string_view mark = "\n--page ";
    size_t cut = in.find(mark);
    std::string text(in.substr(0, cut));
    std::vector<page_in> pages;
    while (cut != std::string_view::npos && pages.size() < 80) {
        const size_t name_at = cut + mark.size();
        const size_t nl = in.find('\n', name_at);
        if (nl == std::string_view::npos) break;
        const size_t next = in.find(mark, nl);
        pages.push_back({std::string(in.substr(name_at, nl - name_at)),
                         std::string(in.substr(nl + 1, next == std::string_view::npos ? next : next - nl - 1))});
        cut = next;
    }
    // "@N" tokens become the digest of page N
    for (size_t at; (at = text.find('@')) != std::string::npos;) {
        size_t n = 0, end = at + 1;
        while (end < text.size() && end < at + 3 && text[end] >= '0' && text[end] <= '9') n = n * 10 + size_t(text[end++] - '0');
        uint8_t digest[64] = {};
        if (n < pages.size() &&
            quorvane_blake2b(reinterpret_cast<const uint8_t *>(pages[n].bytes.data()), pages[n].bytes.size(), digest) != 0)
            __builtin_trap();
        char digits[2 * sizeof digest + 1];
        check(n_hex_encode_to(digits, sizeof digits, digest, sizeof digest) == 2 * sizeof digest);
        text.replace(at, end - at, digits);
    }

    static uint8_t seed[32] = {7}, pub[32];
    static const bool keyed = quorvane_ed25519_pub_from_seed(seed, pub) == 0;
    check(keyed);
    uint8_t sig[64];
    const auto *bytes = reinterpret_cast<const uint8_t *>(text.data());
    if (text.empty() || quorvane_ed25519_sign(seed, bytes, text.size(), sig) != 0) return 0;

    const std::string dir = base() + "/cache";
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    quorvane_emoji_cache *c = quorvane_emoji_cache_open(dir.c_str());
    check(c != nullptr);
    const int missing = quorvane_emoji_cache_begin(c, bytes, text.size(), sig, pub);
    if (missing >= 0) {
        check(quorvane_emoji_cache_version(c) == 0 && !quorvane_emoji_cache_pack(c));
        for (const page_in &p : pages) {
            const int rc = quorvane_emoji_cache_put_page(c, p.name.c_str(),
                                                         reinterpret_cast<const uint8_t *>(p.bytes.data()), p.bytes.size());
            (void)rc;
            check(file(dir + "/pack") == "<none>");  // nothing committed before commit
        }
        char name[64];
        const bool done = !quorvane_emoji_cache_next_needed(c, name, sizeof name);
        const int rc = quorvane_emoji_cache_commit(c);
        check((rc == 0) == done);
        if (rc == 0) {
            check(file(dir + "/pack") == text);
            const quorvane_emojipack *pack = quorvane_emoji_cache_pack(c);
            check(pack != nullptr);
            quorvane_emoji_cache *r = quorvane_emoji_cache_open(dir.c_str());
            check(r && quorvane_emoji_cache_version(r) == quorvane_emoji_cache_version(c));
            for (size_t i = 0; i < pack->page_count; i++) {
                uint8_t *page = nullptr;
                size_t len = 0;
                check(quorvane_emoji_cache_read_page(r, pack->pages[i].name, &page, &len) == 0);
                check(quorvane_emojipack_verify_page(&pack->pages[i], page, len) == 1);
                free(page);
            }
            for (size_t i = 0; i < pack->entry_count; i++) {
                const std::string code = ":" + std::string(pack->entries[i].name) + ":";
                const quorvane_emoji_entry *e = nullptr;
                const size_t m = quorvane_emoji_cache_match(r, code.c_str(), 0, code.size(), &e);
                check(pack->entries[i].hidden || (m == code.size() && e && quorvane_emoji_cache_owns(r, e)));
                (void)quorvane_emoji_category(e);
                (void)quorvane_emoji_search_match(e, "a");
            }
            quorvane_emoji_cache_free(r);
        } else {
            quorvane_emoji_cache_abort(c);
        }
    }
    // the text typed so far, at every cursor
    size_t start, frag;
    for (size_t i = 0; i < text.size() && i < 256; i++) (void)quorvane_emoji_typing(text.c_str(), i, &start, &frag);
    quorvane_emoji_cache_free(c);
    return 0;
}
