// The connection against scripted TLS peers: frames cut across records and
// merged into one, back-pressure with 64 frames unread, closes and resets.
#include "client_net.h"
#include "engine_support.h"

#include <atomic>
#include <sys/ioctl.h>

using namespace qvtest;

namespace {

using bytes = std::vector<uint8_t>;

struct CnetDeleter {
    void operator()(quorvane_cnet *c) const { quorvane_cnet_free(c); }
};
using CnetPtr = std::unique_ptr<quorvane_cnet, CnetDeleter>;

// A peer that writes at once may have its bytes read by the pump that ends
// the handshake: then the connection can be past UP before the caller looks.
CnetPtr connect_to(const std::string &port, bool expect_up = true) {
    CnetPtr c(quorvane_cnet_new());
    EXPECT_EQ(quorvane_cnet_connect(c.get(), "127.0.0.1", port.c_str()), 0);
    wait_until([&] { quorvane_cnet_pump(c.get()); return quorvane_cnet_get_state(c.get()) != QV_CNET_CONNECTING; }, kWaitMs);
    if (expect_up) {
        EXPECT_EQ(quorvane_cnet_get_state(c.get()), QV_CNET_UP);
    }
    return c;
}

bytes numbered(uint32_t i, size_t extra = 0) {
    bytes payload(4 + extra, static_cast<uint8_t>(i));
    put_be32(payload.data(), i);
    return frame_of(static_cast<uint8_t>(1 + i % 200), payload);
}

// Pumps until n frames came and returns them in order.
std::vector<bytes> receive(quorvane_cnet *c, size_t n) {
    std::vector<bytes> got;
    wait_until([&] {
        quorvane_cnet_pump(c);
        const uint8_t *f;
        size_t len;
        while (quorvane_cnet_recv(c, &f, &len) == 1) got.emplace_back(f, f + len);
        return got.size() >= n;
    }, kWaitMs);
    return got;
}

}  // namespace

TEST(ClientNet, FramesSplitIntoByteRecordsAndMergedIntoOne) {
    std::vector<bytes> sent;
    for (uint32_t i = 0; i < 3; i++) sent.push_back(numbered(i, 300));
    for (uint32_t i = 3; i < 23; i++) sent.push_back(numbered(i));
    TlsPeer peer([&](PeerConn &pc) {
        for (int i = 0; i < 3; i++) pc.write_split(sent[i]);
        bytes merged;
        for (int i = 3; i < 23; i++) merged.insert(merged.end(), sent[i].begin(), sent[i].end());
        pc.write_record(merged);
        bytes f;
        pc.read_frame(&f);  // stays until the client goes
    });
    CnetPtr c = connect_to(peer.port);
    auto got = receive(c.get(), 23);
    ASSERT_EQ(got.size(), 23u);
    for (size_t i = 0; i < 23; i++) EXPECT_EQ(hex(got[i]), hex(sent[i])) << i;
    // Frame bytes do not linger in the read buffer once they are cut out.
    EXPECT_EQ(c->read_left, 0u);
    EXPECT_TRUE(all_zero(c->read_buf, sizeof c->read_buf));
    c.reset();
    peer.join();
}

// With 64 frames unread the rest waits (in the read buffer and in the
// kernel); draining lets it through, whole and in order.
TEST(ClientNet, SixtyFourUnreadFramesStopReading) {
    constexpr uint32_t N = 200;
    std::atomic<bool> all_written{false};
    TlsPeer peer([&](PeerConn &pc) {
        for (uint32_t i = 0; i < N; i++) pc.write_record(numbered(i, 200));
        all_written = true;  // all of it fits in the socket buffers
        bytes f;
        pc.read_frame(&f);
    });
    CnetPtr c = connect_to(peer.port);
    wait_until([&] { quorvane_cnet_pump(c.get()); return c->recv_count == QV_CNET_RING; }, kWaitMs);
    ASSERT_EQ(c->recv_count, QV_CNET_RING);
    // Loopback has delivered a write by the time it returns: once the peer
    // is done, no more bytes come in while we look.
    ASSERT_TRUE(wait_until([&] { return all_written.load(); }, kWaitMs));
    // With the ring full and the read buffer empty one more read is allowed;
    // from then on its bytes wait.
    for (int i = 0; i < 5; i++) quorvane_cnet_pump(c.get());
    EXPECT_GT(c->read_left, 0u);
    int queued_before = 0, queued_after = 0;
    ASSERT_EQ(ioctl(c->netw->link.sock, FIONREAD, &queued_before), 0);
    uint64_t left = c->read_left;
    for (int i = 0; i < 50; i++) quorvane_cnet_pump(c.get());
    ASSERT_EQ(ioctl(c->netw->link.sock, FIONREAD, &queued_after), 0);
    EXPECT_GT(queued_before, 0);
    EXPECT_EQ(queued_after, queued_before);  // not a byte more was read
    EXPECT_EQ(c->read_left, left);
    EXPECT_EQ(c->recv_count, QV_CNET_RING);
    EXPECT_EQ(quorvane_cnet_input_waiting(c.get()), 1);  // its reader goes again without a pause

    auto got = receive(c.get(), N);
    ASSERT_EQ(got.size(), N);
    for (uint32_t i = 0; i < N; i++) EXPECT_EQ(hex(got[i]), hex(numbered(i, 200))) << i;
    quorvane_cnet_pump(c.get());
    EXPECT_EQ(quorvane_cnet_input_waiting(c.get()), 0);  // all read: the socket would block
    c.reset();
    peer.join();
}

TEST(ClientNet, SendQueueAndStates) {
    TlsPeer peer([&](PeerConn &pc) {
        bytes f;
        while (pc.read_frame(&f)) pc.write_record(f);  // echo
    });
    CnetPtr c = connect_to(peer.port);
    EXPECT_EQ(quorvane_cnet_connect(c.get(), "127.0.0.1", peer.port.c_str()), -1);  // only from state 0
    EXPECT_EQ(quorvane_cnet_get_state(c.get()), QV_CNET_UP);
    for (size_t i = 0; i < QV_CNET_RING; i++) ASSERT_EQ(quorvane_cnet_send(c.get(), numbered(1).data(), numbered(1).size()), 0);
    EXPECT_EQ(quorvane_cnet_send(c.get(), numbered(1).data(), numbered(1).size()), -1);  // 64 queued
    auto got = receive(c.get(), QV_CNET_RING);
    EXPECT_EQ(got.size(), QV_CNET_RING);
    EXPECT_EQ(c->send_count, 0u);
    // The frame handed out last is freed by the next call even when none follows.
    const uint8_t *f;
    size_t len;
    EXPECT_EQ(quorvane_cnet_recv(c.get(), &f, &len), 0);
    EXPECT_EQ(c->handed_out, nullptr);
    EXPECT_GT(quorvane_cnet_activity(c.get()), 0u);
    EXPECT_EQ(quorvane_cnet_error(c.get()), nullptr);
    c.reset();
    peer.join();
    EXPECT_EQ(quorvane_cnet_get_state(nullptr), QV_CNET_BROKEN);
    EXPECT_EQ(quorvane_cnet_activity(nullptr), 0u);
}

// Frames that came before a close stay readable; a close gives 3, a reset 4
// or 3 (the library reports a reset like a close), each with its text.
TEST(ClientNet, PeerCloseKeepsQueuedFrames) {
    TlsPeer peer([&](PeerConn &pc) { pc.write_record(numbered(7)); });
    CnetPtr c = connect_to(peer.port, false);
    wait_until([&] { quorvane_cnet_pump(c.get()); return quorvane_cnet_get_state(c.get()) >= QV_CNET_CLOSED; }, kWaitMs);
    EXPECT_EQ(quorvane_cnet_get_state(c.get()), QV_CNET_CLOSED);
    EXPECT_STREQ(quorvane_cnet_error(c.get()), "the server closed the connection");
    const uint8_t *f;
    size_t len;
    ASSERT_EQ(quorvane_cnet_recv(c.get(), &f, &len), 1);
    EXPECT_EQ(hex(f, len), hex(numbered(7)));
    c.reset();  // the peer's close waits for ours
    peer.join();

    CnetPtr bad(quorvane_cnet_new());
    EXPECT_EQ(quorvane_cnet_connect(bad.get(), "no-such-host.invalid", "1"), -1);
    EXPECT_EQ(quorvane_cnet_get_state(bad.get()), QV_CNET_BROKEN);
    EXPECT_STREQ(quorvane_cnet_error(bad.get()), "the address could not be resolved or reached");
}

// A stream that is not frames breaks the connection.
TEST(ClientNet, BadHeaderBreaks) {
    TlsPeer peer([&](PeerConn &pc) {
        pc.write_record(bytes{'X', 'X', 1, 1, 0, 0, 0, 0});
        bytes f;
        pc.read_frame(&f);
    });
    CnetPtr c = connect_to(peer.port, false);
    wait_until([&] { quorvane_cnet_pump(c.get()); return quorvane_cnet_get_state(c.get()) >= QV_CNET_CLOSED; }, kWaitMs);
    EXPECT_EQ(quorvane_cnet_get_state(c.get()), QV_CNET_BROKEN);
    EXPECT_STREQ(quorvane_cnet_error(c.get()), "the connection broke");
    c.reset();
    peer.join();
}
