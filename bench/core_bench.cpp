// Times the core's stages on one document, outside the interpreter:
//   core_bench TYPE FILE [REPEATS [STAGE]]
// TYPE is one of: relations, folds, schema, plan. Prints the median time of
// reading, validating, fingerprinting and SHA-256 of the bytes alone.
//   core_bench paths [REPEATS]
// times the adapter path search on the built-in registry from every built-in
// representation to "tabular_numeric" (default and most permissive policy), and
// the time to reach the search's state budget on two explosive registries.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "veltrinax/adapter.hpp"
#include "veltrinax/builtin_models.hpp"
#include "veltrinax/fingerprint.hpp"
#include "veltrinax/model.hpp"
#include "veltrinax/plan.hpp"
#include "veltrinax/relation.hpp"

namespace vx = veltrinax;

namespace {

double median_ms(int repeats, const std::function<void()>& f) {
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        f();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// When set (the 4th argument), only the stage of that name is timed (for perf).
std::string only;

bool wanted(const char* stage) { return only.empty() || only == stage; }

template <class T, class Fp>
void run(const std::string& text, int repeats, Fp fingerprint) {
    std::printf("bytes          %zu\n", text.size());
    if (wanted("sha256")) {
        std::printf("sha256 bytes   %10.4f ms\n", median_ms(repeats, [&] { vx::fingerprint::sha256(text); }));
    }
    if (wanted("read")) {
        std::printf("read           %10.4f ms\n", median_ms(repeats, [&] {
                        auto r = vx::json::from_text<T>(text);
                        if (!r) std::printf("read error: %s\n", r.error().to_string().c_str());
                    }));
    }
    auto record = *vx::json::from_text<T>(text);
    if (wanted("validate")) {
        std::printf("validate       %10.4f ms\n", median_ms(repeats, [&] {
                        if (!record.validate()) std::printf("invalid\n");
                    }));
    }
    if (wanted("fingerprint")) {
        std::printf("fingerprint    %10.4f ms\n", median_ms(repeats, [&] {
                        if (!fingerprint(record)) std::printf("fingerprint failed\n");
                    }));
    }
    if (wanted("write")) {
        std::printf("write          %10.4f ms\n", median_ms(repeats, [&] { vx::json::to_text(record); }));
    }
}

vx::AdapterSpec edge(std::string id, std::string_view from_rep, std::string_view to_rep, std::uint64_t cost) {
    vx::AdapterSpec a;
    a.id = std::move(id);
    a.version = "1";
    a.input_type = vx::TypeId::trusted("t");
    a.input_representation = vx::RepresentationId::trusted(std::string(from_rep));
    a.output_type = vx::TypeId::trusted("t");
    a.output_representation = vx::RepresentationId::trusted(std::string(to_rep));
    a.cost = cost;
    return a;
}

void run_paths(int repeats) {
    auto registry = vx::AdapterRegistry::from_spec(vx::builtin_models::builtin_adapter_registry_spec());
    if (!registry) {
        std::printf("built-in registry failed: %s\n", registry.error().to_string().c_str());
        return;
    }
    const auto representations = vx::builtin_models::builtin_representations();
    const vx::RepresentationSpec* target = nullptr;
    for (const auto& r : representations) {
        if (r.id == std::string_view("tabular_numeric")) target = &r;
    }
    if (!target) return;
    vx::PlanningPolicy permissive;
    permissive.allow_lossy = permissive.allow_stateful = permissive.allow_supervised = true;
    permissive.require_user_choice_on_ambiguity = false;
    std::printf("| from | default policy | us | most permissive policy | us |\n|---|---|---|---|---|\n");
    for (const auto& from : representations) {
        auto run_policy = [&](const vx::PlanningPolicy& policy, std::string& what) {
            vx::PathResolution outcome;
            const double us = 1000.0 * median_ms(repeats, [&] {
                                  outcome = registry->find_path(from.type_id, from.id, target->type_id, target->id,
                                                                policy);
                              });
            if (!outcome.path) {
                what = outcome.issues.front().code;
            } else if (outcome.path->adapters.empty()) {
                what = "identity";
            } else {
                what = "path of " + std::to_string(outcome.path->adapters.size());
            }
            return us;
        };
        std::string default_what;
        std::string permissive_what;
        const double default_us = run_policy(vx::PlanningPolicy{}, default_what);
        const double permissive_us = run_policy(permissive, permissive_what);
        std::printf("| %s | %s | %.1f | %s | %.1f |\n", from.id.str().c_str(), default_what.c_str(), default_us,
                    permissive_what.c_str(), permissive_us);
    }

    // Four parallel equal-weight adapters on each of 24 hops (4^24 equal paths),
    // and 30 preferred zero-weight self-loops before one exit.
    std::vector<vx::AdapterSpec> parallel;
    for (int hop = 0; hop < 24; ++hop) {
        for (int k = 0; k < 4; ++k) {
            parallel.push_back(edge("p." + std::to_string(100 + hop) + "." + std::to_string(k),
                                    "n" + std::to_string(hop), "n" + std::to_string(hop + 1), 3));
        }
    }
    std::vector<vx::AdapterSpec> loops;
    vx::PlanningPolicy prefer_loops;
    std::vector<std::string> preferred;
    for (int i = 0; i < 30; ++i) {
        loops.push_back(edge("loop." + std::to_string(100 + i), "a", "a", 0));
        preferred.push_back("loop." + std::to_string(100 + i));
    }
    loops.push_back(edge("exit", "a", "d", 1));
    prefer_loops.preferred_adapters = vx::json::SortedSet<std::string>::from_items(preferred);
    struct Worst {
        const char* name;
        std::vector<vx::AdapterSpec> adapters;
        std::string from, to;
        vx::PlanningPolicy policy;
    };
    for (const Worst& w : {Worst{"24 hops x 4 parallel", parallel, "n0", "n24", {}},
                           Worst{"30 zero-weight loops", loops, "a", "d", prefer_loops}}) {
        auto r = vx::AdapterRegistry::from_spec(vx::AdapterRegistrySpec{w.adapters});
        if (!r) return;
        vx::PathResolution outcome;
        const vx::TypeId t = vx::TypeId::trusted("t");
        const double ms = median_ms(repeats, [&] {
            outcome = r->find_path(t, vx::RepresentationId::trusted(w.from), t, vx::RepresentationId::trusted(w.to),
                                   w.policy);
        });
        std::printf("worst case, %s: %s after %.1f ms\n", w.name,
                    outcome.issues.empty() ? "path" : outcome.issues.front().code.c_str(), ms);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "paths") {
        run_paths(argc > 2 ? std::atoi(argv[2]) : 5);
        return 0;
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: core_bench relations|folds|schema|plan FILE [REPEATS]\n");
        return 2;
    }
    std::string type = argv[1];
    std::ifstream in(argv[2], std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    std::string text = buffer.str();
    int repeats = argc > 3 ? std::atoi(argv[3]) : 5;
    if (argc > 4) only = argv[4];
    if (type == "relations") run<vx::SampleRelationTable>(text, repeats, vx::fingerprint::sample_relation_fingerprint);
    if (type == "folds") run<vx::FoldSet>(text, repeats, vx::fingerprint::fold_set_fingerprint);
    if (type == "schema") run<vx::DatasetSchema>(text, repeats, vx::fingerprint::schema_fingerprint);
    if (type == "plan") run<vx::DataPlan>(text, repeats, vx::fingerprint::data_plan_fingerprint);
    return 0;
}
