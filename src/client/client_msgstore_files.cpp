// Sealed files, open and close: atomic replacement, files found present
// but unusable, the own profile and the interface state.
#include "client_msgstore_internal.h"

#include "n_files.h"
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

using namespace qv_ms;

namespace {

std::atomic<int> g_write_version{QV_MS_CONVS_VERSION};

}  // namespace

namespace qv_ms {

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
int seal_file(const uint8_t key[QV_KEY_LEN], const uint8_t *label, size_t label_len, const uint8_t *pt, size_t n, wbuf *out) {
    if (n > QV_MS_FILE_MAX - QV_MS_SEAL_OVERHEAD) return -1;
    out->reset();
    out->p = static_cast<uint8_t *>(malloc(n + QV_MS_SEAL_OVERHEAD));
    if (!out->p) return -1;
    out->n = n + QV_MS_SEAL_OVERHEAD;
    uint8_t *salt = out->p, *ct = out->p + QV_SALT_LEN, *tag = ct + n;
    if (quorvane_random(salt, QV_SALT_LEN) != 0) return -1;
    return quorvane_msg_seal(key, SEAL_COUNTER, salt, label, label_len, pt, n, ct, tag) == 0 ? 0 : -1;
}

int store_write(quorvane_msgstore *ms, const char *path, const uint8_t *label, size_t label_len, const uint8_t *pt,
                size_t n) {
    if (n > QV_MS_FILE_MAX - QV_MS_SEAL_OVERHEAD) return -1;
    bool keep = is_unread(ms, path);
    // a batch's end only copies: the queue seals its files after the lock
    if (behind_capturing(ms)) return behind_queue(ms, path, label, label_len, pt, n, false, keep);
    wbuf out;
    if (seal_file(ms->key, label, label_len, pt, n, &out) != 0) return -1;
    behind_drain(ms);  // the queue is older than this write: it goes first
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
    // the sealed bytes are not secret: read into memory that is neither
    // zeroed first nor wiped after, which a large history would pay twice
    struct sealed {
        uint8_t *p = nullptr;
        size_t n = 0;
        ~sealed() { free(p); }
    } file;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) why = "is not a readable file";
    else if (size_t(st.st_size) < QV_MS_SEAL_OVERHEAD) why = "is shorter than 32 bytes";
    else if (uint64_t(st.st_size) > QV_MS_FILE_MAX) why = "is too large";
    else {
        file.p = reinterpret_cast<uint8_t *>(n_realloc(file.p, nullptr, size_t(st.st_size)));
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
    auto *pt = reinterpret_cast<uint8_t *>(n_realloc(pt, nullptr, n ? n : 1));  // filled whole by the open below
    if (!pt) {
        if (no_mem) *no_mem = true;
        mark_unread(ms, path, "cannot be read (out of memory)");
        return nullptr;
    }
    const uint8_t *salt = file.p, *ct = file.p + QV_SALT_LEN, *tag = ct + n;
    if (quorvane_msg_open(ms->key, SEAL_COUNTER, salt, label, label_len, ct, n, tag, pt) != 0) {
        quorvane_cleanse(pt, n ? n : 1);
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
               bool *no_mem) {
    out->reset();
    size_t n = 0;
    out->p = store_read(ms, path, label, label_len, &n, no_mem);
    out->n = n;
    return out->p != nullptr;
}

bool read_into(quorvane_msgstore *ms, const char *path, std::string_view label, wbuf *out, bool *no_mem) {
    return read_into(ms, path, reinterpret_cast<const uint8_t *>(label.data()), label.size(), out, no_mem);
}

// Removes a store file; one remembered as unreadable is renamed aside instead.
int store_remove(quorvane_msgstore *ms, const char *path) {
    if (behind_capturing(ms)) return behind_queue(ms, path, nullptr, 0, nullptr, 0, true, is_unread(ms, path));
    behind_drain(ms);
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

void load_self_profile(quorvane_msgstore *ms) {
    char path[PATH_BUF];
    wbuf pt;
    if (file_path(ms, MS_FILE_PROFILE, path) != 0 || !read_into(ms, path, MS_LABEL_PROFILE, &pt)) return;
    if (!quorvane_ms_profile_decode(pt.p, pt.n, &ms->self))
        mark_unread(ms, path, pt.n > 2 && pt.p[0] > QV_MS_PROFILE_VERSION ? "is of a newer version than this program reads"
                                                                           : "is not a profile this program reads");
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

}  // namespace qv_ms

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
    ms->batch_depth = 0;  // a batch left open is ended here
    behind_drain(ms);     // queued files first, and their marks back if they failed
    if (write_due(ms) != 0) n_log(LOG_ERR, "msgstore: changes or sync cursors could not be written at close");
    behind_free(ms);
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

