// The work budget against the plain rules at the sizes it claims: crafted
// families of tens of millions of plain units, where pruning's walks outgrow the
// searches beside them and comparisons of tied paths dominate. Built in Release
// and run on its own (label "scale"); the same families run small in
// budget_test.cpp.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "plain_planner.hpp"
#include "planning_shapes.hpp"

namespace {

using namespace veltrinax;
using namespace veltrinax::testing;
using Exits = RingBeforeExit::Exits;

struct Scaled {
    std::string name;
    std::function<Shape()> make;
};

void PrintTo(const Scaled& s, std::ostream* out) { *out << s.name; }

std::vector<Scaled> scaled_families() {
    std::vector<Scaled> rows;
    auto add = [&](std::string name, std::function<Shape()> make) { rows.push_back({std::move(name), std::move(make)}); };
    // A ring explored before an expensive exit, beside a side cycle that is never
    // expanded but lies in every goal's region.
    add("ring_3000_side_18000_goals_200_behind_one_node",
        [] { return ring_before_exit({.ring = 3000, .side = 18'000, .goals = 200, .exits = Exits::one_node}); });
    add("ring_10000_side_70000_one_goal",
        [] { return ring_before_exit({.ring = 10'000, .side = 70'000, .goals = 1, .exits = Exits::direct}); });
    add("ring_2000_side_30000_goals_300_own_exits",
        [] { return ring_before_exit({.ring = 2000, .side = 30'000, .goals = 300, .exits = Exits::own_nodes}); });
    add("ring_2000_dearer_side_20000_goals_150_max_hops", [] {
        return ring_before_exit(
            {.ring = 2000, .side = 20'000, .goals = 150, .exits = Exits::one_node, .dearer = true, .max_hops = 1500});
    });
    // Fan-outs of thousands of dead ends beside a thousand targets whose regions
    // are small: self-loops, chains of their own, one hub entered by a chain
    // (reached from the sources or not), several sources, a hop limit; and more
    // regions in all than the searches draw units.
    using Kind = SmallRegions::Kind;
    add("fan_out_3000_beside_1000_targets_of_4_self_loops",
        [] { return small_regions({.kind = Kind::self_loops, .dead = 3000, .targets = 1000, .size = 4}); });
    add("fan_out_3000_beside_1000_chains_of_40",
        [] { return small_regions({.kind = Kind::chain, .dead = 3000, .targets = 1000, .size = 40}); });
    add("fan_out_3000_beside_1000_targets_behind_a_hub", [] {
        return small_regions({.kind = Kind::hub, .dead = 3000, .targets = 1000, .size = 40});
    });
    add("fan_outs_of_3_sources_into_a_reached_hub_max_hops", [] {
        return small_regions(
            {.kind = Kind::hub, .dead = 2000, .targets = 600, .size = 6, .sources = 3, .reached = true, .max_hops = 10});
    });
    add("fan_outs_of_4_sources_beside_chains_of_6_max_hops", [] {
        return small_regions({.kind = Kind::chain, .dead = 2000, .targets = 500, .size = 6, .sources = 4, .max_hops = 5});
    });
    add("fan_out_3000_beside_4000_chains_of_40",
        [] { return small_regions({.kind = Kind::chain, .dead = 3000, .targets = 4000, .size = 40}); });
    // Labels exhausted by a prefix, then equal stages and chains into hubs.
    add("label_exhausting_prefix_41_stages_13", [] { return label_exhausting({.prefix = 41, .hubs = 13}); });
    add("label_exhausting_prefix_41_chains_60_long_40_hubs_2",
        [] { return label_exhausting({.prefix = 41, .chains = 60, .length = 40, .hubs = 2}); });
    add("wide_prefix_5_chains_60_long_200_hubs_2",
        [] { return label_exhausting({.prefix = 5, .ways = 8192, .chains = 60, .length = 200, .hubs = 2}); });
    add("wide_prefix_3_chains_30_long_1000_hubs_2",
        [] { return label_exhausting({.prefix = 3, .ways = 65536, .chains = 30, .length = 1000, .hubs = 2}); });
    add("complete_layers_2_wide_14_deep", [] { return complete_layers(41, 2, 14); });
    add("complete_layers_4_wide_7_deep", [] { return complete_layers(41, 4, 7); });
    add("split_tails_1024_fan_8192", [] { return split_tails(41, 1024, 8192); });
    // Random registries of deep cycles, ids in structure order and scattered.
    add("random_cycles_3000_nodes", [] { return random_cycles(11, 3000, 1500, 10, false); });
    add("random_cycles_3000_nodes_scattered_ids", [] { return random_cycles(12, 3000, 1500, 10, true); });
    add("random_cycles_2000_nodes_max_hops", [] { return random_cycles(13, 2000, 3000, 10, true, 40); });
    return rows;
}

class BudgetAtScale : public ::testing::TestWithParam<Scaled> {};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_P(BudgetAtScale, TheLeastBudgetIsWithinThreeTimesThePlainWorkAndPruningNeverRaisesIt) {
    const Shape s = GetParam().make();
    const auto start = std::chrono::steady_clock::now();
    const Yardsticks yard = yardsticks(s);
    const double plain_seconds = seconds_since(start);
    std::string figures = check_budget(s, yard);
    figures += ", plain planner " + std::to_string(plain_seconds) + " s, all " + std::to_string(seconds_since(start)) + " s";
    RecordProperty("figures", figures);
    std::cout << "    " << GetParam().name << ": " << figures << "\n";
}

INSTANTIATE_TEST_SUITE_P(Families, BudgetAtScale, ::testing::ValuesIn(scaled_families()),
                         [](const ::testing::TestParamInfo<Scaled>& info) { return info.param.name; });

}  // namespace

// A path records the adapters it used in its strongly connected group in a
// trie of depth d, the least with 64 * 4^d at least the group's adapters, and a
// state explored in the group gathers one path of it and copies another, 8
// units a level, on top of what the plain rules count for it (36 units for a
// state of one adapter pushed, popped and examined). A ring explored inside a
// group that large so tends to (44 + 8d) / 36 of P: within 3P up to d = 8, for
// groups of up to 4,194,304 adapters, and within (44 + 8d) / 36 of P beyond.
// Both sides of that edge, at their true size (a registry of four million
// adapters, a few GB in all).
TEST(BudgetAtTheTriesEdge, TheLeastBudgetIsWithinThreeTimesThePlainWorkUpToDepthEightAndTheLawBeyond) {
    constexpr int ring = 2000;
    for (const std::uint64_t group : {std::uint64_t{4'194'304}, std::uint64_t{4'194'305}}) {
        const auto start = std::chrono::steady_clock::now();
        const Shape s = ring_before_exit(
            {.ring = ring, .side = static_cast<int>(group - ring), .goals = 1, .exits = Exits::direct});
        unsigned depth = 0;
        while ((std::uint64_t{64} << (2 * depth)) < group) ++depth;
        const PlainPlan plain = plain_plan(s.schema, s.model_input, s.registry, s.request);
        PathSearchOptions::Work work;
        const Result<DataPlan> planned = module_plan(s, PathSearchOptions::default_max_work, true, &work);
        ASSERT_EQ(first_difference(outcome(planned), outcome(plain.plan)), "");
        const std::uint64_t least = work.budget;
        EXPECT_TRUE(out_of_budget(module_plan(s, least - 1)));
        const double factor = std::max(3.0, (44.0 + 8.0 * depth) / 36.0);
        const double ratio = static_cast<double>(least) / static_cast<double>(plain.units);
        const std::string figures = "group " + std::to_string(group) + ", depth " + std::to_string(depth) + ": P " +
                                    std::to_string(plain.units) + ", least " + std::to_string(least) + " = " +
                                    std::to_string(ratio) + " P, all " + std::to_string(seconds_since(start)) + " s";
        std::cout << "    " << figures << "\n";
        EXPECT_LE(static_cast<double>(least), factor * static_cast<double>(plain.units) + budget_allowance) << figures;
        // The domain is the bound's own: one adapter past it, the ring alone
        // takes the call past 3P.
        if (depth > 8) {
            EXPECT_GT(least, budget_bound(plain.units)) << figures;
        }
    }
}
