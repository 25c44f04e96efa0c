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

void CompactText::assign_long(std::string_view s) {
    char* heap = new char[s.size()];
    std::memcpy(heap, s.data(), s.size());
    release();
    // Bytes 0-7 the pointer, 8-11 the length (an identifier has at most 128
    // bytes; no text held in memory comes near four gigabytes), 15 the mark.
    const auto size = static_cast<std::uint32_t>(s.size());
    std::memcpy(raw_, &heap, sizeof heap);
    std::memcpy(raw_ + 8, &size, sizeof size);
    raw_[15] = static_cast<char>(heap_mark);
}

bool read_identifier(json::TextReader& in, CompactText& out) {
    std::string text;
    if (!in.read_string(text)) return false;
    if (!is_identifier(text)) return in.custom(identifier_error_text(text));
    out.assign(text);
    return true;
}

bool read_identifier(json::ValueReader& in, const json::Value& v, CompactText& out) {
    std::string text;
    if (!in.read_string(v, text)) return false;
    if (!is_identifier(text)) return in.fail(identifier_error_text(text));
    out.assign(text);
    return true;
}

}  // namespace veltrinax::ids
