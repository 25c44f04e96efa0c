// Documents read by the peer reader whose behaviour the contract reader
// reproduces, with the peer's answers (data/reader_cases.jsonl, one JSON object
// per line: type, route, doc, expected).
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "readers.hpp"

namespace {

namespace json = veltrinax::json;

TEST(ReaderCases, MatchThePeerReader) {
    std::ifstream in(std::string(VELTRINAX_TESTDATA_DIR) + "/reader_cases.jsonl");
    ASSERT_TRUE(in.good());
    std::string line;
    int checked = 0;
    while (std::getline(in, line)) {
        auto v = json::parse(line);
        ASSERT_TRUE(v.has_value()) << line;
        const json::Object& o = v->as_object();
        const std::string& type = o.find("type")->as_string();
        const std::string& doc = o.find("doc")->as_string();
        const std::string& expected = o.find("expected")->as_string();
        bool value_route = o.find("route")->as_string() == "value";
        auto answer = veltrinax::testing::read_document(type, doc, value_route);
        ASSERT_TRUE(answer.has_value()) << "no reader for " << type;
        EXPECT_EQ(*answer, expected) << type << (value_route ? " (value route) " : " ") << doc;
        ++checked;
    }
    EXPECT_GT(checked, 500);
}

}  // namespace
