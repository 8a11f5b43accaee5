// Internals shared by the message store's source files: byte helpers,
// wiping buffers, sealed-file primitives and the record helpers each concern
// uses from another. Not for callers outside the store.
#pragma once

#include "client_msgstore.h"
#include "quorvane_crypto.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

// A store file that exists but cannot be used (it does not authenticate, is
// cut short, or is of a version this program does not read) is never
// replaced in place: its path is remembered here when it is read, and the
// next write of that path first keeps the old bytes under an aside name.
struct quorvane_ms_unread {
    quorvane_ms_unread *next;
    char path[];
};

namespace qv_ms {

constexpr size_t   PATH_BUF      = 1024;  // every path the store forms fits well inside
constexpr uint64_t SEAL_COUNTER  = 0;
constexpr unsigned ASIDE_TRIES   = 100;   // same-millisecond asides of one file
constexpr size_t   HEX_ID        = 2 * QV_MS_ID_LEN;
constexpr size_t   HEX_DEVICE    = 2 * QV_MS_DEVICE_LEN;
constexpr size_t   RATCHET_LABEL = MS_LABEL_RATCHET.size() + QV_MS_ID_LEN + QV_MS_DEVICE_LEN;
constexpr size_t   RPREV_LABEL   = MS_LABEL_RPREV.size() + 1 + QV_MS_ID_LEN + QV_MS_DEVICE_LEN;
constexpr size_t   PEER_LABEL    = RATCHET_LABEL > RPREV_LABEL ? RATCHET_LABEL : RPREV_LABEL;
constexpr size_t   RATCHET_PREFIX = 2 + HEX_ID + 1;                 // "r_" conv "_"
constexpr size_t   RATCHET_NAME   = RATCHET_PREFIX + HEX_DEVICE + 4;  // ... device ".dat"

static_assert(PATH_BUF > QV_MS_TMP_PATH_MAX + sizeof ".unread-18446744073709551615-99");
static_assert(QV_MS_PATH_MAX + 1 + sizeof "rp0__.dat" + HEX_ID + HEX_DEVICE + 4 <= QV_MS_TMP_PATH_MAX);

// Heap bytes that are wiped and freed however the scope is left: every
// plaintext and every write buffer of the store lives in one of these.
struct wbuf {
    uint8_t *p = nullptr;
    size_t n = 0;
    wbuf() = default;
    explicit wbuf(size_t len) : p(static_cast<uint8_t *>(malloc(len ? len : 1))), n(len) {}
    wbuf(const wbuf &) = delete;
    wbuf &operator=(const wbuf &) = delete;
    ~wbuf() { reset(); }
    void reset() {
        if (p) quorvane_cleanse(p, n);
        free(p);
        p = nullptr;
        n = 0;
    }
};

inline void put_be16(uint8_t *p, uint16_t v) { p[0] = uint8_t(v >> 8); p[1] = uint8_t(v); }
inline void put_be32(uint8_t *p, uint32_t v) { for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (24 - 8 * i)); }
inline void put_be64(uint8_t *p, uint64_t v) { for (int i = 0; i < 8; i++) p[i] = uint8_t(v >> (56 - 8 * i)); }
inline uint16_t get_be16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }
inline uint32_t get_be32(const uint8_t *p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
inline uint64_t get_be64(const uint8_t *p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; i++) v = v << 8 | p[i];
    return v;
}

/* ---- byte cursors -------------------------------------------------------- */

// Appends into a buffer sized beforehand by the matching size function.
struct writer {
    uint8_t *p;
    void u8(uint8_t v) { *p++ = v; }
    void be16(uint16_t v) { put_be16(p, v), p += 2; }
    void be32(uint32_t v) { put_be32(p, v), p += 4; }
    void be64(uint64_t v) { put_be64(p, v), p += 8; }
    void raw(const void *src, size_t n) {
        if (n) memcpy(p, src, n);
        p += n;
    }
    void text8(const char *s, size_t max) {
        size_t n = strnlen(s, max);
        u8(uint8_t(n));
        raw(s, n);
    }
    void blob16(const uint8_t *b, uint16_t n) {
        be16(n);
        raw(b, n);
    }
};

// Reads inside [p, p + n); every take checks what is left first.
struct reader {
    const uint8_t *p;
    size_t n, pos;
    size_t left() const { return n - pos; }
    const uint8_t *take(size_t k) {
        if (left() < k) return nullptr;
        const uint8_t *at = p + pos;
        pos += k;
        return at;
    }
    bool u8(uint8_t *v) {
        const uint8_t *b = take(1);
        if (b) *v = *b;
        return b != nullptr;
    }
    // length byte, at most max, then the text into a zeroed field of max + 1
    bool text8(char *dst, size_t max) {
        uint8_t len;
        const uint8_t *b;
        if (!u8(&len) || len > max || !(b = take(len))) return false;
        memcpy(dst, b, len);
        dst[len] = '\0';
        return true;
    }
    bool blob16(uint8_t *dst, size_t max, uint16_t *len_out) {
        const uint8_t *h = take(2), *b;
        if (!h) return false;
        uint16_t len = get_be16(h);
        if (len > max || !(b = take(len))) return false;
        if (len) memcpy(dst, b, len);
        *len_out = len;
        return true;
    }
};

inline bool all_zero(const uint8_t *p, size_t n) {
    uint8_t acc = 0;
    for (size_t i = 0; i < n; i++) acc |= p[i];
    return acc == 0;
}

inline bool same_id(const uint8_t *a, const uint8_t *b) { return memcmp(a, b, QV_MS_ID_LEN) == 0; }

struct conv_file {
    char    path[PATH_BUF];
    uint8_t label[MS_LABEL_MSGS.size() + QV_MS_ID_LEN];
    size_t  label_len;
};
static_assert(MS_LABEL_MSGS.size() == MS_LABEL_ARCH.size());

// Keeps the reactions for which keep() holds, in their order.
template <class F> void reactions_keep(quorvane_ms_conv *c, F keep) {
    size_t out = 0;
    for (size_t i = 0; i < c->reaction_count; i++)
        if (keep(c->reactions[i])) c->reactions[out++] = c->reactions[i];
    if (out < c->reaction_count) quorvane_cleanse(c->reactions + out, (c->reaction_count - out) * sizeof(quorvane_ms_reaction));
    c->reaction_count = out;
}

// Room for want records of an array whose records hold secrets or who said
// what: doubled from `first`, never past `most`; not realloc, which would free
// the old block unwiped. false without memory.
template <class T> bool wiped_reserve(T **arr, size_t *alloc, size_t count, size_t want, size_t first, size_t most) {
    if (want <= *alloc) return true;
    size_t cap = *alloc ? *alloc : first;
    while (cap < want) cap *= 2;
    if (cap > most) cap = most;
    if (cap < want) return false;
    auto *grown = static_cast<T *>(calloc(cap, sizeof(T)));
    if (!grown) return false;
    if (*arr) {
        memcpy(grown, *arr, count * sizeof(T));
        quorvane_cleanse(*arr, *alloc * sizeof(T));
        free(*arr);
    }
    *arr = grown;
    *alloc = cap;
    return true;
}

/* ---- shared helpers, by the file that holds them ------------------------ */

// client_msgstore_files.cpp: paths, unusable files, sealed files
uint64_t now_ms();
void     copy_cut(char *dst, size_t max, const char *src);
void     copy_out(char *dst, size_t size, const char *src, size_t len);
int      file_path(const quorvane_msgstore *ms, const char *name, char out[PATH_BUF]);
void     sync_dir(const char *dir);
bool     is_unread(const quorvane_msgstore *ms, const char *path);
void     mark_unread(quorvane_msgstore *ms, const char *path, const char *why);
int      seal_file(const uint8_t key[QV_KEY_LEN], const uint8_t *label, size_t label_len, const uint8_t *pt, size_t n,
                   wbuf *out);  // salt, ciphertext, tag
int      store_write(quorvane_msgstore *ms, const char *path, const uint8_t *label, size_t label_len, const uint8_t *pt,
                     size_t n);
int      store_write(quorvane_msgstore *ms, const char *path, std::string_view label, const uint8_t *pt, size_t n);
bool     read_into(quorvane_msgstore *ms, const char *path, const uint8_t *label, size_t label_len, wbuf *out,
                   bool *no_mem = nullptr);
bool     read_into(quorvane_msgstore *ms, const char *path, std::string_view label, wbuf *out, bool *no_mem = nullptr);
int      store_remove(quorvane_msgstore *ms, const char *path);
bool     remove_gone(quorvane_msgstore *ms, const char *path);  // removed, or nothing was there
void     load_self_profile(quorvane_msgstore *ms);

int      set_aside(const char *path, bool by_rename);
int      atomic_write(const char *path, const uint8_t *data, size_t len, bool keep_old);
void     unmark_unread(quorvane_msgstore *ms, const char *path);

// client_msgstore_behind.cpp: writes behind the lock
// - while a batch's end captures, store_write and store_remove queue their
//   file instead; every other write first lets the queue reach the disk.
enum class behind_kind : uint8_t { other, msgs, unopened, idents, convs, archive };
// A message as the archive names it: author, author device, counter.
using arch_id = std::array<uint8_t, QV_MS_ID_LEN + QV_MS_DEVICE_LEN + 8>;
struct behind_tag {
    behind_kind kind = behind_kind::other;
    uint8_t conv[QV_MS_ID_LEN] = {};
};
bool behind_capturing(const quorvane_msgstore *ms);
void behind_tag_next(quorvane_msgstore *ms, behind_kind kind, const uint8_t *conv);  // what the next queued file is
void behind_arch_keys(quorvane_msgstore *ms, std::vector<arch_id> keys);              // the entries the next archive takes over
bool behind_keys_taken(quorvane_msgstore *ms);                                         // a queued archive took them (and the list is clear)
int  behind_queue(quorvane_msgstore *ms, const char *path, const uint8_t *label, size_t label_len, const uint8_t *pt, size_t n,
                  bool remove, bool keep_old);  // the plaintext is copied; it is sealed when the queue is written
void behind_drain(quorvane_msgstore *ms);   // the queue to disk, then settled; store lock held
void behind_settle(quorvane_msgstore *ms);  // finished jobs: marks back for failures; store lock held
void behind_free(quorvane_msgstore *ms);

// client_msgstore_convs.cpp: conversation records and "convs.dat"
quorvane_ms_conv *find_conv(const quorvane_msgstore *ms, const uint8_t *id);
bool              grow_convs(quorvane_ms_conv **arr, size_t *cap, size_t count);
void              free_members(quorvane_ms_conv *c);
void              drop_msgs(quorvane_ms_conv *c);
void              member_put_head(writer &w, const quorvane_ms_member &m);  // id, keys, role, name
int               merge_old_keys(quorvane_ms_conv *c, const uint8_t (*keys)[32], size_t count);  // how many joined
int               write_convs(quorvane_msgstore *ms);      // in a batch: marked only
int               write_convs_now(quorvane_msgstore *ms, const quorvane_ms_conv *c);  // in a batch: marked files, then the list, unless c is unlisted
int               write_counter_now(quorvane_msgstore *ms);  // in a batch too: every marked file, then the list
int               write_convs_file(quorvane_msgstore *ms);  // whatever batch is open
void              load_conv_list(quorvane_msgstore *ms);

// client_msgstore_msgs.cpp: message files, the archive and trimming
int   conv_file_of(const quorvane_msgstore *ms, const uint8_t *id, bool archive, conv_file *f);
int   conv_file_named(const quorvane_msgstore *ms, const uint8_t *id, char prefix, std::string_view label,
                      conv_file *f);  // prefix "_" conv ".dat" and its label
bool  msgs_reserve(quorvane_ms_conv *c, size_t want);
void  msgs_free(quorvane_ms_conv *c);       // the records' allocation; their texts are the caller's
void  text_arenas_free(quorvane_ms_conv *c);  // wiped; once no message, live or pending, points into them
void  msg_index_drop(quorvane_ms_conv *c);  // after reordering the list other than by the functions here
long  msg_held_at(quorvane_ms_conv *c, const uint8_t *author, const uint8_t *device, uint64_t msg_id);  // first index or -1
bool  msg_held_any(const quorvane_ms_conv *c, const uint8_t *author, uint64_t msg_id);  // from any of the author's devices
long  msg_push_at(quorvane_ms_conv *c, const quorvane_ms_msg &m);  // takes m's text; -1 when the array cannot grow
bool  reaction_push(quorvane_ms_conv *c, const quorvane_ms_reaction &r);
char *text_dup(const char *s, size_t n);
void  msg_free_text(quorvane_ms_msg *m);
void  msg_put_body(writer &w, const quorvane_ms_msg &m);  // id, time, type, edited, text length, text
int   write_conv_msgs(quorvane_msgstore *ms, quorvane_ms_conv *c);  // in a batch: marked only
int   write_marked_msgs(quorvane_msgstore *ms);  // marked archives, message files, then the identity list
int   write_due(quorvane_msgstore *ms);  // marked archives, message files, then "convs.dat"
void  arch_pending_free(quorvane_ms_conv *c);
void  arch_settled(quorvane_ms_conv *c, const std::vector<arch_id> &keys);  // entries now on disk leave the pending list
void  load_history(quorvane_msgstore *ms, quorvane_ms_conv *c);

// client_msgstore_marks.cpp: what deletes, edits and reactions left by target
quorvane_ms_mark *mark_find(quorvane_ms_conv *c, uint8_t kind, const uint8_t *author, uint64_t id, const uint8_t *user,
                            const char *name, size_t name_len);  // user and name for reactions only
quorvane_ms_mark *mark_add(quorvane_ms_conv *c, uint8_t kind, const uint8_t *author, uint64_t id, const uint8_t *user,
                           const char *name, size_t name_len, uint64_t at);  // null without memory
bool   mark_stale(const quorvane_ms_mark *k, uint64_t at);  // a history action at `at` older than the mark's
bool   mark_floored(const quorvane_ms_conv *c, const uint8_t *user, uint64_t at);  // history of user's refused there
void   mark_drop_text(quorvane_ms_mark *k);                 // wiped; an edit mark then waits for nothing
void   marks_on_arrival(quorvane_ms_conv *c, quorvane_ms_msg *m);  // a message new to the list, before it joins
void   marks_free(quorvane_ms_conv *c);
size_t marks_size(const quorvane_ms_conv *c);              // their part of the message file, count included
void   marks_put(writer &w, const quorvane_ms_conv *c);
bool   marks_get(reader &r, quorvane_ms_conv *c);   // the marks, before the floors
bool   floors_get(reader &r, quorvane_ms_conv *c);  // version 10 on

// client_msgstore_unopened.cpp: envelopes that did not open
void load_unopened(quorvane_msgstore *ms, quorvane_ms_conv *c);
int  write_unopened(quorvane_msgstore *ms, quorvane_ms_conv *c);  // whatever batch is open; removes a file left empty
bool remove_unopened(quorvane_msgstore *ms, quorvane_ms_conv *c);  // the file gone and the state cleared
void unopened_free(quorvane_ms_conv *c);

// client_msgstore_keys.cpp: identities
void load_idents(quorvane_msgstore *ms);
int  write_idents(quorvane_msgstore *ms);

}  // namespace qv_ms
