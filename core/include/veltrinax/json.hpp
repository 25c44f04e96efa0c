#pragma once
// The JSON layer: generic values, the text reader, the reader over generic values,
// the compact writer, and the field-declaration machinery from which every
// contract record derives its reading (object and array forms, text and value
// routes), its writing and its conversion to a generic value.
//
// The reader reproduces, message for message and position for position, the
// reading behaviour the contracts were published with (a serde_json 1.0 reader):
// callers store and compare these texts. It knows no contract record and must
// never depend on one; records plug in through `Record<T>`, `Enum<T>` and
// `Codec<T>` specialisations declared next to the records themselves.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "veltrinax/text.hpp"

namespace veltrinax::json {

// ---------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------

// A reading or writing failure. `line` 0 means the error carries no position.
struct Error {
    std::string message;
    std::size_t line = 0;
    std::size_t column = 0;

    // The message, followed by " at line {} column {}" when positioned.
    std::string to_string() const;
    bool operator==(const Error&) const = default;
};

// ---------------------------------------------------------------------------
// Generic values
// ---------------------------------------------------------------------------

class Value;
struct Member;
using Array = std::vector<Value>;

// An object whose members are kept in ascending byte order of their keys, one
// member per key. Insertion order is not remembered.
class Object {
public:
    // Special members are defined below, once `Member` is complete.
    Object();
    ~Object();
    Object(const Object& other);
    Object(Object&& other) noexcept;
    Object& operator=(const Object& other);
    Object& operator=(Object&& other) noexcept;
    // Builds an object from members in document order: sorted, and of repeated
    // keys the last one kept.
    static Object from_members(std::vector<Member> members);

    using iterator = std::vector<Member>::iterator;
    using const_iterator = std::vector<Member>::const_iterator;
    std::size_t size() const noexcept;
    bool empty() const noexcept;
    const_iterator begin() const noexcept;
    const_iterator end() const noexcept;
    iterator begin() noexcept;
    iterator end() noexcept;

    const Value* find(std::string_view key) const;
    Value* find(std::string_view key);
    bool contains(std::string_view key) const { return find(key) != nullptr; }
    void insert_or_assign(std::string key, Value value);
    // Appends a member whose key is greater than every key already present.
    void push_back_sorted(std::string key, Value value);

    bool operator==(const Object& other) const;

private:
    std::vector<Member> members_;
};

class Value {
public:
    enum class Kind : std::uint8_t { null, boolean, unsigned_integer, signed_integer, floating, string, array, object };

    Value() = default;
    static Value boolean(bool b) { return Value(Data(std::in_place_index<1>, b)); }
    static Value unsigned_integer(std::uint64_t n) { return Value(Data(std::in_place_index<2>, n)); }
    // A non-negative value is held as an unsigned integer, as a reader would.
    static Value signed_integer(std::int64_t n) {
        if (n >= 0) return unsigned_integer(static_cast<std::uint64_t>(n));
        return Value(Data(std::in_place_index<3>, n));
    }
    // NaN and infinities become null, as the writer would write them.
    static Value floating(double d);
    static Value string(std::string s) { return Value(Data(std::in_place_index<5>, std::move(s))); }
    static Value array(Array a = {}) { return Value(Data(std::in_place_index<6>, std::move(a))); }
    static Value object(Object o = {}) { return Value(Data(std::in_place_index<7>, std::move(o))); }
    // A value that stands for `*shared` without a copy of it: it reads, writes and
    // compares as that value, and copies of it share it too. For one large value
    // that many records carry (an adapter's parameters in every step that uses the
    // adapter). Changing it through a non-const accessor first gives it a copy of
    // its own.
    static Value shared(std::shared_ptr<const Value> shared) {
        if (shared->data_.index() == shared_index) return *shared;  // one level only
        return Value(Data(std::in_place_index<shared_index>, std::move(shared)));
    }

    Kind kind() const noexcept { return static_cast<Kind>(data().index()); }
    bool is_null() const noexcept { return data().index() == 0; }
    bool is_bool() const noexcept { return data().index() == 1; }
    bool is_number() const noexcept { return data().index() >= 2 && data().index() <= 4; }
    bool is_string() const noexcept { return data().index() == 5; }
    bool is_array() const noexcept { return data().index() == 6; }
    bool is_object() const noexcept { return data().index() == 7; }

    bool as_bool() const { return std::get<1>(data()); }
    std::uint64_t as_unsigned() const { return std::get<2>(data()); }
    std::int64_t as_signed() const { return std::get<3>(data()); }
    double as_float() const { return std::get<4>(data()); }
    // Any number as the nearest double.
    double number_as_double() const;
    const std::string& as_string() const { return std::get<5>(data()); }
    std::string& as_string() { return std::get<5>(own()); }
    const Array& as_array() const { return std::get<6>(data()); }
    Array& as_array() { return std::get<6>(own()); }
    const Object& as_object() const { return std::get<7>(data()); }
    Object& as_object() { return std::get<7>(own()); }

    bool operator==(const Value& other) const { return data() == other.data(); }

private:
    using Data = std::variant<std::monostate, bool, std::uint64_t, std::int64_t, double, std::string, Array, Object,
                              std::shared_ptr<const Value>>;
    static constexpr std::size_t shared_index = 8;
    explicit Value(Data d) : data_(std::move(d)) {}
    // What the value holds, looking through a shared one.
    const Data& data() const noexcept {
        return data_.index() == shared_index ? std::get<shared_index>(data_)->data_ : data_;
    }
    Data& own() {
        if (data_.index() == shared_index) {
            Data copy = std::get<shared_index>(data_)->data_;
            data_ = std::move(copy);
        }
        return data_;
    }
    Data data_;
};

struct Member {
    std::string key;
    Value value;
    bool operator==(const Member&) const = default;
};

// Defined here, where `Member` is complete.
inline Object::Object() = default;
inline Object::~Object() = default;
inline Object::Object(const Object& other) = default;
inline Object::Object(Object&& other) noexcept = default;
inline Object& Object::operator=(const Object& other) = default;
inline Object& Object::operator=(Object&& other) noexcept = default;
inline std::size_t Object::size() const noexcept { return members_.size(); }
inline bool Object::empty() const noexcept { return members_.empty(); }
inline Object::const_iterator Object::begin() const noexcept { return members_.begin(); }
inline Object::const_iterator Object::end() const noexcept { return members_.end(); }
inline Object::iterator Object::begin() noexcept { return members_.begin(); }
inline Object::iterator Object::end() noexcept { return members_.end(); }
inline bool Object::operator==(const Object& other) const { return members_ == other.members_; }

// ---------------------------------------------------------------------------
// Sorted containers used by records (maps keyed by text or identifiers, sets)
// ---------------------------------------------------------------------------

namespace detail {

// Puts `items` in the order `order` gives (a permutation of their positions: the
// item at position i moves to the position where `order` holds i), following its
// cycles, so that no second array of items is needed. `order` is used up.
template <class T>
void permute_in_place(std::vector<T>& items, std::vector<std::uint32_t>& order) {
    constexpr std::uint32_t placed = 0xFFFFFFFFu;
    for (std::size_t start = 0; start < order.size(); ++start) {
        if (order[start] == placed) continue;
        if (order[start] == start) {
            order[start] = placed;
            continue;
        }
        T held = std::move(items[start]);
        std::size_t at = start;
        for (;;) {
            const std::size_t from = order[at];
            order[at] = placed;
            if (from == start) {
                items[at] = std::move(held);
                break;
            }
            items[at] = std::move(items[from]);
            at = from;
        }
    }
}

// Of each run of neighbours for which `same(item, next)` holds, keeps the last,
// in place.
template <class T, class Same>
void keep_last_of_runs(std::vector<T>& items, Same&& same) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i + 1 < items.size() && same(items[i], items[i + 1])) continue;
        if (kept != i) items[kept] = std::move(items[i]);
        ++kept;
    }
    items.erase(items.begin() + static_cast<std::ptrdiff_t>(kept), items.end());
}

}  // namespace detail

template <class K>
struct KeyCodec;  // how a map key reads and writes as text (below)

// A map kept as a vector sorted by key (byte order), one entry per key.
template <class K, class V>
class SortedMap {
public:
    using value_type = std::pair<K, V>;
    SortedMap() = default;
    SortedMap(std::initializer_list<value_type> init) {
        for (const auto& e : init) insert_or_assign(e.first, e.second);
    }
    // Builds the map from entries in document order; of repeated keys the last wins.
    static SortedMap from_entries(std::vector<value_type> entries) {
        SortedMap m;
        auto less = [](const value_type& a, const value_type& b) { return a.first < b.first; };
        if (std::adjacent_find(entries.begin(), entries.end(), [&](const value_type& a, const value_type& b) {
                return !less(a, b);
            }) == entries.end()) {
            m.entries_ = std::move(entries);  // already strictly ascending, as a writer leaves it
            return m;
        }
        std::vector<std::uint32_t> order;
        if constexpr (requires(const K& k) { KeyCodec<K>::to_text(k); }) {
            order = text::byte_order(entries.size(), [&](std::size_t i) { return KeyCodec<K>::to_text(entries[i].first); });
        } else {
            order.resize(entries.size());
            for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
            std::stable_sort(order.begin(), order.end(),
                             [&](std::uint32_t a, std::uint32_t b) { return less(entries[a], entries[b]); });
        }
        // Sorted and thinned where they stand: a second array of entries would
        // double the map at its largest.
        detail::permute_in_place(entries, order);
        // Of a run of equal keys the last in document order (the last of the run) wins.
        detail::keep_last_of_runs(entries, [&](const value_type& a, const value_type& b) { return !less(a, b); });
        m.entries_ = std::move(entries);
        return m;
    }
    std::size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }
    auto begin() const noexcept { return entries_.begin(); }
    auto end() const noexcept { return entries_.end(); }
    template <class Key>
    const V* find(const Key& key) const {
        auto it = std::lower_bound(entries_.begin(), entries_.end(), key,
                                   [](const value_type& e, const Key& k) { return e.first < k; });
        if (it != entries_.end() && !(key < it->first)) return &it->second;
        return nullptr;
    }
    template <class Key>
    bool contains(const Key& key) const { return find(key) != nullptr; }
    void insert_or_assign(K key, V value) {
        auto it = std::lower_bound(entries_.begin(), entries_.end(), key,
                                   [](const value_type& e, const K& k) { return e.first < k; });
        if (it != entries_.end() && !(key < it->first)) {
            it->second = std::move(value);
        } else {
            entries_.insert(it, value_type(std::move(key), std::move(value)));
        }
    }
    bool operator==(const SortedMap&) const = default;

private:
    std::vector<value_type> entries_;
};

// A set kept as a sorted vector without repeats.
template <class T>
class SortedSet {
public:
    SortedSet() = default;
    static SortedSet from_items(std::vector<T> items) {
        SortedSet s;
        std::sort(items.begin(), items.end());
        items.erase(std::unique(items.begin(), items.end()), items.end());
        s.items_ = std::move(items);
        return s;
    }
    std::size_t size() const noexcept { return items_.size(); }
    bool empty() const noexcept { return items_.empty(); }
    auto begin() const noexcept { return items_.begin(); }
    auto end() const noexcept { return items_.end(); }
    template <class Key>
    bool contains(const Key& key) const {
        auto it = std::lower_bound(items_.begin(), items_.end(), key);
        return it != items_.end() && !(key < *it);
    }
    bool operator==(const SortedSet&) const = default;

private:
    std::vector<T> items_;
};

// An optional value held behind a pointer: a pointer's size when absent. For a
// large member of a record that comes by the million and is mostly absent, where
// std::optional would keep the whole value's room in every record. It copies and
// compares as the value it holds, and offers the std::optional operations the
// records use.
template <class T>
class BoxedOptional {
public:
    BoxedOptional() noexcept = default;
    BoxedOptional(std::nullopt_t) noexcept {}
    BoxedOptional(const T& value) : value_(std::make_unique<T>(value)) {}
    BoxedOptional(T&& value) : value_(std::make_unique<T>(std::move(value))) {}
    BoxedOptional(const std::optional<T>& other) : value_(other ? std::make_unique<T>(*other) : nullptr) {}
    BoxedOptional(const BoxedOptional& other) : value_(other ? std::make_unique<T>(*other) : nullptr) {}
    BoxedOptional(BoxedOptional&&) noexcept = default;
    BoxedOptional& operator=(const BoxedOptional& other) {
        if (this != &other) value_ = other ? std::make_unique<T>(*other) : nullptr;
        return *this;
    }
    BoxedOptional& operator=(BoxedOptional&&) noexcept = default;
    ~BoxedOptional() = default;

    bool has_value() const noexcept { return value_ != nullptr; }
    explicit operator bool() const noexcept { return has_value(); }
    T& operator*() noexcept { return *value_; }
    const T& operator*() const noexcept { return *value_; }
    T* operator->() noexcept { return value_.get(); }
    const T* operator->() const noexcept { return value_.get(); }
    void reset() noexcept { value_.reset(); }
    template <class... Args>
    T& emplace(Args&&... args) {
        value_ = std::make_unique<T>(std::forward<Args>(args)...);
        return *value_;
    }

    friend bool operator==(const BoxedOptional& a, const BoxedOptional& b) {
        return a.has_value() == b.has_value() && (!a || *a == *b);
    }

private:
    std::unique_ptr<T> value_;
};

// An unsigned integer of machine word size; it reads and writes as a u64 but is
// named "usize" in reader messages.
struct usize {
    std::uint64_t value = 0;
    constexpr operator std::uint64_t() const noexcept { return value; }
    bool operator==(const usize&) const = default;
};

// ---------------------------------------------------------------------------
// Number forms
// ---------------------------------------------------------------------------

// Appends the shortest round-trip form of `d` (fixed notation with ".0" for
// decimal exponents -5..15, else "1e+16" style); NaN and infinities as "null".
void append_float(std::string& out, double d);
std::string format_float(double d);

// ---------------------------------------------------------------------------
// The compact writer
// ---------------------------------------------------------------------------

class Writer {
public:
    Writer() { out_.reserve(128); }
    explicit Writer(std::size_t reserve) { out_.reserve(reserve); }

    void null() { raw(std::string_view("null")); }
    void boolean(bool b) { raw(b ? std::string_view("true") : std::string_view("false")); }
    void unsigned_integer(std::uint64_t n);
    void signed_integer(std::int64_t n);
    void floating(double d) { append_float(out_, d); }
    void string(std::string_view s);
    void value(const Value& v);
    void raw(char c) {
        put(1, [&](char* p) {
            *p = c;
            return std::size_t{1};
        });
    }
    void raw(std::string_view s) {
        put(s.size(), [&](char* p) {
            std::memcpy(p, s.data(), s.size());
            return s.size();
        });
    }

    // `"key":`, after a comma unless `first`; for keys that need no escaping.
    void plain_key(std::string_view key, bool first) { plain_quoted(key, first, true); }
    // `"s"`, after a comma unless `first`, for a text known to need no escaping
    // (an identifier: only letters, digits, "-", "." and "_").
    void plain_string(std::string_view s, bool first) { plain_quoted(s, first, false); }

    std::string& buffer() noexcept { return out_; }
    std::string take() noexcept { return std::move(out_); }

private:
    // Appends at most `max` bytes written by `fill(p)`, which returns how many it
    // wrote. Capacity grows by doubling and is always reserved before the string
    // is told its new length, so the writes are plain stores. (Left to grow the
    // string itself, resize_and_overwrite in libstdc++ 12 records the requested
    // length as the new capacity, and every later append would reallocate.)
    template <class Fill>
    void put(std::size_t max, Fill&& fill) {
        const std::size_t at = out_.size();
        if (at + max > out_.capacity()) out_.reserve(std::max(at + max, 2 * out_.capacity()));
        out_.resize_and_overwrite(at + max, [&](char* p, std::size_t) { return at + fill(p + at); });
    }
    // `"s"` or `"s":`, after a comma unless `first`, without looking for escapes.
    void plain_quoted(std::string_view s, bool first, bool colon) {
        put(s.size() + 4, [&](char* p) {
            char* q = p;
            if (!first) *q++ = ',';
            *q++ = '"';
            std::memcpy(q, s.data(), s.size());
            q += s.size();
            *q++ = '"';
            if (colon) *q++ = ':';
            return static_cast<std::size_t>(q - p);
        });
    }

    std::string out_;
};

// ---------------------------------------------------------------------------
// The text reader
// ---------------------------------------------------------------------------

// A parsed JSON number in one of its three kinds.
struct Number {
    enum class Kind : std::uint8_t { unsigned_integer, signed_integer, floating } kind = Kind::unsigned_integer;
    std::uint64_t u = 0;
    std::int64_t i = 0;
    double f = 0.0;
};

// Reads JSON text. Every operation returns false on failure; the first failure is
// kept and ends the read. An error raised by a check on a value already read (an
// identifier, a missing or repeated field) has no position until the innermost
// enclosing array or object takes it over.
class TextReader {
public:
    explicit TextReader(std::string_view text) noexcept : text_(text) {}

    // -- scanning
    int peek() const noexcept { return idx_ < text_.size() ? static_cast<unsigned char>(text_[idx_]) : -1; }
    int peek_or_null() const noexcept { return idx_ < text_.size() ? static_cast<unsigned char>(text_[idx_]) : 0; }
    void eat() noexcept { ++idx_; }
    int next_char() noexcept {
        if (idx_ >= text_.size()) return -1;
        return static_cast<unsigned char>(text_[idx_++]);
    }
    // Skips white space; returns the next byte (not consumed) or -1 at the end.
    int parse_whitespace() noexcept {
        while (idx_ < text_.size()) {
            char c = text_[idx_];
            if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return static_cast<unsigned char>(c);
            ++idx_;
        }
        return -1;
    }
    std::size_t index() const noexcept { return idx_; }
    std::string_view text() const noexcept { return text_; }

    // -- errors
    bool failed() const noexcept { return failed_; }
    bool error(std::string_view message);       // positioned at the current index
    bool peek_error(std::string_view message);  // positioned just past the next byte
    bool custom(std::string message);           // not positioned yet
    void fix_position() noexcept;               // positions an unpositioned error here
    Error take_error() const;                   // resolves line and column

    // -- nesting (the outermost container counts as level 1; level 128 fails)
    bool enter();
    void leave() noexcept { ++remaining_depth_; }

    // -- containers. `next_element` / `next_key` return 1 for an element or key,
    // 0 at the end of the container (closing byte not consumed), -1 on error.
    int next_element(bool& first);
    int next_key(bool& first, std::string& scratch, std::string_view& key);
    bool parse_object_colon();
    bool end_seq(bool body_ok);
    bool end_map(bool body_ok);

    // -- scalars
    bool parse_ident(std::string_view rest);
    bool parse_str(std::string& out);  // after the opening quote
    // After the opening quote: a view into the text when the string has no
    // escapes, else into `scratch`.
    bool parse_str_view(std::string& scratch, std::string_view& out);
    // At an opening quote: when the string that follows holds only bytes for
    // which `plain[byte]` is true, ends at its first closing quote and is
    // `min_size` to `max_size` bytes long, sets `out` to its contents, moves past
    // the closing quote and returns true. Otherwise moves nothing and returns
    // false, so the full reader can take over at the same place (with the outcome
    // it would have had in the first place).
    bool try_plain_string(const bool* plain, std::size_t min_size, std::size_t max_size,
                          std::string_view& out) noexcept {
        const char* data = text_.data();
        const std::size_t n = text_.size();
        const std::size_t start = idx_ + 1;
        std::size_t i = start;
        while (i < n && plain[static_cast<unsigned char>(data[i])]) ++i;
        if (i >= n || data[i] != '"' || i - start < min_size || i - start > max_size) return false;
        out = std::string_view(data + start, i - start);
        idx_ = i + 1;
        return true;
    }
    bool ignore_str();
    bool parse_number(bool positive, Number& out);  // after an optional minus sign
    bool peek_invalid_type(std::string_view expected);

    // -- values
    bool read_value(Value& out);  // any JSON value, nesting limit applies
    bool skip_value();            // syntax only, iterative, no nesting limit
    bool read_string(std::string& out);
    bool read_bool(bool& out);
    bool read_unsigned(std::uint64_t& out, std::uint64_t max, std::string_view expected);
    bool read_float(double& out);
    bool end();  // only white space may follow

private:
    bool fail_at(std::string message, std::size_t pos);
    int next_member(bool& first, char closer, std::string_view unexpected, std::string_view eof);
    bool ignore_integer();
    bool ignore_exponent();
    bool parse_escape(std::string& out);
    bool decode_hex_escape(std::uint32_t& out);

    std::string_view text_;
    std::size_t idx_ = 0;
    int remaining_depth_ = 128;
    bool failed_ = false;
    bool positioned_ = false;
    std::size_t error_pos_ = 0;
    std::string error_message_;
};

// ---------------------------------------------------------------------------
// The reader over generic values (errors carry no position)
// ---------------------------------------------------------------------------

class ValueReader {
public:
    bool fail(std::string message) {
        if (!failed_) {
            failed_ = true;
            message_ = std::move(message);
        }
        return false;
    }
    bool failed() const noexcept { return failed_; }
    Error take_error() const { return Error{message_, 0, 0}; }
    bool invalid_type(const Value& found, std::string_view expected);
    bool read_string(const Value& v, std::string& out);
    bool read_bool(const Value& v, bool& out);
    bool read_unsigned(const Value& v, std::uint64_t& out, std::uint64_t max, std::string_view expected);
    bool read_float(const Value& v, double& out);

private:
    bool failed_ = false;
    std::string message_;
};

// ---------------------------------------------------------------------------
// Message pieces shared by the codecs
// ---------------------------------------------------------------------------

// "`a`", "`a` or `b`", "one of `a`, `b`, `c`".
std::string expected_list(const std::string_view* names, std::size_t count);
// "unknown variant `{}`, expected {}" / "..., there are no variants".
std::string unknown_variant(std::string_view found, const std::string_view* names, std::size_t count);
// "unknown field `{}`, expected {}" / "..., there are no fields".
std::string unknown_field(std::string_view found, const std::string_view* names, std::size_t count);
std::string missing_field(std::string_view name);
std::string duplicate_field(std::string_view name);
std::string invalid_length(std::size_t given, std::string_view expected);
// "struct X with N elements" (singular for one).
std::string struct_with_elements(std::string_view name, std::size_t count);
// The found part of a type message for a generic value ("null", "integer `3`", ...).
std::string describe(const Value& v);
std::string invalid_type_message(std::string_view found, std::string_view expected);
std::string invalid_value_message(std::string_view found, std::string_view expected);

// ---------------------------------------------------------------------------
// Codecs: how one C++ type reads (both routes), writes and becomes a value
// ---------------------------------------------------------------------------

template <class T, class = void>
struct Codec;  // specialised per type below and next to the records

template <class T>
concept Codable = requires { sizeof(Codec<T>); };

template <>
struct Codec<std::string> {
    static bool read(TextReader& in, std::string& out) { return in.read_string(out); }
    static bool read(ValueReader& in, const Value& v, std::string& out) { return in.read_string(v, out); }
    static void write(Writer& w, const std::string& s) { w.string(s); }
    static Value to_value(const std::string& s) { return Value::string(s); }
};

template <>
struct Codec<bool> {
    static bool read(TextReader& in, bool& out) { return in.read_bool(out); }
    static bool read(ValueReader& in, const Value& v, bool& out) { return in.read_bool(v, out); }
    static void write(Writer& w, bool b) { w.boolean(b); }
    static Value to_value(bool b) { return Value::boolean(b); }
};

template <>
struct Codec<std::uint64_t> {
    static bool read(TextReader& in, std::uint64_t& out) { return in.read_unsigned(out, UINT64_MAX, "u64"); }
    static bool read(ValueReader& in, const Value& v, std::uint64_t& out) {
        return in.read_unsigned(v, out, UINT64_MAX, "u64");
    }
    static void write(Writer& w, std::uint64_t n) { w.unsigned_integer(n); }
    static Value to_value(std::uint64_t n) { return Value::unsigned_integer(n); }
};

template <>
struct Codec<std::uint32_t> {
    static bool read(TextReader& in, std::uint32_t& out) {
        std::uint64_t n = 0;
        if (!in.read_unsigned(n, UINT32_MAX, "u32")) return false;
        out = static_cast<std::uint32_t>(n);
        return true;
    }
    static bool read(ValueReader& in, const Value& v, std::uint32_t& out) {
        std::uint64_t n = 0;
        if (!in.read_unsigned(v, n, UINT32_MAX, "u32")) return false;
        out = static_cast<std::uint32_t>(n);
        return true;
    }
    static void write(Writer& w, std::uint32_t n) { w.unsigned_integer(n); }
    static Value to_value(std::uint32_t n) { return Value::unsigned_integer(n); }
};

template <>
struct Codec<usize> {
    static bool read(TextReader& in, usize& out) { return in.read_unsigned(out.value, UINT64_MAX, "usize"); }
    static bool read(ValueReader& in, const Value& v, usize& out) {
        return in.read_unsigned(v, out.value, UINT64_MAX, "usize");
    }
    static void write(Writer& w, usize n) { w.unsigned_integer(n.value); }
    static Value to_value(usize n) { return Value::unsigned_integer(n.value); }
};

template <>
struct Codec<double> {
    static bool read(TextReader& in, double& out) { return in.read_float(out); }
    static bool read(ValueReader& in, const Value& v, double& out) { return in.read_float(v, out); }
    static void write(Writer& w, double d) { w.floating(d); }
    static Value to_value(double d) { return Value::floating(d); }
};

template <>
struct Codec<Value> {
    static bool read(TextReader& in, Value& out) { return in.read_value(out); }
    static bool read(ValueReader&, const Value& v, Value& out) {
        out = v;
        return true;
    }
    static void write(Writer& w, const Value& v) { w.value(v); }
    static Value to_value(const Value& v) { return v; }
};

template <class T>
struct Codec<std::optional<T>> {
    static bool read(TextReader& in, std::optional<T>& out) {
        if (in.parse_whitespace() == 'n') {
            in.eat();
            if (!in.parse_ident("ull")) return false;
            out.reset();
            return true;
        }
        out.emplace();
        return Codec<T>::read(in, *out);
    }
    static bool read(ValueReader& in, const Value& v, std::optional<T>& out) {
        if (v.is_null()) {
            out.reset();
            return true;
        }
        out.emplace();
        return Codec<T>::read(in, v, *out);
    }
    static void write(Writer& w, const std::optional<T>& o) {
        if (o) {
            Codec<T>::write(w, *o);
        } else {
            w.null();
        }
    }
    static Value to_value(const std::optional<T>& o) { return o ? Codec<T>::to_value(*o) : Value(); }
};

// Reads, writes and converts exactly as std::optional<T> does.
template <class T>
struct Codec<BoxedOptional<T>> {
    static bool read(TextReader& in, BoxedOptional<T>& out) {
        if (in.parse_whitespace() == 'n') {
            in.eat();
            if (!in.parse_ident("ull")) return false;
            out.reset();
            return true;
        }
        return Codec<T>::read(in, out.emplace());
    }
    static bool read(ValueReader& in, const Value& v, BoxedOptional<T>& out) {
        if (v.is_null()) {
            out.reset();
            return true;
        }
        return Codec<T>::read(in, v, out.emplace());
    }
    static void write(Writer& w, const BoxedOptional<T>& o) {
        if (o) {
            Codec<T>::write(w, *o);
        } else {
            w.null();
        }
    }
    static Value to_value(const BoxedOptional<T>& o) { return o ? Codec<T>::to_value(*o) : Value(); }
};

// Sequences, on the text route: '[' elements ']' with the nesting limit.
template <class F>
bool read_text_seq(TextReader& in, std::string_view expected, F&& element) {
    int c = in.parse_whitespace();
    if (c < 0) return in.peek_error("EOF while parsing a value");
    bool ok;
    if (c == '[') {
        if (!in.enter()) return false;
        in.eat();
        bool first = true;
        ok = true;
        for (;;) {
            int r = in.next_element(first);
            if (r < 0) {
                ok = false;
                break;
            }
            if (r == 0) break;
            if (!element()) {
                ok = false;
                break;
            }
        }
        in.leave();
        ok = in.end_seq(ok);
    } else {
        ok = in.peek_invalid_type(expected);
    }
    if (!ok) in.fix_position();
    return ok;
}

template <class T>
struct Codec<std::vector<T>> {
    static bool read(TextReader& in, std::vector<T>& out) {
        out.clear();
        // Long lists are gathered in blocks and moved once into a vector of the
        // exact size: a vector grown by doubling would move every element about
        // twice and, at its last growth, hold two copies of the list at once.
        // Blocks of 16 MiB or more, so that most of each can be backed by huge pages.
        constexpr std::size_t block = std::max<std::size_t>(1024, (std::size_t{16} << 20) / sizeof(T) + 1);
        std::vector<std::vector<T>> blocks;
        bool ok = read_text_seq(in, "a sequence", [&] {
            // Short lists grow from nothing: a fold's one validation sample or a
            // representation's one axis must not hold room for many more.
            std::vector<T>* target = &out;
            if (out.size() == block) {
                if (blocks.empty() || blocks.back().size() == block) {
                    blocks.emplace_back();
                    blocks.back().reserve(block);
                    text::advise_large_buffer(blocks.back().data(), block * sizeof(T));
                }
                target = &blocks.back();
            }
            target->emplace_back();
            return Codec<T>::read(in, target->back());
        });
        if (!ok || blocks.empty()) return ok;
        std::size_t total = out.size();
        for (const auto& b : blocks) total += b.size();
        out.reserve(total);
        text::advise_large_buffer(out.data(), total * sizeof(T));
        for (auto& b : blocks) {
            std::move(b.begin(), b.end(), std::back_inserter(out));
            std::vector<T>().swap(b);
        }
        return true;
    }
    static bool read(ValueReader& in, const Value& v, std::vector<T>& out) {
        if (!v.is_array()) return in.invalid_type(v, "a sequence");
        const Array& a = v.as_array();
        out.clear();
        out.reserve(a.size());
        for (const Value& e : a) {
            out.emplace_back();
            if (!Codec<T>::read(in, e, out.back())) return false;
        }
        return true;
    }
    static void write(Writer& w, const std::vector<T>& items) {
        w.raw('[');
        bool first = true;
        for (const T& item : items) {
            if (!first) w.raw(',');
            first = false;
            Codec<T>::write(w, item);
        }
        w.raw(']');
    }
    static Value to_value(const std::vector<T>& items) {
        Array a;
        a.reserve(items.size());
        for (const T& item : items) a.push_back(Codec<T>::to_value(item));
        return Value::array(std::move(a));
    }
    static bool is_empty(const std::vector<T>& items) { return items.empty(); }
};

template <class T>
struct Codec<SortedSet<T>> {
    static bool read(TextReader& in, SortedSet<T>& out) {
        std::vector<T> items;
        if (!Codec<std::vector<T>>::read(in, items)) return false;
        out = SortedSet<T>::from_items(std::move(items));
        return true;
    }
    static bool read(ValueReader& in, const Value& v, SortedSet<T>& out) {
        std::vector<T> items;
        if (!Codec<std::vector<T>>::read(in, v, items)) return false;
        out = SortedSet<T>::from_items(std::move(items));
        return true;
    }
    static void write(Writer& w, const SortedSet<T>& s) {
        w.raw('[');
        bool first = true;
        for (const T& item : s) {
            if (!first) w.raw(',');
            first = false;
            Codec<T>::write(w, item);
        }
        w.raw(']');
    }
    static Value to_value(const SortedSet<T>& s) {
        Array a;
        for (const T& item : s) a.push_back(Codec<T>::to_value(item));
        return Value::array(std::move(a));
    }
    static bool is_empty(const SortedSet<T>& s) { return s.empty(); }
};

// How a map key reads from and writes to its text. Text keys are the default;
// identifier types specialise this next to their definition.
template <class K>
struct KeyCodec;

template <>
struct KeyCodec<std::string> {
    // On failure, `error` receives the reader message.
    static bool from_text(std::string_view text, std::string& out, std::string& error) {
        (void)error;
        out.assign(text);
        return true;
    }
    static std::string_view to_text(const std::string& k) { return k; }
};

template <class K, class V>
struct Codec<SortedMap<K, V>> {
    using Map = SortedMap<K, V>;
    static bool read(TextReader& in, Map& out) {
        int c = in.parse_whitespace();
        if (c < 0) return in.peek_error("EOF while parsing a value");
        bool ok;
        std::vector<typename Map::value_type> entries;
        if (c == '{') {
            if (!in.enter()) return false;
            in.eat();
            bool first = true;
            std::string scratch;
            std::string_view key;
            ok = true;
            for (;;) {
                int r = in.next_key(first, scratch, key);
                if (r < 0) {
                    ok = false;
                    break;
                }
                if (r == 0) break;
                entries.emplace_back();
                std::string message;
                if (!KeyCodec<K>::from_text(key, entries.back().first, message)) {
                    ok = in.custom(std::move(message));
                    break;
                }
                if (!in.parse_object_colon() || !Codec<V>::read(in, entries.back().second)) {
                    ok = false;
                    break;
                }
            }
            in.leave();
            ok = in.end_map(ok);
        } else {
            ok = in.peek_invalid_type("a map");
        }
        if (!ok) {
            in.fix_position();
            return false;
        }
        out = Map::from_entries(std::move(entries));
        return true;
    }
    static bool read(ValueReader& in, const Value& v, Map& out) {
        if (!v.is_object()) return in.invalid_type(v, "a map");
        std::vector<typename Map::value_type> entries;
        entries.reserve(v.as_object().size());
        for (const Member& m : v.as_object()) {
            entries.emplace_back();
            std::string message;
            if (!KeyCodec<K>::from_text(m.key, entries.back().first, message)) return in.fail(std::move(message));
            if (!Codec<V>::read(in, m.value, entries.back().second)) return false;
        }
        out = Map::from_entries(std::move(entries));
        return true;
    }
    static void write(Writer& w, const Map& m) {
        w.raw('{');
        bool first = true;
        for (const auto& [k, v] : m) {
            if (!first) w.raw(',');
            first = false;
            w.string(KeyCodec<K>::to_text(k));
            w.raw(':');
            Codec<V>::write(w, v);
        }
        w.raw('}');
    }
    static Value to_value(const Map& m) {
        Object o;
        for (const auto& [k, v] : m) o.push_back_sorted(std::string(KeyCodec<K>::to_text(k)), Codec<V>::to_value(v));
        return Value::object(std::move(o));
    }
    static bool is_empty(const Map& m) { return m.empty(); }
};

// ---------------------------------------------------------------------------
// Enumerations without data: declare `Enum<E>` with the snake_case names in
// declaration order; the enumerators must be 0..N-1 in that order.
// ---------------------------------------------------------------------------

template <class E>
struct Enum;

template <class E>
concept DeclaredEnum = requires { Enum<E>::names; };

// Reads an enumeration name on the text route (a string, or an object holding one
// key, the name, whose value is null). Returns the index of the name.
bool read_enum_text(TextReader& in, const std::string_view* names, std::size_t count, std::size_t& index);
bool read_enum_value(ValueReader& in, const Value& v, const std::string_view* names, std::size_t count,
                     std::size_t& index);

template <class E>
struct Codec<E, std::enable_if_t<DeclaredEnum<E>>> {
    static constexpr auto& names = Enum<E>::names;
    static bool read(TextReader& in, E& out) {
        std::size_t index = 0;
        if (!read_enum_text(in, names.data(), names.size(), index)) return false;
        out = static_cast<E>(index);
        return true;
    }
    static bool read(ValueReader& in, const Value& v, E& out) {
        std::size_t index = 0;
        if (!read_enum_value(in, v, names.data(), names.size(), index)) return false;
        out = static_cast<E>(index);
        return true;
    }
    static std::string_view name(E e) { return names[static_cast<std::size_t>(e)]; }
    static void write(Writer& w, E e) { w.string(name(e)); }
    static Value to_value(E e) { return Value::string(std::string(name(e))); }
};

template <DeclaredEnum E>
std::string_view enum_name(E e) {
    return Enum<E>::names[static_cast<std::size_t>(e)];
}

// ---------------------------------------------------------------------------
// Records: each record declares its fields once, in declared order:
//
//     template <> struct Record<PlanIssue> {
//         static constexpr std::string_view name = "PlanIssue";
//         static constexpr auto fields = std::tuple{
//             required("code", &PlanIssue::code),
//             required("message", &PlanIssue::message),
//             defaulted("choices", &PlanIssue::choices),
//         };
//     };
//
// and optionally `static constexpr bool deny_unknown = true;` for records that
// reject keys they do not know. From this one table come the object and array
// forms on both reading routes, the compact writing (declared key order, with
// each field's null-or-left-out rule) and the conversion to a generic value.
//
// Presence on input:
//   required  - must be given;
//   defaulted - may be left out (of an object, or off the end of the array form)
//               and then takes its default (the value's own default, or `def`);
//   optional  - an std::optional that reads as none when its key is missing; the
//               array form must still give it (as null).
// Emission on output: always (absent optionals as null), or left out when none,
// when empty, or when false.
// ---------------------------------------------------------------------------

enum class Presence : std::uint8_t { required, defaulted, optional };
enum class Emit : std::uint8_t { always, omit_none, omit_empty, omit_false };

template <class R, class T>
struct Field {
    using record_type = R;
    using value_type = T;
    std::string_view key;
    T R::*member;
    Presence presence;
    Emit emit;
    T (*make_default)();

    constexpr Field omit_when_none() const { return with(Emit::omit_none); }
    constexpr Field omit_when_empty() const { return with(Emit::omit_empty); }
    constexpr Field omit_when_false() const { return with(Emit::omit_false); }

    T default_value() const { return make_default ? make_default() : T{}; }
    bool omitted(const R& r) const {
        const T& v = r.*member;
        switch (emit) {
            case Emit::always: return false;
            case Emit::omit_none:
                if constexpr (requires { v.has_value(); }) return !v.has_value();
                return false;
            case Emit::omit_empty:
                if constexpr (requires { Codec<T>::is_empty(v); }) return Codec<T>::is_empty(v);
                return false;
            case Emit::omit_false:
                if constexpr (std::is_same_v<T, bool>) return !v;
                return false;
        }
        return false;
    }

private:
    constexpr Field with(Emit e) const {
        Field f = *this;
        f.emit = e;
        return f;
    }
};

template <class R, class T>
constexpr Field<R, T> required(std::string_view key, T R::*member) {
    return {key, member, Presence::required, Emit::always, nullptr};
}
template <class R, class T>
constexpr Field<R, T> defaulted(std::string_view key, T R::*member, T (*def)() = nullptr) {
    return {key, member, Presence::defaulted, Emit::always, def};
}
template <class R, class T>
constexpr Field<R, T> optional(std::string_view key, T R::*member) {
    static_assert(requires(T t) { t.reset(); }, "an optional field needs an std::optional member");
    return {key, member, Presence::optional, Emit::always, nullptr};
}

template <class T>
struct Record;

template <class T>
concept DeclaredRecord = requires { Record<T>::fields; };

namespace detail {

template <class T>
constexpr bool deny_unknown() {
    if constexpr (requires { Record<T>::deny_unknown; }) {
        return Record<T>::deny_unknown;
    } else {
        return false;
    }
}

template <class T>
constexpr std::size_t field_count() {
    return std::tuple_size_v<std::remove_cvref_t<decltype(Record<T>::fields)>>;
}

template <class T>
constexpr auto field_keys() {
    return std::apply([](const auto&... f) { return std::array<std::string_view, sizeof...(f)>{f.key...}; },
                      Record<T>::fields);
}

template <class T, class F>
void for_each_field(F&& f) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (f(std::integral_constant<std::size_t, I>{}, std::get<I>(Record<T>::fields)), ...);
    }(std::make_index_sequence<field_count<T>()>{});
}

// Runs `f(field)` on the field at runtime index `i`; returns what `f` returns.
template <class T, class F>
bool with_field(std::size_t i, F&& f) {
    bool result = true;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (void)((i == I ? (result = f(std::get<I>(Record<T>::fields)), true) : false) || ...);
    }(std::make_index_sequence<field_count<T>()>{});
    return result;
}

template <class T>
int field_index(std::string_view key) {
    static constexpr auto keys = field_keys<T>();
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (keys[i] == key) return static_cast<int>(i);
    }
    return -1;
}

// As `field_index`, trying first the field after `previous`: documents written by
// a program list the keys in declared order, so this one guess mostly settles it.
template <class T>
int field_index_after(int previous, std::string_view key) {
    static constexpr auto keys = field_keys<T>();
    const auto guess = static_cast<std::size_t>(previous + 1);
    if (guess < keys.size() && keys[guess] == key) return static_cast<int>(guess);
    return field_index<T>(key);
}

template <class T>
std::string expected_struct() {
    return "struct " + std::string(Record<T>::name);
}

// Fields not given in the object form: defaults, none, or the first missing one.
template <class Sink, class T>
bool finish_missing(Sink& sink, T& out, std::uint64_t seen) {
    bool ok = true;
    for_each_field<T>([&](auto index, const auto& field) {
        if (!ok || (seen >> index.value) & 1u) return;
        switch (field.presence) {
            case Presence::required:
                if constexpr (std::is_same_v<Sink, TextReader>) {
                    ok = sink.custom(missing_field(field.key));
                } else {
                    ok = sink.fail(missing_field(field.key));
                }
                break;
            case Presence::defaulted: out.*(field.member) = field.default_value(); break;
            case Presence::optional:
                if constexpr (requires { (out.*(field.member)).reset(); }) (out.*(field.member)).reset();
                break;
        }
    });
    return ok;
}

template <class T>
bool read_record_map(TextReader& in, T& out) {
    static_assert(field_count<T>() <= 64);
    std::uint64_t seen = 0;
    bool first = true;
    std::string scratch;
    std::string_view key;
    int previous = -1;
    for (;;) {
        int r = in.next_key(first, scratch, key);
        if (r < 0) return false;
        if (r == 0) break;
        int idx = field_index_after<T>(previous, key);
        if (idx < 0) {
            if constexpr (deny_unknown<T>()) {
                static constexpr auto keys = field_keys<T>();
                return in.custom(unknown_field(key, keys.data(), keys.size()));
            }
            if (!in.parse_object_colon() || !in.skip_value()) return false;
            continue;
        }
        std::uint64_t bit = std::uint64_t{1} << idx;
        if (seen & bit) return in.custom(duplicate_field(key));
        if (!in.parse_object_colon()) return false;
        bool ok = with_field<T>(static_cast<std::size_t>(idx), [&](const auto& field) {
            using V = typename std::remove_cvref_t<decltype(field)>::value_type;
            return Codec<V>::read(in, out.*(field.member));
        });
        if (!ok) return false;
        seen |= bit;
        previous = idx;
    }
    return finish_missing(in, out, seen);
}

template <class T>
bool read_record_seq(TextReader& in, T& out) {
    bool first = true;
    bool ended = false;
    bool ok = true;
    std::size_t given = 0;
    for_each_field<T>([&](auto, const auto& field) {
        if (!ok) return;
        using V = typename std::remove_cvref_t<decltype(field)>::value_type;
        if (!ended) {
            int r = in.next_element(first);
            if (r < 0) {
                ok = false;
                return;
            }
            ended = r == 0;
        }
        if (ended) {
            if (field.presence == Presence::defaulted) {
                out.*(field.member) = field.default_value();
            } else {
                ok = in.custom(invalid_length(given, struct_with_elements(Record<T>::name, field_count<T>())));
            }
            return;
        }
        ok = Codec<V>::read(in, out.*(field.member));
        ++given;
    });
    return ok;
}

}  // namespace detail

// Reads a record's object or array form on the text route; `map` and `seq` read
// the body after the opening byte.
template <class MapBody, class SeqBody>
bool read_text_container(TextReader& in, std::string_view expected, MapBody&& map, SeqBody&& seq) {
    int c = in.parse_whitespace();
    if (c < 0) return in.peek_error("EOF while parsing a value");
    bool ok;
    if (c == '[') {
        if (!in.enter()) return false;
        in.eat();
        ok = seq();
        in.leave();
        ok = in.end_seq(ok);
    } else if (c == '{') {
        if (!in.enter()) return false;
        in.eat();
        ok = map();
        in.leave();
        ok = in.end_map(ok);
    } else {
        ok = in.peek_invalid_type(expected);
    }
    if (!ok) in.fix_position();
    return ok;
}

// Writes a record's object form exactly as its codec does (declared key order,
// each field's emission rule), except that a field for which `custom(w, member)`
// returns true has had its value written by `custom` (after its key). `member` is
// the field's member pointer; fields `custom` declines are written as usual.
template <DeclaredRecord T, class Custom>
void write_record_with(Writer& w, const T& r, Custom&& custom) {
    w.raw('{');
    bool first = true;
    detail::for_each_field<T>([&](auto, const auto& field) {
        if (field.omitted(r)) return;
        using V = typename std::remove_cvref_t<decltype(field)>::value_type;
        w.plain_key(field.key, first);  // declared keys are plain ASCII
        first = false;
        if (!custom(w, field.member)) Codec<V>::write(w, r.*(field.member));
    });
    w.raw('}');
}

template <DeclaredRecord T>
struct Codec<T> {
    static bool read(TextReader& in, T& out) {
        return read_text_container(
            in, detail::expected_struct<T>(), [&] { return detail::read_record_map(in, out); },
            [&] { return detail::read_record_seq(in, out); });
    }

    static bool read(ValueReader& in, const Value& v, T& out) {
        if (v.is_object()) {
            std::uint64_t seen = 0;
            for (const Member& m : v.as_object()) {
                int idx = detail::field_index<T>(m.key);
                if (idx < 0) {
                    if constexpr (detail::deny_unknown<T>()) {
                        static constexpr auto keys = detail::field_keys<T>();
                        return in.fail(unknown_field(m.key, keys.data(), keys.size()));
                    }
                    continue;
                }
                bool ok = detail::with_field<T>(static_cast<std::size_t>(idx), [&](const auto& field) {
                    using V = typename std::remove_cvref_t<decltype(field)>::value_type;
                    return Codec<V>::read(in, m.value, out.*(field.member));
                });
                if (!ok) return false;
                seen |= std::uint64_t{1} << idx;
            }
            return detail::finish_missing(in, out, seen);
        }
        if (v.is_array()) {
            const Array& a = v.as_array();
            bool ok = true;
            std::size_t next = 0;
            detail::for_each_field<T>([&](auto, const auto& field) {
                if (!ok) return;
                using V = typename std::remove_cvref_t<decltype(field)>::value_type;
                if (next < a.size()) {
                    ok = Codec<V>::read(in, a[next++], out.*(field.member));
                } else if (field.presence == Presence::defaulted) {
                    out.*(field.member) = field.default_value();
                } else {
                    ok = in.fail(invalid_length(
                        a.size(), struct_with_elements(Record<T>::name, detail::field_count<T>())));
                }
            });
            if (!ok) return false;
            if (next < a.size()) return in.fail(invalid_length(a.size(), "fewer elements in array"));
            return true;
        }
        return in.invalid_type(v, detail::expected_struct<T>());
    }

    static void write(Writer& w, const T& r) {
        write_record_with(w, r, [](Writer&, auto) { return false; });
    }

    static Value to_value(const T& r) {
        std::vector<Member> members;
        members.reserve(detail::field_count<T>());
        detail::for_each_field<T>([&](auto, const auto& field) {
            if (field.omitted(r)) return;
            using V = typename std::remove_cvref_t<decltype(field)>::value_type;
            members.push_back(Member{std::string(field.key), Codec<V>::to_value(r.*(field.member))});
        });
        return Value::object(Object::from_members(std::move(members)));
    }
};

// ---------------------------------------------------------------------------
// Entry points
// ---------------------------------------------------------------------------

// Reads text as one value of T; only white space may follow it.
template <Codable T>
std::expected<T, Error> from_text(std::string_view text) {
    TextReader in(text);
    T out{};
    if (!Codec<T>::read(in, out) || !in.end()) return std::unexpected(in.take_error());
    return out;
}

// Reads a generic value from text (the text route's syntax rules, nesting limit
// and positions); only white space may follow it.
std::expected<Value, Error> parse(std::string_view text);

template <Codable T>
std::expected<T, Error> from_value(const Value& v) {
    ValueReader in;
    T out{};
    if (!Codec<T>::read(in, v, out)) return std::unexpected(in.take_error());
    return out;
}

template <Codable T>
void write(Writer& w, const T& v) {
    Codec<T>::write(w, v);
}

template <Codable T>
std::string to_text(const T& v) {
    Writer w;
    Codec<T>::write(w, v);
    return w.take();
}

template <Codable T>
Value to_value(const T& v) {
    return Codec<T>::to_value(v);
}

}  // namespace veltrinax::json

namespace veltrinax {
// A free-form JSON object of a record (metadata, params, tags maps).
using JsonMap = json::SortedMap<std::string, json::Value>;
}  // namespace veltrinax
