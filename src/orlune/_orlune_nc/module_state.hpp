// Per-module state of orlune._orlune_nc.
#pragma once

#include <Python.h>

#include <array>

#include "_common/module_state.hpp"
#include "_common/py_ref.hpp"

namespace orlune::nc {

struct ModuleState {
    PyObject* function_type;  // the annotated callable type
    PyObject* session_type;   // OrluneNC
    PyObject* str_acquire;    // interned method names for the session lock
    PyObject* str_release;

    auto reference_slots() {
        return std::array{&function_type, &session_type, &str_acquire, &str_release};
    }
};

}  // namespace orlune::nc
