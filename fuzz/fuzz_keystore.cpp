// The device key store's plaintext decoder, below the key file: the bytes a key
// file hands over after authentication. Whatever is accepted must have exactly one
// of the two format shapes and encode back to the same keys; whatever is refused
// must leave the record as it was. No scrypt runs here: the seal above is the key
// file's own target.
#include <cstdint>
#include <cstring>

#include "client_store.h"

namespace {

bool shape_ok(const uint8_t *data, size_t size) {
    if (size < QV_KEYSTORE_V1_LEN || memcmp(data, "HKS1", 4) != 0) return false;
    return (data[4] == 1 && size == QV_KEYSTORE_V1_LEN) || (data[4] == 2 && size == QV_KEYSTORE_LEN);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    quorvane_device_keys k, before;
    memset(&k, 0xA5, sizeof k);
    before = k;
    const int rc = quorvane_client_store_parse(data, size, &k);
    if (rc != 0) {
        if (rc != -3 || shape_ok(data, size) || memcmp(&k, &before, sizeof k) != 0) __builtin_trap();
        return 0;
    }
    if (!shape_ok(data, size) || memcmp(&k, data + 8, QV_KEYSTORE_BLOCK_LEN) != 0) __builtin_trap();
    const bool rk = size == QV_KEYSTORE_LEN && data[264] == 1;
    if (k.has_recovery_key != (rk ? 1 : 0)) __builtin_trap();
    for (size_t i = 0; i < QV_KEY_LEN; i++)
        if (k.recovery_key[i] != (rk ? data[265 + i] : 0)) __builtin_trap();

    uint8_t out[QV_KEYSTORE_LEN];
    quorvane_device_keys again;
    memset(&again, 0x3C, sizeof again);
    if (quorvane_client_store_serialise(&k, out) != 0 || memcmp(out, "HKS1\x02\0\0\0", 8) != 0 ||
        memcmp(out + 8, data + 8, QV_KEYSTORE_BLOCK_LEN) != 0 ||
        quorvane_client_store_parse(out, sizeof out, &again) != 0 || memcmp(&again, &k, sizeof k) != 0)
        __builtin_trap();
    return 0;
}
