#pragma once
// How failures cross into the interpreter: the module's four exception classes,
// the translation of a core `DataError` into one of them with its descriptor
// attributes, and the boundary that keeps every C++ exception out of the
// interpreter (allocation failure -> MemoryError, any other internal fault ->
// PanicException). Holds no contract logic.

#include <Python.h>

#include <array>
#include <exception>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "ref.hpp"
#include "veltrinax/error.hpp"

namespace veltrinax::python {

enum class ErrorClass : std::uint8_t { base, validation, contract, compatibility };

struct ErrorClassInfo {
    ErrorClass id;
    const char* qualified_name;  // "_veltrinax.<short name>", so __module__ is the module
    std::string_view short_name;
};

// In registration order: the first derives from the interpreter's Exception, the
// other three from the first.
inline constexpr std::array<ErrorClassInfo, 4> error_classes{{
    {ErrorClass::base, "_veltrinax.VeltrinaxError", "VeltrinaxError"},
    {ErrorClass::validation, "_veltrinax.VeltrinaxValidationError", "VeltrinaxValidationError"},
    {ErrorClass::contract, "_veltrinax.VeltrinaxContractError", "VeltrinaxContractError"},
    {ErrorClass::compatibility, "_veltrinax.VeltrinaxCompatibilityError", "VeltrinaxCompatibilityError"},
}};

// Refuses (ImportError set, false returned) in any interpreter but the main one:
// the classes live in process-wide cells and must never be handed to another
// interpreter.
bool check_main_interpreter();

// Creates the four classes if they do not exist yet. A failed creation is an
// internal fault (thrown as `InternalFault`).
void ensure_error_classes();

// The class object (borrowed), or null before `ensure_error_classes`.
PyObject* error_class(ErrorClass id) noexcept;

// Sets the interpreter's error indicator to the exception for `error`: the class
// of its category carrying the seven descriptor attributes, or, when building that
// fails, a plain VeltrinaxError with the message only. Returns null so that a
// function body can `return raise_core_error(std::move(e));`. The error is
// consumed: its texts, which may quote a whole input, move into the exception's
// instead of being copied beside them.
PyObject* raise_core_error(DataError&& error);

// A broken internal invariant. Thrown inside the frame, caught at the boundary
// and raised as PanicException carrying `what()`.
class InternalFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The pending Python error, taken off the indicator in normalized form; `restore`
// puts it back. Empty when no error was pending.
struct PendingError {
    Ref type;
    Ref value;
    Ref traceback;

    static PendingError take() noexcept;
    void restore() noexcept;
};

// Appends the text of the pending Python error (type and message) to `message`,
// clearing the error. Used to give an internal fault its cause.
std::string with_pending_error(std::string message);

// Sets the error indicator for the C++ exception being handled; call only from a
// catch block.
void raise_current_exception() noexcept;

// Runs `body` and turns any C++ exception it throws into a Python error, returning
// `failure` in that case. Every entry point from the interpreter goes through this.
template <class R, class F>
R guarded(R failure, F&& body) noexcept {
    // The C++ runtime keeps its exception state in thread-local storage that the
    // loader allocates on the thread's first use. Touch it now, while memory is
    // plentiful: if the first use were the throw of std::bad_alloc deep in a call
    // that has exhausted memory, that allocation would fail too, and the loader
    // aborts the process instead of letting the error reach the caller.
    // (Through a volatile: the runtime declares the query pure, so an unused
    // result would let the compiler drop the call.)
    [[maybe_unused]] volatile int touched = std::uncaught_exceptions();
    try {
        return body();
    } catch (...) {
        raise_current_exception();
        return failure;
    }
}

}  // namespace veltrinax::python
