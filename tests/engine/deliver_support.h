// Fixtures of the receive-path tests: devices with their own message stores,
// reopened at will, a receiving session without a connection, body builders
// and a conversation with members and recorded devices.
#pragma once

#include "client_deliver.h"
#include "client_session.h"
#include "dm_support.h"
#include "qv_test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace qvdeliver {

using qvdm::Bytes;
using qvdm::bundle_of;

const uint8_t kSecret[32] = {7, 7, 7};
constexpr uint8_t ALICE = 0xA1, BOB = 0xB0, CAROL = 0xC0, DAVE = 0xD0;

inline std::array<uint8_t, 16> uid(uint8_t b) {
    std::array<uint8_t, 16> u;
    u.fill(b);
    return u;
}

// One device of one user with its own message store, reopened at will.
struct Device {
    qvtest::TempDir dir;
    quorvane_device_keys keys{};
    quorvane_msgstore *ms = nullptr;
    std::array<uint8_t, 16> user;
    explicit Device(uint8_t user_byte) : user(uid(user_byte)) {
        EXPECT_EQ(quorvane_x25519_keypair(keys.device_x25519_priv, keys.device_x25519_pub), 0);
        EXPECT_EQ(quorvane_ed25519_keypair(keys.device_ed25519_priv, keys.device_ed25519_pub), 0);
        reopen();
    }
    ~Device() { quorvane_msgstore_close(ms); }
    void reopen() {
        quorvane_msgstore_close(ms);
        ms = quorvane_msgstore_open(dir.path.c_str(), kSecret);
        ASSERT_NE(ms, nullptr);
    }
    const uint8_t *dev() const { return keys.device_x25519_pub; }
    // A fresh prekey set pushed into the stored bag; its published side with one-time prekey `otk`.
    quorvane_peer_device publish(int otk = 0) { return qvdm::publish_set(ms, keys, otk); }
    // Starts a session with a peer device from what it published (forced: beside the one held).
    void start(const uint8_t conv[16], const quorvane_peer_device &peer, int force = 0) {
        ASSERT_EQ(cs_dm_init_device(ms, &keys, conv, &peer, force, 1000), 0);
    }
    // The one device-session envelope this device seals for its single session,
    // naming `sender` in the header (a forger names someone else).
    Bytes seal(const uint8_t conv[16], const Bytes &body, uint64_t counter, const uint8_t *sender = nullptr, uint64_t time = 0) {
        struct Out {
            std::vector<Bytes> envs;
            static int queue(void *ctx, const uint8_t *, const uint8_t *env, size_t len) {
                static_cast<Out *>(ctx)->envs.emplace_back(env, env + len);
                return 0;
            }
        } out;
        cs_pending_ring ring{};
        const int n = cs_seal_devices(ms, conv, sender ? sender : user.data(), dev(), counter, time ? time : 5000 + counter,
                                      body.data(), body.size(), &ring, Out::queue, &out);
        EXPECT_EQ(n, 1);
        return out.envs.empty() ? Bytes{} : out.envs[0];
    }
    Bytes record(const uint8_t conv[16], const uint8_t peer[32]) {
        Bytes r(QV_SR_MAX);
        r.resize(quorvane_msgstore_get_ratchet(ms, conv, peer, r.data(), r.size()));
        return r;
    }
};

// The receiving device: Alice's, signed in without a connection, with the hints
// record that the worker keeps across sessions.
struct Receiver : Device {
    quorvane_cs_hints hints{};
    quorvane_cs *cs = nullptr;
    std::string pin;
    int fallback_off = 0;
    Receiver() : Device(ALICE), pin(dir.file("pin")) { open_session(); }
    ~Receiver() { quorvane_cs_free(cs); }
    void open_session() {
        quorvane_cs_free(cs);
        cs = quorvane_cs_test_receiver(ms, &keys, "alice", user.data(), pin.c_str(), &hints, fallback_off);
        ASSERT_NE(cs, nullptr);
    }
    // Store and session both closed and opened again, as after a restart.
    void restart() {
        reopen();
        open_session();
    }
    void deliver(const Bytes &env, uint64_t pos, int history = 0) { deliver_envelope(cs, env.data(), env.size(), pos, history); }
};

inline Bytes body_of(size_t (*enc)(const char *, size_t, uint8_t *, size_t), const std::string &s) {
    Bytes b(8192);
    b.resize(enc(s.data(), s.size(), b.data(), b.size()));
    EXPECT_FALSE(b.empty());
    return b;
}
inline Bytes text(const std::string &s) { return body_of(quorvane_msg_text_encode, s); }
inline Bytes profile(const std::string &name, const std::string &about = "") {
    Bytes b(512);
    b.resize(quorvane_msg_profile_encode(name.data(), name.size(), about.data(), about.size(), b.data(), b.size()));
    EXPECT_FALSE(b.empty());
    return b;
}
inline Bytes del(const uint8_t author[16], uint64_t counter) {
    Bytes b(64);
    b.resize(quorvane_msg_delete_encode(author, counter, b.data(), b.size()));
    return b;
}
inline Bytes edit(const uint8_t author[16], uint64_t counter, const std::string &s) {
    Bytes b(8192);
    b.resize(quorvane_msg_edit_encode(author, counter, s.data(), s.size(), b.data(), b.size()));
    return b;
}
inline Bytes reaction(const uint8_t author[16], uint64_t counter, int add, const char *name) {
    Bytes b(128);
    b.resize(quorvane_msg_reaction_encode(author, counter, add, name, b.data(), b.size()));
    return b;
}
inline Bytes reply(const uint8_t author[16], uint64_t counter, const std::string &s) {
    Bytes b(8192);
    b.resize(quorvane_msg_reply_encode(author, counter, s.data(), s.size(), b.data(), b.size()));
    return b;
}
inline quorvane_file_meta file_meta(const char *mime, const char *name) {
    quorvane_file_meta m{};
    std::snprintf(m.mime, sizeof m.mime, "%s", mime);
    std::snprintf(m.name, sizeof m.name, "%s", name);
    m.blob.chunk_count = 1;
    m.blob.size = 10;
    return m;
}
inline Bytes file(const char *mime, const char *name, size_t (*enc)(const quorvane_file_meta *, uint8_t *, size_t) = quorvane_msg_file_encode) {
    const quorvane_file_meta m = file_meta(mime, name);
    Bytes b(2048);
    b.resize(enc(&m, b.data(), b.size()));
    EXPECT_FALSE(b.empty());
    return b;
}
inline Bytes voice(uint32_t ms) {
    quorvane_voice_meta v{};
    v.duration_ms = ms;
    v.peak_count = 3;
    Bytes b(1024);
    b.resize(quorvane_msg_voice_encode(&v, b.data(), b.size()));
    EXPECT_FALSE(b.empty());
    return b;
}
inline Bytes link(const char *url, const char *title) {
    quorvane_link_meta l{};
    std::snprintf(l.url, sizeof l.url, "%s", url);
    std::snprintf(l.title, sizeof l.title, "%s", title);
    Bytes b(4096);
    b.resize(quorvane_msg_link_encode(&l, b.data(), b.size()));
    EXPECT_FALSE(b.empty());
    return b;
}
inline Bytes sticker(const char *name) {
    quorvane_sticker s{};
    s.version = 3;
    std::snprintf(s.name, sizeof s.name, "%s", name);
    Bytes b(64);
    b.resize(quorvane_msg_sticker_encode(&s, b.data(), b.size()));
    EXPECT_FALSE(b.empty());
    return b;
}
inline Bytes cat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
inline Bytes wrap14(const uint8_t dev[32], const Bytes &inner) { return cat(cat(Bytes{14}, Bytes(dev, dev + 32)), inner); }
inline Bytes wrap15(const uint8_t dev[32], const Bytes &inner) { return cat(cat(Bytes{15}, Bytes(dev, dev + 32)), inner); }

// A conversation-key envelope as a member seals it.
inline Bytes conv_env(const uint8_t key[32], const uint8_t conv[16], const uint8_t sender[16], uint64_t counter, const Bytes &body,
               uint64_t time = 0) {
    quorvane_env_header h{};
    std::memcpy(h.conversation_id, conv, 16);
    std::memcpy(h.sender_id, sender, 16);
    h.counter = counter;
    h.time = time ? time : 9000 + counter;
    const Bytes salt = qvtest::random_bytes(16);
    std::memcpy(h.salt, salt.data(), 16);
    h.salt[0] |= 1;
    Bytes out(body.size() + QV_ENV_OVERHEAD);
    size_t n = 0;
    EXPECT_EQ(quorvane_env_seal(key, &h, body.data(), body.size(), out.data(), out.size(), &n), 0);
    out.resize(n);
    return out;
}

inline std::vector<quorvane_ms_msgrec> messages(quorvane_msgstore *ms, const uint8_t conv[16]) {
    std::vector<quorvane_ms_msgrec> out(quorvane_msgstore_msg_count(ms, conv));
    for (size_t i = 0; i < out.size(); i++) EXPECT_EQ(quorvane_msgstore_msg_at(ms, conv, i, &out[i]), 0);
    return out;
}
inline std::string text_of(const quorvane_ms_msgrec &r) { return std::string(r.text, r.text_len); }

// A conversation on Alice's device with Bob as its peer; members Alice (this device
// and her second one), Bob, Carol and Dave (role 1, no device), each with a device.
struct Deliver : ::testing::Test {
    Receiver r;
    Device alice2{ALICE}, bob{BOB}, carol{CAROL};
    uint8_t conv[16], key[32];
    std::array<uint8_t, 16> alice = uid(ALICE), bob_id = uid(BOB), carol_id = uid(CAROL), dave_id = uid(DAVE);
    void SetUp() override {
        std::memset(conv, 0x5C, 16);
        const Bytes k = qvtest::random_bytes(32);
        std::memcpy(key, k.data(), 32);
        ASSERT_EQ(quorvane_msgstore_put_conv(r.ms, conv, key), 0);
        uint8_t users[4][16], ids[4][32] = {}, second[4][32] = {};
        const uint8_t roles[4] = {0, 0, 0, 1};
        const uint8_t bytes[4] = {ALICE, BOB, CAROL, DAVE};
        for (int i = 0; i < 4; i++) {
            std::memset(users[i], bytes[i], 16);
            std::memset(ids[i], bytes[i] + 1, 32);
        }
        ASSERT_EQ(quorvane_msgstore_set_members(r.ms, conv, users, ids, second, roles, 4), 0);
        record_devices(alice.data(), {&r, &alice2});
        record_devices(bob_id.data(), {&bob});
        record_devices(carol_id.data(), {&carol});
        ASSERT_EQ(quorvane_msgstore_set_peer(r.ms, conv, bob_id.data(), ids[1]), 0);
    }
    void record_devices(const uint8_t user[16], std::initializer_list<Device *> devs) {
        uint8_t x[5][32], ed[5][32];
        size_t n = 0;
        for (Device *d : devs) {
            std::memcpy(x[n], d->keys.device_x25519_pub, 32);
            std::memcpy(ed[n], d->keys.device_ed25519_pub, 32);
            n++;
        }
        ASSERT_EQ(quorvane_msgstore_set_member_devices(r.ms, conv, user, x, ed, n), 0);
    }
    // The sender's first envelope to this device starts a session from a fresh bundle.
    void pair(Device &from) { from.start(conv, r.publish()); }
    Bytes from(const std::array<uint8_t, 16> &who, uint64_t counter, const Bytes &body) {
        return conv_env(key, conv, who.data(), counter, body);
    }
    std::vector<quorvane_ms_msgrec> msgs() { return messages(r.ms, conv); }
    size_t notes() {
        size_t n = 0;
        while (quorvane_cs_poll_notification(r.cs, nullptr)) n++;
        return n;
    }
};

}  // namespace qvdeliver
