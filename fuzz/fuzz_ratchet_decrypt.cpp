// Ratchet messages from a hostile peer, against fixed states. Input: byte 0
// picks the state (0 a fresh responder, 1 a receiving chain at number 0,
// 2 an initiator that has no receiving chain yet), then chunks of a 2-byte
// big-endian length and that many bytes: each chunk is one message to open,
// and an empty chunk makes the state send one. A refused message must leave
// the stored state byte for byte as it was and the plaintext output zeroed; an
// opened one must never open again.
#include <cstdint>
#include <cstring>
#include <vector>

#include "n_ecc.h"
#include "quorvane_ratchet.h"

namespace {

using bytes = std::vector<uint8_t>;

void fill(uint8_t *p, size_t n, uint8_t v) { std::memset(p, v, n); }

void x25519_pub(uint8_t priv_byte, uint8_t pub[32]) {
    uint8_t priv[32], base[32] = {9};
    fill(priv, 32, priv_byte);
    if (n_x25519_derive(priv, base, pub) != 0) __builtin_trap();
}

// The same fixed keys as the seed corpus was written with.
quorvane_ratchet *make_state(int which) {
    uint8_t secret[32], ad[64], priv[32], pub[32];
    fill(secret, 32, 0x01);
    fill(ad, 64, 0x02);
    quorvane_ratchet *st = nullptr;
    if (which == 0) {
        fill(priv, 32, 0x03);
        x25519_pub(0x03, pub);
        if (quorvane_ratchet_init_responder(&st, secret, ad, priv, pub) != 0) __builtin_trap();
        return st;
    }
    uint8_t s[QV_RATCHET_SER_BASE] = {'H', 'R', 'R', '1'};
    s[4] = which == 1 ? 7 : 3;  // 2: peer key known and a sending chain, nothing to receive on
    fill(s + 5, 32, 0x04);      // root key
    fill(s + 37, 32, 0x05);     // own private key
    x25519_pub(0x05, s + 69);
    x25519_pub(0x06, s + 101);  // peer key: a sender whose private key is 32 x 0x06
    fill(s + 133, 32, 0x07);    // sending chain
    if (which == 1) fill(s + 165, 32, 0x08);
    std::memcpy(s + 209, ad, 64);
    if (quorvane_ratchet_deserialize(&st, s, sizeof s) != 0) __builtin_trap();
    return st;
}

bytes stored(const quorvane_ratchet *st) {
    bytes b(QV_RATCHET_SER_MAX);
    size_t n = 0;
    if (quorvane_ratchet_serialize(st, b.data(), b.size(), &n) != 0) __builtin_trap();
    b.resize(n);
    return b;
}

// Opens `msg`; on refusal checks that nothing changed and nothing leaked.
int open_checked(quorvane_ratchet *st, const uint8_t *msg, size_t len) {
    const bytes before = stored(st);
    bytes out(len + 1, 0xAA);
    size_t n = 7;
    const int rc = quorvane_ratchet_decrypt(st, msg, len, out.data(), out.size(), &n);
    if (rc == 0) {
        if (n != len - QV_RATCHET_OVERHEAD) __builtin_trap();
        return 0;
    }
    if (n != 7 || stored(st) != before) __builtin_trap();
    if (rc == -2) {
        for (size_t i = 0; i + QV_RATCHET_OVERHEAD < len; i++)
            if (out[i]) __builtin_trap();
    } else if (rc != -3 && rc != -1) {  // -1: a low-order ratchet key
        __builtin_trap();
    }
    return rc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    quorvane_ratchet *st = make_state(data[0] % 3);
    size_t at = 1;
    while (at + 2 <= size) {
        size_t len = size_t{data[at]} << 8 | data[at + 1];
        at += 2;
        if (len > size - at) len = size - at;
        const uint8_t *msg = data + at;
        at += len;
        if (len == 0) {
            const uint8_t pt[5] = {'h', 'e', 'l', 'l', 'o'};
            uint8_t out[sizeof pt + QV_RATCHET_OVERHEAD];
            size_t n = 0;
            const int rc = quorvane_ratchet_encrypt(st, pt, sizeof pt, out, sizeof out, &n);
            if (rc != 0 && rc != -3) __builtin_trap();
            continue;
        }
        if (open_checked(st, msg, len) == 0 && open_checked(st, msg, len) == 0) __builtin_trap();  // opened twice
    }
    quorvane_ratchet_free(&st);
    return 0;
}
