// Opening a message store against the floor under it: for the files of 200
// conversations (the conversation list, own profile, identity list, and one
// current and one previous ratchet state per conversation) the store's open
// and reads are timed beside plain reads of the very same bytes followed by
// the very same key derivation and AEAD, with nothing else.
//
// Opening a store of 200 conversations x 2,000 messages beside reading and
// opening the same bytes; one search over 100,000 messages beside
// `grep -F -i -c` over their plaintext and the decryption of their files.
//
// Adding messages and changing one setting, beside SQLite doing the same
// durably (synchronous=FULL, one row and one transaction per change), in
// time and in bytes handed to write(2) ("wchar" of /proc/self/io).
#include "client_msgstore.h"
#include "client_search.h"

#include "bench_sqlite.h"
#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int    CONVS         = 200;
constexpr size_t RATCHET_STATE = 277 + 68 * 4;  // "HRR1" holding four skipped keys
const uint8_t kSecret[32] = {9};

struct sealed_file {
    std::string path;
    std::vector<uint8_t> label;
};

struct fixture {
    qv_bench::ScratchDir scratch_dir;
    std::string dir;
    uint8_t key[32];
    std::vector<sealed_file> open_files;   // read by open
    std::vector<sealed_file> peer_files;   // read one by one as conversations are used
    std::vector<std::vector<uint8_t>> conv_ids, devices;

    fixture(const fixture &) = delete;
    fixture &operator=(const fixture &) = delete;
    fixture() {
        dir = scratch_dir.dir + "/msgstore";
        quorvane_msgstore *ms = quorvane_msgstore_open(dir.c_str(), kSecret);
        if (!ms) abort();
        memcpy(key, ms->key, 32);
        if (quorvane_msgstore_set_self_profile(ms, "Benchmark user", "about text of moderate length") != 0) abort();
        quorvane_file_meta av{};
        strcpy(av.mime, "image/png");
        strcpy(av.name, "avatar.png");
        if (quorvane_msgstore_set_self_avatar(ms, &av) != 0) abort();
        std::vector<uint8_t> state(RATCHET_STATE, 0x5a);
        for (int i = 0; i < CONVS; i++) {
            std::vector<uint8_t> conv(16, 0), dev(32, 0), user(16, 0), ik(32, 0x33);
            conv[0] = uint8_t(i), conv[1] = uint8_t(i >> 8), dev[0] = uint8_t(i), dev[1] = 0xde;
            user[0] = uint8_t(i), user[1] = uint8_t(i >> 8), user[2] = 0x55;
            if (quorvane_msgstore_identity_tofu(ms, user.data(), ik.data()) != 0) abort();
            if (quorvane_msgstore_put_ratchet(ms, conv.data(), dev.data(), state.data(), state.size()) != 0) abort();
            if (quorvane_msgstore_put_ratchet_prev(ms, conv.data(), dev.data(), 0, 1, state.data(), state.size()) != 0)
                abort();
            conv_ids.push_back(conv);
            devices.push_back(dev);
        }
        quorvane_msgstore_close(ms);

        // the conversation list: 200 direct conversations with peer, profile and label
        ms = quorvane_msgstore_open(dir.c_str(), kSecret);
        if (!ms) abort();
        for (int i = 0; i < CONVS; i++) {
            if (quorvane_msgstore_put_conv_locked(ms, conv_ids[i].data()) != 0) abort();
            quorvane_ms_conv &c = ms->convs[i];
            memset(c.key, 0x11, sizeof c.key);
            c.has_key = 1;
            c.kind = 1;
            c.peer_set = c.peer_profile = 1;
            memcpy(c.peer_id, conv_ids[i].data(), 16);
            memset(c.peer_key, 0x33, sizeof c.peer_key);
            strcpy(c.label, "label");
            strcpy(c.peer_name, "A display name");
            strcpy(c.peer_about, "Some words about this person");
        }
        if (quorvane_msgstore_set_car_flags(ms, 1) != 0) abort();
        quorvane_msgstore_close(ms);

        auto lab = [](std::string_view s) { return std::vector<uint8_t>(s.begin(), s.end()); };
        open_files = {{dir + "/convs.dat", lab(MS_LABEL_CONVS)},
                      {dir + "/profile.dat", lab(MS_LABEL_PROFILE)},
                      {dir + "/idents.dat", lab(MS_LABEL_IDENTS)}};
        static const char hexd[] = "0123456789abcdef";
        auto hex = [](const std::vector<uint8_t> &b) {
            std::string s;
            for (uint8_t c : b) s += hexd[c >> 4], s += hexd[c & 15];
            return s;
        };
        // labels: head, [slot,] conversation id, device key
        auto peer_label = [](std::string_view head, int slot, const std::vector<uint8_t> &conv,
                             const std::vector<uint8_t> &dev) {
            std::vector<uint8_t> l(head.size() + (slot >= 0) + 16 + 32);
            memcpy(l.data(), head.data(), head.size());
            size_t at = head.size();
            if (slot >= 0) l[at++] = uint8_t(slot);
            memcpy(l.data() + at, conv.data(), 16);
            memcpy(l.data() + at + 16, dev.data(), 32);
            return l;
        };
        for (int i = 0; i < CONVS; i++) {
            std::string names = hex(conv_ids[i]) + "_" + hex(devices[i]) + ".dat";
            peer_files.push_back({dir + "/r_" + names, peer_label(MS_LABEL_RATCHET, -1, conv_ids[i], devices[i])});
            peer_files.push_back({dir + "/rp0_" + names, peer_label(MS_LABEL_RPREV, 0, conv_ids[i], devices[i])});
        }
    }
};

fixture &fx() {
    static fixture f;
    return f;
}

// The store key as open derives it, timed with the ceilings.
void derive_store_key(uint8_t key[32]) {
    uint8_t in[54], md[64];
    memcpy(in, MS_STORE_KEY_LABEL.data(), 22);
    memcpy(in + 22, kSecret, 32);
    if (quorvane_blake2b(in, sizeof in, md) != 0) abort();
    memcpy(key, md, 32);
}

// The floor: open, read whole, close, then the store's key derivation and AEAD.
void read_and_open(const std::vector<sealed_file> &files, const uint8_t key[32], std::vector<uint8_t> &buf,
                   std::vector<uint8_t> &pt) {
    for (const auto &f : files) {
        int fd = open(f.path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0) abort();
        buf.resize(size_t(st.st_size));
        if (read(fd, buf.data(), buf.size()) != st.st_size) abort();
        close(fd);
        size_t n = buf.size() - 32;
        pt.resize(n ? n : 1);
        if (quorvane_msg_open(key, 0, buf.data(), f.label.data(), f.label.size(), buf.data() + 16, n,
                              buf.data() + 16 + n, pt.data()) != 0)
            abort();
    }
}

void BM_store_open(benchmark::State &state) {
    fixture &f = fx();
    for (auto _ : state) {
        quorvane_msgstore *ms = quorvane_msgstore_open(f.dir.c_str(), kSecret);
        if (!ms || ms->ident_count != CONVS || ms->conv_count != CONVS) abort();
        quorvane_msgstore_close(ms);
    }
}

// The fastest an open could be: the same store-key derivation open does, then reading
// and opening the files it reads (with_ratchets: the peers' ratchet files too).
void ceiling_open(benchmark::State &state, bool with_ratchets) {
    fixture &f = fx();
    std::vector<uint8_t> buf, pt;
    uint8_t key[32];
    for (auto _ : state) {
        derive_store_key(key);
        read_and_open(f.open_files, key, buf, pt);
        if (with_ratchets) read_and_open(f.peer_files, key, buf, pt);
        benchmark::DoNotOptimize(pt.data());
    }
}

void BM_ceiling_open_files(benchmark::State &state) { ceiling_open(state, false); }

void BM_store_open_and_ratchets(benchmark::State &state) {
    fixture &f = fx();
    std::vector<uint8_t> out(4096);
    for (auto _ : state) {
        quorvane_msgstore *ms = quorvane_msgstore_open(f.dir.c_str(), kSecret);
        if (!ms) abort();
        for (int i = 0; i < CONVS; i++) {
            uint64_t v = 0;
            if (quorvane_msgstore_get_ratchet(ms, f.conv_ids[i].data(), f.devices[i].data(), out.data(), out.size()) !=
                    RATCHET_STATE ||
                quorvane_msgstore_get_ratchet_prev(ms, f.conv_ids[i].data(), f.devices[i].data(), 0, &v, out.data(),
                                                   out.size()) != RATCHET_STATE)
                abort();
        }
        quorvane_msgstore_close(ms);
    }
}

void BM_ceiling_open_and_ratchets(benchmark::State &state) { ceiling_open(state, true); }

BENCHMARK(BM_store_open)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ceiling_open_files)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_store_open_and_ratchets)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ceiling_open_and_ratchets)->Unit(benchmark::kMicrosecond);


/* ---- adding messages and changing a setting, beside SQLite ---------------- */

using qv_bench::wchar;

// root is the scratch directory; the store lives in root + "/msgstore".
struct scratch {
    qv_bench::ScratchDir d;
    const std::string &root = d.dir;
};

constexpr size_t TEXT_LEN = 60;  // a short chat line

void fill_msg(quorvane_ms_msgrec *r, const uint8_t conv[16], uint64_t id, uint64_t position) {
    memset(r, 0, sizeof *r);
    memcpy(r->conv_id, conv, 16);
    memset(r->author, 0x61 + int(id % 3), 16);
    r->msg_id = id;
    r->time = 1700000000000ull + position * 1000;
    r->position = position;
    r->type = 1;
    memset(r->text, 'a' + int(id % 26), TEXT_LEN);
    r->text_len = TEXT_LEN;
}

// live messages in order, then history backfill from the newest downwards;
// with a batch size, every that many adds are one batch, as the engine wraps
// a sync pass or a history page
void BM_store_add_live_then_history(benchmark::State &state) {
    const uint64_t live = uint64_t(state.range(0)), history = uint64_t(state.range(1));
    const uint64_t batch = uint64_t(state.range(2));
    for (auto _ : state) {
        scratch s;
        quorvane_msgstore *ms = quorvane_msgstore_open((s.root + "/msgstore").c_str(), kSecret);
        const uint8_t conv[16] = {0xc1}, key[32] = {1};
        if (!ms || quorvane_msgstore_put_conv(ms, conv, key) != 0) abort();
        auto rec = std::make_unique<quorvane_ms_msgrec>();
        uint64_t w0 = wchar();
        auto t0 = std::chrono::steady_clock::now();
        auto add = [&](uint64_t i, bool hist, uint64_t id, uint64_t position) {
            if (batch && i % batch == 0) quorvane_msgstore_batch_begin(ms);
            fill_msg(rec.get(), conv, id, position);
            if ((hist ? quorvane_msgstore_add_history(ms, rec.get()) : quorvane_msgstore_add_msg(ms, rec.get())) != 1)
                abort();
            if (batch && (i % batch == batch - 1 || i + 1 == (hist ? history : live))) {
                quorvane_msgstore_note_cursor(ms, conv, hist ? history + live : position);
                if (quorvane_msgstore_batch_end(ms) != 0) abort();
            }
        };
        for (uint64_t i = 0; i < live; i++) add(i, false, i + 1, history + i + 1);
        auto t1 = std::chrono::steady_clock::now();
        uint64_t w1 = wchar();
        for (uint64_t i = 0; i < history; i++) add(i, true, live + i + 1, history - i);
        auto t2 = std::chrono::steady_clock::now();
        uint64_t w2 = wchar();
        if (quorvane_msgstore_msg_count(ms, conv) != live + history) abort();
        quorvane_msgstore_close(ms);
        state.counters["live_s"] = std::chrono::duration<double>(t1 - t0).count();
        state.counters["history_s"] = std::chrono::duration<double>(t2 - t1).count();
        state.counters["live_MB"] = double(w1 - w0) / 1e6;
        state.counters["history_MB"] = double(w2 - w1) / 1e6;
    }
}

using qv_bench::sql;
using qv_bench::sqlite_open;

// the same messages as rows of one table, each insert its own transaction
void BM_sqlite_add_live_then_history(benchmark::State &state) {
    const uint64_t live = uint64_t(state.range(0)), history = uint64_t(state.range(1));
    const bool wal = state.range(2) != 0;
    const uint64_t batch = uint64_t(state.range(3));  // rows per transaction; 0: one each
    for (auto _ : state) {
        scratch s;
        sqlite3 *db = sqlite_open(s.root + "/msgs.db", wal);
        sql(db, "CREATE TABLE msgs(conv BLOB, author BLOB, device BLOB, id INTEGER, time INTEGER, position INTEGER, "
                "type INTEGER, edited INTEGER, status INTEGER, text BLOB, PRIMARY KEY(conv, author, device, id))");
        sql(db, "CREATE INDEX msgs_pos ON msgs(conv, position)");
        sqlite3_stmt *ins = nullptr;
        if (sqlite3_prepare_v2(db, "INSERT OR IGNORE INTO msgs VALUES(?,?,?,?,?,?,?,?,?,?)", -1, &ins, nullptr) != SQLITE_OK)
            abort();
        auto rec = std::make_unique<quorvane_ms_msgrec>();
        const uint8_t conv[16] = {0xc1};
        auto put = [&](uint64_t id, uint64_t position) {
            fill_msg(rec.get(), conv, id, position);
            sqlite3_bind_blob(ins, 1, rec->conv_id, 16, SQLITE_STATIC);
            sqlite3_bind_blob(ins, 2, rec->author, 16, SQLITE_STATIC);
            sqlite3_bind_blob(ins, 3, rec->author_device, 32, SQLITE_STATIC);
            sqlite3_bind_int64(ins, 4, int64_t(rec->msg_id));
            sqlite3_bind_int64(ins, 5, int64_t(rec->time));
            sqlite3_bind_int64(ins, 6, int64_t(rec->position));
            sqlite3_bind_int(ins, 7, rec->type);
            sqlite3_bind_int(ins, 8, 0);
            sqlite3_bind_int(ins, 9, 0);
            sqlite3_bind_blob(ins, 10, rec->text, int(rec->text_len), SQLITE_STATIC);
            if (sqlite3_step(ins) != SQLITE_DONE) abort();
            sqlite3_reset(ins);
        };
        uint64_t w0 = wchar();
        auto t0 = std::chrono::steady_clock::now();
        auto row = [&](uint64_t i, uint64_t n, uint64_t id, uint64_t position) {
            if (batch && i % batch == 0) sql(db, "BEGIN");
            put(id, position);
            if (batch && (i % batch == batch - 1 || i + 1 == n)) sql(db, "COMMIT");
        };
        for (uint64_t i = 0; i < live; i++) row(i, live, i + 1, history + i + 1);
        auto t1 = std::chrono::steady_clock::now();
        uint64_t w1 = wchar();
        for (uint64_t i = 0; i < history; i++) row(i, history, live + i + 1, history - i);
        auto t2 = std::chrono::steady_clock::now();
        uint64_t w2 = wchar();
        sqlite3_finalize(ins);
        sqlite3_close(db);
        state.counters["live_s"] = std::chrono::duration<double>(t1 - t0).count();
        state.counters["history_s"] = std::chrono::duration<double>(t2 - t1).count();
        state.counters["live_MB"] = double(w1 - w0) / 1e6;
        state.counters["history_MB"] = double(w2 - w1) / 1e6;
    }
}

// N conversations like a real list's (peer, names, two members), placed in
// the store record and written once; then one conversation's mute toggles.
void BM_store_set_muted(benchmark::State &state) {
    const size_t n = size_t(state.range(0));
    scratch s;
    quorvane_msgstore *ms = quorvane_msgstore_open((s.root + "/msgstore").c_str(), kSecret);
    if (!ms) abort();
    ms->convs = static_cast<quorvane_ms_conv *>(calloc(QV_MS_CONV_MAX, sizeof(quorvane_ms_conv)));
    ms->conv_cap = QV_MS_CONV_MAX;
    for (size_t i = 0; i < n; i++) {
        quorvane_ms_conv &c = ms->convs[i];
        memcpy(c.id, &i, sizeof i);
        memset(c.key, 0x11, sizeof c.key);
        c.has_key = 1;
        c.kind = 1;
        c.peer_set = 1;
        c.peer_profile = 1;
        memset(c.peer_id, 0x21, sizeof c.peer_id);
        memset(c.peer_key, 0x22, sizeof c.peer_key);
        strcpy(c.peer_name, "A display name");
        strcpy(c.peer_about, "Some words about this person");
        c.members = static_cast<quorvane_ms_member *>(calloc(2, sizeof(quorvane_ms_member)));
        c.member_count = 2;
        for (auto *m = c.members; m < c.members + 2; m++) {
            memset(m->user_id, 0x31 + int(m - c.members), 16);
            strcpy(m->name, "Member");
            m->device_count = 1;
        }
    }
    ms->conv_count = n;
    if (quorvane_msgstore_set_car_flags(ms, 1) != 0) abort();
    uint64_t target = n / 2;
    uint8_t id[16] = {};
    memcpy(id, &target, sizeof target);
    int flag = 0;
    uint64_t w0 = wchar();
    for (auto _ : state)
        if (quorvane_msgstore_set_muted(ms, id, flag ^= 1) != 0) abort();
    state.counters["bytes_per_op"] = benchmark::Counter(double(wchar() - w0), benchmark::Counter::kAvgIterations);
    quorvane_msgstore_close(ms);
}

void BM_sqlite_set_muted(benchmark::State &state) {
    const int64_t n = state.range(0);
    scratch s;
    sqlite3 *db = sqlite_open(s.root + "/convs.db", state.range(1) != 0);
    sql(db, "CREATE TABLE convs(id INTEGER PRIMARY KEY, key BLOB, peer BLOB, peer_key BLOB, peer_name TEXT, "
            "peer_about TEXT, muted INTEGER, members BLOB)");
    sql(db, "BEGIN");
    sqlite3_stmt *ins = nullptr, *upd = nullptr;
    if (sqlite3_prepare_v2(db, "INSERT INTO convs VALUES(?, zeroblob(32), zeroblob(16), zeroblob(32), 'A display name', "
                               "'Some words about this person', 0, zeroblob(300))", -1, &ins, nullptr) != SQLITE_OK)
        abort();
    for (int64_t i = 0; i < n; i++) {
        sqlite3_bind_int64(ins, 1, i);
        if (sqlite3_step(ins) != SQLITE_DONE) abort();
        sqlite3_reset(ins);
    }
    sql(db, "COMMIT");
    if (sqlite3_prepare_v2(db, "UPDATE convs SET muted=? WHERE id=?", -1, &upd, nullptr) != SQLITE_OK) abort();
    int flag = 0;
    uint64_t w0 = wchar();
    for (auto _ : state) {
        sqlite3_bind_int(upd, 1, flag ^= 1);
        sqlite3_bind_int64(upd, 2, n / 2);
        if (sqlite3_step(upd) != SQLITE_DONE) abort();
        sqlite3_reset(upd);
    }
    state.counters["bytes_per_op"] = benchmark::Counter(double(wchar() - w0), benchmark::Counter::kAvgIterations);
    sqlite3_finalize(ins);
    sqlite3_finalize(upd);
    sqlite3_close(db);
}

// A conversation at the cap whose archive is full: every new live message
// trims one into the archive. The 2000 + 20000 messages are placed in the
// record directly and trimmed once, so that the setup itself is not the
// quadratic path measured above.
void BM_store_add_at_cap_full_archive(benchmark::State &state) {
    scratch s;
    quorvane_msgstore *ms = quorvane_msgstore_open((s.root + "/msgstore").c_str(), kSecret);
    const uint8_t conv[16] = {0xc1}, key[32] = {1};
    if (!ms || quorvane_msgstore_put_conv(ms, conv, key) != 0) abort();
    if (quorvane_msgstore_set_msg_cap(ms, 0) != 0) abort();
    const size_t total = 2000 + QV_MS_ARCH_MAX;
    quorvane_ms_conv &c = ms->convs[0];
    c.msgs = static_cast<quorvane_ms_msg *>(calloc(total, sizeof(quorvane_ms_msg)));
    c.msg_alloc = total;
    auto rec = std::make_unique<quorvane_ms_msgrec>();
    for (size_t i = 0; i < total; i++) {
        fill_msg(rec.get(), conv, i + 1, i + 1);
        quorvane_ms_msg &m = c.msgs[i];
        memcpy(m.author, rec->author, 16);
        m.msg_id = rec->msg_id;
        m.time = rec->time;
        m.position = rec->position;
        m.type = rec->type;
        m.text = strndup(rec->text, TEXT_LEN);
        m.text_len = TEXT_LEN;
    }
    c.msg_count = total;
    if (quorvane_msgstore_set_msg_cap(ms, QV_MS_MSG_CAP_DEFAULT) != 1) abort();
    uint64_t next = total + 1, w0 = wchar();
    for (auto _ : state) {
        fill_msg(rec.get(), conv, next, next);
        next++;
        if (quorvane_msgstore_add_msg(ms, rec.get()) != 1) abort();
    }
    state.counters["bytes_per_op"] = benchmark::Counter(double(wchar() - w0), benchmark::Counter::kAvgIterations);
    if (quorvane_msgstore_archive_scan(ms, conv, nullptr, nullptr) != QV_MS_ARCH_MAX) abort();
    quorvane_msgstore_close(ms);
}

/* ---- a store full of history: opening it, and searching it ------------- */

// convs conversations of per_conv messages (written in batches of 200, the
// cap lifted to hold them live), with the message files' paths and labels
// for the ceiling; the plaintext of every text, one per line, for grep.
struct history_fixture {
    qv_bench::ScratchDir scratch_dir;
    std::string dir, plain;
    uint8_t key[32];
    std::vector<sealed_file> files;
    history_fixture(int convs, uint64_t per_conv) {
        dir = scratch_dir.dir + "/msgstore";
        quorvane_msgstore *ms = quorvane_msgstore_open(dir.c_str(), kSecret);
        if (!ms) abort();
        memcpy(key, ms->key, 32);
        (void)quorvane_msgstore_set_msg_cap(ms, per_conv);
        auto rec = std::make_unique<quorvane_ms_msgrec>();
        static const char *words[] = {"see", "you", "at", "the", "meeting", "tomorrow", "lunch", "Report", "ok", "thanks"};
        std::string text_all;
        for (int c = 0; c < convs; c++) {
            uint8_t conv[16] = {0xc1, uint8_t(c), uint8_t(c >> 8)}, ck[32] = {1};
            if (quorvane_msgstore_put_conv(ms, conv, ck) != 0) abort();
            for (uint64_t i = 0; i < per_conv; i++) {
                if (i % 200 == 0) quorvane_msgstore_batch_begin(ms);
                fill_msg(rec.get(), conv, i + 1, i + 1);
                std::string t;
                for (uint64_t w = 0; t.size() < 40; w++) t += std::string(w ? " " : "") + words[(i * 7 + w * 3 + c) % 10];
                memcpy(rec->text, t.data(), t.size());
                rec->text_len = t.size();
                text_all += t + "\n";
                if (quorvane_msgstore_add_msg(ms, rec.get()) != 1) abort();
                if ((i % 200 == 199 || i + 1 == per_conv) && quorvane_msgstore_batch_end(ms) != 0) abort();
            }
            static const char hexd[] = "0123456789abcdef";
            std::string h;
            for (uint8_t b : conv) h += hexd[b >> 4], h += hexd[b & 15];
            std::vector<uint8_t> label(MS_LABEL_MSGS.begin(), MS_LABEL_MSGS.end());
            label.insert(label.end(), conv, conv + 16);
            files.push_back({dir + "/m_" + h + ".dat", label});
        }
        files.push_back({dir + "/convs.dat", std::vector<uint8_t>(MS_LABEL_CONVS.begin(), MS_LABEL_CONVS.end())});
        quorvane_msgstore_close(ms);
        plain = scratch_dir.dir + "/plain.txt";
        FILE *f = fopen(plain.c_str(), "w");
        if (!f || fwrite(text_all.data(), 1, text_all.size(), f) != text_all.size() || fclose(f) != 0) abort();
    }
};

history_fixture &open_fx() {
    static history_fixture f(200, 2000);
    return f;
}

history_fixture &search_fx() {
    static history_fixture f(50, 2000);
    return f;
}

// Opening 200 conversations of 2,000 messages each, beside its ceiling:
// the same key derivation, then reading and opening the same files.
void BM_store_open_history(benchmark::State &state) {
    history_fixture &f = open_fx();
    double close_s = 0;
    for (auto _ : state) {
        quorvane_msgstore *ms = quorvane_msgstore_open(f.dir.c_str(), kSecret);
        if (!ms || ms->conv_count != 200 || ms->convs[199].msg_count != 2000) abort();
        state.PauseTiming();  // closing (every text wiped and freed) is counted apart
        auto t0 = std::chrono::steady_clock::now();
        quorvane_msgstore_close(ms);
        close_s += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.ResumeTiming();
    }
    state.counters["close_ms"] = benchmark::Counter(close_s * 1e3, benchmark::Counter::kAvgIterations);
}

void ceiling_history(benchmark::State &state, history_fixture &f) {
    std::vector<uint8_t> buf, pt;
    uint8_t key[32];
    for (auto _ : state) {
        derive_store_key(key);
        read_and_open(f.files, key, buf, pt);
        benchmark::DoNotOptimize(pt.data());
    }
}

void BM_ceiling_open_history(benchmark::State &state) { ceiling_history(state, open_fx()); }

// One query over 100,000 messages in 50 conversations, beside `grep -F -i -c`
// over their plaintext plus decrypting the files that hold it (the ceiling).
void BM_search_100k(benchmark::State &state) {
    history_fixture &f = search_fx();
    quorvane_msgstore *ms = quorvane_msgstore_open(f.dir.c_str(), kSecret);
    if (!ms) abort();
    std::vector<quorvane_search_hit> hits(200);
    size_t n = 0;
    for (auto _ : state) n = quorvane_search(ms, "MEETING", QV_SEARCH_TEXTS | QV_SEARCH_FILES | QV_SEARCH_CONVS,
                                              hits.data(), hits.size());
    if (n != hits.size()) abort();
    quorvane_msgstore_close(ms);
}

void BM_grep_100k(benchmark::State &state) {
    history_fixture &f = search_fx();
    const std::string cmd = "LC_ALL=C grep -F -i -c MEETING " + f.plain + " >/dev/null";
    for (auto _ : state)
        if (system(cmd.c_str()) != 0) abort();
}

void BM_decrypt_100k(benchmark::State &state) { ceiling_history(state, search_fx()); }

BENCHMARK(BM_store_open_history)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ceiling_open_history)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_search_100k)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_grep_100k)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_decrypt_100k)->Unit(benchmark::kMillisecond)->UseRealTime();

// {live, history, batch}: without batches the growth is quadratic across the
// history sizes; in batches of 200 it should stay near linear.
BENCHMARK(BM_store_add_live_then_history)
    ->Args({2000, 0, 0})->Args({2000, 2500, 0})->Args({2000, 5000, 0})
    ->Args({2000, 2500, 200})->Args({2000, 5000, 200})->Args({2000, 10000, 200})->Args({2000, 20000, 200})
    ->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
// {live, history, WAL, rows per transaction}
BENCHMARK(BM_sqlite_add_live_then_history)
    ->Args({2000, 20000, 1, 0})->Args({2000, 20000, 0, 0})->Args({2000, 20000, 1, 200})
    ->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_store_add_at_cap_full_archive)->Iterations(100)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_store_set_muted)->Arg(100)->Arg(1000)->Arg(4096)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_sqlite_set_muted)
    ->Args({100, 1})->Args({1000, 1})->Args({4096, 1})->Args({4096, 0})->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
