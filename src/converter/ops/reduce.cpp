// Reductions (sum, max, mean, min), top-k, argmax and argsort.
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "converter/converter.h"
#include "log.h"

namespace kestro {

namespace {

constexpr const char* kTarget = "kestro::converter::ops::reduce";

// The integer-key argsort materializes one position per element of the sorted axis; past
// this length the plain TopK, which breaks ties the same way, is used instead. It also
// keeps int32 keys, |x| * (n + 1) + n, far inside the int64 range.
constexpr int64_t kMaxKeyLength = int64_t{1} << 20;

// "keepdim"/"keepdims": only a JSON boolean counts; anything else keeps the dims.
int64_t keepdims_of(const Json& op, std::string_view name) {
    return helper::op_attr_bool(op, name).value_or(true) ? 1 : 0;
}

// The element type Paddle's sum produces: the recorded output type, else the "dtype"
// attribute, else int64 for bool and int32 inputs (which Paddle widens) and the input's
// own type otherwise. Empty when nothing is known.
std::optional<int32_t> sum_result_dtype(const Converter& c, const Json& op, int64_t out,
                                        std::optional<int32_t> x_type) {
    if (auto recorded = c.onnx_dtype_if_known(out)) return recorded;
    if (auto word = helper::op_attr_str(op, "dtype"))
        if (auto code = helper::paddle_dtype_token_to_onnx(*word)) return code;
    if (x_type && (*x_type == proto::dtype::BOOL || *x_type == proto::dtype::INT32))
        return proto::dtype::INT64;
    return x_type;
}

// The type a reduction computes in when ONNX has no form of it for `type`: ReduceSum and
// ReduceMean take no 8- or 16-bit integers and no bool, ReduceMax and ReduceMin take int8
// and uint8 only from opset 12 and no 16-bit integers or bool. Such a value is reduced in
// int64 and the result cast back: exact for max, min and mean, and for a sum the same
// wrap-around as a sum kept in the narrow type. Empty when `type` reduces as it is.
std::optional<int32_t> widened_reduce_type(std::string_view onnx_op, int32_t type, int64_t opset) {
    namespace d = proto::dtype;
    const bool byte = type == d::INT8 || type == d::UINT8;
    const bool narrow = byte || type == d::INT16 || type == d::UINT16 || type == d::BOOL;
    if (!narrow) return std::nullopt;
    if ((onnx_op == "ReduceMax" || onnx_op == "ReduceMin") && byte && opset >= 12) return std::nullopt;
    return d::INT64;
}

// An empty axes list means every axis, as having no axes does. Below opset 18 the axes
// are an attribute, and an INTS attribute without values does not pass the model
// checker, so the attribute is left out instead.
std::optional<std::vector<int64_t>> axes_for_node(std::optional<std::vector<int64_t>> axes, int64_t opset) {
    if (axes && axes->empty() && opset < 18) return std::nullopt;
    return axes;
}

// Negative axes counted from the front when the rank of `x` is recorded. ONNX Runtime
// mis-shapes a reduction over an empty axis named from the back ([2, 0] over -1 gives [2, 0]).
std::vector<int64_t> axes_from_front(const Converter& c, int64_t x_id, std::vector<int64_t> axes,
                                     std::string_view op = {}) {
    const std::vector<int64_t>* dims = c.state.tensor_shapes.find(x_id);
    if (!dims) return axes;
    // A 0-D x takes axis 0 or -1 as Paddle reads it (its whole, one element).
    const int64_t rank = std::max<int64_t>(static_cast<int64_t>(dims->size()), 1);
    for (int64_t& a : axes) {
        if (!op.empty()) Converter::checked_axis(op, "axis", a, rank);
        if (a < 0) a += static_cast<int64_t>(dims->size());
    }
    return axes;
}

// Whether the value is recorded as a single value (rank 0).
bool is_rank0(const Converter& c, int64_t id) {
    const std::vector<int64_t>* dims = c.state.tensor_shapes.find(id);
    return dims && dims->empty();
}

// TopK and ArgMax take no bool values, and Paddle sorts none: refused, naming the operator.
void refuse_bool_operand(const Converter& c, std::string_view op_name, int64_t id) {
    if (c.onnx_dtype_if_known(id) == std::optional<int32_t>(proto::dtype::BOOL))
        throw Error("{} does not take bool inputs", op_name);
}

// A rank-0 value names only axis 0 (or -1); ONNX's TopK and ArgMax take no rank-0 input.
void check_rank0_axis(std::string_view op_name, int64_t axis) {
    if (axis != 0 && axis != -1)
        throw Error("{} axis {} is outside a rank-0 input, which takes 0 or -1", op_name, axis);
}

// A single value is its own top element and its own sorted order, at position 0: Paddle's
// topk and argsort of a rank-0 value give the value and index 0, both rank 0.
void append_rank0_sort(Converter& c, const std::string& x, const std::vector<std::string>& outputs,
                       const NameMaker& names) {
    c.append_node("Identity", {x}, {outputs[0]});
    if (outputs.size() < 2) return;
    c.push_i64_initializer(names("position"), {}, {0});
    c.append_node("Identity", {names("position")}, {outputs[1]});
}

// Whether recorded dims leave room for no elements at all: unknown dims, a 0 dim, or no record.
bool may_be_empty(const std::vector<int64_t>* dims) {
    if (!dims) return true;
    for (int64_t d : *dims)
        if (d <= 0) return true;
    return false;
}

// A run-time axes tensor as the reductions take it: int64 (other recorded types are cast), a
// list (a 0-D axis becomes a list of one), and, when x may be empty, with negative axes
// counted from the front at run time, for the reason given at axes_from_front.
std::string axes_input(Converter& c, int64_t x_id, int64_t id, int64_t out, std::string_view prefix) {
    std::string axes = c.ensure_i64_if_known(id, c.get_tensor_name(id),
                                             fmt::format("{}_axes_i64_{}", prefix, out));
    axes = c.axes_as_list(id, std::move(axes), fmt::format("{}_axes_list_{}", prefix, out));
    const std::vector<int64_t>* dims = c.state.tensor_shapes.find(x_id);
    if (!may_be_empty(dims)) return axes;
    const std::string base = fmt::format("{}_axes_from_front_{}", prefix, out);
    const std::string rank = base + "_rank";
    if (dims) {
        c.push_i64_initializer(rank, {}, {static_cast<int64_t>(dims->size())});
    } else {
        c.append_node("Shape", {c.get_tensor_name(x_id)}, {base + "_shape"});
        c.append_node("Size", {base + "_shape"}, {rank});
    }
    c.push_i64_initializer(base + "_zero", {}, {0});
    c.add_binary_node("Less", axes, base + "_zero", base + "_negative");
    c.add_binary_node("Add", axes, rank, base + "_added");
    c.append_node("Where", {base + "_negative", base + "_added", std::move(axes)}, {base});
    return base;
}

// Appends TopK(x, k) giving `outputs` (the values, then the indices when asked for). ONNX
// Runtime's TopK crashes (SIGFPE) on an input whose dims before the axis hold no elements
// while k is not 0, as when a batch is empty. Where x may be empty, the TopK runs with k 0
// on an empty x, which it takes, and its results are reshaped to x's dims with k along the
// axis: no elements either way. No subgraph is built, so a TopK in the deepest region the
// model may hold adds no level below it.
// `x_id` is the value whose recorded dims x has.
void append_topk(Converter& c, const std::string& x, int64_t x_id, const std::string& k, int64_t axis,
                 std::vector<std::string> outputs, std::vector<proto::AttributeProto> attributes,
                 const NameMaker& names) {
    const std::vector<int64_t>* dims = c.state.tensor_shapes.find(x_id);
    bool may_be_empty = dims == nullptr;
    if (dims) {
        const auto rank = static_cast<int64_t>(dims->size());
        const int64_t at = axis < 0 ? axis + rank : axis;
        for (int64_t d = 0; d < rank; ++d)
            if (d != at && (*dims)[static_cast<size_t>(d)] <= 0) may_be_empty = true;
    }
    if (!may_be_empty || outputs.empty() || outputs.size() > 2) {
        c.append_node("TopK", {x, k}, std::move(outputs), std::move(attributes));
        return;
    }
    c.append_node("Size", {x}, {names("size")});
    c.push_i64_initializer(names("zero"), {}, {0});
    c.add_binary_node("Equal", names("size"), names("zero"), names("is_empty"));
    c.push_i64_vector_initializer(names("no_k"), {0});
    c.append_node("Where", {names("is_empty"), names("no_k"), k}, {names("k_run")});
    std::vector<std::string> run_outs{names("run_values"), names("run_indices")};
    run_outs.resize(outputs.size());
    c.append_node("TopK", {x, names("k_run")}, run_outs, std::move(attributes));

    // x's dims with k along the axis: those before it, k, those after it (none after -1).
    constexpr int64_t kEnd = std::numeric_limits<int64_t>::max();
    const int64_t after = axis == -1 || axis == kEnd ? kEnd : axis + 1;
    c.append_node("Shape", {x}, {names("x_shape")});
    c.add_slice_node(names("x_shape"), names("dims_before"), {0}, {axis}, std::nullopt, std::nullopt,
                     names("dims_before"));
    c.add_slice_node(names("x_shape"), names("dims_after"), {after}, {kEnd}, std::nullopt, std::nullopt,
                     names("dims_after"));
    c.append_node("Concat", {names("dims_before"), k, names("dims_after")}, {names("result_shape")},
                  {helper::attr_int("axis", 0)});
    for (size_t i = 0; i < outputs.size(); ++i)
        c.append_node("Reshape", {run_outs[i], names("result_shape")}, {std::move(outputs[i])});
}

bool has_negative_axis(const std::vector<int64_t>& axes) {
    for (int64_t a : axes)
        if (a < 0) return true;
    return false;
}

// argsort of int32 by a key that makes every value distinct: x * (n + 1) plus the position
// (counted from the end when descending), so TopK's order among ties is the lower position on
// any backend; the values are then gathered back by the indices.
void append_keyed_sort(Converter& c, const std::string& x, int64_t x_id, const std::string& k,
                       int64_t axis, int64_t n, bool descending, const std::vector<std::string>& out_names,
                       std::vector<proto::AttributeProto> topk_attributes, const NameMaker& names) {
    const std::string key_input = names("input_i64");
    c.add_cast_node(x, key_input, proto::dtype::INT64);
    const std::string scale = names("tie_scale");
    c.push_i64_initializer(scale, {1}, {n + 1});
    const std::string tie_break = names("tie_break");
    std::vector<int64_t> tie_dims(c.state.tensor_shapes.find(x_id)->size(), 1);
    tie_dims[static_cast<size_t>(axis)] = n;
    std::vector<int64_t> positions(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i) positions[static_cast<size_t>(i)] = descending ? n - i : i;
    c.push_i64_initializer(tie_break, std::move(tie_dims), positions);
    const std::string scaled = names("scaled_input");
    c.add_binary_node("Mul", key_input, scale, scaled);
    const std::string key = names("key");
    c.add_binary_node("Add", scaled, tie_break, key);
    append_topk(c, key, x_id, k, axis, {names("key_values"), out_names[1]},
                std::move(topk_attributes), names);
    c.append_node("GatherElements", {x, out_names[1]}, {out_names[0]}, {helper::attr_int("axis", axis)});
}

// The names of topk's results, the values and then the indices.
std::vector<std::string> topk_output_names(const Converter& c, const Json& outs, int64_t primary) {
    std::vector<std::string> out_names;
    for (const Json& entry : outs.GetArray()) {
        const Json* id = helper::member(entry, "%");
        std::optional<int64_t> value = id ? helper::as_i64(*id) : std::nullopt;
        if (!value) throw Error("topk output missing id");
        out_names.push_back(c.get_tensor_name(*value));
    }
    // ONNX's TopK always gives the values and the indices: a program that keeps only the
    // values still needs a name for the indices, and a third result has no counterpart.
    if (out_names.size() > 2) throw Error("topk expects at most 2 outputs, got {}", out_names.size());
    if (out_names.size() == 1) out_names.push_back(NameMaker{"topk", primary}("unused_indices"));
    return out_names;
}

// Paddle refuses a k past the axis's length; ONNX's TopK would not load.
void check_topk_k_fits(const Converter& c, const IdList& ids, int64_t axis) {
    if (const std::vector<int64_t>* x_dims = c.state.tensor_shapes.find(ids[0]); x_dims && !x_dims->empty())
        if (const std::vector<double>* folded = c.state.const_values.find(ids[1]); folded && folded->size() == 1) {
            const int64_t rank = static_cast<int64_t>(x_dims->size());
            const int64_t length = (*x_dims)[static_cast<size_t>(axis < 0 ? axis + rank : axis)];
            if (length >= 0 && (*folded)[0] > static_cast<double>(length))
                throw Error("topk k {} is more than the {} elements along axis {}",
                            helper::fmt_f64((*folded)[0]), length, axis);
        }
}

// k as TopK takes it: int64, a one-element 1-D tensor (a rank-0 k would fail when the
// model runs).
std::string topk_k_input(Converter& c, int64_t k_id, int64_t primary) {
    std::string k = c.ensure_i64_input(k_id, primary, "topk_k");
    if (const std::vector<int64_t>* k_dims = c.state.tensor_shapes.find(k_id); k_dims && k_dims->empty()) {
        std::string vec = fmt::format("topk_k_1d_{}", primary);
        c.add_unsqueeze_node(std::move(k), vec, {0}, fmt::format("topk_k_1d_axes_{}", primary));
        return vec;
    }
    return c.one_value_of_rank(k_id, std::move(k), 1, fmt::format("topk_k_vector_{}", primary));
}

// The names of argsort's two results, the sorted values and then the indices.
std::vector<std::string> argsort_output_names(const Converter& c, const Json& outs) {
    std::vector<std::string> out_names;
    for (const Json& entry : outs.GetArray()) {
        const Json* id = helper::member(entry, "%");
        if (auto value = id ? helper::as_i64(*id) : std::nullopt)
            out_names.push_back(c.get_tensor_name(*value));
    }
    // With an entry skipped the sorted values would be written under the indices' name.
    if (out_names.size() < 2) throw Error("argsort output missing id");
    // TopK gives exactly the sorted values and their indices.
    if (out_names.size() > 2) throw Error("argsort expects two outputs, got {}", out_names.size());
    return out_names;
}

// The length of x's sorted axis, read from x's shape when the model runs: argsort's k.
std::string sorted_axis_length(Converter& c, const std::string& x, int64_t axis, const NameMaker& names) {
    const std::string shape = names("shape");
    c.append_node("Shape", {x}, {shape});
    const std::string axis_name = fmt::format("argsort_axis_{}", shape);
    c.push_i64_initializer(axis_name, {1}, {axis});
    const std::string k = fmt::format("argsort_k_{}", shape);
    c.append_node("Gather", {shape, axis_name}, {k});
    return k;
}

// Whether argsort sorts by the integer key of append_keyed_sort. The key form pins ties to
// the lower position on any backend. It is built only for int32: an int64 value times
// (n + 1) can leave the int64 range and sort wrongly, and the plain TopK already breaks ties
// by the lower index.
bool argsort_by_key(const Converter& c, int64_t x_id, bool stable, std::optional<int64_t> n) {
    const bool key_form =
        !stable && c.dtype_token_is(x_id, proto::dtype::INT32) && n && *n > 0 && *n <= kMaxKeyLength;
    if (!stable && (c.dtype_token_is(x_id, proto::dtype::FLOAT16) || c.dtype_token_is(x_id, proto::dtype::FLOAT) ||
                    c.dtype_token_is(x_id, proto::dtype::DOUBLE)))
        KLOG(Level::Warn, kTarget,
             "argsort with stable=false on floating inputs has backend-dependent tie order");
    return key_form;
}

}  // namespace

// A reduction of a rank-0 value: the value itself (cast when the reduction changes its
// type), lifted to [1] when that is the recorded output shape. False when the input is
// not known to be rank 0.
bool Converter::scalar_reduce_passthrough(int64_t input_id, int64_t output_id,
                                          std::optional<int32_t> cast_to) {
    const std::vector<int64_t>* in_dims = state.tensor_shapes.find(input_id);
    if (!in_dims || !in_dims->empty()) return false;
    std::string input = get_tensor_name(input_id);
    std::string output = get_tensor_name(output_id);
    const std::vector<int64_t>* out_dims = state.tensor_shapes.find(output_id);
    const bool to_vector = out_dims && *out_dims == std::vector<int64_t>{1};
    // A reduction that changes the element type (a sum of bool or int32 gives int64) does so
    // for a single element too.
    if (cast_to) {
        if (!to_vector) {
            add_cast_node(std::move(input), std::move(output), *cast_to);
            return true;
        }
        std::string cast = fmt::format("scalar_reduce_cast_{}", output_id);
        add_cast_node(std::move(input), cast, *cast_to);
        input = std::move(cast);
    }
    if (to_vector) {
        add_unsqueeze_node(std::move(input), std::move(output), {0},
                           fmt::format("scalar_reduce_axes_{}", output_id));
    } else {
        append_node("Identity", {std::move(input)}, {std::move(output)});
    }
    return true;
}

// A reduction of ids[0] over the axes ids[1] holds (every axis when there is none): x's dims
// without the reduced ones, or with 1 for each where `keepdims`.
void Converter::settle_reduced_output(std::string_view op, const IdList& ids, bool keepdims, int64_t out) {
    const bool tensor_axes = ids.size() >= 2 && ids[1] != 0;
    const std::vector<double>* folded = tensor_axes ? state.const_values.find(ids[1]) : nullptr;
    if (tensor_axes && !folded) {
        settle_reduced_over(op, ids[0], std::nullopt, keepdims, out);
        return;
    }
    settle_reduced_over(op, ids[0], folded ? helper::saturate_i64(*folded) : std::vector<int64_t>{}, keepdims, out);
}

// `axes` empty: every axis; nothing: axes known only at run time, which still keep x's rank
// where `keepdims` (each dim x's or 1), and leave the declaration as it is otherwise.
void Converter::settle_reduced_over(std::string_view op, int64_t x, const std::optional<std::vector<int64_t>>& axes,
                                    bool keepdims, int64_t out) {
    const std::vector<int64_t>* dims = state.tensor_shapes.find(x);
    if (!dims) return;
    std::vector<int64_t> result;
    if (!axes) {
        if (!keepdims) return;
        for (int64_t d : *dims) result.push_back(d == 1 ? 1 : -1);
        settle_output(op, out, std::nullopt, result, {x});
        return;
    }
    const int64_t rank = static_cast<int64_t>(dims->size());
    std::vector<bool> reduced(dims->size(), axes->empty());
    for (int64_t a : *axes) {
        if (a < -rank || a >= rank) return;
        reduced[static_cast<size_t>(a < 0 ? a + rank : a)] = true;
    }
    for (size_t k = 0; k < dims->size(); ++k) {
        if (!reduced[k]) result.push_back((*dims)[k]);
        else if (keepdims) result.push_back(1);
    }
    settle_output(op, out, std::nullopt, result, {x});
}

void Converter::op_reduce_sum(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"sum", out};
    const std::vector<int64_t> ids = helper::op_input_ids(op);
    // Paddle sums bool and int32 into int64 (and honours "dtype"); ReduceSum keeps its input
    // type and takes no bool, so the input is converted first.
    const std::optional<int32_t> x_type = onnx_dtype_if_known(ids[0]);
    const std::optional<int32_t> result_type = sum_result_dtype(*this, op, out, x_type);
    const bool convert = x_type && result_type && *x_type != *result_type;
    if (ids.size() >= 2 && ids[1] != 0)
        if (const std::vector<double>* axes = state.const_values.find(ids[1]))
            axes_from_front(*this, ids[0], helper::saturate_i64(*axes), "sum");
    if (scalar_reduce_passthrough(ids[0], out, convert ? result_type : std::nullopt)) return;
    std::string input = get_tensor_name(ids[0]);
    std::string output = get_tensor_name(out);
    const bool has_axes_input = ids.size() >= 2;
    std::string axes_name = has_axes_input ? optional_tensor_name(ids[1]) : std::string();
    const int64_t keepdims = keepdims_of(op, "keepdim");
    settle_reduced_output("sum", ids, keepdims != 0, out);

    // ReduceSum takes its axes as an input only from opset 13; below it they must be known
    // now to become the attribute.
    std::optional<std::vector<int64_t>> folded_axes;
    if (opset < 13 && has_axes_input && ids[1] != 0) {
        const std::vector<double>* folded = state.const_values.find(ids[1]);
        if (folded)
            folded_axes = axes_from_front(*this, ids[0], helper::saturate_i64(*folded));
        else
            require_opset("sum with tensor axes", 13);
    }

    if (convert) {
        std::string cast = names("input_cast");
        add_cast_node(std::move(input), cast, *result_type);
        input = std::move(cast);
    }
    // A sum that keeps an 8- or 16-bit integer (or bool) type is taken in int64 and cast back.
    const std::optional<int32_t> wide =
        result_type ? widened_reduce_type("ReduceSum", *result_type, opset) : std::nullopt;
    if (wide) {
        std::string cast = names("widened_input");
        add_cast_node(std::move(input), cast, *wide);
        input = std::move(cast);
    }
    const std::string final_output = std::move(output);
    output = wide ? names("widened") : final_output;

    if (opset < 13) {
        add_reduce_node("ReduceSum", std::move(input), output, axes_for_node(folded_axes, opset),
                        keepdims, fmt::format("sum_{}", out));
        if (wide) add_cast_node(std::move(output), final_output, *result_type);
        return;
    }
    std::vector<std::string> inputs{std::move(input)};
    const std::vector<double>* folded = has_axes_input ? state.const_values.find(ids[1]) : nullptr;
    const std::vector<int64_t> known_axes = folded ? helper::saturate_i64(*folded) : std::vector<int64_t>{};
    if (folded && has_negative_axis(known_axes) && state.tensor_shapes.find(ids[0])) {
        std::string axes = names("axes");
        push_i64_initializer(axes, {static_cast<int64_t>(known_axes.size())},
                             axes_from_front(*this, ids[0], known_axes));
        inputs.push_back(std::move(axes));
    } else if (has_axes_input) {
        inputs.push_back(ids[1] != 0 ? axes_input(*this, ids[0], ids[1], out, "sum") : axes_name);
    }
    append_node("ReduceSum", std::move(inputs), {output}, {helper::attr_int("keepdims", keepdims)});
    if (wide) add_cast_node(std::move(output), final_output, *result_type);
}

void Converter::reduce_via_const_axes(const Json& op, std::string_view onnx_op, std::string_view prefix) {
    const int64_t out = helper::op_out_id(op);
    const std::vector<int64_t> ids = helper::op_input_ids(op);
    // The recorded output type rules where it differs from the input's (a mean of integers
    // recorded as float): the input is cast to it first.
    const std::optional<int32_t> x_type = onnx_dtype_if_known(ids[0]);
    const std::optional<int32_t> out_type = onnx_dtype_if_known(out);
    const bool convert = x_type && out_type && *x_type != *out_type;
    const std::optional<int32_t> result_type = out_type ? out_type : x_type;
    const std::string_view what = prefix.substr(0, 7) == "reduce_" ? prefix.substr(7) : prefix;
    // Neither Paddle nor ONNX orders or averages bools.
    if (result_type == proto::dtype::BOOL)
        throw Error("{}: {} is bool, which it does not reduce", what, convert ? "the output" : "x");
    if (scalar_reduce_passthrough(ids[0], out, convert ? out_type : std::nullopt)) return;

    std::optional<std::vector<int64_t>> axes;
    bool tensor_axes = false;
    if (ids.size() >= 2) {
        if (const std::vector<double>* folded = state.const_values.find(ids[1]))
            axes = axes_from_front(*this, ids[0], helper::saturate_i64(*folded), what);
        else if (ids[1] != 0)
            tensor_axes = true;
    }
    // Axes known only at run time: reducing over every axis instead would be a wrong
    // result, so they go in as a tensor, which these reductions accept from opset 18.
    if (tensor_axes) {
        require_opset(fmt::format("{} with tensor axes", what), 18);
    }

    std::string input = get_tensor_name(ids[0]);
    std::string output = get_tensor_name(out);
    const int64_t keepdims = keepdims_of(op, "keepdim");
    settle_reduced_output(what, ids, keepdims != 0, out);
    // The reduce builder names its axes initializer "<prefix>_axes".
    const std::string axes_prefix = fmt::format("{}_{}", prefix, out);
    const NameMaker n{prefix, out};
    if (convert) {
        add_cast_node(std::move(input), n("input_cast"), *result_type);
        input = n("input_cast");
    }
    // A type the reduction has no form for is reduced in a wider one and cast back.
    const std::optional<int32_t> wide =
        result_type ? widened_reduce_type(onnx_op, *result_type, opset) : std::nullopt;
    if (wide) {
        add_cast_node(std::move(input), n("widened_input"), *wide);
        input = n("widened_input");
    }
    // ONNX Runtime's mean of nothing is 0, Paddle's is 0 / 0, NaN. When x may be empty, an
    // empty x (whose every result element then reduces over nothing) gives NaN.
    const bool nan_when_empty = onnx_op == "ReduceMean" && result_type &&
                                helper::is_float_onnx_dtype(*result_type) &&
                                may_be_empty(state.tensor_shapes.find(ids[0]));
    const std::string reduced = wide ? n("widened") : nan_when_empty ? n("value") : output;
    if (tensor_axes) {
        append_node(std::string(onnx_op), {input, axes_input(*this, ids[0], ids[1], out, prefix)}, {reduced},
                    {helper::attr_int("keepdims", keepdims)});
    } else {
        add_reduce_node(std::string(onnx_op), input, reduced, axes_for_node(axes, opset), keepdims,
                        axes_prefix);
    }
    if (wide) add_cast_node(reduced, std::move(output), *result_type);
    if (!nan_when_empty) return;
    append_node("Size", {input}, {n("size")});
    push_i64_initializer(n("zero"), {}, {0});
    add_binary_node("Equal", n("size"), n("zero"), n("empty"));
    push_numeric_initializer(n("nan"), {}, *result_type, {std::numeric_limits<double>::quiet_NaN()});
    append_node("Where", {n("empty"), n("nan"), reduced}, {std::move(output)});
}

// The values and the indices have x's dims with k along the axis (open when k is not folded).
void Converter::settle_topk_outputs(const Json& outs, const IdList& ids, int64_t axis) {
    const std::vector<int64_t>* x_dims = state.tensor_shapes.find(ids[0]);
    if (!x_dims || x_dims->empty()) return;
    std::vector<int64_t> dims = *x_dims;
    const size_t a = static_cast<size_t>(axis < 0 ? axis + static_cast<int64_t>(dims.size()) : axis);
    const std::vector<double>* folded = state.const_values.find(ids[1]);
    dims[a] = folded && folded->size() == 1 ? helper::saturate_i64((*folded)[0]) : -1;
    for (const Json& entry : outs.GetArray())
        if (const Json* id = helper::member(entry, "%"); id && helper::as_i64(*id))
            settle_output("topk", *helper::as_i64(*id), std::nullopt, dims, {ids[0]});
}

void Converter::op_topk(const Json& op) {
    const Json* outs = helper::member(op, "O");
    if (!outs || !outs->IsArray()) throw Error("topk missing outputs");
    const std::vector<int64_t> ids = helper::op_input_ids(op);
    const std::optional<int64_t> primary = helper::try_op_out_id(op);
    if (!primary) throw Error("topk missing primary output id");

    const int64_t axis = helper::op_attr_i64(op, "axis").value_or(-1);
    if (const std::vector<int64_t>* x_dims = state.tensor_shapes.find(ids[0]); x_dims && !x_dims->empty())
        checked_axis("topk", "axis", axis, static_cast<int64_t>(x_dims->size()));
    const bool largest = helper::op_attr_bool(op, "largest").value_or(true);
    const bool sorted = helper::op_attr_bool(op, "sorted").value_or(true);
    if (opset < 11) {
        // TopK-10 always returns the largest elements, sorted, and only for float types.
        if (!largest) require_opset("topk with largest=false", 11);
        if (auto x_type = onnx_dtype_if_known(ids[0]); x_type && !helper::is_float_onnx_dtype(*x_type))
            require_opset(fmt::format("topk of {} tensors", helper::onnx_dtype_name(*x_type)), 11);
    }

    std::vector<std::string> out_names = topk_output_names(*this, *outs, *primary);
    std::string x = get_tensor_name(ids[0]);
    refuse_bool_operand(*this, "topk", ids[0]);
    if (is_rank0(*this, ids[0])) {
        check_rank0_axis("topk", axis);
        if (const std::vector<double>* folded = state.const_values.find(ids[1]);
            folded && folded->size() == 1 && (*folded)[0] != 1.0)
            throw Error("topk k {} is more than the one element of a rank-0 input",
                        helper::fmt_f64((*folded)[0]));
        append_rank0_sort(*this, x, out_names, NameMaker{"topk", *primary});
        return;
    }

    check_topk_k_fits(*this, ids, axis);
    settle_topk_outputs(*outs, ids, axis);
    const std::string k = topk_k_input(*this, ids[1], *primary);

    // K is an input from opset 10 on; "largest" and "sorted" exist from opset 11.
    std::vector<proto::AttributeProto> attributes{helper::attr_int("axis", axis)};
    if (opset >= 11) {
        attributes.push_back(helper::attr_int("largest", largest ? 1 : 0));
        attributes.push_back(helper::attr_int("sorted", sorted ? 1 : 0));
    }
    append_topk(*this, x, ids[0], k, axis, std::move(out_names),
                std::move(attributes), NameMaker{"topk", *primary});
}

void Converter::op_argmax(const Json& op) {
    if (helper::op_attr_bool(op, "flatten") == std::optional<bool>(true))
        throw Error("argmax with flatten=true is not supported");
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"argmax", out};
    const std::vector<int64_t> ids = helper::op_input_ids(op);
    std::string output = get_tensor_name(out);

    // The axis is an attribute of ArgMax: its signature holds it to a constant, since
    // defaulting to axis 0 would give a wrong result.
    std::optional<int64_t> axis;
    if (ids.size() >= 2 && ids[1] != 0) {
        const std::vector<double>* folded = state.const_values.find(ids[1]);
        axis = helper::saturate_i64((*folded)[0]);
        // Counted from the front when the rank is known, for the reason given at axes_from_front.
        axis = axes_from_front(*this, ids[0], {*axis}, "argmax").front();
        // An axis known to hold no elements has no largest one: Paddle refuses it.
        if (const std::vector<int64_t>* dims = state.tensor_shapes.find(ids[0]);
            dims && *axis >= 0 && static_cast<size_t>(*axis) < dims->size() && (*dims)[static_cast<size_t>(*axis)] == 0)
            throw Error("argmax over axis {}, which holds no elements", *axis);
    }

    const bool to_i32 = dtype_token_is(out, proto::dtype::INT32);
    std::string result = to_i32 ? names("i64") : output;
    refuse_bool_operand(*this, "argmax", ids[0]);
    // The position of a single value is 0, rank 0 whatever keepdims says.
    if (is_rank0(*this, ids[0])) {
        if (axis) check_rank0_axis("argmax", *axis);
        push_i64_initializer(names("position"), {}, {0});
        append_node("Identity", {names("position")}, {result});
        if (to_i32) add_cast_node(std::move(result), std::move(output), proto::dtype::INT32);
        return;
    }
    std::string x = get_tensor_name(ids[0]);
    // ONNX Runtime's ArgMax has no int16 kernel; Paddle's has, and int32 keeps the order.
    if (dtype_token_is(ids[0], proto::dtype::INT16)) {
        add_cast_node(std::move(x), names("i32_input"), proto::dtype::INT32);
        x = names("i32_input");
    }
    std::vector<proto::AttributeProto> attributes;
    if (axis) attributes.push_back(helper::attr_int("axis", *axis));
    attributes.push_back(helper::attr_int("keepdims", keepdims_of(op, "keepdims")));
    if (axis) settle_reduced_output("argmax", ids, keepdims_of(op, "keepdims") != 0, out);
    append_node("ArgMax", {std::move(x)}, {result}, std::move(attributes));
    if (to_i32) add_cast_node(std::move(result), std::move(output), proto::dtype::INT32);
}

void Converter::op_argsort(const Json& op) {
    const Json* outs = helper::member(op, "O");
    if (!outs || !outs->IsArray()) throw Error("argsort missing outputs");
    if (outs->Size() < 2) throw Error("argsort expects two outputs");
    const std::vector<int64_t> ids = helper::op_input_ids(op);
    const std::string x = get_tensor_name(ids[0]);
    const int64_t axis = helper::op_attr_i64(op, "axis").value_or(-1);
    if (const std::vector<int64_t>* x_dims = state.tensor_shapes.find(ids[0]); x_dims && !x_dims->empty())
        checked_axis("argsort", "axis", axis, static_cast<int64_t>(x_dims->size()));
    const bool descending = helper::op_attr_bool(op, "descending").value_or(false);
    const bool stable = helper::op_attr_bool(op, "stable").value_or(false);

    std::vector<std::string> out_names = argsort_output_names(*this, *outs);
    // TopK gains "largest" and "sorted", and GatherElements appears, at opset 11.
    require_opset("argsort", 11);
    refuse_bool_operand(*this, "argsort", ids[0]);
    const NameMaker names{"argsort", helper::try_op_out_id(op).value_or(0)};
    if (is_rank0(*this, ids[0])) {
        check_rank0_axis("argsort", axis);
        append_rank0_sort(*this, x, out_names, names);
        return;
    }

    const std::vector<int64_t>* dims = state.tensor_shapes.find(ids[0]);
    int64_t resolved = axis;
    if (dims) {
        resolved = axis < 0 ? axis + static_cast<int64_t>(dims->size()) : axis;
    } else if (axis < 0) {
        require_opset("argsort negative axis gather", 13);
    }
    const std::string k = sorted_axis_length(*this, x, resolved, names);

    std::optional<int64_t> n;
    if (dims && resolved >= 0 && static_cast<uint64_t>(resolved) < dims->size()) n = (*dims)[resolved];
    std::vector<proto::AttributeProto> topk_attributes{helper::attr_int("axis", resolved),
                                                       helper::attr_int("largest", descending ? 1 : 0),
                                                       helper::attr_int("sorted", 1)};
    if (!argsort_by_key(*this, ids[0], stable, n)) {
        append_topk(*this, x, ids[0], k, resolved, std::move(out_names), std::move(topk_attributes), names);
        return;
    }

    append_keyed_sort(*this, x, ids[0], k, resolved, *n, descending, out_names, std::move(topk_attributes), names);
}

}  // namespace kestro
