#pragma once
// The model-input planner: from a dataset schema, a model's input contract, an
// adapter registry and a planning request to a validated data plan that feeds
// every port of the model from the dataset's sources. A pure function of its
// inputs. Builds on the dataset schema, the adapter registry and its path
// search, the plan records, the built-in representation catalogue (for ranks)
// and alignment; nothing in the core builds on it.

#include <optional>
#include <string>
#include <vector>

#include "veltrinax/adapter.hpp"
#include "veltrinax/error.hpp"
#include "veltrinax/ids.hpp"
#include "veltrinax/json.hpp"
#include "veltrinax/model.hpp"
#include "veltrinax/plan.hpp"

namespace veltrinax {

// A planning request. Read only; the planner checks it (no `validate` of its own).
struct DataPlanRequest {
    std::string id;  // becomes the plan's id, untrimmed
    // Chooses and orders the sources to plan; none means every source of the schema.
    std::optional<std::vector<SourceId>> source_ids;
    PlanningPolicy planning_policy;  // default-constructed equals one read from `{}`

    bool operator==(const DataPlanRequest&) const = default;
};

namespace planner {

// One source resolved for one port.
struct ResolvedSource {
    RepresentationId representation;  // the accepted representation it is delivered in
    // The adapters from the source's native node to the accepted one, borrowed
    // from the registry (a plan writes each adapter's parameters into every step
    // that uses it, so they are never copied per path); empty when the source is
    // delivered natively.
    std::vector<const AdapterSpec*> path;
    // Empty, or "ambiguous_path", or "unverified_rank", or both in that order.
    std::vector<PlanIssue> issues;
    const SourceDescriptor* source = nullptr;  // borrowed from the schema
};

// Validates the schema and the model input, checks the request, resolves every
// port in order and returns the validated plan. `options` bound the whole call:
// its searches, the accepted pairs it tries and every byte it writes into the
// plan (steps, issues, choices) draw on one work budget, and running out fails
// the plan, because it proves neither a path nor the absence of one. Running out
// while searching names the search; running out on the plan's own size, or on
// the pairs tried, names the planning.
Result<DataPlan> plan_model_input(const DatasetSchema& schema, const ModelInputSpec& model_input,
                                  const AdapterRegistry& registry, const DataPlanRequest& request,
                                  const PathSearchOptions& options = {});

// The schema's sources to plan: all of them sorted by id, or the requested ones
// in request order (repeats rejected before any id is looked up).
Result<std::vector<const SourceDescriptor*>> candidate_sources(const DatasetSchema& schema,
                                                               const DataPlanRequest& request);

// The first (accepted type, accepted representation) pair of the port, types
// outermost, that the source reaches; none when no pair resolves. Fails only
// when the budget runs out.
Result<std::optional<ResolvedSource>> resolve_source(const SourceDescriptor& source, const InputPortSpec& port,
                                                     const AdapterRegistry& registry, const PlanningPolicy& policy,
                                                     const PathSearchOptions& options = {});
// The same, with the searches of `searcher` (its policy and its shared budget).
// Every pair tried costs work, searched or not.
Result<std::optional<ResolvedSource>> resolve_source(const SourceDescriptor& source, const InputPortSpec& port,
                                                     PathSearcher& searcher);

}  // namespace planner

}  // namespace veltrinax

namespace veltrinax::json {

template <>
struct Record<DataPlanRequest> {
    using R = DataPlanRequest;
    static constexpr std::string_view name = "DataPlanRequest";
    // `source_ids` is an optional list that may also be left off the end of the
    // array form, hence `defaulted` on an std::optional (null still reads as none).
    static constexpr auto fields = std::tuple{
        required("id", &R::id),
        defaulted("source_ids", &R::source_ids),
        defaulted("planning_policy", &R::planning_policy),
    };
};

}  // namespace veltrinax::json
