#include "client_deliver.h"

#include "client_session.h"
#include "n_log.h"
#include "quorvane_bytes.h"
#include "quorvane_md.h"
#include "quorvane_msg.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr size_t OPEN_KEYS = 1 + QV_MS_OLD_KEYS;         // current key, then the older ones
constexpr size_t MSG_OFF_PLAIN = 1 + 32;                 // pending flag, sending device key
constexpr size_t MSG_OFF_PREAMBLE = MSG_OFF_PLAIN + QV_DM_PREAMBLE_LEN;

using wiped = qv_bytes::secret_vec;  // records and plaintexts

// Decodes a blob-carrying body into a heap record that is wiped afterwards
// (it holds the blob key); false when the body does not decode.
template <class T, class F> bool decoded(int (*decode)(const uint8_t *, size_t, T *), const uint8_t *body, size_t n, F &&use) {
    auto *m = static_cast<T *>(std::calloc(1, sizeof(T)));
    const bool ok = m && decode(body, n, m) == 0;
    if (ok) use(*m);
    if (m) quorvane_cleanse(m, sizeof *m);
    std::free(m);
    return ok;
}

bool same(const uint8_t *a, const uint8_t *b, size_t n) { return std::memcmp(a, b, n) == 0; }
bool all_zero(const uint8_t *p, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (p[i]) return false;
    return true;
}

// One envelope on its way through the steps.
struct delivery {
    quorvane_cs *cs;
    quorvane_msgstore *ms;
    quorvane_env_header h;
    const uint8_t *env;
    size_t len;
    uint64_t position;
    int history;
    const uint8_t *conv;   // h.conversation_id
    uint8_t device[32];    // the sending device, zero when not known
    // Session changes the envelope makes, done only once what it carried is
    // kept: a session stepped past a message that was then not written would
    // leave the server's next copy of it unopenable.
    std::vector<std::function<void()>> keep;
};

std::shared_ptr<wiped> kept_copy(const uint8_t *p, size_t n) {
    auto w = std::make_shared<wiped>(n);
    if (n) std::memcpy(w->data(), p, n);
    return w;
}

void advance_cursor(const delivery &d) {
    if (!d.history && d.position) quorvane_msgstore_note_cursor(d.ms, d.conv, d.position);
}

bool from_self(const delivery &d) { return same(d.h.sender_id, d.cs->user_id, 16); }

/* ---- conversation-key envelopes ---- */

bool open_conv_key(const delivery &d, uint8_t *pt, size_t *pt_len) {
    uint8_t keys[OPEN_KEYS][32];
    size_t n = quorvane_msgstore_get_conv_keys(d.ms, d.conv, keys, OPEN_KEYS);
    if (n > OPEN_KEYS) n = OPEN_KEYS;
    bool opened = false;
    for (size_t i = 0; i < n && !opened; i++)
        opened = quorvane_env_open(keys[i], d.env, d.len, nullptr, pt, QV_PT_MAX, pt_len) == 0;
    quorvane_cleanse(keys, sizeof keys);
    return opened;
}

/* ---- device-session envelopes ---- */

void log_refusal(const delivery &d, const char *reason) {
    n_log(LOG_NOTICE, "dm: conv %02x%02x%02x%02x from device %02x%02x%02x%02x: %s", d.conv[0], d.conv[1], d.conv[2], d.conv[3],
          d.device[0], d.device[1], d.device[2], d.device[3], reason);
}

// The header names its sender in clear and nothing binds it to the session that
// opens the message: only a device recorded for that user in this conversation may
// speak for it, or any member could post, rename, edit or delete as another.
bool sender_recorded(const delivery &d) {
    uint8_t keys[QV_MS_MEMBER_DEVICES][32];
    size_t n = quorvane_msgstore_member_devices(d.ms, d.conv, d.h.sender_id, keys, nullptr, QV_MS_MEMBER_DEVICES);
    if (n > QV_MS_MEMBER_DEVICES) n = QV_MS_MEMBER_DEVICES;
    for (size_t i = 0; i < n; i++)
        if (same(keys[i], d.device, 32)) return true;
    return false;
}

// Stores the stepped session; the message it opened is delivered even when this
// fails, since the store's duplicate check absorbs the replay the old record allows.
void keep_current(const delivery &d, const uint8_t *rec, size_t len) {
    if (quorvane_msgstore_put_ratchet(d.ms, d.conv, d.device, rec, len) != 0)
        n_log(LOG_ERR, "dm: conv %02x%02x%02x%02x: the stepped session could not be stored", d.conv[0], d.conv[1], d.conv[2],
              d.conv[3]);
}

void drop_stale_asides(const delivery &d, wiped &tmp) {
    const uint64_t now = cs_wall_ms();
    for (unsigned slot = 0; slot < QV_MS_RPREV_SLOTS; slot++) {
        uint64_t t = 0;
        if (quorvane_msgstore_get_ratchet_prev(d.ms, d.conv, d.device, slot, &t, tmp.data(), tmp.size()) > 0 && now > t &&
            now - t > QV_PREV_SESSION_KEEP_MS)
            quorvane_msgstore_drop_ratchet_prev(d.ms, d.conv, d.device, slot);
    }
}

// Answers the X3DH preamble that came with the envelope; null when it opened, else the reason.
const char *answer_preamble(delivery &d, const uint8_t *pay, size_t pay_len, const wiped &cur, size_t cur_len, uint8_t *pt,
                            size_t *pt_len) {
    const uint8_t *pre = pay + MSG_OFF_PLAIN;
    uint8_t digest[64];
    if (quorvane_blake2b(pre, QV_DM_PREAMBLE_LEN, digest) != 0) return "X3DH from the preamble failed";
    if (quorvane_msgstore_rinit_seen(d.ms, digest) != 0) {
        quorvane_cleanse(digest, sizeof digest);
        return cur_len ? "the session held for that device did not open it, and its X3DH preamble was already answered"
                       : "an X3DH preamble already answered (a replay?)";
    }
    wiped bag_bytes(QV_DM_BAG_SER_MAX), rec(QV_SR_MAX);
    const size_t bag_len = quorvane_msgstore_get_prekeys(d.ms, bag_bytes.data(), bag_bytes.size());
    if (bag_len == 0) {
        quorvane_cleanse(digest, sizeof digest);
        return "no prekeys to answer X3DH";
    }
    auto *bag = static_cast<quorvane_dm_bag *>(std::calloc(1, sizeof(quorvane_dm_bag)));
    quorvane_ratchet *r = nullptr;
    size_t rec_len = 0, n = 0;
    bool ok = bag && quorvane_dm_bag_load(bag, bag_bytes.data(), bag_len) == 0 &&
              quorvane_dm_bag_begin_responder(&r, pre, QV_DM_PREAMBLE_LEN, d.device, bag) == 0 &&
              quorvane_ratchet_decrypt(r, pay + MSG_OFF_PREAMBLE, pay_len - MSG_OFF_PREAMBLE, pt, QV_PT_MAX, &n) == 0 &&
              cs_record_make(QV_SR_RESPONDER, nullptr, r, rec.data(), rec.size(), &rec_len) == 0;
    quorvane_ratchet_free(&r);
    if (ok) {
        *pt_len = n;
        size_t bl = 0;
        if (quorvane_dm_bag_serialize(bag, bag_bytes.data(), bag_bytes.size(), &bl) != 0) bl = 0;
        std::array<uint8_t, 64> id;
        std::memcpy(id.data(), digest, id.size());
        d.keep.push_back([&d, id, bag_kept = kept_copy(bag_bytes.data(), bl), old = kept_copy(cur.data(), cur_len),
                          r_kept = kept_copy(rec.data(), rec_len)] {
            if (bag_kept->size() == 0 || quorvane_msgstore_put_prekeys(d.ms, bag_kept->data(), bag_kept->size()) != 0)
                n_log(LOG_ERR, "dm: the prekey bag could not be stored after answering X3DH");
            if (quorvane_msgstore_rinit_note(d.ms, id.data()) != 0) n_log(LOG_ERR, "dm: the answered X3DH preamble could not be recorded");
            const bool aside = old->size() && cs_rt_set_aside(d.ms, d.conv, d.device, old->data(), old->size(), cs_wall_ms()) == 0;
            keep_current(d, r_kept->data(), r_kept->size());
            n_log(LOG_INFO, "dm: responder session (conv %02x%02x%02x%02x, device %02x%02x%02x%02x)%s", d.conv[0], d.conv[1],
                  d.conv[2], d.conv[3], d.device[0], d.device[1], d.device[2], d.device[3],
                  aside ? ", beside the one held (D-132)" : "");
        });
    } else {
        quorvane_cleanse(pt, QV_PT_MAX);
    }
    if (bag) {
        quorvane_dm_bag_wipe(bag);
        std::free(bag);
    }
    quorvane_cleanse(digest, sizeof digest);
    return ok ? nullptr : "X3DH from the preamble failed";
}

enum class dev_result { opened, failed, stop };

dev_result open_device(delivery &d, uint8_t *pt, size_t *pt_len, bool *sender_refused) {
    cs_deliver_state &st = d.cs->deliver;
    if (d.history && st.backfill_sink) return dev_result::stop;  // the sink wants what the conversation key opens
    const quorvane_device_keys *keys = d.cs->cfg.keys;
    if (keys && d.len > QV_DEV_ENV_MIN && same(d.env + QV_ENV_HEADER_LEN + 1, keys->device_x25519_pub, 32)) {
        advance_cursor(d);  // our own echo
        return dev_result::stop;
    }
    if (quorvane_msgstore_get_blocked(d.ms, d.conv) < 0) {
        n_log(LOG_INFO, "dm: conv %02x%02x%02x%02x not known yet: envelope kept for the next sync", d.conv[0], d.conv[1], d.conv[2],
              d.conv[3]);
        st.sync_wanted = 1;
        return dev_result::stop;
    }
    if (d.len <= QV_DEV_ENV_MIN) return dev_result::failed;
    const uint8_t *pay = d.env + QV_ENV_HEADER_LEN;
    const size_t pay_len = d.len - QV_ENV_HEADER_LEN;
    const uint8_t flag = pay[0];
    std::memcpy(d.device, pay + 1, 32);
    if (!sender_recorded(d)) {
        log_refusal(d, "the sending device is not one of the sender's recorded devices");
        *sender_refused = true;
        return dev_result::failed;
    }

    wiped cur(QV_SR_MAX), tmp(QV_SR_MAX), out(QV_SR_MAX);
    const size_t cur_len = quorvane_msgstore_get_ratchet(d.ms, d.conv, d.device, cur.data(), cur.size());
    size_t out_len = 0;
    uint8_t cur_flag = cur_len ? cur.data()[0] : 0;
    bool opened = false;
    if (cur_len && cs_rt_try(cur.data(), cur_len, flag, pay, pay_len, pt, pt_len, out.data(), &out_len) == 1) {
        d.keep.push_back([&d, o = kept_copy(out.data(), out_len)] { keep_current(d, o->data(), o->size()); });
        cur_flag = out.data()[0];
        opened = true;
    }
    if (!opened && cur_len && d.cs->cfg.fallback_off) return dev_result::failed;
    for (unsigned slot = 0; !opened && slot < QV_MS_RPREV_SLOTS; slot++) {
        uint64_t stamp = 0;
        const size_t pl = quorvane_msgstore_get_ratchet_prev(d.ms, d.conv, d.device, slot, &stamp, tmp.data(), tmp.size());
        if (pl == 0 || cs_rt_try(tmp.data(), pl, flag, pay, pay_len, pt, pt_len, out.data(), &out_len) != 1) continue;
        opened = true;
        auto o = kept_copy(out.data(), out_len);
        if (!cur_len) {
            d.keep.push_back([&d, o, slot] {
                keep_current(d, o->data(), o->size());
                quorvane_msgstore_drop_ratchet_prev(d.ms, d.conv, d.device, slot);
            });
            cur_flag = out.data()[0];
        } else if (d.history) {
            // an old envelope opened by an older session leaves the current one in place
            d.keep.push_back([&d, o, slot, stamp] {
                if (quorvane_msgstore_put_ratchet_prev(d.ms, d.conv, d.device, slot, stamp, o->data(), o->size()) != 0)
                    n_log(LOG_ERR, "dm: conv %02x%02x%02x%02x: a previous session could not be stored", d.conv[0], d.conv[1],
                          d.conv[2], d.conv[3]);
            });
        } else {
            d.keep.push_back([&d, o, slot, old = kept_copy(cur.data(), cur_len)] {
                keep_current(d, o->data(), o->size());
                if (quorvane_msgstore_put_ratchet_prev(d.ms, d.conv, d.device, slot, cs_wall_ms(), old->data(), old->size()) != 0)
                    n_log(LOG_ERR, "dm: conv %02x%02x%02x%02x: the replaced session could not be set aside", d.conv[0],
                          d.conv[1], d.conv[2], d.conv[3]);
            });
            cur_flag = out.data()[0];
            n_log(LOG_INFO, "dm: conv %02x%02x%02x%02x, device %02x%02x%02x%02x: a previous session takes over (D-132)", d.conv[0],
                  d.conv[1], d.conv[2], d.conv[3], d.device[0], d.device[1], d.device[2], d.device[3]);
        }
    }
    if (!opened) {
        const char *reason = nullptr;
        if (flag == 1 && pay_len >= MSG_OFF_PREAMBLE) {
            reason = answer_preamble(d, pay, pay_len, cur, cur_len, pt, pt_len);
            cur_flag = QV_SR_RESPONDER;
        } else {
            reason = d.history && cur_len ? "an old envelope (backfill) no held session opens"
                     : cur_len            ? "no session for that device opened it"
                                          : "no session for that device, and no X3DH preamble";
        }
        if (reason) {
            log_refusal(d, reason);
            return dev_result::failed;
        }
    }
    if (!(cur_flag & QV_SR_PENDING))
        d.keep.push_back([&d] {
            wiped t(QV_SR_MAX);
            drop_stale_asides(d, t);
        });
    return dev_result::opened;
}

// A device-session envelope that did not open. From one of our own devices, while our
// session with it is still pending, the failures that came long enough after we
// started it are counted, so the pair can be opened again once the device has moved
// on. A conversation without any device session asks to be linked again.
void note_device_failure(delivery &d, bool sender_refused) {
    uint32_t spk = 0;
    if (!sender_refused && !all_zero(d.device, 32) && from_self(d) && cs_self_pending(d.cs, d.conv, d.device, &spk) == 1) {
        quorvane_self_event *ev = cs_self_ev_get(d.cs, d.conv, d.device, 0);
        if (!ev) {
            (void)cs_self_ev_get(d.cs, d.conv, d.device, 1);
        } else {
            const int32_t iv = cs_hints(d.cs)->self_event_interval_ms;
            const uint64_t interval = iv > 0 ? static_cast<uint64_t>(iv) : QV_SELF_EVENT_INTERVAL_MS;
            bool known = false;
            for (size_t i = 0; i < ev->count && i < QV_SELF_EVENT_COUNTERS; i++) known = known || ev->counters[i] == d.h.counter;
            if (d.h.time >= ev->created_ms + interval && !known && ev->count < QV_SELF_EVENT_COUNTERS)
                ev->counters[ev->count++] = d.h.counter;
        }
    }
    uint8_t any[1][32];
    if (quorvane_msgstore_ratchet_devices(d.ms, d.conv, any, 1) == 0) cs_relink_note(d.cs, d.conv);
}

/* ---- bodies ---- */

std::string_view as_text(const char *p, size_t n) { return {p, n}; }

bool names_account(const quorvane_cs *cs, std::string_view name) {
    const char *user = cs->cfg.user ? cs->cfg.user : "";
    if (std::strlen(user) != name.size()) return false;
    for (size_t i = 0; i < name.size(); i++) {
        auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : char(c); };
        if (fold(static_cast<unsigned char>(user[i])) != fold(static_cast<unsigned char>(name[i]))) return false;
    }
    return true;
}

void copy_text(char *dst, size_t size, const char *src, size_t n) {
    if (n >= size) n = size - 1;
    if (n) std::memcpy(dst, src, n);
    dst[n] = 0;
}

bool sender_is_peer(const delivery &d) {
    uint8_t peer[16], key[32];
    return quorvane_msgstore_get_peer(d.ms, d.conv, peer, key) == 1 && same(peer, d.h.sender_id, 16);
}

void profile_answer(cs_deliver_state &st, const uint8_t *conv) {
    for (size_t i = 0; i < st.profile_answer_count; i++)
        if (same(st.profile_answers[i], conv, 16)) return;
    if (st.profile_answer_count < QV_PROFILE_ANSWERS) std::memcpy(st.profile_answers[st.profile_answer_count++], conv, 16);
}

void apply_profile(delivery &d, const uint8_t *body, size_t len) {
    const char *name = nullptr, *about = nullptr;
    size_t nl = 0, al = 0;
    if (quorvane_msg_profile_decode(body, len, &name, &nl, &about, &al) != 0) return;
    char n[QV_MSG_PROFILE_NAME_MAX + 1], a[QV_MSG_PROFILE_ABOUT_MAX + 1];
    copy_text(n, sizeof n, name, nl);
    copy_text(a, sizeof a, about, al);
    if (from_self(d)) {
        // the account's user name is what a device shows before it was given a name
        if (nl && !names_account(d.cs, as_text(name, nl)) && quorvane_msgstore_adopt_self_profile(d.ms, n, a, d.h.time) == 1)
            d.cs->deliver.self_profile_epoch++;
        return;
    }
    // in a group, the peer's name is the conversation's title only when it is its peer
    if (sender_is_peer(d) && quorvane_msgstore_set_peer_profile(d.ms, d.conv, n, a) != 0)
        n_log(LOG_ERR, "session: a peer profile could not be stored");
    if (quorvane_msgstore_set_member_name(d.ms, d.conv, d.h.sender_id, n) != 0)
        n_log(LOG_ERR, "session: a member name could not be stored");
    profile_answer(d.cs->deliver, d.conv);
}

// Bodies that change the store rather than add to it; true when the body was one of them.
// A history page comes newest first: its deletes, edits and reactions carry
// their position, so that an older one seen after a newer one changes nothing.
bool apply_action(delivery &d, const uint8_t *body, size_t len) {
    quorvane_msgstore *ms = d.ms;
    const uint8_t *conv = d.conv, *sender = d.h.sender_id;
    const uint64_t at = d.history ? d.position : QV_MS_MARK_LIVE;
    switch (body[0]) {
    case QV_MSG_PROFILE: apply_profile(d, body, len); return true;
    case QV_MSG_AVATAR:
        // in a group, only the conversation's peer gives it its picture
        if (!from_self(d) && sender_is_peer(d))
            (void)decoded<quorvane_file_meta>(quorvane_msg_avatar_decode, body, len, [&](const quorvane_file_meta &av) {
                if (quorvane_msgstore_set_peer_avatar(ms, conv, &av) != 0) n_log(LOG_ERR, "session: a peer avatar could not be stored");
            });
        return true;
    case QV_MSG_GROUP_AVATAR:
        (void)decoded<quorvane_file_meta>(quorvane_msg_group_avatar_decode, body, len, [&](const quorvane_file_meta &av) {
            if (quorvane_msgstore_set_group_avatar(ms, conv, &av) != 0) n_log(LOG_ERR, "session: a group avatar could not be stored");
        });
        return true;
    case QV_MSG_GROUP: {
        const char *name = nullptr;
        size_t nl = 0;
        char n[QV_MSG_GROUP_NAME_MAX + 1];
        if (quorvane_msg_group_decode(body, len, &name, &nl) != 0) return true;
        copy_text(n, sizeof n, name, nl);
        if (quorvane_msgstore_set_group_name(ms, conv, n) != 0) n_log(LOG_ERR, "session: a group name could not be stored");
        return true;
    }
    case QV_MSG_DELETE: {
        uint8_t author[16];
        uint64_t counter = 0;
        if (quorvane_msg_delete_decode(body, len, author, &counter) != 0) return true;
        if (quorvane_msgstore_can_delete(ms, conv, sender, author) || (from_self(d) && d.cs->role == 1))
            (void)quorvane_msgstore_delete_msg_at(ms, conv, author, nullptr, counter, at);
        return true;
    }
    case QV_MSG_REACTION: {
        uint8_t author[16];
        uint64_t counter = 0;
        int add = 0;
        char name[QV_MSG_NAME_MAX + 1];
        if (quorvane_msg_reaction_decode(body, len, author, &counter, &add, name, sizeof name) == 0)
            (void)quorvane_msgstore_set_reaction_at(ms, conv, author, nullptr, counter, sender, name, add, at);
        return true;
    }
    case QV_MSG_EDIT: {
        uint8_t author[16];
        uint64_t counter = 0;
        const char *text = nullptr;
        size_t tl = 0;
        if (quorvane_msg_edit_decode(body, len, author, &counter, &text, &tl) == 0 && same(author, sender, 16) &&
            tl <= QV_MS_TEXT_MAX)
            (void)quorvane_msgstore_edit_msg_at(ms, conv, author, nullptr, counter, text, tl, at);
        return true;
    }
    default: return false;
    }
}

// Fills the record's type and text from a body that is kept as a message; false drops it.
bool record_body(const uint8_t *body, size_t len, quorvane_ms_msgrec *rec) {
    rec->type = body[0];
    const char *text = nullptr;
    size_t tl = 0;
    bool whole = false;
    switch (body[0]) {
    case QV_MSG_TEXT:
        if (quorvane_msg_text_decode(body, len, &text, &tl) != 0) return false;
        break;
    case QV_MSG_SYSTEM:
        if (quorvane_msg_system_decode(body, len, &text, &tl) != 0) return false;
        break;
    case QV_MSG_REPLY: whole = quorvane_msg_reply_decode(body, len, nullptr, nullptr, nullptr, nullptr) == 0; break;
    case QV_MSG_FILE: whole = decoded<quorvane_file_meta>(quorvane_msg_file_decode, body, len, [](auto &) {}); break;
    case QV_MSG_VOICE: whole = decoded<quorvane_voice_meta>(quorvane_msg_voice_decode, body, len, [](auto &) {}); break;
    case QV_MSG_LINK: whole = decoded<quorvane_link_meta>(quorvane_msg_link_decode, body, len, [](auto &) {}); break;
    case QV_MSG_STICKER: {
        quorvane_sticker s{};
        if (quorvane_msg_sticker_decode(body, len, &s) != 0) return false;
        tl = std::strlen(s.name);
        std::memcpy(rec->text, s.name, tl);
        rec->text_len = tl;
        return true;
    }
    default: return true;  // kept with its type, without a text
    }
    if (body[0] != QV_MSG_TEXT && body[0] != QV_MSG_SYSTEM) {
        if (!whole) return false;
        // the record holds 4096 bytes: a longer body would not come back whole
        if (len > QV_MS_TEXT_MAX) return false;
        text = reinterpret_cast<const char *>(body);
        tl = len;
    } else if (tl > QV_MS_TEXT_MAX) {
        tl = QV_MS_TEXT_MAX;
        while (tl > 0 && (static_cast<unsigned char>(text[tl]) & 0xC0) == 0x80) tl--;  // not inside a UTF-8 sequence
    }
    if (tl) std::memcpy(rec->text, text, tl);
    rec->text[tl] = 0;
    rec->text_len = tl;
    return true;
}

// The next slot of the queue, the oldest note dropped when it is full.
quorvane_notification &push_note(cs_deliver_state &st, const uint8_t *conv, const uint8_t *sender, uint8_t type) {
    if (st.note_count == QV_NOTE_QUEUE) {
        quorvane_cleanse(&st.notes[st.note_head], sizeof(quorvane_notification));
        st.note_head = (st.note_head + 1) % QV_NOTE_QUEUE;
        st.note_count--;
    }
    quorvane_notification &n = st.notes[(st.note_head + st.note_count) % QV_NOTE_QUEUE];
    std::memcpy(n.conv_id, conv, 16);
    std::memcpy(n.sender, sender, 16);
    n.type = type;
    st.note_count++;
    return n;
}

void queue_note(cs_deliver_state &st, const quorvane_ms_msgrec &rec) {
    quorvane_notification &n = push_note(st, rec.conv_id, rec.author, rec.type);
    quorvane_cs_message_preview(&rec, n.preview, sizeof n.preview);
}

// One note per conversation while it waits: a flood of envelopes that never
// open must not push every other note out of the queue.
void queue_unopened_note(cs_deliver_state &st, const uint8_t *conv, const uint8_t *sender) {
    for (size_t i = 0; i < st.note_count; i++) {
        const quorvane_notification &n = st.notes[(st.note_head + i) % QV_NOTE_QUEUE];
        if (n.type == QV_NOTE_UNOPENED && same(n.conv_id, conv, 16)) return;
    }
    quorvane_notification &n = push_note(st, conv, sender, QV_NOTE_UNOPENED);
    std::snprintf(n.preview, sizeof n.preview, "%s", QV_NOTE_UNOPENED_TEXT);
}

// A live conversation-key envelope that did not open holds the cursor, so
// the next sync brings it again once newer keys may have come; one that
// failed in enough syncs, or that is too long to ever open, is set aside:
// kept, counted and noted, and the cursor moves past it.
void hold_or_set_aside(const delivery &d) {
    const int r = d.len > QV_MS_UNOPENED_ENV_MAX ? 1 : quorvane_msgstore_hold_at(d.ms, d.conv, d.position);
    if (r != 1) return;
    const int kept = quorvane_msgstore_unopened_keep(d.ms, d.conv, d.position, d.env, d.len);
    if (kept < 0)
        n_log(LOG_ERR, "session: an envelope set aside could not be kept (conv %02x%02x%02x%02x)", d.conv[0], d.conv[1],
              d.conv[2], d.conv[3]);
    else if (kept == 1)
        n_log(LOG_NOTICE, "session: an older envelope set aside in conv %02x%02x%02x%02x went to make room (%lu so far)",
              d.conv[0], d.conv[1], d.conv[2], d.conv[3],
              static_cast<unsigned long>(quorvane_msgstore_unopened_dropped(d.ms, d.conv)));
    queue_unopened_note(d.cs->deliver, d.conv, d.h.sender_id);
    advance_cursor(d);
}

// False when the store could not write the message.
bool store_record(delivery &d, const quorvane_ms_msgrec &rec) {
    cs_deliver_state &st = d.cs->deliver;
    if (d.history) {
        if (st.backfill_sink) {
            st.backfill_sink(st.backfill_ctx, &rec);
            st.backfill_count++;
            return true;
        }
        const int r = quorvane_msgstore_add_history(d.ms, &rec);
        if (r == 1) st.backfill_count++;
        return r >= 0;
    }
    const int r = quorvane_msgstore_add_msg(d.ms, &rec);
    if (r == 1 && rec.type != QV_MSG_SYSTEM && !from_self(d)) queue_note(st, rec);
    return r >= 0;
}

// False when what the envelope carried could not be kept.
bool apply(delivery &d, const uint8_t *pt, size_t n, bool conv_key) {
    auto *rec = static_cast<quorvane_ms_msgrec *>(std::calloc(1, sizeof(quorvane_ms_msgrec)));
    if (!rec) return false;
    std::memcpy(rec->conv_id, d.conv, 16);
    std::memcpy(rec->author, d.h.sender_id, 16);
    std::memcpy(rec->author_device, d.device, 32);
    rec->msg_id = d.h.counter;
    rec->time = d.h.time;
    rec->position = d.position;
    bool keep = true;
    if (n > 0 && conv_key && pt[0] == QV_MSG_SENDERDEV) {
        keep = n >= QV_MSG_WRAP_HDR + 1 && pt[QV_MSG_WRAP_HDR] != QV_MSG_SENDERDEV;
        if (keep) {
            std::memcpy(rec->author_device, pt + 1, 32);
            pt += QV_MSG_WRAP_HDR;
            n -= QV_MSG_WRAP_HDR;
        }
    }
    if (keep && n > 0 && pt[0] == QV_MSG_TARGETDEV) {
        const uint8_t *inner = nullptr;
        size_t il = 0;
        keep = quorvane_msg_targetdev_decode(pt, n, nullptr, &inner, &il) == 0;
        pt = inner;
        n = il;
    }
    bool kept = true;
    if (keep && (n == 0 || !apply_action(d, pt, n)) && (n == 0 || record_body(pt, n, rec))) kept = store_record(d, *rec);
    quorvane_cleanse(rec, sizeof *rec);
    std::free(rec);
    return kept;
}

/* ---- previews ---- */

// Copies at most size - 1 bytes, never ending inside a UTF-8 sequence.
void put_cut(char *buf, size_t size, const char *text, size_t n) {
    if (n > size - 1) {
        n = size - 1;
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) n--;
    }
    if (n) std::memcpy(buf, text, n);
    buf[n] = 0;
}

void put_plain(char *buf, size_t size, const char *text, size_t n) {
    size_t pl = 0;
    char *plain = quorvane_md_line_plain(text, n, &pl);
    if (plain) {
        put_cut(buf, size, plain, pl);
        quorvane_cleanse(plain, pl);
        std::free(plain);
    } else {
        put_cut(buf, size, text, n);
    }
}

void put_labelled(char *buf, size_t size, const char *label, const char *text) {
    std::string s(label);
    if (text && *text) s.append(": ").append(text);
    put_cut(buf, size, s.data(), s.size());
}

void voice_preview(char *buf, size_t size, uint32_t ms) {
    const uint64_t rounded = uint64_t(ms) + 500;
    const unsigned secs = rounded < 1000 ? 1 : static_cast<unsigned>(rounded / 1000);
    const unsigned m = secs / 60, s = secs % 60;
    char t[96];
    if (m == 0)
        std::snprintf(t, sizeof t, "Voice message, %u second%s", s, s == 1 ? "" : "s");
    else if (s == 0)
        std::snprintf(t, sizeof t, "Voice message, %u minute%s", m, m == 1 ? "" : "s");
    else
        std::snprintf(t, sizeof t, "Voice message, %u minute%s %u second%s", m, m == 1 ? "" : "s", s, s == 1 ? "" : "s");
    put_cut(buf, size, t, std::strlen(t));
}

// The delivery of one envelope with its header read; false when the header is bad.
bool begin(delivery &d, quorvane_cs *cs, const uint8_t *env, size_t len, uint64_t position, int history) {
    d.cs = cs;
    d.ms = cs->cfg.store;
    d.env = env;
    d.len = len;
    d.position = position;
    d.history = history ? 1 : 0;
    if (quorvane_env_header_decode(env, len, &d.h) != 0) return false;
    d.conv = d.h.conversation_id;
    return true;
}

}  // namespace

void deliver_envelope(quorvane_cs *cs, const uint8_t *env, size_t len, uint64_t position, int history) {
    if (!cs || !cs->cfg.store || !env) return;
    delivery d{};
    if (!begin(d, cs, env, len, position, history)) return;
    if (quorvane_msgstore_get_blocked(d.ms, d.conv) == 1) return advance_cursor(d);

    wiped pt(QV_PT_MAX);
    size_t pt_len = 0;
    const bool conv_key = !all_zero(d.h.salt, sizeof d.h.salt);
    bool opened = false, sender_refused = false;
    if (conv_key) {
        opened = open_conv_key(d, pt.data(), &pt_len);
    } else {
        const dev_result r = open_device(d, pt.data(), &pt_len, &sender_refused);
        if (r == dev_result::stop) return;
        opened = r == dev_result::opened;
    }
    if (opened) {
        if (!apply(d, pt.data(), pt_len, conv_key)) {
            // neither the session nor the cursor moves: the server's next copy opens as this one did
            n_log(LOG_ERR, "session: a message of conv %02x%02x%02x%02x could not be stored", d.conv[0], d.conv[1], d.conv[2],
                  d.conv[3]);
            if (!d.history) quorvane_msgstore_hold_cursor(d.ms, d.conv, d.position);
            return;
        }
        for (auto &k : d.keep) k();
        advance_cursor(d);
        return;
    }
    if (!d.history) {
        if (conv_key)
            hold_or_set_aside(d);
        else
            advance_cursor(d);
    }
    cs->deliver.failed++;
    n_log(LOG_NOTICE, "session: an envelope did not open (%s, conv %02x%02x%02x%02x, history %d, %lu so far)",
          conv_key ? "conv_key" : "ratchet DM", d.conv[0], d.conv[1], d.conv[2], d.conv[3], d.history,
          static_cast<unsigned long>(cs->deliver.failed));
    if (!conv_key) note_device_failure(d, sender_refused);
}

void cs_retry_unopened(quorvane_cs *cs, const uint8_t conv_id[16]) {
    if (!cs || !cs->cfg.store || !conv_id) return;
    quorvane_msgstore *ms = cs->cfg.store;
    wiped pt(QV_PT_MAX);
    for (size_t i = 0; i < quorvane_msgstore_unopened_kept(ms, conv_id);) {
        uint64_t position = 0;
        const uint8_t *kept = nullptr;
        size_t len = 0;
        if (quorvane_msgstore_unopened_at(ms, conv_id, i, &position, &kept, &len) != 0) break;
        const std::vector<uint8_t> env(kept, kept + len);  // the store's copy goes with the drop
        delivery d{};
        size_t pt_len = 0;
        const bool ours = begin(d, cs, env.data(), env.size(), position, 0) && same(d.conv, conv_id, 16);
        if (ours && (!open_conv_key(d, pt.data(), &pt_len) || !apply(d, pt.data(), pt_len, true))) {
            i++;  // still unopened, or not stored: it stays
            continue;
        }
        if (quorvane_msgstore_unopened_drop(ms, conv_id, position) != 1) break;
        if (ours)
            n_log(LOG_INFO, "session: an envelope set aside in conv %02x%02x%02x%02x opened with newer keys", conv_id[0],
                  conv_id[1], conv_id[2], conv_id[3]);
    }
}

int quorvane_cs_poll_notification(quorvane_cs *cs, quorvane_notification *out) {
    if (!cs || cs->deliver.note_count == 0) return 0;
    cs_deliver_state &st = cs->deliver;
    quorvane_notification &n = st.notes[st.note_head % QV_NOTE_QUEUE];
    if (out) *out = n;
    quorvane_cleanse(&n, sizeof n);
    st.note_head = (st.note_head + 1) % QV_NOTE_QUEUE;
    st.note_count--;
    return 1;
}

int quorvane_cs_take_profile_answer(quorvane_cs *cs, uint8_t out[16]) {
    if (!cs || cs->deliver.profile_answer_count == 0) return 0;
    cs_deliver_state &st = cs->deliver;
    if (out) std::memcpy(out, st.profile_answers[0], 16);
    std::memmove(st.profile_answers[0], st.profile_answers[1], (st.profile_answer_count - 1) * 16);
    st.profile_answer_count--;
    return 1;
}

uint32_t quorvane_cs_self_profile_epoch(const quorvane_cs *cs) { return cs ? cs->deliver.self_profile_epoch : 0; }

char *quorvane_cs_message_preview(const quorvane_ms_msgrec *rec, char *buf, size_t size) {
    if (!buf || size == 0) return buf;
    buf[0] = 0;
    if (!rec) return buf;
    const size_t n = rec->text_len < QV_MS_TEXT_MAX ? size_t(rec->text_len) : QV_MS_TEXT_MAX;
    const auto *body = reinterpret_cast<const uint8_t *>(rec->text);
    switch (rec->type) {
    case QV_MSG_TEXT: put_plain(buf, size, rec->text, n); break;
    case QV_MSG_FILE:
        if (!decoded<quorvane_file_meta>(quorvane_msg_file_decode, body, n, [&](const quorvane_file_meta &m) {
                const bool photo = std::strncmp(m.mime, "image/", 6) == 0, video = std::strncmp(m.mime, "video/", 6) == 0;
                put_labelled(buf, size, photo ? "Photo" : video ? "Video" : "File", photo || video ? nullptr : m.name);
            }))
            put_labelled(buf, size, "File", nullptr);
        break;
    case QV_MSG_REPLY: {
        const char *text = nullptr;
        size_t tl = 0;
        if (quorvane_msg_reply_decode(body, n, nullptr, nullptr, &text, &tl) == 0 && tl > 0) put_plain(buf, size, text, tl);
        if (!buf[0]) put_labelled(buf, size, "Reply", nullptr);
        break;
    }
    case QV_MSG_VOICE:
        if (!decoded<quorvane_voice_meta>(quorvane_msg_voice_decode, body, n,
                                          [&](const quorvane_voice_meta &v) { voice_preview(buf, size, v.duration_ms); }))
            put_labelled(buf, size, "Voice message", nullptr);
        break;
    case QV_MSG_LINK:
        if (!decoded<quorvane_link_meta>(quorvane_msg_link_decode, body, n, [&](const quorvane_link_meta &l) {
                put_labelled(buf, size, "Link", l.title[0] ? l.title : l.url);
            }))
            put_labelled(buf, size, "Link", nullptr);
        break;
    case QV_MSG_STICKER: {
        char name[QV_MSG_NAME_MAX + 1];
        copy_text(name, sizeof name, rec->text, n);
        for (char *p = name; *p; p++)
            if (*p == '_') *p = ' ';
        put_labelled(buf, size, "Sticker", name);
        break;
    }
    default: put_labelled(buf, size, "Message", nullptr);
    }
    return buf;
}

#ifdef QV_ENGINE_TEST_HOOKS
quorvane_cs *quorvane_cs_test_receiver(quorvane_msgstore *ms, quorvane_device_keys *keys, const char *user, const uint8_t user_id[16],
                                       const char *pin_path, quorvane_cs_hints *hints, int fallback_off) {
    quorvane_cs_config c{};
    c.host = "127.0.0.1";
    c.port = "1";
    c.user = user;
    c.password = "unused";
    c.keys = keys;
    c.pin_path = pin_path;
    c.store = ms;
    c.hints = hints;
    c.fallback_off = fallback_off;
    quorvane_cs *cs = quorvane_cs_new(&c);
    if (cs) quorvane_cs_test_signed_in(cs, user_id);
    return cs;
}
#endif
