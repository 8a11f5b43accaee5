// Initials of any instance name into an exactly sized buffer (so a write past
// it is caught): at most two characters, always terminated, "?" when nothing fits.
#include "client_instbar.h"

#include <cstring>
#include <string>

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    size_t cap = data[0] % 16;
    std::string name(reinterpret_cast<const char *>(data + 1), size - 1);
    char *out = new char[cap ? cap : 1];
    quorvane_instbar_initials(name.c_str(), out, cap);
    if (cap) {
        size_t len = strnlen(out, cap);
        check(len < cap && len <= 8);
        if (cap > 1) check(len > 0);
    }
    delete[] out;
    return 0;
}
