// The voice gate: opens while the engine hears speech, stays open for a hold time after
// it, and moves between open and closed along short linear ramps so that nothing clicks.
#pragma once

#include <cstddef>

namespace orlune::plugins {

class VoiceGate {
  public:
    explicit VoiceGate(double sample_rate)
        : opening_step_(static_cast<float>(1.0 / (opening_seconds * sample_rate))),
          closing_step_(static_cast<float>(1.0 / (closing_seconds * sample_rate))) {}

    void reset() {
        open_ = true;
        hold_left_ = 0;
        openness_ = 1.0f;
    }

    // Decides once per engine frame. A threshold of 0 turns the gate off (always open).
    void decide(float speech_probability, float threshold, std::size_t hold_samples,
                std::size_t frame_length) {
        if (threshold <= 0.0f || speech_probability >= threshold) {
            open_ = true;
            hold_left_ = threshold <= 0.0f ? 0 : hold_samples;
        } else if (hold_left_ > frame_length) {
            hold_left_ -= frame_length;
        } else {
            open_ = false;
            hold_left_ = 0;
        }
    }

    // The openness for the next output sample: 1 passes the signal, 0 gives the closed path.
    float next_openness() {
        if (open_) {
            openness_ = openness_ + opening_step_ < 1.0f ? openness_ + opening_step_ : 1.0f;
        } else {
            openness_ = openness_ - closing_step_ > 0.0f ? openness_ - closing_step_ : 0.0f;
        }
        return openness_;
    }

  private:
    static constexpr double opening_seconds = 0.005;
    static constexpr double closing_seconds = 0.020;

    float opening_step_;
    float closing_step_;
    bool open_ = true;
    std::size_t hold_left_ = 0;
    float openness_ = 1.0f;
};

}  // namespace orlune::plugins
