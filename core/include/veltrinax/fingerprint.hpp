#pragma once
// Canonical fingerprints: the SHA-256 digest of a canonical compact JSON text of a
// validated document, written as 64 lowercase hexadecimal digits. Two canonical
// forms exist: the record form (the record written in its declared key order after
// a round trip through a generic value) and the value form (the generic value
// itself, every object's keys in ascending byte order).

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "veltrinax/error.hpp"
#include "veltrinax/json.hpp"

namespace veltrinax {
struct DatasetSchema;
struct DataPlan;
struct SampleRelationTable;
struct FoldSet;
}  // namespace veltrinax

namespace veltrinax::fingerprint {

using Digest = std::array<std::uint8_t, 32>;

// SHA-256 (FIPS 180-4) of exactly these bytes.
Digest sha256(std::string_view bytes);

// The 32 digest bytes as 64 lowercase hexadecimal digits.
std::string to_hex(const Digest& digest);

// to_hex(sha256(bytes)).
std::string sha256_hex(std::string_view bytes);

// The record form: convert to a generic value, read that value back as the same
// record type, and write the result compactly. The fingerprints below produce
// these bytes by writing the validated record directly, for which the round trip
// is the identity (the argument is in fingerprint.cpp, and a test compares both).
template <json::Codable T>
Result<std::string> canonical_record_text(const T& record) {
    json::Value value = json::to_value(record);
    auto back = json::from_value<T>(value);
    if (!back) return std::unexpected(DataError::serialization(std::move(back.error())));
    return json::to_text(*back);
}

// The value form: the record converted to a generic value, written compactly.
template <json::Codable T>
std::string canonical_value_text(const T& record) {
    return json::to_text(json::to_value(record));
}

Result<std::string> schema_fingerprint(const DatasetSchema& schema);
Result<std::string> data_plan_fingerprint(const DataPlan& plan);
Result<std::string> sample_relation_fingerprint(const SampleRelationTable& table);
Result<std::string> fold_set_fingerprint(const FoldSet& fold_set);

// The same digests of records whose validate() has just passed, without
// validating them again (a caller that validates several parts first).
std::string schema_fingerprint_of_valid(const DatasetSchema& schema);
std::string sample_relation_fingerprint_of_valid(const SampleRelationTable& table);

// The canonical texts the two fingerprints above hash (validated, then sorted).
// The fingerprints stream these bytes into the digest instead of holding them.
Result<std::string> sample_relation_canonical_text(const SampleRelationTable& table);
Result<std::string> fold_set_canonical_text(const FoldSet& fold_set);

}  // namespace veltrinax::fingerprint
