#include "quorvane_sidx.h"

#include <cstring>

#include "quorvane_bytes.h"

using namespace qv_bytes;

namespace {

constexpr uint8_t MAGIC[4] = {'Q', 'V', 'S', 'I'};

// Offsets inside an entry.
constexpr size_t E_POSITION = 0, E_MSG_ID = 8, E_TIME = 16, E_AUTHOR = 24, E_DEVICE = 40, E_TYPE = 72,
                 E_EDITED = 73, E_RESERVED = 74, E_TEXT_LEN = 76;
static_assert(E_TEXT_LEN + 4 == QV_SIDX_ENTRY_LEN);

// The largest record fits easily in 64 bits: no sum below can wrap.
static_assert(uint64_t{QV_SIDX_COUNT_MAX} * (QV_SIDX_ENTRY_LEN + QV_SIDX_TEXT_MAX) < UINT64_MAX / 2);

}  // namespace

size_t quorvane_sidx_encoded_size(size_t count, size_t text_total) {
    if (count > QV_SIDX_COUNT_MAX || text_total > QV_SIDX_RECORD_MAX) return 0;
    uint64_t size = QV_SIDX_HEADER_LEN + uint64_t{QV_SIDX_ENTRY_LEN} * count + text_total;
    return size > QV_SIDX_RECORD_MAX ? 0 : static_cast<size_t>(size);
}

int quorvane_sidx_encode(const uint8_t conv[16], const quorvane_sidx_entry *entries, size_t count, uint8_t *out,
                         size_t cap, size_t *written) {
    if (!out || !written || !conv || (!entries && count) || count > QV_SIDX_COUNT_MAX) return -1;
    // Everything is checked before the first byte goes out, so a refused
    // record never leaves half an index in the caller's buffer.
    uint64_t text_total = 0;
    for (size_t i = 0; i < count; i++) {
        const quorvane_sidx_entry &e = entries[i];
        if (e.text_len > QV_SIDX_TEXT_MAX || (e.text_len && !e.text)) return -1;
        text_total += e.text_len;
        if (text_total > QV_SIDX_RECORD_MAX) return -1;
    }
    size_t size = quorvane_sidx_encoded_size(count, static_cast<size_t>(text_total));
    if (size == 0 || size > cap) return -1;

    std::memcpy(out, MAGIC, sizeof MAGIC);
    out[4] = QV_SIDX_VERSION;
    out[5] = out[6] = out[7] = 0;
    std::memcpy(out + 8, conv, QV_SIDX_CONV_LEN);
    put_be(out + 24, count, 4);
    uint8_t *p = out + QV_SIDX_HEADER_LEN;
    for (size_t i = 0; i < count; i++) {
        const quorvane_sidx_entry &e = entries[i];
        put_be(p + E_POSITION, e.position, 8);
        put_be(p + E_MSG_ID, e.msg_id, 8);
        put_be(p + E_TIME, e.time, 8);
        std::memcpy(p + E_AUTHOR, e.author, sizeof e.author);
        std::memcpy(p + E_DEVICE, e.author_device, sizeof e.author_device);
        p[E_TYPE] = e.type;
        p[E_EDITED] = e.edited;
        p[E_RESERVED] = p[E_RESERVED + 1] = 0;
        put_be(p + E_TEXT_LEN, e.text_len, 4);
        p += QV_SIDX_ENTRY_LEN;
        if (e.text_len) std::memcpy(p, e.text, e.text_len);
        p += e.text_len;
    }
    *written = size;
    return 0;
}

int quorvane_sidx_decode(const uint8_t *rec, size_t len, quorvane_sidx_cursor *cur) {
    if (!rec || !cur || len < QV_SIDX_HEADER_LEN || len > QV_SIDX_RECORD_MAX) return -1;
    if (std::memcmp(rec, MAGIC, sizeof MAGIC) != 0 || rec[4] != QV_SIDX_VERSION || rec[5] || rec[6] || rec[7])
        return -1;
    uint64_t count = get_be(rec + 24, 4);
    if (count > QV_SIDX_COUNT_MAX) return -1;
    cur->next = rec + QV_SIDX_HEADER_LEN;
    cur->end = rec + len;
    std::memcpy(cur->conv, rec + 8, QV_SIDX_CONV_LEN);
    cur->left = static_cast<uint32_t>(count);
    return 0;
}

int quorvane_sidx_next(quorvane_sidx_cursor *cur, quorvane_sidx_entry *e) {
    if (!cur || !e) return -1;
    if (cur->left == 0) return 0;
    const uint8_t *p = cur->next;
    size_t room = static_cast<size_t>(cur->end - p);
    if (room < QV_SIDX_ENTRY_LEN || p[E_RESERVED] || p[E_RESERVED + 1]) return -1;
    uint64_t text_len = get_be(p + E_TEXT_LEN, 4);
    if (text_len > QV_SIDX_TEXT_MAX || text_len > room - QV_SIDX_ENTRY_LEN) return -1;

    std::memcpy(e->author, p + E_AUTHOR, sizeof e->author);
    std::memcpy(e->author_device, p + E_DEVICE, sizeof e->author_device);
    e->position = get_be(p + E_POSITION, 8);
    e->msg_id = get_be(p + E_MSG_ID, 8);
    e->time = get_be(p + E_TIME, 8);
    e->type = p[E_TYPE];
    e->edited = p[E_EDITED];
    e->text = reinterpret_cast<const char *>(p + QV_SIDX_ENTRY_LEN);
    e->text_len = static_cast<size_t>(text_len);
    cur->next = p + QV_SIDX_ENTRY_LEN + text_len;
    cur->left--;
    return 1;
}

uint32_t quorvane_sidx_left(const quorvane_sidx_cursor *cur) { return cur ? cur->left : 0; }

const uint8_t *quorvane_sidx_conv(const quorvane_sidx_cursor *cur) { return cur ? cur->conv : nullptr; }
