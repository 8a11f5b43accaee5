// The signed-in session's handling of server frames, on a real message store
// holding a conversation key and a device session. The input is a run of
// records: a selector byte picking the frame type, a 16-bit big-endian length,
// then the payload. Envelope frames are left to the receive path's own target.
#include "client_session.h"
#include "dm_support.h"
#include "fuzz_scratch.h"
#include "fuzz_session.h"

#include <cstdint>
#include <cstring>
#include <sys/stat.h>
#include <vector>

namespace {

const uint8_t kTypes[] = {135, 136, 139, 150, 151, 154, 176};
const uint8_t kSecret[32] = {3, 1, 4, 1, 5};
const uint8_t kConv[16] = {0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0};
const uint8_t kOwn[16] = {0xA1, 0xA1, 0xA1, 0xA1};

struct Fixture {
    quorvane_device_keys keys{};
    quorvane_msgstore *ms = nullptr;
    uint8_t conv_key[32];
    std::vector<uint8_t> record;
    uint8_t peer_dev[32];
    std::string pin;
};

Fixture *setup() {
    auto *f = new Fixture;
    const std::string dir = fuzz_scratch_file("store");
    f->pin = fuzz_scratch_file("pin");
    if (quorvane_client_store_build(nullptr, &f->keys) != 0 || mkdir(dir.c_str(), 0700) != 0) __builtin_trap();
    f->ms = quorvane_msgstore_open(dir.c_str(), kSecret);
    if (!f->ms) __builtin_trap();
    std::memset(f->conv_key, 0x4B, sizeof f->conv_key);
    // a device session with a peer device, as an initiator start leaves it
    quorvane_device_keys peer{};
    quorvane_dm_prekeys set{};
    if (quorvane_client_store_build(nullptr, &peer) != 0 ||
        quorvane_dm_prekeys_generate(&set, peer.device_x25519_priv, peer.device_x25519_pub, peer.device_ed25519_priv,
                                     peer.device_ed25519_pub, 1) != 0)
        __builtin_trap();
    quorvane_peer_device d{};
    d.bundle = qvdm::bundle_of(set, -1);
    d.has_spk = 1;
    std::memcpy(f->peer_dev, set.dev_x_pub, 32);
    if (quorvane_msgstore_put_conv(f->ms, kConv, f->conv_key) != 0 || cs_dm_init_device(f->ms, &f->keys, kConv, &d, 0, 1) != 0)
        __builtin_trap();
    f->record.resize(QV_SR_MAX);
    f->record.resize(quorvane_msgstore_get_ratchet(f->ms, kConv, f->peer_dev, f->record.data(), f->record.size()));
    if (f->record.empty()) __builtin_trap();
    quorvane_dm_prekeys_wipe(&set);
    quorvane_device_keys_cleanse(&peer);
    return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Fixture *f = setup();
    // every input starts from the same store contents
    if (quorvane_msgstore_put_conv(f->ms, kConv, f->conv_key) != 0 ||
        quorvane_msgstore_put_ratchet(f->ms, kConv, f->peer_dev, f->record.data(), f->record.size()) != 0)
        return 0;
    quorvane_cs *cs = fuzz_signed_in(&f->keys, f->ms, f->pin.c_str(), kOwn);
    if (!cs) return 0;
    for (uint64_t i = 0; i < 3; i++) (void)cs_pending_push(&cs->authed.pending, kConv, i + 1);
    cs->authed.prekeys_in_flight = 1;
    fuzz_frames(cs, kTypes, data, size);
    quorvane_prekey_reply r;
    while (quorvane_cs_take_prekeys(cs, &r) == 1) {}
    quorvane_key_request k;
    while (quorvane_cs_take_key_request(cs, &k) == 1) {}
    if (cs->authed.prekey_count > QV_PREKEY_RING || cs->authed.result_count > QV_SEND_RESULTS ||
        cs->authed.key_request_count > QV_KEY_REQUESTS || cs->authed.pending.count > QV_PENDING_MAX)
        __builtin_trap();
    quorvane_cs_free(cs);
    return 0;
}
