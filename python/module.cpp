// The module definition of `_veltrinax`.
#include <Python.h>

namespace {

PyObject* version(PyObject*, PyObject*) { return PyUnicode_FromStringAndSize("0.2.13", 6); }

PyMethodDef methods[] = {
    {"version", version, METH_NOARGS, "version()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "_veltrinax", "", 0, methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__veltrinax(void) { return PyModuleDef_Init(&definition); }
