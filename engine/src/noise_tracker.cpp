#include "noise_tracker.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "fast_math.hpp"

namespace orlune::engine {
namespace {

constexpr float kUnset = std::numeric_limits<float>::max();

}  // namespace

ORLUNE_HOT_LOOPS void NoiseTracker::update_bins(std::size_t bins, const NoiseTracker& self,
                                                const float* __restrict power,
                                                const float* __restrict past_minimum,
                                                const float* __restrict subwindow_minimum,
                                                float* __restrict smoothed_spp,
                                                float* __restrict noise) {
    const float bias = self.minimum_bias_;
    const float gate = self.gate_;
    const float odds_gain = self.presence_odds_gain_;
    const float slope = self.likelihood_slope_;
    const float spp_smoothing = self.spp_smoothing_;
    const float spp_cap = self.spp_cap_;
    const float power_smoothing = self.power_smoothing_;
    for (std::size_t k = 0; k < bins; ++k) {
        const float floor_estimate =
            max_of(bias * min_of(past_minimum[k], subwindow_minimum[k]), kPowerFloor);
        const float posterior_snr = power[k] / noise[k];
        float spp = 1.0f / (1.0f + odds_gain * fast_exp(-min_of(posterior_snr * slope, 80.0f)));
        const float smoothed = spp_smoothing * smoothed_spp[k] + (1.0f - spp_smoothing) * spp;
        // A bin that looks like speech for too long may be noise that rose: let it update.
        spp = smoothed > spp_cap ? min_of(spp, spp_cap) : spp;
        const float noise_periodogram = (1.0f - spp) * power[k] + spp * noise[k];
        const float updated =
            clamp_to(power_smoothing * noise[k] + (1.0f - power_smoothing) * noise_periodogram,
                     kPowerFloor, floor_estimate);
        // Power far above the recent minimum is speech, or noise that has yet to prove
        // itself steady by lasting a whole window: the estimate waits.
        const bool gated = power[k] > gate * floor_estimate;
        smoothed_spp[k] = gated ? smoothed_spp[k] : smoothed;
        noise[k] = gated ? noise[k] : updated;
    }
}

NoiseTracker::NoiseTracker(const ModelParameters& p, std::size_t bins)
    : init_frames_(static_cast<std::size_t>(p.noise_init_frames)),
      power_smoothing_(p.noise_power_smoothing),
      spp_smoothing_(p.noise_spp_smoothing),
      spp_cap_(p.noise_spp_cap),
      gate_(std::pow(10.0f, p.noise_gate_db / 10.0f)),
      minimum_smoothing_(p.noise_minimum_smoothing),
      minimum_bias_(std::pow(10.0f, p.noise_minimum_bias_db / 10.0f)),
      subwindow_frames_(static_cast<std::size_t>(p.noise_minimum_subwindow_frames)),
      subwindows_(static_cast<std::size_t>(p.noise_minimum_subwindows)),
      noise_power_(bins, kPowerFloor),
      smoothed_spp_(bins, 0.0f),
      smoothed_power_(bins, 0.0f),
      subwindow_minimum_(bins, kUnset),
      past_minima_(bins * subwindows_, kUnset),
      past_minimum_(bins, kUnset) {
    const float prior_snr = std::pow(10.0f, p.noise_prior_snr_db / 10.0f);
    presence_odds_gain_ = (1.0f + prior_snr) * (1.0f - p.noise_prior_speech) / p.noise_prior_speech;
    likelihood_slope_ = prior_snr / (1.0f + prior_snr);
}

void NoiseTracker::track_minimum(std::span<const float> power) {
    const std::size_t bins = noise_power_.size();
    const float a = frames_seen_ == 0 ? 0.0f : minimum_smoothing_;
    for (std::size_t k = 0; k < bins; ++k) {
        smoothed_power_[k] = a * smoothed_power_[k] + (1.0f - a) * power[k];
        subwindow_minimum_[k] = std::min(subwindow_minimum_[k], smoothed_power_[k]);
    }
    if ((frames_seen_ + 1) % subwindow_frames_ != 0) return;
    // A subwindow is complete: it replaces the oldest in the ring.
    std::copy(subwindow_minimum_.begin(), subwindow_minimum_.end(),
              past_minima_.begin() + static_cast<std::ptrdiff_t>(ring_position_ * bins));
    ring_position_ = (ring_position_ + 1) % subwindows_;
    std::fill(subwindow_minimum_.begin(), subwindow_minimum_.end(), kUnset);
    std::fill(past_minimum_.begin(), past_minimum_.end(), kUnset);
    for (std::size_t row = 0; row < subwindows_; ++row) {
        const float* minima = past_minima_.data() + row * bins;
        for (std::size_t k = 0; k < bins; ++k)
            past_minimum_[k] = std::min(past_minimum_[k], minima[k]);
    }
}

void NoiseTracker::update(std::span<const float> power) {
    const std::size_t bins = noise_power_.size();
    track_minimum(power);
    if (frames_seen_ < init_frames_) {
        // Start from the mean of the first frames, assumed to hold mostly noise; the
        // tracker below corrects the estimate when they did not.
        const float weight = 1.0f / static_cast<float>(frames_seen_ + 1);
        for (std::size_t k = 0; k < bins; ++k) {
            const float mean = frames_seen_ == 0
                                   ? power[k]
                                   : noise_power_[k] + weight * (power[k] - noise_power_[k]);
            noise_power_[k] = std::max(mean, kPowerFloor);
        }
        ++frames_seen_;
        return;
    }
    update_bins(noise_power_.size(), *this, power.data(), past_minimum_.data(),
                subwindow_minimum_.data(), smoothed_spp_.data(), noise_power_.data());
    ++frames_seen_;
}

void NoiseTracker::reset() {
    frames_seen_ = 0;
    ring_position_ = 0;
    std::fill(smoothed_power_.begin(), smoothed_power_.end(), 0.0f);
    std::fill(subwindow_minimum_.begin(), subwindow_minimum_.end(), kUnset);
    std::fill(past_minima_.begin(), past_minima_.end(), kUnset);
    std::fill(past_minimum_.begin(), past_minimum_.end(), kUnset);
    std::fill(noise_power_.begin(), noise_power_.end(), kPowerFloor);
    std::fill(smoothed_spp_.begin(), smoothed_spp_.end(), 0.0f);
}

}  // namespace orlune::engine
