// The engine's tunable parameters, read from a bundle and validated once at load time.
#pragma once

#include <optional>

#include "bundle.hpp"

namespace orlune::engine {

// Every value a Denoiser needs besides the sample rate and the attenuation limit.
// Rates and smoothing constants are given per 10 ms frame, the hop at every sample rate.
struct ModelParameters {
    // Analysis/synthesis: a periodic Hann window of `window_hops` frames, split as
    // hann^exponent for analysis and hann^(1 - exponent) for synthesis.
    int window_hops = 3;
    float window_exponent = 0.5f;

    // Noise power tracking driven by the posterior probability of speech presence.
    int noise_init_frames = 8;
    float noise_prior_snr_db = 15.0f;
    float noise_prior_speech = 0.5f;
    float noise_power_smoothing = 0.8f;
    float noise_spp_smoothing = 0.9f;
    float noise_spp_cap = 0.99f;
    float noise_gate_db = 7.0f;
    // Ceiling: bias x the minimum of the power smoothed by `minimum_smoothing`, over
    // `minimum_subwindows` subwindows of `minimum_subwindow_frames` frames.
    float noise_minimum_smoothing = 0.85f;
    float noise_minimum_bias_db = 6.0f;
    int noise_minimum_subwindow_frames = 25;
    int noise_minimum_subwindows = 6;

    // A-priori SNR: 0 decision-directed (weight snr_dd_weight), 1 cepstro-temporal smoothing.
    int snr_estimator = 1;
    float snr_dd_weight = 0.98f;
    float snr_prior_min_db = -25.0f;

    // Cepstro-temporal smoothing: floor of the ML speech power (re noise), the smoothing
    // per quefrency region, the pitch search and a log-domain bias correction.
    float cepstral_ml_floor_db = -15.0f;
    float cepstral_envelope_ms = 0.5f;
    float cepstral_envelope_smoothing = 0.5f;
    float cepstral_smoothing = 0.97f;
    float cepstral_pitch_min_hz = 70.0f;
    float cepstral_pitch_max_hz = 400.0f;
    float cepstral_pitch_threshold = 0.2f;
    float cepstral_pitch_smoothing = 0.2f;
    float cepstral_pitch_halfwidth_ms = 0.15f;
    float cepstral_bias_db = 0.0f;

    // Gain rule: the engine's own lowest gain when the caller sets no tighter bound.
    float gain_floor_db = -25.0f;

    // A-priori speech absence from recursively averaged a-priori SNR, smoothed
    // locally and globally across frequency and over the frame.
    float absence_snr_smoothing = 0.7f;
    float absence_local_halfwidth_hz = 60.0f;
    float absence_global_halfwidth_hz = 500.0f;
    float absence_low_db = -10.0f;
    float absence_high_db = -5.0f;
    float absence_peak_min_db = 0.0f;
    float absence_peak_max_db = 10.0f;
    float absence_max = 0.95f;

    // Band over which the per-bin presence probabilities are averaged into the frame's.
    float presence_band_low_hz = 300.0f;
    float presence_band_high_hz = 4000.0f;
};

// Builds the parameters from a bundle's table. nullopt when an entry is missing, has
// the wrong number of values, lies outside its valid range, or the table holds an
// entry this engine does not know.
std::optional<ModelParameters> parameters_from_table(const ParameterTable& table);

}  // namespace orlune::engine
