// Base64: arbitrary bytes decoded (the string terminated at its length, as
// the decoder requires) and encoded. A decoded result fits the announced room,
// and encoding it gives back the leading run it came from, up to its spare
// bits; any bytes survive an encode and decode unchanged.
#include "n_base64.h"

#include <cstdint>
#include <cstring>

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

struct Owned {
    N_STR *s;
    ~Owned() { free_nstr_ptr_nolog(s); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Owned in{nullptr};
    if (!char_to_nstr_ex(reinterpret_cast<const char *>(data ? data : (const uint8_t *)""), size, &in.s)) return 0;

    const size_t room = n_base64_decode_len(in.s);
    Owned dec{n_base64_decode(in.s)};
    check(dec.s != nullptr);
    check(dec.s->written <= room && dec.s->written < dec.s->length && dec.s->data[dec.s->written] == '\0');
    Owned again{n_base64_encode(dec.s)};
    check(again.s != nullptr);
    Owned back{n_base64_decode(again.s)};
    check(back.s && back.s->written == dec.s->written && memcmp(back.s->data, dec.s->data, dec.s->written) == 0);

    Owned enc{n_base64_encode(in.s)};
    check(enc.s && enc.s->written + 1 == n_base64_encode_len(in.s));
    Owned round{n_base64_decode(enc.s)};
    check(round.s && round.s->written == size && (size == 0 || memcmp(round.s->data, data, size) == 0));
    return 0;
}
