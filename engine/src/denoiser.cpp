#include "denoiser.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "fast_math.hpp"
#include "gain_rule.hpp"

namespace orlune::engine {
namespace {

// The rates the engine runs at, ascending, with their 10 ms frame lengths.
constexpr std::array<std::pair<std::size_t, std::size_t>, 7> kRates{{
    {8000, 80},
    {16000, 160},
    {22050, 220},
    {24000, 240},
    {32000, 320},
    {44100, 441},
    {48000, 480},
}};

// Keeps the posterior SNR, and so every exponent computed from it, finite.
constexpr float kMaxPosteriorSnr = 1e8f;

std::size_t bin_at(float hz, double bin_hz, std::size_t bins) {
    const double index = std::floor(static_cast<double>(hz) / bin_hz);
    return std::min(static_cast<std::size_t>(std::max(index, 0.0)), bins);
}

}  // namespace

std::optional<std::size_t> frame_length_for_rate(std::size_t sample_rate) {
    for (const auto& [rate, frame] : kRates) {
        if (rate == sample_rate) return frame;
    }
    return std::nullopt;
}

std::size_t copy_supported_rates(std::size_t* rates, std::size_t capacity) {
    for (std::size_t i = 0; i < std::min(capacity, kRates.size()); ++i) rates[i] = kRates[i].first;
    return kRates.size();
}

float gain_floor_for(float attenuation_limit_db, float model_floor_db) {
    const float model_floor = std::pow(10.0f, model_floor_db / 20.0f);
    if (std::isnan(attenuation_limit_db) || attenuation_limit_db == INFINITY) return model_floor;
    if (attenuation_limit_db <= 0.0f) return 1.0f;
    return std::max(std::pow(10.0f, -attenuation_limit_db / 20.0f), model_floor);
}

std::optional<Denoiser> Denoiser::create(const ModelParameters& parameters, std::size_t sample_rate,
                                         float attenuation_limit_db) {
    const auto frame = frame_length_for_rate(sample_rate);
    if (!frame) return std::nullopt;
    return Denoiser(parameters, sample_rate, *frame,
                    gain_floor_for(attenuation_limit_db, parameters.gain_floor_db));
}

Denoiser::Denoiser(const ModelParameters& p, std::size_t sample_rate, std::size_t frame_length,
                   float gain_floor)
    : stft_(frame_length, static_cast<std::size_t>(p.window_hops), p.window_exponent),
      noise_(p, stft_.bins()),
      bin_hz_(static_cast<double>(sample_rate) / static_cast<double>(stft_.fft_size())),
      presence_begin_(bin_at(p.presence_band_low_hz, bin_hz_, stft_.bins() - 1)),
      presence_end_(bin_at(p.presence_band_high_hz, bin_hz_, stft_.bins() - 1) + 1),
      absence_(p, stft_.bins(), bin_hz_, presence_begin_, presence_end_),
      cepstral_snr_(p, stft_.fft_size(), sample_rate),
      cepstral_(p.snr_estimator == 1),
      gain_floor_(gain_floor),
      dd_weight_(p.snr_dd_weight),
      prior_snr_min_(std::pow(10.0f, p.snr_prior_min_db / 10.0f)),
      spectrum_(stft_.bins()),
      power_(stft_.bins()),
      posterior_snr_(stft_.bins()),
      prior_snr_(stft_.bins()),
      absence_probability_(stft_.bins()),
      presence_(stft_.bins()),
      gain_(stft_.bins()),
      previous_speech_power_(stft_.bins()) {}

float Denoiser::process(const float* input, float* output) {
    const float presence = estimate(input);
    synthesise(gain_.data(), output);
    return presence;
}

float Denoiser::estimate(const float* input) {
    stft_.analyse(input, spectrum_);
    const std::size_t bins = spectrum_.size();
    for (std::size_t k = 0; k < bins; ++k) power_[k] = std::norm(spectrum_[k]);
    noise_.update(power_);
    return estimate_gain();
}

void Denoiser::synthesise(const float* gain, float* output) {
    if (gain_floor_ >= 1.0f) {
        // No attenuation allowed: hand back the input, delayed like the processed path.
        const auto delayed = stft_.delayed_input();
        std::copy(delayed.begin(), delayed.end(), output);
        return;
    }
    const std::size_t bins = spectrum_.size();
    for (std::size_t k = 0; k < bins; ++k) spectrum_[k] *= gain[k];
    stft_.synthesise(spectrum_, output);
}

float Denoiser::estimate_gain() {
    const std::size_t bins = spectrum_.size();
    const float* noise = noise_.noise_power().data();
    const float* power = power_.data();
    float* posterior_snr = posterior_snr_.data();
    float* prior_snr = prior_snr_.data();
    float* previous_speech_power = previous_speech_power_.data();
    for (std::size_t k = 0; k < bins; ++k)
        posterior_snr[k] = min_of(power[k] / noise[k], kMaxPosteriorSnr);
    if (cepstral_) {
        cepstral_snr_.update(power_, noise_.noise_power(), prior_snr_);
    } else {
        for (std::size_t k = 0; k < bins; ++k) {
            const float decision_directed =
                dd_weight_ * previous_speech_power[k] / noise[k] +
                (1.0f - dd_weight_) * max_of(posterior_snr[k] - 1.0f, 0.0f);
            prior_snr[k] = max_of(decision_directed, prior_snr_min_);
        }
    }
    absence_.update(prior_snr_, absence_probability_);

    float* presence = presence_.data();
    float* gain = gain_.data();
    apply_gain_rule(bins, std::log(gain_floor_),
                    {prior_snr, posterior_snr, power, absence_probability_.data()},
                    {previous_speech_power, presence, gain});

    float presence_sum = 0.0f;
    for (std::size_t k = presence_begin_; k < presence_end_; ++k) presence_sum += presence[k];
    return presence_sum / static_cast<float>(presence_end_ - presence_begin_);
}

void Denoiser::reset() {
    stft_.reset();
    noise_.reset();
    absence_.reset();
    cepstral_snr_.reset();
    std::fill(previous_speech_power_.begin(), previous_speech_power_.end(), 0.0f);
}

}  // namespace orlune::engine
