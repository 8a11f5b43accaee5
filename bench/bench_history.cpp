// A 64 MiB history moved to a new own device: sealing it to the device's key
// (what the sending device does before its 256 frames go out), and receiving
// it through a signed-in session, frame by frame, then opening it and merging
// it into a fresh store. Beside them, in the same run, `openssl speed -evp
// chacha20-poly1305` at 16 KiB blocks gives the bare cipher's time for the
// same number of bytes: the floor of either side.
#include "bench_support.h"
#include "client_session.h"

#include <cstdio>
#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kTotal = QV_HISTORY_MAX;

void must(bool ok) {
    if (!ok) std::abort();
}

void put_tlv(Bytes &out, uint8_t tag, const uint8_t *v, size_t n) {
    out.push_back(tag);
    for (int i = 3; i >= 0; i--) out.push_back(static_cast<uint8_t>(n >> (8 * i)));
    out.insert(out.end(), v, v + n);
}

void put_u64(Bytes &out, uint8_t tag, uint64_t v) {
    uint8_t b[8];
    for (int i = 0; i < 8; i++) b[i] = static_cast<uint8_t>(v >> (56 - 8 * i));
    put_tlv(out, tag, b, 8);
}

// The receiving device's keys, a history export padded to 64 MiB sealed, and its frames 161.
struct Transfer {
    qv_bench::ScratchDir src;
    quorvane_device_keys keys{};
    Bytes plain, sealed;
    std::vector<Bytes> frames;
    Transfer() {
        must(quorvane_client_store_build(nullptr, &keys) == 0);
        const uint8_t secret[32] = {9};
        quorvane_msgstore *ms = quorvane_msgstore_open(src.dir.c_str(), secret);
        must(ms != nullptr);
        const uint8_t conv[16] = {0x4c}, key[32] = {0x4b};
        must(quorvane_msgstore_put_conv(ms, conv, key) == 0);
        size_t n = 0;
        uint8_t *x = quorvane_msgstore_export_history(ms, &n);
        must(x != nullptr);
        plain.assign(x, x + n);
        quorvane_msgstore_export_free(x, n);
        quorvane_msgstore_close(ms);
        plain.resize(kTotal - QV_SEAL_OVERHEAD, 0x20);
        sealed.resize(kTotal);
        must(quorvane_seal(keys.device_x25519_pub, plain.data(), plain.size(), sealed.data(), sealed.size(), &n) == 0);
        for (size_t off = 0; off < kTotal; off += QV_HISTORY_CHUNK) {
            Bytes body;
            put_u64(body, 24, kTotal);
            put_u64(body, 26, off);
            put_tlv(body, 25, sealed.data() + off, std::min(QV_HISTORY_CHUNK, kTotal - off));
            Bytes f(QV_FRAME_HEADER_LEN + body.size());
            must(quorvane_frame_encode(161, body.data(), body.size(), f.data(), f.size(), &n) == 0);
            frames.push_back(std::move(f));
        }
    }
};

Transfer &transfer() {
    static Transfer t;
    return t;
}

void BM_HistorySeal64MiB(benchmark::State &state) {
    Transfer &t = transfer();
    Bytes out(kTotal);
    for (auto _ : state) {
        size_t n = 0;
        if (quorvane_seal(t.keys.device_x25519_pub, t.plain.data(), t.plain.size(), out.data(), out.size(), &n) != 0)
            state.SkipWithError("seal failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kTotal));
}

void BM_HistoryReceive64MiB(benchmark::State &state) {
    Transfer &t = transfer();
    const uint8_t own[16] = {0xa1}, secret[32] = {9};
    for (auto _ : state) {
        state.PauseTiming();
        qv_bench::ScratchDir dst;
        quorvane_msgstore *ms = quorvane_msgstore_open(dst.dir.c_str(), secret);
        const std::string pin = dst.dir + "/pin";
        quorvane_cs_config c{};
        c.host = "127.0.0.1";
        c.port = "1";
        c.user = "me";
        c.password = "pw";
        c.pin_path = pin.c_str();
        c.keys = &t.keys;
        c.store = ms;
        quorvane_cs *cs = quorvane_cs_new(&c);
        must(ms && cs);
        quorvane_cs_test_signed_in(cs, own);
        cs->account.history_requested = 1;
        state.ResumeTiming();
        for (const Bytes &f : t.frames) handle_authed_frame(cs, f.data(), f.size());
        if (!quorvane_cs_history_synced(cs)) state.SkipWithError("history not taken");
        state.PauseTiming();
        quorvane_cs_free(cs);
        quorvane_msgstore_close(ms);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kTotal));
}

// `openssl speed` at 16 KiB blocks; reported as the time 64 MiB would take.
void BM_OpensslSpeedChaCha20Poly1305(benchmark::State &state) {
    double kbps = 0;
    for (auto _ : state) {
        FILE *p = popen("openssl speed -evp chacha20-poly1305 -seconds 1 -bytes 16384 2>/dev/null", "r");
        if (!p) {
            state.SkipWithError("cannot run openssl");
            return;
        }
        char line[256];
        while (std::fgets(line, sizeof line, p)) {
            double v = 0;
            if (std::sscanf(line, "ChaCha20-Poly1305 %lfk", &v) == 1) kbps = v;
        }
        pclose(p);
    }
    if (kbps <= 0) {
        state.SkipWithError("no figure from openssl speed");
        return;
    }
    state.counters["MB_per_s"] = kbps / 1000.0;
    state.counters["ms_for_64MiB"] = static_cast<double>(kTotal) / (kbps * 1000.0) * 1000.0;
}

BENCHMARK(BM_HistorySeal64MiB)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_HistoryReceive64MiB)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_OpensslSpeedChaCha20Poly1305)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
