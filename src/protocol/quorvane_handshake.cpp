#include "quorvane_handshake.h"

#include <cstring>

size_t quorvane_login_message(const uint8_t nonce[32], const uint8_t server_key[32], const char *user, uint8_t *out,
                              size_t cap) {
    if (!nonce || !server_key || !user || !out) return 0;
    size_t ulen = std::strlen(user);
    if (cap < 64 || ulen > cap - 64) return 0;
    std::memcpy(out, nonce, 32);
    std::memcpy(out + 32, server_key, 32);
    std::memcpy(out + 64, user, ulen);
    return 64 + ulen;
}
