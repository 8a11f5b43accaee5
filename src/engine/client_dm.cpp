#include "client_dm.h"

#include "quorvane_bytes.h"
#include "quorvane_proto.h"
#include "quorvane_x3dh.h"

#include <algorithm>
#include <cstring>

using qv_bytes::get_be32;
using qv_bytes::put_be32;

namespace {

constexpr char SET_MAGIC[4] = {'D', 'P', 'K', '1'};
constexpr char BAG_MAGIC[4] = {'D', 'P', 'K', 'B'};

size_t set_len(const quorvane_dm_prekeys *set) { return QV_DM_SET_BASE + QV_DM_SET_ENTRY * set->otk_count; }

uint32_t largest_id(const quorvane_dm_prekeys *set) {
    uint32_t m = set->spk_id;
    for (size_t i = 0; i < set->otk_count; i++) m = std::max(m, set->otk[i].id);
    return m;
}

}  // namespace

void quorvane_dm_prekeys_wipe(quorvane_dm_prekeys *set) {
    if (set) quorvane_cleanse(set, sizeof *set);
}

void quorvane_dm_bag_wipe(quorvane_dm_bag *bag) {
    if (bag) quorvane_cleanse(bag, sizeof *bag);
}

int quorvane_dm_prekeys_generate(quorvane_dm_prekeys *set, const uint8_t x_priv[32], const uint8_t x_pub[32],
                                 const uint8_t ed_priv[32], const uint8_t ed_pub[32], uint32_t first_id) {
    if (!set || !x_priv || !x_pub || !ed_priv || !ed_pub) return -1;
    // ids first_id .. first_id + 16 must not wrap into ids already handed out
    if (first_id == 0 || first_id > UINT32_MAX - QV_DM_OTK_MAX) return -1;
    quorvane_dm_prekeys_wipe(set);
    std::memcpy(set->dev_x_priv, x_priv, 32);
    std::memcpy(set->dev_x_pub, x_pub, 32);
    std::memcpy(set->dev_ed_priv, ed_priv, 32);
    std::memcpy(set->dev_ed_pub, ed_pub, 32);
    set->spk_id = first_id;
    int rc = 0;
    if (quorvane_x25519_keypair(set->spk_priv, set->spk_pub) != 0 ||
        quorvane_prekey_sign(set->dev_ed_priv, set->spk_pub, set->spk_sig) != 0)
        rc = -1;
    for (size_t i = 0; rc == 0 && i < QV_DM_OTK_MAX; i++) {
        set->otk[i].id = first_id + 1 + static_cast<uint32_t>(i);
        if (quorvane_x25519_keypair(set->otk[i].priv, set->otk[i].pub) != 0) rc = -1;
        set->otk_count = static_cast<uint8_t>(i + 1);
    }
    if (rc != 0) quorvane_dm_prekeys_wipe(set);
    return rc;
}

int quorvane_dm_prekeys_serialize(const quorvane_dm_prekeys *set, uint8_t *out, size_t cap, size_t *out_len) {
    if (!set || !out || set->otk_count > QV_DM_OTK_MAX || cap < set_len(set)) return -1;
    uint8_t *p = out;
    auto put = [&p](const void *v, size_t n) { std::memcpy(p, v, n); p += n; };
    put(SET_MAGIC, 4);
    put(set->dev_x_priv, 32);
    put(set->dev_x_pub, 32);
    put(set->dev_ed_priv, 32);
    put(set->dev_ed_pub, 32);
    put_be32(p, set->spk_id);
    p += 4;
    put(set->spk_priv, 32);
    put(set->spk_pub, 32);
    put(set->spk_sig, 64);
    *p++ = set->otk_count;
    for (size_t i = 0; i < set->otk_count; i++) {
        put_be32(p, set->otk[i].id);
        p += 4;
        put(set->otk[i].priv, 32);
        put(set->otk[i].pub, 32);
    }
    if (out_len) *out_len = static_cast<size_t>(p - out);
    return 0;
}

int quorvane_dm_prekeys_deserialize(quorvane_dm_prekeys *set, const uint8_t *in, size_t len) {
    if (!set || !in || len < QV_DM_SET_BASE || std::memcmp(in, SET_MAGIC, 4) != 0) return -1;
    const uint8_t count = in[QV_DM_SET_BASE - 1];
    if (count > QV_DM_OTK_MAX || len != QV_DM_SET_BASE + QV_DM_SET_ENTRY * count) return -1;
    quorvane_dm_prekeys_wipe(set);
    const uint8_t *p = in + 4;
    auto get = [&p](void *v, size_t n) { std::memcpy(v, p, n); p += n; };
    get(set->dev_x_priv, 32);
    get(set->dev_x_pub, 32);
    get(set->dev_ed_priv, 32);
    get(set->dev_ed_pub, 32);
    set->spk_id = get_be32(p);
    p += 4;
    get(set->spk_priv, 32);
    get(set->spk_pub, 32);
    get(set->spk_sig, 64);
    set->otk_count = *p++;
    for (size_t i = 0; i < count; i++) {
        set->otk[i].id = get_be32(p);
        p += 4;
        get(set->otk[i].priv, 32);
        get(set->otk[i].pub, 32);
    }
    return 0;
}

int quorvane_dm_publish_body(const quorvane_dm_prekeys *set, uint8_t *out, size_t cap, size_t *out_len) {
    if (!set || !out || set->otk_count > QV_DM_OTK_MAX) return -1;
    quorvane_tlv_writer w;
    quorvane_tlv_writer_init(&w, out, cap);
    quorvane_tlv_put(&w, 46, set->spk_pub, 32);
    quorvane_tlv_put(&w, 47, set->spk_sig, 64);
    quorvane_tlv_put_u32(&w, 48, set->spk_id);
    for (size_t i = 0; i < set->otk_count; i++) {
        quorvane_tlv_put(&w, 49, set->otk[i].pub, 32);
        quorvane_tlv_put_u32(&w, 50, set->otk[i].id);
    }
    return quorvane_tlv_writer_finish(&w, out_len) == 0 ? 0 : -1;
}

int quorvane_dm_begin_initiator(quorvane_ratchet **out, uint8_t preamble[QV_DM_PREAMBLE_LEN], const uint8_t own_priv[32],
                                const uint8_t own_pub[32], const quorvane_dm_bundle *b) {
    if (!out || !preamble || !own_priv || !own_pub || !b) return -1;
    if (quorvane_prekey_verify(b->dev_ed, b->spk, b->sig) != 0) return -1;
    uint8_t eph[32];
    qv_bytes::secret_buf<32> secret;
    uint8_t ad[64];
    if (quorvane_x3dh_initiator(own_priv, own_pub, b->dev_x, b->spk, b->has_otk ? b->otk : nullptr, eph, secret.b, ad) != 0)
        return -1;
    quorvane_ratchet *st = nullptr;
    const int rc = quorvane_ratchet_init_initiator(&st, secret.b, ad, b->spk);
    secret.wipe();
    if (rc != 0) return -1;
    std::memcpy(preamble, eph, 32);
    put_be32(preamble + 32, b->spk_id);
    preamble[36] = b->has_otk ? 1 : 0;
    put_be32(preamble + 37, b->has_otk ? b->otk_id : 0);
    *out = st;
    return 0;
}

int quorvane_dm_begin_responder(quorvane_ratchet **out, const uint8_t *preamble, size_t len, const uint8_t sender_dev_x[32],
                                quorvane_dm_prekeys *set) {
    if (!out || !preamble || !sender_dev_x || !set || len != QV_DM_PREAMBLE_LEN) return -1;
    if (get_be32(preamble + 32) != set->spk_id || set->otk_count > QV_DM_OTK_MAX) return -1;
    const uint8_t flag = preamble[36];
    if (flag > 1) return -1;
    size_t slot = QV_DM_OTK_MAX;
    if (flag) {
        const uint32_t id = get_be32(preamble + 37);
        for (size_t i = 0; i < set->otk_count; i++)
            if (set->otk[i].id == id) slot = i;
        if (slot == QV_DM_OTK_MAX) return -1;
    }
    qv_bytes::secret_buf<32> secret;
    uint8_t ad[64];
    if (quorvane_x3dh_responder(set->dev_x_priv, set->dev_x_pub, set->spk_priv, flag ? set->otk[slot].priv : nullptr,
                                sender_dev_x, preamble, secret.b, ad) != 0)
        return -1;
    quorvane_ratchet *st = nullptr;
    const int rc = quorvane_ratchet_init_responder(&st, secret.b, ad, set->spk_priv, set->spk_pub);
    secret.wipe();
    if (rc != 0) return -1;
    if (flag) {
        // one-time means one time: the key is gone before anyone can answer with it again
        const size_t last = set->otk_count - 1u;
        if (slot != last) set->otk[slot] = set->otk[last];
        quorvane_cleanse(&set->otk[last], sizeof set->otk[last]);
        set->otk_count = static_cast<uint8_t>(last);
    }
    *out = st;
    return 0;
}

int quorvane_dm_bag_load(quorvane_dm_bag *bag, const uint8_t *in, size_t len) {
    if (!bag || (!in && len)) return -1;
    quorvane_dm_bag tmp{};
    int rc = -1;
    if (len == 0) {
        tmp.next_id = 1;
        rc = 0;
    } else if (len >= 4 && std::memcmp(in, SET_MAGIC, 4) == 0) {
        if (quorvane_dm_prekeys_deserialize(&tmp.sets[0], in, len) == 0) {
            const uint32_t top = largest_id(&tmp.sets[0]);
            tmp.count = 1;
            tmp.next_id = top + 1;
            rc = top == UINT32_MAX ? -1 : 0;
        }
    } else if (len > 8 && std::memcmp(in, BAG_MAGIC, 4) == 0) {
        tmp.next_id = get_be32(in + 4);
        const uint8_t count = in[8];
        size_t off = QV_DM_BAG_HEAD;
        rc = (tmp.next_id != 0 && count <= QV_DM_BAG_MAX) ? 0 : -1;
        for (size_t i = 0; rc == 0 && i < count; i++) {
            if (len - off < 2) { rc = -1; break; }
            const size_t n = static_cast<size_t>(in[off]) << 8 | in[off + 1];
            off += 2;
            if (len - off < n || quorvane_dm_prekeys_deserialize(&tmp.sets[i], in + off, n) != 0) { rc = -1; break; }
            off += n;
            tmp.count = static_cast<uint8_t>(i + 1);
        }
        if (rc == 0 && off != len) rc = -1;
    }
    if (rc == 0) {
        quorvane_dm_bag_wipe(bag);
        *bag = tmp;
    }
    quorvane_dm_bag_wipe(&tmp);
    return rc;
}

int quorvane_dm_bag_serialize(const quorvane_dm_bag *bag, uint8_t *out, size_t cap, size_t *out_len) {
    if (!bag || !out || bag->count > QV_DM_BAG_MAX || cap < QV_DM_BAG_HEAD) return -1;
    std::memcpy(out, BAG_MAGIC, 4);
    put_be32(out + 4, bag->next_id);
    out[8] = bag->count;
    size_t off = QV_DM_BAG_HEAD;
    for (size_t i = 0; i < bag->count; i++) {
        if (bag->sets[i].otk_count > QV_DM_OTK_MAX) return -1;
        const size_t n = set_len(&bag->sets[i]);
        if (cap - off < 2 + n) return -1;
        out[off] = static_cast<uint8_t>(n >> 8);
        out[off + 1] = static_cast<uint8_t>(n);
        size_t w = 0;
        if (quorvane_dm_prekeys_serialize(&bag->sets[i], out + off + 2, n, &w) != 0) return -1;
        off += 2 + w;
    }
    if (out_len) *out_len = off;
    return 0;
}

void quorvane_dm_bag_push(quorvane_dm_bag *bag, const quorvane_dm_prekeys *set) {
    if (!bag || !set) return;
    for (size_t i = QV_DM_BAG_MAX - 1; i > 0; i--) bag->sets[i] = bag->sets[i - 1];
    bag->sets[0] = *set;
    if (bag->count < QV_DM_BAG_MAX) bag->count++;
    // a set that fell off the end left no copy of its secrets behind
    for (size_t i = bag->count; i < QV_DM_BAG_MAX; i++) quorvane_dm_prekeys_wipe(&bag->sets[i]);
}

int quorvane_dm_bag_begin_responder(quorvane_ratchet **out, const uint8_t *preamble, size_t len, const uint8_t sender_dev_x[32],
                                    quorvane_dm_bag *bag) {
    if (!bag || !preamble || len != QV_DM_PREAMBLE_LEN || bag->count > QV_DM_BAG_MAX) return -1;
    const uint32_t id = get_be32(preamble + 32);
    for (size_t i = 0; i < bag->count; i++)
        if (bag->sets[i].spk_id == id) return quorvane_dm_begin_responder(out, preamble, len, sender_dev_x, &bag->sets[i]);
    return -1;
}

int quorvane_dm_is_initiator(const uint8_t *a, const uint8_t *b) {
    return a && b && std::memcmp(a, b, QV_DEVICE_ID_LEN) < 0 ? 1 : 0;
}

int quorvane_dm_hold_bundle(int flag_a, int flag_b, uint64_t elapsed_ms, uint64_t limit_ms) {
    return flag_a == 0 && flag_b == 0 && elapsed_ms < limit_ms ? 1 : 0;
}

size_t quorvane_dm_unpaired(const uint8_t (*devices)[32], size_t count, const uint8_t (*paired)[32], size_t paired_count,
                            size_t *out_idx, size_t max) {
    if (!devices || !out_idx || count == 0 || max == 0) return 0;
    size_t n = 0;
    for (size_t i = 0; i < count && n < max; i++) {
        bool found = false;
        for (size_t j = 0; paired && j < paired_count && !found; j++) found = std::memcmp(devices[i], paired[j], 32) == 0;
        if (!found) out_idx[n++] = i;
    }
    return n;
}
