// The learned model's input: kFeatureCount values per frame, computed from the spectrum
// the statistical front end (Denoiser::estimate) has just analysed and from what its
// estimators know. In order:
//   [0, B)    log band energy of the input (power spectral density per Hz, Bands)
//   [B, 2B)   log band energy of the noise tracker's estimate, on the same scale
//   [2B, 3B)  log a-priori SNR, the band's weighted mean
//   [3B, 4B)  posterior speech presence probability, the band's weighted mean
//   4B        the frame's speech presence probability (the statistical engine's result)
//   4B + 1    log mean power spectral density over 0-8000 Hz
//   4B + 2    harmonicity of the speech estimate: its cepstral pitch peak (CepstralSnr)
//   4B + 3    log2 of that peak's pitch over 100 Hz (0 before a pitch has been looked for)
// Logs are of (value + a small floor), so every feature is finite for any input,
// digital silence included; bands above Nyquist read as silence.
#pragma once

#include <cstddef>

#include "bands.hpp"
#include "denoiser.hpp"

namespace orlune::engine {

inline constexpr std::size_t kFeatureCount = 4 * kBandCount + 4;

class FeatureExtractor {
  public:
    FeatureExtractor(std::size_t sample_rate, const Denoiser& front);

    const Bands& bands() const { return bands_; }

    // Features and band energies of the frame `front` estimated last, whose presence
    // probability estimate() returned. Writes kFeatureCount and kBandCount values.
    void compute(const Denoiser& front, float frame_presence, float* features,
                 float* band_energy) const;

  private:
    Bands bands_;
    float psd_scale_;
};

}  // namespace orlune::engine
