#pragma once
// The coordinator data-plan envelope: a data plan bound to the fingerprints of the
// schema, plan and relations it was made from, optionally carrying coordinator
// relations and content fingerprints and, in version 2, a prediction cohort. Owns
// the envelope's version-aware reading, its rules and its assembly from a schema,
// a plan and a relation table.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "veltrinax/coordinator.hpp"
#include "veltrinax/error.hpp"
#include "veltrinax/json.hpp"
#include "veltrinax/model.hpp"
#include "veltrinax/plan.hpp"
#include "veltrinax/predict_cohort.hpp"
#include "veltrinax/relation.hpp"

namespace veltrinax {

struct CoordinatorDataPlanEnvelope {
    std::uint32_t schema_version = 1;
    std::string schema_fingerprint;
    std::string plan_fingerprint;
    std::optional<std::string> relation_fingerprint;
    std::optional<std::string> data_content_fingerprint;
    std::optional<std::string> target_content_fingerprint;
    DataPlan plan;
    std::optional<CoordinatorRelationSet> coordinator_relations;
    std::optional<PredictCohort> predict_cohort;
    JsonMap metadata;

    // Reads an envelope from text. Always read it here, never through the generic
    // `json::from_text`: the version rules on the root object run between the
    // syntax and the record, and the record is read from a generic value, so a
    // repeated key keeps its last value and record errors carry no position.
    static std::expected<CoordinatorDataPlanEnvelope, json::Error> from_json(std::string_view text);

    Status validate() const;

    // A validated version 1 envelope for `plan` made from `schema`, with the
    // coordinator relations of `table` when one is given.
    static Result<CoordinatorDataPlanEnvelope> from_parts(const DatasetSchema& schema, DataPlan plan,
                                                          const SampleRelationTable* table);
    // The same, for a schema and a table (when given) whose validate() the caller
    // has run and seen pass: they are not validated again.
    static Result<CoordinatorDataPlanEnvelope> from_validated_parts(const DatasetSchema& schema, DataPlan plan,
                                                                    const SampleRelationTable* table);

    bool operator==(const CoordinatorDataPlanEnvelope&) const = default;

private:
    static Result<CoordinatorDataPlanEnvelope> build(const DatasetSchema& schema, DataPlan plan,
                                                     const SampleRelationTable* table, bool check_table);
};

// The reading form: the envelope's own fields and table, under the name reader
// messages give it. `from_json` reads one and moves it into the envelope.
struct CoordinatorEnvelopeWire : CoordinatorDataPlanEnvelope {};

namespace envelope {
inline constexpr std::uint32_t first_version() { return 1; }
}  // namespace envelope

}  // namespace veltrinax

namespace veltrinax::json {

// One table serves both: its presence rules are the reading rules of the wire,
// its emission rules the written form of the envelope.
template <>
struct Record<CoordinatorDataPlanEnvelope> {
    using E = CoordinatorDataPlanEnvelope;
    static constexpr std::string_view name = "CoordinatorDataPlanEnvelope";
    static constexpr auto fields = std::tuple{
        defaulted("schema_version", &E::schema_version, &envelope::first_version),
        required("schema_fingerprint", &E::schema_fingerprint),
        required("plan_fingerprint", &E::plan_fingerprint),
        optional("relation_fingerprint", &E::relation_fingerprint),
        optional("data_content_fingerprint", &E::data_content_fingerprint).omit_when_none(),
        optional("target_content_fingerprint", &E::target_content_fingerprint).omit_when_none(),
        required("plan", &E::plan),
        optional("coordinator_relations", &E::coordinator_relations),
        optional("predict_cohort", &E::predict_cohort).omit_when_none(),
        defaulted("metadata", &E::metadata),
    };
};

template <>
struct Record<CoordinatorEnvelopeWire> {
    static constexpr std::string_view name = "CoordinatorEnvelopeWire";
    static constexpr auto fields = Record<CoordinatorDataPlanEnvelope>::fields;
};

}  // namespace veltrinax::json
