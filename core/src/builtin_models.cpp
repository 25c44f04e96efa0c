#include "veltrinax/builtin_models.hpp"

#include <stdexcept>
#include <utility>

namespace veltrinax::builtin_models {

namespace {

constexpr std::array<std::string_view, 26> model_keys{
    "nirs.signal_1d",
    "nirs.signal_with_processings",
    "spectroscopy.raman_signal",
    "spectroscopy.ftir_signal",
    "tabular.numeric",
    "tabular.mixed",
    "features.block_set",
    "series.multivariate",
    "climate.series_multivariate",
    "genotype.variant_matrix",
    "genotype.dosage_matrix",
    "image.rgb",
    "image.gray",
    "image.multichannel",
    "image.multispectral",
    "hyperspectral.cube",
    "image.segmentation_mask",
    "image.roi_mask",
    "metadata.sample",
    "target.numeric",
    "target.categorical",
    "target.numeric_matrix",
    "target.categorical_matrix",
    "mass_spec.spectrum",
    "text.raw",
    "text.token_ids",
};

constexpr std::array<std::string_view, 26> model_modalities{
    "nirs",
    "nirs",
    "raman",
    "ftir",
    "tabular",
    "tabular",
    "multi_block",
    "time_series",
    "climate",
    "genotype",
    "genotype",
    "image",
    "image",
    "image",
    "image",
    "hyperspectral",
    "image_mask",
    "image_mask",
    "metadata",
    "target",
    "target",
    "target",
    "target",
    "mass_spec",
    "text",
    "text",
};

template <class Id>
Id catalogue_id(std::string_view text, const char* invariant) {
    auto id = Id::make(text);
    if (!id) throw std::logic_error(invariant);
    return std::move(*id);
}

// An axis as the catalogue writes it: no unit, size or coordinates unless given.
AxisSpec axis(std::string_view name, AxisKind kind, std::optional<std::string_view> unit = std::nullopt,
              std::optional<std::uint64_t> size = std::nullopt, bool variable = false) {
    AxisSpec a;
    a.name = std::string(name);
    a.kind = kind;
    if (unit) a.unit = std::string(*unit);
    a.size = size;
    a.variable = variable;
    return a;
}

AxisSpec sample_axis() { return axis("sample", AxisKind::sample); }
AxisSpec height_px() { return axis("height", AxisKind::height, "px"); }
AxisSpec width_px() { return axis("width", AxisKind::width, "px"); }

}  // namespace

RepresentationSpec representation(std::string_view id, std::string_view type_id, std::uint64_t rank,
                                  std::vector<AxisSpec> axes, std::string_view container,
                                  std::optional<std::string_view> dtype, std::optional<SignalKind> signal_type,
                                  bool sparse, bool ragged) {
    RepresentationSpec r;
    r.id = catalogue_id<RepresentationId>(id, "built-in representation id is valid");
    r.type_id = catalogue_id<TypeId>(type_id, "built-in type id is valid");
    r.rank = rank;
    r.axes = std::move(axes);
    r.container = std::string(container);
    if (dtype) r.dtype = std::string(*dtype);
    r.sparse = sparse;
    r.ragged = ragged;
    r.signal_type = signal_type;
    return r;
}

RepresentationSpec signal_1d(SignalKind signal_type) {
    return representation("signal_1d", "dense_signal", 2, {sample_axis(), axis("wavelength", AxisKind::wavelength, "nm")},
                          "ndarray", "float64", signal_type, false, false);
}

RepresentationSpec signal_with_processings(SignalKind signal_type) {
    return representation("signal_with_processings", "dense_signal", 3,
                          {sample_axis(), axis("processing", AxisKind::processing),
                           axis("wavelength", AxisKind::wavelength, "nm")},
                          "ndarray", "float64", signal_type, false, false);
}

RepresentationSpec spectroscopy_signal(std::string_view id) {
    return representation(id, "dense_signal", 2, {sample_axis(), axis("wavenumber", AxisKind::wavenumber, "cm^-1")},
                          "ndarray", "float64", SignalKind::unknown, false, false);
}

RepresentationSpec tabular_numeric() {
    return representation("tabular_numeric", "table", 2, {sample_axis(), axis("feature", AxisKind::feature)},
                          "dataframe", "float64", std::nullopt, false, false);
}

RepresentationSpec tabular_mixed() {
    return representation("tabular_mixed", "table", 2, {sample_axis(), axis("column", AxisKind::feature)}, "dataframe",
                          std::nullopt, std::nullopt, false, false);
}

RepresentationSpec feature_block_set() {
    return representation("feature_block_set", "multi_block", 3,
                          {sample_axis(), axis("block", AxisKind::feature),
                           axis("feature", AxisKind::feature, std::nullopt, std::nullopt, true)},
                          "feature_block_set", "float64", std::nullopt, false, true);
}

RepresentationSpec series_mv(std::string_view id) {
    return representation(id, "time_series", 3,
                          {sample_axis(), axis("time", AxisKind::time, std::nullopt, std::nullopt, true),
                           axis("variable", AxisKind::feature)},
                          "ndarray", "float64", std::nullopt, false, true);
}

RepresentationSpec genotype_variant_matrix() {
    return representation("variant_matrix", "genotype_matrix", 2, {sample_axis(), axis("variant", AxisKind::variant)},
                          "ndarray", "int8", std::nullopt, false, false);
}

RepresentationSpec genotype_dosage_matrix() {
    return representation("dosage_matrix", "genotype_matrix", 2, {sample_axis(), axis("variant", AxisKind::variant)},
                          "ndarray", "float32", std::nullopt, false, false);
}

RepresentationSpec rgb_image() {
    return representation("rgb_image", "image_rgb", 4,
                          {sample_axis(), height_px(), width_px(), axis("channel", AxisKind::channel, std::nullopt, 3)},
                          "ndarray", "uint8", std::nullopt, false, false);
}

RepresentationSpec gray_image() {
    return representation("gray_image", "gray_image", 3, {sample_axis(), height_px(), width_px()}, "ndarray", "uint8",
                          std::nullopt, false, false);
}

RepresentationSpec multichannel_image() {
    return representation("mc_image", "multichannel_image", 4,
                          {sample_axis(), height_px(), width_px(), axis("channel", AxisKind::channel)}, "ndarray",
                          "float32", std::nullopt, false, false);
}

RepresentationSpec multispectral_image() {
    return representation("multispectral_image", "multichannel_image", 4,
                          {sample_axis(), height_px(), width_px(), axis("band", AxisKind::channel)}, "ndarray",
                          "float32", std::nullopt, false, false);
}

RepresentationSpec hyperspectral_cube() {
    return representation("cube_hwb", "hyperspectral_cube", 4,
                          {sample_axis(), height_px(), width_px(), axis("band", AxisKind::wavelength, "nm")},
                          "ndarray", "float32", std::nullopt, false, false);
}

RepresentationSpec segmentation_mask() {
    return representation("segmentation_mask", "label_mask", 3, {sample_axis(), height_px(), width_px()}, "ndarray",
                          "int32", std::nullopt, false, false);
}

RepresentationSpec roi_mask() {
    return representation("roi_mask", "label_mask", 3, {sample_axis(), height_px(), width_px()}, "ndarray", "bool",
                          std::nullopt, false, false);
}

RepresentationSpec sample_metadata() {
    return representation("sample_metadata", "metadata", 2, {sample_axis(), axis("field", AxisKind::feature)},
                          "dataframe", std::nullopt, std::nullopt, false, false);
}

RepresentationSpec target_numeric() {
    return representation("target_numeric", "target", 1, {sample_axis()}, "array", "float64", std::nullopt, false,
                          false);
}

RepresentationSpec target_categorical() {
    return representation("target_categorical", "target", 1, {sample_axis()}, "array", "string", std::nullopt, false,
                          false);
}

RepresentationSpec target_matrix(std::string_view id, std::string_view dtype) {
    return representation(id, "target", 2, {sample_axis(), axis("target", AxisKind::target)}, "array", dtype,
                          std::nullopt, false, false);
}

RepresentationSpec mass_spectrum() {
    return representation("mass_spectrum", "mass_spec", 2,
                          {sample_axis(), axis("mz", AxisKind::feature, "m/z", std::nullopt, true)}, "ragged_array",
                          "float64", std::nullopt, false, true);
}

RepresentationSpec text_raw() {
    return representation("text_raw", "text", 1, {sample_axis()}, "list", "string", std::nullopt, false, true);
}

RepresentationSpec text_token_ids() {
    return representation("text_token_ids", "text", 2,
                          {sample_axis(), axis("token", AxisKind::token, std::nullopt, std::nullopt, true)},
                          "ragged_array", "int32", std::nullopt, false, true);
}

std::string_view key(BuiltinDataModel model) noexcept { return model_keys[static_cast<std::size_t>(model)]; }

std::string_view modality(BuiltinDataModel model) noexcept {
    return model_modalities[static_cast<std::size_t>(model)];
}

RepresentationSpec representation(BuiltinDataModel model) {
    switch (model) {
        case BuiltinDataModel::nirs_signal_1d: return signal_1d(SignalKind::unknown);
        case BuiltinDataModel::nirs_signal_with_processings: return signal_with_processings(SignalKind::unknown);
        case BuiltinDataModel::raman_signal: return spectroscopy_signal("raman_signal");
        case BuiltinDataModel::ftir_signal: return spectroscopy_signal("ftir_signal");
        case BuiltinDataModel::tabular_numeric: return tabular_numeric();
        case BuiltinDataModel::tabular_mixed: return tabular_mixed();
        case BuiltinDataModel::feature_block_set: return feature_block_set();
        case BuiltinDataModel::series_multivariate: return series_mv("series_mv");
        case BuiltinDataModel::climate_series_multivariate: return series_mv("climate_series_mv");
        case BuiltinDataModel::genotype_variant_matrix: return genotype_variant_matrix();
        case BuiltinDataModel::genotype_dosage_matrix: return genotype_dosage_matrix();
        case BuiltinDataModel::rgb_image: return rgb_image();
        case BuiltinDataModel::gray_image: return gray_image();
        case BuiltinDataModel::multichannel_image: return multichannel_image();
        case BuiltinDataModel::multispectral_image: return multispectral_image();
        case BuiltinDataModel::hyperspectral_cube: return hyperspectral_cube();
        case BuiltinDataModel::segmentation_mask: return segmentation_mask();
        case BuiltinDataModel::roi_mask: return roi_mask();
        case BuiltinDataModel::sample_metadata: return sample_metadata();
        case BuiltinDataModel::target_numeric: return target_numeric();
        case BuiltinDataModel::target_categorical: return target_categorical();
        case BuiltinDataModel::target_numeric_matrix: return target_matrix("target_numeric_matrix", "float64");
        case BuiltinDataModel::target_categorical_matrix: return target_matrix("target_categorical_matrix", "string");
        case BuiltinDataModel::mass_spectrum: return mass_spectrum();
        case BuiltinDataModel::text_raw: return text_raw();
        case BuiltinDataModel::text_token_ids: return text_token_ids();
    }
    throw std::logic_error("built-in data model is one of the catalogue's variants");
}

BuiltinDataModelSpec spec(BuiltinDataModel model) {
    return BuiltinDataModelSpec{std::string(key(model)), std::string(modality(model)), representation(model)};
}

std::vector<BuiltinDataModelSpec> builtin_data_model_specs() {
    std::vector<BuiltinDataModelSpec> out;
    out.reserve(all_models.size());
    for (BuiltinDataModel model : all_models) out.push_back(spec(model));
    return out;
}

std::vector<RepresentationSpec> builtin_representations() {
    std::vector<RepresentationSpec> out;
    out.reserve(all_models.size());
    for (BuiltinDataModel model : all_models) out.push_back(representation(model));
    return out;
}

}  // namespace veltrinax::builtin_models

// ---------------------------------------------------------------------------
// Built-in adapter registry and tabular model input
// ---------------------------------------------------------------------------

namespace veltrinax::builtin_models {

namespace {

TypeId builtin_type_id(std::string_view text) {
    auto id = TypeId::make(text);
    if (!id) throw std::logic_error("built-in type id is valid");
    return std::move(*id);
}

RepresentationId builtin_representation_id(std::string_view text) {
    auto id = RepresentationId::make(text);
    if (!id) throw std::logic_error("built-in representation id is valid");
    return std::move(*id);
}

}  // namespace

AdapterSpec adapter(std::string_view id, std::pair<std::string_view, std::string_view> input,
                    std::pair<std::string_view, std::string_view> output, std::uint64_t cost, bool lossy,
                    bool stateful, FitScope fit_scope) {
    AdapterSpec a;
    a.id = std::string(id);
    a.version = "1.0.0";
    a.input_type = builtin_type_id(input.first);
    a.input_representation = builtin_representation_id(input.second);
    a.output_type = builtin_type_id(output.first);
    a.output_representation = builtin_representation_id(output.second);
    a.cost = cost;
    a.lossy = lossy;
    a.supervised = false;
    a.stateful = stateful;
    a.deterministic = true;
    a.fit_scope = fit_scope;
    return a;
}

AdapterRegistrySpec builtin_adapter_registry_spec() {
    using Node = std::pair<std::string_view, std::string_view>;
    constexpr Node table{"table", "tabular_numeric"};
    constexpr bool lossy = true;
    constexpr bool stateful = true;
    constexpr FitScope stateless = FitScope::stateless;
    constexpr FitScope fold_train = FitScope::fold_train;
    AdapterRegistrySpec spec;
    spec.adapters.reserve(24);
    auto add = [&](std::string_view id, Node input, Node output, std::uint64_t cost, bool is_lossy,
                   bool is_stateful, FitScope scope) {
        spec.adapters.push_back(adapter(id, input, output, cost, is_lossy, is_stateful, scope));
    };
    add("spectra.flatten", {"dense_signal", "signal_with_processings"}, table, 10, !lossy, !stateful, stateless);
    add("spectra.identity_features", {"dense_signal", "signal_1d"}, table, 5, !lossy, !stateful, stateless);
    add("spectra.raman_flatten", {"dense_signal", "raman_signal"}, table, 8, !lossy, !stateful, stateless);
    add("spectra.ftir_flatten", {"dense_signal", "ftir_signal"}, table, 8, !lossy, !stateful, stateless);
    add("features.blocks.flatten", {"multi_block", "feature_block_set"}, table, 5, !lossy, !stateful, stateless);
    add("weather.aggregate", {"time_series", "climate_series_mv"}, table, 20, lossy, !stateful, stateless);
    add("series.aggregate", {"time_series", "series_mv"}, table, 20, lossy, !stateful, stateless);
    add("genotype.dosage", {"genotype_matrix", "variant_matrix"}, {"genotype_matrix", "dosage_matrix"}, 8, !lossy,
        !stateful, stateless);
    add("genotype.pca", {"genotype_matrix", "dosage_matrix"}, table, 30, lossy, stateful, fold_train);
    add("tabular.encoder", {"table", "tabular_mixed"}, table, 15, !lossy, stateful, fold_train);
    add("image.channel_stats", {"image_rgb", "rgb_image"}, table, 25, lossy, !stateful, stateless);
    add("image.gray_stats", {"gray_image", "gray_image"}, table, 20, lossy, !stateful, stateless);
    add("image.multichannel_stats", {"multichannel_image", "mc_image"}, table, 30, lossy, !stateful, stateless);
    add("image.multispectral_stats", {"multichannel_image", "multispectral_image"}, table, 30, lossy, !stateful,
        stateless);
    add("image.embedding", {"image_rgb", "rgb_image"}, table, 60, lossy, stateful, fold_train);
    add("image.raw_tensor_chw", {"image_rgb", "rgb_image"}, {"multichannel_image", "mc_image"}, 5, !lossy,
        !stateful, stateless);
    add("hsi.spatial_mean", {"hyperspectral_cube", "cube_hwb"}, {"dense_signal", "signal_1d"}, 20, lossy,
        !stateful, stateless);
    add("hsi.flatten", {"hyperspectral_cube", "cube_hwb"}, table, 80, !lossy, !stateful, stateless);
    add("mask.area_features", {"label_mask", "segmentation_mask"}, table, 15, lossy, !stateful, stateless);
    add("mask.roi_area_features", {"label_mask", "roi_mask"}, table, 10, lossy, !stateful, stateless);
    add("metadata.encoder", {"metadata", "sample_metadata"}, table, 15, lossy, stateful, fold_train);
    add("ms.bin_to_table", {"mass_spec", "mass_spectrum"}, table, 25, lossy, !stateful, stateless);
    add("text.embedding", {"text", "text_raw"}, table, 50, lossy, stateful, fold_train);
    add("text.bag_of_tokens", {"text", "text_token_ids"}, table, 35, lossy, !stateful, stateless);
    return spec;
}

ModelInputSpec tabular_numeric_model_input_spec() {
    InputPortSpec port;
    port.name = "x";
    port.accepted_representations.push_back(builtin_representation_id("tabular_numeric"));
    port.accepted_types.push_back(builtin_type_id("table"));
    port.rank = json::usize{2};
    port.multi_source = true;
    port.optional = false;
    ModelInputSpec spec;
    spec.ports.push_back(std::move(port));
    return spec;
}

}  // namespace veltrinax::builtin_models
