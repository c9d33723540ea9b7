// orlune._processor: the public OrluneProcessor and the protocols of its collaborators.
// Importing it builds classes and loads nothing native.
#define ORLUNE_NUMPY_IMPORT
#include "_common/annotated_function.hpp"
#include "_common/module_guard.hpp"
#include "_common/module_state.hpp"
#include "_common/numpy_api.hpp"
#include "_common/py_ref.hpp"
#include "_common/session_capi.hpp"
#include "module_state.hpp"
#include "processor.hpp"
#include "protocols.hpp"

namespace orlune::processor {
namespace {

ModuleGuard guard("_processor");

void add(PyObject* module, const char* name, const PyRef& value) {
    check_status(PyModule_AddObjectRef(module, name, value.get()));
}

// `from .<relative> import <names>`, binding each name in the module in order.
void import_from(PyObject* module, const char* relative, std::initializer_list<const char*> names) {
    const PyRef fromlist = PyRef::check(PyList_New(0));
    for (const char* name : names)
        check_status(PyList_Append(fromlist.get(), new_string(name).get()));
    const PyRef imported = PyRef::check(
        PyImport_ImportModuleLevel(relative, PyModule_GetDict(module), nullptr, fromlist.get(), 1));
    for (const char* name : names) add(module, name, get_attr(imported.get(), name));
}

void fill_state(PyObject* module) {
    ModuleState& state = state_of<ModuleState>(module);
    state.str_record_block = intern("record_block").release();
    state.str_processed_blocks = intern("_processed_blocks").release();
    state.str_processed_samples = intern("_processed_samples").release();
    state.str_telemetry_reporter = intern("_telemetry_reporter").release();
    state.str_sample_rate = intern("_sample_rate").release();
    state.str_process_frame = intern("process_frame").release();
    state.str_perf_counter_ns = intern("_perf_counter_ns").release();
    const PyRef rate = intern("sample_rate_hz");
    const PyRef samples = intern("block_samples");
    const PyRef duration = intern("inference_duration_ns");
    state.record_block_kwnames = PyTuple_Pack(3, rate.get(), samples.get(), duration.get());
    if (state.record_block_kwnames == nullptr) throw PythonError{};
    state.one = PyRef::check(PyLong_FromLong(1)).release();
    state.function_type = create_annotated_function_type(module);
    if (state.function_type == nullptr) throw PythonError{};
}

int exec_module(PyObject* module) {
    if (guard.enter() < 0) return -1;
    PyObject* ok = call_translating_exceptions([&]() -> PyObject* {
        if (import_numpy() < 0) throw PythonError{};
        watch_shutdown();
        fill_state(module);
        add(module, "logging", import_module("logging"));
        add(module, "time", import_module("time"));
        add(module, "Callable", get_attr(import_module("collections.abc").get(), "Callable"));
        add(module, "Protocol", get_attr(import_module("typing").get(), "Protocol"));
        add(module, "np", import_module("numpy"));
        add(module, "NDArray", get_attr(import_module("numpy.typing").get(), "NDArray"));
        import_from(module, "_orlune_nc", {"OrluneNC"});
        import_from(module, "_model_store", {"ModelArtifact", "ModelManifest", "ModelStore"});
        import_from(module, "_telemetry", {"TelemetryClient", "TelemetryReporter"});
        import_from(module, "_version", {"_sdk_version"});

        auto* capi = static_cast<const SessionCapi*>(PyCapsule_Import(kSessionCapiName, 0));
        if (capi == nullptr) throw PythonError{};
        if (capi->version != kSessionCapiVersion) {
            raise(PyExc_ImportError, "orlune._orlune_nc does not match orlune._processor");
        }
        state_of<ModuleState>(module).session_capi = capi;

        const PyRef logging = module_global(module, "logging");
        add(module, "logger",
            PyRef::check(PyObject_CallMethod(logging.get(), "getLogger", "s", "orlune.processor")));
        const PyRef session_protocol = make_denoising_session_protocol(module);
        add(module, "_DenoisingSession", session_protocol);
        const PyRef callable = module_global(module, "Callable");
        const PyRef signature =
            PyRef::check(Py_BuildValue("([O]O)", &PyLong_Type, session_protocol.get()));
        add(module, "_SessionFactory",
            PyRef::check(PyObject_GetItem(callable.get(), signature.get())));
        add(module, "_TelemetryReporter", make_telemetry_reporter_protocol(module));
        add(module, "_ModelStore", make_model_store_protocol(module));
        add(module, "OrluneProcessor", make_processor_class(module));
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
    "_processor",
    "Orlune speech enhancement: the OrluneProcessor class.",
    sizeof(ModuleState),
    nullptr,
    module_slots,
    traverse_module_state<ModuleState>,
    clear_module_state<ModuleState>,
    free_module_state<ModuleState>,
};

}  // namespace
}  // namespace orlune::processor

PyMODINIT_FUNC PyInit__processor() { return PyModuleDef_Init(&orlune::processor::module_def); }
