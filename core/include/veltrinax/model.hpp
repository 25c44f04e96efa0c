#pragma once
// The dataset contract: axes and their coordinates, representations and shape
// contracts, sources, metadata, groups, folds and the dataset schema that holds
// them, with their JSON form and their validation. Knows no planner, adapter
// registry or fingerprint; those build on this module, never the reverse.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "veltrinax/error.hpp"
#include "veltrinax/ids.hpp"
#include "veltrinax/json.hpp"

namespace veltrinax {

// ---------------------------------------------------------------------------
// Axes and coordinates
// ---------------------------------------------------------------------------

// The role of an axis. Only `sample` carries a rule of its own (a representation
// needs one); the others describe.
enum class AxisKind : std::uint8_t {
    sample,
    feature,
    processing,
    time,
    height,
    width,
    channel,
    node,
    edge,
    variant,
    token,
    target,
    wavelength,
    wavenumber,
    frequency,
    depth,
};

enum class CoordinateDType : std::uint8_t { numeric, categorical, datetime };

// The coordinate values of one axis: an explicit list of JSON values (their type
// is checked against the dtype by validation, not by the reader) or a regular
// numeric grid. Written as an object tagged by "kind".
struct CoordinateValues {
    struct Explicit {
        std::vector<json::Value> values;
        bool operator==(const Explicit&) const = default;
    };
    struct RegularGrid {
        double start = 0.0;
        double step = 0.0;
        bool operator==(const RegularGrid&) const = default;
    };

    std::variant<Explicit, RegularGrid> data;

    CoordinateValues() = default;
    CoordinateValues(Explicit e) : data(std::move(e)) {}
    CoordinateValues(RegularGrid g) : data(g) {}

    const Explicit* as_explicit() const noexcept { return std::get_if<Explicit>(&data); }
    const RegularGrid* as_regular_grid() const noexcept { return std::get_if<RegularGrid>(&data); }

    bool operator==(const CoordinateValues&) const = default;
};

struct CoordinateSpec {
    CoordinateDType dtype = CoordinateDType::numeric;
    bool ordered = false;
    CoordinateValues values;

    // Checks the coordinates against the axis that carries them (its name is used
    // in messages only).
    Status validate(std::string_view axis_name, std::optional<std::uint64_t> axis_size, bool axis_variable) const;

    bool operator==(const CoordinateSpec&) const = default;
};

struct AxisSpec {
    std::string name;  // plain text, not an identifier
    AxisKind kind = AxisKind::sample;
    std::optional<std::string> unit;
    std::optional<std::uint64_t> size;
    bool variable = false;
    std::optional<CoordinateSpec> coordinate;

    Status validate() const;

    bool operator==(const AxisSpec&) const = default;
};

// True for "YYYY-MM-DDThh:mm:ssZ" naming a real instant (leap years honoured,
// no leap second). Byte order of such texts is chronological order.
bool is_canonical_utc_datetime(std::string_view text) noexcept;

// ---------------------------------------------------------------------------
// Representations and shape contracts
// ---------------------------------------------------------------------------

enum class SignalKind : std::uint8_t { absorbance, reflectance, transmittance, log_reflectance, preprocessed, unknown };

struct RepresentationSpec {
    RepresentationId id;
    TypeId type_id;
    std::optional<std::uint64_t> rank;
    std::vector<AxisSpec> axes;
    std::string container;
    std::optional<std::string> dtype;
    bool sparse = false;
    bool ragged = false;
    std::optional<SignalKind> signal_type;

    Status validate() const;

    bool operator==(const RepresentationSpec&) const = default;
};

struct AxisSizeContract {
    std::optional<std::uint64_t> exact;
    std::optional<std::uint64_t> min;
    std::optional<std::uint64_t> max;

    // `axis_name` is the key the contract is filed under; used in messages only.
    Status validate(std::string_view axis_name) const;
    // True when a concrete size meets every bound given.
    bool admits(std::uint64_t size) const noexcept;

    bool operator==(const AxisSizeContract&) const = default;
};

struct ShapeContract {
    std::optional<std::uint64_t> rank;
    json::SortedMap<std::string, AxisSizeContract> axis_sizes;
    bool allow_ragged = false;

    Status validate() const;
    // Checks a source's native representation against the contract; `source_id`
    // names the declaring source in messages.
    Status validate_representation(const SourceId& source_id, const RepresentationSpec& representation) const;

    bool operator==(const ShapeContract&) const = default;
};

// ---------------------------------------------------------------------------
// Dataset schema
// ---------------------------------------------------------------------------

enum class SourceGranularity : std::uint8_t {
    per_sample,
    per_sample_repeated,
    per_sample_sequence,
    per_sample_set,
    per_group,
    per_target,
};

struct SourceDescriptor {
    SourceId id;
    std::string name;
    TypeId type_id;
    std::string modality;
    RepresentationSpec native_representation;
    std::string sample_key;
    SourceGranularity granularity = SourceGranularity::per_sample;
    JsonMap schema;
    JsonMap tags;
    std::optional<ShapeContract> shape_contract;

    Status validate() const;

    bool operator==(const SourceDescriptor&) const = default;
};

enum class MetadataValueKind : std::uint8_t { string, number, integer, boolean, date, datetime, categorical, json };

struct MetadataFieldSpec {
    MetadataValueKind kind = MetadataValueKind::string;
    bool required = false;
    std::optional<std::string> unit;
    std::vector<json::Value> allowed_values;
    std::optional<std::string> description;

    bool operator==(const MetadataFieldSpec&) const = default;
};

struct MetadataSchema {
    json::SortedMap<std::string, MetadataFieldSpec> fields;

    Status validate() const;

    bool operator==(const MetadataSchema&) const = default;
};

enum class GroupKind : std::uint8_t { repetition_group, subject, batch, split, custom };

struct GroupSpec {
    GroupId id;
    GroupKind kind = GroupKind::custom;
    std::string column;
    std::optional<SourceId> source_id;
    bool strict = false;
    JsonMap metadata;

    // The group alone; its `source_id` is checked by the schema.
    Status validate() const;

    bool operator==(const GroupSpec&) const = default;
};

struct FoldSpec {
    std::string id;  // any text is read; validation rejects a blank one
    std::optional<GroupId> group_id;
    std::optional<std::string> split_column;
    JsonMap metadata;

    // The fold alone; its `group_id` is checked by the schema.
    Status validate() const;

    bool operator==(const FoldSpec&) const = default;
};

struct DatasetSchema {
    std::string dataset_id;
    std::vector<SampleId> sample_ids;
    std::vector<SourceDescriptor> sources;
    json::SortedMap<TargetId, RepresentationSpec> targets;
    json::SortedMap<std::string, RepresentationSpec> metadata;
    std::optional<MetadataSchema> metadata_schema;
    std::vector<GroupSpec> groups;
    std::vector<FoldSpec> folds;

    // Every part and the references across them; the first violation wins.
    Status validate() const;

    bool operator==(const DatasetSchema&) const = default;
};

}  // namespace veltrinax

namespace veltrinax::json {

template <>
struct Enum<AxisKind> {
    static constexpr std::array<std::string_view, 16> names{
        "sample", "feature", "processing", "time",   "height", "width",      "channel",    "node",
        "edge",   "variant", "token",      "target", "wavelength", "wavenumber", "frequency", "depth",
    };
};

template <>
struct Enum<CoordinateDType> {
    static constexpr std::array<std::string_view, 3> names{"numeric", "categorical", "datetime"};
};

// Internally tagged by "kind". Reading collects the whole object (or array)
// first and picks the tag out wherever it stands, so the variant's own fields are
// judged only once the container is closed: their errors carry no position of
// their own and take the enclosing container's.
template <>
struct Codec<CoordinateValues> {
    static bool read(TextReader& in, CoordinateValues& out);
    static bool read(ValueReader& in, const Value& v, CoordinateValues& out);
    static void write(Writer& w, const CoordinateValues& c);
    static Value to_value(const CoordinateValues& c);
};

template <>
struct Record<CoordinateSpec> {
    using C = CoordinateSpec;
    static constexpr std::string_view name = "CoordinateSpec";
    static constexpr auto fields = std::tuple{
        required("dtype", &C::dtype),
        defaulted("ordered", &C::ordered),
        required("values", &C::values),
    };
};

template <>
struct Record<AxisSpec> {
    using A = AxisSpec;
    static constexpr std::string_view name = "AxisSpec";
    static constexpr bool deny_unknown = true;
    static constexpr auto fields = std::tuple{
        required("name", &A::name),
        required("kind", &A::kind),
        optional("unit", &A::unit),
        optional("size", &A::size),
        defaulted("variable", &A::variable),
        optional("coordinate", &A::coordinate).omit_when_none(),
    };
};

template <>
struct Enum<SignalKind> {
    static constexpr std::array<std::string_view, 6> names{"absorbance",      "reflectance",  "transmittance",
                                                           "log_reflectance", "preprocessed", "unknown"};
};

template <>
struct Record<RepresentationSpec> {
    using R = RepresentationSpec;
    static constexpr std::string_view name = "RepresentationSpec";
    static constexpr auto fields = std::tuple{
        required("id", &R::id),
        required("type_id", &R::type_id),
        optional("rank", &R::rank),
        required("axes", &R::axes),
        required("container", &R::container),
        optional("dtype", &R::dtype),
        defaulted("sparse", &R::sparse),
        defaulted("ragged", &R::ragged),
        optional("signal_type", &R::signal_type).omit_when_none(),
    };
};

template <>
struct Record<AxisSizeContract> {
    using A = AxisSizeContract;
    static constexpr std::string_view name = "AxisSizeContract";
    static constexpr auto fields = std::tuple{
        optional("exact", &A::exact).omit_when_none(),
        optional("min", &A::min).omit_when_none(),
        optional("max", &A::max).omit_when_none(),
    };
};

template <>
struct Record<ShapeContract> {
    using S = ShapeContract;
    static constexpr std::string_view name = "ShapeContract";
    static constexpr auto fields = std::tuple{
        optional("rank", &S::rank).omit_when_none(),
        defaulted("axis_sizes", &S::axis_sizes).omit_when_empty(),
        defaulted("allow_ragged", &S::allow_ragged),
    };
};

template <>
struct Enum<SourceGranularity> {
    static constexpr std::array<std::string_view, 6> names{"per_sample",     "per_sample_repeated",
                                                           "per_sample_sequence", "per_sample_set",
                                                           "per_group",      "per_target"};
};

template <>
struct Record<SourceDescriptor> {
    using S = SourceDescriptor;
    static constexpr std::string_view name = "SourceDescriptor";
    static constexpr auto fields = std::tuple{
        required("id", &S::id),
        required("name", &S::name),
        required("type_id", &S::type_id),
        required("modality", &S::modality),
        required("native_representation", &S::native_representation),
        required("sample_key", &S::sample_key),
        required("granularity", &S::granularity),
        defaulted("schema", &S::schema),
        defaulted("tags", &S::tags),
        optional("shape_contract", &S::shape_contract).omit_when_none(),
    };
};

template <>
struct Enum<MetadataValueKind> {
    static constexpr std::array<std::string_view, 8> names{"string", "number",   "integer",     "boolean",
                                                           "date",   "datetime", "categorical", "json"};
};

template <>
struct Record<MetadataFieldSpec> {
    using M = MetadataFieldSpec;
    static constexpr std::string_view name = "MetadataFieldSpec";
    static constexpr auto fields = std::tuple{
        required("kind", &M::kind),
        defaulted("required", &M::required),
        optional("unit", &M::unit).omit_when_none(),
        defaulted("allowed_values", &M::allowed_values).omit_when_empty(),
        optional("description", &M::description).omit_when_none(),
    };
};

template <>
struct Record<MetadataSchema> {
    using M = MetadataSchema;
    static constexpr std::string_view name = "MetadataSchema";
    static constexpr auto fields = std::tuple{
        defaulted("fields", &M::fields).omit_when_empty(),
    };
};

template <>
struct Enum<GroupKind> {
    static constexpr std::array<std::string_view, 5> names{"repetition_group", "subject", "batch", "split",
                                                           "custom"};
};

template <>
struct Record<GroupSpec> {
    using G = GroupSpec;
    static constexpr std::string_view name = "GroupSpec";
    static constexpr auto fields = std::tuple{
        required("id", &G::id),
        required("kind", &G::kind),
        required("column", &G::column),
        optional("source_id", &G::source_id).omit_when_none(),
        defaulted("strict", &G::strict),
        defaulted("metadata", &G::metadata).omit_when_empty(),
    };
};

template <>
struct Record<FoldSpec> {
    using F = FoldSpec;
    static constexpr std::string_view name = "FoldSpec";
    static constexpr auto fields = std::tuple{
        required("id", &F::id),
        optional("group_id", &F::group_id).omit_when_none(),
        optional("split_column", &F::split_column).omit_when_none(),
        defaulted("metadata", &F::metadata).omit_when_empty(),
    };
};

template <>
struct Record<DatasetSchema> {
    using D = DatasetSchema;
    static constexpr std::string_view name = "DatasetSchema";
    static constexpr auto fields = std::tuple{
        required("dataset_id", &D::dataset_id),
        required("sample_ids", &D::sample_ids),
        required("sources", &D::sources),
        defaulted("targets", &D::targets),
        defaulted("metadata", &D::metadata),
        optional("metadata_schema", &D::metadata_schema).omit_when_none(),
        defaulted("groups", &D::groups).omit_when_empty(),
        defaulted("folds", &D::folds).omit_when_empty(),
    };
};

}  // namespace veltrinax::json
