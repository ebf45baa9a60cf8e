// Constant tensors, cast and clip, filled and ranged tensors, expand, and slicing.
#include <algorithm>
#include <cstring>
#include <limits>

#include "converter/converter.h"
#include "log.h"

namespace kestro {

namespace {

constexpr const char* kTarget = "kestro::converter::ops::array";

// The longest shape a run-time expand is lined up against, as the slicing lowerings bound
// their axis lists.
constexpr int64_t kMaxExpandRank = 64;

// Number list of an attribute: every element that reads as a number (plain, the special
// texts, or an object through its "D"/"VD"); others are skipped.
std::vector<double> collect_f64_items(const Json& values) { return helper::numbers_as_f64(values); }

std::vector<int64_t> shape_attr(const Json& op) { return helper::op_attr_i64_items(op, "shape"); }

// Element count of non-negative dims; empty on overflow. A 0 dim makes the count 0
// whatever the other dims say.
std::optional<int64_t> element_count(const std::vector<int64_t>& dims) {
    for (int64_t d : dims)
        if (d == 0) return 0;
    int64_t count = 1;
    for (int64_t d : dims) {
        auto next = helper::checked_mul(count, d);
        if (!next) return std::nullopt;
        count = *next;
    }
    return count;
}

bool has_negative(const std::vector<int64_t>& dims) {
    for (int64_t d : dims)
        if (d < 0) return true;
    return false;
}

bool is_integer_dtype(int32_t code) {
    using namespace proto::dtype;
    return code == UINT8 || code == INT8 || code == INT16 || code == INT32 || code == INT64 ||
           code == UINT16 || code == UINT32 || code == UINT64;
}

// The bytes of `values`, or of `values[0]` repeated `repeat` times when `repeat` > 0. For an
// integer element type, `data` (the attribute the values were folded from) gives each element
// the program writes as an integer in the signed 64-bit range: it is written from that integer,
// wrapping into the element type (the low bytes of its two's complement), as a double rounds
// integers past 2^53; the others are written from `values`. The numbers are read from `data`
// as the bytes are written, so a long list is held once as numbers and once as bytes.
std::vector<uint8_t> encode_elements(int32_t dtype, const std::vector<double>& values, int64_t repeat,
                                     const Json* data = nullptr) {
    std::vector<uint8_t> out;
    const size_t width = helper::onnx_dtype_size(dtype);
    if (data && is_integer_dtype(dtype)) {
        out.reserve(values.size() * width);
        size_t k = 0;
        helper::each_number_exact(*data, [&](double, std::optional<int64_t> whole) {
            if (k < values.size() && whole) {
                const auto v = static_cast<uint64_t>(*whole);
                for (size_t b = 0; b < width; ++b) out.push_back(static_cast<uint8_t>(v >> (8 * b)));
            } else if (k < values.size()) {
                Converter::append_f64_as_raw_data(out, dtype, values[k]);
            }
            ++k;
        });
        // Values not read from this list one for one (a single number in its place): the
        // folded values are all there is.
        if (k != values.size()) {
            std::vector<uint8_t>().swap(out);
            out = Converter::encode_f64_values_as_raw_data(dtype, repeat > 0 ? std::vector<double>{values[0]} : values);
        }
    } else {
        out = Converter::encode_f64_values_as_raw_data(dtype, repeat > 0 ? std::vector<double>{values[0]} : values);
    }
    if (repeat > 0) {
        const size_t n = static_cast<size_t>(repeat);
        out.resize(width * n);
        for (size_t k = 1; k < n; ++k) std::memcpy(out.data() + k * width, out.data(), width);
    }
    return out;
}

// Integer list that takes only {"D": integer} objects; bare integers are skipped.
std::vector<int64_t> collect_wrapped_i64_items(const Json& values, const Json& op, std::string_view name) {
    std::vector<int64_t> out;
    if (!values.IsArray()) return out;
    for (const Json& v : values.GetArray())
        if (const Json* d = helper::member(v, "D"))
            out.push_back(helper::attr_data_i64(*d, helper::op_label(op), name));
    return out;
}

std::vector<int64_t> i64_list_attr(const Json& op, std::string_view name, bool wrapped_only) {
    const Json* d = helper::attr(op, name);
    if (!d || !d->IsArray()) return {};
    return wrapped_only ? collect_wrapped_i64_items(*d, op, name) : helper::collect_i64_items(*d, op, name);
}

// The element type a full's "dtype" names; nothing without one. full_int_array passes over
// a word it does not know.
std::optional<int32_t> full_given_dtype(const Json& op, bool int_array) {
    std::optional<int32_t> given_dtype;
    if (auto word = helper::op_attr_str(op, "dtype")) {
        if (auto code = helper::paddle_dtype_token_to_onnx(*word))
            given_dtype = code;
        else if (!int_array)
            throw Error("full: unsupported dtype {}", helper::fmt_text(*word));
    }
    return given_dtype;
}

// How the n folded values of a full are written: the initializer's dims, how many elements
// it holds, and whether one value fills them all.
struct FullLayout {
    std::vector<int64_t> dims;
    int64_t repeat = 0;  // > 0 when one value fills the whole shape
    int64_t elements = 0;
};

FullLayout full_layout(std::string_view full_name, const std::vector<int64_t>& shape, int64_t n, bool int_array,
                       const std::string& name) {
    std::vector<int64_t> dims;
    int64_t count = 0;                 // elements the shape asks for; -1 when dynamic
    int64_t repeat = 0;                // > 0 when one value fills the whole shape
    int64_t elements = n;
    if (has_negative(shape)) {
        KLOG(Level::Warn, kTarget, "full initializer {} has dynamic shape {}; materializing as 1D fallback",
             helper::fmt_text(name), helper::fmt_dims(shape));
        dims = {n};
        count = -1;
    } else {
        // An integer array whose shape overflows keeps its values as a 1-D tensor below.
        auto c = element_count(shape);
        if (!c && !int_array)
            throw Error("{} initializer shape {} has more than {} elements", full_name,
                        helper::fmt_dims(shape), Converter::kMaxMaterializedElements);
        count = c.value_or(-1);
        dims = shape;
        if (count == 0) {
            elements = 0;
        } else if (!shape.empty() && count >= 2 && n == 1) {
            repeat = count;
            elements = count;
        }
    }
    // An integer array is at least one-dimensional, and its values win over a shape that
    // does not fit them.
    if (int_array && (dims.empty() || count != elements)) {
        dims = {n};
        repeat = 0;
        elements = n;
    }
    if (elements > Converter::kMaxMaterializedElements)
        throw Error("{} initializer shape {} has more than {} elements", full_name,
                    helper::fmt_dims(dims), Converter::kMaxMaterializedElements);
    const int64_t expected = *element_count(dims);  // dims were checked for overflow above
    if (expected != elements)
        throw Error("{} initializer shape {} expects {} values, got {}", full_name,
                    helper::fmt_dims(dims), expected, elements);
    return {std::move(dims), repeat, elements};
}

}  // namespace

void Converter::op_full(std::string_view full_name, const Json& op) {
    const auto id = helper::try_op_out_id(op);
    if (!id) return;  // nothing to name: the folder recorded nothing either
    const int64_t out = *id;
    const std::vector<int64_t> shape = shape_attr(op);
    const bool int_array = full_name == "1.full_int_array";
    // Paddle fills a shape of known sizes only: a negative dim has no size to fill.
    if (!int_array && has_negative(shape))
        throw Error("full: shape {} has a negative dim, which Paddle refuses", helper::fmt_dims(shape));
    const std::vector<double>* folded = state.const_values.find(out);
    if (!folded) return;
    const std::vector<double>& values = *folded;

    const std::optional<int32_t> given_dtype = full_given_dtype(op, int_array);
    const int32_t dtype = given_dtype.value_or(proto::dtype::INT64);
    std::string name = get_tensor_name(out);

    FullLayout layout = full_layout(full_name, shape, static_cast<int64_t>(values.size()), int_array, name);

    // Consumers are lowered against the declared output, so it must be what is written
    // (a dynamic shape is compared as the attribute gives it).
    // Without a dtype the values are int64, which a declaration of another type contradicts.
    const std::string_view what = int_array ? "full_int_array" : "full";
    if (const std::optional<int32_t> declared = onnx_dtype_if_known(out); !given_dtype && declared && *declared != dtype)
        throw declared_result_error(what, std::to_string(out), fmt_tensor_type(declared, recorded_dims(state, out)),
                                    "without a dtype attribute it makes int64 values");
    settle_output(what, out, given_dtype, has_negative(shape) && !int_array ? shape : layout.dims);

    if (layout.elements > 0)
        reserve_materialized(uint64_t(layout.elements) * encode_scalar_f64_as_raw_data(dtype, 0.0).size(),
                             full_name);
    std::vector<uint8_t> bytes =
        layout.elements == 0
            ? std::vector<uint8_t>{}
            : encode_elements(dtype, values, layout.repeat, int_array ? helper::attr(op, "value") : nullptr);
    graph.initializer.push_back(raw_tensor(std::move(name), std::move(layout.dims), dtype, std::move(bytes)));
}

void Converter::op_assign_value(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    auto word = helper::op_attr_str(op, "dtype");
    if (!word) throw Error("assign_value_: missing dtype");
    auto dtype = helper::paddle_dtype_token_to_onnx(*word);
    if (!dtype) throw Error("assign_value_: unsupported dtype {}", helper::fmt_text(*word));
    const std::vector<int64_t> shape = shape_attr(op);
    // The first pass folded the values as the element type holds them (2.7 as int32 is 2).
    const Json* values_attr = helper::attr(op, "values");
    const std::vector<double>* folded = state.const_values.find(out);
    const std::vector<double> unfolded =
        folded || !values_attr ? std::vector<double>{} : collect_f64_items(*values_attr);
    const std::vector<double>& values = folded ? *folded : unfolded;
    std::string name = get_tensor_name(out);

    std::vector<int64_t> dims = shape;
    if (dims.empty() && values.size() > 1) dims = {static_cast<int64_t>(values.size())};
    // A negative dim or an overflowing product would otherwise wrap around into a count
    // that happens to match, and write a tensor whose dims contradict its data.
    if (has_negative(dims))
        throw Error("assign_value_ shape {} has a negative dim", helper::fmt_dims(dims));
    auto count = element_count(dims);
    if (!count)
        throw Error("assign_value_ shape {} has too many elements", helper::fmt_dims(dims));
    if (*count != static_cast<int64_t>(values.size()))
        throw Error("assign_value_ shape {} expects {} values, got {}", helper::fmt_dims(dims),
                    *count, values.size());
    if (!values.empty())
        reserve_materialized(values.size() * encode_scalar_f64_as_raw_data(*dtype, 0.0).size(),
                             "assign_value_");
    std::vector<uint8_t> bytes = encode_elements(*dtype, values, 0, values_attr);
    graph.initializer.push_back(raw_tensor(std::move(name), std::move(dims), *dtype, std::move(bytes)));
}

void Converter::op_cast(const Json& op) {
    auto word = helper::op_attr_str(op, "dtype");
    if (!word) throw Error("cast: missing dtype");
    auto to = helper::paddle_dtype_token_to_onnx(*word);
    if (!to) throw Error("cast: unsupported dtype {}", helper::fmt_text(*word));
    const std::vector<int64_t> ids = helper::op_input_ids(op);
    const int64_t out = helper::op_out_id(op);
    settle_output_like("cast", out, {ids[0]}, *to);
    std::string input = get_tensor_name(ids[0]);
    add_cast_node(std::move(input), get_tensor_name(out), *to);
}

void Converter::op_clip(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"clip", out};
    const std::vector<int64_t> ids = helper::op_input_ids(op);
    const std::optional<int32_t> x_type = maybe_onnx_dtype_for_tensor_id(ids[0]);
    // Neither Paddle nor ONNX clips bools.
    if (x_type && !helper::is_float_onnx_dtype(*x_type) && !is_integer_dtype(*x_type))
        throw Error("clip: x is {}, but it must be a number type", helper::onnx_dtype_name(*x_type));
    // Clip accepts integer tensors only from opset 12; below it the model would not load.
    if (x_type && is_integer_dtype(*x_type))
        require_opset(fmt::format("clip of {} tensors", helper::onnx_dtype_name(*x_type)), 12);
    settle_output_like("clip", out, {ids[0]});

    if (opset < 11) {
        // Before opset 11 the bounds are float attributes, so they must be known now.
        std::vector<proto::AttributeProto> attributes;
        for (size_t i = 1; i < ids.size() && i <= 2; ++i) {
            if (ids[i] == 0) continue;
            const std::vector<double>* bound = state.const_values.find(ids[i]);
            if (!bound || bound->empty()) require_opset("clip with tensor bounds", 11);
            attributes.push_back(helper::attr_float(i == 1 ? "min" : "max", helper::to_f32_or_inf((*bound)[0])));
        }
        append_node("Clip", {get_tensor_name(ids[0])}, {get_tensor_name(out)}, std::move(attributes));
        return;
    }

    // ONNX Runtime has no Clip for 16-bit integers: they are clipped as int32, which holds
    // them and their bounds exactly, and cast back.
    const bool widen = x_type && (*x_type == proto::dtype::INT16 || *x_type == proto::dtype::UINT16);
    const std::optional<int32_t> compute_type = widen ? std::optional<int32_t>{proto::dtype::INT32} : x_type;
    std::vector<std::string> inputs{get_tensor_name(ids[0])};
    if (widen) {
        add_cast_node(inputs[0], names("wide_input"), proto::dtype::INT32);
        inputs[0] = names("wide_input");
    }
    for (size_t i = 1; i < ids.size(); ++i) {
        std::string name = optional_tensor_name(ids[i]);  // an absent bound: no bound
        if (ids[i] != 0) {
            // Clip takes one element type for all inputs...
            if (compute_type) {
                auto bound_type = onnx_dtype_if_known(ids[i]);
                const bool float_bound = dtype_token_is(ids[i], proto::dtype::FLOAT) ||
                                         dtype_token_is(ids[i], proto::dtype::DOUBLE);
                if ((bound_type && *bound_type != *compute_type) ||
                    (float_bound && *compute_type != proto::dtype::FLOAT)) {
                    std::string cast = names("cast", i);
                    add_cast_node(std::move(name), cast, *compute_type);
                    name = std::move(cast);
                }
            }
            // ...and scalar bounds, while Paddle hands them over as [1]-shaped tensors.
            const std::vector<int64_t>* dims = state.tensor_shapes.find(ids[i]);
            if (dims && !dims->empty()) {
                std::string scalar = names("scalar", i);
                add_squeeze_node(std::move(name), scalar, std::nullopt);
                name = std::move(scalar);
            }
        }
        inputs.push_back(std::move(name));
    }
    if (!widen) {
        append_node("Clip", std::move(inputs), {get_tensor_name(out)});
        return;
    }
    append_node("Clip", std::move(inputs), {names("wide")});
    add_cast_node(names("wide"), get_tensor_name(out), *x_type);
}

// ---- filled and ranged tensors ----

namespace {

// The "dtype" attribute of the creation lowerings as an ONNX type; a word outside the
// table, or data that is not text, gives nothing and the lowering keeps its input's type.
std::optional<int32_t> creation_dtype(const Json& op) {
    auto word = helper::op_attr_str(op, "dtype");
    return word ? helper::paddle_dtype_token_to_onnx(*word) : std::nullopt;
}

// The type Range computes in for an arange of type `code`: Range takes one type for all
// three bounds, and only floats, doubles and 16-, 32- and 64-bit integers.
int32_t range_type_for(int32_t code) {
    using namespace proto::dtype;
    if (code == FLOAT || code == DOUBLE || code == INT16 || code == INT32 || code == INT64) return code;
    return code == FLOAT16 ? FLOAT : INT64;
}

// Paddle counts a float32 arange's elements as ceil((end - start) / step) in float32, where
// Range divides in double: arange(0, 0.3, 0.1) has 3 elements in Paddle and 4 in Range. The
// count is taken the float32 way and Range gets start + (count - 0.5) * step as its limit,
// half a step short of the last element, which gives that count in either precision.
std::string float_range_limit(Converter& c, const NameMaker& name, const std::vector<std::string>& bounds) {
    c.add_binary_node("Sub", bounds[1], bounds[0], name("span"));
    c.add_binary_node("Div", name("span"), bounds[2], name("ratio"));
    c.append_node("Ceil", {name("ratio")}, {name("count")});
    c.push_f32_initializer(name("half"), {}, {0.5f});
    c.add_binary_node("Sub", name("count"), name("half"), name("steps"));
    c.add_binary_node("Mul", name("steps"), bounds[2], name("offset"));
    c.add_binary_node("Add", bounds[0], name("offset"), name("limit"));
    return name("limit");
}

}  // namespace

void Converter::op_full_like(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"full_like", out};
    const std::vector<int64_t> ids = helper::op_input_ids(op);
    const std::string shape = names("shape");
    append_node("Shape", {get_tensor_name(ids[0])}, {shape});
    std::string fill = get_tensor_name(ids[1]);
    const std::optional<int32_t> made = creation_dtype(op) ? creation_dtype(op) : onnx_dtype_if_known(ids[1]);
    // The result has x's dims, whatever the fill's.
    settle_output("full_like", out, made, recorded_dims(state, ids[0]), {ids[0]});
    if (auto to = creation_dtype(op)) {
        std::string cast = names("cast");
        add_cast_node(std::move(fill), cast, *to);
        fill = std::move(cast);
    }
    // The fill comes as a [1]-shaped tensor; expanded to the empty shape of a rank-0 x it
    // would keep its one dim, and x's rank is not always known: it is expanded as a 0-D one.
    const std::vector<int64_t>* fill_dims = state.tensor_shapes.find(ids[1]);
    if (fill_dims && *fill_dims == std::vector<int64_t>{1}) {
        std::string scalar = names("scalar");
        add_squeeze_node(std::move(fill), scalar, std::vector<int64_t>{0},
                         names("scalar_axes"));
        fill = std::move(scalar);
    } else {
        // A fill of any other rank ([1, 1, 1]) would lift the result to its rank.
        fill = one_value_of_rank(ids[1], std::move(fill), 0, names("value_scalar"));
    }
    append_node("Expand", {std::move(fill), shape}, {get_tensor_name(out)});
}

void Converter::op_full_with_tensor(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"full_with_tensor", out};
    const std::vector<int64_t> ids = helper::op_input_ids(op);
    std::string fill = get_tensor_name(ids[0]);
    if (auto to = creation_dtype(op)) {
        std::string cast = names("cast");
        add_cast_node(std::move(fill), cast, *to);
        fill = std::move(cast);
    }
    // Paddle fills the shape with the one value: a [1, 1] fill would otherwise lift a 1-D
    // result to rank 2.
    fill = one_value_of_rank(ids[0], std::move(fill), 1, names("value_scalar"));
    // Expand reads its shape as int64 only; shape tensors often come as int32.
    std::string shape = ensure_i64_if_known(ids[1], get_tensor_name(ids[1]), names("shape_i64"));
    const std::vector<int64_t>* shape_dims = state.tensor_shapes.find(ids[1]);
    if (shape_dims && shape_dims->empty()) {
        std::string vec = names("shape");
        add_unsqueeze_node(std::move(shape), vec, {0}, names("shape_axes"));
        shape = std::move(vec);
    } else if (shape_dims && shape_dims->size() > 1) {
        // Paddle reads the sizes flattened ([1, 2] holds two); Expand takes them 1-D.
        const std::string flat_shape = names("shape_flat_shape");
        push_i64_vector_initializer(flat_shape, {-1});
        append_node("Reshape", {std::move(shape), flat_shape}, {names("shape")});
        shape = names("shape");
    }
    append_node("Expand", {std::move(fill), std::move(shape)}, {get_tensor_name(out)});
}

namespace {

// Range of the three bounds of an arange or a range: each [1]-shaped bound squeezed to the
// scalar Range takes, all brought to the one type Range computes in, and the result cast to
// the operator's type. `what` names the operator in messages and value names.
void append_range(Converter& c, const Json& op, std::string_view what) {
    c.require_opset(what, 11);  // Range
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{what, out};
    const std::vector<int64_t> ids = helper::op_input_ids(op);
    std::optional<int32_t> dtype = creation_dtype(op);
    if (!dtype) {
        // Without a "dtype" the bounds' own type is kept, when they share one that Range
        // takes; otherwise the result's recorded type (else the start's) is the one to reach.
        const std::optional<int32_t> first = c.onnx_dtype_if_known(ids[0]);
        bool one_type = !first || range_type_for(*first) == *first;
        for (size_t pos = 1; pos < 3 && one_type; ++pos) {
            const std::optional<int32_t> t = c.onnx_dtype_if_known(ids[pos]);
            one_type = !t || !first || *t == *first;
        }
        if (!one_type) dtype = c.onnx_dtype_if_known(out) ? c.onnx_dtype_if_known(out) : first;
    }
    c.settle_output(what, out, creation_dtype(op), std::nullopt);
    std::vector<std::string> bounds;
    for (size_t pos = 0; pos < 3; ++pos) {
        std::string name = c.get_tensor_name(ids[pos]);
        const std::vector<int64_t>* dims = c.state.tensor_shapes.find(ids[pos]);
        // Range takes single values: a bound known to hold another count makes no model.
        if (dims && std::any_of(dims->begin(), dims->end(), [](int64_t d) { return d == 0 || d > 1; }))
            throw Error("{} bound {} has dims {}, where one value is taken", what, pos, helper::fmt_dims(*dims));
        if (dims && *dims == std::vector<int64_t>{1}) {
            std::string squeezed = names("squeezed", pos);
            c.add_squeeze_node(std::move(name), squeezed, std::vector<int64_t>{0}, names("squeeze_axes", pos));
            name = std::move(squeezed);
        } else if (dims && !dims->empty()) {
            // Paddle reads the one value of a bound of any rank ([1, 1] or [-1, 1]).
            name = c.one_value_of_rank(ids[pos], std::move(name), 0, names("scalar", pos));
        }
        // Paddle computes in the output type, so bounds of another type (a float16 arange's,
        // or a mixed set) are brought to the type Range runs in.
        if (dtype) {
            const int32_t want = range_type_for(*dtype);
            auto have = c.onnx_dtype_if_known(ids[pos]);
            if (have && *have != want) {
                std::string cast = names("cast", pos);
                c.add_cast_node(std::move(name), cast, want);
                name = std::move(cast);
            }
        }
        bounds.push_back(std::move(name));
    }
    const std::optional<int32_t> range_type = dtype ? range_type_for(*dtype) : c.onnx_dtype_if_known(ids[0]);
    if (range_type == proto::dtype::FLOAT) bounds[1] = float_range_limit(c, names, bounds);
    if (!dtype) {
        c.append_node("Range", std::move(bounds), {c.get_tensor_name(out)});
        return;
    }
    const std::string raw = names("raw");
    c.append_node("Range", std::move(bounds), {raw});
    c.add_cast_node(raw, c.get_tensor_name(out), *dtype);
}

}  // namespace

void Converter::op_arange(const Json& op) { append_range(*this, op, "arange"); }

// The older operator of the same meaning: its bounds and, when present, its "dtype" read as
// arange's.
void Converter::op_range(const Json& op) { append_range(*this, op, "range"); }

// ---- expand ----

// Paddle expands a dim of size 1 to any size, keeps one where the target says -1, and
// refuses to change any other: a target that does would give an Expand that fails to load.
void Converter::check_expand_target(int64_t x, const std::vector<int64_t>& target) const {
    const std::vector<int64_t>* dims = state.tensor_shapes.find(x);
    if (!dims) return;
    if (target.size() < dims->size())
        throw Error("expand: shape {} has fewer dims than x dims {}", helper::fmt_dims(target),
                    helper::fmt_dims(*dims));
    const size_t lead = target.size() - dims->size();
    for (size_t k = 0; k < target.size(); ++k) {
        const int64_t t = target[k];
        if (t < -1 || (k < lead && t == -1))
            throw Error("expand: shape {} holds {} at dim {}", helper::fmt_dims(target), t, k);
        if (k < lead) continue;
        const int64_t d = (*dims)[k - lead];
        if (t >= 0 && d >= 0 && d != 1 && d != t)
            throw Error("expand: x dims {} cannot expand to shape {}", helper::fmt_dims(*dims),
                        helper::fmt_dims(target));
    }
}

void Converter::op_expand(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"expand", out};
    const std::vector<int64_t> ids = helper::op_input_ids(op);
    std::string x = get_tensor_name(ids[0]);
    const int64_t shape_id = ids[1];
    require_shape_operand_1d("expand", shape_id);

    std::vector<ExpandShapePart> parts;
    if (const std::vector<double>* folded = state.const_values.find(shape_id)) {
        const std::vector<int64_t> values = helper::saturate_i64(*folded);
        check_expand_target(ids[0], values);
        if (has_negative(values))
            for (int64_t v : values) parts.push_back({false, v});
    }
    if (parts.empty()) {
        if (const IdList* stacked = state.stack_inputs.find(shape_id)) {
            for (int64_t id : *stacked) {
                const std::vector<double>* v = state.const_values.find(id);
                if (v && !v->empty() && (*v)[0] < 0.0) {
                    for (int64_t s : *stacked) parts.push_back({true, s});
                    break;
                }
            }
        }
    }
    if (!parts.empty()) {
        std::string shape = build_expand_shape(ids[0], out, parts);
        append_node("Expand", {std::move(x), std::move(shape)}, {get_tensor_name(out)});
        return;
    }

    // Expand reads its shape as int64 only; shape tensors often come as int32.
    std::string shape = ensure_i64_if_known(shape_id, get_tensor_name(shape_id), names("shape_i64"));
    // A shape computed at run time may still hold -1 for "keep x's size", which Expand
    // does not know.
    if (!state.const_values.find(shape_id)) shape = keep_sizes_where_negative(ids[0], shape_id, out, shape);
    append_node("Expand", {std::move(x), std::move(shape)}, {get_tensor_name(out)});
}

std::string Converter::keep_sizes_where_negative(int64_t x_id, int64_t shape_id, int64_t out_id,
                                                 const std::string& shape) {
    const NameMaker names{"expand", out_id};
    std::optional<int64_t> length;
    if (const std::vector<int64_t>* dims = state.tensor_shapes.find(shape_id); dims && dims->size() == 1 &&
                                                                              (*dims)[0] >= 0)
        length = (*dims)[0];
    else if (const IdList* stacked = state.stack_inputs.find(shape_id))
        length = static_cast<int64_t>(stacked->size());
    const std::vector<int64_t>* x_dims = state.tensor_shapes.find(x_id);
    const std::optional<int64_t> rank =
        x_dims ? std::optional<int64_t>(static_cast<int64_t>(x_dims->size())) : std::nullopt;
    // A declared length is only metadata; bound it before it sizes any list.
    if (length && *length > kMaxExpandRank)
        throw Error("expand: shape of length {} exceeds the largest supported rank {}", *length,
                    kMaxExpandRank);
    if (length && rank && *length < *rank)
        throw Error("expand: output rank {} smaller than input rank {} for tensor {}", *length, *rank, x_id);

    // x's sizes lined up with the shape from the right; a new leading axis counts as 1.
    std::string sizes = names("input_shape");
    append_node("Shape", {get_tensor_name(x_id)}, {sizes});
    std::string ones = names("leading_ones");
    if (length && rank) {
        if (*length > *rank)
            push_i64_initializer(ones, {*length - *rank},
                                 std::vector<int64_t>(static_cast<size_t>(*length - *rank), 1));
    } else {
        // Either length is known only when the model runs: count the new axes there.
        const std::string shape_length = names("shape_length");
        append_node("Shape", {shape}, {shape_length});
        const std::string x_rank = names("input_rank");
        append_node("Shape", {sizes}, {x_rank});
        const std::string leading = names("leading_count");
        add_binary_node("Sub", shape_length, x_rank, leading);
        const std::string one = names("one");
        push_i64_initializer(one, {}, {1});
        append_node("Expand", {one, leading}, {ones});
    }
    if (!(length && rank && *length == *rank)) {
        const std::string aligned = names("aligned_shape");
        append_node("Concat", {ones, sizes}, {aligned}, {helper::attr_int("axis", 0)});
        sizes = aligned;
    }
    const std::string zero = names("zero");
    push_i64_initializer(zero, {}, {0});
    const std::string negative = names("shape_negative");
    add_binary_node("Less", shape, zero, negative);
    const std::string resolved = names("shape_resolved");
    append_node("Where", {negative, sizes, shape}, {resolved});
    return resolved;
}

std::string Converter::build_expand_shape(int64_t x_id, int64_t out_id,
                                          const std::vector<ExpandShapePart>& parts) {
    const NameMaker expand_name{"expand", out_id};
    const int64_t out_rank = static_cast<int64_t>(parts.size());
    std::optional<std::string> input_shape;  // Shape(x), made once for all kept dims
    std::vector<std::string> names;
    for (int64_t i = 0; i < out_rank; ++i) {
        ExpandShapePart part = parts[static_cast<size_t>(i)];
        if (part.tensor) {
            const std::vector<double>* v = state.const_values.find(part.value);
            if (v && !v->empty()) part = {false, helper::saturate_i64((*v)[0])};
        }
        std::string name = expand_name("shape_part", i);
        if (!part.tensor && part.value >= 0) {
            push_i64_initializer(name, {1}, {part.value});
        } else if (!part.tensor) {
            // A negative entry keeps x's size on the axis it lines up with from the right.
            if (!input_shape) {
                input_shape = expand_name("input_shape");
                append_node("Shape", {get_tensor_name(x_id)}, {*input_shape});
            }
            const int64_t a = aligned_expand_input_axis(x_id, out_rank, i);
            add_slice_node(*input_shape, name, {a}, {a + 1}, std::vector<int64_t>{0}, std::nullopt,
                           expand_name("shape_slice", i));
        } else {
            const std::vector<int64_t>* dims = state.tensor_shapes.find(part.value);
            if (dims && (dims->size() >= 2 || (dims->size() == 1 && (*dims)[0] != 1)))
                throw Error("expand: unsupported dynamic shape part {} with rank {}", part.value, dims->size());
            std::string current =
                ensure_i64_value(part.value, get_tensor_name(part.value), expand_name("shape_part_i64", i));
            if (dims && dims->size() == 1) {
                name = std::move(current);
            } else {
                add_unsqueeze_node(std::move(current), name, {0},
                                   expand_name("shape_axes", i));
            }
        }
        names.push_back(std::move(name));
    }
    if (names.size() == 1) return std::move(names[0]);
    std::string joined = expand_name("shape");
    append_node("Concat", std::move(names), {joined}, {helper::attr_int("axis", 0)});
    return joined;
}

int64_t Converter::aligned_expand_input_axis(int64_t x_id, int64_t out_rank, int64_t position) const {
    const std::vector<int64_t>* dims = state.tensor_shapes.find(x_id);
    if (!dims) throw Error("expand: missing rank metadata for tensor {}", x_id);
    const int64_t in_rank = static_cast<int64_t>(dims->size());
    if (out_rank < in_rank)
        throw Error("expand: output rank {} smaller than input rank {} for tensor {}", out_rank, in_rank, x_id);
    const int64_t offset = out_rank - in_rank;
    if (position < offset)
        throw Error("expand: -1 at axis {} cannot map to leading broadcast axis for tensor {}", position, x_id);
    return position - offset;
}

// The axes and decreased axes of a slice lie in x's dims, and each bound list gives one
// value per axis: otherwise the Slice (or the Squeeze after it) does not load.
void Converter::check_slice_operands(std::string_view op, const std::vector<int64_t>& ids,
                                     const std::vector<int64_t>& axes,
                                     const std::vector<int64_t>& decrease) const {
    std::vector<int64_t> from_front;
    for (int64_t a : axes) from_front.push_back(checked_axis_of(op, "axis", a, ids[0]));
    // Paddle refuses an axis named twice, and ONNX's Slice does not load with one.
    if (state.tensor_shapes.contains(ids[0]))
        for (size_t k = 0; k < from_front.size(); ++k)
            if (std::find(from_front.begin(), from_front.begin() + static_cast<std::ptrdiff_t>(k), from_front[k]) !=
                from_front.begin() + static_cast<std::ptrdiff_t>(k))
                throw Error("{}: axis {} is named twice in axes {}", op, axes[k], helper::fmt_dims(axes));
    for (int64_t a : decrease) checked_axis_of(op, "decrease axis", a, ids[0]);
    static constexpr const char* kBound[] = {"x", "starts", "ends", "strides"};
    for (size_t k = 1; k < ids.size() && k < 4 && !axes.empty(); ++k) {
        std::optional<size_t> n;
        if (const std::vector<double>* values = state.const_values.find(ids[k]))
            n = values->size();
        else if (const std::vector<int64_t>* dims = state.tensor_shapes.find(ids[k]); dims && !has_negative(*dims))
            if (const std::optional<int64_t> count = element_count(*dims))  // read flattened, whatever its rank
                n = static_cast<size_t>(*count);
        if (n && *n != axes.size())
            throw Error("{}: {} holds {} values for {} axes", op, kBound[k], *n, axes.size());
    }
}

namespace {

// The dims of x with each axis of `axes` (the first ones when empty) sliced by the folded
// starts and ends ids[1], ids[2] and, for a strided slice, the folded steps ids[3], as ONNX's
// Slice does: each bound counted from the back when negative, then held to the axis (to
// [0, size - 1] for the start and [-1, size - 1] for the end of a backward step). An axis of
// unknown size stays unknown, unless the bounds leave nothing of any size. Nothing where a
// bound is known only at run time, or a step is 0.
Dims sliced_sizes(const ConverterState& state, const IdList& ids, std::vector<int64_t> axes, bool strided = false) {
    const std::vector<int64_t>* dims = state.tensor_shapes.find(ids[0]);
    const std::vector<double>* starts = state.const_values.find(ids[1]);
    const std::vector<double>* ends = state.const_values.find(ids[2]);
    const std::vector<double>* steps = strided && ids.size() > 3 ? state.const_values.find(ids[3]) : nullptr;
    if (!dims || !starts || !ends || starts->size() != ends->size()) return std::nullopt;
    if (strided && (!steps || steps->size() != starts->size())) return std::nullopt;
    if (axes.empty())
        for (size_t k = 0; k < starts->size(); ++k) axes.push_back(static_cast<int64_t>(k));
    if (axes.size() != starts->size()) return std::nullopt;
    const int64_t rank = static_cast<int64_t>(dims->size());
    std::vector<int64_t> result(*dims);
    const auto held = [](int64_t bound, int64_t size, int64_t low, int64_t high) {
        if (bound < 0) bound += size;
        return std::clamp(bound, low, high);
    };
    for (size_t k = 0; k < axes.size(); ++k) {
        const int64_t a = axes[k] < 0 ? axes[k] + rank : axes[k];
        if (a < 0 || a >= rank) return std::nullopt;
        int64_t& d = result[static_cast<size_t>(a)];
        const int64_t start = helper::saturate_i64((*starts)[k]);
        const int64_t end = helper::saturate_i64((*ends)[k]);
        const int64_t step = steps ? helper::saturate_i64((*steps)[k]) : 1;
        if (step == 0) return std::nullopt;
        if (d < 0) {
            // Forward: bounds counted from the same end, the end not past the start, or an
            // end of 0. Backward sizes stay unknown.
            if (step > 0 && (end == 0 || ((start < 0) == (end < 0) && end <= start))) d = 0;
            continue;
        }
        if (step > 0) {
            const int64_t first = held(start, d, 0, d), last = held(end, d, 0, d);
            d = last > first ? (last - first - 1) / step + 1 : 0;
        } else {
            const int64_t first = held(start, d, 0, d - 1), last = held(end, d, -1, d - 1);
            // -step cannot overflow past the saturated bound: count in the backward width.
            const int64_t back = step == std::numeric_limits<int64_t>::min() ? std::numeric_limits<int64_t>::max() : -step;
            d = first > last ? (first - last - 1) / back + 1 : 0;
        }
    }
    return result;
}

// Paddle drops a decreased axis only where the slice leaves one element of it, and refuses
// any other count; a Squeeze of it would fail in the model.
void check_decreased_sizes(std::string_view op, const Dims& sliced, const std::vector<int64_t>& decrease) {
    if (!sliced) return;
    const int64_t rank = static_cast<int64_t>(sliced->size());
    for (const int64_t a : decrease) {
        const int64_t k = a < 0 ? a + rank : a;
        if (k < 0 || k >= rank) continue;
        const int64_t size = (*sliced)[static_cast<size_t>(k)];
        if (size >= 0 && size != 1)
            throw Error("{}: decrease_axis {} holds {} elements after slicing, not 1", op, a, size);
    }
}

// The sliced dims without the `decrease` axes.
Dims sliced_dims(const Dims& sliced, const std::vector<int64_t>& decrease) {
    if (!sliced) return std::nullopt;
    const int64_t rank = static_cast<int64_t>(sliced->size());
    std::vector<bool> dropped(sliced->size(), false);
    for (int64_t a : decrease) {
        if (a < 0) a += rank;
        if (a < 0 || a >= rank) return std::nullopt;
        dropped[static_cast<size_t>(a)] = true;
    }
    std::vector<int64_t> kept;
    for (size_t k = 0; k < sliced->size(); ++k)
        if (!dropped[k]) kept.push_back((*sliced)[k]);
    return kept;
}

}  // namespace

void Converter::op_slice(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"slice", out};
    const std::vector<int64_t> axes = i64_list_attr(op, "axes", false);
    const std::vector<int64_t> decrease = i64_list_attr(op, "decrease_axis", true);
    const std::vector<int64_t> ids = helper::op_input_ids(op);
    const std::string sliced = decrease.empty() ? get_tensor_name(out) : names("out");

    if (opset >= 10) {
        check_slice_operands("slice", ids, axes, decrease);
        const Dims sizes = sliced_sizes(state, ids, axes);
        check_decreased_sizes("slice", sizes, decrease);
        settle_output("slice", out, std::nullopt, sliced_dims(sizes, decrease), {ids[0]});
        // Slice wants one index type for all its bound inputs, and the axes are int64.
        std::vector<std::string> inputs{get_tensor_name(ids[0]), flat_i64_list(ids[1], out, "slice_starts"),
                                        flat_i64_list(ids[2], out, "slice_ends")};
        if (!axes.empty()) {
            std::string name = names("axes");
            push_i64_vector_initializer(name, axes);
            inputs.push_back(std::move(name));
        }
        append_node("Slice", std::move(inputs), {sliced});
        if (!decrease.empty())
            add_squeeze_node(sliced, get_tensor_name(out), decrease, fmt::format("squeeze_axes_{}", out));
        return;
    }

    // Below opset 10 the bounds are attributes, so they must be known now. The command line
    // refuses such opsets; a library caller that sets Converter::opset lower reaches this.
    auto folded = [&](size_t pos, const char* message) {
        const std::vector<double>* values = state.const_values.find(ids[pos]);
        if (!values) throw Error("{}, but target opset is {}", message, opset);
        return helper::saturate_i64(*values);
    };
    auto attr_list = [&](const char* name, const char* message) {
        const Json* d = helper::attr(op, name);
        if (!d || !d->IsArray()) throw Error("{}, but target opset is {}", message, opset);
        return helper::collect_i64_items(*d, op, name);
    };
    const std::vector<int64_t> starts =
        ids.size() == 1 ? attr_list("starts", "slice requires constant starts for opset < 10")
                        : folded(1, "slice requires constant starts input for opset < 10");
    const std::vector<int64_t> ends =
        ids.size() >= 3 ? folded(2, "slice requires constant ends input for opset < 10")
                        : attr_list("ends", "slice requires constant ends for opset < 10");
    add_slice_node(get_tensor_name(ids[0]), sliced, starts, ends,
                   axes.empty() ? std::nullopt : std::optional<std::vector<int64_t>>(axes), std::nullopt,
                   fmt::format("slice_{}", out));
    if (!decrease.empty())
        add_squeeze_node(sliced, get_tensor_name(out), decrease, names("decrease_axes"));
}

void Converter::op_strided_slice(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"strided_slice", out};
    const std::vector<int64_t> ids = helper::op_input_ids(op);
    std::vector<int64_t> axes = i64_list_attr(op, "axes", false);
    const std::vector<int64_t> decrease = i64_list_attr(op, "decrease_axis", false);

    if (axes.empty()) {
        // The steps must not fall into the axes position: slice axes 0..n-1, n being the
        // number of starts as recorded or folded.
        std::optional<int64_t> n;
        const std::vector<int64_t>* dims = state.tensor_shapes.find(ids[1]);
        if (dims && dims->size() == 1 && (*dims)[0] >= 0) n = (*dims)[0];
        else if (const std::vector<double>* values = state.const_values.find(ids[1]))
            n = static_cast<int64_t>(values->size());
        if (!n) throw Error("strided_slice without axes needs the number of starts of id {}", ids[1]);
        if (*n > 64) throw Error("strided_slice: {} starts exceed the largest supported rank 64", *n);
        for (int64_t a = 0; a < *n; ++a) axes.push_back(a);
    }
    check_slice_operands("strided_slice", ids, axes, decrease);
    // Paddle refuses a step of 0, and ONNX's Slice does not load with one.
    if (const std::vector<double>* steps = state.const_values.find(ids[3]))
        for (size_t k = 0; k < steps->size(); ++k)
            if ((*steps)[k] == 0.0) throw Error("strided_slice: the step of axis {} is 0", k < axes.size() ? axes[k] : int64_t(k));
    const Dims sizes = sliced_sizes(state, ids, axes, true);
    check_decreased_sizes("strided_slice", sizes, decrease);
    settle_output("strided_slice", out, std::nullopt, sliced_dims(sizes, decrease), {ids[0]});
    std::vector<std::string> inputs{get_tensor_name(ids[0]),
                                    flat_i64_list(ids[1], out, "strided_slice_starts"),
                                    flat_i64_list(ids[2], out, "strided_slice_ends")};
    std::string axes_name = names("axes");
    push_i64_vector_initializer(axes_name, axes);
    inputs.push_back(std::move(axes_name));
    inputs.push_back(flat_i64_list(ids[3], out, "strided_slice_steps"));
    const std::string sliced = decrease.empty() ? get_tensor_name(out) : names("out");
    append_node("Slice", std::move(inputs), {sliced});
    if (!decrease.empty())
        add_squeeze_node(sliced, get_tensor_name(out), decrease, names("decrease_axes"));
}

}  // namespace kestro
