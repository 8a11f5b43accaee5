// Muted-instance file loader on any file content. Whatever it reads must
// survive a save and a load unchanged. The files live in a private scratch
// directory.
#include "client_instbar.h"
#include "fuzz_scratch.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string in = fuzz_scratch_file("in"), out = fuzz_scratch_file("out");
    FILE *f = fopen(in.c_str(), "wb");
    if (!f) return 0;
    bool written = size == 0 || fwrite(data, 1, size, f) == size;
    if (fclose(f) != 0 || !written) return 0;

    uint8_t ids[QV_INSTMUTE_MAX][16];
    size_t n = quorvane_instmute_load(in.c_str(), ids, QV_INSTMUTE_MAX);
    unlink(in.c_str());
    check(n <= QV_INSTMUTE_MAX);
    if (quorvane_instmute_save(out.c_str(), ids, n) != 0) return 0;
    uint8_t back[QV_INSTMUTE_MAX][16];
    check(quorvane_instmute_load(out.c_str(), back, QV_INSTMUTE_MAX) == n);
    check(std::memcmp(ids, back, n * sizeof ids[0]) == 0);
    unlink(out.c_str());
    return 0;
}
