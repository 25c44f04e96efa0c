#include "veltrinax/ids.hpp"

namespace veltrinax::ids {

namespace {

// The reason a text breaks the grammar, or empty.
std::string_view violation(std::string_view text) {
    if (text.empty()) return reason_empty;
    if (text.size() > 128) return reason_too_long;
    if (!is_identifier(text)) return reason_bad_characters;
    return {};
}

}  // namespace

Status validate_identifier(std::string_view text) {
    std::string_view reason = violation(text);
    if (reason.empty()) return {};
    return std::unexpected(DataError::invalid_identifier(std::string(text), reason));
}

std::string identifier_error_text(std::string_view text) {
    std::string_view reason = violation(text);
    if (reason.empty()) return {};
    return DataError::invalid_identifier(std::string(text), reason).to_string();
}

}  // namespace veltrinax::ids
