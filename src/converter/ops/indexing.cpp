// Gathers (embedding, index_select, gather, gather_nd, take_along_axis), not_equal and eye. The
// gathers map one-to-one onto an ONNX gather node; the few extra nodes exist only where
// Paddle's result differs from the plain ONNX form.
#include <limits>

#include "converter/converter.h"

namespace kestro {

namespace {

struct Operands {
    int64_t out;
    std::vector<int64_t> ids;
};

// The output id, then the input ids (at least two: the operators' signatures hold them).
Operands read_operands(const Json& op) { return {helper::op_out_id(op), helper::op_input_ids(op)}; }

bool is_rank2(const ConverterState& state, int64_t id) {
    const std::vector<int64_t>* dims = state.tensor_shapes.find(id);
    return dims && dims->size() == 2;
}

// Paddle's gather and index_select also take an index of shape [N, 1] and treat it as
// [N]; ONNX would keep the extra dim, so it is squeezed away first.
std::string flat_index(Converter& c, int64_t index_id, std::string index, int64_t out,
                       std::string_view prefix) {
    if (!is_rank2(c.state, index_id)) return index;
    std::string flat = fmt::format("{}_index_{}", prefix, out);
    c.add_squeeze_node(std::move(index), flat, std::vector<int64_t>{1},
                       fmt::format("{}_index_axes_{}", prefix, out));
    return flat;
}

// The dims a Gather of x along `axis` gives: x's with the axis replaced by the index's dims
// (an [N, 1] index counting as [N] where `flat`, as flat_index makes it).
Dims gathered_dims(const ConverterState& state, int64_t x, int64_t index, int64_t axis, bool flat) {
    const std::vector<int64_t>* xd = state.tensor_shapes.find(x);
    const std::vector<int64_t>* id = state.tensor_shapes.find(index);
    if (!xd || !id || axis < 0 || axis >= static_cast<int64_t>(xd->size())) return std::nullopt;
    std::vector<int64_t> dims(xd->begin(), xd->begin() + axis);
    dims.insert(dims.end(), id->begin(), flat && id->size() == 2 ? id->begin() + 1 : id->end());
    dims.insert(dims.end(), xd->begin() + axis + 1, xd->end());
    return dims;
}

}  // namespace

void Converter::op_embedding(const Json& op) {
    const auto [out, ids] = read_operands(op);
    const NameMaker names{"embedding", out};
    // The weight table is the data of the gather, the ids its indices.
    std::string weight = get_tensor_name(ids[1]);
    std::string index = get_tensor_name(ids[0]);
    std::string output = get_tensor_name(out);
    settle_output("embedding", out, std::nullopt, gathered_dims(state, ids[1], ids[0], 0, false), {ids[1], ids[0]});

    // Paddle writes zeros for every id equal to padding_idx, whatever that row of the table
    // holds; -1 (and any other negative value, which no id can equal) means no padding.
    const int64_t padding_idx = helper::op_attr_i64(op, "padding_idx").value_or(-1);
    std::optional<int32_t> ids_type = onnx_dtype_if_known(ids[0]);
    const bool padding_reachable =
        padding_idx >= 0 &&
        !(ids_type == proto::dtype::INT32 && padding_idx > std::numeric_limits<int32_t>::max());
    if (!padding_reachable) {
        append_node("Gather", {std::move(weight), std::move(index)}, {std::move(output)},
                    {helper::attr_int("axis", 0)});
        return;
    }

    // The mask gets a trailing dim to broadcast over the embedding width; Unsqueeze takes
    // a negative axis only from opset 11, so below it the ids' rank must be known.
    const std::vector<int64_t>* ids_dims = state.tensor_shapes.find(ids[0]);
    const int64_t mask_axis = ids_dims ? static_cast<int64_t>(ids_dims->size()) : -1;
    if (mask_axis < 0) require_opset("embedding with padding_idx on ids of unknown rank", 11);

    const std::string rows = names("rows");
    append_node("Gather", {std::move(weight), index}, {rows}, {helper::attr_int("axis", 0)});

    // The padding id is compared in the ids' own integer type.
    if (ids_type != proto::dtype::INT32 && ids_type != proto::dtype::INT64) {
        std::string cast = names("ids_i64");
        add_cast_node(std::move(index), cast, proto::dtype::INT64);
        index = std::move(cast);
        ids_type = proto::dtype::INT64;
    }
    const std::string pad = names("padding_idx");
    if (*ids_type == proto::dtype::INT64)
        push_i64_initializer(pad, {}, {padding_idx});
    else
        push_numeric_initializer(pad, {}, proto::dtype::INT32, {static_cast<double>(padding_idx)});
    const std::string is_pad = names("is_padding");
    add_binary_node("Equal", std::move(index), pad, is_pad);
    const std::string mask = names("pad_mask");
    add_unsqueeze_node(is_pad, mask, {mask_axis}, names("pad_mask_axes"));

    const int32_t value_type =
        onnx_dtype_if_known(ids[1]).value_or(onnx_dtype_if_known(out).value_or(proto::dtype::FLOAT));
    const std::string zero = names("zero");
    push_numeric_initializer(zero, {}, value_type, {0.0});
    append_node("Where", {mask, zero, rows}, {std::move(output)});
}

void Converter::op_index_select(const Json& op) {
    const auto [out, ids] = read_operands(op);
    const int64_t axis = checked_axis_of("index_select", "axis", helper::op_attr_i64(op, "axis").value_or(0), ids[0]);
    std::string x = get_tensor_name(ids[0]);
    std::string index = get_tensor_name(ids[1]);
    std::string output = get_tensor_name(out);
    index = flat_index(*this, ids[1], std::move(index), out, "index_select");
    settle_output("index_select", out, std::nullopt, gathered_dims(state, ids[0], ids[1], axis, true), {ids[0], ids[1]});
    append_node("Gather", {std::move(x), std::move(index)}, {std::move(output)},
                {helper::attr_int("axis", axis)});
}

void Converter::op_gather(const Json& op) {
    const auto [out, ids] = read_operands(op);
    int64_t axis = 0;
    if (ids.size() >= 3 && ids[2] != 0) axis = helper::saturate_i64(state.const_values.find(ids[2])->front());
    axis = checked_axis_of("gather", "axis", axis, ids[0]);
    std::string x = get_tensor_name(ids[0]);
    std::string index = get_tensor_name(ids[1]);
    std::string output = get_tensor_name(out);
    index = flat_index(*this, ids[1], std::move(index), out, "gather");
    settle_output("gather", out, std::nullopt, gathered_dims(state, ids[0], ids[1], axis, true), {ids[0], ids[1]});
    append_node("Gather", {std::move(x), std::move(index)}, {std::move(output)},
                {helper::attr_int("axis", axis)});
}

void Converter::op_gather_nd(const Json& op) {
    require_opset("gather_nd", 11);  // GatherND
    const auto [out, ids] = read_operands(op);
    // Each index row of n coordinates picks x[i0, ..., in-1]: the index's leading dims, then
    // x's dims past the n it names.
    const std::vector<int64_t>* x_dims = state.tensor_shapes.find(ids[0]);
    const std::vector<int64_t>* i_dims = state.tensor_shapes.find(ids[1]);
    if (x_dims && i_dims && !i_dims->empty() && i_dims->back() >= 0) {
        const auto n = static_cast<size_t>(i_dims->back());
        if (n > x_dims->size())
            throw Error("gather_nd: index rows of {} coordinates exceed the rank {} of x", n, x_dims->size());
        std::vector<int64_t> dims(i_dims->begin(), i_dims->end() - 1);
        dims.insert(dims.end(), x_dims->begin() + static_cast<std::ptrdiff_t>(n), x_dims->end());
        settle_output("gather_nd", out, std::nullopt, dims, {ids[0], ids[1]});
    }
    std::string x = get_tensor_name(ids[0]);
    // GatherND reads int64 coordinates only; Paddle also takes int32 ones.
    std::string index = ensure_i64_input(ids[1], out, "gather_nd_index");
    append_node("GatherND", {std::move(x), std::move(index)}, {get_tensor_name(out)});
}

void Converter::op_take_along_axis(const Json& op) {
    require_opset("take_along_axis", 11);  // GatherElements
    const auto [out, ids] = read_operands(op);
    const std::vector<int64_t>* x_dims = state.tensor_shapes.find(ids[0]);
    const std::vector<int64_t>* i_dims = state.tensor_shapes.find(ids[1]);
    if (x_dims && i_dims && x_dims->size() != i_dims->size())
        throw Error("take_along_axis: indices have rank {}, but they must have the rank {} of x", i_dims->size(),
                    x_dims->size());
    const int64_t axis = checked_axis_of("take_along_axis", "axis", helper::op_attr_i64(op, "axis").value_or(0), ids[0]);
    std::string x = get_tensor_name(ids[0]);
    std::string index = get_tensor_name(ids[1]);
    append_node("GatherElements", {std::move(x), std::move(index)}, {get_tensor_name(out)},
                {helper::attr_int("axis", axis)});
}

void Converter::op_not_equal(const Json& op) {
    const auto [out, ids] = read_operands(op);
    const NameMaker names{"not_equal", out};
    require_same_type("not_equal", "x", ids[0], "y", ids[1]);
    require_broadcastable("not_equal", ids[0], ids[1]);
    settle_output_like("not_equal", out, {ids[0], ids[1]}, proto::dtype::BOOL);
    // Equal compares only bool, int32 and int64 tensors before opset 11.
    if (opset < 11) {
        for (size_t k = 0; k < 2; ++k) {
            const std::optional<int32_t> t = onnx_dtype_if_known(ids[k]);
            if (t && *t != proto::dtype::BOOL && *t != proto::dtype::INT32 && *t != proto::dtype::INT64)
                require_opset(fmt::format("not_equal of {} tensors", helper::onnx_dtype_name(*t)), 11);
        }
    }
    const std::string eq = names("eq");
    std::string a = get_tensor_name(ids[0]);
    std::string b = get_tensor_name(ids[1]);
    add_binary_node("Equal", std::move(a), std::move(b), eq);
    append_node("Not", {eq}, {get_tensor_name(out)});
}

void Converter::op_eye(const Json& op) {
    const auto [out, ids] = read_operands(op);
    const NameMaker names{"eye", out};
    // Each count is one number of any rank (its signature holds it to one element); Range
    // takes it as a scalar.
    const std::string rows = ensure_scalar_i64_input(ids[0], out, "eye_rows");
    // A column count of -1 asks for a square matrix; a count known only at run time is
    // tested there.
    const std::vector<double>* folded_cols = state.const_values.find(ids[1]);
    const bool square = folded_cols && !folded_cols->empty() && (*folded_cols)[0] == -1.0;
    std::string cols = ensure_scalar_i64_input(square ? ids[0] : ids[1], out, "eye_cols");

    const std::string zero = names("zero");
    const std::string one = names("one");
    push_i64_initializer(zero, {}, {0});
    push_i64_initializer(one, {}, {1});
    if (!folded_cols) {
        const std::string minus_one = names("minus_one");
        push_i64_initializer(minus_one, {}, {-1});
        add_binary_node("Equal", cols, minus_one, names("cols_is_minus_one"));
        append_node("Where", {names("cols_is_minus_one"), rows, cols}, {names("cols_or_rows")});
        cols = names("cols_or_rows");
    }
    const std::string row_range = names("rows_range");
    const std::string col_range = names("cols_range");
    append_node("Range", {zero, rows, one}, {row_range});
    append_node("Range", {zero, cols, one}, {col_range});
    const std::string column = names("rows_unsqueezed");
    const std::string row = names("cols_unsqueezed");
    add_unsqueeze_node(row_range, column, {1}, names("rows_axes"));
    add_unsqueeze_node(col_range, row, {0}, names("cols_axes"));
    const std::string equal = names("equal");
    add_binary_node("Equal", column, row, equal);

    std::optional<int32_t> dtype;
    if (auto word = helper::op_attr_str(op, "dtype")) dtype = helper::paddle_dtype_token_to_onnx(*word);
    add_cast_node(equal, get_tensor_name(out), dtype.value_or(proto::dtype::FLOAT));
}

}  // namespace kestro
