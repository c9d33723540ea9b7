// The LV2 library of the orlune.lv2 bundle (described by manifest.ttl and orlune.ttl):
// urn:orlune:mono and urn:orlune:stereo. The model bundle lies in the LV2 bundle.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "lv2_abi.hpp"
#include "suppressor.hpp"

namespace orlune::plugins {
namespace {

using lv2::Descriptor;

constexpr const char* mono_uri = "urn:orlune:mono";
constexpr const char* stereo_uri = "urn:orlune:stereo";

const void* feature(const lv2::Feature* const* features, const char* uri) {
    for (; features != nullptr && *features != nullptr; ++features) {
        if (std::strcmp((*features)->uri, uri) == 0) return (*features)->data;
    }
    return nullptr;
}

// Through the host's log when it offers one, else on standard error.
void report_error(const lv2::Feature* const* features, const std::string& message) {
    const auto* log = static_cast<const lv2::Log*>(feature(features, lv2::log_feature_uri));
    const auto* map =
        static_cast<const lv2::UridMap*>(feature(features, lv2::urid_map_feature_uri));
    if (log != nullptr && map != nullptr) {
        log->printf(log->handle, map->map(map->handle, lv2::log_error_uri), "%s\n",
                    message.c_str());
    } else {
        std::fprintf(stderr, "%s\n", message.c_str());
    }
}

Suppressor* instance(void* handle) { return static_cast<Suppressor*>(handle); }

void* instantiate(const Descriptor* descriptor, double sample_rate, const char* bundle_path,
                  const lv2::Feature* const* features) {
    const std::size_t channels = std::strcmp(descriptor->uri, stereo_uri) == 0 ? 2 : 1;
    std::string error;
    try {
        std::string dir = bundle_path != nullptr ? bundle_path : ".";
        while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
        auto suppressor = Suppressor::create(dir, sample_rate, channels, error);
        if (!suppressor) report_error(features, error);
        return suppressor.release();
    } catch (...) {  // std::bad_alloc from building the path or the message
        return nullptr;
    }
}

void connect_port(void* handle, std::uint32_t port, void* location) {
    instance(handle)->connect(port, static_cast<float*>(location));
}
void activate(void* handle) { instance(handle)->activate(); }
void run(void* handle, std::uint32_t frames) { instance(handle)->run(frames); }
void cleanup(void* handle) { std::unique_ptr<Suppressor> owned(instance(handle)); }
const void* extension_data(const char*) { return nullptr; }

constexpr Descriptor mono{mono_uri, instantiate, connect_port, activate,
                          run,      nullptr,     cleanup,      extension_data};
constexpr Descriptor stereo{stereo_uri, instantiate, connect_port, activate,
                            run,        nullptr,     cleanup,      extension_data};

}  // namespace
}  // namespace orlune::plugins

extern "C" __attribute__((visibility("default"))) const orlune::plugins::lv2::Descriptor*
lv2_descriptor(std::uint32_t index) {
    switch (index) {
        case 0:
            return &orlune::plugins::mono;
        case 1:
            return &orlune::plugins::stereo;
        default:
            return nullptr;
    }
}
