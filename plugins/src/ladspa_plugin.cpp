// The LADSPA library: labels orlune_mono and orlune_stereo. The model bundle is found
// beside this library, wherever it has been copied.
#include <dlfcn.h>

#include <array>
#include <cstdio>
#include <memory>
#include <string>

#include "ladspa_abi.hpp"
#include "ports.hpp"
#include "suppressor.hpp"

namespace orlune::plugins {
namespace {

using ladspa::Descriptor;

// Identifiers from the range LADSPA leaves to private use; hosts key presets on them.
constexpr unsigned long mono_id = 4'913'801;
constexpr unsigned long stereo_id = 4'913'802;

template <std::size_t Channels>
struct PortTable {
    static constexpr std::size_t count = audio_port_count(Channels) + control_count;
    std::array<int, count> descriptors{};
    std::array<const char*, count> names{};
    std::array<ladspa::PortRangeHint, count> hints{};
};

int default_hint(const ControlPort& port) {
    if (port.default_value == port.minimum) return ladspa::hint_default_minimum;
    if (port.default_value == port.maximum) return ladspa::hint_default_maximum;
    return ladspa::hint_default_low;  // VAD hold: checked by the static_assert below
}
static_assert(control_ports[vad_hold].default_value ==
              0.75f * control_ports[vad_hold].minimum + 0.25f * control_ports[vad_hold].maximum);

template <std::size_t Channels>
PortTable<Channels> make_ports(const std::array<const char*, 2 * Channels>& audio_names) {
    PortTable<Channels> table;
    for (std::size_t i = 0; i < 2 * Channels; ++i) {
        table.descriptors[i] =
            ladspa::port_audio | (i < Channels ? ladspa::port_input : ladspa::port_output);
        table.names[i] = audio_names[i];
    }
    for (std::size_t c = 0; c < control_count; ++c) {
        const ControlPort& port = control_ports[c];
        const std::size_t i = 2 * Channels + c;
        table.descriptors[i] =
            ladspa::port_control | (port.is_output ? ladspa::port_output : ladspa::port_input);
        table.names[i] = port.name;
        if (c == latency) continue;  // an unbounded count of samples
        int hints = ladspa::hint_bounded_below | ladspa::hint_bounded_above;
        if (!port.is_output) hints |= default_hint(port);
        table.hints[i] = {hints, port.minimum, port.maximum};
    }
    return table;
}

const PortTable<1> mono_ports = make_ports<1>({"Input", "Output"});
const PortTable<2> stereo_ports = make_ports<2>({"Input L", "Input R", "Output L", "Output R"});

std::string library_dir() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&library_dir), &info) == 0 || info.dli_fname == nullptr) {
        return ".";
    }
    const std::string path = info.dli_fname;
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

Suppressor* instance(void* handle) { return static_cast<Suppressor*>(handle); }

void* instantiate(const Descriptor* descriptor, unsigned long sample_rate) {
    const std::size_t channels = descriptor->unique_id == stereo_id ? 2 : 1;
    std::string error;
    try {
        auto suppressor =
            Suppressor::create(library_dir(), static_cast<double>(sample_rate), channels, error);
        // LADSPA has no channel back to the host: the reason goes where its log goes.
        if (!suppressor) std::fprintf(stderr, "%s\n", error.c_str());
        return suppressor.release();
    } catch (...) {  // std::bad_alloc from building the path
        return nullptr;
    }
}

void connect_port(void* handle, unsigned long port, float* location) {
    instance(handle)->connect(port, location);
}
void activate(void* handle) { instance(handle)->activate(); }
void run(void* handle, unsigned long frames) { instance(handle)->run(frames); }
void cleanup(void* handle) { std::unique_ptr<Suppressor> owned(instance(handle)); }

template <std::size_t Channels>
Descriptor describe(unsigned long id, const char* label, const char* name,
                    const PortTable<Channels>& ports) {
    return Descriptor{
        id,
        label,
        ladspa::property_hard_rt_capable,
        name,
        "Orlune",
        "Proprietary",
        ports.count,
        ports.descriptors.data(),
        ports.names.data(),
        ports.hints.data(),
        nullptr,
        instantiate,
        connect_port,
        activate,
        run,
        nullptr,
        nullptr,
        nullptr,
        cleanup,
    };
}

const std::array<Descriptor, 2> descriptors{
    describe(mono_id, "orlune_mono", "Orlune noise suppression (mono)", mono_ports),
    describe(stereo_id, "orlune_stereo", "Orlune noise suppression (stereo)", stereo_ports),
};

}  // namespace
}  // namespace orlune::plugins

extern "C" __attribute__((visibility("default"))) const orlune::plugins::ladspa::Descriptor*
ladspa_descriptor(unsigned long index) {
    const auto& all = orlune::plugins::descriptors;
    return index < all.size() ? &all[index] : nullptr;
}
