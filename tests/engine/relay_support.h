// Helpers of the relay tests: a raw TLS client speaking frames to the real
// server program, accounts and devices with their keys, registration and
// sign-in, envelopes, conversations and prekey sets built by the client's own
// builders.
#pragma once

#include "client_dm.h"
#include "client_seal.h"
#include "engine_support.h"
#include "quorvane_crypto.h"
#include "quorvane_envelope.h"
#include "quorvane_escrow.h"
#include "quorvane_handshake.h"
#include "quorvane_keyfile.h"
#include "quorvane_proto.h"
#include "quorvane_x3dh.h"
#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <set>
#include <sys/socket.h>
#include <unistd.h>
#include <gtest/gtest.h>

namespace qvrelay {

using namespace qvtest;

using bytes = std::vector<uint8_t>;

inline bytes b(const uint8_t *p, size_t n) { return bytes(p, p + n); }
inline bytes be64(uint64_t v) {
    bytes r(8);
    for (int i = 0; i < 8; i++) r[i] = static_cast<uint8_t>(v >> (56 - 8 * i));
    return r;
}
inline uint64_t get64(const uint8_t *p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; i++) v = (v << 8) | p[i];
    return v;
}

// Records of a frame, in order.
struct Rec {
    uint8_t tag;
    bytes v;
};
inline std::vector<Rec> records(const bytes &frame) {
    std::vector<Rec> out;
    quorvane_tlv_reader rd;
    quorvane_tlv_reader_init(&rd, frame.data() + 8, frame.size() - 8);
    uint8_t tag;
    const uint8_t *v;
    size_t n;
    while (quorvane_tlv_next(&rd, &tag, &v, &n) == 0) out.push_back({tag, b(v, n)});
    return out;
}
inline bytes find(const bytes &frame, uint8_t tag) {
    for (auto &r : records(frame))
        if (r.tag == tag) return r.v;
    return {};
}
inline bool has(const bytes &frame, uint8_t tag) {
    for (auto &r : records(frame))
        if (r.tag == tag) return true;
    return false;
}

// One account's identity and one of its devices.
struct Device {
    uint8_t id_priv[32], id_pub[32], x_priv[32], x_pub[32], ed_priv[32], ed_pub[32], cert[64];
    Device() {
        EXPECT_EQ(quorvane_ed25519_keypair(id_priv, id_pub), 0);
        make();
    }
    explicit Device(const Device &same_account) {
        std::memcpy(id_priv, same_account.id_priv, 32);
        std::memcpy(id_pub, same_account.id_pub, 32);
        make();
    }
    void make() {
        EXPECT_EQ(quorvane_x25519_keypair(x_priv, x_pub), 0);
        EXPECT_EQ(quorvane_ed25519_keypair(ed_priv, ed_pub), 0);
        EXPECT_EQ(quorvane_device_cert_sign(id_priv, x_pub, ed_pub, cert), 0);
    }
    bytes dev_id() const {
        bytes id(16);
        EXPECT_EQ(quorvane_device_id(x_pub, ed_pub, id.data()), 0);
        return id;
    }
};

// A raw TLS client speaking frames.
struct Client {
    SSL_CTX *ctx = nullptr;
    SSL *ssl = nullptr;
    int fd = -1;
    bytes server_key;
    bytes user_id;
    ~Client() { close_now(); }
    void close_now() {
        if (ssl) SSL_free(ssl);
        if (ctx) SSL_CTX_free(ctx);
        if (fd >= 0) close(fd);
        ssl = nullptr, ctx = nullptr, fd = -1;
    }
    // From another loopback address when `from` is given (the server counts connections per address),
    // with a receive buffer of `rcvbuf` bytes when given (a silent client then holds little in the kernel).
    bool connect_to(const std::string &port, const char *from = nullptr, int rcvbuf = 0) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        if (rcvbuf) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        if (from) {
            sockaddr_in src{};
            src.sin_family = AF_INET;
            if (inet_pton(AF_INET, from, &src.sin_addr) != 1 || bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof src) != 0) return false;
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
        if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return false;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        timeval tv{kWaitMs / 1000, 0};  // reads wait for frames that are bound to come
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ctx = SSL_CTX_new(TLS_client_method());
        ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        if (SSL_connect(ssl) != 1) return false;
        if (!send(1, {})) return false;
        bytes f = read();
        if (f.size() < 8 || f[3] != 129) return false;
        server_key = find(f, 7);
        return server_key.size() == 32;
    }
    bool send(uint8_t type, const bytes &payload) {
        bytes f = frame_of(type, payload);
        return SSL_write(ssl, f.data(), static_cast<int>(f.size())) == static_cast<int>(f.size());
    }
    bytes read() {
        bytes f;
        PeerConn pc{ssl, fd};
        if (!pc.read_frame(&f)) return {};
        return f;
    }
    // The next frame of that type; frames of other types meanwhile (pushes) are kept in order.
    std::vector<bytes> aside;
    bytes read_type(uint8_t type) {
        for (size_t i = 0; i < aside.size(); i++)
            if (aside[i][3] == type) {
                bytes f = aside[i];
                aside.erase(aside.begin() + static_cast<long>(i));
                return f;
            }
        for (;;) {
            bytes f = read();
            if (f.size() < 8 || f[3] == type) return f;
            aside.push_back(f);
        }
    }
};

struct Account {
    std::string name;
    bytes auth;
    Device first;
    Account(std::string n) : name(std::move(n)), auth(32) {
        EXPECT_EQ(quorvane_pw_auth("pw", name.c_str(), auth.data()), 0);
    }
    Account(std::string n, bytes auth_value) : name(std::move(n)), auth(std::move(auth_value)) {}  // no scrypt: for tests of many accounts
};

inline bytes reg_payload(const Account &a, const Device &d, const bytes &auth) {
    uint8_t rec[82];
    EXPECT_EQ(quorvane_escrow_seal_pw("pw", a.name.c_str(), d.id_priv, rec), 0);
    return cat({tlv_text(1, a.name), tlv(2, auth), tlv(3, b(d.id_pub, 32)), tlv(4, b(d.x_pub, 32)), tlv(5, b(d.ed_pub, 32)),
                tlv(6, b(d.cert, 64)), tlv(80, b(rec, 82))});
}

// The registration status.
inline int reg(ServerProc &srv, const Account &a, const Device &d, const bytes &auth) {
    Client c;
    if (!c.connect_to(srv.port) || !c.send(2, reg_payload(a, d, auth))) return -1;
    bytes f = c.read();
    bytes s = find(f, 10);
    return f.size() > 8 && f[3] == 130 && s.size() == 1 ? s[0] : -2;
}

// Signs in with a device: the welcome's type (132) or the refusal's status + 1000.
inline int sign_in(Client &c, ServerProc &srv, const Account &a, const Device &d, const char *from = nullptr, int rcvbuf = 0) {
    if (!c.connect_to(srv.port, from, rcvbuf) || !c.send(3, tlv_text(1, a.name))) return -1;
    bytes ch = c.read();
    bytes nonce = find(ch, 11);
    if (nonce.size() != 32) return -2;
    uint8_t msg[128], sig[64];
    size_t mlen = quorvane_login_message(nonce.data(), c.server_key.data(), a.name.c_str(), msg, sizeof msg);
    if (!mlen || quorvane_ed25519_sign(d.ed_priv, msg, mlen, sig) != 0) return -3;
    if (!c.send(4, cat({tlv(2, a.auth), tlv(12, b(sig, 64))}))) return -4;
    bytes w = c.read();
    if (w.size() < 8) return -5;
    if (w[3] == 133) return 1000 + find(w, 13).at(0);
    c.user_id = find(w, 14);
    return w[3];
}

// A signed-in device; sync() runs one sync pass and returns its frames before 139.
struct Dev {
    Client c;
    const Device *keys;
    Dev(ServerProc &srv, const Account &a, const Device &d, const char *from = nullptr, int rcvbuf = 0) : keys(&d) {
        EXPECT_EQ(sign_in(c, srv, a, d, from, rcvbuf), 132) << a.name;
    }
    std::vector<bytes> sync(const std::vector<std::pair<bytes, uint64_t>> &cursors = {}) {
        bytes table;
        for (auto &[conv, cur] : cursors) table = cat({table, conv, be64(cur)});
        EXPECT_TRUE(c.send(8, cursors.empty() ? bytes{} : tlv(41, table)));
        std::vector<bytes> got;
        c.aside.clear();  // pushes before the sync are what it sends again
        for (;;) {
            bytes f = c.read();
            if (f.size() < 8) {
                ADD_FAILURE() << "the sync did not end";
                return got;
            }
            if (f[3] == 139) {
                // Live copies that came before the request are not the sync's: it starts at its first 151.
                auto first = std::find_if(got.begin(), got.end(), [](const bytes &g) { return g[3] == 151; });
                if (first != got.end()) got.erase(got.begin(), first);
                return got;
            }
            got.push_back(f);
        }
    }
};

// An envelope with the given header fields and a body of `len` bytes after it.
inline bytes envelope(const bytes &conv, const bytes &sender, uint64_t counter, size_t len = 120) {
    quorvane_env_header h{};
    std::memcpy(h.conversation_id, conv.data(), 16);
    std::memcpy(h.sender_id, sender.data(), 16);
    h.counter = counter;
    h.time = 1;
    bytes salt = random_bytes(16);
    std::memcpy(h.salt, salt.data(), 16);
    bytes key = random_bytes(32), body = random_bytes(len - 80), out(len);
    size_t n = 0;
    EXPECT_EQ(quorvane_env_seal(key.data(), &h, body.data(), body.size(), out.data(), out.size(), &n), 0);
    return out;
}

// Sends an envelope and returns the acknowledgement's position (0 for none).
inline uint64_t send_env(Dev &d, const bytes &env) {
    EXPECT_TRUE(d.c.send(7, tlv(20, env)));
    bytes a = d.c.read_type(136);
    EXPECT_EQ(a.size() >= 8 ? a[3] : 0, 136);
    bytes p = find(a, 21);
    return p.size() == 8 ? get64(p.data()) : 0;
}

inline quorvane_member member_of(const Account &a, const bytes &uid, const std::vector<const Device *> &devs) {
    quorvane_member m{};
    std::memcpy(m.user_id, uid.data(), 16);
    std::memcpy(m.identity, a.first.x_pub, 32);  // the member-wide key is sealed to the first device's X25519 key
    m.device_count = devs.size();
    for (size_t i = 0; i < devs.size(); i++) {
        std::memcpy(m.devices[i], devs[i]->x_pub, 32);
        std::memcpy(m.devices[i] + 32, devs[i]->ed_pub, 32);
    }
    return m;
}

inline bytes conv_payload(const bytes &conv, const bytes &key, const std::vector<quorvane_member> &members) {
    bytes out(QV_CONV_PAYLOAD_MAX);
    size_t n = 0;
    EXPECT_EQ(build_conv_payload(conv.data(), key.data(), members.data(), members.size(), -1, out.data(), &n), 0);
    out.resize(n);
    return out;
}

// The envelopes (TLV 20) of frames 137, in order.
inline std::vector<bytes> envelopes_of(const std::vector<bytes> &frames) {
    std::vector<bytes> r;
    for (auto &f : frames)
        if (f[3] == 137) r.push_back(find(f, 20));
    return r;
}

struct Prekeys {
    quorvane_dm_prekeys set{};
    Prekeys(const Device &d, uint32_t first) {
        EXPECT_EQ(quorvane_dm_prekeys_generate(&set, d.x_priv, d.x_pub, d.ed_priv, d.ed_pub, first), 0);
    }
    ~Prekeys() { quorvane_dm_prekeys_wipe(&set); }
    bytes body() const {
        bytes out(QV_DM_PUBLISH_MAX);
        size_t n = 0;
        EXPECT_EQ(quorvane_dm_publish_body(&set, out.data(), out.size(), &n), 0);
        out.resize(n);
        return out;
    }
};

// One device of a prekey reply, as the client reads it.
struct ReplyDevice {
    bytes x, ed, spk, sig;
    uint32_t spk_id = 0;
    bool has_otk = false;
    uint32_t otk_id = 0;
    bytes otk;
};
inline std::vector<ReplyDevice> reply_devices(const bytes &f) {
    std::vector<ReplyDevice> out;
    bytes held;
    for (auto &r : records(f)) {
        if (r.tag == 4) held = r.v;
        else if (r.tag == 5 && !held.empty()) out.push_back({held, r.v, {}, {}, 0, false, 0, {}}), held.clear();
        else if (out.empty()) continue;
        else if (r.tag == 46) out.back().spk = r.v;
        else if (r.tag == 47) out.back().sig = r.v;
        else if (r.tag == 48) out.back().spk_id = static_cast<uint32_t>(get64(cat({bytes(4), r.v}).data()));
        else if (r.tag == 49) out.back().otk = r.v, out.back().has_otk = true;
        else if (r.tag == 50) out.back().otk_id = static_cast<uint32_t>(get64(cat({bytes(4), r.v}).data()));
    }
    return out;
}

inline bytes ask_prekeys(Dev &d, const bytes &req) {
    EXPECT_TRUE(d.c.send(6, req));
    bytes f = d.c.read();
    EXPECT_EQ(f.size() >= 8 ? f[3] : 0, 135);
    return f;
}

// What a device was sent before the answer to a back-fill it asks for now:
// a marker that every earlier push to it has been read.
inline std::vector<bytes> before_marker(Dev &d) {
    std::vector<bytes> got = d.c.aside;
    d.c.aside.clear();
    EXPECT_TRUE(d.c.send(59, cat({tlv(17, random_bytes(16)), tlv(21, be64(1))})));
    for (;;) {
        bytes f = d.c.read();
        if (f.size() < 8) {
            ADD_FAILURE() << "no back-fill answer";
            return got;
        }
        if (f[3] == 171) return got;
        got.push_back(f);
    }
}

inline std::vector<bytes> of_type(const std::vector<bytes> &frames, uint8_t type) {
    std::vector<bytes> r;
    for (auto &f : frames)
        if (f[3] == type) r.push_back(f);
    return r;
}

}  // namespace qvrelay
