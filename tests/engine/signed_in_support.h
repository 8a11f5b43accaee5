// Fixtures of the signed-in suites: byte builders for frames written by hand, a
// session put straight into the signed-in state with its own store and keys
// (frames are handed to it directly), and a scripted server that signs a real
// session in and records every frame it sends.
#pragma once

#include "client_authed.h"
#include "quorvane_crypto.h"
#include "session_support.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qvtest {

using bytes = std::vector<uint8_t>;

inline bytes b(const uint8_t *p, size_t n) { return bytes(p, p + n); }
inline bytes u8(uint8_t v) { return bytes{v}; }
inline bytes be32(uint32_t v) { return bytes{uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
inline bytes be64(uint64_t v) {
    bytes r(8);
    for (int i = 0; i < 8; i++) r[i] = static_cast<uint8_t>(v >> (56 - 8 * i));
    return r;
}
inline bytes rep(uint8_t v, size_t n) { return bytes(n, v); }
inline bytes sealed_to(const uint8_t pub[32], const bytes &pt) {
    bytes box(pt.size() + QV_SEAL_OVERHEAD);
    size_t n = 0;
    EXPECT_EQ(quorvane_seal(pub, pt.data(), pt.size(), box.data(), box.size(), &n), 0);
    return box;
}

inline const uint8_t kStoreSecret[32] = {4, 4, 4};
inline const bytes OWN = rep(0xA1, 16);             // our user id
inline const bytes SERVER_KEY = rep(0x5E, 32);

// Device keys: fresh, or another device of the account whose identity seed is given.
inline void rebuild_keys(Keys &keys, const uint8_t *identity_seed) {
    if (!identity_seed) return;
    quorvane_device_keys_cleanse(&keys.k);
    EXPECT_EQ(quorvane_client_store_build(identity_seed, &keys.k), 0);
}

// A session put straight into the signed-in state, with its own store and keys.
struct Local {
    TempDir dir;
    Keys keys;
    quorvane_msgstore *ms = nullptr;
    CsPtr cs;
    std::string pin;
    explicit Local(bool with_store = true, const uint8_t *identity_seed = nullptr) {
        rebuild_keys(keys, identity_seed);
        if (with_store) ms = quorvane_msgstore_open(dir.path.c_str(), kStoreSecret);
        pin = dir.file("pin");
        quorvane_cs_config c = base_config("1", pin, "me", "pw", &keys.k);
        c.store = ms;
        cs.reset(quorvane_cs_new(&c));
        quorvane_cs_test_signed_in(cs.get(), OWN.data());
    }
    ~Local() {
        cs.reset();
        quorvane_msgstore_close(ms);
    }
    void feed(uint8_t type, const bytes &payload) {
        bytes f = frame_of(type, payload);
        handle_authed_frame(cs.get(), f.data(), f.size());
    }
    size_t keys_of(const bytes &conv, uint8_t (*out)[32]) { return quorvane_msgstore_get_conv_keys(ms, conv.data(), out, 8); }
    void no_connection() {  // every send fails from here on
        quorvane_cnet_free(cs->cnet);
        cs->cnet = nullptr;
    }
};

// The sign-in exchange of a server, then every frame recorded; `answer`
// may reply to each recorded frame.
inline void serve(PeerConn &pc, Recorder &rec, const std::function<bytes(const bytes &)> &answer = nullptr,
                  const bytes &server_key = SERVER_KEY) {
    bytes f;
    if (!pc.read_frame(&f) || !pc.write_record(frame_of(129, tlv(7, server_key)))) return;
    if (!pc.read_frame(&f) || !pc.write_record(frame_of(131, tlv(11, rep(9, 32))))) return;
    if (!pc.read_frame(&f) || !pc.write_record(frame_of(132, cat({tlv(14, OWN), tlv(15, u8(0))})))) return;
    while (pc.read_frame(&f)) {
        rec.add(f);
        if (answer) {
            bytes a = answer(f);
            if (!a.empty() && !pc.write_record(a)) return;
        }
    }
}

// A real session signed in by the scripted server.
struct Remote {
    TempDir dir;
    Keys keys;
    quorvane_msgstore *ms = nullptr;
    Recorder rec;
    std::unique_ptr<TlsPeer> peer;
    CsPtr cs;
    std::function<bytes(const bytes &)> answer;
    bytes server_key = SERVER_KEY;                          // the static key frame 129 carries
    quorvane_emoji_cache *pack0 = nullptr, *pack1 = nullptr;  // emoji caches of the session
    explicit Remote(bool with_store = true, std::function<bytes(const bytes &)> fn = nullptr, const uint8_t *identity_seed = nullptr)
        : answer(std::move(fn)) {
        rebuild_keys(keys, identity_seed);
        if (with_store) ms = quorvane_msgstore_open(dir.path.c_str(), kStoreSecret);
    }
    // The peer listens only from here on: filling a large store first must not
    // run out its wait for the session.
    void start() {
        peer = std::make_unique<TlsPeer>([this, key = server_key](PeerConn &pc) { serve(pc, rec, answer, key); });
        quorvane_cs_config c = base_config(peer->port, dir.file("pin"), "me", "pw", &keys.k);
        c.store = ms;
        c.emoji_pack0 = pack0;
        c.emoji_pack1 = pack1;
        cs.reset(quorvane_cs_new(&c));
        ASSERT_EQ(drive(cs.get()), QV_CS_SIGNED_IN);
    }
    // generous: under ThreadSanitizer on a loaded machine the frames can take tens of seconds
    std::vector<bytes> wait_frames(size_t n, int limit_ms = 60000) {
        EXPECT_TRUE(wait_until([&] { quorvane_cs_pump(cs.get()); return rec.all().size() >= n; }, limit_ms));
        return rec.all();
    }
    ~Remote() {
        cs.reset();
        if (peer) peer->join();
        quorvane_msgstore_close(ms);
    }
};

}  // namespace qvtest
