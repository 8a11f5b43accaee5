// Signed-in requests and the frames that answer them: conversations, channels, instances, invites, administration and back-fill.
// Requests: 0 queued, -1 not signed in, a missing or out-of-limit argument, or
// the frame could not be queued. A request that names a result slot clears it
// before sending, so a poller never takes an old answer for the new one.
// Getters take a null session and give 0. Every list is kept inside the
// session (no heap), so freeing the session frees them; only a taken avatar is
// handed out on the heap.
#pragma once

#include "client_deliver.h"
#include "client_seal.h"
#include "quorvane_bundle.h"

#include <cstddef>
#include <cstdint>

struct quorvane_cs;

constexpr size_t QV_CS_INSTANCES      = QV_INSTDIR_ENTRIES_MAX;  // 32
constexpr size_t QV_CS_INVITES        = 32;
constexpr size_t QV_CS_INST_MEMBERS   = 256;
constexpr size_t QV_CS_INST_SECOND    = 64;
constexpr size_t QV_CS_AVATAR_MAX     = 65536;
constexpr size_t QV_CS_CHANNEL_DIR    = 128;
constexpr size_t QV_CS_JOIN_REQS      = 64;
constexpr size_t QV_CS_ADMIN_ENTRIES  = 64;
constexpr size_t QV_CS_META_TAGS      = 16;
constexpr size_t QV_CS_META_TAG_LEN   = 48;   // a tag text's array; at most 47 bytes go out
constexpr size_t QV_CS_MOD_SCOPE_MAX  = 32;
constexpr size_t QV_CS_LISTING_LEN    = 64;   // listing name with its terminator
constexpr size_t QV_CS_ADMIN_NAME_MAX = 32;

struct quorvane_invite {
    uint8_t  token[32];
    uint64_t value64;   // tag 64
    uint32_t value65;   // tag 65
    uint32_t value66;   // tag 66
    uint8_t  user_id[16];
};

struct quorvane_channel_dir_entry {
    uint8_t  channel_id[16];
    uint32_t count;     // tag 40
    char     name[QV_CS_LISTING_LEN];
};

struct quorvane_admin_entry {
    uint8_t user_id[16];
    char    name[QV_CS_ADMIN_NAME_MAX + 1];
    uint8_t role;       // tag 15
    uint8_t second;     // tag 35
};

// What this family keeps in the session.
struct cs_community_state {
    int instances_ready;
    size_t instance_count;
    quorvane_instdir_entry instances[QV_CS_INSTANCES];
    uint32_t instances_epoch, roles_epoch, joins_epoch;

    int inst_result_ready;
    uint8_t inst_result;
    int inst_has_id, inst_has_second;
    uint8_t inst_id[16], inst_second[16];

    int invites_ready;
    size_t invite_count;
    quorvane_invite invites[QV_CS_INVITES];

    int members_ready;
    size_t member_count, second_count;
    uint8_t member_ids[QV_CS_INST_MEMBERS][16];
    uint8_t member_roles[QV_CS_INST_MEMBERS];
    uint8_t second_ids[QV_CS_INST_SECOND][16];

    int avatar_ready;
    uint8_t avatar_instance[16];
    size_t avatar_len;
    uint8_t avatar[QV_CS_AVATAR_MAX];

    int dir_ready;
    size_t dir_count;
    quorvane_channel_dir_entry dir[QV_CS_CHANNEL_DIR];

    int joins_ready;
    size_t join_count, rejoin_count;
    uint8_t join_ids[QV_CS_JOIN_REQS][16];
    uint8_t join_keys[QV_CS_JOIN_REQS][32];
    int join_has_conv;
    uint8_t join_conv[16];
    uint8_t rejoin_ids[QV_CS_JOIN_REQS][16];

    int retention_ready, retention_has_id;
    uint8_t retention_conv[16];
    uint32_t retention_value;

    int auto_roles_ready;
    uint8_t auto_roles_conv[16];
    uint32_t auto_roles_mask;

    int admin_ready;
    uint8_t admin_status;
    size_t admin_count;
    quorvane_admin_entry admin[QV_CS_ADMIN_ENTRIES];

    int backfill_ready;
    uint8_t backfill_conv[16];
    uint64_t backfill_count, backfill_cursor;
    uint8_t backfill_flag;
};

// 1 when the frame is of this family (handled), 0 otherwise.
int cs_community_frame(quorvane_cs *cs, uint8_t type, const uint8_t *p, size_t len);

// Back-fill: -1 unless signed in with a store and none in flight, or when the
// conversation's history floor leaves nothing older than `before`. The sink
// (null: history is stored) takes each fetched message until frame 171.
[[nodiscard]] int backfill_start(quorvane_cs *cs, const uint8_t conv_id[16], uint64_t before, uint32_t limit,
                                 quorvane_cs_backfill_sink sink, void *ctx);
[[nodiscard]] int quorvane_cs_backfill(quorvane_cs *cs, const uint8_t conv_id[16], uint64_t before, uint32_t limit);
[[nodiscard]] int quorvane_cs_backfill_search(quorvane_cs *cs, const uint8_t conv_id[16], uint64_t before, uint32_t limit,
                                              quorvane_cs_backfill_sink cb, void *user);

// Conversations, channels, instances and invites
[[nodiscard]] int quorvane_cs_create_channel(quorvane_cs *cs, const uint8_t conv_id[16], const uint8_t key[32], uint8_t kind,
                                             const quorvane_member *members, size_t n, const uint8_t *instance_id);  // as cs_create_conv_request
[[nodiscard]] int quorvane_cs_instance_meta_set(quorvane_cs *cs, const uint8_t instance_id[16], const char (*tags)[QV_CS_META_TAG_LEN],
                                                size_t n);  // n <= 16; empty texts skipped, index byte = array position
[[nodiscard]] int quorvane_cs_channel_group_set(quorvane_cs *cs, const uint8_t channel_id[16], uint8_t category, uint8_t second,
                                                uint8_t flags);
[[nodiscard]] int quorvane_cs_instance_kick(quorvane_cs *cs, const uint8_t instance_id[16], const uint8_t user_id[16], uint8_t value);
[[nodiscard]] int quorvane_cs_instance_role_set(quorvane_cs *cs, const uint8_t instance_id[16], const uint8_t user_id[16], uint8_t role);
[[nodiscard]] int quorvane_cs_instance_list(quorvane_cs *cs);
[[nodiscard]] int quorvane_cs_instance_join(quorvane_cs *cs, const uint8_t invite_code[16]);
[[nodiscard]] int quorvane_cs_instance_leave(quorvane_cs *cs, const uint8_t instance_id[16]);
[[nodiscard]] int quorvane_cs_invite_create(quorvane_cs *cs, const uint8_t instance_id[16], uint64_t value64, uint32_t value32);
[[nodiscard]] int quorvane_cs_invite_list(quorvane_cs *cs, const uint8_t instance_id[16]);
[[nodiscard]] int quorvane_cs_invite_revoke(quorvane_cs *cs, const uint8_t instance_id[16], const uint8_t token[32]);
[[nodiscard]] int quorvane_cs_instance_members_get(quorvane_cs *cs, const uint8_t instance_id[16]);
[[nodiscard]] int quorvane_cs_instance_avatar_get(quorvane_cs *cs, const uint8_t instance_id[16]);
[[nodiscard]] int quorvane_cs_channel_list(quorvane_cs *cs);
[[nodiscard]] int quorvane_cs_channel_join_request(quorvane_cs *cs, const uint8_t channel_id[16]);
[[nodiscard]] int quorvane_cs_delete_channel(quorvane_cs *cs, const uint8_t channel_id[16]);  // local copy deleted first, whatever follows
[[nodiscard]] int quorvane_cs_channel_set_listing(quorvane_cs *cs, const uint8_t channel_id[16], const char *name);  // null/empty: unlisted
[[nodiscard]] int quorvane_cs_channel_join_list(quorvane_cs *cs, const uint8_t channel_id[16]);
[[nodiscard]] int quorvane_cs_channel_join_deny(quorvane_cs *cs, const uint8_t channel_id[16], const uint8_t user_id[16]);

// Retention, roles, moderation and administration
[[nodiscard]] int quorvane_cs_retention_get(quorvane_cs *cs, const uint8_t *conv_id);  // null: the server-wide value
[[nodiscard]] int quorvane_cs_retention_set(quorvane_cs *cs, const uint8_t *conv_id, uint32_t value);
[[nodiscard]] int quorvane_cs_auto_roles_get(quorvane_cs *cs, const uint8_t conv_id[16]);
[[nodiscard]] int quorvane_cs_auto_roles_set(quorvane_cs *cs, const uint8_t conv_id[16], uint32_t mask);
[[nodiscard]] int quorvane_cs_set_channel_role(quorvane_cs *cs, const uint8_t conv_id[16], const uint8_t user_id[16], uint8_t role);
[[nodiscard]] int quorvane_cs_mod_action(quorvane_cs *cs, const uint8_t conv_id[16], const uint8_t user_id[16], uint8_t action);
[[nodiscard]] int quorvane_cs_purge_messages(quorvane_cs *cs, const uint8_t conv_id[16], const uint8_t user_id[16], uint64_t value);
[[nodiscard]] int quorvane_cs_admin_list_pending(quorvane_cs *cs);
[[nodiscard]] int quorvane_cs_admin_list_users(quorvane_cs *cs);
[[nodiscard]] int quorvane_cs_admin_approve(quorvane_cs *cs, const uint8_t user_id[16], uint8_t value);
[[nodiscard]] int quorvane_cs_admin_set_role(quorvane_cs *cs, const uint8_t user_id[16], uint8_t role);
[[nodiscard]] int quorvane_cs_admin_set_mod_scope(quorvane_cs *cs, const uint8_t user_id[16], int all, const uint8_t (*channel_ids)[16],
                                                  size_t n);  // n <= 32 unless `all`, which sends no ids

// Getters
int      quorvane_cs_instances_ready(const quorvane_cs *cs);
int      quorvane_cs_invites_ready(const quorvane_cs *cs);
int      quorvane_cs_instance_members_ready(const quorvane_cs *cs);
int      quorvane_cs_channel_dir_ready(const quorvane_cs *cs);
int      quorvane_cs_join_reqs_ready(const quorvane_cs *cs);
int      quorvane_cs_retention_ready(const quorvane_cs *cs);
int      quorvane_cs_auto_roles_ready(const quorvane_cs *cs);
int      quorvane_cs_admin_ready(const quorvane_cs *cs);
int      quorvane_cs_backfill_inflight(const quorvane_cs *cs);
int      quorvane_cs_backfill_sink_armed(const quorvane_cs *cs);
size_t   quorvane_cs_instances_copy(const quorvane_cs *cs, quorvane_instdir_entry *dst, size_t n);
size_t   quorvane_cs_invites_copy(const quorvane_cs *cs, quorvane_invite *dst, size_t n);
size_t   quorvane_cs_instance_members_copy(const quorvane_cs *cs, uint8_t (*ids)[16], uint8_t *roles, size_t n, uint8_t (*second)[16],
                                           size_t *second_count, size_t limit);
int      quorvane_cs_take_instance_avatar(quorvane_cs *cs, uint8_t instance_id[16], uint8_t **buf, size_t *len);  // *buf: malloc'd, caller frees
int      quorvane_cs_take_instance_result(quorvane_cs *cs, uint8_t *result, uint8_t id[16], int *has, uint8_t id2[16], int *has2);
size_t   quorvane_cs_channel_dir_copy(const quorvane_cs *cs, quorvane_channel_dir_entry *dst, size_t n);
size_t   quorvane_cs_join_reqs_copy(const quorvane_cs *cs, uint8_t (*dst)[16], size_t n);
size_t   quorvane_cs_join_reqs_copy_peers(const quorvane_cs *cs, quorvane_member *dst, size_t n);
int      quorvane_cs_join_reqs_conv(const quorvane_cs *cs, uint8_t out[16]);
int      quorvane_cs_join_reqs_is_rejoin(const quorvane_cs *cs, const uint8_t user_id[16]);
int      quorvane_cs_retention_read(quorvane_cs *cs, int *has, uint8_t id[16], uint32_t *value);
int      quorvane_cs_auto_roles_read(quorvane_cs *cs, uint8_t id[16], uint32_t *mask);
uint32_t quorvane_cs_instances_epoch(const quorvane_cs *cs);
uint32_t quorvane_cs_roles_epoch(const quorvane_cs *cs);
uint32_t quorvane_cs_joins_epoch(const quorvane_cs *cs);
uint8_t  quorvane_cs_admin_status(const quorvane_cs *cs);
void     quorvane_cs_admin_consume(quorvane_cs *cs);
size_t   quorvane_cs_pending_copy(const quorvane_cs *cs, quorvane_admin_entry *dst, size_t n);
int      quorvane_cs_backfill_result(quorvane_cs *cs, uint8_t conv_id[16], uint64_t *count, uint64_t *cursor, uint8_t *flag);
