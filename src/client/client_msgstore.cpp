#include "client_msgstore.h"

#include "n_hex.h"
#include "n_log.h"

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

int sync_dir(const char *dir) {
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    int rc = fsync(fd);
    close(fd);
    return rc == 0 ? 0 : -1;
}

// The directory a store file lies in: everything before its last '/'.
int sync_parent(const char *path) {
    const char *slash = strrchr(path, '/');
    if (!slash) return sync_dir(".");
    char dir[PATH_BUF];
    size_t n = size_t(slash - path);
    if (n >= sizeof dir) return -1;
    memcpy(dir, path, n);
    dir[n] = '\0';
    return sync_dir(n ? dir : "/");
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
// stream buffer to flush), synced, mode 0600, renamed, and the directory
// synced so that the rename itself survives a power cut. With keep_old the
// current file gets an aside name first. Any failure before the rename
// leaves the old file; a failed directory sync after it is reported too,
// since the new file is then not known to be durable.
int atomic_write(const char *path, const uint8_t *data, size_t len, bool keep_old) {
    char tmp[PATH_BUF];
    int r = snprintf(tmp, sizeof tmp, "%s.tmp", path);
    if (r <= 0 || size_t(r) > QV_MS_TMP_PATH_MAX) return -1;
    int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        n_log(LOG_ERR, "msgstore: cannot create %s: %s", tmp, strerror(errno));
        return -1;
    }
    bool ok = fchmod(fd, 0600) == 0;
    for (size_t done = 0; ok && done < len;) {
        ssize_t w = write(fd, data + done, len - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) ok = false;
        else done += size_t(w);
    }
    if (ok && fsync(fd) != 0) ok = false;
    if (close(fd) != 0) ok = false;
    if (ok && keep_old && set_aside(path, false) != 0) ok = false;
    if (ok && rename(tmp, path) != 0) ok = false;
    if (!ok) {
        n_log(LOG_ERR, "msgstore: cannot replace %s: %s", path, strerror(errno));
        unlink(tmp);
        return -1;
    }
    if (sync_parent(path) != 0) {
        n_log(LOG_ERR, "msgstore: cannot sync the directory of %s: %s", path, strerror(errno));
        return -1;
    }
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
// that exists is remembered so that its next write keeps it aside.
uint8_t *store_read(quorvane_msgstore *ms, const char *path, const uint8_t *label, size_t label_len, size_t *n_out) {
    *n_out = 0;
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
        file.p = static_cast<uint8_t *>(malloc(size_t(st.st_size)));
        file.n = size_t(st.st_size);
        size_t done = 0;
        while (file.p && done < file.n) {
            ssize_t r = read(fd, file.p + done, file.n - done);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            done += size_t(r);
        }
        if (!file.p) why = "cannot be read (out of memory)";
        else if (done != file.n) why = "is cut short";
    }
    close(fd);
    if (why) {
        mark_unread(ms, path, why);
        return nullptr;
    }
    size_t n = file.n - QV_MS_SEAL_OVERHEAD;
    auto *pt = static_cast<uint8_t *>(malloc(n ? n : 1));
    if (!pt) return nullptr;
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
bool read_into(quorvane_msgstore *ms, const char *path, const uint8_t *label, size_t label_len, wbuf *out) {
    out->reset();
    size_t n = 0;
    out->p = store_read(ms, path, label, label_len, &n);
    out->n = n;
    return out->p != nullptr;
}

bool read_into(quorvane_msgstore *ms, const char *path, std::string_view label, wbuf *out) {
    return read_into(ms, path, reinterpret_cast<const uint8_t *>(label.data()), label.size(), out);
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

/* ---- files loaded at open ------------------------------------------------ */

// Conversation list: only its version byte is judged here. The entries, the
// store-wide settings behind them and each conversation's message file are
// read from this plaintext once conversation records exist; until then the
// store opens with none and nothing writes "convs.dat".
void load_conv_list(quorvane_msgstore *ms) {
    char path[PATH_BUF];
    wbuf pt;
    if (file_path(ms, MS_FILE_CONVS, path) != 0 || !read_into(ms, path, MS_LABEL_CONVS, &pt)) return;
    if (pt.n <= 4 || pt.p[0] < QV_MS_CONVS_VERSION_MIN)
        mark_unread(ms, path, "is of an older version than this program reads");
    else if (pt.p[0] > QV_MS_CONVS_VERSION)
        mark_unread(ms, path, "is of a newer version than this program reads");
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

// The ring as stored; an absent or invalid file gives an empty ring.
void rinit_load(quorvane_msgstore *ms, quorvane_ms_rinit *ring) {
    memset(ring, 0, sizeof *ring);
    char path[PATH_BUF];
    wbuf pt;
    if (file_path(ms, MS_FILE_RINIT, path) != 0 || !read_into(ms, path, MS_LABEL_RINIT, &pt)) return;
    if (quorvane_ms_rinit_decode(pt.p, pt.n, ring) != 0) mark_unread(ms, path, "is not an id ring this program reads");
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
        (void)sync_dir(parent);
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
    // A pending cursor note (cursor_dirty) writes "convs.dat" here, and each
    // conversation's texts and keys are wiped before its array goes; both
    // belong to the conversation records, which this store does not hold yet.
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
    if (rc == 0) (void)sync_dir(ms->dir);
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
    if (store_remove(ms, f.path) == 0) (void)sync_dir(ms->dir);
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
    if (removed) (void)sync_dir(ms->dir);
    return removed;
}

/* ---- session-initiation ids, prekeys, identities ------------------------- */

int quorvane_msgstore_rinit_seen(quorvane_msgstore *ms, const uint8_t id[16]) {
    if (!ms || !id) return 0;
    auto *ring = static_cast<quorvane_ms_rinit *>(malloc(sizeof(quorvane_ms_rinit)));
    if (!ring) return 0;
    rinit_load(ms, ring);
    int seen = 0;
    for (size_t i = 0; i < ring->count && !seen; i++) seen = memcmp(ring->ids[i], id, QV_MS_ID_LEN) == 0;
    quorvane_cleanse(ring, sizeof *ring);
    free(ring);
    return seen;
}

int quorvane_msgstore_rinit_note(quorvane_msgstore *ms, const uint8_t id[16]) {
    if (!ms || !id) return -1;
    char path[PATH_BUF];
    if (file_path(ms, MS_FILE_RINIT, path) != 0) return -1;
    auto *ring = static_cast<quorvane_ms_rinit *>(malloc(sizeof(quorvane_ms_rinit)));
    wbuf pt(QV_MS_RINIT_MAX);
    int rc = -1;
    if (ring && pt.p) {
        rinit_load(ms, ring);
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
