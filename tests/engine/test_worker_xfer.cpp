// The worker's transfer slot on a worker record without its thread: arming
// and its refusals, downloads served from a real blob cache on disk and
// delivered to real files, and whole transfers through a scripted blob
// server on loopback TLS (uploads with and without a poster, voice notes,
// downloads that must not be cached or delivered, resumption after a
// reconnection).
#include "client_blobcache.h"
#include "frame_fields_support.h"
#include "quorvane_blob.h"
#include "quorvane_voice.h"
#include "worker_record_support.h"

#include <fstream>
#include <map>
#include <mutex>
#include <sys/stat.h>

using namespace qvtest;

namespace {

const bytes G = rep(0x61, 16), STORAGE = rep(0x5A, 16);
// bytes of a blob the scripted server sends per step: it answers with one
// SSL_write, which the library's server context lets return short
constexpr uint64_t kStep = 8192;

bool file_is(const std::string &path, const bytes &want) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    bytes got((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    return got == want;
}

// A blob sealed as the worker seals it, with its descriptor under STORAGE.
struct Sealed {
    quorvane_file_meta meta{};
    bytes sealed;
    explicit Sealed(const bytes &plain) {
        uint8_t *p = nullptr;
        size_t n = 0;
        EXPECT_EQ(worker_seal_blob(plain.data(), plain.size(), &p, &n, &meta.blob), 0);
        sealed.assign(p, p + n);
        std::free(p);
        std::memcpy(meta.blob.storage_id, STORAGE.data(), 16);
    }
};

int busy_of(quorvane_worker *w) {
    int busy = -1;
    EXPECT_EQ(quorvane_worker_xfer_status(w, &busy, nullptr, nullptr), 0);
    return busy;
}

// The blob side of a server: uploads kept by the id it hands out, downloads
// served in steps of at most 64 KiB; faults on demand.
struct BlobServer {
    std::mutex mu;
    std::map<std::string, bytes> blobs, uploading;  // by id
    std::vector<bytes> order;   // ids in the order their uploads completed
    size_t uploads = 0, download_steps = 0;
    size_t refuse_upload = 0;   // this upload (1-based) ends refused
    bool hold_end = false;      // an upload's end is never answered
    enum { FINE, CORRUPT, SHORT, LONG } fault = FINE;

    // settings and readings from the test's thread, under the server's lock
    template <class F> auto with(F fn) {
        std::lock_guard<std::mutex> g(mu);
        return fn();
    }

    static std::string key(const bytes &id) { return std::string(id.begin(), id.end()); }

    bytes answer(const bytes &f) {
        std::lock_guard<std::mutex> g(mu);
        switch (type_of(f)) {
        case 9: {
            bytes id = field(f, 23);
            if (id.empty()) {
                id = rep(static_cast<uint8_t>(0xC0 + ++uploads), 16);
                uploading[key(id)] = {};
            } else {
                ++uploads;
            }
            return frame_of(140, cat({tlv(23, id), tlv(26, be64(uploading[key(id)].size()))}));
        }
        case 10: {
            const bytes data = field(f, 25);
            bytes &u = uploading[key(field(f, 23))];
            u.insert(u.end(), data.begin(), data.end());
            return {};
        }
        case 11: {
            if (hold_end) return {};
            const bytes id = field(f, 23);
            const bool refused = uploads == refuse_upload;
            if (!refused) {
                blobs[key(id)] = uploading[key(id)];
                order.push_back(id);
            }
            return frame_of(141, tlv(24, be64(refused ? 0 : blobs[key(id)].size())));
        }
        case 12: {
            download_steps++;
            const bytes id = field(f, 23);
            bytes data = blobs.count(key(id)) ? blobs[key(id)] : bytes{};
            if (data.empty()) return frame_of(141, tlv(24, be64(0)));
            if (fault == CORRUPT) data[data.size() / 2] ^= 1;
            uint64_t total = data.size();
            if (fault == SHORT) total = data.size() - 16;   // a blob shorter than its descriptor says
            if (fault == LONG) total = data.size() - 1;     // more bytes than the total it gives
            const uint64_t off = u64_of(field(f, 26));
            const uint64_t end = std::min<uint64_t>(fault == LONG ? data.size() : total, off + kStep);
            const bytes part(data.begin() + static_cast<long>(off), data.begin() + static_cast<long>(end));
            return cat({frame_of(10, cat({tlv(23, id), tlv(25, part)})), frame_of(141, tlv(24, be64(total)))});
        }
        default: return {};
        }
    }
};

// A worker record on the store of a session signed in to the scripted server.
struct Rig {
    BlobServer srv;
    Remote r;
    std::unique_ptr<Wk> wk;
    TempDir files;
    Rig() : r(true, [this](const bytes &f) { return srv.answer(f); }) {
        r.start();
        EXPECT_EQ(quorvane_msgstore_put_conv(r.ms, G.data(), rep(0x3C, 32).data()), 0);
        wk = std::make_unique<Wk>(r.ms, &r.keys.k);
        wk->cache(files.file("blobs"));
    }
    // passes of the run until the slot is done
    bool run() {
        return wait_until(
            [&] {
                quorvane_cs_pump(r.cs.get());
                wk->xfer(r.cs.get());
                return busy_of(wk->w) == 0;
            },
            kWaitMs);
    }
    int ok() {
        int done = 0, ok = 0;
        EXPECT_EQ(quorvane_worker_xfer_status(wk->w, nullptr, &done, &ok), 0);
        EXPECT_EQ(done, 1);
        return ok;
    }
    // the last message we stored in G
    quorvane_ms_msgrec last() {
        quorvane_ms_msgrec m{};
        const size_t n = quorvane_msgstore_msg_count(r.ms, G.data());
        EXPECT_GT(n, 0u);
        if (n) {
            EXPECT_EQ(quorvane_msgstore_msg_at(r.ms, G.data(), n - 1, &m), 0);
        }
        return m;
    }
};

}  // namespace

/* ---- arming and the cache, no network ---- */

// Arming refuses what it cannot run, and never a running transfer's place.
TEST(WorkerXferArm, Refusals) {
    Local l;
    Wk wk(l.ms, &l.keys.k);
    Wk none(nullptr, &l.keys.k);
    const bytes data = pattern(100, 1);
    int16_t samples[8] = {1, -2, 300, -400, 5, 6, 7, 8};
    quorvane_file_meta meta{};
    meta.blob.size = 100;
    quorvane_link_meta link{};
    std::strcpy(link.url, "https://example.org/");
    link.has_image = 1;
    const uint8_t *g = G.data();
    const std::vector<std::pair<const char *, std::function<int(quorvane_worker *)>>> refused = {
        {"file of 0 bytes", [&](quorvane_worker *w) { return quorvane_worker_send_file(w, g, data.data(), 0, "a/b", "n"); }},
        // refused on the size alone, before a byte is read
        {"file past 256 MiB", [&](quorvane_worker *w) { return quorvane_worker_send_file(w, g, data.data(), QV_BLOB_MAX + 1, "a/b", "n"); }},
        {"file without data", [&](quorvane_worker *w) { return quorvane_worker_send_file(w, g, nullptr, 10, "a/b", "n"); }},
        {"file without conversation", [&](quorvane_worker *w) { return quorvane_worker_send_file(w, nullptr, data.data(), 10, "a/b", "n"); }},
        {"voice of no samples", [&](quorvane_worker *w) { return quorvane_worker_send_voice(w, g, samples, 0, 8000); }},
        {"voice at rate 0", [&](quorvane_worker *w) { return quorvane_worker_send_voice(w, g, samples, 8, 0); }},
        {"link image missing", [&](quorvane_worker *w) { return quorvane_worker_send_link(w, g, &link, nullptr, 0); }},
        {"avatar of 0 bytes", [&](quorvane_worker *w) { return quorvane_worker_set_avatar(w, data.data(), 0, "image/png"); }},
        {"group avatar without conversation", [&](quorvane_worker *w) { return quorvane_worker_set_group_avatar(w, nullptr, data.data(), 10, "image/png"); }},
        {"download without path", [&](quorvane_worker *w) { return quorvane_worker_download_file(w, &meta, nullptr); }},
        {"download to an empty path", [&](quorvane_worker *w) { return quorvane_worker_download_file(w, &meta, ""); }},
        {"download without descriptor", [&](quorvane_worker *w) { return quorvane_worker_download_mem(w, nullptr); }},
    };
    for (const auto &[name, call] : refused) {
        SCOPED_TRACE(name);
        EXPECT_EQ(call(wk.w), -1);
        EXPECT_EQ(busy_of(wk.w), 0);
    }
    meta.blob.size = 0;
    EXPECT_EQ(quorvane_worker_download_mem(wk.w, &meta), -1);
    meta.blob.size = QV_BLOB_MAX + 1;
    EXPECT_EQ(quorvane_worker_download_mem(wk.w, &meta), -1);
    meta.blob.size = 100;

    // no store, no worker
    EXPECT_EQ(quorvane_worker_send_file(none.w, g, data.data(), 10, "a/b", "n"), -1);
    EXPECT_EQ(quorvane_worker_download_mem(none.w, &meta), -1);
    EXPECT_EQ(quorvane_worker_set_avatar(none.w, data.data(), 10, "image/png"), -1);
    EXPECT_EQ(quorvane_worker_send_file(nullptr, g, data.data(), 10, "a/b", "n"), -1);
    EXPECT_EQ(quorvane_worker_xfer_status(nullptr, nullptr, nullptr, nullptr), -1);

    // one at a time: the running transfer keeps its place and its kind
    ASSERT_EQ(quorvane_worker_send_voice(wk.w, g, samples, 8, 8000), 0);
    EXPECT_EQ(busy_of(wk.w), 1);
    EXPECT_EQ(quorvane_worker_send_file(wk.w, g, data.data(), 10, "a/b", "n"), -1);
    EXPECT_EQ(quorvane_worker_download_mem(wk.w, &meta), -1);
    EXPECT_EQ(quorvane_worker_set_avatar(wk.w, data.data(), 10, "image/png"), -1);
    EXPECT_EQ(wk.w->xfer.kind, QV_XFER_VOICE);
    EXPECT_EQ(busy_of(wk.w), 1);
}

// A destination path is taken whole or refused: 511 bytes arm, 512 do not.
TEST(WorkerXferArm, DestinationPathFitsOrIsRefused) {
    Local l;
    Wk wk(l.ms, &l.keys.k);
    quorvane_file_meta meta{};
    meta.blob.size = 10;
    const std::string longest = "/" + std::string(QV_XFER_DEST_MAX - 2, 'p');
    const std::string over = longest + "q";
    EXPECT_EQ(quorvane_worker_download_file(wk.w, &meta, over.c_str()), -1);
    EXPECT_EQ(busy_of(wk.w), 0);
    ASSERT_EQ(quorvane_worker_download_file(wk.w, &meta, longest.c_str()), 0);
    EXPECT_EQ(std::string(wk.w->xfer.dest), longest);
}

// A download whose blob is cached completes in the arming call: to memory
// (taken once) and to a file (written whole, nothing left beside it).
TEST(WorkerXferCache, ServedWithoutNetwork) {
    Local l;
    Wk wk(l.ms, &l.keys.k);
    TempDir dir;
    wk.cache(dir.file("blobs"));
    const bytes plain = pattern(65537, 3);
    Sealed s(plain);
    ASSERT_EQ(quorvane_blobcache_put(wk.w->blob_dir, STORAGE.data(), s.sealed.data(), s.sealed.size(), Wk::kCacheLimit), 0);

    ASSERT_EQ(quorvane_worker_download_mem(wk.w, &s.meta), 0);
    int busy = -1, done = -1, ok = -1;
    ASSERT_EQ(quorvane_worker_xfer_status(wk.w, &busy, &done, &ok), 0);
    EXPECT_EQ(busy, 0);
    EXPECT_EQ(done, 1);
    EXPECT_EQ(ok, 1);
    uint8_t *got = nullptr;
    size_t len = 0;
    ASSERT_EQ(quorvane_worker_take_download(wk.w, &got, &len), 1);
    EXPECT_EQ(bytes(got, got + len), plain);
    std::free(got);
    EXPECT_EQ(quorvane_worker_take_download(wk.w, &got, &len), 0);

    const std::string out = dir.file("out.bin");
    ASSERT_EQ(quorvane_worker_download_file(wk.w, &s.meta, out.c_str()), 0);
    EXPECT_EQ(busy_of(wk.w), 0);
    EXPECT_TRUE(file_is(out, plain));
    EXPECT_FALSE(exists(out + ".tmp"));
    EXPECT_EQ(quorvane_worker_take_download(wk.w, &got, &len), 0);  // a download to a file hands nothing out

    // a destination that cannot be written: done, failed, and no file
    const std::string nowhere = dir.file("missing/out.bin");
    ASSERT_EQ(quorvane_worker_download_file(wk.w, &s.meta, nowhere.c_str()), 0);
    ASSERT_EQ(quorvane_worker_xfer_status(wk.w, &busy, &done, &ok), 0);
    EXPECT_EQ(done, 1);
    EXPECT_EQ(ok, 0);
    EXPECT_FALSE(exists(nowhere));
}

// A cached entry that does not open, or is of another length, is dropped
// and the blob fetched again: the slot stays armed for the network and the
// destination is not touched.
TEST(WorkerXferCache, BadEntryDroppedAndFetchedAgain) {
    const bytes plain = pattern(1000, 4);
    Sealed s(plain);
    struct Case {
        const char *name;
        std::function<bytes(bytes)> spoil;
    } const cases[] = {
        {"a flipped byte", [](bytes b) { b[b.size() / 2] ^= 0x40; return b; }},
        {"cut short", [](bytes b) { b.pop_back(); return b; }},
        {"grown", [](bytes b) { b.push_back(0); return b; }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Local l;
        Wk wk(l.ms, &l.keys.k);
        TempDir dir;
        wk.cache(dir.file("blobs"));
        const bytes bad = c.spoil(s.sealed);
        ASSERT_EQ(quorvane_blobcache_put(wk.w->blob_dir, STORAGE.data(), bad.data(), bad.size(), Wk::kCacheLimit), 0);
        const std::string out = dir.file("keep.bin");
        {
            std::ofstream f(out, std::ios::binary);
            f << "old";
        }
        ASSERT_EQ(quorvane_worker_download_file(wk.w, &s.meta, out.c_str()), 0);
        EXPECT_EQ(busy_of(wk.w), 1);
        EXPECT_EQ(wk.w->xfer.started, 0);
        EXPECT_EQ(wk.w->xfer.local, 0);
        size_t n = 0;
        bytes buf(bad.size() + 1);
        EXPECT_EQ(quorvane_blobcache_get(wk.w->blob_dir, STORAGE.data(), buf.data(), buf.size(), &n), -1);
        EXPECT_TRUE(file_is(out, bytes{'o', 'l', 'd'}));
    }
}

/* ---- through a scripted blob server ---- */

// A file with a poster: the poster goes first, then the file, then one file
// message naming both; the file comes back byte for byte through the
// server, and a second download is served from the cache without it.
TEST(WorkerXferWire, FileWithPosterRoundTrip) {
    Rig rig;
    const bytes data = pattern(2 * 65536 + 1, 5), poster = pattern(300, 6);
    ASSERT_EQ(quorvane_worker_send_file_poster(rig.wk->w, G.data(), data.data(), data.size(), "application/x-test", "report.bin",
                                               poster.data(), poster.size(), 32, 24),
              0);
    ASSERT_TRUE(rig.run());
    EXPECT_EQ(rig.ok(), 1);
    const std::vector<bytes> order = rig.srv.with([&] { return rig.srv.order; });
    ASSERT_EQ(order.size(), 2u);

    const quorvane_ms_msgrec m = rig.last();
    ASSERT_EQ(m.type, QV_MS_TYPE_FILE);
    quorvane_file_meta meta{};
    ASSERT_EQ(quorvane_msg_file_decode(reinterpret_cast<const uint8_t *>(m.text), m.text_len, &meta), 0);
    EXPECT_EQ(meta.has_thumb, 1);
    EXPECT_EQ(bytes(meta.thumb.storage_id, meta.thumb.storage_id + 16), order[0]);
    EXPECT_EQ(bytes(meta.blob.storage_id, meta.blob.storage_id + 16), order[1]);
    EXPECT_EQ(meta.thumb_width, 32u);
    EXPECT_STREQ(meta.name, "report.bin");
    EXPECT_STREQ(meta.mime, "application/x-test");
    EXPECT_EQ(meta.blob.size, data.size());

    const std::string out = rig.files.file("report.bin");
    ASSERT_EQ(quorvane_worker_download_file(rig.wk->w, &meta, out.c_str()), 0);
    ASSERT_TRUE(rig.run());
    EXPECT_EQ(rig.ok(), 1);
    EXPECT_TRUE(file_is(out, data));
    const size_t steps = rig.srv.with([&] { return rig.srv.download_steps; });
    EXPECT_GE(steps, 3u);

    ASSERT_EQ(quorvane_worker_download_mem(rig.wk->w, &meta), 0);
    EXPECT_EQ(busy_of(rig.wk->w), 0);  // done in the arming call
    uint8_t *got = nullptr;
    size_t len = 0;
    ASSERT_EQ(quorvane_worker_take_download(rig.wk->w, &got, &len), 1);
    EXPECT_EQ(bytes(got, got + len), data);
    std::free(got);
    EXPECT_EQ(rig.srv.with([&] { return rig.srv.download_steps; }), steps);
}

// A poster the server refuses leaves the file sent without it.
TEST(WorkerXferWire, PosterThatFailsLeavesTheFile) {
    Rig rig;
    rig.srv.with([&] { rig.srv.refuse_upload = 1; });
    const bytes data = pattern(5000, 7), poster = pattern(200, 8);
    ASSERT_EQ(quorvane_worker_send_file_poster(rig.wk->w, G.data(), data.data(), data.size(), "a/b", "f", poster.data(), poster.size(), 1, 1),
              0);
    ASSERT_TRUE(rig.run());
    EXPECT_EQ(rig.ok(), 1);
    const std::vector<bytes> order = rig.srv.with([&] { return rig.srv.order; });
    ASSERT_EQ(order.size(), 1u);
    const quorvane_ms_msgrec m = rig.last();
    quorvane_file_meta meta{};
    ASSERT_EQ(quorvane_msg_file_decode(reinterpret_cast<const uint8_t *>(m.text), m.text_len, &meta), 0);
    EXPECT_EQ(meta.has_thumb, 0);
    EXPECT_EQ(bytes(meta.blob.storage_id, meta.blob.storage_id + 16), order[0]);
}

// A voice note is sent as one voice record with the peaks and length of
// its samples.
TEST(WorkerXferWire, VoiceCarriesItsPeaks) {
    Rig rig;
    std::vector<int16_t> samples(8000);
    for (size_t i = 0; i < samples.size(); i++) samples[i] = static_cast<int16_t>((i % 200) * 150 - 15000);
    ASSERT_EQ(quorvane_worker_send_voice(rig.wk->w, G.data(), samples.data(), samples.size(), 16000), 0);
    ASSERT_TRUE(rig.run());
    EXPECT_EQ(rig.ok(), 1);
    const quorvane_ms_msgrec m = rig.last();
    ASSERT_EQ(m.type, QV_MSG_VOICE);
    quorvane_voice_meta v{};
    ASSERT_EQ(quorvane_msg_voice_decode(reinterpret_cast<const uint8_t *>(m.text), m.text_len, &v), 0);
    uint8_t peaks[QV_MSG_VOICE_PEAKS_MAX];
    const size_t n = quorvane_voice_peaks(samples.data(), samples.size(), peaks, QV_MSG_VOICE_PEAKS_MAX);
    ASSERT_EQ(v.peak_count, n);
    EXPECT_EQ(bytes(v.peaks, v.peaks + n), bytes(peaks, peaks + n));
    EXPECT_EQ(v.duration_ms, 500u);
}

// A download whose bytes do not open, fall short of the blob, or run past
// the total the server gives fails: nothing is cached and the destination
// keeps what it held.
TEST(WorkerXferWire, BadDownloadsAreNeitherCachedNorDelivered) {
    const struct {
        const char *name;
        decltype(BlobServer::fault) fault;
    } cases[] = {{"corrupt", BlobServer::CORRUPT}, {"short", BlobServer::SHORT}, {"longer than its total", BlobServer::LONG}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        const bytes data = pattern(3000, 9);
        ASSERT_EQ(quorvane_worker_send_file(rig.wk->w, G.data(), data.data(), data.size(), "a/b", "f"), 0);
        ASSERT_TRUE(rig.run());
        ASSERT_EQ(rig.ok(), 1);
        quorvane_file_meta meta{};
        const quorvane_ms_msgrec m = rig.last();
        ASSERT_EQ(quorvane_msg_file_decode(reinterpret_cast<const uint8_t *>(m.text), m.text_len, &meta), 0);

        rig.srv.with([&] { rig.srv.fault = c.fault; });
        const std::string out = rig.files.file("keep.bin");
        {
            std::ofstream f(out, std::ios::binary);
            f << "old";
        }
        ASSERT_EQ(quorvane_worker_download_file(rig.wk->w, &meta, out.c_str()), 0);
        ASSERT_TRUE(rig.run());
        EXPECT_EQ(rig.ok(), 0);
        EXPECT_TRUE(file_is(out, bytes{'o', 'l', 'd'}));
        EXPECT_FALSE(exists(out + ".tmp"));
        EXPECT_EQ(quorvane_blobcache_size(rig.wk->w->blob_dir), 0u);
    }
}

// A new run resumes an upload that has its id and its bytes under the same
// id; a download that had started ends failed.
TEST(WorkerXferWire, ReconnectResumesUploadsOnly) {
    Rig rig;
    rig.srv.with([&] { rig.srv.hold_end = true; });
    const bytes data = pattern(70000, 10);
    ASSERT_EQ(quorvane_worker_send_file(rig.wk->w, G.data(), data.data(), data.size(), "a/b", "f"), 0);
    ASSERT_TRUE(wait_until(
        [&] {
            quorvane_cs_pump(rig.r.cs.get());
            rig.wk->xfer(rig.r.cs.get());
            return rig.wk->w->xfer.upload_id_known == 1;
        },
        kWaitMs));
    const bytes id(rig.wk->w->xfer.upload_id, rig.wk->w->xfer.upload_id + 16);
    pthread_mutex_lock(&rig.wk->w->mu);
    xfer_on_ready(rig.wk->w);
    pthread_mutex_unlock(&rig.wk->w->mu);
    EXPECT_EQ(rig.wk->w->xfer.started, 0);
    EXPECT_EQ(busy_of(rig.wk->w), 1);

    // the next session asks to go on under the same id
    rig.srv.with([&] { rig.srv.hold_end = false; });
    Remote r2(false, [&](const bytes &f) { return rig.srv.answer(f); });
    r2.start();
    ASSERT_TRUE(wait_until(
        [&] {
            quorvane_cs_pump(r2.cs.get());
            rig.wk->xfer(r2.cs.get());
            return busy_of(rig.wk->w) == 0;
        },
        kWaitMs));
    const std::vector<bytes> frames = r2.rec.all();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(type_of(frames[0]), 9);
    EXPECT_EQ(field(frames[0], 23), id);
    rig.srv.with([&] {
        ASSERT_EQ(rig.srv.order.size(), 1u);
        EXPECT_EQ(rig.srv.order[0], id);
        EXPECT_EQ(rig.srv.blobs[BlobServer::key(id)].size(), quorvane_blob_sealed_len(data.size()));
    });

    // a download in flight does not survive the connection
    quorvane_file_meta meta{};
    meta.blob.size = 10;
    std::memcpy(meta.blob.storage_id, rep(0xEE, 16).data(), 16);
    Wk wk(rig.r.ms, &rig.r.keys.k);
    ASSERT_EQ(quorvane_worker_download_mem(wk.w, &meta), 0);
    pthread_mutex_lock(&wk.w->mu);
    wk.w->xfer.started = 1;
    xfer_on_ready(wk.w);
    pthread_mutex_unlock(&wk.w->mu);
    int busy = -1, done = -1, ok = -1;
    ASSERT_EQ(quorvane_worker_xfer_status(wk.w, &busy, &done, &ok), 0);
    EXPECT_EQ(busy, 0);
    EXPECT_EQ(done, 1);
    EXPECT_EQ(ok, 0);
}
