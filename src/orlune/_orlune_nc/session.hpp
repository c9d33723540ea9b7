// OrluneNC: one engine model and one engine session, converting int16 frames
// to the engine's float scale and back under a per-session lock.
#pragma once

#include <Python.h>

namespace orlune::nc {

// Creates the OrluneNC type with its annotated methods and stores it in the module state.
PyObject* create_session_type(PyObject* module);

// One frame of an exact OrluneNC, for the processor's native block loop (see session_capi.hpp).
int process_block(PyObject* session, const char* input, Py_ssize_t input_stride, char* output,
                  Py_ssize_t output_stride);

}  // namespace orlune::nc
