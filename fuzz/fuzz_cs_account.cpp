// The signed-in session's account, device, history and presence frames, on a
// real message store holding a conversation. The input is a run of records: a
// selector byte picking the frame type, a 16-bit big-endian length, then the
// payload. The frames that need a device our identity certified (a history or
// recovery-key request from an own device) get such a device's TLVs in front of
// the payload, so the fuzzer reaches what follows the certificate check; the
// session has a history request outstanding, so chunks are taken.
#include "client_session.h"
#include "fuzz_scratch.h"
#include "fuzz_session.h"
#include "quorvane_x3dh.h"

#include <cstdint>
#include <cstring>
#include <sys/stat.h>
#include <vector>

namespace {

const uint8_t kTypes[] = {13, 14, 15, 159, 160, 161, 162, 172, 175, 177, 178, 179, 180, 181, 185, 187, 188};
const uint8_t kSecret[32] = {2, 7, 1, 8, 2, 8};
const uint8_t kConv[16] = {0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0};
const uint8_t kOwn[16] = {0xA1, 0xA1, 0xA1, 0xA1};

void put_tlv(std::vector<uint8_t> &out, uint8_t tag, const uint8_t *v, size_t n) {
    out.push_back(tag);
    for (int i = 3; i >= 0; i--) out.push_back(static_cast<uint8_t>(n >> (8 * i)));
    out.insert(out.end(), v, v + n);
}

struct Fixture {
    quorvane_device_keys keys{};
    quorvane_device_keys other{};  // another device of the same account
    std::vector<uint8_t> own_device;
    quorvane_msgstore *ms = nullptr;
    std::string pin;
};

Fixture *setup() {
    auto *f = new Fixture;
    const std::string dir = fuzz_scratch_file("store");
    f->pin = fuzz_scratch_file("pin");
    const uint8_t seed[32] = {0x1D};
    uint8_t id[16];
    if (quorvane_client_store_build(seed, &f->keys) != 0 || quorvane_client_store_build(seed, &f->other) != 0 ||
        quorvane_device_id(f->other.device_x25519_pub, f->other.device_ed25519_pub, id) != 0 || mkdir(dir.c_str(), 0700) != 0)
        __builtin_trap();
    put_tlv(f->own_device, 52, id, 16);
    put_tlv(f->own_device, 4, f->other.device_x25519_pub, 32);
    put_tlv(f->own_device, 5, f->other.device_ed25519_pub, 32);
    put_tlv(f->own_device, 6, f->other.device_cert, 64);
    f->ms = quorvane_msgstore_open(dir.c_str(), kSecret);
    const uint8_t key[32] = {0x4B};
    if (!f->ms || quorvane_msgstore_put_conv(f->ms, kConv, key) != 0) __builtin_trap();
    return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Fixture *f = setup();
    quorvane_cs *cs = fuzz_signed_in(&f->keys, f->ms, f->pin.c_str(), kOwn);
    if (!cs) return 0;
    cs->account.history_requested = 1;
    fuzz_frames(cs, kTypes, data, size, [](uint8_t type) -> const std::vector<uint8_t> * {
        return type == 160 || type == 180 ? &f->own_device : nullptr;
    });
    const cs_account_state &a = cs->account;
    if (a.presence_count > QV_PRESENCE_MAX || a.backup_slot_count > QV_BACKUP_SLOTS || a.history_in_got > a.history_in_total ||
        a.history_in_total > QV_HISTORY_MAX || a.history_out_sent > a.history_out_total)
        __builtin_trap();
    uint8_t b82[82], b32[32], b16[16], v = 0;
    int has = 0;
    quorvane_email_info info;
    quorvane_backup_slot slots[QV_BACKUP_SLOTS];
    size_t n = 0;
    (void)quorvane_cs_take_rk_delivered(cs, b32, b82, &has);
    (void)quorvane_cs_take_rk_escrow(cs, b82, &has);
    (void)quorvane_cs_take_rk_peer(cs, b16, b32);
    (void)quorvane_cs_take_email_info(cs, &info);
    (void)quorvane_cs_take_backup_slots(cs, slots, QV_BACKUP_SLOTS, &n);
    (void)quorvane_cs_take_revoke(cs, &v);
    quorvane_cs_free(cs);
    return 0;
}
