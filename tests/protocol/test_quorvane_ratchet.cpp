// Double ratchet: whole conversations started from X3DH against a second
// implementation (tests/scripts/ratchet_xcheck.py on libsodium, a long-lived
// child on pipes) in both roles, with out-of-order delivery, direction changes
// and stored-form hand-overs between the two; then the properties callers rely
// on: a refused message changes nothing, the skip limit, the stored form.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "n_log.h"
#include "qv_test_support.h"
#include "quorvane_crypto.h"
#include "quorvane_ratchet.h"
#include "quorvane_x3dh.h"

namespace {

using bytes = std::vector<uint8_t>;

using qvtest::all_zero;
using qvtest::hex_word;
using qvtest::random_bytes;
using qvtest::unhex;

/* ---- The second implementation as a live peer ------------------------------- */

// ratchet_xcheck.py on Debian's python3, one request line in, one answer line
// out. Closing its stdin ends it; it is killed by pid if it does not go.
class PyPeer {
  public:
    PyPeer() {
        signal(SIGPIPE, SIG_IGN);  // a dead peer must fail the test, not kill it
        // close-on-exec, or a second peer would hold this one's stdin open
        int to[2], from[2];
        if (pipe2(to, O_CLOEXEC) != 0) return;
        if (pipe2(from, O_CLOEXEC) != 0) {
            close(to[0]);
            close(to[1]);
            return;
        }
        const std::string script = std::string(qvtest::source_dir()) + "/tests/scripts/ratchet_xcheck.py";
        pid_ = fork();
        if (pid_ == 0) {
            dup2(to[0], 0);
            dup2(from[1], 1);
            for (int fd : {to[0], to[1], from[0], from[1]}) close(fd);
            execl(QV_PYTHON, QV_PYTHON, script.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        close(to[0]);
        close(from[1]);
        to_ = fdopen(to[1], "w");
        from_ = fdopen(from[0], "r");
    }
    ~PyPeer() {
        if (to_) fclose(to_);
        if (from_) fclose(from_);
        if (pid_ <= 0) return;
        int status = 0;
        if (!qvtest::wait_until([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, qvtest::kWaitMs)) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
    }
    PyPeer(const PyPeer &) = delete;
    PyPeer &operator=(const PyPeer &) = delete;

    // The answer's words, "OK" or "FAIL" first; {"DEAD"} when the peer is gone.
    std::vector<std::string> call(const std::string &request) {
        std::vector<std::string> words;
        char *line = nullptr;
        size_t cap = 0;
        if (to_ && from_ && fprintf(to_, "%s\n", request.c_str()) > 0 && fflush(to_) == 0 &&
            getline(&line, &cap, from_) > 0) {
            std::istringstream in(line);
            for (std::string w; in >> w;) words.push_back(w);
        }
        free(line);
        if (words.empty()) words.push_back("DEAD");
        return words;
    }

  private:
    pid_t pid_ = -1;
    FILE *to_ = nullptr;
    FILE *from_ = nullptr;
};

/* ---- One side of a conversation, on either implementation ------------------- */

struct Party {
    virtual ~Party() = default;
    virtual const char *impl() const = 0;
    virtual int send(const std::string &pt, bytes *msg) = 0;
    virtual int recv(const bytes &msg, std::string *pt) = 0;
    virtual bytes save() = 0;
    virtual void load(const bytes &state) = 0;  // replaces the state by a stored one
};

struct CppParty : Party {
    quorvane_ratchet *st = nullptr;
    ~CppParty() override { quorvane_ratchet_free(&st); }
    const char *impl() const override { return "C++"; }
    int send(const std::string &pt, bytes *msg) override {
        msg->assign(pt.size() + QV_RATCHET_OVERHEAD, 0);
        size_t n = 0;
        int rc = quorvane_ratchet_encrypt(st, reinterpret_cast<const uint8_t *>(pt.data()), pt.size(), msg->data(),
                                          msg->size(), &n);
        if (rc == 0) {
            EXPECT_EQ(n, msg->size());
        }
        return rc;
    }
    int recv(const bytes &msg, std::string *pt) override {
        bytes out(msg.size() + 1, 0xAA);
        size_t n = 12345;
        int rc = quorvane_ratchet_decrypt(st, msg.data(), msg.size(), out.data(), out.size(), &n);
        if (rc == 0) {
            pt->assign(reinterpret_cast<const char *>(out.data()), n);
        } else {
            EXPECT_EQ(n, 12345u) << "written length set on failure";
        }
        if (rc == -2) {
            EXPECT_TRUE(all_zero(out.data(), msg.size() - QV_RATCHET_OVERHEAD)) << "refused plaintext not wiped";
        }
        return rc;
    }
    bytes save() override {
        bytes b(QV_RATCHET_SER_MAX);
        size_t n = 0;
        EXPECT_EQ(quorvane_ratchet_serialize(st, b.data(), b.size(), &n), 0);
        b.resize(n);
        return b;
    }
    void load(const bytes &state) override {
        quorvane_ratchet_free(&st);
        EXPECT_EQ(quorvane_ratchet_deserialize(&st, state.data(), state.size()), 0);
    }
};

int code_of(const std::vector<std::string> &w) {
    if (w[0] == "OK") return 0;
    if (w[0] == "FAIL" && w.size() > 1) {
        if (w[1] == "AUTH") return -2;
        if (w[1] == "DH") return -1;
        if (w[1] == "LIMIT" || w[1] == "NOCHAIN" || w[1] == "MALFORMED" || w[1] == "ARG") return -3;
    }
    ADD_FAILURE() << "unexpected answer from the script: " << w[0] << (w.size() > 1 ? " " + w[1] : "");
    return -99;
}

struct PyParty : Party {
    PyPeer peer;
    const char *impl() const override { return "python"; }
    std::vector<std::string> ok(const std::string &req) {
        auto w = peer.call(req);
        EXPECT_EQ(w[0], "OK") << req.substr(0, 40) << " -> " << (w.size() > 1 ? w[1] : w[0]);
        return w;
    }
    int send(const std::string &pt, bytes *msg) override {
        auto w = peer.call("encrypt " + hex_word(pt));
        int rc = code_of(w);
        if (rc == 0) *msg = unhex(w.at(1));
        return rc;
    }
    int recv(const bytes &msg, std::string *pt) override {
        auto w = peer.call("decrypt " + hex_word(msg));
        int rc = code_of(w);
        if (rc == 0) {
            bytes b = unhex(w.at(1));
            pt->assign(b.begin(), b.end());
        }
        return rc;
    }
    bytes save() override { return unhex(ok("save").at(1)); }
    void load(const bytes &state) override { ok("load " + hex_word(state)); }
    // A fresh key pair made by the script: {priv, pub}.
    std::pair<bytes, bytes> keypair() {
        auto w = ok("keypair");
        return {unhex(w.at(1)), unhex(w.at(2))};
    }
};

struct KeyPair {
    uint8_t priv[32], pub[32];
    KeyPair() { EXPECT_EQ(quorvane_x25519_keypair(priv, pub), 0); }
};

struct Pair {
    std::unique_ptr<Party> init, resp;
    bytes spk_pub;  // the responder's signed prekey, the initiator's first peer key
    bytes ad;
};

// X3DH over a fresh bundle, each side with its own implementation of it,
// then both ratchets started from its secret and associated data.
Pair start_x3dh(bool cpp_initiator, bool one_time) {
    Pair p;
    if (cpp_initiator) {
        auto cpp = std::make_unique<CppParty>();
        auto py = std::make_unique<PyParty>();
        auto ikb = py->keypair(), spkb = py->keypair(), opkb = py->keypair();
        KeyPair ika;
        uint8_t eka[32], secret[32], ad[64];
        EXPECT_EQ(quorvane_x3dh_initiator(ika.priv, ika.pub, ikb.second.data(), spkb.second.data(),
                                          one_time ? opkb.second.data() : nullptr, eka, secret, ad),
                  0);
        EXPECT_EQ(quorvane_ratchet_init_initiator(&cpp->st, secret, ad, spkb.second.data()), 0);
        py->ok("x3dh_respond " + hex_word(ikb.first) + " " + hex_word(spkb.first) + " " +
               (one_time ? hex_word(opkb.first) : "-") + " " + hex_word(ika.pub, 32) + " " + hex_word(eka, 32));
        p.spk_pub = spkb.second;
        p.ad.assign(ad, ad + 64);
        p.init = std::move(cpp);
        p.resp = std::move(py);
    } else {
        auto py = std::make_unique<PyParty>();
        auto cpp = std::make_unique<CppParty>();
        KeyPair ikb, spkb, opkb;
        auto ika = py->keypair();
        auto w = py->ok("x3dh_initiate " + hex_word(ika.first) + " " + hex_word(ikb.pub, 32) + " " +
                        hex_word(spkb.pub, 32) + " " + (one_time ? hex_word(opkb.pub, 32) : "-"));
        bytes eka = unhex(w.at(1));
        uint8_t secret[32], ad[64];
        EXPECT_EQ(quorvane_x3dh_responder(ikb.priv, ikb.pub, spkb.priv, one_time ? opkb.priv : nullptr,
                                          ika.second.data(), eka.data(), secret, ad),
                  0);
        EXPECT_EQ(quorvane_ratchet_init_responder(&cpp->st, secret, ad, spkb.priv, spkb.pub), 0);
        p.spk_pub.assign(spkb.pub, spkb.pub + 32);
        p.ad.assign(ad, ad + 64);
        p.init = std::move(py);
        p.resp = std::move(cpp);
    }
    return p;
}

/* ---- Conversations ------------------------------------------------------------ */

enum Op {
    SEND,        // who sends ids[0] new messages, numbered on from the last
    RECV,        // who opens the listed messages in that order
    REPLAY,      // who is given an already opened message again: -2, state unchanged
    TAMPER,      // who is given message ids[0] with byte ids[1] flipped: -2, state unchanged
    CHECKPOINT,  // both store their state and read it back
    SWAP,        // each side's stored state moves to the other implementation
};

struct Step {
    char who;  // 'I' initiator, 'R' responder
    Op op;
    std::vector<int> ids;
};

struct Conversation {
    const char *name;
    std::vector<Step> steps;
};

// Plaintexts of different lengths, the empty one among them.
std::string plaintext(int id) {
    if (id % 5 == 4) return "";
    std::string s = "message " + std::to_string(id) + " ";
    s.append(static_cast<size_t>(id * 37 % 300), static_cast<char>('a' + id % 26));
    return s;
}

const Conversation kConversations[] = {
    {"out of order in one chain, then both ways",
     {{'I', SEND, {3}},              // 0 1 2
      {'R', RECV, {2, 0, 1}},
      {'R', REPLAY, {1}},
      {'R', SEND, {2}},              // 3 4
      {'I', RECV, {4}},              // 3 stays behind
      {'I', SEND, {2}},              // 5 6: new chain
      {'R', RECV, {6}},              // 5 stays behind
      {'I', RECV, {3}},
      {'R', SEND, {1}},              // 7
      {'R', RECV, {5}},
      {'R', REPLAY, {5}},
      {'I', RECV, {7}},
      {'I', SEND, {3}},              // 8 9 10
      {'R', TAMPER, {9, 39}},
      {'R', RECV, {10, 9, 8}}}},
    {"a message of a replaced chain after two direction changes",
     {{'I', SEND, {2}},              // 0 1
      {'R', RECV, {0}},
      {'R', SEND, {1}},              // 2
      {'I', RECV, {2}},
      {'I', SEND, {1}},              // 3: previous chain length 2 makes R keep 1's key
      {'R', TAMPER, {3, 35}},
      {'R', RECV, {3}},
      {'R', RECV, {1}},
      {'R', REPLAY, {0}},
      {'R', SEND, {1}},              // 4
      {'I', TAMPER, {4, 0}},
      {'I', RECV, {4}}}},
    {"first message lost until the end",
     {{'I', SEND, {3}},              // 0 1 2
      {'R', RECV, {2}},
      {'R', SEND, {1}},              // 3
      {'I', RECV, {3}},
      {'I', SEND, {1}},              // 4
      {'R', RECV, {4, 0, 1}}}},
    {"initiator sends again before the reply arrives",
     {{'I', SEND, {1}},              // 0
      {'R', RECV, {0}},
      {'R', SEND, {1}},              // 1
      {'I', SEND, {1}},              // 2: still the first chain
      {'R', RECV, {2}},
      {'I', RECV, {1}},
      {'I', SEND, {1}},              // 3
      {'R', RECV, {3}},
      {'R', SEND, {2}},              // 4 5
      {'I', RECV, {5, 4}}}},
    {"stored states handed between the implementations",
     {{'I', SEND, {3}},              // 0 1 2
      {'R', RECV, {1}},
      {'I', CHECKPOINT, {}},
      {'R', RECV, {0}},
      {'R', SEND, {2}},              // 3 4
      {'I', SWAP, {}},
      {'I', RECV, {3}},
      {'R', RECV, {2}},
      {'I', SEND, {1}},              // 5
      {'I', SWAP, {}},
      {'R', RECV, {5}},
      {'I', RECV, {4}},
      {'R', SEND, {1}},              // 6
      {'I', CHECKPOINT, {}},
      {'I', RECV, {6}},
      {'I', REPLAY, {4}}}},
};

std::unique_ptr<Party> moved_to_other(Party &from) {
    bytes state = from.save();
    std::unique_ptr<Party> to;
    if (std::string(from.impl()) == "C++") to = std::make_unique<PyParty>();
    else to = std::make_unique<CppParty>();
    to->load(state);
    return to;
}

void run_conversation(Pair &p, const Conversation &c) {
    std::vector<bytes> msgs;
    int at = 0;
    for (const Step &s : c.steps) {
        SCOPED_TRACE(testing::Message() << "step " << at++);
        Party &me = s.who == 'I' ? *p.init : *p.resp;
        SCOPED_TRACE(me.impl());
        if (s.op == SEND) {
            for (int i = 0; i < s.ids[0]; i++) {
                bytes m;
                ASSERT_EQ(me.send(plaintext(static_cast<int>(msgs.size())), &m), 0);
                msgs.push_back(m);
            }
        } else if (s.op == RECV) {
            for (int id : s.ids) {
                std::string pt;
                ASSERT_EQ(me.recv(msgs.at(static_cast<size_t>(id)), &pt), 0) << "message " << id;
                EXPECT_EQ(pt, plaintext(id)) << "message " << id;
            }
        } else if (s.op == REPLAY || s.op == TAMPER) {
            bytes m = msgs.at(static_cast<size_t>(s.ids[0]));
            if (s.op == TAMPER) m.at(static_cast<size_t>(s.ids[1])) ^= 0x01;
            const bytes before = me.save();
            std::string pt;
            EXPECT_EQ(me.recv(m, &pt), -2) << "message " << s.ids[0];
            EXPECT_EQ(me.save(), before) << "a refused message changed the state";
        } else if (s.op == CHECKPOINT) {
            for (Party *x : {p.init.get(), p.resp.get()}) x->load(x->save());
        } else {
            p.init = moved_to_other(*p.init);
            p.resp = moved_to_other(*p.resp);
        }
    }
}

TEST(RatchetXcheck, CppInitiatorPythonResponder) {
    int i = 0;
    for (const auto &c : kConversations) {
        SCOPED_TRACE(c.name);
        Pair p = start_x3dh(true, i++ % 2 == 0);
        run_conversation(p, c);
    }
}

TEST(RatchetXcheck, PythonInitiatorCppResponder) {
    int i = 0;
    for (const auto &c : kConversations) {
        SCOPED_TRACE(c.name);
        Pair p = start_x3dh(false, i++ % 2 == 1);
        run_conversation(p, c);
    }
}

// Encrypting, and decrypting without a ratchet step, use no randomness: the
// same stored state must give the same bytes on both implementations.
TEST(RatchetXcheck, SameStoredStateSameBytes) {
    for (bool cpp_initiator : {true, false}) {
        SCOPED_TRACE(cpp_initiator ? "C++ initiator" : "python initiator");
        Pair p = start_x3dh(cpp_initiator, false);
        Party &cpp = cpp_initiator ? *p.init : *p.resp;
        Party &py = cpp_initiator ? *p.resp : *p.init;
        std::vector<bytes> msgs(6);
        for (int i = 0; i < 2; i++) ASSERT_EQ(p.init->send(plaintext(i), &msgs[i]), 0);
        std::string pt;
        ASSERT_EQ(p.resp->recv(msgs[1], &pt), 0);  // a ratchet step and one stored key
        for (int i = 2; i < 6; i++) ASSERT_EQ(p.resp->send(plaintext(i), &msgs[i]), 0);
        ASSERT_EQ(p.init->recv(msgs[3], &pt), 0);

        // the C++ side's state, copied into a second script process
        PyParty twin;
        twin.load(cpp.save());
        EXPECT_EQ(twin.save(), cpp.save());
        bytes a, b;
        ASSERT_EQ(cpp.send("same words", &a), 0);
        ASSERT_EQ(twin.send("same words", &b), 0);
        EXPECT_EQ(a, b);
        EXPECT_EQ(twin.save(), cpp.save());

        // the script's state, copied into a second C++ state
        CppParty twin2;
        twin2.load(py.save());
        // a stored key of the script's responder, or a skip in the script initiator's receiving chain
        const bytes &next = cpp_initiator ? msgs[0] : msgs[5];
        std::string pt1, pt2;
        ASSERT_EQ(py.recv(next, &pt1), 0);
        ASSERT_EQ(twin2.recv(next, &pt2), 0);
        EXPECT_EQ(pt1, pt2);
        EXPECT_EQ(twin2.save(), py.save());
    }
}

/* ---- Properties, with the script as the peer ---------------------------------- */

// A script initiator and a C++ responder, the peer's messages pre-made.
struct Fixture {
    Pair p = start_x3dh(false, true);
    PyParty &peer = static_cast<PyParty &>(*p.init);
    CppParty &me = static_cast<CppParty &>(*p.resp);
    std::vector<bytes> sent;
    void peer_sends(int n) {
        for (int i = 0; i < n; i++) {
            bytes m;
            ASSERT_EQ(peer.send(plaintext(static_cast<int>(sent.size())), &m), 0);
            sent.push_back(m);
        }
    }
    void opens(int id) {
        std::string pt;
        ASSERT_EQ(me.recv(sent.at(static_cast<size_t>(id)), &pt), 0) << "message " << id;
        EXPECT_EQ(pt, plaintext(id));
    }
};

bytes with_number(bytes m, uint32_t n) {
    for (int i = 0; i < 4; i++) m[39 - i] = static_cast<uint8_t>(n >> (8 * i));
    return m;
}

TEST(Ratchet, RefusedMessageChangesNothing) {
    Fixture f;
    f.peer_sends(4);  // 0 1 2 3
    f.opens(2);       // keys of 0 and 1 stored
    ASSERT_EQ(f.me.st->skipped_count, 2u);
    bytes reply;
    ASSERT_EQ(f.me.send("reply", &reply), 0);
    std::string pt;
    ASSERT_EQ(f.peer.recv(reply, &pt), 0);
    f.peer_sends(2);  // 4 5: a new chain whose previous length is 4, so 3 is kept too

    auto flip = [](size_t at) { return [at](bytes &m) { m[at] ^= 0x01; }; };
    struct Case {
        const char *name;
        int id;
        std::function<void(bytes &)> change;
        int expect;
    } cases[] = {
        {"replay of an opened message", 2, [](bytes &) {}, -2},
        {"stored key: ciphertext", 0, flip(45), -2},
        {"stored key: header number points at another stored key", 0, flip(39), -2},
        {"stored key: tag", 1, [](bytes &m) { m.back() ^= 0x80; }, -2},
        {"current chain: ratchet key", 3, flip(7), -2},
        {"current chain: number", 3, flip(39), -2},
        {"current chain: previous length", 3, flip(35), -2},
        {"new chain: ratchet key", 5, flip(0), -2},
        {"new chain: previous length", 5, flip(35), -2},
        {"new chain: number", 5, flip(39), -2},
        {"new chain: ciphertext", 4, flip(41), -2},
        {"one byte short", 5, [](bytes &m) { m.pop_back(); }, -2},
        {"shorter than a header and tag", 4, [](bytes &m) { m.resize(QV_RATCHET_OVERHEAD - 1); }, -3},
        {"number past the skip limit", 5, [](bytes &m) { m = with_number(m, 1 + 1001); }, -3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        bytes m = f.sent.at(static_cast<size_t>(c.id));
        c.change(m);
        const bytes before = f.me.save();
        EXPECT_EQ(f.me.recv(m, &pt), c.expect);
        EXPECT_EQ(f.me.save(), before);
    }
    // Nothing was lost to the refusals: every genuine message still opens.
    for (int id : {5, 1, 3, 4, 0}) f.opens(id);
    EXPECT_EQ(f.me.st->skipped_count, 0u);
}

TEST(Ratchet, OutOfOrderLeavesNoStoredKeys) {
    Fixture f;
    f.peer_sends(3);
    for (int id : {2, 0, 1}) f.opens(id);
    EXPECT_EQ(f.me.st->skipped_count, 0u);
    EXPECT_EQ(f.me.save().size(), QV_RATCHET_SER_BASE);
}

// 1000 keys may be stored and no more, whether one skip asks for them or the
// stored ones plus a new skip do.
TEST(Ratchet, SkipLimit) {
    Fixture f;
    f.peer_sends(1003);
    const bytes fresh = f.me.save();
    std::string pt;
    EXPECT_EQ(f.me.recv(f.sent[1001], &pt), -3) << "1001 ahead of a new chain";
    EXPECT_EQ(f.me.save(), fresh);
    f.opens(1000);
    EXPECT_EQ(f.me.st->skipped_count, QV_RATCHET_MAX_SKIP);
    EXPECT_EQ(f.me.st->skipped_cap, QV_RATCHET_MAX_SKIP);
    const bytes full = f.me.save();
    EXPECT_EQ(full.size(), QV_RATCHET_SER_MAX);
    EXPECT_EQ(f.me.recv(f.sent[1002], &pt), -3) << "one more stored key than allowed";
    EXPECT_EQ(f.me.save(), full);
    f.opens(1001);
    f.me.load(f.me.save());  // a full stored form reads back
    f.opens(1002);
    for (int id = 999; id >= 0; id--) f.opens(id);
    EXPECT_EQ(f.me.st->skipped_count, 0u);
}

TEST(Ratchet, ResponderSendsOnlyAfterFirstDecrypt) {
    Fixture f;
    bytes m;
    EXPECT_EQ(f.me.send("too early", &m), -3);
    f.peer_sends(1);
    f.opens(0);
    ASSERT_EQ(f.me.send("now", &m), 0);
    std::string pt;
    ASSERT_EQ(f.peer.recv(m, &pt), 0);
    EXPECT_EQ(pt, "now");
}

// Before its first reply the initiator's peer key is the responder's signed
// prekey, which is public, and its receiving chain key is still zeros: a
// header carrying that key must not be opened with a chain anyone can derive.
TEST(Ratchet, InitiatorRefusesMessageOnItsUnsetChain) {
    Pair p = start_x3dh(true, false);
    auto &me = static_cast<CppParty &>(*p.init);
    auto &peer = static_cast<PyParty &>(*p.resp);
    bytes forged = unhex(peer.ok("forge_zero_chain " + hex_word(p.spk_pub) + " 0 0 " + hex_word(p.ad) + " " + hex_word(std::string("forged")))
                             .at(1));
    const bytes before = me.save();
    std::string pt;
    EXPECT_EQ(me.recv(forged, &pt), -2);
    EXPECT_EQ(me.save(), before);

    // The forgery is sound: a state that does hold a zero chain opens it.
    bytes zero_chain = before;
    zero_chain[4] |= 4;  // has receiving chain; the receiving chain key is still zeros
    CppParty control;
    control.load(zero_chain);
    ASSERT_EQ(control.recv(forged, &pt), 0);
    EXPECT_EQ(pt, "forged");
}

// A stored and re-read state is indistinguishable from the one that never left
// memory: same stored bytes, same messages, same plaintexts.
TEST(Ratchet, StoredStateContinuesExactly) {
    Fixture f;
    f.peer_sends(4);
    f.opens(1);
    CppParty copy;
    copy.load(f.me.save());
    EXPECT_EQ(copy.save(), f.me.save());
    std::string a, b;
    ASSERT_EQ(f.me.recv(f.sent[3], &a), 0);
    ASSERT_EQ(copy.recv(f.sent[3], &b), 0);
    EXPECT_EQ(a, b);
    EXPECT_EQ(copy.save(), f.me.save());
    bytes ma, mb;
    ASSERT_EQ(f.me.send("reply", &ma), 0);
    ASSERT_EQ(copy.send("reply", &mb), 0);
    EXPECT_EQ(ma, mb);
    for (int id : {0, 2}) {
        ASSERT_EQ(f.me.recv(f.sent[static_cast<size_t>(id)], &a), 0);
        ASSERT_EQ(copy.recv(f.sent[static_cast<size_t>(id)], &b), 0);
        EXPECT_EQ(a, plaintext(id));
        EXPECT_EQ(b, plaintext(id));
    }
    EXPECT_EQ(copy.save(), f.me.save());
}

TEST(Ratchet, DeserializeRefusesMalformed) {
    Fixture f;
    f.peer_sends(3);
    f.opens(2);
    const bytes good = f.me.save();
    ASSERT_EQ(good.size(), QV_RATCHET_SER_BASE + 2 * QV_RATCHET_SER_ENTRY);
    auto with_count = [&](uint32_t n) {
        bytes b = good;
        for (int i = 0; i < 4; i++) b[276 - i] = static_cast<uint8_t>(n >> (8 * i));
        return b;
    };
    struct Case {
        const char *name;
        bytes in;
    } cases[] = {
        {"276 bytes", bytes(good.begin(), good.begin() + 276)},
        {"wrong magic", [&] { bytes b = good; b[3] = '2'; return b; }()},
        {"count above the entries", with_count(3)},
        {"count below the entries", with_count(1)},
        {"a trailing byte", [&] { bytes b = good; b.push_back(0); return b; }()},
        {"count 1001 with a matching length",
         [&] { bytes b = with_count(1001); b.resize(QV_RATCHET_SER_BASE + 1001 * QV_RATCHET_SER_ENTRY); return b; }()},
        {"count of 2^32 - 1", with_count(UINT32_MAX)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        quorvane_ratchet *st = nullptr;
        EXPECT_EQ(quorvane_ratchet_deserialize(&st, c.in.data(), c.in.size()), -3);
        EXPECT_EQ(st, nullptr);
    }
    // Unknown flag bits are ignored, and not written back.
    bytes extra = good;
    extra[4] |= 0xF8;
    CppParty st;
    st.load(extra);
    EXPECT_EQ(st.save(), good);
}

TEST(Ratchet, ArgumentsRefused) {
    Fixture f;
    f.peer_sends(1);
    f.opens(0);
    quorvane_ratchet *st = f.me.st;
    const uint8_t pt[4] = {1, 2, 3, 4};
    uint8_t out[128];
    size_t n = 0;
    EXPECT_EQ(quorvane_ratchet_encrypt(nullptr, pt, 4, out, sizeof out, &n), -3);
    EXPECT_EQ(quorvane_ratchet_encrypt(st, nullptr, 4, out, sizeof out, &n), -3);
    EXPECT_EQ(quorvane_ratchet_encrypt(st, pt, 4, nullptr, sizeof out, &n), -3);
    EXPECT_EQ(quorvane_ratchet_encrypt(st, pt, 4, out, sizeof out, nullptr), -3);
    EXPECT_EQ(quorvane_ratchet_encrypt(st, pt, 4, out, 4 + QV_RATCHET_OVERHEAD - 1, &n), -3);
    EXPECT_EQ(quorvane_ratchet_encrypt(st, pt, size_t{QV_CRYPTO_LEN_MAX} + 1, out, SIZE_MAX, &n), -3);
    bytes msg(QV_RATCHET_OVERHEAD);
    ASSERT_EQ(quorvane_ratchet_encrypt(st, nullptr, 0, msg.data(), msg.size(), &n), 0);  // empty: 56 bytes
    EXPECT_EQ(n, QV_RATCHET_OVERHEAD);
    std::string got;
    ASSERT_EQ(f.peer.recv(msg, &got), 0);
    EXPECT_EQ(got, "");

    const bytes &m = f.sent[0];
    const bytes mid = f.me.save();
    EXPECT_EQ(quorvane_ratchet_decrypt(nullptr, m.data(), m.size(), out, sizeof out, &n), -3);
    EXPECT_EQ(quorvane_ratchet_decrypt(st, nullptr, m.size(), out, sizeof out, &n), -3);
    EXPECT_EQ(quorvane_ratchet_decrypt(st, m.data(), m.size(), nullptr, sizeof out, &n), -3);
    EXPECT_EQ(quorvane_ratchet_decrypt(st, m.data(), m.size(), out, sizeof out, nullptr), -3);
    EXPECT_EQ(quorvane_ratchet_decrypt(st, m.data(), m.size(), out, m.size() - QV_RATCHET_OVERHEAD - 1, &n), -3);
    EXPECT_EQ(f.me.save(), mid);

    uint8_t ser[QV_RATCHET_SER_BASE];
    EXPECT_EQ(quorvane_ratchet_serialize(nullptr, ser, sizeof ser, &n), -3);
    EXPECT_EQ(quorvane_ratchet_serialize(st, ser, sizeof ser - 1, &n), -3);
    EXPECT_EQ(quorvane_ratchet_serialize(st, nullptr, sizeof ser, &n), -3);
    uint8_t key[32] = {}, ad[64] = {};
    quorvane_ratchet *none = nullptr;
    EXPECT_EQ(quorvane_ratchet_init_initiator(&none, nullptr, ad, key), -3);
    EXPECT_EQ(quorvane_ratchet_init_initiator(nullptr, key, ad, key), -3);
    EXPECT_EQ(quorvane_ratchet_init_responder(&none, key, ad, key, nullptr), -3);
    EXPECT_EQ(none, nullptr);
    quorvane_ratchet_free(&none);  // a null state is fine
    quorvane_ratchet_free(nullptr);
}

// Every allocation of a decrypt that copies, grows and fills the skipped
// array fails in turn: each run ends in success or -1 with the state as it was.
TEST(Ratchet, AllocationFailures) {
    Fixture f;
    f.peer_sends(12);
    f.opens(3);  // three keys stored: the working copy has an array to copy
    const bytes before = f.me.save();
    std::string pt;
    int rc = -1;
    for (long k = 0; rc != 0 && k < 20; k++) {
        SCOPED_TRACE(k);
        n_alloc_fail_after(k);
        rc = f.me.recv(f.sent[11], &pt);  // grows 3 -> 6 -> 12 entries
        n_alloc_fail_after(-1);
        if (rc != 0) {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(f.me.save(), before);
        }
    }
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(pt, plaintext(11));
    EXPECT_EQ(f.me.st->skipped_count, 10u);

    quorvane_ratchet *st = nullptr;
    const bytes good = f.me.save();
    for (long k : {0L, 1L}) {
        n_alloc_fail_after(k);
        EXPECT_EQ(quorvane_ratchet_deserialize(&st, good.data(), good.size()), -1);
        n_alloc_fail_after(-1);
        EXPECT_EQ(st, nullptr);
    }
}

// The stored-form functions against the script, the new state written over
// the old one's buffer; a state that cannot be read is -3, one that could not
// be allocated stays -1.
TEST(Ratchet, StoredFormFunctions) {
    PyParty peer;
    KeyPair spk;
    bytes secret = random_bytes(32), ad = random_bytes(64);
    peer.ok("init_initiator " + hex_word(secret) + " " + hex_word(ad) + " " + hex_word(spk.pub, 32));
    bytes state(QV_RATCHET_SER_MAX);
    size_t state_len = 0;
    ASSERT_EQ(quorvane_ratchet_init_responder_ser(secret.data(), ad.data(), spk.priv, spk.pub, state.data(), state.size(),
                                                  &state_len),
              0);
    EXPECT_EQ(state_len, QV_RATCHET_SER_BASE);

    std::vector<bytes> sent;
    for (int i = 0; i < 3; i++) {
        bytes m;
        ASSERT_EQ(peer.send(plaintext(i), &m), 0);
        sent.push_back(m);
    }
    auto open = [&](const bytes &m, size_t state_cap, std::string *pt) {
        bytes out(m.size(), 0xAA);
        size_t n = 0;
        int rc = quorvane_ratchet_decrypt_ser(state.data(), state_len, m.data(), m.size(), state.data(), state_cap,
                                              &state_len, out.data(), out.size(), &n);
        if (rc == 0) {
            pt->assign(out.begin(), out.begin() + static_cast<long>(n));
        } else {
            // wiped, or never written when the state could not be read
            const bytes untouched(m.size(), 0xAA);
            EXPECT_TRUE(all_zero(out.data(), m.size() - QV_RATCHET_OVERHEAD) || out == untouched);
        }
        return rc;
    };
    std::string pt;
    const bytes fresh(state.begin(), state.begin() + static_cast<long>(state_len));
    EXPECT_EQ(open(sent[2], QV_RATCHET_SER_BASE + 2 * QV_RATCHET_SER_ENTRY - 1, &pt), -3) << "no room for the new state";
    EXPECT_EQ(bytes(state.begin(), state.begin() + static_cast<long>(state_len)), fresh);
    n_alloc_fail_after(0);
    EXPECT_EQ(open(sent[2], state.size(), &pt), -1);
    n_alloc_fail_after(-1);
    ASSERT_EQ(open(sent[2], state.size(), &pt), 0);
    EXPECT_EQ(pt, plaintext(2));
    EXPECT_EQ(state_len, QV_RATCHET_SER_BASE + 2 * QV_RATCHET_SER_ENTRY);
    ASSERT_EQ(open(sent[0], state.size(), &pt), 0);
    EXPECT_EQ(pt, plaintext(0));

    bytes msg(64 + QV_RATCHET_OVERHEAD);
    size_t msg_len = 0;
    const std::string reply = "reply from the stored form";
    ASSERT_EQ(quorvane_ratchet_encrypt_ser(state.data(), state_len, reinterpret_cast<const uint8_t *>(reply.data()),
                                           reply.size(), state.data(), state.size(), &state_len, msg.data(), msg.size(),
                                           &msg_len),
              0);
    msg.resize(msg_len);
    ASSERT_EQ(peer.recv(msg, &pt), 0);
    EXPECT_EQ(pt, reply);

    bytes bad(state.begin(), state.begin() + static_cast<long>(state_len));
    bad[0] = 'X';
    size_t n = 0;
    uint8_t out[64];
    EXPECT_EQ(quorvane_ratchet_decrypt_ser(bad.data(), bad.size(), sent[1].data(), sent[1].size(), state.data(),
                                           state.size(), &state_len, out, sizeof out, &n),
              -3);
    EXPECT_EQ(quorvane_ratchet_encrypt_ser(bad.data(), bad.size() - 1, out, 1, state.data(), state.size(), &state_len,
                                           msg.data(), msg.size(), &msg_len),
              -3);
    ASSERT_EQ(open(sent[1], state.size(), &pt), 0);
    EXPECT_EQ(pt, plaintext(1));

    size_t init_len = 0;
    bytes init_state(QV_RATCHET_SER_BASE);
    EXPECT_EQ(quorvane_ratchet_init_initiator_ser(secret.data(), ad.data(), spk.pub, init_state.data(),
                                                  init_state.size() - 1, &init_len),
              -3);
    ASSERT_EQ(quorvane_ratchet_init_initiator_ser(secret.data(), ad.data(), spk.pub, init_state.data(),
                                                  init_state.size(), &init_len),
              0);
    EXPECT_EQ(init_state[4], 3) << "peer key known and a sending chain, no receiving chain";
}

// An encrypt whose new state has no room is refused before anything is
// encrypted: a message left behind would carry a key the kept (old) state
// hands out again, under the same nonce, for the next text.
TEST(Ratchet, EncryptStoredFormWithoutRoomForTheState) {
    struct Case {
        const char *name;
        std::vector<int> opened;  // of the peer's messages 0 1 2
        size_t short_by;          // bytes missing from the new state's room
        bool over_old;            // the new state written over the old one's buffer
    } cases[] = {
        {"no stored keys, one byte short", {0, 1, 2}, 1, false},
        {"two stored keys, one byte short", {2}, 1, false},
        {"two stored keys, one byte short, over the old state", {2}, 1, true},
        {"two stored keys, room for none of them", {2}, 2 * QV_RATCHET_SER_ENTRY, false},
        {"no room at all", {2}, QV_RATCHET_SER_BASE + 2 * QV_RATCHET_SER_ENTRY, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        f.peer_sends(3);
        for (int id : c.opened) f.opens(id);
        const bytes old_state = f.me.save();
        const std::string first = "first text", second = "other text";

        bytes state = old_state, out(old_state.size(), 0x55), msg(64 + QV_RATCHET_OVERHEAD, 0xAA);
        uint8_t *state_out = c.over_old ? state.data() : out.data();
        size_t state_len = 777, msg_len = 777;
        EXPECT_EQ(quorvane_ratchet_encrypt_ser(state.data(), state.size(), reinterpret_cast<const uint8_t *>(first.data()),
                                               first.size(), state_out, old_state.size() - c.short_by, &state_len,
                                               msg.data(), msg.size(), &msg_len),
                  -3);
        EXPECT_EQ(msg, bytes(msg.size(), 0xAA)) << "a message was left under a key that was not kept";
        EXPECT_EQ(state, old_state);
        EXPECT_EQ(out, bytes(old_state.size(), 0x55));
        EXPECT_EQ(state_len, 777u);
        EXPECT_EQ(msg_len, 777u);

        // The caller retries from the state it kept, with room: the peer opens it.
        ASSERT_EQ(quorvane_ratchet_encrypt_ser(state.data(), state.size(), reinterpret_cast<const uint8_t *>(second.data()),
                                               second.size(), state.data(), state.size(), &state_len, msg.data(),
                                               msg.size(), &msg_len),
                  0);
        EXPECT_EQ(state_len, old_state.size());
        msg.resize(msg_len);
        std::string pt;
        ASSERT_EQ(f.peer.recv(msg, &pt), 0);
        EXPECT_EQ(pt, second);
    }
}

}  // namespace
