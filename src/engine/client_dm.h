// Direct-message key agreement: the device's own prekey set (made, published,
// stored), the bag of the last three sets kept so that late first messages can
// still be answered, and the initiator and responder starts that turn X3DH into a
// double ratchet, with the 41-byte preamble that carries the initiator's side.
// Results: 0 ok, -1 failure. Sets and bags hold secrets: the caller owns them and
// wipes them with quorvane_dm_prekeys_wipe / quorvane_dm_bag_wipe. A ratchet made
// here is the caller's, freed with quorvane_ratchet_free; it is written only on success.
#pragma once

#include "quorvane_ratchet.h"

#include <cstddef>
#include <cstdint>

constexpr size_t   QV_DM_OTK_MAX        = 16;
constexpr size_t   QV_DM_BAG_MAX        = 3;    // sets kept after a new one is published
constexpr size_t   QV_DM_PREAMBLE_LEN   = 41;   // ephemeral key, signed-prekey id, flag, one-time id
constexpr size_t   QV_DM_SET_BASE       = 265;  // "DPK1" without one-time prekeys
constexpr size_t   QV_DM_SET_ENTRY      = 68;   // id, secret key, public key
constexpr size_t   QV_DM_SET_MAX        = QV_DM_SET_BASE + QV_DM_SET_ENTRY * QV_DM_OTK_MAX;
constexpr size_t   QV_DM_BAG_HEAD       = 9;    // "DPKB", next id, count
constexpr size_t   QV_DM_BAG_SER_MAX    = QV_DM_BAG_HEAD + QV_DM_BAG_MAX * (2 + QV_DM_SET_MAX);
constexpr size_t   QV_DM_PUBLISH_MAX    = (5 + 32) + (5 + 64) + (5 + 4) + QV_DM_OTK_MAX * ((5 + 32) + (5 + 4));
constexpr uint64_t QV_DM_HOLD_LIMIT_MS  = 10000;

static_assert(QV_DM_SET_BASE == 4 + 4 * 32 + 4 + 2 * 32 + 64 + 1);
static_assert(QV_DM_SET_ENTRY == 4 + 2 * 32);
static_assert(QV_DM_PREAMBLE_LEN == 32 + 4 + 1 + 4);

struct quorvane_dm_otk {
    uint32_t id;
    uint8_t  priv[32];
    uint8_t  pub[32];
};

struct quorvane_dm_prekeys {
    uint8_t  dev_x_priv[32];
    uint8_t  dev_x_pub[32];
    uint8_t  dev_ed_priv[32];   // seed
    uint8_t  dev_ed_pub[32];
    uint32_t spk_id;
    uint8_t  spk_priv[32];
    uint8_t  spk_pub[32];
    uint8_t  spk_sig[64];       // over spk_pub, by the device's Ed25519 key
    uint8_t  otk_count;
    quorvane_dm_otk otk[QV_DM_OTK_MAX];
};

struct quorvane_dm_bag {
    uint32_t next_id;
    uint8_t  count;
    quorvane_dm_prekeys sets[QV_DM_BAG_MAX];  // newest first
};

// What a peer device published, as the initiator is given it.
struct quorvane_dm_bundle {
    uint8_t  dev_x[32];
    uint8_t  dev_ed[32];
    uint32_t spk_id;
    uint8_t  spk[32];
    uint8_t  sig[64];
    uint8_t  has_otk;
    uint32_t otk_id;
    uint8_t  otk[32];
};

// Prekey sets
// - generate makes the signed prekey with id first_id and one-time ids first_id + 1 .. + 16.
// - deserialise wants exactly 265 + 68 x count bytes with a count of at most 16.
[[nodiscard]] int quorvane_dm_prekeys_generate(quorvane_dm_prekeys *set, const uint8_t x_priv[32], const uint8_t x_pub[32],
                                               const uint8_t ed_priv[32], const uint8_t ed_pub[32], uint32_t first_id);
[[nodiscard]] int quorvane_dm_prekeys_serialize(const quorvane_dm_prekeys *set, uint8_t *out, size_t cap, size_t *out_len);
[[nodiscard]] int quorvane_dm_prekeys_deserialize(quorvane_dm_prekeys *set, const uint8_t *in, size_t len);
[[nodiscard]] int quorvane_dm_publish_body(const quorvane_dm_prekeys *set, uint8_t *out, size_t cap, size_t *out_len);  // -1 buffer too small
void              quorvane_dm_prekeys_wipe(quorvane_dm_prekeys *set);

// Starts of a device session
// - the initiator checks the bundle's signature first; the preamble is written only on success.
// - the responder consumes the one-time prekey it used: a second preamble naming it fails.
[[nodiscard]] int quorvane_dm_begin_initiator(quorvane_ratchet **out, uint8_t preamble[QV_DM_PREAMBLE_LEN], const uint8_t own_priv[32],
                                              const uint8_t own_pub[32], const quorvane_dm_bundle *bundle);
[[nodiscard]] int quorvane_dm_begin_responder(quorvane_ratchet **out, const uint8_t *preamble, size_t len,
                                              const uint8_t sender_dev_x[32], quorvane_dm_prekeys *set);

// Bag of prekey sets
// - load: empty input is an empty bag with next id 1; a bare "DPK1" set (older form) is a
//   bag of one whose next id follows its largest id; "DPKB" must end exactly at the input's end.
// - push drops the oldest of three; answering picks the newest set with the preamble's signed-prekey id.
[[nodiscard]] int quorvane_dm_bag_load(quorvane_dm_bag *bag, const uint8_t *in, size_t len);
[[nodiscard]] int quorvane_dm_bag_serialize(const quorvane_dm_bag *bag, uint8_t *out, size_t cap, size_t *out_len);
void              quorvane_dm_bag_push(quorvane_dm_bag *bag, const quorvane_dm_prekeys *set);
[[nodiscard]] int quorvane_dm_bag_begin_responder(quorvane_ratchet **out, const uint8_t *preamble, size_t len,
                                                  const uint8_t sender_dev_x[32], quorvane_dm_bag *bag);
void              quorvane_dm_bag_wipe(quorvane_dm_bag *bag);

// Pairing helpers of the worker
int    quorvane_dm_is_initiator(const uint8_t *a, const uint8_t *b);                  // 1 when both given and a's 16 bytes sort first
int    quorvane_dm_hold_bundle(int flag_a, int flag_b, uint64_t elapsed_ms, uint64_t limit_ms);
size_t quorvane_dm_unpaired(const uint8_t (*devices)[32], size_t count, const uint8_t (*paired)[32], size_t paired_count,
                            size_t *out_idx, size_t max);                             // indices of devices not yet paired, in order
