// Session fixtures shared by the engine suites: device keys, a configuration
// for each mode, a pump loop, and the test clock.
#pragma once

#include "client_session.h"
#include "engine_clock.h"
#include "engine_support.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace qvtest {

inline std::atomic<uint64_t> g_fake_now{0};
inline uint64_t fake_clock() { return g_fake_now.load(); }

// Runs the engine on a clock the test moves by hand, for as long as it lives.
struct FakeClock {
    FakeClock() {
        g_fake_now = 1000000;
        quorvane_engine_set_clock(fake_clock);
    }
    ~FakeClock() { quorvane_engine_set_clock(nullptr); }
    void advance(uint64_t ms) { g_fake_now += ms; }
};

struct Keys {
    quorvane_device_keys k{};
    Keys() { EXPECT_EQ(quorvane_client_store_build(nullptr, &k), 0); }
    explicit Keys(const uint8_t seed[32]) { EXPECT_EQ(quorvane_client_store_build(seed, &k), 0); }
    ~Keys() { quorvane_device_keys_cleanse(&k); }
};

struct CsDeleter {
    void operator()(quorvane_cs *cs) const { quorvane_cs_free(cs); }
};
using CsPtr = std::unique_ptr<quorvane_cs, CsDeleter>;

inline quorvane_cs_config base_config(const std::string &port, const std::string &pin, const char *user, const char *password,
                                      quorvane_device_keys *keys) {
    static thread_local std::string port_s, pin_s;
    port_s = port;
    pin_s = pin;
    quorvane_cs_config c{};
    c.host = "127.0.0.1";
    c.port = port_s.c_str();
    c.pin_path = pin_s.c_str();
    c.user = user;
    c.password = password;
    c.keys = keys;
    return c;
}

inline bool final_or_signed_in(uint32_t st) {
    return st == QV_CS_SIGNED_IN || (st >= QV_CS_REGISTERED && st <= QV_CS_FAILED) || st == QV_CS_ESCROW_READY ||
           st == QV_CS_ESCROW_REFUSED || st == QV_CS_RECOVERED || st == QV_CS_RECOVER_REFUSED || st == QV_CS_PREAUTH_READY;
}

// What a scripted peer received, in order, shared with the test's thread.
struct Recorder {
    std::mutex m;
    std::vector<std::vector<uint8_t>> frames;
    void add(const std::vector<uint8_t> &f) {
        std::lock_guard<std::mutex> g(m);
        frames.push_back(f);
    }
    std::vector<std::vector<uint8_t>> all() {
        std::lock_guard<std::mutex> g(m);
        return frames;
    }
    bool has_type(int t) {
        std::lock_guard<std::mutex> g(m);
        for (auto &f : frames)
            if (f.size() >= 8 && f[3] == t) return true;
        return false;
    }
};

// Pumps until the session is signed in or final (or 60 s of real time pass).
inline uint32_t drive(quorvane_cs *cs, int limit_ms = 60000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (!final_or_signed_in(quorvane_cs_get_state(cs)) && std::chrono::steady_clock::now() < end) {
        quorvane_cs_pump(cs);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return quorvane_cs_get_state(cs);
}

// A new device's escrow fetch with this configuration: the identity seed it
// opens; the session stays in *keep when asked for.
inline void fetch_escrow_seed(quorvane_cs_config c, uint8_t seed[32], CsPtr *keep = nullptr) {
    c.escrow_fetch = 1;
    CsPtr cs(quorvane_cs_new(&c));
    ASSERT_EQ(drive(cs.get()), QV_CS_ESCROW_READY);
    ASSERT_EQ(quorvane_cs_take_escrow_seed(cs.get(), seed), 0);
    if (keep) *keep = std::move(cs);
}

// Runs one session to its end and gives its state and reason.
struct Outcome {
    uint32_t state;
    uint8_t reason;
    std::string detail;
};
inline Outcome run(const quorvane_cs_config &cfg) {
    CsPtr cs(quorvane_cs_new(&cfg));
    EXPECT_NE(cs, nullptr);
    if (!cs) return {99, 0, ""};
    uint32_t st = drive(cs.get());
    const char *d = quorvane_cs_fail_detail(cs.get());
    return {st, quorvane_cs_fail_reason(cs.get()), d ? d : ""};
}

// Runs a pre-authentication session to its answer and takes it; false when
// it ended elsewhere or there was nothing to take.
inline bool preauth_answer(quorvane_cs_config c, int kind, const char *code, quorvane_cs_preauth_info *info) {
    c.preauth_kind = kind;
    c.code = code;
    CsPtr cs(quorvane_cs_new(&c));
    if (!cs || drive(cs.get()) != QV_CS_PREAUTH_READY || quorvane_cs_preauth(cs.get(), info) != 0) return false;
    return quorvane_cs_preauth(cs.get(), info) == -1 && all_zero(&cs->preauth, sizeof cs->preauth);  // taken once, wiped
}

}  // namespace qvtest
