// One plugin instance, whatever the plugin format: the engine's streams (one per channel)
// behind a frame buffer that takes any host block size, the attenuation limit, the
// lookahead delay and the voice gate. Everything is allocated by create(); activate() and
// run() never allocate, lock, log or touch a file.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "orlune_nc.h"
#include "ports.hpp"
#include "voice_gate.hpp"

namespace orlune::plugins {

inline constexpr std::size_t max_channels = 2;

class Suppressor {
  public:
    // Opens the model bundle in `plugin_dir` and one engine stream per channel. Returns
    // nullptr, with the reason in `error`, for a sample rate the engine lacks or a
    // missing or damaged bundle.
    static std::unique_ptr<Suppressor> create(const std::string& plugin_dir, double sample_rate,
                                              std::size_t channels, std::string& error) noexcept;

    // Ports in the order of ports.hpp: audio inputs, audio outputs, then the controls.
    void connect(std::size_t port, float* location);
    // Starts a fresh stream: the engine state, buffers and gate as after create().
    void activate();
    void run(std::size_t frames);

  private:
    struct ModelFree {
        void operator()(kelvo_nc_model* model) const { kelvo_nc_model_free(model); }
    };
    struct SessionFree {
        void operator()(kelvo_nc_session* session) const { kelvo_nc_session_free(session); }
    };

    struct Channel {
        std::unique_ptr<kelvo_nc_session, SessionFree> session;
        const float* input = nullptr;
        float* output = nullptr;
        // The input the engine's output lines up with (engine latency) and the frame
        // being filled; the frame is handed to the engine in place.
        std::vector<float> history;
        std::vector<float> denoised;        // the engine's last frame
        std::vector<float> aligned;         // the input that frame lines up with
        std::vector<float> denoised_delay;  // lookahead delay lines
        std::vector<float> aligned_delay;
    };

    Suppressor(double sample_rate, std::size_t channels)
        : sample_rate_(sample_rate), channel_count_(channels), gate_(sample_rate) {}

    void process_frame(float threshold, std::size_t hold_samples);
    std::size_t samples(float milliseconds) const;
    std::size_t lookahead() const;  // in samples, from its control port
    // Writes the output control ports: the latency and the last frame's speech probability.
    void report();

    double sample_rate_;
    std::size_t channel_count_;
    std::size_t frame_length_ = 0;
    std::size_t engine_latency_ = 0;
    std::size_t delay_size_ = 0;
    // The model outlives the sessions made from it: members are destroyed in reverse order.
    std::unique_ptr<kelvo_nc_model, ModelFree> model_;
    std::array<Channel, max_channels> channels_;
    std::array<float*, control_count> controls_{};
    VoiceGate gate_;
    std::size_t position_ = 0;     // samples of the current frame received so far
    std::size_t delay_write_ = 0;  // next slot of the lookahead delay lines
    float speech_probability_ = 0.0f;
};

}  // namespace orlune::plugins
