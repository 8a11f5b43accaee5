// The signed-in session's handling of server frames, on a real message store
// holding a conversation key and a device session. The input is a run of
// records: a selector byte picking the frame type, a 16-bit big-endian length,
// then the payload. Envelope frames are left to the receive path's own target.
// Each input also finds a blob transfer running (a download into a small
// buffer for an even length, an upload for an odd one) and an emoji-pack
// update for pack 0, past a signed manifest whose one page "p" is being
// fetched when bit 1 of the length is set.
#include "client_emojicache.h"
#include "client_session.h"
#include "dm_support.h"
#include "fuzz_scratch.h"
#include "fuzz_session.h"
#include "n_hex.h"
#include "quorvane_crypto.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

const uint8_t kTypes[] = {135, 136, 139, 150, 151, 154, 176, 10, 140, 141, 143, 144, 145, 146, 147};
const uint8_t kSecret[32] = {3, 1, 4, 1, 5};
const uint8_t kConv[16] = {0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0};
const uint8_t kOwn[16] = {0xA1, 0xA1, 0xA1, 0xA1};
const uint8_t kBlob[16] = {0xB1, 0xB1, 0xB1, 0xB1};
const uint8_t kPage[16] = {'p', 'a', 'g', 'e'};  // the one page of the signed pack

struct Fixture {
    quorvane_device_keys keys{};
    quorvane_msgstore *ms = nullptr;
    uint8_t conv_key[32];
    std::vector<uint8_t> record;
    uint8_t peer_dev[32];
    std::string pin;
    quorvane_emoji_cache *emoji[2];
    std::vector<uint8_t> manifest_frame;  // frame 143 for pack 0, signed with the key the session takes for the server's
    uint8_t upload[100];
    uint8_t download[64];
};

std::vector<uint8_t> signed_manifest(const quorvane_device_keys &keys) {
    uint8_t hash[64];
    char hash_hex[129];
    if (quorvane_blake2b(kPage, sizeof kPage, hash) != 0 || n_hex_encode_to(hash_hex, sizeof hash_hex, hash, sizeof hash) != 128)
        __builtin_trap();
    const std::string text = std::string("quorvane-emoji-pack-v1\nversion 1\ncell 16\npage p ") + hash_hex + " 8 8\nentry smile 0 0 face\n";
    uint8_t sig[64];
    if (quorvane_ed25519_sign(keys.device_ed25519_priv, reinterpret_cast<const uint8_t *>(text.data()), text.size(), sig) != 0)
        __builtin_trap();
    std::vector<uint8_t> payload(QV_FRAME_MAX_PAYLOAD), frame(QV_FRAME_MAX_PAYLOAD + QV_FRAME_HEADER_LEN);
    quorvane_tlv_writer w;
    quorvane_tlv_writer_init(&w, payload.data(), payload.size());
    quorvane_tlv_put_u8(&w, 76, 0);
    quorvane_tlv_put(&w, 31, sig, sizeof sig);
    quorvane_tlv_put(&w, 30, text.data(), text.size());
    size_t plen = 0, flen = 0;
    if (quorvane_tlv_writer_finish(&w, &plen) != 0 || quorvane_frame_encode(143, payload.data(), plen, frame.data(), frame.size(), &flen) != 0)
        __builtin_trap();
    frame.resize(flen);
    return frame;
}

Fixture *setup() {
    auto *f = new Fixture;
    const std::string dir = fuzz_scratch_file("store");
    f->pin = fuzz_scratch_file("pin");
    if (quorvane_client_store_build(nullptr, &f->keys) != 0 || mkdir(dir.c_str(), 0700) != 0) __builtin_trap();
    f->ms = quorvane_msgstore_open(dir.c_str(), kSecret);
    if (!f->ms) __builtin_trap();
    std::memset(f->conv_key, 0x4B, sizeof f->conv_key);
    // a device session with a peer device, as an initiator start leaves it
    quorvane_device_keys peer{};
    quorvane_dm_prekeys set{};
    if (quorvane_client_store_build(nullptr, &peer) != 0 ||
        quorvane_dm_prekeys_generate(&set, peer.device_x25519_priv, peer.device_x25519_pub, peer.device_ed25519_priv,
                                     peer.device_ed25519_pub, 1) != 0)
        __builtin_trap();
    quorvane_peer_device d{};
    d.bundle = qvdm::bundle_of(set, -1);
    d.has_spk = 1;
    std::memcpy(f->peer_dev, set.dev_x_pub, 32);
    if (quorvane_msgstore_put_conv(f->ms, kConv, f->conv_key) != 0 || cs_dm_init_device(f->ms, &f->keys, kConv, &d, 0, 1) != 0)
        __builtin_trap();
    f->record.resize(QV_SR_MAX);
    f->record.resize(quorvane_msgstore_get_ratchet(f->ms, kConv, f->peer_dev, f->record.data(), f->record.size()));
    if (f->record.empty()) __builtin_trap();
    quorvane_dm_prekeys_wipe(&set);
    quorvane_device_keys_cleanse(&peer);
    for (int i = 0; i < 2; i++) {
        f->emoji[i] = quorvane_emoji_cache_open(fuzz_scratch_file(i ? "emoji1" : "emoji0").c_str());
        if (!f->emoji[i]) __builtin_trap();
    }
    f->manifest_frame = signed_manifest(f->keys);
    std::memset(f->upload, 0x75, sizeof f->upload);
    return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Fixture *f = setup();
    // every input starts from the same store contents
    if (quorvane_msgstore_put_conv(f->ms, kConv, f->conv_key) != 0 ||
        quorvane_msgstore_put_ratchet(f->ms, kConv, f->peer_dev, f->record.data(), f->record.size()) != 0)
        return 0;
    quorvane_cs *cs = fuzz_signed_in(&f->keys, f->ms, f->pin.c_str(), kOwn);
    if (!cs) return 0;
    for (uint64_t i = 0; i < 3; i++) (void)cs_pending_push(&cs->authed.pending, kConv, i + 1);
    cs->authed.prekeys_in_flight = 1;
    cs->cfg.emoji_pack0 = f->emoji[0];
    cs->cfg.emoji_pack1 = f->emoji[1];
    std::memcpy(cs->server_key, f->keys.device_ed25519_pub, 32);
    const int armed = (size & 1) ? quorvane_cs_blob_upload(cs, f->upload, sizeof f->upload, nullptr)
                                 : quorvane_cs_blob_download(cs, kBlob, f->download, sizeof f->download);
    if (armed != 0 || quorvane_cs_pack_sync(cs, 0) != 0 || quorvane_cs_pack_sync(cs, 1) != 0) __builtin_trap();
    blob_pump(cs);
    emoji_pump(cs);
    if (size & 2) handle_authed_frame(cs, f->manifest_frame.data(), f->manifest_frame.size());
    fuzz_frames(cs, kTypes, data, size);
    blob_pump(cs);
    emoji_pump(cs);
    quorvane_prekey_reply r;
    while (quorvane_cs_take_prekeys(cs, &r) == 1) {}
    quorvane_key_request k;
    while (quorvane_cs_take_key_request(cs, &k) == 1) {}
    if (cs->authed.prekey_count > QV_PREKEY_RING || cs->authed.result_count > QV_SEND_RESULTS ||
        cs->authed.key_request_count > QV_KEY_REQUESTS || cs->authed.pending.count > QV_PENDING_MAX)
        __builtin_trap();
    const cs_blob_state &b = cs->transfer.blob;
    const cs_emoji_state &e = cs->transfer.emoji;
    if (b.sent > b.total || b.received > b.capacity || e.page_got > e.page_cap || e.page_cap > QV_EMOJI_PAGE_LIMIT ||
        (e.page_active && !e.updating) || e.page[QV_EMOJI_PAGE_NAME_MAX] != 0)
        __builtin_trap();
    quorvane_cs_free(cs);
    // a pack left half fetched must not keep its cache staging for the next input
    if (f->emoji[0]->staging || f->emoji[1]->staging) __builtin_trap();
    return 0;
}
