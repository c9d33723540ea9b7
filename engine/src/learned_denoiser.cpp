#include "learned_denoiser.hpp"

#include <algorithm>
#include <cmath>

#include "fast_math.hpp"

namespace orlune::engine {
namespace {

// Network outputs are sigmoids; a NaN (weights far out of range) reads as 0.
float unit(float value) { return value >= 0.0f ? min_of(value, 1.0f) : 0.0f; }

std::size_t first_band_from(double hz) {
    const auto& centres = band_centres_hz();
    return static_cast<std::size_t>(std::lower_bound(centres.begin(), centres.end(), hz) -
                                    centres.begin());
}

}  // namespace

std::optional<LearnedDenoiser> LearnedDenoiser::create(const ModelParameters& parameters,
                                                       const Network& network,
                                                       std::size_t sample_rate,
                                                       float attenuation_limit_db) {
    if (network.inputs() != kFeatureCount || network.outputs() != kBandCount + 1) {
        return std::nullopt;
    }
    auto front = Denoiser::create(parameters, sample_rate, NAN);
    if (!front) return std::nullopt;
    return LearnedDenoiser(std::move(*front), network, sample_rate,
                           gain_floor_for(attenuation_limit_db, network.gain_floor_db()));
}

LearnedDenoiser::LearnedDenoiser(Denoiser front, const Network& network, std::size_t sample_rate,
                                 float gain_floor)
    : front_(std::move(front)),
      extractor_(sample_rate, front_),
      network_(network),
      gain_floor_(gain_floor),
      high_band_first_(first_band_from(kHighBandsFromHz)),
      features_(kFeatureCount),
      band_energy_(kBandCount),
      gain_(front_.stft().bins()),
      shaped_power_(front_.stft().bins()),
      band_correction_(front_.stft().bins()) {}

void LearnedDenoiser::bin_gains_within_bands() {
    const auto power = front_.power();
    const auto statistical = front_.gain();
    const Bands& bands = extractor_.bands();
    const std::size_t covered = bands.covered_bins();
    for (std::size_t k = 0; k < covered; ++k) {
        shaped_power_[k] = statistical[k] * statistical[k] * power[k];
    }
    float before[kBandCount];
    float after[kBandCount];
    bands.energies(power.data(), 1.0f, before);
    bands.energies(shaped_power_.data(), 1.0f, after);
    float restore[kBandCount];
    for (std::size_t b = 0; b < kBandCount; ++b) {
        restore[b] = after[b] > 0.0f ? std::sqrt(before[b] / after[b]) : 1.0f;
    }
    bands.interpolate(restore, band_correction_.data());
    const auto prior_snr = front_.prior_snr();
    for (std::size_t k = 0; k < covered; ++k) {
        const float g = gain_[k];
        const float shaped = min_of(1.0f, g * band_correction_[k] * statistical[k]);
        const float weight = min_of(1.0f, 10.0f * (1.0f - g));
        gain_[k] = shaped * weight + g * (1.0f - weight);
        if (prior_snr[k] > kConfidentSnr && g > kSpeechBandGain) {
            gain_[k] = max_of(gain_[k], statistical[k]);
        }
    }
}

float LearnedDenoiser::process(const float* input, float* output) {
    const float presence = front_.estimate(input);
    extractor_.compute(front_, presence, features_.data(), band_energy_.data());
    const auto result = network_.step(features_.data());
    float band_gain[kBandCount];
    for (std::size_t b = 0; b < kBandCount; ++b) {
        const float g = unit(result[b]);
        band_gain[b] = g < kExpansionKnee ? g * g / kExpansionKnee : g;
    }
    const float speech_probability = unit(result[kBandCount]);

    if (gain_floor_ >= 1.0f) {
        // No attenuation allowed: hand back the input, delayed like the processed path.
        const auto delayed = front_.stft().delayed_input();
        std::copy(delayed.begin(), delayed.end(), output);
        return speech_probability;
    }
    extractor_.bands().interpolate(band_gain, gain_.data());
    bin_gains_within_bands();
    high_band_gains(band_gain);
    for (float& g : gain_) g = max_of(g, gain_floor_);
    front_.synthesise(gain_.data(), output);
    return speech_probability;
}

void LearnedDenoiser::high_band_gains(std::span<const float> band_gain) {
    const std::size_t first = extractor_.bands().covered_bins();
    if (first >= gain_.size()) return;
    float speech = 0.0f;
    float total = 0.0f;
    float mean_square = 0.0f;
    for (std::size_t b = high_band_first_; b < kBandCount; ++b) {
        const float g2 = band_gain[b] * band_gain[b];
        speech += g2 * band_energy_[b];
        total += band_energy_[b];
        mean_square += g2 / static_cast<float>(kBandCount - high_band_first_);
    }
    const float high = std::sqrt(total > 0.0f ? speech / total : mean_square);
    const auto statistical = front_.gain();
    for (std::size_t k = first; k < gain_.size(); ++k) gain_[k] = min_of(high, statistical[k]);
}

void LearnedDenoiser::reset() {
    front_.reset();
    network_.reset();
}

}  // namespace orlune::engine
