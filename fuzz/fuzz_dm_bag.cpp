// The readers of the stored prekey bag and of one prekey set. Whatever the bag
// reader accepts must write out and read back to the same bag, and answering a
// preamble from it either fails cleanly or leaves a bag that still writes out.
#include "client_dm.h"

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    quorvane_dm_prekeys set{};
    if (quorvane_dm_prekeys_deserialize(&set, data, size) == 0) {
        std::vector<uint8_t> back(QV_DM_SET_MAX);
        size_t n = 0;
        if (quorvane_dm_prekeys_serialize(&set, back.data(), back.size(), &n) != 0 || n != size ||
            std::memcmp(back.data(), data, n) != 0)
            __builtin_trap();
    }
    quorvane_dm_prekeys_wipe(&set);

    quorvane_dm_bag bag{};
    if (quorvane_dm_bag_load(&bag, data, size) != 0) return 0;
    if (bag.count > QV_DM_BAG_MAX || bag.next_id == 0) __builtin_trap();
    std::vector<uint8_t> ser(QV_DM_BAG_SER_MAX), again(QV_DM_BAG_SER_MAX);
    size_t n = 0, m = 0;
    if (quorvane_dm_bag_serialize(&bag, ser.data(), ser.size(), &n) != 0) __builtin_trap();
    quorvane_dm_bag copy{};
    if (quorvane_dm_bag_load(&copy, ser.data(), n) != 0 || std::memcmp(&copy, &bag, sizeof bag) != 0) __builtin_trap();

    // a preamble from the input's last 41 bytes, answered by the bag
    if (size >= QV_DM_PREAMBLE_LEN) {
        const uint8_t *pre = data + size - QV_DM_PREAMBLE_LEN;
        quorvane_ratchet *r = nullptr;
        const int rc = quorvane_dm_bag_begin_responder(&r, pre, QV_DM_PREAMBLE_LEN, pre, &bag);
        if ((rc == 0) != (r != nullptr)) __builtin_trap();
        quorvane_ratchet_free(&r);
        if (quorvane_dm_bag_serialize(&bag, again.data(), again.size(), &m) != 0 || m > n) __builtin_trap();
    }
    quorvane_dm_bag_wipe(&bag);
    quorvane_dm_bag_wipe(&copy);
    return 0;
}
