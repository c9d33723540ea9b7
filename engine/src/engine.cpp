// The exported C interface: argument checks and ownership; the signal paths live in
// Denoiser (statistical) and LearnedDenoiser.
#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "bundle.hpp"
#include "denoiser.hpp"
#include "features.hpp"
#include "learned_denoiser.hpp"
#include "model.hpp"
#include "network.hpp"
#include "orlune_nc.h"

using orlune::engine::Denoiser;
using orlune::engine::kBandCount;
using orlune::engine::kFeatureCount;
using orlune::engine::LearnedDenoiser;
using orlune::engine::ModelParameters;
using orlune::engine::Network;

struct kelvo_nc_model {
    ModelParameters parameters;
    std::optional<Network> network;  // present in a learned model's bundle
};

// One of the two signal paths.
struct kelvo_nc_session {
    std::unique_ptr<Denoiser> classic;
    std::unique_ptr<LearnedDenoiser> learned;

    template <typename Function>
    decltype(auto) visit(Function&& function) {
        return learned ? function(*learned) : function(*classic);
    }
    template <typename Function>
    decltype(auto) visit(Function&& function) const {
        return learned ? function(*learned) : function(*classic);
    }
};

extern "C" {

kelvo_nc_model* kelvo_nc_model_load_from_path(const char* path) {
    try {
        auto table = orlune::engine::load_bundle_file(path);
        if (!table) return nullptr;
        auto parameters = orlune::engine::parameters_from_table(*table);
        if (!parameters) return nullptr;
        auto model = std::make_unique<kelvo_nc_model>(kelvo_nc_model{*parameters, std::nullopt});
        const bool learned = std::any_of(table->begin(), table->end(), [](const auto& entry) {
            return std::string_view(entry.first).starts_with(orlune::engine::kNetworkPrefix);
        });
        if (learned) {
            model->network = Network::from_table(*table, kFeatureCount, kBandCount + 1);
            if (!model->network) return nullptr;
        }
        return model.release();
    } catch (...) {  // std::bad_alloc and friends must not cross the C boundary
        return nullptr;
    }
}

void kelvo_nc_model_free(kelvo_nc_model* model) { std::unique_ptr<kelvo_nc_model> owned(model); }

kelvo_nc_session* kelvo_nc_session_create(const kelvo_nc_model* model, size_t sample_rate,
                                          float attenuation_limit_db) {
    if (model == nullptr) return nullptr;
    try {
        if (model->network) {
            auto learned = LearnedDenoiser::create(model->parameters, *model->network,
                                                   sample_rate, attenuation_limit_db);
            if (!learned) return nullptr;
            auto session = std::make_unique<kelvo_nc_session>();
            session->learned = std::make_unique<LearnedDenoiser>(std::move(*learned));
            return session.release();
        }
        auto denoiser = Denoiser::create(model->parameters, sample_rate, attenuation_limit_db);
        if (!denoiser) return nullptr;
        auto session = std::make_unique<kelvo_nc_session>();
        session->classic = std::make_unique<Denoiser>(std::move(*denoiser));
        return session.release();
    } catch (...) {
        return nullptr;
    }
}

void kelvo_nc_session_free(kelvo_nc_session* session) {
    std::unique_ptr<kelvo_nc_session> owned(session);
}

size_t kelvo_nc_get_frame_length(const kelvo_nc_session* session) {
    if (session == nullptr) return 0;
    return session->visit([](const auto& stream) { return stream.frame_length(); });
}

float kelvo_nc_process_frame(kelvo_nc_session* session, const float* input, float* output) {
    if (session == nullptr || input == nullptr || output == nullptr) return 0.0f;
    return session->visit([&](auto& stream) { return stream.process(input, output); });
}

void kelvo_nc_reset(kelvo_nc_session* session) {
    if (session) session->visit([](auto& stream) { stream.reset(); });
}

size_t kelvo_nc_get_latency(const kelvo_nc_session* session) {
    if (session == nullptr) return 0;
    return session->visit([](const auto& stream) { return stream.latency(); });
}

size_t kelvo_nc_band_count(void) { return kBandCount; }

size_t kelvo_nc_feature_count(void) { return kFeatureCount; }

size_t kelvo_nc_analyse(const kelvo_nc_model* model, size_t sample_rate, const float* signal,
                        size_t samples, float* features, float* band_energy) {
    if (model == nullptr || signal == nullptr || features == nullptr) return 0;
    try {
        // The front end runs with the model's own floor, as inside a learned session.
        auto front = Denoiser::create(model->parameters, sample_rate, NAN);
        if (!front) return 0;
        orlune::engine::FeatureExtractor extractor(sample_rate, *front);
        const std::size_t frame_length = front->frame_length();
        const std::size_t frames = samples / frame_length;
        std::vector<float> energies(kBandCount);
        for (std::size_t t = 0; t < frames; ++t) {
            const float presence = front->estimate(signal + t * frame_length);
            extractor.compute(*front, presence, features + t * kFeatureCount, energies.data());
            if (band_energy != nullptr) {
                std::copy(energies.begin(), energies.end(), band_energy + t * kBandCount);
            }
        }
        return frames;
    } catch (...) {
        return 0;
    }
}

size_t kelvo_nc_infer(const kelvo_nc_model* model, const float* features, size_t frames,
                      float* outputs) {
    if (model == nullptr || !model->network || features == nullptr || outputs == nullptr) return 0;
    try {
        const Network& network = *model->network;
        orlune::engine::NetworkState state(network);
        for (std::size_t t = 0; t < frames; ++t) {
            const auto result = state.step(features + t * network.inputs());
            std::copy(result.begin(), result.end(), outputs + t * network.outputs());
        }
        return frames;
    } catch (...) {
        return 0;
    }
}

size_t kelvo_nc_supported_rates(size_t* rates, size_t capacity) {
    return orlune::engine::copy_supported_rates(rates, rates ? capacity : 0);
}

}  // extern "C"
