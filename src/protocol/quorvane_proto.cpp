// Frame header, frame reassembly and TLV records of the server connection.
#include "quorvane_proto.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <span>

#include "n_log.h"
#include "quorvane_bytes.h"

using namespace qv_bytes;

namespace {

// Reads the record at `pos` of `run`: 0 with its tag and value, -5 at the
// exact end, -3 when its head or value would run past the end.
int read_record(std::span<const uint8_t> run, size_t pos, uint8_t *tag, std::span<const uint8_t> *value) {
    if (pos >= run.size()) return -5;
    const size_t left = run.size() - pos;
    if (left < QV_TLV_HEAD_LEN) return -3;
    const uint64_t vlen = get_be(run.data() + pos + 1, 4);
    if (vlen > left - QV_TLV_HEAD_LEN) return -3;
    *tag = run[pos];
    *value = run.subspan(pos + QV_TLV_HEAD_LEN, static_cast<size_t>(vlen));
    return 0;
}

int get_exact(const uint8_t *value, size_t len, size_t width, uint64_t *out) {
    if (!value || len != width) return -3;
    *out = get_be(value, width);
    return 0;
}

}  // namespace

int quorvane_frame_parse_header(const uint8_t *bytes, size_t available, quorvane_frame_header *out) {
    if (!out || (!bytes && available)) return -1;
    if (available < QV_FRAME_HEADER_LEN) return -2;
    if (bytes[0] != QV_FRAME_MAGIC0 || bytes[1] != QV_FRAME_MAGIC1) return -3;
    const uint32_t length = static_cast<uint32_t>(get_be(bytes + 4, 4));
    if (length > QV_FRAME_MAX_PAYLOAD) return -4;
    out->version = bytes[2];
    out->type = bytes[3];
    out->length = length;
    return 0;
}

int quorvane_frame_encode(uint8_t type, const uint8_t *payload, size_t payload_len, uint8_t *out, size_t out_cap,
                          size_t *out_len) {
    if (payload_len > QV_FRAME_MAX_PAYLOAD) return -4;
    if (!out || !out_len || (!payload && payload_len) || out_cap < payload_len + QV_FRAME_HEADER_LEN) return -1;
    out[0] = QV_FRAME_MAGIC0;
    out[1] = QV_FRAME_MAGIC1;
    out[2] = QV_FRAME_VERSION;
    out[3] = type;
    put_be(out + 4, payload_len, 4);
    // memmove: a caller may build the payload in place right behind the header
    if (payload_len) std::memmove(out + QV_FRAME_HEADER_LEN, payload, payload_len);
    *out_len = payload_len + QV_FRAME_HEADER_LEN;
    return 0;
}

int quorvane_frame_type_known(uint8_t type) {
    return (type >= 0x01 && type <= 0x53) || (type >= 0x81 && type <= 0xBC);
}

void quorvane_framebuf_init(quorvane_framebuf *fb) {
    if (fb) *fb = quorvane_framebuf{};
}

// The partial frame, if any, lived in the block: keeping the counters after
// releasing it would let the next consume copy into a null block, or splice
// later stream bytes onto a lost frame. So the buffer starts afresh.
void quorvane_framebuf_free(quorvane_framebuf *fb) {
    if (!fb) return;
    std::free(fb->frame);
    *fb = quorvane_framebuf{};
}

int quorvane_framebuf_consume(quorvane_framebuf *fb, const uint8_t **in, size_t *in_len, const uint8_t **frame_out,
                              size_t *frame_len_out) {
    if (!fb || !in || !in_len || !frame_out || !frame_len_out || (!*in && *in_len)) return -1;

    if (fb->delivered) {
        fb->header_count = 0;
        fb->frame_count = 0;
        fb->in_body = 0;
        fb->delivered = 0;
        fb->payload_len = 0;
        if (*in_len == 0) return -2;
    }

    if (!fb->in_body) {
        const size_t take = std::min(QV_FRAME_HEADER_LEN - fb->header_count, *in_len);
        if (take) std::memcpy(fb->header + fb->header_count, *in, take);
        fb->header_count += take;
        *in += take;
        *in_len -= take;
        if (fb->header_count < QV_FRAME_HEADER_LEN) return -2;

        // A refused header stays collected but not accepted, so every later
        // call gives the same error without taking input.
        quorvane_frame_header h;
        const int rc = quorvane_frame_parse_header(fb->header, QV_FRAME_HEADER_LEN, &h);
        if (rc != 0) return rc;

        const size_t need = h.length + QV_FRAME_HEADER_LEN;
        if (fb->capacity < need) {
            uint8_t *grown = reinterpret_cast<uint8_t *>(n_realloc(fb->frame, fb->frame, need));
            if (!grown) return -1;  // old block kept; the next call parses the header again
            fb->frame = grown;
            fb->capacity = need;
        }
        fb->payload_len = h.length;
        std::memcpy(fb->frame, fb->header, QV_FRAME_HEADER_LEN);
        fb->frame_count = QV_FRAME_HEADER_LEN;
        fb->in_body = 1;
    }

    const size_t total = fb->payload_len + QV_FRAME_HEADER_LEN;
    const size_t take = std::min(*in_len, total - fb->frame_count);
    if (take) std::memcpy(fb->frame + fb->frame_count, *in, take);
    fb->frame_count += take;
    *in += take;
    *in_len -= take;
    if (fb->frame_count < total) return -2;

    *frame_out = fb->frame;
    *frame_len_out = total;
    fb->delivered = 1;
    return 0;
}

void quorvane_tlv_writer_init(quorvane_tlv_writer *w, uint8_t *buffer, size_t capacity) {
    if (!w) return;
    w->buf = buffer;
    w->capacity = buffer ? capacity : 0;
    w->length = 0;
    w->overflow = 0;
}

int quorvane_tlv_put(quorvane_tlv_writer *w, uint8_t tag, const void *value, size_t value_len) {
    if (!w) return -3;
    if (w->length > w->capacity) w->overflow = 1;  // a writer not set up by init
    if (w->overflow) return -3;
    const size_t room = w->capacity - w->length;
    // The length field holds 32 bits, and room is compared without adding to
    // value_len so that no length can wrap into "fits".
    if ((!value && value_len) || value_len > UINT32_MAX || room < QV_TLV_HEAD_LEN ||
        value_len > room - QV_TLV_HEAD_LEN) {
        w->overflow = 1;
        return -3;
    }
    uint8_t *p = w->buf + w->length;
    p[0] = tag;
    put_be(p + 1, value_len, 4);
    if (value_len) std::memcpy(p + QV_TLV_HEAD_LEN, value, value_len);
    w->length += value_len + QV_TLV_HEAD_LEN;
    return 0;
}

namespace {
int put_uint(quorvane_tlv_writer *w, uint8_t tag, uint64_t value, size_t width) {
    uint8_t be[8];
    put_be(be, value, width);
    return quorvane_tlv_put(w, tag, be, width);
}
}  // namespace

int quorvane_tlv_put_u8(quorvane_tlv_writer *w, uint8_t tag, uint8_t value) { return put_uint(w, tag, value, 1); }
int quorvane_tlv_put_u16(quorvane_tlv_writer *w, uint8_t tag, uint16_t value) { return put_uint(w, tag, value, 2); }
int quorvane_tlv_put_u32(quorvane_tlv_writer *w, uint8_t tag, uint32_t value) { return put_uint(w, tag, value, 4); }
int quorvane_tlv_put_u64(quorvane_tlv_writer *w, uint8_t tag, uint64_t value) { return put_uint(w, tag, value, 8); }

int quorvane_tlv_writer_finish(const quorvane_tlv_writer *w, size_t *out_len) {
    if (!w || w->overflow) return -3;
    if (out_len) *out_len = w->length;
    return 0;
}

void quorvane_tlv_reader_init(quorvane_tlv_reader *r, const uint8_t *buffer, size_t length) {
    if (!r) return;
    r->buf = buffer;
    r->length = length;
    r->position = 0;
}

int quorvane_tlv_next(quorvane_tlv_reader *r, uint8_t *tag_out, const uint8_t **value_out, size_t *len_out) {
    if (!r || (!r->buf && r->length)) return -3;
    uint8_t tag;
    std::span<const uint8_t> value;
    const int rc = read_record({r->buf, r->length}, r->position, &tag, &value);
    if (rc != 0) return rc;
    r->position += QV_TLV_HEAD_LEN + value.size();
    if (tag_out) *tag_out = tag;
    if (value_out) *value_out = value.data();
    if (len_out) *len_out = value.size();
    return 0;
}

int quorvane_tlv_find_bytes(const uint8_t *buffer, size_t length, uint8_t tag, size_t min_len, size_t max_len,
                            const uint8_t **value_out, size_t *len_out) {
    if (!buffer && length) return -3;
    const std::span<const uint8_t> run{buffer, length};
    for (size_t pos = 0;;) {
        uint8_t t;
        std::span<const uint8_t> value;
        const int rc = read_record(run, pos, &t, &value);
        if (rc != 0) return rc;
        if (t == tag) {
            // The first occurrence decides: a later, well-sized duplicate is not a fallback.
            if (value.size() < min_len || value.size() > max_len) return -3;
            if (value_out) *value_out = value.data();
            if (len_out) *len_out = value.size();
            return 0;
        }
        pos += QV_TLV_HEAD_LEN + value.size();
    }
}

int quorvane_tlv_find(const uint8_t *buffer, size_t length, uint8_t tag, const uint8_t **value_out, size_t *len_out) {
    return quorvane_tlv_find_bytes(buffer, length, tag, 0, SIZE_MAX, value_out, len_out);
}

int quorvane_tlv_find_fixed(const uint8_t *buffer, size_t length, uint8_t tag, size_t exact_len,
                            const uint8_t **value_out) {
    return quorvane_tlv_find_bytes(buffer, length, tag, exact_len, exact_len, value_out, nullptr);
}

int quorvane_tlv_get_u8(const uint8_t *value, size_t len, uint8_t *out) {
    uint64_t v;
    if (!out || get_exact(value, len, 1, &v) != 0) return -3;
    *out = static_cast<uint8_t>(v);
    return 0;
}

int quorvane_tlv_get_u16(const uint8_t *value, size_t len, uint16_t *out) {
    uint64_t v;
    if (!out || get_exact(value, len, 2, &v) != 0) return -3;
    *out = static_cast<uint16_t>(v);
    return 0;
}

int quorvane_tlv_get_u32(const uint8_t *value, size_t len, uint32_t *out) {
    uint64_t v;
    if (!out || get_exact(value, len, 4, &v) != 0) return -3;
    *out = static_cast<uint32_t>(v);
    return 0;
}

int quorvane_tlv_get_u64(const uint8_t *value, size_t len, uint64_t *out) {
    if (!out) return -3;
    return get_exact(value, len, 8, out);
}

uint64_t quorvane_sync_cursor_lookup(const uint8_t *table, size_t table_len, const uint8_t *conversation_id) {
    if (!table || !conversation_id) return 0;
    const size_t entries = table_len / QV_SYNC_CURSOR_ENTRY_LEN;
    for (size_t i = 0; i < entries; i++) {
        const uint8_t *e = table + i * QV_SYNC_CURSOR_ENTRY_LEN;
        if (std::memcmp(e, conversation_id, QV_SYNC_CONV_ID_LEN) == 0) return get_be(e + QV_SYNC_CONV_ID_LEN, 8);
    }
    return 0;
}
