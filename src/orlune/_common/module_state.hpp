// GC support for a module's state struct: the struct lists the references it
// owns (`reference_slots()`), and these templates visit, clear and free them.
#pragma once

#include <Python.h>

namespace orlune {

template <typename State>
State* module_state(PyObject* module) {
    return static_cast<State*>(PyModule_GetState(module));
}

template <typename State>
int traverse_module_state(PyObject* module, visitproc visit, void* arg) {
    State* state = module_state<State>(module);
    if (state == nullptr) return 0;
    for (PyObject** slot : state->reference_slots()) Py_VISIT(*slot);
    return 0;
}

template <typename State>
int clear_module_state(PyObject* module) {
    State* state = module_state<State>(module);
    if (state == nullptr) return 0;
    for (PyObject** slot : state->reference_slots()) Py_CLEAR(*slot);
    return 0;
}

template <typename State>
void free_module_state(void* module) {
    clear_module_state<State>(static_cast<PyObject*>(module));
}

}  // namespace orlune
