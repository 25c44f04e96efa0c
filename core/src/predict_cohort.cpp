#include "veltrinax/predict_cohort.hpp"

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "veltrinax/fingerprint.hpp"
#include "veltrinax/text.hpp"

namespace veltrinax {

namespace {

// Each id smaller than the next: sorted, and no repeats.
bool strictly_ascending(const std::vector<SampleId>& ids) {
    return std::adjacent_find(ids.begin(), ids.end(), [](const SampleId& a, const SampleId& b) {
               return !(a < b);
           }) == ids.end();
}

// The distinct texts in byte order.
std::vector<std::string_view> distinct(std::vector<std::string_view> views) {
    std::sort(views.begin(), views.end());
    views.erase(std::unique(views.begin(), views.end()), views.end());
    return views;
}

std::vector<std::string_view> distinct_ids(const std::vector<SampleId>& ids) {
    std::vector<std::string_view> views;
    views.reserve(ids.size());
    for (const SampleId& id : ids) views.push_back(id.view());
    return distinct(std::move(views));
}

}  // namespace

Status PredictCohort::validate_members() const {
    const std::vector<CoordinatorRelation>& records = relations.records;
    std::vector<std::string_view> samples;
    std::vector<std::string_view> origins;
    samples.reserve(records.size());
    origins.reserve(records.size());
    for (const CoordinatorRelation& r : records) {
        samples.push_back(r.sample_id.view());
        origins.push_back(r.origin_sample_id ? r.origin_sample_id->view() : r.sample_id.view());
    }
    if (distinct(std::move(samples)) != distinct_ids(physical_sample_ids) ||
        distinct(std::move(origins)) != distinct_ids(origin_sample_ids)) {
        return fail("predict cohort IDs do not cover exactly its relations");
    }
    return {};
}

Result<std::string> PredictCohort::fingerprint() const {
    if (physical_sample_ids.empty() || !strictly_ascending(physical_sample_ids)) {
        return fail("predict cohort physical IDs must be nonempty, sorted and unique");
    }
    if (origin_sample_ids.empty() || !strictly_ascending(origin_sample_ids)) {
        return fail("predict cohort origin IDs must be nonempty, sorted and unique");
    }
    auto name_at = [this](std::uint32_t i) { return std::string_view(target_names[i]); };
    text::TextSet<decltype(name_at)> names(target_names.size(), name_at);
    bool repeated = false;
    for (std::size_t i = 0; i < target_names.size() && !repeated; ++i) {
        repeated = names.insert(target_names[i], static_cast<std::uint32_t>(i)) != i;
    }
    if (target_names.empty() || repeated ||
        std::any_of(target_names.begin(), target_names.end(), [](const std::string& n) { return text::is_blank(n); })) {
        return fail("predict cohort target names must be nonempty and unique");
    }
    if (auto ok = coordinator::validate_fingerprint("predict cohort data content", data_content_fingerprint); !ok) {
        return std::unexpected(std::move(ok.error()));
    }
    if (target_content_fingerprint) {
        if (auto ok = coordinator::validate_fingerprint("predict cohort target content", *target_content_fingerprint);
            !ok) {
            return std::unexpected(std::move(ok.error()));
        }
    }
    if ((role == PredictCohortRole::external_test) != target_content_fingerprint.has_value()) {
        return fail("external_test requires target content; inference forbids it");
    }
    // The set's fingerprint validates the set first, with the same errors.
    auto relations_fingerprint = relations.fingerprint();
    if (!relations_fingerprint) return std::unexpected(std::move(relations_fingerprint.error()));
    if (*relations_fingerprint != relation_fingerprint) {
        return fail("predict cohort relation fingerprint does not match relations");
    }
    if (auto ok = validate_members(); !ok) return std::unexpected(std::move(ok.error()));
    return fingerprint::sha256_hex(json::to_text(static_cast<const FingerprintInput&>(*this)));
}

Status PredictCohort::validate() const {
    if (auto ok = coordinator::validate_fingerprint("predict cohort", cohort_fingerprint); !ok) return ok;
    auto computed = fingerprint();
    if (!computed) return std::unexpected(std::move(computed.error()));
    if (*computed != cohort_fingerprint) return fail("predict cohort fingerprint does not match content");
    return {};
}

Status PredictCohort::validate_disjoint(const CoordinatorRelationSet& training) const {
    if (auto ok = validate(); !ok) return ok;
    if (auto ok = training.validate(); !ok) return ok;
    if (role == PredictCohortRole::inference) return {};

    // A record's sample under 2 * position, its origin under 2 * position + 1.
    const std::vector<CoordinatorRelation>& records = training.records;
    auto identity_at = [&](std::uint32_t v) {
        const CoordinatorRelation& r = records[v / 2];
        return v % 2 ? r.origin_sample_id->view() : r.sample_id.view();
    };
    text::TextIndex<decltype(identity_at)> identities(2 * records.size(), identity_at);
    for (std::size_t i = 0; i < records.size(); ++i) {
        identities.insert(records[i].sample_id.view(), static_cast<std::uint32_t>(2 * i));
        if (const auto& origin = records[i].origin_sample_id) {
            identities.insert(origin->view(), static_cast<std::uint32_t>(2 * i + 1));
        }
    }
    auto overlaps = [&](const std::vector<SampleId>& ids) {
        return std::any_of(ids.begin(), ids.end(), [&](const SampleId& id) { return identities.contains(id.view()); });
    };
    if (overlaps(physical_sample_ids) || overlaps(origin_sample_ids)) {
        return fail("external_test cohort overlaps training physical/origin identities");
    }
    return {};
}

}  // namespace veltrinax
