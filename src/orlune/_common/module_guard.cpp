#include "module_guard.hpp"

#include "py_ref.hpp"

namespace orlune {

// Both methods run under the import lock of the owning interpreter, and any
// other interpreter is turned away before it touches the state.
int ModuleGuard::enter() {
    PyInterpreterState* current = PyInterpreterState_Get();
    if (owner_ != nullptr && owner_ != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return -1;
    }
    if (initialised_) {
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     module_name_);
        return -1;
    }
    owner_ = current;
    return 0;
}

void ModuleGuard::commit() { initialised_ = true; }

namespace {

// Runs among the atexit callbacks, before the interpreter starts ending threads.
PyObject* note_shutdown(PyObject*, PyObject*) {
    shutdown_begun.store(true, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

PyMethodDef note_shutdown_def = {"note_shutdown", note_shutdown, METH_NOARGS, nullptr};

}  // namespace

void watch_shutdown() {
    const PyRef callback = PyRef::check(PyCFunction_New(&note_shutdown_def, nullptr));
    call_method(import_module("atexit").get(), "register", callback.get());
}

}  // namespace orlune
