#include "converter/converter.h"

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
    child.opset = opset;
    child.strict = strict;
    child.materialized = materialized;
    child.skipped_outputs = skipped_outputs;
    return child;
}

std::string Converter::get_tensor_name(int64_t id) const {
    if (id == 0) return {};
    if (const std::string* name = state.tensor_names.find(id)) return *name;
    if (id < 0) throw Error("Undefined value id {}", id);
    return fmt::format("tensor_{}", id);
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
