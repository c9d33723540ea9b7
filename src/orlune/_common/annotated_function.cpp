#include "annotated_function.hpp"

#include <structmember.h>

#include <array>
#include <string>
#include <vector>

namespace orlune {
namespace {

constexpr std::size_t kMaxParameters = 8;

struct AnnotatedFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* module;
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* doc;
    PyObject* parameter_names;  // tuple of str, one per parameter
    PyObject* defaults;         // tuple, one per parameter; entries of required ones unused
    PyObject* annotations;      // dict, as a Python function keeps it
    PyObject* weakreflist;
};

AnnotatedFunction* as_function(PyObject* object) {
    return reinterpret_cast<AnnotatedFunction*>(object);
}

bool is_required(const Parameter& parameter) {
    return parameter.default_value.kind == DefaultValue::Kind::Required;
}

// "'a'", "'a' and 'b'", "'a', 'b' and 'c'": the interpreter's own wording.
std::string quoted_list(const std::vector<const char*>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += (i + 1 == names.size()) ? (names.size() > 2 ? ", and " : " and ") : ", ";
        text += "'";
        text += names[i];
        text += "'";
    }
    return text;
}

void raise_missing(const FunctionSpec& spec, const std::vector<const char*>& names,
                   const char* what) {
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required %s argument%s: %s", spec.qualname,
                 names.size(), what, names.size() == 1 ? "" : "s", quoted_list(names).c_str());
}

Py_ssize_t find_parameter(AnnotatedFunction* self, PyObject* keyword) {
    const Py_ssize_t count = PyTuple_GET_SIZE(self->parameter_names);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyTuple_GET_ITEM(self->parameter_names, i) == keyword) return i;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        const int equal =
            PyObject_RichCompareBool(PyTuple_GET_ITEM(self->parameter_names, i), keyword, Py_EQ);
        if (equal < 0) return -2;
        if (equal) return i;
    }
    return -1;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    auto* self = as_function(callable);
    const FunctionSpec& spec = *self->spec;
    const auto parameters = spec.parameters;
    std::array<PyObject*, kMaxParameters> bound{};

    std::size_t positional_capacity = 0;
    while (positional_capacity < parameters.size() &&
           parameters[positional_capacity].kind == ParameterKind::PositionalOrKeyword) {
        ++positional_capacity;
    }
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    if (static_cast<std::size_t>(given) > positional_capacity) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given",
                     spec.qualname, positional_capacity, positional_capacity == 1 ? "" : "s", given,
                     given == 1 ? "was" : "were");
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < given; ++i) bound[i] = args[i];

    const Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t index = find_parameter(self, keyword);
        if (index == -2) return nullptr;
        if (index == -1) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         spec.qualname, keyword);
            return nullptr;
        }
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'",
                         spec.qualname, keyword);
            return nullptr;
        }
        bound[index] = args[given + k];
    }

    std::vector<const char*> missing_positional;
    std::vector<const char*> missing_keyword;
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        if (bound[i] != nullptr) continue;
        if (!is_required(parameters[i])) {
            bound[i] = PyTuple_GET_ITEM(self->defaults, i);
        } else if (parameters[i].kind == ParameterKind::PositionalOrKeyword) {
            missing_positional.push_back(parameters[i].name);
        } else {
            missing_keyword.push_back(parameters[i].name);
        }
    }
    if (!missing_positional.empty()) {
        raise_missing(spec, missing_positional, "positional");
        return nullptr;
    }
    if (!missing_keyword.empty()) {
        raise_missing(spec, missing_keyword, "keyword-only");
        return nullptr;
    }
    return call_translating_exceptions(
        [&] { return spec.body(self->module, bound.data()).release(); });
}

PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject* /*owner*/) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U>", as_function(self)->qualname);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->module);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    return 0;
}

int function_clear(PyObject* self) {
    auto* f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    return 0;
}

void function_dealloc(PyObject* self) {
    auto* f = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module_name);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->parameter_names);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* get_annotations(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_SETREF(as_function(self)->annotations, Py_NewRef(value));
    return 0;
}

// inspect.signature() honours __signature__ first; built on demand from the
// declared parameters and the current annotations.
PyObject* get_signature(PyObject* object, void*) {
    return call_translating_exceptions([&] {
        auto* self = as_function(object);
        const FunctionSpec& spec = *self->spec;
        const PyRef inspect = import_module("inspect");
        const PyRef parameter_class = get_attr(inspect.get(), "Parameter");
        const PyRef empty = get_attr(parameter_class.get(), "empty");
        const PyRef positional_kind = get_attr(parameter_class.get(), "POSITIONAL_OR_KEYWORD");
        const PyRef keyword_kind = get_attr(parameter_class.get(), "KEYWORD_ONLY");
        const PyRef parameters = PyRef::check(PyList_New(0));
        for (std::size_t i = 0; i < spec.parameters.size(); ++i) {
            const Parameter& p = spec.parameters[i];
            PyObject* name = PyTuple_GET_ITEM(self->parameter_names, i);
            PyObject* annotation = PyDict_GetItemWithError(self->annotations, name);
            if (annotation == nullptr && PyErr_Occurred()) throw PythonError{};
            const PyRef kwargs = PyRef::check(
                Py_BuildValue("{s:O,s:O}", "default",
                              is_required(p) ? empty.get() : PyTuple_GET_ITEM(self->defaults, i),
                              "annotation", annotation ? annotation : empty.get()));
            const PyRef positional = PyRef::check(PyTuple_Pack(
                2, name,
                p.kind == ParameterKind::KeywordOnly ? keyword_kind.get() : positional_kind.get()));
            const PyRef parameter =
                PyRef::check(PyObject_Call(parameter_class.get(), positional.get(), kwargs.get()));
            check_status(PyList_Append(parameters.get(), parameter.get()));
        }
        const PyRef return_key = new_string("return");
        PyObject* returned = PyDict_GetItemWithError(self->annotations, return_key.get());
        if (returned == nullptr && PyErr_Occurred()) throw PythonError{};
        const PyRef signature_class = get_attr(inspect.get(), "Signature");
        const PyRef positional = PyRef::check(PyTuple_Pack(1, parameters.get()));
        const PyRef kwargs = PyRef::check(
            Py_BuildValue("{s:O}", "return_annotation", returned ? returned : empty.get()));
        return PyObject_Call(signature_class.get(), positional.get(), kwargs.get());
    });
}

// Pickled by reference, like a Python function: the module and qualified name.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_member(PyObject* self, void* which) {
    auto* f = as_function(self);
    PyObject* const values[] = {f->name, f->qualname, f->module_name, f->doc};
    return Py_NewRef(values[reinterpret_cast<std::uintptr_t>(which)]);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_member, nullptr, nullptr, reinterpret_cast<void*>(0)},
    {"__qualname__", get_member, nullptr, nullptr, reinterpret_cast<void*>(1)},
    {"__module__", get_member, nullptr, nullptr, reinterpret_cast<void*>(2)},
    {"__doc__", get_member, nullptr, nullptr, reinterpret_cast<void*>(3)},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(AnnotatedFunction, vectorcall), READONLY,
     nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(AnnotatedFunction, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "orlune.native_function",
    sizeof(AnnotatedFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

PyRef default_object(const DefaultValue& value) {
    switch (value.kind) {
        case DefaultValue::Kind::Float:
            return PyRef::check(PyFloat_FromDouble(value.number));
        case DefaultValue::Kind::None:
        case DefaultValue::Kind::Required:
            break;
    }
    return PyRef::borrow(Py_None);
}

}  // namespace

PyObject* create_annotated_function_type(PyObject* module) {
    return PyType_FromModuleAndSpec(module, &function_spec, nullptr);
}

PyRef make_annotated_function(PyObject* function_type, PyObject* module, const FunctionSpec& spec) {
    if (spec.parameters.size() > kMaxParameters) {
        raise(PyExc_SystemError, "too many parameters for a native function");
    }
    const auto count = static_cast<Py_ssize_t>(spec.parameters.size());
    PyRef names = PyRef::check(PyTuple_New(count));
    PyRef defaults = PyRef::check(PyTuple_New(count));
    PyRef annotations = PyRef::check(PyDict_New());
    for (Py_ssize_t i = 0; i < count; ++i) {
        const Parameter& p = spec.parameters[i];
        PyObject* name = intern(p.name).release();
        PyTuple_SET_ITEM(names.get(), i, name);
        PyTuple_SET_ITEM(defaults.get(), i, default_object(p.default_value).release());
        if (p.annotation != nullptr) {
            const PyRef annotation = new_string(p.annotation);
            check_status(PyDict_SetItem(annotations.get(), name, annotation.get()));
        }
    }
    const PyRef return_annotation = new_string(spec.return_annotation);
    check_status(PyDict_SetItemString(annotations.get(), "return", return_annotation.get()));

    PyRef name = new_string(spec.name);
    PyRef qualname = new_string(spec.qualname);
    PyRef module_name = PyRef::check(PyModule_GetNameObject(module));
    PyRef doc = spec.doc ? new_string(spec.doc) : PyRef::borrow(Py_None);

    auto* type = reinterpret_cast<PyTypeObject*>(function_type);
    PyRef object = PyRef::check(type->tp_alloc(type, 0));
    auto* f = as_function(object.get());
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->module = Py_NewRef(module);
    f->name = name.release();
    f->qualname = qualname.release();
    f->module_name = module_name.release();
    f->doc = doc.release();
    f->parameter_names = names.release();
    f->defaults = defaults.release();
    f->annotations = annotations.release();
    f->weakreflist = nullptr;
    return object;
}

}  // namespace orlune
