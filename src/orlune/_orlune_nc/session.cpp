#include "session.hpp"

#include <structmember.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <utility>

#include "_common/annotated_function.hpp"
#include "_common/log_info.hpp"
#include "_common/numpy_api.hpp"
#include "_common/py_ref.hpp"
#include "library.hpp"
#include "module_state.hpp"
#include "sample_convert.hpp"

namespace orlune::nc {
namespace {

// The engine entry points used after construction, taken from the declared library.
struct EngineApi {
    float (*process_frame)(void* session, const float* input, float* output) = nullptr;
    void (*reset)(void* session) = nullptr;
    void (*session_free)(void* session) = nullptr;
    void (*model_free)(void* model) = nullptr;
};

// Python-visible attributes are NULL until the constructor sets them, so a
// half-built object answers AttributeError for the ones it never got.
struct SessionObject {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakreflist;
    PyObject* lib;           // _lib
    PyObject* lock;          // _lock
    PyObject* model_handle;  // _model: int or None
    PyObject* session_handle;
    PyObject* frame_length_object;
    PyObject* latency_samples_object;
    PyObject* input_array;  // _input: float32 view of `input`
    PyObject* output_array;
    PyObject* buffer_owner;  // capsule owning both frame buffers
    PyObject* module;
    EngineApi api;
    void* model;
    void* session;
    std::size_t frame_length;
    float* input;
    float* output;
    double speech_probability;
    // Held around every engine call and every read or write of the handles and
    // the frame buffers. `_lock` cannot do this alone: it is a threading.Lock,
    // which any Python thread may release. Constructed in session_new because
    // the object's memory comes from tp_alloc.
    std::mutex engine_mutex;
    // True while __init__ runs: a caller that reached the object through
    // __new__ must not free or use handles that the constructor is still making.
    bool constructing;
};

// Holds a session's engine_mutex. A wait for it happens with the GIL released,
// and no Python code runs while it is held, so it cannot deadlock with the GIL
// or with the session's `_lock`.
class EngineGuard {
  public:
    explicit EngineGuard(SessionObject* self) : lock_(self->engine_mutex, std::try_to_lock) {
        if (!lock_.owns_lock()) {
            ReleasedGil released;
            lock_.lock();
        }
    }

  private:
    std::unique_lock<std::mutex> lock_;
};

SessionObject* as_session(PyObject* object) { return reinterpret_cast<SessionObject*>(object); }

SessionObject* checked_self(PyObject* module, PyObject* self) {
    auto* type = reinterpret_cast<PyTypeObject*>(state_of<ModuleState>(module).session_type);
    if (!PyObject_TypeCheck(self, type)) {
        PyErr_Format(PyExc_TypeError, "descriptor requires an 'OrluneNC' object but received '%s'",
                     Py_TYPE(self)->tp_name);
        throw PythonError{};
    }
    return as_session(self);
}

void set_slot(PyObject*& slot, PyRef value) { Py_XSETREF(slot, value.release()); }

void* handle_from(PyObject* value) {
    if (value == Py_None) return nullptr;
    void* pointer = PyLong_AsVoidPtr(value);
    if (pointer == nullptr && PyErr_Occurred()) throw PythonError{};
    return pointer;
}

template <typename Function>
Function function_pointer(PyObject* ctypes, PyObject* function) {
    const PyRef c_void_p = get_attr(ctypes, "c_void_p");
    const PyRef pointer =
        PyRef::check(PyObject_CallMethod(ctypes, "cast", "OO", function, c_void_p.get()));
    const PyRef address = get_attr(pointer.get(), "value");
    void* raw = handle_from(address.get());
    if (raw == nullptr) raise(PyExc_RuntimeError, "Orlune engine function has no address");
    return reinterpret_cast<Function>(raw);
}

template <typename Function>
Function engine_function(PyObject* ctypes, PyObject* lib, const char* name) {
    return function_pointer<Function>(ctypes, get_attr(lib, name).get());
}

// The engine's constant delay in samples. Its export is not among the functions the
// library object declares, so it is looked up by item (a fresh ctypes function, which
// leaves the shared library's attributes alone). An engine without it has no delay.
PyRef engine_latency(PyObject* module, PyObject* lib, void* session) {
    const PyRef name = new_string("kelvo_nc_get_latency");
    const PyRef function = PyRef::steal(PyObject_GetItem(lib, name.get()));
    if (!function) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        return PyRef::check(PyLong_FromSize_t(0));
    }
    const PyRef ctypes = module_global(module, "ctypes");
    const auto get_latency =
        function_pointer<std::size_t (*)(const void*)>(ctypes.get(), function.get());
    std::size_t latency;
    {
        ReleasedGil released;
        latency = get_latency(session);
    }
    return PyRef::check(PyLong_FromSize_t(latency));
}

EngineApi take_engine_api(PyObject* module, PyObject* lib) {
    const PyRef ctypes = module_global(module, "ctypes");
    EngineApi api;
    api.process_frame =
        engine_function<decltype(api.process_frame)>(ctypes.get(), lib, "orlune_nc_process_frame");
    api.reset = engine_function<decltype(api.reset)>(ctypes.get(), lib, "orlune_nc_reset");
    api.session_free =
        engine_function<decltype(api.session_free)>(ctypes.get(), lib, "orlune_nc_session_free");
    api.model_free =
        engine_function<decltype(api.model_free)>(ctypes.get(), lib, "orlune_nc_model_free");
    return api;
}

void free_buffer(PyObject* capsule) {
    std::unique_ptr<float[]> owned(static_cast<float*>(PyCapsule_GetPointer(capsule, nullptr)));
}

// Two frame buffers in one allocation, exposed as float32 arrays that do not own
// their memory (so they can never be resized out from under the engine).
void allocate_buffers(SessionObject* self) {
    const std::size_t frame = self->frame_length;
    constexpr std::size_t kLimit = static_cast<std::size_t>(PY_SSIZE_T_MAX) / (2 * sizeof(float));
    if (frame > kLimit) throw std::bad_alloc();
    std::unique_ptr<float[]> memory = std::make_unique<float[]>(frame == 0 ? 1 : 2 * frame);
    PyRef owner = PyRef::check(PyCapsule_New(memory.get(), nullptr, free_buffer));
    float* base = memory.release();
    self->input = base;
    self->output = base + frame;
    npy_intp dims[1] = {static_cast<npy_intp>(frame)};
    float* const views[2] = {self->input, self->output};
    PyObject** slots[2] = {&self->input_array, &self->output_array};
    for (int i = 0; i < 2; ++i) {
        PyRef array = PyRef::check(PyArray_New(&PyArray_Type, 1, dims, NPY_FLOAT32, nullptr,
                                               views[i], 0, NPY_ARRAY_CARRAY, nullptr));
        check_status(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()),
                                           Py_NewRef(owner.get())));
        set_slot(*slots[i], std::move(array));
    }
    set_slot(self->buffer_owner, std::move(owner));
}

void log_loaded(PyObject* module, PyObject* library_file, PyObject* sample_rate,
                PyObject* frame_length) {
    const PyRef library_path = PyRef::check(PyObject_Str(library_file));
    const PyRef extra = PyRef::check(Py_BuildValue("{s:O,s:O,s:O}", "library_path",
                                                   library_path.get(), "sample_rate", sample_rate,
                                                   "native_frame_length", frame_length));
    log_info(module, "Orlune loaded", extra.get());
}

PyRef locate_library(PyObject* module) {
    const PyRef path_class = module_global(module, "Path");
    const PyRef file = module_global(module, "__file__");
    const PyRef module_path = PyRef::check(PyObject_CallOneArg(path_class.get(), file.get()));
    const PyRef resolved = call_method(module_path.get(), "resolve");
    const PyRef package_dir = get_attr(resolved.get(), "parent");
    const PyRef resource_root =
        PyRef::check(PyNumber_TrueDivide(package_dir.get(), new_string("resources").get()));
    const PyRef platform = module_global(module, "platform");
    const PyRef system = call_method(platform.get(), "system");
    const PyRef names = module_global(module, "_LIBRARY_NAMES");
    const PyRef library_name = PyRef::check(
        PyObject_CallMethod(names.get(), "get", "Os", system.get(), "liborlune_nc.so"));
    const PyRef lib_dir =
        PyRef::check(PyNumber_TrueDivide(resource_root.get(), new_string("lib").get()));
    const PyRef candidate = PyRef::check(PyNumber_TrueDivide(lib_dir.get(), library_name.get()));
    return resolve_file(candidate.get(), new_string("native library").get());
}

PyRef init_body(PyObject* module, PyObject* const* args) {
    SessionObject* self = checked_self(module, args[0]);
    PyObject* sample_rate = args[1];
    PyObject* attenuation_limit_db = args[2];
    PyObject* model_path = args[3];
    if (self->lib != nullptr)
        raise(PyExc_RuntimeError, "OrluneNC objects cannot be initialised twice");
    struct ConstructingFlag {
        SessionObject* self;
        ~ConstructingFlag() { self->constructing = false; }
    } const constructing{self};
    self->constructing = true;

    const PyRef library_file = locate_library(module);
    const PyRef model_file = resolve_file(model_path, new_string("model bundle").get());
    set_slot(self->lib, load_library(module, library_file.get()));
    self->api = take_engine_api(module, self->lib);
    set_slot(self->module, PyRef::borrow(module));
    const PyRef threading = module_global(module, "threading");
    set_slot(self->lock, call_method(threading.get(), "Lock"));

    // Construction-time engine calls go through ctypes so that its argument
    // conversions (and their errors) apply; ctypes releases the GIL around them.
    const PyRef os = module_global(module, "os");
    const PyRef encoded = call_method(os.get(), "fsencode", model_file.get());
    PyRef model = call_method(self->lib, "orlune_nc_model_load_from_path", encoded.get());
    self->model = handle_from(model.get());
    set_slot(self->model_handle, std::move(model));
    if (!is_true(self->model_handle)) raise(PyExc_RuntimeError, "Failed to load the Orlune model");

    const PyRef ctypes = module_global(module, "ctypes");
    const PyRef limit = call_method(ctypes.get(), "c_float", attenuation_limit_db);
    PyRef session = PyRef::check(PyObject_CallMethod(self->lib, "orlune_nc_session_create", "OOO",
                                                     self->model_handle, sample_rate, limit.get()));
    self->session = handle_from(session.get());
    set_slot(self->session_handle, std::move(session));
    if (!is_true(self->session_handle)) {
        {
            ReleasedGil released;
            self->api.model_free(std::exchange(self->model, nullptr));
        }
        set_slot(self->model_handle, PyRef::borrow(Py_None));
        const PyRef message = PyRef::check(PyUnicode_FromFormat(
            "Failed to create an Orlune denoising session at %S Hz", sample_rate));
        raise(PyExc_RuntimeError, message.get());
    }

    const PyRef reported =
        call_method(self->lib, "orlune_nc_get_frame_length", self->session_handle);
    PyRef frame_length = PyRef::check(PyNumber_Long(reported.get()));
    self->frame_length = PyLong_AsSize_t(frame_length.get());
    if (self->frame_length == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
        throw PythonError{};
    }
    set_slot(self->frame_length_object, std::move(frame_length));
    set_slot(self->latency_samples_object, engine_latency(module, self->lib, self->session));
    allocate_buffers(self);
    log_loaded(module, library_file.get(), sample_rate, self->frame_length_object);
    return PyRef::borrow(Py_None);
}

constexpr const char* kClosedMessage = "Orlune denoising session is closed";

[[noreturn]] void raise_closed() { raise(PyExc_RuntimeError, kClosedMessage); }

// Another thread is still inside __init__ of an object it made with __new__.
void refuse_while_constructing(const SessionObject* self) {
    if (self->constructing) {
        raise(PyExc_RuntimeError, "OrluneNC object is still being constructed");
    }
}

// Runs the engine on the input buffer, which `fill_input` writes, and hands the
// output buffer to `drain_output`; both run under the session's locks and must
// not run Python code (see EngineGuard).
template <typename Fill, typename Drain>
void run_frame(SessionObject* self, Fill&& fill_input, Drain&& drain_output) {
    refuse_while_constructing(self);
    const ModuleState& state = state_of<ModuleState>(self->module);
    HeldLock held(self->lock, state.str_acquire, state.str_release);
    float probability;
    {
        const EngineGuard engine(self);
        if (self->session == nullptr || self->input == nullptr) raise_closed();
        fill_input();
        {
            ReleasedGil released;
            probability = self->api.process_frame(self->session, self->input, self->output);
        }
        drain_output();
    }
    self->speech_probability = probability;
}

[[noreturn]] void raise_frame_mismatch(SessionObject* self, PyObject* samples, PyObject* dtype) {
    const PyRef size = get_attr(samples, "size");
    const PyRef message =
        PyRef::check(PyUnicode_FromFormat("Expected %S int16 samples, received %S %S samples",
                                          self->frame_length_object, size.get(), dtype));
    raise(PyExc_ValueError, message.get());
}

PyRef process_frame_body(PyObject* module, PyObject* const* args) {
    SessionObject* self = checked_self(module, args[0]);
    PyObject* samples = args[1];
    refuse_while_constructing(self);
    if (self->lock == nullptr || self->frame_length_object == nullptr) raise_closed();

    if (PyArray_Check(samples)) {
        const auto* array = reinterpret_cast<PyArrayObject*>(samples);
        if (!is_native_int16_array(samples) ||
            static_cast<std::size_t>(PyArray_SIZE(array)) != self->frame_length) {
            raise_frame_mismatch(self, samples, get_attr(samples, "dtype").get());
        }
    } else {
        // Any other object is judged the way NumPy compares dtypes and sizes.
        const PyRef dtype = get_attr(samples, "dtype");
        const PyRef np = module_global(module, "np");
        const PyRef int16_type = get_attr(np.get(), "int16");
        const int different = PyObject_RichCompareBool(dtype.get(), int16_type.get(), Py_NE);
        check_status(different);
        if (different) raise_frame_mismatch(self, samples, dtype.get());
        const PyRef size = get_attr(samples, "size");
        const int wrong_size =
            PyObject_RichCompareBool(size.get(), self->frame_length_object, Py_NE);
        check_status(wrong_size);
        if (wrong_size) raise_frame_mismatch(self, samples, dtype.get());
    }

    npy_intp dims[1] = {static_cast<npy_intp>(self->frame_length)};
    PyRef result = PyRef::check(PyArray_SimpleNew(1, dims, NPY_INT16));
    char* result_data = PyArray_BYTES(reinterpret_cast<PyArrayObject*>(result.get()));
    const auto* array = reinterpret_cast<PyArrayObject*>(samples);
    if (PyArray_Check(samples) && PyArray_NDIM(array) == 1) {
        run_frame(
            self,
            [&] {
                pcm16_to_float(PyArray_BYTES(const_cast<PyArrayObject*>(array)),
                               PyArray_STRIDE(array, 0), self->frame_length, self->input);
            },
            [&] { float_to_pcm16(self->output, self->frame_length, result_data, kPcm16Size); });
        return result;
    }
    // Anything else converts through NumPy, with its broadcasting rules, into a
    // frame of its own and before any lock is taken: the conversion may run the
    // object's Python code, which could otherwise deadlock on this session's
    // locks or write into its buffers.
    const PyRef staged = PyRef::check(PyArray_SimpleNew(1, dims, NPY_FLOAT32));
    const PyRef np = module_global(module, "np");
    const PyRef multiply = get_attr(np.get(), "multiply");
    const PyRef scale = PyRef::check(PyFloat_FromDouble(kInt16ToFloat));
    const PyRef call_args = PyRef::check(PyTuple_Pack(2, samples, scale.get()));
    const PyRef kwargs = PyRef::check(Py_BuildValue("{s:O}", "out", staged.get()));
    PyRef::check(PyObject_Call(multiply.get(), call_args.get(), kwargs.get()));
    const auto* staged_data =
        static_cast<const float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(staged.get())));
    run_frame(
        self, [&] { std::memcpy(self->input, staged_data, self->frame_length * sizeof(float)); },
        [&] { float_to_pcm16(self->output, self->frame_length, result_data, kPcm16Size); });
    return result;
}

PyRef reset_body(PyObject* module, PyObject* const* args) {
    SessionObject* self = checked_self(module, args[0]);
    if (self->lock == nullptr) return PyRef::borrow(Py_None);
    refuse_while_constructing(self);
    const ModuleState& state = state_of<ModuleState>(module);
    HeldLock held(self->lock, state.str_acquire, state.str_release);
    const EngineGuard engine(self);
    if (self->session != nullptr) {
        ReleasedGil released;
        self->api.reset(self->session);
    }
    return PyRef::borrow(Py_None);
}

// Frees the session, then the model, each at most once. The caller holds `_lock`
// (or is the last owner, in dealloc); the engine guard waits out an engine call
// that a thread started after `_lock` was released behind its back.
void free_handles(SessionObject* self) {
    void* session = nullptr;
    void* model = nullptr;
    {
        const EngineGuard engine(self);
        session = std::exchange(self->session, nullptr);
        model = std::exchange(self->model, nullptr);
        ReleasedGil released;
        if (session != nullptr) self->api.session_free(session);
        if (model != nullptr) self->api.model_free(model);
    }
    if (session != nullptr) set_slot(self->session_handle, PyRef::borrow(Py_None));
    if (model != nullptr) set_slot(self->model_handle, PyRef::borrow(Py_None));
}

PyRef close_body(PyObject* module, PyObject* const* args) {
    SessionObject* self = checked_self(module, args[0]);
    if (self->lock == nullptr) return PyRef::borrow(Py_None);
    refuse_while_constructing(self);
    const ModuleState& state = state_of<ModuleState>(module);
    HeldLock held(self->lock, state.str_acquire, state.str_release);
    free_handles(self);
    return PyRef::borrow(Py_None);
}

PyRef del_body(PyObject*, PyObject* const* args) { return call_method(args[0], "close"); }

constexpr Parameter kInitParameters[] = {
    {"self", nullptr},
    {"sample_rate", "int", ParameterKind::KeywordOnly},
    {"attenuation_limit_db", "float", ParameterKind::KeywordOnly},
    {"model_path", "Path", ParameterKind::KeywordOnly},
};
constexpr Parameter kProcessFrameParameters[] = {{"self", nullptr},
                                                 {"samples", "NDArray[np.int16]"}};
constexpr Parameter kSelfOnly[] = {{"self", nullptr}};

const FunctionSpec kMethods[] = {
    {"__init__", "OrluneNC.__init__", kInitParameters, "None", init_body},
    {"process_frame", "OrluneNC.process_frame", kProcessFrameParameters, "NDArray[np.int16]",
     process_frame_body,
     "Enhance one frame of frame_length int16 samples; returns a new int16 array."},
    {"reset", "OrluneNC.reset", kSelfOnly, "None", reset_body,
     "Return the engine stream to its freshly created state."},
    {"close", "OrluneNC.close", kSelfOnly, "None", close_body,
     "Free the engine session and then its model; safe to call any number of times."},
    {"__del__", "OrluneNC.__del__", kSelfOnly, "None", del_body},
};

// --- type slots -------------------------------------------------------------

PyObject* get_slot(PyObject* object, void* closure) {
    auto* self = as_session(object);
    const auto offset = reinterpret_cast<std::uintptr_t>(closure);
    PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset);
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "attribute is not set on this OrluneNC object");
        return nullptr;
    }
    return Py_NewRef(value);
}

PyObject* get_speech_probability(PyObject* object, void*) {
    return PyFloat_FromDouble(as_session(object)->speech_probability);
}

#define ORLUNE_SLOT(name, field, doc) \
    {name, get_slot, nullptr, doc,    \
     reinterpret_cast<void*>(static_cast<std::uintptr_t>(offsetof(SessionObject, field)))}

PyGetSetDef session_getset[] = {
    ORLUNE_SLOT("_lib", lib, "The engine library (ctypes.CDLL), shared by all sessions."),
    ORLUNE_SLOT("_lock", lock, "Serialises engine calls on this session."),
    ORLUNE_SLOT("_model", model_handle, "Engine model handle, or None."),
    ORLUNE_SLOT("_session", session_handle, "Engine session handle, or None."),
    ORLUNE_SLOT("frame_length", frame_length_object, "Samples per frame."),
    ORLUNE_SLOT("latency_samples", latency_samples_object,
                "The engine's constant delay of its output behind its input, in samples."),
    ORLUNE_SLOT("_input", input_array, "The engine's input frame (float32)."),
    ORLUNE_SLOT("_output", output_array, "The engine's output frame (float32)."),
    {"speech_probability", get_speech_probability, nullptr,
     "Speech presence probability of the last frame, NaN before the first.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef ORLUNE_SLOT

PyMemberDef session_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(SessionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(SessionObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyObject* session_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* object = type->tp_alloc(type, 0);
    if (object != nullptr) {
        std::construct_at(&as_session(object)->engine_mutex);
        as_session(object)->speech_probability = std::numeric_limits<double>::quiet_NaN();
    }
    return object;
}

int session_traverse(PyObject* object, visitproc visit, void* arg) {
    auto* self = as_session(object);
    Py_VISIT(Py_TYPE(object));
    Py_VISIT(self->dict);
    Py_VISIT(self->lib);
    Py_VISIT(self->lock);
    Py_VISIT(self->input_array);
    Py_VISIT(self->output_array);
    Py_VISIT(self->buffer_owner);
    Py_VISIT(self->module);
    return 0;
}

int session_clear(PyObject* object) {
    auto* self = as_session(object);
    Py_CLEAR(self->dict);
    Py_CLEAR(self->lock);
    Py_CLEAR(self->input_array);
    Py_CLEAR(self->output_array);
    return 0;
}

void session_dealloc(PyObject* object) {
    if (PyObject_CallFinalizerFromDealloc(object) < 0) return;  // resurrected
    auto* self = as_session(object);
    PyTypeObject* type = Py_TYPE(object);
    PyObject_GC_UnTrack(object);
    if (self->weakreflist != nullptr) PyObject_ClearWeakRefs(object);
    // close() normally freed both handles already; this covers a failed or
    // overridden close so that no engine handle outlives its owner.
    free_handles(self);
    session_clear(object);
    Py_CLEAR(self->lib);
    Py_CLEAR(self->model_handle);
    Py_CLEAR(self->session_handle);
    Py_CLEAR(self->frame_length_object);
    Py_CLEAR(self->latency_samples_object);
    Py_CLEAR(self->buffer_owner);
    Py_CLEAR(self->module);
    std::destroy_at(&self->engine_mutex);
    type->tp_free(object);
    Py_DECREF(type);
}

PyType_Slot session_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(session_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(session_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(session_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(session_clear)},
    {Py_tp_getset, session_getset},
    {Py_tp_members, session_members},
    {Py_tp_doc, const_cast<char*>("One stream of the Orlune noise-suppression engine.")},
    {0, nullptr},
};

PyType_Spec session_spec = {
    "orlune._orlune_nc.OrluneNC",
    sizeof(SessionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    session_slots,
};

}  // namespace

PyObject* create_session_type(PyObject* module) {
    return call_translating_exceptions([&]() -> PyObject* {
        ModuleState& state = state_of<ModuleState>(module);
        PyRef type = PyRef::check(PyType_FromModuleAndSpec(module, &session_spec, nullptr));
        for (const FunctionSpec& spec : kMethods) {
            const PyRef method = make_annotated_function(state.function_type, module, spec);
            set_attr(type.get(), spec.name, method.get());
        }
        // Frozen like a built-in type once its methods are in place: the processor's
        // native path relies on OrluneNC's methods being these.
        reinterpret_cast<PyTypeObject*>(type.get())->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
        PyType_Modified(reinterpret_cast<PyTypeObject*>(type.get()));
        return type.release();
    });
}

int process_block(PyObject* session, const char* input, Py_ssize_t input_stride, char* output,
                  Py_ssize_t output_stride) {
    SessionObject* self = as_session(session);
    if (self->lock == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, kClosedMessage);
        return -1;
    }
    PyObject* ok = call_translating_exceptions([&]() -> PyObject* {
        run_frame(
            self, [&] { pcm16_to_float(input, input_stride, self->frame_length, self->input); },
            [&] { float_to_pcm16(self->output, self->frame_length, output, output_stride); });
        return Py_None;
    });
    return ok == nullptr ? -1 : 0;
}

}  // namespace orlune::nc
