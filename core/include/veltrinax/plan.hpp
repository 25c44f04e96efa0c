#pragma once
// Data plans: the steps that materialize dataset sources, adapt representations
// and align, join or collate intermediate results, and the issues planning left
// for a person to decide. Knows no planner and no fingerprint.

#include <optional>
#include <string>
#include <vector>

#include "veltrinax/error.hpp"
#include "veltrinax/ids.hpp"
#include "veltrinax/json.hpp"

namespace veltrinax {

enum class DataPlanStepKind : std::uint8_t { materialize, adapt, align, join, collate };
enum class FitScope : std::uint8_t { stateless, fold_train, full_train, inference_only };

struct DataPlanStep {
    DataPlanStepKind kind = DataPlanStepKind::materialize;
    std::optional<SourceId> source_id;
    std::optional<std::string> adapter_id;
    std::optional<RepresentationId> input_representation;
    std::optional<RepresentationId> output_representation;
    FitScope fit_scope = FitScope::stateless;
    bool requires_user_choice = false;
    JsonMap metadata;

    bool operator==(const DataPlanStep&) const = default;
};

struct PlanIssue {
    std::string code;
    std::string message;
    std::vector<std::string> choices;

    bool operator==(const PlanIssue&) const = default;
};

struct DataPlan {
    std::string id;
    std::vector<DataPlanStep> steps;
    RepresentationId output_representation;
    std::vector<PlanIssue> issues;

    // Checks that the steps form a consistent data flow; the first violation wins.
    Status validate() const;

    bool operator==(const DataPlan&) const = default;
};

}  // namespace veltrinax

namespace veltrinax::json {

template <>
struct Enum<DataPlanStepKind> {
    static constexpr std::array<std::string_view, 5> names{"materialize", "adapt", "align", "join", "collate"};
};

template <>
struct Enum<FitScope> {
    static constexpr std::array<std::string_view, 4> names{"stateless", "fold_train", "full_train",
                                                           "inference_only"};
};

template <>
struct Record<DataPlanStep> {
    using S = DataPlanStep;
    static constexpr std::string_view name = "DataPlanStep";
    static constexpr auto fields = std::tuple{
        required("kind", &S::kind),
        optional("source_id", &S::source_id),
        optional("adapter_id", &S::adapter_id),
        optional("input_representation", &S::input_representation),
        optional("output_representation", &S::output_representation),
        required("fit_scope", &S::fit_scope),
        defaulted("requires_user_choice", &S::requires_user_choice),
        defaulted("metadata", &S::metadata),
    };
};

template <>
struct Record<PlanIssue> {
    using I = PlanIssue;
    static constexpr std::string_view name = "PlanIssue";
    static constexpr auto fields = std::tuple{
        required("code", &I::code),
        required("message", &I::message),
        defaulted("choices", &I::choices),
    };
};

template <>
struct Record<DataPlan> {
    using P = DataPlan;
    static constexpr std::string_view name = "DataPlan";
    static constexpr auto fields = std::tuple{
        required("id", &P::id),
        required("steps", &P::steps),
        required("output_representation", &P::output_representation),
        defaulted("issues", &P::issues),
    };
};

}  // namespace veltrinax::json
