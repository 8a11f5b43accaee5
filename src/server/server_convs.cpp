// Conversations: creation (frame 24) with the key sealed to every member and
// to single devices, and the conversation information (frame 151) each device
// gets: the key sealed for it, then every member with its registered devices.
#include "n_log.h"
#include "quorvane_crypto.h"
#include "quorvane_x3dh.h"
#include "server_frames.h"
#include "server_handlers.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr size_t DEVKEY_LEN = 16 + 16 + QVS_SEALED_KEY_LEN;  // member user id, device id, sealed key

// What a creation frame names, in the order its records came.
struct conv_request {
    const uint8_t *conv_id = nullptr;
    std::vector<qvs_conv_member> members;
    std::vector<bool> keyed;
    std::vector<size_t> dev_keys;  // per member
    std::vector<qvs_conv_devkey> devkeys;
    std::vector<std::pair<const uint8_t *, size_t>> grants;  // records 84: a device id, then older keys sealed to it
};

constexpr size_t GRANT_MIN = 17, GRANT_MAX = 288;

// Empty string when well formed, else why not.
const char *parse_create(const qvs_records &rec, conv_request *q) {
    quorvane_tlv_reader rd;
    quorvane_tlv_reader_init(&rd, rec.p, rec.len);
    uint8_t tag;
    const uint8_t *v;
    size_t n;
    while (quorvane_tlv_next(&rd, &tag, &v, &n) == 0) {
        if (tag == QVS_TAG_CONV_ID) {
            if (n != 16 || q->conv_id) return "a conversation id that is not one 16-byte record";
            q->conv_id = v;
        } else if (tag == QVS_TAG_MEMBER) {
            if (n != 16) return "a member id of the wrong length";
            if (q->members.size() == QVS_CONV_MEMBERS_MAX) return "too many members";
            for (const qvs_conv_member &m : q->members)
                if (std::memcmp(m.user_id, v, 16) == 0) return "a member named twice";
            qvs_conv_member m{};
            std::memcpy(m.user_id, v, 16);
            q->members.push_back(m);
            q->keyed.push_back(false);
            q->dev_keys.push_back(0);
        } else if (tag == QVS_TAG_SEALED_KEY) {
            if (n != QVS_SEALED_KEY_LEN || q->members.empty() || q->keyed.back()) return "a sealed key without its member";
            std::memcpy(q->members.back().sealed, v, QVS_SEALED_KEY_LEN);
            q->keyed.back() = true;
        } else if (tag == QVS_TAG_DEVICE_KEY) {
            if (n != DEVKEY_LEN) return "a device key of the wrong length";
            size_t i = 0;
            while (i < q->members.size() && std::memcmp(q->members[i].user_id, v, 16) != 0) i++;
            if (i == q->members.size()) return "a device key of no member named before it";
            if (++q->dev_keys[i] > QVS_MAX_DEVICES) return "more device keys for a member than it may have devices";
            qvs_conv_devkey k{};
            std::memcpy(k.user_id, v, 16);
            std::memcpy(k.device_id, v + 16, 16);
            std::memcpy(k.sealed, v + 32, QVS_SEALED_KEY_LEN);
            q->devkeys.push_back(k);
        } else if (tag == QVS_TAG_GRANT) {
            if (n < GRANT_MIN || n > GRANT_MAX) return "an older-keys record of the wrong length";
            if (q->grants.size() == QVS_CONV_MEMBERS_MAX * QVS_MAX_DEVICES) return "too many older-keys records";
            q->grants.emplace_back(v, n);
        }
    }
    if (!q->conv_id) return "no conversation id";
    if (q->members.empty()) return "no member";
    for (bool k : q->keyed)
        if (!k) return "a member without its sealed key";
    return "";
}

// Every member with its identity and registered devices, as frame 151 ends.
int member_records(qvs_ctx *ctx, const std::vector<qvs_conv_member> &members, qvs_frame_builder *f) {
    for (const qvs_conv_member &m : members) {
        qvs_account a{};
        std::vector<qvs_device> devs;
        if (qvs_account_by_id(ctx->store, m.user_id, &a) != 1 || qvs_account_devices(ctx->store, m.user_id, &devs) != 0) return -1;
        quorvane_cleanse(a.auth_hash, sizeof a.auth_hash);
        f->put(QVS_TAG_MEMBER, m.user_id, 16);
        f->put(QVS_TAG_IDENTITY, a.identity_pub, 32);
        if (m.role) f->put(QVS_TAG_ROLE, &m.role, 1);
        for (const qvs_device &d : devs) {
            uint8_t rec[128];
            std::memcpy(rec, d.x25519_pub, 32);
            std::memcpy(rec + 32, d.ed25519_pub, 32);
            std::memcpy(rec + 64, d.cert, 64);
            f->put(QVS_TAG_MEMBER_DEVICE, rec, sizeof rec);
        }
    }
    return 0;
}

// The key for one device of a member: the one the creator sealed to that
// device when there is one, else the member's.
int sealed_for(qvs_ctx *ctx, const uint8_t conv_id[16], const qvs_conv_member &member, const qvs_device &dev,
               std::array<uint8_t, QVS_SEALED_KEY_LEN> *out) {
    uint8_t dev_id[16];
    if (quorvane_device_id(dev.x25519_pub, dev.ed25519_pub, dev_id) != 0) return -1;
    int r = qvs_conv_device_key(ctx->store, conv_id, dev_id, out->data());
    if (r == 0) std::memcpy(out->data(), member.sealed, QVS_SEALED_KEY_LEN);
    return r < 0 ? -1 : 0;
}

// What one device is given beside the member list: its key, its older keys
// when a grant holds them, and its user's read mark.
struct device_part {
    std::array<uint8_t, QVS_SEALED_KEY_LEN> sealed;
    std::vector<uint8_t> grant;
    uint64_t mark = 0;
};

int device_part_of(qvs_ctx *ctx, const uint8_t conv_id[16], const qvs_conv_member &member, const qvs_device &dev, device_part *out) {
    uint8_t dev_id[16];
    if (sealed_for(ctx, conv_id, member, dev, &out->sealed) != 0 || quorvane_device_id(dev.x25519_pub, dev.ed25519_pub, dev_id) != 0 ||
        qvs_conv_grant_get(ctx->store, conv_id, dev_id, &out->grant) < 0 ||
        qvs_read_mark_get(ctx->store, member.user_id, conv_id, &out->mark) < 0)
        return -1;
    return 0;
}

// Frame 151 up to its member list, its length counting `member_len` more
// bytes: the member list follows, the same for every device.
std::vector<uint8_t> info_head(const uint8_t conv_id[16], const device_part &dp, size_t member_len) {
    qvs_frame_builder f(QVS_FT_CONV_INFO);
    f.put(QVS_TAG_CONV_ID, conv_id, 16);
    f.put(QVS_TAG_SEALED_KEY, dp.sealed.data(), dp.sealed.size());
    if (!dp.grant.empty()) f.put(QVS_TAG_GRANT, dp.grant.data(), dp.grant.size());
    if (dp.mark) f.put_u64(QVS_TAG_READ_MARK, dp.mark);
    std::vector<uint8_t> out = f.take();
    qv_bytes::put_be32(&out[4], static_cast<uint32_t>(out.size() - QV_FRAME_HEADER_LEN + member_len));
    return out;
}

std::vector<uint8_t> member_part_of(qvs_ctx *ctx, const std::vector<qvs_conv_member> &members, bool *ok) {
    qvs_frame_builder mf(0);
    *ok = member_records(ctx, members, &mf) == 0;
    return std::vector<uint8_t>(mf.b.begin() + QV_FRAME_HEADER_LEN, mf.b.end());
}

}  // namespace

int qvs_conv_info(qvs_ctx *ctx, const uint8_t conv_id[16], const uint8_t user_id[16], const qvs_device &dev,
                  std::vector<uint8_t> *frame) {
    std::vector<qvs_conv_member> members;
    if (!ctx || !conv_id || !user_id || !frame || qvs_conv_members(ctx->store, conv_id, &members) != 0) return -1;
    const qvs_conv_member *me = nullptr;
    for (const qvs_conv_member &m : members)
        if (std::memcmp(m.user_id, user_id, 16) == 0) me = &m;
    bool ok = false;
    std::vector<uint8_t> part = member_part_of(ctx, members, &ok);
    device_part dp;
    if (!me || !ok || device_part_of(ctx, conv_id, *me, dev, &dp) != 0) return -1;
    *frame = info_head(conv_id, dp, part.size());
    frame->insert(frame->end(), part.begin(), part.end());
    return 0;
}

// Frame 151 for every device of every member: the member list (46 KiB for 64
// members of five devices) is built once and shared by every connection it
// goes to, and only each device's own head is made for it, after the commit
// and only for devices connected and synced then. A copy of the list per
// device would cost a group of 320 devices 15 MB a change, and with devices
// that never read, a plain member's rekeys would keep that much per rekey.
void qvs_push_conv_info(qvs_ctx *ctx, const uint8_t conv_id[16], const std::vector<qvs_conv_member> &members) {
    bool ok = false;
    qvs_frame_ptr part = std::make_shared<const std::vector<uint8_t>>(member_part_of(ctx, members, &ok));
    std::array<uint8_t, 16> conv;
    std::memcpy(conv.data(), conv_id, 16);
    for (size_t i = 0; ok && i < members.size(); i++) {
        std::vector<qvs_device> devs;
        if (qvs_account_devices(ctx->store, members[i].user_id, &devs) != 0) break;
        for (const qvs_device &d : devs) {
            device_part dp;
            if (device_part_of(ctx, conv_id, members[i], d, &dp) != 0) continue;
            const size_t len = part->size();
            ctx->pushes.push_back({d.row, part, 0, [conv, dp, len] { return info_head(conv.data(), dp, len); }});
        }
    }
}

namespace {

// Every listed member must have an account; empty when so.
const char *members_known(qvs_ctx *ctx, const conv_request &q) {
    for (const qvs_conv_member &m : q.members) {
        qvs_account a{};
        int r = qvs_account_by_id(ctx->store, m.user_id, &a);
        quorvane_cleanse(a.auth_hash, sizeof a.auth_hash);
        if (r != 1) return "a member without an account";
    }
    return "";
}

// Older-keys records only for devices of listed members: any other id would
// only take room in the store.
const char *grants_known(qvs_ctx *ctx, const conv_request &q) {
    if (q.grants.empty()) return "";
    std::vector<std::array<uint8_t, 16>> ids;
    for (const qvs_conv_member &m : q.members) {
        std::vector<qvs_device> devs;
        if (qvs_account_devices(ctx->store, m.user_id, &devs) != 0) return "a store failure";
        for (const qvs_device &d : devs) {
            std::array<uint8_t, 16> id;
            if (quorvane_device_id(d.x25519_pub, d.ed25519_pub, id.data()) != 0) return "a store failure";
            ids.push_back(id);
        }
    }
    for (const auto &[g, n] : q.grants) {
        bool known = false;
        for (const auto &id : ids) known = known || std::memcmp(id.data(), g, 16) == 0;
        if (!known) return "an older-keys record for a device of no member";
    }
    return "";
}

const qvs_conv_member *named(const std::vector<qvs_conv_member> &members, const uint8_t user_id[16]) {
    for (const qvs_conv_member &m : members)
        if (std::memcmp(m.user_id, user_id, 16) == 0) return &m;
    return nullptr;
}

// The users in `now` who are not in `was`, the sender aside.
std::vector<std::vector<uint8_t>> newcomers(const std::vector<qvs_conv_member> &now, const std::vector<qvs_conv_member> &was,
                                            const uint8_t sender[16]) {
    std::vector<std::vector<uint8_t>> out;
    for (const qvs_conv_member &m : now)
        if (!named(was, m.user_id) && std::memcmp(m.user_id, sender, 16) != 0) out.emplace_back(m.user_id, m.user_id + 16);
    return out;
}

// Being put into a conversation needs no consent, so what one user may do of
// it is bounded: so many conversations with the same user a day, so many
// members in all a minute. Empty when the adds are within both.
const char *adds_allowed(qvs_ctx *ctx, const uint8_t by[16], const std::vector<std::vector<uint8_t>> &users, uint64_t now) {
    if (users.empty()) return "";
    uint64_t recent = 0;
    if (qvs_adds_since(ctx->store, by, nullptr, now - std::min<uint64_t>(now, 60000), &recent) != 0) return "a store failure";
    if (recent + users.size() > QVS_MEMBERS_ADDED_PER_MINUTE) return "more members added than a minute allows";
    for (const auto &u : users) {
        uint64_t with = 0;
        if (qvs_adds_since(ctx->store, by, u.data(), now - std::min<uint64_t>(now, QVS_ADDS_KEPT_MS), &with) != 0) return "a store failure";
        if (with >= QVS_CONVS_WITH_USER_PER_DAY) return "more conversations with one user than a day allows";
    }
    return "";
}

// Without the role (1 or 2), a member may rekey the members there are or
// leave, which its own revocations, key grants and leaving need, but not put
// anyone in or take anyone else out.
const char *change_allowed(const std::vector<qvs_conv_member> &now, const std::vector<qvs_conv_member> &was, const uint8_t sender[16]) {
    const qvs_conv_member *me = named(was, sender);
    if (!me) return "a sender who is not a member";
    if (me->role == 1 || me->role == 2) return "";
    for (const qvs_conv_member &m : now)
        if (!named(was, m.user_id)) return "a member without the role adding someone";
    for (const qvs_conv_member &m : was)
        if (!named(now, m.user_id) && &m != me) return "a member without the role taking someone out";
    return "";
}

}  // namespace

// A new key for a conversation (or the current one sealed again): the sender
// must be a member now; the listed members become the member set, their keys
// and the device keys replace the old ones, and each older-keys record is kept
// for its device. A device a grant or a device key names has its key request
// answered. No answer but the new information to every member device.
int qvs_on_group_key(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec) {
    conv_request q;
    const char *bad = parse_create(rec, &q);
    if (!*bad) bad = members_known(ctx, q);
    if (!*bad) bad = grants_known(ctx, q);
    std::vector<qvs_conv_member> was;
    if (!*bad && qvs_conv_members(ctx->store, q.conv_id, &was) != 0) bad = "a store failure";
    if (!*bad) bad = change_allowed(q.members, was, c->user_id);
    const uint64_t now = qvs_wall_ms(ctx);
    const auto added = newcomers(q.members, was, c->user_id);
    if (!*bad) bad = adds_allowed(ctx, c->user_id, added, now);
    if (!*bad) {
        int r = qvs_conv_rekey(ctx->store, q.conv_id, q.members, q.devkeys);
        if (r == 1) bad = "no such conversation";
        else if (r != 0 || qvs_adds_note(ctx->store, c->user_id, added, now) != 0) bad = "a store failure";
    }
    for (size_t i = 0; !*bad && i < q.grants.size(); i++) {
        const auto &[g, n] = q.grants[i];
        if (qvs_conv_grant_put(ctx->store, q.conv_id, g, g, n) != 0 || qvs_key_request_drop(ctx->store, q.conv_id, g) != 0)
            bad = "a store failure";
    }
    for (size_t i = 0; !*bad && i < q.devkeys.size(); i++)
        if (qvs_key_request_drop(ctx->store, q.conv_id, q.devkeys[i].device_id) != 0) bad = "a store failure";
    if (*bad) {
        n_log(LOG_NOTICE, "server: a group key of %s refused: %s", c->user.c_str(), bad);
        return 0;
    }
    if (qvs_conv_members(ctx->store, q.conv_id, &was) == 0) qvs_push_conv_info(ctx, q.conv_id, was);
    return 0;
}

// A refused creation gets no answer (the client does not wait for one); what
// the creator sees is that no conversation information comes.
int qvs_on_create_conv(qvs_ctx *ctx, qvs_conn *c, const qvs_records &rec) {
    conv_request q;
    const char *bad = parse_create(rec, &q);
    if (!*bad) bad = members_known(ctx, q);
    if (!*bad) bad = grants_known(ctx, q);
    if (!*bad && !named(q.members, c->user_id)) bad = "a creator who is not a member";
    const uint64_t now = qvs_wall_ms(ctx);
    const auto added = newcomers(q.members, {}, c->user_id);
    if (!*bad) bad = adds_allowed(ctx, c->user_id, added, now);
    if (!*bad) {
        for (qvs_conv_member &m : q.members) m.role = std::memcmp(m.user_id, c->user_id, 16) == 0 ? 1 : 0;  // the creator is its admin
        int r = qvs_conv_create(ctx->store, q.conv_id, q.members, q.devkeys);
        if (r == 1) bad = "an id that exists";
        else if (r != 0 || qvs_adds_note(ctx->store, c->user_id, added, now) != 0) bad = "a store failure";
    }
    for (size_t i = 0; !*bad && i < q.grants.size(); i++)
        if (qvs_conv_grant_put(ctx->store, q.conv_id, q.grants[i].first, q.grants[i].first, q.grants[i].second) != 0)
            bad = "a store failure";
    if (*bad) {
        n_log(LOG_NOTICE, "server: a conversation of %s refused: %s", c->user.c_str(), bad);
        return 0;
    }
    qvs_push_conv_info(ctx, q.conv_id, q.members);
    return 0;
}
