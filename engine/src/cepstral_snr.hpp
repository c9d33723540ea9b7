// A-priori SNR by selective cepstro-temporal smoothing (Breithaupt, Gerkmann & Martin,
// 2008). The maximum-likelihood speech power max(|Y|^2 - noise, floor) is taken to the
// cepstrum of its logarithm and smoothed over time per quefrency: little at the lowest
// quefrencies (the spectral envelope, so onsets come through), little around the pitch
// peak of voiced frames (so harmonics stay sharp), strongly elsewhere (where isolated
// noise peaks live, which would otherwise become musical tones).
#pragma once

#include <complex>
#include <cstddef>
#include <span>
#include <vector>

#include "fft.hpp"
#include "model.hpp"

namespace orlune::engine {

class CepstralSnr {
  public:
    CepstralSnr(const ModelParameters& parameters, std::size_t fft_size, std::size_t sample_rate);

    // Takes the frame's power and noise power spectra; writes the a-priori SNR per bin.
    void update(std::span<const float> power, std::span<const float> noise,
                std::span<float> prior_snr);

    void reset();

  private:
    RealFft fft_;
    float ml_floor_;
    float prior_min_;
    float bias_;  // log-domain correction for the smoothing of log-powers
    float pitch_threshold_;
    float pitch_smoothing_;
    std::size_t pitch_first_;  // quefrency search range for the pitch peak
    std::size_t pitch_last_;
    std::size_t pitch_halfwidth_;
    std::vector<float> base_smoothing_;  // per quefrency, 0 .. fft_size / 2
    std::vector<float> smoothing_;       // this frame's, with the pitch region applied
    std::vector<float> cepstrum_;        // fft_size values
    std::vector<float> smoothed_;        // fft_size values, the state
    std::vector<std::complex<float>> spectrum_;
    bool started_ = false;
};

}  // namespace orlune::engine
