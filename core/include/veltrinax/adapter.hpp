#pragma once
// Adapters and model inputs: the model input contract (named ports), adapter
// declarations, the caller's planning policy, and the validated adapter registry
// with its best-path search between (type, representation) nodes.
// Builds on identifiers, errors, the JSON layer and the plan records (FitScope,
// PlanIssue); knows no planner, no dataset schema and no fingerprint.

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "veltrinax/error.hpp"
#include "veltrinax/ids.hpp"
#include "veltrinax/json.hpp"
#include "veltrinax/plan.hpp"

namespace veltrinax {

// One named input of a model and what it accepts.
struct InputPortSpec {
    std::string name;
    std::vector<RepresentationId> accepted_representations;
    std::vector<TypeId> accepted_types;
    std::optional<json::usize> rank;
    bool multi_source = false;
    bool optional = false;

    Status validate() const;

    bool operator==(const InputPortSpec&) const = default;
};

struct ModelInputSpec {
    std::vector<InputPortSpec> ports;
    std::optional<json::Value> default_fusion;

    // Every port in list order, each checked in full before its name is compared
    // with the earlier ones.
    Status validate() const;

    bool operator==(const ModelInputSpec&) const = default;
};

// Converts data from the node (input_type, input_representation) to the node
// (output_type, output_representation).
struct AdapterSpec {
    std::string id;
    std::string version;
    TypeId input_type;
    RepresentationId input_representation;
    TypeId output_type;
    RepresentationId output_representation;
    std::uint64_t cost = 0;
    bool lossy = false;
    bool supervised = false;
    bool stateful = false;
    bool deterministic = true;
    FitScope fit_scope = FitScope::stateless;
    JsonMap params;

    Status validate() const;

    bool operator==(const AdapterSpec&) const = default;
};

struct AdapterRegistrySpec {
    std::vector<AdapterSpec> adapters;

    bool operator==(const AdapterRegistrySpec&) const = default;
};

// The caller's knobs for the path search. Read only (as part of a planning
// request); a default-constructed policy equals one read from `{}`.
struct PlanningPolicy {
    bool allow_lossy = false;
    bool allow_stateful = false;
    bool allow_supervised = false;
    json::SortedSet<std::string> forbidden_adapters;
    json::SortedSet<std::string> preferred_adapters;
    bool require_user_choice_on_ambiguity = true;
    std::optional<json::usize> max_hops;

    bool operator==(const PlanningPolicy&) const = default;
};

// A resolved chain of adapters.
struct AdapterPath {
    std::vector<AdapterSpec> adapters;
    std::uint64_t cost = 0;
    std::uint64_t score = 0;

    bool operator==(const AdapterPath&) const = default;
};

namespace path_issue {
inline constexpr std::string_view no_path = "no_path";
inline constexpr std::string_view cost_overflow = "cost_overflow";
inline constexpr std::string_view ambiguous_path = "ambiguous_path";
// The message of an "ambiguous_path" issue.
inline constexpr std::string_view ambiguous_path_message = "multiple equivalent adapter paths require user choice";
// The search ran out of its work budget: neither a path nor a proof that there
// is none. Callers must fail on it, never read it as "no path".
inline constexpr std::string_view search_limit_exceeded = "search_limit_exceeded";
}  // namespace path_issue

// The outcome of a path search: resolved (a path, no issues) or exactly one issue.
struct PathResolution {
    std::vector<PlanIssue> issues;
    std::optional<AdapterPath> path;
    bool requires_user_choice = false;

    static PathResolution unresolved(std::string code, std::string message, std::vector<std::string> choices);

    bool resolved() const noexcept { return path.has_value(); }
    // True when the search ran out of its work budget (see `PathSearchOptions`).
    bool search_limit_exceeded() const noexcept {
        return !issues.empty() && issues.front().code == path_issue::search_limit_exceeded;
    }

    bool operator==(const PathResolution&) const = default;
};

// Bounds on path searches. Equal-weight parallel or zero-weight adapters can make
// the number of distinct equally good partial paths grow exponentially, and the
// searches of one planning call multiply with its ports, sources and accepted
// pairs; the budget turns that into a prompt, explicit outcome
// ("search_limit_exceeded"). The budget counts work, not states: every state
// pushed, adapter examined, step of the no-reuse test and of pruning's backward
// walk, path kept and byte written into a result (choices, copied adapters), so
// that time and memory stay proportional to it. Every search that completes
// within the budget gives exactly the result of the unbounded search.
struct PathSearchOptions {
    // About a second of searching on a current machine, and a few hundred
    // megabytes at most.
    static constexpr std::uint64_t default_max_work = 100'000'000;
    std::uint64_t max_work = default_max_work;
    // A cap on the states one search pushes, on top of the work budget (no cap by
    // default); lets a test pin how many states a search needs.
    std::uint64_t max_states = std::numeric_limits<std::uint64_t>::max();
    // Skip adapters that provably cannot lie on a path to the target. Never changes
    // a result, and never costs the budget a unit the unpruned search would not
    // spend: at every budget, a search ends pruned exactly as it ends unpruned
    // whenever that ends within the budget. Off only to cross-check that claim.
    bool prune = true;
    // Whether a search that finds no path must tell "cost_overflow" from
    // "no_path" exactly (an overflow on the way to a dead end that pruning would
    // skip still sets the code): where some sum can overflow at all, such a
    // search is not pruned. Callers that drop both outcomes alike turn it off;
    // the code they then see for a missing path is only a lower bound.
    bool settle_overflow = true;
    // Bits of the labels that order equally good paths in constant time (0 to 64).
    // Never changes a result; fewer only to exercise the exact fallback.
    unsigned path_label_bits = 64;
    // When set, receives the work of the searches (or the planning call) these
    // options went to, once they end: the units drawn from the budget (all of
    // it when it ran out), those pruning's walks drew from their own allowance,
    // and the most that allowance ran ahead of the units drawn (the largest
    // bound of an expansion a walk ran before): walks never exceed the units
    // drawn plus that, plus one walked adapter's units. A call's work does not
    // depend on its budget until the budget runs out, so the units drawn by a
    // call that completes are the least budget it completes with; tests and
    // benchmarks read it.
    struct Work {
        std::uint64_t budget = 0;
        std::uint64_t walks = 0;
        std::uint64_t ahead = 0;
    };
    Work* work = nullptr;
};

// The equally good paths of an ambiguous outcome, as the registry's own adapters:
// each path's adapters in order, one path after another, in the order of the
// choices they make.
class EquivalentPaths {
public:
    std::size_t size() const noexcept { return ends_.size(); }
    bool empty() const noexcept { return ends_.empty(); }
    // The adapters of path `i`.
    std::span<const AdapterSpec* const> operator[](std::size_t i) const noexcept {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return {adapters_.data() + begin, ends_[i] - begin};
    }
    // The choices they make: each path's ids joined by " -> ", and the bytes of
    // those texts in all.
    std::vector<std::string> choices() const;
    std::uint64_t choice_bytes() const noexcept;

    void add(std::span<const AdapterSpec* const> path);

private:
    std::vector<const AdapterSpec*> adapters_;
    std::vector<std::size_t> ends_;  // where each path ends in `adapters_`
};

// A search's outcome for a caller that writes what it finds itself (the planner):
// the path as the registry's own adapters rather than copies, and for an
// ambiguous outcome the equivalent paths rather than the issue written out, so
// that a caller that drops the outcome never pays for its text.
struct PathRoute {
    // Empty when resolved, ambiguous or not; else the one issue of `find_path`:
    // "search_limit_exceeded" with its message, or "no_path" or "cost_overflow"
    // with its code alone (a caller that drops a missing path never pays for a
    // message quoting the four texts of the pair).
    std::vector<PlanIssue> issues;
    // The path taken: the best one, or for an ambiguous outcome the first of the
    // equivalent ones (what a policy without the user-choice requirement takes).
    std::optional<std::vector<const AdapterSpec*>> adapters;
    // An ambiguous outcome under a policy that requires a choice: every equivalent
    // path (two or more). Empty otherwise.
    EquivalentPaths equivalent;

    bool requires_user_choice() const noexcept { return !equivalent.empty(); }
    bool search_limit_exceeded() const noexcept {
        return !issues.empty() && issues.front().code == path_issue::search_limit_exceeded;
    }
};

// The "ambiguous_path" issue of equivalent paths, with one choice per path.
PlanIssue ambiguous_path_issue(const EquivalentPaths& paths);

class AdapterRegistry;

// The searches of one call over one registry and one policy: the graph is built
// once, on the first search that needs it, what pruning learns about a target is
// kept for the later searches towards it, and every search draws on one work
// budget, so that a call running many searches is bounded as a whole. The
// registry must outlive the searcher; the policy is copied.
class PathSearcher {
public:
    PathSearcher(const AdapterRegistry& registry, const PlanningPolicy& policy, const PathSearchOptions& options = {});
    ~PathSearcher();
    PathSearcher(const PathSearcher&) = delete;
    PathSearcher& operator=(const PathSearcher&) = delete;

    // `AdapterRegistry::find_path` under this searcher's policy and budget. With
    // `keep_first_path`, an ambiguous outcome also carries the first of the
    // equivalent paths (the one a policy without the user-choice requirement
    // would take), so that a caller needs no second search for it.
    PathResolution find_path(const TypeId& from_type, const RepresentationId& from_representation,
                             const TypeId& to_type, const RepresentationId& to_representation,
                             bool keep_first_path = false);
    // The same search, its path left in the registry (no adapter is copied); an
    // ambiguous outcome brings its first path along, and its equivalent paths in
    // place of the issue's text.
    PathRoute find_route(const TypeId& from_type, const RepresentationId& from_representation,
                         const TypeId& to_type, const RepresentationId& to_representation);

    // Draws `units` of work from the budget for work done by the caller; false
    // once the budget is spent (it then stays spent).
    bool spend(std::uint64_t units) noexcept;
    std::uint64_t max_work() const noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The validated adapters, keyed and ordered by id (bytewise).
class AdapterRegistry {
public:
    AdapterRegistry() = default;

    // Registers the adapters in list order; the first failure is returned and
    // nothing is built.
    static Result<AdapterRegistry> from_spec(AdapterRegistrySpec spec);

    // Validates the spec, rejects a duplicate id, then stores it. On failure the
    // registry is unchanged.
    Status register_adapter(AdapterSpec spec);

    // In ascending byte order of the ids.
    const std::vector<AdapterSpec>& adapters() const noexcept { return adapters_; }
    std::size_t size() const noexcept { return adapters_.size(); }
    bool empty() const noexcept { return adapters_.empty(); }
    const AdapterSpec* find(std::string_view id) const;

    // The best chain of adapters from one node to another under `policy`. Never
    // fails with an error: every failure is the one issue of the result.
    PathResolution find_path(const TypeId& from_type, const RepresentationId& from_representation,
                             const TypeId& to_type, const RepresentationId& to_representation,
                             const PlanningPolicy& policy) const {
        return find_path(from_type, from_representation, to_type, to_representation, policy, PathSearchOptions{});
    }
    PathResolution find_path(const TypeId& from_type, const RepresentationId& from_representation,
                             const TypeId& to_type, const RepresentationId& to_representation,
                             const PlanningPolicy& policy, const PathSearchOptions& options) const;

private:
    std::vector<AdapterSpec> adapters_;  // sorted by id, ids unique
};

namespace adapter {
// The name rule shared by port names ("input port"), adapter ids ("adapter") and
// adapter versions ("adapter version"): not blank, and only ASCII letters, digits
// and "-", ".", "/", ":", "_". No length limit.
Status validate_name(std::string_view label, std::string_view name);

// The default of the fields that read as true when absent.
constexpr bool true_by_default() { return true; }
}  // namespace adapter

}  // namespace veltrinax

namespace veltrinax::json {

template <>
struct Record<InputPortSpec> {
    using P = InputPortSpec;
    static constexpr std::string_view name = "InputPortSpec";
    static constexpr auto fields = std::tuple{
        required("name", &P::name),
        required("accepted_representations", &P::accepted_representations),
        required("accepted_types", &P::accepted_types),
        optional("rank", &P::rank),
        defaulted("multi_source", &P::multi_source),
        defaulted("optional", &P::optional),
    };
};

template <>
struct Record<ModelInputSpec> {
    using M = ModelInputSpec;
    static constexpr std::string_view name = "ModelInputSpec";
    static constexpr auto fields = std::tuple{
        required("ports", &M::ports),
        optional("default_fusion", &M::default_fusion),
    };
};

template <>
struct Record<AdapterSpec> {
    using A = AdapterSpec;
    static constexpr std::string_view name = "AdapterSpec";
    static constexpr auto fields = std::tuple{
        required("id", &A::id),
        required("version", &A::version),
        required("input_type", &A::input_type),
        required("input_representation", &A::input_representation),
        required("output_type", &A::output_type),
        required("output_representation", &A::output_representation),
        required("cost", &A::cost),
        defaulted("lossy", &A::lossy),
        defaulted("supervised", &A::supervised),
        defaulted("stateful", &A::stateful),
        defaulted("deterministic", &A::deterministic, &adapter::true_by_default),
        required("fit_scope", &A::fit_scope),
        defaulted("params", &A::params),
    };
};

template <>
struct Record<AdapterRegistrySpec> {
    static constexpr std::string_view name = "AdapterRegistrySpec";
    static constexpr auto fields = std::tuple{
        defaulted("adapters", &AdapterRegistrySpec::adapters),
    };
};

template <>
struct Record<PlanningPolicy> {
    using P = PlanningPolicy;
    static constexpr std::string_view name = "PlanningPolicy";
    static constexpr auto fields = std::tuple{
        defaulted("allow_lossy", &P::allow_lossy),
        defaulted("allow_stateful", &P::allow_stateful),
        defaulted("allow_supervised", &P::allow_supervised),
        defaulted("forbidden_adapters", &P::forbidden_adapters),
        defaulted("preferred_adapters", &P::preferred_adapters),
        defaulted("require_user_choice_on_ambiguity", &P::require_user_choice_on_ambiguity,
                  &adapter::true_by_default),
        optional("max_hops", &P::max_hops),
    };
};

}  // namespace veltrinax::json
