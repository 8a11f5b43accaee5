// Growable byte strings.
#include "n_str.h"

#include "n_hash.h"
#include "n_list.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

N_STR *new_nstr(size_t size) {
    if (size == SIZE_MAX) {
        n_log(LOG_ERR, "new_nstr: size %zu would wrap the terminator allocation", size);
        return nullptr;
    }
    N_STR *str = n_calloc(str, 1, N_STR);
    N_ASSERT(str, return nullptr);
    if (size == 0) return str;
    str->data = n_calloc(str->data, size + 1, char);
    N_ASSERT(str->data, {
        free(str);
        return nullptr;
    });
    str->length = size;
    return str;
}

int _free_nstr(N_STR **ptr) {
    N_ASSERT(ptr && (*ptr), return 0);
    free((*ptr)->data);
    free(*ptr);
    *ptr = nullptr;
    return 1;
}

int free_nstr_nolog(N_STR **ptr) {
    if (!*ptr) return 1;
    free((*ptr)->data);
    free(*ptr);
    *ptr = nullptr;
    return 1;
}

void free_nstr_ptr(void *ptr) { free_nstr_ptr_nolog(static_cast<N_STR *>(ptr)); }

void free_nstr_ptr_nolog(N_STR *ptr) {
    if (!ptr) return;
    free(ptr->data);
    free(ptr);
}

int empty_nstr(N_STR *nstr) {
    N_ASSERT(nstr, return 0);
    N_ASSERT(nstr->data, return 0);
    memset(nstr->data, 0, nstr->length);
    nstr->written = 0;
    return 1;
}

int char_to_nstr_ex(const char *src, size_t len, N_STR **to) {
    N_ASSERT(to, return 0);
    if (*to) {
        n_log(LOG_ERR, "destination N_STR **str is not NULL (%p), it contain (%s). You must provide an empty destination.",
              (void *)*to, (*to)->data ? (*to)->data : "DATA_IS_NULL");
        // The source is binary and need not be terminated: print at most len bytes.
        int shown = len > (size_t)INT32_MAX ? INT32_MAX : (int)len;
        n_log(LOG_ERR, "Data to copy: %.*s", src ? shown : 4, src ? src : "NULL");
        return 0;
    }
    N_ASSERT(src, return 0);
    // len + 1 wraps to 0 for the largest len, which gives a record without buffer.
    *to = new_nstr(len + 1);
    N_ASSERT(to && (*to), return 0);
    N_ASSERT((*to)->data, {
        free(*to);
        *to = nullptr;
        return 0;
    });
    if (len) memcpy((*to)->data, src, len);
    (*to)->written = len;
    return 1;
}

N_STR *char_to_nstr(const char *src) {
    N_ASSERT(src, return nullptr);
    N_STR *to = nullptr;
    if (!char_to_nstr_ex(src, strlen(src), &to)) return nullptr;
    return to;
}

N_STR *char_to_nstr_nocopy(char *src) {
    N_ASSERT(src, return nullptr);
    N_STR *to = n_calloc(to, 1, N_STR);
    N_ASSERT(to, return nullptr);
    to->data = src;
    to->written = strlen(src);
    to->length = to->written + 1;
    return to;
}

N_STR *nstrdup(N_STR *str) {
    N_ASSERT(str, return nullptr);
    N_ASSERT(str->data, return nullptr);
    N_STR *copy = new_nstr(str->length);
    if (!copy) {
        n_log(LOG_ERR, "Error duplicating N_STR %p", (void *)str);
        return nullptr;
    }
    if (!copy->data) {
        n_log(LOG_ERR, "Error duplicating N_STR %p -> data", (void *)str);
        free_nstr_nolog(&copy);
        return nullptr;
    }
    // A caller that shrank below `written` without repairing it must not make
    // us read past the source buffer.
    size_t n = str->written < str->length ? str->written : str->length;
    memcpy(copy->data, str->data, n);
    copy->written = str->written;
    return copy;
}

// Exact growth by design: the buffer is sized to the content plus terminator.
// On a failed reallocation the destination keeps its old buffer and content:
// the caller's data is never lost to an append that could not happen.
N_STR *nstrcat_ex(N_STR **dest, const void *src, size_t size, int grow) {
    N_ASSERT(dest, return nullptr);
    N_ASSERT(src, return nullptr);
    if (size > SIZE_MAX - 2) {
        n_log(LOG_ERR, "size too large in nstrcat_ex: %zu", size);
        return nullptr;
    }
    if (!*dest) {
        if (!grow) {
            n_log(LOG_ERR, "%p to %p: not enough space. Resize forbidden. %zu needed, destination is NULL", src,
                  (void *)nullptr, size + 1);
            return nullptr;
        }
        *dest = new_nstr(size + 1);
        if (!*dest) {
            n_log(LOG_ERR, "could not allocate new N_STR of size %zu", size + 1);
            return nullptr;
        }
    }
    N_STR *s = *dest;
    if (s->written > SIZE_MAX - 1 - size) {
        n_log(LOG_ERR, "integer overflow in nstrcat_ex size calculation");
        return nullptr;
    }
    size_t needed = s->written + size + 1;
    if (!grow && s->length < needed) {
        n_log(LOG_ERR, "%p to %p: not enough space. Resize forbidden. %zu needed, %zu available", src, (void *)s, needed,
              s->length);
        return nullptr;
    }
    const char *from = static_cast<const char *>(src);
    if (s->length < needed) {
        // Appending a piece of the string to itself: the source moves with the buffer.
        uintptr_t a = reinterpret_cast<uintptr_t>(src), b = reinterpret_cast<uintptr_t>(s->data);
        bool inside = s->data && a >= b && a < b + s->length;
        size_t offset = inside ? a - b : 0;
        char *grown = n_realloc((*dest)->data, s->data, needed);
        if (!grown) return nullptr;
        memset(grown + s->written, 0, needed - s->written);
        s->data = grown;
        s->length = needed;
        if (inside) from = grown + offset;
    }
    if (size) memmove(s->data + s->written, from, size);
    s->written += size;
    s->data[s->written] = '\0';
    return s;
}

N_STR *nstrcat_bytes_ex(N_STR **dest, const void *src, size_t size) {
    N_ASSERT(dest, return nullptr);
    if (size == 0) {
        n_log(LOG_ERR, "Could not copy 0 or less (%zu) octet!", size);
        return nullptr;
    }
    return nstrcat_ex(dest, src, size, 1);
}

int resize_nstr(N_STR *nstr, size_t size) {
    N_ASSERT(nstr, return 0);
    if (size == 0) {
        if (nstr->data) free(nstr->data);
        else n_log_free_null("nstr->data");
        nstr->data = nullptr;
        nstr->length = 0;
        nstr->written = 0;
        return 1;
    }
    if (nstr->data) {
        char *grown = n_realloc(nstr->data, nstr->data, size);
        if (!grown) return 0;
        if (size > nstr->length) memset(grown + nstr->length, 0, size - nstr->length);
        nstr->data = grown;
    } else {
        nstr->data = n_calloc(nstr->data, size, char);
        N_ASSERT(nstr->data, return 0);
    }
    nstr->length = size;
    return 1;
}

N_STR *nstrprintf_ex(N_STR **str, const char *format, ...) {
    N_ASSERT(str, return nullptr);
    N_ASSERT(format, return nullptr);
    va_list args;
    va_start(args, format);
    int measured = _vscprintf_so(format, args);
    N_STR *result = nullptr;
    if (measured < 0) {
        n_log(LOG_ERR, "there was an error while computing the new size according to format \"%s\" for N_STR %p", format,
              (void *)*str);
    } else {
        size_t n = (size_t)measured;
        if (!*str) {
            *str = new_nstr(n + 1);
            if (!*str || !(*str)->data) {
                n_log(LOG_ERR, "could not allocate N_STR of size %zu", n + 1);
                goto done;
            }
        } else if ((*str)->length < n + 1 && !resize_nstr(*str, n + 1)) {
            n_log(LOG_ERR, "could not resize N_STR %p to size %zu", (void *)*str, n + 1);
            goto done;
        }
        vsnprintf((*str)->data, n + 1, format, args);
        // Old content behind the new text is cleared, not left readable.
        memset((*str)->data + n, 0, (*str)->length - n);
        (*str)->written = n;
        result = *str;
    }
done:
    va_end(args);
    return result;
}

N_STR *nstrprintf_cat_ex(N_STR **str, const char *format, ...) {
    N_ASSERT(str, return nullptr);
    N_ASSERT(format, return nullptr);
    va_list args;
    va_start(args, format);
    int measured = _vscprintf_so(format, args);
    N_STR *result = nullptr;
    if (measured < 0) {
        n_log(LOG_ERR, "vsnprintf size estimation failed for format \"%s\"", format);
    } else {
        size_t n = (size_t)measured;
        if (!*str && !(*str = new_nstr(n + 1))) goto done;
        N_STR *s = *str;
        if (s->written > SIZE_MAX - 1 - n) {
            n_log(LOG_ERR, "integer overflow computing total_needed in nstrprintf_cat_ex");
            goto done;
        }
        size_t total = s->written + n + 1;
        if (s->length < total && !resize_nstr(s, total)) {
            n_log(LOG_ERR, "could not resize N_STR %p to size %zu", (void *)s, total);
            goto done;
        }
        int put = vsnprintf(s->data + s->written, n + 1, format, args);
        if (put < 0) {
            n_log(LOG_ERR, "vsnprintf failed while writing at offset %zu in N_STR %p", s->written, (void *)s);
            goto done;
        }
        s->written += (size_t)put;
        s->data[s->written] = '\0';
        result = s;
    }
done:
    va_end(args);
    return result;
}

int write_and_fit_ex(char **dest, size_t *size, size_t *written, const char *src, size_t count, size_t extra) {
    N_ASSERT(dest && size && written, return 0);
    if (count == 0) return 1;
    N_ASSERT(src, return 0);
    if (!*dest) {
        *written = 0;
        *size = 0;
    }
    size_t pos = *written;
    if (count > SIZE_MAX - 1 || pos > SIZE_MAX - 1 - count || extra > SIZE_MAX - 1 - count - pos) return 0;
    size_t needed = extra + pos + count + 1;
    if (!*dest || pos + count + 1 >= *size) {
        char *grown = n_realloc((*dest), *dest, needed);
        if (!grown) {
            n_log(LOG_ERR, "reallocation error !!!!");
            return 0;
        }
        if (needed > *size) memset(grown + *size, 0, needed - *size);
        *dest = grown;
        *size = needed;
    }
    memcpy(*dest + pos, src, count);
    *written = pos + count;
    (*dest)[*written] = '\0';
    return 1;
}

int write_and_fit(char **dest, size_t *size, size_t *written, const char *src) {
    N_ASSERT(src, return 0);
    return write_and_fit_ex(dest, size, written, src, strlen(src), 8);
}

using file_ptr = std::unique_ptr<FILE, decltype(&fclose)>;

// The whole file or nothing: st_size is only a hint for files such as those
// of sysfs, so a read that ends before it fails rather than returning a tail
// of zeros as content.
N_STR *file_to_nstr(const char *filename) {
    N_ASSERT(filename, {
        n_log(LOG_ERR, "Unable to make a string from NULL filename");
        return nullptr;
    });
    int fd = open(filename, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        n_log(LOG_ERR, "Unable to open %s for reading. Errno: %s", filename, strerror(errno));
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        if (errno == EOVERFLOW) n_log(LOG_ERR, "%s size is too big ,EOVERFLOW)", filename);
        else n_log(LOG_ERR, "Couldn't stat %s. Errno: %s", filename, strerror(errno));
        close(fd);
        return nullptr;
    }
    long long size = (long long)st.st_size;
    if (size >= N_STR_FILE_MAX) {
        n_log(LOG_ERR, "file size >= 4GB is not possible yet. %s is %lld oct", filename, size);
        close(fd);
        return nullptr;
    }
    n_log(LOG_DEBUG, "%s file size is: %lld", filename, size);
    file_ptr in{fdopen(fd, "rb"), fclose};
    if (!in) {
        n_log(LOG_ERR, "fdopen failed on %s (fd=%d)", filename, fd);
        close(fd);
        return nullptr;
    }
    N_STR *tmpstr = new_nstr((size_t)size + 1);
    N_ASSERT(tmpstr, {
        n_log(LOG_ERR, "Unable to get a new nstr of %lld octets", size + 1);
        return nullptr;
    });
    if (size == 0) return tmpstr;

    size_t want = (size_t)size, got = 0;
    while (got < want) {
        size_t n = fread(tmpstr->data + got, 1, want - got, in.get());
        if (n == 0) break;
        got += n;
    }
    if (got == want) {
        tmpstr->written = want;
        return tmpstr;
    }
    if (got == 0) n_log(LOG_ERR, "Couldn't read %s, fread return 0", filename);
    if (ferror(in.get())) n_log(LOG_ERR, "There were some errors when reading %s", filename);
    else if (got > 0) n_log(LOG_ERR, "Short read of %s: %zu of %lld octets before end of file", filename, got, size);
    free_nstr_nolog(&tmpstr);
    return nullptr;
}

// With lock 1 the flush happens inside the locked section: the stream's
// buffer is part of the write that the lock must cover, and a flush failure
// is a write failure. Without the lock nothing is flushed here.
int nstr_to_fd(N_STR *str, FILE *out, int lock) {
    N_ASSERT(out, return 0);
    N_ASSERT(str, return 0);
    int fd = fileno(out);
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    bool locked = false;
    if (lock == 1) {
        int rc;
        do rc = fcntl(fd, F_SETLKW, &fl);
        while (rc == -1 && errno == EINTR);
        if (rc == 0) locked = true;
        else n_log(LOG_ERR, "Error %s while write locking fd %d, writing without the lock", strerror(errno), fd);
    }
    int ret = 1;
    size_t want = str->data ? str->written : 0;
    size_t put = want ? fwrite(str->data, 1, want, out) : 0;
    if (put != want) {
        n_log(LOG_ERR, "Couldn't write file, fwrite %zu of %zu octets", put, str->written);
        ret = 0;
    }
    if (ferror(out)) {
        n_log(LOG_ERR, "There were some errors when writing to %d", fd);
        ret = 0;
    }
    if (lock == 1 && fflush(out) != 0) {
        n_log(LOG_ERR, "Couldn't flush %d before unlocking. Errno: %s", fd, strerror(errno));
        ret = 0;
    }
    if (locked) {
        fl.l_type = F_UNLCK;
        fcntl(fd, F_SETLK, &fl);
    }
    return ret;
}

int nstr_to_file(N_STR *str, const char *filename) {
    N_ASSERT(str, return 0);
    N_ASSERT(filename, return 0);
    int fd = open(filename, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        n_log(LOG_ERR, "Couldn't open %s for writing (0600). Errno: %s", filename, strerror(errno));
        return 0;
    }
    FILE *out = fdopen(fd, "wb");
    if (!out) {
        n_log(LOG_ERR, "fdopen failed for %s (fd=%d). Errno: %s", filename, fd, strerror(errno));
        close(fd);
        return 0;
    }
    int ret = nstr_to_fd(str, out, 1);
    // A delayed write error (full disk) surfaces only at close.
    if (fclose(out) != 0) {
        n_log(LOG_ERR, "Couldn't close %s after writing. Errno: %s", filename, strerror(errno));
        ret = 0;
    }
    n_log(LOG_DEBUG, "%s file size is: %lld", filename, (long long)str->written);
    return ret;
}

N_STR *n_str_url_encode(const char *str) {
    if (!str) return nullptr;
    size_t len = strlen(str);
    if (len > SIZE_MAX / 3) return nullptr;
    N_STR *out = new_nstr(3 * len + 1);
    if (!out) return nullptr;
    static constexpr char upper_hex[] = "0123456789ABCDEF";
    // The buffer is sized for the worst case, so every byte goes straight in.
    char *w = out->data;
    for (size_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char)str[i];
        bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '.' || c == '_' || c == '~';
        if (unreserved) {
            *w++ = (char)c;
        } else {
            *w++ = '%';
            *w++ = upper_hex[c >> 4];
            *w++ = upper_hex[c & 0x0F];
        }
    }
    out->written = (size_t)(w - out->data);
    *w = '\0';
    return out;
}

/* ---- string utilities over plain texts ---- */

namespace {

// The C locale's classes, fixed here so that a caller's locale cannot change
// how a text is cut or matched.
bool is_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
unsigned char upper(unsigned char c) { return c >= 'a' && c <= 'z' ? (unsigned char)(c - 32) : c; }
unsigned char lower(unsigned char c) { return c >= 'A' && c <= 'Z' ? (unsigned char)(c + 32) : c; }

}  // namespace

char *trim_nocopy(char *s) {
    N_ASSERT(s, return nullptr);
    if (!*s) return s;
    char *start = s;
    while (*start && is_space((unsigned char)*start)) start++;
    char *end = start + strlen(start);
    while (end > start && is_space((unsigned char)end[-1])) end--;
    *end = '\0';
    return start;
}

char *trim(const char *s) {
    N_ASSERT(s, return nullptr);
    char *copy = strdup(s);
    N_ASSERT(copy, return nullptr);
    char *out = strdup(trim_nocopy(copy));
    free(copy);
    return out;
}

char *nfgets(char *buffer, size_t size, FILE *stream) {
    N_ASSERT(buffer, return nullptr);
    N_ASSERT(stream, return nullptr);
    if (size > (size_t)INT32_MAX - 1) {
        n_log(LOG_ERR, "size of %zu too big, >INT_MAX for buffer %p", size, (void *)buffer);
        return nullptr;
    }
    if (size == 0) return nullptr;  // fgets cannot even terminate an empty buffer
    return fgets(buffer, (int)size, stream);
}

namespace {

// The slice [start, end) of s in a zero-filled scratch text with room to
// spare. The slice is cut at the text's terminator: a slice that names bytes
// past the end of s must not make us read them.
char *slice_copy(const char *s, size_t start, size_t end) {
    char *tmpstr = n_calloc(tmpstr, end - start + 12, char);
    N_ASSERT(tmpstr, {
        n_log(LOG_ERR, "Unable to Malloc( tmpstr , char ,  sizeof( int ) + %zu - %zu )", end, start);
        return nullptr;
    });
    const size_t len = strnlen(s, end);
    if (start < len) memcpy(tmpstr, s + start, len - start);
    return tmpstr;
}

// strtol or strtoll with errno cleared first. An unsupported base gives what
// the C library documents (0, EINVAL, nothing read) without calling it, since
// the end pointer is then left unset and some interposed versions of the
// call write a wrong one.
template <class T> T convert(const char *text, char **endp, int base, T (*fn)(const char *, char **, int)) {
    *endp = const_cast<char *>(text);
    if (base < 0 || base == 1 || base > 36) {
        errno = EINVAL;
        return 0;
    }
    errno = 0;
    return fn(text, endp, base);
}

// One body for str_to_int_ex and str_to_int_nolog: with `infos` the reason
// for a failure replaces its content instead of being logged.
int to_int(const char *s, size_t start, size_t end, int *i, int base, N_STR **infos, bool log) {
    N_ASSERT(s, return 0);
    if (end < start) return 0;
    char *tmpstr = slice_copy(s, start, end);
    if (!tmpstr) return 0;
    char *endp = tmpstr;
    const long v = convert<long>(tmpstr, &endp, base, strtol);
    const char *why = nullptr;
    if (v > INT32_MAX) why = "OVERFLOW reached when converting %s to int";
    else if (v < INT32_MIN) why = "UNDERFLOW reached when converting %s to int";
    else if (*endp != '\0' && *endp != '\n') why = "Impossible conversion for %s";
    if (why) {
        if (log) n_log(LOG_ERR, why, tmpstr);
        else if (infos) nstrprintf_ex(infos, why, tmpstr);
    } else {
        *i = (int)v;
    }
    free(tmpstr);
    return why ? 0 : 1;
}

}  // namespace

// The messages are chosen at run time from a fixed set; each takes one %s.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"

int str_to_int_ex(const char *s, size_t start, size_t end, int *i, int base) {
    N_ASSERT(i, return 0);
    return to_int(s, start, end, i, base, nullptr, true);
}

int str_to_int_nolog(const char *s, size_t start, size_t end, int *i, int base, N_STR **infos) {
    N_ASSERT(i, return 0);
    return to_int(s, start, end, i, base, infos, false);
}

#pragma GCC diagnostic pop

int str_to_int(const char *s, int *i, int base) {
    if (!s) return 0;
    return str_to_int_ex(s, 0, strlen(s), i, base);
}

namespace {

// What strtol or strtoll made of a slice, in the order the checks are made.
enum class wide { no_digits, underflow, overflow, bad_base, valid_all, valid_rest, unspecified, valid_silent };

// The shared body of str_to_long_ex and str_to_long_long_ex; `say` logs
// each outcome in the function's own words. Trailing characters do not fail.
template <class T>
int to_wide(const char *s, size_t start, size_t end, T *i, int base, T (*fn)(const char *, char **, int),
            void (*say)(wide, T, const char *)) {
    N_ASSERT(s, return 0);
    N_ASSERT(i, return 0);
    if (end < start) return 0;
    char *tmpstr = slice_copy(s, start, end);
    if (!tmpstr) return 0;
    char *endp = tmpstr;
    const T v = convert<T>(tmpstr, &endp, base, fn);
    const int err = errno;
    const bool all_read = *endp == '\0', none_read = endp == tmpstr;
    free(tmpstr);
    wide w;
    if (none_read) w = wide::no_digits;
    else if (err == ERANGE && v == std::numeric_limits<T>::min()) w = wide::underflow;
    else if (err == ERANGE && v == std::numeric_limits<T>::max()) w = wide::overflow;
    else if (err == EINVAL) w = wide::bad_base;
    else if (err == 0) w = all_read ? wide::valid_all : wide::valid_rest;
    else if (v == 0) w = wide::unspecified;
    else w = wide::valid_silent;
    say(w, v, s);
    const bool ok = w == wide::valid_all || w == wide::valid_rest || w == wide::valid_silent;
    if (ok) *i = v;
    return ok;
}

void say_long(wide w, long v, const char *) {
    switch (w) {
        case wide::no_digits: n_log(LOG_ERR, " number : %ld  invalid  (no digits found, 0 returned)", v); break;
        case wide::underflow: n_log(LOG_ERR, " number : %ld  invalid  (underflow occurred)", v); break;
        case wide::overflow: n_log(LOG_ERR, " number : %ld  invalid  (overflow occurred)", v); break;
        case wide::bad_base: n_log(LOG_ERR, " number : %ld  invalid  (base contains unsupported value)", v); break;
        case wide::valid_all: n_log(LOG_DEBUG, " number : %ld    valid  (and represents all characters read)", v); break;
        case wide::valid_rest: n_log(LOG_DEBUG, " number : %ld    valid  (but additional characters remain", v); break;
        case wide::unspecified: n_log(LOG_ERR, " number : %ld  invalid  (unspecified error occurred)", v); break;
        case wide::valid_silent: break;
    }
}

void say_long_long(wide w, long long v, const char *s) {
    switch (w) {
        case wide::no_digits: n_log(LOG_ERR, "number: '%s' invalid (no digits found, 0 returned)", s); break;
        case wide::underflow: n_log(LOG_ERR, "number: '%s' invalid (underflow occurred)", s); break;
        case wide::overflow: n_log(LOG_ERR, "number: '%s' invalid (overflow occurred)", s); break;
        case wide::bad_base: n_log(LOG_ERR, "number: '%s' invalid (base contains unsupported value)", s); break;
        case wide::valid_all:
            n_log(LOG_DEBUG, "number : '%llu' valid (and represents all characters read)", (unsigned long long)v);
            break;
        case wide::valid_rest:
            n_log(LOG_DEBUG, " number : '%llu' valid (remaining characters: '%s')", (unsigned long long)v, s);
            break;
        case wide::unspecified: n_log(LOG_ERR, "number: '%s' invalid (unspecified error occurred)", s); break;
        case wide::valid_silent: break;
    }
}

}  // namespace

int str_to_long_ex(const char *s, size_t start, size_t end, long *i, int base) {
    return to_wide<long>(s, start, end, i, base, strtol, say_long);
}

int str_to_long(const char *s, long *i, int base) {
    if (!s) return 0;
    return str_to_long_ex(s, 0, strlen(s), i, base);
}

int str_to_long_long_ex(const char *s, size_t start, size_t end, long long *i, int base) {
    return to_wide<long long>(s, start, end, i, base, strtoll, say_long_long);
}

int str_to_long_long(const char *s, long long *i, int base) {
    if (!s) return 0;
    return str_to_long_long_ex(s, 0, strlen(s), i, base);
}

namespace {

// skipw and skipu differ only in which characters call for a move. The
// terminator never is ch nor a space, so a forward skipw always stops there.
int skip(const char *string, char ch, size_t *it, int step, bool while_ch) {
    const size_t len = strlen(string);
    auto moves = [&](size_t i) {
        const bool is_ch = i < len && (ch == ' ' ? is_space((unsigned char)string[i]) : string[i] == ch);
        return is_ch == while_ch;
    };
    size_t i = *it;
    if (i > len) return 0;
    if (!moves(i)) return 1;
    if (step > 0) {
        for (;;) {
            i += (size_t)step;
            *it = i;
            if (i > len) return 0;
            if (!moves(i)) return 1;
        }
    }
    const size_t back = (size_t)(-(int64_t)step);
    for (;;) {
        if (i == 0) return 0;
        if (i < back) {
            *it = 0;
            return moves(0) ? 0 : 1;
        }
        i -= back;
        *it = i;
        if (!moves(i)) return 1;
    }
}

}  // namespace

int skipw(const char *string, char ch, size_t *it, int step) {
    N_ASSERT(string, return 0);
    N_ASSERT(it, return 0);
    N_ASSERT(step != 0, return 0);  // a zero step would never leave the character
    return skip(string, ch, it, step, true);
}

int skipu(const char *string, char ch, size_t *it, int step) {
    N_ASSERT(string, return 0);
    N_ASSERT(it, return 0);
    N_ASSERT(step != 0, return 0);
    return skip(string, ch, it, step, false);
}

namespace {

int map_bytes(const char *string, char *dest, int (*f)(int)) {
    size_t i = 0;
    for (; string[i]; i++) dest[i] = (char)f((unsigned char)string[i]);
    dest[i] = '\0';
    return 1;
}

}  // namespace

int strup(const char *string, char *dest) {
    N_ASSERT(string, return 0);
    N_ASSERT(dest, return 0);
    return map_bytes(string, dest, toupper);
}

int strlo(const char *string, char *dest) {
    N_ASSERT(string, return 0);
    N_ASSERT(dest, return 0);
    return map_bytes(string, dest, tolower);
}

int strcpy_u(const char *from, char *to, size_t size, char stop, size_t *it) {
    N_ASSERT(from, return 0);
    N_ASSERT(to, return 0);
    N_ASSERT(it, return 0);
    N_ASSERT(size >= 1, return 0);
    N_ASSERT(*it <= strlen(from), return 0);  // a cursor past the text would read beyond it
    size_t count = 0;
    while (from[*it] != stop && from[*it] != '\0') {
        to[count++] = from[(*it)++];
        if (count == size) {
            to[size - 1] = '\0';
            n_log(LOG_DEBUG, "strcpy_u: not enough space to write %zu octet to dest (%zu max) , %s: %d", count, size,
                  __FILE__, __LINE__);
            return 0;
        }
    }
    to[count] = '\0';
    if (from[*it] == stop) return 1;
    n_log(LOG_DEBUG, "strcpy_u: delim value not found, written %zu octet to dest (%zu max) , %s: %d", count, size,
          __FILE__, __LINE__);
    return 0;
}

int free_split_result(char ***tab) {
    if (!tab || !*tab) return 0;
    for (char **e = *tab; *e; e++) free(*e);
    free(*tab);
    *tab = nullptr;
    return 1;
}

char **split(const char *str, const char *delim, int keep_empty) {
    N_ASSERT(str, return nullptr);
    N_ASSERT(delim, return nullptr);
    N_ASSERT(*delim, return nullptr);  // an empty delimiter would match everywhere
    const size_t dlen = strlen(delim);
    size_t sizeTab = 0;
    char **tab = static_cast<char **>(calloc(1, sizeof(char *)));
    N_ASSERT(tab, return nullptr);
    // Adds [p, p + len) as an entry; false (everything freed) on failure.
    auto add = [&](const char *p, size_t len) {
        char **tmp = static_cast<char **>(realloc(tab, (sizeTab + 2) * sizeof(char *)));
        N_ASSERT(tmp, {
            free_split_result(&tab);
            return false;
        });
        tab = tmp;
        sizeTab++;
        tab[sizeTab] = nullptr;
        tab[sizeTab - 1] = n_calloc(tab[sizeTab - 1], len + 1, char);
        if (!tab[sizeTab - 1]) {
            free_split_result(&tab);
            return false;
        }
        memcpy(tab[sizeTab - 1], p, len);
        return true;
    };
    const char *pos = str;
    for (;;) {
        const char *found = strstr(pos, delim);
        const size_t len = found ? (size_t)(found - pos) : strlen(pos);
        if ((len > 0 || keep_empty == 1) && !add(pos, len)) return nullptr;
        if (!found) break;
        pos = found + dlen;
    }
    return tab;
}

int split_count(char **split_result) {
    N_ASSERT(split_result, return -1);
    N_ASSERT(split_result[0], return -1);
    int n = 0;
    while (split_result[n]) n++;
    return n;
}

char *join(char **split_result, const char *delim) {
    N_ASSERT(split_result, return nullptr);
    const size_t dlen = delim ? strlen(delim) : 0;
    size_t total = 0;
    for (int k = 0; split_result[k]; k++) {
        if (__builtin_add_overflow(total, strlen(split_result[k]), &total)) {
            n_log(LOG_ERR, "join: total_length overflow accumulating entry %d", k);
            return nullptr;
        }
        if (split_result[k + 1] && __builtin_add_overflow(total, dlen, &total)) {
            n_log(LOG_ERR, "join: total_length overflow accumulating delimiter at entry %d", k);
            return nullptr;
        }
    }
    if (total == SIZE_MAX) {
        n_log(LOG_ERR, "join: total_length overflow accumulating delimiter at entry %d", 0);
        return nullptr;
    }
    char *result = n_calloc(result, total + 1, char);
    N_ASSERT(result, return nullptr);
    char *w = result;
    for (int k = 0; split_result[k]; k++) {
        const size_t n = strlen(split_result[k]);
        memcpy(w, split_result[k], n);
        w += n;
        if (split_result[k + 1] && dlen) {
            memcpy(w, delim, dlen);
            w += dlen;
        }
    }
    *w = '\0';
    return result;
}

namespace {

// One pattern element that consumes exactly one text character: "?", a
// class, an escaped character or a plain one. `next` is where the pattern
// goes on after it.
struct element {
    const unsigned char *next;
    bool any;
    const unsigned char *set, *set_end;  // class members, when a class
    bool negated;
    unsigned char literal;
};

// A class ends at the first "]" that is not its first member; null when the
// pattern ends first.
const unsigned char *class_end(const unsigned char *p) {
    const unsigned char *q = p + 1;
    if (*q == '^') q++;
    if (*q) q++;  // the first member may be "]"
    while (*q && *q != ']') q++;
    return *q ? q : nullptr;
}

element parse_element(const unsigned char *p) {
    element e{p + 1, false, nullptr, nullptr, false, *p};
    if (*p == '?') {
        e.any = true;
    } else if (*p == '\\') {
        if (p[1]) {
            e.literal = p[1];
            e.next = p + 2;
        }
    } else if (*p == '[') {
        if (const unsigned char *end = class_end(p)) {
            e.negated = p[1] == '^';
            e.set = p + 1 + (e.negated ? 1 : 0);
            e.set_end = end;
            e.next = end + 1;
        }
    }
    return e;
}

bool element_matches(const element &e, unsigned char c, bool fold) {
    auto f = [fold](unsigned char x) { return fold ? upper(x) : x; };
    if (e.any) return true;
    if (!e.set) return f(c) == f(e.literal);
    bool in = false;
    for (const unsigned char *m = e.set; m < e.set_end; m++) {
        if (m + 2 < e.set_end && m[1] == '-') {
            // A range: its ends are its only members when reversed (none).
            if (f(c) >= f(m[0]) && f(c) <= f(m[2])) in = true;
            m += 2;
        } else if (f(c) == f(*m)) {
            in = true;
        }
    }
    return in != e.negated;
}

// Iterative, with one backtracking point at the last star, so neither the
// stack nor the time can be blown up by a pattern of many stars. The result
// is the classic one: up to the first star a mismatch is 0 and running out
// of text is -2; once a star was reached every failure is -2, since no later
// start of the star's run can match either.
int match(const char *text_in, const char *pat_in, bool fold) {
    const auto *t = reinterpret_cast<const unsigned char *>(text_in);
    const auto *p = reinterpret_cast<const unsigned char *>(pat_in);
    const unsigned char *star_p = nullptr, *star_t = nullptr;
    for (;;) {
        if (*p == '*') {
            while (*p == '*') p++;
            if (!*p) return 1;
            star_p = p;
            star_t = t;
            continue;
        }
        if (!*t) {
            if (!*p) return 1;
            return -2;
        }
        if (*p) {
            const element e = parse_element(p);
            if (element_matches(e, *t, fold)) {
                p = e.next;
                t++;
                continue;
            }
        }
        if (!star_p) return 0;
        // Let the star take one more character and try the rest again.
        t = ++star_t;
        p = star_p;
    }
}

}  // namespace

int wildmat(const char *text, const char *p) {
    N_ASSERT(text, return 0);
    N_ASSERT(p, return 0);
    return match(text, p, false);
}

int wildmatcase(const char *text, const char *p) {
    N_ASSERT(text, return 0);
    N_ASSERT(p, return 0);
    return match(text, p, true);
}

char *str_replace(const char *string, const char *substr, const char *replacement) {
    if (!string) return nullptr;
    if (!substr || !*substr || !replacement) return strdup(string);
    const size_t len = strlen(string), flen = strlen(substr), rlen = strlen(replacement);
    size_t count = 0;
    for (const char *p = strstr(string, substr); p; p = strstr(p + flen, substr)) count++;
    size_t size = len + 1;
    if (rlen >= flen) {
        size_t grow;
        if (__builtin_mul_overflow(count, rlen - flen, &grow) || __builtin_add_overflow(size, grow, &size)) {
            n_log(LOG_ERR, "str_replace: the result would be too large (%zu occurrences of %zu bytes)", count, rlen);
            return nullptr;
        }
    } else {
        size -= count * (flen - rlen);
    }
    char *result = n_calloc(result, size, char);
    if (!result) {
        n_log(LOG_ERR, "str_replace: could not allocate %zu bytes", size);
        return nullptr;
    }
    char *w = result;
    const char *r = string;
    for (const char *p = strstr(r, substr); p; p = strstr(r, substr)) {
        memcpy(w, r, (size_t)(p - r));
        w += p - r;
        memcpy(w, replacement, rlen);
        w += rlen;
        r = p + flen;
    }
    memcpy(w, r, strlen(r) + 1);
    return result;
}

int str_natncasecmp(const char *a, size_t a_len, const char *b, size_t b_len) {
    if (!a || !b) return !a && !b ? 0 : (!a ? -1 : 1);
    if (!a_len || !b_len) return !a_len && !b_len ? 0 : (!a_len ? -1 : 1);
    const auto *ua = reinterpret_cast<const unsigned char *>(a);
    const auto *ub = reinterpret_cast<const unsigned char *>(b);
    size_t i = 0, j = 0;
    int tie = 0;  // the first pair of equal numbers written with different leading zeros
    while (i < a_len && j < b_len) {
        if (!is_digit(ua[i]) || !is_digit(ub[j])) {
            const unsigned char ca = lower(ua[i]), cb = lower(ub[j]);
            if (ca != cb) return ca < cb ? -1 : 1;
            i++, j++;
            continue;
        }
        size_t za = 0, zb = 0;
        while (i < a_len && ua[i] == '0') i++, za++;
        while (j < b_len && ub[j] == '0') j++, zb++;
        const size_t sa = i, sb = j;
        while (i < a_len && is_digit(ua[i])) i++;
        while (j < b_len && is_digit(ub[j])) j++;
        const size_t la = i - sa, lb = j - sb;
        if (la != lb) return la < lb ? -1 : 1;
        const int c = memcmp(ua + sa, ub + sb, la);
        if (c) return c < 0 ? -1 : 1;
        if (!tie && za != zb) tie = za < zb ? -1 : 1;
    }
    if (i >= a_len && j < b_len) return -1;
    if (j >= b_len && i < a_len) return 1;
    if (tie) return tie;
    const int c = memcmp(a, b, a_len < b_len ? a_len : b_len);
    if (c) return c < 0 ? -1 : 1;
    return a_len == b_len ? 0 : (a_len < b_len ? -1 : 1);
}

int str_natcasecmp(const char *a, const char *b) {
    return str_natncasecmp(a, a ? strlen(a) : 0, b, b ? strlen(b) : 0);
}

int str_sanitize_ex(char *string, size_t string_len, const char *mask, size_t masklen, char replacement) {
    N_ASSERT(string, return 0);
    N_ASSERT(mask, return 0);
    const size_t mlen = strnlen(mask, masklen);
    for (size_t i = 0; i < string_len && mlen; i++)
        if (memchr(mask, string[i], mlen)) string[i] = replacement;
    return 1;
}

int str_sanitize(char *string, const char *mask, char replacement) {
    N_ASSERT(string, return 0);
    N_ASSERT(mask, return 0);
    return str_sanitize_ex(string, strlen(string), mask, strlen(mask), replacement);
}

int scan_dir_ex(const char *dir, const char *pattern, LIST *result, int recurse, int mode) {
    if (!result) return 0;
    N_ASSERT(dir, return 0);
    N_ASSERT(pattern, return 0);
    DIR *dp = opendir(dir);
    if (!dp) {
        n_log(LOG_ERR, "cannot open directory: %s", dir);
        return 0;
    }
    while (struct dirent *entry = readdir(dp)) {
        N_STR *newname = nullptr;
        nstrprintf_ex(&newname, "%s/%s", dir, entry->d_name);
        if (!newname) {
            n_log(LOG_ERR, "could not allocate newname for %s/%s", dir, entry->d_name);
            free_nstr(&newname);
            continue;
        }
        // Recursion is decided on the entry itself: a link to a directory
        // (a loop, or a way out of the tree) is never entered. A link to a
        // file is still listed as the file it leads to.
        struct stat lst, st;
        if (lstat(newname->data, &lst) != 0) {
            free_nstr_nolog(&newname);
            continue;
        }
        if (S_ISDIR(lst.st_mode)) {
            if (recurse && strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0 &&
                !scan_dir_ex(newname->data, pattern, result, recurse, mode))
                n_log(LOG_ERR, "scan_dir_ex( %s , %s , %p , %d , %d ) returned FALSE !", newname->data, pattern,
                      (void *)result, recurse, mode);
        } else if (stat(newname->data, &st) == 0 && S_ISREG(st.st_mode) && wildmatcase(newname->data, pattern) == 1) {
            if (mode == 0) {
                char *copy = strdup(newname->data);
                if (!copy || !list_push(result, copy, free)) {
                    n_log(LOG_ERR, "Error adding %s/%s to list", dir, entry->d_name);
                    free(copy);
                }
            } else if (mode == 1) {
                if (list_push(result, newname, free_nstr_ptr)) newname = nullptr;
                else n_log(LOG_ERR, "Error adding %s/%s to list", dir, entry->d_name);
            }
        }
        free_nstr_nolog(&newname);
    }
    closedir(dp);
    return 1;
}

int scan_dir(const char *dir, LIST *result, int recurse) { return scan_dir_ex(dir, "*", result, recurse, 0); }

N_STR *n_str_template_expand(const char *tmpl, HASH_TABLE *table) {
    if (!tmpl) return nullptr;
    const size_t len = strlen(tmpl);
    N_STR *out = new_nstr(len + 256);
    N_ASSERT(out, return nullptr);
    size_t i = 0, plain = 0;  // plain: start of the run of text not yet appended
    auto flush = [&](size_t upto) {
        if (upto > plain) nstrcat_ex(&out, tmpl + plain, upto - plain, 1);
    };
    while (i < len) {
        if (tmpl[i] == '{' && tmpl[i + 1] == '{') {
            const char *close = strstr(tmpl + i + 2, "}}");
            const size_t klen = close ? (size_t)(close - (tmpl + i + 2)) : 0;
            if (close && klen <= 255) {
                char key[256];
                memcpy(key, tmpl + i + 2, klen);
                key[klen] = '\0';
                char *value = nullptr;
                flush(i);
                if (table && ht_get_string(table, key, &value) == 1 && value)
                    nstrcat_ex(&out, value, strlen(value), 1);
                else
                    nstrprintf_cat_ex(&out, "{{%s}}", key);
                i = (size_t)(close - tmpl) + 2;
                plain = i;
                continue;
            }
        }
        i++;
    }
    flush(len);
    return out;
}

int n_str_utf8_valid(const void *data, size_t len) {
    if (!data) return len == 0;
    const auto *s = static_cast<const unsigned char *>(data);
    size_t i = 0;
    while (i < len) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            i++;
            continue;
        }
        size_t more;
        uint32_t v;
        if (c >= 0xC2 && c <= 0xDF) more = 1, v = c & 0x1F;
        else if (c >= 0xE0 && c <= 0xEF) more = 2, v = c & 0x0F;
        else if (c >= 0xF0 && c <= 0xF4) more = 3, v = c & 0x07;
        else return 0;
        if (len - i - 1 < more) return 0;
        for (size_t k = 1; k <= more; k++) {
            if ((s[i + k] & 0xC0) != 0x80) return 0;
            v = v << 6 | (s[i + k] & 0x3F);
        }
        if ((more == 2 && v < 0x800) || (more == 3 && v < 0x10000) || (v >= 0xD800 && v <= 0xDFFF) || v > 0x10FFFF)
            return 0;
        i += more + 1;
    }
    return 1;
}
