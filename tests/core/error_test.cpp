#include <gtest/gtest.h>

#include <string>

#include "veltrinax/error.hpp"

namespace {

using veltrinax::DataError;

struct ErrorCase {
    DataError error;
    std::string_view display;
    std::string_view category;
    std::string_view code;
    std::string_view context;
};

TEST(DataErrors, DisplayCategoryCodeAndContext) {
    const ErrorCase cases[] = {
        {DataError::invalid_identifier("", "identifier is empty"), "invalid identifier ``: identifier is empty",
         "validation", "invalid_identifier", R"({"reason":"identifier is empty","value":""})"},
        {DataError::validation("data plan id is empty"), "data contract validation failed: data plan id is empty",
         "data", "data_contract_validation", R"({"detail":"data plan id is empty"})"},
        {DataError::fingerprint_mismatch("plan", "AB", "ab"), "plan fingerprint mismatch: expected AB, actual ab",
         "compatibility", "fingerprint_mismatch", R"({"actual":"ab","expected":"AB","kind":"plan"})"},
        {DataError::unknown_handle("view", 42), "unknown view handle `42`", "runtime", "unknown_handle",
         R"({"handle":42,"kind":"view"})"},
        {DataError::relation_boundary_violation("group", "fold `f` leaks group `g` across train/validation"),
         "relation boundary violation (group): fold `f` leaks group `g` across train/validation", "data",
         "relation_boundary_violation",
         R"({"detail":"fold `f` leaks group `g` across train/validation","kind":"group"})"},
        {DataError::incompatible_reducer("vote", "regression"),
         "aggregation reducer `vote` is incompatible with a regression task", "data", "incompatible_reducer",
         R"({"reducer":"vote","task":"regression"})"},
        {DataError::signal_type_mismatch("absorbance", "reflectance"),
         "signal type mismatch: expected absorbance, actual reflectance", "compatibility", "signal_type_mismatch",
         R"({"actual":"reflectance","expected":"absorbance"})"},
        {DataError::serialization({"trailing characters", 1, 4}),
         "serialization error: trailing characters at line 1 column 4", "compatibility", "serialization_error",
         R"({"detail":"trailing characters at line 1 column 4"})"},
    };
    for (const ErrorCase& c : cases) {
        auto d = c.error.descriptor();
        EXPECT_EQ(c.error.to_string(), c.display);
        EXPECT_EQ(d.message, c.display);
        EXPECT_EQ(d.category, c.category);
        EXPECT_EQ(d.code, c.code);
        EXPECT_EQ(d.severity, "error");
        EXPECT_FALSE(d.remediation_hint.empty());
        EXPECT_EQ(veltrinax::json::to_text(d.context), c.context);
    }
}

TEST(DataErrors, DescriptorJsonKeepsItsKeyOrderAndEscapes) {
    auto d = DataError::invalid_identifier("a b", "identifier contains unsupported characters").descriptor();
    EXPECT_EQ(d.to_json(),
              R"({"category":"validation","code":"invalid_identifier","severity":"error","message":"invalid )"
              R"(identifier `a b`: identifier contains unsupported characters","remediation_hint":"Use a )"
              R"(non-empty stable identifier that matches the veltrinax identifier grammar.","context":{"reason":)"
              R"("identifier contains unsupported characters","value":"a b"}})");
    auto quoted = DataError::validation("axis `a\"\n` has an empty unit").descriptor().to_json();
    EXPECT_NE(quoted.find(R"(axis `a\"\n` has an empty unit)"), std::string::npos);
}

}  // namespace
