// Message store: conversations, members and settings, with the conversation
// lists of every older version (tests/client/data/msgstore), checked against
// tests/scripts/msgstore_xcheck.py.
#include "msgstore_fixture.h"

namespace {


// "convs.dat" is judged at open by its version; a file of a version this
// program does not read stays byte for byte until something writes the list,
// which writes the current version and keeps the old bytes aside.
TEST_F(Msgstore, ConvListVersionsJudgedAtOpen) {
    auto empty_list = [](int version) { return bytes(1, char(version)) + unhex("00000000"); };
    struct Case {
        const char *what;
        bytes pt;
        bool usable;
        const char *logged;  // why an unusable one is not read
    } cases[] = {
        {"12", empty_list(12), false, "is of an older version than this program reads"},
        {"13", empty_list(13), true, nullptr},
        {"22", empty_list(22), true, nullptr},
        {"23", empty_list(23), false, "is of a newer version than this program reads"},
        {"255", empty_list(255), false, "is of a newer version than this program reads"},
        {"4 bytes of version 22", unhex("16000000"), false, "is too short to be a conversation list"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string sub = tmp.file(std::string("cv") + std::to_string(&c - cases)), path = sub + "/convs.dat";
        ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
        script_seal(path, c.pt);
        const bytes before = qvtest::read_file(path);
        {
            qvtest::LogCapture log;
            auto ms = open_store(sub);
            ASSERT_TRUE(ms);
            EXPECT_EQ(ms->conv_count, 0u);
            EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), "convs.dat"), c.usable ? 0 : 1);
            if (c.logged) {
                EXPECT_TRUE(log.contains(c.logged)) << log.text();
            } else {
                EXPECT_FALSE(log.contains("convs.dat")) << log.text();
            }
        }
        EXPECT_EQ(qvtest::read_file(path), before);
        {
            auto ms = open_store(sub);
            ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(id.conv), u8(filled(32, 1))), 0);
        }
        fields f = script_describe("convs", path);
        EXPECT_EQ(f["version"], "22");
        EXPECT_EQ(f["count"], "1");
        EXPECT_EQ(f["c0.id"], hex(id.conv));
        auto asides = names_in(sub, "convs.dat.unread-");
        ASSERT_EQ(asides.size(), c.usable ? 0u : 1u);
        if (!c.usable) {
            EXPECT_EQ(qvtest::read_file(sub + "/" + asides[0]), before) << "the aside holds the original bytes";
        }
    }
}

// Every version of the list loads with the defaults of the fields it lacks,
// opening leaves it as it is, and the first change writes the current version.
TEST_F(Msgstore, ConvListOfEveryVersionLoadsAndIsRewrittenCurrent) {
    for (int v = 13; v <= 22; v++) {
        SCOPED_TRACE(v);
        std::string sub = tmp.file(std::string("v").append(std::to_string(v)));
        ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
        copy_file(kData + "convs-" + std::to_string(v) + ".dat", sub + "/convs.dat");
        const bytes original = qvtest::read_file(sub + "/convs.dat");
        auto check = [&](quorvane_msgstore *ms) {
            ASSERT_EQ(quorvane_msgstore_conv_count(ms), 2u);
            EXPECT_EQ(quorvane_msgstore_unreadable(ms, "convs.dat"), 0);
            const quorvane_ms_conv *a = quorvane_msgstore_conv_at(ms, 0);
            ASSERT_EQ(raw(a->id, 16), kA);
            uint8_t keys[9][32];
            ASSERT_EQ(quorvane_msgstore_get_conv_keys(ms, u8(kA), keys, 9), 3u);
            EXPECT_EQ(raw(keys[0], 32), filled(32, 0x11));
            EXPECT_EQ(raw(keys[1], 32), filled(32, 0x31));
            EXPECT_EQ(raw(keys[2], 32), filled(32, 0x32));
            EXPECT_EQ(a->send_counter, 4242u);
            uint8_t peer[16], pkey[32];
            EXPECT_EQ(quorvane_msgstore_get_peer(ms, u8(kA), peer, pkey), 1);
            EXPECT_EQ(raw(peer, 16), filled(16, 0x21));
            EXPECT_EQ(raw(pkey, 32), filled(32, 0x22));
            EXPECT_EQ(quorvane_msgstore_get_verified(ms, u8(kA)), 0);
            EXPECT_EQ(quorvane_msgstore_identity_changed(ms, u8(kA)), 1);
            char t1[200], t2[200];
            EXPECT_EQ(quorvane_msgstore_get_peer_profile(ms, u8(kA), t1, sizeof t1, t2, sizeof t2), 1);
            EXPECT_STREQ(t1, "Peer A");
            EXPECT_STREQ(t2, "about A");
            EXPECT_EQ(quorvane_msgstore_get_label(ms, u8(kA), t1, sizeof t1), 0);
            EXPECT_STREQ(t1, "label A");
            EXPECT_EQ(quorvane_msgstore_get_group_name(ms, u8(kA), t1, sizeof t1), 1);
            EXPECT_STREQ(t1, "Group A");
            EXPECT_EQ(raw(a->peer_avatar, a->peer_avatar_len), std::string("\x05").append(filled(30, 'P')));
            EXPECT_EQ(raw(a->group_avatar, a->group_avatar_len), std::string("\x07").append(filled(20, 'G')));
            EXPECT_EQ(quorvane_msgstore_mode(ms, u8(kA), 0), 2);
            EXPECT_EQ(quorvane_msgstore_get_blocked(ms, u8(kA)), 1);
            EXPECT_EQ(quorvane_msgstore_get_read(ms, u8(kA)), 777u);
            // members: devices from 15, muted from 19
            ASSERT_EQ(quorvane_msgstore_member_count(ms, u8(kA)), 2u);
            uint8_t user[16], ik[32], k2[32], role = 9;
            ASSERT_EQ(quorvane_msgstore_member_at(ms, u8(kA), 0, user, ik, k2, &role), 0);
            EXPECT_EQ(raw(user, 16), filled(16, 0x41));
            EXPECT_EQ(raw(ik, 32), filled(32, 0x42));
            EXPECT_EQ(raw(k2, 32), filled(32, 0x43));
            EXPECT_EQ(role, 1);
            EXPECT_EQ(quorvane_msgstore_member_name(ms, u8(kA), u8(filled(16, 0x41)), t1, sizeof t1), 1);
            EXPECT_STREQ(t1, "Mem one");
            EXPECT_EQ(quorvane_msgstore_member_name(ms, u8(kA), u8(filled(16, 0x51)), t1, sizeof t1), 0);
            uint8_t d1[5][32], d2[5][32];
            size_t nd = quorvane_msgstore_member_devices(ms, u8(kA), u8(filled(16, 0x41)), d1, d2, 5);
            EXPECT_EQ(nd, v >= 15 ? 1u : 0u);
            if (nd == 1) {
                EXPECT_EQ(raw(d1[0], 32), filled(32, 0x44));
                EXPECT_EQ(raw(d2[0], 32), filled(32, 0x45));
            }
            EXPECT_EQ(quorvane_msgstore_member_muted(ms, u8(kA), 0), v >= 19 ? 1 : 0);
            EXPECT_EQ(quorvane_msgstore_member_muted(ms, u8(kA), 1), 0);
            // trailer: hidden and floor from 14, cursor 16, retention 17, has-key 18, the rest 20
            EXPECT_EQ(quorvane_msgstore_conv_hidden(ms, u8(kA)), v >= 14 ? 1 : 0);
            EXPECT_EQ(quorvane_msgstore_history_floor(ms, u8(kA)), v >= 14 ? 5000u : 0u);
            EXPECT_EQ(quorvane_msgstore_sync_cursor(ms, u8(kA)), v >= 16 ? 6000u : v >= 14 ? 5000u : 0u);
            EXPECT_EQ(quorvane_msgstore_get_retention(ms, u8(kA)), v >= 17 ? 30u : 0u);
            EXPECT_EQ(quorvane_msgstore_kind(ms, u8(kA)), v >= 20 ? 2 : 1) << "announced channel, or derived group";
            EXPECT_EQ(quorvane_msgstore_read_mark(ms, u8(kA)), v >= 20 ? 888u : 0u);
            EXPECT_EQ(quorvane_msgstore_mode(ms, u8(kA), 1), v >= 20 ? 2 : 0);
            // B: the out-of-range bytes read as 0; locked only where the version can say so
            EXPECT_EQ(quorvane_msgstore_conv_locked(ms, u8(kB)), v >= 18 ? 1 : 0);
            EXPECT_EQ(quorvane_msgstore_mode(ms, u8(kB), 0), 0);
            EXPECT_EQ(quorvane_msgstore_mode(ms, u8(kB), 1), 0);
            EXPECT_EQ(quorvane_msgstore_conv_at(ms, 1)->kind, 0);
            EXPECT_EQ(quorvane_msgstore_get_peer(ms, u8(kB), nullptr, nullptr), 0);
            // store-wide bytes: mute and notification defaults from 20, car flags 21, receipts 22
            EXPECT_EQ(ms->mute_defaults, v >= 20 ? 5 : 0);
            EXPECT_EQ(ms->notif_defaults, v >= 20 ? 2 : 0);
            EXPECT_EQ(quorvane_msgstore_car_flags(ms), v >= 21 ? 6 : 0);
            EXPECT_EQ(quorvane_msgstore_send_receipts(ms), v >= 22 ? 0 : 1);
        };
        {
            auto ms = open_store(sub);
            ASSERT_TRUE(ms);
            check(ms.get());
            ms.reset();
            EXPECT_EQ(qvtest::read_file(sub + "/convs.dat"), original) << "opening rewrote the list";
            ms = open_store(sub);
            ASSERT_EQ(quorvane_msgstore_set_blocked(ms.get(), u8(kA), 1), 0);
            check(ms.get());
        }
        EXPECT_TRUE(names_in(sub, "convs.dat.unread-").empty()) << "a readable older list needs no aside";
        fields f = script_describe("convs", sub + "/convs.dat");
        EXPECT_EQ(f["version"], "22");
        EXPECT_EQ(f["count"], "2");
        EXPECT_EQ(f["complete"], "1");
        EXPECT_EQ(f["c0.members"], "2");
        EXPECT_EQ(f["c0.m0.devices"], v >= 15 ? hex(filled(32, 0x44)) + ":" + hex(filled(32, 0x45)) : "-");
        EXPECT_EQ(f["c0.m0.muted"], v >= 19 ? "1" : "0");
        EXPECT_EQ(f["c0.cursor"], v >= 16 ? "6000" : "0");
        EXPECT_EQ(f["c0.kind"], v >= 20 ? "3" : "0");
        EXPECT_EQ(f["c1.has_key"], v >= 18 ? "0" : "1");
        EXPECT_EQ(f["settings"], v >= 22 ? "5,2,6,1" : v == 21 ? "5,2,6,0" : v == 20 ? "5,2,0,0" : "0,0,0,0");
        auto ms = open_store(sub);
        check(ms.get());
    }
}

// Every setting of a conversation and of the store, set through the store,
// survives a reopen and reads back in the independent decoder.
TEST_F(Msgstore, ConversationSettingsSurviveReopen) {
    const bytes c1 = filled(16, 0x01), c2 = filled(16, 0x02), k1 = filled(32, 0x0a), k2 = filled(32, 0x0b);
    const bytes peer = filled(16, 0x0c), pkey = filled(32, 0x0d);
    const uint8_t users[3][16] = {{0x31}, {0x32}, {0x33}}, iks[3][32] = {{0x41}, {0x42}, {0x43}},
                  sks[3][32] = {{0x51}, {0x52}, {0x53}}, roles[3] = {0, 1, 2};
    const uint8_t dev1[2][32] = {{0x61}, {0x62}}, dev2[2][32] = {{0x71}, {0x72}};
    quorvane_file_meta av{};
    memset(av.blob.key, 0x77, sizeof av.blob.key);
    strcpy(av.mime, "image/png");
    strcpy(av.name, "p.png");
    {
        auto ms = open();
        ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c1), u8(k1)), 0);
        ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c1), u8(k2)), 0);
        ASSERT_EQ(quorvane_msgstore_put_conv_locked(ms.get(), u8(c2)), 0);
        EXPECT_EQ(quorvane_msgstore_next_counter(ms.get(), u8(c1)), 1u);
        EXPECT_EQ(quorvane_msgstore_next_counter(ms.get(), u8(c1)), 2u);
        ASSERT_EQ(quorvane_msgstore_set_label(ms.get(), u8(c1), "work"), 0);
        ASSERT_EQ(quorvane_msgstore_set_peer(ms.get(), u8(c1), u8(peer), u8(pkey)), 0);
        ASSERT_EQ(quorvane_msgstore_set_verified(ms.get(), u8(c1), 7), 0);
        ASSERT_EQ(quorvane_msgstore_set_peer_profile(ms.get(), u8(c1), "Pat", "hi"), 0);
        ASSERT_EQ(quorvane_msgstore_set_peer_avatar(ms.get(), u8(c1), &av), 0);
        ASSERT_EQ(quorvane_msgstore_set_group_avatar(ms.get(), u8(c1), &av), 0);
        ASSERT_EQ(quorvane_msgstore_set_group_name(ms.get(), u8(c1), "team"), 0);
        ASSERT_EQ(quorvane_msgstore_set_members(ms.get(), u8(c1), users, iks, sks, roles, 3), 0);
        ASSERT_EQ(quorvane_msgstore_set_member_devices(ms.get(), u8(c1), users[1], dev1, dev2, 2), 0);
        const uint8_t mute_users[1][16] = {{0x33}}, mute_flags[1] = {1};
        ASSERT_EQ(quorvane_msgstore_set_member_muted(ms.get(), u8(c1), mute_users, mute_flags, 1), 0);
        ASSERT_EQ(quorvane_msgstore_set_member_name(ms.get(), u8(c1), users[0], "Zoe"), 0);
        ASSERT_EQ(quorvane_msgstore_set_kind(ms.get(), u8(c1), 2), 0);
        ASSERT_EQ(quorvane_msgstore_set_read(ms.get(), u8(c1), 40), 0);
        ASSERT_EQ(quorvane_msgstore_set_read_mark(ms.get(), u8(c1), 41), 1);
        quorvane_msgstore_note_cursor(ms.get(), u8(c1), 42);
        ASSERT_EQ(quorvane_msgstore_set_mode(ms.get(), u8(c1), 1, 1), 0);
        ASSERT_EQ(quorvane_msgstore_set_muted(ms.get(), u8(c1), 1), 0);
        ASSERT_EQ(quorvane_msgstore_set_blocked(ms.get(), u8(c1), 3), 0);
        ASSERT_EQ(quorvane_msgstore_set_retention(ms.get(), u8(c1), 9), 0);
        ASSERT_EQ(quorvane_msgstore_set_type_default(ms.get(), 0, 2, 1), 0);
        ASSERT_EQ(quorvane_msgstore_set_type_default(ms.get(), 1, 1, 0), 0);
        ASSERT_EQ(quorvane_msgstore_set_car_flags(ms.get(), 5), 0);
        ASSERT_EQ(quorvane_msgstore_set_send_receipts(ms.get(), 0), 0);
        quorvane_msgstore_note_cursor(ms.get(), u8(c1), 43);  // written at close
    }
    auto ms = open();
    ASSERT_EQ(quorvane_msgstore_conv_count(ms.get()), 2u);
    uint8_t keys[8][32];
    ASSERT_EQ(quorvane_msgstore_get_conv_keys(ms.get(), u8(c1), keys, 8), 2u);
    EXPECT_EQ(raw(keys[0], 32), k2);
    EXPECT_EQ(raw(keys[1], 32), k1);
    EXPECT_EQ(quorvane_msgstore_conv_locked(ms.get(), u8(c2)), 1);
    EXPECT_EQ(quorvane_msgstore_get_conv(ms.get(), u8(c2), keys[0]), 0);
    EXPECT_EQ(quorvane_msgstore_next_counter(ms.get(), u8(c1)), 3u);
    char t1[100], t2[200];
    EXPECT_EQ(quorvane_msgstore_get_label(ms.get(), u8(c1), t1, sizeof t1), 0);
    EXPECT_STREQ(t1, "work");
    EXPECT_EQ(quorvane_msgstore_get_verified(ms.get(), u8(c1)), 1);
    EXPECT_EQ(quorvane_msgstore_get_peer_profile(ms.get(), u8(c1), t1, sizeof t1, t2, sizeof t2), 1);
    EXPECT_STREQ(t1, "Pat");
    EXPECT_STREQ(t2, "hi");
    quorvane_file_meta out{};
    EXPECT_EQ(quorvane_msgstore_get_peer_avatar(ms.get(), u8(c1), &out), 1);
    EXPECT_STREQ(out.name, "p.png");
    EXPECT_EQ(quorvane_msgstore_get_group_avatar(ms.get(), u8(c1), &out), 1);
    EXPECT_EQ(memcmp(out.blob.key, av.blob.key, sizeof av.blob.key), 0);
    EXPECT_EQ(quorvane_msgstore_get_group_name(ms.get(), u8(c1), t1, sizeof t1), 1);
    EXPECT_STREQ(t1, "team");
    ASSERT_EQ(quorvane_msgstore_member_count(ms.get(), u8(c1)), 3u);
    uint8_t d1[5][32], d2[5][32];
    ASSERT_EQ(quorvane_msgstore_member_devices(ms.get(), u8(c1), users[1], d1, d2, 5), 2u);
    EXPECT_EQ(raw(d1[1], 32), raw(dev1[1], 32));
    EXPECT_EQ(raw(d2[0], 32), raw(dev2[0], 32));
    EXPECT_EQ(quorvane_msgstore_member_devices(ms.get(), u8(c1), users[1], nullptr, d2, 1), 1u) << "cut to the capacity";
    EXPECT_EQ(quorvane_msgstore_member_muted(ms.get(), u8(c1), 2), 1);
    EXPECT_EQ(quorvane_msgstore_member_muted(ms.get(), u8(c1), 0), 0);
    EXPECT_EQ(quorvane_msgstore_member_name(ms.get(), u8(c1), users[0], t1, sizeof t1), 1);
    EXPECT_STREQ(t1, "Zoe");
    EXPECT_EQ(quorvane_msgstore_kind(ms.get(), u8(c1)), 2);
    EXPECT_EQ(quorvane_msgstore_get_read(ms.get(), u8(c1)), 40u);
    EXPECT_EQ(quorvane_msgstore_read_mark(ms.get(), u8(c1)), 41u);
    EXPECT_EQ(quorvane_msgstore_sync_cursor(ms.get(), u8(c1)), 43u);
    EXPECT_EQ(quorvane_msgstore_mode(ms.get(), u8(c1), 1), 1);
    EXPECT_EQ(quorvane_msgstore_get_muted(ms.get(), u8(c1)), 1);
    EXPECT_EQ(quorvane_msgstore_get_blocked(ms.get(), u8(c1)), 1);
    EXPECT_EQ(quorvane_msgstore_get_retention(ms.get(), u8(c1)), 9u);
    EXPECT_EQ(quorvane_msgstore_type_default(ms.get(), 0, 2), 1);
    EXPECT_EQ(quorvane_msgstore_type_default(ms.get(), 0, 1), 0);
    EXPECT_EQ(quorvane_msgstore_type_default(ms.get(), 1, 1), 0);
    EXPECT_EQ(quorvane_msgstore_type_default(ms.get(), 1, 0), 1);
    EXPECT_EQ(quorvane_msgstore_car_flags(ms.get()), 5);
    EXPECT_EQ(quorvane_msgstore_send_receipts(ms.get()), 0);
    ms.reset();

    fields f = script_describe("convs", file("convs.dat"));
    EXPECT_EQ(f["version"], "22");
    EXPECT_EQ(f["c0.id"], hex(c1));
    EXPECT_EQ(f["c0.key"], hex(k2));
    EXPECT_EQ(f["c0.old_keys"], hex(k1));
    EXPECT_EQ(f["c0.counter"], "3");
    EXPECT_EQ(f["c0.label"], hex("work"));
    EXPECT_EQ(f["c0.peer_id"], hex(peer));
    EXPECT_EQ(f["c0.verified"], "1");
    EXPECT_EQ(f["c0.peer_name"], hex("Pat"));
    EXPECT_EQ(f["c0.group_name"], hex("team"));
    EXPECT_EQ(f["c0.m0.name"], hex("Zoe"));
    EXPECT_EQ(f["c0.m2.role"], "2");
    EXPECT_EQ(f["c0.m2.muted"], "1");
    EXPECT_EQ(f["c0.m1.devices"], hex(raw(dev1[0], 32)) + ":" + hex(raw(dev2[0], 32)) + "," + hex(raw(dev1[1], 32)) +
                                      ":" + hex(raw(dev2[1], 32)));
    EXPECT_EQ(f["c0.kind"], "3");
    EXPECT_EQ(f["c0.read_pos"], "40");
    EXPECT_EQ(f["c0.read_mark"], "41");
    EXPECT_EQ(f["c0.cursor"], "43");
    EXPECT_EQ(f["c0.mute"], "1");
    EXPECT_EQ(f["c0.notif"], "1");
    EXPECT_EQ(f["c0.blocked"], "1");
    EXPECT_EQ(f["c0.retention"], "9");
    EXPECT_EQ(f["c1.has_key"], "0");
    EXPECT_EQ(f["settings"], "4,2,5,1");
}

// The older writable versions, chosen by the test hook, carry what they can.
// The write version is process-wide: a failed assertion must not leave the
// tests after this one writing an older layout.
struct WriteVersionReset {
    ~WriteVersionReset() { quorvane_msgstore_test_write_version(QV_MS_CONVS_VERSION); }
};

TEST_F(Msgstore, WriteVersionHookWritesOlderLayouts) {
    for (int v : {19, 20, 21, 22}) {
        SCOPED_TRACE(v);
        std::string sub = tmp.file(std::string("w").append(std::to_string(v)));
        {
            WriteVersionReset reset;
            quorvane_msgstore_test_write_version(v);
            auto ms = open_store(sub);
            ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(id.conv), u8(filled(32, 1))), 0);
            ASSERT_EQ(quorvane_msgstore_set_kind(ms.get(), u8(id.conv), 1), 0);
            ASSERT_EQ(quorvane_msgstore_set_car_flags(ms.get(), 3), 0);
            ASSERT_EQ(quorvane_msgstore_set_send_receipts(ms.get(), 0), 0);
            ASSERT_EQ(quorvane_msgstore_set_type_default(ms.get(), 0, 0, 1), 0);
        }
        fields f = script_describe("convs", sub + "/convs.dat");
        EXPECT_EQ(f["version"], std::to_string(v));
        EXPECT_EQ(f["complete"], "1");
        EXPECT_EQ(f["c0.kind"], v >= 20 ? "2" : "0");
        EXPECT_EQ(f["settings"], v >= 22 ? "1,0,3,1" : v == 21 ? "1,0,3,0" : v == 20 ? "1,0,0,0" : "0,0,0,0");
        auto ms = open_store(sub);
        EXPECT_EQ(quorvane_msgstore_conv_at(ms.get(), 0)->kind, v >= 20 ? 2 : 0);
        EXPECT_EQ(quorvane_msgstore_car_flags(ms.get()), v >= 21 ? 3 : 0);
        EXPECT_EQ(quorvane_msgstore_send_receipts(ms.get()), v >= 22 ? 0 : 1);
    }
}

TEST_F(Msgstore, ConversationKeysAndPlaceholders) {
    auto ms = open();
    const bytes c = id.conv;
    EXPECT_EQ(quorvane_msgstore_get_conv(ms.get(), u8(c), nullptr), 0);
    EXPECT_EQ(quorvane_msgstore_add_old_keys(ms.get(), u8(c), nullptr, 0), -1) << "not held";
    ASSERT_EQ(quorvane_msgstore_put_conv_locked(ms.get(), u8(c)), 0);
    EXPECT_EQ(quorvane_msgstore_conv_locked(ms.get(), u8(c)), 1);
    uint8_t keys[9][32];
    EXPECT_EQ(quorvane_msgstore_get_conv_keys(ms.get(), u8(c), keys, 9), 0u);
    const uint8_t one[1][32] = {{1}};
    EXPECT_EQ(quorvane_msgstore_add_old_keys(ms.get(), u8(c), one, 1), -1) << "locked";
    // the placeholder takes its key in place: no older key appears
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(filled(32, 1))), 0);
    EXPECT_EQ(quorvane_msgstore_conv_locked(ms.get(), u8(c)), 0);
    EXPECT_EQ(quorvane_msgstore_get_conv_keys(ms.get(), u8(c), keys, 9), 1u);
    EXPECT_EQ(quorvane_msgstore_put_conv_locked(ms.get(), u8(c)), 0);
    EXPECT_EQ(quorvane_msgstore_conv_locked(ms.get(), u8(c)), 0);

    // the same key again writes nothing
    ASSERT_EQ(unlink(file("convs.dat").c_str()), 0);
    EXPECT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(filled(32, 1))), 0);
    EXPECT_FALSE(exists(file("convs.dat")));

    // eight further keys: the older list holds the last seven replaced, newest first
    for (int k = 2; k <= 9; k++) ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(filled(32, k))), 0);
    ASSERT_EQ(quorvane_msgstore_get_conv_keys(ms.get(), u8(c), keys, 9), 8u);
    for (int i = 0; i < 8; i++) EXPECT_EQ(keys[i][0], 9 - i) << i;
    EXPECT_EQ(quorvane_msgstore_get_conv_keys(ms.get(), u8(c), keys, 3), 3u);
    const quorvane_ms_conv *rec = quorvane_msgstore_conv_at(ms.get(), 0);
    EXPECT_EQ(rec->old_key_count, 7);

    // older keys from elsewhere: duplicates of held keys are skipped, at most 7 held
    const bytes c2 = id.conv2;
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c2), u8(filled(32, 0x50))), 0);
    const uint8_t add[4][32] = {{0x50}, {0x51}, {0x51}, {0x52}};
    uint8_t add_full[4][32];
    memcpy(add_full, add, sizeof add);
    for (auto &k : add_full) memset(k + 1, k[0], 31);
    EXPECT_EQ(quorvane_msgstore_add_old_keys(ms.get(), u8(c2), add_full, 4), 2);
    EXPECT_EQ(quorvane_msgstore_add_old_keys(ms.get(), u8(c2), add_full, 4), 0);
    EXPECT_EQ(quorvane_msgstore_add_old_keys(ms.get(), u8(c2), add_full, 0), 0);
    ASSERT_EQ(quorvane_msgstore_get_conv_keys(ms.get(), u8(c2), keys, 9), 3u);
    EXPECT_EQ(keys[1][0], 0x51);
    EXPECT_EQ(keys[2][0], 0x52);
    uint8_t many[9][32];
    for (int i = 0; i < 9; i++) memset(many[i], 0x60 + i, 32);
    EXPECT_EQ(quorvane_msgstore_add_old_keys(ms.get(), u8(c2), many, 9), 5) << "stops at seven older keys";
    EXPECT_EQ(quorvane_msgstore_get_conv_keys(ms.get(), u8(c2), keys, 9), 8u);

    EXPECT_EQ(quorvane_msgstore_next_counter(ms.get(), u8(filled(16, 0x99))), 0u);
    EXPECT_EQ(quorvane_msgstore_conv_at(ms.get(), 2), nullptr);
    EXPECT_EQ(quorvane_msgstore_conv_count(nullptr), 0u);
}

// A write that fails returns -1 and keeps the change in memory, except the
// send counter, which goes back.
TEST_F(Msgstore, FailedListWriteKeepsChangeButNotCounter) {
    auto ms = open();
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(id.conv), u8(filled(32, 1))), 0);
    EXPECT_EQ(quorvane_msgstore_next_counter(ms.get(), u8(id.conv)), 1u);
    const bytes before = qvtest::read_file(file("convs.dat"));
    ASSERT_EQ(mkdir(file("convs.dat.tmp").c_str(), 0700), 0);
    EXPECT_EQ(quorvane_msgstore_next_counter(ms.get(), u8(id.conv)), 0u);
    EXPECT_EQ(quorvane_msgstore_set_label(ms.get(), u8(id.conv), "kept"), -1);
    quorvane_msgstore_note_cursor(ms.get(), u8(id.conv), 77);
    EXPECT_EQ(quorvane_msgstore_flush(ms.get()), -1);
    EXPECT_EQ(ms->cursor_dirty, 1) << "a failed flush is tried again";
    EXPECT_EQ(qvtest::read_file(file("convs.dat")), before);
    char t[80];
    EXPECT_EQ(quorvane_msgstore_get_label(ms.get(), u8(id.conv), t, sizeof t), 0);
    EXPECT_STREQ(t, "kept");
    ASSERT_EQ(rmdir(file("convs.dat.tmp").c_str()), 0);
    EXPECT_EQ(quorvane_msgstore_next_counter(ms.get(), u8(id.conv)), 2u);
    EXPECT_EQ(ms->cursor_dirty, 0) << "the list written carries the cursor";
    ms.reset();
    ms = open();
    EXPECT_EQ(quorvane_msgstore_sync_cursor(ms.get(), u8(id.conv)), 77u);
    EXPECT_EQ(quorvane_msgstore_get_label(ms.get(), u8(id.conv), t, sizeof t), 0);
    EXPECT_STREQ(t, "kept");
}

TEST_F(Msgstore, PeerVerificationAndProfiles) {
    auto ms = open();
    const bytes c = id.conv, u1 = filled(16, 1), u2 = filled(16, 2), k1 = filled(32, 1), k2 = filled(32, 2);
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(filled(32, 9))), 0);
    EXPECT_EQ(quorvane_msgstore_get_peer(ms.get(), u8(id.conv2), nullptr, nullptr), -1);
    EXPECT_EQ(quorvane_msgstore_get_verified(ms.get(), u8(id.conv2)), -1);
    struct Step {
        const char *what;
        bool verify;
        const bytes *user, *key;
        int verified, changed;
    } steps[] = {
        {"first peer", false, &u1, &k1, 0, 0},
        {"never verified, new key: mark stays 0", false, &u1, &k2, 0, 0},
        {"verified", true, &u1, &k2, 1, 0},
        {"same peer again", false, &u1, &k2, 1, 0},
        {"verified, new key", false, &u1, &k1, 0, 1},
        {"still changed after another key", false, &u2, &k2, 0, 1},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(s.what);
        if (s.verify) {
            ASSERT_EQ(quorvane_msgstore_set_verified(ms.get(), u8(c), 1), 0);
        }
        ASSERT_EQ(quorvane_msgstore_set_peer(ms.get(), u8(c), u8(*s.user), u8(*s.key)), 0);
        EXPECT_EQ(quorvane_msgstore_get_verified(ms.get(), u8(c)), s.verified);
        EXPECT_EQ(quorvane_msgstore_identity_changed(ms.get(), u8(c)), s.changed);
        uint8_t got[32];
        EXPECT_EQ(quorvane_msgstore_get_peer(ms.get(), u8(c), nullptr, got), 1);
        EXPECT_EQ(raw(got, 32), *s.key);
    }
    char n[100] = "x", a[200] = "y";
    EXPECT_EQ(quorvane_msgstore_get_peer_profile(ms.get(), u8(c), n, sizeof n, a, sizeof a), 0);
    EXPECT_STREQ(n, "");
    EXPECT_EQ(quorvane_msgstore_get_peer_profile(ms.get(), u8(id.conv2), n, sizeof n, a, sizeof a), -1);
    const std::string longname(70, 'n'), longabout(130, 'a'), longlabel(100, 'l');
    ASSERT_EQ(quorvane_msgstore_set_peer_profile(ms.get(), u8(c), longname.c_str(), nullptr), 0);
    EXPECT_EQ(quorvane_msgstore_get_peer_profile(ms.get(), u8(c), n, sizeof n, a, sizeof a), 1);
    EXPECT_EQ(std::string(n), longname.substr(0, 64));
    EXPECT_STREQ(a, "");
    ASSERT_EQ(quorvane_msgstore_set_peer_profile(ms.get(), u8(c), nullptr, longabout.c_str()), 0);
    EXPECT_EQ(quorvane_msgstore_get_peer_profile(ms.get(), u8(c), n, sizeof n, a, sizeof a), 1);
    EXPECT_EQ(std::string(a), longabout.substr(0, 128));
    ASSERT_EQ(quorvane_msgstore_set_label(ms.get(), u8(c), longlabel.c_str()), 0);
    ASSERT_EQ(quorvane_msgstore_set_group_name(ms.get(), u8(c), longlabel.c_str()), 0);
    EXPECT_EQ(quorvane_msgstore_get_label(ms.get(), u8(c), n, sizeof n), 0);
    EXPECT_EQ(std::string(n), longlabel.substr(0, 63));
    EXPECT_EQ(quorvane_msgstore_get_group_name(ms.get(), u8(c), n, sizeof n), 1);
    EXPECT_EQ(std::string(n), longlabel.substr(0, 63));
    ASSERT_EQ(quorvane_msgstore_set_group_name(ms.get(), u8(c), nullptr), 0);
    EXPECT_EQ(quorvane_msgstore_get_group_name(ms.get(), u8(c), n, sizeof n), 0);
    strcpy(n, "stale");
    EXPECT_EQ(quorvane_msgstore_get_group_name(ms.get(), u8(id.conv2), n, sizeof n), -1);
    EXPECT_STREQ(n, "") << "buffer emptied";

    quorvane_file_meta av{}, out{};
    EXPECT_EQ(quorvane_msgstore_get_peer_avatar(ms.get(), u8(c), &out), 0);
    EXPECT_EQ(quorvane_msgstore_get_peer_avatar(ms.get(), u8(id.conv2), &out), -1);
    EXPECT_EQ(quorvane_msgstore_get_group_avatar(ms.get(), u8(id.conv2), &out), 0);
    EXPECT_EQ(quorvane_msgstore_set_peer_avatar(ms.get(), u8(c), nullptr), -1);
    EXPECT_EQ(quorvane_msgstore_set_group_avatar(ms.get(), u8(id.conv2), &av), -1);
    EXPECT_EQ(quorvane_msgstore_get_peer_avatar(ms.get(), u8(c), &out), 0);
}

// Members: the list, names that stay with their user, devices, mutes, who
// may delete, and the group safety number.
TEST_F(Msgstore, MembersDevicesMutesAndRoles) {
    auto ms = open();
    const bytes c = id.conv;
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(filled(32, 9))), 0);
    uint8_t users[65][16] = {}, iks[65][32] = {}, sks[65][32] = {}, roles[65] = {};
    for (int i = 0; i < 65; i++) {
        users[i][0] = uint8_t(i + 1);
        memset(iks[i], i + 1, 32);
        memset(sks[i], 0x80 + i, 32);
    }
    roles[1] = 1;
    roles[2] = 2;
    EXPECT_EQ(quorvane_msgstore_set_members(ms.get(), u8(c), nullptr, iks, sks, roles, 3), -1);
    EXPECT_EQ(quorvane_msgstore_set_members(ms.get(), u8(id.conv2), users, iks, sks, roles, 3), -1);
    ASSERT_EQ(quorvane_msgstore_set_members(ms.get(), u8(c), users, iks, sks, roles, 3), 0);
    uint32_t rev = quorvane_msgstore_conv_revision(ms.get(), u8(c));
    ASSERT_EQ(quorvane_msgstore_set_members(ms.get(), u8(c), users, iks, sks, roles, 3), 0);
    EXPECT_EQ(quorvane_msgstore_conv_revision(ms.get(), u8(c)), rev) << "the same list raises nothing";
    EXPECT_EQ(ms->ident_count, 3u) << "each member's identity recorded on first sight";
    ASSERT_EQ(quorvane_msgstore_set_member_name(ms.get(), u8(c), users[1], "Bo"), 0);
    EXPECT_EQ(quorvane_msgstore_set_member_name(ms.get(), u8(c), users[40], "x"), 0) << "not a member";
    // the kind follows the members until it is announced
    EXPECT_EQ(quorvane_msgstore_kind(ms.get(), u8(c)), 1);

    // a new list: the member who stays keeps the name, newcomers have none
    const uint8_t (*from1)[16] = users + 1;
    ASSERT_EQ(quorvane_msgstore_set_members(ms.get(), u8(c), from1, iks + 1, sks + 1, roles + 1, 2), 0);
    EXPECT_EQ(quorvane_msgstore_conv_revision(ms.get(), u8(c)), rev + 1);
    char n[80];
    EXPECT_EQ(quorvane_msgstore_member_name(ms.get(), u8(c), users[1], n, sizeof n), 1);
    EXPECT_STREQ(n, "Bo");
    EXPECT_EQ(quorvane_msgstore_member_name(ms.get(), u8(c), users[0], n, sizeof n), -1);
    EXPECT_EQ(quorvane_msgstore_kind(ms.get(), u8(c)), 0) << "two members, no group name";
    ASSERT_EQ(quorvane_msgstore_set_group_name(ms.get(), u8(c), "named"), 0);
    EXPECT_EQ(quorvane_msgstore_kind(ms.get(), u8(c)), 1);
    ASSERT_EQ(quorvane_msgstore_set_kind(ms.get(), u8(c), 0), 0);
    EXPECT_EQ(quorvane_msgstore_kind(ms.get(), u8(c)), 1) << "a direct kind with a group name is derived";
    EXPECT_EQ(quorvane_msgstore_set_kind(ms.get(), u8(c), 3), -1);
    EXPECT_EQ(quorvane_msgstore_set_kind(ms.get(), u8(c), 0), 0);

    // who may delete: the author, or a member of role 1 or 2
    EXPECT_EQ(quorvane_msgstore_can_delete(ms.get(), u8(c), users[1], users[5]), 1);
    EXPECT_EQ(quorvane_msgstore_can_delete(ms.get(), u8(c), users[2], users[5]), 1);
    EXPECT_EQ(quorvane_msgstore_can_delete(ms.get(), u8(c), users[5], users[5]), 1);
    EXPECT_EQ(quorvane_msgstore_can_delete(ms.get(), u8(c), users[6], users[5]), 0);
    EXPECT_EQ(quorvane_msgstore_can_delete(ms.get(), u8(c), nullptr, users[5]), 0);

    // devices: at most five pairs, no revision change, the same pairs write nothing
    uint8_t f6[6][32], s6[6][32];
    for (int i = 0; i < 6; i++) memset(f6[i], 0x10 + i, 32), memset(s6[i], 0x20 + i, 32);
    EXPECT_EQ(quorvane_msgstore_set_member_devices(ms.get(), u8(c), users[1], f6, nullptr, 2), -1);
    EXPECT_EQ(quorvane_msgstore_set_member_devices(ms.get(), u8(c), users[0], f6, s6, 2), -1) << "not a member";
    rev = quorvane_msgstore_conv_revision(ms.get(), u8(c));
    ASSERT_EQ(quorvane_msgstore_set_member_devices(ms.get(), u8(c), users[1], f6, s6, 6), 0);
    EXPECT_EQ(quorvane_msgstore_conv_revision(ms.get(), u8(c)), rev);
    uint8_t g1[6][32], g2[6][32];
    EXPECT_EQ(quorvane_msgstore_member_devices(ms.get(), u8(c), users[1], g1, g2, 6), 5u);
    EXPECT_EQ(raw(g1[4], 32), raw(f6[4], 32));
    EXPECT_EQ(quorvane_msgstore_member_devices(ms.get(), u8(c), users[1], g1, g2, 6), 5u);
    ASSERT_EQ(unlink(file("convs.dat").c_str()), 0);
    EXPECT_EQ(quorvane_msgstore_set_member_devices(ms.get(), u8(c), users[1], f6, s6, 5), 0);
    EXPECT_FALSE(exists(file("convs.dat"))) << "the same pairs write nothing";
    ASSERT_EQ(quorvane_msgstore_set_member_devices(ms.get(), u8(c), users[1], nullptr, nullptr, 0), 0);
    EXPECT_EQ(quorvane_msgstore_member_devices(ms.get(), u8(c), users[1], g1, g2, 6), 0u);

    // mutes: the first list entry of a user decides; unlisted members are unmuted
    const uint8_t mu[3][16] = {{2}, {2}, {3}}, fl[3] = {1, 0, 0};
    ASSERT_EQ(quorvane_msgstore_set_member_muted(ms.get(), u8(c), mu, fl, 3), 0);
    EXPECT_EQ(quorvane_msgstore_member_muted(ms.get(), u8(c), 0), 1);
    EXPECT_EQ(quorvane_msgstore_member_muted(ms.get(), u8(c), 1), 0);
    EXPECT_EQ(quorvane_msgstore_member_muted(ms.get(), u8(c), 2), 0) << "past the end";
    ASSERT_EQ(unlink(file("convs.dat").c_str()), 0);
    EXPECT_EQ(quorvane_msgstore_set_member_muted(ms.get(), u8(c), mu, fl, 3), 0);
    EXPECT_FALSE(exists(file("convs.dat"))) << "no flag changed: nothing written";
    ASSERT_EQ(quorvane_msgstore_set_member_muted(ms.get(), u8(c), nullptr, nullptr, 0), 0);
    EXPECT_EQ(quorvane_msgstore_member_muted(ms.get(), u8(c), 0), 0);

    // 65 given: the first 64 are kept
    ASSERT_EQ(quorvane_msgstore_set_members(ms.get(), u8(c), users, iks, sks, roles, 65), 0);
    EXPECT_EQ(quorvane_msgstore_member_count(ms.get(), u8(c)), 64u);
    uint8_t last[16];
    ASSERT_EQ(quorvane_msgstore_member_at(ms.get(), u8(c), 63, last, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(last[0], 64);
    EXPECT_EQ(quorvane_msgstore_member_at(ms.get(), u8(c), 64, last, nullptr, nullptr, nullptr), -1);

    // the group safety number: 72 bytes at least, 1 to 64 members, the same
    // text as the members handed over directly
    char sn[80], want[80];
    EXPECT_EQ(quorvane_msgstore_group_safety_number(ms.get(), u8(c), sn, 71), -1);
    ASSERT_EQ(quorvane_msgstore_set_members(ms.get(), u8(c), users, iks, sks, roles, 3), 0);
    ASSERT_EQ(quorvane_msgstore_group_safety_number(ms.get(), u8(c), sn, 72), 0);
    quorvane_safety_member list[3];
    for (int i = 0; i < 3; i++) {
        list[i].identity_pub = iks[i];
        memcpy(list[i].user_id, users[i], 16);
    }
    ASSERT_EQ(quorvane_group_safety_number(list, 3, want), 0);
    EXPECT_STREQ(sn, want);
    ASSERT_EQ(quorvane_msgstore_set_members(ms.get(), u8(c), nullptr, nullptr, nullptr, nullptr, 0), 0);
    EXPECT_EQ(quorvane_msgstore_member_count(ms.get(), u8(c)), 0u);
    EXPECT_EQ(quorvane_msgstore_group_safety_number(ms.get(), u8(c), sn, sizeof sn), -1) << "no members";
    EXPECT_EQ(quorvane_msgstore_set_member_muted(ms.get(), u8(c), mu, fl, 3), 0);
}

TEST_F(Msgstore, ModesDefaultsAndEffectiveSettings) {
    auto ms = open();
    const bytes c = id.conv;
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(filled(32, 9))), 0);
    ASSERT_EQ(quorvane_msgstore_set_kind(ms.get(), u8(c), 1), 0);
    EXPECT_EQ(quorvane_msgstore_set_mode(ms.get(), u8(c), 2, 1), -1);
    EXPECT_EQ(quorvane_msgstore_set_mode(ms.get(), u8(c), 0, 3), -1);
    EXPECT_EQ(quorvane_msgstore_mode(ms.get(), u8(c), 2), -1);
    EXPECT_EQ(quorvane_msgstore_set_type_default(ms.get(), 0, 3, 1), -1);
    EXPECT_EQ(quorvane_msgstore_set_type_default(ms.get(), 2, 0, 1), -1);
    EXPECT_EQ(quorvane_msgstore_type_default(ms.get(), 0, 3), -1);
    EXPECT_EQ(quorvane_msgstore_set_car_flags(ms.get(), 8), -1);
    EXPECT_EQ(quorvane_msgstore_effective(ms.get(), u8(id.conv2), 0), -1);
    EXPECT_EQ(quorvane_msgstore_effective(ms.get(), u8(c), 2), -1);
    // stored mode, default of the group kind -> effective
    struct Case {
        int setting, mode, kind_default, effective;
    } cases[] = {
        {0, 0, 0, 0}, {0, 0, 1, 1}, {0, 1, 0, 1}, {0, 2, 1, 0},
        {1, 0, 1, 1}, {1, 0, 0, 0}, {1, 1, 0, 1}, {1, 2, 1, 0},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(std::to_string(k.setting) + "/" + std::to_string(k.mode) + "/" + std::to_string(k.kind_default));
        ASSERT_EQ(quorvane_msgstore_set_mode(ms.get(), u8(c), k.setting, k.mode), 0);
        ASSERT_EQ(quorvane_msgstore_set_type_default(ms.get(), k.setting, 1, k.kind_default), 0);
        // another kind's default must not leak in
        ASSERT_EQ(quorvane_msgstore_set_type_default(ms.get(), k.setting, 0, !k.kind_default), 0);
        EXPECT_EQ(quorvane_msgstore_type_default(ms.get(), k.setting, 1), k.kind_default);
        EXPECT_EQ(quorvane_msgstore_mode(ms.get(), u8(c), k.setting), k.mode);
        EXPECT_EQ(quorvane_msgstore_effective(ms.get(), u8(c), k.setting), k.effective);
    }
    ASSERT_EQ(quorvane_msgstore_set_muted(ms.get(), u8(c), 5), 0);
    EXPECT_EQ(quorvane_msgstore_mode(ms.get(), u8(c), 0), 1);
    ASSERT_EQ(quorvane_msgstore_set_muted(ms.get(), u8(c), 0), 0);
    EXPECT_EQ(quorvane_msgstore_get_muted(ms.get(), u8(c)), 0);
    EXPECT_EQ(quorvane_msgstore_mode(ms.get(), u8(c), 0), 0);
    EXPECT_EQ(quorvane_msgstore_get_muted(ms.get(), u8(id.conv2)), -1);
    EXPECT_EQ(quorvane_msgstore_set_retention(ms.get(), u8(c), 0), 0);
    EXPECT_EQ(quorvane_msgstore_send_receipts(nullptr), 1);
    EXPECT_EQ(quorvane_msgstore_car_flags(nullptr), 0);
}

TEST_F(Msgstore, ReadPositionsCursorsAndLookup) {
    auto ms = open();
    const bytes c = id.conv, peer = filled(16, 0x0e);
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(c), u8(filled(32, 9))), 0);
    ASSERT_EQ(quorvane_msgstore_set_read(ms.get(), u8(c), 10), 0);
    EXPECT_EQ(quorvane_msgstore_set_read(ms.get(), u8(c), 5), 0);
    EXPECT_EQ(quorvane_msgstore_get_read(ms.get(), u8(c)), 10u);
    EXPECT_EQ(quorvane_msgstore_set_read_mark(ms.get(), u8(c), 20), 1);
    EXPECT_EQ(quorvane_msgstore_set_read_mark(ms.get(), u8(c), 19), 0);
    EXPECT_EQ(quorvane_msgstore_set_read_mark(ms.get(), u8(c), 20), 0);
    EXPECT_EQ(quorvane_msgstore_read_mark(ms.get(), u8(c)), 20u);
    EXPECT_EQ(quorvane_msgstore_set_read_mark(ms.get(), u8(id.conv2), 20), -1);

    // cursor notes set the dirty flag and write nothing until flushed
    ASSERT_EQ(unlink(file("convs.dat").c_str()), 0);
    quorvane_msgstore_note_cursor(ms.get(), u8(c), 100);
    quorvane_msgstore_note_cursor(ms.get(), u8(c), 90);
    EXPECT_FALSE(exists(file("convs.dat")));
    EXPECT_EQ(quorvane_msgstore_sync_cursor(ms.get(), u8(c)), 100u);
    ASSERT_EQ(quorvane_msgstore_flush(ms.get()), 0);
    EXPECT_TRUE(exists(file("convs.dat")));
    ASSERT_EQ(unlink(file("convs.dat").c_str()), 0);
    EXPECT_EQ(quorvane_msgstore_flush(ms.get()), 0);
    EXPECT_FALSE(exists(file("convs.dat"))) << "nothing due";
    quorvane_msgstore_hold_cursor(ms.get(), u8(c), 150);
    quorvane_msgstore_note_cursor(ms.get(), u8(c), 120);
    quorvane_msgstore_note_cursor(ms.get(), u8(c), 200);
    EXPECT_EQ(quorvane_msgstore_sync_cursor(ms.get(), u8(c)), 120u) << "held below 150";
    quorvane_msgstore_note_cursor(ms.get(), u8(c), 150);
    EXPECT_EQ(quorvane_msgstore_sync_cursor(ms.get(), u8(c)), 150u) << "what it waited for went through";
    quorvane_msgstore_note_cursor(ms.get(), u8(c), 200);
    EXPECT_EQ(quorvane_msgstore_sync_cursor(ms.get(), u8(c)), 200u);
    ASSERT_EQ(quorvane_msgstore_flush(ms.get()), 0);

    // direct conversations by peer: not hidden, direct by kind or derivation
    EXPECT_EQ(quorvane_msgstore_find_dm(ms.get(), u8(peer), nullptr), 0);
    ASSERT_EQ(quorvane_msgstore_set_peer(ms.get(), u8(c), u8(peer), u8(filled(32, 1))), 0);
    ASSERT_EQ(quorvane_msgstore_set_group_name(ms.get(), u8(c), "a group"), 0);
    EXPECT_EQ(quorvane_msgstore_find_dm(ms.get(), u8(peer), nullptr), 0);
    ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(id.conv2), u8(filled(32, 8))), 0);
    ASSERT_EQ(quorvane_msgstore_set_peer(ms.get(), u8(id.conv2), u8(peer), u8(filled(32, 1))), 0);
    uint8_t found[16];
    EXPECT_EQ(quorvane_msgstore_find_dm(ms.get(), u8(peer), found), 1);
    EXPECT_EQ(raw(found, 16), id.conv2);
    ASSERT_EQ(quorvane_msgstore_forget_conv(ms.get(), u8(id.conv2)), 0);
    EXPECT_EQ(quorvane_msgstore_find_dm(ms.get(), u8(peer), found), 0) << "hidden";

    // forgetting raises the floor to the cursor; the sync cursor never drops below it
    quorvane_msgstore_note_cursor(ms.get(), u8(id.conv2), 300);
    ASSERT_EQ(quorvane_msgstore_forget_conv(ms.get(), u8(id.conv2)), 0);
    EXPECT_EQ(quorvane_msgstore_history_floor(ms.get(), u8(id.conv2)), 300u);
    EXPECT_EQ(quorvane_msgstore_sync_cursor(ms.get(), u8(id.conv2)), 300u);
    EXPECT_EQ(quorvane_msgstore_conv_hidden(ms.get(), u8(id.conv2)), 1);
    EXPECT_EQ(quorvane_msgstore_conv_hidden(ms.get(), u8(filled(16, 0x77))), -1);
    EXPECT_EQ(quorvane_msgstore_forget_conv(ms.get(), u8(filled(16, 0x77))), -1);
}

// The limits of the list at n and n + 1, in files the script builds: a
// conversation that breaks one ends the reading there, the ones before stay,
// and the file is kept aside before its rewrite.
TEST_F(Msgstore, ConvListLimitsOnReading) {
    struct Case {
        const char *what;
        int count, announced, members, devices, old_keys, label;
        size_t loaded;
        bool complete;
    } cases[] = {
        {"64 members", 2, 2, 64, 0, 0, 1, 2, true},
        {"65 members", 2, 2, 65, 0, 0, 1, 0, false},
        {"5 devices", 2, 2, 1, 5, 0, 1, 2, true},
        {"6 devices", 2, 2, 1, 6, 0, 1, 0, false},
        {"7 older keys", 2, 2, 0, 0, 7, 1, 2, true},
        {"8 older keys", 2, 2, 0, 0, 8, 1, 0, false},
        {"label 63", 2, 2, 0, 0, 0, 63, 2, true},
        {"label 64", 2, 2, 0, 0, 0, 64, 0, false},
        {"one more announced than present", 2, 3, 0, 0, 0, 1, 2, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::string sub = tmp.file(std::string("lim") + std::to_string(&c - cases));
        ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
        char req[300];
        snprintf(req, sizeof req, "sealconvs %s/convs.dat %s 22 %d %d %d %d %d %d", sub.c_str(), kSecretHex.c_str(),
                 c.count, c.announced, c.members, c.devices, c.old_keys, c.label);
        script_run(req);
        const bytes original = qvtest::read_file(sub + "/convs.dat");
        auto ms = open_store(sub);
        ASSERT_EQ(quorvane_msgstore_conv_count(ms.get()), c.loaded);
        EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), "convs.dat"), c.complete ? 0 : 1);
        EXPECT_EQ(quorvane_msgstore_car_flags(ms.get()), c.complete ? 3 : 0) << "store-wide bytes only after every entry";
        if (c.loaded) {
            EXPECT_EQ(quorvane_msgstore_member_count(ms.get(), u8(gen_conv_id(1))), size_t(c.members));
            uint8_t keys[9][32];
            EXPECT_EQ(quorvane_msgstore_get_conv_keys(ms.get(), u8(gen_conv_id(1)), keys, 9), size_t(c.old_keys + 1));
        }
        ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(id.conv), u8(filled(32, 1))), 0);
        auto asides = names_in(sub, "convs.dat.unread-");
        EXPECT_EQ(asides.size(), c.complete ? 0u : 1u);
        if (!asides.empty()) {
            EXPECT_EQ(qvtest::read_file(sub + "/" + asides[0]), original);
        }
    }
}

TEST_F(Msgstore, FourThousandNinetySixConversations) {
    struct Case {
        int count, announced;
        size_t loaded;
        bool complete;
    } cases[] = {{4095, 4095, 4095, true}, {4096, 4096, 4096, true}, {4097, 4097, 4096, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.count);
        std::string sub = tmp.file(std::string("n").append(std::to_string(c.count)));
        ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
        char req[300];
        snprintf(req, sizeof req, "sealconvs %s/convs.dat %s 22 %d %d 0 0 0 1", sub.c_str(), kSecretHex.c_str(), c.count,
                 c.announced);
        script_run(req);
        auto ms = open_store(sub);
        ASSERT_EQ(quorvane_msgstore_conv_count(ms.get()), c.loaded);
        EXPECT_EQ(quorvane_msgstore_unreadable(ms.get(), "convs.dat"), c.complete ? 0 : 1);
        EXPECT_EQ(quorvane_msgstore_get_read(ms.get(), u8(gen_conv_id(uint32_t(c.loaded - 1)))), c.loaded - 1);
        int room = c.loaded < QV_MS_CONV_MAX ? 0 : -1;
        EXPECT_EQ(quorvane_msgstore_put_conv_locked(ms.get(), u8(filled(16, 0x99))), room);
        EXPECT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(filled(16, 0x98)), u8(filled(32, 1))), -1);
        EXPECT_EQ(quorvane_msgstore_conv_count(ms.get()), QV_MS_CONV_MAX);
    }
}

TEST_F(Msgstore, DeleteConversationRemovesItsFiles) {
    auto ms = open();
    for (const bytes *c : std::initializer_list<const bytes *>{&id.conv, &id.conv2, &kA})
        ASSERT_EQ(quorvane_msgstore_put_conv(ms.get(), u8(*c), u8(filled(32, (*c)[0]))), 0);
    qvtest::write_file(file(arch_name(id.conv2)), filled(40, 1));
    qvtest::write_file(file(msgs_name(id.conv2)), filled(40, 1));
    bytes state = filled(10, 1);
    ASSERT_EQ(quorvane_msgstore_put_ratchet(ms.get(), u8(id.conv2), u8(id.dev), u8(state), state.size()), 0);
    EXPECT_EQ(quorvane_msgstore_delete_conv(ms.get(), u8(filled(16, 0x55))), -1);
    ASSERT_EQ(quorvane_msgstore_delete_conv(ms.get(), u8(id.conv2)), 0);
    EXPECT_FALSE(exists(file(arch_name(id.conv2))));
    EXPECT_FALSE(exists(file(msgs_name(id.conv2))));
    EXPECT_TRUE(exists(file(ratchet_name(id.conv2, id.dev)))) << "ratchet files are not the list's";
    ASSERT_EQ(quorvane_msgstore_conv_count(ms.get()), 2u);
    EXPECT_EQ(raw(quorvane_msgstore_conv_at(ms.get(), 0)->id, 16), id.conv);
    EXPECT_EQ(raw(quorvane_msgstore_conv_at(ms.get(), 1)->id, 16), kA) << "later conversations keep their order";
    ms.reset();
    ms = open();
    EXPECT_EQ(quorvane_msgstore_conv_count(ms.get()), 2u);
    EXPECT_EQ(quorvane_msgstore_conv_hidden(ms.get(), u8(id.conv2)), -1);
}

}  // namespace
