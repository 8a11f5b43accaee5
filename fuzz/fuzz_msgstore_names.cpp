// Names found in the message store's directory, which anybody with access to
// it may have put there: the ratchet-file name parser and the per-device name
// match, against the exact forms "r_" conv "_" device ".dat" and "r_..." /
// "rp..." ending in "_" device ".dat" written out here by hand.
#include <cstdint>
#include <cstring>
#include <string>

#include "client_msgstore.h"
#include "fuzz_fixed.h"
#include "n_hex.h"

namespace {

std::string hex(const uint8_t *p, size_t n) {
    char buf[2 * 32 + 1];
    fuzz_check(n <= 32 && n_hex_encode_to(buf, sizeof buf, p, n) == 2 * n);
    return std::string(buf, 2 * n);
}
bool lower_hex(const std::string &s) { return s.find_first_not_of("0123456789abcdef") == std::string::npos; }

// The ids the seed corpus names.
const uint8_t *conv() { return fuzz_fixed<0xc1, 0, 16>(); }
const uint8_t *device() { return fuzz_fixed<0xd1, 0, 32>(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 255) return 0;  // longer than any directory entry's name
    const std::string name(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));

    const std::string prefix = "r_" + hex(conv(), 16) + "_";
    const bool ratchet_form = name.size() == prefix.size() + 64 + 4 && name.compare(0, prefix.size(), prefix) == 0 &&
                              name.compare(name.size() - 4, 4, ".dat") == 0 &&
                              lower_hex(name.substr(prefix.size(), 64));
    uint8_t dev[32];
    memset(dev, 0xAA, sizeof dev);
    const int rc = quorvane_ms_ratchet_name_parse(name.c_str(), conv(), dev);
    fuzz_check(rc == (ratchet_form ? 1 : 0));
    if (rc == 1) fuzz_check(prefix + hex(dev, 32) + ".dat" == name);

    const std::string suffix = "_" + hex(device(), 32) + ".dat";
    const bool device_form = name.size() > suffix.size() && name[0] == 'r' && (name[1] == '_' || name[1] == 'p') &&
                             name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
    fuzz_check(quorvane_ms_peer_name_of_device(name.c_str(), device()) == (device_form ? 1 : 0));
    return 0;
}
