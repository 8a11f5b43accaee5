// Blocking connects, listening, accept, UDP, adoption, whole-buffer send and
// receive, and code names. Peers are real: kernel listeners that complete,
// drop or reset connections, `socat` over TCP and UDP, a scripted TLS peer that
// goes away halfway, `socat` TLS sinks that stop reading and a `socat` TLS
// echo; all on loopback, started and stopped by pid.
#include "n_network.h"

#include "n_log.h"
#include "net_test_helpers.h"
#include "qv_test_support.h"

#include <gtest/gtest.h>

#include <openssl/err.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/tcp.h>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

using qvtest::ChildProcess;
using qvtest::LogCapture;
using qvtest::TempDir;
using namespace qvnettest;

namespace {

std::string port_of(NETWORK *n) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    getsockname(n->link.sock, reinterpret_cast<sockaddr *>(&ss), &len);
    return std::to_string(ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port));
}

// A plain TCP socket connected to 127.0.0.1:port, or -1.
int raw_connect(int port, bool nonblocking = false) {
    int fd = socket(AF_INET, SOCK_STREAM | (nonblocking ? SOCK_NONBLOCK : 0), 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((uint16_t)port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 && !(nonblocking && errno == EINPROGRESS)) {
        close(fd);
        return -1;
    }
    return fd;
}

const char *last_connect_error() {
    int n = n_netw_get_connect_error_count();
    return n ? n_netw_get_connect_error(n - 1) : "";
}

struct CertDir {
    TempDir dir;
    std::string cert = dir.file("cert.pem"), key = dir.file("key.pem");
    CertDir() {
        qvtest::run_command("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=localhost -keyout '" + key +
                            "' -out '" + cert + "' 2>/dev/null");
    }
};

// ---------------------------------------------------------------- connect

// A listener whose accept queue is full drops new SYNs: a timed connect gives
// up near its limit, an abort hook ends it within its polling step, and the
// calling thread's ring says why.
TEST(NetwBlockingConnect, TimeoutAgainstFullBacklogAndAbortHook) {
    LogCapture log;
    Listener full(AF_INET, 0);
    ASSERT_GT(full.port, 0);
    std::vector<int> fillers;
    for (int i = 0; i < 3; i++) fillers.push_back(raw_connect(full.port, true));
    qvtest::sleep_ms(100);
    std::string port = std::to_string(full.port);

    n_netw_clear_connect_errors();
    NETWORK *n = nullptr;
    long long t0 = now_ms();
    EXPECT_EQ(netw_connect_to(&n, "127.0.0.1", port.c_str(), 1, 500), 0);
    long long elapsed = now_ms() - t0;
    EXPECT_EQ(n, nullptr);
    EXPECT_GE(elapsed, 450);
    EXPECT_LT(elapsed, 3000);
    EXPECT_EQ(std::string(last_connect_error()), "TCP connect failed for 127.0.0.1:" + port + ": no address succeeded");
    EXPECT_TRUE(log.contains("connecting to 127.0.0.1:" + port + " : Connection timed out")) << log.text();
    EXPECT_TRUE(log.contains("Trying to connect to 127.0.0.1 : " + port + " (connect timeout 500 ms)"));

    // The ring is the calling thread's own.
    std::string other_thread = "untouched";
    std::thread([&] { other_thread = n_netw_get_connect_error_count() ? "seen" : "empty"; }).join();
    EXPECT_EQ(other_thread, "empty");

    static std::atomic<int> asked{0};
    asked = 0;
    netw_set_connect_abort_cb([](void *user) -> int { return ++*static_cast<std::atomic<int> *>(user) >= 3; }, &asked);
    t0 = now_ms();
    EXPECT_EQ(netw_connect_to(&n, "127.0.0.1", port.c_str(), 1, 10000), 0);
    elapsed = now_ms() - t0;
    netw_set_connect_abort_cb(nullptr, nullptr);
    EXPECT_GE(asked.load(), 3);
    EXPECT_LT(elapsed, 1500);  // two polling steps of 100 ms, not the 10 s limit
    for (int fd : fillers) close(fd);
}

TEST(NetwBlockingConnect, PlainConnectsRefusalsAndFilledPointers) {
    LogCapture log;
    Listener l;
    std::string port = std::to_string(l.port);
    NETWORK *n = nullptr;
    ASSERT_EQ(netw_connect(&n, "127.0.0.1", port.c_str(), 1), 1);
    EXPECT_EQ(n->mode, NETW_CLIENT);
    EXPECT_EQ(n->state, NETW_RUN);
    EXPECT_STREQ(n->link.ip, "127.0.0.1");
    EXPECT_STREQ(n->link.port, port.c_str());
    EXPECT_EQ(n->link.is_blocking, 1u);
    EXPECT_EQ(fcntl(n->link.sock, F_GETFL) & O_NONBLOCK, 0);
    NETWORK *keep = n;
    EXPECT_EQ(netw_connect(&n, "127.0.0.1", port.c_str(), 1), 0);
    EXPECT_EQ(n, keep);
    EXPECT_TRUE(log.contains("Unable to allocate (*netw), already existing. You must use empty NETWORK *structs."));
    netw_close(&n);

    // A timed connect that succeeds is blocking again afterwards.
    ASSERT_EQ(netw_connect_to(&n, "127.0.0.1", port.c_str(), 1, 2000), 1);
    EXPECT_EQ(fcntl(n->link.sock, F_GETFL) & O_NONBLOCK, 0);
    netw_close(&n);

    ClosedPort closed;
    std::string cport = std::to_string(closed.port);
    n_netw_clear_connect_errors();
    for (int timeout : {0, 1000}) {
        SCOPED_TRACE(timeout);
        EXPECT_EQ(netw_connect_to(&n, "127.0.0.1", cport.c_str(), 1, timeout), 0);
        EXPECT_EQ(n, nullptr);
        EXPECT_EQ(std::string(last_connect_error()), "TCP connect failed for 127.0.0.1:" + cport + ": no address succeeded");
    }
    EXPECT_TRUE(log.contains("connecting to 127.0.0.1:" + cport + " : Connection refused"));

    int fd = _proxy_tcp_connect("127.0.0.1", l.port);
    EXPECT_GE(fd, 0);
    if (fd >= 0) close(fd);
    EXPECT_EQ(_proxy_tcp_connect("127.0.0.1", closed.port), -1);
    EXPECT_TRUE(log.contains("n_proxy: TCP connect to 127.0.0.1:" + cport + " failed"));
}

// ---------------------------------------------------------------- listen and accept

TEST(NetwBlockingAccept, WaitsOfEveryKindAndPeerAddress) {
    LogCapture log;
    NETWORK *l = nullptr;
    ASSERT_EQ(netw_make_listening(&l, nullptr, "0", 8, 1), 1);
    EXPECT_EQ(l->mode, NETW_SERVER);
    EXPECT_EQ(l->backlog, 8);
    EXPECT_EQ(l->so_reuseaddr, 1);
    EXPECT_STREQ(l->link.ip, "0.0.0.0");  // all local addresses
    int port = std::stoi(port_of(l));

    int err = 0;
    log.clear();
    EXPECT_EQ(netw_accept_from_ex(l, SIZE_MAX, SIZE_MAX, -1, &err), nullptr);
    EXPECT_EQ(err, EAGAIN);
    EXPECT_EQ(count_lines(log.text(), "ERR"), 0) << log.text();
    EXPECT_EQ(l->link.is_blocking, 0u);

    long long t0 = now_ms();
    err = 0;
    EXPECT_EQ(netw_accept_nonblock_from(l, 300), nullptr);
    EXPECT_GE(now_ms() - t0, 250);
    EXPECT_TRUE(log.contains("No connection waiting on " + std::to_string(l->link.sock)));

    // A real client: socat sends a file's bytes and closes.
    TempDir dir;
    std::string payload(100000, '\0');
    for (size_t i = 0; i < payload.size(); i++) payload[i] = (char)(i * 131 + 7);
    qvtest::write_file(dir.file("payload"), payload);
    ASSERT_TRUE(qvtest::have_program("socat")) << "socat not installed (Debian package socat)";
    ChildProcess client({"socat", "-u", "OPEN:" + dir.file("payload"), "TCP4:127.0.0.1:" + std::to_string(port)});
    NETWORK *c = netw_accept_from(l);  // blocking again
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(l->link.is_blocking, 1u);
    EXPECT_TRUE(log.contains("(default) blocking accept call on socket"));
    EXPECT_EQ(c->mode, NETW_SERVER);
    EXPECT_STREQ(c->link.ip, "127.0.0.1");
    EXPECT_NE(std::stoi(c->link.port), port);  // the peer's port
    EXPECT_EQ(c->so_keepalive, 1);
    std::string got(payload.size(), '\0');
    EXPECT_EQ(c->recv_data_fn(c, got.data(), (uint32_t)got.size()), (ssize_t)got.size());
    EXPECT_EQ(got, payload);
    char more;
    EXPECT_EQ(recv_data(c, &more, 1), -2);
    netw_close(&c);

    // Listening again on a port in use fails on every address and leaves the pointer null.
    NETWORK *again = nullptr;
    std::string used = std::to_string(port);
    EXPECT_EQ(netw_make_listening(&again, "127.0.0.1", used.c_str(), 8, 1), 0);
    EXPECT_EQ(again, nullptr);
    EXPECT_TRUE(log.contains("Couldn't get a socket for listening on port " + used));
    EXPECT_EQ(netw_make_listening(&l, nullptr, "0", 8, 1), 0);  // a filled pointer
    EXPECT_TRUE(log.contains("Cannot use an allocated network. Please pass a NULL network to modify"));
    netw_close(&l);
}

// ---------------------------------------------------------------- UDP and adoption

TEST(NetwBlockingUdp, AgainstSocatEchoAndSender) {
    ASSERT_TRUE(qvtest::have_program("socat")) << "socat not installed (Debian package socat)";
    LogCapture log;
    std::string port = std::to_string(free_port());
    ChildProcess echo({"socat", "-T", "20", "UDP4-LISTEN:" + port + ",bind=127.0.0.1", "PIPE"});
    NETWORK *u = nullptr;
    ASSERT_EQ(netw_connect_udp(&u, "127.0.0.1", port.c_str(), 1), 1);
    EXPECT_EQ(u->send_data_fn, &send_udp_data);
    EXPECT_EQ(u->send_once_fn, &send_data_once);  // single-pass slots stay plain
    EXPECT_EQ(u->mode, NETW_CLIENT);
    char ping[] = "ping over udp";
    char back[64] = {};
    ssize_t got = -1;
    // A datagram sent before socat listens is lost: send until one comes back.
    ASSERT_TRUE(qvtest::wait_until([&] {
        if (u->send_data_fn(u, ping, sizeof ping - 1) != (ssize_t)(sizeof ping - 1)) return false;
        pollfd p{u->link.sock, POLLIN, 0};
        if (poll(&p, 1, 200) != 1) return false;
        // Until socat listens, the port answers with ICMP: a refused receive.
        got = u->recv_data_fn(u, back, sizeof back);
        return got > 0;
    }, 10000));
    EXPECT_EQ(std::string(back, got > 0 ? (size_t)got : 0), "ping over udp");
    // A datagram longer than the buffer is cut; the rest is gone.
    char small[4];
    EXPECT_EQ(send_udp_data(u, ping, sizeof ping - 1), (ssize_t)(sizeof ping - 1));
    pollfd p{u->link.sock, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    EXPECT_EQ(recv_udp_data(u, small, sizeof small), 4);
    EXPECT_EQ(std::string(small, 4), "ping");
    EXPECT_EQ(send_udp_data(u, ping, 0), -1);
    EXPECT_STREQ(n_netw_get_error(u, n_netw_get_error_count(u) - 1), "Send of 0 is unsupported.");
    netw_close(&u);

    NETWORK *b = nullptr;
    ASSERT_EQ(netw_bind_udp(&b, "127.0.0.1", "0", 1), 1);
    EXPECT_EQ(b->mode, NETW_SERVER);
    std::string bport = port_of(b);
    EXPECT_TRUE(log.contains("UDP socket bound to 127.0.0.1:0"));
    ASSERT_EQ(qvtest::run_command("printf 'from socat' | socat -u - UDP4-SENDTO:127.0.0.1:" + bport), 0);
    p = {b->link.sock, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    got = b->recv_data_fn(b, back, sizeof back);
    EXPECT_EQ(std::string(back, got > 0 ? (size_t)got : 0), "from socat");
    // An empty datagram is a zero count, not a close.
    int raw = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons((uint16_t)std::stoi(bport));
    ASSERT_EQ(sendto(raw, "", 0, 0, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    p = {b->link.sock, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    log.clear();
    EXPECT_EQ(recv_udp_data(b, back, sizeof back), 0);
    EXPECT_TRUE(log.contains("zero-length recv"));
    netw_close(&b);

    // A port bound exclusively by someone else.
    close(raw);
    raw = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_EQ(bind(raw, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    EXPECT_EQ(netw_bind_udp(&b, "127.0.0.1", bport.c_str(), 1), 0);
    EXPECT_EQ(b, nullptr);
    EXPECT_TRUE(log.contains("Couldn't get a socket for UDP binding on port " + bport));
    close(raw);
}

TEST(NetwBlockingAdopt, AdoptedDescriptorCarriesWholeBuffers) {
    ASSERT_TRUE(qvtest::have_program("socat")) << "socat not installed (Debian package socat)";
    LogCapture log;
    NETWORK *n = nullptr;
    EXPECT_EQ(netw_adopt_client_fd(&n, -1, "1.2.3.4", "5"), 0);
    EXPECT_EQ(n, nullptr);
    EXPECT_TRUE(log.contains("netw_adopt_client_fd: invalid socket"));

    int port = free_port();
    ChildProcess echo({"socat", "TCP4-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr", "PIPE"});
    int fd = -1;
    ASSERT_TRUE(qvtest::wait_until([&] { return (fd = raw_connect(port)) >= 0; }, 10000));
    ASSERT_EQ(netw_adopt_client_fd(&n, fd, "127.0.0.1", nullptr), 1);
    EXPECT_EQ(n->link.sock, fd);
    EXPECT_STREQ(n->link.port, "");
    EXPECT_EQ(n->mode, NETW_CLIENT);
    EXPECT_EQ(n->state, NETW_RUN);
    NETWORK *keep = n;
    EXPECT_EQ(netw_adopt_client_fd(&n, fd, nullptr, nullptr), 0);
    EXPECT_EQ(n, keep);

    std::vector<char> out(1 << 20), in(out.size());
    for (size_t i = 0; i < out.size(); i++) out[i] = (char)(i * 7 + (i >> 9));
    // socat echoes as it reads, so send and receive run side by side.
    ssize_t received = 0;
    std::thread reader([&] { received = n->recv_data_fn(n, in.data(), (uint32_t)in.size()); });
    EXPECT_EQ(n->send_data_fn(n, out.data(), (uint32_t)out.size()), (ssize_t)out.size());
    reader.join();
    EXPECT_EQ(received, (ssize_t)in.size());
    EXPECT_EQ(in, out);
    EXPECT_EQ(netw_close(&n), 1);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // the record owned the descriptor
}

// ---------------------------------------------------------------- whole-buffer I/O

// A peer that closes halfway or resets: the whole-buffer calls report the
// peer gone (-2), never the part that arrived.
TEST(NetwWholeBuffer, PlainPeerClosesHalfwayOrResets) {
    LogCapture log;
    struct Case {
        const char *name;
        bool reset;
    } cases[] = {{"FIN after half", false}, {"RST after half", true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Listener l;
        NETWORK *n = nullptr;
        ASSERT_EQ(netw_connect(&n, "127.0.0.1", std::to_string(l.port).c_str(), 1), 1);
        int peer = l.accept_one(2000);
        ASSERT_GE(peer, 0);
        ASSERT_EQ(send(peer, std::string(500, 'h').data(), 500, 0), 500);
        if (c.reset) {
            linger lg{1, 0};
            setsockopt(peer, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        }
        close(peer);
        std::vector<char> buf(1000);
        log.clear();
        EXPECT_EQ(recv_data(n, buf.data(), (uint32_t)buf.size()), -2);
        EXPECT_EQ(count_lines(log.text(), "ERR"), 0) << log.text();
        // Writing to the gone peer: the first send may still be taken by the kernel.
        ssize_t r = 0;
        for (int i = 0; i < 10 && r >= 0; i++) r = send_data(n, buf.data(), (uint32_t)buf.size());
        EXPECT_EQ(r, -2);
        netw_close(&n);
    }

    // Zero lengths, and a non-blocking socket whose buffer stays full.
    Listener silent;
    NETWORK *n = nullptr;
    ASSERT_EQ(netw_connect(&n, "127.0.0.1", std::to_string(silent.port).c_str(), 1), 1);
    char one = 'x';
    log.clear();
    EXPECT_EQ(recv_data(n, &one, 0), 0);
    EXPECT_EQ(log.text(), "");
    EXPECT_EQ(send_data(n, &one, 0), -1);
    EXPECT_STREQ(n_netw_get_error(n, 0), "Send of 0 is unsupported.");
    ASSERT_EQ(netw_set_blocking(n, 0), 1);
    std::vector<char> big(16 << 20, 'b');
    EXPECT_EQ(send_data(n, big.data(), (uint32_t)big.size()), -1);
    std::string storm = "Socket " + std::to_string(n->link.sock) + " : retry storm on send (8 retries)";
    EXPECT_EQ(std::string(n_netw_get_error(n, n_netw_get_error_count(n) - 1)), storm);
    EXPECT_EQ(recv_data(n, big.data(), 10), -1);
    EXPECT_EQ(send_data(nullptr, &one, 1), -1);
    EXPECT_EQ(recv_data(n, nullptr, 1), -1);
    netw_close(&n);
}

struct TlsWholeBuffer : ::testing::Test {
    CertDir certs;
    void SetUp() override {
        ASSERT_TRUE(qvtest::have_program("openssl")) << "openssl not installed (Debian package openssl)";
        ASSERT_FALSE(qvtest::read_file(certs.cert).empty());
    }
    // A TLS client of ours (no verification, TLS 1.3) on a scripted peer of the
    // given mode, which prints its port first.
    NETWORK *scripted(const std::vector<std::string> &mode, std::unique_ptr<ChildProcess> *peer) {
        std::string portfile = certs.dir.file("peer.port");
        unlink(portfile.c_str());
        std::vector<std::string> argv{QV_PYTHON, std::string(qvtest::source_dir()) + "/tests/scripts/tls_reset_peer.py", certs.cert, certs.key};
        argv.insert(argv.end(), mode.begin(), mode.end());
        *peer = std::make_unique<ChildProcess>(argv, portfile);
        if (!qvtest::wait_until([&] { return qvtest::read_file(portfile).find('\n') != std::string::npos; }, 10000)) return nullptr;
        NETWORK *n = nullptr;
        std::string port = std::to_string(std::stoi(qvtest::read_file(portfile)));
        if (netw_ssl_connect_client(&n, "127.0.0.1", port.c_str(), 1) != 1) return nullptr;
        if (!netw_ssl_set_verify(n, 0) || !netw_ssl_set_versions(n, TLS1_3_VERSION, TLS1_3_VERSION) || netw_ssl_do_handshake(n, nullptr) != 1)
            netw_close(&n);
        return n;
    }
    // A TLS client of ours (no verification) on a socat peer that feeds what
    // it reads into a process that never reads its input.
    NETWORK *never_reading(std::unique_ptr<ChildProcess> *peer) { return socat_tls(peer, "EXEC:sleep 300"); }
    // The same on a socat peer that sends back everything it reads.
    NETWORK *echoing(std::unique_ptr<ChildProcess> *peer) { return socat_tls(peer, "PIPE"); }
    NETWORK *socat_tls(std::unique_ptr<ChildProcess> *peer, const std::string &far_end) {
        std::string port = std::to_string(free_port());
        *peer = std::make_unique<ChildProcess>(std::vector<std::string>{
            "socat", "OPENSSL-LISTEN:" + port + ",bind=127.0.0.1,reuseaddr,cert=" + certs.cert + ",key=" + certs.key + ",verify=0",
            far_end});
        NETWORK *n = nullptr;
        if (!qvtest::wait_until([&] { return netw_ssl_connect_client(&n, "127.0.0.1", port.c_str(), 1) == 1; }, 10000)) return nullptr;
        if (!netw_ssl_set_verify(n, 0) || netw_ssl_do_handshake(n, nullptr) != 1) netw_close(&n);
        return n;
    }
};

TEST_F(TlsWholeBuffer, PeerGoesAwayHalfway) {
    struct Case {
        const char *name, *mode, *debug;
    } cases[] = {
        {"whole record then FIN, no close_notify", "eof", "peer closed connection (TLS unexpected EOF)"},
        {"half a record then RST", "reset", "peer closed connection (TLS, no close_notify)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        std::unique_ptr<ChildProcess> peer;
        NETWORK *n = scripted({c.mode}, &peer);
        ASSERT_NE(n, nullptr) << log.text();
        std::vector<char> buf(8000);  // the peer sends 4000 bytes at most
        EXPECT_EQ(recv_ssl_data(n, buf.data(), (uint32_t)buf.size()), -2);
        EXPECT_TRUE(log.contains(c.debug)) << log.text();
        EXPECT_EQ(n_netw_get_error_count(n), 0);
        netw_close(&n);
        EXPECT_EQ(count_lines(log.text(), "ERR"), 0) << log.text();
    }
}

// A TLS peer that stops reading: the whole-buffer send gives up after the
// connection's send time-out with a text in the ring, on a blocking and on a
// non-blocking socket, instead of retrying for ever; a receive from it ends
// after the receive time-out the connection was given.
TEST_F(TlsWholeBuffer, StalledPeerBoundsSendAndTimedReceive) {
    ASSERT_TRUE(qvtest::have_program("socat")) << "socat not installed (Debian package socat)";
    for (bool blocking : {true, false}) {
        SCOPED_TRACE(blocking ? "blocking socket" : "non-blocking socket");
        LogCapture log;
        std::unique_ptr<ChildProcess> sink;
        NETWORK *n = never_reading(&sink);
        ASSERT_NE(n, nullptr) << log.text();
        ASSERT_EQ(netw_setsockopt(n, SO_SNDTIMEO, 1000), 1);
        if (!blocking) {
            ASSERT_EQ(netw_set_blocking(n, 0), 1);
        }
        std::vector<char> big(64u << 20, 's');
        long long t0 = now_ms();
        EXPECT_EQ(send_ssl_data(n, big.data(), (uint32_t)big.size()), -1);
        long long elapsed = now_ms() - t0;
        EXPECT_GE(elapsed, 900);
        EXPECT_LT(elapsed, 15000);
        ASSERT_GE(n_netw_get_error_count(n), 1);
        EXPECT_EQ(std::string(n_netw_get_error(n, n_netw_get_error_count(n) - 1)),
                  "socket " + std::to_string(n->link.sock) + " SSL_write timed out after 1000 ms: the peer does not read");
        EXPECT_EQ(ERR_peek_error(), 0u);

        // The same silent peer on the receiving side: a receive time-out set
        // on the connection bounds the wait too.
        ASSERT_EQ(netw_setsockopt(n, SO_RCVTIMEO, 500), 1);
        t0 = now_ms();
        EXPECT_EQ(recv_ssl_data(n, big.data(), 100), -1);
        elapsed = now_ms() - t0;
        EXPECT_GE(elapsed, 450);
        EXPECT_LT(elapsed, 10000);
        EXPECT_EQ(std::string(n_netw_get_error(n, n_netw_get_error_count(n) - 1)),
                  "socket " + std::to_string(n->link.sock) + " SSL_read timed out after 500 ms: the peer sends nothing");
        netw_close(&n);
    }
}

// A blocking socket with no send time-out of its own: the kernel's write
// never hands OpenSSL a would-block, so the stall bound must still come from
// NETW_SSL_SEND_WAIT_MS rather than leave the caller waiting for the peer. The
// send runs in a thread; shutting the socket down ends a hung one.
TEST_F(TlsWholeBuffer, StalledPeerBoundsSendWithoutSendTimeOut) {
    ASSERT_TRUE(qvtest::have_program("socat")) << "socat not installed (Debian package socat)";
    LogCapture log;
    std::unique_ptr<ChildProcess> sink;
    NETWORK *n = never_reading(&sink);
    ASSERT_NE(n, nullptr) << log.text();
    ASSERT_EQ(n->so_sndtimeo, -1);
    std::vector<char> big(64u << 20, 's');
    std::atomic<bool> done{false};
    ssize_t sent = 0;
    long long t0 = now_ms(), elapsed = 0;
    std::thread sender([&] {
        sent = send_ssl_data(n, big.data(), (uint32_t)big.size());
        elapsed = now_ms() - t0;
        done = true;
    });
    bool ended = qvtest::wait_until([&] { return done.load(); }, 4 * NETW_SSL_SEND_WAIT_MS);
    if (!ended) shutdown(n->link.sock, SHUT_RDWR);
    sender.join();
    EXPECT_TRUE(ended) << "send_ssl_data still waiting after " << 4 * NETW_SSL_SEND_WAIT_MS << " ms";
    EXPECT_EQ(sent, -1);
    EXPECT_GE(elapsed, NETW_SSL_SEND_WAIT_MS - 1000);
    ASSERT_GE(n_netw_get_error_count(n), 1);
    EXPECT_EQ(std::string(n_netw_get_error(n, n_netw_get_error_count(n) - 1)),
              "socket " + std::to_string(n->link.sock) + " SSL_write timed out after " + std::to_string(NETW_SSL_SEND_WAIT_MS) +
                  " ms: the peer does not read");
    netw_close(&n);
}

// One thread sends 4 MiB while another receives the echo on the same
// connection, as the engine's two threads do. A call that waited in the kernel
// with the session's lock held would keep the other direction out for good:
// the receiver waiting for an echo of what the sender cannot send. Neither may
// hang, a receive time-out must not fire while the echo flows, and the socket
// ends in the mode it had.
TEST_F(TlsWholeBuffer, SendAndReceiveAtOnceOnOneConnection) {
    ASSERT_TRUE(qvtest::have_program("socat")) << "socat not installed (Debian package socat)";
    struct Case {
        const char *name;
        bool blocking;
        int recv_timeout_ms;  // 0: none set
    } cases[] = {
        {"blocking socket", true, 0},
        {"blocking socket with a receive time-out", true, 30000},
        {"non-blocking socket, as the engine sets it", false, 0},
    };
    std::vector<char> out(4u << 20);
    for (size_t i = 0; i < out.size(); i++) out[i] = (char)(i * 31 % 251);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        std::unique_ptr<ChildProcess> peer;
        NETWORK *n = echoing(&peer);
        ASSERT_NE(n, nullptr) << log.text();
        ASSERT_EQ(netw_set_blocking(n, c.blocking ? 1 : 0), 1);
        if (c.recv_timeout_ms) {
            ASSERT_EQ(netw_setsockopt(n, SO_RCVTIMEO, c.recv_timeout_ms), 1);
        }
        std::vector<char> back(out.size());
        std::atomic<int> finished{0};
        ssize_t sent = 0, got = 0;
        std::thread receiver([&] {
            got = recv_ssl_data(n, back.data(), (uint32_t)back.size());
            finished++;
        });
        std::thread sender([&] {
            sent = send_ssl_data(n, out.data(), (uint32_t)out.size());
            finished++;
        });
        bool ended = qvtest::wait_until([&] { return finished.load() == 2; }, 60000);
        if (!ended) shutdown(n->link.sock, SHUT_RDWR);  // ends a hung call so the threads can be joined
        sender.join();
        receiver.join();
        EXPECT_TRUE(ended) << "send and receive still waiting after 60 s";
        EXPECT_EQ(sent, (ssize_t)out.size());
        ASSERT_EQ(got, (ssize_t)out.size()) << (n_netw_get_error_count(n) ? n_netw_get_error(n, n_netw_get_error_count(n) - 1) : "");
        EXPECT_TRUE(back == out);
        EXPECT_EQ(n_netw_get_error_count(n), 0);
        EXPECT_EQ((fcntl(n->link.sock, F_GETFL, 0) & O_NONBLOCK) != 0, !c.blocking);
        EXPECT_EQ(n->ssl_io_users, 0);
        netw_close(&n);
    }
}

// ---------------------------------------------------------------- descriptors past select()'s limit

TEST(NetwBlockingHighFd, ConnectAndAcceptWaitsAboveFdSetsize) {
    HighFds high;
    if (!high.skip.empty()) GTEST_SKIP() << high.skip;

    NETWORK *l = nullptr;
    ASSERT_EQ(netw_make_listening(&l, "127.0.0.1", "0", 8, 1), 1);
    EXPECT_GT(l->link.sock, 1500);
    std::string port = port_of(l);
    NETWORK *c = nullptr;
    ASSERT_EQ(netw_connect_to(&c, "127.0.0.1", port.c_str(), 1, 2000), 1);
    EXPECT_GT(c->link.sock, 1500);
    NETWORK *s = netw_accept_nonblock_from(l, 2000);
    ASSERT_NE(s, nullptr);
    char msg[] = "high descriptors";
    char got[sizeof msg];
    EXPECT_EQ(send_data(c, msg, sizeof msg), (ssize_t)sizeof msg);
    EXPECT_EQ(recv_data(s, got, sizeof got), (ssize_t)sizeof got);
    EXPECT_STREQ(got, msg);
    netw_close(&s);
    netw_close(&c);

    Listener full(AF_INET, 0);
    std::vector<int> held;
    for (int i = 0; i < 3; i++) held.push_back(raw_connect(full.port, true));
    qvtest::sleep_ms(100);
    long long t0 = now_ms();
    EXPECT_EQ(netw_connect_to(&c, "127.0.0.1", std::to_string(full.port).c_str(), 1, 300), 0);
    EXPECT_GE(now_ms() - t0, 250);
    for (int fd : held) close(fd);
    netw_close(&l);
}

// ---------------------------------------------------------------- code names

TEST(NetwCodeNames, ValuesAndNamesBothWays) {
    const std::pair<uint32_t, const char *> all[] = {
        {2, "NETW_CLIENT"},           {4, "NETW_SERVER"},           {8, "NETW_RESTART_TIMER"},        {16, "NETW_EMPTY_SENDBUF"},
        {32, "NETW_EMPTY_RECVBUF"},   {64, "NETW_RUN"},             {128, "NETW_EXIT_ASKED"},         {256, "NETW_EXITED"},
        {512, "NETW_ERROR"},          {1024, "NETW_ENCRYPT_NONE"},  {2048, "NETW_ENCRYPT_OPENSSL"},   {4096, "NETW_THR_ENGINE_STARTED"},
        {8192, "NETW_THR_ENGINE_STOPPED"}, {16384, "NETW_DESTROY_RECVBUF"}, {32768, "NETW_DESTROY_SENDBUF"}, {65536, "NETW_COMPRESSED_ZLIB"},
        {131072, "NETW_COMPRESSED_LZ4"},
    };
    for (const auto &[value, name] : all) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(__netw_code_type__isValid(value));
        EXPECT_STREQ(__netw_code_type__toString(value), name);
        EXPECT_EQ(__netw_code_type__fromString(name), value);
        EXPECT_EQ(__netw_code_type__isStringValid(name), 1);
        EXPECT_EQ(__netw_code_type__fromStringEx(name + 5, 5), value);
    }
    for (uint32_t v : {0u, 1u, 64u | 65536u, 131073u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(v);
        EXPECT_FALSE(__netw_code_type__isValid(v));
        EXPECT_EQ(__netw_code_type__toString(v), nullptr);
    }
    struct Case {
        const char *text;
        int skip;
        uint32_t value;
    } cases[] = {
        {"netw_run", 0, 131073}, {"NETW_RUN ", 0, 131073}, {"RUN", 5, 64}, {"CLIENT", 5, 2}, {"", 8, 64},
        {"NETW_RUN", 0, 64},     {"RUN", 0, 131073},      {nullptr, 0, 131073},
        // Counts outside 0..8 are refused: a skip past the end of a short
        // name must not read beyond it.
        {"", 9, 131073}, {"", 100, 131073}, {"CLIENT", -1, 131073}, {"", -5, 131073}, {"ER", 9, 131073},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << (c.text ? c.text : "(null)") << " skip " << c.skip);
        EXPECT_EQ(__netw_code_type__fromStringEx(c.text, c.skip), c.value);
    }
    EXPECT_EQ(__netw_code_type__fromString(nullptr), NETW_CODE_TYPE_INVALID);
    EXPECT_EQ(__netw_code_type__isStringValid(nullptr), 0);
    EXPECT_EQ(__netw_code_type__isStringValid("NETW_RUN "), 0);

    uint64_t sent = 7, recv = 7, created = 7, deleted = 7;
    g_netw_bytes_recv += 5;
    netw_bytes_stats_get(nullptr, &recv);
    EXPECT_EQ(recv, g_netw_bytes_recv.load());
    netw_bytes_stats_get(&sent, nullptr);
    EXPECT_EQ(sent, g_netw_bytes_sent.load());
    g_netw_msg_created += 3;
    netw_msg_stats_get(&created, &deleted);
    EXPECT_EQ(created, g_netw_msg_created.load());
    EXPECT_EQ(deleted, g_netw_msg_deleted.load());
    netw_msg_stats_get(nullptr, nullptr);
}

}  // namespace
