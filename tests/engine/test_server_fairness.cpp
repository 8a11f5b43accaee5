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
                others.push_back(std::make_unique<User>("o" + std::to_string(i), QVS_MAX_DEVICES));
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
