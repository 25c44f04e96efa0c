#include "harnesses.hpp"

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "veltrinax/adapter.hpp"
#include "veltrinax/coordinator.hpp"
#include "veltrinax/envelope.hpp"
#include "veltrinax/error.hpp"
#include "veltrinax/fingerprint.hpp"
#include "veltrinax/json.hpp"
#include "veltrinax/model.hpp"
#include "veltrinax/plan.hpp"
#include "veltrinax/planner.hpp"
#include "veltrinax/predict_cohort.hpp"
#include "veltrinax/relation.hpp"
#include "veltrinax/text.hpp"
#include "plain_planner.hpp"

namespace veltrinax::fuzz {

namespace {

// A broken invariant: say which, show both sides, and stop the way a sanitizer
// would, so the fuzzer keeps the input as a crash.
[[noreturn]] void broken(std::string_view what, std::string_view first, std::string_view second = {}) {
    std::fprintf(stderr, "invariant broken: %.*s\n  %.*s\n  %.*s\n", static_cast<int>(what.size()), what.data(),
                 static_cast<int>(first.size()), first.data(), static_cast<int>(second.size()), second.data());
    __builtin_trap();
}

// What the module does with every error it reports: the display text and the
// descriptor, whose JSON is read back by the interpreter's own reader. Callers
// only ever pass well-formed UTF-8, so only then must the descriptor read.
void report(const DataError& error, bool utf8) {
    std::string message = error.to_string();
    std::string descriptor = error.descriptor().to_json();
    (void)error.debug_string();
    if (utf8 && !json::parse(descriptor)) broken("error descriptor is not JSON", message, descriptor);
}

void report(const json::Error& error, bool utf8) { report(DataError::serialization(error), utf8); }

template <class T>
void report_status(const Result<T>& result, bool utf8) {
    if (!result) report(result.error(), utf8);
}

// Writes the record and proves the text reads back, on both routes, to a record
// that writes the very same text. Returns the text.
template <class T>
std::string written_reads_back(const T& record) {
    std::string written = json::to_text(record);
    auto again = json::from_text<T>(written);
    if (!again) broken("written text does not read", written, again.error().to_string());
    if (std::string rewritten = json::to_text(*again); rewritten != written || !(*again == record)) {
        broken("written text reads as another record", written, rewritten);
    }
    auto via_value = json::from_value<T>(json::to_value(record));
    if (!via_value) broken("generic value of a record does not read", written, via_value.error().to_string());
    if (std::string rewritten = json::to_text(*via_value); rewritten != written || !(*via_value == record)) {
        broken("generic value of a record reads as another record", written, rewritten);
    }
    return written;
}

// A validated record must have a fingerprint: validation is all that may refuse one.
template <class T, class Fingerprint>
void fingerprint_after(const T& record, const Status& valid, bool utf8, Fingerprint fingerprint) {
    auto digest = fingerprint(record);
    if (valid && !digest) broken("validated record has no fingerprint", json::to_text(record), digest.error().to_string());
    if (digest && digest->size() != 64) broken("fingerprint is not 64 digits", *digest);
    report_status(digest, utf8);
}

// Up to N documents; the last one takes the rest of the input, separators and all.
template <std::size_t N>
struct Documents {
    std::array<std::string_view, N> text{};
    std::size_t count = 0;
};

template <std::size_t N>
Documents<N> split(std::string_view input) {
    Documents<N> documents;
    while (documents.count + 1 < N) {
        std::size_t at = input.find('\x1e');
        if (at == std::string_view::npos) break;
        documents.text[documents.count++] = input.substr(0, at);
        input.remove_prefix(at + 1);
    }
    documents.text[documents.count++] = input;
    return documents;
}

bool well_formed(std::string_view input) { return text::is_valid_utf8(input); }

// Reads a document as the module's functions do; on failure reports the error.
template <class T>
std::optional<T> read(std::string_view text, bool utf8) {
    auto record = json::from_text<T>(text);
    if (!record) {
        report(record.error(), utf8);
        return std::nullopt;
    }
    written_reads_back(*record);
    return std::move(*record);
}

// Reads and validates, as `parse_and_validate` in the module does.
template <class T>
std::optional<T> read_valid(std::string_view text, bool utf8) {
    auto record = read<T>(text, utf8);
    if (!record) return std::nullopt;
    if (auto ok = record->validate(); !ok) {
        report(ok.error(), utf8);
        return std::nullopt;
    }
    return record;
}

std::optional<AdapterRegistry> read_registry(std::string_view text, bool utf8) {
    auto spec = read<AdapterRegistrySpec>(text, utf8);
    if (!spec) return std::nullopt;
    auto registry = AdapterRegistry::from_spec(std::move(*spec));
    if (!registry) {
        report(registry.error(), utf8);
        return std::nullopt;
    }
    return std::move(*registry);
}

void check_relation_set(const CoordinatorRelationSet& relations, bool utf8) {
    Status valid = relations.validate();
    report_status(valid, utf8);
    fingerprint_after(relations, valid, utf8, [](const CoordinatorRelationSet& r) { return r.fingerprint(); });
}

void check_cohort(const PredictCohort& cohort, const std::optional<CoordinatorRelationSet>& training, bool utf8) {
    report_status(cohort.fingerprint(), utf8);
    report_status(cohort.validate(), utf8);
    report_status(cohort.validate_members(), utf8);
    if (training) report_status(cohort.validate_disjoint(*training), utf8);
}

// The envelope's own round trip: it is written as a record and read back through
// its version-aware reader, and validity must survive the trip.
void envelope_reads_back(const CoordinatorDataPlanEnvelope& envelope, const Status& valid) {
    std::string written = json::to_text(envelope);
    auto again = CoordinatorDataPlanEnvelope::from_json(written);
    if (!again) broken("written envelope does not read", written, again.error().to_string());
    if (std::string rewritten = json::to_text(*again); rewritten != written || !(*again == envelope)) {
        broken("written envelope reads as another envelope", written, rewritten);
    }
    if (valid && !again->validate()) broken("written envelope no longer validates", written);
}

// Everything the module may do with a data plan that reads.
void check_plan(const DataPlan& plan, bool utf8) {
    Status valid = plan.validate();
    report_status(valid, utf8);
    fingerprint_after(plan, valid, utf8, [](const DataPlan& p) { return fingerprint::data_plan_fingerprint(p); });
}

void check_envelope_from_parts(const DatasetSchema& schema, const DataPlan& plan, const SampleRelationTable* table,
                               bool utf8) {
    auto built = CoordinatorDataPlanEnvelope::from_parts(schema, plan, table);
    if (!built) {
        report(built.error(), utf8);
        return;
    }
    Status valid = built->validate();
    if (!valid) broken("built envelope does not validate", json::to_text(*built), valid.error().to_string());
    envelope_reads_back(*built, valid);
}

}  // namespace

void dataset_schema(std::string_view input) {
    bool utf8 = well_formed(input);
    auto schema = read<DatasetSchema>(input, utf8);
    if (!schema) return;
    Status valid = schema->validate();
    report_status(valid, utf8);
    fingerprint_after(*schema, valid, utf8, [](const DatasetSchema& s) { return fingerprint::schema_fingerprint(s); });
}

void model_input(std::string_view input) {
    bool utf8 = well_formed(input);
    auto spec = read<ModelInputSpec>(input, utf8);
    if (spec) report_status(spec->validate(), utf8);
}

void adapter_registry(std::string_view input) {
    bool utf8 = well_formed(input);
    auto registry = read_registry(input, utf8);
    if (!registry) return;
    // The registry keeps one adapter per id, sorted, and registering them again
    // in its own order must succeed.
    AdapterRegistrySpec again{registry->adapters()};
    if (!AdapterRegistry::from_spec(again)) broken("registry does not register again", json::to_text(again));
}

void plan_request(std::string_view input) {
    bool utf8 = well_formed(input);
    (void)read<DataPlanRequest>(input, utf8);
}

void data_plan(std::string_view input) {
    bool utf8 = well_formed(input);
    if (auto plan = read<DataPlan>(input, utf8)) check_plan(*plan, utf8);
}

void relation_table(std::string_view input) {
    bool utf8 = well_formed(input);
    auto table = read<SampleRelationTable>(input, utf8);
    if (!table) return;
    Status valid = table->validate();
    report_status(valid, utf8);
    fingerprint_after(*table, valid, utf8,
                      [](const SampleRelationTable& t) { return fingerprint::sample_relation_fingerprint(t); });
    if (!valid) return;
    auto relations = coordinator::coordinator_relations_from_sample_table(*table);
    report_status(relations, utf8);
    if (relations) {
        written_reads_back(*relations);
        check_relation_set(*relations, utf8);
    }
}

void fold_set(std::string_view input) {
    bool utf8 = well_formed(input);
    auto folds = read<FoldSet>(input, utf8);
    if (!folds) return;
    Status valid = folds->validate();
    report_status(valid, utf8);
    fingerprint_after(*folds, valid, utf8, [](const FoldSet& f) { return fingerprint::fold_set_fingerprint(f); });
}

namespace {

// The value route of one record type over an already parsed document.
template <class T>
void read_value_as(const json::Value& document, bool utf8) {
    auto record = json::from_value<T>(document);
    if (!record) {
        report(record.error(), utf8);
        return;
    }
    written_reads_back(*record);
    if constexpr (requires { record->validate(); }) {
        using Outcome = decltype(record->validate());
        if constexpr (std::is_same_v<Outcome, Status>) report_status(record->validate(), utf8);
    }
}

}  // namespace

void value(std::string_view input) {
    bool utf8 = well_formed(input);
    auto document = json::parse(input);
    if (!document) {
        report(document.error(), utf8);
        return;
    }
    std::string written = json::to_text(*document);
    auto again = json::parse(written);
    if (!again) broken("written value does not read", written, again.error().to_string());
    if (std::string rewritten = json::to_text(*again); rewritten != written || !(*again == *document)) {
        broken("written value reads as another value", written, rewritten);
    }
    // Every contract on the value route, as the envelope reads its parts.
    read_value_as<DatasetSchema>(*document, utf8);
    read_value_as<ModelInputSpec>(*document, utf8);
    read_value_as<AdapterRegistrySpec>(*document, utf8);
    read_value_as<DataPlanRequest>(*document, utf8);
    read_value_as<DataPlan>(*document, utf8);
    read_value_as<SampleRelationTable>(*document, utf8);
    read_value_as<FoldSet>(*document, utf8);
    read_value_as<CoordinatorRelationSet>(*document, utf8);
    read_value_as<PredictCohort>(*document, utf8);
}

void envelope(std::string_view input) {
    bool utf8 = well_formed(input);
    auto read = CoordinatorDataPlanEnvelope::from_json(input);
    if (!read) {
        report(read.error(), utf8);
        return;
    }
    Status valid = read->validate();
    report_status(valid, utf8);
    envelope_reads_back(*read, valid);
    check_plan(read->plan, utf8);
    if (read->coordinator_relations) check_relation_set(*read->coordinator_relations, utf8);
    if (read->predict_cohort) check_cohort(*read->predict_cohort, read->coordinator_relations, utf8);
}

namespace {

// A planning call's four documents, read and validated as the module reads them.
struct PlannerInputs {
    DatasetSchema schema;
    ModelInputSpec model_input;
    AdapterRegistry registry;
    DataPlanRequest request;
};

std::optional<PlannerInputs> read_planner_inputs(std::string_view input, bool utf8) {
    auto [schema_text, model_input_text, registry_text, request_text] = split<4>(input).text;
    auto schema = read_valid<DatasetSchema>(schema_text, utf8);
    if (!schema) return std::nullopt;
    auto model_input = read_valid<ModelInputSpec>(model_input_text, utf8);
    if (!model_input) return std::nullopt;
    auto registry = read_registry(registry_text, utf8);
    if (!registry) return std::nullopt;
    auto request = read<DataPlanRequest>(request_text, utf8);
    if (!request) return std::nullopt;
    return PlannerInputs{std::move(*schema), std::move(*model_input), std::move(*registry), std::move(*request)};
}

// The fuzzer plans with a hundredth of the default work budget: an execution
// that spends it all stays far below the fuzzer's timeout under the sanitizers,
// where spending the default budget takes most of that timeout.
constexpr std::uint64_t fuzz_max_work = 1'000'000;

PathSearchOptions fuzz_options() {
    PathSearchOptions options;
    options.max_work = fuzz_max_work;
    return options;
}

bool out_of_budget(const Result<DataPlan>& plan) {
    return !plan && plan.error().to_string().find("exceeded its limit of") != std::string::npos;
}

std::string outcome_text(const Result<DataPlan>& plan) {
    return plan ? json::to_text(*plan) : plan.error().to_string();
}

}  // namespace

void planner(std::string_view input) {
    bool utf8 = well_formed(input);
    auto inputs = read_planner_inputs(input, utf8);
    if (!inputs) return;
    auto& [schema, model_input, registry, request] = *inputs;
    auto plan = planner::plan_model_input(schema, model_input, registry, request, fuzz_options());
    // The search's shortcuts (pruning) must never change an outcome; only running
    // out of the work budget may differ, as the full search does more.
    PathSearchOptions exhaustive = fuzz_options();
    exhaustive.prune = false;
    auto reference = planner::plan_model_input(schema, model_input, registry, request, exhaustive);
    if (!out_of_budget(plan) && !out_of_budget(reference) && plan != reference) {
        broken("search shortcuts changed the plan", outcome_text(plan), outcome_text(reference));
    }
    if (!plan) {
        report(plan.error(), utf8);
        return;
    }
    written_reads_back(*plan);
    Status valid = plan->validate();
    if (!valid) broken("planned data plan does not validate", json::to_text(*plan), valid.error().to_string());
    check_plan(*plan, utf8);
    // A planned plan names only the schema's sources, so it always makes an envelope.
    auto built = CoordinatorDataPlanEnvelope::from_parts(schema, *plan, nullptr);
    if (!built) broken("planned data plan makes no envelope", json::to_text(*plan), built.error().to_string());
    check_envelope_from_parts(schema, *plan, nullptr, utf8);
}

void planner_budgets(std::string_view input) {
    bool utf8 = well_formed(input);
    auto inputs = read_planner_inputs(input, utf8);
    if (!inputs) return;
    auto& [schema, model_input, registry, request] = *inputs;
    auto small = planner::plan_model_input(schema, model_input, registry, request, fuzz_options());
    // A call that finishes within the fuzzer's budget must end exactly as it does
    // with the default one, or the fuzzer would be checking other outcomes than
    // callers get.
    if (out_of_budget(small)) return;
    auto full = planner::plan_model_input(schema, model_input, registry, request, PathSearchOptions{});
    if (small != full) {
        broken("the work budget changed an outcome it sufficed for", outcome_text(small), outcome_text(full));
    }
}

namespace {

// The fuzzer's bytes, read one at a time; past the end every byte reads as 0, so
// that any input, however short, decodes to a whole planning call.
class Bytes {
public:
    explicit Bytes(std::string_view input) : input_(input) {}
    unsigned next() { return at_ < input_.size() ? static_cast<unsigned char>(input_[at_++]) : 0; }

private:
    std::string_view input_;
    std::size_t at_ = 0;
};

// The representations of the nodes: plain ones, built-in ones of rank 1, 2 and
// 3, and one as long as an identifier may be.
const std::string& shape_representation_id(unsigned b) {
    static const std::array<std::string, 8> ids = {
        "a", "b", "c", "d", "text_raw", "tabular_numeric", "gray_image", std::string(128, 'l'),
    };
    return ids[b & 7];
}
constexpr std::array<std::uint64_t, 8> shape_costs = {0, 1, 1, 2, 3, 10, 1'000'000, UINT64_MAX - 1};

struct ShapeNode {
    std::string type;
    std::string representation;
};

// A planning call decoded from bytes, built as records, so that nearly every
// input plans. The layout, byte by byte (each taken modulo what it chooses from):
//   policy: bits 0-2 allow lossy, stateful, supervised; bit 3 no user choice
//     required; bit 4 a hop limit (the next byte, 0 to 4); bits 5-6 the default
//     fusion (none, "outer", {"left": null}, an invalid null);
//   nodes: 2 to 8, then one byte each: bits 0-2 the representation, bit 3 type u
//     rather than t;
//   adapters: 0 to 12, then three bytes each: (ends) bits 0-2 the input node,
//     bits 3-5 the output node, bit 6 parallel to the adapter before, bit 7 a
//     self-loop; (cost) bits 0-2 the cost, bits 3-5 lossy, stateful, supervised,
//     bit 6 preferred, bit 7 forbidden; (id) bits 0-4 its letter, bit 5 a long id
//     (200 to 510 bytes, by the same bits), bit 6 parameters, bit 7 another
//     version;
//   sources: 1 to 4, one byte each: bits 0-2 the native node, bit 3 the other
//     type, bits 4-5 the rank (1, 2, 3, none);
//   ports: 1 to 4, each a byte (bit 0 multi-source, bit 1 optional, bits 2-3 the
//     rank (none, 1, 2, 3), bit 4 a long name, bits 5-6 one to three
//     representations, bit 7 a second type), a byte per representation (bits 0-2
//     its node, whose type the port accepts first; bit 3 one nobody reaches), and
//     for a second type a byte (bit 0 type u);
//   request: bit 0 source ids given, bits 1-4 which sources, bit 5 in reverse
//     order, bit 6 one twice, bit 7 an unknown one;
//   searches: 0 to 4, two bytes each: the ends (bits 0-2), bit 7 of the first
//     asks for the first path of an ambiguous outcome.
struct PlanningShape {
    DatasetSchema schema;
    ModelInputSpec model_input;
    AdapterRegistry registry;
    DataPlanRequest request;
    std::vector<ShapeNode> nodes;
    struct Query {
        std::size_t from, to;
        bool keep_first_path;
    };
    std::vector<Query> queries;
};

PlanningShape decode_shape(std::string_view input) {
    Bytes in(input);
    PlanningShape shape;
    PlanningPolicy& policy = shape.request.planning_policy;
    const unsigned flags = in.next();
    policy.allow_lossy = flags & 1;
    policy.allow_stateful = flags & 2;
    policy.allow_supervised = flags & 4;
    policy.require_user_choice_on_ambiguity = !(flags & 8);
    if (flags & 16) policy.max_hops = json::usize{in.next() % 5};
    static constexpr std::array<std::string_view, 4> fusions = {"", R"({"alignment":"outer"})",
                                                                R"({"alignment":{"left":null}})",
                                                                R"({"alignment":null})"};
    if (const std::string_view fusion = fusions[(flags >> 5) & 3]; !fusion.empty()) {
        shape.model_input.default_fusion = *json::parse(fusion);
    }

    const std::size_t node_count = 2 + in.next() % 7;
    for (std::size_t i = 0; i < node_count; ++i) {
        const unsigned b = in.next();
        shape.nodes.push_back({(b & 8) ? "u" : "t", shape_representation_id(b)});
    }
    auto node = [&](unsigned b) -> const ShapeNode& { return shape.nodes[(b & 7) % node_count]; };

    AdapterRegistrySpec registry;
    std::vector<std::string> preferred, forbidden;
    for (std::size_t i = 0, count = in.next() % 13; i < count; ++i) {
        const unsigned ends = in.next(), kind = in.next(), name = in.next();
        const ShapeNode* from = &node(ends);
        const ShapeNode* to = (ends & 128) ? from : &node(ends >> 3);
        AdapterSpec a;
        a.id = std::string(1, static_cast<char>('a' + (name & 31) % 26)) + std::to_string(i);
        if (name & 32) a.id.append(200 + 10 * (name & 31), 'x');
        a.version = (name & 128) ? "2.0" : "1";
        if ((ends & 64) && !registry.adapters.empty()) {
            const AdapterSpec& before = registry.adapters.back();
            a.input_type = before.input_type;
            a.input_representation = before.input_representation;
            a.output_type = before.output_type;
            a.output_representation = before.output_representation;
        } else {
            a.input_type = TypeId::trusted(from->type);
            a.input_representation = RepresentationId::trusted(from->representation);
            a.output_type = TypeId::trusted(to->type);
            a.output_representation = RepresentationId::trusted(to->representation);
        }
        a.cost = shape_costs[kind & 7];
        a.lossy = kind & 8;
        a.stateful = kind & 16;
        a.supervised = kind & 32;
        if (a.stateful) a.fit_scope = FitScope::fold_train;
        if (name & 64) a.params.insert_or_assign("k", json::Value::unsigned_integer(name));
        if (kind & 64) preferred.push_back(a.id);
        if (kind & 128) forbidden.push_back(a.id);
        registry.adapters.push_back(std::move(a));
    }
    policy.preferred_adapters = json::SortedSet<std::string>::from_items(std::move(preferred));
    policy.forbidden_adapters = json::SortedSet<std::string>::from_items(std::move(forbidden));
    auto built = AdapterRegistry::from_spec(std::move(registry));
    if (!built) broken("decoded registry does not build", built.error().to_string());
    shape.registry = std::move(*built);

    shape.schema.dataset_id = "d";
    shape.schema.sample_ids = {SampleId::trusted("s1")};
    for (std::size_t i = 0, count = 1 + in.next() % 4; i < count; ++i) {
        const unsigned b = in.next();
        const ShapeNode& native = node(b);
        SourceDescriptor s;
        s.id = SourceId::trusted("s" + std::to_string(count - i));  // listed out of id order
        s.name = "n";
        // The source's own type is the one searched from, not its representation's.
        s.type_id = TypeId::trusted((b & 8) ? (native.type == "t" ? "u" : "t") : native.type);
        s.modality = "m";
        const unsigned rank = (b >> 4) & 3;
        s.native_representation = testing::ranked_representation(
            native.representation, rank == 3 ? std::nullopt : std::optional<std::uint64_t>(rank + 1));
        s.sample_key = "k";
        shape.schema.sources.push_back(std::move(s));
    }

    for (std::size_t i = 0, count = 1 + in.next() % 4; i < count; ++i) {
        const unsigned b = in.next();
        InputPortSpec p;
        p.name = ((b & 16) ? std::string(300, 'p') : "p") + std::to_string(i);
        p.multi_source = b & 1;
        p.optional = b & 2;
        if ((b >> 2) & 3) p.rank = json::usize{(b >> 2) & 3};
        for (unsigned k = 0, reps = 1 + ((b >> 5) & 3) % 3; k < reps; ++k) {
            const unsigned r = in.next();
            const ShapeNode& accepted = node(r);
            p.accepted_representations.push_back(RepresentationId::trusted((r & 8) ? "zz" : accepted.representation));
            if (k == 0) p.accepted_types.push_back(TypeId::trusted(accepted.type));
        }
        if (b & 128) p.accepted_types.push_back(TypeId::trusted((in.next() & 1) ? "u" : "t"));
        shape.model_input.ports.push_back(std::move(p));
    }

    shape.request.id = "plan";
    if (const unsigned b = in.next(); b & 1) {
        std::vector<SourceId> asked;
        for (std::size_t i = 0; i < shape.schema.sources.size(); ++i) {
            if ((b >> (1 + i)) & 1) asked.push_back(shape.schema.sources[i].id);
        }
        if (b & 32) std::reverse(asked.begin(), asked.end());
        if ((b & 64) && !asked.empty()) asked.push_back(asked.front());
        if (b & 128) asked.push_back(SourceId::trusted("s9"));
        shape.request.source_ids = std::move(asked);
    }

    for (std::size_t i = 0, count = in.next() % 5; i < count; ++i) {
        const unsigned from = in.next(), to = in.next();
        shape.queries.push_back({(from & 7) % node_count, (to & 7) % node_count, (from & 128) != 0});
    }
    return shape;
}

// Plain planning and plain searches beyond this many units are left out: the
// plain planner copies whole paths, and executions must stay short.
constexpr std::uint64_t plain_units_cap = 100'000;

std::string resolution_text(const PathResolution& r) {
    std::string out = r.path ? "path " + std::to_string(r.path->adapters.size()) + " score " +
                                   std::to_string(r.path->score)
                             : "no path";
    for (const PlanIssue& issue : r.issues) out += " | " + issue.code + ": " + issue.message;
    return out;
}

}  // namespace

void planner_shapes(std::string_view input) {
    const PlanningShape shape = decode_shape(input);
    auto plan_with = [&](std::uint64_t max_work, bool ordered_indexes = false) {
        PathSearchOptions options;
        options.max_work = max_work;
        const bool before = ordered_indexes ? text::testing::set_degenerate_hash(true) : false;
        auto plan = planner::plan_model_input(shape.schema, shape.model_input, shape.registry, shape.request, options);
        if (ordered_indexes) text::testing::set_degenerate_hash(before);
        return plan;
    };

    const testing::PlainPlan plain =
        testing::plain_plan(shape.schema, shape.model_input, shape.registry, shape.request, plain_units_cap);
    if (!plain.gave_up) {
        // The budget never refuses what the plain rules do in a few steps, and
        // never changes a result it lets through: with three times the plain work,
        // also with every index in its ordered fallback, the call gives the plain
        // planner's result, and with the fuzzer's budget too unless that is less
        // (a plan of long ids or names may be larger than the budget).
        const std::uint64_t bound = testing::budget_bound(plain.units);
        const struct {
            std::string_view with;
            std::uint64_t max_work;
            bool ordered_indexes;
        } runs[] = {{"three times the plain work", bound, false},
                    {"three times the plain work through ordered indexes", bound, true},
                    {"the fuzzer's budget", fuzz_max_work, false}};
        for (const auto& run : runs) {
            const auto got = plan_with(run.max_work, run.ordered_indexes);
            if (got != plain.plan && !(out_of_budget(got) && run.max_work < bound)) {
                broken(std::string(run.with) + " does not give the plain result",
                       "plain units " + std::to_string(plain.units) + ": " + outcome_text(plain.plan),
                       outcome_text(got));
            }
        }
    } else {
        // Beyond what the plain planner does here, hashed and ordered indexes still
        // agree whenever both complete.
        const std::uint64_t budget = testing::budget_bound(plain_units_cap);
        const auto hashed = plan_with(budget), ordered = plan_with(budget, true);
        if (!out_of_budget(hashed) && !out_of_budget(ordered) && hashed != ordered) {
            broken("the ordered fallback of the indexes changed the plan", outcome_text(hashed), outcome_text(ordered));
        }
    }

    // One searcher's searches, which share its graph, its regions and its budget,
    // answer as fresh searchers and the plain search do, whatever the searches
    // before them learnt.
    if (shape.queries.empty()) return;
    const PlanningPolicy& policy = shape.request.planning_policy;
    PathSearchOptions one;
    one.max_work = fuzz_max_work;
    PathSearchOptions all = one;
    all.max_work = fuzz_max_work * shape.queries.size();
    PathSearcher shared(shape.registry, policy, all);
    for (const PlanningShape::Query& q : shape.queries) {
        const ShapeNode& from = shape.nodes[q.from];
        const ShapeNode& to = shape.nodes[q.to];
        const testing::PlainSearch reference = testing::plain_search(
            shape.registry, from.type, from.representation, to.type, to.representation, policy, plain_units_cap);
        if (reference.gave_up) continue;
        const auto from_type = TypeId::trusted(from.type), to_type = TypeId::trusted(to.type);
        const auto from_rep = RepresentationId::trusted(from.representation);
        const auto to_rep = RepresentationId::trusted(to.representation);
        const PathResolution alone = shape.registry.find_path(from_type, from_rep, to_type, to_rep, policy, one);
        if (!alone.search_limit_exceeded() && alone != reference.result) {
            broken("a fresh search differs from the plain one", resolution_text(reference.result),
                   resolution_text(alone));
        }
        PathResolution expected = reference.result;
        if (q.keep_first_path && expected.requires_user_choice) expected.path = reference.first_path;
        const PathResolution together = shared.find_path(from_type, from_rep, to_type, to_rep, q.keep_first_path);
        if (!together.search_limit_exceeded() && together != expected) {
            broken("a shared searcher's search differs from the plain one", resolution_text(expected),
                   resolution_text(together));
        }
    }
}

void fold_check(std::string_view input) {
    bool utf8 = well_formed(input);
    auto [fold_text, table_text] = split<2>(input).text;
    auto folds = read_valid<FoldSet>(fold_text, utf8);
    if (!folds) return;
    auto table = read_valid<SampleRelationTable>(table_text, utf8);
    if (!table) return;
    report_status(table->validate_fold_set(*folds), utf8);
}

void envelope_build(std::string_view input) {
    bool utf8 = well_formed(input);
    auto documents = split<3>(input);
    auto schema = read_valid<DatasetSchema>(documents.text[0], utf8);
    if (!schema) return;
    auto plan = read_valid<DataPlan>(documents.text[1], utf8);
    if (!plan) return;
    // As the module's optional third argument: absent unless a third document is given.
    std::optional<SampleRelationTable> table;
    if (documents.count == 3) {
        table = read_valid<SampleRelationTable>(documents.text[2], utf8);
        if (!table) return;
    }
    check_envelope_from_parts(*schema, *plan, table ? &*table : nullptr, utf8);
}

std::span<const NamedHarness> harnesses() {
    static constexpr NamedHarness all[] = {
        {"dataset_schema", dataset_schema},
        {"model_input", model_input},
        {"adapter_registry", adapter_registry},
        {"plan_request", plan_request},
        {"data_plan", data_plan},
        {"relation_table", relation_table},
        {"fold_set", fold_set},
        {"value", value},
        {"envelope", envelope},
        {"planner", planner},
        {"planner_budgets", planner_budgets},
        {"planner_shapes", planner_shapes},
        {"fold_check", fold_check},
        {"envelope_build", envelope_build},
    };
    return all;
}

}  // namespace veltrinax::fuzz
