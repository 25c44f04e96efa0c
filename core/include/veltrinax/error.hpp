#pragma once
// The one error type of the contract core and its structured descriptor. Every
// fallible core operation returns `Result<T>`; nothing in the core throws across
// its API. Depends only on the JSON layer (for the context object and the
// reader's errors).

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <variant>

#include "veltrinax/json.hpp"

namespace veltrinax {

// The structured, machine-readable form of a `DataError`.
struct DataErrorDescriptor {
    std::string category;
    std::string code;
    std::string severity;
    std::string message;
    std::string remediation_hint;
    json::Value context;  // an object; keys come out sorted

    // The compact JSON form, keys in the order above.
    std::string to_json() const;
};

class DataError {
public:
    enum class Kind : std::uint8_t {
        invalid_identifier,
        validation,
        fingerprint_mismatch,
        unknown_handle,
        relation_boundary_violation,
        incompatible_reducer,
        signal_type_mismatch,
        serialization,
    };

    struct InvalidIdentifier {
        std::string value;
        std::string_view reason;
        bool operator==(const InvalidIdentifier&) const = default;
    };
    struct Validation {
        std::string message;
        bool operator==(const Validation&) const = default;
    };
    struct FingerprintMismatch {
        std::string_view kind;
        std::string expected;
        std::string actual;
        bool operator==(const FingerprintMismatch&) const = default;
    };
    struct UnknownHandle {
        std::string_view kind;
        std::uint64_t handle;
        bool operator==(const UnknownHandle&) const = default;
    };
    struct RelationBoundaryViolation {
        std::string_view kind;
        std::string detail;
        bool operator==(const RelationBoundaryViolation&) const = default;
    };
    struct IncompatibleReducer {
        std::string_view reducer;
        std::string_view task;
        bool operator==(const IncompatibleReducer&) const = default;
    };
    struct SignalTypeMismatch {
        std::string_view expected;
        std::string_view actual;
        bool operator==(const SignalTypeMismatch&) const = default;
    };
    struct Serialization {
        json::Error error;
        bool operator==(const Serialization&) const = default;
    };

    // Static texts (reasons, kinds) must outlive the error: pass string literals.
    static DataError invalid_identifier(std::string value, std::string_view reason) {
        return DataError(InvalidIdentifier{std::move(value), reason});
    }
    static DataError validation(std::string message) { return DataError(Validation{std::move(message)}); }
    static DataError fingerprint_mismatch(std::string_view kind, std::string expected, std::string actual) {
        return DataError(FingerprintMismatch{kind, std::move(expected), std::move(actual)});
    }
    static DataError unknown_handle(std::string_view kind, std::uint64_t handle) {
        return DataError(UnknownHandle{kind, handle});
    }
    static DataError relation_boundary_violation(std::string_view kind, std::string detail) {
        return DataError(RelationBoundaryViolation{kind, std::move(detail)});
    }
    static DataError incompatible_reducer(std::string_view reducer, std::string_view task) {
        return DataError(IncompatibleReducer{reducer, task});
    }
    static DataError signal_type_mismatch(std::string_view expected, std::string_view actual) {
        return DataError(SignalTypeMismatch{expected, actual});
    }
    static DataError serialization(json::Error error) { return DataError(Serialization{std::move(error)}); }

    Kind kind() const noexcept { return static_cast<Kind>(data_.index()); }
    template <class V>
    const V* get() const noexcept {
        return std::get_if<V>(&data_);
    }

    // The display text of the variant.
    std::string to_string() const;
    DataErrorDescriptor descriptor() const&;
    // The same descriptor, built by moving the error's texts into its context
    // rather than copying them: a message may quote a whole input value, and an
    // error consumed for its descriptor then holds it twice (message, context),
    // not three times.
    DataErrorDescriptor descriptor() &&;
    json::Value context() const;
    // Variant name and fields by name; for debugging only.
    std::string debug_string() const;

    bool operator==(const DataError&) const = default;

private:
    using Data = std::variant<InvalidIdentifier, Validation, FingerprintMismatch, UnknownHandle,
                              RelationBoundaryViolation, IncompatibleReducer, SignalTypeMismatch, Serialization>;
    explicit DataError(Data d) : data_(std::move(d)) {}
    Data data_;
};

template <class T>
using Result = std::expected<T, DataError>;
using Status = std::expected<void, DataError>;

// Shorthand for the rule failures of every contract.
inline std::unexpected<DataError> fail(std::string message) {
    return std::unexpected(DataError::validation(std::move(message)));
}

// Wraps a reader or writer failure as a `Serialization` error.
template <class T>
Result<T> serialization_result(std::expected<T, json::Error> r) {
    if (!r) return std::unexpected(DataError::serialization(std::move(r.error())));
    return std::move(*r);
}

}  // namespace veltrinax

template <>
struct veltrinax::json::Record<veltrinax::DataErrorDescriptor> {
    using D = DataErrorDescriptor;
    static constexpr std::string_view name = "DataErrorDescriptor";
    static constexpr auto fields = std::tuple{
        required("category", &D::category),
        required("code", &D::code),
        required("severity", &D::severity),
        required("message", &D::message),
        required("remediation_hint", &D::remediation_hint),
        required("context", &D::context),
    };
};
