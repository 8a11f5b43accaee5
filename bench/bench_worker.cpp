// The background worker through the project's server on loopback, each
// figure beside its floor in the same run:
// - backlog: a device off-line while 10,000 texts arrived (one conversation,
//   or 32: as many as one user may put another into in a day) signs in; start to the last one stored, beside opening envelopes
//   of the same size under the same key with the envelope open call alone;
// - the worker's mutex as a screen sees it: how long quorvane_worker_get waits
//   during that backlog, during a password change, and on both devices
//   while one sends a 50 MB history to the other;
// - resident memory of a signed-in worker with 4,096 conversations, one of
//   them 2,000 messages long;
// - send latency from quorvane_worker_send_text to the peer's notify hook,
//   beside one 4 KiB write and fdatasync on the same disk.
// Figures are counters of one iteration each: a pass is seconds long.
#include <benchmark/benchmark.h>

#include "bench_backlog.h"
#include "bench_peer.h"
#include "bench_support.h"
#include "client_authed.h"
#include "client_deliver.h"
#include "client_msgstore.h"
#include "client_seal.h"
#include "client_send.h"
#include "client_session.h"
#include "client_store.h"
#include "net_test_helpers.h"
#include "quorvane_crypto.h"
#include "quorvane_envelope.h"
#include "quorvane_msg.h"
#include "worker_internal.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace qv_backlog;

// The crypto-only floor: kBacklog envelopes like the ones on the wire (the
// text body under a conversation key) opened one after another.
double floor_open_ms() {
    uint8_t key[32];
    if (quorvane_random(key, 32) != 0) return -1;
    std::vector<uint8_t> body(kText.size() + 16);
    body.resize(quorvane_msg_text_encode(kText.data(), kText.size(), body.data(), body.size()));
    std::vector<std::vector<uint8_t>> envs(kBacklog);
    quorvane_env_header h{};
    for (size_t i = 0; i < kBacklog; i++) {
        h.counter = i + 1;
        envs[i].resize(body.size() + QV_ENV_OVERHEAD);
        size_t n = 0;
        if (quorvane_random(h.salt, sizeof h.salt) != 0 ||
            quorvane_env_seal(key, &h, body.data(), body.size(), envs[i].data(), envs[i].size(), &n) != 0)
            return -1;
        envs[i].resize(n);
    }
    std::vector<uint8_t> out(body.size() + 64);
    const auto t0 = clk::now();
    for (const auto &e : envs) {
        size_t n = 0;
        if (quorvane_env_open(key, e.data(), e.size(), nullptr, out.data(), out.size(), &n) != 0) return -1;
    }
    return ms_since(t0);
}

void BM_Backlog(benchmark::State &state) {
    const size_t convs = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        Backlog b;
        clk::time_point t0;
        WorkerPtr w = b.fill_and_start(state, convs, &t0);
        if (!w) return;
        LockProbe probe(w.get());
        // sign-in (the key store's scrypt, TLS, the login) apart from the stream
        double signed_in_ms = -1;
        const bool all = poll_until(
            [&] {
                if (signed_in_ms < 0 && Account::connected(w.get())) signed_in_ms = ms_since(t0);
                return stored_total(w.get()) >= kBacklog;
            },
            2000);
        const double took = ms_since(t0);
        probe.finish(state, "backlog");
        if (!all) {
            state.SkipWithError("not every message was stored");
            return;
        }
        const double floor_ms = floor_open_ms();
        state.counters["start_to_last_stored_ms"] = took;
        state.counters["signed_in_to_last_stored_ms"] = took - signed_in_ms;
        state.counters["floor_open_ms"] = floor_ms;
        state.counters["speed_vs_floor"] = floor_ms / took;
        state.counters["msgs_per_s"] = kBacklog / (took / 1e3);
    }
    state.SetLabel(std::to_string(kBacklog) + " texts over " + std::to_string(convs) + " conversation(s)");
}
BENCHMARK(BM_Backlog)->Arg(1)->Arg(32)->Iterations(1)->Unit(benchmark::kMillisecond);

// The mutex during a password change: the command queued as the screens'
// password dialog does (kind 52), waited for through its result slot.
void BM_LockPasswordChange(benchmark::State &state) {
    for (auto _ : state) {
        qv_bench::ScratchDir scratch;
        const int port = qvnettest::free_port();
        qv_bench::ServerChild server{QV_SERVER_PRODUCT_BIN, scratch.dir + "/srv", port};
        Account a{scratch.dir, "amy", std::to_string(port)};
        WorkerPtr w;
        for (int i = 0; i < 50 && !w; i++) w = a.start(1);
        if (!w) {
            state.SkipWithError("setup failed");
            return;
        }
        LockProbe probe(w.get());
        auto *c = static_cast<quorvane_wcmd *>(std::calloc(1, sizeof(quorvane_wcmd)));
        c->kind = 52;
        c->text = strdup(kPassword);
        c->text2 = strdup("a new password of ours");
        const auto t0 = clk::now();
        if (cmd_enqueue(w.get(), c) != 0) {
            probe.finish(state, "pwchange");
            state.SkipWithError("queue refused");
            return;
        }
        int code = -1;
        const bool done = poll_until([&] {
            pthread_mutex_lock(&w->mu);
            if (w->pwchange_ready) code = w->pwchange_code;
            pthread_mutex_unlock(&w->mu);
            return code >= 0;
        });
        state.counters["pwchange_ms"] = ms_since(t0);
        usleep(200000);  // the key store is sealed again after the result
        probe.finish(state, "pwchange");
        state.counters["pwchange_code"] = code;
        if (!done) state.SkipWithError("no result");
    }
}
BENCHMARK(BM_LockPasswordChange)->Iterations(1)->Unit(benchmark::kMillisecond);

long rss_kib() {
    std::ifstream f("/proc/self/status");
    for (std::string line; std::getline(f, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// A server and an account registered through its worker, which stopped
// again; the account's message store is open for the benchmark to fill before
// the worker starts anew. `ms` is null, and the benchmark skipped, when the
// set-up failed.
struct StoredAccount {
    qv_bench::ScratchDir scratch;
    int port = qvnettest::free_port();
    qv_bench::ServerChild server{QV_SERVER_PRODUCT_BIN, scratch.dir + "/srv", port};
    Account a{scratch.dir, "amy", std::to_string(port)};
    quorvane_msgstore *ms = nullptr;
    explicit StoredAccount(benchmark::State &state) {
        bool registered = false;
        for (int i = 0; i < 50 && !registered; i++) registered = a.start(1) != nullptr;
        quorvane_device_keys k{};
        if (!registered || quorvane_client_store_open(a.keystore.c_str(), kPassword, &k) != 0) {
            state.SkipWithError("setup failed");
            return;
        }
        ms = quorvane_msgstore_open(a.store.c_str(), k.identity_priv);
        quorvane_device_keys_cleanse(&k);
        if (!ms) state.SkipWithError("store failed");
    }
};

// 4,096 conversations written into the account's store before its worker
// starts, one with 2,000 messages; resident growth once it is signed in.
void BM_Memory(benchmark::State &state) {
    for (auto _ : state) {
        StoredAccount sa(state);
        if (!sa.ms) return;
        Account &a = sa.a;
        quorvane_msgstore *ms = sa.ms;
        uint8_t big[16] = {};
        for (uint32_t i = 0; i < 4096; i++) {
            uint8_t id[16] = {}, key[32] = {};
            std::memcpy(id, &i, 4);
            id[15] = 0xC0;
            key[0] = static_cast<uint8_t>(i);
            if (quorvane_msgstore_put_conv(ms, id, key) != 0) break;
            if (i == 0) std::memcpy(big, id, 16);
        }
        auto rec = std::make_unique<quorvane_ms_msgrec>();
        std::memcpy(rec->conv_id, big, 16);
        std::memcpy(rec->author, a.uid, 16);
        rec->type = QV_MS_TYPE_TEXT;
        rec->text_len = kText.size();
        std::memcpy(rec->text, kText.data(), kText.size());
        quorvane_msgstore_set_msg_cap(ms, 2000);
        for (uint64_t i = 1; i <= 2000; i++) {
            rec->msg_id = i;
            rec->time = 1700000000000ull + i;
            if (quorvane_msgstore_add_msg(ms, rec.get()) < 0) break;
        }
        const size_t convs = quorvane_msgstore_conv_count(ms), msgs = quorvane_msgstore_msg_count(ms, big);
        quorvane_msgstore_close(ms);
        const long before = rss_kib();
        WorkerPtr w = a.start(0);
        if (!w) {
            state.SkipWithError("sign-in failed");
            return;
        }
        poll_until([&] {
            pthread_mutex_lock(&w->mu);
            const bool synced = w->last_sync != 0;
            pthread_mutex_unlock(&w->mu);
            return synced;
        });
        const long after = rss_kib();
        state.counters["convs"] = static_cast<double>(convs);
        state.counters["msgs_in_big"] = static_cast<double>(msgs);
        state.counters["rss_delta_MiB"] = (after - before) / 1024.0;
        state.counters["rss_total_MiB"] = after / 1024.0;
    }
}
BENCHMARK(BM_Memory)->Iterations(1)->Unit(benchmark::kMillisecond);

// The mutex while a second own device takes the history: the first device
// exports about 50 MB (26 conversations of 2,000 texts of 1,000 bytes),
// seals it and sends it in chunks; the new one opens and imports it. A getter
// polls each device's worker throughout.
void BM_LockHistoryExport(benchmark::State &state) {
    constexpr uint32_t kConvs = 26, kMsgs = 2000;
    for (auto _ : state) {
        StoredAccount sa(state);
        if (!sa.ms) return;
        Account &a = sa.a;
        quorvane_msgstore *ms = sa.ms;
        quorvane_msgstore_set_msg_cap(ms, kMsgs);
        auto rec = std::make_unique<quorvane_ms_msgrec>();
        const std::string text(1000, 'h');
        rec->type = QV_MS_TYPE_TEXT;
        rec->text_len = text.size();
        std::memcpy(rec->text, text.data(), text.size());
        std::memcpy(rec->author, a.uid, 16);
        quorvane_msgstore_batch_begin(ms);
        for (uint32_t c = 0; c < kConvs; c++) {
            uint8_t id[16] = {}, key[32] = {};
            std::memcpy(id, &c, 4);
            id[15] = 0xE0;
            key[0] = static_cast<uint8_t>(c + 1);
            if (quorvane_msgstore_put_conv(ms, id, key) != 0) break;
            std::memcpy(rec->conv_id, id, 16);
            for (uint64_t i = 1; i <= kMsgs; i++) {
                rec->msg_id = i;
                rec->time = 1700000000000ull + i;
                if (quorvane_msgstore_add_msg(ms, rec.get()) < 0) break;
            }
        }
        (void)quorvane_msgstore_batch_end(ms);
        size_t exported = 0;
        uint8_t *plain = quorvane_msgstore_export_history(ms, &exported);
        quorvane_msgstore_export_free(plain, exported);
        quorvane_msgstore_close(ms);

        WorkerPtr first = a.start(0);
        // the second device of the same account: a fresh key file joins by escrow
        Account b{sa.scratch.dir, "amy-second", std::to_string(sa.port)};
        b.user = "amy";
        b.c.username = b.user.c_str();
        if (!first) {
            state.SkipWithError("sign-in failed");
            return;
        }
        LockProbe exporting(first.get());
        const auto t0 = clk::now();
        WorkerPtr second(quorvane_worker_start(&b.c));
        if (!second) {
            exporting.finish(state, "export");
            state.SkipWithError("second device failed");
            return;
        }
        LockProbe importing(second.get());
        const size_t want = size_t(kConvs) * kMsgs;
        const bool all = poll_until(
            [&] {
                size_t n = 0;
                quorvane_worker_test_with_store(
                    second.get(),
                    [](quorvane_msgstore *m, void *u) {
                        for (size_t i = 0; m && i < quorvane_msgstore_conv_count(m); i++)
                            *static_cast<size_t *>(u) += quorvane_msgstore_msg_count(m, quorvane_msgstore_conv_at(m, i)->id);
                    },
                    &n);
                return n >= want;
            },
            20000);
        state.counters["history_MB"] = exported / 1e6;
        state.counters["join_to_imported_ms"] = ms_since(t0);
        exporting.finish(state, "export");
        importing.finish(state, "import");
        if (!all) state.SkipWithError("the history did not arrive whole");
    }
}
BENCHMARK(BM_LockHistoryExport)->Iterations(1)->Unit(benchmark::kMillisecond);

// One 4 KiB write and fdatasync in the scratch directory's file system.
double fdatasync_us(const std::string &dir) {
    const std::string path = dir + "/sync-probe";
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    if (fd < 0) return -1;
    std::vector<uint8_t> page(4096, 0x5A);
    std::vector<double> us;
    for (int i = 0; i < 50; i++) {
        const auto t0 = clk::now();
        if (pwrite(fd, page.data(), page.size(), 0) != 4096 || fdatasync(fd) != 0) break;
        us.push_back(std::chrono::duration<double, std::micro>(clk::now() - t0).count());
    }
    close(fd);
    if (us.empty()) return -1;
    std::sort(us.begin(), us.end());
    return us[us.size() / 2];
}

struct Hooked {
    std::atomic<uint64_t> calls{0};
    static void hook(void *u) { static_cast<Hooked *>(u)->calls.fetch_add(1); }
};

void BM_SendLatency(benchmark::State &state) {
    constexpr int kRounds = 200;
    for (auto _ : state) {
        qv_bench::ScratchDir scratch;
        const int port = qvnettest::free_port();
        qv_bench::ServerChild server{QV_SERVER_PRODUCT_BIN, scratch.dir + "/srv", port};
        Account amy{scratch.dir, "amy", std::to_string(port)}, ben{scratch.dir, "ben", std::to_string(port)};
        WorkerPtr a, b;
        for (int i = 0; i < 50 && !a; i++) a = amy.start(1);
        if (a) b = ben.start(1);
        if (!a || !b || quorvane_worker_request_prekeys(a.get(), "ben") != 0) {
            state.SkipWithError("setup failed");
            return;
        }
        quorvane_prekey_reply r{};
        if (!poll_until([&] { return quorvane_worker_take_prekeys(a.get(), &r) == 1 && std::memcmp(r.user_id, ben.uid, 16) == 0; })) {
            state.SkipWithError("no bundle");
            return;
        }
        quorvane_member m{};
        quorvane_cs_peer_from_prekeys(&m, &r);
        uint8_t conv[16], key[32];
        if (quorvane_random(conv, 16) != 0 || quorvane_random(key, 32) != 0 || quorvane_worker_create_conv(a.get(), conv, key, &m, 1) != 0) {
            state.SkipWithError("create refused");
            return;
        }
        Hooked hooked;
        quorvane_worker_set_notify_hook(b.get(), Hooked::hook, &hooked);
        std::vector<double> us;
        quorvane_notification n{};
        // the first text also carries the conversation to ben: not counted
        for (int i = 0; i <= kRounds; i++) {
            while (quorvane_worker_poll_notification(b.get(), &n) == 1) {
            }
            const std::string text = "ping " + std::to_string(i);
            const auto t0 = clk::now();
            if (quorvane_worker_send_text(a.get(), conv, text.c_str()) != 0) break;
            bool got = false;
            const auto end = t0 + kDeadline;
            while (!got && clk::now() < end) {
                const uint64_t seen = hooked.calls.load();
                while (quorvane_worker_poll_notification(b.get(), &n) == 1)
                    if (std::strstr(n.preview, text.c_str())) got = true;
                if (!got)
                    while (hooked.calls.load() == seen && clk::now() < end) usleep(20);
            }
            if (!got) break;
            if (i > 0) us.push_back(std::chrono::duration<double, std::micro>(clk::now() - t0).count());
            uint8_t c[16];
            uint64_t ctr;
            int ok;
            while (quorvane_worker_poll_send_result(a.get(), c, &ctr, &ok) == 1) {
            }
        }
        quorvane_worker_set_notify_hook(b.get(), nullptr, nullptr);
        if (us.size() != kRounds) {
            state.SkipWithError("a text did not arrive");
            return;
        }
        std::sort(us.begin(), us.end());
        state.counters["p50_ms"] = us[us.size() / 2] / 1e3;
        state.counters["p99_ms"] = us[us.size() * 99 / 100] / 1e3;
        state.counters["fdatasync_4KiB_ms"] = fdatasync_us(scratch.dir) / 1e3;
    }
}
BENCHMARK(BM_SendLatency)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
