// Helpers of the key-agreement and sealed-send tests: layouts written out by
// hand, and the bundle a peer would be given for a prekey set.
#pragma once

#include "client_dm.h"
#include "client_seal.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <cstring>
#include <vector>

namespace qvdm {

using Bytes = std::vector<uint8_t>;

// Hand-written layouts: runs of one byte value, big-endian words, raw bytes, TLV heads.
struct Build {
    Bytes b;
    Build &rep(uint8_t v, size_t n) { b.insert(b.end(), n, v); return *this; }
    Build &u64(uint64_t v) { for (int s = 56; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s)); return *this; }
    Build &u32(uint32_t v) { for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s)); return *this; }
    Build &u8(uint8_t v) { b.push_back(v); return *this; }
    Build &raw(const void *p, size_t n) { auto q = static_cast<const uint8_t *>(p); b.insert(b.end(), q, q + n); return *this; }
    Build &text(const char *s) { return raw(s, std::strlen(s)); }
    Build &tlv(uint8_t tag, uint32_t len) { return u8(tag).u32(len); }
};

// The published side of a set; otk_index < 0 gives a bundle without a one-time prekey.
inline quorvane_dm_bundle bundle_of(const quorvane_dm_prekeys &s, int otk_index) {
    quorvane_dm_bundle b{};
    std::memcpy(b.dev_x, s.dev_x_pub, 32);
    std::memcpy(b.dev_ed, s.dev_ed_pub, 32);
    b.spk_id = s.spk_id;
    std::memcpy(b.spk, s.spk_pub, 32);
    std::memcpy(b.sig, s.spk_sig, 64);
    if (otk_index >= 0) {
        b.has_otk = 1;
        b.otk_id = s.otk[otk_index].id;
        std::memcpy(b.otk, s.otk[otk_index].pub, 32);
    }
    return b;
}

// A fresh prekey set pushed into the bag a device keeps in its store; the
// published side as a peer would be given it, with one-time prekey `otk`.
inline quorvane_peer_device publish_set(quorvane_msgstore *ms, const quorvane_device_keys &keys, int otk = 0) {
    quorvane_dm_bag bag{};
    Bytes got(QV_DM_BAG_SER_MAX);
    EXPECT_EQ(quorvane_dm_bag_load(&bag, got.data(), quorvane_msgstore_get_prekeys(ms, got.data(), got.size())), 0);
    quorvane_dm_prekeys set{};
    EXPECT_EQ(quorvane_dm_prekeys_generate(&set, keys.device_x25519_priv, keys.device_x25519_pub, keys.device_ed25519_priv,
                                           keys.device_ed25519_pub, bag.next_id), 0);
    bag.next_id += 17;
    quorvane_peer_device p{};
    p.bundle = bundle_of(set, otk);
    p.has_spk = 1;
    quorvane_dm_bag_push(&bag, &set);
    size_t n = 0;
    EXPECT_EQ(quorvane_dm_bag_serialize(&bag, got.data(), got.size(), &n), 0);
    EXPECT_EQ(quorvane_msgstore_put_prekeys(ms, got.data(), n), 0);
    quorvane_dm_prekeys_wipe(&set);
    quorvane_dm_bag_wipe(&bag);
    return p;
}

}  // namespace qvdm
