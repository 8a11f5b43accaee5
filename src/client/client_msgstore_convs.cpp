// The conversation list and its versions: conversation records,
// "convs.dat" in every version read, keys, peers, members, kinds, read
// positions, sync cursors and per-conversation settings.
#include "client_msgstore_internal.h"

#include "client_instbar.h"
#include "n_log.h"
#include "quorvane_safety.h"

using namespace qv_ms;

namespace qv_ms {

/* ---- conversation records ------------------------------------------------ */

quorvane_ms_conv *find_conv(const quorvane_msgstore *ms, const uint8_t *id) {
    if (!ms || !id) return nullptr;
    for (size_t i = 0; i < ms->conv_count; i++)
        if (same_id(ms->convs[i].id, id)) return &ms->convs[i];
    return nullptr;
}

// Doubles an array of conversation records from 16; the old block is wiped
// (it holds keys) before it is freed.
bool grow_convs(quorvane_ms_conv **arr, size_t *cap, size_t count) {
    return wiped_reserve(arr, cap, count, count + 1, QV_MS_CONV_FIRST_CAP, QV_MS_CONV_MAX);
}

void free_members(quorvane_ms_conv *c) {
    if (c->members) {
        quorvane_cleanse(c->members, c->member_count * sizeof(quorvane_ms_member));
        free(c->members);
    }
    c->members = nullptr;
    c->member_count = 0;
}

void msg_free_text(quorvane_ms_msg *m) {
    if (m->text) {
        quorvane_cleanse(m->text, m->text_len + 1);
        if (!m->text_shared) free(m->text);  // an arena's text goes with the arena
    }
    m->text_shared = 0;
    m->text = nullptr;
    m->text_len = 0;
}

// Texts wiped and freed, the messages, reactions and marks released.
void drop_msgs(quorvane_ms_conv *c) {
    for (size_t i = 0; i < c->msg_count; i++) msg_free_text(&c->msgs[i]);
    msgs_free(c);
    if (c->arch_pending_count == 0) text_arenas_free(c);  // else the archive's next write still reads them
    if (c->reactions) quorvane_cleanse(c->reactions, c->reaction_alloc * sizeof(quorvane_ms_reaction));
    free(c->reactions);
    c->reactions = nullptr;
    c->reaction_count = c->reaction_alloc = 0;
    marks_free(c);
}

// Keys not yet held (as current or older) join the older keys behind those
// held, until seven are held; the current key of a record without one does
// not count. How many joined.
int merge_old_keys(quorvane_ms_conv *c, const uint8_t (*keys)[32], size_t count) {
    int added = 0;
    for (size_t i = 0; i < count && c->old_key_count < QV_MS_OLD_KEYS; i++) {
        bool known = c->has_key && quorvane_ct_eq(keys[i], c->key, QV_KEY_LEN);
        for (size_t j = 0; j < c->old_key_count && !known; j++) known = quorvane_ct_eq(keys[i], c->old_keys[j], QV_KEY_LEN);
        // an all-zero key is publicly known: nothing sealed under it is to be trusted
        if (known || all_zero(keys[i], QV_KEY_LEN)) continue;
        memcpy(c->old_keys[c->old_key_count++], keys[i], QV_KEY_LEN);
        added++;
    }
    return added;
}

/* ---- "convs.dat" --------------------------------------------------------- */

size_t trailer_len(int v) { return v >= 20 ? 32 : v >= 18 ? 22 : v == 17 ? 21 : v == 16 ? 17 : v >= 14 ? 9 : 0; }
size_t settings_len(int v) { return v >= 22 ? 4 : v == 21 ? 3 : v == 20 ? 2 : 0; }
size_t member_len(const quorvane_ms_member &m) {
    return QV_MS_MEMBER_FIXED + strnlen(m.name, QV_MS_NAME_MAX) + 1 + 2 * QV_KEY_LEN * m.device_count + 1;
}

size_t conv_entry_len(const quorvane_ms_conv &c, int v) {
    size_t n = QV_MS_CONV_FIXED + 1 + strnlen(c.label, QV_MS_LABEL_MAX) + 1 + strnlen(c.peer_name, QV_MS_NAME_MAX) + 1 +
               strnlen(c.peer_about, QV_MS_ABOUT_MAX) + 2 + c.peer_avatar_len + 1 + QV_KEY_LEN * c.old_key_count + 1 +
               strnlen(c.group_name, QV_MS_LABEL_MAX) + 1 + 2 + c.group_avatar_len + trailer_len(v);
    for (size_t i = 0; i < c.member_count; i++) n += member_len(c.members[i]);
    return n;
}

// User id, identity key, second key, role and name: what "convs.dat" and the
// history export both write of a member, in that order.
void member_put_head(writer &w, const quorvane_ms_member &m) {
    w.raw(m.user_id, QV_MS_ID_LEN);
    w.raw(m.identity_key, QV_KEY_LEN);
    w.raw(m.second_key, QV_KEY_LEN);
    w.u8(m.role);
    w.text8(m.name, QV_MS_NAME_MAX);
}

// Written versions are 19 to 22: members always carry devices and the muted flag.
void conv_entry_put(writer &w, const quorvane_ms_conv &c, int v) {
    w.raw(c.id, QV_MS_ID_LEN);
    w.raw(c.key, QV_KEY_LEN);
    w.be64(c.send_counter);
    w.u8(c.peer_set);
    w.u8(c.verified);
    w.u8(c.peer_profile);
    w.u8(c.mute_mode);
    w.u8(c.blocked);
    w.be64(c.read_pos);
    w.raw(c.peer_id, QV_MS_ID_LEN);
    w.raw(c.peer_key, QV_KEY_LEN);
    w.text8(c.label, QV_MS_LABEL_MAX);
    w.text8(c.peer_name, QV_MS_NAME_MAX);
    w.text8(c.peer_about, QV_MS_ABOUT_MAX);
    w.blob16(c.peer_avatar, c.peer_avatar_len);
    w.u8(c.old_key_count);
    w.raw(c.old_keys, QV_KEY_LEN * c.old_key_count);
    w.text8(c.group_name, QV_MS_LABEL_MAX);
    w.u8(uint8_t(c.member_count));
    for (size_t i = 0; i < c.member_count; i++) {
        const quorvane_ms_member &m = c.members[i];
        member_put_head(w, m);
        w.u8(m.device_count);
        w.raw(m.devices, 2 * QV_KEY_LEN * m.device_count);
        w.u8(m.muted ? 1 : 0);
    }
    w.blob16(c.group_avatar, c.group_avatar_len);
    w.u8(c.hidden);
    w.be64(c.history_floor);
    w.be64(c.sync_cursor);
    w.be32(c.retention_days);
    w.u8(c.has_key ? 1 : 0);
    if (v >= 20) {
        w.u8(c.kind);
        w.be64(c.read_mark);
        w.u8(c.notif_mode);
    }
}

// One entry of version v into a zeroed record; false when it is cut short or
// breaks a limit (the caller then clears the record).
bool conv_entry_get(reader &r, int v, quorvane_ms_conv *c) {
    const uint8_t *f = r.take(QV_MS_CONV_FIXED);
    if (!f) return false;
    memcpy(c->id, f, QV_MS_ID_LEN);
    memcpy(c->key, f + 16, QV_KEY_LEN);
    c->send_counter = get_be64(f + 48);
    c->peer_set = f[56];
    c->verified = f[57];
    c->peer_profile = f[58];
    c->mute_mode = f[59] > 2 ? 0 : f[59];
    c->blocked = f[60];
    c->read_pos = get_be64(f + 61);
    memcpy(c->peer_id, f + 69, QV_MS_ID_LEN);
    memcpy(c->peer_key, f + 85, QV_KEY_LEN);
    if (!r.text8(c->label, QV_MS_LABEL_MAX) || !r.text8(c->peer_name, QV_MS_NAME_MAX) ||
        !r.text8(c->peer_about, QV_MS_ABOUT_MAX) || !r.blob16(c->peer_avatar, QV_MS_AVATAR_MAX, &c->peer_avatar_len))
        return false;
    uint8_t k, m;
    const uint8_t *keys;
    if (!r.u8(&k) || k > QV_MS_OLD_KEYS || !(keys = r.take(QV_KEY_LEN * size_t(k)))) return false;
    memcpy(c->old_keys, keys, QV_KEY_LEN * size_t(k));
    c->old_key_count = k;
    if (!r.text8(c->group_name, QV_MS_LABEL_MAX) || !r.u8(&m) || m > QV_MS_MEMBER_MAX) return false;
    if (m) {
        c->members = static_cast<quorvane_ms_member *>(calloc(m, sizeof(quorvane_ms_member)));
        if (!c->members) return false;
    }
    for (size_t i = 0; i < m; i++) {
        quorvane_ms_member &mb = c->members[i];
        c->member_count = i + 1;  // so that a failure below wipes what was read
        const uint8_t *e = r.take(QV_MS_MEMBER_FIXED - 1);
        if (!e) return false;
        memcpy(mb.user_id, e, QV_MS_ID_LEN);
        memcpy(mb.identity_key, e + 16, QV_KEY_LEN);
        memcpy(mb.second_key, e + 48, QV_KEY_LEN);
        mb.role = e[80];
        if (!r.text8(mb.name, QV_MS_NAME_MAX)) return false;
        if (v >= 15) {
            uint8_t d;
            const uint8_t *dev;
            if (!r.u8(&d) || d > QV_MS_MEMBER_DEVICES || !(dev = r.take(2 * QV_KEY_LEN * size_t(d)))) return false;
            memcpy(mb.devices, dev, 2 * QV_KEY_LEN * size_t(d));
            mb.device_count = d;
        }
        if (v >= 19) {
            uint8_t muted;
            if (!r.u8(&muted)) return false;
            mb.muted = muted ? 1 : 0;
        }
    }
    if (!r.blob16(c->group_avatar, QV_MS_AVATAR_MAX, &c->group_avatar_len)) return false;
    c->has_key = 1;
    const uint8_t *t = r.take(trailer_len(v));
    if (!t) return false;
    if (v >= 14) {
        c->hidden = t[0];
        c->history_floor = get_be64(t + 1);
    }
    if (v >= 16) c->sync_cursor = get_be64(t + 9);
    if (v >= 17) c->retention_days = get_be32(t + 17);
    if (v >= 18) c->has_key = t[21] ? 1 : 0;
    if (v >= 20) {
        c->kind = t[22] > 3 ? 0 : t[22];
        c->read_mark = get_be64(t + 23);
        c->notif_mode = t[31] > 2 ? 0 : t[31];
    }
    return true;
}

// The whole list in the write version, sized exactly: the largest possible
// entry is 31773 bytes, which for a full list would be 130 MB allocated and
// wiped on every setting change.
// Outside a batch, a message file that a failed batch end left marked goes
// first: the list must not name cursors and read positions beyond it.
int write_convs(quorvane_msgstore *ms) {
    ms->convs_dirty = 1;
    return ms->batch_depth ? 0 : write_due(ms);
}

int write_convs_file(quorvane_msgstore *ms) {
    char path[PATH_BUF];
    if (file_path(ms, MS_FILE_CONVS, path) != 0) return -1;
    const int v = quorvane_msgstore_write_version();
    size_t size = QV_MS_CONVS_HDR + settings_len(v);
    for (size_t i = 0; i < ms->conv_count; i++) size += conv_entry_len(ms->convs[i], v);
    wbuf pt(size);
    if (!pt.p) return -1;
    writer w{pt.p};
    w.u8(uint8_t(v));
    w.be32(uint32_t(ms->conv_count));
    for (size_t i = 0; i < ms->conv_count; i++) conv_entry_put(w, ms->convs[i], v);
    const uint8_t settings[QV_MS_CONVS_SETTINGS] = {uint8_t(ms->mute_defaults & 7), uint8_t(ms->notif_defaults & 7),
                                                    uint8_t(ms->car_flags & 7), uint8_t(ms->receipts_off & 1)};
    w.raw(settings, settings_len(v));
    if (size_t(w.p - pt.p) != size) return -1;
    if (store_write(ms, path, MS_LABEL_CONVS, pt.p, pt.n) != 0) return -1;
    // the file now carries every cursor noted so far, and every conversation
    ms->cursor_dirty = 0;
    ms->convs_dirty = 0;
    for (size_t i = 0; i < ms->conv_count; i++) ms->convs[i].unlisted = 0;
    return 0;
}

// Counters are not held back by a batch: a counter that goes back reuses
// message ids, which peers then drop as copies of earlier messages. Inside a
// batch everything marked so far goes first, so the list never runs ahead of
// the messages.
int write_counter_now(quorvane_msgstore *ms) {
    if (!ms->batch_depth) return write_convs(ms);
    ms->convs_dirty = 1;
    return write_due(ms);
}

// Nor are keys, since a key lost in a crash loses every later message, with
// one exception: a conversation made inside this batch is not on disk at
// all, and the server lists it with its keys at every sync, so until the
// batch ends its keys wait with it. A stranger who puts us into hundreds of
// conversations then costs one list write per batch, not one per conversation.
int write_convs_now(quorvane_msgstore *ms, const quorvane_ms_conv *c) {
    if (ms->batch_depth && c->unlisted) return write_convs(ms);
    return write_counter_now(ms);
}


// Conversations in file order, each with its message file, trimmed to the
// cap; the store-wide settings only when every entry was read. Opening does
// not rewrite "convs.dat"; a trimmed message file is written back.
void load_conv_list(quorvane_msgstore *ms) {
    char path[PATH_BUF];
    wbuf pt;
    if (file_path(ms, MS_FILE_CONVS, path) != 0 || !read_into(ms, path, MS_LABEL_CONVS, &pt)) return;
    quorvane_ms_conv_list list;
    if (quorvane_ms_convs_decode(pt.p, pt.n, &list) != 0) {
        if (pt.n <= 4)
            mark_unread(ms, path, "is too short to be a conversation list");
        else if (pt.p[0] < QV_MS_CONVS_VERSION_MIN)
            mark_unread(ms, path, "is of an older version than this program reads");
        else
            mark_unread(ms, path, "is of a newer version than this program reads");
        return;
    }
    if (!list.complete) mark_unread(ms, path, "stops at an entry this program cannot read");
    ms->convs = list.convs;
    ms->conv_count = list.count;
    ms->conv_cap = list.cap;
    ms->mute_defaults = list.mute_defaults;
    ms->notif_defaults = list.notif_defaults;
    ms->car_flags = list.car_flags;
    ms->receipts_off = list.receipts_off;
    for (size_t i = 0; i < ms->conv_count; i++) load_history(ms, &ms->convs[i]);
}

}  // namespace qv_ms

/* ---- plaintext decoders -------------------------------------------------- */

int quorvane_ms_convs_decode(const uint8_t *pt, size_t n, quorvane_ms_conv_list *out) {
    if (!out) return -1;
    memset(out, 0, sizeof *out);
    if (!pt || n <= 4 || pt[0] < QV_MS_CONVS_VERSION_MIN || pt[0] > QV_MS_CONVS_VERSION) return -1;
    const int v = pt[0];
    const uint32_t count = get_be32(pt + 1);
    reader r{pt, n, QV_MS_CONVS_HDR};
    bool complete = true;
    for (uint32_t i = 0; i < count; i++) {
        if (!grow_convs(&out->convs, &out->cap, out->count)) {
            complete = false;  // 4096 held, or out of memory
            break;
        }
        quorvane_ms_conv *c = &out->convs[out->count];
        memset(c, 0, sizeof *c);
        if (!conv_entry_get(r, v, c)) {
            quorvane_ms_conv_clear(c);
            complete = false;
            break;
        }
        out->count++;
    }
    // each store-wide byte of the version that is present; one that is not
    // keeps its default
    if (complete) {
        uint8_t *dst[QV_MS_CONVS_SETTINGS] = {&out->mute_defaults, &out->notif_defaults, &out->car_flags, &out->receipts_off};
        const uint8_t mask[QV_MS_CONVS_SETTINGS] = {7, 7, 7, 1};
        for (size_t i = 0; i < settings_len(v) && r.left(); i++) {
            uint8_t b = 0;
            (void)r.u8(&b);
            *dst[i] = b & mask[i];
        }
    }
    out->complete = complete ? 1 : 0;
    return 0;
}

void quorvane_ms_conv_list_free(quorvane_ms_conv_list *list) {
    if (!list) return;
    for (size_t i = 0; i < list->count; i++) quorvane_ms_conv_clear(&list->convs[i]);
    if (list->convs) quorvane_cleanse(list->convs, list->cap * sizeof(quorvane_ms_conv));
    free(list->convs);
    memset(list, 0, sizeof *list);
}

void quorvane_ms_conv_clear(quorvane_ms_conv *c) {
    if (!c) return;
    drop_msgs(c);
    arch_pending_free(c);
    text_arenas_free(c);
    free_members(c);
    unopened_free(c);
    quorvane_cleanse(c, sizeof *c);
}

/* ---- conversations and keys ---------------------------------------------- */

int quorvane_msgstore_put_conv(quorvane_msgstore *ms, const uint8_t id[16], const uint8_t key[32]) {
    if (!ms || !id || !key) return -1;
    quorvane_ms_conv *c = find_conv(ms, id);
    if (c && c->has_key && quorvane_ct_eq(c->key, key, QV_KEY_LEN)) return 0;
    if (c && c->has_key) {
        memmove(c->old_keys[1], c->old_keys[0], QV_KEY_LEN * (QV_MS_OLD_KEYS - 1));
        memcpy(c->old_keys[0], c->key, QV_KEY_LEN);
        if (c->old_key_count < QV_MS_OLD_KEYS) c->old_key_count++;
        // the dropped eighth key must not linger past the list's end
        quorvane_cleanse(c->old_keys[c->old_key_count], QV_KEY_LEN * (QV_MS_OLD_KEYS - c->old_key_count));
    } else if (!c) {
        if (ms->conv_count >= QV_MS_CONV_MAX || !grow_convs(&ms->convs, &ms->conv_cap, ms->conv_count)) return -1;
        c = &ms->convs[ms->conv_count++];
        memset(c, 0, sizeof *c);
        memcpy(c->id, id, QV_MS_ID_LEN);
        c->unlisted = ms->batch_depth ? 1 : 0;
        load_history(ms, c);
    }
    memcpy(c->key, key, QV_KEY_LEN);
    c->has_key = 1;
    return write_convs_now(ms, c);
}

int quorvane_msgstore_put_conv_locked(quorvane_msgstore *ms, const uint8_t id[16]) {
    if (!ms || !id) return -1;
    if (find_conv(ms, id)) return 0;
    if (ms->conv_count >= QV_MS_CONV_MAX || !grow_convs(&ms->convs, &ms->conv_cap, ms->conv_count)) return -1;
    quorvane_ms_conv *c = &ms->convs[ms->conv_count++];
    memset(c, 0, sizeof *c);
    memcpy(c->id, id, QV_MS_ID_LEN);
    c->unlisted = ms->batch_depth ? 1 : 0;
    load_history(ms, c);
    return write_convs_now(ms, c);
}

int quorvane_msgstore_conv_locked(const quorvane_msgstore *ms, const uint8_t id[16]) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    return c && !c->has_key ? 1 : 0;
}

int quorvane_msgstore_get_conv(const quorvane_msgstore *ms, const uint8_t id[16], uint8_t key[32]) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    if (!c || !c->has_key || !key) return 0;
    memcpy(key, c->key, QV_KEY_LEN);
    return 1;
}

size_t quorvane_msgstore_get_conv_keys(const quorvane_msgstore *ms, const uint8_t id[16], uint8_t (*out)[32], size_t cap) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    if (!c || !c->has_key || !out || cap == 0) return 0;
    memcpy(out[0], c->key, QV_KEY_LEN);
    size_t n = 1;
    for (size_t i = 0; i < c->old_key_count && n < cap; i++) memcpy(out[n++], c->old_keys[i], QV_KEY_LEN);
    return n;
}

int quorvane_msgstore_add_old_keys(quorvane_msgstore *ms, const uint8_t id[16], const uint8_t (*keys)[32], size_t count) {
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c || !c->has_key) return -1;
    if (count == 0) return 0;
    if (!keys) return -1;
    int added = merge_old_keys(c, keys, count);
    if (added && write_convs_now(ms, c) != 0) return -1;
    return added;
}

size_t quorvane_msgstore_conv_count(const quorvane_msgstore *ms) { return ms ? ms->conv_count : 0; }

const quorvane_ms_conv *quorvane_msgstore_conv_at(const quorvane_msgstore *ms, size_t index) {
    return ms && index < ms->conv_count ? &ms->convs[index] : nullptr;
}

uint64_t quorvane_msgstore_next_counter(quorvane_msgstore *ms, const uint8_t id[16]) {
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c) return 0;
    c->send_counter++;
    if (write_counter_now(ms) != 0) {
        c->send_counter--;
        return 0;
    }
    return c->send_counter;
}

/* ---- peer, verification and profiles ------------------------------------- */

namespace {

// Buffer emptied first, so that a caller never reads an old value.
void empty_out(char *buf, size_t size) {
    if (buf && size) buf[0] = '\0';
}

int set_avatar(quorvane_msgstore *ms, const uint8_t *id, const quorvane_file_meta *av, bool group) {
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c || !av) return -1;
    uint8_t enc[QV_MS_AVATAR_MAX];
    size_t n = group ? quorvane_msg_group_avatar_encode(av, enc, sizeof enc) : quorvane_msg_avatar_encode(av, enc, sizeof enc);
    if (n == 0) return -1;
    uint8_t *dst = group ? c->group_avatar : c->peer_avatar;
    memcpy(dst, enc, n);
    quorvane_cleanse(enc, sizeof enc);  // carries the blob key
    (group ? c->group_avatar_len : c->peer_avatar_len) = uint16_t(n);
    return write_convs(ms);
}

}  // namespace

int quorvane_msgstore_set_label(quorvane_msgstore *ms, const uint8_t id[16], const char *text) {
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c) return -1;
    copy_cut(c->label, QV_MS_LABEL_MAX, text);
    return write_convs(ms);
}

int quorvane_msgstore_get_label(const quorvane_msgstore *ms, const uint8_t id[16], char *buf, size_t size) {
    empty_out(buf, size);
    const quorvane_ms_conv *c = find_conv(ms, id);
    if (c) copy_out(buf, size, c->label, strnlen(c->label, QV_MS_LABEL_MAX));
    return 0;
}

int quorvane_msgstore_set_peer(quorvane_msgstore *ms, const uint8_t id[16], const uint8_t peer[16], const uint8_t key[32]) {
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c || !peer || !key) return -1;
    if (c->peer_set) {
        if (same_id(c->peer_id, peer) && quorvane_ct_eq(c->peer_key, key, QV_KEY_LEN)) return 0;
        c->verified = c->verified == 1 || c->verified == 2 ? 2 : 0;
    }
    memcpy(c->peer_id, peer, QV_MS_ID_LEN);
    memcpy(c->peer_key, key, QV_KEY_LEN);
    c->peer_set = 1;
    return write_convs(ms);
}

int quorvane_msgstore_get_peer(const quorvane_msgstore *ms, const uint8_t id[16], uint8_t peer[16], uint8_t key[32]) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    if (!c) return -1;
    if (!c->peer_set) return 0;
    if (peer) memcpy(peer, c->peer_id, QV_MS_ID_LEN);
    if (key) memcpy(key, c->peer_key, QV_KEY_LEN);
    return 1;
}

int quorvane_msgstore_set_verified(quorvane_msgstore *ms, const uint8_t id[16], int flag) {
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c) return -1;
    c->verified = flag ? 1 : 0;
    return write_convs(ms);
}

int quorvane_msgstore_get_verified(const quorvane_msgstore *ms, const uint8_t id[16]) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    return c ? (c->verified == 1 ? 1 : 0) : -1;
}

int quorvane_msgstore_identity_changed(const quorvane_msgstore *ms, const uint8_t id[16]) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    return c && c->verified == 2 ? 1 : 0;
}

int quorvane_msgstore_set_peer_profile(quorvane_msgstore *ms, const uint8_t id[16], const char *name, const char *about) {
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c) return -1;
    copy_cut(c->peer_name, QV_MS_NAME_MAX, name);
    copy_cut(c->peer_about, QV_MS_ABOUT_MAX, about);
    c->peer_profile = 1;
    return write_convs(ms);
}

int quorvane_msgstore_get_peer_profile(const quorvane_msgstore *ms, const uint8_t id[16], char *name, size_t name_size,
                                       char *about, size_t about_size) {
    empty_out(name, name_size);
    empty_out(about, about_size);
    const quorvane_ms_conv *c = find_conv(ms, id);
    if (!c) return -1;
    if (!c->peer_profile) return 0;
    copy_out(name, name_size, c->peer_name, strnlen(c->peer_name, QV_MS_NAME_MAX));
    copy_out(about, about_size, c->peer_about, strnlen(c->peer_about, QV_MS_ABOUT_MAX));
    return 1;
}

int quorvane_msgstore_set_peer_avatar(quorvane_msgstore *ms, const uint8_t id[16], const quorvane_file_meta *av) {
    return set_avatar(ms, id, av, false);
}

int quorvane_msgstore_get_peer_avatar(const quorvane_msgstore *ms, const uint8_t id[16], quorvane_file_meta *out) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    if (!c) return -1;
    if (!out || !c->peer_avatar_len) return 0;
    return quorvane_msg_avatar_decode(c->peer_avatar, c->peer_avatar_len, out) == 0 ? 1 : 0;
}

int quorvane_msgstore_set_group_avatar(quorvane_msgstore *ms, const uint8_t id[16], const quorvane_file_meta *av) {
    return set_avatar(ms, id, av, true);
}

int quorvane_msgstore_get_group_avatar(const quorvane_msgstore *ms, const uint8_t id[16], quorvane_file_meta *out) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    if (!c || !out || !c->group_avatar_len) return 0;
    return quorvane_msg_group_avatar_decode(c->group_avatar, c->group_avatar_len, out) == 0 ? 1 : 0;
}

int quorvane_msgstore_set_group_name(quorvane_msgstore *ms, const uint8_t id[16], const char *name) {
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c) return -1;
    copy_cut(c->group_name, QV_MS_LABEL_MAX, name);
    return write_convs(ms);
}

int quorvane_msgstore_get_group_name(const quorvane_msgstore *ms, const uint8_t id[16], char *buf, size_t size) {
    empty_out(buf, size);
    const quorvane_ms_conv *c = find_conv(ms, id);
    if (!c) return -1;
    copy_out(buf, size, c->group_name, strnlen(c->group_name, QV_MS_LABEL_MAX));
    return c->group_name[0] ? 1 : 0;
}

/* ---- members ----------------------------------------------------------- */

namespace {

quorvane_ms_member *find_member(const quorvane_ms_conv *c, const uint8_t *user) {
    if (!c || !user) return nullptr;
    for (size_t i = 0; i < c->member_count; i++)
        if (same_id(c->members[i].user_id, user)) return &c->members[i];
    return nullptr;
}

}  // namespace

int quorvane_msgstore_set_members(quorvane_msgstore *ms, const uint8_t id[16], const uint8_t (*users)[16],
                                  const uint8_t (*identity_keys)[32], const uint8_t (*second_keys)[32],
                                  const uint8_t *roles, size_t count) {
    if (count > QV_MS_MEMBER_MAX) count = QV_MS_MEMBER_MAX;
    if (count && (!users || !identity_keys || !second_keys || !roles)) return -1;
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c) return -1;
    // first sight of each key is recorded; a changed key is for the caller to judge
    for (size_t i = 0; i < count; i++) (void)quorvane_msgstore_identity_tofu(ms, users[i], identity_keys[i]);
    if (count == c->member_count) {
        bool same = true;
        for (size_t i = 0; i < count && same; i++) {
            const quorvane_ms_member &m = c->members[i];
            same = same_id(m.user_id, users[i]) && memcmp(m.identity_key, identity_keys[i], QV_KEY_LEN) == 0 &&
                   memcmp(m.second_key, second_keys[i], QV_KEY_LEN) == 0 && m.role == roles[i];
        }
        if (same) return 0;
    }
    quorvane_ms_member *fresh = nullptr;
    if (count) {
        fresh = static_cast<quorvane_ms_member *>(calloc(count, sizeof(quorvane_ms_member)));
        if (!fresh) return -1;
        for (size_t i = 0; i < count; i++) {
            quorvane_ms_member &m = fresh[i];
            memcpy(m.user_id, users[i], QV_MS_ID_LEN);
            memcpy(m.identity_key, identity_keys[i], QV_KEY_LEN);
            memcpy(m.second_key, second_keys[i], QV_KEY_LEN);
            m.role = roles[i];
            if (const quorvane_ms_member *old = find_member(c, users[i])) memcpy(m.name, old->name, sizeof m.name);
        }
    }
    free_members(c);
    c->members = fresh;
    c->member_count = count;
    c->revision++;
    return write_convs(ms);
}

int quorvane_msgstore_set_member_devices(quorvane_msgstore *ms, const uint8_t id[16], const uint8_t user[16],
                                         const uint8_t (*first)[32], const uint8_t (*second)[32], size_t count) {
    if (count > QV_MS_MEMBER_DEVICES) count = QV_MS_MEMBER_DEVICES;
    if (count && (!first || !second)) return -1;
    quorvane_ms_member *m = find_member(find_conv(ms, id), user);
    if (!m) return -1;
    bool same = count == m->device_count;
    for (size_t i = 0; i < count && same; i++)
        same = memcmp(m->devices[i][0], first[i], QV_KEY_LEN) == 0 && memcmp(m->devices[i][1], second[i], QV_KEY_LEN) == 0;
    if (same) return 0;
    memset(m->devices, 0, sizeof m->devices);
    for (size_t i = 0; i < count; i++) {
        memcpy(m->devices[i][0], first[i], QV_KEY_LEN);
        memcpy(m->devices[i][1], second[i], QV_KEY_LEN);
    }
    m->device_count = uint8_t(count);
    return write_convs(ms);
}

int quorvane_msgstore_set_member_muted(quorvane_msgstore *ms, const uint8_t id[16], const uint8_t (*users)[16],
                                       const uint8_t *flags, size_t count) {
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c) return -1;
    if (c->member_count == 0) return 0;
    if (count && (!users || !flags)) return -1;
    bool changed = false;
    for (size_t i = 0; i < c->member_count; i++) {
        quorvane_ms_member &m = c->members[i];
        uint8_t want = 0;
        for (size_t j = 0; j < count; j++)
            if (same_id(users[j], m.user_id)) {
                want = flags[j] ? 1 : 0;
                break;
            }
        if (m.muted != want) changed = true;
        m.muted = want;
    }
    return changed ? write_convs(ms) : 0;
}

int quorvane_msgstore_member_muted(const quorvane_msgstore *ms, const uint8_t id[16], size_t index) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    return c && index < c->member_count && c->members[index].muted ? 1 : 0;
}

size_t quorvane_msgstore_member_devices(const quorvane_msgstore *ms, const uint8_t id[16], const uint8_t user[16],
                                        uint8_t (*first)[32], uint8_t (*second)[32], size_t cap) {
    const quorvane_ms_member *m = find_member(find_conv(ms, id), user);
    if (!m) return 0;
    size_t n = m->device_count < cap ? m->device_count : cap;
    for (size_t i = 0; i < n; i++) {
        if (first) memcpy(first[i], m->devices[i][0], QV_KEY_LEN);
        if (second) memcpy(second[i], m->devices[i][1], QV_KEY_LEN);
    }
    return n;
}

size_t quorvane_msgstore_member_count(const quorvane_msgstore *ms, const uint8_t id[16]) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    return c ? c->member_count : 0;
}

int quorvane_msgstore_member_at(const quorvane_msgstore *ms, const uint8_t id[16], size_t index, uint8_t user[16],
                                uint8_t identity_key[32], uint8_t second_key[32], uint8_t *role) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    if (!c || index >= c->member_count) return -1;
    const quorvane_ms_member &m = c->members[index];
    if (user) memcpy(user, m.user_id, QV_MS_ID_LEN);
    if (identity_key) memcpy(identity_key, m.identity_key, QV_KEY_LEN);
    if (second_key) memcpy(second_key, m.second_key, QV_KEY_LEN);
    if (role) *role = m.role;
    return 0;
}

int quorvane_msgstore_set_member_name(quorvane_msgstore *ms, const uint8_t id[16], const uint8_t user[16], const char *name) {
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c || !user) return -1;
    quorvane_ms_member *m = find_member(c, user);
    if (!m) return 0;
    copy_cut(m->name, QV_MS_NAME_MAX, name);
    return write_convs(ms);
}

int quorvane_msgstore_member_name(const quorvane_msgstore *ms, const uint8_t id[16], const uint8_t user[16], char *buf,
                                  size_t size) {
    empty_out(buf, size);
    const quorvane_ms_member *m = find_member(find_conv(ms, id), user);
    if (!m) return -1;
    copy_out(buf, size, m->name, strnlen(m->name, QV_MS_NAME_MAX));
    return m->name[0] ? 1 : 0;
}

int quorvane_msgstore_can_delete(const quorvane_msgstore *ms, const uint8_t id[16], const uint8_t user[16],
                                 const uint8_t author[16]) {
    if (!ms || !id || !user || !author) return 0;
    if (same_id(user, author)) return 1;
    const quorvane_ms_member *m = find_member(find_conv(ms, id), user);
    return m && (m->role == 1 || m->role == 2) ? 1 : 0;
}

int quorvane_msgstore_group_safety_number(const quorvane_msgstore *ms, const uint8_t id[16], char *out, size_t size) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    if (!c || !out || size < QV_SAFETY_TEXT_LEN || c->member_count < 1 || c->member_count > QV_SAFETY_GROUP_MAX) return -1;
    quorvane_safety_member list[QV_SAFETY_GROUP_MAX];
    for (size_t i = 0; i < c->member_count; i++) {
        list[i].identity_pub = c->members[i].identity_key;
        memcpy(list[i].user_id, c->members[i].user_id, QV_MS_ID_LEN);
    }
    return quorvane_group_safety_number(list, c->member_count, out) == 0 ? 0 : -1;
}

/* ---- kind, visibility and lookup ----------------------------------------- */

int quorvane_msgstore_set_kind(quorvane_msgstore *ms, const uint8_t id[16], int kind) {
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c || kind < 0 || kind > 2) return -1;
    if (c->kind == kind + 1) return 0;
    c->kind = uint8_t(kind + 1);
    return write_convs(ms);
}

int quorvane_msgstore_kind(const quorvane_msgstore *ms, const uint8_t id[16]) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    if (!c) return -1;
    // a direct conversation that was given a group name has become a group
    if (c->kind == 0 || (c->kind == 1 && c->group_name[0])) return c->member_count == 2 && !c->group_name[0] ? 0 : 1;
    return c->kind - 1;
}

int quorvane_msgstore_find_dm(const quorvane_msgstore *ms, const uint8_t peer[16], uint8_t conv_out[16]) {
    if (!ms || !peer) return 0;
    for (size_t i = 0; i < ms->conv_count; i++) {
        const quorvane_ms_conv &c = ms->convs[i];
        if (!c.peer_set || !same_id(c.peer_id, peer) || c.hidden) continue;
        if ((c.kind == 0 && !c.group_name[0]) || quorvane_msgstore_kind(ms, c.id) == 0) {
            if (conv_out) memcpy(conv_out, c.id, QV_MS_ID_LEN);
            return 1;
        }
    }
    return 0;
}

int quorvane_msgstore_conv_hidden(const quorvane_msgstore *ms, const uint8_t id[16]) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    return c ? (c->hidden ? 1 : 0) : -1;
}

int quorvane_msgstore_delete_conv(quorvane_msgstore *ms, const uint8_t id[16]) {
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c) return -1;
    // a history left on disk would come back when the conversation is learned
    // again: the record stays until both files are gone
    conv_file a, m;
    if (conv_file_of(ms, c->id, true, &a) != 0 || conv_file_of(ms, c->id, false, &m) != 0) return -1;
    if (!remove_gone(ms, a.path) || !remove_gone(ms, m.path) || !remove_unopened(ms, c)) return -1;
    quorvane_ms_conv_clear(c);
    size_t at = size_t(c - ms->convs);
    memmove(ms->convs + at, ms->convs + at + 1, (ms->conv_count - at - 1) * sizeof(quorvane_ms_conv));
    ms->conv_count--;
    quorvane_cleanse(&ms->convs[ms->conv_count], sizeof(quorvane_ms_conv));
    return write_convs(ms);
}

int quorvane_msgstore_forget_conv(quorvane_msgstore *ms, const uint8_t id[16]) {
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c) return -1;
    // the messages leave memory only once their file is gone, or the next open
    // would bring them back
    conv_file f;
    if (conv_file_of(ms, c->id, false, &f) != 0 || !remove_gone(ms, f.path) || !remove_unopened(ms, c)) return -1;
    if (c->sync_cursor > c->history_floor) c->history_floor = c->sync_cursor;
    c->hidden = 1;
    drop_msgs(c);
    c->msgs_dirty = 0;
    c->revision++;
    return write_convs(ms);
}

/* ---- read positions and cursors ------------------------------------------ */

int quorvane_msgstore_set_read(quorvane_msgstore *ms, const uint8_t id[16], uint64_t position) {
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c) return -1;
    if (position <= c->read_pos) return 0;
    c->read_pos = position;
    return write_convs(ms);
}

uint64_t quorvane_msgstore_get_read(const quorvane_msgstore *ms, const uint8_t id[16]) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    return c ? c->read_pos : 0;
}

int quorvane_msgstore_set_read_mark(quorvane_msgstore *ms, const uint8_t id[16], uint64_t position) {
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c) return -1;
    if (position <= c->read_mark) return 0;
    c->read_mark = position;
    return write_convs(ms) == 0 ? 1 : -1;
}

uint64_t quorvane_msgstore_read_mark(const quorvane_msgstore *ms, const uint8_t id[16]) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    return c ? c->read_mark : 0;
}

size_t quorvane_msgstore_unread(const quorvane_msgstore *ms, const uint8_t id[16], const uint8_t own[16], uint64_t *highest) {
    if (highest) *highest = 0;
    const quorvane_ms_conv *c = find_conv(ms, id);
    if (!c) return 0;
    size_t n = 0;
    for (size_t i = 0; i < c->msg_count; i++) {
        const quorvane_ms_msg &m = c->msgs[i];
        if (highest && m.position > *highest) *highest = m.position;
        if (m.position > c->read_mark && !(own && same_id(m.author, own)) && quorvane_unread_type_counts(m.type)) n++;
    }
    return n;
}

void quorvane_msgstore_note_cursor(quorvane_msgstore *ms, const uint8_t id[16], uint64_t cursor) {
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c) return;
    if (c->hold_pos && cursor >= c->hold_pos) {
        if (cursor > c->hold_pos) return;
        // what the cursor waited for went through; what failed behind it comes again
        c->hold_pos = c->hold_high = 0;
        c->hold_tries = 0;
        c->unopened_dirty = 1;
    }
    if (cursor <= c->sync_cursor) return;
    c->sync_cursor = cursor;
    ms->cursor_dirty = 1;
}

void quorvane_msgstore_hold_cursor(quorvane_msgstore *ms, const uint8_t id[16], uint64_t position) {
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c || position == 0 || position <= c->sync_cursor || (c->hold_pos && c->hold_pos <= position)) return;
    if (c->hold_pos > c->hold_high) c->hold_high = c->hold_pos;
    c->hold_pos = position;
    c->hold_tries = 0;
    c->hold_seen = 1;
    c->unopened_dirty = 1;
}

// The flag is cleared by the successful write itself, so that a failed one
// is tried again by the next flush or at close.
int quorvane_msgstore_flush(quorvane_msgstore *ms) {
    if (!ms) return -1;
    if (ms->batch_depth) return 0;  // the batch's end writes it
    return write_due(ms);
}

uint64_t quorvane_msgstore_sync_cursor(const quorvane_msgstore *ms, const uint8_t id[16]) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    if (!c) return 0;
    return c->sync_cursor > c->history_floor ? c->sync_cursor : c->history_floor;
}

uint32_t quorvane_msgstore_conv_revision(const quorvane_msgstore *ms, const uint8_t id[16]) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    return c ? c->revision : 0;
}

/* ---- settings -------------------------------------------------------------- */

int quorvane_msgstore_set_muted(quorvane_msgstore *ms, const uint8_t id[16], int flag) {
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c) return -1;
    c->mute_mode = flag ? 1 : 0;
    return write_convs(ms);
}

int quorvane_msgstore_get_muted(const quorvane_msgstore *ms, const uint8_t id[16]) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    return c ? (c->mute_mode == 1 ? 1 : 0) : -1;
}

int quorvane_msgstore_set_mode(quorvane_msgstore *ms, const uint8_t id[16], int setting, int value) {
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c || (setting != 0 && setting != 1) || value < 0 || value > 2) return -1;
    (setting == 0 ? c->mute_mode : c->notif_mode) = uint8_t(value);
    return write_convs(ms);
}

int quorvane_msgstore_mode(const quorvane_msgstore *ms, const uint8_t id[16], int setting) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    if (!c || (setting != 0 && setting != 1)) return -1;
    return setting == 0 ? c->mute_mode : c->notif_mode;
}

int quorvane_msgstore_set_type_default(quorvane_msgstore *ms, int setting, int kind, int on) {
    if (!ms || kind < 0 || kind > 2 || (setting != 0 && setting != 1)) return -1;
    const uint8_t bit = uint8_t(1u << kind);
    // the notification bit says "off", so "on" clears it
    uint8_t &bits = setting == 0 ? ms->mute_defaults : ms->notif_defaults;
    bool set = setting == 0 ? on != 0 : on == 0;
    bits = set ? uint8_t(bits | bit) : uint8_t(bits & ~bit);
    return write_convs(ms);
}

int quorvane_msgstore_type_default(const quorvane_msgstore *ms, int setting, int kind) {
    if (!ms || kind < 0 || kind > 2 || (setting != 0 && setting != 1)) return -1;
    if (setting == 0) return (ms->mute_defaults >> kind) & 1;
    return ((ms->notif_defaults >> kind) & 1) ? 0 : 1;
}

int quorvane_msgstore_effective(const quorvane_msgstore *ms, const uint8_t id[16], int setting) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    if (!c || (setting != 0 && setting != 1)) return -1;
    int kind = quorvane_msgstore_kind(ms, id);
    int def = quorvane_msgstore_type_default(ms, setting, kind);
    return quorvane_conv_mode_resolve(setting == 0 ? c->mute_mode : c->notif_mode, def);
}

int quorvane_msgstore_set_car_flags(quorvane_msgstore *ms, int flags) {
    if (!ms || flags < 0 || flags > 7) return -1;
    ms->car_flags = uint8_t(flags);
    return write_convs(ms);
}

int quorvane_msgstore_car_flags(const quorvane_msgstore *ms) { return ms ? ms->car_flags : 0; }

int quorvane_msgstore_set_send_receipts(quorvane_msgstore *ms, int on) {
    if (!ms) return -1;
    ms->receipts_off = on ? 0 : 1;
    return write_convs(ms);
}

int quorvane_msgstore_send_receipts(const quorvane_msgstore *ms) { return ms && (ms->receipts_off & 1) ? 0 : 1; }

int quorvane_msgstore_set_blocked(quorvane_msgstore *ms, const uint8_t id[16], int flag) {
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c) return -1;
    c->blocked = flag ? 1 : 0;
    return write_convs(ms);
}

int quorvane_msgstore_get_blocked(const quorvane_msgstore *ms, const uint8_t id[16]) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    return c ? (c->blocked ? 1 : 0) : -1;
}

int quorvane_msgstore_set_retention(quorvane_msgstore *ms, const uint8_t id[16], uint32_t days) {
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c) return -1;
    if (c->retention_days == days) return 0;
    c->retention_days = days;
    return write_convs(ms);
}

uint32_t quorvane_msgstore_get_retention(const quorvane_msgstore *ms, const uint8_t id[16]) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    return c ? c->retention_days : 0;
}

