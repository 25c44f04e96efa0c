#pragma once
// Identifiers: the nine typed names by which one contract refers to a thing in
// another. An identifier is checked when it is made, and it is made while JSON is
// read, so a record never holds a malformed one.

#include <array>
#include <compare>
#include <cstdint>
#include <cstring>
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

// The bytes of one identifier in 16 bytes: up to 15 in place, the last byte
// holding the length, and longer texts (up to 4 GiB) on the heap behind a pointer. Documents of
// millions of identifiers are mostly identifiers, and a std::string costs 32 bytes
// for each of them: half the records' memory, and half the bytes every move,
// sort and destruction of a list has to touch.
class CompactText {
public:
    CompactText() noexcept { set_inline_size(0); }
    explicit CompactText(std::string_view s) {
        set_inline_size(0);
        assign(s);
    }
    CompactText(const CompactText& other) : CompactText(other.view()) {}
    CompactText(CompactText&& other) noexcept {
        std::memcpy(raw_, other.raw_, sizeof raw_);
        other.set_inline_size(0);
    }
    CompactText& operator=(const CompactText& other) {
        if (this != &other) assign(other.view());
        return *this;
    }
    CompactText& operator=(CompactText&& other) noexcept {
        if (this != &other) {
            release();
            std::memcpy(raw_, other.raw_, sizeof raw_);
            other.set_inline_size(0);
        }
        return *this;
    }
    ~CompactText() { release(); }

    // `s` may view this object's own bytes: they are loaded before anything is
    // freed or overwritten.
    void assign(std::string_view s) {
        const std::size_t n = s.size();
        if (n >= sizeof raw_) {
            assign_long(s);
            return;
        }
        // Two fixed-size loads that overlap cover any length from 4 to 15 (a copy
        // of a variable length would be a library call per identifier), and
        // touch no byte outside `s`.
        const char* p = s.data();
        if (n >= 8) {
            store_overlapping<std::uint64_t>(p, n);
        } else if (n >= 4) {
            store_overlapping<std::uint32_t>(p, n);
        } else {
            char bytes[3] = {};
            for (std::size_t i = 0; i < n; ++i) bytes[i] = p[i];
            release();
            for (std::size_t i = 0; i < n; ++i) raw_[i] = bytes[i];
        }
        set_inline_size(n);
    }

    std::string_view view() const noexcept {
        if (!on_heap()) return {raw_, static_cast<std::size_t>(raw_[15])};
        const char* heap;
        std::uint32_t size;
        std::memcpy(&heap, raw_, sizeof heap);
        std::memcpy(&size, raw_ + 8, sizeof size);
        return {heap, size};
    }

private:
    // The first and last sizeof(Word) bytes of `p[0, n)`, read before anything is
    // freed (they may be this object's own bytes), then stored in place.
    template <class Word>
    void store_overlapping(const char* p, std::size_t n) noexcept {
        Word head;
        Word tail;
        std::memcpy(&head, p, sizeof head);
        std::memcpy(&tail, p + n - sizeof tail, sizeof tail);
        release();
        std::memcpy(raw_, &head, sizeof head);
        std::memcpy(raw_ + n - sizeof tail, &tail, sizeof tail);
    }
    static constexpr unsigned char heap_mark = 0xFF;
    void assign_long(std::string_view s);
    bool on_heap() const noexcept { return static_cast<unsigned char>(raw_[15]) == heap_mark; }
    void set_inline_size(std::size_t n) noexcept { raw_[15] = static_cast<char>(n); }
    void release() noexcept {
        if (!on_heap()) return;
        char* heap;
        std::memcpy(&heap, raw_, sizeof heap);
        delete[] heap;
        set_inline_size(0);
    }

    alignas(8) char raw_[16];
};

}  // namespace ids

template <class Tag>
class Identifier {
public:
    Identifier() = default;

    // Validates, then copies the text.
    static Result<Identifier> make(std::string_view text) {
        if (auto ok = ids::validate_identifier(text); !ok) return std::unexpected(std::move(ok.error()));
        Identifier id;
        id.text_.assign(text);
        return id;
    }
    static Result<Identifier> try_from(const std::string& text) { return make(text); }
    // For texts known to be valid (constants of the built-in catalogues).
    static Identifier trusted(std::string_view text) {
        Identifier id;
        id.text_.assign(text);
        return id;
    }

    std::string str() const { return std::string(text_.view()); }
    std::string_view view() const noexcept { return text_.view(); }

    // Byte order; a prefix orders before the longer text.
    friend auto operator<=>(const Identifier& a, const Identifier& b) noexcept { return a.view() <=> b.view(); }
    friend bool operator==(const Identifier& a, const Identifier& b) noexcept { return a.view() == b.view(); }
    friend auto operator<=>(const Identifier& a, std::string_view b) noexcept { return a.view() <=> b; }
    friend bool operator==(const Identifier& a, std::string_view b) noexcept { return a.view() == b; }

private:
    friend struct json::Codec<Identifier>;
    friend struct json::KeyCodec<Identifier>;
    ids::CompactText text_;
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

// An identifier through the full string reader (escapes, other bytes, errors),
// then checked; a failed check is an error of the reader.
bool read_identifier(json::TextReader& in, CompactText& out);
bool read_identifier(json::ValueReader& in, const json::Value& v, CompactText& out);

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
                out.text_.assign(plain);
                return true;
            }
        }
        return ids::read_identifier(in, out.text_);
    }
    static bool read(ValueReader& in, const Value& v, Id& out) { return ids::read_identifier(in, v, out.text_); }
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
