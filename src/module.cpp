// placeholder, replaced by the binding layer's module entry
#include <Python.h>
static PyModuleDef def = {PyModuleDef_HEAD_INIT, "velmot", "x", 0, nullptr};
PyMODINIT_FUNC PyInit_velmot() { return PyModule_Create(&def); }
