// Writes behind the caller's lock: a batch's end copies every due file's
// contents into a queue while the store is locked, and the files are sealed
// and reach the disk after the lock is let go, in the order they were queued,
// one writer at a time. The copies are wiped once sealed.
// Until a queued file is on disk its change counts as not written: the marks
// that say so come back if the write fails, and any other write of the store
// first lets the queue reach the disk, so nothing on disk ever overtakes what
// the queue holds.
#include "client_msgstore_internal.h"

#include "n_log.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

enum job_state : int { QUEUED = 0, WRITTEN = 1, FAILED = -1 };

// A plaintext copy, wiped however the job ends.
struct plain_bytes {
    std::vector<uint8_t> b;
    plain_bytes() = default;
    plain_bytes(plain_bytes &&) = default;
    plain_bytes &operator=(plain_bytes &&) = default;
    ~plain_bytes() { wipe(); }
    void wipe() {
        if (!b.empty()) quorvane_cleanse(b.data(), b.size());
        std::vector<uint8_t>().swap(b);
    }
};

struct ms_job {
    std::string path;
    std::string label;
    plain_bytes plain;             // sealed when the queue is written, then wiped
    bool remove = false;           // unlink instead, then sync the directory
    bool keep_old = false;         // an unreadable file is set aside first
    qv_ms::behind_tag tag;
    std::vector<std::array<uint8_t, QV_MS_ID_LEN>> unlisted;  // "convs.dat": conversations it lists for the first time
    std::vector<qv_ms::arch_id> arch_keys;                     // an archive: the entries it takes over
    int state = QUEUED;
};

}  // namespace

struct quorvane_ms_behind {
    std::mutex disk;               // the queue, and the files while a job writes
    std::deque<ms_job> jobs;       // oldest first; finished ones wait for settle
    qv_ms::behind_tag tag;         // what the file being sealed is, while capturing
    std::vector<qv_ms::arch_id> arch_keys;
    bool capturing = false;
};

namespace qv_ms {

namespace {

quorvane_ms_behind *behind_of(quorvane_msgstore *ms) {
    if (!ms->behind) ms->behind = new (std::nothrow) quorvane_ms_behind;
    return ms->behind;
}

// Writes the queued jobs in order; the first failure fails every job after
// it, which must not reach the disk ahead of it. Disk lock held.
void run_jobs(quorvane_ms_behind *b, const quorvane_msgstore *ms) {
    const char *dir = ms->dir;
    bool failed = false;
    for (ms_job &j : b->jobs) {
        if (j.state != QUEUED) continue;
        if (failed) {
            j.state = FAILED;
            continue;
        }
        int rc;
        if (j.remove) {
            rc = (j.keep_old ? set_aside(j.path.c_str(), true) : unlink(j.path.c_str())) == 0 || errno == ENOENT ? 0 : -1;
            if (rc == 0) sync_dir(dir);
        } else {
            // the store's key is set at open and never changes: no lock needed to read it
            wbuf sealed;
            rc = seal_file(ms->key, reinterpret_cast<const uint8_t *>(j.label.data()), j.label.size(), j.plain.b.data(),
                           j.plain.b.size(), &sealed);
            if (rc == 0) rc = atomic_write(j.path.c_str(), sealed.p, sealed.n, j.keep_old);
        }
        j.state = rc == 0 ? WRITTEN : FAILED;
        failed = rc != 0;
        j.plain.wipe();
    }
}

void mark_all_due(quorvane_msgstore *ms) {
    for (size_t i = 0; i < ms->conv_count; i++) ms->convs[i].msgs_dirty = 1;
    ms->idents_dirty = 1;
    ms->convs_dirty = 1;
}

void settle_one(quorvane_msgstore *ms, ms_job &j) {
    quorvane_ms_conv *c = j.tag.kind == behind_kind::other || j.tag.kind == behind_kind::idents || j.tag.kind == behind_kind::convs
                              ? nullptr
                              : find_conv(ms, j.tag.conv);
    if (j.state == WRITTEN) {
        if (j.keep_old) unmark_unread(ms, j.path.c_str());
        if (c && j.tag.kind == behind_kind::archive) arch_settled(c, j.arch_keys);
        return;
    }
    n_log(LOG_ERR, "msgstore: %s was not written; it is due again", j.path.c_str());
    switch (j.tag.kind) {
    case behind_kind::msgs: if (c) c->msgs_dirty = 1; break;
    case behind_kind::unopened: if (c) c->unopened_dirty = 1; break;
    case behind_kind::idents: ms->idents_dirty = 1; break;
    case behind_kind::convs:
        ms->convs_dirty = 1;
        ms->cursor_dirty = 1;
        for (const auto &id : j.unlisted)
            if (quorvane_ms_conv *u = find_conv(ms, id.data())) u->unlisted = 1;
        break;
    case behind_kind::archive: break;  // its entries stay pending and go with the next end
    case behind_kind::other: mark_all_due(ms); break;
    }
}

}  // namespace

void behind_tag_next(quorvane_msgstore *ms, behind_kind kind, const uint8_t *conv) {
    if (!ms->behind || !ms->behind->capturing) return;
    ms->behind->tag.kind = kind;
    if (conv) std::memcpy(ms->behind->tag.conv, conv, QV_MS_ID_LEN);
}

void behind_arch_keys(quorvane_msgstore *ms, std::vector<arch_id> keys) {
    if (ms->behind && ms->behind->capturing) ms->behind->arch_keys = std::move(keys);
}

bool behind_keys_taken(quorvane_msgstore *ms) {
    if (!ms->behind) return false;
    const bool taken = ms->behind->arch_keys.empty();
    ms->behind->arch_keys.clear();
    return taken;
}

bool behind_capturing(const quorvane_msgstore *ms) { return ms->behind && ms->behind->capturing; }

int behind_queue(quorvane_msgstore *ms, const char *path, const uint8_t *label, size_t label_len, const uint8_t *pt, size_t n,
                 bool remove, bool keep_old) {
    quorvane_ms_behind *b = ms->behind;
    ms_job j;
    try {
        j.path = path;
        if (!remove) {
            j.label.assign(reinterpret_cast<const char *>(label), label_len);
            j.plain.b.assign(pt, pt + n);
        }
        if (b->tag.kind == behind_kind::convs)
            for (size_t i = 0; i < ms->conv_count; i++)
                if (ms->convs[i].unlisted) {
                    std::array<uint8_t, QV_MS_ID_LEN> id;
                    std::memcpy(id.data(), ms->convs[i].id, QV_MS_ID_LEN);
                    j.unlisted.push_back(id);
                }
        if (b->tag.kind == behind_kind::archive) {
            j.arch_keys = std::move(b->arch_keys);
            b->arch_keys.clear();
        }
    } catch (...) {
        return -1;
    }
    j.remove = remove;
    j.keep_old = keep_old;
    j.tag = b->tag;
    std::lock_guard<std::mutex> g(b->disk);
    try {
        b->jobs.push_back(std::move(j));
    } catch (...) {
        return -1;
    }
    return 0;
}

void behind_drain(quorvane_msgstore *ms) {
    quorvane_ms_behind *b = ms->behind;
    if (!b || b->capturing) return;
    {
        std::lock_guard<std::mutex> g(b->disk);
        run_jobs(b, ms);
    }
    behind_settle(ms);
}

void behind_settle(quorvane_msgstore *ms) {
    quorvane_ms_behind *b = ms->behind;
    if (!b) return;
    std::deque<ms_job> done;
    {
        std::lock_guard<std::mutex> g(b->disk);
        while (!b->jobs.empty() && b->jobs.front().state != QUEUED) {
            done.push_back(std::move(b->jobs.front()));
            b->jobs.pop_front();
        }
    }
    for (ms_job &j : done) settle_one(ms, j);
}

void behind_free(quorvane_msgstore *ms) {
    behind_drain(ms);
    delete ms->behind;
    ms->behind = nullptr;
}

}  // namespace qv_ms

using namespace qv_ms;

int quorvane_msgstore_batch_end_behind(quorvane_msgstore *ms) {
    if (!ms) return -1;
    if (ms->batch_depth > 1) {
        ms->batch_depth--;
        return 0;
    }
    quorvane_ms_behind *b = behind_of(ms);
    if (!b) return quorvane_msgstore_batch_end(ms);  // no memory for a queue: written here, as before
    behind_settle(ms);  // what the last queue could not write is due again first
    ms->batch_depth = 0;
    b->capturing = true;
    b->tag = {};
    const int rc = write_due(ms);
    b->capturing = false;
    b->tag = {};
    b->arch_keys.clear();
    return rc;
}

int quorvane_msgstore_write_behind(quorvane_msgstore *ms) {
    if (!ms || !ms->behind) return 0;
    quorvane_ms_behind *b = ms->behind;
    std::lock_guard<std::mutex> g(b->disk);
    run_jobs(b, ms);
    for (const ms_job &j : b->jobs)
        if (j.state == FAILED) return -1;
    return 0;
}

void quorvane_msgstore_settle(quorvane_msgstore *ms) {
    if (ms) behind_settle(ms);
}
