#include "client_caps.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <set>
#include <vector>

namespace {

using id_t = std::array<uint8_t, QV_AUTOROLE_ID_LEN>;

// Who may use a conversation capability, by its number.
enum class who : uint8_t { anyone, staff, admin, server_admin, server_staff };

constexpr who CAP_RULE[QV_CAP_COUNT] = {
    who::anyone, who::anyone,                                                          // 0, 1
    who::staff, who::staff, who::staff, who::staff, who::staff,                        // 2-6
    who::admin, who::admin, who::admin,                                                // 7-9
    who::server_admin,                                                                 // 10
    who::staff,                                                                        // 11
    who::server_staff,                                                                 // 12
    who::server_admin, who::server_admin, who::server_admin, who::server_admin,        // 13-16
};

id_t id_at(const uint8_t *p) {
    id_t id;
    std::memcpy(id.data(), p, id.size());
    return id;
}

// Distinct ids in first-seen order, with a set for membership.
struct id_list {
    std::vector<id_t> order;
    std::set<id_t>    seen;
    void add(const id_t &id) {
        if (seen.insert(id).second) order.push_back(id);
    }
    bool has(const id_t &id) const { return seen.count(id) != 0; }
    bool overflowed() const { return order.size() > QV_AUTOROLE_IDS; }
};

// The plan's 64-id rule: a repeat is ignored, an id past the 64th raises overflow.
void plan_add(uint8_t (*ids)[QV_AUTOROLE_ID_LEN], uint64_t *count, int32_t *overflow, const id_t &id) {
    for (uint64_t i = 0; i < *count; i++)
        if (std::memcmp(ids[i], id.data(), id.size()) == 0) return;
    if (*count >= QV_AUTOROLE_IDS) {
        *overflow = 1;
        return;
    }
    std::memcpy(ids[(*count)++], id.data(), id.size());
}

void plan_from(const id_list &wanted, const id_list &current, const id_list &protect, quorvane_autorole_plan *plan) {
    std::memset(plan, 0, sizeof *plan);
    for (const id_t &id : wanted.order)
        if (!current.has(id)) plan_add(plan->add, &plan->add_count, &plan->overflow, id);
    for (const id_t &id : current.order)
        if (!wanted.has(id) && !protect.has(id)) plan_add(plan->remove, &plan->remove_count, &plan->overflow, id);
}

id_list list_of(const uint8_t (*ids)[16], size_t count) {
    id_list l;
    if (ids)
        for (size_t i = 0; i < count; i++) l.add(id_at(ids[i]));
    return l;
}

bool id_among(const uint8_t *id, const uint8_t (*ids)[16], size_t count) {
    if (!ids) return false;
    for (size_t i = 0; i < count; i++)
        if (std::memcmp(ids[i], id, 16) == 0) return true;
    return false;
}

}  // namespace

int quorvane_cap_allowed(unsigned cap, int8_t conv_role, int8_t server_role) {
    if (cap >= QV_CAP_COUNT) return 0;
    const bool admin = conv_role == QV_ROLE_ADMIN || server_role == QV_ROLE_ADMIN;
    switch (CAP_RULE[cap]) {
    case who::anyone: return 1;
    case who::staff: return admin || conv_role == QV_ROLE_MODERATOR;
    case who::admin: return admin;
    case who::server_admin: return server_role == QV_ROLE_ADMIN;
    case who::server_staff: return server_role == QV_ROLE_ADMIN || server_role == QV_ROLE_MODERATOR;
    }
    return 0;
}

int quorvane_inst_cap_allowed(unsigned cap, int8_t inst_role, int8_t server_role) {
    if (inst_role == QV_ROLE_ADMIN || server_role == QV_ROLE_ADMIN) return 1;
    return inst_role == QV_ROLE_MODERATOR && cap >= 5 && cap <= 7;
}

// The three sets are kept whole: the 64-id limit applies to what the plan
// lists, not to what it knows, so an id that a full set could not hold is still
// wanted or protected (a cut set would have the worker remove a member the rule
// wants, or the user's own account).
int quorvane_autoroles_build_plan(uint32_t mask, const uint8_t *members, size_t member_count, const uint8_t *holders,
                                  size_t holder_count, const uint8_t *own_id, quorvane_autorole_plan *plan) {
    if (!plan) return -1;
    if (!members) member_count = 0;
    if (!holders) holder_count = 0;
    id_list wanted, current, protect;
    for (size_t i = 0; i < member_count; i++) {
        const uint8_t *rec = members + i * QV_AUTOROLE_REC_LEN;
        if (mask & (1u << (rec[QV_AUTOROLE_ID_LEN] & 31))) wanted.add(id_at(rec));
    }
    for (size_t i = 0; i < holder_count; i++) {
        const uint8_t *rec = holders + i * QV_AUTOROLE_REC_LEN;
        if (rec[QV_AUTOROLE_ID_LEN] == QV_AUTOROLE_PROTECTED) wanted.add(id_at(rec));
    }
    for (size_t i = 0; i < holder_count; i++) {
        const uint8_t *rec = holders + i * QV_AUTOROLE_REC_LEN;
        current.add(id_at(rec));
        if (rec[QV_AUTOROLE_ID_LEN] == QV_AUTOROLE_PROTECTED) protect.add(id_at(rec));
    }
    if (own_id) protect.add(id_at(own_id));
    plan_from(wanted, current, protect, plan);
    if (wanted.overflowed() || current.overflowed() || protect.overflowed()) plan->overflow = 1;
    return 0;
}

int quorvane_autoroles_reconcile(const uint8_t (*wanted)[16], size_t wanted_count, const uint8_t (*current)[16],
                                 size_t current_count, const uint8_t (*protect)[16], size_t protect_count,
                                 quorvane_autorole_plan *plan) {
    if (!plan) return -1;
    plan_from(list_of(wanted, wanted_count), list_of(current, current_count), list_of(protect, protect_count), plan);
    return 0;
}

size_t quorvane_channels_build(const quorvane_channel_dir_rec *dir, size_t count, const uint8_t (*joined)[16],
                               size_t joined_count, const uint8_t (*requested)[16], size_t requested_count,
                               quorvane_channel_entry *out, size_t cap) {
    if (!dir || !out) return 0;
    const size_t n = std::min(count, cap);
    for (size_t i = 0; i < n; i++) {
        quorvane_channel_entry &e = out[i];
        std::memset(&e, 0, sizeof e);
        std::memcpy(e.id, dir[i].id, sizeof e.id);
        e.member_count = dir[i].member_count;
        e.state = id_among(e.id, joined, joined_count)      ? QV_CHANNEL_JOINED
                  : id_among(e.id, requested, requested_count) ? QV_CHANNEL_REQUESTED
                                                               : QV_CHANNEL_NEITHER;
        std::memcpy(e.name, dir[i].name, strnlen(dir[i].name, QV_CHANNEL_NAME_LEN - 1));
    }
    // Stable, so rows equal in count and id keep their directory order, as an insertion sort would.
    std::stable_sort(out, out + n, [](const quorvane_channel_entry &a, const quorvane_channel_entry &b) {
        if (a.member_count != b.member_count) return a.member_count > b.member_count;
        return std::memcmp(a.id, b.id, sizeof a.id) < 0;
    });
    return n;
}
