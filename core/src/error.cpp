#include "veltrinax/error.hpp"

#include <type_traits>
#include <utility>

#include "veltrinax/text.hpp"

namespace veltrinax {

namespace {

struct KindInfo {
    std::string_view name;
    std::string_view category;
    std::string_view code;
    std::string_view hint;
};

// Category, code and remediation hint of every variant, in variant order.
constexpr KindInfo kind_info[] = {
    {"InvalidIdentifier", "validation", "invalid_identifier",
     "Use a non-empty stable identifier that matches the veltrinax identifier grammar."},
    {"Validation", "data", "data_contract_validation",
     "Fix the data contract inputs, schema, handles or coordinator request before retrying."},
    {"FingerprintMismatch", "compatibility", "fingerprint_mismatch",
     "Recompute the fingerprint from the current schema, plan, relations or fitted-adapter parameters, or "
     "replay against the contract version that produced it."},
    {"UnknownHandle", "runtime", "unknown_handle",
     "Use a live handle returned by materialize/make_view; released or never-issued handles cannot be reused."},
    {"RelationBoundaryViolation", "data", "relation_boundary_violation",
     "Keep every repetition group and augmentation origin within a single fold; the supplied fold set leaks "
     "across the train/validation boundary."},
    {"IncompatibleReducer", "data", "incompatible_reducer",
     "The `vote` reducer aggregates classification predictions only; use a numeric reducer (mean, "
     "weighted_mean, median, robust_mean, exclude_outliers) or a custom reducer for a regression task."},
    {"SignalTypeMismatch", "compatibility", "signal_type_mismatch",
     "Convert the data to the expected signal type (e.g. convert_to_absorbance) before materialize or predict; "
     "a trained pipeline must be applied to the signal type it recorded."},
    {"Serialization", "compatibility", "serialization_error",
     "Check that the JSON payload matches the supported veltrinax contract version."},
};

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

// The context object of an error's data. Given the data as an rvalue, its texts
// are moved into the object instead of copied.
template <class Data>
json::Value context_of(Data&& data) {
    json::Object o;
    // `std::forward<E>(e).field` is an xvalue exactly when the data was given as
    // one, so owned texts move and borrowed views are copied either way.
    auto text = [](auto&& s) { return json::Value::string(std::string(std::forward<decltype(s)>(s))); };
    std::visit(
        [&]<class E>(E&& e) {
            using Kind = std::remove_cvref_t<E>;
            if constexpr (std::is_same_v<Kind, DataError::InvalidIdentifier>) {
                o.insert_or_assign("reason", text(e.reason));
                o.insert_or_assign("value", text(std::forward<E>(e).value));
            } else if constexpr (std::is_same_v<Kind, DataError::Validation>) {
                o.insert_or_assign("detail", text(std::forward<E>(e).message));
            } else if constexpr (std::is_same_v<Kind, DataError::FingerprintMismatch>) {
                o.insert_or_assign("actual", text(std::forward<E>(e).actual));
                o.insert_or_assign("expected", text(std::forward<E>(e).expected));
                o.insert_or_assign("kind", text(e.kind));
            } else if constexpr (std::is_same_v<Kind, DataError::UnknownHandle>) {
                o.insert_or_assign("handle", json::Value::unsigned_integer(e.handle));
                o.insert_or_assign("kind", text(e.kind));
            } else if constexpr (std::is_same_v<Kind, DataError::RelationBoundaryViolation>) {
                o.insert_or_assign("detail", text(std::forward<E>(e).detail));
                o.insert_or_assign("kind", text(e.kind));
            } else if constexpr (std::is_same_v<Kind, DataError::IncompatibleReducer>) {
                o.insert_or_assign("reducer", text(e.reducer));
                o.insert_or_assign("task", text(e.task));
            } else if constexpr (std::is_same_v<Kind, DataError::SignalTypeMismatch>) {
                o.insert_or_assign("actual", text(e.actual));
                o.insert_or_assign("expected", text(e.expected));
            } else {
                static_assert(std::is_same_v<Kind, DataError::Serialization>, "every variant has its context");
                o.insert_or_assign("detail", text(e.error.to_string()));
            }
        },
        std::forward<Data>(data));
    return json::Value::object(std::move(o));
}

}  // namespace

std::string DataError::to_string() const {
    return std::visit(
        Overloaded{
            [](const InvalidIdentifier& e) { return text::format("invalid identifier `{}`: {}", e.value, e.reason); },
            [](const Validation& e) { return "data contract validation failed: " + e.message; },
            [](const FingerprintMismatch& e) {
                return text::format("{} fingerprint mismatch: expected {}, actual {}", e.kind, e.expected, e.actual);
            },
            [](const UnknownHandle& e) { return text::format("unknown {} handle `{}`", e.kind, e.handle); },
            [](const RelationBoundaryViolation& e) {
                return text::format("relation boundary violation ({}): {}", e.kind, e.detail);
            },
            [](const IncompatibleReducer& e) {
                return text::format("aggregation reducer `{}` is incompatible with a {} task", e.reducer, e.task);
            },
            [](const SignalTypeMismatch& e) {
                return text::format("signal type mismatch: expected {}, actual {}", e.expected, e.actual);
            },
            [](const Serialization& e) { return "serialization error: " + e.error.to_string(); },
        },
        data_);
}

json::Value DataError::context() const { return context_of(data_); }

DataErrorDescriptor DataError::descriptor() const& {
    const KindInfo& info = kind_info[data_.index()];
    return DataErrorDescriptor{std::string(info.category), std::string(info.code), "error", to_string(),
                               std::string(info.hint), context()};
}

DataErrorDescriptor DataError::descriptor() && {
    const KindInfo& info = kind_info[data_.index()];
    // The display text is written while the texts it quotes are still here.
    std::string message = to_string();
    return DataErrorDescriptor{std::string(info.category), std::string(info.code), "error", std::move(message),
                               std::string(info.hint), context_of(std::move(data_))};
}

std::string DataError::debug_string() const {
    const KindInfo& info = kind_info[data_.index()];
    std::string fields = std::visit(
        Overloaded{
            [](const InvalidIdentifier& e) { return text::format("value: {}, reason: {}", e.value, e.reason); },
            [](const Validation& e) { return e.message; },
            [](const FingerprintMismatch& e) {
                return text::format("kind: {}, expected: {}, actual: {}", e.kind, e.expected, e.actual);
            },
            [](const UnknownHandle& e) { return text::format("kind: {}, handle: {}", e.kind, e.handle); },
            [](const RelationBoundaryViolation& e) { return text::format("kind: {}, detail: {}", e.kind, e.detail); },
            [](const IncompatibleReducer& e) { return text::format("reducer: {}, task: {}", e.reducer, e.task); },
            [](const SignalTypeMismatch& e) {
                return text::format("expected: {}, actual: {}", e.expected, e.actual);
            },
            [](const Serialization& e) { return e.error.to_string(); },
        },
        data_);
    return text::format("{}({})", info.name, fields);
}

std::string DataErrorDescriptor::to_json() const { return json::to_text(*this); }

}  // namespace veltrinax
