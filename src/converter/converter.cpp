#include "converter/converter.h"

namespace kestro {

Converter::Converter() { graph.name = "Orvane_Model"; }

Converter Converter::sub_converter() const {
    Converter child;
    child.graph.name = "Orvane_Subgraph";
    // Handles are copied, tables are not: the first write by either side copies the
    // written table for the writer alone.
    child.state = state;
    child.opset = opset;
    child.strict = strict;
    return child;
}

std::string Converter::get_tensor_name(int64_t id) const {
    if (id == 0) return {};
    if (const std::string* name = state.tensor_names.find(id)) return *name;
    if (id < 0) throw Error("Undefined value id {}", id);
    return fmt::format("tensor_{}", id);
}

void Converter::require_opset(std::string_view what, int64_t min) const {
    if (opset < min)
        throw Error("{} requires opset >= {}, but target opset is {}", what, min, opset);
}

}  // namespace kestro
