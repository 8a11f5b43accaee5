// The server's own keys in its data directory, made on first start and reused
// after: the static Ed25519 key clients pin ("server.key", the 32-byte seed)
// and the self-signed TLS certificate with its P-256 key ("tls.crt",
// "tls.key"). Every key file is 0600 and appears whole or not at all.
#pragma once

#include <cstdint>
#include <string>

struct qvs_keys {
    uint8_t static_priv[32];
    uint8_t static_pub[32];
    std::string cert_path;
    std::string key_path;
};

[[nodiscard]] int qvs_keys_load_or_create(const std::string &data_dir, qvs_keys *out);  // 0 or -1 (logged)
void qvs_keys_wipe(qvs_keys *keys);
