// Decisions by role: which controls a user is offered in a conversation or an
// instance, which members an automatic role must be granted to or taken from,
// and the channel directory as the channel screen lists it. Pure functions on
// the caller's arrays; the tests answer 1 or 0, the planners 0 or -1, the list
// builder the rows it wrote.
#pragma once

#include <cstddef>
#include <cstdint>

// Roles, one signed byte each.
// - conversation and instance: 0 member, 1 admin, 2 moderator; server: 0 user, 1 admin, 2 moderator.
constexpr int8_t   QV_ROLE_MEMBER    = 0;
constexpr int8_t   QV_ROLE_ADMIN     = 1;
constexpr int8_t   QV_ROLE_MODERATOR = 2;
constexpr unsigned QV_CAP_COUNT      = 17;  // conversation capabilities 0-16; any other number is refused

// Controls the screens ask about by number.
constexpr unsigned QV_CAP_MODERATE        = 4;   // manage members ("Manage" instead of "Members")
constexpr unsigned QV_CAP_ADMINISTER      = 7;   // admin controls of group information
constexpr unsigned QV_CAP_CHANNEL_NO_INST = 10;  // create a channel outside any instance
constexpr unsigned QV_CAP_DELETE_FOR_ALL  = 11;  // delete a conversation for everyone
constexpr unsigned QV_CAP_APPROVALS       = 14;  // poll the pending account approvals

constexpr unsigned QV_INST_CAP_NEW_CHANNEL = 0;  // create a channel in the instance
constexpr unsigned QV_INST_CAP_MANAGE      = 1;  // open the instance's management
constexpr unsigned QV_INST_CAP_CATEGORY    = 2;  // change a channel's category
constexpr unsigned QV_INST_CAP_INVITES     = 6;  // also loads the instance's invite list

int quorvane_cap_allowed(unsigned cap, int8_t conv_role, int8_t server_role);       // 1 allowed, 0 not
int quorvane_inst_cap_allowed(unsigned cap, int8_t inst_role, int8_t server_role);  // 1 allowed, 0 not

// Automatic roles
// - member record: 16-byte user id, role byte; holder record: 16-byte user id,
//   flag byte (1 = protected: a holder the plan never takes the role from).
// - a member is wanted when bit (role & 31) of the mask is set; every protected holder is wanted too.
// - each plan list keeps at most 64 distinct ids; one that did not fit raises
//   `overflow`, as does any input set of more than 64 distinct ids. Whether an id
//   is wanted or protected is judged over the whole input, so a list that
//   overflowed never makes the plan take the role from a wanted or protected id.
constexpr size_t QV_AUTOROLE_IDS    = 64;
constexpr size_t QV_AUTOROLE_ID_LEN = 16;
constexpr size_t QV_AUTOROLE_REC_LEN = QV_AUTOROLE_ID_LEN + 1;
constexpr uint8_t QV_AUTOROLE_PROTECTED = 1;

struct quorvane_autorole_plan {
    uint8_t  add[QV_AUTOROLE_IDS][QV_AUTOROLE_ID_LEN];     // in wanted order
    uint64_t add_count;
    uint8_t  remove[QV_AUTOROLE_IDS][QV_AUTOROLE_ID_LEN];  // in holder order
    uint64_t remove_count;
    int32_t  overflow;                                     // 1 when some id did not fit
};

[[nodiscard]] int quorvane_autoroles_build_plan(uint32_t mask, const uint8_t *members, size_t member_count,
                                                const uint8_t *holders, size_t holder_count, const uint8_t *own_id,
                                                quorvane_autorole_plan *plan);  // records of 17 bytes; own_id may be null
[[nodiscard]] int quorvane_autoroles_reconcile(const uint8_t (*wanted)[16], size_t wanted_count,
                                               const uint8_t (*current)[16], size_t current_count,
                                               const uint8_t (*protect)[16], size_t protect_count,
                                               quorvane_autorole_plan *plan);

// Channel list
// - directory rows in, screen rows out: the first min(count, cap) rows, more
//   members first, equal counts by id in ascending byte order.
constexpr size_t  QV_CHANNEL_NAME_LEN     = 64;  // the directory's field; the row keeps 63 bytes and a terminator
constexpr uint8_t QV_CHANNEL_NEITHER      = 0;
constexpr uint8_t QV_CHANNEL_REQUESTED    = 1;
constexpr uint8_t QV_CHANNEL_JOINED       = 2;   // wins over requested

struct quorvane_channel_dir_rec {
    uint8_t  id[16];
    uint32_t member_count;
    char     name[QV_CHANNEL_NAME_LEN];  // not necessarily terminated
};
struct quorvane_channel_entry {
    uint8_t  id[16];
    uint32_t member_count;
    uint8_t  state;
    char     name[QV_CHANNEL_NAME_LEN];  // terminated
};
static_assert(sizeof(quorvane_channel_dir_rec) == 84 && sizeof(quorvane_channel_entry) == 88);

size_t quorvane_channels_build(const quorvane_channel_dir_rec *dir, size_t count, const uint8_t (*joined)[16],
                               size_t joined_count, const uint8_t (*requested)[16], size_t requested_count,
                               quorvane_channel_entry *out, size_t cap);  // rows written
