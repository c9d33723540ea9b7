// One causal noise-suppression stream. All state is per object; process() neither
// allocates nor locks.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "bundle.hpp"

namespace orlune::engine {

// Tunable parameters taken from a bundle, validated once at load time.
class Model {
public:
    static std::optional<Model> from_parameters(const ParameterTable& table);

    float gain_floor_db() const { return gain_floor_db_; }

private:
    float gain_floor_db_ = -100.0f;
};

// Sample rates the engine runs at and their 10 ms frame lengths.
std::optional<std::size_t> frame_length_for_rate(std::size_t sample_rate);

class Denoiser {
public:
    static std::optional<Denoiser> create(const Model& model, std::size_t sample_rate,
                                          float attenuation_limit_db);

    std::size_t frame_length() const { return frame_length_; }
    std::size_t latency() const { return 0; }
    float process(const float* input, float* output);
    void reset();

private:
    Denoiser(std::size_t sample_rate, std::size_t frame_length, float attenuation_limit_db)
        : sample_rate_(sample_rate), frame_length_(frame_length),
          attenuation_limit_db_(attenuation_limit_db) {}

    std::size_t sample_rate_;
    std::size_t frame_length_;
    float attenuation_limit_db_;
};

}  // namespace orlune::engine
