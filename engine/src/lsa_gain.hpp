// The log-spectral amplitude estimator's gain (Ephraim & Malah, 1985):
//   G(xi, v) = xi / (1 + xi) * exp(E1(v) / 2),  v = xi * gamma / (1 + xi),
// with the exponential integral E1 from the rational and polynomial approximations
// of Abramowitz & Stegun 5.1.53 and 5.1.56 (absolute error below 5e-5 on the exponent).
#pragma once

#include <cmath>

namespace orlune::engine {

inline float exponential_integral(float x) {
    if (x < 1.0f) {
        const float poly =
            -0.57721566f +
            x * (0.99999193f + x * (-0.24991055f + x * (0.05519968f + x * (-0.00976004f + x * 0.00107857f))));
        return poly - std::log(std::fmax(x, 1e-30f));
    }
    if (x > 60.0f) return 0.0f;  // exp(-x) / x is below float resolution of anything it meets
    const float numerator = x * (x + 2.334733f) + 0.250621f;
    const float denominator = x * (x + 3.330657f) + 1.681534f;
    return numerator / denominator * std::exp(-x) / x;
}

inline float lsa_gain(float prior_snr, float v) {
    const float wiener = prior_snr / (1.0f + prior_snr);
    return wiener * std::exp(0.5f * exponential_integral(v));
}

}  // namespace orlune::engine
