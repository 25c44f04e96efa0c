#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "veltrinax/fingerprint.hpp"
#include "veltrinax/relation.hpp"
#include "veltrinax/text.hpp"
#include "readers.hpp"
#include "support.hpp"

namespace {

namespace vx = veltrinax;
namespace json = veltrinax::json;
namespace relation = veltrinax::relation;
namespace fp = veltrinax::fingerprint;
using vx::AugmentationMetadata;
using vx::FoldSet;
using vx::SampleRelation;
using vx::SampleRelationTable;

using vx::testing::outcome;
using vx::testing::read;

template <class Id>
Id id(std::string_view text) {
    return Id::make(text).value();
}

std::vector<vx::SampleId> samples(const std::vector<std::string>& texts) {
    std::vector<vx::SampleId> out;
    for (const std::string& t : texts) out.push_back(id<vx::SampleId>(t));
    return out;
}

// A row in the shape the cases need; an empty text means the field is absent.
struct Row {
    std::string obs;
    std::string sample;
    std::string group = "";
    std::string origin = "";
    bool augmented = false;
    std::optional<AugmentationMetadata> augmentation = {};
};

SampleRelationTable table(const std::vector<Row>& rows) {
    SampleRelationTable t;
    for (const Row& r : rows) {
        SampleRelation s;
        s.observation_id = id<vx::ObservationId>(r.obs);
        s.sample_id = id<vx::SampleId>(r.sample);
        if (!r.group.empty()) s.group_id = id<vx::GroupId>(r.group);
        if (!r.origin.empty()) s.origin_id = id<vx::OriginId>(r.origin);
        s.augmented = r.augmented;
        s.augmentation = r.augmentation;
        t.rows.push_back(std::move(s));
    }
    return t;
}

struct Fold {
    std::string id;
    std::vector<std::string> train;
    std::vector<std::string> validation;
};

FoldSet fold_set(std::string name, const std::vector<std::string>& universe, const std::vector<Fold>& folds,
                 const std::vector<std::pair<std::string, std::string>>& groups = {}) {
    FoldSet fs;
    fs.id = std::move(name);
    fs.sample_ids = samples(universe);
    for (const Fold& f : folds) {
        fs.folds.push_back({f.id, samples(f.train), samples(f.validation), {}});
    }
    for (const auto& [s, g] : groups) fs.sample_groups.insert_or_assign(id<vx::SampleId>(s), id<vx::GroupId>(g));
    return fs;
}

AugmentationMetadata augmentation(std::string transform, std::optional<std::string> params = {},
                                  std::vector<std::string> metadata_keys = {}) {
    AugmentationMetadata a{std::move(transform), std::move(params), {}};
    for (auto& k : metadata_keys) a.metadata.insert_or_assign(std::move(k), json::Value());
    return a;
}

const std::string hex64 = "0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789ABCDEF";

// ---------------------------------------------------------------------------
// Written forms
// ---------------------------------------------------------------------------

// Expected texts are the peer reader's output for the same documents (the array
// form that ends early reports the count of elements given, as the contract says);
// the reader's messages on these records are among the recorded peer cases.
TEST(RelationRecords, ReadAndWriteLikeThePeerReader) {
    struct Case {
        std::string type, input, expected;
    };
    const std::vector<Case> cases = {
        {"SampleRelation", R"({"observation_id":"o","sample_id":"s"})",
         R"(OK {"observation_id":"o","sample_id":"s","source_id":null,"target_id":null,"group_id":null,"origin_id":null,"repetition_id":null,"augmented":false,"excluded":false,"metadata":{}})"},
        {"SampleRelation",
         R"(["o","s","src","t","g","or","r",true,true,{"b":1,"a":[1.0]},["x","y"],["tr",")" + hex64 +
             R"(",{"k":null}]])",
         R"(OK {"observation_id":"o","sample_id":"s","source_id":"src","target_id":"t","group_id":"g","origin_id":"or","repetition_id":"r","augmented":true,"excluded":true,"metadata":{"a":[1.0],"b":1},"tags":["x","y"],"augmentation":{"transform_id":"tr","params_fingerprint":")" +
             hex64 + R"(","metadata":{"k":null}}})"},
        {"SampleRelation", R"({"observation_id":"o","sample_id":"s","tags":[],"augmentation":null,"x":{"d":[1]}})",
         R"(OK {"observation_id":"o","sample_id":"s","source_id":null,"target_id":null,"group_id":null,"origin_id":null,"repetition_id":null,"augmented":false,"excluded":false,"metadata":{}})"},
        {"AugmentationMetadata", R"(["t"])",
         "ERR invalid length 1, expected struct AugmentationMetadata with 3 elements at line 1 column 5"},
        {"AugmentationMetadata", R"({"transform_id":"t","params_fingerprint":"p","metadata":{"z":1,"a":2}})",
         R"(OK {"transform_id":"t","params_fingerprint":"p","metadata":{"a":2,"z":1}})"},
        {"FoldAssignment", R"(["f",[]])",
         "ERR invalid length 2, expected struct FoldAssignment with 4 elements at line 1 column 8"},
        {"FoldSet",
         R"({"id":"f","sample_ids":["a"],"folds":[{"fold_id":"x","train_sample_ids":[],"validation_sample_ids":["a"],"metadata":{}}],"sample_groups":{"a":"g","a":"h"}})",
         R"(OK {"id":"f","sample_ids":["a"],"folds":[{"fold_id":"x","train_sample_ids":[],"validation_sample_ids":["a"]}],"sample_groups":{"a":"h"}})"},
        {"FoldSet", R"({"id":"f","sample_ids":["a"],"folds":[],"sample_groups":{}})",
         R"(OK {"id":"f","sample_ids":["a"],"folds":[]})"},
        {"FoldSet", R"(["f",["a"],[["x",[],["a"],{"m":2}]]])",
         R"(OK {"id":"f","sample_ids":["a"],"folds":[{"fold_id":"x","train_sample_ids":[],"validation_sample_ids":["a"],"metadata":{"m":2}}]})"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(vx::testing::read_document(c.type, c.input, false).value_or("no reader"), c.expected) << c.input;
    }
}

// A row's augmentation lives behind a pointer; rows still copy, compare and read
// it as a plain optional value, on both routes.
TEST(RelationRecords, AugmentationBehavesAsAnOptionalValue) {
    const SampleRelationTable t =
        table({{.obs = "o", .sample = "s", .augmented = true, .augmentation = augmentation("flip", {}, {"k"})},
               {.obs = "p", .sample = "s"}});
    SampleRelationTable copy = t;
    EXPECT_EQ(copy, t);
    copy.rows[0].augmentation->transform_id = "turn";
    EXPECT_EQ(t.rows[0].augmentation->transform_id, "flip");
    EXPECT_NE(copy, t);
    copy.rows[0].augmentation.reset();
    EXPECT_NE(copy, t);
    copy.rows[1].augmentation.emplace().transform_id = "flip";
    EXPECT_NE(copy.rows[1], t.rows[1]);
    SampleRelationTable moved = std::move(copy);
    EXPECT_FALSE(moved.rows[0].augmentation.has_value());
    EXPECT_EQ(moved.rows[1].augmentation->transform_id, "flip");

    struct Case {
        std::string input;
        bool value_route;
        std::string expected;
    };
    const std::string row = R"({"observation_id":"o","sample_id":"s","augmentation":)";
    const std::string written =
        R"({"observation_id":"o","sample_id":"s","source_id":null,"target_id":null,"group_id":null,"origin_id":null,"repetition_id":null,"augmented":false,"excluded":false,"metadata":{})";
    const std::vector<Case> cases = {
        {row + R"({"transform_id":"t"}})", false, "OK " + written + R"(,"augmentation":{"transform_id":"t"}})"},
        {row + R"(["t",null,{}]})", true, "OK " + written + R"(,"augmentation":{"transform_id":"t"}})"},
        {row + "null}", true, "OK " + written + "}"},
        {row + R"("t"})", false,
         R"(ERR invalid type: string "t", expected struct AugmentationMetadata at line 1 column 56)"},
        {row + "nul}", false, "ERR expected ident at line 1 column 57"},
        {row + "[]}", true, "ERR invalid length 0, expected struct AugmentationMetadata with 3 elements"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(vx::testing::read_document("SampleRelation", c.input, c.value_route).value_or("no reader"),
                  c.expected)
            << c.input;
    }
}

// Through a generic value the same fields are written or left out; only the key
// order changes.
TEST(RelationRecords, GenericValueKeepsTheNullAndLeftOutRules) {
    struct Case {
        std::string input, value_text;
    };
    const std::vector<Case> cases = {
        {R"({"observation_id":"o","sample_id":"s"})",
         R"({"augmented":false,"excluded":false,"group_id":null,"metadata":{},"observation_id":"o","origin_id":null,"repetition_id":null,"sample_id":"s","source_id":null,"target_id":null})"},
        {R"({"observation_id":"o","sample_id":"s","origin_id":"p","augmented":true,"tags":["b","a"],"augmentation":{"transform_id":"t"}})",
         R"({"augmentation":{"transform_id":"t"},"augmented":true,"excluded":false,"group_id":null,"metadata":{},"observation_id":"o","origin_id":"p","repetition_id":null,"sample_id":"s","source_id":null,"tags":["b","a"],"target_id":null})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        const auto row = read<SampleRelation>(c.input);
        EXPECT_EQ(json::to_text(json::to_value(row)), c.value_text);
        EXPECT_EQ(json::from_value<SampleRelation>(json::to_value(row)).value(), row);
    }
    const auto fs = read<FoldSet>(
        R"({"id":"f","sample_ids":["a"],"folds":[{"fold_id":"x","train_sample_ids":[],"validation_sample_ids":["a"]}]})");
    EXPECT_EQ(json::to_text(json::to_value(fs)),
              R"({"folds":[{"fold_id":"x","train_sample_ids":[],"validation_sample_ids":["a"]}],"id":"f","sample_ids":["a"]})");
}

// ---------------------------------------------------------------------------
// Relation table rules
// ---------------------------------------------------------------------------

TEST(SampleRelationTableValidate, ReportsTheFirstViolationInRowOrder) {
    struct Case {
        std::string name;
        std::vector<Row> rows;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"no rows", {}, "sample relation table contains no rows"},
        {"plain rows", {{.obs = "o1", .sample = "s"}, {.obs = "o2", .sample = "s"}}, "ok"},
        {"duplicate observation",
         {{.obs = "o1", .sample = "s"}, {.obs = "o2", .sample = "s"}, {.obs = "o1", .sample = "t"}},
         "duplicate observation id `o1`"},
        {"first repeat in row order, not the smallest",
         {{.obs = "b", .sample = "s"}, {.obs = "a", .sample = "s"}, {.obs = "b", .sample = "s"},
          {.obs = "a", .sample = "s"}},
         "duplicate observation id `b`"},
        {"group conflict names first recorded group, ungrouped row passes",
         {{.obs = "o1", .sample = "s", .group = "g1"}, {.obs = "o2", .sample = "s"},
          {.obs = "o3", .sample = "s", .group = "g2"}},
         "sample `s` appears with conflicting groups `g1` and `g2`"},
        {"group conflicts in row order, not sample order",
         {{.obs = "o1", .sample = "s2", .group = "g1"}, {.obs = "o2", .sample = "s1", .group = "g1"},
          {.obs = "o3", .sample = "s2", .group = "g2"}, {.obs = "o4", .sample = "s1", .group = "g3"}},
         "sample `s2` appears with conflicting groups `g1` and `g2`"},
        {"group recorded by the first grouped row stays",
         {{.obs = "o1", .sample = "s", .group = "g1"}, {.obs = "o2", .sample = "s", .group = "g1"},
          {.obs = "o3", .sample = "s", .group = "g0"}},
         "sample `s` appears with conflicting groups `g1` and `g0`"},
        {"duplicate observation beats a group conflict on the same row",
         {{.obs = "o1", .sample = "s", .group = "g1"}, {.obs = "o1", .sample = "s", .group = "g2"}},
         "duplicate observation id `o1`"},
        {"earlier group conflict beats a later duplicate",
         {{.obs = "o1", .sample = "s", .group = "g1"}, {.obs = "o2", .sample = "s", .group = "g2"},
          {.obs = "o1", .sample = "t"}},
         "sample `s` appears with conflicting groups `g1` and `g2`"},
        {"augmented without origin, metadata not looked at",
         {{.obs = "o1", .sample = "s", .augmented = true, .augmentation = augmentation(" ")}},
         "augmented observation `o1` has no origin_id"},
        {"non-augmented with origin",
         {{.obs = "o0", .sample = "s"}, {.obs = "o1", .sample = "s", .origin = "o0"}},
         "non-augmented observation `o1` declares origin_id"},
        {"metadata rule before the non-augmented rule",
         {{.obs = "o1", .sample = "s", .augmentation = augmentation("\t\u3000")}},
         "augmentation metadata transform_id is empty"},
        {"non-augmented with metadata",
         {{.obs = "o1", .sample = "s", .augmentation = augmentation("flip")}},
         "non-augmented observation `o1` declares augmentation metadata"},
        {"params fingerprint of 64 mixed-case hex digits",
         {{.obs = "o0", .sample = "s"},
          {.obs = "o1", .sample = "s", .origin = "o0", .augmented = true, .augmentation = augmentation("flip", hex64)}},
         "ok"},
        {"params fingerprint of 63 digits",
         {{.obs = "o0", .sample = "s"},
          {.obs = "o1", .sample = "s", .origin = "o0", .augmented = true,
           .augmentation = augmentation("flip", hex64.substr(1))}},
         "augmentation `flip` params_fingerprint must be a 64-character hex digest"},
        {"params fingerprint of 65 digits",
         {{.obs = "o0", .sample = "s"},
          {.obs = "o1", .sample = "s", .origin = "o0", .augmented = true,
           .augmentation = augmentation("flip", hex64 + "0")}},
         "augmentation `flip` params_fingerprint must be a 64-character hex digest"},
        {"params fingerprint with a g",
         {{.obs = "o0", .sample = "s"},
          {.obs = "o1", .sample = "s", .origin = "o0", .augmented = true,
           .augmentation = augmentation("flip", "g" + hex64.substr(1))}},
         "augmentation `flip` params_fingerprint must be a 64-character hex digest"},
        {"blank metadata key",
         {{.obs = "o0", .sample = "s"},
          {.obs = "o1", .sample = "s", .origin = "o0", .augmented = true,
           .augmentation = augmentation("flip", {}, {"ok", "\u00a0"})}},
         "augmentation `flip` metadata contains an empty key"},
        {"own origin",
         {{.obs = "o1", .sample = "s", .origin = "o1", .augmented = true}},
         "observation `o1` cannot be its own origin"},
        {"row rule beats a missing origin",
         {{.obs = "o1", .sample = "s", .origin = "zz", .augmented = true},
          {.obs = "o2", .sample = "s", .augmented = true}},
         "augmented observation `o2` has no origin_id"},
        {"smallest missing origin, whatever the row order",
         {{.obs = "o1", .sample = "s", .origin = "b", .augmented = true},
          {.obs = "o2", .sample = "s", .origin = "a", .augmented = true}},
         "origin `a` is not present as an observation"},
        {"origin listed after its augmented row, origin itself augmented",
         {{.obs = "o2", .sample = "s", .origin = "o1", .augmented = true},
          {.obs = "o1", .sample = "s", .origin = "o0", .augmented = true}, {.obs = "o0", .sample = "t"}},
         "ok"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(outcome(table(c.rows).validate()), c.expected);
    }
}

TEST(SampleRelationTableValidate, SampleGroupsLastGroupedRowWins) {
    const auto t = table({{.obs = "o1", .sample = "b", .group = "g1"},
                          {.obs = "o2", .sample = "a"},
                          {.obs = "o3", .sample = "b", .group = "g2"},
                          {.obs = "o4", .sample = "c", .group = "g3"}});
    const relation::GroupMap groups = t.sample_groups();
    std::vector<std::string> seen;
    for (const auto& e : groups) seen.push_back(std::string(e.sample) + "=" + std::string(e.group));
    EXPECT_EQ(seen, (std::vector<std::string>{"b=g2", "c=g3"}));
    EXPECT_EQ(groups.find("a"), nullptr);
}

// ---------------------------------------------------------------------------
// Fold set rules
// ---------------------------------------------------------------------------

TEST(FoldSetValidate, ReportsTheFirstViolation) {
    using G = std::vector<std::pair<std::string, std::string>>;
    struct Case {
        std::string name;
        FoldSet fs;
        std::string expected;
    };
    const std::vector<std::string> abc = {"a", "b", "c"};
    const std::vector<Case> cases = {
        {"blank id first", fold_set(" \u2003", {}, {}), "fold set id is empty"},
        {"no samples", fold_set("cv", {}, {}), "fold set contains no samples"},
        {"no folds", fold_set("cv", abc, {}), "fold set contains no folds"},
        {"duplicate universe sample before group and fold rules",
         fold_set("cv", {"b", "a", "b", "a"}, {{"", {}, {}}}, G{{"z", "g"}}),
         "fold set sample_ids contains duplicate sample `b`"},
        {"smallest unknown group key",
         fold_set("cv", abc, {{"", {}, {}}}, G{{"z", "g"}, {"y", "g"}, {"b0", "g"}, {"c", "g"}, {"a", "g"}}),
         "sample group map references unknown sample `b0`"},
        {"valid, empty train allowed", fold_set("cv", abc, {{"f1", {}, {"a"}}, {"f2", {"a"}, {"b", "c"}}}), "ok"},
        {"blank fold id", fold_set("cv", abc, {{"f1", {}, {"a"}}, {"  ", {}, {}}}), "fold assignment id is empty"},
        {"duplicate fold id", fold_set("cv", abc, {{"f", {}, {"a"}}, {"f", {}, {"b"}}}), "duplicate fold id `f`"},
        {"fold ids differing in spaces are distinct", fold_set("cv", abc, {{"f", {}, {"a", "b"}}, {" f", {}, {"c"}}}),
         "ok"},
        {"duplicate train sample before empty validation", fold_set("cv", abc, {{"f", {"b", "a", "b"}, {}}}),
         "fold `f` train_sample_ids contains duplicate sample `b`"},
        {"duplicate validation sample", fold_set("cv", abc, {{"f", {}, {"c", "a", "c"}}}),
         "fold `f` validation_sample_ids contains duplicate sample `c`"},
        {"duplicate train sample that is also unknown", fold_set("cv", abc, {{"f", {"q", "a", "q"}, {"b"}}}),
         "fold `f` train_sample_ids contains duplicate sample `q`"},
        {"duplicate validation sample with an unknown train sample",
         fold_set("cv", abc, {{"f", {"q"}, {"a", "b", "a"}}}),
         "fold `f` validation_sample_ids contains duplicate sample `a`"},
        {"empty validation with an unknown train sample", fold_set("cv", abc, {{"f", {"a", "q"}, {}}}),
         "fold `f` has no validation samples"},
        {"no validation samples", fold_set("cv", abc, {{"f", {"a"}, {}}}), "fold `f` has no validation samples"},
        {"smallest unknown over both lists, from validation", fold_set("cv", abc, {{"f", {"z"}, {"y"}}}),
         "fold `f` references unknown sample `y`"},
        {"smallest unknown over both lists, from train", fold_set("cv", abc, {{"f", {"c", "x"}, {"z", "a"}}}),
         "fold `f` references unknown sample `x`"},
        {"unknown before overlap", fold_set("cv", abc, {{"f", {"a", "q"}, {"a"}}}),
         "fold `f` references unknown sample `q`"},
        {"smallest overlap", fold_set("cv", abc, {{"f", {"b", "c"}, {"c", "b"}}}),
         "fold `f` has train/validation overlap at sample `b`"},
        {"never validated", fold_set("cv", abc, {{"f", {"c"}, {"b", "a"}}}),
         "sample `c` appears in validation 0 time(s), expected exactly once"},
        {"validated twice", fold_set("cv", abc, {{"f1", {}, {"a", "b", "c"}}, {"f2", {}, {"b"}}}),
         "sample `b` appears in validation 2 time(s), expected exactly once"},
        {"counts only after every fold passed", fold_set("cv", abc, {{"f1", {}, {"a"}}, {"f2", {}, {"q"}}}),
         "fold `f2` references unknown sample `q`"},
        {"count rule reports the smallest sample",
         fold_set("cv", {"c", "b", "a"}, {{"f1", {}, {"c", "b"}}, {"f2", {}, {"b"}}}),
         "sample `a` appears in validation 0 time(s), expected exactly once"},
        {"group of the smallest leaking validation sample",
         fold_set("cv", {"p", "q", "x", "y"}, {{"f", {"x", "y"}, {"q", "p"}}},
                  G{{"q", "a"}, {"p", "b"}, {"x", "a"}, {"y", "b"}}),
         "group: fold `f` leaks group `b` across train/validation"},
        {"the same, validation listed the other way round",
         fold_set("cv", {"p", "q", "x", "y"}, {{"f", {"x", "y"}, {"p", "q"}}},
                  G{{"q", "a"}, {"p", "b"}, {"x", "a"}, {"y", "b"}}),
         "group: fold `f` leaks group `b` across train/validation"},
        {"no map, no group check", fold_set("cv", {"p", "q"}, {{"f", {"p"}, {"q"}}, {"g", {"q"}, {"p"}}}), "ok"},
        {"samples outside the map never leak",
         fold_set("cv", {"p", "q", "r"}, {{"f", {"p", "r"}, {"q"}}, {"g", {"q"}, {"p", "r"}}}, G{{"p", "a"}}),
         "ok"},
        {"group leak in an earlier fold beats a later fold's rule",
         fold_set("cv", {"p", "q"}, {{"f", {"p"}, {"q"}}, {"f", {}, {"p"}}}, G{{"p", "a"}, {"q", "a"}}),
         "group: fold `f` leaks group `a` across train/validation"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(outcome(c.fs.validate()), c.expected);
    }
}

TEST(FoldSetValidate, UniqueSamplesIsTheOrderedSetOrTheFirstRepeat) {
    const auto list = samples({"b", "a0", "a", "c"});
    auto set = relation::unique_samples("label", list);
    ASSERT_TRUE(set.has_value());
    EXPECT_EQ(std::vector<std::string_view>(set->begin(), set->end()),
              (std::vector<std::string_view>{"a", "a0", "b", "c"}));
    const auto repeated = samples({"c", "b", "a", "b", "a", "c"});
    EXPECT_EQ(outcome(relation::unique_samples("things", repeated)),
              "things contains duplicate sample `b`");
}

// ---------------------------------------------------------------------------
// Fold set against relation table
// ---------------------------------------------------------------------------

TEST(ValidateFoldSetAgainstRelations, CrossChecksInOrder) {
    using G = std::vector<std::pair<std::string, std::string>>;
    struct Case {
        std::string name;
        std::vector<Row> rows;
        FoldSet fs;
        std::string expected;
    };
    // s1 <- o1 (original), o2 is augmented from o1 but belongs to s2.
    const std::vector<Row> augmented = {{.obs = "o1", .sample = "s1"},
                                        {.obs = "o2", .sample = "s2", .origin = "o1", .augmented = true},
                                        {.obs = "o3", .sample = "s3"}};
    const std::vector<std::string> s123 = {"s1", "s2", "s3"};
    const std::vector<Case> cases = {
        {"table error first", {}, fold_set(" ", {}, {}), "sample relation table contains no rows"},
        {"fold set error next", augmented, fold_set(" ", {}, {}), "fold set id is empty"},
        {"fold set's own group leak before cross checks", {{.obs = "o1", .sample = "zz"}},
         fold_set("cv", {"a", "b"}, {{"f", {"a"}, {"b"}}, {"g", {"b"}, {"a"}}}, G{{"a", "x"}, {"b", "x"}}),
         "group: fold `f` leaks group `x` across train/validation"},
        {"missing relation sample wins over absent one", {{.obs = "o1", .sample = "s3"}, {.obs = "o2", .sample = "s2"}},
         fold_set("cv", {"s0", "s3"}, {{"f", {}, {"s0", "s3"}}}), "fold set `cv` is missing relation sample `s2`"},
        {"absent from sample relations", {{.obs = "o1", .sample = "s1"}},
         fold_set("cv", {"s1", "s0", "s9"}, {{"f", {}, {"s1", "s0", "s9"}}}),
         "fold set `cv` references sample `s0` absent from sample relations"},
        {"smallest conflicting group entry",
         {{.obs = "o1", .sample = "s1", .group = "g1"}, {.obs = "o2", .sample = "s2", .group = "g2"},
          {.obs = "o3", .sample = "s3"}},
         fold_set("cv", s123, {{"f", {}, {"s1", "s2", "s3"}}}, G{{"s3", "zz"}, {"s2", "h2"}, {"s1", "h1"}}),
         "fold set `cv` group `h1` for sample `s1` conflicts with relation group `g1`"},
        {"samples without a relation group are not compared",
         {{.obs = "o1", .sample = "s1", .group = "g1"}, {.obs = "o2", .sample = "s2"}, {.obs = "o3", .sample = "s3"}},
         fold_set("cv", s123, {{"f", {}, {"s1", "s2", "s3"}}}, G{{"s1", "g1"}, {"s2", "h2"}}), "ok"},
        {"group leak through the relation groups",
         {{.obs = "o1", .sample = "s1", .group = "g"}, {.obs = "o2", .sample = "s2", .group = "g"},
          {.obs = "o3", .sample = "s3"}},
         fold_set("cv", s123, {{"f", {"s1"}, {"s2", "s3"}}, {"h", {}, {"s1"}}}),
         "group: fold `f` leaks group `g` across train/validation"},
        {"origin in train, augmented in validation", augmented,
         fold_set("cv", s123, {{"f", {"s1"}, {"s2"}}, {"h", {"s2"}, {"s1", "s3"}}}),
         "origin: fold `f` leaks augmentation origin `o1` across train/validation"},
        {"augmented in train, origin in validation", augmented,
         fold_set("cv", s123, {{"f", {"s2", "s3"}, {"s1"}}, {"h", {}, {"s2", "s3"}}}),
         "origin: fold `f` leaks augmentation origin `o1` across train/validation"},
        {"both on one side or one outside the fold", augmented,
         fold_set("cv", s123, {{"f", {"s3"}, {"s1", "s2"}}, {"h", {"s1"}, {"s3"}}}), "ok"},
        {"origin of the same sample never leaks",
         {{.obs = "o1", .sample = "s1"}, {.obs = "o2", .sample = "s1", .origin = "o1", .augmented = true},
          {.obs = "o3", .sample = "s2"}},
         fold_set("cv", {"s1", "s2"}, {{"f", {"s1"}, {"s2"}}, {"h", {"s2"}, {"s1"}}}), "ok"},
        {"group leak before origin leak in one fold",
         {{.obs = "o1", .sample = "s1", .group = "g"}, {.obs = "o2", .sample = "s2", .origin = "o1", .augmented = true},
          {.obs = "o3", .sample = "s3", .group = "g"}},
         fold_set("cv", s123, {{"f", {"s1"}, {"s2", "s3"}}, {"h", {}, {"s1"}}}),
         "group: fold `f` leaks group `g` across train/validation"},
        {"an earlier fold's origin leak before a later fold's group leak",
         {{.obs = "o1", .sample = "s1", .group = "g"}, {.obs = "o2", .sample = "s2", .origin = "o1", .augmented = true},
          {.obs = "o3", .sample = "s3", .group = "g"}},
         fold_set("cv", s123, {{"f", {"s2"}, {"s1"}}, {"h", {"s1"}, {"s2", "s3"}}}),
         "origin: fold `f` leaks augmentation origin `o1` across train/validation"},
        {"first leaking row in row order",
         {{.obs = "b", .sample = "s1"},
          {.obs = "a", .sample = "s2"},
          {.obs = "x", .sample = "s3", .origin = "b", .augmented = true},
          {.obs = "y", .sample = "s3", .origin = "a", .augmented = true}},
         fold_set("cv", s123, {{"f", {"s1", "s2"}, {"s3"}}, {"h", {}, {"s1", "s2"}}}),
         "origin: fold `f` leaks augmentation origin `b` across train/validation"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(outcome(table(c.rows).validate_fold_set(c.fs)), c.expected);
    }
}

TEST(ValidateFoldSetAgainstRelations, BoundaryChecksStandAlone) {
    const auto train_ids = samples({"s1", "s4"});
    const auto validation_ids = samples({"s2", "s3"});
    const auto train = relation::unique_samples("t", train_ids).value();
    const auto validation = relation::unique_samples("v", validation_ids).value();
    // A row whose origin is not an observation is passed over, even on a leaking
    // side; the next leaking row is reported.
    const auto rows = table({{.obs = "o1", .sample = "s2", .origin = "ghost", .augmented = true},
                             {.obs = "o2", .sample = "s9", .origin = "o3", .augmented = true},
                             {.obs = "o3", .sample = "s1"},
                             {.obs = "o4", .sample = "s3", .origin = "o3", .augmented = true}});
    EXPECT_EQ(outcome(relation::validate_origin_boundary("k", train, validation, rows.rows)),
              "origin: fold `k` leaks augmentation origin `o3` across train/validation");
    EXPECT_EQ(outcome(relation::validate_origin_boundary("k", validation, validation, rows.rows)), "ok");
    // A repeated observation stands for its last row's sample (s8, outside the fold).
    const auto repeated = table({{.obs = "d", .sample = "s1"},
                                 {.obs = "d", .sample = "s8"},
                                 {.obs = "x", .sample = "s3", .origin = "d", .augmented = true}});
    EXPECT_EQ(outcome(relation::validate_origin_boundary("k", train, validation, repeated.rows)), "ok");

    json::SortedMap<vx::SampleId, vx::GroupId> map;
    map.insert_or_assign(id<vx::SampleId>("s4"), id<vx::GroupId>("gb"));
    map.insert_or_assign(id<vx::SampleId>("s3"), id<vx::GroupId>("gb"));
    map.insert_or_assign(id<vx::SampleId>("s1"), id<vx::GroupId>("ga"));
    map.insert_or_assign(id<vx::SampleId>("s2"), id<vx::GroupId>("ga"));
    EXPECT_EQ(outcome(relation::validate_group_boundary("k", train, validation, relation::GroupMap::of(map))),
              "group: fold `k` leaks group `ga` across train/validation");
    EXPECT_EQ(outcome(relation::validate_group_boundary("k", train, validation, relation::GroupMap{})), "ok");
}

// The fold-by-fold rule against a table, transcribed plainly: every fold builds
// its two sets, checks the relation groups, then walks every row of the table.
// Used only on pairs whose own validations and sample coverage already passed.
std::string fold_boundaries_by_scan(const SampleRelationTable& t, const FoldSet& fs) {
    const relation::GroupMap groups = t.sample_groups();
    for (const vx::FoldAssignment& fold : fs.folds) {
        const auto train = relation::unique_samples("t", fold.train_sample_ids).value();
        const auto validation = relation::unique_samples("v", fold.validation_sample_ids).value();
        if (auto ok = relation::validate_group_boundary(fold.fold_id, train, validation, groups); !ok) {
            return outcome(ok);
        }
        if (auto ok = relation::validate_origin_boundary(fold.fold_id, train, validation, t.rows); !ok) {
            return outcome(ok);
        }
    }
    return "ok";
}

// Random tables (original and augmented rows, origins anywhere in the table and
// of any sample, groups or none) against random fold sets over the same samples
// (each validated once, train drawn from the rest): the same outcome, message
// included, as the plain rule.
TEST(ValidateFoldSetAgainstRelations, LeaksFoundAsTheFoldByFoldScanFindsThem) {
    std::mt19937_64 rng(90125);
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    std::map<std::string, int> seen;
    for (int round = 0; round < 4000; ++round) {
        const std::size_t samples_count = 2 + pick(9);
        const bool grouped = pick(2) == 0;
        std::vector<std::string> universe;
        std::vector<std::string> group_of;
        for (std::size_t i = 0; i < samples_count; ++i) {
            universe.push_back(vx::text::format("s{}", i));
            group_of.push_back(vx::text::format("g{}", pick(samples_count)));
        }
        std::vector<Row> rows;
        for (std::size_t i = 0; i < samples_count; ++i) {
            rows.push_back({.obs = vx::text::format("o{}", i), .sample = universe[i],
                            .group = grouped && pick(2) ? group_of[i] : ""});
        }
        for (std::size_t k = pick(2 * samples_count); k > 0; --k) {
            const std::size_t sample = pick(samples_count);
            rows.push_back({.obs = vx::text::format("x{}", k), .sample = universe[sample],
                            .group = grouped && pick(2) ? group_of[sample] : "",
                            .origin = rows[pick(rows.size())].obs, .augmented = true});
        }
        std::shuffle(rows.begin(), rows.end(), rng);
        const SampleRelationTable t = table(rows);

        const std::size_t folds_count = 1 + pick(samples_count);
        std::vector<Fold> folds(folds_count);
        for (std::size_t f = 0; f < folds_count; ++f) folds[f].id = vx::text::format("f{}", pick(1000) * 10 + f);
        std::vector<std::size_t> fold_of(samples_count);
        for (std::size_t i = 0; i < samples_count; ++i) {
            fold_of[i] = i < folds_count ? i : pick(folds_count);  // every fold validates something
            folds[fold_of[i]].validation.push_back(universe[i]);
        }
        for (std::size_t f = 0; f < folds_count; ++f) {
            for (std::size_t i = 0; i < samples_count; ++i) {
                if (fold_of[i] != f && pick(3) != 0) folds[f].train.push_back(universe[i]);
            }
            std::shuffle(folds[f].train.begin(), folds[f].train.end(), rng);
            std::shuffle(folds[f].validation.begin(), folds[f].validation.end(), rng);
        }
        std::vector<std::string> listed = universe;
        std::shuffle(listed.begin(), listed.end(), rng);
        const FoldSet fs = fold_set("cv", listed, folds);

        ASSERT_EQ(outcome(t.validate()), "ok");
        ASSERT_EQ(outcome(fs.validate()), "ok");
        const std::string expected = fold_boundaries_by_scan(t, fs);
        EXPECT_EQ(outcome(t.validate_fold_set(fs)), expected) << "round " << round;
        ++seen[expected.substr(0, expected.find(':'))];
    }
    // Passes, group leaks and origin leaks all occur often.
    EXPECT_GT(seen["ok"], 400);
    EXPECT_GT(seen["group"], 400);
    EXPECT_GT(seen["origin"], 400);
}

// ---------------------------------------------------------------------------
// Fingerprints
// ---------------------------------------------------------------------------

const char* const table_doc =
    R"({"rows":[{"observation_id":"c","sample_id":"s2","origin_id":"b","augmented":true,"augmentation":{"transform_id":"flip","metadata":{"y":2.5}}},)"
    R"({"observation_id":"b","sample_id":"s2","source_id":"x"},)"
    R"({"observation_id":"a","sample_id":"s1","group_id":"g1","metadata":{"z":1,"k":[true]},"tags":["t2","t1"]}]})";

const char* const fold_doc =
    R"({"id":"cv","sample_ids":["b","a","c"],"sample_groups":{"c":"g2","b":"g1","a":"g1"},"folds":[)"
    R"({"fold_id":"f2","train_sample_ids":["b","a"],"validation_sample_ids":["c"],"metadata":{"seed":7}},)"
    R"({"fold_id":"f1","train_sample_ids":["c"],"validation_sample_ids":["b","a"],"metadata":{}}]})";

TEST(RelationFingerprints, CanonicalTextsAndDigests) {
    const std::string table_text =
        R"({"rows":[{"observation_id":"a","sample_id":"s1","source_id":null,"target_id":null,"group_id":"g1","origin_id":null,"repetition_id":null,"augmented":false,"excluded":false,"metadata":{"k":[true],"z":1},"tags":["t2","t1"]},)"
        R"({"observation_id":"b","sample_id":"s2","source_id":"x","target_id":null,"group_id":null,"origin_id":null,"repetition_id":null,"augmented":false,"excluded":false,"metadata":{}},)"
        R"({"observation_id":"c","sample_id":"s2","source_id":null,"target_id":null,"group_id":null,"origin_id":"b","repetition_id":null,"augmented":true,"excluded":false,"metadata":{},"augmentation":{"transform_id":"flip","metadata":{"y":2.5}}}]})";
    const std::string fold_text =
        R"({"folds":[{"fold_id":"f1","train_sample_ids":["c"],"validation_sample_ids":["a","b"]},)"
        R"({"fold_id":"f2","metadata":{"seed":7},"train_sample_ids":["a","b"],"validation_sample_ids":["c"]}],)"
        R"("id":"cv","sample_groups":{"a":"g1","b":"g1","c":"g2"},"sample_ids":["a","b","c"]})";

    const auto t = read<SampleRelationTable>(table_doc);
    const auto f = read<FoldSet>(fold_doc);
    EXPECT_EQ(fp::sample_relation_canonical_text(t).value(), table_text);
    EXPECT_EQ(fp::fold_set_canonical_text(f).value(), fold_text);
    // Digests of the hand-written texts, computed outside this code base.
    EXPECT_EQ(fp::sample_relation_fingerprint(t).value(),
              "79de1cb9a50292730444686c9ca65ca199b58286ab8524d2ff35da7e6fc291de");
    EXPECT_EQ(fp::fold_set_fingerprint(f).value(), "082983f73ab053a1e3b8c0827078cda964cc3c7e8e23ff8c05913cfd5dd5377e");
    EXPECT_EQ(fp::fold_set_fingerprint(f).value(), fp::sha256_hex(fold_text));

    // Empty map and metadata leave no key behind.
    auto bare = f;
    bare.sample_groups = {};
    for (auto& fold : bare.folds) fold.metadata = {};
    const std::string bare_text = fp::fold_set_canonical_text(bare).value();
    EXPECT_EQ(bare_text.rfind(R"({"folds":[{"fold_id":"f1","train_sample_ids":)", 0), 0u) << bare_text;
    EXPECT_EQ(bare_text.find("metadata"), std::string::npos);
    EXPECT_EQ(bare_text.find("sample_groups"), std::string::npos);
}

TEST(RelationFingerprints, InvalidDocumentsGiveTheirErrorAndNoFingerprint) {
    auto t = read<SampleRelationTable>(table_doc);
    t.rows.push_back(t.rows.front());
    EXPECT_EQ(outcome(fp::sample_relation_fingerprint(t)), "duplicate observation id `c`");
    EXPECT_EQ(outcome(fp::sample_relation_fingerprint(SampleRelationTable{})),
              "sample relation table contains no rows");
    auto f = read<FoldSet>(fold_doc);
    f.sample_ids.push_back(f.sample_ids.front());
    EXPECT_EQ(outcome(fp::fold_set_fingerprint(f)),
              "fold set sample_ids contains duplicate sample `b`");
}

// Invariance under reordering and sensitivity to single-field changes are
// properties of generated documents in the Python suite; these are the changes
// its generators do not make.
TEST(RelationFingerprints, ChangesNoGeneratedDocumentMakes) {
    const auto table = read<SampleRelationTable>(table_doc);
    auto swapped_tags = table;
    std::swap(swapped_tags.rows[2].tags[0], swapped_tags.rows[2].tags[1]);
    EXPECT_NE(fp::sample_relation_fingerprint(swapped_tags).value(), fp::sample_relation_fingerprint(table).value());

    const auto folds = read<FoldSet>(fold_doc);
    const std::string base = fp::fold_set_fingerprint(folds).value();
    auto no_groups = folds;
    no_groups.sample_groups = {};
    auto no_metadata = folds;
    no_metadata.folds[0].metadata = {};
    const std::string changed[] = {fp::fold_set_fingerprint(no_groups).value(),
                                   fp::fold_set_fingerprint(no_metadata).value()};
    EXPECT_NE(changed[0], base);
    EXPECT_NE(changed[1], base);
    EXPECT_NE(changed[0], changed[1]);
}

// ---------------------------------------------------------------------------
// Scale: the checks must stay near-linear on documents of this size.
// ---------------------------------------------------------------------------

TEST(RelationScale, TwoHundredThousandRowsAndSamples) {
    constexpr int n = 200'000;
    constexpr int folds = 5;
    // Built with format: GCC 12 warns falsely (-Wrestrict) on string concatenation here at -O3.
    auto sample = [](int i) { return veltrinax::text::format("s{}", i); };
    // Groups of eight consecutive samples; a group's samples are validated in the
    // same fold, and every fourth sample gets an augmented row whose origin is the
    // original row of another sample of its group, so nothing leaks.
    auto fold_of = [](int i) { return (i / 8) % folds; };
    SampleRelationTable t;
    t.rows.reserve(n + n / 4);
    for (int i = 0; i < n; ++i) {
        SampleRelation r;
        r.observation_id = id<vx::ObservationId>(veltrinax::text::format("o{}", i));
        r.sample_id = id<vx::SampleId>(sample(i));
        r.group_id = id<vx::GroupId>(veltrinax::text::format("g{}", i / 8));
        t.rows.push_back(std::move(r));
        if (i % 4 == 3) {
            SampleRelation a;
            a.observation_id = id<vx::ObservationId>(veltrinax::text::format("a{}", i));
            a.sample_id = id<vx::SampleId>(sample(i));
            a.augmented = true;
            a.origin_id = id<vx::OriginId>(veltrinax::text::format("o{}", i - 1));
            t.rows.push_back(std::move(a));
        }
    }
    FoldSet fs;
    fs.id = "cv";
    for (int i = n - 1; i >= 0; --i) fs.sample_ids.push_back(id<vx::SampleId>(sample(i)));
    for (int k = 0; k < folds; ++k) fs.folds.push_back({veltrinax::text::format("f{}", k), {}, {}, {}});
    std::vector<std::pair<vx::SampleId, vx::GroupId>> groups;
    for (int i = 0; i < n; ++i) {
        for (int k = 0; k < folds; ++k) {
            auto& side = k == fold_of(i) ? fs.folds[k].validation_sample_ids : fs.folds[k].train_sample_ids;
            side.push_back(id<vx::SampleId>(sample(i)));
        }
        groups.emplace_back(id<vx::SampleId>(sample(i)), id<vx::GroupId>(veltrinax::text::format("g{}", i / 8)));
    }
    fs.sample_groups = json::SortedMap<vx::SampleId, vx::GroupId>::from_entries(std::move(groups));

    EXPECT_EQ(outcome(t.validate()), "ok");
    EXPECT_EQ(outcome(fs.validate()), "ok");
    EXPECT_EQ(outcome(t.validate_fold_set(fs)), "ok");
    // The digests are streamed in pieces; they must equal the digest of the whole text.
    EXPECT_EQ(fp::sample_relation_fingerprint(t).value(),
              fp::sha256_hex(fp::sample_relation_canonical_text(t).value()));
    EXPECT_EQ(fp::fold_set_fingerprint(fs).value(), fp::sha256_hex(fp::fold_set_canonical_text(fs).value()));

    // One misplaced sample at the end of the lists is still found.
    fs.folds[0].validation_sample_ids.push_back(id<vx::SampleId>(sample(n - 1)));
    EXPECT_EQ(outcome(fs.validate()),
              "fold `f0` has train/validation overlap at sample `" + sample(n - 1) + "`");
}

}  // namespace
