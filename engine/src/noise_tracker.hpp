// Noise power spectrum tracking by the posterior probability of speech presence:
// each bin's noise power moves towards the MMSE estimate of the noise periodogram
// given the observed power, which is the observation itself where speech is unlikely
// and the previous estimate where it is likely (Gerkmann & Hendriks, 2012).
//
// Alone, that tracker follows any sound that swells slowly enough (a held vowel) and
// lets a bin that stays speech-like for long leak in. So it is also tied to the minimum
// of the smoothed power over the last second or so (minimum statistics, Martin 2001),
// which stays at the noise level through any stretch of speech shorter than that
// window: power far above the bias-compensated minimum does not update the estimate
// (as in the first pass of Cohen's IMCRA, 2003), and the estimate never exceeds it.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "model.hpp"

namespace orlune::engine {

class NoiseTracker {
  public:
    NoiseTracker(const ModelParameters& parameters, std::size_t bins);

    // Takes the power spectrum of the newest frame and updates the noise estimate.
    void update(std::span<const float> power);

    std::span<const float> noise_power() const { return noise_power_; }

    void reset();

  private:
    void track_minimum(std::span<const float> power);
    // The per-bin update after the first frames; the arrays must not overlap.
    static void update_bins(std::size_t bins, const NoiseTracker& self, const float* power,
                            const float* past_minimum, const float* subwindow_minimum,
                            float* smoothed_spp, float* noise);

    std::size_t init_frames_;
    float presence_odds_gain_;  // (1 + xi_H1) * P(H0) / P(H1)
    float likelihood_slope_;    // xi_H1 / (1 + xi_H1)
    float power_smoothing_;
    float spp_smoothing_;
    float spp_cap_;
    float gate_;  // power above gate_ x the bias-compensated minimum does not update
    float minimum_smoothing_;
    float minimum_bias_;
    std::size_t subwindow_frames_;
    std::size_t subwindows_;
    std::size_t frames_seen_ = 0;
    std::vector<float> noise_power_;
    std::vector<float> smoothed_spp_;
    std::vector<float> smoothed_power_;
    std::vector<float> subwindow_minimum_;  // of the subwindow in progress
    std::vector<float> past_minima_;        // subwindows_ rows of bins, a ring
    std::vector<float> past_minimum_;       // minimum over the ring
    std::size_t ring_position_ = 0;
};

// Noise power never falls below this (per bin, full scale 1.0): far under the
// quantisation noise of 16-bit audio, it keeps every ratio finite on digital silence.
inline constexpr float kPowerFloor = 1e-12f;

}  // namespace orlune::engine
