// REST-token verification on any bytes: [now 8][token]. Only a token of the
// exact length that authenticates under the server secret and has not expired
// at `now` is accepted; the same token is then accepted at time 0 too (expiry
// only looks forward) and never at the last representable time. A refused
// token writes none of the outputs.
#include <cstdint>
#include <cstring>

#include "fuzz_fixed.h"
#include "quorvane_crypto.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 8) return 0;
    uint64_t now = 0;
    for (int i = 0; i < 8; i++) now = now << 8 | data[i];
    const uint8_t *token = data + 8;
    const size_t len = size - 8;
    uint8_t id[16], extra[16], kind = 0xAA;
    memset(id, 0xAA, sizeof id);
    memset(extra, 0xAA, sizeof extra);
    const int rc = quorvane_rest_token_verify(fuzz_token_secret(), token, len, now, id, &kind, extra);
    if (len != QV_REST_TOKEN_LEN) {
        fuzz_check(rc == -3);
    }
    if (rc != 0) {
        fuzz_check(rc == -1 || rc == -2 || rc == -3);
        fuzz_check(kind == 0xAA && fuzz_wiped_or_untouched(id, sizeof id) && fuzz_wiped_or_untouched(extra, sizeof extra));
        return 0;
    }
    uint8_t id0[16], extra0[16], kind0 = 0;
    fuzz_check(quorvane_rest_token_verify(fuzz_token_secret(), token, len, 0, id0, &kind0, extra0) == 0);
    fuzz_check(memcmp(id0, id, 16) == 0 && kind0 == kind && memcmp(extra0, extra, 16) == 0);
    fuzz_check(quorvane_rest_token_verify(fuzz_token_secret(), token, len, UINT64_MAX, id0, &kind0, extra0) == -2);
    return 0;
}
