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
#include "bench_wire.h"
#include "net_test_helpers.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <thread>
#include <unistd.h>

namespace {

using namespace qv_wire;

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
        users.push_back(std::make_unique<User>(std::string("sender").append(std::to_string(i))));
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
