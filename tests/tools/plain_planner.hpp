#pragma once
// A plain planner for the tests: the path search and the model-input planner
// written out directly from their rules, without any of the module's shortcuts.
// Nodes are pairs of plain strings; the frontier is a priority queue of whole
// states, each carrying its own path; the best scores are an ordered map keyed by
// (node, hops); the no-reuse test scans the path; every search starts afresh, and
// every port, source and accepted pair is resolved anew. It gives the result the
// module must give, and it counts its work in the module's units, so that a test
// can hold the module's work budget against the work these rules take:
//   - a search run: 16, plus 32 per state pushed (the first one too), 2 per state
//     popped, 2 per adapter examined (every adapter of an expanded state's node,
//     whatever then rejects it) and 2 per pair of path elements compared when
//     the frontier orders two states that tie on everything but their paths (the
//     no-reuse scan of the path is not counted); a search from a node to itself
//     runs no search and costs nothing;
//   - an accepted (type, representation) pair tried, searched or rank-gated: 1;
//   - the bytes of the plan: the size of its text; for a call that fails after
//     its plan was started, the size of the part built so far, which was written
//     before the failure was known (`unkept_bytes` tells them apart).
// A second yardstick, P_R, is the same planner with each target's region known:
// what can reach the target is walked backwards once per call and target, 16 a
// walked adapter (every allowed adapter into a node of the region), and its
// searches then examine only the adapters that stay in the region, following
// only those that leave enough hops to reach the target.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <queue>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "veltrinax/adapter.hpp"
#include "veltrinax/alignment.hpp"
#include "veltrinax/builtin_models.hpp"
#include "veltrinax/json.hpp"
#include "veltrinax/model.hpp"
#include "veltrinax/plan.hpp"
#include "veltrinax/planner.hpp"
#include "veltrinax/text.hpp"

namespace veltrinax::testing {

// Records the tests and the fuzzer build directly.

// An adapter between nodes written "type/representation"; the flags L, S and U
// make it lossy, stateful (fitted per training fold) and supervised.
inline AdapterSpec adapter_between(std::string id, std::string_view from, std::string_view to, std::uint64_t cost = 1,
                                   std::string_view flags = "") {
    auto type = [](std::string_view node) { return TypeId::trusted(node.substr(0, node.find('/'))); };
    auto rep = [](std::string_view node) { return RepresentationId::trusted(node.substr(node.find('/') + 1)); };
    AdapterSpec a;
    a.id = std::move(id);
    a.version = "1";
    a.input_type = type(from);
    a.input_representation = rep(from);
    a.output_type = type(to);
    a.output_representation = rep(to);
    a.cost = cost;
    a.lossy = flags.find('L') != std::string_view::npos;
    a.stateful = flags.find('S') != std::string_view::npos;
    a.supervised = flags.find('U') != std::string_view::npos;
    if (a.stateful) a.fit_scope = FitScope::fold_train;
    return a;
}

// A source's native representation: `rank` axes, the sample axis first; ragged,
// with one axis, when it has no rank.
inline RepresentationSpec ranked_representation(std::string_view id, std::optional<std::uint64_t> rank) {
    RepresentationSpec r;
    r.id = RepresentationId::trusted(id);
    r.type_id = TypeId::trusted("x");
    r.rank = rank;
    r.ragged = !rank;
    r.container = "ndarray";
    for (std::uint64_t i = 0; i < rank.value_or(1); ++i) {
        AxisSpec& axis = r.axes.emplace_back();
        axis.name = i == 0 ? "sample" : "f" + std::to_string(i);
        axis.kind = i == 0 ? AxisKind::sample : AxisKind::feature;
    }
    return r;
}

namespace plain_units {
inline constexpr std::uint64_t search = 16;
inline constexpr std::uint64_t pushed = 32;
inline constexpr std::uint64_t popped = 2;
inline constexpr std::uint64_t examined = 2;
inline constexpr std::uint64_t compared = 2;
inline constexpr std::uint64_t pair = 1;
inline constexpr std::uint64_t walked = 16;
}  // namespace plain_units

// The budget within which the module must complete a call whose plain work is
// `units`: three times that, and a few units more for the comma the module counts
// after the last step and after the last issue, which the plan's text does not
// have. (The module's lookups of a search's two ends, at most 2 units a bisection
// step of the graph's nodes each, need nothing more: every search costs the
// plain planner at least 50 units, and three times that covers them up to graphs
// of 2^25 nodes.)
inline constexpr std::uint64_t budget_allowance = 16;
constexpr std::uint64_t budget_bound(std::uint64_t units) { return 3 * units + budget_allowance; }

struct PlainSearch {
    PathResolution result;
    std::uint64_t units = 0;   // in the module's units, as above
    std::uint64_t pushed = 0;  // states pushed, the first one included
    // The first of the equivalent paths of an ambiguous result: the path the same
    // search takes when the policy does not require a user choice.
    std::optional<AdapterPath> first_path;
    // The search stopped once its units passed the caller's limit; `result` means
    // nothing then.
    bool gave_up = false;
};

namespace plain_detail {

__extension__ using u128 = unsigned __int128;
inline constexpr u128 max_u64 = UINT64_MAX;

using Node = std::pair<std::string, std::string>;  // type, representation
// A path's adapters by their index in the registry, which is ordered by id: indices
// compare as the ids do.
using Path = std::vector<std::uint32_t>;

inline u128 weight(const AdapterSpec& a, const PlanningPolicy& policy) {
    u128 w = std::max<std::uint64_t>(a.cost, 1);
    w += (a.lossy ? 1'000'000 : 0) + (a.stateful ? 100'000 : 0) + (a.supervised ? 100'000 : 0);
    return w - (policy.preferred_adapters.contains(a.id) ? 1 : 0);
}

inline bool allowed(const AdapterSpec& a, const PlanningPolicy& policy) {
    return !policy.forbidden_adapters.contains(a.id) && (!a.lossy || policy.allow_lossy) &&
           (!a.stateful || policy.allow_stateful) && (!a.supervised || policy.allow_supervised);
}

// The adapters of a path as registered, with their sums; none when a sum leaves
// 64 bits.
inline std::optional<AdapterPath> path_of(const AdapterRegistry& registry, const Path& indices,
                                          const PlanningPolicy& policy) {
    AdapterPath path;
    u128 cost = 0, score = 0;
    for (const std::uint32_t i : indices) {
        const AdapterSpec& a = registry.adapters()[i];
        path.adapters.push_back(a);
        cost += a.cost;
        score += weight(a, policy);
        if (cost > max_u64 || score > max_u64 || weight(a, policy) > max_u64) return std::nullopt;
    }
    path.cost = static_cast<std::uint64_t>(cost);
    path.score = static_cast<std::uint64_t>(score);
    return path;
}

}  // namespace plain_detail

// The allowed adapters of a registry under a policy, by input node in id order.
// Built once for all the searches of a plain planning call, which only read it.
struct PlainGraph {
    std::set<plain_detail::Node> nodes;
    std::map<const plain_detail::Node*, std::vector<std::uint32_t>> out;  // input node -> adapters
    std::map<const plain_detail::Node*, std::vector<std::uint32_t>> in;   // output node -> adapters
    std::vector<const plain_detail::Node*> input_of;                      // per registry index
    std::vector<const plain_detail::Node*> output_of;                     // per registry index

    PlainGraph(const AdapterRegistry& registry, const PlanningPolicy& policy) {
        const std::vector<AdapterSpec>& adapters = registry.adapters();
        input_of.assign(adapters.size(), nullptr);
        output_of.assign(adapters.size(), nullptr);
        for (std::uint32_t i = 0; i < adapters.size(); ++i) {
            const AdapterSpec& a = adapters[i];
            if (!plain_detail::allowed(a, policy)) continue;
            input_of[i] = &*nodes.insert({a.input_type.str(), a.input_representation.str()}).first;
            output_of[i] = &*nodes.insert({a.output_type.str(), a.output_representation.str()}).first;
            out[input_of[i]].push_back(i);
            in[output_of[i]].push_back(i);
        }
    }
    const plain_detail::Node* find(const plain_detail::Node& n) const {
        auto it = nodes.find(n);
        return it == nodes.end() ? nullptr : &*it;
    }
};

// What can reach one target: each node that can, with its fewest adapters to
// the target, and the adapters walked to find them (every allowed adapter into
// one of them). Empty for a target no allowed adapter touches.
struct PlainRegion {
    std::map<const plain_detail::Node*, std::uint64_t> hops;
    std::uint64_t walked = 0;
};

inline PlainRegion plain_region(const PlainGraph& graph, const plain_detail::Node* target) {
    PlainRegion region;
    if (target == nullptr) return region;
    std::vector<const plain_detail::Node*> queue{target};
    region.hops[target] = 0;
    for (std::size_t next = 0; next < queue.size(); ++next) {
        const plain_detail::Node* node = queue[next];
        auto into = graph.in.find(node);
        if (into == graph.in.end()) continue;
        const std::uint64_t hops = region.hops[node] + 1;
        for (const std::uint32_t i : into->second) {
            ++region.walked;
            if (region.hops.emplace(graph.input_of[i], hops).second) queue.push_back(graph.input_of[i]);
        }
    }
    return region;
}

// The best chain of adapters from (from_type, from_representation) to (to_type,
// to_representation) under `policy`, and the work it took. Gives up once its
// units pass `give_up_after` (a fuzzer's inputs may ask for billions of states).
// With `region` (the target's), only adapters into the region are examined, and
// followed only when they leave enough hops to reach the target.
inline PlainSearch plain_search(const AdapterRegistry& registry, const PlainGraph& graph, std::string_view from_type,
                                std::string_view from_representation, std::string_view to_type,
                                std::string_view to_representation, const PlanningPolicy& policy,
                                std::uint64_t give_up_after = UINT64_MAX, const PlainRegion* region = nullptr) {
    using namespace plain_detail;
    const Node source_node{std::string(from_type), std::string(from_representation)};
    const Node target_node{std::string(to_type), std::string(to_representation)};
    PlainSearch out;
    if (source_node == target_node) {
        out.result.path.emplace();
        return out;
    }
    out.units += plain_units::search;
    // Nodes no allowed adapter touches stand for themselves: nothing leaves them.
    const Node* source = graph.find(source_node);
    const Node* target = graph.find(target_node);
    // score, hops, cost, node, path: the frontier's order, least first. Paths are
    // compared element by element, each pair compared counted.
    using State = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, const Node*, Path>;
    struct Later {
        std::uint64_t* units;
        bool operator()(const State& a, const State& b) const {
            const auto key = [](const State& s) {
                return std::tie(std::get<0>(s), std::get<1>(s), std::get<2>(s), *std::get<3>(s));
            };
            if (key(a) != key(b)) return key(a) > key(b);
            const Path& x = std::get<4>(a);
            const Path& y = std::get<4>(b);
            for (std::size_t i = 0; i < std::min(x.size(), y.size()); ++i) {
                *units += plain_units::compared;
                if (x[i] != y[i]) return x[i] > y[i];
            }
            return x.size() > y.size();
        }
    };
    std::priority_queue<State, std::vector<State>, Later> frontier(Later{&out.units});
    std::map<std::pair<const Node*, std::uint64_t>, std::uint64_t> best{{{source, 0}, 0}};
    auto push = [&](State s) {
        frontier.push(std::move(s));
        ++out.pushed;
        out.units += plain_units::pushed;
    };
    push({0, 0, 0, source != nullptr ? source : &source_node, {}});
    std::optional<std::pair<std::uint64_t, std::uint64_t>> best_goal;
    std::vector<Path> goals;
    bool overflow = false;
    const std::vector<AdapterSpec>& adapters = registry.adapters();
    while (!frontier.empty()) {
        if (out.units > give_up_after) {
            out.gave_up = true;
            return out;
        }
        auto [score, hops, cost, node, path] = frontier.top();
        frontier.pop();
        out.units += plain_units::popped;
        if (best_goal && std::pair{score, hops} > *best_goal) break;
        if (node == target) {
            if (!best_goal) best_goal = std::pair{score, hops};
            goals.push_back(path);
            continue;
        }
        if (policy.max_hops && hops >= policy.max_hops->value) continue;
        auto out_of = graph.out.find(node);
        if (out_of == graph.out.end()) continue;
        for (const std::uint32_t i : out_of->second) {
            const AdapterSpec& a = adapters[i];
            std::uint64_t hops_after = 0;
            if (region != nullptr) {
                auto live = region->hops.find(graph.output_of[i]);
                if (live == region->hops.end()) continue;
                hops_after = live->second;
            }
            out.units += plain_units::examined;
            if (policy.max_hops && hops + 1 + hops_after > policy.max_hops->value) continue;
            if (std::find(path.begin(), path.end(), i) != path.end()) continue;
            const u128 w = weight(a, policy);
            const u128 new_score = score + w, new_cost = u128{cost} + a.cost;
            if (w > max_u64 || new_score > max_u64 || new_cost > max_u64) {
                overflow = true;
                continue;
            }
            const std::pair<const Node*, std::uint64_t> key{graph.output_of[i], hops + 1};
            if (auto it = best.find(key); it != best.end() && it->second < new_score) continue;
            best[key] = static_cast<std::uint64_t>(new_score);
            Path next = path;
            next.push_back(i);
            push({static_cast<std::uint64_t>(new_score), hops + 1, static_cast<std::uint64_t>(new_cost), key.first,
                  std::move(next)});
        }
    }
    if (goals.empty()) {
        out.result = PathResolution::unresolved(
            overflow ? "cost_overflow" : "no_path",
            "no adapter path from `" + source_node.first + "/" + source_node.second + "` to `" + target_node.first +
                "/" + target_node.second + "`",
            {});
        return out;
    }
    std::stable_sort(goals.begin(), goals.end());
    goals.erase(std::unique(goals.begin(), goals.end()), goals.end());
    std::optional<AdapterPath> first = path_of(registry, goals.front(), policy);
    if (goals.size() > 1 && policy.require_user_choice_on_ambiguity) {
        std::vector<std::string> choices;
        for (const Path& goal : goals) {
            std::string choice;
            for (const std::uint32_t i : goal) choice += (choice.empty() ? "" : " -> ") + adapters[i].id;
            choices.push_back(std::move(choice));
        }
        out.result = PathResolution::unresolved("ambiguous_path",
                                                "multiple equivalent adapter paths require user choice", choices);
        out.first_path = std::move(first);
        return out;
    }
    if (!first) {
        out.result = PathResolution::unresolved("cost_overflow", "adapter path cost exceeds u64", {});
        return out;
    }
    out.result.path = std::move(first);
    return out;
}

inline PlainSearch plain_search(const AdapterRegistry& registry, std::string_view from_type,
                                std::string_view from_representation, std::string_view to_type,
                                std::string_view to_representation, const PlanningPolicy& policy,
                                std::uint64_t give_up_after = UINT64_MAX) {
    return plain_search(registry, PlainGraph(registry, policy), from_type, from_representation, to_type,
                        to_representation, policy, give_up_after);
}

// The same, with nodes written "type/representation".
inline PlainSearch plain_search(const AdapterRegistry& registry, std::string_view from, std::string_view to,
                                const PlanningPolicy& policy) {
    const std::size_t f = from.find('/'), t = to.find('/');
    return plain_search(registry, from.substr(0, f), from.substr(f + 1), to.substr(0, t), to.substr(t + 1), policy);
}

struct PlainPlan {
    Result<DataPlan> plan;
    std::uint64_t units = 0;
    // Of `units`, the bytes of the part of a plan written before the call failed.
    std::uint64_t unkept_bytes = 0;
    // Planning stopped once its units passed the caller's limit; `plan` means
    // nothing then.
    bool gave_up = false;
};

namespace plain_detail {

struct Resolved {
    RepresentationId representation;
    std::vector<AdapterSpec> path;
    std::vector<PlanIssue> issues;
    const SourceDescriptor* source = nullptr;
};

// The rank of `representation` for a source: its own representation's when the
// ids are equal, else the first built-in entry's of that id, else none.
inline std::optional<std::uint64_t> rank_of(const SourceDescriptor& source, const RepresentationId& representation) {
    if (source.native_representation.id == representation) return source.native_representation.rank;
    static const std::vector<RepresentationSpec> catalogue = builtin_models::builtin_representations();
    for (const RepresentationSpec& r : catalogue) {
        if (r.id == representation) return r.rank;
    }
    return std::nullopt;
}

// The units spent so far, and the limit past which planning gives up.
struct Units {
    std::uint64_t spent = 0;
    std::uint64_t give_up_after = UINT64_MAX;
    bool gave_up() const { return spent > give_up_after; }
};

// The regions of a call's targets when they are known (P_R), each walked and
// counted the first time a search goes towards its target; else none.
class Regions {
public:
    explicit Regions(bool known) : known_(known) {}
    const PlainRegion* of(const PlainGraph& graph, const Node& target, Units& units) {
        if (!known_) return nullptr;
        const Node* node = graph.find(target);
        auto [at, added] = regions_.try_emplace(node);
        if (added) {
            at->second = plain_region(graph, node);
            units.spent += plain_units::walked * at->second.walked;
        }
        return &at->second;
    }

private:
    bool known_;
    std::map<const Node*, PlainRegion> regions_;
};

inline std::optional<Resolved> resolve_source(const SourceDescriptor& source, const InputPortSpec& port,
                                              const AdapterRegistry& registry, const PlainGraph& graph,
                                              const PlanningPolicy& policy, Units& units, Regions& regions) {
    for (const TypeId& type : port.accepted_types) {
        for (const RepresentationId& representation : port.accepted_representations) {
            if (units.gave_up()) return std::nullopt;
            units.spent += plain_units::pair;
            const std::optional<std::uint64_t> rank = rank_of(source, representation);
            if (port.rank && rank && *rank != port.rank->value) continue;
            // A search from a node to itself runs none, and walks no region.
            const bool searched = type != source.type_id || representation != source.native_representation.id;
            const PlainRegion* region =
                searched ? regions.of(graph, {type.str(), representation.str()}, units) : nullptr;
            PlainSearch found = plain_search(registry, graph, source.type_id.view(), source.native_representation.id.view(),
                                             type.view(), representation.view(), policy,
                                             units.give_up_after - std::min(units.spent, units.give_up_after), region);
            units.spent += found.units;
            if (found.gave_up) return std::nullopt;
            // The same search again without the user-choice requirement would take
            // the first of the equivalent paths: the requirement is read only after
            // the search loop, so the states, and the path, are this search's.
            std::optional<AdapterPath> path = found.result.requires_user_choice ? found.first_path : found.result.path;
            if (!path) continue;
            std::vector<PlanIssue> issues = found.result.issues;
            if (port.rank && !rank) {
                issues.push_back(PlanIssue{"unverified_rank",
                                           "input port `" + port.name + "` requires rank Some(" +
                                               std::to_string(port.rank->value) + "), but representation `" +
                                               representation.str() + "` has no declared rank",
                                           {}});
            }
            return Resolved{representation, std::move(path->adapters), std::move(issues), &source};
        }
    }
    return std::nullopt;
}

inline Result<std::vector<const SourceDescriptor*>> candidate_sources(const DatasetSchema& schema,
                                                                      const DataPlanRequest& request) {
    if (request.source_ids) {
        std::set<std::string> seen;
        for (const SourceId& id : *request.source_ids) {
            if (!seen.insert(id.str()).second) {
                return fail("data plan request contains duplicate source `" + id.str() + "`");
            }
        }
    }
    std::vector<const SourceDescriptor*> sorted;
    for (const SourceDescriptor& s : schema.sources) sorted.push_back(&s);
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const SourceDescriptor* a, const SourceDescriptor* b) { return a->id.str() < b->id.str(); });
    if (!request.source_ids) return sorted;
    std::map<std::string, const SourceDescriptor*> by_id;
    for (const SourceDescriptor* s : sorted) by_id.emplace(s->id.str(), s);
    std::vector<const SourceDescriptor*> chosen;
    for (const SourceId& id : *request.source_ids) {
        auto it = by_id.find(id.str());
        if (it == by_id.end()) return fail("data plan request references unknown source `" + id.str() + "`");
        chosen.push_back(it->second);
    }
    return chosen;
}

inline DataPlanStep step_of(DataPlanStepKind kind) {
    DataPlanStep step;
    step.kind = kind;
    step.fit_scope = FitScope::stateless;
    return step;
}

inline json::Value strings(const std::vector<std::string>& items) {
    json::Array out;
    for (const std::string& item : items) out.push_back(json::Value::string(item));
    return json::Value::array(std::move(out));
}

}  // namespace plain_detail

// Plans `model_input` from `schema` through `registry` as `request` asks, and
// counts the work it took (P, or with `regions_known` P_R). Gives up once its
// units pass `give_up_after`.
inline PlainPlan plain_plan(const DatasetSchema& schema, const ModelInputSpec& model_input,
                            const AdapterRegistry& registry, const DataPlanRequest& request,
                            std::uint64_t give_up_after = UINT64_MAX, bool regions_known = false) {
    using namespace plain_detail;
    PlainPlan out{DataPlan{}};
    Units units{0, give_up_after};
    Regions regions(regions_known);
    auto gave_up = [&] {
        out.units = units.spent;
        out.gave_up = true;
        return out;
    };
    if (auto ok = schema.validate(); !ok) return {std::unexpected(ok.error())};
    if (auto ok = model_input.validate(); !ok) return {std::unexpected(ok.error())};
    if (text::is_blank(request.id)) return {fail("data plan request id is empty")};
    auto candidates = candidate_sources(schema, request);
    if (!candidates) return {std::unexpected(candidates.error())};

    const PlanningPolicy& policy = request.planning_policy;
    const PlainGraph graph(registry, policy);
    DataPlan plan;
    plan.id = request.id;
    // The plan was started: a failure from here on has built part of it.
    auto failed = [&](DataError error) {
        out.unkept_bytes = json::to_text(plan).size();
        out.units = units.spent + out.unkept_bytes;
        out.plan = std::unexpected(std::move(error));
        return out;
    };
    std::uint64_t adapt_counter = 0, align_counter = 0;
    std::optional<RepresentationId> output_representation;
    for (const InputPortSpec& port : model_input.ports) {
        std::vector<Resolved> resolved;
        for (const SourceDescriptor* candidate : *candidates) {
            if (auto r = resolve_source(*candidate, port, registry, graph, policy, units, regions)) resolved.push_back(std::move(*r));
        }
        if (units.gave_up()) return gave_up();
        if (port.multi_source && resolved.size() >= 2) {
            std::optional<std::vector<Resolved>> common;
            for (std::size_t t = 0; t < port.accepted_types.size() && !common; ++t) {
                for (std::size_t r = 0; r < port.accepted_representations.size() && !common; ++r) {
                    InputPortSpec one = port;
                    one.accepted_types = {port.accepted_types[t]};
                    one.accepted_representations = {port.accepted_representations[r]};
                    std::vector<Resolved> shared;
                    for (const Resolved& earlier : resolved) {
                        auto again = resolve_source(*earlier.source, one, registry, graph, policy, units, regions);
                        if (!again) break;
                        shared.push_back(std::move(*again));
                    }
                    if (shared.size() == resolved.size()) common = std::move(shared);
                }
            }
            if (units.gave_up()) return gave_up();
            if (!common) {
                return failed(DataError::validation("model input port `" + port.name +
                                                    "` has no common accepted representation for its sources"));
            }
            resolved = std::move(*common);
        }
        if (resolved.empty()) {
            if (port.optional) continue;
            return failed(DataError::validation("no source can satisfy required model input port `" + port.name + "`"));
        }
        if (resolved.size() > 1 && !port.multi_source) {
            return failed(DataError::validation("model input port `" + port.name + "` accepts one source but " +
                                                std::to_string(resolved.size()) + " sources resolved"));
        }
        const RepresentationId port_representation = resolved.front().representation;
        std::vector<std::string> inputs;
        for (Resolved& r : resolved) {
            const SourceDescriptor& source = *r.source;
            for (PlanIssue& issue : r.issues) plan.issues.push_back(std::move(issue));
            std::string chain_end = "src:" + source.id.str();
            DataPlanStep materialize = step_of(DataPlanStepKind::materialize);
            materialize.source_id = source.id;
            materialize.output_representation = source.native_representation.id;
            materialize.metadata.insert_or_assign("output", json::Value::string(chain_end));
            plan.steps.push_back(std::move(materialize));
            RepresentationId before = source.native_representation.id;
            for (const AdapterSpec& a : r.path) {
                std::string output = "step:adapt:" + std::to_string(adapt_counter++);
                DataPlanStep adapt = step_of(DataPlanStepKind::adapt);
                adapt.source_id = source.id;
                adapt.adapter_id = a.id;
                adapt.input_representation = before;
                adapt.output_representation = a.output_representation;
                adapt.fit_scope = a.fit_scope;
                adapt.metadata.insert_or_assign("adapter_params", json::to_value(a.params));
                adapt.metadata.insert_or_assign("adapter_version", json::Value::string(a.version));
                adapt.metadata.insert_or_assign("input", json::Value::string(chain_end));
                adapt.metadata.insert_or_assign("output", json::Value::string(output));
                plan.steps.push_back(std::move(adapt));
                before = a.output_representation;
                chain_end = std::move(output);
            }
            inputs.push_back(std::move(chain_end));
        }
        if (inputs.size() >= 2) {
            auto mode = alignment::alignment_mode_from_fusion(model_input.default_fusion);
            if (!mode) return failed(mode.error());
            std::string output = "step:align:" + std::to_string(align_counter++);
            DataPlanStep align = step_of(DataPlanStepKind::align);
            align.input_representation = port_representation;
            align.output_representation = port_representation;
            align.metadata = alignment::alignment_metadata(inputs, output, *mode);
            plan.steps.push_back(std::move(align));
            inputs = {output};
        }
        DataPlanStep join = step_of(DataPlanStepKind::join);
        join.input_representation = port_representation;
        join.output_representation = port_representation;
        join.metadata.insert_or_assign("inputs", strings(inputs));
        join.metadata.insert_or_assign("output", json::Value::string("port:" + port.name));
        plan.steps.push_back(std::move(join));
        output_representation = port_representation;
    }
    if (!output_representation) return failed(DataError::validation("model input plan produced no outputs"));
    plan.output_representation = *output_representation;
    if (auto ok = plan.validate(); !ok) return failed(ok.error());
    out.units = units.spent + json::to_text(plan).size();
    out.plan = std::move(plan);
    return out;
}

// The two yardsticks of a call: the plain planner's work P, and P_R, its work
// with each target's region known. A yardstick that gave up (past
// `give_up_after`) does not count: the lesser of those that did not is the one
// that holds the module to its budget.
struct Yardsticks {
    PlainPlan plain;
    PlainPlan regions_known;

    // Both give one result whenever both complete.
    bool agree() const { return plain.gave_up || regions_known.gave_up || plain.plan == regions_known.plan; }
    const PlainPlan& lesser() const {
        if (plain.gave_up) return regions_known;
        if (regions_known.gave_up) return plain;
        return regions_known.units < plain.units ? regions_known : plain;
    }
    bool gave_up() const { return lesser().gave_up; }
    std::uint64_t units() const { return lesser().units; }
    const Result<DataPlan>& plan() const { return lesser().plan; }
    std::string figures() const {
        auto units_of = [](const PlainPlan& p) { return p.gave_up ? "over " + std::to_string(p.units) : std::to_string(p.units); };
        return "P " + units_of(plain) + ", P_R " + units_of(regions_known);
    }
};

inline Yardsticks plain_yardsticks(const DatasetSchema& schema, const ModelInputSpec& model_input,
                                   const AdapterRegistry& registry, const DataPlanRequest& request,
                                   std::uint64_t give_up_after = UINT64_MAX) {
    return {plain_plan(schema, model_input, registry, request, give_up_after),
            plain_plan(schema, model_input, registry, request, give_up_after, true)};
}

}  // namespace veltrinax::testing
