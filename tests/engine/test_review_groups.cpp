// Hostile cases against group keys and key requests through the real server
// program over TLS on loopback: what a member taken out of a conversation can
// still get others to do for it.
#include "relay_support.h"

using namespace qvrelay;

// cy asks for the key, then a rekey takes cy out of the group. The request
// must not be handed out again afterwards, live or after a restart: a member
// answering it would seal the conversation's key (the new one included) to a
// device of a user who is no longer in it.
TEST(ReviewGroups, KeyRequestOfARemovedMemberIsNotHandedOut) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    Account amy{"amy"}, ben{"ben"}, cy{"cy"};
    for (Account *a : {&amy, &ben, &cy}) ASSERT_EQ(reg(srv, *a, a->first, a->auth), 0) << a->name;
    auto a1 = std::make_unique<Dev>(srv, amy, amy.first);
    auto b1 = std::make_unique<Dev>(srv, ben, ben.first);
    auto c1 = std::make_unique<Dev>(srv, cy, cy.first);
    for (Dev *d : {a1.get(), b1.get(), c1.get()}) d->sync();
    const bytes conv = random_bytes(16), amy_id = a1->c.user_id, ben_id = b1->c.user_id, cy_id = c1->c.user_id;
    const quorvane_member am = member_of(amy, amy_id, {&amy.first}), bm = member_of(ben, ben_id, {&ben.first});
    // cy is a member without a device key, so it asks for the key.
    ASSERT_TRUE(a1->c.send(24, conv_payload(conv, random_bytes(32), {am, bm, member_of(cy, cy_id, {})})));
    for (Dev *d : {a1.get(), b1.get(), c1.get()}) ASSERT_EQ(hex(find(d->c.read_type(151), 17)), hex(conv));
    ASSERT_TRUE(c1->c.send(64, tlv(17, conv)));
    ASSERT_EQ(hex(find(b1->c.read_type(176), 14)), hex(cy_id));
    ASSERT_EQ(of_type(before_marker(*a1), 176).size(), 1u);

    // amy rekeys with ben alone beside her: cy is out.
    ASSERT_TRUE(a1->c.send(17, conv_payload(conv, random_bytes(32), {am, bm})));
    ASSERT_EQ(hex(find(b1->c.read_type(151), 17)), hex(conv));
    EXPECT_EQ(send_env(*c1, envelope(conv, cy_id, 1)), 0u) << "cy is still a member";

    auto asked_again = [&](Dev &d) {
        EXPECT_TRUE(d.c.send(65, {}));
        return of_type(before_marker(d), 176);
    };
    EXPECT_TRUE(asked_again(*b1).empty()) << "ben is still asked to grant the key to cy";
    EXPECT_TRUE(asked_again(*a1).empty()) << "amy is still asked to grant the key to cy";

    // The same after a SIGKILL and a restart on the same store.
    kill(srv.proc->pid, SIGKILL);
    srv.stop();
    for (Dev *d : {a1.get(), b1.get(), c1.get()}) d->c.close_now();
    ASSERT_TRUE(srv.start(true));
    Dev ben2(srv, ben, ben.first);
    ben2.sync();
    EXPECT_TRUE(asked_again(ben2).empty()) << "the removed member's request came back after the restart";
}
