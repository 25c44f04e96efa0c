#include "veltrinax/model.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "veltrinax/text.hpp"

namespace veltrinax {

namespace {

using text::is_blank;

// Uniqueness and membership over views into the record being validated; no id is
// copied. No message depends on the byte order of the keys, so they are ordered
// by (hash, bytes): one integer comparison settles almost every step of the sort,
// and ties fall back to the bytes, so the cost stays O(n log n) whatever the input.
// The hash is the indexes' keyed one, so that no document can be built offline
// whose keys all tie and turn every step into a comparison of long texts.
struct HashedKey {
    std::size_t hash;
    std::string_view key;
    std::size_t position;

    friend bool operator<(const HashedKey& a, const HashedKey& b) noexcept {
        if (a.hash != b.hash) return a.hash < b.hash;
        if (a.key != b.key) return a.key < b.key;
        return a.position < b.position;
    }
};

class KeyIndex {
public:
    explicit KeyIndex(const std::vector<std::string_view>& keys)
        : repeats_earlier_(keys.size(), false), hash_key_(text::index_hash_key()) {
        sorted_.reserve(keys.size());
        for (std::size_t i = 0; i < keys.size(); ++i) sorted_.push_back(HashedKey{hash_of(keys[i]), keys[i], i});
        std::sort(sorted_.begin(), sorted_.end());
        for (std::size_t i = 1; i < sorted_.size(); ++i) {
            if (sorted_[i].hash == sorted_[i - 1].hash && sorted_[i].key == sorted_[i - 1].key) {
                repeats_earlier_[sorted_[i].position] = true;
                any_repeat_ = true;
            }
        }
    }

    // Whether the key at `position` equals the key at some earlier position.
    bool repeats_earlier(std::size_t position) const { return repeats_earlier_[position]; }
    bool any_repeat() const noexcept { return any_repeat_; }
    bool contains(std::string_view key) const {
        const HashedKey probe{hash_of(key), key, 0};
        auto it = std::lower_bound(sorted_.begin(), sorted_.end(), probe);
        return it != sorted_.end() && it->hash == probe.hash && it->key == key;
    }

private:
    std::size_t hash_of(std::string_view key) const noexcept {
        return text::hash_text(key, text::byte_prefix(key), hash_key_);
    }

    std::vector<HashedKey> sorted_;
    std::vector<bool> repeats_earlier_;
    text::HashKey hash_key_;
    bool any_repeat_ = false;
};

template <class Range, class Key>
std::vector<std::string_view> keys_of(const Range& items, Key key) {
    std::vector<std::string_view> keys;
    keys.reserve(items.size());
    for (const auto& item : items) keys.push_back(key(item));
    return keys;
}

// Whether the sequence of `count` items runs strictly one way throughout: the
// first pair fixes the direction, every later pair must follow it. `compare(i, j)`
// is the three-way comparison of items i and j.
template <class Compare>
bool strictly_monotonic(std::size_t count, Compare compare) {
    if (count < 2) return true;
    int direction = compare(0, 1);
    if (direction == 0) return false;
    for (std::size_t i = 2; i < count; ++i) {
        if (compare(i - 1, i) != direction) return false;
    }
    return true;
}

int three_way(double a, double b) { return a < b ? -1 : (b < a ? 1 : 0); }

int three_way(std::string_view a, std::string_view b) {
    int c = a.compare(b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

bool is_leap_year(unsigned year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

unsigned days_in_month(unsigned year, unsigned month) {
    switch (month) {
        case 4: case 6: case 9: case 11: return 30;
        case 2: return is_leap_year(year) ? 29 : 28;
        default: return 31;
    }
}

// An optional count as messages show it: "Some(3)" or "None".
std::string some_or_none(std::optional<std::uint64_t> n) { return n ? text::format("Some({})", *n) : "None"; }

Status validate_explicit(const CoordinateSpec& spec, const CoordinateValues::Explicit& coords,
                         std::string_view axis, std::optional<std::uint64_t> size) {
    const std::vector<json::Value>& values = coords.values;
    if (values.empty()) return fail(text::format("axis `{}` has empty explicit coordinates", axis));
    if (size && values.size() != *size) {
        return fail(text::format("axis `{}` has {} coordinates for size {}", axis, values.size(), *size));
    }

    switch (spec.dtype) {
        case CoordinateDType::numeric:
            for (const json::Value& v : values) {
                if (!v.is_number() || !std::isfinite(v.number_as_double())) {
                    return fail(text::format("axis `{}` numeric coordinate `{}` is not a finite number", axis,
                                             json::to_text(v)));
                }
            }
            break;
        case CoordinateDType::categorical: {
            // Repeats are known up front; reporting still walks the list in order,
            // so a malformed value before the first repeat is the one reported.
            std::vector<std::string_view> labels;
            labels.reserve(values.size());
            for (const json::Value& v : values) labels.push_back(v.is_string() ? v.as_string() : std::string_view());
            const KeyIndex index(labels);
            for (std::size_t i = 0; i < values.size(); ++i) {
                const json::Value& v = values[i];
                if (!v.is_string() || v.as_string().empty()) {
                    return fail(text::format("axis `{}` categorical coordinate `{}` is not a non-empty string", axis,
                                             json::to_text(v)));
                }
                if (index.repeats_earlier(i)) {
                    return fail(text::format("axis `{}` categorical coordinate `{}` is duplicated", axis,
                                             v.as_string()));
                }
            }
            break;
        }
        case CoordinateDType::datetime:
            for (const json::Value& v : values) {
                if (!v.is_string()) {
                    return fail(
                        text::format("axis `{}` datetime coordinate `{}` is not a string", axis, json::to_text(v)));
                }
                if (!is_canonical_utc_datetime(v.as_string())) {
                    return fail(text::format(
                        "axis `{}` datetime coordinate `{}` is not canonical RFC 3339 UTC seconds "
                        "(YYYY-MM-DDThh:mm:ssZ)",
                        axis, v.as_string()));
                }
            }
            break;
    }

    if (!spec.ordered) return {};
    bool monotonic = true;
    switch (spec.dtype) {
        case CoordinateDType::numeric:
            monotonic = strictly_monotonic(values.size(), [&](std::size_t i, std::size_t j) {
                return three_way(values[i].number_as_double(), values[j].number_as_double());
            });
            break;
        case CoordinateDType::datetime:
            // Canonical timestamps sort chronologically byte for byte.
            monotonic = strictly_monotonic(values.size(), [&](std::size_t i, std::size_t j) {
                return three_way(std::string_view(values[i].as_string()), std::string_view(values[j].as_string()));
            });
            break;
        case CoordinateDType::categorical: break;  // labels have no order to keep
    }
    if (!monotonic) return fail(text::format("axis `{}` ordered coordinates must be strictly monotonic", axis));
    return {};
}

}  // namespace

// ---------------------------------------------------------------------------
// Axes and coordinates
// ---------------------------------------------------------------------------

bool is_canonical_utc_datetime(std::string_view s) noexcept {
    if (s.size() != 20) return false;
    static constexpr std::size_t digit_positions[] = {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18};
    for (std::size_t p : digit_positions) {
        if (s[p] < '0' || s[p] > '9') return false;
    }
    if (s[4] != '-' || s[7] != '-' || s[10] != 'T' || s[13] != ':' || s[16] != ':' || s[19] != 'Z') return false;
    auto number = [&](std::size_t pos, std::size_t len) {
        unsigned n = 0;
        for (std::size_t k = pos; k < pos + len; ++k) n = n * 10 + static_cast<unsigned>(s[k] - '0');
        return n;
    };
    unsigned year = number(0, 4);
    unsigned month = number(5, 2);
    unsigned day = number(8, 2);
    if (month < 1 || month > 12) return false;
    if (number(11, 2) > 23 || number(14, 2) > 59 || number(17, 2) > 59) return false;
    return day >= 1 && day <= days_in_month(year, month);
}

Status CoordinateSpec::validate(std::string_view axis, std::optional<std::uint64_t> size, bool variable) const {
    if (variable) return fail(text::format("axis `{}` cannot carry coordinates while variable", axis));
    if (const auto* grid = values.as_regular_grid()) {
        if (dtype != CoordinateDType::numeric) {
            return fail(text::format("axis `{}` regular-grid coordinates require numeric dtype", axis));
        }
        if (!size) return fail(text::format("axis `{}` regular-grid coordinates require a known axis size", axis));
        if (!std::isfinite(grid->start) || !std::isfinite(grid->step)) {
            return fail(text::format("axis `{}` regular-grid start/step must be finite", axis));
        }
        if (grid->step == 0.0) return fail(text::format("axis `{}` regular-grid step must be non-zero", axis));
        if (!ordered) {
            return fail(
                text::format("axis `{}` regular-grid coordinates are inherently ordered; set ordered=true", axis));
        }
        return {};
    }
    return validate_explicit(*this, *values.as_explicit(), axis, size);
}

Status AxisSpec::validate() const {
    if (is_blank(name)) return fail("axis name is empty");
    if (variable && size) return fail(text::format("axis `{}` cannot be both variable and sized", name));
    if (unit && is_blank(*unit)) return fail(text::format("axis `{}` has an empty unit", name));
    if (coordinate) return coordinate->validate(name, size, variable);
    return {};
}

// ---------------------------------------------------------------------------
// Representations and shape contracts
// ---------------------------------------------------------------------------

Status RepresentationSpec::validate() const {
    if (is_blank(container)) return fail(text::format("representation `{}` has an empty container", id));
    if (!rank && !ragged) return fail(text::format("representation `{}` with no rank must be ragged", id));
    if (rank && *rank != axes.size()) {
        return fail(text::format("representation `{}` has rank {} but {} axes", id, *rank, axes.size()));
    }
    for (const AxisSpec& axis : axes) {
        if (auto ok = axis.validate(); !ok) return ok;
    }
    // A graph batch holds its samples in the graph structure, not along an axis.
    if (container == "graph_batch") return {};
    bool has_sample_axis =
        std::any_of(axes.begin(), axes.end(), [](const AxisSpec& a) { return a.kind == AxisKind::sample; });
    if (!has_sample_axis) return fail(text::format("representation `{}` has no sample axis", id));
    return {};
}

Status AxisSizeContract::validate(std::string_view axis) const {
    if (!exact && !min && !max) {
        return fail(text::format("shape contract for axis `{}` does not constrain the size", axis));
    }
    if (min && max && *min > *max) {
        return fail(text::format("shape contract for axis `{}` has min {} greater than max {}", axis, *min, *max));
    }
    if (exact && min && *exact < *min) {
        return fail(text::format("shape contract for axis `{}` exact size {} is below min {}", axis, *exact, *min));
    }
    if (exact && max && *exact > *max) {
        return fail(text::format("shape contract for axis `{}` exact size {} is above max {}", axis, *exact, *max));
    }
    return {};
}

bool AxisSizeContract::admits(std::uint64_t size) const noexcept {
    return (!exact || size == *exact) && (!min || size >= *min) && (!max || size <= *max);
}

Status ShapeContract::validate() const {
    if (!rank && axis_sizes.empty()) return fail("shape contract must constrain rank or at least one axis");
    for (const auto& [name, bounds] : axis_sizes) {
        if (is_blank(name)) return fail("shape contract contains an empty axis name");
        if (auto ok = bounds.validate(name); !ok) return ok;
    }
    return {};
}

Status ShapeContract::validate_representation(const SourceId& source, const RepresentationSpec& rep) const {
    if (auto ok = validate(); !ok) return ok;
    if (rank && rep.rank != rank) {
        return fail(text::format("source `{}` shape contract expects rank {} but representation `{}` has {}", source,
                                 *rank, rep.id, some_or_none(rep.rank)));
    }
    if (rep.ragged && !allow_ragged) {
        return fail(
            text::format("source `{}` shape contract does not allow ragged representation `{}`", source, rep.id));
    }
    // Axis names need not be unique; the first axis of a name is the one bound.
    // One walk over the axes finds each entry's axis by a search among the
    // entries (kept in byte order of their names): a contract naming every one
    // of many axes costs no scan of the axes per entry.
    std::vector<const AxisSpec*> first_axis(axis_sizes.size(), nullptr);
    for (const AxisSpec& axis : rep.axes) {
        auto entry = std::lower_bound(axis_sizes.begin(), axis_sizes.end(), axis.name,
                                      [](const auto& e, const std::string& name) { return e.first < name; });
        if (entry == axis_sizes.end() || entry->first != axis.name) continue;
        const AxisSpec*& bound = first_axis[static_cast<std::size_t>(entry - axis_sizes.begin())];
        if (!bound) bound = &axis;
    }
    std::size_t index = 0;
    for (const auto& [name, bounds] : axis_sizes) {
        const AxisSpec* axis = first_axis[index++];
        if (!axis) {
            return fail(text::format("source `{}` shape contract references missing axis `{}`", source, name));
        }
        if (axis->size) {
            if (!bounds.admits(*axis->size)) {
                return fail(text::format("source `{}` axis `{}` size {} violates shape contract", source, name,
                                         *axis->size));
            }
        } else if (!axis->variable) {
            return fail(text::format("source `{}` axis `{}` has no concrete size for shape contract", source, name));
        }
        // A variable axis without a size meets any bounds: its length is only
        // known per sample.
    }
    return {};
}

// ---------------------------------------------------------------------------
// Dataset schema
// ---------------------------------------------------------------------------

Status SourceDescriptor::validate() const {
    if (is_blank(name)) return fail(text::format("source `{}` has an empty name", id));
    if (is_blank(sample_key)) return fail(text::format("source `{}` has an empty sample key", id));
    if (auto ok = native_representation.validate(); !ok) return ok;
    if (shape_contract) return shape_contract->validate_representation(id, native_representation);
    return {};
}

Status MetadataSchema::validate() const {
    if (fields.empty()) return fail("metadata schema declares no fields");
    for (const auto& [name, field] : fields) {
        if (is_blank(name)) return fail("metadata schema contains an empty field name");
        if (field.kind == MetadataValueKind::categorical && field.allowed_values.empty()) {
            return fail(text::format("metadata field `{}` is categorical but declares no allowed_values", name));
        }
        if (field.unit && is_blank(*field.unit)) {
            return fail(text::format("metadata field `{}` has an empty unit", name));
        }
    }
    return {};
}

Status GroupSpec::validate() const {
    if (is_blank(column)) return fail(text::format("group `{}` has an empty column", id));
    for (const auto& entry : metadata) {
        if (is_blank(entry.first)) return fail(text::format("group `{}` metadata contains an empty key", id));
    }
    return {};
}

Status FoldSpec::validate() const {
    if (is_blank(id)) return fail("fold id is empty");
    if (!group_id && !split_column) {
        return fail(text::format("fold `{}` declares neither group_id nor split_column", id));
    }
    if (split_column && is_blank(*split_column)) {
        return fail(text::format("fold `{}` has an empty split_column", id));
    }
    for (const auto& entry : metadata) {
        if (is_blank(entry.first)) return fail(text::format("fold `{}` metadata contains an empty key", id));
    }
    return {};
}

Status DatasetSchema::validate() const {
    if (is_blank(dataset_id)) return fail("dataset id must not be empty");
    if (sample_ids.empty()) return fail("dataset schema must contain at least one sample");
    {
        // Only whether some id repeats matters (the message names none): one hash
        // index over views of the ids, looked up a few ids ahead of its use.
        constexpr std::size_t ahead = 8;
        auto id_at = [this](std::uint32_t i) { return sample_ids[i].view(); };
        text::TextSet<decltype(id_at)> seen(sample_ids.size(), id_at);
        for (std::size_t i = 0; i < sample_ids.size(); ++i) {
            if (i + ahead < sample_ids.size()) seen.prefetch(sample_ids[i + ahead].view());
            if (seen.insert(sample_ids[i].view(), static_cast<std::uint32_t>(i)) != i) {
                return fail("dataset schema contains duplicate sample ids");
            }
        }
    }

    // A repeated source id is reported only when its turn comes in list order, so
    // every earlier source has passed its own checks first.
    const KeyIndex source_index(keys_of(sources, [](const SourceDescriptor& s) { return s.id.view(); }));
    for (std::size_t i = 0; i < sources.size(); ++i) {
        if (source_index.repeats_earlier(i)) return fail(text::format("duplicate source id `{}`", sources[i].id));
        if (auto ok = sources[i].validate(); !ok) return ok;
    }

    for (const auto& entry : targets) {
        if (auto ok = entry.second.validate(); !ok) return ok;
    }
    for (const auto& entry : metadata) {
        if (auto ok = entry.second.validate(); !ok) return ok;
    }
    if (metadata_schema) {
        if (auto ok = metadata_schema->validate(); !ok) return ok;
    }

    const KeyIndex group_index(keys_of(groups, [](const GroupSpec& g) { return g.id.view(); }));
    for (std::size_t i = 0; i < groups.size(); ++i) {
        const GroupSpec& group = groups[i];
        if (group_index.repeats_earlier(i)) return fail(text::format("duplicate group id `{}`", group.id));
        if (group.source_id && !source_index.contains(group.source_id->view())) {
            return fail(text::format("group `{}` references unknown source `{}`", group.id, *group.source_id));
        }
        if (auto ok = group.validate(); !ok) return ok;
    }

    const KeyIndex fold_index(keys_of(folds, [](const FoldSpec& f) { return std::string_view(f.id); }));
    for (std::size_t i = 0; i < folds.size(); ++i) {
        const FoldSpec& fold = folds[i];
        if (fold_index.repeats_earlier(i)) return fail(text::format("duplicate fold id `{}`", fold.id));
        // Any group of the schema will do, declared before or after the fold.
        if (fold.group_id && !group_index.contains(fold.group_id->view())) {
            return fail(text::format("fold `{}` references unknown group `{}`", fold.id, *fold.group_id));
        }
        if (auto ok = fold.validate(); !ok) return ok;
    }
    return {};
}

}  // namespace veltrinax

// ---------------------------------------------------------------------------
// JSON form of CoordinateValues
// ---------------------------------------------------------------------------

namespace veltrinax::json {

namespace {

constexpr std::string_view tag_key = "kind";
constexpr std::array<std::string_view, 2> variant_names{"explicit", "regular_grid"};
constexpr std::size_t explicit_tag = 0;
constexpr std::string_view enum_expected = "internally tagged enum CoordinateValues";
constexpr std::string_view tag_expected = "variant identifier";

// One collected member: the key and its value, in the order the reader met them.
struct Pair {
    std::string_view key;
    const Value* value;
};

bool find_variant(std::string_view name, std::size_t& tag) {
    for (std::size_t i = 0; i < variant_names.size(); ++i) {
        if (variant_names[i] == name) {
            tag = i;
            return true;
        }
    }
    return false;
}

// The tag on the text route: a string naming a variant, nothing else (no
// one-key object form, unlike plain enumerations).
bool read_tag(TextReader& in, std::size_t& tag) {
    int c = in.parse_whitespace();
    if (c < 0) return in.peek_error("EOF while parsing a value");
    if (c != '"') return in.peek_invalid_type(tag_expected);
    in.eat();
    std::string name;
    if (!in.parse_str(name)) return false;
    if (!find_variant(name, tag)) {
        return in.error(unknown_variant(name, variant_names.data(), variant_names.size()));
    }
    return true;
}

bool read_tag(ValueReader& in, const Value& v, std::size_t& tag) {
    if (!v.is_string()) return in.invalid_type(v, tag_expected);
    if (!find_variant(v.as_string(), tag)) {
        return in.fail(unknown_variant(v.as_string(), variant_names.data(), variant_names.size()));
    }
    return true;
}

// The variant's fields from the members other than the tag. Unknown keys are
// skipped; a repeated field key fails where it stands (the text route keeps
// repeats, the value route has none).
bool read_variant_map(ValueReader& in, std::size_t tag, const std::vector<Pair>& pairs, CoordinateValues& out) {
    if (tag == explicit_tag) {
        CoordinateValues::Explicit e;
        bool seen = false;
        for (const Pair& p : pairs) {
            if (p.key != "values") continue;
            if (seen) return in.fail(duplicate_field("values"));
            if (!Codec<std::vector<Value>>::read(in, *p.value, e.values)) return false;
            seen = true;
        }
        if (!seen) return in.fail(missing_field("values"));
        out = CoordinateValues(std::move(e));
        return true;
    }
    CoordinateValues::RegularGrid g;
    bool seen_start = false;
    bool seen_step = false;
    for (const Pair& p : pairs) {
        bool is_start = p.key == "start";
        if (!is_start && p.key != "step") continue;
        bool& seen = is_start ? seen_start : seen_step;
        if (seen) return in.fail(duplicate_field(p.key));
        if (!in.read_float(*p.value, is_start ? g.start : g.step)) return false;
        seen = true;
    }
    if (!seen_start) return in.fail(missing_field("start"));
    if (!seen_step) return in.fail(missing_field("step"));
    out = CoordinateValues(g);
    return true;
}

// The array form: the elements after the tag are the variant's fields in order.
// Extra elements are counted against the fields the variant has, not against the
// tagged array as a whole.
bool read_variant_seq(ValueReader& in, std::size_t tag, const Value* items, std::size_t count,
                      CoordinateValues& out) {
    if (tag == explicit_tag) {
        CoordinateValues::Explicit e;
        if (count == 0) {
            return in.fail(invalid_length(0, struct_with_elements("variant CoordinateValues::Explicit", 1)));
        }
        if (!Codec<std::vector<Value>>::read(in, items[0], e.values)) return false;
        if (count > 1) return in.fail(invalid_length(count, "1 element in sequence"));
        out = CoordinateValues(std::move(e));
        return true;
    }
    CoordinateValues::RegularGrid g;
    double* fields[] = {&g.start, &g.step};
    for (std::size_t i = 0; i < 2; ++i) {
        if (i >= count) {
            return in.fail(invalid_length(i, struct_with_elements("variant CoordinateValues::RegularGrid", 2)));
        }
        if (!in.read_float(items[i], *fields[i])) return false;
    }
    if (count > 2) return in.fail(invalid_length(count, "2 elements in sequence"));
    out = CoordinateValues(g);
    return true;
}

// Body of the object form on the text route, after '{': every member is read,
// the tag by its own rule and everything else whole into a generic value.
bool collect_map(TextReader& in, std::optional<std::size_t>& tag, std::vector<Member>& members) {
    bool first = true;
    std::string scratch;
    std::string_view key;
    for (;;) {
        int r = in.next_key(first, scratch, key);
        if (r < 0) return false;
        if (r == 0) break;
        if (key == tag_key) {
            if (tag) return in.custom(duplicate_field(tag_key));
            std::size_t t = 0;
            if (!in.parse_object_colon() || !read_tag(in, t)) return false;
            tag = t;
            continue;
        }
        members.push_back(Member{std::string(key), Value()});
        if (!in.parse_object_colon() || !in.read_value(members.back().value)) return false;
    }
    if (!tag) return in.custom(missing_field(tag_key));
    return true;
}

// Body of the array form on the text route, after '[': the tag, then the rest
// collected whole.
bool collect_seq(TextReader& in, std::optional<std::size_t>& tag, Array& rest) {
    bool first = true;
    int r = in.next_element(first);
    if (r < 0) return false;
    if (r == 0) return in.custom(missing_field(tag_key));
    std::size_t t = 0;
    if (!read_tag(in, t)) return false;
    tag = t;
    for (;;) {
        r = in.next_element(first);
        if (r < 0) return false;
        if (r == 0) return true;
        rest.emplace_back();
        if (!in.read_value(rest.back())) return false;
    }
}

}  // namespace

bool Codec<CoordinateValues>::read(TextReader& in, CoordinateValues& out) {
    int c = in.parse_whitespace();
    if (c < 0) return in.peek_error("EOF while parsing a value");
    std::optional<std::size_t> tag;
    std::vector<Member> members;
    Array rest;
    bool ok;
    if (c == '{') {
        if (!in.enter()) return false;
        in.eat();
        ok = collect_map(in, tag, members);
        in.leave();
        ok = in.end_map(ok);
    } else if (c == '[') {
        if (!in.enter()) return false;
        in.eat();
        ok = collect_seq(in, tag, rest);
        in.leave();
        ok = in.end_seq(ok);
    } else {
        ok = in.peek_invalid_type(enum_expected);
    }
    if (!ok) {
        in.fix_position();
        return false;
    }

    // The container is closed: what follows is judged on the collected members,
    // and its errors are left for the enclosing container to position.
    ValueReader fields;
    bool read_ok;
    if (c == '{') {
        std::vector<Pair> pairs;
        pairs.reserve(members.size());
        for (const Member& m : members) pairs.push_back(Pair{m.key, &m.value});
        read_ok = read_variant_map(fields, *tag, pairs, out);
    } else {
        read_ok = read_variant_seq(fields, *tag, rest.data(), rest.size(), out);
    }
    if (!read_ok) return in.custom(fields.take_error().message);
    return true;
}

bool Codec<CoordinateValues>::read(ValueReader& in, const Value& v, CoordinateValues& out) {
    if (v.is_object()) {
        std::optional<std::size_t> tag;
        std::vector<Pair> pairs;
        pairs.reserve(v.as_object().size());
        for (const Member& m : v.as_object()) {
            if (m.key == tag_key) {
                std::size_t t = 0;
                if (!read_tag(in, m.value, t)) return false;
                tag = t;
            } else {
                pairs.push_back(Pair{m.key, &m.value});
            }
        }
        if (!tag) return in.fail(missing_field(tag_key));
        return read_variant_map(in, *tag, pairs, out);
    }
    if (v.is_array()) {
        const Array& a = v.as_array();
        if (a.empty()) return in.fail(missing_field(tag_key));
        std::size_t tag = 0;
        if (!read_tag(in, a[0], tag)) return false;
        return read_variant_seq(in, tag, a.data() + 1, a.size() - 1, out);
    }
    return in.invalid_type(v, enum_expected);
}

void Codec<CoordinateValues>::write(Writer& w, const CoordinateValues& c) {
    if (const auto* e = c.as_explicit()) {
        w.raw("{\"kind\":\"explicit\",\"values\":");
        Codec<std::vector<Value>>::write(w, e->values);
        w.raw('}');
        return;
    }
    const auto* g = c.as_regular_grid();
    w.raw("{\"kind\":\"regular_grid\",\"start\":");
    w.floating(g->start);
    w.raw(",\"step\":");
    w.floating(g->step);
    w.raw('}');
}

Value Codec<CoordinateValues>::to_value(const CoordinateValues& c) {
    // Members go in already in byte order: "kind" < "start" < "step" < "values".
    Object o;
    if (const auto* e = c.as_explicit()) {
        o.push_back_sorted("kind", Value::string("explicit"));
        o.push_back_sorted("values", Codec<std::vector<Value>>::to_value(e->values));
    } else {
        const auto* g = c.as_regular_grid();
        o.push_back_sorted("kind", Value::string("regular_grid"));
        o.push_back_sorted("start", Value::floating(g->start));
        o.push_back_sorted("step", Value::floating(g->step));
    }
    return Value::object(std::move(o));
}

}  // namespace veltrinax::json
