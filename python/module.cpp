// The module definition of `_veltrinax` and its body: the four exception classes,
// then the functions, each added through `add_name` so that `__all__` lists every
// name in registration order.
#include <Python.h>

#include <string>

#include "errors.hpp"
#include "functions.hpp"
#include "ref.hpp"

namespace veltrinax::python {

namespace {

// Appends `name` to the module's `__all__` (made when missing), then sets the
// module attribute `name` to `object`. False with a Python error set on failure.
bool add_name(PyObject* module, const char* name, PyObject* object) {
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
    } else if (!PyList_Check(all.get())) {
        Ref type_name(PyType_GetQualName(Py_TYPE(all.get())));
        Ref message(type_name ? PyUnicode_FromFormat("__all__ must be a list, not '%U'", type_name.get()) : nullptr);
        if (message) PyErr_SetObject(PyExc_TypeError, message.get());
        return false;
    }
    Ref text(PyUnicode_FromString(name));
    if (!text) return false;
    if (PyList_Append(all.get(), text.get()) != 0) {
        throw InternalFault(with_pending_error("could not append __name__ to __all__"));
    }
    return PyObject_SetAttrString(module, name, object) == 0;
}

int exec_module(PyObject* module) noexcept {
    return guarded<int>(-1, [&]() -> int {
        if (!PyModule_Check(module)) {
            Ref type_name(PyType_GetQualName(Py_TYPE(module)));
            Ref message(type_name ? PyUnicode_FromFormat("_veltrinax must be executed on a module, not '%U'",
                                                         type_name.get())
                                  : nullptr);
            if (message) PyErr_SetObject(PyExc_TypeError, message.get());
            return -1;
        }
        if (!check_main_interpreter()) return -1;
        // The classes are created here, under the import lock and with the GIL
        // held; a second module object in this interpreter reuses them.
        ensure_error_classes();
        for (const ErrorClassInfo& info : error_classes) {
            if (!add_name(module, std::string(info.short_name).c_str(), error_class(info.id))) return -1;
        }
        Ref module_name(PyModule_GetNameObject(module));
        if (!module_name) return -1;
        for (PyMethodDef& record : function_table()) {
            // Bound to the module (kept alive by it) yet, with METH_STATIC, called
            // without it; the module's name becomes the function's __module__.
            Ref function(PyCMethod_New(&record, module, module_name.get(), nullptr));
            if (!function || !add_name(module, record.ml_name, function.get())) return -1;
        }
        return 0;
    });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},  // runs the module body once per module object
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "_veltrinax",
    "",       // an empty __doc__, not a missing one
    0,        // no module state
    nullptr,  // functions are added by the module body, in registration order
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace veltrinax::python

// The one exported symbol; multi-phase initialisation does the rest.
PyMODINIT_FUNC PyInit__veltrinax(void) { return PyModuleDef_Init(&veltrinax::python::definition); }
