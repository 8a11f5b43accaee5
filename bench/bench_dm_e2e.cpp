// One direct message end to end on loopback: from the sender's sealed send to
// the text in the receiver's store, through the project's server over TLS,
// with the device sessions already answered both ways and the receiver
// synced, so each message comes live. Every step on the way is made durable:
// the sender's stepped session record, the server's commit before its
// acknowledgement, the receiver's session record and its message file. Beside
// it, in the same run on the same filesystem, one 4 KiB write made durable
// with fdatasync: the message's latency counted in those. Traced with strace,
// one message makes nine syncs: the sender's session record and the
// conversation file that keeps its send counter, each with its directory; the
// server's one WAL commit; the receiver's session record and message file,
// each with its directory.
#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "client_session.h"
#include "net_test_helpers.h"
#include "quorvane_msg.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const uint8_t kSecret[32] = {9, 1, 9};
constexpr int kWaitMs = 30000;

template <class F> bool pump_until(std::initializer_list<quorvane_cs *> sessions, F done) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        for (quorvane_cs *cs : sessions) quorvane_cs_pump(cs);
    }
    return true;
}

struct CsFree {
    void operator()(quorvane_cs *cs) const { quorvane_cs_free(cs); }
};

// A device with its keys, its store, and a session signed in while it runs.
struct Peer {
    std::string user, port, pin, dir;
    quorvane_device_keys keys{};
    quorvane_msgstore *ms = nullptr;
    std::unique_ptr<quorvane_cs, CsFree> cs;
    uint8_t uid[16] = {};
    Peer(std::string name, int p, const std::string &base) : user(std::move(name)), port(std::to_string(p)), pin(base + "/pin"),
                                                             dir(base + "/" + user) {
        if (quorvane_client_store_build(nullptr, &keys) != 0) abort();
    }
    ~Peer() {
        cs.reset();
        quorvane_msgstore_close(ms);
        quorvane_device_keys_cleanse(&keys);
    }
    quorvane_cs_config config() {
        quorvane_cs_config c{};
        c.host = "127.0.0.1";
        c.port = port.c_str();
        c.pin_path = pin.c_str();
        c.user = user.c_str();
        c.password = "pw";
        c.keys = &keys;
        c.store = ms;
        return c;
    }
    bool run_to(quorvane_cs_config c, uint32_t want) {
        cs.reset(quorvane_cs_new(&c));
        return cs && pump_until({cs.get()}, [&] { return quorvane_cs_get_state(cs.get()) >= QV_CS_SIGNED_IN; }) &&
               quorvane_cs_get_state(cs.get()) == want;
    }
    bool enroll() {
        quorvane_cs_config c = config();
        c.do_register = 1;
        return run_to(c, QV_CS_REGISTERED);
    }
    bool sign_in() {
        ms = quorvane_msgstore_open(dir.c_str(), kSecret);
        if (!ms || !run_to(config(), QV_CS_SIGNED_IN)) return false;
        std::memcpy(uid, quorvane_cs_user_id(cs.get()), 16);
        return true;
    }
    bool sync() {
        cs->authed.last_sync = 0;
        return quorvane_cs_sync(cs.get()) == 0 && pump_until({cs.get()}, [&] { return quorvane_cs_last_sync(cs.get()) != 0; });
    }
    bool send(const uint8_t conv[16], const std::string &text) {
        uint8_t body[64];
        const size_t n = quorvane_msg_text_encode(text.data(), text.size(), body, sizeof body);
        uint64_t counter = 0, t = 0;
        uint8_t dev[32];
        return n && cs_seal_send(cs.get(), conv, body, n, &counter, &t, dev) == 0;
    }
};

// Microseconds of one 4 KiB pwrite and fdatasync, the median of a second's worth.
double fdatasync_us(const std::string &dir) {
    std::string path = dir + "/floor";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return -1;
    char block[4096] = {};
    std::vector<double> took;
    auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(1)) {
        auto t0 = std::chrono::steady_clock::now();
        if (pwrite(fd, block, sizeof block, 0) != static_cast<ssize_t>(sizeof block) || fdatasync(fd) != 0) break;
        took.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    close(fd);
    unlink(path.c_str());
    if (took.empty()) return -1;
    std::nth_element(took.begin(), took.begin() + took.size() / 2, took.end());
    return took[took.size() / 2];
}

void BM_DirectMessageToStore(benchmark::State &state) {
    qv_bench::ScratchDir scratch;
    const int port = qvnettest::free_port();
    qv_bench::ServerChild server(QV_SERVER_PRODUCT_BIN, scratch.dir + "/srv", port);
    Peer amy("amy", port, scratch.dir), ben("ben", port, scratch.dir);
    bool up = false;
    for (int i = 0; i < 100 && !up; i++) {
        up = amy.enroll();
        if (!up) usleep(100000);
    }
    bool ok = up && ben.enroll() && amy.sign_in() && ben.sign_in() && ben.sync() && quorvane_cs_publish_prekeys(ben.cs.get()) == 0 &&
              ben.sync() && quorvane_cs_request_prekeys(amy.cs.get(), "ben") == 0;
    quorvane_prekey_reply reply{};
    ok = ok && pump_until({amy.cs.get()}, [&] { return quorvane_cs_take_prekeys(amy.cs.get(), &reply) == 1; }) && reply.complete;
    uint8_t conv[16], key[32];
    quorvane_member members[2]{};
    quorvane_peer peer{};
    if (ok) {
        ok = quorvane_random(conv, 16) == 0 && quorvane_random(key, 32) == 0;
        std::memcpy(members[0].user_id, amy.uid, 16);
        std::memcpy(members[0].identity, amy.keys.identity_pub, 32);
        members[0].device_count = 1;
        std::memcpy(members[0].devices[0], amy.keys.device_x25519_pub, 32);
        std::memcpy(members[0].devices[0] + 32, amy.keys.device_ed25519_pub, 32);
        quorvane_cs_peer_from_prekeys(&members[1], &reply);
        quorvane_cs_peer_devices_from_prekeys(&peer, &reply);
    }
    ok = ok && quorvane_cs_create_conv(amy.cs.get(), conv, key, members, 2) == 0 && quorvane_cs_dm_init(amy.cs.get(), conv, &peer) == 0 &&
         amy.sync() && ben.sync();
    // One exchange each way first: the preamble is answered, the sessions are steady.
    ok = ok && amy.send(conv, "hello") &&
         pump_until({amy.cs.get(), ben.cs.get()}, [&] { return quorvane_msgstore_msg_count(ben.ms, conv) == 1; }) && ben.send(conv, "hi") &&
         pump_until({amy.cs.get(), ben.cs.get()}, [&] { return quorvane_msgstore_msg_count(amy.ms, conv) == 1; });
    if (!ok) {
        state.SkipWithError("the server or a client did not come up");
        return;
    }
    std::vector<double> took;
    size_t have = 1;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        if (!amy.send(conv, "message " + std::to_string(have)) ||
            !pump_until({amy.cs.get(), ben.cs.get()}, [&] { return quorvane_msgstore_msg_count(ben.ms, conv) == have + 1; })) {
            state.SkipWithError("a message did not arrive");
            return;
        }
        took.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
        have++;
        uint8_t id[16];
        uint64_t c = 0;
        int ack = 0;
        while (quorvane_cs_poll_send_result(amy.cs.get(), id, &c, &ack) == 1) {}
    }
    std::nth_element(took.begin(), took.begin() + took.size() / 2, took.end());
    const double floor = fdatasync_us(scratch.dir);
    state.counters["median_us"] = took[took.size() / 2];
    state.counters["fdatasync_us"] = floor;
    state.counters["in_fdatasyncs"] = took[took.size() / 2] / floor;
}
BENCHMARK(BM_DirectMessageToStore)->Iterations(200)->Unit(benchmark::kMicrosecond);

}  // namespace
