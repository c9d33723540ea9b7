#include "features.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

#include "fast_math.hpp"

namespace orlune::engine {
namespace {

// Far below the density of 16-bit quantisation noise (about 5e-15 per Hz at 16 kHz).
constexpr float kDensityFloor = 1e-16f;
constexpr float kSnrFloor = 1e-4f;

// The pitch grid: 31.25 Hz bins up to 8000 Hz, quefrencies in samples at 16 kHz.
constexpr std::size_t kPitchFftSize = 512;
constexpr double kPitchGridRate = 16000.0;
constexpr std::size_t kPitchFirst = 40;  // 400 Hz
constexpr std::size_t kPitchLast = 228;  // 70 Hz
// Below this speech-to-noise ratio a bin holds no speech; keeps the log finite and flat.
constexpr float kSpeechFloor = 0.01f;

}  // namespace

PitchAnalysis::PitchAnalysis(double bin_hz, std::size_t bins)
    : fft_(kPitchFftSize),
      native_bin_(kPitchFftSize / 2 + 1),
      native_fraction_(kPitchFftSize / 2 + 1),
      log_speech_(kPitchFftSize / 2 + 1),
      cepstrum_(kPitchFftSize) {
    // Bins of the grid between native bins are interpolated; above the native Nyquist
    // (at 8 kHz) the top bin's value holds, which adds no peak.
    const double grid_hz = kPitchGridRate / static_cast<double>(kPitchFftSize);
    const std::size_t last_native = bins - 1;
    for (std::size_t j = 0; j < native_bin_.size(); ++j) {
        const double position =
            std::min(static_cast<double>(j) * grid_hz / bin_hz, static_cast<double>(last_native));
        native_bin_[j] = std::min(static_cast<std::size_t>(position), last_native - 1);
        native_fraction_[j] = static_cast<float>(position - static_cast<double>(native_bin_[j]));
    }
}

void PitchAnalysis::update(std::span<const float> power, std::span<const float> noise) {
    for (std::size_t j = 0; j < log_speech_.size(); ++j) {
        const std::size_t k = native_bin_[j];
        const float t = native_fraction_[j];
        const float p = power[k] + t * (power[k + 1] - power[k]);
        const float n = noise[k] + t * (noise[k + 1] - noise[k]);
        log_speech_[j] = {fast_log(n * max_of(p / n - 1.0f, kSpeechFloor)), 0.0f};
    }
    fft_.inverse(log_speech_, cepstrum_);

    // In standard deviations of the range, so the loudness and the spectral shape of the
    // frame do not move it; the floor keeps a flat spectrum's rounding from reading as a peak.
    const auto first = cepstrum_.begin() + kPitchFirst;
    const auto last = cepstrum_.begin() + kPitchLast + 1;
    const auto peak = std::max_element(first, last);
    float sum = 0.0f;
    float sum_squares = 0.0f;
    for (auto c = first; c != last; ++c) {
        sum += *c;
        sum_squares += *c * *c;
    }
    const float count = static_cast<float>(last - first);
    const float mean = sum / count;
    const float spread = std::sqrt(max_of(sum_squares / count - mean * mean, 1e-12f));
    harmonicity_ = (*peak - mean) / spread;
    pitch_hz_ = static_cast<float>(kPitchGridRate / static_cast<double>(peak - cepstrum_.begin()));
}

FeatureExtractor::FeatureExtractor(std::size_t sample_rate, const Denoiser& front)
    : bands_(sample_rate, front.stft().fft_size()),
      psd_scale_(static_cast<float>(
          1.0 / (front.stft().analysis_window_energy() * static_cast<double>(sample_rate)))),
      bin_hz_(front.bin_hz()),
      pitch_(front.bin_hz(), front.stft().bins()),
      combed_power_(front.stft().bins()) {}

void FeatureExtractor::compute(const Denoiser& front, float frame_presence, float* features,
                               float* band_energy) {
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
    pitch_.update(power, front.noise_power());
    features[4 * B + 2] = pitch_.harmonicity();
    features[4 * B + 3] = std::log2(pitch_.pitch_hz() / 100.0f);

    // Where a voice is, its harmonics carry most of a band's energy: at low SNR this tells
    // the bands that hold speech from those that hold only noise. The comb's phase turns
    // by one angle from bin to bin.
    const double step = 2.0 * std::numbers::pi * bin_hz_ / static_cast<double>(pitch_.pitch_hz());
    const std::complex<double> turn = std::polar(1.0, step);
    std::complex<double> phasor = 1.0;
    for (std::size_t k = 0; k < covered; ++k) {
        combed_power_[k] = power[k] * static_cast<float>(0.5 + 0.5 * phasor.real());
        phasor *= turn;
    }
    std::array<float, B> combed{};
    bands_.energies(combed_power_.data(), psd_scale_, combed.data());
    for (std::size_t b = 0; b < B; ++b) {
        features[4 * B + 4 + b] = band_energy[b] > 0.0f ? combed[b] / band_energy[b] : 0.5f;
    }
}

}  // namespace orlune::engine
