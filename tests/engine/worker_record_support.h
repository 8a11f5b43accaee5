// A worker record put together by hand, as start leaves it once connected,
// without its thread: the queue, the transfer slot and the readers can be
// driven directly from a test.
#pragma once

#include "client_search.h"
#include "signed_in_support.h"
#include "worker_internal.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace qvtest {

inline bool zero(const void *p, size_t n) {
    const auto *b = static_cast<const uint8_t *>(p);
    for (size_t i = 0; i < n; i++)
        if (b[i]) return false;
    return true;
}

struct Wk {
    quorvane_worker *w;
    Wk(quorvane_msgstore *ms, const quorvane_device_keys *keys) {
        w = static_cast<quorvane_worker *>(std::calloc(1, sizeof(quorvane_worker)));
        pthread_mutex_init(&w->mu, nullptr);
        pthread_mutex_init(&w->store_mu, nullptr);
        w->ms = ms;
        if (keys) {
            w->keys = *keys;
            w->keys_loaded = 1;
        }
        w->status.code = QV_WS_CONNECTED;
        std::memcpy(w->status.user_id, OWN.data(), 16);
    }
    ~Wk() {
        cmd_queue_flush(w);
        xfer_free_all(w);
        std::free(w->blob_dir);
        if (w->pending_new_password) std::free(w->pending_new_password);
        if (w->deep) {
            quorvane_deep_clear(w->deep);
            std::free(w->deep);
        }
        quorvane_cleanse(&w->keys, sizeof w->keys);
        pthread_mutex_destroy(&w->store_mu);
        pthread_mutex_destroy(&w->mu);
        std::free(w);
    }
    void apply(quorvane_cs *cs) {
        pthread_mutex_lock(&w->mu);
        apply_commands(w, cs);
        pthread_mutex_unlock(&w->mu);
    }
    // one step of the transfer slot, as the connected run takes it
    void xfer(quorvane_cs *cs) {
        pthread_mutex_lock(&w->mu);
        xfer_pump(w, cs);
        pthread_mutex_unlock(&w->mu);
    }
    // a blob cache the downloads use (the worker's is beside its store)
    void cache(const std::string &dir, uint64_t limit = kCacheLimit) {
        std::free(w->blob_dir);
        w->blob_dir = strdup(dir.c_str());
        w->blob_cache_limit = limit;
    }
    size_t queued() {
        pthread_mutex_lock(&w->mu);
        const size_t n = w->cmd_count;
        pthread_mutex_unlock(&w->mu);
        return n;
    }
    quorvane_wcmd *tail() { return w->cmd_tail; }
    static constexpr uint64_t kCacheLimit = 1u << 30;
};

}  // namespace qvtest
