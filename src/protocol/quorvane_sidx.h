// Search-index records ("QVSI"): the archived messages of one conversation as
// one flat byte string, a 28-byte header and then one 80-byte entry plus text
// per message, integers big-endian. Encoding writes into the caller's buffer;
// reading copies nothing: entries point into the record, which must outlive them.
// Results: 0 ok, -1 refused; quorvane_sidx_next 1 entry, 0 end, -1 malformed.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t   QV_SIDX_HEADER_LEN = 28;
constexpr size_t   QV_SIDX_ENTRY_LEN  = 80;            // fixed part; the text follows it
constexpr size_t   QV_SIDX_CONV_LEN   = 16;
constexpr uint32_t QV_SIDX_COUNT_MAX  = 20000;
constexpr uint32_t QV_SIDX_TEXT_MAX   = 4170;          // per entry
constexpr size_t   QV_SIDX_RECORD_MAX = 16777216;      // whole record, header included
constexpr uint8_t  QV_SIDX_VERSION    = 1;

static_assert(QV_SIDX_HEADER_LEN == 4 + 1 + 3 + QV_SIDX_CONV_LEN + 4);
static_assert(QV_SIDX_ENTRY_LEN == 8 + 8 + 8 + 16 + 32 + 1 + 1 + 2 + 4);

// One message; the input of encoding and the output of reading.
struct quorvane_sidx_entry {
    uint8_t     author[16];         // user id
    uint8_t     author_device[32];
    uint64_t    position;           // server position
    uint64_t    msg_id;
    uint64_t    time;               // milliseconds since the epoch
    uint8_t     type;               // message type of the body
    uint8_t     edited;
    const char *text;               // no terminator; may be null when text_len is 0
    size_t      text_len;
};

// Reading state; only the functions below move it.
struct quorvane_sidx_cursor {
    const uint8_t *next;            // next entry
    const uint8_t *end;             // end of the record
    uint8_t        conv[QV_SIDX_CONV_LEN];
    uint32_t       left;            // entries still to read
};

// Writing
// - a refusal writes nothing, neither into the output nor into *written.
[[nodiscard]] size_t quorvane_sidx_encoded_size(size_t count, size_t text_total);  // 0 when over a limit
[[nodiscard]] int    quorvane_sidx_encode(const uint8_t conv[16], const quorvane_sidx_entry *entries, size_t count,
                                          uint8_t *out, size_t cap, size_t *written);

// Reading
// - a failing entry leaves the cursor where it was; the cursor is set only on 0.
[[nodiscard]] int    quorvane_sidx_decode(const uint8_t *rec, size_t len, quorvane_sidx_cursor *cur);  // checks the header only
[[nodiscard]] int    quorvane_sidx_next(quorvane_sidx_cursor *cur, quorvane_sidx_entry *e);
uint32_t             quorvane_sidx_left(const quorvane_sidx_cursor *cur);                 // 0 for null
const uint8_t       *quorvane_sidx_conv(const quorvane_sidx_cursor *cur);                 // 16 bytes, or null
