// A-priori speech absence probability per bin, from the a-priori SNR averaged over
// time and then over a narrow and a wide band of neighbouring bins, together with a
// frame-level test that tracks speech onsets (Cohen & Berdugo, 2001; Cohen, 2003).
// Low values where the averaged SNR shows speech; high in noise-only regions, which
// lets the gain rule pull isolated noise peaks down instead of leaving musical tones.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "model.hpp"

namespace orlune::engine {

class SpeechAbsence {
  public:
    SpeechAbsence(const ModelParameters& parameters, std::size_t bins, double bin_hz,
                  std::size_t band_begin, std::size_t band_end);

    // Takes the a-priori SNR of the newest frame and writes each bin's absence probability.
    void update(std::span<const float> prior_snr, std::span<float> absence);

    void reset();

  private:
    float presence_likelihood(float ratio) const;

    float smoothing_;
    std::size_t local_halfwidth_;
    std::size_t global_halfwidth_;
    float low_;
    float high_;
    float log_range_;
    float peak_min_;
    float peak_max_;
    float absence_max_;
    std::size_t band_begin_;
    std::size_t band_end_;
    std::vector<float> averaged_snr_;
    std::vector<double> prefix_sum_;  // scratch for the band averages
    std::vector<float> local_mean_;   // scratch: averaged SNR over the narrow band
    std::vector<float> global_mean_;  // and over the wide band
    float previous_frame_snr_ = 0.0f;
    float peak_frame_snr_;
};

}  // namespace orlune::engine
