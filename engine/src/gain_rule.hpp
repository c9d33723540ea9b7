// The gain rule: the log-spectral amplitude estimator's gain (Ephraim & Malah, 1985)
//   G_H1(xi, v) = xi / (1 + xi) * exp(E1(v) / 2),  v = xi * gamma / (1 + xi),
// weighted by the posterior speech presence probability p against the gain floor,
//   G = G_H1^p * floor^(1 - p)   (optimally-modified LSA, Cohen & Berdugo, 2001),
// with the exponential integral E1 from the polynomial and rational approximations of
// Abramowitz & Stegun 5.1.53 and 5.1.56 (absolute error below 5e-5 on the exponent).
#pragma once

#include <cstddef>

#include "fast_math.hpp"

namespace orlune::engine {

// E1(v) given exp(-v) and log(v), which the caller has at hand: both branches are
// computed and one selected, so that a loop over bins stays branch-free.
inline float exponential_integral(float v, float exp_minus_v, float log_v) {
    const float small =
        -0.57721566f +
        v * (0.99999193f +
             v * (-0.24991055f + v * (0.05519968f + v * (-0.00976004f + v * 0.00107857f)))) -
        log_v;
    const float w = max_of(v, 1.0f);
    const float numerator = w * (w + 2.334733f) + 0.250621f;
    const float denominator = w * (w + 3.330657f) + 1.681534f;
    const float large = numerator / (denominator * w) * exp_minus_v;
    return v < 1.0f ? small : large;
}

struct GainRuleInputs {
    const float* prior_snr;      // xi
    const float* posterior_snr;  // gamma
    const float* power;          // |Y|^2
    const float* absence;        // a-priori speech absence probability q
};

struct GainRuleOutputs {
    float* speech_power;  // |G_H1 Y|^2, for the next frame's decision-directed SNR
    float* presence;      // posterior speech presence probability p
    float* gain;          // G
};

// The gain of each of `bins` bins; G_H1 is held within [floor, 1]. The arrays must not overlap.
void apply_gain_rule(std::size_t bins, float log_floor, const GainRuleInputs& in,
                     const GainRuleOutputs& out);

}  // namespace orlune::engine
