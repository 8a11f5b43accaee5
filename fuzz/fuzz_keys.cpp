// Decoders of outside input among the password and recovery formats, one per target
// (FUZZ_KEYS): the key file "HRK1" read from disk, the escrow record "QVE1", the backup
// header "QVB1", sealed stream and inner record "QVBI", and the recovery-key and
// reset-code texts. Whatever is accepted must encode back to itself; whatever fails
// must leave nothing decrypted in the output. Derivations stay cheap: a key file is
// opened only when its header asks for a small scrypt cost, and password escrow
// records (at least 2 MiB of scrypt) are only parsed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "quorvane_backup.h"
#include "quorvane_crypto.h"
#include "quorvane_escrow.h"
#include "quorvane_keyfile.h"
#include "fuzz_scratch.h"

namespace {

// The fixed secrets the seed corpus was made with.
struct Fixed {
    uint8_t rk[32], salt[16], seed[32], pub[32];
    Fixed() {
        for (int i = 0; i < 32; i++) rk[i] = static_cast<uint8_t>(i);
        for (int i = 0; i < 16; i++) salt[i] = static_cast<uint8_t>(0x10 + i);
        memset(seed, 7, sizeof seed);
        if (quorvane_ed25519_pub_from_seed(seed, pub) != 0) abort();
    }
};
const Fixed &fixed() {
    static const Fixed f;
    return f;
}
constexpr const char *kUser = "fuzz";
constexpr const char *kPassword = "pw";
constexpr uint64_t kCheapScrypt = 262144;  // 128 x N x r x p bytes worth deriving per input

bool all_wiped_or_untouched(const uint8_t *p, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (p[i] != 0 && p[i] != 0xAA) return false;
    return true;
}

[[maybe_unused]] void fuzz_keyfile(const uint8_t *data, size_t size) {
    static const std::string path = fuzz_scratch_file("keyfile");
    quorvane_keyfile_hdr h;
    const int prc = quorvane_keyfile_parse(data, size, &h);
    if (prc != 0 && prc != -3) __builtin_trap();
    if (prc == 0) {
        if (!quorvane_keyfile_params_ok(&h.params) || h.len < 1 || h.len > QV_KEYFILE_MAX) __builtin_trap();
        if (128ull * h.params.N * h.params.r * h.params.p > kCheapScrypt) return;
    }
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return;
    const bool ok = fwrite(data, 1, size, f) == size;
    if (fclose(f) != 0 || !ok) return;
    std::vector<uint8_t> out(QV_KEYFILE_MAX, 0xAA);
    size_t len = 99999;
    const int rc = quorvane_keyfile_open(path.c_str(), kPassword, out.data(), out.size(), &len);
    unlink(path.c_str());
    if (size < QV_KEYFILE_HDR_LEN) {
        if (rc != -1) __builtin_trap();
    } else if (prc != 0) {
        if (rc != -3) __builtin_trap();  // refused before reading on, before deriving
    } else if (rc == 0) {
        if (len != h.len) __builtin_trap();
    } else {
        if (rc != -1 && rc != -2) __builtin_trap();
        if (len != 99999 || !all_wiped_or_untouched(out.data(), out.size())) __builtin_trap();
    }
}

[[maybe_unused]] void fuzz_escrow(const uint8_t *data, size_t size) {
    const Fixed &fx = fixed();
    quorvane_escrow_params p;
    const int rc = quorvane_escrow_parse(data, size, &p);
    if (rc != 0) {
        if (rc != -3) __builtin_trap();
        uint8_t seed[32];
        if (quorvane_escrow_open_rk(fx.rk, kUser, fx.pub, data, size, seed) != -3) __builtin_trap();
        return;
    }
    // the sealer accepts what the parser accepted and writes the same header
    uint8_t rec[QV_ESCROW_LEN], wrap[32] = {};
    if (quorvane_escrow_seal_raw(&p, wrap, kUser, fx.pub, fx.seed, rec) != 0 ||
        memcmp(rec, data, QV_ESCROW_HDR_LEN) != 0)
        __builtin_trap();
    if (p.kind != QV_ESCROW_KIND_RK) return;
    uint8_t seed[32];
    memset(seed, 0xAA, sizeof seed);
    const int orc = quorvane_escrow_open_rk(fx.rk, kUser, fx.pub, data, size, seed);
    if (orc == 0) {
        if (memcmp(seed, fx.seed, 32) != 0) __builtin_trap();
    } else if (orc != -2 || !all_wiped_or_untouched(seed, sizeof seed) || seed[0] != 0xAA) {
        __builtin_trap();
    }
}

[[maybe_unused]] void fuzz_backup(const uint8_t *data, size_t size) {
    const Fixed &fx = fixed();
    uint8_t salt[16];
    if (quorvane_backup_hdr_parse(data, size, salt) == 0) {
        uint8_t back[QV_BACKUP_HDR_LEN];
        if (quorvane_backup_hdr_encode(salt, back) != 0 || memcmp(back, data, size) != 0) __builtin_trap();
    }
    std::vector<uint8_t> out(size, 0xAA);
    size_t len = 99999;
    const int rc = quorvane_backup_open(fx.rk, fx.salt, data, size, out.data(), out.size(), &len);
    if (rc != 0) {
        if ((rc != -2 && rc != -3) || len != 99999 || !all_wiped_or_untouched(out.data(), out.size()))
            __builtin_trap();
        out.assign(data, data + size);  // the inner record parser also sees raw input
        len = size;
    }
    quorvane_backup_info info;
    const uint8_t *payload = nullptr;
    size_t plen = 0;
    if (quorvane_backup_inner_parse(out.data(), len, &info, &payload, &plen) != 0) return;
    if (payload != out.data() + QV_BACKUP_INNER_HDR_LEN || plen + QV_BACKUP_INNER_HDR_LEN != len || info.direct > 1)
        __builtin_trap();
    std::vector<uint8_t> again(len);
    size_t n = 0;
    if (quorvane_backup_inner_encode(&info, payload, plen, again.data(), again.size(), &n) != 0 || n != len ||
        memcmp(again.data(), out.data(), len) != 0)
        __builtin_trap();
}

[[maybe_unused]] void fuzz_rktext(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);  // stops at an embedded zero
    uint8_t key[32], key2[32];
    const int rc = quorvane_rk_decode(text.c_str(), key);
    if (rc != 0 && rc != -1 && rc != -2) __builtin_trap();
    if (rc == 0) {
        char canon[70];
        if (quorvane_rk_encode(key, canon) != 0 || strlen(canon) != QV_RK_TEXT_LEN ||
            quorvane_rk_decode(canon, key2) != 0 || memcmp(key, key2, 32) != 0)
            __builtin_trap();
    }
    uint8_t code[10], code2[10];
    const int crc = quorvane_reset_code_decode(text.c_str(), code);
    if (crc != 0 && crc != -1) __builtin_trap();
    if (crc == 0) {
        char canon[20];
        if (quorvane_reset_code_encode(code, canon) != 0 || strlen(canon) != QV_RESET_TEXT_LEN ||
            quorvane_reset_code_decode(canon, code2) != 0 || memcmp(code, code2, 10) != 0)
            __builtin_trap();
    }
}

}  // namespace

#define FUZZ_CALL2(name) fuzz_##name
#define FUZZ_CALL(name) FUZZ_CALL2(name)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FUZZ_CALL(FUZZ_KEYS)(data, size);
    return 0;
}
