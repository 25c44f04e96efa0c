// Times the core's stages on one document, outside the interpreter:
//   core_bench TYPE FILE [REPEATS [STAGE]]
// TYPE is one of: relations, folds, schema, plan. Prints the median time of
// reading, validating, fingerprinting and SHA-256 of the bytes alone.
//   core_bench paths [REPEATS]
// times the adapter path search on the built-in registry from every built-in
// representation to "tabular_numeric" (default and most permissive policy), and
// the time to reach the search's state budget on two explosive registries.
//   core_bench graph SHAPE N [lists]
// times, once each, reading and validating a registry of N adapters of SHAPE
// (the text built in memory, in the registry's array form, ids of 8 bytes) and
// building its graph (a searcher's first search, from a node no adapter
// leaves). Fresh processes give the spread: run it several times. Shapes:
//   joined            N adapters over 1,000 nodes (short texts)
//   new               every adapter brings two new nodes: one type, short
//                     representations
//   new-types         short types and representations, all distinct
//   long              128-byte types and representations alike but for their
//                     last 8 bytes, all distinct
//   long-shared-type  one 128-byte type, representations as in `long`
//   long-outliers     as `long-shared-type`, one end parting from the rest at
//                     each of the pair's 32 words
//   long-binary       128-byte types and representations, each of their 32
//                     words holding one bit of the end's number
//   long-ring         one ring through N nodes of `long` texts
//   words-K           the end's number K bits (1 to 6) a word, over as few
//                     8-byte words as it takes, half in the type
// each shuffled (node texts in no relation to the ids' order), or with
// `-ordered` in the ids' order. With `lists`, the policy forbids N ids and
// prefers N others, none in the registry.
#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <numeric>
#include <random>
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

// The registry text of `n` adapters of `shape` (see the top of the file), or
// empty for an unknown shape.
std::string graph_registry(std::string shape, std::size_t n) {
    const std::string suffix = "-ordered";
    const bool ordered = shape.size() > suffix.size() && shape.ends_with(suffix);
    if (ordered) shape.resize(shape.size() - suffix.size());
    // The node texts of end e (2k the input, 2k + 1 the output of adapter k) are
    // numbered by slot[e]: in id order, or shuffled.
    std::vector<std::uint32_t> slot(shape == "long-ring" ? n : 2 * n);
    std::iota(slot.begin(), slot.end(), 0u);
    if (!ordered) std::shuffle(slot.begin(), slot.end(), std::mt19937_64(42));
    // Numbers spread over 32 bits, so that every bit of them varies.
    if (shape == "long-binary") {
        for (std::uint32_t& s : slot) s = static_cast<std::uint32_t>((std::uint64_t{s} * 0x9E3779B1u) & 0xFFFFFFFFu);
    }
    auto number = [](std::uint64_t v, int width) {
        std::string out = std::to_string(v);
        return std::string(static_cast<std::size_t>(std::max(0, width - static_cast<int>(out.size()))), '0') + out;
    };
    const std::string long_type(120, 't');
    const std::string long_representation(120, 'r');
    auto node = [&](std::size_t e) -> std::pair<std::string, std::string> {
        if (shape == "long-ring") {
            // One ring through n nodes: adapter k leads from node k to node k + 1.
            const std::uint32_t k = slot[(e / 2 + e % 2) % n];
            return {long_type + number(k, 8), long_representation + number(k, 8)};
        }
        const std::uint32_t s = slot[e];
        if (shape == "joined") return {"t", "n" + number(s % 1000, 3)};
        if (shape == "new") return {"t", "n" + number(s, 7)};
        if (shape == "new-types") return {"t" + number(s, 7), "r" + number(s, 7)};
        if (shape == "long") return {long_type + number(s, 8), long_representation + number(s, 8)};
        if (shape == "long-shared-type") return {long_type + "tttttttt", long_representation + number(s, 8)};
        if (shape == "long-outliers") {
            // As `long-shared-type`, but at each of the pair's 32 words one end
            // parts from the rest.
            std::string type = long_type + "tttttttt";
            std::string representation = long_representation + number(s, 8);
            if (s < 16) type[8 * s + 7] = 'a';
            if (s >= 16 && s < 31) representation[8 * (s - 16) + 7] = 'a';
            return {type, representation};
        }
        if (shape.starts_with("words-") && shape.size() == 7 && shape[6] >= '1' && shape[6] <= '6') {
            // The end's number spread over as few words as it takes, k bits a word
            // (in the word's last byte): short texts that part a word at a time.
            const unsigned k = static_cast<unsigned>(shape[6] - '0');
            const unsigned bits = static_cast<unsigned>(std::bit_width(2 * n - 1));
            const unsigned words = (bits + k - 1) / k;
            std::string type;
            std::string representation;
            for (unsigned w = 0; w < words; ++w) {
                const unsigned shift = bits > (w + 1) * k ? bits - (w + 1) * k : 0;
                const unsigned digit = static_cast<unsigned>((s >> shift) & ((1u << k) - 1));
                std::string& text = w < words / 2 ? type : representation;
                text += std::string(7, 'w');
                text += "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz-_"[digit];
            }
            return {type, representation};
        }
        if (shape == "long-binary") {
            // Each of the pair's words holds one bit of the end's number: the
            // ends part from one another a word at a time, half of a group at each.
            std::string type(128, 't');
            std::string representation(128, 'r');
            for (std::size_t bit = 0; bit < 32; ++bit) {
                std::string& text = bit < 16 ? type : representation;
                text[8 * (bit % 16) + 7] = static_cast<char>('0' + ((s >> (31 - bit)) & 1));
            }
            return {type, representation};
        }
        return {};
    };
    if (node(0).first.empty()) return {};
    std::string text = "{\"adapters\":[";
    for (std::size_t k = 0; k < n; ++k) {
        const auto [in_type, in_representation] = node(2 * k);
        const auto [out_type, out_representation] = node(2 * k + 1);
        if (k > 0) text += ',';
        text += "[\"a" + number(k, 7) + "\",\"1\",\"" + in_type + "\",\"" + in_representation + "\",\"" + out_type +
                "\",\"" + out_representation + "\",1,false,false,false,true,\"stateless\"]";
    }
    text += "]}";
    return text;
}

double ms_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

int run_graph(const std::string& shape, std::size_t n, bool lists) {
    const std::string text = graph_registry(shape, n);
    if (text.empty()) {
        std::fprintf(stderr, "unknown shape %s\n", shape.c_str());
        return 2;
    }
    auto read = [&] {
        auto spec = vx::json::from_text<vx::AdapterRegistrySpec>(text);
        if (!spec) {
            std::fprintf(stderr, "read error: %s\n", spec.error().to_string().c_str());
            std::exit(1);
        }
        auto registry = vx::AdapterRegistry::from_spec(std::move(*spec));
        if (!registry) {
            std::fprintf(stderr, "invalid: %s\n", registry.error().to_string().c_str());
            std::exit(1);
        }
        return std::move(*registry);
    };
    // As `validate_adapter_registry_json` does: read, validate, drop.
    auto t0 = std::chrono::steady_clock::now();
    read();
    const double validate_ms = ms_since(t0);

    const vx::AdapterRegistry registry = read();
    const vx::TypeId t = vx::TypeId::trusted("t");
    const vx::RepresentationId nowhere = vx::RepresentationId::trusted("nowhere");
    // With `lists`, a policy that forbids n ids and prefers n others, none in the
    // registry, each placed just after one of its ids.
    vx::PlanningPolicy policy;
    if (lists) {
        std::vector<std::string> forbidden;
        std::vector<std::string> preferred;
        for (const vx::AdapterSpec& a : registry.adapters()) {
            forbidden.push_back(a.id + "f");
            preferred.push_back(a.id + "p");
        }
        policy.forbidden_adapters = vx::json::SortedSet<std::string>::from_items(std::move(forbidden));
        policy.preferred_adapters = vx::json::SortedSet<std::string>::from_items(std::move(preferred));
    }
    // The searcher copies the policy when it is made: not the graph's work.
    vx::PathSearcher searcher(registry, policy);
    t0 = std::chrono::steady_clock::now();
    const vx::PathRoute route = searcher.find_route(t, nowhere, t, vx::RepresentationId::trusted("elsewhere"));
    const double graph_ms = ms_since(t0);
    if (route.adapters) std::printf("unexpected path\n");
    std::printf("%s%s n=%zu bytes=%zu validate_ms=%.1f graph_ms=%.1f graph_us_per_adapter=%.3f multiple=%.2f\n",
                shape.c_str(), lists ? "+lists" : "", n, text.size(), validate_ms, graph_ms,
                1000.0 * graph_ms / static_cast<double>(n), graph_ms / validate_ms);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "paths") {
        run_paths(argc > 2 ? std::atoi(argv[2]) : 5);
        return 0;
    }
    if (argc >= 4 && std::string(argv[1]) == "graph") {
        return run_graph(argv[2], std::strtoull(argv[3], nullptr, 10), argc > 4 && std::string(argv[4]) == "lists");
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: core_bench relations|folds|schema|plan FILE [REPEATS] | paths | graph SHAPE N\n");
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
