// One message-body decoder per target, chosen at build time by FUZZ_MSG
// (text, system, profile, group, delete, reaction, reply, edit, sticker,
// targetdev, file, avatar, group_avatar, voice, link). Every body layout is
// canonical, so whatever decodes must re-encode to the very same bytes, and
// must not fit one byte less of room. The blob-carrying bodies decode into
// NUL-terminated records, so a text with a NUL inside comes back shorter and a
// link image flag above 1 comes back as 1: for those the re-encoded body must
// decode to the same record, and a refused body must leave the record all zero.
#include "quorvane_msg.h"

#include <cstring>
#include <vector>

namespace {

enum class kind {
    k_text, k_system, k_profile, k_group, k_delete, k_reaction, k_reply, k_edit, k_sticker, k_targetdev,
    k_file, k_avatar, k_group_avatar, k_voice, k_link,
};
#define QV_CAT2(a, b) a##b
#define QV_CAT(a, b) QV_CAT2(a, b)
constexpr kind K = kind::QV_CAT(k_, FUZZ_MSG);

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

void check_rc(int rc) { check(rc == 0 || rc == QV_MSG_BAD); }

[[maybe_unused]] bool inside(const uint8_t *data, size_t size, const void *p, size_t n)
{
    auto q = static_cast<const uint8_t *>(p);
    return q >= data && n <= size && q - data <= static_cast<ptrdiff_t>(size - n);
}

// enc(out, cap) must rebuild the input exactly, into a buffer just big enough.
template <typename Enc> void same_bytes(const uint8_t *data, size_t size, Enc enc)
{
    std::vector<uint8_t> out(size);
    check(enc(out.data(), size) == size);
    check(std::memcmp(out.data(), data, size) == 0);
    std::vector<uint8_t> small(size - 1);
    check(enc(small.data(), small.size()) == 0);
}

[[maybe_unused]] bool all_zero(const void *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (static_cast<const uint8_t *>(p)[i] != 0)
            return false;
    return true;
}

// Decodes into a record, re-encodes it and checks what the header of this
// fuzzer promises; `same` tells two decoded records apart field by field.
template <typename Rec, typename Dec, typename Enc, typename Same>
void record_round_trip(const uint8_t *data, size_t size, Dec dec, Enc enc, Same same, size_t flag_at_from_end = 0)
{
    Rec rec;
    std::memset(&rec, 0xEE, sizeof rec);
    int rc = dec(data, size, &rec);
    check_rc(rc);
    if (rc != 0) {
        check(all_zero(&rec, sizeof rec));
        return;
    }
    std::vector<uint8_t> out(size);
    size_t n = enc(&rec, out.data(), out.size());
    check(n != 0 && n <= size);
    out.resize(n);
    std::vector<uint8_t> small(n - 1);
    check(enc(&rec, small.data(), small.size()) == 0);
    Rec again;
    check(dec(out.data(), n, &again) == 0 && same(rec, again));
    if (n == size) {
        // nothing was shortened: only a link's image flag may differ, and only in value
        size_t flag = flag_at_from_end ? size - flag_at_from_end : size;
        for (size_t i = 0; i < size; i++)
            check(i == flag ? (out[i] != 0) == (data[i] != 0) : out[i] == data[i]);
    }
}

[[maybe_unused]] bool same_ref(const quorvane_blob_ref &a, const quorvane_blob_ref &b)
{
    return !std::memcmp(a.storage_id, b.storage_id, sizeof a.storage_id) && !std::memcmp(a.blob_id, b.blob_id, sizeof a.blob_id) &&
           !std::memcmp(a.key, b.key, sizeof a.key) && !std::memcmp(a.salt, b.salt, sizeof a.salt) &&
           a.chunk_count == b.chunk_count && a.size == b.size && !std::memcmp(a.hash, b.hash, sizeof a.hash);
}

[[maybe_unused]] bool same_file(const quorvane_file_meta &a, const quorvane_file_meta &b)
{
    return same_ref(a.blob, b.blob) && !std::strcmp(a.mime, b.mime) && !std::strcmp(a.name, b.name) &&
           a.has_thumb == b.has_thumb && same_ref(a.thumb, b.thumb) && a.thumb_width == b.thumb_width &&
           a.thumb_height == b.thumb_height;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint8_t id[QV_MSG_ID_LEN];
    uint64_t counter = 0;

    if constexpr (K == kind::k_text || K == kind::k_system) {
        auto dec = K == kind::k_text ? quorvane_msg_text_decode : quorvane_msg_system_decode;
        auto enc = K == kind::k_text ? quorvane_msg_text_encode : quorvane_msg_system_encode;
        const char *t = nullptr;
        size_t n = 0;
        int rc = dec(data, size, &t, &n);
        check_rc(rc);
        check(rc == dec(data, size, nullptr, nullptr));
        if (rc == 0) {
            check(inside(data, size, t, n) && n + 1 == size);
            same_bytes(data, size, [&](uint8_t *o, size_t c) { return enc(t, n, o, c); });
        }
    } else if constexpr (K == kind::k_profile) {
        const char *name = nullptr, *about = nullptr;
        size_t nl = 0, al = 0;
        int rc = quorvane_msg_profile_decode(data, size, &name, &nl, &about, &al);
        check_rc(rc);
        check(rc == quorvane_msg_profile_decode(data, size, nullptr, nullptr, nullptr, nullptr));
        if (rc == 0) {
            check(inside(data, size, name, nl) && inside(data, size, about, al));
            same_bytes(data, size, [&](uint8_t *o, size_t c) { return quorvane_msg_profile_encode(name, nl, about, al, o, c); });
        }
    } else if constexpr (K == kind::k_group) {
        const char *name = nullptr;
        size_t nl = 0;
        int rc = quorvane_msg_group_decode(data, size, &name, &nl);
        check_rc(rc);
        check(rc == quorvane_msg_group_decode(data, size, nullptr, nullptr));
        if (rc == 0) {
            check(inside(data, size, name, nl));
            same_bytes(data, size, [&](uint8_t *o, size_t c) { return quorvane_msg_group_encode(name, nl, o, c); });
        }
    } else if constexpr (K == kind::k_delete) {
        int rc = quorvane_msg_delete_decode(data, size, id, &counter);
        check_rc(rc);
        check(rc == quorvane_msg_delete_decode(data, size, nullptr, nullptr));
        if (rc == 0)
            same_bytes(data, size, [&](uint8_t *o, size_t c) { return quorvane_msg_delete_encode(id, counter, o, c); });
    } else if constexpr (K == kind::k_reaction) {
        int add = -1;
        char name[QV_MSG_NAME_MAX + 1];
        int rc = quorvane_msg_reaction_decode(data, size, id, &counter, &add, name, sizeof name);
        check_rc(rc);
        check(rc == quorvane_msg_reaction_decode(data, size, nullptr, nullptr, nullptr, nullptr, 0));
        if (rc == 0) {
            check(add == 0 || add == 1);
            char tight[QV_MSG_NAME_MAX + 1];
            check(quorvane_msg_reaction_decode(data, size, nullptr, nullptr, nullptr, tight, std::strlen(name)) == QV_MSG_BAD);
            same_bytes(data, size, [&](uint8_t *o, size_t c) { return quorvane_msg_reaction_encode(id, counter, add, name, o, c); });
        }
    } else if constexpr (K == kind::k_reply || K == kind::k_edit) {
        auto dec = K == kind::k_reply ? quorvane_msg_reply_decode : quorvane_msg_edit_decode;
        auto enc = K == kind::k_reply ? quorvane_msg_reply_encode : quorvane_msg_edit_encode;
        const char *t = nullptr;
        size_t n = 0;
        int rc = dec(data, size, id, &counter, &t, &n);
        check_rc(rc);
        check(rc == dec(data, size, nullptr, nullptr, nullptr, nullptr));
        if (rc == 0) {
            check(inside(data, size, t, n) && n + QV_MSG_TARGET_LEN == size);
            same_bytes(data, size, [&](uint8_t *o, size_t c) { return enc(id, counter, t, n, o, c); });
        }
    } else if constexpr (K == kind::k_sticker) {
        quorvane_sticker st;
        int rc = quorvane_msg_sticker_decode(data, size, &st);
        check_rc(rc);
        if (rc == 0) {
            check(std::memchr(st.name, 0, sizeof st.name) != nullptr);
            same_bytes(data, size, [&](uint8_t *o, size_t c) { return quorvane_msg_sticker_encode(&st, o, c); });
        }
    } else if constexpr (K == kind::k_targetdev) {
        uint8_t key[QV_MSG_DEVKEY_LEN];
        const uint8_t *inner = nullptr;
        size_t inner_len = 0;
        int rc = quorvane_msg_targetdev_decode(data, size, key, &inner, &inner_len);
        check_rc(rc);
        check(rc == quorvane_msg_targetdev_decode(data, size, nullptr, nullptr, nullptr));
        if (rc == 0) {
            check(inside(data, size, inner, inner_len) && inner_len + QV_MSG_WRAP_HDR == size);
            same_bytes(data, size, [&](uint8_t *o, size_t c) { return quorvane_msg_targetdev_encode(key, inner, inner_len, o, c); });
            // the receiver goes on to decode the inner body by its own type
            char name[QV_MSG_NAME_MAX + 1];
            if (inner[0] == QV_MSG_DELETE)
                check_rc(quorvane_msg_delete_decode(inner, inner_len, id, &counter));
            else if (inner[0] == QV_MSG_REACTION)
                check_rc(quorvane_msg_reaction_decode(inner, inner_len, id, &counter, nullptr, name, sizeof name));
            else
                check_rc(quorvane_msg_edit_decode(inner, inner_len, id, &counter, nullptr, nullptr));
        }
    } else if constexpr (K == kind::k_file || K == kind::k_avatar || K == kind::k_group_avatar) {
        auto dec = K == kind::k_file ? quorvane_msg_file_decode
                 : K == kind::k_avatar ? quorvane_msg_avatar_decode : quorvane_msg_group_avatar_decode;
        auto enc = K == kind::k_file ? quorvane_msg_file_encode
                 : K == kind::k_avatar ? quorvane_msg_avatar_encode : quorvane_msg_group_avatar_encode;
        record_round_trip<quorvane_file_meta>(data, size, dec, enc, same_file);
    } else if constexpr (K == kind::k_voice) {
        record_round_trip<quorvane_voice_meta>(data, size, quorvane_msg_voice_decode, quorvane_msg_voice_encode,
            [](const quorvane_voice_meta &a, const quorvane_voice_meta &b) {
                return same_file(a.file, b.file) && !std::strcmp(a.file.mime, QV_MSG_VOICE_MIME) &&
                       a.duration_ms == b.duration_ms && a.sample_rate == b.sample_rate &&
                       a.peak_count == b.peak_count && a.peak_count <= QV_MSG_VOICE_PEAKS_MAX &&
                       !std::memcmp(a.peaks, b.peaks, sizeof a.peaks);
            });
    } else if constexpr (K == kind::k_link) {
        quorvane_link_meta probe;
        bool image = quorvane_msg_link_decode(data, size, &probe) == 0 && probe.has_image;
        record_round_trip<quorvane_link_meta>(data, size, quorvane_msg_link_decode, quorvane_msg_link_encode,
            [](const quorvane_link_meta &a, const quorvane_link_meta &b) {
                return !std::strcmp(a.url, b.url) && !std::strcmp(a.title, b.title) &&
                       !std::strcmp(a.description, b.description) && (a.has_image == 0 || a.has_image == 1) &&
                       a.has_image == b.has_image && same_file(a.image, b.image) &&
                       !std::strcmp(a.image.mime, QV_MSG_LINK_IMAGE_MIME) && a.image_width == b.image_width &&
                       a.image_height == b.image_height;
            }, image ? 1 + QV_MSG_LINK_IMAGE_LEN : 1);
    }
    return 0;
}
