// A module's state struct: `state_of<State>(module)` reaches it, and the GC
// templates visit, clear and free the references it lists (`reference_slots()`).
#pragma once

#include <Python.h>

namespace orlune {

template <typename State>
State& state_of(PyObject* module) {
    return *static_cast<State*>(PyModule_GetState(module));
}

template <typename State>
int traverse_module_state(PyObject* module, visitproc visit, void* arg) {
    auto* state = static_cast<State*>(PyModule_GetState(module));
    if (state == nullptr) return 0;
    for (PyObject** slot : state->reference_slots()) Py_VISIT(*slot);
    return 0;
}

template <typename State>
int clear_module_state(PyObject* module) {
    auto* state = static_cast<State*>(PyModule_GetState(module));
    if (state == nullptr) return 0;
    for (PyObject** slot : state->reference_slots()) Py_CLEAR(*slot);
    return 0;
}

template <typename State>
void free_module_state(void* module) {
    clear_module_state<State>(static_cast<PyObject*>(module));
}

}  // namespace orlune
