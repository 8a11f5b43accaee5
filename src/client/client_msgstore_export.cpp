// History export and import: the conversations held, with their keys,
// members and live messages, as one self-contained byte string that a
// linked device or a restored backup merges back in. The string is not
// sealed here; its callers seal it.
#include "client_msgstore_internal.h"

#include "n_log.h"

#include <string>
#include <unordered_set>
#include <vector>

using namespace qv_ms;

namespace {

bool exported(const quorvane_ms_conv &c, int include_direct) { return include_direct || !c.peer_set; }

size_t export_size(const quorvane_msgstore *ms, int include_direct) {
    size_t n = QV_MS_EXPORT_HDR;
    for (size_t i = 0; i < ms->conv_count; i++) {
        const quorvane_ms_conv &c = ms->convs[i];
        if (!exported(c, include_direct)) continue;
        n += QV_MS_EXPORT_CONV_MIN + QV_KEY_LEN * size_t(c.old_key_count) + 4;
        for (size_t j = 0; j < c.member_count; j++) n += QV_MS_EXPORT_MEMBER + strnlen(c.members[j].name, QV_MS_NAME_MAX);
        for (size_t j = 0; j < c.msg_count; j++) n += QV_MS_EXPORT_MSG + c.msgs[j].text_len;
    }
    return n;
}

// One conversation entry checked whole before anything of it is merged.
struct entry_view {
    const uint8_t *id, *key, *old_keys;
    uint8_t        old_count;
    uint64_t       counter;
    const uint8_t *members;  // first member entry
    uint8_t        member_count;
    const uint8_t *msgs;     // first message entry
    uint32_t       msg_count;
};

// Parses the entry at r; false when a count or length breaks its limit or
// the input ends inside the entry.
bool entry_parse(reader &r, entry_view *e) {
    const uint8_t *head = r.take(QV_MS_EXPORT_CONV_HEAD);
    if (!head) return false;
    e->id = head;
    e->key = head + QV_MS_ID_LEN;
    e->old_count = head[48];
    if (e->old_count > QV_MS_OLD_KEYS) return false;
    const uint8_t *rest = r.take(QV_KEY_LEN * size_t(e->old_count) + 9);
    if (!rest) return false;
    e->old_keys = rest;
    e->counter = get_be64(rest + QV_KEY_LEN * size_t(e->old_count));
    e->member_count = rest[QV_KEY_LEN * size_t(e->old_count) + 8];
    if (e->member_count > QV_MS_MEMBER_MAX) return false;
    e->members = r.p + r.pos;
    for (size_t i = 0; i < e->member_count; i++) {
        const uint8_t *m = r.take(QV_MS_EXPORT_MEMBER);
        if (!m || m[81] > QV_MS_NAME_MAX || !r.take(m[81])) return false;
    }
    const uint8_t *count = r.take(4);
    if (!count) return false;
    e->msg_count = get_be32(count);
    e->msgs = r.p + r.pos;
    for (uint32_t i = 0; i < e->msg_count; i++) {
        const uint8_t *m = r.take(QV_MS_EXPORT_MSG);
        if (!m) return false;
        uint32_t t = get_be32(m + 66);
        if (t > QV_MS_TEXT_MAX || !r.take(t)) return false;
    }
    return true;
}

// A member list held already came from the server, later than any export: a
// member a rekey took out would come back with an older export, and the next
// rekey would hand it the new key. It stays; its members only take the names
// they lack. A conversation without one takes the entry's members, without
// devices or muted flags (they are not exported).
bool merge_members(quorvane_ms_conv *c, const entry_view &e) {
    if (c->member_count) {
        const uint8_t *p = e.members;
        for (size_t i = 0; i < e.member_count; i++, p += QV_MS_EXPORT_MEMBER + p[81])
            for (size_t j = 0; j < c->member_count; j++)
                if (same_id(c->members[j].user_id, p) && !c->members[j].name[0]) {
                    memset(c->members[j].name, 0, sizeof c->members[j].name);
                    memcpy(c->members[j].name, p + QV_MS_EXPORT_MEMBER, p[81]);
                }
        return true;
    }
    quorvane_ms_member *fresh = nullptr;
    if (e.member_count) {
        fresh = static_cast<quorvane_ms_member *>(calloc(e.member_count, sizeof(quorvane_ms_member)));
        if (!fresh) return false;
    }
    const uint8_t *p = e.members;
    for (size_t i = 0; i < e.member_count; i++) {
        quorvane_ms_member &m = fresh[i];
        memcpy(m.user_id, p, QV_MS_ID_LEN);
        memcpy(m.identity_key, p + 16, QV_KEY_LEN);
        memcpy(m.second_key, p + 48, QV_KEY_LEN);
        m.role = p[80];
        memcpy(m.name, p + QV_MS_EXPORT_MEMBER, p[81]);
        p += QV_MS_EXPORT_MEMBER + p[81];
    }
    free_members(c);
    c->members = fresh;
    c->member_count = e.member_count;
    return true;
}

std::string held_key(const uint8_t *author, const uint8_t *device, uint64_t id) {
    std::string k(reinterpret_cast<const char *>(author), QV_MS_ID_LEN);
    k.append(reinterpret_cast<const char *>(device), QV_MS_DEVICE_LEN);
    k.append(reinterpret_cast<const char *>(&id), sizeof id);
    return k;
}

// Messages not held (same id, author and device), live or archived, join at
// the end of the list with no position yet; no trim. Archived ones count as
// held, or a backup restored twice would bring trimmed messages back live as
// twins. false when memory runs out: what joined stays.
bool merge_msgs(quorvane_msgstore *ms, quorvane_ms_conv *c, const entry_view &e) {
    std::unordered_set<std::string> held;
    (void)quorvane_msgstore_archive_scan(ms, c->id, [](void *u, const quorvane_ms_msgrec *r) {
        static_cast<std::unordered_set<std::string> *>(u)->insert(held_key(r->author, r->author_device, r->msg_id));
    }, &held);
    const uint8_t *p = e.msgs;
    for (uint32_t i = 0; i < e.msg_count; i++) {
        const uint32_t t = get_be32(p + 66);
        const uint64_t id = get_be64(p + 48);
        // live twins are found by the list's own index, archived ones by the set
        if (msg_held_at(c, p, p + 16, id) < 0 && held.insert(held_key(p, p + 16, id)).second) {
            quorvane_ms_msg m{};
            memcpy(m.author, p, QV_MS_ID_LEN);
            memcpy(m.author_device, p + 16, QV_MS_DEVICE_LEN);
            m.msg_id = id;
            m.time = get_be64(p + 56);
            m.type = p[64];
            m.edited = p[65];
            m.text_len = t;
            if (!(m.text = text_dup(reinterpret_cast<const char *>(p + QV_MS_EXPORT_MSG), t))) return false;
            marks_on_arrival(c, &m);  // a history made before a delete we hold brings nothing back
            if (msg_push_at(c, m) < 0) {
                msg_free_text(&m);
                return false;
            }
        }
        p += QV_MS_EXPORT_MSG + t;
    }
    return true;
}

int import_entry(quorvane_msgstore *ms, const entry_view &e) {
    // A key the store holds is never replaced: an export older than the store
    // (made before a member was rekeyed out) would make a key that member
    // still has current again, and our next messages would be sealed under it.
    // A differing key joins the older ones; only a conversation without a key
    // takes the entry's. A zero key is one that had none yet: never a key.
    const quorvane_ms_conv *held = find_conv(ms, e.id);
    const bool has_key = held && held->has_key, zero = all_zero(e.key, QV_KEY_LEN);
    int rc = !has_key && !zero ? quorvane_msgstore_put_conv(ms, e.id, e.key) : quorvane_msgstore_put_conv_locked(ms, e.id);
    quorvane_ms_conv *c = find_conv(ms, e.id);
    if (rc != 0 || !c) return -1;
    if (has_key && !zero) (void)merge_old_keys(c, reinterpret_cast<const uint8_t (*)[32]>(e.key), 1);
    (void)merge_old_keys(c, reinterpret_cast<const uint8_t (*)[32]>(e.old_keys), e.old_count);
    if (e.counter > c->send_counter) c->send_counter = e.counter;  // never back: ids must not repeat
    if (!merge_members(c, e)) return -1;
    bool msgs_ok = merge_msgs(ms, c, e);
    c->revision++;
    if (write_conv_msgs(ms, c) != 0 || !msgs_ok) return -1;
    return 0;
}

}  // namespace

uint8_t *quorvane_msgstore_export_history_ex(const quorvane_msgstore *ms, int include_direct, size_t *len) {
    if (len) *len = 0;
    if (!ms || !len) return nullptr;
    const size_t size = export_size(ms, include_direct);
    auto *out = static_cast<uint8_t *>(malloc(size));
    if (!out) return nullptr;
    writer w{out};
    w.u8(QV_MS_EXPORT_VERSION);
    uint8_t *count_at = w.p;
    w.be32(0);
    uint32_t count = 0;
    static const uint8_t zero_key[QV_KEY_LEN] = {};
    for (size_t i = 0; i < ms->conv_count; i++) {
        const quorvane_ms_conv &c = ms->convs[i];
        if (!exported(c, include_direct)) continue;
        count++;
        w.raw(c.id, QV_MS_ID_LEN);
        w.raw(c.has_key ? c.key : zero_key, QV_KEY_LEN);
        w.u8(c.old_key_count);
        w.raw(c.old_keys, QV_KEY_LEN * size_t(c.old_key_count));
        w.be64(c.send_counter);
        w.u8(uint8_t(c.member_count));
        for (size_t j = 0; j < c.member_count; j++) member_put_head(w, c.members[j]);
        w.be32(uint32_t(c.msg_count));
        for (size_t j = 0; j < c.msg_count; j++) {
            const quorvane_ms_msg &m = c.msgs[j];
            w.raw(m.author, QV_MS_ID_LEN);
            w.raw(m.author_device, QV_MS_DEVICE_LEN);
            msg_put_body(w, m);
        }
    }
    put_be32(count_at, count);
    if (size_t(w.p - out) != size) {
        quorvane_msgstore_export_free(out, size);
        return nullptr;
    }
    *len = size;
    return out;
}

uint8_t *quorvane_msgstore_export_history(const quorvane_msgstore *ms, size_t *len) {
    return quorvane_msgstore_export_history_ex(ms, 1, len);
}

void quorvane_msgstore_export_free(uint8_t *buf, size_t len) {
    if (!buf) return;
    quorvane_cleanse(buf, len);
    free(buf);
}

int quorvane_msgstore_import_history(quorvane_msgstore *ms, const uint8_t *data, size_t len) {
    if (!ms || !data || len <= 4 || data[0] != QV_MS_EXPORT_VERSION) return -1;
    if (len < QV_MS_EXPORT_HDR) return -1;
    const uint32_t count = get_be32(data + 1);
    reader r{data, len, QV_MS_EXPORT_HDR};
    for (uint32_t i = 0; i < count; i++) {
        entry_view e{};
        if (!entry_parse(r, &e)) {
            n_log(LOG_ERR, "msgstore: history entry %u of %u refused", i + 1, count);
            return -1;
        }
        if (import_entry(ms, e) != 0) return -1;
    }
    return write_convs(ms);
}
