// Sending messages and group keys: what a signed-in session puts on the wire,
// captured by a scripted TLS peer and compared with bytes written here from
// the tag and body tables, sealed parts opened with the recipients' secret
// keys; and what it leaves in its own store, also after a reopen.
#include "client_send.h"
#include "quorvane_crypto.h"
#include "quorvane_x3dh.h"
#include "session_support.h"

#include <cstring>
#include <functional>

using namespace qvtest;

namespace {

using bytes = std::vector<uint8_t>;

bytes b(const uint8_t *p, size_t n) { return bytes(p, p + n); }
bytes s(const std::string &t) { return bytes(t.begin(), t.end()); }
bytes u8(uint8_t v) { return bytes{v}; }
bytes be32(uint32_t v) { return bytes{uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
bytes be64(uint64_t v) {
    bytes r(8);
    for (int i = 0; i < 8; i++) r[i] = static_cast<uint8_t>(v >> (56 - 8 * i));
    return r;
}
bytes rep(uint8_t v, size_t n) { return bytes(n, v); }

const uint8_t kSecret[32] = {7, 7, 7};
const bytes OWN = rep(0xA1, 16);
const bytes SERVER_KEY = rep(0x5E, 32);

// Sign-in as a server would answer it (role as given), then every frame recorded.
void serve(PeerConn &pc, Recorder &rec, uint8_t role) {
    bytes f;
    if (!pc.read_frame(&f) || !pc.write_record(frame_of(129, tlv(7, SERVER_KEY)))) return;
    if (!pc.read_frame(&f) || !pc.write_record(frame_of(131, tlv(11, rep(9, 32))))) return;
    if (!pc.read_frame(&f) || !pc.write_record(frame_of(132, cat({tlv(14, OWN), tlv(15, u8(role))})))) return;
    while (pc.read_frame(&f)) rec.add(f);
}

// A signed-in session with its own store, talking to a scripted peer.
struct Remote {
    TempDir dir;
    Keys keys;
    quorvane_msgstore *ms = nullptr;
    Recorder rec;
    std::unique_ptr<TlsPeer> peer;
    CsPtr cs;
    Remote() { ms = quorvane_msgstore_open(dir.path.c_str(), kSecret); }
    void start(uint8_t role = 0) {
        peer = std::make_unique<TlsPeer>([this, role](PeerConn &pc) { serve(pc, rec, role); });
        quorvane_cs_config c = base_config(peer->port, dir.file("pin"), "me", "pw", &keys.k);
        c.store = ms;
        cs.reset(quorvane_cs_new(&c));
        ASSERT_EQ(drive(cs.get()), QV_CS_SIGNED_IN);
        quorvane_cs_set_self_multidev(cs.get(), 0);
    }
    // Every frame the peer got once a sync (frame 8) sent last has arrived: the
    // frames before it are all a call left on the wire.
    std::vector<bytes> sent() {
        EXPECT_EQ(quorvane_cs_sync(cs.get()), 0);
        std::vector<bytes> got;
        EXPECT_TRUE(wait_until([&] { quorvane_cs_pump(cs.get()); got = rec.all(); return !got.empty() && got.back()[3] == 8; }, kWaitMs));
        if (!got.empty()) got.pop_back();
        rec.m.lock();
        rec.frames.clear();
        rec.m.unlock();
        return got;
    }
    // The store read afresh from its files, handed to the session in place of the old one.
    quorvane_msgstore *reopen() {
        quorvane_msgstore_close(ms);
        ms = quorvane_msgstore_open(dir.path.c_str(), kSecret);
        if (cs) cs->cfg.store = ms;
        return ms;
    }
    ~Remote() {
        cs.reset();
        if (peer) peer->join();
        quorvane_msgstore_close(ms);
    }
};

// The body inside frame 7, opened with the conversation key.
bytes open_envelope(const bytes &f, const bytes &key, quorvane_env_header *h) {
    if (f.size() < 13 || f[3] != 7) return {};
    bytes body(f.size());
    size_t bl = 0;
    if (quorvane_env_open(key.data(), f.data() + 13, f.size() - 13, h, body.data(), body.size(), &bl) != 0) return {};
    body.resize(bl);
    return body;
}

// A session that is never pumped queues frames until its send ring is full;
// after that every send fails as on a stalled connection.
void fill_send_queue(quorvane_cs *cs) {
    for (size_t i = 0; i <= QV_CNET_RING; i++)
        if (quorvane_cs_sync(cs) != 0) return;
    ADD_FAILURE() << "the send ring never filled";
}

// A session signed in without a connection, with its own store, whose send
// queue is already full: every frame it tries to queue is refused.
struct Stalled {
    TempDir dir;
    Keys keys;
    quorvane_msgstore *ms = quorvane_msgstore_open(dir.file("store").c_str(), kSecret);
    CsPtr cs;
    void start() {
        quorvane_cs_config cfg = base_config("1", dir.file("pin"), "me", "pw", &keys.k);
        cfg.store = ms;
        cs.reset(quorvane_cs_new(&cfg));
        quorvane_cs_test_signed_in(cs.get(), OWN.data());
        fill_send_queue(cs.get());
    }
    void reopen() {
        cs.reset();
        quorvane_msgstore_close(ms);
        ms = quorvane_msgstore_open(dir.file("store").c_str(), kSecret);
    }
    ~Stalled() {
        cs.reset();
        quorvane_msgstore_close(ms);
    }
};

bytes open_sealed(const uint8_t priv[32], const uint8_t *box, size_t n) {
    bytes out(n);
    size_t ol = 0;
    if (quorvane_open(priv, box, n, out.data(), out.size(), &ol) != 0) return {};
    out.resize(ol);
    return out;
}

quorvane_file_meta sample_file(uint8_t seed, const char *mime, const char *name) {
    quorvane_file_meta m{};
    std::memset(m.blob.storage_id, seed, sizeof m.blob.storage_id);
    std::memset(m.blob.blob_id, seed + 1, sizeof m.blob.blob_id);
    std::memset(m.blob.key, seed + 2, sizeof m.blob.key);
    std::memset(m.blob.salt, seed + 3, sizeof m.blob.salt);
    m.blob.chunk_count = 2;
    m.blob.size = 70000;
    std::memset(m.blob.hash, seed + 4, sizeof m.blob.hash);
    std::snprintf(m.mime, sizeof m.mime, "%s", mime);
    std::snprintf(m.name, sizeof m.name, "%s", name);
    return m;
}

// The blob reference as it travels: fields in order, integers big-endian.
bytes blob_bytes(uint8_t seed) {
    return cat({rep(seed, QV_BLOB_STORAGE_ID_LEN), rep(seed + 1, QV_BLOB_ID_LEN), rep(seed + 2, QV_BLOB_KEY_LEN),
                rep(seed + 3, QV_BLOB_SALT_LEN), be32(2), be64(70000), rep(seed + 4, QV_BLOB_DIGEST_LEN)});
}

}  // namespace

// Limits and refusals, each followed by what reached the peer: refused calls
// send nothing, accepted ones exactly one envelope with the body written here.
TEST(SendMessages, LimitsAndBodiesOnTheWire) {
    Remote r;
    const bytes conv = rep(0xC1, 16), key = rep(0x4B, 32), other = rep(0xB0, 16);
    ASSERT_EQ(quorvane_msgstore_put_conv(r.ms, conv.data(), key.data()), 0);
    r.start();
    const std::string t4096(4096, 'x'), t4097(4097, 'x'), q4071(4071, 'q'), q4072(4072, 'q');
    const std::string group100(100, 'g');
    quorvane_cs *cs = r.cs.get();
    const uint8_t *c = conv.data();
    struct Case {
        const char *name;
        std::function<int()> call;
        int rc;
        bytes body;  // empty: nothing may leave
    };
    const Case cases[] = {
        {"text 4097", [&] { return quorvane_cs_send_text(cs, c, t4097.c_str()); }, -1, {}},
        {"empty text", [&] { return quorvane_cs_send_text(cs, c, ""); }, -1, {}},
        {"null text", [&] { return quorvane_cs_send_text(cs, c, nullptr); }, -1, {}},
        {"text 4096", [&] { return quorvane_cs_send_text(cs, c, t4096.c_str()); }, 0, cat({u8(1), s(t4096)})},
        {"system", [&] { return quorvane_cs_send_system(cs, c, "joined"); }, 0, cat({u8(2), s("joined")})},
        {"reply 4072", [&] { return quorvane_cs_send_reply(cs, c, other.data(), 5, q4072.c_str()); }, -1, {}},
        {"reply 4071", [&] { return quorvane_cs_send_reply(cs, c, other.data(), 5, q4071.c_str()); }, 0,
         cat({u8(10), other, be64(5), s(q4071)})},
        {"edit 4072", [&] { return quorvane_cs_send_edit(cs, c, nullptr, 1, q4072.c_str()); }, -1, {}},
        {"edit 4071", [&] { return quorvane_cs_send_edit(cs, c, nullptr, 1, q4071.c_str()); }, 0, cat({u8(11), OWN, be64(1), s(q4071)})},
        {"edit for one device", [&] { return quorvane_cs_send_edit(cs, c, rep(0xDD, 32).data(), 1, "hi"); }, 0,
         cat({u8(15), rep(0xDD, 32), u8(11), OWN, be64(1), s("hi")})},
        {"sticker name 33", [&] { return quorvane_cs_send_sticker(cs, c, std::string(33, 's').c_str(), 3); }, -1, {}},
        {"empty sticker name", [&] { return quorvane_cs_send_sticker(cs, c, "", 3); }, -1, {}},
        {"sticker name 32", [&] { return quorvane_cs_send_sticker(cs, c, std::string(32, 's').c_str(), 0x01020304); }, 0,
         cat({u8(16), be32(0x01020304), u8(32), rep('s', 32)})},
        {"reaction", [&] { return quorvane_cs_send_reaction(cs, c, other.data(), nullptr, 9, "thumbs_up", 1); }, 0,
         cat({u8(9), other, be64(9), u8(1), u8(9), s("thumbs_up")})},
        {"reaction name outside a-z 0-9 _", [&] { return quorvane_cs_send_reaction(cs, c, other.data(), nullptr, 9, "Up", 1); }, -1, {}},
        {"reaction removed, one device, zero key unwrapped",
         [&] { return quorvane_cs_send_reaction(cs, c, other.data(), rep(0, 32).data(), 9, "ok", 0); }, 0,
         cat({u8(9), other, be64(9), u8(0), u8(2), s("ok")})},
        {"delete another's message without rights", [&] { return quorvane_cs_send_delete(cs, c, other.data(), nullptr, 9); }, -1, {}},
        {"delete an own message", [&] { return quorvane_cs_send_delete(cs, c, OWN.data(), rep(0xEE, 32).data(), 2); }, 0,
         cat({u8(15), rep(0xEE, 32), u8(8), OWN, be64(2)})},
        {"group name of 100 bytes", [&] { return quorvane_cs_send_group_name(cs, c, group100.c_str()); }, 0,
         cat({u8(6), u8(63), rep('g', 63)})},
        {"profile with both texts empty",
         [&] { return quorvane_msgstore_set_self_profile(r.ms, "", "") == 0 ? quorvane_cs_send_profile(cs, c) : 9; }, 0, {}},
        {"no own avatar", [&] { return quorvane_cs_send_avatar(cs, c); }, 0, {}},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(k.call(), k.rc);
        auto got = r.sent();
        if (k.body.empty()) {
            EXPECT_TRUE(got.empty());
            continue;
        }
        ASSERT_EQ(got.size(), 1u);
        quorvane_env_header h{};
        EXPECT_EQ(hex(open_envelope(got[0], key, &h)), hex(k.body));
        EXPECT_EQ(hex(h.sender_id, 16), hex(OWN));
        EXPECT_EQ(hex(h.conversation_id, 16), hex(conv));
    }

    // the profile and the avatar read what the store holds; the file kinds encode their records
    ASSERT_EQ(quorvane_msgstore_set_self_profile(r.ms, "Amy", "about me"), 0);
    const quorvane_file_meta av = sample_file(0x20, "image/png", "a.png");
    ASSERT_EQ(quorvane_msgstore_set_self_avatar(r.ms, &av), 0);
    const quorvane_file_meta file = sample_file(0x30, "text/plain", "notes.txt");
    const quorvane_file_meta gav = sample_file(0x40, "image/png", "");
    const Case stored[] = {
        {"profile", [&] { return quorvane_cs_send_profile(cs, c); }, 0, cat({u8(3), u8(3), s("Amy"), u8(8), s("about me")})},
        {"avatar", [&] { return quorvane_cs_send_avatar(cs, c); }, 0,
         cat({u8(5), blob_bytes(0x20), u8(9), s("image/png"), u8(5), s("a.png")})},
        {"file", [&] { return quorvane_cs_send_file(cs, c, &file); }, 0,
         cat({u8(4), blob_bytes(0x30), u8(10), s("text/plain"), u8(9), s("notes.txt")})},
        {"group avatar", [&] { return quorvane_cs_send_group_avatar(cs, c, &gav); }, 0,
         cat({u8(7), blob_bytes(0x40), u8(9), s("image/png"), u8(0)})},
    };
    for (const auto &k : stored) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(k.call(), k.rc);
        auto got = r.sent();
        ASSERT_EQ(got.size(), 1u);
        quorvane_env_header h{};
        EXPECT_EQ(hex(open_envelope(got[0], key, &h)), hex(k.body));
    }
}

// A delete of another member's message passes with a conversation role that may
// delete, or with server role 1, and then removes the stored message.
TEST(SendMessages, DeleteRights) {
    const bytes conv = rep(0xC2, 16), key = rep(0x4C, 32), other = rep(0xB0, 16);
    struct Case {
        const char *name;
        uint8_t server_role, member_role;
        int rc;
    };
    const Case cases[] = {{"plain member", 0, 0, -1}, {"server role 1", 1, 0, 0}, {"conversation role 2", 0, 2, 0},
                          {"server role 2", 2, 0, -1}};
    for (const auto &k : cases) {
        SCOPED_TRACE(k.name);
        Remote r;
        ASSERT_EQ(quorvane_msgstore_put_conv(r.ms, conv.data(), key.data()), 0);
        const uint8_t users[2][16] = {{0xA1, 0xA1, 0xA1, 0xA1, 0xA1, 0xA1, 0xA1, 0xA1, 0xA1, 0xA1, 0xA1, 0xA1, 0xA1, 0xA1, 0xA1, 0xA1},
                                      {0xB0, 0xB0, 0xB0, 0xB0, 0xB0, 0xB0, 0xB0, 0xB0, 0xB0, 0xB0, 0xB0, 0xB0, 0xB0, 0xB0, 0xB0, 0xB0}};
        const uint8_t idk[2][32] = {{1}, {2}}, sk[2][32] = {{3}, {4}};
        const uint8_t roles[2] = {k.member_role, 0};
        ASSERT_EQ(quorvane_msgstore_set_members(r.ms, conv.data(), users, idk, sk, roles, 2), 0);
        quorvane_ms_msgrec m{};
        std::memcpy(m.conv_id, conv.data(), 16);
        std::memcpy(m.author, other.data(), 16);
        m.msg_id = 9;
        m.type = 1;
        std::memcpy(m.text, "hi", 2);
        m.text_len = 2;
        ASSERT_EQ(quorvane_msgstore_add_msg(r.ms, &m), 1);
        r.start(k.server_role);
        EXPECT_EQ(quorvane_cs_send_delete(r.cs.get(), conv.data(), other.data(), nullptr, 9), k.rc);
        auto got = r.sent();
        quorvane_ms_msgrec back{};
        ASSERT_EQ(quorvane_msgstore_find_msg(r.ms, conv.data(), other.data(), 9, &back), 0);
        if (k.rc != 0) {
            EXPECT_TRUE(got.empty());
            EXPECT_EQ(back.type, 1);
            continue;
        }
        ASSERT_EQ(got.size(), 1u);
        quorvane_env_header h{};
        EXPECT_EQ(hex(open_envelope(got[0], key, &h)), hex(cat({u8(8), other, be64(9)})));
        EXPECT_EQ(back.type, QV_MS_TYPE_DELETED);
    }
}

// The own copy: author, device, counter, time and status as the send reported
// them, and the body each kind keeps; edits, reactions and group names act on
// the store instead. It survives a reopen.
TEST(SendMessages, OwnCopyAsTheTableSays) {
    Remote r;
    const bytes conv = rep(0xC3, 16), key = rep(0x4D, 32), other = rep(0xB0, 16);
    ASSERT_EQ(quorvane_msgstore_put_conv(r.ms, conv.data(), key.data()), 0);
    r.start();
    quorvane_cs *cs = r.cs.get();
    const uint8_t *c = conv.data();
    quorvane_cs_set_self_multidev(cs, 1);  // the wrapped path reports this device
    ASSERT_EQ(quorvane_cs_send_text(cs, c, "first"), 0);
    quorvane_cs_set_self_multidev(cs, 0);
    ASSERT_EQ(quorvane_cs_send_system(cs, c, "sys"), 0);
    ASSERT_EQ(quorvane_cs_send_sticker(cs, c, "cat", 7), 0);
    ASSERT_EQ(quorvane_cs_send_reply(cs, c, other.data(), 4, "re"), 0);
    const quorvane_file_meta file = sample_file(0x30, "text/plain", "n.txt");
    ASSERT_EQ(quorvane_cs_send_file(cs, c, &file), 0);
    ASSERT_EQ(quorvane_cs_send_edit(cs, c, nullptr, 2, "sys2"), 0);  // a system body is not text: the store keeps it
    ASSERT_EQ(quorvane_cs_send_edit(cs, c, nullptr, 1, "first, edited"), 0);
    ASSERT_EQ(quorvane_cs_send_reaction(cs, c, OWN.data(), nullptr, 1, "ok", 1), 0);
    ASSERT_EQ(quorvane_cs_send_group_name(cs, c, std::string(100, 'n').c_str()), 0);
    auto got = r.sent();
    ASSERT_EQ(got.size(), 9u);

    struct Want {
        uint8_t type;
        bytes text;
        bool wrapped;
    };
    const Want want[] = {
        {1, s("first, edited"), true},
        {2, s("sys"), false},
        {16, s("cat"), false},
        {10, cat({u8(10), other, be64(4), s("re")}), false},
        {4, cat({u8(4), blob_bytes(0x30), u8(10), s("text/plain"), u8(5), s("n.txt")}), false},
    };
    auto check = [&](quorvane_msgstore *ms) {
        ASSERT_EQ(quorvane_msgstore_msg_count(ms, c), std::size(want));
        for (size_t i = 0; i < std::size(want); i++) {
            SCOPED_TRACE(i);
            quorvane_ms_msgrec m{};
            ASSERT_EQ(quorvane_msgstore_msg_at(ms, c, i, &m), 0);
            quorvane_env_header h{};
            (void)open_envelope(got[i], key, &h);
            EXPECT_EQ(m.type, want[i].type);
            EXPECT_EQ(m.send_status, 1);
            EXPECT_EQ(hex(m.author, 16), hex(OWN));
            EXPECT_EQ(m.msg_id, h.counter);
            EXPECT_EQ(m.time, h.time);
            EXPECT_EQ(hex(m.author_device, 32), want[i].wrapped ? hex(r.keys.k.device_x25519_pub, 32) : hex(rep(0, 32)));
            EXPECT_EQ(hex(m.text, m.text_len), hex(want[i].text));
            quorvane_cleanse(&m, sizeof m);
        }
        quorvane_ms_reaction_count rc[2]{};
        ASSERT_EQ(quorvane_msgstore_reactions(ms, c, OWN.data(), nullptr, 1, OWN.data(), rc, 2), 1u);
        EXPECT_STREQ(rc[0].name, "ok");
        EXPECT_EQ(rc[0].mine, 1u);
        char name[64] = {};
        ASSERT_EQ(quorvane_msgstore_get_group_name(ms, c, name, sizeof name), 1);
        EXPECT_EQ(std::string(name), std::string(63, 'n'));
    };
    check(r.ms);
    ASSERT_NE(r.reopen(), nullptr);
    check(r.ms);
}

// Refused before anything is looked at: not signed in, no store; and a send
// the connection cannot take leaves no own copy and no group name.
TEST(SendMessages, RefusedWithoutStoreOrConnection) {
    TempDir dir;
    Keys keys;
    const bytes conv = rep(0xC4, 16), key = rep(0x4E, 32);
    quorvane_cs_config cfg = base_config("1", dir.file("pin"), "me", "pw", &keys.k);
    CsPtr bare(quorvane_cs_new(&cfg));
    EXPECT_EQ(quorvane_cs_send_text(bare.get(), conv.data(), "x"), -1);  // not signed in
    quorvane_cs_test_signed_in(bare.get(), OWN.data());
    EXPECT_EQ(quorvane_cs_send_text(bare.get(), conv.data(), "x"), -1);  // no store
    EXPECT_EQ(quorvane_cs_send_group_name(bare.get(), conv.data(), "x"), -1);
    EXPECT_EQ(quorvane_cs_send_profile(bare.get(), conv.data()), 0);  // nothing to send
    EXPECT_EQ(quorvane_cs_send_avatar(bare.get(), conv.data()), 0);
    EXPECT_EQ(quorvane_cs_send_text(nullptr, conv.data(), "x"), -1);

    Stalled st;
    ASSERT_EQ(quorvane_msgstore_put_conv(st.ms, conv.data(), key.data()), 0);
    st.start();
    EXPECT_EQ(quorvane_cs_send_text(st.cs.get(), conv.data(), "x"), -1);
    EXPECT_EQ(quorvane_cs_send_group_name(st.cs.get(), conv.data(), "named"), -1);
    EXPECT_EQ(quorvane_msgstore_msg_count(st.ms, conv.data()), 0u);
    char name[64] = {};
    EXPECT_EQ(quorvane_msgstore_get_group_name(st.ms, conv.data(), name, sizeof name), 0);
}

// ---- group keys ----

namespace {

// A member with its identity sealing key and its devices' keys, all real.
struct Member {
    bytes uid;
    Keys ident;
    std::vector<std::unique_ptr<Keys>> devs;
    Member(const bytes &id, size_t devices) : uid(id) {
        for (size_t i = 0; i < devices; i++) devs.push_back(std::make_unique<Keys>());
    }
    quorvane_member rec() const {
        quorvane_member m{};
        std::memcpy(m.user_id, uid.data(), 16);
        std::memcpy(m.identity, ident.k.device_x25519_pub, 32);
        m.device_count = devs.size();
        for (size_t i = 0; i < devs.size(); i++) {
            std::memcpy(m.devices[i], devs[i]->k.device_x25519_pub, 32);
            std::memcpy(m.devices[i] + 32, devs[i]->k.device_ed25519_pub, 32);
        }
        return m;
    }
    bytes dev_id(size_t i) const {
        uint8_t id[16];
        EXPECT_EQ(quorvane_device_id(devs[i]->k.device_x25519_pub, devs[i]->k.device_ed25519_pub, id), 0);
        return b(id, 16);
    }
};

// Reads frame 17 record by record as the tag table lays it out: 17 conversation,
// then per member 19 user id and 18 the key sealed to the identity (80 bytes), then
// 51 per device (user id, device id, key sealed to the device, 112 bytes); last an
// optional 84. Each sealed key is opened with the secret it was meant for.
struct KeyFrame {
    bytes conv;
    std::vector<std::pair<bytes, bytes>> members;            // user id, sealed key
    std::vector<std::tuple<bytes, bytes, bytes>> devices;    // user id, device id, sealed key
    bytes old_keys;                                          // record 84, empty when absent
    bool ok = false;
};

KeyFrame read_key_frame(const bytes &f) {
    KeyFrame k;
    if (f.size() < 8 || f[0] != 0x48 || f[1] != 0x52 || f[2] != 1 || f[3] != 17) return k;
    const uint32_t len = (uint32_t(f[4]) << 24) | (uint32_t(f[5]) << 16) | (uint32_t(f[6]) << 8) | f[7];
    if (len != f.size() - 8) return k;
    size_t p = 8;
    while (p + 5 <= f.size()) {
        const uint8_t tag = f[p];
        const uint32_t l = (uint32_t(f[p + 1]) << 24) | (uint32_t(f[p + 2]) << 16) | (uint32_t(f[p + 3]) << 8) | f[p + 4];
        if (p + 5 + l > f.size()) return k;
        const bytes v(f.begin() + p + 5, f.begin() + p + 5 + l);
        p += 5 + l;
        if (tag == 17 && l == 16 && k.conv.empty()) k.conv = v;
        else if (tag == 19 && l == 16) k.members.push_back({v, {}});
        else if (tag == 18 && l == 80 && !k.members.empty()) k.members.back().second = v;
        else if (tag == 51 && l == 112) k.devices.push_back({bytes(v.begin(), v.begin() + 16), bytes(v.begin() + 16, v.begin() + 32),
                                                             bytes(v.begin() + 32, v.end())});
        else if (tag == 84 && p == f.size()) k.old_keys = v;
        else return k;
    }
    k.ok = p == f.size();
    return k;
}

std::vector<bytes> of_type(const std::vector<bytes> &frames, uint8_t t) {
    std::vector<bytes> r;
    for (const auto &f : frames)
        if (f.size() >= 8 && f[3] == t) r.push_back(f);
    return r;
}

}  // namespace

// A rekey: the frame lists every member and device with the new key sealed to
// each; the store then holds the new key current and the old one among the
// older keys (also after a reopen); the group meta follows under the new key
// only when we are among the members.
TEST(GroupKeys, RekeyFrameStoreAndReannounce) {
    const bytes conv = rep(0xD1, 16), k0 = rep(0x10, 32), k1 = rep(0x11, 32);
    for (bool with_self : {true, false}) {
        SCOPED_TRACE(with_self ? "we are a member" : "we are not listed");
        Remote r;
        ASSERT_EQ(quorvane_msgstore_put_conv(r.ms, conv.data(), k0.data()), 0);
        ASSERT_EQ(quorvane_msgstore_set_group_name(r.ms, conv.data(), "team"), 0);
        const quorvane_file_meta gav = sample_file(0x40, "image/png", "");
        ASSERT_EQ(quorvane_msgstore_set_group_avatar(r.ms, conv.data(), &gav), 0);
        r.start();
        Member bob(rep(0xB0, 16), 2), me(with_self ? OWN : rep(0xC0, 16), 1);
        const quorvane_member list[2] = {bob.rec(), me.rec()};
        ASSERT_EQ(quorvane_cs_group_rekey(r.cs.get(), conv.data(), k1.data(), list, 2), 0);
        auto got = r.sent();
        ASSERT_GE(got.size(), 1u);
        const KeyFrame k = read_key_frame(got[0]);
        ASSERT_TRUE(k.ok);
        EXPECT_EQ(hex(k.conv), hex(conv));
        ASSERT_EQ(k.members.size(), 2u);
        EXPECT_EQ(hex(k.members[0].first), hex(bob.uid));
        EXPECT_EQ(hex(k.members[1].first), hex(me.uid));
        EXPECT_EQ(hex(open_sealed(bob.ident.k.device_x25519_priv, k.members[0].second.data(), 80)), hex(k1));
        EXPECT_EQ(hex(open_sealed(me.ident.k.device_x25519_priv, k.members[1].second.data(), 80)), hex(k1));
        ASSERT_EQ(k.devices.size(), 3u);
        const std::pair<const Member *, size_t> owners[3] = {{&bob, 0}, {&bob, 1}, {&me, 0}};
        for (size_t i = 0; i < 3; i++) {
            const auto &[uid, did, box] = k.devices[i];
            EXPECT_EQ(hex(uid), hex(owners[i].first->uid));
            EXPECT_EQ(hex(did), hex(owners[i].first->dev_id(owners[i].second)));
            EXPECT_EQ(hex(open_sealed(owners[i].first->devs[owners[i].second]->k.device_x25519_priv, box.data(), 80)), hex(k1));
        }
        EXPECT_TRUE(k.old_keys.empty());
        // the group meta, sealed under the new key
        const auto env = of_type(got, 7);
        if (with_self) {
            ASSERT_EQ(env.size(), 2u);
            quorvane_env_header h{};
            EXPECT_EQ(hex(open_envelope(env[0], k1, &h)), hex(cat({u8(6), u8(4), s("team")})));
            EXPECT_EQ(hex(open_envelope(env[1], k1, &h)), hex(cat({u8(7), blob_bytes(0x40), u8(9), s("image/png"), u8(0)})));
        } else {
            EXPECT_TRUE(env.empty());
        }
        EXPECT_EQ(got.size(), 1 + env.size());
        auto check = [&](quorvane_msgstore *ms) {
            uint8_t keys[8][32];
            ASSERT_EQ(quorvane_msgstore_get_conv_keys(ms, conv.data(), keys, 8), 2u);
            EXPECT_EQ(hex(keys[0], 32), hex(k1));
            EXPECT_EQ(hex(keys[1], 32), hex(k0));
        };
        check(r.ms);
        ASSERT_NE(r.reopen(), nullptr);
        check(r.ms);
    }
}

// A rekey whose frame cannot be queued leaves the key it would replace current,
// and the older keys as they were, in memory and on disk: later messages must
// stay readable by the members, who never got the new key.
TEST(GroupKeys, FailedRekeyKeepsTheOldKey) {
    const bytes conv = rep(0xD2, 16), k_old = rep(0x20, 32), k0 = rep(0x21, 32), k1 = rep(0x22, 32);
    Stalled st;
    ASSERT_EQ(quorvane_msgstore_put_conv(st.ms, conv.data(), k_old.data()), 0);
    ASSERT_EQ(quorvane_msgstore_put_conv(st.ms, conv.data(), k0.data()), 0);
    st.start();  // the key frame cannot be queued
    Member bob(rep(0xB0, 16), 1), me(OWN, 1);
    const quorvane_member list[2] = {bob.rec(), me.rec()};
    EXPECT_EQ(quorvane_cs_group_rekey(st.cs.get(), conv.data(), k1.data(), list, 2), -1);
    EXPECT_EQ(quorvane_cs_group_rekey_exclude(st.cs.get(), conv.data(), list, 2, bob.devs[0]->k.device_x25519_pub), -1);
    for (int pass = 0; pass < 2; pass++) {
        SCOPED_TRACE(pass == 0 ? "in memory" : "after a reopen");
        ASSERT_NE(st.ms, nullptr);
        uint8_t held[8][32];
        ASSERT_EQ(quorvane_msgstore_get_conv_keys(st.ms, conv.data(), held, 8), 2u);
        EXPECT_EQ(hex(held[0], 32), hex(k0));
        EXPECT_EQ(hex(held[1], 32), hex(k_old));
        st.reopen();
    }
}

// Excluding a device: a fresh key, that device's entry gone from its member
// (the other devices in order), everyone else served as before.
TEST(GroupKeys, RekeyExcludingADevice) {
    Remote r;
    const bytes conv = rep(0xD3, 16), k0 = rep(0x30, 32);
    ASSERT_EQ(quorvane_msgstore_put_conv(r.ms, conv.data(), k0.data()), 0);
    r.start();
    Member bob(rep(0xB0, 16), 3), me(OWN, 1);
    const quorvane_member list[2] = {bob.rec(), me.rec()};
    ASSERT_EQ(quorvane_cs_group_rekey_exclude(r.cs.get(), conv.data(), list, 2, bob.devs[1]->k.device_x25519_pub), 0);
    auto got = r.sent();
    ASSERT_GE(got.size(), 1u);
    const KeyFrame k = read_key_frame(got[0]);
    ASSERT_TRUE(k.ok);
    uint8_t fresh[32];
    ASSERT_EQ(quorvane_msgstore_get_conv(r.ms, conv.data(), fresh), 1);
    EXPECT_NE(hex(fresh, 32), hex(k0));
    ASSERT_EQ(k.devices.size(), 3u);
    const std::pair<const Member *, size_t> owners[3] = {{&bob, 0}, {&bob, 2}, {&me, 0}};
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(hex(std::get<1>(k.devices[i])), hex(owners[i].first->dev_id(owners[i].second)));
        EXPECT_EQ(hex(open_sealed(owners[i].first->devs[owners[i].second]->k.device_x25519_priv, std::get<2>(k.devices[i]).data(), 80)),
                  hex(fresh, 32));
    }
    // the excluded device opens none of them
    for (const auto &d : k.devices) EXPECT_TRUE(open_sealed(bob.devs[1]->k.device_x25519_priv, std::get<2>(d).data(), 80).empty());
    EXPECT_EQ(hex(list[0].devices[1], 32), hex(bob.devs[1]->k.device_x25519_pub, 32));  // the caller's list is untouched
}

// Reseal and grant: the current key to the listed members; a grant adds one
// record 84 (device id, older keys sealed to that device) only when older keys
// exist; both re-announce the group name; no key held refuses.
TEST(GroupKeys, ResealAndGrant) {
    const bytes conv = rep(0xD4, 16), k0 = rep(0x40, 32), k1 = rep(0x41, 32), k2 = rep(0x42, 32);
    Member bob(rep(0xB0, 16), 1), newdev(OWN, 1);
    struct Case {
        const char *name;
        std::vector<bytes> keys;  // put in order: the last is current
        bool grant;
        bytes older;              // what record 84 must open to; empty: no record
    };
    const Case cases[] = {
        {"reseal", {k0, k1}, false, {}},
        {"grant with only the current key", {k2}, true, {}},
        {"grant with two older keys", {k0, k1, k2}, true, cat({k1, k0})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Remote r;
        for (const auto &k : c.keys) ASSERT_EQ(quorvane_msgstore_put_conv(r.ms, conv.data(), k.data()), 0);
        ASSERT_EQ(quorvane_msgstore_set_group_name(r.ms, conv.data(), "team"), 0);
        r.start();
        const quorvane_member list[2] = {bob.rec(), newdev.rec()};
        const auto &d = newdev.devs[0]->k;
        const int rc = c.grant ? quorvane_cs_group_reseal_grant(r.cs.get(), conv.data(), list, 2, d.device_x25519_pub, d.device_ed25519_pub)
                               : quorvane_cs_group_reseal(r.cs.get(), conv.data(), list, 2);
        ASSERT_EQ(rc, 0);
        auto got = r.sent();
        ASSERT_EQ(got.size(), 2u);
        const KeyFrame k = read_key_frame(got[0]);
        ASSERT_TRUE(k.ok);
        const bytes &current = c.keys.back();
        ASSERT_EQ(k.devices.size(), 2u);
        EXPECT_EQ(hex(open_sealed(d.device_x25519_priv, std::get<2>(k.devices[1]).data(), 80)), hex(current));
        if (c.older.empty()) {
            EXPECT_TRUE(k.old_keys.empty());
        } else {
            ASSERT_EQ(k.old_keys.size(), 16 + c.older.size() + QV_SEAL_OVERHEAD);
            EXPECT_EQ(hex(bytes(k.old_keys.begin(), k.old_keys.begin() + 16)), hex(newdev.dev_id(0)));
            EXPECT_EQ(hex(open_sealed(d.device_x25519_priv, k.old_keys.data() + 16, k.old_keys.size() - 16)), hex(c.older));
            EXPECT_TRUE(open_sealed(bob.devs[0]->k.device_x25519_priv, k.old_keys.data() + 16, k.old_keys.size() - 16).empty());
        }
        quorvane_env_header h{};
        EXPECT_EQ(hex(open_envelope(got[1], current, &h)), hex(cat({u8(6), u8(4), s("team")})));
        uint8_t held[32];
        ASSERT_EQ(quorvane_msgstore_get_conv(r.ms, conv.data(), held), 1);
        EXPECT_EQ(hex(held, 32), hex(current));  // nothing stored
    }
    Remote r;  // no key held
    r.start();
    const quorvane_member list[1] = {bob.rec()};
    const auto &d = newdev.devs[0]->k;
    EXPECT_EQ(quorvane_cs_group_reseal(r.cs.get(), conv.data(), list, 1), -1);
    EXPECT_EQ(quorvane_cs_group_reseal_grant(r.cs.get(), conv.data(), list, 1, d.device_x25519_pub, d.device_ed25519_pub), -1);
    EXPECT_EQ(quorvane_cs_group_rekey(r.cs.get(), conv.data(), rep(1, 32).data(), list, 0), -1);  // no members
    EXPECT_TRUE(r.sent().empty());
}
