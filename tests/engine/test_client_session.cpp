// The session against scripted TLS peers: the exact bytes of every request
// body it sends (written here by hand from the tag tables), the answers the
// real server never gives, the pins, the keep-alive and plain OpenSSL peers.
#include "quorvane_escrow.h"
#include "quorvane_keyfile.h"
#include "session_support.h"

#include <mutex>

using namespace qvtest;

namespace {

using bytes = std::vector<uint8_t>;

bytes b(const uint8_t *p, size_t n) { return bytes(p, p + n); }
bytes u8(uint8_t v) { return bytes{v}; }
bytes u64be(uint64_t v) {
    bytes r(8);
    for (int i = 0; i < 8; i++) r[i] = static_cast<uint8_t>(v >> (56 - 8 * i));
    return r;
}
int type_of(const bytes &frame) { return frame.size() >= 8 ? frame[3] : -1; }

// Reads one frame into the recorder; the script's answer follows.
bool expect(PeerConn &pc, Recorder &rec) {
    bytes f;
    if (!pc.read_frame(&f)) return false;
    rec.add(f);
    return true;
}

const bytes SERVER_KEY = unhex("5e5e5e5e5e5e5e5e5e5e5e5e5e5e5e5e5e5e5e5e5e5e5e5e5e5e5e5e5e5e5e01");
bytes server_hello(const bytes &key = SERVER_KEY) { return frame_of(129, tlv(7, key)); }

struct Fixture {
    TempDir tmp;
    std::string pin() const { return tmp.file("pin"); }
};

}  // namespace

TEST(ClientSession, NewRefusesIncompleteConfigurations) {
    Keys keys;
    quorvane_cs_config ok = base_config("1", "/nonexistent/pin", "u", "p", &keys.k);
    CsPtr cs(quorvane_cs_new(&ok));
    EXPECT_NE(cs, nullptr);
    struct { const char *name; void (*change)(quorvane_cs_config &); } bad[] = {
        {"no host", [](quorvane_cs_config &c) { c.host = nullptr; }},
        {"no port", [](quorvane_cs_config &c) { c.port = nullptr; }},
        {"no user", [](quorvane_cs_config &c) { c.user = nullptr; }},
        {"no password", [](quorvane_cs_config &c) { c.password = nullptr; }},
        {"no pin path", [](quorvane_cs_config &c) { c.pin_path = nullptr; }},
        {"no keys to sign in", [](quorvane_cs_config &c) { c.keys = nullptr; }},
        {"recover without key", [](quorvane_cs_config &c) { c.recover = 1; }},
    };
    for (auto &t : bad) {
        quorvane_cs_config c = ok;
        t.change(c);
        EXPECT_EQ(quorvane_cs_new(&c), nullptr) << t.name;
    }
    EXPECT_EQ(quorvane_cs_get_state(nullptr), QV_CS_FAILED);
}

// Sign-in: frames 1, 3 and 4 byte for byte, the signature over nonce, server
// key and user name, and the ping only after more than 29,999 ms.
TEST(ClientSession, SignInBytesAndKeepAlive) {
    Fixture fx;
    FakeClock clock;
    Keys keys;
    Recorder rec;
    const bytes nonce = random_bytes(32), uid = random_bytes(16);
    TlsPeer peer([&](PeerConn &pc) {
        if (!expect(pc, rec) || !pc.write_record(server_hello())) return;
        if (!expect(pc, rec) || !pc.write_record(frame_of(131, tlv(11, nonce)))) return;
        if (!expect(pc, rec) || !pc.write_record(frame_of(132, cat({tlv(14, uid), tlv(15, u8(2))})))) return;
        while (expect(pc, rec)) {}
    });
    quorvane_cs_config c = base_config(peer.port, fx.pin(), "alice", "pw", &keys.k);
    CsPtr cs(quorvane_cs_new(&c));
    ASSERT_EQ(drive(cs.get()), QV_CS_SIGNED_IN);
    EXPECT_EQ(hex(quorvane_cs_user_id(cs.get()), 16), hex(uid));
    EXPECT_EQ(quorvane_cs_role(cs.get()), 2);
    uint8_t key[32];
    EXPECT_EQ(quorvane_cs_server_key(cs.get(), key), 1);
    EXPECT_EQ(hex(key, 32), hex(SERVER_KEY));

    uint8_t auth[32];
    ASSERT_EQ(quorvane_pw_auth("pw", "alice", auth), 0);
    bytes msg = cat({nonce, SERVER_KEY, {'a', 'l', 'i', 'c', 'e'}});
    ASSERT_EQ(msg.size(), 69u);
    uint8_t sig[64];
    ASSERT_EQ(quorvane_ed25519_sign(keys.k.device_ed25519_priv, msg.data(), msg.size(), sig), 0);  // Ed25519 is deterministic
    ASSERT_TRUE(wait_until([&] { quorvane_cs_pump(cs.get()); return rec.all().size() >= 3; }, kWaitMs));
    auto got = rec.all();
    EXPECT_EQ(hex(got[0]), "4852010100000000");
    EXPECT_EQ(hex(got[1]), "48520103" "0000000a" "01" "00000005" "616c696365");
    EXPECT_EQ(hex(got[2]), "48520104" "0000006a" "02" "00000020" + hex(auth, 32) + "0c" "00000040" + hex(sig, 64));

    clock.advance(QV_CS_PING_IDLE_MS);
    for (int i = 0; i < 100; i++) {
        quorvane_cs_pump(cs.get());
        sleep_ms(2);
    }
    EXPECT_FALSE(rec.has_type(23));
    clock.advance(1);
    ASSERT_TRUE(wait_until([&] { quorvane_cs_pump(cs.get()); return rec.has_type(23); }, kWaitMs));
    EXPECT_EQ(hex(rec.all().back()), "4852011700000000");
    cs.reset();
    peer.join();
}

// Nothing sent yet, or a send stamped in the future (the clock stepped back),
// never pings; otherwise a ping is due once more than 29999 ms passed.
TEST(ClientSession, PingIsDueAfterThirtySecondsWithoutSending) {
    struct Case {
        uint64_t last, now;
        int due;
    };
    const Case cases[] = {
        {0, 100000, 0}, {50000, 40000, 0}, {1000, 1000, 0}, {1000, 30999, 0}, {1000, 31000, 1}, {1, UINT64_MAX, 1},
    };
    for (const Case &c : cases) EXPECT_EQ(quorvane_cs_should_ping(c.last, c.now), c.due) << c.last << " " << c.now;
}

TEST(ClientSession, RegistrationBytes) {
    Fixture fx;
    Keys keys;
    Recorder rec;
    TlsPeer peer([&](PeerConn &pc) {
        if (!expect(pc, rec) || !pc.write_record(server_hello())) return;
        if (!expect(pc, rec)) return;
        pc.write_record(frame_of(130, tlv(10, u8(0))));
    });
    const uint8_t extra[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    quorvane_cs_config c = base_config(peer.port, fx.pin(), "bob", "hunter2", &keys.k);
    c.do_register = 1;
    c.register_extra = extra;
    Outcome o = run(c);
    EXPECT_EQ(o.state, QV_CS_REGISTERED) << o.detail;
    peer.join();
    auto got = rec.all();
    ASSERT_EQ(got.size(), 2u);
    const bytes &f = got[1];
    uint8_t auth[32];
    ASSERT_EQ(quorvane_pw_auth("hunter2", "bob", auth), 0);
    // The escrow record is fresh each time: take it from its place and open it.
    const size_t escrow_at = 8 + 8 + 4 * 37 + 69 + 5;
    ASSERT_GE(f.size(), escrow_at + 82);
    bytes escrow(f.begin() + escrow_at, f.begin() + escrow_at + 82);
    std::string want = "48520102" "00000147"
                       "01" "00000003" "626f62"
                       "02" "00000020" + hex(auth, 32) +
                       "03" "00000020" + hex(keys.k.identity_pub, 32) +
                       "04" "00000020" + hex(keys.k.device_x25519_pub, 32) +
                       "05" "00000020" + hex(keys.k.device_ed25519_pub, 32) +
                       "06" "00000040" + hex(keys.k.device_cert, 64) +
                       "50" "00000052" + hex(escrow) +
                       "5b" "0000000a" "0102030405060708090a";
    EXPECT_EQ(hex(f), want);
    uint8_t seed[32];
    ASSERT_EQ(quorvane_escrow_open_pw("hunter2", "bob", keys.k.identity_pub, escrow.data(), 82, seed), 0);
    EXPECT_EQ(hex(seed, 32), hex(keys.k.identity_priv, 32));
}

TEST(ClientSession, EscrowFetchBytes) {
    Fixture fx;
    Keys owner;
    Recorder rec;
    uint8_t record[82];
    ASSERT_EQ(quorvane_escrow_seal_pw("pw", "carol", owner.k.identity_priv, record), 0);
    TlsPeer peer([&](PeerConn &pc) {
        if (!expect(pc, rec) || !pc.write_record(server_hello())) return;
        if (!expect(pc, rec)) return;
        pc.write_record(frame_of(174, cat({tlv(82, u8(0)), tlv(3, b(owner.k.identity_pub, 32)), tlv(80, b(record, 82))})));
    });
    uint8_t seed[32];
    ASSERT_NO_FATAL_FAILURE(fetch_escrow_seed(base_config(peer.port, fx.pin(), "carol", "pw", nullptr), seed));
    EXPECT_EQ(hex(seed, 32), hex(owner.k.identity_priv, 32));
    peer.join();
    uint8_t auth[32];
    ASSERT_EQ(quorvane_pw_auth("pw", "carol", auth), 0);
    EXPECT_EQ(hex(rec.all()[1]), "4852013e" "0000002f" "01" "00000005" "6361726f6c" "02" "00000020" + hex(auth, 32));
}

TEST(ClientSession, RecoveryBytes) {
    Fixture fx;
    Keys owner;
    Recorder rec;
    const bytes rk = random_bytes(32), nonce = random_bytes(32);
    uint8_t record[82];
    ASSERT_EQ(quorvane_escrow_seal_rk(rk.data(), "dan", owner.k.identity_priv, record), 0);
    TlsPeer peer([&](PeerConn &pc) {
        if (!expect(pc, rec) || !pc.write_record(server_hello())) return;
        if (!expect(pc, rec)) return;
        pc.write_record(frame_of(182, cat({tlv(90, u8(0)), tlv(3, b(owner.k.identity_pub, 32)), tlv(80, b(record, 82)), tlv(11, nonce)})));
        if (!expect(pc, rec)) return;
        pc.write_record(frame_of(183, tlv(90, u8(0))));
    });
    quorvane_cs_config c = base_config(peer.port, fx.pin(), "dan", "new pw", nullptr);
    c.recover = 1;
    c.recovery_key = rk.data();
    EXPECT_EQ(run(c).state, QV_CS_RECOVERED);
    peer.join();
    auto got = rec.all();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(hex(got[1]), "48520148" "00000008" "01" "00000003" "64616e");
    const bytes &f = got[2];
    ASSERT_EQ(f.size(), 8u + 37 + 87 + 69);
    bytes new_rec(f.begin() + 8 + 37 + 5, f.begin() + 8 + 37 + 87);
    uint8_t auth[32], sig[64];
    ASSERT_EQ(quorvane_pw_auth("new pw", "dan", auth), 0);
    ASSERT_EQ(quorvane_recover_sign(owner.k.identity_priv, nonce.data(), SERVER_KEY.data(), "dan", auth, new_rec.data(), sig), 0);
    EXPECT_EQ(hex(f), "48520149" "000000c1" "51" "00000020" + hex(auth, 32) + "50" "00000052" + hex(new_rec) +
                          "06" "00000040" + hex(sig, 64));
    uint8_t seed[32];
    ASSERT_EQ(quorvane_escrow_open_pw("new pw", "dan", owner.k.identity_pub, new_rec.data(), 82, seed), 0);
    EXPECT_EQ(hex(seed, 32), hex(owner.k.identity_priv, 32));
}

// Frames 74, 75 and 76 and the three answer shapes, optional fields included.
TEST(ClientSession, PreAuthenticationBytesAndAnswers) {
    const bytes v10 = unhex("0102030405060708a1b2");
    struct Case {
        int kind;
        const char *user;
        const char *code;
        std::string want;  // the request frame
        bytes answer;
        uint8_t status;
        const char *text;
        int has_extra;
        uint64_t value;
    } cases[] = {
        {1, "e@x.io", nullptr, "4852014a" "0000000b" "5d" "00000006" "6540782e696f",
         frame_of(184, tlv_text(1, "erin")), 0, "erin", 0, 0},
        {2, "erin", nullptr, "4852014b" "00000009" "01" "00000004" "6572696e",
         frame_of(185, cat({tlv(94, u8(4)), tlv(91, v10), tlv(97, u64be(0x0102030405060708ull))})), 4, "", 1, 0x0102030405060708ull},
        {3, "erin", "XY12Z9", "4852014c" "00000014" "01" "00000004" "6572696e" "5f" "00000006" "585931325a39",
         frame_of(186, tlv(94, u8(0))), 0, "", 0, 0},
    };
    for (auto &t : cases) {
        Fixture fx;
        Recorder rec;
        TlsPeer peer([&](PeerConn &pc) {
            if (!expect(pc, rec) || !pc.write_record(server_hello())) return;
            if (expect(pc, rec)) pc.write_record(t.answer);
        });
        quorvane_cs_preauth_info info{};
        ASSERT_TRUE(preauth_answer(base_config(peer.port, fx.pin(), t.user, "", nullptr), t.kind, t.code, &info)) << t.kind;
        EXPECT_EQ(info.status, t.status);
        EXPECT_STREQ(info.text, t.text);
        EXPECT_EQ(info.has_extra, t.has_extra);
        if (t.has_extra) {
            EXPECT_EQ(hex(info.extra8, 8) + hex(info.extra2, 2), hex(v10));
        }
        EXPECT_EQ(info.value, t.value);
        peer.join();
        auto got = rec.all();
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(hex(got[1]), t.want) << t.kind;
    }
    // Lengths outside their ranges are never sent.
    for (auto [kind, user, code] : {std::tuple{2, "a-name-that-is-longer-than-32-bytes", ""}, std::tuple{3, "erin", "12345"}}) {
        Fixture fx;
        TlsPeer peer([&](PeerConn &pc) {
            bytes f;
            if (pc.read_frame(&f)) pc.write_record(server_hello());
            EXPECT_FALSE(pc.read_frame(&f));
        });
        quorvane_cs_config c = base_config(peer.port, fx.pin(), user, "", nullptr);
        c.preauth_kind = kind;
        c.code = code;
        EXPECT_EQ(run(c).state, QV_CS_FAILED) << kind;
    }
}

// A server key other than the pinned one: state 8, and nothing but hello left.
TEST(ClientSession, ChangedServerKeySendsNothingMore) {
    Fixture fx;
    put_file(fx.pin(), random_bytes(32));
    Keys keys;
    Recorder rec;
    TlsPeer peer([&](PeerConn &pc) {
        if (!expect(pc, rec) || !pc.write_record(server_hello())) return;
        while (expect(pc, rec)) {}
    });
    quorvane_cs_config c = base_config(peer.port, fx.pin(), "alice", "pw", &keys.k);
    CsPtr cs(quorvane_cs_new(&c));
    EXPECT_EQ(drive(cs.get()), QV_CS_KEY_CHANGED);
    for (int i = 0; i < 20; i++) quorvane_cs_pump(cs.get());
    cs.reset();
    peer.join();
    auto got = rec.all();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(type_of(got[0]), 1);
}

// Malformed or unexpected answers in each waiting state end in 9.
TEST(ClientSession, UnexpectedAnswersFail) {
    Keys keys;
    const bytes rk = random_bytes(32);
    struct { const char *name; int mode; bytes answer; } cases[] = {
        {"hello key too short", 0, frame_of(129, tlv(7, random_bytes(31)))},
        {"sign-in answered by a registration status", 3, frame_of(130, tlv(10, u8(0)))},
        {"welcome without role", 3, frame_of(132, tlv(14, random_bytes(16)))},
        {"registration answer without status", 2, frame_of(130, {})},
        {"escrow without record", 10, frame_of(174, tlv(82, u8(0)))},
        {"recovery challenge without nonce", 13, frame_of(182, tlv(90, u8(0)))},
        {"pre-authentication text too long", 16, frame_of(184, tlv(1, bytes(33, 'a')))},
    };
    for (auto &t : cases) {
        Fixture fx;
        TlsPeer peer([&](PeerConn &pc) {
            bytes f;
            if (!pc.read_frame(&f)) return;
            if (t.mode == 0) {
                pc.write_record(t.answer);
                return;
            }
            pc.write_record(server_hello());
            if (pc.read_frame(&f)) pc.write_record(t.answer);
            pc.read_frame(&f);
        });
        quorvane_cs_config c = base_config(peer.port, fx.pin(), "zed", "pw", &keys.k);
        c.do_register = t.mode == 2;
        c.escrow_fetch = t.mode == 10;
        c.recover = t.mode == 13;
        c.recovery_key = rk.data();
        c.preauth_kind = t.mode == 16 ? 2 : 0;
        EXPECT_EQ(run(c).state, QV_CS_FAILED) << t.name;
    }
}

// Against plain OpenSSL servers: TLS 1.3 carries the hello, TLS 1.2 is refused.
TEST(ClientSession, OpensslServers) {
    if (!have_program("openssl")) GTEST_SKIP() << "openssl is not installed";
    TempDir tmp;
    ASSERT_EQ(quorvane_selfsigned_cert(tmp.file("c.pem").c_str(), tmp.file("k.pem").c_str(), "s"), 0);
    Keys keys;
    for (const char *version : {"-tls1_3", "-tls1_2"}) {
        std::string port = std::to_string(qvtest::free_loopback_port());
        // s_server ends a connection when its standard input ends: keep it
        // open until the server is stopped (with its process group).
        ChildProcess s({"sh", "-c", "sleep infinity | exec openssl s_server -accept 127.0.0.1:" + port + " -cert " + tmp.file("c.pem") +
                                        " -key " + tmp.file("k.pem") + " " + version + " -quiet -naccept 2"},
                       tmp.file(std::string("out") + version));
        ASSERT_TRUE(wait_until([&] { return port_accepts(port); }, kWaitMs));  // the first of its two accepts
        quorvane_cs_config c = base_config(port, tmp.file(std::string("pin") + version), "u", "p", &keys.k);
        CsPtr cs(quorvane_cs_new(&c));
        if (std::string(version) == "-tls1_3") {
            ASSERT_TRUE(wait_until([&] {
                quorvane_cs_pump(cs.get());
                return cs->hello_sent && cs->cnet->send_count == 0;
            }, kWaitMs));
            EXPECT_EQ(quorvane_cs_get_state(cs.get()), QV_CS_CONNECTING) << (quorvane_cs_fail_detail(cs.get()) ? quorvane_cs_fail_detail(cs.get()) : "");
            cs.reset();  // s_server writes what it got out when the connection ends
            EXPECT_TRUE(wait_until([&] {
                return read_file(tmp.file("out-tls1_3")).find(std::string("HR\x01\x01\0\0\0\0", 8)) != std::string::npos;
            }, kWaitMs));
        } else {
            EXPECT_EQ(drive(cs.get()), QV_CS_FAILED);
            EXPECT_STREQ(quorvane_cs_fail_detail(cs.get()), "the secure handshake failed (is this a Quorvane server?)");
        }
    }
}

TEST(ClientSession, UnreachableServer) {
    Fixture fx;
    Keys keys;
    std::string port = std::to_string(qvtest::free_loopback_port());  // nobody listens there
    quorvane_cs_config c = base_config(port, fx.pin(), "u", "p", &keys.k);
    Outcome o = run(c);
    EXPECT_EQ(o.state, QV_CS_FAILED);
    EXPECT_EQ(o.detail, "the server refused the connection or could not be reached");
}
