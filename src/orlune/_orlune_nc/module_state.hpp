// Per-module state of orlune._orlune_nc and lookups of its module-level names.
#pragma once

#include <Python.h>

#include "_common/py_ref.hpp"

namespace orlune::nc {

struct ModuleState {
    PyObject* function_type;  // the annotated callable type
    PyObject* session_type;   // OrluneNC
    PyObject* str_acquire;    // interned method names for the session lock
    PyObject* str_release;
};

inline ModuleState& state_of(PyObject* module) {
    return *static_cast<ModuleState*>(PyModule_GetState(module));
}

// A module-level name, looked up when the code runs, as Python code would.
inline PyRef module_global(PyObject* module, const char* name) {
    PyObject* value = PyDict_GetItemString(PyModule_GetDict(module), name);
    if (value == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw PythonError{};
    }
    return PyRef::borrow(value);
}

}  // namespace orlune::nc
