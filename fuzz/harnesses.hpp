#pragma once
// Fuzz harnesses: one per way a caller hands the core a document. Each takes raw
// bytes, reads them the way the module's functions do, and for whatever reads
// exercises everything the module would do with it (validation, fingerprints,
// error descriptors, writing). Beyond "no crash, no sanitizer report" each checks
// invariants a caller relies on and traps when one breaks:
//   - what was written reads again to an equal record, which writes the same text;
//   - the value route reads the record's own generic value back to the same text;
//   - a validated record has a fingerprint; a planned data plan validates and
//     builds a valid envelope, which itself survives writing and reading;
//   - the path search's shortcuts never change a plan;
//   - a planning call the fuzzer's small work budget suffices for ends as with
//     the default budget (planner_budgets: replay only, no fuzzer of its own);
//   - a planning call completes within three times the work of the plain rules
//     and gives their result, and at any budget a call that completes without
//     pruning completes with it, alike (planner_shapes);
//   - an error descriptor of a well-formed UTF-8 input is readable JSON.
//
// Harnesses that take several documents split the input at the ASCII record
// separator (0x1E), the separator of JSON text sequences, in the order of the
// module function's parameters.

#include <span>
#include <string_view>

namespace veltrinax::fuzz {

using Harness = void (*)(std::string_view input);

struct NamedHarness {
    std::string_view name;
    Harness run;
};

void dataset_schema(std::string_view input);
void model_input(std::string_view input);
void adapter_registry(std::string_view input);
void plan_request(std::string_view input);
void data_plan(std::string_view input);
void relation_table(std::string_view input);
void fold_set(std::string_view input);
void value(std::string_view input);
void envelope(std::string_view input);
// schema, model input, adapter registry, request
void planner(std::string_view input);
// the planner's input; replay only, over the planner's corpus: fuzzing it would
// explore the very inputs and code the planner fuzzer does
void planner_budgets(std::string_view input);
// bytes (not JSON) decoded into a small planning call built as records, with
// motifs of up to a few thousand adapters hung on it: the plain planner's result
// within three times its work, pruning that only ever saves, the indexes'
// ordered fallback, and one searcher's searches against fresh ones
void planner_shapes(std::string_view input);
// fold set, relation table
void fold_check(std::string_view input);
// schema, data plan, optional relation table
void envelope_build(std::string_view input);

// Every harness, by the name its fuzzer binary and corpus directory carry (or, for
// a replay-only check, by its own name).
std::span<const NamedHarness> harnesses();

}  // namespace veltrinax::fuzz
