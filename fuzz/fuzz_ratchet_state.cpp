// The stored-state reader "HRR1". Whatever it accepts must write back to the
// same bytes (unknown flag bits aside) and be usable: an encrypt either
// refuses cleanly or advances exactly the sending chain, and the stored-form
// encrypt agrees with the live one and makes no message it has no room to keep.
#include <cstdint>
#include <cstring>
#include <vector>

#include "quorvane_ratchet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    quorvane_ratchet *st = nullptr;
    const int rc = quorvane_ratchet_deserialize(&st, data, size);
    if (rc != 0) {
        if (rc != -3 || st != nullptr) __builtin_trap();
        // the stored-form functions must refuse the same input the same way
        const uint8_t one = 1;
        uint8_t out[QV_RATCHET_SER_BASE], msg[QV_RATCHET_OVERHEAD + 1];
        size_t n = 0, m = 0;
        if (quorvane_ratchet_encrypt_ser(data, size, &one, 1, out, sizeof out, &n, msg, sizeof msg, &m) != -3)
            __builtin_trap();
        return 0;
    }
    std::vector<uint8_t> back(QV_RATCHET_SER_MAX);
    size_t n = 0;
    if (quorvane_ratchet_serialize(st, back.data(), back.size(), &n) != 0 || n != size) __builtin_trap();
    if (back[4] != (data[4] & 7) || std::memcmp(back.data(), data, 4) != 0 ||
        std::memcmp(back.data() + 5, data + 5, size - 5) != 0)
        __builtin_trap();

    const uint8_t pt[3] = {'a', 'b', 'c'};
    uint8_t msg[sizeof pt + QV_RATCHET_OVERHEAD], msg2[sizeof msg];
    size_t m = 0, m2 = 0, n2 = 0;
    std::vector<uint8_t> after(QV_RATCHET_SER_MAX);
    const int erc = quorvane_ratchet_encrypt(st, pt, sizeof pt, msg, sizeof msg, &m);
    const int src = quorvane_ratchet_encrypt_ser(data, size, pt, sizeof pt, after.data(), after.size(), &n2, msg2,
                                                 sizeof msg2, &m2);
    if (erc != src) __builtin_trap();
    // a new state one byte short of room: refused before a message is made
    uint8_t msg3[sizeof msg];
    std::memset(msg3, 0xAA, sizeof msg3);
    std::vector<uint8_t> cramped(size - 1);
    size_t m3 = 0, n3 = 0;
    if (quorvane_ratchet_encrypt_ser(data, size, pt, sizeof pt, cramped.data(), cramped.size(), &n3, msg3, sizeof msg3,
                                     &m3) != -3)
        __builtin_trap();
    for (uint8_t b : msg3)
        if (b != 0xAA) __builtin_trap();
    if (erc == 0) {
        // same state, no randomness in encrypt: the same message and the same new state
        if (m != sizeof msg || m2 != m || std::memcmp(msg, msg2, m) != 0) __builtin_trap();
        if (quorvane_ratchet_serialize(st, back.data(), back.size(), &n) != 0 || n != n2 ||
            std::memcmp(back.data(), after.data(), n) != 0)
            __builtin_trap();
    } else if (erc != -3) {
        __builtin_trap();
    }
    quorvane_ratchet_free(&st);
    if (st != nullptr) __builtin_trap();
    return 0;
}
