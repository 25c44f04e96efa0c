#pragma once
// An owned reference to a Python object, released when it goes out of scope, so
// that no early return in the frame leaks. Every use runs with the global
// interpreter lock held.

#include <Python.h>

#include <string_view>
#include <utility>

namespace veltrinax::python {

class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (or null, for a failed call whose error is set).
    explicit Ref(PyObject* owned) noexcept : object_(owned) {}
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* borrowed) noexcept {
        Py_IncRef(borrowed);
        return Ref(borrowed);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_DecRef(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_DecRef(object_); }  // Py_DecRef ignores null

    PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller (for returning to the interpreter).
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

// A new str holding UTF-8 `text` (null with UnicodeDecodeError set if it is not).
inline PyObject* new_str(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace veltrinax::python
