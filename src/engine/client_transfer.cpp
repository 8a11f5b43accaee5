// Blob transfers and emoji-pack sync: the requests the pump sends and the
// replies that move them on.
#include "client_transfer.h"

#include "client_emojicache.h"
#include "client_session.h"
#include "n_log.h"
#include "quorvane_crypto.h"
#include "quorvane_proto.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// Requests.
constexpr uint8_t FT_UPLOAD_BEGIN = 9, FT_UPLOAD_CHUNK = 10, FT_UPLOAD_END = 11, FT_DOWNLOAD_STEP = 12, FT_PACK_QUERY = 18,
                  FT_PAGE_STEP = 19;
// Replies.
constexpr uint8_t FA_BLOB_DATA = 10, FA_UPLOAD_ACCEPTED = 140, FA_BLOB_STEP_DONE = 141, FA_PACK_MANIFEST = 143,
                  FA_PACK_CURRENT = 144, FA_PAGE_DATA = 145, FA_PAGE_END = 146, FA_PACK_CHANGED = 147;
constexpr uint8_t TAG_BLOB = 23, TAG_SIZE = 24, TAG_DATA = 25, TAG_OFFSET = 26, TAG_LIMIT = 27, TAG_VERSION = 29,
                  TAG_MANIFEST = 30, TAG_SIGNATURE = 31, TAG_PAGE = 32, TAG_PAGE_DATA = 33, TAG_PACK = 76;
constexpr size_t ID_LEN = 16, SIG_LEN = 64;
constexpr size_t STEP_BODY = 3 * QV_TLV_HEAD_LEN + QV_EMOJI_PAGE_NAME_MAX + 8 + 8;  // the largest body of 9, 11, 12, 18, 19
constexpr uint64_t NO_OFFSET = ~uint64_t{0};  // a new page's first end never reads as "nothing came"

static_assert(2 * QV_TLV_HEAD_LEN + ID_LEN + QV_BLOB_CHUNK_MAX <= QV_BLOB_CHUNK_HALF);
static_assert(QV_FRAME_HEADER_LEN + 2 * QV_TLV_HEAD_LEN + ID_LEN + QV_BLOB_CHUNK_MAX <= QV_BLOB_CHUNK_HALF);
static_assert(QV_BLOB_CHUNK_BUF == 131232);
static_assert(QV_EMOJI_PAGE_LIMIT % QV_EMOJI_PAGE_START == 0);  // doubling from the start lands on the limit exactly
static_assert(QV_EMOJI_PAGE_LIMIT == QV_EMOJI_CACHE_PAGE_MAX);

bool signed_in(const quorvane_cs *cs) { return cs && cs->state == QV_CS_SIGNED_IN; }

uint32_t bit(uint8_t pack) { return 1u << pack; }

quorvane_emoji_cache *cache_of(const quorvane_cs *cs, uint8_t pack) { return pack ? cs->cfg.emoji_pack1 : cs->cfg.emoji_pack0; }

struct step_body {
    uint8_t buf[STEP_BODY];
    quorvane_tlv_writer w;
    step_body() { quorvane_tlv_writer_init(&w, buf, sizeof buf); }
    int send(quorvane_cs *cs, uint8_t type) {
        size_t n = 0;
        if (quorvane_tlv_writer_finish(&w, &n) != 0) return -1;
        return send_frame(cs, type, buf, n) == 0 ? 0 : -1;
    }
};

bool get_u64(const uint8_t *p, size_t len, uint8_t tag, uint64_t *out) {
    const uint8_t *v = nullptr;
    size_t vl = 0;
    return quorvane_tlv_find(p, len, tag, &v, &vl) == 0 && quorvane_tlv_get_u64(v, vl, out) == 0;
}

// The pack a reply names: 1 is pack 1, anything else (or nothing) pack 0.
uint8_t pack_named(const uint8_t *p, size_t len) {
    const uint8_t *v = nullptr;
    size_t vl = 0;
    uint8_t pack = 0;
    return quorvane_tlv_find(p, len, TAG_PACK, &v, &vl) == 0 && quorvane_tlv_get_u8(v, vl, &pack) == 0 && pack == 1 ? 1 : 0;
}

// Every record whole, and an optional tag, when present, of its width: a
// reply cut short or carrying a field of the wrong size is dropped whole
// rather than read as one without that field.
bool well_formed(const uint8_t *p, size_t len) {
    quorvane_tlv_reader r;
    quorvane_tlv_reader_init(&r, p, len);
    uint8_t tag = 0;
    const uint8_t *v = nullptr;
    size_t vl = 0;
    int rc = 0;
    while ((rc = quorvane_tlv_next(&r, &tag, &v, &vl)) == 0) {
        if ((tag == TAG_PACK && vl != 1) || ((tag == TAG_OFFSET || tag == TAG_SIZE) && vl != 8)) return false;
    }
    return rc == -5;
}

void blob_finish(cs_blob_state &b, bool ok) {
    b.finished = 1;
    b.success = ok ? 1 : 0;
    b.in_flight = 0;
}

/* ---- blob transfers ---- */

// Chunks go out straight through the connection's ring, so one upload never
// holds more than the ring's 64 frames; a full ring waits for the next pump.
void upload_step(quorvane_cs *cs) {
    cs_blob_state &b = cs->transfer.blob;
    if (!b.begin_sent) {
        step_body body;
        quorvane_tlv_put_u64(&body.w, TAG_SIZE, b.total);
        if (b.resume) quorvane_tlv_put(&body.w, TAG_BLOB, b.id, ID_LEN);
        if (body.send(cs, FT_UPLOAD_BEGIN) == 0) b.begin_sent = 1;
        return;
    }
    if (!b.accepted) return;
    uint8_t *payload = b.chunk_buf, *frame = b.chunk_buf + QV_BLOB_CHUNK_HALF;
    while (b.sent < b.total) {
        if (!cs->cnet || cs->cnet->send_count >= QV_CNET_RING) return;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(QV_BLOB_CHUNK_MAX, b.total - b.sent));
        quorvane_tlv_writer w;
        quorvane_tlv_writer_init(&w, payload, QV_BLOB_CHUNK_HALF);
        quorvane_tlv_put(&w, TAG_BLOB, b.id, ID_LEN);
        quorvane_tlv_put(&w, TAG_DATA, b.data + b.sent, n);
        size_t plen = 0, flen = 0;
        if (quorvane_tlv_writer_finish(&w, &plen) != 0 ||
            quorvane_frame_encode(FT_UPLOAD_CHUNK, payload, plen, frame, QV_BLOB_CHUNK_HALF, &flen) != 0) {
            n_log(LOG_ERR, "session: a blob chunk could not be encoded");
            return blob_finish(b, false);
        }
        if (quorvane_cnet_send(cs->cnet, frame, flen) != 0) return;  // no room or no memory: the next pump tries again
        b.sent += n;
    }
    if (!b.end_sent) {
        step_body body;
        quorvane_tlv_put(&body.w, TAG_BLOB, b.id, ID_LEN);
        if (body.send(cs, FT_UPLOAD_END) == 0) b.end_sent = 1;
    }
}

void download_step(quorvane_cs *cs) {
    cs_blob_state &b = cs->transfer.blob;
    if (b.in_flight || (b.dl_total && b.received >= b.dl_total)) return;
    step_body body;
    quorvane_tlv_put(&body.w, TAG_BLOB, b.id, ID_LEN);
    quorvane_tlv_put_u64(&body.w, TAG_OFFSET, b.received);
    quorvane_tlv_put_u64(&body.w, TAG_LIMIT, 0);
    if (body.send(cs, FT_DOWNLOAD_STEP) != 0) return;
    b.in_flight = 1;
    b.offset_requested = b.received;
}

// 140: the server took the upload, maybe from an offset it already holds.
void on_upload_accepted(quorvane_cs *cs, const uint8_t *p, size_t len) {
    cs_blob_state &b = cs->transfer.blob;
    const uint8_t *id = nullptr;
    // before frame 9 went out no answer can be ours: it may be a late one for a transfer reset since
    if (b.mode != QV_BLOB_UPLOAD || b.finished || b.accepted || !b.begin_sent ||
        quorvane_tlv_find_fixed(p, len, TAG_BLOB, ID_LEN, &id) != 0)
        return;
    uint64_t offset = 0;
    const bool has_offset = get_u64(p, len, TAG_OFFSET, &offset);
    std::memcpy(b.id, id, ID_LEN);
    b.accepted = 1;
    if (has_offset && offset <= b.total) b.sent = offset;  // beyond the total would read past the caller's data
}

// 10: download data, appended where the last piece ended.
void on_blob_data(quorvane_cs *cs, const uint8_t *p, size_t len) {
    cs_blob_state &b = cs->transfer.blob;
    const uint8_t *id = nullptr, *data = nullptr;
    size_t dl = 0;
    if (b.mode != QV_BLOB_DOWNLOAD || b.finished || quorvane_tlv_find_fixed(p, len, TAG_BLOB, ID_LEN, &id) != 0 ||
        std::memcmp(id, b.id, ID_LEN) != 0 || quorvane_tlv_find_bytes(p, len, TAG_DATA, 0, QV_BLOB_CHUNK_MAX, &data, &dl) != 0)
        return;
    if (dl > b.capacity - b.received) {
        n_log(LOG_WARNING, "session: blob download larger than its buffer");
        return blob_finish(b, false);
    }
    if (dl) std::memcpy(b.buf + b.received, data, dl);
    b.received += dl;
}

// 141: the end of an upload, or of one download step with the total size.
void on_step_done(quorvane_cs *cs, const uint8_t *p, size_t len) {
    cs_blob_state &b = cs->transfer.blob;
    uint64_t v = 0;
    if (b.mode == QV_BLOB_IDLE || b.finished || !get_u64(p, len, TAG_SIZE, &v)) return;
    if (b.mode == QV_BLOB_UPLOAD) {
        // success only for an upload whose every byte and end frame went out
        return blob_finish(b, v != 0 && b.accepted && b.end_sent);
    }
    b.in_flight = 0;
    b.dl_total = v;
    if (v == 0) return blob_finish(b, false);
    // more than the server says the blob holds is a reply that does not fit
    // it: such bytes must never pass for the blob
    if (b.received > v) return blob_finish(b, false);
    if (b.received == v) return blob_finish(b, true);
    if (b.received == b.offset_requested) return blob_finish(b, false);  // the step brought nothing: asking again would loop
}

/* ---- emoji packs ---- */

void end_page(cs_emoji_state &e) {
    e.page_active = 0;
    e.page_got = 0;
    e.page_size = 0;
    e.page_in_flight = 0;
}

// Drops the pack download in progress; the pack is not marked failed, so a
// later sync bit tries it again.
void emoji_abort(quorvane_cs *cs) {
    cs_emoji_state &e = cs->transfer.emoji;
    quorvane_emoji_cache_abort(cache_of(cs, e.pack));
    e.updating = 0;
    end_page(e);
}

void emoji_start_next(quorvane_cs *cs) {
    cs_emoji_state &e = cs->transfer.emoji;
    quorvane_emoji_cache *cache = cache_of(cs, e.pack);
    char name[QV_EMOJI_PAGE_NAME_MAX + 1] = {0};
    end_page(e);
    if (quorvane_emoji_cache_next_needed(cache, name, sizeof name) == 1 && name[0]) {
        std::memcpy(e.page, name, sizeof e.page);
        e.page[QV_EMOJI_PAGE_NAME_MAX] = 0;
        e.page_active = 1;
        e.offset_requested = NO_OFFSET;
        return;
    }
    if (quorvane_emoji_cache_commit(cache) != 0) {
        n_log(LOG_WARNING, "session: emoji pack %u could not be committed", e.pack);
        quorvane_emoji_cache_abort(cache);
    }
    e.updating = 0;
}

// During an update, a reply naming the other pack means the two sides lost
// track of each other: the pack being updated is given up until the next
// sign-in rather than asked for again and again.
bool pack_reply_mismatched(quorvane_cs *cs, const uint8_t *p, size_t len) {
    cs_emoji_state &e = cs->transfer.emoji;
    if (!e.updating || pack_named(p, len) == e.pack) return false;
    n_log(LOG_WARNING, "session: emoji pack %u answered for another pack; not synced again this session", e.pack);
    e.failed |= bit(e.pack);
    e.sync_bits &= ~bit(e.pack);
    emoji_abort(cs);
    return true;
}

// The name a page reply carries, compared by length: it has no terminator.
bool same_page(const cs_emoji_state &e, const uint8_t *p, size_t len) {
    const uint8_t *name = nullptr;
    size_t nl = 0;
    return quorvane_tlv_find_bytes(p, len, TAG_PAGE, 1, QV_EMOJI_PAGE_NAME_MAX, &name, &nl) == 0 && std::strlen(e.page) == nl &&
           std::memcmp(name, e.page, nl) == 0;
}

void on_manifest(quorvane_cs *cs, const uint8_t *p, size_t len) {
    cs_emoji_state &e = cs->transfer.emoji;
    quorvane_emoji_cache *cache = cache_of(cs, e.pack);
    if (!e.updating || e.page_active || !cache) return;
    const uint8_t *sig = nullptr, *manifest = nullptr;
    size_t ml = 0;
    if (quorvane_tlv_find_fixed(p, len, TAG_SIGNATURE, SIG_LEN, &sig) != 0 ||
        quorvane_tlv_find_bytes(p, len, TAG_MANIFEST, 1, QV_EMOJIPACK_TEXT_MAX, &manifest, &ml) != 0) {
        e.updating = 0;
        return;
    }
    if (quorvane_emoji_cache_begin(cache, manifest, ml, sig, cs->server_key) < 0) {
        n_log(LOG_WARNING, "session: emoji pack %u refused by its cache", e.pack);
        quorvane_emoji_cache_abort(cache);
        e.updating = 0;
        return;
    }
    emoji_start_next(cs);
}

// Room for `need` bytes of page, doubling from 64 KiB; the old copy is wiped:
// a page can hold what users drew.
bool page_room(cs_emoji_state &e, size_t need) {
    if (need <= e.page_cap) return true;
    if (need > QV_EMOJI_PAGE_LIMIT) return false;
    size_t cap = e.page_cap ? e.page_cap : QV_EMOJI_PAGE_START;
    while (cap < need) cap *= 2;
    auto *grown = static_cast<uint8_t *>(std::malloc(cap));
    if (!grown) return false;
    if (e.page_got) std::memcpy(grown, e.page_buf, e.page_got);
    quorvane_cleanse(e.page_buf, e.page_cap);
    std::free(e.page_buf);
    e.page_buf = grown;
    e.page_cap = cap;
    return true;
}

void on_page_data(quorvane_cs *cs, const uint8_t *p, size_t len) {
    cs_emoji_state &e = cs->transfer.emoji;
    const uint8_t *data = nullptr;
    size_t dl = 0;
    if (!e.page_active || !same_page(e, p, len) || quorvane_tlv_find_bytes(p, len, TAG_PAGE_DATA, 0, QV_EMOJI_DATA_MAX, &data, &dl) != 0)
        return;
    if (!page_room(e, e.page_got + dl)) {
        n_log(LOG_WARNING, "session: emoji page %s larger than %zu bytes or out of memory", e.page, QV_EMOJI_PAGE_LIMIT);
        return emoji_abort(cs);
    }
    if (dl) std::memcpy(e.page_buf + e.page_got, data, dl);
    e.page_got += dl;
}

void on_page_end(quorvane_cs *cs, const uint8_t *p, size_t len) {
    cs_emoji_state &e = cs->transfer.emoji;
    uint64_t size = 0;
    if (!e.page_active || !same_page(e, p, len) || !get_u64(p, len, TAG_SIZE, &size)) return;
    e.page_in_flight = 0;
    e.page_size = size;
    if (size == 0) return emoji_abort(cs);
    if (e.page_got >= size) {
        if (quorvane_emoji_cache_put_page(cache_of(cs, e.pack), e.page, e.page_buf, e.page_got) != 0) {
            n_log(LOG_WARNING, "session: emoji page %s refused by its cache", e.page);
            return emoji_abort(cs);
        }
        return emoji_start_next(cs);
    }
    if (e.page_got == e.offset_requested) emoji_abort(cs);  // nothing came since the request
}

void on_pack_current(quorvane_cs *cs) {
    cs_emoji_state &e = cs->transfer.emoji;
    if (!e.updating) return;
    // a page still active means the cache is staging this pack: leaving it so
    // would make every later begin of this cache fail
    if (e.page_active) return emoji_abort(cs);
    e.updating = 0;
}

void on_pack_changed(quorvane_cs *cs, const uint8_t *p, size_t len) {
    const uint8_t *v = nullptr;
    size_t vl = 0;
    uint8_t named = 0;
    // a frame that names no pack is about pack 0; one that names it in a
    // value of the wrong width is malformed
    if (quorvane_tlv_find(p, len, TAG_PACK, &v, &vl) == 0 && quorvane_tlv_get_u8(v, vl, &named) != 0) return;
    const uint8_t pack = named == 1 ? 1 : 0;
    cs_emoji_state &e = cs->transfer.emoji;
    if (cache_of(cs, pack) && !(e.failed & bit(pack))) e.sync_bits |= bit(pack);
}

}  // namespace

/* ---- blob interface ---- */

int quorvane_cs_blob_upload(quorvane_cs *cs, const uint8_t *data, uint64_t size, const uint8_t resume_id[16]) {
    if (!signed_in(cs) || !data || size == 0) return -1;
    cs_blob_state &b = cs->transfer.blob;
    if (b.mode != QV_BLOB_IDLE && !b.finished) return -1;
    if (!b.chunk_buf) {
        b.chunk_buf = static_cast<uint8_t *>(std::malloc(QV_BLOB_CHUNK_BUF));
        if (!b.chunk_buf) return -1;
    }
    uint8_t *chunk_buf = b.chunk_buf;
    b = cs_blob_state{};
    b.chunk_buf = chunk_buf;
    b.mode = QV_BLOB_UPLOAD;
    b.data = data;
    b.total = size;
    if (resume_id) {
        std::memcpy(b.id, resume_id, ID_LEN);
        b.resume = 1;
    }
    return 0;
}

int quorvane_cs_blob_upload_id(const quorvane_cs *cs, uint8_t out[16]) {
    if (!cs || !out) return 0;
    const cs_blob_state &b = cs->transfer.blob;
    if (b.mode != QV_BLOB_UPLOAD || !b.accepted) return 0;
    std::memcpy(out, b.id, ID_LEN);
    return 1;
}

int quorvane_cs_blob_download(quorvane_cs *cs, const uint8_t id[16], uint8_t *buf, uint64_t capacity) {
    if (!signed_in(cs) || !id || !buf || capacity == 0) return -1;
    cs_blob_state &b = cs->transfer.blob;
    if (b.mode != QV_BLOB_IDLE && !b.finished) return -1;
    uint8_t *chunk_buf = b.chunk_buf;
    b = cs_blob_state{};
    b.chunk_buf = chunk_buf;
    b.mode = QV_BLOB_DOWNLOAD;
    std::memcpy(b.id, id, ID_LEN);
    b.accepted = 1;
    b.buf = buf;
    b.capacity = capacity;
    return 0;
}

int quorvane_cs_blob_poll(const quorvane_cs *cs, int *finished, int *success, uint8_t id[16], uint64_t *progress) {
    if (!cs || cs->transfer.blob.mode == QV_BLOB_IDLE) return 0;
    const cs_blob_state &b = cs->transfer.blob;
    if (finished) *finished = b.finished || cs->state != QV_CS_SIGNED_IN ? 1 : 0;
    if (success) *success = b.success;
    if (id) std::memcpy(id, b.id, ID_LEN);
    if (progress) *progress = b.mode == QV_BLOB_DOWNLOAD ? b.received : b.total;
    return 1;
}

void quorvane_cs_blob_reset(quorvane_cs *cs) {
    if (!cs) return;
    uint8_t *chunk_buf = cs->transfer.blob.chunk_buf;
    cs->transfer.blob = cs_blob_state{};
    cs->transfer.blob.chunk_buf = chunk_buf;
}

/* ---- emoji interface ---- */

int quorvane_cs_pack_sync(quorvane_cs *cs, int pack) {
    if (!signed_in(cs) || (pack != 0 && pack != 1)) return -1;
    const uint8_t pk = static_cast<uint8_t>(pack);
    cs_emoji_state &e = cs->transfer.emoji;
    if (!cache_of(cs, pk) || (e.failed & bit(pk))) return -1;
    e.sync_bits |= bit(pk);
    return 0;
}

int quorvane_cs_emoji_sync(quorvane_cs *cs) {
    (void)quorvane_cs_pack_sync(cs, 0);
    return 0;
}

int quorvane_cs_emoji_busy(const quorvane_cs *cs) {
    if (!cs || (!cs->cfg.emoji_pack0 && !cs->cfg.emoji_pack1)) return 0;
    const cs_emoji_state &e = cs->transfer.emoji;
    return e.sync_bits || e.updating ? 1 : 0;
}

int quorvane_cs_pack_reply_mismatch(const uint8_t *frame, size_t len, int expected_pack, int in_progress) {
    quorvane_frame_header h{};
    if (!in_progress) return 0;
    if (!frame || quorvane_frame_parse_header(frame, len, &h) != 0 || len - QV_FRAME_HEADER_LEN < h.length)
        return expected_pack != 0;  // names no pack, so pack 0
    return pack_named(frame + QV_FRAME_HEADER_LEN, h.length) != (expected_pack == 1 ? 1 : 0);
}

/* ---- session internals ---- */

void blob_pump(quorvane_cs *cs) {
    if (!signed_in(cs)) return;
    cs_blob_state &b = cs->transfer.blob;
    if (b.mode == QV_BLOB_IDLE || b.finished) return;
    if (b.mode == QV_BLOB_UPLOAD) upload_step(cs);
    else download_step(cs);
}

void emoji_pump(quorvane_cs *cs) {
    if (!signed_in(cs)) return;
    cs_emoji_state &e = cs->transfer.emoji;
    const uint32_t wanted = e.sync_bits & ~e.failed;
    if (wanted && !e.updating) {
        const uint8_t pack = (wanted & bit(0)) ? 0 : 1;
        quorvane_emoji_cache *cache = cache_of(cs, pack);
        if (!cache) {
            e.sync_bits &= ~bit(pack);
            return;
        }
        step_body body;
        quorvane_tlv_put_u32(&body.w, TAG_VERSION, quorvane_emoji_cache_version(cache));
        quorvane_tlv_put_u8(&body.w, TAG_PACK, pack);
        if (body.send(cs, FT_PACK_QUERY) != 0) return;
        e.pack = pack;
        e.updating = 1;
        e.sync_bits &= ~bit(pack);
        return;
    }
    if (!e.page_active || e.page_in_flight || (e.page_size && e.page_size <= e.page_got)) return;
    step_body body;
    quorvane_tlv_put(&body.w, TAG_PAGE, e.page, std::strlen(e.page));
    quorvane_tlv_put_u64(&body.w, TAG_OFFSET, e.page_got);
    quorvane_tlv_put_u8(&body.w, TAG_PACK, e.pack);
    if (body.send(cs, FT_PAGE_STEP) != 0) return;
    e.page_in_flight = 1;
    e.offset_requested = e.page_got;
}

int cs_transfer_frame(quorvane_cs *cs, uint8_t type, const uint8_t *p, size_t len) {
    switch (type) {
    case FA_BLOB_DATA:
    case FA_UPLOAD_ACCEPTED:
    case FA_BLOB_STEP_DONE:
    case FA_PACK_MANIFEST:
    case FA_PACK_CURRENT:
    case FA_PAGE_DATA:
    case FA_PAGE_END:
    case FA_PACK_CHANGED:
        if (!well_formed(p, len)) return 1;
        break;
    default: return 0;
    }
    switch (type) {
    case FA_BLOB_DATA: on_blob_data(cs, p, len); return 1;
    case FA_UPLOAD_ACCEPTED: on_upload_accepted(cs, p, len); return 1;
    case FA_BLOB_STEP_DONE: on_step_done(cs, p, len); return 1;
    case FA_PACK_CHANGED: on_pack_changed(cs, p, len); return 1;
    case FA_PACK_MANIFEST:
    case FA_PACK_CURRENT:
    case FA_PAGE_DATA:
    default: break;
    }
    if (pack_reply_mismatched(cs, p, len)) return 1;
    switch (type) {
    case FA_PACK_MANIFEST: on_manifest(cs, p, len); break;
    case FA_PACK_CURRENT: on_pack_current(cs); break;
    case FA_PAGE_DATA: on_page_data(cs, p, len); break;
    default: on_page_end(cs, p, len); break;
    }
    return 1;
}

void cs_transfer_signed_in(quorvane_cs *cs) {
    if (!cs) return;
    cs->transfer.emoji.failed = 0;
    for (int pack = 0; pack < 2; pack++) (void)quorvane_cs_pack_sync(cs, pack);
}

void cs_transfer_release(quorvane_cs *cs) {
    if (!cs) return;
    cs_transfer_state &t = cs->transfer;
    // the caches outlive the session: one left staging would refuse every later begin
    if (t.emoji.updating) quorvane_emoji_cache_abort(cache_of(cs, t.emoji.pack));
    if (t.blob.chunk_buf) quorvane_cleanse(t.blob.chunk_buf, QV_BLOB_CHUNK_BUF);
    std::free(t.blob.chunk_buf);
    quorvane_cleanse(t.emoji.page_buf, t.emoji.page_cap);
    std::free(t.emoji.page_buf);
    t = cs_transfer_state{};
}
