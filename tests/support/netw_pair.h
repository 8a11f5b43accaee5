// Connected pairs for the engine and reactor suites: our client against our
// listener on loopback (plain or TLS with a throw-away certificate), or our
// client against a raw socket the test drives byte by byte.
#pragma once

#include "n_network.h"
#include "n_str.h"
#include "net_test_helpers.h"
#include "qv_test_support.h"

#include <cstring>

#include <arpa/inet.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qvnettest {

// A self-signed P-256 certificate made with the openssl tool.
struct TestCert {
    qvtest::TempDir dir;
    std::string cert = dir.file("cert.pem"), key = dir.file("key.pem");
    bool ok = false;
    TestCert() {
        ok = qvtest::run_command("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=localhost -keyout '" +
                                 key + "' -out '" + cert + "' 2>/dev/null") == 0;
    }
};

// Both ends are ours; `cert` turns TLS 1.3 on.
struct NetwPair {
    NETWORK *client = nullptr, *server = nullptr;
    explicit NetwPair(const TestCert *cert = nullptr) {
        NETWORK *l = nullptr;
        if (netw_make_listening(&l, "127.0.0.1", "0", 4, 1) != 1) return;
        if (cert && netw_set_crypto(l, cert->key.c_str(), cert->cert.c_str()) != 1) {
            netw_close(&l);
            return;
        }
        std::string port = local_port(l->link.sock);
        std::thread acc([&] {
            int err = 0;
            server = netw_accept_from_ex(l, SIZE_MAX, SIZE_MAX, qvtest::kWaitMs, &err);
        });
        int ok = 0;
        if (cert) {
            ok = netw_ssl_connect_client(&client, "127.0.0.1", port.c_str(), 1);
            if (ok == 1 && (!netw_ssl_set_verify(client, 0) || netw_ssl_do_handshake(client, nullptr) != 1)) ok = 0;
        } else {
            ok = netw_connect(&client, "127.0.0.1", port.c_str(), 1);
        }
        acc.join();
        netw_close(&l);
        if (ok != 1 && client) netw_close(&client);
    }
    bool ok() const { return client && server; }
    ~NetwPair() {
        if (client) netw_close(&client);
        if (server) netw_close(&server);
    }
};

// Our client connected to a raw socket `peer` that the test reads and writes.
struct RawPair {
    NETWORK *netw = nullptr;
    int peer = -1;
    RawPair() {
        Listener l;
        if (l.port <= 0) return;
        std::string port = std::to_string(l.port);
        if (netw_connect(&netw, "127.0.0.1", port.c_str(), 1) != 1) return;
        peer = l.accept_one(qvtest::kWaitMs);
    }
    bool ok() const { return netw && peer >= 0; }
    ~RawPair() {
        if (netw) netw_close(&netw);
        if (peer >= 0) close(peer);
    }
    // Exactly n bytes from the peer side, or fewer when it closed or `ms` passed.
    std::string read_exact(size_t n, int ms = qvtest::kWaitMs) const {
        std::string out;
        char buf[65536];
        while (out.size() < n) {
            pollfd p{peer, POLLIN, 0};
            if (poll(&p, 1, ms) != 1) break;
            ssize_t r = recv(peer, buf, std::min(sizeof buf, n - out.size()), 0);
            if (r <= 0) break;
            out.append(buf, (size_t)r);
        }
        return out;
    }
    bool write_all(const std::string &bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t r = send(peer, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (r <= 0) return false;
            done += (size_t)r;
        }
        return true;
    }
};

// `n` bytes of a repeating phrase: compresses well, and is easy to tell apart.
inline std::string filler_text(size_t n) {
    std::string s;
    while (s.size() < n) s += "quorvane engine frame ";
    s.resize(n);
    return s;
}

inline std::string be32_bytes(uint32_t v) {
    std::string s(4, '\0');
    qvtest::put_be32(reinterpret_cast<uint8_t *>(s.data()), v);
    return s;
}

// An engine frame as the peer would write it.
inline std::string frame_bytes(uint32_t state, const std::string &payload) {
    return be32_bytes(state) + be32_bytes((uint32_t)payload.size()) + payload;
}

// A queued message owning a copy of `bytes`.
inline N_STR *msg_of(const std::string &bytes) {
    N_STR *m = new_nstr(bytes.size() ? bytes.size() : 1);
    if (!m) return nullptr;
    if (!bytes.empty()) memcpy(m->data, bytes.data(), bytes.size());
    m->written = bytes.size();
    return m;
}

inline std::string text_of(N_STR *m) { return m ? std::string(m->data, m->written) : std::string("<null>"); }

inline int state_of(NETWORK *n) {
    int s = 0;
    netw_get_state(n, &s, nullptr);
    return s;
}

// Engine threads still counted in.
inline int running_threads(NETWORK *n) {
    pthread_mutex_lock(&n->eventbolt);
    int c = n->nb_running_threads;
    pthread_mutex_unlock(&n->eventbolt);
    return c;
}

inline bool ring_has(NETWORK *n, const std::string &needle) {
    for (int i = 0; i < n_netw_get_error_count(n); i++)
        if (std::string(n_netw_get_error(n, i)).find(needle) != std::string::npos) return true;
    return false;
}

// Every message the connection receives within `ms`, until `count` arrived.
inline std::vector<std::string> take_msgs(NETWORK *n, size_t count, int ms = qvtest::kWaitMs) {
    std::vector<std::string> got;
    qvtest::wait_until(
        [&] {
            while (N_STR *m = netw_get_msg(n)) {
                got.push_back(text_of(m));
                free_nstr_ptr_nolog(m);
            }
            return got.size() >= count;
        },
        ms);
    return got;
}

}  // namespace qvnettest
