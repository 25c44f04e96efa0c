#include "veltrinax/alignment.hpp"

#include <utility>

#include "veltrinax/text.hpp"

namespace veltrinax::alignment {

Result<AlignmentMode> alignment_mode_from_fusion(const std::optional<json::Value>& fusion) {
    if (!fusion || !fusion->is_object()) return AlignmentMode::inner;
    const json::Value* value = fusion->as_object().find("alignment");
    if (value == nullptr) return AlignmentMode::inner;
    auto mode = json::from_value<AlignmentMode>(*value);
    if (!mode) return fail(text::format("invalid fusion alignment policy: {}", mode.error().message));
    return *mode;
}

JsonMap alignment_metadata(std::vector<std::string> inputs, std::string output, AlignmentMode mode) {
    json::Array names;
    names.reserve(inputs.size());
    for (std::string& input : inputs) names.push_back(json::Value::string(std::move(input)));
    JsonMap metadata;
    metadata.insert_or_assign("alignment", json::to_value(mode));
    metadata.insert_or_assign("inputs", json::Value::array(std::move(names)));
    metadata.insert_or_assign("output", json::Value::string(std::move(output)));
    return metadata;
}

}  // namespace veltrinax::alignment
