// Owning and borrowed handling of Python references, and the error-propagation type.
#pragma once

#include <Python.h>

#include <atomic>
#include <string_view>
#include <utility>

namespace orlune {

// Thrown when a Python error indicator is already set; caught at the boundary
// (see annotated_function.cpp), which returns NULL to the interpreter.
struct PythonError {};

// A thread that asks for the GIL while the interpreter shuts down is ended by
// the interpreter (PyThread_exit_thread), which unwinds its stack. Destructors
// met on the way must then leave Python alone: the thread no longer holds the GIL.
// That can only happen once shutdown has begun, which an atexit callback notes
// (see watch_shutdown), so the common case costs one load of a flag rather than a
// thread-state lookup. Each extension module keeps its own flag.
inline std::atomic<bool> shutdown_begun{false};

inline bool holds_gil() noexcept {
    return !shutdown_begun.load(std::memory_order_relaxed) || PyGILState_Check() != 0;
}

// An owned (strong) reference; releases it on destruction.
class PyRef {
  public:
    PyRef() noexcept = default;
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }
    // Steals a result that must not be NULL: throws PythonError when it is.
    static PyRef check(PyObject* object) {
        if (object == nullptr) throw PythonError{};
        return PyRef(object);
    }

    PyRef(const PyRef& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~PyRef() {
        if (object_ != nullptr && holds_gil()) Py_DECREF(object_);
    }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

  private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// Throws PythonError when a C-API status signals failure (-1, or NULL).
inline void check_status(int status) {
    if (status < 0) throw PythonError{};
}

inline PyRef get_attr(PyObject* object, const char* name) {
    return PyRef::check(PyObject_GetAttrString(object, name));
}

inline PyRef get_attr(PyObject* object, PyObject* name) {
    return PyRef::check(PyObject_GetAttr(object, name));
}

inline void set_attr(PyObject* object, const char* name, PyObject* value) {
    check_status(PyObject_SetAttrString(object, name, value));
}

// A module-level name, looked up when the code runs, as Python code would, so
// that rebinding it in the module changes what the next call uses.
inline PyRef module_global(PyObject* module, const char* name) {
    PyObject* value = PyDict_GetItemString(PyModule_GetDict(module), name);
    if (value == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw PythonError{};
    }
    return PyRef::borrow(value);
}

// object.name() and object.name(argument); a tuple argument stays one argument.
inline PyRef call_method(PyObject* object, const char* name) {
    return PyRef::check(PyObject_CallNoArgs(get_attr(object, name).get()));
}

inline PyRef call_method(PyObject* object, const char* name, PyObject* argument) {
    return PyRef::check(PyObject_CallOneArg(get_attr(object, name).get(), argument));
}

inline PyRef import_module(const char* name) { return PyRef::check(PyImport_ImportModule(name)); }

inline PyRef new_string(const char* text) { return PyRef::check(PyUnicode_FromString(text)); }

// An interned str, for names that are looked up on every call.
inline PyRef intern(const char* text) { return PyRef::check(PyUnicode_InternFromString(text)); }

inline bool is_true(PyObject* object) {
    const int truth = PyObject_IsTrue(object);
    check_status(truth);
    return truth != 0;
}

// Raises `type` with `message` and throws PythonError.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError{};
}

[[noreturn]] inline void raise(PyObject* type, PyObject* message) {
    PyErr_SetObject(type, message);
    throw PythonError{};
}

}  // namespace orlune

namespace orlune {

// Sets the exception being raised (if any) aside for the object's lifetime, so
// that cleanup code can call into Python, and raises it again afterwards.
class PendingError {
  public:
#if PY_VERSION_HEX >= 0x030C0000
    PendingError() noexcept : exception_(PyErr_GetRaisedException()) {}
    ~PendingError() { PyErr_SetRaisedException(exception_); }
#else
    PendingError() noexcept { PyErr_Fetch(&type_, &exception_, &traceback_); }
    ~PendingError() { PyErr_Restore(type_, exception_, traceback_); }
#endif
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;

  private:
    PyObject* exception_ = nullptr;
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* traceback_ = nullptr;
#endif
};

// Releases the GIL for the lifetime of the object; only native code may run meanwhile.
class ReleasedGil {
  public:
    ReleasedGil() noexcept : state_(PyEval_SaveThread()) {}
    // Not noexcept: during shutdown PyEval_RestoreThread ends this thread by
    // unwinding its stack, which must go on through here (see holds_gil).
    ~ReleasedGil() noexcept(false) { PyEval_RestoreThread(state_); }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

  private:
    PyThreadState* state_;
};

// The C methods of a lock type that HeldLock calls directly.
struct KnownLockType {
    PyTypeObject* type = nullptr;  // a static type of the interpreter: never freed
    PyCFunctionWithKeywords acquire = nullptr;
    PyCFunction release = nullptr;
    PyObject* no_arguments = nullptr;  // kept for the life of the process
};

// Holds a Python lock object (threading.Lock) acquired with `acquire()`, which
// releases the GIL while it waits, and calls `release()` on destruction without
// disturbing an exception that is being raised. Locks of the type taught with
// `learn_type` are driven through their C methods directly: this runs once per
// audio block, and the attribute lookups would cost more than the lock itself.
class HeldLock {
  public:
    HeldLock(PyObject* lock, PyObject* acquire_name, PyObject* release_name)
        : lock_(PyRef::borrow(lock)), release_name_(release_name) {
        PyObject* self = lock;
        const PyRef acquired =
            PyRef::check(Py_TYPE(lock) == known_.type
                             ? known_.acquire(lock, known_.no_arguments, nullptr)
                             : PyObject_VectorcallMethod(acquire_name, &self, 1, nullptr));
        held_ = true;
    }
    ~HeldLock() {
        if (!held_ || !holds_gil()) return;
        const PendingError pending;
        PyObject* self = lock_.get();
        PyObject* result = Py_TYPE(self) == known_.type
                               ? known_.release(self, nullptr)
                               : PyObject_VectorcallMethod(release_name_, &self, 1, nullptr);
        if (result == nullptr) PyErr_WriteUnraisable(self);
        Py_XDECREF(result);
    }
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;

    // Remembers the C functions behind acquire() and release() of `lock`'s type,
    // when they have the calling conventions of threading.Lock. Call once, at
    // module initialisation; returns -1 with an exception set on failure.
    static int learn_type(PyObject* lock) {
        PyCFunctionWithKeywords acquire = nullptr;
        PyCFunction release = nullptr;
        for (PyMethodDef* def = Py_TYPE(lock)->tp_methods; def && def->ml_name; ++def) {
            const std::string_view name(def->ml_name);
            if (name == "acquire" && def->ml_flags == (METH_VARARGS | METH_KEYWORDS)) {
                acquire = reinterpret_cast<PyCFunctionWithKeywords>(
                    reinterpret_cast<void (*)()>(def->ml_meth));
            } else if (name == "release" && def->ml_flags == METH_NOARGS) {
                release = def->ml_meth;
            }
        }
        if (acquire == nullptr || release == nullptr || known_.type != nullptr) return 0;
        known_.no_arguments = PyTuple_New(0);
        if (known_.no_arguments == nullptr) return -1;
        known_ = {Py_TYPE(lock), acquire, release, known_.no_arguments};
        return 0;
    }

  private:
    static inline KnownLockType known_{};

    PyRef lock_;
    PyObject* release_name_;
    bool held_ = false;
};

}  // namespace orlune
