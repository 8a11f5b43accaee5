// The finders against a reader walk of the same run. Input: tag, min length,
// max length (each one byte), then the run.
#include <cstdint>
#include <cstring>

#include "quorvane_proto.h"

namespace {

// What a finder must answer, from a plain reader walk.
int expect(const uint8_t *run, size_t n, uint8_t tag, size_t min_len, size_t max_len, const uint8_t **v,
           size_t *len) {
    quorvane_tlv_reader r;
    quorvane_tlv_reader_init(&r, run, n);
    for (;;) {
        uint8_t t;
        const int rc = quorvane_tlv_next(&r, &t, v, len);
        if (rc != 0) return rc;
        if (t == tag) return (*len < min_len || *len > max_len) ? -3 : 0;
    }
}

void check(const uint8_t *run, size_t n, uint8_t tag, size_t min_len, size_t max_len, int rc, const uint8_t *v,
           size_t len) {
    const uint8_t *rv = nullptr;
    size_t rlen = 0;
    if (rc != expect(run, n, tag, min_len, max_len, &rv, &rlen)) __builtin_trap();
    if (rc != 0) return;
    if (v != rv || len != rlen) __builtin_trap();
    if (v < run || v > run + n || len > size_t(run + n - v)) __builtin_trap();
    if (v[-5] != tag) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    const uint8_t tag = data[0];
    const size_t min_len = data[1], max_len = data[2];
    const uint8_t *run = data + 3;
    const size_t n = size - 3;

    const uint8_t *v = nullptr;
    size_t len = 0;
    int rc = quorvane_tlv_find(run, n, tag, &v, &len);
    check(run, n, tag, 0, SIZE_MAX, rc, v, len);

    v = nullptr;
    len = 0;
    rc = quorvane_tlv_find_bytes(run, n, tag, min_len, max_len, &v, &len);
    check(run, n, tag, min_len, max_len, rc, v, len);

    v = nullptr;
    rc = quorvane_tlv_find_fixed(run, n, tag, min_len, &v);
    check(run, n, tag, min_len, min_len, rc, v, min_len);

    // The cursor table is looked up in whole 24-byte entries only; the id is
    // taken from the run's own first bytes so that matches happen.
    if (n >= 16) {
        const uint64_t c = quorvane_sync_cursor_lookup(run + 16, n - 16, run);
        uint64_t want = 0;
        for (size_t i = 0; i + 24 <= n - 16; i += 24)
            if (std::memcmp(run + 16 + i, run, 16) == 0) {
                for (size_t j = 0; j < 8; j++) want = want << 8 | run[16 + i + 16 + j];
                break;
            }
        if (c != want) __builtin_trap();
    }
    return 0;
}
