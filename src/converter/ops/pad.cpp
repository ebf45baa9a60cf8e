// Padding (Pad), roll (Slice and Concat per rolled axis) and tile (Tile).
#include "converter/converter.h"

namespace kestro {

namespace {

constexpr int64_t kMaxTileRank = 64;

// The ONNX "mode" of a Paddle padding mode; empty for constant padding. Only a JSON text
// is looked at. Circular padding exists in ONNX only as "wrap", from opset 19; padding
// with zeros instead would silently change the result.
std::optional<std::string> onnx_pad_mode(const Json* mode, int64_t opset, std::string_view what) {
    const auto text = mode ? helper::as_str(*mode) : std::nullopt;
    if (!text) return std::nullopt;
    if (*text == "reflect") return "reflect";
    if (*text == "replicate") return "edge";
    if (*text == "circular") {
        if (opset < 19)
            throw Converter::opset_error(fmt::format("{} with mode circular", what), 19, opset);
        return "wrap";
    }
    return std::nullopt;
}

// ONNX Runtime has no Pad for int16 or uint16, and ONNX none for bool before opset 13:
// those are padded as int32 and cast back.
std::optional<int32_t> pad_compute_type(std::optional<int32_t> x_type, int64_t opset) {
    using namespace proto::dtype;
    if (x_type && (*x_type == INT16 || *x_type == UINT16 || (*x_type == BOOL && opset < 13))) return INT32;
    return std::nullopt;
}

// Where Pad reads x and writes its result: x and the output themselves, or, for the types of
// pad_compute_type, x cast to int32 and a wide result that `finish` casts back.
struct PadEnds {
    std::optional<int32_t> data_type;
    std::optional<int32_t> compute;
    std::string input;
    std::string output;
};

PadEnds pad_ends(Converter& c, int64_t x_id, int64_t out, const NameMaker& names) {
    PadEnds ends;
    ends.data_type = c.onnx_dtype_if_known(x_id);
    ends.compute = pad_compute_type(ends.data_type, c.opset);
    ends.input = c.get_tensor_name(x_id);
    if (ends.compute) {
        c.add_cast_node(std::move(ends.input), names("wide_input"), *ends.compute);
        ends.input = names("wide_input");
    }
    ends.output = ends.compute ? names("wide_output") : c.get_tensor_name(out);
    return ends;
}

void finish(Converter& c, const PadEnds& ends, int64_t out) {
    if (ends.compute) c.add_cast_node(ends.output, c.get_tensor_name(out), *ends.data_type);
}

// pad below opset 11: Pad-2 takes pads and the fill value as attributes, for floating-point
// data only, so the value must be known now.
void pad_with_attributes(Converter& c, const std::vector<int64_t>& ids, const std::vector<int64_t>& pads,
                         const std::optional<std::string>& mode, bool has_value, int64_t out) {
    const auto x_type = c.onnx_dtype_if_known(ids[0]);
    std::optional<double> fill;
    if (has_value && !mode) {
        const std::vector<double>* folded = c.state.const_values.find(ids[1]);
        if (folded && folded->size() == 1) fill = (*folded)[0];
    }
    if ((has_value && !mode && !fill) || (x_type && !helper::is_float_onnx_dtype(*x_type)))
        throw Converter::opset_error("pad", 11, c.opset);
    std::vector<proto::AttributeProto> attrs;
    if (mode) attrs.push_back(helper::attr_str("mode", *mode));
    attrs.push_back(helper::attr_ints("pads", pads));
    if (fill) attrs.push_back(helper::attr_float("value", helper::to_f32_or_inf(*fill)));
    c.append_node("Pad", {c.get_tensor_name(ids[0])}, {c.get_tensor_name(out)}, std::move(attrs));
}

// Pad's fill value from pad's operand `id`: a scalar of the type Pad reads x in.
std::string pad_fill_value(Converter& c, int64_t id, const PadEnds& io, const NameMaker& names) {
    std::string value = c.get_tensor_name(id);
    const std::vector<int64_t>* dims = c.state.tensor_shapes.find(id);
    if (dims && *dims == std::vector<int64_t>{1}) {
        const std::string squeezed = names("value");
        c.add_squeeze_node(value, squeezed, std::vector<int64_t>{0}, names("value_axes"));
        value = squeezed;
    } else {
        // Pad takes its fill as a scalar: one of another rank ([1, 1]) is reshaped to one.
        value = c.one_value_of_rank(id, std::move(value), 0, names("value"));
    }
    // Paddle makes the fill value float32 whatever the data type; Pad needs one type.
    const auto x_type = io.data_type;
    const auto v_type = c.onnx_dtype_if_known(id);
    if (x_type && v_type && *x_type != *v_type) {
        const std::string cast = names("value_cast");
        c.add_cast_node(value, cast, *x_type);
        value = cast;
    }
    if (io.compute) {
        c.add_cast_node(std::move(value), names("wide_value"), *io.compute);
        value = names("wide_value");
    }
    return value;
}

}  // namespace

void Converter::op_pad(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"pad", out};
    const auto ids = helper::op_input_ids(op);
    const Json* paddings = helper::attr(op, "paddings");
    if (!paddings || !paddings->IsArray()) throw Error("pad: missing paddings");
    const auto values = helper::collect_i64_items(*paddings, op, "paddings");
    if (values.size() % 2 != 0) throw Error("pad: paddings must have even length");
    if (const std::vector<int64_t>* dims = state.tensor_shapes.find(ids[0]); dims && values.size() != 2 * dims->size())
        throw Error("pad: paddings has {} values, but an input of rank {} needs {}", values.size(),
                    dims->size(), 2 * dims->size());
    // No paddings (a rank-0 input) leave x as it is; ONNX Runtime's Pad fails on a scalar.
    if (values.empty()) {
        append_node("Identity", {get_tensor_name(ids[0])}, {get_tensor_name(out)});
        return;
    }

    // Paddle interleaves begin and end per axis; ONNX lists all begins, then all ends.
    std::vector<int64_t> pads;
    for (size_t k = 0; k < values.size(); k += 2) pads.push_back(values[k]);
    for (size_t k = 1; k < values.size(); k += 2) pads.push_back(values[k]);

    const Json* mode_value = helper::attr(op, "mode");
    if (!mode_value) mode_value = helper::attr(op, "padding_mode");
    const auto mode = onnx_pad_mode(mode_value, opset, "pad");
    // The fill value is one number of any rank, as its signature holds it.
    const bool has_value = ids.size() >= 2 && ids[1] != 0;

    if (opset < 11) {
        pad_with_attributes(*this, ids, pads, mode, has_value, out);
        return;
    }

    const std::string pads_name = names("pads");
    push_i64_initializer(pads_name, {static_cast<int64_t>(pads.size())}, pads);
    const PadEnds io = pad_ends(*this, ids[0], out, names);
    std::vector<std::string> node_inputs{io.input, pads_name};
    std::vector<proto::AttributeProto> attrs;
    if (mode) attrs.push_back(helper::attr_str("mode", *mode));

    if (has_value) node_inputs.push_back(pad_fill_value(*this, ids[1], io, names));
    append_node("Pad", std::move(node_inputs), {io.output}, std::move(attrs));
    finish(*this, io, out);
}

void Converter::op_pad3d(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"pad3d", out};
    const auto ids = helper::op_input_ids(op);
    std::optional<size_t> pad_count;
    if (const std::vector<double>* values = state.const_values.find(ids[1])) pad_count = values->size();
    else if (const std::vector<int64_t>* p = state.tensor_shapes.find(ids[1]); p && p->size() == 1 && (*p)[0] >= 0)
        pad_count = static_cast<size_t>((*p)[0]);
    if (pad_count && *pad_count != 6) throw Error("pad3d: paddings has {} values, but it must have 6", *pad_count);
    const std::string paddings = get_tensor_name(ids[1]);
    const auto format_text = helper::op_attr_str(op, "data_format");
    const std::string_view format = format_text ? *format_text : "NCDHW";
    if (format != "NCDHW" && format != "NDHWC") throw Error("pad3d only supports NCDHW or NDHWC");
    const auto mode = onnx_pad_mode(helper::attr(op, "mode"), opset, "pad3d");

    const bool channels_last = format == "NDHWC";
    // The zero pads of the axes Paddle does not pad: N and C ahead of D, H, W channel-first;
    // N ahead and C behind channel-last.
    const std::string zeros = channels_last ? names("zero_one")
                                            : names("zero_prefix");
    if (channels_last) {
        push_i64_initializer(zeros, {1}, {0});
    } else {
        push_i64_initializer(zeros, {2}, {0, 0});
    }

    static constexpr const char* labels[] = {"pad3d_w_begin", "pad3d_w_end", "pad3d_h_begin",
                                             "pad3d_h_end",   "pad3d_d_begin", "pad3d_d_end"};
    std::vector<std::string> slices;
    for (int64_t k = 0; k < 6; ++k) {
        const std::string name = fmt::format("{}_{}", labels[k], out);
        add_slice_node(paddings, name, {k}, {k + 1}, std::vector<int64_t>{0}, std::nullopt,
                       fmt::format("{}_slice", name));
        slices.push_back(ensure_i64_value(ids[1], name, fmt::format("{}_i64", name)));
    }
    // slices: 0 w begin, 1 w end, 2 h begin, 3 h end, 4 d begin, 5 d end.
    std::vector<std::string> begins, ends;
    if (channels_last) {
        begins = {zeros, slices[4], slices[2], slices[0], zeros};
        ends = {zeros, slices[5], slices[3], slices[1], zeros};
    } else {
        begins = {zeros, slices[4], slices[2], slices[0]};
        ends = {zeros, slices[5], slices[3], slices[1]};
    }
    const std::string starts_name = names("starts");
    const std::string ends_name = names("ends");
    const std::string pads_name = names("pads");
    append_node("Concat", std::move(begins), {starts_name}, {helper::attr_int("axis", 0)});
    append_node("Concat", std::move(ends), {ends_name}, {helper::attr_int("axis", 0)});
    append_node("Concat", {starts_name, ends_name}, {pads_name}, {helper::attr_int("axis", 0)});

    const PadEnds io = pad_ends(*this, ids[0], out, names);
    std::vector<std::string> node_inputs{io.input, pads_name};
    std::vector<proto::AttributeProto> attrs;
    if (mode) {
        attrs.push_back(helper::attr_str("mode", *mode));
    } else if (const Json* v = helper::attr(op, "pad_value"); v && v->IsNumber()) {
        const auto value = helper::value_as_f64(*v);
        if (value && *value != 0.0) {  // NaN counts as non-zero, -0.0 as zero
            // The fill value takes the data's type, converted as Paddle converts it.
            const auto x_type = io.data_type.value_or(proto::dtype::FLOAT);
            double fill = *value;
            if (x_type == proto::dtype::BOOL) fill = 1.0;  // any non-zero value is true
            else if (helper::is_integer_onnx_dtype(x_type)) fill = static_cast<double>(helper::saturate_i64(fill));
            const std::string name = names("value");
            push_numeric_initializer(name, {}, io.compute.value_or(x_type), {fill});
            node_inputs.push_back(name);
        }
    }
    append_node("Pad", std::move(node_inputs), {io.output}, std::move(attrs));
    finish(*this, io, out);
}

void Converter::op_roll(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"roll", out};
    const auto ids = helper::op_input_ids(op);
    const auto axes = helper::op_attr_i64_items(op, "axis");
    const std::vector<double>* folded = state.const_values.find(ids[1]);
    const auto shifts = helper::saturate_i64(*folded);
    if (!axes.empty() && axes.size() != shifts.size())
        throw Error("roll axes/shifts length mismatch");
    std::string current = get_tensor_name(ids[0]);
    const std::vector<int64_t>* dims = state.tensor_shapes.find(ids[0]);
    if (!dims) throw Error("roll: missing rank metadata");
    settle_output_like("roll", out, {ids[0]});
    const auto rank = static_cast<int64_t>(dims->size());
    if (axes.empty()) throw Error("roll currently requires explicit axes");

    for (size_t i = 0; i < axes.size(); ++i) {
        const int64_t axis = checked_axis("roll axis {} out of range for rank {}", axes[i], rank);
        const int64_t d = (*dims)[static_cast<size_t>(axis)];
        if (d < 1) throw Error("roll requires static positive axis dims");
        int64_t k = shifts[i] % d;
        if (k < 0) k += d;
        if (k == 0) continue;
        const std::string target = i + 1 == axes.size() ? get_tensor_name(out)
                                                        : names("axis", i);
        const std::string tail = names("tail", i);
        const std::string head = names("head", i);
        add_slice_node(current, tail, {d - k}, {d}, std::vector<int64_t>{axis}, std::nullopt, tail);
        add_slice_node(current, head, {0}, {d - k}, std::vector<int64_t>{axis}, std::nullopt, head);
        append_node("Concat", {tail, head}, {target}, {helper::attr_int("axis", axis)});
        current = target;
    }
    const std::string output = get_tensor_name(out);
    if (current != output) append_node("Identity", {current}, {output});
}

// ONNX Tile wants INT64 repeats with one entry per input dim. Paddle pads short repeats
// with leading ones and gives a low-rank input leading dims of 1.
namespace {

// x's dims times the repeats, both lined up at the back (the shorter list counting 1s in
// front); -1 where a dim is unknown or the product overflows.
std::vector<int64_t> tiled_dims(const std::vector<int64_t>& x, const std::vector<int64_t>& repeats) {
    const size_t n = std::max(x.size(), repeats.size());
    std::vector<int64_t> out;
    for (size_t k = 0; k < n; ++k) {
        const int64_t d = k + x.size() < n ? 1 : x[k + x.size() - n];
        const int64_t r = k + repeats.size() < n ? 1 : repeats[k + repeats.size() - n];
        const std::optional<int64_t> product = d >= 0 ? helper::checked_mul(d, r) : std::nullopt;
        out.push_back(product.value_or(-1));
    }
    return out;
}

}  // namespace

void Converter::op_tile(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"tile", out};
    const auto ids = helper::op_input_ids(op);
    std::string data = get_tensor_name(ids[0]);
    const std::vector<int64_t>* x_dims = state.tensor_shapes.find(ids[0]);
    if (!x_dims) throw Error("tile: missing rank metadata");
    const auto rank = static_cast<int64_t>(x_dims->size());

    const std::vector<double>* folded = state.const_values.find(ids[1]);
    int64_t count = 0;
    if (folded) {
        count = static_cast<int64_t>(folded->size());
        // Paddle repeats each dim a positive number of times; ONNX's Tile refuses a negative one.
        if (std::any_of(folded->begin(), folded->end(), [](double v) { return v < 0.0; }))
            throw Error("tile: repeat_times {} holds a negative count", helper::fmt_dims(helper::saturate_i64(*folded)));
    } else {
        // Paddle reads the counts flattened, of any rank: their number is the element count.
        const std::optional<int64_t> length = known_element_count(ids[1]);
        if (!length) throw Error("tile: repeat_times length is unknown");
        // A declared length is only metadata; bound it before it sizes any list.
        if (*length > kMaxTileRank) throw Error("tile: repeat_times length {} is not supported", *length);
        count = *length;
    }

    if (count > rank) {
        std::vector<int64_t> axes;
        for (int64_t a = 0; a < count - rank; ++a) axes.push_back(a);
        const std::string lifted = names("unsqueezed");
        add_unsqueeze_node(data, lifted, axes, names("unsqueeze_axes"));
        data = lifted;
    }
    const int64_t missing = rank > count ? rank - count : 0;
    if (folded) {
        settle_output("tile", out, std::nullopt, tiled_dims(*x_dims, helper::saturate_i64(*folded)), {ids[0]});
    } else {
        // Counts known only at run time still fix the rank (the longer of x's and the
        // counts'), and an empty dim stays empty.
        std::vector<int64_t> made(static_cast<size_t>(std::max(rank, count)), -1);
        for (size_t k = 0; k < x_dims->size(); ++k)
            if ((*x_dims)[k] == 0) made[made.size() - x_dims->size() + k] = 0;
        settle_output("tile", out, std::nullopt, made, {ids[0]});
    }

    std::string repeats;
    if (folded) {
        std::vector<int64_t> values(static_cast<size_t>(missing), 1);
        for (int64_t v : helper::saturate_i64(*folded)) values.push_back(v);
        repeats = names("repeats");
        push_i64_initializer(repeats, {static_cast<int64_t>(values.size())}, values);
    } else {
        repeats = flat_i64_list(ids[1], out, "tile_repeats");
        if (missing > 0) {
            const std::string ones = names("repeat_ones");
            push_i64_initializer(ones, {missing},
                                 std::vector<int64_t>(static_cast<size_t>(missing), 1));
            const std::string padded = names("repeats");
            append_node("Concat", {ones, repeats}, {padded}, {helper::attr_int("axis", 0)});
            repeats = padded;
        }
    }
    append_node("Tile", {std::move(data), std::move(repeats)}, {get_tensor_name(out)});
}

}  // namespace kestro
