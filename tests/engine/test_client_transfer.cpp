// Blob transfers and emoji-pack sync: the request frames byte for byte as a
// scripted TLS peer receives them (written here by hand from the tag tables),
// every reply's effect on a signed-in session, the edge cases of both loops,
// and full pack syncs into real emoji caches with packs signed by openssl.
#include "client_emojicache.h"
#include "client_transfer.h"
#include "frame_fields_support.h"
#include "signed_in_support.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>

using namespace qvtest;

namespace {

const bytes UP_ID = rep(0xB1, 16), RESUME_ID = rep(0xB2, 16), DL_ID = rep(0xD1, 16);
constexpr size_t CHUNK = 65552;

// Frames a Local session queued on its never-connected connection, taken off
// the ring as a server reading them would.
std::vector<bytes> drain(Local &l) {
    quorvane_cnet *c = l.cs->cnet;
    std::vector<bytes> out;
    while (c->send_count) {
        quorvane_cnet_out &e = c->send_ring[c->send_head];
        out.emplace_back(e.buf, e.buf + e.len);
        std::free(e.buf);
        e = {};
        c->send_head = (c->send_head + 1) % QV_CNET_RING;
        c->send_count--;
    }
    return out;
}

struct Poll {
    int rc = -1, finished = -1, success = -1;
    uint64_t progress = 0;
    bytes id = bytes(16);
};
Poll poll(quorvane_cs *cs) {
    Poll p;
    p.rc = quorvane_cs_blob_poll(cs, &p.finished, &p.success, p.id.data(), &p.progress);
    return p;
}

// Frame 10 from the client as the tag table writes it: 23 the id, 25 the chunk.
::testing::AssertionResult is_chunk(const bytes &f, const bytes &id, const bytes &data, size_t off, size_t n) {
    const std::string head = "4852010a" + hex(be32(static_cast<uint32_t>(21 + 5 + n))) + "17" "00000010" + hex(id) + "19" +
                             hex(be32(static_cast<uint32_t>(n)));
    if (f.size() != 8 + 21 + 5 + n) return ::testing::AssertionFailure() << "frame of " << f.size() << " bytes";
    if (hex(b(f.data(), 34)) != head) return ::testing::AssertionFailure() << "head " << hex(b(f.data(), 34));
    if (!std::equal(f.begin() + 34, f.end(), data.begin() + off)) return ::testing::AssertionFailure() << "data differs";
    return ::testing::AssertionSuccess();
}

// Pumps a little longer: what the session asks for once it should have stopped.
void pump_idle(quorvane_cs *cs) {
    for (int i = 0; i < 30; i++) {
        quorvane_cs_pump(cs);
        sleep_ms(2);
    }
}

/* ---- emoji packs ---- */

struct CacheFree {
    void operator()(quorvane_emoji_cache *c) const { quorvane_emoji_cache_free(c); }
};
using Cache = std::unique_ptr<quorvane_emoji_cache, CacheFree>;

// A pack as a server holds it: the text signed by openssl, its pages by name,
// each page hashed by b2sum from a file.
struct Pack {
    std::string text;
    std::array<uint8_t, 64> sig{};
    std::map<std::string, bytes> pages;
    bytes manifest() const { return bytes(text.begin(), text.end()); }
};

Pack make_pack(const OpensslEd25519 &key, const TempDir &dir, uint32_t version, const std::vector<std::pair<std::string, bytes>> &pages) {
    Pack p;
    p.text = "quorvane-emoji-pack-v1\nversion " + std::to_string(version) + "\ncell 16\n";
    for (const auto &[name, data] : pages) {
        const std::string path = dir.file("page-" + std::to_string(version) + "-" + name);
        put_file(path, data);
        p.text += "page " + name + " " + b2sum_hex(path) + " 8 8\n";
        p.pages[name] = data;
    }
    p.text += "entry smile 0 0 face\n";
    p.sig = key.sign(p.text);
    return p;
}

bytes manifest_reply(uint8_t pack, const Pack &p) {
    return frame_of(143, cat({tlv(76, u8(pack)), tlv(31, bytes(p.sig.begin(), p.sig.end())), tlv(30, p.manifest())}));
}
bytes page_data(uint8_t pack, const std::string &name, const bytes &data) {
    return frame_of(145, cat({tlv(76, u8(pack)), tlv_text(32, name), tlv(33, data)}));
}
bytes page_end(uint8_t pack, const std::string &name, uint64_t size) {
    return frame_of(146, cat({tlv(76, u8(pack)), tlv_text(32, name), tlv(24, be64(size))}));
}

// A signed-in session over two emoji caches, pack 0 and pack 1, whose server
// key signs the packs.
struct EmojiLocal {
    Local l{false};
    TempDir tmp;
    OpensslEd25519 key{tmp};
    Cache c0{quorvane_emoji_cache_open(tmp.file("pack0").c_str())}, c1{quorvane_emoji_cache_open(tmp.file("pack1").c_str())};
    EmojiLocal() {
        EXPECT_TRUE(c0 && c1);
        l.cs->cfg.emoji_pack0 = c0.get();
        l.cs->cfg.emoji_pack1 = c1.get();
        std::memcpy(l.cs->server_key, key.pub.data(), 32);
    }
    ~EmojiLocal() { l.cs.reset(); }  // before the caches it used
    void feed(const bytes &f) { handle_authed_frame(l.cs.get(), f.data(), f.size()); }
    std::vector<bytes> pump() {
        quorvane_cs_pump(l.cs.get());
        return drain(l);
    }
    // Asks for a pack and takes the frame 18 that goes out.
    void start(uint8_t pack) {
        ASSERT_EQ(quorvane_cs_pack_sync(l.cs.get(), pack), 0);
        auto sent = pump();
        ASSERT_EQ(sent.size(), 1u);
        ASSERT_EQ(type_of(sent[0]), 18);
        ASSERT_EQ(l.cs->transfer.emoji.updating, 1);
    }
    const cs_emoji_state &e() const { return l.cs->transfer.emoji; }
};

}  // namespace

/* ---- blob transfers on the wire ---- */

// An upload of 65 chunks: frame 9 with the total and no id, every chunk in
// order in frame 10 although the connection holds only 64 frames, then frame
// 11 once; the server's 141 makes it a success with the id it gave.
TEST(TransferWire, UploadFramesAcrossTheRing) {
    constexpr uint64_t total = 64 * CHUNK + 100;
    Remote r(false, [](const bytes &f) {
        if (type_of(f) == 9) return frame_of(140, tlv(23, UP_ID));
        if (type_of(f) == 11) return frame_of(141, tlv(24, be64(total)));
        return bytes{};
    });
    const bytes data = pattern(total, 7);
    r.start();
    ASSERT_EQ(quorvane_cs_blob_upload(r.cs.get(), data.data(), total, nullptr), 0);
    EXPECT_EQ(quorvane_cs_blob_upload(r.cs.get(), data.data(), total, nullptr), -1);  // one at a time
    auto got = r.wait_frames(67);
    ASSERT_EQ(got.size(), 67u);
    EXPECT_EQ(hex(got[0]), "48520109" "0000000d" "18" "00000008" + hex(be64(total)));
    for (size_t i = 0; i < 65; i++) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(is_chunk(got[1 + i], UP_ID, data, i * CHUNK, i < 64 ? CHUNK : 100));
    }
    EXPECT_EQ(hex(got[66]), "4852010b" "00000015" "17" "00000010" + hex(UP_ID));
    ASSERT_TRUE(wait_until([&] { quorvane_cs_pump(r.cs.get()); return poll(r.cs.get()).finished == 1; }, kWaitMs));
    Poll p = poll(r.cs.get());
    EXPECT_EQ(p.rc, 1);
    EXPECT_EQ(p.success, 1);
    EXPECT_EQ(p.progress, total);
    EXPECT_EQ(hex(p.id), hex(UP_ID));
    uint8_t id[16];
    ASSERT_EQ(quorvane_cs_blob_upload_id(r.cs.get(), id), 1);
    EXPECT_EQ(hex(id, 16), hex(UP_ID));
    pump_idle(r.cs.get());
    EXPECT_EQ(r.rec.all().size(), 67u);  // nothing after the end
    quorvane_cs_blob_reset(r.cs.get());
    EXPECT_EQ(quorvane_cs_blob_poll(r.cs.get(), nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(quorvane_cs_blob_upload_id(r.cs.get(), id), 0);
}

// A resumed upload names its id in frame 9; the server's offset, when not
// beyond the total, is where sending starts.
TEST(TransferWire, ResumedUploadStartsAtTheServerOffset) {
    constexpr uint64_t total = CHUNK + 7;
    struct Case {
        const char *name;
        bytes accept;  // TLVs of frame 140 after the id
        size_t first;  // where the first chunk starts
        size_t chunks;
    };
    const Case cases[] = {
        {"no offset", {}, 0, 2},
        {"one chunk held", tlv(26, be64(CHUNK)), CHUNK, 1},
        {"an odd offset", tlv(26, be64(CHUNK - 3)), CHUNK - 3, 1},
        {"all held", tlv(26, be64(total)), 0, 0},
        {"beyond the total", tlv(26, be64(total + 1)), 0, 2},
        {"far beyond", tlv(26, be64(~0ull)), 0, 2},
    };
    const bytes data = pattern(total, 3);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Remote r(false, [&c](const bytes &f) {
            if (type_of(f) == 9) return frame_of(140, cat({tlv(23, RESUME_ID), c.accept}));
            if (type_of(f) == 11) return frame_of(141, tlv(24, be64(total)));
            return bytes{};
        });
        r.start();
        ASSERT_EQ(quorvane_cs_blob_upload(r.cs.get(), data.data(), total, RESUME_ID.data()), 0);
        auto got = r.wait_frames(2 + c.chunks);
        ASSERT_TRUE(wait_until([&] { quorvane_cs_pump(r.cs.get()); return poll(r.cs.get()).finished == 1; }, kWaitMs));
        EXPECT_EQ(poll(r.cs.get()).success, 1);
        got = r.rec.all();
        ASSERT_EQ(got.size(), 2 + c.chunks);
        EXPECT_EQ(hex(got[0]), "48520109" "00000022" "18" "00000008" + hex(be64(total)) + "17" "00000010" + hex(RESUME_ID));
        size_t off = c.first;
        for (size_t i = 0; i < c.chunks; i++) {
            const size_t n = std::min<size_t>(CHUNK, total - off);
            EXPECT_TRUE(is_chunk(got[1 + i], RESUME_ID, data, off, n));
            off += n;
        }
        if (c.chunks) {
            EXPECT_EQ(off, total);
        }
        EXPECT_EQ(hex(got.back()), "4852010b" "00000015" "17" "00000010" + hex(RESUME_ID));
    }
}

// Downloads: frame 12 asks from the bytes received so far; a step that brings
// nothing, a total of 0, or more data than the buffer holds ends the transfer
// unsuccessfully, and no further step is asked for.
TEST(TransferWire, DownloadSteps) {
    const bytes blob = pattern(10, 9);
    struct Case {
        const char *name;
        std::function<bytes(uint64_t offset)> answer;
        int success;
        uint64_t received;
        size_t steps;
    };
    const Case cases[] = {
        {"two steps",
         [&](uint64_t off) {
             const bytes part(blob.begin() + off, blob.begin() + off + 5);
             return cat({frame_of(10, cat({tlv(23, DL_ID), tlv(25, part)})), frame_of(141, tlv(24, be64(10)))});
         },
         1, 10, 2},
        {"a step with no data", [](uint64_t) { return frame_of(141, tlv(24, be64(10))); }, 0, 0, 1},
        {"an empty data frame",
         [](uint64_t) { return cat({frame_of(10, cat({tlv(23, DL_ID), tlv(25, {})})), frame_of(141, tlv(24, be64(10)))}); }, 0, 0, 1},
        {"a total of zero", [](uint64_t) { return frame_of(141, tlv(24, be64(0))); }, 0, 0, 1},
        {"beyond the buffer", [&](uint64_t) { return frame_of(10, cat({tlv(23, DL_ID), tlv(25, cat({blob, u8(0)}))})); }, 0, 0, 1},
        {"data under another id",
         [&](uint64_t) { return cat({frame_of(10, cat({tlv(23, UP_ID), tlv(25, blob)})), frame_of(141, tlv(24, be64(10)))}); }, 0, 0, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Remote r(false, [&c](const bytes &f) { return type_of(f) == 12 ? c.answer(u64_of(field(f, 26))) : bytes{}; });
        r.start();
        bytes buf(10, 0xEE);
        ASSERT_EQ(quorvane_cs_blob_download(r.cs.get(), DL_ID.data(), buf.data(), buf.size()), 0);
        EXPECT_EQ(quorvane_cs_blob_download(r.cs.get(), DL_ID.data(), buf.data(), buf.size()), -1);
        ASSERT_TRUE(wait_until([&] { quorvane_cs_pump(r.cs.get()); return poll(r.cs.get()).finished == 1; }, kWaitMs));
        pump_idle(r.cs.get());
        Poll p = poll(r.cs.get());
        EXPECT_EQ(p.success, c.success);
        EXPECT_EQ(p.progress, c.received);
        EXPECT_EQ(hex(p.id), hex(DL_ID));
        auto got = r.rec.all();
        ASSERT_EQ(got.size(), c.steps);
        for (size_t i = 0; i < got.size(); i++)
            EXPECT_EQ(hex(got[i]), "4852010c" "0000002f" "17" "00000010" + hex(DL_ID) + "1a" "00000008" + hex(be64(5 * i)) +
                                       "1b" "00000008" "0000000000000000");
        if (c.success) {
            EXPECT_EQ(hex(buf), hex(blob));
        } else if (c.received == 0) {
            EXPECT_EQ(hex(buf), hex(rep(0xEE, 10)));  // nothing written past or into the buffer
        }
    }
}

/* ---- blob replies ---- */

namespace {

enum Arm { IDLE, UP_NEW, UP_BEGUN, UP_ACCEPTED, UP_ENDED, DL_ASKED, DL_GOT3, DL_GOT3_ASKED };

// A Local session with a 10-byte upload or a 10-byte download at a given step.
struct BlobLocal {
    Local l{false};
    bytes data = pattern(10, 1);
    bytes buf = bytes(10, 0);
    explicit BlobLocal(Arm arm) {
        quorvane_cs *cs = l.cs.get();
        const bool upload = arm >= UP_NEW && arm <= UP_ENDED;
        int started = 0;
        if (upload) started = quorvane_cs_blob_upload(cs, data.data(), data.size(), nullptr);
        if (arm >= DL_ASKED) started = quorvane_cs_blob_download(cs, DL_ID.data(), buf.data(), buf.size());
        EXPECT_EQ(started, 0);
        if (arm != IDLE && arm != UP_NEW) pump();
        if (arm >= UP_ACCEPTED && upload) feed(140, tlv(23, UP_ID));
        size_t queued = 0;
        if (arm == UP_ENDED) queued = pump().size();
        if (arm >= DL_GOT3) feed(10, cat({tlv(23, DL_ID), tlv(25, bytes{1, 2, 3})}));
        if (arm == DL_GOT3_ASKED) {
            feed(141, tlv(24, be64(10)));
            queued = pump().size();
        }
        EXPECT_EQ(queued, arm == UP_ENDED ? 2u : arm == DL_GOT3_ASKED ? 1u : 0u);  // chunk and end; the next step
    }
    void feed(uint8_t type, const bytes &payload) { l.feed(type, payload); }
    std::vector<bytes> pump() {
        quorvane_cs_pump(l.cs.get());
        return drain(l);
    }
    const cs_blob_state &s() const { return l.cs->transfer.blob; }
};

}  // namespace

// Each reply against the step it may or may not answer.
TEST(TransferReplies, BlobReplies) {
    struct Case {
        const char *name;
        Arm arm;
        uint8_t type;
        bytes payload;
        int finished, success, accepted;
        uint64_t sent, received;
    };
    const bytes id = tlv(23, UP_ID), dl = tlv(23, DL_ID);
    const Case cases[] = {
        {"140 before frame 9 went out", UP_NEW, 140, id, 0, 0, 0, 0, 0},
        {"140 accepts", UP_BEGUN, 140, id, 0, 0, 1, 0, 0},
        {"140 with an offset", UP_BEGUN, 140, cat({id, tlv(26, be64(4))}), 0, 0, 1, 4, 0},
        {"140 with the total", UP_BEGUN, 140, cat({id, tlv(26, be64(10))}), 0, 0, 1, 10, 0},
        {"140 beyond the total", UP_BEGUN, 140, cat({id, tlv(26, be64(11))}), 0, 0, 1, 0, 0},
        {"140 without an id", UP_BEGUN, 140, tlv(26, be64(4)), 0, 0, 0, 0, 0},
        {"140 once accepted", UP_ACCEPTED, 140, cat({tlv(23, RESUME_ID), tlv(26, be64(4))}), 0, 0, 1, 0, 0},
        {"140 to a download", DL_ASKED, 140, id, 0, 0, 1, 0, 0},
        {"141 ends an upload", UP_ENDED, 141, tlv(24, be64(10)), 1, 1, 1, 10, 0},
        {"141 of 0 ends it failed", UP_ENDED, 141, tlv(24, be64(0)), 1, 0, 1, 10, 0},
        {"141 before the end went out", UP_ACCEPTED, 141, tlv(24, be64(10)), 1, 0, 1, 0, 0},
        {"141 before acceptance", UP_BEGUN, 141, tlv(24, be64(10)), 1, 0, 0, 0, 0},
        {"10 appends", DL_ASKED, 10, cat({dl, tlv(25, bytes{9, 8})}), 0, 0, 1, 0, 2},
        {"10 fills the buffer", DL_GOT3, 10, cat({dl, tlv(25, rep(7, 7))}), 0, 0, 1, 0, 10},
        {"10 past the buffer", DL_GOT3, 10, cat({dl, tlv(25, rep(7, 8))}), 1, 0, 1, 0, 3},
        {"10 under another id", DL_ASKED, 10, cat({id, tlv(25, bytes{9})}), 0, 0, 1, 0, 0},
        {"10 to an upload", UP_ACCEPTED, 10, cat({id, tlv(25, bytes{9})}), 0, 0, 1, 0, 0},
        {"141 of 0 ends a download", DL_GOT3, 141, tlv(24, be64(0)), 1, 0, 1, 0, 3},
        {"141 with all received", DL_GOT3, 141, tlv(24, be64(3)), 1, 1, 1, 0, 3},
        {"141 with more received than it says", DL_GOT3, 141, tlv(24, be64(2)), 1, 0, 1, 0, 3},
        {"141 with less received", DL_GOT3, 141, tlv(24, be64(10)), 0, 0, 1, 0, 3},
        {"141 after a step that brought nothing", DL_GOT3_ASKED, 141, tlv(24, be64(10)), 1, 0, 1, 0, 3},
        {"141 after nothing at all", DL_ASKED, 141, tlv(24, be64(10)), 1, 0, 1, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        BlobLocal t(c.arm);
        t.feed(c.type, c.payload);
        EXPECT_EQ(t.s().finished, c.finished);
        EXPECT_EQ(t.s().success, c.success);
        EXPECT_EQ(t.s().accepted, c.accepted);
        EXPECT_EQ(t.s().sent, c.sent);
        EXPECT_EQ(t.s().received, c.received);
    }
    // a download that goes on asks from where it stopped
    BlobLocal t(DL_GOT3);
    t.feed(141, tlv(24, be64(10)));
    auto sent = t.pump();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(hex(field(sent[0], 26)), hex(be64(3)));
    EXPECT_EQ(hex(t.buf), "010203" "00000000000000");
}

// With the connection's 64 frames queued the upload waits, and goes on from
// where it stopped once the ring drained; frame 11 only after the last chunk.
TEST(TransferReplies, UploadContinuesAsTheRingDrains) {
    Local l(false);
    const size_t total = 100 * CHUNK - 1;
    const bytes data = pattern(total, 5);
    ASSERT_EQ(quorvane_cs_blob_upload(l.cs.get(), data.data(), total, nullptr), 0);
    quorvane_cs_pump(l.cs.get());
    ASSERT_EQ(drain(l).size(), 1u);  // frame 9
    l.feed(140, tlv(23, UP_ID));
    std::vector<bytes> chunks;
    for (int round = 0; round < 3; round++) {
        quorvane_cs_pump(l.cs.get());
        quorvane_cs_pump(l.cs.get());  // a full ring takes nothing more
        auto got = drain(l);
        EXPECT_EQ(got.size(), round == 0 ? 64u : 37u) << round;
        chunks.insert(chunks.end(), got.begin(), got.end());
        if (round == 0) {
            EXPECT_EQ(l.cs->transfer.blob.sent, 64 * CHUNK);
            EXPECT_EQ(l.cs->transfer.blob.end_sent, 0);
        }
        if (got.size() < 64) break;
    }
    ASSERT_EQ(chunks.size(), 101u);
    for (size_t i = 0; i < 100; i++) EXPECT_TRUE(is_chunk(chunks[i], UP_ID, data, i * CHUNK, i < 99 ? CHUNK : CHUNK - 1)) << i;
    EXPECT_EQ(type_of(chunks[100]), 11);
    quorvane_cs_pump(l.cs.get());
    EXPECT_TRUE(drain(l).empty());
}

// Requests refused: not signed in, nothing to send or receive, a transfer
// running; a finished one may be replaced. Poll reports a session that left
// the signed-in state as finished.
TEST(TransferReplies, StartingTransfers) {
    Local l(false);
    quorvane_cs *cs = l.cs.get();
    bytes data(4, 1), buf(4);
    EXPECT_EQ(quorvane_cs_blob_upload(cs, nullptr, 4, nullptr), -1);
    EXPECT_EQ(quorvane_cs_blob_upload(cs, data.data(), 0, nullptr), -1);
    EXPECT_EQ(quorvane_cs_blob_download(cs, nullptr, buf.data(), 4), -1);
    EXPECT_EQ(quorvane_cs_blob_download(cs, DL_ID.data(), nullptr, 4), -1);
    EXPECT_EQ(quorvane_cs_blob_download(cs, DL_ID.data(), buf.data(), 0), -1);
    EXPECT_EQ(quorvane_cs_blob_upload(nullptr, data.data(), 4, nullptr), -1);
    EXPECT_EQ(cs->transfer.blob.chunk_buf, nullptr);  // only the first upload allocates it
    ASSERT_EQ(quorvane_cs_blob_download(cs, DL_ID.data(), buf.data(), 4), 0);
    EXPECT_EQ(quorvane_cs_blob_upload(cs, data.data(), 4, nullptr), -1);
    l.feed(141, tlv(24, be64(0)));
    ASSERT_EQ(poll(cs).finished, 1);
    ASSERT_EQ(quorvane_cs_blob_upload(cs, data.data(), 4, nullptr), 0);
    EXPECT_NE(cs->transfer.blob.chunk_buf, nullptr);
    Poll p = poll(cs);
    EXPECT_EQ(p.rc, 1);
    EXPECT_EQ(p.finished, 0);
    EXPECT_EQ(p.progress, 4u);
    cs->state = QV_CS_FAILED;
    EXPECT_EQ(poll(cs).finished, 1);
    quorvane_cs_pump(cs);
    EXPECT_TRUE(drain(l).empty());
    quorvane_cs_blob_reset(cs);
    EXPECT_EQ(quorvane_cs_blob_download(cs, DL_ID.data(), buf.data(), 4), -1);
}

/* ---- malformed and unexpected frames ---- */

namespace {

// The whole transfer state, and the bytes of both buffers it writes into.
bytes snapshot(const quorvane_cs *cs, const bytes &dl_buf) {
    const cs_transfer_state &t = cs->transfer;
    bytes s = b(reinterpret_cast<const uint8_t *>(&t), sizeof t);
    if (t.emoji.page_buf) s = cat({s, b(t.emoji.page_buf, t.emoji.page_got)});
    return cat({s, dl_buf});
}

}  // namespace

// Short TLVs, wrong lengths, other ids and names, and replies nothing waits
// for leave every transfer as it was.
TEST(TransferReplies, MalformedAndUnexpectedFramesChangeNothing) {
    const bytes id = tlv(23, UP_ID), dl = tlv(23, DL_ID), p0 = tlv(76, u8(0)), name_a = tlv_text(32, "a");
    const bytes cut = bytes{23, 0, 0, 0, 16, 1, 2, 3};  // a record longer than what follows
    enum Where { IDLE_BLOB, UPLOAD, DOWNLOAD, NO_UPDATE, PAGE };
    struct Case {
        const char *name;
        Where where;
        uint8_t type;
        bytes payload;
    };
    const Case cases[] = {
        {"10 with nothing running", IDLE_BLOB, 10, cat({dl, tlv(25, bytes{1})})},
        {"140 with nothing running", IDLE_BLOB, 140, cat({id, tlv(26, be64(0))})},
        {"141 with nothing running", IDLE_BLOB, 141, tlv(24, be64(5))},
        {"140 id of 15", UPLOAD, 140, tlv(23, rep(0xB1, 15))},
        {"140 cut short", UPLOAD, 140, cut},
        {"140 id then a cut record", UPLOAD, 140, cat({id, bytes{26, 0, 0, 0, 8, 0, 0}})},
        {"140 offset of 4", UPLOAD, 140, cat({id, tlv(26, be32(0))})},
        {"141 size of 4", UPLOAD, 141, tlv(24, be32(10))},
        {"141 without a size", UPLOAD, 141, id},
        {"141 cut short", UPLOAD, 141, cat({bytes{24, 0, 0, 0, 8}, be32(0)})},
        {"10 id of 17", DOWNLOAD, 10, cat({tlv(23, rep(0xD1, 17)), tlv(25, bytes{1})})},
        {"10 without data", DOWNLOAD, 10, dl},
        {"10 data too long for one frame", DOWNLOAD, 10, cat({dl, tlv(25, rep(1, CHUNK + 1))})},
        {"10 data cut short", DOWNLOAD, 10, cat({dl, bytes{25, 0, 0, 0, 9, 1, 2}})},
        {"141 size of 7", DOWNLOAD, 141, tlv(24, rep(0, 7))},
        {"141 size then a cut record", DOWNLOAD, 141, cat({tlv(24, be64(3)), cut})},
        {"143 with no update", NO_UPDATE, 143, cat({p0, tlv(31, rep(1, 64)), tlv(30, bytes{'x'})})},
        {"144 with no update", NO_UPDATE, 144, p0},
        {"145 with no update", NO_UPDATE, 145, cat({p0, name_a, tlv(33, bytes{1})})},
        {"146 with no update", NO_UPDATE, 146, cat({p0, name_a, tlv(24, be64(1))})},
        {"147 pack of 2 bytes", NO_UPDATE, 147, tlv(76, bytes{0, 1})},
        {"145 of another page", PAGE, 145, cat({p0, tlv_text(32, "b"), tlv(33, bytes{1})})},
        {"145 name with a NUL after it", PAGE, 145, cat({p0, tlv(32, bytes{'a', 0}), tlv(33, bytes{1})})},
        {"145 name a prefix of 64", PAGE, 145, cat({p0, tlv(32, cat({u8('a'), rep('a', 63)})), tlv(33, bytes{1})})},
        {"145 empty name", PAGE, 145, cat({p0, tlv(32, {}), tlv(33, bytes{1})})},
        {"145 without a name", PAGE, 145, cat({p0, tlv(33, bytes{1})})},
        {"145 data over 64 KiB", PAGE, 145, cat({p0, name_a, tlv(33, rep(1, 65537))})},
        {"145 data cut short", PAGE, 145, cat({p0, name_a, bytes{33, 0, 0, 0, 4, 1}})},
        {"145 pack of 2 bytes", PAGE, 145, cat({tlv(76, bytes{0, 0}), name_a, tlv(33, bytes{1})})},
        {"146 size of 4", PAGE, 146, cat({p0, name_a, tlv(24, be32(1))})},
        {"146 without a size", PAGE, 146, cat({p0, name_a})},
        {"146 of another page", PAGE, 146, cat({p0, tlv_text(32, "b"), tlv(24, be64(1))})},
        {"143 while a page runs", PAGE, 143, cat({p0, tlv(31, rep(1, 64)), tlv(30, bytes{'x'})})},
        {"144 cut short", PAGE, 144, cat({p0, cut})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EmojiLocal t;
        quorvane_cs *cs = t.l.cs.get();
        bytes data = pattern(10, 2), buf(10, 0x55);
        if (c.where == UPLOAD) {
            ASSERT_EQ(quorvane_cs_blob_upload(cs, data.data(), data.size(), nullptr), 0);
            t.pump();
        } else if (c.where == DOWNLOAD) {
            ASSERT_EQ(quorvane_cs_blob_download(cs, DL_ID.data(), buf.data(), buf.size()), 0);
            t.pump();
            t.l.feed(10, cat({dl, tlv(25, bytes{1, 2})}));
        } else if (c.where == PAGE) {
            const Pack pk = make_pack(t.key, t.tmp, 1, {{"a", pattern(100, 1)}});
            t.start(0);
            t.feed(manifest_reply(0, pk));
            t.feed(page_data(0, "a", bytes{4, 5, 6}));
            ASSERT_EQ(t.e().page_active, 1);
            ASSERT_EQ(t.e().page_got, 3u);
        }
        const bytes before = snapshot(cs, buf);
        t.l.feed(c.type, c.payload);
        EXPECT_EQ(hex(snapshot(cs, buf)), hex(before));
        if (c.where == PAGE) {
            EXPECT_EQ(t.c0->staging, 1);
        }
    }
}

/* ---- emoji packs ---- */

// Asking for packs: only signed in, only a configured cache, only a pack not
// failed; busy while a bit is set or an update runs; frame 147 sets the bit
// of a configured pack (any value but 1, or none, is pack 0); the pump takes pack 0
// first and sends frame 18 with the cache's version.
TEST(TransferEmoji, SyncRequests) {
    {
        Local l(false);
        EXPECT_EQ(quorvane_cs_pack_sync(l.cs.get(), 0), -1);  // no cache
        EXPECT_EQ(quorvane_cs_emoji_sync(l.cs.get()), 0);
        EXPECT_EQ(quorvane_cs_emoji_busy(l.cs.get()), 0);
        l.feed(147, tlv(76, u8(0)));
        EXPECT_EQ(l.cs->transfer.emoji.sync_bits, 0u);
    }
    EmojiLocal t;
    quorvane_cs *cs = t.l.cs.get();
    EXPECT_EQ(quorvane_cs_emoji_busy(cs), 0);
    EXPECT_EQ(quorvane_cs_pack_sync(cs, 2), -1);
    EXPECT_EQ(quorvane_cs_pack_sync(cs, -1), -1);
    t.l.cs->cfg.emoji_pack1 = nullptr;
    EXPECT_EQ(quorvane_cs_pack_sync(cs, 1), -1);
    t.l.feed(147, tlv(76, u8(1)));
    EXPECT_EQ(t.e().sync_bits, 0u);
    t.l.cs->cfg.emoji_pack1 = t.c1.get();
    struct Case {
        uint8_t value;
        uint32_t bits;
    };
    for (const Case &c : {Case{1, 2u}, Case{0, 1u}, Case{7, 1u}, Case{255, 1u}}) {
        t.l.cs->transfer.emoji.sync_bits = 0;
        t.l.feed(147, tlv(76, u8(c.value)));
        EXPECT_EQ(t.e().sync_bits, c.bits) << int(c.value);
    }
    t.l.cs->transfer.emoji.sync_bits = 0;
    t.l.feed(147, {});  // no pack named: pack 0
    EXPECT_EQ(t.e().sync_bits, 1u);
    t.l.cs->transfer.emoji.sync_bits = 0;
    ASSERT_EQ(quorvane_cs_pack_sync(cs, 1), 0);
    EXPECT_EQ(quorvane_cs_emoji_sync(cs), 0);
    EXPECT_EQ(quorvane_cs_emoji_busy(cs), 1);
    auto sent = t.pump();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(hex(sent[0]), "48520112" "0000000f" "1d" "00000004" "00000000" "4c" "00000001" "00");
    EXPECT_EQ(t.e().sync_bits, 2u);
    EXPECT_TRUE(t.pump().empty());  // one update at a time
    t.feed(frame_of(144, tlv(76, u8(0))));
    EXPECT_EQ(t.e().updating, 0);
    EXPECT_EQ(quorvane_cs_emoji_busy(cs), 1);
    sent = t.pump();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(hex(sent[0]), "48520112" "0000000f" "1d" "00000004" "00000000" "4c" "00000001" "01");
    t.feed(frame_of(144, tlv(76, u8(1))));
    EXPECT_EQ(quorvane_cs_emoji_busy(cs), 0);
    cs->state = QV_CS_FAILED;
    EXPECT_EQ(quorvane_cs_pack_sync(cs, 0), -1);
}

TEST(TransferEmoji, ReplyMismatch) {
    struct Case {
        const char *name;
        bytes frame;
        int expected, in_progress, want;
    };
    const Case cases[] = {
        {"not in progress", frame_of(143, tlv(76, u8(1))), 0, 0, 0},
        {"same pack", frame_of(143, tlv(76, u8(1))), 1, 1, 0},
        {"other pack", frame_of(143, tlv(76, u8(1))), 0, 1, 1},
        {"2 is pack 0", frame_of(145, tlv(76, u8(2))), 0, 1, 0},
        {"2 is not pack 1", frame_of(145, tlv(76, u8(2))), 1, 1, 1},
        {"absent is pack 0", frame_of(144, {}), 0, 1, 0},
        {"absent is not pack 1", frame_of(144, {}), 1, 1, 1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(quorvane_cs_pack_reply_mismatch(c.frame.data(), c.frame.size(), c.expected, c.in_progress), c.want) << c.name;
}

// Manifest and page replies in turn: a signed manifest starts the first page,
// pages come in pieces and end with their size, a page end without progress,
// a size of 0, a page the cache refuses, a manifest it refuses and a 144 in
// the middle all drop the cache's download without failing the pack.
TEST(TransferEmoji, ManifestAndPageReplies) {
    struct Case {
        const char *name;
        std::function<void(EmojiLocal &, const Pack &)> act;
        uint32_t version;  // committed afterwards
        int updating, staging;
    };
    const Case cases[] = {
        {"whole pack",
         [](EmojiLocal &t, const Pack &p) {
             for (const char *n : {"a", "b"}) {
                 const bytes &d = p.pages.at(n);
                 t.feed(page_data(0, n, bytes(d.begin(), d.begin() + 40)));
                 t.feed(page_end(0, n, d.size()));
                 auto sent = t.pump();
                 ASSERT_EQ(sent.size(), 1u);
                 EXPECT_EQ(hex(sent[0]), "48520113" "00000019" "20" "00000001" + hex(bytes{uint8_t(n[0])}) + "1a" "00000008" +
                                             hex(be64(40)) + "4c" "00000001" "00");
                 t.feed(page_data(0, n, bytes(d.begin() + 40, d.end())));
                 t.feed(page_end(0, n, d.size()));
             }
         },
         1, 0, 0},
        {"a page end with progress",
         [](EmojiLocal &t, const Pack &) {
             t.feed(page_data(0, "a", rep(1, 10)));
             t.feed(page_end(0, "a", 100));
         },
         0, 1, 1},
        {"a page end with nothing since the request",
         [](EmojiLocal &t, const Pack &) {
             t.feed(page_data(0, "a", rep(1, 10)));
             t.feed(page_end(0, "a", 100));
             EXPECT_EQ(t.pump().size(), 1u);
             t.feed(page_end(0, "a", 100));
         },
         0, 0, 0},
        {"a page end before the first request",
         [](EmojiLocal &t, const Pack &p) {
             t.feed(page_data(0, "a", p.pages.at("a")));
             t.feed(page_end(0, "a", 100));  // page b is next, not yet asked for
             t.feed(page_end(0, "b", 70));
             EXPECT_EQ(std::string(t.e().page), "b");
         },
         0, 1, 1},
        {"size 0", [](EmojiLocal &t, const Pack &) { t.feed(page_end(0, "a", 0)); }, 0, 0, 0},
        {"bytes the cache refuses",
         [](EmojiLocal &t, const Pack &) {
             t.feed(page_data(0, "a", rep(1, 100)));
             t.feed(page_end(0, "a", 100));
         },
         0, 0, 0},
        {"144 in the middle", [](EmojiLocal &t, const Pack &) { t.feed(frame_of(144, tlv(76, u8(0)))); }, 0, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EmojiLocal t;
        const Pack p = make_pack(t.key, t.tmp, 1, {{"a", pattern(100, 1)}, {"b", pattern(70, 2)}});
        t.start(0);
        t.feed(manifest_reply(0, p));
        ASSERT_EQ(t.e().page_active, 1);
        EXPECT_EQ(std::string(t.e().page), "a");
        auto sent = t.pump();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(hex(sent[0]), "48520113" "00000019" "20" "00000001" "61" "1a" "00000008" "0000000000000000" "4c" "00000001" "00");
        EXPECT_TRUE(t.pump().empty());  // one page request in flight
        c.act(t, p);
        EXPECT_EQ(quorvane_emoji_cache_version(t.c0.get()), c.version);
        EXPECT_EQ(t.e().updating, c.updating);
        EXPECT_EQ(t.c0->staging, c.staging);
        EXPECT_EQ(t.e().failed, 0u);
        EXPECT_EQ(quorvane_cs_pack_sync(t.l.cs.get(), 0), 0);  // a later sync tries again
    }
    // manifests the update cannot use end it
    struct Bad {
        const char *name;
        bytes payload;
    };
    EmojiLocal t;
    const Pack p = make_pack(t.key, t.tmp, 1, {{"a", pattern(100, 1)}});
    bytes sig(p.sig.begin(), p.sig.end());
    bytes bad_sig = sig;
    bad_sig[5] ^= 1;
    const Bad bad[] = {
        {"bad signature", cat({tlv(76, u8(0)), tlv(31, bad_sig), tlv(30, p.manifest())})},
        {"no signature", cat({tlv(76, u8(0)), tlv(30, p.manifest())})},
        {"no manifest", cat({tlv(76, u8(0)), tlv(31, sig)})},
        {"empty manifest", cat({tlv(76, u8(0)), tlv(31, sig), tlv(30, {})})},
        {"signature of 63", cat({tlv(76, u8(0)), tlv(31, bytes(sig.begin(), sig.end() - 1)), tlv(30, p.manifest())})},
    };
    for (const auto &c : bad) {
        SCOPED_TRACE(c.name);
        t.start(0);
        t.feed(frame_of(143, c.payload));
        EXPECT_EQ(t.e().updating, 0);
        EXPECT_EQ(t.e().page_active, 0);
        EXPECT_EQ(t.c0->staging, 0);
    }
}

// The page buffer doubles from 64 KiB up to 8 MiB: a page of exactly 8 MiB
// goes into the cache, one byte more aborts the update. The buffer is kept
// from page to page and wiped when it grows.
TEST(TransferEmoji, PageOfEightMiB) {
    for (size_t extra : {size_t{0}, size_t{1}}) {
        SCOPED_TRACE(extra);
        EmojiLocal t;
        const bytes big = pattern(QV_EMOJI_PAGE_LIMIT, 3);
        const Pack p = make_pack(t.key, t.tmp, 4, {{"big", big}});
        t.start(0);
        t.feed(manifest_reply(0, p));
        ASSERT_EQ(t.e().page_active, 1);
        std::vector<size_t> caps;
        for (size_t off = 0; off < big.size(); off += QV_EMOJI_DATA_MAX) {
            t.feed(page_data(0, "big", bytes(big.begin() + off, big.begin() + off + QV_EMOJI_DATA_MAX)));
            if (caps.empty() || caps.back() != t.e().page_cap) caps.push_back(t.e().page_cap);
        }
        EXPECT_EQ(caps.front(), QV_EMOJI_PAGE_START);
        EXPECT_EQ(caps.back(), QV_EMOJI_PAGE_LIMIT);
        EXPECT_EQ(caps.size(), 8u);
        ASSERT_EQ(t.e().page_got, QV_EMOJI_PAGE_LIMIT);
        if (extra) {
            t.feed(page_data(0, "big", bytes{0}));
            EXPECT_EQ(t.e().updating, 0);
            EXPECT_EQ(t.e().page_active, 0);
            EXPECT_EQ(t.c0->staging, 0);
            EXPECT_EQ(quorvane_emoji_cache_version(t.c0.get()), 0u);
        } else {
            t.feed(page_end(0, "big", big.size()));
            EXPECT_EQ(t.e().updating, 0);
            EXPECT_EQ(quorvane_emoji_cache_version(t.c0.get()), 4u);
            uint8_t *read = nullptr;
            size_t n = 0;
            ASSERT_EQ(quorvane_emoji_cache_read_page(t.c0.get(), "big", &read, &n), 0);
            EXPECT_TRUE(n == big.size() && std::memcmp(read, big.data(), n) == 0);
            std::free(read);
        }
        EXPECT_EQ(t.e().page_cap, QV_EMOJI_PAGE_LIMIT);  // kept for the next page
    }
}

// A session freed in the middle of a pack leaves its cache free to begin again.
TEST(TransferEmoji, FreeInTheMiddleOfAPack) {
    EmojiLocal t;
    const Pack p = make_pack(t.key, t.tmp, 2, {{"a", pattern(100, 1)}});
    t.start(0);
    t.feed(manifest_reply(0, p));
    t.feed(page_data(0, "a", bytes{1, 2}));
    ASSERT_EQ(t.c0->staging, 1);
    t.l.cs.reset();
    EXPECT_EQ(t.c0->staging, 0);
    EXPECT_GE(quorvane_emoji_cache_begin(t.c0.get(), reinterpret_cast<const uint8_t *>(p.text.data()), p.text.size(), p.sig.data(),
                                         t.key.pub.data()),
              0);
    quorvane_emoji_cache_abort(t.c0.get());
}

/* ---- emoji packs on the wire ---- */

namespace {

// A server that holds one pack per cache: frame 18 gets the manifest when the
// client's version is older (else 144); frame 19 gets at most `step` bytes
// of the page from the asked offset, then the page's end with its size.
struct PackServer {
    std::map<uint8_t, Pack> packs;
    size_t step = 3000;
    std::map<uint8_t, uint8_t> answer_as;  // a pack answered under another number
    bytes operator()(const bytes &f) const {
        const uint8_t asked = field(f, 76).empty() ? 0xFF : field(f, 76)[0];
        auto it = packs.find(asked);
        if (it == packs.end()) return bytes{};
        const uint8_t named = answer_as.count(asked) ? answer_as.at(asked) : asked;
        const Pack &p = it->second;
        if (type_of(f) == 18) {
            const bytes v = field(f, 29);
            const uint32_t have = v.size() == 4 ? uint32_t(v[0]) << 24 | uint32_t(v[1]) << 16 | uint32_t(v[2]) << 8 | v[3] : 0;
            const uint32_t version = static_cast<uint32_t>(std::stoul(p.text.substr(p.text.find("version ") + 8)));
            return have >= version ? frame_of(144, tlv(76, u8(named))) : manifest_reply(named, p);
        }
        if (type_of(f) != 19) return bytes{};
        const bytes nb = field(f, 32);
        const std::string name(nb.begin(), nb.end());
        if (!p.pages.count(name)) return bytes{};
        const bytes &d = p.pages.at(name);
        const size_t off = std::min<size_t>(u64_of(field(f, 26)), d.size());
        const size_t n = std::min(step, d.size() - off);
        return cat({page_data(named, name, bytes(d.begin() + off, d.begin() + off + n)), page_end(named, name, d.size())});
    }
};

// Two emoji caches, a key that signs packs, and the server holding them.
struct PackSync {
    TempDir tmp;
    OpensslEd25519 key{tmp};
    Cache c0{quorvane_emoji_cache_open(tmp.file("e0").c_str())}, c1{quorvane_emoji_cache_open(tmp.file("e1").c_str())};
    PackServer server;
    // A session over both caches signed in by the pack server, pumped until
    // neither pack is asked for nor updating.
    std::unique_ptr<Remote> session() {
        auto r = std::make_unique<Remote>(false, std::ref(server));
        r->server_key = bytes(key.pub.begin(), key.pub.end());
        r->pack0 = c0.get();
        r->pack1 = c1.get();
        r->start();
        EXPECT_TRUE(wait_until([&] { quorvane_cs_pump(r->cs.get()); return quorvane_cs_emoji_busy(r->cs.get()) == 0; }, kWaitMs));
        return r;
    }
};

}  // namespace

// Signing in asks for each configured pack: pack 0 is brought in page by page
// in steps and committed at the new version, then pack 1, already current,
// gets 144; frames 18 and 19 byte for byte.
TEST(TransferWire, FullPackSync) {
    PackSync ps;
    ASSERT_TRUE(ps.c0 && ps.c1);
    auto &[tmp, key, c0, c1, server] = ps;
    server.packs[0] = make_pack(key, tmp, 3, {{"a", pattern(5000, 1)}, {"bb", pattern(2500, 2)}, {"c", pattern(6001, 3)}});
    server.packs[1] = make_pack(key, tmp, 0, {{"a", pattern(10, 4)}});  // version 0: nothing newer than an empty cache
    auto rp = ps.session();
    Remote &r = *rp;
    EXPECT_EQ(quorvane_emoji_cache_version(c0.get()), 3u);
    for (const auto &[name, data] : server.packs.at(0).pages) {
        uint8_t *read = nullptr;
        size_t n = 0;
        ASSERT_EQ(quorvane_emoji_cache_read_page(c0.get(), name.c_str(), &read, &n), 0) << name;
        EXPECT_EQ(hex(b(read, n)), hex(data)) << name;
        std::free(read);
    }
    EXPECT_EQ(quorvane_emoji_cache_version(c1.get()), 0u);
    EXPECT_EQ(c0->staging, 0);
    auto got = r.rec.all();
    std::vector<std::string> want = {"48520112" "0000000f" "1d" "00000004" "00000000" "4c" "00000001" "00"};
    const std::pair<std::string, size_t> pages[] = {{"a", 5000}, {"bb", 2500}, {"c", 6001}};
    for (const auto &[name, size] : pages)
        for (size_t off = 0; off < size; off += 3000)
            want.push_back("48520113" + hex(be32(uint32_t(24 + name.size()))) + "20" + hex(be32(uint32_t(name.size()))) +
                           hex(bytes(name.begin(), name.end())) + "1a" "00000008" + hex(be64(off)) + "4c" "00000001" "00");
    want.push_back("48520112" "0000000f" "1d" "00000004" "00000000" "4c" "00000001" "01");
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); i++) EXPECT_EQ(hex(got[i]), want[i]) << i;
}

// A reply for pack 1 while pack 0 updates gives pack 0 up for the session
// (pack 1 still syncs); the next session's sign-in asks for pack 0 again.
TEST(TransferWire, MismatchFailsThePackUntilTheNextSession) {
    PackSync ps;
    ASSERT_TRUE(ps.c0 && ps.c1);
    auto &[tmp, key, c0, c1, server] = ps;
    server.packs[0] = make_pack(key, tmp, 2, {{"a", pattern(100, 1)}});
    server.packs[1] = make_pack(key, tmp, 5, {{"z", pattern(100, 2)}});
    server.answer_as[0] = 1;
    {
        auto rp = ps.session();
        Remote &r = *rp;
        EXPECT_EQ(quorvane_emoji_cache_version(c0.get()), 0u);
        EXPECT_EQ(quorvane_emoji_cache_version(c1.get()), 5u);
        EXPECT_EQ(r.cs->transfer.emoji.failed, 1u);
        EXPECT_EQ(quorvane_cs_pack_sync(r.cs.get(), 0), -1);
        const bytes change = frame_of(147, tlv(76, u8(0)));
        handle_authed_frame(r.cs.get(), change.data(), change.size());
        EXPECT_EQ(quorvane_cs_emoji_busy(r.cs.get()), 0);
        pump_idle(r.cs.get());
        auto got = r.rec.all();
        size_t asks0 = 0;
        for (const auto &f : got) asks0 += type_of(f) == 18 && field(f, 76) == u8(0);
        EXPECT_EQ(asks0, 1u);
        EXPECT_EQ(quorvane_cs_pack_sync(r.cs.get(), 1), 0);
    }
    server.answer_as.clear();
    auto r = ps.session();
    EXPECT_EQ(r->cs->transfer.emoji.failed, 0u);
    EXPECT_EQ(quorvane_emoji_cache_version(c0.get()), 2u);
}
