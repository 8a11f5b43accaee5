#include "client_instbar.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <unistd.h>

#include "n_files.h"
#include "n_hex.h"

namespace {

constexpr size_t ID_LEN = 16;
constexpr size_t ID_HEX = 2 * ID_LEN;
constexpr char   INVITE_FMT[] = "quorvane://%s:%s/join/%s";
constexpr char   JOIN_MARK[] = "/join/";

using file_ptr = std::unique_ptr<FILE, decltype(&fclose)>;

bool same_id(const uint8_t *a, const uint8_t *b) { return std::memcmp(a, b, ID_LEN) == 0; }

// Locale-free on purpose: links and the mute file are ASCII whatever the user's locale.
bool is_hex(unsigned char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool all_hex(const char *p, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (!is_hex(static_cast<unsigned char>(p[i]))) return false;
    return true;
}

bool is_blank(unsigned char c) { return c == ' ' || c == '\t'; }

// Bytes of the character starting at p: 1 for a single byte, 2 to 4 for a
// whole UTF-8 sequence, 0 for a sequence cut short (by the end of the name or
// by a byte that cannot continue it), which is never copied.
size_t initial_len(const unsigned char *p) {
    size_t len = 1;
    if (p[0] >= 0xc0 && p[0] <= 0xdf)
        len = 2;
    else if (p[0] >= 0xe0 && p[0] <= 0xef)
        len = 3;
    else if (p[0] >= 0xf0 && p[0] <= 0xf7)
        len = 4;
    for (size_t i = 1; i < len; i++)
        if ((p[i] & 0xc0) != 0x80) return 0;
    return len;
}

uint8_t category_of(const quorvane_instbar_layout *l, size_t i) {
    uint8_t c = l->category[i];
    return c >= l->category_count ? QV_INSTBAR_NO_CAT : c;
}

}  // namespace

// Uncategorised instances come first, then each category that has instances
// under its header; inside each group, by position and then by index.
size_t quorvane_instbar_plan(const quorvane_instbar_layout *layout, quorvane_instbar_item *rows, size_t cap) {
    if (!layout || !rows || !cap) return 0;
    size_t n = static_cast<size_t>(std::min<uint64_t>(layout->instance_count, QV_INSTBAR_MAX));
    uint8_t order[QV_INSTBAR_MAX];
    for (size_t i = 0; i < n; i++) order[i] = static_cast<uint8_t>(i);
    std::stable_sort(order, order + n, [&](uint8_t a, uint8_t b) { return layout->position[a] < layout->position[b]; });

    size_t out = 0;
    auto add = [&](uint32_t kind, int32_t cat, uint64_t inst) {
        if (out >= cap) return false;
        rows[out++] = {kind, cat, inst};
        return true;
    };
    auto add_group = [&](uint8_t cat) {
        for (size_t k = 0; k < n; k++)
            if (category_of(layout, order[k]) == cat && !add(QV_INSTBAR_ROW_INST, cat, order[k])) return false;
        return true;
    };
    if (!add_group(QV_INSTBAR_NO_CAT)) return out;
    // an instance's category is one byte and 255 means none: no index above 254
    // can have instances, however large the category count
    uint64_t cats = std::min<uint64_t>(layout->category_count, QV_INSTBAR_NO_CAT);
    for (uint64_t c = 0; c < cats; c++) {
        uint8_t cat = static_cast<uint8_t>(c);
        bool used = false;
        for (size_t i = 0; i < n && !used; i++) used = category_of(layout, i) == cat;
        if (!used) continue;
        if (!add(QV_INSTBAR_ROW_CAT, cat, 0) || !add_group(cat)) return out;
    }
    return out;
}

void quorvane_instbar_initials(const char *name, char *out, size_t cap) {
    if (!out || !cap) return;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(name ? name : "");
    size_t w = 0;
    for (int word = 0; word < 2; word++) {
        while (is_blank(*p)) p++;
        if (!*p) break;
        size_t len = initial_len(p);
        if (len && w + len + 1 <= cap) {
            if (len == 1)
                out[w] = static_cast<char>(std::toupper(*p));
            else
                std::memcpy(out + w, p, len);
            w += len;
        }
        while (*p && !is_blank(*p)) p++;
    }
    if (w == 0 && cap > 1) out[w++] = '?';
    out[w] = '\0';
}

int64_t quorvane_instbar_find_conv(const quorvane_instance_rec *inst, size_t count, const uint8_t conv[16]) {
    if (!inst || !conv) return -1;
    for (size_t i = 0; i < count; i++) {
        if (!inst[i].convs) continue;
        for (size_t k = 0; k < inst[i].conv_count; k++)
            if (same_id(inst[i].convs[k], conv)) return static_cast<int64_t>(i);
    }
    return -1;
}

size_t quorvane_unread_bump(quorvane_unread *entries, size_t count, size_t cap, const uint8_t conv[16], int mention) {
    if (!entries || !conv) return count;
    for (size_t i = 0; i < count; i++) {
        if (!same_id(entries[i].conv, conv)) continue;
        if (entries[i].count < UINT32_MAX) entries[i].count++;  // a wrapped count would read as "nothing unread"
        if (mention) entries[i].mentioned = 1;
        return count;
    }
    if (count >= cap) return count;
    quorvane_unread &e = entries[count];
    std::memcpy(e.conv, conv, ID_LEN);
    e.count = 1;
    e.mentioned = mention ? 1 : 0;
    e.second = 0;
    return count + 1;
}

size_t quorvane_unread_clear(quorvane_unread *entries, size_t count, const uint8_t conv[16]) {
    if (!entries || !conv) return count;
    for (size_t i = 0; i < count; i++) {
        if (!same_id(entries[i].conv, conv)) continue;
        std::memmove(entries + i, entries + i + 1, (count - i - 1) * sizeof *entries);
        return count - 1;
    }
    return count;
}

void quorvane_unread_aggregate(const quorvane_unread *entries, size_t count, const quorvane_instance_rec *inst,
                               size_t inst_count, const uint8_t (*muted)[16], size_t muted_count, uint64_t *totals,
                               uint8_t *mention_marks, uint8_t *second_marks) {
    if (!totals || !mention_marks) return;
    std::fill(totals, totals + inst_count + 1, 0);
    std::fill(mention_marks, mention_marks + inst_count + 1, 0);
    if (second_marks) std::fill(second_marks, second_marks + inst_count + 1, 0);
    if (!entries) return;
    for (size_t i = 0; i < count; i++) {
        const quorvane_unread &e = entries[i];
        int64_t found = quorvane_instbar_find_conv(inst, inst_count, e.conv);
        size_t slot = found < 0 ? 0 : static_cast<size_t>(found) + 1;
        if (found >= 0 && muted &&
            std::any_of(muted, muted + muted_count, [&](const uint8_t *m) { return same_id(m, inst[found].id); }))
            continue;
        totals[slot] += e.count;
        if (e.mentioned) mention_marks[slot] = 1;
        if (e.second && second_marks) second_marks[slot] = 1;
    }
}

int quorvane_unread_type_counts(int type) { return type >= 0 && type <= 16 && (QV_UNREAD_TYPE_MASK >> type & 1u); }

int quorvane_conv_mode_resolve(int mode, int def) {
    if (mode == 1) return 1;
    if (mode == 2) return 0;
    return def != 0;
}

size_t quorvane_instmute_load(const char *path, uint8_t (*ids)[16], size_t cap) {
    if (!path || !ids || !cap) return 0;
    file_ptr f{fopen(path, "re"), fclose};
    if (!f) return 0;
    size_t n = 0;
    char piece[QV_INSTMUTE_LINE_MAX];
    while (n < cap) {
        // a piece ends after a line end or after 63 bytes, whichever comes first
        size_t len = 0;
        for (int c; len < sizeof piece && (c = getc(f.get())) != EOF;) {
            piece[len++] = static_cast<char>(c);
            if (c == '\n') break;
        }
        if (len == 0) break;
        while (len && (piece[len - 1] == '\n' || piece[len - 1] == '\r')) len--;
        if (len == ID_HEX && all_hex(piece, len) && n_hex_decode_to(ids[n], ID_LEN, piece, ID_LEN)) n++;
    }
    return n;
}

// The list is replaced as a whole through a temporary file and a rename, so
// a full disk or a crash mid-write leaves the previous mutes, never a cut list.
int quorvane_instmute_save(const char *path, const uint8_t (*ids)[16], size_t count) {
    if (!path || !*path) return -1;
    if (count == 0) return unlink(path) == 0 || errno == ENOENT ? 0 : -1;
    if (!ids || count > SIZE_MAX / (ID_HEX + 1)) return -1;
    size_t len = count * (ID_HEX + 1);
    std::unique_ptr<char[]> text{new (std::nothrow) char[len + 1]};
    if (!text) return -1;
    for (size_t i = 0; i < count; i++) {
        char *line = text.get() + i * (ID_HEX + 1);
        if (n_hex_encode_to(line, ID_HEX + 1, ids[i], ID_LEN) != ID_HEX) return -1;
        line[ID_HEX] = '\n';
    }
    return n_file_write_atomic(path, text.get(), len, 0) ? 0 : -1;
}

int quorvane_invite_uri_format(const char *host, const char *port, const uint8_t token[16], char *out, size_t cap) {
    if (!host || !port || !token || !out) return -1;
    char hex[ID_HEX + 1];
    if (n_hex_encode_to(hex, sizeof hex, token, ID_LEN) != ID_HEX) return -1;
    int need = std::snprintf(nullptr, 0, INVITE_FMT, host, port, hex);
    if (need < 0 || static_cast<size_t>(need) >= cap) return -1;
    std::snprintf(out, cap, INVITE_FMT, host, port, hex);
    return 0;
}

// Only the token is taken from a link: the join request goes to the server
// the client is signed in to, so a link cannot send it anywhere else.
int quorvane_invite_uri_parse(const char *text, uint8_t token[16]) {
    if (!text || !token) return -1;
    const char *p = text;
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') p++;
    if (const char *join = std::strstr(p, JOIN_MARK)) p = join + sizeof JOIN_MARK - 1;
    for (size_t i = 0; i < ID_HEX; i++)
        if (!is_hex(static_cast<unsigned char>(p[i]))) return -1;  // stops at the terminator too
    for (const char *q = p + ID_HEX; *q; q++)
        if (*q != ' ' && *q != '\t' && *q != '\r' && *q != '\n' && *q != '/') return -1;
    uint8_t got[ID_LEN];
    if (!n_hex_decode_to(got, sizeof got, p, ID_LEN)) return -1;
    std::memcpy(token, got, ID_LEN);
    return 0;
}
