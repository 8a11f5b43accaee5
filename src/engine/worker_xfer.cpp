// The worker's one blob transfer at a time: uploads sealed on the caller's
// thread and armed in the slot, downloads armed with the blob's descriptor,
// and the step the connected run takes once per pass. Opening, caching and
// writing a whole blob run without the mutex: the slot stays armed and not
// done meanwhile, so nothing else touches its buffers, and the screens' getters
// do not wait for a 256 MiB decryption or its file.
#include "worker_internal.h"

#include "client_blobcache.h"
#include "client_send.h"
#include "client_transfer.h"
#include "n_files.h"
#include "n_log.h"
#include "quorvane_blob.h"
#include "quorvane_crypto.h"
#include "quorvane_voice.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *VOICE_MIME = "audio/x-adpcm";

bool size_ok(uint64_t n) { return n >= 1 && n <= QV_BLOB_MAX; }

bool is_upload(const qv_xfer &x) {
    switch (x.kind) {
    case QV_XFER_FILE: case QV_XFER_AVATAR: case QV_XFER_GROUP_AVATAR: case QV_XFER_VOICE: return true;
    case QV_XFER_LINK: return x.link_needs_image != 0;
    default: return false;
    }
}

bool is_download(const qv_xfer &x) { return x.kind == QV_XFER_DOWNLOAD_FILE || x.kind == QV_XFER_DOWNLOAD_MEM; }

void free_wiped(uint8_t **p, size_t *n) {
    if (*p) quorvane_cleanse(*p, *n);
    std::free(*p);
    *p = nullptr;
    *n = 0;
}

void drop_poster(qv_xfer &x) {
    std::free(x.poster);
    x.poster = nullptr;
    x.poster_len = 0;
    x.poster_pending = 0;
}

// The slot may take a new transfer: a store is open and nothing runs.
bool slot_free(const quorvane_worker *w) {
    return w->ms && !w->thread_ended && !(w->xfer.active && !w->xfer.done);
}

// Common to every arming, mu held: the previous transfer's buffers and a
// download still held in memory go; the descriptor is the one given.
void arm(quorvane_worker *w, int32_t kind, const uint8_t *conv, const quorvane_file_meta *meta) {
    qv_xfer &x = w->xfer;
    xfer_free_buffers(w);
    free_wiped(&x.mem, &x.mem_len);
    quorvane_cleanse(&x.link, sizeof x.link);
    x.kind = kind;
    x.active = 1;
    x.started = x.done = x.ok = 0;
    x.local = 0;
    x.link_needs_image = 0;
    x.voice_ms = x.voice_rate = 0;
    x.peak_count = 0;
    x.dest[0] = 0;
    if (conv)
        std::memcpy(x.conv, conv, 16);
    else
        std::memset(x.conv, 0, 16);
    x.meta = *meta;
    x.plain_size = meta->blob.size;
}

void finish(quorvane_worker *w, int ok) {
    w->xfer.ok = ok;
    w->xfer.done = 1;
    xfer_free_buffers(w);
}

void copy_text(char *dst, size_t size, const char *src) {
    std::memset(dst, 0, size);
    if (src) std::memcpy(dst, src, strnlen(src, size - 1));
}

// Arms an upload whose bytes are sealed; on refusal the sealed bytes are
// freed and the descriptor wiped. mu not held.
int arm_upload(quorvane_worker *w, int32_t kind, const uint8_t *conv, uint8_t *sealed, size_t sealed_len, quorvane_file_meta *meta,
               uint8_t *poster, size_t poster_len, const qv_xfer *extra) {
    pthread_mutex_lock(&w->mu);
    const bool ok = slot_free(w);
    if (ok) {
        arm(w, kind, conv, meta);
        qv_xfer &x = w->xfer;
        x.sealed = sealed;
        x.sealed_len = sealed_len;
        x.poster = poster;
        x.poster_len = poster_len;
        x.poster_pending = poster != nullptr;
        if (extra) {
            x.voice_ms = extra->voice_ms;
            x.voice_rate = extra->voice_rate;
            x.peak_count = extra->peak_count;
            std::memcpy(x.peaks, extra->peaks, sizeof x.peaks);
            x.link = extra->link;
            x.link_needs_image = extra->link_needs_image;
        }
    }
    pthread_mutex_unlock(&w->mu);
    quorvane_cleanse(meta, sizeof *meta);
    if (!ok) {
        std::free(sealed);
        std::free(poster);
    }
    return ok ? 0 : -1;
}

int avatar_upload_arm(quorvane_worker *w, const uint8_t *image, size_t size, const char *mime, int32_t kind, const uint8_t *conv) {
    if (!w || !image || !size_ok(size)) return -1;
    quorvane_file_meta meta{};
    uint8_t *sealed = nullptr;
    size_t sealed_len = 0;
    if (worker_seal_blob(image, size, &sealed, &sealed_len, &meta.blob) != 0) return -1;
    copy_text(meta.mime, sizeof meta.mime, mime);
    return arm_upload(w, kind, conv, sealed, sealed_len, &meta, nullptr, 0, nullptr);
}

// A download served from the blob cache on the caller's thread; the slot is
// armed and marked local so the run leaves it alone. An entry that does not
// open is dropped and the blob fetched again; 1 when the cache served it.
int serve_from_cache(quorvane_worker *w, const char *dir, uint8_t *buf, size_t len) {
    qv_xfer &x = w->xfer;
    quorvane_file_meta meta;
    char dest[QV_XFER_DEST_MAX];
    int32_t kind;
    pthread_mutex_lock(&w->mu);
    meta = x.meta;
    std::memcpy(dest, x.dest, sizeof dest);
    kind = x.kind;
    pthread_mutex_unlock(&w->mu);
    int served = 0, ok = 0;
    uint8_t *mem = nullptr;
    size_t mem_len = 0;
    if (quorvane_blobcache_get_exact(dir, meta.blob.storage_id, len, buf, len) == 0) {
        const int r = xfer_deliver(kind, &meta, dest, buf, len, &mem, &mem_len);
        if (r == -1) {
            n_log(LOG_WARNING, "worker: a cached blob did not open; it is fetched again");
            (void)quorvane_blobcache_remove(dir, meta.blob.storage_id);
        } else {
            served = 1;
            ok = r == 0;
        }
    }
    quorvane_cleanse(&meta, sizeof meta);
    pthread_mutex_lock(&w->mu);
    x.local = 0;
    if (served) {
        x.started = 1;
        x.mem = mem;
        x.mem_len = mem_len;
        finish(w, ok);
    }
    pthread_mutex_unlock(&w->mu);
    return served;
}

int start_download(quorvane_worker *w, const quorvane_file_meta *meta, int32_t kind, const char *dest) {
    if (!w || !meta || !size_ok(meta->blob.size)) return -1;
    const uint64_t sealed_len = quorvane_blob_sealed_len(meta->blob.size);
    auto *buf = static_cast<uint8_t *>(std::malloc(sealed_len));
    if (!buf) return -1;
    pthread_mutex_lock(&w->mu);
    const bool ok = slot_free(w);
    const char *dir = w->blob_dir && w->blob_cache_limit ? w->blob_dir : nullptr;
    if (ok) {
        arm(w, kind, nullptr, meta);
        qv_xfer &x = w->xfer;
        x.dl_buf = buf;
        x.dl_len = sealed_len;
        copy_text(x.dest, sizeof x.dest, dest);
        x.local = dir != nullptr;
    }
    pthread_mutex_unlock(&w->mu);
    if (!ok) {
        std::free(buf);
        return -1;
    }
    // the cache's directory string lives as long as the worker
    if (dir) (void)serve_from_cache(w, dir, buf, sealed_len);
    return 0;
}

// Kind 4 done: the own avatar is stored and every conversation hears of it;
// those already answered with our profile must get the new one.
int finish_own_avatar(quorvane_worker *w, quorvane_cs *cs) {
    if (!w->ms || quorvane_msgstore_set_self_avatar(w->ms, &w->xfer.meta) != 0) return 0;
    w->answered_count = 0;
    for (size_t i = 0; i < quorvane_msgstore_conv_count(w->ms); i++) {
        const quorvane_ms_conv *c = quorvane_msgstore_conv_at(w->ms, i);
        if (!c) continue;
        uint8_t id[16];
        std::memcpy(id, c->id, 16);
        (void)quorvane_cs_send_avatar(cs, id);
    }
    return 1;
}

int finish_upload(quorvane_worker *w, quorvane_cs *cs) {
    qv_xfer &x = w->xfer;
    switch (x.kind) {
    case QV_XFER_FILE: return quorvane_cs_send_file(cs, x.conv, &x.meta) == 0;
    case QV_XFER_GROUP_AVATAR: return quorvane_cs_send_group_avatar(cs, x.conv, &x.meta) == 0;
    case QV_XFER_VOICE: {
        quorvane_voice_meta v{};
        v.file = x.meta;
        v.duration_ms = x.voice_ms;
        v.sample_rate = x.voice_rate;
        v.peak_count = x.peak_count;
        std::memcpy(v.peaks, x.peaks, sizeof v.peaks);
        const int ok = quorvane_cs_send_voice(cs, x.conv, &v) == 0;
        quorvane_cleanse(&v, sizeof v);
        return ok;
    }
    case QV_XFER_LINK:
        x.link.image = x.meta;
        x.link.has_image = 1;
        return quorvane_cs_send_link(cs, x.conv, &x.link) == 0;
    case QV_XFER_AVATAR: return finish_own_avatar(w, cs);
    default: return 0;
    }
}

// A whole download arrived: opened, cached and delivered without the mutex.
// Only bytes that opened go into the cache, and only as many as the blob has.
void finish_download(quorvane_worker *w, int success, uint64_t received) {
    qv_xfer &x = w->xfer;
    if (!success || received != x.dl_len) {
        finish(w, 0);
        return;
    }
    const char *dir = w->blob_dir && w->blob_cache_limit ? w->blob_dir : nullptr;
    const uint64_t limit = w->blob_cache_limit;
    uint8_t *mem = nullptr;
    size_t mem_len = 0;
    int r;
    {
        unlocked u(w);
        r = xfer_deliver(x.kind, &x.meta, x.dest, x.dl_buf, x.dl_len, &mem, &mem_len);
        if (r != -1 && dir && quorvane_blobcache_put(dir, x.meta.blob.storage_id, x.dl_buf, x.dl_len, limit) != 0)
            n_log(LOG_NOTICE, "worker: a downloaded blob could not be cached");
    }
    x.mem = mem;
    x.mem_len = mem_len;
    finish(w, r == 0);
}

void pump_poster(quorvane_worker *w, quorvane_cs *cs) {
    qv_xfer &x = w->xfer;
    if (!x.started) {
        if (quorvane_cs_blob_upload(cs, x.poster, x.poster_len, nullptr) == 0)
            x.started = 1;
        else
            drop_poster(x);  // the file goes on without it
        return;
    }
    int finished = 0, success = 0;
    uint8_t id[16];
    if (!quorvane_cs_blob_poll(cs, &finished, &success, id, nullptr) || !finished) return;
    quorvane_cs_blob_reset(cs);
    if (success) {
        x.meta.has_thumb = 1;
        std::memcpy(x.meta.thumb.storage_id, id, 16);
    }
    drop_poster(x);
    x.started = 0;
}

}  // namespace

int worker_seal_blob(const uint8_t *data, size_t size, uint8_t **sealed, size_t *sealed_len, quorvane_blob_ref *ref) {
    if (!data || !sealed || !sealed_len || !ref || !size_ok(size)) return -1;
    if (quorvane_random(ref->key, sizeof ref->key) != 0 || quorvane_random(ref->blob_id, sizeof ref->blob_id) != 0 ||
        quorvane_random(ref->salt, sizeof ref->salt) != 0) {
        quorvane_cleanse(ref, sizeof *ref);
        return -1;
    }
    const uint64_t cap = quorvane_blob_sealed_len(size);
    auto *out = static_cast<uint8_t *>(std::malloc(cap));
    size_t n = 0;
    uint32_t chunks = 0;
    if (!out || quorvane_blob_stream_seal(ref->key, ref->salt, ref->blob_id, data, size, out, cap, &n, &chunks, ref->hash) != 0) {
        std::free(out);
        quorvane_cleanse(ref, sizeof *ref);
        return -1;
    }
    ref->chunk_count = chunks;
    ref->size = size;
    *sealed = out;
    *sealed_len = n;
    return 0;
}

int xfer_deliver(int32_t kind, const quorvane_file_meta *meta, const char *dest, const uint8_t *sealed, size_t sealed_len,
                 uint8_t **mem, size_t *mem_len) {
    const size_t cap = std::max<uint64_t>(meta->blob.size, 1);
    auto *plain = static_cast<uint8_t *>(std::malloc(cap));
    size_t n = 0;
    if (!plain) return -2;
    const quorvane_blob_ref &b = meta->blob;
    if (quorvane_blob_stream_open(b.key, b.salt, b.blob_id, sealed, sealed_len, b.chunk_count, b.hash, plain, cap, &n) != 0 ||
        n != b.size) {
        quorvane_cleanse(plain, cap);
        std::free(plain);
        return -1;
    }
    if (kind == QV_XFER_DOWNLOAD_MEM) {
        *mem = plain;
        *mem_len = n;
        return 0;
    }
    // through "<dest>.tmp" and a rename: a failed write never leaves part of
    // a file under the name the user chose
    const int ok = dest && *dest && n_file_write_atomic(dest, plain, n, 0600);
    quorvane_cleanse(plain, cap);
    std::free(plain);
    return ok ? 0 : -2;
}

void xfer_free_buffers(quorvane_worker *w) {
    qv_xfer &x = w->xfer;
    x.upload_id_known = 0;
    std::free(x.sealed);
    x.sealed = nullptr;
    x.sealed_len = 0;
    drop_poster(x);
    free_wiped(&x.dl_buf, &x.dl_len);
    quorvane_cleanse(&x.meta, sizeof x.meta);
    x.plain_size = 0;
}

void xfer_free_all(quorvane_worker *w) {
    xfer_free_buffers(w);
    free_wiped(&w->xfer.mem, &w->xfer.mem_len);
    quorvane_cleanse(&w->xfer.link, sizeof w->xfer.link);
}

void xfer_on_ready(quorvane_worker *w) {
    qv_xfer &x = w->xfer;
    if (!x.active || x.done || x.local || !x.started) return;
    if (x.kind == QV_XFER_FILE && x.poster_pending) {
        // the poster's upload has no id to resume under: the file goes without it
        drop_poster(x);
        x.started = 0;
    } else if (is_upload(x) && x.upload_id_known && x.sealed) {
        x.started = 0;  // resumed under the same id
    } else {
        finish(w, 0);
    }
}

void xfer_pump(quorvane_worker *w, quorvane_cs *cs) {
    qv_xfer &x = w->xfer;
    if (!x.active || x.done || x.local) return;
    if (x.kind == QV_XFER_LINK && !x.link_needs_image) {
        finish(w, quorvane_cs_send_link(cs, x.conv, &x.link) == 0);
        return;
    }
    if (x.kind == QV_XFER_FILE && x.poster_pending) {
        pump_poster(w, cs);
        return;
    }
    if (!x.started) {
        const int r = is_download(x) ? quorvane_cs_blob_download(cs, x.meta.blob.storage_id, x.dl_buf, x.dl_len)
                                     : quorvane_cs_blob_upload(cs, x.sealed, x.sealed_len, x.upload_id_known ? x.upload_id : nullptr);
        if (r != 0)
            finish(w, 0);
        else
            x.started = 1;
        return;
    }
    if (!is_download(x) && !x.upload_id_known && quorvane_cs_blob_upload_id(cs, x.upload_id)) x.upload_id_known = 1;
    int finished = 0, success = 0;
    uint8_t id[16];
    uint64_t progress = 0;
    if (!quorvane_cs_blob_poll(cs, &finished, &success, id, &progress) || !finished) return;
    quorvane_cs_blob_reset(cs);
    if (is_download(x)) {
        finish_download(w, success, progress);
        return;
    }
    if (!success) {
        finish(w, 0);
        return;
    }
    std::memcpy(x.meta.blob.storage_id, id, 16);
    finish(w, finish_upload(w, cs));
}

/* ---- public functions ---- */

int quorvane_worker_send_file_poster(quorvane_worker *w, const uint8_t conv_id[16], const uint8_t *data, size_t size, const char *mime,
                                     const char *name, const uint8_t *poster, size_t poster_size, uint32_t poster_width,
                                     uint32_t poster_height) {
    if (!w || !conv_id || !data || !size_ok(size)) return -1;
    quorvane_file_meta meta{};
    uint8_t *sealed = nullptr, *sealed_poster = nullptr;
    size_t sealed_len = 0, sealed_poster_len = 0;
    if (worker_seal_blob(data, size, &sealed, &sealed_len, &meta.blob) != 0) return -1;
    copy_text(meta.mime, sizeof meta.mime, mime);
    copy_text(meta.name, sizeof meta.name, name);
    if (poster && size_ok(poster_size) &&
        worker_seal_blob(poster, poster_size, &sealed_poster, &sealed_poster_len, &meta.thumb) == 0) {
        meta.thumb_width = poster_width;
        meta.thumb_height = poster_height;
    }
    return arm_upload(w, QV_XFER_FILE, conv_id, sealed, sealed_len, &meta, sealed_poster, sealed_poster_len, nullptr);
}

int quorvane_worker_send_file(quorvane_worker *w, const uint8_t conv_id[16], const uint8_t *data, size_t size, const char *mime,
                              const char *name) {
    return quorvane_worker_send_file_poster(w, conv_id, data, size, mime, name, nullptr, 0, 0, 0);
}

int quorvane_worker_send_voice(quorvane_worker *w, const uint8_t conv_id[16], const int16_t *samples, size_t count, uint32_t rate) {
    if (!w || !conv_id || !samples || count == 0 || rate == 0) return -1;
    const size_t enc_len = quorvane_adpcm_encoded_len(count);
    if (!size_ok(enc_len)) return -1;
    auto *enc = static_cast<uint8_t *>(std::malloc(enc_len));
    if (!enc) return -1;
    const size_t n = quorvane_adpcm_encode(samples, count, enc, enc_len);
    auto *extra = static_cast<qv_xfer *>(std::calloc(1, sizeof(qv_xfer)));
    quorvane_file_meta meta{};
    uint8_t *sealed = nullptr;
    size_t sealed_len = 0;
    int rc = -1;
    if (extra && size_ok(n) && worker_seal_blob(enc, n, &sealed, &sealed_len, &meta.blob) == 0) {
        copy_text(meta.mime, sizeof meta.mime, VOICE_MIME);
        extra->peak_count = static_cast<uint8_t>(quorvane_voice_peaks(samples, count, extra->peaks, QV_MSG_VOICE_PEAKS_MAX));
        extra->voice_ms = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{count} * 1000 / rate, UINT32_MAX));
        extra->voice_rate = rate;
        rc = arm_upload(w, QV_XFER_VOICE, conv_id, sealed, sealed_len, &meta, nullptr, 0, extra);
    }
    quorvane_cleanse(enc, enc_len);
    std::free(enc);
    std::free(extra);
    return rc;
}

int quorvane_worker_send_link(quorvane_worker *w, const uint8_t conv_id[16], const quorvane_link_meta *link, const uint8_t *image,
                              size_t image_size) {
    if (!w || !conv_id || !link) return -1;
    auto *extra = static_cast<qv_xfer *>(std::calloc(1, sizeof(qv_xfer)));
    if (!extra) return -1;
    extra->link = *link;
    extra->link.has_image = 0;
    quorvane_cleanse(&extra->link.image, sizeof extra->link.image);
    quorvane_file_meta meta{};
    uint8_t *sealed = nullptr;
    size_t sealed_len = 0;
    int rc = -1;
    if (!link->has_image) {
        rc = arm_upload(w, QV_XFER_LINK, conv_id, nullptr, 0, &meta, nullptr, 0, extra);
    } else if (image && size_ok(image_size) && worker_seal_blob(image, image_size, &sealed, &sealed_len, &meta.blob) == 0) {
        copy_text(meta.mime, sizeof meta.mime, link->image.mime[0] ? link->image.mime : "image/png");
        extra->link_needs_image = 1;
        rc = arm_upload(w, QV_XFER_LINK, conv_id, sealed, sealed_len, &meta, nullptr, 0, extra);
    }
    quorvane_cleanse(extra, sizeof *extra);
    std::free(extra);
    return rc;
}

int quorvane_worker_set_avatar(quorvane_worker *w, const uint8_t *image, size_t size, const char *mime) {
    return avatar_upload_arm(w, image, size, mime, QV_XFER_AVATAR, nullptr);
}

int quorvane_worker_set_group_avatar(quorvane_worker *w, const uint8_t conv_id[16], const uint8_t *image, size_t size, const char *mime) {
    if (!conv_id) return -1;
    return avatar_upload_arm(w, image, size, mime, QV_XFER_GROUP_AVATAR, conv_id);
}

int quorvane_worker_download_file(quorvane_worker *w, const quorvane_file_meta *meta, const char *path) {
    // a path cut to fit would write somewhere the user did not choose
    if (!path || !*path || strnlen(path, QV_XFER_DEST_MAX) >= QV_XFER_DEST_MAX) return -1;
    return start_download(w, meta, QV_XFER_DOWNLOAD_FILE, path);
}

int quorvane_worker_download_mem(quorvane_worker *w, const quorvane_file_meta *meta) {
    return start_download(w, meta, QV_XFER_DOWNLOAD_MEM, nullptr);
}

int quorvane_worker_take_download(quorvane_worker *w, uint8_t **out, size_t *len) {
    if (!w || !out || !len) return 0;
    pthread_mutex_lock(&w->mu);
    qv_xfer &x = w->xfer;
    const int rc = x.kind == QV_XFER_DOWNLOAD_MEM && x.done && x.ok && x.mem ? 1 : 0;
    if (rc) {
        *out = x.mem;
        *len = x.mem_len;
        x.mem = nullptr;
        x.mem_len = 0;
    }
    pthread_mutex_unlock(&w->mu);
    return rc;
}

int quorvane_worker_xfer_status(quorvane_worker *w, int *busy, int *done, int *ok) {
    if (!w) return -1;
    pthread_mutex_lock(&w->mu);
    const qv_xfer &x = w->xfer;
    if (busy) *busy = x.active && !x.done;
    if (done) *done = x.done;
    if (ok) *ok = x.ok;
    pthread_mutex_unlock(&w->mu);
    return 0;
}
