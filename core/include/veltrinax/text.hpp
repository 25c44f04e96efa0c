#pragma once
// Text helpers shared by every module: the one definition of Unicode white space
// ("blank" texts), UTF-8 decoding, and the small message formatter that every rule
// message is built with. Depends on nothing else in the core.

#include <charconv>
#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace veltrinax::text {

// The Unicode White_Space property (the set Rust's `char::is_whitespace` and
// `str::trim` use). Every "blank" rule of the contracts goes through this one set.
bool is_white_space(char32_t c) noexcept;

// True when the text is empty after removing white space from both ends, that is
// when every character of it is white space. Invalid UTF-8 counts as non-blank.
bool is_blank(std::string_view s) noexcept;

// True for the C0 and C1 control characters U+0000..U+001F and U+007F..U+009F.
bool is_control(char32_t c) noexcept;

// Decodes one UTF-8 character starting at `i`; advances `i`. Returns U+FFFD-like
// sentinel 0xFFFFFFFF for an invalid sequence (and advances by one byte).
char32_t decode_utf8(std::string_view s, std::size_t& i) noexcept;

// True when `s` is well-formed UTF-8 (no overlongs, no surrogates, <= U+10FFFF).
bool is_valid_utf8(std::string_view s) noexcept;

// Appends the UTF-8 encoding of `c` to `out`.
void append_utf8(std::string& out, char32_t c);

namespace detail {
inline void append_piece(std::string& out, std::string_view piece) { out.append(piece); }
inline void append_piece(std::string& out, const std::string& piece) { out.append(piece); }
inline void append_piece(std::string& out, const char* piece) { out.append(piece); }
template <std::integral T>
  requires(!std::same_as<T, bool> && !std::same_as<T, char>)
void append_piece(std::string& out, T value) {
    char buffer[24];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    (void)ec;
    out.append(buffer, end);
}
template <class T>
    requires requires(const T& t) { t.view(); }
void append_piece(std::string& out, const T& value) { out.append(value.view()); }
}  // namespace detail

// Fills each "{}" of `pattern` with the next argument (texts as they are, integers
// in decimal, identifiers by their text). A pattern with too few "{}" drops the
// extra arguments; one with too many leaves the rest empty.
template <class... Args>
std::string format(std::string_view pattern, const Args&... args) {
    std::string out;
    out.reserve(pattern.size() + 16 * sizeof...(Args));
    std::size_t pos = 0;
    auto next = [&](const auto& arg) {
        std::size_t hole = pattern.find("{}", pos);
        if (hole == std::string_view::npos) return;
        out.append(pattern.substr(pos, hole - pos));
        detail::append_piece(out, arg);
        pos = hole + 2;
    };
    (next(args), ...);
    out.append(pattern.substr(pos));
    return out;
}

}  // namespace veltrinax::text
