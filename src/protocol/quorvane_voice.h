// Voice notes: 16-bit mono samples as an IMA ADPCM stream (a 4-byte big-endian
// sample count, then two 4-bit codes a byte, low half first) and the strip of
// waveform peaks the chat view draws. Every stream starts from predictor 0 and
// step index 0; nothing else is stored. Results are counts; 0 means refused.
// All buffers are the caller's; nothing here allocates.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t   QV_ADPCM_HEADER_LEN  = 4;
constexpr uint64_t QV_ADPCM_COUNT_MAX   = 4294967295u;  // the header holds 32 bits
constexpr int      QV_ADPCM_STEP_COUNT  = 89;
constexpr const char *QV_ADPCM_MEDIA_TYPE = "audio/x-adpcm";

[[nodiscard]] size_t   quorvane_adpcm_encoded_len(uint64_t count);                                        // 4 + ceil(count / 2)
[[nodiscard]] size_t   quorvane_adpcm_encode(const int16_t *samples, size_t count, uint8_t *out, size_t cap);  // bytes written
[[nodiscard]] uint32_t quorvane_adpcm_decoded_samples(const uint8_t *stream, size_t len);                  // N; 0 when the codes do not fit in len
[[nodiscard]] uint32_t quorvane_adpcm_decode(const uint8_t *stream, size_t len, int16_t *out, size_t cap);  // N; cap in samples
[[nodiscard]] size_t   quorvane_voice_peaks(const int16_t *samples, size_t count, uint8_t *out, size_t slots);  // min(slots, count)
