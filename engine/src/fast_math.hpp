// exp and log for the per-bin loops: branch-free polynomial forms that the compiler can
// vectorise, accurate to a few parts in 1e7 (far below what the gain rule can resolve).
#pragma once

#include <bit>
#include <cstdint>

// Marks a function whose loops dominate the run time: on x86-64 it is compiled twice,
// for the baseline and for AVX2, and the loader picks the one the processor runs. Both
// do the same operations in the same order, so they give the same results.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && defined(__linux__)
#define ORLUNE_HOT_LOOPS __attribute__((target_clones("avx2", "default")))
#else
#define ORLUNE_HOT_LOOPS
#endif

namespace orlune::engine {

// min, max and clamp on values rather than references, so that loops using them stay
// free of branches and vectorise.
inline float min_of(float a, float b) { return b < a ? b : a; }
inline float max_of(float a, float b) { return a < b ? b : a; }
inline float clamp_to(float x, float low, float high) { return min_of(max_of(x, low), high); }

// e^x for x in [-87, 88]; arguments outside are clamped to that range.
inline float fast_exp(float x) {
    constexpr float kLog2E = 1.44269504088896341f;
    constexpr float kLn2High = 0.693145751953125f;  // ln 2 split so that n * kLn2High is exact
    constexpr float kLn2Low = 1.42860682030941723212e-6f;
    x = clamp_to(x, -87.0f, 88.0f);
    // Round to the nearest integer by the float-to-int conversion of x*log2(e) +- 0.5.
    const float scaled = x * kLog2E;
    const auto n = static_cast<std::int32_t>(scaled + (scaled >= 0.0f ? 0.5f : -0.5f));
    const float nf = static_cast<float>(n);
    const float r = (x - nf * kLn2High) - nf * kLn2Low;  // |r| <= ln(2) / 2
    // Taylor series of e^r to r^7/7!, evaluated by Horner's rule.
    float p = 1.0f / 5040.0f;
    p = p * r + 1.0f / 720.0f;
    p = p * r + 1.0f / 120.0f;
    p = p * r + 1.0f / 24.0f;
    p = p * r + 1.0f / 6.0f;
    p = p * r + 0.5f;
    p = p * r + 1.0f;
    p = p * r + 1.0f;
    const auto scale = std::bit_cast<float>(static_cast<std::uint32_t>(n + 127) << 23);
    return p * scale;
}

// Natural logarithm of a positive normal float.
inline float fast_log(float x) {
    constexpr float kLn2 = 0.693147180559945309f;
    constexpr float kSqrtHalf = 0.707106781186547524f;
    const auto bits = std::bit_cast<std::uint32_t>(x);
    auto exponent = static_cast<std::int32_t>(bits >> 23) - 127;
    float mantissa = std::bit_cast<float>((bits & 0x007FFFFFU) | 0x3F800000U);  // [1, 2)
    // Centre the mantissa on 1: [sqrt(1/2), sqrt(2)).
    const bool high = mantissa > 2.0f * kSqrtHalf;
    mantissa = high ? mantissa * 0.5f : mantissa;
    exponent = high ? exponent + 1 : exponent;
    // log(m) = 2 atanh(s), s = (m - 1) / (m + 1), |s| < 0.172.
    const float s = (mantissa - 1.0f) / (mantissa + 1.0f);
    const float s2 = s * s;
    float p = 1.0f / 9.0f;
    p = p * s2 + 1.0f / 7.0f;
    p = p * s2 + 1.0f / 5.0f;
    p = p * s2 + 1.0f / 3.0f;
    p = p * s2 + 1.0f;
    return 2.0f * s * p + static_cast<float>(exponent) * kLn2;
}

}  // namespace orlune::engine
