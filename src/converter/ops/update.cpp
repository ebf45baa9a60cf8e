// Scatter-based writes: index_put (ScatterND or Where), put_along_axis (ScatterElements)
// and repeat_interleave (Unsqueeze, Tile and Reshape, or a Gather). The set_value lowerings
// live in set_value.cpp.
#include <algorithm>

#include "converter/converter.h"

namespace kestro {

namespace {

// Recorded dims of a value; a value without a record counts as rank 0.
std::vector<int64_t> dims_or_scalar(const Converter& c, int64_t id) {
    const std::vector<int64_t>* dims = c.state.tensor_shapes.find(id);
    return dims ? *dims : std::vector<int64_t>{};
}

bool is_bool_token(const Converter& c, int64_t id) {
    return c.dtype_token_is(id, proto::dtype::BOOL);
}

// True when the recorded dims show exactly one element that broadcasts onto a tensor of
// rank `rank` without changing its shape.
bool single_broadcast_element(const std::vector<int64_t>& dims, size_t rank) {
    if (dims.size() > rank) return false;
    for (int64_t d : dims)
        if (d != 1) return false;
    return true;
}

// Writes `values`, broadcast to [K, x.shape[m:]], at the K coordinate rows of `positions`
// ([K, m], int64) with one ScatterND. This is how Paddle assigns through an index tensor or
// a mask: the k-th selected position receives the k-th value (or the one value, broadcast).
void scatter_positions(Converter& c, int64_t out, int64_t x_id, const std::string& positions,
                       int64_t values_id, size_t m, size_t x_rank) {
    const NameMaker names{"index_put", out};
    const std::string positions_shape = names("positions_shape");
    c.append_node("Shape", {positions}, {positions_shape});
    const std::string count = names("count");
    c.add_slice_node(positions_shape, count, {0}, {1}, std::vector<int64_t>{0}, std::nullopt, count);
    std::string target = count;
    if (m < x_rank) {
        const std::string x_shape = names("x_shape");
        c.append_node("Shape", {c.get_tensor_name(x_id)}, {x_shape});
        const std::string tail = names("tail");
        c.add_slice_node(x_shape, tail, {static_cast<int64_t>(m)}, {static_cast<int64_t>(x_rank)},
                         std::vector<int64_t>{0}, std::nullopt, tail);
        target = names("shape");
        c.append_node("Concat", {count, tail}, {target}, {helper::attr_int("axis", 0)});
    }
    const std::string value = names("value");
    c.append_node("Expand", {c.get_tensor_name(values_id), target}, {value});
    c.append_node("ScatterND", {c.get_tensor_name(x_id), positions, value}, {c.get_tensor_name(out)});
}

// The shape two recorded shapes broadcast to, empty when they cannot; an unknown dim (-1)
// takes the other side's size, since either may be the 1.
std::optional<std::vector<int64_t>> broadcast_dims(const std::vector<int64_t>& a,
                                                   const std::vector<int64_t>& b) {
    std::vector<int64_t> out(std::max(a.size(), b.size()), 1);
    for (size_t k = 0; k < out.size(); ++k) {
        const int64_t da = k < out.size() - a.size() ? 1 : a[k - (out.size() - a.size())];
        const int64_t db = k < out.size() - b.size() ? 1 : b[k - (out.size() - b.size())];
        if (da == 1) out[k] = db;
        else if (db == 1 || db < 0) out[k] = da;
        else if (da < 0 || da == db) out[k] = db;
        else return std::nullopt;
    }
    return out;
}

// x[rows, cols] = values: each (row, col) pair names one element. The two index tensors
// broadcast against each other (x[r[:, None], c[None, :]]) and the values against their
// common shape, as Paddle's indexing does; ScatterND wants that shape spelt out, and int64
// coordinates where Paddle also allows int32 ones.
void scatter_coordinates(Converter& c, int64_t out, int64_t x_id, int64_t rows_id, int64_t cols_id,
                         int64_t values_id) {
    const NameMaker names{"index_put", out};
    // Shapes that cannot meet are refused now, as Paddle refuses them, rather than at run time.
    const std::vector<int64_t> rows_dims = dims_or_scalar(c, rows_id);
    const std::vector<int64_t> cols_dims = dims_or_scalar(c, cols_id);
    const auto common_dims = broadcast_dims(rows_dims, cols_dims);
    if (!common_dims)
        throw Error("index_put index tensors of shapes {} and {} do not broadcast",
                    helper::fmt_dims(rows_dims), helper::fmt_dims(cols_dims));
    const std::vector<int64_t> values_dims = dims_or_scalar(c, values_id);
    const auto written = broadcast_dims(values_dims, *common_dims);
    const auto grows = [&](size_t k) { return (*common_dims)[k] >= 0 && (*written)[k] != (*common_dims)[k]; };
    bool fits = written && written->size() == common_dims->size();
    for (size_t k = 0; fits && k < common_dims->size(); ++k) fits = !grows(k);
    if (!fits)
        throw Error("index_put values of shape {} do not broadcast to the index shape {}",
                    helper::fmt_dims(values_dims), helper::fmt_dims(*common_dims));
    const std::string rows = c.ensure_i64_input(rows_id, out, "index_put_row");
    const std::string cols = c.ensure_i64_input(cols_id, out, "index_put_col");
    const std::string rows_shape = names("row_shape");
    c.append_node("Shape", {rows}, {rows_shape});
    const std::string cols_shape = names("col_shape");
    c.append_node("Shape", {cols}, {cols_shape});
    // Expand broadcasts both ways, so each index grows to the shape both share.
    const std::string rows_full = names("row_broadcast");
    c.append_node("Expand", {rows, cols_shape}, {rows_full});
    const std::string cols_full = names("col_broadcast");
    c.append_node("Expand", {cols, rows_shape}, {cols_full});

    const std::string row_col = names("row_unsqueezed");
    const std::string axis_name = names("stack_axis");
    c.add_unsqueeze_node(rows_full, row_col, {-1}, axis_name);
    const std::string col_col = names("col_unsqueezed");
    c.add_unsqueeze_node(cols_full, col_col, {-1}, axis_name);
    const std::string coords = names("indices");
    c.append_node("Concat", {row_col, col_col}, {coords}, {helper::attr_int("axis", -1)});

    const std::string common = names("index_shape");
    c.append_node("Shape", {rows_full}, {common});
    const std::string value = names("value");
    c.append_node("Expand", {c.get_tensor_name(values_id), common}, {value});
    c.append_node("ScatterND", {c.get_tensor_name(x_id), coords, value}, {c.get_tensor_name(out)});
}

// x[mask] = value with one value: Where(mask, value expanded to x's shape, x).
void select_masked(Converter& c, int64_t out, int64_t x_id, int64_t mask_id, int64_t values_id) {
    const NameMaker names{"index_put", out};
    const std::string x_shape = names("shape");
    c.append_node("Shape", {c.get_tensor_name(x_id)}, {x_shape});
    const std::string value = names("value");
    c.append_node("Expand", {c.get_tensor_name(values_id), x_shape}, {value});
    const std::optional<int32_t> x_type = c.onnx_dtype_if_known(x_id);
    const std::optional<int32_t> wide = x_type ? helper::where_compute_type(*x_type) : std::nullopt;
    if (!wide) {
        c.append_node("Where", {c.get_tensor_name(mask_id), value, c.get_tensor_name(x_id)},
                      {c.get_tensor_name(out)});
        return;
    }
    // ONNX Runtime has no select for this element type: select in a wider one.
    const std::string wide_value = names("value_wide");
    c.add_cast_node(value, wide_value, *wide);
    const std::string wide_x = names("x_wide");
    c.add_cast_node(c.get_tensor_name(x_id), wide_x, *wide);
    const std::string selected = names("selected");
    c.append_node("Where", {c.get_tensor_name(mask_id), wide_value, wide_x}, {selected});
    c.add_cast_node(selected, c.get_tensor_name(out), *x_type);
}

// The coordinates of the true elements of a boolean mask, one row per element in row-major
// order ([K, rank of the mask]).
std::string mask_positions(Converter& c, int64_t out, int64_t mask_id) {
    const NameMaker names{"index_put", out};
    const std::string nonzero = names("nonzero");
    c.append_node("NonZero", {c.get_tensor_name(mask_id)}, {nonzero});
    const std::string positions = names("positions");
    c.append_node("Transpose", {nonzero}, {positions}, {helper::attr_ints("perm", {1, 0})});
    return positions;
}

// Repeats every slice of `x` along `axis` with one Gather: position k of the result, k below
// `total`, reads slice k / count, count being `repeats_dim` ([1], int64; `constant` when the
// attribute gave it). The positions come from the true elements of a filled vector, which
// works at every opset this converter writes.
void gather_repeated_slices(Converter& c, int64_t out, const std::string& x, int64_t axis,
                            const std::string& repeats_dim, std::optional<int64_t> constant,
                            const std::string& total) {
    const NameMaker names{"repeat_interleave", out};
    // ONNX Runtime refuses an integer division by 0 even when there is nothing to divide;
    // with no repeats any other divisor gives the same empty result.
    std::string divisor = repeats_dim;
    if (constant && *constant < 1) {
        divisor = names("divisor");
        c.push_i64_initializer(divisor, {1}, {1});
    } else if (!constant) {
        const std::string zero = names("zero");
        c.push_i64_initializer(zero, {}, {0});
        const std::string none = names("no_repeats");
        c.add_binary_node("Equal", repeats_dim, zero, none);
        const std::string bump = names("no_repeats_i64");
        c.add_cast_node(none, bump, proto::dtype::INT64);
        divisor = names("divisor");
        c.add_binary_node("Add", repeats_dim, bump, divisor);
    }

    const std::string one = names("one");
    c.push_i64_initializer(one, {}, {1});
    const std::string filled = names("filled");
    c.append_node("Expand", {one, total}, {filled});
    const std::string positions = names("positions");
    c.append_node("NonZero", {filled}, {positions});
    const std::string sources = names("sources");
    c.add_binary_node("Div", positions, divisor, sources);
    const std::string index = names("index");
    c.add_squeeze_node(sources, index, std::vector<int64_t>{0},
                       names("index_axes"));
    c.append_node("Gather", {x, index}, {c.get_tensor_name(out)}, {helper::attr_int("axis", axis)});
}

// Repeats every slice of `x` (rank `rank`) along `a` by tiling a new axis right after it and
// merging the two into one of `repeated` elements; `shape` is Shape(x).
void tile_repeated_slices(Converter& c, int64_t out, const std::string& x, int64_t a, int64_t rank,
                          const std::string& repeats_dim, const std::string& shape,
                          const std::string& repeated) {
    const NameMaker names{"repeat_interleave", out};
    const std::string expanded = names("expanded");
    c.add_unsqueeze_node(x, expanded, {a + 1}, names("axes"));
    std::vector<std::string> pieces;
    for (int64_t i = 0; i <= rank; ++i) {
        if (i == a + 1) {
            pieces.push_back(repeats_dim);
            continue;
        }
        std::string one = names("tile_repeat", i);
        c.push_i64_initializer(one, {1}, {1});
        pieces.push_back(std::move(one));
    }
    std::string tile_repeats = pieces.front();
    if (pieces.size() != 1) {
        tile_repeats = names("tile_repeats");
        c.append_node("Concat", std::move(pieces), {tile_repeats}, {helper::attr_int("axis", 0)});
    }
    const std::string tiled = names("tiled");
    c.append_node("Tile", {expanded, tile_repeats}, {tiled});

    std::vector<std::string> parts;
    if (a > 0) {
        std::string prefix = names("prefix");
        c.add_slice_node(shape, prefix, {0}, {a}, std::vector<int64_t>{0}, std::nullopt, prefix);
        parts.push_back(std::move(prefix));
    }
    parts.push_back(repeated);
    if (a + 1 < rank) {
        std::string suffix = names("suffix");
        c.add_slice_node(shape, suffix, {a + 1}, {rank}, std::vector<int64_t>{0}, std::nullopt, suffix);
        parts.push_back(std::move(suffix));
    }
    std::string target = parts.front();
    if (parts.size() != 1) {
        target = names("shape");
        c.append_node("Concat", std::move(parts), {target}, {helper::attr_int("axis", 0)});
    }
    // allowzero: a 0 in the target is a dim of size 0, not a copy of the input's dim.
    c.append_node("Reshape", {tiled, target}, {c.get_tensor_name(out)}, {helper::attr_int("allowzero", 1)});
}

}  // namespace

void Converter::op_index_put(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"index_put", out};
    const auto ids = helper::op_input_ids(op);
    const IdList* listed = state.combine_inputs.find(ids[1]);
    if (!listed) throw Error("index_put expects combined mask input");
    // Every form below overwrites; dropping an accumulation would silently change the result.
    if (helper::op_attr_bool(op, "accumulate").value_or(false))
        throw Error("index_put only supports accumulate=false");
    const IdList indices = *listed;
    const int64_t x_id = ids[0];
    const int64_t values_id = ids[2];
    require_same_type("index_put", "x", x_id, "value", values_id);
    const auto x_dims = dims_or_scalar(*this, x_id);
    const auto values_dims = dims_or_scalar(*this, values_id);

    if (indices.size() == 2 && x_dims.size() == 2 && !is_bool_token(*this, indices[0]) &&
        !is_bool_token(*this, indices[1])) {
        scatter_coordinates(*this, out, x_id, indices[0], indices[1], values_id);
        return;
    }
    if (indices.size() != 1) throw Error("unsupported index_put pattern for output {}", out);

    const int64_t index_id = indices[0];
    const auto index_dims = dims_or_scalar(*this, index_id);
    const bool is_mask = is_bool_token(*this, index_id);
    if (is_mask && index_dims == x_dims) {
        if (single_broadcast_element(values_dims, x_dims.size())) {
            // One value for every selected element: a select keeps the graph simple.
            select_masked(*this, out, x_id, index_id, values_id);
            return;
        }
        // Several values go to the selected elements in row-major order, which a select
        // cannot express.
        scatter_positions(*this, out, x_id, mask_positions(*this, out, index_id), values_id,
                          x_dims.size(), x_dims.size());
        return;
    }
    if (index_dims.size() == 1 && x_dims.size() == 2 && values_dims.size() <= 1) {
        // x[index] = values on a matrix writes whole rows.
        std::string positions;
        if (is_mask) {
            positions = mask_positions(*this, out, index_id);
        } else {
            const std::string rows = ensure_i64_input(index_id, out, "index_put_index");
            positions = names("indices_unsqueezed");
            add_unsqueeze_node(rows, positions, {-1}, names("axis"));
        }
        scatter_positions(*this, out, x_id, positions, values_id, 1, 2);
        return;
    }
    throw Error("unsupported index_put pattern for output {}", out);
}

void Converter::op_put_along_axis(const Json& op) {
    // ScatterElements, the only form emitted, first exists at opset 11.
    require_opset("put_along_axis", 11);
    const int64_t out = helper::op_out_id(op);
    const auto ids = helper::op_input_ids(op);
    if (auto reduce = helper::op_attr_str(op, "reduce"); reduce && *reduce != "assign")
        throw Error("put_along_axis only supports reduce=assign");
    if (helper::op_attr_bool(op, "include_self") == false)
        throw Error("put_along_axis only supports include_self=true");
    require_same_type("put_along_axis", "x", ids[0], "values", ids[2]);
    const int64_t axis = normalize_axis(
        checked_axis_of("put_along_axis", "axis", helper::op_attr_i64(op, "axis").value_or(0), ids[0]), ids[0]);
    // The indices and values address x element by element, so they share x's rank (Paddle's
    // kernel walks the indices over x's axes, and ScatterElements loads with no other).
    if (const std::vector<int64_t>* xd = state.tensor_shapes.find(ids[0])) {
        for (const auto& [what, id] : {std::pair<std::string_view, int64_t>{"indices", ids[1]}, {"values", ids[2]}}) {
            const std::vector<int64_t>* d = state.tensor_shapes.find(id);
            if (d && d->size() != xd->size())
                throw Error("put_along_axis: {} has dims {}, but x has rank {} ({})", what, helper::fmt_dims(*d),
                            xd->size(), helper::fmt_dims(*xd));
        }
    }
    // The result is x with some elements replaced: x's dims, whatever the program declares.
    settle_output_like("put_along_axis", out, {ids[0]});
    std::string x = get_tensor_name(ids[0]);
    std::string indices = ensure_i64_input(ids[1], out, "put_along_axis_indices");
    std::string values = get_tensor_name(ids[2]);
    append_node("ScatterElements", {std::move(x), std::move(indices), std::move(values)},
                {get_tensor_name(out)}, {helper::attr_int("axis", axis)});
}

void Converter::op_repeat_interleave(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"repeat_interleave", out};
    const auto ids = helper::op_input_ids(op);
    const int64_t x_id = ids[0];
    const std::vector<int64_t>* x_dims = state.tensor_shapes.find(x_id);
    if (!x_dims) throw Error("missing rank metadata for tensor {}", x_id);
    const auto rank = static_cast<int64_t>(x_dims->size());
    // The new axis goes right after `a`; an axis outside the tensor has no such place.
    const int64_t a =
        checked_axis("repeat_interleave", "axis", helper::op_attr_i64(op, "axis").value_or(0), rank);
    const std::string x = get_tensor_name(x_id);

    const std::string repeats_dim = names("repeats_dim");
    const std::optional<int64_t> repeats = helper::op_attr_i64(op, "repeats");
    if (repeats) {
        if (*repeats < 0) throw Error("repeat_interleave: repeats {} is negative", *repeats);
        push_i64_initializer(repeats_dim, {1}, {*repeats});
    } else {
        if (ids.size() < 2) throw Error("repeat_interleave: missing repeats");
        // A tensor of counts repeats each slice by its own count; only one count for the
        // whole tensor fits the forms below, so anything longer is refused, not misread.
        const std::vector<int64_t>* r_dims = state.tensor_shapes.find(ids[1]);
        if (!r_dims || r_dims->size() > 1 || (r_dims->size() == 1 && (*r_dims)[0] != 1))
            throw Error("repeat_interleave supports one repeat count only, got repeats of shape {}",
                        r_dims ? helper::fmt_dims(*r_dims) : std::string("unknown"));
        const std::string scalar = ensure_scalar_i64_input(ids[1], out, "repeat_interleave_repeats");
        add_unsqueeze_node(scalar, repeats_dim, {0}, names("repeats_axes"));
    }

    // x's dims with the axis's length times the count (open when either is not known).
    std::vector<int64_t> result = *x_dims;
    std::optional<int64_t> count = repeats;
    if (const std::vector<double>* folded = ids.size() > 1 ? state.const_values.find(ids[1]) : nullptr;
        !count && folded && folded->size() == 1)
        count = helper::saturate_i64((*folded)[0]);
    int64_t& length = result[static_cast<size_t>(a)];
    const std::optional<int64_t> grown = count && *count >= 0 && length >= 0 ? helper::checked_mul(length, *count) : std::nullopt;
    length = grown.value_or(-1);
    settle_output("repeat_interleave", out, std::nullopt, result, {x_id});

    const std::string shape = names("input_shape");
    append_node("Shape", {x}, {shape});
    const std::string axis_dim = names("axis_dim");
    add_slice_node(shape, axis_dim, {a}, {a + 1}, std::vector<int64_t>{0}, std::nullopt, axis_dim);
    const std::string repeated = names("repeated_dim");
    add_binary_node("Mul", axis_dim, repeats_dim, repeated);

    // Below opset 14 a 0 in a Reshape target copies the input's dim, so an empty result (a
    // count of 0, or an empty dim anywhere) cannot be reshaped into; there the slices are
    // picked with a Gather, whose result needs no target shape.
    if (opset < 14) {
        gather_repeated_slices(*this, out, x, a, repeats_dim, repeats, repeated);
        return;
    }

    tile_repeated_slices(*this, out, x, a, rank, repeats_dim, shape, repeated);
}

}  // namespace kestro
