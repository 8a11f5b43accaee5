// The prekey-reply parser over any payload: at most five devices, a complete
// flag of 0 or 1, and device 0's prekeys mirrored beside the first keys.
#include "client_authed.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    quorvane_prekey_reply r;
    std::memset(&r, 0xA5, sizeof r);  // the parser must rebuild it from zero
    cs_prekey_reply_parse(data, size, &r);
    if (r.complete > 1 || r.device_count > QV_PREKEY_DEVICES) __builtin_trap();
    for (size_t i = r.device_count; i < QV_PREKEY_DEVICES; i++) {
        const uint8_t *p = reinterpret_cast<const uint8_t *>(&r.devices[i]);
        for (size_t j = 0; j < sizeof r.devices[i]; j++)
            if (p[j]) __builtin_trap();
    }
    for (size_t i = 0; i < r.device_count; i++)
        if (r.devices[i].has_spk > 1 || r.devices[i].has_otk > 1) __builtin_trap();
    if (r.device_count > 0 && (r.first.spk_id != r.devices[0].spk_id || r.first.otk_id != r.devices[0].otk_id ||
                               std::memcmp(r.first.sig, r.devices[0].sig, 64) != 0))
        __builtin_trap();
    return 0;
}
