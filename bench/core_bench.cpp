// Times the core's stages on one document, outside the interpreter:
//   core_bench TYPE FILE [REPEATS]
// TYPE is one of: relations, folds, schema, plan. Prints the median time of
// reading, validating, fingerprinting and SHA-256 of the bytes alone.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

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

template <class T, class Fp>
void run(const std::string& text, int repeats, Fp fingerprint) {
    std::printf("bytes          %zu\n", text.size());
    std::printf("sha256 bytes   %8.1f ms\n", median_ms(repeats, [&] { vx::fingerprint::sha256(text); }));
    std::printf("read           %8.1f ms\n", median_ms(repeats, [&] {
                    auto r = vx::json::from_text<T>(text);
                    if (!r) std::printf("read error: %s\n", r.error().to_string().c_str());
                }));
    auto record = *vx::json::from_text<T>(text);
    std::printf("validate       %8.1f ms\n", median_ms(repeats, [&] {
                    if (!record.validate()) std::printf("invalid\n");
                }));
    std::printf("fingerprint    %8.1f ms\n", median_ms(repeats, [&] {
                    if (!fingerprint(record)) std::printf("fingerprint failed\n");
                }));
    std::printf("write          %8.1f ms\n", median_ms(repeats, [&] { vx::json::to_text(record); }));
}

}  // namespace

int main(int argc, char** argv) {
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
    if (type == "relations") run<vx::SampleRelationTable>(text, repeats, vx::fingerprint::sample_relation_fingerprint);
    if (type == "folds") run<vx::FoldSet>(text, repeats, vx::fingerprint::fold_set_fingerprint);
    if (type == "schema") run<vx::DatasetSchema>(text, repeats, vx::fingerprint::schema_fingerprint);
    if (type == "plan") run<vx::DataPlan>(text, repeats, vx::fingerprint::data_plan_fingerprint);
    return 0;
}
