// What deletes, edits and reactions leave behind, by their target: history
// pages come newest first, so the first action seen for a target is its
// newest, and a message arrives after everything done to it. A mark keeps
// where the newest applied action stands, so that an older one changes
// nothing, and for a message not held yet, whether it was deleted and its
// newest text, so that it arrives as those actions left it.
#include "client_msgstore_internal.h"

using namespace qv_ms;

namespace {

bool same_key(const quorvane_ms_mark &k, uint8_t kind, const uint8_t *author, uint64_t id, const uint8_t *user,
              const char *name, size_t name_len) {
    if (k.kind != kind || k.target_id != id || !same_id(k.target_author, author)) return false;
    return kind != QV_MS_MARK_REACTION ||
           (same_id(k.user_id, user) && k.name_len == name_len && memcmp(k.name, name, name_len) == 0);
}

// A delete, or an edit whose text waits for its message, still has work to do.
bool settled(const quorvane_ms_mark &k) { return k.kind == QV_MS_MARK_REACTION || (k.kind == QV_MS_MARK_EDIT && !k.flag); }

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
    return wiped_reserve(&c->marks, &c->mark_alloc, c->mark_count, want, 8, QV_MS_MARKS_MAX);
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
}

quorvane_ms_mark *mark_find(quorvane_ms_conv *c, uint8_t kind, const uint8_t *author, uint64_t id, const uint8_t *user,
                            const char *name, size_t name_len) {
    for (size_t i = 0; i < c->mark_count; i++)
        if (same_key(c->marks[i], kind, author, id, user, name, name_len)) return &c->marks[i];
    return nullptr;
}

// A new mark at the end; when the conversation holds the most it keeps, the
// oldest settled one goes (a delete or a waiting edit only when nothing else
// is left). Null when memory runs out.
quorvane_ms_mark *mark_add(quorvane_ms_conv *c, uint8_t kind, const uint8_t *author, uint64_t id, const uint8_t *user,
                           const char *name, size_t name_len, uint64_t at) {
    if (c->mark_count == QV_MS_MARKS_MAX) {
        size_t drop = 0;
        while (drop < c->mark_count && !settled(c->marks[drop])) drop++;
        mark_remove_at(c, drop < c->mark_count ? drop : 0);
    }
    if (!marks_reserve(c, c->mark_count + 1)) return nullptr;
    quorvane_ms_mark &k = c->marks[c->mark_count++];
    memset(&k, 0, sizeof k);
    k.kind = kind;
    memcpy(k.target_author, author, QV_MS_ID_LEN);
    k.target_id = id;
    k.position = at;
    if (kind == QV_MS_MARK_REACTION) {
        memcpy(k.user_id, user, QV_MS_ID_LEN);
        k.name_len = uint8_t(name_len);
        memcpy(k.name, name, name_len);
    }
    return &k;
}

bool mark_stale(const quorvane_ms_mark *k, uint64_t at) {
    return at != QV_MS_MARK_LIVE && k && (k->position == QV_MS_MARK_LIVE || k->position >= at);
}

// A message new to the list, before it joins it: deleted when a delete
// waits for it, else given the newest text an edit left for it.
void marks_on_arrival(quorvane_ms_conv *c, quorvane_ms_msg *m) {
    if (c->mark_count == 0) return;
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
    return n;
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
}

// The marks of a message file into a conversation without any; false at the
// first one cut short or out of range (those before it stay).
bool marks_get(reader &r, quorvane_ms_conv *c) {
    const uint8_t *h = r.take(4);
    if (!h) return false;
    const uint32_t count = get_be32(h);
    if (count > QV_MS_MARKS_MAX) return false;
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

}  // namespace qv_ms

size_t quorvane_msgstore_mark_count(const quorvane_msgstore *ms, const uint8_t id[16]) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    return c ? c->mark_count : 0;
}
