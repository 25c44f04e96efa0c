#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "veltrinax/fingerprint.hpp"
#include "veltrinax/plan.hpp"
#include "support.hpp"

namespace {

using veltrinax::DataError;
using veltrinax::DataPlan;
namespace json = veltrinax::json;
namespace fingerprint = veltrinax::fingerprint;

// A step of `kind` with fit scope "stateless" and the given further members.
std::string step(std::string_view kind, std::string_view members = "") {
    std::string out = R"({"kind":")" + std::string(kind) + R"(","fit_scope":"stateless")";
    if (!members.empty()) out += "," + std::string(members);
    return out + "}";
}

std::string materialize(std::string_view source, std::string_view representation = "r.a",
                        std::string_view metadata = "") {
    std::string members = R"("source_id":")" + std::string(source) + R"(","output_representation":")" +
                          std::string(representation) + "\"";
    if (!metadata.empty()) members += R"(,"metadata":)" + std::string(metadata);
    return step("materialize", members);
}

std::string plan_text(std::string_view steps, std::string_view output = "r.a", std::string_view id = "p") {
    return R"({"id":")" + std::string(id) + R"(","steps":[)" + std::string(steps) +
           R"(],"output_representation":")" + std::string(output) + "\"}";
}

DataPlan read(const std::string& text) { return veltrinax::testing::read<DataPlan>(text); }

// The rule message of a failed validation, or "ok".
std::string outcome(const DataPlan& plan) { return veltrinax::testing::outcome(plan.validate()); }

struct RuleCase {
    std::string_view behaviour;
    std::string plan;
    std::string_view expected;  // the rule message, or "ok"
};

TEST(DataPlanValidate, EveryRuleWithItsMessageAndTheFirstViolationWins) {
    const std::string m = materialize("s");
    const std::string adapt_s = step("adapt", R"("adapter_id":"a.b","metadata":{"input":"src:s"})");
    const RuleCase cases[] = {
        // Plan-level rules come before any step is looked at.
        {"id of Unicode white space", plan_text(m, "r.a", "\u3000\u2003"), "data plan id is empty"},
        {"blank id is reported before empty steps", plan_text("", "r.a", " "), "data plan id is empty"},
        {"no steps", plan_text(""), "data plan `p` contains no steps"},

        // Missing source or adapter: not wrapped, and ahead of every other step rule.
        {"materialize without source", plan_text(step("materialize")),
         "data plan `p` step 0 materializes without source_id"},
        {"first step adapts without adapter", plan_text(step("adapt")),
         "data plan `p` step 0 adapts without adapter_id"},
        {"later step adapts without adapter", plan_text(m + "," + step("adapt", R"("metadata":{"input":5})")),
         "data plan `p` step 1 adapts without adapter_id"},
        {"align may go without adapter", plan_text(m + "," + step("align", R"("metadata":{"inputs":["src:s"]})")),
         "ok"},

        // A blank adapter id, on any kind of step, before the metadata rules.
        {"blank adapter on adapt", plan_text(step("adapt", R"("adapter_id":" ","metadata":{"input":5})")),
         "data plan `p` step 0: adapter_id must not be empty"},
        {"blank adapter on materialize", plan_text(materialize("s") + "," +
                                                   step("materialize", R"("source_id":"t","adapter_id":"\t")")),
         "data plan `p` step 1: adapter_id must not be empty"},

        // Metadata types, checked before the first step must materialize.
        {"input is a number", plan_text(step("adapt", R"("adapter_id":"a.b","metadata":{"input":5})")),
         "data plan `p` step 0: input must be a string"},
        {"input before inputs", plan_text(m + "," + step("align", R"("metadata":{"input":null,"inputs":"x"})")),
         "data plan `p` step 1: input must be a string"},
        {"inputs is a string", plan_text(step("join", R"("metadata":{"inputs":"src:s"})")),
         "data plan `p` step 0: inputs must be an array"},
        {"inputs is empty", plan_text(m + "," + step("join", R"("metadata":{"inputs":[]})")),
         "data plan `p` step 1: inputs must not be empty"},
        {"inputs holds a number", plan_text(m + "," + step("join", R"("metadata":{"inputs":["src:s",3]})")),
         "data plan `p` step 1: inputs must contain strings"},
        {"inputs element types before their resolution",
         plan_text(m + "," + step("join", R"("metadata":{"inputs":["nowhere",{}]})")),
         "data plan `p` step 1: inputs must contain strings"},

        // The first step must materialize.
        {"first step adapts", plan_text(step("adapt", R"("adapter_id":"a.b")")),
         "data plan `p` step 0: must materialize a source before consuming data"},
        {"first step collates", plan_text(step("collate")),
         "data plan `p` step 0: must materialize a source before consuming data"},
        {"first step aligns with a blank input",
         plan_text(step("align", R"("metadata":{"input":" "})")),
         "data plan `p` step 0: must materialize a source before consuming data"},

        // Inputs resolve against earlier outputs, in order: "input" then "inputs".
        {"materialize registers src:s", plan_text(m + "," + adapt_s), "ok"},
        {"the bare source id is no output",
         plan_text(m + "," + step("adapt", R"("adapter_id":"a.b","metadata":{"input":"s"})")),
         "data plan `p` step 1: input `s` references no earlier output"},
        {"input resolves on a first materialize step too", plan_text(materialize("s", "r.a", R"({"input":"x"})")),
         "data plan `p` step 0: input `x` references no earlier output"},
        {"input is named before inputs",
         plan_text(m + "," + step("join", R"("metadata":{"input":"a","inputs":["b"]})")),
         "data plan `p` step 1: input `a` references no earlier output"},
        {"then the inputs, in array order",
         plan_text(materialize("s", "r.a", R"({"output":"a"})") + "," +
                   step("join", R"("metadata":{"input":"a","inputs":["a","b","c"]})")),
         "data plan `p` step 1: input `b` references no earlier output"},
        {"an explicit output replaces src:s",
         plan_text(materialize("s", "r.a", R"({"output":"raw"})") + "," + adapt_s),
         "data plan `p` step 1: input `src:s` references no earlier output"},
        {"a step cannot consume its own output",
         plan_text(m + "," + step("adapt", R"("adapter_id":"a.b","metadata":{"input":"x","output":"x"})")),
         "data plan `p` step 1: input `x` references no earlier output"},
        {"an output name is used exactly as written",
         plan_text(materialize("s", "r.a", R"({"output":" x "})") + "," +
                   step("adapt", R"("adapter_id":"a.b","metadata":{"input":"x"})")),
         "data plan `p` step 1: input `x` references no earlier output"},
        {"an output name with spaces resolves as written",
         plan_text(materialize("s", "r.a", R"({"output":" x "})") + "," +
                   step("adapt", R"("adapter_id":"a.b","metadata":{"input":" x "})")),
         "ok"},
        {"names compare by exact bytes",
         plan_text(m + "," + step("adapt", R"("adapter_id":"a.b","metadata":{"input":"SRC:s"})")),
         "data plan `p` step 1: input `SRC:s` references no earlier output"},

        // Representations of an input must agree when both are known.
        {"representation mismatch",
         plan_text(m + "," +
                   step("adapt", R"("adapter_id":"a.b","input_representation":"r.b","metadata":{"input":"src:s"})")),
         "data plan `p` step 1: input `src:s` representation `r.a` does not match `r.b`"},
        {"representations that agree",
         plan_text(m + "," +
                   step("adapt", R"("adapter_id":"a.b","input_representation":"r.a","metadata":{"input":"src:s"})")),
         "ok"},
        {"producer without representation",
         plan_text(step("materialize", R"("source_id":"s")") + "," +
                   step("adapt", R"("adapter_id":"a.b","input_representation":"r.b","metadata":{"input":"src:s"})")),
         "ok"},
        {"consumer without representation", plan_text(materialize("s", "r.z") + "," + adapt_s), "ok"},
        {"a later input may mismatch after an earlier one passed",
         plan_text(materialize("s", "r.a") + "," + materialize("t", "r.b") + "," +
                   step("join", R"("input_representation":"r.a","metadata":{"inputs":["src:s","src:t"]})")),
         "data plan `p` step 2: input `src:t` representation `r.b` does not match `r.a`"},

        // The output name must be a non-blank string; checked after the inputs.
        {"output is a number", plan_text(materialize("s", "r.a", R"({"output":5})")),
         "data plan `p` step 0: output must be a nonempty string"},
        {"output of spaces", plan_text(materialize("s", "r.a", R"({"output":"  "})")),
         "data plan `p` step 0: output must be a nonempty string"},
        {"null output", plan_text(m + "," + step("align", R"("metadata":{"input":"src:s","output":null})")),
         "data plan `p` step 1: output must be a nonempty string"},
        {"inputs are resolved before the output is checked",
         plan_text(m + "," + step("align", R"("metadata":{"input":"gone","output":5})")),
         "data plan `p` step 1: input `gone` references no earlier output"},

        // Registering outputs, and the one accepted repeat.
        {"same source materialized twice alike", plan_text(m + "," + m), "ok"},
        {"same source materialized twice without representations",
         plan_text(step("materialize", R"("source_id":"s")") + "," + step("materialize", R"("source_id":"s")")),
         "ok"},
        {"same source into another representation", plan_text(materialize("s", "r.a") + "," + materialize("s", "r.b")),
         "data plan `p` step 1: duplicate output `src:s`"},
        {"same source, representation then none",
         plan_text(materialize("s", "r.a") + "," + step("materialize", R"("source_id":"s")")),
         "data plan `p` step 1: duplicate output `src:s`"},
        {"two sources under one explicit output",
         plan_text(materialize("s", "r.a", R"({"output":"x"})") + "," + materialize("t", "r.a", R"({"output":"x"})")),
         "data plan `p` step 1: duplicate output `x`"},
        {"one source under one explicit output twice",
         plan_text(materialize("s", "r.a", R"({"output":"x"})") + "," + materialize("s", "r.a", R"({"output":"x"})")),
         "ok"},
        {"adapt reuses a materialized name",
         plan_text(m + "," + step("adapt", R"("adapter_id":"a.b","metadata":{"input":"src:s","output":"src:s"})")),
         "data plan `p` step 1: duplicate output `src:s`"},
        {"adapt reuses an adapted name",
         plan_text(m + "," + step("adapt", R"("adapter_id":"a.b","metadata":{"input":"src:s","output":"y"})") + "," +
                   step("adapt", R"("adapter_id":"a.c","metadata":{"input":"y","output":"y"})")),
         "data plan `p` step 2: duplicate output `y`"},
        {"materialize cannot take over a name an adapter registered",
         plan_text(m + "," +
                   step("adapt", R"("adapter_id":"a.b","output_representation":"r.a",)"
                                 R"("metadata":{"input":"src:s","output":"x"})") +
                   "," + materialize("s", "r.a", R"({"output":"x"})")),
         "data plan `p` step 2: duplicate output `x`"},
        {"steps without output register nothing",
         plan_text(m + "," + step("align", R"("metadata":{"input":"src:s"})") + "," +
                   step("align", R"("metadata":{"input":"src:s"})")),
         "ok"},

        // The final output check, after every step rule.
        {"last step delivers another representation", plan_text(m, "r.b"),
         "data plan `p` output representation does not match its final step"},
        {"last step without representation",
         plan_text(m + "," + step("align", R"("metadata":{"input":"src:s"})"), "r.b"), "ok"},
        {"only the last step counts", plan_text(materialize("s", "r.b") + "," + materialize("t", "r.a"), "r.a"), "ok"},
        {"a step rule wins over the final check", plan_text(m + "," + step("collate", R"("adapter_id":"")"), "r.b"),
         "data plan `p` step 1: adapter_id must not be empty"},

        // Nothing else is checked.
        {"free metadata, scopes, choices and issues are not validated",
         R"({"id":"p","steps":[{"kind":"materialize","source_id":"s","fit_scope":"inference_only",)"
         R"("requires_user_choice":true,"metadata":{"free":[1,{"x":null}],"output":"o"}}],)"
         R"("output_representation":"r.x","issues":[{"code":"","message":"","choices":["",""]}]})",
         "ok"},
        {"the plan id appears unchanged in messages", plan_text("", "r.a", " p`1 "),
         "data plan ` p`1 ` contains no steps"},
    };
    for (const RuleCase& c : cases) {
        EXPECT_EQ(outcome(read(c.plan)), c.expected) << c.behaviour << "\n" << c.plan;
    }
}

TEST(DataPlanJson, WritingIsCompleteAndArrayFormsReadBack) {
    // The array forms: a step's last two elements and a plan's issues may be left off.
    DataPlan plan = read(R"(["p",[["materialize","s",null,null,"r.a","stateless"]],"r.a"])");
    EXPECT_EQ(json::to_text(plan),
              R"({"id":"p","steps":[{"kind":"materialize","source_id":"s","adapter_id":null,)"
              R"("input_representation":null,"output_representation":"r.a","fit_scope":"stateless",)"
              R"("requires_user_choice":false,"metadata":{}}],"output_representation":"r.a","issues":[]})");
    EXPECT_EQ(outcome(plan), "ok");
}

// ---------------------------------------------------------------------------
// Fingerprints
// ---------------------------------------------------------------------------

struct DigestCase {
    std::string_view behaviour;
    std::string input;
    std::string_view canonical;  // hand-written record form
    std::string_view digest;     // SHA-256 of `canonical`, computed outside this code base
};

TEST(DataPlanFingerprint, HashesTheRecordFormInDeclaredKeyOrder) {
    const DigestCase cases[] = {
        {"one step, every absent key written",
         R"({"output_representation":"r.a","steps":[{"fit_scope":"stateless","kind":"materialize",)"
         R"("output_representation":"r.a","source_id":"s"}],"id":"p"})",
         R"({"id":"p","steps":[{"kind":"materialize","source_id":"s","adapter_id":null,)"
         R"("input_representation":null,"output_representation":"r.a","fit_scope":"stateless",)"
         R"("requires_user_choice":false,"metadata":{}}],"output_representation":"r.a","issues":[]})",
         "cbda8a172ddcc501b3de6b397ae54e0facd459530978238f50df76210dbf5cea"},
        {"metadata keys sorted at every depth, strings re-escaped, unknown keys dropped",
         R"({ "id" : "plan-1", "extra": {"ignored": true},
              "steps": [
                ["materialize", "nir", null, null, "spectra.matrix", "stateless"],
                {"kind": "adapt", "source_id": "nir", "adapter_id": "spectra.flatten",
                 "input_representation": "spectra.matrix", "output_representation": "tabular.numeric",
                 "fit_scope": "fold_train", "requires_user_choice": true,
                 "metadata": {"output": "flat", "note": {"z": "\u0001\u0022", "a": [1, 2.5, null]},
                              "input": "src:nir"}}
              ],
              "output_representation": "tabular.numeric",
              "issues": [["ambiguous_path", "two paths", ["x", "y"]]] })",
         R"({"id":"plan-1","steps":[{"kind":"materialize","source_id":"nir","adapter_id":null,)"
         R"("input_representation":null,"output_representation":"spectra.matrix","fit_scope":"stateless",)"
         R"("requires_user_choice":false,"metadata":{}},{"kind":"adapt","source_id":"nir",)"
         R"("adapter_id":"spectra.flatten","input_representation":"spectra.matrix",)"
         R"("output_representation":"tabular.numeric","fit_scope":"fold_train","requires_user_choice":true,)"
         R"("metadata":{"input":"src:nir","note":{"a":[1,2.5,null],"z":"\u0001\""},"output":"flat"}}],)"
         R"("output_representation":"tabular.numeric","issues":[{"code":"ambiguous_path","message":"two paths",)"
         R"("choices":["x","y"]}]})",
         "2ed0cb19b288e825708cc4488a93499118446d49ef1bbdf57bde83d55d5624a6"},
    };
    for (const DigestCase& c : cases) {
        DataPlan plan = read(c.input);
        auto canonical = fingerprint::canonical_record_text(plan);
        ASSERT_TRUE(canonical.has_value()) << c.behaviour;
        EXPECT_EQ(*canonical, c.canonical) << c.behaviour;
        auto digest = fingerprint::data_plan_fingerprint(plan);
        ASSERT_TRUE(digest.has_value()) << c.behaviour;
        EXPECT_EQ(*digest, c.digest) << c.behaviour;
    }
}

TEST(DataPlanFingerprint, SameForEveryReadingOfOnePlan) {
    const std::string readings[] = {
        plan_text(materialize("s") + "," + step("adapt", R"("adapter_id":"a.b","metadata":{"input":"src:s","k":1})")),
        // Keys in another order, white space, unknown keys, defaults given explicitly.
        R"({"steps":[{"metadata":{},"requires_user_choice":false,"output_representation":"r.a","source_id":"s",)"
        R"("fit_scope":"stateless","kind":"materialize","unknown":[1]},{"fit_scope":"stateless","metadata":)"
        R"({"k":1,"input":"src:s"},"adapter_id":"a.b","kind":"adapt","input_representation":null}],)"
        R"("issues":[],"output_representation":"r.a","id":"p"})",
        // Array forms, and a metadata key repeated (the last one wins).
        "[\"p\",[[\"materialize\",\"s\",null,null,\"r.a\",\"stateless\",false,{}],"
        "[\"adapt\",null,\"a.b\",null,null,\"stateless\",false,{\"k\":0,\"input\":\"src:s\",\"k\":1}]],\"r.a\"]",
    };
    auto expected = fingerprint::data_plan_fingerprint(read(readings[0]));
    ASSERT_TRUE(expected.has_value());
    EXPECT_EQ(expected->size(), 64u);
    EXPECT_EQ(expected->find_first_not_of("0123456789abcdef"), std::string::npos);
    for (const std::string& text : readings) {
        DataPlan plan = read(text);
        EXPECT_EQ(fingerprint::data_plan_fingerprint(plan).value_or("failed"), *expected) << text;
        // Re-reading the plan's own writing keeps it too.
        EXPECT_EQ(fingerprint::data_plan_fingerprint(read(json::to_text(plan))).value_or("failed"), *expected) << text;
    }
}

TEST(DataPlanFingerprint, ChangesWithStepAndIssueOrderAndContent) {
    const std::string base = R"({"id":"p","steps":[)" + materialize("s") + "," + materialize("t") +
                             R"(],"output_representation":"r.a","issues":[{"code":"a","message":"m"},)"
                             R"({"code":"b","message":"m"}]})";
    const std::string variants[] = {
        R"({"id":"p","steps":[)" + materialize("t") + "," + materialize("s") +
            R"(],"output_representation":"r.a","issues":[{"code":"a","message":"m"},{"code":"b","message":"m"}]})",
        R"({"id":"p","steps":[)" + materialize("s") + "," + materialize("t") +
            R"(],"output_representation":"r.a","issues":[{"code":"b","message":"m"},{"code":"a","message":"m"}]})",
        R"({"id":"q","steps":[)" + materialize("s") + "," + materialize("t") +
            R"(],"output_representation":"r.a","issues":[{"code":"a","message":"m"},{"code":"b","message":"m"}]})",
        R"({"id":"p","steps":[)" + materialize("s") + "," + materialize("t", "r.a", R"({"w":1.0})") +
            R"(],"output_representation":"r.a","issues":[{"code":"a","message":"m"},{"code":"b","message":"m"}]})",
        R"({"id":"p","steps":[)" + materialize("s") + "," + materialize("t", "r.a", R"({"w":1})") +
            R"(],"output_representation":"r.a","issues":[{"code":"a","message":"m"},{"code":"b","message":"m"}]})",
    };
    auto reference = fingerprint::data_plan_fingerprint(read(base));
    ASSERT_TRUE(reference.has_value());
    std::vector<std::string> seen{*reference};
    for (const std::string& text : variants) {
        auto digest = fingerprint::data_plan_fingerprint(read(text));
        ASSERT_TRUE(digest.has_value()) << text;
        for (const std::string& earlier : seen) EXPECT_NE(*digest, earlier) << text;
        seen.push_back(*digest);
    }
}

TEST(DataPlanFingerprint, AnInvalidPlanGivesItsValidationErrorAndNoFingerprint) {
    const std::string invalid = plan_text(materialize("s", "r.b"));
    auto digest = fingerprint::data_plan_fingerprint(read(invalid));
    ASSERT_FALSE(digest.has_value());
    EXPECT_EQ(digest.error().kind(), DataError::Kind::validation);
    EXPECT_EQ(digest.error().to_string(),
              "data contract validation failed: data plan `p` output representation does not match its final step");
}

}  // namespace
