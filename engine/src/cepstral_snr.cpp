#include "cepstral_snr.hpp"

#include <algorithm>
#include <cmath>

#include "fast_math.hpp"

namespace orlune::engine {
namespace {

std::size_t quefrency(float seconds, std::size_t sample_rate) {
    return static_cast<std::size_t>(std::lround(seconds * static_cast<float>(sample_rate)));
}

}  // namespace

CepstralSnr::CepstralSnr(const ModelParameters& p, std::size_t fft_size, std::size_t sample_rate)
    : fft_(fft_size),
      ml_floor_(std::pow(10.0f, p.cepstral_ml_floor_db / 10.0f)),
      prior_min_(std::pow(10.0f, p.snr_prior_min_db / 10.0f)),
      bias_(p.cepstral_bias_db * std::log(10.0f) / 10.0f),
      // A harmonic comb over part of the band gives a cepstral peak in proportion to that
      // part: above the band where voiced harmonics live, the threshold scales down.
      pitch_threshold_(
          p.cepstral_pitch_threshold *
          std::min(1.0f, p.cepstral_pitch_band_hz / (0.5f * static_cast<float>(sample_rate)))),
      pitch_smoothing_(p.cepstral_pitch_smoothing),
      pitch_first_(
          std::max<std::size_t>(quefrency(1.0f / p.cepstral_pitch_max_hz, sample_rate), 1)),
      pitch_last_(
          std::min(quefrency(1.0f / p.cepstral_pitch_min_hz, sample_rate), fft_size / 2 - 1)),
      pitch_halfwidth_(quefrency(p.cepstral_pitch_halfwidth_ms / 1000.0f, sample_rate)),
      base_smoothing_(fft_size / 2 + 1),
      smoothing_(fft_size / 2 + 1),
      cepstrum_(fft_size),
      smoothed_(fft_size),
      spectrum_(fft_size / 2 + 1) {
    const std::size_t envelope = quefrency(p.cepstral_envelope_ms / 1000.0f, sample_rate);
    for (std::size_t q = 0; q < base_smoothing_.size(); ++q) {
        base_smoothing_[q] = q <= envelope ? p.cepstral_envelope_smoothing : p.cepstral_smoothing;
    }
}

void CepstralSnr::update(std::span<const float> power, std::span<const float> noise,
                         std::span<float> prior_snr) {
    const std::size_t bins = spectrum_.size();
    const std::size_t size = cepstrum_.size();
    for (std::size_t k = 0; k < bins; ++k) {
        const float speech = noise[k] * max_of(power[k] / noise[k] - 1.0f, ml_floor_);
        spectrum_[k] = {fast_log(speech), 0.0f};
    }
    fft_.inverse(spectrum_, cepstrum_);

    // Voiced frames show a cepstral peak at the pitch period: keep it responsive.
    std::copy(base_smoothing_.begin(), base_smoothing_.end(), smoothing_.begin());
    if (pitch_first_ < pitch_last_) {
        const auto first = cepstrum_.begin() + static_cast<std::ptrdiff_t>(pitch_first_);
        const auto peak = std::max_element(
            first, cepstrum_.begin() + static_cast<std::ptrdiff_t>(pitch_last_) + 1);
        if (*peak > pitch_threshold_) {
            const auto centre = static_cast<std::size_t>(peak - cepstrum_.begin());
            const std::size_t low = centre > pitch_halfwidth_ ? centre - pitch_halfwidth_ : 0;
            const std::size_t high = std::min(centre + pitch_halfwidth_, smoothing_.size() - 1);
            std::fill(smoothing_.begin() + static_cast<std::ptrdiff_t>(low),
                      smoothing_.begin() + static_cast<std::ptrdiff_t>(high) + 1, pitch_smoothing_);
        }
    }
    // The first frame has no history to smooth with.
    if (!started_) std::fill(smoothing_.begin(), smoothing_.end(), 0.0f);
    started_ = true;
    // The cepstrum of a real spectrum is even: quefrency size - q shares q's smoothing.
    const std::size_t half = size / 2;
    for (std::size_t q = 0; q <= half; ++q) {
        smoothed_[q] = smoothing_[q] * smoothed_[q] + (1.0f - smoothing_[q]) * cepstrum_[q];
    }
    for (std::size_t q = half + 1; q < size; ++q) {
        const float a = smoothing_[size - q];
        smoothed_[q] = a * smoothed_[q] + (1.0f - a) * cepstrum_[q];
    }

    fft_.forward(smoothed_, spectrum_);
    for (std::size_t k = 0; k < bins; ++k) {
        prior_snr[k] = max_of(fast_exp(spectrum_[k].real() + bias_) / noise[k], prior_min_);
    }
}

void CepstralSnr::reset() {
    std::fill(smoothed_.begin(), smoothed_.end(), 0.0f);
    started_ = false;
}

}  // namespace orlune::engine
