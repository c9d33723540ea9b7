// The bands the learned model works on: kBandCount overlapping triangles over 0-8000 Hz,
// defined in Hz so that they are the same at every sample rate. Band b peaks at its
// centre and falls linearly to zero at the centres of its neighbours, so the weights of
// any frequency in 0-8000 Hz across the bands sum to one. The centres are spaced evenly
// on a warped scale, log(1 + f / 800 Hz): 64 Hz apart at the bottom (two FFT bins at
// 16 kHz), about 650 Hz at the top.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

namespace orlune::engine {

inline constexpr std::size_t kBandCount = 32;
inline constexpr double kBandTopHz = 8000.0;

// Centre of each band in Hz, band 0 at 0 Hz and the last at kBandTopHz.
const std::array<double, kBandCount>& band_centres_hz();

// The bands laid over the bins of one FFT at one sample rate.
class Bands {
  public:
    Bands(std::size_t sample_rate, std::size_t fft_size);

    // Bins 0 .. covered_bins() - 1 lie within 0-8000 Hz (and below Nyquist).
    std::size_t covered_bins() const { return lower_band_.size(); }
    // Bins above 8000 Hz, which no band covers: covered_bins() .. bins - 1.
    std::size_t bins() const { return bins_; }

    // Band energies of a power spectrum |X_k|^2 of bins() values: each band's weighted
    // mean over its bins, as a power spectral density per Hz (divided by
    // sum(window^2) * sample_rate, the scale `psd_scale` given here as its inverse), so
    // that one sound gives one band energy at every rate. Bands whose centre lies above
    // Nyquist are 0. Writes kBandCount values.
    void energies(const float* power, float psd_scale, float* band_energy) const;

    // Per-bin gains interpolated from band gains with the same triangles, for the bins
    // 0 .. covered_bins() - 1.
    void interpolate(const float* band_gain, float* gain) const;

    // Whether band b has any bin at this rate (its centre at or below Nyquist).
    bool present(std::size_t band) const { return weight_sum_[band] > 0.0f; }

  private:
    std::size_t bins_;
    std::vector<std::size_t> lower_band_;  // per covered bin: the band at or below it
    std::vector<float> upper_weight_;      // its weight in the band above (1 - in the lower)
    std::array<float, kBandCount> weight_sum_{};
};

}  // namespace orlune::engine
