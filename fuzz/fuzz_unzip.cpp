// Compressed-string readers (zlib and LZ4 behind the 4-byte size header),
// one target per algorithm chosen by FUZZ_UNZIP. Whatever the input, a
// result fits its declared size and is terminated, a declared size above the
// limit is never accepted, and what opens compresses and opens back to the
// same bytes.
#include "n_lz4.h"
#include "n_zlib.h"

#include <cstring>

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

#define FUZZ_PICK_zlib zip_nstr, unzip_nstr
#define FUZZ_PICK_lz4 zip4_nstr, unzip4_nstr
#define FUZZ_PICK2(x) FUZZ_PICK_##x
#define FUZZ_PICK(x) FUZZ_PICK2(x)

struct Pair {
    N_STR *(*zip)(N_STR *);
    N_STR *(*unzip)(N_STR *);
};
const Pair kAlgo{FUZZ_PICK(FUZZ_UNZIP)};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    N_STR *in = nullptr;
    if (size == 0) in = new_nstr(0);
    else if (!char_to_nstr_ex(reinterpret_cast<const char *>(data), size, &in)) return 0;
    N_STR *out = kAlgo.unzip(in);
    if (out) {
        check(size >= N_ZIP_HEADER_LEN);
        const uint32_t declared = n_zip_header_get(in->data);
        check(declared >= 1 && declared <= N_ZIP_MAX_ORIGINAL);
        check(out->written <= declared && out->data[out->written] == '\0');
        if (out->written > 0) {
            N_STR *again = kAlgo.zip(out);
            check(again != nullptr);
            N_STR *back = kAlgo.unzip(again);
            check(back && back->written == out->written && std::memcmp(back->data, out->data, out->written) == 0);
            free_nstr_nolog(&back);
            free_nstr_nolog(&again);
        }
        free_nstr_nolog(&out);
    }
    free_nstr_nolog(&in);
    return 0;
}
