// What deletes, edits and reactions leave behind, by their target: history
// pages come newest first, so the first action seen for a target is its
// newest, and a message arrives after everything done to it. A mark keeps
// where the newest applied action stands, so that an older one changes
// nothing, and for a message not held yet, whether it was deleted and its
// newest text, so that it arrives as those actions left it.
#include "client_msgstore_internal.h"

#include <algorithm>
#include <vector>

using namespace qv_ms;

namespace {

bool same_key(const quorvane_ms_mark &k, uint8_t kind, const uint8_t *author, uint64_t id, const uint8_t *user,
              const char *name, size_t name_len) {
    if (k.kind != kind || k.target_id != id || !same_id(k.target_author, author)) return false;
    return kind != QV_MS_MARK_REACTION ||
           (same_id(k.user_id, user) && k.name_len == name_len && memcmp(k.name, name, name_len) == 0);
}

// Its message is held: nothing an older action could bring is shown anymore.
bool settled(const quorvane_ms_mark &k) { return k.held; }

// Whom a waiting mark counts against: the one who acted. A delete or an edit
// is its message's author's (or an admin's acting for it).
const uint8_t *mark_owner(const quorvane_ms_mark &k) { return k.kind == QV_MS_MARK_REACTION ? k.user_id : k.target_author; }

void mark_wipe(quorvane_ms_mark *k) {
    mark_drop_text(k);
    quorvane_cleanse(k, sizeof *k);
}

void mark_remove_at(quorvane_ms_conv *c, size_t at) {
    mark_wipe(&c->marks[at]);
    memmove(c->marks + at, c->marks + at + 1, (c->mark_count - at - 1) * sizeof(quorvane_ms_mark));
    c->mark_count--;
    quorvane_cleanse(&c->marks[c->mark_count], sizeof(quorvane_ms_mark));
}

bool marks_reserve(quorvane_ms_conv *c, size_t want) {
    return wiped_reserve(&c->marks, &c->mark_alloc, c->mark_count, want, 8, QV_MS_MARKS_ALL_MAX);
}

const uint8_t kEveryone[QV_MS_ID_LEN] = {};

// History of `user` older than `position` is refused from now on.
bool floor_raise(quorvane_ms_conv *c, const uint8_t *user, uint64_t position) {
    for (size_t i = 0; i < c->floor_count; i++)
        if (same_id(c->floors[i].user_id, user)) {
            if (position > c->floors[i].position) c->floors[i].position = position;
            return true;
        }
    if (!c->floors) {
        c->floors = static_cast<quorvane_ms_floor *>(calloc(QV_MS_FLOORS_MAX, sizeof(quorvane_ms_floor)));
        if (!c->floors) return false;
    }
    // too many have one: the last slot holds for everyone
    if (c->floor_count == QV_MS_FLOORS_MAX - 1 && !same_id(user, kEveryone)) return floor_raise(c, kEveryone, position);
    if (c->floor_count == QV_MS_FLOORS_MAX) return false;
    quorvane_ms_floor &f = c->floors[c->floor_count++];
    memcpy(f.user_id, user, QV_MS_ID_LEN);
    f.position = position;
    return true;
}

// A waiting mark goes: its message, or an older action of its owner, may
// still come from history, and must not show.
void waiting_drop(quorvane_ms_conv *c, size_t at) {
    const quorvane_ms_mark &k = c->marks[at];
    // a floor that cannot be noted holds for everyone
    if (!floor_raise(c, mark_owner(k), k.position)) (void)floor_raise(c, kEveryone, k.position);
    mark_remove_at(c, at);
}

// The oldest waiting mark of `owner` (any owner when null) and how many it has.
size_t waiting_of(const quorvane_ms_conv *c, const uint8_t *owner, size_t *oldest) {
    size_t n = 0;
    *oldest = c->mark_count;
    for (size_t i = 0; i < c->mark_count; i++) {
        const quorvane_ms_mark &k = c->marks[i];
        if (settled(k) || (owner && !same_id(mark_owner(k), owner))) continue;
        if (n++ == 0) *oldest = i;
    }
    return n;
}

// Room for one more mark of `owner`, waiting or settled.
void make_room(quorvane_ms_conv *c, const uint8_t *owner, bool waiting) {
    size_t oldest = 0;
    const size_t waiting_all = waiting_of(c, nullptr, &oldest);
    if (!waiting) {
        if (c->mark_count - waiting_all < QV_MS_MARKS_MAX) return;
        for (size_t i = 0; i < c->mark_count; i++)
            if (settled(c->marks[i])) return mark_remove_at(c, i);
        return;
    }
    if (waiting_of(c, owner, &oldest) >= QV_MS_MARKS_SENDER_MAX) return waiting_drop(c, oldest);
    if (waiting_all < QV_MS_MARKS_WAITING_MAX) return;
    // the conversation's share is full: the one holding the most gives way
    struct owner_count {
        const uint8_t *owner;
        size_t n, first;
    };
    std::vector<owner_count> owners;
    size_t at = c->mark_count, most = 0;
    for (size_t i = 0; i < c->mark_count; i++) {
        if (settled(c->marks[i])) continue;
        const uint8_t *o = mark_owner(c->marks[i]);
        auto it = std::find_if(owners.begin(), owners.end(), [&](const owner_count &x) { return same_id(x.owner, o); });
        if (it == owners.end()) it = owners.insert(owners.end(), owner_count{o, 0, i});
        if (++it->n > most) {
            most = it->n;
            at = it->first;
        }
    }
    if (at < c->mark_count) waiting_drop(c, at);
}

}  // namespace

namespace qv_ms {

void mark_drop_text(quorvane_ms_mark *k) {
    if (k->text) {
        quorvane_cleanse(k->text, k->text_len + 1);
        free(k->text);
    }
    k->text = nullptr;
    k->text_len = 0;
    if (k->kind == QV_MS_MARK_EDIT) k->flag = 0;
}

void marks_free(quorvane_ms_conv *c) {
    for (size_t i = 0; i < c->mark_count; i++) mark_wipe(&c->marks[i]);
    if (c->marks) quorvane_cleanse(c->marks, c->mark_alloc * sizeof(quorvane_ms_mark));
    free(c->marks);
    c->marks = nullptr;
    c->mark_count = c->mark_alloc = 0;
    free(c->floors);
    c->floors = nullptr;
    c->floor_count = 0;
}

quorvane_ms_mark *mark_find(quorvane_ms_conv *c, uint8_t kind, const uint8_t *author, uint64_t id, const uint8_t *user,
                            const char *name, size_t name_len) {
    for (size_t i = 0; i < c->mark_count; i++)
        if (same_key(c->marks[i], kind, author, id, user, name, name_len)) return &c->marks[i];
    return nullptr;
}

// A new mark at the end, room made as make_room says. Null when memory runs out.
quorvane_ms_mark *mark_add(quorvane_ms_conv *c, uint8_t kind, const uint8_t *author, uint64_t id, const uint8_t *user,
                           const char *name, size_t name_len, uint64_t at) {
    const bool held = msg_held_any(c, author, id);
    make_room(c, kind == QV_MS_MARK_REACTION ? user : author, !held);
    if (!marks_reserve(c, c->mark_count + 1)) return nullptr;
    quorvane_ms_mark &k = c->marks[c->mark_count++];
    memset(&k, 0, sizeof k);
    k.kind = kind;
    memcpy(k.target_author, author, QV_MS_ID_LEN);
    k.target_id = id;
    k.position = at;
    k.held = held ? 1 : 0;
    if (kind == QV_MS_MARK_REACTION) {
        memcpy(k.user_id, user, QV_MS_ID_LEN);
        k.name_len = uint8_t(name_len);
        memcpy(k.name, name, name_len);
    }
    return &k;
}

bool mark_floored(const quorvane_ms_conv *c, const uint8_t *user, uint64_t at) {
    if (at == QV_MS_MARK_LIVE) return false;
    for (size_t i = 0; i < c->floor_count; i++) {
        const quorvane_ms_floor &f = c->floors[i];
        if ((same_id(f.user_id, user) || same_id(f.user_id, kEveryone)) && at < f.position) return true;
    }
    return false;
}

bool mark_stale(const quorvane_ms_mark *k, uint64_t at) {
    return at != QV_MS_MARK_LIVE && k && (k->position == QV_MS_MARK_LIVE || k->position >= at);
}

// A message new to the list, before it joins it: deleted when a delete
// waits for it, else given the newest text an edit left for it.
void marks_on_arrival(quorvane_ms_conv *c, quorvane_ms_msg *m) {
    if (c->mark_count == 0) return;
    for (size_t i = 0; i < c->mark_count; i++) {
        quorvane_ms_mark &k = c->marks[i];
        if (k.target_id == m->msg_id && same_id(k.target_author, m->author)) k.held = 1;
    }
    if (mark_find(c, QV_MS_MARK_DELETE, m->author, m->msg_id, nullptr, nullptr, 0)) {
        msg_free_text(m);
        m->type = QV_MS_TYPE_DELETED;
        m->edited = 0;
        return;
    }
    quorvane_ms_mark *e = mark_find(c, QV_MS_MARK_EDIT, m->author, m->msg_id, nullptr, nullptr, 0);
    if (!e || !e->flag || m->type != QV_MS_TYPE_TEXT) return;
    msg_free_text(m);
    m->text = e->text;
    m->text_len = e->text_len;
    m->edited = 1;
    e->text = nullptr;
    mark_drop_text(e);
}

size_t marks_size(const quorvane_ms_conv *c) {
    size_t n = 4;
    for (size_t i = 0; i < c->mark_count; i++) {
        const quorvane_ms_mark &k = c->marks[i];
        n += QV_MS_MARK_FIXED;
        if (k.kind == QV_MS_MARK_REACTION) n += QV_MS_ID_LEN + 1 + k.name_len;
        if (k.kind == QV_MS_MARK_EDIT && k.flag) n += 4 + k.text_len;
    }
    return n + 4 + c->floor_count * QV_MS_FLOOR_LEN;
}

void marks_put(writer &w, const quorvane_ms_conv *c) {
    w.be32(uint32_t(c->mark_count));
    for (size_t i = 0; i < c->mark_count; i++) {
        const quorvane_ms_mark &k = c->marks[i];
        w.u8(k.kind);
        w.u8(k.flag);
        w.raw(k.target_author, QV_MS_ID_LEN);
        w.be64(k.target_id);
        w.be64(k.position);
        if (k.kind == QV_MS_MARK_REACTION) {
            w.raw(k.user_id, QV_MS_ID_LEN);
            w.u8(k.name_len);
            w.raw(k.name, k.name_len);
        }
        if (k.kind == QV_MS_MARK_EDIT && k.flag) {
            w.be32(uint32_t(k.text_len));
            w.raw(k.text, k.text_len);
        }
    }
    w.be32(uint32_t(c->floor_count));
    for (size_t i = 0; i < c->floor_count; i++) {
        w.raw(c->floors[i].user_id, QV_MS_ID_LEN);
        w.be64(c->floors[i].position);
    }
}

// The marks of a message file into a conversation without any; false at the
// first one cut short or out of range (those before it stay).
bool marks_get(reader &r, quorvane_ms_conv *c) {
    const uint8_t *h = r.take(4);
    if (!h) return false;
    const uint32_t count = get_be32(h);
    if (count > QV_MS_MARKS_ALL_MAX) return false;
    for (uint32_t i = 0; i < count; i++) {
        const uint8_t *f = r.take(QV_MS_MARK_FIXED);
        if (!f || f[0] < QV_MS_MARK_DELETE || f[0] > QV_MS_MARK_REACTION || f[1] > 1) return false;
        const uint8_t kind = f[0];
        const uint8_t *user = nullptr, *name = nullptr, *tl = nullptr, *text = nullptr;
        uint8_t name_len = 0;
        if (kind == QV_MS_MARK_REACTION &&
            (!(user = r.take(QV_MS_ID_LEN)) || !r.u8(&name_len) || name_len == 0 || name_len > QV_MS_REACTION_NAME_MAX ||
             !(name = r.take(name_len))))
            return false;
        size_t text_len = 0;
        if (kind == QV_MS_MARK_EDIT && f[1]) {
            if (!(tl = r.take(4)) || (text_len = get_be32(tl)) > QV_MS_TEXT_MAX || !(text = r.take(text_len))) return false;
        }
        quorvane_ms_mark *k = mark_add(c, kind, f + 2, get_be64(f + 18), user, reinterpret_cast<const char *>(name),
                                       name_len, get_be64(f + 26));
        if (!k) return false;
        k->flag = f[1];
        if (text && !(k->text = text_dup(reinterpret_cast<const char *>(text), text_len))) {
            mark_remove_at(c, c->mark_count - 1);
            return false;
        }
        k->text_len = text_len;
    }
    return true;
}

// The floors that follow the marks in a message file of version 10 on.
bool floors_get(reader &r, quorvane_ms_conv *c) {
    const uint8_t *h = r.take(4);
    if (!h) return false;
    const uint32_t count = get_be32(h);
    if (count > QV_MS_FLOORS_MAX) return false;
    for (uint32_t i = 0; i < count; i++) {
        const uint8_t *f = r.take(QV_MS_FLOOR_LEN);
        if (!f || !floor_raise(c, f, get_be64(f + QV_MS_ID_LEN))) return false;
    }
    return true;
}

}  // namespace qv_ms

uint64_t quorvane_msgstore_mark_floor(const quorvane_msgstore *ms, const uint8_t id[16], const uint8_t user[16]) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    uint64_t at = 0;
    for (size_t i = 0; c && user && i < c->floor_count; i++)
        if ((same_id(c->floors[i].user_id, user) || same_id(c->floors[i].user_id, kEveryone)) && c->floors[i].position > at)
            at = c->floors[i].position;
    return at;
}

size_t quorvane_msgstore_mark_count(const quorvane_msgstore *ms, const uint8_t id[16]) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    return c ? c->mark_count : 0;
}
