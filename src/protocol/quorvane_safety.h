// Safety numbers: 60 digits, shown as twelve groups of five, that two users (or
// every member of a group) compare to check that they hold each other's real
// identity keys. The same text comes out on every side, whatever the order of
// the inputs. Results: 0 ok, -1 digest failure, -3 bad argument.
// The text goes into the caller's 72-byte buffer (71 characters and a zero byte).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t   QV_SAFETY_TEXT_LEN    = 72;     // 12 groups of 5 digits, 11 spaces, terminator
constexpr size_t   QV_SAFETY_USER_ID_LEN = 16;
constexpr size_t   QV_SAFETY_PUB_LEN     = 32;
constexpr size_t   QV_SAFETY_FP_LEN      = 64;     // SHA-512
constexpr uint32_t QV_SAFETY_FP_ROUNDS   = 5200;   // SHA-512 calls per fingerprint
constexpr size_t   QV_SAFETY_GROUP_MAX   = 64;

static_assert(QV_SAFETY_TEXT_LEN == 12 * 5 + 11 + 1);

// One member of a group: the identity key stays where the caller keeps it.
struct quorvane_safety_member {
    const uint8_t *identity_pub;                    // 32 bytes
    uint8_t        user_id[QV_SAFETY_USER_ID_LEN];
};

// - each side costs 5200 SHA-512 calls, done on the caller's thread (a group of 64: 332800).
[[nodiscard]] int quorvane_safety_number(const uint8_t a_pub[32], const uint8_t a_id[16], const uint8_t b_pub[32],
                                         const uint8_t b_id[16], char out[72]);             // swapping A and B gives the same text
[[nodiscard]] int quorvane_group_safety_number(const quorvane_safety_member *members, size_t count,
                                               char out[72]);                                // 1 to 64 members, any order
