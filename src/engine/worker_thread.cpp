// The worker's thread: how this device gets its keys (key store, new account,
// escrow, recovery key, e-mailed code), the local stores, and the reconnect
// loop around each connected run. The mutex is never held across a pump, a
// nap, a key-store operation or a store open.
#include "worker_internal.h"

#include "client_emojicache.h"
#include "client_pin.h"
#include "quorvane_backup.h"
#include "quorvane_crypto.h"
#include "quorvane_keyfile.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char *const KEY_CHANGED_TEXT =
    "The server's identity key CHANGED. Do not continue unless you verified it out of band.";
const char *const KEYFILE_ASK_TEXT =
    "Your password was changed on another device. Enter your PREVIOUS password once to keep this device, or link it again.";
constexpr unsigned ASIDE_TRIES = 100;
const char *const PIN_SAVE_FAILED_TEXT =
    "Could not save the server's new identity key — check free disk space, then accept it again.";

int stopping(quorvane_worker *w) {
    pthread_mutex_lock(&w->mu);
    int s = w->stop;
    pthread_mutex_unlock(&w->mu);
    return s;
}

int is_offline(quorvane_worker *w) {
    pthread_mutex_lock(&w->mu);
    int s = w->offline;
    pthread_mutex_unlock(&w->mu);
    return s;
}

void sleep_ms(uint64_t ms) { usleep(static_cast<useconds_t>(ms * 1000)); }

// Slices of 20 ms, so stop is seen within one; a kick ends the nap early.
void nap(quorvane_worker *w, uint64_t ms) {
    while (ms) {
        pthread_mutex_lock(&w->mu);
        const int stop = w->stop, wake = w->wake;
        w->wake = 0;
        pthread_mutex_unlock(&w->mu);
        if (stop || wake) return;
        const uint64_t step = std::min<uint64_t>(ms, QV_W_NAP_SLICE_MS);
        sleep_ms(step);
        ms -= step;
    }
}

uint32_t jitter() {
    uint8_t b[2] = {0, 0};
    if (quorvane_random(b, 2) != 0) return 0;
    return static_cast<uint32_t>(b[0]) << 8 | b[1];
}

// A wait in [delay/4, 3·delay/4]: reconnecting clients spread out.
uint64_t jittered(uint64_t delay) { return delay / 4 + jitter() % (delay / 2 + 1); }

void wait_for_network(quorvane_worker *w) {
    if (!is_offline(w)) return;
    worker_set_status(w, QV_WS_RETRYING, "No network connection. Waiting for one…");
    while (is_offline(w) && !stopping(w)) nap(w, 500);
}

void set_detail(quorvane_worker *w, const quorvane_cs *cs) {
    const char *d = quorvane_cs_fail_detail(cs);
    std::snprintf(w->last_detail, sizeof w->last_detail, "%s", d ? d : "");
}

// Counts a failed attempt while the worker never got through; 1 when the limit ended it.
int attempts_exhausted(quorvane_worker *w) {
    pthread_mutex_lock(&w->mu);
    int gave_up = 0;
    if (!w->ever_connected && w->max_attempts > 0 && ++w->attempts >= w->max_attempts) {
        worker_set_status_locked(w, QV_WS_UNREACHABLE, "Can't reach the server: %.100s. Check the address and port.",
                                 w->last_detail[0] ? w->last_detail : "no answer");
        gave_up = 1;
    }
    pthread_mutex_unlock(&w->mu);
    return gave_up;
}

// The back-off of the loops before the reconnect loop; 0 try again, -1 give up.
int retry_after_failure(quorvane_worker *w, uint64_t *delay) {
    if (is_offline(w)) {
        wait_for_network(w);
        *delay = static_cast<uint64_t>(w->backoff_initial_ms);
        return stopping(w) ? -1 : 0;
    }
    if (attempts_exhausted(w)) return -1;
    nap(w, jittered(*delay));
    *delay = std::min<uint64_t>(2 * *delay, static_cast<uint64_t>(w->backoff_max_ms));
    return stopping(w) ? -1 : 0;
}

bool transitional(uint32_t st) {
    return st <= QV_CS_SIGNING_IN || st == QV_CS_ESCROW_SENT || st == QV_CS_RECOVERING || st == QV_CS_PREAUTH_SENT;
}

}  // namespace

// Pumps until the handshake settles or stop; the state it settled in.
uint32_t worker_pump_settle(quorvane_worker *w, quorvane_cs *cs) {
    for (;;) {
        pthread_mutex_lock(&w->store_mu);
        quorvane_cs_pump(cs);
        pthread_mutex_unlock(&w->store_mu);
        const uint32_t st = quorvane_cs_get_state(cs);
        if (!transitional(st) || stopping(w)) return st;
        usleep(QV_W_SIGNIN_PUMP_US);
    }
}

quorvane_cs_config worker_cs_config(quorvane_worker *w) {
    // The value costs a scrypt: made on every connection it would hold stop
    // and burn a core at each reconnect.
    if (!w->pw_auth_ready) w->pw_auth_ready = quorvane_pw_auth(w->password, w->username, w->pw_auth) == 0;
    quorvane_cs_config c{};
    c.host = w->server_host;
    c.port = w->server_port;
    c.user = w->username;
    c.password = w->password;
    c.pin_path = w->pin_path;
    c.hints = &w->hints;
    c.fallback_off = w->session_option;
    c.auth = w->pw_auth_ready ? w->pw_auth : nullptr;
    return c;
}

namespace {

int fail(quorvane_worker *w, const char *text) {
    worker_set_status(w, QV_WS_FAILED, "%s", text);
    return -1;
}

// One handshake before the reconnect loop, tried until it settles in an
// answer. `answer` decides on it: 0 done, -1 ended (status set), 1 count it
// as a failed attempt. A changed key ends it; a failure backs off and retries.
template <typename F>
int exchange(quorvane_worker *w, const quorvane_cs_config &c, const char *status_text, F answer) {
    uint64_t delay = static_cast<uint64_t>(w->backoff_initial_ms);
    while (!stopping(w)) {
        wait_for_network(w);
        if (stopping(w)) return -1;
        quorvane_cs *cs = quorvane_cs_new(&c);
        if (!cs) return fail(w, "Out of memory.");
        if (status_text) worker_set_status(w, QV_WS_CONNECTING, "%s", status_text);
        const uint32_t st = worker_pump_settle(w, cs);
        if (st == QV_CS_KEY_CHANGED) {
            quorvane_cs_free(cs);
            return fail(w, KEY_CHANGED_TEXT);
        }
        const int r = transitional(st) ? 1 : answer(cs, st);
        set_detail(w, cs);
        quorvane_cs_free(cs);
        if (r != 1) return r;
        if (stopping(w) || retry_after_failure(w, &delay) != 0) return -1;
    }
    return -1;
}

int run_preauth(quorvane_worker *w, int mode, const char *code) {
    quorvane_cs_config c = worker_cs_config(w);
    c.preauth_kind = mode;
    c.code = code;
    return exchange(w, c, nullptr, [w](quorvane_cs *cs, uint32_t st) {
        if (st != QV_CS_PREAUTH_READY) return 1;
        quorvane_cs_preauth_info info{};
        const int ok = quorvane_cs_preauth(cs, &info) == 0;
        pthread_mutex_lock(&w->mu);
        if (ok) std::memcpy(w->preauth, &info, QV_W_PREAUTH_LEN);
        w->preauth_present = ok;
        pthread_mutex_unlock(&w->mu);
        OPENSSL_cleanse(&info, sizeof info);
        return 0;
    });
}

const char *email_code_text(uint8_t code) {
    switch (code) {
    case 1: return "This server sends no email; the person who runs it can switch it on.";
    case 5: return "That code is not right (or this account has no reset pending).";
    case 6: return "That code has expired. Ask for a new one.";
    case 7: return "Too many attempts — try again later.";
    case 8: return "Too early: the code works 24 hours after you asked for it, so your devices have time to cancel it.";
    default: return "The server refused it.";
    }
}

// Redeems the e-mailed code for a reset code; 0 went on into reset mode.
int redeem_email_code(quorvane_worker *w) {
    int r = run_preauth(w, 3, w->email_code);
    worker_wipe_free(&w->email_code);
    if (r != 0) return -1;
    quorvane_cs_preauth_info info{};
    pthread_mutex_lock(&w->mu);
    std::memcpy(&info, w->preauth, sizeof info);
    OPENSSL_cleanse(w->preauth, sizeof w->preauth);
    w->preauth_present = 0;
    pthread_mutex_unlock(&w->mu);
    static_assert(sizeof info == QV_W_PREAUTH_LEN && sizeof info.extra8 + sizeof info.extra2 == sizeof w->reset_code);
    if (info.status == 0 && info.has_extra) {
        std::memcpy(w->reset_code, info.extra8, sizeof info.extra8);
        std::memcpy(w->reset_code + sizeof info.extra8, info.extra2, sizeof info.extra2);
        w->reset_mode = 1;
        OPENSSL_cleanse(&info, sizeof info);
        return 0;
    }
    const uint8_t code = info.status;
    OPENSSL_cleanse(&info, sizeof info);
    return fail(w, email_code_text(code));
}

const char *recovery_refusal_text(int8_t reason) {
    switch (reason) {
    case 1: return "No account with that username.";
    case 2: return "This account has no recovery key on the server.";
    case 3: return "Too many attempts — try again later.";
    case 4: return "This account has been revoked.";
    case -1: return "That recovery key does not open this account.";
    default: return "The server refused the reset. Nothing changed.";
    }
}

int recover_password(quorvane_worker *w) {
    quorvane_cs_config c = worker_cs_config(w);
    c.recover = 1;
    c.recovery_key = w->recovery_key;
    const int r = exchange(w, c, "Resetting your password…", [w](quorvane_cs *cs, uint32_t st) {
        if (st == QV_CS_RECOVERED) {
            w->password_reset_done = 1;
            return 0;
        }
        if (st == QV_CS_RECOVER_REFUSED) return fail(w, recovery_refusal_text(static_cast<int8_t>(quorvane_cs_fail_reason(cs))));
        return 1;
    });
    OPENSSL_cleanse(w->recovery_key, sizeof w->recovery_key);
    return r;
}

const char *escrow_refusal_text(int8_t reason) {
    switch (reason) {
    case 1: return "Incorrect password.";
    case 2: return "No account with that username.";
    case 3: return "Too many attempts — try again later.";
    case 4: return "This account was created before the current version and cannot add a new device. Ask the operator.";
    case 5: return "This account has been revoked.";
    case -1: return "The server sent account keys that do not match this account. Do not continue; tell the operator.";
    default: return "Login failed.";
    }
}

int build_from_seed(quorvane_worker *w, const uint8_t seed[32]) {
    mlock(&w->keys, sizeof w->keys);
    if (quorvane_client_store_build(seed, &w->keys) != 0) return fail(w, "Could not build this device's keys.");
    w->keys_loaded = 1;
    w->keys_new = 1;
    w->needs_escrow = 0;
    w->join_state = 2;
    return 0;
}

// Waits for the user's answer to a key file that no longer opens with the
// current password; 0 with keys, -1 ended.
int keyfile_decide(quorvane_worker *w, const uint8_t seed[32], const uint8_t identity[32]) {
    int decision = 0;
    if (w->password_reset_done) {
        decision = 2;
    } else {
        pthread_mutex_lock(&w->mu);
        w->keyfile_needs_previous = 1;
        worker_set_status_locked(w, QV_WS_KEYFILE_DECISION, "%s", KEYFILE_ASK_TEXT);
        pthread_mutex_unlock(&w->mu);
    }
    for (;;) {
        char *previous = nullptr;
        if (!decision) {
            if (stopping(w)) return -1;
            pthread_mutex_lock(&w->mu);
            decision = w->keyfile_decision;
            w->keyfile_decision = 0;
            previous = w->keyfile_prev_password;
            w->keyfile_prev_password = nullptr;
            pthread_mutex_unlock(&w->mu);
            if (!decision) {
                sleep_ms(100);
                continue;
            }
        }
        if (decision == 1) {
            decision = 0;
            quorvane_device_keys k{};
            int r = previous ? quorvane_client_store_open(w->keystore_path, previous, &k) : -1;
            worker_wipe_free(&previous);
            if (r != 0) {
                quorvane_device_keys_cleanse(&k);  // a file that opened but did not parse leaves part of it here
                worker_set_status(w, QV_WS_KEYFILE_DECISION,
                                  "That is not the previous password either. Try again, or link this device again.");
                continue;
            }
            if (std::memcmp(k.identity_pub, identity, 32) != 0) {
                quorvane_device_keys_cleanse(&k);
                worker_set_status(w, QV_WS_KEYFILE_DECISION,
                                  "This device's keys belong to another identity of this account. Link it again.");
                continue;
            }
            if (quorvane_client_store_reseal(w->keystore_path, w->password, &k) != 0) {
                quorvane_device_keys_cleanse(&k);
                return fail(w, "Could not save this device's keys.");
            }
            mlock(&w->keys, sizeof w->keys);
            w->keys = k;
            quorvane_device_keys_cleanse(&k);
            (void)quorvane_client_store_write_pub(w->keystore_path, &w->keys);
            w->keys_loaded = 1;
            w->join_state = 1;
            w->needs_escrow = 0;
            pthread_mutex_lock(&w->mu);
            w->keyfile_needs_previous = 0;
            pthread_mutex_unlock(&w->mu);
            return 0;
        }
        // Link this device again: the old device is revoked once we are in.
        worker_wipe_free(&previous);
        w->revoke_previous_pending =
            quorvane_client_store_read_pub(w->keystore_path, w->revoke_previous[0], w->revoke_previous[1]) == 0;
        if (build_from_seed(w, seed) != 0) return -1;
        w->persist_reseal = 1;
        pthread_mutex_lock(&w->mu);
        w->keyfile_needs_previous = 0;
        pthread_mutex_unlock(&w->mu);
        return 0;
    }
}

// Fetches the password escrow and builds this device's keys from its seed.
int fetch_escrow(quorvane_worker *w) {
    quorvane_cs_config c = worker_cs_config(w);
    c.escrow_fetch = 1;
    uint8_t seed[32];
    int r = exchange(w, c, "Connecting…", [w, &seed](quorvane_cs *cs, uint32_t st) {
        if (st == QV_CS_ESCROW_READY) return quorvane_cs_take_escrow_seed(cs, seed) == 0 ? 0 : 1;
        if (st != QV_CS_ESCROW_REFUSED) return 1;
        const int8_t reason = static_cast<int8_t>(quorvane_cs_fail_reason(cs));
        return fail(w, w->keyfile_needs_previous && reason == 1 ? "Wrong password." : escrow_refusal_text(reason));
    });
    if (r == 0) {
        if (w->keyfile_needs_previous) {
            uint8_t identity[32];
            if (quorvane_ed25519_pub_from_seed(seed, identity) != 0)
                r = fail(w, "Could not read the account.");
            else
                r = keyfile_decide(w, seed, identity);
        } else {
            r = build_from_seed(w, seed);
            if (r == 0) w->last_detail[0] = 0;
        }
    }
    OPENSSL_cleanse(seed, sizeof seed);
    return r;
}

// The key store: opened, or made for a new account, or marked for the escrow.
int prepare_keys(quorvane_worker *w) {
    const int present = quorvane_client_store_exists(w->keystore_path);
    if (!present || w->reset_mode) {
        if (!w->register_) {
            w->needs_escrow = 1;
        } else {
            int r = quorvane_client_store_build(nullptr, &w->keys);
            if (r == 0 && (r = quorvane_rk_generate(w->keys.recovery_key)) != 0) quorvane_device_keys_cleanse(&w->keys);
            if (r != 0) return fail(w, r == -2 ? "Wrong password." : "Could not open the key store.");
            mlock(&w->keys, sizeof w->keys);
            w->keys.has_recovery_key = 1;
            w->keys_new = 1;
            w->persist_reseal = w->reset_mode && present;
            w->keys_loaded = 1;
        }
    } else {
        int r = quorvane_client_store_open(w->keystore_path, w->password, &w->keys);
        if (r == -2) {
            if (w->register_) return fail(w, "Wrong password.");
            w->keyfile_needs_previous = 1;
            w->needs_escrow = 1;
        } else if (r != 0) {
            return fail(w, "Could not open the key store.");
        } else {
            (void)quorvane_client_store_write_pub(w->keystore_path, &w->keys);
            if (!w->register_) w->join_state = 1;
            w->keys_loaded = 1;
        }
    }
    if (w->needs_escrow) return fetch_escrow(w);
    return 0;
}

bool path_taken(const std::string &p) {
    struct stat st{};
    return lstat(p.c_str(), &st) == 0;
}

// Moves the store directory out of the way under `dir` + suffix, or the first
// free ".1", ".2", ... after it. 1 moved, 0 nothing there; -1 it is still in place.
int set_aside(const char *dir, const char *suffix) {
    if (!path_taken(dir)) return 0;
    const std::string base = std::string(dir) + suffix;
    for (unsigned i = 0; i <= ASIDE_TRIES; i++) {
        std::string name = i ? base + "." + std::to_string(i) : base;
        if (name.size() >= QV_W_PATH_MAX) return -1;
        if (path_taken(name)) continue;
        return rename(dir, name.c_str()) == 0 ? 1 : -1;
    }
    return -1;
}

// Opens the store, unless the old one could not be moved out of the way: a
// store of the previous identity must never be opened under the new key.
void open_store(quorvane_worker *w, const char *aside_suffix) {
    quorvane_msgstore *ms = nullptr;
    const int aside = aside_suffix ? set_aside(w->msgstore_dir, aside_suffix) : 0;
    if (aside < 0) {
        w->store_note = 1;
    } else {
        if (aside > 0) w->asides_made = 1;
        ms = quorvane_msgstore_open(w->msgstore_dir, w->keys.identity_priv);
        if (ms) quorvane_msgstore_enforce_retention(ms, cs_wall_ms());
    }
    pthread_mutex_lock(&w->mu);
    w->ms = ms;
    pthread_mutex_unlock(&w->mu);
}

void open_stores(quorvane_worker *w) {
    if (w->msgstore_dir) open_store(w, w->reset_mode ? ".pre-reset" : nullptr);
    pthread_mutex_lock(&w->mu);
    if (w->ms && w->username) {
        char name[QV_MS_NAME_MAX + 1] = "", about[QV_MS_ABOUT_MAX + 1] = "";
        quorvane_msgstore_get_self_profile(w->ms, name, sizeof name, about, sizeof about);
        if (!name[0]) (void)quorvane_msgstore_set_self_profile(w->ms, w->username, about);
    }
    pthread_mutex_unlock(&w->mu);
    quorvane_emoji_cache *emoji = w->emoji_dir ? quorvane_emoji_cache_open(w->emoji_dir) : nullptr;
    quorvane_emoji_cache *sticker = w->sticker_dir ? quorvane_emoji_cache_open(w->sticker_dir) : nullptr;
    pthread_mutex_lock(&w->mu);
    w->emoji = emoji;
    w->sticker = sticker;
    w->emoji_epoch = quorvane_emoji_cache_version(emoji);
    w->sticker_epoch = quorvane_emoji_cache_version(sticker);
    pthread_mutex_unlock(&w->mu);
}

// The account already held the name we registered a device under: when the
// escrow gives other keys, this device starts over as the account's device.
// 1 go on adding, -1 ended.
int readd_device(quorvane_worker *w) {
    uint8_t kept[32];
    std::memcpy(kept, w->keys.identity_pub, 32);
    w->adding_device = 0;
    quorvane_device_keys_cleanse(&w->keys);
    w->keys_loaded = 0;
    if (fetch_escrow(w) != 0) return -1;
    if (std::memcmp(kept, w->keys.identity_pub, 32) == 0) {
        w->keys_new = 0;
        return fail(w, w->join_state == 2 ? "Incorrect password." : "That username is already taken.");
    }
    w->persist_reseal = 1;
    if (w->msgstore_dir) {
        pthread_mutex_lock(&w->mu);
        quorvane_msgstore *old = w->ms;
        w->ms = nullptr;
        pthread_mutex_unlock(&w->mu);
        quorvane_msgstore_close(old);
        open_store(w, ".pre-recreate");
    }
    return 1;
}

const char *login_refusal_text(int8_t reason) {
    switch (reason) {
    case 1: return "Incorrect password.";
    case 3: return "This account has been revoked.";
    case 4: return "No account with that username.";
    case 5: return "This device was removed from your account. Ask the operator to restore it, or reinstall the app.";
    default: return "Login failed.";
    }
}

const char *register_refusal_text(quorvane_worker *w, int8_t reason) {
    if (reason == 1) {
        if (w->join_state == 2) return "Incorrect password.";
        return w->keys_new ? "That username is already taken. If it is yours, use Log in instead." : "That username is already taken.";
    }
    if (reason == 4) return "This account has the maximum number of devices. Remove one in Settings > Devices, then sign in again.";
    if (reason == 5) return "This device was removed from your account. Ask the operator to restore it, or reinstall the app.";
    return "Registration was rejected.";
}

void awaiting_approval(quorvane_worker *w) {
    worker_set_status(w, QV_WS_AWAITING_APPROVAL, "Your account is awaiting approval.");
    nap(w, static_cast<uint64_t>(w->approval_poll_ms));
}

// Waits for the user to accept a changed server key, then pins it; -1 stopped.
// A pin that could not be written leaves the key waiting and says so: the
// next connection would only show the same change again, or fail on the pin.
int await_key_accept(quorvane_worker *w) {
    worker_set_status(w, QV_WS_SERVER_KEY_CHANGED, "%s", KEY_CHANGED_TEXT);
    for (;;) {
        pthread_mutex_lock(&w->mu);
        const int stop = w->stop, accepted = w->server_key_accepted;
        int pinned = 0;
        if (accepted && !stop) {
            w->server_key_accepted = 0;
            const std::string tls_pin = std::string(w->pin_path) + QV_CS_PIN_TLS_SUFFIX;
            pinned = quorvane_pin_set(w->pin_path, w->server_key) == 0 &&
                     (!w->server_tls_known || quorvane_pin_set(tls_pin.c_str(), w->server_tls_key) == 0);
            if (pinned)
                w->server_key_pending = 0;
            else
                worker_set_status_locked(w, QV_WS_SERVER_KEY_CHANGED, "%s", PIN_SAVE_FAILED_TEXT);
        }
        pthread_mutex_unlock(&w->mu);
        if (stop) return -1;
        if (pinned) return 0;
        sleep_ms(QV_W_NAP_SLICE_MS);
    }
}

void reconnect_loop(quorvane_worker *w, int mode) {
    uint64_t delay = static_cast<uint64_t>(w->backoff_initial_ms);
    const uint64_t max = static_cast<uint64_t>(w->backoff_max_ms);
    for (;;) {
        if (stopping(w)) return;
        w->fail_reason = 0;
        wait_for_network(w);
        if (stopping(w)) return;
        if (w->last_detail[0])
            worker_set_status(w, QV_WS_CONNECTING, "Trying again… last try: %.110s.", w->last_detail);
        else
            worker_set_status(w, QV_WS_CONNECTING, "Connecting…");
        const uint32_t result = run_one(w, mode);
        if (stopping(w)) return;
        if (w->key_save_failed) {
            fail(w, "Could not save this device's keys — check free disk space, then sign in again.");
            return;
        }
        if (result != QV_CS_FAILED) {
            pthread_mutex_lock(&w->mu);
            w->ever_connected = 1;
            pthread_mutex_unlock(&w->mu);
        }
        const int8_t reason = static_cast<int8_t>(w->fail_reason);
        bool adding = false;
        switch (result) {
        case QV_CS_SIGNED_IN: {
            pthread_mutex_lock(&w->mu);
            const uint64_t since = w->connected_at_ms;
            pthread_mutex_unlock(&w->mu);
            if (worker_now_ms() - since > QV_W_STABLE_MS) delay = static_cast<uint64_t>(w->backoff_initial_ms);
            worker_set_status(w, QV_WS_RETRYING, "Reconnecting…");
            nap(w, jittered(delay));
            mode = 0;
            delay = std::min(2 * delay, max);
            continue;
        }
        case QV_CS_REGISTERED:
            if (w->join_state != 2) {
                awaiting_approval(w);
            } else {
                w->join_state = 0;
                nap(w, 200);
            }
            mode = 0;
            continue;
        case QV_CS_LOGIN_REFUSED:
            if (w->join_state == 1 && reason == 1) {
                w->join_state = 2;
                w->adding_device = 1;
                adding = true;
                break;
            }
            if (reason == 0) {
                awaiting_approval(w);
                mode = 0;
                continue;
            }
            if (reason == 2) {
                uint64_t u = max;
                u += u / 16 + jitter() % (u / 8 + 1);
                worker_set_status(w, QV_WS_RETRYING, "The server is limiting sign-ins. Trying again in %u s…",
                                  static_cast<unsigned>((u + 999) / 1000));
                nap(w, u);
                mode = 0;
                continue;
            }
            fail(w, login_refusal_text(reason));
            return;
        case QV_CS_REGISTER_REFUSED:
            if (w->adding_device && reason == 1) {
                if (readd_device(w) < 0) return;
                adding = true;
                break;
            }
            fail(w, register_refusal_text(w, reason));
            return;
        case QV_CS_KEY_CHANGED:
            if (await_key_accept(w) != 0) return;
            delay = static_cast<uint64_t>(w->backoff_initial_ms);
            continue;
        default: {
            const uint32_t r = jitter();
            if (is_offline(w)) {
                delay = static_cast<uint64_t>(w->backoff_initial_ms);
                continue;
            }
            if (attempts_exhausted(w)) return;
            const uint64_t wait = delay / 4 + r % (delay / 2 + 1);
            if (w->last_detail[0])
                worker_set_status(w, QV_WS_RETRYING, "Can't reach the server: %.100s. Retrying in %u s…", w->last_detail,
                                  static_cast<unsigned>((wait + 999) / 1000));
            else
                worker_set_status(w, QV_WS_RETRYING, "Reconnecting…");
            nap(w, wait);
            delay = std::min(2 * delay, max);
            continue;
        }
        }
        if (adding) {
            worker_set_status(w, QV_WS_CONNECTING, "Adding this device to your account…");
            mode = 1;
        }
    }
}

}  // namespace

namespace {

void thread_body(quorvane_worker *w) {
    if (w->preauth_mode) {
        if (run_preauth(w, w->preauth_mode, nullptr) == 0) worker_set_status(w, QV_WS_PREAUTH_DONE, "%s", "");
        return;
    }
    if (w->email_code && redeem_email_code(w) != 0) return;
    if (w->recovery_mode && recover_password(w) != 0) return;
    if (prepare_keys(w) != 0) return;
    open_stores(w);
    reconnect_loop(w, w->join_state == 2 ? 1 : w->register_);
}

}  // namespace

void *worker_thread(void *arg) {
    auto *w = static_cast<quorvane_worker *>(arg);
    thread_body(w);
    // Nothing applies commands any more: later ones are refused, and the
    // waiting ones (passwords among them) are wiped now rather than at stop.
    pthread_mutex_lock(&w->mu);
    w->thread_ended = 1;
    cmd_queue_flush(w);
    pthread_mutex_unlock(&w->mu);
    return nullptr;
}
