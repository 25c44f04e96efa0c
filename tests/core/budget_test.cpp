// The planner's work budget against the work of the plain rules. P is the work
// the plain planner counts for a call (plain_planner.hpp); the budget must never
// refuse a call that P says is small: with 3P (and a fixed allowance) the module
// completes, and whenever it completes, with any budget, it gives the plain
// planner's result byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "veltrinax/planner.hpp"
#include "plain_planner.hpp"
#include "planning_shapes.hpp"

namespace {

using namespace veltrinax;
using namespace veltrinax::testing;

// ---------------------------------------------------------------------------
// Random families
// ---------------------------------------------------------------------------

// A small planning call: a few nodes over two types, parallel adapters, cycles
// and self-loops, ties and zero costs, long ids now and then, every flag and
// policy knob, several sources and ports.
Shape random_shape(std::mt19937_64& rng) {
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    auto one_in = [&](std::size_t n) { return pick(n) == 0; };
    // Plain representations, built-in ones of rank 1, 2 and 3, and now and then one
    // as long as an identifier may be.
    std::vector<std::string> reps = {"a", "b", "c", "d", "text_raw", "tabular_numeric", "gray_image"};
    if (one_in(5)) reps.push_back(std::string(128, 'l'));
    std::shuffle(reps.begin(), reps.end(), rng);
    reps.resize(3 + pick(2));
    const std::vector<std::string> types = {"t", "t", "u"};
    std::vector<std::string> nodes;
    for (std::size_t i = 0, n = 2 + pick(4); i < n; ++i) {
        const std::string& type = types[pick(3)];  // drawn before the representation, whatever the compiler
        nodes.push_back(type + "/" + reps[pick(reps.size())]);
    }

    const std::vector<std::uint64_t> costs = {0, 1, 1, 1, 1, 2, 3, 5, 1'000'000};
    std::vector<AdapterSpec> adapters;
    std::vector<std::string> forbidden, preferred;
    for (std::size_t i = 0, n = 1 + pick(12); i < n; ++i) {
        std::string id = std::string(1, static_cast<char>('a' + pick(26))) + std::to_string(i);
        if (one_in(12)) id += std::string(300, 'x');
        std::string from = nodes[pick(nodes.size())], to = one_in(6) ? from : nodes[pick(nodes.size())];
        std::uint64_t cost = one_in(40) ? UINT64_MAX - 1 : costs[pick(costs.size())];
        std::string flags;
        if (one_in(8)) flags += 'L';
        if (one_in(10)) flags += 'S';
        if (one_in(12)) flags += 'U';
        if (i > 0 && pick(2)) {  // parallel to the one before, of the same weight mostly
            const AdapterSpec& before = adapters.back();
            from = before.input_type.str() + "/" + before.input_representation.str();
            to = before.output_type.str() + "/" + before.output_representation.str();
            if (pick(4)) {
                cost = before.cost;
                flags = std::string(before.lossy ? "L" : "") + (before.stateful ? "S" : "") +
                        (before.supervised ? "U" : "");
            }
        }
        AdapterSpec a = adapter_between(id, from, to, cost, flags);
        if (one_in(5)) a.params.insert_or_assign("k", json::Value::unsigned_integer(pick(1000)));
        if (one_in(5)) a.version = "2.0";
        if (one_in(12)) forbidden.push_back(a.id);
        if (one_in(8)) preferred.push_back(a.id);
        adapters.push_back(std::move(a));
    }
    PlanningPolicy policy;
    policy.allow_lossy = pick(2);
    policy.allow_stateful = pick(2);
    policy.allow_supervised = pick(2);
    policy.require_user_choice_on_ambiguity = !one_in(4);
    policy.forbidden_adapters = json::SortedSet<std::string>::from_items(forbidden);
    policy.preferred_adapters = json::SortedSet<std::string>::from_items(preferred);
    if (one_in(4)) policy.max_hops = json::usize{pick(4)};

    std::vector<std::string> ids = {"s1", "s2", "s3"};
    std::shuffle(ids.begin(), ids.end(), rng);
    std::vector<SourceDescriptor> sources;
    const std::size_t one_or_two = 1 + pick(6) / 3;
    for (std::size_t i = 0, n = one_or_two + pick(6) / 5; i < n; ++i) {
        const std::string& node = nodes[pick(nodes.size())];
        const std::size_t slash = node.find('/');
        // The source's own type id is the one searched from, not its representation's.
        const std::string type = one_in(6) ? types[pick(3)] : node.substr(0, slash);
        const std::optional<std::uint64_t> rank = one_in(4) ? std::nullopt : std::optional<std::uint64_t>(1 + pick(3));
        sources.push_back(source(ids[i], type, node.substr(slash + 1), rank));
    }
    std::vector<InputPortSpec> ports;
    for (std::size_t i = 0, n = 1 + pick(3); i < n; ++i) {
        std::vector<std::string> accepted, accepted_types;
        for (std::size_t k = 0, m = 1 + pick(3); k < m; ++k) {
            const std::string& node = nodes[pick(nodes.size())];
            accepted.push_back(one_in(10) ? "zz" : node.substr(2));
            if (k == 0 || one_in(3)) accepted_types.push_back(k == 0 ? node.substr(0, 1) : types[pick(3)]);
        }
        const std::string name = (one_in(10) ? std::string(200, 'p') : "p") + std::to_string(i);
        InputPortSpec p = port(name, accepted, accepted_types);
        if (one_in(3)) p.rank = json::usize{1 + pick(3)};
        p.multi_source = pick(2);
        p.optional = one_in(3);
        ports.push_back(std::move(p));
    }
    Shape s = shape_of(std::move(sources), std::move(ports), std::move(adapters), std::move(policy));
    if (one_in(4)) {
        std::vector<SourceId> asked;
        for (const SourceDescriptor& src : s.schema.sources) {
            if (!one_in(3)) asked.push_back(src.id);
        }
        std::shuffle(asked.begin(), asked.end(), rng);
        if (one_in(15) && !asked.empty()) asked.push_back(asked.front());
        if (one_in(15)) asked.push_back(SourceId::trusted("s9"));
        s.request.source_ids = std::move(asked);
    }
    if (one_in(5)) s.model_input.default_fusion = *json::parse(R"({"alignment":"outer"})");
    if (one_in(25)) s.model_input.default_fusion = *json::parse(R"({"alignment":null})");
    return s;
}

// What the draw produced, so that a test can prove it covered every outcome.
struct Coverage {
    int plans = 0, errors = 0, ambiguous = 0, unverified = 0, aligned = 0, adapted = 0;

    void add(const Result<DataPlan>& p) {
        if (!p) {
            ++errors;
            return;
        }
        ++plans;
        for (const PlanIssue& issue : p->issues) {
            ambiguous += issue.code == "ambiguous_path";
            unverified += issue.code == "unverified_rank";
        }
        for (const DataPlanStep& step : p->steps) {
            aligned += step.kind == DataPlanStepKind::align;
            adapted += step.kind == DataPlanStepKind::adapt;
        }
    }
};

// Runs `check` on `trials` random shapes with their yardsticks. A shape whose
// plain planning passes a few hundred thousand units either way (equally good
// paths can multiply even in a small registry) is left out: it is no call that
// the plain rules do in a few steps, and the plain planner, copying whole
// paths, would take most of the test's time on it. Few may be left out.
template <class Check>
void for_random_shapes(std::uint64_t seed, int trials, Check check) {
    constexpr std::uint64_t plain_limit = 300'000;
    std::mt19937_64 rng(seed);
    int left_out = 0;
    for (int trial = 0; trial < trials; ++trial) {
        const Shape s = random_shape(rng);
        const Yardsticks yard = yardsticks(s, plain_limit);
        if (yard.gave_up()) {
            ++left_out;
            continue;
        }
        check("trial " + std::to_string(trial) + ": " + yard.figures(), s, yard, rng);
    }
    EXPECT_LT(left_out, trials / 50);
}

TEST(BudgetRandomShapes, WithThreeTimesThePlainWorkTheModuleGivesThePlainResult) {
    Coverage coverage;
    int regions_less = 0;
    for_random_shapes(20261208, 1500, [&](const std::string& label, const Shape& s, const Yardsticks& yard, auto&) {
        const std::uint64_t budget = budget_bound(yard.units());
        EXPECT_EQ(outcome(module_plan(s, budget)), outcome(yard.plan())) << label << ", budget " << budget;
        coverage.add(yard.plan());
        regions_less += !yard.plain.gave_up && yard.regions_known.units < yard.plain.units;
    });
    // Knowing the regions must be the lesser yardstick often enough to matter.
    EXPECT_GT(regions_less, 150);
    // The draw must reach every part of the planner, or the comparison proves little.
    EXPECT_GT(coverage.plans, 350);
    EXPECT_GT(coverage.errors, 500);
    EXPECT_GT(coverage.ambiguous, 30);
    EXPECT_GT(coverage.unverified, 90);
    EXPECT_GT(coverage.aligned, 75);
    EXPECT_GT(coverage.adapted, 200);
}

TEST(BudgetRandomShapes, AnyBudgetGivesThePlainResultOrTheLimitAndTheLimitOnlyAboveAThirdOfIt) {
    int limited = 0, completed_below_bound = 0, saved_by_pruning = 0;
    for_random_shapes(77, 1500, [&](const std::string& label, const Shape& s, const Yardsticks& yard, auto& rng) {
        const std::string expected = outcome(yard.plan());
        // One budget below the bound and one from the bound up to twice it, with
        // pruning and without: pruning may complete where the plain order of work
        // runs out, never the other way round.
        const std::uint64_t b = budget_bound(yard.units());
        for (const std::uint64_t budget : {rng() % b, b + rng() % b}) {
            const Result<DataPlan> got = module_plan(s, budget), unpruned = module_plan(s, budget, false);
            const std::string at = label + ", budget " + std::to_string(budget);
            if (out_of_budget(got)) {
                ++limited;
                EXPECT_LT(budget, b) << at << ": " << outcome(got);
                EXPECT_NE(outcome(got).find("limit of " + std::to_string(budget) + " work units"), std::string::npos)
                    << at << ": " << outcome(got);
                EXPECT_TRUE(out_of_budget(unpruned)) << at << ": pruning refused what the unpruned call completes";
            } else {
                completed_below_bound += budget < b;
                EXPECT_EQ(outcome(got), expected) << at;
                saved_by_pruning += out_of_budget(unpruned);
                if (!out_of_budget(unpruned)) {
                    EXPECT_EQ(outcome(unpruned), expected) << at;
                }
            }
        }
    });
    // Both sides of the bound must be reached.
    EXPECT_GT(limited, 200);
    EXPECT_GT(completed_below_bound, 700);
    EXPECT_GT(saved_by_pruning, 10);
}

TEST(BudgetRandomShapes, TheUnitsDrawnAreTheLeastBudgetAndPruningNeverNeedsMore) {
    // A call's work does not depend on its budget until the budget runs out, so
    // its least budgets with and without pruning, and its outcomes there, decide
    // the matter for every budget at once.
    int pruning_saved = 0;
    for_random_shapes(4242, 600, [&](const std::string& label, const Shape& s, const Yardsticks& yard, auto&) {
        SCOPED_TRACE(label);
        check_budget(s, yard);
        const std::uint64_t b = budget_bound(yard.units());
        pruning_saved += least_budget(s, b) < least_budget(s, b, false);
    });
    EXPECT_GT(pruning_saved, 50);
}

// ---------------------------------------------------------------------------
// The yardstick
// ---------------------------------------------------------------------------

TEST(BudgetYardstick, ThePlainSearchCountsTheComparisonsAnyOrderOfTiedPathsNeeds) {
    // After a prefix of `prefix` adapters (one surviving way each), `stages`
    // stages of two equal ways: at stage j, 2^j equally good paths at one node,
    // all popped. Whatever compares them, every two of them adjacent in path
    // order were compared with each other, and the plain rules compare paths
    // from their first element: the pair of paths i - 1 and i (binary numbers of
    // j digits after the prefix) shares prefix + j - 1 - ctz(i) elements, so
    // comparing it takes prefix + j - ctz(i) pairs of elements, at 2 units each.
    for (const int prefix : {0, 10, 41}) {
        for (const int stages : {1, 6, 11}) {
            const Shape s = label_exhausting({.prefix = prefix, .hubs = stages});
            const PlainSearch r = plain_search(s.registry, "t/n0", "t/h" + std::to_string(stages), s.request.planning_policy);
            std::uint64_t comparisons = 0;
            for (int j = 1; j <= stages; ++j) {
                for (std::uint64_t i = 1; i < (std::uint64_t{1} << j); ++i) {
                    comparisons += 2 * static_cast<std::uint64_t>(prefix + j - std::countr_zero(i));
                }
            }
            ASSERT_TRUE(r.result.path.has_value());
            EXPECT_GE(r.units, plain_units::search + plain_units::pushed * r.pushed + comparisons)
                << "prefix " << prefix << ", stages " << stages;
        }
    }
}

// ---------------------------------------------------------------------------
// Crafted shapes: few, heavier, each built to make one kind of work dominate
// ---------------------------------------------------------------------------

struct Crafted {
    std::string name;
    std::function<Shape()> make;
};

void PrintTo(const Crafted& c, std::ostream* out) { *out << c.name; }

// The hub and x form one strongly connected component of n + 1 adapters, so every
// adapter examined at the hub lies inside it; all but the first hub -> x adapter
// lose to it on score, each examined once and rejected.
Shape hub_in_one_component(int n, int ports) {
    std::vector<AdapterSpec> adapters = {adapter_between("a.in", "T/n0", "T/hub"), adapter_between("a.out", "T/hub", "T/t"),
                                         adapter_between("x.back", "T/x", "T/hub")};
    for (int i = 0; i < n; ++i) adapters.push_back(adapter_between("x." + padded(i), "T/hub", "T/x", i == 0 ? 1 : 2));
    std::vector<InputPortSpec> list;
    for (int j = 0; j < ports; ++j) list.push_back(port("p" + padded(j, 4), {"t"}, {"T"}));
    return shape_of({source("s", "T", "n0")}, list, adapters);
}

// s1 reaches every accepted representation of a multi-source port through two
// equal adapters with long ids; s2 reaches only the last. The common pair
// resolves s1 ambiguously at each representation before s2 fails there; only the
// last resolution, and its choices, are kept.
Shape dropped_choices(int reps, std::size_t id_bytes) {
    std::vector<AdapterSpec> adapters = {adapter_between(std::string(id_bytes, 'w') + ".1", "T/n0", "T/hub"),
                                         adapter_between(std::string(id_bytes, 'w') + ".2", "T/n0", "T/hub")};
    std::vector<std::string> listed;
    for (int i = 1; i <= reps; ++i) {
        listed.push_back("r" + padded(i, 4));
        adapters.push_back(adapter_between("h." + listed.back(), "T/hub", "T/" + listed.back()));
    }
    adapters.push_back(adapter_between("m.last", "T/m0", "T/" + listed.back()));
    return shape_of({source("s1", "T", "n0"), source("s2", "T", "m0")}, {multi(port("p", listed, {"T"}))},
                    adapters);
}

// A chain from the source reaches the hub at `hops` hop counts, `visits` times
// each, by parallel adapters whose costs fall in id order; every visit examines
// the `fan` adapters hub -> d<j>, each leading on to the target at a cost of
// 10^9 + j, and all visits but the cheapest of each hop count lose them on score.
Shape hub_at_hop_counts(int hops, int fan, int visits) {
    std::vector<AdapterSpec> adapters;
    auto chain = [](int i) { return i == 0 ? std::string("t/n0") : node("t/c", i); };
    for (int i = 0; i + 1 < hops; ++i) adapters.push_back(adapter_between("c." + padded(i, 3), chain(i), chain(i + 1)));
    for (int i = 0; i < hops; ++i) {
        for (int k = 0; k < visits; ++k) {
            adapters.push_back(adapter_between("h." + padded(i, 3) + "." + padded(k, 4), chain(i), "t/hub", 10'000 - 10 * k));
        }
    }
    for (int j = 0; j < fan; ++j) {
        adapters.push_back(adapter_between("d." + padded(j, 6), "t/hub", "t/d" + padded(j, 6)));
        adapters.push_back(adapter_between("e." + padded(j, 6), "t/d" + padded(j, 6), "t/target", 1'000'000'000 + j));
    }
    return one_search(adapters, "target");
}

// Optional ports, each accepting a target of its own, all reached through one
// chain of n adapters that the source never reaches, while the source splits
// into 2^stages equal dead paths; a last port the source feeds natively.
Shape regions_through_chain(int n, int ports, int stages) {
    std::vector<AdapterSpec> adapters = parallel_stages(stages, "n0", "w");
    for (int i = 0; i < n; ++i) adapters.push_back(adapter_between("y." + padded(i, 6), node("t/y", i), node("t/y", i + 1)));
    std::vector<InputPortSpec> list;
    for (int j = 0; j < ports; ++j) {
        adapters.push_back(adapter_between("z." + padded(j, 3), node("t/y", n), "t/z" + padded(j, 3)));
        list.push_back(optional_port(port("p" + padded(j, 3), {"z" + padded(j, 3)})));
    }
    list.push_back(port("last", {"n0"}));
    return shape_of({source("s", "t", "n0")}, list, adapters);
}

// Ports each accepting first a representation of its own that the source cannot
// reach, then one it reaches through one adapter; a hub leads to all of them, and
// `dead` adapters the source never reaches lead into the hub, in one of four
// shapes.
Shape dead_into_hub(std::string_view kind, int dead, int ports) {
    std::vector<AdapterSpec> adapters = {adapter_between("direct", "t/r0", "t/t"), adapter_between("hub.t", "t/hub", "t/t")};
    for (int i = 0; i < dead; ++i) {
        const std::string n = std::to_string(i);
        if (kind == "fan_in") adapters.push_back(adapter_between("x." + n, node("t/x", i), "t/hub"));
        if (kind == "chain") {
            adapters.push_back(adapter_between("y." + n, node("t/y", i), i + 1 == dead ? "t/hub" : node("t/y", i + 1)));
        }
        if (kind == "ring") adapters.push_back(adapter_between("q." + n, node("t/q", i), node("t/q", (i + 1) % dead)));
        // Two parallel ways a stage: 2^(dead / 2) paths.
        if (kind == "ladder") {
            const int stage = i / 2;
            const std::string to = 2 * stage + 2 >= dead ? "t/hub" : node("t/l", stage + 1);
            adapters.push_back(adapter_between("l." + n, node("t/l", stage), to));
        }
    }
    if (kind == "ring") adapters.push_back(adapter_between("z.ring", "t/q0", "t/hub"));
    std::vector<InputPortSpec> list;
    for (int i = 0; i < ports; ++i) {
        const std::string own = node("z", i);
        adapters.push_back(adapter_between("hub." + own, "t/hub", "t/" + own));
        list.push_back(port(node("p", i), {own, "t"}));
    }
    return shape_of({source("s", "t", "r0")}, list, adapters);
}

// 2n ports accepting T/t, fed by one adapter, beside n adapters that reach T/t
// from nodes the source never reaches (for the hub, through a hub that also leads
// to a representation of each port's own, which the port tries first).
Shape dead_into_target(std::string_view kind, int n) {
    const int ports = 2 * n;
    std::vector<AdapterSpec> adapters = {adapter_between("direct", "T/n0", "T/t")};
    std::vector<std::vector<std::string>> accepted(ports, std::vector<std::string>{"t"});
    for (int i = 0; i < n; ++i) {
        const std::string id = padded(i);
        if (kind == "fan_in") adapters.push_back(adapter_between("x." + id, node("T/x", i), "T/t"));
        if (kind == "chain") {
            adapters.push_back(adapter_between("y." + id, node("T/y", i), i + 1 == n ? "T/t" : node("T/y", i + 1)));
        }
        if (kind == "ring") adapters.push_back(adapter_between("r." + id, node("T/r", i), node("T/r", (i + 1) % n)));
        if (kind == "hub") adapters.push_back(adapter_between("x." + id, node("T/x", i), "T/h"));
    }
    if (kind == "ring") adapters.push_back(adapter_between("r.exit", "T/r0", "T/t"));
    if (kind == "hub") {
        adapters.push_back(adapter_between("hub", "T/h", "T/t"));
        for (int j = 0; j < ports; ++j) {
            adapters.push_back(adapter_between("hub." + padded(j), "T/h", node("T/z", j)));
            accepted[j] = {node("z", j), "t"};
        }
    }
    std::vector<InputPortSpec> list;
    for (int j = 0; j < ports; ++j) list.push_back(port("p" + padded(j), accepted[j], {"T"}));
    return shape_of({source("src", "T", "n0")}, list, adapters);
}

// Zero-weight self-loops (preferred adapters of cost 0) and a way on: every
// ordering of the loops is a distinct path of score 0.
Shape zero_weight_loops(int loops) {
    std::vector<AdapterSpec> adapters = {adapter_between("exit", "t/n0", "t/goal")};
    std::vector<std::string> preferred;
    for (int i = 0; i < loops; ++i) {
        preferred.push_back(node("loop.", 100 + i));
        adapters.push_back(adapter_between(preferred.back(), "t/n0", "t/n0", 0));
    }
    PlanningPolicy policy;
    policy.preferred_adapters = json::SortedSet<std::string>::from_items(preferred);
    return one_search(adapters, "goal", policy);
}

// `count` adapters t/m<i> -> t/m<i+1>, which no source reaches.
std::vector<AdapterSpec> unrelated_chain(int count) {
    std::vector<AdapterSpec> out;
    for (int i = 0; i < count; ++i) out.push_back(adapter_between("a" + padded(i), node("t/m", i), node("t/m", i + 1)));
    return out;
}

JsonMap params_of(json::Value value) {
    JsonMap params;
    params.insert_or_assign("k", std::move(value));
    return params;
}

json::Value nested(int depth) {
    json::Value v = json::Value::unsigned_integer(1);
    for (int i = 0; i < depth; ++i) {
        json::Object o;
        o.push_back_sorted("a", std::move(v));
        v = json::Value::object(std::move(o));
    }
    return v;
}

json::Value digits(int count) {
    json::Array numbers;
    for (int i = 0; i < count; ++i) numbers.push_back(json::Value::unsigned_integer(i % 10));
    return json::Value::array(std::move(numbers));
}

std::vector<Crafted> crafted_shapes() {
    std::vector<Crafted> rows;
    auto add = [&](std::string name, std::function<Shape()> make) {
        rows.push_back({std::move(name), std::move(make)});
    };

    // Work the plain rules do not have: the no-reuse test on adapters that lose on
    // score, choices of resolutions that are dropped, best-score keys looked up
    // again and again, regions of targets the source never reaches.
    add("hub_in_one_component", [] { return hub_in_one_component(1000, 12); });
    add("dropped_choices", [] { return dropped_choices(20, 20'000); });
    add("hub_at_hop_counts", [] { return hub_at_hop_counts(6, 400, 5); });
    add("regions_through_chain", [] { return regions_through_chain(1500, 4, 9); });
    for (const char* kind : {"fan_in", "chain", "ring", "ladder"}) {
        add(std::string("dead_into_hub_") + kind, [kind] { return dead_into_hub(kind, 200, 30); });
    }
    for (const char* kind : {"fan_in", "chain", "ring", "hub"}) {
        add(std::string("dead_into_target_") + kind, [kind] { return dead_into_target(kind, 60); });
    }

    // Equally good paths that multiply, rings and dead ends, one search each.
    add("parallel_stages", [] { return one_search(parallel_stages(4, "n0", "p", 3), "p4"); });
    auto ways_into_ring = [](PlanningPolicy policy) {
        auto [more, last] = ring(300, "w3", "r");
        return one_search(joined(joined(parallel_stages(3, "n0", "w"), more), {adapter_between("z.exit", last, "t/goal")}),
                          "goal", std::move(policy));
    };
    add("ways_into_ring", [ways_into_ring] { return ways_into_ring({}); });
    add("first_of_the_ways_into_ring", [ways_into_ring] {
        PlanningPolicy policy;
        policy.require_user_choice_on_ambiguity = false;
        return ways_into_ring(policy);
    });
    add("dead_end_stages", [] { return one_search(parallel_stages(8, "n0", "w"), "goal"); });
    add("zero_weight_loops", [] { return zero_weight_loops(6); });
    add("ways_into_dead_end_hub", [] {
        std::vector<AdapterSpec> adapters = parallel_stages(6, "n0", "w");
        for (int i = 0; i < 150; ++i) adapters.push_back(adapter_between("d." + padded(i, 6), "t/w6", node("t/dead", i)));
        adapters.push_back(adapter_between("z.exit", "t/w6", "t/goal"));
        return one_search(adapters, "goal");
    });
    add("long_ring", [] {
        auto [adapters, last] = ring(600, "n0", "r");
        adapters.push_back(adapter_between("z.exit", last, "t/goal"));
        return one_search(adapters, "goal");
    });
    add("parallel_long_ids", [] { return one_search(parallel_stages(8, "n0", "w", 2, true, 400), "w8"); });
    add("parallel_one_hop", [] {
        std::vector<AdapterSpec> adapters;
        for (int i = 0; i < 1000; ++i) adapters.push_back(adapter_between("a" + padded(i, 7), "t/n0", "t/target"));
        return one_search(adapters, "target");
    });
    add("zero_cost_mesh", [] {
        const int k = 20;
        std::vector<AdapterSpec> adapters;
        for (int i = 0; i < k; ++i) {
            for (int j = 0; j < k; ++j) {
                if (i == j) continue;
                const std::string id = "m." + padded(i, 4) + "." + padded(j, 4);
                adapters.push_back(adapter_between(id, node("t/n", i), node("t/n", j), 0));
            }
        }
        adapters.push_back(adapter_between("z.exit", node("t/n", k - 1), "t/target"));
        return one_search(adapters, "target");
    });
    add("calibration", [] { return one_search(parallel_stages(10, "n0", "w"), "w10"); });
    add("dead_end_overflow", [] {
        std::vector<AdapterSpec> adapters = parallel_stages(10, "n0", "d");
        adapters.push_back(adapter_between("u.unrelated", "u/u0", "u/u1", UINT64_MAX));
        return shape_of({source("s", "t", "n0")}, {port("p", {"t", "n0"})}, adapters);
    });

    // Pruning regions far larger than the searches beside them, and the frontier's
    // comparisons of tied paths: the families that grow, small
    // (budget_scale.cpp holds them at tens of millions of units).
    using Exits = RingBeforeExit::Exits;
    add("ring_before_exit_side_cycle_goals_behind_one_node",
        [] { return ring_before_exit({.ring = 300, .side = 1800, .goals = 20, .exits = Exits::one_node}); });
    add("ring_before_exit_side_cycle_one_goal",
        [] { return ring_before_exit({.ring = 1000, .side = 7000, .goals = 1, .exits = Exits::direct}); });
    add("ring_before_exit_side_cycle_own_exits",
        [] { return ring_before_exit({.ring = 200, .side = 3000, .goals = 30, .exits = Exits::own_nodes}); });
    add("ring_before_exit_dearer_max_hops", [] {
        return ring_before_exit(
            {.ring = 200, .side = 2000, .goals = 15, .exits = Exits::one_node, .dearer = true, .max_hops = 150});
    });
    add("ring_before_exit_without_side_cycle",
        [] { return ring_before_exit({.ring = 300, .side = 0, .goals = 20, .exits = Exits::one_node}); });
    // Fan-outs of dead ends beside targets whose regions are small: the regions
    // must be known before the fan-out is pushed.
    using Kind = SmallRegions::Kind;
    add("fan_out_beside_self_loops", [] { return small_regions({.kind = Kind::self_loops, .dead = 300, .targets = 40}); });
    add("fan_out_beside_chains", [] { return small_regions({.kind = Kind::chain, .dead = 300, .targets = 40, .size = 20}); });
    // More regions than the searches draw units: the walks of the call, all
    // together, run no further ahead than one expansion.
    add("fan_out_beside_many_chains",
        [] { return small_regions({.kind = Kind::chain, .dead = 300, .targets = 150, .size = 24}); });
    add("fan_out_beside_hub", [] { return small_regions({.kind = Kind::hub, .dead = 300, .targets = 40, .size = 12}); });
    add("fan_outs_of_several_sources_into_hub", [] {
        return small_regions({.kind = Kind::hub, .dead = 200, .targets = 30, .size = 6, .sources = 4, .reached = true});
    });
    add("fan_out_beside_chains_max_hops", [] {
        return small_regions({.kind = Kind::chain, .dead = 300, .targets = 40, .size = 8, .sources = 2, .max_hops = 5});
    });
    add("fan_out_into_reached_hub_max_hops", [] {
        return small_regions({.kind = Kind::hub, .dead = 300, .targets = 40, .size = 6, .reached = true, .max_hops = 8});
    });
    add("label_exhausting_stages", [] { return label_exhausting({.prefix = 41, .hubs = 8}); });
    add("label_exhausting_chains_into_hubs",
        [] { return label_exhausting({.prefix = 41, .chains = 12, .length = 10, .hubs = 2}); });
    add("wide_prefix_chains_into_hubs",
        [] { return label_exhausting({.prefix = 3, .ways = 2048, .chains = 10, .length = 60, .hubs = 2}); });
    add("complete_layers", [] { return complete_layers(41, 3, 5); });
    add("split_tails", [] { return split_tails(41, 128, 256); });
    add("random_cycles", [] { return random_cycles(5, 300, 150, 6, false); });
    add("random_cycles_scattered_ids_max_hops", [] { return random_cycles(6, 300, 300, 6, true, 25); });

    // Ports, sources and accepted pairs that multiply.
    add("many_ports", [] {
        std::vector<InputPortSpec> list;
        for (int i = 0; i < 200; ++i) list.push_back(port("p" + padded(i, 7), {"n0"}));
        return shape_of({source("src", "t", "n0")}, list, unrelated_chain(1));
    });
    add("ports_x_sources", [] {
        std::vector<SourceDescriptor> sources;
        std::vector<InputPortSpec> list;
        for (int i = 0; i < 20; ++i) {
            sources.push_back(source("src" + padded(i), "t", node("n", i)));
            list.push_back(optional_port(port("p" + padded(i), {"zz"})));
        }
        list.push_back(port("last", {"n0"}));
        return shape_of(sources, list, unrelated_chain(100));
    });
    add("accepted_x_registry", [] {
        std::vector<std::string> reps;
        for (int i = 0; i < 200; ++i) reps.push_back(node("zz", i));
        reps.push_back("target");
        return shape_of({source("src", "t", "n0")}, {port("x", reps)},
                        joined(unrelated_chain(200), {adapter_between("z.exit", "t/n0", "t/target")}));
    });
    add("types_x_representations", [] {
        std::vector<std::string> types, reps;
        for (int i = 0; i < 20; ++i) {
            types.push_back(node("zt", i));
            reps.push_back(node("zz", i));
        }
        types.push_back("t");
        reps.push_back("target");
        return shape_of({source("src", "t", "n0")}, {port("x", reps, types)},
                        joined(unrelated_chain(20), {adapter_between("z.exit", "t/n0", "t/target")}));
    });
    add("multi_source", [] {
        std::vector<SourceDescriptor> sources;
        for (int i = 0; i < 30; ++i) sources.push_back(source("src" + padded(i, 6), "t", "n0"));
        std::vector<std::string> reps;
        for (int i = 0; i < 10; ++i) reps.push_back(node("zz", i));
        reps.push_back("target");
        Shape s = shape_of(sources, {multi(port("x", reps))}, {adapter_between("a.exit", "t/n0", "t/target")});
        s.model_input.default_fusion = *json::parse(R"({"alignment":"inner"})");
        return s;
    });
    add("multi_ports_x_sources_fed", [] {
        std::vector<SourceDescriptor> sources;
        std::vector<InputPortSpec> list;
        for (int i = 0; i < 20; ++i) {
            sources.push_back(source("src" + padded(i), "t", "n0"));
            list.push_back(multi(port("p" + padded(i), {"n0"})));
        }
        return shape_of(sources, list, {});
    });
    add("rank_gated_pairs", [] {
        // Built-in representations of rank 2 for a port of rank 3, the reachable
        // pair last.
        std::vector<std::string> reps(2000, "text_token_ids"), types;
        reps.push_back("target");
        for (int i = 0; i < 9; ++i) types.push_back(node("z", i));
        types.push_back("t");
        InputPortSpec p = port("x", reps, types);
        p.rank = json::usize{3};
        return shape_of({source("src", "t", "n0")}, {p}, {adapter_between("a", "t/n0", "t/target")});
    });

    // Plans larger than their inputs: long names quoted, parameters and long ids
    // written into every step.
    add("rank_issues_long_name", [] {
        std::vector<SourceDescriptor> sources;
        for (int i = 0; i < 20; ++i) sources.push_back(source("src" + padded(i), "t", "n0"));
        InputPortSpec p = multi(port(std::string(20'000, 'p'), {"unranked"}));
        p.rank = json::usize{2};
        return shape_of(sources, {p}, {adapter_between("a", "t/n0", "t/unranked")});
    });
    add("long_adapter_x_ports", [] {
        std::vector<InputPortSpec> list;
        for (int i = 0; i < 20; ++i) list.push_back(port("p" + padded(i), {"target"}));
        AdapterSpec a = adapter_between(std::string(20'000, 'a'), "t/n0", "t/target");
        a.version = "1." + std::string(20'000, '0');
        return shape_of({source("src", "t", "n0")}, list, {a});
    });
    add("chain_deep_params", [] {
        auto [adapters, last] = ring(100, "n0", "c", false);
        for (AdapterSpec& a : adapters) a.params = params_of(nested(100));
        adapters.push_back(adapter_between("z.exit", last, "t/target"));
        return one_search(adapters, "target");
    });
    add("params_numbers", [] {
        AdapterSpec a = adapter_between("a", "t/n0", "t/target");
        a.params = params_of(digits(20'000));
        return shape_of({source("src", "t", "n0")}, {port("p0", {"target"}), port("p1", {"target"})}, {a});
    });
    add("params_x_ports", [] {
        AdapterSpec a = adapter_between("a", "t/n0", "t/target");
        a.params = params_of(digits(5'000));
        std::vector<InputPortSpec> list;
        for (int i = 0; i < 30; ++i) list.push_back(port("p" + padded(i), {"target"}));
        return shape_of({source("src", "t", "n0")}, list, {a});
    });
    return rows;
}

class CraftedShapes : public ::testing::TestWithParam<Crafted> {};

TEST_P(CraftedShapes, TheLeastBudgetIsWithinThreeTimesThePlainWorkAndPruningNeverRaisesIt) {
    const Shape s = GetParam().make();
    RecordProperty("figures", check_budget(s, yardsticks(s)));
}

INSTANTIATE_TEST_SUITE_P(Budget, CraftedShapes, ::testing::ValuesIn(crafted_shapes()),
                         [](const ::testing::TestParamInfo<Crafted>& info) { return info.param.name; });

}  // namespace
