#include "client_msgstore.h"

#include "client_instbar.h"
#include "n_files.h"
#include "n_hex.h"
#include "n_log.h"
#include "quorvane_safety.h"
#include "quorvane_sidx.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// A store file that exists but cannot be used (it does not authenticate, is
// cut short, or is of a version this program does not read) is never
// replaced in place: its path is remembered here when it is read, and the
// next write of that path first keeps the old bytes under an aside name.
struct quorvane_ms_unread {
    quorvane_ms_unread *next;
    char path[];
};

namespace {

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

std::atomic<int> g_write_version{QV_MS_CONVS_VERSION};

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

void put_be16(uint8_t *p, uint16_t v) { p[0] = uint8_t(v >> 8); p[1] = uint8_t(v); }
void put_be32(uint8_t *p, uint32_t v) { for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (24 - 8 * i)); }
void put_be64(uint8_t *p, uint64_t v) { for (int i = 0; i < 8; i++) p[i] = uint8_t(v >> (56 - 8 * i)); }
uint16_t get_be16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }
uint32_t get_be32(const uint8_t *p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint64_t get_be64(const uint8_t *p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; i++) v = v << 8 | p[i];
    return v;
}

uint64_t now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
}

// Text cut to max bytes into a zeroed field of max + 1; null reads as empty.
void copy_cut(char *dst, size_t max, const char *src) {
    memset(dst, 0, max + 1);
    if (!src) return;
    size_t n = strnlen(src, max);
    memcpy(dst, src, n);
}

// Into a caller buffer, cut to size - 1; a null buffer or size 0 is skipped.
void copy_out(char *dst, size_t size, const char *src, size_t len) {
    if (!dst || !size) return;
    size_t n = len < size - 1 ? len : size - 1;
    memcpy(dst, src, n);
    dst[n] = '\0';
}

int file_path(const quorvane_msgstore *ms, const char *name, char out[PATH_BUF]) {
    int r = snprintf(out, PATH_BUF, "%s/%s", ms->dir, name);
    return r > 0 && size_t(r) < PATH_BUF ? 0 : -1;
}

// Best-effort durability of names after a removal: the removal has happened
// whatever the sync says.
void sync_dir(const char *dir) {
    if (!n_dir_sync(dir)) n_log(LOG_ERR, "msgstore: cannot sync the directory %s: %s", dir, strerror(errno));
}

/* ---- files found present but unusable ------------------------------------ */

quorvane_ms_unread **unread_find(quorvane_msgstore *ms, const char *path) {
    for (quorvane_ms_unread **u = &ms->unread; *u; u = &(*u)->next)
        if (strcmp((*u)->path, path) == 0) return u;
    return nullptr;
}

bool is_unread(const quorvane_msgstore *ms, const char *path) {
    for (const quorvane_ms_unread *u = ms->unread; u; u = u->next)
        if (strcmp(u->path, path) == 0) return true;
    return false;
}

void mark_unread(quorvane_msgstore *ms, const char *path, const char *why) {
    if (unread_find(ms, path)) return;
    size_t n = strlen(path);
    auto *u = static_cast<quorvane_ms_unread *>(malloc(sizeof(quorvane_ms_unread) + n + 1));
    if (!u) {
        n_log(LOG_ERR, "msgstore: out of memory noting %s as unreadable: its next write replaces it", path);
        return;
    }
    memcpy(u->path, path, n + 1);
    u->next = ms->unread;
    ms->unread = u;
    n_log(LOG_ERR, "msgstore: %s %s; it is kept and set aside before it is written again", path, why);
}

void unmark_unread(quorvane_msgstore *ms, const char *path) {
    quorvane_ms_unread **u = unread_find(ms, path);
    if (!u) return;
    quorvane_ms_unread *gone = *u;
    *u = gone->next;
    free(gone);
}

// Gives the current file at path a second name "<path>.unread-<ms>" (a hard
// link, so the target never disappears; a rename where links are refused).
// A target that is already gone needs nothing. -1: nothing could be kept.
int set_aside(const char *path, bool by_rename) {
    uint64_t ms = now_ms();
    char aside[PATH_BUF];
    for (unsigned k = 0; k < ASIDE_TRIES; k++) {
        int r = k ? snprintf(aside, sizeof aside, "%s%s%" PRIu64 "-%u", path, MS_UNREAD_SUFFIX, ms, k)
                  : snprintf(aside, sizeof aside, "%s%s%" PRIu64, path, MS_UNREAD_SUFFIX, ms);
        if (r <= 0 || size_t(r) >= sizeof aside) return -1;
        int rc = by_rename ? renameat2(AT_FDCWD, path, AT_FDCWD, aside, RENAME_NOREPLACE) : link(path, aside);
        if (rc == 0) {
            n_log(LOG_ERR, "msgstore: unreadable %s kept as %s", path, aside);
            return 0;
        }
        if (errno == ENOENT) return 0;
        if (errno == EEXIST) continue;
        if (!by_rename && (errno == EPERM || errno == EOPNOTSUPP || errno == EMLINK)) return set_aside(path, true);
        break;
    }
    n_log(LOG_ERR, "msgstore: cannot keep unreadable %s aside: %s", path, strerror(errno));
    return -1;
}

/* ---- atomic replacement and sealing -------------------------------------- */

// Replaces path through "<path>.tmp": written with write(2) (there is no
// stream buffer to flush), synced, renamed, and the directory synced so that
// the rename itself survives a power cut. With keep_old the current file gets
// an aside name first. -1: nothing replaced, the old file is in place. 0: the
// new file is in place. A failed directory sync after the rename is logged
// and still 0: every reader, this process and the next open alike, already
// finds the new file, so a caller that undid its change on -1 would leave
// memory and disk disagreeing.
int atomic_write(const char *path, const uint8_t *data, size_t len, bool keep_old) {
    char tmp[PATH_BUF];
    int r = snprintf(tmp, sizeof tmp, "%s.tmp", path);
    if (r <= 0 || size_t(r) > QV_MS_TMP_PATH_MAX) return -1;
    int fd = n_file_create_scratch(tmp, 0600, N_SCRATCH_REFUSE_LINK);
    if (fd < 0) {
        n_log(LOG_ERR, "msgstore: cannot create %s: %s", tmp, strerror(errno));
        return -1;
    }
    bool ok = fchmod(fd, 0600) == 0;  // the umask may have taken bits off a file we must still read
    if (ok && !n_fd_write_all(fd, data, len)) ok = false;
    if (ok && fsync(fd) != 0) ok = false;
    if (close(fd) != 0) ok = false;
    if (ok && keep_old && set_aside(path, false) != 0) ok = false;
    if (ok && rename(tmp, path) != 0) ok = false;
    if (!ok) {
        n_log(LOG_ERR, "msgstore: cannot replace %s: %s", path, strerror(errno));
        unlink(tmp);
        return -1;
    }
    if (!n_dir_sync_parent(path))
        n_log(LOG_ERR, "msgstore: %s replaced, but its directory could not be synced: %s", path, strerror(errno));
    return 0;
}

// salt (16) | ciphertext (n) | tag (16), sealed with the file's label.
int store_write(quorvane_msgstore *ms, const char *path, const uint8_t *label, size_t label_len, const uint8_t *pt,
                size_t n) {
    if (n > QV_MS_FILE_MAX - QV_MS_SEAL_OVERHEAD) return -1;
    wbuf out(n + QV_MS_SEAL_OVERHEAD);
    if (!out.p) return -1;
    uint8_t *salt = out.p, *ct = out.p + QV_SALT_LEN, *tag = ct + n;
    if (quorvane_random(salt, QV_SALT_LEN) != 0) return -1;
    if (quorvane_msg_seal(ms->key, SEAL_COUNTER, salt, label, label_len, pt, n, ct, tag) != 0) return -1;
    bool keep = is_unread(ms, path);
    if (atomic_write(path, out.p, out.n, keep) != 0) return -1;
    if (keep) unmark_unread(ms, path);
    return 0;
}

int store_write(quorvane_msgstore *ms, const char *path, std::string_view label, const uint8_t *pt, size_t n) {
    return store_write(ms, path, reinterpret_cast<const uint8_t *>(label.data()), label.size(), pt, n);
}

// The plaintext in a new buffer (one byte for n = 0) that the caller wipes
// and frees, or null for a file that is absent or unusable. An unusable file
// that exists is remembered so that its next write keeps it aside; so is one
// that could not be read for lack of memory (then *no_mem is set), since its
// caller takes it for absent and would otherwise replace good bytes.
uint8_t *store_read(quorvane_msgstore *ms, const char *path, const uint8_t *label, size_t label_len, size_t *n_out,
                    bool *no_mem) {
    *n_out = 0;
    if (no_mem) *no_mem = false;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT && errno != ENOTDIR) mark_unread(ms, path, "cannot be opened");
        return nullptr;
    }
    struct stat st;
    const char *why = nullptr;
    wbuf file;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) why = "is not a readable file";
    else if (size_t(st.st_size) < QV_MS_SEAL_OVERHEAD) why = "is shorter than 32 bytes";
    else if (uint64_t(st.st_size) > QV_MS_FILE_MAX) why = "is too large";
    else {
        file.p = n_calloc(file.p, size_t(st.st_size), uint8_t);
        file.n = size_t(st.st_size);
        size_t done = 0;
        while (file.p && done < file.n) {
            ssize_t r = read(fd, file.p + done, file.n - done);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            done += size_t(r);
        }
        if (!file.p) {
            why = "cannot be read (out of memory)";
            if (no_mem) *no_mem = true;
        } else if (done != file.n) {
            why = "is cut short";
        }
    }
    close(fd);
    if (why) {
        mark_unread(ms, path, why);
        return nullptr;
    }
    size_t n = file.n - QV_MS_SEAL_OVERHEAD;
    auto *pt = n_calloc(pt, n ? n : 1, uint8_t);
    if (!pt) {
        if (no_mem) *no_mem = true;
        mark_unread(ms, path, "cannot be read (out of memory)");
        return nullptr;
    }
    const uint8_t *salt = file.p, *ct = file.p + QV_SALT_LEN, *tag = ct + n;
    if (quorvane_msg_open(ms->key, SEAL_COUNTER, salt, label, label_len, ct, n, tag, pt) != 0) {
        free(pt);
        mark_unread(ms, path, "does not authenticate");
        return nullptr;
    }
    unmark_unread(ms, path);
    *n_out = n;
    return pt;
}

// store_read into a wiping buffer.
bool read_into(quorvane_msgstore *ms, const char *path, const uint8_t *label, size_t label_len, wbuf *out,
               bool *no_mem = nullptr) {
    out->reset();
    size_t n = 0;
    out->p = store_read(ms, path, label, label_len, &n, no_mem);
    out->n = n;
    return out->p != nullptr;
}

bool read_into(quorvane_msgstore *ms, const char *path, std::string_view label, wbuf *out, bool *no_mem = nullptr) {
    return read_into(ms, path, reinterpret_cast<const uint8_t *>(label.data()), label.size(), out, no_mem);
}

// Removes a store file; one remembered as unreadable is renamed aside instead.
int store_remove(quorvane_msgstore *ms, const char *path) {
    if (is_unread(ms, path)) {
        if (set_aside(path, true) != 0) return -1;
        unmark_unread(ms, path);
        return 0;
    }
    return unlink(path) == 0 ? 0 : -1;
}

// store_remove for a file whose contents must not outlive the change that
// removes them: true once nothing is left at path.
bool remove_gone(quorvane_msgstore *ms, const char *path) {
    struct stat st;
    if (store_remove(ms, path) == 0 || (lstat(path, &st) != 0 && errno == ENOENT)) return true;
    n_log(LOG_ERR, "msgstore: cannot remove %s: %s", path, strerror(errno));
    return false;
}

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

bool all_zero(const uint8_t *p, size_t n) {
    uint8_t acc = 0;
    for (size_t i = 0; i < n; i++) acc |= p[i];
    return acc == 0;
}

bool same_id(const uint8_t *a, const uint8_t *b) { return memcmp(a, b, QV_MS_ID_LEN) == 0; }

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
    if (count < *cap) return true;
    if (*cap >= QV_MS_CONV_MAX) return false;
    size_t want = *cap ? *cap * 2 : QV_MS_CONV_FIRST_CAP;
    if (want > QV_MS_CONV_MAX) want = QV_MS_CONV_MAX;
    auto *grown = static_cast<quorvane_ms_conv *>(calloc(want, sizeof(quorvane_ms_conv)));
    if (!grown) return false;
    if (*arr) {
        memcpy(grown, *arr, count * sizeof(quorvane_ms_conv));
        quorvane_cleanse(*arr, *cap * sizeof(quorvane_ms_conv));
        free(*arr);
    }
    *arr = grown;
    *cap = want;
    return true;
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
        free(m->text);
    }
    m->text = nullptr;
    m->text_len = 0;
}

// Texts wiped and freed, both arrays released.
void drop_msgs(quorvane_ms_conv *c) {
    for (size_t i = 0; i < c->msg_count; i++) msg_free_text(&c->msgs[i]);
    free(c->msgs);
    c->msgs = nullptr;
    c->msg_count = c->msg_alloc = 0;
    if (c->reactions) quorvane_cleanse(c->reactions, c->reaction_alloc * sizeof(quorvane_ms_reaction));
    free(c->reactions);
    c->reactions = nullptr;
    c->reaction_count = c->reaction_alloc = 0;
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
        w.raw(m.user_id, QV_MS_ID_LEN);
        w.raw(m.identity_key, QV_KEY_LEN);
        w.raw(m.second_key, QV_KEY_LEN);
        w.u8(m.role);
        w.text8(m.name, QV_MS_NAME_MAX);
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
int write_convs(quorvane_msgstore *ms) {
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
    // the file now carries every cursor noted so far
    ms->cursor_dirty = 0;
    return 0;
}

/* ---- message and archive files ------------------------------------------- */

struct conv_file {
    char    path[PATH_BUF];
    uint8_t label[MS_LABEL_MSGS.size() + QV_MS_ID_LEN];
    size_t  label_len;
};
static_assert(MS_LABEL_MSGS.size() == MS_LABEL_ARCH.size());

// "m_" conv ".dat" or "a_" conv ".dat" with its label.
int conv_file_of(const quorvane_msgstore *ms, const uint8_t *id, bool archive, conv_file *f) {
    char hc[HEX_ID + 1];
    if (n_hex_encode_to(hc, sizeof hc, id, QV_MS_ID_LEN) != HEX_ID) return -1;
    int r = snprintf(f->path, sizeof f->path, "%s/%c_%s.dat", ms->dir, archive ? 'a' : 'm', hc);
    if (r <= 0 || size_t(r) >= sizeof f->path) return -1;
    std::string_view head = archive ? MS_LABEL_ARCH : MS_LABEL_MSGS;
    memcpy(f->label, head.data(), head.size());
    memcpy(f->label + head.size(), id, QV_MS_ID_LEN);
    f->label_len = head.size() + QV_MS_ID_LEN;
    return 0;
}

bool msgs_reserve(quorvane_ms_conv *c, size_t want) {
    if (want <= c->msg_alloc) return true;
    size_t cap = c->msg_alloc ? c->msg_alloc : QV_MS_MSGS_FIRST_CAP;
    while (cap < want) cap *= 2;
    auto *grown = static_cast<quorvane_ms_msg *>(realloc(c->msgs, cap * sizeof(quorvane_ms_msg)));
    if (!grown) return false;
    c->msgs = grown;
    c->msg_alloc = cap;
    return true;
}

bool reactions_reserve(quorvane_ms_conv *c, size_t want) {
    if (want <= c->reaction_alloc) return true;
    size_t cap = c->reaction_alloc ? c->reaction_alloc : QV_MS_REACTIONS_FIRST_CAP;
    while (cap < want) cap *= 2;
    // not realloc: it would free the old records unwiped
    auto *grown = static_cast<quorvane_ms_reaction *>(calloc(cap, sizeof(quorvane_ms_reaction)));
    if (!grown) return false;
    if (c->reactions) {
        memcpy(grown, c->reactions, c->reaction_count * sizeof(quorvane_ms_reaction));
        quorvane_cleanse(c->reactions, c->reaction_alloc * sizeof(quorvane_ms_reaction));
        free(c->reactions);
    }
    c->reactions = grown;
    c->reaction_alloc = cap;
    return true;
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
    for (size_t i = c->msg_count; i > 0; i--)
        if (c->msgs[i - 1].position <= position) return i;
    return 0;
}

// Takes ownership of m (and its text) on success; -1 when the array cannot grow.
long msg_push_at(quorvane_ms_conv *c, const quorvane_ms_msg &m) {
    if (!msgs_reserve(c, c->msg_count + 1)) return -1;
    size_t at = insert_index(c, m.position);
    memmove(c->msgs + at + 1, c->msgs + at, (c->msg_count - at) * sizeof(quorvane_ms_msg));
    c->msgs[at] = m;
    c->msg_count++;
    return long(at);
}

void msg_remove_at(quorvane_ms_conv *c, size_t at) {
    msg_free_text(&c->msgs[at]);
    memmove(c->msgs + at, c->msgs + at + 1, (c->msg_count - at - 1) * sizeof(quorvane_ms_msg));
    c->msg_count--;
}

bool reaction_push(quorvane_ms_conv *c, const quorvane_ms_reaction &r) {
    if (!reactions_reserve(c, c->reaction_count + 1)) return false;
    c->reactions[c->reaction_count++] = r;
    return true;
}

// Keeps the reactions for which keep() holds, in their order.
template <class F> void reactions_keep(quorvane_ms_conv *c, F keep) {
    size_t out = 0;
    for (size_t i = 0; i < c->reaction_count; i++)
        if (keep(c->reactions[i])) c->reactions[out++] = c->reactions[i];
    if (out < c->reaction_count) quorvane_cleanse(c->reactions + out, (c->reaction_count - out) * sizeof(quorvane_ms_reaction));
    c->reaction_count = out;
}

int write_conv_msgs(quorvane_msgstore *ms, const quorvane_ms_conv *c) {
    conv_file f;
    if (conv_file_of(ms, c->id, false, &f) != 0) return -1;
    size_t size = QV_MS_MSGS_HDR;
    for (size_t i = 0; i < c->msg_count; i++) size += QV_MS_MSG_FIXED + c->msgs[i].text_len;
    for (size_t i = 0; i < c->reaction_count; i++) size += QV_MS_REACTION_FIXED + c->reactions[i].name_len;
    wbuf pt(size);
    if (!pt.p) return -1;
    writer w{pt.p};
    w.u8(QV_MS_MSGS_VERSION);
    w.be32(uint32_t(c->msg_count));
    for (size_t i = 0; i < c->msg_count; i++) {
        const quorvane_ms_msg &m = c->msgs[i];
        w.raw(m.author, QV_MS_ID_LEN);
        w.be64(m.msg_id);
        w.be64(m.time);
        w.u8(m.type);
        w.u8(m.edited);
        w.be32(uint32_t(m.text_len));
        w.raw(m.text, m.text_len);
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
    if (size_t(w.p - pt.p) != size) return -1;
    return store_write(ms, f.path, f.label, f.label_len, pt.p, pt.n);
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

/* ---- the archive ----------------------------------------------------------- */

enum class arch_filter { none, keep_after, keep_other, keep_other_anydev };

struct arch_arg {
    uint64_t       cutoff;   // keep_after
    const uint8_t *author;   // keep_other, keep_other_anydev
    const uint8_t *device;   // keep_other
    uint64_t       msg_id;
};

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

// One message (author, device, id) as the archive orders its entries for lookup.
bool arch_entry_less(const quorvane_sidx_entry *a, const quorvane_sidx_entry *b) {
    if (a->msg_id != b->msg_id) return a->msg_id < b->msg_id;
    if (int r = memcmp(a->author, b->author, QV_MS_ID_LEN)) return r < 0;
    return memcmp(a->author_device, b->author_device, QV_MS_DEVICE_LEN) < 0;
}

// Rewrites the archive: the stored entries the filter keeps, then the new
// ones. When the entry limit or the record size is passed, the oldest go
// first, so that the newest history stays searchable. An archive that does
// not open or decode counts as empty (and is kept aside at this write). A
// stored entry that is added again is kept once, as the new one: a trim whose
// archive was written but whose message file was not (a crash between the
// two) trims the same messages at the next open.
int arch_rebuild(quorvane_msgstore *ms, const quorvane_ms_conv *c, arch_filter filter, const arch_arg &arg,
                 const quorvane_sidx_entry *add, size_t add_n) {
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
    auto **again = static_cast<const quorvane_sidx_entry **>(malloc((add_n + 1) * sizeof(quorvane_sidx_entry *)));
    if (!all || !again) {
        free(all);
        free(again);
        return -1;
    }
    for (size_t i = 0; i < add_n; i++) again[i] = &add[i];
    std::sort(again, again + add_n, arch_entry_less);
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
        if (arch_keep(filter, arg, e) && !std::binary_search(again, again + add_n, &e, arch_entry_less)) all[kept++] = e;
        else changed = true;
    }
    free(again);
    int rc = 0;
    if (!changed) {
        free(all);
        return 0;
    }
    if (add_n) memcpy(all + kept, add, add_n * sizeof *add);
    kept += add_n;
    size_t first = kept > QV_MS_ARCH_MAX ? kept - QV_MS_ARCH_MAX : 0;
    size_t text = 0;
    for (size_t i = first; i < kept; i++) text += all[i].text_len;
    while (first < kept && quorvane_sidx_encoded_size(kept - first, text) == 0) text -= all[first++].text_len;
    if (first == kept) {
        // synced as a write is, or a power cut could bring the entries back
        if ((have || is_unread(ms, f.path)) && store_remove(ms, f.path) == 0) sync_dir(ms->dir);
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

// The oldest messages beyond the limit go to the archive (not system
// messages or deletion marks), their reactions go, and their texts are
// wiped. 1 when something was trimmed, 0 when nothing was beyond the limit,
// -1 when the archive could not take them: then nothing is trimmed, since a
// message dropped without its archive entry would be lost, and the next
// successful trim archives them.
int trim_msgs(quorvane_msgstore *ms, quorvane_ms_conv *c, uint64_t limit) {
    if (limit == 0 || c->msg_count <= limit) return 0;
    size_t k = c->msg_count - size_t(limit);
    auto *add = static_cast<quorvane_sidx_entry *>(malloc(k * sizeof(quorvane_sidx_entry)));
    size_t add_n = 0;
    for (size_t i = 0; add && i < k; i++) {
        const quorvane_ms_msg &m = c->msgs[i];
        if (m.type == QV_MS_TYPE_SYSTEM || m.type == QV_MS_TYPE_DELETED || m.text_len > QV_MS_ARCH_TEXT_MAX) continue;
        quorvane_sidx_entry &e = add[add_n++];
        memcpy(e.author, m.author, QV_MS_ID_LEN);
        memcpy(e.author_device, m.author_device, QV_MS_DEVICE_LEN);
        e.position = m.position;
        e.msg_id = m.msg_id;
        e.time = m.time;
        e.type = m.type;
        e.edited = m.edited;
        e.text = m.text;
        e.text_len = m.text_len;
    }
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
    const quorvane_ms_msg *gone = c->msgs;
    reactions_keep(c, [&](const quorvane_ms_reaction &r) {
        for (size_t i = 0; i < k; i++)
            if (gone[i].msg_id == r.target_id && same_id(gone[i].author, r.target_author)) return false;
        return true;
    });
    for (size_t i = 0; i < k; i++) msg_free_text(&c->msgs[i]);
    memmove(c->msgs, c->msgs + k, (c->msg_count - k) * sizeof(quorvane_ms_msg));
    c->msg_count -= k;
    return 1;
}

uint64_t trim_limit(const quorvane_msgstore *ms, const quorvane_ms_conv *c) {
    if (ms->msg_cap == 0) return 0;
    uint64_t limit = ms->msg_cap + c->history_allowance;
    return limit < ms->msg_cap ? UINT64_MAX : limit;
}

/* ---- files loaded at open ------------------------------------------------ */

// A conversation's message file, trimmed to the cap as at open; a trimmed
// file is written back. Runs for every record read at open and for every
// record created later: a record may be new to the list while its history is
// still on disk (the list was unusable, cut short, or written without it),
// and a message added to an empty record would replace that file.
void load_history(quorvane_msgstore *ms, quorvane_ms_conv *c) {
    load_conv_msgs(ms, c);
    if (trim_msgs(ms, c, trim_limit(ms, c)) > 0 && write_conv_msgs(ms, c) != 0)
        n_log(LOG_ERR, "msgstore: trimmed message file could not be written back");
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

void load_self_profile(quorvane_msgstore *ms) {
    char path[PATH_BUF];
    wbuf pt;
    if (file_path(ms, MS_FILE_PROFILE, path) != 0 || !read_into(ms, path, MS_LABEL_PROFILE, &pt)) return;
    if (!quorvane_ms_profile_decode(pt.p, pt.n, &ms->self))
        mark_unread(ms, path, pt.n > 2 && pt.p[0] > QV_MS_PROFILE_VERSION ? "is of a newer version than this program reads"
                                                                           : "is not a profile this program reads");
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

/* ---- own profile and identity list --------------------------------------- */

int write_self_profile(quorvane_msgstore *ms) {
    char path[PATH_BUF];
    if (file_path(ms, MS_FILE_PROFILE, path) != 0) return -1;
    const quorvane_ms_profile &s = ms->self;
    size_t a = strnlen(s.name, QV_MS_NAME_MAX), b = strnlen(s.about, QV_MS_ABOUT_MAX), c = s.avatar_len;
    wbuf pt(QV_MS_PROFILE_MAX);
    if (!pt.p) return -1;
    uint8_t *p = pt.p;
    *p++ = QV_MS_PROFILE_VERSION;
    *p++ = uint8_t(a);
    memcpy(p, s.name, a);
    p += a;
    *p++ = uint8_t(b);
    memcpy(p, s.about, b);
    p += b;
    put_be16(p, uint16_t(c));
    memcpy(p + 2, s.avatar, c);
    p += 2 + c;
    put_be64(p, s.edit_time);
    p += 8;
    return store_write(ms, path, MS_LABEL_PROFILE, pt.p, size_t(p - pt.p));
}

int write_idents(quorvane_msgstore *ms) {
    char path[PATH_BUF];
    if (file_path(ms, MS_FILE_IDENTS, path) != 0) return -1;
    wbuf pt(QV_MS_IDENTS_HDR + QV_MS_IDENT_LEN * ms->ident_count);
    if (!pt.p) return -1;
    pt.p[0] = QV_MS_IDENTS_VERSION;
    put_be32(pt.p + 1, uint32_t(ms->ident_count));
    if (ms->ident_count) memcpy(pt.p + QV_MS_IDENTS_HDR, ms->idents, QV_MS_IDENT_LEN * ms->ident_count);
    return store_write(ms, path, MS_LABEL_IDENTS, pt.p, pt.n);
}

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

/* ---- plaintext decoders -------------------------------------------------- */

int quorvane_ms_profile_decode(const uint8_t *pt, size_t n, quorvane_ms_profile *out) {
    if (!out) return 0;
    memset(out, 0, sizeof *out);
    if (!pt || n <= 2 || pt[0] != QV_MS_PROFILE_VERSION) return 0;
    size_t pos = 1;
    size_t a = pt[pos++];
    if (a > QV_MS_NAME_MAX || n - pos <= a) return 1;
    memcpy(out->name, pt + pos, a);
    pos += a;
    size_t b = pt[pos++];
    if (b > QV_MS_ABOUT_MAX || n - pos < b) return 1;
    memcpy(out->about, pt + pos, b);
    pos += b;
    if (n - pos < 2) return 1;
    size_t c = get_be16(pt + pos);
    if (c > QV_MS_AVATAR_MAX || n - pos - 2 < c) return 1;
    memcpy(out->avatar, pt + pos + 2, c);
    out->avatar_len = uint16_t(c);
    pos += 2 + c;
    if (n - pos < 8) return 1;
    out->edit_time = get_be64(pt + pos);
    return 1;
}

int quorvane_ms_session_decode(const uint8_t *pt, size_t n, quorvane_ms_session *out) {
    if (!out) return -1;
    memset(out, 0, sizeof *out);
    if (!pt || n < QV_MS_SESSION_HDR || pt[0] != QV_MS_SESSION_VERSION) return -1;
    out->flag = pt[1] != 0;
    memcpy(out->conv_id, pt + 2, QV_MS_ID_LEN);
    out->value = get_be32(pt + 18);
    size_t t = get_be16(pt + 22), present = n - QV_MS_SESSION_HDR;
    if (t > present) t = present;
    if (t > QV_MS_SESSION_TEXT_MAX) t = QV_MS_SESSION_TEXT_MAX;
    memcpy(out->text, pt + QV_MS_SESSION_HDR, t);
    out->text_len = t;
    return 0;
}

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

int quorvane_ms_msgs_decode(const uint8_t *pt, size_t n, quorvane_ms_conv *c) {
    if (!c || !pt || n < 5 || pt[0] < QV_MS_MSGS_VERSION_MIN || pt[0] > QV_MS_MSGS_VERSION) return -1;
    const int v = pt[0];
    const uint32_t count = get_be32(pt + 1);
    reader r{pt, n, 5};
    const size_t head = QV_MS_ID_LEN + 8 + 8 + 1 + (v >= 4 ? 1 : 0) + 4;
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
        if (!msgs_reserve(c, c->msg_count + 1) || !(m.text = text_dup(reinterpret_cast<const char *>(text), t))) return 1;
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
    return 0;
}

void quorvane_ms_conv_clear(quorvane_ms_conv *c) {
    if (!c) return;
    drop_msgs(c);
    free_members(c);
    quorvane_cleanse(c, sizeof *c);
}

/* ---- open, close and housekeeping ---------------------------------------- */

quorvane_msgstore *quorvane_msgstore_open(const char *dir, const uint8_t secret[32]) {
    if (!dir || !secret) return nullptr;
    size_t dl = strnlen(dir, QV_MS_PATH_MAX + 1);
    if (dl > QV_MS_PATH_MAX) {
        n_log(LOG_ERR, "msgstore: directory path longer than %zu bytes", QV_MS_PATH_MAX);
        return nullptr;
    }
    if (mkdir(dir, 0700) == 0) {
        // the new directory's own name must survive a power cut too
        char parent[QV_MS_PATH_MAX + sizeof "/.."];
        snprintf(parent, sizeof parent, "%s/..", dir);
        sync_dir(parent);
    } else {
        struct stat st;
        if (errno != EEXIST || stat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) {
            n_log(LOG_ERR, "msgstore: cannot create %s: %s", dir, strerror(errno));
            return nullptr;
        }
    }
    auto *ms = static_cast<quorvane_msgstore *>(calloc(1, sizeof(quorvane_msgstore)));
    if (!ms) return nullptr;
    (void)quorvane_mem_lock(ms, sizeof *ms);
    memcpy(ms->dir, dir, dl);
    ms->msg_cap = QV_MS_MSG_CAP_DEFAULT;

    uint8_t in[MS_STORE_KEY_LABEL.size() + QV_KEY_LEN];
    uint8_t md[QV_BLAKE2B_LEN];
    memcpy(in, MS_STORE_KEY_LABEL.data(), MS_STORE_KEY_LABEL.size());
    memcpy(in + MS_STORE_KEY_LABEL.size(), secret, QV_KEY_LEN);
    int rc = quorvane_blake2b(in, sizeof in, md);
    quorvane_cleanse(in, sizeof in);
    if (rc == 0) memcpy(ms->key, md, QV_KEY_LEN);
    quorvane_cleanse(md, sizeof md);
    if (rc != 0) {
        quorvane_msgstore_close(ms);
        return nullptr;
    }

    load_conv_list(ms);
    load_self_profile(ms);
    load_idents(ms);
    return ms;
}

void quorvane_msgstore_close(quorvane_msgstore *ms) {
    if (!ms) return;
    if (ms->cursor_dirty && write_convs(ms) != 0) n_log(LOG_ERR, "msgstore: sync cursors could not be written at close");
    for (size_t i = 0; i < ms->conv_count; i++) quorvane_ms_conv_clear(&ms->convs[i]);
    if (ms->convs) quorvane_cleanse(ms->convs, ms->conv_cap * sizeof(quorvane_ms_conv));
    free(ms->convs);
    if (ms->idents) {
        quorvane_cleanse(ms->idents, ms->ident_cap * sizeof(quorvane_ms_ident));
        free(ms->idents);
    }
    while (ms->unread) {
        quorvane_ms_unread *next = ms->unread->next;
        free(ms->unread);
        ms->unread = next;
    }
    quorvane_cleanse(ms, sizeof *ms);
    quorvane_mem_unlock(ms, sizeof *ms);
    free(ms);
}

int quorvane_msgstore_discard_asides(const char *dir) {
    if (!dir || strnlen(dir, QV_MS_PATH_MAX + 1) > QV_MS_PATH_MAX) return 0;
    int removed = 0;
    for (const char *suffix : {".pre-recreate", ".pre-reset"}) {
        char base[PATH_BUF];
        snprintf(base, sizeof base, "%s%s", dir, suffix);
        for (;;) {
            DIR *d = opendir(base);
            if (!d) break;
            int pass = 0;
            while (struct dirent *e = readdir(d)) {
                if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
                char p[QV_MS_ASIDE_ENTRY_MAX];
                int r = snprintf(p, sizeof p, "%s/%s", base, e->d_name);
                if (r <= 0 || size_t(r) >= sizeof p) continue;
                if (remove(p) == 0) pass++;
            }
            closedir(d);
            if (pass == 0) {
                if (rmdir(base) == 0) removed++;
                break;
            }
        }
    }
    return removed;
}

int quorvane_msgstore_test_write_version(int version) {
    g_write_version = version >= QV_MS_CONVS_WRITE_MIN && version < QV_MS_CONVS_VERSION ? version : QV_MS_CONVS_VERSION;
    return QV_MS_CONVS_VERSION;
}

int quorvane_msgstore_write_version() { return g_write_version; }

int quorvane_msgstore_unreadable(const quorvane_msgstore *ms, const char *name) {
    char path[PATH_BUF];
    if (!ms || !name || file_path(ms, name, path) != 0) return 0;
    return is_unread(ms, path) ? 1 : 0;
}

/* ---- own profile and interface state ------------------------------------- */

int quorvane_msgstore_set_self_profile(quorvane_msgstore *ms, const char *name, const char *about) {
    if (!ms) return -1;
    copy_cut(ms->self.name, QV_MS_NAME_MAX, name);
    copy_cut(ms->self.about, QV_MS_ABOUT_MAX, about);
    return write_self_profile(ms);
}

int quorvane_msgstore_self_profile_edited(quorvane_msgstore *ms, uint64_t time) {
    if (!ms) return -1;
    if (time > ms->self.edit_time) ms->self.edit_time = time;
    return write_self_profile(ms);
}

int quorvane_msgstore_adopt_self_profile(quorvane_msgstore *ms, const char *name, const char *about, uint64_t time) {
    if (!ms) return -1;
    if (!name || !*name || ms->self.edit_time >= time) return 0;
    // compared as they would be stored, so a long name announced again is
    // not taken for a change
    char n[QV_MS_NAME_MAX + 1], a[QV_MS_ABOUT_MAX + 1];
    copy_cut(n, QV_MS_NAME_MAX, name);
    copy_cut(a, QV_MS_ABOUT_MAX, about);
    bool same = strcmp(n, ms->self.name) == 0 && strcmp(a, ms->self.about) == 0;
    if (!same) {
        memcpy(ms->self.name, n, sizeof n);
        memcpy(ms->self.about, a, sizeof a);
    }
    ms->self.edit_time = time;
    if (write_self_profile(ms) != 0) return -1;
    return same ? 0 : 1;
}

uint64_t quorvane_msgstore_self_profile_ts(const quorvane_msgstore *ms) { return ms ? ms->self.edit_time : 0; }

int quorvane_msgstore_get_self_profile(const quorvane_msgstore *ms, char *name, size_t name_size, char *about,
                                       size_t about_size) {
    if (!ms) return -1;
    copy_out(name, name_size, ms->self.name, strnlen(ms->self.name, QV_MS_NAME_MAX));
    copy_out(about, about_size, ms->self.about, strnlen(ms->self.about, QV_MS_ABOUT_MAX));
    return 0;
}

int quorvane_msgstore_set_self_avatar(quorvane_msgstore *ms, const quorvane_file_meta *avatar) {
    if (!ms) return -1;
    if (avatar) {
        uint8_t enc[QV_MS_AVATAR_MAX];
        size_t n = quorvane_msg_avatar_encode(avatar, enc, sizeof enc);
        if (n == 0) return -1;
        memcpy(ms->self.avatar, enc, n);
        quorvane_cleanse(enc, sizeof enc);
        ms->self.avatar_len = uint16_t(n);
    } else {
        quorvane_cleanse(ms->self.avatar, sizeof ms->self.avatar);
        ms->self.avatar_len = 0;
    }
    return write_self_profile(ms);
}

int quorvane_msgstore_get_self_avatar(const quorvane_msgstore *ms, quorvane_file_meta *out) {
    if (!ms || !out || ms->self.avatar_len == 0) return 0;
    return quorvane_msg_avatar_decode(ms->self.avatar, ms->self.avatar_len, out) == 0 ? 1 : 0;
}

int quorvane_msgstore_set_session(quorvane_msgstore *ms, int flag, const uint8_t conv_id[16], uint32_t value,
                                  const char *text) {
    if (!ms) return -1;
    char path[PATH_BUF];
    if (file_path(ms, MS_FILE_SESSION, path) != 0) return -1;
    size_t t = text ? strnlen(text, QV_MS_SESSION_TEXT_MAX) : 0;
    wbuf pt(QV_MS_SESSION_HDR + t);
    if (!pt.p) return -1;
    pt.p[0] = QV_MS_SESSION_VERSION;
    pt.p[1] = flag ? 1 : 0;
    if (conv_id) memcpy(pt.p + 2, conv_id, QV_MS_ID_LEN);
    else memset(pt.p + 2, 0, QV_MS_ID_LEN);
    put_be32(pt.p + 18, value);
    put_be16(pt.p + 22, uint16_t(t));
    if (t) memcpy(pt.p + QV_MS_SESSION_HDR, text, t);
    return store_write(ms, path, MS_LABEL_SESSION, pt.p, pt.n);
}

int quorvane_msgstore_get_session(quorvane_msgstore *ms, int *flag, uint8_t conv_id[16], uint32_t *value, char *text,
                                  size_t text_size) {
    if (flag) *flag = 0;
    if (conv_id) memset(conv_id, 0, QV_MS_ID_LEN);
    if (value) *value = 0;
    if (text && text_size) text[0] = '\0';
    if (!ms) return -1;
    char path[PATH_BUF];
    wbuf pt;
    if (file_path(ms, MS_FILE_SESSION, path) != 0 || !read_into(ms, path, MS_LABEL_SESSION, &pt)) return -1;
    auto *s = static_cast<quorvane_ms_session *>(malloc(sizeof(quorvane_ms_session)));
    if (!s) return -1;
    int rc = quorvane_ms_session_decode(pt.p, pt.n, s);
    if (rc != 0) {
        mark_unread(ms, path, "is not an interface state this program reads");
    } else {
        if (flag) *flag = s->flag;
        if (conv_id) memcpy(conv_id, s->conv_id, QV_MS_ID_LEN);
        if (value) *value = s->value;
        copy_out(text, text_size, s->text, s->text_len);
    }
    quorvane_cleanse(s, sizeof *s);
    free(s);
    return rc;
}

/* ---- ratchet states ------------------------------------------------------ */

int quorvane_msgstore_put_ratchet(quorvane_msgstore *ms, const uint8_t conv_id[16], const uint8_t device[32],
                                  const uint8_t *state, size_t len) {
    peer_file f;
    if (!ms || !conv_id || !device || !state || peer_file_of(ms, conv_id, device, -1, &f) != 0) return -1;
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

size_t quorvane_msgstore_ratchet_devices(const quorvane_msgstore *ms, const uint8_t conv_id[16], uint8_t (*out)[32],
                                         size_t cap) {
    if (!ms || !conv_id) return 0;
    char prefix[RATCHET_PREFIX + 1] = "r_";
    if (n_hex_encode_to(prefix + 2, sizeof prefix - 2, conv_id, QV_MS_ID_LEN) != HEX_ID) return 0;
    prefix[RATCHET_PREFIX - 1] = '_';
    prefix[RATCHET_PREFIX] = '\0';
    DIR *d = opendir(ms->dir);
    if (!d) return 0;
    size_t found = 0;
    while (struct dirent *e = readdir(d)) {
        const char *name = e->d_name;
        size_t n = strlen(name);
        if (n != RATCHET_NAME || memcmp(name, prefix, RATCHET_PREFIX) != 0 || !ends_with(name, n, ".dat", 4)) continue;
        if (!lower_hex(name + RATCHET_PREFIX, HEX_DEVICE)) continue;
        if (out && found < cap && n_hex_decode_to(out[found], QV_MS_DEVICE_LEN, name + RATCHET_PREFIX, QV_MS_DEVICE_LEN) != 1)
            continue;
        found++;
    }
    closedir(d);
    return found;
}

int quorvane_msgstore_drop_ratchet_device(quorvane_msgstore *ms, const uint8_t device[32]) {
    if (!ms || !device) return 0;
    char suffix[1 + HEX_DEVICE + 4 + 1] = "_";
    if (n_hex_encode_to(suffix + 1, sizeof suffix - 1, device, QV_MS_DEVICE_LEN) != HEX_DEVICE) return 0;
    memcpy(suffix + 1 + HEX_DEVICE, ".dat", 5);
    const size_t sl = strlen(suffix);
    int removed = 0;
    // removing while walking may hide entries from the same walk: walk again
    // until a pass finds nothing
    for (;;) {
        DIR *d = opendir(ms->dir);
        if (!d) break;
        int pass = 0;
        while (struct dirent *e = readdir(d)) {
            const char *name = e->d_name;
            size_t n = strlen(name);
            if (n <= sl || name[0] != 'r' || (name[1] != '_' && name[1] != 'p') || !ends_with(name, n, suffix, sl)) continue;
            char path[PATH_BUF];
            if (file_path(ms, name, path) == 0 && store_remove(ms, path) == 0) pass++;
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
    if (ring && pt.p && rinit_load(ms, ring)) {
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
    if (!ms || !data || file_path(ms, MS_FILE_PREKEYS, path) != 0) return -1;
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
    if (write_idents(ms) != 0) {
        quorvane_cleanse(&e, sizeof e);
        ms->ident_count--;
        return -2;
    }
    return 0;
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
        load_history(ms, c);
    }
    memcpy(c->key, key, QV_KEY_LEN);
    c->has_key = 1;
    return write_convs(ms);
}

int quorvane_msgstore_put_conv_locked(quorvane_msgstore *ms, const uint8_t id[16]) {
    if (!ms || !id) return -1;
    if (find_conv(ms, id)) return 0;
    if (ms->conv_count >= QV_MS_CONV_MAX || !grow_convs(&ms->convs, &ms->conv_cap, ms->conv_count)) return -1;
    quorvane_ms_conv *c = &ms->convs[ms->conv_count++];
    memset(c, 0, sizeof *c);
    memcpy(c->id, id, QV_MS_ID_LEN);
    load_history(ms, c);
    return write_convs(ms);
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
    int added = 0;
    for (size_t i = 0; i < count && c->old_key_count < QV_MS_OLD_KEYS; i++) {
        bool known = quorvane_ct_eq(keys[i], c->key, QV_KEY_LEN);
        for (size_t j = 0; j < c->old_key_count && !known; j++) known = quorvane_ct_eq(keys[i], c->old_keys[j], QV_KEY_LEN);
        if (known) continue;
        memcpy(c->old_keys[c->old_key_count++], keys[i], QV_KEY_LEN);
        added++;
    }
    if (added && write_convs(ms) != 0) return -1;
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
    if (write_convs(ms) != 0) {
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
    if (!remove_gone(ms, a.path) || !remove_gone(ms, m.path)) return -1;
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
    if (conv_file_of(ms, c->id, false, &f) != 0 || !remove_gone(ms, f.path)) return -1;
    if (c->sync_cursor > c->history_floor) c->history_floor = c->sync_cursor;
    c->hidden = 1;
    drop_msgs(c);
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
    if (!c || c->cursor_hold || cursor <= c->sync_cursor) return;
    c->sync_cursor = cursor;
    ms->cursor_dirty = 1;
}

void quorvane_msgstore_hold_cursor(quorvane_msgstore *ms, const uint8_t id[16]) {
    if (quorvane_ms_conv *c = find_conv(ms, id)) c->cursor_hold = 1;
}

// The flag is cleared by the successful write itself, so that a failed one
// is tried again by the next flush or at close.
int quorvane_msgstore_flush(quorvane_msgstore *ms) {
    if (!ms) return -1;
    return ms->cursor_dirty ? write_convs(ms) : 0;
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

int add_msg_inner(quorvane_msgstore *ms, const quorvane_ms_msgrec *rec, bool history) {
    if (!ms || !rec || rec->text_len > QV_MS_TEXT_MAX) return -1;
    quorvane_ms_conv *c = find_conv(ms, rec->conv_id);
    if (!c) return -1;
    for (size_t i = 0; i < c->msg_count; i++) {
        quorvane_ms_msg &m = c->msgs[i];
        if (m.msg_id != rec->msg_id || !same_id(m.author, rec->author) ||
            memcmp(m.author_device, rec->author_device, QV_MS_DEVICE_LEN) != 0)
            continue;
        if (m.position || rec->position == 0) return 0;
        // the server's copy of a message sent before its position was known
        quorvane_ms_msg moved = m;
        memmove(c->msgs + i, c->msgs + i + 1, (c->msg_count - i - 1) * sizeof(quorvane_ms_msg));
        c->msg_count--;
        moved.position = rec->position;
        (void)msg_push_at(c, moved);  // the array has room: one was just taken out
        c->revision++;
        return write_conv_msgs(ms, c) == 0 ? 0 : -1;
    }
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
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c || !author) return -1;
    bool anydev = !device || all_zero(device, QV_MS_DEVICE_LEN);
    arch_arg arg{0, author, device, msg_id};
    if (arch_rebuild(ms, c, anydev ? arch_filter::keep_other_anydev : arch_filter::keep_other, arg, nullptr, 0) != 0)
        n_log(LOG_ERR, "msgstore: a deleted message could not be taken out of the archive");
    long at = find_msg_index(c, author, device, msg_id);
    if (at < 0 || c->msgs[at].type == QV_MS_TYPE_DELETED) return 0;
    msg_free_text(&c->msgs[at]);
    c->msgs[at].type = QV_MS_TYPE_DELETED;
    c->revision++;
    return write_conv_msgs(ms, c) == 0 ? 1 : -1;
}

int quorvane_msgstore_edit_msg(quorvane_msgstore *ms, const uint8_t id[16], const uint8_t author[16],
                               const uint8_t device[32], uint64_t msg_id, const char *text, size_t len) {
    if (!author || len > QV_MS_TEXT_MAX || (len && !text)) return -1;
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c) return -1;
    long at = find_msg_index(c, author, device, msg_id);
    if (at < 0 || c->msgs[at].type != QV_MS_TYPE_TEXT) return 0;
    char *copy = text_dup(text, len);
    if (!copy) return -1;
    quorvane_ms_msg &m = c->msgs[at];
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
    if (!target_author || !user || !name) return -1;
    size_t len = strnlen(name, QV_MS_REACTION_NAME_MAX + 1);
    if (len == 0 || len > QV_MS_REACTION_NAME_MAX) return -1;
    quorvane_ms_conv *c = find_conv(ms, id);
    if (!c) return -1;
    uint8_t dev[QV_MS_DEVICE_LEN] = {};
    if (target_device) memcpy(dev, target_device, sizeof dev);
    for (size_t i = 0; i < c->reaction_count; i++) {
        quorvane_ms_reaction &r = c->reactions[i];
        if (r.target_id != target_id || !same_id(r.target_author, target_author) ||
            memcmp(r.target_device, dev, sizeof dev) != 0 || !same_id(r.user_id, user) || r.name_len != len ||
            memcmp(r.name, name, len) != 0)
            continue;
        if (add) return 0;
        r = c->reactions[c->reaction_count - 1];
        c->reaction_count--;
        quorvane_cleanse(&c->reactions[c->reaction_count], sizeof(quorvane_ms_reaction));
        c->revision++;
        return write_conv_msgs(ms, c);
    }
    if (!add) return 0;
    quorvane_ms_reaction r{};
    memcpy(r.target_author, target_author, QV_MS_ID_LEN);
    memcpy(r.target_device, dev, sizeof dev);
    r.target_id = target_id;
    memcpy(r.user_id, user, QV_MS_ID_LEN);
    r.name_len = uint8_t(len);
    memcpy(r.name, name, len);
    if (!reaction_push(c, r)) return -1;
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
    if (conv_file_of(ms, id, true, &f) != 0 || !read_into(ms, f.path, f.label, f.label_len, &rec)) return 0;
    if (quorvane_sidx_decode(rec.p, rec.n, &cur) != 0) {
        mark_unread(ms, f.path, "is not an archive this program reads");
        return 0;
    }
    auto *out = static_cast<quorvane_ms_msgrec *>(malloc(sizeof(quorvane_ms_msgrec)));
    if (!out) return 0;
    size_t n = 0;
    quorvane_sidx_entry e;
    int r;
    while ((r = quorvane_sidx_next(&cur, &e)) == 1) {
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
    }
    if (r < 0) mark_unread(ms, f.path, "stops at an entry this program cannot read");
    quorvane_cleanse(out, sizeof *out);
    free(out);
    return n;
}

int quorvane_msgstore_archive_clear(quorvane_msgstore *ms, const uint8_t id[16]) {
    if (!ms || !id) return -1;
    conv_file f;
    if (conv_file_of(ms, id, true, &f) != 0) return -1;
    if (store_remove(ms, f.path) == 0) sync_dir(ms->dir);
    return 0;
}
