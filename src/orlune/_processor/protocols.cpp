#include "protocols.hpp"

#include <initializer_list>

#include "_common/annotated_function.hpp"
#include "module_state.hpp"

namespace orlune::processor {
namespace {

PyRef do_nothing(PyObject*, PyObject* const*) { return PyRef::borrow(Py_None); }

constexpr Parameter kSelf[] = {{"self", nullptr}};
constexpr Parameter kProcessFrame[] = {{"self", nullptr}, {"samples", "NDArray[np.int16]"}};
constexpr Parameter kRecordBlock[] = {
    {"self", nullptr},
    {"sample_rate_hz", "int", ParameterKind::KeywordOnly},
    {"block_samples", "int", ParameterKind::KeywordOnly},
    {"inference_duration_ns", "int", ParameterKind::KeywordOnly},
};
constexpr Parameter kResolve[] = {{"self", nullptr}, {"manifest", "ModelManifest"}};

const FunctionSpec kSessionProcessFrame{"process_frame", "_DenoisingSession.process_frame",
                                        kProcessFrame, "NDArray[np.int16]", do_nothing};
const FunctionSpec kSessionClose{"close", "_DenoisingSession.close", kSelf, "None", do_nothing};
const FunctionSpec kReporterRecordBlock{"record_block", "_TelemetryReporter.record_block",
                                        kRecordBlock, "None", do_nothing};
const FunctionSpec kReporterClose{"close", "_TelemetryReporter.close", kSelf, "None", do_nothing};
const FunctionSpec kStoreResolve{"resolve", "_ModelStore.resolve", kResolve, "ModelArtifact",
                                 do_nothing};

// Calls Protocol's metaclass with a namespace of annotated do-nothing methods,
// exactly what a `class Name(Protocol):` statement would build.
PyRef make_protocol(PyObject* module, const char* name,
                    std::initializer_list<const FunctionSpec*> methods,
                    const char* attribute = nullptr, const char* attribute_annotation = nullptr) {
    const PyRef protocol = module_global(module, "Protocol");
    const PyRef metaclass = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(protocol.get())));
    const PyRef namespace_dict = PyRef::check(PyDict_New());
    const PyRef module_name = PyRef::check(PyModule_GetNameObject(module));
    check_status(PyDict_SetItemString(namespace_dict.get(), "__module__", module_name.get()));
    check_status(
        PyDict_SetItemString(namespace_dict.get(), "__qualname__", new_string(name).get()));
    if (attribute != nullptr) {
        const PyRef annotations =
            PyRef::check(Py_BuildValue("{s:s}", attribute, attribute_annotation));
        check_status(
            PyDict_SetItemString(namespace_dict.get(), "__annotations__", annotations.get()));
    }
    const ModuleState& state = state_of<ModuleState>(module);
    for (const FunctionSpec* spec : methods) {
        const PyRef method = make_annotated_function(state.function_type, module, *spec);
        check_status(PyDict_SetItemString(namespace_dict.get(), spec->name, method.get()));
    }
    return PyRef::check(PyObject_CallFunction(metaclass.get(), "s(O)O", name, protocol.get(),
                                              namespace_dict.get()));
}

}  // namespace

PyRef make_denoising_session_protocol(PyObject* module) {
    return make_protocol(module, "_DenoisingSession", {&kSessionProcessFrame, &kSessionClose},
                         "frame_length", "int");
}

PyRef make_telemetry_reporter_protocol(PyObject* module) {
    return make_protocol(module, "_TelemetryReporter", {&kReporterRecordBlock, &kReporterClose});
}

PyRef make_model_store_protocol(PyObject* module) {
    return make_protocol(module, "_ModelStore", {&kStoreResolve});
}

}  // namespace orlune::processor
