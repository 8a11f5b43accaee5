// Growable byte strings.
#include "n_str.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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
