#include "client_pin.h"

#include "n_files.h"
#include "quorvane_crypto.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

struct fd_guard {
    int fd;
    ~fd_guard() {
        if (fd >= 0) close(fd);
    }
};

// 1 when `key` holds the file's first 32 bytes, 0 for a short file, -2 when
// the file does not exist, -1 for every other error.
int read_pin(const char *path, uint8_t key[QV_PIN_LEN]) {
    fd_guard f{open(path, O_RDONLY | O_CLOEXEC)};
    if (f.fd < 0) return errno == ENOENT ? -2 : -1;
    size_t got = 0;
    while (got < QV_PIN_LEN) {
        ssize_t n = read(f.fd, key + got, QV_PIN_LEN - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return got == QV_PIN_LEN ? 1 : 0;
}

// The first pin appears whole and only where no pin is yet: sessions pinning
// at the same moment each write their own temporary file, and the first to
// publish wins. 0 pinned, 1 another pin came first, -1 an error.
int pin_first_use(const char *path, const uint8_t key[QV_PIN_LEN]) {
    std::string tmp = std::string(path) + ".XXXXXX";
    int fd = mkostemp(tmp.data(), O_CLOEXEC);  // 0600
    if (fd < 0) return -1;
    bool ok = n_fd_write_all(fd, key, QV_PIN_LEN) && fsync(fd) == 0;
    if (close(fd) != 0) ok = false;
    int r = -1;
    if (ok) {
        if (renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, path, RENAME_NOREPLACE) == 0) return 0;
        if (errno == EEXIST) r = 1;
        // file systems without the flag: a hard link refuses an existing name too
        else if ((errno == EINVAL || errno == ENOSYS) && link(tmp.c_str(), path) == 0) r = 0;
        else if (errno == EEXIST) r = 1;
    }
    unlink(tmp.c_str());
    return r;
}

}  // namespace

int quorvane_pin_set(const char *path, const uint8_t key[32]) {
    if (!path || !*path || !key) return -1;
    // Which server a user trusts is nobody else's business: 0600 whatever the umask.
    return n_file_write_atomic(path, key, QV_PIN_LEN, 0600) ? 0 : -1;
}

int quorvane_pin_check(const char *path, const uint8_t key[32]) {
    if (!path || !*path || !key) return -1;
    uint8_t pinned[QV_PIN_LEN];
    int got = read_pin(path, pinned);
    // Only a file that is not there is a first use: a pin we cannot read (a
    // directory, a loop of links, no permission) must not be replaced unasked.
    if (got == -2) {
        int r = pin_first_use(path, key);
        if (r != 1) return r;
        got = read_pin(path, pinned);  // another session pinned it first: compare with that
    }
    if (got != 1) return -1;
    return quorvane_ct_eq(pinned, key, QV_PIN_LEN) ? 1 : 2;
}
