// Meshgrid (Shape, Concat, Unsqueeze and Expand), flip (Gather with reversed indices),
// cumulative sum (CumSum), einsum (Einsum) and transpose (Transpose).
#include <algorithm>
#include <limits>

#include "converter/converter.h"

namespace kestro {

namespace {

// Above this axis length a flip reverses with a step -1 Slice instead of materializing the
// reversed index list, whose size would otherwise follow whatever dims the program declares.
constexpr int64_t kMaxFlipIndices = int64_t{1} << 20;

}  // namespace

void Converter::op_meshgrid(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"meshgrid", out};
    const auto ids = helper::op_input_ids(op);
    const IdList* combined = state.combine_inputs.find(ids[0]);
    if (!combined) throw Error("meshgrid missing 0.combine metadata for {}", ids[0]);
    const IdList* split = state.split_outputs.find(out);
    if (!split) throw Error("meshgrid missing 0.split metadata for {}", out);
    const IdList& inputs = *combined;
    const IdList& outputs = *split;
    const size_t n = inputs.size();
    if (n != outputs.size())
        throw Error("meshgrid expects matching input/output counts, got {} inputs and {} outputs", n,
                    outputs.size());
    if (n == 0) throw Error("meshgrid requires at least one input");

    // A rank-0 input counts as one element along its axis; its Shape would contribute no
    // dim at all and leave the result one rank short.
    std::vector<bool> scalar(n, false);
    for (size_t k = 0; k < n; ++k) {
        const std::vector<int64_t>* dims = state.tensor_shapes.find(inputs[k]);
        scalar[k] = dims && dims->empty();
    }

    std::vector<std::string> parts;
    for (size_t k = 0; k < n; ++k) {
        std::string part = names("shape_part", k);
        if (scalar[k]) {
            push_i64_initializer(part, {1}, {1});
        } else {
            append_node("Shape", {get_tensor_name(inputs[k])}, {part});
        }
        parts.push_back(std::move(part));
    }
    const std::string shape = names("shape");
    append_node("Concat", std::move(parts), {shape}, {helper::attr_int("axis", 0)});

    for (size_t k = 0; k < n; ++k) {
        std::vector<int64_t> axes;
        for (size_t a = 0; a < n; ++a)
            if (a != k || scalar[k]) axes.push_back(static_cast<int64_t>(a));
        const std::string unsqueezed = names("unsqueezed", k);
        if (axes.empty() && opset < 13) {
            // Unsqueeze below 13 needs a non-empty "axes" attribute; with nothing to insert
            // the input passes through as it is.
            append_node("Identity", {get_tensor_name(inputs[k])}, {unsqueezed});
        } else {
            add_unsqueeze_node(get_tensor_name(inputs[k]), unsqueezed, axes,
                               names("axes", k));
        }
        append_node("Expand", {unsqueezed, shape}, {get_tensor_name(outputs[k])});
    }
}

void Converter::op_flip(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"flip", out};
    const Json* axis_data = helper::attr(op, "axis");
    std::vector<int64_t> axes;
    if (axis_data && axis_data->IsArray()) axes = helper::collect_i64_items(*axis_data, op, "axis");
    const auto ids = helper::op_input_ids(op);
    settle_output_like("flip", out, {ids[0]});

    std::vector<int64_t> dims;
    if (const std::vector<int64_t>* recorded = state.tensor_shapes.find(ids[0])) {
        dims = *recorded;
    } else if (const Json* first = helper::first_entry(op, "O")) {
        auto type = helper::declared_type(*first, helper::NonIntegerDims::Unknown);
        if (type && type->dims) dims = std::move(*type->dims);
    }
    const auto rank = static_cast<int64_t>(dims.size());

    // Paddle flips nothing when it is given an empty axis list: the result is a copy.
    if (axis_data && axis_data->IsArray() && axis_data->Empty()) {
        append_node("Identity", {get_tensor_name(ids[0])}, {get_tensor_name(out)});
        return;
    }
    if (axes.empty()) axes.push_back(0);
    // An axis named twice (1 and -1 of a matrix) is flipped once, as Paddle does; flipping
    // it again would undo it.
    std::vector<int64_t> distinct;
    for (int64_t a : axes) {
        if (a < 0) a += rank;
        if (a < 0 || a >= rank) throw Error("flip requires a static positive axis length");
        if (std::find(distinct.begin(), distinct.end(), a) == distinct.end()) distinct.push_back(a);
    }
    axes = std::move(distinct);

    std::string current = get_tensor_name(ids[0]);
    for (size_t j = 0; j < axes.size(); ++j) {
        const int64_t a = axes[j];
        if (a < 0 || a >= rank || dims[static_cast<size_t>(a)] < 1)
            throw Error("flip requires a static positive axis length");
        const int64_t length = dims[static_cast<size_t>(a)];
        std::string output =
            j + 1 == axes.size() ? get_tensor_name(out) : names("axis", j);
        if (length > kMaxFlipIndices) {
            add_slice_node(current, output, {-1}, {std::numeric_limits<int64_t>::min()},
                           std::vector<int64_t>{a}, std::vector<int64_t>{-1},
                           names("slice", j));
        } else {
            const std::string indices = names("indices", j);
            reserve_materialized(uint64_t(length) * 16, "flip");
            std::vector<int64_t> reversed(static_cast<size_t>(length));
            for (int64_t i = 0; i < length; ++i) reversed[static_cast<size_t>(i)] = length - 1 - i;
            push_i64_initializer(indices, {length}, reversed);
            append_node("Gather", {current, indices}, {output}, {helper::attr_int("axis", a)});
        }
        current = std::move(output);
    }
}

void Converter::op_cumsum(const Json& op) {
    if (helper::op_attr_bool(op, "flatten").value_or(false))
        throw Error("cumsum with flatten=true is not supported");
    const int64_t out = helper::op_out_id(op);
    const auto ids = helper::op_input_ids(op);
    if (const std::vector<double>* folded = state.const_values.find(ids[1]); folded && folded->size() == 1)
        if (const std::vector<int64_t>* x_dims = state.tensor_shapes.find(ids[0]); x_dims && !x_dims->empty())
            checked_axis("cumsum", "axis", helper::saturate_i64((*folded)[0]), static_cast<int64_t>(x_dims->size()));
    std::string x = get_tensor_name(ids[0]);
    // CumSum takes its axis 0-D or [1]; Paddle's may have any rank of one element.
    std::string axis =
        one_value_of_rank(ids[1], get_tensor_name(ids[1]), 1, NameMaker{"cumsum", out}("axis_vector"));
    std::string output = get_tensor_name(out);

    // CumSum has no form for narrow integers or booleans, and takes float16 only from
    // opset 14; a node of another type would make the whole model invalid.
    if (const auto type = onnx_dtype_if_known(ids[0])) {
        namespace d = proto::dtype;
        if (*type == d::BOOL || *type == d::INT8 || *type == d::UINT8 || *type == d::INT16)
            throw Error("cumsum does not support {} input", helper::onnx_dtype_name(*type));
        if (*type == d::FLOAT16) require_opset("cumsum on float16", 14);
    }

    const bool exclusive = helper::op_attr_bool(op, "exclusive").value_or(false);
    const bool reverse = helper::op_attr_bool(op, "reverse").value_or(false);
    std::vector<proto::AttributeProto> attributes{helper::attr_int("exclusive", exclusive ? 1 : 0),
                                                  helper::attr_int("reverse", reverse ? 1 : 0)};
    // CumSum fails at run time on a single value, which Paddle sums along axis 0 or -1 as a
    // one-element row: the value is lifted to [1] for the CumSum and brought back to rank 0.
    const std::vector<int64_t>* dims = state.tensor_shapes.find(ids[0]);
    if (dims && dims->empty()) {
        if (const std::vector<double>* folded = state.const_values.find(ids[1]);
            folded && folded->size() == 1 && (*folded)[0] != 0.0 && (*folded)[0] != -1.0)
            throw Error("cumsum axis {} is outside a rank-0 input, which takes 0 or -1",
                        helper::fmt_f64((*folded)[0]));
        const NameMaker names{"cumsum", out};
        add_unsqueeze_node(std::move(x), names("row"), {0}, names("row_axes"));
        append_node("CumSum", {names("row"), std::move(axis)}, {names("row_sum")}, std::move(attributes));
        add_squeeze_node(names("row_sum"), std::move(output), std::vector<int64_t>{0}, names("scalar_axes"));
        return;
    }
    append_node("CumSum", {std::move(x), std::move(axis)}, {std::move(output)}, std::move(attributes));
}

// Each operand's term of the equation names one letter per dim ("..." standing for any
// number of them), and the operands share one element type: otherwise no node loads.
void Converter::check_einsum_operands(std::string_view equation, const IdList& operand_ids) const {
    const std::string_view inputs = equation.substr(0, equation.find("->"));
    size_t k = 0;
    size_t begin = 0;
    while (true) {
        const size_t end = std::min(inputs.find(',', begin), inputs.size());
        std::string_view term = inputs.substr(begin, end - begin);
        if (k < operand_ids.size()) {
            size_t letters = 0;
            bool ellipsis = false;
            for (size_t i = 0; i < term.size(); ++i) {
                if (term.substr(i, 3) == "...") {
                    ellipsis = true;
                    i += 2;
                } else if ((term[i] >= 'a' && term[i] <= 'z') || (term[i] >= 'A' && term[i] <= 'Z')) {
                    ++letters;
                } else if (term[i] != ' ') {
                    throw Error("einsum: equation {} holds {}", helper::fmt_text(equation),
                                helper::fmt_text(term.substr(i, 1)));
                }
            }
            const std::vector<int64_t>* dims = state.tensor_shapes.find(operand_ids[k]);
            if (dims && (ellipsis ? letters > dims->size() : letters != dims->size()))
                throw Error("einsum: term {} of equation {} names {} dims, but operand {} has rank {}",
                            helper::fmt_text(term), helper::fmt_text(equation), letters, k, dims->size());
            if (k > 0) require_same_type("einsum", "operand 0", operand_ids[0], fmt::format("operand {}", k), operand_ids[k]);
        }
        ++k;
        if (end >= inputs.size()) break;
        begin = end + 1;
    }
    if (k != operand_ids.size())
        throw Error("einsum: equation {} has {} operand terms, but {} operands are given",
                    helper::fmt_text(equation), k, operand_ids.size());
}

void Converter::op_einsum(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const auto ids = helper::op_input_ids(op);
    std::vector<std::string> operands;
    IdList operand_ids{ids[0]};
    if (const IdList* combined = state.combine_inputs.find(ids[0])) operand_ids = *combined;
    operands = tensor_names_for_ids(operand_ids);
    const auto equation = helper::op_attr_str(op, "equation");
    if (!equation) throw Error("einsum missing equation");
    // Einsum needs at least one operand; an empty list would be written as an invalid node.
    if (operands.empty()) throw Error("einsum missing inputs");
    // Paddle's einsum computes in floating point only; ONNX Runtime has no Einsum for 8- and
    // 16-bit integers, and ONNX none for bool.
    if (const IdList* combined = state.combine_inputs.find(ids[0]))
        for (int64_t id : *combined) require_float_operand("einsum", id);
    else
        require_float_operand("einsum", ids[0]);
    check_einsum_operands(*equation, operand_ids);
    append_node("Einsum", std::move(operands), {get_tensor_name(out)},
                {helper::attr_str("equation", std::string(*equation))});
}

void Converter::op_transpose(const Json& op) {
    const auto ids = helper::op_input_ids(op);
    std::vector<int64_t> perm = helper::op_attr_i64_items(op, "perm");
    const std::vector<int64_t>* dims = state.tensor_shapes.find(ids[0]);
    const bool negative = std::any_of(perm.begin(), perm.end(), [](int64_t p) { return p < 0; });
    // Paddle takes a perm of every dim: one left out (the whole list too) is refused below.
    if (!dims) {
        // Paddle counts a negative entry from the end of the input's dims.
        if (negative)
            throw Error("transpose perm {} has negative entries and the input rank is not recorded",
                        helper::fmt_dims(perm));
        convert_generic_op("transpose", op);
        return;
    }
    const auto rank = static_cast<int64_t>(dims->size());
    std::vector<bool> seen(static_cast<size_t>(rank), false);
    for (int64_t& p : perm) {
        if (p < 0) p += rank;
        if (p < 0 || p >= rank || seen[static_cast<size_t>(p)]) break;
        seen[static_cast<size_t>(p)] = true;
    }
    // An entry outside the dims, a repeated one or a wrong count is a model no runtime loads.
    if (static_cast<int64_t>(perm.size()) != rank || std::find(seen.begin(), seen.end(), false) != seen.end())
        throw Error("transpose perm {} is not a permutation of the {} dims of its input",
                    helper::fmt_dims(helper::op_attr_i64_items(op, "perm")), rank);
    // The result has the input's dims in the perm's order.
    std::vector<int64_t> permuted;
    for (int64_t p : perm) permuted.push_back((*dims)[static_cast<size_t>(p)]);
    settle_output("transpose", helper::op_out_id(op), onnx_dtype_if_known(ids[0]), permuted, {ids[0]});
    if (!negative) {
        convert_generic_op("transpose", op);
        return;
    }
    append_node("Transpose", {get_tensor_name(ids[0])}, {get_tensor_name(helper::op_out_id(op))},
                {helper::attr_ints("perm", perm)});
}

}  // namespace kestro
