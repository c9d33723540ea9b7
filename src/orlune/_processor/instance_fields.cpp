#include "instance_fields.hpp"

#include <utility>

namespace orlune::processor {
namespace {

// A dict's version tag (PEP 509) changes on every modification of that dict.
// The field is public in 3.11 and deprecated from 3.12 on, where nothing is cached.
#if PY_VERSION_HEX < 0x030C0000
std::uint64_t version_of(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
// With exact str keys only, looking up and storing these names runs no Python
// code, so a version read around them cannot miss a change made meanwhile.
bool can_cache(PyObject* dict) { return _PyDict_HasOnlyStringKeys(dict) != 0; }
#else
std::uint64_t version_of(PyObject*) { return 0; }
bool can_cache(PyObject*) { return false; }
#endif

std::size_t index_of(Field field) { return static_cast<std::size_t>(field); }

}  // namespace

InstanceFields::InstanceFields(PyObject* self, const ModuleState& state)
    : self_(self),
      names_{state.str_telemetry_reporter, state.str_sample_rate, state.str_processed_blocks,
             state.str_processed_samples} {
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_getattro != PyObject_GenericGetAttr ||
        type->tp_setattro != PyObject_GenericSetAttr) {
        return;  // __getattribute__, __getattr__ or __setattr__ of the class's own
    }
    for (PyObject* name : names_) {
        if (_PyType_Lookup(type, name) != nullptr) return;
    }
    dict_ = PyRef::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict_) {
        PyErr_Clear();
        return;
    }
    dict_slot_ = _PyObject_GetDictPtr(self);
}

bool InstanceFields::uses_dict() const {
    // Assigning `self.__dict__` swaps the dict for the rest of the call.
    return dict_slot_ != nullptr && *dict_slot_ == dict_.get();
}

bool InstanceFields::cache_is_current() const {
    return cache_valid_ && version_of(dict_.get()) == cached_version_;
}

void InstanceFields::restart_cache() {
    cached_ = {};
    cache_valid_ = can_cache(dict_.get());
    cached_version_ = version_of(dict_.get());
}

PyRef InstanceFields::get(Field field) {
    const std::size_t index = index_of(field);
    if (!uses_dict()) return get_attr(self_, names_[index]);
    if (!cache_is_current()) restart_cache();
    if (cached_[index]) return cached_[index];
    PyObject* value = PyDict_GetItemWithError(dict_.get(), names_[index]);
    if (value == nullptr) {
        if (PyErr_Occurred()) throw PythonError{};
        return get_attr(self_, names_[index]);  // __getattr__, or the AttributeError
    }
    PyRef result = PyRef::borrow(value);
    if (cache_valid_) cached_[index] = result;
    return result;
}

void InstanceFields::set(Field field, PyRef value) {
    const std::size_t index = index_of(field);
    if (!uses_dict()) {
        check_status(PyObject_SetAttr(self_, names_[index], value.get()));
        return;
    }
    // The cached value is the one being replaced, and holding it keeps its
    // release (which may run Python code that changes the dict) until after the
    // new version is noted.
    const bool current = cache_is_current() && cached_[index];
    const PyRef replaced = std::exchange(cached_[index], PyRef{});
    check_status(PyDict_SetItem(dict_.get(), names_[index], value.get()));
    if (current) {
        cached_version_ = version_of(dict_.get());
        cached_[index] = std::move(value);
    } else {
        cache_valid_ = false;
    }
}

}  // namespace orlune::processor
