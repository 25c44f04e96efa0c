#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "veltrinax/adapter.hpp"
#include "veltrinax/builtin_models.hpp"

namespace {

using namespace veltrinax;

// The catalogue as published: id, input and output as type/representation,
// cost, flags (L lossy, S stateful), fit scope.
struct Row {
    std::string id, input, output;
    std::uint64_t cost;
    std::string flags, fit_scope;
};

const std::vector<Row>& published_rows() {
    static const std::vector<Row> rows = {
        {"spectra.flatten", "dense_signal/signal_with_processings", "table/tabular_numeric", 10, "", "stateless"},
        {"spectra.identity_features", "dense_signal/signal_1d", "table/tabular_numeric", 5, "", "stateless"},
        {"spectra.raman_flatten", "dense_signal/raman_signal", "table/tabular_numeric", 8, "", "stateless"},
        {"spectra.ftir_flatten", "dense_signal/ftir_signal", "table/tabular_numeric", 8, "", "stateless"},
        {"features.blocks.flatten", "multi_block/feature_block_set", "table/tabular_numeric", 5, "", "stateless"},
        {"weather.aggregate", "time_series/climate_series_mv", "table/tabular_numeric", 20, "L", "stateless"},
        {"series.aggregate", "time_series/series_mv", "table/tabular_numeric", 20, "L", "stateless"},
        {"genotype.dosage", "genotype_matrix/variant_matrix", "genotype_matrix/dosage_matrix", 8, "", "stateless"},
        {"genotype.pca", "genotype_matrix/dosage_matrix", "table/tabular_numeric", 30, "LS", "fold_train"},
        {"tabular.encoder", "table/tabular_mixed", "table/tabular_numeric", 15, "S", "fold_train"},
        {"image.channel_stats", "image_rgb/rgb_image", "table/tabular_numeric", 25, "L", "stateless"},
        {"image.gray_stats", "gray_image/gray_image", "table/tabular_numeric", 20, "L", "stateless"},
        {"image.multichannel_stats", "multichannel_image/mc_image", "table/tabular_numeric", 30, "L", "stateless"},
        {"image.multispectral_stats", "multichannel_image/multispectral_image", "table/tabular_numeric", 30, "L",
         "stateless"},
        {"image.embedding", "image_rgb/rgb_image", "table/tabular_numeric", 60, "LS", "fold_train"},
        {"image.raw_tensor_chw", "image_rgb/rgb_image", "multichannel_image/mc_image", 5, "", "stateless"},
        {"hsi.spatial_mean", "hyperspectral_cube/cube_hwb", "dense_signal/signal_1d", 20, "L", "stateless"},
        {"hsi.flatten", "hyperspectral_cube/cube_hwb", "table/tabular_numeric", 80, "", "stateless"},
        {"mask.area_features", "label_mask/segmentation_mask", "table/tabular_numeric", 15, "L", "stateless"},
        {"mask.roi_area_features", "label_mask/roi_mask", "table/tabular_numeric", 10, "L", "stateless"},
        {"metadata.encoder", "metadata/sample_metadata", "table/tabular_numeric", 15, "LS", "fold_train"},
        {"ms.bin_to_table", "mass_spec/mass_spectrum", "table/tabular_numeric", 25, "L", "stateless"},
        {"text.embedding", "text/text_raw", "table/tabular_numeric", 50, "LS", "fold_train"},
        {"text.bag_of_tokens", "text/text_token_ids", "table/tabular_numeric", 35, "L", "stateless"},
    };
    return rows;
}

std::string expected_text(const Row& r) {
    auto quoted_pair = [](const std::string& node, std::string_view type_key, std::string_view representation_key) {
        const auto slash = node.find('/');
        return "\"" + std::string(type_key) + "\":\"" + node.substr(0, slash) + "\",\"" +
               std::string(representation_key) + "\":\"" + node.substr(slash + 1) + "\"";
    };
    auto flag = [&](char f) { return r.flags.find(f) != std::string::npos ? "true" : "false"; };
    return R"({"id":")" + r.id + R"(","version":"1.0.0",)" +
           quoted_pair(r.input, "input_type", "input_representation") + "," +
           quoted_pair(r.output, "output_type", "output_representation") + R"(,"cost":)" + std::to_string(r.cost) +
           R"(,"lossy":)" + flag('L') + R"(,"supervised":false,"stateful":)" + flag('S') +
           R"(,"deterministic":true,"fit_scope":")" + r.fit_scope + R"(","params":{}})";
}

TEST(BuiltinAdapterRegistry, WholeDocumentIsThePublishedRowsInOrderAndBuildsARegistry) {
    const AdapterRegistrySpec spec = builtin_models::builtin_adapter_registry_spec();
    std::string expected;
    for (const Row& row : published_rows()) expected += (expected.empty() ? "" : ",") + expected_text(row);
    const std::string text = json::to_text(spec);
    EXPECT_EQ(text, R"({"adapters":[)" + expected + "]}");
    auto back = json::from_text<AdapterRegistrySpec>(text);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, spec);
    // Building the registry checks every adapter and that the ids are distinct.
    auto registry = AdapterRegistry::from_spec(spec);
    ASSERT_TRUE(registry.has_value());
    EXPECT_EQ(registry->size(), published_rows().size());
}

TEST(BuiltinAdapterRegistry, PathsUnderThePolicies) {
    auto registry = AdapterRegistry::from_spec(builtin_models::builtin_adapter_registry_spec());
    ASSERT_TRUE(registry.has_value());
    auto policy = [](std::string_view text) { return *json::from_text<PlanningPolicy>(text); };
    struct Case {
        std::string policy, from_type, from_representation, expected;
    };
    const std::vector<Case> cases = {
        // Every way from an RGB image to a table is lossy.
        {"{}", "image_rgb", "rgb_image",
         "no_path: no adapter path from `image_rgb/rgb_image` to `table/tabular_numeric`"},
        {"{}", "hyperspectral_cube", "cube_hwb", "[hsi.flatten] cost 80 score 80"},
        {R"({"allow_lossy":true})", "image_rgb", "rgb_image", "[image.channel_stats] cost 25 score 1000025"},
        // The lossless flatten beats the cheaper lossy spatial mean.
        {R"({"allow_lossy":true})", "hyperspectral_cube", "cube_hwb", "[hsi.flatten] cost 80 score 80"},
        {R"({"forbidden_adapters":["hsi.flatten"],"allow_lossy":true})", "hyperspectral_cube", "cube_hwb",
         "[hsi.spatial_mean -> spectra.identity_features] cost 25 score 1000025"},
        {R"({"allow_lossy":true,"allow_stateful":true})", "genotype_matrix", "variant_matrix",
         "[genotype.dosage -> genotype.pca] cost 38 score 1100038"},
        {"{}", "table", "tabular_numeric", "[] cost 0 score 0"},
    };
    for (const auto& c : cases) {
        const PathResolution r =
            registry->find_path(TypeId::trusted(c.from_type), RepresentationId::trusted(c.from_representation),
                                TypeId::trusted("table"), RepresentationId::trusted("tabular_numeric"),
                                policy(c.policy));
        std::string got;
        if (r.path) {
            for (const auto& a : r.path->adapters) got += (got.empty() ? "" : " -> ") + a.id;
            got = "[" + got + "] cost " + std::to_string(r.path->cost) + " score " +
                  std::to_string(r.path->score);
        } else if (!r.issues.empty()) {
            got = r.issues[0].code + ": " + r.issues[0].message;
        }
        EXPECT_EQ(got, c.expected) << c.policy << " " << c.from_representation;
    }
}

TEST(BuiltinTabularModelInput, IsValidAndWrittenAsPublished) {
    const ModelInputSpec spec = builtin_models::tabular_numeric_model_input_spec();
    EXPECT_TRUE(spec.validate().has_value());
    EXPECT_EQ(json::to_text(spec),
              R"({"ports":[{"name":"x","accepted_representations":["tabular_numeric"],"accepted_types":["table"],)"
              R"("rank":2,"multi_source":true,"optional":false}],"default_fusion":null})");
}

}  // namespace
