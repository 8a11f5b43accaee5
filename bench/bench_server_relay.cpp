// Envelopes relayed per second through the project's server on loopback: N
// senders, each in a conversation with one recipient that is connected and
// synced, send 256-byte envelopes with up to 64 unacknowledged each; the clock
// runs until every acknowledgement and every live copy has arrived. Beside it,
// the floor the store's durability sets, measured in the same run on the same
// filesystem: 4 KiB written and fdatasync'd in a loop, as one commit per turn
// costs at least. Group commit lets the relay pass that floor when many
// envelopes share a turn.
#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "net_test_helpers.h"
#include "quorvane_crypto.h"
#include "quorvane_envelope.h"
#include "quorvane_escrow.h"
#include "quorvane_handshake.h"
#include "quorvane_x3dh.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using bytes = std::vector<uint8_t>;

bytes tlv(uint8_t tag, const bytes &v) {
    bytes r(5 + v.size());
    r[0] = tag;
    uint32_t n = static_cast<uint32_t>(v.size());
    for (int i = 0; i < 4; i++) r[1 + i] = static_cast<uint8_t>(n >> (24 - 8 * i));
    std::copy(v.begin(), v.end(), r.begin() + 5);
    return r;
}
bytes frame(uint8_t type, const bytes &p) {
    bytes f(8 + p.size());
    f[0] = 'H', f[1] = 'R', f[2] = 1, f[3] = type;
    uint32_t n = static_cast<uint32_t>(p.size());
    for (int i = 0; i < 4; i++) f[4 + i] = static_cast<uint8_t>(n >> (24 - 8 * i));
    std::copy(p.begin(), p.end(), f.begin() + 8);
    return f;
}
bytes operator+(bytes a, const bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
bytes find(const bytes &f, uint8_t tag) {
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
    bool open(int port) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
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
        uint8_t rec[82];
        Conn c;
        if (quorvane_escrow_seal_pw("pw", name.c_str(), id_priv, rec) != 0 || !c.open(port)) return false;
        bytes n(name.begin(), name.end());
        bytes p = tlv(1, n) + tlv(2, auth) + tlv(3, bytes(id_pub, id_pub + 32)) + tlv(4, bytes(x_pub, x_pub + 32)) +
                  tlv(5, bytes(ed_pub, ed_pub + 32)) + tlv(6, bytes(cert, cert + 64)) + tlv(80, bytes(rec, rec + 82));
        return c.send(frame(2, p)) && find(c.read(), 10) == bytes{0};
    }
    bool sign_in(Conn &c, int port) {
        bytes n(name.begin(), name.end());
        if (!c.open(port) || !c.send(frame(3, tlv(1, n)))) return false;
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
bool sync(Conn &c) {
    if (!c.send(frame(8, {}))) return false;
    for (bytes f = c.read(); !f.empty(); f = c.read())
        if (f[3] == 139) return true;
    return false;
}

bytes envelope(const bytes &conv, const bytes &sender, uint64_t counter) {
    quorvane_env_header h{};
    std::memcpy(h.conversation_id, conv.data(), 16);
    std::memcpy(h.sender_id, sender.data(), 16);
    h.counter = counter;
    std::memset(h.salt, 1, 16);
    uint8_t key[32] = {}, body[176] = {};
    bytes out(256);
    size_t n = 0;
    if (quorvane_env_seal(key, &h, body, sizeof body, out.data(), out.size(), &n) != 0) abort();
    return out;
}

// fdatasync's per second of a 4 KiB write on the directory's filesystem.
double fdatasync_rate(const std::string &dir) {
    std::string path = dir + "/floor";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return -1;
    char block[4096] = {};
    int n = 0;
    auto t0 = std::chrono::steady_clock::now();
    double secs = 0;
    while (secs < 1.0) {
        if (pwrite(fd, block, sizeof block, 0) != static_cast<ssize_t>(sizeof block) || fdatasync(fd) != 0) break;
        n++;
        secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    close(fd);
    unlink(path.c_str());
    return n / secs;
}

void BM_RelayNToOne(benchmark::State &state) {
    const int senders = static_cast<int>(state.range(0));
    constexpr int kPerSender = 2000, kWindow = 64;
    qv_bench::ScratchDir scratch;
    int port = qvnettest::free_port();
    qv_bench::ServerChild server(QV_SERVER_PRODUCT_BIN, scratch.dir + "/srv", port);
    User rcpt("rcpt");
    bool up = false;
    for (int i = 0; i < 100 && !up; i++) {
        up = rcpt.enroll(port);
        if (!up) usleep(100000);
    }
    std::vector<std::unique_ptr<User>> users;
    std::vector<std::unique_ptr<Conn>> conns;
    std::vector<bytes> convs;
    Conn r;
    bool ok = up && rcpt.sign_in(r, port);
    for (int i = 0; ok && i < senders; i++) {
        users.push_back(std::make_unique<User>(std::string("s").append(std::to_string(i))));
        conns.push_back(std::make_unique<Conn>());
        bytes conv(16);
        ok = users[i]->enroll(port) && users[i]->sign_in(*conns[i], port) && quorvane_random(conv.data(), 16) == 0;
        bytes sealed(80, 7);
        ok = ok && conns[i]->send(frame(24, tlv(17, conv) + tlv(19, conns[i]->user_id) + tlv(18, sealed) + tlv(19, r.user_id) + tlv(18, sealed)));
        convs.push_back(conv);
    }
    ok = ok && sync(r);
    if (!ok) {
        state.SkipWithError("the server or a client did not start");
        return;
    }
    std::vector<std::vector<bytes>> frames(senders);
    for (int i = 0; i < senders; i++)
        for (int k = 0; k < kPerSender; k++) frames[i].push_back(frame(7, tlv(20, envelope(convs[i], conns[i]->user_id, k + 1))));

    double rate = 0;
    std::atomic<int> failed{0};
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        std::vector<std::thread> th;
        for (int i = 0; i < senders; i++)
            th.emplace_back([&, i] {
                Conn &c = *conns[i];
                int sent = 0, acked = 0;
                while (acked < kPerSender) {
                    while (sent < kPerSender && sent - acked < kWindow)
                        if (!c.send(frames[i][sent++])) return (void)failed++;
                    bytes f = c.read();
                    if (f.empty()) return (void)failed++;
                    if (f[3] == 136) {
                        if (find(f, 21).size() != 8) failed++;
                        acked++;
                    }
                }
            });
        int live = 0;
        while (live < senders * kPerSender) {
            bytes f = r.read();
            if (f.empty()) break;
            if (f[3] == 137) live++;
        }
        for (auto &t : th) t.join();
        double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (failed || live != senders * kPerSender) {
            state.SkipWithError("an envelope was refused or lost");
            return;
        }
        rate = senders * kPerSender / secs;
        // The next round's envelopes must be new to the recipient's store: same bytes, new positions, fine for the server.
    }
    state.counters["envelopes_per_s"] = rate;
    state.counters["fdatasync_per_s"] = fdatasync_rate(scratch.dir);
    state.counters["per_fdatasync"] = rate / state.counters["fdatasync_per_s"];
}
BENCHMARK(BM_RelayNToOne)->Arg(1)->Arg(8)->Arg(32)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
