#include "quorvane_msg.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <string_view>

#include "quorvane_bytes.h"
#include "quorvane_crypto.h"

using qv_bytes::put_be;

namespace {

using bytes = std::span<const uint8_t>;

// Every read of a body goes through take(), which tests the remaining length
// first: whatever a length byte claims, a decoder cannot read past the end.
// After the first short read the cursor stays failed and yields nothing.
struct cursor {
    bytes rest;
    bool  ok = true;

    bytes take(size_t n)
    {
        if (!ok || n > rest.size()) {
            ok = false;
            return {};
        }
        bytes b = rest.first(n);
        rest = rest.subspan(n);
        return b;
    }
    uint64_t be(size_t n)  // big-endian unsigned of n bytes, 0 on a short read
    {
        uint64_t v = 0;
        for (uint8_t c : take(n))
            v = (v << 8) | c;
        return v;
    }
    uint8_t u8() { return static_cast<uint8_t>(be(1)); }
    bool    done() const { return ok && rest.empty(); }  // for layouts that refuse trailing bytes
};

// A cursor past the type byte, failed unless the body is there and of that type.
cursor open_body(const uint8_t *body, size_t len, uint8_t type)
{
    if (!body || len < 1 || body[0] != type)
        return {{}, false};
    return {bytes(body + 1, len - 1)};
}

// memmove rather than memcpy: callers may build a body in the buffer that
// holds its text; and a null source is fine when nothing is moved.
void put(uint8_t *dst, const void *src, size_t n)
{
    if (n)
        std::memmove(dst, src, n);
}

bool name_char_ok(uint8_t c)
{
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

bool name_ok(bytes name)
{
    if (name.empty() || name.size() > QV_MSG_NAME_MAX)
        return false;
    for (uint8_t c : name)
        if (!name_char_ok(c))
            return false;
    return true;
}

// Looks at no more than one byte past the limit, so a name missing its NUL is
// refused rather than followed through memory.
bytes name_of(const char *name)
{
    return bytes(reinterpret_cast<const uint8_t *>(name), strnlen(name, QV_MSG_NAME_MAX + 1));
}

bool inner_type_ok(uint8_t type)
{
    return type == QV_MSG_DELETE || type == QV_MSG_REACTION || type == QV_MSG_EDIT;
}

// The 25-byte head shared by delete, reaction, reply and edit.
void put_target(uint8_t *out, uint8_t type, const uint8_t *sender_id, uint64_t counter)
{
    out[0] = type;
    put(out + 1, sender_id, QV_MSG_ID_LEN);
    put_be(out + 1 + QV_MSG_ID_LEN, counter, 8);
}

bool take_target(cursor &c, bytes *sender_id, uint64_t *counter)
{
    *sender_id = c.take(QV_MSG_ID_LEN);
    *counter = c.be(8);
    return c.ok;
}

void give_target(bytes sender_id, uint64_t counter, uint8_t *sender_id_out, uint64_t *counter_out)
{
    if (sender_id_out)
        put(sender_id_out, sender_id.data(), QV_MSG_ID_LEN);
    if (counter_out)
        *counter_out = counter;
}

void give_text(bytes text, const char **text_out, size_t *text_len_out)
{
    if (text_out)
        *text_out = reinterpret_cast<const char *>(text.data());
    if (text_len_out)
        *text_len_out = text.size();
}

size_t encode_text(uint8_t type, const char *text, size_t len, uint8_t *out, size_t cap)
{
    if (!out || (!text && len) || cap < 1 || len > cap - 1)
        return 0;
    put(out + 1, text, len);  // before the type byte: text may start at out
    out[0] = type;
    return len + 1;
}

int decode_text(uint8_t type, const uint8_t *body, size_t len, const char **text_out, size_t *text_len_out)
{
    cursor c = open_body(body, len, type);
    if (!c.ok)
        return QV_MSG_BAD;
    give_text(c.rest, text_out, text_len_out);
    return 0;
}

size_t encode_target_text(uint8_t type, const uint8_t *sender_id, uint64_t counter, const char *text, size_t len,
                          uint8_t *out, size_t cap)
{
    if (!out || !sender_id || (!text && len) || cap < QV_MSG_TARGET_LEN || len > cap - QV_MSG_TARGET_LEN)
        return 0;
    uint8_t id[QV_MSG_ID_LEN];
    std::memcpy(id, sender_id, sizeof id);  // moving the text may overwrite an id that lies in out
    put(out + QV_MSG_TARGET_LEN, text, len);
    put_target(out, type, id, counter);
    return QV_MSG_TARGET_LEN + len;
}

int decode_target_text(uint8_t type, const uint8_t *body, size_t len, uint8_t *sender_id_out, uint64_t *counter_out,
                       const char **text_out, size_t *text_len_out)
{
    cursor c = open_body(body, len, type);
    bytes id;
    uint64_t counter;
    if (!take_target(c, &id, &counter))
        return QV_MSG_BAD;
    give_target(id, counter, sender_id_out, counter_out);
    give_text(c.rest, text_out, text_len_out);
    return 0;
}

// Writes a body whose length the encoder has already checked against its room.
struct writer {
    uint8_t *p;

    void u8(uint8_t v) { *p++ = v; }
    void be(uint64_t v, size_t n)
    {
        put_be(p, v, n);
        p += n;
    }
    void raw(const void *src, size_t n)
    {
        put(p, src, n);
        p += n;
    }
    void ref(const quorvane_blob_ref &r)
    {
        raw(r.storage_id, sizeof r.storage_id);
        raw(r.blob_id, sizeof r.blob_id);
        raw(r.key, sizeof r.key);
        raw(r.salt, sizeof r.salt);
        be(r.chunk_count, 4);
        be(r.size, 8);
        raw(r.hash, sizeof r.hash);
    }
};

void take_raw(cursor &c, void *dst, size_t n)
{
    bytes b = c.take(n);
    if (c.ok)
        put(static_cast<uint8_t *>(dst), b.data(), n);
}

void take_ref(cursor &c, quorvane_blob_ref *r)
{
    take_raw(c, r->storage_id, sizeof r->storage_id);
    take_raw(c, r->blob_id, sizeof r->blob_id);
    take_raw(c, r->key, sizeof r->key);
    take_raw(c, r->salt, sizeof r->salt);
    r->chunk_count = static_cast<uint32_t>(c.be(4));
    r->size = c.be(8);
    take_raw(c, r->hash, sizeof r->hash);
}

// dst has room for the text and its NUL: the callers checked the length against its limit.
void copy_text(char *dst, bytes text)
{
    put(reinterpret_cast<uint8_t *>(dst), text.data(), text.size());
    dst[text.size()] = '\0';
}

// A record decoder zeroes the record, fills it through parse and, when parse
// refuses the body, wipes it again: a refused body may have got as far as a blob key.
template <typename Rec, typename Parse> int decode_record(Rec *out, Parse parse)
{
    if (!out)
        return QV_MSG_BAD;
    std::memset(out, 0, sizeof *out);
    if (parse(out))
        return 0;
    quorvane_cleanse(out, sizeof *out);
    return QV_MSG_BAD;
}

size_t encode_file(uint8_t type, const quorvane_file_meta *meta, uint8_t *out, size_t cap)
{
    if (!meta || !out)
        return 0;
    const size_t m = strnlen(meta->mime, QV_MSG_MIME_MAX);
    const size_t k = strnlen(meta->name, QV_MSG_FILE_NAME_MAX);
    const bool thumb = type == QV_MSG_FILE && meta->has_thumb;
    // 16 bits on the wire: a larger side would arrive as another number
    if (thumb && (meta->thumb_width > QV_MSG_THUMB_DIM_MAX || meta->thumb_height > QV_MSG_THUMB_DIM_MAX))
        return 0;
    const size_t total = QV_MSG_FILE_HDR + m + k + (thumb ? QV_MSG_THUMB_LEN : 0);
    if (cap < total)
        return 0;
    writer w{out};
    w.u8(type);
    w.ref(meta->blob);
    w.u8(static_cast<uint8_t>(m));
    w.raw(meta->mime, m);
    w.u8(static_cast<uint8_t>(k));
    w.raw(meta->name, k);
    if (thumb) {
        w.u8(1);
        w.ref(meta->thumb);
        w.be(meta->thumb_width, 2);
        w.be(meta->thumb_height, 2);
    }
    return total;
}

bool parse_file(uint8_t type, const uint8_t *body, size_t len, quorvane_file_meta *meta)
{
    cursor c = open_body(body, len, type);
    take_ref(c, &meta->blob);
    const size_t m = c.u8();
    if (!c.ok || m > QV_MSG_MIME_MAX)
        return false;
    bytes mime = c.take(m);
    bytes name = c.take(c.u8());
    if (!c.ok)
        return false;
    copy_text(meta->mime, mime);
    copy_text(meta->name, name);
    if (c.rest.empty())
        return true;
    if (type != QV_MSG_FILE || c.rest.size() != QV_MSG_THUMB_LEN || c.u8() != 1)
        return false;
    take_ref(c, &meta->thumb);
    meta->thumb_width = static_cast<uint32_t>(c.be(2));
    meta->thumb_height = static_cast<uint32_t>(c.be(2));
    meta->has_thumb = 1;
    return c.done();
}

int decode_file(uint8_t type, const uint8_t *body, size_t len, quorvane_file_meta *meta_out)
{
    return decode_record(meta_out, [&](quorvane_file_meta *m) { return parse_file(type, body, len, m); });
}

template <size_t N> void set_text(char (&dst)[N], std::string_view text)
{
    static_assert(N > 0);
    copy_text(dst, bytes(reinterpret_cast<const uint8_t *>(text.data()), std::min(text.size(), N - 1)));
}

}  // namespace

size_t quorvane_msg_text_encode(const char *text, size_t len, uint8_t *out, size_t cap)
{
    return encode_text(QV_MSG_TEXT, text, len, out, cap);
}

size_t quorvane_msg_system_encode(const char *text, size_t len, uint8_t *out, size_t cap)
{
    return encode_text(QV_MSG_SYSTEM, text, len, out, cap);
}

int quorvane_msg_text_decode(const uint8_t *body, size_t len, const char **text_out, size_t *text_len_out)
{
    return decode_text(QV_MSG_TEXT, body, len, text_out, text_len_out);
}

int quorvane_msg_system_decode(const uint8_t *body, size_t len, const char **text_out, size_t *text_len_out)
{
    return decode_text(QV_MSG_SYSTEM, body, len, text_out, text_len_out);
}

size_t quorvane_msg_profile_encode(const char *name, size_t name_len, const char *about, size_t about_len,
                                   uint8_t *out, size_t cap)
{
    if (!out || (!name && name_len) || (!about && about_len) || name_len > QV_MSG_PROFILE_NAME_MAX ||
        about_len > QV_MSG_PROFILE_ABOUT_MAX || cap < 3 + name_len + about_len)
        return 0;
    out[0] = QV_MSG_PROFILE;
    out[1] = static_cast<uint8_t>(name_len);
    put(out + 2, name, name_len);
    out[2 + name_len] = static_cast<uint8_t>(about_len);
    put(out + 3 + name_len, about, about_len);
    return 3 + name_len + about_len;
}

int quorvane_msg_profile_decode(const uint8_t *body, size_t len, const char **name_out, size_t *name_len_out,
                                const char **about_out, size_t *about_len_out)
{
    cursor c = open_body(body, len, QV_MSG_PROFILE);
    size_t n = c.u8();
    if (n > QV_MSG_PROFILE_NAME_MAX)
        return QV_MSG_BAD;
    bytes name = c.take(n);
    size_t m = c.u8();
    if (m > QV_MSG_PROFILE_ABOUT_MAX)
        return QV_MSG_BAD;
    bytes about = c.take(m);
    if (!c.done())
        return QV_MSG_BAD;
    give_text(name, name_out, name_len_out);
    give_text(about, about_out, about_len_out);
    return 0;
}

size_t quorvane_msg_group_encode(const char *name, size_t len, uint8_t *out, size_t cap)
{
    if (!out || (!name && len) || len > QV_MSG_GROUP_NAME_MAX || cap < 2 + len)
        return 0;
    out[0] = QV_MSG_GROUP;
    out[1] = static_cast<uint8_t>(len);
    put(out + 2, name, len);
    return 2 + len;
}

int quorvane_msg_group_decode(const uint8_t *body, size_t len, const char **name_out, size_t *len_out)
{
    cursor c = open_body(body, len, QV_MSG_GROUP);
    size_t n = c.u8();
    if (n > QV_MSG_GROUP_NAME_MAX)
        return QV_MSG_BAD;
    bytes name = c.take(n);
    if (!c.done())
        return QV_MSG_BAD;
    give_text(name, name_out, len_out);
    return 0;
}

size_t quorvane_msg_delete_encode(const uint8_t *sender_id, uint64_t counter, uint8_t *out, size_t cap)
{
    if (!out || !sender_id || cap < QV_MSG_DELETE_LEN)
        return 0;
    put_target(out, QV_MSG_DELETE, sender_id, counter);
    return QV_MSG_DELETE_LEN;
}

int quorvane_msg_delete_decode(const uint8_t *body, size_t len, uint8_t *sender_id_out, uint64_t *counter_out)
{
    cursor c = open_body(body, len, QV_MSG_DELETE);
    bytes id;
    uint64_t counter;
    if (!take_target(c, &id, &counter) || !c.done())
        return QV_MSG_BAD;
    give_target(id, counter, sender_id_out, counter_out);
    return 0;
}

size_t quorvane_msg_reaction_encode(const uint8_t *sender_id, uint64_t counter, int add, const char *name,
                                    uint8_t *out, size_t cap)
{
    if (!out || !sender_id || !name)
        return 0;
    bytes n = name_of(name);
    if (!name_ok(n) || cap < QV_MSG_REACTION_HDR + n.size())
        return 0;
    put_target(out, QV_MSG_REACTION, sender_id, counter);
    out[QV_MSG_TARGET_LEN] = add ? 1 : 0;
    out[QV_MSG_TARGET_LEN + 1] = static_cast<uint8_t>(n.size());
    put(out + QV_MSG_REACTION_HDR, n.data(), n.size());
    return QV_MSG_REACTION_HDR + n.size();
}

int quorvane_msg_reaction_decode(const uint8_t *body, size_t len, uint8_t *sender_id_out, uint64_t *counter_out,
                                 int *add_out, char *name_buf, size_t name_cap)
{
    cursor c = open_body(body, len, QV_MSG_REACTION);
    bytes id;
    uint64_t counter;
    take_target(c, &id, &counter);
    uint8_t add = c.u8();
    bytes name = c.take(c.u8());
    if (!c.done() || add > 1 || !name_ok(name) || (name_buf && name_cap <= name.size()))
        return QV_MSG_BAD;
    give_target(id, counter, sender_id_out, counter_out);
    if (add_out)
        *add_out = add;
    if (name_buf) {
        put(reinterpret_cast<uint8_t *>(name_buf), name.data(), name.size());
        name_buf[name.size()] = '\0';
    }
    return 0;
}

size_t quorvane_msg_reply_encode(const uint8_t *sender_id, uint64_t counter, const char *text, size_t len,
                                 uint8_t *out, size_t cap)
{
    return encode_target_text(QV_MSG_REPLY, sender_id, counter, text, len, out, cap);
}

size_t quorvane_msg_edit_encode(const uint8_t *sender_id, uint64_t counter, const char *text, size_t len,
                                uint8_t *out, size_t cap)
{
    return encode_target_text(QV_MSG_EDIT, sender_id, counter, text, len, out, cap);
}

int quorvane_msg_reply_decode(const uint8_t *body, size_t len, uint8_t *sender_id_out, uint64_t *counter_out,
                              const char **text_out, size_t *text_len_out)
{
    return decode_target_text(QV_MSG_REPLY, body, len, sender_id_out, counter_out, text_out, text_len_out);
}

int quorvane_msg_edit_decode(const uint8_t *body, size_t len, uint8_t *sender_id_out, uint64_t *counter_out,
                             const char **text_out, size_t *text_len_out)
{
    return decode_target_text(QV_MSG_EDIT, body, len, sender_id_out, counter_out, text_out, text_len_out);
}

size_t quorvane_msg_sticker_encode(const quorvane_sticker *sticker, uint8_t *out, size_t cap)
{
    if (!sticker || !out)
        return 0;
    bytes n = name_of(sticker->name);
    if (!name_ok(n) || cap < QV_MSG_STICKER_HDR + n.size())
        return 0;
    out[0] = QV_MSG_STICKER;
    put_be(out + 1, sticker->version, 4);
    out[5] = static_cast<uint8_t>(n.size());
    put(out + QV_MSG_STICKER_HDR, n.data(), n.size());
    return QV_MSG_STICKER_HDR + n.size();
}

int quorvane_msg_sticker_decode(const uint8_t *body, size_t len, quorvane_sticker *sticker_out)
{
    if (!sticker_out)
        return QV_MSG_BAD;
    cursor c = open_body(body, len, QV_MSG_STICKER);
    uint32_t version = static_cast<uint32_t>(c.be(4));
    bytes name = c.take(c.u8());
    if (!c.done() || !name_ok(name))
        return QV_MSG_BAD;
    sticker_out->version = version;
    put(reinterpret_cast<uint8_t *>(sticker_out->name), name.data(), name.size());
    sticker_out->name[name.size()] = '\0';
    return 0;
}

size_t quorvane_msg_targetdev_encode(const uint8_t *device_key, const uint8_t *inner, size_t inner_len,
                                     uint8_t *out, size_t cap)
{
    if (!device_key || !inner || !out || inner_len < 1 || !inner_type_ok(inner[0]) || cap < QV_MSG_WRAP_HDR ||
        inner_len > cap - QV_MSG_WRAP_HDR)
        return 0;
    uint8_t key[QV_MSG_DEVKEY_LEN];
    std::memcpy(key, device_key, sizeof key);  // moving the inner body may overwrite a key that lies in out
    put(out + QV_MSG_WRAP_HDR, inner, inner_len);
    out[0] = QV_MSG_TARGETDEV;
    put(out + 1, key, sizeof key);
    return QV_MSG_WRAP_HDR + inner_len;
}

int quorvane_msg_targetdev_decode(const uint8_t *body, size_t len, uint8_t *device_key_out,
                                  const uint8_t **inner_out, size_t *inner_len_out)
{
    cursor c = open_body(body, len, QV_MSG_TARGETDEV);
    bytes key = c.take(QV_MSG_DEVKEY_LEN);
    if (!c.ok || c.rest.empty() || !inner_type_ok(c.rest[0]))
        return QV_MSG_BAD;
    if (device_key_out)
        put(device_key_out, key.data(), QV_MSG_DEVKEY_LEN);
    if (inner_out)
        *inner_out = c.rest.data();
    if (inner_len_out)
        *inner_len_out = c.rest.size();
    return 0;
}

size_t quorvane_msg_file_encode(const quorvane_file_meta *meta, uint8_t *out, size_t cap)
{
    return encode_file(QV_MSG_FILE, meta, out, cap);
}

size_t quorvane_msg_avatar_encode(const quorvane_file_meta *meta, uint8_t *out, size_t cap)
{
    return encode_file(QV_MSG_AVATAR, meta, out, cap);
}

size_t quorvane_msg_group_avatar_encode(const quorvane_file_meta *meta, uint8_t *out, size_t cap)
{
    return encode_file(QV_MSG_GROUP_AVATAR, meta, out, cap);
}

int quorvane_msg_file_decode(const uint8_t *body, size_t len, quorvane_file_meta *meta_out)
{
    return decode_file(QV_MSG_FILE, body, len, meta_out);
}

int quorvane_msg_avatar_decode(const uint8_t *body, size_t len, quorvane_file_meta *meta_out)
{
    return decode_file(QV_MSG_AVATAR, body, len, meta_out);
}

int quorvane_msg_group_avatar_decode(const uint8_t *body, size_t len, quorvane_file_meta *meta_out)
{
    return decode_file(QV_MSG_GROUP_AVATAR, body, len, meta_out);
}

size_t quorvane_msg_voice_encode(const quorvane_voice_meta *voice, uint8_t *out, size_t cap)
{
    if (!voice || !out || voice->peak_count > QV_MSG_VOICE_PEAKS_MAX || cap < QV_MSG_VOICE_HDR + voice->peak_count)
        return 0;
    writer w{out};
    w.u8(QV_MSG_VOICE);
    w.ref(voice->file.blob);
    w.be(voice->duration_ms, 4);
    w.be(voice->sample_rate, 4);
    w.u8(voice->peak_count);
    w.raw(voice->peaks, voice->peak_count);
    return QV_MSG_VOICE_HDR + voice->peak_count;
}

int quorvane_msg_voice_decode(const uint8_t *body, size_t len, quorvane_voice_meta *voice_out)
{
    return decode_record(voice_out, [&](quorvane_voice_meta *v) {
        cursor c = open_body(body, len, QV_MSG_VOICE);
        take_ref(c, &v->file.blob);
        v->duration_ms = static_cast<uint32_t>(c.be(4));
        v->sample_rate = static_cast<uint32_t>(c.be(4));
        const size_t p = c.u8();
        if (!c.ok || p > QV_MSG_VOICE_PEAKS_MAX)
            return false;
        take_raw(c, v->peaks, p);
        if (!c.done())
            return false;
        v->peak_count = static_cast<uint8_t>(p);
        // the body carries no MIME type: every voice note is in the one voice codec
        set_text(v->file.mime, QV_MSG_VOICE_MIME);
        return true;
    });
}

size_t quorvane_msg_link_encode(const quorvane_link_meta *link, uint8_t *out, size_t cap)
{
    if (!link || !out)
        return 0;
    const size_t u = strnlen(link->url, QV_MSG_LINK_URL_MAX);
    const size_t t = strnlen(link->title, QV_MSG_LINK_TITLE_MAX);
    const size_t d = strnlen(link->description, QV_MSG_LINK_DESC_MAX);
    const bool image = link->has_image != 0;
    const size_t total = QV_MSG_LINK_HDR + u + t + d + (image ? QV_MSG_LINK_IMAGE_LEN : 0);
    if (cap < total)
        return 0;
    writer w{out};
    w.u8(QV_MSG_LINK);
    w.be(u, 2);
    w.raw(link->url, u);
    w.be(t, 2);
    w.raw(link->title, t);
    w.be(d, 2);
    w.raw(link->description, d);
    w.u8(image ? 1 : 0);
    if (image) {
        w.ref(link->image.blob);
        w.be(link->image_width, 4);
        w.be(link->image_height, 4);
    }
    return total;
}

int quorvane_msg_link_decode(const uint8_t *body, size_t len, quorvane_link_meta *link_out)
{
    return decode_record(link_out, [&](quorvane_link_meta *l) {
        cursor c = open_body(body, len, QV_MSG_LINK);
        const struct { char *dst; size_t max; } texts[] = {
            {l->url, QV_MSG_LINK_URL_MAX}, {l->title, QV_MSG_LINK_TITLE_MAX}, {l->description, QV_MSG_LINK_DESC_MAX}};
        for (const auto &f : texts) {
            const size_t n = c.be(2);
            if (n > f.max)
                return false;
            bytes text = c.take(n);
            if (!c.ok)
                return false;
            copy_text(f.dst, text);
        }
        const uint8_t flag = c.u8();
        if (flag) {
            take_ref(c, &l->image.blob);
            l->image_width = static_cast<uint32_t>(c.be(4));
            l->image_height = static_cast<uint32_t>(c.be(4));
        }
        if (!c.done())
            return false;
        l->has_image = flag ? 1 : 0;
        // the body carries no MIME type: a preview image is always sent as PNG
        set_text(l->image.mime, QV_MSG_LINK_IMAGE_MIME);
        return true;
    });
}
