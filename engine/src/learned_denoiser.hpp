// One causal stream through the learned model. Per 10 ms hop: the statistical front end
// (Denoiser::estimate: STFT analysis, noise tracking, a-priori SNR, speech presence),
// the features, one step of the network, its band gains expanded below kExpansionKnee,
// per-bin gains from them (the band triangles up to 8 kHz, refined within each band by
// the statistical gain; above, the rule in high_band_gains()), the gain floor, and
// overlap-add synthesis. The frame's result is the network's speech probability.
// All state is per object; process() neither allocates nor locks.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "denoiser.hpp"
#include "features.hpp"
#include "model.hpp"
#include "network.hpp"

namespace orlune::engine {

// Bands centred at or above this feed the gain above 8 kHz.
inline constexpr double kHighBandsFromHz = 6000.0;
// A-priori SNR (10 dB) and band gain above which a bin counts as speech to both the
// statistical estimator and the network.
inline constexpr float kConfidentSnr = 10.0f;
inline constexpr float kSpeechBandGain = 0.5f;
// Band gains below this are pushed further down (g * g / knee, continuous at the knee).
// Such a band holds more noise than speech, and a network trained on the mean error
// answers timidly where it is unsure: the residual noise it leaves there is what
// listeners hear, while bands it mostly keeps stay as they are.
inline constexpr float kExpansionKnee = 0.5f;

class LearnedDenoiser {
  public:
    // `network` must outlive the object.
    static std::optional<LearnedDenoiser> create(const ModelParameters& parameters,
                                                 const Network& network, std::size_t sample_rate,
                                                 float attenuation_limit_db);

    std::size_t frame_length() const { return front_.frame_length(); }
    std::size_t latency() const { return front_.latency(); }

    float process(const float* input, float* output);

    void reset();

  private:
    LearnedDenoiser(Denoiser front, const Network& network, std::size_t sample_rate,
                    float gain_floor);

    // Bins above 8 kHz, where training speech is scarce: the network's verdict on its
    // top bands (the amplitude gain that keeps their estimated speech energy, from the
    // band gains weighted by band energy) bounds the statistical estimator's gain per bin.
    void high_band_gains(std::span<const float> band_gain);
    // Per-bin detail the 32 bands cannot express, from the statistical estimator. Within
    // each band, the band gain's output energy is shared out over the bins in proportion
    // to the statistical gain: bins it finds speech in (harmonics) keep more, the noise
    // between them less (fading out as the band gain nears 1, which keeps the band as it
    // is). And where both agree on speech, a bin kConfidentSnr above its noise estimate
    // in a band the network mostly keeps, the bin keeps at least the statistical gain:
    // the coarse band gain would otherwise shave clean speech.
    void bin_gains_within_bands();

    Denoiser front_;  // runs with the statistical model's own floor, whatever the limit
    FeatureExtractor extractor_;
    NetworkState network_;
    float gain_floor_;
    std::size_t high_band_first_;
    std::vector<float> features_;
    std::vector<float> band_energy_;
    std::vector<float> gain_;
    std::vector<float> shaped_power_;     // per bin: |statistical gain|^2 * power
    std::vector<float> band_correction_;  // per bin: what restores each band's energy
};

}  // namespace orlune::engine
