#include "veltrinax/planner.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <set>
#include <string_view>
#include <utility>

#include "veltrinax/alignment.hpp"
#include "veltrinax/builtin_models.hpp"
#include "veltrinax/text.hpp"

namespace veltrinax::planner {

namespace {

using Rank = std::optional<std::uint64_t>;

// The built-in catalogue's ranks by id, ordered by id for lookup; of ids listed
// twice, the first in catalogue order stands (as a lookup in catalogue order
// would find it). The catalogue is made of constants, so reading it once is the
// same as reading it on every lookup.
const std::vector<std::pair<std::string_view, Rank>>& builtin_ranks() {
    static const std::vector<RepresentationSpec> catalogue = builtin_models::builtin_representations();
    static const auto ranks = [] {
        std::vector<std::pair<std::string_view, Rank>> out;
        for (const RepresentationSpec& r : catalogue) out.emplace_back(r.id.view(), r.rank);
        auto by_id = [](const auto& a, const auto& b) { return a.first < b.first; };
        std::stable_sort(out.begin(), out.end(), by_id);
        out.erase(std::unique(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first == b.first; }),
                  out.end());
        return out;
    }();
    return ranks;
}

Rank builtin_rank(std::string_view id) {
    const auto& ranks = builtin_ranks();
    auto it = std::lower_bound(ranks.begin(), ranks.end(), id,
                               [](const auto& entry, std::string_view key) { return entry.first < key; });
    if (it == ranks.end() || it->first != id) return std::nullopt;
    return it->second;
}

// The built-in ranks of one port's accepted representations, looked up once per
// position for every source and pair of the port: a pair then costs a constant,
// however long the catalogue. The pairs visit the representations in list order,
// so the positions looked up always form a prefix.
class PortRanks {
public:
    explicit PortRanks(const InputPortSpec& port) : port_(port) {}

    const Rank& builtin(std::size_t position) {
        while (known_.size() <= position) {
            known_.push_back(builtin_rank(port_.accepted_representations[known_.size()].view()));
        }
        return known_[position];
    }

private:
    const InputPortSpec& port_;
    std::vector<Rank> known_;
};

// ---------------------------------------------------------------------------
// What the plan's text takes
//
// Every byte the plan will be written as is drawn from the call's budget when the
// part holding it is made: a step, an issue, its message and choices. A part's
// size is the size of its frame (the part written with every text empty) plus
// its texts, none of which the writer escapes: ids, names, versions and
// representation ids hold no character that needs it, and the names made here
// neither. A list adds each item's size and a comma after all but the last.
// ---------------------------------------------------------------------------

// Each frame of a listed part counts the comma after it (one too many, for the
// last of a list).
struct Frames {
    std::uint64_t plan;
    std::uint64_t materialize;
    std::uint64_t adapt;  // with empty params and the "stateless" fit scope
    std::uint64_t align;
    std::uint64_t join;
    std::uint64_t issue;
};

const Frames& frames() {
    static const Frames sizes = [] {
        auto step = [](DataPlanStepKind kind, bool source, bool adapter, JsonMap metadata) {
            DataPlanStep s;
            s.kind = kind;
            if (source) s.source_id = SourceId::trusted("");
            if (adapter) {
                s.adapter_id = "";
                s.input_representation = RepresentationId::trusted("");
            }
            if (kind != DataPlanStepKind::materialize && !source) s.input_representation = RepresentationId::trusted("");
            s.output_representation = RepresentationId::trusted("");
            s.metadata = std::move(metadata);
            return json::to_text(s).size() + 1;
        };
        const json::Value empty = json::Value::string("");
        Frames f{};
        f.plan = json::to_text(DataPlan{}).size();
        f.materialize = step(DataPlanStepKind::materialize, true, false, {{"output", empty}});
        f.adapt = step(DataPlanStepKind::adapt, true, true,
                       {{"adapter_params", json::Value::object()}, {"adapter_version", empty}, {"input", empty},
                        {"output", empty}});
        f.align = step(DataPlanStepKind::align, false, false,
                       {{"alignment", empty}, {"inputs", json::Value::array()}, {"output", empty}});
        f.join = step(DataPlanStepKind::join, false, false, {{"inputs", json::Value::array()}, {"output", empty}});
        f.issue = json::to_text(PlanIssue{}).size() + 1;
        return f;
    }();
    return sizes;
}

// The bytes of a list of strings, beyond its brackets.
std::uint64_t list_bytes(const std::vector<std::string>& items) {
    std::uint64_t bytes = items.empty() ? 0 : items.size() - 1;
    for (const std::string& item : items) bytes += item.size() + 2;
    return bytes;
}

constexpr std::string_view unverified_rank = "unverified_rank";
// The message of an "unverified_rank" issue without its three values.
constexpr std::string_view unverified_rank_words =
    "input port `` requires rank Some(), but representation `` has no declared rank";

// The failure of a call whose budget ran out outside a search: on the pairs it
// tried or on what it wrote.
std::unexpected<DataError> planning_limit(const PathSearcher& searcher) {
    return fail(text::format("model input planning exceeded its limit of {} work units", searcher.max_work()));
}

// The planner drops "no_path" and "cost_overflow" alike, so its searches never
// spend work telling them apart.
PathSearchOptions planning_options(PathSearchOptions options) {
    options.settle_overflow = false;
    return options;
}

// The pairs of a port that `resolve_pairs` tries: all of them, or (for the
// common pair of a multi-source port) one type and one representation, by
// position in the port's lists.
struct Pairs {
    std::size_t type_begin;
    std::size_t type_end;
    std::size_t representation_begin;
    std::size_t representation_end;

    static Pairs all(const InputPortSpec& port) {
        return {0, port.accepted_types.size(), 0, port.accepted_representations.size()};
    }
    static Pairs one(std::size_t type, std::size_t representation) {
        return {type, type + 1, representation, representation + 1};
    }
};

// A source resolved for one port, its issues not yet written: the common pair of
// a multi-source port drops resolutions, and a dropped one costs its searches,
// never the text of its issues.
struct Resolution {
    const RepresentationId* representation = nullptr;  // the port's accepted entry
    std::vector<const AdapterSpec*> path;
    EquivalentPaths equivalent;  // of an ambiguous path, when a choice is required
    bool unverified_rank = false;
    const SourceDescriptor* source = nullptr;
};

// Writes the issues of a resolution that reaches the plan, each byte drawn from
// the budget as it is made: "ambiguous_path", then "unverified_rank".
Status write_issues(const Resolution& r, const InputPortSpec& port, PathSearcher& searcher,
                    std::vector<PlanIssue>& out) {
    if (!r.equivalent.empty()) {
        // The choices as a list of strings: their texts, quotes and commas.
        const std::uint64_t choices = r.equivalent.choice_bytes() + 3 * r.equivalent.size() - 1;
        if (!searcher.spend(frames().issue + path_issue::ambiguous_path.size() +
                            path_issue::ambiguous_path_message.size() + choices)) {
            return planning_limit(searcher);
        }
        out.push_back(ambiguous_path_issue(r.equivalent));
    }
    if (r.unverified_rank) {
        const std::string number = std::to_string(port.rank->value);
        const std::uint64_t bytes = frames().issue + unverified_rank.size() + unverified_rank_words.size() +
                                    port.name.size() + number.size() + r.representation->view().size();
        if (!searcher.spend(bytes)) return planning_limit(searcher);
        out.push_back(PlanIssue{
            std::string(unverified_rank),
            text::format("input port `{}` requires rank Some({}), but representation `{}` has no declared rank",
                         port.name, number, *r.representation),
            {}});
    }
    return {};
}

// `resolve_source` over the given pairs of the port.
Result<std::optional<Resolution>> resolve_pairs(const SourceDescriptor& source, const InputPortSpec& port,
                                                const Pairs& pairs, PortRanks& ranks, PathSearcher& searcher) {
    const RepresentationSpec& native = source.native_representation;
    for (std::size_t t = pairs.type_begin; t < pairs.type_end; ++t) {
        const TypeId& type = port.accepted_types[t];
        for (std::size_t r = pairs.representation_begin; r < pairs.representation_end; ++r) {
            const RepresentationId& representation = port.accepted_representations[r];
            // Every pair tried counts, searched or not: ports, sources, types and
            // representations multiply.
            if (!searcher.spend(1)) return planning_limit(searcher);
            // The source's own representation is consulted first, even when a
            // built-in one has the same id: a source may declare a rank (or none)
            // of its own.
            const Rank& rank = representation == native.id ? native.rank : ranks.builtin(r);
            if (port.rank && rank && *rank != port.rank->value) continue;

            // From the source's own type id, not its representation's. An
            // ambiguous outcome keeps its equivalent paths and also brings the
            // first of them, so that the plan stays usable.
            PathRoute found = searcher.find_route(source.type_id, native.id, type, representation);
            if (found.search_limit_exceeded()) return fail(found.issues.front().message);
            if (!found.adapters) continue;
            return std::optional<Resolution>(Resolution{&representation, std::move(*found.adapters),
                                                        std::move(found.equivalent), port.rank && !rank, &source});
        }
    }
    return std::optional<Resolution>();
}

// Resolves every source of a multi-source port against one shared (type,
// representation) pair, the first pair in port order that serves them all.
Result<std::vector<Resolution>> common_pair(const std::vector<Resolution>& resolved, const InputPortSpec& port,
                                            PortRanks& ranks, PathSearcher& searcher) {
    for (std::size_t t = 0; t < port.accepted_types.size(); ++t) {
        for (std::size_t r = 0; r < port.accepted_representations.size(); ++r) {
            std::vector<Resolution> shared;
            for (const Resolution& earlier : resolved) {
                auto again = resolve_pairs(*earlier.source, port, Pairs::one(t, r), ranks, searcher);
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

// The parameters of the adapters a plan uses, each made a generic value once and
// shared by every adapt step of that adapter, with the size of its text.
class SharedParams {
public:
    explicit SharedParams(const AdapterRegistry& registry) : registry_(registry) {}

    struct Params {
        std::shared_ptr<const json::Value> value;
        std::uint64_t text_size = 0;
    };

    const Params& of(const AdapterSpec& adapter) {
        if (made_.empty()) made_.resize(registry_.size());
        Params& p = made_[static_cast<std::size_t>(&adapter - registry_.adapters().data())];
        if (!p.value) {
            p.value = std::make_shared<const json::Value>(json::to_value(adapter.params));
            p.text_size = json::to_text(*p.value).size();
        }
        return p;
    }

private:
    const AdapterRegistry& registry_;
    std::vector<Params> made_;  // per registry index
};

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
    PortRanks ranks(port);
    auto found = resolve_pairs(source, port, Pairs::all(port), ranks, searcher);
    if (!found) return std::unexpected(std::move(found.error()));
    if (!*found) return std::optional<ResolvedSource>();
    Resolution& r = **found;
    ResolvedSource out{*r.representation, std::move(r.path), {}, r.source};
    if (auto ok = write_issues(r, port, searcher, out.issues); !ok) return std::unexpected(std::move(ok.error()));
    return std::optional<ResolvedSource>(std::move(out));
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

    // One budget for every search, pair and written byte of the call; the graph is
    // built once.
    PathSearcher searcher(registry, request.planning_policy, planning_options(options));
    const Frames& frame = frames();
    SharedParams params(registry);
    DataPlan plan;
    // The id is free text: its size is its size as written, escapes and all.
    if (!searcher.spend(frame.plan + json::to_text(request.id).size())) return planning_limit(searcher);
    plan.id = request.id;
    // Both counters run over the whole plan, not per port.
    std::uint64_t adapt_counter = 0;
    std::uint64_t align_counter = 0;
    std::optional<RepresentationId> output_representation;

    for (const InputPortSpec& port : model_input.ports) {
        PortRanks ranks(port);
        std::vector<Resolution> resolved;
        for (const SourceDescriptor* candidate : *candidates) {
            auto r = resolve_pairs(*candidate, port, Pairs::all(port), ranks, searcher);
            if (!r) return std::unexpected(std::move(r.error()));
            if (*r) resolved.push_back(std::move(**r));
        }
        if (port.multi_source && resolved.size() >= 2) {
            auto shared = common_pair(resolved, port, ranks, searcher);
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

        const RepresentationId& port_representation = *resolved.front().representation;
        std::vector<std::string> port_inputs;
        for (const Resolution& r : resolved) {
            const SourceDescriptor& source = *r.source;
            const std::uint64_t source_bytes = source.id.view().size();
            if (auto ok = write_issues(r, port, searcher, plan.issues); !ok) return std::unexpected(std::move(ok.error()));

            std::string chain_end = "src:" + source.id.str();
            if (!searcher.spend(frame.materialize + source_bytes + source.native_representation.id.view().size() +
                                chain_end.size())) {
                return planning_limit(searcher);
            }
            DataPlanStep materialize = make_step(DataPlanStepKind::materialize);
            materialize.source_id = source.id;
            materialize.output_representation = source.native_representation.id;
            materialize.metadata.insert_or_assign("output", json::Value::string(chain_end));
            plan.steps.push_back(std::move(materialize));

            RepresentationId before = source.native_representation.id;
            for (const AdapterSpec* adapter : r.path) {
                const SharedParams::Params& p = params.of(*adapter);
                std::string output = text::format("step:adapt:{}", adapt_counter++);
                const std::string_view scope = json::Enum<FitScope>::names[static_cast<std::size_t>(adapter->fit_scope)];
                if (!searcher.spend(frame.adapt + source_bytes + adapter->id.size() + before.view().size() +
                                    adapter->output_representation.view().size() + adapter->version.size() +
                                    (p.text_size - 2) + chain_end.size() + output.size() + scope.size() -
                                    std::string_view("stateless").size())) {
                    return planning_limit(searcher);
                }
                DataPlanStep adapt = make_step(DataPlanStepKind::adapt);
                adapt.source_id = source.id;
                adapt.adapter_id = adapter->id;
                adapt.input_representation = std::move(before);
                adapt.output_representation = adapter->output_representation;
                adapt.fit_scope = adapter->fit_scope;
                adapt.metadata.insert_or_assign("adapter_params", json::Value::shared(p.value));
                adapt.metadata.insert_or_assign("adapter_version", json::Value::string(adapter->version));
                adapt.metadata.insert_or_assign("input", json::Value::string(std::move(chain_end)));
                adapt.metadata.insert_or_assign("output", json::Value::string(output));
                plan.steps.push_back(std::move(adapt));
                before = adapter->output_representation;
                chain_end = std::move(output);
            }
            port_inputs.push_back(std::move(chain_end));
        }

        const std::uint64_t port_representation_bytes = 2 * port_representation.view().size();
        if (port_inputs.size() >= 2) {
            // Read anew for every align step, and only then: a bad mode does no
            // harm to a plan that never aligns.
            auto mode = alignment::alignment_mode_from_fusion(model_input.default_fusion);
            if (!mode) return std::unexpected(std::move(mode.error()));
            std::string output = text::format("step:align:{}", align_counter++);
            const std::string_view mode_name = json::Enum<AlignmentMode>::names[static_cast<std::size_t>(*mode)];
            if (!searcher.spend(frame.align + port_representation_bytes + list_bytes(port_inputs) +
                                output.size() + mode_name.size())) {
                return planning_limit(searcher);
            }
            DataPlanStep align = make_step(DataPlanStepKind::align);
            align.input_representation = port_representation;
            align.output_representation = port_representation;
            align.metadata = alignment::alignment_metadata(std::move(port_inputs), output, *mode);
            plan.steps.push_back(std::move(align));
            port_inputs.assign(1, std::move(output));
        }

        constexpr std::string_view port_prefix = "port:";
        if (!searcher.spend(frame.join + port_representation_bytes + list_bytes(port_inputs) +
                            port_prefix.size() + port.name.size())) {
            return planning_limit(searcher);
        }
        std::string delivered = std::string(port_prefix) + port.name;
        DataPlanStep join = make_step(DataPlanStepKind::join);
        join.input_representation = port_representation;
        join.output_representation = port_representation;
        join.metadata.insert_or_assign("inputs", names_value(port_inputs));
        join.metadata.insert_or_assign("output", json::Value::string(std::move(delivered)));
        plan.steps.push_back(std::move(join));
        output_representation = port_representation;
    }

    if (!output_representation) return fail("model input plan produced no outputs");
    if (!searcher.spend(output_representation->view().size())) return planning_limit(searcher);
    plan.output_representation = std::move(*output_representation);
    // Cannot fail for a plan built as above; checked all the same so that a
    // planner fault never hands out an inconsistent plan.
    if (auto ok = plan.validate(); !ok) return std::unexpected(std::move(ok.error()));
    return plan;
}

}  // namespace veltrinax::planner
