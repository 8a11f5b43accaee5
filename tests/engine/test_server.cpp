// The server's store and frame handling without a socket: the schema, what is
// kept of an account, and the handlers' answers to malformed and out-of-order
// frames.
#include "engine_support.h"
#include "quorvane_crypto.h"
#include "quorvane_escrow.h"
#include "quorvane_handshake.h"
#include "quorvane_proto.h"
#include "quorvane_x3dh.h"
#include "server_handlers.h"

#include <cstring>

using namespace qvtest;

namespace {

const uint8_t kSender[16] = {0x5e};  // the one sender of the store-level envelope cases

using bytes = std::vector<uint8_t>;

struct Srv {
    TempDir tmp;
    qvs_keys keys{};
    qvs_store *store = nullptr;
    qvs_ctx ctx{};
    Srv() {
        EXPECT_EQ(qvs_keys_load_or_create(tmp.file("data"), &keys), 0);
        store = qvs_store_open(tmp.file("data/db").c_str());
        EXPECT_NE(store, nullptr);
        ctx = qvs_ctx{store, &keys, {}, {}};
    }
    ~Srv() {
        qvs_store_close(store);
        qvs_keys_wipe(&keys);
    }
    // Handles one frame; the status byte of the single reply, or -1 for a drop.
    int answer(qvs_conn &c, const bytes &frame, int want_type, uint8_t tag) {
        c.replies.clear();
        if (qvs_handle_frame(&ctx, &c, frame.data(), frame.size()) != 0) return -1;
        EXPECT_EQ(qvs_store_commit(store), 0);
        if (c.replies.size() != 1 || c.replies[0][3] != want_type) return -2;
        const uint8_t *v;
        uint8_t s = 0;
        if (quorvane_tlv_find_fixed(c.replies[0].data() + 8, c.replies[0].size() - 8, tag, 1, &v) != 0) return -3;
        s = v[0];
        return s;
    }
};

struct Device {
    uint8_t id_priv[32], id_pub[32], x_priv[32], x_pub[32], ed_priv[32], ed_pub[32], cert[64];
    Device() {
        EXPECT_EQ(quorvane_ed25519_keypair(id_priv, id_pub), 0);
        EXPECT_EQ(quorvane_x25519_keypair(x_priv, x_pub), 0);
        EXPECT_EQ(quorvane_ed25519_keypair(ed_priv, ed_pub), 0);
        EXPECT_EQ(quorvane_device_cert_sign(id_priv, x_pub, ed_pub, cert), 0);
    }
    // Another device of the same identity.
    Device sibling() const {
        Device s = *this;
        EXPECT_EQ(quorvane_x25519_keypair(s.x_priv, s.x_pub), 0);
        EXPECT_EQ(quorvane_ed25519_keypair(s.ed_priv, s.ed_pub), 0);
        EXPECT_EQ(quorvane_device_cert_sign(s.id_priv, s.x_pub, s.ed_pub, s.cert), 0);
        return s;
    }
};

bytes b(const uint8_t *p, size_t n) { return bytes(p, p + n); }

bytes reg_frame(const std::string &user, const bytes &auth, const Device &d, const bytes &escrow) {
    return frame_of(2, cat({tlv_text(1, user), tlv(2, auth), tlv(3, b(d.id_pub, 32)), tlv(4, b(d.x_pub, 32)),
                            tlv(5, b(d.ed_pub, 32)), tlv(6, b(d.cert, 64)), tlv(80, escrow)}));
}

void hello(Srv &s, qvs_conn &c) {
    bytes h = frame_of(1, {});
    ASSERT_EQ(qvs_handle_frame(&s.ctx, &c, h.data(), h.size()), 0);
    ASSERT_EQ(c.replies.size(), 1u);
    const uint8_t *key;
    ASSERT_EQ(quorvane_tlv_find_fixed(c.replies[0].data() + 8, c.replies[0].size() - 8, 7, 32, &key), 0);
    EXPECT_EQ(hex(key, 32), hex(s.keys.static_pub, 32));
    c.replies.clear();
}

}  // namespace

TEST(Server, RegistrationChecks) {
    Srv s;
    Device d, other;
    const Device second = d.sibling();
    bytes auth = random_bytes(32);
    uint8_t rec[82];
    ASSERT_EQ(quorvane_escrow_seal_pw("pw", "amy", d.id_priv, rec), 0);
    bytes escrow = b(rec, 82);
    Device forged = d;
    forged.cert[0] ^= 1;
    bytes rk_escrow(82);
    ASSERT_EQ(quorvane_escrow_seal_rk(random_bytes(32).data(), "amy", d.id_priv, rk_escrow.data()), 0);
    struct { const char *name; bytes frame; int status; } cases[] = {
        {"missing escrow", frame_of(2, cat({tlv_text(1, "amy"), tlv(2, auth)})), QVS_REG_MALFORMED},
        {"recovery-key record as the password escrow", reg_frame("amy", auth, d, rk_escrow), QVS_REG_MALFORMED},
        {"name with a space", reg_frame("a my", auth, d, escrow), QVS_REG_BAD_NAME},
        {"empty name", reg_frame("", auth, d, escrow), QVS_REG_BAD_NAME},
        {"33-byte name", reg_frame(std::string(33, 'a'), auth, d, escrow), QVS_REG_BAD_NAME},
        {"certificate not by the identity", reg_frame("amy", auth, forged, escrow), QVS_REG_BAD_CERT},
        {"good", reg_frame("amy", auth, d, escrow), QVS_REG_OK},
        {"taken by another identity", reg_frame("amy", auth, other, escrow), QVS_REG_TAKEN},
        {"amy's identity with another auth value", reg_frame("amy", random_bytes(32), second, escrow), QVS_REG_TAKEN},
        {"amy's second device joins", reg_frame("amy", auth, second, escrow), QVS_REG_OK},
        {"the same device again", reg_frame("amy", auth, second, escrow), QVS_REG_OK},
    };
    for (auto &t : cases) {
        qvs_conn c;
        hello(s, c);
        EXPECT_EQ(s.answer(c, t.frame, 130, 10), t.status) << t.name;
        EXPECT_EQ(c.phase, QVS_DONE) << t.name;
    }
    qvs_account a;
    ASSERT_EQ(qvs_account_find(s.store, "amy", &a), 1);
    uint8_t h[32];
    ASSERT_EQ(qvs_auth_hash(a.auth_salt, auth.data(), h), 0);
    EXPECT_EQ(hex(a.auth_hash, 32), hex(h, 32));
    EXPECT_NE(hex(a.auth_hash, 32), hex(auth));
    EXPECT_EQ(hex(a.pw_escrow, 82), hex(escrow));
    uint64_t n = 0;
    ASSERT_EQ(qvs_store_account_count(s.store, &n), 0);
    EXPECT_EQ(n, 1u);
    std::vector<qvs_device> devs;
    ASSERT_EQ(qvs_account_devices(s.store, a.user_id, &devs), 0);
    EXPECT_EQ(devs.size(), 2u);
}

// Devices joining their account by registering: five at most, and a revoked
// one never again, even once the account is full.
TEST(Server, DeviceLimitAndRevokedDevices) {
    Srv s;
    Device d;
    bytes auth = random_bytes(32);
    uint8_t rec[82];
    ASSERT_EQ(quorvane_escrow_seal_pw("pw", "dot", d.id_priv, rec), 0);
    auto reg = [&](const Device &dev) {
        qvs_conn c;
        hello(s, c);
        return s.answer(c, reg_frame("dot", auth, dev, b(rec, 82)), 130, 10);
    };
    ASSERT_EQ(reg(d), QVS_REG_OK);
    std::vector<Device> more;
    for (int i = 0; i < 4; i++) {
        more.push_back(d.sibling());
        EXPECT_EQ(reg(more.back()), QVS_REG_OK) << i;
    }
    EXPECT_EQ(reg(d.sibling()), QVS_REG_DEVICES_FULL);
    EXPECT_EQ(reg(more[0]), QVS_REG_OK);  // one it has already

    qvs_account a;
    ASSERT_EQ(qvs_account_find(s.store, "dot", &a), 1);
    std::vector<qvs_device> devs;
    ASSERT_EQ(qvs_account_devices(s.store, a.user_id, &devs), 0);
    ASSERT_EQ(devs.size(), 5u);
    ASSERT_EQ(qvs_device_revoke(s.store, a.user_id, &devs[1]), 0);  // more[0]
    ASSERT_EQ(qvs_store_commit(s.store), 0);
    EXPECT_EQ(reg(more[0]), QVS_REG_DEVICE_REVOKED);
    EXPECT_EQ(reg(d.sibling()), QVS_REG_OK);  // its place is free for another
    EXPECT_EQ(reg(more[0]), QVS_REG_DEVICE_REVOKED);  // full again: still told it was revoked
}

// The sign-in proof: the right auth value and a signature by a registered
// device over nonce, server key and name; nothing else passes.
TEST(Server, SignInProof) {
    Srv s;
    Device d, stranger;
    bytes auth = random_bytes(32);
    uint8_t rec[82];
    ASSERT_EQ(quorvane_escrow_seal_pw("pw", "ben", d.id_priv, rec), 0);
    const Device gone = d.sibling();
    for (const Device *dev : {static_cast<const Device *>(&d), &gone}) {
        qvs_conn c;
        hello(s, c);
        ASSERT_EQ(s.answer(c, reg_frame("ben", auth, *dev, b(rec, 82)), 130, 10), QVS_REG_OK);
    }
    {
        qvs_account a;
        std::vector<qvs_device> devs;
        ASSERT_EQ(qvs_account_find(s.store, "ben", &a), 1);
        ASSERT_EQ(qvs_account_devices(s.store, a.user_id, &devs), 0);
        ASSERT_EQ(devs.size(), 2u);
        ASSERT_EQ(qvs_device_revoke(s.store, a.user_id, &devs[1]), 0);
        ASSERT_EQ(qvs_store_commit(s.store), 0);
    }
    struct { const char *name; const char *user; bool right_auth; const uint8_t *signer; bool wrong_nonce; int want; } cases[] = {
        {"good", "ben", true, d.ed_priv, false, -10},
        {"wrong auth", "ben", false, d.ed_priv, false, QVS_LOGIN_WRONG},
        {"stranger device", "ben", true, stranger.ed_priv, false, QVS_LOGIN_WRONG},  // the client registers it next
        {"signature over another nonce", "ben", true, d.ed_priv, true, QVS_LOGIN_WRONG},
        {"revoked device", "ben", true, gone.ed_priv, false, QVS_LOGIN_DEVICE_REVOKED},
        {"revoked device, wrong auth", "ben", false, gone.ed_priv, false, QVS_LOGIN_WRONG},
        {"unknown name", "nobody", true, d.ed_priv, false, QVS_LOGIN_NO_ACCOUNT},
    };
    for (auto &t : cases) {
        qvs_conn c;
        hello(s, c);
        bytes f = frame_of(3, tlv_text(1, t.user));
        ASSERT_EQ(qvs_handle_frame(&s.ctx, &c, f.data(), f.size()), 0);
        ASSERT_EQ(c.replies.size(), 1u);
        ASSERT_EQ(c.replies[0][3], 131) << t.name;  // a challenge whether or not the name exists
        const uint8_t *nonce;
        ASSERT_EQ(quorvane_tlv_find_fixed(c.replies[0].data() + 8, c.replies[0].size() - 8, 11, 32, &nonce), 0);
        bytes n = t.wrong_nonce ? random_bytes(32) : b(nonce, 32);
        uint8_t msg[100], sig[64];
        size_t mlen = quorvane_login_message(n.data(), s.keys.static_pub, t.user, msg, sizeof msg);
        ASSERT_EQ(quorvane_ed25519_sign(t.signer, msg, mlen, sig), 0);
        bytes proof = frame_of(4, cat({tlv(2, t.right_auth ? auth : random_bytes(32)), tlv(12, b(sig, 64))}));
        if (t.want == -10) {
            c.replies.clear();
            ASSERT_EQ(qvs_handle_frame(&s.ctx, &c, proof.data(), proof.size()), 0);
            ASSERT_EQ(c.replies.size(), 1u);
            EXPECT_EQ(c.replies[0][3], 132);
            EXPECT_EQ(c.phase, QVS_SIGNED_IN);
            bytes ping = frame_of(23, {});
            EXPECT_EQ(qvs_handle_frame(&s.ctx, &c, ping.data(), ping.size()), 0);
            EXPECT_EQ(c.pings, 1u);
        } else {
            EXPECT_EQ(s.answer(c, proof, 133, 13), t.want) << t.name;
        }
    }
}

// Frames out of order, unknown or malformed drop the connection unanswered.
TEST(Server, ProtocolViolationsDrop) {
    Srv s;
    struct { const char *name; bool after_hello; bytes frame; } cases[] = {
        {"request before hello", false, frame_of(3, tlv_text(1, "x"))},
        {"second hello", true, frame_of(1, {})},
        {"proof without challenge", true, frame_of(4, {})},
        {"unknown type", true, frame_of(200, {})},
        {"truncated record", true, frame_of(3, bytes{1, 0, 0, 0, 9, 'x'})},
        {"length past the frame", true, bytes{'H', 'R', 1, 3, 0, 0, 0, 9, 1}},
        {"sign-in name too long", true, frame_of(3, tlv_text(1, std::string(33, 'n')))},
        {"code of 5 characters", true, frame_of(76, cat({tlv_text(1, "x"), tlv_text(95, "12345")}))},
    };
    for (auto &t : cases) {
        qvs_conn c;
        if (t.after_hello) hello(s, c);
        EXPECT_EQ(qvs_handle_frame(&s.ctx, &c, t.frame.data(), t.frame.size()), -1) << t.name;
        EXPECT_TRUE(c.replies.empty()) << t.name;
    }
}

TEST(Server, KeysPersistAndSchemaIsVersioned) {
    TempDir tmp;
    qvs_keys a{}, b{};
    ASSERT_EQ(qvs_keys_load_or_create(tmp.file("d/e/f"), &b), 0);  // missing parents are made
    qvs_keys_wipe(&b);
    ASSERT_EQ(qvs_keys_load_or_create(tmp.file("d"), &a), 0);
    ASSERT_EQ(qvs_keys_load_or_create(tmp.file("d"), &b), 0);
    EXPECT_EQ(hex(a.static_pub, 32), hex(b.static_pub, 32));
    uint8_t pub[32];
    ASSERT_EQ(quorvane_ed25519_pub_from_seed(a.static_priv, pub), 0);
    EXPECT_EQ(hex(pub, 32), hex(a.static_pub, 32));
    put_file(tmp.file("d/server.key"), random_bytes(31));
    qvs_keys c{};
    EXPECT_EQ(qvs_keys_load_or_create(tmp.file("d"), &c), -1);  // a damaged key is not replaced
    qvs_keys_wipe(&a);
    qvs_keys_wipe(&b);

    std::string db = tmp.file("s.db");
    qvs_store *st = qvs_store_open(db.c_str());
    ASSERT_NE(st, nullptr);
    qvs_store_close(st);
    std::string out;
    if (have_program("python3")) {
        ASSERT_EQ(run_command("python3 -c \"import sqlite3,sys; c=sqlite3.connect(sys.argv[1]); "
                              "print(c.execute('pragma user_version').fetchone()[0], c.execute('pragma journal_mode').fetchone()[0])\" " + db,
                              &out), 0);
        EXPECT_EQ(out, std::to_string(QVS_SCHEMA_VERSION) + " wal\n");
        ASSERT_EQ(run_command("python3 -c \"import sqlite3,sys; c=sqlite3.connect(sys.argv[1]); c.execute('pragma user_version=9'); c.commit()\" " + db), 0);
        EXPECT_EQ(qvs_store_open(db.c_str()), nullptr);  // a newer schema is left alone
    }
}

// A registration whose device row cannot be written is refused, and nothing of
// it may reach the turn's commit: a committed account without a device takes
// the name for good and can never sign in. Another registration in the same
// turn keeps its account.
TEST(Server, FailedRegistrationLeavesNoAccount) {
    if (!have_program("python3")) GTEST_SKIP() << "python3 is needed to plant the failing trigger";
    TempDir tmp;
    std::string db = tmp.file("s.db");
    qvs_store_close(qvs_store_open(db.c_str()));
    ASSERT_EQ(run_command("python3 -c \"import sqlite3,sys; c=sqlite3.connect(sys.argv[1]); "
                          "c.execute(\\\"create trigger no_dev before insert on devices when new.cert = zeroblob(64) "
                          "begin select raise(abort, 'disk full'); end\\\"); c.commit()\" " + db),
              0);
    qvs_store *st = qvs_store_open(db.c_str());
    ASSERT_NE(st, nullptr);
    qvs_account ok{}, bad{};
    ok.name = "kept";
    bad.name = "lost";
    std::memset(ok.user_id, 1, 16);
    std::memset(bad.user_id, 2, 16);
    qvs_device good_dev{}, bad_dev{};
    std::memset(good_dev.cert, 7, 64);
    EXPECT_EQ(qvs_account_create(st, &ok, &good_dev), 0);
    EXPECT_EQ(qvs_account_create(st, &bad, &bad_dev), -1);
    ASSERT_EQ(qvs_store_commit(st), 0);
    qvs_account a;
    EXPECT_EQ(qvs_account_find(st, "kept", &a), 1);
    EXPECT_EQ(qvs_account_find(st, "lost", &a), 0);
    uint64_t n = 0;
    ASSERT_EQ(qvs_store_account_count(st, &n), 0);
    EXPECT_EQ(n, 1u);
    qvs_store_close(st);
}

// A recovery proof answers one challenge on one connection: the same proof
// sent on another connection, or again once it has been used, is refused and
// leaves the password as the first use set it.
TEST(Server, RecoveryProofIsNotReplayable) {
    Srv s;
    Device d;
    bytes auth = random_bytes(32), rk = random_bytes(32);
    uint8_t rec[82], rk_rec[82];
    ASSERT_EQ(quorvane_escrow_seal_pw("pw", "cy", d.id_priv, rec), 0);
    ASSERT_EQ(quorvane_escrow_seal_rk(rk.data(), "cy", d.id_priv, rk_rec), 0);
    {
        qvs_conn c;
        hello(s, c);
        ASSERT_EQ(s.answer(c, reg_frame("cy", auth, d, b(rec, 82)), 130, 10), 0);
    }
    qvs_account a;
    ASSERT_EQ(qvs_account_find(s.store, "cy", &a), 1);
    ASSERT_EQ(qvs_account_set_rk_escrow(s.store, a.user_id, rk_rec), 0);
    ASSERT_EQ(qvs_store_commit(s.store), 0);

    auto challenge = [&](qvs_conn &c) {
        hello(s, c);
        bytes f = frame_of(72, tlv_text(1, "cy"));
        EXPECT_EQ(qvs_handle_frame(&s.ctx, &c, f.data(), f.size()), 0);
        const uint8_t *nonce = nullptr;
        EXPECT_EQ(c.replies.size(), 1u);
        EXPECT_EQ(quorvane_tlv_find_fixed(c.replies[0].data() + 8, c.replies[0].size() - 8, 11, 32, &nonce), 0);
        bytes n = nonce ? b(nonce, 32) : bytes(32);
        c.replies.clear();
        return n;
    };
    bytes new_auth = random_bytes(32);
    uint8_t new_rec[82], sig[64];
    ASSERT_EQ(quorvane_escrow_seal_pw("new", "cy", d.id_priv, new_rec), 0);
    qvs_conn first, second;
    bytes n1 = challenge(first);
    challenge(second);
    ASSERT_EQ(quorvane_recover_sign(d.id_priv, n1.data(), s.keys.static_pub, "cy", new_auth.data(), new_rec, sig), 0);
    bytes set = frame_of(73, cat({tlv(81, new_auth), tlv(80, b(new_rec, 82)), tlv(6, b(sig, 64))}));
    EXPECT_EQ(s.answer(second, set, 183, 90), QVS_RECOVER_BAD_PROOF);  // another connection's challenge
    EXPECT_EQ(s.answer(first, set, 183, 90), 0);
    qvs_conn third;
    challenge(third);
    EXPECT_EQ(s.answer(third, set, 183, 90), QVS_RECOVER_BAD_PROOF);  // used once already
    ASSERT_EQ(qvs_account_find(s.store, "cy", &a), 1);
    uint8_t h[32];
    ASSERT_EQ(qvs_auth_hash(a.auth_salt, new_auth.data(), h), 0);
    EXPECT_EQ(hex(a.auth_hash, 32), hex(h, 32));
    EXPECT_EQ(hex(a.pw_escrow, 82), hex(new_rec, 82));
}

// A version 1 database (accounts and devices only) is migrated in place: the
// account and its device are kept, the device gets its number, and the new
// tables work.
TEST(Server, SchemaOneIsMigrated) {
    if (!have_program("python3")) GTEST_SKIP() << "python3 is needed to write the version 1 database";
    TempDir tmp;
    std::string db = tmp.file("v1.db");
    ASSERT_EQ(run_command("python3 -c \"import sqlite3,sys; c=sqlite3.connect(sys.argv[1]); c.executescript('''"
                          "CREATE TABLE accounts (user_id BLOB PRIMARY KEY, name TEXT NOT NULL UNIQUE, role INTEGER NOT NULL,"
                          " auth_salt BLOB NOT NULL, auth_hash BLOB NOT NULL, identity_pub BLOB NOT NULL, pw_escrow BLOB NOT NULL,"
                          " rk_escrow BLOB, extra BLOB, created_ms INTEGER NOT NULL);"
                          "CREATE TABLE devices (user_id BLOB NOT NULL REFERENCES accounts(user_id), x25519_pub BLOB NOT NULL,"
                          " ed25519_pub BLOB NOT NULL, cert BLOB NOT NULL, PRIMARY KEY (user_id, ed25519_pub));"
                          "INSERT INTO accounts VALUES (zeroblob(16), \\'old\\', 1, zeroblob(16), zeroblob(32), zeroblob(32),"
                          " zeroblob(82), NULL, NULL, 5);"
                          "INSERT INTO devices VALUES (zeroblob(16), randomblob(32), randomblob(32), randomblob(64));"
                          "PRAGMA user_version = 1;'''); c.commit()\" " + db),
              0);
    qvs_store *st = qvs_store_open(db.c_str());
    ASSERT_NE(st, nullptr);
    qvs_account a;
    ASSERT_EQ(qvs_account_find(st, "old", &a), 1);
    std::vector<qvs_device> devs;
    ASSERT_EQ(qvs_account_devices(st, a.user_id, &devs), 0);
    ASSERT_EQ(devs.size(), 1u);
    EXPECT_GT(devs[0].row, 0);
    std::vector<qvs_conv_member> members(1);
    uint8_t conv[16] = {9};
    std::memcpy(members[0].user_id, a.user_id, 16);
    EXPECT_EQ(qvs_conv_create(st, conv, members, {}), 0);
    EXPECT_EQ(qvs_conv_is_member(st, conv, a.user_id), 1);
    qvs_store_close(st);
    std::string out;
    ASSERT_EQ(run_command("python3 -c \"import sqlite3,sys; print(sqlite3.connect(sys.argv[1]).execute('pragma user_version').fetchone()[0])\" " + db, &out), 0);
    EXPECT_EQ(out, std::to_string(QVS_SCHEMA_VERSION) + "\n");
}

// Copies per device are bounded: past the bound a frame for that device alone
// is refused (no copy, no position spent), and a cursor that deletes copies
// makes room again. Positions keep growing across a reopen.
TEST(Server, EnvelopeBoundAndPositions) {
    TempDir tmp;
    std::string db = tmp.file("s.db");
    qvs_store *st = qvs_store_open(db.c_str());
    ASSERT_NE(st, nullptr);
    std::vector<qvs_device> ad, bd;
    for (uint8_t who : {1, 2}) {
        qvs_account acct{};
        acct.name = std::string(1, static_cast<char>('a' + who));
        std::memset(acct.user_id, who, 16);
        qvs_device dev{};
        std::memset(dev.ed25519_pub, who, 32);
        ASSERT_EQ(qvs_account_create(st, &acct, &dev), 0);
        ASSERT_EQ(qvs_account_devices(st, acct.user_id, who == 1 ? &ad : &bd), 0);
    }
    std::vector<int64_t> to_both{ad[0].row, bd[0].row}, to_b{bd[0].row};
    uint8_t conv[16] = {7};
    bytes env = random_bytes(100);
    std::vector<uint64_t> pos;
    uint64_t ack = 0, last = 0;
    struct { const char *name; std::vector<int64_t> *devs; int want; } steps[] = {
        {"first to both", &to_both, 0},
        {"second to b", &to_b, 0},
        {"b is full and alone: refused", &to_b, 1},
        {"nobody else: a position all the same", nullptr, 0},
    };
    std::vector<int64_t> none;
    for (auto &s : steps) {
        SCOPED_TRACE(s.name);
        uint64_t before = qvs_env_last_pos(st);
        EXPECT_EQ(qvs_env_store(st, conv, kSender, env.data(), env.size(), s.devs ? *s.devs : none, qvs_env_bounds{2}, &pos, &ack), s.want);
        if (s.want != 0) {
            EXPECT_TRUE(pos.empty());
            EXPECT_EQ(qvs_env_last_pos(st), before);
            continue;
        }
        EXPECT_GT(ack, last);
        last = ack;
        EXPECT_EQ(pos.size(), s.devs ? s.devs->size() : 0u);
    }
    ASSERT_EQ(qvs_store_commit(st), 0);
    std::vector<qvs_envelope> got;
    ASSERT_EQ(qvs_env_fetch(st, bd[0].row, conv, 0, UINT64_MAX, 10, 1u << 20, &got), 0);
    ASSERT_EQ(got.size(), 2u);
    ASSERT_EQ(qvs_env_drop_upto(st, bd[0].row, conv, got[0].pos), 0);
    // The bytes b's first copy shared with a's stay for a.
    ASSERT_EQ(qvs_env_fetch(st, ad[0].row, conv, 0, UINT64_MAX, 10, 1u << 20, &got), 0);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(hex(got[0].body), hex(env));
    EXPECT_EQ(qvs_env_store(st, conv, kSender, env.data(), env.size(), to_both, qvs_env_bounds{2}, &pos, &ack), 0);
    ASSERT_EQ(qvs_store_commit(st), 0);
    qvs_store_close(st);
    st = qvs_store_open(db.c_str());
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(qvs_env_last_pos(st), ack);
    EXPECT_EQ(qvs_env_store(st, conv, kSender, env.data(), env.size(), to_b, qvs_env_bounds{100}, &pos, &ack), 0);
    EXPECT_EQ(pos.at(0), qvs_env_last_pos(st));
    EXPECT_GT(ack, last);
    // Once every copy is passed by its device's cursor, nothing of the envelopes is left.
    for (int64_t dev : to_both) EXPECT_EQ(qvs_env_drop_upto(st, dev, conv, UINT64_MAX), 0);
    qvs_store_close(st);
    if (have_program("python3")) {
        std::string out;
        ASSERT_EQ(run_command("python3 -c \"import sqlite3,sys; c=sqlite3.connect(sys.argv[1]); "
                              "print(c.execute('select count(*) from envelopes').fetchone()[0], "
                              "c.execute('select count(*) from envelope_bodies').fetchone()[0])\" " + db, &out), 0);
        EXPECT_EQ(out, "0 0\n");
    }
}

namespace {

// Registers `user` with the device and signs a fresh connection in with it.
void sign_in(Srv &s, qvs_conn &c, const std::string &user, const bytes &auth, const Device &d) {
    hello(s, c);
    bytes f = frame_of(3, tlv_text(1, user));
    ASSERT_EQ(qvs_handle_frame(&s.ctx, &c, f.data(), f.size()), 0);
    ASSERT_EQ(c.replies.size(), 1u);
    const uint8_t *nonce;
    ASSERT_EQ(quorvane_tlv_find_fixed(c.replies[0].data() + 8, c.replies[0].size() - 8, 11, 32, &nonce), 0);
    uint8_t msg[100], sig[64];
    const size_t mlen = quorvane_login_message(nonce, s.keys.static_pub, user.c_str(), msg, sizeof msg);
    ASSERT_EQ(quorvane_ed25519_sign(d.ed_priv, msg, mlen, sig), 0);
    bytes proof = frame_of(4, cat({tlv(2, auth), tlv(12, b(sig, 64))}));
    c.replies.clear();
    ASSERT_EQ(qvs_handle_frame(&s.ctx, &c, proof.data(), proof.size()), 0);
    ASSERT_EQ(c.phase, QVS_SIGNED_IN);
    c.replies.clear();
}

bytes pw_frame(const bytes &current, const bytes &next, const bytes &escrow) {
    return frame_of(63, cat({tlv(2, current), tlv(81, next), tlv(80, escrow)}));
}

bool auth_is(Srv &s, const char *user, const bytes &auth) {
    qvs_account a;
    if (qvs_account_find(s.store, user, &a) != 1) return false;
    uint8_t h[32];
    return qvs_auth_hash(a.auth_salt, auth.data(), h) == 0 && std::memcmp(h, a.auth_hash, 32) == 0;
}

}  // namespace

// A password change takes the current auth value of a signed-in connection:
// malformed records drop the connection, a record of the wrong kind or a
// wrong current value changes nothing, and the fifth wrong one ends the
// connection, so a taken-over session is no fast way to guess.
TEST(Server, PasswordChange) {
    Srv s;
    Device d;
    const bytes auth = random_bytes(32), next = random_bytes(32), third = random_bytes(32);
    uint8_t rec[82], rec2[82], rk[82];
    ASSERT_EQ(quorvane_escrow_seal_pw("pw", "cal", d.id_priv, rec), 0);
    ASSERT_EQ(quorvane_escrow_seal_pw("new pw", "cal", d.id_priv, rec2), 0);
    ASSERT_EQ(quorvane_escrow_seal_rk(random_bytes(32).data(), "cal", d.id_priv, rk), 0);
    {
        qvs_conn c;
        hello(s, c);
        ASSERT_EQ(s.answer(c, reg_frame("cal", auth, d, b(rec, 82)), 130, 10), QVS_REG_OK);
    }
    const bytes escrow = b(rec2, 82);
    struct { const char *name; bool signed_in; bytes frame; int want; } cases[] = {
        {"before sign-in", false, pw_frame(auth, next, escrow), -1},
        {"31-byte current value", true, pw_frame(bytes(auth.begin(), auth.end() - 1), next, escrow), -1},
        {"no new value", true, frame_of(63, cat({tlv(2, auth), tlv(80, escrow)})), -1},
        {"81-byte escrow", true, pw_frame(auth, next, bytes(escrow.begin(), escrow.end() - 1)), -1},
        {"recovery-key record as the escrow", true, pw_frame(auth, next, b(rk, 82)), QVS_PW_MALFORMED},
        {"wrong current value", true, pw_frame(random_bytes(32), next, escrow), QVS_PW_WRONG},
    };
    for (auto &t : cases) {
        qvs_conn c;
        if (t.signed_in) {
            ASSERT_NO_FATAL_FAILURE(sign_in(s, c, "cal", auth, d));
        } else {
            hello(s, c);
        }
        EXPECT_EQ(s.answer(c, t.frame, QVS_FT_PASSWORD_RESULT, QVS_TAG_PASSWORD_STATUS), t.want) << t.name;
        EXPECT_TRUE(auth_is(s, "cal", auth)) << t.name;
    }

    {
        qvs_conn c;
        ASSERT_NO_FATAL_FAILURE(sign_in(s, c, "cal", auth, d));
        for (int i = 1; i <= QVS_PW_WRONG_MAX; i++) {
            EXPECT_EQ(s.answer(c, pw_frame(random_bytes(32), next, escrow), QVS_FT_PASSWORD_RESULT, QVS_TAG_PASSWORD_STATUS),
                      QVS_PW_WRONG);
            EXPECT_EQ(c.phase, i < QVS_PW_WRONG_MAX ? QVS_SIGNED_IN : QVS_DONE) << i;
        }
        // the right value on the ended connection is not looked at
        EXPECT_EQ(s.answer(c, pw_frame(auth, next, escrow), QVS_FT_PASSWORD_RESULT, QVS_TAG_PASSWORD_STATUS), -2);
        EXPECT_TRUE(auth_is(s, "cal", auth));
    }

    qvs_conn c;
    ASSERT_NO_FATAL_FAILURE(sign_in(s, c, "cal", auth, d));
    EXPECT_EQ(s.answer(c, pw_frame(auth, next, escrow), QVS_FT_PASSWORD_RESULT, QVS_TAG_PASSWORD_STATUS), QVS_PW_OK);
    EXPECT_TRUE(auth_is(s, "cal", next));
    qvs_account a;
    ASSERT_EQ(qvs_account_find(s.store, "cal", &a), 1);
    EXPECT_EQ(hex(a.pw_escrow, 82), hex(rec2, 82));
    // the same connection checks against what it just set, not what it signed in with
    EXPECT_EQ(s.answer(c, pw_frame(auth, third, escrow), QVS_FT_PASSWORD_RESULT, QVS_TAG_PASSWORD_STATUS), QVS_PW_WRONG);
    EXPECT_EQ(s.answer(c, pw_frame(next, third, escrow), QVS_FT_PASSWORD_RESULT, QVS_TAG_PASSWORD_STATUS), QVS_PW_OK);
    EXPECT_TRUE(auth_is(s, "cal", third));
}
