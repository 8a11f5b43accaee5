#include "quorvane_keyfile.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include "n_digest.h"
#include "n_files.h"
#include "n_log.h"
#include "quorvane_bytes.h"

using namespace qv_bytes;

static_assert(QV_KEY_LEN == N_AEAD_KEY_LEN && QV_TAG_LEN == N_AEAD_TAG_LEN);

namespace {

constexpr char KEYFILE_MAGIC[4] = {'H', 'R', 'K', '1'};

struct fd_guard {
    int fd = -1;
    explicit fd_guard(int f) : fd(f) {}
    fd_guard(const fd_guard &) = delete;
    fd_guard &operator=(const fd_guard &) = delete;
    ~fd_guard() {
        if (fd >= 0) close(fd);
    }
    // close() reports deferred write errors, so a writer must see its result.
    int release_close() {
        const int f = fd;
        fd = -1;
        return close(f);
    }
};

// Reads exactly n bytes; -1 on an error or an early end of file.
int read_all(int fd, uint8_t *p, size_t n) {
    while (n) {
        const ssize_t r = read(fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return -1;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return 0;
}

// Writes the whole file image to "<path>.tmp" and renames it over `path`.
// The temporary file is 0600 before its first byte, so the sealed secret is
// never readable by others, not even for a moment or after a failed chmod; a
// stale temporary file of a writer that died is removed first, since
// O_EXCL would otherwise refuse every later seal.
int replace_file(const char *path, const uint8_t *img, size_t n) {
    const std::string tmp = std::string(path) + ".tmp";
    fd_guard f{n_file_create_scratch(tmp.c_str(), 0600, N_SCRATCH_REMOVE_LINK)};
    if (f.fd < 0) return -1;
    // The umask may have narrowed the mode; the file must be exactly 0600.
    const bool written = fchmod(f.fd, 0600) == 0 && n_fd_write_all(f.fd, img, n) && fsync(f.fd) == 0;
    if (!written || f.release_close() != 0 || rename(tmp.c_str(), path) != 0) {
        unlink(tmp.c_str());
        return -1;
    }
    // From the rename on, the new file is the one every reader opens: the
    // replacement is done, and reporting it failed would make a caller keep
    // the old secret while the disk holds the new one. The directory sync only
    // makes the name durable, so its failure is logged, not returned.
    if (!n_dir_sync_parent(path))
        n_log(LOG_ERR, "keyfile: %s replaced, but its directory could not be synced: %s", path, strerror(errno));
    return 0;
}

}  // namespace

int quorvane_keyfile_params_ok(const quorvane_scrypt_params *prm) {
    if (!prm) return 0;
    const uint32_t N = prm->N;
    const bool pow2 = N >= 2 && (N & (N - 1)) == 0;
    return pow2 && N <= QV_KEYFILE_N_MAX && prm->r >= 1 && prm->r <= QV_KEYFILE_R_MAX && prm->p >= 1 &&
                   prm->p <= QV_KEYFILE_P_MAX && 128ull * N * prm->r <= QV_KEYFILE_MEM_MAX
               ? 1
               : 0;
}

int quorvane_keyfile_parse(const uint8_t *p, size_t n, quorvane_keyfile_hdr *out) {
    if (!p || !out || n < QV_KEYFILE_HDR_LEN) return -3;
    if (memcmp(p, KEYFILE_MAGIC, 4) != 0 || p[4] != QV_KEYFILE_VERSION || p[5] != QV_KEYFILE_KDF_SCRYPT) return -3;
    quorvane_keyfile_hdr h;
    h.params = {get_be32(p + 6), get_be32(p + 10), get_be32(p + 14)};
    memcpy(h.salt, p + 18, QV_KEYFILE_SALT_LEN);
    memcpy(h.nonce, p + 34, QV_NONCE_LEN);
    h.len = get_be32(p + 46);
    if (h.len < 1 || h.len > QV_KEYFILE_MAX || !quorvane_keyfile_params_ok(&h.params)) return -3;
    *out = h;
    return 0;
}

int quorvane_keyfile_seal(const char *path, const char *password, const uint8_t *pt, size_t len,
                          const quorvane_scrypt_params *params) {
    if (!path || !password || !pt || !params || len < 1 || len > QV_KEYFILE_MAX ||
        strlen(path) >= QV_KEYFILE_PATH_MAX || !quorvane_keyfile_params_ok(params))
        return -3;
    // The whole file image; the ciphertext is the secret under a password
    // that may be weak, so it is wiped like the key.
    secret_buf<QV_KEYFILE_FILE_MAX> img;
    uint8_t *hdr = img.b;
    memcpy(hdr, KEYFILE_MAGIC, 4);
    hdr[4] = QV_KEYFILE_VERSION;
    hdr[5] = QV_KEYFILE_KDF_SCRYPT;
    put_be32(hdr + 6, params->N);
    put_be32(hdr + 10, params->r);
    put_be32(hdr + 14, params->p);
    uint8_t *salt = hdr + 18, *nonce = hdr + 34;
    if (quorvane_random(salt, QV_KEYFILE_SALT_LEN) != 0 || quorvane_random(nonce, QV_NONCE_LEN) != 0) return -1;
    put_be32(hdr + 46, static_cast<uint32_t>(len));

    secret_buf<QV_KEY_LEN> key;
    if (quorvane_scrypt(byte_ptr(password), strlen(password), salt, QV_KEYFILE_SALT_LEN,
                        params, key.b, sizeof key.b) != 0)
        return -1;
    uint8_t *ct = img.b + QV_KEYFILE_HDR_LEN;
    const int rc = n_aead_chacha20poly1305_encrypt(key.b, nonce, QV_NONCE_LEN, hdr, QV_KEYFILE_HDR_LEN, pt, len, ct,
                                                   ct + len);
    key.wipe();
    if (rc != 0) return -1;
    const int wr = replace_file(path, img.b, QV_KEYFILE_HDR_LEN + len + QV_TAG_LEN);
    img.wipe();
    return wr;
}

int quorvane_keyfile_open(const char *path, const char *password, uint8_t *out, size_t cap, size_t *out_len) {
    if (!path || !password || !out || !out_len) return -3;
    fd_guard f{open(path, O_RDONLY | O_CLOEXEC)};
    if (f.fd < 0) return -1;
    secret_buf<QV_KEYFILE_FILE_MAX> img;
    if (read_all(f.fd, img.b, QV_KEYFILE_HDR_LEN) != 0) return -1;
    quorvane_keyfile_hdr h;
    // Everything that can refuse the file cheaply runs before scrypt does.
    if (quorvane_keyfile_parse(img.b, QV_KEYFILE_HDR_LEN, &h) != 0 || cap < h.len) return -3;
    uint8_t *ct = img.b + QV_KEYFILE_HDR_LEN;
    if (read_all(f.fd, ct, h.len + QV_TAG_LEN) != 0) return -1;

    secret_buf<QV_KEY_LEN> key;
    if (quorvane_scrypt(byte_ptr(password), strlen(password), h.salt, sizeof h.salt,
                        &h.params, key.b, sizeof key.b) != 0)
        return -1;
    const int rc = n_aead_chacha20poly1305_decrypt(key.b, h.nonce, QV_NONCE_LEN, img.b, QV_KEYFILE_HDR_LEN, ct, h.len,
                                                   ct + h.len, out);
    key.wipe();
    img.wipe();
    if (rc != 0) {
        OPENSSL_cleanse(out, h.len);
        return -2;
    }
    *out_len = h.len;
    return 0;
}

int quorvane_pw_auth(const char *password, const char *user, uint8_t out[32]) {
    if (!password || !user || !out) return -3;
    uint8_t salt[QV_BLAKE2B_LEN];
    if (quorvane_blake2b(byte_ptr(user), strlen(user), salt) != 0) return -1;
    return quorvane_scrypt(byte_ptr(password), strlen(password), salt, sizeof salt,
                           &QV_PW_AUTH_SCRYPT, out, QV_PW_AUTH_LEN) == 0
               ? 0
               : -1;
}
