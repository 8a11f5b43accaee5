// Network connections against real peers on loopback: TLS servers of two
// other implementations (started and stopped by pid), kernel listeners that
// stay silent, refuse or reset, a scratch resolver view in a private mount
// namespace for names, and descriptors above select()'s limit.
#include "n_network.h"

#include "n_log.h"
#include "qv_test_support.h"
#include "net_test_helpers.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <semaphore.h>
#include <string>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using qvtest::ChildProcess;
using qvtest::LogCapture;
using qvtest::TempDir;
using namespace qvnettest;

namespace {

// Drives connect check until it settles; polls the socket between turns.
int settle_connect(NETWORK *n, int ms) {
    long long end = now_ms() + ms;
    for (;;) {
        int r = netw_connect_check(n);
        if (r != -11 || now_ms() > end) return r;
        pollfd p{n->link.sock, POLLOUT, 0};
        poll(&p, 1, 20);
    }
}

// Connects to 127.0.0.1:port, retrying while a freshly started server is not
// yet listening. Null when nothing accepted within `ms`.
NETWORK *connect_loopback(int port, int ms) {
    long long end = now_ms() + ms;
    std::string p = std::to_string(port);
    while (now_ms() < end) {
        NETWORK *n = nullptr;
        if (netw_connect_nonblock(&n, "127.0.0.1", p.c_str(), 1) == 1 && settle_connect(n, 2000) == 1) return n;
        if (n) netw_close(&n);
        qvtest::sleep_ms(25);
    }
    return nullptr;
}

// The client's TLS set-up: no verification, TLS 1.3 only, no SNI.
int tls_handshake(NETWORK *n, int ms, int min_version = 772, int max_version = 772) {
    if (!netw_ssl_start_client(n) || !netw_ssl_set_verify(n, 0) || !netw_ssl_set_versions(n, min_version, max_version))
        return 0;
    long long end = now_ms() + ms;
    for (;;) {
        int r = netw_ssl_handshake_once(n, nullptr);
        if ((r != -10 && r != -11) || now_ms() > end) return r;
        pollfd p{n->link.sock, (short)(r == -10 ? POLLIN : POLLOUT), 0};
        poll(&p, 1, 50);
    }
}

struct PumpResult {
    size_t sent = 0;
    ssize_t end = 0;  // the first result that was neither progress nor a would-block
    bool timed_out = false;
};

// Writes `out` and reads into `in` from one non-blocking loop, as the client's
// pump does: writes resume from the caller's offset, reads go into a 16 KiB
// buffer, and the socket is polled only when neither side moved.
PumpResult pump(NETWORK *n, std::vector<char> &out, std::string &in, size_t expect, int ms,
                const std::function<void(size_t)> &each_turn = {}) {
    PumpResult res;
    char buf[16384];
    long long end = now_ms() + ms;
    while (in.size() < expect) {
        if (now_ms() > end) {
            res.timed_out = true;
            break;
        }
        bool moved = false;
        short want = 0;
        if (res.sent < out.size()) {
            uint32_t chunk = (uint32_t)std::min<size_t>(out.size() - res.sent, 65536);
            ssize_t r = send_ssl_data_once(n, out.data() + res.sent, chunk);
            if (r > 0) {
                res.sent += (size_t)r;
                moved = true;
            } else if (r == -11 || r == -10) {
                want |= r == -11 ? POLLOUT : POLLIN;
            } else {
                res.end = r;
                break;
            }
        }
        ssize_t r = recv_ssl_data_once(n, buf, sizeof buf);
        if (r > 0) {
            in.append(buf, (size_t)r);
            moved = true;
        } else if (r == -10 || r == -11) {
            want |= r == -11 ? POLLOUT : POLLIN;
        } else {
            res.end = r;
            break;
        }
        if (each_turn) each_turn(res.sent);
        if (!moved) {
            pollfd p{n->link.sock, want, 0};
            poll(&p, 1, 100);
        }
    }
    return res;
}

std::string sha256_hex(const void *p, size_t n) {
    unsigned char d[SHA256_DIGEST_LENGTH];
    SHA256(static_cast<const unsigned char *>(p), n, d);
    char hex[2 * SHA256_DIGEST_LENGTH + 1];
    for (int i = 0; i < SHA256_DIGEST_LENGTH; i++) snprintf(hex + 2 * i, 3, "%02x", d[i]);
    return hex;
}

std::vector<char> random_bytes(size_t n) {
    std::vector<char> v(n);
    for (size_t off = 0; off < n; off += 1 << 20)
        EXPECT_EQ(RAND_bytes(reinterpret_cast<unsigned char *>(v.data() + off), (int)std::min<size_t>(n - off, 1 << 20)), 1);
    return v;
}

// Text lines of base64 over random bytes: the echo server of one of the peers
// treats what it echoes as text, so binary data would not come back intact.
std::vector<char> random_lines(size_t raw_bytes) {
    std::vector<char> raw = random_bytes(raw_bytes);
    std::vector<char> out;
    out.reserve(raw_bytes / 57 * 77 + 80);
    unsigned char line[80];
    for (size_t off = 0; off < raw_bytes; off += 57) {
        int len = EVP_EncodeBlock(line, reinterpret_cast<unsigned char *>(raw.data() + off), (int)std::min<size_t>(57, raw_bytes - off));
        out.insert(out.end(), line, line + len);
        out.push_back('\n');
    }
    return out;
}

// ---------------------------------------------------------------- peers

struct TlsPeers : ::testing::Test {
    static TempDir *dir;
    static std::string cert, key;

    static void SetUpTestSuite() {
        dir = new TempDir;
        cert = dir->file("cert.pem");
        key = dir->file("key.pem");
        if (qvtest::have_program("openssl"))
            qvtest::run_command("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=localhost -keyout '" +
                                key + "' -out '" + cert + "' 2>/dev/null");
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }
    void SetUp() override {
        // The peers are part of the check: a missing one fails rather than hides.
        ASSERT_TRUE(qvtest::have_program("openssl")) << "openssl not installed (Debian package openssl)";
        ASSERT_FALSE(qvtest::read_file(cert).empty()) << "could not make a test certificate";
    }

    // Each peer listens on a free port of its own, set in *port (0 when it
    // could not be started).
    static std::unique_ptr<ChildProcess> s_server(int *port, std::vector<std::string> extra) {
        std::unique_ptr<ChildProcess> c;
        *port = qvtest::start_listening(
            [&](int p) {
                // Without -www the server quits when its standard input (/dev/null) ends.
                std::vector<std::string> argv{"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(p), "-cert", cert, "-key", key,
                                              "-naccept", "1"};
                argv.insert(argv.end(), extra.begin(), extra.end());
                return argv;
            },
            dir->file("s_server.out"), &c);
        return c;
    }
    // Binary-safe echo over TLS, one connection, one process.
    static std::unique_ptr<ChildProcess> socat_echo(int *port) {
        std::unique_ptr<ChildProcess> c;
        *port = qvtest::start_listening(
            [&](int p) {
                return std::vector<std::string>{"socat", "openssl-listen:" + std::to_string(p) + ",bind=127.0.0.1,reuseaddr,cert=" + cert +
                                                             ",key=" + key + ",verify=0",
                                                "PIPE"};
            },
            dir->file("socat.out"), &c);
        return c;
    }
    static std::unique_ptr<ChildProcess> gnutls_echo(int *port) {
        std::unique_ptr<ChildProcess> c;
        *port = qvtest::start_listening(
            [&](int p) {
                return std::vector<std::string>{"gnutls-serv", "--echo", "--crlf", "-q", "-a", "-p", std::to_string(p), "--x509certfile", cert,
                                                "--x509keyfile", key};
            },
            dir->file("gnutls.out"), &c);
        return c;
    }
    // A scripted peer that ends the connection abruptly (`mode` as the script takes
    // it), handshaken with and read from until the connection ends. The peer and the
    // connection are the caller's, for its own checks of how it ended.
    static void read_until_peer_gone(const std::string &name, const std::vector<std::string> &mode,
                                     std::unique_ptr<ChildProcess> *peer, NETWORK **out, std::string *in) {
        std::string portfile = dir->file(name + ".port");
        std::vector<std::string> argv{QV_PYTHON, std::string(qvtest::source_dir()) + "/tests/scripts/tls_reset_peer.py", cert, key};
        argv.insert(argv.end(), mode.begin(), mode.end());
        *peer = std::make_unique<ChildProcess>(argv, portfile);
        ASSERT_TRUE(qvtest::wait_until([&] { return qvtest::read_file(portfile).find('\n') != std::string::npos; }, qvtest::kWaitMs));
        int port = std::stoi(qvtest::read_file(portfile));
        NETWORK *n = connect_loopback(port, qvtest::kWaitMs);
        ASSERT_NE(n, nullptr);
        *out = n;
        ASSERT_EQ(tls_handshake(n, qvtest::kWaitMs), 1);
        std::vector<char> nothing;
        PumpResult r = pump(n, nothing, *in, SIZE_MAX, qvtest::kWaitMs);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.end, -2);
    }
};
TempDir *TlsPeers::dir = nullptr;
std::string TlsPeers::cert, TlsPeers::key;

// ---------------------------------------------------------------- record

TEST(NetwRecord, NewGivesInitialValuesAndUnlimitedQueues) {
    for (size_t limit : {SIZE_MAX, (size_t)0}) {
        SCOPED_TRACE(limit);
        NETWORK *n = netw_new(limit, limit);
        ASSERT_NE(n, nullptr);
        EXPECT_EQ(n->mode, -1);
        EXPECT_EQ(n->backlog, -1);
        EXPECT_EQ(n->state, NETW_EXITED);
        EXPECT_EQ(n->threaded_engine_status, NETW_THR_ENGINE_STOPPED);
        EXPECT_EQ(n->crypto_algo, NETW_ENCRYPT_NONE);
        for (int v : {n->so_reuseaddr, n->so_keepalive, n->tcpnodelay, n->so_sndbuf, n->so_rcvbuf, n->so_sndtimeo,
                      n->so_rcvtimeo, n->so_linger, n->wait_for_threads_timeout, n->deplete_timeout, n->wait_close_timeout})
            EXPECT_EQ(v, -1);
        EXPECT_EQ(n->tls_handshake_timeout, 0);
        EXPECT_EQ(n->compression, 1);
        EXPECT_EQ(n->link.sock, -1);
        EXPECT_EQ(n->link.is_blocking, 1u);
        EXPECT_EQ(n->send_once_fn, &send_data_once);
        EXPECT_EQ(n->recv_once_fn, &recv_data_once);
        static int dummy[100];
        for (int &d : dummy) ASSERT_EQ(list_push(n->send_buf, &d, nullptr), 1);
        EXPECT_EQ(n->send_buf->item_count, 100u);
        EXPECT_EQ(netw_close(&n), 1);
        EXPECT_EQ(n, nullptr);
    }
}

TEST(NetwRecord, SetFlagsLaterFlagOfAGroupWins) {
    struct Case {
        unsigned flags;
        int state, mode, engine, posts;
    } cases[] = {
        {NETW_RUN, NETW_RUN, -1, NETW_THR_ENGINE_STOPPED, 0},
        {NETW_RUN | NETW_ERROR, NETW_ERROR, -1, NETW_THR_ENGINE_STOPPED, 1},
        {NETW_EXIT_ASKED | NETW_RUN, NETW_EXIT_ASKED, -1, NETW_THR_ENGINE_STOPPED, 1},
        {NETW_EXIT_ASKED | NETW_ERROR | NETW_EXITED, NETW_EXIT_ASKED, -1, NETW_THR_ENGINE_STOPPED, 1},
        {NETW_CLIENT | NETW_SERVER, NETW_EXITED, NETW_SERVER, NETW_THR_ENGINE_STOPPED, 0},
        {NETW_CLIENT | NETW_THR_ENGINE_STARTED, NETW_EXITED, NETW_CLIENT, NETW_THR_ENGINE_STARTED, 0},
        {NETW_THR_ENGINE_STARTED | NETW_THR_ENGINE_STOPPED, NETW_EXITED, -1, NETW_THR_ENGINE_STOPPED, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.flags);
        NETWORK *n = netw_new(SIZE_MAX, SIZE_MAX);
        ASSERT_NE(n, nullptr);
        EXPECT_EQ(netw_set(n, c.flags), 1);
        int state = 0, engine = 0, posts = -1;
        EXPECT_EQ(netw_get_state(n, &state, &engine), 1);
        sem_getvalue(&n->send_blocker, &posts);
        EXPECT_EQ(state, c.state);
        EXPECT_EQ(engine, c.engine);
        EXPECT_EQ(n->mode, c.mode);
        EXPECT_EQ(posts, c.posts);
        netw_close(&n);
    }
}

int destroyed_items = 0;
void count_destroy(void *) { destroyed_items++; }

TEST(NetwRecord, QueuesEmptyAndDestroyAndNullHandles) {
    LogCapture log;
    NETWORK *n = netw_new(SIZE_MAX, SIZE_MAX);
    ASSERT_NE(n, nullptr);
    static int a, b, c;
    destroyed_items = 0;
    list_push(n->send_buf, &a, count_destroy);
    list_push(n->send_buf, &b, count_destroy);
    list_push(n->recv_buf, &c, count_destroy);
    EXPECT_EQ(netw_set(n, NETW_EMPTY_SENDBUF), 1);
    EXPECT_EQ(destroyed_items, 2);
    EXPECT_EQ(n->send_buf->item_count, 0u);
    EXPECT_EQ(n->recv_buf->item_count, 1u);
    EXPECT_EQ(netw_set(n, NETW_DESTROY_SENDBUF), 1);
    EXPECT_EQ(n->send_buf, nullptr);
    EXPECT_EQ(netw_set(n, NETW_EMPTY_SENDBUF | NETW_DESTROY_SENDBUF), 1);  // nothing left to act on
    EXPECT_EQ(netw_close(&n), 1);
    EXPECT_EQ(destroyed_items, 3);  // the receive queue's item went with the record

    log.clear();
    EXPECT_EQ(netw_close(&n), 0);
    EXPECT_TRUE(log.contains("netw && (*netw)"));
    EXPECT_EQ(netw_close(nullptr), 0);
    EXPECT_EQ(netw_set(nullptr, NETW_RUN), 0);
    EXPECT_EQ(netw_get_state(nullptr, nullptr, nullptr), 0);
    EXPECT_TRUE(log.contains("Can't get status of a NULL network"));
}

TEST(NetwRecord, ErrorRingKeepsNewestEight) {
    NETWORK *n = netw_new(SIZE_MAX, SIZE_MAX);
    ASSERT_NE(n, nullptr);
    for (int i = 0; i < 9; i++) _netw_capture_error(n, "error %d", i);
    EXPECT_EQ(n_netw_get_error_count(n), 8);
    EXPECT_STREQ(n_netw_get_error(n, 0), "error 1");
    EXPECT_STREQ(n_netw_get_error(n, 7), "error 8");
    EXPECT_EQ(n_netw_get_error(n, 8), nullptr);
    EXPECT_EQ(n_netw_get_error(n, -1), nullptr);

    std::string long_text(2000, 'x');
    _netw_capture_error(n, "%s", long_text.c_str());
    EXPECT_EQ(strlen(n_netw_get_error(n, 7)), NETW_ERR_LEN - 1);
    EXPECT_STREQ(n_netw_get_error(n, 0), "error 2");

    n_netw_clear_errors(n);
    EXPECT_EQ(n_netw_get_error_count(n), 0);
    for (int i = 0; i < 8; i++) EXPECT_EQ(n_netw_get_error(n, i), nullptr);
    _netw_capture_error(n, "after clear");
    EXPECT_STREQ(n_netw_get_error(n, 0), "after clear");
    netw_close(&n);

    EXPECT_EQ(n_netw_get_error_count(nullptr), 0);
    EXPECT_EQ(n_netw_get_error(nullptr, 0), nullptr);
    _netw_capture_error(nullptr, "ignored");

    n_netw_clear_connect_errors();
    for (int i = 0; i < 3; i++) _netw_capture_connect_error("connect %d", i);
    EXPECT_EQ(n_netw_get_connect_error_count(), 3);
    EXPECT_STREQ(n_netw_get_connect_error(0), "connect 0");
    EXPECT_STREQ(n_netw_get_connect_error(2), "connect 2");
    EXPECT_EQ(n_netw_get_connect_error(3), nullptr);
    n_netw_clear_connect_errors();
    EXPECT_EQ(n_netw_get_connect_error(0), nullptr);
}

// Socket options on a real connected socket, read back from the kernel.
TEST(NetwRecord, SocketOptionsSetAndRemember) {
    Listener l;
    NETWORK *n = connect_loopback(l.port, qvtest::kWaitMs);
    ASSERT_NE(n, nullptr);
    int fd = n->link.sock;
    auto get_int = [&](int level, int name) {
        int v = 0;
        socklen_t len = sizeof v;
        getsockopt(fd, level, name, &v, &len);
        return v;
    };
    struct Case {
        int code, value, result;
        int NETWORK::*field;
        int stored;
    } cases[] = {
        {TCP_NODELAY, -1, 1, &NETWORK::tcpnodelay, -1},
        {TCP_NODELAY, 1, 1, &NETWORK::tcpnodelay, 1},
        {SO_REUSEADDR, -1, 1, &NETWORK::so_reuseaddr, -1},
        {SO_KEEPALIVE, 1, 1, &NETWORK::so_keepalive, 1},
        {SO_SNDBUF, -1, 1, &NETWORK::so_sndbuf, -1},
        {SO_RCVBUF, 65536, 1, &NETWORK::so_rcvbuf, 65536},
        {SO_LINGER, -5, 1, &NETWORK::so_linger, -5},
        {SO_RCVTIMEO, 1500, 1, &NETWORK::so_rcvtimeo, 1500},
        {SO_SNDTIMEO, -1, 1, &NETWORK::so_sndtimeo, -1},
        {NETW_OPT_DEPLETE_TIMEOUT, 300, 1, &NETWORK::deplete_timeout, 300},
        {NETW_OPT_WAIT_THREADS_TIMEOUT, 2, 1, &NETWORK::wait_for_threads_timeout, 2},
        {NETW_OPT_SEND_QUEUE_WAIT, 50, 1, &NETWORK::send_queue_consecutive_wait, 50},
        {NETW_OPT_WAIT_CLOSE_TIMEOUT, 0, 1, &NETWORK::wait_close_timeout, 0},
        {NETW_OPT_TLS_HANDSHAKE_TIMEOUT, -3, 1, &NETWORK::tls_handshake_timeout, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.code << " = " << c.value);
        EXPECT_EQ(netw_setsockopt(n, c.code, c.value), c.result);
        EXPECT_EQ(n->*(c.field), c.stored);
    }
    EXPECT_EQ(get_int(IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_NE(get_int(SOL_SOCKET, SO_REUSEADDR), 0);  // -1 counts as on
    EXPECT_EQ(get_int(SOL_SOCKET, SO_KEEPALIVE), 1);
    linger lg{};
    socklen_t len = sizeof lg;
    getsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, &len);
    EXPECT_EQ(lg.l_onoff, 0);
    timeval tv{};
    len = sizeof tv;
    getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len);
    EXPECT_EQ(tv.tv_sec, 1);
    EXPECT_NEAR(tv.tv_usec, 500000, 10000);  // the kernel keeps jiffies
    EXPECT_EQ(netw_setsockopt(n, TCP_USER_TIMEOUT, 5000), 1);
    EXPECT_EQ(get_int(IPPROTO_TCP, TCP_USER_TIMEOUT), 5000);
    EXPECT_EQ(netw_setsockopt(n, TCP_QUICKACK, 1), 1);

    n_netw_clear_errors(n);
    EXPECT_EQ(netw_setsockopt(n, 3, 1), 0);
    EXPECT_STREQ(n_netw_get_error(n, 0), "3 is not a supported setsockopt");
    EXPECT_EQ(netw_setsockopt(n, SO_RCVBUF, -1), 1);

    // A failing setsockopt leaves the field as it was and says why in the ring.
    NETWORK *bare = netw_new(SIZE_MAX, SIZE_MAX);
    EXPECT_EQ(netw_setsockopt(bare, SO_KEEPALIVE, 1), 0);
    EXPECT_EQ(bare->so_keepalive, -1);
    EXPECT_NE(std::string(n_netw_get_error(bare, 0)).find("Error from setsockopt(SO_KEEPALIVE) on socket -1. neterrno: Bad file descriptor"), std::string::npos);
    EXPECT_EQ(netw_setsockopt(nullptr, TCP_NODELAY, 1), 0);

    EXPECT_EQ(netw_set_compression_mode(bare, 2), 1);
    EXPECT_EQ(netw_set_compression_mode(bare, 3), 0);
    EXPECT_EQ(netw_set_compression_mode(bare, -1), 0);
    EXPECT_EQ(bare->compression, 2);
    EXPECT_EQ(netw_set_compression_mode(nullptr, 0), 0);
    netw_close(&bare);
    netw_close(&n);
}

TEST(NetwRecord, ByteOrderAddressPartAndCloseOnExec) {
    EXPECT_EQ(htonst(1), 1ull << 56);
    EXPECT_EQ(ntohst(htonst(1)), 1u);
    EXPECT_EQ(htonst(0x0102030405060708ull), 0x0807060504030201ull);

    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    EXPECT_EQ(get_in_addr(reinterpret_cast<sockaddr *>(&v4)), &v4.sin_addr);
    EXPECT_EQ(get_in_addr(reinterpret_cast<sockaddr *>(&v6)), &v6.sin6_addr);
    EXPECT_EQ(netw_init_wsa(), 1);

    Listener l;
    for (int flag : {1, 0}) {
        SCOPED_TRACE(flag);
        int before = netw_set_close_on_exec(flag ? 7 : 0);  // any non-zero counts as 1
        EXPECT_EQ(netw_get_close_on_exec(), flag);
        NETWORK *n = connect_loopback(l.port, qvtest::kWaitMs);
        ASSERT_NE(n, nullptr);
        EXPECT_EQ((fcntl(n->link.sock, F_GETFD) & FD_CLOEXEC) != 0, flag == 1);
        netw_close(&n);
        netw_set_close_on_exec(before);
    }
}

// Every single-pass call refuses a zero length and a missing buffer or session.
TEST(NetwRecord, SinglePassRefusesBadArguments) {
    LogCapture log;
    NETWORK *n = netw_new(SIZE_MAX, SIZE_MAX);
    char buf[8];
    struct Case {
        const char *name;
        ssize_t (*fn)(NETWORK *, char *, uint32_t);
        const char *zero_text;
        bool needs_session;
    } cases[] = {
        {"send_data_once", send_data_once, "Send of 0 is unsupported.", false},
        {"recv_data_once", recv_data_once, "Recv of 0 is unsupported.", false},
        {"send_ssl_data_once", send_ssl_data_once, "Send of 0 is unsupported.", true},
        {"recv_ssl_data_once", recv_ssl_data_once, "Recv of 0 is unsupported.", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.fn(nullptr, buf, 1), -1);
        EXPECT_EQ(c.fn(n, nullptr, 1), -1);
        if (c.needs_session) {
            log.clear();
            EXPECT_EQ(c.fn(n, buf, 1), -1);  // no session yet
            EXPECT_TRUE(log.contains("if( !(ssl) )"));
        } else {
            n_netw_clear_errors(n);
            EXPECT_EQ(c.fn(n, buf, 0), -1);
            EXPECT_STREQ(n_netw_get_error(n, 0), c.zero_text);
        }
    }
    EXPECT_EQ(netw_set_blocking(nullptr, 1), 0);
    EXPECT_EQ(netw_connect_check(nullptr), 0);
    EXPECT_EQ(netw_connect_check(n), 0);  // no attempt under way

    // TLS setters before a context exists.
    log.clear();
    EXPECT_EQ(netw_ssl_set_versions(n, 772, 772), 0);
    EXPECT_TRUE(log.contains("SSL context not initialized, call netw_set_crypto first"));
    EXPECT_EQ(netw_ssl_set_verify(n, 0), 0);
    EXPECT_EQ(netw_ssl_handshake_once(n, nullptr), 0);
    EXPECT_TRUE(log.contains("netw_ssl_handshake_once: no SSL context"));

    ASSERT_EQ(netw_ssl_start_client(n), 1);
    EXPECT_EQ(n->crypto_algo, NETW_ENCRYPT_OPENSSL);
    EXPECT_EQ(n->send_once_fn, &send_ssl_data_once);
    EXPECT_EQ(netw_ssl_set_versions(n, 0, 0), 1);
    EXPECT_EQ(SSL_CTX_get_min_proto_version(n->ctx), 0);
    EXPECT_EQ(netw_ssl_set_versions(n, 772, 772), 1);
    EXPECT_EQ(SSL_CTX_get_max_proto_version(n->ctx), 772);
    EXPECT_EQ(netw_ssl_set_versions(n, 12345, 0), 0);
    EXPECT_TRUE(log.contains("SSL_CTX_set_min_proto_version(12345) failed"));
    // A TLS record that never got a session or a socket closes without fuss.
    EXPECT_EQ(netw_close(&n), 1);
}

// ---------------------------------------------------------------- connect

TEST(NetwConnect, RefusedPortEndsInZeroAndStaysZero) {
    LogCapture log;
    ClosedPort closed;
    NETWORK *held = netw_new(SIZE_MAX, SIZE_MAX);
    NETWORK *keep = held;
    EXPECT_EQ(netw_connect_nonblock(&held, "127.0.0.1", "1", 1), 0);
    EXPECT_EQ(held, keep);  // a filled pointer is refused and left alone
    EXPECT_TRUE(log.contains("netw_connect_nonblock: pass an empty NETWORK* (got a non-NULL one)"));
    netw_close(&held);
    EXPECT_EQ(netw_connect_nonblock(nullptr, "127.0.0.1", "1", 1), 0);

    NETWORK *n = nullptr;
    std::string port = std::to_string(closed.port);
    ASSERT_EQ(netw_connect_nonblock(&n, "127.0.0.1", port.c_str(), 1), 1);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(settle_connect(n, qvtest::kWaitMs), 0);
    EXPECT_TRUE(log.contains("netw_connect_check: connect failed on an address: Connection refused"));
    EXPECT_EQ(n->link.sock, -1);
    EXPECT_EQ(netw_connect_check(n), 0);
    EXPECT_EQ(n->mode, -1);
    EXPECT_EQ(netw_close(&n), 1);
}

// Runs `body` in a forked child that sees scratch copies of the resolver's
// files in a private mount namespace, so names can be made up without
// touching the machine's files or sending a query anywhere but loopback.
// Returns the child's report; "SKIP ..." when namespaces are not allowed.
std::string with_private_resolver(const std::string &hosts, const std::function<std::string()> &body) {
    TempDir dir;
    qvtest::write_file(dir.file("hosts"), hosts);
    qvtest::write_file(dir.file("nsswitch.conf"), "hosts: files\n");
    qvtest::write_file(dir.file("resolv.conf"), "nameserver 127.0.0.1\noptions attempts:1 timeout:1\n");
    return qvtest::report_from_child([&] {
        if (unshare(CLONE_NEWNS) != 0) return std::string("SKIP unshare(CLONE_NEWNS): ") + strerror(errno);
        if (std::string why = qvtest::make_mounts_private(); !why.empty()) return "SKIP " + why;
        std::string report;
        const char *files[] = {"hosts", "nsswitch.conf", "resolv.conf"};
        bool all_there = true;
        for (const char *f : files) all_there = all_there && access((std::string("/etc/") + f).c_str(), F_OK) == 0;
        if (!all_there) {
            // A minimal system may lack one of them (no file to bind over):
            // the scratch directory stands for the whole of /etc instead,
            // with every address of a name that has several.
            qvtest::write_file(dir.file("host.conf"), "multi on\n");
            if (mount(dir.path.c_str(), "/etc", nullptr, MS_BIND, nullptr) != 0)
                report += std::string("SKIP bind /etc: ") + strerror(errno) + "\n";
            return report.empty() ? body() : report;
        }
        for (const char *f : files) {
            std::string target = std::string("/etc/") + f;
            if (mount(dir.file(f).c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
                report += std::string("SKIP bind ") + target + ": " + strerror(errno) + "\n";
        }
        return report.empty() ? body() : report;
    });
}

TEST(NetwConnect, NameThatDoesNotResolve) {
    LogCapture log;
    std::string report = with_private_resolver("127.0.0.1 localhost\n", [] {
        NETWORK *n = nullptr;
        n_netw_clear_connect_errors();
        int r = netw_connect_nonblock(&n, "qvtest-nowhere.invalid", "443", 0);
        const char *ring = n_netw_get_connect_error(0);
        return "result=" + std::to_string(r) + "\nnull=" + std::to_string(n == nullptr) + "\nring=" + (ring ? ring : "(none)") + "\n";
    });
    if (report.rfind("SKIP", 0) == 0) GTEST_SKIP() << report;
    EXPECT_NE(report.find("result=0\n"), std::string::npos) << report;
    EXPECT_NE(report.find("null=1\n"), std::string::npos) << report;
    EXPECT_NE(report.find("ring=netw_connect_nonblock resolve qvtest-nowhere.invalid:443: "), std::string::npos) << report;
    EXPECT_TRUE(log.contains("netw_connect_nonblock resolve qvtest-nowhere.invalid:443:"));
}

// A name with two addresses, the first refusing: the check reports the
// refusal, keeps going on the second address and records it.
TEST(NetwConnect, SecondAddressAfterRefusedFirst) {
    LogCapture log;
    std::string report = with_private_resolver("127.0.0.1 localhost\n::1 qvtest-dual\n127.0.0.1 qvtest-dual\n", [] {
        std::string out;
        addrinfo hints{}, *list = nullptr;
        hints.ai_socktype = SOCK_STREAM;
        if (getaddrinfo("qvtest-dual", "1", &hints, &list) != 0 || !list || !list->ai_next) return std::string("SKIP name has fewer than two addresses here");
        int first = list->ai_family, second = list->ai_next->ai_family;
        freeaddrinfo(list);
        if (first == second) return std::string("SKIP both addresses of one family");
        Listener open_one(second);
        if (open_one.port == 0) return std::string("SKIP cannot listen on the second address");
        std::string port = std::to_string(open_one.port);
        NETWORK *n = nullptr;
        int r = netw_connect_nonblock(&n, "qvtest-dual", port.c_str(), 0);
        out += "start=" + std::to_string(r) + "\n";
        if (r != 1) return out;
        std::string seq;
        long long end = now_ms() + qvtest::kWaitMs;
        int c;
        do {
            c = netw_connect_check(n);
            if (seq.empty() || seq.substr(seq.rfind(',') + 1) != std::to_string(c)) seq += "," + std::to_string(c);
            pollfd p{n->link.sock, POLLOUT, 0};
            if (c == -11) poll(&p, 1, 20);
        } while (c == -11 && now_ms() < end);
        out += "seq=" + seq + "\nip=" + std::string(n->link.ip) + "\nexpected_ip=" + (second == AF_INET ? "127.0.0.1" : "::1") + "\n";
        int accepted = open_one.accept_one(qvtest::kWaitMs);
        out += "accepted=" + std::to_string(accepted >= 0) + "\n";
        if (accepted >= 0) close(accepted);
        netw_close(&n);
        return out;
    });
    if (report.rfind("SKIP", 0) == 0) GTEST_SKIP() << report;
    EXPECT_NE(report.find("start=1\n"), std::string::npos) << report;
    // In progress on the first address, in progress again on the second, then connected.
    EXPECT_NE(report.find("seq=,-11,1\n"), std::string::npos) << report;
    size_t ip = report.find("\nip="), exp = report.find("\nexpected_ip=");
    ASSERT_NE(ip, std::string::npos) << report;
    EXPECT_EQ(report.substr(ip + 4, report.find('\n', ip + 1) - ip - 4), report.substr(exp + 13, report.find('\n', exp + 1) - exp - 13));
    EXPECT_NE(report.find("accepted=1\n"), std::string::npos) << report;
    EXPECT_TRUE(log.contains("netw_connect_check: connect failed on an address: Connection refused"));
}

// ---------------------------------------------------------------- close waits

volatile sig_atomic_t alarms = 0;
void on_alarm(int) { alarms = alarms + 1; }

// SIGALRM every 10 ms from a handler without SA_RESTART for the life of the object.
struct AlarmStorm {
    struct sigaction old {};
    AlarmStorm() {
        struct sigaction sa {};
        sa.sa_handler = on_alarm;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        sigaction(SIGALRM, &sa, &old);
        itimerval it{{0, 10000}, {0, 10000}};
        setitimer(ITIMER_REAL, &it, nullptr);
    }
    ~AlarmStorm() {
        itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &old, nullptr);
    }
};

TEST(NetwClose, WaitsForSilentPeerUpToTheLimitEvenUnderSignals) {
    for (bool storm : {false, true}) {
        SCOPED_TRACE(storm ? "with SIGALRM every 10 ms" : "quiet");
        LogCapture log;
        Listener silent;  // completes connections and never closes them
        NETWORK *n = connect_loopback(silent.port, qvtest::kWaitMs);
        ASSERT_NE(n, nullptr);
        netw_setsockopt(n, NETW_OPT_WAIT_CLOSE_TIMEOUT, 1);
        std::unique_ptr<AlarmStorm> alarm;
        alarms = 0;
        if (storm) alarm = std::make_unique<AlarmStorm>();
        long long t0 = now_ms();
        EXPECT_EQ(netw_close(&n), 1);
        long long elapsed = now_ms() - t0;
        alarm.reset();
        EXPECT_EQ(n, nullptr);
        // Ten passes of 100 ms: the full limit was waited, not cut short; and
        // not endless (a loaded machine may stretch it, hence the loose bound).
        EXPECT_GE(elapsed, 900);
        EXPECT_LT(elapsed, qvtest::kWaitMs);
        if (storm) {
            EXPECT_GT(alarms, 20);
        }
        EXPECT_FALSE(log.contains("error on socket")) << log.text();
    }
}

TEST(NetwClose, DrainWaitReportsWhatStayedQueued) {
    LogCapture log;
    Listener silent;
    NETWORK *n = connect_loopback(silent.port, qvtest::kWaitMs);
    ASSERT_NE(n, nullptr);
    // Fill the socket until the kernel refuses more: the peer never reads.
    std::vector<char> junk(65536, 'j');
    long long end = now_ms() + 10000;
    while (send_data_once(n, junk.data(), (uint32_t)junk.size()) > 0 && now_ms() < end) {
    }
    netw_setsockopt(n, NETW_OPT_DEPLETE_TIMEOUT, 300);
    AlarmStorm storm;
    long long t0 = now_ms();
    EXPECT_EQ(netw_close(&n), 1);
    long long elapsed = now_ms() - t0;
    EXPECT_GE(elapsed, 250);
    EXPECT_LT(elapsed, qvtest::kWaitMs);  // bounded, not fast
    EXPECT_TRUE(log.contains("octets still in send buffer before closing after a wait of 300 msecs")) << log.text();
}

// The drain wait looks at the queue once more when its time is up: a queue
// that empties during the last step is drained, not "still in send buffer".
// The peer must empty it within that one step of 100 ms, which a loaded
// machine may not let it do: rounds go on until one did. A wait that does not
// look again reports the queue of its first look in every round.
TEST(NetwClose, DrainLooksAgainAtTheEndOfItsTime) {
    Listener l;
    NETWORK *n = connect_loopback(l.port, qvtest::kWaitMs);
    ASSERT_NE(n, nullptr);
    int peer = l.accept_one(qvtest::kWaitMs);
    ASSERT_GE(peer, 0);
    std::vector<char> junk(65536, 'j');
    int left = -1, rounds = 0;
    long long elapsed = 0;
    const long long until = now_ms() + qvtest::kWaitMs;
    while (left != 0 && now_ms() < until) {
        rounds++;
        size_t sent = 0;
        ssize_t r;
        while ((r = send_data_once(n, junk.data(), (uint32_t)junk.size())) > 0 && now_ms() < until) sent += (size_t)r;
        ASSERT_EQ(r, -11);
        int queued = 0;
        ASSERT_EQ(ioctl(n->link.sock, SIOCOUTQ, &queued), 0);
        ASSERT_GT(queued, 0);
        // The peer starts reading after the first look and before the time is up.
        std::thread reader([&] {
            qvtest::sleep_ms(40);
            std::vector<char> buf(1 << 16);
            for (size_t got = 0; got < sent;) {
                ssize_t k = recv(peer, buf.data(), buf.size(), 0);
                if (k <= 0) break;
                got += (size_t)k;
            }
        });
        long long t0 = now_ms();
        left = deplete_send_buffer(n->link.sock, NETW_WAIT_STEP_MS);
        elapsed = now_ms() - t0;
        reader.join();
    }
    EXPECT_EQ(left, 0) << rounds << " rounds";
    EXPECT_GE(elapsed, 40);
    EXPECT_EQ(deplete_send_buffer(n->link.sock, 0), 0);  // no wait at all
    close(peer);
    netw_close(&n);
}

// What netw_close says about a TLS record that has no session: nothing without
// a socket, DEBUG for a listening socket, ERR for any other socket.
TEST(NetwClose, TlsRecordWithoutSessionLogsByMode) {
    struct Case {
        const char *name;
        bool socket;
        int mode;
        const char *debug, *err;
    } cases[] = {
        {"no socket", false, NETW_CLIENT, nullptr, nullptr},
        {"listening side", true, NETW_SERVER, "listening socket %d has no SSL handle (expected)", nullptr},
        {"client side", true, NETW_CLIENT, nullptr, "SSL handle of socket %d was already NULL"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        NETWORK *n = netw_new(SIZE_MAX, SIZE_MAX);
        ASSERT_NE(n, nullptr);
        ASSERT_EQ(netw_ssl_start_client(n), 1);
        // Starting again replaces the context; the sanitizer build sees a leak otherwise.
        ASSERT_EQ(netw_ssl_start_client(n), 1);
        netw_set(n, (unsigned)c.mode);
        if (c.socket) n->link.sock = socket(AF_INET, SOCK_STREAM, 0);
        int sock = n->link.sock;
        log.clear();
        EXPECT_EQ(netw_close(&n), 1);
        char want[128];
        if (c.debug) {
            snprintf(want, sizeof want, c.debug, sock);
            EXPECT_TRUE(log.contains(want)) << log.text();
        }
        if (c.err) {
            snprintf(want, sizeof want, c.err, sock);
            EXPECT_TRUE(log.contains(want)) << log.text();
        }
        EXPECT_EQ(count_lines(log.text(), "ERR"), c.err ? 1 : 0) << log.text();
        if (!c.debug && !c.err) {
            EXPECT_FALSE(log.contains("SSL handle")) << log.text();
        }
        if (c.socket) {
            EXPECT_EQ(fcntl(sock, F_GETFD), -1) << "the socket was closed";
        }
    }
}

TEST_F(TlsPeers, CloseReturnsPromptlyWhenThePeerCloses) {
    ASSERT_TRUE(qvtest::have_program("socat")) << "socat not installed (Debian package socat)";
    int port = 0;
    auto peer = socat_echo(&port);
    ASSERT_NE(port, 0);
    NETWORK *n = connect_loopback(port, qvtest::kWaitMs);
    ASSERT_NE(n, nullptr);
    ASSERT_EQ(tls_handshake(n, qvtest::kWaitMs), 1);
    netw_setsockopt(n, NETW_OPT_WAIT_CLOSE_TIMEOUT, qvtest::kWaitMs / 1000);
    long long t0 = now_ms();
    EXPECT_EQ(netw_close(&n), 1);
    // The peer's FIN ended the wait, its limit did not; half the limit leaves
    // a loaded machine all the room it needs.
    EXPECT_LT(now_ms() - t0, qvtest::kWaitMs / 2);
    EXPECT_TRUE(qvtest::wait_until([&] { return !peer->running(); }, qvtest::kWaitMs));
}

// ---------------------------------------------------------------- TLS road

TEST_F(TlsPeers, Tls13PeerCloseNotifyIsADisconnectNotAnError) {
    LogCapture log;
    int port = 0;
    auto peer = s_server(&port, {"-tls1_3", "-www"});
    ASSERT_NE(port, 0);
    NETWORK *n = connect_loopback(port, qvtest::kWaitMs);
    ASSERT_NE(n, nullptr);
    ASSERT_EQ(tls_handshake(n, qvtest::kWaitMs), 1);
    EXPECT_EQ(SSL_version(n->ssl), TLS1_3_VERSION);
    EXPECT_EQ(n->mode, NETW_CLIENT);
    EXPECT_EQ(n->state, NETW_RUN);
    EXPECT_STREQ(n->link.ip, "127.0.0.1");

    std::vector<char> req{'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '/', '1', '.', '0', '\r', '\n', '\r', '\n'};
    std::string page;
    PumpResult r = pump(n, req, page, SIZE_MAX, qvtest::kWaitMs);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.end, -2);
    EXPECT_EQ(page.rfind("HTTP/1.0 200 ok", 0), 0u) << page.substr(0, 100);
    EXPECT_TRUE(log.contains("TLS session closed by peer"));
    EXPECT_EQ(n_netw_get_error_count(n), 0);
    EXPECT_EQ(count_lines(log.text(), "ERR"), 0) << log.text();

    char buf[4];
    EXPECT_EQ(send_ssl_data_once(n, buf, 0), -1);
    EXPECT_EQ(recv_ssl_data_once(n, buf, 0), -1);
    ASSERT_EQ(n_netw_get_error_count(n), 2);
    EXPECT_STREQ(n_netw_get_error(n, 0), "Send of 0 is unsupported.");
    EXPECT_STREQ(n_netw_get_error(n, 1), "Recv of 0 is unsupported.");
    EXPECT_EQ(netw_close(&n), 1);
}

TEST_F(TlsPeers, Tls12OnlyServerIsRefused) {
    LogCapture log;
    int port = 0;
    auto peer = s_server(&port, {"-tls1_2", "-www"});
    ASSERT_NE(port, 0);
    NETWORK *n = connect_loopback(port, qvtest::kWaitMs);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(tls_handshake(n, qvtest::kWaitMs), 0);
    ASSERT_EQ(n_netw_get_error_count(n), 1);
    // The server's alert, not a dropped connection, is what failed it.
    std::string expect = "TLS handshake failed for 127.0.0.1:" + std::to_string(port) + ": tlsv1 alert protocol version";
    EXPECT_EQ(n_netw_get_error(n, 0), expect);
    EXPECT_TRUE(log.contains("non-blocking TLS handshake failed"));
    EXPECT_EQ(netw_close(&n), 1);

    // The same server is fine for a client that allows TLS 1.2.
    auto again = s_server(&port, {"-tls1_2", "-www"});
    ASSERT_NE(port, 0);
    n = connect_loopback(port, qvtest::kWaitMs);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(tls_handshake(n, 5000, 771, 0), 1) << log.text();
    netw_close(&n);
}

// 64 MiB through the single-pass calls from one non-blocking loop, echoed
// back by another implementation's server.
// What an echo peer said besides the echo (its base64 lines): why it ended a
// connection, when it did.
std::string peer_notes(const std::string &path) {
    const std::string all = qvtest::read_file(path);
    std::string notes;
    size_t at = 0;
    while (at < all.size()) {
        size_t end = all.find('\n', at);
        if (end == std::string::npos) end = all.size();
        const std::string line = all.substr(at, end - at);
        if (line.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") != std::string::npos)
            notes += line + "\n";
        at = end + 1;
    }
    return notes;
}

TEST_F(TlsPeers, EchoOf64MiBComesBackIntact) {
    struct Peer {
        const char *program;
        const char *package;
        bool text_only;
    } peers[] = {{"socat", "socat", false}, {"gnutls-serv", "gnutls-bin", true}};
    for (const auto &p : peers) {
        SCOPED_TRACE(p.program);
        if (!qvtest::have_program(p.program)) {
            ADD_FAILURE() << p.program << " not installed (Debian package " << p.package << ")";
            continue;
        }
        LogCapture log;
        int port = 0;
        auto peer = p.text_only ? gnutls_echo(&port) : socat_echo(&port);
        ASSERT_NE(port, 0);
        NETWORK *n = connect_loopback(port, qvtest::kWaitMs);
        ASSERT_NE(n, nullptr);
        ASSERT_EQ(tls_handshake(n, qvtest::kWaitMs), 1);
        std::vector<char> out = p.text_only ? random_lines(64u << 20) : random_bytes(64u << 20);
        std::string in;
        in.reserve(out.size());
        PumpResult r = pump(n, out, in, out.size(), 180000);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.end, 0) << (p.text_only ? peer_notes(dir->file("gnutls.out")) : "");
        EXPECT_EQ(r.sent, out.size());
        EXPECT_EQ(in.size(), out.size());
        EXPECT_EQ(sha256_hex(in.data(), in.size()), sha256_hex(out.data(), out.size()));
        EXPECT_EQ(n_netw_get_error_count(n), 0);
        EXPECT_EQ(netw_close(&n), 1);
    }
}

TEST_F(TlsPeers, PeerKilledMidStreamIsADisconnect) {
    ASSERT_TRUE(qvtest::have_program("socat")) << "socat not installed (Debian package socat)";
    LogCapture log;
    int port = 0;
    auto peer = socat_echo(&port);
    ASSERT_NE(port, 0);
    NETWORK *n = connect_loopback(port, qvtest::kWaitMs);
    ASSERT_NE(n, nullptr);
    ASSERT_EQ(tls_handshake(n, qvtest::kWaitMs), 1);
    log.clear();
    std::vector<char> out = random_bytes(256u << 20);
    std::string in;
    bool killed = false;
    PumpResult r = pump(n, out, in, out.size(), 60000, [&](size_t sent) {
        if (!killed && sent >= (8u << 20)) {
            kill(peer->pid, SIGKILL);
            killed = true;
        }
    });
    ASSERT_TRUE(killed);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.end, -2);
    EXPECT_LT(r.sent, out.size());
    EXPECT_EQ(n_netw_get_error_count(n), 0);
    EXPECT_EQ(netw_close(&n), 1);
    EXPECT_EQ(count_lines(log.text(), "ERR"), 0) << log.text();
}

// A reset in the middle of a TLS record, and on plain TCP, is the peer going away.
TEST_F(TlsPeers, ResetMidFrameIsADisconnect) {
    {
        SCOPED_TRACE("TLS, half a record then RST");
        LogCapture log;
        std::unique_ptr<ChildProcess> peer;
        NETWORK *n = nullptr;
        std::string in;
        ASSERT_NO_FATAL_FAILURE(read_until_peer_gone("reset_peer", {}, &peer, &n, &in));
        EXPECT_EQ(in.size(), 0u);  // half a record is never handed out
        EXPECT_EQ(n_netw_get_error_count(n), 0);
        EXPECT_EQ(netw_close(&n), 1);
        EXPECT_EQ(count_lines(log.text(), "ERR"), 0) << log.text();
    }
    {
        SCOPED_TRACE("plain TCP, data then RST");
        Listener l;
        NETWORK *n = connect_loopback(l.port, qvtest::kWaitMs);
        ASSERT_NE(n, nullptr);
        int peer = l.accept_one(qvtest::kWaitMs);
        ASSERT_GE(peer, 0);
        ASSERT_EQ(send(peer, "partial", 7, 0), 7);
        linger lg{1, 0};
        setsockopt(peer, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        close(peer);
        char buf[64];
        ssize_t r;
        long long end = now_ms() + qvtest::kWaitMs;
        std::string got;
        while ((r = recv_data_once(n, buf, sizeof buf)) != -2 && now_ms() < end) {
            if (r > 0) got.append(buf, (size_t)r);
            else if (r != -10) break;
            pollfd p{n->link.sock, POLLIN, 0};
            poll(&p, 1, 50);
        }
        EXPECT_EQ(r, -2);
        EXPECT_EQ(send_data_once(n, buf, 4), -2);
        EXPECT_EQ(n_netw_get_error_count(n), 0);
        netw_close(&n);
    }
}

// A TLS peer that closes its socket without a close_notify: the data before
// the FIN is handed out, then the unexpected EOF is the peer going away,
// logged at DEBUG only.
TEST_F(TlsPeers, FinWithoutCloseNotifyIsADisconnect) {
    LogCapture log;
    std::unique_ptr<ChildProcess> peer;
    NETWORK *n = nullptr;
    std::string in;
    ASSERT_NO_FATAL_FAILURE(read_until_peer_gone("eof_peer", {"eof"}, &peer, &n, &in));
    EXPECT_EQ(in, std::string(4000, 'F'));
    EXPECT_TRUE(log.contains(" : peer closed connection (TLS unexpected EOF)")) << log.text();
    EXPECT_EQ(n_netw_get_error_count(n), 0);
    EXPECT_EQ(netw_close(&n), 1);
    EXPECT_EQ(count_lines(log.text(), "ERR"), 0) << log.text();
    EXPECT_TRUE(qvtest::wait_until([&] { return !peer->running(); }, qvtest::kWaitMs));
}

// Descriptors above FD_SETSIZE: every wait of the road must still work and
// leave memory alone (the sanitizer build would catch a write past an fd_set).
TEST_F(TlsPeers, ConnectionOnDescriptorAbove1500) {
    ASSERT_TRUE(qvtest::have_program("socat")) << "socat not installed (Debian package socat)";
    int port = 0;
    auto peer = socat_echo(&port);  // started first: it would not serve a descriptor above 1024
    ASSERT_NE(port, 0);
    LogCapture log;
    Listener silent;
    HighFds high;
    if (!high.skip.empty()) GTEST_SKIP() << high.skip;

    NETWORK *n = connect_loopback(port, qvtest::kWaitMs);
    ASSERT_NE(n, nullptr);
    EXPECT_GT(n->link.sock, 1500);
    ASSERT_EQ(tls_handshake(n, qvtest::kWaitMs), 1);
    std::vector<char> out = random_bytes(1u << 20);
    std::string in;
    PumpResult r = pump(n, out, in, out.size(), qvtest::kWaitMs);
    EXPECT_EQ(r.end, 0);
    EXPECT_EQ(sha256_hex(in.data(), in.size()), sha256_hex(out.data(), out.size()));
    netw_setsockopt(n, NETW_OPT_WAIT_CLOSE_TIMEOUT, 2);
    netw_setsockopt(n, NETW_OPT_DEPLETE_TIMEOUT, 500);
    EXPECT_EQ(netw_close(&n), 1);

    // A silent plain peer: the close wait polls the high descriptor to its limit.
    NETWORK *p = connect_loopback(silent.port, qvtest::kWaitMs);
    ASSERT_NE(p, nullptr);
    EXPECT_GT(p->link.sock, 1500);
    netw_setsockopt(p, NETW_OPT_WAIT_CLOSE_TIMEOUT, 1);
    long long t0 = now_ms();
    EXPECT_EQ(netw_close(&p), 1);
    EXPECT_GE(now_ms() - t0, 900);

    EXPECT_EQ(count_lines(log.text(), "ERR"), 0) << log.text();
}

// ---------------------------------------------------------------- locks
// These are the cases to run under ThreadSanitizer.

TEST(NetwLocks, StateAndQueuesFromSeveralThreads) {
    NETWORK *n = netw_new(SIZE_MAX, SIZE_MAX);
    ASSERT_NE(n, nullptr);
    std::atomic<bool> go{false};
    static int item;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            while (!go) std::this_thread::yield();
            for (int i = 0; i < 2000; i++) {
                switch (t) {
                case 0: netw_set(n, (i & 1) ? NETW_RUN : NETW_EXIT_ASKED); break;
                case 1: {
                    int s = 0, e = 0;
                    netw_get_state(n, &s, &e);
                    EXPECT_TRUE(s == NETW_RUN || s == NETW_EXIT_ASKED || s == NETW_EXITED) << s;
                    break;
                }
                case 2:
                    pthread_mutex_lock(&n->sendbolt);
                    list_push(n->send_buf, &item, nullptr);
                    pthread_mutex_unlock(&n->sendbolt);
                    break;
                default: netw_set(n, NETW_EMPTY_SENDBUF | NETW_EMPTY_RECVBUF); break;
                }
            }
        });
    }
    go = true;
    for (auto &th : threads) th.join();
    EXPECT_EQ(netw_close(&n), 1);
}

TEST(NetwLocks, ConnectErrorRingIsPerThread) {
    n_netw_clear_connect_errors();
    _netw_capture_connect_error("main thread");
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 100; i++) _netw_capture_connect_error("thread %d error %d", t, i);
            std::string want = "thread " + std::to_string(t) + " error 99";
            if (n_netw_get_connect_error_count() == 8 && want == n_netw_get_connect_error(7)) ok++;
            netw_set_close_on_exec(t & 1);
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(ok.load(), 4);
    EXPECT_EQ(n_netw_get_connect_error_count(), 1);
    EXPECT_STREQ(n_netw_get_connect_error(0), "main thread");
    netw_set_close_on_exec(0);
}

}  // namespace
