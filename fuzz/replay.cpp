// Runs inputs through a harness without libFuzzer, with any compiler:
//   veltrinax_fuzz_replay HARNESS FILE_OR_DIRECTORY...
// A broken invariant traps, exactly as under the fuzzer. Directories are read in
// name order, so a failure always names the same first input.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "harnesses.hpp"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s HARNESS FILE_OR_DIRECTORY...\n", argv[0]);
        return 2;
    }
    std::string_view name = argv[1];
    auto all = veltrinax::fuzz::harnesses();
    auto harness = std::find_if(all.begin(), all.end(), [&](const auto& h) { return h.name == name; });
    if (harness == all.end()) {
        std::fprintf(stderr, "unknown harness %s\n", argv[1]);
        return 2;
    }
    std::vector<fs::path> inputs;
    for (int i = 2; i < argc; ++i) {
        fs::path path = argv[i];
        std::error_code error;
        if (fs::is_directory(path, error)) {
            for (const auto& entry : fs::directory_iterator(path)) {
                if (entry.is_regular_file()) inputs.push_back(entry.path());
            }
        } else if (fs::is_regular_file(path, error)) {
            inputs.push_back(path);
        } else {
            std::fprintf(stderr, "no such input %s\n", argv[i]);
            return 2;
        }
    }
    std::sort(inputs.begin(), inputs.end());
    for (const fs::path& path : inputs) {
        std::ifstream file(path, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        harness->run(bytes);
    }
    std::printf("%s: %zu inputs replayed\n", argv[1], inputs.size());
    return inputs.empty() ? 1 : 0;
}
