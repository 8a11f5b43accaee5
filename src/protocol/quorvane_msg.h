// Message bodies: the plaintext inside an envelope or a ratchet message, its
// first byte the message type. Encoders return the body length, or 0 with
// nothing written when an argument is missing, a limit is broken or out is too
// small. Decoders return 0 or -3 and write their outputs only on success; every
// output is optional unless said otherwise. Ids and keys are copied out; texts
// and inner bodies point into the given body, which the caller keeps alive.
#pragma once

#include <cstddef>
#include <cstdint>

enum quorvane_msg_type : uint8_t {
    QV_MSG_TEXT         = 1,
    QV_MSG_SYSTEM       = 2,
    QV_MSG_PROFILE      = 3,
    QV_MSG_FILE         = 4,
    QV_MSG_AVATAR       = 5,
    QV_MSG_GROUP        = 6,
    QV_MSG_GROUP_AVATAR = 7,
    QV_MSG_DELETE       = 8,
    QV_MSG_REACTION     = 9,
    QV_MSG_REPLY        = 10,
    QV_MSG_EDIT         = 11,
    QV_MSG_VOICE        = 12,
    QV_MSG_LINK         = 13,
    QV_MSG_SENDERDEV    = 14,  // wrapped and unwrapped by the client engine itself
    QV_MSG_TARGETDEV    = 15,
    QV_MSG_STICKER      = 16,
};

constexpr int    QV_MSG_BAD               = -3;   // every decoder failure
constexpr size_t QV_MSG_ID_LEN            = 16;   // a target message's sender account id
constexpr size_t QV_MSG_DEVKEY_LEN        = 32;   // a device's public key, in both wrappers
constexpr size_t QV_MSG_PROFILE_NAME_MAX  = 64;
constexpr size_t QV_MSG_PROFILE_ABOUT_MAX = 128;
constexpr size_t QV_MSG_GROUP_NAME_MAX    = 63;   // inclusive: a group name of 64 bytes is refused
constexpr size_t QV_MSG_NAME_MAX          = 32;   // reaction and sticker names
constexpr size_t QV_MSG_TARGET_LEN        = 1 + QV_MSG_ID_LEN + 8;     // type, target sender id, target counter
constexpr size_t QV_MSG_DELETE_LEN        = QV_MSG_TARGET_LEN;
constexpr size_t QV_MSG_REACTION_HDR      = QV_MSG_TARGET_LEN + 2;     // then add flag and name length
constexpr size_t QV_MSG_STICKER_HDR       = 1 + 4 + 1;                 // type, pack version, name length
constexpr size_t QV_MSG_WRAP_HDR          = 1 + QV_MSG_DEVKEY_LEN;     // type, device key, then the inner body

static_assert(QV_MSG_DELETE_LEN == 25 && QV_MSG_REACTION_HDR == 27 && QV_MSG_WRAP_HDR == 33);
static_assert(QV_MSG_PROFILE_ABOUT_MAX <= UINT8_MAX && QV_MSG_NAME_MAX <= UINT8_MAX, "lengths travel in one byte");

// A sticker: the emoji-pack version it belongs to and its NUL-terminated name.
struct quorvane_sticker {
    uint32_t version;
    char     name[QV_MSG_NAME_MAX + 1];
};
static_assert(sizeof(quorvane_sticker::name) == QV_MSG_NAME_MAX + 1);

// Text (1) and system (2): the type byte, then UTF-8 text with no bound of its own.
// text may lie inside out (it is moved, not copied), and may be null when len is 0.
[[nodiscard]] size_t quorvane_msg_text_encode(const char *text, size_t len, uint8_t *out, size_t cap);
[[nodiscard]] size_t quorvane_msg_system_encode(const char *text, size_t len, uint8_t *out, size_t cap);
[[nodiscard]] int    quorvane_msg_text_decode(const uint8_t *body, size_t len, const char **text_out, size_t *text_len_out);
[[nodiscard]] int    quorvane_msg_system_decode(const uint8_t *body, size_t len, const char **text_out, size_t *text_len_out);

// Profile (3) and group name (6): counted texts, the body exactly as long as its counts say.
[[nodiscard]] size_t quorvane_msg_profile_encode(const char *name, size_t name_len, const char *about, size_t about_len, uint8_t *out, size_t cap);
[[nodiscard]] int    quorvane_msg_profile_decode(const uint8_t *body, size_t len, const char **name_out, size_t *name_len_out, const char **about_out, size_t *about_len_out);
[[nodiscard]] size_t quorvane_msg_group_encode(const char *name, size_t len, uint8_t *out, size_t cap);
[[nodiscard]] int    quorvane_msg_group_decode(const uint8_t *body, size_t len, const char **name_out, size_t *len_out);

// Bodies that act on an earlier message, named by its sender id (16 bytes) and counter.
// Reaction names are 1-32 bytes of "a"-"z", "0"-"9", "_", taken up to their NUL.
[[nodiscard]] size_t quorvane_msg_delete_encode(const uint8_t *sender_id, uint64_t counter, uint8_t *out, size_t cap);
[[nodiscard]] int    quorvane_msg_delete_decode(const uint8_t *body, size_t len, uint8_t *sender_id_out, uint64_t *counter_out);
[[nodiscard]] size_t quorvane_msg_reaction_encode(const uint8_t *sender_id, uint64_t counter, int add, const char *name, uint8_t *out, size_t cap);  // non-zero add is written as 1
[[nodiscard]] int    quorvane_msg_reaction_decode(const uint8_t *body, size_t len, uint8_t *sender_id_out, uint64_t *counter_out, int *add_out, char *name_buf, size_t name_cap);  // name_cap must exceed the name length
[[nodiscard]] size_t quorvane_msg_reply_encode(const uint8_t *sender_id, uint64_t counter, const char *text, size_t len, uint8_t *out, size_t cap);  // text as for text bodies
[[nodiscard]] size_t quorvane_msg_edit_encode(const uint8_t *sender_id, uint64_t counter, const char *text, size_t len, uint8_t *out, size_t cap);
[[nodiscard]] int    quorvane_msg_reply_decode(const uint8_t *body, size_t len, uint8_t *sender_id_out, uint64_t *counter_out, const char **text_out, size_t *text_len_out);
[[nodiscard]] int    quorvane_msg_edit_decode(const uint8_t *body, size_t len, uint8_t *sender_id_out, uint64_t *counter_out, const char **text_out, size_t *text_len_out);

// Sticker (16); the record is required by both sides.
[[nodiscard]] size_t quorvane_msg_sticker_encode(const quorvane_sticker *sticker, uint8_t *out, size_t cap);
[[nodiscard]] int    quorvane_msg_sticker_decode(const uint8_t *body, size_t len, quorvane_sticker *sticker_out);

// Target-device wrapper (15) around a delete, reaction or edit body. inner may lie
// at the start of out, so a body can be wrapped in the buffer that holds it.
[[nodiscard]] size_t quorvane_msg_targetdev_encode(const uint8_t *device_key, const uint8_t *inner, size_t inner_len, uint8_t *out, size_t cap);
[[nodiscard]] int    quorvane_msg_targetdev_decode(const uint8_t *body, size_t len, uint8_t *device_key_out, const uint8_t **inner_out, size_t *inner_len_out);
