// Files: bounded reads, atomic replacement, verified copies, directory scans.
#include "n_files.h"

#include "n_log.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

using file_ptr = std::unique_ptr<FILE, decltype(&fclose)>;
using heap_ptr = std::unique_ptr<void, decltype(&free)>;
struct dir_closer {
    void operator()(DIR *d) const { closedir(d); }
};
using dir_ptr = std::unique_ptr<DIR, dir_closer>;

// Writes `path` and then `suffix` into `name`, which has room for both.
char *put_suffix(char *name, const char *path, size_t plen, const char *suffix) {
    memcpy(name, path, plen);
    memcpy(name + plen, suffix, strlen(suffix) + 1);
    return name;
}

// A FILE over a fresh scratch file, for the stream writers below.
FILE *create_scratch(const char *name, mode_t mode, bool *created) {
    int fd = n_file_create_scratch(name, mode, N_SCRATCH_REFUSE_LINK);
    if (fd < 0) return nullptr;
    *created = true;
    FILE *f = fdopen(fd, "wb");
    if (!f) {
        int err = errno;
        close(fd);
        errno = err;
    }
    return f;
}

// Publishes `part` as `to` only while `to` does not exist, so a target that
// appeared after our check is never replaced.
int rename_noreplace(const char *part, const char *to) {
    if (renameat2(AT_FDCWD, part, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 1;
    if (errno != EINVAL && errno != ENOSYS) return 0;
    // file systems without the flag: a hard link refuses an existing name too
    if (link(part, to) != 0) return 0;
    if (unlink(part) != 0)
        n_log(LOG_ERR, "n_file_copy_verified: published %s but could not remove %s: %s", to, part, strerror(errno));
    return 1;
}

// Streams `from` into the working copy and makes the copy durable; *count is
// the number of bytes that reached the copy.
int copy_into(const char *from, const char *part, unsigned char *block, size_t *count, bool *created) {
    file_ptr in{fopen(from, "rbe"), fclose};
    if (!in) {
        n_log(LOG_ERR, "n_file_copy_verified: cannot open %s: %s", from, strerror(errno));
        return 0;
    }
    FILE *out = create_scratch(part, 0666, created);
    if (!out) {
        n_log(LOG_ERR, "n_file_copy_verified: cannot open %s: %s", part, strerror(errno));
        return 0;
    }
    int ok = 1;
    size_t n;
    do {
        n = fread(block, 1, N_FILE_BLOCK, in.get());
        if (n && fwrite(block, 1, n, out) != n) {
            n_log(LOG_ERR, "n_file_copy_verified: writing %s: %s", part, strerror(errno));
            ok = 0;
            break;
        }
        *count += n;
    } while (n == N_FILE_BLOCK);
    if (ok && ferror(in.get())) {
        n_log(LOG_ERR, "n_file_copy_verified: reading %s: %s", from, strerror(errno));
        ok = 0;
    }
    // a copy whose sync failed may not survive a crash: it is no copy
    if (ok && (fflush(out) != 0 || fsync(fileno(out)) != 0)) {
        n_log(LOG_ERR, "n_file_copy_verified: writing %s: %s", part, strerror(errno));
        ok = 0;
    }
    if (fclose(out) != 0 && ok) {
        n_log(LOG_ERR, "n_file_copy_verified: writing %s: %s", part, strerror(errno));
        ok = 0;
    }
    return ok;
}

// Adds one directory entry to the scan: regular files (links to them
// included) become records, directories are entered when asked. Takes `path`.
void scan_entry(char *path, LIST *result, int recurse) {
    heap_ptr path_guard{path, free};
    struct stat st;
    if (stat(path, &st) != 0) {
        n_log(LOG_ERR, "unable to stat %s, %s", path, strerror(errno));
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        if (!recurse) return;
        // a link to a directory can lead back up the tree: never enter one
        struct stat lst;
        if (lstat(path, &lst) != 0 || S_ISLNK(lst.st_mode)) {
            n_log(LOG_DEBUG, "not entering %s: a link to a directory", path);
            return;
        }
        if (!n_scan_dir(path, result, recurse)) n_log(LOG_ERR, "error while recursively scanning %s", path);
        return;
    }
    if (!S_ISREG(st.st_mode)) return;
    N_FILE_INFO *file = n_calloc(file, 1, N_FILE_INFO);
    if (!file) return;
    file->filename = static_cast<char *>(path_guard.release());
    n_set_time_from_stat(file, &st);
    if (!list_push_sorted(result, file, n_comp_file_info, n_free_file_info)) n_free_file_info(file);
}

// Compares two open streams block by block. Named on its own so that its
// allocation failures are told apart from the caller's.
int n_file_streams_equal(FILE *a, FILE *b) {
    heap_ptr block_a{n_calloc(block_a, N_FILE_BLOCK, unsigned char), free};
    if (!block_a) return 0;
    heap_ptr block_b{n_calloc(block_b, N_FILE_BLOCK, unsigned char), free};
    if (!block_b) return 0;
    for (;;) {
        size_t na = fread(block_a.get(), 1, N_FILE_BLOCK, a);
        size_t nb = fread(block_b.get(), 1, N_FILE_BLOCK, b);
        if (na != nb) return 0;
        if (na && memcmp(block_a.get(), block_b.get(), na) != 0) return 0;
        if (na < N_FILE_BLOCK) return !ferror(a) && !ferror(b);
    }
}

}  // namespace

int n_file_read_bounded(const char *path, size_t cap, char **out, size_t *out_len) {
    N_ASSERT(path, return 0);
    N_ASSERT(out, return 0);
    *out = nullptr;
    if (out_len) *out_len = 0;
    file_ptr in{fopen(path, "rbe"), fclose};
    if (!in) {
        n_log(LOG_ERR, "n_file_read_bounded: cannot open %s: %s", path, strerror(errno));
        return 0;
    }
    if (fseek(in.get(), 0, SEEK_END) != 0) return 0;
    long size = ftell(in.get());
    if (size < 0) return 0;
    if ((unsigned long)size > cap) {
        n_log(LOG_ERR, "n_file_read_bounded: %s is %ld bytes, over the %zu cap", path, size, cap);
        return 0;
    }
    if (fseek(in.get(), 0, SEEK_SET) != 0) {
        n_log(LOG_ERR, "n_file_read_bounded: cannot seek back to the start of %s: %s", path, strerror(errno));
        return 0;
    }
    size_t n = (size_t)size;
    unsigned char *buf = n_calloc(buf, n + 1, unsigned char);
    if (!buf) return 0;
    if (n && fread(buf, 1, n, in.get()) != n) {
        n_log(LOG_ERR, "n_file_read_bounded: short read on %s", path);
        free(buf);
        return 0;
    }
    buf[n] = 0;
    *out = reinterpret_cast<char *>(buf);
    if (out_len) *out_len = n;
    return 1;
}

// A link planted at the scratch name can neither redirect our bytes nor be
// renamed over the target. Refusing it is the stricter choice; removing it
// suits writers whose scratch name nobody else has a reason to own.
int n_file_create_scratch(const char *name, mode_t mode, n_scratch_link links) {
    if (links == N_SCRATCH_REFUSE_LINK) {
        struct stat st;
        if (lstat(name, &st) == 0) {
            if (S_ISLNK(st.st_mode)) {
                errno = ELOOP;
                return -1;
            }
            if (unlink(name) != 0) return -1;
        }
    } else if (unlink(name) != 0 && errno != ENOENT) {
        return -1;
    }
    return open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
}

int n_fd_write_all(int fd, const void *data, size_t len) {
    const auto *p = static_cast<const unsigned char *>(data);
    while (len) {
        const ssize_t w = write(fd, p, len);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return 0;
        p += w;
        len -= static_cast<size_t>(w);
    }
    return 1;
}

int n_dir_sync(const char *dir) {
    N_ASSERT(dir, return 0);
    const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    const int rc = fsync(fd);
    const int err = errno;
    close(fd);
    errno = err;
    return rc == 0 ? 1 : 0;
}

int n_dir_sync_parent(const char *path) {
    N_ASSERT(path, return 0);
    const char *slash = strrchr(path, '/');
    if (!slash) return n_dir_sync(".");
    if (slash == path) return n_dir_sync("/");
    // on the stack: a sync after a rename must not fail for want of memory
    char dir[PATH_MAX];
    const size_t n = size_t(slash - path);
    if (n >= sizeof dir) {
        errno = ENAMETOOLONG;
        return 0;
    }
    memcpy(dir, path, n);
    dir[n] = '\0';
    return n_dir_sync(dir);
}

// Readers see the old file or the whole new one: the bytes go to "<path>.tmp",
// which is synced before the rename, so a crash or a failed step can only
// lose the temporary file. The directory itself is not synced.
int n_file_write_atomic(const char *path, const void *data, size_t len, mode_t mode) {
    N_ASSERT(path, return 0);
    if (!data && len) {
        n_log(LOG_ERR, "n_file_write_atomic: NULL data with len %zu", len);
        return 0;
    }
    size_t plen = strlen(path);
    char *tmp = n_calloc(tmp, plen + 5, char);
    N_ASSERT(tmp, return 0);
    heap_ptr tmp_guard{put_suffix(tmp, path, plen, ".tmp"), free};
    bool created = false;
    FILE *f = create_scratch(tmp, mode ? mode : 0666, &created);
    if (!f) {
        n_log(LOG_ERR, "n_file_write_atomic: cannot create %s: %s", tmp, strerror(errno));
        if (created) unlink(tmp);
        return 0;
    }
    // The mode is set before the sync so that the sync covers it, and with
    // fchmod so that the file-creation mask cannot narrow it.
    int ok = (len == 0 || fwrite(data, 1, len, f) == len) && fflush(f) == 0 &&
             (mode == 0 || fchmod(fileno(f), mode) == 0) && fsync(fileno(f)) == 0;
    if (fclose(f) != 0) ok = 0;
    if (ok && rename(tmp, path) != 0) ok = 0;
    if (!ok) unlink(tmp);
    return ok;
}

// The copy is built as "<to>.part", read back against the source and only
// then given its name, which it takes only if nothing holds it by then.
int n_file_copy_verified(const char *from, const char *to, size_t *copied) {
    N_ASSERT(from, return 0);
    N_ASSERT(to, return 0);
    if (copied) *copied = 0;
    // Any kind of entry holds the name (a dangling link, a socket, a file we
    // may not read): only "no such entry" lets us go on.
    struct stat st;
    if (lstat(to, &st) == 0) {
        n_log(LOG_ERR, "n_file_copy_verified: %s exists, not replaced", to);
        return 0;
    }
    if (errno != ENOENT) {
        n_log(LOG_ERR, "n_file_copy_verified: cannot tell whether %s exists: %s", to, strerror(errno));
        return 0;
    }
    size_t tlen = strlen(to);
    char *part = n_calloc(part, tlen + 6, char);
    if (!part) return 0;
    heap_ptr part_guard{put_suffix(part, to, tlen, ".part"), free};
    heap_ptr block{n_calloc(block, N_FILE_BLOCK, unsigned char), free};
    if (!block) return 0;

    size_t count = 0;
    bool created = false;
    int ok = copy_into(from, part, static_cast<unsigned char *>(block.get()), &count, &created);
    if (ok && !n_file_same_content(from, part)) {
        n_log(LOG_ERR, "n_file_copy_verified: the copy of %s does not match it", from);
        ok = 0;
    }
    if (ok && !rename_noreplace(part, to)) {
        n_log(LOG_ERR, "n_file_copy_verified: cannot name %s: %s", to, strerror(errno));
        ok = 0;
    }
    if (!ok) {
        if (created) unlink(part);
        return 0;
    }
    if (copied) *copied = count;
    return 1;
}

int n_file_same_content(const char *a, const char *b) {
    N_ASSERT(a, return 0);
    N_ASSERT(b, return 0);
    file_ptr fa{fopen(a, "rbe"), fclose};
    if (!fa) return 0;
    file_ptr fb{fopen(b, "rbe"), fclose};
    if (!fb) return 0;
    return n_file_streams_equal(fa.get(), fb.get());
}

int n_file_free_space(const char *path, uint64_t *bytes) {
    N_ASSERT(path, return 0);
    N_ASSERT(bytes, return 0);
    *bytes = 0;
    struct statvfs vfs;
    if (statvfs(path, &vfs) != 0) {
        n_log(LOG_ERR, "cannot read the free space of %s: %s", path, strerror(errno));
        return 0;
    }
    *bytes = (uint64_t)vfs.f_bavail * (uint64_t)vfs.f_frsize;
    return 1;
}

char *n_path_join(const char *dir, const char *name) {
    if (!dir || !name) return nullptr;
    size_t dlen = strlen(dir), nlen = strlen(name);
    bool sep = dlen > 0 && dir[dlen - 1] != '/' && dir[dlen - 1] != '\\';
    size_t total = dlen + (sep ? 1 : 0) + nlen;
    char *path = n_calloc(path, total + 1, char);
    if (!path) return nullptr;
    memcpy(path, dir, dlen);
    if (sep) path[dlen] = '/';
    memcpy(path + dlen + (sep ? 1 : 0), name, nlen + 1);
    return path;
}

int n_scan_dir(const char *dir, LIST *result, int recurse) {
    N_ASSERT(dir, return 0);
    N_ASSERT(result, return 0);
    dir_ptr d{opendir(dir)};
    if (!d) {
        n_log(LOG_ERR, "cannot open directory: %s, %s", dir, strerror(errno));
        return 0;
    }
    // errno is cleared before every readdir: only then does a null tell a
    // read error from the end of the directory
    errno = 0;
    for (struct dirent *ent; (ent = readdir(d.get())) != nullptr; errno = 0) {
        if (strcmp(ent->d_name, ".") == 0 || strcmp(ent->d_name, "..") == 0) continue;
        char *path = n_path_join(dir, ent->d_name);
        if (!path) {
            n_log(LOG_ERR, "malloc failed building path for %s/%s", dir, ent->d_name);
            return 0;
        }
        scan_entry(path, result, recurse);
    }
    if (errno != 0) {
        n_log(LOG_ERR, "readdir failed for %s: %s", dir, strerror(errno));
        return 0;
    }
    return 1;
}

int n_comp_file_info(const void *a, const void *b) {
    if (!a) return -1;
    if (!b) return 1;
    const auto *fa = static_cast<const N_FILE_INFO *>(a);
    const auto *fb = static_cast<const N_FILE_INFO *>(b);
    if (fa->mtime != fb->mtime) return fa->mtime < fb->mtime ? -1 : 1;
    if (fa->mtime_nsec != fb->mtime_nsec) return fa->mtime_nsec < fb->mtime_nsec ? -1 : 1;
    return 0;
}

void n_free_file_info(void *ptr) {
    N_ASSERT(ptr, return);
    auto *info = static_cast<N_FILE_INFO *>(ptr);
    free(info->filename);
    free(info);
}

void n_set_time_from_stat(N_FILE_INFO *info, const struct stat *st) {
    if (!info || !st) return;
    info->mtime = (int64_t)st->st_mtim.tv_sec;
    info->mtime_nsec = (int64_t)st->st_mtim.tv_nsec;
}
