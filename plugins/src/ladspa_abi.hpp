// The LADSPA plugin interface, declared here so that the plugin builds without the SDK
// installed: it is a small C ABI, fixed since version 1.1. abi_check.cpp compares these
// declarations with the SDK's header wherever that header is present.
#pragma once

namespace orlune::plugins::ladspa {

// Port kinds (combined bitwise).
inline constexpr int port_input = 0x1;
inline constexpr int port_output = 0x2;
inline constexpr int port_control = 0x4;
inline constexpr int port_audio = 0x8;

// Plugin properties.
inline constexpr int property_hard_rt_capable = 0x4;

// Range hints: bounds, and the default as a choice among fixed points of the range.
inline constexpr int hint_bounded_below = 0x1;
inline constexpr int hint_bounded_above = 0x2;
inline constexpr int hint_default_minimum = 0x40;
inline constexpr int hint_default_low = 0x80;  // 0.75 * lower + 0.25 * upper
inline constexpr int hint_default_maximum = 0x140;

struct PortRangeHint {
    int hints;
    float lower_bound;
    float upper_bound;
};

struct Descriptor {
    unsigned long unique_id;
    const char* label;
    int properties;
    const char* name;
    const char* maker;
    const char* copyright;
    unsigned long port_count;
    const int* port_descriptors;
    const char* const* port_names;
    const PortRangeHint* port_range_hints;
    void* implementation_data;
    void* (*instantiate)(const Descriptor* descriptor, unsigned long sample_rate);
    void (*connect_port)(void* instance, unsigned long port, float* location);
    void (*activate)(void* instance);
    void (*run)(void* instance, unsigned long sample_count);
    void (*run_adding)(void* instance, unsigned long sample_count);
    void (*set_run_adding_gain)(void* instance, float gain);
    void (*deactivate)(void* instance);
    void (*cleanup)(void* instance);
};

}  // namespace orlune::plugins::ladspa
