// An instrumented stand-in for liborlune_nc, built for the binding's tests only.
//
// It implements the engine's C interface with trivial signal processing (copy,
// scale or fixed values) and records everything the binding does to it: every
// call with its arguments, live handles, calls with handles it never issued or
// already freed, overlapping calls. Tests steer it through the testengine_*
// functions. It never trusts a handle: a bad one is counted, never dereferenced.
//
// Variants: -DOMIT_RESET leaves out the reset export; -DCURRENT_PREFIX_ONLY
// exports the functions as orlune_nc_* instead of kelvo_nc_*.
#include <orlune_nc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#define TESTENGINE_API extern "C" __attribute__((visibility("default")))

#ifdef CURRENT_PREFIX_ONLY
#define ENGINE_EXPORT(base) orlune_nc_##base
// The header declares only the kelvo_nc_ names; opaque handle types are shared.
#else
#define ENGINE_EXPORT(base) kelvo_nc_##base
#endif

struct kelvo_nc_model {
    std::string path;
};

struct kelvo_nc_session {
    const kelvo_nc_model* model;
    std::size_t frame_length;
    std::atomic<int> calls_inside{0};
};

namespace {

using Clock = std::chrono::steady_clock;

enum class OutputMode { Identity, Scale, Table };

// Everything the engine knows and has seen; one instance, guarded by `mutex`
// except for the atomics, which the hot path updates without it.
struct EngineState {
    std::mutex mutex;
    std::map<const void*, std::shared_ptr<kelvo_nc_model>> models;
    std::map<const void*, std::shared_ptr<kelvo_nc_session>> sessions;
    std::string log;
    std::vector<float> last_input;

    int failing_model_loads = 0;  // next N loads return NULL; negative: all of them
    int failing_session_creates = 0;
    bool frame_length_forced = false;
    std::size_t forced_frame_length = 0;
    OutputMode output_mode = OutputMode::Identity;
    float output_scale = 1.0f;
    std::vector<float> output_table;
    float speech_probability = 0.5f;

    std::condition_variable gate_changed;
    bool gate_closed = false;
    std::chrono::milliseconds gate_timeout{0};
    int gate_waiting = 0;
    int gate_timeouts = 0;

    std::atomic<long long> calls_inside{0};
    std::atomic<long long> max_calls_inside{0};
    std::atomic<long long> bad_handle_calls{0};
    std::atomic<long long> null_handle_calls{0};
    std::atomic<long long> session_overlaps{0};
    std::atomic<long long> freed_while_busy{0};
    std::atomic<long long> model_freed_before_sessions{0};
    std::atomic<long long> internal_errors{0};
};

EngineState& state() {
    static EngineState instance;
    return instance;
}

std::uintptr_t address(const void* pointer) { return reinterpret_cast<std::uintptr_t>(pointer); }

// Counts the threads inside any engine function and keeps the highest count seen.
class CallScope {
public:
    CallScope() {
        const long long inside = ++state().calls_inside;
        long long seen = state().max_calls_inside.load();
        while (inside > seen && !state().max_calls_inside.compare_exchange_weak(seen, inside)) {
        }
    }
    ~CallScope() { --state().calls_inside; }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
};

// Appends one tab-separated line: the base name, then key=value fields.
void log_call(std::string_view name, std::initializer_list<std::string> fields) {
    std::string line(name);
    for (const std::string& field : fields) {
        line += '\t';
        line += field;
    }
    line += '\n';
    const std::lock_guard lock(state().mutex);
    state().log += line;
}

std::string field(const char* key, std::uintptr_t value) {
    return std::string(key) + "=" + std::to_string(value);
}

std::string field(const char* key, float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
    return std::string(key) + "=" + text;
}

// Runs an export's body; nothing may unwind into the C caller, so a failure
// (only ever std::bad_alloc here) is counted and answered with `fallback`.
template <typename Result, typename Body>
Result shielded(Result fallback, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        ++state().internal_errors;
        return fallback;
    }
}

template <typename Body>
void shielded(Body&& body) noexcept {
    try {
        body();
    } catch (...) {
        ++state().internal_errors;
    }
}

// Looks a handle up in `registry`; counts it when it is null or not live there.
template <typename Handle>
std::shared_ptr<Handle> find_live(const std::map<const void*, std::shared_ptr<Handle>>& registry,
                                  const void* handle) {
    if (handle == nullptr) {
        ++state().null_handle_calls;
        return nullptr;
    }
    const std::lock_guard lock(state().mutex);
    const auto found = registry.find(handle);
    if (found == registry.end()) {
        ++state().bad_handle_calls;
        return nullptr;
    }
    return found->second;
}

// Takes one failure from a "fail the next N" counter; negative means always fail.
bool take_failure(int& counter) {
    if (counter < 0) return true;
    if (counter == 0) return false;
    --counter;
    return true;
}

void wait_at_gate() {
    EngineState& engine = state();
    std::unique_lock lock(engine.mutex);
    if (!engine.gate_closed) return;
    ++engine.gate_waiting;
    engine.gate_changed.notify_all();
    // The timeout is a failsafe so that a test whose threads cannot all get
    // in (e.g. because the caller kept the GIL) fails instead of hanging.
    if (!engine.gate_changed.wait_for(lock, engine.gate_timeout,
                                      [&] { return !engine.gate_closed; })) {
        ++engine.gate_timeouts;
    }
    --engine.gate_waiting;
    engine.gate_changed.notify_all();
}

void write_output(const float* input, float* output, std::size_t count) {
    EngineState& engine = state();
    const std::lock_guard lock(engine.mutex);
    engine.last_input.assign(input, input + count);
    for (std::size_t i = 0; i < count; ++i) {
        switch (engine.output_mode) {
            case OutputMode::Identity:
                output[i] = input[i];
                break;
            case OutputMode::Scale:
                output[i] = input[i] * engine.output_scale;
                break;
            case OutputMode::Table:
                output[i] = engine.output_table[i % engine.output_table.size()];
                break;
        }
    }
}

}  // namespace

// --- the engine interface ---------------------------------------------------

TESTENGINE_API kelvo_nc_model* ENGINE_EXPORT(model_load_from_path)(const char* path) {
    const CallScope scope;
    return shielded<kelvo_nc_model*>(nullptr, [&] {
        const std::string path_text = path == nullptr ? "<null>" : path;
        std::shared_ptr<kelvo_nc_model> model;
        {
            const std::lock_guard lock(state().mutex);
            if (!take_failure(state().failing_model_loads)) {
                model = std::make_shared<kelvo_nc_model>(kelvo_nc_model{path_text});
                state().models.emplace(model.get(), model);
            }
        }
        log_call("model_load_from_path",
                 {field("result", address(model.get())), "path=" + path_text});
        return model.get();
    });
}

TESTENGINE_API void ENGINE_EXPORT(model_free)(kelvo_nc_model* model) {
    const CallScope scope;
    shielded([&] {
        log_call("model_free", {field("model", address(model))});
        if (find_live(state().models, model) == nullptr) return;
        const std::lock_guard lock(state().mutex);
        for (const auto& [key, session] : state().sessions) {
            if (session->model == model) ++state().model_freed_before_sessions;
        }
        state().models.erase(model);
    });
}

TESTENGINE_API kelvo_nc_session* ENGINE_EXPORT(session_create)(const kelvo_nc_model* model,
                                                               std::size_t sample_rate,
                                                               float attenuation_limit_db) {
    const CallScope scope;
    return shielded<kelvo_nc_session*>(nullptr, [&] {
        std::shared_ptr<kelvo_nc_session> session;
        if (find_live(state().models, model) != nullptr) {
            const std::lock_guard lock(state().mutex);
            if (!take_failure(state().failing_session_creates)) {
                const std::size_t frame_length =
                    state().frame_length_forced ? state().forced_frame_length : sample_rate / 100;
                session = std::make_shared<kelvo_nc_session>(model, frame_length);
                state().sessions.emplace(session.get(), session);
            }
        }
        log_call("session_create",
                 {field("result", address(session.get())), field("model", address(model)),
                  field("sample_rate", std::uintptr_t{sample_rate}),
                  field("attenuation_limit_db", attenuation_limit_db)});
        return session.get();
    });
}

TESTENGINE_API void ENGINE_EXPORT(session_free)(kelvo_nc_session* session) {
    const CallScope scope;
    shielded([&] {
        log_call("session_free", {field("session", address(session))});
        const std::shared_ptr<kelvo_nc_session> live = find_live(state().sessions, session);
        if (live == nullptr) return;
        if (live->calls_inside.load() > 0) ++state().freed_while_busy;
        const std::lock_guard lock(state().mutex);
        state().sessions.erase(session);
    });
}

TESTENGINE_API std::size_t ENGINE_EXPORT(get_frame_length)(const kelvo_nc_session* session) {
    const CallScope scope;
    return shielded<std::size_t>(0, [&] {
        log_call("get_frame_length", {field("session", address(session))});
        const std::shared_ptr<kelvo_nc_session> live = find_live(state().sessions, session);
        return live == nullptr ? std::size_t{0} : live->frame_length;
    });
}

TESTENGINE_API float ENGINE_EXPORT(process_frame)(kelvo_nc_session* session, const float* input,
                                                  float* output) {
    const CallScope scope;
    return shielded<float>(0.0f, [&] {
        log_call("process_frame", {field("session", address(session)),
                                   field("input", address(input)), field("output", address(output))});
        // Holding a reference keeps the session alive even if the binding frees it meanwhile.
        const std::shared_ptr<kelvo_nc_session> live = find_live(state().sessions, session);
        if (live == nullptr || input == nullptr || output == nullptr) return 0.0f;
        if (++live->calls_inside > 1) ++state().session_overlaps;
        wait_at_gate();
        write_output(input, output, live->frame_length);
        --live->calls_inside;
        const std::lock_guard lock(state().mutex);
        return state().speech_probability;
    });
}

#ifndef OMIT_RESET
TESTENGINE_API void ENGINE_EXPORT(reset)(kelvo_nc_session* session) {
    const CallScope scope;
    shielded([&] {
        log_call("reset", {field("session", address(session))});
        find_live(state().sessions, session);
    });
}
#endif

TESTENGINE_API std::size_t ENGINE_EXPORT(get_latency)(const kelvo_nc_session* session) {
    const CallScope scope;
    find_live(state().sessions, session);
    return 0;
}

// --- control and inspection -------------------------------------------------

// Clears the log, the counters and every steering setting. Live handles stay:
// they belong to sessions the test may still hold.
TESTENGINE_API void testengine_reset() {
    EngineState& engine = state();
    {
        const std::lock_guard lock(engine.mutex);
        engine.log.clear();
        engine.last_input.clear();
        engine.failing_model_loads = 0;
        engine.failing_session_creates = 0;
        engine.frame_length_forced = false;
        engine.output_mode = OutputMode::Identity;
        engine.output_table.clear();
        engine.speech_probability = 0.5f;
        engine.gate_closed = false;
        engine.gate_timeouts = 0;
    }
    engine.gate_changed.notify_all();
    engine.max_calls_inside = engine.calls_inside.load();
    for (auto* counter : {&engine.bad_handle_calls, &engine.null_handle_calls,
                          &engine.session_overlaps, &engine.freed_while_busy,
                          &engine.model_freed_before_sessions, &engine.internal_errors}) {
        *counter = 0;
    }
}

// The next `count` model loads return NULL; a negative count makes all of them fail.
TESTENGINE_API void testengine_fail_model_loads(int count) {
    const std::lock_guard lock(state().mutex);
    state().failing_model_loads = count;
}

TESTENGINE_API void testengine_fail_session_creates(int count) {
    const std::lock_guard lock(state().mutex);
    state().failing_session_creates = count;
}

// Sessions created from now on report this frame length instead of rate / 100.
TESTENGINE_API void testengine_force_frame_length(std::size_t frame_length) {
    const std::lock_guard lock(state().mutex);
    state().frame_length_forced = true;
    state().forced_frame_length = frame_length;
}

TESTENGINE_API void testengine_output_identity() {
    const std::lock_guard lock(state().mutex);
    state().output_mode = OutputMode::Identity;
}

TESTENGINE_API void testengine_output_scale(float factor) {
    const std::lock_guard lock(state().mutex);
    state().output_mode = OutputMode::Scale;
    state().output_scale = factor;
}

// Output sample i becomes values[i % count]; one value makes a constant output.
TESTENGINE_API void testengine_output_values(const float* values, std::size_t count) {
    if (values == nullptr || count == 0) return;
    const std::lock_guard lock(state().mutex);
    state().output_mode = OutputMode::Table;
    state().output_table.assign(values, values + count);
}

TESTENGINE_API void testengine_set_speech_probability(float probability) {
    const std::lock_guard lock(state().mutex);
    state().speech_probability = probability;
}

// While closed, process_frame waits inside the engine until opened again or
// until `timeout_ms` passes (counted as a gate timeout).
TESTENGINE_API void testengine_gate_close(int timeout_ms) {
    const std::lock_guard lock(state().mutex);
    state().gate_closed = true;
    state().gate_timeout = std::chrono::milliseconds(timeout_ms);
}

TESTENGINE_API void testengine_gate_open() {
    {
        const std::lock_guard lock(state().mutex);
        state().gate_closed = false;
    }
    state().gate_changed.notify_all();
}

// Blocks until at least `count` threads wait at the gate; returns 1 then, 0 on timeout.
TESTENGINE_API int testengine_gate_wait_for_waiting(int count, int timeout_ms) {
    EngineState& engine = state();
    std::unique_lock lock(engine.mutex);
    return engine.gate_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                        [&] { return engine.gate_waiting >= count; })
               ? 1
               : 0;
}

// Copies the log into `buffer` (at most `capacity` bytes, NUL-terminated when
// room remains) and returns its full length, so callers can size a retry.
TESTENGINE_API std::size_t testengine_read_log(char* buffer, std::size_t capacity) {
    const std::lock_guard lock(state().mutex);
    const std::string& log = state().log;
    if (buffer != nullptr && capacity > 0) {
        const std::size_t copied = std::min(capacity - 1, log.size());
        std::memcpy(buffer, log.data(), copied);
        buffer[copied] = '\0';
    }
    return log.size();
}

// Copies up to `capacity` samples of the last input frame; returns its length.
TESTENGINE_API std::size_t testengine_last_input(float* buffer, std::size_t capacity) {
    const std::lock_guard lock(state().mutex);
    const std::vector<float>& input = state().last_input;
    if (buffer != nullptr) std::copy_n(input.begin(), std::min(capacity, input.size()), buffer);
    return input.size();
}

// A named counter, or -1 for an unknown name.
TESTENGINE_API long long testengine_counter(const char* name) {
    EngineState& engine = state();
    const std::string_view key = name == nullptr ? "" : name;
    const std::lock_guard lock(engine.mutex);
    if (key == "live_models") return static_cast<long long>(engine.models.size());
    if (key == "live_sessions") return static_cast<long long>(engine.sessions.size());
    if (key == "calls_inside") return engine.calls_inside;
    if (key == "max_calls_inside") return engine.max_calls_inside;
    if (key == "bad_handle_calls") return engine.bad_handle_calls;
    if (key == "null_handle_calls") return engine.null_handle_calls;
    if (key == "session_overlaps") return engine.session_overlaps;
    if (key == "freed_while_busy") return engine.freed_while_busy;
    if (key == "model_freed_before_sessions") return engine.model_freed_before_sessions;
    if (key == "gate_waiting") return engine.gate_waiting;
    if (key == "gate_timeouts") return engine.gate_timeouts;
    if (key == "internal_errors") return engine.internal_errors;
    return -1;
}
