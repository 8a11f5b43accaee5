// End-to-end harness: devices with their own key records, message stores and
// signed-in sessions, talking through the server program over TLS on loopback.
// Stores are closed and opened again between steps, so what a device knows
// must have been written.
#pragma once

#include "client_session.h"
#include "quorvane_crypto.h"
#include "quorvane_envelope.h"
#include "quorvane_msg.h"
#include "quorvane_proto.h"
#include "session_support.h"

#include <cstring>
#include <string>
#include <vector>

namespace qvtest {

using bytes = std::vector<uint8_t>;

inline const uint8_t kStoreSecret[32] = {0x5E, 0xC2, 0x37};
constexpr uint8_t FT_SEND = 7, FT_LIVE = 137, FT_SYNC_DONE = 139, TAG_ENVELOPE = 20;

inline std::array<uint8_t, 32> seed_of(uint8_t v) {
    std::array<uint8_t, 32> s{};
    s.fill(v);
    return s;
}

inline quorvane_env_header header_of(const bytes &env) {
    quorvane_env_header h{};
    EXPECT_EQ(quorvane_env_header_decode(env.data(), env.size(), &h), 0);
    return h;
}

inline bytes text_body(const std::string &s) {
    bytes out(s.size() + 16);
    out.resize(quorvane_msg_text_encode(s.data(), s.size(), out.data(), out.size()));
    EXPECT_FALSE(out.empty());
    return out;
}

// A conversation-key envelope of `conv` from `sender`, sealed under a random
// key no member holds: it never opens.
inline bytes sealed_elsewhere(const bytes &conv, const uint8_t sender[16], uint64_t counter) {
    quorvane_env_header h{};
    std::memcpy(h.conversation_id, conv.data(), 16);
    std::memcpy(h.sender_id, sender, 16);
    h.counter = counter;
    h.time = 1;
    const bytes salt = random_bytes(16), wrong = random_bytes(32), body = text_body("never opens");
    std::memcpy(h.salt, salt.data(), 16);
    h.salt[0] |= 1;  // a salt of zeros would mark a device-session envelope
    bytes out(body.size() + QV_ENV_OVERHEAD);
    size_t n = 0;
    EXPECT_EQ(quorvane_env_seal(wrong.data(), &h, body.data(), body.size(), out.data(), out.size(), &n), 0);
    out.resize(n);
    return out;
}

struct SendResult {
    bytes conv;
    uint64_t counter;
    int ok;
};

// One device: its key record, its message store in a directory of its own and,
// while online, a signed-in session. Every frame the session receives is kept
// on its way to the session's own handler, so tests can look at the wire.
struct Device {
    ServerProc &srv;
    std::string user, password = "correct horse", pin;
    std::array<uint8_t, 32> seed;
    Keys keys;
    TempDir dir;
    quorvane_msgstore *ms = nullptr;
    CsPtr cs;
    std::vector<bytes> seen;
    uint8_t uid[16] = {};

    Device(ServerProc &s, std::string name, uint8_t seed_byte)
        : srv(s), user(std::move(name)), pin(s.pin_path()), seed(seed_of(seed_byte)), keys(seed.data()) {}
    ~Device() { offline(); }
    const uint8_t *dev_key() const { return keys.k.device_x25519_pub; }

    quorvane_cs_config config() {
        quorvane_cs_config c{};
        c.host = "127.0.0.1";
        c.port = srv.port.c_str();
        c.pin_path = pin.c_str();
        c.user = user.c_str();
        c.password = password.c_str();
        c.keys = &keys.k;
        return c;
    }
    // The first device makes the account; another one with the same identity joins it.
    bool enroll() {
        quorvane_cs_config c = config();
        c.do_register = 1;
        CsPtr r(quorvane_cs_new(&c));
        return r && drive(r.get()) == QV_CS_REGISTERED;
    }
    bool online() {
        ms = quorvane_msgstore_open(dir.path.c_str(), kStoreSecret);
        if (!ms) return false;
        quorvane_cs_config c = config();
        c.store = ms;
        cs.reset(quorvane_cs_new(&c));
        if (!cs || drive(cs.get()) != QV_CS_SIGNED_IN) return false;
        std::memcpy(uid, quorvane_cs_user_id(cs.get()), 16);
        return true;
    }
    void offline() {
        cs.reset();
        quorvane_msgstore_close(ms);
        ms = nullptr;
    }
    bool reopen() {
        offline();
        return online();
    }

    // One turn: the frames that came go to the signed-in handler, as the session's own pump does.
    void pump() {
        quorvane_cnet_pump(cs->cnet);
        const uint8_t *f = nullptr;
        size_t n = 0;
        while (cs->state == QV_CS_SIGNED_IN && quorvane_cnet_recv(cs->cnet, &f, &n) == 1) {
            seen.emplace_back(f, f + n);
            handle_authed_frame(cs.get(), f, n);
        }
        cs_account_pump(cs.get());
        quorvane_cnet_pump(cs->cnet);
    }
    // Pumps until `done` holds (asked once per turn: it may take what it waits for).
    template <class F> bool until(F done, int ms_limit = kWaitMs) {
        bool held = false;
        wait_until(
            [&] {
                pump();
                held = done();
                return held || quorvane_cnet_get_state(cs->cnet) != QV_CNET_UP;
            },
            ms_limit);
        return held;
    }
    bool saw_since(size_t from, uint8_t type) {
        for (size_t i = from; i < seen.size(); i++)
            if (seen[i].size() >= 8 && seen[i][3] == type) return true;
        return false;
    }
    // One sync pass to its end.
    bool sync() {
        const size_t from = seen.size();
        return quorvane_cs_sync(cs.get()) == 0 && until([&] { return saw_since(from, FT_SYNC_DONE); });
    }
    // A new prekey set; the sync after it is answered only once the server handled it.
    bool publish() { return quorvane_cs_publish_prekeys(cs.get()) == 0 && sync(); }

    quorvane_prekey_reply prekeys_of(const std::string &name) {
        quorvane_prekey_reply r{};
        EXPECT_EQ(quorvane_cs_request_prekeys(cs.get(), name.c_str()), 0);
        EXPECT_TRUE(until([&] { return quorvane_cs_take_prekeys(cs.get(), &r) == 1; }));
        return r;
    }
    // The envelopes of frames 137 received from index `from` of the record on.
    std::vector<bytes> envelopes(size_t from = 0) const {
        std::vector<bytes> out;
        for (size_t i = from; i < seen.size(); i++) {
            const bytes &f = seen[i];
            const uint8_t *v = nullptr;
            size_t n = 0;
            if (f.size() > 8 && f[3] == FT_LIVE && quorvane_tlv_find(f.data() + 8, f.size() - 8, TAG_ENVELOPE, &v, &n) == 0)
                out.emplace_back(v, v + n);
        }
        return out;
    }
    std::vector<quorvane_ms_msgrec> messages(const bytes &conv) const {
        std::vector<quorvane_ms_msgrec> out(quorvane_msgstore_msg_count(ms, conv.data()));
        for (size_t i = 0; i < out.size(); i++) EXPECT_EQ(quorvane_msgstore_msg_at(ms, conv.data(), i, &out[i]), 0);
        return out;
    }
    bytes record(const bytes &conv, const uint8_t device[32]) {
        bytes r(QV_SR_MAX);
        r.resize(quorvane_msgstore_get_ratchet(ms, conv.data(), device, r.data(), r.size()));
        return r;
    }
    // Seals a text for the conversation; the counter it went out with.
    uint64_t send_text(const bytes &conv, const std::string &text) {
        const bytes body = text_body(text);
        uint64_t counter = 0, t = 0;
        uint8_t dev[32];
        EXPECT_EQ(cs_seal_send(cs.get(), conv.data(), body.data(), body.size(), &counter, &t, dev), 0) << text;
        return counter;
    }
    // Waits for n acknowledgements and hands them out in order.
    std::vector<SendResult> acks(size_t n) {
        std::vector<SendResult> out;
        EXPECT_TRUE(until([&] {
            SendResult r{bytes(16), 0, -1};
            while (out.size() < n && quorvane_cs_poll_send_result(cs.get(), r.conv.data(), &r.counter, &r.ok) == 1) out.push_back(r);
            return out.size() == n;
        })) << out.size() << " of " << n << " acknowledgements";
        return out;
    }
};

// A member record straight from the devices' own keys (all of one account).
inline quorvane_member member_of(std::initializer_list<const Device *> devs) {
    quorvane_member m{};
    const Device &first = **devs.begin();
    std::memcpy(m.user_id, first.uid, 16);
    std::memcpy(m.identity, first.keys.k.identity_pub, 32);
    for (const Device *d : devs) {
        std::memcpy(m.devices[m.device_count], d->keys.k.device_x25519_pub, 32);
        std::memcpy(m.devices[m.device_count] + 32, d->keys.k.device_ed25519_pub, 32);
        m.device_count++;
    }
    return m;
}

inline std::string text_of(const quorvane_ms_msgrec &r) { return std::string(r.text, r.text_len); }

// Every device enrolled, signed in and with prekeys published.
inline void bring_up(std::initializer_list<Device *> devs) {
    for (Device *d : devs) {
        SCOPED_TRACE(d->user);
        ASSERT_TRUE(d->enroll());
        ASSERT_TRUE(d->online());
        ASSERT_TRUE(d->publish());
    }
}

// The initiator's side of a direct conversation: the peer's prekeys, the
// conversation with both members and every device, device sessions started.
inline bytes open_dm(Device &a, const std::string &peer_name, size_t want_devices) {
    quorvane_prekey_reply reply = a.prekeys_of(peer_name);
    EXPECT_EQ(reply.complete, 1u);
    EXPECT_EQ(reply.device_count, want_devices);
    quorvane_member members[2];
    members[0] = member_of({&a});
    quorvane_cs_peer_from_prekeys(&members[1], &reply);
    quorvane_peer peer{};
    quorvane_cs_peer_devices_from_prekeys(&peer, &reply);
    bytes conv = random_bytes(16), key = random_bytes(32);
    EXPECT_EQ(quorvane_cs_create_conv(a.cs.get(), conv.data(), key.data(), members, 2), 0);
    EXPECT_EQ(quorvane_cs_dm_init(a.cs.get(), conv.data(), &peer), 0);
    uint8_t devs[QV_SR_DEVICES][32];
    EXPECT_EQ(quorvane_msgstore_ratchet_devices(a.ms, conv.data(), devs, QV_SR_DEVICES), want_devices);
    EXPECT_TRUE(a.sync());  // the conversation's information: the peer's devices recorded
    return conv;
}

// `n` envelopes from `from` into `conv` that never open, sent as they are
// and acknowledged by the server; false when not all were.
inline bool send_unopenable(Device &from, const bytes &conv, size_t n) {
    for (size_t i = 0; i < n; i++) {
        const bytes body = tlv(TAG_ENVELOPE, sealed_elsewhere(conv, from.uid, 100 + i));
        if (send_frame(from.cs.get(), FT_SEND, body.data(), body.size()) != 0) return false;
    }
    const size_t from_frame = from.seen.size();
    return from.until([&] {
        size_t acks = 0;
        for (size_t f = from_frame; f < from.seen.size(); f++) acks += from.seen[f].size() >= 8 && from.seen[f][3] == 136 ? 1 : 0;
        return acks >= n;
    });
}

// A group made by `creator` with one member per device given (the creator
// first), every member's listing taken by a sync; its id.
inline bytes make_group(std::initializer_list<Device *> devs) {
    std::vector<quorvane_member> members;
    for (Device *d : devs) members.push_back(member_of({d}));
    bytes conv = random_bytes(16);
    Device &creator = **devs.begin();
    EXPECT_EQ(quorvane_cs_create_conv(creator.cs.get(), conv.data(), random_bytes(32).data(), members.data(), members.size()), 0);
    for (Device *d : devs) EXPECT_TRUE(d->sync()) << d->user;
    return conv;
}

inline void expect_acks(const std::vector<SendResult> &got, const bytes &conv, const std::vector<uint64_t> &counters, int ok) {
    ASSERT_EQ(got.size(), counters.size());
    for (size_t i = 0; i < got.size(); i++) {
        EXPECT_EQ(hex(got[i].conv), hex(conv)) << i;
        EXPECT_EQ(got[i].counter, counters[i]) << i;
        EXPECT_EQ(got[i].ok, ok) << i;
    }
}

}  // namespace qvtest
