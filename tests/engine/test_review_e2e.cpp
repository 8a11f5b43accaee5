// Hostile members end to end, through the server program over TLS on
// loopback: what a member may do to messages it did not write, and what the
// receiving stores make of it after they are closed and opened again.
#include "e2e_support.h"
#include "client_send.h"

#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <signal.h>
#include <tuple>

using namespace qvtest;

namespace {

// amy, ben and cy in one group made by amy, each on one device.
struct Trio {
    Device amy, ben, cy;
    bytes conv = random_bytes(16), key = random_bytes(32);
    explicit Trio(ServerProc &s) : amy(s, "amy", 1), ben(s, "ben", 2), cy(s, "cy", 3) {}
    void up() {
        bring_up({&amy, &ben, &cy});
        const std::vector<quorvane_member> m = {member_of({&amy}), member_of({&ben}), member_of({&cy})};
        ASSERT_EQ(quorvane_cs_create_conv(amy.cs.get(), conv.data(), key.data(), m.data(), m.size()), 0);
        for (Device *d : {&amy, &ben, &cy}) ASSERT_TRUE(d->sync()) << d->user;
    }
    // A body sealed under the conversation key by `d` as its own session does, acknowledged.
    uint64_t post(Device &d, const bytes &body) {
        uint64_t counter = 0, t = 0;
        uint8_t dev[32];
        EXPECT_EQ(cs_seal_send(d.cs.get(), conv.data(), body.data(), body.size(), &counter, &t, dev), 0);
        EXPECT_EQ(d.acks(1).at(0).ok, 1);
        return counter;
    }
    // A text sent as the session's user does, kept in the sender's store too.
    uint64_t say(Device &d, const std::string &text) {
        EXPECT_EQ(quorvane_cs_send_text(d.cs.get(), conv.data(), text.c_str()), 0);
        const SendResult r = d.acks(1).at(0);
        EXPECT_EQ(r.ok, 1);
        return r.counter;
    }
};

bytes delete_body(const uint8_t author[16], uint64_t counter) {
    bytes b(QV_MSG_DELETE_LEN);
    b.resize(quorvane_msg_delete_encode(author, counter, b.data(), b.size()));
    return b;
}
bytes edit_body(const uint8_t author[16], uint64_t counter, const std::string &text) {
    bytes b(64 + text.size());
    b.resize(quorvane_msg_edit_encode(author, counter, text.data(), text.size(), b.data(), b.size()));
    return b;
}
bytes reaction_body(const uint8_t author[16], uint64_t counter, const char *name) {
    bytes b(64);
    b.resize(quorvane_msg_reaction_encode(author, counter, 1, name, b.data(), b.size()));
    return b;
}

}  // namespace

// ben, a member without rights in the group, deletes and edits amy's message
// and reacts to it: the delete and the edit change nothing in any store, the
// reaction is kept as ben's. ben's own edit and delete of his own message do
// act. The server refuses an envelope naming amy as its sender from ben.
TEST(ReviewEndToEnd, MemberActsOnlyOnItsOwnMessages) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    Trio t(srv);
    ASSERT_NO_FATAL_FAILURE(t.up());
    const uint64_t amys = t.say(t.amy, "amy's words");
    const uint64_t bens = t.say(t.ben, "ben's words");
    ASSERT_TRUE(t.cy.sync());
    ASSERT_TRUE(t.amy.sync());

    ASSERT_EQ(quorvane_cs_send_delete(t.ben.cs.get(), t.conv.data(), t.amy.uid, nullptr, amys), -1)
        << "ben's session offers to delete amy's message";
    t.post(t.ben, delete_body(t.amy.uid, amys));
    t.post(t.ben, edit_body(t.amy.uid, amys, "ben put words in amy's mouth"));
    t.post(t.ben, reaction_body(t.amy.uid, amys, "heart"));
    t.post(t.ben, edit_body(t.ben.uid, bens, "ben's words, edited"));

    for (Device *d : {&t.amy, &t.cy}) {
        SCOPED_TRACE(d->user);
        ASSERT_TRUE(d->reopen());
        ASSERT_TRUE(d->sync());
        quorvane_ms_msgrec m{};
        ASSERT_EQ(quorvane_msgstore_find_msg(d->ms, t.conv.data(), t.amy.uid, amys, &m), 0);
        EXPECT_EQ(m.type, QV_MS_TYPE_TEXT) << "another member deleted amy's message";
        EXPECT_EQ(text_of(m), "amy's words") << "another member edited amy's message";
        ASSERT_EQ(quorvane_msgstore_find_msg(d->ms, t.conv.data(), t.ben.uid, bens, &m), 0);
        EXPECT_EQ(text_of(m), "ben's words, edited") << "ben's edit of his own message";
        quorvane_ms_reaction_count rc[4]{};
        ASSERT_EQ(quorvane_msgstore_reactions(d->ms, t.conv.data(), t.amy.uid, nullptr, amys, t.ben.uid, rc, 4), 1u);
        EXPECT_EQ(std::string(rc[0].name), "heart");
        EXPECT_EQ(rc[0].count, 1u);
        EXPECT_EQ(rc[0].mine, 1) << "the reaction is not ben's";
    }

    // ben's delete of his own message acts; amy's of ben's does not, amy
    // holding no role in the group (her server role counts on her own devices only).
    t.post(t.ben, delete_body(t.ben.uid, bens));
    ASSERT_TRUE(t.cy.reopen());
    ASSERT_TRUE(t.cy.sync());
    quorvane_ms_msgrec m{};
    ASSERT_EQ(quorvane_msgstore_find_msg(t.cy.ms, t.conv.data(), t.ben.uid, bens, &m), 0);
    EXPECT_EQ(m.type, QV_MS_TYPE_DELETED);
}

namespace {

// The messages of a store, each once by author, device and id: false when one is held twice.
bool each_once(const Device &d, const bytes &conv, std::string *twice) {
    std::set<std::tuple<std::string, std::string, uint64_t>> seen;
    for (const quorvane_ms_msgrec &m : d.messages(conv))
        if (!seen.insert({hex(m.author, 16), hex(m.author_device, 32), m.msg_id}).second) {
            *twice = d.user + ": " + text_of(m);
            return false;
        }
    return true;
}

bool holds(const Device &d, const bytes &conv, const uint8_t author[16], uint64_t id) {
    quorvane_ms_msgrec m{};
    return quorvane_msgstore_find_msg(d.ms, conv.data(), author, id, &m) == 0 && m.type == QV_MS_TYPE_TEXT;
}

}  // namespace

// SIGKILL of the server while a burst of texts, a rekey with a grant, a key
// request, a back-fill and a history for a new own device are in flight.
// After the restart every text acknowledged to amy reaches every other device,
// and no store holds a message twice, after a second back-fill and a second
// history import included.
TEST(ReviewEndToEnd, SigkillMidTurnLosesNothingAcknowledgedAndStoresNothingTwice) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    Trio t(srv);
    ASSERT_NO_FATAL_FAILURE(t.up());
    Device amy2(srv, "amy", 1);
    ASSERT_TRUE(amy2.enroll());
    ASSERT_TRUE(amy2.online());
    ASSERT_TRUE(amy2.sync());
    std::set<uint64_t> acked;
    for (int i = 0; i < 5; i++) acked.insert(t.say(t.amy, "before " + std::to_string(i)));

    // in flight
    ASSERT_EQ(quorvane_cs_request_history(amy2.cs.get()), 0);
    ASSERT_EQ(quorvane_cs_backfill(t.ben.cs.get(), t.conv.data(), UINT64_MAX >> 1, 3), 0);
    ASSERT_EQ(quorvane_cs_send_key_request(t.cy.cs.get(), t.conv.data()), 0);
    ASSERT_EQ(quorvane_cs_send_read_mark(t.ben.cs.get(), t.conv.data(), 1), 0);
    for (int i = 0; i < 10; i++) ASSERT_EQ(quorvane_cs_send_text(t.amy.cs.get(), t.conv.data(), ("burst " + std::to_string(i)).c_str()), 0);
    const std::vector<quorvane_member> m = {member_of({&t.amy, &amy2}), member_of({&t.ben}), member_of({&t.cy})};
    const bytes key2 = random_bytes(32);
    ASSERT_EQ(quorvane_cs_group_rekey(t.amy.cs.get(), t.conv.data(), key2.data(), m.data(), m.size()), 0);
    ASSERT_EQ(quorvane_cs_group_reseal_grant(t.amy.cs.get(), t.conv.data(), m.data(), m.size(), t.cy.dev_key(),
                                             t.cy.keys.k.device_ed25519_pub),
              0);
    for (int i = 10; i < 20; i++) ASSERT_EQ(quorvane_cs_send_text(t.amy.cs.get(), t.conv.data(), ("burst " + std::to_string(i)).c_str()), 0);
    // a few turns, so the kill lands with some of it answered and some not
    size_t answered = 0;
    for (int turn = 0; turn < 200 && answered < 8; turn++) {
        for (Device *d : {&t.amy, &amy2, &t.ben, &t.cy}) d->pump();
        SendResult r{bytes(16), 0, -1};
        while (quorvane_cs_poll_send_result(t.amy.cs.get(), r.conv.data(), &r.counter, &r.ok) == 1) {
            answered++;
            if (r.ok == 1) acked.insert(r.counter);
        }
    }
    kill(srv.proc->pid, SIGKILL);
    srv.stop();
    for (Device *d : {&t.amy, &amy2, &t.ben, &t.cy}) d->offline();
    SCOPED_TRACE(std::to_string(answered) + " of 20 answered before the kill");

    ASSERT_TRUE(srv.start(true));
    for (Device *d : {&t.amy, &amy2, &t.ben, &t.cy}) {
        ASSERT_TRUE(d->online()) << d->user;
        ASSERT_TRUE(d->sync()) << d->user;
    }
    for (int pass = 0; pass < 2; pass++) {
        ASSERT_EQ(quorvane_cs_request_history(amy2.cs.get()), 0);
        ASSERT_TRUE(amy2.until([&] {
            t.amy.pump();
            return quorvane_cs_history_synced(amy2.cs.get()) == 1;
        })) << "no history after the restart";
        for (Device *d : {&t.ben, &t.cy}) {
            ASSERT_EQ(quorvane_cs_backfill(d->cs.get(), t.conv.data(), UINT64_MAX >> 1, 0), 0);
            uint8_t conv[16];
            uint64_t count = 0, cursor = 0;
            uint8_t flag = 0;
            ASSERT_TRUE(d->until([&] { return quorvane_cs_backfill_result(d->cs.get(), conv, &count, &cursor, &flag) == 1; }));
        }
    }
    for (Device *d : {&amy2, &t.ben, &t.cy}) {
        ASSERT_TRUE(d->reopen()) << d->user;
        ASSERT_TRUE(d->sync()) << d->user;
        std::string twice;
        EXPECT_TRUE(each_once(*d, t.conv, &twice)) << "held twice: " << twice;
        for (uint64_t id : acked) EXPECT_TRUE(holds(*d, t.conv, t.amy.uid, id)) << d->user << " lost acknowledged text " << id;
    }
    std::string twice;
    EXPECT_TRUE(each_once(t.amy, t.conv, &twice)) << "held twice: " << twice;
}

// amy's conversation list cannot be written while she rekeys cy's device out
// and while the new member list arrives, and her program ends before any
// later write: reopened, her store holds the old key as current.
// The first sync must bring the new key back before anything is sealed: a
// text she sends then opens for ben and not for cy's device.
TEST(ReviewEndToEnd, UnwrittenRekeyIsNotUndoneByAReopen) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    Trio t(srv);
    ASSERT_NO_FATAL_FAILURE(t.up());
    const std::vector<quorvane_member> m = {member_of({&t.amy}), member_of({&t.ben}), member_of({&t.cy})};
    bytes key2;
    {
        Blocker b(t.amy.dir.path + "/convs.dat");
        const int rc = quorvane_cs_group_rekey_exclude(t.amy.cs.get(), t.conv.data(), m.data(), m.size(), t.cy.dev_key());
        EXPECT_EQ(rc, 0) << "the key went out: the rekey happened";
        uint8_t k[32];
        ASSERT_EQ(quorvane_msgstore_get_conv(t.amy.ms, t.conv.data(), k), 1);
        key2.assign(k, k + 32);
        EXPECT_NE(hex(key2), hex(t.key));
        ASSERT_TRUE(t.amy.sync());  // the new member list, not written
        t.amy.offline();
    }
    ASSERT_TRUE(t.amy.online());
    uint8_t k[32];
    ASSERT_EQ(quorvane_msgstore_get_conv(t.amy.ms, t.conv.data(), k), 1);
    ASSERT_EQ(hex(bytes(k, k + 32)), hex(t.key)) << "the blocked write went through: nothing is tested";
    ASSERT_TRUE(t.amy.sync());
    ASSERT_EQ(quorvane_msgstore_get_conv(t.amy.ms, t.conv.data(), k), 1);
    EXPECT_EQ(hex(bytes(k, k + 32)), hex(key2)) << "the key cy's device holds is current again";
    const uint64_t after = t.say(t.amy, "after the rekey");
    for (Device *d : {&t.ben, &t.cy}) ASSERT_TRUE(d->reopen() && d->sync()) << d->user;
    EXPECT_TRUE(holds(t.ben, t.conv, t.amy.uid, after));
    EXPECT_FALSE(holds(t.cy, t.conv, t.amy.uid, after)) << "cy's device, rekeyed out, opened a later text";
}
