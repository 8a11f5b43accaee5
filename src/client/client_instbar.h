// The instance bar's logic: the order of its rows, the initials of an instance
// without an avatar, unread counts and mention marks per instance, which message
// types count as unread, the three-way conversation modes, the muted-instance
// file and invite links. Pure functions on the caller's arrays except the mute
// file; counts are returned, file and link functions return 0 or -1.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t   QV_INSTBAR_MAX       = 128;   // instances in a layout
constexpr uint8_t  QV_INSTBAR_NO_CAT    = 255;   // category index of an uncategorised instance
constexpr uint32_t QV_INSTBAR_ROW_INST  = 0;
constexpr uint32_t QV_INSTBAR_ROW_CAT   = 1;
constexpr size_t   QV_INSTMUTE_MAX      = 32;    // ids the application loads
constexpr size_t   QV_INSTMUTE_LINE_MAX = 63;    // bytes judged at once; longer lines come in pieces
constexpr size_t   QV_INVITE_TOKEN_LEN  = 16;
constexpr uint32_t QV_UNREAD_TYPE_MASK  = 0x13412;  // text, file, reply, voice, link, sticker

// Filled by the application from its instance list and the user's arrangement.
struct quorvane_instbar_layout {
    uint64_t category_count;
    uint64_t instance_count;                  // only the first 128 are planned
    uint8_t  category[QV_INSTBAR_MAX];        // 255, or any index >= category_count: none
    uint8_t  position[QV_INSTBAR_MAX];        // lower first, then by index
};

struct quorvane_instbar_item {                // one planned row
    uint32_t kind;                            // QV_INSTBAR_ROW_INST or QV_INSTBAR_ROW_CAT
    int32_t  category;                        // 255 for uncategorised instances
    uint64_t instance;                        // 0 for a category header
};

struct quorvane_instance_rec {                // one instance of the worker's list
    uint8_t        id[16];
    size_t         conv_count;
    const uint8_t (*convs)[16];               // conv_count conversation ids
};

struct quorvane_unread {
    uint8_t  conv[16];
    uint32_t count;
    uint8_t  mentioned;                       // 0 or 1
    uint8_t  second;                          // 0 or 1; set by the application, summed like `mentioned`
};
static_assert(sizeof(quorvane_unread) == 24);

// Rows and initials
size_t  quorvane_instbar_plan(const quorvane_instbar_layout *layout, quorvane_instbar_item *rows, size_t cap);  // rows written
void    quorvane_instbar_initials(const char *name, char *out, size_t cap);  // up to two; "?" when none fits; always terminated when cap > 0
int64_t quorvane_instbar_find_conv(const quorvane_instance_rec *inst, size_t count, const uint8_t conv[16]);  // first instance listing it, or -1

// Unread counts
// - entries are the caller's array; bump and clear return its new length.
// - aggregate: slot 0 is for conversations of no instance, slot i + 1 for instance i;
//   entries of muted instances count nowhere. second_marks may be null.
size_t  quorvane_unread_bump(quorvane_unread *entries, size_t count, size_t cap, const uint8_t conv[16], int mention);  // a full array is left alone
size_t  quorvane_unread_clear(quorvane_unread *entries, size_t count, const uint8_t conv[16]);
void    quorvane_unread_aggregate(const quorvane_unread *entries, size_t count, const quorvane_instance_rec *inst,
                                  size_t inst_count, const uint8_t (*muted)[16], size_t muted_count, uint64_t *totals,
                                  uint8_t *mention_marks, uint8_t *second_marks);  // arrays of inst_count + 1
int     quorvane_unread_type_counts(int type);                 // 1 or 0
int     quorvane_conv_mode_resolve(int mode, int def);         // mode 0 default, 1 on, 2 off -> 1 on, 0 off

// Muted instances: one id per line, 32 hex digits; the file is absent when none is muted.
size_t  quorvane_instmute_load(const char *path, uint8_t (*ids)[16], size_t cap);  // ids read; 0 when missing
[[nodiscard]] int quorvane_instmute_save(const char *path, const uint8_t (*ids)[16], size_t count);  // replaced atomically; removed when count is 0

// Invite links: "quorvane://HOST:PORT/join/TOKEN"; parsing takes only the token.
[[nodiscard]] int quorvane_invite_uri_format(const char *host, const char *port, const uint8_t token[16], char *out, size_t cap);
[[nodiscard]] int quorvane_invite_uri_parse(const char *text, uint8_t token[16]);  // also a bare 32-digit code
