#include "client_community.h"

#include "client_session.h"
#include "quorvane_crypto.h"
#include "quorvane_proto.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// Requests
constexpr uint8_t FT_ADMIN_PENDING = 20, FT_ADMIN_APPROVE = 21, FT_ADMIN_ROLE = 25, FT_CHANNEL_ROLE = 26, FT_MOD_ACTION = 27,
                  FT_MOD_SCOPE = 28, FT_CREATE_CHANNEL = 29, FT_CHANNEL_LIST = 30, FT_JOIN_REQUEST = 31, FT_JOIN_LIST = 32,
                  FT_JOIN_DENY = 33, FT_ADMIN_USERS = 34, FT_DELETE_CHANNEL = 35, FT_PURGE = 36, FT_RETENTION_GET = 37,
                  FT_RETENTION_SET = 38, FT_AUTO_ROLES_GET = 39, FT_AUTO_ROLES_SET = 40, FT_INSTANCE_LIST = 46,
                  FT_INSTANCE_JOIN = 47, FT_INSTANCE_LEAVE = 48, FT_INVITE_CREATE = 49, FT_INVITE_LIST = 50,
                  FT_INVITE_REVOKE = 51, FT_META_SET = 52, FT_GROUP_SET = 53, FT_KICK = 54, FT_INST_ROLE = 55,
                  FT_AVATAR_GET = 56, FT_MEMBERS_GET = 57, FT_BACKFILL = 59, FT_SET_LISTING = 82;
// Answers
constexpr uint8_t FT_ADMIN_LIST = 148, FT_CHANNEL_DIR = 152, FT_JOIN_REQS = 153, FT_RETENTION = 155, FT_AUTO_ROLES = 156,
                  FT_ROLES_CHANGED = 157, FT_JOINS_CHANGED = 163, FT_INSTANCES = 164, FT_INSTANCES_CHANGED = 165,
                  FT_INVITES = 166, FT_INSTANCE_RESULT = 167, FT_AVATAR = 168, FT_INST_MEMBERS = 169, FT_BACKFILL_DONE = 171;

constexpr uint8_t TAG_NAME = 1, TAG_USER_ID = 14, TAG_ROLE = 15, TAG_CONV = 17, TAG_MEMBER = 19, TAG_POSITION = 21,
                  TAG_DATA = 25, TAG_CH_ROLE = 28, TAG_STATUS = 34, TAG_SECOND = 35, TAG_MOD = 36, TAG_MOD_ALL = 37,
                  TAG_COUNT = 40, TAG_PURGE = 42, TAG_RETENTION = 43, TAG_AUTO_ROLES = 44, TAG_INSTANCE = 56,
                  TAG_META = 61, TAG_CODE = 63, TAG_INVITE_U64 = 64, TAG_INVITE_U32 = 65, TAG_INVITE_U32B = 66,
                  TAG_TOKEN = 67, TAG_INST_STATUS = 68, TAG_GROUP = 69, TAG_KICK = 70, TAG_INST_MEMBER = 72,
                  TAG_INST_SECOND = 73, TAG_LIMIT = 74, TAG_FLAG = 75, TAG_REJOIN = 92, TAG_LISTING = 99, TAG_KEY = 4;

constexpr size_t ID = 16;
constexpr size_t HEAD = QV_TLV_HEAD_LEN;

bool signed_in(const quorvane_cs *cs) { return cs && cs->state == QV_CS_SIGNED_IN; }

// A small body built on the stack; `send` finishes it and hands it to the connection.
template <size_t N>
struct body {
    uint8_t buf[N];
    quorvane_tlv_writer w;
    body() { quorvane_tlv_writer_init(&w, buf, N); }
    ~body() { quorvane_cleanse(buf, N); }
    body &put(uint8_t tag, const void *v, size_t n) { (void)quorvane_tlv_put(&w, tag, v, n); return *this; }
    body &u8(uint8_t tag, uint8_t v) { (void)quorvane_tlv_put_u8(&w, tag, v); return *this; }
    body &u32(uint8_t tag, uint32_t v) { (void)quorvane_tlv_put_u32(&w, tag, v); return *this; }
    body &u64(uint8_t tag, uint64_t v) { (void)quorvane_tlv_put_u64(&w, tag, v); return *this; }
    int send(quorvane_cs *cs, uint8_t type) {
        size_t n = 0;
        if (quorvane_tlv_writer_finish(&w, &n) != 0) return -1;
        return send_frame(cs, type, buf, n) == 0 ? 0 : -1;
    }
};

int send_empty(quorvane_cs *cs, uint8_t type) { return send_frame(cs, type, nullptr, 0) == 0 ? 0 : -1; }

int send_id(quorvane_cs *cs, uint8_t type, uint8_t tag, const uint8_t id[16]) {
    return body<HEAD + ID>().put(tag, id, ID).send(cs, type);
}

void clear_inst_result(cs_community_state &c) {
    c.inst_result_ready = 0;
    c.inst_result = 0;
    c.inst_has_id = c.inst_has_second = 0;
    std::memset(c.inst_id, 0, ID);
    std::memset(c.inst_second, 0, ID);
}

void clear_avatar(cs_community_state &c) {
    quorvane_cleanse(c.avatar, c.avatar_len);
    c.avatar_len = 0;
    c.avatar_ready = 0;
    std::memset(c.avatar_instance, 0, ID);
}

int send_inst_user_op(quorvane_cs *cs, uint8_t type, const uint8_t inst[16], const uint8_t user[16], uint8_t tag, uint8_t v) {
    if (!signed_in(cs) || !inst || !user) return -1;
    clear_inst_result(cs->community);
    return body<3 * HEAD + 2 * ID + 1>().put(TAG_INSTANCE, inst, ID).put(TAG_USER_ID, user, ID).u8(tag, v).send(cs, type);
}

// An empty request for a list: the held list is cleared first.
int list_request(quorvane_cs *cs, int cs_community_state::*ready, size_t cs_community_state::*count, uint8_t type) {
    if (!signed_in(cs)) return -1;
    cs->community.*ready = 0;
    cs->community.*count = 0;
    return send_empty(cs, type);
}

int send_iid_frame(quorvane_cs *cs, uint8_t type, const uint8_t inst[16]) {
    if (!signed_in(cs) || !inst) return -1;
    return send_id(cs, type, TAG_INSTANCE, inst);
}

int send_conv_user_op(quorvane_cs *cs, uint8_t type, const uint8_t conv[16], const uint8_t user[16], uint8_t tag, const uint8_t *v,
                      size_t vlen) {
    if (!signed_in(cs) || !conv || !user) return -1;
    return body<3 * HEAD + 2 * ID + 8>().put(TAG_CONV, conv, ID).put(TAG_MEMBER, user, ID).put(tag, v, vlen).send(cs, type);
}

// Walks the records of a list; false when the list is cut short or a record is truncated.
template <typename F>
bool walk(const uint8_t *p, size_t len, F &&fn) {
    quorvane_tlv_reader r;
    quorvane_tlv_reader_init(&r, p, len);
    uint8_t tag = 0;
    const uint8_t *v = nullptr;
    size_t vl = 0;
    for (;;) {
        const int rc = quorvane_tlv_next(&r, &tag, &v, &vl);
        if (rc == -5) return true;
        if (rc != 0) return false;
        fn(tag, v, vl);
    }
}

uint32_t be32(const uint8_t *v) {
    uint32_t x = 0;
    (void)quorvane_tlv_get_u32(v, 4, &x);
    return x;
}
uint64_t be64(const uint8_t *v) {
    uint64_t x = 0;
    (void)quorvane_tlv_get_u64(v, 8, &x);
    return x;
}

void copy_text(char *dst, size_t cap, const uint8_t *v, size_t vl) {
    const size_t n = std::min(vl, cap - 1);
    std::memcpy(dst, v, n);
    dst[n] = 0;
}

/* ---- answers ---- */

void on_admin_list(cs_community_state &c, const uint8_t *p, size_t len) {
    const uint8_t *v = nullptr;
    size_t vl = 0;
    c.admin_status = 0;
    if (quorvane_tlv_find(p, len, TAG_STATUS, &v, &vl) == 0) (void)quorvane_tlv_get_u8(v, vl, &c.admin_status);
    c.admin_count = 0;
    std::memset(c.admin, 0, sizeof c.admin);
    bool open = false;  // an entry of this list is being filled
    (void)walk(p, len, [&](uint8_t tag, const uint8_t *val, size_t n) {
        if (tag == TAG_USER_ID && n == ID) {
            open = c.admin_count < QV_CS_ADMIN_ENTRIES;
            if (open) std::memcpy(c.admin[c.admin_count++].user_id, val, ID);
            return;
        }
        if (!open) return;
        quorvane_admin_entry &e = c.admin[c.admin_count - 1];
        if (tag == TAG_NAME) copy_text(e.name, sizeof e.name, val, n);
        else if (tag == TAG_ROLE && n == 1) e.role = val[0];
        else if (tag == TAG_SECOND && n == 1) e.second = val[0];
    });
    c.admin_ready = 1;  // even a malformed list answers the waiting caller
}

void on_channel_dir(cs_community_state &c, const uint8_t *p, size_t len) {
    auto dir = std::make_unique<quorvane_channel_dir_entry[]>(QV_CS_CHANNEL_DIR);
    size_t count = 0;
    const uint8_t *held = nullptr;
    bool open = false;
    const bool ok = walk(p, len, [&](uint8_t tag, const uint8_t *v, size_t n) {
        if (tag == TAG_CONV && n == ID) {
            held = v;
            open = false;
        } else if (tag == TAG_COUNT && n == 4 && held) {
            open = count < QV_CS_CHANNEL_DIR;
            if (!open) return;
            std::memcpy(dir[count].channel_id, held, ID);
            dir[count].count = be32(v);
            count++;
            held = nullptr;
        } else if (tag == TAG_LISTING && open && n < QV_CS_LISTING_LEN &&
                   quorvane_listing_name_valid(reinterpret_cast<const char *>(v), n) == 1) {
            copy_text(dir[count - 1].name, QV_CS_LISTING_LEN, v, n);
        }
    });
    if (!ok) return;
    std::memcpy(c.dir, dir.get(), count * sizeof *c.dir);
    std::memset(c.dir + count, 0, (QV_CS_CHANNEL_DIR - count) * sizeof *c.dir);
    c.dir_count = count;
    c.dir_ready = 1;
}

void on_join_reqs(cs_community_state &c, const uint8_t *p, size_t len) {
    struct lists {
        uint8_t ids[QV_CS_JOIN_REQS][16], keys[QV_CS_JOIN_REQS][32], rejoin[QV_CS_JOIN_REQS][16], conv[16];
        size_t n = 0, rn = 0;
        int has_conv = 0;
    };
    auto l = std::make_unique<lists>();
    const uint8_t *held = nullptr;
    const bool ok = walk(p, len, [&](uint8_t tag, const uint8_t *v, size_t n) {
        if (tag == TAG_CONV && n == ID && !l->has_conv) {
            std::memcpy(l->conv, v, ID);
            l->has_conv = 1;
        } else if (tag == TAG_USER_ID && n == ID) {
            held = v;
        } else if (tag == TAG_KEY && n == 32 && held) {
            if (l->n < QV_CS_JOIN_REQS) {
                std::memcpy(l->ids[l->n], held, ID);
                std::memcpy(l->keys[l->n], v, 32);
                l->n++;
            }
            held = nullptr;
        } else if (tag == TAG_REJOIN && n == ID && l->rn < QV_CS_JOIN_REQS) {
            std::memcpy(l->rejoin[l->rn++], v, ID);
        }
    });
    if (!ok) return;
    std::memcpy(c.join_ids, l->ids, sizeof c.join_ids);
    std::memcpy(c.join_keys, l->keys, sizeof c.join_keys);
    std::memcpy(c.rejoin_ids, l->rejoin, sizeof c.rejoin_ids);
    std::memcpy(c.join_conv, l->conv, ID);
    c.join_has_conv = l->has_conv;
    c.join_count = l->n;
    c.rejoin_count = l->rn;
    c.joins_ready = 1;
}

void on_retention(cs_community_state &c, const uint8_t *p, size_t len) {
    const uint8_t *v = nullptr, *id = nullptr;
    size_t vl = 0;
    uint32_t value = 0;
    if (quorvane_tlv_find(p, len, TAG_RETENTION, &v, &vl) != 0 || quorvane_tlv_get_u32(v, vl, &value) != 0) return;
    c.retention_has_id = quorvane_tlv_find_fixed(p, len, TAG_CONV, ID, &id) == 0;
    if (c.retention_has_id) std::memcpy(c.retention_conv, id, ID);
    else std::memset(c.retention_conv, 0, ID);
    c.retention_value = value;
    c.retention_ready = 1;
}

void on_auto_roles(cs_community_state &c, const uint8_t *p, size_t len) {
    const uint8_t *v = nullptr, *id = nullptr;
    size_t vl = 0;
    uint32_t mask = 0;
    if (quorvane_tlv_find(p, len, TAG_AUTO_ROLES, &v, &vl) != 0 || quorvane_tlv_get_u32(v, vl, &mask) != 0) return;
    if (quorvane_tlv_find_fixed(p, len, TAG_CONV, ID, &id) == 0) std::memcpy(c.auto_roles_conv, id, ID);
    else std::memset(c.auto_roles_conv, 0, ID);
    c.auto_roles_mask = mask;
    c.auto_roles_ready = 1;
}

void on_instances(cs_community_state &c, const uint8_t *p, size_t len) {
    size_t cursor = 0, n = 0;
    while (n < QV_CS_INSTANCES && quorvane_instdir_next(p, len, &cursor, &c.instances[n]) == 0) n++;
    for (size_t i = n; i < QV_CS_INSTANCES; i++) std::memset(&c.instances[i], 0, sizeof c.instances[i]);
    c.instance_count = n;
    c.instances_ready = 1;
}

void on_invites(cs_community_state &c, const uint8_t *p, size_t len) {
    c.invite_count = 0;
    std::memset(c.invites, 0, sizeof c.invites);
    bool open = false;
    (void)walk(p, len, [&](uint8_t tag, const uint8_t *v, size_t n) {
        if (tag == TAG_TOKEN && n == 32) {
            open = c.invite_count < QV_CS_INVITES;
            if (open) std::memcpy(c.invites[c.invite_count++].token, v, 32);
            return;
        }
        if (!open) return;
        quorvane_invite &e = c.invites[c.invite_count - 1];
        if (tag == TAG_INVITE_U64 && n == 8) e.value64 = be64(v);
        else if (tag == TAG_INVITE_U32 && n == 4) e.value65 = be32(v);
        else if (tag == TAG_INVITE_U32B && n == 4) e.value66 = be32(v);
        else if (tag == TAG_USER_ID && n == ID) std::memcpy(e.user_id, v, ID);
    });
    c.invites_ready = 1;  // even a malformed list answers the waiting caller
}

void on_instance_result(cs_community_state &c, const uint8_t *p, size_t len) {
    clear_inst_result(c);
    const uint8_t *v = nullptr;
    size_t vl = 0;
    c.inst_result = 1;
    if (quorvane_tlv_find(p, len, TAG_INST_STATUS, &v, &vl) == 0 && quorvane_tlv_get_u8(v, vl, &c.inst_result) != 0) c.inst_result = 1;
    if (quorvane_tlv_find_fixed(p, len, TAG_INSTANCE, ID, &v) == 0) {
        c.inst_has_id = 1;
        std::memcpy(c.inst_id, v, ID);
    }
    if (quorvane_tlv_find_fixed(p, len, TAG_CODE, ID, &v) == 0) {
        c.inst_has_second = 1;
        std::memcpy(c.inst_second, v, ID);
    }
    c.inst_result_ready = 1;
}

void on_avatar(cs_community_state &c, const uint8_t *p, size_t len) {
    clear_avatar(c);
    const uint8_t *id = nullptr, *img = nullptr;
    size_t il = 0;
    if (quorvane_tlv_find_fixed(p, len, TAG_INSTANCE, ID, &id) != 0) return;
    std::memcpy(c.avatar_instance, id, ID);
    if (quorvane_tlv_find_bytes(p, len, TAG_DATA, 1, QV_CS_AVATAR_MAX, &img, &il) == 0) {
        std::memcpy(c.avatar, img, il);
        c.avatar_len = il;
    }
    c.avatar_ready = 1;
}

void on_inst_members(cs_community_state &c, const uint8_t *p, size_t len) {
    struct lists {
        uint8_t ids[QV_CS_INST_MEMBERS][16], roles[QV_CS_INST_MEMBERS], second[QV_CS_INST_SECOND][16];
        size_t n = 0, sn = 0;
    };
    auto l = std::make_unique<lists>();
    const bool ok = walk(p, len, [&](uint8_t tag, const uint8_t *v, size_t n) {
        if (tag == TAG_INST_MEMBER && n == ID + 1 && l->n < QV_CS_INST_MEMBERS) {
            std::memcpy(l->ids[l->n], v, ID);
            l->roles[l->n++] = v[ID] > QV_INSTDIR_ROLE_MAX ? 0 : v[ID];
        } else if (tag == TAG_INST_SECOND && n == ID && l->sn < QV_CS_INST_SECOND) {
            std::memcpy(l->second[l->sn++], v, ID);
        }
    });
    if (!ok) return;
    std::memcpy(c.member_ids, l->ids, sizeof c.member_ids);
    std::memcpy(c.member_roles, l->roles, sizeof c.member_roles);
    std::memcpy(c.second_ids, l->second, sizeof c.second_ids);
    c.member_count = l->n;
    c.second_count = l->sn;
    c.members_ready = 1;
}

void on_backfill_done(quorvane_cs *cs, const uint8_t *p, size_t len) {
    cs_deliver_state &d = cs->deliver;
    if (!d.backfill_inflight) return;  // nobody asked: an old or forged answer
    cs_community_state &c = cs->community;
    const uint8_t *v = nullptr;
    size_t vl = 0;
    uint64_t cursor = 0;
    uint8_t flag = 0;
    if (quorvane_tlv_find(p, len, TAG_POSITION, &v, &vl) == 0 && quorvane_tlv_get_u64(v, vl, &cursor) != 0) cursor = 0;
    if (quorvane_tlv_find(p, len, TAG_FLAG, &v, &vl) == 0 && quorvane_tlv_get_u8(v, vl, &flag) != 0) flag = 0;
    std::memcpy(c.backfill_conv, d.backfill_conv, ID);
    c.backfill_count = d.backfill_count;
    c.backfill_cursor = cursor;
    c.backfill_flag = flag ? 1 : 0;
    d.backfill_sink = nullptr;
    d.backfill_ctx = nullptr;
    d.backfill_inflight = 0;
    c.backfill_ready = 1;
}

}  // namespace

int cs_community_frame(quorvane_cs *cs, uint8_t type, const uint8_t *p, size_t len) {
    if (!cs) return 0;
    cs_community_state &c = cs->community;
    switch (type) {
    case FT_ADMIN_LIST: on_admin_list(c, p, len); return 1;
    case FT_CHANNEL_DIR: on_channel_dir(c, p, len); return 1;
    case FT_JOIN_REQS: on_join_reqs(c, p, len); return 1;
    case FT_RETENTION: on_retention(c, p, len); return 1;
    case FT_AUTO_ROLES: on_auto_roles(c, p, len); return 1;
    case FT_ROLES_CHANGED: c.roles_epoch++; return 1;
    case FT_JOINS_CHANGED: c.joins_epoch++; return 1;
    case FT_INSTANCES: on_instances(c, p, len); return 1;
    case FT_INSTANCES_CHANGED: c.instances_epoch++; return 1;
    case FT_INVITES: on_invites(c, p, len); return 1;
    case FT_INSTANCE_RESULT: on_instance_result(c, p, len); return 1;
    case FT_AVATAR: on_avatar(c, p, len); return 1;
    case FT_INST_MEMBERS: on_inst_members(c, p, len); return 1;
    case FT_BACKFILL_DONE: on_backfill_done(cs, p, len); return 1;
    default: return 0;
    }
}

/* ---- back-fill ---- */

int backfill_start(quorvane_cs *cs, const uint8_t conv_id[16], uint64_t before, uint32_t limit, quorvane_cs_backfill_sink sink,
                   void *ctx) {
    if (!signed_in(cs) || !conv_id || !cs->cfg.store) return -1;
    cs_deliver_state &d = cs->deliver;
    if (d.backfill_inflight) return -1;
    const uint64_t floor = quorvane_msgstore_history_floor(cs->cfg.store, conv_id);
    if (floor != 0 && floor + 1 >= before) return -1;  // nothing older is left
    cs_community_state &c = cs->community;
    c.backfill_ready = 0;
    c.backfill_count = c.backfill_cursor = 0;
    c.backfill_flag = 0;
    std::memcpy(c.backfill_conv, conv_id, ID);
    body<3 * HEAD + ID + 8 + 4> b;
    b.put(TAG_CONV, conv_id, ID).u64(TAG_POSITION, before);
    if (limit) b.u32(TAG_LIMIT, limit);
    if (b.send(cs, FT_BACKFILL) != 0) {
        d.backfill_sink = nullptr;
        d.backfill_ctx = nullptr;
        return -1;
    }
    std::memcpy(d.backfill_conv, conv_id, ID);
    d.backfill_count = 0;
    d.backfill_sink = sink;
    d.backfill_ctx = sink ? ctx : nullptr;
    d.backfill_inflight = 1;
    return 0;
}

int quorvane_cs_backfill(quorvane_cs *cs, const uint8_t conv_id[16], uint64_t before, uint32_t limit) {
    return backfill_start(cs, conv_id, before, limit, nullptr, nullptr);
}

int quorvane_cs_backfill_search(quorvane_cs *cs, const uint8_t conv_id[16], uint64_t before, uint32_t limit,
                                quorvane_cs_backfill_sink cb, void *user) {
    if (!cb) return -1;
    return backfill_start(cs, conv_id, before, limit, cb, user);
}

/* ---- conversations, channels, instances and invites ---- */

int quorvane_cs_create_channel(quorvane_cs *cs, const uint8_t conv_id[16], const uint8_t key[32], uint8_t kind,
                               const quorvane_member *members, size_t n, const uint8_t *instance_id) {
    uint8_t tail[HEAD + ID];
    if (instance_id) {
        quorvane_tlv_writer w;
        quorvane_tlv_writer_init(&w, tail, sizeof tail);
        quorvane_tlv_put(&w, TAG_INSTANCE, instance_id, ID);
    }
    return cs_create_conv_request(cs, FT_CREATE_CHANNEL, conv_id, key, members, n, kind, instance_id ? tail : nullptr, sizeof tail);
}

int quorvane_cs_instance_meta_set(quorvane_cs *cs, const uint8_t instance_id[16], const char (*tags)[QV_CS_META_TAG_LEN], size_t n) {
    if (!signed_in(cs) || !instance_id || (n && !tags) || n > QV_CS_META_TAGS) return -1;
    clear_inst_result(cs->community);
    body<HEAD + ID + QV_CS_META_TAGS * (HEAD + QV_CS_META_TAG_LEN)> b;  // 880 bytes
    b.put(TAG_INSTANCE, instance_id, ID);
    for (size_t i = 0; i < n; i++) {
        const size_t tl = std::min(strnlen(tags[i], QV_CS_META_TAG_LEN), QV_CS_META_TAG_LEN - 1);
        if (tl == 0) continue;
        uint8_t v[QV_CS_META_TAG_LEN];
        v[0] = static_cast<uint8_t>(i);
        std::memcpy(v + 1, tags[i], tl);
        b.put(TAG_META, v, tl + 1);
    }
    return b.send(cs, FT_META_SET);
}

int quorvane_cs_channel_group_set(quorvane_cs *cs, const uint8_t channel_id[16], uint8_t category, uint8_t second, uint8_t flags) {
    if (!signed_in(cs) || !channel_id) return -1;
    clear_inst_result(cs->community);
    const uint8_t g[3] = {category, second, flags};
    return body<2 * HEAD + ID + 3>().put(TAG_CONV, channel_id, ID).put(TAG_GROUP, g, 3).send(cs, FT_GROUP_SET);
}

int quorvane_cs_instance_kick(quorvane_cs *cs, const uint8_t instance_id[16], const uint8_t user_id[16], uint8_t value) {
    return send_inst_user_op(cs, FT_KICK, instance_id, user_id, TAG_KICK, value);
}

int quorvane_cs_instance_role_set(quorvane_cs *cs, const uint8_t instance_id[16], const uint8_t user_id[16], uint8_t role) {
    return send_inst_user_op(cs, FT_INST_ROLE, instance_id, user_id, TAG_ROLE, role);
}

int quorvane_cs_instance_list(quorvane_cs *cs) {
    return list_request(cs, &cs_community_state::instances_ready, &cs_community_state::instance_count, FT_INSTANCE_LIST);
}

int quorvane_cs_instance_join(quorvane_cs *cs, const uint8_t invite_code[16]) {
    if (!signed_in(cs) || !invite_code) return -1;
    clear_inst_result(cs->community);
    return send_id(cs, FT_INSTANCE_JOIN, TAG_CODE, invite_code);
}

int quorvane_cs_instance_leave(quorvane_cs *cs, const uint8_t instance_id[16]) {
    if (!signed_in(cs) || !instance_id) return -1;
    clear_inst_result(cs->community);
    return send_iid_frame(cs, FT_INSTANCE_LEAVE, instance_id);
}

int quorvane_cs_invite_create(quorvane_cs *cs, const uint8_t instance_id[16], uint64_t value64, uint32_t value32) {
    if (!signed_in(cs) || !instance_id) return -1;
    clear_inst_result(cs->community);
    body<3 * HEAD + ID + 8 + 4> b;
    b.put(TAG_INSTANCE, instance_id, ID);
    if (value64) b.u64(TAG_INVITE_U64, value64);
    if (value32) b.u32(TAG_INVITE_U32, value32);
    return b.send(cs, FT_INVITE_CREATE);
}

int quorvane_cs_invite_list(quorvane_cs *cs, const uint8_t instance_id[16]) {
    if (!signed_in(cs) || !instance_id) return -1;
    cs->community.invites_ready = 0;
    cs->community.invite_count = 0;
    return send_iid_frame(cs, FT_INVITE_LIST, instance_id);
}

int quorvane_cs_invite_revoke(quorvane_cs *cs, const uint8_t instance_id[16], const uint8_t token[32]) {
    if (!signed_in(cs) || !instance_id || !token) return -1;
    clear_inst_result(cs->community);
    return body<2 * HEAD + ID + 32>().put(TAG_INSTANCE, instance_id, ID).put(TAG_TOKEN, token, 32).send(cs, FT_INVITE_REVOKE);
}

int quorvane_cs_instance_members_get(quorvane_cs *cs, const uint8_t instance_id[16]) {
    if (!signed_in(cs) || !instance_id) return -1;
    cs->community.members_ready = 0;
    return send_iid_frame(cs, FT_MEMBERS_GET, instance_id);
}

int quorvane_cs_instance_avatar_get(quorvane_cs *cs, const uint8_t instance_id[16]) {
    if (!signed_in(cs) || !instance_id) return -1;
    clear_avatar(cs->community);
    return send_iid_frame(cs, FT_AVATAR_GET, instance_id);
}

int quorvane_cs_channel_list(quorvane_cs *cs) {
    return list_request(cs, &cs_community_state::dir_ready, &cs_community_state::dir_count, FT_CHANNEL_LIST);
}

int quorvane_cs_channel_join_request(quorvane_cs *cs, const uint8_t channel_id[16]) {
    if (!signed_in(cs) || !channel_id) return -1;
    return send_id(cs, FT_JOIN_REQUEST, TAG_CONV, channel_id);
}

int quorvane_cs_delete_channel(quorvane_cs *cs, const uint8_t channel_id[16]) {
    if (!signed_in(cs) || !channel_id) return -1;
    if (cs->cfg.store) (void)quorvane_msgstore_delete_conv(cs->cfg.store, channel_id);
    return send_id(cs, FT_DELETE_CHANNEL, TAG_CONV, channel_id);
}

int quorvane_cs_channel_set_listing(quorvane_cs *cs, const uint8_t channel_id[16], const char *name) {
    if (!signed_in(cs) || !channel_id) return -1;
    const size_t nl = name ? std::strlen(name) : 0;
    if (nl && quorvane_listing_name_valid(name, nl) != 1) return -1;
    body<2 * HEAD + ID + QV_CS_LISTING_LEN> b;
    b.put(TAG_CONV, channel_id, ID);
    if (nl) b.put(TAG_LISTING, name, nl);
    return b.send(cs, FT_SET_LISTING);
}

int quorvane_cs_channel_join_list(quorvane_cs *cs, const uint8_t channel_id[16]) {
    if (!signed_in(cs) || !channel_id) return -1;
    cs->community.joins_ready = 0;
    cs->community.join_count = 0;
    return send_id(cs, FT_JOIN_LIST, TAG_CONV, channel_id);
}

int quorvane_cs_channel_join_deny(quorvane_cs *cs, const uint8_t channel_id[16], const uint8_t user_id[16]) {
    if (!signed_in(cs) || !channel_id || !user_id) return -1;
    return body<2 * HEAD + 2 * ID>().put(TAG_CONV, channel_id, ID).put(TAG_USER_ID, user_id, ID).send(cs, FT_JOIN_DENY);
}

/* ---- retention, roles, moderation and administration ---- */

int quorvane_cs_retention_get(quorvane_cs *cs, const uint8_t *conv_id) {
    if (!signed_in(cs)) return -1;
    cs->community.retention_ready = 0;
    body<HEAD + ID> b;
    if (conv_id) b.put(TAG_CONV, conv_id, ID);
    return b.send(cs, FT_RETENTION_GET);
}

int quorvane_cs_retention_set(quorvane_cs *cs, const uint8_t *conv_id, uint32_t value) {
    if (!signed_in(cs)) return -1;
    cs->community.retention_ready = 0;
    body<2 * HEAD + ID + 4> b;
    if (conv_id) b.put(TAG_CONV, conv_id, ID);
    return b.u32(TAG_RETENTION, value).send(cs, FT_RETENTION_SET);
}

int quorvane_cs_auto_roles_get(quorvane_cs *cs, const uint8_t conv_id[16]) {
    if (!signed_in(cs) || !conv_id) return -1;
    cs->community.auto_roles_ready = 0;
    return send_id(cs, FT_AUTO_ROLES_GET, TAG_CONV, conv_id);
}

int quorvane_cs_auto_roles_set(quorvane_cs *cs, const uint8_t conv_id[16], uint32_t mask) {
    if (!signed_in(cs) || !conv_id) return -1;
    cs->community.auto_roles_ready = 0;
    return body<2 * HEAD + ID + 4>().put(TAG_CONV, conv_id, ID).u32(TAG_AUTO_ROLES, mask).send(cs, FT_AUTO_ROLES_SET);
}

int quorvane_cs_set_channel_role(quorvane_cs *cs, const uint8_t conv_id[16], const uint8_t user_id[16], uint8_t role) {
    return send_conv_user_op(cs, FT_CHANNEL_ROLE, conv_id, user_id, TAG_CH_ROLE, &role, 1);
}

int quorvane_cs_mod_action(quorvane_cs *cs, const uint8_t conv_id[16], const uint8_t user_id[16], uint8_t action) {
    return send_conv_user_op(cs, FT_MOD_ACTION, conv_id, user_id, TAG_MOD, &action, 1);
}

int quorvane_cs_purge_messages(quorvane_cs *cs, const uint8_t conv_id[16], const uint8_t user_id[16], uint64_t value) {
    uint8_t v[8];
    for (int i = 0; i < 8; i++) v[i] = static_cast<uint8_t>(value >> (56 - 8 * i));
    return send_conv_user_op(cs, FT_PURGE, conv_id, user_id, TAG_PURGE, v, sizeof v);
}

namespace {
int admin_user_op(quorvane_cs *cs, uint8_t type, const uint8_t user_id[16], uint8_t tag, uint8_t v) {
    if (!signed_in(cs) || !user_id) return -1;
    cs->community.admin_ready = 0;
    return body<2 * HEAD + ID + 1>().put(TAG_USER_ID, user_id, ID).u8(tag, v).send(cs, type);
}
}  // namespace

int quorvane_cs_admin_list_pending(quorvane_cs *cs) {
    return list_request(cs, &cs_community_state::admin_ready, &cs_community_state::admin_count, FT_ADMIN_PENDING);
}
int quorvane_cs_admin_list_users(quorvane_cs *cs) {
    return list_request(cs, &cs_community_state::admin_ready, &cs_community_state::admin_count, FT_ADMIN_USERS);
}

int quorvane_cs_admin_approve(quorvane_cs *cs, const uint8_t user_id[16], uint8_t value) {
    return admin_user_op(cs, FT_ADMIN_APPROVE, user_id, TAG_SECOND, value);
}

int quorvane_cs_admin_set_role(quorvane_cs *cs, const uint8_t user_id[16], uint8_t role) {
    return admin_user_op(cs, FT_ADMIN_ROLE, user_id, TAG_ROLE, role);
}

int quorvane_cs_admin_set_mod_scope(quorvane_cs *cs, const uint8_t user_id[16], int all, const uint8_t (*channel_ids)[16], size_t n) {
    if (!signed_in(cs) || !user_id) return -1;
    if (!all && (n > QV_CS_MOD_SCOPE_MAX || (n && !channel_ids))) return -1;
    cs->community.admin_ready = 0;
    body<QV_CS_FRAME_BUF> b;
    b.put(TAG_USER_ID, user_id, ID).u8(TAG_MOD_ALL, all ? 1 : 0);
    if (!all)
        for (size_t i = 0; i < n; i++) b.put(TAG_CONV, channel_ids[i], ID);
    return b.send(cs, FT_MOD_SCOPE);
}

/* ---- getters ---- */

namespace {
template <typename T, size_t N>
size_t copy_out(int ready, const T (&src)[N], size_t count, T *dst, size_t n) {
    if (!ready || !dst) return 0;
    const size_t k = std::min({count, n, N});
    std::memcpy(dst, src, k * sizeof *dst);
    return k;
}
}  // namespace

int quorvane_cs_instances_ready(const quorvane_cs *cs) { return cs ? cs->community.instances_ready : 0; }
int quorvane_cs_invites_ready(const quorvane_cs *cs) { return cs ? cs->community.invites_ready : 0; }
int quorvane_cs_instance_members_ready(const quorvane_cs *cs) { return cs ? cs->community.members_ready : 0; }
int quorvane_cs_channel_dir_ready(const quorvane_cs *cs) { return cs ? cs->community.dir_ready : 0; }
int quorvane_cs_join_reqs_ready(const quorvane_cs *cs) { return cs ? cs->community.joins_ready : 0; }
int quorvane_cs_retention_ready(const quorvane_cs *cs) { return cs ? cs->community.retention_ready : 0; }
int quorvane_cs_auto_roles_ready(const quorvane_cs *cs) { return cs ? cs->community.auto_roles_ready : 0; }
int quorvane_cs_admin_ready(const quorvane_cs *cs) { return cs ? cs->community.admin_ready : 0; }
int quorvane_cs_backfill_inflight(const quorvane_cs *cs) { return cs ? cs->deliver.backfill_inflight : 0; }
int quorvane_cs_backfill_sink_armed(const quorvane_cs *cs) { return cs && cs->deliver.backfill_sink ? 1 : 0; }

size_t quorvane_cs_instances_copy(const quorvane_cs *cs, quorvane_instdir_entry *dst, size_t n) {
    return cs ? copy_out(cs->community.instances_ready, cs->community.instances, cs->community.instance_count, dst, n) : 0;
}

size_t quorvane_cs_invites_copy(const quorvane_cs *cs, quorvane_invite *dst, size_t n) {
    return cs ? copy_out(cs->community.invites_ready, cs->community.invites, cs->community.invite_count, dst, n) : 0;
}

size_t quorvane_cs_instance_members_copy(const quorvane_cs *cs, uint8_t (*ids)[16], uint8_t *roles, size_t n, uint8_t (*second)[16],
                                         size_t *second_count, size_t limit) {
    if (!cs) return 0;
    const cs_community_state &c = cs->community;
    const size_t k = std::min(c.member_count, n);
    if (ids) std::memcpy(ids, c.member_ids, k * ID);
    if (roles) std::memcpy(roles, c.member_roles, k);
    if (second && second_count) {
        const size_t s = std::min(c.second_count, limit);
        std::memcpy(second, c.second_ids, s * ID);
        *second_count = s;
    }
    return k;
}

int quorvane_cs_take_instance_avatar(quorvane_cs *cs, uint8_t instance_id[16], uint8_t **buf, size_t *len) {
    if (!cs || !cs->community.avatar_ready) return 0;
    cs_community_state &c = cs->community;
    if (buf) *buf = nullptr;
    if (len) *len = c.avatar_len;
    if (buf && c.avatar_len) {
        *buf = static_cast<uint8_t *>(std::malloc(c.avatar_len));
        if (!*buf) return 0;  // kept for a later take
        std::memcpy(*buf, c.avatar, c.avatar_len);
    }
    if (instance_id) std::memcpy(instance_id, c.avatar_instance, ID);
    clear_avatar(c);
    return 1;
}

int quorvane_cs_take_instance_result(quorvane_cs *cs, uint8_t *result, uint8_t id[16], int *has, uint8_t id2[16], int *has2) {
    if (!cs || !cs->community.inst_result_ready) return 0;
    cs_community_state &c = cs->community;
    if (result) *result = c.inst_result;
    if (has) *has = c.inst_has_id;
    if (id && c.inst_has_id) std::memcpy(id, c.inst_id, ID);
    if (has2) *has2 = c.inst_has_second;
    if (id2 && c.inst_has_second) std::memcpy(id2, c.inst_second, ID);
    clear_inst_result(c);
    return 1;
}

size_t quorvane_cs_channel_dir_copy(const quorvane_cs *cs, quorvane_channel_dir_entry *dst, size_t n) {
    return cs ? copy_out(cs->community.dir_ready, cs->community.dir, cs->community.dir_count, dst, n) : 0;
}

size_t quorvane_cs_join_reqs_copy(const quorvane_cs *cs, uint8_t (*dst)[16], size_t n) {
    if (!cs || !dst || !cs->community.joins_ready) return 0;
    const size_t k = std::min(cs->community.join_count, n);
    std::memcpy(dst, cs->community.join_ids, k * ID);
    return k;
}

size_t quorvane_cs_join_reqs_copy_peers(const quorvane_cs *cs, quorvane_member *dst, size_t n) {
    if (!cs || !dst || !cs->community.joins_ready) return 0;
    const size_t k = std::min(cs->community.join_count, n);
    for (size_t i = 0; i < k; i++) {
        std::memset(&dst[i], 0, sizeof dst[i]);
        std::memcpy(dst[i].user_id, cs->community.join_ids[i], ID);
        std::memcpy(dst[i].identity, cs->community.join_keys[i], 32);
    }
    return k;
}

int quorvane_cs_join_reqs_conv(const quorvane_cs *cs, uint8_t out[16]) {
    if (!cs || !out || !cs->community.joins_ready || !cs->community.join_has_conv) return 0;
    std::memcpy(out, cs->community.join_conv, ID);
    return 1;
}

int quorvane_cs_join_reqs_is_rejoin(const quorvane_cs *cs, const uint8_t user_id[16]) {
    if (!cs || !user_id || !cs->community.joins_ready) return 0;
    for (size_t i = 0; i < cs->community.rejoin_count; i++)
        if (std::memcmp(cs->community.rejoin_ids[i], user_id, ID) == 0) return 1;
    return 0;
}

int quorvane_cs_retention_read(quorvane_cs *cs, int *has, uint8_t id[16], uint32_t *value) {
    if (!cs || !cs->community.retention_ready) return 0;
    const cs_community_state &c = cs->community;
    if (has) *has = c.retention_has_id;
    if (id && c.retention_has_id) std::memcpy(id, c.retention_conv, ID);
    if (value) *value = c.retention_value;
    cs->community.retention_ready = 0;
    return 1;
}

int quorvane_cs_auto_roles_read(quorvane_cs *cs, uint8_t id[16], uint32_t *mask) {
    if (!cs || !cs->community.auto_roles_ready) return 0;
    if (id) std::memcpy(id, cs->community.auto_roles_conv, ID);
    if (mask) *mask = cs->community.auto_roles_mask;
    cs->community.auto_roles_ready = 0;
    return 1;
}

uint32_t quorvane_cs_instances_epoch(const quorvane_cs *cs) { return cs ? cs->community.instances_epoch : 0; }
uint32_t quorvane_cs_roles_epoch(const quorvane_cs *cs) { return cs ? cs->community.roles_epoch : 0; }
uint32_t quorvane_cs_joins_epoch(const quorvane_cs *cs) { return cs ? cs->community.joins_epoch : 0; }
uint8_t  quorvane_cs_admin_status(const quorvane_cs *cs) { return cs ? cs->community.admin_status : 0; }

void quorvane_cs_admin_consume(quorvane_cs *cs) {
    if (cs) cs->community.admin_ready = 0;
}

size_t quorvane_cs_pending_copy(const quorvane_cs *cs, quorvane_admin_entry *dst, size_t n) {
    return cs ? copy_out(cs->community.admin_ready, cs->community.admin, cs->community.admin_count, dst, n) : 0;
}

int quorvane_cs_backfill_result(quorvane_cs *cs, uint8_t conv_id[16], uint64_t *count, uint64_t *cursor, uint8_t *flag) {
    if (!cs || !cs->community.backfill_ready) return 0;
    const cs_community_state &c = cs->community;
    if (conv_id) std::memcpy(conv_id, c.backfill_conv, ID);
    if (count) *count = c.backfill_count;
    if (cursor) *cursor = c.backfill_cursor;
    if (flag) *flag = c.backfill_flag;
    cs->community.backfill_ready = 0;
    return 1;
}
