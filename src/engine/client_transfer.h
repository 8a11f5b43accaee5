// Blob transfers and emoji-pack sync inside the signed-in session: one upload
// or download of an already encrypted blob at a time, and the two custom-emoji
// packs brought into their caches page by page. Both are request-and-reply
// loops the session pump drives; neither has a timer or retries on its own.
// Results: 0 ok, -1 refused. The blob data and the download buffer stay the
// caller's and must outlive the transfer; the session owns its chunk and page
// buffers and frees them (the page buffer wiped) with itself.
#pragma once

#include "quorvane_emojipack.h"

#include <cstddef>
#include <cstdint>

struct quorvane_cs;

constexpr size_t   QV_BLOB_CHUNK_MAX     = 65552;        // one encrypted 64 KiB blob chunk with its tag
constexpr size_t   QV_BLOB_CHUNK_HALF    = 65616;        // room for a chunk's TLV payload, or for its encoded frame
constexpr size_t   QV_BLOB_CHUNK_BUF     = 2 * QV_BLOB_CHUNK_HALF;
constexpr size_t   QV_EMOJI_DATA_MAX     = 65536;        // bytes of page data in one frame 145
constexpr size_t   QV_EMOJI_PAGE_START   = 65536;        // the page buffer's first size; it doubles from there
constexpr size_t   QV_EMOJI_PAGE_LIMIT   = 8388608;      // 8 MiB: a page that would pass it aborts the update

enum quorvane_blob_mode : uint32_t { QV_BLOB_IDLE = 0, QV_BLOB_UPLOAD = 1, QV_BLOB_DOWNLOAD = 2 };

struct cs_blob_state {
    uint32_t mode;
    int finished, success;
    uint8_t id[16];
    int accepted;            // upload accepted by the server, or the id of a download
    // upload
    const uint8_t *data;     // borrowed
    uint64_t total, sent;
    int begin_sent, end_sent, resume;
    uint8_t *chunk_buf;      // QV_BLOB_CHUNK_BUF bytes, from the first upload until the session is freed
    // download
    uint8_t *buf;            // borrowed
    uint64_t capacity, received, dl_total;
    int in_flight;
    uint64_t offset_requested;
};

struct cs_emoji_state {
    uint32_t sync_bits;      // bit 0 pack 0, bit 1 pack 1
    uint32_t failed;         // same bits; cleared by the next sign-in
    uint8_t pack;            // the pack being updated
    int updating, page_active;
    char page[QV_EMOJI_PAGE_NAME_MAX + 1];
    uint8_t *page_buf;       // kept from page to page; wiped when it grows and when the session is freed
    size_t page_cap, page_got;
    uint64_t page_size;      // 0 until the page end told it
    int page_in_flight;
    uint64_t offset_requested;
};

struct cs_transfer_state {
    cs_blob_state blob;
    cs_emoji_state emoji;
};

// Blob transfers
[[nodiscard]] int quorvane_cs_blob_upload(quorvane_cs *cs, const uint8_t *data, uint64_t size, const uint8_t resume_id[16]);  // resume id may be null
int  quorvane_cs_blob_upload_id(const quorvane_cs *cs, uint8_t out[16]);   // 1 once the upload was accepted, else 0
[[nodiscard]] int quorvane_cs_blob_download(quorvane_cs *cs, const uint8_t id[16], uint8_t *buf, uint64_t capacity);
int  quorvane_cs_blob_poll(const quorvane_cs *cs, int *finished, int *success, uint8_t id[16], uint64_t *progress);  // 0 idle; outputs may be null
void quorvane_cs_blob_reset(quorvane_cs *cs);                                // the caller's data and buffer are forgotten, not freed

// Emoji-pack sync
[[nodiscard]] int quorvane_cs_pack_sync(quorvane_cs *cs, int pack);          // -1: not signed in, no cache, or the pack failed this session
int  quorvane_cs_emoji_sync(quorvane_cs *cs);                                // pack 0; always 0
int  quorvane_cs_emoji_busy(const quorvane_cs *cs);                          // 0 without any cache
int  quorvane_cs_pack_reply_mismatch(const uint8_t *frame, size_t len, int expected_pack, int in_progress);  // 1 when the frame names the other pack

// Session internals: the pump steps (blob first, then the packs), the replies,
// the sign-in hook and the release at free.
void blob_pump(quorvane_cs *cs);
void emoji_pump(quorvane_cs *cs);
int  cs_transfer_frame(quorvane_cs *cs, uint8_t type, const uint8_t *p, size_t len);  // 1 when the type is one of these replies
void cs_transfer_signed_in(quorvane_cs *cs);   // clears the failed mask and asks for each configured pack
void cs_transfer_release(quorvane_cs *cs);     // frees both buffers and drops a pack download left half done
