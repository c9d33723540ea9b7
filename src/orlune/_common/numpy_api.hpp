// NumPy's C API, shared by the translation units of one extension module.
// The module's exec file defines ORLUNE_NUMPY_IMPORT and calls import_numpy().
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL ORLUNE_NUMPY_ARRAY_API
#ifndef ORLUNE_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace orlune {

#ifdef ORLUNE_NUMPY_IMPORT
// Returns -1 with an ImportError set when NumPy's C API cannot be loaded.
inline int import_numpy() { return _import_array(); }
#endif

// True for an ndarray whose dtype equals NumPy's native-order int16.
inline bool is_native_int16_array(PyObject* object) {
    if (!PyArray_Check(object)) return false;
    const PyArray_Descr* descr = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(object));
    return descr->type_num == NPY_INT16 && PyArray_ISNBO(descr->byteorder);
}

}  // namespace orlune
