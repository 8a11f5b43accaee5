// The reader of a stored device session tried against a received message:
// byte 0 the envelope's preamble flag, bytes 1-3 the record's length (big-endian),
// then the record, then the envelope's payload after its header. Whatever opens
// must hand back a record that keeps the old flag without its pending bit, is
// no longer than a stored record may be, and reads again.
#include "client_seal.h"

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4) return 0;
    const uint8_t flag = data[0] & 1;
    const size_t rec_len = size_t(data[1]) << 16 | size_t(data[2]) << 8 | data[3];
    if (size - 4 < rec_len) return 0;
    const uint8_t *rec = data + 4, *pay = rec + rec_len;
    const size_t pay_len = size - 4 - rec_len;
    std::vector<uint8_t> pt(QV_PT_MAX), out(QV_SR_MAX);
    size_t pt_len = 0, out_len = 0;
    if (cs_rt_try(rec, rec_len, flag, pay, pay_len, pt.data(), &pt_len, out.data(), &out_len) != 1) return 0;
    if (pt_len > QV_PT_MAX || out_len < 2 || out_len > QV_SR_MAX) __builtin_trap();
    if (out[0] != (rec[0] & ~QV_SR_PENDING)) __builtin_trap();
    quorvane_ratchet *r = nullptr;
    if (quorvane_ratchet_deserialize(&r, out.data() + 1, out_len - 1) != 0) __builtin_trap();
    quorvane_ratchet_free(&r);
    return 0;
}
