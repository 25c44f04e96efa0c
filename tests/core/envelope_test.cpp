#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <string>
#include <vector>

#include "veltrinax/envelope.hpp"
#include "veltrinax/fingerprint.hpp"
#include "veltrinax/text.hpp"
#include "support.hpp"

namespace {

namespace vx = veltrinax;
namespace json = veltrinax::json;
namespace fp = veltrinax::fingerprint;
using vx::CoordinatorDataPlanEnvelope;
using vx::text::format;

using vx::testing::outcome;
using vx::testing::read;

// "read: <reader error>" or the outcome of validating what was read.
std::string read_and_validate(std::string_view text) {
    auto envelope = CoordinatorDataPlanEnvelope::from_json(text);
    return envelope ? outcome(envelope->validate()) : "read: " + envelope.error().to_string();
}

constexpr std::string_view rep =
    R"({"id":"r","type_id":"t","rank":1,"axes":[{"name":"sample","kind":"sample"}],"container":"ndarray"})";

std::string schema_doc(std::string_view samples = R"(["a","b"])") {
    return format(
        R"({"dataset_id":"d","sample_ids":{},"sources":[{"id":"s","name":"n","type_id":"other","modality":"m","native_representation":{},"sample_key":"k","granularity":"per_sample"}],"targets":{"y":{}}})",
        samples, rep, rep);
}

std::string plan_doc(std::string_view source = "s") {
    return format(
        R"({"id":"p","steps":[{"kind":"materialize","source_id":"{}","fit_scope":"stateless","output_representation":"r"}],"output_representation":"r"})",
        source);
}

const std::string plan_fingerprint = fp::data_plan_fingerprint(read<vx::DataPlan>(plan_doc())).value();
const std::string schema_fingerprint = fp::schema_fingerprint(read<vx::DatasetSchema>(schema_doc())).value();
const std::string h64(64, 'a');

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// A valid cohort over samples c1 and c2 (whose origin is c0).
std::string cohort_doc(vx::PredictCohortRole role) {
    vx::PredictCohort c;
    c.role = role;
    c.physical_sample_ids = {vx::SampleId::trusted("c1"), vx::SampleId::trusted("c2")};
    c.origin_sample_ids = {vx::SampleId::trusted("c0"), vx::SampleId::trusted("c1")};
    c.target_names = {"y"};
    c.relations = read<vx::CoordinatorRelationSet>(
        R"({"records":[{"observation_id":"q1","sample_id":"c1"},{"observation_id":"q2","sample_id":"c2","origin_sample_id":"c0"}]})");
    c.relation_fingerprint = c.relations.fingerprint().value();
    c.data_content_fingerprint = h64;
    if (role == vx::PredictCohortRole::external_test) c.target_content_fingerprint = h64;
    c.cohort_fingerprint = c.fingerprint().value();
    return json::to_text(c);
}

// The root members of a valid version 1 envelope, `before` and `after` them.
std::string doc(std::string_view before, std::string_view after = "") {
    return format(R"({{}"schema_fingerprint":"{}","plan_fingerprint":"{}","plan":{}{}})", before, schema_fingerprint,
                  plan_fingerprint, plan_doc(), after);
}

TEST(CoordinatorEnvelope, ReadingThenValidation) {
    const std::string relations = R"("coordinator_relations":{"records":[{"observation_id":"o1","sample_id":"a"}]})";
    const std::string inference = cohort_doc(vx::PredictCohortRole::inference);
    const std::string external = cohort_doc(vx::PredictCohortRole::external_test);
    const std::string base = doc("");
    const std::pair<std::string, std::string> cases[] = {
        {base, "ok"},
        // the version pre-pass
        {doc(R"("predict_cohort":null,)"), "read: envelope V1 cannot carry predict_cohort"},
        {doc(R"("schema_version":1,"extra":1,)"), "ok"},
        {R"({"schema_version":2,"extra":1})", "read: envelope V2 contains an unknown root field"},
        {R"({"schema_version":2,"extra":1} x)", "read: envelope V2 contains an unknown root field"},
        {doc(R"("schema_version":2,"predict_cohort":null,)"), "envelope V2 requires predict_cohort"},
        {doc(R"("schema_version":0,)"), "coordinator data-plan envelope uses unsupported schema_version 0, expected 1"},
        {doc(R"("schema_version":3,"predict_cohort":null,"extra":1,)"),
         "coordinator data-plan envelope uses unsupported schema_version 3, expected 1"},
        {doc(R"("schema_version":2.0,)"), "read: invalid type: floating point `2.0`, expected u32"},
        {doc(R"("schema_version":"2",)"), "read: invalid type: string \"2\", expected u32"},
        {doc(R"("schema_version":"2","predict_cohort":null,)"), "read: envelope V1 cannot carry predict_cohort"},
        {doc(R"("schema_version":-1,"predict_cohort":{},)"), "read: envelope V1 cannot carry predict_cohort"},
        // the generic value first: positions for syntax, the last of repeated keys, trailing characters last
        {R"({"schema_version":)", "read: EOF while parsing a value at line 1 column 18"},
        {doc(R"("plan":5,"schema_version":7,)", R"(,"schema_version":1)"), "ok"},
        {doc("", R"(,"plan":5)"), "read: invalid type: integer `5`, expected struct DataPlan"},
        {doc("") + "\n x", "read: trailing characters at line 2 column 2"},
        {"[]", "read: invalid length 0, expected struct CoordinatorEnvelopeWire with 10 elements"},
        // validation in order
        {doc(R"("schema_fingerprint":"x","plan_fingerprint":"y",)"), "ok"},
        {format(R"({"schema_fingerprint":"{}","plan_fingerprint":"{}","plan":{}})", upper(schema_fingerprint),
                upper(plan_fingerprint), plan_doc()),
         format("plan fingerprint mismatch: expected {}, actual {}", upper(plan_fingerprint), plan_fingerprint)},
        {doc("", R"(,"schema_fingerprint":"x","plan_fingerprint":"y")"),
         "schema fingerprint must be a 64-character hex digest"},
        {doc("", R"(,"plan_fingerprint":"y","plan":{"id":"p","steps":[],"output_representation":"r"})"),
         "plan fingerprint must be a 64-character hex digest"},
        {doc("", R"(,"plan":{"id":"p","steps":[],"output_representation":"r"})"), "data plan `p` contains no steps"},
        {doc("", R"(,"plan":{"id":"q","steps":[],"output_representation":"r"},"schema_version":5)"),
         "coordinator data-plan envelope uses unsupported schema_version 5, expected 1"},
        {doc(relations + ","), "ok"},
        {doc(R"("coordinator_relations":{"records":[]},"relation_fingerprint":"x",)"),
         "coordinator relation set contains no records"},
        {doc(R"("relation_fingerprint":"x",)"), "relation fingerprint must be a 64-character hex digest"},
        {doc(format(R"("relation_fingerprint":"{}",)", h64)), "relation_fingerprint requires coordinator_relations"},
        {doc(format(R"("relation_fingerprint":"{}",{},)", upper(h64), relations)), "ok"},
        {doc(R"("data_content_fingerprint":"x","target_content_fingerprint":"x",)"),
         "data content fingerprint must be a 64-character hex digest"},
        {doc(format(R"("data_content_fingerprint":"{}","target_content_fingerprint":"x",)", h64)),
         "target content fingerprint must be a 64-character hex digest"},
        // version 2
        {doc(format(R"("schema_version":2,"predict_cohort":{},)", inference)), "ok"},
        {doc(format(R"("schema_version":2,"predict_cohort":{},)", external)),
         "external_test requires coordinator_relations"},
        {doc(format(R"("schema_version":2,"predict_cohort":{},{},)", external, relations)), "ok"},
        {doc(format(R"("schema_version":2,"predict_cohort":{},"coordinator_relations":{"records":[{"observation_id":"o","sample_id":"a","origin_sample_id":"c0"}]},)",
                    external)),
         "external_test cohort overlaps training physical/origin identities"},
        {doc(format(R"("schema_version":2,"predict_cohort":{},"coordinator_relations":{"records":[]},)", external)),
         "coordinator relation set contains no records"},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(read_and_validate(text), expected) << text;

    // Only a caller building an envelope by hand can put a cohort into version 1.
    auto v1 = CoordinatorDataPlanEnvelope::from_json(doc(format(R"("schema_version":2,"predict_cohort":{},)", inference)));
    ASSERT_TRUE(v1);
    v1->schema_version = 1;
    EXPECT_EQ(outcome(v1->validate()), "envelope V1 cannot carry predict_cohort");
}

TEST(CoordinatorEnvelope, FromParts) {
    const std::string rows_ok =
        R"({"observation_id":"o1","sample_id":"a","source_id":"s","target_id":"y"},{"observation_id":"o2","sample_id":"c","augmented":true,"origin_id":"o1"})";
    struct Case {
        std::string schema;
        std::string plan;
        std::optional<std::string> rows;
        std::string_view expected;
    };
    const Case cases[] = {
        {schema_doc(), plan_doc(), std::nullopt, "ok"},
        {schema_doc(), plan_doc(), rows_ok, "ok"},
        {schema_doc("[]"), plan_doc("zz"), "", "dataset schema must contain at least one sample"},
        {schema_doc(), plan_doc("zz"), "", "plan references undeclared source `zz`"},
        {schema_doc(), plan_doc(), "", "sample relation table contains no rows"},
        {schema_doc(), plan_doc(), R"({"observation_id":"o1","sample_id":"c","source_id":"q"})",
         "relation references undeclared sample `c`"},
        {schema_doc(), plan_doc(), R"({"observation_id":"o1","sample_id":"a","source_id":"q"})",
         "relation references undeclared source or target"},
        {schema_doc(), plan_doc(), R"({"observation_id":"o1","sample_id":"a","target_id":"z"})",
         "relation references undeclared source or target"},
        // o3's origin o2 is augmented itself, and its sample is not declared
        {schema_doc(), plan_doc(), rows_ok + R"(,{"observation_id":"o3","sample_id":"a","augmented":true,"origin_id":"o2"})",
         "augmented relation origin is outside the schema"},
    };
    for (const Case& c : cases) {
        const auto schema = read<vx::DatasetSchema>(c.schema);
        std::optional<vx::SampleRelationTable> table;
        if (c.rows) table = read<vx::SampleRelationTable>(R"({"rows":[)" + *c.rows + "]}");
        auto built = CoordinatorDataPlanEnvelope::from_parts(schema, read<vx::DataPlan>(c.plan), table ? &*table : nullptr);
        EXPECT_EQ(outcome(built), c.expected) << c.schema << c.plan;
        // Parts validated by the caller beforehand make the same envelope or error.
        if (schema.validate() && (!table || table->validate())) {
            auto again = CoordinatorDataPlanEnvelope::from_validated_parts(schema, read<vx::DataPlan>(c.plan),
                                                                           table ? &*table : nullptr);
            EXPECT_EQ(outcome(again), c.expected) << c.schema << c.plan;
            if (built && again) {
                EXPECT_EQ(*again, *built);
            }
        }
        if (!built) continue;

        const std::string text = json::to_text(*built);
        EXPECT_EQ(CoordinatorDataPlanEnvelope::from_json(text), *built);
        std::string relation_fingerprint = "null";
        std::string relations = "null";
        if (table) {
            relation_fingerprint = '"' + fp::sample_relation_fingerprint(*table).value() + '"';
            relations = json::to_text(vx::coordinator::coordinator_relations_from_sample_table(*table).value());
        }
        EXPECT_EQ(text, format(R"({"schema_version":1,"schema_fingerprint":"{}","plan_fingerprint":"{}","relation_fingerprint":{},"plan":{},"coordinator_relations":{})",
                               schema_fingerprint, plan_fingerprint, relation_fingerprint,
                               json::to_text(read<vx::DataPlan>(c.plan)), relations) +
                            R"(,"metadata":{}})");
    }
}

}  // namespace
