// The server's storage behind one narrow interface, kept in one SQLite file
// (WAL, synchronous=FULL). Nothing outside server_store.cpp knows SQL.
// Changes made during one turn of the event loop join one transaction, opened
// by the first change and closed by qvs_store_commit, so a turn costs one sync.
// Results: 0 ok, 1 "already there" where stated, -1 failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr int    QVS_SCHEMA_VERSION = 1;
constexpr size_t QVS_SALT_LEN = 16;
constexpr size_t QVS_ESCROW_LEN = 82;
constexpr size_t QVS_EXTRA_LEN = 10;
constexpr size_t QVS_MAX_DEVICES = 5;

struct qvs_store;

struct qvs_device {
    uint8_t x25519_pub[32];
    uint8_t ed25519_pub[32];
    uint8_t cert[64];
};

struct qvs_account {
    std::string name;
    uint8_t user_id[16];
    uint8_t role;
    uint8_t auth_salt[QVS_SALT_LEN];
    uint8_t auth_hash[32];  // of the salt and the auth value: the value itself is never kept
    uint8_t identity_pub[32];
    uint8_t pw_escrow[QVS_ESCROW_LEN];
    int has_rk_escrow;
    uint8_t rk_escrow[QVS_ESCROW_LEN];
    int has_extra;
    uint8_t extra[QVS_EXTRA_LEN];
    uint64_t created_ms;
};

[[nodiscard]] qvs_store *qvs_store_open(const char *path);  // creates or migrates the schema
void qvs_store_close(qvs_store *st);                        // commits what is open
[[nodiscard]] int qvs_store_commit(qvs_store *st);          // 0 also when nothing was open
[[nodiscard]] int qvs_store_account_count(qvs_store *st, uint64_t *count);

[[nodiscard]] int qvs_account_create(qvs_store *st, const qvs_account *acct, const qvs_device *dev);  // 1 when the name is taken
[[nodiscard]] int qvs_account_find(qvs_store *st, const std::string &name, qvs_account *out);        // 1 found, 0 none
[[nodiscard]] int qvs_account_devices(qvs_store *st, const uint8_t user_id[16], std::vector<qvs_device> *out);
[[nodiscard]] int qvs_account_set_password(qvs_store *st, const uint8_t user_id[16], const uint8_t salt[QVS_SALT_LEN],
                                           const uint8_t hash[32], const uint8_t pw_escrow[QVS_ESCROW_LEN]);
[[nodiscard]] int qvs_account_set_rk_escrow(qvs_store *st, const uint8_t user_id[16], const uint8_t rec[QVS_ESCROW_LEN]);
