// Header parser against an independent decode of the same 8 bytes, and the
// encoder's output against the input whenever the whole payload is present.
#include <cstdint>
#include <cstring>

#include "quorvane_proto.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    quorvane_frame_header h{0xEE, 0xEE, 0xEEEEEEEE};
    const int rc = quorvane_frame_parse_header(data, size, &h);
    if (size < QV_FRAME_HEADER_LEN) {
        if (rc != -2 || h.version != 0xEE) __builtin_trap();
        return 0;
    }
    const uint32_t len = uint32_t{data[4]} << 24 | uint32_t{data[5]} << 16 | uint32_t{data[6]} << 8 | data[7];
    const int want = (data[0] != 'H' || data[1] != 'R') ? -3 : len > (1u << 20) ? -4 : 0;
    if (rc != want) __builtin_trap();
    const uint8_t t = data[3];
    if (quorvane_frame_type_known(t) != ((t >= 1 && t <= 0x53) || (t >= 0x81 && t <= 0xBC))) __builtin_trap();
    if (rc != 0) {
        if (h.length != 0xEEEEEEEE) __builtin_trap();  // nothing written on failure
        return 0;
    }
    if (h.version != data[2] || h.type != data[3] || h.length != len) __builtin_trap();

    if (size - QV_FRAME_HEADER_LEN < len) return 0;
    static uint8_t out[QV_FRAME_MAX_PAYLOAD + QV_FRAME_HEADER_LEN];
    size_t n = 0;
    if (quorvane_frame_encode(h.type, data + 8, len, out, len + 8, &n) != 0 || n != len + 8u) __builtin_trap();
    if (out[0] != 'H' || out[1] != 'R' || out[2] != 1 || std::memcmp(out + 3, data + 3, 5 + len) != 0) __builtin_trap();
    if (quorvane_frame_encode(h.type, data + 8, len, out, len + 7, &n) != -1) __builtin_trap();
    return 0;
}
