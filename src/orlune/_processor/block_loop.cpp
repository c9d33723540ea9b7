// OrluneProcessor.process: validation, then the block loop, natively when the
// session is an OrluneNC, the input a plain 1-D ndarray and the clock the default.
#include <time.h>

#include <cstdint>

#include "_common/numpy_api.hpp"
#include "module_state.hpp"
#include "processor.hpp"

namespace orlune::processor {
namespace {

// What time.perf_counter_ns reads on this platform, without a Python call.
std::int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// self.<name> += increment, as Python code would do it.
void add_to_attr(PyObject* self, PyObject* name, PyObject* increment) {
    const PyRef value = get_attr(self, name);
    const PyRef sum = PyRef::check(PyNumber_Add(value.get(), increment));
    check_status(PyObject_SetAttr(self, name, sum.get()));
}

// Everything one call reads once before its first block.
struct Call {
    PyObject* module;
    PyObject* self;
    PyObject* samples;
    PyObject* session;
    PyObject* output;
    Py_ssize_t block_length;  // N
    PyObject* block_length_object;
    Py_ssize_t sample_count;
};

// Hands one block to the reporter (when there is one), then advances the counters.
void finish_block(const Call& call, PyObject* duration_ns) {
    const ModuleState& state = state_of<ModuleState>(call.module);
    const PyRef reporter = get_attr(call.self, state.str_telemetry_reporter);
    if (reporter.get() != Py_None) {
        const PyRef sample_rate = get_attr(call.self, state.str_sample_rate);
        PyObject* arguments[] = {reporter.get(), sample_rate.get(), call.block_length_object,
                                 duration_ns};
        PyRef::check(PyObject_VectorcallMethod(state.str_record_block, arguments, 1,
                                               state.record_block_kwnames));
    }
    add_to_attr(call.self, state.str_processed_blocks, state.one);
    add_to_attr(call.self, state.str_processed_samples, call.block_length_object);
}

void run_generic(const Call& call) {
    const ModuleState& state = state_of<ModuleState>(call.module);
    for (Py_ssize_t offset = 0; offset < call.sample_count; offset += call.block_length) {
        const PyRef start = PyRef::check(PyLong_FromSsize_t(offset));
        const PyRef stop = PyRef::check(PyLong_FromSsize_t(offset + call.block_length));
        const PyRef bounds = PyRef::check(PySlice_New(start.get(), stop.get(), nullptr));
        const PyRef block = PyRef::check(PyObject_GetItem(call.samples, bounds.get()));
        const PyRef clock = get_attr(call.self, state.str_perf_counter_ns);
        const PyRef started_at = PyRef::check(PyObject_CallNoArgs(clock.get()));
        PyObject* frame_arguments[] = {call.session, block.get()};
        const PyRef processed = PyRef::check(
            PyObject_VectorcallMethod(state.str_process_frame, frame_arguments, 2, nullptr));
        const PyRef finished_at = PyRef::check(PyObject_CallNoArgs(clock.get()));
        const PyRef duration = PyRef::check(PyNumber_Subtract(finished_at.get(), started_at.get()));
        check_status(PyObject_SetItem(call.output, bounds.get(), processed.get()));
        finish_block(call, duration.get());
    }
}

void run_native(const Call& call) {
    const ModuleState& state = state_of<ModuleState>(call.module);
    const SessionCapi& capi = *state.session_capi;
    auto* input = reinterpret_cast<PyArrayObject*>(call.samples);
    auto* output = reinterpret_cast<PyArrayObject*>(call.output);
    for (Py_ssize_t offset = 0; offset < call.sample_count; offset += call.block_length) {
        // Read the input's layout afresh: the reporter runs Python code between blocks.
        if (PyArray_NDIM(input) != 1 || PyArray_SIZE(input) != call.sample_count) {
            raise(PyExc_RuntimeError, "the input array was reshaped while it was being processed");
        }
        const Py_ssize_t in_stride = PyArray_STRIDE(input, 0);
        const Py_ssize_t out_stride = PyArray_STRIDE(output, 0);
        const std::int64_t started_at = monotonic_ns();
        if (capi.process_block(call.session, PyArray_BYTES(input) + offset * in_stride, in_stride,
                               PyArray_BYTES(output) + offset * out_stride, out_stride) < 0) {
            throw PythonError{};
        }
        const std::int64_t finished_at = monotonic_ns();
        const PyRef duration = PyRef::check(PyLong_FromLongLong(finished_at - started_at));
        finish_block(call, duration.get());
    }
}

// Clears the pending error when it is an `expected` one; anything else (a
// MemoryError, say) goes on to the caller.
void clear_expected_error(PyObject* expected) {
    if (!PyErr_ExceptionMatches(expected)) throw PythonError{};
    PyErr_Clear();
}

// The session's block length as a positive Py_ssize_t, or the ValueError that refuses
// it: not an integer (TypeError), or too large for a length (OverflowError).
Py_ssize_t positive_block_length(PyObject* frame_length, PyRef& as_index) {
    as_index = PyRef::steal(PyNumber_Index(frame_length));
    Py_ssize_t value = -1;
    if (as_index) {
        value = PyLong_AsSsize_t(as_index.get());
        if (value == -1 && PyErr_Occurred()) clear_expected_error(PyExc_OverflowError);
    } else {
        clear_expected_error(PyExc_TypeError);
    }
    if (value <= 0) {
        const PyRef message = PyRef::check(PyUnicode_FromFormat(
            "Orlune session frame_length must be a positive integer, got %R", frame_length));
        raise(PyExc_ValueError, message.get());
    }
    return value;
}

// The result of `np.empty_like` as the native loop writes it: a writeable 1-D
// native int16 ndarray as long as the input. `np` is looked up in the module at
// each call, so a rebound one may hand back anything else; that goes through the
// generic loop, where NumPy checks every write.
bool is_native_output(const Call& call) {
    if (!PyArray_CheckExact(call.output)) return false;
    auto* output = reinterpret_cast<PyArrayObject*>(call.output);
    return PyArray_NDIM(output) == 1 && PyArray_SIZE(output) == call.sample_count &&
           PyArray_ISWRITEABLE(output) && is_native_int16_array(call.output);
}

bool takes_native_path(const Call& call, PyObject* module) {
    const SessionCapi* capi = state_of<ModuleState>(module).session_capi;
    if (Py_TYPE(call.session) != capi->session_type) return false;
    // The dtype test of `process` compared against `np.int16`, which a rebound `np`
    // may have changed too; the native loop reads two bytes a sample, so ask again.
    if (!PyArray_CheckExact(call.samples) || !is_native_int16_array(call.samples) ||
        PyArray_NDIM(reinterpret_cast<PyArrayObject*>(call.samples)) != 1 ||
        !is_native_output(call)) {
        return false;
    }
    const PyRef time = module_global(module, "time");
    const PyRef default_clock = get_attr(time.get(), "perf_counter_ns");
    const PyRef clock = get_attr(call.self, state_of<ModuleState>(module).str_perf_counter_ns);
    return clock.get() == default_clock.get();
}

}  // namespace

PyRef process_samples(PyObject* module, PyObject* self, PyObject* samples) {
    if (is_true(get_attr(self, "_closed").get())) {
        raise(PyExc_RuntimeError, kClosedMessage);
    }
    const PyRef session = get_attr(self, "_session");
    if (session.get() == Py_None || get_attr(self, "_sample_rate").get() == Py_None) {
        raise(PyExc_RuntimeError, kNotInitializedMessage);
    }

    const PyRef dtype = get_attr(samples, "dtype");
    const PyRef np = module_global(module, "np");
    const PyRef int16 = get_attr(np.get(), "int16");
    const int not_int16 = PyObject_RichCompareBool(dtype.get(), int16.get(), Py_NE);
    check_status(not_int16);
    if (not_int16) raise(PyExc_ValueError, "OrluneProcessor expects int16 PCM samples");

    const PyRef frame_length = get_attr(session.get(), "frame_length");
    PyRef block_length_object;
    const Py_ssize_t block_length = positive_block_length(frame_length.get(), block_length_object);

    const PyRef size = get_attr(samples, "size");
    const PyRef remainder = PyRef::check(PyNumber_Remainder(size.get(), block_length_object.get()));
    if (is_true(remainder.get())) {
        const PyRef message = PyRef::check(PyUnicode_FromFormat(
            "Audio must contain a whole number of Orlune blocks (%S samples); received %S",
            block_length_object.get(), size.get()));
        raise(PyExc_ValueError, message.get());
    }
    const Py_ssize_t sample_count = PyNumber_AsSsize_t(size.get(), PyExc_OverflowError);
    if (sample_count == -1 && PyErr_Occurred()) throw PythonError{};

    const PyRef empty_like = get_attr(np.get(), "empty_like");
    PyRef output = PyRef::check(PyObject_CallOneArg(empty_like.get(), samples));
    const Call call{module,
                    self,
                    samples,
                    session.get(),
                    output.get(),
                    block_length,
                    block_length_object.get(),
                    sample_count};
    if (takes_native_path(call, module)) {
        run_native(call);
    } else {
        run_generic(call);
    }
    return output;
}

}  // namespace orlune::processor
