#include "errors.hpp"

#include <cstring>
#include <new>
#include <utility>

#include "ref.hpp"
#include "veltrinax/json.hpp"

namespace veltrinax::python {

namespace {

// The process-wide cells: created once and never released, because every module
// object and every exception raised must see the same classes. They are written
// only by `ensure_error_classes` (from the exec slot: under the import lock, with
// the GIL held) and by `panic_class` (with the GIL held). Creating a class can run
// Python code (a collection, say) that lets another thread in, so a cell is
// checked again after its class is made and a class made second is dropped: no
// cell is ever overwritten.
std::array<PyObject*, error_classes.size()> class_cells{};
PyObject* panic_cell = nullptr;

constexpr const char* panic_default_message = "internal fault in _veltrinax (the fault carried no message)";

std::size_t cell_index(ErrorClass id) { return static_cast<std::size_t>(id); }

// PanicException is created on first use: most processes never need it.
PyObject* panic_class() noexcept {
    if (panic_cell) return panic_cell;
    PyObject* created = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "Raised when _veltrinax meets an internal fault. It derives from BaseException, like SystemExit, so a "
        "handler for Exception does not catch it.",
        PyExc_BaseException, nullptr);
    if (!created) return nullptr;
    if (panic_cell) {
        Py_DecRef(created);
    } else {
        panic_cell = created;
    }
    return panic_cell;
}

void raise_panic(const char* what) noexcept {
    const char* text = (what != nullptr && *what != '\0') ? what : panic_default_message;
    PyErr_Clear();  // the fault replaces whatever was pending
    PyObject* cls = panic_class();
    if (!cls) return;  // its creation error (a MemoryError, say) stays raised
    // A fault's text is not guaranteed to be UTF-8; a bad byte must not hide it.
    Ref message(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace"));
    if (!message) return;
    PyErr_SetObject(cls, message.get());
}

ErrorClass class_for(std::string_view category) {
    if (category == "validation") return ErrorClass::validation;
    if (category == "data") return ErrorClass::contract;
    if (category == "compatibility") return ErrorClass::compatibility;
    return ErrorClass::base;
}

bool set_str(PyObject* instance, const char* name, std::string_view value) {
    Ref text(new_str(value));
    return text && PyObject_SetAttrString(instance, name, text.get()) == 0;
}

// The detailed exception; false (with some Python error pending) when any step of
// building it fails. Of `d` only the short texts (category, code, severity, hint)
// are read: its message and context arrive already made into strs.
bool raise_detailed(const DataErrorDescriptor& d, PyObject* message, PyObject* context_text,
                    PyObject* descriptor_text) {
    PyObject* cls = error_class(class_for(d.category));
    if (!cls) throw InternalFault("the exception classes of _veltrinax are not initialised");
    Ref instance(PyObject_CallFunctionObjArgs(cls, message, nullptr));
    if (!instance) return false;
    if (!set_str(instance.get(), "category", d.category) || !set_str(instance.get(), "code", d.code) ||
        !set_str(instance.get(), "severity", d.severity) ||
        !set_str(instance.get(), "remediation_hint", d.remediation_hint)) {
        return false;
    }
    // Imported on every translation: the interpreter's own module cache makes this
    // cheap, and no module object is kept between calls.
    Ref json_module(PyImport_ImportModule("json"));
    if (!json_module) return false;
    Ref loads(PyObject_GetAttrString(json_module.get(), "loads"));
    if (!loads) return false;
    Ref context(PyObject_CallFunctionObjArgs(loads.get(), context_text, nullptr));
    if (!context || PyObject_SetAttrString(instance.get(), "context", context.get()) != 0 ||
        PyObject_SetAttrString(instance.get(), "context_json", context_text) != 0 ||
        PyObject_SetAttrString(instance.get(), "descriptor_json", descriptor_text) != 0) {
        return false;
    }
    PyErr_SetObject(cls, instance.get());
    return true;
}

// The fallback: VeltrinaxError with the display text only: `message`, the str
// already made of it, when there is one (its C++ text may be released by then),
// else `text` decoded here.
void raise_plain(PyObject* message, std::string_view text) {
    PyErr_Clear();
    PyObject* cls = error_class(ErrorClass::base);
    if (!cls) throw InternalFault("the exception classes of _veltrinax are not initialised");
    Ref decoded;
    if (!message) {
        decoded = Ref(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
        if (!decoded) return;  // MemoryError stays raised
        message = decoded.get();
    }
    PyErr_SetObject(cls, message);
}

// Frees a text's memory now rather than at the end of its scope.
void release(std::string& text) noexcept { std::string().swap(text); }

}  // namespace

bool check_main_interpreter() {
    // CPython numbers its interpreters from 0, and 0 is the main interpreter for the
    // life of the process.
    if (PyInterpreterState_GetID(PyInterpreterState_Get()) == 0) return true;
    PyErr_SetString(PyExc_ImportError,
                    "_veltrinax can be imported only in the main interpreter: its exception classes are shared by "
                    "the whole process and must not be handed to a subinterpreter");
    return false;
}

void ensure_error_classes() {
    for (const ErrorClassInfo& info : error_classes) {
        PyObject*& cell = class_cells[cell_index(info.id)];
        if (cell) continue;
        PyObject* base = info.id == ErrorClass::base ? PyExc_Exception : class_cells[cell_index(ErrorClass::base)];
        PyObject* created = PyErr_NewExceptionWithDoc(info.qualified_name, nullptr, base, nullptr);
        if (!created) throw InternalFault(with_pending_error("Failed to initialize new exception type."));
        if (cell) {
            Py_DecRef(created);
        } else {
            cell = created;
        }
    }
}

PyObject* error_class(ErrorClass id) noexcept { return class_cells[cell_index(id)]; }

PyObject* raise_core_error(DataError&& error) {
    // The error is gone once its descriptor has taken its texts.
    DataErrorDescriptor d = DataError(std::move(error)).descriptor();
    // A message may quote a whole input value of many megabytes, and the exception
    // holds it five times (the message, twice in descriptor_json, in context_json
    // and in the str inside context), at four bytes a character as soon as it has
    // one character beyond the Basic Multilingual Plane. Those strs are the
    // exception's contents and must all exist at the end; what can be spared is
    // every other copy beside them. So each C++ text is handed to Python and
    // released before the next is made: the largest, descriptor_json, first,
    // while no str exists yet; the context dropped as soon as context_json is
    // written; the message once it is a str. json.loads, whose result is as large
    // again, runs last and finds no C++ copy left. The compact writer cannot fail
    // on a descriptor (non-finite numbers are written as null), so no stand-in
    // text is needed.
    Ref descriptor_text;
    {
        const std::string descriptor_json = d.to_json();
        descriptor_text = Ref(new_str(descriptor_json));
    }
    Ref context_text;
    if (descriptor_text) {
        const std::string context_json = json::to_text(d.context);
        d.context = json::Value();
        context_text = Ref(new_str(context_json));
    }
    Ref message;
    if (context_text) {
        message = Ref(new_str(d.message));
        if (message) release(d.message);
    }
    if (!message || !raise_detailed(d, message.get(), context_text.get(), descriptor_text.get())) {
        raise_plain(message.get(), d.message);
    }
    return nullptr;
}

// The fetch-and-restore calls are the only way to hold a pending error on the
// oldest interpreter this module supports; newer headers mark them deprecated.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
PendingError PendingError::take() noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    return PendingError{Ref(type), Ref(value), Ref(traceback)};
}

void PendingError::restore() noexcept { PyErr_Restore(type.release(), value.release(), traceback.release()); }
#pragma GCC diagnostic pop

std::string with_pending_error(std::string message) {
    PendingError pending = PendingError::take();
    PyObject* type = pending.type.get();
    PyObject* value = pending.value.get();
    // Describing the error may itself fail; each such failure is dropped at once
    // so that no call below runs with an error pending.
    auto append = [&](PyObject* text) {
        Py_ssize_t size = 0;
        const char* data = text ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
        if (data) {
            message.append(data, static_cast<std::size_t>(size));
        } else {
            PyErr_Clear();
        }
    };
    if (type) {
        message += ": ";
        Ref name(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type)));
        append(name.get());
        if (value) {
            Ref text(PyObject_Str(value));
            message += ": ";
            append(text.get());
        }
    }
    return message;
}

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic(nullptr);
    }
    if (!PyErr_Occurred()) Py_FatalError("uncaught panic at ffi boundary");
}

}  // namespace veltrinax::python
