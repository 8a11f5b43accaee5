// Prekey bundles, the instance directory and listing names.
#include "quorvane_bundle.h"

#include <cstring>

#include "quorvane_bytes.h"

using namespace qv_bytes;

namespace {

bool has_nul(const uint8_t *p, size_t n) { return n && memchr(p, 0, n) != nullptr; }

// Copies a text value into a NUL-terminated array of cap + 1 bytes.
void copy_text(char *dst, const uint8_t *src, size_t n) {
    if (n) memcpy(dst, src, n);
    dst[n] = '\0';
}

}  // namespace

/* ---- Prekey bundle ------------------------------------------------------- */

int quorvane_prekey_bundle_encode(const quorvane_prekey_bundle *bundle, uint8_t *out, size_t cap, size_t *out_len) {
    if (!bundle || !out || !out_len) return -1;
    quorvane_tlv_writer w;
    quorvane_tlv_writer_init(&w, out, cap);
    quorvane_tlv_put(&w, QV_BUNDLE_TAG_DEVICE_KEY, bundle->device_key, QV_BUNDLE_KEY_LEN);
    quorvane_tlv_put(&w, QV_BUNDLE_TAG_SPK, bundle->signed_prekey, QV_BUNDLE_KEY_LEN);
    quorvane_tlv_put(&w, QV_BUNDLE_TAG_SPK_SIG, bundle->signature, QV_BUNDLE_SIG_LEN);
    quorvane_tlv_put_u32(&w, QV_BUNDLE_TAG_SPK_ID, bundle->signed_prekey_id);
    if (bundle->has_one_time_prekey) {
        quorvane_tlv_put(&w, QV_BUNDLE_TAG_OPK, bundle->one_time_prekey, QV_BUNDLE_KEY_LEN);
        quorvane_tlv_put_u32(&w, QV_BUNDLE_TAG_OPK_ID, bundle->one_time_prekey_id);
    }
    size_t n = 0;
    if (quorvane_tlv_writer_finish(&w, &n) != 0) return -4;
    *out_len = n;
    return 0;
}

int quorvane_prekey_bundle_decode(const uint8_t *payload, size_t len, quorvane_prekey_bundle *bundle_out) {
    if (!payload || !bundle_out) return -1;
    quorvane_prekey_bundle b{};
    const uint8_t *v = nullptr;
    int rc;
    if ((rc = quorvane_tlv_find_fixed(payload, len, QV_BUNDLE_TAG_DEVICE_KEY, QV_BUNDLE_KEY_LEN, &v)) != 0) return rc;
    memcpy(b.device_key, v, QV_BUNDLE_KEY_LEN);
    if ((rc = quorvane_tlv_find_fixed(payload, len, QV_BUNDLE_TAG_SPK, QV_BUNDLE_KEY_LEN, &v)) != 0) return rc;
    memcpy(b.signed_prekey, v, QV_BUNDLE_KEY_LEN);
    if ((rc = quorvane_tlv_find_fixed(payload, len, QV_BUNDLE_TAG_SPK_SIG, QV_BUNDLE_SIG_LEN, &v)) != 0) return rc;
    memcpy(b.signature, v, QV_BUNDLE_SIG_LEN);
    if ((rc = quorvane_tlv_find_fixed(payload, len, QV_BUNDLE_TAG_SPK_ID, QV_BUNDLE_ID_LEN, &v)) != 0) return rc;
    b.signed_prekey_id = get_be32(v);

    rc = quorvane_tlv_find_fixed(payload, len, QV_BUNDLE_TAG_OPK, QV_BUNDLE_KEY_LEN, &v);
    if (rc == 0) {
        memcpy(b.one_time_prekey, v, QV_BUNDLE_KEY_LEN);
        // a key without its id cannot be named in the initial message
        if (quorvane_tlv_find_fixed(payload, len, QV_BUNDLE_TAG_OPK_ID, QV_BUNDLE_ID_LEN, &v) != 0) return -3;
        b.one_time_prekey_id = get_be32(v);
        b.has_one_time_prekey = 1;
    } else if (rc != -5) {
        return -3;
    }
    *bundle_out = b;
    return 0;
}

/* ---- Instance directory -------------------------------------------------- */

int quorvane_instdir_append(quorvane_tlv_writer *w, const quorvane_instdir_entry *e) {
    if (!w || !e) return -3;
    // strnlen gives the array size for a missing terminator: refused, not read past
    const size_t name_len = strnlen(e->name, sizeof e->name);
    const size_t desc_len = strnlen(e->description, sizeof e->description);
    if (name_len == 0 || name_len == sizeof e->name || desc_len == sizeof e->description) return -3;

    quorvane_tlv_put(w, QV_INSTDIR_TAG_ID, e->instance_id, QV_INSTDIR_ID_LEN);
    quorvane_tlv_put(w, QV_INSTDIR_TAG_NAME, e->name, name_len);
    if (desc_len) quorvane_tlv_put(w, QV_INSTDIR_TAG_DESCRIPTION, e->description, desc_len);
    if (e->has_avatar) quorvane_tlv_put(w, QV_INSTDIR_TAG_AVATAR, e->avatar_digest, QV_INSTDIR_AVATAR_LEN);
    quorvane_tlv_put_u8(w, QV_INSTDIR_TAG_BYTE60, e->byte60);
    quorvane_tlv_put_u8(w, QV_INSTDIR_TAG_ROLE, e->role);
    quorvane_tlv_put_u32(w, QV_INSTDIR_TAG_U32_40, e->u32_40);

    const size_t ncat = e->category_count < QV_INSTDIR_CATEGORIES_MAX ? e->category_count : QV_INSTDIR_CATEGORIES_MAX;
    for (size_t i = 0; i < ncat; i++) {
        const size_t n = strnlen(e->category_name[i], sizeof e->category_name[i]);
        if (n == 0 || n > QV_INSTDIR_CATEGORY_NAME_MAX) continue;
        uint8_t rec[1 + QV_INSTDIR_CATEGORY_NAME_MAX];
        rec[0] = e->category_index[i];
        memcpy(rec + 1, e->category_name[i], n);
        quorvane_tlv_put(w, QV_INSTDIR_TAG_CATEGORY, rec, 1 + n);
    }
    const size_t nconv = e->conversation_count < QV_INSTDIR_CONVS_MAX ? e->conversation_count : QV_INSTDIR_CONVS_MAX;
    for (size_t i = 0; i < nconv; i++) {
        uint8_t rec[QV_INSTDIR_CONV_LEN];
        memcpy(rec, e->conversation_id[i], QV_INSTDIR_ID_LEN);
        rec[16] = e->conversation_category[i];
        rec[17] = e->conversation_position[i];
        rec[18] = e->conversation_flags[i];
        put_be32(rec + 19, e->conversation_u32[i]);
        quorvane_tlv_put(w, QV_INSTDIR_TAG_CONV, rec, sizeof rec);
    }
    return quorvane_tlv_writer_finish(w, nullptr) == 0 ? 0 : -3;
}

namespace {

// Checks one record of a started entry against its rule and stores it.
// Categories and conversations past their caps are skipped unread: the
// server may list more than we keep, and those must not cost the entry.
int store_record(quorvane_instdir_entry *e, uint8_t tag, const uint8_t *v, size_t n) {
    switch (tag) {
    case QV_INSTDIR_TAG_NAME:
        if (n == 0 || n > QV_INSTDIR_NAME_MAX || has_nul(v, n)) return -3;
        copy_text(e->name, v, n);
        return 0;
    case QV_INSTDIR_TAG_DESCRIPTION:
        if (n > QV_INSTDIR_DESC_MAX || has_nul(v, n)) return -3;
        copy_text(e->description, v, n);
        return 0;
    case QV_INSTDIR_TAG_AVATAR:
        if (n != QV_INSTDIR_AVATAR_LEN) return -3;
        memcpy(e->avatar_digest, v, n);
        e->has_avatar = 1;
        return 0;
    case QV_INSTDIR_TAG_BYTE60:
        if (n != 1) return -3;
        e->byte60 = v[0];
        return 0;
    case QV_INSTDIR_TAG_ROLE:
        if (n != 1 || v[0] > QV_INSTDIR_ROLE_MAX) return -3;
        e->role = v[0];
        return 0;
    case QV_INSTDIR_TAG_U32_40:
        if (n != 4) return -3;
        e->u32_40 = get_be32(v);
        return 0;
    case QV_INSTDIR_TAG_CATEGORY: {
        if (e->category_count == QV_INSTDIR_CATEGORIES_MAX) return 0;
        if (n < 2 || n > 1 + QV_INSTDIR_CATEGORY_NAME_MAX || has_nul(v + 1, n - 1)) return -3;
        const size_t i = e->category_count++;
        e->category_index[i] = v[0];
        copy_text(e->category_name[i], v + 1, n - 1);
        return 0;
    }
    case QV_INSTDIR_TAG_CONV: {
        if (e->conversation_count == QV_INSTDIR_CONVS_MAX) return 0;
        if (n != QV_INSTDIR_CONV_LEN) return -3;
        const size_t i = e->conversation_count++;
        memcpy(e->conversation_id[i], v, QV_INSTDIR_ID_LEN);
        e->conversation_category[i] = v[16];
        e->conversation_position[i] = v[17];
        e->conversation_flags[i] = v[18];
        e->conversation_u32[i] = get_be32(v + 19);
        return 0;
    }
    default:
        return 0;  // tags of later servers
    }
}

}  // namespace

int quorvane_instdir_next(const uint8_t *directory, size_t len, size_t *cursor, quorvane_instdir_entry *entry_out) {
    if (!directory || !cursor || !entry_out || *cursor > len) return -3;
    memset(entry_out, 0, sizeof *entry_out);
    if (*cursor == len) return -5;

    quorvane_tlv_reader r;
    quorvane_tlv_reader_init(&r, directory, len);
    r.position = *cursor;
    bool started = false;
    int rc = 0;
    size_t next = len;
    for (;;) {
        const size_t at = r.position;
        uint8_t tag;
        const uint8_t *v;
        size_t n;
        const int got = quorvane_tlv_next(&r, &tag, &v, &n);
        if (got == -5) {  // exactly at the end
            if (!started) {
                *cursor = len;
                return -5;
            }
            break;
        }
        if (got != 0) {  // a value past the end, or 1-4 trailing bytes
            rc = -3;
            break;
        }
        if (tag == QV_INSTDIR_TAG_ID) {
            if (started) {
                next = at;
                break;
            }
            if (n != QV_INSTDIR_ID_LEN) {
                rc = -3;
                break;
            }
            memcpy(entry_out->instance_id, v, QV_INSTDIR_ID_LEN);
            started = true;
        } else if (started && (rc = store_record(entry_out, tag, v, n)) != 0) {
            break;
        }
    }
    if (rc == 0) *cursor = next;  // a nameless entry was read to its end: the cursor passes it
    if (rc == 0 && entry_out->name[0] == '\0') rc = -3;
    if (rc != 0) memset(entry_out, 0, sizeof *entry_out);
    return rc;
}

/* ---- Listing names --------------------------------------------------------
 * Strict UTF-8: besides truncated sequences and stray continuation bytes,
 * overlong forms, surrogates (U+D800-U+DFFF) and code points above U+10FFFF
 * are refused, since the server and other clients compare names byte-wise
 * and two spellings of one character must not both pass. The bounds of the
 * second byte carry those rules, the remaining bytes are plain continuations. */

int quorvane_listing_name_valid(const char *text, size_t len) {
    if (!text || len == 0 || len > QV_LISTING_NAME_MAX) return 0;
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    bool content = false;
    for (size_t i = 0; i < len;) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F) return 0;
            if (c != ' ') content = true;
            i++;
            continue;
        }
        size_t extra;
        unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            if (c == 0xE0) lo = 0xA0;       // overlong below U+0800
            else if (c == 0xED) hi = 0x9F;  // surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            if (c == 0xF0) lo = 0x90;       // overlong below U+10000
            else if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
        } else {
            return 0;  // C0, C1 (overlong 2-byte), F5-FF, or a stray continuation byte
        }
        if (extra > len - i - 1) return 0;
        if (p[i + 1] < lo || p[i + 1] > hi) return 0;
        for (size_t k = 2; k <= extra; k++)
            if (p[i + k] < 0x80 || p[i + k] > 0xBF) return 0;
        content = true;
        i += 1 + extra;
    }
    return content ? 1 : 0;
}
