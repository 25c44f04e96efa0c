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
        {"fold_check", fold_check},
        {"envelope_build", envelope_build},
    };
    return all;
}

}  // namespace veltrinax::fuzz
