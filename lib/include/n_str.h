// N_STR: growable byte string for text and binary data alike. `written` is
// always below `length` and a zero byte stands at `written`, so the content
// reads as a C string too. Results: 1 success, 0 failure, or a pointer that is
// null on failure. Whoever holds the N_STR * owns the record and its buffer;
// functions taking N_STR ** free through the handle and null it, and create
// the string in a null handle. Growth is exact: n appends cost n reallocations.
#pragma once

#include "n_log.h"

#include <cstddef>
#include <cstdio>

struct N_STR {
    char *data;      // null until the string has a buffer
    size_t length;   // usable bytes, terminator included
    size_t written;  // content bytes
};

// Largest file file_to_nstr reads: one byte less than 4 GiB is refused too.
constexpr long long N_STR_FILE_MAX = 0xFFFFFFFFLL;

// Creation and release.
[[nodiscard]] N_STR *new_nstr(size_t size);                        // size 0: no buffer; else size + 1 zeroed bytes, length = size
int    _free_nstr(N_STR **ptr);                                    // frees and nulls *ptr
int    free_nstr_nolog(N_STR **ptr);                               // the same, silent; a null *ptr is fine
void   free_nstr_ptr(void *ptr);                                   // destructor for lists and tables; null ignored
void   free_nstr_ptr_nolog(N_STR *ptr);                            // the same, typed
int    empty_nstr(N_STR *nstr);                                    // written = 0, buffer kept and zeroed

// Releases through the handle, or logs at DEBUG that it was already released.
#define free_nstr(PTR_)                                       \
    do {                                                      \
        if (*(PTR_)) _free_nstr(PTR_);                        \
        else n_log(LOG_DEBUG, "%s is already NULL", #PTR_);   \
    } while (0)

// Copies. The sources are copied, never adopted, except by char_to_nstr_nocopy.
int    char_to_nstr_ex(const char *src, size_t len, N_STR **to);   // *to must be null; binary-safe; length = len + 1
[[nodiscard]] N_STR *char_to_nstr(const char *src);
[[nodiscard]] N_STR *char_to_nstr_nocopy(char *src);               // adopts a heap text on success; on failure the caller keeps it
[[nodiscard]] N_STR *nstrdup(N_STR *str);                          // same length and written

// Appending and sizing.
// - A null *dest is created. On any failure the destination is left as it was.
// - Formatting arguments must not point into the string being written; an
//   append may take its bytes from its own destination.
N_STR *nstrcat_ex(N_STR **dest, const void *src, size_t size, int grow);  // grow 0: fail when it does not fit
N_STR *nstrcat_bytes_ex(N_STR **dest, const void *src, size_t size);      // grows; size 0 fails
int    resize_nstr(N_STR *nstr, size_t size);                              // length = size exactly; written untouched
N_STR *nstrprintf_ex(N_STR **str, const char *format, ...) __attribute__((format(printf, 2, 3)));      // replaces the content
N_STR *nstrprintf_cat_ex(N_STR **str, const char *format, ...) __attribute__((format(printf, 2, 3)));  // appends

// Raw growable buffer: *dest of *size bytes, content up to *written, zero after it.
int    write_and_fit_ex(char **dest, size_t *size, size_t *written, const char *src, size_t count, size_t extra);  // grows to position + count + 1 + extra
int    write_and_fit(char **dest, size_t *size, size_t *written, const char *src);  // strlen(src), 8 extra bytes

// Files and streams.
[[nodiscard]] N_STR *file_to_nstr(const char *filename);           // whole file; a read shorter than its size fails
int    nstr_to_fd(N_STR *str, FILE *out, int lock);                // lock 1: write and flush under an exclusive record lock
int    nstr_to_file(N_STR *str, const char *filename);             // truncates in place, mode 0600, locked

// Encoding.
[[nodiscard]] N_STR *n_str_url_encode(const char *str);            // RFC 3986: all but A-Z a-z 0-9 - . _ ~ as %XX
