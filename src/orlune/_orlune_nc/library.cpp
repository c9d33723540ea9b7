#include "library.hpp"

#include <array>
#include <string>

#include "module_state.hpp"

namespace orlune::nc {
namespace {

constexpr const char* kLegacyPrefix = "kelvo_nc_";
constexpr const char* kCurrentPrefix = "orlune_nc_";

constexpr std::array<const char*, 7> kBaseNames = {
    "model_load_from_path", "model_free",    "session_create", "session_free",
    "get_frame_length",     "process_frame", "reset",
};

void set_prototype(PyObject* lib, const char* base_name, std::initializer_list<PyObject*> argtypes,
                   PyObject* restype) {
    const PyRef function = get_attr(lib, (std::string(kCurrentPrefix) + base_name).c_str());
    const PyRef list = PyRef::check(PyList_New(0));
    for (PyObject* type : argtypes) check_status(PyList_Append(list.get(), type));
    set_attr(function.get(), "argtypes", list.get());
    set_attr(function.get(), "restype", restype);
}

PyRef resolve_file_body(PyObject*, PyObject* const* args) { return resolve_file(args[0], args[1]); }

PyRef declare_api_body(PyObject* module, PyObject* const* args) {
    declare_api(module, args[0]);
    return PyRef::borrow(Py_None);
}

PyRef load_library_body(PyObject* module, PyObject* const* args) {
    return load_library(module, args[0]);
}

constexpr Parameter kResolveFileParameters[] = {{"path", "Path"}, {"description", "str"}};
constexpr Parameter kDeclareApiParameters[] = {{"lib", "ctypes.CDLL"}};
constexpr Parameter kLoadLibraryParameters[] = {{"path", "Path"}};

// Unloads a library that failed its declaration. The dynamic loader hands back a
// library it still has mapped when the same path is opened again, so without
// this a corrected file at that path would never be loaded, and a file written
// over the mapped one in place would corrupt it. The pending exception is kept.
void unload(PyObject* lib) {
    const PendingError pending;
    const PyRef handle = PyRef::steal(PyObject_GetAttrString(lib, "_handle"));
    const PyRef ctypes_core = handle ? PyRef::steal(PyImport_ImportModule("_ctypes")) : PyRef();
    if (ctypes_core) {
        for (const char* name : {"dlclose", "FreeLibrary"}) {  // POSIX, Windows
            const PyRef close = PyRef::steal(PyObject_GetAttrString(ctypes_core.get(), name));
            if (close) {
                Py_XDECREF(PyObject_CallOneArg(close.get(), handle.get()));
                break;
            }
            PyErr_Clear();
        }
    }
    PyErr_Clear();  // nothing more can be done about a library that will not unload
}

}  // namespace

const FunctionSpec kResolveFileSpec{"_resolve_file", "_resolve_file", kResolveFileParameters,
                                    "Path", resolve_file_body};
const FunctionSpec kDeclareApiSpec{"_declare_api", "_declare_api", kDeclareApiParameters, "None",
                                   declare_api_body};
const FunctionSpec kLoadLibrarySpec{"_load_library", "_load_library", kLoadLibraryParameters,
                                    "ctypes.CDLL", load_library_body};

PyRef resolve_file(PyObject* path, PyObject* description) {
    PyRef resolved = call_method(path, "resolve");
    const PyRef is_file = call_method(resolved.get(), "is_file");
    if (is_true(is_file.get())) return resolved;
    const PyRef message = PyRef::check(PyUnicode_FromFormat(
        "Packaged Orlune %S was not found at %S", description, resolved.get()));
    raise(PyExc_FileNotFoundError, message.get());
}

void declare_api(PyObject* module, PyObject* lib) {
    for (const char* base : kBaseNames) {
        const PyRef function = get_attr(lib, (std::string(kLegacyPrefix) + base).c_str());
        set_attr(lib, (std::string(kCurrentPrefix) + base).c_str(), function.get());
    }
    const PyRef ctypes = module_global(module, "ctypes");
    const PyRef c_char_p = get_attr(ctypes.get(), "c_char_p");
    const PyRef c_void_p = get_attr(ctypes.get(), "c_void_p");
    const PyRef c_size_t = get_attr(ctypes.get(), "c_size_t");
    const PyRef c_float = get_attr(ctypes.get(), "c_float");
    PyObject* none = Py_None;
    set_prototype(lib, "model_load_from_path", {c_char_p.get()}, c_void_p.get());
    set_prototype(lib, "model_free", {c_void_p.get()}, none);
    set_prototype(lib, "session_create", {c_void_p.get(), c_size_t.get(), c_float.get()},
                  c_void_p.get());
    set_prototype(lib, "session_free", {c_void_p.get()}, none);
    set_prototype(lib, "get_frame_length", {c_void_p.get()}, c_size_t.get());
    const PyRef float_pointer = call_method(ctypes.get(), "POINTER", c_float.get());
    set_prototype(lib, "process_frame", {c_void_p.get(), float_pointer.get(), float_pointer.get()},
                  c_float.get());
    set_prototype(lib, "reset", {c_void_p.get()}, none);
}

PyRef load_library(PyObject* module, PyObject* path) {
    const ModuleState& state = state_of<ModuleState>(module);
    const PyRef lock = module_global(module, "_LIBRARY_CACHE_LOCK");
    const PyRef cache = module_global(module, "_LIBRARY_CACHE");
    HeldLock held(lock.get(), state.str_acquire, state.str_release);
    const int cached = PySequence_Contains(cache.get(), path);
    check_status(cached);
    if (!cached) {
        const PyRef ctypes = module_global(module, "ctypes");
        const PyRef path_text = PyRef::check(PyObject_Str(path));
        const PyRef lib = call_method(ctypes.get(), "CDLL", path_text.get());
        try {
            declare_api(module, lib.get());
        } catch (const PythonError&) {
            unload(lib.get());
            throw;
        }
        check_status(PyObject_SetItem(cache.get(), path, lib.get()));
    }
    return PyRef::check(PyObject_GetItem(cache.get(), path));
}

}  // namespace orlune::nc
