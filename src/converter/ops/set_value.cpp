// Strided slice assignment, x[..., start:end:step, ...] = v: with constants
// ("1.set_value_", ScatterElements over axis 1 or ScatterND over a static block) and with
// a tensor of values ("1.set_value_with_tensor_", ScatterElements over axis 1). The values
// broadcast over the written block the way numpy assignment broadcasts them.
#include <algorithm>
#include <limits>
#include <numeric>

#include "converter/converter.h"

namespace kestro {

namespace {

using Wide = __int128;

// Number of positions of start, start + step, ... before end, for bounds already clamped
// into the axis. Wide arithmetic: the bounds and the step are any 64-bit values.
int64_t position_count(Wide start, Wide end, Wide step) {
    if (step > 0) return start < end ? static_cast<int64_t>((end - start - 1) / step + 1) : 0;
    return start > end ? static_cast<int64_t>((start - end - 1) / -step + 1) : 0;
}

// The first element of a folded constant, truncated; nothing when the constant is empty.
std::optional<int64_t> first_folded(const std::vector<double>* values) {
    if (!values || values->empty()) return std::nullopt;
    return helper::saturate_i64(values->front());
}

// The positions of one axis: start, start + step, ... (count of them).
struct AxisPositions {
    int64_t start = 0;
    int64_t step = 1;
    int64_t count = 0;
    int64_t at(int64_t k) const { return static_cast<int64_t>(start + Wide(k) * step); }
};

// The positions Paddle's slicing selects on an axis of known size: negative bounds count
// from the end and everything is clamped into the axis. With a negative step an end of -1
// means "through index 0" (x[:, 1::-1] exports end -1), so only ends below -1 get the size
// added there.
AxisPositions paddle_positions(int64_t start, int64_t end, int64_t step, int64_t dim) {
    Wide s = start, e = end;
    const Wide d = dim;
    if (s < 0) s += d;
    if (e < 0 && !(step < 0 && e == -1)) e += d;
    const Wide lo = step > 0 ? 0 : -1;
    const Wide hi = step > 0 ? d : d - 1;
    s = std::clamp(s, lo, hi);
    e = std::clamp(e, lo, hi);
    return {static_cast<int64_t>(s), step, position_count(s, e, step)};
}

// The values of "values": numbers, booleans, or text such as "-inf" (non-finite values
// travel as text, under "D" or "VD"). Several values are an array laid out in the dims of
// "shape" (x[:, 0:2] = np.array([1., 2.]) exports values [1, 2] and shape [2]); absent or
// empty gives the single value 0.
Converter::SetValueFill read_fill(const Json& op) {
    Converter::SetValueFill fill;
    const Json* values = helper::attr(op, "values");
    if (values && helper::number_list(*values)) {
        fill.values = helper::numbers_as_f64(*values);  // numbers only: none is skipped
    } else if (values && values->IsArray()) {
        fill.values.reserve(values->Size());
        for (const Json& v : values->GetArray()) {
            std::optional<double> x;
            if (const Json* data = helper::member(v, "D"))
                if (auto b = helper::as_bool(*data)) x = *b ? 1.0 : 0.0;
            if (!x) x = helper::value_as_f64(v);
            if (!x) throw Error("set_value_: unsupported fill value {}", helper::json_debug(v));
            fill.values.push_back(*x);
        }
    }
    if (fill.values.empty()) fill.values.push_back(0.0);
    if (fill.values.size() == 1) {
        fill.shape = {1};
        return fill;
    }
    fill.shape = helper::op_attr_i64_items(op, "shape");
    if (fill.shape.empty()) fill.shape = {static_cast<int64_t>(fill.values.size())};
    std::optional<int64_t> count = 1;
    for (int64_t d : fill.shape) count = count && d >= 0 ? helper::checked_mul(*count, d) : std::nullopt;
    if (!count || *count != static_cast<int64_t>(fill.values.size()))
        throw Error("set_value_: {} values do not fill shape {}", fill.values.size(), helper::fmt_dims(fill.shape));
    return fill;
}

// For each axis of the shape the values broadcast to, the axis of the written block it
// stands for, or `rank` for a size-1 axis. Paddle drops the decreased axes (x[:, 2] = v)
// and puts a size-1 axis before block axis k for each k in none_axes (x[:, None, 1:3] = v).
std::vector<int64_t> assign_axes(const Json& op, int64_t rank) {
    const auto decrease = helper::op_attr_i64_items(op, "decrease_axes");
    auto none = helper::op_attr_i64_items(op, "none_axes");
    std::sort(none.begin(), none.end());
    std::vector<int64_t> axes;
    size_t next_none = 0;
    for (int64_t axis = 0; axis < rank; ++axis) {
        for (; next_none < none.size() && none[next_none] <= axis; ++next_none) axes.push_back(rank);
        if (std::find(decrease.begin(), decrease.end(), axis) == decrease.end()) axes.push_back(axis);
    }
    for (; next_none < none.size(); ++next_none) axes.push_back(rank);
    return axes;
}

std::vector<int64_t> identity_axes(int64_t rank) {
    std::vector<int64_t> axes(static_cast<size_t>(rank));
    std::iota(axes.begin(), axes.end(), 0);
    return axes;
}

bool is_identity(const std::vector<int64_t>& axes, int64_t rank) {
    if (static_cast<int64_t>(axes.size()) != rank) return false;
    for (int64_t k = 0; k < rank; ++k)
        if (axes[static_cast<size_t>(k)] != k) return false;
    return true;
}

// The dims the values broadcast to: the block's dims (-1 where unknown) through `assign`.
std::vector<int64_t> assign_dims(const std::vector<int64_t>& block, const std::vector<int64_t>& assign) {
    std::vector<int64_t> dims;
    dims.reserve(assign.size());
    for (int64_t a : assign) dims.push_back(a == static_cast<int64_t>(block.size()) ? 1 : block[static_cast<size_t>(a)]);
    return dims;
}

// Refuses values that cannot broadcast over the block: a decreased axis selecting more
// than one position, or dims that disagree (unknown dims are left to the run time).
void check_broadcast(std::string_view what, const std::vector<int64_t>& shape, const std::vector<int64_t>& block,
                     const std::vector<int64_t>& assign) {
    for (size_t axis = 0; axis < block.size(); ++axis)
        if (block[axis] > 1 && std::find(assign.begin(), assign.end(), static_cast<int64_t>(axis)) == assign.end())
            throw Error("{} decrease_axes require a single indexed position, the written block is {}", what,
                        helper::fmt_dims(block));
    const auto target = assign_dims(block, assign);
    bool fits = shape.size() <= target.size();
    for (size_t k = 1; fits && k <= shape.size(); ++k) {
        const int64_t from = shape[shape.size() - k], to = target[target.size() - k];
        fits = from == 1 || from < 0 || to < 0 || from == to;
    }
    if (!fits)
        throw Error("{}: values of shape {} do not broadcast to the written block {}", what, helper::fmt_dims(shape),
                    helper::fmt_dims(target));
}

// `values` laid out in `shape`, broadcast to the static `target` (count elements) in
// row-major order.
std::vector<double> broadcast_values(const std::vector<double>& values, const std::vector<int64_t>& shape,
                                     const std::vector<int64_t>& target, int64_t count) {
    const size_t rank = target.size(), lead = rank - shape.size();
    std::vector<int64_t> stride(rank, 0);  // 0 along broadcast axes
    int64_t size = 1;
    for (size_t k = shape.size(); k-- > 0;) {
        if (shape[k] != 1) stride[lead + k] = size;
        size *= shape[k];
    }
    std::vector<double> out;
    out.reserve(static_cast<size_t>(count));
    std::vector<int64_t> at(rank, 0);
    int64_t source = 0;
    for (int64_t e = 0; e < count; ++e) {
        out.push_back(values[static_cast<size_t>(source)]);
        for (size_t k = rank; k-- > 0;) {
            if (at[k] + 1 < target[k]) {
                ++at[k];
                source += stride[k];
                break;
            }
            source -= stride[k] * at[k];
            at[k] = 0;
        }
    }
    return out;
}

}  // namespace

void Converter::op_set_value(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const auto ids = helper::op_input_ids(op);
    const auto axes = helper::op_attr_i64_items(op, "axes");
    const SetValueFill fill = read_fill(op);
    if (axes == std::vector<int64_t>{1}) return set_value_rows(op, ids, out, fill);
    if (axes == std::vector<int64_t>{1, 2}) return set_value_block(op, ids, out, axes, fill);
    throw Error("set_value_ currently only supports axes=[1] or axes=[1,2] constant block writes");
}

namespace {

// The positions one set_value_ writes along axis 1, as an index tensor shaped [1, n, 1, ...]
// for ScatterElements, and the number of them as a [1] tensor.
struct RowIndices {
    std::string indices;
    std::string slice_len;
};

RowIndices set_value_row_indices(Converter& c, const std::string& shape, int64_t start,
                                 int64_t step, int64_t n, int64_t dim1, int64_t rank,
                                 int64_t out) {
    const NameMaker names{"set_value", out};
    c.reserve_materialized(uint64_t(n) * 16, "set_value_");
    std::vector<int64_t> positions;
    positions.reserve(static_cast<size_t>(n));
    for (int64_t k = 0; k < n; ++k) positions.push_back(start + k * step);
    std::vector<int64_t> index_dims(static_cast<size_t>(rank), 1);
    const std::string indices = names("indices");
    std::string slice_len = names("slice_len");
    if (dim1 >= 0) {
        c.push_i64_initializer(slice_len, {1}, {n});
        index_dims[1] = n;
        c.push_i64_initializer(indices, std::move(index_dims), positions);
    } else {
        // Only the positions below the run-time size of axis 1 are written.
        const std::string all = names("positions");
        c.push_i64_initializer(all, {n}, positions);
        const std::string axis_one = names("axis_one");
        c.push_i64_initializer(axis_one, {1}, {1});
        const std::string dim = names("dim1");
        c.append_node("Gather", {shape, axis_one}, {dim});
        const std::string inside = names("inside");
        c.append_node("Less", {all, dim}, {inside});
        const std::string kept = names("kept_positions");
        c.append_node("Compress", {all, inside}, {kept}, {helper::attr_int("axis", 0)});
        c.append_node("Shape", {kept}, {slice_len});
        index_dims[1] = -1;
        const std::string index_shape = names("index_shape");
        c.push_i64_initializer(index_shape, {rank}, index_dims);
        c.append_node("Reshape", {kept, index_shape}, {indices});
    }
    return {indices, slice_len};
}

}  // namespace

// One range of axis 1, written in every row: ScatterElements with the positions and the
// values broadcast to [rows, n, trailing dims...] at run time.
void Converter::set_value_rows(const Json& op, const std::vector<int64_t>& ids, int64_t out,
                               const SetValueFill& fill) {
    const NameMaker names{"set_value", out};
    const std::vector<double>* starts = state.const_values.find(ids[1]);
    const std::vector<double>* ends = state.const_values.find(ids[2]);
    const std::vector<double>* steps = state.const_values.find(ids[3]);
    // Bounds known only at run time cannot be turned into index constants; writing at
    // default positions instead would change the result.
    if (!starts) throw Error("set_value_: missing constant starts");
    if (!ends) throw Error("set_value_: missing constant ends");
    if (!steps) throw Error("set_value_: missing constant steps");
    const int64_t start = first_folded(starts).value_or(0);
    int64_t end = first_folded(ends).value_or(start == INT64_MAX ? start : start + 1);
    const auto folded_step = first_folded(steps);
    const int64_t step = folded_step.value_or(1);
    if (folded_step && step == 0) throw Error("set_value_ step cannot be zero");
    if (folded_step && step < 0) throw Error("set_value_ axes=[1] currently only supports positive step");
    if (start < 0 || end < 0)
        throw Error("set_value_ axes=[1] currently requires non-negative start/end (negative indices not yet supported)");
    const std::vector<int64_t>* dims = state.tensor_shapes.find(ids[0]);
    if (!dims) throw Error("set_value_: missing shape metadata");
    const auto rank = static_cast<int64_t>(dims->size());
    if (rank < 2) throw Error("set_value_ axes=[1] requires rank >= 2 inputs");
    // An open end (x[:, 1:] exports end 2^31 - 1) stops at the axis, as in Paddle; an axis
    // of unknown size is cut at run time instead.
    const int64_t dim1 = (*dims)[1];
    if (dim1 >= 0) end = std::min(end, dim1);
    const int64_t n = position_count(start, end, step);
    if (n > kMaxMaterializedElements)
        throw Error("set_value_ axes=[1] selects {} positions, more than {}", n, kMaxMaterializedElements);
    // A single value broadcasts over any block as it is.
    const auto assign = fill.values.size() > 1 ? assign_axes(op, rank) : identity_axes(rank);
    if (fill.values.size() > 1) {
        std::vector<int64_t> block(dims->begin(), dims->end());
        block[1] = dim1 >= 0 ? n : -1;
        check_broadcast("set_value_", fill.shape, block, assign);
    }
    if (n == 0) {
        append_node("Identity", {get_tensor_name(ids[0])}, {get_tensor_name(out)});
        return;
    }

    const std::string data = get_tensor_name(ids[0]);
    const std::string shape = names("shape");
    append_node("Shape", {data}, {shape});
    const std::string batch_axis = names("batch_axis");
    push_i64_initializer(batch_axis, {1}, {0});
    const std::string batch_dim = names("batch_dim");
    append_node("Gather", {shape, batch_axis}, {batch_dim});

    const RowIndices rows = set_value_row_indices(*this, shape, start, step, n, dim1, rank, out);
    const std::string& indices = rows.indices;
    const std::string& slice_len = rows.slice_len;

    std::vector<std::string> update_dims{batch_dim, slice_len};
    if (rank > 2) {
        // Trailing axes are written whole.
        std::string tail = names("tail_dims");
        add_slice_node(shape, tail, {2}, {rank}, std::vector<int64_t>{0}, std::nullopt, tail);
        update_dims.push_back(std::move(tail));
    }
    const std::string update_shape = names("update_shape");
    append_node("Concat", std::move(update_dims), {update_shape}, {helper::attr_int("axis", 0)});
    const std::string indices_expanded = names("indices_expanded");
    append_node("Expand", {indices, update_shape}, {indices_expanded});

    const std::string updates = names("updates");
    push_numeric_initializer(updates, fill.shape, maybe_onnx_dtype_for_tensor_id(ids[0]).value_or(proto::dtype::FLOAT),
                             fill.values);
    const std::string updates_expanded = names("updates_expanded");
    broadcast_to_region(updates, update_shape, assign, rank, "set_value", out, updates_expanded);
    append_node("ScatterElements", {data, indices_expanded, updates_expanded}, {get_tensor_name(out)},
                {helper::attr_int("axis", 1)});
}

// A block over axes 1 and 2 of a tensor with static dims: ScatterND with the coordinates
// of every written element and its value.
void Converter::set_value_block(const Json& op, const std::vector<int64_t>& ids, int64_t out,
                                const std::vector<int64_t>& axes, const SetValueFill& fill) {
    const NameMaker names{"set_value", out};
    const std::vector<double>* starts = state.const_values.find(ids[1]);
    const std::vector<double>* ends = state.const_values.find(ids[2]);
    const std::vector<double>* steps = state.const_values.find(ids[3]);
    const std::vector<int64_t>* dims = state.tensor_shapes.find(ids[0]);
    if (!dims) throw Error("set_value_: missing shape metadata");
    for (int64_t d : *dims)
        if (d < 1) throw Error("set_value_ axes=[1,2] requires static positive dims");
    const auto rank = static_cast<int64_t>(dims->size());
    if (!starts) throw Error("set_value_: missing constant starts");
    if (!ends) throw Error("set_value_: missing constant ends");
    if (!steps) throw Error("set_value_: missing constant steps");
    const auto start_values = helper::saturate_i64(*starts);
    const auto end_values = helper::saturate_i64(*ends);
    const auto step_values = helper::saturate_i64(*steps);
    if (start_values.size() != 2 || end_values.size() != 2 || step_values.size() != 2)
        throw Error("set_value_ axes=[1,2] expects starts/ends/steps to match axes rank");

    // Count before materializing anything: every trailing index of every batch row is
    // written, so the block can be far larger than the slice bounds suggest.
    std::vector<int64_t> lengths(dims->begin(), dims->end());
    AxisPositions picked[2];
    for (size_t k = 0; k < 2; ++k) {
        const int64_t axis = checked_axis("set_value_: axis {} out of range for rank {}", axes[k], rank);
        if (step_values[k] == 0) throw Error("set_value_ step cannot be zero");
        picked[k] = paddle_positions(start_values[k], end_values[k], step_values[k],
                                     (*dims)[static_cast<size_t>(axis)]);
        lengths[static_cast<size_t>(axis)] = picked[k].count;
    }
    std::optional<int64_t> count = 1;
    for (int64_t len : lengths)
        if (count) count = helper::checked_mul(*count, len);
    const auto coordinates = count ? helper::checked_mul(*count, rank) : std::nullopt;
    if (!coordinates || *coordinates > kMaxMaterializedElements)
        throw Error("set_value_ axes=[1,2] block {} needs more than {} index elements",
                    helper::fmt_dims(lengths), kMaxMaterializedElements);
    const auto assign = assign_axes(op, rank);
    if (fill.values.size() > 1) check_broadcast("set_value_", fill.shape, lengths, assign);
    if (*count == 0) {
        append_node("Identity", {get_tensor_name(ids[0])}, {get_tensor_name(out)});
        return;
    }

    // The coordinates and the fill values, each listed and then encoded.
    reserve_materialized(uint64_t(*coordinates) * 16 + uint64_t(*count) * 16, "set_value_");
    // Coordinates of the cartesian product in row-major order, odometer style.
    std::vector<int64_t> coords;
    coords.reserve(static_cast<size_t>(*coordinates));
    std::vector<int64_t> at(static_cast<size_t>(rank), 0);
    for (int64_t e = 0; e < *count; ++e) {
        for (size_t dim = 0; dim < at.size(); ++dim)
            coords.push_back(dim == 1 || dim == 2 ? picked[dim - 1].at(at[dim]) : at[dim]);
        for (size_t dim = at.size(); dim-- > 0;) {
            if (++at[dim] < lengths[dim]) break;
            at[dim] = 0;
        }
    }
    const std::string indices = names("indices");
    push_i64_initializer(indices, {*count, rank}, coords);
    // The block and the broadcast values differ only in axes of size 1, so the values in
    // row-major order line up with the coordinates.
    const std::string updates = names("updates");
    push_numeric_initializer(updates, {*count}, maybe_onnx_dtype_for_tensor_id(ids[0]).value_or(proto::dtype::FLOAT),
                             fill.values.size() > 1
                                 ? broadcast_values(fill.values, fill.shape, assign_dims(lengths, assign), *count)
                                 : std::vector<double>(static_cast<size_t>(*count), fill.values.front()));
    append_node("ScatterND", {get_tensor_name(ids[0]), indices, updates}, {get_tensor_name(out)});
}

// `values` broadcast to the written region (a run-time shape of `rank` dims). When the
// values are laid out with decreased axes dropped or None axes added, they broadcast to
// that layout first and are then reshaped to the region.
void Converter::broadcast_to_region(std::string values, const std::string& region,
                                    const std::vector<int64_t>& assign, int64_t rank, std::string_view prefix,
                                    int64_t out, std::string result) {
    if (is_identity(assign, rank)) {
        append_node("Expand", {std::move(values), region}, {std::move(result)});
        return;
    }
    const NameMaker names{prefix, out};
    const std::string size_one = names("size_one");
    push_i64_initializer(size_one, {1}, {1});
    const std::string extended = names("region_and_one");
    append_node("Concat", {region, size_one}, {extended}, {helper::attr_int("axis", 0)});
    const std::string picks = names("assign_axes");
    push_i64_initializer(picks, {static_cast<int64_t>(assign.size())}, assign);
    const std::string layout = names("assign_shape");
    append_node("Gather", {extended, picks}, {layout});
    const std::string assigned = names("values_assigned");
    append_node("Expand", {std::move(values), layout}, {assigned});
    append_node("Reshape", {assigned, region}, {std::move(result)});
}

namespace {

// The shape of the region set_value_with_tensor_ writes: x's shape (`data_shape`) with axis 1
// replaced by the number of positions in `range`.
std::string tensor_write_region(Converter& c, const std::string& data_shape, const std::string& range,
                                int64_t rank, const NameMaker& names) {
    const std::string head = names("head");
    c.add_slice_node(data_shape, head, {0}, {1}, std::vector<int64_t>{0}, std::nullopt, head);
    const std::string count = names("count");
    c.append_node("Shape", {range}, {count});
    std::vector<std::string> region_parts{head, count};
    if (rank > 2) {
        std::string tail = names("tail");
        c.add_slice_node(data_shape, tail, {2}, {rank}, std::vector<int64_t>{0}, std::nullopt, tail);
        region_parts.push_back(std::move(tail));
    }
    const std::string region = names("updates_shape");
    c.append_node("Concat", std::move(region_parts), {region}, {helper::attr_int("axis", 0)});
    return region;
}

// Paddle takes one start, end and step per axis written.
void check_one_bound_each(const Converter& c, const std::vector<int64_t>& ids) {
    for (const auto& [k, word] : {std::pair{2, "starts"}, {3, "ends"}, {4, "steps"}}) {
        const int64_t id = ids[static_cast<size_t>(k)];
        const std::vector<double>* folded = c.state.const_values.find(id);
        const std::optional<int64_t> count =
            folded ? std::optional<int64_t>(static_cast<int64_t>(folded->size())) : c.known_element_count(id);
        if (count && *count != 1)
            throw Error("set_value_with_tensor_: {} (value {}) holds {} values, but axes [1] take one", word, id,
                        *count);
    }
}

// The number of positions written along axis 1 (of size `dim1`) when the bounds and the
// axis are known now.
std::optional<int64_t> positions_known_now(const Converter& c, const std::vector<int64_t>& ids, int64_t dim1) {
    std::optional<int64_t> count_now;
    const auto start = first_folded(c.state.const_values.find(ids[2]));
    const auto end = first_folded(c.state.const_values.find(ids[3]));
    const auto step = first_folded(c.state.const_values.find(ids[4]));
    if (step && *step == 0) throw Error("set_value_with_tensor_ step cannot be zero");
    if (start && end && step && dim1 >= 0) count_now = paddle_positions(*start, *end, *step, dim1).count;
    return count_now;
}

// Writes `updates` into `data` at the positions `range` of axis 1, in every row: the
// positions shaped [1, n, 1, ...] and expanded to the written region.
void scatter_along_axis_one(Converter& c, const std::string& data, const std::string& range,
                            const std::string& region, const std::string& updates, int64_t rank, int64_t out,
                            const NameMaker& names) {
    std::vector<int64_t> index_shape(static_cast<size_t>(rank), 1);
    index_shape[1] = -1;
    const std::string index_shape_name = names("index_shape");
    c.push_i64_initializer(index_shape_name, {rank}, index_shape);
    const std::string shaped = names("range_shaped");
    c.append_node("Reshape", {range, index_shape_name}, {shaped});
    const std::string indices = names("indices");
    c.append_node("Expand", {shaped, region}, {indices});
    c.append_node("ScatterElements", {data, indices, updates}, {c.get_tensor_name(out)},
                  {helper::attr_int("axis", 1)});
}

}  // namespace

// x[...] = v assigns the whole tensor: v broadcast to x's shape (x[None] = v gives the values
// a leading size-1 axis, dropped as for a slice).
void Converter::set_value_whole(const Json& op, const std::vector<int64_t>& ids, int64_t out) {
    const NameMaker names{"set_value_tensor", out};
    const std::string shape = names("data_shape");
    append_node("Shape", {get_tensor_name(ids[0])}, {shape});
    const std::vector<int64_t>* dims = state.tensor_shapes.find(ids[0]);
    const auto rank = dims ? static_cast<int64_t>(dims->size()) : 0;
    broadcast_to_region(get_tensor_name(ids[1]), shape, dims ? assign_axes(op, rank) : identity_axes(0), rank,
                        "set_value_tensor", out, get_tensor_name(out));
}

void Converter::op_set_value_with_tensor(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"set_value_tensor", out};
    const auto ids = helper::op_input_ids(op);
    const Json* axes = helper::attr(op, "axes");
    if (!axes || !axes->IsArray() || axes->Empty()) return set_value_whole(op, ids, out);
    const auto decrease = helper::op_attr_i64_items(op, "decrease_axes");
    const Json* axis_data = axes->Size() == 1 ? helper::member((*axes)[0], "D") : nullptr;
    if (!axis_data || helper::whole_i64(*axis_data) != 1)
        throw Error("set_value_with_tensor_ currently only supports axes=[1]");
    const bool decreased = decrease == std::vector<int64_t>{1};
    if (!decreased && !decrease.empty())
        throw Error("set_value_with_tensor_ currently only supports decrease_axes=[] or [1]");
    // A write without axes takes no bounds (its signature lets them be left off); axes [1]
    // reads all three.
    if (ids.size() < 5) throw Error("set_value_with_tensor_ axes=[1] expects data, values, starts, ends, steps");
    const std::vector<int64_t>* dims = state.tensor_shapes.find(ids[0]);
    if (!dims) throw Error("set_value_with_tensor_: missing rank metadata");
    const auto rank = static_cast<int64_t>(dims->size());
    if (rank < 2) throw Error("set_value_with_tensor_ axes=[1] requires rank >= 2 inputs");
    check_one_bound_each(*this, ids);

    const std::optional<int64_t> count_now = positions_known_now(*this, ids, (*dims)[1]);
    if (decreased && count_now && *count_now != 1)
        throw Error("set_value_with_tensor_ decrease_axes=[1] requires a single indexed position");
    const auto assign = assign_axes(op, rank);
    const std::vector<int64_t>* value_dims = state.tensor_shapes.find(ids[1]);
    if (!helper::op_attr_i64_items(op, "none_axes").empty() && value_dims) {
        std::vector<int64_t> block(dims->begin(), dims->end());
        block[1] = count_now.value_or(-1);
        check_broadcast("set_value_with_tensor_", *value_dims, block, assign);
    }

    const std::string data = get_tensor_name(ids[0]);
    const std::string data_shape = names("data_shape");
    append_node("Shape", {data}, {data_shape});
    const std::string range = set_value_tensor_positions(ids, out, data_shape);

    // The values broadcast to the written region, as Paddle broadcasts them to the slice.
    const std::string region = tensor_write_region(*this, data_shape, range, rank, names);
    const std::string updates = names("updates");
    broadcast_to_region(get_tensor_name(ids[1]), region, assign, rank, "set_value_tensor", out, updates);
    scatter_along_axis_one(*this, data, range, region, updates, rank, out, names);
}

// The positions of axis 1 written by set_value_with_tensor_, as a 1-D tensor: Slice over
// 0 .. size-1 of the axis, so that negative and open bounds are counted from the end and
// clipped into the axis at run time as Paddle's slicing does.
std::string Converter::set_value_tensor_positions(const std::vector<int64_t>& ids, int64_t out,
                                                  const std::string& data_shape) {
    const NameMaker names{"set_value_tensor", out};
    const std::string axis_one = names("axis");
    push_i64_initializer(axis_one, {}, {1});
    const std::string dim = names("dim");
    append_node("Gather", {data_shape, axis_one}, {dim});
    const std::string zero = names("zero");
    push_i64_initializer(zero, {}, {0});
    const std::string one = names("one");
    push_i64_initializer(one, {}, {1});
    const std::string all = names("all_positions");
    append_node("Range", {zero, dim, one}, {all});
    const std::string bound_shape = names("bound_shape");
    push_i64_initializer(bound_shape, {1}, {1});
    auto bound_1d = [&](int64_t id, std::string_view word) {
        const std::string bound = ensure_i64_input(id, out, fmt::format("set_value_tensor_{}", word));
        std::string shaped = fmt::format("set_value_tensor_{}_1d_{}", word, out);
        append_node("Reshape", {bound, bound_shape}, {shaped});
        return shaped;
    };
    const std::string start = bound_1d(ids[2], "start");
    std::string end = bound_1d(ids[3], "end");
    const std::string step = bound_1d(ids[4], "step");

    // With a negative step Paddle reads an end of -1 as "through index 0", where Slice
    // would read the last index: such an end becomes the lowest integer.
    const auto end_now = first_folded(state.const_values.find(ids[3]));
    const auto step_now = first_folded(state.const_values.find(ids[4]));
    const bool maybe_through_zero = !(step_now && *step_now > 0) && !(step_now && end_now && *end_now != -1);
    if (maybe_through_zero) {
        const std::string lowest = names("end_through_zero");
        push_i64_initializer(lowest, {1}, {std::numeric_limits<int64_t>::min()});
        if (end_now && step_now) {
            end = lowest;
        } else {
            const std::string minus_one = names("minus_one");
            push_i64_initializer(minus_one, {1}, {-1});
            std::string through_zero = names("end_is_minus_one");
            append_node("Equal", {end, minus_one}, {through_zero});
            if (!step_now) {
                const std::string backward = names("backward");
                append_node("Less", {step, zero}, {backward});
                std::string both = names("backward_end_is_minus_one");
                append_node("And", {through_zero, backward}, {both});
                through_zero = std::move(both);
            }
            std::string chosen = names("end_chosen");
            append_node("Where", {through_zero, lowest, end}, {chosen});
            end = std::move(chosen);
        }
    }
    const std::string slice_axes = names("slice_axes");
    push_i64_initializer(slice_axes, {1}, {0});
    const std::string range = names("range");
    append_node("Slice", {all, start, end, slice_axes, step}, {range});
    return range;
}

}  // namespace kestro
