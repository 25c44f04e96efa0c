#include "functions.hpp"

#include <array>
#include <cstddef>

#include "args.hpp"
#include "manifest.hpp"
#include "ref.hpp"
#include "veltrinax/adapter.hpp"
#include "veltrinax/builtin_models.hpp"
#include "veltrinax/envelope.hpp"
#include "veltrinax/fingerprint.hpp"
#include "veltrinax/model.hpp"
#include "veltrinax/plan.hpp"
#include "veltrinax/planner.hpp"
#include "veltrinax/relation.hpp"

namespace veltrinax::python {

PyObject* none() {
    Py_IncRef(Py_None);
    return Py_None;
}

PyObject* str_result(std::string_view text) { return new_str(text); }

PyObject* str_or_error(Result<std::string>&& result) {
    if (!result) return raise_core_error(std::move(result.error()));
    return new_str(*result);
}

std::optional<AdapterRegistry> adapter_registry_from_json(std::string_view text) {
    std::optional<AdapterRegistrySpec> spec = parse<AdapterRegistrySpec>(text);
    if (!spec) return std::nullopt;
    auto registry = AdapterRegistry::from_spec(std::move(*spec));
    if (!registry) {
        raise_core_error(std::move(registry.error()));
        return std::nullopt;
    }
    return std::optional<AdapterRegistry>(std::move(*registry));
}

namespace {

// The fingerprint of a document read as a T. The fingerprint validates the record
// first and reports its error as is; the record is dropped before that error is
// translated.
template <json::Codable T>
PyObject* fingerprint_json(std::string_view text, Result<std::string> (*fingerprint_of)(const T&)) {
    Result<std::string> fingerprint;
    {
        std::optional<T> record = parse<T>(text);
        if (!record) return nullptr;
        fingerprint = fingerprint_of(*record);
    }
    return str_or_error(std::move(fingerprint));
}

// ---------------------------------------------------------------------------
// Function bodies, in registration order
// ---------------------------------------------------------------------------

PyObject* version() { return str_result(VELTRINAX_VERSION); }

PyObject* contract_manifest_json() { return json_result(contract_manifest()); }

PyObject* builtin_data_models_json() { return json_result(builtin_models::builtin_data_model_specs()); }

PyObject* builtin_representations_json() { return json_result(builtin_models::builtin_representations()); }

PyObject* builtin_adapter_registry_json() { return json_result(builtin_models::builtin_adapter_registry_spec()); }

PyObject* tabular_numeric_model_input_spec_json() {
    return json_result(builtin_models::tabular_numeric_model_input_spec());
}

PyObject* validate_dataset_schema_json(const Texts& args) {
    return parse_and_validate<DatasetSchema>(args[0]) ? none() : nullptr;
}

PyObject* dataset_schema_fingerprint_json(const Texts& args) {
    return fingerprint_json(args[0], fingerprint::schema_fingerprint);
}

PyObject* validate_model_input_spec_json(const Texts& args) {
    return parse_and_validate<ModelInputSpec>(args[0]) ? none() : nullptr;
}

PyObject* validate_adapter_registry_json(const Texts& args) {
    return adapter_registry_from_json(args[0]) ? none() : nullptr;
}

PyObject* plan_model_input_json(const Texts& args) {
    // The four texts are read in parameter order; the first failure ends the call.
    auto schema = parse_and_validate<DatasetSchema>(args[0]);
    if (!schema) return nullptr;
    auto model_input = parse_and_validate<ModelInputSpec>(args[1]);
    if (!model_input) return nullptr;
    auto registry = adapter_registry_from_json(args[2]);
    if (!registry) return nullptr;
    // Read only: the planner checks the request itself.
    auto request = parse<DataPlanRequest>(args[3]);
    if (!request) return nullptr;
    auto plan = planner::plan_model_input(*schema, *model_input, *registry, *request);
    if (!plan) {
        // The documents are dropped before the error is translated.
        schema.reset();
        model_input.reset();
        registry.reset();
        request.reset();
        return raise_core_error(std::move(plan.error()));
    }
    return json_result(*plan);
}

PyObject* validate_data_plan_json(const Texts& args) {
    return parse_and_validate<DataPlan>(args[0]) ? none() : nullptr;
}

PyObject* data_plan_fingerprint_json(const Texts& args) {
    return fingerprint_json(args[0], fingerprint::data_plan_fingerprint);
}

PyObject* validate_sample_relation_table_json(const Texts& args) {
    return parse_and_validate<SampleRelationTable>(args[0]) ? none() : nullptr;
}

PyObject* sample_relation_table_fingerprint_json(const Texts& args) {
    return fingerprint_json(args[0], fingerprint::sample_relation_fingerprint);
}

PyObject* validate_fold_set_json(const Texts& args) {
    return parse_and_validate<FoldSet>(args[0]) ? none() : nullptr;
}

PyObject* fold_set_fingerprint_json(const Texts& args) {
    return fingerprint_json(args[0], fingerprint::fold_set_fingerprint);
}

PyObject* validate_fold_set_against_sample_relations_json(const Texts& args) {
    Status ok;
    {
        auto fold_set = parse_and_validate<FoldSet>(args[0]);
        if (!fold_set) return nullptr;
        auto table = parse_and_validate<SampleRelationTable>(args[1]);
        if (!table) return nullptr;
        ok = table->validate_fold_set(*fold_set);
    }
    // The documents are gone before the error is translated.
    if (!ok) return raise_core_error(std::move(ok.error()));
    return none();
}

PyObject* build_coordinator_data_plan_envelope_json(const Texts& args) {
    std::string text;
    {
        auto schema = parse_and_validate<DatasetSchema>(args[0]);
        if (!schema) return nullptr;
        auto plan = parse_and_validate<DataPlan>(args[1]);
        if (!plan) return nullptr;
        std::optional<SampleRelationTable> table;
        if (args.given(2)) {
            table = parse_and_validate<SampleRelationTable>(args[2]);
            if (!table) return nullptr;
        }
        // The three parts were validated as they were read.
        auto envelope =
            CoordinatorDataPlanEnvelope::from_validated_parts(*schema, std::move(*plan), table ? &*table : nullptr);
        if (!envelope) return raise_core_error(std::move(envelope.error()));
        text = json::to_text(*envelope);
    }
    // The records, larger than the text for a big relation table, are gone before
    // the str that copies the text is made.
    return str_result(text);
}

PyObject* validate_coordinator_data_plan_envelope_json(const Texts& args) {
    Status ok;
    {
        auto envelope = CoordinatorDataPlanEnvelope::from_json(args[0]);
        if (!envelope) return raise_core_error(DataError::serialization(std::move(envelope.error())));
        ok = envelope->validate();
    }
    // The envelope is gone before the error is translated.
    if (!ok) return raise_core_error(std::move(ok.error()));
    return none();
}

// ---------------------------------------------------------------------------
// From a text signature to a method record
// ---------------------------------------------------------------------------

// A string literal usable as a template argument.
template <std::size_t N>
struct FixedString {
    char chars[N]{};
    consteval FixedString(const char (&s)[N]) {
        for (std::size_t i = 0; i < N; ++i) chars[i] = s[i];
    }
    constexpr std::string_view view() const { return {chars, N - 1}; }
};

// Everything the record needs, derived at compile time from one text signature so
// that a function's name, parameters and documentation cannot drift apart.
template <FixedString Text>
struct Declared {
    static constexpr Signature signature = parse_signature(Text.view());
    static constexpr auto name = [] {
        std::array<char, signature.name.size() + 1> out{};
        for (std::size_t i = 0; i < signature.name.size(); ++i) out[i] = signature.name[i];
        return out;
    }();
    // The text signature and the "--" line: the interpreter takes
    // __text_signature__ from it (so inspect.signature works) and, with nothing
    // after it, leaves __doc__ None.
    static constexpr auto doc = [] {
        constexpr std::string_view tail = "\n--\n\n";
        std::array<char, Text.view().size() + tail.size() + 1> out{};
        std::size_t at = 0;
        for (char c : Text.view()) out[at++] = c;
        for (char c : tail) out[at++] = c;
        return out;
    }();
};

using NoArgumentBody = PyObject* (*)();
using TextsBody = PyObject* (*)(const Texts&);

template <NoArgumentBody Body>
PyObject* no_arguments_entry(PyObject*, PyObject*) noexcept {
    return guarded<PyObject*>(nullptr, Body);
}

template <class D, TextsBody Body>
PyObject* arguments_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Texts texts;
        if (!bind_arguments(D::signature, args, nargs, kwnames, texts)) return nullptr;
        return Body(texts);
    });
}

// The interpreter calls each entry with the signature its flags name; the cast
// goes through void(*)(), the one function type every other converts to cleanly.
template <class F>
PyCFunction as_cfunction(F* entry) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

// METH_STATIC: the entry gets no module object and the function's __self__ is
// None. Functions without parameters use the no-argument convention, so the
// interpreter itself rejects any argument given to them.
template <FixedString Text, auto Body>
PyMethodDef function() {
    using D = Declared<Text>;
    if constexpr (D::signature.count == 0) {
        return {D::name.data(), as_cfunction(&no_arguments_entry<Body>), METH_NOARGS | METH_STATIC, D::doc.data()};
    } else {
        return {D::name.data(), as_cfunction(&arguments_entry<D, Body>), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
                D::doc.data()};
    }
}

// The function table, in registration order (the order of the manifest's
// "python_exports"; a function joins at its own place in that order, not at the
// end). To add one:
//   1. write its body above: `PyObject* name()` without parameters, or
//      `PyObject* name(const Texts& args)` reading `args[i]` (and `args.given(i)`
//      for a parameter that defaults to None), built from `parse_and_validate<T>`
//      or `parse<T>`, the core call, and `none()`, `str_result(...)`,
//      `str_or_error(...)` or `json_result(...)`;
//   2. add `function<"name(param, other=None)", name>(),` here. The text
//      signature is the whole declaration: name, parameters, which are optional
//      (only "=None" defaults), argument messages and documentation come from it.
PyMethodDef table[] = {
    function<"version()", version>(),
    function<"contract_manifest_json()", contract_manifest_json>(),
    function<"builtin_data_models_json()", builtin_data_models_json>(),
    function<"builtin_representations_json()", builtin_representations_json>(),
    function<"builtin_adapter_registry_json()", builtin_adapter_registry_json>(),
    function<"tabular_numeric_model_input_spec_json()", tabular_numeric_model_input_spec_json>(),
    function<"validate_dataset_schema_json(json)", validate_dataset_schema_json>(),
    function<"dataset_schema_fingerprint_json(json)", dataset_schema_fingerprint_json>(),
    function<"validate_model_input_spec_json(json)", validate_model_input_spec_json>(),
    function<"validate_adapter_registry_json(json)", validate_adapter_registry_json>(),
    function<"plan_model_input_json(schema_json, model_input_json, adapter_registry_json, request_json)",
             plan_model_input_json>(),
    function<"validate_data_plan_json(json)", validate_data_plan_json>(),
    function<"data_plan_fingerprint_json(json)", data_plan_fingerprint_json>(),
    function<"validate_sample_relation_table_json(json)", validate_sample_relation_table_json>(),
    function<"sample_relation_table_fingerprint_json(json)", sample_relation_table_fingerprint_json>(),
    function<"validate_fold_set_json(json)", validate_fold_set_json>(),
    function<"fold_set_fingerprint_json(json)", fold_set_fingerprint_json>(),
    function<"validate_fold_set_against_sample_relations_json(fold_set_json, sample_relations_json)",
             validate_fold_set_against_sample_relations_json>(),
    function<"build_coordinator_data_plan_envelope_json(schema_json, data_plan_json, sample_relations_json=None)",
             build_coordinator_data_plan_envelope_json>(),
    function<"validate_coordinator_data_plan_envelope_json(json)", validate_coordinator_data_plan_envelope_json>(),
};

}  // namespace

std::span<PyMethodDef> function_table() { return table; }

}  // namespace veltrinax::python
