// A peer device's prekey set, and its bundle as a prekey reply would bring it,
// for the benchmarks that open device sessions; and a plain protocol session
// signed in to a server of our own, for those that drive the server.
#pragma once

#include "client_seal.h"
#include "client_session.h"
#include "quorvane_crypto.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

namespace qv_bench {

struct PeerDevice {
    quorvane_dm_prekeys set{};
    quorvane_peer_device dev{};
    PeerDevice() {
        uint8_t xp[32], xq[32], ep[32], eq[32];
        if (quorvane_x25519_keypair(xp, xq) != 0 || quorvane_ed25519_keypair(ep, eq) != 0 ||
            quorvane_dm_prekeys_generate(&set, xp, xq, ep, eq, 1) != 0)
            std::abort();
        std::memcpy(dev.bundle.dev_x, set.dev_x_pub, 32);
        std::memcpy(dev.bundle.dev_ed, set.dev_ed_pub, 32);
        dev.bundle.spk_id = set.spk_id;
        std::memcpy(dev.bundle.spk, set.spk_pub, 32);
        std::memcpy(dev.bundle.sig, set.spk_sig, 64);
        dev.has_spk = 1;
    }
    ~PeerDevice() { quorvane_dm_prekeys_wipe(&set); }
    PeerDevice(const PeerDevice &) = delete;
    PeerDevice &operator=(const PeerDevice &) = delete;
};

struct CsFree {
    void operator()(quorvane_cs *cs) const { quorvane_cs_free(cs); }
};

template <class F> bool pump_until(quorvane_cs *cs, F done, std::chrono::seconds limit = std::chrono::seconds(120)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        quorvane_cs_pump(cs);
    }
    return true;
}

// Account "amy" on a plain session: registered (tried again while the server
// starts), then signed in with its store. Declared after the server and the
// scratch directory that hold it, so it goes before them.
struct PlainAccount {
    std::string port_s, pin;
    quorvane_device_keys keys{};
    quorvane_msgstore *ms = nullptr;
    std::unique_ptr<quorvane_cs, CsFree> cs;
    PlainAccount(std::string port, std::string pin_path) : port_s(std::move(port)), pin(std::move(pin_path)) {}
    ~PlainAccount() {
        cs.reset();
        quorvane_msgstore_close(ms);
        quorvane_device_keys_cleanse(&keys);
    }
    PlainAccount(const PlainAccount &) = delete;
    PlainAccount &operator=(const PlainAccount &) = delete;
    quorvane_cs_config config(int reg) {
        quorvane_cs_config c{};
        c.host = "127.0.0.1";
        c.port = port_s.c_str();
        c.pin_path = pin.c_str();
        c.user = "amy";
        c.password = "pw";
        c.keys = &keys;
        c.store = ms;
        c.do_register = reg;
        return c;
    }
    bool run_to(int reg, uint32_t want) {
        quorvane_cs_config c = config(reg);
        cs.reset(quorvane_cs_new(&c));
        return cs && pump_until(cs.get(), [&] { return quorvane_cs_get_state(cs.get()) >= QV_CS_SIGNED_IN; }) &&
               quorvane_cs_get_state(cs.get()) == want;
    }
    // The store at `dir` is sealed under `secret`, or the identity key when null.
    bool up(const std::string &dir, const uint8_t *secret) {
        if (quorvane_client_store_build(nullptr, &keys) != 0) return false;
        bool registered = false;
        for (int i = 0; i < 100 && !registered; i++) {
            registered = run_to(1, QV_CS_REGISTERED);
            if (!registered) usleep(100000);
        }
        ms = quorvane_msgstore_open(dir.c_str(), secret ? secret : keys.identity_priv);
        return registered && ms && run_to(0, QV_CS_SIGNED_IN);
    }
};

}  // namespace qv_bench
