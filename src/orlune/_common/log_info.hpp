// The one way both modules log: `logger.info(message, extra=extra)`, with the
// module's `logger` looked up when the record is written.
#pragma once

#include <Python.h>

#include "py_ref.hpp"

namespace orlune {

inline void log_info(PyObject* module, const char* message, PyObject* extra) {
    const PyRef logger = module_global(module, "logger");
    const PyRef info = get_attr(logger.get(), "info");
    const PyRef args = PyRef::check(Py_BuildValue("(s)", message));
    const PyRef kwargs = PyRef::check(Py_BuildValue("{s:O}", "extra", extra));
    PyRef::check(PyObject_Call(info.get(), args.get(), kwargs.get()));
}

}  // namespace orlune
