// Frame types and TLV tags of the handshake between a client and its server,
// and the bytes a device signs to prove it holds its key when signing in.
// Both ends build from here, so the two cannot drift apart.
#pragma once

#include "quorvane_crypto.h"
#include "quorvane_proto.h"

#include <cstddef>
#include <cstdint>

// Frame types and TLV tags of the handshake.
enum : uint8_t {
    QV_FT_HELLO = 1, QV_FT_REGISTER = 2, QV_FT_LOGIN = 3, QV_FT_LOGIN_PROOF = 4, QV_FT_PING = 23,
    QV_FT_ESCROW_GET = 62, QV_FT_RECOVER = 72, QV_FT_RECOVER_SET = 73,
    QV_FT_PREAUTH_EMAIL = 74, QV_FT_PREAUTH_USER = 75, QV_FT_PREAUTH_CODE = 76,
    QV_FT_SERVER_HELLO = 129, QV_FT_REGISTERED = 130, QV_FT_CHALLENGE = 131, QV_FT_WELCOME = 132, QV_FT_REFUSED = 133,
    QV_FT_ESCROW = 174, QV_FT_RECOVER_CHALLENGE = 182, QV_FT_RECOVER_DONE = 183,
    QV_FT_PREAUTH_TEXT = 184, QV_FT_PREAUTH_STATUS = 185, QV_FT_PREAUTH_CODE_STATUS = 186,
};
enum : uint8_t {
    QV_TAG_USER = 1, QV_TAG_AUTH = 2, QV_TAG_IDENTITY = 3, QV_TAG_DEV_X25519 = 4, QV_TAG_DEV_ED25519 = 5,
    QV_TAG_CERT = 6, QV_TAG_SERVER_KEY = 7, QV_TAG_REG_STATUS = 10, QV_TAG_NONCE = 11, QV_TAG_SIGNATURE = 12,
    QV_TAG_REFUSAL = 13, QV_TAG_USER_ID = 14, QV_TAG_ROLE = 15,
    QV_TAG_ESCROW = 80, QV_TAG_NEW_AUTH = 81, QV_TAG_ESCROW_STATUS = 82, QV_TAG_RECOVER_STATUS = 90,
    QV_TAG_REG_EXTRA = 91, QV_TAG_ADDRESS = 93, QV_TAG_PREAUTH_STATUS = 94, QV_TAG_CODE = 95, QV_TAG_PREAUTH_VALUE = 97,
};

// The signature input of the sign-in proof: nonce (32), server static key (32),
// user name (its bytes, no terminator). Its length, 0 when it does not fit or
// an argument is missing.
[[nodiscard]] size_t quorvane_login_message(const uint8_t nonce[32], const uint8_t server_key[32], const char *user,
                                            uint8_t *out, size_t cap);

// A TLV payload built in a fixed buffer that is wiped when it goes out of
// scope: handshake payloads carry auth values and escrow records.
template <size_t N> struct quorvane_wiped_tlv {
    uint8_t buf[N];
    quorvane_tlv_writer w;
    quorvane_wiped_tlv() { quorvane_tlv_writer_init(&w, buf, sizeof buf); }
    ~quorvane_wiped_tlv() { quorvane_cleanse(buf, sizeof buf); }
    quorvane_wiped_tlv(const quorvane_wiped_tlv &) = delete;
    quorvane_wiped_tlv &operator=(const quorvane_wiped_tlv &) = delete;
    [[nodiscard]] int finish(size_t *len) const { return quorvane_tlv_writer_finish(&w, len); }
};
