#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <string>

#include "veltrinax/ids.hpp"
#include "veltrinax/json.hpp"

namespace vx = veltrinax;
namespace json = veltrinax::json;

// Test-only records that use every kind of field the contracts use.
namespace probe {

enum class Colour : std::uint8_t { red, dark_green, blue };

struct Inner {
    std::string name;
    std::optional<std::uint64_t> size;
    bool operator==(const Inner&) const = default;
};

struct Probe {
    std::string text;
    vx::SampleId id;
    std::uint64_t big = 0;
    std::uint32_t small = 0;
    std::optional<json::usize> word;
    double ratio = 0.0;
    bool flag = false;
    Colour colour = Colour::red;
    std::optional<std::string> note;
    std::optional<std::string> hidden;
    std::vector<Inner> items;
    json::SortedMap<vx::TargetId, json::Value> by_target;
    json::Value free;
    bool deterministic = true;
    bool operator==(const Probe&) const = default;
};

// Rejects unknown keys.
struct Strict {
    std::string a;
    std::optional<std::string> b;
    bool operator==(const Strict&) const = default;
};

bool default_true() { return true; }

}  // namespace probe

template <>
struct json::Enum<probe::Colour> {
    static constexpr std::array<std::string_view, 3> names{"red", "dark_green", "blue"};
};

template <>
struct json::Record<probe::Inner> {
    static constexpr std::string_view name = "Inner";
    static constexpr auto fields = std::tuple{
        required("name", &probe::Inner::name),
        optional("size", &probe::Inner::size).omit_when_none(),
    };
};

template <>
struct json::Record<probe::Probe> {
    using P = probe::Probe;
    static constexpr std::string_view name = "Probe";
    static constexpr auto fields = std::tuple{
        required("text", &P::text),
        required("id", &P::id),
        required("big", &P::big),
        defaulted("small", &P::small),
        optional("word", &P::word),
        defaulted("ratio", &P::ratio),
        defaulted("flag", &P::flag).omit_when_false(),
        defaulted("colour", &P::colour),
        optional("note", &P::note),
        optional("hidden", &P::hidden).omit_when_none(),
        defaulted("items", &P::items).omit_when_empty(),
        defaulted("by_target", &P::by_target),
        defaulted("free", &P::free),
        defaulted("deterministic", &P::deterministic, probe::default_true),
    };
};

template <>
struct json::Record<probe::Strict> {
    static constexpr std::string_view name = "Strict";
    static constexpr bool deny_unknown = true;
    static constexpr auto fields = std::tuple{
        required("a", &probe::Strict::a),
        optional("b", &probe::Strict::b),
    };
};

namespace {

template <class T>
std::string read_text(std::string_view text) {
    auto r = json::from_text<T>(text);
    if (!r) return "ERR " + r.error().to_string();
    return "OK " + json::to_text(*r);
}

template <class T>
std::string read_value(std::string_view text) {
    auto v = json::parse(text);
    if (!v) return "PARSE " + v.error().to_string();
    auto r = json::from_value<T>(*v);
    if (!r) return "ERR " + r.error().to_string();
    return "OK " + json::to_text(*r);
}

struct Case {
    std::string_view text;
    std::string_view expected;
};

// --- Syntax -----------------------------------------------------------------

TEST(JsonReader, SyntaxMessagesAndPositions) {
    const Case cases[] = {
        {"", "ERR EOF while parsing a value at line 1 column 0"},
        {"   ", "ERR EOF while parsing a value at line 1 column 3"},
        {"[", "ERR EOF while parsing a list at line 1 column 1"},
        {"[1", "ERR EOF while parsing a list at line 1 column 2"},
        {"{", "ERR EOF while parsing an object at line 1 column 1"},
        {"{\"a\":1", "ERR EOF while parsing an object at line 1 column 6"},
        {"\"abc", "ERR EOF while parsing a string at line 1 column 4"},
        {"{\"a\" 1}", "ERR expected `:` at line 1 column 6"},
        {"[1 2]", "ERR expected `,` or `]` at line 1 column 4"},
        {"{\"a\":1 \"b\":2}", "ERR expected `,` or `}` at line 1 column 8"},
        {"nul", "ERR EOF while parsing a value at line 1 column 3"},
        {"nulx", "ERR expected ident at line 1 column 4"},
        {"tru e", "ERR expected ident at line 1 column 4"},
        {"x", "ERR expected value at line 1 column 1"},
        {"[1,]", "ERR trailing comma at line 1 column 4"},
        {"{\"a\":1,}", "ERR trailing comma at line 1 column 8"},
        {"{a:1}", "ERR key must be a string at line 1 column 2"},
        {"\"\\x\"", "ERR invalid escape at line 1 column 3"},
        {"\"\\u12x4\"", "ERR invalid escape at line 1 column 6"},
        {"\"\\u12", "ERR EOF while parsing a string at line 1 column 5"},
        {"\"\\udc00\"", "ERR lone leading surrogate in hex escape at line 1 column 7"},
        {"\"\\ud800\\u0041\"", "ERR lone leading surrogate in hex escape at line 1 column 13"},
        {"\"\\ud800\"", "ERR unexpected end of hex escape at line 1 column 8"},
        {"\"\\ud800\\n\"", "ERR unexpected end of hex escape at line 1 column 9"},
        {"\"a\x01\"", "ERR control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        {"\"a\nb\"", "ERR control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
        {"01", "ERR invalid number at line 1 column 2"},
        {"-", "ERR EOF while parsing a value at line 1 column 1"},
        {"-x", "ERR invalid number at line 1 column 2"},
        {"1.", "ERR EOF while parsing a value at line 1 column 2"},
        {"1.e3", "ERR invalid number at line 1 column 3"},
        {"1e", "ERR EOF while parsing a value at line 1 column 2"},
        {"1e+x", "ERR invalid number at line 1 column 4"},
        {"+1", "ERR expected value at line 1 column 1"},
        {"1e400", "ERR number out of range at line 1 column 5"},
        {"-1e400", "ERR number out of range at line 1 column 6"},
        {"1 2", "ERR trailing characters at line 1 column 3"},
        {"[\n1,\n  x]", "ERR expected value at line 3 column 3"},
        {"\xef\xbb\xbf{}", "ERR expected value at line 1 column 1"},
    };
    for (const Case& c : cases) EXPECT_EQ(read_text<json::Value>(c.text), c.expected) << c.text;
}

TEST(JsonReader, NumberKindsAndForms) {
    const Case cases[] = {
        {"-0", "OK -0.0"},
        {"0", "OK 0"},
        {"18446744073709551615", "OK 18446744073709551615"},
        {"18446744073709551616", "OK 1.8446744073709552e+19"},
        {"-9223372036854775808", "OK -9223372036854775808"},
        {"-9223372036854775809", "OK -9.223372036854776e+18"},
        {"1e-400", "OK 0.0"},
        {"0e99999999999", "OK 0.0"},
        {"1e-99999999999", "OK 0.0"},
        {"2.4e-324", "OK 0.0"},
        {"5e-324", "OK 5e-324"},
        {"1.7976931348623157e308", "OK 1.7976931348623157e+308"},
        {"1.00000000000000011102230246251565404236316680908203125", "OK 1.0"},  // a tie: to even
        {"1.00000000000000011102230246251565404236316680908203126", "OK 1.0000000000000002"},
        {"9007199254740993.0", "OK 9007199254740992.0"},
        {"1E2", "OK 100.0"},
        {"[0.1,100.0,1e15,1e16,1e-5,1e-6,1e21,123456789012345680000.0,1.5e-7,150,-2.5]",
         "OK [0.1,100.0,1000000000000000.0,1e+16,0.00001,1e-6,1e+21,1.2345678901234568e+20,1.5e-7,150,-2.5]"},
    };
    for (const Case& c : cases) EXPECT_EQ(read_text<json::Value>(c.text), c.expected) << c.text;
}

TEST(JsonReader, ObjectsKeepKeysSortedAndTheLastDuplicate) {
    EXPECT_EQ(read_text<json::Value>(R"({"b":1,"a":{"y":2,"x":3},"b":[4]})"), R"(OK {"a":{"x":3,"y":2},"b":[4]})");
    // Byte order: upper case before lower case, a prefix before the longer key.
    EXPECT_EQ(read_text<json::Value>(R"({"ab":1,"a":2,"B":3,"é":4})"), R"(OK {"B":3,"a":2,"ab":1,"é":4})");
}

// Objects and maps with keys in any order, repeated any number of times: sorted
// by bytes with the last value of each key kept, as a map filled in document
// order would hold them. Keys share prefixes, run past 16 bytes, hold bytes above
// 0x7F and escapes, so that every step of the byte order is used.
TEST(JsonReader, ObjectsAndMapsKeepTheLastOfRepeatedKeysInAnyOrder) {
    const std::vector<std::string> keys = {"a",  "ab", "B",  "\\u00e9", "\\n", "sample-000000000000001",
                                           "sample-000000000000002", "sample-00000000000000",    "", "b"};
    const std::vector<std::string> raw = {"a",  "ab", "B",  "\xC3\xA9", "\n", "sample-000000000000001",
                                          "sample-000000000000002", "sample-00000000000000",      "", "b"};
    std::mt19937_64 rng(5150);
    for (int round = 0; round < 2000; ++round) {
        std::map<std::string, std::string> expected;  // byte order, the last value wins
        std::string members;
        std::string ids;
        for (std::size_t n = rng() % 40; n > 0; --n) {
            const std::size_t k = rng() % keys.size();
            const std::string value = std::to_string(rng() % 1000);
            members += (members.empty() ? "" : ",") + ("\"" + keys[k] + "\":" + value);
            if (!raw[k].empty() && raw[k] != "\n" && raw[k] != "\xC3\xA9") {
                ids += (ids.empty() ? "" : ",") + ("\"" + raw[k] + "\":\"g" + value + "\"");
            }
            expected[raw[k]] = value;
        }
        std::string written;
        std::string written_ids;
        for (const auto& [key, value] : expected) {
            json::Writer w;
            w.string(key);
            written += (written.empty() ? "" : ",") + w.take() + ":" + value;
            if (!key.empty() && key != "\n" && key != "\xC3\xA9") {
                written_ids += (written_ids.empty() ? "" : ",") + ("\"" + key + "\":\"g" + value + "\"");
            }
        }
        const std::string object = "{" + members + "}";
        ASSERT_EQ(read_text<json::Value>(object), "OK {" + written + "}") << object;
        ASSERT_EQ(read_text<vx::JsonMap>(object), "OK {" + written + "}") << object;
        using IdMap = json::SortedMap<vx::SampleId, vx::GroupId>;
        ASSERT_EQ(read_text<IdMap>("{" + ids + "}"), "OK {" + written_ids + "}") << ids;
    }
}

TEST(JsonReader, NestingLimitCountsTheOutermostLevel) {
    auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    EXPECT_EQ(read_text<json::Value>(nested(127)).substr(0, 3), "OK ");
    EXPECT_EQ(read_text<json::Value>(nested(128)), "ERR recursion limit exceeded at line 1 column 128");
    // A record counts as a level like any other container.
    std::string deep_free = R"({"text":"t","id":"i","big":1,"free":)" + nested(126) + "}";
    EXPECT_EQ(read_text<probe::Probe>(deep_free).substr(0, 3), "OK ");
    std::string too_deep = R"({"text":"t","id":"i","big":1,"free":)" + nested(127) + "}";
    EXPECT_EQ(read_text<probe::Probe>(too_deep).substr(0, 34), "ERR recursion limit exceeded at li");
}

TEST(JsonReader, UnknownKeysAreSkippedAtAnyDepthWithoutRecursion) {
    const std::size_t depth = 1'000'000;
    std::string deep = R"({"text":"t","id":"i","big":1,"junk":)" + std::string(depth, '[') + std::string(depth, ']') + "}";
    EXPECT_EQ(read_text<probe::Probe>(deep).substr(0, 3), "OK ");
    std::string unclosed = R"({"text":"t","id":"i","big":1,"junk":)" + std::string(depth, '[');
    EXPECT_EQ(read_text<probe::Probe>(unclosed),
              "ERR EOF while parsing a list at line 1 column " + std::to_string(unclosed.size()));
    // Skipped values are still checked for syntax.
    EXPECT_EQ(read_text<probe::Probe>(R"({"junk":"abc,"text":"t"})"), "ERR expected `,` or `}` at line 1 column 15");
    EXPECT_EQ(read_text<probe::Probe>(R"({"junk":[1,],"text":"t"})"), "ERR expected value at line 1 column 12");
}

// --- Records ------------------------------------------------------------------

TEST(JsonRecords, ObjectAndArrayFormsReadTheSameRecord) {
    auto object = json::from_text<probe::Probe>(
        R"({"text":"t","id":"s1","big":5,"small":7,"word":3,"ratio":1,"flag":true,"colour":"blue",)"
        R"("note":null,"items":[{"name":"n","size":2}],"by_target":{"y":1},"free":[1]})");
    auto array = json::from_text<probe::Probe>(
        R"(["t","s1",5,7,3,1,true,{"blue":null},null,null,[["n",2]],{"y":1},[1]])");
    ASSERT_TRUE(object.has_value()) << object.error().to_string();
    ASSERT_TRUE(array.has_value()) << array.error().to_string();
    EXPECT_EQ(*object, *array);
    EXPECT_EQ(json::to_text(*object),
              R"({"text":"t","id":"s1","big":5,"small":7,"word":3,"ratio":1.0,"flag":true,"colour":"blue",)"
              R"("note":null,"items":[{"name":"n","size":2}],"by_target":{"y":1},"free":[1],"deterministic":true})");
}

TEST(JsonRecords, WrittenFormsFollowEachFieldsRule) {
    auto r = json::from_text<probe::Probe>(R"({"text":"t","id":"i","big":0})");
    ASSERT_TRUE(r.has_value());
    // Absent optional written as null, or left out; defaults written; empty list
    // and false flag left out by their rules.
    EXPECT_EQ(json::to_text(*r),
              R"({"text":"t","id":"i","big":0,"small":0,"word":null,"ratio":0.0,"colour":"red","note":null,)"
              R"("by_target":{},"free":null,"deterministic":true})");
    // Through a generic value the same fields appear, keys sorted.
    EXPECT_EQ(json::to_text(json::to_value(*r)),
              R"({"big":0,"by_target":{},"colour":"red","deterministic":true,"free":null,"id":"i","note":null,)"
              R"("ratio":0.0,"small":0,"text":"t","word":null})");
}

TEST(JsonRecords, TextRouteMessages) {
    const Case cases[] = {
        {"{}", "ERR missing field `text` at line 1 column 2"},
        {R"({"text":"t","big":1} )", "ERR missing field `id` at line 1 column 20"},
        {R"({"text":"t", "text" :1})", "ERR duplicate field `text` at line 1 column 20"},
        {"5", "ERR invalid type: integer `5`, expected struct Probe at line 1 column 1"},
        {"\"x\"", "ERR invalid type: string \"x\", expected struct Probe at line 1 column 3"},
        {"null", "ERR invalid type: null, expected struct Probe at line 1 column 4"},
        {"[]", "ERR invalid length 0, expected struct Probe with 14 elements at line 1 column 2"},
        {R"(["t","i"])", "ERR invalid length 2, expected struct Probe with 14 elements at line 1 column 9"},
        {R"(["t","i",1,2,null,1,true,"red",null,null,[],{},1,true,9])",
         "ERR trailing characters at line 1 column 55"},
        {R"({"text":1})", "ERR invalid type: integer `1`, expected a string at line 1 column 9"},
        {R"({"text":[1]})", "ERR invalid type: sequence, expected a string at line 1 column 8"},
        {R"({"text":{}})", "ERR invalid type: map, expected a string at line 1 column 8"},
        {R"({"text":"a\tb\"c", "id":1})", "ERR invalid type: integer `1`, expected a string at line 1 column 25"},
        {R"({"big":-1})", "ERR invalid value: integer `-1`, expected u64 at line 1 column 9"},
        {R"({"big":1.0})", "ERR invalid type: floating point `1.0`, expected u64 at line 1 column 10"},
        {R"({"big":1e16})", "ERR invalid type: floating point `1e+16`, expected u64 at line 1 column 11"},
        {R"({"big":18446744073709551616})",
         "ERR invalid type: floating point `1.8446744073709552e+19`, expected u64 at line 1 column 27"},
        {R"({"big":"1"})", "ERR invalid type: string \"1\", expected u64 at line 1 column 10"},
        {R"({"small":4294967296})", "ERR invalid value: integer `4294967296`, expected u32 at line 1 column 19"},
        {R"({"word":-3})", "ERR invalid value: integer `-3`, expected usize at line 1 column 10"},
        {R"({"ratio":"x"})", "ERR invalid type: string \"x\", expected f64 at line 1 column 12"},
        {R"({"flag":1})", "ERR invalid type: integer `1`, expected a boolean at line 1 column 9"},
        {R"({"flag":null})", "ERR invalid type: null, expected a boolean at line 1 column 12"},
        {R"({"colour":"green"})",
         "ERR unknown variant `green`, expected one of `red`, `dark_green`, `blue` at line 1 column 17"},
        {R"({"colour":1})", "ERR expected value at line 1 column 11"},
        {R"({"colour":{"red":1}})", "ERR invalid type: integer `1`, expected unit at line 1 column 18"},
        {R"({"colour":{"red":null,"blue":null}})", "ERR expected value at line 1 column 21"},
        {R"({"colour":{"pink":null}})",
         "ERR unknown variant `pink`, expected one of `red`, `dark_green`, `blue` at line 1 column 17"},
        {R"({"items":{}})", "ERR invalid type: map, expected a sequence at line 1 column 9"},
        {R"({"by_target":[]})", "ERR invalid type: sequence, expected a map at line 1 column 13"},
        {R"({"id":"a b"})",
         "ERR invalid identifier `a b`: identifier contains unsupported characters at line 1 column 12"},
        {R"({"id":"a b" , "x":1})",
         "ERR invalid identifier `a b`: identifier contains unsupported characters at line 1 column 12"},
        {R"({"by_target":{"bad key" : 1}})",
         "ERR invalid identifier `bad key`: identifier contains unsupported characters at line 1 column 24"},
        {R"({"text":"t","id":"i","big":1,"items":[{"name":"a"},{"size":1}]})",
         "ERR missing field `name` at line 1 column 61"},
    };
    for (const Case& c : cases) EXPECT_EQ(read_text<probe::Probe>(c.text), c.expected) << c.text;
}

TEST(JsonRecords, IdentifierErrorsInsideArraysStopBeforeTheComma) {
    // Before a closing bracket the position takes the bracket; before a comma it
    // stops after the white space, leaving the comma.
    EXPECT_EQ(read_text<std::vector<vx::SampleId>>(R"(["a b" ])"),
              "ERR invalid identifier `a b`: identifier contains unsupported characters at line 1 column 8");
    EXPECT_EQ(read_text<std::vector<vx::SampleId>>(R"(["a b" , "c"])"),
              "ERR invalid identifier `a b`: identifier contains unsupported characters at line 1 column 7");
}

TEST(JsonRecords, UnknownKeysRejectedWhereDeclared) {
    EXPECT_EQ(read_text<probe::Strict>(R"({"a":"x","c":1})"),
              "ERR unknown field `c`, expected `a` or `b` at line 1 column 12");
    EXPECT_EQ(read_text<probe::Strict>(R"({"a":"x"})"), R"(OK {"a":"x","b":null})");
    EXPECT_EQ(read_value<probe::Strict>(R"({"c":1,"a":"x"})"), "ERR unknown field `c`, expected `a` or `b`");
    EXPECT_EQ(read_text<probe::Probe>(R"({"zz":1,"text":"t","id":"i","big":2})").substr(0, 3), "OK ");
}

TEST(JsonRecords, ValueRouteMessagesCarryNoPosition) {
    const Case cases[] = {
        {"{}", "ERR missing field `text`"},
        {"[]", "ERR invalid length 0, expected struct Probe with 14 elements"},
        {R"(["t","i",1,2,null,1,true,"red",null,null,[],{},1,true,9])",
         "ERR invalid length 15, expected fewer elements in array"},
        {R"({"text":"t","text":"u","id":"i","big":1})", R"(OK {"text":"u","id":"i","big":1,"small":0,"word":null,)"
                                                         R"("ratio":0.0,"colour":"red","note":null,"by_target":{},)"
                                                         R"("free":null,"deterministic":true})"},
        {R"({"big":-1})", "ERR invalid value: integer `-1`, expected u64"},
        {R"({"colour":{"red":null,"blue":null}})", "ERR invalid value: map, expected map with a single key"},
        {R"({"colour":5})", "ERR invalid type: integer `5`, expected string or map"},
        {R"({"colour":{"red":1}})", "ERR invalid type: integer `1`, expected unit"},
        {R"({"id":"a b"})", "ERR invalid identifier `a b`: identifier contains unsupported characters"},
        // Members are read in key order: "big" is met before "text".
        {R"({"text":1,"big":"x"})", "ERR invalid type: string \"x\", expected u64"},
        {"true", "ERR invalid type: boolean `true`, expected struct Probe"},
    };
    for (const Case& c : cases) EXPECT_EQ(read_value<probe::Probe>(c.text), c.expected) << c.text;
}

// --- Writer -----------------------------------------------------------------

TEST(JsonWriter, FloatForms) {
    struct FloatCase {
        double value;
        std::string_view text;
    };
    const FloatCase cases[] = {
        {0.1, "0.1"},
        {100.0, "100.0"},
        {1.0, "1.0"},
        {150.0, "150.0"},
        {1.5, "1.5"},
        {123.25, "123.25"},
        {0.05, "0.05"},
        {1e15, "1000000000000000.0"},
        {1e16, "1e+16"},
        {1e-5, "0.00001"},
        {1e-6, "1e-6"},
        {1.5e-7, "1.5e-7"},
        {1e21, "1e+21"},
        {123456789012345680000.0, "1.2345678901234568e+20"},
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {-2.5, "-2.5"},
        {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
        {std::numeric_limits<double>::denorm_min(), "5e-324"},
        {std::nan(""), "null"},
        {std::numeric_limits<double>::infinity(), "null"},
        {-std::numeric_limits<double>::infinity(), "null"},
    };
    for (const FloatCase& c : cases) EXPECT_EQ(json::format_float(c.value), c.text) << c.value;
}

TEST(JsonWriter, EscapesOnlyQuotesBackslashesAndControlBytes) {
    json::Writer w;
    w.string("tab\there\x1f/\x7f\"\\\b\f\n\r\x01é");
    EXPECT_EQ(w.buffer(), "\"tab\\there\\u001f/\x7f\\\"\\\\\\b\\f\\n\\r\\u0001é\"");
}

TEST(JsonValue, ConversionKeepsNumberKindsAndNullsNonFiniteFloats) {
    EXPECT_EQ(json::to_text(json::Value::floating(std::nan(""))), "null");
    EXPECT_EQ(json::to_text(json::Value::signed_integer(5)), "5");
    EXPECT_EQ(json::Value::signed_integer(5).kind(), json::Value::Kind::unsigned_integer);
    EXPECT_EQ(json::to_text(json::Value::signed_integer(-5)), "-5");
}

TEST(JsonValue, ASharedValueReadsWritesAndComparesAsWhatItShares) {
    const std::string text = R"({"a":[1,-2,2.5,"x",null,true],"b":{"c":{}}})";
    const auto parsed = json::parse(text);
    ASSERT_TRUE(parsed.has_value());
    const auto held = std::make_shared<const json::Value>(*parsed);
    const json::Value shared = json::Value::shared(held);
    const json::Value twice = json::Value::shared(std::make_shared<const json::Value>(shared));
    for (const json::Value* v : {&shared, &twice}) {
        EXPECT_EQ(json::to_text(*v), text);
        EXPECT_EQ(*v, *parsed);
        EXPECT_TRUE(v->is_object());
        EXPECT_EQ(v->kind(), json::Value::Kind::object);
        EXPECT_EQ(json::to_text(json::to_value(*v)), text);
    }
    // Changing a copy gives it its own value; the shared one stays as it was.
    json::Value changed = shared;
    changed.as_object().insert_or_assign("d", json::Value::boolean(false));
    EXPECT_EQ(json::to_text(changed), R"({"a":[1,-2,2.5,"x",null,true],"b":{"c":{}},"d":false})");
    EXPECT_EQ(json::to_text(*held), text);
    EXPECT_EQ(json::to_text(shared), text);
    EXPECT_NE(changed, shared);
    json::Value scalar = json::Value::shared(std::make_shared<const json::Value>(json::Value::string("s")));
    scalar.as_string() += "t";
    EXPECT_EQ(json::to_text(scalar), R"("st")");
}

}  // namespace
