// What a hostile member, or a careless user's own bulk action, can still undo:
// back-fill marks that a full set of marks pushes out before their message
// arrives (deleted text shown again, a reaction taken back shown again);
// messages under a key still on its way that are set aside and then never
// open, because only the newest few set aside are kept; member lists pushed
// to silent devices that the server builds once per device, so a plain
// member's rekeys grow the server's memory by the group's size each time;
// and fresh accounts of one address, each with a sender's full limits.
#include "fairness_support.h"

#include "client_authed.h"
#include "deliver_support.h"
#include "e2e_support.h"
#include "client_send.h"

#include "client_msgstore.h"
#include "qv_test_support.h"

#include <csignal>
#include <set>

using namespace qvfair;

namespace {

/* ---- back-fill marks past the most a conversation keeps ---------------------------------------- */

const uint8_t kStoreSecret[32] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22};

bytes id_of(uint8_t c) { return bytes(16, c); }
const bytes kAmy = id_of(0x61), kBen = id_of(0x62), kMal = id_of(0x6d), kConv = id_of(0x43);

// One step of a history page: an action on a message, or the message itself.
struct Step {
    enum Kind { del, react, unreact, msg } kind;
    bytes author;  // of the message acted on, or of the message
    uint64_t id;
    bytes user;  // who reacts
    uint64_t at;  // the envelope's position
};

struct Store {
    qvtest::TempDir tmp;
    std::string dir = tmp.file("ms");
    quorvane_msgstore *ms = nullptr;
    Store() { open(); }
    ~Store() { quorvane_msgstore_close(ms); }
    void open() {
        ms = quorvane_msgstore_open(dir.c_str(), kStoreSecret);
        ASSERT_NE(ms, nullptr);
    }
    void reopen() {
        quorvane_msgstore_close(ms);
        open();
    }
};

void apply(quorvane_msgstore *ms, const Step &s) {
    switch (s.kind) {
    case Step::del: ASSERT_GE(quorvane_msgstore_delete_msg_at(ms, kConv.data(), s.author.data(), nullptr, s.id, s.at), 0); break;
    case Step::react:
    case Step::unreact:
        ASSERT_GE(quorvane_msgstore_set_reaction_at(ms, kConv.data(), s.author.data(), nullptr, s.id, s.user.data(), "heart",
                                                    s.kind == Step::react, s.at),
                  0);
        break;
    case Step::msg: {
        auto rec = std::make_unique<quorvane_ms_msgrec>();
        std::memset(rec.get(), 0, sizeof *rec);
        std::memcpy(rec->conv_id, kConv.data(), 16);
        std::memcpy(rec->author, s.author.data(), 16);
        rec->msg_id = s.id;
        rec->time = 1000 + s.id;
        rec->position = s.at;
        rec->type = QV_MS_TYPE_TEXT;
        const std::string text = "secret " + std::to_string(s.id);
        std::memcpy(rec->text, text.data(), text.size());
        rec->text_len = text.size();
        ASSERT_GE(quorvane_msgstore_add_history(ms, rec.get()), 0);
        break;
    }
    }
}

// What a user sees of a message: its text ("" when deleted or absent) and its reactions.
std::string shown(quorvane_msgstore *ms, const bytes &author, uint64_t id) {
    quorvane_ms_msgrec r{};
    std::string out = "absent";
    if (quorvane_msgstore_find_msg(ms, kConv.data(), author.data(), id, &r) == 0)
        out = r.type == QV_MS_TYPE_DELETED ? "deleted" : std::string(r.text, r.text_len);
    quorvane_ms_reaction_count rc[4];
    const size_t n = quorvane_msgstore_reactions(ms, kConv.data(), author.data(), nullptr, id, nullptr, rc, 4);
    for (size_t i = 0; i < n; i++) out += std::string(" +") + rc[i].name;
    return out;
}

struct MarkCase {
    const char *name;
    std::vector<Step> newest_first;  // the sequence as back-fill pages bring it
    std::vector<std::pair<uint64_t, std::string>> want;  // amy's messages and what must show
};

constexpr uint64_t kMany = QV_MS_MARKS_MAX + 76;

std::vector<MarkCase> mark_cases() {
    std::vector<MarkCase> cases;
    {
        // amy sends kMany messages, then deletes every one of them
        MarkCase c{"a user's own bulk delete", {}, {}};
        for (uint64_t i = kMany; i >= 1; i--) c.newest_first.push_back({Step::del, kAmy, i, {}, kMany + i});
        for (uint64_t i = kMany; i >= 1; i--) c.newest_first.push_back({Step::msg, kAmy, i, {}, i});
        for (uint64_t i : {uint64_t{1}, kMany / 2, kMany}) c.want.push_back({i, "deleted"});
        cases.push_back(std::move(c));
    }
    {
        // amy deletes the first of a long history: one mark, many messages after it
        MarkCase c{"a delete of the oldest message of a long history", {}, {{1, "deleted"}, {2, "secret 2"}}};
        c.newest_first.push_back({Step::del, kAmy, 1, {}, 2 * kMany});
        for (uint64_t i = kMany; i >= 1; i--) c.newest_first.push_back({Step::msg, kAmy, i, {}, i});
        cases.push_back(std::move(c));
    }
    {
        // amy's message; a member deletes counters of its own that it never sent; amy deletes hers
        MarkCase c{"a member's deletes of counters it never sent", {}, {{1, "deleted"}}};
        c.newest_first.push_back({Step::del, kAmy, 1, {}, 20 + kMany});
        for (uint64_t i = kMany; i >= 1; i--) c.newest_first.push_back({Step::del, kMal, i, {}, 10 + i});
        c.newest_first.push_back({Step::msg, kAmy, 1, {}, 10});
        cases.push_back(std::move(c));
    }
    {
        // ben reacts to amy's message and takes it back; meanwhile a member reacts to many messages of amy's
        MarkCase c{"a reaction taken back behind a member's many reactions", {}, {{1, "secret 1"}}};
        c.newest_first.push_back({Step::unreact, kAmy, 1, kBen, 30 + kMany});
        for (uint64_t i = kMany; i >= 1; i--) c.newest_first.push_back({Step::react, kAmy, 1000 + i, kMal, 20 + i});
        c.newest_first.push_back({Step::react, kAmy, 1, kBen, 20});
        c.newest_first.push_back({Step::msg, kAmy, 1, {}, 10});
        cases.push_back(std::move(c));
    }
    return cases;
}

}  // namespace

// A new device back-fills pages of 200 newest first, the store closed and
// opened again between pages (a restart between them): however many other
// marks came between an action and its message, the message must arrive as
// the newest action left it. A delete that waits for its message is a
// promise that the text never shows again.
TEST(Review32Marks, AnActionWaitingForItsMessageOutlastsAnyNumberOfOtherMarks) {
    for (const MarkCase &c : mark_cases()) {
        SCOPED_TRACE(c.name);
        Store s;
        ASSERT_EQ(quorvane_msgstore_put_conv(s.ms, kConv.data(), bytes(32, 7).data()), 0);
        for (size_t at = 0; at < c.newest_first.size(); at += 200) {
            quorvane_msgstore_batch_begin(s.ms);
            for (size_t i = at; i < std::min(at + 200, c.newest_first.size()); i++) ASSERT_NO_FATAL_FAILURE(apply(s.ms, c.newest_first[i]));
            ASSERT_EQ(quorvane_msgstore_batch_end(s.ms), 0);
            s.reopen();
        }
        for (const auto &[id, want] : c.want) EXPECT_EQ(shown(s.ms, kAmy, id), want) << "amy's message " << id;
    }
}

/* ---- member lists pushed to devices that never read --------------------------------------------- */

namespace {

// How far the server's resident memory may rise under one account's attack (the README's figure).
constexpr long kGrowthMaxKib = 48 * 1024;

}  // namespace

// A plain member of a group of 64 (five devices each) rekeys the members
// there are, which a member without the role may do, again and again. Each
// rekey sends every connected device the group's information, member list
// and all (about 46 KiB here). Five members' other devices, twenty in all,
// are connected and synced but never read: once their sockets are full, the
// server must not keep a copy of that list per silent device and per rekey
// (a live envelope is kept once for all the connections it goes to), or its
// memory grows by the group's size times the silent devices, bounded only by
// each of their accounts' share; with the group's 63 other members silent
// that is about 1 GiB. A device of the group that reads then still gets the
// newest key.
TEST(Review32Load, RekeysToSilentDevicesKeepTheServersMemoryBounded) {
    constexpr size_t kOthers = 63, kSilentUsers = 5;
    // the sockets take about 4 MiB each before anything waits in the server: the
    // main build goes well past that, the sanitizers' (whose memory says nothing) less far
    const int rounds = qvtest::kSanitized ? 40 : 200;
    if (!raise_fd_limit(static_cast<rlim_t>(4 * kSilentUsers * QVS_MAX_DEVICES + 512))) GTEST_SKIP() << "the descriptor limit is too low";
    ServerProc srv;
    User mal("mal");
    std::vector<std::unique_ptr<User>> users;
    const bytes group = seed_group(srv, mal, kOthers, &users);
    ASSERT_TRUE(srv.start());
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::unique_ptr<Dev>> silent;
    for (size_t i = 0; i < kSilentUsers; i++)
        for (size_t k = 1; k < QVS_MAX_DEVICES; k++) {
            // a small receive buffer: what the server cannot send waits in the server, where it is measured
            silent.push_back(std::make_unique<Dev>(srv, users[i]->acct, users[i]->dev(k), nullptr, 16384));
            silent.back()->sync();
        }
    Dev m(srv, mal.acct, mal.acct.first);
    m.sync();
    const long base = proc_kib(srv.proc->pid, "VmRSS");
    bytes last_key;
    for (int round = 0; round < rounds; round++) {
        bytes p = cat({tlv(17, group), tlv(19, mal.uid), tlv(18, random_bytes(QVS_SEALED_KEY_LEN))});
        for (auto &u : users) {
            const bytes k = random_bytes(QVS_SEALED_KEY_LEN);
            if (u == users[0]) last_key = k;
            p = cat({p, tlv(19, u->uid), tlv(18, k)});
        }
        ASSERT_TRUE(m.c.send(17, p));
        // the rekeying device is a member's too: its own copy comes once the turn's pushes are made
        ASSERT_EQ(hex(find(m.c.read_type(151), 17)), hex(group)) << round;
    }
    const long peak = proc_kib(srv.proc->pid, "VmHWM") - base;
    std::printf("%d rekeys to %zu silent devices: the server's peak rose %ld KiB above the start\n", rounds, silent.size(), peak);
    if (!qvtest::kSanitized) {  // the sanitizer's shadow and quarantine say nothing of the server's own memory
        EXPECT_LT(peak, kGrowthMaxKib);
    }
    // users[0]'s first device, which was not connected, syncs on a connection that reads and gets the newest key
    Dev reader(srv, users[0]->acct, users[0]->dev(0));
    bool found = false;
    for (const bytes &f : reader.sync())
        if (f[3] == 151 && find(f, 17) == group) {
            found = true;
            EXPECT_EQ(hex(find(f, 18)), hex(last_key));
        }
    EXPECT_TRUE(found) << "the group's information did not come";
}

/* ---- many accounts from one address ---------------------------------------------------------- */

// The limit on conversations one user may put another into is per sender, and
// nothing bounds the accounts one address registers: ten fresh accounts,
// registered one after the other from the same address, each put a stranger
// into as many conversations as one sender may in a day. The stranger must
// not end in ten senders' worth; the bound on what one address may register
// (the server's default, as the README states it) keeps it to that many
// senders' worth. The stranger still gets a conversation a friend makes.
TEST(Review32Limits, AccountsRegisteredFromOneAddressDoNotMultiplyWhatOneSenderMayDo) {
    ServerProc srv;
    srv.registrations_per_address = -1;
    User vic("vic"), fay("fay");
    {
        Seeder seed(srv);
        seed.account(vic);
        seed.account(fay);
    }
    ASSERT_TRUE(srv.start());
    auto create = [&](Dev &by, const bytes &with) {
        const bytes id = random_bytes(16);
        EXPECT_TRUE(by.c.send(24, cat({tlv(17, id), tlv(19, by.c.user_id), tlv(18, random_bytes(QVS_SEALED_KEY_LEN)), tlv(19, with),
                                       tlv(18, random_bytes(QVS_SEALED_KEY_LEN))})));
        return id;
    };
    constexpr int kAccounts = 10;
    size_t registered = 0, made = 0;
    for (int i = 0; i < kAccounts; i++) {
        User a("sybil" + std::to_string(i));
        if (enroll(srv, a) != 0) continue;
        registered++;
        Dev d(srv, a.acct, a.acct.first);
        d.sync();
        for (uint64_t k = 0; k < QVS_CONVS_WITH_USER_PER_DAY; k++) {
            create(d, vic.uid);
            // the creator, a member, gets the new conversation's information once it is made; a refused one sends nothing
        }
        // a sync lists every conversation of the user; the pushes of the new ones may come before it
        std::set<std::string> ids;
        for (const bytes &g : of_type(d.sync(), 151)) ids.insert(hex(find(g, 17)));
        made += ids.size();
    }
    std::printf("%zu accounts registered from one address put a stranger into %zu conversations\n", registered, made);
    Dev f(srv, fay.acct, fay.acct.first);
    f.sync();
    const bytes ours = create(f, vic.uid);
    Dev v(srv, vic.acct, vic.acct.first);
    const std::vector<bytes> got = v.sync();
    std::set<std::string> into;
    for (const bytes &g : of_type(got, 151)) into.insert(hex(find(g, 17)));
    EXPECT_EQ(into.count(hex(ours)), 1u) << "the friend's conversation did not reach the stranger";
    EXPECT_EQ(registered, QVS_REGISTRATIONS_PER_ADDRESS);
    EXPECT_LE(into.size(), QVS_REGISTRATIONS_PER_ADDRESS * QVS_CONVS_WITH_USER_PER_DAY + 1)
        << "conversations the stranger was put into by accounts of one address";
}

/* ---- messages set aside while their key is on its way ---------------------------------------- */

namespace {

struct Review32LateKey : qvdeliver::Deliver {
    // The conversation's listing with a new key sealed to this device, as the server sends it.
    void listing(const uint8_t new_key[32]) {
        qvdeliver::Bytes sealed(32 + QV_SEAL_OVERHEAD);
        size_t n = 0;
        ASSERT_EQ(quorvane_seal(r.keys.device_x25519_pub, new_key, 32, sealed.data(), sealed.size(), &n), 0);
        const qvdeliver::Bytes f = qvtest::frame_of(151, qvtest::cat({qvtest::tlv(17, qvdeliver::Bytes(conv, conv + 16)), qvtest::tlv(18, sealed)}));
        handle_authed_frame(r.cs, f.data(), f.size());
    }
};

struct LateCase {
    const char *name;
    uint64_t from_friend;  // bob's texts under the key on its way
    uint64_t poisons;      // then carol's envelopes that never open
};

}  // namespace

// A friend's texts are sealed under a key this device gets only later (a
// rekey whose key comes by a key request another member answers). They fail
// in three syncs, the device restarting between them, and are set aside so
// the cursor moves on and the server drops its copies: from then on the
// device's own copy is the only one. When the key comes, every one of the
// friend's texts must open, however many there were and whatever a member
// sent after them that never opens.
TEST_F(Review32LateKey, EverythingSetAsideOpensWhenItsKeyComes) {
    const LateCase cases[] = {
        {"twenty texts from a friend", 20, 0},
        {"a friend's four texts, then a member's envelopes that never open", 4, 40},
    };
    uint64_t pos = 10, counter = 1;
    for (const LateCase &c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t k2[32];
        std::memcpy(k2, qvtest::random_bytes(32).data(), 32);
        const size_t had = msgs().size();
        std::vector<std::pair<qvdeliver::Bytes, uint64_t>> stream;
        for (uint64_t i = 0; i < c.from_friend; i++, counter++)
            stream.push_back({qvdeliver::conv_env(k2, conv, bob_id.data(), counter, qvdeliver::text("late " + std::to_string(counter))), pos++});
        for (uint64_t i = 0; i < c.poisons; i++, counter++) {
            const qvdeliver::Bytes wrong = qvtest::random_bytes(32);
            stream.push_back({qvdeliver::conv_env(wrong.data(), conv, carol_id.data(), counter, qvdeliver::text("never")), pos++});
        }
        for (int sync = 0; sync < QV_MS_HOLD_TRIES; sync++) {
            for (const auto &[env, at] : stream) r.deliver(env, at);
            r.restart();
        }
        ASSERT_EQ(quorvane_msgstore_sync_cursor(r.ms, conv), pos - 1) << "not set aside";
        listing(k2);
        r.restart();
        EXPECT_EQ(msgs().size() - had, c.from_friend) << "the friend's texts that opened once their key came";
    }
}

/* ---- a conversation burst cut by a kill in the middle of its batch ---------------------------- */

namespace {

// What a kill leaves of a store directory: the files as they are now (every
// write is a whole file renamed into place), copied aside and put back later.
void copy_dir(const std::string &from, const std::string &to) {
    ASSERT_EQ(std::system(("rm -rf '" + to + "' && cp -a '" + from + "' '" + to + "'").c_str()), 0);
}

}  // namespace

// A stranger puts the victim into conversations and writes in each while the
// victim's batch is open; the victim is killed before the batch ends. On the
// next start the store holds what it held before the batch, and the next sync
// brings every conversation once, each text once.
TEST(Review32Burst, AKillInTheMiddleOfABatchLosesNoConversationAndDoublesNone) {
    constexpr size_t kConvs = 12;
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    qvtest::Device stranger(srv, "stranger", 1), victim(srv, "victim", 2);
    qvtest::bring_up({&stranger, &victim});
    const std::string kept = victim.dir.path + ".killed";
    quorvane_msgstore_batch_begin(victim.ms);
    const std::vector<quorvane_member> members = {qvtest::member_of({&stranger}), qvtest::member_of({&victim})};
    std::vector<bytes> convs;
    for (size_t i = 0; i < kConvs; i++) {
        convs.push_back(random_bytes(16));
        ASSERT_EQ(quorvane_cs_create_conv(stranger.cs.get(), convs.back().data(), random_bytes(32).data(), members.data(), members.size()), 0);
        ASSERT_EQ(quorvane_cs_send_text(stranger.cs.get(), convs.back().data(), ("text " + std::to_string(i)).c_str()), 0);
    }
    ASSERT_EQ(stranger.acks(kConvs).size(), kConvs);
    ASSERT_TRUE(victim.until([&] {
        stranger.pump();
        size_t with_text = 0;
        for (const bytes &c : convs) with_text += victim.messages(c).size() == 1;
        return with_text == kConvs;
    })) << "the burst did not arrive";
    copy_dir(victim.dir.path, kept);  // the kill: nothing of the open batch is on disk
    victim.offline();
    ASSERT_NO_FATAL_FAILURE(copy_dir(kept, victim.dir.path));
    ASSERT_TRUE(victim.online());
    EXPECT_EQ(quorvane_msgstore_conv_count(victim.ms), 0u) << "the batch was on disk before it ended: no kill was simulated";
    ASSERT_TRUE(victim.sync());
    ASSERT_TRUE(victim.reopen());
    EXPECT_EQ(quorvane_msgstore_conv_count(victim.ms), kConvs);
    for (size_t i = 0; i < kConvs; i++) {
        const auto got = victim.messages(convs[i]);
        ASSERT_EQ(got.size(), 1u) << i;
        EXPECT_EQ(qvtest::text_of(got[0]), "text " + std::to_string(i));
    }
    std::system(("rm -rf '" + kept + "'").c_str());
}
