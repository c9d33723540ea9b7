#include "speech_absence.hpp"

#include <algorithm>
#include <cmath>

#include "fast_math.hpp"

namespace orlune::engine {
namespace {

float from_db(float db) { return std::pow(10.0f, db / 10.0f); }

std::size_t bins_for(float hz, double bin_hz) {
    return static_cast<std::size_t>(std::lround(static_cast<double>(hz) / bin_hz));
}

}  // namespace

SpeechAbsence::SpeechAbsence(const ModelParameters& p, std::size_t bins, double bin_hz,
                             std::size_t band_begin, std::size_t band_end)
    : smoothing_(p.absence_snr_smoothing),
      local_halfwidth_(bins_for(p.absence_local_halfwidth_hz, bin_hz)),
      global_halfwidth_(bins_for(p.absence_global_halfwidth_hz, bin_hz)),
      low_(from_db(p.absence_low_db)),
      high_(from_db(p.absence_high_db)),
      log_range_(std::log(high_ / low_)),
      peak_min_(from_db(p.absence_peak_min_db)),
      peak_max_(from_db(p.absence_peak_max_db)),
      absence_max_(p.absence_max),
      band_begin_(band_begin),
      band_end_(band_end),
      averaged_snr_(bins, 0.0f),
      prefix_sum_(bins + 1, 0.0),
      local_mean_(bins, 0.0f),
      global_mean_(bins, 0.0f),
      peak_frame_snr_(peak_min_) {}

namespace {

// 0 up to `low`, 1 from low * e^log_range on, linear in log(ratio) between.
inline float likelihood(float ratio, float low, float log_range) {
    return clamp_to(fast_log(max_of(ratio / low, 1e-30f)) / log_range, 0.0f, 1.0f);
}

ORLUNE_HOT_LOOPS void absence_from_band_means(std::size_t bins, float low, float log_range,
                                              float frame_presence, float absence_max,
                                              const float* __restrict local_mean,
                                              const float* __restrict global_mean,
                                              float* __restrict absence) {
    for (std::size_t k = 0; k < bins; ++k) {
        const float presence = likelihood(local_mean[k], low, log_range) *
                               likelihood(global_mean[k], low, log_range) * frame_presence;
        absence[k] = min_of(1.0f - presence, absence_max);
    }
}

}  // namespace

float SpeechAbsence::presence_likelihood(float ratio) const {
    return likelihood(ratio, low_, log_range_);
}

void SpeechAbsence::update(std::span<const float> prior_snr, std::span<float> absence) {
    const std::size_t bins = averaged_snr_.size();
    for (std::size_t k = 0; k < bins; ++k) {
        averaged_snr_[k] = smoothing_ * averaged_snr_[k] + (1.0f - smoothing_) * prior_snr[k];
        prefix_sum_[k + 1] = prefix_sum_[k] + static_cast<double>(averaged_snr_[k]);
    }
    const auto band_mean = [&](std::size_t k, std::size_t halfwidth) {
        const std::size_t first = k > halfwidth ? k - halfwidth : 0;
        const std::size_t last = std::min(bins, k + halfwidth + 1);
        return static_cast<float>((prefix_sum_[last] - prefix_sum_[first]) /
                                  static_cast<double>(last - first));
    };

    const float frame_snr = static_cast<float>((prefix_sum_[band_end_] - prefix_sum_[band_begin_]) /
                                               static_cast<double>(band_end_ - band_begin_));
    float frame_presence;
    if (frame_snr <= low_) {
        frame_presence = 0.0f;
    } else if (frame_snr > previous_frame_snr_) {
        // Rising: an onset. Remember its level for judging the decay that follows.
        peak_frame_snr_ = std::clamp(frame_snr, peak_min_, peak_max_);
        frame_presence = 1.0f;
    } else {
        frame_presence = presence_likelihood(frame_snr / peak_frame_snr_);
    }
    previous_frame_snr_ = frame_snr;

    for (std::size_t k = 0; k < bins; ++k) {
        local_mean_[k] = band_mean(k, local_halfwidth_);
        global_mean_[k] = band_mean(k, global_halfwidth_);
    }
    absence_from_band_means(bins, low_, log_range_, frame_presence, absence_max_,
                            local_mean_.data(), global_mean_.data(), absence.data());
}

void SpeechAbsence::reset() {
    std::fill(averaged_snr_.begin(), averaged_snr_.end(), 0.0f);
    std::fill(prefix_sum_.begin(), prefix_sum_.end(), 0.0);
    previous_frame_snr_ = 0.0f;
    peak_frame_snr_ = peak_min_;
}

}  // namespace orlune::engine
