// The backlog that the worker benchmarks share: the project's server, a
// sender on a plain session ("amy") and a receiving account ("ben")
// registered through its worker and stopped, so that 10,000 texts wait for
// it; a worker configuration per account, and a probe that times one call
// of the worker's public API again and again from its own thread.
#pragma once

#include <benchmark/benchmark.h>

#include "bench_peer.h"
#include "bench_support.h"
#include "client_msgstore.h"
#include "client_seal.h"
#include "client_send.h"
#include "client_session.h"
#include "net_test_helpers.h"
#include "quorvane_crypto.h"
#include "quorvane_msg.h"
#include "worker_internal.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qv_backlog {

using clk = std::chrono::steady_clock;
inline constexpr size_t kBacklog = 10000;
inline constexpr auto kDeadline = std::chrono::seconds(120);
inline const std::string kText(120, 'b');
inline const char *const kPassword = "correct horse";

inline double ms_since(clk::time_point t0) { return std::chrono::duration<double, std::milli>(clk::now() - t0).count(); }

struct WorkerStop {
    void operator()(quorvane_worker *w) const { quorvane_worker_stop(w); }
};
using WorkerPtr = std::unique_ptr<quorvane_worker, WorkerStop>;

using qv_bench::pump_until;

template <class F> bool poll_until(F done, int sleep_us = 1000) {
    const auto end = clk::now() + kDeadline;
    while (!done()) {
        if (clk::now() > end) return false;
        usleep(static_cast<useconds_t>(sleep_us));
    }
    return true;
}

// A worker's configuration with its own key store, pin and message store.
struct Account {
    std::string dir, user, port, keystore, pin, store;
    quorvane_worker_config c{};
    uint8_t uid[16] = {};
    Account(const std::string &base, std::string name, const std::string &server_port)
        : dir(base + "/" + name), user(std::move(name)), port(server_port), keystore(dir + "/keys"), pin(dir + "/pin"),
          store(dir + "/store") {
        mkdir(dir.c_str(), 0700);
        c.server_host = "127.0.0.1";
        c.server_port = port.c_str();
        c.username = user.c_str();
        c.password = kPassword;
        c.keystore_path = keystore.c_str();
        c.pin_path = pin.c_str();
        c.msgstore_dir = store.c_str();
        c.backoff_initial_ms = 100;
        c.backoff_max_ms = 400;
    }
    static bool connected(quorvane_worker *w) {
        quorvane_worker_status s{};
        return quorvane_worker_get(w, &s) == 0 && s.code == QV_WS_CONNECTED;
    }
    WorkerPtr start(int reg) {
        c.register_ = reg;
        WorkerPtr w(quorvane_worker_start(&c));
        if (!w || !poll_until([&] { return connected(w.get()); })) return nullptr;
        quorvane_worker_status s{};
        (void)quorvane_worker_get(w.get(), &s);
        std::memcpy(uid, s.user_id, 16);
        return w;
    }
};

// Messages received in all, counted by the newest counter of each
// conversation: one sender numbers its texts from 1 and the store keeps only
// the newest 2,000 of a conversation live.
inline size_t stored_total(quorvane_worker *w) {
    size_t n = 0;
    quorvane_worker_test_with_store(
        w,
        [](quorvane_msgstore *ms, void *u) {
            auto *n = static_cast<size_t *>(u);
            quorvane_ms_msgrec rec{};
            for (size_t i = 0; ms && i < quorvane_msgstore_conv_count(ms); i++) {
                const uint8_t *id = quorvane_msgstore_conv_at(ms, i)->id;
                const size_t held = quorvane_msgstore_msg_count(ms, id);
                if (held && quorvane_msgstore_msg_at(ms, id, held - 1, &rec) == 0) *n += rec.msg_id;
            }
        },
        &n);
    return n;
}

// Calls quorvane_worker_get (or another call) every 50 µs from its own thread:
// each call's duration is the wait for the worker's mutex plus a copy of 200
// bytes.
struct LockProbe {
    quorvane_worker *w;
    std::atomic<bool> stop{false};
    std::vector<double> us;
    std::thread t;
    explicit LockProbe(quorvane_worker *worker)
        : LockProbe(worker, [](quorvane_worker *x) {
              quorvane_worker_status s{};
              (void)quorvane_worker_get(x, &s);
          }) {}
    // the same for any public call: its duration is mostly its wait for the locks it takes
    LockProbe(quorvane_worker *worker, std::function<void(quorvane_worker *)> call) : w(worker) {
        us.reserve(1 << 22);
        t = std::thread([this, call = std::move(call)] {
            while (!stop.load(std::memory_order_relaxed)) {
                const auto t0 = clk::now();
                call(w);
                us.push_back(std::chrono::duration<double, std::micro>(clk::now() - t0).count());
                // a pause between calls: with none, this thread takes the mutex
                // back before the worker's thread gets it (no fairness)
                usleep(50);
            }
        });
    }
    void finish(benchmark::State &state, const std::string &tag) {
        stop = true;
        t.join();
        if (us.empty()) return;
        std::sort(us.begin(), us.end());
        state.counters[tag + "_lock_max_ms"] = us.back() / 1e3;
        state.counters[tag + "_lock_p99_ms"] = us[us.size() * 99 / 100] / 1e3;
        state.counters[tag + "_lock_calls"] = static_cast<double>(us.size());
    }
};

// The server, a sender on a plain session ("amy") and a receiving account
// ("ben") registered through its worker, then stopped: its messages wait.
struct Backlog {
    qv_bench::ScratchDir scratch;
    int port = qvnettest::free_port();
    qv_bench::ServerChild server{QV_SERVER_PRODUCT_BIN, scratch.dir + "/srv", port};
    std::string port_s = std::to_string(port), pin = scratch.dir + "/amy-pin";
    qv_bench::PlainAccount amy{port_s, pin};
    Account ben{scratch.dir, "ben", port_s};
    bool ok = false;

    Backlog() {
        if (!amy.up(scratch.dir + "/amy-store", nullptr)) return;
        ok = ben.start(1) != nullptr;
    }
    quorvane_member own() const {
        quorvane_member m{};
        std::memcpy(m.user_id, quorvane_cs_user_id(amy.cs.get()), 16);
        std::memcpy(m.identity, amy.keys.identity_pub, 32);
        m.device_count = 1;
        std::memcpy(m.devices[0], amy.keys.device_x25519_pub, 32);
        std::memcpy(m.devices[0] + 32, amy.keys.device_ed25519_pub, 32);
        return m;
    }
    bool peer(quorvane_member *out) {
        quorvane_prekey_reply r{};
        if (quorvane_cs_request_prekeys(amy.cs.get(), "ben") != 0 ||
            !pump_until(amy.cs.get(), [&] { return quorvane_cs_take_prekeys(amy.cs.get(), &r) == 1; }) || !r.complete)
            return false;
        quorvane_cs_peer_from_prekeys(out, &r);
        return true;
    }
    // `convs` conversations with ben, kBacklog texts spread over them, every one acknowledged.
    bool fill(size_t convs, std::vector<std::array<uint8_t, 32>> *conv_keys) {
        quorvane_member members[2] = {own(), {}};
        if (!peer(&members[1])) return false;
        std::vector<std::array<uint8_t, 16>> ids(convs);
        conv_keys->resize(convs);
        for (size_t i = 0; i < convs; i++) {
            if (quorvane_random(ids[i].data(), 16) != 0 || quorvane_random((*conv_keys)[i].data(), 32) != 0 ||
                quorvane_cs_create_conv(amy.cs.get(), ids[i].data(), (*conv_keys)[i].data(), members, 2) != 0)
                return false;
            quorvane_cs_pump(amy.cs.get());
        }
        size_t acked = 0;
        uint8_t cid[16];
        uint64_t counter = 0;
        int good = 0;
        auto drain = [&] {
            while (quorvane_cs_poll_send_result(amy.cs.get(), cid, &counter, &good) == 1)
                if (good) acked++;
        };
        // sealed and sent without the own copy: a sender keeping ten thousand
        // copies of its own would measure its store, not the receiver
        std::vector<uint8_t> body(kText.size() + 16);
        body.resize(quorvane_msg_text_encode(kText.data(), kText.size(), body.data(), body.size()));
        for (size_t i = 0; i < kBacklog; i++) {
            const uint8_t *conv = ids[i % convs].data();
            uint64_t ctr = 0, at = 0;
            uint8_t dev[32];
            if (!pump_until(amy.cs.get(), [&] {
                    drain();
                    return quorvane_cs_pending_room(amy.cs.get()) > 0 && quorvane_cs_send_room(amy.cs.get()) > 0;
                }) ||
                cs_seal_send(amy.cs.get(), conv, body.data(), body.size(), &ctr, &at, dev) != 0)
                return false;
        }
        return pump_until(amy.cs.get(), [&] {
            drain();
            return acked == kBacklog;
        });
    }
    // The backlog filled over `convs` conversations, then ben's worker
    // started on it as the app's next launch does (the account exists: it
    // signs in); *t0 is the start. Null, with the benchmark marked, on failure.
    WorkerPtr fill_and_start(benchmark::State &state, size_t convs, clk::time_point *t0) {
        std::vector<std::array<uint8_t, 32>> keys;
        if (!ok || !fill(convs, &keys)) {
            state.SkipWithError("setup failed");
            return nullptr;
        }
        ben.c.register_ = 0;
        *t0 = clk::now();
        WorkerPtr w(quorvane_worker_start(&ben.c));
        if (!w) state.SkipWithError("start failed");
        return w;
    }
};

}  // namespace qv_backlog
