// Workers end to end through the server program on loopback: each worker with
// a data directory of its own, driven only through the public functions, its
// store read through the test hook. Direct conversations, groups, commands
// queued while off-line, the queue's limit, and a restart on the same data.
#include "client_authed.h"
#include "client_deliver.h"
#include "client_msgstore.h"
#include "engine_support.h"
#include "quorvane_msg.h"
#include "worker_internal.h"
#include "worker_support.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using namespace qvtest;

namespace {

using bytes = std::vector<uint8_t>;
constexpr uint8_t kTypeReply = 10;  // a reply keeps its whole body: the quote, then the text

std::string hexs(const uint8_t *p, size_t n) {
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) (s += d[p[i] >> 4]) += d[p[i] & 15];
    return s;
}

// What a message shows: a reply's own text without the quote it carries.
std::string shown(const quorvane_ms_msgrec &m) {
    const char *t = nullptr;
    size_t n = 0;
    uint8_t quoted[16];
    uint64_t counter = 0;
    if (m.type == kTypeReply &&
        quorvane_msg_reply_decode(reinterpret_cast<const uint8_t *>(m.text), m.text_len, quoted, &counter, &t, &n) == 0)
        return std::string(t, n);
    return std::string(m.text, m.text_len);
}

struct SendResult {
    std::string conv;
    uint64_t counter;
    int ok;
};

// One account on one device: a worker with its key store, pin and message
// store in a directory of its own.
struct Node {
    TempDir dir;
    Cfg cfg;
    WorkerPtr w;
    uint8_t uid[16] = {};
    std::vector<quorvane_notification> notes;
    std::vector<SendResult> results;

    Node(ServerProc &srv, const std::string &name) : cfg(dir, srv.port, name, dir.file("pin")) { cfg.c.register_ = 1; }

    bool up() {
        w = cfg.start();
        if (!w || !wait_code(w.get(), QV_WS_CONNECTED, kWaitMs)) return false;
        std::memcpy(uid, status_of(w.get()).user_id, 16);
        cfg.c.register_ = 0;  // from now on the key store signs in
        return true;
    }

    std::vector<quorvane_ms_msgrec> messages(const bytes &conv) {
        struct Ctx {
            const bytes &conv;
            std::vector<quorvane_ms_msgrec> out;
        } ctx{conv, {}};
        quorvane_worker_test_with_store(
            w.get(),
            [](quorvane_msgstore *ms, void *u) {
                auto *c = static_cast<Ctx *>(u);
                if (!ms) return;
                c->out.resize(quorvane_msgstore_msg_count(ms, c->conv.data()));
                for (size_t i = 0; i < c->out.size(); i++)
                    if (quorvane_msgstore_msg_at(ms, c->conv.data(), i, &c->out[i]) != 0) c->out[i] = {};
            },
            &ctx);
        return ctx.out;
    }
    // The texts of the messages `author` wrote in the conversation and did not delete, in store order.
    std::vector<std::string> texts_by(const bytes &conv, const uint8_t author[16]) {
        std::vector<std::string> out;
        for (const auto &m : messages(conv))
            if (std::memcmp(m.author, author, 16) == 0 && m.type != QV_MS_TYPE_DELETED) out.push_back(shown(m));
        return out;
    }
    bool find(const bytes &conv, const uint8_t author[16], uint64_t id, quorvane_ms_msgrec *out) {
        for (const auto &m : messages(conv))
            if (std::memcmp(m.author, author, 16) == 0 && m.msg_id == id) {
                *out = m;
                return true;
            }
        return false;
    }
    size_t reactions(const bytes &conv, const uint8_t author[16], uint64_t id, const char *name) {
        struct Ctx {
            const bytes &conv;
            const uint8_t *author, *own;
            uint64_t id;
            const char *name;
            size_t count;
        } ctx{conv, author, uid, id, name, 0};
        quorvane_worker_test_with_store(
            w.get(),
            [](quorvane_msgstore *ms, void *u) {
                auto *c = static_cast<Ctx *>(u);
                quorvane_ms_reaction_count r[8];
                const size_t n = ms ? quorvane_msgstore_reactions(ms, c->conv.data(), c->author, nullptr, c->id, c->own, r, 8) : 0;
                for (size_t i = 0; i < n && i < 8; i++)
                    if (std::strcmp(r[i].name, c->name) == 0) c->count += r[i].count;
            },
            &ctx);
        return ctx.count;
    }

    bool knows(const bytes &conv) {
        std::pair<const bytes *, bool> k{&conv, false};
        quorvane_worker_test_with_store(
            w.get(),
            [](quorvane_msgstore *ms, void *u) {
                auto *k = static_cast<std::pair<const bytes *, bool> *>(u);
                for (size_t i = 0; ms && i < quorvane_msgstore_conv_count(ms); i++)
                    if (std::memcmp(quorvane_msgstore_conv_at(ms, i)->id, k->first->data(), 16) == 0) k->second = true;
            },
            &k);
        return k.second;
    }

    void drain() {
        quorvane_notification n{};
        while (quorvane_worker_poll_notification(w.get(), &n) == 1) notes.push_back(n);
        SendResult r{};
        uint8_t conv[16];
        while (quorvane_worker_poll_send_result(w.get(), conv, &r.counter, &r.ok) == 1) {
            r.conv = hexs(conv, 16);
            results.push_back(r);
        }
    }
    // The counter of the next accepted send in `conv`, once the server took it.
    uint64_t accepted(const bytes &conv, size_t *from) {
        uint64_t counter = 0;
        EXPECT_TRUE(wait_until(
            [&] {
                drain();
                for (; *from < results.size() && !counter; ++*from)
                    if (results[*from].conv == hexs(conv.data(), 16)) {
                        EXPECT_EQ(results[*from].ok, 1);
                        counter = results[*from].counter;
                    }
                return counter != 0;
            },
            kWaitMs))
            << cfg.user << ": no send result";
        return counter;
    }
    bool noted(const bytes &conv, const uint8_t sender[16], const std::string &preview_part) {
        return wait_until(
            [&] {
                drain();
                return std::any_of(notes.begin(), notes.end(), [&](const quorvane_notification &n) {
                    return std::memcmp(n.conv_id, conv.data(), 16) == 0 && std::memcmp(n.sender, sender, 16) == 0 &&
                           std::string(n.preview).find(preview_part) != std::string::npos;
                });
            },
            kWaitMs);
    }

    // Another account's member record, from its prekey bundle asked through the worker.
    quorvane_member member(const std::string &name, bool for_dm) {
        quorvane_member m{};
        EXPECT_EQ(for_dm ? quorvane_worker_request_prekeys_for_dm(w.get(), name.c_str())
                         : quorvane_worker_request_prekeys(w.get(), name.c_str()),
                  0);
        // the own bundle asked at sign-in can sit in the slot first: it is not the one we asked for
        quorvane_prekey_reply r{};
        EXPECT_TRUE(wait_until([&] { return quorvane_worker_take_prekeys(w.get(), &r) == 1 && std::memcmp(r.user_id, uid, 16) != 0; },
                               kWaitMs))
            << name;
        EXPECT_EQ(r.complete, 1u) << name;
        quorvane_cs_peer_from_prekeys(&m, &r);
        return m;
    }
    // A conversation with the given members besides us, under a fresh key.
    bytes create(const std::vector<quorvane_member> &members) {
        bytes conv = random_bytes(16), key = random_bytes(32);
        EXPECT_EQ(quorvane_worker_create_conv(w.get(), conv.data(), key.data(), members.data(), members.size()), 0);
        return conv;
    }
};

// Waits until `n` holds exactly `want` as the texts `author` wrote in `conv`.
void expect_texts(Node &n, const bytes &conv, const uint8_t author[16], const std::vector<std::string> &want) {
    std::vector<std::string> got;
    wait_until(
        [&] {
            got = n.texts_by(conv, author);
            return got.size() >= want.size();
        },
        kWaitMs);
    EXPECT_EQ(got, want) << n.cfg.user;
}

}  // namespace

// Texts, a reply, an edit, a reaction and a deletion in a direct conversation
// whose peer came from a prekey bundle asked through the worker; each side's
// store, notification ring and send-result ring show them. Stopped and started
// on the same data, a worker signs in with its key store, keeps its history
// and goes on sending.
TEST(WorkerEndToEnd, DirectConversation) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    Node amy(srv, "amy"), ben(srv, "ben");
    ASSERT_TRUE(amy.up());
    ASSERT_TRUE(ben.up());

    const bytes conv = amy.create({amy.member("ben", true)});
    size_t amy_from = 0, ben_from = 0;
    ASSERT_EQ(quorvane_worker_send_text(amy.w.get(), conv.data(), "hello ben"), 0);
    const uint64_t hello = amy.accepted(conv, &amy_from);
    ASSERT_EQ(quorvane_worker_send_text(amy.w.get(), conv.data(), "this one goes"), 0);
    const uint64_t goes = amy.accepted(conv, &amy_from);
    expect_texts(ben, conv, amy.uid, {"hello ben", "this one goes"});
    EXPECT_TRUE(ben.noted(conv, amy.uid, "hello ben"));

    ASSERT_EQ(quorvane_worker_send_reply(ben.w.get(), conv.data(), amy.uid, hello, "hi amy"), 0);
    const uint64_t reply = ben.accepted(conv, &ben_from);
    expect_texts(amy, conv, ben.uid, {"hi amy"});
    EXPECT_TRUE(amy.noted(conv, ben.uid, "hi amy"));
    quorvane_ms_msgrec rec{};
    ASSERT_TRUE(amy.find(conv, ben.uid, reply, &rec));
    uint8_t quoted[16];
    uint64_t quoted_counter = 0;
    const char *t = nullptr;
    size_t tl = 0;
    ASSERT_EQ(rec.type, kTypeReply);
    ASSERT_EQ(quorvane_msg_reply_decode(reinterpret_cast<const uint8_t *>(rec.text), rec.text_len, quoted, &quoted_counter, &t, &tl), 0);
    EXPECT_EQ(hexs(quoted, 16), hexs(amy.uid, 16));
    EXPECT_EQ(quoted_counter, hello);
    EXPECT_EQ(std::string(t, tl), "hi amy");

    ASSERT_EQ(quorvane_worker_send_edit(amy.w.get(), conv.data(), nullptr, hello, "hello ben, edited"), 0);
    amy.accepted(conv, &amy_from);
    ASSERT_EQ(quorvane_worker_react(ben.w.get(), conv.data(), amy.uid, nullptr, hello, "thumbsup", 1), 0);
    ben.accepted(conv, &ben_from);
    ASSERT_EQ(quorvane_worker_delete_message(amy.w.get(), conv.data(), amy.uid, nullptr, goes), 0);
    amy.accepted(conv, &amy_from);

    for (Node *n : {&amy, &ben}) {
        SCOPED_TRACE(n->cfg.user);
        EXPECT_TRUE(wait_until(
            [&] {
                quorvane_ms_msgrec e{}, d{};
                return n->find(conv, amy.uid, hello, &e) && e.edited && n->find(conv, amy.uid, goes, &d) &&
                       d.type == QV_MS_TYPE_DELETED && n->reactions(conv, amy.uid, hello, "thumbsup") == 1;
            },
            kWaitMs));
        quorvane_ms_msgrec e{};
        ASSERT_TRUE(n->find(conv, amy.uid, hello, &e));
        EXPECT_EQ(std::string(e.text, e.text_len), "hello ben, edited");
        EXPECT_EQ(n->texts_by(conv, amy.uid), std::vector<std::string>{"hello ben, edited"});
        EXPECT_EQ(n->texts_by(conv, ben.uid), std::vector<std::string>{"hi amy"});
    }
    for (const SendResult &r : amy.results) EXPECT_EQ(r.ok, 1);
    for (const SendResult &r : ben.results) EXPECT_EQ(r.ok, 1);

    const std::string uid_before = hexs(amy.uid, 16);
    const size_t held = amy.messages(conv).size();
    amy.w.reset();
    ASSERT_TRUE(amy.up());
    EXPECT_EQ(hexs(amy.uid, 16), uid_before);
    EXPECT_EQ(amy.messages(conv).size(), held);
    EXPECT_EQ(amy.texts_by(conv, ben.uid), std::vector<std::string>{"hi amy"});
    amy.results.clear();
    amy_from = 0;
    ASSERT_EQ(quorvane_worker_send_text(amy.w.get(), conv.data(), "back again"), 0);
    amy.accepted(conv, &amy_from);
    expect_texts(ben, conv, amy.uid, {"hello ben, edited", "back again"});
}

// A group of three under one conversation key: every text reaches both other
// members, once.
TEST(WorkerEndToEnd, GroupOfThree) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    Node amy(srv, "amy"), ben(srv, "ben"), cy(srv, "cy");
    for (Node *n : {&amy, &ben, &cy}) ASSERT_TRUE(n->up()) << n->cfg.user;
    const bytes conv = amy.create({amy.member("ben", false), amy.member("cy", false)});

    for (Node *n : {&amy, &ben, &cy}) {
        // ben and cy learn of the conversation from its key frame; wait for it before sending
        ASSERT_TRUE(wait_until([&] { return n->knows(conv); }, kWaitMs)) << n->cfg.user;
    }
    for (Node *n : {&amy, &ben, &cy}) {
        size_t from = 0;
        ASSERT_EQ(quorvane_worker_send_text(n->w.get(), conv.data(), ("from " + n->cfg.user).c_str()), 0);
        n->accepted(conv, &from);
    }
    for (Node *reader : {&amy, &ben, &cy}) {
        for (Node *author : {&amy, &ben, &cy}) {
            SCOPED_TRACE(reader->cfg.user + " reads " + author->cfg.user);
            expect_texts(*reader, conv, author->uid, {"from " + author->cfg.user});
            if (reader != author) {
                EXPECT_TRUE(reader->noted(conv, author->uid, "from " + author->cfg.user));
            }
        }
    }
}

// Commands queued while the sender is off-line stay queued and go out in order
// once it is back; the queue refuses the 257th and takes commands again after
// a pass.
TEST(WorkerEndToEnd, OfflineQueueKeepsOrderAndItsLimit) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    Node amy(srv, "amy"), ben(srv, "ben");
    ASSERT_TRUE(amy.up());
    ASSERT_TRUE(ben.up());
    const bytes conv = amy.create({amy.member("ben", false)});
    size_t from = 0;
    ASSERT_EQ(quorvane_worker_send_text(amy.w.get(), conv.data(), "before"), 0);
    const uint64_t before = amy.accepted(conv, &from);
    expect_texts(ben, conv, amy.uid, {"before"});

    ASSERT_NE(srv.stop(), -1);
    ASSERT_TRUE(wait_until([&] { return status_of(amy.w.get()).code != QV_WS_CONNECTED; }, kWaitMs));
    quorvane_worker_set_online(amy.w.get(), 0);

    std::vector<std::string> want{"before, edited"};
    for (size_t i = 0; i < QV_WCMD_QUEUE_MAX - 1; i++) {
        if (i == 100) {
            ASSERT_EQ(quorvane_worker_send_edit(amy.w.get(), conv.data(), nullptr, before, "before, edited"), 0);
            continue;
        }
        want.push_back("queued " + std::to_string(i));
        ASSERT_EQ(quorvane_worker_send_text(amy.w.get(), conv.data(), want.back().c_str()), 0) << i;
    }
    ASSERT_EQ(quorvane_worker_sync(amy.w.get()), 0);  // the 256th
    EXPECT_EQ(quorvane_worker_send_text(amy.w.get(), conv.data(), "one too many"), -1);
    amy.drain();
    EXPECT_EQ(amy.results.size(), 1u) << "a queued command was applied or failed while off-line";

    ASSERT_TRUE(srv.start(true));
    quorvane_worker_set_online(amy.w.get(), 1);
    ASSERT_TRUE(wait_code(amy.w.get(), QV_WS_CONNECTED, kWaitMs));
    // a pass took commands off the queue: it takes new ones again
    ASSERT_TRUE(wait_until([&] { return quorvane_worker_send_text(amy.w.get(), conv.data(), "after") == 0; }, kWaitMs));
    want.push_back("after");

    std::vector<std::string> got;
    wait_until(
        [&] {
            got = ben.texts_by(conv, amy.uid);
            return got.size() >= want.size();
        },
        kWaitMs);
    EXPECT_EQ(got, want);
    amy.drain();  // the ring keeps the newest 128 when nobody reads it: the count is not checked
    EXPECT_TRUE(std::all_of(amy.results.begin(), amy.results.end(), [](const SendResult &r) { return r.ok == 1; }));
}

// The screens get the bundle they asked for, not the account's own that the
// sign-in asked for, and a direct conversation made from a bundle they took
// starts a device session with the peer's device.
TEST(WorkerEndToEnd, PrekeySlotAndDirectSessions) {
    ServerProc srv;
    ASSERT_TRUE(srv.start());
    Node amy(srv, "amy"), ben(srv, "ben");
    ASSERT_TRUE(amy.up());
    ASSERT_TRUE(ben.up());
    ASSERT_EQ(quorvane_worker_request_prekeys_for_dm(amy.w.get(), "ben"), 0);
    std::vector<std::string> takers;
    quorvane_prekey_reply r{};
    ASSERT_TRUE(wait_until(
        [&] {
            if (quorvane_worker_take_prekeys(amy.w.get(), &r) != 1) return false;
            takers.push_back(hexs(r.user_id, 16));
            return std::memcmp(r.user_id, ben.uid, 16) == 0;
        },
        kWaitMs));
    EXPECT_EQ(takers, std::vector<std::string>{hexs(ben.uid, 16)}) << "a bundle we did not ask for came first";

    quorvane_member m{};
    quorvane_cs_peer_from_prekeys(&m, &r);
    const bytes conv = amy.create({m});
    ASSERT_TRUE(wait_until([&] { return amy.knows(conv); }, kWaitMs));
    std::pair<const bytes *, size_t> k{&conv, 0};
    quorvane_worker_test_with_store(
        amy.w.get(),
        [](quorvane_msgstore *ms, void *u) {
            auto *k = static_cast<std::pair<const bytes *, size_t> *>(u);
            k->second = ms ? quorvane_msgstore_ratchet_devices(ms, k->first->data(), nullptr, 0) : 0;
        },
        &k);
    EXPECT_EQ(k.second, 1u) << "no device session with ben's device";
}
