#pragma once
// The built-in catalogues: the 26 data models the core ships, each with its
// catalogue key, modality and canonical representation. Built afresh on every
// call from static tables; no state. Depends on the dataset model only.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "veltrinax/json.hpp"
#include "veltrinax/model.hpp"

namespace veltrinax {

// One variant per catalogue row, in catalogue order (the variant index is the row).
enum class BuiltinDataModel : std::uint8_t {
    nirs_signal_1d,
    nirs_signal_with_processings,
    raman_signal,
    ftir_signal,
    tabular_numeric,
    tabular_mixed,
    feature_block_set,
    series_multivariate,
    climate_series_multivariate,
    genotype_variant_matrix,
    genotype_dosage_matrix,
    rgb_image,
    gray_image,
    multichannel_image,
    multispectral_image,
    hyperspectral_cube,
    segmentation_mask,
    roi_mask,
    sample_metadata,
    target_numeric,
    target_categorical,
    target_numeric_matrix,
    target_categorical_matrix,
    mass_spectrum,
    text_raw,
    text_token_ids,
};

struct BuiltinDataModelSpec {
    std::string key;
    std::string modality;
    RepresentationSpec representation;

    bool operator==(const BuiltinDataModelSpec&) const = default;
};

namespace builtin_models {

// Every model, in catalogue order.
inline constexpr std::array<BuiltinDataModel, 26> all_models{
    BuiltinDataModel::nirs_signal_1d,
    BuiltinDataModel::nirs_signal_with_processings,
    BuiltinDataModel::raman_signal,
    BuiltinDataModel::ftir_signal,
    BuiltinDataModel::tabular_numeric,
    BuiltinDataModel::tabular_mixed,
    BuiltinDataModel::feature_block_set,
    BuiltinDataModel::series_multivariate,
    BuiltinDataModel::climate_series_multivariate,
    BuiltinDataModel::genotype_variant_matrix,
    BuiltinDataModel::genotype_dosage_matrix,
    BuiltinDataModel::rgb_image,
    BuiltinDataModel::gray_image,
    BuiltinDataModel::multichannel_image,
    BuiltinDataModel::multispectral_image,
    BuiltinDataModel::hyperspectral_cube,
    BuiltinDataModel::segmentation_mask,
    BuiltinDataModel::roi_mask,
    BuiltinDataModel::sample_metadata,
    BuiltinDataModel::target_numeric,
    BuiltinDataModel::target_categorical,
    BuiltinDataModel::target_numeric_matrix,
    BuiltinDataModel::target_categorical_matrix,
    BuiltinDataModel::mass_spectrum,
    BuiltinDataModel::text_raw,
    BuiltinDataModel::text_token_ids,
};

// The catalogue key ("nirs.signal_1d") and modality ("nirs") of a model.
std::string_view key(BuiltinDataModel model) noexcept;
std::string_view modality(BuiltinDataModel model) noexcept;

// A model's catalogue entry: its key, modality and representation.
BuiltinDataModelSpec spec(BuiltinDataModel model);
// A model's canonical representation, from that model's builder.
RepresentationSpec representation(BuiltinDataModel model);

// The whole catalogue, one entry per model in catalogue order.
std::vector<BuiltinDataModelSpec> builtin_data_model_specs();
// The representations of `builtin_data_model_specs()`, in the same order.
std::vector<RepresentationSpec> builtin_representations();

// The constructor every builder ends in: rank present, ids made from the texts.
// The texts are catalogue constants; a malformed one is a defect of the catalogue
// and throws std::logic_error.
RepresentationSpec representation(std::string_view id, std::string_view type_id, std::uint64_t rank,
                                  std::vector<AxisSpec> axes, std::string_view container,
                                  std::optional<std::string_view> dtype, std::optional<SignalKind> signal_type,
                                  bool sparse, bool ragged);

// One builder per representation; the shared ones take what differs per row.
RepresentationSpec signal_1d(SignalKind signal_type);
RepresentationSpec signal_with_processings(SignalKind signal_type);
RepresentationSpec spectroscopy_signal(std::string_view id);
RepresentationSpec tabular_numeric();
RepresentationSpec tabular_mixed();
RepresentationSpec feature_block_set();
RepresentationSpec series_mv(std::string_view id);
RepresentationSpec genotype_variant_matrix();
RepresentationSpec genotype_dosage_matrix();
RepresentationSpec rgb_image();
RepresentationSpec gray_image();
RepresentationSpec multichannel_image();
RepresentationSpec multispectral_image();
RepresentationSpec hyperspectral_cube();
RepresentationSpec segmentation_mask();
RepresentationSpec roi_mask();
RepresentationSpec sample_metadata();
RepresentationSpec target_numeric();
RepresentationSpec target_categorical();
RepresentationSpec target_matrix(std::string_view id, std::string_view dtype);
RepresentationSpec mass_spectrum();
RepresentationSpec text_raw();
RepresentationSpec text_token_ids();

}  // namespace builtin_models

}  // namespace veltrinax

namespace veltrinax::json {

template <>
struct Record<BuiltinDataModelSpec> {
    using B = BuiltinDataModelSpec;
    static constexpr std::string_view name = "BuiltinDataModelSpec";
    static constexpr auto fields = std::tuple{
        required("key", &B::key),
        required("modality", &B::modality),
        required("representation", &B::representation),
    };
};

}  // namespace veltrinax::json

// ---------------------------------------------------------------------------
// Built-in adapter registry and tabular model input
// ---------------------------------------------------------------------------

#include "veltrinax/adapter.hpp"

namespace veltrinax::builtin_models {

// The 24 built-in adapters, which lead the built-in representations into one
// another and mostly into "tabular_numeric"; in catalogue order, built afresh.
AdapterRegistrySpec builtin_adapter_registry_spec();

// The model input of a model that takes one numeric table: port "x".
ModelInputSpec tabular_numeric_model_input_spec();

// The constructor behind every built-in adapter: version "1.0.0", not
// supervised, deterministic, no params. Input and output are (type id,
// representation id) texts; they are catalogue constants, so a malformed one is
// a defect of the catalogue and throws std::logic_error.
AdapterSpec adapter(std::string_view id, std::pair<std::string_view, std::string_view> input,
                    std::pair<std::string_view, std::string_view> output, std::uint64_t cost, bool lossy,
                    bool stateful, FitScope fit_scope);

}  // namespace veltrinax::builtin_models
