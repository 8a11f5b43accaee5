// A stranger puts a user into many conversations at once, through the server
// program over TLS on loopback: what arrives inside one store batch, as the
// worker groups what comes together, writes the conversation list and the
// identity list once at the batch's end, not once per conversation, and
// the store opened again holds every conversation with its key.
#include "e2e_support.h"
#include "client_send.h"
#include "server_handlers.h"

#include <map>
#include <sys/inotify.h>

using namespace qvtest;

namespace {

// Counts the files renamed into a directory, by name: every store file is
// written beside its target and renamed over it.
struct Renames {
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    std::map<std::string, int> seen;
    explicit Renames(const std::string &dir) {
        EXPECT_GE(fd, 0);
        EXPECT_GE(inotify_add_watch(fd, dir.c_str(), IN_MOVED_TO), 0);
    }
    ~Renames() { close(fd); }
    int of(const std::string &name) {
        alignas(inotify_event) char buf[16384];
        for (;;) {
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) break;
            for (ssize_t at = 0; at < n;) {
                const auto *e = reinterpret_cast<const inotify_event *>(buf + at);
                if (e->len) seen[e->name]++;
                at += ssize_t(sizeof(inotify_event) + e->len);
            }
        }
        return seen[name];
    }
};

}  // namespace

TEST(ConvBurst, OneListWritePerBatchAndEveryConversationKept) {
    // Enough to tell one write from one per conversation, and no more than
    // one user may put another into in a day: past that the server refuses
    // the rest, however they arrive.
    constexpr size_t kConvs = QVS_CONVS_WITH_USER_PER_DAY;
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    Device stranger(srv, "stranger", 1), victim(srv, "victim", 2);
    bring_up({&stranger, &victim});
    Renames renames(victim.dir.path);
    const int list_before = renames.of("convs.dat"), idents_before = renames.of("idents.dat");

    quorvane_msgstore_batch_begin(victim.ms);
    quorvane_msgstore_batch_begin(stranger.ms);  // the stranger's own list is not what is measured
    const std::vector<quorvane_member> members = {member_of({&stranger}), member_of({&victim})};
    std::vector<bytes> convs;
    for (size_t i = 0; i < kConvs; i++) {
        convs.push_back(random_bytes(16));
        ASSERT_EQ(quorvane_cs_create_conv(stranger.cs.get(), convs.back().data(), random_bytes(32).data(), members.data(),
                                          members.size()),
                  0);
    }
    ASSERT_EQ(quorvane_msgstore_batch_end(stranger.ms), 0);
    ASSERT_TRUE(victim.until([&] {
        stranger.pump();
        return quorvane_msgstore_conv_count(victim.ms) == kConvs;
    })) << quorvane_msgstore_conv_count(victim.ms) << " of " << kConvs << " conversations arrived";
    EXPECT_EQ(renames.of("convs.dat"), list_before) << "the list was written while the batch was open";
    EXPECT_EQ(renames.of("idents.dat"), idents_before) << "the identities were written while the batch was open";
    ASSERT_EQ(quorvane_msgstore_batch_end(victim.ms), 0);
    EXPECT_EQ(renames.of("convs.dat"), list_before + 1);
    EXPECT_EQ(renames.of("idents.dat"), idents_before + 1);

    // what the batch wrote is all there is: the conversations come back with
    // their keys and members, and a text in the last one opens
    ASSERT_TRUE(victim.reopen());
    ASSERT_EQ(quorvane_msgstore_conv_count(victim.ms), kConvs);
    for (const bytes &c : convs) {
        uint8_t k[32];
        EXPECT_EQ(quorvane_msgstore_get_conv(victim.ms, c.data(), k), 1) << hex(c);
        EXPECT_EQ(quorvane_msgstore_member_count(victim.ms, c.data()), 2u) << hex(c);
    }
    ASSERT_EQ(quorvane_cs_send_text(stranger.cs.get(), convs.back().data(), "hello from a stranger"), 0);
    EXPECT_EQ(stranger.acks(1).at(0).ok, 1);
    ASSERT_TRUE(victim.sync());
    const auto got = victim.messages(convs.back());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(text_of(got[0]), "hello from a stranger");
}
