// The receive path alone: envelopes delivered into one conversation of a fresh
// message store, inside one store batch as a sync pass delivers them, beside
// the crypto-only floor of the same envelopes measured in the same run: the
// conversation-key open, and the ratchet decryption of a device-session stream
// with nothing read or stored. The receive path runs against the wall clock:
// each device envelope stores its stepped session durably before it is applied.
#include "bench_support.h"
#include "client_deliver.h"
#include "client_session.h"

#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kConvEnvelopes = 1000;
constexpr size_t kDevEnvelopes = 200;
constexpr size_t kText = 120;
const uint8_t kConv[16] = {0x5c, 1, 2, 3};
const uint8_t kBob[16] = {0xb0}, kAlice[16] = {0xa1};

void must(bool ok) {
    if (!ok) std::abort();
}

// Everything the sender made once: the envelopes and this device's prekey bag.
struct Stream {
    quorvane_device_keys keys{};
    uint8_t key[32], sender_dev[32], sender_ed[32];
    Bytes bag;
    std::vector<Bytes> conv_envs, dev_envs;
    Bytes responder_state;  // this device's ratchet after the first device envelope
    Stream() {
        uint8_t ed_priv[32], sx[32];
        must(quorvane_x25519_keypair(keys.device_x25519_priv, keys.device_x25519_pub) == 0 &&
             quorvane_ed25519_keypair(keys.device_ed25519_priv, keys.device_ed25519_pub) == 0 &&
             quorvane_x25519_keypair(sx, sender_dev) == 0 && quorvane_ed25519_keypair(ed_priv, sender_ed) == 0 &&
             quorvane_random(key, 32) == 0);
        Bytes body(kText + 1, 'm');
        body[0] = 1;  // text
        for (size_t i = 0; i < kConvEnvelopes; i++) {
            quorvane_env_header h{};
            std::memcpy(h.conversation_id, kConv, 16);
            std::memcpy(h.sender_id, kBob, 16);
            h.counter = i + 1;
            h.time = 1000 + i;
            must(quorvane_random(h.salt, 16) == 0);
            h.salt[0] |= 1;
            Bytes env(body.size() + QV_ENV_OVERHEAD);
            size_t n = 0;
            must(quorvane_env_seal(key, &h, body.data(), body.size(), env.data(), env.size(), &n) == 0);
            conv_envs.push_back(env);
        }
        // the device-session stream: X3DH from the published set, then one chain
        auto *set = new quorvane_dm_prekeys{};
        auto *b = new quorvane_dm_bag{};
        must(quorvane_dm_prekeys_generate(set, keys.device_x25519_priv, keys.device_x25519_pub, keys.device_ed25519_priv,
                                          keys.device_ed25519_pub, 1) == 0);
        quorvane_dm_bundle bu{};
        std::memcpy(bu.dev_x, set->dev_x_pub, 32);
        std::memcpy(bu.dev_ed, set->dev_ed_pub, 32);
        bu.spk_id = set->spk_id;
        std::memcpy(bu.spk, set->spk_pub, 32);
        std::memcpy(bu.sig, set->spk_sig, 64);
        b->next_id = 18;
        quorvane_dm_bag_push(b, set);
        bag.resize(QV_DM_BAG_SER_MAX);
        size_t bl = 0;
        must(quorvane_dm_bag_serialize(b, bag.data(), bag.size(), &bl) == 0);
        bag.resize(bl);
        quorvane_ratchet *s = nullptr, *r = nullptr;
        uint8_t pre[QV_DM_PREAMBLE_LEN];
        must(quorvane_dm_begin_initiator(&s, pre, sx, sender_dev, &bu) == 0);
        for (size_t i = 0; i < kDevEnvelopes; i++) {
            Bytes msg(body.size() + QV_RATCHET_OVERHEAD), env(QV_DEV_ENV_FIXED + QV_DM_PREAMBLE_LEN + msg.size());
            size_t ml = 0, el = 0;
            quorvane_env_header h{};
            std::memcpy(h.conversation_id, kConv, 16);
            std::memcpy(h.sender_id, kBob, 16);
            h.counter = i + 1;
            h.time = 1000 + i;
            must(quorvane_ratchet_encrypt(s, body.data(), body.size(), msg.data(), msg.size(), &ml) == 0 &&
                 cs_dev_envelope(&h, 1, sender_dev, pre, msg.data(), ml, env.data(), env.size(), &el) == 0);
            env.resize(el);
            dev_envs.push_back(env);
        }
        must(quorvane_dm_bag_begin_responder(&r, pre, QV_DM_PREAMBLE_LEN, sender_dev, b) == 0);
        Bytes pt(QV_PT_MAX);
        size_t pl = 0;
        must(quorvane_ratchet_decrypt(r, dev_envs[0].data() + QV_DEV_ENV_FIXED + QV_DM_PREAMBLE_LEN,
                                      dev_envs[0].size() - QV_DEV_ENV_FIXED - QV_DM_PREAMBLE_LEN, pt.data(), pt.size(), &pl) == 0);
        responder_state.resize(QV_RATCHET_SER_MAX);
        size_t sl = 0;
        must(quorvane_ratchet_serialize(r, responder_state.data(), responder_state.size(), &sl) == 0);
        responder_state.resize(sl);
        quorvane_ratchet_free(&s);
        quorvane_ratchet_free(&r);
        quorvane_dm_prekeys_wipe(set);
        quorvane_dm_bag_wipe(b);
        delete set;
        delete b;
    }
};

Stream &stream() {
    static Stream s;
    return s;
}

// A fresh store with the conversation, its members and this device's prekey bag,
// and a signed-in session over it.
struct Receiver {
    qv_bench::ScratchDir dir;
    std::string pin = dir.dir + "/pin";
    quorvane_msgstore *ms = nullptr;
    quorvane_cs *cs = nullptr;
    explicit Receiver(Stream &s) {
        const uint8_t secret[32] = {5};
        ms = quorvane_msgstore_open((dir.dir + "/store").c_str(), secret);
        uint8_t users[2][16], ids[2][32] = {}, second[2][32] = {}, x[1][32], ed[1][32];
        const uint8_t roles[2] = {0, 0};
        std::memcpy(users[0], kBob, 16);
        std::memcpy(users[1], kAlice, 16);
        std::memcpy(x[0], s.sender_dev, 32);
        std::memcpy(ed[0], s.sender_ed, 32);
        must(ms && quorvane_msgstore_put_conv(ms, kConv, s.key) == 0 &&
             quorvane_msgstore_set_members(ms, kConv, users, ids, second, roles, 2) == 0 &&
             quorvane_msgstore_set_member_devices(ms, kConv, users[0], x, ed, 1) == 0 &&
             quorvane_msgstore_put_prekeys(ms, s.bag.data(), s.bag.size()) == 0);
        cs = quorvane_cs_test_receiver(ms, &s.keys, "alice", kAlice, pin.c_str(), nullptr, 0);
        must(cs != nullptr);
    }
    ~Receiver() {
        quorvane_cs_free(cs);
        quorvane_msgstore_close(ms);
    }
    void drain() {
        while (quorvane_cs_poll_notification(cs, nullptr) == 1) {
        }
    }
};

void BM_DeliverConvKey(benchmark::State &state) {
    Stream &s = stream();
    for (auto _ : state) {
        state.PauseTiming();
        auto r = std::make_unique<Receiver>(s);
        state.ResumeTiming();
        quorvane_msgstore_batch_begin(r->ms);
        uint64_t pos = 0;
        for (const Bytes &e : s.conv_envs) deliver_envelope(r->cs, e.data(), e.size(), ++pos, 0);
        must(quorvane_msgstore_batch_end(r->ms) == 0);
        state.PauseTiming();
        must(quorvane_msgstore_msg_count(r->ms, kConv) >= 1);
        r->drain();
        r.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(int64_t(state.iterations() * kConvEnvelopes));
}

void BM_ConvKeyOpenFloor(benchmark::State &state) {
    Stream &s = stream();
    Bytes pt(QV_PT_MAX);
    for (auto _ : state)
        for (const Bytes &e : s.conv_envs) {
            size_t n = 0;
            must(quorvane_env_open(s.key, e.data(), e.size(), nullptr, pt.data(), pt.size(), &n) == 0);
        }
    state.SetItemsProcessed(int64_t(state.iterations() * kConvEnvelopes));
}

// The first envelope (its preamble answered) is delivered untimed; the rest of
// the stream opens on the held session, each stepped record stored.
void BM_DeliverDeviceSession(benchmark::State &state) {
    Stream &s = stream();
    for (auto _ : state) {
        state.PauseTiming();
        auto r = std::make_unique<Receiver>(s);
        deliver_envelope(r->cs, s.dev_envs[0].data(), s.dev_envs[0].size(), 1, 0);
        state.ResumeTiming();
        quorvane_msgstore_batch_begin(r->ms);
        for (size_t i = 1; i < kDevEnvelopes; i++) deliver_envelope(r->cs, s.dev_envs[i].data(), s.dev_envs[i].size(), i + 1, 0);
        must(quorvane_msgstore_batch_end(r->ms) == 0);
        state.PauseTiming();
        must(quorvane_msgstore_msg_count(r->ms, kConv) == kDevEnvelopes);
        r->drain();
        r.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(int64_t(state.iterations() * (kDevEnvelopes - 1)));
}

void BM_RatchetDecryptFloor(benchmark::State &state) {
    Stream &s = stream();
    Bytes pt(QV_PT_MAX);
    const size_t off = QV_DEV_ENV_FIXED + QV_DM_PREAMBLE_LEN;
    for (auto _ : state) {
        state.PauseTiming();
        quorvane_ratchet *r = nullptr;
        must(quorvane_ratchet_deserialize(&r, s.responder_state.data(), s.responder_state.size()) == 0);
        state.ResumeTiming();
        for (size_t i = 1; i < kDevEnvelopes; i++) {
            size_t n = 0;
            must(quorvane_ratchet_decrypt(r, s.dev_envs[i].data() + off, s.dev_envs[i].size() - off, pt.data(), pt.size(), &n) == 0);
        }
        state.PauseTiming();
        quorvane_ratchet_free(&r);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(int64_t(state.iterations() * (kDevEnvelopes - 1)));
}

}  // namespace

BENCHMARK(BM_DeliverConvKey)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ConvKeyOpenFloor)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeliverDeviceSession)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RatchetDecryptFloor)->Unit(benchmark::kMillisecond);
