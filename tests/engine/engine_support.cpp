#include "engine_support.h"

#include "n_network.h"
#include "net_test_helpers.h"
#include "quorvane_crypto.h"

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qvtest {

// A scripted peer reads and writes on its own: when the server has closed the
// connection (as it must, for the hostile cases), OpenSSL may still write an
// alert from inside a read, and the default SIGPIPE would end the whole test
// binary instead of failing that read.
[[maybe_unused]] static const bool kPipeIgnored = [] {
    signal(SIGPIPE, SIG_IGN);
    return true;
}();

bool port_accepts(const std::string &port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
    bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

ServerProc::ServerProc(std::map<std::string, std::string> knobs, bool product_binary)
    : data(dir.file("srv")), env(std::move(knobs)), product(product_binary) {}

ServerProc::~ServerProc() {
    if (proc) proc->stop();
}

bool ServerProc::start(bool same_port) {
    auto argv_for = [&](int p) {
        std::vector<std::string> argv{"/usr/bin/env"};
        for (auto &[k, v] : env) argv.push_back(k + "=" + v);
        argv.push_back(product ? QV_SERVER_PRODUCT_BIN : QV_SERVER_TEST_BIN);
        for (const char *a : {"--data", data.c_str(), "--listen"}) argv.push_back(a);
        argv.push_back("127.0.0.1:" + std::to_string(p));
        if (registrations_per_address >= 0) {
            argv.push_back("--registrations-per-address");
            argv.push_back(std::to_string(registrations_per_address));
        }
        return argv;
    };
    if (!same_port || port.empty()) {
        const int p = start_listening(argv_for, dir.file("server.log"), &proc);
        port = std::to_string(p);
        return p != 0;
    }
    proc = std::make_unique<ChildProcess>(argv_for(std::stoi(port)), dir.file("server.log"));
    return wait_until([&] { return port_accepts(port) || !proc->running(); }, kWaitMs) && proc->running();
}

int ServerProc::stop() {
    if (!proc) return -1;
    int st = proc->stop();
    proc.reset();
    return st;
}

bool PeerConn::read_frame(std::vector<uint8_t> *frame) {
    uint8_t head[8];
    size_t got = 0;
    while (got < 8) {
        int n = SSL_read(ssl, head + got, static_cast<int>(8 - got));
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    uint32_t len = (uint32_t{head[4]} << 24) | (uint32_t{head[5]} << 16) | (uint32_t{head[6]} << 8) | head[7];
    frame->assign(head, head + 8);
    frame->resize(8 + len);
    got = 0;
    while (got < len) {
        int n = SSL_read(ssl, frame->data() + 8 + got, static_cast<int>(len - got));
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

bool PeerConn::write_record(const std::vector<uint8_t> &b) {
    return b.empty() || SSL_write(ssl, b.data(), static_cast<int>(b.size())) == static_cast<int>(b.size());
}

bool PeerConn::write_split(const std::vector<uint8_t> &b) {
    for (uint8_t byte : b)
        if (SSL_write(ssl, &byte, 1) != 1) return false;
    return true;
}

void PeerConn::reset() {
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    shutdown(fd, SHUT_RD);
    close(fd);
    fd = -1;
}

TlsPeer::TlsPeer(std::function<void(PeerConn &)> fn, const std::string &cert_dir) : script(std::move(fn)) {
    netw_init_openssl();
    std::string d = cert_dir.empty() ? dir.path : cert_dir;
    std::string cert = d + "/peer.crt", key = d + "/peer.key";
    if (access(cert.c_str(), F_OK) != 0) {
        EXPECT_EQ(quorvane_selfsigned_cert(cert.c_str(), key.c_str(), "peer"), 0);
    }
    ctx_ = netw_ssl_server_ctx_new(key.c_str(), cert.c_str());
    EXPECT_NE(ctx_, nullptr);
    NETWORK *l = nullptr;
    for (int tries = 0; tries < 20 && !l; tries++) {
        port = std::to_string(free_loopback_port());
        if (!netw_make_listening(&l, "127.0.0.1", port.c_str(), 8, 1)) l = nullptr;
    }
    EXPECT_NE(l, nullptr);
    listener_ = l;
    thr_ = std::thread([this] {
        NETWORK *lis = static_cast<NETWORK *>(listener_);
        if (!lis || !ctx_) return;
        NETWORK *c = netw_accept_from_ex(lis, SIZE_MAX, SIZE_MAX, kWaitMs, nullptr);
        if (!c) return;
        // The test may be busy for a while between two frames (a password
        // hash on a loaded machine): the script waits for the next one as
        // long as any wait here. The session closing ends it sooner.
        timeval tv{kWaitMs / 1000, 0};
        setsockopt(c->link.sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        int r = -10;
        wait_until([&] {
            r = netw_ssl_server_handshake_once(c, ctx_);
            return r != -10 && r != -11;
        }, kWaitMs);
        if (r == 1) {
            netw_set_blocking(c, 1);
            PeerConn pc{c->ssl, c->link.sock};
            script(pc);
            if (pc.fd < 0) c->link.sock = -1;
        }
        netw_close(&c);
    });
}

void TlsPeer::join() {
    if (thr_.joinable()) thr_.join();
}

TlsPeer::~TlsPeer() {
    join();
    NETWORK *l = static_cast<NETWORK *>(listener_);
    if (l) netw_close(&l);
    if (ctx_) SSL_CTX_free(ctx_);
}

std::vector<uint8_t> frame_of(uint8_t type, const std::vector<uint8_t> &payload) {
    std::vector<uint8_t> f{'H', 'R', 1, type, 0, 0, 0, 0};
    put_be32(f.data() + 4, static_cast<uint32_t>(payload.size()));
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

std::vector<uint8_t> tlv(uint8_t tag, const std::vector<uint8_t> &value) {
    std::vector<uint8_t> r{tag, 0, 0, 0, 0};
    put_be32(r.data() + 1, static_cast<uint32_t>(value.size()));
    r.insert(r.end(), value.begin(), value.end());
    return r;
}

std::vector<uint8_t> tlv_text(uint8_t tag, const std::string &value) { return tlv(tag, std::vector<uint8_t>(value.begin(), value.end())); }

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> r;
    for (auto &p : parts) r.insert(r.end(), p.begin(), p.end());
    return r;
}

}  // namespace qvtest
