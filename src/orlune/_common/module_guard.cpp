#include "module_guard.hpp"

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

}  // namespace orlune
