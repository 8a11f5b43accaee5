// Formats on TLV records: the prekey bundle a device publishes for X3DH, the
// server's instance directory (instances, categories, conversations), and the
// test for a channel's public listing name.
// Results: bundle functions 0, -1 null argument, -3 malformed, -4 no room, -5 required tag absent;
// directory functions 0, -3 malformed or bad argument, -5 no further entry. Decoders never keep
// pointers into the input: entries and bundles are plain values owned by the caller.
#pragma once

#include "quorvane_proto.h"

#include <cstddef>
#include <cstdint>

// Prekey bundle records
constexpr uint8_t QV_BUNDLE_TAG_DEVICE_KEY = 4;
constexpr uint8_t QV_BUNDLE_TAG_SPK        = 46;
constexpr uint8_t QV_BUNDLE_TAG_SPK_SIG    = 47;
constexpr uint8_t QV_BUNDLE_TAG_SPK_ID     = 48;
constexpr uint8_t QV_BUNDLE_TAG_OPK        = 49;
constexpr uint8_t QV_BUNDLE_TAG_OPK_ID     = 50;
constexpr size_t  QV_BUNDLE_KEY_LEN        = 32;
constexpr size_t  QV_BUNDLE_SIG_LEN        = 64;
constexpr size_t  QV_BUNDLE_ID_LEN         = 4;
constexpr size_t  QV_BUNDLE_BASE_LEN = 3 * QV_TLV_HEAD_LEN + 2 * QV_BUNDLE_KEY_LEN + QV_BUNDLE_SIG_LEN + QV_TLV_HEAD_LEN + QV_BUNDLE_ID_LEN;
constexpr size_t  QV_BUNDLE_MAX_LEN  = QV_BUNDLE_BASE_LEN + 2 * QV_TLV_HEAD_LEN + QV_BUNDLE_KEY_LEN + QV_BUNDLE_ID_LEN;
static_assert(QV_BUNDLE_BASE_LEN == 152 && QV_BUNDLE_MAX_LEN == 198);

// Instance directory records
constexpr uint8_t QV_INSTDIR_TAG_ID          = 56;
constexpr uint8_t QV_INSTDIR_TAG_NAME        = 57;
constexpr uint8_t QV_INSTDIR_TAG_DESCRIPTION = 58;
constexpr uint8_t QV_INSTDIR_TAG_ROLE        = 59;
constexpr uint8_t QV_INSTDIR_TAG_BYTE60      = 60;
constexpr uint8_t QV_INSTDIR_TAG_CATEGORY    = 61;
constexpr uint8_t QV_INSTDIR_TAG_CONV        = 62;
constexpr uint8_t QV_INSTDIR_TAG_U32_40      = 40;
constexpr uint8_t QV_INSTDIR_TAG_AVATAR      = 71;
constexpr size_t  QV_INSTDIR_ID_LEN          = 16;
constexpr size_t  QV_INSTDIR_NAME_MAX        = 63;    // bytes, no terminator
constexpr size_t  QV_INSTDIR_DESC_MAX        = 255;
constexpr size_t  QV_INSTDIR_CATEGORY_NAME_MAX = 47;
constexpr size_t  QV_INSTDIR_CATEGORIES_MAX  = 16;    // later category records are skipped unread
constexpr size_t  QV_INSTDIR_CONVS_MAX       = 128;   // later conversation records are skipped unread
constexpr size_t  QV_INSTDIR_AVATAR_LEN      = 32;    // prefix of the avatar's BLAKE2b-512 digest
constexpr size_t  QV_INSTDIR_CONV_LEN        = QV_INSTDIR_ID_LEN + 3 + 4;  // id, category, position, flags, u32
constexpr uint8_t QV_INSTDIR_ROLE_MAX        = 2;     // member, admin, moderator
constexpr uint8_t QV_INSTDIR_NO_CATEGORY     = 255;   // as is any index not below the category count
constexpr uint8_t QV_INSTDIR_CONV_DEFAULT    = 0x01;  // flag: a default channel of the instance
constexpr size_t  QV_INSTDIR_ENTRIES_MAX     = 32;    // the most instances the engine takes from one directory
constexpr size_t  QV_LISTING_NAME_MAX        = 63;
static_assert(QV_INSTDIR_CONV_LEN == 23);

struct quorvane_prekey_bundle {
    uint8_t  device_key[QV_BUNDLE_KEY_LEN];    // X25519, the device's X3DH identity key
    uint8_t  signed_prekey[QV_BUNDLE_KEY_LEN];
    uint8_t  signature[QV_BUNDLE_SIG_LEN];     // over the signed prekey, by the device's Ed25519 key
    uint32_t signed_prekey_id;
    int      has_one_time_prekey;
    uint8_t  one_time_prekey[QV_BUNDLE_KEY_LEN];
    uint32_t one_time_prekey_id;
};

// One instance as the directory lists it; names and descriptions are NUL-terminated.
struct quorvane_instdir_entry {
    uint8_t  instance_id[QV_INSTDIR_ID_LEN];
    uint8_t  byte60;        // tag 60, meaning given by the server
    uint8_t  role;          // the user's role in the instance
    uint32_t u32_40;        // tag 40, meaning given by the server
    char     name[QV_INSTDIR_NAME_MAX + 1];
    char     description[QV_INSTDIR_DESC_MAX + 1];
    size_t   category_count;
    uint8_t  category_index[QV_INSTDIR_CATEGORIES_MAX];
    char     category_name[QV_INSTDIR_CATEGORIES_MAX][QV_INSTDIR_CATEGORY_NAME_MAX + 1];
    int      has_avatar;
    uint8_t  avatar_digest[QV_INSTDIR_AVATAR_LEN];
    size_t   conversation_count;
    uint8_t  conversation_id[QV_INSTDIR_CONVS_MAX][QV_INSTDIR_ID_LEN];
    uint8_t  conversation_category[QV_INSTDIR_CONVS_MAX];
    uint8_t  conversation_position[QV_INSTDIR_CONVS_MAX];
    uint8_t  conversation_flags[QV_INSTDIR_CONVS_MAX];
    uint32_t conversation_u32[QV_INSTDIR_CONVS_MAX];
};

// Prekey bundle
// - the one-time prekey records are written and read as a pair; tag 50 alone is ignored.
// - decode writes the bundle only on 0.
[[nodiscard]] int quorvane_prekey_bundle_encode(const quorvane_prekey_bundle *bundle, uint8_t *out, size_t cap, size_t *out_len);
[[nodiscard]] int quorvane_prekey_bundle_decode(const uint8_t *payload, size_t len, quorvane_prekey_bundle *bundle_out);  // -5 a required tag absent

// Instance directory
// - append refuses (-3) a name, description or category name that is not terminated within its array.
// - next reads the entry at or after *cursor and moves *cursor to the next entry (or the end);
//   call it until it returns non-zero. On -3 the entry is zeroed; *cursor stays, except that
//   an entry without a name moves it past that entry as a good one would.
[[nodiscard]] int quorvane_instdir_append(quorvane_tlv_writer *w, const quorvane_instdir_entry *entry);  // -3 null, empty name or writer overflow
[[nodiscard]] int quorvane_instdir_next(const uint8_t *directory, size_t len, size_t *cursor, quorvane_instdir_entry *entry_out);

// Listing names: 1-63 bytes of strict UTF-8 (RFC 3629), no ASCII control, not only spaces.
[[nodiscard]] int quorvane_listing_name_valid(const char *text, size_t len);  // 1 valid, 0 not
