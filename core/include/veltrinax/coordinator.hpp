#pragma once
// Coordinator relations: the records a coordinator hands on with a data plan, each
// tying one observation to its sample (and optionally source, target, group,
// repetition and augmentation origin) and naming the level at which units are
// counted. Owns the unit identity of a record, the rules of a relation set, its
// order-independent fingerprint, the conversion from a sample relation table, and
// the shared format test for stored fingerprints. Knows no envelope and no cohort.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "veltrinax/error.hpp"
#include "veltrinax/ids.hpp"
#include "veltrinax/json.hpp"
#include "veltrinax/relation.hpp"

namespace veltrinax {

enum class CoordinatorEntityUnitLevel : std::uint8_t { physical_sample, source_sample, observation, combo };

struct CoordinatorRelation {
    CoordinatorEntityUnitLevel unit_level = CoordinatorEntityUnitLevel::observation;
    std::optional<std::string> unit_id;
    ObservationId observation_id;
    SampleId sample_id;
    std::optional<SourceId> source_id;
    std::optional<std::string> rep_id;
    std::optional<TargetId> target_id;
    std::optional<GroupId> group_id;
    std::optional<SampleId> origin_sample_id;
    std::optional<std::string> derived_unit_id;
    std::vector<ObservationId> component_observation_ids;
    std::optional<double> sample_influence_weight;
    std::optional<std::string> quality_flag;
    bool is_augmented = false;
    bool excluded = false;
    JsonMap metadata;
    std::vector<std::string> tags;

    // The unit this record counts as: `unit_id` when given (untrimmed), else the
    // identity its level derives. The four free-text fields are checked first.
    Result<std::string> effective_unit_id() const;

    bool operator==(const CoordinatorRelation&) const = default;
};

struct CoordinatorRelationSet {
    std::vector<CoordinatorRelation> records;  // caller's order decides which violation is reported

    Status validate() const;
    // Validates, then hashes the records sorted by unit identity, so the result
    // does not depend on the order of `records`.
    Result<std::string> fingerprint() const;

    bool operator==(const CoordinatorRelationSet&) const = default;
};

// The hashed form of one record: its unit identity written first, then the
// record's own members with their own null and omission rules. Borrows the record.
struct CanonicalRecord {
    std::string effective_unit_id;
    const CoordinatorRelation* record = nullptr;
};

namespace coordinator {

inline constexpr CoordinatorEntityUnitLevel observation_level() { return CoordinatorEntityUnitLevel::observation; }

// One observation-level relation per row, sorted by observation id, validated.
Result<CoordinatorRelationSet> coordinator_relations_from_sample_table(const SampleRelationTable& table);

// The same set, from a table whose validate() has passed, and not validated
// itself: for a caller that validates the set as part of something larger.
CoordinatorRelationSet coordinator_relations_from_valid_sample_table(const SampleRelationTable& table);

// Exactly 64 ASCII hexadecimal digits of either case; otherwise
// "{label} fingerprint must be a 64-character hex digest". No trimming, no case
// folding: comparing with a computed fingerprint is the caller's business.
Status validate_fingerprint(std::string_view label, std::string_view value);

}  // namespace coordinator

}  // namespace veltrinax

namespace veltrinax::json {

template <>
struct Enum<CoordinatorEntityUnitLevel> {
    static constexpr std::array<std::string_view, 4> names{"physical_sample", "source_sample", "observation",
                                                           "combo"};
};

template <>
struct Record<CoordinatorRelation> {
    using R = CoordinatorRelation;
    static constexpr std::string_view name = "CoordinatorRelation";
    static constexpr auto fields = std::tuple{
        defaulted("unit_level", &R::unit_level, &coordinator::observation_level),
        optional("unit_id", &R::unit_id),
        required("observation_id", &R::observation_id),
        required("sample_id", &R::sample_id),
        optional("source_id", &R::source_id),
        optional("rep_id", &R::rep_id),
        optional("target_id", &R::target_id),
        optional("group_id", &R::group_id),
        optional("origin_sample_id", &R::origin_sample_id),
        optional("derived_unit_id", &R::derived_unit_id),
        defaulted("component_observation_ids", &R::component_observation_ids),
        optional("sample_influence_weight", &R::sample_influence_weight),
        optional("quality_flag", &R::quality_flag),
        defaulted("is_augmented", &R::is_augmented),
        defaulted("excluded", &R::excluded).omit_when_false(),
        defaulted("metadata", &R::metadata).omit_when_empty(),
        defaulted("tags", &R::tags).omit_when_empty(),
    };
};

template <>
struct Record<CoordinatorRelationSet> {
    static constexpr std::string_view name = "CoordinatorRelationSet";
    static constexpr auto fields = std::tuple{
        defaulted("records", &CoordinatorRelationSet::records),
    };
};

// Written only (nothing reads a canonical record back): the identity's key, then
// the record's members through the record's own field table, in one object.
template <>
struct Codec<CanonicalRecord> {
    static void write(Writer& w, const CanonicalRecord& c) {
        w.raw("{\"effective_unit_id\":");
        w.string(c.effective_unit_id);
        detail::for_each_field<CoordinatorRelation>([&](auto, const auto& field) {
            if (field.omitted(*c.record)) return;
            using V = typename std::remove_cvref_t<decltype(field)>::value_type;
            w.raw(",\"");
            w.raw(field.key);
            w.raw("\":");
            Codec<V>::write(w, (*c.record).*(field.member));
        });
        w.raw('}');
    }
};

}  // namespace veltrinax::json
