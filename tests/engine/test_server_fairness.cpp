// What one user can do to another through the real server program over TLS
// on loopback: pile conversations on it, fill what waits for its devices,
// keep copies of a conversation it was taken out of. Each case checks that
// the honest user still got through, not only that the hostile one was
// stopped.
#include "fairness_support.h"

using namespace qvfair;

namespace {

size_t count_tag(const bytes &frame, uint8_t tag) {
    size_t n = 0;
    for (auto &r : records(frame)) n += r.tag == tag;
    return n;
}

// A conversation of two created over the network by `by`, which has synced;
// its information reaches both.
bytes create_pair(Dev &by, const User &a, Dev &other, const User &b) {
    const bytes conv = random_bytes(16);
    EXPECT_TRUE(by.c.send(24, conv_payload(conv, random_bytes(32), {member_of(a.acct, by.c.user_id, a.all()),
                                                                   member_of(b.acct, other.c.user_id, b.all())})));
    EXPECT_EQ(hex(find(by.c.read_type(151), 17)), hex(conv));
    return conv;
}

}  // namespace

// Someone else has put the victim into many conversations whose information
// is large (members with five devices each): the victim's sync still comes
// whole, in steps its send queue takes, and a conversation a friend starts
// afterwards brings its message live.
TEST(ServerFairness, SyncOfAnySizeReachesTheVictim) {
    struct Case {
        const char *name;
        size_t convs, others;  // conversations, and the members beside the victim (five devices each)
    } cases[] = {
        {"100 groups of 64 members", 100, 63},
        {"4,000 conversations of three", 4000, 2},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        ServerProc srv;
        User vic("vic");
        std::vector<std::unique_ptr<User>> others;
        {
            Seeder seed(srv);
            seed.account(vic);
            std::vector<const User *> members{&vic};
            for (size_t i = 0; i < k.others; i++) {
                others.push_back(std::make_unique<User>(std::string("o") + std::to_string(i), QVS_MAX_DEVICES));
                seed.account(*others.back());
                members.insert(members.begin(), others.back().get());
            }
            for (size_t i = 0; i < k.convs; i++) seed.conv(members);
        }
        ASSERT_TRUE(srv.start());
        Dev v(srv, vic.acct, vic.acct.first);
        const auto got = v.sync();
        const auto infos = of_type(got, 151);
        ASSERT_EQ(infos.size(), k.convs) << "the sync did not come whole";
        for (const bytes &f : infos) ASSERT_EQ(count_tag(f, 19), k.others + 1);

        User fred("fred");
        ASSERT_EQ(enroll(srv, fred), 0);
        Dev f(srv, fred.acct, fred.acct.first);
        f.sync();
        const bytes conv = create_pair(f, fred, v, vic);
        EXPECT_EQ(hex(find(v.c.read_type(151), 17)), hex(conv));
        const bytes env = envelope(conv, f.c.user_id, 1);
        ASSERT_NE(send_env(f, env), 0u);
        EXPECT_EQ(hex(find(v.c.read_type(137), 20)), hex(env)) << "the friend's message did not arrive";
    }
}

namespace {

// Sends `n` envelopes in one burst and reads their acknowledgements; how many carried a position.
size_t flood(Dev &d, const bytes &conv, uint64_t first_counter, size_t n) {
    bytes burst;
    for (size_t i = 0; i < n; i++) {
        const bytes f = frame_of(7, tlv(20, envelope(conv, d.c.user_id, first_counter + i)));
        burst.insert(burst.end(), f.begin(), f.end());
    }
    EXPECT_EQ(SSL_write(d.c.ssl, burst.data(), static_cast<int>(burst.size())), static_cast<int>(burst.size()));
    size_t stored = 0;
    for (size_t i = 0; i < n; i++) {
        const bytes a = d.c.read_type(136);
        if (a.size() < 8) {
            ADD_FAILURE() << "acknowledgement " << i << " did not come";
            break;
        }
        stored += find(a, 21).size() == 8;
    }
    return stored;
}

}  // namespace

// One user floods a device that never moves its cursor (envelopes that never
// open hold it): it fills its own share of that device, in every
// conversation it has with it, and no more; a friend's text still reaches the
// victim, and the flooder's envelopes to others are still taken.
TEST(ServerFairness, OneSenderCannotFillAnothersShare) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    User vic("vic"), mal("mal"), fred("fred");
    for (User *u : {&vic, &mal, &fred}) ASSERT_EQ(enroll(srv, *u), 0) << u->acct.name;
    Dev m(srv, mal.acct, mal.acct.first), f(srv, fred.acct, fred.acct.first);
    auto v = std::make_unique<Dev>(srv, vic.acct, vic.acct.first);
    for (Dev *d : {&m, &f, v.get()}) d->sync();
    const bytes poison = create_pair(m, mal, *v, vic), again = create_pair(m, mal, *v, vic), friendly = create_pair(f, fred, *v, vic);
    const bytes to_fred = create_pair(m, mal, f, fred);
    v->c.close_now();  // offline: what comes for it waits

    EXPECT_EQ(flood(m, poison, 1, QVS_ENV_PER_SENDER_MAX), QVS_ENV_PER_SENDER_MAX);
    struct { const char *name; Dev *from; bytes conv; bool taken; } after[] = {
        {"one more from the flooder", &m, poison, false},
        {"from the flooder in another conversation with the victim", &m, again, false},
        {"the friend's text", &f, friendly, true},
        {"the flooder to someone else", &m, to_fred, true},
    };
    for (auto &a : after) EXPECT_EQ(send_env(*a.from, envelope(a.conv, a.from->c.user_id, 1u << 20)) != 0, a.taken) << a.name;

    Dev back(srv, vic.acct, vic.acct.first);
    const auto got = back.sync();  // no cursors: the flood is still held
    std::map<std::string, size_t> copies;  // a sync sends each conversation's information, then its copies
    bytes conv;
    for (const bytes &fr : got) {
        if (fr[3] == 151) conv = find(fr, 17);
        if (fr[3] == 137) copies[hex(conv)]++;
    }
    EXPECT_EQ(copies[hex(poison)], QVS_ENV_PER_SENDER_MAX);
    EXPECT_EQ(copies[hex(again)], 0u);
    EXPECT_EQ(copies[hex(friendly)], 1u) << "the friend's text did not reach the victim";
}

// A member taken out of a conversation keeps nothing of it waiting: the
// copies a flooder left for it there go in the removal, so the flooder's
// share is free again and its direct message reaches the member.
TEST(ServerFairness, RemovalDeletesTheCopiesThatWaitedInTheConversation) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    User amy("amy"), mal("mal"), vic("vic");
    for (User *u : {&amy, &mal, &vic}) ASSERT_EQ(enroll(srv, *u), 0) << u->acct.name;
    auto a = std::make_unique<Dev>(srv, amy.acct, amy.acct.first);
    auto v = std::make_unique<Dev>(srv, vic.acct, vic.acct.first);
    Dev m(srv, mal.acct, mal.acct.first);
    for (Dev *d : {a.get(), v.get(), &m}) d->sync();
    const bytes group = random_bytes(16);
    const quorvane_member am = member_of(amy.acct, a->c.user_id, amy.all()), mm = member_of(mal.acct, m.c.user_id, mal.all()),
                          vm = member_of(vic.acct, v->c.user_id, vic.all());
    ASSERT_TRUE(a->c.send(24, conv_payload(group, random_bytes(32), {am, mm, vm})));
    for (Dev *d : {a.get(), v.get(), &m}) ASSERT_EQ(hex(find(d->c.read_type(151), 17)), hex(group));
    a->c.close_now();
    v->c.close_now();

    ASSERT_EQ(flood(m, group, 1, QVS_ENV_PER_SENDER_MAX), QVS_ENV_PER_SENDER_MAX);
    ASSERT_EQ(send_env(m, envelope(group, m.c.user_id, 1u << 20)), 0u) << "the flooder's share is not full";
    Dev admin(srv, amy.acct, amy.acct.first);
    ASSERT_TRUE(admin.c.send(17, conv_payload(group, random_bytes(32), {am, mm})));
    ASSERT_EQ(hex(find(m.c.read_type(151), 17)), hex(group));

    const bytes dm = random_bytes(16);
    ASSERT_TRUE(m.c.send(24, conv_payload(dm, random_bytes(32), {mm, vm})));
    ASSERT_EQ(hex(find(m.c.read_type(151), 17)), hex(dm));
    const bytes text = envelope(dm, m.c.user_id, 1);
    EXPECT_NE(send_env(m, text), 0u) << "the removed member's copies still fill the flooder's share";

    Dev back(srv, vic.acct, vic.acct.first);
    const auto got = back.sync();
    const auto infos = of_type(got, 151);
    ASSERT_EQ(infos.size(), 1u);
    EXPECT_EQ(hex(find(infos[0], 17)), hex(dm));
    const auto envs = envelopes_of(got);
    ASSERT_EQ(envs.size(), 1u) << "copies of the conversation the member left still came";
    EXPECT_EQ(hex(envs[0]), hex(text));
    srv.stop();
    // Nothing of the group is left waiting for the member's device either.
    qvs_store *st = qvs_store_open((srv.data + "/quorvane.db").c_str());
    ASSERT_NE(st, nullptr);
    std::vector<qvs_device> devs;
    ASSERT_EQ(qvs_account_devices(st, back.c.user_id.data(), &devs), 0);
    ASSERT_EQ(devs.size(), 1u);
    std::vector<qvs_envelope> left;
    ASSERT_EQ(qvs_env_fetch(st, devs[0].row, group.data(), 0, UINT64_MAX, 100, 1u << 20, &left), 0);
    EXPECT_TRUE(left.empty());
    qvs_store_close(st);
}

namespace {

// One device of one account in a scratch store.
struct OneDevice {
    TempDir tmp;
    std::string db = tmp.file("s.db");
    qvs_store *st = qvs_store_open(db.c_str());
    int64_t dev = 0;
    OneDevice() {
        EXPECT_NE(st, nullptr);
        qvs_account acct{};
        acct.name = "d";
        std::memset(acct.user_id, 4, 16);
        qvs_device d{};
        EXPECT_EQ(qvs_account_create(st, &acct, &d), 0);
        std::vector<qvs_device> devs;
        EXPECT_EQ(qvs_account_devices(st, acct.user_id, &devs), 0);
        dev = devs.at(0).row;
    }
    ~OneDevice() { qvs_store_close(st); }
    // The envelope's header names the sender, as the handler has checked it.
    int store(uint8_t sender, const uint8_t conv[16], size_t len, const qvs_env_bounds &b) {
        bytes env = random_bytes(len);
        std::memset(env.data() + 16, sender, 16);
        std::vector<uint64_t> pos;
        uint64_t ack = 0;
        const int r = qvs_env_store(st, conv, env.data() + 16, env.data(), env.size(), {dev}, b, &pos, &ack);
        EXPECT_EQ(qvs_store_commit(st), 0);
        return r;
    }
};

}  // namespace

// A device's totals, each sender's share of them, and the reserve a sender
// below it keeps even when others filled the totals; a cursor that passes
// copies gives them back to the device and to their senders.
TEST(ServerFairnessStore, SharesOfADevice) {
    OneDevice d;
    const qvs_env_bounds b{4, 10000, 2, 10000, 1, 500};
    const uint8_t c1[16] = {1}, c2[16] = {2};
    struct Step {
        const char *name;
        uint8_t sender;
        const uint8_t *conv;
        size_t len;
        int want;
        bool drop_c1_first = false;
    } steps[] = {
        {"a's first", 0xa, c1, 100, 0},
        {"a's second", 0xa, c2, 100, 0},
        {"a's share is full, in any conversation", 0xa, c1, 100, 1},
        {"b's first", 0xb, c1, 100, 0},
        {"b's second fills the device", 0xb, c2, 100, 0},
        {"c has less than its reserve", 0xc, c1, 100, 0},
        {"c has its reserve, the device is full", 0xc, c2, 100, 1},
        {"d's envelope passes the reserve's bytes", 0xd, c1, 600, 1},
        {"conversation 1 passed: a has room again", 0xa, c2, 100, 0, true},
        {"and c", 0xc, c2, 100, 0},
        {"the device is full again", 0xb, c1, 100, 1},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.name);
        if (s.drop_c1_first) {
            ASSERT_EQ(qvs_env_drop_upto(d.st, d.dev, c1, UINT64_MAX), 0);
        }
        EXPECT_EQ(d.store(s.sender, s.conv, s.len, b), s.want);
    }
}

// A store of the earlier schema counted copies per device only: opened by
// this server, each copy is put under the sender its envelope names, so the
// shares hold for what was waiting already.
TEST(ServerFairnessStore, EarlierStoreCountsWaitingCopiesPerSender) {
    if (!have_program("python3")) GTEST_SKIP() << "python3 is needed to turn the store back";
    OneDevice d;
    const uint8_t conv[16] = {1};
    for (int i = 0; i < 3; i++) ASSERT_EQ(d.store(0xa, conv, 100, {}), 0);
    qvs_store_close(d.st);
    ASSERT_EQ(run_command("python3 -c \"import sqlite3,sys; c=sqlite3.connect(sys.argv[1]); c.executescript("
                          "'DROP TABLE device_senders; ALTER TABLE envelopes DROP COLUMN sender; DROP TABLE member_adds; DROP TABLE registrations;'"
                          "' ALTER TABLE conv_members DROP COLUMN role; PRAGMA user_version = 4;')\" " + d.db),
              0);
    d.st = qvs_store_open(d.db.c_str());
    ASSERT_NE(d.st, nullptr);
    const qvs_env_bounds b{UINT64_MAX, UINT64_MAX, 4, UINT64_MAX, 0, 0};
    EXPECT_EQ(d.store(0xa, conv, 100, b), 0) << "the fourth of a";
    EXPECT_EQ(d.store(0xa, conv, 100, b), 1) << "a's three earlier copies were not counted";
    EXPECT_EQ(d.store(0xb, conv, 100, b), 0);
    ASSERT_EQ(qvs_env_drop_upto(d.st, d.dev, conv, UINT64_MAX), 0);
    EXPECT_EQ(d.store(0xa, conv, 100, b), 0) << "the migrated copies were not given back";
}

namespace {

// Everything a device was sent for the frames it sent before: a marker
// answered in the turn that handled them precedes that turn's pushes, so a
// second marker, answered in a later turn, follows them.
std::vector<bytes> settled(Dev &d) {
    std::vector<bytes> got = before_marker(d), more = before_marker(d);
    got.insert(got.end(), more.begin(), more.end());
    return got;
}

// Whether a conversation frame (24 or 17) that `by` sent was taken: its
// information comes back to the sender, which has synced; a refusal brings
// nothing.
bool taken(Dev &by, uint8_t type, const bytes &conv, const std::vector<quorvane_member> &members) {
    EXPECT_TRUE(by.c.send(type, conv_payload(conv, random_bytes(32), members)));
    for (const bytes &f : of_type(settled(by), 151))
        if (find(f, 17) == conv) return true;
    return false;
}

}  // namespace

// A stranger may put a user into only so many conversations a day, and add
// only so many members a minute in all; a friend still reaches the user, and
// the stranger's rekeys of what it has go on.
TEST(ServerFairness, StrangersCannotPileConversationsOnAUser) {
    ServerProc srv(Knobs{{"QVS_TEST_CLOCK_MS", "1700000000000"}});  // the minute holds however slow the machine
    ASSERT_TRUE(srv.start());
    User mal("mal"), vic("vic"), fred("fred");
    std::vector<std::unique_ptr<User>> extra;
    for (int i = 0; i < 19; i++) extra.push_back(std::make_unique<User>(std::string("e") + std::to_string(i)));
    for (User *u : {&mal, &vic, &fred}) ASSERT_EQ(enroll(srv, *u), 0);
    std::vector<quorvane_member> group{quorvane_member{}};
    for (auto &u : extra) {
        ASSERT_EQ(enroll(srv, *u), 0);
        Client c;
        ASSERT_EQ(sign_in(c, srv, u->acct, u->acct.first), 132);
        group.push_back(member_of(u->acct, c.user_id, u->all()));
    }
    Dev m(srv, mal.acct, mal.acct.first), v(srv, vic.acct, vic.acct.first), f(srv, fred.acct, fred.acct.first);
    for (Dev *d : {&m, &v, &f}) d->sync();
    const quorvane_member mm = member_of(mal.acct, m.c.user_id, mal.all()), vm = member_of(vic.acct, v.c.user_id, vic.all()),
                          fm = member_of(fred.acct, f.c.user_id, fred.all());
    group[0] = mm;

    for (uint64_t i = 0; i < QVS_CONVS_WITH_USER_PER_DAY; i++) ASSERT_TRUE(taken(m, 24, random_bytes(16), {mm, vm})) << i;
    EXPECT_FALSE(taken(m, 24, random_bytes(16), {mm, vm})) << "one conversation too many with the same user";
    EXPECT_FALSE(taken(m, 24, random_bytes(16), {mm, fm, vm})) << "nor in a group";
    EXPECT_EQ(of_type(settled(v), 151).size(), QVS_CONVS_WITH_USER_PER_DAY);

    // The friend still reaches the victim; the stranger still reaches others.
    const bytes ours = random_bytes(16);
    ASSERT_TRUE(taken(f, 24, ours, {fm, vm}));
    EXPECT_EQ(hex(find(v.c.read_type(151), 17)), hex(ours));
    const bytes text = envelope(ours, f.c.user_id, 1);
    ASSERT_NE(send_env(f, text), 0u);
    EXPECT_EQ(hex(find(v.c.read_type(137), 20)), hex(text));
    ASSERT_TRUE(taken(m, 24, random_bytes(16), {mm, fm}));

    // Members added a minute: QVS_CONVS_WITH_USER_PER_DAY + 1 so far, then groups of 19 others.
    const uint64_t left = QVS_MEMBERS_ADDED_PER_MINUTE - QVS_CONVS_WITH_USER_PER_DAY - 1;
    std::vector<bytes> groups;
    for (uint64_t i = 0; i < left / 19; i++) {
        groups.push_back(random_bytes(16));
        ASSERT_TRUE(taken(m, 24, groups.back(), group)) << i;
    }
    EXPECT_FALSE(taken(m, 24, random_bytes(16), group)) << "past the members added in a minute";
    const std::vector<quorvane_member> rest(group.begin(), group.begin() + 1 + static_cast<long>(left % 19));
    EXPECT_TRUE(taken(m, 24, random_bytes(16), rest)) << "what is left of the minute";
    std::vector<quorvane_member> grown = group;
    grown.push_back(fm);
    EXPECT_FALSE(taken(m, 17, groups[0], grown)) << "a rekey that adds a member, past the members added in a minute";
    EXPECT_TRUE(taken(m, 17, groups[0], group)) << "a rekey of the same members adds nobody";
}

// The adds a sender made are counted over their windows: a day for each
// user, a minute for all; older ones no longer count.
TEST(ServerFairnessStore, AddsAreCountedOverTheirWindow) {
    OneDevice d;
    const uint8_t by[16] = {1}, u1[16] = {2}, u2[16] = {3};
    const uint64_t t0 = 1700000000000ull, minute = 60000, day = 86400000;
    ASSERT_EQ(qvs_adds_note(d.st, by, {bytes(u1, u1 + 16), bytes(u2, u2 + 16)}, t0), 0);
    ASSERT_EQ(qvs_adds_note(d.st, by, {bytes(u1, u1 + 16)}, t0 + minute), 0);
    ASSERT_EQ(qvs_store_commit(d.st), 0);
    struct { const char *name; const uint8_t *user; uint64_t since; uint64_t want; } cases[] = {
        {"all since t0", nullptr, t0, 3},
        {"all in the last minute at t0 + 1 min", nullptr, t0 + 1, 1},
        {"u1 since t0", u1, t0, 2},
        {"u2 since t0", u2, t0, 1},
        {"u2 a day later", u2, t0 + day, 0},
        {"another sender's", u1, t0, 2},
    };
    for (auto &c : cases) {
        uint64_t n = 99;
        ASSERT_EQ(qvs_adds_since(d.st, by, c.user, c.since, &n), 0) << c.name;
        EXPECT_EQ(n, c.want) << c.name;
    }
    uint64_t n = 99;
    ASSERT_EQ(qvs_adds_since(d.st, u1, nullptr, 0, &n), 0);
    EXPECT_EQ(n, 0u) << "the adds of one sender counted for another";
    // Notes older than a day are forgotten when the sender adds again.
    ASSERT_EQ(qvs_adds_note(d.st, by, {bytes(u2, u2 + 16)}, t0 + day + 2 * minute), 0);
    ASSERT_EQ(qvs_adds_since(d.st, by, nullptr, 0, &n), 0);
    EXPECT_EQ(n, 1u);
}

// A plain member may rekey the members there are, or leave, but not add or
// take out anyone: that is for the conversation's admin (its creator, role 1
// in the information every member gets).
TEST(ServerFairness, OnlyAnAdminRewritesTheMemberSet) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    User amy("amy"), ben("ben"), cy("cy"), dave("dave");
    for (User *u : {&amy, &ben, &cy, &dave}) ASSERT_EQ(enroll(srv, *u), 0);
    Dev a(srv, amy.acct, amy.acct.first), b(srv, ben.acct, ben.acct.first), c(srv, cy.acct, cy.acct.first),
        d(srv, dave.acct, dave.acct.first);
    for (Dev *x : {&a, &b, &c, &d}) x->sync();
    const quorvane_member am = member_of(amy.acct, a.c.user_id, amy.all()), bm = member_of(ben.acct, b.c.user_id, ben.all()),
                          cm = member_of(cy.acct, c.c.user_id, cy.all()), dm = member_of(dave.acct, d.c.user_id, dave.all());
    const bytes g = random_bytes(16);
    ASSERT_TRUE(taken(a, 24, g, {bm, am, cm}));  // the creator need not be listed first
    const bytes info = b.c.read_type(151);
    std::map<std::string, uint8_t> roles;
    bytes who;
    for (auto &r : records(info)) {
        if (r.tag == 19) who = r.v, roles[hex(who)] = 0;
        if (r.tag == 28 && r.v.size() == 1) roles[hex(who)] = r.v[0];
    }
    EXPECT_EQ(roles[hex(a.c.user_id)], 1) << "the creator is not the admin";
    EXPECT_EQ(roles[hex(b.c.user_id)], 0);
    c.c.read_type(151);

    struct { const char *name; Dev *by; std::vector<quorvane_member> members; bool want; } steps[] = {
        {"ben adds dave", &b, {am, bm, cm, dm}, false},
        {"ben takes cy out", &b, {am, bm}, false},
        {"ben rekeys the same members", &b, {bm, am, cm}, true},
        {"ben leaves", &b, {am, cm}, true},
        {"amy takes cy out", &a, {am}, true},
        {"amy adds dave", &a, {am, dm}, true},
    };
    for (auto &s : steps) {
        SCOPED_TRACE(s.name);
        EXPECT_TRUE(s.by->c.send(17, conv_payload(g, random_bytes(32), s.members)));
        EXPECT_EQ(of_type(settled(a), 151).size(), s.want ? 1u : 0u);
    }
    EXPECT_EQ(send_env(c, envelope(g, c.c.user_id, 1)), 0u) << "cy is still a member";
    EXPECT_EQ(send_env(b, envelope(g, b.c.user_id, 1)), 0u) << "ben is still a member";
    EXPECT_NE(send_env(d, envelope(g, d.c.user_id, 1)), 0u) << "dave is no member";
}

// A revoked device stays out of its account, at sign-in and registration,
// and the same key is nobody's business in another account.
TEST(ServerFairness, ARevocationKeepsTheDeviceOutOfThatAccountOnly) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    User amy("amy", 2), ben("ben");
    for (User *u : {&amy, &ben}) ASSERT_EQ(enroll(srv, *u), 0);
    Dev a(srv, amy.acct, amy.acct.first);
    const Device &gone = amy.dev(1);
    ASSERT_TRUE(a.c.send(42, tlv(52, gone.dev_id())));
    ASSERT_EQ(hex(find(a.c.read_type(159), 53)), "00");
    // The same device keys, certified by ben's identity.
    Device same(ben.acct.first);
    for (auto [to, from] : {std::pair{same.x_priv, gone.x_priv}, {same.x_pub, gone.x_pub}, {same.ed_priv, gone.ed_priv}, {same.ed_pub, gone.ed_pub}})
        std::memcpy(to, from, 32);
    ASSERT_EQ(quorvane_device_cert_sign(same.id_priv, same.x_pub, same.ed_pub, same.cert), 0);
    struct { const char *name; const Account *acct; const Device *dev; int reg_status, sign_in_result; } cases[] = {
        {"the revoked device in its account", &amy.acct, &gone, 5, 1005},
        {"its keys in another account", &ben.acct, &same, 0, 132},
        {"and again in the first", &amy.acct, &gone, 5, 1005},
    };
    for (auto &k : cases) {
        SCOPED_TRACE(k.name);
        Client s1, s2;
        EXPECT_EQ(sign_in(s1, srv, *k.acct, *k.dev), k.sign_in_result == 132 ? 1001 : k.sign_in_result) << "before registering";
        EXPECT_EQ(enroll_device(srv, *k.acct, *k.dev), k.reg_status);
        EXPECT_EQ(sign_in(s2, srv, *k.acct, *k.dev), k.sign_in_result);
    }
}

// New accounts one address may make a day: counted in the database, so a
// restart does not give the address a fresh day; a device joining its own
// account is no new account and still comes in, and another address has a
// bound of its own; the operator raises the bound on the command line, and a
// day later the address may register again.
TEST(ServerFairness, RegistrationsFromOneAddressAreBoundedAcrossARestart) {
    constexpr uint64_t t0 = 1700000000000ull, day = 86400000;
    ServerProc srv(Knobs{{"QVS_TEST_CLOCK_MS", std::to_string(t0)}});
    srv.registrations_per_address = -1;  // the server's own default
    ASSERT_TRUE(srv.start());
    User amy("amy", 3);
    ASSERT_EQ(enroll_device(srv, amy.acct, amy.dev(0)), QVS_REG_OK);
    for (uint64_t i = 1; i < QVS_REGISTRATIONS_PER_ADDRESS; i++) {
        User u("u" + std::to_string(i));
        ASSERT_EQ(enroll(srv, u), QVS_REG_OK) << i;
    }
    constexpr int64_t kDefault = -1;
    struct Step {
        const char *name;
        bool restart;
        int64_t bound;          // on the command line from this start
        uint64_t clock;         // the server's wall clock from this start
        const Device *joining;  // a device of amy's that registers, else a new account
        const char *from;       // the address it registers from; null: the default loopback one
        int want;
    };
    const Step steps[] = {
        {"a new account past the bound", false, kDefault, t0, nullptr, nullptr, QVS_REG_ADDRESS_LIMITED},
        {"amy's second device", false, kDefault, t0, &amy.dev(1), nullptr, QVS_REG_OK},
        {"a new account from another address", false, kDefault, t0, nullptr, "127.0.0.2", QVS_REG_OK},
        {"a new account after a restart", true, kDefault, t0, nullptr, nullptr, QVS_REG_ADDRESS_LIMITED},
        {"amy's third device after a restart", false, kDefault, t0, &amy.dev(2), nullptr, QVS_REG_OK},
        {"the operator raises the bound by one", true, static_cast<int64_t>(QVS_REGISTRATIONS_PER_ADDRESS + 1), t0, nullptr, nullptr,
         QVS_REG_OK},
        {"and the one more is counted", false, kDefault, t0, nullptr, nullptr, QVS_REG_ADDRESS_LIMITED},
        {"back to the default, a day later", true, kDefault, t0 + day + 1, nullptr, nullptr, QVS_REG_OK},
    };
    int fresh = 0;
    for (const Step &s : steps) {
        SCOPED_TRACE(s.name);
        if (s.restart) {
            ASSERT_EQ(srv.stop(), 0);
            srv.registrations_per_address = s.bound;
            srv.env["QVS_TEST_CLOCK_MS"] = std::to_string(s.clock);
            ASSERT_TRUE(srv.start(true));
        }
        const User fresh_user("new" + std::to_string(fresh++));
        const User &who = s.joining ? amy : fresh_user;
        EXPECT_EQ(enroll_device(srv, who.acct, s.joining ? *s.joining : fresh_user.dev(0), s.from), s.want);
    }
    Client c;
    EXPECT_EQ(sign_in(c, srv, amy.acct, amy.dev(2)), 132) << "amy's device that joined past the bound signs in";
}

// Registrations are counted by what one subscriber holds: an IPv4 address
// (also mapped into IPv6), an IPv6 /64; anything else by its text.
TEST(ServerFairness, AddressesCountedForRegistrations) {
    struct { const char *a, *b; bool same; } cases[] = {
        {"127.0.0.1", "127.0.0.1", true},
        {"127.0.0.1", "127.0.0.2", false},
        {"127.0.0.1", "::ffff:127.0.0.1", true},
        {"2001:db8:1:2::1", "2001:db8:1:2:ffff:ffff:ffff:ffff", true},
        {"2001:db8:1:2::1", "2001:db8:1:3::1", false},
        {"::1", "::2", true},
        {"0.0.0.1", "::1", false},
        {"", "", true},
        {"", "x", false},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(std::string(c.a) + " / " + c.b);
        const bytes ka = qvs_address_key(c.a), kb = qvs_address_key(c.b);
        EXPECT_FALSE(ka.empty());
        EXPECT_EQ(ka == kb, c.same);
    }
}
