// Opening a message store against the floor under it: for the files of 200
// conversations (the conversation list, own profile, identity list, and one
// current and one previous ratchet state per conversation) the store's open
// and reads are timed beside plain reads of the very same bytes followed by
// the very same key derivation and AEAD, with nothing else.
#include "client_msgstore.h"

#include <benchmark/benchmark.h>

#include <cstdio>
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
constexpr size_t CONV_ENTRY    = 400;   // a direct conversation's entry with names, peer and trailer
constexpr size_t RATCHET_STATE = 277 + 68 * 4;  // "HRR1" holding four skipped keys
const uint8_t kSecret[32] = {9};

struct sealed_file {
    std::string path;
    std::vector<uint8_t> label;
};

struct fixture {
    std::string dir;
    uint8_t key[32];
    std::vector<sealed_file> open_files;   // read by open
    std::vector<sealed_file> peer_files;   // read one by one as conversations are used
    std::vector<std::vector<uint8_t>> conv_ids, devices;

    fixture(const fixture &) = delete;
    fixture &operator=(const fixture &) = delete;
    ~fixture() { std::filesystem::remove_all(std::filesystem::path(dir).parent_path()); }

    fixture() {
        char tmpl[] = "/tmp/bench_msgstore.XXXXXX";
        if (!mkdtemp(tmpl)) abort();
        dir = std::string(tmpl) + "/msgstore";
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

        // the conversation list is sealed here at the size 200 entries take
        std::vector<uint8_t> pt(5 + CONVS * CONV_ENTRY, 0x20);
        pt[0] = QV_MS_CONVS_VERSION;
        std::vector<uint8_t> file(pt.size() + 32);
        uint8_t *salt = file.data();
        memset(salt, 7, 16);
        const auto *label = reinterpret_cast<const uint8_t *>(MS_LABEL_CONVS.data());
        if (quorvane_msg_seal(key, 0, salt, label, MS_LABEL_CONVS.size(), pt.data(), pt.size(), file.data() + 16,
                              file.data() + 16 + pt.size()) != 0)
            abort();
        FILE *f = fopen((dir + "/convs.dat").c_str(), "wb");
        if (!f || fwrite(file.data(), 1, file.size(), f) != file.size() || fclose(f) != 0) abort();

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
        if (!ms || ms->ident_count != CONVS) abort();
        quorvane_msgstore_close(ms);
    }
}

void BM_ceiling_open_files(benchmark::State &state) {
    fixture &f = fx();
    std::vector<uint8_t> buf, pt;
    uint8_t in[54], md[64], key[32];
    for (auto _ : state) {
        // the same store-key derivation open does
        memcpy(in, MS_STORE_KEY_LABEL.data(), 22);
        memcpy(in + 22, kSecret, 32);
        if (quorvane_blake2b(in, sizeof in, md) != 0) abort();
        memcpy(key, md, 32);
        read_and_open(f.open_files, key, buf, pt);
        benchmark::DoNotOptimize(pt.data());
    }
}

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

void BM_ceiling_open_and_ratchets(benchmark::State &state) {
    fixture &f = fx();
    std::vector<uint8_t> buf, pt;
    uint8_t in[54], md[64], key[32];
    for (auto _ : state) {
        memcpy(in, MS_STORE_KEY_LABEL.data(), 22);
        memcpy(in + 22, kSecret, 32);
        if (quorvane_blake2b(in, sizeof in, md) != 0) abort();
        memcpy(key, md, 32);
        read_and_open(f.open_files, key, buf, pt);
        read_and_open(f.peer_files, key, buf, pt);
        benchmark::DoNotOptimize(pt.data());
    }
}

BENCHMARK(BM_store_open)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ceiling_open_files)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_store_open_and_ratchets)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ceiling_open_and_ratchets)->Unit(benchmark::kMicrosecond);

}  // namespace
