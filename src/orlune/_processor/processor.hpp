// OrluneProcessor: a plain Python class whose members are native functions.
#pragma once

#include <Python.h>

#include "_common/py_ref.hpp"

namespace orlune::processor {

inline constexpr const char* kClosedMessage = "OrluneProcessor has been closed";
inline constexpr const char* kNotInitializedMessage = "OrluneProcessor has not been initialized";

PyRef make_processor_class(PyObject* module);

// The body of OrluneProcessor.process (block_loop.cpp).
PyRef process_samples(PyObject* module, PyObject* self, PyObject* samples);

}  // namespace orlune::processor
