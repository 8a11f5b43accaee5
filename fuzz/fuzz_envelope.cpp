// Envelopes as the server hands them over: the 64-byte header decoder and the
// open under a conversation key, on any bytes up to the largest envelope a
// frame carries. A header that decodes encodes back to the same 64 bytes; an
// envelope that opens seals again, under the same key and header, to exactly
// the input; a failed open leaves nothing decrypted in the output and its
// lengths untouched.
#include <cstdint>
#include <cstring>
#include <vector>

#include "quorvane_envelope.h"
#include "fuzz_fixed.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    quorvane_env_header h;
    const int hrc = quorvane_env_header_decode(data, size, &h);
    if (size < QV_ENV_HEADER_LEN) {
        fuzz_check(hrc == -2);
    } else {
        fuzz_check(hrc == 0);
        uint8_t back[QV_ENV_HEADER_LEN];
        quorvane_env_header_encode(&h, back);
        fuzz_check(memcmp(back, data, sizeof back) == 0);
    }
    if (size > QV_ENV_MAX_LEN) return 0;

    std::vector<uint8_t> body(size + 1, 0xAA);
    size_t len = 99999;
    quorvane_env_header got;
    memset(&got, 0x55, sizeof got);
    const int rc = quorvane_env_open(fuzz_conv_key(), data, size, &got, body.data(), body.size(), &len);
    if (size < QV_ENV_OVERHEAD) {
        fuzz_check(rc == -3 && len == 99999);
        return 0;
    }
    if (rc != 0) {
        fuzz_check((rc == -2 || rc == -1) && len == 99999 && fuzz_wiped_or_untouched(body.data(), body.size()));
        return 0;
    }
    fuzz_check(len == size - QV_ENV_OVERHEAD && memcmp(&got, &h, sizeof h) == 0);
    std::vector<uint8_t> again(size);
    size_t n = 0;
    fuzz_check(quorvane_env_seal(fuzz_conv_key(), &got, body.data(), len, again.data(), again.size(), &n) == 0);
    fuzz_check(n == size && memcmp(again.data(), data, size) == 0);
    return 0;
}
