// Per-module state of orlune._processor.
#pragma once

#include <Python.h>

#include <array>

#include "_common/module_state.hpp"
#include "_common/py_ref.hpp"
#include "_common/session_capi.hpp"

namespace orlune::processor {

struct ModuleState {
    PyObject* function_type;          // the annotated callable type
    const SessionCapi* session_capi;  // OrluneNC's native frame entry point
    // Interned names used on every block.
    PyObject* str_record_block;
    PyObject* str_processed_blocks;
    PyObject* str_processed_samples;
    PyObject* str_telemetry_reporter;
    PyObject* str_sample_rate;
    PyObject* str_process_frame;
    PyObject* str_perf_counter_ns;
    PyObject* record_block_kwnames;  // ("sample_rate_hz", "block_samples", "inference_duration_ns")
    PyObject* one;                   // the int 1, which every block adds to a counter

    // Every reference the state owns (session_capi is borrowed from a capsule).
    auto reference_slots() {
        return std::array{&function_type,          &str_record_block,
                          &str_processed_blocks,   &str_processed_samples,
                          &str_telemetry_reporter, &str_sample_rate,
                          &str_process_frame,      &str_perf_counter_ns,
                          &record_block_kwnames,   &one};
    }
};

}  // namespace orlune::processor
