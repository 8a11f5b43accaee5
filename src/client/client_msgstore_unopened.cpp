// Conversation-key envelopes that did not open: the hold on the sync cursor,
// its tries across syncs, the envelopes set aside (counted and kept, bounded
// per sender),
// and "u_" conv ".dat" that keeps all this across runs. A hold that nothing
// ever released would keep the server sending the same envelope, and keeping
// every copy the device has not passed, for good: one envelope that never
// opens would let its sender fill the device's share of the server.
#include "client_msgstore_internal.h"

#include "quorvane_envelope.h"

using namespace qv_ms;

namespace {

int unopened_file(const quorvane_msgstore *ms, const uint8_t *id, conv_file *f) {
    return conv_file_named(ms, id, 'u', MS_LABEL_UNOPENED, f);
}

bool unopened_empty(const quorvane_ms_conv *c) {
    return !c->hold_pos && !c->hold_tries && !c->hold_high && !c->aside_upto && !c->unopened && !c->unopened_dropped &&
           !c->kept_count;
}

void kept_remove_at(quorvane_ms_conv *c, size_t at) {
    free(c->kept[at].env);
    memmove(c->kept + at, c->kept + at + 1, (c->kept_count - at - 1) * sizeof(quorvane_ms_unopened));
    c->kept_count--;
    c->kept[c->kept_count] = quorvane_ms_unopened{};
}

// The oldest kept of `sender` and how many it has.
size_t kept_of(const quorvane_ms_conv *c, const uint8_t *sender, size_t *oldest) {
    size_t n = 0;
    *oldest = c->kept_count;
    for (size_t i = 0; i < c->kept_count; i++)
        if (same_id(c->kept[i].sender, sender) && n++ == 0) *oldest = i;
    return n;
}

// Which kept envelope goes for one more of `sender`: its own oldest once it
// has its share, else, when the conversation's are all taken, the oldest of
// the sender keeping the most. kept_count when none need go.
size_t kept_victim(const quorvane_ms_conv *c, const uint8_t *sender) {
    size_t oldest = 0;
    if (kept_of(c, sender, &oldest) >= QV_MS_UNOPENED_SENDER_KEPT) return oldest;
    if (c->kept_count < QV_MS_UNOPENED_KEPT) return c->kept_count;
    size_t most = 0, at = c->kept_count;
    for (size_t i = 0; i < c->kept_count; i++) {
        size_t first = 0;
        const size_t n = kept_of(c, c->kept[i].sender, &first);
        if (n > most) {
            most = n;
            at = first;
        }
    }
    return at;
}

// A copy of the envelope at the end, room made as kept_victim says; -1
// without memory, 1 when one kept went for it.
int kept_push(quorvane_ms_conv *c, uint64_t position, const uint8_t *env, size_t len) {
    if (!c->kept) {
        c->kept = static_cast<quorvane_ms_unopened *>(calloc(QV_MS_UNOPENED_KEPT, sizeof(quorvane_ms_unopened)));
        if (!c->kept) return -1;
    }
    quorvane_ms_unopened u{position, nullptr, len, {}};
    quorvane_env_header h{};
    if (quorvane_env_header_decode(env, len, &h) == 0) memcpy(u.sender, h.sender_id, QV_MS_ID_LEN);
    if (!(u.env = static_cast<uint8_t *>(malloc(len ? len : 1)))) return -1;
    if (len) memcpy(u.env, env, len);
    int rc = 0;
    if (const size_t drop = kept_victim(c, u.sender); drop < c->kept_count) {
        kept_remove_at(c, drop);
        if (c->unopened_dropped < UINT32_MAX) c->unopened_dropped++;
        rc = 1;
    }
    c->kept[c->kept_count++] = u;
    return rc;
}

// Written as cursor notes are, by the next flush or batch end, and always
// before the list: a failure is no reason for a sync of its own, and the
// cursor on disk never passes an envelope set aside before it is kept.
void unopened_changed(quorvane_ms_conv *c) { c->unopened_dirty = 1; }

}  // namespace

namespace qv_ms {

void unopened_free(quorvane_ms_conv *c) {
    for (size_t i = 0; i < c->kept_count; i++) free(c->kept[i].env);
    free(c->kept);
    c->kept = nullptr;
    c->kept_count = 0;
}

int write_unopened(quorvane_msgstore *ms, quorvane_ms_conv *c) {
    conv_file f;
    if (unopened_file(ms, c->id, &f) != 0) return -1;
    if (unopened_empty(c)) {
        // nothing held and nothing set aside: no file, or the last one's bytes would come back
        if (!remove_gone(ms, f.path)) return -1;
        c->unopened_dirty = 0;
        return 0;
    }
    size_t size = QV_MS_UNOPENED_HDR_V2;
    for (size_t i = 0; i < c->kept_count; i++) size += 8 + 2 + c->kept[i].len;
    wbuf pt(size);
    if (!pt.p) return -1;
    writer w{pt.p};
    w.u8(QV_MS_UNOPENED_VERSION);
    w.be64(c->hold_pos);
    w.u8(c->hold_tries);
    w.be64(c->hold_high);
    w.be64(c->aside_upto);
    w.be32(c->unopened);
    w.be32(c->unopened_dropped);
    w.be16(uint16_t(c->kept_count));
    for (size_t i = 0; i < c->kept_count; i++) {
        w.be64(c->kept[i].position);
        w.blob16(c->kept[i].env, uint16_t(c->kept[i].len));
    }
    if (size_t(w.p - pt.p) != size || store_write(ms, f.path, f.label, f.label_len, pt.p, pt.n) != 0) return -1;
    c->unopened_dirty = 0;
    return 0;
}

void load_unopened(quorvane_msgstore *ms, quorvane_ms_conv *c) {
    conv_file f;
    wbuf pt;
    if (unopened_file(ms, c->id, &f) != 0 || !read_into(ms, f.path, f.label, f.label_len, &pt)) return;
    const int rc = quorvane_ms_unopened_decode(pt.p, pt.n, c);
    if (rc < 0) mark_unread(ms, f.path, "is not an unopened-envelope file this program reads");
    else if (rc > 0) mark_unread(ms, f.path, "stops at an entry this program cannot read");
}

bool remove_unopened(quorvane_msgstore *ms, quorvane_ms_conv *c) {
    conv_file f;
    if (unopened_file(ms, c->id, &f) != 0 || !remove_gone(ms, f.path)) return false;
    unopened_free(c);
    c->hold_pos = c->hold_high = c->aside_upto = 0;
    c->hold_tries = 0;
    c->unopened = c->unopened_dropped = 0;
    c->unopened_dirty = 0;
    return true;
}

}  // namespace qv_ms

// Version 1 kept at most 16 and no count of those dropped; the sender of
// each is read again from its envelope.
int quorvane_ms_unopened_decode(const uint8_t *pt, size_t n, quorvane_ms_conv *c) {
    if (!c || !pt || n < 1 || pt[0] < 1 || pt[0] > QV_MS_UNOPENED_VERSION) return -1;
    const bool v1 = pt[0] == 1;
    if (n < (v1 ? QV_MS_UNOPENED_HDR : QV_MS_UNOPENED_HDR_V2)) return -1;
    reader r{pt, n, 1};
    const uint8_t *h = r.take((v1 ? QV_MS_UNOPENED_HDR : QV_MS_UNOPENED_HDR_V2) - 1);
    c->hold_pos = get_be64(h);
    c->hold_tries = h[8];
    c->hold_high = get_be64(h + 9);
    c->aside_upto = get_be64(h + 17);
    c->unopened = get_be32(h + 25);
    if (!v1) c->unopened_dropped = get_be32(h + 29);
    const size_t count = v1 ? h[29] : get_be16(h + 33);
    if (count > (v1 ? size_t{16} : QV_MS_UNOPENED_KEPT)) return 1;
    for (size_t i = 0; i < count; i++) {
        const uint8_t *p = r.take(8), *e = nullptr, *l = r.take(2);
        if (!p || !l) return 1;
        const uint16_t len = get_be16(l);
        if (len > QV_MS_UNOPENED_ENV_MAX || !(e = r.take(len))) return 1;
        // a file holds no more than each sender's share: none goes while it is read
        const uint32_t dropped = c->unopened_dropped;
        const int rc = kept_push(c, get_be64(p), e, len);
        c->unopened_dropped = dropped;
        if (rc != 0) return 1;
    }
    return r.left() ? 1 : 0;
}

/* ---- holding and setting aside --------------------------------------------- */

// A live conversation-key envelope at `position` did not open. Each sync
// sends a held envelope once, so its failures count the syncs it was tried
// in; those behind it come in the same streams and were tried as often.
int quorvane_msgstore_hold_at(quorvane_msgstore *ms, const uint8_t id[16], uint64_t position) {
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c) return -1;
    // no position to hold at, one passed already, or one tried while a hold ran out
    if (position == 0 || position <= c->sync_cursor || position <= c->aside_upto) return 1;
    int rc = 0;
    if (!c->hold_pos || position < c->hold_pos) {
        if (c->hold_pos > c->hold_high) c->hold_high = c->hold_pos;
        c->hold_pos = position;
        c->hold_tries = 1;
    } else if (position == c->hold_pos) {
        if (c->hold_tries < QV_MS_HOLD_TRIES) c->hold_tries++;
        if (c->hold_tries >= QV_MS_HOLD_TRIES) {
            c->aside_upto = c->hold_high > position ? c->hold_high : position;
            c->hold_pos = c->hold_high = 0;
            c->hold_tries = 0;
            rc = 1;
        }
    }
    if (c->hold_pos && position > c->hold_high) c->hold_high = position;
    if (c->hold_pos == position) c->hold_seen = 1;
    unopened_changed(c);
    return rc;
}

void quorvane_msgstore_sync_begun(quorvane_msgstore *ms) {
    if (!ms) return;
    for (size_t i = 0; i < ms->conv_count; i++) ms->convs[i].hold_seen = 0;
    ms->sync_begun = 1;
}

size_t quorvane_msgstore_sync_ended(quorvane_msgstore *ms) {
    if (!ms || !ms->sync_begun) return 0;
    ms->sync_begun = 0;
    size_t ended = 0;
    for (size_t i = 0; i < ms->conv_count; i++) {
        quorvane_ms_conv &c = ms->convs[i];
        if (!c.hold_pos || c.hold_seen) continue;
        // what failed behind it comes again, and holds anew if it fails again
        c.hold_pos = c.hold_high = 0;
        c.hold_tries = 0;
        unopened_changed(&c);
        ended++;
    }
    return ended;
}

int quorvane_msgstore_unopened_keep(quorvane_msgstore *ms, const uint8_t id[16], uint64_t position, const uint8_t *env,
                                    size_t len) {
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c || (len && !env)) return -1;
    for (size_t i = 0; i < c->kept_count; i++)
        if (position && c->kept[i].position == position) return 0;  // a copy of one kept
    if (c->unopened < UINT32_MAX) c->unopened++;
    // longer than any plaintext sealed under a key: nothing will ever open it
    const int rc = len <= QV_MS_UNOPENED_ENV_MAX ? kept_push(c, position, env, len) : 0;
    if (rc < 0) return -1;
    unopened_changed(c);
    return rc;
}

uint32_t quorvane_msgstore_unopened_dropped(const quorvane_msgstore *ms, const uint8_t id[16]) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    return c ? c->unopened_dropped : 0;
}

uint64_t quorvane_msgstore_hold_position(const quorvane_msgstore *ms, const uint8_t id[16]) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    return c ? c->hold_pos : 0;
}

uint32_t quorvane_msgstore_unopened_count(const quorvane_msgstore *ms, const uint8_t id[16]) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    return c ? c->unopened : 0;
}

size_t quorvane_msgstore_unopened_kept(const quorvane_msgstore *ms, const uint8_t id[16]) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    return c ? c->kept_count : 0;
}

int quorvane_msgstore_unopened_at(const quorvane_msgstore *ms, const uint8_t id[16], size_t index, uint64_t *position,
                                  const uint8_t **env, size_t *len) {
    const quorvane_ms_conv *c = find_conv(ms, id);
    if (!c || index >= c->kept_count || !position || !env || !len) return -1;
    *position = c->kept[index].position;
    *env = c->kept[index].env;
    *len = c->kept[index].len;
    return 0;
}

int quorvane_msgstore_unopened_drop(quorvane_msgstore *ms, const uint8_t id[16], uint64_t position) {
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c) return -1;
    for (size_t i = 0; i < c->kept_count; i++)
        if (c->kept[i].position == position) {
            kept_remove_at(c, i);
            unopened_changed(c);
            return 1;
        }
    return 0;
}
