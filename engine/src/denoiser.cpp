#include "denoiser.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace orlune::engine {

std::optional<Model> Model::from_parameters(const ParameterTable& table) {
    Model model;
    if (auto it = table.find("gain.floor_db"); it != table.end()) {
        if (it->second.size() != 1) return std::nullopt;
        model.gain_floor_db_ = it->second[0];
    }
    return model;
}

std::optional<std::size_t> frame_length_for_rate(std::size_t sample_rate) {
    static constexpr std::array<std::pair<std::size_t, std::size_t>, 7> kRates{{
        {8000, 80}, {16000, 160}, {22050, 220}, {24000, 240},
        {32000, 320}, {44100, 441}, {48000, 480},
    }};
    for (const auto& [rate, frame] : kRates) {
        if (rate == sample_rate) return frame;
    }
    return std::nullopt;
}

std::optional<Denoiser> Denoiser::create(const Model& /*model*/, std::size_t sample_rate,
                                         float attenuation_limit_db) {
    const auto frame = frame_length_for_rate(sample_rate);
    if (!frame) return std::nullopt;
    return Denoiser(sample_rate, *frame, attenuation_limit_db);
}

float Denoiser::process(const float* input, float* output) {
    std::copy_n(input, frame_length_, output);
    return 0.0f;
}

void Denoiser::reset() {}

}  // namespace orlune::engine
