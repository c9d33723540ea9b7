#include "processor.hpp"

#include "_common/annotated_function.hpp"
#include "_common/log_info.hpp"
#include "module_state.hpp"

namespace orlune::processor {
namespace {

// Calls `callable` with keyword arguments only, in the order given.
PyRef call_with_keywords(PyObject* callable, PyObject* keywords) {
    const PyRef no_args = PyRef::check(PyTuple_New(0));
    return PyRef::check(PyObject_Call(callable, no_args.get(), keywords));
}

// The default model as the packaged index lists it (id, version, bundle), so that
// pointing the default at another version is a change of the index alone.
PyRef default_manifest_keywords(PyObject* module) {
    const PyRef fromlist = PyRef::check(Py_BuildValue("[s]", "default_manifest_fields"));
    const PyRef store_module = PyRef::check(PyImport_ImportModuleLevel(
        "_model_store", PyModule_GetDict(module), nullptr, fromlist.get(), 1));
    const PyRef fields = get_attr(store_module.get(), "default_manifest_fields");
    PyRef keywords = PyRef::check(PyObject_CallNoArgs(fields.get()));
    if (!PyDict_Check(keywords.get())) {
        raise(PyExc_TypeError, "default_manifest_fields() must return a dict");
    }
    return keywords;
}

PyRef init_body(PyObject* module, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* attenuation_limit_db = args[1];
    PyObject* session_factory = args[2];
    PyObject* telemetry_reporter = args[3];
    PyObject* model_store = args[4];
    PyObject* perf_counter_ns = args[5];

    const PyRef zero = PyRef::check(PyLong_FromLong(0));
    const int negative = PyObject_RichCompareBool(attenuation_limit_db, zero.get(), Py_LT);
    check_status(negative);
    if (negative) raise(PyExc_ValueError, "attenuation_limit_db must be non-negative");

    set_attr(self, "_session_factory", session_factory);
    set_attr(self, "_attenuation_limit_db", attenuation_limit_db);
    set_attr(self, "_model_artifact", Py_None);
    if (is_true(perf_counter_ns)) {
        set_attr(self, "_perf_counter_ns", perf_counter_ns);
    } else {
        const PyRef time = module_global(module, "time");
        set_attr(self, "_perf_counter_ns", get_attr(time.get(), "perf_counter_ns").get());
    }
    if (model_store != Py_None) {
        set_attr(self, "_model_store", model_store);
    } else if (session_factory != Py_None) {
        set_attr(self, "_model_store", Py_None);
    } else {
        const PyRef store_class = module_global(module, "ModelStore");
        set_attr(self, "_model_store", PyRef::check(PyObject_CallNoArgs(store_class.get())).get());
    }
    set_attr(self, "_session", Py_None);
    set_attr(self, "_sample_rate", Py_None);
    set_attr(self, "_closed", Py_False);
    set_attr(self, "_processed_blocks", zero.get());
    set_attr(self, "_processed_samples", zero.get());

    const PyRef store = get_attr(self, "_model_store");
    if (store.get() != Py_None) {
        const PyRef manifest_class = module_global(module, "ModelManifest");
        const PyRef keywords = default_manifest_keywords(module);
        const PyRef manifest = call_with_keywords(manifest_class.get(), keywords.get());
        const PyRef artifact = call_method(store.get(), "resolve", manifest.get());
        set_attr(self, "_model_artifact", artifact.get());
    }

    if (telemetry_reporter != Py_None) {
        set_attr(self, "_telemetry_reporter", telemetry_reporter);
    } else if (session_factory == Py_None) {
        const PyRef reporter_class = module_global(module, "TelemetryReporter");
        const PyRef client_class = module_global(module, "TelemetryClient");
        const PyRef client = PyRef::check(PyObject_CallNoArgs(client_class.get()));
        const PyRef sdk_version_function = module_global(module, "_sdk_version");
        const PyRef sdk_version = PyRef::check(PyObject_CallNoArgs(sdk_version_function.get()));
        const PyRef keywords = PyRef::check(
            Py_BuildValue("{s:O,s:O}", "sink", client.get(), "sdk_version", sdk_version.get()));
        set_attr(self, "_telemetry_reporter",
                 call_with_keywords(reporter_class.get(), keywords.get()).get());
    } else {
        set_attr(self, "_telemetry_reporter", Py_None);
    }
    return PyRef::borrow(Py_None);
}

PyRef frame_length_body(PyObject*, PyObject* const* args) {
    const PyRef session = get_attr(args[0], "_session");
    if (session.get() == Py_None) raise(PyExc_RuntimeError, kNotInitializedMessage);
    return get_attr(session.get(), "frame_length");
}

PyRef sample_rate_body(PyObject*, PyObject* const* args) {
    return get_attr(args[0], "_sample_rate");
}

PyRef initialize_body(PyObject* module, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* sample_rate = args[1];
    if (is_true(get_attr(self, "_closed").get())) raise(PyExc_RuntimeError, kClosedMessage);
    const PyRef zero = PyRef::check(PyLong_FromLong(0));
    const int not_positive = PyObject_RichCompareBool(sample_rate, zero.get(), Py_LE);
    check_status(not_positive);
    if (not_positive) raise(PyExc_ValueError, "sample_rate must be positive");

    if (get_attr(self, "_session").get() == Py_None) {
        const PyRef factory = get_attr(self, "_session_factory");
        PyRef session = factory.get() != Py_None
                            ? PyRef::check(PyObject_CallOneArg(factory.get(), sample_rate))
                            : call_method(self, "_create_native_session", sample_rate);
        set_attr(self, "_session", session.get());
        set_attr(self, "_sample_rate", sample_rate);
        const PyRef stored = get_attr(self, "_session");
        const PyRef frame_length = get_attr(stored.get(), "frame_length");
        const PyRef extra = PyRef::check(Py_BuildValue("{s:O,s:O}", "sample_rate", sample_rate,
                                                       "native_frame_length", frame_length.get()));
        log_info(module, "Orlune speech enhancement initialized", extra.get());
        return PyRef::borrow(Py_None);
    }

    const PyRef current = get_attr(self, "_sample_rate");
    const int changed = PyObject_RichCompareBool(sample_rate, current.get(), Py_NE);
    check_status(changed);
    if (changed) {
        const PyRef message = PyRef::check(PyUnicode_FromFormat(
            "Audio sample rate changed after Orlune was initialized (%S Hz to %S Hz)",
            current.get(), sample_rate));
        raise(PyExc_ValueError, message.get());
    }
    return PyRef::borrow(Py_None);
}

PyRef create_native_session_body(PyObject* module, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* sample_rate = args[1];
    const PyRef artifact = get_attr(self, "_model_artifact");
    if (artifact.get() == Py_None) raise(PyExc_RuntimeError, "Orlune model artifact is missing");
    const PyRef session_class = module_global(module, "OrluneNC");
    const PyRef limit = get_attr(self, "_attenuation_limit_db");
    const PyRef model_path = get_attr(artifact.get(), "path");
    const PyRef keywords = PyRef::check(Py_BuildValue("{s:O,s:O,s:O}", "sample_rate", sample_rate,
                                                      "attenuation_limit_db", limit.get(),
                                                      "model_path", model_path.get()));
    return call_with_keywords(session_class.get(), keywords.get());
}

PyRef close_body(PyObject* module, PyObject* const* args) {
    PyObject* self = args[0];
    if (is_true(get_attr(self, "_closed").get())) return PyRef::borrow(Py_None);
    set_attr(self, "_closed", Py_True);
    const PyRef session = get_attr(self, "_session");
    if (session.get() != Py_None) {
        call_method(session.get(), "close");
        set_attr(self, "_session", Py_None);
    }
    const PyRef reporter = get_attr(self, "_telemetry_reporter");
    if (reporter.get() != Py_None) call_method(reporter.get(), "close");

    const PyRef blocks = get_attr(self, "_processed_blocks");
    if (!is_true(blocks.get())) return PyRef::borrow(Py_None);
    const PyRef samples = get_attr(self, "_processed_samples");
    PyRef divisor = get_attr(self, "_sample_rate");
    if (!is_true(divisor.get())) divisor = PyRef::check(PyLong_FromLong(1));
    const PyRef seconds = PyRef::check(PyNumber_TrueDivide(samples.get(), divisor.get()));
    const PyRef round = get_attr(import_module("builtins").get(), "round");
    const PyRef rounded = PyRef::check(PyObject_CallFunction(round.get(), "Oi", seconds.get(), 3));
    const PyRef extra = PyRef::check(Py_BuildValue("{s:O,s:O}", "processed_blocks", blocks.get(),
                                                   "processed_audio_seconds", rounded.get()));
    log_info(module, "Orlune speech enhancement closed", extra.get());
    return PyRef::borrow(Py_None);
}

PyRef process_body(PyObject* module, PyObject* const* args) {
    return process_samples(module, args[0], args[1]);
}

constexpr Parameter kInitParameters[] = {
    {"self", nullptr},
    {"attenuation_limit_db", "float", ParameterKind::KeywordOnly, DefaultValue::real(100.0)},
    {"_session_factory", "_SessionFactory | None", ParameterKind::KeywordOnly,
     DefaultValue::none()},
    {"_telemetry_reporter", "_TelemetryReporter | None", ParameterKind::KeywordOnly,
     DefaultValue::none()},
    {"_model_store", "_ModelStore | None", ParameterKind::KeywordOnly, DefaultValue::none()},
    {"_perf_counter_ns", "Callable[[], int] | None", ParameterKind::KeywordOnly,
     DefaultValue::none()},
};
constexpr Parameter kSelf[] = {{"self", nullptr}};
constexpr Parameter kSampleRate[] = {{"self", nullptr}, {"sample_rate", "int"}};
constexpr Parameter kSamples[] = {{"self", nullptr}, {"samples", "NDArray[np.int16]"}};

const FunctionSpec kInit{"__init__", "OrluneProcessor.__init__", kInitParameters, "None",
                         init_body};
const FunctionSpec kFrameLength{"frame_length",
                                "OrluneProcessor.frame_length",
                                kSelf,
                                "int",
                                frame_length_body,
                                "Samples per block of the engine session."};
const FunctionSpec kSampleRateGetter{"sample_rate",
                                     "OrluneProcessor.sample_rate",
                                     kSelf,
                                     "int | None",
                                     sample_rate_body,
                                     "The sample rate fixed by initialize(), or None."};
const FunctionSpec kInitialize{
    "initialize",
    "OrluneProcessor.initialize",
    kSampleRate,
    "None",
    initialize_body,
    "Fix the sample rate and open the denoising session (once; later calls must agree)."};
const FunctionSpec kProcess{
    "process",
    "OrluneProcessor.process",
    kSamples,
    "NDArray[np.int16]",
    process_body,
    "Enhance a 1-D int16 array holding a whole number of blocks; returns a new array."};
const FunctionSpec kCreateNativeSession{"_create_native_session",
                                        "OrluneProcessor._create_native_session", kSampleRate,
                                        "_DenoisingSession", create_native_session_body};
const FunctionSpec kClose{"close",    "OrluneProcessor.close",
                          kSelf,      "None",
                          close_body, "Release the session, close telemetry and log a summary."};

constexpr const char* kClassDoc =
    "Speech enhancement for 16-bit PCM audio.\n\n"
    "    p = OrluneProcessor()\n"
    "    p.initialize(48000)\n"
    "    clean = p.process(noisy)  # int16, a whole number of p.frame_length blocks\n"
    "    p.close()\n\n"
    "One processor serves one audio stream and is driven by one thread at a time.";

}  // namespace

PyRef make_processor_class(PyObject* module) {
    const ModuleState& state = state_of<ModuleState>(module);
    const PyRef namespace_dict = PyRef::check(PyDict_New());
    const PyRef module_name = PyRef::check(PyModule_GetNameObject(module));
    check_status(PyDict_SetItemString(namespace_dict.get(), "__module__", module_name.get()));
    check_status(PyDict_SetItemString(namespace_dict.get(), "__qualname__",
                                      new_string("OrluneProcessor").get()));
    check_status(
        PyDict_SetItemString(namespace_dict.get(), "__doc__", new_string(kClassDoc).get()));
    auto add_function = [&](const FunctionSpec& spec) {
        const PyRef function = make_annotated_function(state.function_type, module, spec);
        check_status(PyDict_SetItemString(namespace_dict.get(), spec.name, function.get()));
    };
    auto add_property = [&](const FunctionSpec& spec) {
        const PyRef getter = make_annotated_function(state.function_type, module, spec);
        const PyRef property = PyRef::check(
            PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), getter.get()));
        check_status(PyDict_SetItemString(namespace_dict.get(), spec.name, property.get()));
    };
    add_function(kInit);
    add_property(kFrameLength);
    add_property(kSampleRateGetter);
    add_function(kInitialize);
    add_function(kProcess);
    add_function(kCreateNativeSession);
    add_function(kClose);
    return PyRef::check(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O",
                                              "OrluneProcessor", namespace_dict.get()));
}

}  // namespace orlune::processor
