// Each extension module is initialised once per process, in one interpreter.
#pragma once

#include <Python.h>

namespace orlune {

class ModuleGuard {
  public:
    explicit constexpr ModuleGuard(const char* module_name) : module_name_(module_name) {}

    // Call first in the exec slot: raises ImportError in a second interpreter and
    // RuntimeError when the module was already initialised; returns -1 then.
    int enter();
    // Call when the exec slot has succeeded; a failed initialisation may be retried.
    void commit();

  private:
    const char* module_name_;
    PyInterpreterState* owner_ = nullptr;
    bool initialised_ = false;
};

// Registers the atexit callback that tells holds_gil (py_ref.hpp) that the
// interpreter is shutting down. Call once from the exec slot; throws PythonError.
void watch_shutdown();

}  // namespace orlune
