#include "quorvane_voice.h"

#include <cstring>

#include "quorvane_bytes.h"

using namespace qv_bytes;

namespace {

constexpr int16_t STEPS[QV_ADPCM_STEP_COUNT] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,    28,
    31,    34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,   118,
    130,   143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,   494,
    544,   598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,
    2272,  2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,
    9493,  10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
constexpr int8_t INDEX_ADJUST[8] = {-1, -1, -1, -1, 2, 4, 6, 8};

// Predictor and step index; encoder and decoder move it the same way, so the
// decoder reproduces exactly what the encoder predicted.
struct adpcm_state {
    int predictor = 0;
    int index = 0;

    // Applies one code and returns the sample it stands for.
    int16_t apply(unsigned code) {
        const int step = STEPS[index];
        int delta = step >> 3;
        if (code & 4) delta += step;
        if (code & 2) delta += step >> 1;
        if (code & 1) delta += step >> 2;
        predictor += (code & 8) ? -delta : delta;
        if (predictor > 32767) predictor = 32767;
        if (predictor < -32768) predictor = -32768;
        index += INDEX_ADJUST[code & 7];
        if (index < 0) index = 0;
        if (index > QV_ADPCM_STEP_COUNT - 1) index = QV_ADPCM_STEP_COUNT - 1;
        return static_cast<int16_t>(predictor);
    }

    unsigned encode(int16_t sample) {
        const int step = STEPS[index];
        int diff = sample - predictor;
        unsigned code = 0;
        if (diff < 0) {
            code = 8;
            diff = -diff;
        }
        if (diff >= step) {
            code |= 4;
            diff -= step;
        }
        if (diff >= step >> 1) {
            code |= 2;
            diff -= step >> 1;
        }
        if (diff >= step >> 2) code |= 1;
        // the delta apply() adds is exactly the one the steps above chose
        apply(code);
        return code;
    }
};

}  // namespace

size_t quorvane_adpcm_encoded_len(uint64_t count) {
    return static_cast<size_t>(QV_ADPCM_HEADER_LEN + count / 2 + (count & 1));
}

size_t quorvane_adpcm_encode(const int16_t *samples, size_t count, uint8_t *out, size_t cap) {
    if (!out || (!samples && count) || count > QV_ADPCM_COUNT_MAX) return 0;
    const size_t need = quorvane_adpcm_encoded_len(count);
    if (cap < need) return 0;
    std::memset(out, 0, need);
    put_be32(out, static_cast<uint32_t>(count));
    adpcm_state st;
    uint8_t *codes = out + QV_ADPCM_HEADER_LEN;
    for (size_t i = 0; i < count; i++) {
        const unsigned code = st.encode(samples[i]);
        codes[i / 2] |= static_cast<uint8_t>((i & 1) ? code << 4 : code);
    }
    return need;
}

uint32_t quorvane_adpcm_decoded_samples(const uint8_t *stream, size_t len) {
    if (!stream || len < QV_ADPCM_HEADER_LEN) return 0;
    const uint32_t n = get_be32(stream);
    // a header that claims more than the bytes hold is refused here, before a
    // caller sizes a buffer by it
    return quorvane_adpcm_encoded_len(n) > len ? 0 : n;
}

uint32_t quorvane_adpcm_decode(const uint8_t *stream, size_t len, int16_t *out, size_t cap) {
    const uint32_t n = quorvane_adpcm_decoded_samples(stream, len);
    if (n == 0 || !out || cap < n) return 0;
    adpcm_state st;
    const uint8_t *codes = stream + QV_ADPCM_HEADER_LEN;
    for (uint32_t i = 0; i < n; i++) {
        const unsigned byte = codes[i / 2];
        out[i] = st.apply((i & 1) ? byte >> 4 : byte & 15);
    }
    return n;
}

size_t quorvane_voice_peaks(const int16_t *samples, size_t count, uint8_t *out, size_t slots) {
    if (!samples || !out || count == 0 || slots == 0) return 0;
    const size_t m = slots < count ? slots : count;
    for (size_t j = 0; j < m; j++) {
        // 128-bit products: j x count cannot wrap whatever the count
        size_t from = static_cast<size_t>(static_cast<unsigned __int128>(j) * count / m);
        size_t to = static_cast<size_t>(static_cast<unsigned __int128>(j + 1) * count / m);
        if (to <= from) to = from + 1;
        if (to > count) to = count;
        int peak = 0;
        for (size_t i = from; i < to; i++) {
            const int a = samples[i] < 0 ? -samples[i] : samples[i];
            if (a > peak) peak = a;
        }
        peak >>= 7;
        out[j] = static_cast<uint8_t>(peak > 255 ? 255 : peak);
    }
    return m;
}
