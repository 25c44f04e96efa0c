#include "veltrinax/plan.hpp"

#include <map>

#include "veltrinax/text.hpp"

namespace veltrinax {

namespace {

// What the plan knows about one registered output name. The outputs register and
// the materialized-sources register always hold the same names for materialize
// steps, so they share one entry: `source` is set exactly when a materialize step
// registered the name.
struct Registered {
    std::optional<RepresentationId> representation;
    std::optional<SourceId> source;
};

// Keyed by the exact bytes of the name; `std::less<>` lets string views look up.
using Registers = std::map<std::string, Registered, std::less<>>;

// A rule failure that names the plan and the step it was found in.
std::unexpected<DataError> fail_step(const DataPlan& plan, std::size_t step, std::string_view message) {
    return fail(text::format("data plan `{}` step {}: {}", plan.id, step, message));
}

// The names a step consumes: "input" first, then every element of "inputs". Only
// called once the metadata types were checked.
std::vector<std::string_view> step_inputs(const DataPlanStep& step) {
    std::vector<std::string_view> inputs;
    if (const json::Value* one = step.metadata.find(std::string_view("input"))) inputs.push_back(one->as_string());
    if (const json::Value* many = step.metadata.find(std::string_view("inputs"))) {
        for (const json::Value& name : many->as_array()) inputs.push_back(name.as_string());
    }
    return inputs;
}

// The types of the metadata keys the data flow reads, in rule order.
Status check_input_metadata(const DataPlan& plan, std::size_t i, const DataPlanStep& step) {
    if (const json::Value* one = step.metadata.find(std::string_view("input")); one && !one->is_string()) {
        return fail_step(plan, i, "input must be a string");
    }
    if (const json::Value* many = step.metadata.find(std::string_view("inputs"))) {
        if (!many->is_array()) return fail_step(plan, i, "inputs must be an array");
        if (many->as_array().empty()) return fail_step(plan, i, "inputs must not be empty");
        for (const json::Value& name : many->as_array()) {
            if (!name.is_string()) return fail_step(plan, i, "inputs must contain strings");
        }
    }
    return {};
}

// The name a step registers its result under, if any. An explicit "output" is
// used exactly as written (surrounding spaces included).
std::optional<std::string> output_name(const DataPlanStep& step) {
    if (const json::Value* out = step.metadata.find(std::string_view("output"))) return out->as_string();
    if (step.kind == DataPlanStepKind::materialize) return "src:" + step.source_id->str();
    return std::nullopt;
}

}  // namespace

Status DataPlan::validate() const {
    if (text::is_blank(id)) return fail("data plan id is empty");
    if (steps.empty()) return fail(text::format("data plan `{}` contains no steps", id));

    Registers registers;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const DataPlanStep& step = steps[i];
        const bool materialize = step.kind == DataPlanStepKind::materialize;

        if (materialize && !step.source_id) {
            return fail(text::format("data plan `{}` step {} materializes without source_id", id, i));
        }
        if (step.kind == DataPlanStepKind::adapt && !step.adapter_id) {
            return fail(text::format("data plan `{}` step {} adapts without adapter_id", id, i));
        }
        if (step.adapter_id && text::is_blank(*step.adapter_id)) {
            return fail_step(*this, i, "adapter_id must not be empty");
        }
        if (auto ok = check_input_metadata(*this, i, step); !ok) return ok;
        // Metadata types are reported first even on step 0: the type of a key is a
        // property of the step itself, not of the data flow.
        if (i == 0 && !materialize) return fail_step(*this, i, "must materialize a source before consuming data");

        for (std::string_view input : step_inputs(step)) {
            auto found = registers.find(input);
            if (found == registers.end()) {
                return fail_step(*this, i, text::format("input `{}` references no earlier output", input));
            }
            const auto& produced = found->second.representation;
            if (produced && step.input_representation && *produced != *step.input_representation) {
                return fail_step(*this, i,
                                 text::format("input `{}` representation `{}` does not match `{}`", input, *produced,
                                              *step.input_representation));
            }
        }

        if (const json::Value* out = step.metadata.find(std::string_view("output"));
            out && (!out->is_string() || text::is_blank(out->as_string()))) {
            return fail_step(*this, i, "output must be a nonempty string");
        }

        // Registered only after the inputs were resolved: a step never consumes its
        // own output.
        std::optional<std::string> name = output_name(step);
        if (!name) continue;
        auto [entry, inserted] = registers.try_emplace(std::move(*name));
        if (!inserted) {
            // The one accepted repeat: the same source materialized again into the
            // same representation (the planner does this for a source that feeds
            // two ports).
            const Registered& earlier = entry->second;
            bool same_materialization = materialize && earlier.representation == step.output_representation &&
                                        earlier.source == step.source_id;
            if (!same_materialization) {
                return fail_step(*this, i, text::format("duplicate output `{}`", entry->first));
            }
        }
        entry->second.representation = step.output_representation;
        if (materialize) entry->second.source = step.source_id;
    }

    const DataPlanStep& last = steps.back();
    if (last.output_representation && *last.output_representation != output_representation) {
        return fail(text::format("data plan `{}` output representation does not match its final step", id));
    }
    return {};
}

}  // namespace veltrinax
