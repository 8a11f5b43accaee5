// The worker object: start, stop, status and the small controls the screens use.
#include "worker_internal.h"

#include "client_emojicache.h"
#include "client_search.h"
#include "engine_clock.h"
#include "quorvane_backup.h"
#include "quorvane_crypto.h"

#include <openssl/crypto.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

namespace {

struct locked {
    quorvane_worker *w;
    explicit locked(quorvane_worker *worker) : w(worker) { pthread_mutex_lock(&w->mu); }
    ~locked() { pthread_mutex_unlock(&w->mu); }
    locked(const locked &) = delete;
    locked &operator=(const locked &) = delete;
};

char *dup_or_null(const char *s) { return s ? strdup(s) : nullptr; }

char *path_printf(const char *fmt, const char *a) {
    char *out = nullptr;
    return asprintf(&out, fmt, a) < 0 ? nullptr : out;
}

// "instavatars" beside the message-store directory, or in the working directory
// when that has no parent part.
char *instavatar_dir_of(const char *msgstore_dir) {
    const char *slash = std::strrchr(msgstore_dir, '/');
    if (!slash) return strdup("instavatars");
    std::string d(msgstore_dir, static_cast<size_t>(slash - msgstore_dir));
    d += "/instavatars";
    return strdup(d.c_str());
}

int all_digits(const char *s, size_t n) {
    if (std::strlen(s) != n) return 0;
    for (size_t i = 0; i < n; i++)
        if (s[i] < '0' || s[i] > '9') return 0;
    return 1;
}

void vset_status(quorvane_worker *w, int32_t code, const char *fmt, va_list ap) {
    w->status.code = code;
    std::vsnprintf(w->status.text, sizeof w->status.text, fmt, ap);
}

}  // namespace

uint64_t worker_now_ms() { return quorvane_engine_now_ms(); }

void worker_wipe_free(char **s) {
    if (!*s) return;
    OPENSSL_cleanse(*s, std::strlen(*s));
    std::free(*s);
    *s = nullptr;
}

void worker_set_status_locked(quorvane_worker *w, int32_t code, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vset_status(w, code, fmt, ap);
    va_end(ap);
}

void worker_set_status(quorvane_worker *w, int32_t code, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    pthread_mutex_lock(&w->mu);
    vset_status(w, code, fmt, ap);
    pthread_mutex_unlock(&w->mu);
    va_end(ap);
}

void worker_free_fields(quorvane_worker *w) {
    cmd_queue_flush(w);
    xfer_free_all(w);
    OPENSSL_cleanse(w->recovery_key, sizeof w->recovery_key);
    OPENSSL_cleanse(w->reset_code, sizeof w->reset_code);
    OPENSSL_cleanse(w->preauth, sizeof w->preauth);
    OPENSSL_cleanse(w->pw_auth, sizeof w->pw_auth);
    worker_wipe_free(&w->email_code);
    worker_wipe_free(&w->email_req_a);
    worker_wipe_free(&w->email_req_b);
    worker_wipe_free(&w->pending_new_password);
    worker_wipe_free(&w->adopt_password);
    worker_wipe_free(&w->keyfile_prev_password);
    worker_wipe_free(&w->password);
    std::free(w->bk_path);
    quorvane_msgstore_close(w->ms);
    w->ms = nullptr;
    quorvane_emoji_cache_free(w->emoji);
    quorvane_emoji_cache_free(w->sticker);
    w->emoji = w->sticker = nullptr;
    OPENSSL_cleanse(&w->pub_prekeys, sizeof w->pub_prekeys);
    if (w->keys_loaded) quorvane_device_keys_cleanse(&w->keys);
    OPENSSL_cleanse(&w->keys, sizeof w->keys);
    for (char *s : {w->server_host, w->server_port, w->username, w->keystore_path, w->pin_path, w->msgstore_dir,
                    w->emoji_dir, w->sticker_dir, w->blob_dir, w->instavatar_dir})
        std::free(s);
    std::free(w->instances);
    if (w->deep) {
        quorvane_deep_clear(w->deep);
        OPENSSL_cleanse(w->deep, sizeof *w->deep);
        std::free(w->deep);
    }
    OPENSSL_cleanse(&w->email_info, sizeof w->email_info);
    OPENSSL_cleanse(w->note_ring, sizeof w->note_ring);
    pthread_mutex_destroy(&w->store_mu);
    pthread_mutex_destroy(&w->mu);
    std::free(w);
}

quorvane_worker *quorvane_worker_start(const quorvane_worker_config *cfg) {
    if (!cfg || !cfg->server_host || !cfg->server_port || !cfg->username || !cfg->password || !cfg->keystore_path ||
        !cfg->pin_path)
        return nullptr;
    auto *w = static_cast<quorvane_worker *>(std::calloc(1, sizeof(quorvane_worker)));
    if (!w) return nullptr;
    pthread_mutex_init(&w->mu, nullptr);
    pthread_mutex_init(&w->store_mu, nullptr);
    w->server_host = dup_or_null(cfg->server_host);
    w->server_port = dup_or_null(cfg->server_port);
    w->username = dup_or_null(cfg->username);
    w->password = dup_or_null(cfg->password);
    w->keystore_path = dup_or_null(cfg->keystore_path);
    w->pin_path = dup_or_null(cfg->pin_path);
    w->msgstore_dir = dup_or_null(cfg->msgstore_dir);
    w->emoji_dir = dup_or_null(cfg->emoji_dir);
    w->sticker_dir = dup_or_null(cfg->sticker_dir);
    bool ok = w->server_host && w->server_port && w->username && w->password && w->keystore_path && w->pin_path &&
              (!cfg->msgstore_dir || w->msgstore_dir) && (!cfg->emoji_dir || w->emoji_dir) &&
              (!cfg->sticker_dir || w->sticker_dir);

    w->register_ = cfg->register_ ? 1 : 0;
    w->presence_public = !cfg->presence_private;
    w->hide_notif = !cfg->notif_show;
    w->backoff_initial_ms = cfg->backoff_initial_ms > 0 ? cfg->backoff_initial_ms : 1000;
    w->backoff_max_ms = cfg->backoff_max_ms > 0 ? cfg->backoff_max_ms : 60000;
    w->approval_poll_ms = cfg->approval_poll_ms > 0 ? cfg->approval_poll_ms : 5000;
    w->hold_sync_ms = cfg->hold_sync_ms > 0 ? cfg->hold_sync_ms : 60000;
    w->max_attempts = cfg->max_attempts > 0 ? cfg->max_attempts : 0;
    w->no_initial_sync = cfg->no_initial_sync;
    w->relink_reconnects = cfg->relink_reconnects;
    w->session_option = cfg->session_option;
    w->blob_cache_limit = cfg->blob_cache_limit ? cfg->blob_cache_limit : 134217728u;
    if (ok && w->msgstore_dir) {
        w->instavatar_dir = instavatar_dir_of(w->msgstore_dir);
        if (w->instavatar_dir) (void)mkdir(w->instavatar_dir, 0700);
        w->blob_dir = path_printf("%s-blobs", w->msgstore_dir);
        ok = w->instavatar_dir && w->blob_dir;
    }
    w->preauth_mode = cfg->preauth_mode;
    if (ok && cfg->email_code) {
        ok = all_digits(cfg->email_code, QV_CS_CODE_LEN) && (w->email_code = strdup(cfg->email_code)) != nullptr;
        w->register_ = 1;
    }
    if (ok && cfg->reset_code) {
        ok = quorvane_reset_code_decode(cfg->reset_code, w->reset_code) == 0;
        w->reset_mode = 1;
        w->register_ = 1;
    }
    if (ok && cfg->recovery_key) {
        ok = quorvane_rk_decode(cfg->recovery_key, w->recovery_key) == 0;
        w->recovery_mode = 1;
        w->register_ = 0;
    }
    if (ok) w->bk_path = path_printf("%s.bk", w->keystore_path);
    ok = ok && w->bk_path;
    w->status.code = QV_WS_CONNECTING;
    if (ok && pthread_create(&w->thread, nullptr, worker_thread, w) == 0) {
        w->thread_started = 1;
        return w;
    }
    worker_free_fields(w);
    return nullptr;
}

void quorvane_worker_stop(quorvane_worker *w) {
    if (!w) return;
    pthread_mutex_lock(&w->mu);
    w->stop = 1;
    pthread_mutex_unlock(&w->mu);
    if (w->thread_started) pthread_join(w->thread, nullptr);
    worker_free_fields(w);
}

int quorvane_worker_get(quorvane_worker *w, quorvane_worker_status *out) {
    if (!w) {
        if (out) {
            std::memset(out, 0, sizeof *out);
            out->code = QV_WS_FAILED;
            std::snprintf(out->text, sizeof out->text, "No worker.");
        }
        return -1;
    }
    if (!out) return -1;
    locked l(w);
    *out = w->status;
    out->text[sizeof out->text - 1] = 0;
    return 0;
}

uint32_t quorvane_worker_emoji_version(quorvane_worker *w) {
    if (!w) return 0;
    locked l(w);
    return w->emoji_epoch;
}

uint32_t quorvane_worker_sticker_version(quorvane_worker *w) {
    if (!w) return 0;
    locked l(w);
    return w->sticker_epoch;
}

int quorvane_worker_server_key(quorvane_worker *w, uint8_t out[32]) {
    if (!w || !out) return 0;
    locked l(w);
    if (!w->server_key_pending) return 0;
    std::memcpy(out, w->server_key, 32);
    return 1;
}

int quorvane_worker_accept_server_key(quorvane_worker *w) {
    if (!w) return -1;
    locked l(w);
    if (!w->server_key_pending) return -1;
    w->server_key_accepted = 1;
    return 0;
}

namespace {

// Both key-file answers are taken only while the thread waits for one.
bool keyfile_asks(const quorvane_worker *w) {
    return w->status.code == QV_WS_KEYFILE_DECISION && w->keyfile_needs_previous;
}

}  // namespace

int quorvane_worker_keyfile_old_password(quorvane_worker *w, const char *text) {
    if (!w || !text || !text[0] || std::strlen(text) > 1024) return -1;
    locked l(w);
    if (!keyfile_asks(w)) return -1;
    char *copy = strdup(text);
    if (!copy) return -1;
    worker_wipe_free(&w->keyfile_prev_password);
    w->keyfile_prev_password = copy;
    w->keyfile_decision = 1;
    return 0;
}

int quorvane_worker_keyfile_relink(quorvane_worker *w) {
    if (!w) return -1;
    locked l(w);
    if (!keyfile_asks(w)) return -1;
    w->keyfile_decision = 2;
    return 0;
}

void quorvane_worker_kick(quorvane_worker *w) {
    if (!w) return;
    locked l(w);
    w->wake = 1;
}

void quorvane_worker_set_online(quorvane_worker *w, int online) {
    if (!w) return;
    locked l(w);
    if (w->offline && online) w->wake = 1;
    w->offline = !online;
}

int quorvane_worker_offline(quorvane_worker *w) {
    if (!w) return 0;
    locked l(w);
    return w->offline;
}

int quorvane_worker_join_pending(quorvane_worker *w, const uint8_t conv_id[16]) {
    if (!w || !conv_id) return 0;
    locked l(w);
    for (const qv_join_count &j : w->join_counts)
        if (j.count && std::memcmp(j.conv_id, conv_id, 16) == 0) return j.count;
    return 0;
}

int quorvane_worker_preauth_result(quorvane_worker *w, uint8_t out[56]) {
    if (!w || !out) return -1;
    locked l(w);
    if (!w->preauth_present) return -1;
    std::memcpy(out, w->preauth, QV_W_PREAUTH_LEN);
    return 0;
}
