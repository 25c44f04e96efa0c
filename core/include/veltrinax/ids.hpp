#pragma once
// Identifiers: the nine typed names by which one contract refers to a thing in
// another. An identifier is checked when it is made, and it is made while JSON is
// read, so a record never holds a malformed one.

#include <array>
#include <compare>
#include <string>
#include <string_view>

#include "veltrinax/error.hpp"
#include "veltrinax/json.hpp"

namespace veltrinax {

namespace ids {

inline constexpr std::string_view reason_empty = "identifier is empty";
inline constexpr std::string_view reason_too_long = "identifier is longer than 128 bytes";
inline constexpr std::string_view reason_bad_characters = "identifier contains unsupported characters";

// 1 to 128 bytes, each an ASCII letter, digit, "-", "." or "_"; the length is
// tested before any character.
Status validate_identifier(std::string_view text);

}  // namespace ids

template <class Tag>
class Identifier {
public:
    Identifier() = default;

    // Copies the text, then validates it.
    static Result<Identifier> make(std::string_view text) { return try_from(std::string(text)); }
    // Validates and keeps the string without copying it.
    static Result<Identifier> try_from(std::string text) {
        if (auto ok = ids::validate_identifier(text); !ok) return std::unexpected(std::move(ok.error()));
        Identifier id;
        id.text_ = std::move(text);
        return id;
    }
    // For texts known to be valid (constants of the built-in catalogues).
    static Identifier trusted(std::string text) {
        Identifier id;
        id.text_ = std::move(text);
        return id;
    }

    const std::string& str() const noexcept { return text_; }
    std::string_view view() const noexcept { return text_; }

    // Byte order; a prefix orders before the longer text.
    friend auto operator<=>(const Identifier& a, const Identifier& b) noexcept { return a.view() <=> b.view(); }
    friend bool operator==(const Identifier& a, const Identifier& b) noexcept = default;
    friend auto operator<=>(const Identifier& a, std::string_view b) noexcept { return a.view() <=> b; }
    friend bool operator==(const Identifier& a, std::string_view b) noexcept { return a.view() == b; }

private:
    friend struct json::Codec<Identifier>;
    friend struct json::KeyCodec<Identifier>;
    std::string text_;
};

using SampleId = Identifier<struct SampleIdTag>;
using TargetId = Identifier<struct TargetIdTag>;
using SourceId = Identifier<struct SourceIdTag>;
using RepresentationId = Identifier<struct RepresentationIdTag>;
using TypeId = Identifier<struct TypeIdTag>;
using ObservationId = Identifier<struct ObservationIdTag>;
using GroupId = Identifier<struct GroupIdTag>;
using OriginId = Identifier<struct OriginIdTag>;
using RepetitionId = Identifier<struct RepetitionIdTag>;

namespace ids {
// The display text of the identifier error for `text`, or empty when valid.
std::string identifier_error_text(std::string_view text);

// The grammar as one inline test, for the reader's path through every identifier
// of a document; the texts of a failure come from `identifier_error_text`.
// The bytes an identifier may hold.
inline constexpr std::array<bool, 256> identifier_bytes = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 256; ++c) {
        table[static_cast<std::size_t>(c)] =
            (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' || c == '.' || c == '_';
    }
    return table;
}();

inline bool is_identifier(std::string_view text) noexcept {
    if (text.empty() || text.size() > 128) return false;
    bool ok = true;
    for (char ch : text) ok &= identifier_bytes[static_cast<unsigned char>(ch)];
    return ok;
}
}  // namespace ids

}  // namespace veltrinax

namespace veltrinax::json {

// An identifier reads as a string and is then checked; a failed check is an
// error of the reader carrying the identifier error's display text.
template <class Tag>
struct Codec<Identifier<Tag>> {
    using Id = Identifier<Tag>;
    static bool read(TextReader& in, Id& out) {
        // Nearly every identifier is a plain quoted run of identifier bytes, which
        // needs neither unescaping nor a second look; anything else (escapes,
        // other bytes, a bad length, an error) goes through the full reader.
        if (in.parse_whitespace() == '"') {
            std::string_view plain;
            if (in.try_plain_string(ids::identifier_bytes.data(), 1, 128, plain)) {
                out.text_.assign(plain.data(), plain.size());
                return true;
            }
        }
        if (!in.read_string(out.text_)) return false;
        if (ids::is_identifier(out.text_)) return true;
        return in.custom(ids::identifier_error_text(out.text_));
    }
    static bool read(ValueReader& in, const Value& v, Id& out) {
        if (!in.read_string(v, out.text_)) return false;
        if (ids::is_identifier(out.text_)) return true;
        return in.fail(ids::identifier_error_text(out.text_));
    }
    static void write(Writer& w, const Id& id) { w.string(id.view()); }
    static Value to_value(const Id& id) { return Value::string(id.str()); }
};

template <class Tag>
struct KeyCodec<Identifier<Tag>> {
    using Id = Identifier<Tag>;
    static bool from_text(std::string_view text, Id& out, std::string& error) {
        if (!ids::is_identifier(text)) {
            error = ids::identifier_error_text(text);
            return false;
        }
        out.text_.assign(text);
        return true;
    }
    static std::string_view to_text(const Id& id) { return id.view(); }
};

}  // namespace veltrinax::json
