// What 100 honest clients get from the project's server while one hostile
// account attacks it, beside what they get from the same server left alone:
// sign-ins per second (100 clients at once) and envelopes relayed per second
// (50 conversations of two, each client sending with up to 64
// unacknowledged). The attacker, one account at once: syncs over 2,000
// conversations of its own on four connections, 16 at a time, without pause; floods a
// device that never syncs with envelopes that never open; sends envelopes of
// 1 MiB to a group of 60 devices that never read; parks frames one byte short
// of 1 MiB on six connections; puts the honest users into conversations as
// fast as the server lets it; pings before signing in; and fills the
// server's connection table with plain TCP connections that never speak.
// The server's resident memory is sampled throughout.
#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "bench_wire.h"
#include "net_test_helpers.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <thread>

namespace {

using namespace qv_wire;

constexpr int kHonest = 100;
constexpr int kPerClient = 300;             // envelopes each honest client sends in a relay round
constexpr int kWindow = 64;
constexpr int kOwnConvs = 2000;             // the attacker's conversations, walked by each of its syncs
constexpr int kSilent = 60;                 // devices that never read, in one group with the attacker
constexpr size_t kLargest = 1048558;        // the largest envelope the server takes
constexpr uint32_t kFrameMax = 1u << 20;    // the largest frame payload
constexpr int kTableSize = 4096;            // the server's connections in all

using clock_type = std::chrono::steady_clock;
double since(clock_type::time_point t0) { return std::chrono::duration<double>(clock_type::now() - t0).count(); }

// The CPU seconds the process has used.
double cpu_secs(pid_t pid) {
    FILE *f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!f) return -1;
    char buf[1024];
    const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = 0;
    const char *p = std::strrchr(buf, ')');
    unsigned long long ut = 0, st = 0;
    if (!p || std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &ut, &st) != 2) return -1;
    return static_cast<double>(ut + st) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The i-th of many loopback source addresses, none of them the honest clients' 127.0.0.1.
std::string loopback(int i) { return "127.0." + std::to_string(2 + i / 250) + "." + std::to_string(1 + i % 250); }

bytes sealed_key() { return bytes(80, 7); }

// A conversation of the given users created over `c`; its id.
bytes create(Conn &c, const std::vector<bytes> &uids) {
    bytes id(16), p;
    if (quorvane_random(id.data(), id.size()) != 0) abort();
    p = tlv(17, id);
    for (const bytes &u : uids) p = p + tlv(19, u) + tlv(18, sealed_key());
    return c.send(frame(24, p)) ? id : bytes{};
}

// Reads until a frame of `type`; false when the connection broke.
bool read_until(Conn &c, uint8_t type) {
    for (bytes f = c.read(); !f.empty(); f = c.read())
        if (f[3] == type) return true;
    return false;
}

// A prekey request whose answer (135) comes after everything the frames sent before it caused.
bool settle(Conn &c) { return c.send(frame(6, tlv(14, c.user_id))) && read_until(c, 135); }

struct Honest {
    std::vector<std::unique_ptr<User>> users;
    std::vector<bytes> uids;
    std::vector<bytes> convs;  // convs[i / 2]: users i and i + 1 (i even)
    std::vector<std::unique_ptr<Conn>> conns;

    bool setup(int port) {
        for (int i = 0; i < kHonest; i++) {
            users.push_back(std::make_unique<User>("honest" + std::to_string(i)));
            if (!users.back()->enroll(port)) return false;
        }
        if (!sign_in_all(port, nullptr)) return false;
        for (int i = 0; i < kHonest; i++) uids.push_back(conns[i]->user_id);
        for (int i = 0; i < kHonest; i += 2) {
            convs.push_back(create(*conns[i], {uids[i], uids[i + 1]}));
            if (convs.back().empty()) return false;
        }
        conns.clear();
        return true;
    }

    // Every client signs in at once on a thread of its own; the seconds until the last got in.
    bool sign_in_all(int port, double *secs) {
        conns.clear();
        for (int i = 0; i < kHonest; i++) conns.push_back(std::make_unique<Conn>());
        std::atomic<int> failed{0};
        const auto t0 = clock_type::now();
        std::vector<std::thread> th;
        for (int i = 0; i < kHonest; i++)
            th.emplace_back([&, i] {
                if (!users[i]->sign_in(*conns[i], port)) failed++;
            });
        for (auto &t : th) t.join();
        if (secs) *secs = since(t0);
        return failed == 0;
    }

    // Each client, synced, sends kPerClient envelopes to its partner and reads
    // its acknowledgements and its partner's copies; envelopes per second until
    // every client has all of both.
    double relay(uint64_t round) {
        std::atomic<int> failed{0};
        for (auto &c : conns)
            if (!sync(*c)) return -1;
        const auto t0 = clock_type::now();
        std::vector<std::thread> th;
        for (int i = 0; i < kHonest; i++)
            th.emplace_back([&, i] {
                Conn &c = *conns[i];
                std::vector<bytes> frames;
                for (int k = 0; k < kPerClient; k++)
                    frames.push_back(frame(7, tlv(20, envelope(convs[i / 2], c.user_id, round * kPerClient + k + 1))));
                int sent = 0, acked = 0, live = 0;
                while (acked < kPerClient || live < kPerClient) {
                    while (sent < kPerClient && sent - acked < kWindow)
                        if (!c.send(frames[sent++])) return (void)failed++;
                    const bytes f = c.read();
                    if (f.empty()) return (void)failed++;
                    if (f[3] == 136) {
                        if (find(f, 21).size() != 8) return (void)failed++;
                        acked++;
                    } else if (f[3] == 137 && find(f, 20).size() == 256) {
                        live++;
                    }
                }
            });
        for (auto &t : th) t.join();
        const double secs = since(t0);
        return failed ? -1 : kHonest * kPerClient / secs;
    }
};

// One hostile account and what it runs: setup() makes its accounts and
// conversations; start() begins every attack on threads of its own and
// returns once they are all under way; stop() ends them.
struct Attacker {
    int port;
    const Honest &honest;
    User mal{"mal"}, vic{"vic"};
    std::vector<std::unique_ptr<User>> quiet;
    bytes poison_conv, loud_group;
    std::vector<std::unique_ptr<Conn>> silent, partial, held;
    std::vector<int> raw;
    std::vector<std::thread> threads;
    std::atomic<bool> stop{false};
    size_t partial_made = 0;
    std::atomic<uint64_t> syncs{0}, poison{0}, large{0}, adds_tried{0}, pings{0}, reconnects{0};

    Attacker(int p, const Honest &h) : port(p), honest(h) {}

    bool setup() {
        if (!mal.enroll(port) || !vic.enroll(port)) return false;
        Conn c;
        if (!mal.sign_in(c, port, loopback(0).c_str())) return false;
        Conn v;  // the poison's victim: signed in once for its id, never syncs
        if (!vic.sign_in(v, port)) return false;
        for (int i = 0; i < kOwnConvs; i++)
            if (create(c, {c.user_id}).empty()) return false;
        poison_conv = create(c, {c.user_id, v.user_id});
        std::vector<bytes> members{c.user_id};
        for (int i = 0; i < kSilent; i++) {
            quiet.push_back(std::make_unique<User>("quiet" + std::to_string(i)));
            silent.push_back(std::make_unique<Conn>());
            if (!quiet.back()->enroll(port) || !quiet.back()->sign_in(*silent.back(), port, loopback(1).c_str(), 16384)) return false;
            members.push_back(silent.back()->user_id);
        }
        loud_group = create(c, members);
        if (poison_conv.empty() || loud_group.empty() || !settle(c)) return false;
        for (auto &s : silent)
            if (!sync(*s)) return false;  // synced, so live copies are pushed to them; from now on nothing is read
        return true;
    }

    // A connection of the attacker's account from its own addresses; retried
    // while the account is at its cap (a connection of it was just dropped).
    std::unique_ptr<Conn> connect(int which) {
        while (!stop) {
            auto c = std::make_unique<Conn>();
            if (mal.sign_in(*c, port, loopback(which % 8).c_str())) {
                timeval tv{30, 0};  // a connection the server stopped serving counts as ended
                setsockopt(c->fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
                return c;
            }
            reconnects++;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return nullptr;
    }

    // Runs `step` on a connection of the account until stopped, connecting
    // again whenever the server ends it.
    void loop(int which, bool (*step)(Attacker &, Conn &, uint64_t &), std::atomic<uint64_t> *count) {
        threads.emplace_back([this, which, step, count] {
            uint64_t n = 0;
            for (auto c = connect(which); c && !stop;) {
                if (step(*this, *c, n)) {
                    (*count)++;
                    continue;
                }
                c.reset();
                if (!stop) c = connect(which);
            }
        });
    }

    // A sync frame that comes while one is being sent starts it afresh: only
    // the last of a burst ends (139); a prekey request after it marks that
    // the whole burst was taken (135).
    static bool sync_burst(Attacker &, Conn &c, uint64_t &) {
        bytes burst;
        for (int i = 0; i < 16; i++) burst = burst + frame(8, {});
        if (!c.send(burst + frame(6, tlv(14, c.user_id)))) return false;
        bool ended = false, taken = false;
        for (bytes f = c.read(); !f.empty(); f = c.read()) {
            ended = ended || f[3] == 139;
            taken = taken || f[3] == 135;
            if (ended && taken) return true;
        }
        return false;
    }
    static bool poison_burst(Attacker &a, Conn &c, uint64_t &n) {
        bytes burst;
        for (int i = 0; i < kWindow; i++) burst = burst + frame(7, tlv(20, envelope(a.poison_conv, c.user_id, ++n)));
        if (!c.send(burst)) return false;
        for (int acks = 0; acks < kWindow; acks++)
            if (!read_until(c, 136)) return false;
        return true;
    }
    static bool large_one(Attacker &a, Conn &c, uint64_t &n) {
        return c.send(frame(7, tlv(20, envelope(a.loud_group, c.user_id, ++n, kLargest)))) && read_until(c, 136);
    }
    static bool add_burst(Attacker &a, Conn &c, uint64_t &n) {
        for (int i = 0; i < 16; i++, n++)
            if (create(c, {c.user_id, a.honest.uids[n % kHonest]}).empty()) return false;
        return settle(c);
    }

    bool start() {
        std::signal(SIGPIPE, SIG_IGN);
        stop = false;
        for (int i = 0; i < 4; i++) loop(i, sync_burst, &syncs);
        for (int i = 0; i < 2; i++) loop(4 + i, poison_burst, &poison);
        loop(6, large_one, &large);
        loop(7, add_burst, &adds_tried);
        bytes head = frame(7, {});
        head[4] = static_cast<uint8_t>(kFrameMax >> 24);
        head[5] = static_cast<uint8_t>(kFrameMax >> 16);
        head[6] = static_cast<uint8_t>(kFrameMax >> 8);
        head[7] = static_cast<uint8_t>(kFrameMax);
        const bytes body(kFrameMax - 1, 0x41);
        for (int i = 0; i < 6; i++) {
            auto c = connect(i);
            if (!c) return false;
            if (c->send(head) && c->send(body)) partial.push_back(std::move(c));  // one the server ended past the account's bound is let go
            partial_made = partial.size();
        }
        threads.emplace_back([this] {
            while (!stop) {
                Conn c;
                if (c.open(port, loopback(9).c_str()) && c.send(frame(23, {}))) c.read();  // dropped unanswered
                pings++;
            }
        });
        // Plain connections that never start TLS, 128 from each address, up to the table's size.
        for (int a = 10; static_cast<int>(raw.size()) + kHonest + 64 < kTableSize; a++)
            for (int k = 0; k < 128 && static_cast<int>(raw.size()) + kHonest + 64 < kTableSize; k++) {
                const int fd = qvnettest::connect_from(port, loopback(a));
                if (fd < 0) return false;
                raw.push_back(fd);
            }
        // Under way once every flood has gone round once.
        for (auto t0 = clock_type::now(); since(t0) < 60;) {
            if (syncs && poison && large && adds_tried) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    void end() {
        stop = true;
        for (int fd : raw) close(fd);
        raw.clear();
        partial.clear();
        for (auto &t : threads) t.join();
        threads.clear();
    }
    ~Attacker() { end(); }
};

// Samples the server's resident memory every 20 ms until destroyed.
struct RssWatch {
    pid_t pid;
    long peak = 0;
    std::atomic<bool> stop{false};
    std::thread th{[this] {
        while (!stop) {
            peak = std::max(peak, qvnettest::proc_kib(pid, "VmRSS"));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }};
    explicit RssWatch(pid_t p) : pid(p) {}
    long done() {
        stop = true;
        th.join();
        return peak;
    }
};

struct Figures {
    double sign_ins = 0, relayed = 0, server_cpu = 0;  // the last: the share of one core the server used
};

// Three sign-in rounds and one relay round (the median of the sign-ins).
bool measure(Honest &h, int port, pid_t server, uint64_t round, Figures *f) {
    const double cpu0 = cpu_secs(server);
    const auto t0 = clock_type::now();
    std::vector<double> rates;
    for (int r = 0; r < 3; r++) {
        double secs = 0;
        if (!h.sign_in_all(port, &secs)) return false;
        rates.push_back(kHonest / secs);
    }
    std::sort(rates.begin(), rates.end());
    f->sign_ins = rates[1];
    f->relayed = h.relay(round);
    h.conns.clear();
    f->server_cpu = (cpu_secs(server) - cpu0) / since(t0);
    return f->relayed > 0;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The machine is shared: the server left alone and attacked are measured in
// turns, three times each (alone first, then attacked first, then alone
// first), and the figures are the medians.
void BM_HonestClientsUnderAttack(benchmark::State &state) {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_max < 2 * kTableSize + 1024) {
        state.SkipWithError("the descriptor limit is too low for the server's table");
        return;
    }
    lim.rlim_cur = std::max<rlim_t>(lim.rlim_cur, 2 * kTableSize + 1024);
    setrlimit(RLIMIT_NOFILE, &lim);  // the server inherits it
    qv_bench::ScratchDir scratch;
    const int port = qvnettest::free_port();
    qv_bench::ServerChild server(QV_SERVER_PRODUCT_BIN, scratch.dir + "/srv", port);
    Honest honest;
    bool up = false;
    for (int i = 0; i < 100 && !up; i++) {
        Conn probe;
        up = probe.open(port);
        if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!up || !honest.setup(port)) {
        state.SkipWithError("the server or an honest client did not start");
        return;
    }
    Attacker mal(port, honest);
    if (!mal.setup()) {
        state.SkipWithError("the attacker's accounts did not start");
        return;
    }
    std::vector<double> in_alone, in_attacked, relay_alone, relay_attacked, in_ratio, relay_ratio;
    const long rss_base = qvnettest::proc_kib(server.pid, "VmRSS");
    long rss_alone = 0, rss_attacked = 0;
    for (auto _ : state) {
        for (uint64_t round = 0; round < 3; round++) {
            Figures alone, attacked;
            bool ok_alone = true, under_way = true, ok = true;
            auto quiet = [&](uint64_t n) {
                RssWatch w(server.pid);
                ok_alone = measure(honest, port, server.pid, n, &alone);
                rss_alone = std::max(rss_alone, w.done());
            };
            auto attack = [&](uint64_t n) {
                RssWatch w(server.pid);
                under_way = mal.start();
                ok = under_way && measure(honest, port, server.pid, n, &attacked);
                mal.end();
                rss_attacked = std::max(rss_attacked, w.done());
            };
            // The store grows with every measure (what was relayed, what the attack
            // left): the order alternates, so that neither side is always measured
            // on the larger store.
            if (round % 2 == 0) {
                quiet(2 * round);
                if (ok_alone) attack(2 * round + 1);
            } else {
                attack(2 * round);
                if (ok) quiet(2 * round + 1);
            }
            std::printf("round %llu: %.0f / %.0f sign-ins/s, %.0f / %.0f envelopes/s, server CPU %.2f / %.2f, alone / attacked; attack: %llu sync bursts, "
                        "%llu poison bursts, %llu large envelopes, %llu adds tried, %llu pings, %llu reconnects, %zu partial frames\n",
                        static_cast<unsigned long long>(round), alone.sign_ins, attacked.sign_ins, alone.relayed, attacked.relayed, alone.server_cpu, attacked.server_cpu,
                        static_cast<unsigned long long>(mal.syncs.exchange(0)), static_cast<unsigned long long>(mal.poison.exchange(0)),
                        static_cast<unsigned long long>(mal.large.exchange(0)), static_cast<unsigned long long>(mal.adds_tried.exchange(0)),
                        static_cast<unsigned long long>(mal.pings.exchange(0)), static_cast<unsigned long long>(mal.reconnects.exchange(0)),
                        mal.partial_made);
            if (!ok || !ok_alone) {
                state.SkipWithError(!ok_alone ? "an honest client failed on the server left alone"
                                    : under_way ? "an honest client failed under attack"
                                                : "the attack did not get under way");
                return;
            }
            in_alone.push_back(alone.sign_ins);
            in_attacked.push_back(attacked.sign_ins);
            in_ratio.push_back(attacked.sign_ins / alone.sign_ins);
            relay_alone.push_back(alone.relayed);
            relay_attacked.push_back(attacked.relayed);
            relay_ratio.push_back(attacked.relayed / alone.relayed);
        }
    }
    state.counters["signins_per_s"] = median(in_alone);
    state.counters["signins_per_s_attacked"] = median(in_attacked);
    state.counters["signins_ratio"] = median(in_ratio);
    state.counters["envelopes_per_s"] = median(relay_alone);
    state.counters["envelopes_per_s_attacked"] = median(relay_attacked);
    state.counters["envelopes_ratio"] = median(relay_ratio);
    state.counters["rss_start_mib"] = rss_base / 1024.0;
    state.counters["rss_peak_mib"] = rss_alone / 1024.0;
    state.counters["rss_peak_attacked_mib"] = rss_attacked / 1024.0;
}
BENCHMARK(BM_HonestClientsUnderAttack)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
