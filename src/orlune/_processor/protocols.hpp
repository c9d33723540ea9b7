// The structural protocols of the processor's collaborators, made by
// typing.Protocol's own metaclass so that they are real Protocol classes.
#pragma once

#include <Python.h>

#include "_common/py_ref.hpp"

namespace orlune::processor {

PyRef make_denoising_session_protocol(PyObject* module);
PyRef make_telemetry_reporter_protocol(PyObject* module);
PyRef make_model_store_protocol(PyObject* module);

}  // namespace orlune::processor
