#include "args.hpp"

#include <string>
#include <vector>

#include "errors.hpp"
#include "ref.hpp"
#include "veltrinax/text.hpp"

namespace veltrinax::python {

namespace {

bool type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_names(const std::vector<std::string_view>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                out += " and ";
            } else {
                out += i + 1 == names.size() ? ", and " : ", ";
            }
        }
        out += text::format("'{}'", names[i]);
    }
    return out;
}

// Adds `note` to the pending exception through its own add_note method. A failure
// to add it is dropped: the original error matters more than its note.
void add_note(std::string_view note) {
    PendingError pending = PendingError::take();
    if (pending.value) {
        Ref text(new_str(note));
        Ref method(text ? PyObject_GetAttrString(pending.value.get(), "add_note") : nullptr);
        Ref result(method ? PyObject_CallFunctionObjArgs(method.get(), text.get(), nullptr) : nullptr);
        if (!result) PyErr_Clear();
    }
    pending.restore();
}

// The UTF-8 text of a str (or str subclass) argument, read in place.
bool convert(PyObject* arg, std::string_view param, std::string_view& out) {
    if (PyUnicode_Check(arg)) {
        Py_ssize_t size = 0;
        // Lone surrogates fail here with the interpreter's own UnicodeEncodeError.
        if (const char* data = PyUnicode_AsUTF8AndSize(arg, &size)) {
            out = std::string_view(data, static_cast<std::size_t>(size));
            return true;
        }
    } else if (arg == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'str'");
    } else {
        Ref name(PyType_GetQualName(Py_TYPE(arg)));
        Ref message(name ? PyUnicode_FromFormat("'%U' object is not an instance of 'str'", name.get()) : nullptr);
        if (message) PyErr_SetObject(PyExc_TypeError, message.get());
    }
    add_note(text::format("while processing '{}'", param));
    return false;
}

// The index of the parameter a keyword names, or -1. A keyword that cannot be
// encoded (a lone surrogate) names no parameter.
int keyword_index(const Signature& sig, PyObject* keyword) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (!data) {
        PyErr_Clear();
        return -1;
    }
    std::string_view name(data, static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (sig.params[i] == name) return static_cast<int>(i);
    }
    return -1;
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Texts& out) {
    std::array<PyObject*, max_params> slots{};

    const auto positional = static_cast<std::size_t>(nargs);
    if (positional > sig.count) {
        const char* verb = positional == 1 ? "was" : "were";
        if (sig.required == sig.count) {
            return type_error(text::format("{}() takes {} positional arguments but {} {} given", sig.name, sig.count,
                                           positional, verb));
        }
        return type_error(text::format("{}() takes from {} to {} positional arguments but {} {} given", sig.name,
                                       sig.required, sig.count, positional, verb));
    }
    for (std::size_t i = 0; i < positional; ++i) slots[i] = args[i];

    const Py_ssize_t keywords = kwnames ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GetItem(kwnames, k);
        if (!keyword) return false;
        int index = keyword_index(sig, keyword);
        if (index < 0) {
            // Built by the interpreter so that any keyword text shows as given.
            Ref message(PyUnicode_FromFormat("%s() got an unexpected keyword argument '%U'",
                                             std::string(sig.name).c_str(), keyword));
            if (message) PyErr_SetObject(PyExc_TypeError, message.get());
            return false;
        }
        auto slot = static_cast<std::size_t>(index);
        if (slots[slot]) {
            return type_error(text::format("{}() got multiple values for argument '{}'", sig.name, sig.params[slot]));
        }
        slots[slot] = args[nargs + k];
    }

    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (!slots[i]) missing.push_back(sig.params[i]);
    }
    if (!missing.empty()) {
        return type_error(text::format("{}() missing {} required positional {}: {}", sig.name, missing.size(),
                                       missing.size() == 1 ? "argument" : "arguments", quoted_names(missing)));
    }

    // Every argument is converted before any text is read, so a wrong type is
    // reported ahead of any JSON error whatever its position.
    for (std::size_t i = 0; i < sig.count; ++i) {
        bool absent = !slots[i] || (i >= sig.required && slots[i] == Py_None);
        out.given_[i] = !absent;
        if (absent) continue;
        if (!convert(slots[i], sig.params[i], out.text_[i])) return false;
    }
    return true;
}

}  // namespace veltrinax::python
