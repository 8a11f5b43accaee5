// The background worker against the real server program on loopback: start's
// checks, signing up and in, joining by escrow, every refusal text, back-off,
// reconnection, a changed server key, key-file decisions, how fast stop
// returns from each wait, and the notify hook.
#include "e2e_support.h"
#include "quorvane_backup.h"
#include "worker_internal.h"
#include "worker_support.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

using namespace qvtest;

namespace {

using clk = std::chrono::steady_clock;

bool wait_text(quorvane_worker *w, const std::string &text, int ms) {
    return wait_until([&] { return status_of(w).text == text; }, ms);
}

std::string hex(const uint8_t *p, size_t n) {
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) (s += d[p[i] >> 4]) += d[p[i] & 15];
    return s;
}

double ms_since(clk::time_point t0) { return std::chrono::duration<double, std::milli>(clk::now() - t0).count(); }

double stop_ms(WorkerPtr &w) {
    const auto t0 = clk::now();
    w.reset();
    return ms_since(t0);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::string fresh_rk_text() {
    uint8_t rk[32];
    char text[70];
    EXPECT_EQ(quorvane_rk_generate(rk), 0);
    EXPECT_EQ(quorvane_rk_encode(rk, text), 0);
    return text;
}

std::string closed_port() { return std::to_string(free_loopback_port()); }

// A server and a registered, signed-in account on it.
struct Signed {
    ServerProc srv;
    TempDir dir;
    std::unique_ptr<Cfg> cfg;
    WorkerPtr w;
    uint8_t uid[16] = {};
    explicit Signed(const std::string &user, Knobs knobs = {}) : srv(std::move(knobs)) {
        EXPECT_TRUE(srv.start());
        cfg = std::make_unique<Cfg>(dir, srv.port, user, srv.pin_path());
        cfg->c.register_ = 1;
        w = cfg->start();
        EXPECT_TRUE(w && wait_code(w.get(), QV_WS_CONNECTED, kWaitMs));
        if (w) std::memcpy(uid, status_of(w.get()).user_id, 16);
    }
};

}  // namespace

// What start takes and what it refuses, before any connection matters.
TEST(WorkerStart, ChecksItsConfiguration) {
    TempDir dir;
    const std::string port = closed_port();
    Cfg base(dir, port, "alice", dir.file("pin"));

    EXPECT_EQ(quorvane_worker_start(nullptr), nullptr);
    for (int missing = 0; missing < 6; missing++) {
        SCOPED_TRACE(missing);
        Cfg c = base;
        quorvane_worker_config cc = *c.get();
        const char **fields[] = {&cc.server_host, &cc.server_port, &cc.username, &cc.password, &cc.keystore_path, &cc.pin_path};
        *fields[missing] = nullptr;
        EXPECT_EQ(quorvane_worker_start(&cc), nullptr);
    }

    struct {
        const char *code;
        bool starts;
    } codes[] = {{"12345", false}, {"1234567", false}, {"12a456", false}, {"", false}, {"12345 ", false},
                 {"123456", true}, {"000000", true}};
    for (const auto &v : codes) {
        SCOPED_TRACE(v.code);
        Cfg c = base;
        c.c.email_code = v.code;
        WorkerPtr w = c.start();
        EXPECT_EQ(w != nullptr, v.starts);
        if (w) {
            pthread_mutex_lock(&w->mu);
            EXPECT_EQ(w->register_, 1);
            pthread_mutex_unlock(&w->mu);
        }
    }

    {
        Cfg c = base;
        c.c.max_attempts = -5;
        WorkerPtr w = c.start();
        ASSERT_TRUE(w);
        EXPECT_EQ(w->max_attempts, 0);  // unlimited
    }

    const std::string rk_text = fresh_rk_text();
    uint8_t reset[10];
    char reset_text[20];
    ASSERT_EQ(quorvane_reset_code_generate(reset), 0);
    ASSERT_EQ(quorvane_reset_code_encode(reset, reset_text), 0);
    {
        Cfg c = base;
        c.c.email_code = "123456";
        c.c.reset_code = reset_text;
        c.c.recovery_key = rk_text.c_str();
        WorkerPtr w = c.start();
        ASSERT_TRUE(w);
        EXPECT_EQ(w->recovery_mode, 1);
        EXPECT_EQ(w->reset_mode, 1);
        EXPECT_EQ(w->register_, 0);  // the recovery key is applied last
    }
    for (const char *bad : {"not a code", ""}) {
        Cfg c = base;
        c.c.reset_code = bad;
        EXPECT_EQ(c.start(), nullptr);
        Cfg d = base;
        d.c.recovery_key = bad;
        EXPECT_EQ(d.start(), nullptr);
    }

    // The null worker and calls that need something pending.
    quorvane_worker_status s{};
    s.code = 77;
    EXPECT_EQ(quorvane_worker_get(nullptr, &s), -1);
    EXPECT_EQ(s.code, QV_WS_FAILED);
    EXPECT_STREQ(s.text, "No worker.");
    EXPECT_EQ(quorvane_worker_get(nullptr, nullptr), -1);
    EXPECT_EQ(quorvane_worker_accept_server_key(nullptr), -1);
    quorvane_worker_stop(nullptr);
    WorkerPtr w = base.start();
    ASSERT_TRUE(w);
    uint8_t key[32];
    EXPECT_EQ(quorvane_worker_accept_server_key(w.get()), -1);
    EXPECT_EQ(quorvane_worker_server_key(w.get(), key), 0);
    EXPECT_EQ(quorvane_worker_keyfile_relink(w.get()), -1);
    EXPECT_EQ(quorvane_worker_keyfile_old_password(w.get(), "old"), -1);
    EXPECT_EQ(quorvane_worker_preauth_result(w.get(), key), -1);
}

// A new account, the same account again from its key store, and a second
// device with an empty key store that joins through the escrow.
TEST(WorkerServer, RegisterSignInAndJoinByEscrow) {
    Signed a("alice");
    ASSERT_TRUE(a.w);
    EXPECT_NE(hex(a.uid, 16), std::string(32, '0'));
    EXPECT_EQ(status_of(a.w.get()).role, 1);  // the server's first account owns it
    a.w.reset();
    ASSERT_EQ(quorvane_client_store_exists(a.cfg->keystore.c_str()), 1);

    a.cfg->c.register_ = 0;
    a.w = a.cfg->start();
    ASSERT_TRUE(a.w);
    ASSERT_TRUE(wait_code(a.w.get(), QV_WS_CONNECTED, kWaitMs));
    EXPECT_EQ(hex(status_of(a.w.get()).user_id, 16), hex(a.uid, 16));
    EXPECT_STREQ(status_of(a.w.get()).text, "");

    TempDir second;
    Cfg c2(second, a.srv.port, "alice", a.srv.pin_path());
    WorkerPtr w2 = c2.start();
    ASSERT_TRUE(w2);
    std::vector<std::string> seen;
    ASSERT_TRUE(wait_code(w2.get(), QV_WS_CONNECTED, kWaitMs, &seen));
    EXPECT_EQ(hex(status_of(w2.get()).user_id, 16), hex(a.uid, 16));
    EXPECT_EQ(quorvane_client_store_exists(c2.keystore.c_str()), 1);  // the keys from the escrow were kept
    quorvane_device_keys k1{}, k2{};
    ASSERT_EQ(quorvane_client_store_open(a.cfg->keystore.c_str(), "correct horse", &k1), 0);
    ASSERT_EQ(quorvane_client_store_open(c2.keystore.c_str(), "correct horse", &k2), 0);
    EXPECT_EQ(hex(k1.identity_pub, 32), hex(k2.identity_pub, 32));
    EXPECT_NE(hex(k1.device_x25519_pub, 32), hex(k2.device_x25519_pub, 32));
    quorvane_device_keys_cleanse(&k1);
    quorvane_device_keys_cleanse(&k2);
}

// Every refusal the server can send, and the text it becomes. Each case the
// real server gives on its own runs against it (no knob); the knobs stand in
// only for reasons it has no way to produce: sign-in approval (0), rate limits
// (2 here, 3 for escrow and recovery), revoked accounts, accounts without an
// escrow, internal failures, a reply the client cannot open (255), and every
// e-mailed-code answer but "no email".
TEST(WorkerServer, RefusalTexts) {
    enum Road { SIGN_IN, REGISTER, ESCROW, RECOVER, EMAIL };
    // What the worker's key store holds: nothing, keys of an identity of its
    // own, carol's first device, or a device of carol's identity the server
    // does not have.
    enum Store { NO_STORE, OWN_KEYS, CAROL_FIRST, CAROL_NEW_DEVICE };
    struct Case {
        Road road;
        const char *knob;  // "QVS_TEST_REFUSE" or "QVS_TEST_LOGIN_REFUSE"; null: the real server's own answer
        int value;
        int32_t code;
        const char *text;
        int devices = 0;        // carol's devices registered before the worker starts; 0: no account
        bool other_pw = false;  // carol's password is not the worker's
        Store store = NO_STORE;
        const char *user = "carol";
    };
    const char *revoked_text = "This device was removed from your account. Ask the operator to restore it, or reinstall the app.";
    const char *full_text = "This account has the maximum number of devices. Remove one in Settings > Devices, then sign in again.";
    const Case cases[] = {
        // The key store's password opens it, the server's does not: the add
        // that follows is refused as taken, and the escrow answer ends it.
        {SIGN_IN, nullptr, 0, QV_WS_FAILED, "Incorrect password.", 1, true, CAROL_FIRST},
        {SIGN_IN, nullptr, 0, QV_WS_FAILED, "No account with that username.", 0, false, OWN_KEYS},
        // A device the account does not have is added, not kept waiting as if rate limited.
        {SIGN_IN, nullptr, 0, QV_WS_CONNECTED, "", 1, false, CAROL_NEW_DEVICE},
        {SIGN_IN, nullptr, 0, QV_WS_FAILED, full_text, 5, false, CAROL_NEW_DEVICE},
        {SIGN_IN, "QVS_TEST_LOGIN_REFUSE", 0, QV_WS_AWAITING_APPROVAL, "Your account is awaiting approval.", 0, false, OWN_KEYS},
        {SIGN_IN, "QVS_TEST_REFUSE", 2, QV_WS_RETRYING, "The server is limiting sign-ins. Trying again in 1 s…", 0, false, OWN_KEYS},
        {SIGN_IN, "QVS_TEST_REFUSE", 3, QV_WS_FAILED, "This account has been revoked.", 0, false, OWN_KEYS},
        {SIGN_IN, "QVS_TEST_REFUSE", 5, QV_WS_FAILED, revoked_text, 0, false, OWN_KEYS},  // see RevokedDevice below
        {SIGN_IN, "QVS_TEST_REFUSE", 9, QV_WS_FAILED, "Login failed.", 0, false, OWN_KEYS},
        {REGISTER, nullptr, 0, QV_WS_FAILED, "That username is already taken. If it is yours, use Log in instead.", 1},
        {REGISTER, nullptr, 0, QV_WS_FAILED, "That username is already taken.", 1, false, OWN_KEYS},
        {REGISTER, nullptr, 0, QV_WS_FAILED, "Registration was rejected.", 0, false, NO_STORE, "car ol"},
        {REGISTER, "QVS_TEST_REFUSE", 5, QV_WS_FAILED, revoked_text},
        {ESCROW, nullptr, 0, QV_WS_FAILED, "Incorrect password.", 1, true},
        {ESCROW, nullptr, 0, QV_WS_FAILED, "No account with that username."},
        {ESCROW, "QVS_TEST_REFUSE", 3, QV_WS_FAILED, "Too many attempts — try again later."},
        {ESCROW, "QVS_TEST_REFUSE", 4, QV_WS_FAILED,
         "This account was created before the current version and cannot add a new device. Ask the operator."},
        {ESCROW, "QVS_TEST_REFUSE", 5, QV_WS_FAILED, "This account has been revoked."},
        {ESCROW, "QVS_TEST_REFUSE", 255, QV_WS_FAILED,
         "The server sent account keys that do not match this account. Do not continue; tell the operator."},
        {ESCROW, "QVS_TEST_REFUSE", 9, QV_WS_FAILED, "Login failed."},
        {RECOVER, nullptr, 0, QV_WS_FAILED, "No account with that username."},
        {RECOVER, nullptr, 0, QV_WS_FAILED, "This account has no recovery key on the server.", 1},
        {RECOVER, "QVS_TEST_REFUSE", 3, QV_WS_FAILED, "Too many attempts — try again later."},
        {RECOVER, "QVS_TEST_REFUSE", 4, QV_WS_FAILED, "This account has been revoked."},
        {RECOVER, "QVS_TEST_REFUSE", 255, QV_WS_FAILED, "That recovery key does not open this account."},
        {RECOVER, "QVS_TEST_REFUSE", 9, QV_WS_FAILED, "The server refused the reset. Nothing changed."},
        {EMAIL, nullptr, 0, QV_WS_FAILED, "This server sends no email; the person who runs it can switch it on."},
        {EMAIL, "QVS_TEST_REFUSE", 5, QV_WS_FAILED, "That code is not right (or this account has no reset pending)."},
        {EMAIL, "QVS_TEST_REFUSE", 6, QV_WS_FAILED, "That code has expired. Ask for a new one."},
        {EMAIL, "QVS_TEST_REFUSE", 7, QV_WS_FAILED, "Too many attempts — try again later."},
        {EMAIL, "QVS_TEST_REFUSE", 8, QV_WS_FAILED,
         "Too early: the code works 24 hours after you asked for it, so your devices have time to cancel it."},
        {EMAIL, "QVS_TEST_REFUSE", 9, QV_WS_FAILED, "The server refused it."},
    };
    const std::string rk_text = fresh_rk_text();
    for (const Case &v : cases) {
        SCOPED_TRACE(std::string(v.text) + " / " + std::to_string(v.road) + " " + std::to_string(v.value));
        Knobs knobs;
        if (v.knob) knobs[v.knob] = std::to_string(v.value);
        ServerProc srv(knobs);
        ASSERT_TRUE(srv.start());
        TempDir dir;
        Cfg c(dir, srv.port, v.user, srv.pin_path());
        Keys carol;
        for (int i = 0; i < v.devices; i++) {
            Keys extra(carol.k.identity_priv);
            quorvane_cs_config r = base_config(srv.port, srv.pin_path(), "carol", v.other_pw ? "another" : c.password.c_str(),
                                               i == 0 ? &carol.k : &extra.k);
            r.do_register = 1;
            ASSERT_EQ(run(r).state, QV_CS_REGISTERED) << i;
        }
        if (v.store != NO_STORE) {
            Keys own, added(carol.k.identity_priv);
            quorvane_device_keys *k = v.store == OWN_KEYS ? &own.k : v.store == CAROL_FIRST ? &carol.k : &added.k;
            ASSERT_EQ(quorvane_client_store_create(c.keystore.c_str(), c.password.c_str(), k), 0);
        }
        if (v.road == REGISTER) c.c.register_ = 1;
        if (v.road == RECOVER) c.c.recovery_key = rk_text.c_str();
        if (v.road == EMAIL) c.c.email_code = "123456";
        WorkerPtr w = c.start();
        ASSERT_TRUE(w);
        std::vector<std::string> seen;
        ASSERT_TRUE(wait_code(w.get(), v.code, kWaitMs, &seen));
        EXPECT_EQ(std::string(status_of(w.get()).text), v.text);
        const bool limited = std::any_of(seen.begin(), seen.end(), [](const std::string &t) { return t.find("limiting sign-ins") != t.npos; });
        EXPECT_EQ(limited, v.knob && v.value == 2 && v.road == SIGN_IN);
        if (v.code == QV_WS_CONNECTED) {
            // The device was added: its keys now sign in on their own.
            w.reset();
            Keys kept;
            ASSERT_EQ(quorvane_client_store_open(c.keystore.c_str(), c.password.c_str(), &kept.k), 0);
            quorvane_cs_config again = base_config(srv.port, srv.pin_path(), "carol", c.password.c_str(), &kept.k);
            EXPECT_EQ(run(again).state, QV_CS_SIGNED_IN);
        }
    }
}

// Killed in the middle of a session, the server comes back on the same port
// and the worker signs in again on its own.
TEST(WorkerServer, ReconnectsAfterTheServerDies) {
    Signed a("dave");
    ASSERT_TRUE(a.w);
    kill(a.srv.proc->pid, SIGKILL);
    a.srv.stop();
    ASSERT_TRUE(wait_until([&] { return status_of(a.w.get()).code != QV_WS_CONNECTED; }, kWaitMs));
    ASSERT_TRUE(a.srv.start(true));
    ASSERT_TRUE(wait_code(a.w.get(), QV_WS_CONNECTED, kWaitMs));
    EXPECT_EQ(hex(status_of(a.w.get()).user_id, 16), hex(a.uid, 16));
}

// Against a closed port: each wait lies in its jittered window, and the third
// failed attempt ends the worker with the detail of the last one.
TEST(WorkerBackoff, WaitsInTheirWindowsAndTheAttemptLimit) {
    TempDir dir;
    Cfg c(dir, closed_port(), "erin", dir.file("pin"));
    c.c.register_ = 1;
    c.c.max_attempts = 3;
    WorkerPtr w = c.start();
    ASSERT_TRUE(w);
    std::vector<double> waits;
    std::string retry_text;
    bool in_wait = false;
    int wait_attempt = 0;
    auto t0 = clk::now();
    const auto end = clk::now() + std::chrono::milliseconds(kWaitMs);
    quorvane_worker_status s{};
    while (clk::now() < end) {
        // An attempt at a closed port fails at once: the status may go from
        // one wait to the next between two looks, the attempt count may not.
        pthread_mutex_lock(&w->mu);
        s = w->status;
        const int attempt = w->attempts;
        pthread_mutex_unlock(&w->mu);
        const bool waiting = s.code == QV_WS_RETRYING;
        if (in_wait && (!waiting || attempt != wait_attempt)) {
            waits.push_back(ms_since(t0));
            in_wait = false;
        }
        if (s.code == QV_WS_UNREACHABLE) break;
        if (waiting && !in_wait && attempt != wait_attempt) {
            t0 = clk::now();
            retry_text = s.text;
            wait_attempt = attempt;
            in_wait = true;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ASSERT_EQ(s.code, QV_WS_UNREACHABLE) << s.text;
    ASSERT_EQ(waits.size(), 2u);  // two waits between three attempts
    const double delays[] = {200, 400};
    for (size_t i = 0; i < waits.size(); i++) {
        EXPECT_GE(waits[i], delays[i] / 4 - 2) << i;
        // A wait that ends, not its speed: a loaded machine stretches any wait.
        EXPECT_LE(waits[i], delays[i] * 3 / 4 + 5000) << i;
    }
    const std::string prefix = "Can't reach the server: ";
    ASSERT_EQ(retry_text.rfind(prefix, 0), 0u) << retry_text;
    const std::string detail = retry_text.substr(prefix.size(), retry_text.find(". Retrying in ") - prefix.size());
    EXPECT_FALSE(detail.empty());
    EXPECT_EQ(retry_text, prefix + detail + ". Retrying in 1 s…");
    EXPECT_EQ(std::string(s.text), prefix + detail + ". Check the address and port.");
}

// Off-line: the no-network text, the delay back at its start, and going on-line
// ends the nap at once.
TEST(WorkerBackoff, OfflineWaitsForTheNetwork) {
    TempDir dir;
    Cfg c(dir, closed_port(), "fay", dir.file("pin"));
    c.c.register_ = 1;
    c.c.backoff_initial_ms = 60000;  // a nap that would outlast the test
    c.c.backoff_max_ms = 60000;
    WorkerPtr w = c.start();
    ASSERT_TRUE(w);
    ASSERT_TRUE(wait_code(w.get(), QV_WS_RETRYING, kWaitMs));
    quorvane_worker_set_online(w.get(), 0);
    EXPECT_EQ(quorvane_worker_offline(w.get()), 1);
    quorvane_worker_kick(w.get());  // ends the long nap; the next pass finds the network gone
    // Well under the nap's shortest jittered length (15 s): only the kick ends it this soon.
    ASSERT_TRUE(wait_text(w.get(), "No network connection. Waiting for one…", kWaitMs));
    EXPECT_EQ(status_of(w.get()).code, QV_WS_RETRYING);
    // Going on-line leaves the network wait. That it kicks the wait's 500 ms
    // nap is checked without the clock, which no loaded machine can fail.
    quorvane_worker_set_online(w.get(), 1);
    EXPECT_EQ(quorvane_worker_offline(w.get()), 0);
    ASSERT_TRUE(wait_until([&] { return status_of(w.get()).text != std::string("No network connection. Waiting for one…"); }, kWaitMs));
    // The delay started over: the next wait is within 3/4 of 60 s, not of 120 s.
    ASSERT_TRUE(wait_code(w.get(), QV_WS_RETRYING, kWaitMs));
    const std::string t = status_of(w.get()).text;
    const size_t at = t.find("Retrying in ");
    ASSERT_NE(at, std::string::npos) << t;
    EXPECT_LE(std::stoi(t.substr(at + 12)), 45);
}

// The server comes back with another identity: the worker stops, shows the
// new key, and once it is accepted pins it (and the new certificate key) and
// signs in again.
TEST(WorkerServer, ChangedServerKeyIsShownThenPinned) {
    Signed a("gus");
    ASSERT_TRUE(a.w);
    const std::vector<uint8_t> old_pin = file_bytes(a.srv.pin_path());
    const std::vector<uint8_t> old_tls = file_bytes(a.srv.pin_path() + ".tls");
    ASSERT_EQ(old_pin.size(), 32u);
    // The account moves with the database; only the keys are new.
    a.srv.stop();
    const std::string fresh = a.srv.dir.file("srv2");
    ASSERT_EQ(mkdir(fresh.c_str(), 0700), 0);
    ASSERT_EQ(run_command("cp '" + a.srv.data + "'/quorvane.db* '" + fresh + "'/"), 0);
    a.srv.data = fresh;
    ASSERT_TRUE(a.srv.start(true));
    ASSERT_TRUE(wait_code(a.w.get(), QV_WS_SERVER_KEY_CHANGED, kWaitMs));
    EXPECT_STREQ(status_of(a.w.get()).text,
                 "The server's identity key CHANGED. Do not continue unless you verified it out of band.");
    uint8_t key[32], seed_pub[32];
    ASSERT_EQ(quorvane_worker_server_key(a.w.get(), key), 1);
    const std::vector<uint8_t> seed = file_bytes(fresh + "/server.key");
    ASSERT_EQ(seed.size(), 32u);
    ASSERT_EQ(quorvane_ed25519_pub_from_seed(seed.data(), seed_pub), 0);
    EXPECT_EQ(hex(key, 32), hex(seed_pub, 32));
    EXPECT_EQ(file_bytes(a.srv.pin_path()), old_pin);  // nothing pinned before the user agrees

    ASSERT_EQ(quorvane_worker_accept_server_key(a.w.get()), 0);
    ASSERT_TRUE(wait_code(a.w.get(), QV_WS_CONNECTED, kWaitMs));
    EXPECT_EQ(hex(file_bytes(a.srv.pin_path()).data(), 32), hex(seed_pub, 32));
    const std::vector<uint8_t> new_tls = file_bytes(a.srv.pin_path() + ".tls");
    EXPECT_EQ(new_tls.size(), 32u);
    EXPECT_NE(new_tls, old_tls);
    EXPECT_EQ(quorvane_worker_server_key(a.w.get(), key), 0);
}

// The key file no longer opens with the account's password (it was changed
// elsewhere; this server has no password change, so the file is sealed under
// another password here): a wrong previous password, the right one, keys of
// another identity, and linking the device again.
TEST(WorkerServer, KeyFileDecisions) {
    Signed a("hal");
    ASSERT_TRUE(a.w);
    a.w.reset();
    quorvane_device_keys k{};
    ASSERT_EQ(quorvane_client_store_open(a.cfg->keystore.c_str(), "correct horse", &k), 0);

    const char *ask = "Your password was changed on another device. Enter your PREVIOUS password once to keep this device, or "
                      "link it again.";
    {
        SCOPED_TRACE("previous password");
        TempDir d;
        Cfg c(d, a.srv.port, "hal", a.srv.pin_path());
        ASSERT_EQ(quorvane_client_store_persist(c.keystore.c_str(), "old secret", &k), 0);
        WorkerPtr w = c.start();
        ASSERT_TRUE(w);
        ASSERT_TRUE(wait_code(w.get(), QV_WS_KEYFILE_DECISION, kWaitMs));
        EXPECT_STREQ(status_of(w.get()).text, ask);
        EXPECT_EQ(quorvane_worker_keyfile_old_password(w.get(), ""), -1);
        EXPECT_EQ(quorvane_worker_keyfile_old_password(w.get(), std::string(1025, 'x').c_str()), -1);
        ASSERT_EQ(quorvane_worker_keyfile_old_password(w.get(), "not it"), 0);
        ASSERT_TRUE(wait_text(w.get(), "That is not the previous password either. Try again, or link this device again.", kWaitMs));
        EXPECT_EQ(status_of(w.get()).code, QV_WS_KEYFILE_DECISION);
        ASSERT_EQ(quorvane_worker_keyfile_old_password(w.get(), "old secret"), 0);
        ASSERT_TRUE(wait_code(w.get(), QV_WS_CONNECTED, kWaitMs));
        w.reset();
        quorvane_device_keys again{};
        ASSERT_EQ(quorvane_client_store_open(c.keystore.c_str(), "correct horse", &again), 0);  // resealed
        EXPECT_EQ(hex(again.device_x25519_pub, 32), hex(k.device_x25519_pub, 32));             // the same device
        quorvane_device_keys_cleanse(&again);
    }
    {
        SCOPED_TRACE("another identity, then relink");
        TempDir d;
        Cfg c(d, a.srv.port, "hal", a.srv.pin_path());
        Keys other;
        ASSERT_EQ(quorvane_client_store_create(c.keystore.c_str(), "old secret", &other.k), 0);
        WorkerPtr w = c.start();
        ASSERT_TRUE(w);
        ASSERT_TRUE(wait_code(w.get(), QV_WS_KEYFILE_DECISION, kWaitMs));
        ASSERT_EQ(quorvane_worker_keyfile_old_password(w.get(), "old secret"), 0);
        ASSERT_TRUE(wait_text(w.get(), "This device's keys belong to another identity of this account. Link it again.", kWaitMs));
        ASSERT_EQ(quorvane_worker_keyfile_relink(w.get()), 0);
        ASSERT_TRUE(wait_code(w.get(), QV_WS_CONNECTED, kWaitMs));
        w.reset();
        quorvane_device_keys again{};
        ASSERT_EQ(quorvane_client_store_open(c.keystore.c_str(), "correct horse", &again), 0);
        EXPECT_EQ(hex(again.identity_pub, 32), hex(k.identity_pub, 32));  // the account's identity now
        quorvane_device_keys_cleanse(&again);
    }
    {
        SCOPED_TRACE("wrong account password with a key file");
        TempDir d;
        Cfg c(d, a.srv.port, "hal", a.srv.pin_path());
        c.password = "wrong";
        ASSERT_EQ(quorvane_client_store_persist(c.keystore.c_str(), "old secret", &k), 0);
        WorkerPtr w = c.start();
        ASSERT_TRUE(w);
        ASSERT_TRUE(wait_code(w.get(), QV_WS_FAILED, kWaitMs));
        EXPECT_STREQ(status_of(w.get()).text, "Wrong password.");
    }
    quorvane_device_keys_cleanse(&k);
}

// A reset must never open the old store under the new identity's key: when
// the usual aside name is taken the next free one is used, and when none can
// be had the worker runs without a store and says so.
TEST(WorkerServer, ResetSetsTheOldStoreAside) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    uint8_t code[10];
    char code_text[20];
    ASSERT_EQ(quorvane_reset_code_generate(code), 0);
    ASSERT_EQ(quorvane_reset_code_encode(code, code_text), 0);
    for (bool all_taken : {false, true}) {
        SCOPED_TRACE(all_taken);
        TempDir d;
        Cfg c(d, srv.port, all_taken ? "ivy2" : "ivy", srv.pin_path());
        c.c.reset_code = code_text;
        c.c.no_initial_sync = 1;  // the first sync discards the usual aside: it must still be there to look at
        ASSERT_EQ(mkdir(c.msgstore.c_str(), 0700), 0);
        write_file(c.msgstore + "/old-history", "kept");
        ASSERT_EQ(mkdir((c.msgstore + ".pre-reset").c_str(), 0700), 0);
        write_file(c.msgstore + ".pre-reset/earlier", "earlier");
        for (int i = 1; all_taken && i <= 100; i++) {
            ASSERT_EQ(mkdir((c.msgstore + ".pre-reset." + std::to_string(i)).c_str(), 0700), 0);
        }
        WorkerPtr w = c.start();
        ASSERT_TRUE(w);
        ASSERT_TRUE(wait_code(w.get(), QV_WS_CONNECTED, kWaitMs));
        EXPECT_EQ(read_file(c.msgstore + ".pre-reset/earlier"), "earlier");  // the earlier aside untouched
        pthread_mutex_lock(&w->mu);
        const bool has_store = w->ms != nullptr;
        pthread_mutex_unlock(&w->mu);
        if (!all_taken) {
            EXPECT_EQ(read_file(c.msgstore + ".pre-reset.1/old-history"), "kept");
            EXPECT_TRUE(has_store);
            EXPECT_STREQ(status_of(w.get()).text, "");
        } else {
            EXPECT_EQ(read_file(c.msgstore + "/old-history"), "kept");
            EXPECT_FALSE(has_store);
            EXPECT_STREQ(status_of(w.get()).text, QV_W_NO_STORE_TEXT);
            struct stat st{};
            EXPECT_NE(stat((c.msgstore + "/convs.dat").c_str(), &st), 0);  // nothing written into the old store
        }
    }
}

// Stop returns quickly from every wait: a back-off nap, the network wait, the
// key-file decision, the changed-key wait and the connected loop.
TEST(WorkerStop, ReturnsQuicklyFromEveryWait) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    {
        TempDir d;
        Cfg c(d, srv.port, "jo", srv.pin_path());
        c.c.register_ = 1;
        WorkerPtr w = c.start();
        ASSERT_TRUE(w && wait_code(w.get(), QV_WS_CONNECTED, kWaitMs));
    }
    auto measure = [&](const char *what, const std::function<WorkerPtr()> &setup) {
        SCOPED_TRACE(what);
        std::vector<double> t;
        for (int i = 0; i < 3; i++) {
            WorkerPtr w = setup();
            if (!w) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            t.push_back(stop_ms(w));
        }
        // A stop that returns, not its speed: a stuck one waits out a nap of
        // at least 15 s or a decision that never comes.
        EXPECT_LT(median(t), 5000.0);
    };
    const std::string port = closed_port();
    measure("nap", [&] {
        TempDir d;
        Cfg c(d, port, "jo", d.file("pin"));
        c.c.register_ = 1;
        c.c.backoff_initial_ms = 60000;
        WorkerPtr w = c.start();
        EXPECT_TRUE(w && wait_code(w.get(), QV_WS_RETRYING, kWaitMs));
        return w;
    });
    measure("network wait", [&] {
        TempDir d;
        Cfg c(d, port, "jo", d.file("pin"));
        c.c.register_ = 1;
        WorkerPtr w = c.start();
        quorvane_worker_set_online(w.get(), 0);
        EXPECT_TRUE(wait_text(w.get(), "No network connection. Waiting for one…", kWaitMs));
        return w;
    });
    measure("connected loop", [&] {
        TempDir d;
        Cfg c(d, srv.port, "jo", srv.pin_path());
        c.c.register_ = 0;
        WorkerPtr w = c.start();  // joins by escrow, then stays connected
        EXPECT_TRUE(w && wait_code(w.get(), QV_WS_CONNECTED, kWaitMs));
        return w;
    });
    measure("key-file decision", [&] {
        TempDir d;
        Cfg c(d, srv.port, "jo", srv.pin_path());
        Keys k;
        EXPECT_EQ(quorvane_client_store_create(c.keystore.c_str(), "old secret", &k.k), 0);
        WorkerPtr w = c.start();
        EXPECT_TRUE(w && wait_code(w.get(), QV_WS_KEYFILE_DECISION, kWaitMs));
        return w;
    });
    measure("changed key", [&] {
        TempDir d;
        Cfg c(d, srv.port, "jo", d.file("pin"));
        write_file(c.pin, std::string(32, 'x'));  // a pin that is not this server's key
        Keys k;
        EXPECT_EQ(quorvane_client_store_create(c.keystore.c_str(), c.password.c_str(), &k.k), 0);
        WorkerPtr w = c.start();
        EXPECT_TRUE(w && wait_code(w.get(), QV_WS_SERVER_KEY_CHANGED, kWaitMs));
        return w;
    });
}

// News from the server lands in the rings and wakes the screens through the
// hook, which runs without the worker's mutex.
namespace {

// A conversation of a plain session with an account, made from its bundle.
void conv_with(Device &from, const char *user, uint8_t conv[16]) {
    quorvane_prekey_reply peer = from.prekeys_of(user);
    ASSERT_EQ(peer.complete, 1u);
    quorvane_member members[2];
    members[0] = member_of({&from});
    quorvane_cs_peer_from_prekeys(&members[1], &peer);
    uint8_t key[32];
    ASSERT_EQ(quorvane_random(conv, 16), 0);
    ASSERT_EQ(quorvane_random(key, 32), 0);
    ASSERT_EQ(quorvane_cs_create_conv(from.cs.get(), conv, key, members, 2), 0);
}

}  // namespace

TEST(WorkerServer, HookRunsWithoutTheMutex) {
    Signed b("kim");
    ASSERT_TRUE(b.w);
    struct HookState {
        quorvane_worker *w;
        std::atomic<int> calls{0}, locked_out{0};
    } hs{b.w.get()};
    quorvane_worker_set_notify_hook(
        b.w.get(),
        [](void *p) {
            auto *h = static_cast<HookState *>(p);
            if (pthread_mutex_trylock(&h->w->mu) == 0) {
                pthread_mutex_unlock(&h->w->mu);
            } else {
                h->locked_out++;
            }
            h->calls++;
        },
        &hs);

    Device alice(b.srv, "lee", 0x31);
    bring_up({&alice});
    uint8_t conv[16];
    ASSERT_NO_FATAL_FAILURE(conv_with(alice, "kim", conv));
    const bytes cid(conv, conv + 16);
    alice.send_text(cid, "hello kim");
    ASSERT_EQ(alice.acks(1).size(), 1u);

    ASSERT_TRUE(wait_until([&] { return hs.calls.load() > 0; }, kWaitMs));
    EXPECT_EQ(hs.locked_out.load(), 0);
    pthread_mutex_lock(&b.w->mu);
    const size_t notes = b.w->note_count;
    const quorvane_notification first = b.w->note_ring[b.w->note_head];
    pthread_mutex_unlock(&b.w->mu);
    ASSERT_GE(notes, 1u);
    EXPECT_EQ(hex(first.conv_id, 16), hex(conv, 16));
    EXPECT_STREQ(first.preview, "hello kim");
}

// The pump stores what came in, writes and fsyncs it holding the store's lock
// alone: while a slow disk keeps the store (the test holds that lock), the
// worker's mutex stays free for the screens, and what arrived is published
// once the store is let go. A send the worker must refuse wakes the screens.
TEST(WorkerServer, StoreHeldLeavesTheMutexFree) {
    Signed b("kim");
    ASSERT_TRUE(b.w);
    std::atomic<int> calls{0};
    quorvane_worker_set_notify_hook(b.w.get(), [](void *p) { ++*static_cast<std::atomic<int> *>(p); }, &calls);
    const uint8_t nowhere[16] = {0x5a};
    const int before = calls.load();
    ASSERT_EQ(quorvane_worker_send_text(b.w.get(), nowhere, "to no conversation"), 0);
    ASSERT_TRUE(wait_until([&] { return calls.load() > before; }, kWaitMs));
    uint8_t cid[16];
    uint64_t counter = 0;
    int ok = 1;
    ASSERT_EQ(quorvane_worker_poll_send_result(b.w.get(), cid, &counter, &ok), 1);
    EXPECT_EQ(hex(cid, 16), hex(nowhere, 16));
    EXPECT_EQ(ok, 0);

    Device alice(b.srv, "lee", 0x32);
    bring_up({&alice});
    uint8_t conv[16];
    ASSERT_NO_FATAL_FAILURE(conv_with(alice, "kim", conv));

    pthread_mutex_lock(&b.w->store_mu);
    alice.send_text(bytes(conv, conv + 16), "while the disk is slow");
    const bool acked = alice.acks(1).size() == 1;
    // a worker that waited for the store with its mutex held would keep it
    const bool mutex_free = wait_until(
        [&] {
            if (pthread_mutex_trylock(&b.w->mu) != 0) return false;
            pthread_mutex_unlock(&b.w->mu);
            return true;
        },
        kWaitMs);
    quorvane_worker_status st{};
    int got = -1;
    size_t notes_while_held = 0;
    if (mutex_free) {  // else these would wait for ever
        got = quorvane_worker_get(b.w.get(), &st);
        pthread_mutex_lock(&b.w->mu);
        notes_while_held = b.w->note_count;
        pthread_mutex_unlock(&b.w->mu);
    }
    pthread_mutex_unlock(&b.w->store_mu);
    ASSERT_TRUE(acked);
    EXPECT_TRUE(mutex_free);
    EXPECT_EQ(got, 0);
    EXPECT_EQ(st.code, QV_WS_CONNECTED);
    EXPECT_EQ(notes_while_held, 0u);  // nothing is published before it is stored

    quorvane_notification n{};
    ASSERT_TRUE(wait_until([&] { return quorvane_worker_poll_notification(b.w.get(), &n) == 1; }, kWaitMs));
    EXPECT_EQ(hex(n.conv_id, 16), hex(conv, 16));
    EXPECT_STREQ(n.preview, "while the disk is slow");
}

namespace {

// Queues a password change as the settings screen does and waits for its result code.
int change_password(quorvane_worker *w, const char *current, const char *next) {
    auto *c = static_cast<quorvane_wcmd *>(std::calloc(1, sizeof(quorvane_wcmd)));
    c->kind = 52;
    c->text = strdup(current);
    c->text2 = strdup(next);
    pthread_mutex_lock(&w->mu);
    w->pwchange_ready = 0;  // the screen's call clears the last result
    pthread_mutex_unlock(&w->mu);
    if (cmd_enqueue(w, c) != 0) return -1;
    int code = -1;
    wait_until(
        [&] {
            pthread_mutex_lock(&w->mu);
            if (w->pwchange_ready) code = w->pwchange_code;
            pthread_mutex_unlock(&w->mu);
            return code >= 0;
        },
        kWaitMs);
    return code;
}

}  // namespace

// A wrong current password changes nothing; the right one changes the
// server's auth value and escrow and reseals the key file, so the next start
// signs in with the new password and the old one is refused.
TEST(WorkerServer, PasswordChange) {
    Signed a("pat");
    ASSERT_TRUE(a.w);
    EXPECT_EQ(change_password(a.w.get(), "not the password", "a new password"), 1);
    EXPECT_EQ(change_password(a.w.get(), "correct horse", "a new password"), 0);
    a.w.reset();

    Cfg old_pw(a.dir, a.srv.port, "pat", a.srv.pin_path());
    old_pw.keystore = a.cfg->keystore;
    old_pw.msgstore = a.cfg->msgstore;
    WorkerPtr refused = old_pw.start();
    ASSERT_TRUE(refused);
    EXPECT_TRUE(wait_code(refused.get(), QV_WS_FAILED, kWaitMs));
    refused.reset();

    old_pw.password = "a new password";
    WorkerPtr w = old_pw.start();
    ASSERT_TRUE(w);
    EXPECT_TRUE(wait_code(w.get(), QV_WS_CONNECTED, kWaitMs)) << status_of(w.get()).text;
    EXPECT_EQ(std::memcmp(status_of(w.get()).user_id, a.uid, 16), 0);
}

namespace {

std::atomic<int> pw_hold_armed{0}, pw_hold_reached{0}, pw_store_taken{0};
std::thread::id pw_hold_test_thread;  // a record the test itself frees is not held

// On the worker's thread, as the password command's record is freed right
// after it went out: waits until the test holds the store's lock, so that the
// server's answer can only be opened by a later pump.
void hold_after_password_command(const quorvane_wcmd *c, const char *, size_t, const char *, size_t) {
    if (c->kind != 52 || std::this_thread::get_id() == pw_hold_test_thread || !pw_hold_armed.exchange(0)) return;
    pw_hold_reached = 1;
    while (!pw_store_taken.load()) std::this_thread::yield();
}

}  // namespace

// The worker is stopped while the server's "changed" answer waits for the
// pump: the pump opens it and then sees the stop, and the key file must still
// be sealed under the new password, since the server no longer takes the old.
TEST(WorkerServer, PasswordChangeAnsweredAsTheWorkerStops) {
    Signed a("pat");
    ASSERT_TRUE(a.w);
    qv_wcmd_wiped_probe = hold_after_password_command;
    pw_hold_test_thread = std::this_thread::get_id();
    pw_hold_reached = 0;
    pw_store_taken = 0;
    pw_hold_armed = 1;
    auto *c = static_cast<quorvane_wcmd *>(std::calloc(1, sizeof(quorvane_wcmd)));
    c->kind = 52;
    c->text = strdup("correct horse");
    c->text2 = strdup("a new password");
    ASSERT_EQ(cmd_enqueue(a.w.get(), c), 0);
    const bool reached = wait_until([] { return pw_hold_reached.load() != 0; }, kWaitMs);
    pthread_mutex_lock(&a.w->store_mu);
    pw_store_taken = 1;
    qv_wcmd_wiped_probe = nullptr;
    // the server has the new password once it hands out the escrow for it
    const bool changed = reached && wait_until(
                                        [&] {
                                            quorvane_cs_config e =
                                                base_config(a.srv.port, a.srv.pin_path(), "pat", "a new password", nullptr);
                                            e.escrow_fetch = 1;
                                            CsPtr cs(quorvane_cs_new(&e));
                                            return cs && drive(cs.get()) == QV_CS_ESCROW_READY;
                                        },
                                        kWaitMs);
    quorvane_worker *w = a.w.release();
    std::thread stopper([w] { quorvane_worker_stop(w); });
    wait_until(
        [w] {
            pthread_mutex_lock(&w->mu);
            const int stop = w->stop;
            pthread_mutex_unlock(&w->mu);
            return stop != 0;
        },
        kWaitMs);
    pthread_mutex_unlock(&w->store_mu);
    stopper.join();
    ASSERT_TRUE(reached);
    ASSERT_TRUE(changed);

    quorvane_device_keys keys{};
    EXPECT_EQ(quorvane_client_store_open(a.cfg->keystore.c_str(), "a new password", &keys), 0);
    quorvane_device_keys_cleanse(&keys);
}

// A password change the server took but whose key file could not be
// resealed (here a directory stands where the new file is written): the
// screen hears 254, the worker signs in with the new password from then on,
// and the key file still opens with the old one.
TEST(WorkerServer, PasswordChangeWithAnUnwritableKeyFile) {
    Signed a("kit");
    ASSERT_TRUE(a.w);
    const std::string blocker = a.cfg->keystore + ".tmp";
    ASSERT_EQ(mkdir(blocker.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((blocker + "/x").c_str(), 0700), 0);
    EXPECT_EQ(change_password(a.w.get(), "correct horse", "kit's new password"), 254);
    kill(a.srv.proc->pid, SIGKILL);
    a.srv.stop();
    ASSERT_TRUE(wait_until([&] { return status_of(a.w.get()).code != QV_WS_CONNECTED; }, kWaitMs));
    ASSERT_TRUE(a.srv.start(true));
    EXPECT_TRUE(wait_code(a.w.get(), QV_WS_CONNECTED, kWaitMs)) << status_of(a.w.get()).text;
    quorvane_device_keys keys{};
    EXPECT_EQ(quorvane_client_store_open(a.cfg->keystore.c_str(), "correct horse", &keys), 0);
    quorvane_device_keys_cleanse(&keys);
}

// Revoking this very device: the server answers, then closes the line at
// once, so the answer and the close come in one pump. The answer is still
// taken: the screen learns the revocation went through.
TEST(WorkerServer, RevocationAnsweredAsTheLineCloses) {
    Signed a("rex");
    ASSERT_TRUE(a.w);
    auto *c = static_cast<quorvane_wcmd *>(std::calloc(1, sizeof(quorvane_wcmd)));
    c->kind = 35;
    pthread_mutex_lock(&a.w->mu);
    std::memcpy(c->ref, a.w->keys.device_x25519_pub, 32);
    std::memcpy(c->ref + 32, a.w->keys.device_ed25519_pub, 32);
    pthread_mutex_unlock(&a.w->mu);
    ASSERT_EQ(cmd_enqueue(a.w.get(), c), 0);
    int code = -1;
    EXPECT_TRUE(wait_until(
        [&] {
            pthread_mutex_lock(&a.w->mu);
            if (a.w->revoke_ready) code = a.w->revoke_code;
            pthread_mutex_unlock(&a.w->mu);
            return code >= 0;
        },
        kWaitMs));
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(wait_code(a.w.get(), QV_WS_FAILED, kWaitMs));
    EXPECT_EQ(std::string(status_of(a.w.get()).text), "This device was removed from your account. Ask the operator to restore it, or reinstall the app.");
}

namespace {

// The own messages of a conversation in the worker's store: (counter, send status).
std::vector<std::pair<uint64_t, int>> own_sends(quorvane_worker *w, const uint8_t conv[16]) {
    struct Ctx {
        const uint8_t *conv;
        std::vector<std::pair<uint64_t, int>> out;
    } ctx{conv, {}};
    quorvane_worker_test_with_store(
        w,
        [](quorvane_msgstore *ms, void *p) {
            auto *c = static_cast<Ctx *>(p);
            if (!ms) return;
            quorvane_ms_msgrec rec{};
            for (size_t i = 0; i < quorvane_msgstore_msg_count(ms, c->conv); i++)
                if (quorvane_msgstore_msg_at(ms, c->conv, i, &rec) == 0) c->out.emplace_back(rec.msg_id, rec.send_status);
        },
        &ctx);
    return ctx.out;
}

}  // namespace

// A send whose frame went out but whose acknowledgement never came, because
// the server died: the screen hears it failed, and the store says so too,
// instead of "sending" for ever. A send queued while the server is away goes
// out once it is back, once.
TEST(WorkerServer, SendCutOffByADroppedConnectionIsReportedFailed) {
    Signed a("sam");
    ASSERT_TRUE(a.w);
    uint8_t conv[16], key[32];
    ASSERT_EQ(quorvane_random(conv, 16), 0);
    ASSERT_EQ(quorvane_random(key, 32), 0);
    ASSERT_EQ(quorvane_worker_create_conv(a.w.get(), conv, key, nullptr, 0), 0);
    uint8_t got_conv[16];
    uint64_t counter = 0;
    int ok = 0;
    // a first message that went through shows the conversation is on the server
    ASSERT_EQ(quorvane_worker_send_text(a.w.get(), conv, "hello"), 0);
    ASSERT_TRUE(wait_until([&] { return quorvane_worker_poll_send_result(a.w.get(), got_conv, &counter, &ok) == 1; }, kWaitMs));
    ASSERT_EQ(ok, 1);

    const pid_t pid = a.srv.proc->pid;
    ASSERT_EQ(kill(pid, SIGSTOP), 0);  // it takes the frame but never answers
    ASSERT_EQ(quorvane_worker_send_text(a.w.get(), conv, "into the void"), 0);
    ASSERT_TRUE(wait_until([&] { return own_sends(a.w.get(), conv).size() == 2; }, kWaitMs));
    const auto before = own_sends(a.w.get(), conv);
    EXPECT_EQ(before[1].second, 1);
    EXPECT_EQ(quorvane_worker_poll_send_result(a.w.get(), got_conv, &counter, &ok), 0);
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    ASSERT_TRUE(wait_until([&] { return quorvane_worker_poll_send_result(a.w.get(), got_conv, &counter, &ok) == 1; }, kWaitMs));
    EXPECT_EQ(hex(got_conv, 16), hex(conv, 16));
    EXPECT_EQ(counter, before[1].first);
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(quorvane_worker_poll_send_result(a.w.get(), got_conv, &counter, &ok), 0);  // once
    auto after = own_sends(a.w.get(), conv);
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[1].second, 3);

    ASSERT_TRUE(wait_code(a.w.get(), QV_WS_RETRYING, kWaitMs));
    ASSERT_EQ(quorvane_worker_send_text(a.w.get(), conv, "after the break"), 0);
    ASSERT_TRUE(a.srv.start(true));
    ASSERT_TRUE(wait_until([&] { return quorvane_worker_poll_send_result(a.w.get(), got_conv, &counter, &ok) == 1; }, kWaitMs));
    EXPECT_EQ(ok, 1);
    after = own_sends(a.w.get(), conv);
    ASSERT_EQ(after.size(), 3u);
    EXPECT_EQ(after[2].first, counter);
    EXPECT_EQ(after[2].second, 2);
    EXPECT_EQ(quorvane_worker_poll_send_result(a.w.get(), got_conv, &counter, &ok), 0);
}

// A reset the server refuses leaves the old keys in force; the history the
// reset set aside is theirs and must survive the next ordinary sign-in's
// clean-up of asides.
TEST(WorkerServer, RefusedResetKeepsTheOldHistory) {
    Signed a("rita");
    ASSERT_TRUE(a.w);
    a.w.reset();
    write_file(a.cfg->msgstore + "/mine", "history");
    uint8_t code[10];
    char code_text[20];
    ASSERT_EQ(quorvane_reset_code_generate(code), 0);
    ASSERT_EQ(quorvane_reset_code_encode(code, code_text), 0);
    {
        Cfg r(a.dir, a.srv.port, "rita", a.srv.pin_path());
        r.c.reset_code = code_text;
        WorkerPtr w = r.start();
        ASSERT_TRUE(w && wait_code(w.get(), QV_WS_FAILED, kWaitMs));
    }
    Cfg again(a.dir, a.srv.port, "rita", a.srv.pin_path());
    WorkerPtr w = again.start();
    ASSERT_TRUE(w && wait_code(w.get(), QV_WS_CONNECTED, kWaitMs));
    // the clean-up runs in the pass that sees the first sync
    ASSERT_TRUE(wait_until([&] {
        pthread_mutex_lock(&w->mu);
        const bool synced = w->last_sync != 0;
        pthread_mutex_unlock(&w->mu);
        return synced;
    }, kWaitMs));
    w.reset();
    const std::string kept = read_file(a.cfg->msgstore + ".pre-reset/mine") + read_file(a.cfg->msgstore + "/mine");
    EXPECT_EQ(kept, "history");
}

// Every public function called from other threads in a loop, with real and
// null arguments, while the worker starts, connects, runs and is stopped (the
// callers are joined first: stop frees the worker). Run under ThreadSanitizer
// this shows any field read or written outside the mutex.
TEST(WorkerStop, PublicCallsRaceTheThread) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    TempDir d;
    std::atomic<int> hooked{0};
    auto hammer = [&](quorvane_worker *w, std::atomic<bool> &run, unsigned seed) {
        uint8_t conv[16] = {static_cast<uint8_t>(seed)}, key[32] = {}, out[56];
        quorvane_worker_status s;
        quorvane_prekey_reply reply;
        quorvane_notification note;
        uint64_t counter;
        int ok;
        for (unsigned i = 0; run.load(); i++) {
            conv[1] = static_cast<uint8_t>(i);
            (void)quorvane_worker_get(w, &s);
            (void)quorvane_worker_get(w, nullptr);
            (void)quorvane_worker_emoji_version(w);
            (void)quorvane_worker_sticker_version(w);
            (void)quorvane_worker_server_key(w, out);
            (void)quorvane_worker_server_key(w, nullptr);
            (void)quorvane_worker_accept_server_key(w);
            (void)quorvane_worker_keyfile_old_password(w, "guess");
            (void)quorvane_worker_keyfile_old_password(w, nullptr);
            (void)quorvane_worker_keyfile_relink(w);
            quorvane_worker_kick(w);
            quorvane_worker_set_online(w, 1);
            (void)quorvane_worker_offline(w);
            (void)quorvane_worker_join_pending(w, conv);
            (void)quorvane_worker_join_pending(w, nullptr);
            (void)quorvane_worker_preauth_result(w, out);
            (void)quorvane_worker_take_prekeys(w, &reply);
            (void)quorvane_worker_take_prekeys(w, nullptr);
            (void)quorvane_worker_poll_notification(w, &note);
            (void)quorvane_worker_poll_notification(w, nullptr);
            (void)quorvane_worker_poll_send_result(w, conv, &counter, &ok);
            (void)quorvane_worker_poll_send_result(w, nullptr, nullptr, nullptr);
            quorvane_worker_set_notify_hook(w, [](void *p) { static_cast<std::atomic<int> *>(p)->fetch_add(1); }, &hooked);
            if (i % 8 == 0) {
                (void)quorvane_worker_create_conv(w, conv, key, nullptr, 0);
                (void)quorvane_worker_create_conv(w, nullptr, key, nullptr, 0);
                (void)quorvane_worker_sync(w);
                (void)quorvane_worker_request_prekeys(w, "pat");
                (void)quorvane_worker_request_prekeys_for_dm(w, nullptr);
                (void)quorvane_worker_send_text(w, conv, "hi");
                (void)quorvane_worker_send_system(w, conv, nullptr);
                (void)quorvane_worker_send_reply(w, conv, conv, 1, "re");
                (void)quorvane_worker_send_edit(w, conv, nullptr, 1, "ed");
                (void)quorvane_worker_delete_message(w, conv, conv, nullptr, 1);
                (void)quorvane_worker_react(w, conv, conv, key, 1, "ok", 1);
                (void)quorvane_worker_react(w, conv, nullptr, key, 1, nullptr, 1);
            }
            std::this_thread::yield();
        }
    };
    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE(round);
        Cfg c(d, srv.port, "pat", srv.pin_path());
        c.c.register_ = round == 0;
        WorkerPtr w = c.start();
        ASSERT_TRUE(w);
        std::atomic<bool> run{true};
        std::vector<std::thread> callers;
        for (unsigned t = 0; t < 3; t++) callers.emplace_back(hammer, w.get(), std::ref(run), t + 1);
        // round 2 stops while still signing in; the others once connected and busy
        if (round < 2) {
            EXPECT_TRUE(wait_code(w.get(), QV_WS_CONNECTED, kWaitMs));
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        run = false;
        for (std::thread &t : callers) t.join();
        w.reset();
    }
}

// Accepting a changed server key whose pin cannot be written: the key stays
// waiting and the user is told, instead of a reconnect that fails on the pin
// for ever; a second accept once the disk is right pins it and goes on.
TEST(WorkerServer, UnsavedServerKeyPinAsksAgain) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    TempDir d;
    Cfg c(d, srv.port, "una", d.file("pin"));
    c.c.register_ = 1;
    write_file(c.pin, std::string(32, 'x'));  // a pin that is not this server's key
    WorkerPtr w = c.start();
    ASSERT_TRUE(w && wait_code(w.get(), QV_WS_SERVER_KEY_CHANGED, kWaitMs));
    ASSERT_EQ(unlink(c.pin.c_str()), 0);
    ASSERT_EQ(mkdir(c.pin.c_str(), 0700), 0);  // the pin cannot land
    ASSERT_EQ(quorvane_worker_accept_server_key(w.get()), 0);
    ASSERT_TRUE(wait_text(w.get(), "Could not save the server's new identity key — check free disk space, then accept it again.",
                          kWaitMs));
    EXPECT_EQ(status_of(w.get()).code, QV_WS_SERVER_KEY_CHANGED);
    uint8_t key[32];
    EXPECT_EQ(quorvane_worker_server_key(w.get(), key), 1);
    ASSERT_EQ(rmdir(c.pin.c_str()), 0);
    ASSERT_EQ(quorvane_worker_accept_server_key(w.get()), 0);
    ASSERT_TRUE(wait_code(w.get(), QV_WS_CONNECTED, kWaitMs));
    EXPECT_EQ(hex(file_bytes(c.pin).data(), 32), hex(key, 32));
    EXPECT_EQ(quorvane_worker_server_key(w.get(), key), 0);
}

// The key store cannot be written (a directory stands where its temporary
// file goes) when a new account or a device joining by escrow gets through:
// the worker ends with the save failure and never shows itself signed in
// with keys that are not on disk; once the disk is right, signing in again
// joins the same account.
TEST(WorkerServer, KeysThatCannotBeSavedEndTheRun) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    const char *fail_text = "Could not save this device's keys — check free disk space, then sign in again.";
    for (int reg : {1, 0}) {
        SCOPED_TRACE(reg);
        TempDir d;
        Cfg c(d, srv.port, "vic", srv.pin_path());
        c.c.register_ = reg;
        const std::string blocker = c.keystore + ".tmp";
        ASSERT_EQ(mkdir(blocker.c_str(), 0700), 0);
        write_file(blocker + "/x", "x");
        {
            WorkerPtr w = c.start();
            ASSERT_TRUE(w && wait_code(w.get(), QV_WS_FAILED, kWaitMs));
            EXPECT_STREQ(status_of(w.get()).text, fail_text);
            pthread_mutex_lock(&w->mu);
            EXPECT_EQ(w->connected_at_ms, 0u);  // never ready
            pthread_mutex_unlock(&w->mu);
        }
        EXPECT_EQ(quorvane_client_store_exists(c.keystore.c_str()), 0);
        ASSERT_EQ(unlink((blocker + "/x").c_str()), 0);
        ASSERT_EQ(rmdir(blocker.c_str()), 0);
        c.c.register_ = 0;
        WorkerPtr w = c.start();
        ASSERT_TRUE(w && wait_code(w.get(), QV_WS_CONNECTED, kWaitMs));
        w.reset();
        quorvane_device_keys k{};
        EXPECT_EQ(quorvane_client_store_open(c.keystore.c_str(), c.password.c_str(), &k), 0);
        quorvane_device_keys_cleanse(&k);
    }
}

// A worker whose thread has ended (here: the server never answered) is still
// safe to call; it takes no more commands, and those that waited are gone
// with their texts instead of lingering until stop.
TEST(WorkerStop, EndedThreadRefusesCommands) {
    TempDir d;
    Cfg c(d, closed_port(), "wes", d.file("pin"));
    c.c.register_ = 1;
    c.c.max_attempts = 2;
    c.c.backoff_initial_ms = 300;
    WorkerPtr w = c.start();
    ASSERT_TRUE(w && wait_code(w.get(), QV_WS_RETRYING, kWaitMs));
    const uint8_t conv[16] = {7};
    ASSERT_EQ(quorvane_worker_send_text(w.get(), conv, "waiting"), 0);  // the store is open: queued
    ASSERT_TRUE(wait_code(w.get(), QV_WS_UNREACHABLE, kWaitMs));
    ASSERT_TRUE(wait_until([&] {
        pthread_mutex_lock(&w->mu);
        const bool ended = w->thread_ended;
        pthread_mutex_unlock(&w->mu);
        return ended;
    }, kWaitMs));
    pthread_mutex_lock(&w->mu);
    EXPECT_EQ(w->cmd_count, 0u);
    EXPECT_EQ(w->cmd_head, nullptr);
    pthread_mutex_unlock(&w->mu);
    EXPECT_EQ(quorvane_worker_send_text(w.get(), conv, "late"), -1);
    EXPECT_EQ(quorvane_worker_sync(w.get()), -1);
    EXPECT_EQ(quorvane_worker_request_prekeys(w.get(), "wes"), -1);
    EXPECT_EQ(quorvane_worker_accept_server_key(w.get()), -1);
    EXPECT_EQ(quorvane_worker_keyfile_old_password(w.get(), "old"), -1);
    EXPECT_EQ(quorvane_worker_keyfile_relink(w.get()), -1);
    uint8_t out[56];
    EXPECT_EQ(quorvane_worker_server_key(w.get(), out), 0);
    EXPECT_EQ(quorvane_worker_preauth_result(w.get(), out), -1);
    EXPECT_EQ(quorvane_worker_poll_send_result(w.get(), nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(quorvane_worker_poll_notification(w.get(), nullptr), 0);
    quorvane_worker_kick(w.get());
    quorvane_worker_set_online(w.get(), 0);
    EXPECT_EQ(quorvane_worker_offline(w.get()), 1);
    EXPECT_EQ(status_of(w.get()).code, QV_WS_UNREACHABLE);
}

// A stop that returns, not its speed (a loaded machine or a sanitizer slows
// any): one held by the peer waits out its 20 s of flood.
constexpr double kHostileStopMs = 5000.0;

// A peer that signs the worker in and then floods it with frames, or cuts a
// frame in half and drops the line: stop still returns at once.
TEST(WorkerStop, HostilePeerDoesNotHoldStop) {
    for (const bool flood : {true, false}) {
        SCOPED_TRACE(flood ? "flood" : "cut frame");
        std::vector<double> t;
        for (int i = 0; i < 3; i++) {
            std::atomic<bool> signed_in{false};
            TlsPeer peer([&](PeerConn &pc) {
                bytes f;
                const bytes key(32, 0x5A), nonce(32, 0x11), uid(16, 0x22);
                if (!pc.read_frame(&f) || !pc.write_record(frame_of(129, tlv(7, key)))) return;
                if (!pc.read_frame(&f) || !pc.write_record(frame_of(131, tlv(11, nonce)))) return;
                if (!pc.read_frame(&f) || !pc.write_record(frame_of(132, cat({tlv(14, uid), tlv(15, bytes{0})})))) return;
                signed_in = true;
                const bytes junk = frame_of(250, bytes(1000, 0x77));
                if (!flood) {
                    pc.write_record(bytes(junk.begin(), junk.begin() + 500));
                    pc.reset();
                    return;
                }
                const auto end = clk::now() + std::chrono::seconds(20);
                while (clk::now() < end && pc.write_record(junk)) {}
            });
            TempDir d;
            Cfg c(d, peer.port, "xan", d.file("pin"));
            Keys k;
            ASSERT_EQ(quorvane_client_store_persist(c.keystore.c_str(), c.password.c_str(), &k.k), 0);
            WorkerPtr w = c.start();
            ASSERT_TRUE(w);
            ASSERT_TRUE(wait_until([&] { return signed_in.load(); }, kWaitMs));
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            t.push_back(stop_ms(w));
            peer.join();
        }
        EXPECT_LT(median(t), kHostileStopMs) << t[0] << ", " << t[1] << ", " << t[2] << " ms";
    }
}

namespace {

// Runs `body` with its own worker in a forked child and kills the child with
// SIGKILL once `ready` holds (checked from here); false when it never did.
bool kill_child_when(const std::function<void()> &body, const std::function<bool()> &ready) {
    const pid_t pid = fork();
    if (pid == 0) {
        body();
        for (;;) pause();
    }
    if (pid < 0) return false;
    const bool got = wait_until(ready, kWaitMs);
    kill(pid, SIGKILL);
    int st = 0;
    waitpid(pid, &st, 0);
    return got && WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL;
}

}  // namespace

// The process dies by SIGKILL right after the new account's keys landed, and
// again right after a message was sent: the next start signs in with the same
// identity and still has the message, marked sent.
TEST(WorkerServer, KilledMidWayLosesNothing) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    TempDir d;
    Cfg c(d, srv.port, "yul", srv.pin_path());
    c.c.register_ = 1;
    ASSERT_TRUE(kill_child_when([&] { (void)quorvane_worker_start(c.get()); },
                                [&] { return quorvane_client_store_exists(c.keystore.c_str()) == 1; }));
    quorvane_device_keys k{};
    ASSERT_EQ(quorvane_client_store_open(c.keystore.c_str(), c.password.c_str(), &k), 0);
    const std::string identity = hex(k.identity_pub, 32);
    quorvane_device_keys_cleanse(&k);

    c.c.register_ = 0;
    uint8_t conv[16], key[32];
    ASSERT_EQ(quorvane_random(conv, 16), 0);
    ASSERT_EQ(quorvane_random(key, 32), 0);
    const std::string sent_mark = d.file("sent");
    ASSERT_TRUE(kill_child_when(
        [&] {
            quorvane_worker *w = quorvane_worker_start(c.get());
            if (!w || !wait_until([&] { quorvane_worker_status s{}; quorvane_worker_get(w, &s); return s.code == QV_WS_CONNECTED; },
                                  kWaitMs))
                return;
            if (quorvane_worker_create_conv(w, conv, key, nullptr, 0) != 0 ||
                quorvane_worker_send_text(w, conv, "before the kill") != 0)
                return;
            int ok = 0;
            const bool got = wait_until([&] { return quorvane_worker_poll_send_result(w, nullptr, nullptr, &ok) == 1; }, kWaitMs);
            write_file(sent_mark, got && ok ? "1" : got ? "refused" : "none");
        },
        [&] { return !read_file(sent_mark).empty(); }));
    ASSERT_EQ(read_file(sent_mark), "1");

    WorkerPtr w = c.start();
    ASSERT_TRUE(w && wait_code(w.get(), QV_WS_CONNECTED, kWaitMs));
    ASSERT_EQ(quorvane_client_store_open(c.keystore.c_str(), c.password.c_str(), &k), 0);
    EXPECT_EQ(hex(k.identity_pub, 32), identity);
    quorvane_device_keys_cleanse(&k);
    const auto sends = own_sends(w.get(), conv);
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0].second, 2);
}
