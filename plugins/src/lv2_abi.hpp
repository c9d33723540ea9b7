// The parts of the LV2 interface these plugins use (the core descriptor, and the log and
// URID-map features for reporting a refused instantiation), declared here so that the
// plugin builds without the LV2 headers installed. abi_check.cpp compares them with the
// official headers wherever those are present.
#pragma once

#include <cstdarg>
#include <cstdint>

namespace orlune::plugins::lv2 {

inline constexpr const char* log_feature_uri = "http://lv2plug.in/ns/ext/log#log";
inline constexpr const char* log_error_uri = "http://lv2plug.in/ns/ext/log#Error";
inline constexpr const char* urid_map_feature_uri = "http://lv2plug.in/ns/ext/urid#map";

struct Feature {
    const char* uri;
    void* data;
};

struct Descriptor {
    const char* uri;
    void* (*instantiate)(const Descriptor* descriptor, double sample_rate, const char* bundle_path,
                         const Feature* const* features);
    void (*connect_port)(void* instance, std::uint32_t port, void* location);
    void (*activate)(void* instance);
    void (*run)(void* instance, std::uint32_t sample_count);
    void (*deactivate)(void* instance);
    void (*cleanup)(void* instance);
    const void* (*extension_data)(const char* uri);
};

struct UridMap {
    void* handle;
    std::uint32_t (*map)(void* handle, const char* uri);
};

struct Log {
    void* handle;
    int (*printf)(void* handle, std::uint32_t type, const char* format, ...);
    int (*vprintf)(void* handle, std::uint32_t type, const char* format, std::va_list args);
};

}  // namespace orlune::plugins::lv2
