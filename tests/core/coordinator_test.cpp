#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "veltrinax/coordinator.hpp"
#include "veltrinax/fingerprint.hpp"
#include "veltrinax/text.hpp"
#include "support.hpp"

namespace {

namespace vx = veltrinax;
namespace json = veltrinax::json;
using vx::CoordinatorRelation;
using vx::CoordinatorRelationSet;

using vx::testing::outcome;
using vx::testing::read;

// The text computed (a unit identity, a fingerprint), or the outcome of its error.
std::string text_or_error(const vx::Result<std::string>& r) { return r ? *r : outcome(r.error()); }

CoordinatorRelationSet set_of(std::string_view records) {
    return read<CoordinatorRelationSet>(vx::text::format(R"({"records":[{}]})", records));
}

TEST(CoordinatorRelation, UnitIdentityAfterTheFreeTextChecks) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {R"({"observation_id":"o1","sample_id":"s1"})", "o1"},
        {R"({"observation_id":"o1","sample_id":"s1","unit_level":"physical_sample","unit_id":" u "})", " u "},
        {R"({"observation_id":"o1","sample_id":"s1","unit_level":"physical_sample"})", "s1"},
        {R"({"observation_id":"o1","sample_id":"s1","unit_level":"source_sample","source_id":"nir"})", "s1::nir"},
        {R"({"observation_id":"o1","sample_id":"s1","unit_level":"source_sample"})",
         "source_sample relation requires source_id"},
        {R"({"observation_id":"o1","sample_id":"s1","unit_level":"combo","derived_unit_id":"d"})", "d"},
        {R"({"observation_id":"o1","sample_id":"s1","unit_level":"combo","unit_id":"u"})", "u"},
        {R"({"observation_id":"o1","sample_id":"s1","unit_level":"combo"})", "combo relation requires derived_unit_id"},
        {R"({"observation_id":"o1","sample_id":"s1","unit_id":"ab\n"})", "relation `o1` has invalid unit_id"},
        {R"({"observation_id":"o1","sample_id":"s1","unit_id":"   "})", "relation `o1` has invalid unit_id"},
        {R"({"observation_id":"o1","sample_id":"s1","unit_id":"\u3000\u00a0"})", "relation `o1` has invalid unit_id"},
        {R"({"observation_id":"o1","sample_id":"s1","rep_id":"a\u0085b"})", "relation `o1` has invalid rep_id"},
        {R"({"observation_id":"o1","sample_id":"s1","rep_id":"a\u00a0b","quality_flag":"ok"})", "o1"},
        {R"({"observation_id":"o1","sample_id":"s1","quality_flag":"q\u007f"})", "relation `o1` has invalid quality_flag"},
        {R"({"observation_id":"o1","sample_id":"s1","quality_flag":"q\u009f"})", "relation `o1` has invalid quality_flag"},
        {R"({"observation_id":"o1","sample_id":"s1","quality_flag":"\t","derived_unit_id":"","rep_id":" "})",
         "relation `o1` has invalid rep_id"},
        {R"({"observation_id":"o1","sample_id":"s1","quality_flag":"\t","derived_unit_id":""})",
         "relation `o1` has invalid derived_unit_id"},
    };
    for (const auto& [doc, expected] : cases) {
        EXPECT_EQ(text_or_error(read<CoordinatorRelation>(doc).effective_unit_id()), expected) << doc;
    }
}

TEST(CoordinatorRelationSet, RulesInOrder) {
    const std::string o1 = R"({"observation_id":"o1","sample_id":"s1"})";
    const std::string o2 = R"({"observation_id":"o2","sample_id":"s1"})";
    const std::string o3 = R"({"observation_id":"o3","sample_id":"s2"})";
    auto combo = [](std::string_view members) {
        return vx::text::format(R"({"observation_id":"c","sample_id":"s1","unit_level":"combo",{}})", members);
    };
    auto weight = [](std::string_view w) {
        return vx::text::format(R"({"observation_id":"w","sample_id":"s","sample_influence_weight":{}})", w);
    };
    const std::pair<std::string, std::string_view> cases[] = {
        {"", "coordinator relation set contains no records"},
        {o1 + "," + o2 + "," + o3, "ok"},
        // a repeat is reported before the bad unit_id of the repeating record is looked at
        {o1 + R"(,{"observation_id":"o1","sample_id":"s9","unit_id":" "})", "duplicate coordinator observation `o1`"},
        {R"({"observation_id":"a","sample_id":"s","unit_level":"physical_sample"},{"observation_id":"b","sample_id":"s","unit_level":"physical_sample"})",
         "coordinator relations contain duplicate unit IDs"},
        {o2 + R"(,{"observation_id":"x","sample_id":"s2","unit_level":"physical_sample","unit_id":"o2"})",
         "coordinator relations contain duplicate unit IDs"},
        {weight("0"), "relation sample_influence_weight must be finite and positive"},
        {weight("-0.0"), "relation sample_influence_weight must be finite and positive"},
        {weight("-1"), "relation sample_influence_weight must be finite and positive"},
        {weight("5e-324"), "ok"},
        {weight("null"), "ok"},
        {combo(R"("unit_id":"u","component_observation_ids":["o1"])") + "," + o1,
         "combo relation has invalid identity or components"},
        {combo(R"("derived_unit_id":"d","component_observation_ids":[])"),
         "combo relation has invalid identity or components"},
        {combo(R"("derived_unit_id":"d","origin_sample_id":"s2","component_observation_ids":["o1"])") + "," + o1,
         "combo relation has invalid identity or components"},
        // components may follow the combination record; its unit_id wins over derived_unit_id
        {combo(R"("derived_unit_id":"d","unit_id":"u","origin_sample_id":"s1","component_observation_ids":["o1","o2"])") +
             "," + o1 + "," + o2,
         "ok"},
        {combo(R"("derived_unit_id":"d","component_observation_ids":["c"])"),
         "combo component is missing, repeated or belongs to another sample"},
        {combo(R"("derived_unit_id":"d","component_observation_ids":["o1","o1"])") + "," + o1,
         "combo component is missing, repeated or belongs to another sample"},
        {combo(R"("derived_unit_id":"d","component_observation_ids":["o9"])") + "," + o1,
         "combo component is missing, repeated or belongs to another sample"},
        {combo(R"("derived_unit_id":"d","component_observation_ids":["o3"])") + "," + o3,
         "combo component is missing, repeated or belongs to another sample"},
        // the component is found on the later repeat of "o1" (same sample), so the repeat is what fails
        {combo(R"("derived_unit_id":"d","component_observation_ids":["o1"])") +
             R"(,{"observation_id":"o1","sample_id":"s2"},)" + o1,
         "duplicate coordinator observation `o1`"},
        {R"({"observation_id":"o","sample_id":"s","component_observation_ids":["o1"]},)" + o1,
         "component observations require a combo relation"},
    };
    for (const auto& [records, expected] : cases) {
        const CoordinatorRelationSet set = set_of(records);
        EXPECT_EQ(outcome(set.validate()), expected) << records;
        if (expected != "ok") {
            EXPECT_EQ(text_or_error(set.fingerprint()), expected) << records;
        }
    }

    // Values no JSON text can carry.
    for (double w : {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()}) {
        CoordinatorRelationSet set = set_of(o1);
        set.records[0].sample_influence_weight = w;
        EXPECT_EQ(outcome(set.validate()), "relation sample_influence_weight must be finite and positive");
    }
}

TEST(CoordinatorRelationSet, WrittenFormAndCanonicalFingerprint) {
    const std::string minimal =
        R"("unit_level":"observation","unit_id":null,"observation_id":"o1","sample_id":"s1","source_id":null,"rep_id":null,"target_id":null,"group_id":null,"origin_sample_id":null,"derived_unit_id":null,"component_observation_ids":[],"sample_influence_weight":null,"quality_flag":null,"is_augmented":false)";
    const CoordinatorRelationSet one = set_of(R"({"observation_id":"o1","sample_id":"s1"})");
    EXPECT_EQ(json::to_text(one), R"({"records":[{)" + minimal + "}]}");
    EXPECT_EQ(text_or_error(one.fingerprint()),
              vx::fingerprint::sha256_hex(R"([{"effective_unit_id":"o1",)" + minimal + "}]"));

    // Sorted by unit identity (not by observation), with the tail fields written only when set.
    const CoordinatorRelationSet two = set_of(
        R"({"observation_id":"a","sample_id":"s2","unit_id":"z","sample_influence_weight":1e16,"excluded":true,"metadata":{"b":1,"a":[0.5]},"tags":["t"]},{"observation_id":"b","sample_id":"s1","unit_level":"physical_sample"})");
    EXPECT_EQ(text_or_error(two.fingerprint()),
              vx::fingerprint::sha256_hex(
                  R"([{"effective_unit_id":"s1","unit_level":"physical_sample","unit_id":null,"observation_id":"b","sample_id":"s1","source_id":null,"rep_id":null,"target_id":null,"group_id":null,"origin_sample_id":null,"derived_unit_id":null,"component_observation_ids":[],"sample_influence_weight":null,"quality_flag":null,"is_augmented":false},)"
                  R"({"effective_unit_id":"z","unit_level":"observation","unit_id":"z","observation_id":"a","sample_id":"s2","source_id":null,"rep_id":null,"target_id":null,"group_id":null,"origin_sample_id":null,"derived_unit_id":null,"component_observation_ids":[],"sample_influence_weight":1e+16,"quality_flag":null,"is_augmented":false,"excluded":true,"metadata":{"a":[0.5],"b":1},"tags":["t"]}])"));
}

TEST(CoordinatorRelationSet, FingerprintIgnoresOrderButNotContent) {
    const CoordinatorRelationSet base = set_of(
        R"({"observation_id":"o3","sample_id":"s2"},{"observation_id":"o1","sample_id":"s1","unit_level":"source_sample","source_id":"x"},{"observation_id":"o2","sample_id":"s1","unit_level":"combo","derived_unit_id":"d","component_observation_ids":["o1"]})");
    const std::string fp = text_or_error(base.fingerprint());
    ASSERT_EQ(fp.size(), 64u) << fp;

    CoordinatorRelationSet shuffled = base;
    std::reverse(shuffled.records.begin(), shuffled.records.end());
    EXPECT_EQ(text_or_error(shuffled.fingerprint()), fp);
    std::rotate(shuffled.records.begin(), shuffled.records.begin() + 1, shuffled.records.end());
    EXPECT_EQ(text_or_error(shuffled.fingerprint()), fp);

    const std::function<void(CoordinatorRelation&)> changes[] = {
        [](CoordinatorRelation& r) { r.excluded = true; },
        [](CoordinatorRelation& r) { r.is_augmented = true; },
        [](CoordinatorRelation& r) { r.sample_influence_weight = 0.5; },
        [](CoordinatorRelation& r) { r.tags.push_back("t"); },
        [](CoordinatorRelation& r) { r.metadata.insert_or_assign("k", json::Value()); },
        [](CoordinatorRelation& r) { r.quality_flag = "q"; },
    };
    for (const auto& change : changes) {
        CoordinatorRelationSet changed = base;
        change(changed.records[0]);
        EXPECT_NE(text_or_error(changed.fingerprint()), fp);
    }
}

TEST(CoordinatorRelations, FromSampleTable) {
    const auto table = read<vx::SampleRelationTable>(
        R"({"rows":[{"observation_id":"o2","sample_id":"s2","source_id":"nir","target_id":"y","group_id":"g","repetition_id":"r1","excluded":true,"metadata":{"k":1},"tags":["t"]},)"
        R"({"observation_id":"o10","sample_id":"s9","augmented":true,"origin_id":"o1","augmentation":{"transform_id":"flip"}},{"observation_id":"o1","sample_id":"s1"}]})");
    auto set = vx::coordinator::coordinator_relations_from_sample_table(table);
    ASSERT_TRUE(set) << set.error().to_string();
    auto record = [](std::string_view members) {
        return vx::text::format(
            R"({"unit_level":"observation","unit_id":null,{},"derived_unit_id":null,"component_observation_ids":[],"sample_influence_weight":null,"quality_flag":null,)",
            members);
    };
    EXPECT_EQ(json::to_text(*set),
              R"({"records":[)" +
                  record(R"("observation_id":"o1","sample_id":"s1","source_id":null,"rep_id":null,"target_id":null,"group_id":null,"origin_sample_id":null)") +
                  R"("is_augmented":false},)" +
                  record(R"("observation_id":"o10","sample_id":"s9","source_id":null,"rep_id":null,"target_id":null,"group_id":null,"origin_sample_id":"s1")") +
                  R"("is_augmented":true},)" +
                  record(R"("observation_id":"o2","sample_id":"s2","source_id":"nir","rep_id":"r1","target_id":"y","group_id":"g","origin_sample_id":null)") +
                  R"("is_augmented":false,"excluded":true,"metadata":{"k":1},"tags":["t"]}]})");

    auto empty = vx::coordinator::coordinator_relations_from_sample_table(vx::SampleRelationTable{});
    ASSERT_FALSE(empty);
    EXPECT_EQ(outcome(empty.error()), "sample relation table contains no rows");
}

TEST(CoordinatorRelations, FingerprintForm) {
    const std::string lower(64, 'a');
    const std::pair<std::string, std::string_view> cases[] = {
        {lower, "ok"},
        {std::string(32, 'F') + std::string(32, '9'), "ok"},
        {std::string(63, 'a'), "relation fingerprint must be a 64-character hex digest"},
        {std::string(65, 'a'), "relation fingerprint must be a 64-character hex digest"},
        {std::string(63, 'a') + "g", "relation fingerprint must be a 64-character hex digest"},
        {" " + std::string(63, 'a'), "relation fingerprint must be a 64-character hex digest"},
    };
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(outcome(vx::coordinator::validate_fingerprint("relation", value)), expected) << value;
    }
}

}  // namespace
