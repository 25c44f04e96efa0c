#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "veltrinax/builtin_models.hpp"
#include "veltrinax/json.hpp"
#include "veltrinax/text.hpp"

namespace {

using namespace veltrinax;

// One catalogue row as the published table gives it. Axes read
// "name:kind[:unit=U][:size=N][:variable]", separated by ", ".
struct Row {
    std::string_view key;
    std::string_view modality;
    std::string_view id;
    std::string_view type_id;
    std::string_view axes;
    std::string_view container;
    std::string_view dtype;  // "" when absent
    bool ragged;
    bool signal_unknown;
};

const Row catalogue[] = {
    {"nirs.signal_1d", "nirs", "signal_1d", "dense_signal", "sample:sample, wavelength:wavelength:unit=nm", "ndarray",
     "float64", false, true},
    {"nirs.signal_with_processings", "nirs", "signal_with_processings", "dense_signal",
     "sample:sample, processing:processing, wavelength:wavelength:unit=nm", "ndarray", "float64", false, true},
    {"spectroscopy.raman_signal", "raman", "raman_signal", "dense_signal",
     "sample:sample, wavenumber:wavenumber:unit=cm^-1", "ndarray", "float64", false, true},
    {"spectroscopy.ftir_signal", "ftir", "ftir_signal", "dense_signal",
     "sample:sample, wavenumber:wavenumber:unit=cm^-1", "ndarray", "float64", false, true},
    {"tabular.numeric", "tabular", "tabular_numeric", "table", "sample:sample, feature:feature", "dataframe", "float64",
     false, false},
    {"tabular.mixed", "tabular", "tabular_mixed", "table", "sample:sample, column:feature", "dataframe", "", false,
     false},
    {"features.block_set", "multi_block", "feature_block_set", "multi_block",
     "sample:sample, block:feature, feature:feature:variable", "feature_block_set", "float64", true, false},
    {"series.multivariate", "time_series", "series_mv", "time_series",
     "sample:sample, time:time:variable, variable:feature", "ndarray", "float64", true, false},
    {"climate.series_multivariate", "climate", "climate_series_mv", "time_series",
     "sample:sample, time:time:variable, variable:feature", "ndarray", "float64", true, false},
    {"genotype.variant_matrix", "genotype", "variant_matrix", "genotype_matrix", "sample:sample, variant:variant",
     "ndarray", "int8", false, false},
    {"genotype.dosage_matrix", "genotype", "dosage_matrix", "genotype_matrix", "sample:sample, variant:variant",
     "ndarray", "float32", false, false},
    {"image.rgb", "image", "rgb_image", "image_rgb",
     "sample:sample, height:height:unit=px, width:width:unit=px, channel:channel:size=3", "ndarray", "uint8", false,
     false},
    {"image.gray", "image", "gray_image", "gray_image", "sample:sample, height:height:unit=px, width:width:unit=px",
     "ndarray", "uint8", false, false},
    {"image.multichannel", "image", "mc_image", "multichannel_image",
     "sample:sample, height:height:unit=px, width:width:unit=px, channel:channel", "ndarray", "float32", false, false},
    {"image.multispectral", "image", "multispectral_image", "multichannel_image",
     "sample:sample, height:height:unit=px, width:width:unit=px, band:channel", "ndarray", "float32", false, false},
    {"hyperspectral.cube", "hyperspectral", "cube_hwb", "hyperspectral_cube",
     "sample:sample, height:height:unit=px, width:width:unit=px, band:wavelength:unit=nm", "ndarray", "float32", false,
     false},
    {"image.segmentation_mask", "image_mask", "segmentation_mask", "label_mask",
     "sample:sample, height:height:unit=px, width:width:unit=px", "ndarray", "int32", false, false},
    {"image.roi_mask", "image_mask", "roi_mask", "label_mask",
     "sample:sample, height:height:unit=px, width:width:unit=px", "ndarray", "bool", false, false},
    {"metadata.sample", "metadata", "sample_metadata", "metadata", "sample:sample, field:feature", "dataframe", "",
     false, false},
    {"target.numeric", "target", "target_numeric", "target", "sample:sample", "array", "float64", false, false},
    {"target.categorical", "target", "target_categorical", "target", "sample:sample", "array", "string", false,
     false},
    {"target.numeric_matrix", "target", "target_numeric_matrix", "target", "sample:sample, target:target", "array",
     "float64", false, false},
    {"target.categorical_matrix", "target", "target_categorical_matrix", "target", "sample:sample, target:target",
     "array", "string", false, false},
    {"mass_spec.spectrum", "mass_spec", "mass_spectrum", "mass_spec", "sample:sample, mz:feature:unit=m/z:variable",
     "ragged_array", "float64", true, false},
    {"text.raw", "text", "text_raw", "text", "sample:sample", "list", "string", true, false},
    {"text.token_ids", "text", "text_token_ids", "text", "sample:sample, token:token:variable", "ragged_array", "int32",
     true, false},
};

// The written form of a row: axes, representation and entry in declared key order,
// absent values as null, the signal type only when present.
std::string expected_text(const Row& row) {
    std::string axes;
    std::size_t rank = 0;
    for (std::string_view rest = row.axes; !rest.empty(); ++rank) {
        const std::size_t comma = rest.find(", ");
        std::string_view axis = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? "" : rest.substr(comma + 2);
        std::vector<std::string_view> parts;
        for (std::size_t colon; (colon = axis.find(':')) != std::string_view::npos; axis = axis.substr(colon + 1)) {
            parts.push_back(axis.substr(0, colon));
        }
        parts.push_back(axis);
        std::string unit = "null", size = "null", variable = "false";
        for (std::size_t i = 2; i < parts.size(); ++i) {
            if (parts[i].starts_with("unit=")) unit = "\"" + std::string(parts[i].substr(5)) + "\"";
            if (parts[i].starts_with("size=")) size = std::string(parts[i].substr(5));
            if (parts[i] == "variable") variable = "true";
        }
        axes += (axes.empty() ? "" : ",") + text::format(R"({"name":"{}","kind":"{}","unit":{},"size":{},"variable":{}})",
                                                        parts[0], parts[1], unit, size, variable);
    }
    const std::string dtype = row.dtype.empty() ? "null" : "\"" + std::string(row.dtype) + "\"";
    return text::format(R"({"key":"{}","modality":"{}","representation":{"id":"{}","type_id":"{}","rank":{},)"
                        R"("axes":[{}],"container":"{}","dtype":{},"sparse":false,"ragged":{}{}}})",
                        row.key, row.modality, row.id, row.type_id, rank, axes, row.container, dtype,
                        row.ragged ? "true" : "false", row.signal_unknown ? R"(,"signal_type":"unknown")" : "");
}

TEST(BuiltinCatalogue, EveryRowWrittenByteForByteInCatalogueOrder) {
    const auto specs = builtin_models::builtin_data_model_specs();
    ASSERT_EQ(specs.size(), std::size(catalogue));
    for (std::size_t k = 0; k < specs.size(); ++k) {
        const auto model = builtin_models::all_models[k];
        SCOPED_TRACE(catalogue[k].key);
        EXPECT_EQ(json::to_text(specs[k]), expected_text(catalogue[k]));
        EXPECT_EQ(static_cast<std::size_t>(model), k);
        EXPECT_EQ(builtin_models::key(model), catalogue[k].key);
        EXPECT_EQ(builtin_models::spec(model), specs[k]);
    }
}

TEST(BuiltinCatalogue, RepresentationsFollowTheSpecsAndAllValidate) {
    const auto specs = builtin_models::builtin_data_model_specs();
    const auto reps = builtin_models::builtin_representations();
    ASSERT_EQ(reps.size(), 26u);
    std::set<std::string> keys;
    std::set<std::string> ids;
    for (std::size_t k = 0; k < reps.size(); ++k) {
        EXPECT_EQ(reps[k], specs[k].representation);
        EXPECT_TRUE(reps[k].validate().has_value()) << reps[k].id.view();
        keys.insert(specs[k].key);
        ids.insert(reps[k].id.str());
        // What is written reads back to the same representation.
        auto back = json::from_text<RepresentationSpec>(json::to_text(reps[k]));
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(*back, reps[k]);
    }
    EXPECT_EQ(keys.size(), 26u);
    EXPECT_EQ(ids.size(), 26u);
    EXPECT_EQ(specs.front().key, "nirs.signal_1d");
    EXPECT_EQ(specs.back().key, "text.token_ids");
    EXPECT_EQ(builtin_models::builtin_data_model_specs(), specs);
}

// A malformed built-in is a programming error, not bad input: it throws.
TEST(BuiltinCatalogue, TheRepresentationBuilderRefusesBadIdentifiers) {
    EXPECT_THROW((void)builtin_models::representation("bad id", "t", 0, {}, "c", std::nullopt, std::nullopt, false,
                                                      false),
                 std::logic_error);
    EXPECT_THROW((void)builtin_models::representation("r", "", 0, {}, "c", std::nullopt, std::nullopt, false, false),
                 std::logic_error);
}

}  // namespace
