#include "veltrinax/coordinator.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <tuple>
#include <utility>
#include <vector>

#include "veltrinax/fingerprint.hpp"
#include "veltrinax/text.hpp"

namespace veltrinax {

namespace {

// A free-text field must hold something besides white space and no control
// character anywhere, even inside otherwise valid text.
bool is_clean_free_text(std::string_view s) {
    if (text::is_blank(s)) return false;
    for (std::size_t i = 0; i < s.size();) {
        if (text::is_control(text::decode_utf8(s, i))) return false;
    }
    return true;
}

// The (observation, sample) pair of every record in byte order, for the component
// search: one binary search per component instead of a scan over the whole set.
// Keyed by the pair, not by the observation alone, so that a repeated observation
// (reported later, when the loop reaches it) still answers exactly as a scan of
// every record would.
class ObservationSamples {
public:
    explicit ObservationSamples(const std::vector<CoordinatorRelation>& records) {
        pairs_.reserve(records.size());
        for (const CoordinatorRelation& r : records) pairs_.emplace_back(r.observation_id.view(), r.sample_id.view());
        std::sort(pairs_.begin(), pairs_.end());
    }
    bool contains(std::string_view observation, std::string_view sample) const {
        return std::binary_search(pairs_.begin(), pairs_.end(), Pair{observation, sample});
    }

private:
    using Pair = std::pair<std::string_view, std::string_view>;
    std::vector<Pair> pairs_;
};

Status check_combo(const CoordinatorRelation& r, const std::vector<CoordinatorRelation>& records,
                   std::optional<ObservationSamples>& index) {
    if (!r.derived_unit_id || r.component_observation_ids.empty() ||
        (r.origin_sample_id && *r.origin_sample_id != r.sample_id)) {
        return fail("combo relation has invalid identity or components");
    }
    if (!index) index.emplace(records);
    const std::vector<ObservationId>& components = r.component_observation_ids;
    auto component_at = [&](std::uint32_t i) { return components[i].view(); };
    text::TextSet<decltype(component_at)> listed(components.size(), component_at);
    for (std::size_t i = 0; i < components.size(); ++i) {
        const ObservationId& component = components[i];
        if (component == r.observation_id || listed.insert(component.view(), static_cast<std::uint32_t>(i)) != i ||
            !index->contains(component.view(), r.sample_id.view())) {
            return fail("combo component is missing, repeated or belongs to another sample");
        }
    }
    return {};
}

// Every rule of a set; on success `units` holds each record's unit identity, in
// record order. The unit identities are new texts anyway, so the seen-set owns
// nothing: it views into `units`, reserved up front so that no view moves.
Status check_set(const CoordinatorRelationSet& set, std::vector<std::string>& units) {
    const std::vector<CoordinatorRelation>& records = set.records;
    if (records.empty()) return fail("coordinator relation set contains no records");

    units.clear();
    units.reserve(records.size());
    auto observation_at = [&](std::uint32_t i) { return records[i].observation_id.view(); };
    auto unit_at = [&](std::uint32_t i) { return std::string_view(units[i]); };
    text::TextSet<decltype(observation_at)> observations(records.size(), observation_at);
    text::TextSet<decltype(unit_at)> seen_units(records.size(), unit_at);
    std::optional<ObservationSamples> index;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const CoordinatorRelation& r = records[i];
        const auto position = static_cast<std::uint32_t>(i);
        if (observations.insert(r.observation_id.view(), position) != position) {
            return fail(text::format("duplicate coordinator observation `{}`", r.observation_id));
        }
        auto unit = r.effective_unit_id();
        if (!unit) return std::unexpected(std::move(unit.error()));
        units.push_back(std::move(*unit));
        if (seen_units.insert(units.back(), position) != position) {
            return fail("coordinator relations contain duplicate unit IDs");
        }
        if (const auto& w = r.sample_influence_weight; w && !(std::isfinite(*w) && *w > 0)) {
            return fail("relation sample_influence_weight must be finite and positive");
        }
        if (r.unit_level == CoordinatorEntityUnitLevel::combo) {
            if (auto ok = check_combo(r, records, index); !ok) return ok;
        } else if (!r.component_observation_ids.empty()) {
            return fail("component observations require a combo relation");
        }
    }
    return {};
}

}  // namespace

Result<std::string> CoordinatorRelation::effective_unit_id() const {
    const std::pair<const std::optional<std::string>*, std::string_view> free_texts[] = {
        {&unit_id, "unit_id"},
        {&rep_id, "rep_id"},
        {&derived_unit_id, "derived_unit_id"},
        {&quality_flag, "quality_flag"},
    };
    for (const auto& [value, label] : free_texts) {
        if (*value && !is_clean_free_text(**value)) {
            return fail(text::format("relation `{}` has invalid {}", observation_id, label));
        }
    }
    if (unit_id) return *unit_id;
    switch (unit_level) {
        case CoordinatorEntityUnitLevel::physical_sample: return sample_id.str();
        case CoordinatorEntityUnitLevel::source_sample:
            if (!source_id) return fail("source_sample relation requires source_id");
            return text::format("{}::{}", sample_id, *source_id);
        case CoordinatorEntityUnitLevel::observation: return observation_id.str();
        case CoordinatorEntityUnitLevel::combo:
            if (!derived_unit_id) return fail("combo relation requires derived_unit_id");
            return *derived_unit_id;
    }
    return observation_id.str();
}

Status CoordinatorRelationSet::validate() const {
    std::vector<std::string> units;
    return check_set(*this, units);
}

Result<std::string> CoordinatorRelationSet::fingerprint() const {
    std::vector<std::string> units;
    if (auto ok = check_set(*this, units); !ok) return std::unexpected(std::move(ok.error()));

    std::vector<CanonicalRecord> canonical;
    canonical.reserve(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) canonical.push_back({std::move(units[i]), &records[i]});
    // Unit identities are unique in a valid set, so the later keys only matter to
    // keep the order total in the sort's own terms.
    std::stable_sort(canonical.begin(), canonical.end(), [](const CanonicalRecord& a, const CanonicalRecord& b) {
        return std::forward_as_tuple(a.effective_unit_id, a.record->observation_id.view(), a.record->sample_id.view()) <
               std::forward_as_tuple(b.effective_unit_id, b.record->observation_id.view(), b.record->sample_id.view());
    });
    return fingerprint::sha256_hex(json::to_text(canonical));
}

namespace coordinator {

Result<CoordinatorRelationSet> coordinator_relations_from_sample_table(const SampleRelationTable& table) {
    if (auto ok = table.validate(); !ok) return std::unexpected(std::move(ok.error()));
    CoordinatorRelationSet set = coordinator_relations_from_valid_sample_table(table);
    if (auto ok = set.validate(); !ok) return std::unexpected(std::move(ok.error()));
    return set;
}

CoordinatorRelationSet coordinator_relations_from_valid_sample_table(const SampleRelationTable& table) {
    // The table's validation made observation ids distinct and every origin one
    // of them.
    const auto row_of = text::index_positions(
        table.rows.size(), [&](std::uint32_t i) { return table.rows[i].observation_id.view(); });

    // Records are made in observation order (a stable order of positions), so
    // that no finished record has to be moved by a sort.
    const std::vector<std::uint32_t> order = text::byte_order(
        table.rows.size(), [&](std::size_t i) { return table.rows[i].observation_id.view(); });
    CoordinatorRelationSet set;
    set.records.reserve(table.rows.size());
    for (const std::uint32_t position : order) {
        const SampleRelation& row = table.rows[position];
        CoordinatorRelation r;
        r.observation_id = row.observation_id;
        r.sample_id = row.sample_id;
        r.source_id = row.source_id;
        r.target_id = row.target_id;
        r.group_id = row.group_id;
        if (row.repetition_id) r.rep_id = row.repetition_id->str();
        if (row.origin_id) {
            if (const std::uint32_t origin = row_of.find(row.origin_id->view()); origin != row_of.absent) {
                r.origin_sample_id = table.rows[origin].sample_id;
            }
        }
        r.is_augmented = row.augmented;
        r.excluded = row.excluded;
        r.metadata = row.metadata;
        r.tags = row.tags;
        set.records.push_back(std::move(r));
    }
    return set;
}

Status validate_fingerprint(std::string_view label, std::string_view value) {
    const bool hex = value.size() == 64 && std::all_of(value.begin(), value.end(), [](char c) {
                         return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
                     });
    if (!hex) return fail(text::format("{} fingerprint must be a 64-character hex digest", label));
    return {};
}

}  // namespace coordinator

}  // namespace veltrinax
