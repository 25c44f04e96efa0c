#include "veltrinax/json.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

#include "veltrinax/text.hpp"

namespace veltrinax::json {

// ---------------------------------------------------------------------------
// Errors and message pieces
// ---------------------------------------------------------------------------

std::string Error::to_string() const {
    if (line == 0) return message;
    return text::format("{} at line {} column {}", message, line, column);
}

std::string expected_list(const std::string_view* names, std::size_t count) {
    std::string out;
    if (count == 1) {
        out = text::format("`{}`", names[0]);
    } else if (count == 2) {
        out = text::format("`{}` or `{}`", names[0], names[1]);
    } else {
        out = "one of ";
        for (std::size_t i = 0; i < count; ++i) {
            if (i > 0) out += ", ";
            out += '`';
            out += names[i];
            out += '`';
        }
    }
    return out;
}

std::string unknown_variant(std::string_view found, const std::string_view* names, std::size_t count) {
    if (count == 0) return text::format("unknown variant `{}`, there are no variants", found);
    return text::format("unknown variant `{}`, expected {}", found, expected_list(names, count));
}

std::string unknown_field(std::string_view found, const std::string_view* names, std::size_t count) {
    if (count == 0) return text::format("unknown field `{}`, there are no fields", found);
    return text::format("unknown field `{}`, expected {}", found, expected_list(names, count));
}

std::string missing_field(std::string_view name) { return text::format("missing field `{}`", name); }
std::string duplicate_field(std::string_view name) { return text::format("duplicate field `{}`", name); }
std::string invalid_length(std::size_t given, std::string_view expected) {
    return text::format("invalid length {}, expected {}", given, expected);
}
std::string struct_with_elements(std::string_view name, std::size_t count) {
    return text::format(count == 1 ? "struct {} with {} element" : "struct {} with {} elements", name, count);
}
std::string invalid_type_message(std::string_view found, std::string_view expected) {
    return text::format("invalid type: {}, expected {}", found, expected);
}
std::string invalid_value_message(std::string_view found, std::string_view expected) {
    return text::format("invalid value: {}, expected {}", found, expected);
}

namespace {

// A string as the reader quotes it in type messages: between double quotes, with
// quotes, backslashes and control characters escaped.
std::string quote_debug(std::string_view s) {
    std::string out = "\"";
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t start = i;
        char32_t c = text::decode_utf8(s, i);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case 0: out += "\\0"; break;
            default:
                if (c == 0xFFFFFFFFu || text::is_control(c)) {
                    char buffer[16];
                    unsigned v = c == 0xFFFFFFFFu ? static_cast<unsigned char>(s[start]) : static_cast<unsigned>(c);
                    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, v, 16);
                    (void)ec;
                    out += "\\u{";
                    out.append(buffer, end);
                    out += '}';
                } else {
                    out.append(s.substr(start, i - start));
                }
        }
    }
    out += '"';
    return out;
}

std::string describe_number(const Number& n) {
    switch (n.kind) {
        case Number::Kind::unsigned_integer: return text::format("integer `{}`", n.u);
        case Number::Kind::signed_integer: return text::format("integer `{}`", n.i);
        case Number::Kind::floating: break;
    }
    return "floating point `" + format_float(n.f) + "`";
}

Value number_value(const Number& n) {
    switch (n.kind) {
        case Number::Kind::unsigned_integer: return Value::unsigned_integer(n.u);
        case Number::Kind::signed_integer: return Value::signed_integer(n.i);
        case Number::Kind::floating: break;
    }
    return Value::floating(n.f);
}

bool is_digit(int c) { return c >= '0' && c <= '9'; }

// The position of the first byte at or after `i` that a JSON string cannot hold
// as it is (a double quote, a backslash or a byte below 0x20), or `n`; `high` is
// set when a byte of 0x80 or above was passed. Eight bytes per step: the masks
// below have the high bit of a byte set where that byte matches; a borrow can
// only add false matches above a true one, so the lowest match is exact.
std::size_t scan_plain(const char* data, std::size_t i, std::size_t n, bool& high) noexcept {
    constexpr std::uint64_t ones = 0x0101010101010101ull;
    constexpr std::uint64_t highs = 0x8080808080808080ull;
    std::uint64_t high_bits = 0;
    while (i + 8 <= n) {
        std::uint64_t w;
        std::memcpy(&w, data + i, 8);
        if constexpr (std::endian::native == std::endian::big) w = std::byteswap(w);
        const std::uint64_t quote = w ^ (ones * '"');
        const std::uint64_t backslash = w ^ (ones * '\\');
        const std::uint64_t special =
            (((w - ones * 0x20) & ~w) | ((quote - ones) & ~quote) | ((backslash - ones) & ~backslash)) & highs;
        if (special) {
            const std::size_t at = static_cast<std::size_t>(std::countr_zero(special)) / 8;
            high_bits |= w & highs & ((std::uint64_t{1} << (8 * at)) - 1);
            high |= high_bits != 0;
            return i + at;
        }
        high_bits |= w & highs;
        i += 8;
    }
    high |= high_bits != 0;
    while (i < n) {
        const unsigned char b = static_cast<unsigned char>(data[i]);
        if (b == '"' || b == '\\' || b < 0x20) return i;
        high |= b >= 0x80;
        ++i;
    }
    return n;
}

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string describe(const Value& v) {
    switch (v.kind()) {
        case Value::Kind::null: return "null";
        case Value::Kind::boolean: return v.as_bool() ? "boolean `true`" : "boolean `false`";
        case Value::Kind::unsigned_integer: return text::format("integer `{}`", v.as_unsigned());
        case Value::Kind::signed_integer: return text::format("integer `{}`", v.as_signed());
        case Value::Kind::floating: return "floating point `" + format_float(v.as_float()) + "`";
        case Value::Kind::string: return "string " + quote_debug(v.as_string());
        case Value::Kind::array: return "sequence";
        case Value::Kind::object: return "map";
    }
    return "null";
}

// ---------------------------------------------------------------------------
// Values
// ---------------------------------------------------------------------------

Value Value::floating(double d) {
    if (!std::isfinite(d)) return Value();
    return Value(Data(std::in_place_index<4>, d));
}

double Value::number_as_double() const {
    switch (kind()) {
        case Kind::unsigned_integer: return static_cast<double>(as_unsigned());
        case Kind::signed_integer: return static_cast<double>(as_signed());
        case Kind::floating: return as_float();
        default: return 0.0;
    }
}

namespace {
constexpr std::size_t small_object = 64;  // members
}  // namespace

Object Object::from_members(std::vector<Member> members) {
    Object o;
    const bool ascending = std::adjacent_find(members.begin(), members.end(), [](const Member& a, const Member& b) {
                               return !(a.key < b.key);
                           }) == members.end();
    if (!ascending) {
        // Sorted by positions (stable: equal keys keep document order), then moved
        // and thinned where they stand, without a second array of members.
        std::vector<std::uint32_t> order =
            text::byte_order(members.size(), [&](std::size_t i) { return std::string_view(members[i].key); });
        detail::permute_in_place(members, order);
        detail::keep_last_of_runs(members, [](const Member& a, const Member& b) { return a.key == b.key; });
    }
    // Read members come in a vector grown by doubling: a document of many small
    // objects would keep up to twice the room their members need. A large object
    // keeps its room, rather than be copied once more at its largest.
    if (members.capacity() <= small_object) members.shrink_to_fit();
    o.members_ = std::move(members);
    return o;
}

const Value* Object::find(std::string_view key) const {
    auto it = std::lower_bound(members_.begin(), members_.end(), key,
                               [](const Member& m, std::string_view k) { return m.key < k; });
    if (it != members_.end() && it->key == key) return &it->value;
    return nullptr;
}

Value* Object::find(std::string_view key) {
    return const_cast<Value*>(static_cast<const Object*>(this)->find(key));
}

void Object::insert_or_assign(std::string key, Value value) {
    auto it = std::lower_bound(members_.begin(), members_.end(), key,
                               [](const Member& m, const std::string& k) { return m.key < k; });
    if (it != members_.end() && it->key == key) {
        it->value = std::move(value);
    } else {
        members_.insert(it, Member{std::move(key), std::move(value)});
    }
}

void Object::push_back_sorted(std::string key, Value value) {
    members_.push_back(Member{std::move(key), std::move(value)});
}

// ---------------------------------------------------------------------------
// Number forms
// ---------------------------------------------------------------------------

void append_float(std::string& out, double d) {
    if (!std::isfinite(d)) {
        out += "null";
        return;
    }
    if (std::signbit(d)) out += '-';
    d = std::fabs(d);
    if (d == 0.0) {
        out += "0.0";
        return;
    }
    // Shortest round-trip digits, nearest to the exact value among the shortest.
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, d, std::chars_format::scientific);
    (void)ec;
    std::string_view sci(buffer, static_cast<std::size_t>(end - buffer));
    std::size_t e_pos = sci.find('e');
    char digits[32];
    int n = 0;
    for (std::size_t i = 0; i < e_pos; ++i) {
        if (sci[i] != '.') digits[n++] = sci[i];
    }
    while (n > 1 && digits[n - 1] == '0') --n;
    int exp = 0;
    std::from_chars(sci.data() + e_pos + (sci[e_pos + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exp);
    if (exp >= -5 && exp <= 15) {
        if (n - 1 <= exp) {
            out.append(digits, static_cast<std::size_t>(n));
            out.append(static_cast<std::size_t>(exp - (n - 1)), '0');
            out += ".0";
        } else if (exp >= 0) {
            out.append(digits, static_cast<std::size_t>(exp + 1));
            out += '.';
            out.append(digits + exp + 1, static_cast<std::size_t>(n - exp - 1));
        } else {
            out += "0.";
            out.append(static_cast<std::size_t>(-exp - 1), '0');
            out.append(digits, static_cast<std::size_t>(n));
        }
    } else {
        out += digits[0];
        if (n > 1) {
            out += '.';
            out.append(digits + 1, static_cast<std::size_t>(n - 1));
        }
        out += 'e';
        out += exp >= 0 ? '+' : '-';
        char expbuf[8];
        auto [eend, eec] = std::to_chars(expbuf, expbuf + sizeof expbuf, exp >= 0 ? exp : -exp);
        (void)eec;
        out.append(expbuf, eend);
    }
}

std::string format_float(double d) {
    std::string out;
    append_float(out, d);
    return out;
}

// ---------------------------------------------------------------------------
// Writer
// ---------------------------------------------------------------------------

void Writer::unsigned_integer(std::uint64_t n) {
    put(20, [&](char* p) {
        auto [end, ec] = std::to_chars(p, p + 20, n);
        (void)ec;
        return static_cast<std::size_t>(end - p);
    });
}

void Writer::signed_integer(std::int64_t n) {
    char buffer[24];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, n);
    (void)ec;
    out_.append(buffer, end);
}

void Writer::string(std::string_view s) {
    static constexpr char hex[] = "0123456789abcdef";
    bool high = false;
    std::size_t first = scan_plain(s.data(), 0, s.size(), high);
    if (first == s.size()) {
        // Nothing to escape (identifiers always): one copy between the quotes.
        put(s.size() + 2, [&](char* p) {
            p[0] = '"';
            std::memcpy(p + 1, s.data(), s.size());
            p[s.size() + 1] = '"';
            return s.size() + 2;
        });
        return;
    }
    out_.push_back('"');
    std::size_t start = 0;
    for (std::size_t i = first; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out_.append(s.data() + start, i - start);
        start = i + 1;
        switch (c) {
            case '"': out_.append("\\\""); break;
            case '\\': out_.append("\\\\"); break;
            case 0x08: out_.append("\\b"); break;
            case 0x09: out_.append("\\t"); break;
            case 0x0A: out_.append("\\n"); break;
            case 0x0C: out_.append("\\f"); break;
            case 0x0D: out_.append("\\r"); break;
            default: {
                char esc[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
                out_.append(esc, 6);
            }
        }
    }
    out_.append(s.data() + start, s.size() - start);
    out_.push_back('"');
}

void Writer::value(const Value& v) {
    switch (v.kind()) {
        case Value::Kind::null: null(); return;
        case Value::Kind::boolean: boolean(v.as_bool()); return;
        case Value::Kind::unsigned_integer: unsigned_integer(v.as_unsigned()); return;
        case Value::Kind::signed_integer: signed_integer(v.as_signed()); return;
        case Value::Kind::floating: floating(v.as_float()); return;
        case Value::Kind::string: string(v.as_string()); return;
        case Value::Kind::array: {
            raw('[');
            bool first = true;
            for (const Value& e : v.as_array()) {
                if (!first) raw(',');
                first = false;
                value(e);
            }
            raw(']');
            return;
        }
        case Value::Kind::object: {
            raw('{');
            bool first = true;
            for (const Member& m : v.as_object()) {
                if (!first) raw(',');
                first = false;
                string(m.key);
                raw(':');
                value(m.value);
            }
            raw('}');
            return;
        }
    }
}

// ---------------------------------------------------------------------------
// Text reader: errors and structure
// ---------------------------------------------------------------------------

bool TextReader::fail_at(std::string message, std::size_t pos) {
    if (!failed_) {
        failed_ = true;
        positioned_ = true;
        error_pos_ = std::min(pos, text_.size());
        error_message_ = std::move(message);
    }
    return false;
}

bool TextReader::error(std::string_view message) { return fail_at(std::string(message), idx_); }

bool TextReader::peek_error(std::string_view message) { return fail_at(std::string(message), idx_ + 1); }

bool TextReader::custom(std::string message) {
    if (!failed_) {
        failed_ = true;
        positioned_ = false;
        error_message_ = std::move(message);
    }
    return false;
}

void TextReader::fix_position() noexcept {
    if (failed_ && !positioned_) {
        positioned_ = true;
        error_pos_ = std::min(idx_, text_.size());
    }
}

Error TextReader::take_error() const {
    Error e{error_message_, 0, 0};
    if (!positioned_) return e;
    std::string_view before = text_.substr(0, error_pos_);
    std::size_t line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < before.size(); ++i) {
        if (before[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    e.line = line;
    e.column = error_pos_ - line_start;
    return e;
}

bool TextReader::enter() {
    if (--remaining_depth_ == 0) return peek_error("recursion limit exceeded");
    return true;
}

namespace {
constexpr int member_end = -2;    // the container closes here
constexpr int member_error = -3;  // reported
}  // namespace

// The separator before a container's next member: the first byte of the member
// (still the closer after a trailing comma, -1 at the end of the text), or one of
// the two marks above.
int TextReader::next_member(bool& first, char closer, std::string_view unexpected, std::string_view eof) {
    int c = parse_whitespace();
    if (c == closer) return member_end;
    if (c == ',' && !first) {
        eat();
        return parse_whitespace();
    }
    if (c < 0) {
        peek_error(eof);
        return member_error;
    }
    if (!first) {
        peek_error(unexpected);
        return member_error;
    }
    first = false;
    return c;
}

int TextReader::next_element(bool& first) {
    int c = next_member(first, ']', "expected `,` or `]`", "EOF while parsing a list");
    if (c == member_end) return 0;
    if (c == member_error) return -1;
    if (c == ']') {
        peek_error("trailing comma");
        return -1;
    }
    if (c < 0) {
        peek_error("EOF while parsing a value");
        return -1;
    }
    return 1;
}

int TextReader::next_key(bool& first, std::string& scratch, std::string_view& key) {
    int c = next_member(first, '}', "expected `,` or `}`", "EOF while parsing an object");
    if (c == member_end) return 0;
    if (c == member_error) return -1;
    if (c == '"') {
        eat();
        return parse_str_view(scratch, key) ? 1 : -1;
    }
    if (c == '}') {
        peek_error("trailing comma");
    } else if (c < 0) {
        peek_error("EOF while parsing a value");
    } else {
        peek_error("key must be a string");
    }
    return -1;
}

bool TextReader::parse_object_colon() {
    int c = parse_whitespace();
    if (c == ':') {
        eat();
        return true;
    }
    if (c >= 0) return peek_error("expected `:`");
    return peek_error("EOF while parsing an object");
}

bool TextReader::end_seq(bool body_ok) {
    if (!body_ok) {
        // An unpositioned error is placed past the value, the white space after
        // it and, when the array ends right there, its closing bracket.
        if (!positioned_ && parse_whitespace() == ']') eat();
        return false;
    }
    int c = parse_whitespace();
    if (c == ']') {
        eat();
        return true;
    }
    if (c == ',') {
        eat();
        if (parse_whitespace() == ']') return peek_error("trailing comma");
        return peek_error("trailing characters");
    }
    if (c >= 0) return peek_error("trailing characters");
    return peek_error("EOF while parsing a list");
}

bool TextReader::end_map(bool body_ok) {
    if (!body_ok) {
        if (!positioned_ && parse_whitespace() == '}') eat();
        return false;
    }
    int c = parse_whitespace();
    if (c == '}') {
        eat();
        return true;
    }
    if (c == ',') return peek_error("trailing comma");
    if (c >= 0) return peek_error("trailing characters");
    return peek_error("EOF while parsing an object");
}

bool TextReader::end() {
    if (failed_) return false;
    if (parse_whitespace() >= 0) return peek_error("trailing characters");
    return true;
}

// ---------------------------------------------------------------------------
// Text reader: scalars
// ---------------------------------------------------------------------------

bool TextReader::parse_ident(std::string_view rest) {
    for (char expected : rest) {
        int c = next_char();
        if (c < 0) return error("EOF while parsing a value");
        if (c != static_cast<unsigned char>(expected)) return error("expected ident");
    }
    return true;
}

bool TextReader::decode_hex_escape(std::uint32_t& out) {
    if (idx_ + 4 > text_.size()) {
        idx_ = text_.size();
        return error("EOF while parsing a string");
    }
    std::uint32_t n = 0;
    for (int k = 0; k < 4; ++k) {
        int v = hex_value(static_cast<unsigned char>(text_[idx_]));
        ++idx_;
        if (v < 0) return error("invalid escape");
        n = (n << 4) | static_cast<std::uint32_t>(v);
    }
    out = n;
    return true;
}

bool TextReader::parse_escape(std::string& out) {
    int c = next_char();
    if (c < 0) return error("EOF while parsing a string");
    switch (c) {
        case '"': out.push_back('"'); return true;
        case '\\': out.push_back('\\'); return true;
        case '/': out.push_back('/'); return true;
        case 'b': out.push_back('\b'); return true;
        case 'f': out.push_back('\f'); return true;
        case 'n': out.push_back('\n'); return true;
        case 'r': out.push_back('\r'); return true;
        case 't': out.push_back('\t'); return true;
        case 'u': break;
        default: return error("invalid escape");
    }
    std::uint32_t n = 0;
    if (!decode_hex_escape(n)) return false;
    if (n >= 0xDC00 && n <= 0xDFFF) return error("lone leading surrogate in hex escape");
    if (n < 0xD800 || n > 0xDBFF) {
        text::append_utf8(out, n);
        return true;
    }
    // A leading surrogate must be followed by an escaped trailing one.
    if (peek() < 0) return error("EOF while parsing a string");
    if (peek() != '\\') {
        eat();
        return error("unexpected end of hex escape");
    }
    eat();
    if (peek() < 0) return error("EOF while parsing a string");
    if (peek() != 'u') {
        eat();
        return error("unexpected end of hex escape");
    }
    eat();
    std::uint32_t n2 = 0;
    if (!decode_hex_escape(n2)) return false;
    if (n2 < 0xDC00 || n2 > 0xDFFF) return error("lone leading surrogate in hex escape");
    text::append_utf8(out, (((n - 0xD800) << 10) | (n2 - 0xDC00)) + 0x10000);
    return true;
}

bool TextReader::parse_str_view(std::string& scratch, std::string_view& out) {
    std::size_t start = idx_;
    const std::size_t n = text_.size();
    const char* data = text_.data();
    bool high = false;
    bool copied = false;
    for (;;) {
        idx_ = scan_plain(data, idx_, n, high);
        if (idx_ == n) return error("EOF while parsing a string");
        unsigned char b = static_cast<unsigned char>(data[idx_]);
        if (b == '"') {
            std::string_view raw(data + start, idx_ - start);
            ++idx_;
            if (copied) {
                scratch.append(raw);
                out = scratch;
            } else {
                out = raw;
            }
            if (high && !text::is_valid_utf8(out)) return error("invalid unicode code point");
            return true;
        }
        if (b == '\\') {
            if (!copied) {
                scratch.clear();
                copied = true;
            }
            scratch.append(data + start, idx_ - start);
            ++idx_;
            if (!parse_escape(scratch)) return false;
            start = idx_;
        } else {
            ++idx_;
            return error("control character (\\u0000-\\u001F) found while parsing a string");
        }
    }
}

bool TextReader::parse_str(std::string& out) {
    std::string_view view;
    if (!parse_str_view(out, view)) return false;
    if (view.data() != out.data()) out.assign(view);
    return true;
}

bool TextReader::ignore_str() {
    const std::size_t n = text_.size();
    bool high = false;  // not needed: a skipped string's encoding is not checked
    for (;;) {
        idx_ = scan_plain(text_.data(), idx_, n, high);
        if (idx_ == n) return error("EOF while parsing a string");
        unsigned char b = static_cast<unsigned char>(text_[idx_]);
        if (b == '"') {
            ++idx_;
            return true;
        }
        if (b == '\\') {
            ++idx_;
            int c = next_char();
            if (c < 0) return error("EOF while parsing a string");
            switch (c) {
                case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't': break;
                case 'u': {
                    // Only the four hex digits matter here; pairing is a concern of
                    // strings that are kept.
                    std::uint32_t ignored = 0;
                    if (!decode_hex_escape(ignored)) return false;
                    break;
                }
                default: return error("invalid escape");
            }
        } else {
            ++idx_;
            return error("control character (\\u0000-\\u001F) found while parsing a string");
        }
    }
}

bool TextReader::parse_number(bool positive, Number& out) {
    const std::size_t start = positive ? idx_ : idx_ - 1;
    bool nonzero_digit = false;
    bool is_float = false;
    bool long_integer = false;
    std::uint64_t significand = 0;

    int c = next_char();
    if (c < 0) return error("EOF while parsing a value");
    if (c == '0') {
        if (is_digit(peek_or_null())) return peek_error("invalid number");
    } else if (c >= '1' && c <= '9') {
        nonzero_digit = true;
        significand = static_cast<std::uint64_t>(c - '0');
        while (is_digit(peek_or_null())) {
            std::uint64_t digit = static_cast<std::uint64_t>(peek_or_null() - '0');
            if (!long_integer && significand > (UINT64_MAX - digit) / 10) {
                long_integer = true;  // beyond 64 bits: read on as a float
                is_float = true;
            }
            if (!long_integer) significand = significand * 10 + digit;
            eat();
        }
    } else {
        return error("invalid number");
    }

    if (peek_or_null() == '.') {
        eat();
        bool any = false;
        while (is_digit(peek_or_null())) {
            nonzero_digit |= peek_or_null() != '0';
            any = true;
            eat();
        }
        if (!any) {
            if (peek() >= 0) return peek_error("invalid number");
            return peek_error("EOF while parsing a value");
        }
        is_float = true;
    }

    bool exponent_overflow = false;
    bool positive_exp = true;
    int e = peek_or_null();
    if (e == 'e' || e == 'E') {
        eat();
        if (peek_or_null() == '+') {
            eat();
        } else if (peek_or_null() == '-') {
            positive_exp = false;
            eat();
        }
        int d = next_char();
        if (d < 0) return error("EOF while parsing a value");
        if (!is_digit(d)) return error("invalid number");
        std::int64_t exp = d - '0';
        while (is_digit(peek_or_null())) {
            int digit = peek_or_null() - '0';
            eat();
            if (exp * 10 + digit > INT32_MAX) {
                if (nonzero_digit && positive_exp) return error("number out of range");
                while (is_digit(peek_or_null())) eat();
                exponent_overflow = true;
                break;
            }
            exp = exp * 10 + digit;
        }
        is_float = true;
    }

    if (!is_float) {
        if (positive) {
            out.kind = Number::Kind::unsigned_integer;
            out.u = significand;
        } else if (significand == 0) {
            out.kind = Number::Kind::floating;
            out.f = -0.0;
        } else if (significand <= (std::uint64_t{1} << 63)) {
            out.kind = Number::Kind::signed_integer;
            out.i = static_cast<std::int64_t>(0 - significand);
        } else {
            out.kind = Number::Kind::floating;
            out.f = -static_cast<double>(significand);
        }
        return true;
    }

    out.kind = Number::Kind::floating;
    if (exponent_overflow) {
        out.f = positive ? 0.0 : -0.0;
        return true;
    }
    const char* first = text_.data() + start;
    const char* last = text_.data() + idx_;
    double value = 0.0;
    auto [ptr, ec] = std::from_chars(first, last, value);
    (void)ptr;
    if (ec == std::errc::result_out_of_range) {
        if (!nonzero_digit) {
            value = 0.0;
        } else {
            // Decide between overflow and underflow from the decimal magnitude.
            std::string_view num(first, static_cast<std::size_t>(last - first));
            std::size_t p = num.front() == '-' ? 1 : 0;
            std::int64_t magnitude = 0;
            std::size_t int_end = p;
            while (int_end < num.size() && is_digit(num[int_end])) ++int_end;
            std::size_t k = p;
            while (k < int_end && num[k] == '0') ++k;
            if (k < int_end) {
                magnitude = static_cast<std::int64_t>(int_end - k);
            } else if (int_end < num.size() && num[int_end] == '.') {
                std::size_t f = int_end + 1;
                std::int64_t zeros = 0;
                while (f < num.size() && num[f] == '0') ++f, ++zeros;
                magnitude = -zeros;
            }
            std::size_t epos = num.find_first_of("eE");
            if (epos != std::string_view::npos) {
                std::int64_t exp = 0;
                std::size_t q = epos + 1;
                bool neg = false;
                if (num[q] == '+' || num[q] == '-') neg = num[q++] == '-';
                for (; q < num.size(); ++q) exp = std::min<std::int64_t>(exp * 10 + (num[q] - '0'), INT64_C(1) << 40);
                magnitude += neg ? -exp : exp;
            }
            if (magnitude > 0) return error("number out of range");
            value = 0.0;
        }
        if (!positive) value = -value;
    }
    if (std::isinf(value)) return error("number out of range");
    out.f = value;
    return true;
}

bool TextReader::peek_invalid_type(std::string_view expected) {
    std::string found;
    switch (peek_or_null()) {
        case 'n':
            eat();
            if (!parse_ident("ull")) return false;
            found = "null";
            break;
        case 't':
            eat();
            if (!parse_ident("rue")) return false;
            found = "boolean `true`";
            break;
        case 'f':
            eat();
            if (!parse_ident("alse")) return false;
            found = "boolean `false`";
            break;
        case '-': {
            eat();
            Number n;
            if (!parse_number(false, n)) return false;
            found = describe_number(n);
            break;
        }
        case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9': {
            Number n;
            if (!parse_number(true, n)) return false;
            found = describe_number(n);
            break;
        }
        case '"': {
            eat();
            std::string s;
            if (!parse_str(s)) return false;
            found = "string " + quote_debug(s);
            break;
        }
        case '[': found = "sequence"; break;
        case '{': found = "map"; break;
        default: return peek_error("expected value");
    }
    custom(invalid_type_message(found, expected));
    fix_position();
    return false;
}

// ---------------------------------------------------------------------------
// Text reader: values
// ---------------------------------------------------------------------------

bool TextReader::read_value(Value& out) {
    int c = parse_whitespace();
    if (c < 0) return peek_error("EOF while parsing a value");
    bool ok = true;
    switch (c) {
        case 'n':
            eat();
            ok = parse_ident("ull");
            out = Value();
            break;
        case 't':
            eat();
            ok = parse_ident("rue");
            out = Value::boolean(true);
            break;
        case 'f':
            eat();
            ok = parse_ident("alse");
            out = Value::boolean(false);
            break;
        case '-': {
            eat();
            Number n;
            ok = parse_number(false, n);
            if (ok) out = number_value(n);
            break;
        }
        case '"': {
            eat();
            std::string s;
            ok = parse_str(s);
            if (ok) out = Value::string(std::move(s));
            break;
        }
        case '[': {
            if (!enter()) return false;
            eat();
            Array items;
            bool first = true;
            for (;;) {
                int r = next_element(first);
                if (r < 0) {
                    ok = false;
                    break;
                }
                if (r == 0) break;
                items.emplace_back();
                if (!read_value(items.back())) {
                    ok = false;
                    break;
                }
            }
            leave();
            ok = end_seq(ok);
            if (ok) out = Value::array(std::move(items));
            break;
        }
        case '{': {
            if (!enter()) return false;
            eat();
            std::vector<Member> members;
            bool first = true;
            std::string scratch;
            std::string_view key;
            for (;;) {
                int r = next_key(first, scratch, key);
                if (r < 0) {
                    ok = false;
                    break;
                }
                if (r == 0) break;
                members.push_back(Member{std::string(key), Value()});
                if (!parse_object_colon() || !read_value(members.back().value)) {
                    ok = false;
                    break;
                }
            }
            leave();
            ok = end_map(ok);
            if (ok) out = Value::object(Object::from_members(std::move(members)));
            break;
        }
        default:
            if (is_digit(c)) {
                Number n;
                ok = parse_number(true, n);
                if (ok) out = number_value(n);
            } else {
                return peek_error("expected value");
            }
    }
    if (!ok) fix_position();
    return ok;
}

bool TextReader::ignore_integer() {
    int c = next_char();
    if (c == '0') {
        if (is_digit(peek_or_null())) return peek_error("invalid number");
    } else if (c >= '1' && c <= '9') {
        while (is_digit(peek_or_null())) eat();
    } else {
        return error("invalid number");
    }
    int d = peek_or_null();
    if (d == '.') {
        eat();
        bool any = false;
        while (is_digit(peek_or_null())) {
            eat();
            any = true;
        }
        if (!any) return peek_error("invalid number");
        d = peek_or_null();
    }
    if (d == 'e' || d == 'E') return ignore_exponent();
    return true;
}

bool TextReader::ignore_exponent() {
    eat();
    int s = peek_or_null();
    if (s == '+' || s == '-') eat();
    int c = next_char();
    if (!is_digit(c)) return error("invalid number");
    while (is_digit(peek_or_null())) eat();
    return true;
}

bool TextReader::skip_value() {
    // Iterative, so that an ignored value of any depth cannot exhaust the stack.
    std::vector<char> stack;
    char enclosing = 0;
    for (;;) {
        int c = parse_whitespace();
        if (c < 0) return peek_error("EOF while parsing a value");
        char frame = 0;
        switch (c) {
            case 'n':
                eat();
                if (!parse_ident("ull")) return false;
                break;
            case 't':
                eat();
                if (!parse_ident("rue")) return false;
                break;
            case 'f':
                eat();
                if (!parse_ident("alse")) return false;
                break;
            case '-':
                eat();
                if (!ignore_integer()) return false;
                break;
            case '"':
                eat();
                if (!ignore_str()) return false;
                break;
            case '[':
            case '{':
                if (enclosing) stack.push_back(enclosing);
                enclosing = 0;
                eat();
                frame = static_cast<char>(c);
                break;
            default:
                if (is_digit(c)) {
                    if (!ignore_integer()) return false;
                } else {
                    return peek_error("expected value");
                }
        }
        bool accept_comma;
        if (frame) {
            accept_comma = false;
        } else if (enclosing) {
            frame = enclosing;
            enclosing = 0;
            accept_comma = true;
        } else if (!stack.empty()) {
            frame = stack.back();
            stack.pop_back();
            accept_comma = true;
        } else {
            return true;
        }
        for (;;) {
            int d = parse_whitespace();
            if (d == ',' && accept_comma) {
                eat();
                break;
            }
            if ((d == ']' && frame == '[') || (d == '}' && frame == '{')) {
                eat();
                if (stack.empty()) return true;
                frame = stack.back();
                stack.pop_back();
                accept_comma = true;
                continue;
            }
            if (d >= 0) {
                if (accept_comma) return peek_error(frame == '[' ? "expected `,` or `]`" : "expected `,` or `}`");
                break;
            }
            return peek_error(frame == '[' ? "EOF while parsing a list" : "EOF while parsing an object");
        }
        if (frame == '{') {
            int d = parse_whitespace();
            if (d == '"') {
                eat();
            } else if (d >= 0) {
                return peek_error("key must be a string");
            } else {
                return peek_error("EOF while parsing an object");
            }
            if (!ignore_str()) return false;
            d = parse_whitespace();
            if (d == ':') {
                eat();
            } else if (d >= 0) {
                return peek_error("expected `:`");
            } else {
                return peek_error("EOF while parsing an object");
            }
        }
        enclosing = frame;
    }
}

bool TextReader::read_string(std::string& out) {
    int c = parse_whitespace();
    if (c < 0) return peek_error("EOF while parsing a value");
    if (c == '"') {
        eat();
        return parse_str(out);
    }
    return peek_invalid_type("a string");
}

bool TextReader::read_bool(bool& out) {
    int c = parse_whitespace();
    if (c < 0) return peek_error("EOF while parsing a value");
    if (c == 't') {
        eat();
        out = true;
        return parse_ident("rue");
    }
    if (c == 'f') {
        eat();
        out = false;
        return parse_ident("alse");
    }
    return peek_invalid_type("a boolean");
}

bool TextReader::read_unsigned(std::uint64_t& out, std::uint64_t max, std::string_view expected) {
    int c = parse_whitespace();
    if (c < 0) return peek_error("EOF while parsing a value");
    Number n;
    if (c == '-') {
        eat();
        if (!parse_number(false, n)) return false;
    } else if (is_digit(c)) {
        if (!parse_number(true, n)) return false;
    } else {
        return peek_invalid_type(expected);
    }
    switch (n.kind) {
        case Number::Kind::unsigned_integer:
            if (n.u <= max) {
                out = n.u;
                return true;
            }
            custom(invalid_value_message(describe_number(n), expected));
            break;
        case Number::Kind::signed_integer: custom(invalid_value_message(describe_number(n), expected)); break;
        case Number::Kind::floating: custom(invalid_type_message(describe_number(n), expected)); break;
    }
    fix_position();
    return false;
}

bool TextReader::read_float(double& out) {
    int c = parse_whitespace();
    if (c < 0) return peek_error("EOF while parsing a value");
    Number n;
    if (c == '-') {
        eat();
        if (!parse_number(false, n)) return false;
    } else if (is_digit(c)) {
        if (!parse_number(true, n)) return false;
    } else {
        return peek_invalid_type("f64");
    }
    switch (n.kind) {
        case Number::Kind::unsigned_integer: out = static_cast<double>(n.u); break;
        case Number::Kind::signed_integer: out = static_cast<double>(n.i); break;
        case Number::Kind::floating: out = n.f; break;
    }
    return true;
}

std::expected<Value, Error> parse(std::string_view text) {
    TextReader in(text);
    Value v;
    if (!in.read_value(v) || !in.end()) return std::unexpected(in.take_error());
    return v;
}

// ---------------------------------------------------------------------------
// Value reader
// ---------------------------------------------------------------------------

bool ValueReader::invalid_type(const Value& found, std::string_view expected) {
    return fail(invalid_type_message(describe(found), expected));
}

bool ValueReader::read_string(const Value& v, std::string& out) {
    if (!v.is_string()) return invalid_type(v, "a string");
    out = v.as_string();
    return true;
}

bool ValueReader::read_bool(const Value& v, bool& out) {
    if (!v.is_bool()) return invalid_type(v, "a boolean");
    out = v.as_bool();
    return true;
}

bool ValueReader::read_unsigned(const Value& v, std::uint64_t& out, std::uint64_t max, std::string_view expected) {
    switch (v.kind()) {
        case Value::Kind::unsigned_integer:
            if (v.as_unsigned() <= max) {
                out = v.as_unsigned();
                return true;
            }
            return fail(invalid_value_message(describe(v), expected));
        case Value::Kind::signed_integer: return fail(invalid_value_message(describe(v), expected));
        default: return invalid_type(v, expected);
    }
}

bool ValueReader::read_float(const Value& v, double& out) {
    if (!v.is_number()) return invalid_type(v, "f64");
    out = v.number_as_double();
    return true;
}

// ---------------------------------------------------------------------------
// Enumerations
// ---------------------------------------------------------------------------

namespace {
bool find_name(std::string_view s, const std::string_view* names, std::size_t count, std::size_t& index) {
    for (std::size_t i = 0; i < count; ++i) {
        if (names[i] == s) {
            index = i;
            return true;
        }
    }
    return false;
}
}  // namespace

bool read_enum_text(TextReader& in, const std::string_view* names, std::size_t count, std::size_t& index) {
    int c = in.parse_whitespace();
    if (c == '"') {
        in.eat();
        std::string s;
        if (!in.parse_str(s)) return false;
        if (!find_name(s, names, count, index)) return in.error(unknown_variant(s, names, count));
        return true;
    }
    if (c == '{') {
        if (!in.enter()) return false;
        in.eat();
        int d = in.parse_whitespace();
        if (d < 0) return in.peek_error("EOF while parsing a value");
        if (d != '"') return in.peek_invalid_type("variant identifier");
        in.eat();
        std::string s;
        if (!in.parse_str(s)) return false;
        if (!find_name(s, names, count, index)) return in.error(unknown_variant(s, names, count));
        if (!in.parse_object_colon()) return false;
        d = in.parse_whitespace();
        if (d < 0) return in.peek_error("EOF while parsing a value");
        if (d != 'n') return in.peek_invalid_type("unit");
        in.eat();
        if (!in.parse_ident("ull")) return false;
        in.leave();
        d = in.parse_whitespace();
        if (d == '}') {
            in.eat();
            return true;
        }
        if (d >= 0) return in.error("expected value");
        return in.error("EOF while parsing an object");
    }
    if (c < 0) return in.peek_error("EOF while parsing a value");
    return in.peek_error("expected value");
}

bool read_enum_value(ValueReader& in, const Value& v, const std::string_view* names, std::size_t count,
                     std::size_t& index) {
    if (v.is_string()) {
        if (!find_name(v.as_string(), names, count, index)) return in.fail(unknown_variant(v.as_string(), names, count));
        return true;
    }
    if (v.is_object()) {
        const Object& o = v.as_object();
        if (o.size() != 1) return in.fail(invalid_value_message("map", "map with a single key"));
        const Member& m = *o.begin();
        if (!find_name(m.key, names, count, index)) return in.fail(unknown_variant(m.key, names, count));
        if (!m.value.is_null()) return in.invalid_type(m.value, "unit");
        return true;
    }
    return in.invalid_type(v, "string or map");
}

}  // namespace veltrinax::json
