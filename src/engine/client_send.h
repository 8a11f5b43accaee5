// Sending one user action as one sealed message: texts, replies, files, voice,
// links, edits, reactions, deletes, profiles, avatars and group meta, and the
// group keys (rekeys, reseals, grants).
// Results: 0 ok / -1 failure. Every function refuses at once a null or not
// signed-in session, a missing pointer and (all but the profile and the avatar)
// a session without a message store. A send the sealed path refuses changes
// nothing locally; texts are NUL-terminated and measured in bytes.
#pragma once

#include "quorvane_msg.h"

#include <cstddef>
#include <cstdint>

struct quorvane_cs;
struct quorvane_member;

constexpr size_t   QV_SEND_TEXT_MAX     = 4096;  // text and system bodies
constexpr size_t   QV_SEND_QUOTE_MAX    = 4071;  // reply and edit texts: what fits beside the target and the wrappers
constexpr size_t   QV_SEND_TEXT_BUF     = 4104;
constexpr size_t   QV_SEND_STICKER_BUF  = 4170;
constexpr size_t   QV_SEND_EDIT_BUF     = 4160;
constexpr size_t   QV_SEND_SMALL_BUF    = 128;   // reactions and deletes
constexpr size_t   QV_SEND_FILE_BUF     = 558;   // file, avatar and group avatar bodies
constexpr size_t   QV_SEND_VOICE_BUF    = 276;
constexpr size_t   QV_SEND_LINK_BUF     = 2048;
constexpr size_t   QV_SEND_PROFILE_BUF  = 195;
constexpr size_t   QV_SEND_GROUP_BUF    = 65;
constexpr size_t   QV_GRANT_KEYS        = 8;     // the current key and up to seven older ones
constexpr uint8_t  QV_FT_GROUP_KEY      = 17;
constexpr uint8_t  QV_TAG_OLD_KEYS      = 84;    // record: granted device id, then the older keys sealed to it

static_assert(QV_SEND_TEXT_BUF >= 1 + QV_SEND_TEXT_MAX && QV_SEND_GROUP_BUF >= 2 + QV_MSG_GROUP_NAME_MAX);
static_assert(QV_SEND_EDIT_BUF >= QV_MSG_WRAP_HDR + QV_MSG_TARGET_LEN + QV_SEND_QUOTE_MAX);

// Messages
// - the own copy is written for the kinds that keep one; its store result does not change the answer.
// - target device keys are 32 bytes or null; null or all zero sends the body unwrapped.
[[nodiscard]] int quorvane_cs_send_text(quorvane_cs *cs, const uint8_t conv_id[16], const char *text);    // 1-4096 bytes
[[nodiscard]] int quorvane_cs_send_system(quorvane_cs *cs, const uint8_t conv_id[16], const char *text);  // 1-4096 bytes
[[nodiscard]] int quorvane_cs_send_sticker(quorvane_cs *cs, const uint8_t conv_id[16], const char *name, uint32_t value);  // name 1-32
[[nodiscard]] int quorvane_cs_send_reply(quorvane_cs *cs, const uint8_t conv_id[16], const uint8_t author[16], uint64_t counter,
                                         const char *text);  // 1-4071 bytes
[[nodiscard]] int quorvane_cs_send_file(quorvane_cs *cs, const uint8_t conv_id[16], const quorvane_file_meta *meta);
[[nodiscard]] int quorvane_cs_send_voice(quorvane_cs *cs, const uint8_t conv_id[16], const quorvane_voice_meta *voice);
[[nodiscard]] int quorvane_cs_send_link(quorvane_cs *cs, const uint8_t conv_id[16], const quorvane_link_meta *link);
[[nodiscard]] int quorvane_cs_send_edit(quorvane_cs *cs, const uint8_t conv_id[16], const uint8_t *target_dev, uint64_t counter,
                                        const char *text);  // 1-4071 bytes; only our own messages
[[nodiscard]] int quorvane_cs_send_reaction(quorvane_cs *cs, const uint8_t conv_id[16], const uint8_t author[16],
                                            const uint8_t *target_dev, uint64_t counter, const char *name, int add);
[[nodiscard]] int quorvane_cs_send_delete(quorvane_cs *cs, const uint8_t conv_id[16], const uint8_t author[16],
                                          const uint8_t *target_dev, uint64_t counter);  // own messages, rights, or server role 1
[[nodiscard]] int quorvane_cs_send_profile(quorvane_cs *cs, const uint8_t conv_id[16]);  // 0 and nothing sent when both texts are empty
[[nodiscard]] int quorvane_cs_send_avatar(quorvane_cs *cs, const uint8_t conv_id[16]);   // 0 and nothing sent without an own avatar
[[nodiscard]] int quorvane_cs_send_group_avatar(quorvane_cs *cs, const uint8_t conv_id[16], const quorvane_file_meta *avatar);
[[nodiscard]] int quorvane_cs_send_group_name(quorvane_cs *cs, const uint8_t conv_id[16], const char *name);  // sent cut to 63 bytes

// Group keys: frame 17 carrying the key sealed to each member and device.
// - a rekey makes the new key current only once its frame was queued: the key it
//   replaces joins the older keys then, and a failed send leaves the store as it was.
// - a rekey re-announces the group name and avatar under the new key when we are
//   among the members; a reseal and a grant always do after a successful send.
[[nodiscard]] int quorvane_cs_group_rekey(quorvane_cs *cs, const uint8_t conv_id[16], const uint8_t key[32],
                                          const quorvane_member *members, size_t n);
[[nodiscard]] int quorvane_cs_group_rekey_exclude(quorvane_cs *cs, const uint8_t conv_id[16], const quorvane_member *members, size_t n,
                                                  const uint8_t device[32]);  // a fresh key for all but that device
[[nodiscard]] int quorvane_cs_group_reseal(quorvane_cs *cs, const uint8_t conv_id[16], const quorvane_member *members, size_t n);
[[nodiscard]] int quorvane_cs_group_reseal_grant(quorvane_cs *cs, const uint8_t conv_id[16], const quorvane_member *members, size_t n,
                                                 const uint8_t dev_x[32], const uint8_t dev_ed[32]);  // older keys in record 84
void              cs_reannounce_group_meta(quorvane_cs *cs, const uint8_t conv_id[16]);  // stored name, then avatar; results ignored
