// Names and paths of the client's data directory: one directory per server
// (host and port) under "servers.d", one per account inside it, the login
// preferences at the root, and the names of the older one-account layout.
// Results: 0 ok, -1 missing argument, zero capacity or an output that does not
// fit (the output is then the empty string). Nothing here touches the disk.
#pragma once

#include <cstddef>

constexpr size_t QV_DATADIR_HOST_PART_MAX  = 48;   // host bytes shown in a server name
constexpr size_t QV_DATADIR_PORT_PART_MAX  = 8;    // port digits shown in a server name
constexpr size_t QV_DATADIR_SUFFIX_BYTES   = 4;    // digest bytes shown as hex after a name
constexpr size_t QV_DATADIR_SERVER_NAME_MAX = 66;  // host part, "_", port part, "_", 8 hex digits
constexpr size_t QV_DATADIR_SERVER_BUF     = 72;
constexpr size_t QV_DATADIR_HASH_INPUT_MAX = 512;  // host + zero byte + port text
constexpr size_t QV_DATADIR_ACCOUNT_PART_MAX = 32;
constexpr size_t QV_DATADIR_ACCOUNT_NAME_MAX = 41;  // 32 characters, ".", 8 hex digits
constexpr size_t QV_DATADIR_ACCOUNT_BUF    = 48;

static_assert(QV_DATADIR_SERVER_NAME_MAX == QV_DATADIR_HOST_PART_MAX + 1 + QV_DATADIR_PORT_PART_MAX + 1 + 2 * QV_DATADIR_SUFFIX_BYTES);
static_assert(QV_DATADIR_SERVER_NAME_MAX < QV_DATADIR_SERVER_BUF);
static_assert(QV_DATADIR_ACCOUNT_NAME_MAX == QV_DATADIR_ACCOUNT_PART_MAX + 1 + 2 * QV_DATADIR_SUFFIX_BYTES);
static_assert(QV_DATADIR_ACCOUNT_NAME_MAX < QV_DATADIR_ACCOUNT_BUF);

// Names
// - a server name ends in 8 hex digits of BLAKE2b-512 over the lowered host, a
//   zero byte and the port text, so hosts and ports that print alike stay apart.
// - an account name whose user name had bytes replaced or cut gets "." and 8 hex
//   digits of BLAKE2b-512 over the user name: "." never survives the mapping, so
//   such a name cannot meet the name of a user whose bytes were all kept.
[[nodiscard]] int quorvane_datadir_server_name(const char *host, const char *port, char *out, size_t cap);  // -1 also when host + port + 1 > 512 bytes
[[nodiscard]] int quorvane_datadir_account_name(const char *user, char *out, size_t cap);  // cut to cap - 1; "account" for a missing or empty name

// Paths: components joined by "/"; an empty data directory is refused.
[[nodiscard]] int quorvane_datadir_server_dir(const char *data, const char *host, const char *port, char *out, size_t cap);
[[nodiscard]] int quorvane_datadir_pin_path(const char *data, const char *host, const char *port, char *out, size_t cap);
[[nodiscard]] int quorvane_datadir_account_dir(const char *data, const char *host, const char *port, const char *user,
                                               char *out, size_t cap);
[[nodiscard]] int quorvane_datadir_account_dir_prior(const char *data, const char *host, const char *port, const char *user,
                                                     char *out, size_t cap);  // the name older versions used: 1 differs from the current one, 0 same
[[nodiscard]] int quorvane_datadir_loginprefs_path(const char *data, char *out, size_t cap);
[[nodiscard]] int quorvane_datadir_loginprefs_from_pin(const char *pin_path, char *out, size_t cap);  // ".../servers.d/<server>/pin" only

// The older layout (data/<account>/pin_<host>_<port>), kept for migration: its
// account directory uses the mapping of the versions that wrote it.
[[nodiscard]] int quorvane_datadir_legacy_account_dir(const char *data, const char *user, char *out, size_t cap);
[[nodiscard]] int quorvane_datadir_legacy_pin_name(const char *host, const char *port, char *out, size_t cap);  // -1 for a "/" in either
[[nodiscard]] int quorvane_datadir_legacy_pin_split(const char *name, char *host, size_t host_cap, char *port,
                                                    size_t port_cap);  // split at the last "_"; digits-only port
