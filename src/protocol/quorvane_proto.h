// Wire framing of the server connection: 8-byte frame headers, the buffer that
// cuts whole frames out of the byte stream, and the TLV records of every payload.
// Results: 0 ok, -1 output too small, out of memory or null frame argument, -2 need
// more bytes, -3 bad magic, malformed record or null TLV argument, -4 over 1 MiB, -5 tag absent or end.
// Handed-out pointers point into the caller's input or the frame buffer's own block.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t   QV_FRAME_HEADER_LEN  = 8;
constexpr uint32_t QV_FRAME_MAX_PAYLOAD = 1u << 20;   // exactly 1 MiB is allowed
constexpr uint8_t  QV_FRAME_VERSION     = 1;
constexpr uint8_t  QV_FRAME_MAGIC0      = 'H';
constexpr uint8_t  QV_FRAME_MAGIC1      = 'R';
constexpr size_t   QV_TLV_HEAD_LEN      = 5;           // tag + 32-bit big-endian length
constexpr size_t   QV_SYNC_CONV_ID_LEN  = 16;
constexpr size_t   QV_SYNC_CURSOR_ENTRY_LEN   = QV_SYNC_CONV_ID_LEN + 8;
constexpr size_t   QV_SYNC_CURSOR_MAX_ENTRIES = 4096;  // one per conversation in a sync request

static_assert(QV_SYNC_CURSOR_ENTRY_LEN == 24);
static_assert(uint64_t{QV_FRAME_MAX_PAYLOAD} + QV_FRAME_HEADER_LEN <= UINT32_MAX);  // a whole frame's length never wraps
// A full cursor table must fit, as one record, into one frame.
static_assert(QV_SYNC_CURSOR_MAX_ENTRIES * QV_SYNC_CURSOR_ENTRY_LEN + QV_TLV_HEAD_LEN <= QV_FRAME_MAX_PAYLOAD);

struct quorvane_frame_header {
    uint8_t  version;
    uint8_t  type;
    uint32_t length;  // payload bytes after the header
};

// Reassembly state of one connection; embed it, quorvane_framebuf_init() it,
// and release its block with quorvane_framebuf_free().
struct quorvane_framebuf {
    uint8_t  header[QV_FRAME_HEADER_LEN];  // header bytes collected so far
    size_t   header_count;
    int      in_body;      // header accepted and copied to the block
    int      delivered;    // the previous call handed out a frame
    uint32_t payload_len;
    uint8_t *frame;        // header + payload of the current frame; only grows
    size_t   capacity;
    size_t   frame_count;  // bytes of the current frame in the block
};

// Frame header and encoder
[[nodiscard]] int quorvane_frame_parse_header(const uint8_t *bytes, size_t available, quorvane_frame_header *out);  // -2 short, -3 bad magic, -4 too long; version and type untested
[[nodiscard]] int quorvane_frame_encode(uint8_t type, const uint8_t *payload, size_t payload_len, uint8_t *out, size_t out_cap, size_t *out_len);  // -4 over 1 MiB, -1 out_cap < payload_len + 8
[[nodiscard]] int quorvane_frame_type_known(uint8_t type);  // 1 for 0x01-0x53 and 0x81-0xBC, else 0

// Frame buffer
// - consume moves *in and *in_len together by exactly the bytes it took and
//   never takes a byte past the current frame: call it while input remains.
// - a delivered frame lives in the buffer's block until the next consume or free.
// - -3 and -4 are sticky (the stream is broken); -1 retries the growth next call.
void              quorvane_framebuf_init(quorvane_framebuf *fb);
void              quorvane_framebuf_free(quorvane_framebuf *fb);  // also forgets a partial frame: the buffer starts afresh
[[nodiscard]] int quorvane_framebuf_consume(quorvane_framebuf *fb, const uint8_t **in, size_t *in_len, const uint8_t **frame_out, size_t *frame_len_out);  // 0 one frame, -2 all input taken

// TLV writer: records go into the caller's buffer; the first overflow sticks,
// so a builder tests only the result of finish.
struct quorvane_tlv_writer {
    uint8_t *buf;  // not owned
    size_t   capacity;
    size_t   length;
    int      overflow;
};

void              quorvane_tlv_writer_init(quorvane_tlv_writer *w, uint8_t *buffer, size_t capacity);
int               quorvane_tlv_put(quorvane_tlv_writer *w, uint8_t tag, const void *value, size_t value_len);  // value may be null when value_len is 0
int               quorvane_tlv_put_u8(quorvane_tlv_writer *w, uint8_t tag, uint8_t value);
int               quorvane_tlv_put_u16(quorvane_tlv_writer *w, uint8_t tag, uint16_t value);
int               quorvane_tlv_put_u32(quorvane_tlv_writer *w, uint8_t tag, uint32_t value);
int               quorvane_tlv_put_u64(quorvane_tlv_writer *w, uint8_t tag, uint64_t value);
[[nodiscard]] int quorvane_tlv_writer_finish(const quorvane_tlv_writer *w, size_t *out_len);  // -3 if any put overflowed

// TLV reader and finders
// - 0 found, -5 end of records or tag absent, -3 truncated record or wrong length.
// - values point into the given buffer; outputs are written only on 0 and may be null.
// - finders stop at the first record with the tag and never look past it.
struct quorvane_tlv_reader {
    const uint8_t *buf;  // not owned
    size_t         length;
    size_t         position;
};

void              quorvane_tlv_reader_init(quorvane_tlv_reader *r, const uint8_t *buffer, size_t length);
[[nodiscard]] int quorvane_tlv_next(quorvane_tlv_reader *r, uint8_t *tag_out, const uint8_t **value_out, size_t *len_out);  // on -3 the position stays
[[nodiscard]] int quorvane_tlv_find(const uint8_t *buffer, size_t length, uint8_t tag, const uint8_t **value_out, size_t *len_out);
[[nodiscard]] int quorvane_tlv_find_bytes(const uint8_t *buffer, size_t length, uint8_t tag, size_t min_len, size_t max_len, const uint8_t **value_out, size_t *len_out);
[[nodiscard]] int quorvane_tlv_find_fixed(const uint8_t *buffer, size_t length, uint8_t tag, size_t exact_len, const uint8_t **value_out);

// Big-endian getters: -3 unless len is exactly the width.
[[nodiscard]] int quorvane_tlv_get_u8(const uint8_t *value, size_t len, uint8_t *out);
[[nodiscard]] int quorvane_tlv_get_u16(const uint8_t *value, size_t len, uint16_t *out);
[[nodiscard]] int quorvane_tlv_get_u32(const uint8_t *value, size_t len, uint32_t *out);
[[nodiscard]] int quorvane_tlv_get_u64(const uint8_t *value, size_t len, uint64_t *out);

// Sync cursors: a table of 24-byte entries (16-byte conversation id, u64 cursor).
[[nodiscard]] uint64_t quorvane_sync_cursor_lookup(const uint8_t *table, size_t table_len, const uint8_t *conversation_id);  // first match; 0 if none or null; a partial last entry is ignored
