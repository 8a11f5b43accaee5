// The conversation-information parser over any payload: pointers stay inside
// the input, at most 64 members with at most five devices each.
#include "client_authed.h"

#include <cstdint>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    auto ci = std::make_unique<cs_conv_info>();
    if (cs_conv_info_parse(data, size, ci.get()) != 0) return 0;
    auto inside = [&](const uint8_t *p, size_t n) { return p >= data && n <= size && p + n <= data + size; };
    if (!ci->sealed_key || !inside(ci->sealed_key, 80)) __builtin_trap();
    if (ci->old_keys && (!inside(ci->old_keys, ci->old_keys_len) || ci->old_keys_len < 17 || ci->old_keys_len > 288)) __builtin_trap();
    if (ci->member_count > QV_CONV_MEMBERS) __builtin_trap();
    for (size_t i = 0; i < ci->member_count; i++)
        if (ci->members[i].device_count > 5) __builtin_trap();
    return 0;
}
