#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>

#include "veltrinax/builtin_models.hpp"
#include "veltrinax/json.hpp"

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

std::string describe_axes(const RepresentationSpec& r) {
    std::string out;
    for (const AxisSpec& a : r.axes) {
        if (!out.empty()) out += ", ";
        out += a.name + ":" + std::string(json::enum_name(a.kind));
        if (a.unit) out += ":unit=" + *a.unit;
        if (a.size) out += ":size=" + std::to_string(*a.size);
        if (a.variable) out += ":variable";
    }
    return out;
}

TEST(BuiltinCatalogue, MatchesTheTableRowByRow) {
    const auto specs = builtin_models::builtin_data_model_specs();
    ASSERT_EQ(specs.size(), std::size(catalogue));
    for (std::size_t k = 0; k < specs.size(); ++k) {
        const Row& row = catalogue[k];
        const BuiltinDataModelSpec& s = specs[k];
        const RepresentationSpec& r = s.representation;
        SCOPED_TRACE(row.key);
        EXPECT_EQ(s.key, row.key);
        EXPECT_EQ(s.modality, row.modality);
        EXPECT_EQ(r.id.view(), row.id);
        EXPECT_EQ(r.type_id.view(), row.type_id);
        EXPECT_EQ(describe_axes(r), row.axes);
        ASSERT_TRUE(r.rank.has_value());
        EXPECT_EQ(*r.rank, r.axes.size());
        EXPECT_EQ(r.container, row.container);
        EXPECT_EQ(r.dtype.value_or(""), row.dtype);
        EXPECT_EQ(r.dtype.has_value(), !row.dtype.empty());
        EXPECT_FALSE(r.sparse);
        EXPECT_EQ(r.ragged, row.ragged);
        EXPECT_EQ(r.signal_type, row.signal_unknown ? std::optional(SignalKind::unknown) : std::nullopt);
        for (const AxisSpec& a : r.axes) EXPECT_FALSE(a.coordinate.has_value()) << a.name;

        const auto model = builtin_models::all_models[k];
        EXPECT_EQ(static_cast<std::size_t>(model), k);
        EXPECT_EQ(builtin_models::key(model), row.key);
        EXPECT_EQ(builtin_models::spec(model), s);
    }
}

TEST(BuiltinCatalogue, RowsWrittenByteForByte) {
    const std::string sample = R"({"name":"sample","kind":"sample","unit":null,"size":null,"variable":false})";
    const std::string px = R"("unit":"px","size":null,"variable":false})";
    const std::string height = R"({"name":"height","kind":"height",)" + px;
    const std::string width = R"({"name":"width","kind":"width",)" + px;
    struct Case {
        BuiltinDataModel model;
        std::string_view key_and_modality;
        std::string representation;
    };
    const Case cases[] = {
        {BuiltinDataModel::nirs_signal_1d, R"("key":"nirs.signal_1d","modality":"nirs")",
         R"({"id":"signal_1d","type_id":"dense_signal","rank":2,"axes":[)" + sample +
             R"(,{"name":"wavelength","kind":"wavelength","unit":"nm","size":null,"variable":false}],"container":"ndarray","dtype":"float64","sparse":false,"ragged":false,"signal_type":"unknown"})"},
        {BuiltinDataModel::tabular_mixed, R"("key":"tabular.mixed","modality":"tabular")",
         R"({"id":"tabular_mixed","type_id":"table","rank":2,"axes":[)" + sample +
             R"(,{"name":"column","kind":"feature","unit":null,"size":null,"variable":false}],"container":"dataframe","dtype":null,"sparse":false,"ragged":false})"},
        {BuiltinDataModel::rgb_image, R"("key":"image.rgb","modality":"image")",
         R"({"id":"rgb_image","type_id":"image_rgb","rank":4,"axes":[)" + sample + "," + height + "," + width +
             R"(,{"name":"channel","kind":"channel","unit":null,"size":3,"variable":false}],"container":"ndarray","dtype":"uint8","sparse":false,"ragged":false})"},
        {BuiltinDataModel::mass_spectrum, R"("key":"mass_spec.spectrum","modality":"mass_spec")",
         R"({"id":"mass_spectrum","type_id":"mass_spec","rank":2,"axes":[)" + sample +
             R"(,{"name":"mz","kind":"feature","unit":"m/z","size":null,"variable":true}],"container":"ragged_array","dtype":"float64","sparse":false,"ragged":true})"},
        {BuiltinDataModel::text_raw, R"("key":"text.raw","modality":"text")",
         R"({"id":"text_raw","type_id":"text","rank":1,"axes":[)" + sample +
             R"(],"container":"list","dtype":"string","sparse":false,"ragged":true})"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(json::to_text(builtin_models::representation(c.model)), c.representation);
        EXPECT_EQ(json::to_text(builtin_models::spec(c.model)),
                  "{" + std::string(c.key_and_modality) + R"(,"representation":)" + c.representation + "}");
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

TEST(BuiltinCatalogue, SharedBuildersTakeWhatDiffers) {
    EXPECT_EQ(builtin_models::signal_1d(SignalKind::absorbance).signal_type, SignalKind::absorbance);
    EXPECT_EQ(builtin_models::signal_with_processings(SignalKind::reflectance).signal_type, SignalKind::reflectance);
    EXPECT_EQ(builtin_models::spectroscopy_signal("x_signal").id.view(), "x_signal");
    EXPECT_EQ(builtin_models::series_mv("s").id.view(), "s");
    auto m = builtin_models::target_matrix("tm", "int16");
    EXPECT_EQ(m.id.view(), "tm");
    EXPECT_EQ(m.dtype, std::optional<std::string>("int16"));
    EXPECT_THROW((void)builtin_models::representation("bad id", "t", 0, {}, "c", std::nullopt, std::nullopt, false,
                                                      false),
                 std::logic_error);
    EXPECT_THROW((void)builtin_models::representation("r", "", 0, {}, "c", std::nullopt, std::nullopt, false, false),
                 std::logic_error);
}

}  // namespace
