// Invite-link parser on any text. A parsed token must come back from a link
// we format around it, and formatting any host text must fit its capacity
// exactly or refuse.
#include "client_instbar.h"

#include <cstring>
#include <string>

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data ? data : reinterpret_cast<const uint8_t *>("")), size);
    const char *s = text.c_str();  // stops at the first zero byte, like any C caller

    uint8_t token[QV_INVITE_TOKEN_LEN] = {};
    if (quorvane_invite_uri_parse(s, token) == 0) {
        char link[128];
        check(quorvane_invite_uri_format("h.example", "443", token, link, sizeof link) == 0);
        uint8_t again[QV_INVITE_TOKEN_LEN];
        check(quorvane_invite_uri_parse(link, again) == 0 && std::memcmp(token, again, sizeof token) == 0);
    }

    // The input as a host, into a buffer whose size comes from the input too.
    size_t cap = size ? data[0] : 0;
    size_t need = std::strlen("quorvane://") + std::strlen(s) + std::strlen(":443/join/") + 2 * QV_INVITE_TOKEN_LEN + 1;
    char *out = new char[cap ? cap : 1];
    int rc = quorvane_invite_uri_format(s, "443", token, out, cap);
    check(rc == (need <= cap ? 0 : -1));
    if (rc == 0) check(std::strlen(out) + 1 == need);
    delete[] out;
    return 0;
}
