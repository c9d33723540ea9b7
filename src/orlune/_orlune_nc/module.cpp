// orlune._orlune_nc: binds the engine library and wraps one engine stream as OrluneNC.
// Importing it loads nothing native; the first OrluneNC loads the engine library.
#define ORLUNE_NUMPY_IMPORT
#include "_common/annotated_function.hpp"
#include "_common/module_guard.hpp"
#include "_common/module_state.hpp"
#include "_common/numpy_api.hpp"
#include "_common/py_ref.hpp"
#include "_common/session_capi.hpp"
#include "library.hpp"
#include "module_state.hpp"
#include "session.hpp"

namespace orlune::nc {
namespace {

ModuleGuard guard("_orlune_nc");

SessionCapi session_capi{kSessionCapiVersion, nullptr, process_block};

void add(PyObject* module, const char* name, PyRef value) {
    check_status(PyModule_AddObjectRef(module, name, value.get()));
}

void add_imported(PyObject* module, const char* name, const char* from, const char* attribute) {
    const PyRef imported = import_module(from);
    add(module, name, attribute ? get_attr(imported.get(), attribute) : imported);
}

PyRef library_names() {
    return PyRef::check(Py_BuildValue("{s:s,s:s,s:s}", "Darwin", "liborlune_nc.dylib", "Linux",
                                      "liborlune_nc.so", "Windows", "orlune_nc.dll"));
}

int exec_module(PyObject* module) {
    if (guard.enter() < 0) return -1;
    PyObject* ok = call_translating_exceptions([&]() -> PyObject* {
        if (import_numpy() < 0) throw PythonError{};
        watch_shutdown();
        ModuleState& state = state_of<ModuleState>(module);
        add_imported(module, "ctypes", "ctypes", nullptr);
        add_imported(module, "logging", "logging", nullptr);
        add_imported(module, "os", "os", nullptr);
        add_imported(module, "platform", "platform", nullptr);
        add_imported(module, "threading", "threading", nullptr);
        add_imported(module, "Path", "pathlib", "Path");
        add_imported(module, "np", "numpy", nullptr);
        add_imported(module, "NDArray", "numpy.typing", "NDArray");

        const PyRef logging = module_global(module, "logging");
        add(module, "logger",
            PyRef::check(PyObject_CallMethod(logging.get(), "getLogger", "s", "orlune.native")));
        add(module, "_LIBRARY_NAMES", library_names());
        add(module, "_LIBRARY_CACHE", PyRef::check(PyDict_New()));
        const PyRef threading = module_global(module, "threading");
        const PyRef cache_lock = call_method(threading.get(), "Lock");
        check_status(HeldLock::learn_type(cache_lock.get()));
        add(module, "_LIBRARY_CACHE_LOCK", cache_lock);

        state.str_acquire = intern("acquire").release();
        state.str_release = intern("release").release();
        state.function_type = create_annotated_function_type(module);
        if (state.function_type == nullptr) throw PythonError{};
        for (const FunctionSpec* spec : {&kResolveFileSpec, &kDeclareApiSpec, &kLoadLibrarySpec}) {
            add(module, spec->name, make_annotated_function(state.function_type, module, *spec));
        }
        state.session_type = create_session_type(module);
        if (state.session_type == nullptr) throw PythonError{};
        add(module, "OrluneNC", PyRef::borrow(state.session_type));

        session_capi.session_type = reinterpret_cast<PyTypeObject*>(state.session_type);
        add(module, "_SESSION_CAPI",
            PyRef::check(PyCapsule_New(&session_capi, kSessionCapiName, nullptr)));
        return Py_None;
    });
    if (ok == nullptr) return -1;
    guard.commit();
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_orlune_nc",
    "Binding of the Orlune noise-suppression engine library.",
    sizeof(ModuleState),
    nullptr,
    module_slots,
    traverse_module_state<ModuleState>,
    clear_module_state<ModuleState>,
    free_module_state<ModuleState>,
};

}  // namespace
}  // namespace orlune::nc

PyMODINIT_FUNC PyInit__orlune_nc() { return PyModuleDef_Init(&orlune::nc::module_def); }
