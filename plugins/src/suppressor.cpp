#include "suppressor.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <new>

namespace orlune::plugins {

namespace {

constexpr float max_lookahead_ms = control_ports[vad_lookahead].maximum;

// The engine takes full-scale samples: what a host sends beyond them is clipped, and a
// NaN or infinity (which would poison the noise estimate for good) becomes silence.
float engine_sample(float sample) {
    if (!std::isfinite(sample)) return 0.0f;
    return std::clamp(sample, -1.0f, 1.0f);
}

std::string rate_text(double sample_rate) {
    char text[64];
    std::snprintf(text, sizeof text, "%.10g", sample_rate);
    return text;
}

// "8000, 16000, ... or 48000", as the engine lists them.
std::string supported_rates_text() {
    std::array<std::size_t, 32> rates{};
    const std::size_t count =
        std::min(kelvo_nc_supported_rates(rates.data(), rates.size()), rates.size());
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) text += i + 1 == count ? " or " : ", ";
        text += std::to_string(rates[i]);
    }
    return text;
}

}  // namespace

std::unique_ptr<Suppressor> Suppressor::create(const std::string& plugin_dir, double sample_rate,
                                               std::size_t channels, std::string& error) noexcept
    try {
    const std::string bundle = plugin_dir + "/" + ORLUNE_PLUGIN_MODEL_FILE;
    std::unique_ptr<Suppressor> self(new Suppressor(sample_rate, channels));
    self->model_.reset(kelvo_nc_model_load_from_path(bundle.c_str()));
    if (!self->model_) {
        error = "orlune: cannot load the model bundle " + bundle;
        return nullptr;
    }
    const bool whole_rate =
        sample_rate > 0.0 && sample_rate < 1e7 && sample_rate == std::floor(sample_rate);
    for (std::size_t c = 0; c < channels; ++c) {
        Channel& channel = self->channels_[c];
        // The engine runs at the port's largest limit; smaller ones are applied on its output.
        if (whole_rate) {
            channel.session.reset(
                kelvo_nc_session_create(self->model_.get(), static_cast<std::size_t>(sample_rate),
                                        control_ports[attenuation_limit].maximum));
        }
        if (!channel.session) {
            error = "orlune: " + rate_text(sample_rate) +
                    " Hz is not supported; open the plugin at " + supported_rates_text() + " Hz";
            return nullptr;
        }
    }
    const kelvo_nc_session* first = self->channels_[0].session.get();
    self->frame_length_ = kelvo_nc_get_frame_length(first);
    self->engine_latency_ = kelvo_nc_get_latency(first);
    self->delay_size_ = self->samples(max_lookahead_ms) + 1;
    for (std::size_t c = 0; c < channels; ++c) {
        Channel& channel = self->channels_[c];
        channel.history.resize(self->engine_latency_ + self->frame_length_);
        channel.denoised.resize(self->frame_length_);
        channel.aligned.resize(self->frame_length_);
        channel.denoised_delay.resize(self->delay_size_);
        channel.aligned_delay.resize(self->delay_size_);
    }
    self->activate();
    return self;
} catch (const std::bad_alloc&) {
    error = "orlune: out of memory";
    return nullptr;
}

void Suppressor::connect(std::size_t port, float* location) {
    const std::size_t audio_ports = audio_port_count(channel_count_);
    if (port < channel_count_) {
        channels_[port].input = location;
    } else if (port < audio_ports) {
        channels_[port - channel_count_].output = location;
    } else if (port - audio_ports < control_count) {
        controls_[port - audio_ports] = location;
        // Hosts may read the latency before the first run.
        if (port - audio_ports == latency) report();
    }
}

void Suppressor::activate() {
    for (std::size_t c = 0; c < channel_count_; ++c) {
        Channel& channel = channels_[c];
        kelvo_nc_reset(channel.session.get());
        for (auto* buffer : {&channel.history, &channel.denoised, &channel.aligned,
                             &channel.denoised_delay, &channel.aligned_delay}) {
            std::fill(buffer->begin(), buffer->end(), 0.0f);
        }
    }
    gate_.reset();
    position_ = 0;
    delay_write_ = 0;
    speech_probability_ = 0.0f;
    report();
}

std::size_t Suppressor::samples(float milliseconds) const {
    return static_cast<std::size_t>(std::lround(milliseconds * sample_rate_ / 1000.0));
}

std::size_t Suppressor::lookahead() const {
    return samples(control_value(vad_lookahead, controls_[vad_lookahead]));
}

void Suppressor::report() {
    if (controls_[latency] != nullptr) {
        *controls_[latency] = static_cast<float>(frame_length_ + engine_latency_ + lookahead());
    }
    if (controls_[speech_probability] != nullptr)
        *controls_[speech_probability] = speech_probability_;
}

void Suppressor::run(std::size_t frames) {
    for (std::size_t c = 0; c < channel_count_; ++c) {
        if (channels_[c].input == nullptr || channels_[c].output == nullptr) return;
    }
    const float limit_gain =
        std::pow(10.0f, -control_value(attenuation_limit, controls_[attenuation_limit]) / 20.0f);
    const float threshold = control_value(vad_threshold, controls_[vad_threshold]) / 100.0f;
    const std::size_t hold = samples(control_value(vad_hold, controls_[vad_hold]));
    const std::size_t delay = lookahead();
    // Each sample is read into the frame being filled and answered from the engine's
    // previous frame: one frame of delay, the same for every host block size.
    for (std::size_t done = 0; done < frames;) {
        const std::size_t chunk = std::min(frames - done, frame_length_ - position_);
        // All input of the chunk is read before any output is written: hosts may process
        // in place.
        for (std::size_t c = 0; c < channel_count_; ++c) {
            Channel& channel = channels_[c];
            float* staged = channel.history.data() + engine_latency_ + position_;
            for (std::size_t i = 0; i < chunk; ++i)
                staged[i] = engine_sample(channel.input[done + i]);
        }
        for (std::size_t i = 0; i < chunk; ++i) {
            const float openness = gate_.next_openness();
            const std::size_t read = (delay_write_ + delay_size_ - delay) % delay_size_;
            for (std::size_t c = 0; c < channel_count_; ++c) {
                Channel& channel = channels_[c];
                channel.denoised_delay[delay_write_] = channel.denoised[position_ + i];
                channel.aligned_delay[delay_write_] = channel.aligned[position_ + i];
                const float denoised = channel.denoised_delay[read];
                const float floor = limit_gain * channel.aligned_delay[read];
                // The limit keeps that share of the input, so nothing drops by more;
                // the closed gate leaves the input pulled down by the limit.
                const float limited =
                    denoised + limit_gain * (channel.aligned_delay[read] - denoised);
                channel.output[done + i] = openness * limited + (1.0f - openness) * floor;
            }
            delay_write_ = delay_write_ + 1 == delay_size_ ? 0 : delay_write_ + 1;
        }
        position_ += chunk;
        done += chunk;
        if (position_ == frame_length_) {
            process_frame(threshold, hold);
            position_ = 0;
        }
    }
    report();
}

void Suppressor::process_frame(float threshold, std::size_t hold_samples) {
    float probability = 0.0f;
    for (std::size_t c = 0; c < channel_count_; ++c) {
        Channel& channel = channels_[c];
        float* frame = channel.history.data() + engine_latency_;
        probability = std::max(probability, kelvo_nc_process_frame(channel.session.get(), frame,
                                                                   channel.denoised.data()));
        // The engine's output lines up with the input engine_latency_ samples earlier:
        // the oldest frame of the history, which then moves up to make room.
        std::copy_n(channel.history.begin(), frame_length_, channel.aligned.begin());
        std::copy(channel.history.begin() + frame_length_, channel.history.end(),
                  channel.history.begin());
    }
    // A stereo gate follows the louder channel's speech, so that both move together.
    speech_probability_ = probability;
    gate_.decide(probability, threshold, hold_samples, frame_length_);
}

}  // namespace orlune::plugins
