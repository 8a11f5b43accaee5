// The message store: everything the client keeps about one account on one
// server, in one directory of files that are each sealed under a store key
// derived from the device secret and replaced atomically.
// Results: 0 ok, -1 failure, yes/no queries 1 or 0, unless a line says
// otherwise. The store record belongs to the caller from open until close;
// buffers handed in are the caller's and are only read or filled.
#pragma once

#include "quorvane_crypto.h"
#include "quorvane_msg.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

constexpr size_t   QV_MS_PATH_MAX         = 511;    // the store directory
constexpr size_t   QV_MS_TMP_PATH_MAX     = 775;    // "<file>.tmp" of any store file
constexpr size_t   QV_MS_ASIDE_ENTRY_MAX  = 800;    // joined paths removed by discard_asides stay below this
constexpr size_t   QV_MS_CONV_MAX         = 4096;
constexpr size_t   QV_MS_CONV_FIRST_CAP   = 16;
constexpr size_t   QV_MS_IDENT_MAX        = 2048;
constexpr size_t   QV_MS_NAME_MAX         = 64;
constexpr size_t   QV_MS_ABOUT_MAX        = 128;
constexpr size_t   QV_MS_AVATAR_MAX       = 560;
constexpr size_t   QV_MS_SESSION_TEXT_MAX = 4096;
constexpr uint64_t QV_MS_MSG_CAP_DEFAULT  = 2000;
constexpr size_t   QV_MS_SEAL_OVERHEAD    = QV_SALT_LEN + QV_TAG_LEN;  // salt in front, tag behind
constexpr size_t   QV_MS_FILE_MAX         = size_t{1} << 30;           // a larger file reads as unusable
constexpr size_t   QV_MS_ID_LEN           = 16;                        // user, conversation and session-init ids
constexpr size_t   QV_MS_DEVICE_LEN       = 32;
constexpr size_t   QV_MS_RINIT_SLOTS      = 256;
constexpr size_t   QV_MS_RPREV_SLOTS      = 2;
constexpr size_t   QV_MS_RPREV_VALUE_LEN  = 8;

constexpr uint8_t QV_MS_CONVS_VERSION_MIN = 13;  // "convs.dat" versions read: 13 to 22
constexpr uint8_t QV_MS_CONVS_VERSION     = 22;  // written unless the test hook chose 19, 20 or 21
constexpr uint8_t QV_MS_CONVS_WRITE_MIN   = 19;
constexpr uint8_t QV_MS_PROFILE_VERSION   = 2;
constexpr uint8_t QV_MS_SESSION_VERSION   = 1;
constexpr uint8_t QV_MS_IDENTS_VERSION    = 1;

constexpr size_t QV_MS_PROFILE_MAX   = 1 + 1 + QV_MS_NAME_MAX + 1 + QV_MS_ABOUT_MAX + 2 + QV_MS_AVATAR_MAX + 8;
constexpr size_t QV_MS_SESSION_HDR   = 24;       // version, flag, conversation, value, text length
constexpr size_t QV_MS_IDENTS_HDR    = 5;        // version, count
constexpr size_t QV_MS_IDENT_LEN     = QV_MS_ID_LEN + QV_KEY_LEN;
constexpr size_t QV_MS_RINIT_HDR     = 4;        // next index, count
constexpr size_t QV_MS_RINIT_MAX     = QV_MS_RINIT_HDR + QV_MS_ID_LEN * QV_MS_RINIT_SLOTS;

static_assert(QV_MS_SEAL_OVERHEAD == 32);
static_assert(QV_MS_PROFILE_MAX == 765 && QV_MS_IDENT_LEN == 48 && QV_MS_RINIT_MAX == 4100);
static_assert(QV_MS_SESSION_HDR == 1 + 1 + QV_MS_ID_LEN + 4 + 2);
// the longest avatar our encoder makes must fit what the profile keeps
static_assert(QV_MSG_FILE_HDR + QV_MSG_MIME_MAX + QV_MSG_FILE_NAME_MAX <= QV_MS_AVATAR_MAX);

// Store-key derivation input and the sealing labels (associated data), used
// as raw bytes without a terminator.
inline constexpr std::string_view MS_STORE_KEY_LABEL = "quorvane-localstore-v1";
inline constexpr std::string_view MS_LABEL_CONVS     = "qv-ms-convs";
inline constexpr std::string_view MS_LABEL_PROFILE   = "qv-ms-prof";
inline constexpr std::string_view MS_LABEL_SESSION   = "qv-ms-sess";
inline constexpr std::string_view MS_LABEL_IDENTS    = "qv-ms-idnt";
inline constexpr std::string_view MS_LABEL_RINIT     = "qv-ms-rinit";
inline constexpr std::string_view MS_LABEL_PREKEYS   = "qv-ms-prekeys";
inline constexpr std::string_view MS_LABEL_MSGS      = "qv-ms-msgs";     // + conversation id
inline constexpr std::string_view MS_LABEL_ARCH      = "qv-ms-arch";     // + conversation id
inline constexpr std::string_view MS_LABEL_RATCHET   = "qv-ms-ratchet";  // + conversation id + device key
inline constexpr std::string_view MS_LABEL_RPREV     = "qv-ms-rprev";    // + slot byte + conversation id + device key

static_assert(MS_STORE_KEY_LABEL.size() == 22 && MS_STORE_KEY_LABEL.size() + QV_KEY_LEN == 54);
static_assert(MS_LABEL_CONVS.size() == 11 && MS_LABEL_PROFILE.size() == 10 && MS_LABEL_SESSION.size() == 10);
static_assert(MS_LABEL_IDENTS.size() == 10 && MS_LABEL_RINIT.size() == 11 && MS_LABEL_PREKEYS.size() == 13);
static_assert(MS_LABEL_MSGS.size() + QV_MS_ID_LEN == 26 && MS_LABEL_ARCH.size() + QV_MS_ID_LEN == 26);
static_assert(MS_LABEL_RATCHET.size() + QV_MS_ID_LEN + QV_MS_DEVICE_LEN == 61);
static_assert(MS_LABEL_RPREV.size() + 1 + QV_MS_ID_LEN + QV_MS_DEVICE_LEN == 60);

inline constexpr char MS_FILE_CONVS[]   = "convs.dat";
inline constexpr char MS_FILE_PROFILE[] = "profile.dat";
inline constexpr char MS_FILE_SESSION[] = "session.dat";
inline constexpr char MS_FILE_IDENTS[]  = "idents.dat";
inline constexpr char MS_FILE_RINIT[]   = "rinit.dat";
inline constexpr char MS_FILE_PREKEYS[] = "prekeys.dat";
inline constexpr char MS_UNREAD_SUFFIX[] = ".unread-";  // "<file>.unread-<ms>": a file kept aside because it could not be read

struct quorvane_ms_conv;    // one conversation with its keys, members, settings and messages
struct quorvane_ms_unread;  // private: store files found present but unusable

struct quorvane_ms_ident {
    uint8_t user_id[QV_MS_ID_LEN];
    uint8_t key[QV_KEY_LEN];
};
static_assert(sizeof(quorvane_ms_ident) == QV_MS_IDENT_LEN);

struct quorvane_ms_profile {
    char     name[QV_MS_NAME_MAX + 1];    // zero-terminated
    char     about[QV_MS_ABOUT_MAX + 1];  // zero-terminated
    uint8_t  avatar[QV_MS_AVATAR_MAX];    // encoded avatar body (type 5); carries its blob key
    uint16_t avatar_len;
    uint64_t edit_time;
};

struct quorvane_ms_session {
    int      flag;                        // 1 when a conversation was open
    uint8_t  conv_id[QV_MS_ID_LEN];
    uint32_t value;                       // the caller's
    char     text[QV_MS_SESSION_TEXT_MAX + 1];
    size_t   text_len;
};

struct quorvane_ms_rinit {
    uint16_t next;
    uint16_t count;
    uint8_t  ids[QV_MS_RINIT_SLOTS][QV_MS_ID_LEN];
};

// One open store. Locked in memory for its whole life (best effort); the
// arrays it points to are ordinary heap memory, wiped before release.
struct quorvane_msgstore {
    char                dir[QV_MS_PATH_MAX + 1];
    uint8_t             key[QV_KEY_LEN];
    quorvane_ms_conv   *convs;           // capacity starts at 16 and doubles; at most 4096
    size_t              conv_count;
    size_t              conv_cap;
    quorvane_ms_ident  *idents;          // file order; at most 2048
    size_t              ident_count;
    size_t              ident_cap;
    quorvane_ms_profile self;
    uint64_t            msg_cap;         // 0 = no cap
    uint8_t             cursor_dirty;    // a sync cursor changed in memory; "convs.dat" is due
    uint8_t             mute_defaults;   // bit k: kind k muted by default
    uint8_t             notif_defaults;  // bit k: notifications off by default for kind k
    uint8_t             car_flags;
    uint8_t             receipts_off;
    quorvane_ms_unread *unread;
};

// Open, close and housekeeping
[[nodiscard]] quorvane_msgstore *quorvane_msgstore_open(const char *dir, const uint8_t secret[32]);  // creates the directory (0700); null on failure
void quorvane_msgstore_close(quorvane_msgstore *ms);                                                 // wipes and frees; null ignored
int  quorvane_msgstore_discard_asides(const char *dir);       // removes dir".pre-recreate" and dir".pre-reset"; how many went
int  quorvane_msgstore_test_write_version(int version);       // 19, 20 or 21, else 22; returns 22
[[nodiscard]] int quorvane_msgstore_write_version();          // the version "convs.dat" is written in
[[nodiscard]] int quorvane_msgstore_unreadable(const quorvane_msgstore *ms, const char *name);  // 1: present but unusable, set aside at its next write

// Own profile and interface state
// - every setter writes its file before returning; the in-memory value stays on a failed write.
[[nodiscard]] int quorvane_msgstore_set_self_profile(quorvane_msgstore *ms, const char *name, const char *about);  // cut to 64 / 128 bytes
[[nodiscard]] int quorvane_msgstore_self_profile_edited(quorvane_msgstore *ms, uint64_t time);  // raises the edit time; always writes
[[nodiscard]] int quorvane_msgstore_adopt_self_profile(quorvane_msgstore *ms, const char *name, const char *about,
                                                       uint64_t time);  // 1 changed, 0 unchanged or refused, -1 write failure
uint64_t          quorvane_msgstore_self_profile_ts(const quorvane_msgstore *ms);
int               quorvane_msgstore_get_self_profile(const quorvane_msgstore *ms, char *name, size_t name_size, char *about,
                                                     size_t about_size);
[[nodiscard]] int quorvane_msgstore_set_self_avatar(quorvane_msgstore *ms, const quorvane_file_meta *avatar);  // null clears
[[nodiscard]] int quorvane_msgstore_get_self_avatar(const quorvane_msgstore *ms, quorvane_file_meta *out);     // 1 stored and decodes
[[nodiscard]] int quorvane_msgstore_set_session(quorvane_msgstore *ms, int flag, const uint8_t conv_id[16], uint32_t value,
                                                const char *text);  // text cut to 4096 bytes
[[nodiscard]] int quorvane_msgstore_get_session(quorvane_msgstore *ms, int *flag, uint8_t conv_id[16], uint32_t *value,
                                                char *text, size_t text_size);  // outputs cleared first; -1 missing or unusable

// Ratchet states, prekeys and session-initiation ids
// - states and prekey sets are opaque bytes, handed back as stored.
// - a getter returns the length, 0 when the file is missing, unusable or larger than the capacity.
[[nodiscard]] int    quorvane_msgstore_put_ratchet(quorvane_msgstore *ms, const uint8_t conv_id[16], const uint8_t device[32],
                                                   const uint8_t *state, size_t len);
[[nodiscard]] int    quorvane_msgstore_has_ratchet(const quorvane_msgstore *ms, const uint8_t conv_id[16], const uint8_t device[32]);
[[nodiscard]] size_t quorvane_msgstore_get_ratchet(quorvane_msgstore *ms, const uint8_t conv_id[16], const uint8_t device[32],
                                                   uint8_t *buf, size_t cap);
int                  quorvane_msgstore_drop_ratchet(quorvane_msgstore *ms, const uint8_t conv_id[16],
                                                    const uint8_t device[32]);  // 0 removed, -1 not; 1 for a null id or key
[[nodiscard]] int    quorvane_msgstore_put_ratchet_prev(quorvane_msgstore *ms, const uint8_t conv_id[16], const uint8_t device[32],
                                                        unsigned slot, uint64_t value, const uint8_t *state, size_t len);
[[nodiscard]] size_t quorvane_msgstore_get_ratchet_prev(quorvane_msgstore *ms, const uint8_t conv_id[16], const uint8_t device[32],
                                                        unsigned slot, uint64_t *value, uint8_t *buf, size_t cap);
void                 quorvane_msgstore_drop_ratchet_prev(quorvane_msgstore *ms, const uint8_t conv_id[16],
                                                         const uint8_t device[32], unsigned slot);
size_t               quorvane_msgstore_ratchet_devices(const quorvane_msgstore *ms, const uint8_t conv_id[16],
                                                       uint8_t (*out)[32], size_t cap);  // all matches counted, cap copied
int                  quorvane_msgstore_drop_ratchet_device(quorvane_msgstore *ms, const uint8_t device[32]);  // files removed
[[nodiscard]] int    quorvane_msgstore_rinit_seen(quorvane_msgstore *ms, const uint8_t id[16]);
[[nodiscard]] int    quorvane_msgstore_rinit_note(quorvane_msgstore *ms, const uint8_t id[16]);  // the ring keeps the last 256
[[nodiscard]] int    quorvane_msgstore_put_prekeys(quorvane_msgstore *ms, const uint8_t *data, size_t len);
[[nodiscard]] size_t quorvane_msgstore_get_prekeys(quorvane_msgstore *ms, uint8_t *buf, size_t cap);
[[nodiscard]] int    quorvane_msgstore_identity_tofu(quorvane_msgstore *ms, const uint8_t user_id[16],
                                                     const uint8_t key[32]);  // 0 new, 1 same, -1 changed, -2 refused or not written

// Plaintext decoders of the files below the seal
// - each reads only inside [pt, pt + n) and zeroes its output first.
[[nodiscard]] int    quorvane_ms_profile_decode(const uint8_t *pt, size_t n, quorvane_ms_profile *out);  // 1 used (fields up to the first bad one), 0 unusable
[[nodiscard]] int    quorvane_ms_session_decode(const uint8_t *pt, size_t n, quorvane_ms_session *out);  // -1 short or another version
[[nodiscard]] long   quorvane_ms_idents_decode(const uint8_t *pt, size_t n, quorvane_ms_ident *out,
                                               size_t cap);  // entries taken (first cap copied), -1 unusable
[[nodiscard]] int    quorvane_ms_rinit_decode(const uint8_t *pt, size_t n, quorvane_ms_rinit *out);  // -1 invalid: the ring is left empty
[[nodiscard]] size_t quorvane_ms_rprev_decode(const uint8_t *pt, size_t n, uint64_t *value,
                                              const uint8_t **state);  // state length; 0 below 9 bytes
