// One causal noise-suppression stream. All state is per object; process() neither
// allocates nor locks.
//
// Per 10 ms hop: STFT analysis, noise power tracking, the a-priori SNR (cepstro-temporal
// smoothing, or decision-directed), the a-priori speech absence probability, a
// log-spectral amplitude gain weighted by the speech presence probability (optimally-
// modified LSA, Cohen & Berdugo 2001) and bounded below by the gain floor, and
// overlap-add synthesis.
#pragma once

#include <complex>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "cepstral_snr.hpp"
#include "model.hpp"
#include "noise_tracker.hpp"
#include "speech_absence.hpp"
#include "stft.hpp"

namespace orlune::engine {

// Sample rates the engine runs at and their 10 ms frame lengths.
std::optional<std::size_t> frame_length_for_rate(std::size_t sample_rate);

// Copies at most `capacity` of those rates, ascending, to `rates`; returns how many there are.
std::size_t copy_supported_rates(std::size_t* rates, std::size_t capacity);

// The lowest gain for an attenuation limit: the limit's when it is tighter than the
// model's own floor, 1 (no change) for a limit of 0 or less, the model's for NaN or +inf.
float gain_floor_for(float attenuation_limit_db, float model_floor_db);

class Denoiser {
  public:
    static std::optional<Denoiser> create(const ModelParameters& parameters,
                                          std::size_t sample_rate, float attenuation_limit_db);

    std::size_t frame_length() const { return stft_.hop(); }
    std::size_t latency() const { return stft_.latency(); }

    // Reads and writes frame_length() samples (they may alias); returns the frame's
    // speech presence probability.
    float process(const float* input, float* output);

    // The first half of process(): takes one frame of input and runs the analysis and
    // the statistical estimators up to the gain, leaving the spectrum unmodified.
    // Returns the frame's speech presence probability.
    float estimate(const float* input);
    // The second half: scales the spectrum by `gain` (one value per bin) and writes the
    // frame of output; with no attenuation allowed, the delayed input instead.
    void synthesise(const float* gain, float* output);

    // What estimate() found for the newest frame, per bin.
    std::span<const float> power() const { return power_; }
    std::span<const float> noise_power() const { return noise_.noise_power(); }
    std::span<const float> prior_snr() const { return prior_snr_; }
    std::span<const float> presence() const { return presence_; }
    std::span<const float> gain() const { return gain_; }
    const Stft& stft() const { return stft_; }
    double bin_hz() const { return bin_hz_; }

    void reset();

  private:
    Denoiser(const ModelParameters& parameters, std::size_t sample_rate, std::size_t frame_length,
             float gain_floor);

    float estimate_gain();

    // Initialised in this order; the band limits are needed by absence_.
    Stft stft_;
    NoiseTracker noise_;
    double bin_hz_;
    std::size_t presence_begin_;  // bins over which the frame's presence is averaged
    std::size_t presence_end_;
    SpeechAbsence absence_;
    CepstralSnr cepstral_snr_;
    bool cepstral_;  // which a-priori SNR estimator
    float gain_floor_;
    float dd_weight_;
    float prior_snr_min_;

    std::vector<std::complex<float>> spectrum_;
    std::vector<float> power_;
    std::vector<float> posterior_snr_;
    std::vector<float> prior_snr_;
    std::vector<float> absence_probability_;
    std::vector<float> presence_;
    std::vector<float> gain_;
    std::vector<float> previous_speech_power_;  // |S|^2 estimated in the previous frame
};

}  // namespace orlune::engine
