// Index input helpers shared by the slicing, sorting and scatter lowerings.
#include <algorithm>

#include "converter/converter.h"
#include "converter/ops/dispatch.h"

namespace kestro {

// ONNX index inputs are int64; anything not recorded as exactly int64 gets a Cast
// (an unrecorded type too: casting an int64 is harmless, leaving an int32 is not).
std::string Converter::ensure_i64_input(int64_t id, int64_t name_id, std::string_view prefix) {
    return ensure_i64_value(id, get_tensor_name(id), fmt::format("{}_i64_{}", prefix, name_id));
}

std::string Converter::ensure_i64_value(int64_t type_id, std::string name, std::string cast_name) {
    if (dtype_token_is(type_id, proto::dtype::INT64)) return name;
    add_cast_node(std::move(name), cast_name, proto::dtype::INT64);
    return cast_name;
}

std::string Converter::ensure_i64_if_known(int64_t type_id, std::string name,
                                           std::string cast_name) {
    const auto type = onnx_dtype_if_known(type_id);
    if (!type || *type == proto::dtype::INT64) return name;
    add_cast_node(std::move(name), cast_name, proto::dtype::INT64);
    return cast_name;
}

std::string Converter::axes_as_list(int64_t id, std::string name, const std::string& vector_name) {
    const std::vector<int64_t>* dims = state.tensor_shapes.find(id);
    if (!dims || !dims->empty()) return name;
    add_unsqueeze_node(std::move(name), vector_name, {0}, vector_name + "_axes");
    return vector_name;
}

// A [1]-shaped value becomes a scalar (one of a higher rank, which Paddle reads as one value
// too, is reshaped to it), and then INT64 as ensure_i64_input makes it.
std::string Converter::ensure_scalar_i64_input(int64_t id, int64_t name_id, std::string_view prefix) {
    std::string current = get_tensor_name(id);
    const std::vector<int64_t>* dims = state.tensor_shapes.find(id);
    std::string scalar = fmt::format("{}_scalar_{}", prefix, name_id);
    if (dims && *dims == std::vector<int64_t>{1}) {
        add_squeeze_node(std::move(current), scalar, std::vector<int64_t>{0},
                         fmt::format("{}_scalar_axes_{}", prefix, name_id));
        current = std::move(scalar);
    } else if (dims && dims->size() > 1) {
        current = one_value_of_rank(id, std::move(current), 0, scalar);
    }
    return ensure_i64_value(id, std::move(current), fmt::format("{}_i64_{}", prefix, name_id));
}

std::string Converter::flat_i64_list(int64_t id, int64_t name_id, std::string_view prefix,
                                     std::optional<int64_t> length) {
    std::string list = ensure_i64_input(id, name_id, prefix);
    const std::vector<int64_t>* dims = state.tensor_shapes.find(id);
    if (length ? dims && *dims == std::vector<int64_t>{*length} : !dims || dims->size() == 1) return list;
    const std::string flat = fmt::format("{}_flat_{}", prefix, name_id);
    const std::string shape = fmt::format("{}_flat_shape_{}", prefix, name_id);
    push_i64_vector_initializer(shape, {length.value_or(-1)});
    append_node("Reshape", {std::move(list), shape}, {flat});
    return flat;
}

std::optional<int64_t> Converter::known_element_count(int64_t id) const {
    const std::vector<int64_t>* dims = state.tensor_shapes.find(id);
    if (!dims) return std::nullopt;
    if (std::find(dims->begin(), dims->end(), 0) != dims->end()) return 0;
    std::optional<int64_t> count = 1;
    for (const int64_t d : *dims) count = count && d >= 0 ? helper::checked_mul(*count, d) : std::nullopt;
    return count;
}

std::string Converter::one_value_of_rank(int64_t id, std::string name, size_t rank, const std::string& new_name) {
    const std::vector<int64_t>* dims = state.tensor_shapes.find(id);
    if (!dims || dims->size() <= rank) return name;
    const std::string shape = new_name + "_shape";
    push_i64_vector_initializer(shape, rank == 0 ? std::vector<int64_t>{} : std::vector<int64_t>{1});
    append_node("Reshape", {std::move(name), shape}, {new_name});
    return new_name;
}

// Paddle reads a list of numbers (a shape, axes, counts, slice bounds) given as a list of
// one-value tensors element by element. The lowerings, and ONNX, read such an operand as one
// tensor: the combine is made into one where it is read as numbers. Operators reading lists
// of tensors (stack, concat, meshgrid) keep their combines; of the operators without a row,
// only reshape reads one, as its shape. Anywhere else a list has no tensor to stand for it.
void Converter::read_combines_as_number_lists(std::string_view op, const ops::Signature* signature,
                                              const IdList& ids, int64_t reader) {
    for (size_t k = 0; k < ids.size(); ++k) {
        const IdList* elements = ids[k] == 0 ? nullptr : state.combine_inputs.find(ids[k]);
        // Made already, here or in an enclosing graph, for another reader.
        if (!elements || state.tensor_names.contains(ids[k])) continue;
        std::string what = k == 0 ? "input" : fmt::format("operand {}", k);
        bool numbers = !signature && op == "reshape" && k == 1;
        if (signature) {
            const std::vector<ops::OperandRule>& rules = signature->operands;
            // An operand past the row is refused by its count.
            if (rules.empty() || (k >= rules.size() && !signature->repeats)) continue;
            const ops::OperandRule& rule = rules[std::min(k, rules.size() - 1)];
            if (rule.holds == ops::Holds::List) continue;
            numbers = rule.holds == ops::Holds::FlatList || rule.holds == ops::Holds::Axes;
            what = k == 0 ? "input" : rule.name;
        } else if (numbers) {
            what = "shape";
        }
        if (!numbers)
            throw Error("{}: {} (value {}) is a list of values, where it takes one tensor", op, what, ids[k]);
        combined_list(op, what, ids[k], *elements, reader);
    }
}

void Converter::combined_list(std::string_view op, std::string_view what, int64_t list, const IdList& elements,
                              int64_t reader) {
    // Paddle takes each element as one int32 or int64 number, of shape [1] or [].
    std::vector<int64_t> folded;
    bool all_folded = true;
    for (const int64_t e : elements) {
        if (state.combine_inputs.find(e))
            throw Error("{}: {} (value {}) is a list of lists (its element {} is a list), but each element of the "
                        "list must hold one value",
                        op, what, list, e);
        // A known dim other than 1 holds no value or several, whatever the open ones are.
        const std::vector<int64_t>* dims = state.tensor_shapes.find(e);
        if (dims && std::any_of(dims->begin(), dims->end(), [](int64_t d) { return d >= 0 && d != 1; }))
            throw Error("{}: {} (value {}) element {} has dims {}, but each element of the list must hold one value",
                        op, what, list, e, helper::fmt_dims(*dims));
        require_operand_type(op, fmt::format("{} (value {}) element {}", what, list, e), e,
                             {proto::dtype::INT32, proto::dtype::INT64});
        const std::vector<double>* v = state.const_values.find(e);
        if (!v || v->size() != 1) {
            all_folded = false;
            continue;
        }
        folded.push_back(helper::saturate_i64((*v)[0]));
        // Its number is read now, so an operator of the program must have defined it already.
        if (current_op && !state.defined_values.contains(e) && !state.tensor_names.contains(e))
            early_reads->try_emplace(e, helper::op_label(*current_op));
    }
    const std::string name = fmt::format("combined_list_{}_{}", list, reader);
    if (all_folded) {
        push_i64_vector_initializer(name, folded);
        state.const_values.insert(list, std::vector<double>(folded.begin(), folded.end()));
    } else {
        std::vector<std::string> parts;
        for (size_t k = 0; k < elements.size(); ++k) {
            const int64_t e = elements[k];
            const std::string part = fmt::format("{}_element_{}", name, k);
            if (const std::vector<double>* v = state.const_values.find(e); v && v->size() == 1) {
                push_i64_vector_initializer(part, {helper::saturate_i64((*v)[0])});
                parts.push_back(part);
            } else {
                parts.push_back(flat_i64_list(e, reader, part, 1));
            }
        }
        append_node("Concat", std::move(parts), {name}, {helper::attr_int("axis", 0)});
    }
    state.tensor_names.insert(list, name);
    state.tensor_dtypes.insert(list, std::string(helper::paddle_short_token(proto::dtype::INT64)));
    record_dims(list, std::vector<int64_t>{static_cast<int64_t>(elements.size())});
}

// Makes a negative axis count from the front; no range check, callers that need a valid
// axis check it themselves. The rank is required even for a non-negative axis.
int64_t Converter::normalize_axis(int64_t axis, int64_t tensor_id) const {
    const std::vector<int64_t>* dims = state.tensor_shapes.find(tensor_id);
    if (!dims) throw Error("missing rank metadata for tensor {}", tensor_id);
    return axis < 0 ? axis + static_cast<int64_t>(dims->size()) : axis;
}

}  // namespace kestro
