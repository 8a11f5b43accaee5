// Event reactor: a loop thread of its own serving raw peers that write frames
// byte by byte, half-close or send garbage, and engine peers over plain TCP
// and TLS 1.3. Waits are on queues, states and counters, never fixed sleeps.
#include "n_reactor.h"

#include "n_log.h"
#include "netw_pair.h"
#include "qv_test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sys/resource.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <string>
#include <thread>
#include <vector>

using qvtest::LogCapture;
using qvtest::TempDir;
using namespace qvnettest;

namespace {

// A reactor with its loop running in a thread, stopped and joined at the end.
struct Loop {
    n_reactor *r = n_reactor_new();
    std::thread th;
    void start() {
        th = std::thread([this] { n_reactor_run(r); });
    }
    ~Loop() {
        n_reactor_stop(r);
        if (th.joinable()) th.join();
        n_reactor_destroy(&r);
    }
    n_reactor_stats stats() const {
        n_reactor_stats s{};
        n_reactor_get_stats(r, &s);
        return s;
    }
};

bool released(NETWORK *n) { return n->reactor_released.load() == 1; }

// What our engine's frame builder makes of `text` with `codec`; "" on failure.
std::string built_frame(int codec, const std::string &text) {
    N_STR *m = msg_of(text);
    char *frame = nullptr;
    size_t len = 0;
    int ok = netw_build_frame(codec, NETW_RUN, m, &frame, &len);
    free_nstr_ptr_nolog(m);
    std::string out = ok ? std::string(frame, len) : std::string();
    free(frame);
    return out;
}


// Frames split down to single bytes (the header word also as 3 + 1) are
// reassembled; an empty payload is an empty message; compressed frames from
// an engine-style sender open.
TEST(NReactor, ReassemblesSplitFrames) {
    Loop loop;
    ASSERT_TRUE(loop.r);
    RawPair p;
    ASSERT_TRUE(p.ok());
    ASSERT_EQ(n_reactor_register(loop.r, p.netw), 1);
    loop.start();

    // Each write is read on its own: the next waits until the loop took it.
    auto drained = [&] {
        return qvtest::wait_until(
            [&] {
                int inq = -1;
                return ioctl(p.netw->link.sock, FIONREAD, &inq) == 0 && inq == 0;
            },
            qvtest::kWaitMs);
    };
    std::string one = frame_bytes(0x40, "byte by byte");
    for (char c : one) {
        ASSERT_TRUE(p.write_all(std::string(1, c)));
        ASSERT_TRUE(drained());
    }
    auto got = take_msgs(p.netw, 1);
    ASSERT_EQ(got, std::vector<std::string>{"byte by byte"});
    // 3 + 3 bytes inside the two header words, 11 inside the payload.
    EXPECT_EQ(loop.stats().partial_reads, 17u);

    std::string two = frame_bytes(0x40, "three plus one");
    ASSERT_TRUE(p.write_all(two.substr(0, 3)));
    ASSERT_TRUE(drained());
    EXPECT_EQ(loop.stats().partial_reads, 18u);
    ASSERT_TRUE(p.write_all(two.substr(3)));
    ASSERT_TRUE(p.write_all(frame_bytes(0x40, "")));
    got = take_msgs(p.netw, 2);
    EXPECT_EQ(got, (std::vector<std::string>{"three plus one", ""}));

    // A frame our engine builder compressed, and one whose codec flag lies:
    // the second is dropped and the connection goes on.
    std::string packed = built_frame(2, filler_text(10000));
    ASSERT_FALSE(packed.empty());
    EXPECT_EQ((uint8_t)packed[1], 0x02);
    LogCapture log;
    ASSERT_TRUE(p.write_all(frame_bytes(0x10040, "not zlib at all") + packed));
    got = take_msgs(p.netw, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0] == filler_text(10000));
    EXPECT_TRUE(log.contains("n_reactor: failed to decompress payload (15 bytes, codec=zlib); dropping"));
    EXPECT_EQ(state_of(p.netw), NETW_RUN);
}

// How a peer's end is taken: each case leaves the connection out of reactor
// mode with the state that says why, and what came before the end is kept.
TEST(NReactor, PeerEndings) {
    struct Case {
        const char *name;
        std::string bytes;
        bool half_close;
        std::vector<std::string> expect;
        int state;
    } cases[] = {
        {"oversized length", frame_bytes(0x40, "kept") + be32_bytes(0x40) + be32_bytes(0x40000001), false, {"kept"}, NETW_EXIT_ASKED},
        {"quit then more bytes", frame_bytes(0x40, "before") + std::string("\0\0\0\x80", 4) + frame_bytes(0x40, "after"), false, {"before"},
         NETW_EXIT_ASKED},
        // The last frames and the FIN come together: they are read first.
        {"frames then half-close", frame_bytes(0x40, "last 1") + frame_bytes(0x40, "last 2"), true, {"last 1", "last 2"}, NETW_EXIT_ASKED},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Loop loop;
        RawPair p;
        ASSERT_TRUE(p.ok());
        ASSERT_EQ(n_reactor_register(loop.r, p.netw), 1);
        ASSERT_TRUE(p.write_all(c.bytes));
        if (c.half_close) shutdown(p.peer, SHUT_WR);
        loop.start();  // everything is there before the first turn
        ASSERT_TRUE(qvtest::wait_until([&] { return released(p.netw); }, qvtest::kWaitMs));
        EXPECT_EQ(state_of(p.netw), c.state);
        EXPECT_EQ(p.netw->reactor_attached.load(), 0);
        EXPECT_EQ(take_msgs(p.netw, c.expect.size()), c.expect);
        EXPECT_EQ(loop.stats().unregistrations, 1u);
    }
}

// Ten messages queued before the loop's first turn are one wake-up and one
// dirty entry; the peer gets all ten in order, compressed where it pays.
TEST(NReactor, QueuedMessagesBatchIntoOneWakeUp) {
    TempDir dir;
    Loop loop;
    RawPair p;
    ASSERT_TRUE(p.ok());
    ASSERT_EQ(n_reactor_register(loop.r, p.netw), 1);
    ASSERT_EQ(netw_set_compression_mode(p.netw, 1), 1);
    std::vector<std::string> sent;
    for (int i = 0; i < 10; i++) {
        sent.push_back(i == 9 ? filler_text(3000) : "msg " + std::to_string(i));
        ASSERT_EQ(netw_add_msg(p.netw, msg_of(sent.back())), 1);
    }
    EXPECT_EQ(p.netw->reactor_dirty.load(), 1);
    loop.start();
    std::string wire;
    for (int i = 0; i < 9; i++) wire += frame_bytes(0x40, sent[i]);
    std::string got = p.read_exact(wire.size());
    EXPECT_EQ(qvtest::hex(got), qvtest::hex(wire));
    std::string head = p.read_exact(8);
    ASSERT_EQ(head.size(), 8u);
    EXPECT_EQ(qvtest::hex(head.substr(0, 4)), "00010040");
    uint32_t n = (uint8_t)head[4] << 24 | (uint8_t)head[5] << 16 | (uint8_t)head[6] << 8 | (uint8_t)head[7];
    qvtest::write_file(dir.file("z"), p.read_exact(n));
    auto answers = qvtest::xcheck_words("compress_xcheck.py", {"zlib_open " + dir.file("z") + " " + dir.file("z.out")});
    EXPECT_EQ(answers[0], (std::vector<std::string>{"OK", "3000", "3000"}));
    EXPECT_TRUE(qvtest::read_file(dir.file("z.out")) == sent[9]);

    auto s = loop.stats();
    EXPECT_EQ(s.wake_sum, 10u);
    EXPECT_EQ(s.wake_events, 1u);
    EXPECT_EQ(s.dirty_seen, 1u);
    EXPECT_EQ(s.dirty_drained, 1u);
    EXPECT_EQ(s.registrations, 1u);

    // A buffer handed over with netw_add_msg_ex wakes the loop too.
    char *raw = static_cast<char *>(malloc(2));
    memcpy(raw, "ex", 2);
    ASSERT_EQ(netw_add_msg_ex(p.netw, raw, 2), 1);
    EXPECT_EQ(qvtest::hex(p.read_exact(10)), qvtest::hex(frame_bytes(0x40, "ex")));
}

TEST(NReactor, RegistrationRules) {
    LogCapture log;
    Loop loop;
    NetwPair pair;
    ASSERT_TRUE(pair.ok());
    ASSERT_EQ(n_reactor_register(loop.r, pair.client), 1);
    EXPECT_EQ(n_reactor_register(loop.r, pair.client), 0);
    EXPECT_TRUE(log.contains("already in reactor mode"));
    EXPECT_EQ(netw_start_thr_engine(pair.client), 0) << "a connection in reactor mode gets no engine";
    ASSERT_EQ(netw_start_thr_engine(pair.server), 1);
    EXPECT_EQ(n_reactor_register(loop.r, pair.server), 0);
    EXPECT_TRUE(log.contains("reactor and thread mode are mutually exclusive"));
    EXPECT_EQ(n_reactor_register(nullptr, pair.server), 0);

    n_reactor_stats s;
    memset(&s, 0xAA, sizeof s);
    n_reactor_get_stats(nullptr, &s);
    EXPECT_TRUE(qvtest::all_zero(&s, sizeof s));
    n_reactor_get_stats(loop.r, nullptr);

    int err = 0;
    EXPECT_EQ(netw_accept_into_reactor(pair.server, 8, 8, -1, nullptr, &err), nullptr);
    EXPECT_EQ(err, EINVAL);

    // Unregistered by hand while no loop runs; nothing is closed.
    n_reactor_unregister(loop.r, pair.client);
    EXPECT_TRUE(released(pair.client));
    EXPECT_EQ(loop.stats().unregistrations, 1u);
    n_reactor_unregister(loop.r, pair.client);
    EXPECT_EQ(loop.stats().unregistrations, 1u);
    EXPECT_NE(fcntl(pair.client->link.sock, F_GETFD), -1);
}

// netw_close of an attached connection lets the loop flush what is queued and
// half-close; with the loop stopped, the close still finishes.
TEST(NReactor, CloseFlushesThroughTheLoop) {
    {
        Loop loop;
        RawPair p;
        ASSERT_TRUE(p.ok());
        ASSERT_EQ(n_reactor_register(loop.r, p.netw), 1);
        ASSERT_EQ(netw_set_compression_mode(p.netw, 0), 1);  // before the loop reads it
        loop.start();
        std::string wire;
        for (int i = 0; i < 50; i++) {
            std::string m = filler_text(1000 + i);
            ASSERT_EQ(netw_add_msg(p.netw, msg_of(m)), 1);
            wire += frame_bytes(0x40, m);
        }
        netw_close(&p.netw);
        EXPECT_EQ(p.netw, nullptr);
        std::string got = qvtest::read_until_closed(p.peer, qvtest::kWaitMs);
        EXPECT_EQ(got.size(), wire.size());
        EXPECT_TRUE(got == wire);
    }
    {
        Loop loop;
        RawPair p;
        ASSERT_TRUE(p.ok());
        ASSERT_EQ(n_reactor_register(loop.r, p.netw), 1);
        loop.start();
        n_reactor_stop(loop.r);
        loop.th.join();
        ASSERT_EQ(netw_add_msg(p.netw, msg_of("flushed by the closer")), 1);
        netw_close(&p.netw);
        EXPECT_EQ(qvtest::read_until_closed(p.peer, qvtest::kWaitMs), frame_bytes(0x40, "flushed by the closer"));
    }
}

// The frame reader fed one stream in every chunking: single bytes, random
// sizes, and every split point of a short stream deliver the same messages;
// a quit word ends the stream wherever it falls in a chunk.
TEST(NReactor, EveryChunkingGivesTheSameMessages) {
    std::vector<std::string> bodies = {"", "a", filler_text(300), filler_text(5000), "", std::string(70, '\0')};
    auto noise = qvtest::random_bytes(3000);
    bodies.emplace_back(noise.begin(), noise.end());
    std::string stream;
    int codec = 0;
    for (const auto &b : bodies) {
        std::string f = built_frame(codec, b);
        ASSERT_FALSE(f.empty());
        stream += f;
        codec = (codec + 1) % 3;
    }
    const std::string quit("\0\0\0\x80", 4);

    // Feeds `bytes` cut at `cuts` (ascending offsets); what came out, and
    // what the last feed returned.
    n_reactor *r = n_reactor_new();
    ASSERT_TRUE(r);
    auto run = [&](const std::string &bytes, const std::vector<size_t> &cuts, int *last) {
        NETWORK *n = netw_new(SIZE_MAX, SIZE_MAX);
        std::vector<std::string> out;
        if (!n) return out;
        size_t from = 0;
        *last = 1;
        for (size_t i = 0; i <= cuts.size() && *last == 1; i++) {
            size_t to = i < cuts.size() ? cuts[i] : bytes.size();
            *last = n_reactor_feed(r, n, reinterpret_cast<const unsigned char *>(bytes.data()) + from, to - from);
            from = to;
        }
        while (N_STR *m = netw_get_msg(n)) {
            out.push_back(text_of(m));
            free_nstr_ptr_nolog(m);
        }
        netw_close(&n);
        return out;
    };
    int last = 0;
    std::vector<size_t> every_byte;
    for (size_t i = 1; i < stream.size(); i++) every_byte.push_back(i);
    EXPECT_EQ(run(stream, every_byte, &last), bodies);
    EXPECT_EQ(last, 1);
    EXPECT_EQ(run(stream, {}, &last), bodies);

    std::mt19937 rng(7);
    for (int round = 0; round < 50; round++) {
        std::vector<size_t> cuts;
        for (size_t at = 0;;) {
            at += 1 + rng() % (round % 2 ? 64 : 9000);
            if (at >= stream.size()) break;
            cuts.push_back(at);
        }
        EXPECT_EQ(run(stream, cuts, &last), bodies) << "round " << round;
    }

    // A short stream with a quit word and bytes after it, cut at every point.
    std::string shortened = frame_bytes(0x40, "one") + frame_bytes(0x40, "") + frame_bytes(0x40, "three") + quit + frame_bytes(0x40, "after");
    for (size_t cut = 0; cut <= shortened.size(); cut++) {
        EXPECT_EQ(run(shortened, {cut}, &last), (std::vector<std::string>{"one", "", "three"})) << "cut " << cut;
        EXPECT_EQ(last, 0) << "cut " << cut;
    }
    n_reactor_destroy(&r);
}

// A compressed frame declaring more than the connection takes is dropped
// before any buffer of that size exists; a payload over the limit ends it.
TEST(NReactor, DeclaredSizesAreCapped) {
    LogCapture log;
    n_reactor *r = n_reactor_new();
    ASSERT_TRUE(r);
    NETWORK *n = netw_new(SIZE_MAX, SIZE_MAX);
    ASSERT_TRUE(n);
    ASSERT_EQ(netw_setsockopt(n, NETW_OPT_RECV_MSG_LIMIT, 4096), 1);
    std::string over = built_frame(1, filler_text(5000));
    ASSERT_FALSE(over.empty());
    std::string bytes = frame_bytes(0x20040, be32_bytes(0x10000000)) + frame_bytes(0x10040, be32_bytes(0x10000000)) + over +
                        frame_bytes(0x40, "goes on");
    EXPECT_EQ(n_reactor_feed(r, n, reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size()), 1);
    EXPECT_EQ(take_msgs(n, 1), std::vector<std::string>{"goes on"});
    EXPECT_FALSE(log.contains("unable to unzip string"));
    EXPECT_FALSE(log.contains("LZ4_decompress_safe failed"));
    EXPECT_TRUE(log.contains("n_reactor: failed to decompress payload (4 bytes, codec=lz4); dropping"));
    std::string big = frame_bytes(0x40, std::string(4097, 'x'));
    EXPECT_EQ(n_reactor_feed(r, n, reinterpret_cast<const unsigned char *>(big.data()), big.size()), -1);
    netw_close(&n);
    n_reactor_destroy(&r);
}

// Destroying a reactor lets every connection still registered go, so none
// points at the freed reactor and each closes normally afterwards.
TEST(NReactor, DestroyUnregistersEveryConnection) {
    n_reactor *r = n_reactor_new();
    ASSERT_TRUE(r);
    std::vector<std::unique_ptr<RawPair>> pairs;
    for (int i = 0; i < 5; i++) {
        pairs.push_back(std::make_unique<RawPair>());
        ASSERT_TRUE(pairs.back()->ok());
        ASSERT_EQ(n_reactor_register(r, pairs.back()->netw), 1);
    }
    ASSERT_EQ(netw_add_msg(pairs[0]->netw, msg_of("queued")), 1);
    n_reactor_destroy(&r);
    EXPECT_EQ(r, nullptr);
    for (auto &p : pairs) {
        EXPECT_EQ(p->netw->reactor.load(), nullptr);
        EXPECT_EQ(p->netw->reactor_attached.load(), 0);
        EXPECT_TRUE(released(p->netw));
    }
    pairs.clear();  // netw_close of each: nothing may reach the freed reactor
}

// One loop thread serves 1,000 loopback connections at once: each client
// sends three frames, an echo thread answers through the queues, and each
// client reads its own three frames back, in order.
TEST(NReactor, ServesAThousandConnections) {
    constexpr int kConns = 1000, kMsgs = 3;
    rlimit lim{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    if (lim.rlim_cur < 2 * kConns + 100) {
        lim.rlim_cur = std::min<rlim_t>(lim.rlim_max, 2 * kConns + 100);
        setrlimit(RLIMIT_NOFILE, &lim);
        getrlimit(RLIMIT_NOFILE, &lim);
        if (lim.rlim_cur < 2 * kConns + 100) GTEST_SKIP() << "descriptor limit " << lim.rlim_cur;
    }
    Loop loop;
    ASSERT_TRUE(loop.r);
    loop.start();
    NETWORK *l = nullptr;
    ASSERT_EQ(netw_make_listening(&l, "127.0.0.1", "0", 1024, 1), 1);
    int port = std::stoi(local_port(l->link.sock));
    std::vector<NETWORK *> served;
    std::thread acceptor([&] {
        for (int i = 0; i < kConns; i++) {
            int err = 0;
            NETWORK *s = netw_accept_into_reactor(l, SIZE_MAX, SIZE_MAX, 15000, loop.r, &err);
            if (!s || netw_set_compression_mode(s, 0) != 1) break;  // the clients read plain frames
            served.push_back(s);
        }
    });
    std::vector<int> clients;
    auto body = [](int c, int k) { return "conn " + std::to_string(c) + " msg " + std::to_string(k) + filler_text((size_t)(c % 7) * 100); };
    for (int c = 0; c < kConns; c++) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << c;
        clients.push_back(fd);
        std::string out;
        for (int k = 0; k < kMsgs; k++) out += frame_bytes(0x40, body(c, k));
        ASSERT_EQ(send(fd, out.data(), out.size(), MSG_NOSIGNAL), (ssize_t)out.size());
    }
    acceptor.join();
    ASSERT_EQ(served.size(), (size_t)kConns);
    netw_close(&l);

    // Echo: whatever a served connection received goes back on it.
    std::atomic<int> echoed{0};
    std::atomic<bool> read_all{false};
    std::thread echo([&] {
        while (echoed.load() < kConns * kMsgs && !read_all.load()) {
            bool any = false;
            for (NETWORK *s : served)
                while (N_STR *m = netw_get_msg(s)) {
                    any = true;
                    if (netw_add_msg(s, m) != 1) free_nstr_ptr_nolog(m);
                    echoed++;
                }
            if (!any) std::this_thread::yield();
        }
    });
    for (int c = 0; c < kConns; c++) {
        std::string want;
        for (int k = 0; k < kMsgs; k++) want += frame_bytes(0x40, body(c, k));
        std::string got;
        while (got.size() < want.size()) {
            pollfd pf{clients[c], POLLIN, 0};
            if (poll(&pf, 1, qvtest::kWaitMs) != 1) break;
            char buf[8192];
            ssize_t n = recv(clients[c], buf, sizeof buf, 0);
            if (n <= 0) break;
            got.append(buf, (size_t)n);
        }
        EXPECT_TRUE(got == want) << "connection " << c << ": " << got.size() << " of " << want.size() << " bytes " << qvtest::hex(got.data(), std::min<size_t>(got.size(), 40));
    }
    read_all = true;  // a failure above must not leave the echo waiting
    echo.join();
    EXPECT_EQ(echoed.load(), kConns * kMsgs);
    for (int fd : clients) close(fd);  // each served connection sees its peer's end
    for (NETWORK *s : served) {
        EXPECT_TRUE(qvtest::wait_until([&] { return released(s); }, qvtest::kWaitMs));
        netw_close(&s);
    }
    auto st = loop.stats();
    EXPECT_EQ(st.registrations, (uint64_t)kConns);
    EXPECT_EQ(st.unregistrations, (uint64_t)kConns);
}

// An engine peer and a reactor server, over plain TCP and TLS 1.3: many
// connections at once, messages both ways from several threads, the client's
// stop answered through the reactor.
TEST(NReactor, EnginePeersPlainAndTls) {
    TestCert cert;
    ASSERT_TRUE(cert.ok);
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "TLS" : "plain");
        Loop loop;
        ASSERT_TRUE(loop.r);
        loop.start();
        NETWORK *l = nullptr;
        ASSERT_EQ(netw_make_listening(&l, "127.0.0.1", "0", 64, 1), 1);
        if (tls) {
            ASSERT_EQ(netw_set_crypto(l, cert.key.c_str(), cert.cert.c_str()), 1);
        }
        std::string port = local_port(l->link.sock);
        constexpr int kConns = 12, kMsgs = 60;
        std::vector<NETWORK *> clients(kConns, nullptr), served;
        std::thread acceptor([&] {
            for (int i = 0; i < kConns; i++) {
                int err = 0;
                NETWORK *s = netw_accept_into_reactor(l, SIZE_MAX, SIZE_MAX, 15000, loop.r, &err);
                if (!s) break;
                served.push_back(s);
            }
        });
        for (auto &c : clients) {
            int ok = tls ? netw_ssl_connect_client(&c, "127.0.0.1", port.c_str(), 1) : netw_connect(&c, "127.0.0.1", port.c_str(), 1);
            ASSERT_EQ(ok, 1);
            if (tls) {
                ASSERT_EQ(netw_ssl_set_verify(c, 0), 1);
                ASSERT_EQ(netw_ssl_do_handshake(c, nullptr), 1);
            }
            ASSERT_EQ(netw_set_compression_mode(c, 2), 1);
            ASSERT_EQ(netw_start_thr_engine(c), 1);
        }
        acceptor.join();
        ASSERT_EQ(served.size(), (size_t)kConns);
        netw_close(&l);

        // Each client sends; each served connection echoes from its own thread.
        std::vector<std::thread> work;
        for (int i = 0; i < kConns; i++) {
            work.emplace_back([&, i] {
                for (int k = 0; k < kMsgs; k++) EXPECT_EQ(netw_add_msg(clients[i], msg_of(std::to_string(i) + "/" + std::to_string(k) + filler_text(k * 40))), 1);
            });
            work.emplace_back([&, i] {
                auto got = take_msgs(served[i], kMsgs);
                for (auto &m : got) EXPECT_EQ(netw_add_msg(served[i], msg_of(m)), 1);
            });
        }
        for (auto &t : work) t.join();
        for (int i = 0; i < kConns; i++) {
            auto back = take_msgs(clients[i], kMsgs);
            ASSERT_EQ(back.size(), (size_t)kMsgs);
            for (int k = 0; k < kMsgs; k++) EXPECT_TRUE(back[k] == std::to_string(i) + "/" + std::to_string(k) + filler_text(k * 40)) << i << " " << k;
        }
        // The engine's stop sends its quit word; the reactor lets the connection go.
        for (int i = 0; i < kConns; i++) {
            EXPECT_EQ(netw_stop_thr_engine(clients[i]), 1);
            EXPECT_TRUE(qvtest::wait_until([&] { return released(served[i]); }, qvtest::kWaitMs));
            EXPECT_EQ(state_of(served[i]), NETW_EXIT_ASKED);
            netw_close(&served[i]);
            netw_close(&clients[i]);
        }
        auto s = loop.stats();
        EXPECT_EQ(s.registrations, (uint64_t)kConns);
        EXPECT_EQ(s.unregistrations, (uint64_t)kConns);
        EXPECT_GE(s.wake_events, 1u);
    }
}

}  // namespace
