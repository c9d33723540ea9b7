// The exported C interface: argument checks and ownership; the signal path lives in Denoiser.
#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>
#include <new>

#include "bundle.hpp"
#include "denoiser.hpp"
#include "features.hpp"
#include "model.hpp"
#include "orlune_nc.h"

using orlune::engine::Denoiser;
using orlune::engine::ModelParameters;

struct kelvo_nc_model {
    ModelParameters parameters;
};

struct kelvo_nc_session {
    Denoiser denoiser;
};

extern "C" {

kelvo_nc_model* kelvo_nc_model_load_from_path(const char* path) {
    try {
        auto table = orlune::engine::load_bundle_file(path);
        if (!table) return nullptr;
        auto parameters = orlune::engine::parameters_from_table(*table);
        if (!parameters) return nullptr;
        return std::make_unique<kelvo_nc_model>(kelvo_nc_model{*parameters}).release();
    } catch (...) {  // std::bad_alloc and friends must not cross the C boundary
        return nullptr;
    }
}

void kelvo_nc_model_free(kelvo_nc_model* model) { std::unique_ptr<kelvo_nc_model> owned(model); }

kelvo_nc_session* kelvo_nc_session_create(const kelvo_nc_model* model, size_t sample_rate,
                                          float attenuation_limit_db) {
    if (model == nullptr) return nullptr;
    try {
        auto denoiser = Denoiser::create(model->parameters, sample_rate, attenuation_limit_db);
        if (!denoiser) return nullptr;
        return std::make_unique<kelvo_nc_session>(kelvo_nc_session{std::move(*denoiser)}).release();
    } catch (...) {
        return nullptr;
    }
}

void kelvo_nc_session_free(kelvo_nc_session* session) {
    std::unique_ptr<kelvo_nc_session> owned(session);
}

size_t kelvo_nc_get_frame_length(const kelvo_nc_session* session) {
    return session ? session->denoiser.frame_length() : 0;
}

float kelvo_nc_process_frame(kelvo_nc_session* session, const float* input, float* output) {
    if (session == nullptr || input == nullptr || output == nullptr) return 0.0f;
    return session->denoiser.process(input, output);
}

void kelvo_nc_reset(kelvo_nc_session* session) {
    if (session) session->denoiser.reset();
}

size_t kelvo_nc_get_latency(const kelvo_nc_session* session) {
    return session ? session->denoiser.latency() : 0;
}

size_t kelvo_nc_band_count(void) { return orlune::engine::kBandCount; }

size_t kelvo_nc_feature_count(void) { return orlune::engine::kFeatureCount; }

size_t kelvo_nc_analyse(const kelvo_nc_model* model, size_t sample_rate, const float* signal,
                        size_t samples, float* features, float* band_energy) {
    using orlune::engine::kBandCount;
    using orlune::engine::kFeatureCount;
    if (model == nullptr || signal == nullptr || features == nullptr) return 0;
    try {
        // The front end runs with the model's own floor, as inside a learned session.
        auto front = Denoiser::create(model->parameters, sample_rate, NAN);
        if (!front) return 0;
        const orlune::engine::FeatureExtractor extractor(sample_rate, *front);
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

}  // extern "C"
