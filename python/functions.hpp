#pragma once
// The exported functions: their table (in registration order) and the helpers
// every function body is written with. A body converts nothing itself and holds
// no contract logic: it reads its texts into records, calls the core and hands
// back a str or None. Throughout, a null `PyObject*` or an empty `std::optional`
// means "a Python error is set; return null".

#include <Python.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "errors.hpp"
#include "veltrinax/adapter.hpp"
#include "veltrinax/error.hpp"
#include "veltrinax/json.hpp"

namespace veltrinax::python {

// The function records, in registration order. They live for the whole process:
// every function object points at its record.
std::span<PyMethodDef> function_table();

// None, as a new reference.
PyObject* none();

// A new str holding `text`.
PyObject* str_result(std::string_view text);

// The str of a successful result, or the translated core error.
PyObject* str_or_error(Result<std::string>&& result);

// `value` written as compact JSON text in a new str.
template <json::Codable T>
PyObject* json_result(const T& value) {
    return str_result(json::to_text(value));
}

// Reads the whole text as one T. A reading failure raises the translated
// serialization error (VeltrinaxCompatibilityError, code "serialization_error").
template <json::Codable T>
std::optional<T> parse(std::string_view text) {
    auto parsed = json::from_text<T>(text);
    if (!parsed) {
        raise_core_error(DataError::serialization(std::move(parsed.error())));
        return std::nullopt;
    }
    return std::optional<T>(std::move(*parsed));
}

// Reads the text as a T, then runs `T::validate`; either failure is raised
// translated, the parsed value dropped before the error is translated (a
// document is often many times the size of the error quoting part of it).
template <json::Codable T>
std::optional<T> parse_and_validate(std::string_view text) {
    std::optional<T> value = parse<T>(text);
    if (!value) return value;
    if (auto ok = value->validate(); !ok) {
        value.reset();
        raise_core_error(std::move(ok.error()));
        return std::nullopt;
    }
    return value;
}

// Reads an adapter registry document and builds the registry, which validates
// every adapter and rejects repeated ids; either failure is raised translated.
std::optional<AdapterRegistry> adapter_registry_from_json(std::string_view text);

}  // namespace veltrinax::python
