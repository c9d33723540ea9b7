// The learned model's input: kFeatureCount values per frame, computed from the spectrum
// the statistical front end (Denoiser::estimate) has just analysed and from what its
// estimators know. In order:
//   [0, B)    log band energy of the input (power spectral density per Hz, Bands)
//   [B, 2B)   log band energy of the noise tracker's estimate, on the same scale
//   [2B, 3B)  log a-priori SNR, the band's weighted mean
//   [3B, 4B)  posterior speech presence probability, the band's weighted mean
//   4B        the frame's speech presence probability (the statistical engine's result)
//   4B + 1    log mean power spectral density over 0-8000 Hz
//   4B + 2    harmonicity: how far the highest cepstral peak in the pitch range stands
//             above that range, in its standard deviations (PitchAnalysis)
//   4B + 3    log2 of that peak's pitch over 100 Hz
//   [4B + 4, 5B + 4)  harmonic share: the band's energy weighted by a raised-cosine comb
//             at that pitch over its energy, 1 where harmonics fill it, 0.5 for noise
// Logs are of (value + a small floor), so every feature is finite for any input,
// digital silence included; bands above Nyquist read as silence.
#pragma once

#include <complex>
#include <cstddef>
#include <span>
#include <vector>

#include "bands.hpp"
#include "denoiser.hpp"
#include "fft.hpp"

namespace orlune::engine {

inline constexpr std::size_t kFeatureCount = 5 * kBandCount + 4;

// The cepstrum of the log speech estimate max(|Y|^2 - noise, floor) over 0-8000 Hz, taken
// on one frequency grid (that of 16 kHz) at every rate, so that a voice reads the same
// whatever the rate and the pitch range is the same: the native cepstrum at 48 kHz (1024
// points) reaches pitches only down to 94 Hz, and many men speak lower.
class PitchAnalysis {
  public:
    // For native spectra of `bins` bins, `bin_hz` apart.
    PitchAnalysis(double bin_hz, std::size_t bins);

    // Sets harmonicity() and pitch_hz() from the frame's power and noise spectra.
    void update(std::span<const float> power, std::span<const float> noise);

    float harmonicity() const { return harmonicity_; }
    float pitch_hz() const { return pitch_hz_; }

  private:
    RealFft fft_;
    std::vector<std::size_t> native_bin_;  // per grid bin: the native bin below it
    std::vector<float> native_fraction_;   // and how far towards the next one
    std::vector<std::complex<float>> log_speech_;
    std::vector<float> cepstrum_;
    float harmonicity_ = 0.0f;
    float pitch_hz_ = 0.0f;
};

class FeatureExtractor {
  public:
    FeatureExtractor(std::size_t sample_rate, const Denoiser& front);

    const Bands& bands() const { return bands_; }

    // Features and band energies of the frame `front` estimated last, whose presence
    // probability estimate() returned. Writes kFeatureCount and kBandCount values.
    void compute(const Denoiser& front, float frame_presence, float* features, float* band_energy);

  private:
    Bands bands_;
    float psd_scale_;
    double bin_hz_;
    PitchAnalysis pitch_;
    std::vector<float> combed_power_;
};

}  // namespace orlune::engine
