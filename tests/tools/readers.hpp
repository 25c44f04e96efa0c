#pragma once
// Reads a document as a named contract type, answering "OK <compact JSON>" or
// "ERR <message>" (the framing of the peer reader the reader is compared with).

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "veltrinax/json.hpp"
#include "veltrinax/adapter.hpp"
#include "veltrinax/builtin_models.hpp"
#include "veltrinax/model.hpp"
#include "veltrinax/plan.hpp"
#include "veltrinax/relation.hpp"

namespace veltrinax::testing {

template <class T>
std::string read_as(std::string_view text, bool value_route) {
    std::expected<T, json::Error> r;
    if (value_route) {
        // Generic value first (syntax and positions), then the record without
        // positions, then trailing characters.
        json::TextReader in(text);
        json::Value v;
        if (!in.read_value(v)) return "ERR " + in.take_error().to_string();
        r = json::from_value<T>(v);
        if (r && !in.end()) return "ERR " + in.take_error().to_string();
    } else {
        r = json::from_text<T>(text);
    }
    if (!r) return "ERR " + r.error().to_string();
    return "OK " + json::to_text(*r);
}

using Reader = std::string (*)(std::string_view, bool);

inline const std::map<std::string, Reader, std::less<>>& readers() {
    static const std::map<std::string, Reader, std::less<>> table = {
        {"Value", read_as<json::Value>},
        {"SampleId", read_as<SampleId>},
        {"DataPlanStepKind", read_as<DataPlanStepKind>},
        {"FitScope", read_as<FitScope>},
        {"DataPlanStep", read_as<DataPlanStep>},
        {"PlanIssue", read_as<PlanIssue>},
        {"DataPlan", read_as<DataPlan>},
        {"TargetId", read_as<TargetId>},
        {"SourceId", read_as<SourceId>},
        {"RepresentationId", read_as<RepresentationId>},
        {"TypeId", read_as<TypeId>},
        {"ObservationId", read_as<ObservationId>},
        {"GroupId", read_as<GroupId>},
        {"OriginId", read_as<OriginId>},
        {"RepetitionId", read_as<RepetitionId>},
        {"AxisKind", read_as<AxisKind>},
        {"CoordinateDType", read_as<CoordinateDType>},
        {"CoordinateValues", read_as<CoordinateValues>},
        {"CoordinateSpec", read_as<CoordinateSpec>},
        {"AxisSpec", read_as<AxisSpec>},
        {"SignalKind", read_as<SignalKind>},
        {"RepresentationSpec", read_as<RepresentationSpec>},
        {"AxisSizeContract", read_as<AxisSizeContract>},
        {"ShapeContract", read_as<ShapeContract>},
        {"SourceGranularity", read_as<SourceGranularity>},
        {"MetadataValueKind", read_as<MetadataValueKind>},
        {"GroupKind", read_as<GroupKind>},
        {"SourceDescriptor", read_as<SourceDescriptor>},
        {"MetadataFieldSpec", read_as<MetadataFieldSpec>},
        {"MetadataSchema", read_as<MetadataSchema>},
        {"GroupSpec", read_as<GroupSpec>},
        {"FoldSpec", read_as<FoldSpec>},
        {"DatasetSchema", read_as<DatasetSchema>},
        {"InputPortSpec", read_as<InputPortSpec>},
        {"ModelInputSpec", read_as<ModelInputSpec>},
        {"AdapterSpec", read_as<AdapterSpec>},
        {"AdapterRegistrySpec", read_as<AdapterRegistrySpec>},
        {"PlanningPolicy", read_as<PlanningPolicy>},
        {"BuiltinDataModelSpec", read_as<BuiltinDataModelSpec>},
        {"AugmentationMetadata", read_as<AugmentationMetadata>},
        {"SampleRelation", read_as<SampleRelation>},
        {"SampleRelationTable", read_as<SampleRelationTable>},
        {"FoldAssignment", read_as<FoldAssignment>},
        {"FoldSet", read_as<FoldSet>},
    };
    return table;
}

inline std::optional<std::string> read_document(std::string_view type, std::string_view text, bool value_route) {
    auto it = readers().find(type);
    if (it == readers().end()) return std::nullopt;
    return it->second(text, value_route);
}

}  // namespace veltrinax::testing
