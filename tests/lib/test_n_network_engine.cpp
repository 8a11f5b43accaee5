// Threaded engine and connection pools. Frames are checked byte by byte on a
// raw socket; compressed payloads are opened and made by Python's zlib and
// lz4.block (tests/scripts/compress_xcheck.py); two engines talk over plain
// TCP and TLS 1.3. Waits are on queues and states, never on fixed sleeps.
#include "n_hash.h"
#include "n_log.h"
#include "n_network.h"
#include "n_zlib.h"
#include "netw_pair.h"
#include "qv_test_support.h"

#include <chrono>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <string>
#include <thread>
#include <vector>

using qvtest::LogCapture;
using qvtest::TempDir;
using namespace qvnettest;

namespace {

std::string zeros(size_t n) { return std::string(n, '\0'); }
std::string random_text(size_t n) {
    auto b = qvtest::random_bytes(n);
    return std::string(b.begin(), b.end());
}

// ---------------------------------------------------------------- send side on the wire

// What the send thread writes for each message: the state word with the
// codec's flag only when compression saved a tenth, then the length. The
// compressed payloads are opened by Python's zlib and lz4.block.
TEST(NetwEngine, FramesOnTheWireAndTheirCompression) {
    TempDir dir;
    struct Case {
        const char *name;
        int compression;
        std::string msg;
        uint32_t state;
    } cases[] = {
        {"5 bytes, plain", 1, "hello", 0x40},
        {"255 zeros never compressed", 1, zeros(255), 0x40},
        {"256 zeros with zlib", 1, zeros(256), 0x10040},
        {"256 zeros with LZ4", 2, zeros(256), 0x20040},
        {"300 random bytes stay plain", 1, random_text(300), 0x40},
        {"300 random bytes stay plain with LZ4", 2, random_text(300), 0x40},
        {"compression off", 0, zeros(4096), 0x40},
        {"64 KiB of text with zlib", 1, filler_text(65536), 0x10040},
        {"64 KiB of text with LZ4", 2, filler_text(65536), 0x20040},
        {"written 0", 1, "", 0x40},
    };
    std::vector<std::string> requests;
    std::vector<const Case *> packed;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        RawPair p;
        ASSERT_TRUE(p.ok());
        ASSERT_EQ(netw_set_compression_mode(p.netw, c.compression), 1);
        ASSERT_EQ(netw_start_thr_engine(p.netw), 1);
        ASSERT_EQ(netw_add_msg(p.netw, msg_of(c.msg)), 1);
        std::string head = p.read_exact(8);
        ASSERT_EQ(head.size(), 8u);
        EXPECT_EQ(qvtest::hex(head.substr(0, 4)), qvtest::hex(be32_bytes(c.state)));
        uint32_t n = (uint8_t)head[4] << 24 | (uint8_t)head[5] << 16 | (uint8_t)head[6] << 8 | (uint8_t)head[7];
        std::string body = p.read_exact(n);
        ASSERT_EQ(body.size(), n);
        if (c.state == 0x40) {
            EXPECT_TRUE(body == c.msg);
        } else {
            EXPECT_LE((size_t)n * 100, c.msg.size() * 90);
            std::string path = dir.file(std::to_string(requests.size()));
            qvtest::write_file(path, body);
            requests.push_back(std::string(c.state & NETW_COMPRESSED_LZ4 ? "lz4" : "zlib") + "_open " + path + " " + path + ".out");
            packed.push_back(&c);
        }
        // Our stop sends the quit word; the raw peer answers by closing.
        std::thread closer([&] {
            EXPECT_EQ(qvtest::hex(p.read_exact(4)), "00000080");
            shutdown(p.peer, SHUT_WR);
        });
        EXPECT_EQ(netw_stop_thr_engine(p.netw), 1);
        closer.join();
        EXPECT_EQ(state_of(p.netw), NETW_EXITED);
    }
    const auto answers = qvtest::xcheck_words("compress_xcheck.py", requests);
    for (size_t i = 0; i < requests.size(); i++) {
        SCOPED_TRACE(packed[i]->name);
        const std::string size = std::to_string(packed[i]->msg.size());
        ASSERT_EQ(answers[i], (std::vector<std::string>{"OK", size, size}));
        EXPECT_TRUE(qvtest::read_file(requests[i].substr(requests[i].rfind(' ') + 1)) == packed[i]->msg);
    }
}

// A message too long for a 32-bit frame length is dropped with its reason and
// the next one still goes out; a queued record without a buffer is refused.
TEST(NetwEngine, OversizedAndEmptyMessagesOnSend) {
    LogCapture log;
    RawPair p;
    ASSERT_TRUE(p.ok());
    ASSERT_EQ(netw_start_thr_engine(p.netw), 1);
    // Only `written` is looked at before the message is dropped.
    N_STR *huge = msg_of("x");
    huge->written = (size_t)NETW_FRAME_SEND_MAX + 1;
    ASSERT_EQ(netw_add_msg(p.netw, huge), 1);
    ASSERT_EQ(netw_add_msg(p.netw, msg_of("after")), 1);
    EXPECT_EQ(qvtest::hex(p.read_exact(13)), qvtest::hex(frame_bytes(0x40, "after")));
    EXPECT_TRUE(ring_has(p.netw, "discarded packet of size 4294967288 which is greater than 4294967295"));

    N_STR empty_len{};
    char byte = 0;
    empty_len.data = &byte;
    EXPECT_EQ(netw_add_msg(p.netw, &empty_len), 0);
    EXPECT_TRUE(ring_has(p.netw, "Empty messages are not supported."));
    N_STR no_buf{};
    EXPECT_EQ(netw_add_msg(p.netw, &no_buf), 0);
    EXPECT_EQ(netw_add_msg(p.netw, nullptr), 0);
    EXPECT_EQ(netw_add_msg_ex(p.netw, &byte, 0), 0);

    // netw_add_msg_ex adopts the buffer.
    char *raw = static_cast<char *>(malloc(3));
    memcpy(raw, "abc", 3);
    ASSERT_EQ(netw_add_msg_ex(p.netw, raw, 3), 1);
    EXPECT_EQ(qvtest::hex(p.read_exact(11)), qvtest::hex(frame_bytes(0x40, "abc")));

    std::thread closer([&] {
        p.read_exact(4);
        shutdown(p.peer, SHUT_WR);
    });
    EXPECT_EQ(netw_stop_thr_engine(p.netw), 1);
    closer.join();
}

// ---------------------------------------------------------------- receive side

// Frames written by a raw peer, compressed ones made by Python: each arrives
// whole and in order; an empty payload is an empty message.
TEST(NetwEngine, ReceivesFramesMadeByPython) {
    TempDir dir;
    const std::string text = filler_text(70000), small = "x";
    std::vector<std::string> requests = {
        "zlib_make " + dir.file("t") + " " + dir.file("t.z") + " 9",
        "lz4_make " + dir.file("t") + " " + dir.file("t.lz4") + " high_compression",
        "zlib_make " + dir.file("s") + " " + dir.file("s.z") + " 1",
    };
    qvtest::write_file(dir.file("t"), text);
    qvtest::write_file(dir.file("s"), small);
    for (const auto &a : qvtest::xcheck_words("compress_xcheck.py", requests)) ASSERT_EQ(a, std::vector<std::string>{"OK"});

    RawPair p;
    ASSERT_TRUE(p.ok());
    ASSERT_EQ(netw_start_thr_engine(p.netw), 1);
    uint64_t recv_before = 0;
    netw_bytes_stats_get(nullptr, &recv_before);
    ASSERT_TRUE(p.write_all(frame_bytes(0x40, "plain") + frame_bytes(0x40, "") + frame_bytes(0x10040, qvtest::read_file(dir.file("t.z"))) +
                            frame_bytes(0x20040, qvtest::read_file(dir.file("t.lz4"))) +
                            frame_bytes(0x10040, qvtest::read_file(dir.file("s.z")))));
    auto got = take_msgs(p.netw, 5);
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0], "plain");
    EXPECT_EQ(got[1], "");
    EXPECT_TRUE(got[2] == text);
    EXPECT_TRUE(got[3] == text);
    EXPECT_EQ(got[4], small);
    uint64_t recv_after = 0;
    netw_bytes_stats_get(nullptr, &recv_after);
    EXPECT_GE(recv_after - recv_before, 5 + 2 * text.size() + 1);

    // The peer's quit ends our receive thread; our send thread answers with its own.
    ASSERT_TRUE(p.write_all(std::string("\0\0\0\x80", 4)));
    EXPECT_EQ(qvtest::hex(p.read_exact(4)), "00000080");
    EXPECT_TRUE(qvtest::wait_until([&] { return running_threads(p.netw) == 0; }, qvtest::kWaitMs));
    EXPECT_EQ(state_of(p.netw), NETW_EXIT_ASKED);
    EXPECT_EQ(n_netw_get_error_count(p.netw), 0) << n_netw_get_error(p.netw, 0);
    EXPECT_EQ(netw_stop_thr_engine(p.netw), 1);
}

// Broken input from the peer ends the receive thread with its code; the send
// thread sees NETW_ERROR and ends too.
TEST(NetwEngine, ReceiveFailuresEndWithTheirCode) {
    LogCapture log;
    struct Case {
        const char *name;
        std::string bytes;
        const char *ring;
        int code;
    } cases[] = {
        {"length 1073741825", be32_bytes(0x40) + be32_bytes(0x40000001), "length exceeds NETW_MSG_MAX_FRAME_SIZE (1073741824 bytes)", 8},
        {"zlib flag on garbage", frame_bytes(0x10040, std::string("\0\0\0\x10garbage!", 12)), nullptr, 7},
        {"LZ4 flag on a short payload", frame_bytes(0x20040, "ab"), nullptr, 7},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        RawPair p;
        ASSERT_TRUE(p.ok());
        ASSERT_EQ(netw_start_thr_engine(p.netw), 1);
        ASSERT_TRUE(p.write_all(c.bytes));
        ASSERT_TRUE(qvtest::wait_until([&] { return running_threads(p.netw) == 0; }, qvtest::kWaitMs));
        EXPECT_EQ(state_of(p.netw), NETW_ERROR);
        EXPECT_TRUE(ring_has(p.netw, "Receive thread exiting with code " + std::to_string(c.code) + " !"));
        EXPECT_TRUE(ring_has(p.netw, "Sending thread exiting with error 666 !"));
        if (c.ring) {
            EXPECT_TRUE(ring_has(p.netw, c.ring));
        }
        if (c.code == 7) {
            EXPECT_TRUE(log.contains("failed to decompress payload"));
        }
        EXPECT_EQ(netw_stop_thr_engine(p.netw), 1);
    }

    // The largest length is accepted: the thread waits for the payload and
    // ends normally when the peer goes.
    RawPair p;
    ASSERT_TRUE(p.ok());
    ASSERT_EQ(netw_start_thr_engine(p.netw), 1);
    ASSERT_TRUE(p.write_all(be32_bytes(0x40) + be32_bytes(0x40000000) + "partial"));
    shutdown(p.peer, SHUT_WR);
    ASSERT_TRUE(qvtest::wait_until([&] { return running_threads(p.netw) == 0; }, qvtest::kWaitMs));
    EXPECT_EQ(state_of(p.netw), NETW_EXIT_ASKED);
    EXPECT_FALSE(ring_has(p.netw, "Rejected oversized frame"));
    EXPECT_EQ(netw_stop_thr_engine(p.netw), 1);
}

// A compressed payload's declared size is checked before anything is
// allocated: a 12-byte frame declaring 256 MiB, and a size above the
// connection's own message limit, end the thread with code 7 without the
// decompressor ever being reached; a payload above the limit is code 8.
TEST(NetwEngine, DeclaredSizesAreCappedBeforeAllocating) {
    LogCapture log;
    N_STR *plain = msg_of(filler_text(5000));
    N_STR *packed = zip_nstr(plain);
    ASSERT_TRUE(packed);
    std::string packed_bytes(packed->data, packed->written);
    free_nstr_ptr_nolog(packed);
    free_nstr_ptr_nolog(plain);
    struct Case {
        const char *name;
        int limit;  // 0: the default
        std::string bytes;
        int code;
    } cases[] = {
        {"zlib, 12 bytes declaring 256 MiB", 0, frame_bytes(0x10040, be32_bytes(0x10000000)), 7},
        {"LZ4, 12 bytes declaring 256 MiB", 0, frame_bytes(0x20040, be32_bytes(0x10000000)), 7},
        {"LZ4, 16 bytes declaring 1 MiB", 0, frame_bytes(0x20040, be32_bytes(1 << 20) + std::string("\x1f\0\x01\0", 4)), 7},
        {"zlib, 5000 real bytes over a 4096-byte limit", 4096, frame_bytes(0x10040, packed_bytes), 7},
        {"payload over a 4096-byte limit", 4096, frame_bytes(0x40, std::string(4097, 'x')), 8},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        RawPair p;
        ASSERT_TRUE(p.ok());
        if (c.limit) {
            ASSERT_EQ(netw_setsockopt(p.netw, NETW_OPT_RECV_MSG_LIMIT, c.limit), 1);
        }
        ASSERT_EQ(netw_start_thr_engine(p.netw), 1);
        ASSERT_TRUE(p.write_all(c.bytes));
        ASSERT_TRUE(qvtest::wait_until([&] { return running_threads(p.netw) == 0; }, qvtest::kWaitMs));
        EXPECT_TRUE(ring_has(p.netw, "Receive thread exiting with code " + std::to_string(c.code) + " !"));
        EXPECT_FALSE(log.contains("unable to unzip string")) << "the decompressor was reached";
        EXPECT_FALSE(log.contains("LZ4_decompress_safe failed")) << "the decompressor was reached";
        if (c.code == 8) {
            EXPECT_TRUE(ring_has(p.netw, "length exceeds NETW_MSG_MAX_FRAME_SIZE (4096 bytes)"));
        }
        EXPECT_EQ(netw_stop_thr_engine(p.netw), 1);
    }
    // At the limit itself the message is taken.
    RawPair p;
    ASSERT_TRUE(p.ok());
    ASSERT_EQ(netw_setsockopt(p.netw, NETW_OPT_RECV_MSG_LIMIT, 5000), 1);
    ASSERT_EQ(netw_start_thr_engine(p.netw), 1);
    ASSERT_TRUE(p.write_all(frame_bytes(0x10040, packed_bytes) + frame_bytes(0x40, std::string(5000, 'y'))));
    auto got = take_msgs(p.netw, 2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(got[0] == filler_text(5000));
    EXPECT_TRUE(got[1] == std::string(5000, 'y'));
    shutdown(p.peer, SHUT_WR);  // the stop in netw_close then ends at once
}

// A peer that neither answers the quit word nor closes: the stop gives up
// after the bound, shuts the socket down and joins both threads. The quit
// word did go out first.
TEST(NetwEngine, StopAgainstASilentPeerIsBounded) {
    RawPair p;
    ASSERT_TRUE(p.ok());
    ASSERT_EQ(netw_setsockopt(p.netw, NETW_OPT_WAIT_CLOSE_TIMEOUT, 1), 1);
    ASSERT_EQ(netw_start_thr_engine(p.netw), 1);
    ASSERT_EQ(netw_add_msg(p.netw, msg_of("before the stop")), 1);
    EXPECT_EQ(p.read_exact(8 + 15), frame_bytes(0x40, "before the stop"));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(netw_stop_thr_engine(p.netw), 1);
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    EXPECT_EQ(running_threads(p.netw), 0);
    EXPECT_EQ(p.read_exact(4), std::string("\0\0\0\x80", 4));
    // On a loaded machine the threads may notice the stop on their own before
    // the bound; only a stop that reached the bound must have shut the socket.
    if (waited.count() >= 1000) {
        EXPECT_TRUE(ring_has(p.netw, "no quit from the peer after 1000 ms, shutting the socket down"));
        pollfd pf{p.peer, POLLIN, 0};
        char c;
        EXPECT_TRUE(poll(&pf, 1, qvtest::kWaitMs) == 1 && recv(p.peer, &c, 1, 0) == 0) << "the socket was shut down";
    }
    // Bounded, not fast: without the bound the stop would wait for ever.
    EXPECT_LT(waited.count(), qvtest::kWaitMs) << "the stop is bounded";
}

// ---------------------------------------------------------------- engine to engine

// Two engines over plain TCP and over TLS 1.3 exchange messages both ways at
// once, from several producer threads, in every compression mode; the empty
// message arrives over TLS too. Stopping one side stops both.
TEST(NetwEngine, TwoEnginesPlainAndTls) {
    TestCert cert;
    ASSERT_TRUE(cert.ok);
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "TLS" : "plain");
        NetwPair pair(tls ? &cert : nullptr);
        ASSERT_TRUE(pair.ok());
        ASSERT_EQ(netw_set_compression_mode(pair.client, 2), 1);
        ASSERT_EQ(netw_set_compression_mode(pair.server, 1), 1);
        ASSERT_EQ(netw_start_thr_engine(pair.client), 1);
        ASSERT_EQ(netw_start_thr_engine(pair.server), 1);
        EXPECT_EQ(netw_start_thr_engine(pair.client), 0);
        EXPECT_TRUE(ring_has(pair.client, "THR Engine already started"));

        constexpr int kPerThread = 150;
        const std::string noise = random_text(300);
        auto body = [&noise](int who, int i) {
            std::string s = std::to_string(who) + ":" + std::to_string(i) + ":";
            if (i % 5 == 0) s += filler_text(5000 + i);
            if (i % 7 == 0) s += noise;
            return s;
        };
        std::vector<std::thread> producers;
        for (int who = 0; who < 2; who++)
            producers.emplace_back([&, who] {
                NETWORK *n = who == 0 ? pair.client : pair.server;
                for (int i = 0; i < kPerThread; i++) EXPECT_EQ(netw_add_msg(n, msg_of(body(who, i))), 1);
                EXPECT_EQ(netw_add_msg(n, msg_of("")), 1);
            });
        auto at_server = take_msgs(pair.server, kPerThread + 1);
        auto at_client = take_msgs(pair.client, kPerThread + 1);
        for (auto &t : producers) t.join();
        ASSERT_EQ(at_server.size(), (size_t)kPerThread + 1);
        ASSERT_EQ(at_client.size(), (size_t)kPerThread + 1);
        for (int i = 0; i < kPerThread; i++) {
            EXPECT_TRUE(at_server[i] == body(0, i)) << i;
            EXPECT_TRUE(at_client[i] == body(1, i)) << i;
        }
        EXPECT_EQ(at_server.back(), "");
        EXPECT_EQ(at_client.back(), "");

        EXPECT_EQ(netw_stop_thr_engine(pair.client), 1);
        EXPECT_TRUE(qvtest::wait_until([&] { return running_threads(pair.server) == 0; }, qvtest::kWaitMs));
        EXPECT_EQ(state_of(pair.server), NETW_EXIT_ASKED);
        EXPECT_EQ(state_of(pair.client), NETW_EXITED);
        EXPECT_EQ(n_netw_get_error_count(pair.server), 0) << n_netw_get_error(pair.server, 0);
        // netw_close joins what is left.
    }
}

// ---------------------------------------------------------------- waiting

TEST(NetwEngine, WaitForAMessage) {
    LogCapture log;
    NetwPair pair;
    ASSERT_TRUE(pair.ok());
    ASSERT_EQ(netw_start_thr_engine(pair.client), 1);
    ASSERT_EQ(netw_start_thr_engine(pair.server), 1);

    // Time-out: R = 100 ms, T = 1 s gives up after 9 sleeps.
    long long t0 = now_ms();
    EXPECT_EQ(netw_wait_msg(pair.server, 100000, 1000000), nullptr);
    EXPECT_GE(now_ms() - t0, 850);
    EXPECT_TRUE(ring_has(pair.server, "status: NETW_RUN (64), timeouted after waiting 1000000 msecs"));
    EXPECT_TRUE(log.contains("refresh: 100000 usec (0 secs, 100000 usecs), timeout 1000000 usec"));
    // A refresh of 0 still gives up.
    EXPECT_EQ(netw_wait_msg(pair.server, 0, 20000), nullptr);

    // No time-out: returns the message when it comes.
    std::atomic<bool> go{false};
    std::thread sender([&] {
        while (!go.load()) std::this_thread::yield();
        EXPECT_EQ(netw_add_msg(pair.client, msg_of("late")), 1);
    });
    go = true;
    N_STR *m = netw_wait_msg(pair.server, 1000, 0);
    sender.join();
    EXPECT_EQ(text_of(m), "late");
    free_nstr_ptr_nolog(m);

    // No time-out, and the engine stops: gives up with the state.
    EXPECT_EQ(netw_stop_thr_engine(pair.server), 1);
    EXPECT_EQ(netw_wait_msg(pair.server, 1000, 0), nullptr);
    EXPECT_TRUE(ring_has(pair.server, "is no more running, state: NETW_EXITED (256)"));

    EXPECT_EQ(netw_stop_thr_engine(pair.server), 0);
    EXPECT_TRUE(ring_has(pair.server, "Thread engine status already stopped for network"));
}

// ---------------------------------------------------------------- pools

// A record with a descriptor of its own (a copy of /dev/null) whose number
// serves as the pool key; netw_close closes that copy.
NETWORK *keyed_record() {
    NETWORK *n = netw_new(SIZE_MAX, SIZE_MAX);
    if (n) n->link.sock = open("/dev/null", O_RDONLY | O_CLOEXEC);
    return n;
}

std::string key_of(NETWORK *n) { return std::to_string(n->link.sock); }

bool in_pool(NETWORK_POOL *pool, NETWORK *n) {
    void *held = nullptr;
    return ht_get_ptr(pool->pool, key_of(n).c_str(), &held) == 1 && held == n;
}

TEST(NetwPool, MembershipBothWays) {
    LogCapture log;
    NETWORK_POOL *a = netw_new_pool(16), *b = netw_new_pool(16);
    ASSERT_TRUE(a && b);
    NETWORK *x = keyed_record(), *y = keyed_record(), *twin = netw_new(SIZE_MAX, SIZE_MAX);
    ASSERT_TRUE(x && y && twin);
    twin->link.sock = x->link.sock;  // the same number as x, never closed through twin

    EXPECT_EQ(netw_pool_add(a, x), 1);
    EXPECT_EQ(netw_pool_add(a, x), 0);
    EXPECT_TRUE(ring_has(x, "Network id " + key_of(x) + " already added !"));
    EXPECT_EQ(x->pools->item_count, 1u);
    EXPECT_EQ(netw_pool_add(a, twin), 0) << "one socket number, one member";
    EXPECT_EQ(twin->pools->item_count, 0u);
    EXPECT_EQ(netw_pool_remove(a, twin), 0) << "only the member itself is taken out";
    EXPECT_TRUE(in_pool(a, x));
    EXPECT_EQ(netw_pool_add(b, x), 1);
    EXPECT_EQ(netw_pool_add(a, y), 1);
    EXPECT_EQ(netw_pool_add(b, y), 1);

    EXPECT_EQ(netw_pool_remove(b, y), 1);
    EXPECT_EQ(netw_pool_remove(b, y), 0);
    EXPECT_TRUE(ring_has(y, "Network id " + key_of(y) + " already removed !"));
    EXPECT_EQ(y->pools->item_count, 1u);

    // Destroying a pool that still holds members: one line each, the members
    // stay open, and their lists forget the pool, so closing them later is safe.
    log.clear();
    EXPECT_EQ(netw_destroy_pool(&a), 1);
    EXPECT_EQ(a, nullptr);
    EXPECT_TRUE(log.contains("network id " + key_of(x) + " still active !!"));
    EXPECT_TRUE(log.contains("network id " + key_of(y) + " still active !!"));
    EXPECT_EQ(y->pools->item_count, 0u);
    EXPECT_EQ(x->pools->item_count, 1u);  // still in b
    EXPECT_NE(fcntl(x->link.sock, F_GETFD), -1);

    // Closing x takes it out of b.
    twin->link.sock = -1;
    netw_close(&twin);
    std::string x_key = key_of(x);
    netw_close(&x);
    void *held = nullptr;
    EXPECT_EQ(ht_get_ptr(b->pool, x_key.c_str(), &held), 0);
    netw_close(&y);
    EXPECT_EQ(netw_destroy_pool(&b), 1);
    EXPECT_EQ(netw_destroy_pool(&b), 0);
}

// netw_close of a real connection in two pools leaves both without it.
TEST(NetwPool, CloseLeavesEveryPool) {
    NetwPair pair;
    ASSERT_TRUE(pair.ok());
    NETWORK_POOL *a = netw_new_pool(8), *b = netw_new_pool(8);
    ASSERT_TRUE(a && b);
    ASSERT_EQ(netw_pool_add(a, pair.client), 1);
    ASSERT_EQ(netw_pool_add(b, pair.client), 1);
    ASSERT_EQ(netw_pool_add(a, pair.server), 1);
    std::string client_key = key_of(pair.client);
    netw_close(&pair.client);
    void *held = nullptr;
    EXPECT_EQ(ht_get_ptr(a->pool, client_key.c_str(), &held), 0);
    EXPECT_EQ(ht_get_ptr(b->pool, client_key.c_str(), &held), 0);
    EXPECT_TRUE(in_pool(a, pair.server));
    EXPECT_EQ(netw_destroy_pool(&a), 1);
    EXPECT_EQ(netw_destroy_pool(&b), 1);
    EXPECT_EQ(pair.server->pools->item_count, 0u);
}

// Threads add, remove and close their own members of one pool at once.
TEST(NetwPool, ConcurrentMembers) {
    NETWORK_POOL *pool = netw_new_pool(64);
    ASSERT_TRUE(pool);
    constexpr int kThreads = 8, kRounds = 100;
    std::vector<std::thread> th;
    for (int t = 0; t < kThreads; t++)
        th.emplace_back([&] {
            for (int i = 0; i < kRounds; i++) {
                NETWORK *n = keyed_record();
                ASSERT_TRUE(n);
                EXPECT_EQ(netw_pool_add(pool, n), 1);
                if (i % 2) {
                    EXPECT_EQ(netw_pool_remove(pool, n), 1);
                }
                netw_close(&n);  // leaves the pool when still in it
            }
        });
    for (auto &x : th) x.join();
    LIST *left = ht_search(pool->pool, [](HASH_NODE *) { return 1; });
    EXPECT_EQ(left, nullptr) << "every member left";
    if (left) list_destroy(&left);
    EXPECT_EQ(netw_destroy_pool(&pool), 1);
}


// Add, remove, close and destroy in every order, for a connection that is
// also in a second pool: after each step the table and the member's list
// agree, and nothing reaches a freed pool or a freed connection (ASan).
TEST(NetwPool, EveryOrderOfAddRemoveCloseDestroy) {
    LogCapture log;  // "still active" lines
    enum Op { ADD, REMOVE, CLOSE, DESTROY };
    std::vector<Op> ops = {ADD, REMOVE, CLOSE, DESTROY};
    std::sort(ops.begin(), ops.end());
    int orders = 0;
    do {
        orders++;
        for (bool added_first : {false, true}) {
            SCOPED_TRACE(std::to_string(ops[0]) + std::to_string(ops[1]) + std::to_string(ops[2]) + std::to_string(ops[3]) +
                         (added_first ? " added first" : ""));
            NETWORK_POOL *p = netw_new_pool(8), *q = netw_new_pool(8);
            NETWORK *c = keyed_record();
            ASSERT_TRUE(p && q && c);
            ASSERT_EQ(netw_pool_add(q, c), 1);
            bool in_p = false;
            if (added_first) {
                ASSERT_EQ(netw_pool_add(p, c), 1);
                in_p = true;
            }
            for (Op op : ops) {
                if (op == ADD && p && c) {
                    EXPECT_EQ(netw_pool_add(p, c), in_p ? 0 : 1);
                    in_p = true;
                } else if (op == REMOVE && p && c) {
                    EXPECT_EQ(netw_pool_remove(p, c), in_p ? 1 : 0);
                    in_p = false;
                } else if (op == CLOSE && c) {
                    netw_close(&c);
                    in_p = false;
                } else if (op == DESTROY && p) {
                    EXPECT_EQ(netw_destroy_pool(&p), 1);
                    in_p = false;
                }
                if (c) {
                    EXPECT_EQ(c->pools->item_count, 1u + (in_p ? 1u : 0u));
                    if (p) {
                        EXPECT_EQ(in_pool(p, c), in_p);
                    }
                }
                if (p && !c) {
                    LIST *left = ht_search(p->pool, [](HASH_NODE *) { return 1; });
                    EXPECT_EQ(left, nullptr);
                    if (left) list_destroy(&left);
                }
            }
            if (c) netw_close(&c);
            if (p) {
                EXPECT_EQ(netw_destroy_pool(&p), 1);
            }
            LIST *left = ht_search(q->pool, [](HASH_NODE *) { return 1; });
            EXPECT_EQ(left, nullptr) << "closing left the second pool too";
            if (left) list_destroy(&left);
            EXPECT_EQ(netw_destroy_pool(&q), 1);
        }
    } while (std::next_permutation(ops.begin(), ops.end()));
    EXPECT_EQ(orders, 24);
}

// The same orders at once: one thread per order of add, remove and close on
// its own connection in two shared pools, repeated; in half the rounds the
// connections stay open while the pools are destroyed, then close.
TEST(NetwPool, EveryOrderFromManyThreadsRepeated) {
    for (int round = 0; round < 10; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        NETWORK_POOL *p = netw_new_pool(16), *q = netw_new_pool(16);
        ASSERT_TRUE(p && q);
        bool close_in_threads = round % 2 == 0;
        std::vector<int> order = {0, 1, 2, 3};  // add to p, add to q, remove from p, close
        std::vector<std::vector<int>> orders;
        do orders.push_back(order);
        while (std::next_permutation(order.begin(), order.end()));
        std::vector<NETWORK *> kept(orders.size(), nullptr);
        std::atomic<bool> go{false};
        std::vector<std::thread> th;
        for (size_t t = 0; t < orders.size(); t++)
            th.emplace_back([&, t] {
                NETWORK *c = keyed_record();
                if (!c) return;
                while (!go.load()) std::this_thread::yield();
                for (int op : orders[t]) {
                    if (op == 0) (void)netw_pool_add(p, c);
                    if (op == 1) (void)netw_pool_add(q, c);
                    if (op == 2) (void)netw_pool_remove(p, c);
                    if (op == 3 && close_in_threads) netw_close(&c);
                    if (!c) return;
                }
                kept[t] = c;
            });
        go = true;
        for (auto &x : th) x.join();
        if (round % 4 < 2) {
            EXPECT_EQ(netw_destroy_pool(&p), 1);
            EXPECT_EQ(netw_destroy_pool(&q), 1);
        } else {
            EXPECT_EQ(netw_destroy_pool(&q), 1);
            EXPECT_EQ(netw_destroy_pool(&p), 1);
        }
        for (NETWORK *&c : kept)
            if (c) {
                EXPECT_EQ(c->pools->item_count, 0u) << "a destroyed pool is still listed";
                netw_close(&c);
            }
    }
}

}  // namespace

