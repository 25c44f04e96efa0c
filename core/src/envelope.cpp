#include "veltrinax/envelope.hpp"

#include <algorithm>
#include <utility>

#include "veltrinax/fingerprint.hpp"
#include "veltrinax/text.hpp"

namespace veltrinax {

namespace {

// The version rules that apply before the record is read. Only a non-negative
// integer 2 selects version 2; anything else that is not another non-negative
// integer (2.0, "2", -1, null, ...) falls under the version 1 rule, as does a
// missing version. Returns the whole error text, or empty.
std::string_view version_rule_violation(const json::Value& root) {
    if (!root.is_object()) return {};
    const json::Object& members = root.as_object();
    const json::Value* version = members.find("schema_version");
    const bool unsigned_version = version && version->kind() == json::Value::Kind::unsigned_integer;
    if (unsigned_version && version->as_unsigned() == 2) {
        static constexpr auto keys = json::detail::field_keys<CoordinatorDataPlanEnvelope>();
        for (const json::Member& m : members) {
            if (std::find(keys.begin(), keys.end(), m.key) == keys.end()) {
                return "envelope V2 contains an unknown root field";
            }
        }
        return {};
    }
    if (unsigned_version && version->as_unsigned() != 1) return {};
    if (members.contains("predict_cohort")) return "envelope V1 cannot carry predict_cohort";
    return {};
}

}  // namespace

std::expected<CoordinatorDataPlanEnvelope, json::Error> CoordinatorDataPlanEnvelope::from_json(std::string_view text) {
    json::TextReader in(text);
    json::Value root;
    if (!in.read_value(root)) return std::unexpected(in.take_error());
    if (std::string_view violation = version_rule_violation(root); !violation.empty()) {
        return std::unexpected(json::Error{std::string(violation), 0, 0});
    }
    auto wire = json::from_value<CoordinatorEnvelopeWire>(root);
    if (!wire) return std::unexpected(std::move(wire.error()));
    // Trailing characters are judged last: a version or record error wins.
    if (!in.end()) return std::unexpected(in.take_error());
    return CoordinatorDataPlanEnvelope(std::move(*wire));
}

Status CoordinatorDataPlanEnvelope::validate() const {
    if (schema_version != 1 && schema_version != 2) {
        // Version 2 is accepted but deliberately never named as expected.
        return fail(text::format("coordinator data-plan envelope uses unsupported schema_version {}, expected {}",
                                 schema_version, 1));
    }
    if (schema_version == 2) {
        if (!predict_cohort) return fail("envelope V2 requires predict_cohort");
        if (auto ok = predict_cohort->validate(); !ok) return ok;
        if (predict_cohort->role == PredictCohortRole::external_test) {
            if (!coordinator_relations) return fail("external_test requires coordinator_relations");
            if (auto ok = predict_cohort->validate_disjoint(*coordinator_relations); !ok) return ok;
        }
    } else if (predict_cohort) {
        return fail("envelope V1 cannot carry predict_cohort");
    }
    if (auto ok = coordinator::validate_fingerprint("schema", schema_fingerprint); !ok) return ok;
    if (auto ok = coordinator::validate_fingerprint("plan", plan_fingerprint); !ok) return ok;
    if (auto ok = plan.validate(); !ok) return ok;
    auto computed = fingerprint::data_plan_fingerprint(plan);
    if (!computed) return std::unexpected(std::move(computed.error()));
    if (*computed != plan_fingerprint) {
        return std::unexpected(DataError::fingerprint_mismatch("plan", plan_fingerprint, std::move(*computed)));
    }
    if (coordinator_relations) {
        if (auto ok = coordinator_relations->validate(); !ok) return ok;
    }
    if (relation_fingerprint) {
        if (auto ok = coordinator::validate_fingerprint("relation", *relation_fingerprint); !ok) return ok;
        if (!coordinator_relations) return fail("relation_fingerprint requires coordinator_relations");
    }
    if (data_content_fingerprint) {
        if (auto ok = coordinator::validate_fingerprint("data content", *data_content_fingerprint); !ok) return ok;
    }
    if (target_content_fingerprint) {
        if (auto ok = coordinator::validate_fingerprint("target content", *target_content_fingerprint); !ok) return ok;
    }
    return {};
}

Result<CoordinatorDataPlanEnvelope> CoordinatorDataPlanEnvelope::from_parts(const DatasetSchema& schema, DataPlan plan,
                                                                            const SampleRelationTable* table) {
    if (auto ok = schema.validate(); !ok) return std::unexpected(std::move(ok.error()));
    return build(schema, std::move(plan), table, true);
}

Result<CoordinatorDataPlanEnvelope> CoordinatorDataPlanEnvelope::from_validated_parts(
    const DatasetSchema& schema, DataPlan plan, const SampleRelationTable* table) {
    return build(schema, std::move(plan), table, false);
}

// `schema` has passed its validation; `table` has too unless `check_table`.
Result<CoordinatorDataPlanEnvelope> CoordinatorDataPlanEnvelope::build(const DatasetSchema& schema, DataPlan plan,
                                                                       const SampleRelationTable* table,
                                                                       bool check_table) {
    const auto sources =
        text::index_positions(schema.sources.size(), [&](std::uint32_t i) { return schema.sources[i].id.view(); });
    for (const DataPlanStep& step : plan.steps) {
        if (step.source_id && !sources.contains(step.source_id->view())) {
            return fail(text::format("plan references undeclared source `{}`", *step.source_id));
        }
    }

    if (table) {
        if (check_table) {
            if (auto ok = table->validate(); !ok) return std::unexpected(std::move(ok.error()));
        }
        const std::vector<SampleId>& sample_ids = schema.sample_ids;
        const std::vector<SampleRelation>& rows = table->rows;
        const auto samples =
            text::index_positions(sample_ids.size(), [&](std::uint32_t i) { return sample_ids[i].view(); });
        // Observation to row; the table's validation made observations unique.
        const auto row_of =
            text::index_positions(rows.size(), [&](std::uint32_t i) { return rows[i].observation_id.view(); });

        for (const SampleRelation& row : rows) {
            if (!row.augmented && !samples.contains(row.sample_id.view())) {
                return fail(text::format("relation references undeclared sample `{}`", row.sample_id));
            }
            if ((row.source_id && !sources.contains(row.source_id->view())) ||
                (row.target_id && !schema.targets.contains(*row.target_id))) {
                return fail("relation references undeclared source or target");
            }
            if (row.augmented) {
                const std::uint32_t origin = row.origin_id ? row_of.find(row.origin_id->view()) : row_of.absent;
                if (origin == row_of.absent || !samples.contains(rows[origin].sample_id.view())) {
                    return fail("augmented relation origin is outside the schema");
                }
            }
        }
    }

    CoordinatorDataPlanEnvelope envelope;
    envelope.schema_fingerprint = fingerprint::schema_fingerprint_of_valid(schema);
    auto plan_fingerprint = fingerprint::data_plan_fingerprint(plan);
    if (!plan_fingerprint) return std::unexpected(std::move(plan_fingerprint.error()));
    envelope.plan_fingerprint = std::move(*plan_fingerprint);
    if (table) {
        envelope.relation_fingerprint = fingerprint::sample_relation_fingerprint_of_valid(*table);
        // Validated below with the whole envelope.
        envelope.coordinator_relations = coordinator::coordinator_relations_from_valid_sample_table(*table);
    }
    envelope.schema_version = 1;
    envelope.plan = std::move(plan);
    if (auto ok = envelope.validate(); !ok) return std::unexpected(std::move(ok.error()));
    return envelope;
}

}  // namespace veltrinax
