#include "speech_absence.hpp"

#include <algorithm>
#include <cmath>

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
      local_presence_(bins, 0.0f),
      peak_frame_snr_(peak_min_) {}

float SpeechAbsence::presence_likelihood(float ratio) const {
    if (ratio <= low_) return 0.0f;
    if (ratio >= high_) return 1.0f;
    return std::log(ratio / low_) / log_range_;
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

    const float frame_snr = static_cast<float>(
        (prefix_sum_[band_end_] - prefix_sum_[band_begin_]) /
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
        local_presence_[k] = presence_likelihood(band_mean(k, local_halfwidth_));
    }
    for (std::size_t k = 0; k < bins; ++k) {
        const float presence =
            local_presence_[k] * presence_likelihood(band_mean(k, global_halfwidth_)) * frame_presence;
        absence[k] = std::min(1.0f - presence, absence_max_);
    }
}

void SpeechAbsence::reset() {
    std::fill(averaged_snr_.begin(), averaged_snr_.end(), 0.0f);
    std::fill(prefix_sum_.begin(), prefix_sum_.end(), 0.0);
    std::fill(local_presence_.begin(), local_presence_.end(), 0.0f);
    previous_frame_snr_ = 0.0f;
    peak_frame_snr_ = peak_min_;
}

}  // namespace orlune::engine
