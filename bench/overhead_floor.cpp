// The floor for bench/overhead.py: the same int16 -> float -> engine -> int16
// conversions as the binding, in a plain loop with no Python around it. Built
// as a small shared library so that the benchmark can alternate it with the
// Python configurations in one process, under the same conditions.
#include <dlfcn.h>
#include <time.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "_orlune_nc/sample_convert.hpp"

namespace {

struct Engine {
    void* (*load)(const char*) = nullptr;
    void* (*create)(void*, std::size_t, float) = nullptr;
    std::size_t (*frame_length)(void*) = nullptr;
    float (*process)(void*, const float*, float*) = nullptr;
    void (*session_free)(void*) = nullptr;
    void (*model_free)(void*) = nullptr;
};

// CPU time of the calling thread, as Python's time.thread_time_ns reads it: the
// shared host's preemption stays out of the figures.
double thread_cpu_ns() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

template <typename Function>
bool bind(void* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(dlsym(library, name));
    return function != nullptr;
}

}  // namespace

// Runs `blocks` blocks of 48 kHz audio through a fresh session; returns the
// nanoseconds per block, or a negative value when the engine cannot be used.
extern "C" __attribute__((visibility("default"))) double overhead_floor(const char* engine_path,
                                                                        const char* model_path,
                                                                        long blocks) {
    void* library = dlopen(engine_path, RTLD_NOW);
    Engine engine;
    if (library == nullptr || !bind(library, "kelvo_nc_model_load_from_path", engine.load) ||
        !bind(library, "kelvo_nc_session_create", engine.create) ||
        !bind(library, "kelvo_nc_get_frame_length", engine.frame_length) ||
        !bind(library, "kelvo_nc_process_frame", engine.process) ||
        !bind(library, "kelvo_nc_session_free", engine.session_free) ||
        !bind(library, "kelvo_nc_model_free", engine.model_free)) {
        return -1.0;
    }
    void* model = engine.load(model_path);
    void* session = model ? engine.create(model, 48000, 100.0f) : nullptr;
    if (session == nullptr) {
        engine.model_free(model);
        return -1.0;
    }
    const std::size_t frame = engine.frame_length(session);
    std::vector<std::int16_t> input(frame * blocks);
    for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<std::int16_t>(i * 7919);
    std::vector<float> engine_input(frame);
    std::vector<float> engine_output(frame);
    constexpr std::ptrdiff_t kStride = sizeof(std::int16_t);

    const double started = thread_cpu_ns();
    // Like `process`, each run returns a fresh, uninitialised result, so the
    // floor pays for allocating it and for the first touch of its pages too.
    auto output = std::make_unique_for_overwrite<std::int16_t[]>(input.size());
    for (long block = 0; block < blocks; ++block) {
        const auto offset = static_cast<std::size_t>(block) * frame;
        orlune::pcm16_to_float(reinterpret_cast<const char*>(input.data() + offset), kStride, frame,
                               engine_input.data());
        engine.process(session, engine_input.data(), engine_output.data());
        orlune::float_to_pcm16(engine_output.data(), frame,
                               reinterpret_cast<char*>(output.get() + offset), kStride);
    }
    output.reset();
    const double elapsed = thread_cpu_ns() - started;
    engine.session_free(session);
    engine.model_free(model);
    return elapsed / static_cast<double>(blocks);
}
