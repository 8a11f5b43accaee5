// Hostile cases on the direct-message road: a receiving device whose message
// store fails or stops between opening an envelope and keeping it, and a
// server fed bogus sync cursors. Stores are reopened after each failure.
#include "deliver_support.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace qvdeliver;

// A directory where the store writes its next copy of `path`: the write fails until it goes.
struct Blocker {
    std::string tmp;
    explicit Blocker(const std::string &path) : tmp(path + ".tmp") {
        EXPECT_EQ(mkdir(tmp.c_str(), 0700), 0);
        EXPECT_EQ(mkdir((tmp + "/x").c_str(), 0700), 0);
    }
    ~Blocker() {
        rmdir((tmp + "/x").c_str());
        rmdir(tmp.c_str());
    }
};

std::string msgs_file(const Receiver &r, const uint8_t conv[16]) { return r.dir.path + "/m_" + qvtest::hex(conv, 16) + ".dat"; }

// The session stepped by an envelope is kept only once what the envelope
// carried is: a message that could not be written comes again from the server
// (the cursor did not pass it) and must open then, with a text message, a
// first message with its preamble, and an action alike.
TEST_F(Deliver, UnwrittenMessageOpensWhenSentAgain) {
    struct Case {
        const char *name;
        bool first;  // the envelope carries the sender's preamble
    };
    for (const Case c : {Case{"preamble", true}, Case{"running session", false}}) {
        SCOPED_TRACE(c.name);
        Device sender{CAROL};
        record_devices(carol_id.data(), {&sender});
        pair(sender);
        uint64_t counter = 1;
        if (!c.first) {
            r.deliver(sender.seal(conv, text("before"), counter), counter);
            counter++;
        }
        const size_t had = msgs().size();
        const Bytes env = sender.seal(conv, text("kept at last"), counter);
        {
            Blocker b(msgs_file(r, conv));
            r.deliver(env, 100 + counter);
        }
        r.restart();
        EXPECT_EQ(msgs().size(), had) << "nothing was written";
        r.deliver(env, 100 + counter);
        ASSERT_EQ(msgs().size(), had + 1);
        EXPECT_EQ(text_of(msgs().back()), "kept at last");
        r.deliver(env, 100 + counter);
        EXPECT_EQ(msgs().size(), had + 1) << "a replay adds nothing";
        // and the session goes on
        r.deliver(sender.seal(conv, text("next"), counter + 1), 101 + counter);
        EXPECT_EQ(text_of(msgs().back()), "next");
    }
}

}  // namespace
