#pragma once
// Prediction cohorts: the samples a trained pipeline is asked to predict, either
// an external test set with known targets or plain inference, with the coordinator
// relations that describe them and a stored fingerprint over all of it. This
// module only verifies a cohort; nothing here builds one. Knows no envelope.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "veltrinax/coordinator.hpp"
#include "veltrinax/error.hpp"
#include "veltrinax/ids.hpp"
#include "veltrinax/json.hpp"

namespace veltrinax {

enum class PredictCohortRole : std::uint8_t { external_test, inference };

// The hashed part of a cohort: everything but its stored fingerprint. A cohort is
// one of these plus the claim, so hashing needs no copy of the relations.
struct FingerprintInput {
    PredictCohortRole role = PredictCohortRole::external_test;
    std::vector<SampleId> physical_sample_ids;
    std::vector<SampleId> origin_sample_ids;
    std::vector<std::string> target_names;
    std::string relation_fingerprint;
    CoordinatorRelationSet relations;
    std::string data_content_fingerprint;
    std::optional<std::string> target_content_fingerprint;

    bool operator==(const FingerprintInput&) const = default;
};

struct PredictCohort : FingerprintInput {
    std::string cohort_fingerprint;

    // Checks the content (ids, target names, content fingerprints, role, relations
    // and member coverage), then hashes the `FingerprintInput`. Ignores
    // `cohort_fingerprint`.
    Result<std::string> fingerprint() const;
    // The stored `cohort_fingerprint` against `fingerprint()`, byte for byte.
    Status validate() const;
    // For an external test cohort, no physical or origin id may be a sample or an
    // origin sample of the training relations.
    Status validate_disjoint(const CoordinatorRelationSet& training) const;
    // The two id lists are exactly the samples and the origin samples of the
    // relation records.
    Status validate_members() const;

    bool operator==(const PredictCohort&) const = default;
};

}  // namespace veltrinax

namespace veltrinax::json {

template <>
struct Enum<PredictCohortRole> {
    static constexpr std::array<std::string_view, 2> names{"external_test", "inference"};
};

template <>
struct Record<FingerprintInput> {
    using F = FingerprintInput;
    static constexpr std::string_view name = "FingerprintInput";
    static constexpr auto fields = std::tuple{
        required("role", &F::role),
        required("physical_sample_ids", &F::physical_sample_ids),
        required("origin_sample_ids", &F::origin_sample_ids),
        required("target_names", &F::target_names),
        required("relation_fingerprint", &F::relation_fingerprint),
        required("relations", &F::relations),
        required("data_content_fingerprint", &F::data_content_fingerprint),
        optional("target_content_fingerprint", &F::target_content_fingerprint),
    };
};

// The hashed fields once more, except that an absent target content fingerprint is
// left out here, then the stored claim.
template <>
struct Record<PredictCohort> {
    static constexpr std::string_view name = "PredictCohort";
    static constexpr bool deny_unknown = true;
    static constexpr auto fields = [] {
        constexpr auto& hashed = Record<FingerprintInput>::fields;
        return std::tuple{
            std::get<0>(hashed),
            std::get<1>(hashed),
            std::get<2>(hashed),
            std::get<3>(hashed),
            std::get<4>(hashed),
            std::get<5>(hashed),
            std::get<6>(hashed),
            std::get<7>(hashed).omit_when_none(),
            required("cohort_fingerprint", &PredictCohort::cohort_fingerprint),
        };
    }();
};

}  // namespace veltrinax::json
