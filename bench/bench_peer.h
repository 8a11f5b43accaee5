// A peer device's prekey set, and its bundle as a prekey reply would bring it,
// for the benchmarks that open device sessions.
#pragma once

#include "client_seal.h"
#include "quorvane_crypto.h"

#include <cstdlib>
#include <cstring>

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

}  // namespace qv_bench
