// Reader walk over arbitrary bytes: every value handed out lies inside the
// buffer where its head says, a refused record leaves the position alone,
// the getters take exactly their widths, and the writer rebuilds the walked
// prefix byte for byte into a buffer of exactly that size.
#include <cstdint>
#include <cstring>
#include <vector>

#include "quorvane_proto.h"

namespace {

uint64_t be(const uint8_t *p, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; i++) v = v << 8 | p[i];
    return v;
}

void check_getters(const uint8_t *v, size_t len) {
    uint8_t u8 = 0;
    uint16_t u16 = 0;
    uint32_t u32 = 0;
    uint64_t u64 = 0;
    if ((quorvane_tlv_get_u8(v, len, &u8) == 0) != (len == 1)) __builtin_trap();
    if ((quorvane_tlv_get_u16(v, len, &u16) == 0) != (len == 2)) __builtin_trap();
    if ((quorvane_tlv_get_u32(v, len, &u32) == 0) != (len == 4)) __builtin_trap();
    if ((quorvane_tlv_get_u64(v, len, &u64) == 0) != (len == 8)) __builtin_trap();
    const uint64_t want = len <= 8 ? be(v, len) : 0;
    if ((len == 1 && u8 != want) || (len == 2 && u16 != want) || (len == 4 && u32 != want) ||
        (len == 8 && u64 != want))
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    struct Rec {
        uint8_t tag;
        const uint8_t *v;
        size_t len;
    };
    std::vector<Rec> recs;
    quorvane_tlv_reader r;
    quorvane_tlv_reader_init(&r, data, size);
    int rc;
    for (;;) {
        const size_t pos = r.position;
        Rec x{0, nullptr, 0};
        rc = quorvane_tlv_next(&r, &x.tag, &x.v, &x.len);
        if (rc != 0) {
            if (r.position != pos) __builtin_trap();
            const size_t left = size - pos;
            const bool bad = left > 0 && (left < 5 || be(data + pos + 1, 4) > left - 5);
            if (rc != (left == 0 ? -5 : bad ? -3 : 99)) __builtin_trap();
            if (quorvane_tlv_next(&r, nullptr, nullptr, nullptr) != rc) __builtin_trap();
            break;
        }
        if (x.v < data || x.v > data + size || x.len > size_t(data + size - x.v)) __builtin_trap();
        if (x.v != data + pos + 5 || x.tag != data[pos] || x.len != be(data + pos + 1, 4)) __builtin_trap();
        if (r.position != pos + 5 + x.len) __builtin_trap();
        check_getters(x.v, x.len);
        recs.push_back(x);
    }

    const size_t walked = r.position;
    std::vector<uint8_t> out(walked + 1, 0xEE);
    quorvane_tlv_writer w;
    quorvane_tlv_writer_init(&w, out.data(), walked);
    for (const Rec &x : recs)
        if (quorvane_tlv_put(&w, x.tag, x.v, x.len) != 0) __builtin_trap();
    size_t n = 0;
    if (quorvane_tlv_writer_finish(&w, &n) != 0 || n != walked) __builtin_trap();
    if (walked && std::memcmp(out.data(), data, walked) != 0) __builtin_trap();
    // Full to the byte: the smallest record overflows, and that sticks.
    if (quorvane_tlv_put(&w, 1, nullptr, 0) != -3 || quorvane_tlv_writer_finish(&w, &n) != -3) __builtin_trap();
    if (out[walked] != 0xEE) __builtin_trap();
    return 0;
}
