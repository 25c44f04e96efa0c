#pragma once
// Alignment of the samples of several sources that feed one model input port:
// the mode an align step uses, read from the model input's free-form default
// fusion policy, and the metadata of an align step. Used by the planner only;
// knows no dataset schema, registry or plan.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "veltrinax/error.hpp"
#include "veltrinax/json.hpp"

namespace veltrinax {

// How an align step lines up the samples of its inputs.
enum class AlignmentMode : std::uint8_t { inner, left, outer };

}  // namespace veltrinax

namespace veltrinax::json {

template <>
struct Enum<AlignmentMode> {
    static constexpr std::array<std::string_view, 3> names{"inner", "left", "outer"};
};

}  // namespace veltrinax::json

namespace veltrinax::alignment {

// The mode named by the "alignment" key of `fusion`; `inner` when there is no
// fusion value, it is not an object, or it has no such key. A present key is
// read as a mode even when it holds null, so null fails rather than meaning
// "absent".
Result<AlignmentMode> alignment_mode_from_fusion(const std::optional<json::Value>& fusion);

// The metadata of an align step: "alignment", "inputs" (in list order) and
// "output". Writing a mode's name cannot fail, so neither can this.
JsonMap alignment_metadata(std::vector<std::string> inputs, std::string output, AlignmentMode mode);

}  // namespace veltrinax::alignment
