// A stranger puts us into N new conversations at once: N conversation
// listings (frame 151, as the server sends them: the key sealed to this
// device, the stranger and us as members with one certified device each)
// handed to a signed-in session over a fresh message store, as the worker
// hands what arrives together: inside store batches of a given number of
// frames, or without any batch. Time and bytes handed to write(2) ("wchar"
// of /proc/self/io), per run and per conversation, beside SQLite putting one
// row per conversation into a table (synchronous=FULL, as the store syncs
// each file it writes), in the same batches, and beside the crypto every
// listing needs whatever stores it.
#include "bench_sqlite.h"
#include "bench_support.h"
#include "client_authed.h"
#include "client_deliver.h"
#include "client_session.h"
#include "quorvane_proto.h"
#include "quorvane_x3dh.h"


#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t FT_CONV_INFO = 151, TAG_IDENTITY = 3, TAG_CONV = 17, TAG_SEALED_KEY = 18, TAG_MEMBER = 19,
                  TAG_MEMBER_DEVICE = 55;
const uint8_t kMe[16] = {0xa1}, kStranger[16] = {0x5a};

void must(bool ok) {
    if (!ok) std::abort();
}

using qv_bench::wchar;

// Per run: megabytes handed to write(2), bytes per conversation, seconds.
void report(benchmark::State &state, uint64_t bytes, double secs, size_t n) {
    const double runs = double(state.iterations());
    state.counters["MB"] = double(bytes) / runs / 1e6;
    state.counters["bytes_per_conv"] = double(bytes) / runs / double(n);
    state.counters["s"] = secs / runs;
}

// One member's identity and its one device, certified.
struct Member {
    uint8_t id_priv[32], id_pub[32], x_priv[32], x_pub[32], ed_priv[32], ed_pub[32], cert[64];
    Member() {
        must(quorvane_ed25519_keypair(id_priv, id_pub) == 0 && quorvane_x25519_keypair(x_priv, x_pub) == 0 &&
             quorvane_ed25519_keypair(ed_priv, ed_pub) == 0 && quorvane_device_cert_sign(id_priv, x_pub, ed_pub, cert) == 0);
    }
};

// The listings, made once.
struct Burst {
    Member me, stranger;
    quorvane_device_keys keys{};
    std::vector<Bytes> frames;
    explicit Burst(size_t n) {
        std::memcpy(keys.identity_pub, me.id_pub, 32);
        std::memcpy(keys.device_x25519_priv, me.x_priv, 32);
        std::memcpy(keys.device_x25519_pub, me.x_pub, 32);
        std::memcpy(keys.device_ed25519_priv, me.ed_priv, 32);
        std::memcpy(keys.device_ed25519_pub, me.ed_pub, 32);
        for (size_t i = 0; i < n; i++) {
            uint8_t conv[16] = {0xc0}, key[32], sealed[32 + QV_SEAL_OVERHEAD];
            std::memcpy(conv + 8, &i, sizeof i);
            size_t sl = 0;
            must(quorvane_random(key, 32) == 0 && quorvane_seal(me.x_pub, key, 32, sealed, sizeof sealed, &sl) == 0);
            Bytes payload(2048);
            quorvane_tlv_writer w;
            quorvane_tlv_writer_init(&w, payload.data(), payload.size());
            quorvane_tlv_put(&w, TAG_CONV, conv, 16);
            quorvane_tlv_put(&w, TAG_SEALED_KEY, sealed, sl);
            for (const auto &[uid, m] : {std::pair{kStranger, &stranger}, std::pair{kMe, &me}}) {
                uint8_t dev[128];
                std::memcpy(dev, m->x_pub, 32);
                std::memcpy(dev + 32, m->ed_pub, 32);
                std::memcpy(dev + 64, m->cert, 64);
                quorvane_tlv_put(&w, TAG_MEMBER, uid, 16);
                quorvane_tlv_put(&w, TAG_IDENTITY, m->id_pub, 32);
                quorvane_tlv_put(&w, TAG_MEMBER_DEVICE, dev, sizeof dev);
            }
            size_t pl = 0;
            must(quorvane_tlv_writer_finish(&w, &pl) == 0);
            Bytes frame(pl + QV_FRAME_HEADER_LEN);
            size_t fl = 0;
            must(quorvane_frame_encode(FT_CONV_INFO, payload.data(), pl, frame.data(), frame.size(), &fl) == 0);
            frame.resize(fl);
            frames.push_back(frame);
        }
    }
};

// batch 0: no batch at all, every listing writes what it changes at once
void BM_ConvBurstStore(benchmark::State &state) {
    const size_t n = size_t(state.range(0)), batch = size_t(state.range(1));
    Burst b(n);
    uint64_t bytes = 0;
    double secs = 0;
    for (auto _ : state) {
        qv_bench::ScratchDir dir;
        const uint8_t secret[32] = {5};
        const std::string pin = dir.dir + "/pin";
        quorvane_msgstore *ms = quorvane_msgstore_open((dir.dir + "/store").c_str(), secret);
        must(ms != nullptr);
        quorvane_cs *cs = quorvane_cs_test_receiver(ms, &b.keys, "me", kMe, pin.c_str(), nullptr, 0);
        must(cs != nullptr);
        const uint64_t w0 = wchar();
        const auto t0 = std::chrono::steady_clock::now();
        for (size_t i = 0; i < n; i++) {
            if (batch && i % batch == 0) quorvane_msgstore_batch_begin(ms);
            handle_authed_frame(cs, b.frames[i].data(), b.frames[i].size());
            if (batch && (i % batch == batch - 1 || i + 1 == n)) must(quorvane_msgstore_batch_end(ms) == 0);
        }
        secs += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        bytes += wchar() - w0;
        must(quorvane_msgstore_conv_count(ms) == n);
        quorvane_cs_free(cs);
        quorvane_msgstore_close(ms);
    }
    report(state, bytes, secs, n);
}

using qv_bench::sql;

// One row per conversation holding what the store's record holds for it (id,
// key, the two members with identity and device, a cursor), WAL and
// synchronous=FULL; batch 0: one transaction per row.
void BM_ConvBurstSqlite(benchmark::State &state) {
    const size_t n = size_t(state.range(0)), batch = size_t(state.range(1));
    uint64_t bytes = 0;
    double secs = 0;
    Bytes members(2 * (16 + 32 + 128), 0x4d);
    for (auto _ : state) {
        qv_bench::ScratchDir dir;
        sqlite3 *db = nullptr;
        db = qv_bench::sqlite_open(dir.dir + "/convs.db", true);
        sql(db, "CREATE TABLE convs(id BLOB PRIMARY KEY, key BLOB, members BLOB, cursor INTEGER)");
        sqlite3_stmt *ins = nullptr;
        must(sqlite3_prepare_v2(db, "INSERT INTO convs VALUES(?, ?, ?, 0)", -1, &ins, nullptr) == SQLITE_OK);
        const uint64_t w0 = wchar();
        const auto t0 = std::chrono::steady_clock::now();
        for (size_t i = 0; i < n; i++) {
            if (batch && i % batch == 0) sql(db, "BEGIN");
            uint8_t conv[16] = {0xc0}, key[32] = {0x4b};
            std::memcpy(conv + 8, &i, sizeof i);
            sqlite3_bind_blob(ins, 1, conv, 16, SQLITE_TRANSIENT);
            sqlite3_bind_blob(ins, 2, key, 32, SQLITE_TRANSIENT);
            sqlite3_bind_blob(ins, 3, members.data(), int(members.size()), SQLITE_STATIC);
            must(sqlite3_step(ins) == SQLITE_DONE);
            sqlite3_reset(ins);
            if (batch && (i % batch == batch - 1 || i + 1 == n)) sql(db, "COMMIT");
        }
        secs += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        bytes += wchar() - w0;
        sqlite3_finalize(ins);
        sqlite3_close(db);
    }
    report(state, bytes, secs, n);
}

// What each listing costs before the store sees it: the key sealed to this
// device opened, and the two members' device certificates checked.
void BM_ConvBurstCryptoFloor(benchmark::State &state) {
    const size_t n = size_t(state.range(0));
    Burst b(n);
    uint8_t sealed[32 + QV_SEAL_OVERHEAD], key[32], out[32];
    size_t sl = 0, ol = 0;
    must(quorvane_random(key, 32) == 0 && quorvane_seal(b.me.x_pub, key, 32, sealed, sizeof sealed, &sl) == 0);
    for (auto _ : state)
        for (size_t i = 0; i < n; i++)
            must(quorvane_open(b.me.x_priv, sealed, sl, out, sizeof out, &ol) == 0 &&
                 quorvane_device_cert_verify(b.me.id_pub, b.me.x_pub, b.me.ed_pub, b.me.cert) == 0 &&
                 quorvane_device_cert_verify(b.stranger.id_pub, b.stranger.x_pub, b.stranger.ed_pub, b.stranger.cert) == 0);
}

// 300 in one batch, in batches of 30 (frames arriving over ten worker
// batches), and without batches; 150 and 600 in one batch show the growth.
void burst_args(benchmark::internal::Benchmark *b) {
    for (int64_t batch : {300, 30, 0}) b->Args({300, batch});
    b->Args({150, 150})->Args({600, 600});
}

BENCHMARK(BM_ConvBurstStore)->Apply(burst_args)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ConvBurstSqlite)->Apply(burst_args)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ConvBurstCryptoFloor)->Arg(300)->Unit(benchmark::kMillisecond);

}  // namespace
