#include "stft.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace orlune::engine {
namespace {

// Far above full scale; keeps a wild input from driving the trackers to infinity.
constexpr float kInputLimit = 16.0f;

float sanitised(float sample) {
    if (!std::isfinite(sample)) return 0.0f;
    return std::clamp(sample, -kInputLimit, kInputLimit);
}

}  // namespace

Stft::Stft(std::size_t hop, std::size_t window_hops, float analysis_exponent)
    : hop_(hop),
      window_length_(hop * window_hops),
      fft_(next_power_of_two(std::max<std::size_t>(window_length_, 4))),
      analysis_window_(window_length_),
      synthesis_window_(window_length_),
      history_(window_length_),
      overlap_(window_length_),
      frame_(fft_.size()) {
    // A periodic Hann window sums to window_hops / 2 over hop shifts.
    const double overlap_gain = static_cast<double>(window_hops) / 2.0;
    for (std::size_t n = 0; n < window_length_; ++n) {
        const double hann = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(n) /
                                                 static_cast<double>(window_length_));
        analysis_window_[n] = static_cast<float>(std::pow(hann, analysis_exponent));
        synthesis_window_[n] =
            static_cast<float>(std::pow(hann, 1.0 - analysis_exponent) / overlap_gain);
        analysis_window_energy_ +=
            static_cast<double>(analysis_window_[n]) * static_cast<double>(analysis_window_[n]);
    }
}

void Stft::analyse(const float* input, std::span<std::complex<float>> spectrum) {
    const std::size_t kept = window_length_ - hop_;
    std::copy(history_.begin() + static_cast<std::ptrdiff_t>(hop_), history_.end(),
              history_.begin());
    for (std::size_t n = 0; n < hop_; ++n) history_[kept + n] = sanitised(input[n]);
    for (std::size_t n = 0; n < window_length_; ++n) frame_[n] = history_[n] * analysis_window_[n];
    std::fill(frame_.begin() + static_cast<std::ptrdiff_t>(window_length_), frame_.end(), 0.0f);
    fft_.forward(frame_, spectrum);
}

void Stft::synthesise(std::span<const std::complex<float>> spectrum, float* output) {
    fft_.inverse(spectrum, frame_);
    for (std::size_t n = 0; n < window_length_; ++n) {
        overlap_[n] += frame_[n] * synthesis_window_[n];
    }
    std::copy_n(overlap_.begin(), hop_, output);
    std::copy(overlap_.begin() + static_cast<std::ptrdiff_t>(hop_), overlap_.end(),
              overlap_.begin());
    std::fill(overlap_.end() - static_cast<std::ptrdiff_t>(hop_), overlap_.end(), 0.0f);
}

void Stft::reset() {
    std::fill(history_.begin(), history_.end(), 0.0f);
    std::fill(overlap_.begin(), overlap_.end(), 0.0f);
    std::fill(frame_.begin(), frame_.end(), 0.0f);
}

}  // namespace orlune::engine
