// The exported C interface: argument checks and ownership; the signal path lives in Denoiser.
#include <memory>
#include <new>

#include "bundle.hpp"
#include "denoiser.hpp"
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

size_t kelvo_nc_supported_rates(size_t* rates, size_t capacity) {
    return orlune::engine::copy_supported_rates(rates, rates ? capacity : 0);
}

}  // extern "C"
