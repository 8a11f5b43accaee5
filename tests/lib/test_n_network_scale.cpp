// Volume through the engine and the reactor: 10^5 messages each way at once,
// of sizes from 0 bytes to 1 MiB, over plain TCP and TLS 1.3, in every
// compression mode; each side regenerates what the other sent and checks
// every message arrived once, whole and in order.
//
// Sizes: one message in 2,000 is 0..1 MiB (the first is exactly 1 MiB of
// zeros, the codecs' best ratio), one in 20 is 256..8 KiB (compression is
// tried), the rest 0..255 bytes: about 60 MB each way, so that the twelve
// runs stay within a minute or two. Contents alternate between random bytes
// and repeated text, so compression is kept for some and refused for others.
// Under TSan the count is cut to keep the run in minutes.
#include "n_network.h"
#include "n_reactor.h"
#include "netw_pair.h"
#include "qv_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace qvnettest;

namespace {

// 100,000 messages each way at full size; the sanitizers make every message
// cost ten to forty times as much, so there the volume fits their stage's
// budget and the same paths still run.
constexpr uint32_t kMessages = qvtest::kSanitized ? 4000 : 100000;

uint64_t mix(uint64_t x) {  // splitmix64
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

// Message i sent by side `who`.
std::string body(int who, uint32_t i) {
    uint64_t h = mix((uint64_t)who << 32 | i);
    if (i == 0) return std::string(1 << 20, '\0');
    size_t n;
    if (i % 2000 == 0)
        n = h % ((1 << 20) + 1);
    else if (i % 20 == 0)
        n = 256 + h % (8192 - 256);
    else
        n = h % 256;
    std::string s(n, '\0');
    if (h & 1) {
        uint64_t x = h;
        for (size_t k = 0; k < n; k++) {
            if (k % 8 == 0) x = mix(x);
            s[k] = (char)(x >> (8 * (k % 8)));
        }
    } else {
        static const std::string text = "side message volume check ";
        for (size_t k = 0; k < n; k++) s[k] = text[(k + i) % text.size()];
    }
    return s;
}

// Both sides send kMessages and take the other's kMessages at once.
void exchange(NETWORK *a, NETWORK *b) {
    std::atomic<uint32_t> bad{0};
    auto producer = [&](NETWORK *n, int who) {
        for (uint32_t i = 0; i < kMessages; i++)
            if (netw_add_msg(n, msg_of(body(who, i))) != 1) bad++;
    };
    auto consumer = [&](NETWORK *n, int from, uint32_t *got) {
        for (*got = 0; *got < kMessages;) {
            N_STR *m = netw_wait_msg(n, 200, 60000000);
            if (!m) return;
            if (std::string(m->data, m->written) != body(from, *got)) bad++;
            free_nstr_ptr_nolog(m);
            ++*got;
        }
    };
    uint32_t at_a = 0, at_b = 0;
    std::thread pa(producer, a, 0), pb(producer, b, 1), ca(consumer, a, 1, &at_a), cb(consumer, b, 0, &at_b);
    pa.join();
    pb.join();
    ca.join();
    cb.join();
    EXPECT_EQ(at_a, kMessages);
    EXPECT_EQ(at_b, kMessages);
    EXPECT_EQ(bad.load(), 0u) << "messages that differ from what was sent";
    EXPECT_EQ(netw_get_msg(a), nullptr) << "a message arrived twice";
    EXPECT_EQ(netw_get_msg(b), nullptr) << "a message arrived twice";
}

TEST(NetwScale, EngineToEngine) {
    TestCert cert;
    ASSERT_TRUE(cert.ok);
    for (bool tls : {false, true})
        for (int mode : {0, 1, 2}) {
            SCOPED_TRACE(std::string(tls ? "TLS" : "plain") + ", compression " + std::to_string(mode));
            NetwPair pair(tls ? &cert : nullptr);
            ASSERT_TRUE(pair.ok());
            ASSERT_EQ(netw_set_compression_mode(pair.client, mode), 1);
            ASSERT_EQ(netw_set_compression_mode(pair.server, mode), 1);
            ASSERT_EQ(netw_start_thr_engine(pair.client), 1);
            ASSERT_EQ(netw_start_thr_engine(pair.server), 1);
            exchange(pair.client, pair.server);
            EXPECT_EQ(netw_stop_thr_engine(pair.client), 1);
            EXPECT_EQ(n_netw_get_error_count(pair.server), 0) << n_netw_get_error(pair.server, 0);
        }
}

TEST(NetwScale, EngineToReactor) {
    TestCert cert;
    ASSERT_TRUE(cert.ok);
    for (bool tls : {false, true})
        for (int mode : {0, 1, 2}) {
            SCOPED_TRACE(std::string(tls ? "TLS" : "plain") + ", compression " + std::to_string(mode));
            n_reactor *r = n_reactor_new();
            ASSERT_TRUE(r);
            std::thread loop([r] { n_reactor_run(r); });
            NETWORK *l = nullptr, *client = nullptr, *served = nullptr;
            ASSERT_EQ(netw_make_listening(&l, "127.0.0.1", "0", 4, 1), 1);
            if (tls) {
                ASSERT_EQ(netw_set_crypto(l, cert.key.c_str(), cert.cert.c_str()), 1);
            }
            std::string port = local_port(l->link.sock);
            std::thread acceptor([&] {
                int err = 0;
                served = netw_accept_into_reactor(l, SIZE_MAX, SIZE_MAX, 15000, r, &err);
            });
            int ok = tls ? netw_ssl_connect_client(&client, "127.0.0.1", port.c_str(), 1) : netw_connect(&client, "127.0.0.1", port.c_str(), 1);
            if (ok == 1 && tls) ok = netw_ssl_set_verify(client, 0) == 1 && netw_ssl_do_handshake(client, nullptr) == 1;
            acceptor.join();
            netw_close(&l);
            if (ok == 1 && served) {
                EXPECT_EQ(netw_set_compression_mode(client, mode), 1);
                EXPECT_EQ(netw_set_compression_mode(served, mode), 1);  // before anything is queued on it
                EXPECT_EQ(netw_start_thr_engine(client), 1);
                exchange(client, served);
                EXPECT_EQ(netw_stop_thr_engine(client), 1);
                EXPECT_TRUE(qvtest::wait_until([&] { return served->reactor_released.load() == 1; }, qvtest::kWaitMs));
            } else {
                ADD_FAILURE() << "no connection";
            }
            if (served) netw_close(&served);
            if (client) netw_close(&client);
            n_reactor_stop(r);
            loop.join();
            n_reactor_destroy(&r);
        }
}

}  // namespace
