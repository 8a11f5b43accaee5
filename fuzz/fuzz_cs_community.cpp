// The signed-in session's handling of the community answers (channel
// directory, join requests, instances, invites, members, avatars, retention,
// roles, administration lists and the end of a back-fill), on a real message
// store. The first byte arms a back-fill or not; then a run of records: a
// selector byte picking the frame type, a 16-bit big-endian length, then the
// payload. Every list a getter hands out must stay within its bounds and
// every kept text must stay terminated.
#include "client_session.h"
#include "fuzz_scratch.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <vector>

namespace {

const uint8_t kTypes[] = {148, 152, 153, 155, 156, 157, 163, 164, 165, 166, 167, 168, 169, 171};
const uint8_t kSecret[32] = {2, 7, 1, 8};
const uint8_t kConv[16] = {0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0};
const uint8_t kOwn[16] = {0xA1, 0xA1, 0xA1, 0xA1};

struct Fixture {
    quorvane_device_keys keys{};
    quorvane_msgstore *ms = nullptr;
    std::string pin;
};

Fixture *setup() {
    auto *f = new Fixture;
    const std::string dir = fuzz_scratch_file("store");
    f->pin = fuzz_scratch_file("pin");
    if (quorvane_client_store_build(nullptr, &f->keys) != 0 || mkdir(dir.c_str(), 0700) != 0) __builtin_trap();
    f->ms = quorvane_msgstore_open(dir.c_str(), kSecret);
    if (!f->ms) __builtin_trap();
    const uint8_t key[32] = {0x4B};
    if (quorvane_msgstore_put_conv(f->ms, kConv, key) != 0) __builtin_trap();
    return f;
}

void terminated(const char *s, size_t cap) {
    if (!memchr(s, 0, cap)) __builtin_trap();
}

void check(quorvane_cs *cs) {
    const cs_community_state &c = cs->community;
    if (c.instance_count > QV_CS_INSTANCES || c.invite_count > QV_CS_INVITES || c.member_count > QV_CS_INST_MEMBERS ||
        c.second_count > QV_CS_INST_SECOND || c.avatar_len > QV_CS_AVATAR_MAX || c.dir_count > QV_CS_CHANNEL_DIR ||
        c.join_count > QV_CS_JOIN_REQS || c.rejoin_count > QV_CS_JOIN_REQS || c.admin_count > QV_CS_ADMIN_ENTRIES ||
        c.backfill_flag > 1)
        __builtin_trap();
    static quorvane_channel_dir_entry dir[QV_CS_CHANNEL_DIR];
    const size_t nd = quorvane_cs_channel_dir_copy(cs, dir, QV_CS_CHANNEL_DIR);
    for (size_t i = 0; i < nd; i++) {
        terminated(dir[i].name, sizeof dir[i].name);
        const size_t n = strlen(dir[i].name);
        if (n && quorvane_listing_name_valid(dir[i].name, n) != 1) __builtin_trap();
    }
    static quorvane_admin_entry admin[QV_CS_ADMIN_ENTRIES];
    const size_t na = quorvane_cs_pending_copy(cs, admin, QV_CS_ADMIN_ENTRIES);
    for (size_t i = 0; i < na; i++) terminated(admin[i].name, sizeof admin[i].name);
    static uint8_t roles[QV_CS_INST_MEMBERS];
    const size_t nm = quorvane_cs_instance_members_copy(cs, nullptr, roles, QV_CS_INST_MEMBERS, nullptr, nullptr, 0);
    for (size_t i = 0; i < nm; i++)
        if (roles[i] > QV_INSTDIR_ROLE_MAX) __builtin_trap();
    static quorvane_member peers[QV_CS_JOIN_REQS];
    (void)quorvane_cs_join_reqs_copy_peers(cs, peers, QV_CS_JOIN_REQS);
    uint8_t *img = nullptr;
    size_t len = 0;
    if (quorvane_cs_take_instance_avatar(cs, nullptr, &img, &len) == 1) {
        if ((img == nullptr) != (len == 0)) __builtin_trap();
        std::free(img);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Fixture *f = setup();
    if (size < 1) return 0;
    quorvane_cs_config c{};
    c.host = "127.0.0.1";
    c.port = "1";
    c.user = "fuzz";
    c.password = "pw";
    c.pin_path = f->pin.c_str();
    c.keys = &f->keys;
    c.store = f->ms;
    quorvane_cs *cs = quorvane_cs_new(&c);
    if (!cs) return 0;
    quorvane_cs_test_signed_in(cs, kOwn);
    if (data[0] & 1) (void)quorvane_cs_backfill(cs, kConv, 1000, 0);
    std::vector<uint8_t> frame;
    size_t pos = 1;
    while (size - pos >= 3) {
        const uint8_t type = kTypes[data[pos] % sizeof kTypes];
        size_t len = static_cast<size_t>(data[pos + 1]) << 8 | data[pos + 2];
        pos += 3;
        if (len > size - pos) len = size - pos;
        frame.resize(QV_FRAME_HEADER_LEN + len);
        size_t fl = 0;
        if (quorvane_frame_encode(type, data + pos, len, frame.data(), frame.size(), &fl) == 0) handle_authed_frame(cs, frame.data(), fl);
        pos += len;
        check(cs);
    }
    if (quorvane_cs_backfill_inflight(cs) == 0 && quorvane_cs_backfill_sink_armed(cs)) __builtin_trap();
    quorvane_cs_free(cs);
    return 0;
}
