// A native callable that behaves like a Python function: string annotations in
// `__annotations__`, a real `inspect.signature`, keyword-only parameters and
// defaults, binding as a method on attribute access, and the interpreter's own
// TypeError messages for argument mismatches.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <exception>
#include <new>
#include <span>

#include "py_ref.hpp"

namespace orlune {

enum class ParameterKind { PositionalOrKeyword, KeywordOnly };

// A default value that can be described statically.
struct DefaultValue {
    enum class Kind { Required, None, Float } kind = Kind::Required;
    double number = 0.0;

    static constexpr DefaultValue required() { return {}; }
    static constexpr DefaultValue none() { return {Kind::None, 0.0}; }
    static constexpr DefaultValue real(double value) { return {Kind::Float, value}; }
};

struct Parameter {
    const char* name;
    const char* annotation;  // nullptr for `self`, which carries none
    ParameterKind kind = ParameterKind::PositionalOrKeyword;
    DefaultValue default_value = DefaultValue::required();
};

// Receives the module the function belongs to and the bound arguments, one per
// declared parameter in order (defaults already filled in). Returns a new
// reference; throws PythonError (or any C++ exception) on failure.
using FunctionBody = PyRef (*)(PyObject* module, PyObject* const* arguments);

struct FunctionSpec {
    const char* name;
    const char* qualname;
    std::span<const Parameter> parameters;
    const char* return_annotation;
    FunctionBody body;
    const char* doc = nullptr;
};

// Creates the callable type for one module; call once from the module's exec slot.
PyObject* create_annotated_function_type(PyObject* module);

// A new function object of `function_type` bound to `module`. `spec` must outlive it.
PyRef make_annotated_function(PyObject* function_type, PyObject* module, const FunctionSpec& spec);

// Runs `body`, turning any escaping C++ exception into the matching Python
// exception; returns NULL with the error set on failure. The unwinding of a
// thread that the interpreter ends during shutdown (see holds_gil) is let
// through: swallowing it would abort the process. That unwinding carries no
// exception object, so the null-reference check is off here: it would report
// the very catch clause that must rethrow it.
template <typename Body>
__attribute__((no_sanitize("null"))) PyObject* call_translating_exceptions(Body&& body) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown native error");
    }
    return nullptr;
}

}  // namespace orlune
