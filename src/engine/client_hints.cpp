#include "client_deliver.h"

#include "client_session.h"
#include "n_log.h"
#include "quorvane_bytes.h"

#include <cstring>
#include <ctime>
#include <vector>

namespace {

bool same(const uint8_t *a, const uint8_t *b, size_t n) { return std::memcmp(a, b, n) == 0; }

// Own devices this one starts pairs with: the other key sorts after ours.
bool owns_pair(const quorvane_cs *cs, const quorvane_peer_device &d) {
    return std::memcmp(d.bundle.dev_x, cs->cfg.keys->device_x25519_pub, 32) > 0;
}

bool usable(const quorvane_cs *cs, const uint8_t *conv_id, const quorvane_peer *own) {
    return cs && conv_id && own && cs->cfg.keys && cs->cfg.store;
}

// A pending pair whose other side let three of our envelopes fail since we started it.
bool never_answered(quorvane_cs *cs, const uint8_t *conv_id, const uint8_t *dev, uint32_t *held_spk) {
    if (cs_self_pending(cs, conv_id, dev, held_spk) != 1) return false;
    const quorvane_self_event *ev = cs_self_ev_get(cs, conv_id, dev, 0);
    return ev && ev->count >= QV_SELF_EVENT_COUNTERS;
}

}  // namespace

uint64_t cs_wall_ms() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

quorvane_cs_hints *cs_hints(quorvane_cs *cs) { return cs->cfg.hints ? cs->cfg.hints : &cs->deliver.own_hints; }

quorvane_self_event *cs_self_ev_get(quorvane_cs *cs, const uint8_t conv_id[16], const uint8_t device[32], int create) {
    if (!cs || !conv_id || !device) return nullptr;
    quorvane_cs_hints *h = cs_hints(cs);
    quorvane_self_event *free_slot = nullptr, *oldest = nullptr;
    for (quorvane_self_event &e : h->self_events) {
        if (e.in_use && same(e.conv_id, conv_id, 16) && same(e.device, device, 32)) return &e;
        if (!e.in_use && !free_slot) free_slot = &e;
        if (e.in_use && (!oldest || e.created_ms < oldest->created_ms)) oldest = &e;
    }
    if (!create) return nullptr;
    quorvane_self_event *e = free_slot ? free_slot : oldest;
    std::memset(e, 0, sizeof *e);
    e->in_use = 1;
    std::memcpy(e->conv_id, conv_id, 16);
    std::memcpy(e->device, device, 32);
    e->created_ms = cs_wall_ms();
    return e;
}

int cs_self_pending(quorvane_cs *cs, const uint8_t conv_id[16], const uint8_t device[32], uint32_t *spk_id) {
    if (!cs || !cs->cfg.store || !conv_id || !device) return 0;
    qv_bytes::secret_vec rec(QV_SR_MAX);
    const size_t n = quorvane_msgstore_get_ratchet(cs->cfg.store, conv_id, device, rec.data(), rec.size());
    int pending = n > QV_DM_PREAMBLE_LEN && (rec.data()[0] & QV_SR_PENDING);
    if (pending && spk_id)  // the preamble's signed-prekey id follows its 32-byte ephemeral key
        *spk_id = qv_bytes::get_be32(rec.data() + 33);
    return pending;
}

void cs_relink_note(quorvane_cs *cs, const uint8_t conv_id[16]) {
    if (quorvane_cs_dm_ratchet_seen(cs, conv_id)) return;
    quorvane_cs_hints *h = cs_hints(cs);
    const size_t at = h->relink_next % QV_RELINK_RING;
    std::memcpy(h->relink[at], conv_id, 16);
    h->relink_next = static_cast<uint8_t>((at + 1) % QV_RELINK_RING);
    if (h->relink_count < QV_RELINK_RING) h->relink_count++;
}

int quorvane_cs_dm_ratchet_seen(quorvane_cs *cs, const uint8_t conv_id[16]) {
    if (!cs || !conv_id) return 0;
    const quorvane_cs_hints *h = cs_hints(cs);
    for (size_t i = 0; i < h->relink_count && i < QV_RELINK_RING; i++)
        if (same(h->relink[i], conv_id, 16)) return 1;
    return 0;
}

int quorvane_cs_dm_self_sync(quorvane_cs *cs, const uint8_t conv_id[16], const quorvane_peer *own) {
    if (!usable(cs, conv_id, own)) return -1;
    const quorvane_peer_device *devices = own->devices;
    const size_t count = own->device_count;
    quorvane_msgstore *ms = cs->cfg.store;
    int started = 0;
    for (size_t i = 0; i < count && i < QV_OWN_DEVICES; i++) {
        const quorvane_peer_device &d = devices[i];
        if (!owns_pair(cs, d)) continue;
        int force = 0;
        if (quorvane_msgstore_has_ratchet(ms, conv_id, d.bundle.dev_x) == 1) {
            uint32_t held = 0;
            if (!never_answered(cs, conv_id, d.bundle.dev_x, &held) || !d.has_spk || d.bundle.spk_id == held) continue;
            n_log(LOG_NOTICE,
                  "dm: conv %02x%02x%02x%02x: device %02x%02x%02x%02x never answered our init and has rotated its prekey: "
                  "opening the pair again",
                  conv_id[0], conv_id[1], conv_id[2], conv_id[3], d.bundle.dev_x[0], d.bundle.dev_x[1], d.bundle.dev_x[2],
                  d.bundle.dev_x[3]);
            force = 1;
        }
        if (cs_dm_init_device(ms, cs->cfg.keys, conv_id, &d, force, cs_wall_ms()) != 0 ||
            quorvane_msgstore_has_ratchet(ms, conv_id, d.bundle.dev_x) != 1)
            continue;
        // the pair's failures are counted afresh from this start
        quorvane_self_event *ev = cs_self_ev_get(cs, conv_id, d.bundle.dev_x, 1);
        ev->count = 0;
        std::memset(ev->counters, 0, sizeof ev->counters);
        ev->created_ms = cs_wall_ms();
        started++;
    }
    return started;
}

int quorvane_cs_dm_self_todo(quorvane_cs *cs, const uint8_t conv_id[16], const quorvane_peer *own) {
    if (!usable(cs, conv_id, own)) return -1;
    const quorvane_peer_device *devices = own->devices;
    const size_t count = own->device_count;
    int todo = 0;
    for (size_t i = 0; i < count && i < QV_OWN_DEVICES; i++) {
        const quorvane_peer_device &d = devices[i];
        if (!owns_pair(cs, d) || !d.has_spk) continue;
        if (quorvane_msgstore_has_ratchet(cs->cfg.store, conv_id, d.bundle.dev_x) != 1 ||
            never_answered(cs, conv_id, d.bundle.dev_x, nullptr))
            todo++;
    }
    return todo;
}
