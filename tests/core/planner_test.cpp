#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "veltrinax/alignment.hpp"
#include "veltrinax/planner.hpp"
#include "support.hpp"

namespace {

using namespace veltrinax;

// ["a","b"] from "a,b"; [] from "".
std::string list(std::string_view items) {
    std::string out = "[";
    while (!items.empty()) {
        std::size_t comma = items.find(',');
        out += (out.size() > 1 ? ",\"" : "\"") + std::string(items.substr(0, comma)) + "\"";
        items = comma == std::string_view::npos ? "" : items.substr(comma + 1);
    }
    return out + "]";
}

// A source natively in `rep` with `rank` axes; rank -1: no rank (then ragged).
std::string src(std::string_view id, std::string_view type, std::string_view rep, int rank = 1) {
    std::string axes = R"({"name":"sample","kind":"sample"})";
    for (int i = 1; i < rank; ++i) axes += R"(,{"name":"f)" + std::to_string(i) + R"(","kind":"feature"})";
    return R"({"id":")" + std::string(id) + R"(","name":"n","type_id":")" + std::string(type) +
           R"(","modality":"m","sample_key":"k","granularity":"per_sample","native_representation":{"id":")" +
           std::string(rep) + R"(","type_id":"x","rank":)" + (rank < 0 ? "null" : std::to_string(rank)) +
           R"(,"axes":[)" + axes + R"(],"container":"ndarray","dtype":null,"ragged":)" +
           (rank < 0 ? "true" : "false") + "}}";
}

std::string port(std::string_view name, std::string_view reps, std::string_view types, std::string_view more = "") {
    return R"({"name":")" + std::string(name) + R"(","accepted_representations":)" + list(reps) +
           R"(,"accepted_types":)" + list(types) + (more.empty() ? "" : ",") + std::string(more) + "}";
}

constexpr std::string_view plain = R"("version":"1","fit_scope":"stateless")";

// An adapter between nodes written "type/representation".
std::string adapter(std::string_view id, std::string_view from, std::string_view to, int cost,
                    std::string_view more = plain) {
    auto node = [](std::string_view key, std::string_view n) {
        std::size_t slash = n.find('/');
        return R"(")" + std::string(key) + R"(_type":")" + std::string(n.substr(0, slash)) + R"(",")" +
               std::string(key) + R"(_representation":")" + std::string(n.substr(slash + 1)) + R"(",)";
    };
    return R"({"id":")" + std::string(id) + R"(",)" + node("input", from) + node("output", to) +
           R"("cost":)" + std::to_string(cost) + "," + std::string(more) + "}";
}

using veltrinax::testing::read;

struct Inputs {
    std::string sources;   // comma-separated source objects
    std::string ports;     // comma-separated port objects
    std::string adapters;  // comma-separated adapter objects
    std::string request = R"({"id":"plan"})";
    std::string fusion = "";  // the default fusion value; none when empty
};

Result<DataPlan> plan(const Inputs& in, const PathSearchOptions& options = {}) {
    auto schema = read<DatasetSchema>(R"({"dataset_id":"d","sample_ids":["s1"],"sources":[)" + in.sources + "]}");
    auto model_input = read<ModelInputSpec>(R"({"ports":[)" + in.ports + "]" +
                                            (in.fusion.empty() ? "" : R"(,"default_fusion":)" + in.fusion) + "}");
    auto registry = AdapterRegistry::from_spec(read<AdapterRegistrySpec>(R"({"adapters":[)" + in.adapters + "]}"));
    EXPECT_TRUE(registry.has_value());
    return planner::plan_model_input(schema, model_input, *registry, read<DataPlanRequest>(in.request), options);
}

// The rule message of a failure, or the whole plan as text.
std::string plan_text(const Result<DataPlan>& p) {
    if (p) return json::to_text(*p);
    const auto* rule = p.error().get<DataError::Validation>();
    return rule ? rule->message : "not a validation error: " + p.error().to_string();
}

// One line per plan: each step's output name (an adapt step's adapter in
// parentheses, an align step's mode in brackets), then "=>" and the plan's output
// representation, then the code of each issue after "!".
std::string summary(const Result<DataPlan>& p) {
    if (!p) return plan_text(p);
    std::string out;
    for (const DataPlanStep& step : p->steps) {
        out += step.metadata.find("output")->as_string();
        if (step.adapter_id) out += "(" + *step.adapter_id + ")";
        if (const json::Value* mode = step.metadata.find("alignment")) out += "[" + mode->as_string() + "]";
        out += " ";
    }
    out += "=> " + p->output_representation.str();
    for (const PlanIssue& issue : p->issues) out += " ! " + issue.code;
    return out;
}

struct Case {
    std::string_view behaviour;
    Inputs in;
    std::string expected;  // the plan (summary or whole text), or the rule message
};

TEST(PlannerPlanModelInput, PortsResolveInOrderAndEveryFailureHasItsMessage) {
    const std::string s = src("s", "t", "r0");
    const std::string a = src("a", "t", "r0");
    const std::string b = src("b", "t", "r0");
    const std::string z = src("z", "t", "r0");
    const std::string p = port("p", "r0", "t");
    const std::string multi = port("p", "r0", "t", R"("multi_source":true)");
    const std::string opt = R"("optional":true)";
    // Each reachable pair of the port below is cheaper than the pair before it.
    const std::string pairs = port("p", "r1,r2", "t1,t2");
    const std::string to11 = adapter("to.11", "t/r0", "t1/r1", 9), to12 = adapter("to.12", "t/r0", "t1/r2", 7),
                      to21 = adapter("to.21", "t/r0", "t2/r1", 5), to22 = adapter("to.22", "t/r0", "t2/r2", 3);
    const std::string twins = adapter("b.2", "t/r0", "t/r9", 5) + "," + adapter("b.1", "t/r0", "t/r9", 5);
    const std::string up = adapter("up", "t/r1", "t/r2", 1);
    const std::string a1 = src("a", "t", "r1"), b2 = src("b", "t", "r2"), c = src("c", "u", "r0");
    const std::string both = port("p", "r1,r2", "t", R"("multi_source":true)");

    const Case cases[] = {
        // Inputs and request, in the order they are checked.
        {"blank request id", {s, p, "", R"({"id":" \u3000"})"}, "data plan request id is empty"},
        {"schema error before request id", {s + "," + s, p, "", R"({"id":" "})"}, "duplicate source id `s`"},
        {"model input error before request id", {s, "", "", R"({"id":" "})"}, "model input spec contains no ports"},
        {"repeated unknown source is a repeat", {s, p, "", R"({"id":"q","source_ids":["zz","s","zz"]})"},
         "data plan request contains duplicate source `zz`"},
        {"unknown source", {s, p, "", R"({"id":"q","source_ids":["s","zz"]})"},
         "data plan request references unknown source `zz`"},

        // Candidates: sorted by id, or in request order.
        {"all sources sorted by id", {z + "," + a, multi, ""}, "src:a src:z step:align:0[inner] port:p => r0"},
        {"requested sources in request order", {a + "," + z, multi, "", R"({"id":"q","source_ids":["z","a"]})"},
         "src:z src:a step:align:0[inner] port:p => r0"},
        {"only requested sources", {a + "," + z, multi, "", R"({"id":"q","source_ids":["z"]})"}, "src:z port:p => r0"},
        {"no requested source, required port", {s, p, "", R"({"id":"q","source_ids":[]})"},
         "no source can satisfy required model input port `p`"},
        {"no requested source, optional ports", {s, port("p", "r0", "t", opt), "", R"({"id":"q","source_ids":[]})"},
         "model input plan produced no outputs"},

        // Pairs: types outermost, the first that resolves wins however costly.
        {"pair T1R1 first", {s, pairs, to11 + "," + to12 + "," + to21 + "," + to22},
         "src:s step:adapt:0(to.11) port:p => r1"},
        {"pair T1R2 before T2R1", {s, pairs, to12 + "," + to21 + "," + to22}, "src:s step:adapt:0(to.12) port:p => r2"},
        {"pair T2R1 next", {s, pairs, to21 + "," + to22}, "src:s step:adapt:0(to.21) port:p => r1"},
        {"pair T2R2 last", {s, pairs, to22}, "src:s step:adapt:0(to.22) port:p => r2"},

        // Ranks: the source's own representation first, then the catalogue.
        {"native rank 3 gated out for rank 2",
         {src("s", "t", "r3", 3), port("p", "r3,tabular_numeric", "t", R"("rank":2)"),
          adapter("x", "t/r3", "t/tabular_numeric", 1)},
         "src:s step:adapt:0(x) port:p => tabular_numeric"},
        {"built-in rank 2 gated out for rank 3",
         {s, port("p", "tabular_numeric", "t", R"("rank":3)"), adapter("x", "t/r0", "t/tabular_numeric", 1)},
         "no source can satisfy required model input port `p`"},
        {"own rank 3 beats the catalogue's 2",
         {src("s", "t", "signal_1d", 3), port("p", "signal_1d", "t", R"("rank":3)"), ""},
         "src:s port:p => signal_1d"},
        {"own missing rank beats the catalogue's 2",
         {src("s", "t", "signal_1d", -1), port("p", "signal_1d", "t", R"("rank":2)"), ""},
         "src:s port:p => signal_1d ! unverified_rank"},

        // Ambiguity: the first path by id, with or without the issue.
        {"ambiguity kept as an issue", {s, port("p", "r9", "t"), twins},
         "src:s step:adapt:0(b.1) port:p => r9 ! ambiguous_path"},
        {"ambiguity taken silently",
         {s, port("p", "r9", "t"), twins, R"({"id":"q","planning_policy":{"require_user_choice_on_ambiguity":false}})"},
         "src:s step:adapt:0(b.1) port:p => r9"},

        // Several ports and several sources.
        {"one source feeds two ports", {s, p + "," + port("q", "r0", "t"), ""}, "src:s port:p src:s port:q => r0"},
        {"too many sources", {a + "," + b, p, ""}, "model input port `p` accepts one source but 2 sources resolved"},
        {"common pair found; unresolved candidates take no part", {c + "," + b2 + "," + a1, both, up},
         "src:a step:adapt:0(up) src:b step:align:0[inner] port:p => r2"},
        {"no common pair", {a1 + "," + b2, both, ""},
         "model input port `p` has no common accepted representation for its sources"},
        {"common pair drops the issues of the first resolution",
         {a + "," + b2, both,
          adapter("x.1", "t/r0", "t/r1", 1) + "," + adapter("x.2", "t/r0", "t/r1", 1) + "," +
              adapter("y", "t/r0", "t/r2", 9)},
         "src:a step:adapt:0(y) src:b step:align:0[inner] port:p => r2"},
        {"one resolved source is not aligned", {c + "," + a1, both, ""}, "src:a port:p => r1"},
        {"counters run over the whole plan",
         {a + "," + b, multi + "," + port("q", "r2", "t", R"("multi_source":true)"),
          adapter("up", "t/r0", "t/r1", 1) + "," + adapter("up2", "t/r1", "t/r2", 1)},
         "src:a src:b step:align:0[inner] port:p src:a step:adapt:0(up) step:adapt:1(up2) src:b step:adapt:2(up) "
         "step:adapt:3(up2) step:align:1[inner] port:q => r2"},
        {"optional ports skipped; output of the last planned port",
         {s, port("o", "r9", "t", opt) + "," + p + "," + port("q", "r1", "t") + "," + port("o2", "r9", "t", opt),
          adapter("up", "t/r0", "t/r1", 1)},
         "src:s port:p src:s step:adapt:0(up) port:q => r1"},

        // The alignment mode, read only for an align step.
        {"alignment outer", {a + "," + b, multi, "", {}, R"({"alignment":"outer"})"},
         "src:a src:b step:align:0[outer] port:p => r0"},
        {"alignment as a one-key object", {a + "," + b, multi, "", {}, R"({"alignment":{"left":null}})"},
         "src:a src:b step:align:0[left] port:p => r0"},
        {"fusion not an object", {a + "," + b, multi, "", {}, R"(["outer"])"},
         "src:a src:b step:align:0[inner] port:p => r0"},
        {"fusion without alignment", {a + "," + b, multi, "", {}, R"({"mode":"outer"})"},
         "src:a src:b step:align:0[inner] port:p => r0"},
        {"alignment null", {a + "," + b, multi, "", {}, R"({"alignment":null})"},
         "invalid fusion alignment policy: invalid type: null, expected string or map"},
        {"alignment unknown", {a + "," + b, multi, "", {}, R"({"alignment":"full"})"},
         "invalid fusion alignment policy: unknown variant `full`, expected one of `inner`, `left`, `outer`"},
        {"bad alignment harmless without align step", {a, multi, "", {}, R"({"alignment":null})"},
         "src:a port:p => r0"},
    };
    for (const Case& c : cases) {
        Inputs in = c.in;
        if (in.request.empty()) in.request = R"({"id":"plan"})";  // rows that give a fusion value skip it
        EXPECT_EQ(summary(plan(in)), c.expected) << c.behaviour;
    }
}

// Written by hand from the planner's step table; every byte is fixed.
TEST(PlannerPlanModelInput, WholePlansAsWritten) {
    const std::string mat_s = R"({"kind":"materialize","source_id":"s","adapter_id":null,"input_representation":null,)"
                              R"("output_representation":"r0","fit_scope":"stateless","requires_user_choice":false,)"
                              R"("metadata":{"output":"src:s"}})";
    const Case cases[] = {
        {"native delivery",
         {src("s", "t", "r0"), port("p", "r0", "t"), ""},
         R"({"id":"plan","steps":[)" + mat_s +
             R"(,{"kind":"join","source_id":null,"adapter_id":null,"input_representation":"r0",)"
             R"("output_representation":"r0","fit_scope":"stateless","requires_user_choice":false,)"
             R"("metadata":{"inputs":["src:s"],"output":"port:p"}}],"output_representation":"r0","issues":[]})"},
        {"two sources adapted and aligned, id untrimmed",
         {src("b", "t", "rb") + "," + src("a", "t", "ra"), port("p", "r1", "t", R"("multi_source":true)"),
          adapter("a.in", "t/ra", "t/r1", 2, R"("version":"2.1","fit_scope":"stateless","params":{"z":1,"a":[true]})") +
              "," + adapter("b.in", "t/rb", "t/r1", 0, R"("version":"1","fit_scope":"full_train")"),
          R"({"id":" p1 "})"},
         R"({"id":" p1 ","steps":[)"
         R"({"kind":"materialize","source_id":"a","adapter_id":null,"input_representation":null,)"
         R"("output_representation":"ra","fit_scope":"stateless","requires_user_choice":false,)"
         R"("metadata":{"output":"src:a"}},)"
         R"({"kind":"adapt","source_id":"a","adapter_id":"a.in","input_representation":"ra",)"
         R"("output_representation":"r1","fit_scope":"stateless","requires_user_choice":false,)"
         R"("metadata":{"adapter_params":{"a":[true],"z":1},"adapter_version":"2.1","input":"src:a",)"
         R"("output":"step:adapt:0"}},)"
         R"({"kind":"materialize","source_id":"b","adapter_id":null,"input_representation":null,)"
         R"("output_representation":"rb","fit_scope":"stateless","requires_user_choice":false,)"
         R"("metadata":{"output":"src:b"}},)"
         R"({"kind":"adapt","source_id":"b","adapter_id":"b.in","input_representation":"rb",)"
         R"("output_representation":"r1","fit_scope":"full_train","requires_user_choice":false,)"
         R"("metadata":{"adapter_params":{},"adapter_version":"1","input":"src:b","output":"step:adapt:1"}},)"
         R"({"kind":"align","source_id":null,"adapter_id":null,"input_representation":"r1",)"
         R"("output_representation":"r1","fit_scope":"stateless","requires_user_choice":false,)"
         R"("metadata":{"alignment":"inner","inputs":["step:adapt:0","step:adapt:1"],"output":"step:align:0"}},)"
         R"({"kind":"join","source_id":null,"adapter_id":null,"input_representation":"r1",)"
         R"("output_representation":"r1","fit_scope":"stateless","requires_user_choice":false,)"
         R"("metadata":{"inputs":["step:align:0"],"output":"port:p"}}],)"
         R"("output_representation":"r1","issues":[]})"},
        {"ambiguous path, then unverified rank",
         {src("s", "t", "r0"), port("p", "r9", "t", R"("rank":2)"),
          adapter("b.2", "t/r0", "t/r9", 5) + "," + adapter("b.1", "t/r0", "t/r9", 5)},
         R"({"id":"plan","steps":[)" + mat_s +
             R"(,{"kind":"adapt","source_id":"s","adapter_id":"b.1","input_representation":"r0",)"
             R"("output_representation":"r9","fit_scope":"stateless","requires_user_choice":false,)"
             R"("metadata":{"adapter_params":{},"adapter_version":"1","input":"src:s","output":"step:adapt:0"}},)"
             R"({"kind":"join","source_id":null,"adapter_id":null,"input_representation":"r9",)"
             R"("output_representation":"r9","fit_scope":"stateless","requires_user_choice":false,)"
             R"("metadata":{"inputs":["step:adapt:0"],"output":"port:p"}}],"output_representation":"r9",)"
             R"("issues":[{"code":"ambiguous_path","message":"multiple equivalent adapter paths require user choice",)"
             R"("choices":["b.1","b.2"]},{"code":"unverified_rank","message":"input port `p` requires rank Some(2), )"
             R"(but representation `r9` has no declared rank","choices":[]}]})"},
    };
    for (const Case& c : cases) EXPECT_EQ(plan_text(plan(c.in)), c.expected) << c.behaviour;
}

TEST(PlannerPlanModelInput, OneWorkBudgetBoundsTheWholeCall) {
    // A multi-source port fed by many sources natively: no search does any
    // work, yet the steps to write grow with the sources.
    std::string many_sources;
    for (int i = 0; i < 40; ++i) many_sources += (i ? "," : "") + src("s" + std::to_string(10 + i), "t", "r0");
    const Inputs wide{many_sources, port("p", "r0", "t", R"("multi_source":true)"), ""};
    const Inputs one_search{src("s", "t", "r0"), port("p", "r1", "t", R"("optional":true)"),
                            adapter("x", "t/r0", "t/r1", 1)};
    struct Row {
        std::string_view behaviour;
        const Inputs& in;
        std::uint64_t max_work;
        std::string expected;
    };
    const Row rows[] = {
        {"a search out of budget fails the plan, even for an optional port", one_search, 100,
         "adapter path search from `t/r0` to `t/r1` exceeded its limit of 100 work units"},
        {"a budget too small for the plan's own text fails before any search", one_search, 20,
         "model input planning exceeded its limit of 20 work units"},
        {"the same search with its budget", one_search, 2000, "src:s step:adapt:0(x) port:p => r1"},
        {"steps beyond the budget fail the plan", wide, 5000,
         "model input planning exceeded its limit of 5000 work units"},
        {"the same steps with their budget", wide, 40000, ""},
    };
    for (const Row& row : rows) {
        PathSearchOptions options;
        options.max_work = row.max_work;
        const Result<DataPlan> planned = plan(row.in, options);
        if (row.expected.empty()) {
            EXPECT_EQ(planned, plan(row.in)) << row.behaviour;
        } else {
            EXPECT_EQ(summary(planned), row.expected) << row.behaviour;
        }
    }
}

bool out_of_budget(const Result<DataPlan>& p) {
    return !p && p.error().to_string().find("exceeded its limit of") != std::string::npos;
}

// The least budget that completes the call (more never changes an outcome).
std::uint64_t least_budget(const Inputs& in, PathSearchOptions options = {}) {
    // The units a call draws are its least budget: its work does not depend on the
    // budget until that runs out (budget_test.cpp checks it at the edge).
    PathSearchOptions::Work work;
    options.work = &work;
    EXPECT_FALSE(out_of_budget(plan(in, options)));
    return work.budget;
}

TEST(PlannerWorkBudget, AdaptersTheSourceNeverReachesCostNoMoreThanTheSearchesBesideThem) {
    // 300 ports, each accepting first a representation of its own that the source
    // cannot reach, then one it reaches through one adapter. A hub leads to every
    // one of them, and 1,000 adapters the source never reaches lead into the hub,
    // in several shapes; the twin has the same adapters leading elsewhere. Every
    // search is short, yet 1,000 adapters can reach each of its targets.
    constexpr int dead = 1000, ports = 300;
    auto inputs = [&](std::string_view shape, bool into_hub) {
        const std::string hub = into_hub ? "t/hub" : "t/elsewhere";
        std::string adapters = adapter("direct", "t/r0", "t/t", 1) + "," + adapter("hub.t", "t/hub", "t/t", 1);
        auto add = [&](const std::string& id, const std::string& from, const std::string& to) {
            adapters += "," + adapter(id, from, to, 1);
        };
        for (int i = 0; i < dead; ++i) {
            const std::string n = std::to_string(i), next = std::to_string(i + 1);
            if (shape == "fan-in") add("x." + n, "t/x" + n, hub);
            if (shape == "chain") add("y." + n, "t/y" + n, i + 1 == dead ? hub : "t/y" + next);
            if (shape == "ring") add("q." + n, "t/q" + n, "t/q" + std::to_string((i + 1) % dead));
            // Two parallel ways per stage: 2^500 paths.
            if (shape == "ladder") {
                const int stage = i / 2;
                add("l." + n, "t/l" + std::to_string(stage), 2 * stage + 2 >= dead ? hub : "t/l" + std::to_string(stage + 1));
            }
        }
        if (shape == "ring") add("z.ring", "t/q0", hub);
        std::string port_list;
        for (int i = 0; i < ports; ++i) {
            const std::string own = "z" + std::to_string(i);
            add("hub." + own, "t/hub", "t/" + own);
            port_list += (i ? "," : "") + port("p" + std::to_string(i), own + ",t", "t");
        }
        return Inputs{src("s", "t", "r0"), port_list, adapters};
    };
    for (std::string_view shape : {"fan-in", "chain", "ring", "ladder"}) {
        const Inputs crafted = inputs(shape, true), twin = inputs(shape, false);
        const Result<DataPlan> planned = plan(crafted);
        ASSERT_TRUE(planned.has_value()) << shape << ": " << plan_text(planned);
        EXPECT_EQ(plan_text(planned), plan_text(plan(twin))) << shape;
        const std::uint64_t crafted_work = least_budget(crafted), twin_work = least_budget(twin);
        EXPECT_LE(crafted_work, 3 * twin_work) << shape << ": " << crafted_work << " against " << twin_work;
        // Pruning only ever saves: never more than the searches without it.
        EXPECT_LE(crafted_work, least_budget(crafted, {.prune = false})) << shape;
    }
}

TEST(PlannerWorkBudget, EveryByteOfThePlanIsCountedAsItIsWritten) {
    // Plans whose text is mostly one kind of written part; their searches are few
    // and short, so the least budget is their size and little more.
    const std::string long_name(5000, 'p');
    std::string numbers;
    for (int i = 0; i < 20000; ++i) numbers += (i ? "," : "") + std::to_string(i % 10);
    const std::string with_params =
        adapter("a", "t/r0", "t/r1", 1, std::string(plain) + R"(,"params":{"k":[)" + numbers + "]}");
    std::string sources;
    for (int i = 0; i < 50; ++i) sources += (i ? "," : "") + src("s" + std::to_string(100 + i), "t", "r0");
    const std::string long_a(3000, 'a'), long_b(3000, 'b');
    const struct {
        std::string_view behaviour;
        Inputs in;
    } rows[] = {
        {"an unverified rank quotes the port's name",
         {src("s", "t", "r0"), port(long_name, "r9", "t", R"("rank":2)"), adapter("x", "t/r0", "t/r9", 1)}},
        {"choices list equivalent paths",
         {src("s", "t", "r0"), port("p", "r9", "t"),
          adapter(long_a, "t/r0", "t/r9", 1) + "," + adapter(long_b, "t/r0", "t/r9", 1)}},
        {"parameters are written into every step of their adapter",
         {src("s", "t", "r0"), port("p", "r1", "t") + "," + port("q", "r1", "t") + "," + port("u", "r1", "t"),
          with_params}},
        {"an align step names every source", {sources, port("p", "r0", "t", R"("multi_source":true)"), ""}},
        {"a join step names its port", {src("s", "t", "r0"), port(long_name, "r0", "t"), ""}},
    };
    for (const auto& row : rows) {
        const Result<DataPlan> planned = plan(row.in);
        ASSERT_TRUE(planned.has_value()) << row.behaviour;
        const std::uint64_t size = json::to_text(*planned).size();
        const std::uint64_t least = least_budget(row.in);
        EXPECT_GE(least, size) << row.behaviour;
        EXPECT_LE(least, size + 2000) << row.behaviour;
        PathSearchOptions short_of_it;
        short_of_it.max_work = least - 1;
        EXPECT_EQ(summary(plan(row.in, short_of_it)),
                  "model input planning exceeded its limit of " + std::to_string(least - 1) + " work units")
            << row.behaviour;
    }
}

TEST(PlannerPlanModelInput, AnOverflowBesideAnExplodingDeadEndDoesNotStopPlanning) {
    // From t/r0, 2^24 equal paths into a dead end; elsewhere one adapter whose
    // cost could overflow a sum. Telling "cost_overflow" from "no_path" for t/t
    // would take the whole dead end, but the planner drops both alike.
    std::string adapters;
    for (int stage = 0; stage < 24; ++stage) {
        for (int k = 0; k < 2; ++k) {
            adapters += (adapters.empty() ? "" : ",") +
                        adapter("w" + std::to_string(10 + stage) + "." + std::to_string(k),
                                stage == 0 ? "t/r0" : "t/d" + std::to_string(stage), "t/d" + std::to_string(stage + 1),
                                1);
        }
    }
    const std::string unrelated = adapter("zz", "t/x", "t/y", 0).replace(adapter("zz", "t/x", "t/y", 0).find("\"cost\":0"), 8,
                                                                           "\"cost\":18446744073709551615");
    const Inputs in{src("s", "t", "r0"), port("p", "t,r0", "t"), adapters + "," + unrelated};
    EXPECT_EQ(summary(plan(in)), "src:s port:p => r0");

    auto registry = AdapterRegistry::from_spec(read<AdapterRegistrySpec>(R"({"adapters":[)" + in.adapters + "]}"));
    ASSERT_TRUE(registry.has_value());
    const auto t = TypeId::trusted("t");
    EXPECT_TRUE(registry->find_path(t, RepresentationId::trusted("r0"), t, RepresentationId::trusted("t"), {},
                                    {.max_work = 1'000'000})
                    .search_limit_exceeded());
}

TEST(PlannerRequest, ReadsBothFormsWithItsDefaults) {
    struct Row {
        std::string_view text;
        std::string_view expected;  // "id sources max_hops", or the reader's message
    };
    const Row rows[] = {
        {R"({"id":"p","extra":1})", "p none none"},
        {R"({"id":"p","source_ids":null,"planning_policy":{}})", "p none none"},
        {R"(["p"])", "p none none"},
        {R"(["p",null])", "p none none"},
        {R"(["p",[]])", "p [] none"},
        {R"(["p",["b","a"],{"max_hops":2}])", "p [\"b\",\"a\"] 2"},
        {"[]", "invalid length 0, expected struct DataPlanRequest with 3 elements at line 1 column 2"},
        {R"({"source_ids":[]})", "missing field `id` at line 1 column 17"},
        {R"({"id":"p","source_ids":["a b"]})",
         "invalid identifier `a b`: identifier contains unsupported characters at line 1 column 30"},
        {R"({"id":"p","planning_policy":null})",
         "invalid type: null, expected struct PlanningPolicy at line 1 column 32"},
    };
    for (const Row& row : rows) {
        auto r = json::from_text<DataPlanRequest>(row.text);
        std::string got = !r ? r.error().to_string()
                             : r->id + " " + (r->source_ids ? json::to_text(*r->source_ids) : "none") + " " +
                                   (r->planning_policy.max_hops ? std::to_string(r->planning_policy.max_hops->value)
                                                                : "none");
        if (r && row.text.find("max_hops") == std::string_view::npos) {
            EXPECT_EQ(r->planning_policy, PlanningPolicy{}) << row.text;
        }
        EXPECT_EQ(got, row.expected) << row.text;
    }
}

}  // namespace
