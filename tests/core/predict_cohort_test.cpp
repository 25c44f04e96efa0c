#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <string>
#include <vector>

#include "veltrinax/fingerprint.hpp"
#include "veltrinax/predict_cohort.hpp"
#include "veltrinax/text.hpp"
#include "support.hpp"

namespace {

namespace vx = veltrinax;
namespace json = veltrinax::json;
using vx::PredictCohort;
using vx::PredictCohortRole;

using vx::testing::outcome;

vx::CoordinatorRelationSet relations(std::string_view records) {
    return json::from_text<vx::CoordinatorRelationSet>("{\"records\":[" + std::string(records) + "]}").value();
}

std::vector<vx::SampleId> ids(std::initializer_list<const char*> texts) {
    std::vector<vx::SampleId> out;
    for (const char* t : texts) out.push_back(vx::SampleId::make(t).value());
    return out;
}

const std::string d64(64, 'd');

// Samples s1 and s2, the record of s2 having origin s0.
PredictCohort cohort(PredictCohortRole role = PredictCohortRole::external_test) {
    PredictCohort c;
    c.role = role;
    c.physical_sample_ids = ids({"s1", "s2"});
    c.origin_sample_ids = ids({"s0", "s1"});
    c.target_names = {"y"};
    c.relations = relations(
        R"({"observation_id":"o1","sample_id":"s1"},{"observation_id":"o2","sample_id":"s2","origin_sample_id":"s0"})");
    c.relation_fingerprint = c.relations.fingerprint().value();
    c.data_content_fingerprint = d64;
    if (role == PredictCohortRole::external_test) c.target_content_fingerprint = std::string(64, 'e');
    c.cohort_fingerprint = c.fingerprint().value_or("");
    return c;
}

TEST(PredictCohort, ContentRulesInOrder) {
    using Change = std::function<void(PredictCohort&)>;
    const std::pair<Change, std::string_view> cases[] = {
        {[](PredictCohort&) {}, "ok"},
        {[](PredictCohort& c) { c.physical_sample_ids = {};
             c.origin_sample_ids = {}; },
         "predict cohort physical IDs must be nonempty, sorted and unique"},
        {[](PredictCohort& c) { c.physical_sample_ids = ids({"s1", "s1"}); },
         "predict cohort physical IDs must be nonempty, sorted and unique"},
        {[](PredictCohort& c) { c.physical_sample_ids = ids({"s2", "s1"}); },
         "predict cohort physical IDs must be nonempty, sorted and unique"},
        {[](PredictCohort& c) { c.origin_sample_ids = ids({"s1", "s0"}); },
         "predict cohort origin IDs must be nonempty, sorted and unique"},
        {[](PredictCohort& c) { c.target_names = {"y", "y"}; }, "predict cohort target names must be nonempty and unique"},
        {[](PredictCohort& c) { c.target_names = {"y", "\u3000"}; }, "predict cohort target names must be nonempty and unique"},
        {[](PredictCohort& c) { c.target_names = {}; }, "predict cohort target names must be nonempty and unique"},
        {[](PredictCohort& c) { c.target_names = {"y", "Y", " y"}; }, "ok"},
        {[](PredictCohort& c) { c.data_content_fingerprint = std::string(64, 'D'); }, "ok"},
        {[](PredictCohort& c) { c.data_content_fingerprint.pop_back(); },
         "predict cohort data content fingerprint must be a 64-character hex digest"},
        {[](PredictCohort& c) { c.target_content_fingerprint = "e"; },
         "predict cohort target content fingerprint must be a 64-character hex digest"},
        {[](PredictCohort& c) { c.target_content_fingerprint.reset(); },
         "external_test requires target content; inference forbids it"},
        {[](PredictCohort& c) { c.role = PredictCohortRole::inference; },
         "external_test requires target content; inference forbids it"},
        {[](PredictCohort& c) { c.relations.records.clear(); }, "coordinator relation set contains no records"},
        {[](PredictCohort& c) {
             for (char& ch : c.relation_fingerprint) ch = static_cast<char>(std::toupper(ch));
         },
         "predict cohort relation fingerprint does not match relations"},
        {[](PredictCohort& c) { c.origin_sample_ids = ids({"s0", "s1", "s2"}); },
         "predict cohort IDs do not cover exactly its relations"},
        {[](PredictCohort& c) { c.physical_sample_ids = ids({"s1"}); },
         "predict cohort IDs do not cover exactly its relations"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        PredictCohort c = cohort();
        cases[i].first(c);
        EXPECT_EQ(outcome(c.fingerprint()), cases[i].second) << "case " << i;
    }
}

TEST(PredictCohort, HashesTheCohortWithoutItsClaim) {
    PredictCohort c = cohort(PredictCohortRole::inference);
    auto record = [](std::string_view obs, std::string_view sample, std::string_view origin) {
        return vx::text::format(
            R"({"unit_level":"observation","unit_id":null,"observation_id":"{}","sample_id":"{}","source_id":null,"rep_id":null,"target_id":null,"group_id":null,"origin_sample_id":{},"derived_unit_id":null,"component_observation_ids":[],"sample_influence_weight":null,"quality_flag":null,"is_augmented":false})",
            obs, sample, origin);
    };
    const std::string hashed = vx::text::format(
        R"({"role":"inference","physical_sample_ids":["s1","s2"],"origin_sample_ids":["s0","s1"],"target_names":["y"],"relation_fingerprint":"{}","relations":{"records":[{},{}]},"data_content_fingerprint":"{}","target_content_fingerprint":null})",
        c.relation_fingerprint, record("o1", "s1", "null"), record("o2", "s2", "\"s0\""), d64);
    EXPECT_EQ(c.fingerprint().value_or(""), vx::fingerprint::sha256_hex(hashed));
    EXPECT_EQ(outcome(c.validate()), "ok");

    // The claim is not hashed; the order of the relation records is.
    PredictCohort claimed = c;
    claimed.cohort_fingerprint = d64;
    EXPECT_EQ(claimed.fingerprint(), c.fingerprint());
    PredictCohort reordered = c;
    std::swap(reordered.relations.records[0], reordered.relations.records[1]);
    EXPECT_EQ(reordered.relations.fingerprint(), c.relations.fingerprint());
    EXPECT_NE(reordered.fingerprint().value_or(""), c.fingerprint().value_or(""));
}

TEST(PredictCohort, StoredFingerprint) {
    const PredictCohort valid = cohort();
    std::string upper = valid.cohort_fingerprint;
    for (char& ch : upper) ch = static_cast<char>(std::toupper(ch));
    const std::pair<std::string, std::string_view> cases[] = {
        {valid.cohort_fingerprint, "ok"},
        {upper, "predict cohort fingerprint does not match content"},
        {"", "predict cohort fingerprint must be a 64-character hex digest"},
    };
    for (const auto& [stored, expected] : cases) {
        PredictCohort c = valid;
        c.cohort_fingerprint = stored;
        EXPECT_EQ(outcome(c.validate()), expected) << stored;
    }
    PredictCohort broken = valid;
    broken.target_names = {};
    EXPECT_EQ(outcome(broken.validate()), "predict cohort target names must be nonempty and unique");
}

TEST(PredictCohort, DisjointFromTraining) {
    const auto training_with = [](std::string_view origin) {
        return relations(vx::text::format(
            R"({"observation_id":"t1","sample_id":"t1"},{"observation_id":"t2","sample_id":"t2","origin_sample_id":"{}"})",
            origin));
    };
    PredictCohort broken = cohort();
    broken.cohort_fingerprint = d64;
    const struct {
        PredictCohort cohort;
        vx::CoordinatorRelationSet training;
        std::string_view expected;
    } cases[] = {
        {cohort(), training_with("t9"), "ok"},
        {cohort(), training_with("s0"), "external_test cohort overlaps training physical/origin identities"},
        {cohort(), training_with("s2"), "external_test cohort overlaps training physical/origin identities"},
        {cohort(), relations(R"({"observation_id":"x","sample_id":"s1"})"),
         "external_test cohort overlaps training physical/origin identities"},
        {cohort(PredictCohortRole::inference), training_with("s0"), "ok"},
        {cohort(PredictCohortRole::inference), vx::CoordinatorRelationSet{}, "coordinator relation set contains no records"},
        {broken, vx::CoordinatorRelationSet{}, "predict cohort fingerprint does not match content"},
    };
    for (const auto& c : cases) EXPECT_EQ(outcome(c.cohort.validate_disjoint(c.training)), c.expected) << c.expected;
}

TEST(PredictCohort, ReadsOnlyItsNineKeysAndWritesTargetContentOnlyWhenPresent) {
    const PredictCohort c = cohort(PredictCohortRole::inference);
    const std::string text = json::to_text(c);
    EXPECT_EQ(text.find("target_content_fingerprint"), std::string::npos) << text;
    auto value = json::parse(text).value();
    EXPECT_EQ(json::from_value<PredictCohort>(value).value(), c);

    value.as_object().insert_or_assign("note", json::Value());
    auto rejected = json::from_value<PredictCohort>(value);
    ASSERT_FALSE(rejected);
    EXPECT_EQ(rejected.error().to_string(),
              "unknown field `note`, expected one of `role`, `physical_sample_ids`, `origin_sample_ids`, "
              "`target_names`, `relation_fingerprint`, `relations`, `data_content_fingerprint`, "
              "`target_content_fingerprint`, `cohort_fingerprint`");
}

}  // namespace
