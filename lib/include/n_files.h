// Files: bounded whole-file reads, atomic replacement through "<path>.tmp",
// verified copies that never replace an existing target, content comparison,
// free space, path joining and directory scans sorted by modification time.
// Results: 1 success, 0 failure, or a pointer that is null on failure (a
// descriptor from n_file_create_scratch: -1 with errno set). Buffers
// from n_file_read_bounded and paths from n_path_join belong to the caller
// (free()); N_FILE_INFO records belong to the LIST they were inserted into.
#pragma once

#include "n_list.h"

#include <cstddef>
#include <cstdint>
#include <sys/stat.h>
#include <sys/types.h>

// Copies and comparisons stream through blocks of this size, so memory use
// does not grow with the file.
constexpr size_t N_FILE_BLOCK = 262144;

// One regular file found by n_scan_dir.
struct N_FILE_INFO {
    char *filename;      // owned; n_path_join(dir, entry name)
    int64_t mtime;       // modification time, seconds since the epoch
    int64_t mtime_nsec;  // its nanoseconds part
};

// Whole files.
// - Targets are replaced only by a rename; on failure the old target is intact
//   and the temporary ("<path>.tmp") or working ("<to>.part") file is removed.
// - Two writers of one path share the temporary name: the caller serialises them.
[[nodiscard]] int n_file_read_bounded(const char *path, size_t cap, char **out, size_t *out_len);  // *out zero-terminated; files over cap fail
[[nodiscard]] int n_file_write_atomic(const char *path, const void *data, size_t len, mode_t mode);  // mode 0: 0666 less umask; else exactly mode; synced
[[nodiscard]] int n_file_copy_verified(const char *from, const char *to, size_t *copied);          // fails when `to` exists in any form
[[nodiscard]] int n_file_same_content(const char *a, const char *b);                               // 0 also when either cannot be read
[[nodiscard]] int n_file_free_space(const char *path, uint64_t *bytes);                            // bytes available to unprivileged users

// Scratch files for writers that do their own replacement.
// - The name is always created anew (O_EXCL | O_NOFOLLOW): a leftover is unlinked
//   first, never truncated, since it may be a hard link to somebody else's file.
// - A symbolic link at the name is refused (ELOOP) or removed, as the caller says;
//   either way no byte is written through it.
enum n_scratch_link { N_SCRATCH_REFUSE_LINK, N_SCRATCH_REMOVE_LINK };
[[nodiscard]] int n_file_create_scratch(const char *name, mode_t mode, n_scratch_link links);  // write-only descriptor, -1 on failure; mode less umask
[[nodiscard]] int n_fd_write_all(int fd, const void *data, size_t len);                         // retries EINTR and short writes; 0 on the first failure

// Directory syncs, which make a rename, creation or removal in it durable.
// - A failed sync says nothing about the name change itself, which has
//   happened: callers log it and go on.
[[nodiscard]] int n_dir_sync(const char *dir);          // 1 synced; 0 with errno set
[[nodiscard]] int n_dir_sync_parent(const char *path);  // the directory `path` lies in ("." without a '/')

// Paths and directory scans.
// - Scans add regular files (symbolic links to files included) oldest first;
//   equal times keep the order found. Linked directories are never entered.
[[nodiscard]] char *n_path_join(const char *dir, const char *name);  // "dir/name", or "dirname" when dir is empty or ends in a separator
[[nodiscard]] int   n_scan_dir(const char *dir, LIST *result, int recurse);  // files added before a failure stay in the list
int   n_comp_file_info(const void *a, const void *b);                 // N_FILE_INFO *: -1 older, 0 same, 1 newer; null sorts first
void  n_free_file_info(void *ptr);                                    // list destructor: the path and the record
void  n_set_time_from_stat(N_FILE_INFO *info, const struct stat *st);  // nulls ignored
