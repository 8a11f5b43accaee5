// Verifying a 1 MiB emoji pack (its Ed25519 signature over the exact bytes,
// then the parse) and checking a 1 MiB page's BLAKE2b-512, beside what the two
// primitives cost in `openssl speed` on the same machine in the same run:
// Ed25519 verifications per second (a short message) plus SHA-512 of 1 MiB
// (the hash Ed25519 runs over the message), and BLAKE2b-512 of 1 MiB.
#include <benchmark/benchmark.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "quorvane_crypto.h"
#include "quorvane_emojipack.h"

namespace {

// A pack of 64 pages and 4096 entries, padded with keyword-rich entries to
// 1 MiB, signed with a fresh key.
struct big_pack {
    std::string text;
    uint8_t sig[64], pub[32], seed[32];
    big_pack() {
        text = "quorvane-emoji-pack-v1\nversion 7\ncell 32\n";
        for (int i = 0; i < 64; i++) text += "page p" + std::to_string(i) + " " + std::string(128, 'a') + " 64 64\n";
        for (int i = 0; i < 4096; i++)
            text += "entry e" + std::to_string(i) + " " + std::to_string(i % 64) + " " + std::to_string(i) + " " +
                    std::string(127 - (i % 100), 'k') + "\n";
        text.resize(QV_EMOJIPACK_TEXT_MAX, '\n');
        if (quorvane_random(seed, 32) != 0 || quorvane_ed25519_pub_from_seed(seed, pub) != 0 ||
            quorvane_ed25519_sign(seed, reinterpret_cast<const uint8_t *>(text.data()), text.size(), sig) != 0)
            std::abort();
    }
};

const big_pack &pack() {
    static const big_pack p;
    return p;
}

// One figure from `openssl speed`: the number in `column` of the line that
// matches `row`, or -1.
double openssl_speed(const std::vector<std::string> &args, const std::string &row, int column) {
    std::string out;
    if (qv_bench::run(args, &out) != 0) return -1;
    std::smatch m;
    const std::regex line("(^|\\n)" + row + "([^\\n]*)");
    if (!std::regex_search(out, m, line)) return -1;
    std::vector<std::string> words;
    std::istringstream ws(m[2].str());
    for (std::string w; ws >> w;) words.push_back(w);
    if (column >= int(words.size())) return -1;
    std::string w = words[size_t(column)];
    if (!w.empty() && w.back() == 'k') return std::stod(w.substr(0, w.size() - 1)) * 1000;
    return std::stod(w);
}

void BM_PackVerifySig1MiB(benchmark::State &state) {
    const big_pack &p = pack();
    for (auto _ : state)
        if (quorvane_emojipack_verify_sig(p.text.data(), p.text.size(), p.sig, p.pub) != 1) state.SkipWithError("refused");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(p.text.size()));
}

void BM_PackParse1MiB(benchmark::State &state) {
    const big_pack &p = pack();
    for (auto _ : state) {
        quorvane_emojipack *parsed = quorvane_emojipack_parse(p.text.data(), p.text.size());
        if (!parsed) state.SkipWithError("refused");
        quorvane_emojipack_free(parsed);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(p.text.size()));
}

void BM_PageVerify1MiB(benchmark::State &state) {
    std::vector<uint8_t> img(1 << 20);
    if (quorvane_random(img.data(), img.size()) != 0) std::abort();
    quorvane_emoji_page pg{};
    if (quorvane_blake2b(img.data(), img.size(), pg.hash) != 0) std::abort();
    for (auto _ : state)
        if (quorvane_emojipack_verify_page(&pg, img.data(), img.size()) != 1) state.SkipWithError("refused");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(img.size()));
}

// The same work timed whole (verify then parse) beside openssl's primitives.
void BM_PackVerifyBesideOpenssl(benchmark::State &state) {
    const big_pack &p = pack();
    double ours = 0;
    for (auto _ : state) {
        ours = qv_bench::median_secs(9, [&] {
            quorvane_emojipack *parsed = nullptr;
            if (quorvane_emojipack_verify_sig(p.text.data(), p.text.size(), p.sig, p.pub) == 1)
                parsed = quorvane_emojipack_parse(p.text.data(), p.text.size());
            if (!parsed) std::abort();
            quorvane_emojipack_free(parsed);
        });
    }
    const double verify_per_s = openssl_speed({"openssl", "speed", "-seconds", "1", "ed25519"}, " *253 bits EdDSA \\(Ed25519\\)", 3);
    const double sha512 = openssl_speed({"openssl", "speed", "-seconds", "1", "-bytes", "1048576", "-evp", "sha512"}, "sha512", 0);
    const double blake = openssl_speed({"openssl", "speed", "-seconds", "1", "-bytes", "1048576", "-evp", "blake2b512"}, "blake2b512", 0);
    if (verify_per_s <= 0 || sha512 <= 0 || blake <= 0) {
        state.SkipWithError("cannot read openssl speed");
        return;
    }
    const double bound = 1 / verify_per_s + 1048576 / sha512;
    state.counters["ours_ms"] = ours * 1e3;
    state.counters["openssl_ed25519_verify_ms"] = 1e3 / verify_per_s;
    state.counters["openssl_sha512_1MiB_ms"] = 1048576 / sha512 * 1e3;
    state.counters["openssl_blake2b_1MiB_ms"] = 1048576 / blake * 1e3;
    state.counters["ratio_to_verify_plus_sha512"] = ours / bound;
}

}  // namespace

BENCHMARK(BM_PackVerifySig1MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PackParse1MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PageVerify1MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PackVerifyBesideOpenssl)->Iterations(1)->Unit(benchmark::kMillisecond);
