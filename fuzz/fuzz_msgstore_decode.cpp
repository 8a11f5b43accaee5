// One plaintext decoder of the message store per target, chosen at build time
// by FUZZ_MSGSTORE (profile, session, idents, rinit, rprev). These run on
// whatever an authenticated file holds, so besides staying inside the input
// each must give results inside the limits every caller relies on.
#include "client_msgstore.h"

#include <cstring>
#include <memory>

namespace {

enum class kind { k_profile, k_session, k_idents, k_rinit, k_rprev };
#define QV_CAT2(a, b) a##b
#define QV_CAT(a, b) QV_CAT2(a, b)
constexpr kind K = kind::QV_CAT(k_, FUZZ_MSGSTORE);

void check(bool ok) {
    if (!ok) __builtin_trap();
}

[[maybe_unused]] bool terminated(const char *s, size_t size) { return memchr(s, 0, size) != nullptr; }

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
    } else {
        uint64_t value = 1;
        const uint8_t *state = nullptr;
        size_t len = quorvane_ms_rprev_decode(data, size, &value, &state);
        if (size <= QV_MS_RPREV_VALUE_LEN) check(len == 0 && state == nullptr && value == 0);
        else check(len == size - QV_MS_RPREV_VALUE_LEN && state == data + QV_MS_RPREV_VALUE_LEN);
    }
    return 0;
}
