// The anonymous sealed box opened with the recipient's key, on any bytes: an
// open succeeds only with the whole box authenticated and hands back exactly
// the bytes between the sender's key and the tag; a failed one leaves nothing
// decrypted in the output and its length untouched. A second open of the
// same box gives the same plaintext.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_fixed.h"
#include "quorvane_crypto.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<uint8_t> out(size + 1, 0xAA);
    size_t len = 99999;
    const int rc = quorvane_open(fuzz_box_priv(), data, size, out.data(), out.size(), &len);
    if (size < QV_SEAL_OVERHEAD) {
        fuzz_check(rc == -3 && len == 99999);
        return 0;
    }
    if (rc != 0) {
        fuzz_check((rc == -2 || rc == -1 || rc == -3) && len == 99999 && fuzz_wiped_or_untouched(out.data(), out.size()));
        return 0;
    }
    fuzz_check(len == size - QV_SEAL_OVERHEAD);
    std::vector<uint8_t> again(len + 1, 0);
    size_t len2 = 0;
    fuzz_check(quorvane_open(fuzz_box_priv(), data, size, again.data(), again.size(), &len2) == 0 && len2 == len &&
               memcmp(again.data(), out.data(), len) == 0);
    // one byte short of the output the box needs is refused before any work
    if (len) {
        size_t len3 = 99999;
        fuzz_check(quorvane_open(fuzz_box_priv(), data, size, again.data(), len - 1, &len3) == -3 && len3 == 99999);
    }
    return 0;
}
