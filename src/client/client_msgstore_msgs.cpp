// Messages, reactions, the archive, trimming and retention: the
// per-conversation message file and archive file.
#include "client_msgstore_internal.h"

#include "n_hex.h"
#include "n_log.h"
#include "quorvane_sidx.h"

#include <cstdio>
#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>

using namespace qv_ms;

namespace qv_ms {

int conv_file_named(const quorvane_msgstore *ms, const uint8_t *id, char prefix, std::string_view label, conv_file *f) {
    char hc[HEX_ID + 1];
    if (label.size() != MS_LABEL_MSGS.size() || n_hex_encode_to(hc, sizeof hc, id, QV_MS_ID_LEN) != HEX_ID) return -1;
    int r = snprintf(f->path, sizeof f->path, "%s/%c_%s.dat", ms->dir, prefix, hc);
    if (r <= 0 || size_t(r) >= sizeof f->path) return -1;
    memcpy(f->label, label.data(), label.size());
    memcpy(f->label + label.size(), id, QV_MS_ID_LEN);
    f->label_len = label.size() + QV_MS_ID_LEN;
    return 0;
}

// "m_" conv ".dat" or "a_" conv ".dat" with its label.
int conv_file_of(const quorvane_msgstore *ms, const uint8_t *id, bool archive, conv_file *f) {
    return archive ? conv_file_named(ms, id, 'a', MS_LABEL_ARCH, f) : conv_file_named(ms, id, 'm', MS_LABEL_MSGS, f);
}

// Message records hold only pointers to their texts, so realloc may move
// them unwiped; the list waiting for the archive grows so.
static bool msg_array_reserve(quorvane_ms_msg **arr, size_t *alloc, size_t want) {
    if (want <= *alloc) return true;
    size_t cap = *alloc ? *alloc : QV_MS_MSGS_FIRST_CAP;
    while (cap < want) cap *= 2;
    auto *grown = static_cast<quorvane_ms_msg *>(realloc(*arr, cap * sizeof(quorvane_ms_msg)));
    if (!grown) return false;
    *arr = grown;
    *alloc = cap;
    return true;
}

/* ---- the live list: layout and lookup -------------------------------------- */

// The live list sits inside its allocation with free records on both sides
// (msg_front before it), so that history, which arrives oldest-last and
// lands at the front, costs no more to add than a live message at the end.

}  // namespace qv_ms

// The keys of the live list (message id, author, device) with how often each
// is held, and how many neighbours stand out of position order: while none
// do, the place of a new message is found by binary search. Kept in step by
// the list's own insert and remove functions; anything else that reorders
// the list drops it, and the next add builds it again.
namespace {

struct msg_key {
    uint64_t id;
    uint8_t  author[QV_MS_ID_LEN];
    uint8_t  device[QV_MS_DEVICE_LEN];
    bool operator==(const msg_key &o) const {
        return id == o.id && memcmp(author, o.author, sizeof author) == 0 && memcmp(device, o.device, sizeof device) == 0;
    }
};

struct msg_key_hash {
    size_t operator()(const msg_key &k) const {
        uint64_t a, d;
        memcpy(&a, k.author, sizeof a);
        memcpy(&d, k.device, sizeof d);
        uint64_t h = (k.id ^ a * 0x9e3779b97f4a7c15ull) * 0xff51afd7ed558ccdull ^ d;
        return size_t(h ^ h >> 29);
    }
};

msg_key key_of(const quorvane_ms_msg &m) {
    msg_key k;
    k.id = m.msg_id;
    memcpy(k.author, m.author, sizeof k.author);
    memcpy(k.device, m.author_device, sizeof k.device);
    return k;
}

// Nodes hold authors and ids: wiped before they go back.
template <class T> struct wiping_alloc {
    using value_type = T;
    wiping_alloc() = default;
    template <class U> wiping_alloc(const wiping_alloc<U> &) {}
    T *allocate(size_t n) {
        void *p = malloc(n * sizeof(T));
        if (!p) throw std::bad_alloc();
        return static_cast<T *>(p);
    }
    void deallocate(T *p, size_t n) {
        quorvane_cleanse(p, n * sizeof(T));
        free(p);
    }
    template <class U> bool operator==(const wiping_alloc<U> &) const { return true; }
};

bool descends(const quorvane_ms_msg &a, const quorvane_ms_msg &b) { return a.position > b.position; }

}  // namespace

struct quorvane_ms_msg_index {
    std::unordered_map<msg_key, uint32_t, msg_key_hash, std::equal_to<msg_key>,
                       wiping_alloc<std::pair<const msg_key, uint32_t>>>
        held;
    size_t descents = 0;  // i with msgs[i].position > msgs[i + 1].position
};

namespace qv_ms {

void msg_index_drop(quorvane_ms_conv *c) {
    delete c->msg_index;
    c->msg_index = nullptr;
}

namespace {

// The index of c, built when missing; null when memory runs out (then the
// callers scan, as they would without it).
quorvane_ms_msg_index *msg_index_of(quorvane_ms_conv *c) {
    if (c->msg_index) return c->msg_index;
    try {
        auto ix = std::make_unique<quorvane_ms_msg_index>();
        ix->held.reserve(c->msg_count);
        for (size_t i = 0; i < c->msg_count; i++) {
            ix->held[key_of(c->msgs[i])]++;
            if (i + 1 < c->msg_count && descends(c->msgs[i], c->msgs[i + 1])) ix->descents++;
        }
        c->msg_index = ix.release();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    return c->msg_index;
}

void index_put(quorvane_ms_conv *c, const quorvane_ms_msg &m) {
    if (!c->msg_index) return;
    try {
        c->msg_index->held[key_of(m)]++;
    } catch (const std::bad_alloc &) {
        msg_index_drop(c);
    }
}

void index_take(quorvane_ms_conv *c, const quorvane_ms_msg &m) {
    if (!c->msg_index) return;
    auto it = c->msg_index->held.find(key_of(m));
    if (it == c->msg_index->held.end()) return msg_index_drop(c);  // out of step: built afresh when next needed
    if (--it->second == 0) c->msg_index->held.erase(it);
}

// Neighbour order around index at, with m standing there (in) or not (out).
void index_order(quorvane_ms_conv *c, size_t at, const quorvane_ms_msg &m, bool in) {
    quorvane_ms_msg_index *ix = c->msg_index;
    if (!ix) return;
    const quorvane_ms_msg *l = c->msgs;
    // in: m goes between at - 1 and at; out: m left from between at - 1 and at
    size_t joined = at > 0 && at < c->msg_count && descends(l[at - 1], l[at]) ? 1 : 0;
    size_t split = (at > 0 && descends(l[at - 1], m) ? 1 : 0) + (at < c->msg_count && descends(m, l[at]) ? 1 : 0);
    if (in) ix->descents = ix->descents - joined + split;
    else ix->descents = ix->descents + joined - split;
}

// The first record is about to leave the list.
void msg_index_forget_front(quorvane_ms_conv *c) {
    if (!c->msg_index) return;
    if (c->msg_count > 1 && descends(c->msgs[0], c->msgs[1])) c->msg_index->descents--;
    index_take(c, c->msgs[0]);
}

size_t back_room(const quorvane_ms_conv *c) { return c->msg_alloc - c->msg_front - c->msg_count; }

// One free record at the front (front) or at the back of the list. The free
// records are shared out again when the other side still has plenty;
// otherwise the allocation doubles.
bool msgs_make_room(quorvane_ms_conv *c, bool front) {
    if (front ? c->msg_front > 0 : back_room(c) > 0) return true;
    quorvane_ms_msg *base = c->msgs ? c->msgs - c->msg_front : nullptr;
    size_t spare = c->msg_alloc - c->msg_count;
    if (spare >= 2 && spare > c->msg_count / 4) {
        size_t at = spare / 2;
        memmove(base + at, c->msgs, c->msg_count * sizeof(quorvane_ms_msg));
        c->msgs = base + at;
        c->msg_front = at;
        return true;
    }
    size_t cap = c->msg_alloc ? c->msg_alloc : QV_MS_MSGS_FIRST_CAP;
    while (cap - c->msg_count < 2 || cap - c->msg_count <= c->msg_count / 4) cap *= 2;
    auto *grown = static_cast<quorvane_ms_msg *>(malloc(cap * sizeof(quorvane_ms_msg)));
    if (!grown) return false;
    size_t at = (cap - c->msg_count) / 2;
    if (c->msg_count) memcpy(grown + at, c->msgs, c->msg_count * sizeof(quorvane_ms_msg));
    free(base);  // records, not texts: nothing to wipe
    c->msgs = grown + at;
    c->msg_front = at;
    c->msg_alloc = cap;
    return true;
}

}  // namespace

// Room for want records from the list's start on.
bool msgs_reserve(quorvane_ms_conv *c, size_t want) {
    if (want <= c->msg_alloc - c->msg_front) return true;
    size_t cap = c->msg_alloc ? c->msg_alloc : QV_MS_MSGS_FIRST_CAP;
    while (cap - c->msg_front < want) cap *= 2;
    quorvane_ms_msg *base = c->msgs ? c->msgs - c->msg_front : nullptr;
    auto *grown = static_cast<quorvane_ms_msg *>(realloc(base, cap * sizeof(quorvane_ms_msg)));
    if (!grown) return false;
    c->msgs = grown + c->msg_front;
    c->msg_alloc = cap;
    return true;
}

}  // namespace qv_ms

// A message file's texts, each with its terminator, in one allocation:
// opening a store then costs one allocation per file, not per message.
// Texts in it are wiped in place when their message goes; the block is
// wiped and freed with the conversation's messages.
struct quorvane_ms_text_arena {
    quorvane_ms_text_arena *next;
    size_t                  len;
    char                    bytes[];
};

namespace qv_ms {

void text_arenas_free(quorvane_ms_conv *c) {
    while (quorvane_ms_text_arena *a = c->text_arenas) {
        c->text_arenas = a->next;
        quorvane_cleanse(a->bytes, a->len);
        free(a);
    }
}

void msgs_free(quorvane_ms_conv *c) {
    msg_index_drop(c);
    free(c->msgs ? c->msgs - c->msg_front : nullptr);
    c->msgs = nullptr;
    c->msg_count = c->msg_alloc = c->msg_front = 0;
}

bool reactions_reserve(quorvane_ms_conv *c, size_t want) {
    return wiped_reserve(&c->reactions, &c->reaction_alloc, c->reaction_count, want, QV_MS_REACTIONS_FIRST_CAP, SIZE_MAX / 2);
}

// An owned, terminated copy of n bytes.
char *text_dup(const char *s, size_t n) {
    auto *t = static_cast<char *>(malloc(n + 1));
    if (!t) return nullptr;
    if (n) memcpy(t, s, n);
    t[n] = '\0';
    return t;
}

// Where a message of this position goes: after the last one whose position
// is not above it (position 0 counts as below everything), or at the end for
// position 0.
size_t insert_index(const quorvane_ms_conv *c, uint64_t position) {
    if (position == 0) return c->msg_count;
    if (c->msg_index && c->msg_index->descents == 0) {
        // in order: right after the last one not above it is the first one above it
        const quorvane_ms_msg *begin = c->msgs, *end = begin + c->msg_count;
        return size_t(std::upper_bound(begin, end, position,
                                       [](uint64_t p, const quorvane_ms_msg &m) { return p < m.position; }) -
                      begin);
    }
    for (size_t i = c->msg_count; i > 0; i--)
        if (c->msgs[i - 1].position <= position) return i;
    return 0;
}

// Takes ownership of m (and its text) on success; -1 when the array cannot grow.
long msg_push_at(quorvane_ms_conv *c, const quorvane_ms_msg &m) {
    size_t at = insert_index(c, m.position);
    // the shorter side moves; when it cannot get room, the other may have it
    bool front = at < c->msg_count - at;
    if (!msgs_make_room(c, front)) {
        front = !front;
        if (front ? c->msg_front == 0 : back_room(c) == 0) return -1;
    }
    index_order(c, at, m, true);
    index_put(c, m);
    if (front) {
        memmove(c->msgs - 1, c->msgs, at * sizeof(quorvane_ms_msg));
        c->msgs--;
        c->msg_front--;
    } else {
        memmove(c->msgs + at + 1, c->msgs + at, (c->msg_count - at) * sizeof(quorvane_ms_msg));
    }
    c->msgs[at] = m;
    c->msg_count++;
    return long(at);
}

// The record at index at, out of the list (its text still its own).
quorvane_ms_msg msg_take_at(quorvane_ms_conv *c, size_t at) {
    quorvane_ms_msg m = c->msgs[at];
    if (at < c->msg_count - 1 - at) {
        memmove(c->msgs + 1, c->msgs, at * sizeof(quorvane_ms_msg));
        c->msgs++;
        c->msg_front++;
    } else {
        memmove(c->msgs + at, c->msgs + at + 1, (c->msg_count - at - 1) * sizeof(quorvane_ms_msg));
    }
    c->msg_count--;
    index_take(c, m);
    index_order(c, at, m, false);
    return m;
}

void msg_remove_at(quorvane_ms_conv *c, size_t at) {
    quorvane_ms_msg m = msg_take_at(c, at);
    msg_free_text(&m);
}

// Whether a message with this id, author and all of this device is held; a
// scan when the index cannot be built.
long msg_held_at(quorvane_ms_conv *c, const uint8_t *author, const uint8_t *device, uint64_t msg_id) {
    quorvane_ms_msg probe{};
    memcpy(probe.author, author, QV_MS_ID_LEN);
    memcpy(probe.author_device, device, QV_MS_DEVICE_LEN);
    probe.msg_id = msg_id;
    const msg_key k = key_of(probe);
    auto is = [&](const quorvane_ms_msg &m) {
        return m.msg_id == msg_id && same_id(m.author, author) && memcmp(m.author_device, device, QV_MS_DEVICE_LEN) == 0;
    };
    uint32_t copies = 0;
    if (quorvane_ms_msg_index *ix = msg_index_of(c)) {
        auto it = ix->held.find(k);
        if (it == ix->held.end()) return -1;
        copies = it->second;
    }
    // one copy: most likely a recent message, so from the end; more: the first
    if (copies == 1) {
        for (size_t i = c->msg_count; i > 0; i--)
            if (is(c->msgs[i - 1])) return long(i - 1);
        msg_index_drop(c);  // out of step
    }
    for (size_t i = 0; i < c->msg_count; i++)
        if (is(c->msgs[i])) return long(i);
    return -1;
}

bool reaction_push(quorvane_ms_conv *c, const quorvane_ms_reaction &r) {
    if (!reactions_reserve(c, c->reaction_count + 1)) return false;
    c->reactions[c->reaction_count++] = r;
    return true;
}

// Id, time, type, edited flag, text length and text: what a message file and
// the history export both write of a message, in that order.
void msg_put_body(writer &w, const quorvane_ms_msg &m) {
    w.be64(m.msg_id);
    w.be64(m.time);
    w.u8(m.type);
    w.u8(m.edited);
    w.be32(uint32_t(m.text_len));
    w.raw(m.text, m.text_len);
}

// The message file as memory holds it, whatever batch is open.
int write_msgs_file(quorvane_msgstore *ms, quorvane_ms_conv *c) {
    conv_file f;
    if (conv_file_of(ms, c->id, false, &f) != 0) return -1;
    size_t size = QV_MS_MSGS_HDR;
    for (size_t i = 0; i < c->msg_count; i++) size += QV_MS_MSG_FIXED + c->msgs[i].text_len;
    for (size_t i = 0; i < c->reaction_count; i++) size += QV_MS_REACTION_FIXED + c->reactions[i].name_len;
    size += marks_size(c) - 4;  // its count is in the header's size
    wbuf pt(size);
    if (!pt.p) return -1;
    writer w{pt.p};
    w.u8(QV_MS_MSGS_VERSION);
    w.be32(uint32_t(c->msg_count));
    for (size_t i = 0; i < c->msg_count; i++) {
        const quorvane_ms_msg &m = c->msgs[i];
        w.raw(m.author, QV_MS_ID_LEN);
        msg_put_body(w, m);
        w.raw(m.author_device, QV_MS_DEVICE_LEN);
        w.u8(m.send_status);
        w.be64(m.position);
    }
    w.be32(uint32_t(c->reaction_count));
    for (size_t i = 0; i < c->reaction_count; i++) {
        const quorvane_ms_reaction &r = c->reactions[i];
        w.raw(r.target_author, QV_MS_ID_LEN);
        w.be64(r.target_id);
        w.raw(r.user_id, QV_MS_ID_LEN);
        w.u8(r.name_len);
        w.raw(r.name, r.name_len);
        w.raw(r.target_device, QV_MS_DEVICE_LEN);
    }
    marks_put(w, c);
    if (size_t(w.p - pt.p) != size) return -1;
    if (store_write(ms, f.path, f.label, f.label_len, pt.p, pt.n) != 0) return -1;
    c->msgs_dirty = 0;
    return 0;
}

void arch_pending_free(quorvane_ms_conv *c) {
    for (size_t i = 0; i < c->arch_pending_count; i++) msg_free_text(&c->arch_pending[i]);
    free(c->arch_pending);
    c->arch_pending = nullptr;
    c->arch_pending_count = c->arch_pending_alloc = 0;
}

// A conversation's message file into its (empty) arrays; a file that is not
// read to its end is remembered so that the next write keeps it aside.
void load_conv_msgs(quorvane_msgstore *ms, quorvane_ms_conv *c) {
    conv_file f;
    wbuf pt;
    if (conv_file_of(ms, c->id, false, &f) != 0 || !read_into(ms, f.path, f.label, f.label_len, &pt)) return;
    int rc = quorvane_ms_msgs_decode(pt.p, pt.n, c);
    if (rc < 0) mark_unread(ms, f.path, "is not a message file this program reads");
    else if (rc > 0) mark_unread(ms, f.path, "stops at an entry this program cannot read");
}

}  // namespace qv_ms

namespace {

/* ---- the archive ----------------------------------------------------------- */

enum class arch_filter { none, keep_after, keep_other, keep_other_anydev };

struct arch_arg {
    uint64_t       cutoff;   // keep_after
    const uint8_t *author;   // keep_other, keep_other_anydev
    const uint8_t *device;   // keep_other
    uint64_t       msg_id;
};

quorvane_sidx_entry arch_entry_of(const quorvane_ms_msg &m) {
    quorvane_sidx_entry e{};
    memcpy(e.author, m.author, QV_MS_ID_LEN);
    memcpy(e.author_device, m.author_device, QV_MS_DEVICE_LEN);
    e.position = m.position;
    e.msg_id = m.msg_id;
    e.time = m.time;
    e.type = m.type;
    e.edited = m.edited;
    e.text = m.text;
    e.text_len = m.text_len;
    return e;
}

arch_id arch_id_of(const quorvane_sidx_entry &e) {
    arch_id k;
    memcpy(k.data(), e.author, QV_MS_ID_LEN);
    memcpy(k.data() + QV_MS_ID_LEN, e.author_device, QV_MS_DEVICE_LEN);
    memcpy(k.data() + QV_MS_ID_LEN + QV_MS_DEVICE_LEN, &e.msg_id, sizeof e.msg_id);
    return k;
}

std::string arch_key(const quorvane_sidx_entry &e) {
    std::string k(reinterpret_cast<const char *>(e.author), QV_MS_ID_LEN);
    k.append(reinterpret_cast<const char *>(e.author_device), QV_MS_DEVICE_LEN);
    k.append(reinterpret_cast<const char *>(&e.msg_id), sizeof e.msg_id);
    return k;
}

bool archivable(const quorvane_ms_msg &m) {
    return m.type != QV_MS_TYPE_SYSTEM && m.type != QV_MS_TYPE_DELETED && m.text_len <= QV_MS_ARCH_TEXT_MAX;
}

bool arch_keep(arch_filter f, const arch_arg &a, const quorvane_sidx_entry &e) {
    switch (f) {
    case arch_filter::none: return true;
    // an entry without a time never expires, as a live message without one does not
    case arch_filter::keep_after: return e.time == 0 || e.time >= a.cutoff;
    case arch_filter::keep_other:
        return !(e.msg_id == a.msg_id && same_id(e.author, a.author) &&
                 memcmp(e.author_device, a.device, QV_MS_DEVICE_LEN) == 0);
    case arch_filter::keep_other_anydev: return !(e.msg_id == a.msg_id && same_id(e.author, a.author));
    }
    return true;
}

// Rewrites the archive: the stored entries the filter keeps, then the new
// ones. When the entry limit or the record size is passed, the oldest go
// first, so that the newest history stays searchable. An archive that does
// not open or decode counts as empty (and is kept aside at this write).
int arch_rebuild(quorvane_msgstore *ms, quorvane_ms_conv *c, arch_filter filter, const arch_arg &arg,
                 const quorvane_sidx_entry *add, size_t add_n) {
    // entries still waiting for a batch's end are filtered as stored ones are
    if (filter != arch_filter::none) {
        size_t out = 0;
        for (size_t i = 0; i < c->arch_pending_count; i++) {
            if (arch_keep(filter, arg, arch_entry_of(c->arch_pending[i]))) c->arch_pending[out++] = c->arch_pending[i];
            else msg_free_text(&c->arch_pending[i]);
        }
        c->arch_pending_count = out;
    }
    conv_file f;
    if (conv_file_of(ms, c->id, true, &f) != 0) return -1;
    wbuf rec;
    bool have = read_into(ms, f.path, f.label, f.label_len, &rec);
    quorvane_sidx_cursor cur{};
    size_t stored = 0;
    if (have && quorvane_sidx_decode(rec.p, rec.n, &cur) == 0) stored = quorvane_sidx_left(&cur);
    else if (have) {
        mark_unread(ms, f.path, "is not an archive this program reads");
        have = false;
    }
    auto *all = static_cast<quorvane_sidx_entry *>(malloc((stored + add_n + 1) * sizeof(quorvane_sidx_entry)));
    if (!all) return -1;
    size_t kept = 0;
    bool changed = add_n > 0 || !have;
    for (size_t i = 0; i < stored; i++) {
        quorvane_sidx_entry e;
        int r = quorvane_sidx_next(&cur, &e);
        if (r != 1) {
            mark_unread(ms, f.path, "stops at an entry this program cannot read");
            changed = true;
            break;
        }
        if (arch_keep(filter, arg, e)) all[kept++] = e;
        else changed = true;
    }
    int rc = 0;
    if (!changed) {
        free(all);
        return 0;
    }
    // an entry already stored is not stored twice: a crash between an
    // archive write and the message file's leaves trimmed messages live, and
    // the next trim offers them again
    if (add_n && kept) {
        std::unordered_set<std::string> stored;
        for (size_t i = 0; i < kept; i++) stored.insert(arch_key(all[i]));
        for (size_t i = 0; i < add_n; i++)
            if (!stored.count(arch_key(add[i]))) all[kept++] = add[i];
    } else {
        if (add_n) memcpy(all + kept, add, add_n * sizeof *add);
        kept += add_n;
    }
    size_t first = kept > QV_MS_ARCH_MAX ? kept - QV_MS_ARCH_MAX : 0;
    size_t text = 0;
    for (size_t i = first; i < kept; i++) text += all[i].text_len;
    while (first < kept && quorvane_sidx_encoded_size(kept - first, text) == 0) text -= all[first++].text_len;
    if (first == kept) {
        // synced as a write is, or a power cut could bring the entries back
        if ((have || is_unread(ms, f.path)) && store_remove(ms, f.path) == 0 && !behind_capturing(ms)) sync_dir(ms->dir);
    } else {
        size_t size = quorvane_sidx_encoded_size(kept - first, text), written = 0;
        wbuf out(size);
        rc = -1;
        if (out.p && quorvane_sidx_encode(c->id, all + first, kept - first, out.p, size, &written) == 0)
            rc = store_write(ms, f.path, f.label, f.label_len, out.p, written);
    }
    free(all);
    return rc;
}

// The first k messages leave the live list with the reactions to them;
// with keep_archivable those the archive takes move to the pending list
// (texts and all), the others are wiped.
void drop_front(quorvane_ms_conv *c, size_t k, bool keep_archivable) {
    const quorvane_ms_msg *gone = c->msgs;
    reactions_keep(c, [&](const quorvane_ms_reaction &r) {
        for (size_t i = 0; i < k; i++)
            if (gone[i].msg_id == r.target_id && same_id(gone[i].author, r.target_author)) return false;
        return true;
    });
    for (size_t i = 0; i < k; i++) {
        msg_index_forget_front(c);
        if (keep_archivable && archivable(c->msgs[0])) c->arch_pending[c->arch_pending_count++] = c->msgs[0];
        else msg_free_text(&c->msgs[0]);
        c->msgs++;
        c->msg_front++;
        c->msg_count--;
    }
}

bool pending_reserve(quorvane_ms_conv *c, size_t want) {
    return msg_array_reserve(&c->arch_pending, &c->arch_pending_alloc, want);
}

// Inside a batch a trim only moves messages in memory; the batch's end
// archives them before it writes the message file that lacks them.
int trim_to_pending(quorvane_ms_conv *c, size_t k) {
    size_t want = c->arch_pending_count;
    for (size_t i = 0; i < k; i++) want += archivable(c->msgs[i]) ? 1 : 0;
    if (!pending_reserve(c, want)) {
        n_log(LOG_ERR, "msgstore: out of memory archiving %zu messages beyond the cap; they stay", k);
        return -1;
    }
    drop_front(c, k, true);
    return 1;
}

// The oldest messages beyond the limit go to the archive (not system
// messages or deletion marks), their reactions go, and their texts are
// wiped. 1 when something was trimmed, 0 when nothing was beyond the limit,
// -1 when the archive could not take them: then nothing is trimmed, since a
// message dropped without its archive entry would be lost, and the next
// successful trim archives them.
int trim_msgs(quorvane_msgstore *ms, quorvane_ms_conv *c, uint64_t limit) {
    if (limit == 0 || c->msg_count <= limit) return 0;
    size_t k = c->msg_count - size_t(limit);
    if (ms->batch_depth) return trim_to_pending(c, k);
    auto *add = static_cast<quorvane_sidx_entry *>(malloc(k * sizeof(quorvane_sidx_entry)));
    size_t add_n = 0;
    for (size_t i = 0; add && i < k; i++)
        if (archivable(c->msgs[i])) add[add_n++] = arch_entry_of(c->msgs[i]);
    if (!add) {
        n_log(LOG_ERR, "msgstore: out of memory archiving %zu messages beyond the cap; they stay", k);
        return -1;
    }
    int rc = add_n ? arch_rebuild(ms, c, arch_filter::none, arch_arg{}, add, add_n) : 0;
    free(add);
    if (rc != 0) {
        n_log(LOG_ERR, "msgstore: %zu messages beyond the cap could not be archived; they stay", k);
        return -1;
    }
    drop_front(c, k, false);
    return 1;
}

// Archives what a batch trimmed. When the archive cannot take it, the
// messages go back to the front of the live list (they were the oldest), so
// the message file written next still carries them: nothing is lost.
int settle_archive(quorvane_msgstore *ms, quorvane_ms_conv *c) {
    if (c->arch_pending_count == 0) return 0;
    size_t n = c->arch_pending_count;
    auto *add = static_cast<quorvane_sidx_entry *>(malloc(n * sizeof(quorvane_sidx_entry)));
    int rc = -1;
    const bool behind = behind_capturing(ms);
    if (add) {
        for (size_t i = 0; i < n; i++) add[i] = arch_entry_of(c->arch_pending[i]);
        if (behind) {
            // the entries stay pending until the archive is on disk: a write
            // that fails leaves them for the next end, not lost
            std::vector<arch_id> keys;
            try {
                keys.reserve(n);
                for (size_t i = 0; i < n; i++) keys.push_back(arch_id_of(add[i]));
            } catch (...) {
                free(add);
                return -1;
            }
            behind_tag_next(ms, behind_kind::archive, c->id);
            behind_arch_keys(ms, std::move(keys));
        }
        rc = arch_rebuild(ms, c, arch_filter::none, arch_arg{}, add, n);
        free(add);
    }
    if (rc == 0) {
        // pending until the queued archive is on disk; with nothing queued
        // (nothing changed) they are where the archive already holds them
        if (!behind || !behind_keys_taken(ms)) arch_pending_free(c);
        return 0;
    }
    if (msgs_reserve(c, c->msg_count + c->arch_pending_count)) {
        memmove(c->msgs + c->arch_pending_count, c->msgs, c->msg_count * sizeof(quorvane_ms_msg));
        memcpy(c->msgs, c->arch_pending, c->arch_pending_count * sizeof(quorvane_ms_msg));
        c->msg_count += c->arch_pending_count;
        msg_index_drop(c);
        c->arch_pending_count = 0;
        c->msgs_dirty = 1;
        n_log(LOG_ERR, "msgstore: %zu messages beyond the cap could not be archived; they stay", n);
    } else {
        n_log(LOG_ERR, "msgstore: %zu messages beyond the cap could not be archived; they wait in memory", n);
    }
    return -1;
}

uint64_t trim_limit(const quorvane_msgstore *ms, const quorvane_ms_conv *c) {
    if (ms->msg_cap == 0) return 0;
    uint64_t limit = ms->msg_cap + c->history_allowance;
    return limit < ms->msg_cap ? UINT64_MAX : limit;
}
}  // namespace

namespace qv_ms {

int write_conv_msgs(quorvane_msgstore *ms, quorvane_ms_conv *c) {
    if (ms->batch_depth) {
        c->msgs_dirty = 1;
        return 0;
    }
    (void)settle_archive(ms, c);  // a failure leaves the messages live, and so in this file
    return write_msgs_file(ms, c);
}

// Archives first, message files and identities next, the list last: a list
// on disk never names a cursor or read position beyond what the files beside
// it hold, nor a member whose first-seen key is not kept.
int write_marked_msgs(quorvane_msgstore *ms) {
    int rc = 0;
    for (size_t i = 0; i < ms->conv_count; i++) {
        quorvane_ms_conv *c = &ms->convs[i];
        if (settle_archive(ms, c) != 0) rc = -1;
        behind_tag_next(ms, behind_kind::msgs, c->id);
        if (c->msgs_dirty && write_msgs_file(ms, c) != 0) rc = -1;
        behind_tag_next(ms, behind_kind::unopened, c->id);
        if (c->unopened_dirty && write_unopened(ms, c) != 0) rc = -1;
    }
    behind_tag_next(ms, behind_kind::idents, nullptr);
    if (ms->idents_dirty && write_idents(ms) != 0) rc = -1;
    return rc;
}

int write_due(quorvane_msgstore *ms) {
    int rc = write_marked_msgs(ms);
    behind_tag_next(ms, behind_kind::convs, nullptr);
    if (rc == 0 && (ms->cursor_dirty || ms->convs_dirty)) rc = write_convs_file(ms);
    return rc;
}

// The pending list keeps its order: the archive took all of it, and since
// then entries were only filtered out or appended, so the survivors of
// those it took come first, in the keys' order, and one walk finds them.
void arch_settled(quorvane_ms_conv *c, const std::vector<arch_id> &keys) {
    if (keys.empty() || c->arch_pending_count == 0) return;
    size_t out = 0, k = 0;
    for (size_t i = 0; i < c->arch_pending_count; i++) {
        const arch_id id = arch_id_of(arch_entry_of(c->arch_pending[i]));
        size_t at = k;
        while (at < keys.size() && keys[at] != id) at++;
        if (at < keys.size()) {
            msg_free_text(&c->arch_pending[i]);
            k = at + 1;
        } else {
            c->arch_pending[out++] = c->arch_pending[i];
            k = keys.size();  // the taken ones come first: all after this one are newer
        }
    }
    c->arch_pending_count = out;
    if (out == 0) arch_pending_free(c);
}

// A conversation's message file, trimmed to the cap as at open; a trimmed
// file is written back. Runs for every record read at open and for every
// record created later: a record may be new to the list while its history is
// still on disk (the list was unusable, cut short, or written without it),
// and a message added to an empty record would replace that file.
void load_history(quorvane_msgstore *ms, quorvane_ms_conv *c) {
    load_conv_msgs(ms, c);
    load_unopened(ms, c);
    if (trim_msgs(ms, c, trim_limit(ms, c)) > 0 && write_conv_msgs(ms, c) != 0)
        n_log(LOG_ERR, "msgstore: trimmed message file could not be written back");
}
}  // namespace qv_ms

/* ---- plaintext decoders -------------------------------------------------- */

int quorvane_ms_msgs_decode(const uint8_t *pt, size_t n, quorvane_ms_conv *c) {
    if (!c || !pt || n < 5 || pt[0] < QV_MS_MSGS_VERSION_MIN || pt[0] > QV_MS_MSGS_VERSION) return -1;
    const int v = pt[0];
    const uint32_t count = get_be32(pt + 1);
    reader r{pt, n, 5};
    msg_index_drop(c);  // the records below are placed directly
    const size_t head = QV_MS_ID_LEN + 8 + 8 + 1 + (v >= 4 ? 1 : 0) + 4;
    // room for every entry the bytes can hold at once, not by doubling
    if (!msgs_reserve(c, count < (n - 5) / head ? count : (n - 5) / head)) return 1;
    // the texts' room: a first pass over the entries as the second reads them
    size_t text_room = 0;
    {
        reader q{pt, n, 5};
        const size_t tail_len = (v >= 5 ? QV_MS_DEVICE_LEN : 0) + (v >= 7 ? 1 : 0) + (v >= 8 ? 8 : 0);
        for (uint32_t i = 0; i < count; i++) {
            const uint8_t *h = q.take(head);
            if (!h) break;
            size_t t = get_be32(h + head - 4);
            if (t > QV_MS_TEXT_MAX || !q.take(t) || (tail_len && !q.take(tail_len))) break;
            text_room += t + 1;
        }
    }
    quorvane_ms_text_arena *arena = nullptr;
    if (text_room) {
        arena = static_cast<quorvane_ms_text_arena *>(malloc(sizeof(quorvane_ms_text_arena) + text_room));
        if (!arena) return 1;
        arena->len = text_room;
        arena->next = c->text_arenas;
        c->text_arenas = arena;
    }
    size_t text_used = 0;
    for (uint32_t i = 0; i < count; i++) {
        const uint8_t *h = r.take(head), *text, *tail = nullptr;
        if (!h) return 1;
        size_t t = get_be32(h + head - 4);
        if (t > QV_MS_TEXT_MAX || !(text = r.take(t))) return 1;
        const size_t tail_len = (v >= 5 ? QV_MS_DEVICE_LEN : 0) + (v >= 7 ? 1 : 0) + (v >= 8 ? 8 : 0);
        if (tail_len && !(tail = r.take(tail_len))) return 1;
        quorvane_ms_msg m{};
        memcpy(m.author, h, QV_MS_ID_LEN);
        m.msg_id = get_be64(h + 16);
        m.time = get_be64(h + 24);
        m.type = h[32];
        if (v >= 4) m.edited = h[33];
        if (v >= 5) memcpy(m.author_device, tail, QV_MS_DEVICE_LEN);
        if (v >= 7) m.send_status = tail[32];
        if (v >= 8) m.position = get_be64(tail + 33);
        if (!msgs_reserve(c, c->msg_count + 1) || !arena || text_used + t + 1 > arena->len) return 1;
        m.text = arena->bytes + text_used;
        if (t) memcpy(m.text, text, t);
        m.text[t] = '\0';
        text_used += t + 1;
        m.text_shared = 1;
        m.text_len = t;
        c->msgs[c->msg_count++] = m;
    }
    if (v < 3) return 0;
    const uint8_t *rc = r.take(4);
    if (!rc) return 1;
    const uint32_t reactions = get_be32(rc);
    for (uint32_t i = 0; i < reactions; i++) {
        const uint8_t *h = r.take(QV_MS_ID_LEN + 8 + QV_MS_ID_LEN + 1), *name, *dev = nullptr;
        if (!h) return 1;
        uint8_t len = h[40];
        if (len == 0 || len > QV_MS_REACTION_NAME_MAX || !(name = r.take(len))) return 1;
        if (v >= 6 && !(dev = r.take(QV_MS_DEVICE_LEN))) return 1;
        quorvane_ms_reaction x{};
        memcpy(x.target_author, h, QV_MS_ID_LEN);
        x.target_id = get_be64(h + 16);
        memcpy(x.user_id, h + 24, QV_MS_ID_LEN);
        x.name_len = len;
        memcpy(x.name, name, len);
        if (dev) memcpy(x.target_device, dev, QV_MS_DEVICE_LEN);
        if (!reaction_push(c, x)) return 1;
    }
    if (v >= 9 && !marks_get(r, c)) return 1;
    if (v >= 10 && !floors_get(r, c)) return 1;
    return 0;
}

/* ---- messages ------------------------------------------------------------ */

namespace {

void fill_rec(const quorvane_ms_conv *c, const quorvane_ms_msg &m, quorvane_ms_msgrec *out) {
    memset(out, 0, sizeof *out);
    memcpy(out->conv_id, c->id, QV_MS_ID_LEN);
    memcpy(out->author, m.author, QV_MS_ID_LEN);
    memcpy(out->author_device, m.author_device, QV_MS_DEVICE_LEN);
    out->msg_id = m.msg_id;
    out->time = m.time;
    out->position = m.position;
    out->type = m.type;
    out->edited = m.edited;
    out->send_status = m.send_status;
    if (m.text_len) memcpy(out->text, m.text, m.text_len);
    out->text_len = m.text_len;
}

// The first message with this id and author whose device matches when a
// non-zero device is given; -1 when none.
long find_msg_index(const quorvane_ms_conv *c, const uint8_t *author, const uint8_t *device, uint64_t msg_id) {
    bool any = !device || all_zero(device, QV_MS_DEVICE_LEN);
    for (size_t i = 0; i < c->msg_count; i++) {
        const quorvane_ms_msg &m = c->msgs[i];
        if (m.msg_id == msg_id && same_id(m.author, author) &&
            (any || memcmp(m.author_device, device, QV_MS_DEVICE_LEN) == 0))
            return long(i);
    }
    return -1;
}

}  // namespace

namespace qv_ms {

bool msg_held_any(const quorvane_ms_conv *c, const uint8_t *author, uint64_t msg_id) {
    return find_msg_index(c, author, nullptr, msg_id) >= 0;
}

}  // namespace qv_ms

namespace {

int add_msg_inner(quorvane_msgstore *ms, const quorvane_ms_msgrec *rec, bool history) {
    if (!ms || !rec || rec->text_len > QV_MS_TEXT_MAX) return -1;
    quorvane_ms_conv *c = find_conv(ms, rec->conv_id);
    if (!c) return -1;
    if (long i = msg_held_at(c, rec->author, rec->author_device, rec->msg_id); i >= 0) {
        if (c->msgs[i].position || rec->position == 0) return 0;
        // the server's copy of a message sent before its position was known
        quorvane_ms_msg moved = msg_take_at(c, size_t(i));
        moved.position = rec->position;
        (void)msg_push_at(c, moved);  // the array has room: one was just taken out
        c->revision++;
        return write_conv_msgs(ms, c) == 0 ? 0 : -1;
    }
    // older than a mark of its author's that had to go: it may be one deleted
    if (history && mark_floored(c, rec->author, rec->position ? rec->position : QV_MS_MARK_LIVE - 1)) return 0;
    quorvane_ms_msg m{};
    memcpy(m.author, rec->author, QV_MS_ID_LEN);
    memcpy(m.author_device, rec->author_device, QV_MS_DEVICE_LEN);
    m.msg_id = rec->msg_id;
    m.time = rec->time;
    m.position = rec->position;
    m.type = rec->type;
    m.edited = rec->edited;
    m.send_status = rec->send_status;
    m.text_len = size_t(rec->text_len);
    if (!(m.text = text_dup(rec->text, m.text_len))) return -1;
    marks_on_arrival(c, &m);
    long at = msg_push_at(c, m);
    if (at < 0) {
        msg_free_text(&m);
        return -1;
    }
    const auto allowance = c->history_allowance;
    if ((history || c->history_allowance > 0) && c->history_allowance < QV_MS_HISTORY_ALLOWANCE_MAX) c->history_allowance++;
    int trimmed = trim_msgs(ms, c, trim_limit(ms, c));
    if (trimmed < 0 || write_conv_msgs(ms, c) != 0) {
        // after a trim the new message may itself have gone to the archive
        if (trimmed <= 0) {
            msg_remove_at(c, size_t(at));
            c->history_allowance = allowance;
        }
        return -1;
    }
    c->revision++;
    if (c->hidden) {
        c->hidden = 0;
        if (write_convs(ms) != 0) n_log(LOG_ERR, "msgstore: a conversation shown again could not be noted");
    }
    return 1;
}

// Drops the messages for which gone() holds with the reactions to them;
// returns how many went.
template <class F> size_t drop_msgs_if(quorvane_ms_conv *c, F gone) {
    size_t out = 0, dropped = 0;
    for (size_t i = 0; i < c->msg_count; i++) {
        if (!gone(c->msgs[i])) {
            c->msgs[out++] = c->msgs[i];
            continue;
        }
        const quorvane_ms_msg &m = c->msgs[i];
        reactions_keep(c, [&](const quorvane_ms_reaction &r) {
            return !(r.target_id == m.msg_id && same_id(r.target_author, m.author));
        });
        msg_free_text(&c->msgs[i]);
        dropped++;
    }
    c->msg_count = out;
    if (dropped) msg_index_drop(c);
    return dropped;
}

}  // namespace

int quorvane_msgstore_add_msg(quorvane_msgstore *ms, const quorvane_ms_msgrec *rec) { return add_msg_inner(ms, rec, false); }

int quorvane_msgstore_add_history(quorvane_msgstore *ms, const quorvane_ms_msgrec *rec) { return add_msg_inner(ms, rec, true); }

size_t quorvane_msgstore_msg_count(const quorvane_msgstore *ms, const uint8_t id[16]) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    return c ? c->msg_count : 0;
}

int quorvane_msgstore_msg_at(const quorvane_msgstore *ms, const uint8_t id[16], size_t index, quorvane_ms_msgrec *out) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    if (!c || !out || index >= c->msg_count) return -1;
    fill_rec(c, c->msgs[index], out);
    return 0;
}

int quorvane_msgstore_find_msg(const quorvane_msgstore *ms, const uint8_t id[16], const uint8_t author[16], uint64_t msg_id,
                               quorvane_ms_msgrec *out) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    if (!c || !author || !out) return -1;
    long at = find_msg_index(c, author, nullptr, msg_id);
    if (at < 0) return -1;
    fill_rec(c, c->msgs[at], out);
    return 0;
}

uint64_t quorvane_msgstore_oldest_cursor(const quorvane_msgstore *ms, const uint8_t id[16]) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    for (size_t i = 0; c && i < c->msg_count; i++)
        if (c->msgs[i].position) return c->msgs[i].position;
    return 0;
}

uint64_t quorvane_msgstore_history_floor(const quorvane_msgstore *ms, const uint8_t id[16]) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    return c ? c->history_floor : 0;
}

int quorvane_msgstore_set_send_status(quorvane_msgstore *ms, const uint8_t id[16], const uint8_t author[16], uint64_t msg_id,
                                      int status) {
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c || !author || status < 1 || status > 3) return -1;
    for (size_t i = 0; i < c->msg_count; i++) {
        quorvane_ms_msg &m = c->msgs[i];
        if (m.msg_id != msg_id || !same_id(m.author, author) || m.send_status == 0) continue;
        if (m.send_status == status) return 0;
        m.send_status = uint8_t(status);
        c->revision++;  // the change stays in memory even when the write fails
        return write_conv_msgs(ms, c) == 0 ? 1 : -1;
    }
    return 0;
}

int quorvane_msgstore_delete_msg(quorvane_msgstore *ms, const uint8_t id[16], const uint8_t author[16],
                                 const uint8_t device[32], uint64_t msg_id) {
    return quorvane_msgstore_delete_msg_at(ms, id, author, device, msg_id, QV_MS_MARK_LIVE);
}

// A delete is never undone, so any delete acts, however old: one seen again
// changes nothing. Its mark makes the message arrive deleted, and takes the
// text an edit kept for it.
int quorvane_msgstore_delete_msg_at(quorvane_msgstore *ms, const uint8_t id[16], const uint8_t author[16],
                                    const uint8_t device[32], uint64_t msg_id, uint64_t at) {
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c || !author) return -1;
    bool marked = false;
    if (!mark_find(c, QV_MS_MARK_DELETE, author, msg_id, nullptr, nullptr, 0)) {
        if (!mark_add(c, QV_MS_MARK_DELETE, author, msg_id, nullptr, nullptr, 0, at)) return -1;
        marked = true;
    }
    if (quorvane_ms_mark *e = mark_find(c, QV_MS_MARK_EDIT, author, msg_id, nullptr, nullptr, 0); e && e->flag) {
        mark_drop_text(e);
        marked = true;
    }
    bool anydev = !device || all_zero(device, QV_MS_DEVICE_LEN);
    arch_arg arg{0, author, device, msg_id};
    if (arch_rebuild(ms, c, anydev ? arch_filter::keep_other_anydev : arch_filter::keep_other, arg, nullptr, 0) != 0)
        n_log(LOG_ERR, "msgstore: a deleted message could not be taken out of the archive");
    long i = find_msg_index(c, author, device, msg_id);
    if (i < 0 || c->msgs[i].type == QV_MS_TYPE_DELETED) return marked && write_conv_msgs(ms, c) != 0 ? -1 : 0;
    msg_free_text(&c->msgs[i]);
    c->msgs[i].type = QV_MS_TYPE_DELETED;
    c->msgs[i].edited = 0;  // as one that arrives after its delete: nothing of the text is left
    c->revision++;
    return write_conv_msgs(ms, c) == 0 ? 1 : -1;
}

int quorvane_msgstore_edit_msg(quorvane_msgstore *ms, const uint8_t id[16], const uint8_t author[16],
                               const uint8_t device[32], uint64_t msg_id, const char *text, size_t len) {
    return quorvane_msgstore_edit_msg_at(ms, id, author, device, msg_id, text, len, QV_MS_MARK_LIVE);
}

int quorvane_msgstore_edit_msg_at(quorvane_msgstore *ms, const uint8_t id[16], const uint8_t author[16],
                                  const uint8_t device[32], uint64_t msg_id, const char *text, size_t len, uint64_t at) {
    if (!author || len > QV_MS_TEXT_MAX || (len && !text)) return -1;
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c) return -1;
    // a deleted message takes no edit, held or not, nor keeps one for later
    if (mark_floored(c, author, at) || mark_find(c, QV_MS_MARK_DELETE, author, msg_id, nullptr, nullptr, 0)) return 0;
    quorvane_ms_mark *k = mark_find(c, QV_MS_MARK_EDIT, author, msg_id, nullptr, nullptr, 0);
    if (mark_stale(k, at)) return 0;
    const long i = find_msg_index(c, author, device, msg_id);
    // a history edit of a message held without a mark is one its text already shows
    if (i >= 0 && (c->msgs[i].type != QV_MS_TYPE_TEXT || (!k && at != QV_MS_MARK_LIVE))) return 0;
    char *copy = text_dup(text, len);
    if (!copy) return -1;
    if (!k && i < 0 && !(k = mark_add(c, QV_MS_MARK_EDIT, author, msg_id, nullptr, nullptr, 0, at))) {
        quorvane_cleanse(copy, len + 1);
        free(copy);
        return -1;
    }
    if (k) {
        mark_drop_text(k);
        k->position = at;
    }
    if (i < 0) {
        // kept for the message, which arrives with this text
        k->text = copy;
        k->text_len = len;
        k->flag = 1;
        return write_conv_msgs(ms, c) == 0 ? 0 : -1;
    }
    quorvane_ms_msg &m = c->msgs[i];
    msg_free_text(&m);
    m.text = copy;
    m.text_len = len;
    m.edited = 1;
    c->revision++;
    return write_conv_msgs(ms, c) == 0 ? 1 : -1;
}

int quorvane_msgstore_set_reaction(quorvane_msgstore *ms, const uint8_t id[16], const uint8_t target_author[16],
                                   const uint8_t target_device[32], uint64_t target_id, const uint8_t user[16],
                                   const char *name, int add) {
    return quorvane_msgstore_set_reaction_at(ms, id, target_author, target_device, target_id, user, name, add,
                                             QV_MS_MARK_LIVE);
}

int quorvane_msgstore_set_reaction_at(quorvane_msgstore *ms, const uint8_t id[16], const uint8_t target_author[16],
                                      const uint8_t target_device[32], uint64_t target_id, const uint8_t user[16],
                                      const char *name, int add, uint64_t at) {
    if (!target_author || !user || !name) return -1;
    size_t len = strnlen(name, QV_MS_REACTION_NAME_MAX + 1);
    if (len == 0 || len > QV_MS_REACTION_NAME_MAX) return -1;
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c) return -1;
    if (mark_floored(c, user, at)) return 0;
    quorvane_ms_mark *k = mark_find(c, QV_MS_MARK_REACTION, target_author, target_id, user, name, len);
    if (mark_stale(k, at)) return 0;
    const bool held = find_msg_index(c, target_author, nullptr, target_id) >= 0;
    // a history reaction to a message held without a mark is one its state already shows
    if (!k && held && at != QV_MS_MARK_LIVE) return 0;
    bool marked = false;
    if (k || !held) {
        marked = !k || k->position != at || k->flag != (add ? 1 : 0);
        if (!k && !(k = mark_add(c, QV_MS_MARK_REACTION, target_author, target_id, user, name, len, at))) return -1;
        k->position = at;
        k->flag = add ? 1 : 0;
    }
    uint8_t dev[QV_MS_DEVICE_LEN] = {};
    if (target_device) memcpy(dev, target_device, sizeof dev);
    long found = -1;
    for (size_t i = 0; i < c->reaction_count && found < 0; i++) {
        const quorvane_ms_reaction &r = c->reactions[i];
        if (r.target_id == target_id && same_id(r.target_author, target_author) && memcmp(r.target_device, dev, sizeof dev) == 0 &&
            same_id(r.user_id, user) && r.name_len == len && memcmp(r.name, name, len) == 0)
            found = long(i);
    }
    if (found >= 0 && !add) {
        c->reactions[found] = c->reactions[c->reaction_count - 1];
        c->reaction_count--;
        quorvane_cleanse(&c->reactions[c->reaction_count], sizeof(quorvane_ms_reaction));
    } else if (found < 0 && add) {
        quorvane_ms_reaction r{};
        memcpy(r.target_author, target_author, QV_MS_ID_LEN);
        memcpy(r.target_device, dev, sizeof dev);
        r.target_id = target_id;
        memcpy(r.user_id, user, QV_MS_ID_LEN);
        r.name_len = uint8_t(len);
        memcpy(r.name, name, len);
        if (!reaction_push(c, r)) return -1;
    } else {
        return marked ? write_conv_msgs(ms, c) : 0;
    }
    c->revision++;
    return write_conv_msgs(ms, c);
}

size_t quorvane_msgstore_reactions(const quorvane_msgstore *ms, const uint8_t id[16], const uint8_t target_author[16],
                                   const uint8_t target_device[32], uint64_t target_id, const uint8_t own[16],
                                   quorvane_ms_reaction_count *out, size_t cap) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    if (!c || !target_author || !out) return 0;
    bool have_dev = target_device && !all_zero(target_device, QV_MS_DEVICE_LEN);
    size_t used = 0;
    for (size_t i = 0; i < c->reaction_count; i++) {
        const quorvane_ms_reaction &r = c->reactions[i];
        if (r.target_id != target_id || !same_id(r.target_author, target_author)) continue;
        if (!all_zero(r.target_device, QV_MS_DEVICE_LEN) &&
            !(have_dev && memcmp(r.target_device, target_device, QV_MS_DEVICE_LEN) == 0))
            continue;
        size_t k = 0;
        while (k < used && !(strlen(out[k].name) == r.name_len && memcmp(out[k].name, r.name, r.name_len) == 0)) k++;
        if (k == used) {
            if (used == cap) continue;  // full: known names keep counting, new ones are skipped
            memset(&out[k], 0, sizeof out[k]);
            memcpy(out[k].name, r.name, r.name_len);
            used++;
        }
        out[k].count++;
        if (own && same_id(r.user_id, own)) out[k].mine = 1;
    }
    return used;
}

size_t quorvane_msgstore_set_msg_cap(quorvane_msgstore *ms, uint64_t cap) {
    if (!ms) return 0;
    ms->msg_cap = cap;
    size_t trimmed = 0;
    for (size_t i = 0; i < ms->conv_count; i++) {
        quorvane_ms_conv *c = &ms->convs[i];
        c->history_allowance = 0;
        if (trim_msgs(ms, c, cap) <= 0) continue;
        if (write_conv_msgs(ms, c) != 0) n_log(LOG_ERR, "msgstore: a trimmed message file could not be written");
        c->revision++;
        trimmed++;
    }
    return trimmed;
}

size_t quorvane_msgstore_enforce_retention(quorvane_msgstore *ms, uint64_t now_ms) {
    if (!ms) return 0;
    size_t removed = 0;
    for (size_t i = 0; i < ms->conv_count; i++) {
        quorvane_ms_conv *c = &ms->convs[i];
        uint64_t span = uint64_t(c->retention_days) * QV_MS_DAY_MS;
        if (c->retention_days == 0 || span >= now_ms) continue;
        const uint64_t cutoff = now_ms - span;
        arch_arg arg{cutoff, nullptr, nullptr, 0};
        if (arch_rebuild(ms, c, arch_filter::keep_after, arg, nullptr, 0) != 0)
            n_log(LOG_ERR, "msgstore: expired archive entries could not be removed");
        size_t n = drop_msgs_if(c, [&](const quorvane_ms_msg &m) { return m.time != 0 && m.time < cutoff; });
        if (n == 0) continue;
        if (write_conv_msgs(ms, c) != 0) n_log(LOG_ERR, "msgstore: a message file could not be written after expiry");
        c->revision++;
        removed += n;
    }
    return removed;
}

size_t quorvane_msgstore_archive_scan(quorvane_msgstore *ms, const uint8_t id[16], quorvane_ms_scan_cb cb, void *user) {
    if (!ms || !id) return 0;
    conv_file f;
    wbuf rec;
    quorvane_sidx_cursor cur;
    if (conv_file_of(ms, id, true, &f) != 0) return 0;
    bool disk = read_into(ms, f.path, f.label, f.label_len, &rec);
    if (disk && quorvane_sidx_decode(rec.p, rec.n, &cur) != 0) {
        mark_unread(ms, f.path, "is not an archive this program reads");
        disk = false;
    }
    const quorvane_ms_conv *c = find_conv(ms, id);
    const size_t pending = c ? c->arch_pending_count : 0;
    if (!disk && !pending) return 0;
    auto *out = static_cast<quorvane_ms_msgrec *>(malloc(sizeof(quorvane_ms_msgrec)));
    if (!out) return 0;
    size_t n = 0;
    auto emit = [&](const quorvane_sidx_entry &e) {
        memset(out, 0, sizeof *out);
        memcpy(out->conv_id, id, QV_MS_ID_LEN);
        memcpy(out->author, e.author, QV_MS_ID_LEN);
        memcpy(out->author_device, e.author_device, QV_MS_DEVICE_LEN);
        out->msg_id = e.msg_id;
        out->time = e.time;
        out->position = e.position;
        out->type = e.type;
        out->edited = e.edited;
        out->text_len = e.text_len > QV_MS_TEXT_MAX ? QV_MS_TEXT_MAX : e.text_len;
        if (out->text_len) memcpy(out->text, e.text, size_t(out->text_len));
        if (cb) cb(user, out);
        n++;
    };
    quorvane_sidx_entry e;
    int r = 0;
    while (disk && (r = quorvane_sidx_next(&cur, &e)) == 1) emit(e);
    // then what a batch trimmed and has yet to store
    for (size_t p = 0; p < pending; p++) emit(arch_entry_of(c->arch_pending[p]));
    if (r < 0) mark_unread(ms, f.path, "stops at an entry this program cannot read");
    quorvane_cleanse(out, sizeof *out);
    free(out);
    return n;
}

int quorvane_msgstore_archive_clear(quorvane_msgstore *ms, const uint8_t id[16]) {
    if (!ms || !id) return -1;
    conv_file f;
    if (conv_file_of(ms, id, true, &f) != 0) return -1;
    if (quorvane_ms_conv *c = find_conv(ms, id)) arch_pending_free(c);
    if (store_remove(ms, f.path) == 0) sync_dir(ms->dir);
    return 0;
}

void quorvane_msgstore_batch_begin(quorvane_msgstore *ms) {
    if (ms) ms->batch_depth++;
}

// Held-back messages and archives must reach the disk; the list after them
// may lag (its cursors then stay behind the messages, which is safe).
int quorvane_msgstore_write_pending(quorvane_msgstore *ms) {
    if (!ms) return -1;
    const int rc = write_marked_msgs(ms);
    if (rc == 0 && (ms->cursor_dirty || ms->convs_dirty) && write_convs_file(ms) != 0)
        n_log(LOG_WARNING, "msgstore: the conversation list could not be written; its cursors stay behind");
    return rc;
}

int quorvane_msgstore_batch_end(quorvane_msgstore *ms) {
    if (!ms) return -1;
    if (ms->batch_depth > 1) {
        ms->batch_depth--;
        return 0;
    }
    ms->batch_depth = 0;
    return write_due(ms);
}
