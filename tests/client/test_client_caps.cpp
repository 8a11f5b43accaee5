// Capabilities by role (every role pair against every control), auto-role plans
// at the 64-id limits and against a brute-force model, and the channel list's
// order, states and name cut.
#include "client_caps.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using Id = std::array<uint8_t, 16>;

Id id_of(uint32_t n) {
    Id id{};
    for (size_t i = 0; i < 4; i++) id[i] = static_cast<uint8_t>(n >> (24 - 8 * i));
    id[15] = 0x5a;
    return id;
}

// ---- capabilities -----------------------------------------------------------

const int8_t kRoles[] = {-1, 0, 1, 2, 3, 31, 127};

// What each conversation control allows: anyone, or a conversation role in
// `conv`, or a server role in `server`.
struct CapRule {
    unsigned         cap;
    bool             anyone;
    std::set<int8_t> conv, server;
};
const CapRule kCapRules[] = {
    {0, true, {}, {}},         {1, true, {}, {}},         {2, false, {1, 2}, {1}},  {3, false, {1, 2}, {1}},
    {4, false, {1, 2}, {1}},   {5, false, {1, 2}, {1}},   {6, false, {1, 2}, {1}},  {7, false, {1}, {1}},
    {8, false, {1}, {1}},      {9, false, {1}, {1}},      {10, false, {}, {1}},     {11, false, {1, 2}, {1}},
    {12, false, {}, {1, 2}},   {13, false, {}, {1}},      {14, false, {}, {1}},     {15, false, {}, {1}},
    {16, false, {}, {1}},      {17, false, {}, {}},       {18, false, {}, {}},      {255, false, {}, {}},
    {0xffffffffu, false, {}, {}},
};

TEST(Caps, EveryRolePairAgainstEveryControl) {
    for (const CapRule &r : kCapRules)
        for (int8_t conv : kRoles)
            for (int8_t server : kRoles) {
                SCOPED_TRACE(testing::Message() << "cap " << r.cap << " conv " << int(conv) << " server " << int(server));
                const int want = r.anyone || r.conv.count(conv) || r.server.count(server);
                EXPECT_EQ(quorvane_cap_allowed(r.cap, conv, server), want);
            }
}

TEST(Caps, NamedCases) {
    EXPECT_EQ(quorvane_cap_allowed(12, 0, 2), 1);
    EXPECT_EQ(quorvane_cap_allowed(10, 0, 2), 0);
    for (int8_t conv : kRoles)
        for (int8_t server : kRoles) EXPECT_EQ(quorvane_cap_allowed(17, conv, server), 0);
    // A conversation moderator: 2-6 and 11, not 7-9.
    for (unsigned cap = 2; cap <= 6; cap++) EXPECT_EQ(quorvane_cap_allowed(cap, 2, 0), 1) << cap;
    EXPECT_EQ(quorvane_cap_allowed(11, 2, 0), 1);
    for (unsigned cap = 7; cap <= 9; cap++) EXPECT_EQ(quorvane_cap_allowed(cap, 2, 0), 0) << cap;
}

TEST(Caps, InstanceEveryRolePair) {
    const unsigned caps[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 100, 0xffffffffu};
    for (unsigned cap : caps)
        for (int8_t inst : kRoles)
            for (int8_t server : kRoles) {
                SCOPED_TRACE(testing::Message() << "cap " << cap << " inst " << int(inst) << " server " << int(server));
                const bool moderator_cap = cap == 5 || cap == 6 || cap == 7;
                const int want = inst == 1 || server == 1 || (inst == 2 && moderator_cap);
                EXPECT_EQ(quorvane_inst_cap_allowed(cap, inst, server), want);
            }
    // An instance moderator with no server role: exactly 5, 6 and 7 among 0-9.
    std::vector<unsigned> allowed;
    for (unsigned cap = 0; cap < 10; cap++)
        if (quorvane_inst_cap_allowed(cap, 2, 0)) allowed.push_back(cap);
    EXPECT_EQ(allowed, (std::vector<unsigned>{5, 6, 7}));
}

// ---- auto-roles ---------------------------------------------------------------

std::vector<uint8_t> records(const std::vector<std::pair<Id, uint8_t>> &v) {
    std::vector<uint8_t> out;
    for (const auto &[id, b] : v) {
        out.insert(out.end(), id.begin(), id.end());
        out.push_back(b);
    }
    return out;
}

std::vector<Id> ids_of(const uint8_t (*ids)[16], uint64_t n) {
    std::vector<Id> out;
    for (uint64_t i = 0; i < n; i++) {
        Id id;
        std::memcpy(id.data(), ids[i], 16);
        out.push_back(id);
    }
    return out;
}

struct Plan {
    std::vector<Id> add, remove;
    int32_t overflow;
};

Plan build(uint32_t mask, const std::vector<std::pair<Id, uint8_t>> &members,
           const std::vector<std::pair<Id, uint8_t>> &holders, const Id *own) {
    const std::vector<uint8_t> m = records(members), h = records(holders);
    quorvane_autorole_plan p;
    std::memset(&p, 0xa5, sizeof p);
    EXPECT_EQ(quorvane_autoroles_build_plan(mask, m.data(), members.size(), h.data(), holders.size(),
                                            own ? own->data() : nullptr, &p),
              0);
    EXPECT_LE(p.add_count, QV_AUTOROLE_IDS);
    EXPECT_LE(p.remove_count, QV_AUTOROLE_IDS);
    return {ids_of(p.add, std::min<uint64_t>(p.add_count, 64)), ids_of(p.remove, std::min<uint64_t>(p.remove_count, 64)),
            p.overflow};
}

std::vector<std::pair<Id, uint8_t>> numbered(uint32_t from, uint32_t n, uint8_t byte) {
    std::vector<std::pair<Id, uint8_t>> v;
    for (uint32_t i = 0; i < n; i++) v.push_back({id_of(from + i), byte});
    return v;
}

TEST(AutoRoles, NamedCases) {
    const Id a = id_of(1), b = id_of(2), c = id_of(3), own = id_of(9);
    // A member of role 5 is wanted when bit 5 is set, not otherwise.
    Plan p = build(1u << 5, {{a, 5}, {b, 4}}, {}, nullptr);
    EXPECT_EQ(p.add, std::vector<Id>{a});
    EXPECT_TRUE(p.remove.empty());
    // Role bits wrap at 32: role 37 is bit 5.
    p = build(1u << 5, {{a, 37}}, {}, nullptr);
    EXPECT_EQ(p.add, std::vector<Id>{a});
    // A protected holder stays although no member wants it; an unprotected one goes.
    p = build(0, {}, {{a, 1}, {b, 0}, {c, 2}}, nullptr);
    EXPECT_TRUE(p.add.empty());
    EXPECT_EQ(p.remove, (std::vector<Id>{b, c}));
    // The own id is never removed.
    p = build(0, {}, {{own, 0}, {b, 0}}, &own);
    EXPECT_EQ(p.remove, std::vector<Id>{b});
    // Wanted and held: nothing to do; repeats are listed once.
    p = build(1u << 0, {{a, 0}, {a, 0}, {b, 0}, {b, 0}}, {{a, 0}}, nullptr);
    EXPECT_EQ(p.add, std::vector<Id>{b});
    EXPECT_TRUE(p.remove.empty());
    EXPECT_EQ(p.overflow, 0);
    // A missing plan is refused; missing arrays are empty.
    EXPECT_EQ(quorvane_autoroles_build_plan(1, nullptr, 3, nullptr, 3, nullptr, nullptr), -1);
    quorvane_autorole_plan q;
    EXPECT_EQ(quorvane_autoroles_build_plan(1, nullptr, 3, nullptr, 3, nullptr, &q), 0);
    EXPECT_EQ(q.add_count + q.remove_count, 0u);
    EXPECT_EQ(q.overflow, 0);
}

TEST(AutoRoles, LimitsAtSixtyFourAndSixtyFive) {
    struct Case {
        const char *name;
        uint32_t    wanted, held_unwanted;
        size_t      adds, removes;
        int32_t     overflow;
    };
    const Case cases[] = {
        {"64 to add", 64, 0, 64, 0, 0},       {"65 to add", 65, 0, 64, 0, 1},
        {"70 to add", 70, 0, 64, 0, 1},       {"64 to remove", 0, 64, 0, 64, 0},
        {"65 to remove", 0, 65, 0, 64, 1},    {"64 and 64", 64, 64, 64, 64, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Plan p = build(1, numbered(0, c.wanted, 0), numbered(1000, c.held_unwanted, 0), nullptr);
        EXPECT_EQ(p.add.size(), c.adds);
        EXPECT_EQ(p.remove.size(), c.removes);
        EXPECT_EQ(p.overflow, c.overflow);
        for (size_t i = 0; i < p.add.size(); i++) EXPECT_EQ(p.add[i], id_of(static_cast<uint32_t>(i)));  // wanted order
        for (size_t i = 0; i < p.remove.size(); i++) EXPECT_EQ(p.remove[i], id_of(1000 + static_cast<uint32_t>(i)));
    }
}

// A set cut at 64 must not turn into a removal: a holder the rule wants but that
// came 70th among the wanted, and the own id behind 64 protected holders.
TEST(AutoRoles, CutSetsNeverRemoveWantedOrProtected) {
    auto members = numbered(0, 70, 0);
    Plan p = build(1, members, {{id_of(69), 0}}, nullptr);
    EXPECT_TRUE(p.remove.empty());
    EXPECT_EQ(p.add.size(), 64u);
    EXPECT_EQ(p.overflow, 1);

    const Id own = id_of(5000);
    auto holders = numbered(100, 64, QV_AUTOROLE_PROTECTED);
    holders.push_back({own, 0});
    p = build(0, {}, holders, &own);
    EXPECT_TRUE(p.remove.empty());
    EXPECT_EQ(p.overflow, 1);  // 65 protected ids
}

// Brute force over the raw records: the plan's lists are the first 64 of what a
// direct reading of the rule gives.
TEST(AutoRoles, AgreesWithModelOnRandomInputs) {
    std::mt19937 rng(25);
    for (int round = 0; round < 400; round++) {
        SCOPED_TRACE(round);
        const uint32_t mask = rng();
        const uint32_t pool = 1 + rng() % 140;
        std::vector<std::pair<Id, uint8_t>> members, holders;
        for (uint32_t i = 0, n = rng() % 150; i < n; i++) members.push_back({id_of(rng() % pool), uint8_t(rng())});
        for (uint32_t i = 0, n = rng() % 150; i < n; i++)
            holders.push_back({id_of(rng() % pool), uint8_t(rng() % 3)});
        const Id own = id_of(rng() % pool);
        const bool with_own = rng() % 2;

        auto wanted = [&](const Id &id) {
            for (const auto &[m, role] : members)
                if (m == id && ((mask >> (role % 32)) & 1)) return true;
            for (const auto &[h, flag] : holders)
                if (h == id && flag == 1) return true;
            return false;
        };
        auto held = [&](const Id &id) {
            return std::any_of(holders.begin(), holders.end(), [&](const auto &h) { return h.first == id; });
        };
        auto protect = [&](const Id &id) {
            if (with_own && id == own) return true;
            return std::any_of(holders.begin(), holders.end(), [&](const auto &h) { return h.first == id && h.second == 1; });
        };
        std::vector<Id> adds, removes, wanted_ids;
        std::set<Id> protected_ids, held_ids;
        for (const auto &[m, role] : members)
            if (((mask >> (role % 32)) & 1) && std::find(wanted_ids.begin(), wanted_ids.end(), m) == wanted_ids.end())
                wanted_ids.push_back(m);
        for (const auto &[h, flag] : holders) {
            if (flag == 1 && std::find(wanted_ids.begin(), wanted_ids.end(), h) == wanted_ids.end()) wanted_ids.push_back(h);
            held_ids.insert(h);
            if (protect(h)) protected_ids.insert(h);
        }
        if (with_own) protected_ids.insert(own);
        for (const Id &id : wanted_ids)
            if (!held(id)) adds.push_back(id);
        for (const auto &[h, flag] : holders)
            if (!wanted(h) && !protect(h) && std::find(removes.begin(), removes.end(), h) == removes.end())
                removes.push_back(h);
        const bool overflow = adds.size() > 64 || removes.size() > 64 || wanted_ids.size() > 64 ||
                              held_ids.size() > 64 || protected_ids.size() > 64;
        adds.resize(std::min<size_t>(adds.size(), 64));
        removes.resize(std::min<size_t>(removes.size(), 64));

        const Plan p = build(mask, members, holders, with_own ? &own : nullptr);
        EXPECT_EQ(p.add, adds);
        EXPECT_EQ(p.remove, removes);
        EXPECT_EQ(p.overflow, overflow ? 1 : 0);
    }
}

TEST(AutoRoles, ReconcileDirectly) {
    const Id a = id_of(1), b = id_of(2), c = id_of(3), d = id_of(4);
    std::vector<Id> w = {a, b, a, c}, cur = {b, d, c, d}, prot = {d};
    quorvane_autorole_plan p;
    auto raw = [](const std::vector<Id> &v) { return reinterpret_cast<const uint8_t(*)[16]>(v.data()); };
    ASSERT_EQ(quorvane_autoroles_reconcile(raw(w), w.size(), raw(cur), cur.size(), raw(prot), prot.size(), &p), 0);
    EXPECT_EQ(ids_of(p.add, p.add_count), std::vector<Id>{a});
    EXPECT_TRUE(ids_of(p.remove, p.remove_count).empty());
    prot.clear();
    ASSERT_EQ(quorvane_autoroles_reconcile(raw(w), w.size(), raw(cur), cur.size(), nullptr, 0, &p), 0);
    EXPECT_EQ(ids_of(p.remove, p.remove_count), std::vector<Id>{d});
    EXPECT_EQ(p.overflow, 0);
    EXPECT_EQ(quorvane_autoroles_reconcile(raw(w), w.size(), nullptr, 0, nullptr, 0, nullptr), -1);
}

// ---- channel list ----------------------------------------------------------------

quorvane_channel_dir_rec dir_rec(const Id &id, uint32_t members, const std::string &name) {
    quorvane_channel_dir_rec r;
    std::memset(&r, 0, sizeof r);
    std::memcpy(r.id, id.data(), 16);
    r.member_count = members;
    std::memcpy(r.name, name.data(), std::min(name.size(), sizeof r.name));
    return r;
}

TEST(Channels, OrderTiesStatesAndNames) {
    const Id lo = id_of(1), hi = id_of(2), big = id_of(3), none = id_of(4);
    const std::string long_name(64, 'n');
    std::vector<quorvane_channel_dir_rec> dir = {dir_rec(hi, 10, "hi"), dir_rec(none, 0, long_name),
                                                 dir_rec(lo, 10, "lo"), dir_rec(big, 11, "big")};
    const uint8_t joined[][16] = {{0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x5a},
                                  {0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x5a}};
    const uint8_t requested[][16] = {{0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x5a},
                                     {0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x5a}};
    quorvane_channel_entry out[8];
    std::memset(out, 0xee, sizeof out);
    ASSERT_EQ(quorvane_channels_build(dir.data(), dir.size(), joined, 2, requested, 2, out, 8), 4u);
    struct Want {
        Id          id;
        uint32_t    members;
        uint8_t     state;
        std::string name;
    };
    const Want want[] = {{big, 11, 2, "big"}, {lo, 10, 2, "lo"}, {hi, 10, 1, "hi"}, {none, 0, 0, std::string(63, 'n')}};
    for (size_t i = 0; i < 4; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(0, std::memcmp(out[i].id, want[i].id.data(), 16));
        EXPECT_EQ(out[i].member_count, want[i].members);
        EXPECT_EQ(out[i].state, want[i].state);
        EXPECT_EQ(std::string(out[i].name), want[i].name);
    }
    EXPECT_EQ(out[4].state, 0xee);  // nothing past the rows written

    // Capacity cuts the directory before sorting: only its first two rows.
    ASSERT_EQ(quorvane_channels_build(dir.data(), dir.size(), nullptr, 0, nullptr, 0, out, 2), 2u);
    EXPECT_EQ(0, std::memcmp(out[0].id, hi.data(), 16));
    EXPECT_EQ(0, std::memcmp(out[1].id, none.data(), 16));
    EXPECT_EQ(out[0].state, 0);
    EXPECT_EQ(quorvane_channels_build(nullptr, 3, nullptr, 0, nullptr, 0, out, 8), 0u);
    EXPECT_EQ(quorvane_channels_build(dir.data(), 3, nullptr, 0, nullptr, 0, nullptr, 8), 0u);
}

// Random directories against an order computed from sort keys: the count
// complemented, big-endian, then the id, compared as byte strings.
TEST(Channels, AgreesWithKeyOrderOnRandomDirectories) {
    std::mt19937 rng(7);
    for (int round = 0; round < 200; round++) {
        const size_t n = rng() % 150, cap = rng() % 160;
        std::vector<quorvane_channel_dir_rec> dir;
        for (size_t i = 0; i < n; i++) {
            Id id{};
            id[0] = uint8_t(rng() % 4);  // many equal prefixes
            id[7] = uint8_t(rng() % 3);
            dir.push_back(dir_rec(id, rng() % 5, std::string("c").append(std::to_string(i))));
        }
        std::vector<quorvane_channel_entry> out(cap + 1);
        const size_t m = std::min(n, cap);
        ASSERT_EQ(quorvane_channels_build(dir.data(), n, nullptr, 0, nullptr, 0, out.data(), cap), m);
        std::multimap<std::string, std::string> keyed;  // equal keys keep insertion order
        for (size_t i = 0; i < m; i++) {
            const uint32_t inv = ~dir[i].member_count;
            std::string key = {char(inv >> 24), char(inv >> 16), char(inv >> 8), char(inv)};
            key.append(reinterpret_cast<const char *>(dir[i].id), 16);
            keyed.emplace(key, dir[i].name);
        }
        size_t i = 0;
        for (const auto &[key, name] : keyed) EXPECT_EQ(std::string(out[i++].name), name) << "round " << round;
    }
}

}  // namespace
