// One plaintext decoder of the message store per target, chosen at build time
// by FUZZ_MSGSTORE (profile, session, idents, rinit, rprev, convs, msgs, unopened). These
// run on whatever an authenticated file holds, so besides staying inside the
// input each must give results inside the limits every caller relies on. The
// conversation-list and message-file targets are built once per file version
// (FUZZ_MSGSTORE_VERSION), which is put in front of the input, so that every
// version's layout gets the fuzzer's whole attention.
#include "client_msgstore.h"

#include <cstring>
#include <memory>
#include <vector>

namespace {

enum class kind { k_profile, k_session, k_idents, k_rinit, k_rprev, k_convs, k_msgs, k_unopened };
#define QV_CAT2(a, b) a##b
#define QV_CAT(a, b) QV_CAT2(a, b)
constexpr kind K = kind::QV_CAT(k_, FUZZ_MSGSTORE);

void check(bool ok) {
    if (!ok) __builtin_trap();
}

[[maybe_unused]] bool terminated(const char *s, size_t size) { return memchr(s, 0, size) != nullptr; }

#ifndef FUZZ_MSGSTORE_VERSION
#define FUZZ_MSGSTORE_VERSION 0
#endif

// The input behind the target's version byte.
[[maybe_unused]] std::vector<uint8_t> versioned(const uint8_t *data, size_t size) {
    std::vector<uint8_t> pt(size + 1);
    pt[0] = uint8_t(FUZZ_MSGSTORE_VERSION);
    if (size) memcpy(pt.data() + 1, data, size);
    return pt;
}

[[maybe_unused]] void check_conv(const quorvane_ms_conv &c) {
    check(c.has_key <= 1 && c.kind <= 3 && c.mute_mode <= 2 && c.notif_mode <= 2);
    check(c.old_key_count <= QV_MS_OLD_KEYS && c.member_count <= QV_MS_MEMBER_MAX);
    check(c.peer_avatar_len <= QV_MS_AVATAR_MAX && c.group_avatar_len <= QV_MS_AVATAR_MAX);
    check(terminated(c.label, sizeof c.label) && terminated(c.group_name, sizeof c.group_name));
    check(terminated(c.peer_name, sizeof c.peer_name) && terminated(c.peer_about, sizeof c.peer_about));
    check(c.msg_count == 0 && c.reaction_count == 0 && (c.member_count == 0) == (c.members == nullptr));
    for (size_t i = 0; i < c.member_count; i++) {
        const quorvane_ms_member &m = c.members[i];
        check(m.device_count <= QV_MS_MEMBER_DEVICES && m.muted <= 1 && terminated(m.name, sizeof m.name));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if constexpr (K == kind::k_profile) {
        quorvane_ms_profile p;
        int used = quorvane_ms_profile_decode(data, size, &p);
        check(used == 0 || used == 1);
        check(terminated(p.name, sizeof p.name) && terminated(p.about, sizeof p.about));
        check(p.avatar_len <= QV_MS_AVATAR_MAX);
        check(used == (size > 2 && data[0] == QV_MS_PROFILE_VERSION));
        if (used && p.avatar_len) check(memmem(data, size, p.avatar, p.avatar_len) != nullptr);
    } else if constexpr (K == kind::k_session) {
        auto s = std::make_unique<quorvane_ms_session>();
        int rc = quorvane_ms_session_decode(data, size, s.get());
        check(rc == 0 || rc == -1);
        check(s->text_len <= QV_MS_SESSION_TEXT_MAX && s->text[s->text_len] == '\0');
        if (rc == 0) check(s->text_len <= size - QV_MS_SESSION_HDR &&
                           memcmp(s->text, data + QV_MS_SESSION_HDR, s->text_len) == 0);
        else check(s->text_len == 0 && s->flag == 0);
    } else if constexpr (K == kind::k_idents) {
        auto out = std::make_unique<quorvane_ms_ident[]>(QV_MS_IDENT_MAX);
        long n = quorvane_ms_idents_decode(data, size, out.get(), QV_MS_IDENT_MAX);
        check(n == -1 || (n >= 1 && size_t(n) <= QV_MS_IDENT_MAX));
        if (n > 0) {
            check(QV_MS_IDENTS_HDR + QV_MS_IDENT_LEN * size_t(n) <= size);
            check(memcmp(out.get(), data + QV_MS_IDENTS_HDR, QV_MS_IDENT_LEN * size_t(n)) == 0);
            check(quorvane_ms_idents_decode(data, size, nullptr, 0) == n);
        }
    } else if constexpr (K == kind::k_rinit) {
        auto ring = std::make_unique<quorvane_ms_rinit>();
        int rc = quorvane_ms_rinit_decode(data, size, ring.get());
        check(rc == 0 || rc == -1);
        check(ring->count <= QV_MS_RINIT_SLOTS && ring->next < QV_MS_RINIT_SLOTS);
        if (rc == 0) check(size == QV_MS_RINIT_HDR + QV_MS_ID_LEN * ring->count);
        else check(ring->count == 0 && ring->next == 0);
    } else if constexpr (K == kind::k_convs) {
        std::vector<uint8_t> pt = versioned(data, size);
        quorvane_ms_conv_list list;
        int rc = quorvane_ms_convs_decode(pt.data(), pt.size(), &list);
        check(rc == 0 || rc == -1);
        check(rc == 0 || (list.count == 0 && list.convs == nullptr));
        check(list.count <= QV_MS_CONV_MAX && list.count <= list.cap && list.complete <= 1);
        check(list.mute_defaults <= 7 && list.notif_defaults <= 7 && list.car_flags <= 7 && list.receipts_off <= 1);
        // every entry takes at least its fixed part, so more cannot come out than went in
        check(list.count * QV_MS_CONV_FIXED <= pt.size());
        for (size_t i = 0; i < list.count; i++) check_conv(list.convs[i]);
        quorvane_ms_conv_list_free(&list);
        check(list.convs == nullptr && list.count == 0);
    } else if constexpr (K == kind::k_msgs) {
        std::vector<uint8_t> pt = versioned(data, size);
        auto c = std::make_unique<quorvane_ms_conv>();
        memset(c.get(), 0, sizeof *c);
        int rc = quorvane_ms_msgs_decode(pt.data(), pt.size(), c.get());
        check(rc >= -1 && rc <= 1);
        check(rc != -1 || (c->msg_count == 0 && c->reaction_count == 0));
        check(c->msg_count <= c->msg_alloc && c->reaction_count <= c->reaction_alloc);
        size_t bytes = 0;
        for (size_t i = 0; i < c->msg_count; i++) {
            const quorvane_ms_msg &m = c->msgs[i];
            check(m.text && m.text_len <= QV_MS_TEXT_MAX && m.text[m.text_len] == '\0');
            check(memmem(pt.data(), pt.size(), m.text, m.text_len) != nullptr);
            if (FUZZ_MSGSTORE_VERSION < 7) check(m.send_status == 0);
            if (FUZZ_MSGSTORE_VERSION < 8) check(m.position == 0);
            bytes += m.text_len + 37;
        }
        for (size_t i = 0; i < c->reaction_count; i++) {
            const quorvane_ms_reaction &r = c->reactions[i];
            check(r.name_len >= 1 && r.name_len <= QV_MS_REACTION_NAME_MAX && r.name[r.name_len] == '\0');
            bytes += r.name_len + 41;
        }
        check(c->mark_count <= QV_MS_MARKS_MAX && c->mark_count <= c->mark_alloc);
        if (FUZZ_MSGSTORE_VERSION < 9) check(c->mark_count == 0);
        for (size_t i = 0; i < c->mark_count; i++) {
            const quorvane_ms_mark &k = c->marks[i];
            check(k.kind >= QV_MS_MARK_DELETE && k.kind <= QV_MS_MARK_REACTION && k.flag <= 1);
            if (k.kind == QV_MS_MARK_REACTION)
                check(k.name_len >= 1 && k.name_len <= QV_MS_REACTION_NAME_MAX && k.name[k.name_len] == '\0');
            // only an edit keeps a text, and one it read whole
            check((k.text != nullptr) == (k.kind == QV_MS_MARK_EDIT && k.flag == 1));
            if (k.text) check(k.text_len <= QV_MS_TEXT_MAX && k.text[k.text_len] == '\0');
            bytes += QV_MS_MARK_FIXED + k.text_len + (k.kind == QV_MS_MARK_REACTION ? 17 + k.name_len : 0);
        }
        check(bytes <= pt.size());
        quorvane_ms_conv_clear(c.get());
        check(c->msgs == nullptr && c->reactions == nullptr && c->marks == nullptr);
    } else if constexpr (K == kind::k_unopened) {
        auto c = std::make_unique<quorvane_ms_conv>();
        memset(c.get(), 0, sizeof *c);
        int rc = quorvane_ms_unopened_decode(data, size, c.get());
        check(rc >= -1 && rc <= 1 && c->kept_count <= QV_MS_UNOPENED_KEPT);
        check(rc != -1 || c->kept_count == 0);
        size_t bytes = QV_MS_UNOPENED_HDR;
        for (size_t i = 0; i < c->kept_count; i++) {
            const quorvane_ms_unopened &u = c->kept[i];
            check(u.env && u.len <= QV_MS_UNOPENED_ENV_MAX);
            bytes += 10 + u.len;
        }
        check(c->kept_count == 0 || bytes <= size);
        quorvane_ms_conv_clear(c.get());
        check(c->kept == nullptr && c->kept_count == 0);
    } else {
        uint64_t value = 1;
        const uint8_t *state = nullptr;
        size_t len = quorvane_ms_rprev_decode(data, size, &value, &state);
        if (size <= QV_MS_RPREV_VALUE_LEN) check(len == 0 && state == nullptr && value == 0);
        else check(len == size - QV_MS_RPREV_VALUE_LEN && state == data + QV_MS_RPREV_VALUE_LEN);
    }
    return 0;
}
