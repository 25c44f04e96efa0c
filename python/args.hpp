#pragma once
// The arguments of the exported functions: a function's signature, parsed at
// compile time from its text signature ("name(a, b, c=None)"), and the one
// routine that binds positional and keyword arguments to it and turns each into
// the UTF-8 text of a str. The interpreter's own argument parser words its errors
// differently from the messages callers rely on, so binding is done here by hand.

#include <Python.h>

#include <array>
#include <cstddef>
#include <string_view>

namespace veltrinax::python {

inline constexpr std::size_t max_params = 4;

struct Signature {
    std::string_view name;
    std::array<std::string_view, max_params> params{};
    std::size_t count = 0;
    std::size_t required = 0;  // the leading `required` parameters have no default
};

// Parses "name(a, b, c=None)". Only None defaults exist, and only after every
// required parameter; anything else fails to compile.
consteval Signature parse_signature(std::string_view text) {
    Signature sig;
    std::size_t open = text.find('(');
    if (open == std::string_view::npos || open == 0 || text.back() != ')') throw "malformed text signature";
    sig.name = text.substr(0, open);
    std::string_view rest = text.substr(open + 1, text.size() - open - 2);
    bool defaults_started = false;
    while (!rest.empty()) {
        std::size_t comma = rest.find(", ");
        std::string_view param = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 2);
        constexpr std::string_view none_default = "=None";
        bool optional = param.ends_with(none_default);
        if (optional) param.remove_suffix(none_default.size());
        if (param.empty() || param.find_first_of("=(), ") != std::string_view::npos) throw "malformed parameter";
        if (sig.count == max_params) throw "too many parameters";
        if (optional) {
            defaults_started = true;
        } else {
            if (defaults_started) throw "a required parameter follows an optional one";
            ++sig.required;
        }
        sig.params[sig.count++] = param;
    }
    return sig;
}

// The bound arguments as UTF-8 views into the caller's str objects (valid for the
// duration of the call; nothing is copied).
class Texts {
public:
    std::string_view operator[](std::size_t i) const noexcept { return text_[i]; }
    // False only for an optional parameter left out or given as None.
    bool given(std::size_t i) const noexcept { return given_[i]; }

private:
    friend bool bind_arguments(const Signature&, PyObject* const*, Py_ssize_t, PyObject*, Texts&);
    std::array<std::string_view, max_params> text_{};
    std::array<bool, max_params> given_{};
};

// Binds the arguments of a fast call with keywords to `sig` and converts each, in
// parameter order, to its text. On failure returns false with a TypeError (or the
// interpreter's encoding error) set; conversion errors carry the note "while
// processing '<parameter>'".
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Texts& out);

}  // namespace veltrinax::python
