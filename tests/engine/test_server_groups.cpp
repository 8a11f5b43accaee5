// Group keys, key requests, presence, typing and read state, revocation,
// history between own devices and back-fill through the real server program
// over TLS on loopback. Bodies come from the client's own builders where they
// exist (build_conv_payload, quorvane_env_seal, quorvane_seal); the frames the
// client reads are checked record by record.
#include "relay_support.h"

#include "server_store.h"

#include <thread>

using namespace qvrelay;

namespace {

// Opens a sealed box with a device's X25519 key; empty when it does not open.
bytes open_with(const Device &d, const bytes &sealed) {
    bytes out(sealed.size());
    size_t n = 0;
    if (sealed.empty() || quorvane_open(d.x_priv, sealed.data(), sealed.size(), out.data(), out.size(), &n) != 0) return {};
    out.resize(n);
    return out;
}

bytes sealed_to(const Device &d, const bytes &plain) {
    bytes out(plain.size() + 48);
    size_t n = 0;
    EXPECT_EQ(quorvane_seal(d.x_pub, plain.data(), plain.size(), out.data(), out.size(), &n), 0);
    out.resize(n);
    return out;
}

// A member whose member-wide key is sealed to its identity key, which no device holds.
quorvane_member member_sealed_to_identity(const Account &a, const bytes &uid, const std::vector<const Device *> &devs) {
    quorvane_member m = member_of(a, uid, devs);
    std::memcpy(m.identity, a.first.id_pub, 32);
    return m;
}

// Three users in one group: amy with two devices, ben and cy with one.
struct Group {
    ServerProc srv;
    Account amy{"amy"}, ben{"ben"}, cy{"cy"}, dave{"dave"};
    Device amy2{amy.first};
    std::unique_ptr<Dev> a1, a2, b1, c1, d1;
    bytes amy_id, ben_id, cy_id, dave_id, conv = random_bytes(16), key = random_bytes(32);
    bool up() {
        if (!srv.start()) return false;
        for (Account *a : {&amy, &ben, &cy, &dave})
            if (reg(srv, *a, a->first, a->auth) != 0) return false;
        if (reg(srv, amy, amy2, amy.auth) != 0) return false;
        a1 = std::make_unique<Dev>(srv, amy, amy.first);
        a2 = std::make_unique<Dev>(srv, amy, amy2);
        b1 = std::make_unique<Dev>(srv, ben, ben.first);
        c1 = std::make_unique<Dev>(srv, cy, cy.first);
        d1 = std::make_unique<Dev>(srv, dave, dave.first);
        amy_id = a1->c.user_id, ben_id = b1->c.user_id, cy_id = c1->c.user_id, dave_id = d1->c.user_id;
        for (Dev *d : all()) d->sync();
        if (!a1->c.send(24, conv_payload(conv, key, members(true)))) return false;
        for (Dev *d : {a1.get(), a2.get(), b1.get(), c1.get()})
            if (find(d->c.read_type(151), 17) != conv) return false;
        return true;
    }
    std::vector<quorvane_member> members(bool with_cy_device) {
        return {member_sealed_to_identity(amy, amy_id, {&amy.first, &amy2}), member_sealed_to_identity(ben, ben_id, {&ben.first}),
                member_sealed_to_identity(cy, cy_id, with_cy_device ? std::vector<const Device *>{&cy.first} : std::vector<const Device *>{})};
    }
    std::vector<Dev *> all() { return {a1.get(), a2.get(), b1.get(), c1.get(), d1.get()}; }
};

}  // namespace

// A rekey that leaves out cy's device: that device's information carries a
// key it cannot open, every other device's opens to the new key; a reseal
// with older keys for cy's device (record 84) reaches it and opens to the old
// key. Only a member may send a group key, and a rekey without a member takes
// it out of the conversation.
TEST(ServerGroups, RekeyExcludeAndResealGrant) {
    Group g;
    ASSERT_TRUE(g.up());
    bytes key2 = random_bytes(32);
    ASSERT_TRUE(g.a1->c.send(17, conv_payload(g.conv, key2, g.members(false))));
    struct { const char *name; Dev *d; const Device *keys; bool opens; } views[] = {
        {"amy's first device", g.a1.get(), &g.amy.first, true},
        {"amy's second device", g.a2.get(), &g.amy2, true},
        {"ben", g.b1.get(), &g.ben.first, true},
        {"cy, left out", g.c1.get(), &g.cy.first, false},
    };
    for (auto &v : views) {
        SCOPED_TRACE(v.name);
        bytes f = v.d->c.read_type(151);
        ASSERT_EQ(hex(find(f, 17)), hex(g.conv));
        bytes got = open_with(*v.keys, find(f, 18));
        if (v.opens) {
            EXPECT_EQ(hex(got), hex(key2));
        } else {
            EXPECT_TRUE(got.empty()) << "cy's device opened the new key";
        }
        EXPECT_FALSE(has(f, 84));
    }
    EXPECT_TRUE(of_type(before_marker(*g.d1), 151).empty()) << "dave is no member";

    // The grant: the current key for everyone and the older one sealed to cy's device.
    bytes grant = cat({g.cy.first.dev_id(), sealed_to(g.cy.first, g.key)});
    ASSERT_TRUE(g.a1->c.send(17, cat({conv_payload(g.conv, key2, g.members(true)), tlv(84, grant)})));
    bytes f = g.c1->c.read_type(151);
    EXPECT_EQ(hex(open_with(g.cy.first, find(f, 18))), hex(key2));
    bytes rec = find(f, 84);
    ASSERT_EQ(rec.size(), grant.size());
    EXPECT_EQ(hex(rec.data(), 16), hex(g.cy.first.dev_id()));
    EXPECT_EQ(hex(open_with(g.cy.first, bytes(rec.begin() + 16, rec.end()))), hex(g.key));
    bytes other = g.b1->c.read_type(151);
    EXPECT_FALSE(has(other, 84)) << "a record for cy's device went to ben";
    // And it is kept: cy's next sync carries it again.
    auto synced = of_type(g.c1->sync(), 151);
    ASSERT_EQ(synced.size(), 1u);
    EXPECT_EQ(hex(find(synced[0], 84)), hex(grant));
    EXPECT_EQ(of_type(before_marker(*g.a1), 151).size(), 1u) << "the granting member's own information";

    // Refused group keys change nothing: dave is no member; malformed records.
    bytes bad_grant = cat({conv_payload(g.conv, key2, g.members(true)), tlv(84, random_bytes(16))});
    struct { const char *name; Dev *d; bytes payload; } refused[] = {
        {"from a non-member", g.d1.get(), conv_payload(g.conv, random_bytes(32), {member_of(g.dave, g.dave_id, {&g.dave.first})})},
        {"an older-keys record of 16 bytes", g.a1.get(), bad_grant},
        {"an older-keys record for dave's device", g.a1.get(),
         cat({conv_payload(g.conv, key2, g.members(true)), tlv(84, cat({g.dave.first.dev_id(), sealed_to(g.dave.first, g.key)}))})},
        {"an unknown conversation", g.a1.get(), conv_payload(random_bytes(16), key2, g.members(true))},
    };
    for (auto &r : refused) ASSERT_TRUE(r.d->c.send(17, r.payload)) << r.name;
    EXPECT_TRUE(of_type(before_marker(*g.a1), 151).empty());
    EXPECT_TRUE(of_type(before_marker(*g.d1), 151).empty());
    EXPECT_EQ(send_env(*g.d1, envelope(g.conv, g.dave_id, 1)), 0u) << "dave became a member";

    // cy taken out by amy, who made the group: its envelopes are refused, the others' accepted.
    std::vector<quorvane_member> two = g.members(true);
    two.pop_back();
    ASSERT_TRUE(g.a1->c.send(17, conv_payload(g.conv, random_bytes(32), two)));
    EXPECT_EQ(find(g.b1->c.read_type(151), 17), g.conv);
    EXPECT_TRUE(of_type(before_marker(*g.c1), 151).empty()) << "cy still told about the conversation";
    EXPECT_EQ(send_env(*g.c1, envelope(g.conv, g.cy_id, 2)), 0u);
    EXPECT_NE(send_env(*g.b1, envelope(g.conv, g.ben_id, 3)), 0u);
}

// A key request goes to every other device of the members with the keys the
// server holds for the requester, whose certificate verifies under its
// identity; it is asked for again with 65 until a group key names the device.
TEST(ServerGroups, KeyRequestsRelayedUntilGranted) {
    Group g;
    ASSERT_TRUE(g.up());
    ASSERT_TRUE(g.c1->c.send(64, tlv(17, g.conv)));
    for (Dev *d : {g.a1.get(), g.a2.get(), g.b1.get()}) {
        bytes f = d->c.read_type(176);
        ASSERT_GT(f.size(), 8u);
        EXPECT_EQ(hex(find(f, 17)), hex(g.conv));
        EXPECT_EQ(hex(find(f, 14)), hex(g.cy_id));
        bytes id = find(f, 3), x = find(f, 4), ed = find(f, 5), cert = find(f, 6);
        EXPECT_EQ(hex(id), hex(b(g.cy.first.id_pub, 32))) << "identity check";
        EXPECT_EQ(hex(x), hex(b(g.cy.first.x_pub, 32)));
        ASSERT_EQ(cert.size(), 64u);
        EXPECT_EQ(quorvane_device_cert_verify(id.data(), x.data(), ed.data(), cert.data()), 0) << "certificate check";
    }
    EXPECT_TRUE(of_type(before_marker(*g.c1), 176).empty()) << "the requester got its own request";
    // A non-member asks: nobody hears of it; malformed: the connection ends.
    ASSERT_TRUE(g.d1->c.send(64, tlv(17, g.conv)));
    EXPECT_TRUE(of_type(before_marker(*g.d1), 176).empty());
    EXPECT_TRUE(of_type(before_marker(*g.b1), 176).empty());
    // Asked again: still waiting.
    ASSERT_TRUE(g.b1->c.send(65, {}));
    EXPECT_EQ(of_type(before_marker(*g.b1), 176).size(), 1u);
    ASSERT_TRUE(g.d1->c.send(65, {}));
    EXPECT_TRUE(of_type(before_marker(*g.d1), 176).empty()) << "dave sees requests of a conversation he is not in";
    // Kept across a SIGKILL; granted, no longer handed out.
    kill(g.srv.proc->pid, SIGKILL);
    g.srv.stop();
    for (Dev *d : g.all()) d->c.close_now();
    ASSERT_TRUE(g.srv.start(true));
    Dev a(g.srv, g.amy, g.amy.first), ben(g.srv, g.ben, g.ben.first);
    a.sync();
    ben.sync();
    ASSERT_TRUE(ben.c.send(65, {}));
    EXPECT_EQ(of_type(before_marker(ben), 176).size(), 1u) << "the request was lost in the restart";
    ASSERT_TRUE(a.c.send(17, conv_payload(g.conv, random_bytes(32), g.members(true))));
    a.c.read_type(151);
    ASSERT_TRUE(ben.c.send(65, {}));
    EXPECT_TRUE(of_type(before_marker(ben), 176).empty());
}

// Presence goes to the users who share a conversation while it is public:
// online at the first sign-in, offline with a last-seen time when the last
// connection ends; typing and read receipts go live to the other members,
// read marks to the user's other devices and into its conversation
// information, forward only and kept across a SIGKILL.
TEST(ServerGroups, PresenceTypingAndReadState) {
    Group g;
    ASSERT_TRUE(g.up());
    // Not public yet: ben sees nothing of amy's second device leaving and coming.
    g.a2.reset();
    g.a2 = std::make_unique<Dev>(g.srv, g.amy, g.amy2);
    EXPECT_TRUE(of_type(before_marker(*g.b1), 15).empty());
    ASSERT_TRUE(g.a1->c.send(58, tlv(22, bytes{1})));
    before_marker(*g.a1);
    for (Dev *d : {g.b1.get(), g.c1.get()}) {
        bytes f = d->c.read_type(15);
        EXPECT_EQ(hex(find(f, 14)), hex(g.amy_id));
        EXPECT_EQ(hex(find(f, 22)), "01");
    }
    EXPECT_TRUE(of_type(before_marker(*g.d1), 15).empty()) << "dave shares no conversation with amy";
    g.a2->sync();
    g.a2.reset();  // one of two devices leaves: still online
    EXPECT_TRUE(of_type(before_marker(*g.b1), 15).empty());
    g.a1.reset();
    bytes off = g.b1->c.read_type(15);
    EXPECT_EQ(hex(find(off, 22)), "00");
    EXPECT_EQ(find(off, 16).size(), 8u) << "last seen";
    g.a1 = std::make_unique<Dev>(g.srv, g.amy, g.amy.first);
    EXPECT_EQ(hex(find(g.b1->c.read_type(15), 22)), "01");
    g.a2 = std::make_unique<Dev>(g.srv, g.amy, g.amy2);
    g.a1->sync();
    g.a2->sync();
    EXPECT_TRUE(of_type(before_marker(*g.b1), 15).empty()) << "a second device is no news";

    // Positions up to 80 handed out: receipts and marks name none past the last.
    for (uint64_t i = 1; i <= 80; i++) ASSERT_NE(send_env(*g.b1, envelope(g.conv, g.ben_id, i)), 0u);
    for (Dev *d : g.all()) before_marker(*d);

    // Typing and receipts: to ben and cy, not to amy's own other device, not to dave.
    ASSERT_TRUE(g.a1->c.send(14, cat({tlv(17, g.conv), tlv(21, be64(uint64_t{1} << 40))})));  // past every position: dropped
    ASSERT_TRUE(g.a1->c.send(13, tlv(17, g.conv)));
    ASSERT_TRUE(g.a1->c.send(14, cat({tlv(17, g.conv), tlv(21, be64(77))})));
    for (Dev *d : {g.b1.get(), g.c1.get()}) {
        EXPECT_EQ(hex(find(d->c.read_type(13), 17)), hex(g.conv));
        bytes r = d->c.read_type(14);
        EXPECT_EQ(hex(find(r, 17)), hex(g.conv));
        EXPECT_EQ(hex(find(r, 21)), hex(be64(77)));
    }
    auto seen = before_marker(*g.a2);
    EXPECT_TRUE(of_type(seen, 13).empty() && of_type(seen, 14).empty());
    ASSERT_TRUE(g.d1->c.send(13, tlv(17, g.conv)));
    before_marker(*g.d1);
    EXPECT_TRUE(of_type(before_marker(*g.b1), 13).empty()) << "a non-member's typing relayed";

    // Read marks: to amy's other device only, forward only.
    struct { uint64_t pos; bool relayed; } marks[] = {{50, true}, {40, false}, {50, false}, {0, false}, {uint64_t{1} << 40, false}, {60, true}};
    for (auto &m : marks) {
        SCOPED_TRACE(m.pos);
        ASSERT_TRUE(g.a1->c.send(83, cat({tlv(17, g.conv), tlv(21, be64(m.pos))})));
        EXPECT_TRUE(of_type(before_marker(*g.a1), 188).empty()) << "the sender got its own mark";
        auto got = of_type(before_marker(*g.a2), 188);
        ASSERT_EQ(got.size(), m.relayed ? 1u : 0u);
        if (m.relayed) {
            EXPECT_EQ(hex(find(got[0], 21)), hex(be64(m.pos)));
        }
    }
    EXPECT_TRUE(of_type(before_marker(*g.b1), 188).empty());
    kill(g.srv.proc->pid, SIGKILL);
    g.srv.stop();
    for (Dev *d : g.all()) d->c.close_now();
    ASSERT_TRUE(g.srv.start(true));
    struct { const char *name; const Account *a; const Device *d; const char *mark; } views[] = {
        {"amy", &g.amy, &g.amy2, "000000000000003c"},
        {"ben", &g.ben, &g.ben.first, ""},
    };
    for (auto &v : views) {
        SCOPED_TRACE(v.name);
        Dev d(g.srv, *v.a, *v.d);
        auto infos = of_type(d.sync(), 151);
        ASSERT_EQ(infos.size(), 1u);
        EXPECT_EQ(hex(find(infos[0], 100)), v.mark);
    }
}

// Revocation: only the account's own devices; the revoked one's connection
// closes, it can no longer sign in (nor come back by registering again), also
// after a SIGKILL.
TEST(ServerGroups, RevokedDeviceIsShutOut) {
    Group g;
    ASSERT_TRUE(g.up());
    struct { const char *name; bytes id; uint8_t status; } cases[] = {
        {"ben's device", g.ben.first.dev_id(), 1},
        {"no device", random_bytes(16), 1},
        {"amy's second device", g.amy2.dev_id(), 0},
        {"again", g.amy2.dev_id(), 1},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(g.a1->c.send(42, tlv(52, c.id)));
        bytes f = g.a1->c.read_type(159);
        EXPECT_EQ(hex(find(f, 52)), hex(c.id));
        EXPECT_EQ(hex(find(f, 53)), hex(bytes{c.status}));
    }
    bytes f;
    do f = g.a2->c.read(); while (f.size() >= 8);
    EXPECT_TRUE(g.a2->c.read().empty()) << "the revoked device is still connected";
    Client c;
    EXPECT_EQ(sign_in(c, g.srv, g.amy, g.amy2), 1005);
    EXPECT_EQ(reg(g.srv, g.amy, g.amy2, g.amy.auth), 5);
    Client again;
    EXPECT_EQ(sign_in(again, g.srv, g.amy, g.amy2), 1005) << "registering again brought it back";
    // The revoked device gets no copies: amy's conversation lists one device of hers.
    EXPECT_NE(send_env(*g.b1, envelope(g.conv, g.ben_id, 1)), 0u);
    kill(g.srv.proc->pid, SIGKILL);
    g.srv.stop();
    ASSERT_TRUE(g.srv.start(true));
    Client after;
    EXPECT_EQ(sign_in(after, g.srv, g.amy, g.amy2), 1005);
    Dev a(g.srv, g.amy, g.amy.first);
    auto infos = of_type(a.sync(), 151);
    ASSERT_EQ(infos.size(), 1u);
    size_t devices = 0;
    for (auto &r : records(infos[0])) devices += r.tag == 55 ? 1 : 0;
    EXPECT_EQ(devices, 3u) << "amy's first, ben's, cy's";
}

// A new own device asks for the history; the others learn its keys from the
// server; a 64 MiB sealed history sent in 256 KiB chunks arrives whole, in
// order, also to a device that has not synced; chunks for a device of another
// account are dropped.
TEST(ServerGroups, HistoryTransferBetweenOwnDevices) {
    Group g;
    ASSERT_TRUE(g.up());
    Device amy3(g.amy.first);
    ASSERT_EQ(reg(g.srv, g.amy, amy3, g.amy.auth), 0);
    Dev a3(g.srv, g.amy, amy3);  // not synced yet: chunks are no copies a cursor orders, they come all the same
    ASSERT_TRUE(a3.c.send(43, {}));
    for (Dev *d : {g.a1.get(), g.a2.get()}) {
        bytes f = d->c.read_type(160);
        EXPECT_EQ(hex(find(f, 52)), hex(amy3.dev_id()));
        EXPECT_EQ(hex(find(f, 4)), hex(b(amy3.x_pub, 32)));
        bytes cert = find(f, 6), x = find(f, 4), ed = find(f, 5);
        ASSERT_EQ(cert.size(), 64u);
        EXPECT_EQ(quorvane_device_cert_verify(g.amy.first.id_pub, x.data(), ed.data(), cert.data()), 0);
    }
    EXPECT_TRUE(of_type(before_marker(*g.b1), 160).empty());

    const size_t total = 64u << 20, chunk = 256u << 10;
    bytes history = random_bytes(total);
    auto chunk_frame = [&](const bytes &target, size_t off) {
        return cat({tlv(52, target), tlv(24, be64(total)), tlv(26, be64(off)),
                    tlv(25, bytes(history.begin() + static_cast<long>(off), history.begin() + static_cast<long>(off + chunk)))});
    };
    ASSERT_TRUE(g.a1->c.send(44, chunk_frame(g.ben.first.dev_id(), 0)));
    EXPECT_TRUE(of_type(before_marker(*g.b1), 161).empty()) << "a chunk crossed accounts";

    bytes got(total);
    size_t have = 0;
    bool in_order = true;
    std::thread reader([&] {
        while (have < total) {
            bytes f = a3.c.read_type(161);
            if (f.size() < 8) break;
            bytes off = find(f, 26), data = find(f, 25);
            if (find(f, 24) != be64(total) || off.size() != 8 || get64(off.data()) != have || data.size() + have > total) {
                in_order = false;
                break;
            }
            std::memcpy(got.data() + have, data.data(), data.size());
            have += data.size();
        }
    });
    bool sent = true;
    for (size_t off = 0; off < total && sent; off += chunk) sent = g.a1->c.send(44, chunk_frame(amy3.dev_id(), off));
    reader.join();
    EXPECT_TRUE(sent);
    EXPECT_TRUE(in_order);
    ASSERT_EQ(have, total);
    EXPECT_TRUE(got == history) << "the history arrived changed";
}

// Back-fill hands out the kept envelopes of a conversation below a position,
// newest first, in pages that end with 171: its cursor is the next page's
// `before`, its flag 1 while older ones are kept. Device-session envelopes
// (no salt) are not kept; a non-member gets an empty page.
TEST(ServerGroups, BackfillPagesToTheOldestKept) {
    Group g;
    ASSERT_TRUE(g.up());
    std::vector<std::pair<uint64_t, bytes>> sent;
    for (uint64_t i = 1; i <= 7; i++) {
        bytes e = envelope(g.conv, g.amy_id, i);
        sent.push_back({send_env(*g.a1, e), e});
    }
    bytes dm = envelope(g.conv, g.amy_id, 8);
    std::fill(dm.begin() + 48, dm.begin() + 64, 0);  // a zero salt: the device-session path
    ASSERT_NE(send_env(*g.a1, dm), 0u);
    std::vector<bytes> pages;
    uint64_t before = UINT64_MAX >> 1;
    for (int page = 0; page < 10; page++) {
        ASSERT_TRUE(g.b1->c.send(59, cat({tlv(17, g.conv), tlv(21, be64(before)), tlv(74, bytes{0, 0, 0, 3})})));
        size_t in_page = 0;
        bytes end;
        for (;;) {
            bytes f = g.b1->c.read();
            ASSERT_GE(f.size(), 8u);
            if (f[3] == 171) { end = f; break; }
            if (f[3] != 170) continue;  // live copies meanwhile
            uint64_t pos = get64(find(f, 21).data());
            EXPECT_LT(pos, before);
            pages.push_back(find(f, 20));
            in_page++;
        }
        EXPECT_LE(in_page, 3u);
        before = get64(find(end, 21).data());
        if (find(end, 75) == bytes{0}) break;
        EXPECT_EQ(in_page, 3u);
    }
    ASSERT_EQ(pages.size(), sent.size());
    for (size_t i = 0; i < pages.size(); i++) EXPECT_EQ(hex(pages[i]), hex(sent[sent.size() - 1 - i].second)) << i;
    EXPECT_EQ(before, sent.front().first) << "the last page ends at the oldest kept";

    ASSERT_TRUE(g.d1->c.send(59, cat({tlv(17, g.conv), tlv(21, be64(UINT64_MAX >> 1))})));
    bytes f = g.d1->c.read();
    ASSERT_EQ(f.size() >= 8 ? f[3] : 0, 171) << "a non-member got history";
    EXPECT_EQ(hex(find(f, 75)), "00");
}

// The retention bound: past it the oldest go, and a page below the oldest
// kept is empty and says so.
TEST(ServerGroups, HistoryKeepsTheNewest) {
    TempDir dir;
    qvs_store *st = qvs_store_open(dir.file("s.db").c_str());
    ASSERT_NE(st, nullptr);
    bytes conv = random_bytes(16), other = random_bytes(16);
    for (uint64_t pos = 1; pos <= 6; pos++) ASSERT_EQ(qvs_history_put(st, conv.data(), pos, be64(pos).data(), 8, 4), 0);
    ASSERT_EQ(qvs_history_put(st, other.data(), 9, be64(9).data(), 8, 4), 0);
    ASSERT_EQ(qvs_store_commit(st), 0);
    struct { uint64_t before; size_t limit; std::vector<uint64_t> want; int more; } cases[] = {
        {100, 10, {6, 5, 4, 3}, 0},
        {100, 2, {6, 5}, 1},
        {5, 10, {4, 3}, 0},
        {3, 10, {}, 0},
    };
    for (auto &c : cases) {
        std::vector<qvs_envelope> page;
        int more = -1;
        ASSERT_EQ(qvs_history_page(st, conv.data(), c.before, c.limit, 1u << 20, &page, &more), 0);
        std::vector<uint64_t> got;
        for (auto &e : page) got.push_back(e.pos);
        EXPECT_EQ(got, c.want) << c.before << "/" << c.limit;
        EXPECT_EQ(more, c.more) << c.before << "/" << c.limit;
    }
    qvs_store_close(st);
}

// A sync names up to 4,096 conversations: the cursor of the last one counts.
TEST(ServerGroups, SyncTakesFourThousandCursors) {
    Group g;
    ASSERT_TRUE(g.up());
    bytes first = envelope(g.conv, g.amy_id, 1), second = envelope(g.conv, g.amy_id, 2);
    uint64_t p1 = send_env(*g.a1, first);
    ASSERT_NE(p1, 0u);
    ASSERT_NE(send_env(*g.a1, second), 0u);
    std::vector<std::pair<bytes, uint64_t>> cursors;
    for (int i = 0; i < 4095; i++) cursors.push_back({random_bytes(16), 1});
    cursors.push_back({g.conv, p1});
    auto got = envelopes_of(g.b1->sync(cursors));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(hex(got[0]), hex(second));
}
