// The engine's tunable parameters, read from a bundle and validated once at load time.
#pragma once

#include <optional>
#include <string_view>

#include "bundle.hpp"

namespace orlune::engine {

// Every value a Denoiser needs besides the sample rate and the attenuation limit; all of
// them come from the bundle (engine/tools/make_bundle.py holds the defaults and their
// reasons). Smoothing constants are per 10 ms frame, the hop at every sample rate.
struct ModelParameters {
    // Analysis/synthesis: a periodic Hann window of `window_hops` frames, split as
    // hann^exponent for analysis and hann^(1 - exponent) for synthesis.
    int window_hops{};
    float window_exponent{};

    // Noise power tracking driven by the posterior probability of speech presence.
    int noise_init_frames{};
    float noise_prior_snr_db{};
    float noise_prior_speech{};
    float noise_power_smoothing{};
    float noise_spp_smoothing{};
    float noise_spp_cap{};
    // Minimum statistics: bias x the minimum of the power smoothed by `minimum_smoothing`,
    // over `minimum_subwindows` subwindows of `minimum_subwindow_frames` frames, caps the
    // estimate; power more than `gate_db` above that cap leaves the estimate alone.
    float noise_minimum_smoothing{};
    float noise_minimum_bias_db{};
    float noise_gate_db{};
    int noise_minimum_subwindow_frames{};
    int noise_minimum_subwindows{};

    // A-priori SNR: 0 decision-directed (weight snr_dd_weight), 1 cepstro-temporal smoothing.
    int snr_estimator{};
    float snr_dd_weight{};
    float snr_prior_min_db{};

    // Cepstro-temporal smoothing: floor of the ML speech power (re noise), the smoothing
    // per quefrency region, the pitch search and a log-domain bias correction.
    float cepstral_ml_floor_db{};
    float cepstral_envelope_ms{};
    float cepstral_envelope_smoothing{};
    float cepstral_smoothing{};
    float cepstral_pitch_min_hz{};
    float cepstral_pitch_max_hz{};
    float cepstral_pitch_threshold{};  // for a band of cepstral_pitch_band_hz
    float cepstral_pitch_band_hz{};
    float cepstral_pitch_smoothing{};
    float cepstral_pitch_halfwidth_ms{};
    float cepstral_bias_db{};

    // Gain rule: the engine's own lowest gain when the caller sets no tighter bound.
    float gain_floor_db{};

    // A-priori speech absence from recursively averaged a-priori SNR, smoothed
    // locally and globally across frequency and over the frame.
    float absence_snr_smoothing{};
    float absence_local_halfwidth_hz{};
    float absence_global_halfwidth_hz{};
    float absence_low_db{};
    float absence_high_db{};
    float absence_peak_min_db{};
    float absence_peak_max_db{};
    float absence_max{};

    // Band over which the per-bin presence probabilities are averaged into the frame's.
    float presence_band_low_hz{};
    float presence_band_high_hz{};
};

// Sections whose names start with these belong to the learned network and to free-form
// metadata; every other section of a bundle is one of the statistical parameters.
inline constexpr std::string_view kNetworkPrefix = "net.";
inline constexpr std::string_view kMetadataPrefix = "meta.";

// Builds the parameters from a bundle's table. nullopt when an entry is missing, is not
// a single float, lies outside its valid range, or the table holds a parameter this
// engine does not know.
std::optional<ModelParameters> parameters_from_table(const SectionTable& table);

}  // namespace orlune::engine
