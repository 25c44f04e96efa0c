#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "veltrinax/fingerprint.hpp"
#include "veltrinax/json.hpp"
#include "veltrinax/model.hpp"
#include "veltrinax/text.hpp"
#include "readers.hpp"
#include "support.hpp"

namespace {

using namespace veltrinax;

using veltrinax::testing::read;

// The rule text of a failed validation, or "" on success.
std::string rule_text(const Status& status) { return status ? "" : veltrinax::testing::outcome(status.error()); }

// Answers in the framing "OK <written form>" / "ERR <message>", on either route.
std::string answer(std::string_view type, std::string_view text, bool value_route) {
    return veltrinax::testing::read_document(type, text, value_route).value_or("no reader for the type");
}

// Reading answers checked against the peer reader (tagged coordinate values, axes
// and the other model records, both routes) are in data/reader_cases.jsonl.

std::string nested_arrays(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// The tagged object is collected whole, so even a key it ignores counts towards
// the nesting limit; an ordinary record skips an unknown key's value unlimited.
TEST(ModelReader, CollectedCoordinateValuesObeyTheNestingLimit) {
    EXPECT_EQ(answer("CoordinateValues", R"({"x":)" + nested_arrays(126) + R"(,"kind":"explicit","values":[]})", false),
              R"(OK {"kind":"explicit","values":[]})");
    EXPECT_EQ(answer("CoordinateValues", R"({"x":)" + nested_arrays(127) + R"(,"kind":"explicit","values":[]})", false),
              "ERR recursion limit exceeded at line 1 column 132");
    EXPECT_EQ(answer("CoordinateSpec", R"({"dtype":"numeric","values":{"kind":"explicit","values":[],"x":)" +
                                         nested_arrays(126) + "}}",
                                     false),
              "ERR recursion limit exceeded at line 1 column 189");
    EXPECT_EQ(answer("CoordinateSpec", R"({"dtype":"numeric","x":)" + nested_arrays(300) +
                                         R"(,"values":{"kind":"explicit","values":[]}})",
                                     false),
              R"(OK {"dtype":"numeric","ordered":false,"values":{"kind":"explicit","values":[]}})");
}

// ---------------------------------------------------------------------------
// Writing: declared key order, and for each field whether an absent value is
// written as null or left out.
// ---------------------------------------------------------------------------

struct WrittenCase {
    std::string_view type;
    std::string_view input;
    std::string_view written;
};

const WrittenCase written_cases[] = {
    {"AxisSpec", R"({"name":"a","kind":"sample"})", R"({"name":"a","kind":"sample","unit":null,"size":null,"variable":false})"},
    {"AxisSpec",
     R"({"kind":"wavelength","name":"wl","unit":"nm","size":3,"variable":false,"coordinate":{"values":{"step":0.5,"start":400,"kind":"regular_grid"},"ordered":true,"dtype":"numeric"}})",
     R"({"name":"wl","kind":"wavelength","unit":"nm","size":3,"variable":false,"coordinate":{"dtype":"numeric","ordered":true,"values":{"kind":"regular_grid","start":400.0,"step":0.5}}})"},
    {"CoordinateSpec",
     R"({"dtype":"categorical","values":{"values":[1,-2,1.5,"x",{"b":2,"a":1},null,true],"kind":"explicit"}})",
     R"({"dtype":"categorical","ordered":false,"values":{"kind":"explicit","values":[1,-2,1.5,"x",{"a":1,"b":2},null,true]}})"},
    {"RepresentationSpec", R"({"id":"r","type_id":"t","axes":[],"container":"c"})",
     R"({"id":"r","type_id":"t","rank":null,"axes":[],"container":"c","dtype":null,"sparse":false,"ragged":false})"},
    {"RepresentationSpec",
     R"({"signal_type":"log_reflectance","ragged":true,"sparse":true,"dtype":"f4","container":"c","axes":[],"rank":0,"type_id":"t","id":"r"})",
     R"({"id":"r","type_id":"t","rank":0,"axes":[],"container":"c","dtype":"f4","sparse":true,"ragged":true,"signal_type":"log_reflectance"})"},
    {"AxisSizeContract", "{}", "{}"},
    {"AxisSizeContract", R"({"max":4,"min":1,"exact":2})", R"({"exact":2,"min":1,"max":4})"},
    {"ShapeContract", "{}", R"({"allow_ragged":false})"},
    {"ShapeContract", R"({"allow_ragged":true,"axis_sizes":{"b":{"max":2},"a":{}},"rank":2})",
     R"({"rank":2,"axis_sizes":{"a":{},"b":{"max":2}},"allow_ragged":true})"},
    {"SourceDescriptor",
     R"({"id":"s","name":"n","type_id":"t","modality":"m","native_representation":{"id":"r","type_id":"t","axes":[],"container":"c"},"sample_key":"k","granularity":"per_sample_set"})",
     R"({"id":"s","name":"n","type_id":"t","modality":"m","native_representation":{"id":"r","type_id":"t","rank":null,"axes":[],"container":"c","dtype":null,"sparse":false,"ragged":false},"sample_key":"k","granularity":"per_sample_set","schema":{},"tags":{}})"},
    {"SourceDescriptor",
     R"({"shape_contract":{"rank":1},"tags":{"z":1,"a":2},"schema":{"c":"x"},"granularity":"per_target","sample_key":"k","native_representation":{"id":"r","type_id":"t","axes":[],"container":"c"},"modality":"m","type_id":"t","name":"n","id":"s"})",
     R"({"id":"s","name":"n","type_id":"t","modality":"m","native_representation":{"id":"r","type_id":"t","rank":null,"axes":[],"container":"c","dtype":null,"sparse":false,"ragged":false},"sample_key":"k","granularity":"per_target","schema":{"c":"x"},"tags":{"a":2,"z":1},"shape_contract":{"rank":1,"allow_ragged":false}})"},
    {"MetadataFieldSpec", R"({"kind":"string"})", R"({"kind":"string","required":false})"},
    {"MetadataFieldSpec", R"({"description":"d","allowed_values":["a",2],"unit":"kg","required":true,"kind":"categorical"})",
     R"({"kind":"categorical","required":true,"unit":"kg","allowed_values":["a",2],"description":"d"})"},
    {"MetadataSchema", "{}", "{}"},
    {"MetadataSchema", R"({"fields":{"b":{"kind":"date"},"a":{"kind":"json"}}})",
     R"({"fields":{"a":{"kind":"json","required":false},"b":{"kind":"date","required":false}}})"},
    {"GroupSpec", R"({"id":"g","kind":"subject","column":"c"})", R"({"id":"g","kind":"subject","column":"c","strict":false})"},
    {"GroupSpec", R"({"metadata":{"k":1},"strict":true,"source_id":"s","column":"c","kind":"repetition_group","id":"g"})",
     R"({"id":"g","kind":"repetition_group","column":"c","source_id":"s","strict":true,"metadata":{"k":1}})"},
    {"FoldSpec", R"({"id":"f","group_id":null,"split_column":null,"metadata":{}})", R"({"id":"f"})"},
    {"FoldSpec", R"({"metadata":{"k":1},"split_column":"c","group_id":"g","id":"f"})",
     R"({"id":"f","group_id":"g","split_column":"c","metadata":{"k":1}})"},
    {"DatasetSchema", R"({"dataset_id":"d","sample_ids":["b","a"],"sources":[],"metadata_schema":null,"groups":[],"folds":[]})",
     R"({"dataset_id":"d","sample_ids":["b","a"],"sources":[],"targets":{},"metadata":{}})"},
    {"DatasetSchema",
     R"({"folds":[{"id":"f","split_column":"s"}],"groups":[{"id":"g","kind":"batch","column":"c"}],"metadata_schema":{},"metadata":{"m":{"id":"r","type_id":"t","axes":[],"container":"c"}},"targets":{"y":{"id":"r","type_id":"t","axes":[],"container":"c"}},"sources":[],"sample_ids":["a"],"dataset_id":"d"})",
     R"({"dataset_id":"d","sample_ids":["a"],"sources":[],"targets":{"y":{"id":"r","type_id":"t","rank":null,"axes":[],"container":"c","dtype":null,"sparse":false,"ragged":false}},"metadata":{"m":{"id":"r","type_id":"t","rank":null,"axes":[],"container":"c","dtype":null,"sparse":false,"ragged":false}},"metadata_schema":{},"groups":[{"id":"g","kind":"batch","column":"c","strict":false}],"folds":[{"id":"f","split_column":"s"}]})"},
};

TEST(ModelWriter, WritesDeclaredOrderWithNullOrLeftOutPerField) {
    for (const WrittenCase& c : written_cases) {
        std::string expected = "OK " + std::string(c.written);
        EXPECT_EQ(answer(c.type, c.input, false), expected) << c.input;
        // The written form reads back to itself on both routes.
        EXPECT_EQ(answer(c.type, c.written, false), expected) << c.written;
        EXPECT_EQ(answer(c.type, c.written, true), expected) << c.written;
    }
}

TEST(ModelWriter, GenericValueOfCoordinatesSortsTheirKeys) {
    auto coords = read<CoordinateValues>(R"({"step":2,"start":1,"kind":"regular_grid"})");
    EXPECT_EQ(json::to_text(json::to_value(coords)), R"({"kind":"regular_grid","start":1.0,"step":2.0})");
    auto listed = read<CoordinateValues>(R"(["explicit",[3,"a"]])");
    json::Value v = json::to_value(listed);
    EXPECT_EQ(json::to_text(v), R"({"kind":"explicit","values":[3,"a"]})");
    auto back = json::from_value<CoordinateValues>(v);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, listed);
}

// ---------------------------------------------------------------------------
// Axes and coordinates
// ---------------------------------------------------------------------------

struct RuleCase {
    std::string_view doc;
    std::string_view expected;  // "" when the record is valid
};

// Wraps a coordinate object into an axis named `a`.
std::string axis_with(std::string_view extra, std::string_view coordinate) {
    std::string doc = R"({"name":"a","kind":"feature")";
    if (!extra.empty()) doc += "," + std::string(extra);
    if (!coordinate.empty()) doc += R"(,"coordinate":)" + std::string(coordinate);
    return doc + "}";
}

struct AxisCase {
    std::string_view extra;       // further axis members
    std::string_view coordinate;  // the coordinate object, or ""
    std::string_view expected;
};

const AxisCase axis_cases[] = {
    // the axis itself
    {R"("size":2)", "", ""},
    {R"("unit":" \t\u3000")", "", "axis `a` has an empty unit"},
    {R"("variable":true,"size":3)", R"({"dtype":"numeric","values":{"kind":"explicit","values":[]}})",
     "axis `a` cannot be both variable and sized"},
    {R"("variable":true,"size":3,"unit":"")", "", "axis `a` cannot be both variable and sized"},
    {R"("variable":true,"unit":"")", R"({"dtype":"numeric","values":{"kind":"explicit","values":[1]}})",
     "axis `a` has an empty unit"},
    {R"("variable":true)", R"({"dtype":"numeric","values":{"kind":"explicit","values":[1]}})",
     "axis `a` cannot carry coordinates while variable"},
    // regular grids
    {R"("size":3)", R"({"dtype":"numeric","ordered":true,"values":{"kind":"regular_grid","start":0,"step":-0.5}})", ""},
    {"", R"({"dtype":"categorical","values":{"kind":"regular_grid","start":0,"step":1}})",
     "axis `a` regular-grid coordinates require numeric dtype"},
    {"", R"({"dtype":"numeric","values":{"kind":"regular_grid","start":0,"step":0}})",
     "axis `a` regular-grid coordinates require a known axis size"},
    {R"("size":3)", R"({"dtype":"numeric","ordered":true,"values":{"kind":"regular_grid","start":0,"step":0}})",
     "axis `a` regular-grid step must be non-zero"},
    {R"("size":3)", R"({"dtype":"numeric","ordered":true,"values":{"kind":"regular_grid","start":0,"step":-0.0}})",
     "axis `a` regular-grid step must be non-zero"},
    {R"("size":3)", R"({"dtype":"numeric","values":{"kind":"regular_grid","start":0,"step":0}})",
     "axis `a` regular-grid step must be non-zero"},
    {R"("size":3)", R"({"dtype":"numeric","values":{"kind":"regular_grid","start":0,"step":1}})",
     "axis `a` regular-grid coordinates are inherently ordered; set ordered=true"},
    // explicit values: count
    {"", R"({"dtype":"numeric","values":{"kind":"explicit","values":[]}})", "axis `a` has empty explicit coordinates"},
    {R"("size":4)", R"({"dtype":"numeric","values":{"kind":"explicit","values":[1,2,3]}})",
     "axis `a` has 3 coordinates for size 4"},
    {"", R"({"dtype":"numeric","values":{"kind":"explicit","values":[1,2,3]}})", ""},
    // numeric
    {"", R"({"dtype":"numeric","values":{"kind":"explicit","values":[1,"2"]}})",
     R"(axis `a` numeric coordinate `"2"` is not a finite number)"},
    {"", R"({"dtype":"numeric","values":{"kind":"explicit","values":[{"b":1,"a":[true,"q\""]}]}})",
     R"(axis `a` numeric coordinate `{"a":[true,"q\""],"b":1}` is not a finite number)"},
    {"", R"({"dtype":"numeric","ordered":true,"values":{"kind":"explicit","values":[1,2,2]}})",
     "axis `a` ordered coordinates must be strictly monotonic"},
    {"", R"({"dtype":"numeric","ordered":true,"values":{"kind":"explicit","values":[1,3,2]}})",
     "axis `a` ordered coordinates must be strictly monotonic"},
    {"", R"({"dtype":"numeric","ordered":true,"values":{"kind":"explicit","values":[3,2,1,-0.5]}})", ""},
    {"", R"({"dtype":"numeric","ordered":true,"values":{"kind":"explicit","values":[5]}})", ""},
    {"", R"({"dtype":"numeric","ordered":false,"values":{"kind":"explicit","values":[1,3,2,2]}})", ""},
    {"", R"({"dtype":"numeric","ordered":true,"values":{"kind":"explicit","values":[-0.0,0]}})",
     "axis `a` ordered coordinates must be strictly monotonic"},
    // 2^53 and 2^53+1 are the same double; 2^53+2 is the next one.
    {"", R"({"dtype":"numeric","ordered":true,"values":{"kind":"explicit","values":[9007199254740992,9007199254740993]}})",
     "axis `a` ordered coordinates must be strictly monotonic"},
    {"", R"({"dtype":"numeric","ordered":true,"values":{"kind":"explicit","values":[9007199254740992,9007199254740994]}})",
     ""},
    {"", R"({"dtype":"numeric","ordered":true,"values":{"kind":"explicit","values":[-9007199254740993,-9007199254740992]}})",
     "axis `a` ordered coordinates must be strictly monotonic"},
    // a value error is found before the order is looked at
    {"", R"({"dtype":"numeric","ordered":true,"values":{"kind":"explicit","values":[2,1,true]}})",
     "axis `a` numeric coordinate `true` is not a finite number"},
    // categorical
    {"", R"({"dtype":"categorical","values":{"kind":"explicit","values":["a"," ","b"]}})", ""},
    {"", R"({"dtype":"categorical","ordered":true,"values":{"kind":"explicit","values":["b","a","c"]}})", ""},
    {"", R"({"dtype":"categorical","values":{"kind":"explicit","values":["a",""]}})",
     R"(axis `a` categorical coordinate `""` is not a non-empty string)"},
    {"", R"({"dtype":"categorical","values":{"kind":"explicit","values":["a",1]}})",
     "axis `a` categorical coordinate `1` is not a non-empty string"},
    {"", R"({"dtype":"categorical","values":{"kind":"explicit","values":["a","b","a"]}})",
     "axis `a` categorical coordinate `a` is duplicated"},
    {"", R"({"dtype":"categorical","values":{"kind":"explicit","values":["x\ty","x\ty"]}})",
     "axis `a` categorical coordinate `x\ty` is duplicated"},
    {"", R"({"dtype":"categorical","values":{"kind":"explicit","values":["a","a",""]}})",
     "axis `a` categorical coordinate `a` is duplicated"},
    {"", R"({"dtype":"categorical","values":{"kind":"explicit","values":["a",null,"a"]}})",
     "axis `a` categorical coordinate `null` is not a non-empty string"},
    {"", R"({"dtype":"categorical","values":{"kind":"explicit","values":["a","A","a "]}})", ""},
    // datetime
    {"", R"({"dtype":"datetime","values":{"kind":"explicit","values":["2024-02-29T00:00:00Z",5]}})",
     "axis `a` datetime coordinate `5` is not a string"},
    {"", R"({"dtype":"datetime","values":{"kind":"explicit","values":[["2024-02-29T00:00:00Z"]]}})",
     R"(axis `a` datetime coordinate `["2024-02-29T00:00:00Z"]` is not a string)"},
    {"", R"({"dtype":"datetime","values":{"kind":"explicit","values":["2023-02-29T00:00:00Z"]}})",
     "axis `a` datetime coordinate `2023-02-29T00:00:00Z` is not canonical RFC 3339 UTC seconds "
     "(YYYY-MM-DDThh:mm:ssZ)"},
    {"", R"({"dtype":"datetime","ordered":true,"values":{"kind":"explicit","values":["2024-01-01T00:00:00Z","2024-01-01T00:00:00Z"]}})",
     "axis `a` ordered coordinates must be strictly monotonic"},
    {"", R"({"dtype":"datetime","ordered":true,"values":{"kind":"explicit","values":["2024-01-02T00:00:00Z","2024-01-01T23:59:59Z","0000-01-01T00:00:00Z"]}})",
     ""},
    {"", R"({"dtype":"datetime","ordered":true,"values":{"kind":"explicit","values":["2024-01-01T00:00:00Z","2024-01-03T00:00:00Z","2024-01-02T00:00:00Z"]}})",
     "axis `a` ordered coordinates must be strictly monotonic"},
    {"", R"({"dtype":"datetime","ordered":false,"values":{"kind":"explicit","values":["2024-01-01T00:00:00Z","2024-01-01T00:00:00Z"]}})",
     ""},
};

TEST(AxisValidation, EveryRuleWithItsMessageInOrder) {
    for (const AxisCase& c : axis_cases) {
        std::string doc = axis_with(c.extra, c.coordinate);
        EXPECT_EQ(rule_text(read<AxisSpec>(doc).validate()), c.expected) << doc;
    }
}

TEST(AxisValidation, BlankNameIsReportedWithoutTheName) {
    for (std::string_view name : {"", "  ", "\t\n", "\u00a0", "\u2003\u3000"}) {
        AxisSpec axis;
        axis.name = std::string(name);
        axis.variable = true;
        axis.size = 3;  // would fail next
        EXPECT_EQ(rule_text(axis.validate()), "axis name is empty") << name;
    }
    AxisSpec zero_width;
    zero_width.name = "\u200b";  // not white space
    EXPECT_EQ(rule_text(zero_width.validate()), "");
}

TEST(AxisValidation, RegularGridMustBeFinite) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Grid {
        double start;
        double step;
        std::string_view expected;
    };
    const Grid grids[] = {
        {nan, 1.0, "axis `g` regular-grid start/step must be finite"},
        {0.0, inf, "axis `g` regular-grid start/step must be finite"},
        {-inf, 0.0, "axis `g` regular-grid start/step must be finite"},
        {0.0, 0.0, "axis `g` regular-grid step must be non-zero"},
        {1e308, -1e308, ""},
    };
    for (const Grid& g : grids) {
        CoordinateSpec spec;
        spec.ordered = true;
        spec.values = CoordinateValues::RegularGrid{g.start, g.step};
        EXPECT_EQ(rule_text(spec.validate("g", 10, false)), g.expected) << g.start << " " << g.step;
    }
}

TEST(AxisValidation, CanonicalDatetimes) {
    struct Case {
        std::string_view text;
        bool canonical;
    };
    const Case cases[] = {
        {"2024-02-29T00:00:00Z", true},  {"2000-02-29T00:00:00Z", true},  {"0000-02-29T23:59:59Z", true},
        {"2024-12-31T23:59:59Z", true},  {"9999-01-31T00:00:00Z", true},  {"2024-04-30T12:00:00Z", true},
        {"2023-02-29T00:00:00Z", false}, {"1900-02-29T00:00:00Z", false}, {"2100-02-29T00:00:00Z", false},
        {"2023-02-28T00:00:00Z", true},  {"2024-04-31T00:00:00Z", false}, {"2024-06-31T00:00:00Z", false},
        {"2024-01-32T00:00:00Z", false},
        {"2024-09-31T00:00:00Z", false}, {"2024-11-31T00:00:00Z", false}, {"2024-11-30T00:00:00Z", true},
        {"2024-07-31T00:00:00Z", true},  {"2024-08-31T00:00:00Z", true},  {"2024-10-31T00:00:00Z", true}, {"2024-01-00T00:00:00Z", false}, {"2024-00-01T00:00:00Z", false},
        {"2024-13-01T00:00:00Z", false}, {"2024-01-01T24:00:00Z", false}, {"2024-01-01T00:60:00Z", false},
        {"2024-01-01T00:00:60Z", false}, {"2024-01-01t00:00:00z", false}, {"2024-01-01T00:00:00z", false},
        {"2024-01-01T00:00:00.5Z", false}, {"2024-01-01T00:00:00+00:00", false}, {"2024-01-01 00:00:00Z", false},
        {"2024-1-01T00:00:00Z", false},  {"2024-01-01T00:00:00", false},  {"+024-01-01T00:00:00Z", false},
        {"2024/01/01T00:00:00Z", false}, {"2024-01-01T00-00-00Z", false}, {"", false},
        {"\xef\xbc\x92" "024-01-01T00:00:00Z", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(is_canonical_utc_datetime(c.text), c.canonical) << c.text;
        std::string doc = axis_with("", R"({"dtype":"datetime","values":{"kind":"explicit","values":[)" +
                                            json::to_text(json::Value::string(std::string(c.text))) + "]}}");
        std::string expected =
            c.canonical ? "" : "axis `a` datetime coordinate `" + std::string(c.text) +
                                   "` is not canonical RFC 3339 UTC seconds (YYYY-MM-DDThh:mm:ssZ)";
        EXPECT_EQ(rule_text(read<AxisSpec>(doc).validate()), expected) << c.text;
    }
}

// ---------------------------------------------------------------------------
// Representations and shape contracts
// ---------------------------------------------------------------------------

const RuleCase representation_cases[] = {
    {R"({"id":"r","type_id":"t","rank":1,"axes":[{"name":"s","kind":"sample"}],"container":"ndarray"})", ""},
    {R"({"id":"r","type_id":"t","rank":5,"axes":[],"container":" \u2028"})", "representation `r` has an empty container"},
    {R"({"id":"r","type_id":"t","axes":[{"name":"","kind":"sample"}],"container":"c"})",
     "representation `r` with no rank must be ragged"},
    {R"({"id":"r","type_id":"t","rank":2,"axes":[{"name":"","kind":"sample"},{"name":"b","kind":"time"},{"name":"c","kind":"time"}],"container":"c"})",
     "representation `r` has rank 2 but 3 axes"},
    {R"({"id":"r","type_id":"t","rank":0,"axes":[],"container":"c"})", "representation `r` has no sample axis"},
    {R"({"id":"r","type_id":"t","rank":2,"axes":[{"name":"s","kind":"feature"},{"name":" ","kind":"time"}],"container":"c"})",
     "axis name is empty"},
    {R"({"id":"r","type_id":"t","rank":2,"axes":[{"name":"s","kind":"sample"},{"name":"w","kind":"time","unit":""}],"container":"c"})",
     "axis `w` has an empty unit"},
    {R"({"id":"r","type_id":"t","axes":[],"container":"c","ragged":true})", "representation `r` has no sample axis"},
    {R"({"id":"r","type_id":"t","axes":[],"container":"graph_batch","ragged":true})", ""},
    {R"({"id":"r","type_id":"t","rank":1,"axes":[{"name":"n","kind":"node"}],"container":"graph_batch"})", ""},
    {R"({"id":"r","type_id":"t","axes":[],"container":"Graph_batch","ragged":true})", "representation `r` has no sample axis"},
    {R"({"id":"r","type_id":"t","axes":[],"container":" graph_batch","ragged":true})", "representation `r` has no sample axis"},
    {R"({"id":"r","type_id":"t","axes":[{"name":"a","kind":"time"},{"name":"a","kind":"sample"},{"name":"a","kind":"sample"}],"container":"c","ragged":true,"sparse":true})",
     ""},
};

TEST(RepresentationValidation, EveryRuleWithItsMessageInOrder) {
    for (const RuleCase& c : representation_cases) {
        EXPECT_EQ(rule_text(read<RepresentationSpec>(c.doc).validate()), c.expected) << c.doc;
    }
}

TEST(ShapeContractValidation, AxisSizeBounds) {
    const RuleCase cases[] = {
        {"{}", "shape contract for axis `x y` does not constrain the size"},
        {R"({"exact":5,"min":5,"max":5})", ""},
        {R"({"min":0})", ""},
        {R"({"min":6,"max":5})", "shape contract for axis `x y` has min 6 greater than max 5"},
        {R"({"exact":9,"min":6,"max":5})", "shape contract for axis `x y` has min 6 greater than max 5"},
        {R"({"exact":3,"min":4})", "shape contract for axis `x y` exact size 3 is below min 4"},
        {R"({"exact":3,"min":4,"max":2})", "shape contract for axis `x y` has min 4 greater than max 2"},
        {R"({"exact":6,"max":5})", "shape contract for axis `x y` exact size 6 is above max 5"},
        {R"({"exact":6,"min":7,"max":8})", "shape contract for axis `x y` exact size 6 is below min 7"},
        {R"({"exact":18446744073709551615,"min":1})", ""},
    };
    for (const RuleCase& c : cases) {
        EXPECT_EQ(rule_text(read<AxisSizeContract>(c.doc).validate("x y")), c.expected) << c.doc;
    }
}

TEST(ShapeContractValidation, ContractAlone) {
    const RuleCase cases[] = {
        {"{}", "shape contract must constrain rank or at least one axis"},
        {R"({"allow_ragged":true})", "shape contract must constrain rank or at least one axis"},
        {R"({"rank":0})", ""},
        {R"({"axis_sizes":{"a":{"min":1}}})", ""},
        {R"({"axis_sizes":{" ":{"min":1}}})", "shape contract contains an empty axis name"},
        {R"({"axis_sizes":{"":{"min":1}}})", "shape contract contains an empty axis name"},
        // entries in byte order: " " < "a" < "b"
        {R"({"axis_sizes":{"b":{},"a":{"min":2,"max":1}}})", "shape contract for axis `a` has min 2 greater than max 1"},
        {R"({"axis_sizes":{"a":{},"\u3000":{"min":1}," ":{}}})", "shape contract contains an empty axis name"},
    };
    for (const RuleCase& c : cases) {
        EXPECT_EQ(rule_text(read<ShapeContract>(c.doc).validate()), c.expected) << c.doc;
    }
}

TEST(ShapeContractValidation, AgainstARepresentation) {
    struct Case {
        std::string_view contract;
        std::string_view representation;
        std::string_view expected;
    };
    constexpr std::string_view fixed =
        R"({"id":"r","type_id":"t","rank":3,"axes":[{"name":"sample","kind":"sample"},{"name":"wl","kind":"wavelength","size":3},{"name":"t","kind":"time"}],"container":"c"})";
    constexpr std::string_view ragged =
        R"({"id":"r","type_id":"t","rank":2,"axes":[{"name":"sample","kind":"sample"},{"name":"t","kind":"time","variable":true}],"container":"c","ragged":true})";
    constexpr std::string_view unranked =
        R"({"id":"r","type_id":"t","axes":[{"name":"sample","kind":"sample"}],"container":"c","ragged":true})";
    constexpr std::string_view twice =
        R"({"id":"r","type_id":"t","rank":3,"axes":[{"name":"sample","kind":"sample"},{"name":"wl","kind":"feature","size":3},{"name":"wl","kind":"feature","size":5}],"container":"c"})";
    const Case cases[] = {
        {R"({"allow_ragged":true})", fixed, "shape contract must constrain rank or at least one axis"},
        {R"({"rank":3})", fixed, ""},
        {R"({"rank":2})", unranked, "source `src` shape contract expects rank 2 but representation `r` has None"},
        {R"({"rank":2})", fixed, "source `src` shape contract expects rank 2 but representation `r` has Some(3)"},
        {R"({"rank":2})", ragged, "source `src` shape contract does not allow ragged representation `r`"},
        {R"({"rank":2,"allow_ragged":true})", ragged, ""},
        {R"({"axis_sizes":{"t":{"min":100,"max":200}}})", unranked,
         "source `src` shape contract does not allow ragged representation `r`"},
        {R"({"axis_sizes":{"t":{"min":100,"max":200}},"allow_ragged":true})", ragged, ""},
        {R"({"axis_sizes":{"zz":{"exact":1},"wl":{"exact":4}}})", fixed, "source `src` axis `wl` size 3 violates shape contract"},
        {R"({"axis_sizes":{"zz":{"exact":1},"wl":{"exact":3}}})", fixed, "source `src` shape contract references missing axis `zz`"},
        {R"({"axis_sizes":{"wl":{"min":4}}})", fixed, "source `src` axis `wl` size 3 violates shape contract"},
        {R"({"axis_sizes":{"wl":{"max":2}}})", fixed, "source `src` axis `wl` size 3 violates shape contract"},
        {R"({"axis_sizes":{"wl":{"min":3,"max":3}}})", fixed, ""},
        {R"({"axis_sizes":{"t":{"exact":3}}})", fixed, "source `src` axis `t` has no concrete size for shape contract"},
        {R"({"axis_sizes":{"WL":{"exact":3}}})", fixed, "source `src` shape contract references missing axis `WL`"},
        {R"({"axis_sizes":{"wl":{"exact":3}}})", twice, ""},
        {R"({"axis_sizes":{"wl":{"exact":5}}})", twice, "source `src` axis `wl` size 3 violates shape contract"},
        {R"({"rank":3,"axis_sizes":{"wl":{"min":4,"max":1}}})", unranked,
         "shape contract for axis `wl` has min 4 greater than max 1"},
    };
    const SourceId source = SourceId::trusted("src");
    for (const Case& c : cases) {
        auto contract = read<ShapeContract>(c.contract);
        auto rep = read<RepresentationSpec>(c.representation);
        EXPECT_EQ(rule_text(contract.validate_representation(source, rep)), c.expected)
            << c.contract << " against " << c.representation;
    }
}

// The contract rules per entry, transcribed plainly: entries in key order, each
// bound to the first axis of its name found by a scan.
std::string contract_entries_by_scan(const ShapeContract& contract, const RepresentationSpec& rep) {
    for (const auto& [name, bounds] : contract.axis_sizes) {
        const AxisSpec* axis = nullptr;
        for (const AxisSpec& a : rep.axes) {
            if (a.name == name) {
                axis = &a;
                break;
            }
        }
        if (!axis) return "source `src` shape contract references missing axis `" + name + "`";
        if (axis->size && !bounds.admits(*axis->size)) {
            return "source `src` axis `" + name + "` size " + std::to_string(*axis->size) + " violates shape contract";
        }
        if (!axis->size && !axis->variable) return "source `src` axis `" + name + "` has no concrete size for shape contract";
    }
    return "";
}

// Many axes of few names (repeats, prefixes of one another, bytes above 0x7F, so
// that byte order and first-axis choice both matter) against contracts over the
// same names and a few absent ones.
TEST(ShapeContractValidation, EntriesFindTheFirstAxisOfTheirNameAsAScanWould) {
    const std::vector<std::string> names = {"a", "ab", "b", "B", "a b", "\xC3\xA9", "\xC3", "zz", "sample"};
    std::mt19937_64 rng(7321);
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    const SourceId source = SourceId::trusted("src");
    std::map<std::string, int> seen;
    for (int round = 0; round < 3000; ++round) {
        RepresentationSpec rep;
        rep.id = RepresentationId::trusted("r");
        rep.type_id = TypeId::trusted("t");
        rep.container = "c";
        const std::size_t axes = pick(12);
        for (std::size_t i = 0; i < axes; ++i) {
            AxisSpec axis;
            axis.name = names[pick(names.size())];
            if (pick(4) != 0) axis.size = pick(6);
            axis.variable = !axis.size && pick(2) == 0;
            rep.axes.push_back(axis);
        }
        rep.rank = rep.axes.size();
        ShapeContract contract;
        for (std::size_t entries = 1 + pick(3); entries > 0; --entries) {
            AxisSizeContract bounds;
            switch (pick(3)) {
                case 0: bounds.exact = pick(6); break;
                case 1: bounds.min = pick(4); break;
                default: bounds.max = 2 + pick(4); break;
            }
            contract.axis_sizes.insert_or_assign(names[pick(names.size())], bounds);
        }
        const std::string expected = contract_entries_by_scan(contract, rep);
        EXPECT_EQ(rule_text(contract.validate_representation(source, rep)), expected) << "round " << round;
        for (std::string_view kind : {"missing axis", "violates", "no concrete size", ""}) {
            if (expected.find(kind) != std::string::npos && (!kind.empty() || expected.empty())) ++seen[std::string(kind)];
        }
    }
    // Every outcome is well represented: passes, missing axes, sizes out of
    // bounds, axes without a size.
    ASSERT_EQ(seen.size(), 4u);
    for (const auto& [kind, count] : seen) EXPECT_GT(count, 200) << kind;
}

// ---------------------------------------------------------------------------
// Dataset schema
// ---------------------------------------------------------------------------

constexpr std::string_view good_rep =
    R"({"id":"r","type_id":"t","rank":1,"axes":[{"name":"sample","kind":"sample"}],"container":"ndarray"})";
constexpr std::string_view no_sample_rep =
    R"({"id":"nos","type_id":"t","rank":1,"axes":[{"name":"f","kind":"feature"}],"container":"ndarray"})";

std::string source(std::string_view id, std::string_view name = "n", std::string_view key = "k",
                   std::string_view rep = good_rep, std::string_view extra = "") {
    std::string doc = text::format(
        R"({"id":"{}","name":"{}","type_id":"other","modality":"m","native_representation":{},"sample_key":"{}","granularity":"per_sample")",
        id, name, rep, key);
    if (!extra.empty()) doc += "," + std::string(extra);
    return doc + "}";
}

TEST(SourceValidation, EveryRuleWithItsMessageInOrder) {
    const std::pair<std::string, std::string_view> cases[] = {
        {source("s"), ""},
        {source("s", "\u00a0", " "), "source `s` has an empty name"},
        {source("s", "n", "\\t", no_sample_rep), "source `s` has an empty sample key"},
        {source("s", "n", "k", no_sample_rep, R"("shape_contract":{})"), "representation `nos` has no sample axis"},
        {source("s", "n", "k", good_rep, R"("shape_contract":{})"), "shape contract must constrain rank or at least one axis"},
        {source("s", "n", "k", good_rep, R"("shape_contract":{"axis_sizes":{"wl":{"min":1}}})"),
         "source `s` shape contract references missing axis `wl`"},
        {source("s", "n", "k", good_rep, R"("shape_contract":{"rank":1},"schema":{"":1},"tags":{" ":2})"), ""},
    };
    for (const auto& [doc, expected] : cases) {
        EXPECT_EQ(rule_text(read<SourceDescriptor>(doc).validate()), expected) << doc;
    }
}

TEST(MetadataValidation, EveryRuleWithItsMessageInOrder) {
    const RuleCase schemas[] = {
        {"{}", "metadata schema declares no fields"},
        {R"({"fields":{" ":{"kind":"categorical"}}})", "metadata schema contains an empty field name"},
        {R"({"fields":{"c":{"kind":"categorical"}}})", "metadata field `c` is categorical but declares no allowed_values"},
        {R"({"fields":{"c":{"kind":"categorical","allowed_values":[],"unit":""}}})",
         "metadata field `c` is categorical but declares no allowed_values"},
        {R"({"fields":{"u":{"kind":"number","unit":" "}}})", "metadata field `u` has an empty unit"},
        {R"({"fields":{"b":{"kind":"categorical"},"a":{"kind":"number","unit":""}}})", "metadata field `a` has an empty unit"},
        {R"({"fields":{"s":{"kind":"string","allowed_values":[1,1,null]},"c":{"kind":"categorical","allowed_values":[{}]},"d":{"kind":"date","unit":"day","description":" "}}})",
         ""},
    };
    for (const RuleCase& c : schemas) {
        EXPECT_EQ(rule_text(read<MetadataSchema>(c.doc).validate()), c.expected) << c.doc;
    }
}

TEST(GroupAndFoldValidation, EveryRuleWithItsMessageInOrder) {
    const RuleCase groups[] = {
        {R"({"id":"g","kind":"batch","column":"c","metadata":{"a":1}})", ""},
        {R"({"id":"g","kind":"batch","column":" ","metadata":{"":1}})", "group `g` has an empty column"},
        {R"({"id":"g","kind":"batch","column":"c","metadata":{"a":1,"\t":2}})", "group `g` metadata contains an empty key"},
        {R"({"id":"g","kind":"batch","column":"c","source_id":"nowhere"})", ""},
    };
    for (const RuleCase& c : groups) EXPECT_EQ(rule_text(read<GroupSpec>(c.doc).validate()), c.expected) << c.doc;

    const RuleCase folds[] = {
        {R"({"id":" ","split_column":" "})", "fold id is empty"},
        {R"({"id":"f"})", "fold `f` declares neither group_id nor split_column"},
        {R"({"id":"f","split_column":"  "})", "fold `f` has an empty split_column"},
        {R"({"id":"f","group_id":"g","split_column":""})", "fold `f` has an empty split_column"},
        {R"({"id":"f","group_id":"g","metadata":{"":1}})", "fold `f` metadata contains an empty key"},
        {R"({"id":"f","group_id":"g","split_column":"s","metadata":{"k":1}})", ""},
        {R"({"id":"f f","group_id":"nowhere"})", ""},
    };
    for (const RuleCase& c : folds) EXPECT_EQ(rule_text(read<FoldSpec>(c.doc).validate()), c.expected) << c.doc;
}

struct SchemaParts {
    std::string dataset_id = "d";
    std::string sample_ids = R"(["a","b"])";
    std::string sources = "[" + source("s") + "]";
    std::string rest;  // further members, each with a leading comma
};

std::string schema_doc(const SchemaParts& p) {
    return text::format(R"({"dataset_id":"{}","sample_ids":{},"sources":{}{}})", p.dataset_id, p.sample_ids, p.sources,
                        p.rest);
}

SchemaParts with_sources(std::string sources) {
    SchemaParts p;
    p.sources = std::move(sources);
    return p;
}

SchemaParts with_rest(std::string rest) {
    SchemaParts p;
    p.rest = std::move(rest);
    return p;
}

TEST(DatasetSchemaValidation, EveryRuleWithItsMessageInOrder) {
    const std::string bad_rep(no_sample_rep);
    const std::string rep(good_rep);
    SchemaParts blank_id;
    blank_id.dataset_id = "  ";
    blank_id.sample_ids = "[]";
    SchemaParts no_samples;
    no_samples.sample_ids = "[]";
    no_samples.sources = "[" + source("s", " ") + "]";
    SchemaParts repeated_samples;
    repeated_samples.sample_ids = R"(["a","b","a"])";
    repeated_samples.sources = "[" + source("s", " ") + "]";
    SchemaParts no_sources;
    no_sources.sources = "[]";

    const std::pair<SchemaParts, std::string_view> cases[] = {
        {SchemaParts{}, ""},
        {no_sources, ""},
        {blank_id, "dataset id must not be empty"},
        {no_samples, "dataset schema must contain at least one sample"},
        {repeated_samples, "dataset schema contains duplicate sample ids"},
        // sources in list order: a repeat is found only once the earlier ones pass
        {with_sources("[" + source("s", " ") + "," + source("s") + "]"), "source `s` has an empty name"},
        {with_sources("[" + source("s") + "," + source("s", " ") + "]"), "duplicate source id `s`"},
        {with_sources("[" + source("b") + "," + source("a", "n", " ") + "," + source("b") + "]"),
         "source `a` has an empty sample key"},
        {with_sources("[" + source("s", "n", "k", rep, R"("shape_contract":{"rank":1,"axis_sizes":{"x":{"min":1}}})") + "]"),
         "source `s` shape contract references missing axis `x`"},
        // then targets and metadata, each in byte order of its key
        {with_rest(R"(,"targets":{"b":)" + bad_rep + R"(,"a":)" + rep + "}"), "representation `nos` has no sample axis"},
        {with_rest(R"(,"targets":{"b":)" + rep + R"(,"a":{"id":"ra","type_id":"t","axes":[],"container":""}})"),
         "representation `ra` has an empty container"},
        {with_rest(R"(,"targets":{"y":{"id":"g","type_id":"t","axes":[],"container":"graph_batch","ragged":true}})"), ""},
        {with_rest(R"(,"metadata":{"":)" + rep + R"(,"m":)" + bad_rep + "}"), "representation `nos` has no sample axis"},
        {with_rest(R"(,"targets":{"y":{"id":"rt","type_id":"t","axes":[],"container":" "}},"metadata":{"m":)" + bad_rep + "}"),
         "representation `rt` has an empty container"},
        {with_rest(R"(,"metadata":{"m":)" + bad_rep + R"(},"metadata_schema":{})"), "representation `nos` has no sample axis"},
        {with_rest(R"(,"metadata_schema":{},"groups":[{"id":"g","kind":"batch","column":""}])"),
         "metadata schema declares no fields"},
        {with_rest(R"(,"metadata_schema":{"fields":{"c":{"kind":"categorical","allowed_values":["x"]}}})"), ""},
        // groups in list order
        {with_rest(R"(,"groups":[{"id":"g","kind":"batch","column":"c"},{"id":"g","kind":"batch","column":" "}])"),
         "duplicate group id `g`"},
        {with_rest(R"(,"groups":[{"id":"g","kind":"batch","column":" "},{"id":"g","kind":"batch","column":"c"}])"),
         "group `g` has an empty column"},
        {with_rest(R"(,"groups":[{"id":"g","kind":"batch","column":" ","source_id":"nope"}])"),
         "group `g` references unknown source `nope`"},
        {with_rest(R"(,"groups":[{"id":"g","kind":"batch","column":"c","source_id":"s"}])"), ""},
        {with_rest(R"(,"groups":[{"id":"g","kind":"batch","column":"c","metadata":{" ":1}}],"folds":[{"id":""}])"),
         "group `g` metadata contains an empty key"},
        // folds in list order, after every group
        {with_rest(R"(,"groups":[{"id":"g","kind":"batch","column":"c"}],"folds":[{"id":"f","group_id":"g"},{"id":"f"}])"),
         "duplicate fold id `f`"},
        {with_rest(R"(,"folds":[{"id":"f","split_column":"c"},{"id":"f ","split_column":"c"}])"), ""},
        {with_rest(R"(,"folds":[{"id":"f","group_id":"h","split_column":" "}])"), "fold `f` references unknown group `h`"},
        {with_rest(R"(,"groups":[{"id":"g1","kind":"batch","column":"c"},{"id":"g2","kind":"subject","column":"c"}],"folds":[{"id":"f","group_id":"g2"}])"),
         ""},
        {with_rest(R"(,"folds":[{"id":"f","split_column":" "},{"id":"f"}])"), "fold `f` has an empty split_column"},
        {with_rest(R"(,"folds":[{"id":" ","split_column":"c"}])"), "fold id is empty"},
        {with_rest(R"(,"folds":[{"id":"x"}])"), "fold `x` declares neither group_id nor split_column"},
    };
    for (const auto& [parts, expected] : cases) {
        std::string doc = schema_doc(parts);
        EXPECT_EQ(rule_text(read<DatasetSchema>(doc).validate()), expected) << doc;
    }
}

TEST(DatasetSchemaValidation, ManySamplesAndSources) {
    DatasetSchema schema;
    schema.dataset_id = "big";
    for (int i = 0; i < 50000; ++i) schema.sample_ids.push_back(SampleId::trusted(text::format("s{}", i)));
    auto src = read<SourceDescriptor>(source("x"));
    for (int i = 0; i < 300; ++i) {
        src.id = SourceId::trusted(text::format("src{}", i));
        schema.sources.push_back(src);
    }
    EXPECT_EQ(rule_text(schema.validate()), "");
    schema.sample_ids.push_back(SampleId::trusted("s49999"));
    EXPECT_EQ(rule_text(schema.validate()), "dataset schema contains duplicate sample ids");
    schema.sample_ids.pop_back();
    schema.sources.push_back(schema.sources[123]);
    EXPECT_EQ(rule_text(schema.validate()), "duplicate source id `src123`");
}

// ---------------------------------------------------------------------------
// Schema fingerprint
// ---------------------------------------------------------------------------

std::string fingerprint_of(std::string_view doc) {
    auto fp = fingerprint::schema_fingerprint(read<DatasetSchema>(doc));
    EXPECT_TRUE(fp.has_value()) << doc;
    return fp ? *fp : "";
}

TEST(SchemaFingerprint, HashesTheSortedRecordForm) {
    // Written by hand: ids sorted, keys in declared order, empty lists left out.
    const std::string doc =
        R"({"dataset_id":"d","sample_ids":["b","a","c"],"sources":[)" + source("t") + "," + source("s") +
        R"(],"groups":[{"id":"h","kind":"batch","column":"c"},{"id":"g","kind":"subject","column":"c","source_id":"s"}],"folds":[{"id":"f2","group_id":"g"},{"id":"f1","split_column":"c"}]})";
    const std::string rep =
        R"({"id":"r","type_id":"t","rank":1,"axes":[{"name":"sample","kind":"sample","unit":null,"size":null,"variable":false}],"container":"ndarray","dtype":null,"sparse":false,"ragged":false})";
    auto canonical_source = [&](std::string_view id) {
        return text::format(
            R"({"id":"{}","name":"n","type_id":"other","modality":"m","native_representation":{},"sample_key":"k","granularity":"per_sample","schema":{},"tags":{}})",
            id, rep);
    };
    const std::string canonical =
        R"({"dataset_id":"d","sample_ids":["a","b","c"],"sources":[)" + canonical_source("s") + "," +
        canonical_source("t") +
        R"(],"targets":{},"metadata":{},"groups":[{"id":"g","kind":"subject","column":"c","source_id":"s","strict":false},{"id":"h","kind":"batch","column":"c","strict":false}],"folds":[{"id":"f1","split_column":"c"},{"id":"f2","group_id":"g"}]})";
    EXPECT_EQ(fingerprint_of(doc), fingerprint::sha256_hex(canonical));
}

TEST(SchemaFingerprint, ValidatesInTheCallersOrderFirst) {
    // Sorted, `a` would come first and report its sample key; the caller's order
    // reports `z`.
    const std::string doc = R"({"dataset_id":"d","sample_ids":["x"],"sources":[)" + source("z", " ") + "," +
                            source("a", "n", " ") + "]}";
    auto fp = fingerprint::schema_fingerprint(read<DatasetSchema>(doc));
    ASSERT_FALSE(fp.has_value());
    EXPECT_EQ(fp.error().to_string(), "data contract validation failed: source `z` has an empty name");

    auto empty = fingerprint::schema_fingerprint(read<DatasetSchema>(R"({"dataset_id":"d","sample_ids":[],"sources":[]})"));
    ASSERT_FALSE(empty.has_value());
    EXPECT_EQ(rule_text(std::unexpected(empty.error())), "dataset schema must contain at least one sample");
}

}  // namespace
