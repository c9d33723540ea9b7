#include "model.hpp"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <variant>

namespace orlune::engine {
namespace {

// One scalar entry of the bundle: its name, where it lands and its valid range.
struct ScalarField {
    std::string_view name;
    std::variant<float ModelParameters::*, int ModelParameters::*> member;
    float min;
    float max;
};

constexpr float kNoLimit = 1e30f;

const ScalarField kFields[] = {
    {"stft.window_hops", &ModelParameters::window_hops, 2.0f, 4.0f},
    {"stft.window_exponent", &ModelParameters::window_exponent, 0.0f, 1.0f},
    {"noise.init_frames", &ModelParameters::noise_init_frames, 1.0f, 100.0f},
    {"noise.prior_snr_db", &ModelParameters::noise_prior_snr_db, 0.0f, 40.0f},
    {"noise.prior_speech", &ModelParameters::noise_prior_speech, 0.01f, 0.99f},
    {"noise.power_smoothing", &ModelParameters::noise_power_smoothing, 0.0f, 0.999f},
    {"noise.spp_smoothing", &ModelParameters::noise_spp_smoothing, 0.0f, 0.999f},
    {"noise.spp_cap", &ModelParameters::noise_spp_cap, 0.5f, 1.0f},
    {"noise.gate_db", &ModelParameters::noise_gate_db, 0.0f, 60.0f},
    {"noise.minimum_smoothing", &ModelParameters::noise_minimum_smoothing, 0.0f, 0.999f},
    {"noise.minimum_bias_db", &ModelParameters::noise_minimum_bias_db, 0.0f, 30.0f},
    {"noise.minimum_subwindow_frames", &ModelParameters::noise_minimum_subwindow_frames, 1.0f,
     200.0f},
    {"noise.minimum_subwindows", &ModelParameters::noise_minimum_subwindows, 1.0f, 32.0f},
    {"snr.estimator", &ModelParameters::snr_estimator, 0.0f, 1.0f},
    {"cepstral.ml_floor_db", &ModelParameters::cepstral_ml_floor_db, -60.0f, 0.0f},
    {"cepstral.envelope_ms", &ModelParameters::cepstral_envelope_ms, 0.0f, 5.0f},
    {"cepstral.envelope_smoothing", &ModelParameters::cepstral_envelope_smoothing, 0.0f, 0.999f},
    {"cepstral.smoothing", &ModelParameters::cepstral_smoothing, 0.0f, 0.999f},
    {"cepstral.pitch_min_hz", &ModelParameters::cepstral_pitch_min_hz, 40.0f, 1000.0f},
    {"cepstral.pitch_max_hz", &ModelParameters::cepstral_pitch_max_hz, 40.0f, 1000.0f},
    {"cepstral.pitch_threshold", &ModelParameters::cepstral_pitch_threshold, 0.0f, 10.0f},
    {"cepstral.pitch_band_hz", &ModelParameters::cepstral_pitch_band_hz, 1000.0f, 24000.0f},
    {"cepstral.pitch_smoothing", &ModelParameters::cepstral_pitch_smoothing, 0.0f, 0.999f},
    {"cepstral.pitch_halfwidth_ms", &ModelParameters::cepstral_pitch_halfwidth_ms, 0.0f, 2.0f},
    {"cepstral.bias_db", &ModelParameters::cepstral_bias_db, -20.0f, 20.0f},
    {"snr.dd_weight", &ModelParameters::snr_dd_weight, 0.0f, 0.999f},
    {"snr.prior_min_db", &ModelParameters::snr_prior_min_db, -60.0f, 0.0f},
    {"gain.floor_db", &ModelParameters::gain_floor_db, -120.0f, 0.0f},
    {"absence.snr_smoothing", &ModelParameters::absence_snr_smoothing, 0.0f, 0.999f},
    {"absence.local_halfwidth_hz", &ModelParameters::absence_local_halfwidth_hz, 0.0f, 4000.0f},
    {"absence.global_halfwidth_hz", &ModelParameters::absence_global_halfwidth_hz, 0.0f, 4000.0f},
    {"absence.low_db", &ModelParameters::absence_low_db, -40.0f, 40.0f},
    {"absence.high_db", &ModelParameters::absence_high_db, -40.0f, 40.0f},
    {"absence.peak_min_db", &ModelParameters::absence_peak_min_db, -40.0f, 40.0f},
    {"absence.peak_max_db", &ModelParameters::absence_peak_max_db, -40.0f, 40.0f},
    {"absence.max", &ModelParameters::absence_max, 0.0f, 0.999f},
    {"presence.band_low_hz", &ModelParameters::presence_band_low_hz, 0.0f, kNoLimit},
    {"presence.band_high_hz", &ModelParameters::presence_band_high_hz, 0.0f, kNoLimit},
};

bool consistent(const ModelParameters& p) {
    return p.absence_low_db < p.absence_high_db && p.absence_peak_min_db <= p.absence_peak_max_db &&
           p.presence_band_low_hz < p.presence_band_high_hz &&
           p.cepstral_pitch_min_hz < p.cepstral_pitch_max_hz;
}

}  // namespace

std::optional<ModelParameters> parameters_from_table(const SectionTable& table) {
    ModelParameters parameters;
    std::size_t matched = 0;
    for (const ScalarField& field : kFields) {
        const auto it = table.find(field.name);
        if (it == table.end() || !it->second.is_floats({1})) return std::nullopt;
        const float value = it->second.values[0];
        if (!(value >= field.min && value <= field.max)) return std::nullopt;
        if (const auto* as_float = std::get_if<float ModelParameters::*>(&field.member)) {
            parameters.*(*as_float) = value;
        } else {
            if (value != std::floor(value)) return std::nullopt;
            parameters.*std::get<int ModelParameters::*>(field.member) = static_cast<int>(value);
        }
        ++matched;
    }
    const auto parameter_count = std::count_if(table.begin(), table.end(), [](const auto& entry) {
        const std::string_view name = entry.first;
        return !name.starts_with(kNetworkPrefix) && !name.starts_with(kMetadataPrefix);
    });
    if (matched != static_cast<std::size_t>(parameter_count) || !consistent(parameters)) {
        return std::nullopt;
    }
    return parameters;
}

}  // namespace orlune::engine
