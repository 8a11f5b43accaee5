// Decoders of prekey bundles, instance directories and listing names, one per
// target, chosen at build time by FUZZ_BUNDLE (decode, instdir, listing).
// Whatever decodes must survive a re-encode and decode unchanged; listing
// names are judged a second time by a decoder written the other way round
// (code points first, rules after).
#include "quorvane_bundle.h"

#include <cstring>
#include <vector>

namespace {

enum class kind { k_decode, k_instdir, k_listing };
#define QV_CAT2(a, b) a##b
#define QV_CAT(a, b) QV_CAT2(a, b)
constexpr kind K = kind::QV_CAT(k_, FUZZ_BUNDLE);

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

[[maybe_unused]] void bundle(const uint8_t *data, size_t size)
{
    if (!data)
        data = reinterpret_cast<const uint8_t *>("");
    quorvane_prekey_bundle b;
    const int rc = quorvane_prekey_bundle_decode(data, size, &b);
    check(rc == 0 || rc == -3 || rc == -5);
    if (rc != 0)
        return;
    check(b.has_one_time_prekey == 0 || b.has_one_time_prekey == 1);
    uint8_t out[QV_BUNDLE_MAX_LEN];
    size_t n = 0;
    check(quorvane_prekey_bundle_encode(&b, out, sizeof out, &n) == 0);
    check(n == (b.has_one_time_prekey ? QV_BUNDLE_MAX_LEN : QV_BUNDLE_BASE_LEN));
    quorvane_prekey_bundle again;
    check(quorvane_prekey_bundle_decode(out, n, &again) == 0);
    check(memcmp(&b.device_key, &again.device_key, sizeof b.device_key) == 0);
    check(memcmp(b.signature, again.signature, sizeof b.signature) == 0);
    check(b.signed_prekey_id == again.signed_prekey_id && b.has_one_time_prekey == again.has_one_time_prekey);
    if (b.has_one_time_prekey)
        check(b.one_time_prekey_id == again.one_time_prekey_id &&
              memcmp(b.one_time_prekey, again.one_time_prekey, sizeof b.one_time_prekey) == 0);
}

[[maybe_unused]] void instdir(const uint8_t *data, size_t size)
{
    static quorvane_instdir_entry e, again;  // 4 KB each: kept off the fuzzer's stack
    static std::vector<uint8_t> buf(16 * 1024);
    if (!data)
        data = reinterpret_cast<const uint8_t *>("");
    size_t cursor = 0;
    for (;;) {
        const size_t before = cursor;
        const int rc = quorvane_instdir_next(data, size, &cursor, &e);
        check(rc == 0 || rc == -3 || rc == -5);
        check(cursor <= size);
        if (rc != 0) {
            check(e.name[0] == '\0' && e.category_count == 0 && e.conversation_count == 0);
            // a refusal leaves the cursor, or moves it past a nameless entry to
            // the next entry or the end; running out of entries moves it to the end
            if (rc == -3 && cursor != before)
                check(cursor > before && (cursor == size || data[cursor] == QV_INSTDIR_TAG_ID));
            if (rc == -5)
                check(cursor == before || cursor == size);
            break;
        }
        check(cursor > before);  // progress: the caller's loop always ends
        const size_t name_len = strnlen(e.name, sizeof e.name);
        check(name_len >= 1 && name_len <= QV_INSTDIR_NAME_MAX);
        check(e.role <= QV_INSTDIR_ROLE_MAX);
        check(e.category_count <= QV_INSTDIR_CATEGORIES_MAX && e.conversation_count <= QV_INSTDIR_CONVS_MAX);

        quorvane_tlv_writer w;
        quorvane_tlv_writer_init(&w, buf.data(), buf.size());
        check(quorvane_instdir_append(&w, &e) == 0);
        size_t again_cursor = 0;
        check(quorvane_instdir_next(buf.data(), w.length, &again_cursor, &again) == 0);
        check(again_cursor == w.length);
        check(strcmp(e.name, again.name) == 0 && strcmp(e.description, again.description) == 0);
        check(e.category_count == again.category_count && e.conversation_count == again.conversation_count);
        check(memcmp(e.conversation_id, again.conversation_id, sizeof e.conversation_id) == 0);
        check(memcmp(e.conversation_u32, again.conversation_u32, sizeof e.conversation_u32) == 0);
        for (size_t i = 0; i < e.category_count; i++)
            check(strcmp(e.category_name[i], again.category_name[i]) == 0);
    }
}

// Reference: decode each sequence by its lead byte's length, then apply the rules.
[[maybe_unused]] int listing_reference(const uint8_t *p, size_t n)
{
    if (n == 0 || n > QV_LISTING_NAME_MAX)
        return 0;
    bool content = false;
    for (size_t i = 0; i < n;) {
        const uint8_t c = p[i];
        size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (len == 0 || i + len > n)
            return 0;
        uint32_t cp = len == 1 ? c : c & (0x7F >> len);
        for (size_t k = 1; k < len; k++) {
            if ((p[i + k] & 0xC0) != 0x80)
                return 0;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        static const uint32_t min_cp[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < min_cp[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return 0;
        if (cp < 0x20 || cp == 0x7F)
            return 0;
        if (cp != ' ')
            content = true;
        i += len;
    }
    return content ? 1 : 0;
}

[[maybe_unused]] void listing(const uint8_t *data, size_t size)
{
    const int v = quorvane_listing_name_valid(reinterpret_cast<const char *>(data), size);
    check(v == (data ? listing_reference(data, size) : 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if constexpr (K == kind::k_decode)
        bundle(data, size);
    else if constexpr (K == kind::k_instdir)
        instdir(data, size);
    else
        listing(data, size);
    return 0;
}
