// Conversions between 16-bit PCM and the engine's float scale (full scale 1.0).
// Strides are in bytes and samples are copied bytewise, so strided, reversed
// and unaligned arrays are read exactly like a contiguous copy; the contiguous
// case gets its own loop so that the compiler can vectorise it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace orlune {

inline constexpr float kInt16ToFloat = 0.000030517578125f;  // 2^-15: exact in float32
inline constexpr float kFloatToInt16 = 32768.0f;
inline constexpr std::ptrdiff_t kPcm16Size = sizeof(std::int16_t);

// Scales back by 32768, clips to the int16 range and truncates toward zero;
// NaN becomes 0 and infinities clip like any other out-of-range value.
inline std::int16_t float_to_pcm16(float value) {
    float scaled = value * kFloatToInt16;
    scaled = (scaled == scaled) ? scaled : 0.0f;
    scaled = scaled < -32768.0f ? -32768.0f : scaled;
    scaled = scaled > 32767.0f ? 32767.0f : scaled;
    return static_cast<std::int16_t>(scaled);
}

namespace detail {

template <std::ptrdiff_t Stride>
void pcm16_to_float(const char* input, std::ptrdiff_t stride, std::size_t count, float* output) {
    const std::ptrdiff_t step = Stride != 0 ? Stride : stride;
    for (std::size_t i = 0; i < count; ++i) {
        std::int16_t sample;
        std::memcpy(&sample, input + static_cast<std::ptrdiff_t>(i) * step, sizeof sample);
        output[i] = static_cast<float>(sample) * kInt16ToFloat;
    }
}

template <std::ptrdiff_t Stride>
void float_to_pcm16(const float* input, std::size_t count, char* output, std::ptrdiff_t stride) {
    const std::ptrdiff_t step = Stride != 0 ? Stride : stride;
    for (std::size_t i = 0; i < count; ++i) {
        const std::int16_t sample = orlune::float_to_pcm16(input[i]);
        std::memcpy(output + static_cast<std::ptrdiff_t>(i) * step, &sample, sizeof sample);
    }
}

}  // namespace detail

inline void pcm16_to_float(const char* input, std::ptrdiff_t stride, std::size_t count,
                           float* output) {
    if (stride == kPcm16Size) {
        detail::pcm16_to_float<kPcm16Size>(input, stride, count, output);
    } else {
        detail::pcm16_to_float<0>(input, stride, count, output);
    }
}

inline void float_to_pcm16(const float* input, std::size_t count, char* output,
                           std::ptrdiff_t stride) {
    if (stride == kPcm16Size) {
        detail::float_to_pcm16<kPcm16Size>(input, count, output, stride);
    } else {
        detail::float_to_pcm16<0>(input, count, output, stride);
    }
}

}  // namespace orlune
