// Blob cache: downloaded blobs, in the sealed form they travelled in, kept as
// plain files under their 16-byte storage id (32 lower-case hex digits) in
// "small" (up to 512 KiB) and "large", under a size limit that every store
// enforces by evicting large entries first, oldest first within each class.
// Results: 0 ok, -1 refused or absent; counts where noted. Entries are not
// synced, so after a crash one can be cut short: callers that know a blob's
// length ask for it with get_exact, which reports such an entry (-2).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t   QV_BLOBCACHE_SMALL_MAX     = 524288;     // largest blob kept in "small"
constexpr uint64_t QV_BLOBCACHE_DEFAULT_LIMIT = 134217728;  // the worker's limit when its configuration says 0
constexpr size_t   QV_BLOBCACHE_PATH_MAX      = 1024;       // every path must stay below it
constexpr size_t   QV_BLOBCACHE_ID_LEN        = 16;
constexpr size_t   QV_BLOBCACHE_NAME_LEN      = 32;

[[nodiscard]] int quorvane_blobcache_get(const char *dir, const uint8_t id[16], uint8_t *buf, size_t cap,
                                         size_t *len);  // -1 also for an entry over cap (not refreshed) or of 0 bytes
[[nodiscard]] int quorvane_blobcache_get_exact(const char *dir, const uint8_t id[16], size_t expected, uint8_t *buf,
                                               size_t cap);  // -2: an entry of another length, removed so it is fetched again
[[nodiscard]] int quorvane_blobcache_put(const char *dir, const uint8_t id[16], const uint8_t *bytes, size_t len,
                                         uint64_t limit);  // limit 0 empties the cache and stores nothing (-1)
size_t   quorvane_blobcache_evict(const char *dir, uint64_t limit);  // entries removed
uint64_t quorvane_blobcache_size(const char *dir);                   // bytes of all entries
size_t   quorvane_blobcache_clear(const char *dir);                  // entries removed
int      quorvane_blobcache_remove(const char *dir, const uint8_t id[16]);  // -1 missing arguments; an absent entry is not an error
