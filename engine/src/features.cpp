#include "features.hpp"

#include <array>
#include <cmath>

namespace orlune::engine {
namespace {

// Far below the density of 16-bit quantisation noise (about 5e-15 per Hz at 16 kHz).
constexpr float kDensityFloor = 1e-16f;
constexpr float kSnrFloor = 1e-4f;

}  // namespace

FeatureExtractor::FeatureExtractor(std::size_t sample_rate, const Denoiser& front)
    : bands_(sample_rate, front.stft().fft_size()),
      psd_scale_(static_cast<float>(
          1.0 / (front.stft().analysis_window_energy() * static_cast<double>(sample_rate)))) {}

void FeatureExtractor::compute(const Denoiser& front, float frame_presence, float* features,
                               float* band_energy) const {
    constexpr std::size_t B = kBandCount;
    std::array<float, B> noise{};
    std::array<float, B> snr{};
    std::array<float, B> presence{};
    bands_.energies(front.power().data(), psd_scale_, band_energy);
    bands_.energies(front.noise_power().data(), psd_scale_, noise.data());
    bands_.energies(front.prior_snr().data(), 1.0f, snr.data());
    bands_.energies(front.presence().data(), 1.0f, presence.data());
    for (std::size_t b = 0; b < B; ++b) {
        features[b] = std::log(band_energy[b] + kDensityFloor);
        features[B + b] = std::log(noise[b] + kDensityFloor);
        features[2 * B + b] = std::log(snr[b] + kSnrFloor);
        features[3 * B + b] = presence[b];
    }
    features[4 * B] = frame_presence;

    const auto power = front.power();
    const std::size_t covered = bands_.covered_bins();
    double total = 0.0;
    for (std::size_t k = 0; k < covered; ++k) total += static_cast<double>(power[k]);
    const double mean = covered > 0 ? total / static_cast<double>(covered) : 0.0;
    features[4 * B + 1] = std::log(static_cast<float>(mean) * psd_scale_ + kDensityFloor);
    // A voice and a steady buzz can both be harmonic; how the pitch moves tells them apart.
    features[4 * B + 2] = front.harmonicity();
    const float pitch = front.pitch_hz();
    features[4 * B + 3] = pitch > 0.0f ? std::log2(pitch / 100.0f) : 0.0f;
}

}  // namespace orlune::engine
