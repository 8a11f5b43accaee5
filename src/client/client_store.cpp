#include "client_store.h"

#include "n_files.h"
#include "quorvane_keyfile.h"
#include "quorvane_x3dh.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint8_t STORE_MAGIC[4] = {'H', 'K', 'S', '1'};
constexpr size_t  OFF_FORMAT = 4;
constexpr size_t  OFF_BLOCK  = 8;
constexpr size_t  OFF_FLAG   = OFF_BLOCK + QV_KEYSTORE_BLOCK_LEN;
constexpr size_t  OFF_RK     = OFF_FLAG + 1;

static_assert(OFF_FLAG == QV_KEYSTORE_V1_LEN && OFF_RK + QV_KEY_LEN == QV_KEYSTORE_LEN);
static_assert(offsetof(quorvane_device_keys, identity_pub) == 32 &&
              offsetof(quorvane_device_keys, device_x25519_priv) == 64 &&
              offsetof(quorvane_device_keys, device_x25519_pub) == 96 &&
              offsetof(quorvane_device_keys, device_ed25519_priv) == 128 &&
              offsetof(quorvane_device_keys, device_ed25519_pub) == 160 &&
              offsetof(quorvane_device_keys, device_cert) == 192 &&
              offsetof(quorvane_device_keys, recovery_key) == 257);
static_assert(QV_KEYSTORE_LEN <= QV_KEYFILE_MAX);

// A plaintext image on the stack, wiped however the scope is left.
struct image {
    uint8_t b[QV_KEYSTORE_LEN];
    image() = default;
    image(const image &) = delete;
    image &operator=(const image &) = delete;
    ~image() { quorvane_cleanse(b, sizeof b); }
};

struct fd_guard {
    int fd;
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

uint8_t *block_of(quorvane_device_keys *k) { return reinterpret_cast<uint8_t *>(k); }
const uint8_t *block_of(const quorvane_device_keys *k) { return reinterpret_cast<const uint8_t *>(k); }

void lock_keys(quorvane_device_keys *k) {
    (void)quorvane_mem_lock(k, sizeof *k);  // best effort: a store on a box without mlock still works
}

// What a failed build or create and cleanse leave: public keys and certificate only.
// Wiped before the pages are unlocked, so no secret can be swapped out between.
void drop_secrets(quorvane_device_keys *k) {
    quorvane_cleanse(k->identity_priv, sizeof k->identity_priv);
    quorvane_cleanse(k->device_x25519_priv, sizeof k->device_x25519_priv);
    quorvane_cleanse(k->device_ed25519_priv, sizeof k->device_ed25519_priv);
    quorvane_cleanse(k->recovery_key, sizeof k->recovery_key);
    k->has_recovery_key = 0;
    quorvane_mem_unlock(k, sizeof *k);
}

// Anything at the path, even a dangling link or a file we may not read, is a store
// that persist must not replace.
bool path_taken(const char *path) {
    struct stat st;
    return lstat(path, &st) == 0;
}

int seal(const char *path, const char *password, const quorvane_device_keys *keys) {
    image pt;
    if (quorvane_client_store_serialise(keys, pt.b) != 0) return -3;
    return quorvane_keyfile_seal(path, password, pt.b, sizeof pt.b, &QV_KEYSTORE_SCRYPT);
}

// "<path>.pub", or false when the name would need QV_KEYSTORE_NAME_MAX characters or more.
bool pub_name(const char *path, std::string *out) {
    if (!path || !*path) return false;
    *out = std::string(path) + ".pub";
    return out->size() < QV_KEYSTORE_NAME_MAX;
}

}  // namespace

int quorvane_client_store_exists(const char *path) {
    if (!path || !*path) return 0;
    fd_guard f{open(path, O_RDONLY | O_CLOEXEC)};
    return f.fd >= 0 ? 1 : 0;
}

int quorvane_client_store_build(const uint8_t *seed, quorvane_device_keys *keys) {
    if (!keys) return -3;
    keys->has_recovery_key = 0;
    quorvane_cleanse(keys->recovery_key, sizeof keys->recovery_key);
    int rc = 0;
    if (seed) {
        memmove(keys->identity_priv, seed, QV_KEY_LEN);  // the seed may be the record's own
        rc = quorvane_ed25519_pub_from_seed(keys->identity_priv, keys->identity_pub);
    } else {
        rc = quorvane_ed25519_keypair(keys->identity_priv, keys->identity_pub);
    }
    if (rc == 0) rc = quorvane_x25519_keypair(keys->device_x25519_priv, keys->device_x25519_pub);
    if (rc == 0) rc = quorvane_ed25519_keypair(keys->device_ed25519_priv, keys->device_ed25519_pub);
    if (rc == 0)
        rc = quorvane_device_cert_sign(keys->identity_priv, keys->device_x25519_pub, keys->device_ed25519_pub,
                                       keys->device_cert);
    if (rc != 0) {
        drop_secrets(keys);
        return -1;
    }
    return 0;
}

int quorvane_client_store_serialise(const quorvane_device_keys *keys, uint8_t out[QV_KEYSTORE_LEN]) {
    if (!keys || !out) return -3;
    memcpy(out, STORE_MAGIC, sizeof STORE_MAGIC);
    const uint8_t format[4] = {QV_KEYSTORE_FORMAT_2, 0, 0, 0};  // little-endian 2
    memcpy(out + OFF_FORMAT, format, sizeof format);
    memcpy(out + OFF_BLOCK, block_of(keys), QV_KEYSTORE_BLOCK_LEN);
    out[OFF_FLAG] = keys->has_recovery_key ? 1 : 0;
    if (keys->has_recovery_key)
        memcpy(out + OFF_RK, keys->recovery_key, QV_KEY_LEN);
    else
        memset(out + OFF_RK, 0, QV_KEY_LEN);
    return 0;
}

int quorvane_client_store_parse(const uint8_t *pt, size_t len, quorvane_device_keys *keys) {
    if (!pt || !keys || len < QV_KEYSTORE_V1_LEN || memcmp(pt, STORE_MAGIC, sizeof STORE_MAGIC) != 0) return -3;
    // Only the low byte names the format: stores in the field may carry anything above it.
    const uint8_t format = pt[OFF_FORMAT];
    const bool v1 = format == QV_KEYSTORE_FORMAT_1 && len == QV_KEYSTORE_V1_LEN;
    const bool v2 = format == QV_KEYSTORE_FORMAT_2 && len == QV_KEYSTORE_LEN;
    if (!v1 && !v2) return -3;
    memcpy(block_of(keys), pt + OFF_BLOCK, QV_KEYSTORE_BLOCK_LEN);
    keys->has_recovery_key = 0;
    quorvane_cleanse(keys->recovery_key, sizeof keys->recovery_key);
    if (v2 && pt[OFF_FLAG] == 1) {
        keys->has_recovery_key = 1;
        memcpy(keys->recovery_key, pt + OFF_RK, QV_KEY_LEN);
    }
    return 0;
}

int quorvane_client_store_persist(const char *path, const char *password, const quorvane_device_keys *keys) {
    if (!path || !*path || !password || !keys) return -3;
    if (path_taken(path)) return -3;
    return seal(path, password, keys);
}

int quorvane_client_store_reseal(const char *path, const char *password, const quorvane_device_keys *keys) {
    if (!path || !*path || !password || !*password || !keys) return -3;
    return seal(path, password, keys);
}

int quorvane_client_store_create(const char *path, const char *password, quorvane_device_keys *keys) {
    if (!path || !*path || !password || !keys) return -3;
    if (path_taken(path)) return -3;
    lock_keys(keys);
    int rc = quorvane_client_store_build(nullptr, keys);
    if (rc != 0) return rc;
    rc = quorvane_client_store_persist(path, password, keys);
    if (rc != 0) drop_secrets(keys);
    return rc;
}

int quorvane_client_store_open(const char *path, const char *password, quorvane_device_keys *keys) {
    if (!path || !*path || !password || !keys) return -3;
    lock_keys(keys);
    image pt;
    size_t len = 0;
    const int rc = quorvane_keyfile_open(path, password, pt.b, sizeof pt.b, &len);
    if (rc != 0) return rc;
    return quorvane_client_store_parse(pt.b, len, keys);
}

void quorvane_device_keys_cleanse(quorvane_device_keys *keys) {
    if (keys) drop_secrets(keys);
}

int quorvane_client_store_write_pub(const char *path, const quorvane_device_keys *keys) {
    std::string name;
    if (!keys || !pub_name(path, &name)) return -1;
    const std::string tmp = name + ".tmp";
    uint8_t pub[QV_KEYSTORE_PUB_LEN];
    memcpy(pub, keys->device_x25519_pub, QV_KEY_LEN);
    memcpy(pub + QV_KEY_LEN, keys->device_ed25519_pub, QV_KEY_LEN);

    // A stale temporary file from a crash, or a link planted at its name, is ours to
    // remove: the bytes must land in a file we created.
    fd_guard f{n_file_create_scratch(tmp.c_str(), 0666, N_SCRATCH_REMOVE_LINK)};
    if (f.fd < 0) return -1;
    int rc = n_fd_write_all(f.fd, pub, sizeof pub) ? 0 : -1;
    if (f.release_close() != 0) rc = -1;
    if (rc == 0 && rename(tmp.c_str(), name.c_str()) != 0) rc = -1;
    if (rc != 0) unlink(tmp.c_str());
    return rc;
}

int quorvane_client_store_read_pub(const char *path, uint8_t x25519_pub[32], uint8_t ed25519_pub[32]) {
    std::string name;
    if (!x25519_pub || !ed25519_pub || !pub_name(path, &name)) return -1;
    fd_guard f{open(name.c_str(), O_RDONLY | O_CLOEXEC)};
    if (f.fd < 0) return -1;
    // One byte more than the file may hold tells a long file from an exact one.
    uint8_t buf[QV_KEYSTORE_PUB_LEN + 1];
    size_t got = 0;
    while (got < sizeof buf) {
        const ssize_t n = read(f.fd, buf + got, sizeof buf - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    if (got != QV_KEYSTORE_PUB_LEN) return -1;
    memcpy(x25519_pub, buf, QV_KEY_LEN);
    memcpy(ed25519_pub, buf + QV_KEY_LEN, QV_KEY_LEN);
    return 0;
}
