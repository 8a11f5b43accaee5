#include "server_keys.h"

#include "n_files.h"
#include "n_log.h"
#include "quorvane_crypto.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int load_or_create_static(const std::string &path, qvs_keys *out) {
    char *data = nullptr;
    size_t len = 0;
    if (access(path.c_str(), F_OK) == 0) {
        if (!n_file_read_bounded(path.c_str(), 64, &data, &len) || len != 32) {
            if (data) quorvane_cleanse(data, len);
            std::free(data);
            n_log(LOG_ERR, "server: %s is not a 32-byte key", path.c_str());
            return -1;
        }
        std::memcpy(out->static_priv, data, 32);
        quorvane_cleanse(data, len);
        std::free(data);
    } else {
        if (quorvane_random(out->static_priv, 32) != 0 || !n_file_write_atomic(path.c_str(), out->static_priv, 32, 0600)) {
            n_log(LOG_ERR, "server: cannot write %s", path.c_str());
            return -1;
        }
        n_log(LOG_NOTICE, "server: made a new static key in %s", path.c_str());
    }
    return quorvane_ed25519_pub_from_seed(out->static_priv, out->static_pub) == 0 ? 0 : -1;
}

// The pair is made under temporary names and renamed key first, so a crash
// leaves either no certificate (remade next start) or a whole pair.
int load_or_create_tls(qvs_keys *out) {
    if (access(out->cert_path.c_str(), F_OK) == 0 && access(out->key_path.c_str(), F_OK) == 0) return 0;
    std::string tmp_cert = out->cert_path + ".new", tmp_key = out->key_path + ".new";
    unlink(tmp_cert.c_str());
    unlink(tmp_key.c_str());
    if (quorvane_selfsigned_cert(tmp_cert.c_str(), tmp_key.c_str(), "quorvane-server") != 0 ||
        chmod(tmp_cert.c_str(), 0600) != 0 || rename(tmp_key.c_str(), out->key_path.c_str()) != 0 ||
        rename(tmp_cert.c_str(), out->cert_path.c_str()) != 0) {
        unlink(tmp_cert.c_str());
        unlink(tmp_key.c_str());
        n_log(LOG_ERR, "server: cannot make the TLS certificate: %s", std::strerror(errno));
        return -1;
    }
    n_log(LOG_NOTICE, "server: made a new self-signed TLS certificate %s", out->cert_path.c_str());
    return 0;
}

// mkdir -p: each missing component 0700, so a first start in a fresh home
// (no ~/.local/share yet) works.
bool make_dirs(const std::string &dir) {
    for (size_t at = 1; at <= dir.size(); at++) {
        if (at != dir.size() && dir[at] != '/') continue;
        std::string part = dir.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

}  // namespace

int qvs_keys_load_or_create(const std::string &dir, qvs_keys *out) {
    if (!out) return -1;
    if (dir.empty() || !make_dirs(dir)) {
        n_log(LOG_ERR, "server: cannot make the data directory %s: %s", dir.c_str(), std::strerror(errno));
        return -1;
    }
    out->cert_path = dir + "/tls.crt";
    out->key_path = dir + "/tls.key";
    if (load_or_create_static(dir + "/server.key", out) != 0 || load_or_create_tls(out) != 0) {
        qvs_keys_wipe(out);
        return -1;
    }
    return 0;
}

void qvs_keys_wipe(qvs_keys *keys) {
    if (keys) quorvane_cleanse(keys->static_priv, sizeof keys->static_priv);
}
