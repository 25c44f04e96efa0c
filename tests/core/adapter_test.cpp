#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "veltrinax/adapter.hpp"
#include "plain_planner.hpp"
#include "readers.hpp"

namespace {

using namespace veltrinax;

constexpr std::uint64_t max_u64 = UINT64_MAX;

// "OK <compact text>" or "ERR <reader message>", like the reading peer prints.
// (The reader's messages on these records are among the recorded peer cases.)
std::string read_write_as(std::string_view type, std::string_view text) {
    return veltrinax::testing::read_document(type, text, false).value_or("no reader for the type");
}

// The validation message of a record read from text, or "" when valid.
template <class T>
std::string validation_of(std::string_view text) {
    auto r = json::from_text<T>(text);
    if (!r) return "unreadable: " + r.error().to_string();
    Status s;
    if constexpr (std::is_same_v<T, AdapterRegistrySpec>) {
        auto registry = AdapterRegistry::from_spec(std::move(*r));
        if (!registry) s = std::unexpected(registry.error());
    } else {
        s = r->validate();
    }
    return s ? "" : s.error().to_string();
}

// An adapter between nodes written "type/representation".
AdapterSpec edge(std::string id, std::string_view from, std::string_view to, std::uint64_t cost,
                 std::string_view flags = "") {
    return veltrinax::testing::adapter_between(std::move(id), from, to, cost, flags);
}

AdapterRegistry registry_of(std::vector<AdapterSpec> adapters) {
    auto r = AdapterRegistry::from_spec(AdapterRegistrySpec{std::move(adapters)});
    EXPECT_TRUE(r.has_value());
    return r ? std::move(*r) : AdapterRegistry{};
}

PlanningPolicy policy_of(std::string_view text) {
    auto p = json::from_text<PlanningPolicy>(text);
    EXPECT_TRUE(p.has_value()) << text;
    return p ? *p : PlanningPolicy{};
}

PathResolution search(const AdapterRegistry& registry, std::string_view from, std::string_view to,
                      const PlanningPolicy& policy, PathSearchOptions options = {}) {
    auto a = edge("probe", from, to, 0);
    return registry.find_path(a.input_type, a.input_representation, a.output_type, a.output_representation, policy,
                              options);
}

// A compact rendering of a search result: "ids | cost | score", or the issue.
std::string summary(const PathResolution& r) {
    if (r.path) {
        std::string ids;
        for (const auto& a : r.path->adapters) ids += (ids.empty() ? "" : ",") + a.id;
        return "[" + ids + "] cost " + std::to_string(r.path->cost) + " score " + std::to_string(r.path->score);
    }
    if (r.issues.size() != 1) return "malformed";
    std::string out = r.issues[0].code + ": " + r.issues[0].message;
    for (const auto& c : r.issues[0].choices) out += " | " + c;
    if (r.requires_user_choice != !r.issues[0].choices.empty()) out += " (bad requires_user_choice)";
    return out;
}

// ---------------------------------------------------------------------------
// Reading and writing
// ---------------------------------------------------------------------------

TEST(AdapterContractJson, ReadsDefaultsAndWritesEveryField) {
    struct Case {
        std::string type, input, expected;
    };
    const std::vector<Case> cases = {
        {"InputPortSpec", R"({"name":"x","accepted_representations":["r"],"accepted_types":["t"]})",
         R"(OK {"name":"x","accepted_representations":["r"],"accepted_types":["t"],"rank":null,)"
         R"("multi_source":false,"optional":false})"},
        {"InputPortSpec", R"(["x",["r"],["t"],3,true])",
         R"(OK {"name":"x","accepted_representations":["r"],"accepted_types":["t"],"rank":3,"multi_source":true,)"
         R"("optional":false})"},
        {"InputPortSpec", R"({"name":"x","accepted_representations":["r"],"accepted_types":["t"],"rank":-1})",
         "ERR invalid value: integer `-1`, expected usize at line 1 column 77"},
        {"ModelInputSpec", R"({"ports":[]})", R"(OK {"ports":[],"default_fusion":null})"},
        {"ModelInputSpec", R"({"ports":[],"default_fusion":{"b":1,"a":{"d":2,"c":null}}})",
         R"(OK {"ports":[],"default_fusion":{"a":{"c":null,"d":2},"b":1}})"},
        {"AdapterSpec",
         R"({"id":"a","version":"1","input_type":"t","input_representation":"r","output_type":"t",)"
         R"("output_representation":"s","cost":0,"fit_scope":"fold_train","params":{"z":1,"a":[1.5]}})",
         R"(OK {"id":"a","version":"1","input_type":"t","input_representation":"r","output_type":"t",)"
         R"("output_representation":"s","cost":0,"lossy":false,"supervised":false,"stateful":false,)"
         R"("deterministic":true,"fit_scope":"fold_train","params":{"a":[1.5],"z":1}})"},
        {"AdapterSpec", R"(["a","1","t","r","t","s",1,false,false,false,true,"stateless"])",
         R"(OK {"id":"a","version":"1","input_type":"t","input_representation":"r","output_type":"t",)"
         R"("output_representation":"s","cost":1,"lossy":false,"supervised":false,"stateful":false,)"
         R"("deterministic":true,"fit_scope":"stateless","params":{}})"},
        // The count given, not the index of the first missing required field.
        {"AdapterSpec", R"(["a","1","t","r","t","s",1])",
         "ERR invalid length 7, expected struct AdapterSpec with 13 elements at line 1 column 27"},
        {"AdapterRegistrySpec", "{}", R"(OK {"adapters":[]})"},
        {"AdapterRegistrySpec", "[]", R"(OK {"adapters":[]})"},
        {"PlanningPolicy", "{}",
         R"(OK {"allow_lossy":false,"allow_stateful":false,"allow_supervised":false,"forbidden_adapters":[],)"
         R"("preferred_adapters":[],"require_user_choice_on_ambiguity":true,"max_hops":null})"},
        {"PlanningPolicy",
         R"({"forbidden_adapters":["b","a","b"],"preferred_adapters":["x"],"max_hops":0,)"
         R"("require_user_choice_on_ambiguity":false})",
         R"(OK {"allow_lossy":false,"allow_stateful":false,"allow_supervised":false,"forbidden_adapters":["a",)"
         R"("b"],"preferred_adapters":["x"],"require_user_choice_on_ambiguity":false,"max_hops":0})"},
        {"PlanningPolicy", R"([true,false,true,[],[],false,2])",
         R"(OK {"allow_lossy":true,"allow_stateful":false,"allow_supervised":true,"forbidden_adapters":[],)"
         R"("preferred_adapters":[],"require_user_choice_on_ambiguity":false,"max_hops":2})"},
    };
    for (const auto& c : cases) EXPECT_EQ(read_write_as(c.type, c.input), c.expected) << c.type << " " << c.input;
}

// ---------------------------------------------------------------------------
// Validation
// ---------------------------------------------------------------------------

std::string port(std::string_view name, std::string_view reps = R"(["r"])", std::string_view types = R"(["t"])") {
    return "{\"name\":\"" + std::string(name) + "\",\"accepted_representations\":" + std::string(reps) +
           ",\"accepted_types\":" + std::string(types) + "}";
}

std::string adapter_json(std::string_view id, std::string_view version = "1",
                         std::string_view extra = R"(,"fit_scope":"stateless")") {
    return "{\"id\":\"" + std::string(id) + "\",\"version\":\"" + std::string(version) +
           R"(","input_type":"t","input_representation":"r","output_type":"t","output_representation":"s",)"
           R"("cost":1)" +
           std::string(extra) + "}";
}

TEST(AdapterContractValidation, PortsAndModelInputsReportTheFirstViolation) {
    const std::string prefix = "data contract validation failed: ";
    const std::vector<std::pair<std::string, std::string>> ports = {
        {port("x"), ""},
        {port("a/b:c_d-1.2"), ""},
        {port("   "), "input port name is empty"},
        {port(" x"), "input port ` x` contains unsupported characters"},
        {port("caf\xc3\xa9"), "input port `caf\xc3\xa9` contains unsupported characters"},
        {port("x", "[]", "[]"), "input port `x` accepts no representations"},
        {port("x", R"(["r"])", "[]"), "input port `x` accepts no types"},
    };
    for (const auto& [text, message] : ports) {
        EXPECT_EQ(validation_of<InputPortSpec>(text), message.empty() ? "" : prefix + message) << text;
    }
    const std::vector<std::pair<std::string, std::string>> inputs = {
        {R"({"ports":[]})", "model input spec contains no ports"},
        {"{\"ports\":[" + port("x") + "," + port("X") + "]}", ""},
        {"{\"ports\":[" + port("x") + "," + port("y") + "," + port("x") + "]}", "duplicate model input port `x`"},
        // The second port is checked in full before its name is compared.
        {"{\"ports\":[" + port("x") + "," + port("x", R"(["r"])", "[]") + "]}", "input port `x` accepts no types"},
    };
    for (const auto& [text, message] : inputs) {
        EXPECT_EQ(validation_of<ModelInputSpec>(text), message.empty() ? "" : prefix + message) << text;
    }
}

TEST(AdapterContractValidation, AdaptersAndRegistriesReportTheFirstViolation) {
    const std::string prefix = "data contract validation failed: ";
    const std::string not_deterministic = R"(,"deterministic":false,"fit_scope":"stateless")";
    const std::vector<std::pair<std::string, std::string>> adapters = {
        {adapter_json("a.b/c:d"), ""},
        {adapter_json(std::string(600, 'a')), ""},
        {adapter_json("a", "1", R"(,"stateful":true,"fit_scope":"inference_only")"), ""},
        {adapter_json("", "1"), "adapter name is empty"},
        {adapter_json("a b", "1", not_deterministic), "adapter `a b` contains unsupported characters"},
        {adapter_json("a", ""), "adapter version name is empty"},
        {adapter_json("a", "1.0+x"), "adapter version `1.0+x` contains unsupported characters"},
        {adapter_json("a", "1", R"(,"stateful":true)" + not_deterministic), "adapter `a` is not deterministic"},
        {adapter_json("a", "1", R"(,"stateful":true,"fit_scope":"stateless")"),
         "stateful adapter `a` cannot use stateless fit scope"},
    };
    for (const auto& [text, message] : adapters) {
        const std::string registry = "{\"adapters\":[" + text + "]}";
        EXPECT_EQ(validation_of<AdapterRegistrySpec>(registry), message.empty() ? "" : prefix + message) << text;
    }
    const std::string bad = adapter_json("c", "1", not_deterministic);
    const std::vector<std::pair<std::string, std::string>> registries = {
        {"{}", ""},
        {"{\"adapters\":[" + adapter_json("b") + "," + adapter_json("a") + "]}", ""},
        {"{\"adapters\":[" + adapter_json("a") + "," + adapter_json("a") + "]}", "duplicate adapter id `a`"},
        {"{\"adapters\":[" + adapter_json("a") + "," + adapter_json("a", "1", not_deterministic) + "]}",
         "adapter `a` is not deterministic"},
        {"{\"adapters\":[" + adapter_json("a") + "," + adapter_json("b") + "," + bad + "," + adapter_json("d") + "," +
             adapter_json("a") + "]}",
         "adapter `c` is not deterministic"},
    };
    for (const auto& [text, message] : registries) {
        EXPECT_EQ(validation_of<AdapterRegistrySpec>(text), message.empty() ? "" : prefix + message) << text;
    }
}

TEST(AdapterRegistryBuild, KeepsAdaptersInIdOrderAndRejectsDuplicatesWithoutChange) {
    AdapterRegistry registry = registry_of({edge("m", "t/a", "t/b", 1), edge("b", "t/a", "t/b", 1)});
    ASSERT_TRUE(registry.register_adapter(edge("a", "t/a", "t/b", 1)).has_value());
    auto duplicate = registry.register_adapter(edge("m", "t/x", "t/y", 7));
    ASSERT_FALSE(duplicate.has_value());
    EXPECT_EQ(duplicate.error().to_string(), "data contract validation failed: duplicate adapter id `m`");
    std::vector<std::string> ids;
    for (const auto& a : registry.adapters()) ids.push_back(a.id);
    EXPECT_EQ(ids, (std::vector<std::string>{"a", "b", "m"}));
    ASSERT_NE(registry.find("m"), nullptr);
    EXPECT_EQ(registry.find("m")->cost, 1u);
    EXPECT_EQ(registry.find("z"), nullptr);
}

// ---------------------------------------------------------------------------
// Path search
// ---------------------------------------------------------------------------

struct PathCase {
    std::string name;
    std::vector<AdapterSpec> adapters;
    std::string policy, from, to, expected;
};

TEST(AdapterPathSearch, ChoosesTheSpecifiedPath) {
    const std::string no_path_a_d = "no_path: no adapter path from `t/a` to `t/d`";
    const std::vector<PathCase> cases = {
        {"identity on an empty registry even with max_hops 0", {}, R"({"max_hops":0})", "t/a", "t/a",
         "[] cost 0 score 0"},
        {"identity ignores adapters", {edge("x", "t/a", "t/a", 3)}, "{}", "t/a", "t/a", "[] cost 0 score 0"},
        {"empty registry", {}, "{}", "t/a", "u/b", "no_path: no adapter path from `t/a` to `u/b`"},
        {"policy leaves out every adapter", {edge("l", "t/a", "t/d", 1, "L"), edge("s", "t/a", "t/d", 1, "S")}, "{}",
         "t/a", "t/d", no_path_a_d},
        {"lossless chain beats a cheap lossy adapter",
         {edge("l", "t/a", "t/d", 1, "L"), edge("c1", "t/a", "t/b", 1000), edge("c2", "t/b", "t/c", 1000),
          edge("c3", "t/c", "t/d", 1000)},
         R"({"allow_lossy":true})", "t/a", "t/d", "[c1,c2,c3] cost 3000 score 3000"},
        {"lossy penalty is one million", {edge("l", "t/a", "t/d", 1, "L")}, R"({"allow_lossy":true})", "t/a", "t/d",
         "[l] cost 1 score 1000001"},
        {"lossy ties a two-adapter chain of equal score and wins on hops",
         {edge("l", "t/a", "t/d", 1, "L"), edge("c1", "t/a", "t/b", 500000), edge("c2", "t/b", "t/d", 500001)},
         R"({"allow_lossy":true})", "t/a", "t/d", "[l] cost 1 score 1000001"},
        {"stateful penalty is one hundred thousand", {edge("s", "t/a", "t/d", 1, "S")}, R"({"allow_stateful":true})",
         "t/a", "t/d", "[s] cost 1 score 100001"},
        {"supervised penalty is one hundred thousand", {edge("u", "t/a", "t/d", 0, "U")},
         R"({"allow_supervised":true})", "t/a", "t/d", "[u] cost 0 score 100001"},
        {"penalties add up",
         {edge("s", "t/a", "t/d", 1, "SUL"), edge("c1", "t/a", "t/b", 600000), edge("c2", "t/b", "t/d", 600000)},
         R"({"allow_stateful":true,"allow_supervised":true,"allow_lossy":true})", "t/a", "t/d",
         "[c1,c2] cost 1200000 score 1200000"},
        {"equal paths need a user choice, sorted by id",
         {edge("p.b", "t/a", "t/d", 5), edge("p.a", "t/a", "t/d", 5)}, "{}", "t/a", "t/d",
         "ambiguous_path: multiple equivalent adapter paths require user choice | p.a | p.b"},
        {"equal paths without a required choice take the smaller id",
         {edge("p.b", "t/a", "t/d", 5), edge("p.a", "t/a", "t/d", 5)},
         R"({"require_user_choice_on_ambiguity":false})", "t/a", "t/d", "[p.a] cost 5 score 5"},
        {"a preferred adapter wins alone", {edge("p.b", "t/a", "t/d", 5), edge("p.a", "t/a", "t/d", 5)},
         R"({"preferred_adapters":["p.b"]})", "t/a", "t/d", "[p.b] cost 5 score 4"},
        {"costs 0 and 1 weigh the same", {edge("zero", "t/a", "t/d", 0), edge("one", "t/a", "t/d", 1)}, "{}", "t/a",
         "t/d", "ambiguous_path: multiple equivalent adapter paths require user choice | one | zero"},
        {"the first id wins a tie even with the higher cost",
         {edge("zero", "t/a", "t/d", 0), edge("one", "t/a", "t/d", 1)},
         R"({"require_user_choice_on_ambiguity":false})", "t/a", "t/d", "[one] cost 1 score 1"},
        {"fewer hops win at equal score",
         {edge("direct", "t/a", "t/d", 2), edge("h1", "t/a", "t/b", 1), edge("h2", "t/b", "t/d", 1)}, "{}", "t/a",
         "t/d", "[direct] cost 2 score 2"},
        {"lower score wins over fewer hops",
         {edge("direct", "t/a", "t/d", 3), edge("h1", "t/a", "t/b", 1), edge("h2", "t/b", "t/d", 1)}, "{}", "t/a",
         "t/d", "[h1,h2] cost 2 score 2"},
        {"max_hops 2 blocks a three-adapter path",
         {edge("c1", "t/a", "t/b", 1), edge("c2", "t/b", "t/c", 1), edge("c3", "t/c", "t/d", 1)}, R"({"max_hops":2})",
         "t/a", "t/d", no_path_a_d},
        {"max_hops 3 allows it",
         {edge("c1", "t/a", "t/b", 1), edge("c2", "t/b", "t/c", 1), edge("c3", "t/c", "t/d", 1)}, R"({"max_hops":3})",
         "t/a", "t/d", "[c1,c2,c3] cost 3 score 3"},
        {"max_hops 0 away from the target", {edge("x", "t/a", "t/d", 1)}, R"({"max_hops":0})", "t/a", "t/d",
         no_path_a_d},
        {"self-loops are used at most once and never help",
         {edge("loop1", "t/a", "t/a", 0), edge("loop2", "t/a", "t/a", 0), edge("x", "t/a", "t/d", 1)},
         R"({"preferred_adapters":["loop1","loop2"]})", "t/a", "t/d", "[x] cost 1 score 1"},
        {"self-loops alone end in no path", {edge("loop1", "t/a", "t/a", 0), edge("loop2", "t/a", "t/a", 4)}, "{}",
         "t/a", "t/d", no_path_a_d},
        {"the only way overflows", {edge("big", "t/a", "t/b", max_u64), edge("more", "t/b", "t/d", 1)}, "{}", "t/a",
         "t/d", "cost_overflow: no adapter path from `t/a` to `t/d`"},
        {"an overflow on a dead end still marks the no-path result",
         {edge("big", "t/a", "t/b", max_u64), edge("more", "t/b", "t/c", 1)}, "{}", "t/a", "t/d",
         "cost_overflow: no adapter path from `t/a` to `t/d`"},
        {"an overflow elsewhere does not matter when a path exists",
         {edge("big", "t/a", "t/b", max_u64), edge("more", "t/b", "t/d", 1), edge("ok", "t/a", "t/d", 9)}, "{}",
         "t/a", "t/d", "[ok] cost 9 score 9"},
        {"a weight of exactly 2^64-1 fits", {edge("edge", "t/a", "t/d", max_u64 - 999999, "L")},
         R"({"allow_lossy":true,"preferred_adapters":["edge"]})", "t/a", "t/d",
         "[edge] cost 18446744073708551616 score 18446744073709551615"},
        {"a forbidden adapter is never used even when preferred",
         {edge("p.a", "t/a", "t/d", 5), edge("p.b", "t/a", "t/d", 9)},
         R"({"forbidden_adapters":["p.a"],"preferred_adapters":["p.a"]})", "t/a", "t/d", "[p.b] cost 9 score 9"},
        {"choices join each path's ids",
         {edge("x2", "t/a", "t/b", 1), edge("x1", "t/a", "t/b", 1), edge("y", "t/b", "t/d", 1)}, "{}", "t/a", "t/d",
         "ambiguous_path: multiple equivalent adapter paths require user choice | x1 -> y | x2 -> y"},
    };
    for (const auto& c : cases) {
        const AdapterRegistry registry = registry_of(c.adapters);
        EXPECT_EQ(summary(search(registry, c.from, c.to, policy_of(c.policy))), c.expected) << c.name;
    }
}

TEST(AdapterPathSearch, ResolvedPathCarriesCopiesOfTheRegisteredSpecs) {
    AdapterSpec first = edge("c1", "t/a", "t/b", 4);
    first.params.insert_or_assign("k", json::Value::string("v"));
    const AdapterRegistry registry = registry_of({first, edge("c2", "t/b", "t/d", 6)});
    const PathResolution r = search(registry, "t/a", "t/d", {});
    ASSERT_TRUE(r.path.has_value());
    EXPECT_TRUE(r.issues.empty());
    EXPECT_FALSE(r.requires_user_choice);
    ASSERT_EQ(r.path->adapters.size(), 2u);
    EXPECT_EQ(r.path->adapters[0], first);
    EXPECT_EQ(r.path->adapters[1], *registry.find("c2"));
}

// ---------------------------------------------------------------------------
// Bounded work
// ---------------------------------------------------------------------------

// Zero-weight self-loops: every ordering of them is a distinct path of score 0.
std::vector<AdapterSpec> zero_weight_loops(int loops, std::string_view at) {
    std::vector<AdapterSpec> adapters;
    for (int i = 0; i < loops; ++i) adapters.push_back(edge("loop." + std::to_string(100 + i), at, at, 0));
    return adapters;
}

std::string preferred_loops(int loops) {
    std::string p = R"({"preferred_adapters":[)";
    for (int i = 0; i < loops; ++i) p += (i ? ",\"" : "\"") + ("loop." + std::to_string(100 + i)) + "\"";
    return p + "]}";
}

TEST(AdapterPathSearchBudget, ExplosiveRegistriesEndWithTheLimitOutcome) {
    // Four parallel equal-weight adapters on each of 24 hops: 4^24 equal paths.
    std::vector<AdapterSpec> parallel;
    for (int hop = 0; hop < 24; ++hop) {
        for (int k = 0; k < 4; ++k) {
            parallel.push_back(edge("p." + std::to_string(100 + hop) + "." + std::to_string(k),
                                    "n/" + std::to_string(hop), "n/" + std::to_string(hop + 1), 3));
        }
    }
    std::vector<AdapterSpec> loops = zero_weight_loops(30, "t/a");
    loops.push_back(edge("exit", "t/a", "t/d", 1));
    const std::vector<std::tuple<std::vector<AdapterSpec>, std::string, std::string, std::string, std::string>> cases =
        {
            {parallel, "{}", "n/0", "n/24",
             "adapter path search from `n/0` to `n/24` exceeded its limit of 100000000 work units"},
            {loops, preferred_loops(30), "t/a", "t/d",
             "adapter path search from `t/a` to `t/d` exceeded its limit of 100000000 work units"},
        };
    for (const auto& [adapters, policy, from, to, message] : cases) {
        const PathResolution r = search(registry_of(adapters), from, to, policy_of(policy));
        EXPECT_TRUE(r.search_limit_exceeded());
        EXPECT_EQ(summary(r), "search_limit_exceeded: " + message);
        EXPECT_FALSE(r.path.has_value());
    }
}

TEST(AdapterPathSearchBudget, PruningKeepsDeadEndsAwayFromTheBudget) {
    // Twenty zero-weight loops on a node that cannot reach the target.
    std::vector<AdapterSpec> adapters = zero_weight_loops(20, "t/dead");
    adapters.push_back(edge("detour", "t/a", "t/dead", 0));
    adapters.push_back(edge("way", "t/a", "t/d", 7));
    const AdapterRegistry registry = registry_of(adapters);
    const PlanningPolicy policy = policy_of(preferred_loops(20));
    EXPECT_EQ(summary(search(registry, "t/a", "t/d", policy)), "[way] cost 7 score 7");
    EXPECT_TRUE(search(registry, "t/a", "t/d", policy, {.prune = false}).search_limit_exceeded());
}

// Stages of parallel adapters of equal weight: width^stages equal paths.
std::vector<AdapterSpec> parallel_stages(int width, int stages, std::string_view prefix = "p") {
    std::vector<AdapterSpec> adapters;
    for (int stage = 0; stage < stages; ++stage) {
        for (int k = 0; k < width; ++k) {
            adapters.push_back(edge(std::string(prefix) + std::to_string(10 + stage) + "." + std::to_string(k),
                                    "t/n" + std::to_string(stage), "t/n" + std::to_string(stage + 1), 3));
        }
    }
    return adapters;
}

// A ring of `size` adapters through t/<entry>, with a way out to t/goal from the
// node before the entry: the one path to the goal goes all the way round.
std::vector<AdapterSpec> ring(int size, std::string_view entry) {
    std::vector<AdapterSpec> adapters;
    auto node = [&](int i) { return i == 0 ? "t/" + std::string(entry) : "t/r" + std::to_string(i); };
    for (int i = 0; i < size; ++i) adapters.push_back(edge("r" + std::to_string(100000 + i), node(i), node((i + 1) % size), 1));
    adapters.push_back(edge("out", node(size - 1), "t/goal", 1));
    return adapters;
}

TEST(AdapterPathSearchBudget, MoreWorkNeverChangesAnAnswerLessEndsInTheLimit) {
    std::vector<AdapterSpec> into_ring = parallel_stages(2, 3);
    for (AdapterSpec& a : ring(300, "n3")) into_ring.push_back(a);
    const std::vector<std::tuple<std::string, std::vector<AdapterSpec>, std::string, std::string>> cases = {
        {"eight equal ways into a ring", into_ring, "{}", "t/goal"},
        {"the first of them", into_ring, R"({"require_user_choice_on_ambiguity":false})", "t/goal"},
        {"no way out of a dead end", parallel_stages(2, 6), "{}", "t/goal"},
        {"a chain of parallel stages", parallel_stages(3, 4), "{}", "t/n4"},
    };
    for (const auto& [name, adapters, policy_text, to] : cases) {
        const AdapterRegistry registry = registry_of(adapters);
        const PlanningPolicy policy = policy_of(policy_text);
        const PathResolution unbounded = search(registry, "t/n0", to, policy);
        ASSERT_FALSE(unbounded.search_limit_exceeded()) << name;
        // The least budget that completes the search, found by bisection; every
        // budget from there on gives the same answer, every smaller one the limit.
        std::uint64_t low = 0, high = PathSearchOptions::default_max_work;
        while (high - low > 1) {
            const std::uint64_t mid = low + (high - low) / 2;
            (search(registry, "t/n0", to, policy, {.max_work = mid}).search_limit_exceeded() ? low : high) = mid;
        }
        for (std::uint64_t budget : {high, high + 1, 2 * high, high * 1000}) {
            EXPECT_EQ(search(registry, "t/n0", to, policy, {.max_work = budget}), unbounded) << name << " " << budget;
        }
        for (std::uint64_t budget : {std::uint64_t{0}, high / 2, high - 1}) {
            const PathResolution r = search(registry, "t/n0", to, policy, {.max_work = budget});
            EXPECT_EQ(summary(r), "search_limit_exceeded: adapter path search from `t/n0` to `" + to +
                                      "` exceeded its limit of " + std::to_string(budget) + " work units")
                << name;
        }
    }
}

TEST(AdapterPathSearchBudget, TheSearchesOfOneSearcherShareItsBudget) {
    const AdapterRegistry registry = registry_of(parallel_stages(2, 4));
    const PlanningPolicy policy;
    const auto t = TypeId::trusted("t");
    const auto n0 = RepresentationId::trusted("n0"), n3 = RepresentationId::trusted("n3"),
               n4 = RepresentationId::trusted("n4");
    // The least budget of one search on its own.
    auto least = [&](const std::string& to) {
        std::uint64_t units = 0;
        while (search(registry, "t/n0", to, policy, {.max_work = units}).search_limit_exceeded()) ++units;
        return units;
    };
    const std::uint64_t to_n3 = least("t/n3"), to_n4 = least("t/n4");
    PathSearcher enough(registry, policy, {.max_work = to_n3 + to_n4});
    EXPECT_FALSE(enough.find_path(t, n0, t, n4).search_limit_exceeded());
    EXPECT_FALSE(enough.find_path(t, n0, t, n3).search_limit_exceeded());
    EXPECT_FALSE(enough.spend(1));
    PathSearcher short_of_one(registry, policy, {.max_work = to_n3 + to_n4 - 1});
    EXPECT_FALSE(short_of_one.find_path(t, n0, t, n4).search_limit_exceeded());
    EXPECT_TRUE(short_of_one.find_path(t, n0, t, n3).search_limit_exceeded());
    // Spent stays spent, even for a search that needs no work.
    EXPECT_TRUE(short_of_one.find_path(t, n0, t, RepresentationId::trusted("n1")).search_limit_exceeded());
    EXPECT_EQ(summary(short_of_one.find_path(t, n0, t, n0)), "[] cost 0 score 0");
}

TEST(AdapterPathSearchBudget, ARouteOutOfBudgetIsTheLimitAlone) {
    // At every budget short of the least, a route is the limit issue and nothing
    // else: no path, and none of the equivalent paths the search had kept when it
    // ran out (they would read as a choice the caller must make).
    const std::vector<std::pair<std::string, std::vector<AdapterSpec>>> cases = {
        {"two ways through two nodes",
         {edge("a0", "t/s", "t/m0", 1), edge("a1", "t/s", "t/m1", 1), edge("b0", "t/m0", "t/T", 1),
          edge("b1", "t/m1", "t/T", 1)}},
        {"eight equal ways", parallel_stages(2, 3, "w")},
    };
    const auto t = TypeId::trusted("t");
    for (const auto& [name, adapters] : cases) {
        const AdapterRegistry registry = registry_of(adapters);
        const auto from = RepresentationId::trusted(adapters.front().input_representation.view());
        const auto to = RepresentationId::trusted(adapters.back().output_representation.view());
        PathSearchOptions::Work work;
        const PathRoute full = PathSearcher(registry, {}, {.work = &work}).find_route(t, from, t, to);
        ASSERT_TRUE(full.requires_user_choice()) << name;
        for (std::uint64_t budget = 0; budget <= work.budget; ++budget) {
            const PathRoute r = PathSearcher(registry, {}, {.max_work = budget}).find_route(t, from, t, to);
            const std::string at = name + ", budget " + std::to_string(budget);
            if (budget == work.budget) {
                EXPECT_FALSE(r.search_limit_exceeded()) << at;
                EXPECT_EQ(r.equivalent.size(), full.equivalent.size()) << at;
                continue;
            }
            EXPECT_TRUE(r.search_limit_exceeded()) << at;
            EXPECT_EQ(r.issues.size(), 1u) << at;
            EXPECT_FALSE(r.adapters.has_value()) << at;
            EXPECT_TRUE(r.equivalent.empty()) << at;
            EXPECT_FALSE(r.requires_user_choice()) << at;
        }
    }
}

TEST(AdapterPathSearch, AnAmbiguousOutcomeCanBringTheFirstPathAlong) {
    const AdapterRegistry registry =
        registry_of({edge("x2", "t/a", "t/b", 1), edge("x1", "t/a", "t/b", 1), edge("y", "t/b", "t/d", 1)});
    const auto t = TypeId::trusted("t");
    PathSearcher searcher(registry, PlanningPolicy{});
    const PathResolution both =
        searcher.find_path(t, RepresentationId::trusted("a"), t, RepresentationId::trusted("d"), true);
    const PathResolution choice = search(registry, "t/a", "t/d", {});
    const PathResolution first = search(registry, "t/a", "t/d", policy_of(R"({"require_user_choice_on_ambiguity":false})"));
    EXPECT_EQ(both.issues, choice.issues);
    EXPECT_TRUE(both.requires_user_choice);
    EXPECT_EQ(both.path, first.path);
    EXPECT_EQ(summary(first), "[x1,y] cost 2 score 2");
}

TEST(AdapterPathSearch, LongCyclesAndWideHubsAreSearchedWithinTheBudget) {
    std::vector<AdapterSpec> hub = parallel_stages(2, 12);
    for (int i = 0; i < 5000; ++i) hub.push_back(edge("d" + std::to_string(10000 + i), "t/n12", "t/dead" + std::to_string(i), 1));
    hub.push_back(edge("zz.out", "t/n12", "t/goal", 1));
    const std::vector<std::tuple<std::string, std::vector<AdapterSpec>, std::string, std::string>> cases = {
        // 20,000 adapters in one component: every step tests reuse in a trie.
        {"a ring walked once", ring(20000, "n0"), "{}", "[20000 adapters] cost 20000 score 20000"},
        {"4,096 equal ways through a hub of dead ends", hub, "{}", "4096 choices, first p10.0 -> p11.0 -> p12.0"},
        {"the first of them", hub, R"({"require_user_choice_on_ambiguity":false})",
         "[13 adapters] cost 37 score 37"},
    };
    for (const auto& [name, adapters, policy, expected] : cases) {
        const PathResolution r = search(registry_of(adapters), "t/n0", "t/goal", policy_of(policy));
        std::string got;
        if (r.path) {
            got = "[" + std::to_string(r.path->adapters.size()) + " adapters] cost " + std::to_string(r.path->cost) +
                  " score " + std::to_string(r.path->score);
        } else if (r.requires_user_choice) {
            const std::string& c = r.issues[0].choices.front();
            got = std::to_string(r.issues[0].choices.size()) + " choices, first " + c.substr(0, c.find(" -> p13"));
        } else {
            got = summary(r);
        }
        EXPECT_EQ(got, expected) << name;
    }
}

// ---------------------------------------------------------------------------
// Cross-check against a direct transcription of the search rules: plain
// strings, a priority queue of whole paths, an ordered best-score map
// (plain_planner.hpp).
// ---------------------------------------------------------------------------

using veltrinax::testing::plain_search;

TEST(AdapterPathSearchCrossCheck, RandomRegistriesMatchTheReferenceWhateverTheShortcuts) {
    std::mt19937_64 rng(20240517);
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    const std::vector<std::string> nodes = {"t/a", "t/b", "u/a", "v/c"};  // nothing leads to v/c
    const std::vector<std::uint64_t> costs = {0, 1, 1, 1, 2, 1000000, max_u64 - 2, max_u64 / 2 + 1};
    int resolved = 0, ambiguous = 0, overflowed = 0;
    for (int trial = 0; trial < 10000; ++trial) {
        std::vector<AdapterSpec> adapters;
        const std::size_t count = 2 + pick(7);
        for (std::size_t i = 0; i < count; ++i) {
            std::string flags;
            if (pick(8) == 0) flags += 'L';
            if (pick(10) == 0) flags += 'S';
            if (pick(12) == 0) flags += 'U';
            // Ids drawn out of order so that id order differs from list order.
            adapters.push_back(edge("a" + std::to_string(9 - i) + (pick(2) ? "x" : ""), nodes[pick(3)],
                                    nodes[pick(3)], costs[pick(costs.size())], flags));
        }
        PlanningPolicy policy;
        policy.allow_lossy = pick(2);
        policy.allow_stateful = pick(2);
        policy.allow_supervised = pick(2);
        policy.require_user_choice_on_ambiguity = pick(3) != 0;
        std::vector<std::string> forbidden, preferred;
        for (const auto& a : adapters) {
            if (pick(8) == 0) forbidden.push_back(a.id);
            if (pick(6) == 0) preferred.push_back(a.id);
        }
        policy.forbidden_adapters = json::SortedSet<std::string>::from_items(forbidden);
        policy.preferred_adapters = json::SortedSet<std::string>::from_items(preferred);
        if (pick(3) == 0) policy.max_hops = json::usize{pick(4)};
        const AdapterRegistry registry = registry_of(adapters);
        const std::string from = nodes[pick(3)], to = nodes[pick(8) == 0 ? 3 : pick(3)];

        const auto ref = plain_search(registry, from, to, policy);
        const std::string label = "trial " + std::to_string(trial);
        EXPECT_EQ(search(registry, from, to, policy), ref.result) << label << ": " << summary(ref.result);
        EXPECT_EQ(search(registry, from, to, policy, {.prune = false}), ref.result) << label;
        EXPECT_EQ(search(registry, from, to, policy, {.path_label_bits = 0}), ref.result) << label;
        // Without settling the code of a missing path, only that code may differ.
        const PathResolution unsettled = search(registry, from, to, policy, {.settle_overflow = false});
        if (ref.result.path || ref.result.requires_user_choice) {
            EXPECT_EQ(unsettled, ref.result) << label;
        } else {
            EXPECT_EQ(unsettled.issues.at(0).message, ref.result.issues[0].message) << label;
            if (ref.result.issues[0].code == "no_path") {
                EXPECT_EQ(unsettled, ref.result) << label;
            }
        }
        // Unpruned, the search pushes exactly the reference's states: it completes
        // with that many and no fewer (a source that no allowed adapter leaves
        // needs no state at all).
        if (ref.pushed > 1) {
            EXPECT_FALSE(search(registry, from, to, policy, {.max_states = ref.pushed, .prune = false})
                             .search_limit_exceeded())
                << label;
            EXPECT_TRUE(search(registry, from, to, policy, {.max_states = ref.pushed - 1, .prune = false})
                            .search_limit_exceeded())
                << label;
            EXPECT_FALSE(search(registry, from, to, policy,
                                {.max_states = ref.pushed, .prune = false, .path_label_bits = 3})
                             .search_limit_exceeded())
                << label;
        }
        resolved += ref.result.path.has_value();
        ambiguous += ref.result.requires_user_choice;
        overflowed += !ref.result.issues.empty() && ref.result.issues[0].code == "cost_overflow";
    }
    // The draw must exercise every outcome, or the comparison proves little.
    EXPECT_GT(resolved, 1000);
    EXPECT_GT(ambiguous, 40);
    EXPECT_GT(overflowed, 100);
}

TEST(AdapterPathSearchCrossCheck, TheSearchesOfOneSearcherMatchTheReferenceWhateverItLearntBefore) {
    // Many searches through one searcher, whose regions are walked a little by
    // each search towards their target and serve the later ones pruned, partly or
    // fully walked: every answer must still be the reference's.
    std::mt19937_64 rng(20261207);
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    std::vector<std::string> nodes;
    for (int i = 0; i < 12; ++i) nodes.push_back("t/n" + std::to_string(i));
    int resolved = 0, pruned_to_nothing = 0;
    for (int trial = 0; trial < 40; ++trial) {
        std::vector<AdapterSpec> adapters;
        const std::size_t count = 10 + pick(60);
        for (std::size_t i = 0; i < count; ++i) {
            // Mostly forward, so that most nodes reach few others and regions differ.
            const std::size_t from = pick(nodes.size()), to = pick(3) ? std::min(nodes.size() - 1, from + 1 + pick(3))
                                                                        : pick(nodes.size());
            adapters.push_back(edge("a" + std::to_string(100 + (i * 37) % count), nodes[from], nodes[to],
                                    pick(4) == 0 ? 0 : 1 + pick(5)));
        }
        PlanningPolicy policy;
        policy.require_user_choice_on_ambiguity = pick(2) != 0;
        if (pick(3) == 0) policy.max_hops = json::usize{1 + pick(4)};
        const AdapterRegistry registry = registry_of(adapters);
        PathSearcher searcher(registry, policy);
        for (int query = 0; query < 30; ++query) {
            const std::string from = nodes[pick(nodes.size())], to = nodes[pick(nodes.size())];
            const auto ref = plain_search(registry, from, to, policy);
            const auto a = edge("probe", from, to, 0);
            const PathResolution got =
                searcher.find_path(a.input_type, a.input_representation, a.output_type, a.output_representation);
            EXPECT_EQ(got, ref.result) << "trial " << trial << " query " << query << ": " << from << " to " << to;
            resolved += ref.result.path.has_value() && !ref.result.path->adapters.empty();
            pruned_to_nothing += !ref.result.path && !ref.result.requires_user_choice;
        }
    }
    EXPECT_GT(resolved, 150);
    EXPECT_GT(pruned_to_nothing, 150);
}

TEST(AdapterPathSearchCrossCheck, LargeCyclesMatchTheReferenceStateForState) {
    // Seventy self-loops on one node share mask bits; reuse must still be exact.
    std::vector<AdapterSpec> adapters = zero_weight_loops(70, "t/a");
    adapters.push_back(edge("exit", "t/a", "t/d", 1));
    adapters.push_back(edge("back", "t/d", "t/a", 1));
    const AdapterRegistry registry = registry_of(adapters);
    PlanningPolicy policy = policy_of(preferred_loops(70));
    policy.max_hops = json::usize{2};
    const auto ref = plain_search(registry, "t/a", "t/d", policy);
    EXPECT_EQ(summary(ref.result), "[exit] cost 1 score 1");
    for (bool prune : {true, false}) EXPECT_EQ(search(registry, "t/a", "t/d", policy, {.prune = prune}), ref.result);
    EXPECT_FALSE(search(registry, "t/a", "t/d", policy, {.max_states = ref.pushed, .prune = false})
                     .search_limit_exceeded());
    EXPECT_TRUE(search(registry, "t/a", "t/d", policy, {.max_states = ref.pushed - 1, .prune = false})
                    .search_limit_exceeded());
}

TEST(AdapterPathSearchCrossCheck, LargeComponentsMatchTheReferenceStateForState) {
    // Hundreds of adapters inside one component, so that the reuse test runs
    // through tries of one to three levels, with zero-weight loops that a path
    // must not take twice.
    std::mt19937_64 rng(7);
    const std::vector<std::string> nodes = {"t/a", "t/b", "t/c", "t/d", "t/e", "t/f"};
    for (int trial = 0; trial < 24; ++trial) {
        std::vector<AdapterSpec> adapters;
        const std::size_t count = 70 + (rng() % 4) * 150;
        std::vector<std::string> preferred;
        for (std::size_t i = 0; i < count; ++i) {
            const std::string id = "a" + std::to_string(1000 + (i * 7919) % count);
            const std::string& from = nodes[rng() % 5];
            const bool loop = rng() % 4 == 0;
            adapters.push_back(edge(id, from, loop ? from : nodes[rng() % 5], loop ? 0 : 1 + rng() % 40));
            if (loop) preferred.push_back(id);
        }
        adapters.push_back(edge("z.out", nodes[rng() % 5], "t/f", 1 + rng() % 40));
        PlanningPolicy policy;
        policy.preferred_adapters = json::SortedSet<std::string>::from_items(preferred);
        policy.max_hops = json::usize{2 + rng() % 2};
        policy.require_user_choice_on_ambiguity = trial % 2 == 0;
        const AdapterRegistry registry = registry_of(adapters);
        const std::string to = trial % 3 == 0 ? "t/e" : "t/f";
        const auto ref = plain_search(registry, "t/a", to, policy);
        const std::string label = "trial " + std::to_string(trial);
        EXPECT_EQ(search(registry, "t/a", to, policy), ref.result) << label;
        EXPECT_EQ(search(registry, "t/a", to, policy, {.prune = false, .path_label_bits = 2}), ref.result) << label;
        EXPECT_FALSE(search(registry, "t/a", to, policy, {.max_states = ref.pushed, .prune = false})
                         .search_limit_exceeded())
            << label;
        EXPECT_TRUE(search(registry, "t/a", to, policy, {.max_states = ref.pushed - 1, .prune = false})
                        .search_limit_exceeded())
            << label;
    }
}

}  // namespace
