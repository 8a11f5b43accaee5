#include "client_datadir.h"

#include "quorvane_crypto.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view SERVERS_DIR    = "servers.d";
constexpr std::string_view PIN_NAME       = "pin";
constexpr std::string_view LOGINPREFS     = "loginprefs";
constexpr std::string_view LEGACY_PIN     = "pin_";
constexpr std::string_view DEFAULT_HOST   = "server";
constexpr std::string_view DEFAULT_USER   = "account";

bool is_lower(unsigned char c) { return c >= 'a' && c <= 'z'; }
bool is_upper(unsigned char c) { return c >= 'A' && c <= 'Z'; }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
unsigned char lower(unsigned char c) { return is_upper(c) ? static_cast<unsigned char>(c - 'A' + 'a') : c; }

// Writes `s` with its terminator when it fits; otherwise leaves the empty string.
int put(std::string_view s, char *out, size_t cap) {
    if (!out || cap == 0) return -1;
    if (s.size() >= cap) {
        out[0] = '\0';
        return -1;
    }
    memcpy(out, s.data(), s.size());
    out[s.size()] = '\0';
    return 0;
}

int fail(char *out, size_t cap) {
    if (out && cap) out[0] = '\0';
    return -1;
}

// First digest bytes of BLAKE2b-512 as lower-case hex.
int hex_suffix(const std::string &input, std::string *out) {
    uint8_t md[QV_BLAKE2B_LEN];
    if (quorvane_blake2b(reinterpret_cast<const uint8_t *>(input.data()), input.size(), md) != 0) return -1;
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < QV_DATADIR_SUFFIX_BYTES; i++) {
        *out += digits[md[i] >> 4];
        *out += digits[md[i] & 15];
    }
    return 0;
}

int server_name(const char *host, const char *port, std::string *out) {
    if (!host || !port) return -1;
    std::string_view h(host), p(port);
    if (h.size() + p.size() + 1 > QV_DATADIR_HASH_INPUT_MAX) return -1;

    std::string host_part;
    bool all_dots = true;
    for (unsigned char c : h.substr(0, QV_DATADIR_HOST_PART_MAX)) {
        c = lower(c);
        host_part += (is_lower(c) || is_digit(c) || c == '-' || c == '.') ? static_cast<char>(c) : '_';
        all_dots = all_dots && c == '.';
    }
    if (all_dots) host_part = DEFAULT_HOST;  // also the empty host: never "", "." or ".."

    std::string port_part;
    for (unsigned char c : p)
        if (is_digit(c) && port_part.size() < QV_DATADIR_PORT_PART_MAX) port_part += static_cast<char>(c);
    if (port_part.empty()) port_part.push_back('0');  // push_back: g++ 12 -O3 misreads an assign here (-Wrestrict)

    std::string hashed;
    for (unsigned char c : h) hashed += static_cast<char>(lower(c));
    hashed += '\0';
    hashed += p;

    *out = host_part + "_" + port_part + "_";
    return hex_suffix(hashed, out);
}

// The mapping older versions used; `lossy` tells whether any byte was replaced
// or cut, which is when two user names could have met in one directory.
std::string account_visible(const char *user, bool *lossy) {
    *lossy = false;
    if (!user || !*user) return std::string(DEFAULT_USER);
    std::string_view u(user);
    std::string name;
    for (unsigned char c : u.substr(0, QV_DATADIR_ACCOUNT_PART_MAX)) {
        bool keep = is_lower(c) || is_digit(c) || c == '-' || c == '_';
        name += keep ? static_cast<char>(c) : '_';
        *lossy = *lossy || !keep;
    }
    *lossy = *lossy || u.size() > QV_DATADIR_ACCOUNT_PART_MAX;
    return name;
}

int account_name(const char *user, std::string *out) {
    bool lossy = false;
    *out = account_visible(user, &lossy);
    if (!lossy) return 0;
    *out += '.';
    return hex_suffix(user, out);
}

std::string join(std::string_view a, std::string_view b) {
    std::string s(a);
    s += '/';
    s += b;
    return s;
}

int server_dir(const char *data, const char *host, const char *port, std::string *out) {
    if (!data || !*data) return -1;
    std::string name;
    if (server_name(host, port, &name) != 0) return -1;
    *out = join(join(data, SERVERS_DIR), name);
    return 0;
}

}  // namespace

int quorvane_datadir_server_name(const char *host, const char *port, char *out, size_t cap) {
    std::string name;
    if (server_name(host, port, &name) != 0) return fail(out, cap);
    return put(name, out, cap);
}

int quorvane_datadir_account_name(const char *user, char *out, size_t cap) {
    if (!out || cap == 0) return -1;
    std::string name;
    if (account_name(user, &name) != 0) return fail(out, cap);
    bool defaulted = !user || !*user;
    if (defaulted) return put(name, out, cap);
    return put(std::string_view(name).substr(0, cap - 1), out, cap);
}

int quorvane_datadir_server_dir(const char *data, const char *host, const char *port, char *out, size_t cap) {
    std::string dir;
    if (server_dir(data, host, port, &dir) != 0) return fail(out, cap);
    return put(dir, out, cap);
}

int quorvane_datadir_pin_path(const char *data, const char *host, const char *port, char *out, size_t cap) {
    std::string dir;
    if (server_dir(data, host, port, &dir) != 0) return fail(out, cap);
    return put(join(dir, PIN_NAME), out, cap);
}

int quorvane_datadir_account_dir(const char *data, const char *host, const char *port, const char *user, char *out,
                                 size_t cap) {
    std::string dir, name;
    if (server_dir(data, host, port, &dir) != 0 || account_name(user, &name) != 0) return fail(out, cap);
    return put(join(dir, name), out, cap);
}

int quorvane_datadir_account_dir_prior(const char *data, const char *host, const char *port, const char *user, char *out,
                                       size_t cap) {
    std::string dir;
    bool lossy = false;
    if (server_dir(data, host, port, &dir) != 0) return fail(out, cap);
    if (put(join(dir, account_visible(user, &lossy)), out, cap) != 0) return -1;
    return lossy ? 1 : 0;
}

int quorvane_datadir_loginprefs_path(const char *data, char *out, size_t cap) {
    if (!data || !*data) return fail(out, cap);
    return put(join(data, LOGINPREFS), out, cap);
}

int quorvane_datadir_loginprefs_from_pin(const char *pin_path, char *out, size_t cap) {
    if (!pin_path) return fail(out, cap);
    std::string_view p(pin_path);
    size_t last = p.rfind('/');
    if (last == std::string_view::npos || last == 0) return fail(out, cap);
    size_t mid = p.rfind('/', last - 1);
    if (mid == std::string_view::npos || mid == 0) return fail(out, cap);
    size_t first = p.rfind('/', mid - 1);
    if (first == std::string_view::npos) return fail(out, cap);
    if (p.substr(last + 1) != PIN_NAME || last == mid + 1 || p.substr(first + 1, mid - first - 1) != SERVERS_DIR ||
        first == 0)
        return fail(out, cap);
    return put(join(p.substr(0, first), LOGINPREFS), out, cap);
}

int quorvane_datadir_legacy_account_dir(const char *data, const char *user, char *out, size_t cap) {
    if (!data || !*data) return fail(out, cap);
    bool lossy = false;
    return put(join(data, account_visible(user, &lossy)), out, cap);
}

int quorvane_datadir_legacy_pin_name(const char *host, const char *port, char *out, size_t cap) {
    if (!host || !port) return fail(out, cap);
    // such a name was always one directory entry: a "/" could only climb out of it
    if (strchr(host, '/') || strchr(port, '/')) return fail(out, cap);
    std::string name(LEGACY_PIN);
    name += host;
    name += '_';
    name += port;
    return put(name, out, cap);
}

int quorvane_datadir_legacy_pin_split(const char *name, char *host, size_t host_cap, char *port, size_t port_cap) {
    if (!host || !host_cap || !port || !port_cap) {
        fail(host, host_cap);
        return fail(port, port_cap);
    }
    host[0] = port[0] = '\0';
    if (!name) return -1;
    std::string_view n(name);
    if (n.substr(0, LEGACY_PIN.size()) != LEGACY_PIN) return -1;
    std::string_view rest = n.substr(LEGACY_PIN.size());
    size_t cut = rest.rfind('_');
    if (cut == std::string_view::npos || cut == 0) return -1;
    std::string_view h = rest.substr(0, cut), p = rest.substr(cut + 1);
    if (p.empty() || p.size() >= port_cap || h.size() >= host_cap) return -1;
    for (unsigned char c : p)
        if (!is_digit(c)) return -1;
    if (put(h, host, host_cap) != 0 || put(p, port, port_cap) != 0) return fail(host, host_cap);
    return 0;
}
