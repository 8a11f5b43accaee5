// The server's ALPN selection over a client's protocol list (outside input).
// A selection must point inside the client's list at a whole entry equal to
// one of the server's protocols; on a well-formed list it must be the one
// OpenSSL's own selector picks (the first server protocol the client offers).
#include "n_network.h"

#include <openssl/ssl.h>

#include <cstring>
#include <string>

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

const std::string kLong(255, 'L');
const char *kServerLists[][4] = {
    {"h2", "http/1.1", "quorvane/1", nullptr},
    {"http/1.1", "", "h2", kLong.c_str()},  // an empty entry is skipped
    {nullptr, "x", "h2", "xy"},             // so is a null one
};

bool well_formed(const uint8_t *in, size_t len) {
    size_t pos = 0;
    while (pos < len) {
        if (in[pos] == 0 || in[pos] > len - pos - 1) return false;
        pos += 1 + in[pos];
    }
    return len > 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 65536) return 0;
    const char **server = kServerLists[data[0] % 3];
    const uint8_t *in = data + 1;
    const unsigned inlen = (unsigned)(size - 1);
    NETW_SNI_SELECT sel{nullptr, nullptr, server, 4};

    const unsigned char *out = nullptr;
    unsigned char outlen = 0;
    int r = _netw_alpn_select_cb(nullptr, &out, &outlen, in, inlen, &sel);
    check(r == SSL_TLSEXT_ERR_OK || r == SSL_TLSEXT_ERR_NOACK);
    if (r == SSL_TLSEXT_ERR_OK) {
        check(out > in && out + outlen <= in + inlen && outlen > 0 && out[-1] == outlen);
        bool is_server_entry = false;
        for (int i = 0; i < 4; i++)
            if (server[i] && strlen(server[i]) == outlen && memcmp(server[i], out, outlen) == 0) is_server_entry = true;
        check(is_server_entry);
    }

    if (well_formed(in, inlen)) {
        // OpenSSL's selector takes the server's list in wire form.
        unsigned char wire[1024];
        unsigned wlen = 0;
        for (int i = 0; i < 4; i++) {
            size_t l = server[i] ? strlen(server[i]) : 0;
            if (l == 0 || l > 255) continue;
            wire[wlen++] = (unsigned char)l;
            memcpy(wire + wlen, server[i], l);
            wlen += (unsigned)l;
        }
        unsigned char *ref = nullptr;
        unsigned char reflen = 0;
        int s = SSL_select_next_proto(&ref, &reflen, wire, wlen, in, inlen);
        bool agreed = s == OPENSSL_NPN_NEGOTIATED;
        check(agreed == (r == SSL_TLSEXT_ERR_OK));
        if (agreed) check(reflen == outlen && memcmp(ref, out, outlen) == 0);
    }
    return 0;
}
