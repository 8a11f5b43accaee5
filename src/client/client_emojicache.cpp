// Custom-emoji cache.
//
// On disk: "pack" (the committed pack file as received), "pack.sig" (its
// signature, written at commit and not read back) and "pages/<name>", one file
// per page. A page brought in for a pack not yet committed is written beside
// them as "pages/<name>~<32 hex digits of its hash>" and renamed to its own
// name only after the new "pack" is in place: a page of the committed pack is
// never replaced while that pack is current, so a staging that fails, is
// aborted or is killed leaves the committed version whole. "~" is no page-name
// character, so such a name (and the ".tmp" scratch beside it) can never be
// another page's. Readers take a page from its own name and fall back to the
// staged name, so a commit cut between its rename of "pack" and the renames of
// the pages still reads whole.
#include "client_emojicache.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "n_files.h"
#include "n_hex.h"
#include "n_log.h"

namespace {

struct dir_closer {
    void operator()(DIR *d) const { closedir(d); }
};
using dir_ptr = std::unique_ptr<DIR, dir_closer>;

constexpr size_t STAGED_HASH_DIGITS = 32;  // of the page hash, in a staged page's file name
constexpr char STAGED_MARK = '~';

using heap_ptr = std::unique_ptr<uint8_t, decltype(&free)>;

std::string pages_dir(const quorvane_emoji_cache *c) { return std::string(c->directory) + "/pages"; }
std::string page_path(const quorvane_emoji_cache *c, const char *name) { return pages_dir(c) + "/" + name; }

std::string staged_name(const quorvane_emoji_page &pg) {
    char digits[STAGED_HASH_DIGITS + 1];
    if (n_hex_encode_to(digits, sizeof digits, pg.hash, STAGED_HASH_DIGITS / 2) != STAGED_HASH_DIGITS) digits[0] = '\0';
    return std::string(pg.name) + STAGED_MARK + digits;
}

// A regular file of 1 to `cap` bytes, or nothing; no log line for a file that
// is simply not there.
heap_ptr read_file(const std::string &path, size_t cap, size_t *len) {
    *len = 0;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 || size_t(st.st_size) > cap)
        return heap_ptr{nullptr, free};
    char *data = nullptr;
    if (!n_file_read_bounded(path.c_str(), cap, &data, len) || *len == 0) {
        free(data);
        *len = 0;
        return heap_ptr{nullptr, free};
    }
    return heap_ptr{reinterpret_cast<uint8_t *>(data), free};
}

// The page's bytes from its own name, else from its staged name, whichever
// verifies first.
heap_ptr read_verified_page(const quorvane_emoji_cache *c, const quorvane_emoji_page &pg, size_t *len) {
    for (const std::string &path : {page_path(c, pg.name), page_path(c, staged_name(pg).c_str())}) {
        heap_ptr data = read_file(path, QV_EMOJI_CACHE_PAGE_MAX, len);
        if (data && quorvane_emojipack_verify_page(&pg, data.get(), *len)) return data;
    }
    *len = 0;
    return heap_ptr{nullptr, free};
}

void drop_committed(quorvane_emoji_cache *c) {
    if (c->code_index) destroy_ht(&c->code_index);
    quorvane_emojipack_free(c->committed);
    c->committed = nullptr;
    c->committed_version = 0;
}

// Without an index lookups fall back to a walk of the pack, so a failure
// here costs speed only.
void build_index(quorvane_emoji_cache *c) {
    const size_t n = c->committed->entry_count;
    c->code_index = new_ht(n > 16 ? n : 16);
    if (!c->code_index) return;
    for (size_t i = 0; i < n; i++) {
        const quorvane_emoji_entry &e = c->committed->entries[i];
        int64_t seen;
        if (e.hidden || ht_get_int(c->code_index, e.name, &seen)) continue;
        if (!ht_put_int(c->code_index, e.name, int64_t(i))) {
            destroy_ht(&c->code_index);
            return;
        }
    }
}

void adopt_committed(quorvane_emoji_cache *c, quorvane_emojipack *pack) {
    drop_committed(c);
    c->committed = pack;
    c->committed_version = pack->version;
    build_index(c);
}

void load_committed(quorvane_emoji_cache *c) {
    drop_committed(c);
    size_t len = 0;
    heap_ptr text = read_file(std::string(c->directory) + "/pack", QV_EMOJI_CACHE_PACK_MAX, &len);
    if (!text) return;
    quorvane_emojipack *pack = quorvane_emojipack_parse(reinterpret_cast<const char *>(text.get()), len);
    if (pack) adopt_committed(c, pack);
}

void drop_staging(quorvane_emoji_cache *c) {
    quorvane_emojipack_free(c->staged);
    c->staged = nullptr;
    free(c->staged_bytes);
    c->staged_bytes = nullptr;
    c->staged_len = 0;
    free(c->page_table);
    c->page_table = nullptr;
    c->staging = 0;
    c->page_count = 0;
    c->missing = 0;
}

// After a commit: every page of the new pack takes its own name, then staged
// files that no page of it needs are removed. A rename that fails leaves the
// staged file, which readers still find.
void settle_pages(const quorvane_emoji_cache *c) {
    const quorvane_emojipack *pack = c->committed;
    for (size_t i = 0; i < pack->page_count; i++) {
        const std::string from = page_path(c, staged_name(pack->pages[i]).c_str());
        struct stat st;
        if (lstat(from.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            rename(from.c_str(), page_path(c, pack->pages[i].name).c_str()) != 0)
            n_log(LOG_WARNING, "emoji cache: page %s stays under its staged name: %s", pack->pages[i].name,
                  strerror(errno));
    }
    const std::string dir = pages_dir(c);
    dir_ptr d{opendir(dir.c_str())};
    if (!d) return;
    for (struct dirent *ent; (ent = readdir(d.get())) != nullptr;) {
        const std::string_view name = ent->d_name;
        if (name.find(STAGED_MARK) == std::string_view::npos) continue;
        bool needed = false;
        for (size_t i = 0; i < pack->page_count && !needed; i++) needed = name == staged_name(pack->pages[i]);
        if (!needed) unlink((dir + "/" + ent->d_name).c_str());
    }
}

const quorvane_emoji_entry *lookup_one(const quorvane_emoji_cache *c, const char *code) {
    if (!c || !c->committed) return nullptr;
    if (!c->code_index) return quorvane_emojipack_lookup(c->committed, code);
    int64_t i;
    if (!ht_get_int(c->code_index, code, &i) || i < 0 || size_t(i) >= c->committed->entry_count) return nullptr;
    return &c->committed->entries[i];
}

bool code_char(unsigned char ch) { return (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '_'; }

/* ---- categories ---------------------------------------------------------- */

constexpr std::string_view FOOD_WORDS[] = {
    "food", "apple", "orange", "lemon", "tangerine", "banana", "watermelon", "grapes", "strawberry",
    "cherries", "peach", "pineapple", "kiwifruit", "tomato", "avocado", "carrot", "corn", "pepper",
    "croissant", "bread", "cheese", "egg", "bacon", "hamburger", "fries", "pizza", "taco", "spaghetti",
    "sushi", "ice", "cream", "cake", "shortcake", "chocolate", "cookie", "doughnut", "coffee", "tea", "beer",
    "wine", "cocktail", "drink", "glasses", "tropical", "beverage",
};
static_assert(std::size(FOOD_WORDS) == 45);
constexpr std::string_view NATURE_WORDS[] = {
    "cat", "kitten", "mouse", "hamster", "rabbit", "fox", "bear", "panda", "koala", "tiger", "lion", "cow",
    "pig", "frog", "monkey", "chicken", "penguin", "bird", "duck", "owl", "unicorn", "bee", "honeybee",
    "butterfly", "snail", "turtle", "snake", "octopus", "fish", "tropical", "dolphin", "whale", "shark",
    "animal", "puppy", "dog", "sun", "sunny", "moon", "crescent", "cloud", "rain", "umbrella", "snow",
    "snowflake", "snowman", "lightning", "voltage", "rainbow", "water", "earth", "globe", "tornado",
    "weather", "flower", "tree", "plant", "leaf",
};
static_assert(std::size(NATURE_WORDS) == 58);
constexpr std::string_view PEOPLE_WORDS[] = {
    "thumbsup", "thumbsdown", "thumbs", "hand", "hands", "wave", "waving", "clap", "clapping", "fist", "ok",
    "point", "pointing", "index", "victory", "fingers", "writing", "muscle", "biceps", "handshake", "pray",
    "folded", "eyes", "eye", "ear", "nose", "mouth", "tongue", "person", "people", "man", "woman", "baby",
    "boy", "girl", "horns", "call",
};
static_assert(std::size(PEOPLE_WORDS) == 37);
constexpr std::string_view SYMBOLS_WORDS[] = {
    "heart", "hearts", "broken", "check", "cross", "question", "exclamation", "star", "sparkles", "fire",
    "hundred", "collision", "boom", "speech", "balloon", "warning", "prohibited", "no", "plus", "minus",
    "multiplication", "new", "up", "zzz", "pile", "poo", "symbol", "mark",
};
static_assert(std::size(SYMBOLS_WORDS) == 28);
constexpr std::string_view THINGS_WORDS[] = {
    "party", "popper", "confetti", "gift", "present", "birthday", "christmas", "pumpkin", "ribbon", "trophy",
    "medal", "music", "musical", "notes", "microphone", "game", "video", "die", "soccer", "basketball",
    "tennis", "ball", "rocket", "airplane", "car", "bicycle", "house", "building", "camera", "computer",
    "laptop", "phone", "mobile", "telephone", "email", "envelope", "calendar", "alarm", "clock", "hourglass",
    "bulb", "light", "battery", "key", "lock", "pushpin", "paperclip", "pencil", "memo", "books", "book",
    "money", "bag", "gem", "cart", "suitcase", "luggage", "hospital", "pill", "syringe", "bed", "shower",
    "broom",
};
static_assert(std::size(THINGS_WORDS) == 63);
constexpr std::string_view FACES_WORDS[] = {
    "face", "grin", "grinning", "smile", "smiling", "laugh", "laughing", "joy", "wink", "winking", "cry",
    "crying", "tear", "tears", "sad", "angry", "rage", "pouting", "kiss", "kissing", "cool", "sunglasses",
    "neutral", "think", "thinking", "wow", "astonished", "scream", "sleeping", "sweat", "worried", "confused",
    "frowning", "relieved", "unamused", "expressionless", "flushed", "dizzy", "mask", "nerd", "hugging",
    "zipper", "lying", "drooling", "nauseated", "sneezing", "cowboy", "clown", "love", "smirking",
    "persevering", "disappointed", "weary", "tired", "fearful", "anxious", "hushed", "yawning", "shushing",
    "monocle", "pleading", "partying", "woozy", "upside", "rolling",
};
static_assert(std::size(FACES_WORDS) == 65);

struct category_table {
    const std::string_view *words;
    size_t count;
    int category;
};

// The order in which the tables are consulted; the first that holds a word wins.
constexpr category_table TABLES[] = {
    {FOOD_WORDS, std::size(FOOD_WORDS), QV_EMOJI_CAT_FOOD},
    {NATURE_WORDS, std::size(NATURE_WORDS), QV_EMOJI_CAT_NATURE},
    {PEOPLE_WORDS, std::size(PEOPLE_WORDS), QV_EMOJI_CAT_PEOPLE},
    {SYMBOLS_WORDS, std::size(SYMBOLS_WORDS), QV_EMOJI_CAT_SYMBOLS},
    {THINGS_WORDS, std::size(THINGS_WORDS), QV_EMOJI_CAT_THINGS},
    {FACES_WORDS, std::size(FACES_WORDS), QV_EMOJI_CAT_FACES},
};

// The names used in "cat_" tags, by category number.
constexpr std::string_view CATEGORY_NAMES[] = {"", "faces", "people", "symbols", "nature", "food", "things"};

constexpr std::string_view CAT_TAG = "cat_";

bool is_cat_tag(std::string_view kw) { return kw.size() >= 5 && kw.substr(0, CAT_TAG.size()) == CAT_TAG; }

// Calls f on each non-empty piece of s cut at any of `seps`; stops when f says so.
template <class F> bool each_piece(std::string_view s, std::string_view seps, F f) {
    size_t pos = 0;
    while (pos <= s.size()) {
        size_t end = s.find_first_of(seps, pos);
        if (end == std::string_view::npos) end = s.size();
        if (end > pos && f(s.substr(pos, end - pos))) return true;
        pos = end + 1;
    }
    return false;
}

int table_category(std::string_view text) {
    for (const category_table &t : TABLES) {
        const bool hit = each_piece(text, "_,", [&](std::string_view word) {
            for (size_t i = 0; i < t.count; i++)
                if (t.words[i] == word) return true;
            return false;
        });
        if (hit) return t.category;
    }
    return QV_EMOJI_CAT_NONE;
}

bool contains_nocase(std::string_view hay, std::string_view needle) {
    auto lower = [](char ch) { return (ch >= 'A' && ch <= 'Z') ? char(ch - 'A' + 'a') : ch; };
    if (needle.size() > hay.size()) return false;
    for (size_t i = 0; i + needle.size() <= hay.size(); i++) {
        size_t k = 0;
        while (k < needle.size() && lower(hay[i + k]) == lower(needle[k])) k++;
        if (k == needle.size()) return true;
    }
    return false;
}

}  // namespace

/* ---- handles and the committed pack -------------------------------------- */

quorvane_emoji_cache *quorvane_emoji_cache_open(const char *directory) {
    if (!directory || !*directory || strlen(directory) >= QV_EMOJI_CACHE_DIR_MAX) return nullptr;
    auto *c = static_cast<quorvane_emoji_cache *>(calloc(1, sizeof(quorvane_emoji_cache)));
    if (!c) {
        n_log(LOG_ERR, "cannot allocate an emoji cache");
        return nullptr;
    }
    memcpy(c->directory, directory, strlen(directory) + 1);
    // failures show later, as a pack that cannot be read or a page that cannot be put
    (void)mkdir(c->directory, 0700);
    (void)mkdir(pages_dir(c).c_str(), 0700);
    load_committed(c);
    return c;
}

void quorvane_emoji_cache_free(quorvane_emoji_cache *cache) {
    if (!cache) return;
    drop_staging(cache);
    drop_committed(cache);
    free(cache);
}

uint32_t quorvane_emoji_cache_version(const quorvane_emoji_cache *cache) {
    return cache && cache->committed ? cache->committed_version : 0;
}

const quorvane_emojipack *quorvane_emoji_cache_pack(const quorvane_emoji_cache *cache) {
    return cache ? cache->committed : nullptr;
}

int quorvane_emoji_cache_reload_committed(quorvane_emoji_cache *cache) {
    if (!cache) return -1;
    load_committed(cache);
    return 0;
}

int quorvane_emoji_cache_read_page(quorvane_emoji_cache *cache, const char *name, uint8_t **data, size_t *len) {
    if (!cache || !name || !data || !len || !cache->committed) return -1;
    *data = nullptr;
    *len = 0;
    const quorvane_emojipack *pack = cache->committed;
    for (size_t i = 0; i < pack->page_count; i++) {
        if (strcmp(pack->pages[i].name, name) != 0) continue;
        size_t n = 0;
        heap_ptr bytes = read_verified_page(cache, pack->pages[i], &n);
        if (!bytes) return -1;
        *data = bytes.release();
        *len = n;
        return 0;
    }
    return -1;
}

/* ---- bringing a pack in --------------------------------------------------- */

int quorvane_emoji_cache_begin(quorvane_emoji_cache *cache, const uint8_t *pack, size_t len, const uint8_t sig[64],
                               const uint8_t key[32]) {
    if (!cache || cache->staging || !pack || !len || !sig || !key) return -1;
    const char *text = reinterpret_cast<const char *>(pack);
    if (!quorvane_emojipack_verify_sig(text, len, sig, key)) return -1;
    quorvane_emojipack *parsed = quorvane_emojipack_parse(text, len);
    if (!parsed) return -1;
    const size_t pages = parsed->page_count;
    // one file per page name: two pages named alike could not both be kept
    for (size_t i = 0; i < pages; i++)
        for (size_t k = 0; k < i; k++)
            if (strcmp(parsed->pages[i].name, parsed->pages[k].name) == 0) {
                n_log(LOG_WARNING, "emoji cache: refusing a pack that names two pages %s", parsed->pages[i].name);
                quorvane_emojipack_free(parsed);
                return -1;
            }
    auto *table = static_cast<quorvane_emoji_page_slot *>(calloc(pages ? pages : 1, sizeof(quorvane_emoji_page_slot)));
    auto *bytes = static_cast<uint8_t *>(malloc(len));
    if (!table || !bytes) {
        n_log(LOG_ERR, "cannot allocate the staging of an emoji pack");
        free(table);
        free(bytes);
        quorvane_emojipack_free(parsed);
        return -1;
    }
    memcpy(bytes, pack, len);
    cache->staged_bytes = bytes;
    cache->staged_len = len;
    memcpy(cache->staged_sig, sig, QV_EMOJI_SIG_LEN);
    cache->staged = parsed;
    cache->page_table = table;
    cache->page_count = pages;
    cache->missing = 0;
    for (size_t i = 0; i < pages; i++) {
        memcpy(table[i].name, parsed->pages[i].name, sizeof table[i].name);
        size_t n = 0;
        table[i].present = read_verified_page(cache, parsed->pages[i], &n) ? 1 : 0;
        if (!table[i].present) cache->missing++;
    }
    cache->staging = 1;
    return static_cast<int>(cache->missing);
}

int quorvane_emoji_cache_next_needed(const quorvane_emoji_cache *cache, char *name, size_t cap) {
    if (!cache || !cache->staging || !cache->page_table || !name) return 0;
    for (uint64_t i = 0; i < cache->page_count; i++) {
        if (cache->page_table[i].present) continue;
        const size_t n = strlen(cache->page_table[i].name);
        if (n + 1 > cap) return 0;
        memcpy(name, cache->page_table[i].name, n + 1);
        return 1;
    }
    return 0;
}

int quorvane_emoji_cache_put_page(quorvane_emoji_cache *cache, const char *name, const uint8_t *bytes, size_t len) {
    if (!cache || !cache->staging || !name || !bytes || len == 0 || len > QV_EMOJI_CACHE_PAGE_MAX) return -1;
    for (uint64_t i = 0; i < cache->page_count; i++) {
        quorvane_emoji_page_slot &slot = cache->page_table[i];
        if (strcmp(slot.name, name) != 0) continue;
        const quorvane_emoji_page &pg = cache->staged->pages[i];
        if (!quorvane_emojipack_verify_page(&pg, bytes, len)) return -1;
        if (!n_file_write_atomic(page_path(cache, staged_name(pg).c_str()).c_str(), bytes, len, 0)) return -1;
        if (!slot.present) {
            slot.present = 1;
            cache->missing--;
        }
        return 0;
    }
    return -1;
}

// "pack" is the one file whose replacement makes the new version current;
// everything before it leaves the old version whole, everything after it
// only moves files that both the reader and the next begin find either way.
// A crash may keep the renames of one directory and lose those of another,
// so the staged pages are made to last before "pack" names them, and "pack"
// before any page of the old version is replaced under its own name.
int quorvane_emoji_cache_commit(quorvane_emoji_cache *cache) {
    if (!cache || !cache->staging || cache->missing) return -1;
    // Another handle's commit may have swept or replaced a page since it was
    // put: such a page counts as missing again rather than go current lost.
    for (uint64_t i = 0; i < cache->page_count; i++) {
        size_t n = 0;
        if (read_verified_page(cache, cache->staged->pages[i], &n)) continue;
        cache->page_table[i].present = 0;
        cache->missing++;
    }
    if (cache->missing) return -1;
    const std::string dir = cache->directory;
    if (!n_dir_sync(pages_dir(cache).c_str())) {
        n_log(LOG_ERR, "emoji cache: cannot sync the pages of %s: %s", cache->directory, strerror(errno));
        return -1;
    }
    if (!n_file_write_atomic((dir + "/pack.sig").c_str(), cache->staged_sig, QV_EMOJI_SIG_LEN, 0)) return -1;
    if (!n_file_write_atomic((dir + "/pack").c_str(), cache->staged_bytes, cache->staged_len, 0)) return -1;
    adopt_committed(cache, cache->staged);
    cache->staged = nullptr;
    drop_staging(cache);
    // unsettled pages stay under their staged names, where readers find them
    if (n_dir_sync(cache->directory))
        settle_pages(cache);
    else
        n_log(LOG_WARNING, "emoji cache: cannot sync %s; its pages stay under their staged names: %s",
              cache->directory, strerror(errno));
    return 0;
}

void quorvane_emoji_cache_abort(quorvane_emoji_cache *cache) {
    if (cache && cache->staging) drop_staging(cache);
}

/* ---- lookups --------------------------------------------------------------- */

void quorvane_emoji_cache_set_layers(quorvane_emoji_cache *cache, quorvane_emoji_cache *first,
                                     quorvane_emoji_cache *last) {
    if (!cache) return;
    cache->first_layer = first;
    cache->last_layer = last;
}

const quorvane_emoji_entry *quorvane_emoji_cache_lookup(const quorvane_emoji_cache *cache, const char *code) {
    if (!cache || !code) return nullptr;
    const quorvane_emoji_entry *e = nullptr;
    if (cache->first_layer && cache->first_layer != cache) e = lookup_one(cache->first_layer, code);
    if (!e) e = lookup_one(cache, code);
    if (!e && cache->last_layer && cache->last_layer != cache) e = lookup_one(cache->last_layer, code);
    return e;
}

int quorvane_emoji_cache_owns(const quorvane_emoji_cache *cache, const quorvane_emoji_entry *entry) {
    if (!cache || !entry || !cache->committed || !cache->committed->entries) return 0;
    const auto at = reinterpret_cast<uintptr_t>(entry);
    const auto first = reinterpret_cast<uintptr_t>(cache->committed->entries);
    return at >= first && at < first + cache->committed->entry_count * sizeof(quorvane_emoji_entry) ? 1 : 0;
}

size_t quorvane_emoji_cache_match(const quorvane_emoji_cache *cache, const char *text, size_t pos, size_t len,
                                  const quorvane_emoji_entry **out) {
    if (out) *out = nullptr;
    if (!cache || !text || !out || pos >= len || text[pos] != ':') return 0;
    if (!cache->committed && !cache->first_layer && !cache->last_layer) return 0;
    char code[QV_EMOJI_CODE_MAX + 1];
    size_t n = 0;
    for (size_t i = pos + 1;; i++) {
        if (i >= len) return 0;
        const unsigned char ch = static_cast<unsigned char>(text[i]);
        if (ch == ':') break;
        if (!code_char(ch) || n == QV_EMOJI_CODE_MAX) return 0;
        code[n++] = static_cast<char>(ch);
    }
    if (n == 0) return 0;
    code[n] = '\0';
    const quorvane_emoji_entry *e = quorvane_emoji_cache_lookup(cache, code);
    if (!e) return 0;
    *out = e;
    return n + 2;
}

/* ---- text and picker helpers ---------------------------------------------- */

int quorvane_emoji_typing(const char *text, size_t cursor, size_t *start, size_t *frag_len) {
    if (!text) return 0;
    size_t end = strlen(text);
    if (cursor < end) end = cursor;
    size_t i = end;
    while (i > 0 && code_char(static_cast<unsigned char>(text[i - 1]))) i--;
    if (i == 0 || text[i - 1] != ':') return 0;
    const size_t colon = i - 1;
    if (colon > 0 && static_cast<unsigned char>(text[colon - 1]) >= '!') return 0;
    if (end - i > QV_EMOJI_CODE_MAX) return 0;
    if (start) *start = colon;
    if (frag_len) *frag_len = end - i;
    return 1;
}

int quorvane_emoji_category(const quorvane_emoji_entry *entry) {
    if (!entry) return QV_EMOJI_CAT_NONE;
    const std::string_view keywords = entry->keywords;
    int tagged = QV_EMOJI_CAT_NONE;
    each_piece(keywords, ",", [&](std::string_view kw) {
        if (!is_cat_tag(kw)) return false;
        for (int c = QV_EMOJI_CAT_FACES; c <= QV_EMOJI_CAT_THINGS; c++)
            if (kw.substr(CAT_TAG.size()) == CATEGORY_NAMES[c]) {
                tagged = c;
                return true;
            }
        return false;
    });
    if (tagged) return tagged;
    if (int c = table_category(entry->name)) return c;
    return table_category(keywords);
}

int quorvane_emoji_search_match(const quorvane_emoji_entry *entry, const char *text) {
    if (!entry || entry->hidden) return 0;
    if (!text || !*text) return 1;
    if (contains_nocase(entry->name, text)) return 1;
    return each_piece(entry->keywords, ",",
                      [&](std::string_view kw) { return !is_cat_tag(kw) && contains_nocase(kw, text); })
               ? 1
               : 0;
}
