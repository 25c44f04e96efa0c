#pragma once
#include <gtest/gtest.h>

// Planning calls built as records, for the tests that hold the work budget
// against the plain planner: the builders of their schemas, ports and registries,
// families of crafted registries that make one kind of search work dominate at
// any size, and the module's outcome under a given budget.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "veltrinax/planner.hpp"
#include "plain_planner.hpp"

namespace veltrinax::testing {

struct Shape {
    DatasetSchema schema;
    ModelInputSpec model_input;
    AdapterRegistry registry;
    DataPlanRequest request;
};

// A source of type `type` natively in `rep`.
inline SourceDescriptor source(std::string_view id, std::string_view type, std::string_view rep,
                               std::optional<std::uint64_t> rank = 1) {
    SourceDescriptor s;
    s.id = SourceId::trusted(id);
    s.name = "n";
    s.type_id = TypeId::trusted(type);
    s.modality = "m";
    s.native_representation = ranked_representation(rep, rank);
    s.sample_key = "k";
    return s;
}

inline InputPortSpec port(std::string name, const std::vector<std::string>& reps,
                          const std::vector<std::string>& types = {"t"}) {
    InputPortSpec p;
    p.name = std::move(name);
    for (const std::string& r : reps) p.accepted_representations.push_back(RepresentationId::trusted(r));
    for (const std::string& t : types) p.accepted_types.push_back(TypeId::trusted(t));
    return p;
}

inline InputPortSpec multi(InputPortSpec p) {
    p.multi_source = true;
    return p;
}

inline InputPortSpec optional_port(InputPortSpec p) {
    p.optional = true;
    return p;
}

// The registry must build: a shape is only ever built from valid adapters.
inline Shape shape_of(std::vector<SourceDescriptor> sources, std::vector<InputPortSpec> ports,
                      std::vector<AdapterSpec> adapters, PlanningPolicy policy = {}) {
    Shape s;
    s.schema.dataset_id = "d";
    s.schema.sample_ids = {SampleId::trusted("s1")};
    s.schema.sources = std::move(sources);
    s.model_input.ports = std::move(ports);
    auto registry = AdapterRegistry::from_spec(AdapterRegistrySpec{std::move(adapters)});
    if (registry) s.registry = std::move(*registry);
    s.request.id = "plan";
    s.request.planning_policy = std::move(policy);
    return s;
}

// One source in t/n0 and one port accepting t/<to>.
inline Shape one_search(std::vector<AdapterSpec> adapters, std::string_view to, PlanningPolicy policy = {}) {
    return shape_of({source("s", "t", "n0")}, {port("p", {std::string(to)})}, std::move(adapters), std::move(policy));
}

inline std::string padded(std::uint64_t i, std::size_t width = 5) {
    std::string n = std::to_string(i);
    if (n.size() < width) n.insert(0, width - n.size(), '0');
    return n;
}

inline std::string node(std::string_view prefix, std::uint64_t i) {
    std::string out(prefix);
    out += std::to_string(i);
    return out;
}

inline std::vector<AdapterSpec> joined(std::vector<AdapterSpec> a, const std::vector<AdapterSpec>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// `stages` hops from t/<start>, each by `width` parallel adapters of equal cost
// (or, unless `equal`, dearer after the first), ids padded to `id_width`; the
// last node is t/<prefix><stages>.
inline std::vector<AdapterSpec> parallel_stages(int stages, std::string_view start, std::string_view prefix,
                                                int width = 2, bool equal = true, std::size_t id_width = 0) {
    std::vector<AdapterSpec> out;
    std::string from = "t/" + std::string(start);
    for (int k = 0; k < stages; ++k) {
        const std::string to = node("t/" + std::string(prefix), k + 1);
        for (int way = 0; way < width; ++way) {
            std::string id = std::string(prefix) + "." + padded(k, 2) + "." + std::to_string(way);
            if (id.size() < id_width) id.append(id_width - id.size(), 'x');
            out.push_back(adapter_between(id, from, to, equal || way == 0 ? 1 : 2));
        }
        from = to;
    }
    return out;
}

// `count` adapters t/<prefix>i -> t/<prefix>i+1 (t/<start> in place of the first
// node), back to the first node when `closed`; and the last node.
inline std::pair<std::vector<AdapterSpec>, std::string> ring(int count, std::string_view start,
                                                             std::string_view prefix, bool closed = true) {
    std::vector<AdapterSpec> out;
    auto at = [&](int i) { return i == 0 ? "t/" + std::string(start) : node("t/" + std::string(prefix), i); };
    const int last = closed ? count : count - 1;
    for (int i = 0; i < last; ++i) {
        out.push_back(adapter_between(std::string(prefix) + "." + padded(i, 6), at(i), at((i + 1) % count)));
    }
    return {out, at(count - 1)};
}

// ---------------------------------------------------------------------------
// Families that grow: each makes one kind of work dominate at any size.
// ---------------------------------------------------------------------------

// A ring t/n0 -> t/r1 -> ... -> t/n0 of `ring` adapters of cost 1, explored in
// full before an exit of cost 10^8 that leads to `goals` targets, one required
// port each: every goal directly behind its own exit from t/n0, all behind one
// node t/e, or each behind a node of its own. Beside it, unless `side` is 0, a
// cycle of `side` adapters entered from t/n0 at a cost of 10^12 and leading back
// to it: never expanded, it lies in the ring's strongly connected component,
// and so in every goal's pruning region, which then far outgrows the searches
// towards it. `dearer` puts a parallel adapter of cost 2 beside every ring
// adapter; `max_hops` limits the paths.
struct RingBeforeExit {
    enum class Exits { direct, one_node, own_nodes };
    int ring = 100;
    int side = 0;
    int goals = 1;
    Exits exits = Exits::one_node;
    bool dearer = false;
    std::optional<std::uint64_t> max_hops = std::nullopt;
};

inline Shape ring_before_exit(const RingBeforeExit& f) {
    constexpr std::uint64_t exit_cost = 100'000'000, side_cost = 1'000'000'000'000;
    std::vector<AdapterSpec> adapters;
    auto ring_node = [&](int i) { return i % f.ring == 0 ? std::string("t/n0") : node("t/r", i); };
    for (int i = 0; i < f.ring; ++i) {
        adapters.push_back(adapter_between("r." + padded(i, 7), ring_node(i), ring_node(i + 1)));
        if (f.dearer) adapters.push_back(adapter_between("r." + padded(i, 7) + ".b", ring_node(i), ring_node(i + 1), 2));
    }
    for (int i = 0; i < f.side; ++i) {
        const std::string from = i == 0 ? "t/n0" : node("t/c", i);
        const std::string to = i + 1 == f.side ? "t/n0" : node("t/c", i + 1);
        adapters.push_back(adapter_between("c." + padded(i, 7), from, to, i == 0 ? side_cost : 1));
    }
    std::vector<InputPortSpec> ports;
    if (f.exits == RingBeforeExit::Exits::one_node) adapters.push_back(adapter_between("e", "t/n0", "t/e", exit_cost));
    for (int j = 0; j < f.goals; ++j) {
        const std::string goal = node("g", j);
        switch (f.exits) {
            case RingBeforeExit::Exits::direct:
                adapters.push_back(adapter_between("g." + padded(j), "t/n0", "t/" + goal, exit_cost));
                break;
            case RingBeforeExit::Exits::one_node:
                adapters.push_back(adapter_between("g." + padded(j), "t/e", "t/" + goal));
                break;
            case RingBeforeExit::Exits::own_nodes:
                adapters.push_back(adapter_between("e." + padded(j), "t/n0", node("t/e", j), exit_cost));
                adapters.push_back(adapter_between("g." + padded(j), node("t/e", j), "t/" + goal));
                break;
        }
        ports.push_back(port("p" + padded(j), {goal}));
    }
    PlanningPolicy policy;
    if (f.max_hops) policy.max_hops = json::usize{*f.max_hops};
    return shape_of({source("s", "t", "n0")}, std::move(ports), std::move(adapters), std::move(policy));
}

// From t/n0, `prefix` nodes each left by `ways` parallel adapters to the next,
// one of cost 1 and the others of cost 2: one path survives, but the ways split
// the path labels until they run out (3^41 > 2^64). Returns the last node.
inline std::string exhausting_prefix(std::vector<AdapterSpec>& adapters, int prefix, int ways = 3) {
    auto at = [](int i) { return i == 0 ? std::string("t/n0") : node("t/a", i); };
    for (int i = 0; i < prefix; ++i) {
        for (int w = 0; w < ways; ++w) {
            adapters.push_back(adapter_between("a." + padded(i, 4) + "." + padded(w, 6), at(i), at(i + 1), w == 0 ? 1 : 2));
        }
    }
    return at(prefix);
}

// A prefix that exhausts the labels (see `exhausting_prefix`), then `chains`
// equal chains of `length` adapters from its end into a hub, `hubs` times over;
// with `length` 1 the chains are `hubs` stages of parallel adapters. Their
// equally good paths tie on labels, and the frontier orders them by their
// paths. The policy takes the first path rather than requiring a choice.
struct LabelExhausting {
    int prefix = 41;
    int ways = 3;
    int chains = 2;
    int length = 1;
    int hubs = 10;
};

inline Shape label_exhausting(const LabelExhausting& f) {
    std::vector<AdapterSpec> adapters;
    std::string hub = exhausting_prefix(adapters, f.prefix, f.ways);
    for (int h = 0; h < f.hubs; ++h) {
        const std::string next = node("t/h", h + 1);
        for (int c = 0; c < f.chains; ++c) {
            std::string from = hub;
            for (int k = 0; k < f.length; ++k) {
                const std::string to = k + 1 == f.length ? next : "t/k" + padded(h, 4) + "." + padded(c, 6) + "." + padded(k, 6);
                adapters.push_back(adapter_between("k." + padded(h, 4) + "." + padded(c, 6) + "." + padded(k, 6), from, to));
                from = to;
            }
        }
        hub = next;
    }
    PlanningPolicy policy;
    policy.require_user_choice_on_ambiguity = false;
    return one_search(std::move(adapters), hub.substr(2), std::move(policy));
}

// After the same prefix, `layers` layers of `width` nodes, each node joined to
// every node of the next layer by one adapter: width^layers equally good paths,
// whose states reach each node of a layer from every node of the layer before.
// Expanded node by node, they are made in an order far from their paths' order,
// so the frontier's comparisons of tied paths dominate the search.
inline Shape complete_layers(int prefix, int width, int layers) {
    std::vector<AdapterSpec> adapters;
    const std::string start = exhausting_prefix(adapters, prefix);
    auto at = [&](int layer, int k) { return layer == 0 ? start : "t/l" + padded(layer, 3) + "." + padded(k, 3); };
    for (int layer = 0; layer < layers; ++layer) {
        for (int from = 0; from < (layer == 0 ? 1 : width); ++from) {
            for (int to = 0; to < width; ++to) {
                adapters.push_back(adapter_between("l." + padded(layer, 3) + "." + padded(from, 3) + "." + padded(to, 3),
                                                   at(layer, from), at(layer + 1, to)));
            }
        }
    }
    PlanningPolicy policy;
    policy.require_user_choice_on_ambiguity = false;
    return one_search(std::move(adapters), at(layers, 0).substr(2), std::move(policy));
}

// After the same prefix, two equal tails of `tail` adapters through nodes of
// their own, the first into t/x and the second into t/y; each of x and y leads
// to every one of `fan` nodes t/m<i>, and each of those to t/q. At t/q the fan's
// 2 * fan tied paths are made node by node, alternating between the two tails,
// while in path order every path of the first tail comes first: ordering them
// compares paths that part right after the prefix, each climbing a whole tail.
inline Shape split_tails(int prefix, int tail, int fan) {
    std::vector<AdapterSpec> adapters;
    const std::string start = exhausting_prefix(adapters, prefix);
    for (const char side : {'x', 'y'}) {
        std::string from = start;
        for (int k = 0; k < tail; ++k) {
            const std::string to = k + 1 == tail ? std::string("t/") + side : "t/" + std::string(1, side) + padded(k, 7);
            adapters.push_back(adapter_between("b." + std::string(1, side) + "." + padded(k, 7), from, to));
            from = to;
        }
        for (int i = 0; i < fan; ++i) {
            adapters.push_back(adapter_between("c." + std::string(1, side) + "." + padded(i, 7), std::string("t/") + side,
                                               "t/m" + padded(i, 7)));
        }
    }
    for (int i = 0; i < fan; ++i) adapters.push_back(adapter_between("d." + padded(i, 7), "t/m" + padded(i, 7), "t/q"));
    PlanningPolicy policy;
    policy.require_user_choice_on_ambiguity = false;
    return one_search(std::move(adapters), "q", std::move(policy));
}

// A random registry whose paths run deep: `nodes` nodes on a few long cycles
// (so that components are large), `extra` more adapters between random nodes,
// costs small and now and then zero, parallel adapters now and then; ids in
// structure order or, when `scattered`, random, so that the order of a node's
// adapters and of a component's inner indices follows nothing in the graph.
// One source, and `ports` optional ports towards random nodes, then one the
// source feeds natively.
inline Shape random_cycles(std::uint64_t seed, int nodes, int extra, int ports, bool scattered,
                           std::optional<std::uint64_t> max_hops = std::nullopt) {
    std::mt19937_64 rng(seed);
    auto pick = [&](std::uint64_t n) { return rng() % n; };
    auto at = [&](std::uint64_t i) { return i == 0 ? std::string("t/n0") : node("t/v", i); };
    std::vector<std::uint64_t> order(static_cast<std::size_t>(nodes));
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::shuffle(order.begin() + 1, order.end(), rng);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ends;
    // A few cycles through consecutive runs of the shuffled nodes, each closed.
    const std::uint64_t cycles = 1 + pick(4);
    const std::uint64_t per = std::max<std::uint64_t>(2, order.size() / cycles);
    for (std::uint64_t begin = 0; begin < order.size(); begin += per) {
        const std::uint64_t end = std::min<std::uint64_t>(order.size(), begin + per);
        for (std::uint64_t i = begin; i + 1 < end; ++i) ends.emplace_back(order[i], order[i + 1]);
        if (end - begin > 1) ends.emplace_back(order[end - 1], order[begin]);
    }
    for (int i = 0; i < extra; ++i) ends.emplace_back(pick(order.size()), pick(order.size()));
    const std::uint64_t costs[] = {0, 1, 1, 1, 2, 3, 5, 8};
    std::vector<AdapterSpec> adapters;
    for (std::size_t k = 0; k < ends.size(); ++k) {
        const std::uint64_t cost = costs[pick(8)];
        const int copies = pick(8) == 0 ? 2 : 1;
        for (int c = 0; c < copies; ++c) {
            const std::string id = scattered ? "x" + padded(rng() % 1'000'000'000'000, 12) + "." + std::to_string(k) + "." +
                                                   std::to_string(c)
                                             : "x" + padded(k, 9) + "." + std::to_string(c);
            adapters.push_back(adapter_between(id, at(ends[k].first), at(ends[k].second), c == 0 ? cost : cost + pick(2)));
        }
    }
    std::vector<InputPortSpec> list;
    for (int j = 0; j < ports; ++j) {
        list.push_back(optional_port(port("p" + padded(j), {at(pick(order.size())).substr(2)})));
    }
    list.push_back(port("native", {"n0"}));
    PlanningPolicy policy;
    policy.max_hops = max_hops ? std::optional<json::usize>(json::usize{*max_hops}) : std::nullopt;
    return shape_of({source("s", "t", "n0")}, std::move(list), std::move(adapters), std::move(policy));
}

// Sources each left by `dead` adapters to dead ends (nodes nothing leaves),
// beside `targets` optional ports of type T, each wanting a node T/x<i> of its
// own whose region is small: entered only by `size` self-loops, or by a chain
// of `size` adapters from a node of its own, or by one adapter from a hub that
// a chain of `size` adapters enters (when `reached`, from every source, so that
// every target is planned through it), multi-source when there are several
// sources; a last port takes the first source as it is. Every search meets the whole fan-out unless its target's region is
// known before the source is expanded.
struct SmallRegions {
    enum class Kind { self_loops, chain, hub };
    Kind kind = Kind::self_loops;
    int dead = 3000;
    int targets = 1000;
    int size = 4;
    int sources = 1;
    bool reached = false;
    std::optional<std::uint64_t> max_hops = std::nullopt;
};

inline Shape small_regions(const SmallRegions& f) {
    std::vector<AdapterSpec> adapters;
    std::vector<SourceDescriptor> sources;
    for (int k = 0; k < f.sources; ++k) {
        const std::string from = node("T/n", k);
        sources.push_back(source("s" + padded(k, 3), "T", from.substr(2)));
        for (int i = 0; i < f.dead; ++i) {
            adapters.push_back(adapter_between("d." + padded(k, 3) + "." + padded(i, 6), from, "T/dead" + padded(i, 6)));
        }
        if (f.reached) adapters.push_back(adapter_between("h.in." + padded(k, 3), from, "T/h.0000"));
    }
    // `size` adapters from T/<prefix>.0000 on, the last into `into`.
    auto chain = [&](const std::string& prefix, const std::string& into) {
        for (int j = 0; j < f.size; ++j) {
            const std::string to = j + 1 == f.size ? into : "T/" + prefix + "." + padded(j + 1, 4);
            adapters.push_back(adapter_between(prefix + "." + padded(j, 4), "T/" + prefix + "." + padded(j, 4), to));
        }
    };
    if (f.kind == SmallRegions::Kind::hub) chain("h", "T/hub");
    std::vector<InputPortSpec> ports;
    for (int i = 0; i < f.targets; ++i) {
        const std::string target = "x" + padded(i, 5);
        switch (f.kind) {
            case SmallRegions::Kind::self_loops:
                for (int j = 0; j < f.size; ++j) {
                    adapters.push_back(adapter_between("l." + padded(i, 5) + "." + padded(j, 3), "T/" + target, "T/" + target));
                }
                break;
            case SmallRegions::Kind::chain: chain("y" + padded(i, 5), "T/" + target); break;
            case SmallRegions::Kind::hub: adapters.push_back(adapter_between("z." + padded(i, 5), "T/hub", "T/" + target)); break;
        }
        InputPortSpec p = optional_port(port("p" + padded(i, 5), {target}, {"T"}));
        p.multi_source = f.sources > 1;
        ports.push_back(std::move(p));
    }
    ports.push_back(port("native", {"n0"}, {"T"}));
    PlanningPolicy policy;
    if (f.max_hops) policy.max_hops = json::usize{*f.max_hops};
    return shape_of(std::move(sources), std::move(ports), std::move(adapters), std::move(policy));
}

// ---------------------------------------------------------------------------
// The module's outcome under a budget
// ---------------------------------------------------------------------------

inline Result<DataPlan> module_plan(const Shape& s, std::uint64_t max_work, bool prune = true,
                                    PathSearchOptions::Work* work = nullptr) {
    PathSearchOptions options;
    options.max_work = max_work;
    options.prune = prune;
    options.work = work;
    return planner::plan_model_input(s.schema, s.model_input, s.registry, s.request, options);
}

inline std::string outcome(const Result<DataPlan>& p) {
    return p ? json::to_text(*p) : "error: " + p.error().to_string();
}

inline bool out_of_budget(const Result<DataPlan>& p) {
    return !p && p.error().to_string().find("exceeded its limit of") != std::string::npos;
}

// The least budget with which the module completes, when `high` suffices; else
// one more than `high`. A call's work does not depend on its budget until the
// budget runs out, so the units a call that completes draws are that least
// budget (the tests check it at its edge).
inline std::uint64_t least_budget(const Shape& s, std::uint64_t high, bool prune = true,
                                  PathSearchOptions::Work* work = nullptr) {
    PathSearchOptions::Work used;
    if (out_of_budget(module_plan(s, high, prune, &used))) return high + 1;
    if (work != nullptr) *work = used;
    return used.budget;
}

// "" when the texts are equal, byte for byte; else where they first differ, with
// a little of each around it (crafted plans run to megabytes).
inline std::string first_difference(const std::string& got, const std::string& expected) {
    if (got == expected) return "";
    const std::size_t at =
        std::mismatch(got.begin(), got.begin() + std::min(got.size(), expected.size()), expected.begin()).first -
        got.begin();
    const std::size_t from = at < 100 ? 0 : at - 100;
    return "sizes " + std::to_string(got.size()) + " and " + std::to_string(expected.size()) +
           ", first difference at " + std::to_string(at) + ":\n  got      ..." + got.substr(from, 300) +
           "\n  expected ..." + expected.substr(from, 300);
}

// The yardsticks of a shape's call, which must agree whenever both complete.
inline Yardsticks yardsticks(const Shape& s, std::uint64_t give_up_after = UINT64_MAX) {
    Yardsticks y = plain_yardsticks(s.schema, s.model_input, s.registry, s.request, give_up_after);
    if (!y.agree()) {
        EXPECT_EQ(first_difference(outcome(y.regions_known.plan), outcome(y.plain.plan)), "")
            << "knowing the regions changed the plain result";
    }
    return y;
}

// Holds one call to the budget's two-sided property against its yardsticks:
// with three times the lesser of P and P_R (and the fixed allowance) it
// completes with the plain planner's result byte for byte; the units it draws
// are its least budget (one unit less runs out); pruning never needs more
// budget than the unpruned call, and its walks never run further ahead of the
// units drawn than the largest expansion they ran before (and one walked
// adapter). Returns the figures.
inline std::string check_budget(const Shape& s, const Yardsticks& yard) {
    const std::uint64_t bound = budget_bound(yard.units());
    PathSearchOptions::Work pruned;
    const Result<DataPlan> planned = module_plan(s, bound, true, &pruned);
    std::string figures = yard.figures();
    EXPECT_EQ(first_difference(outcome(planned), outcome(yard.plan())), "") << figures;
    if (out_of_budget(planned)) return figures;
    const std::uint64_t least = pruned.budget;
    if (least > 0) {
        EXPECT_TRUE(out_of_budget(module_plan(s, least - 1))) << figures << ", least " << least;
    }
    EXPECT_LE(pruned.walks, pruned.budget + pruned.ahead + 16) << figures << ": the walks outran the searches";
    PathSearchOptions::Work unpruned;
    const std::uint64_t cap = std::max(bound, PathSearchOptions::default_max_work);
    const Result<DataPlan> without = module_plan(s, cap, false, &unpruned);
    auto ratio = [least](std::uint64_t of) {
        return std::to_string(static_cast<double>(least) / static_cast<double>(std::max<std::uint64_t>(of, 1)));
    };
    figures += ", least " + std::to_string(least) + " = " + ratio(yard.plain.units) + " P = " +
               ratio(yard.regions_known.units) + " P_R, walks " + std::to_string(pruned.walks) + " (ahead " +
               std::to_string(pruned.ahead) + "), unpruned " +
               (out_of_budget(without) ? "over " + std::to_string(cap) : std::to_string(unpruned.budget));
    if (out_of_budget(without)) return figures;
    EXPECT_EQ(outcome(without), outcome(yard.plan())) << figures;
    EXPECT_LE(least, unpruned.budget) << figures << ": pruning needs more budget than the unpruned call";
    if (unpruned.budget > 0) {
        EXPECT_TRUE(out_of_budget(module_plan(s, unpruned.budget - 1, false))) << figures;
    }
    return figures;
}

}  // namespace veltrinax::testing
