// Ratchet, prekey and identity files: per-peer ratchet states and their
// previous slots, the session-initiation id ring, prekeys and the
// first-seen identity list.
#include "client_msgstore_internal.h"

#include "n_hex.h"
#include "n_log.h"

#include <cstdio>
#include <climits>
#include <dirent.h>
#include <sys/stat.h>

using namespace qv_ms;

namespace {

/* ---- per-peer files ------------------------------------------------------ */

struct peer_file {
    char    path[PATH_BUF];
    uint8_t label[PEER_LABEL];
    size_t  label_len;
};

// slot < 0: the current ratchet "r_"; 0 or 1: a previous one "rp<slot>_".
int peer_file_of(const quorvane_msgstore *ms, const uint8_t *conv, const uint8_t *dev, int slot, peer_file *f) {
    char hc[HEX_ID + 1], hd[HEX_DEVICE + 1];
    if (n_hex_encode_to(hc, sizeof hc, conv, QV_MS_ID_LEN) != HEX_ID) return -1;
    if (n_hex_encode_to(hd, sizeof hd, dev, QV_MS_DEVICE_LEN) != HEX_DEVICE) return -1;
    int r = slot < 0 ? snprintf(f->path, sizeof f->path, "%s/r_%s_%s.dat", ms->dir, hc, hd)
                     : snprintf(f->path, sizeof f->path, "%s/rp%u_%s_%s.dat", ms->dir, unsigned(slot), hc, hd);
    if (r <= 0 || size_t(r) >= sizeof f->path) return -1;
    std::string_view head = slot < 0 ? MS_LABEL_RATCHET : MS_LABEL_RPREV;
    uint8_t *p = f->label;
    memcpy(p, head.data(), head.size());
    p += head.size();
    if (slot >= 0) *p++ = uint8_t(slot);
    memcpy(p, conv, QV_MS_ID_LEN);
    memcpy(p + QV_MS_ID_LEN, dev, QV_MS_DEVICE_LEN);
    f->label_len = size_t(p + QV_MS_ID_LEN + QV_MS_DEVICE_LEN - f->label);
    return 0;
}

bool lower_hex(const char *s, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (!((s[i] >= '0' && s[i] <= '9') || (s[i] >= 'a' && s[i] <= 'f'))) return false;
    return true;
}

bool ends_with(const char *s, size_t n, const char *suffix, size_t m) { return n >= m && memcmp(s + n - m, suffix, m) == 0; }


// The ring as stored; an absent or invalid file gives an empty ring. false
// when the file could not be read for lack of memory: what it holds is then
// unknown.
bool rinit_load(quorvane_msgstore *ms, quorvane_ms_rinit *ring) {
    memset(ring, 0, sizeof *ring);
    char path[PATH_BUF];
    wbuf pt;
    bool no_mem = false;
    if (file_path(ms, MS_FILE_RINIT, path) != 0 || !read_into(ms, path, MS_LABEL_RINIT, &pt, &no_mem)) return !no_mem;
    if (quorvane_ms_rinit_decode(pt.p, pt.n, ring) != 0) mark_unread(ms, path, "is not an id ring this program reads");
    return true;
}

// Reads a whole opaque file into the caller's buffer; 0 when it is absent,
// unusable or larger than cap.
size_t get_opaque(quorvane_msgstore *ms, const char *path, const uint8_t *label, size_t label_len, uint8_t *buf,
                  size_t cap) {
    wbuf pt;
    if (!read_into(ms, path, label, label_len, &pt) || pt.n > cap) return 0;
    if (pt.n) memcpy(buf, pt.p, pt.n);
    return pt.n;
}

}  // namespace

namespace qv_ms {

int write_idents(quorvane_msgstore *ms) {
    char path[PATH_BUF];
    if (file_path(ms, MS_FILE_IDENTS, path) != 0) return -1;
    wbuf pt(QV_MS_IDENTS_HDR + QV_MS_IDENT_LEN * ms->ident_count);
    if (!pt.p) return -1;
    pt.p[0] = QV_MS_IDENTS_VERSION;
    put_be32(pt.p + 1, uint32_t(ms->ident_count));
    if (ms->ident_count) memcpy(pt.p + QV_MS_IDENTS_HDR, ms->idents, QV_MS_IDENT_LEN * ms->ident_count);
    if (store_write(ms, path, MS_LABEL_IDENTS, pt.p, pt.n) != 0) return -1;
    ms->idents_dirty = 0;
    return 0;
}

void load_idents(quorvane_msgstore *ms) {
    char path[PATH_BUF];
    wbuf pt;
    if (file_path(ms, MS_FILE_IDENTS, path) != 0 || !read_into(ms, path, MS_LABEL_IDENTS, &pt)) return;
    long count = quorvane_ms_idents_decode(pt.p, pt.n, nullptr, 0);
    if (count < 0) {
        mark_unread(ms, path, "is not an identity list this program reads");
        return;
    }
    size_t cap = 16;
    while (cap < size_t(count)) cap *= 2;
    auto *ids = static_cast<quorvane_ms_ident *>(calloc(cap, sizeof(quorvane_ms_ident)));
    if (!ids) {
        mark_unread(ms, path, "cannot be loaded (out of memory)");
        return;
    }
    ms->ident_count = size_t(quorvane_ms_idents_decode(pt.p, pt.n, ids, cap));
    ms->idents = ids;
    ms->ident_cap = cap;
}

}  // namespace qv_ms

/* ---- plaintext decoders -------------------------------------------------- */

long quorvane_ms_idents_decode(const uint8_t *pt, size_t n, quorvane_ms_ident *out, size_t cap) {
    if (!pt || n <= 4 || pt[0] != QV_MS_IDENTS_VERSION || n < QV_MS_IDENTS_HDR) return -1;
    size_t count = get_be32(pt + 1);
    if (count > QV_MS_IDENT_MAX) count = QV_MS_IDENT_MAX;
    if (count == 0 || (n - QV_MS_IDENTS_HDR) / QV_MS_IDENT_LEN < count) return -1;
    if (out) {
        size_t take = count < cap ? count : cap;
        memcpy(out, pt + QV_MS_IDENTS_HDR, take * QV_MS_IDENT_LEN);
    }
    return long(count);
}

int quorvane_ms_rinit_decode(const uint8_t *pt, size_t n, quorvane_ms_rinit *out) {
    if (!out) return -1;
    memset(out, 0, sizeof *out);
    if (!pt || n < QV_MS_RINIT_HDR || n > QV_MS_RINIT_MAX) return -1;
    size_t next = get_be16(pt), count = get_be16(pt + 2);
    if (count > QV_MS_RINIT_SLOTS || next >= QV_MS_RINIT_SLOTS || n != QV_MS_RINIT_HDR + QV_MS_ID_LEN * count) return -1;
    out->next = uint16_t(next);
    out->count = uint16_t(count);
    if (count) memcpy(out->ids, pt + QV_MS_RINIT_HDR, QV_MS_ID_LEN * count);
    return 0;
}

size_t quorvane_ms_rprev_decode(const uint8_t *pt, size_t n, uint64_t *value, const uint8_t **state) {
    if (value) *value = 0;
    if (state) *state = nullptr;
    if (!pt || n <= QV_MS_RPREV_VALUE_LEN) return 0;
    if (value) *value = get_be64(pt);
    if (state) *state = pt + QV_MS_RPREV_VALUE_LEN;
    return n - QV_MS_RPREV_VALUE_LEN;
}

/* ---- ratchet states ------------------------------------------------------ */

// Session states, prekey sets and the answered-preamble ring are keys: a batch
// never holds them back, and what the batch holds goes to disk before them,
// so no stepped session is ever on disk ahead of the message it opened.
static int marked_first(quorvane_msgstore *ms) { return ms->batch_depth ? write_due(ms) : 0; }

int quorvane_msgstore_put_ratchet(quorvane_msgstore *ms, const uint8_t conv_id[16], const uint8_t device[32],
                                  const uint8_t *state, size_t len) {
    peer_file f;
    if (!ms || !conv_id || !device || !state || peer_file_of(ms, conv_id, device, -1, &f) != 0) return -1;
    if (marked_first(ms) != 0) return -1;
    return store_write(ms, f.path, f.label, f.label_len, state, len);
}

int quorvane_msgstore_has_ratchet(const quorvane_msgstore *ms, const uint8_t conv_id[16], const uint8_t device[32]) {
    peer_file f;
    if (!ms || !conv_id || !device || peer_file_of(ms, conv_id, device, -1, &f) != 0) return 0;
    struct stat st;
    return lstat(f.path, &st) == 0 ? 1 : 0;
}

size_t quorvane_msgstore_get_ratchet(quorvane_msgstore *ms, const uint8_t conv_id[16], const uint8_t device[32],
                                     uint8_t *buf, size_t cap) {
    peer_file f;
    if (!ms || !conv_id || !device || !buf || peer_file_of(ms, conv_id, device, -1, &f) != 0) return 0;
    return get_opaque(ms, f.path, f.label, f.label_len, buf, cap);
}

int quorvane_msgstore_drop_ratchet(quorvane_msgstore *ms, const uint8_t conv_id[16], const uint8_t device[32]) {
    if (!ms) return -1;
    if (!conv_id || !device) return 1;
    peer_file f;
    if (peer_file_of(ms, conv_id, device, -1, &f) != 0) return -1;
    int rc = store_remove(ms, f.path);
    if (rc == 0) sync_dir(ms->dir);
    return rc;
}

int quorvane_msgstore_put_ratchet_prev(quorvane_msgstore *ms, const uint8_t conv_id[16], const uint8_t device[32],
                                       unsigned slot, uint64_t value, const uint8_t *state, size_t len) {
    peer_file f;
    if (!ms || !conv_id || !device || !state || slot >= QV_MS_RPREV_SLOTS) return -1;
    if (len > QV_MS_FILE_MAX || peer_file_of(ms, conv_id, device, int(slot), &f) != 0) return -1;
    wbuf pt(QV_MS_RPREV_VALUE_LEN + len);
    if (!pt.p) return -1;
    if (marked_first(ms) != 0) return -1;
    put_be64(pt.p, value);
    if (len) memcpy(pt.p + QV_MS_RPREV_VALUE_LEN, state, len);
    return store_write(ms, f.path, f.label, f.label_len, pt.p, pt.n);
}

size_t quorvane_msgstore_get_ratchet_prev(quorvane_msgstore *ms, const uint8_t conv_id[16], const uint8_t device[32],
                                          unsigned slot, uint64_t *value, uint8_t *buf, size_t cap) {
    if (value) *value = 0;
    peer_file f;
    if (!ms || !conv_id || !device || !buf || slot >= QV_MS_RPREV_SLOTS) return 0;
    if (peer_file_of(ms, conv_id, device, int(slot), &f) != 0) return 0;
    wbuf pt;
    if (!read_into(ms, f.path, f.label, f.label_len, &pt)) return 0;
    uint64_t v = 0;
    const uint8_t *state = nullptr;
    size_t len = quorvane_ms_rprev_decode(pt.p, pt.n, &v, &state);
    if (len == 0 || len > cap) return 0;
    memcpy(buf, state, len);
    if (value) *value = v;
    return len;
}

void quorvane_msgstore_drop_ratchet_prev(quorvane_msgstore *ms, const uint8_t conv_id[16], const uint8_t device[32],
                                         unsigned slot) {
    peer_file f;
    if (!ms || !conv_id || !device || slot >= QV_MS_RPREV_SLOTS || peer_file_of(ms, conv_id, device, int(slot), &f) != 0)
        return;
    if (store_remove(ms, f.path) == 0) sync_dir(ms->dir);
}

// Names found in the store directory are outside input like file contents:
// anything may lie there, so only exact, lower-case names are taken.
int quorvane_ms_ratchet_name_parse(const char *name, const uint8_t conv_id[16], uint8_t device_out[32]) {
    if (!name || !conv_id || !device_out) return 0;
    const size_t n = strnlen(name, RATCHET_NAME + 1);
    if (n != RATCHET_NAME || name[0] != 'r' || name[1] != '_' || name[RATCHET_PREFIX - 1] != '_' ||
        !ends_with(name, n, ".dat", 4))
        return 0;
    char hc[HEX_ID + 1];
    if (n_hex_encode_to(hc, sizeof hc, conv_id, QV_MS_ID_LEN) != HEX_ID || memcmp(name + 2, hc, HEX_ID) != 0) return 0;
    if (!lower_hex(name + RATCHET_PREFIX, HEX_DEVICE)) return 0;
    return n_hex_decode_to(device_out, QV_MS_DEVICE_LEN, name + RATCHET_PREFIX, QV_MS_DEVICE_LEN) == 1 ? 1 : 0;
}

int quorvane_ms_peer_name_of_device(const char *name, const uint8_t device[32]) {
    if (!name || !device) return 0;
    char suffix[1 + HEX_DEVICE + 4 + 1] = "_";
    if (n_hex_encode_to(suffix + 1, sizeof suffix - 1, device, QV_MS_DEVICE_LEN) != HEX_DEVICE) return 0;
    memcpy(suffix + 1 + HEX_DEVICE, ".dat", 5);
    const size_t sl = sizeof suffix - 1, n = strnlen(name, NAME_MAX + 1);  // a file name, as a directory entry holds it
    return n > sl && name[0] == 'r' && (name[1] == '_' || name[1] == 'p') && ends_with(name, n, suffix, sl) ? 1 : 0;
}

size_t quorvane_msgstore_ratchet_devices(const quorvane_msgstore *ms, const uint8_t conv_id[16], uint8_t (*out)[32],
                                         size_t cap) {
    if (!ms || !conv_id) return 0;
    DIR *d = opendir(ms->dir);
    if (!d) return 0;
    size_t found = 0;
    uint8_t dev[QV_MS_DEVICE_LEN];
    while (struct dirent *e = readdir(d)) {
        if (!quorvane_ms_ratchet_name_parse(e->d_name, conv_id, dev)) continue;
        if (out && found < cap) memcpy(out[found], dev, QV_MS_DEVICE_LEN);
        found++;
    }
    closedir(d);
    return found;
}

int quorvane_msgstore_drop_ratchet_device(quorvane_msgstore *ms, const uint8_t device[32]) {
    if (!ms || !device) return 0;
    int removed = 0;
    // removing while walking may hide entries from the same walk: walk again
    // until a pass finds nothing
    for (;;) {
        DIR *d = opendir(ms->dir);
        if (!d) break;
        int pass = 0;
        while (struct dirent *e = readdir(d)) {
            if (!quorvane_ms_peer_name_of_device(e->d_name, device)) continue;
            char path[PATH_BUF];
            if (file_path(ms, e->d_name, path) == 0 && store_remove(ms, path) == 0) pass++;
        }
        closedir(d);
        if (pass == 0) break;
        removed += pass;
    }
    if (removed) sync_dir(ms->dir);
    return removed;
}

/* ---- session-initiation ids, prekeys, identities ------------------------- */

int quorvane_msgstore_rinit_seen(quorvane_msgstore *ms, const uint8_t id[16]) {
    if (!ms || !id) return 0;
    // an id that could not be checked counts as seen: a replayed session
    // initiation must not get through because memory ran short
    auto *ring = n_calloc(ring, 1, quorvane_ms_rinit);
    if (!ring) return 1;
    int seen = rinit_load(ms, ring) ? 0 : 1;
    for (size_t i = 0; i < ring->count && !seen; i++) seen = memcmp(ring->ids[i], id, QV_MS_ID_LEN) == 0;
    quorvane_cleanse(ring, sizeof *ring);
    free(ring);
    return seen;
}

int quorvane_msgstore_rinit_note(quorvane_msgstore *ms, const uint8_t id[16]) {
    if (!ms || !id) return -1;
    char path[PATH_BUF];
    if (file_path(ms, MS_FILE_RINIT, path) != 0) return -1;
    auto *ring = n_calloc(ring, 1, quorvane_ms_rinit);
    wbuf pt(QV_MS_RINIT_MAX);
    int rc = -1;
    // a ring that could not be read is not rewritten with this one id alone
    if (ring && pt.p && marked_first(ms) == 0 && rinit_load(ms, ring)) {
        size_t at = ring->next;
        memcpy(ring->ids[at], id, QV_MS_ID_LEN);
        ring->next = uint16_t((at + 1) % QV_MS_RINIT_SLOTS);
        if (ring->count < at + 1) ring->count = uint16_t(at + 1);
        put_be16(pt.p, ring->next);
        put_be16(pt.p + 2, ring->count);
        memcpy(pt.p + QV_MS_RINIT_HDR, ring->ids, QV_MS_ID_LEN * ring->count);
        rc = store_write(ms, path, MS_LABEL_RINIT, pt.p, QV_MS_RINIT_HDR + QV_MS_ID_LEN * ring->count);
    }
    if (ring) quorvane_cleanse(ring, sizeof *ring);
    free(ring);
    return rc;
}

int quorvane_msgstore_put_prekeys(quorvane_msgstore *ms, const uint8_t *data, size_t len) {
    char path[PATH_BUF];
    if (!ms || !data || file_path(ms, MS_FILE_PREKEYS, path) != 0 || marked_first(ms) != 0) return -1;
    return store_write(ms, path, MS_LABEL_PREKEYS, data, len);
}

size_t quorvane_msgstore_get_prekeys(quorvane_msgstore *ms, uint8_t *buf, size_t cap) {
    char path[PATH_BUF];
    if (!ms || !buf || file_path(ms, MS_FILE_PREKEYS, path) != 0) return 0;
    return get_opaque(ms, path, reinterpret_cast<const uint8_t *>(MS_LABEL_PREKEYS.data()), MS_LABEL_PREKEYS.size(), buf,
                      cap);
}

int quorvane_msgstore_identity_tofu(quorvane_msgstore *ms, const uint8_t user_id[16], const uint8_t key[32]) {
    if (!ms || !user_id || !key) return -2;
    for (size_t i = 0; i < ms->ident_count; i++)
        if (memcmp(ms->idents[i].user_id, user_id, QV_MS_ID_LEN) == 0)
            return quorvane_ct_eq(ms->idents[i].key, key, QV_KEY_LEN) ? 1 : -1;
    if (ms->ident_count >= QV_MS_IDENT_MAX) return -2;
    if (ms->ident_count == ms->ident_cap) {
        size_t cap = ms->ident_cap ? ms->ident_cap * 2 : 16;
        auto *grown = static_cast<quorvane_ms_ident *>(calloc(cap, sizeof(quorvane_ms_ident)));
        if (!grown) return -2;
        if (ms->ident_count) memcpy(grown, ms->idents, ms->ident_count * sizeof(quorvane_ms_ident));
        if (ms->idents) quorvane_cleanse(ms->idents, ms->ident_cap * sizeof(quorvane_ms_ident));
        free(ms->idents);
        ms->idents = grown;
        ms->ident_cap = cap;
    }
    quorvane_ms_ident &e = ms->idents[ms->ident_count++];
    memcpy(e.user_id, user_id, QV_MS_ID_LEN);
    memcpy(e.key, key, QV_KEY_LEN);
    // inside a batch the list is written at its end, before the conversation
    // list that names the member: a crash loses both, and the next sync brings
    // the member back to be seen first again
    if (ms->batch_depth) {
        ms->idents_dirty = 1;
        return 0;
    }
    if (write_idents(ms) != 0) {
        quorvane_cleanse(&e, sizeof e);
        ms->ident_count--;
        return -2;
    }
    return 0;
}

