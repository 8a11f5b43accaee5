// Message bodies: the plaintext inside an envelope or a ratchet message, its
// first byte the message type. Encoders return the body length, or 0 with
// nothing written when an argument is missing, a limit is broken or out is too
// small. Decoders return 0 or -3 and write their outputs only on success; every
// output is optional unless said otherwise. Ids and keys are copied out; texts
// and inner bodies point into the given body, which the caller keeps alive.
// Bodies that carry a blob decode into a required caller record instead: zeroed
// first, texts copied and terminated, and wiped again when the decode fails.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quorvane_blob.h"

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

// Blob-carrying bodies: file (4), avatar (5), group avatar (7), voice (12), link (13).
// Each names its content by a blob reference: where the server keeps the sealed
// stream and everything needed to open and verify it. The blob key is a secret:
// wipe records that hold one (quorvane_cleanse) when done with them.
constexpr size_t QV_BLOB_STORAGE_ID_LEN  = 16;
constexpr size_t QV_BLOB_REF_LEN         = QV_BLOB_STORAGE_ID_LEN + QV_BLOB_ID_LEN + QV_BLOB_KEY_LEN + QV_BLOB_SALT_LEN + 4 + 8 + QV_BLOB_DIGEST_LEN;
constexpr size_t QV_MSG_MIME_MAX         = 127;   // longer MIME types are cut by the encoder, refused by the decoder
constexpr size_t QV_MSG_FILE_NAME_MAX    = 255;
constexpr size_t QV_MSG_FILE_HDR         = 1 + QV_BLOB_REF_LEN + 1 + 1;  // type, blob, MIME length, name length
constexpr size_t QV_MSG_THUMB_LEN        = 1 + QV_BLOB_REF_LEN + 2 + 2;  // marker 1, blob, width, height (u16 each)
constexpr uint32_t QV_MSG_THUMB_DIM_MAX  = UINT16_MAX;
constexpr size_t QV_MSG_VOICE_PEAKS_MAX  = 100;
constexpr size_t QV_MSG_VOICE_HDR        = 1 + QV_BLOB_REF_LEN + 4 + 4 + 1;  // type, blob, duration, rate, peak count
constexpr size_t QV_MSG_LINK_URL_MAX     = 1024;
constexpr size_t QV_MSG_LINK_TITLE_MAX   = 200;
constexpr size_t QV_MSG_LINK_DESC_MAX    = 500;
constexpr size_t QV_MSG_LINK_HDR         = 1 + 2 + 2 + 2 + 1;  // type, three u16 lengths, has-image flag
constexpr size_t QV_MSG_LINK_IMAGE_LEN   = QV_BLOB_REF_LEN + 4 + 4;  // blob, width, height (u32 each)

inline constexpr char QV_MSG_VOICE_MIME[]      = "audio/x-adpcm";  // what a decoded voice note reports
inline constexpr char QV_MSG_LINK_IMAGE_MIME[] = "image/png";      // what a decoded link image reports

static_assert(QV_BLOB_REF_LEN == 156 && QV_MSG_FILE_HDR == 159 && QV_MSG_THUMB_LEN == 161);
static_assert(QV_MSG_VOICE_HDR == 166 && QV_MSG_LINK_HDR == 8 && QV_MSG_LINK_IMAGE_LEN == 164);
static_assert(QV_MSG_VOICE_PEAKS_MAX <= UINT8_MAX && QV_MSG_LINK_URL_MAX <= UINT16_MAX);

// The reference in host order; on the wire the same fields, integers big-endian.
struct quorvane_blob_ref {
    uint8_t  storage_id[QV_BLOB_STORAGE_ID_LEN];  // the server's id of the sealed blob; the blob-cache key
    uint8_t  blob_id[QV_BLOB_ID_LEN];             // bound into every chunk
    uint8_t  key[QV_BLOB_KEY_LEN];
    uint8_t  salt[QV_BLOB_SALT_LEN];
    uint32_t chunk_count;
    uint64_t size;                                // plain bytes
    uint8_t  hash[QV_BLOB_DIGEST_LEN];            // BLAKE2b-512 of the plain content
};

struct quorvane_file_meta {
    quorvane_blob_ref blob;
    char              mime[QV_MSG_MIME_MAX + 1];       // NUL-terminated
    char              name[QV_MSG_FILE_NAME_MAX + 1];  // NUL-terminated
    int               has_thumb;                       // only file bodies (4) carry a thumbnail
    quorvane_blob_ref thumb;
    uint32_t          thumb_width;                     // pixels; 16 bits on the wire
    uint32_t          thumb_height;
};

struct quorvane_voice_meta {
    quorvane_file_meta file;  // decoded: MIME "audio/x-adpcm", empty name, no thumbnail
    uint32_t           duration_ms;
    uint32_t           sample_rate;  // Hz; 0 means the player's default of 16000
    uint8_t            peak_count;
    uint8_t            peaks[QV_MSG_VOICE_PEAKS_MAX];  // one bar of the waveform drawing each
};

struct quorvane_link_meta {
    char               url[QV_MSG_LINK_URL_MAX + 1];  // NUL-terminated, as are title and description
    char               title[QV_MSG_LINK_TITLE_MAX + 1];
    char               description[QV_MSG_LINK_DESC_MAX + 1];
    int                has_image;
    quorvane_file_meta image;  // only its blob travels; decoded: MIME "image/png"
    uint32_t           image_width;
    uint32_t           image_height;
};

static_assert(sizeof(quorvane_file_meta::mime) == 128 && sizeof(quorvane_file_meta::name) == 256);
static_assert(sizeof(quorvane_link_meta::url) == 1025 && sizeof(quorvane_link_meta::title) == 201 &&
              sizeof(quorvane_link_meta::description) == 501);

// File (4), avatar (5) and group avatar (7): one layout, the type byte told apart.
// Encoders take the MIME type and name up to their NUL and cut them to 127 and 255
// bytes; only a file body carries the thumbnail, and then needs 161 more bytes of room.
[[nodiscard]] size_t quorvane_msg_file_encode(const quorvane_file_meta *meta, uint8_t *out, size_t cap);  // 0 also for a thumbnail side above 65535
[[nodiscard]] size_t quorvane_msg_avatar_encode(const quorvane_file_meta *meta, uint8_t *out, size_t cap);  // thumbnail ignored
[[nodiscard]] size_t quorvane_msg_group_avatar_encode(const quorvane_file_meta *meta, uint8_t *out, size_t cap);
[[nodiscard]] int    quorvane_msg_file_decode(const uint8_t *body, size_t len, quorvane_file_meta *meta_out);
[[nodiscard]] int    quorvane_msg_avatar_decode(const uint8_t *body, size_t len, quorvane_file_meta *meta_out);
[[nodiscard]] int    quorvane_msg_group_avatar_decode(const uint8_t *body, size_t len, quorvane_file_meta *meta_out);

// Voice note (12): the audio's blob, duration, sample rate and up to 100 peaks.
[[nodiscard]] size_t quorvane_msg_voice_encode(const quorvane_voice_meta *voice, uint8_t *out, size_t cap);  // file.blob only; 0 for over 100 peaks
[[nodiscard]] int    quorvane_msg_voice_decode(const uint8_t *body, size_t len, quorvane_voice_meta *voice_out);

// Link preview (13): URL, title, description (cut to 1024, 200, 500 by the encoder)
// and an optional preview image; any non-zero has_image is written as 1.
[[nodiscard]] size_t quorvane_msg_link_encode(const quorvane_link_meta *link, uint8_t *out, size_t cap);
[[nodiscard]] int    quorvane_msg_link_decode(const uint8_t *body, size_t len, quorvane_link_meta *link_out);
