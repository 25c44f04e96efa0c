#include <gtest/gtest.h>

#include "veltrinax/json.hpp"

namespace {

using veltrinax::json::parse;

TEST(JsonSmoke, ParsesAndWritesBack) {
    auto v = parse(R"({"b":1,"a":[true,null,-0,1e16]})");
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(veltrinax::json::to_text(*v), R"({"a":[true,null,-0.0,1e+16],"b":1})");
}

}  // namespace
