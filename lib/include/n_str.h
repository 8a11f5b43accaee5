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

// ---- string utilities over plain texts ----
// New texts (trim, split entries and arrays, join, str_replace) belong to the
// caller and are released with free() (split results with free_split_result).
// Conversions and copies write their outputs only on success.
struct LIST;
struct HASH_TABLE;

// Trimming and reading lines.
char  *trim_nocopy(char *s);                                       // trims in place; pointer into s
[[nodiscard]] char *trim(const char *s);                           // new trimmed copy
char  *nfgets(char *buffer, size_t size, FILE *stream);            // fgets with a size check; null at end or error

// Integer conversion of the slice [start, end) of s, clamped to the text. A
// slice without digits gives 0 and succeeds for the int forms (as strtol).
int    str_to_int_ex(const char *s, size_t start, size_t end, int *i, int base);       // one trailing newline accepted
int    str_to_int(const char *s, int *i, int base);
int    str_to_int_nolog(const char *s, size_t start, size_t end, int *i, int base, N_STR **infos);  // reason in *infos, not logged
int    str_to_long_ex(const char *s, size_t start, size_t end, long *i, int base);     // trailing characters allowed
int    str_to_long(const char *s, long *i, int base);
int    str_to_long_long_ex(const char *s, size_t start, size_t end, long long *i, int base);
int    str_to_long_long(const char *s, long long *i, int base);

// Cursors: *it is an index into string, moved in place.
// - skipw moves by step while the character under *it is ch, skipu until it is
//   ch; a blank ch stands for any space. The terminator is neither. Step 0 is refused.
// - strcpy_u copies from *it until `stop` (left under *it) into at most size
//   bytes of `to`, terminator included; 0 when the terminator or `size` came first.
int    skipw(const char *string, char ch, size_t *it, int step);
int    skipu(const char *string, char ch, size_t *it, int step);
int    strup(const char *string, char *dest);                      // dest holds strlen + 1 bytes
int    strlo(const char *string, char *dest);
int    strcpy_u(const char *from, char *to, size_t size, char stop, size_t *it);

// Splitting and joining: an array of texts closed by a null entry.
[[nodiscard]] char **split(const char *str, const char *delim, int keep_empty);  // delim non-empty; empty parts only with keep_empty 1
int    split_count(char **split_result);                           // -1 for null or no entries
int    free_split_result(char ***tab);                             // 0 when already null; nulls *tab
[[nodiscard]] char *join(char **splitresult, const char *delim);   // delim may be null

// Matching and rewriting.
// - Wildcards: ? * [set] [^set] [a-z] and backslash escapes; 1 match, 0 no
//   match, -2 no match with the text used up. A "[" that is never closed is
//   an ordinary character, and a trailing backslash stands for itself.
int    wildmat(const char *text, const char *p);
int    wildmatcase(const char *text, const char *p);               // compares toupper of both sides
[[nodiscard]] char *str_replace(const char *string, const char *substr, const char *replacement);  // non-overlapping, left to right
int    str_natncasecmp(const char *a, size_t a_len, const char *b, size_t b_len);  // natural order: "file2" < "file10"
int    str_natcasecmp(const char *a, const char *b);              // nulls sort first
int    str_sanitize_ex(char *string, size_t string_len, const char *mask, size_t masklen, char replacement);
int    str_sanitize(char *string, const char *mask, char replacement);

// Directory listing by pattern, matched with wildmatcase against the whole
// path "dir/name". Mode 0 appends char * copies (free), mode 1 the N_STR
// paths (free_nstr_ptr). Links to files are listed; linked directories are
// never entered, so a link loop or a link out of the tree is not followed.
int    scan_dir_ex(const char *dir, const char *pattern, LIST *result, int recurse, int mode);
int    scan_dir(const char *dir, LIST *result, int recurse);       // pattern "*", mode 0

// "{{key}}" replaced by the table's string value for key (0 to 255 bytes);
// unknown keys and markers stay as written. The table may be null.
[[nodiscard]] N_STR *n_str_template_expand(const char *tmpl, HASH_TABLE *table);
int    n_str_utf8_valid(const void *data, size_t len);             // RFC 3629: no overlongs, surrogates or values past U+10FFFF
