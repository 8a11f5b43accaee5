#include "client_autofill.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "quorvane_crypto.h"
#include "quorvane_text.h"

namespace {

constexpr char   CONSONANTS[] = "bdfgklmnprstvz";
constexpr char   VOWELS[] = "aeiou";
constexpr size_t NC = sizeof CONSONANTS - 1;
constexpr size_t NV = sizeof VOWELS - 1;
constexpr size_t SYLLABLES = NC * NV;
static_assert(SYLLABLES * (SYLLABLES - 1) == QV_PASSPHRASE_WORDS_ALL);

// Sorted, for the binary search.
constexpr std::string_view BLOCKED[] = {
    "bite", "boba", "bolu", "dumo", "gode", "kake", "kaki", "kike", "kuli", "kulo", "mafe", "maso",
    "mona", "nazi", "nega", "nigo", "pede", "pedo", "pene", "pine", "pipe", "pito", "polo", "puta",
    "pute", "rabo", "rape", "sado", "sida", "tare", "teta", "tuta", "vaga", "zobi",
};
constexpr size_t BLOCKED_COUNT = sizeof BLOCKED / sizeof BLOCKED[0];
static_assert(BLOCKED_COUNT == QV_PASSPHRASE_WORDS_ALL - QV_PASSPHRASE_WORDS);

// The largest multiple of the word count that a 32-bit draw can reach: draws at or
// above it are redrawn, so every word is equally likely.
constexpr uint32_t draw_limit(uint32_t words) { return UINT32_MAX - UINT32_MAX % words; }
static_assert(draw_limit(QV_PASSPHRASE_WORDS) == 4294966676u && draw_limit(QV_PASSPHRASE_WORDS) % QV_PASSPHRASE_WORDS == 0);

bool is_blank(unsigned char c) { return c == ' ' || c == '\t'; }
unsigned char ascii_lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; }

std::string_view trimmed(std::string_view s, bool (*blank)(unsigned char)) {
    while (!s.empty() && blank(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && blank(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

// Copies a trimmed part byte by byte, lower-casing, refusing control bytes,
// spaces, DEL and any byte in `refused`, and refusing when no room is left for
// the terminator. On refusal the output is emptied.
bool copy_lowered(std::string_view s, const char *refused, char *out, size_t cap) {
    size_t j = 0;
    for (const char ch : s) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c == 0x7f || (c && std::strchr(refused, c)) || j + 1 >= cap) {
            out[0] = '\0';
            return false;
        }
        out[j++] = static_cast<char>(ascii_lower(c));
    }
    out[j] = '\0';
    return true;
}

bool normalise_email(std::string_view text, char *out, size_t cap) {
    text = trimmed(text, is_blank);
    if (text.empty() || text.size() > QV_AF_EMAIL_MAX || !cap) return false;
    if (!copy_lowered(text, "", out, cap)) return false;
    const std::string_view e(out);
    const size_t at = e.find('@');
    const bool ok = at != std::string_view::npos && at > 0 && e.find('@', at + 1) == std::string_view::npos &&
                    at + 1 < e.size() && e.find('.', at + 1) != std::string_view::npos;
    if (!ok) out[0] = '\0';
    return ok;
}

// host[:port]; a host without a port gets the default one. "::1" keeps its last
// colon as the port separator; bracket it for the default port.
bool normalise_server(std::string_view text, char *out, size_t cap) {
    text = trimmed(text, is_blank);
    if (text.empty() || !cap) return false;
    if (!copy_lowered(text, "@", out, cap)) return false;
    const size_t len = std::strlen(out);
    const char *suffix = "";
    if (!std::strchr(out, ':') || out[len - 1] == ']')
        suffix = ":7420";
    else if (out[len - 1] == ':')
        suffix = QV_AF_DEFAULT_PORT;
    const size_t add = std::strlen(suffix);
    if (len + add + 1 > cap) {
        out[0] = '\0';
        return false;
    }
    std::memcpy(out + len, suffix, add + 1);
    return true;
}

bool normalise_user(std::string_view user, char *out, size_t cap) {
    if (user.find('@') != std::string_view::npos) return normalise_email(user, out, cap);
    if (!out || !cap) return false;
    // the folding rule reads a terminated text: a NUL inside would cut the name short
    if (user.find('\0') != std::string_view::npos) {
        out[0] = '\0';
        return false;
    }
    const std::string name(user);
    return quorvane_username_fold(name.c_str(), out, cap) == 1;
}

/* ---- passphrase words ---- */

int index_of(const char *set, char c) {
    const char *p = c ? std::strchr(set, c) : nullptr;
    return p ? static_cast<int>(p - set) : -1;
}

size_t word_number(size_t s1, size_t s2) { return (SYLLABLES - 1) * s1 + (s2 < s1 ? s2 : s2 - 1); }

// The number of a well-formed word, or -1.
long number_of(std::string_view w) {
    if (w.size() != QV_PASSPHRASE_WORD_LEN) return -1;
    const int c1 = index_of(CONSONANTS, w[0]), v1 = index_of(VOWELS, w[1]);
    const int c2 = index_of(CONSONANTS, w[2]), v2 = index_of(VOWELS, w[3]);
    if (c1 < 0 || v1 < 0 || c2 < 0 || v2 < 0) return -1;
    const size_t s1 = NV * c1 + v1, s2 = NV * c2 + v2;
    if (s1 == s2) return -1;
    return static_cast<long>(word_number(s1, s2));
}

size_t blocked_below(size_t n) {
    size_t count = 0;
    for (const std::string_view w : BLOCKED) {
        const long a = number_of(w);
        if (a >= 0 && static_cast<size_t>(a) < n) count++;
    }
    return count;
}

void word_letters(size_t a, char *out) {
    const size_t s1 = a / (SYLLABLES - 1), r = a % (SYLLABLES - 1);
    const size_t s2 = r < s1 ? r : r + 1;
    out[0] = CONSONANTS[s1 / NV];
    out[1] = VOWELS[s1 % NV];
    out[2] = CONSONANTS[s2 / NV];
    out[3] = VOWELS[s2 % NV];
}

bool blocked_word(const char *w) {
    const std::string_view key(w, QV_PASSPHRASE_WORD_LEN);
    return std::binary_search(std::begin(BLOCKED), std::end(BLOCKED), key);
}

}  // namespace

int quorvane_af_compose(const char *user, const char *server, char *out, size_t cap) {
    if (!out || !cap) return -1;
    out[0] = '\0';
    if (!user || !server) return -1;
    char u[QV_AF_PART_BUF], s[QV_AF_PART_BUF];
    if (!normalise_user(user, u, sizeof u)) return -1;
    const std::string_view srv(server);
    const bool has_server = srv.find_first_not_of(" \t") != std::string_view::npos;
    if (has_server && !normalise_server(srv, s, sizeof s)) return -1;
    const size_t ul = std::strlen(u), sl = has_server ? std::strlen(s) : 0;
    if (ul + (has_server ? 1 + sl : 0) + 1 > cap) return -1;
    std::memcpy(out, u, ul);
    if (has_server) {
        out[ul] = '@';
        std::memcpy(out + ul + 1, s, sl);
    }
    out[ul + (has_server ? 1 + sl : 0)] = '\0';
    return 0;
}

int quorvane_af_compose_recovery(const char *user, const char *server, char *out, size_t cap) {
    if (!out || !cap) return -1;
    out[0] = '\0';
    if (cap <= QV_AF_RECOVERY_PREFIX_LEN) return -1;
    if (quorvane_af_compose(user, server, out + QV_AF_RECOVERY_PREFIX_LEN, cap - QV_AF_RECOVERY_PREFIX_LEN) != 0) return -1;
    std::memcpy(out, QV_AF_RECOVERY_PREFIX, QV_AF_RECOVERY_PREFIX_LEN);
    return 0;
}

int quorvane_af_parse(const char *entry, char *user_out, size_t user_cap, char *server_out, size_t server_cap) {
    if (!user_out || !server_out || !user_cap || !server_cap) return 0;
    user_out[0] = server_out[0] = '\0';
    if (!entry) return 0;
    std::string_view e(entry, strnlen(entry, QV_AF_ENTRY_MAX + 1));
    if (e.size() > QV_AF_ENTRY_MAX) return 0;
    int kind = QV_AF_PLAIN;
    if (e.substr(0, QV_AF_RECOVERY_PREFIX_LEN) == QV_AF_RECOVERY_PREFIX) {
        kind = QV_AF_RECOVERY;
        e.remove_prefix(QV_AF_RECOVERY_PREFIX_LEN);
    }
    size_t at = e.find('@');
    if (at != std::string_view::npos && e.find('@', at + 1) != std::string_view::npos) at = e.rfind('@');
    const std::string_view user = e.substr(0, at);
    bool ok = normalise_user(user, user_out, user_cap);
    if (ok && at != std::string_view::npos) ok = normalise_server(e.substr(at + 1), server_out, server_cap);
    if (!ok) {
        user_out[0] = server_out[0] = '\0';
        return 0;
    }
    return kind;
}

int quorvane_passphrase_blocked(const char *text) {
    if (!text || strnlen(text, QV_PASSPHRASE_WORD_LEN) < QV_PASSPHRASE_WORD_LEN) return 0;
    return blocked_word(text);
}

size_t quorvane_passphrase_count(void) { return QV_PASSPHRASE_WORDS_ALL - blocked_below(QV_PASSPHRASE_WORDS_ALL); }

// Allowed word k is the smallest number a with k + (blocked numbers up to a) = a
// that is itself not blocked.
int quorvane_passphrase_word(size_t k, char out[5]) {
    if (!out || k >= quorvane_passphrase_count()) return -1;
    size_t a = k;
    for (;;) {
        for (size_t b; a < (b = k + blocked_below(a + 1));) {
            a = b;
            if (a >= QV_PASSPHRASE_WORDS_ALL) return -1;
        }
        word_letters(a, out);
        if (!blocked_word(out)) break;
        if (++a >= QV_PASSPHRASE_WORDS_ALL) return -1;
    }
    out[QV_PASSPHRASE_WORD_LEN] = '\0';
    return 0;
}

int quorvane_passphrase_generate(size_t n, char *out, size_t cap) {
    const size_t words = quorvane_passphrase_count();
    if (!out || n == 0 || n > cap / (QV_PASSPHRASE_WORD_LEN + 1) || words == 0) return -1;
    const uint32_t limit = draw_limit(static_cast<uint32_t>(words));
    uint8_t  draw[4];
    char     word[QV_PASSPHRASE_WORD_LEN + 1];
    int      rc = 0;
    for (size_t i = 0; i < n && rc == 0; i++) {
        uint32_t x = 0;
        do {
            if (quorvane_random(draw, sizeof draw) != 0) {
                rc = -1;
                break;
            }
            x = (uint32_t{draw[0]} << 24) | (uint32_t{draw[1]} << 16) | (uint32_t{draw[2]} << 8) | draw[3];
        } while (x >= limit);
        quorvane_cleanse(draw, sizeof draw);
        if (rc != 0 || quorvane_passphrase_word(x % words, word) != 0) {
            rc = -1;
            break;
        }
        x = 0;
        char *at = out + i * (QV_PASSPHRASE_WORD_LEN + 1);
        if (i) at[-1] = '-';
        std::memcpy(at, word, QV_PASSPHRASE_WORD_LEN);
    }
    quorvane_cleanse(word, sizeof word);
    if (rc != 0) {
        quorvane_cleanse(out, cap);
        return -1;
    }
    out[n * (QV_PASSPHRASE_WORD_LEN + 1) - 1] = '\0';
    return 0;
}
