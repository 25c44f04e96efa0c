// The fingerprints write each validated record directly in its canonical form;
// the contract defines that form through a round trip (record -> generic value ->
// record -> compact text). These tests hold the two routes to the same bytes on
// documents that exercise every field kind: nulls and left-out optionals, floats
// of every written form, escapes and non-ASCII text, nested free-form values with
// unsorted keys, array-form records, and lists that the fingerprint sorts.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "veltrinax/fingerprint.hpp"
#include "veltrinax/model.hpp"
#include "veltrinax/plan.hpp"
#include "veltrinax/relation.hpp"
#include "veltrinax/text.hpp"
#include "support.hpp"

namespace {

using namespace veltrinax;
namespace fp = veltrinax::fingerprint;

using veltrinax::testing::read;

// A fingerprint or canonical text, or the error that prevented it.
std::string text_of(const Result<std::string>& r) { return r ? *r : "error: " + r.error().to_string(); }

// The literal route: a sorted copy, converted to a generic value, read back and written.
std::string round_trip_relations(SampleRelationTable t) {
    std::stable_sort(t.rows.begin(), t.rows.end(), [](const SampleRelation& a, const SampleRelation& b) {
        if (a.observation_id != b.observation_id) return a.observation_id < b.observation_id;
        if (a.sample_id != b.sample_id) return a.sample_id < b.sample_id;
        if (!a.source_id || !b.source_id) return !a.source_id && b.source_id;
        return *a.source_id < *b.source_id;
    });
    return text_of(fp::canonical_record_text(t));
}

std::string round_trip_schema(DatasetSchema s) {
    auto by_id = [](const auto& a, const auto& b) { return a.id < b.id; };
    std::stable_sort(s.sample_ids.begin(), s.sample_ids.end());
    std::stable_sort(s.sources.begin(), s.sources.end(), by_id);
    std::stable_sort(s.groups.begin(), s.groups.end(), by_id);
    std::stable_sort(s.folds.begin(), s.folds.end(), by_id);
    return text_of(fp::canonical_record_text(s));
}

std::string round_trip_folds(FoldSet f) {
    std::stable_sort(f.sample_ids.begin(), f.sample_ids.end());
    std::stable_sort(f.folds.begin(), f.folds.end(),
                     [](const FoldAssignment& a, const FoldAssignment& b) { return a.fold_id < b.fold_id; });
    for (auto& fold : f.folds) {
        std::stable_sort(fold.train_sample_ids.begin(), fold.train_sample_ids.end());
        std::stable_sort(fold.validation_sample_ids.begin(), fold.validation_sample_ids.end());
    }
    return fp::canonical_value_text(f);
}

const char* const free_form =
    R"({"z":[1,-0,0.1,1e21,1e-7,123456789012345680000.0,18446744073709551616,-9223372036854775808],)"
    R"("a":{"y":null,"b":"t\tab\u001f/\u00e9\ud83d\ude00\"q\\","a":[{}]},"\u00e9":true,"A":false,"":-1.5e300})";

TEST(FingerprintCanonicalForms, DirectWritingEqualsTheRoundTrip) {
    const std::string relation_docs[] = {
        R"({"rows":[{"observation_id":"o2","sample_id":"s1","source_id":"nir","target_id":"y","group_id":"g",)"
        R"("origin_id":null,"repetition_id":"r.1","augmented":false,"excluded":true,"metadata":)" +
            std::string(free_form) +
            R"(,"tags":["b","a","\u00e9"]},)"
            R"({"observation_id":"o1","sample_id":"s1","origin_id":"o2","augmented":true,"augmentation":)"
            R"({"transform_id":" noise ","params_fingerprint":"ABab0123456789abcdef0123456789abcdef0123456789abcdef0123456789ab",)"
            R"("metadata":{"sigma":0.05,"k":[3]}},"tags":[]},)"
            R"(["o0","s0",null,null,null,null,null,false,false,{},[],null],)"
            R"({"observation_id":"o3","sample_id":"s2","augmented":true,"origin_id":"o0","augmentation":{"transform_id":"t"}}]})",
    };
    for (const std::string& doc : relation_docs) {
        const auto t = read<SampleRelationTable>(doc);
        EXPECT_EQ(text_of(fp::sample_relation_canonical_text(t)), round_trip_relations(t)) << doc;
    }

    const std::string representation =
        R"({"id":"sig","type_id":"dense_signal","rank":3,"axes":[{"name":"sample","kind":"sample"},)"
        R"({"name":"wl","kind":"wavelength","unit":"nm","size":3,"variable":false,"coordinate":{"dtype":"numeric",)"
        R"("ordered":true,"values":{"values":[1,2.5,1e16],"kind":"explicit"}}},)"
        R"({"name":"t","kind":"time","size":4,"coordinate":{"dtype":"numeric","ordered":true,"values":{"kind":"regular_grid","start":-0.0,"step":1e-6}}}],)"
        R"("container":"ndarray","dtype":null,"signal_type":"absorbance"})";
    const std::string schema_docs[] = {
        R"({"dataset_id":"d \u00e9","sample_ids":["s3","s1","s2"],"sources":[{"id":"b","name":"B","type_id":"t",)"
        R"("modality":"m","native_representation":)" +
            representation +
            R"(,"sample_key":"k","granularity":"per_group","schema":)" + free_form +
            R"(,"shape_contract":{"axis_sizes":{"wl":{"exact":3}},"allow_ragged":true}},)"
            R"({"id":"a","name":"A","type_id":"t","modality":"m","native_representation":)" +
            representation +
            R"(,"sample_key":"k","granularity":"per_sample","tags":{"x":[]}}],)"
            R"("targets":{"y":)" + representation + R"(},"metadata":{"":)" + representation +
            R"(},"metadata_schema":{"fields":{"site":{"kind":"categorical","allowed_values":[null,1,"a"],"unit":"u"}}},)"
            R"("groups":[{"id":"g2","kind":"batch","column":"c","metadata":{"k":1}},{"id":"g1","kind":"subject","column":"c","source_id":"a","strict":true}],)"
            R"("folds":[{"id":"f b","split_column":"s"},{"id":"f a","group_id":"g1","metadata":{"q":[0.5]}}]})",
        R"(["d",["a"],[],{},{},null,[],[]])",
    };
    for (const std::string& doc : schema_docs) {
        const auto s = read<DatasetSchema>(doc);
        EXPECT_EQ(text_of(fp::schema_fingerprint(s)), fp::sha256_hex(round_trip_schema(s))) << doc;
    }

    const std::string plan_doc =
        R"({"id":"p","steps":[{"kind":"materialize","source_id":"nir","output_representation":"sig",)"
        R"("fit_scope":"stateless","metadata":)" + std::string(free_form) +
        R"(},{"kind":"adapt","source_id":"nir","adapter_id":"a.b","input_representation":"sig",)"
        R"("output_representation":"tab","fit_scope":"fold_train","requires_user_choice":true,)"
        R"("metadata":{"input":"src:nir","output":"x"}}],"output_representation":"tab",)"
        R"("issues":[{"code":"c","message":"m\n","choices":["x -> y"]}]})";
    const auto plan = read<DataPlan>(plan_doc);
    EXPECT_EQ(text_of(fp::data_plan_fingerprint(plan)), fp::sha256_hex(text_of(fp::canonical_record_text(plan))));

    const std::string fold_docs[] = {
        R"({"id":"cv","sample_ids":["c","a","b","d"],"sample_groups":{"d":"g2","a":"g1"},"folds":[)"
        R"({"fold_id":"f2","train_sample_ids":["b","a"],"validation_sample_ids":["d","c"],"metadata":)" +
            std::string(free_form) +
            R"(},{"fold_id":"f1","train_sample_ids":[],"validation_sample_ids":["b","a"],"metadata":{}}]})",
        R"(["x",["a"],[["only",["a"],["a"]]]])",
    };
    for (const std::string& doc : fold_docs) {
        auto f = read<FoldSet>(doc);
        if (doc[0] == '[') f.folds[0].train_sample_ids.clear();  // the overlap would fail validation
        EXPECT_EQ(text_of(fp::fold_set_canonical_text(f)), round_trip_folds(f)) << doc;
    }
}

// Plans and maps larger than one block of the digest are handed to it in pieces;
// the digest is still that of the whole canonical text.
TEST(FingerprintCanonicalForms, DocumentsOfManyBlocks) {
    std::string steps = R"({"kind":"materialize","source_id":"s","output_representation":"r","fit_scope":"stateless"})";
    for (int i = 1; i < 3000; ++i) {
        steps += text::format(
            R"(,{"kind":"adapt","adapter_id":"a","fit_scope":"stateless","metadata":{"inputs":["src:s"],"output":"o{}","z":"\t{}"}})",
            i, i);
    }
    const auto plan = read<DataPlan>(R"({"id":"p","steps":[)" + steps + R"(],"output_representation":"r"})");
    EXPECT_EQ(text_of(fp::data_plan_fingerprint(plan)), fp::sha256_hex(text_of(fp::canonical_record_text(plan))));

    // Keys in reverse order, each representation long enough that the maps span
    // many blocks, with escapes in the metadata keys.
    const std::string representation =
        R"({"id":"r","type_id":"t","rank":1,"axes":[{"name":"sample\u00e9","kind":"sample","unit":"u"}],"container":"ndarray"})";
    std::string targets;
    std::string metadata;
    for (int i = 3000; i > 0; --i) {
        targets += text::format(R"({}"t{}":{})", i == 3000 ? "" : ",", i, representation);
        metadata += text::format(R"({}"m\"{}\n":{})", i == 3000 ? "" : ",", i, representation);
    }
    const auto schema = read<DatasetSchema>(R"({"dataset_id":"d","sample_ids":["b","a"],"sources":[],"targets":{)" +
                                            targets + R"(},"metadata":{)" + metadata + "}}");
    EXPECT_EQ(text_of(fp::schema_fingerprint(schema)), fp::sha256_hex(round_trip_schema(schema)));
}

}  // namespace
