// The client session against the real server program over TLS on loopback:
// every handshake mode, refusals, restarts, changed keys and record shapes.
#include "quorvane_escrow.h"
#include "quorvane_keyfile.h"
#include "server_handlers.h"
#include "server_store.h"
#include "session_support.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace qvtest;

namespace {

struct Account {
    ServerProc &srv;
    std::string user;
    std::string password;
    Keys keys;
    quorvane_cs_config cfg(bool do_register = false) {
        quorvane_cs_config c = base_config(srv.port, srv.pin_path(), user.c_str(), password.c_str(), &keys.k);
        c.do_register = do_register;
        return c;
    }
};

Outcome sign_in(ServerProc &srv, const char *user, const char *pw, quorvane_device_keys *keys, uint8_t *uid = nullptr,
                uint8_t *role = nullptr) {
    quorvane_cs_config c = base_config(srv.port, srv.pin_path(), user, pw, keys);
    CsPtr cs(quorvane_cs_new(&c));
    uint32_t st = drive(cs.get());
    if (uid) std::memcpy(uid, quorvane_cs_user_id(cs.get()), 16);
    if (role) *role = quorvane_cs_role(cs.get());
    const char *d = quorvane_cs_fail_detail(cs.get());
    return {st, quorvane_cs_fail_reason(cs.get()), d ? d : ""};
}

mode_t file_mode(const std::string &p) {
    struct stat st{};
    stat(p.c_str(), &st);
    return st.st_mode & 0777;
}

}  // namespace

// Registration, sign-in, the escrow, what the server keeps, and a restart.
TEST(SessionServer, RegisterSignInEscrowAndRestart) {
    // The product build: the test knobs in its environment change nothing.
    ServerProc srv(Knobs{{"QVS_TEST_SILENT", "1"}, {"QVS_TEST_REFUSE", "7"}}, true);
    ASSERT_TRUE(srv.start());
    Account alice{srv, "alice", "correct horse", {}};
    Outcome r = run(alice.cfg(true));
    EXPECT_EQ(r.state, QV_CS_REGISTERED) << r.detail;

    uint8_t uid[16] = {}, role = 9;
    EXPECT_EQ(sign_in(srv, "alice", "correct horse", &alice.keys.k, uid, &role).state, QV_CS_SIGNED_IN);
    EXPECT_FALSE(all_zero(uid, 16));
    EXPECT_EQ(role, 1);  // the first account owns the server

    // The same name by another identity is refused as taken (status 3 would
    // read as registered); the account is unchanged.
    Keys other;
    quorvane_cs_config again = base_config(srv.port, srv.pin_path(), "alice", "another", &other.k);
    again.do_register = 1;
    Outcome taken = run(again);
    EXPECT_EQ(taken.state, QV_CS_REGISTER_REFUSED);
    EXPECT_EQ(taken.reason, 1);

    struct { const char *user, *pw; quorvane_device_keys *keys; uint8_t reason; } refused[] = {
        {"alice", "wrong password", &alice.keys.k, 1},  // auth value
        {"alice", "correct horse", &other.k, 1},        // a device the account does not have: the client adds it
        {"nobody", "x", &other.k, 4},
    };
    for (auto &c : refused) {
        Outcome o = sign_in(srv, c.user, c.pw, c.keys);
        EXPECT_EQ(o.state, QV_CS_LOGIN_REFUSED) << c.user << " " << c.pw;
        EXPECT_EQ(o.reason, c.reason) << c.user << " " << c.pw;
    }

    // A new device fetches the password escrow and gets the identity seed.
    quorvane_cs_config e = base_config(srv.port, srv.pin_path(), "alice", "correct horse", nullptr);
    e.escrow_fetch = 1;
    CsPtr cs;
    uint8_t seed[32];
    ASSERT_NO_FATAL_FAILURE(fetch_escrow_seed(e, seed, &cs));
    EXPECT_EQ(hex(seed, 32), hex(alice.keys.k.identity_priv, 32));
    EXPECT_EQ(quorvane_cs_take_escrow_seed(cs.get(), seed), -1);  // taken once
    EXPECT_TRUE(all_zero(cs->escrow_seed, sizeof cs->escrow_seed));  // and wiped
    e.password = "wrong";
    Outcome wrong = run(e);
    EXPECT_EQ(wrong.state, QV_CS_ESCROW_REFUSED);
    EXPECT_EQ(wrong.reason, 1);
    e.user = "nobody";
    Outcome nobody = run(e);
    EXPECT_EQ(nobody.state, QV_CS_ESCROW_REFUSED);
    EXPECT_EQ(nobody.reason, 2);

    // A clean stop; the restart keeps the account and its keys.
    int st = srv.stop();
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    for (const char *f : {"server.key", "tls.key", "tls.crt", "quorvane.db"}) EXPECT_EQ(file_mode(srv.data + "/" + f), 0600u) << f;
    // The client's pins of both server keys are its own business, whatever the umask.
    for (const std::string &f : {srv.pin_path(), srv.pin_path() + QV_CS_PIN_TLS_SUFFIX}) EXPECT_EQ(file_mode(f), 0600u) << f;
    // Only a salted hash of the auth value is stored.
    uint8_t auth[32];
    ASSERT_EQ(quorvane_pw_auth("correct horse", "alice", auth), 0);
    std::string db = read_file(srv.data + "/quorvane.db") + read_file(srv.data + "/quorvane.db-wal");
    EXPECT_EQ(db.find(std::string(reinterpret_cast<char *>(auth), 32)), std::string::npos);

    ASSERT_TRUE(srv.start());
    EXPECT_EQ(sign_in(srv, "alice", "correct horse", &alice.keys.k).state, QV_CS_SIGNED_IN);  // same key, same pins
}

// Recovery with the recovery key sets a new password; the wrong key, an
// account without a recovery escrow and an unknown name are refused.
TEST(SessionServer, RecoveryWithTheRecoveryKey) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    Account bob{srv, "bob", "old password", {}};
    Account carol{srv, "carol", "pw", {}};
    ASSERT_EQ(run(bob.cfg(true)).state, QV_CS_REGISTERED);
    ASSERT_EQ(run(carol.cfg(true)).state, QV_CS_REGISTERED);
    ASSERT_EQ(srv.stop() & 0x7f, 0);

    // The recovery-key escrow arrives while signed in (a later exchange); here
    // it goes into the store directly.
    auto rk = random_bytes(32);
    uint8_t rec[QV_ESCROW_LEN];
    ASSERT_EQ(quorvane_escrow_seal_rk(rk.data(), "bob", bob.keys.k.identity_priv, rec), 0);
    {
        qvs_store *st = qvs_store_open((srv.data + "/quorvane.db").c_str());
        ASSERT_NE(st, nullptr);
        qvs_account a;
        ASSERT_EQ(qvs_account_find(st, "bob", &a), 1);
        EXPECT_EQ(qvs_account_set_rk_escrow(st, a.user_id, rec), 0);
        qvs_store_close(st);
    }
    ASSERT_TRUE(srv.start());

    auto other_rk = random_bytes(32);
    struct { const char *user; const uint8_t *key; uint32_t state; uint8_t reason; } cases[] = {
        {"bob", other_rk.data(), QV_CS_RECOVER_REFUSED, 255},
        {"carol", rk.data(), QV_CS_RECOVER_REFUSED, 2},
        {"nobody", rk.data(), QV_CS_RECOVER_REFUSED, 1},
        {"bob", rk.data(), QV_CS_RECOVERED, 0},
    };
    for (auto &c : cases) {
        quorvane_cs_config cfg = base_config(srv.port, srv.pin_path(), c.user, "new password", nullptr);
        cfg.recover = 1;
        cfg.recovery_key = c.key;
        Outcome o = run(cfg);
        EXPECT_EQ(o.state, c.state) << c.user;
        EXPECT_EQ(o.reason, c.reason) << c.user;
    }
    EXPECT_EQ(sign_in(srv, "bob", "new password", &bob.keys.k).state, QV_CS_SIGNED_IN);
    EXPECT_EQ(sign_in(srv, "bob", "old password", &bob.keys.k).state, QV_CS_LOGIN_REFUSED);
    // The new password escrow opens with the new password.
    quorvane_cs_config e = base_config(srv.port, srv.pin_path(), "bob", "new password", nullptr);
    e.escrow_fetch = 1;
    EXPECT_EQ(run(e).state, QV_CS_ESCROW_READY);
}

// An escrow record that does not open with the password: reason 255.
TEST(SessionServer, UnopenableEscrowGivesReason255) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    Account dave{srv, "dave", "pw", {}};
    ASSERT_EQ(run(dave.cfg(true)).state, QV_CS_REGISTERED);
    ASSERT_EQ(srv.stop() & 0x7f, 0);
    {
        qvs_store *st = qvs_store_open((srv.data + "/quorvane.db").c_str());
        ASSERT_NE(st, nullptr);
        qvs_account a;
        ASSERT_EQ(qvs_account_find(st, "dave", &a), 1);
        uint8_t rec[QV_ESCROW_LEN];
        ASSERT_EQ(quorvane_escrow_seal_pw("some other password", "dave", dave.keys.k.identity_priv, rec), 0);
        EXPECT_EQ(qvs_account_set_password(st, a.user_id, a.auth_salt, a.auth_hash, rec), 0);
        qvs_store_close(st);
    }
    ASSERT_TRUE(srv.start());
    quorvane_cs_config e = base_config(srv.port, srv.pin_path(), "dave", "pw", nullptr);
    e.escrow_fetch = 1;
    Outcome o = run(e);
    EXPECT_EQ(o.state, QV_CS_ESCROW_REFUSED);
    EXPECT_EQ(o.reason, 255);
}

TEST(SessionServer, PreAuthenticationKinds) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    struct { int kind; const char *user; const char *code; } kinds[] = {
        {1, "erin@example.org", nullptr}, {2, "erin", nullptr}, {3, "erin", "ABC123"}};
    for (auto &k : kinds) {
        quorvane_cs_preauth_info info{};
        ASSERT_TRUE(preauth_answer(base_config(srv.port, srv.pin_path(), k.user, "", nullptr), k.kind, k.code, &info)) << k.kind;
        EXPECT_EQ(info.status, 1) << k.kind;  // this server sends no e-mail
    }
}

// Every refusal status reaches the refusal state of its mode with that reason,
// also when the server closes right behind the refusal.
TEST(SessionServer, RefusalsMapToTheirStates) {
    ServerProc srv(Knobs{{"QVS_TEST_REFUSE", "7"}});
    ASSERT_TRUE(srv.start());
    Keys keys;
    auto rk = random_bytes(32);
    struct { const char *name; int mode; uint32_t state; } modes[] = {
        {"sign-in", 0, QV_CS_LOGIN_REFUSED},
        {"register", 1, QV_CS_REGISTER_REFUSED},
        {"escrow", 2, QV_CS_ESCROW_REFUSED},
        {"recover", 3, QV_CS_RECOVER_REFUSED},
    };
    for (auto &m : modes) {
        quorvane_cs_config c = base_config(srv.port, srv.pin_path(), "frank", "pw", &keys.k);
        c.do_register = m.mode == 1;
        c.escrow_fetch = m.mode == 2;
        c.recover = m.mode == 3;
        c.recovery_key = rk.data();
        Outcome o = run(c);
        EXPECT_EQ(o.state, m.state) << m.name;
        EXPECT_EQ(o.reason, 7) << m.name;
    }
}

TEST(SessionServer, OneByteRecordsAndResets) {
    ServerProc split(Knobs{{"QVS_TEST_SPLIT", "1"}});
    ASSERT_TRUE(split.start());
    Account g{split, "gina", "pw", {}};
    EXPECT_EQ(run(g.cfg(true)).state, QV_CS_REGISTERED);
    EXPECT_EQ(sign_in(split, "gina", "pw", &g.keys.k).state, QV_CS_SIGNED_IN);

    ServerProc reset(Knobs{{"QVS_TEST_RESET", "1"}});
    ASSERT_TRUE(reset.start());
    Outcome o = sign_in(reset, "gina", "pw", &g.keys.k);
    EXPECT_EQ(o.state, QV_CS_FAILED);
    EXPECT_FALSE(o.detail.empty());
}

// A new static key, or a new TLS key behind the same static key, ends in
// state 8: both are what a relay in the middle would show.
TEST(SessionServer, ChangedKeysEndInState8) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    Account h{srv, "hank", "pw", {}};
    ASSERT_EQ(run(h.cfg(true)).state, QV_CS_REGISTERED);
    std::string tls_pin = read_file(srv.pin_path() + ".tls");
    EXPECT_EQ(tls_pin.size(), 32u);

    // The pinned TLS key is SHA-256 of the certificate's public key, as openssl computes it.
    std::string out;
    ASSERT_EQ(run_command("openssl x509 -in " + srv.data + "/tls.crt -pubkey -noout | openssl pkey -pubin -outform DER | "
                          "openssl dgst -sha256 -r", &out), 0);
    EXPECT_EQ(out.substr(0, 64), hex(tls_pin));

    ASSERT_EQ(srv.stop() & 0x7f, 0);
    std::remove((srv.data + "/tls.crt").c_str());
    std::remove((srv.data + "/tls.key").c_str());
    ASSERT_TRUE(srv.start());  // a second certificate on the same server key
    EXPECT_EQ(sign_in(srv, "hank", "pw", &h.keys.k).state, QV_CS_KEY_CHANGED);

    ASSERT_EQ(srv.stop() & 0x7f, 0);
    put_file(srv.data + "/server.key", random_bytes(32));
    ASSERT_TRUE(srv.start());
    EXPECT_EQ(sign_in(srv, "hank", "pw", &h.keys.k).state, QV_CS_KEY_CHANGED);
}

// Silence: state 9 with the 15-second text after 15 s, not before.
TEST(SessionServer, SilentServerTimesOutAfter15s) {
    ServerProc srv(Knobs{{"QVS_TEST_SILENT", "1"}});
    ASSERT_TRUE(srv.start());
    FakeClock clock;
    Keys keys;
    quorvane_cs_config c = base_config(srv.port, srv.pin_path(), "ivy", "pw", &keys.k);
    CsPtr cs(quorvane_cs_new(&c));
    ASSERT_TRUE(wait_until([&] { quorvane_cs_pump(cs.get()); return cs->hello_sent != 0; }, kWaitMs));
    for (int i = 0; i < 50; i++) quorvane_cs_pump(cs.get());
    clock.advance(15000);
    for (int i = 0; i < 50; i++) quorvane_cs_pump(cs.get());
    EXPECT_EQ(quorvane_cs_get_state(cs.get()), QV_CS_CONNECTING);
    EXPECT_EQ(quorvane_cs_fail_detail(cs.get()), nullptr);
    clock.advance(1);
    quorvane_cs_pump(cs.get());
    EXPECT_EQ(quorvane_cs_get_state(cs.get()), QV_CS_FAILED);
    ASSERT_NE(quorvane_cs_fail_detail(cs.get()), nullptr);
    EXPECT_STREQ(quorvane_cs_fail_detail(cs.get()),
                 "no answer from the server within 15 s (wrong address, or the network blocks the port)");
}

namespace {

// A plain TLS 1.3 client that speaks to the server byte by byte, with reads
// that give up after kWaitMs.
struct RawClient {
    int fd = -1;
    SSL_CTX *ctx = nullptr;
    SSL *ssl = nullptr;
    bool open(const std::string &port) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval tv{kWaitMs / 1000, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ctx = SSL_CTX_new(TLS_client_method());
        if (fd < 0 || !ctx || connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return false;
        ssl = SSL_new(ctx);
        return ssl && SSL_set_fd(ssl, fd) == 1 && SSL_connect(ssl) == 1;
    }
    bool write(const std::vector<uint8_t> &b) { return SSL_write(ssl, b.data(), static_cast<int>(b.size())) == static_cast<int>(b.size()); }
    // 1 bytes arrived, 0 the server closed, -1 nothing within the timeout.
    int read_some() {
        uint8_t buf[4096];
        int n = SSL_read(ssl, buf, sizeof buf);
        if (n > 0) return 1;
        int e = SSL_get_error(ssl, n);
        return e == SSL_ERROR_ZERO_RETURN || (e == SSL_ERROR_SYSCALL && errno != EAGAIN && errno != EWOULDBLOCK) ? 0 : -1;
    }
    ~RawClient() {
        if (ssl) SSL_free(ssl);
        if (ctx) SSL_CTX_free(ctx);
        if (fd >= 0) close(fd);
    }
};

}  // namespace

// Nothing a client may send before it is signed in comes near a mebibyte; a
// header announcing one is dropped at once instead of letting thousands of
// unauthenticated connections make the server fill a mebibyte each.
TEST(SessionServer, OversizedFrameBeforeSignInIsDropped) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    struct { const char *name; bool hello_first; } cases[] = {{"instead of hello", false}, {"after hello", true}};
    for (auto &t : cases) {
        RawClient c;
        ASSERT_TRUE(c.open(srv.port)) << t.name;
        if (t.hello_first) {
            ASSERT_TRUE(c.write(frame_of(1, {}))) << t.name;
            ASSERT_EQ(c.read_some(), 1) << t.name;  // the server's hello
        }
        std::vector<uint8_t> big = frame_of(2, std::vector<uint8_t>(QV_FRAME_MAX_PAYLOAD, 0));
        ASSERT_TRUE(c.write(std::vector<uint8_t>(big.begin(), big.begin() + 8 + 1000))) << t.name;
        EXPECT_EQ(c.read_some(), 0) << t.name;  // closed, not waiting for the rest
    }
    // The server still serves everyone else.
    Keys k;
    quorvane_cs_config c = base_config(srv.port, srv.pin_path(), "dana", "pw", &k.k);
    c.do_register = 1;
    EXPECT_EQ(run(c).state, QV_CS_REGISTERED);
}

// Clients register at once, one name by two of them, and the server dies by
// SIGKILL in the middle: after a restart the database opens, every account
// that was acknowledged signs in, and the contested name belongs to exactly
// one of its two claimants.
TEST(SessionServer, KilledMidRegistrationKeepsEveryAcknowledgedAccount) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    Keys first, second;
    {
        // Two identities: one gets the name, the other is told it is taken.
        Outcome got[2];
        auto claim = [&](Keys &k, Outcome *o) {
            quorvane_cs_config c = base_config(srv.port, srv.pin_path(), "contested", "pw", &k.k);
            c.do_register = 1;
            *o = run(c);
        };
        std::thread a(claim, std::ref(first), &got[0]);
        claim(second, &got[1]);
        a.join();
        int registered = 0, taken = 0;
        for (const Outcome &o : got) {
            registered += o.state == QV_CS_REGISTERED;
            taken += o.state == QV_CS_REGISTER_REFUSED && o.reason == 1;
        }
        EXPECT_EQ(registered, 1) << got[0].detail << " / " << got[1].detail;
        EXPECT_EQ(taken, 1);
    }

    struct Acked { std::string name; std::unique_ptr<Keys> keys; };
    std::mutex mu;
    std::vector<Acked> acked;
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; t++)
        writers.emplace_back([&, t] {
            for (int i = 0; !stop; i++) {
                auto keys = std::make_unique<Keys>();
                std::string name = std::string("w").append(std::to_string(t)).append("n").append(std::to_string(i));
                quorvane_cs_config c = base_config(srv.port, srv.pin_path(), name.c_str(), "pw", &keys->k);
                c.do_register = 1;
                if (run(c).state != QV_CS_REGISTERED) return;  // the server is gone
                std::lock_guard<std::mutex> l(mu);
                acked.push_back({name, std::move(keys)});
            }
        });
    ASSERT_TRUE(wait_until([&] { std::lock_guard<std::mutex> l(mu); return acked.size() >= 12; }, 60000));
    kill(srv.proc->pid, SIGKILL);
    stop = true;
    for (auto &w : writers) w.join();
    srv.proc.reset();

    ASSERT_TRUE(srv.start());
    for (auto &a : acked) EXPECT_EQ(sign_in(srv, a.name.c_str(), "pw", &a.keys->k).state, QV_CS_SIGNED_IN) << a.name;
    int owners = (sign_in(srv, "contested", "pw", &first.k).state == QV_CS_SIGNED_IN) +
                 (sign_in(srv, "contested", "pw", &second.k).state == QV_CS_SIGNED_IN);
    EXPECT_EQ(owners, 1);
}

// Out of file descriptors, connections waiting in the backlog keep the
// listener readable: the server must rest instead of spinning on accept (and
// logging each spin), and take connections again once it has room.
TEST(SessionServer, OutOfDescriptorsTheServerRestsAndRecovers) {
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit low = old;
    low.rlim_cur = 40;  // the server inherits it
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    ServerProc srv;
    bool started = srv.start();
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
    ASSERT_TRUE(started);
    auto cpu_s = [&] {
        std::string st = read_file("/proc/" + std::to_string(srv.proc->pid) + "/stat");
        std::istringstream in(st.substr(st.rfind(')') + 2));
        std::string f;
        unsigned long long ticks = 0;
        for (int i = 3; i <= 15 && in >> f; i++)
            if (i == 14 || i == 15) ticks += std::stoull(f);
        return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
    };
    std::vector<int> socks;
    for (int i = 0; i < 60; i++) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(std::stoi(srv.port)));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        socks.push_back(fd);
    }
    // Every descriptor it may have is taken once it has accepted all it can.
    const std::string fds = "/proc/" + std::to_string(srv.proc->pid) + "/fd";
    ASSERT_TRUE(wait_until([&] { return names_in(fds).size() >= low.rlim_cur; }, kWaitMs)) << names_in(fds).size();
    double before = cpu_s();
    std::this_thread::sleep_for(std::chrono::seconds(3));  // the window measured, not a wait for something
    double used = cpu_s() - before;
    EXPECT_LT(used, 0.5) << "CPU seconds in 3 s with every descriptor taken";
    for (int fd : socks) close(fd);
    Keys k;
    quorvane_cs_config c = base_config(srv.port, srv.pin_path(), "erin", "pw", &k.k);
    c.do_register = 1;
    Outcome o = run(c);
    EXPECT_EQ(o.state, QV_CS_REGISTERED) << o.detail;
}

// A password change checks the current password as the server holds it now,
// replaces the auth value and the escrow together, and ends a connection that
// keeps guessing.
TEST(SessionServer, PasswordChange) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    Account pam{srv, "pam", "first password", {}};
    ASSERT_EQ(run(pam.cfg(true)).state, QV_CS_REGISTERED);
    auto change = [&](quorvane_cs *cs, const char *current, const char *next) {
        if (quorvane_cs_change_password(cs, current, next) != 0) return -1;
        uint8_t r = 255;
        const bool got = wait_until(
            [&] {
                quorvane_cs_pump(cs);
                return quorvane_cs_take_password_change(cs, &r) == 1 || quorvane_cs_get_state(cs) != QV_CS_SIGNED_IN;
            },
            kWaitMs);
        return got ? int(r) : -2;
    };
    {
        quorvane_cs_config c = pam.cfg();
        CsPtr cs(quorvane_cs_new(&c));
        ASSERT_EQ(drive(cs.get()), QV_CS_SIGNED_IN);
        EXPECT_EQ(change(cs.get(), "first password", "second password"), 0);
        // the second change on the same connection checks the new one
        EXPECT_EQ(change(cs.get(), "first password", "third password"), 1);
        EXPECT_EQ(change(cs.get(), "second password", "third password"), 0);
        for (int i = 2; i < QVS_PW_WRONG_MAX; i++) EXPECT_EQ(change(cs.get(), "a guess", "x"), 1) << i;
        // the fifth wrong one (the first was above) is answered, then the line closes
        EXPECT_EQ(change(cs.get(), "a guess", "x"), 1);
        EXPECT_TRUE(wait_until([&] { quorvane_cs_pump(cs.get()); return quorvane_cs_get_state(cs.get()) != QV_CS_SIGNED_IN; }, kWaitMs));
    }
    EXPECT_EQ(sign_in(srv, "pam", "third password", &pam.keys.k).state, QV_CS_SIGNED_IN);
    Outcome old = sign_in(srv, "pam", "first password", &pam.keys.k);
    EXPECT_EQ(old.state, QV_CS_LOGIN_REFUSED);
    EXPECT_EQ(old.reason, 1);
    // the escrow now opens with the new password only, to the same identity
    uint8_t seed[32];
    ASSERT_NO_FATAL_FAILURE(fetch_escrow_seed(base_config(srv.port, srv.pin_path(), "pam", "third password", nullptr), seed));
    EXPECT_EQ(hex(seed, 32), hex(pam.keys.k.identity_priv, 32));
}
