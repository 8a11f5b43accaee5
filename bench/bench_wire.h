// The wire as the server benchmarks speak it: frames and TLV records built by
// hand, a blocking TLS client, and accounts that register and sign in with a
// fixed auth value and one escrow record sealed once (the server checks its
// form, not its contents), so that a hundred accounts cost no scrypt each.
#pragma once

#include "quorvane_crypto.h"
#include "quorvane_envelope.h"
#include "quorvane_escrow.h"
#include "quorvane_handshake.h"
#include "quorvane_x3dh.h"

#include <algorithm>
#include <arpa/inet.h>
#include <initializer_list>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace qv_wire {

using bytes = std::vector<uint8_t>;

// A head and a body with the body's length after the head's first `at` bytes.
inline bytes with_length(std::initializer_list<uint8_t> head, size_t at, const bytes &body) {
    bytes r(head.size() + body.size());
    std::copy(head.begin(), head.end(), r.begin());
    const uint32_t n = static_cast<uint32_t>(body.size());
    for (int i = 0; i < 4; i++) r[at + i] = static_cast<uint8_t>(n >> (24 - 8 * i));
    if (!body.empty()) std::memcpy(r.data() + head.size(), body.data(), body.size());
    return r;
}
inline bytes tlv(uint8_t tag, const bytes &v) { return with_length({tag, 0, 0, 0, 0}, 1, v); }
inline bytes frame(uint8_t type, const bytes &p) { return with_length({'H', 'R', 1, type, 0, 0, 0, 0}, 4, p); }
inline bytes operator+(bytes a, const bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
inline bytes find(const bytes &f, uint8_t tag) {
    size_t at = 8;
    while (at + 5 <= f.size()) {
        uint32_t n = (uint32_t{f[at + 1]} << 24) | (uint32_t{f[at + 2]} << 16) | (uint32_t{f[at + 3]} << 8) | f[at + 4];
        if (at + 5 + n > f.size()) break;
        if (f[at] == tag) return bytes(f.begin() + static_cast<long>(at) + 5, f.begin() + static_cast<long>(at + 5 + n));
        at += 5 + n;
    }
    return {};
}

struct Conn {
    SSL_CTX *ctx = nullptr;
    SSL *ssl = nullptr;
    int fd = -1;
    bytes server_key, user_id;
    ~Conn() {
        if (ssl) SSL_free(ssl);
        if (ctx) SSL_CTX_free(ctx);
        if (fd >= 0) close(fd);
    }
    // From another loopback address when `from` is given: the server counts connections per address.
    // A small `rcvbuf` keeps what a client does not read waiting in the server.
    bool open(int port, const char *from = nullptr, int rcvbuf = 0) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        if (from) {
            sockaddr_in src{};
            src.sin_family = AF_INET;
            const int one = 1;
            setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
            if (inet_pton(AF_INET, from, &src.sin_addr) != 1 || bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof src) != 0) return false;
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ctx = SSL_CTX_new(TLS_client_method());
        ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || SSL_connect(ssl) != 1 || !send(frame(1, {}))) return false;
        server_key = find(read(), 7);
        return server_key.size() == 32;
    }
    bool send(const bytes &f) { return SSL_write(ssl, f.data(), static_cast<int>(f.size())) == static_cast<int>(f.size()); }
    bool read_n(uint8_t *p, size_t n) {
        for (size_t got = 0; got < n;) {
            int r = SSL_read(ssl, p + got, static_cast<int>(n - got));
            if (r <= 0) return false;
            got += static_cast<size_t>(r);
        }
        return true;
    }
    bytes read() {
        bytes f(8);
        if (!read_n(f.data(), 8)) return {};
        uint32_t n = (uint32_t{f[4]} << 24) | (uint32_t{f[5]} << 16) | (uint32_t{f[6]} << 8) | f[7];
        f.resize(8 + n);
        return read_n(f.data() + 8, n) ? f : bytes{};
    }
};

struct User {
    std::string name;
    bytes auth = bytes(32, 0x61);
    uint8_t id_priv[32], id_pub[32], x_priv[32], x_pub[32], ed_priv[32], ed_pub[32], cert[64];
    explicit User(std::string n) : name(std::move(n)) {
        if (quorvane_ed25519_keypair(id_priv, id_pub) || quorvane_x25519_keypair(x_priv, x_pub) || quorvane_ed25519_keypair(ed_priv, ed_pub) ||
            quorvane_device_cert_sign(id_priv, x_pub, ed_pub, cert))
            abort();
    }
    bool enroll(int port) {
        static const bytes escrow = [] {
            uint8_t seed[32] = {1}, r[QV_ESCROW_LEN];
            if (quorvane_escrow_seal_pw("pw", "anyone", seed, r) != 0) abort();
            return bytes(r, r + sizeof r);
        }();
        const uint8_t *rec = escrow.data();
        Conn c;
        if (!c.open(port)) return false;
        bytes n(name.begin(), name.end());
        bytes p = tlv(1, n) + tlv(2, auth) + tlv(3, bytes(id_pub, id_pub + 32)) + tlv(4, bytes(x_pub, x_pub + 32)) +
                  tlv(5, bytes(ed_pub, ed_pub + 32)) + tlv(6, bytes(cert, cert + 64)) + tlv(80, bytes(rec, rec + 82));
        return c.send(frame(2, p)) && find(c.read(), 10) == bytes{0};
    }
    bool sign_in(Conn &c, int port, const char *from = nullptr, int rcvbuf = 0) {
        bytes n(name.begin(), name.end());
        if (!c.open(port, from, rcvbuf) || !c.send(frame(3, tlv(1, n)))) return false;
        bytes nonce = find(c.read(), 11);
        uint8_t msg[128], sig[64];
        size_t mlen = nonce.size() == 32 ? quorvane_login_message(nonce.data(), c.server_key.data(), name.c_str(), msg, sizeof msg) : 0;
        if (!mlen || quorvane_ed25519_sign(ed_priv, msg, mlen, sig) != 0) return false;
        if (!c.send(frame(4, tlv(2, auth) + tlv(12, bytes(sig, sig + 64))))) return false;
        c.user_id = find(c.read(), 14);
        return c.user_id.size() == 16;
    }
};

// Sync until its end frame; false when the connection broke.
inline bool sync(Conn &c) {
    if (!c.send(frame(8, {}))) return false;
    for (bytes f = c.read(); !f.empty(); f = c.read())
        if (f[3] == 139) return true;
    return false;
}

// An envelope of `size` bytes (header and tag among them) under a zero key.
inline bytes envelope(const bytes &conv, const bytes &sender, uint64_t counter, size_t size = 256) {
    quorvane_env_header h{};
    std::memcpy(h.conversation_id, conv.data(), 16);
    std::memcpy(h.sender_id, sender.data(), 16);
    h.counter = counter;
    std::memset(h.salt, 1, 16);
    uint8_t key[32] = {};
    const bytes body(size - QV_ENV_OVERHEAD);
    bytes out(size);
    size_t n = 0;
    if (quorvane_env_seal(key, &h, body.data(), body.size(), out.data(), out.size(), &n) != 0 || n != size) abort();
    return out;
}

}  // namespace qv_wire
