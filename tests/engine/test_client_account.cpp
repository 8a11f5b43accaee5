// Account, device, history and presence: request bodies captured by a
// scripted TLS peer and compared with bytes written here from the tag tables,
// and server frames written by hand handed to a signed-in session with a real
// message store.
#include "client_account.h"
#include "client_authed.h"
#include "quorvane_crypto.h"
#include "quorvane_escrow.h"
#include "quorvane_keyfile.h"
#include "quorvane_x3dh.h"
#include "signed_in_support.h"

#include <cstring>
#include <functional>

using namespace qvtest;

namespace {

std::string hdr(uint8_t type, size_t len) { return "4852" "01" + hex(u8(type)) + hex(be32(static_cast<uint32_t>(len))); }

const uint8_t kIdentity[32] = {0x1D, 1, 2, 3};  // our account's identity seed: every own device is built from it

// What a server lists for an own device: id, both keys, the identity's certificate.
bytes own_device_tlvs(const quorvane_device_keys &d) {
    uint8_t id[16];
    EXPECT_EQ(quorvane_device_id(d.device_x25519_pub, d.device_ed25519_pub, id), 0);
    return cat({tlv(52, b(id, 16)), tlv(4, b(d.device_x25519_pub, 32)), tlv(5, b(d.device_ed25519_pub, 32)),
                tlv(6, b(d.device_cert, 64))});
}

// Our session, on a device of the account above.
struct Mine : Local {
    explicit Mine(bool with_store = true) : Local(with_store, kIdentity) {}
    cs_account_state &a() { return cs->account; }
};
struct MineRemote : Remote {
    explicit MineRemote(std::function<bytes(const bytes &)> fn = nullptr) : Remote(true, std::move(fn), kIdentity) {}
};

std::string auth_hex(const char *password) {
    uint8_t a[32];
    EXPECT_EQ(quorvane_pw_auth(password, "me", a), 0);
    return hex(a, 32);
}

}  // namespace

// ---- requests ----

// Every request body of the family, byte for byte, with the limits: refused
// calls send nothing, so the frames that arrive are exactly the table's.
TEST(AccountRequests, BodiesOnTheWire) {
    MineRemote r;
    r.start();
    quorvane_cs *cs = r.cs.get();
    const bytes conv = rep(0xC1, 16), devx = rep(0xD1, 32), deved = rep(0xD2, 32), blob = rep(0xB1, 16), bkhdr = rep(0x21, 21);
    const bytes record = rep(0xE5, 82);
    uint8_t dev_id[16];
    ASSERT_EQ(quorvane_device_id(devx.data(), deved.data(), dev_id), 0);
    const std::string code_tlv = "5f" "00000006" + hex(std::string("123456"));
    const std::string token512 = std::string(512, 't');

    struct Case {
        const char *name;
        std::function<int()> call;
        std::string want;  // empty: refused, nothing sent
    };
    const std::string conv_tlv = "11" "00000010" + hex(conv);
    const Case cases[] = {
        {"delete account", [&] { return quorvane_cs_delete_account(cs, "pw"); }, hdr(60, 37) + "02" "00000020" + auth_hex("pw")},
        {"delete account, empty password", [&] { return quorvane_cs_delete_account(cs, ""); }, ""},
        {"e-mail info", [&] { return quorvane_cs_email_get(cs); }, hdr(80, 0)},
        {"e-mail set", [&] { return quorvane_cs_email_set(cs, "a@b.c", "pw"); },
         hdr(77, 10 + 37) + "5d" "00000005" + hex(std::string("a@b.c")) + "02" "00000020" + auth_hex("pw")},
        {"e-mail set, 254 bytes", [&] { return quorvane_cs_email_set(cs, std::string(254, 'm').c_str(), "pw"); },
         hdr(77, 259 + 37) + "5d" "000000fe" + hex(std::string(254, 'm')) + "02" "00000020" + auth_hex("pw")},
        {"e-mail set, 255 bytes", [&] { return quorvane_cs_email_set(cs, std::string(255, 'm').c_str(), "pw"); }, ""},
        {"e-mail set, empty", [&] { return quorvane_cs_email_set(cs, "", "pw"); }, ""},
        {"e-mail code", [&] { return quorvane_cs_email_verify(cs, "123456"); }, hdr(78, 11) + code_tlv},
        {"e-mail code of 5", [&] { return quorvane_cs_email_verify(cs, "12345"); }, ""},
        {"e-mail code of 7", [&] { return quorvane_cs_email_verify(cs, "1234567"); }, ""},
        {"e-mail remove", [&] { return quorvane_cs_email_remove(cs, "secret"); }, hdr(79, 37) + "02" "00000020" + auth_hex("secret")},
        {"reset cancel", [&] { return quorvane_cs_reset_cancel(cs); }, hdr(81, 0)},
        {"recovery key asked", [&] { return quorvane_cs_rk_request(cs, 5); }, hdr(70, 6) + "58" "00000001" "01"},
        {"recovery key asked, no flag", [&] { return quorvane_cs_rk_request(cs, 0); }, hdr(70, 0)},
        {"recovery escrow", [&] { return quorvane_cs_escrow_rk_set(cs, record.data()); }, hdr(69, 87) + "50" "00000052" + hex(record)},
        {"backup set", [&] { return quorvane_cs_backup_set(cs, blob.data(), bkhdr.data()); },
         hdr(66, 47) + "17" "00000010" + hex(blob) + "55" "00000015" + hex(bkhdr)},
        {"backup list", [&] { return quorvane_cs_backup_list(cs); }, hdr(67, 0)},
        {"backup delete", [&] { return quorvane_cs_backup_delete(cs); }, hdr(68, 0)},
        {"key request", [&] { return quorvane_cs_send_key_request(cs, conv.data()); }, hdr(64, 21) + conv_tlv},
        {"key requests again", [&] { return quorvane_cs_key_requests_get(cs); }, hdr(65, 0)},
        {"history", [&] { return quorvane_cs_request_history(cs); }, hdr(43, 0)},
        {"typing", [&] { return quorvane_cs_send_typing(cs, conv.data()); }, hdr(13, 21) + conv_tlv},
        {"read receipt", [&] { return quorvane_cs_send_read_receipt(cs, conv.data(), 0x0102030405060708ull); },
         hdr(14, 34) + conv_tlv + "15" "00000008" "0102030405060708"},
        {"read receipt at 0", [&] { return quorvane_cs_send_read_receipt(cs, conv.data(), 0); },
         hdr(14, 34) + conv_tlv + "15" "00000008" "0000000000000000"},
        {"read mark", [&] { return quorvane_cs_send_read_mark(cs, conv.data(), 9); }, hdr(83, 34) + conv_tlv + "15" "00000008" "0000000000000009"},
        {"read mark at 0", [&] { return quorvane_cs_send_read_mark(cs, conv.data(), 0); }, ""},
        {"presence public", [&] { return quorvane_cs_set_presence_public(cs, 7); }, hdr(58, 6) + "16" "00000001" "01"},
        {"presence private", [&] { return quorvane_cs_set_presence_public(cs, 0); }, hdr(58, 6) + "16" "00000001" "00"},
        {"revoke", [&] { return quorvane_cs_revoke_device(cs, devx.data(), deved.data()); }, hdr(42, 21) + "34" "00000010" + hex(dev_id, 16)},
        {"push token", [&] { return quorvane_cs_register_push(cs, "tok"); },
         hdr(45, 8) + "36" "00000003" + hex(std::string("tok"))},
        {"push token of 512", [&] { return quorvane_cs_register_push(cs, token512.c_str()); },
         hdr(45, 517) + "36" "00000200" + hex(token512)},
        {"push token of 513", [&] { return quorvane_cs_register_push(cs, (token512 + "t").c_str()); }, ""},
        {"push token null", [&] { return quorvane_cs_register_push(cs, nullptr); }, hdr(45, 5) + "36" "00000000"},
        {"null conversation", [&] { return quorvane_cs_send_typing(cs, nullptr); }, ""},
    };
    std::vector<std::string> want;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(), c.want.empty() ? -1 : 0);
        if (!c.want.empty()) want.push_back(c.want);
    }
    EXPECT_EQ(hex(r.cs->account.revoke_key, 32), hex(devx));  // remembered for frame 159
    auto got = r.wait_frames(want.size());
    ASSERT_EQ(got.size(), want.size());
    size_t i = 0;
    for (const auto &c : cases) {
        if (c.want.empty()) continue;
        SCOPED_TRACE(c.name);
        EXPECT_EQ(hex(got[i++]), c.want);
    }
}

// The two bodies that carry sealed parts: the new password's escrow opens with
// it (and not with the old one) under our identity; the shared recovery key is
// sealed in 80 bytes to the device named.
TEST(AccountRequests, SealedBodies) {
    MineRemote r;
    r.start();
    Keys other(kIdentity);
    const bytes value = rep(0x6B, 32), dev_id = rep(0x42, 16);
    ASSERT_EQ(quorvane_cs_change_password(r.cs.get(), "old", "new"), 0);
    EXPECT_EQ(quorvane_cs_change_password(r.cs.get(), "", "new"), -1);
    EXPECT_EQ(quorvane_cs_change_password(r.cs.get(), "old", ""), -1);
    ASSERT_EQ(quorvane_cs_rk_share(r.cs.get(), dev_id.data(), other.k.device_x25519_pub, value.data()), 0);
    auto got = r.wait_frames(2);
    ASSERT_EQ(got.size(), 2u);

    const bytes &pw = got[0];
    ASSERT_EQ(pw.size(), 8u + 37 + 37 + 87);
    EXPECT_EQ(hex(b(pw.data(), 8 + 74 + 5)), hdr(63, 161) + "02" "00000020" + auth_hex("old") + "51" "00000020" + auth_hex("new") +
                                               "50" "00000052");
    uint8_t seed[32];
    EXPECT_EQ(quorvane_escrow_open_pw("new", "me", r.keys.k.identity_pub, pw.data() + 87, 82, seed), 0);
    EXPECT_EQ(hex(seed, 32), hex(b(kIdentity, 32)));
    EXPECT_NE(quorvane_escrow_open_pw("old", "me", r.keys.k.identity_pub, pw.data() + 87, 82, seed), 0);

    const bytes &sh = got[1];
    ASSERT_EQ(sh.size(), 8u + 21 + 85);
    EXPECT_EQ(hex(b(sh.data(), 8 + 21 + 5)), hdr(71, 106) + "34" "00000010" + hex(dev_id) + "59" "00000050");
    uint8_t opened[32];
    size_t n = 0;
    ASSERT_EQ(quorvane_open(other.k.device_x25519_priv, sh.data() + 34, 80, opened, sizeof opened, &n), 0);
    EXPECT_EQ(hex(opened, n), hex(value));
}

// Outside the signed-in state nothing goes out.
TEST(AccountRequests, RefusedOutsideTheSignedInState) {
    Mine l;
    const bytes conv = rep(1, 16);
    for (uint32_t state : {QV_CS_CONNECTING, QV_CS_SIGNING_IN, QV_CS_FAILED}) {
        SCOPED_TRACE(state);
        l.cs->state = state;
        EXPECT_EQ(quorvane_cs_request_history(l.cs.get()), -1);
        EXPECT_EQ(quorvane_cs_send_typing(l.cs.get(), conv.data()), -1);
        EXPECT_EQ(quorvane_cs_email_get(l.cs.get()), -1);
        EXPECT_EQ(quorvane_cs_delete_account(l.cs.get(), "pw"), -1);
        EXPECT_EQ(l.a().history_requested, 0);
    }
    EXPECT_EQ(quorvane_cs_email_get(nullptr), -1);
}

// ---- frames ----

// Each answer fills its slot as the table says, missing or malformed status
// TLVs give their defaults, and a slot is taken once.
TEST(AccountFrames, StatusAnswersAndDefaults) {
    Mine l;
    quorvane_cs *cs = l.cs.get();
    using take_fn = int (*)(quorvane_cs *, uint8_t *);
    struct Case {
        const char *name;
        uint8_t type;
        bytes payload;
        take_fn take;
        uint8_t want;
    };
    const bytes dev = rep(0xDE, 16);
    const Case cases[] = {
        {"revoke", 159, cat({tlv(52, dev), tlv(53, u8(0))}), quorvane_cs_take_revoke, 0},
        {"revoke, no status", 159, tlv(52, dev), quorvane_cs_take_revoke, 1},
        {"revoke, status of 2 bytes", 159, cat({tlv(52, dev), tlv(53, bytes{0, 0})}), quorvane_cs_take_revoke, 1},
        {"account delete", 172, tlv(78, u8(2)), quorvane_cs_take_account_delete, 2},
        {"account delete, no status", 172, {}, quorvane_cs_take_account_delete, 4},
        {"password", 175, tlv(83, u8(0)), quorvane_cs_take_password_change, 0},
        {"password, no status", 175, tlv(78, u8(0)), quorvane_cs_take_password_change, 4},
        {"backup ack", 178, tlv(87, u8(3)), quorvane_cs_take_backup_ack, 3},
        {"backup ack, no status", 178, {}, quorvane_cs_take_backup_ack, 4},
        {"e-mail ack", 185, tlv(94, u8(5)), quorvane_cs_take_email_ack, 5},
        {"e-mail ack, no status", 185, {}, quorvane_cs_take_email_ack, 10},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t got = 0xEE;
        EXPECT_EQ(c.take(cs, &got), 0);
        l.feed(c.type, c.payload);
        ASSERT_EQ(c.take(cs, &got), 1);
        EXPECT_EQ(got, c.want);
        EXPECT_EQ(c.take(cs, &got), 0);
    }
    // without an out pointer: the e-mail and backup acks leave the answer there
    l.feed(185, {});
    EXPECT_EQ(quorvane_cs_take_email_ack(cs, nullptr), 0);
    uint8_t v = 0;
    EXPECT_EQ(quorvane_cs_take_email_ack(cs, &v), 1);
    l.feed(172, {});
    EXPECT_EQ(quorvane_cs_take_account_delete(cs, nullptr), 1);
    // 159 without a device id is no answer; the id it carries is kept
    l.feed(159, tlv(53, u8(0)));
    EXPECT_EQ(quorvane_cs_take_revoke(cs, &v), 0);
    l.feed(159, cat({tlv(52, dev), tlv(53, u8(1))}));
    EXPECT_EQ(hex(l.a().revoke_id, 16), hex(dev));
    // a request clears an answer still waiting, so an old one is never taken for the new
    l.feed(175, {});
    l.no_connection();  // the send fails: the slot stays cleared
    EXPECT_EQ(quorvane_cs_change_password(cs, "a", "b"), -1);
    EXPECT_EQ(quorvane_cs_take_password_change(cs, &v), 0);
    // push registration, not cleared by reading, cleared by the next request
    EXPECT_EQ(quorvane_cs_push_registered(cs), 0);
    l.feed(162, {});
    EXPECT_EQ(quorvane_cs_push_registered(cs), 1);
    EXPECT_EQ(quorvane_cs_push_registered(cs), 1);
    EXPECT_EQ(quorvane_cs_register_push(cs, nullptr), -1);
    EXPECT_EQ(quorvane_cs_push_registered(cs), 0);
    EXPECT_EQ(quorvane_cs_push_registered(nullptr), 0);
}

// A successful revocation drops every session of the device the request named.
TEST(AccountFrames, RevocationDropsTheDeviceSessions) {
    Mine l;
    const bytes conv = rep(0x3C, 16), devx = rep(0x71, 32), deved = rep(0x72, 32), rec = rep(1, 40);
    ASSERT_EQ(quorvane_msgstore_put_ratchet(l.ms, conv.data(), devx.data(), rec.data(), rec.size()), 0);
    uint8_t back[64];
    ASSERT_GT(quorvane_msgstore_get_ratchet(l.ms, conv.data(), devx.data(), back, sizeof back), 0u);
    l.no_connection();  // the request fails to send but has remembered the key
    EXPECT_EQ(quorvane_cs_revoke_device(l.cs.get(), devx.data(), deved.data()), -1);
    l.feed(159, cat({tlv(52, rep(9, 16)), tlv(53, u8(1))}));  // refused: nothing dropped
    EXPECT_GT(quorvane_msgstore_get_ratchet(l.ms, conv.data(), devx.data(), back, sizeof back), 0u);
    l.feed(159, cat({tlv(52, rep(9, 16)), tlv(53, u8(0))}));
    EXPECT_EQ(quorvane_msgstore_get_ratchet(l.ms, conv.data(), devx.data(), back, sizeof back), 0u);
}

// Typing, presence, read receipts and read marks from other devices.
TEST(AccountFrames, PresenceTypingAndReadState) {
    FakeClock clock;
    Mine l;
    quorvane_cs *cs = l.cs.get();
    const bytes conv = rep(0x5C, 16), alice = rep(0xA0, 16), bob = rep(0xB0, 16);
    uint8_t got_conv[16];
    uint64_t t = 0;
    EXPECT_EQ(quorvane_cs_get_typing(cs, got_conv, &t), 0);
    l.feed(13, tlv(17, rep(1, 15)));  // a short id is no notice
    EXPECT_EQ(quorvane_cs_get_typing(cs, got_conv, &t), 0);
    l.feed(13, tlv(17, conv));
    ASSERT_EQ(quorvane_cs_get_typing(cs, got_conv, &t), 1);
    EXPECT_EQ(hex(got_conv, 16), hex(conv));
    EXPECT_EQ(t, 1000000u);
    EXPECT_EQ(quorvane_cs_get_typing(cs, nullptr, nullptr), 1);  // not cleared

    struct Step {
        bytes payload;
        size_t entries;
        uint8_t alice_online;
        uint64_t alice_seen;
    };
    const Step steps[] = {
        {cat({tlv(14, alice), tlv(22, u8(1)), tlv(16, be64(50))}), 1, 1, 0},  // online: last seen untouched
        {cat({tlv(14, alice), tlv(22, u8(0)), tlv(16, be64(40))}), 1, 0, 40},
        {cat({tlv(14, alice), tlv(22, u8(0)), tlv(16, be64(30))}), 1, 0, 40},  // never backwards
        {cat({tlv(14, alice), tlv(22, u8(0))}), 1, 0, 40},
        {cat({tlv(14, bob), tlv(16, be64(9))}), 1, 0, 40},                     // no online flag: ignored
        {cat({tlv(14, bob), tlv(22, u8(1))}), 2, 0, 40},
    };
    for (const auto &s : steps) {
        l.feed(15, s.payload);
        uint8_t ids[4][16], on[4];
        ASSERT_EQ(quorvane_cs_presence_copy(cs, ids, on, 4), s.entries);
        EXPECT_EQ(hex(ids[0], 16), hex(alice));
        EXPECT_EQ(on[0], s.alice_online);
        EXPECT_EQ(quorvane_cs_last_seen(cs, alice.data()), s.alice_seen);
    }
    EXPECT_EQ(quorvane_cs_last_seen(cs, rep(0xCC, 16).data()), 0u);
    EXPECT_EQ(quorvane_cs_presence_copy(cs, nullptr, nullptr, 1), 1u);
    // the table holds 128 users; a new one past that is ignored, a known one still changes
    for (uint32_t i = 0; i < 130; i++) l.feed(15, cat({tlv(14, cat({rep(0x77, 12), be32(i)})), tlv(22, u8(1))}));
    EXPECT_EQ(quorvane_cs_presence_copy(cs, nullptr, nullptr, 200), 128u);
    l.feed(15, cat({tlv(14, alice), tlv(22, u8(0)), tlv(16, be64(99))}));
    EXPECT_EQ(quorvane_cs_last_seen(cs, alice.data()), 99u);

    // read receipt: forward only; read mark: forward only, the epoch moves with it
    ASSERT_EQ(quorvane_msgstore_put_conv(l.ms, conv.data(), rep(2, 32).data()), 0);
    l.feed(14, cat({tlv(17, conv), tlv(21, be64(12))}));
    l.feed(14, cat({tlv(17, conv), tlv(21, be64(5))}));
    EXPECT_EQ(quorvane_msgstore_get_read(l.ms, conv.data()), 12u);
    const uint32_t e0 = quorvane_cs_read_marks_epoch(cs);
    l.feed(188, cat({tlv(17, conv), tlv(21, be64(20))}));
    EXPECT_EQ(quorvane_msgstore_read_mark(l.ms, conv.data()), 20u);
    EXPECT_EQ(quorvane_cs_read_marks_epoch(cs), e0 + 1);
    l.feed(188, cat({tlv(17, conv), tlv(21, be64(15))}));
    l.feed(188, cat({tlv(17, conv), tlv(21, bytes{1})}));
    EXPECT_EQ(quorvane_msgstore_read_mark(l.ms, conv.data()), 20u);
    EXPECT_EQ(quorvane_cs_read_marks_epoch(cs), e0 + 1);
    Mine bare(false);  // no store: read state is dropped without harm
    bare.feed(14, cat({tlv(17, conv), tlv(21, be64(12))}));
    bare.feed(188, cat({tlv(17, conv), tlv(21, be64(12))}));
    EXPECT_EQ(quorvane_cs_read_marks_epoch(bare.cs.get()), 0u);
}

// E-mail information, backup slots and the recovery-key escrow.
TEST(AccountFrames, EmailBackupsAndEscrow) {
    Mine l;
    quorvane_cs *cs = l.cs.get();
    quorvane_email_info info;
    std::memset(&info, 0x55, sizeof info);
    EXPECT_EQ(quorvane_cs_take_email_info(cs, &info), 0);
    l.feed(187, cat({tlv(93, bytes{'a', '@', 'b'}), tlv(98, bytes(254, 'p')), tlv(97, be64(0x1122334455667788ull))}));
    ASSERT_EQ(quorvane_cs_take_email_info(cs, &info), 1);
    EXPECT_STREQ(info.address, "a@b");
    EXPECT_EQ(std::string(info.pending), std::string(254, 'p'));
    EXPECT_EQ(info.reset_at_ms, 0x1122334455667788ull);
    EXPECT_EQ(quorvane_cs_take_email_info(cs, &info), 0);
    l.feed(187, cat({tlv(93, bytes(255, 'x')), tlv(98, {})}));  // both out of range: empty texts
    ASSERT_EQ(quorvane_cs_take_email_info(cs, &info), 1);
    EXPECT_TRUE(all_zero(&info, sizeof info));

    // backup slots: 70-byte entries only, at most 8, flag 0 or 1
    auto slot = [](uint8_t n, uint8_t flag) { return tlv(86, cat({rep(n, 32), be64(0x0100 + n), be64(0x0200 + n), u8(flag), rep(n, 21)})); };
    bytes list = cat({slot(1, 0), tlv(86, rep(2, 69)), slot(3, 7)});
    for (uint8_t i = 4; i < 12; i++) list = cat({list, slot(i, 1)});
    l.feed(177, list);
    quorvane_backup_slot s[10];
    size_t count = 0;
    ASSERT_EQ(quorvane_cs_take_backup_slots(cs, s, 10, &count), 1);
    ASSERT_EQ(count, 8u);
    EXPECT_EQ(hex(s[0].id, 32), hex(rep(1, 32)));
    EXPECT_EQ(s[0].value_a, 0x0101u);
    EXPECT_EQ(s[0].value_b, 0x0201u);
    EXPECT_EQ(s[0].flag, 0);
    EXPECT_EQ(s[1].flag, 1);  // the third entry: 7 kept as 1
    EXPECT_EQ(hex(s[1].header, 21), hex(rep(3, 21)));
    EXPECT_EQ(s[7].id[0], 9);
    EXPECT_EQ(quorvane_cs_take_backup_slots(cs, s, 10, &count), 0);
    l.feed(177, list);
    ASSERT_EQ(quorvane_cs_take_backup_slots(cs, s, 2, &count), 1);
    EXPECT_EQ(count, 2u);
    l.feed(177, {});
    ASSERT_EQ(quorvane_cs_take_backup_slots(cs, s, 2, &count), 1);
    EXPECT_EQ(count, 0u);

    // escrow: present, absent; wiped in the slot once taken and when replaced
    const bytes rec = rep(0xE1, 82);
    uint8_t out[82];
    int has = -1;
    l.feed(179, tlv(80, rec));
    l.feed(179, tlv(80, rep(0xE2, 82)));
    ASSERT_EQ(quorvane_cs_take_rk_escrow(cs, out, &has), 1);
    EXPECT_EQ(has, 1);
    EXPECT_EQ(hex(out, 82), hex(rep(0xE2, 82)));
    EXPECT_TRUE(all_zero(l.a().rk_escrow, sizeof l.a().rk_escrow));
    EXPECT_EQ(quorvane_cs_take_rk_escrow(cs, out, &has), 0);
    l.feed(179, tlv(80, rec));
    l.feed(179, tlv(80, rep(1, 81)));
    EXPECT_TRUE(all_zero(l.a().rk_escrow, sizeof l.a().rk_escrow));
    ASSERT_EQ(quorvane_cs_take_rk_escrow(cs, out, &has), 1);
    EXPECT_EQ(has, 0);
}

// Recovery key: an own device's request counts only when our identity certified
// it; a delivered key must open to exactly 32 bytes under our device key; the
// slot is wiped when taken, when replaced and when the session is freed.
TEST(AccountFrames, RecoveryKeyPeerAndDelivery) {
    Mine l;
    quorvane_cs *cs = l.cs.get();
    Keys mine(kIdentity), stranger;
    l.feed(180, own_device_tlvs(stranger.k));
    uint8_t id[16], key[32];
    EXPECT_EQ(quorvane_cs_take_rk_peer(cs, id, key), 0);
    l.feed(180, own_device_tlvs(mine.k));
    ASSERT_EQ(quorvane_cs_take_rk_peer(cs, id, key), 1);
    EXPECT_EQ(hex(key, 32), hex(b(mine.k.device_x25519_pub, 32)));
    EXPECT_EQ(quorvane_cs_take_rk_peer(cs, id, key), 0);
    // a history asked for by an own device needs a store to export from
    Mine bare(false);
    bare.feed(160, own_device_tlvs(mine.k));
    EXPECT_EQ(quorvane_cs_take_history_peer(bare.cs.get(), key), 0);
    l.feed(160, own_device_tlvs(stranger.k));
    EXPECT_EQ(quorvane_cs_take_history_peer(cs, key), 0);

    const bytes value = rep(0x9A, 32), rec = rep(0xE7, 82);
    struct Case {
        const char *name;
        bytes payload;
        bool taken;
    };
    const Case cases[] = {
        {"with escrow", cat({tlv(89, sealed_to(l.keys.k.device_x25519_pub, value)), tlv(80, rec)}), true},
        {"sealed to another key", tlv(89, sealed_to(stranger.k.device_x25519_pub, value)), false},
        {"31 bytes sealed", tlv(89, sealed_to(l.keys.k.device_x25519_pub, rep(1, 31))), false},
        {"33 bytes sealed", tlv(89, sealed_to(l.keys.k.device_x25519_pub, rep(1, 33))), false},
        {"damaged", tlv(89, cat({rep(0, 79), u8(1)})), false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        l.feed(181, c.payload);
        uint8_t v[32], e[82];
        int has = -1;
        ASSERT_EQ(quorvane_cs_take_rk_delivered(cs, v, e, &has), c.taken ? 1 : 0);
        if (c.taken) {
            EXPECT_EQ(hex(v, 32), hex(value));
            EXPECT_EQ(has, 1);
            EXPECT_EQ(hex(e, 82), hex(rec));
        }
        const cs_account_state &a = l.a();
        EXPECT_TRUE(all_zero(a.rk_delivered_value, 32) && all_zero(a.rk_delivered_escrow, 82) && !a.rk_delivered_has && !a.rk_delivered_ready);
    }
    // a delivery without escrow replaces one with it, whole
    l.feed(181, cat({tlv(89, sealed_to(l.keys.k.device_x25519_pub, rep(3, 32))), tlv(80, rec)}));
    l.feed(181, tlv(89, sealed_to(l.keys.k.device_x25519_pub, value)));
    EXPECT_TRUE(all_zero(l.a().rk_delivered_escrow, 82));
    uint8_t v[32];
    int has = -1;
    ASSERT_EQ(quorvane_cs_take_rk_delivered(cs, v, nullptr, &has), 1);
    EXPECT_EQ(has, 0);
    EXPECT_EQ(hex(v, 32), hex(value));
}

// ---- history ----

namespace {

// A store with one conversation and a few messages, and its export.
struct History {
    TempDir dir;
    quorvane_msgstore *ms;
    bytes plain;
    const bytes conv = rep(0x4C, 16);
    History() {
        ms = quorvane_msgstore_open(dir.path.c_str(), kStoreSecret);
        EXPECT_EQ(quorvane_msgstore_put_conv(ms, conv.data(), rep(0x4B, 32).data()), 0);
        for (uint64_t i = 1; i <= 3; i++) {
            quorvane_ms_msgrec r{};
            std::memcpy(r.conv_id, conv.data(), 16);
            std::memset(r.author, 0xA1, 16);
            r.msg_id = i;
            r.time = 1000 + i;
            r.type = 1;
            r.text_len = static_cast<uint64_t>(std::snprintf(r.text, sizeof r.text, "message %u", static_cast<unsigned>(i)));
            EXPECT_EQ(quorvane_msgstore_add_msg(ms, &r), 1);
        }
        size_t n = 0;
        uint8_t *x = quorvane_msgstore_export_history(ms, &n);
        plain.assign(x, x + n);
        quorvane_msgstore_export_free(x, n);
    }
    ~History() { quorvane_msgstore_close(ms); }
};

bytes chunk(uint64_t total, uint64_t offset, const bytes &data) { return cat({tlv(24, be64(total)), tlv(26, be64(offset)), tlv(25, data)}); }

void feed_chunks(Mine &l, const bytes &sealed, size_t step) {
    for (size_t off = 0; off < sealed.size(); off += step) {
        const size_t n = std::min(step, sealed.size() - off);
        l.feed(161, chunk(sealed.size(), off, bytes(sealed.begin() + off, sealed.begin() + off + n)));
    }
}

}  // namespace

// Chunks count only while this session asked for a history; a forged history
// sealed to our key arriving unasked is ignored, whole. Out-of-order chunks are
// dropped and the transfer completes once they come again in order; the request
// ends with the completed transfer.
TEST(AccountHistory, ReceivedOnlyWhenAsked) {
    History h;
    Mine l;
    l.no_connection();  // the request cannot go out; it is then set by hand below
    const bytes sealed = sealed_to(l.keys.k.device_x25519_pub, h.plain);
    ASSERT_GT(sealed.size(), 300u);

    feed_chunks(l, sealed, 100);  // unasked
    EXPECT_EQ(quorvane_cs_history_synced(l.cs.get()), 0);
    EXPECT_EQ(l.a().history_in, nullptr);
    EXPECT_EQ(quorvane_msgstore_conv_count(l.ms), 0u);

    EXPECT_EQ(quorvane_cs_request_history(l.cs.get()), -1);
    EXPECT_EQ(l.a().history_requested, 0);  // a request that did not go out opens nothing
    l.a().history_requested = 1;

    // 0, then 200 before 100: 200 is dropped, and so is everything after the gap
    l.feed(161, chunk(sealed.size(), 0, bytes(sealed.begin(), sealed.begin() + 100)));
    l.feed(161, chunk(sealed.size(), 200, bytes(sealed.begin() + 200, sealed.end())));
    l.feed(161, chunk(sealed.size(), 100, bytes(sealed.begin() + 100, sealed.begin() + 200)));
    EXPECT_EQ(l.a().history_in_got, 200u);
    l.feed(161, chunk(sealed.size(), 100, bytes(sealed.begin() + 100, sealed.begin() + 200)));  // again: not the next offset
    l.feed(161, chunk(sealed.size(), 200, bytes(sealed.begin() + 200, sealed.end() - 1)));
    l.feed(161, chunk(sealed.size(), 200 + sealed.size() - 201, bytes{sealed.back(), 0}));  // past the end
    EXPECT_EQ(quorvane_cs_history_synced(l.cs.get()), 0);
    l.feed(161, chunk(sealed.size(), sealed.size() - 1, bytes{sealed.back()}));
    EXPECT_EQ(quorvane_cs_history_synced(l.cs.get()), 1);
    EXPECT_EQ(quorvane_msgstore_msg_count(l.ms, h.conv.data()), 3u);
    EXPECT_EQ(l.a().history_in, nullptr);
    EXPECT_EQ(l.a().history_requested, 0);

    // the request is over: a second, forged history is not merged
    Mine fresh;
    fresh.a().history_requested = 1;
    feed_chunks(fresh, sealed_to(fresh.keys.k.device_x25519_pub, h.plain), 64);
    EXPECT_EQ(quorvane_cs_history_synced(fresh.cs.get()), 1);
    History other;
    const bytes forged = sealed_to(fresh.keys.k.device_x25519_pub, other.plain);
    fresh.a().history_synced = 0;
    feed_chunks(fresh, forged, 64);
    EXPECT_EQ(quorvane_cs_history_synced(fresh.cs.get()), 0);
    EXPECT_EQ(fresh.a().history_in, nullptr);

    // totals out of range never allocate
    fresh.a().history_requested = 1;
    for (uint64_t total : {uint64_t{47}, QV_HISTORY_MAX + 1}) {
        fresh.feed(161, chunk(total, 0, bytes(10, 1)));
        EXPECT_EQ(fresh.a().history_in, nullptr);
    }
    // a new start at offset 0 replaces a partial buffer; asking again drops it
    fresh.feed(161, chunk(sealed.size(), 0, bytes(sealed.begin(), sealed.begin() + 10)));
    fresh.feed(161, chunk(sealed.size(), 0, bytes(sealed.begin(), sealed.begin() + 20)));
    EXPECT_EQ(fresh.a().history_in_got, 20u);
    fresh.no_connection();
    EXPECT_EQ(quorvane_cs_request_history(fresh.cs.get()), -1);
    EXPECT_EQ(fresh.a().history_in, nullptr);
    EXPECT_EQ(fresh.a().history_in_got, 0u);

    // buffers still held when the session ends are released with it (the leak
    // checker of the sanitizer build watches): a partial history coming in, and
    // one going out that waits for room in a full send ring
    Mine busy;
    busy.a().history_requested = 1;
    busy.feed(161, chunk(sealed.size(), 0, bytes(sealed.begin(), sealed.begin() + 10)));
    for (int i = 0; i < 60; i++) ASSERT_EQ(quorvane_cs_send_typing(busy.cs.get(), h.conv.data()), 0);
    Keys newdev(kIdentity);
    busy.feed(160, own_device_tlvs(newdev.k));
    EXPECT_EQ(quorvane_cs_take_history_peer(busy.cs.get(), nullptr), 1);
    EXPECT_NE(busy.a().history_out, nullptr);
    EXPECT_EQ(busy.a().history_out_sent, 0u);
    EXPECT_NE(busy.a().history_in, nullptr);
}

// A whole 64 MiB transfer in 256 KiB chunks, sealed to our key, imports. The
// import reads the entries the export names; the rest is filler up to the size.
TEST(AccountHistory, SixtyFourMebibytesImport) {
    History h;
    Mine l;
    l.a().history_requested = 1;
    bytes plain = h.plain;
    plain.resize(QV_HISTORY_MAX - QV_SEAL_OVERHEAD, 0);
    const bytes sealed = sealed_to(l.keys.k.device_x25519_pub, plain);
    ASSERT_EQ(sealed.size(), QV_HISTORY_MAX);
    feed_chunks(l, sealed, QV_HISTORY_CHUNK);
    EXPECT_EQ(quorvane_cs_history_synced(l.cs.get()), 1);
    EXPECT_EQ(quorvane_msgstore_msg_count(l.ms, h.conv.data()), 3u);
}

// Another own device asks (frame 160): only with our identity's certificate;
// the history then goes out in frames 44 of at most 256 KiB, in order, paced
// by the connection's ring, and opens on that device into the same messages.
TEST(AccountHistory, SentToAnOwnDevice) {
    Keys newdev(kIdentity), stranger;
    const bytes ask = own_device_tlvs(newdev.k);
    MineRemote r([&](const bytes &f) {
        if (f[3] != 13) return bytes{};
        return f[8 + 5] == 1 ? frame_of(160, own_device_tlvs(stranger.k)) : frame_of(160, ask);
    });
    // a history large enough to need more frames than the ring holds
    const bytes convs[] = {rep(0x4D, 16), rep(0x4E, 16), rep(0x4F, 16)};
    quorvane_msgstore_batch_begin(r.ms);
    for (uint64_t i = 1; i <= 6000; i++) {
        quorvane_ms_msgrec m{};
        const bytes &c = convs[(i - 1) / 2000];
        if (i % 2000 == 1) {
            ASSERT_EQ(quorvane_msgstore_put_conv(r.ms, c.data(), rep(0x4B, 32).data()), 0);
        }
        std::memcpy(m.conv_id, c.data(), 16);
        std::memset(m.author, 0xA1, 16);
        m.msg_id = i;
        m.time = i;
        m.type = 1;
        std::memset(m.text, 'a' + i % 26, 4096);
        m.text_len = 4096;
        ASSERT_EQ(quorvane_msgstore_add_msg(r.ms, &m), 1);
    }
    ASSERT_EQ(quorvane_msgstore_batch_end(r.ms), 0);
    size_t plain_len = 0;
    uint8_t *x = quorvane_msgstore_export_history(r.ms, &plain_len);
    ASSERT_NE(x, nullptr);
    quorvane_msgstore_export_free(x, plain_len);
    const size_t want_chunks = (plain_len + QV_SEAL_OVERHEAD + QV_HISTORY_CHUNK - 1) / QV_HISTORY_CHUNK;
    ASSERT_GT(want_chunks, QV_CNET_RING);
    r.start();
    ASSERT_EQ(quorvane_cs_send_typing(r.cs.get(), rep(1, 16).data()), 0);  // answered by a stranger's ask
    ASSERT_EQ(quorvane_cs_send_typing(r.cs.get(), rep(2, 16).data()), 0);  // answered by our new device's
    ASSERT_TRUE(wait_until([&] { quorvane_cs_pump(r.cs.get()); return r.cs->account.history_out == nullptr && quorvane_cs_take_history_peer(r.cs.get(), nullptr); }, 60000));
    auto frames = r.wait_frames(2 + want_chunks, 60000);

    uint8_t dev_id[16];
    ASSERT_EQ(quorvane_device_id(newdev.k.device_x25519_pub, newdev.k.device_ed25519_pub, dev_id), 0);
    bytes sealed;
    uint64_t total = 0;
    size_t chunks = 0;
    for (size_t i = 2; i < frames.size(); i++) {
        const bytes &f = frames[i];
        ASSERT_EQ(f[3], 44);
        ASSERT_EQ(hex(b(f.data() + 8, 21)), "34" "00000010" + hex(dev_id, 16));
        total = 0;
        for (int k = 0; k < 8; k++) total = total << 8 | f[8 + 21 + 5 + k];
        EXPECT_EQ(hex(b(f.data() + 8 + 34, 13)), "1a" "00000008" + hex(be64(sealed.size())));
        const size_t n = f.size() - (8 + 47 + 5);
        EXPECT_LE(n, QV_HISTORY_CHUNK);
        EXPECT_EQ(hex(b(f.data() + 8 + 47, 5)), "19" + hex(be32(static_cast<uint32_t>(n))));
        sealed.insert(sealed.end(), f.begin() + 8 + 52, f.end());
        chunks++;
        if (sealed.size() >= total) break;
    }
    ASSERT_EQ(sealed.size(), total);
    EXPECT_EQ(chunks, want_chunks);
    bytes plain(sealed.size() - QV_SEAL_OVERHEAD);
    size_t pl = 0;
    ASSERT_EQ(quorvane_open(newdev.k.device_x25519_priv, sealed.data(), sealed.size(), plain.data(), plain.size(), &pl), 0);
    TempDir d2;
    quorvane_msgstore *ms2 = quorvane_msgstore_open(d2.path.c_str(), kStoreSecret);
    ASSERT_EQ(quorvane_msgstore_import_history(ms2, plain.data(), pl), 0);
    for (const bytes &c : convs) EXPECT_EQ(quorvane_msgstore_msg_count(ms2, c.data()), 2000u);
    quorvane_msgstore_close(ms2);
}
