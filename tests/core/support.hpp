#pragma once
// Shared by the core tests: reading a document a test needs, and the outcome of a
// check as one text to compare.

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>

#include "veltrinax/error.hpp"
#include "veltrinax/json.hpp"

namespace veltrinax::testing {

// A document the test itself needs read: a reading failure fails the test.
template <class T>
T read(std::string_view text) {
    auto r = json::from_text<T>(text);
    EXPECT_TRUE(r.has_value()) << text << "\n" << (r ? "" : r.error().to_string());
    return r ? std::move(*r) : T{};
}

// The bare message of a rule failure, "<kind>: <detail>" for a boundary violation,
// the display text of anything else: one expected text also pins the error's variant.
inline std::string outcome(const DataError& e) {
    if (const auto* v = e.get<DataError::Validation>()) return v->message;
    if (const auto* b = e.get<DataError::RelationBoundaryViolation>()) return std::string(b->kind) + ": " + b->detail;
    return e.to_string();
}

// "ok" on success.
inline std::string outcome(const Status& s) { return s ? "ok" : outcome(s.error()); }

template <class T>
std::string outcome(const Result<T>& r) {
    return r ? "ok" : outcome(r.error());
}

}  // namespace veltrinax::testing
