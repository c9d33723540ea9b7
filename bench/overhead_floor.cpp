// The floor for bench/overhead.py: the same int16 -> float -> engine -> int16
// conversions as the binding, in a plain loop with no Python around it.
// Usage: overhead_floor ENGINE_LIBRARY MODEL_FILE BLOCKS RUNS
// Prints one line per run: nanoseconds per block.
#include <dlfcn.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "_orlune_nc/sample_convert.hpp"

namespace {

template <typename Function>
Function symbol(void* library, const char* name) {
    void* address = dlsym(library, name);
    if (address == nullptr) {
        std::fprintf(stderr, "missing export %s\n", name);
        std::exit(2);
    }
    return reinterpret_cast<Function>(address);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s ENGINE MODEL BLOCKS RUNS\n", argv[0]);
        return 2;
    }
    void* library = dlopen(argv[1], RTLD_NOW);
    if (library == nullptr) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 2;
    }
    auto load = symbol<void* (*)(const char*)>(library, "kelvo_nc_model_load_from_path");
    auto create = symbol<void* (*)(void*, std::size_t, float)>(library, "kelvo_nc_session_create");
    auto frame_length = symbol<std::size_t (*)(void*)>(library, "kelvo_nc_get_frame_length");
    auto process =
        symbol<float (*)(void*, const float*, float*)>(library, "kelvo_nc_process_frame");
    auto reset_log = symbol<void (*)()>(library, "testengine_reset");

    void* model = load(argv[2]);
    void* session = model ? create(model, 48000, 100.0f) : nullptr;
    if (session == nullptr) {
        std::fprintf(stderr, "engine refused the model or the session\n");
        return 2;
    }
    const std::size_t frame = frame_length(session);
    const long blocks = std::atol(argv[3]);
    const int runs = std::atoi(argv[4]);
    std::vector<std::int16_t> input(frame * blocks);
    std::vector<std::int16_t> output(frame * blocks);
    for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<std::int16_t>(i * 7919);
    std::vector<float> engine_input(frame);
    std::vector<float> engine_output(frame);
    constexpr std::ptrdiff_t kStride = sizeof(std::int16_t);
    for (int run = 0; run < runs; ++run) {
        reset_log();
        const auto started = std::chrono::steady_clock::now();
        for (long block = 0; block < blocks; ++block) {
            const auto offset = static_cast<std::size_t>(block) * frame;
            orlune::pcm16_to_float(reinterpret_cast<const char*>(input.data() + offset), kStride,
                                   frame, engine_input.data());
            process(session, engine_input.data(), engine_output.data());
            orlune::float_to_pcm16(engine_output.data(), frame,
                                   reinterpret_cast<char*>(output.data() + offset), kStride);
        }
        const std::chrono::duration<double, std::nano> elapsed =
            std::chrono::steady_clock::now() - started;
        std::printf("%.1f\n", elapsed.count() / static_cast<double>(blocks));
    }
    return 0;
}
