// Conversions between 16-bit PCM and the engine's float scale (full scale 1.0).
// Strides are in bytes and samples are copied bytewise, so strided, reversed
// and unaligned arrays are read exactly like a contiguous copy.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace orlune {

inline constexpr float kInt16ToFloat = 0.000030517578125f;  // 2^-15: exact in float32
inline constexpr float kFloatToInt16 = 32768.0f;

inline void pcm16_to_float(const char* input, std::ptrdiff_t stride, std::size_t count,
                           float* output) {
    for (std::size_t i = 0; i < count; ++i) {
        std::int16_t sample;
        std::memcpy(&sample, input + static_cast<std::ptrdiff_t>(i) * stride, sizeof sample);
        output[i] = static_cast<float>(sample) * kInt16ToFloat;
    }
}

// Scales back by 32768, clips to the int16 range and truncates toward zero;
// NaN becomes 0 and infinities clip like any other out-of-range value.
inline std::int16_t float_to_pcm16(float value) {
    const float scaled = value * kFloatToInt16;
    if (!(scaled == scaled)) return 0;
    if (scaled >= 32767.0f) return 32767;
    if (scaled <= -32768.0f) return -32768;
    return static_cast<std::int16_t>(scaled);
}

inline void float_to_pcm16(const float* input, std::size_t count, char* output,
                           std::ptrdiff_t stride) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::int16_t sample = float_to_pcm16(input[i]);
        std::memcpy(output + static_cast<std::ptrdiff_t>(i) * stride, &sample, sizeof sample);
    }
}

}  // namespace orlune
