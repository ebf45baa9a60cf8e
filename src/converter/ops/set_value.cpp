// Strided slice assignment, x[..., start:end:step, ...] = v: with a constant fill
// ("1.set_value_", ScatterElements over axis 1 or ScatterND over a static block) and with
// a tensor of values ("1.set_value_with_tensor_", ScatterElements over axis 1).
#include <algorithm>

#include "converter/converter.h"

namespace kestro {

namespace {

// Bound on the elements of one generated index initializer (2 GiB of int64).
constexpr int64_t kMaxMaterializedElements = int64_t{1} << 28;

using Wide = __int128;

// Number of positions of start, start + step, ... before end, for bounds already clamped
// into the axis. Wide arithmetic: the bounds and the step are any 64-bit values.
int64_t position_count(Wide start, Wide end, Wide step) {
    if (step > 0) return start < end ? static_cast<int64_t>((end - start - 1) / step + 1) : 0;
    return start > end ? static_cast<int64_t>((start - end - 1) / -step + 1) : 0;
}

// The first element of a folded constant, truncated; nothing when the constant is empty.
std::optional<int64_t> first_folded(const std::vector<double>& values) {
    if (values.empty()) return std::nullopt;
    return helper::saturate_i64(values.front());
}

// The fill value of "values": its first element, a number, a boolean, or text such as
// "-inf" (non-finite fills travel as text, under "D" or "VD"). Absent or empty gives 0.
double read_fill_value(const Json& op) {
    const Json* values = helper::attr(op, "values");
    if (!values || !values->IsArray() || values->Empty()) return 0.0;
    const Json& first = (*values)[0];
    const Json* data = helper::member(first, "D");
    if (data) {
        if (auto b = helper::as_bool(*data)) return *b ? 1.0 : 0.0;
    }
    if (auto v = helper::value_as_f64(first)) return *v;
    throw Error("set_value_: unsupported fill value {}", helper::json_debug(first));
}

// The positions of one axis of the block form: start, start + step, ... (count of them),
// with negative bounds counted from the end and clamped into the axis the way Paddle's
// slicing does.
struct AxisPositions {
    int64_t start = 0;
    int64_t step = 1;
    int64_t count = 0;
    int64_t at(int64_t k) const { return static_cast<int64_t>(start + Wide(k) * step); }
};

AxisPositions block_positions(int64_t start, int64_t end, int64_t step, int64_t dim) {
    Wide s = start, e = end;
    const Wide d = dim;
    if (s < 0) s += d;
    if (e < 0) e += d;
    const Wide lo = step > 0 ? 0 : -1;
    const Wide hi = step > 0 ? d : d - 1;
    s = std::clamp(s, lo, hi);
    e = std::clamp(e, lo, hi);
    return {static_cast<int64_t>(s), step, position_count(s, e, step)};
}

// The number of positions ONNX Slice selects on an axis of size `dim`.
int64_t slice_count(int64_t start, int64_t end, int64_t step, int64_t dim) {
    Wide s = start, e = end;
    const Wide d = dim;
    if (s < 0) s += d;
    if (e < 0) e += d;
    if (step > 0) return position_count(std::clamp(s, Wide(0), d), std::clamp(e, Wide(0), d), step);
    return position_count(std::clamp(s, Wide(0), d - 1), std::clamp(e, Wide(-1), d - 1), step);
}

}  // namespace

void Converter::op_set_value(const Json& op) {
    require_opset("set_value_", 11);
    const int64_t out = helper::op_out_id(op);
    const auto ids = helper::op_input_ids(op);
    if (ids.size() < 4) throw Error("set_value_ missing inputs");
    const auto axes = helper::attr_i64_items(op, "axes");
    const double fill = read_fill_value(op);
    const bool row_form = axes == std::vector<int64_t>{1};
    if (!row_form && axes != std::vector<int64_t>{1, 2})
        throw Error("set_value_ currently only supports axes=[1] or axes=[1,2] constant block writes");

    const std::vector<double>* starts = state.const_values.find(ids[1]);
    const std::vector<double>* ends = state.const_values.find(ids[2]);
    const std::vector<double>* steps = state.const_values.find(ids[3]);

    if (row_form) {
        // Bounds known only at run time cannot be turned into index constants; writing at
        // default positions instead would change the result.
        if (!starts) throw Error("set_value_: missing constant starts");
        if (!ends) throw Error("set_value_: missing constant ends");
        if (!steps) throw Error("set_value_: missing constant steps");
        const int64_t start = first_folded(*starts).value_or(0);
        int64_t end = first_folded(*ends).value_or(start == INT64_MAX ? start : start + 1);
        const auto folded_step = first_folded(*steps);
        const int64_t step = folded_step.value_or(1);
        if (folded_step && step == 0) throw Error("set_value_ step cannot be zero");
        if (folded_step && step < 0)
            throw Error("set_value_ axes=[1] currently only supports positive step");
        if (start < 0 || end < 0)
            throw Error("set_value_ axes=[1] currently requires non-negative start/end (negative indices not yet supported)");
        const std::vector<int64_t>* dims = state.tensor_shapes.find(ids[0]);
        if (!dims) throw Error("set_value_: missing shape metadata");
        const auto rank = static_cast<int64_t>(dims->size());
        if (rank < 2) throw Error("set_value_ axes=[1] requires rank >= 2 inputs");
        // An open end (x[:, 1:] exports end 2^31 - 1) stops at the axis, as in Paddle.
        if ((*dims)[1] >= 0) end = std::min(end, (*dims)[1]);
        const int64_t n = position_count(start, end, step);
        if (n > kMaxMaterializedElements)
            throw Error("set_value_ axes=[1] selects {} positions, more than {}", n,
                        kMaxMaterializedElements);
        if (n == 0) {
            append_node("Identity", {get_tensor_name(ids[0])}, {get_tensor_name(out)});
            return;
        }

        const std::string data = get_tensor_name(ids[0]);
        const std::string shape = fmt::format("set_value_shape_{}", out);
        append_node("Shape", {data}, {shape});
        const std::string batch_axis = fmt::format("set_value_batch_axis_{}", out);
        push_i64_initializer(batch_axis, {1}, {0});
        const std::string batch_dim = fmt::format("set_value_batch_dim_{}", out);
        append_node("Gather", {shape, batch_axis}, {batch_dim});
        const std::string slice_len = fmt::format("set_value_slice_len_{}", out);
        push_i64_initializer(slice_len, {1}, {n});
        std::vector<std::string> update_dims{batch_dim, slice_len};
        if (rank > 2) {
            // Trailing axes are written whole.
            std::string tail = fmt::format("set_value_tail_dims_{}", out);
            add_slice_node(shape, tail, {2}, {rank}, std::vector<int64_t>{0}, std::nullopt, tail);
            update_dims.push_back(std::move(tail));
        }
        const std::string update_shape = fmt::format("set_value_update_shape_{}", out);
        append_node("Concat", std::move(update_dims), {update_shape}, {helper::attr_int("axis", 0)});

        // The positions, and the initializer that holds them.
        reserve_materialized(uint64_t(n) * 16, "set_value_");
        std::vector<int64_t> positions;
        positions.reserve(static_cast<size_t>(n));
        for (int64_t k = 0; k < n; ++k) positions.push_back(start + k * step);
        std::vector<int64_t> index_dims(static_cast<size_t>(rank), 1);
        index_dims[1] = n;
        const std::string indices = fmt::format("set_value_indices_{}", out);
        push_i64_initializer(indices, std::move(index_dims), positions);
        const std::string indices_expanded = fmt::format("set_value_indices_expanded_{}", out);
        append_node("Expand", {indices, update_shape}, {indices_expanded});
        const std::string updates = fmt::format("set_value_updates_{}", out);
        push_numeric_initializer(updates, {1}, maybe_onnx_dtype_for_tensor_id(ids[0]).value_or(proto::dtype::FLOAT),
                                 {fill});
        const std::string updates_expanded = fmt::format("set_value_updates_expanded_{}", out);
        append_node("Expand", {updates, update_shape}, {updates_expanded});
        append_node("ScatterElements", {data, indices_expanded, updates_expanded}, {get_tensor_name(out)},
                    {helper::attr_int("axis", 1)});
        return;
    }

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
        const int64_t axis = axes[k];
        if (axis >= rank) throw Error("set_value_: axis {} out of range for rank {}", axis, rank);
        if (step_values[k] == 0) throw Error("set_value_ step cannot be zero");
        picked[k] = block_positions(start_values[k], end_values[k], step_values[k],
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
    if (*count == 0) {
        append_node("Identity", {get_tensor_name(ids[0])}, {get_tensor_name(out)});
        return;
    }

    // Coordinates of the cartesian product in row-major order, odometer style.
    // The coordinates and the fill values, each listed and then encoded.
    reserve_materialized(uint64_t(*coordinates) * 16 + uint64_t(*count) * 16, "set_value_");
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
    const std::string indices = fmt::format("set_value_indices_{}", out);
    push_i64_initializer(indices, {*count, rank}, coords);
    const std::string updates = fmt::format("set_value_updates_{}", out);
    push_numeric_initializer(updates, {*count}, maybe_onnx_dtype_for_tensor_id(ids[0]).value_or(proto::dtype::FLOAT),
                             std::vector<double>(static_cast<size_t>(*count), fill));
    append_node("ScatterND", {get_tensor_name(ids[0]), indices, updates}, {get_tensor_name(out)});
}

void Converter::op_set_value_with_tensor(const Json& op) {
    require_opset("set_value_with_tensor_", 11);
    const int64_t out = helper::op_out_id(op);
    const auto ids = helper::op_input_ids(op);
    if (ids.size() < 2) throw Error("set_value_with_tensor_ missing inputs");
    const Json* axes = helper::attr(op, "axes");
    if (!axes || !axes->IsArray() || axes->Empty()) {
        // x[...] = v assigns the whole tensor: v broadcast to x's shape.
        const std::string shape = fmt::format("set_value_tensor_data_shape_{}", out);
        append_node("Shape", {get_tensor_name(ids[0])}, {shape});
        append_node("Expand", {get_tensor_name(ids[1]), shape}, {get_tensor_name(out)});
        return;
    }
    const auto decrease = helper::attr_i64_items(op, "decrease_axes");
    const Json* axis_data = axes->Size() == 1 ? helper::member((*axes)[0], "D") : nullptr;
    if (!axis_data || helper::as_i64(*axis_data) != 1)
        throw Error("set_value_with_tensor_ currently only supports axes=[1]");
    const bool decreased = decrease == std::vector<int64_t>{1};
    if (!decreased && !decrease.empty())
        throw Error("set_value_with_tensor_ currently only supports decrease_axes=[] or [1]");
    if (ids.size() < 5)
        throw Error("set_value_with_tensor_ axes=[1] expects data, values, starts, ends, steps");
    const std::vector<int64_t>* dims = state.tensor_shapes.find(ids[0]);
    if (!dims) throw Error("set_value_with_tensor_: missing rank metadata");
    const auto rank = static_cast<int64_t>(dims->size());
    if (rank < 2) throw Error("set_value_with_tensor_ axes=[1] requires rank >= 2 inputs");
    const int64_t dim1 = (*dims)[1];

    if (decreased) {
        const std::vector<double>* s = state.const_values.find(ids[2]);
        const std::vector<double>* e = state.const_values.find(ids[3]);
        const std::vector<double>* t = state.const_values.find(ids[4]);
        if (s && e && t && !s->empty() && !e->empty() && !t->empty()) {
            const int64_t step = helper::saturate_i64(t->front());
            if (step == 0) throw Error("set_value_with_tensor_ step cannot be zero");
            // Checked against the axis as the graph will clip it (x[:, -1] exports an open
            // end); without a known size the run time decides.
            if (dim1 >= 0 && slice_count(helper::saturate_i64(s->front()),
                                         helper::saturate_i64(e->front()), step, dim1) != 1)
                throw Error("set_value_with_tensor_ decrease_axes=[1] requires a single indexed position");
        }
    }

    const std::string data = get_tensor_name(ids[0]);
    const std::string values = get_tensor_name(ids[1]);
    const std::string data_shape = fmt::format("set_value_tensor_data_shape_{}", out);
    append_node("Shape", {data}, {data_shape});

    // The positions: Slice over 0 .. size-1 of axis 1, so that negative and open bounds
    // are counted from the end and clipped into the axis as Paddle's slicing does.
    const std::string axis_one = fmt::format("set_value_tensor_axis_{}", out);
    push_i64_initializer(axis_one, {}, {1});
    const std::string dim = fmt::format("set_value_tensor_dim_{}", out);
    append_node("Gather", {data_shape, axis_one}, {dim});
    const std::string zero = fmt::format("set_value_tensor_zero_{}", out);
    push_i64_initializer(zero, {}, {0});
    const std::string one = fmt::format("set_value_tensor_one_{}", out);
    push_i64_initializer(one, {}, {1});
    const std::string all = fmt::format("set_value_tensor_all_positions_{}", out);
    append_node("Range", {zero, dim, one}, {all});
    const std::string bound_shape = fmt::format("set_value_tensor_bound_shape_{}", out);
    push_i64_initializer(bound_shape, {1}, {1});
    std::vector<std::string> slice_inputs{all};
    for (const auto& [id, word] : {std::pair{ids[2], "start"}, std::pair{ids[3], "end"}}) {
        const std::string bound = ensure_i64_input(id, out, fmt::format("set_value_tensor_{}", word));
        std::string bound_1d = fmt::format("set_value_tensor_{}_1d_{}", word, out);
        append_node("Reshape", {bound, bound_shape}, {bound_1d});
        slice_inputs.push_back(std::move(bound_1d));
    }
    const std::string slice_axes = fmt::format("set_value_tensor_slice_axes_{}", out);
    push_i64_initializer(slice_axes, {1}, {0});
    slice_inputs.push_back(slice_axes);
    {
        const std::string step = ensure_i64_input(ids[4], out, "set_value_tensor_step");
        std::string step_1d = fmt::format("set_value_tensor_step_1d_{}", out);
        append_node("Reshape", {step, bound_shape}, {step_1d});
        slice_inputs.push_back(std::move(step_1d));
    }
    const std::string range = fmt::format("set_value_tensor_range_{}", out);
    append_node("Slice", std::move(slice_inputs), {range});

    // The written region: x's shape with axis 1 replaced by the number of positions. The
    // values broadcast to it, as Paddle broadcasts them to the slice.
    const std::string head = fmt::format("set_value_tensor_head_{}", out);
    add_slice_node(data_shape, head, {0}, {1}, std::vector<int64_t>{0}, std::nullopt, head);
    std::string tail;
    if (rank > 2) {
        tail = fmt::format("set_value_tensor_tail_{}", out);
        add_slice_node(data_shape, tail, {2}, {rank}, std::vector<int64_t>{0}, std::nullopt, tail);
    }
    const std::string count = fmt::format("set_value_tensor_count_{}", out);
    append_node("Shape", {range}, {count});
    std::vector<std::string> region_parts{head, count};
    if (!tail.empty()) region_parts.push_back(tail);
    const std::string region = fmt::format("set_value_tensor_updates_shape_{}", out);
    append_node("Concat", std::move(region_parts), {region}, {helper::attr_int("axis", 0)});

    const std::string updates = fmt::format("set_value_tensor_updates_{}", out);
    if (decreased) {
        // The values lack axis 1: broadcast them to the other axes, then put it back.
        std::string kept = head;
        if (!tail.empty()) {
            kept = fmt::format("set_value_tensor_values_shape_{}", out);
            append_node("Concat", {head, tail}, {kept}, {helper::attr_int("axis", 0)});
        }
        const std::string broadcast = fmt::format("set_value_tensor_values_expanded_{}", out);
        append_node("Expand", {values, kept}, {broadcast});
        add_unsqueeze_node(broadcast, updates, {1}, fmt::format("set_value_tensor_unsqueeze_axes_{}", out));
    } else {
        append_node("Expand", {values, region}, {updates});
    }

    std::vector<int64_t> index_shape(static_cast<size_t>(rank), 1);
    index_shape[1] = -1;
    const std::string index_shape_name = fmt::format("set_value_tensor_index_shape_{}", out);
    push_i64_initializer(index_shape_name, {rank}, index_shape);
    const std::string shaped = fmt::format("set_value_tensor_range_shaped_{}", out);
    append_node("Reshape", {range, index_shape_name}, {shaped});
    const std::string indices = fmt::format("set_value_tensor_indices_{}", out);
    append_node("Expand", {shaped, region}, {indices});
    append_node("ScatterElements", {data, indices, updates}, {get_tensor_name(out)},
                {helper::attr_int("axis", 1)});
}

}  // namespace kestro
