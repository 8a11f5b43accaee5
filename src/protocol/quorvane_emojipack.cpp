#include "quorvane_emojipack.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_set>

#include "n_log.h"
#include "quorvane_crypto.h"

namespace {

constexpr size_t TOKENS_MAX = 5;

// Decimal digits only (leading zeros allowed), at most `max`.
bool parse_u32(std::string_view text, uint32_t max, uint32_t *out) {
    if (text.empty()) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
        if (v > max) return false;  // stops before 64 bits could wrap
    }
    *out = static_cast<uint32_t>(v);
    return true;
}

bool all_of(std::string_view s, bool (*ok)(char)) {
    for (char c : s)
        if (!ok(c)) return false;
    return true;
}
bool lower_digit_us(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'; }
bool page_char(char c) { return lower_digit_us(c) || (c >= 'A' && c <= 'Z') || c == '-' || c == '.'; }
bool keyword_char(char c) { return lower_digit_us(c) || c == ','; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;  // upper case is refused: the digest is written in lower case only
}

bool parse_hash(std::string_view text, uint8_t out[QV_EMOJI_HASH_LEN]) {
    if (text.size() != 2 * QV_EMOJI_HASH_LEN) return false;
    for (size_t i = 0; i < QV_EMOJI_HASH_LEN; i++) {
        const int hi = hex_value(text[2 * i]), lo = hex_value(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

void copy_name(char *dst, std::string_view src) {
    std::memcpy(dst, src.data(), src.size());
    dst[src.size()] = '\0';
}

struct pack_deleter {
    void operator()(quorvane_emojipack *p) const { quorvane_emojipack_free(p); }
};

// The state of one parse; every rule of a line is checked before the line
// changes anything.
struct parser {
    std::unique_ptr<quorvane_emojipack, pack_deleter> pack;
    bool have_version = false, have_cell = false, have_entry = false;
    std::unordered_set<std::string_view> names;  // views into the caller's text

    bool version(const std::string_view *tok, size_t n) {
        if (n != 2 || have_version) return false;
        if (!parse_u32(tok[1], UINT32_MAX, &pack->version)) return false;
        have_version = true;
        return true;
    }

    bool cell(const std::string_view *tok, size_t n) {
        if (n != 2 || have_cell) return false;
        uint32_t s;
        if (!parse_u32(tok[1], QV_EMOJI_CELL_MAX, &s) || s == 0) return false;
        pack->cell = s;
        have_cell = true;
        return true;
    }

    bool page(const std::string_view *tok, size_t n) {
        if (n != 5 || !have_cell || have_entry) return false;
        quorvane_emoji_page pg{};
        const std::string_view name = tok[1];
        if (name.empty() || name.size() > QV_EMOJI_PAGE_NAME_MAX || !all_of(name, page_char)) return false;
        if (!parse_hash(tok[2], pg.hash)) return false;
        uint32_t cols, rows;
        if (!parse_u32(tok[3], QV_EMOJI_GRID_MAX, &cols) || cols == 0) return false;
        if (!parse_u32(tok[4], QV_EMOJI_GRID_MAX, &rows) || rows == 0) return false;
        if (cols * pack->cell > QV_EMOJI_PAGE_EDGE_MAX || rows * pack->cell > QV_EMOJI_PAGE_EDGE_MAX) return false;
        if (pack->page_count == QV_EMOJIPACK_PAGES_MAX) return false;
        copy_name(pg.name, name);
        pg.columns = static_cast<uint16_t>(cols);
        pg.rows = static_cast<uint16_t>(rows);
        if (!pack->pages) {
            pack->pages = static_cast<quorvane_emoji_page *>(calloc(QV_EMOJIPACK_PAGES_MAX, sizeof pg));
            if (!pack->pages) {
                n_log(LOG_ERR, "cannot allocate the pages of an emoji pack");
                return false;
            }
        }
        pack->pages[pack->page_count++] = pg;
        return true;
    }

    bool entry(const std::string_view *tok, size_t n) {
        if (n != 5) return false;
        quorvane_emoji_entry e{};
        std::string_view name = tok[1];
        if (!name.empty() && name[0] == '!') {
            e.hidden = 1;
            name.remove_prefix(1);
        }
        if (name.empty() || name.size() > QV_EMOJI_NAME_MAX || !all_of(name, lower_digit_us)) return false;
        uint32_t page, slot;
        if (!parse_u32(tok[2], QV_EMOJIPACK_PAGES_MAX, &page) || page >= pack->page_count) return false;
        const quorvane_emoji_page &pg = pack->pages[page];
        if (!parse_u32(tok[3], 65535, &slot) || slot >= uint32_t{pg.columns} * pg.rows) return false;
        const std::string_view kw = tok[4];
        if (kw != "-") {
            if (kw.empty() || kw.size() > QV_EMOJI_KEYWORDS_MAX || !all_of(kw, keyword_char)) return false;
            copy_name(e.keywords, kw);
        }
        if (pack->entry_count == QV_EMOJIPACK_ENTRIES_MAX) return false;
        if (names.count(name)) return false;
        copy_name(e.name, name);
        e.page = static_cast<uint16_t>(page);
        e.slot = static_cast<uint16_t>(slot);
        // The array doubles from 16 records (its room is implied by the count,
        // so the public structure keeps its shape): growing one record at a
        // time copied the whole array per entry, quadratic in a full pack. A
        // failed growth keeps the array as it was for the free below.
        const size_t have = pack->entry_count;
        if (have == 0 || (have >= 16 && (have & (have - 1)) == 0)) {
            auto *grown = static_cast<quorvane_emoji_entry *>(
                realloc(pack->entries, (have == 0 ? 16 : 2 * have) * sizeof(quorvane_emoji_entry)));
            if (!grown) {
                n_log(LOG_ERR, "cannot allocate the entries of an emoji pack");
                return false;
            }
            pack->entries = grown;
        }
        pack->entries[pack->entry_count++] = e;
        names.insert(name);
        have_entry = true;
        return true;
    }

    bool line(std::string_view ln) {
        std::string_view tok[TOKENS_MAX];
        size_t n = 0;
        size_t i = 0;
        while (i < ln.size()) {
            while (i < ln.size() && ln[i] == ' ') i++;
            if (i == ln.size()) break;
            const size_t start = i;
            while (i < ln.size() && ln[i] != ' ') i++;
            if (n == TOKENS_MAX) return false;
            tok[n++] = ln.substr(start, i - start);
        }
        if (n == 0) return true;  // nothing but spaces: as good as empty
        if (tok[0] == "version") return version(tok, n);
        if (tok[0] == "cell") return cell(tok, n);
        if (tok[0] == "page") return page(tok, n);
        if (tok[0] == "entry") return entry(tok, n);
        return false;
    }
};

}  // namespace

// The text is read as the bytes it is: a NUL byte is no terminator here but a
// byte that no rule allows, so the pack that is verified is the pack that is read.
quorvane_emojipack *quorvane_emojipack_parse(const char *text, size_t len) {
    if (!text || len == 0 || len > QV_EMOJIPACK_TEXT_MAX) return nullptr;
    parser p;
    p.pack.reset(static_cast<quorvane_emojipack *>(calloc(1, sizeof(quorvane_emojipack))));
    if (!p.pack) {
        n_log(LOG_ERR, "cannot allocate an emoji pack");
        return nullptr;
    }
    const std::string_view all(text, len);
    bool magic_seen = false;
    for (size_t pos = 0; pos <= all.size();) {
        size_t end = all.find('\n', pos);
        if (end == std::string_view::npos) end = all.size();
        const std::string_view ln = all.substr(pos, end - pos);
        pos = end + 1;
        if (ln.empty()) continue;
        if (!magic_seen) {
            if (ln != QV_EMOJIPACK_MAGIC) return nullptr;
            magic_seen = true;
            continue;
        }
        if (!p.line(ln)) return nullptr;
    }
    if (!p.have_version || !p.have_cell) return nullptr;
    return p.pack.release();
}

void quorvane_emojipack_free(quorvane_emojipack *pack) {
    if (!pack) return;
    free(pack->pages);
    free(pack->entries);
    free(pack);
}

uint32_t quorvane_emojipack_version(const quorvane_emojipack *pack) { return pack ? pack->version : 0; }
uint32_t quorvane_emojipack_cell(const quorvane_emojipack *pack) { return pack ? pack->cell : 0; }
size_t quorvane_emojipack_page_count(const quorvane_emojipack *pack) { return pack ? pack->page_count : 0; }
size_t quorvane_emojipack_entry_count(const quorvane_emojipack *pack) { return pack ? pack->entry_count : 0; }

const quorvane_emoji_page *quorvane_emojipack_page(const quorvane_emojipack *pack, size_t index) {
    return pack && index < pack->page_count ? &pack->pages[index] : nullptr;
}

const quorvane_emoji_entry *quorvane_emojipack_entry(const quorvane_emojipack *pack, size_t index) {
    return pack && index < pack->entry_count ? &pack->entries[index] : nullptr;
}

const quorvane_emoji_entry *quorvane_emojipack_lookup(const quorvane_emojipack *pack, const char *name) {
    if (!pack || !name) return nullptr;
    for (size_t i = 0; i < pack->entry_count; i++) {
        const quorvane_emoji_entry &e = pack->entries[i];
        if (!e.hidden && std::strcmp(e.name, name) == 0) return &e;
    }
    return nullptr;
}

int quorvane_emojipack_verify_sig(const char *text, size_t len, const uint8_t sig[64], const uint8_t pub[32]) {
    if (!text || len == 0 || !sig || !pub) return 0;
    return quorvane_ed25519_verify(pub, reinterpret_cast<const uint8_t *>(text), len, sig) == 0 ? 1 : 0;
}

int quorvane_emojipack_verify_page(const quorvane_emoji_page *page, const uint8_t *image, size_t len) {
    if (!page || !image || len == 0) return 0;
    uint8_t digest[QV_EMOJI_HASH_LEN];
    if (quorvane_blake2b(image, len, digest) != 0) return 0;
    return quorvane_ct_eq(digest, page->hash, sizeof digest);
}
