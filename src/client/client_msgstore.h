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

constexpr size_t   QV_MS_LABEL_MAX        = 63;     // conversation label and group name
constexpr size_t   QV_MS_OLD_KEYS         = 7;      // older conversation keys kept, newest first
constexpr size_t   QV_MS_MEMBER_MAX       = 64;
constexpr size_t   QV_MS_MEMBER_DEVICES   = 5;      // device key pairs per member
constexpr size_t   QV_MS_TEXT_MAX         = 4096;   // message text
constexpr size_t   QV_MS_REACTION_NAME_MAX = 32;
constexpr size_t   QV_MS_MSGS_FIRST_CAP   = 16;
constexpr size_t   QV_MS_REACTIONS_FIRST_CAP = 8;
constexpr uint64_t QV_MS_HISTORY_ALLOWANCE_MAX = 20000;
constexpr size_t   QV_MS_ARCH_MAX         = 20000;  // archive entries; the search-index record may hold fewer
constexpr size_t   QV_MS_ARCH_TEXT_MAX    = 4170;   // longer texts are not archived
constexpr uint64_t QV_MS_DAY_MS           = 86400000;

constexpr uint8_t QV_MS_CONVS_VERSION_MIN = 13;  // "convs.dat" versions read: 13 to 22
constexpr uint8_t QV_MS_CONVS_VERSION     = 22;  // written unless the test hook chose 19, 20 or 21
constexpr uint8_t QV_MS_CONVS_WRITE_MIN   = 19;
constexpr uint8_t QV_MS_MSGS_VERSION_MIN  = 2;   // message files read: versions 2 to 10
constexpr uint8_t QV_MS_MSGS_VERSION      = 10;  // always written
constexpr uint8_t QV_MS_PROFILE_VERSION   = 2;
constexpr uint8_t QV_MS_SESSION_VERSION   = 1;
constexpr uint8_t QV_MS_IDENTS_VERSION    = 1;

constexpr size_t QV_MS_PROFILE_MAX   = 1 + 1 + QV_MS_NAME_MAX + 1 + QV_MS_ABOUT_MAX + 2 + QV_MS_AVATAR_MAX + 8;
constexpr size_t QV_MS_SESSION_HDR   = 24;       // version, flag, conversation, value, text length
constexpr size_t QV_MS_IDENTS_HDR    = 5;        // version, count
constexpr size_t QV_MS_IDENT_LEN     = QV_MS_ID_LEN + QV_KEY_LEN;
constexpr size_t QV_MS_RINIT_HDR     = 4;        // next index, count
constexpr size_t QV_MS_RINIT_MAX     = QV_MS_RINIT_HDR + QV_MS_ID_LEN * QV_MS_RINIT_SLOTS;

// "convs.dat": header, then per conversation a fixed part, texts and
// avatars, older keys, members and a trailer; the store-wide bytes at the end.
constexpr size_t QV_MS_CONVS_HDR      = 5;    // version, conversation count
constexpr size_t QV_MS_CONVS_SETTINGS = 4;    // store-wide bytes of the newest version
constexpr size_t QV_MS_CONV_FIXED     = 117;  // id, key, counter, flags, read position, peer id and key
constexpr size_t QV_MS_TRAILER_MAX    = 32;
constexpr size_t QV_MS_MEMBER_FIXED   = 82;   // user id, identity key, second key, role, name length
constexpr size_t QV_MS_MEMBER_ENTRY_MAX = QV_MS_MEMBER_FIXED + QV_MS_NAME_MAX + 1 + 64 * QV_MS_MEMBER_DEVICES + 1;
constexpr size_t QV_MS_CONV_ENTRY_MAX = QV_MS_CONV_FIXED + 1 + QV_MS_LABEL_MAX + 1 + QV_MS_NAME_MAX + 1 +
                                        QV_MS_ABOUT_MAX + 2 + QV_MS_AVATAR_MAX + 1 + 32 * QV_MS_OLD_KEYS + 1 +
                                        QV_MS_LABEL_MAX + 1 + QV_MS_MEMBER_MAX * QV_MS_MEMBER_ENTRY_MAX + 2 +
                                        QV_MS_AVATAR_MAX + QV_MS_TRAILER_MAX;
static_assert(QV_MS_CONV_FIXED == 16 + 32 + 8 + 5 + 8 + 16 + 32);
static_assert(QV_MS_CONV_ENTRY_MAX == 31773 && QV_MS_CONVS_HDR + QV_MS_CONVS_SETTINGS == 9);
// message file: version and three counts; per message 79 bytes and the text, per reaction 73 and the
// name, per mark 34 and its part (a reaction's user and name, an edit's kept text); from version 10 a
// count of floors and 24 bytes per floor
constexpr size_t QV_MS_MSGS_HDR       = 13;
constexpr size_t QV_MS_MSG_FIXED      = 79;
constexpr size_t QV_MS_REACTION_FIXED = 73;
constexpr size_t QV_MS_MARK_FIXED     = 34;
constexpr size_t QV_MS_FLOOR_LEN      = 24;   // user, position
static_assert(QV_MS_MSG_FIXED == 16 + 8 + 8 + 1 + 1 + 4 + 32 + 1 + 8 && QV_MS_REACTION_FIXED == 16 + 8 + 16 + 1 + 32);
static_assert(QV_MS_MARK_FIXED == 1 + 1 + 16 + 8 + 8 && QV_MS_MSGS_HDR == 1 + 4 + 4 + 4);

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
inline constexpr std::string_view MS_LABEL_UNOPENED  = "qv-ms-unop";     // + conversation id
inline constexpr std::string_view MS_LABEL_RATCHET   = "qv-ms-ratchet";  // + conversation id + device key
inline constexpr std::string_view MS_LABEL_RPREV     = "qv-ms-rprev";    // + slot byte + conversation id + device key

static_assert(MS_STORE_KEY_LABEL.size() == 22 && MS_STORE_KEY_LABEL.size() + QV_KEY_LEN == 54);
static_assert(MS_LABEL_CONVS.size() == 11 && MS_LABEL_PROFILE.size() == 10 && MS_LABEL_SESSION.size() == 10);
static_assert(MS_LABEL_IDENTS.size() == 10 && MS_LABEL_RINIT.size() == 11 && MS_LABEL_PREKEYS.size() == 13);
static_assert(MS_LABEL_MSGS.size() + QV_MS_ID_LEN == 26 && MS_LABEL_ARCH.size() + QV_MS_ID_LEN == 26);
static_assert(MS_LABEL_UNOPENED.size() == MS_LABEL_MSGS.size());
static_assert(MS_LABEL_RATCHET.size() + QV_MS_ID_LEN + QV_MS_DEVICE_LEN == 61);
static_assert(MS_LABEL_RPREV.size() + 1 + QV_MS_ID_LEN + QV_MS_DEVICE_LEN == 60);

inline constexpr char MS_FILE_CONVS[]   = "convs.dat";
inline constexpr char MS_FILE_PROFILE[] = "profile.dat";
inline constexpr char MS_FILE_SESSION[] = "session.dat";
inline constexpr char MS_FILE_IDENTS[]  = "idents.dat";
inline constexpr char MS_FILE_RINIT[]   = "rinit.dat";
inline constexpr char MS_FILE_PREKEYS[] = "prekeys.dat";
inline constexpr char MS_UNREAD_SUFFIX[] = ".unread-";  // "<file>.unread-<ms>": a file kept aside because it could not be read

struct quorvane_ms_unread;  // private: store files found present but unusable

// Message types the store treats apart.
constexpr uint8_t QV_MS_TYPE_TEXT = 1, QV_MS_TYPE_SYSTEM = 2, QV_MS_TYPE_FILE = 4, QV_MS_TYPE_DELETED = 8;

struct quorvane_ms_member {
    uint8_t user_id[QV_MS_ID_LEN];
    uint8_t identity_key[QV_KEY_LEN];
    uint8_t second_key[QV_KEY_LEN];                          // the member's; handed back unchanged
    uint8_t role;                                            // 1 and 2 may delete others' messages
    uint8_t muted;
    char    name[QV_MS_NAME_MAX + 1];                        // zero-terminated
    uint8_t device_count;
    uint8_t devices[QV_MS_MEMBER_DEVICES][2][QV_KEY_LEN];    // pairs of keys
};

struct quorvane_ms_msg_index;  // the store's private lookup structure
struct quorvane_ms_text_arena;  // the texts of one message file read, in one block

struct quorvane_ms_msg {
    uint8_t  author[QV_MS_ID_LEN];
    uint8_t  author_device[QV_MS_DEVICE_LEN];  // zero when not known
    uint64_t msg_id;                           // the author's counter
    uint64_t time;                             // ms since the epoch; 0 never expires
    uint64_t position;                         // server position; 0 not yet known
    uint8_t  type;
    uint8_t  edited;
    uint8_t  send_status;                      // own messages: 1 sending, 2 sent, 3 failed
    uint8_t  text_shared;                      // memory only: text lies in its conversation's text arena
    char    *text;                             // owned, zero-terminated, wiped before release
    size_t   text_len;
};

// What a delete, an edit or a reaction left, by its target (and, for a
// reaction, its user and name): where the newest one applied stands, so that
// an older one from a history page changes nothing, and for a message not
// held yet, what it must arrive as.
// A mark whose message is held is settled: dropping it changes nothing shown,
// as a history action for a held message without a mark is one its state
// already shows. One whose message is not held yet waits for it, and is
// counted against the one who acted (a delete's or an edit's author, a
// reaction's user), so that one member's flood pushes out only its own; when
// one must go, that one's history older than it is refused from then on (a
// floor), so that a message deleted or a reaction taken back never shows.
constexpr size_t   QV_MS_MARKS_MAX = 1024;          // settled marks per conversation; the oldest go first
constexpr size_t   QV_MS_MARKS_SENDER_MAX = 4096;   // waiting marks per member
constexpr size_t   QV_MS_MARKS_WAITING_MAX = 16384; // waiting marks per conversation; the fullest member's go first
constexpr size_t   QV_MS_MARKS_ALL_MAX = QV_MS_MARKS_MAX + QV_MS_MARKS_WAITING_MAX;
constexpr size_t   QV_MS_FLOORS_MAX = 1024;         // members with a floor; past it the floor holds for everyone
constexpr uint64_t QV_MS_MARK_LIVE = UINT64_MAX;  // a live or own action: newer than any history page
constexpr uint8_t  QV_MS_MARK_DELETE = 1, QV_MS_MARK_EDIT = 2, QV_MS_MARK_REACTION = 3;
struct quorvane_ms_mark {
    uint8_t  kind;
    uint8_t  flag;                             // reaction: 1 added, 0 removed; edit: 1 text kept for the message
    uint8_t  target_author[QV_MS_ID_LEN];
    uint64_t target_id;
    uint64_t position;                         // of the newest action applied; QV_MS_MARK_LIVE
    uint8_t  user_id[QV_MS_ID_LEN];            // reaction
    uint8_t  name_len;                         // reaction: 1 to 32
    char     name[QV_MS_REACTION_NAME_MAX + 1];
    char    *text;                             // edit with flag 1: owned, wiped before release
    size_t   text_len;
    uint8_t  held;                             // memory only: its message is held
};

// History of one member older than `position` is refused: a mark of theirs
// that still waited had to go. An all-zero user stands for everyone.
struct quorvane_ms_floor {
    uint8_t  user_id[QV_MS_ID_LEN];
    uint64_t position;                         // QV_MS_MARK_LIVE: all of it
};

// A conversation-key envelope set aside unopened, kept to be tried again
// when new keys arrive.
struct quorvane_ms_unopened {
    uint64_t position;
    uint8_t *env;                              // owned
    size_t   len;
    uint8_t  sender[QV_MS_ID_LEN];             // memory only: from the envelope's header, zero when it has none
};

struct quorvane_ms_reaction {
    uint8_t  target_author[QV_MS_ID_LEN];
    uint8_t  target_device[QV_MS_DEVICE_LEN];  // zero when not given
    uint64_t target_id;
    uint8_t  user_id[QV_MS_ID_LEN];
    uint8_t  name_len;                         // 1 to 32
    char     name[QV_MS_REACTION_NAME_MAX + 1];
};

// One conversation. Keys and texts are wiped before the record goes.
struct quorvane_ms_conv {
    uint8_t  id[QV_MS_ID_LEN];
    uint8_t  key[QV_KEY_LEN];
    uint8_t  has_key;                          // 0: a placeholder made before its key arrived
    uint8_t  kind;                             // kind + 1 (0 direct, 1 group, 2 channel); 0 not announced
    uint64_t read_mark;                        // highest position read on own devices
    uint8_t  notif_mode;                       // 0 default, 1 on, 2 off
    uint8_t  old_key_count;
    uint8_t  old_keys[QV_MS_OLD_KEYS][QV_KEY_LEN];  // newest first
    uint64_t send_counter;
    char     label[QV_MS_LABEL_MAX + 1];
    uint8_t  peer_id[QV_MS_ID_LEN];
    uint8_t  peer_key[QV_KEY_LEN];
    uint8_t  peer_set;
    uint8_t  verified;                         // 0 no, 1 yes, 2 verified key since replaced
    uint64_t read_pos;                         // highest position a read receipt reported
    uint8_t  peer_profile;
    char     peer_name[QV_MS_NAME_MAX + 1];
    char     peer_about[QV_MS_ABOUT_MAX + 1];
    uint8_t  mute_mode;                        // 0 default, 1 on, 2 off
    uint8_t  blocked;
    uint16_t peer_avatar_len;
    uint8_t  peer_avatar[QV_MS_AVATAR_MAX];
    char     group_name[QV_MS_LABEL_MAX + 1];
    uint16_t group_avatar_len;
    uint8_t  group_avatar[QV_MS_AVATAR_MAX];
    quorvane_ms_member   *members;             // exactly member_count records
    size_t                member_count;
    quorvane_ms_msg      *msgs;                // position order
    size_t                msg_count, msg_alloc;
    size_t                msg_front;           // memory only: free records before msgs in its allocation
    quorvane_ms_msg_index *msg_index;          // memory only: built on demand, dropped when out of step
    quorvane_ms_text_arena *text_arenas;       // memory only: freed when no message can point into them
    quorvane_ms_reaction *reactions;
    size_t                reaction_count, reaction_alloc;
    quorvane_ms_mark     *marks;               // oldest first
    size_t                mark_count, mark_alloc;
    quorvane_ms_floor    *floors;
    size_t                floor_count;
    uint32_t revision;                         // raised on every change a view must show
    uint64_t sync_cursor;
    uint64_t hold_pos;                         // an envelope that did not open: the cursor stays below it; 0 none
    uint8_t  hold_tries;                       // syncs it failed in
    uint64_t hold_high;                        // the highest position that failed while it was held
    uint64_t aside_upto;                       // failures at or below are set aside at once
    uint32_t unopened;                         // envelopes set aside, all told
    uint32_t unopened_dropped;                 // kept ones that went to make room for newer ones
    quorvane_ms_unopened *kept;                // set aside, oldest first; QV_MS_UNOPENED_KEPT records
    size_t   kept_count;
    uint8_t  unopened_dirty;                   // memory only: "u_" conv ".dat" is due
    uint8_t  hold_seen;                        // memory only: the held envelope came since the last sync began
    uint8_t  hidden;                           // forgotten by the user
    uint64_t history_floor;
    uint32_t retention_days;                   // 0 keeps forever
    uint64_t history_allowance;                // memory only; at most 20000
    uint8_t  msgs_dirty;                       // memory only: the message file is due at the batch's end
    uint8_t  unlisted;                         // memory only: made inside a batch, not yet in "convs.dat"
    quorvane_ms_msg *arch_pending;             // memory only: trimmed inside a batch, archived at its end
    size_t           arch_pending_count, arch_pending_alloc;
};

// One message in and out of the store. Callers clear it before filling it
// and wipe it after use.
struct quorvane_ms_msgrec {
    uint8_t  conv_id[QV_MS_ID_LEN];
    uint8_t  author[QV_MS_ID_LEN];
    uint8_t  author_device[QV_MS_DEVICE_LEN];
    uint64_t msg_id;
    uint64_t time;
    uint64_t position;
    uint8_t  type;
    uint8_t  edited;
    uint8_t  send_status;
    char     text[QV_MS_TEXT_MAX + 1];
    uint64_t text_len;
};

struct quorvane_ms_reaction_count {
    char     name[QV_MS_REACTION_NAME_MAX + 1];
    uint32_t count;
    uint32_t mine;                             // 1 when the given own user reacted so
};

// What the conversation-list decoder hands back: the conversations read
// (records the caller releases with quorvane_ms_conv_list_free) and the
// store-wide bytes, defaults when they were not read.
struct quorvane_ms_conv_list {
    quorvane_ms_conv *convs;
    size_t            count, cap;
    int               complete;                // every announced entry and the store-wide bytes were read
    uint8_t           mute_defaults, notif_defaults, car_flags, receipts_off;
};

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
struct quorvane_ms_behind;

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
    uint8_t             sync_begun;      // a sync was asked for and its end has not come
    uint8_t             mute_defaults;   // bit k: kind k muted by default
    uint8_t             notif_defaults;  // bit k: notifications off by default for kind k
    uint8_t             car_flags;
    uint8_t             receipts_off;
    quorvane_ms_unread *unread;
    uint32_t            batch_depth;     // open batches; writes wait for the outermost end
    uint8_t             convs_dirty;     // "convs.dat" is due at the batch's end
    uint8_t             idents_dirty;    // "idents.dat" is due at the batch's end
    quorvane_ms_behind *behind;          // files sealed at a batch's end, waiting for the disk
};

// Open, close and housekeeping
[[nodiscard]] quorvane_msgstore *quorvane_msgstore_open(const char *dir, const uint8_t secret[32]);  // creates the directory (0700); null on failure
void quorvane_msgstore_close(quorvane_msgstore *ms);                                                 // wipes and frees; null ignored
int  quorvane_msgstore_discard_asides(const char *dir);       // removes dir".pre-recreate" and dir".pre-reset"; how many went
int  quorvane_msgstore_test_write_version(int version);       // 19, 20 or 21, else 22; returns 22
[[nodiscard]] int quorvane_msgstore_write_version();          // the version "convs.dat" is written in
[[nodiscard]] int quorvane_msgstore_unreadable(const quorvane_msgstore *ms, const char *name);  // 1: present but unusable, set aside at its next write

// Batches
// - between begin and the outermost end, changes to messages, reactions, the
//   archive and the conversation list stay in memory and mark their files;
//   end writes each marked file once: archives, then message files, then
//   "convs.dat", so no sync cursor or read position on disk is ever ahead of
//   the messages it covers. Keys and send counters are written at once
//   (with every file marked before them), never held back, except the key of
//   a conversation made inside the batch: the server lists such a
//   conversation with its key at every sync, so one lost in a crash comes
//   back, and a burst of new conversations costs one list write, not one each.
// - a failed end keeps the marks: flush, the next end or close tries again.
void              quorvane_msgstore_batch_begin(quorvane_msgstore *ms);
[[nodiscard]] int quorvane_msgstore_batch_end(quorvane_msgstore *ms);  // 0 all written (or still nested), -1 a write failed
[[nodiscard]] int quorvane_msgstore_write_pending(quorvane_msgstore *ms);  // marked messages now, batch or not (-1 when they failed); the list too if it can

// Writes behind the caller's lock
// - batch_end_behind ends a batch as batch_end does, but copies the due
//   files' contents into a queue instead of writing them: the caller holds
//   its lock for the copying only, lets it go, and calls write_behind, which
//   seals and writes them, touches no state a reader sees, and may run
//   beside readers of the store (a writer waits for it);
// - settle, with the lock held again, puts back the marks of files that could
//   not be written; any other write of the store writes the queue first, so
//   the files on disk keep their order;
// - a file counts as written once write_behind returned: a sync or an
//   acknowledgement that rests on it is sent after that, never before.
[[nodiscard]] int quorvane_msgstore_batch_end_behind(quorvane_msgstore *ms);  // 0 queued (or still nested), -1 a file could not be sealed (marks kept)
[[nodiscard]] int quorvane_msgstore_write_behind(quorvane_msgstore *ms);      // 0 every queued file written; -1 one failed (settle marks it due again)
void              quorvane_msgstore_settle(quorvane_msgstore *ms);

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
[[nodiscard]] int    quorvane_msgstore_rinit_seen(quorvane_msgstore *ms, const uint8_t id[16]);  // 1 also when it cannot check
[[nodiscard]] int    quorvane_msgstore_rinit_note(quorvane_msgstore *ms, const uint8_t id[16]);  // the ring keeps the last 256
[[nodiscard]] int    quorvane_msgstore_put_prekeys(quorvane_msgstore *ms, const uint8_t *data, size_t len);
[[nodiscard]] size_t quorvane_msgstore_get_prekeys(quorvane_msgstore *ms, uint8_t *buf, size_t cap);
[[nodiscard]] int    quorvane_msgstore_identity_tofu(quorvane_msgstore *ms, const uint8_t user_id[16],
                                                     const uint8_t key[32]);  // 0 new (in a batch written at its end), 1 same, -1 changed, -2 refused or not written

// Conversations and keys
// - the id is 16 bytes, keys 32; a conversation that is not held gives -1
//   from a setter and 0 from a getter unless a line says otherwise.
// - every change writes "convs.dat"; a failed write returns -1 and keeps the change in memory.
// - a record created by either put reads the conversation's message file when one is on disk,
//   as open does, so a history whose list entry was lost comes back.
[[nodiscard]] int quorvane_msgstore_put_conv(quorvane_msgstore *ms, const uint8_t id[16], const uint8_t key[32]);
[[nodiscard]] int quorvane_msgstore_put_conv_locked(quorvane_msgstore *ms, const uint8_t id[16]);  // placeholder without key
int               quorvane_msgstore_conv_locked(const quorvane_msgstore *ms, const uint8_t id[16]);
int               quorvane_msgstore_get_conv(const quorvane_msgstore *ms, const uint8_t id[16], uint8_t key[32]);  // 1 keyed
size_t            quorvane_msgstore_get_conv_keys(const quorvane_msgstore *ms, const uint8_t id[16], uint8_t (*out)[32],
                                                  size_t cap);  // current first, then older
[[nodiscard]] int quorvane_msgstore_add_old_keys(quorvane_msgstore *ms, const uint8_t id[16], const uint8_t (*keys)[32],
                                                 size_t count);  // how many added
size_t            quorvane_msgstore_conv_count(const quorvane_msgstore *ms);
const quorvane_ms_conv *quorvane_msgstore_conv_at(const quorvane_msgstore *ms, size_t index);  // null past the end
[[nodiscard]] uint64_t  quorvane_msgstore_next_counter(quorvane_msgstore *ms, const uint8_t id[16]);  // 0 on failure

// Peer, verification and profiles
[[nodiscard]] int quorvane_msgstore_set_label(quorvane_msgstore *ms, const uint8_t id[16], const char *text);  // cut to 63
int               quorvane_msgstore_get_label(const quorvane_msgstore *ms, const uint8_t id[16], char *buf, size_t size);
[[nodiscard]] int quorvane_msgstore_set_peer(quorvane_msgstore *ms, const uint8_t id[16], const uint8_t peer[16],
                                             const uint8_t key[32]);  // a replaced key of a verified peer gives mark 2
int               quorvane_msgstore_get_peer(const quorvane_msgstore *ms, const uint8_t id[16], uint8_t peer[16],
                                             uint8_t key[32]);  // 1 set, 0 none, -1 not held
[[nodiscard]] int quorvane_msgstore_set_verified(quorvane_msgstore *ms, const uint8_t id[16], int flag);
int               quorvane_msgstore_get_verified(const quorvane_msgstore *ms, const uint8_t id[16]);  // -1 not held
int               quorvane_msgstore_identity_changed(const quorvane_msgstore *ms, const uint8_t id[16]);
[[nodiscard]] int quorvane_msgstore_set_peer_profile(quorvane_msgstore *ms, const uint8_t id[16], const char *name,
                                                     const char *about);
int               quorvane_msgstore_get_peer_profile(const quorvane_msgstore *ms, const uint8_t id[16], char *name,
                                                     size_t name_size, char *about, size_t about_size);  // 1, 0, -1
[[nodiscard]] int quorvane_msgstore_set_peer_avatar(quorvane_msgstore *ms, const uint8_t id[16], const quorvane_file_meta *av);
int               quorvane_msgstore_get_peer_avatar(const quorvane_msgstore *ms, const uint8_t id[16],
                                                    quorvane_file_meta *out);  // 1, 0, -1 not held
[[nodiscard]] int quorvane_msgstore_set_group_avatar(quorvane_msgstore *ms, const uint8_t id[16], const quorvane_file_meta *av);
int               quorvane_msgstore_get_group_avatar(const quorvane_msgstore *ms, const uint8_t id[16], quorvane_file_meta *out);
[[nodiscard]] int quorvane_msgstore_set_group_name(quorvane_msgstore *ms, const uint8_t id[16], const char *name);
int               quorvane_msgstore_get_group_name(const quorvane_msgstore *ms, const uint8_t id[16], char *buf,
                                                   size_t size);  // 1 non-empty, 0 empty, -1 not held

// Members
// - at most 64 members, 5 device pairs each; names cut to 64 bytes.
[[nodiscard]] int quorvane_msgstore_set_members(quorvane_msgstore *ms, const uint8_t id[16], const uint8_t (*users)[16],
                                                const uint8_t (*identity_keys)[32], const uint8_t (*second_keys)[32],
                                                const uint8_t *roles, size_t count);
[[nodiscard]] int quorvane_msgstore_set_member_devices(quorvane_msgstore *ms, const uint8_t id[16], const uint8_t user[16],
                                                       const uint8_t (*first)[32], const uint8_t (*second)[32], size_t count);
[[nodiscard]] int quorvane_msgstore_set_member_muted(quorvane_msgstore *ms, const uint8_t id[16], const uint8_t (*users)[16],
                                                     const uint8_t *flags, size_t count);  // unlisted members unmuted
int               quorvane_msgstore_member_muted(const quorvane_msgstore *ms, const uint8_t id[16], size_t index);
size_t            quorvane_msgstore_member_devices(const quorvane_msgstore *ms, const uint8_t id[16], const uint8_t user[16],
                                                   uint8_t (*first)[32], uint8_t (*second)[32], size_t cap);
size_t            quorvane_msgstore_member_count(const quorvane_msgstore *ms, const uint8_t id[16]);
int               quorvane_msgstore_member_at(const quorvane_msgstore *ms, const uint8_t id[16], size_t index, uint8_t user[16],
                                              uint8_t identity_key[32], uint8_t second_key[32], uint8_t *role);
[[nodiscard]] int quorvane_msgstore_set_member_name(quorvane_msgstore *ms, const uint8_t id[16], const uint8_t user[16],
                                                    const char *name);  // 0 also when not a member
int               quorvane_msgstore_member_name(const quorvane_msgstore *ms, const uint8_t id[16], const uint8_t user[16],
                                                char *buf, size_t size);  // 1 non-empty, 0 empty, -1 not found
int               quorvane_msgstore_can_delete(const quorvane_msgstore *ms, const uint8_t id[16], const uint8_t user[16],
                                               const uint8_t author[16]);
[[nodiscard]] int quorvane_msgstore_group_safety_number(const quorvane_msgstore *ms, const uint8_t id[16], char *out,
                                                        size_t size);  // size at least 72; 1 to 64 members

// Kind, visibility and lookup
[[nodiscard]] int quorvane_msgstore_set_kind(quorvane_msgstore *ms, const uint8_t id[16], int kind);  // 0 to 2
int               quorvane_msgstore_kind(const quorvane_msgstore *ms, const uint8_t id[16]);  // derived when not announced
int               quorvane_msgstore_find_dm(const quorvane_msgstore *ms, const uint8_t peer[16], uint8_t conv_out[16]);
int               quorvane_msgstore_conv_hidden(const quorvane_msgstore *ms, const uint8_t id[16]);
// - delete and forget return -1, keeping the record and its messages, while a file they remove is still there.
[[nodiscard]] int quorvane_msgstore_delete_conv(quorvane_msgstore *ms, const uint8_t id[16]);  // with its message and archive files
[[nodiscard]] int quorvane_msgstore_forget_conv(quorvane_msgstore *ms, const uint8_t id[16]);  // hides it, drops its messages

// Read positions and sync cursors
// - positions only move forward; cursor notes are written by flush, a batch's end or close.
[[nodiscard]] int quorvane_msgstore_set_read(quorvane_msgstore *ms, const uint8_t id[16], uint64_t position);
uint64_t          quorvane_msgstore_get_read(const quorvane_msgstore *ms, const uint8_t id[16]);
[[nodiscard]] int quorvane_msgstore_set_read_mark(quorvane_msgstore *ms, const uint8_t id[16], uint64_t position);  // 1 moved
uint64_t          quorvane_msgstore_read_mark(const quorvane_msgstore *ms, const uint8_t id[16]);
size_t            quorvane_msgstore_unread(const quorvane_msgstore *ms, const uint8_t id[16], const uint8_t own[16],
                                           uint64_t *highest);
void              quorvane_msgstore_note_cursor(quorvane_msgstore *ms, const uint8_t id[16], uint64_t cursor);
void              quorvane_msgstore_hold_cursor(quorvane_msgstore *ms, const uint8_t id[16],
                                                uint64_t position);  // the cursor stays below it until it is noted
[[nodiscard]] int quorvane_msgstore_flush(quorvane_msgstore *ms);
uint64_t          quorvane_msgstore_sync_cursor(const quorvane_msgstore *ms, const uint8_t id[16]);  // never below the floor
uint32_t          quorvane_msgstore_conv_revision(const quorvane_msgstore *ms, const uint8_t id[16]);

// Conversation-key envelopes that do not open
// - a live one holds the conversation's sync cursor below it, so the next sync
//   brings it again (new keys may have come meanwhile); once it has failed in
//   QV_MS_HOLD_TRIES syncs, it and every failure seen behind it while it was
//   held are set aside and the cursor moves on: noting the held position (it
//   opened) ends the hold too. A set-aside envelope is counted and, when it
//   could ever open, kept to be tried when keys arrive: the server drops its
//   copies once the cursor passes, so the store's is the only one left.
// - what is kept is bounded per sender (the envelope header's), so that one
//   member's envelopes that never open push out only its own, and per
//   conversation, where the sender keeping the most gives way; each one that
//   goes is counted.
// - the state is "u_" conv ".dat", written as cursor notes are (by a flush, a
//   batch's end or close) and before the list, as message files are.
constexpr uint8_t QV_MS_HOLD_TRIES        = 3;
constexpr size_t  QV_MS_UNOPENED_SENDER_KEPT = 256;   // per sender and conversation
constexpr size_t  QV_MS_UNOPENED_KEPT     = 1024;     // per conversation
constexpr size_t  QV_MS_UNOPENED_ENV_MAX  = 4250;  // the longest conversation-key envelope that can open
constexpr uint8_t QV_MS_UNOPENED_VERSION  = 2;     // written; version 1 is read too
constexpr size_t  QV_MS_UNOPENED_HDR      = 31;    // version 1: version, hold, tries, highest, set aside up to, count, kept
constexpr size_t  QV_MS_UNOPENED_HDR_V2   = 36;    // ... count, dropped, kept (two bytes)
static_assert(QV_MS_UNOPENED_HDR == 1 + 8 + 1 + 8 + 8 + 4 + 1 && QV_MS_UNOPENED_HDR_V2 == 1 + 8 + 1 + 8 + 8 + 4 + 4 + 2);
[[nodiscard]] int quorvane_msgstore_hold_at(quorvane_msgstore *ms, const uint8_t id[16],
                                            uint64_t position);  // 0 held, 1 set it aside now, -1 not held conversation
[[nodiscard]] int quorvane_msgstore_unopened_keep(quorvane_msgstore *ms, const uint8_t id[16], uint64_t position,
                                                  const uint8_t *env, size_t len);  // counted; kept unless too long to open; 1 when an older one went for it
uint32_t          quorvane_msgstore_unopened_dropped(const quorvane_msgstore *ms, const uint8_t id[16]);
uint64_t          quorvane_msgstore_hold_position(const quorvane_msgstore *ms, const uint8_t id[16]);  // 0 none
uint32_t          quorvane_msgstore_unopened_count(const quorvane_msgstore *ms, const uint8_t id[16]);
size_t            quorvane_msgstore_unopened_kept(const quorvane_msgstore *ms, const uint8_t id[16]);
int               quorvane_msgstore_unopened_at(const quorvane_msgstore *ms, const uint8_t id[16], size_t index,
                                                uint64_t *position, const uint8_t **env,
                                                size_t *len);  // 0; the bytes stay until the next change
[[nodiscard]] int quorvane_msgstore_unopened_drop(quorvane_msgstore *ms, const uint8_t id[16],
                                                  uint64_t position);  // 1 dropped, 0 not kept
// - a sync brings every copy above the cursors it names: a held envelope that
//   did not come between its request and its end is no longer on the server
//   (its retention, or a removal, took it), and its hold ends there.
void              quorvane_msgstore_sync_begun(quorvane_msgstore *ms);  // the sync request went out
size_t            quorvane_msgstore_sync_ended(quorvane_msgstore *ms);  // holds ended; 0 without a sync begun

// Settings
// - setting 0 is mute, 1 notifications; modes 0 default, 1 on, 2 off.
[[nodiscard]] int quorvane_msgstore_set_muted(quorvane_msgstore *ms, const uint8_t id[16], int flag);
int               quorvane_msgstore_get_muted(const quorvane_msgstore *ms, const uint8_t id[16]);
[[nodiscard]] int quorvane_msgstore_set_mode(quorvane_msgstore *ms, const uint8_t id[16], int setting, int value);
int               quorvane_msgstore_mode(const quorvane_msgstore *ms, const uint8_t id[16], int setting);
[[nodiscard]] int quorvane_msgstore_set_type_default(quorvane_msgstore *ms, int setting, int kind, int on);
int               quorvane_msgstore_type_default(const quorvane_msgstore *ms, int setting, int kind);
int               quorvane_msgstore_effective(const quorvane_msgstore *ms, const uint8_t id[16], int setting);
[[nodiscard]] int quorvane_msgstore_set_car_flags(quorvane_msgstore *ms, int flags);  // 0 to 7
int               quorvane_msgstore_car_flags(const quorvane_msgstore *ms);
[[nodiscard]] int quorvane_msgstore_set_send_receipts(quorvane_msgstore *ms, int on);
int               quorvane_msgstore_send_receipts(const quorvane_msgstore *ms);  // 1 for a null store
[[nodiscard]] int quorvane_msgstore_set_blocked(quorvane_msgstore *ms, const uint8_t id[16], int flag);
int               quorvane_msgstore_get_blocked(const quorvane_msgstore *ms, const uint8_t id[16]);
[[nodiscard]] int quorvane_msgstore_set_retention(quorvane_msgstore *ms, const uint8_t id[16], uint32_t days);
uint32_t          quorvane_msgstore_get_retention(const quorvane_msgstore *ms, const uint8_t id[16]);

// Messages, reactions and the archive
// - every change writes the conversation's message file and raises its revision.
// - lookups by (author, message id) take the first match in list order.
// - messages beyond the cap leave only into the archive: while it cannot be
//   written they stay live, the add that would trim them returns -1 and
//   set_msg_cap does not count the conversation.
typedef void (*quorvane_ms_scan_cb)(void *user, const quorvane_ms_msgrec *rec);
[[nodiscard]] int quorvane_msgstore_add_msg(quorvane_msgstore *ms, const quorvane_ms_msgrec *rec);      // 1 added, 0 duplicate
[[nodiscard]] int quorvane_msgstore_add_history(quorvane_msgstore *ms, const quorvane_ms_msgrec *rec);  // also raises the allowance
size_t            quorvane_msgstore_msg_count(const quorvane_msgstore *ms, const uint8_t id[16]);
int               quorvane_msgstore_msg_at(const quorvane_msgstore *ms, const uint8_t id[16], size_t index,
                                           quorvane_ms_msgrec *out);
int               quorvane_msgstore_find_msg(const quorvane_msgstore *ms, const uint8_t id[16], const uint8_t author[16],
                                             uint64_t msg_id, quorvane_ms_msgrec *out);
uint64_t          quorvane_msgstore_oldest_cursor(const quorvane_msgstore *ms, const uint8_t id[16]);
uint64_t          quorvane_msgstore_history_floor(const quorvane_msgstore *ms, const uint8_t id[16]);
[[nodiscard]] int quorvane_msgstore_set_send_status(quorvane_msgstore *ms, const uint8_t id[16], const uint8_t author[16],
                                                    uint64_t msg_id, int status);  // 1 changed, 0 none or equal
// - the _at forms take where the action stands: the server position of one
//   from a history page, QV_MS_MARK_LIVE for a live or own one (as the forms
//   without it do). A history edit or reaction older than one applied to the
//   same target (and user and name) changes nothing, nor does one for a
//   message held without a mark, whose state then came from newer actions; a
//   delete or edit of a message not held yet is kept for when it arrives.
[[nodiscard]] int quorvane_msgstore_delete_msg(quorvane_msgstore *ms, const uint8_t id[16], const uint8_t author[16],
                                               const uint8_t device[32], uint64_t msg_id);  // 1 deleted, 0 not found or already
[[nodiscard]] int quorvane_msgstore_edit_msg(quorvane_msgstore *ms, const uint8_t id[16], const uint8_t author[16],
                                             const uint8_t device[32], uint64_t msg_id, const char *text,
                                             size_t len);  // 1 edited, 0 not found or not text
[[nodiscard]] int quorvane_msgstore_set_reaction(quorvane_msgstore *ms, const uint8_t id[16], const uint8_t target_author[16],
                                                 const uint8_t target_device[32], uint64_t target_id,
                                                 const uint8_t user[16], const char *name, int add);
[[nodiscard]] int quorvane_msgstore_delete_msg_at(quorvane_msgstore *ms, const uint8_t id[16], const uint8_t author[16],
                                                  const uint8_t device[32], uint64_t msg_id, uint64_t at);
[[nodiscard]] int quorvane_msgstore_edit_msg_at(quorvane_msgstore *ms, const uint8_t id[16], const uint8_t author[16],
                                                const uint8_t device[32], uint64_t msg_id, const char *text, size_t len,
                                                uint64_t at);
[[nodiscard]] int quorvane_msgstore_set_reaction_at(quorvane_msgstore *ms, const uint8_t id[16], const uint8_t target_author[16],
                                                    const uint8_t target_device[32], uint64_t target_id, const uint8_t user[16],
                                                    const char *name, int add, uint64_t at);
size_t            quorvane_msgstore_mark_count(const quorvane_msgstore *ms, const uint8_t id[16]);
uint64_t          quorvane_msgstore_mark_floor(const quorvane_msgstore *ms, const uint8_t id[16],
                                               const uint8_t user[16]);  // 0 none; QV_MS_MARK_LIVE all history refused
size_t            quorvane_msgstore_reactions(const quorvane_msgstore *ms, const uint8_t id[16],
                                              const uint8_t target_author[16], const uint8_t target_device[32],
                                              uint64_t target_id, const uint8_t own[16], quorvane_ms_reaction_count *out,
                                              size_t cap);  // distinct names filled in
size_t            quorvane_msgstore_set_msg_cap(quorvane_msgstore *ms, uint64_t cap);  // conversations trimmed
size_t            quorvane_msgstore_enforce_retention(quorvane_msgstore *ms, uint64_t now_ms);  // messages removed
size_t            quorvane_msgstore_archive_scan(quorvane_msgstore *ms, const uint8_t id[16], quorvane_ms_scan_cb cb,
                                                 void *user);  // entries walked
int               quorvane_msgstore_archive_clear(quorvane_msgstore *ms, const uint8_t id[16]);

// History export and import
// - an export holds every exported conversation's keys: free it with
//   quorvane_msgstore_export_free, which wipes it.
// - import merges entry by entry; an entry that breaks a limit or is cut
//   short changes nothing and ends the import with -1, the entries before it
//   stay merged. An all-zero key never replaces a held key: a conversation
//   not held is then created locked. Older keys join as add_old_keys adds
//   them, the send counter only moves up, and a member slot taken by another
//   user starts without devices and unmuted.
constexpr uint8_t QV_MS_EXPORT_VERSION   = 1;
constexpr size_t  QV_MS_EXPORT_HDR       = 5;   // version, conversation count
constexpr size_t  QV_MS_EXPORT_CONV_HEAD = 49;  // id, key, older-key count
constexpr size_t  QV_MS_EXPORT_CONV_MIN  = 58;  // ... send counter, member count
constexpr size_t  QV_MS_EXPORT_MEMBER    = 82;  // user, identity key, second key, role, name length
constexpr size_t  QV_MS_EXPORT_MSG       = 70;  // author, device, id, time, type, edited, text length
static_assert(QV_MS_EXPORT_CONV_MIN == QV_MS_EXPORT_CONV_HEAD + 8 + 1 && QV_MS_EXPORT_MEMBER == QV_MS_MEMBER_FIXED);
static_assert(QV_MS_EXPORT_MSG == QV_MS_ID_LEN + QV_MS_DEVICE_LEN + 8 + 8 + 1 + 1 + 4);
[[nodiscard]] uint8_t *quorvane_msgstore_export_history_ex(const quorvane_msgstore *ms, int include_direct,
                                                           size_t *len);  // null on a null argument or no memory
[[nodiscard]] uint8_t *quorvane_msgstore_export_history(const quorvane_msgstore *ms, size_t *len);  // direct ones too
void                   quorvane_msgstore_export_free(uint8_t *buf, size_t len);  // wipes, frees; null ignored
[[nodiscard]] int      quorvane_msgstore_import_history(quorvane_msgstore *ms, const uint8_t *data, size_t len);

// Plaintext decoders of the files below the seal
// - each reads only inside [pt, pt + n) and zeroes its output first.
[[nodiscard]] int    quorvane_ms_profile_decode(const uint8_t *pt, size_t n, quorvane_ms_profile *out);  // 1 used (fields up to the first bad one), 0 unusable
[[nodiscard]] int    quorvane_ms_session_decode(const uint8_t *pt, size_t n, quorvane_ms_session *out);  // -1 short or another version
[[nodiscard]] long   quorvane_ms_idents_decode(const uint8_t *pt, size_t n, quorvane_ms_ident *out,
                                               size_t cap);  // entries taken (first cap copied), -1 unusable
[[nodiscard]] int    quorvane_ms_rinit_decode(const uint8_t *pt, size_t n, quorvane_ms_rinit *out);  // -1 invalid: the ring is left empty
[[nodiscard]] int    quorvane_ms_convs_decode(const uint8_t *pt, size_t n,
                                              quorvane_ms_conv_list *out);  // -1 unusable; 0 entries up to the first bad one
void                 quorvane_ms_conv_list_free(quorvane_ms_conv_list *list);       // wipes every record
[[nodiscard]] int    quorvane_ms_msgs_decode(const uint8_t *pt, size_t n,
                                             quorvane_ms_conv *conv);  // into an empty conv: -1 unusable, 0 whole, 1 stopped early
void                 quorvane_ms_conv_clear(quorvane_ms_conv *conv);  // wipes texts and keys, frees the arrays
[[nodiscard]] int    quorvane_ms_unopened_decode(const uint8_t *pt, size_t n,
                                                 quorvane_ms_conv *conv);  // into an empty conv: -1 unusable, 0 whole, 1 stopped early
[[nodiscard]] size_t quorvane_ms_rprev_decode(const uint8_t *pt, size_t n, uint64_t *value,
                                              const uint8_t **state);  // state length; 0 below 9 bytes

// Names found in the store directory (terminated texts; anything may lie there)
[[nodiscard]] int quorvane_ms_ratchet_name_parse(const char *name, const uint8_t conv_id[16],
                                                 uint8_t device_out[32]);  // 1: "r_" conv "_" device ".dat", device filled
[[nodiscard]] int quorvane_ms_peer_name_of_device(const char *name,
                                                  const uint8_t device[32]);  // 1: "r_" or "rp" name ending "_" device ".dat"
