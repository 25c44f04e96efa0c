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
//     asks for the first path of an ambiguous outcome;
//   budget: a byte b; the call is planned once more, with and without pruning,
//     at (b + 1) / 257 of the bound it is held to;
//   motifs: up to three, each opened by the byte 'M' (any other byte ends the
//     shape: inputs found before there were motifs have other bytes there),
//     then five bytes: (kind) bits 0-2 the motif (ring, side cycle, fan of goals,
//     run of ties, equal stages, large component, then ring and side cycle
//     again), bit 3 ids in a scattered order rather than the structure's, bit 4
//     a twin one unit dearer beside every adapter, bits 5-7 as the motif says;
//     (count) two bytes, low first, v: n = 1 + (v mod 4096) / 2^(v / 4096),
//     1 to 4096, most often under 64; (ends) bits 0-2 the decoded
//     node A the motif leaves, bits 3-5 the decoded node B it leads to, or
//     searches from; (cost) bits 0-2 the cost c of its adapters (from the
//     decoded adapters' table), bits 3-7 as the motif says. New nodes have A's
//     type, and all of a shape's motifs at most 4608 adapters (a motif stops
//     where they run out):
//       ring: A -> r1 -> ... -> rn -> B at c each; kind bit 5 adds rn -> A;
//       side cycle: the same, but A -> r1 costs 10^12;
//       fan of goals: n new goal nodes hung (kind bits 5-6) each from A at c,
//         all behind one node (A -> e at c, e -> each at 1), each behind a node
//         of its own (A -> ei at c, ei -> gi at 1), or in a chain (A -> g1 at c,
//         gi -> gi+1 at 1); with kind bit 7 a port for each goal, accepting A's
//         type (cost bit 3 optional, bit 4 multi-source), else a search from B
//         to each goal (cost bit 3 asks for the first path);
//       run of ties: n hops from A to B, each by 3, 2, 4 or 5 (kind bits 5-6)
//         parallel adapters, the first at max(c, 1) and the others one dearer:
//         one path survives, but three ways at each of 41 nodes exhaust the
//         64-bit path labels;
//       equal stages: n hops from A to B, each by 2 to 5 (kind bits 5-6)
//         parallel adapters at c;
//       large component: a ring A -> k1 -> ... -> kn -> A at 1 and, from each of
//         its nodes, 0 to 3 (kind bits 5-6) chords at 1, the j-th one j times
//         2 to 33 (cost bits 3-7) nodes on; and kn -> B at c, made first.
struct PlanningShape {
    DatasetSchema schema;
    ModelInputSpec model_input;
    AdapterRegistry registry;
    DataPlanRequest request;
    std::vector<ShapeNode> nodes;
    struct Query {
        ShapeNode from, to;
        bool keep_first_path;
    };
    std::vector<Query> queries;
    unsigned budget_byte = 0;
};

enum class Motif : unsigned { ring, side_cycle, goal_fan, tie_run, equal_stages, component };
constexpr unsigned motif_kinds = 6;
constexpr unsigned motif_opening = 'M';
constexpr std::size_t motifs_per_shape = 3;
constexpr std::size_t motif_repeats = 4096;
// Enough for a component of more than 4096 inner adapters, where the no-reuse
// tries grow another level. Every planning call builds its graph afresh, at some
// 20 microseconds an adapter under the sanitizers at -O0, and an input plans up
// to seven times: a motif this large takes about a second there.
constexpr std::size_t motif_adapters = 4608;
// Dearer than any path through everything else a shape holds, and far from
// overflowing.
constexpr std::uint64_t side_entry_cost = 1'000'000'000'000;

// Makes the adapters of one motif. Their ids ("m", the motif's number, a dot,
// four digits) never meet a decoded one, and sort in the order they are made, or
// scattered by a bijection of the four digits, so that the order in which a node's
// adapters are examined, and in which ties resolve, follows the structure or not.
class MotifAdapters {
public:
    MotifAdapters(std::vector<AdapterSpec>& out, std::size_t limit, std::size_t number, bool scattered, bool twins)
        : out_(out), limit_(limit), prefix_("m" + std::to_string(number) + "."), scattered_(scattered), twins_(twins) {}

    const std::string& prefix() const { return prefix_; }

    ShapeNode node(const ShapeNode& like, char role, std::size_t i) const {
        return {like.type, prefix_ + role + std::to_string(i)};
    }

    void operator()(const ShapeNode& from, const ShapeNode& to, std::uint64_t cost) {
        if (out_.size() >= limit_) return;
        // Fewer adapters than the limit are ever made, so serials stay below it.
        const std::size_t serial = made_++;
        std::string digits = std::to_string(scattered_ ? (serial * 5779 + 1237) % motif_adapters : serial);
        digits.insert(0, 4 - digits.size(), '0');
        add(prefix_ + digits, from, to, cost);
        if (twins_ && out_.size() < limit_) add(prefix_ + digits + ".b", from, to, cost == UINT64_MAX ? cost : cost + 1);
    }

private:
    void add(std::string id, const ShapeNode& from, const ShapeNode& to, std::uint64_t cost) {
        out_.push_back(testing::adapter_between(std::move(id), from.type + "/" + from.representation,
                                                to.type + "/" + to.representation, cost));
    }

    std::vector<AdapterSpec>& out_;
    std::size_t limit_;
    std::string prefix_;
    bool scattered_, twins_;
    std::size_t made_ = 0;
};

// One motif, after its opening byte (see the layout above): its adapters go to
// `adapters`, up to `limit` in all; its ports and searches to the shape.
void decode_motif(Bytes& in, std::size_t number, PlanningShape& shape, std::vector<AdapterSpec>& adapters,
                  std::size_t limit) {
    const unsigned kind = in.next(), low = in.next(), high = in.next(), ends = in.next(), price = in.next();
    const unsigned v = low | high << 8;
    const std::size_t count = 1 + ((v % motif_repeats) >> (v / motif_repeats));
    const ShapeNode a = shape.nodes[(ends & 7) % shape.nodes.size()];
    const ShapeNode b = shape.nodes[((ends >> 3) & 7) % shape.nodes.size()];
    const std::uint64_t cost = shape_costs[price & 7];
    const unsigned option = (kind >> 5) & 3;
    MotifAdapters add(adapters, limit, number, kind & 8, kind & 16);
    auto fresh = [&](char role, std::size_t i) { return add.node(a, role, i); };
    const auto motif = static_cast<Motif>((kind & 7) % motif_kinds);
    switch (motif) {
        case Motif::ring:
        case Motif::side_cycle: {
            ShapeNode at = a;
            for (std::size_t i = 1; i <= count; ++i) {
                ShapeNode next = fresh('r', i);
                add(at, next, motif == Motif::side_cycle && i == 1 ? side_entry_cost : cost);
                at = std::move(next);
            }
            add(at, b, cost);
            if (kind & 32) add(at, a, cost);
            break;
        }
        case Motif::goal_fan: {
            const ShapeNode hub = fresh('e', 0);
            if (option == 1) add(a, hub, cost);
            ShapeNode previous = a;
            for (std::size_t i = 1; i <= count; ++i) {
                ShapeNode goal = fresh('g', i);
                switch (option) {
                    case 0: add(a, goal, cost); break;
                    case 1: add(hub, goal, 1); break;
                    case 2: {
                        const ShapeNode own = fresh('e', i);
                        add(a, own, cost);
                        add(own, goal, 1);
                        break;
                    }
                    default: add(previous, goal, i == 1 ? cost : 1); break;
                }
                if (kind & 128) {
                    InputPortSpec p;
                    p.name = add.prefix() + "p" + std::to_string(i);
                    p.optional = price & 8;
                    p.multi_source = price & 16;
                    p.accepted_representations.push_back(RepresentationId::trusted(goal.representation));
                    p.accepted_types.push_back(TypeId::trusted(goal.type));
                    shape.model_input.ports.push_back(std::move(p));
                } else {
                    shape.queries.push_back({b, goal, (price & 8) != 0});
                }
                previous = std::move(goal);
            }
            break;
        }
        case Motif::tie_run:
        case Motif::equal_stages: {
            static constexpr std::array<unsigned, 4> tie_ways = {3, 2, 4, 5};
            const unsigned ways = motif == Motif::tie_run ? tie_ways[option] : 2 + option;
            const std::uint64_t first = motif == Motif::tie_run ? std::max<std::uint64_t>(cost, 1) : cost;
            const std::uint64_t others = motif == Motif::tie_run ? first + 1 : cost;
            ShapeNode at = a;
            for (std::size_t i = 1; i <= count; ++i) {
                ShapeNode next = i == count ? b : fresh(motif == Motif::tie_run ? 'v' : 's', i);
                for (unsigned w = 0; w < ways; ++w) add(at, next, w == 0 ? first : others);
                at = std::move(next);
            }
            break;
        }
        case Motif::component: {
            const std::size_t stride = 2 + (price >> 3);
            auto ring_node = [&](std::size_t j) { return j == 0 ? a : fresh('k', j); };
            add(ring_node(count), b, cost);
            for (std::size_t chord = 0; chord <= option; ++chord) {
                const std::size_t step = chord == 0 ? 1 : chord * stride;
                for (std::size_t j = 0; j <= count; ++j) add(ring_node(j), ring_node((j + step) % (count + 1)), 1);
            }
            break;
        }
    }
}

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
        shape.queries.push_back({node(from), node(to), (from & 128) != 0});
    }

    shape.budget_byte = in.next();
    const std::size_t limit = registry.adapters.size() + motif_adapters;
    for (std::size_t number = 0; number < motifs_per_shape && in.next() == motif_opening; ++number) {
        decode_motif(in, number, shape, registry.adapters, limit);
    }
    auto built = AdapterRegistry::from_spec(std::move(registry));
    if (!built) broken("decoded registry does not build", built.error().to_string());
    shape.registry = std::move(*built);
    return shape;
}

// Plain planning and plain searches beyond this many units are left out: the
// plain planner copies whole paths, and an input plans up to seven times beside
// it. Under the sanitizers at -O0 (the CI's smoke run) this many plain units take
// 10 to 20 ms, and so does each planning call at three times them; with 100,000
// the fuzzer made about a third fewer executions a second there.
constexpr std::uint64_t plain_units_cap = 30'000;
// The extra searches of one input share a limit on their plain units, and the
// first few alone are also searched by a fresh searcher of their own.
constexpr std::uint64_t query_units_cap = 2 * plain_units_cap;
constexpr std::size_t fresh_searches = 4;

std::string resolution_text(const PathResolution& r) {
    std::string out = r.path ? "path " + std::to_string(r.path->adapters.size()) + " score " +
                                   std::to_string(r.path->score)
                             : "no path";
    for (const PlanIssue& issue : r.issues) out += " | " + issue.code + ": " + issue.message;
    return out;
}

// One planning call of a shape: its budget, its outcome, and the units it drew
// from the budget (all of it when it ran out) beside those pruning's walks drew
// from their own allowance.
struct ShapeCall {
    std::uint64_t max_work = 0;
    Result<DataPlan> plan;
    PathSearchOptions::Work work;

    bool completed() const { return !out_of_budget(plan); }
    std::string text() const {
        return "budget " + std::to_string(max_work) + ", drew " + std::to_string(work.budget) + " and walked " +
               std::to_string(work.walks) + " (ahead " + std::to_string(work.ahead) + "): " + outcome_text(plan);
    }
};

}  // namespace

void planner_shapes(std::string_view input) {
    const PlanningShape shape = decode_shape(input);
    auto plan_with = [&](std::uint64_t max_work, bool prune = true, bool ordered_indexes = false) {
        ShapeCall call;
        call.max_work = max_work;
        PathSearchOptions options;
        options.max_work = max_work;
        options.prune = prune;
        options.work = &call.work;
        const bool before = ordered_indexes ? text::testing::set_degenerate_hash(true) : false;
        call.plan = planner::plan_model_input(shape.schema, shape.model_input, shape.registry, shape.request, options);
        if (ordered_indexes) text::testing::set_degenerate_hash(before);
        // Pruning's walks keep up with the units the call draws and run ahead of
        // them by no more than the largest expansion they ran before (and one
        // walked adapter), so a call's work, walks included, stays within twice
        // its units and that expansion.
        if (call.work.walks > call.work.budget + call.work.ahead + 16) {
            broken("pruning's walks outran the searches", call.text());
        }
        return call;
    };
    // A call's work does not depend on its budget until that runs out, so the
    // units a call that completes draws are the least budget it completes with:
    // at another budget the same call completes exactly when that is as large,
    // with the same outcome and the same units.
    auto same_call = [](std::string_view what, const ShapeCall& one, const ShapeCall& other) {
        const ShapeCall* done = one.completed() ? &one : other.completed() ? &other : nullptr;
        if (done == nullptr) return;
        const ShapeCall& again = done == &one ? other : one;
        const bool fits = again.max_work >= done->work.budget;
        if (again.completed() != fits || (fits && (again.plan != done->plan || again.work.budget != done->work.budget))) {
            broken("the budget changed the work of a call " + std::string(what), done->text(), again.text());
        }
    };
    // Pruning only ever saves: whenever the call completes without it, the call
    // with it completes too, alike, and draws no more units, so that at every
    // budget it ends with pruning exactly as it ends without.
    auto pruning_only_saves = [&](std::string_view at, const ShapeCall& pruned) {
        ShapeCall unpruned = plan_with(pruned.max_work, false);
        if (unpruned.completed() &&
            (!pruned.completed() || pruned.plan != unpruned.plan || pruned.work.budget > unpruned.work.budget)) {
            broken("pruning refused, changed or cost more than a call that completes without it, at " +
                       std::string(at),
                   "without pruning: " + unpruned.text(), "with pruning: " + pruned.text());
        }
        return unpruned;
    };
    // Once more, with pruning and without, at a budget the input draws below
    // `bound`, where either call may run out.
    auto below = [&](std::uint64_t bound, const ShapeCall& pruned_above, const ShapeCall& unpruned_above) {
        const ShapeCall pruned = plan_with(bound * (shape.budget_byte + 1) / 257);
        same_call("with pruning", pruned_above, pruned);
        same_call("without pruning", unpruned_above, pruning_only_saves("a budget drawn below the bound", pruned));
    };

    // The plain planner's work P, and P_R, the same with each target's region
    // known: the lesser is the yardstick.
    const testing::Yardsticks yard =
        testing::plain_yardsticks(shape.schema, shape.model_input, shape.registry, shape.request, plain_units_cap);
    if (!yard.agree()) {
        broken("knowing the regions changed the plain result", outcome_text(yard.plain.plan),
               outcome_text(yard.regions_known.plan));
    }
    const testing::PlainPlan& plain = yard.lesser();
    // The plain planner gives up in its searches; a plan of thousands of steps
    // can still take it past a third of the fuzzer's budget by its bytes alone,
    // and is left out with what it gave up on.
    if (!plain.gave_up && testing::budget_bound(plain.units) <= fuzz_max_work) {
        // The budget never refuses what the plain rules do in a few steps, and
        // never changes a result it lets through: with three times the lesser
        // yardstick, also with every index in its ordered fallback, and with the
        // fuzzer's larger budget, the call gives the plain planner's result.
        const std::uint64_t bound = testing::budget_bound(plain.units);
        auto plain_result = [&](std::string_view with, std::uint64_t max_work, bool ordered_indexes) {
            ShapeCall got = plan_with(max_work, true, ordered_indexes);
            if (got.plan != plain.plan) {
                broken(std::string(with) + " does not give the plain result",
                       "plain units " + std::to_string(plain.units) + ": " + outcome_text(plain.plan), got.text());
            }
            return got;
        };
        const ShapeCall at_bound = plain_result("three times the plain work", bound, false);
        plain_result("three times the plain work through ordered indexes", bound, true);
        const ShapeCall at_fuzz_budget = plain_result("the fuzzer's budget", fuzz_max_work, false);
        same_call("with pruning", at_bound, at_fuzz_budget);
        const ShapeCall unpruned_at_bound = pruning_only_saves("three times the plain work", at_bound);
        const ShapeCall unpruned_at_fuzz_budget = pruning_only_saves("the fuzzer's budget", at_fuzz_budget);
        same_call("without pruning", unpruned_at_bound, unpruned_at_fuzz_budget);
        below(bound, at_bound, unpruned_at_fuzz_budget);
    } else {
        // Beyond what the plain planner does here, hashed and ordered indexes still
        // agree whenever both complete, and pruning still only saves.
        const std::uint64_t budget = testing::budget_bound(plain_units_cap);
        const ShapeCall hashed = plan_with(budget), ordered = plan_with(budget, true, true);
        if (hashed.completed() && ordered.completed() && hashed.plan != ordered.plan) {
            broken("the ordered fallback of the indexes changed the plan", hashed.text(), ordered.text());
        }
        below(budget, hashed, pruning_only_saves("the bound of the plain planner's limit", hashed));
    }

    // One searcher's searches, which share its graph, its regions and its budget,
    // answer as fresh searchers and the plain search do, whatever the searches
    // before them learnt. A fan of goals asks thousands: the plain searches share
    // one limit, past which the rest are left out, and only the first few are
    // also searched afresh (a fresh searcher builds the whole graph again).
    if (shape.queries.empty()) return;
    const PlanningPolicy& policy = shape.request.planning_policy;
    const testing::PlainGraph graph(shape.registry, policy);
    PathSearchOptions one;
    one.max_work = fuzz_max_work;
    // A fan's thousands of searches share the budget of four decoded ones.
    PathSearchOptions all = one;
    all.max_work = fuzz_max_work * std::min<std::size_t>(shape.queries.size(), 4);
    PathSearcher shared(shape.registry, policy, all);
    std::uint64_t plain_units_left = query_units_cap;
    std::size_t fresh_left = fresh_searches;
    for (const PlanningShape::Query& q : shape.queries) {
        if (plain_units_left == 0) break;
        const auto from_type = TypeId::trusted(q.from.type), to_type = TypeId::trusted(q.to.type);
        const auto from_rep = RepresentationId::trusted(q.from.representation);
        const auto to_rep = RepresentationId::trusted(q.to.representation);
        const testing::PlainSearch reference =
            testing::plain_search(shape.registry, graph, q.from.type, q.from.representation, q.to.type,
                                  q.to.representation, policy, std::min(plain_units_cap, plain_units_left));
        plain_units_left -= std::min(reference.units, plain_units_left);
        if (reference.gave_up) {
            // Unchecked, but searched all the same: the searches after it meet
            // what this one leaves in the shared regions.
            (void)shared.find_path(from_type, from_rep, to_type, to_rep, q.keep_first_path);
            continue;
        }
        if (fresh_left > 0) {
            --fresh_left;
            const PathResolution alone = shape.registry.find_path(from_type, from_rep, to_type, to_rep, policy, one);
            if (!alone.search_limit_exceeded() && alone != reference.result) {
                broken("a fresh search differs from the plain one", resolution_text(reference.result),
                       resolution_text(alone));
            }
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
