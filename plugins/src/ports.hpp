// The ports both plugin formats expose, in index order: the audio ports (inputs, then
// outputs), then the control ports below. lv2/orlune.ttl describes the same ports.
#pragma once

#include <array>
#include <cstddef>

namespace orlune::plugins {

struct ControlPort {
    const char* name;
    bool is_output;
    float minimum;
    float maximum;
    float default_value;
};

enum Control : std::size_t {
    attenuation_limit,
    vad_threshold,
    vad_hold,
    vad_lookahead,
    latency,
    speech_probability,
    control_count
};

// VAD hold tops out at 800 ms so that its 200 ms default is a point LADSPA can name
// (a quarter of the range).
inline constexpr std::array<ControlPort, control_count> control_ports{{
    {"Attenuation limit (dB)", false, 0.0f, 100.0f, 100.0f},
    {"VAD threshold (%)", false, 0.0f, 99.0f, 0.0f},
    {"VAD hold (ms)", false, 0.0f, 800.0f, 200.0f},
    {"VAD lookahead (ms)", false, 0.0f, 100.0f, 0.0f},
    {"latency", true, 0.0f, 0.0f, 0.0f},
    {"Speech probability", true, 0.0f, 1.0f, 0.0f},
}};

inline constexpr std::size_t audio_port_count(std::size_t channels) { return 2 * channels; }

// The value of an input control port as the plugin uses it: unconnected or NaN gives
// the default, anything else is clamped to the port's range.
inline float control_value(Control control, const float* port) {
    const ControlPort& spec = control_ports[control];
    if (port == nullptr || !(*port == *port)) return spec.default_value;
    if (*port < spec.minimum) return spec.minimum;
    if (*port > spec.maximum) return spec.maximum;
    return *port;
}

}  // namespace orlune::plugins
