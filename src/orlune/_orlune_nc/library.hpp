// Locating, loading and declaring the engine library (a ctypes.CDLL), once per path.
#pragma once

#include <Python.h>

#include "_common/annotated_function.hpp"

namespace orlune::nc {

// `path.resolve()` when it names a regular file, else FileNotFoundError naming `description`.
PyRef resolve_file(PyObject* path, PyObject* description);
// Binds the seven engine functions on `lib` under their current names and sets their prototypes.
void declare_api(PyObject* module, PyObject* lib);
// The declared library for `path`, loaded at most once per path under the cache lock.
PyRef load_library(PyObject* module, PyObject* path);

extern const FunctionSpec kResolveFileSpec;
extern const FunctionSpec kDeclareApiSpec;
extern const FunctionSpec kLoadLibrarySpec;

}  // namespace orlune::nc
