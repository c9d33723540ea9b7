#include <Python.h>
static PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_processor", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit__processor() { return PyModuleDef_Init(&module_def); }
