// The public JSON conformance corpus: every y_ document reads as a generic value,
// every n_ document fails with a reader error, every i_ document does one or the
// other; none crashes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "veltrinax/json.hpp"

namespace {

namespace fs = std::filesystem;

fs::path corpus_dir() { return fs::path(VELTRINAX_SOURCE_DIR) / ".." / "shared" / "testdata" / "JSONTestSuite" / "test_parsing"; }

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Where the corpus and the reading rules disagree, the rules hold:
// the corpus accepts 500 nested arrays; the reader allows 127 levels.
bool rules_differ(const std::string& name) { return name == "y_structure_500_nested_arrays.json"; }

TEST(JsonTestSuite, EveryDocumentReadsOrFailsCleanly) {
    fs::path dir = corpus_dir();
    if (!fs::exists(dir)) GTEST_SKIP() << "corpus not found at " << dir;
    int seen = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        std::string name = entry.path().filename().string();
        std::string text = slurp(entry.path());
        auto result = veltrinax::json::parse(text);
        ++seen;
        if (name.starts_with("y_")) {
            if (rules_differ(name)) {
                EXPECT_FALSE(result.has_value()) << name;
                EXPECT_EQ(result.error().message, "recursion limit exceeded") << name;
            } else {
                EXPECT_TRUE(result.has_value()) << name << ": " << result.error().to_string();
            }
        } else if (name.starts_with("n_")) {
            EXPECT_FALSE(result.has_value()) << name;
            if (!result) {
                EXPECT_GT(result.error().line, 0u) << name << " has no position";
            }
        } else if (!result) {
            EXPECT_FALSE(result.error().message.empty()) << name;
        }
        // Whatever reads writes back as text that reads to the same value.
        if (result) {
            std::string written = veltrinax::json::to_text(*result);
            auto again = veltrinax::json::parse(written);
            ASSERT_TRUE(again.has_value()) << name;
            EXPECT_EQ(veltrinax::json::to_text(*again), written) << name;
        }
    }
    EXPECT_GT(seen, 300);
}

}  // namespace
