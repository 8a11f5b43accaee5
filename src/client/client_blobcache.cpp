// Blob cache.
#include "client_blobcache.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "n_files.h"
#include "n_hex.h"
#include "n_log.h"

namespace {

struct dir_closer {
    void operator()(DIR *d) const { closedir(d); }
};
using dir_ptr = std::unique_ptr<DIR, dir_closer>;

struct fd_guard {
    int fd;
    ~fd_guard() {
        if (fd >= 0) close(fd);
    }
};

constexpr const char *CLASS_DIRS[2] = {"large", "small"};  // by class: 0 large, 1 small
constexpr size_t SCAN_START = 64;

struct scan_item {
    char     name[QV_BLOBCACHE_NAME_LEN + 1];
    uint64_t size;
    int64_t  mtime;
    int      cls;
};

struct scan {
    scan_item *items = nullptr;
    size_t count = 0, cap = 0;
    uint64_t total = 0;
    ~scan() { free(items); }
    bool add(const scan_item &it) {
        if (count == cap) {
            const size_t want = cap ? cap * 2 : SCAN_START;
            auto *grown = static_cast<scan_item *>(realloc(items, want * sizeof(scan_item)));
            if (!grown) return false;
            items = grown;
            cap = want;
        }
        items[count++] = it;
        return true;
    }
};

// "<dir>/<sub>" or "<dir>/<sub>/<name>[suffix]" in `out`; false when it would
// not fit, which makes the cache behave as an empty one.
bool build_path(char *out, const char *dir, const char *sub, const char *name = nullptr, const char *suffix = "") {
    const int n = name ? snprintf(out, QV_BLOBCACHE_PATH_MAX, "%s/%s/%s%s", dir, sub, name, suffix)
                       : snprintf(out, QV_BLOBCACHE_PATH_MAX, "%s/%s", dir, sub);
    return n > 0 && size_t(n) < QV_BLOBCACHE_PATH_MAX;
}

void entry_name(const uint8_t id[16], char out[QV_BLOBCACHE_NAME_LEN + 1]) {
    (void)n_hex_encode_to(out, QV_BLOBCACHE_NAME_LEN + 1, id, QV_BLOBCACHE_ID_LEN);  // cannot fail: the room is exact
}

// Adds the entries of one class; a failed growth stops the scan with what it has.
bool scan_class(const char *dir, int cls, scan *s) {
    char sub[QV_BLOBCACHE_PATH_MAX];
    if (!build_path(sub, dir, CLASS_DIRS[cls])) return true;
    dir_ptr d{opendir(sub)};
    if (!d) return true;
    for (struct dirent *ent; (ent = readdir(d.get())) != nullptr;) {
        if (strlen(ent->d_name) != QV_BLOBCACHE_NAME_LEN) continue;
        struct stat st;
        if (fstatat(dirfd(d.get()), ent->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        scan_item it{};
        memcpy(it.name, ent->d_name, QV_BLOBCACHE_NAME_LEN + 1);
        it.size = uint64_t(st.st_size);
        it.mtime = int64_t(st.st_mtim.tv_sec);
        it.cls = cls;
        if (!s->add(it)) {
            n_log(LOG_ERR, "blob cache: cannot grow the scan of %s; evicting from what was seen", dir);
            return false;
        }
        s->total += it.size;
    }
    return true;
}

void scan_all(const char *dir, scan *s) {
    if (scan_class(dir, 0, s)) scan_class(dir, 1, s);
}

// Reads the entry into buf; 0 with its length, -1 absent or unreadable, -3 over
// the capacity (the other class is then not tried), -4 empty.
int read_entry(const char *dir, const uint8_t id[16], uint8_t *buf, size_t cap, size_t *len) {
    char name[QV_BLOBCACHE_NAME_LEN + 1];
    entry_name(id, name);
    for (int cls : {1, 0}) {
        char path[QV_BLOBCACHE_PATH_MAX];
        if (!build_path(path, dir, CLASS_DIRS[cls], name)) continue;
        // O_NONBLOCK: a FIFO at the name would block the open; a regular file reads the same
        const fd_guard f{open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK)};
        const int fd = f.fd;
        if (fd < 0) continue;
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) continue;
        const uint64_t size = uint64_t(st.st_size);
        if (size > cap) return -3;
        // nothing is ever stored empty: an empty entry is what a crash left
        if (size == 0) return -4;
        size_t got = 0;
        while (got < size) {
            const ssize_t r = read(fd, buf + got, size - got);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return -1;
            got += size_t(r);
        }
        // a read use counts as recent for eviction
        if (futimens(fd, nullptr) != 0)
            n_log(LOG_WARNING, "blob cache: cannot refresh the time of %s: %s", path, strerror(errno));
        *len = got;
        return 0;
    }
    return -1;
}

void remove_entry(const char *dir, const uint8_t id[16]) {
    char name[QV_BLOBCACHE_NAME_LEN + 1];
    entry_name(id, name);
    for (int cls : {1, 0}) {
        char path[QV_BLOBCACHE_PATH_MAX];
        if (build_path(path, dir, CLASS_DIRS[cls], name)) unlink(path);
    }
}

// Written through "<entry>.tmp" and renamed, so the entry name only ever
// holds whole blobs while the system runs. Not synced: a crash may cut it.
bool write_entry(const char *path, const char *tmp, const uint8_t *bytes, size_t len) {
    const int fd = n_file_create_scratch(tmp, 0600, N_SCRATCH_REMOVE_LINK);
    if (fd < 0) return false;
    bool ok = n_fd_write_all(fd, bytes, len) != 0;
    if (close(fd) != 0) ok = false;
    if (ok && rename(tmp, path) != 0) ok = false;
    if (!ok) unlink(tmp);
    return ok;
}

}  // namespace

int quorvane_blobcache_get(const char *dir, const uint8_t id[16], uint8_t *buf, size_t cap, size_t *len) {
    if (!dir || !id || !buf || !len) return -1;
    size_t n = 0;
    if (read_entry(dir, id, buf, cap, &n) != 0) return -1;
    *len = n;
    return 0;
}

int quorvane_blobcache_get_exact(const char *dir, const uint8_t id[16], size_t expected, uint8_t *buf, size_t cap) {
    if (!dir || !id || !buf || expected == 0 || expected > cap) return -1;
    size_t n = 0;
    // a capacity of one byte more lets a longer entry show as one of the wrong length
    int rc = read_entry(dir, id, buf, cap > expected ? expected + 1 : cap, &n);
    if (rc == -1) return -1;
    if (rc == 0 && n == expected) return 0;
    // cut short, empty or grown: what a crash leaves of an entry that was never synced
    remove_entry(dir, id);
    return -2;
}

int quorvane_blobcache_put(const char *dir, const uint8_t id[16], const uint8_t *bytes, size_t len, uint64_t limit) {
    if (!dir || !id || !bytes || len == 0) return -1;
    if (limit == 0) {
        quorvane_blobcache_evict(dir, 0);
        return -1;
    }
    if (len > limit) return -1;
    if (mkdir(dir, 0700) != 0) {
        struct stat st;
        if (stat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) return -1;
    }
    for (const char *sub : CLASS_DIRS) {
        char path[QV_BLOBCACHE_PATH_MAX];
        if (build_path(path, dir, sub)) (void)mkdir(path, 0700);
    }
    char name[QV_BLOBCACHE_NAME_LEN + 1];
    entry_name(id, name);
    const int cls = len > QV_BLOBCACHE_SMALL_MAX ? 0 : 1;
    char path[QV_BLOBCACHE_PATH_MAX], tmp[QV_BLOBCACHE_PATH_MAX];
    if (!build_path(path, dir, CLASS_DIRS[cls], name) || !build_path(tmp, dir, CLASS_DIRS[cls], name, ".tmp"))
        return -1;
    if (!write_entry(path, tmp, bytes, len)) return -1;
    // the same id stored before at another length may sit in the other class,
    // where get would find it first: only the copy just written may stay
    char other[QV_BLOBCACHE_PATH_MAX];
    if (build_path(other, dir, CLASS_DIRS[1 - cls], name)) unlink(other);
    quorvane_blobcache_evict(dir, limit);
    return 0;
}

size_t quorvane_blobcache_evict(const char *dir, uint64_t limit) {
    if (!dir) return 0;
    scan s;
    scan_all(dir, &s);
    if (s.total <= limit) return 0;
    std::sort(s.items, s.items + s.count, [](const scan_item &a, const scan_item &b) {
        if (a.cls != b.cls) return a.cls < b.cls;
        if (a.mtime != b.mtime) return a.mtime < b.mtime;
        return strcmp(a.name, b.name) < 0;  // a fixed order for entries of the same second
    });
    size_t removed = 0;
    for (size_t i = 0; i < s.count && s.total > limit; i++) {
        char path[QV_BLOBCACHE_PATH_MAX];
        if (!build_path(path, dir, CLASS_DIRS[s.items[i].cls], s.items[i].name)) continue;
        if (unlink(path) != 0) continue;  // left in place and still counted
        removed++;
        s.total -= s.items[i].size;
    }
    return removed;
}

uint64_t quorvane_blobcache_size(const char *dir) {
    if (!dir) return 0;
    scan s;
    scan_all(dir, &s);
    return s.total;
}

size_t quorvane_blobcache_clear(const char *dir) { return quorvane_blobcache_evict(dir, 0); }

int quorvane_blobcache_remove(const char *dir, const uint8_t id[16]) {
    if (!dir || !id) return -1;
    remove_entry(dir, id);
    return 0;
}
