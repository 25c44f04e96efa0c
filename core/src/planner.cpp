#include "veltrinax/planner.hpp"

#include <algorithm>
#include <cstdint>
#include <set>
#include <string_view>
#include <utility>

#include "veltrinax/alignment.hpp"
#include "veltrinax/builtin_models.hpp"
#include "veltrinax/text.hpp"

namespace veltrinax::planner {

namespace {

// The catalogue's (id, rank) pairs in catalogue order. The catalogue is made of
// constants, so reading it once is the same as reading it on every lookup.
const std::vector<std::pair<RepresentationId, std::optional<std::uint64_t>>>& builtin_ranks() {
    static const auto ranks = [] {
        std::vector<std::pair<RepresentationId, std::optional<std::uint64_t>>> out;
        for (RepresentationSpec& r : builtin_models::builtin_representations()) out.emplace_back(r.id, r.rank);
        return out;
    }();
    return ranks;
}

// The source's own representation is consulted first, even when a built-in one
// has the same id: a source may declare a rank (or none) of its own.
std::optional<std::uint64_t> rank_of(const RepresentationId& id, const RepresentationSpec& native) {
    if (id == native.id) return native.rank;
    for (const auto& [builtin_id, rank] : builtin_ranks()) {
        if (builtin_id == id) return rank;
    }
    return std::nullopt;
}

// A budget-exhausted search is neither a path nor a proof that none exists, so
// it cannot be skipped like an unresolved pair.
Status check_search_limit(const PathResolution& resolution) {
    if (resolution.search_limit_exceeded()) return fail(resolution.issues.front().message);
    return {};
}

// The failure of a call that spent its work budget outside a search.
std::unexpected<DataError> planning_limit(const PathSearcher& searcher) {
    return fail(text::format("model input planning exceeded its limit of {} work units", searcher.max_work()));
}

// What a step of a plan weighs in work units besides its texts.
constexpr std::uint64_t step_overhead = 128;

// The planner drops "no_path" and "cost_overflow" alike, so its searches never
// spend work telling them apart.
PathSearchOptions planning_options(PathSearchOptions options) {
    options.settle_overflow = false;
    return options;
}

// Resolves every source of a multi-source port against one shared (type,
// representation) pair, the first pair in port order that serves them all.
Result<std::vector<ResolvedSource>> common_pair(const std::vector<ResolvedSource>& resolved,
                                                const InputPortSpec& port, PathSearcher& searcher) {
    InputPortSpec narrowed = port;
    for (const TypeId& type : port.accepted_types) {
        for (const RepresentationId& representation : port.accepted_representations) {
            narrowed.accepted_types.assign(1, type);
            narrowed.accepted_representations.assign(1, representation);
            std::vector<ResolvedSource> shared;
            for (const ResolvedSource& r : resolved) {
                auto again = resolve_source(*r.source, narrowed, searcher);
                if (!again) return std::unexpected(std::move(again.error()));
                if (!*again) break;
                shared.push_back(std::move(**again));
            }
            if (shared.size() == resolved.size()) return shared;
        }
    }
    return fail(text::format("model input port `{}` has no common accepted representation for its sources",
                             port.name));
}

DataPlanStep make_step(DataPlanStepKind kind) {
    DataPlanStep step;
    step.kind = kind;
    step.fit_scope = FitScope::stateless;
    return step;
}

// The generic value of a list of output names.
json::Value names_value(const std::vector<std::string>& names) {
    json::Array out;
    out.reserve(names.size());
    for (const std::string& name : names) out.push_back(json::Value::string(name));
    return json::Value::array(std::move(out));
}

}  // namespace

Result<std::vector<const SourceDescriptor*>> candidate_sources(const DatasetSchema& schema,
                                                               const DataPlanRequest& request) {
    if (request.source_ids) {
        // The whole list first, so that a repeated unknown id reads as a repeat.
        std::set<std::string_view> seen;
        for (const SourceId& id : *request.source_ids) {
            if (!seen.insert(id.view()).second) {
                return fail(text::format("data plan request contains duplicate source `{}`", id));
            }
        }
    }

    std::vector<const SourceDescriptor*> sorted;
    sorted.reserve(schema.sources.size());
    for (const SourceDescriptor& source : schema.sources) sorted.push_back(&source);
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const SourceDescriptor* a, const SourceDescriptor* b) { return a->id < b->id; });
    if (!request.source_ids) return sorted;

    std::vector<const SourceDescriptor*> chosen;
    chosen.reserve(request.source_ids->size());
    for (const SourceId& id : *request.source_ids) {
        auto it = std::lower_bound(sorted.begin(), sorted.end(), id,
                                   [](const SourceDescriptor* s, const SourceId& key) { return s->id < key; });
        if (it == sorted.end() || (*it)->id != id) {
            return fail(text::format("data plan request references unknown source `{}`", id));
        }
        chosen.push_back(*it);
    }
    return chosen;
}

Result<std::optional<ResolvedSource>> resolve_source(const SourceDescriptor& source, const InputPortSpec& port,
                                                     PathSearcher& searcher) {
    const RepresentationSpec& native = source.native_representation;
    for (const TypeId& type : port.accepted_types) {
        for (const RepresentationId& representation : port.accepted_representations) {
            // Every pair tried counts, searched or not: ports, sources, types and
            // representations multiply.
            if (!searcher.spend(1)) return planning_limit(searcher);
            const std::optional<std::uint64_t> rank = rank_of(representation, native);
            if (port.rank && rank && *rank != port.rank->value) continue;

            // From the source's own type id, not its representation's. An
            // ambiguous outcome keeps its issue and also brings the first of the
            // equivalent paths, so that the plan stays usable.
            PathResolution found = searcher.find_path(source.type_id, native.id, type, representation, true);
            if (auto ok = check_search_limit(found); !ok) return std::unexpected(std::move(ok.error()));
            if (!found.path) continue;

            if (port.rank && !rank) {
                found.issues.push_back(PlanIssue{
                    "unverified_rank",
                    text::format("input port `{}` requires rank Some({}), but representation `{}` has no declared rank",
                                 port.name, port.rank->value, representation),
                    {}});
            }
            return std::optional<ResolvedSource>(
                ResolvedSource{representation, std::move(*found.path), std::move(found.issues), &source});
        }
    }
    return std::optional<ResolvedSource>();
}

Result<std::optional<ResolvedSource>> resolve_source(const SourceDescriptor& source, const InputPortSpec& port,
                                                     const AdapterRegistry& registry, const PlanningPolicy& policy,
                                                     const PathSearchOptions& options) {
    PathSearcher searcher(registry, policy, options);
    return resolve_source(source, port, searcher);
}

Result<DataPlan> plan_model_input(const DatasetSchema& schema, const ModelInputSpec& model_input,
                                  const AdapterRegistry& registry, const DataPlanRequest& request,
                                  const PathSearchOptions& options) {
    if (auto ok = schema.validate(); !ok) return std::unexpected(std::move(ok.error()));
    if (auto ok = model_input.validate(); !ok) return std::unexpected(std::move(ok.error()));
    if (text::is_blank(request.id)) return fail("data plan request id is empty");
    auto candidates = candidate_sources(schema, request);
    if (!candidates) return std::unexpected(std::move(candidates.error()));

    // One budget for every search and step of the call; the graph is built once.
    PathSearcher searcher(registry, request.planning_policy, planning_options(options));
    DataPlan plan;
    plan.id = request.id;
    // Both counters run over the whole plan, not per port.
    std::uint64_t adapt_counter = 0;
    std::uint64_t align_counter = 0;
    std::optional<RepresentationId> output_representation;

    for (const InputPortSpec& port : model_input.ports) {
        std::vector<ResolvedSource> resolved;
        for (const SourceDescriptor* candidate : *candidates) {
            auto r = resolve_source(*candidate, port, searcher);
            if (!r) return std::unexpected(std::move(r.error()));
            if (*r) resolved.push_back(std::move(**r));
        }
        if (port.multi_source && resolved.size() >= 2) {
            auto shared = common_pair(resolved, port, searcher);
            if (!shared) return std::unexpected(std::move(shared.error()));
            resolved = std::move(*shared);
        }
        if (resolved.empty()) {
            if (port.optional) continue;
            return fail(text::format("no source can satisfy required model input port `{}`", port.name));
        }
        if (resolved.size() > 1 && !port.multi_source) {
            return fail(text::format("model input port `{}` accepts one source but {} sources resolved", port.name,
                                     resolved.size()));
        }

        // The steps about to be written count by their size (the adapt steps were
        // counted when their adapters were copied into the paths).
        std::uint64_t step_units = 2 * (step_overhead + port.name.size());
        for (const ResolvedSource& r : resolved) {
            step_units += 2 * (step_overhead + r.source->id.view().size() +
                               r.source->native_representation.id.view().size());
        }
        if (!searcher.spend(step_units)) return planning_limit(searcher);

        const RepresentationId& port_representation = resolved.front().representation;
        std::vector<std::string> port_inputs;
        for (ResolvedSource& r : resolved) {
            const SourceDescriptor& source = *r.source;
            for (PlanIssue& issue : r.issues) plan.issues.push_back(std::move(issue));

            std::string chain_end = "src:" + source.id.str();
            DataPlanStep materialize = make_step(DataPlanStepKind::materialize);
            materialize.source_id = source.id;
            materialize.output_representation = source.native_representation.id;
            materialize.metadata.insert_or_assign("output", json::Value::string(chain_end));
            plan.steps.push_back(std::move(materialize));

            RepresentationId before = source.native_representation.id;
            for (const AdapterSpec& adapter : r.path.adapters) {
                std::string output = text::format("step:adapt:{}", adapt_counter++);
                DataPlanStep adapt = make_step(DataPlanStepKind::adapt);
                adapt.source_id = source.id;
                adapt.adapter_id = adapter.id;
                adapt.input_representation = std::move(before);
                adapt.output_representation = adapter.output_representation;
                adapt.fit_scope = adapter.fit_scope;
                adapt.metadata.insert_or_assign("adapter_params", json::to_value(adapter.params));
                adapt.metadata.insert_or_assign("adapter_version", json::Value::string(adapter.version));
                adapt.metadata.insert_or_assign("input", json::Value::string(std::move(chain_end)));
                adapt.metadata.insert_or_assign("output", json::Value::string(output));
                plan.steps.push_back(std::move(adapt));
                before = adapter.output_representation;
                chain_end = std::move(output);
            }
            port_inputs.push_back(std::move(chain_end));
        }

        if (port_inputs.size() >= 2) {
            // Read anew for every align step, and only then: a bad mode does no
            // harm to a plan that never aligns.
            auto mode = alignment::alignment_mode_from_fusion(model_input.default_fusion);
            if (!mode) return std::unexpected(std::move(mode.error()));
            std::string output = text::format("step:align:{}", align_counter++);
            DataPlanStep align = make_step(DataPlanStepKind::align);
            align.input_representation = port_representation;
            align.output_representation = port_representation;
            align.metadata = alignment::alignment_metadata(std::move(port_inputs), output, *mode);
            plan.steps.push_back(std::move(align));
            port_inputs.assign(1, std::move(output));
        }

        DataPlanStep join = make_step(DataPlanStepKind::join);
        join.input_representation = port_representation;
        join.output_representation = port_representation;
        join.metadata.insert_or_assign("inputs", names_value(port_inputs));
        join.metadata.insert_or_assign("output", json::Value::string("port:" + port.name));
        plan.steps.push_back(std::move(join));
        output_representation = port_representation;
    }

    if (!output_representation) return fail("model input plan produced no outputs");
    plan.output_representation = std::move(*output_representation);
    // Cannot fail for a plan built as above; checked all the same so that a
    // planner fault never hands out an inconsistent plan.
    if (auto ok = plan.validate(); !ok) return std::unexpected(std::move(ok.error()));
    return plan;
}

}  // namespace veltrinax::planner
