#pragma once
// Sample relations and fold sets: the table tying observations to samples,
// sources, targets, groups and augmentation origins, the cross-validation folds
// over a universe of samples, and the checks that keep a split honest (no group
// and no augmented observation with its origin on both sides of a fold).
// Knows no fingerprint and no coordinator.
//
// These are the large documents (millions of rows or samples), so no check copies
// an identifier: they work on string views into the records, hashed where only
// membership or list order matters and sorted where byte order is reported.
// `relation::SampleSet` and `relation::GroupMap` are such views and stay valid
// only while the records they were built from are alive and unchanged.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "veltrinax/error.hpp"
#include "veltrinax/ids.hpp"
#include "veltrinax/json.hpp"

namespace veltrinax {

// The provenance of an augmented observation.
struct AugmentationMetadata {
    std::string transform_id;
    std::optional<std::string> params_fingerprint;
    JsonMap metadata;

    Status validate() const;

    bool operator==(const AugmentationMetadata&) const = default;
};

// One observation row.
struct SampleRelation {
    ObservationId observation_id;
    SampleId sample_id;
    std::optional<SourceId> source_id;
    std::optional<TargetId> target_id;
    std::optional<GroupId> group_id;
    std::optional<OriginId> origin_id;  // the observation id of the origin
    std::optional<RepetitionId> repetition_id;
    bool augmented = false;
    bool excluded = false;
    JsonMap metadata;
    std::vector<std::string> tags;
    // Boxed: most rows have none, and its room in every row would make each row
    // half as large again.
    json::BoxedOptional<AugmentationMetadata> augmentation;

    bool operator==(const SampleRelation&) const = default;
};

struct FoldSet;

namespace relation {
class GroupMap;
}  // namespace relation

struct SampleRelationTable {
    std::vector<SampleRelation> rows;  // input order decides which violation is reported

    Status validate() const;

    // Sample to group over the rows that name a group; of several rows of one
    // sample the last one's group wins. Borrows from this table.
    relation::GroupMap sample_groups() const&;
    relation::GroupMap sample_groups() const&& = delete;

    // Validates both documents, then checks that they name the same samples, that
    // their group maps agree and that no fold leaks a group or an origin.
    Status validate_fold_set(const FoldSet& fold_set) const;

    bool operator==(const SampleRelationTable&) const = default;
};

struct FoldAssignment {
    std::string fold_id;
    std::vector<SampleId> train_sample_ids;
    std::vector<SampleId> validation_sample_ids;
    JsonMap metadata;

    bool operator==(const FoldAssignment&) const = default;
};

struct FoldSet {
    std::string id;
    std::vector<SampleId> sample_ids;  // the universe
    std::vector<FoldAssignment> folds;
    json::SortedMap<SampleId, GroupId> sample_groups;

    Status validate() const;

    bool operator==(const FoldSet&) const = default;
};

namespace relation {

// A set of sample ids in ascending byte order, without repeats, borrowed from the
// list it was built from.
class SampleSet {
public:
    SampleSet() = default;

    std::size_t size() const noexcept { return items_.size(); }
    bool empty() const noexcept { return items_.empty(); }
    auto begin() const noexcept { return items_.begin(); }
    auto end() const noexcept { return items_.end(); }
    std::string_view operator[](std::size_t i) const noexcept { return items_[i]; }
    bool contains(std::string_view sample) const noexcept;

    // `items` must already be sorted and free of repeats.
    static SampleSet from_sorted(std::vector<std::string_view> items) noexcept {
        SampleSet s;
        s.items_ = std::move(items);
        return s;
    }

private:
    std::vector<std::string_view> items_;
};

// A map from sample id to group id, ascending by sample, borrowed from the
// records it was built from.
class GroupMap {
public:
    struct Entry {
        std::string_view sample;
        std::string_view group;
    };

    GroupMap() = default;
    // Views of a fold set's own map (already sorted, one entry per sample).
    static GroupMap of(const json::SortedMap<SampleId, GroupId>& map);
    static GroupMap of(json::SortedMap<SampleId, GroupId>&&) = delete;
    // `entries` in any order; of repeated samples the last entry wins.
    static GroupMap from_entries(std::vector<Entry> entries);

    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    auto begin() const noexcept { return entries_.begin(); }
    auto end() const noexcept { return entries_.end(); }
    // The group of `sample`, or nullptr.
    const std::string_view* find(std::string_view sample) const noexcept;

private:
    std::vector<Entry> entries_;
};

// The ordered set of `samples`; the first id (in list order) that repeats an
// earlier one fails with "{label} contains duplicate sample `{}`".
Result<SampleSet> unique_samples(std::string_view label, const std::vector<SampleId>& samples);
Result<SampleSet> unique_samples(std::string_view label, std::vector<SampleId>&&) = delete;

// No validation sample may share a group with a train sample. With an empty map
// nothing is checked; the reported group is that of the smallest leaking
// validation sample.
Status validate_group_boundary(std::string_view fold_id, const SampleSet& train, const SampleSet& validation,
                               const GroupMap& groups);

// A validated fold set in its canonical order: the universe in byte order (held
// in `storage`), the fold positions in byte order of their fold ids (a
// stable order), and for each fold position its train and validation samples as
// ascending ranks into the universe. Move it, never copy it: a copy's views would
// still point into the original's storage.
struct CanonicalFoldSet {
    std::string storage;  // the universe's texts, in order (its views point here)
    std::vector<std::string_view> universe;
    std::vector<std::uint32_t> fold_order;
    std::vector<std::vector<std::uint32_t>> train;
    std::vector<std::vector<std::uint32_t>> validation;
};

// Runs `FoldSet::validate` (its error comes back unchanged), then orders the
// fold set as its fingerprint needs it, reusing the ranks validation computed.
Result<CanonicalFoldSet> canonical_fold_set(const FoldSet& fold_set);
Result<CanonicalFoldSet> canonical_fold_set(FoldSet&&) = delete;

// No row may sit on one side of the fold while the observation it names as its
// origin sits on the other; the first leaking row in row order is reported. A
// row whose origin is not an observation of `rows` is passed over.
Status validate_origin_boundary(std::string_view fold_id, const SampleSet& train, const SampleSet& validation,
                                const std::vector<SampleRelation>& rows);

}  // namespace relation

}  // namespace veltrinax

namespace veltrinax::json {

template <>
struct Record<AugmentationMetadata> {
    using A = AugmentationMetadata;
    static constexpr std::string_view name = "AugmentationMetadata";
    static constexpr auto fields = std::tuple{
        required("transform_id", &A::transform_id),
        optional("params_fingerprint", &A::params_fingerprint).omit_when_none(),
        defaulted("metadata", &A::metadata).omit_when_empty(),
    };
};

template <>
struct Record<SampleRelation> {
    using R = SampleRelation;
    static constexpr std::string_view name = "SampleRelation";
    static constexpr auto fields = std::tuple{
        required("observation_id", &R::observation_id),
        required("sample_id", &R::sample_id),
        optional("source_id", &R::source_id),
        optional("target_id", &R::target_id),
        optional("group_id", &R::group_id),
        optional("origin_id", &R::origin_id),
        optional("repetition_id", &R::repetition_id),
        defaulted("augmented", &R::augmented),
        defaulted("excluded", &R::excluded),
        defaulted("metadata", &R::metadata),
        defaulted("tags", &R::tags).omit_when_empty(),
        optional("augmentation", &R::augmentation).omit_when_none(),
    };
};

template <>
struct Record<SampleRelationTable> {
    static constexpr std::string_view name = "SampleRelationTable";
    static constexpr auto fields = std::tuple{
        required("rows", &SampleRelationTable::rows),
    };
};

template <>
struct Record<FoldAssignment> {
    using F = FoldAssignment;
    static constexpr std::string_view name = "FoldAssignment";
    static constexpr auto fields = std::tuple{
        required("fold_id", &F::fold_id),
        required("train_sample_ids", &F::train_sample_ids),
        required("validation_sample_ids", &F::validation_sample_ids),
        defaulted("metadata", &F::metadata).omit_when_empty(),
    };
};

template <>
struct Record<FoldSet> {
    using F = FoldSet;
    static constexpr std::string_view name = "FoldSet";
    static constexpr auto fields = std::tuple{
        required("id", &F::id),
        required("sample_ids", &F::sample_ids),
        required("folds", &F::folds),
        defaulted("sample_groups", &F::sample_groups).omit_when_empty(),
    };
};

}  // namespace veltrinax::json
