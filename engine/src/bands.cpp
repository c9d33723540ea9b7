#include "bands.hpp"

#include <algorithm>
#include <cmath>

namespace orlune::engine {
namespace {

constexpr double kWarpHz = 800.0;

std::array<double, kBandCount> make_centres() {
    std::array<double, kBandCount> centres{};
    const double top = std::log1p(kBandTopHz / kWarpHz);
    for (std::size_t b = 0; b < kBandCount; ++b) {
        const double position = static_cast<double>(b) / static_cast<double>(kBandCount - 1);
        centres[b] = kWarpHz * std::expm1(top * position);
    }
    centres.back() = kBandTopHz;
    return centres;
}

}  // namespace

const std::array<double, kBandCount>& band_centres_hz() {
    static const auto centres = make_centres();
    return centres;
}

Bands::Bands(std::size_t sample_rate, std::size_t fft_size) : bins_(fft_size / 2 + 1) {
    const auto& centres = band_centres_hz();
    const double bin_hz = static_cast<double>(sample_rate) / static_cast<double>(fft_size);
    const double nyquist = static_cast<double>(sample_rate) / 2.0;
    std::size_t band = 0;
    for (std::size_t k = 0; k < bins_; ++k) {
        const double hz = static_cast<double>(k) * bin_hz;
        if (hz > kBandTopHz) break;
        while (band + 1 < kBandCount && centres[band + 1] <= hz) ++band;
        const double upper = band + 1 < kBandCount
                                 ? (hz - centres[band]) / (centres[band + 1] - centres[band])
                                 : 0.0;
        lower_band_.push_back(band);
        upper_weight_.push_back(static_cast<float>(upper));
    }
    // A band beyond Nyquist has no energy and takes no weight from the bins below it.
    for (std::size_t k = 0; k < lower_band_.size(); ++k) {
        const std::size_t b = lower_band_[k];
        if (centres[b] <= nyquist) weight_sum_[b] += 1.0f - upper_weight_[k];
        if (b + 1 < kBandCount && centres[b + 1] <= nyquist) weight_sum_[b + 1] += upper_weight_[k];
    }
}

void Bands::energies(const float* power, float psd_scale, float* band_energy) const {
    std::array<float, kBandCount> sums{};
    for (std::size_t k = 0; k < lower_band_.size(); ++k) {
        const std::size_t b = lower_band_[k];
        const float upper = upper_weight_[k] * power[k];
        sums[b] += power[k] - upper;
        if (b + 1 < kBandCount) sums[b + 1] += upper;
    }
    for (std::size_t b = 0; b < kBandCount; ++b) {
        band_energy[b] = weight_sum_[b] > 0.0f ? sums[b] / weight_sum_[b] * psd_scale : 0.0f;
    }
}

void Bands::interpolate(const float* band_gain, float* gain) const {
    for (std::size_t k = 0; k < lower_band_.size(); ++k) {
        const std::size_t b = lower_band_[k];
        const float upper = upper_weight_[k];
        const float above = b + 1 < kBandCount ? band_gain[b + 1] : band_gain[b];
        gain[k] = (1.0f - upper) * band_gain[b] + upper * above;
    }
}

}  // namespace orlune::engine
