// The converter's construction, region converters, value names, opset and size limits.
#include "converter/converter.h"

#include <tuple>

namespace kestro {

Converter::Converter() { graph.name = "Orvane_Model"; }

Converter Converter::sub_converter() const {
    Converter child;
    child.graph.name = "Orvane_Subgraph";
    // The child writes into its own empty layers over the parent's tables.
    const ConverterState& s = state;
    child.state.tensor_names = s.tensor_names.layered();
    child.state.param_names = s.param_names;
    child.state.param_meta = s.param_meta.layered();
    child.state.combine_inputs = s.combine_inputs.layered();
    child.state.stack_inputs = s.stack_inputs.layered();
    child.state.split_outputs = s.split_outputs.layered();
    child.state.const_values = s.const_values.layered();
    child.state.tensor_shapes = s.tensor_shapes.layered();
    child.state.tensor_dtypes = s.tensor_dtypes.layered();
    child.state.settled_shapes = s.settled_shapes.layered();
    child.state.computed_types = s.computed_types.layered();
    child.state.iteration_varying = s.iteration_varying.layered();
    child.state.defined_values = s.defined_values.layered();
    child.state.cast_inputs = s.cast_inputs.layered();
    child.opset = opset;
    child.strict = strict;
    child.materialized = materialized;
    child.skipped_outputs = skipped_outputs;
    child.secondary_reads = secondary_reads;
    child.current_op = current_op;
    child.region_depth = region_depth + 1;
    child.node_origins = node_origins;
    child.early_reads = early_reads;
    child.input_names = input_names;
    return child;
}

std::string Converter::owner_key() const {
    if (current_op)
        if (const std::optional<int64_t> id = helper::try_op_out_id(*current_op)) return std::to_string(*id);
    return fmt::format("d{}_{}", region_depth, graph.node.size());
}

namespace {

// Where an operator reads or writes value `id`: "operand 1", "operands 1, 3", "output 0", or
// nothing when it does neither directly (an element of a list). `several`: more than one.
std::string place_of(const Json* op, int64_t id, bool& several) {
    several = false;
    for (const auto& [key, one, many] : {std::tuple{"I", "operand", "operands"}, std::tuple{"O", "output", "outputs"}}) {
        const Json* entries = op ? helper::member(*op, key) : nullptr;
        if (entries == nullptr || !entries->IsArray()) continue;
        std::string at;
        size_t count = 0;
        for (rapidjson::SizeType k = 0; k < entries->Size(); ++k) {
            const Json* v = helper::member((*entries)[k], "%");
            if (v == nullptr || helper::as_i64(*v) != std::optional<int64_t>(id)) continue;
            at += fmt::format("{}{}", count++ == 0 ? "" : ", ", k);
        }
        if (count == 0) continue;
        several = count > 1;
        return fmt::format("{} {}", several ? many : one, at);
    }
    return {};
}

}  // namespace

std::optional<std::string> Converter::tensor_name_of(int64_t id) const {
    if (id == 0) return std::nullopt;
    if (const std::string* name = state.tensor_names.find(id))
        return name->empty() ? std::nullopt : std::optional<std::string>(*name);
    if (!input_names->empty())
        if (const auto it = input_names->find(id); it != input_names->end()) return it->second;
    if (id > 0) return fmt::format("tensor_{}", id);
    return std::nullopt;
}

std::string Converter::get_tensor_name(int64_t id) const {
    if (std::optional<std::string> name = tensor_name_of(id)) return *std::move(name);
    if (id < 0 && !state.tensor_names.contains(id)) throw Error("Undefined value id {}", id);
    const std::string op =
        current_op ? helper::fmt_text(helper::op_label(*current_op)) : std::string("the program");
    bool several = false;
    const std::string at = place_of(current_op, id, several);
    if (id == 0) {
        if (at.empty()) throw Error("{}: a value it reads is absent (%0), where {} needs a value", op, op);
        throw Error("{}: {} {} absent (%0), where {} needs a value", op, at, several ? "are" : "is", op);
    }
    if (at.empty()) throw Error("{}: value {} has an empty name, which ONNX reads as no value", op, id);
    throw Error("{}: {} (value {}) {} an empty name, which ONNX reads as no value", op, at, id,
                several ? "have" : "has");
}

std::string Converter::optional_tensor_name(int64_t id) const {
    return id == 0 ? std::string() : get_tensor_name(id);
}

void Converter::require_opset(std::string_view what, int64_t min) const {
    if (opset < min) throw opset_error(what, min, opset);
}

Error Converter::opset_error(std::string_view what, int64_t min, int64_t opset) {
    return Error("{} requires opset >= {}, but target opset is {}", what, min, opset);
}

void Converter::reserve_materialized(uint64_t bytes, std::string_view what) {
    MaterializedBytes& m = *materialized;
    if (bytes > kMaxMaterializedBytes - m.total)
        throw Error("{} would materialize {} more bytes from the program's numbers, past the "
                    "limit of {} bytes for a whole program ({} already used)",
                    what, bytes, kMaxMaterializedBytes, m.total);
    m.total += bytes;
}

}  // namespace kestro
