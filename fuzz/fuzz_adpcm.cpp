// Voice-stream decoder over arbitrary bytes: a stream is decoded only when its
// header's count fits the bytes; decoding fills exactly that many samples; the
// samples encode again to a stream of the same length that decodes to itself
// when fed back (the codec is deterministic), and peaks stay within their slots.
#include "quorvane_voice.h"

#include <cstring>
#include <vector>

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const uint32_t n = quorvane_adpcm_decoded_samples(data, size);
    if (n == 0) {
        int16_t one;
        check(quorvane_adpcm_decode(data, size, &one, 1) == 0);
        return 0;
    }
    check(quorvane_adpcm_encoded_len(n) <= size);
    std::vector<int16_t> out(n + 1, 0x5a5a);
    check(quorvane_adpcm_decode(data, size, out.data(), n - 1) == 0);
    check(quorvane_adpcm_decode(data, size, out.data(), n) == n);
    check(out[n] == 0x5a5a);
    std::vector<uint8_t> again(quorvane_adpcm_encoded_len(n));
    check(quorvane_adpcm_encode(out.data(), n, again.data(), again.size()) == again.size());
    std::vector<int16_t> back(n);
    check(quorvane_adpcm_decode(again.data(), again.size(), back.data(), n) == n);
    std::vector<int16_t> twice(n);
    check(quorvane_adpcm_decode(again.data(), again.size(), twice.data(), n) == n);
    check(back == twice);
    std::vector<uint8_t> peaks(64, 0);
    const size_t m = quorvane_voice_peaks(out.data(), n, peaks.data(), peaks.size());
    check(m == (n < 64 ? n : 64));
    return 0;
}
