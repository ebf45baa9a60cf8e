// Generic op-type table and the translation of Paddle attribute entries into ONNX
// attributes, shared by the generic conversion and the convolution, pooling and
// batch-normalization lowerings.
#include "converter/attr.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <limits>
#include <unordered_set>

#include "converter/converter.h"
#include "log.h"

namespace kestro {

namespace attr {

namespace {

struct OpTypeEntry {
    std::string_view paddle;
    std::string_view onnx;
};

constexpr std::array<OpTypeEntry, 57> kOpTypes{{
    {"abs", "Abs"},
    {"add", "Add"},
    {"logical_and", "And"},
    {"bitwise_and", "And"},
    {"batch_norm", "BatchNormalization"},
    {"batch_norm_", "BatchNormalization"},
    {"ceil", "Ceil"},
    {"clip", "Clip"},
    {"conv2d", "Conv"},
    {"depthwise_conv2d", "Conv"},
    {"conv2d_transpose", "ConvTranspose"},
    {"cos", "Cos"},
    {"divide", "Div"},
    {"equal", "Equal"},
    {"expand", "Expand"},
    {"flatten", "Flatten"},
    {"floor", "Floor"},
    {"gather_nd", "GatherND"},
    {"greater_than", "Greater"},
    {"greater_equal", "GreaterOrEqual"},
    {"hardsigmoid", "HardSigmoid"},
    {"hardswish", "HardSwish"},
    {"assign", "Identity"},
    {"share_data", "Identity"},
    {"layer_norm", "LayerNormalization"},
    {"less_than", "Less"},
    {"less_equal", "LessOrEqual"},
    {"log", "Log"},
    {"bmm", "MatMul"},
    {"matmul", "MatMul"},
    {"matmul_v2", "MatMul"},
    {"pool2d", "MaxPool"},
    {"remainder", "Mod"},
    {"multiply", "Mul"},
    {"logical_not", "Not"},
    {"logical_or", "Or"},
    {"elementwise_pow", "Pow"},
    {"range", "Range"},
    {"arange", "Range"},
    {"relu", "Relu"},
    {"reshape", "Reshape"},
    {"nearest_interp", "Resize"},
    {"shape", "Shape"},
    {"shape64", "Shape"},
    {"sigmoid", "Sigmoid"},
    {"sin", "Sin"},
    {"softmax", "Softmax"},
    {"sqrt", "Sqrt"},
    {"squeeze", "Squeeze"},
    {"squeeze_", "Squeeze"},
    {"subtract", "Sub"},
    {"tanh", "Tanh"},
    {"tile", "Tile"},
    {"transpose", "Transpose"},
    {"unsqueeze", "Unsqueeze"},
    {"unsqueeze_", "Unsqueeze"},
    {"where", "Where"},
}};

struct MinOpsetEntry {
    std::string_view onnx;
    int64_t since;
};

// First version of each generic ONNX type that is newer than opset 1.
constexpr std::array<MinOpsetEntry, 12> kMinOpsets{{
    {"Cos", 7},
    {"Sin", 7},
    {"Expand", 8},
    {"Where", 9},
    {"Mod", 10},
    {"Resize", 10},
    {"GatherND", 11},
    {"Range", 11},
    {"GreaterOrEqual", 12},
    {"LessOrEqual", 12},
    {"HardSwish", 14},
    {"LayerNormalization", 17},
}};

// What ONNX defines for each type of the generic table: its attributes (name, kind and the
// opsets that have them), how many inputs and outputs it takes, and which element types its
// operands take from which opset. A node outside these bounds is refused by the checker or
// by the runtime, so the generic conversion holds every node to them.
namespace at = proto::attr_type;
namespace dt = proto::dtype;

constexpr uint32_t bit(int32_t code) { return uint32_t{1} << code; }
constexpr uint32_t kFloats = bit(dt::FLOAT) | bit(dt::FLOAT16) | bit(dt::DOUBLE);
constexpr uint32_t kSmallInts = bit(dt::INT8) | bit(dt::INT16) | bit(dt::UINT8) | bit(dt::UINT16);
constexpr uint32_t kWideInts = bit(dt::INT32) | bit(dt::INT64) | bit(dt::UINT32) | bit(dt::UINT64);
constexpr uint32_t kNumbers = kFloats | kSmallInts | kWideInts;
constexpr uint32_t kAll = kNumbers | bit(dt::BOOL) | bit(dt::STRING);
constexpr uint32_t kBool = bit(dt::BOOL);

struct AttrDef {
    std::string_view name;
    int32_t kind;
    int64_t since = 1;
    int64_t until = 0;  // first opset without it; 0: still there
};

// Element types taken by the operand positions of `inputs` (a bit per position; 0: every
// position), from opset `since` on.
struct TypeDef {
    uint32_t inputs;
    uint32_t types;
    int64_t since;
};

struct OnnxSchema {
    std::string_view onnx;
    size_t max_inputs;
    size_t max_outputs;
    std::initializer_list<AttrDef> attrs;
    std::initializer_list<TypeDef> types;
};

constexpr AttrDef kConvAttrs[] = {{"auto_pad", at::STRING}, {"dilations", at::INTS},
                                  {"group", at::INT},       {"kernel_shape", at::INTS},
                                  {"pads", at::INTS},       {"strides", at::INTS}};

const OnnxSchema* find_schema(std::string_view op_type) {
    static const OnnxSchema kSchemas[] = {
        {"Abs", 1, 1, {}, {{0, kNumbers, 1}}},
        {"Add", 2, 1, {}, {{0, kFloats | kWideInts, 7}, {0, kSmallInts, 14}}},
        {"And", 2, 1, {}, {{0, kBool, 1}}},
        {"AveragePool", 1, 1,
         {kConvAttrs[0], {"ceil_mode", at::INT, 10}, {"count_include_pad", at::INT},
          {"dilations", at::INTS, 19}, kConvAttrs[3], kConvAttrs[4], kConvAttrs[5]},
         {{1, kFloats, 1}}},
        {"GlobalAveragePool", 1, 1, {}, {{1, kFloats, 1}}},
        {"GlobalMaxPool", 1, 1, {}, {{1, kFloats, 1}}},
        {"BatchNormalization", 5, 5,
         {{"epsilon", at::FLOAT}, {"momentum", at::FLOAT}, {"spatial", at::INT, 1, 9},
          {"training_mode", at::INT, 14}},
         {{1, kFloats, 1}}},
        {"Ceil", 1, 1, {}, {{0, kFloats, 1}}},
        {"Clip", 3, 1, {{"min", at::FLOAT, 1, 11}, {"max", at::FLOAT, 1, 11}},
         {{0, kFloats, 1}, {0, kSmallInts | kWideInts, 12}}},
        {"Conv", 3, 1, {kConvAttrs[0], kConvAttrs[1], kConvAttrs[2], kConvAttrs[3], kConvAttrs[4],
                        kConvAttrs[5]},
         {{0b11, kFloats, 1}}},
        {"ConvTranspose", 3, 1,
         {kConvAttrs[0], kConvAttrs[1], kConvAttrs[2], kConvAttrs[3], kConvAttrs[4], kConvAttrs[5],
          {"output_padding", at::INTS}, {"output_shape", at::INTS}},
         {{0b11, kFloats, 1}}},
        {"Cos", 1, 1, {}, {{0, kFloats, 7}}},
        {"Div", 2, 1, {}, {{0, kFloats | kWideInts, 7}, {0, kSmallInts, 14}}},
        {"Equal", 2, 1, {},
         {{0, kBool | bit(dt::INT32) | bit(dt::INT64), 7}, {0, kNumbers, 11}}},
        {"Expand", 2, 1, {}, {{1, kAll, 8}, {0b10, bit(dt::INT64), 8}}},
        {"Flatten", 1, 1, {{"axis", at::INT}}, {{1, kFloats, 1}, {1, kAll, 9}}},
        {"Floor", 1, 1, {}, {{0, kFloats, 1}}},
        {"GatherND", 2, 1, {{"batch_dims", at::INT, 12}}, {{1, kAll, 11}}},
        {"Greater", 2, 1, {}, {{0, kFloats, 7}, {0, kNumbers, 9}}},
        {"GreaterOrEqual", 2, 1, {}, {{0, kNumbers, 12}}},
        {"HardSigmoid", 1, 1, {{"alpha", at::FLOAT}, {"beta", at::FLOAT}}, {{0, kFloats, 1}}},
        {"HardSwish", 1, 1, {}, {{0, kFloats, 14}}},
        {"Identity", 1, 1, {}, {{0, kAll, 1}}},
        {"LayerNormalization", 3, 3,
         {{"axis", at::INT}, {"epsilon", at::FLOAT}, {"stash_type", at::INT}},
         {{1, kFloats, 17}}},
        {"Less", 2, 1, {}, {{0, kFloats, 7}, {0, kNumbers, 9}}},
        {"LessOrEqual", 2, 1, {}, {{0, kNumbers, 12}}},
        {"Log", 1, 1, {}, {{0, kFloats, 1}}},
        {"MatMul", 2, 1, {}, {{0, kFloats, 1}, {0, kWideInts, 9}}},
        {"MaxPool", 1, 2,
         {kConvAttrs[0], {"ceil_mode", at::INT, 10}, {"dilations", at::INTS, 10},
          kConvAttrs[3], kConvAttrs[4], {"storage_order", at::INT, 8}, kConvAttrs[5]},
         {{1, kFloats, 1}, {1, bit(dt::INT8) | bit(dt::UINT8), 12}}},
        {"Mod", 2, 1, {{"fmod", at::INT}}, {{0, kNumbers, 10}}},
        {"Mul", 2, 1, {}, {{0, kFloats | kWideInts, 7}, {0, kSmallInts, 14}}},
        {"Not", 1, 1, {}, {{0, kBool, 1}}},
        {"Or", 2, 1, {}, {{0, kBool, 1}}},
        {"Pow", 2, 1, {},
         {{0, kFloats, 7}, {1, bit(dt::INT32) | bit(dt::INT64), 12}, {0b10, kNumbers, 12}}},
        {"Range", 3, 1, {},
         {{0, bit(dt::FLOAT) | bit(dt::DOUBLE) | bit(dt::INT16) | bit(dt::INT32) | bit(dt::INT64),
           11}}},
        {"Relu", 1, 1, {},
         {{0, kFloats, 1},
          {0, bit(dt::INT8) | bit(dt::INT16) | bit(dt::INT32) | bit(dt::INT64), 14}}},
        {"Reshape", 2, 1, {{"allowzero", at::INT, 14}}, {{1, kAll, 5}, {0b10, bit(dt::INT64), 5}}},
        {"Resize", 4, 1,
         {{"mode", at::STRING, 10}, {"coordinate_transformation_mode", at::STRING, 11},
          {"cubic_coeff_a", at::FLOAT, 11}, {"exclude_outside", at::INT, 11},
          {"extrapolation_value", at::FLOAT, 11}, {"nearest_mode", at::STRING, 11},
          {"antialias", at::INT, 18}, {"axes", at::INTS, 18},
          {"keep_aspect_ratio_policy", at::STRING, 18}},
         {{1, kAll, 10}, {0b1000, bit(dt::INT64), 11}}},
        {"Shape", 1, 1, {{"start", at::INT, 15}, {"end", at::INT, 15}}, {{0, kAll, 1}}},
        {"Sigmoid", 1, 1, {}, {{0, kFloats, 1}}},
        {"Sin", 1, 1, {}, {{0, kFloats, 7}}},
        {"Softmax", 1, 1, {{"axis", at::INT}}, {{0, kFloats, 1}}},
        {"Sqrt", 1, 1, {}, {{0, kFloats, 1}}},
        {"Squeeze", 2, 1, {{"axes", at::INTS, 1, 13}}, {{1, kAll, 1}, {0b10, bit(dt::INT64), 13}}},
        {"Sub", 2, 1, {}, {{0, kFloats | kWideInts, 7}, {0, kSmallInts, 14}}},
        {"Tanh", 1, 1, {}, {{0, kFloats, 1}}},
        {"Tile", 2, 1, {}, {{1, kAll, 6}, {0b10, bit(dt::INT64), 6}}},
        {"Transpose", 1, 1, {{"perm", at::INTS}}, {{0, kAll, 1}}},
        {"Unsqueeze", 2, 1, {{"axes", at::INTS, 1, 13}}, {{1, kAll, 1}, {0b10, bit(dt::INT64), 13}}},
        {"Where", 3, 1, {}, {{1, kBool, 9}, {0b110, kAll, 9}}},
    };
    for (const auto& s : kSchemas)
        if (s.onnx == op_type) return &s;
    return nullptr;
}

}  // namespace

std::optional<std::string_view> generated_op_type(std::string_view bare_name) {
    for (const auto& e : kOpTypes)
        if (e.paddle == bare_name) return e.onnx;
    return std::nullopt;
}

int64_t min_opset(std::string_view op_type) {
    for (const auto& e : kMinOpsets)
        if (e.onnx == op_type) return e.since;
    return 1;
}

size_t required_inputs(std::string_view op_type, int64_t opset) {
    // The types whose required inputs changed with the opset.
    if (op_type == "Resize") return opset >= 13 ? 1 : opset >= 11 ? 3 : 2;
    if (op_type == "Unsqueeze") return opset >= 13 ? 2 : 1;
    static constexpr std::pair<std::string_view, size_t> kRequired[] = {
        {"Add", 2}, {"And", 2}, {"BatchNormalization", 5}, {"Conv", 2}, {"ConvTranspose", 2},
        {"Div", 2}, {"Equal", 2}, {"Expand", 2}, {"GatherND", 2}, {"Greater", 2},
        {"GreaterOrEqual", 2}, {"LayerNormalization", 2}, {"Less", 2}, {"LessOrEqual", 2},
        {"MatMul", 2}, {"Mod", 2}, {"Mul", 2}, {"Or", 2}, {"Pow", 2}, {"Range", 3},
        {"Reshape", 2}, {"Sub", 2}, {"Tile", 2}, {"Where", 3},
    };
    for (const auto& [type, count] : kRequired)
        if (type == op_type) return count;
    return 1;  // every other type of the table takes one required input
}

size_t max_inputs(std::string_view op_type, int64_t opset) {
    // The types whose inputs grew with the opset: what was an attribute became an input.
    if (op_type == "Resize") return opset >= 11 ? 4 : 2;
    if (op_type == "Squeeze" || op_type == "Unsqueeze") return opset >= 13 ? 2 : 1;
    if (op_type == "Clip") return opset >= 11 ? 3 : 1;
    const OnnxSchema* s = find_schema(op_type);
    return s ? s->max_inputs : std::numeric_limits<size_t>::max();
}

size_t max_outputs(std::string_view op_type, int64_t opset) {
    // BatchNormalization lost its saved mean and variance outputs at 14.
    if (op_type == "BatchNormalization") return opset >= 14 ? 3 : 5;
    const OnnxSchema* s = find_schema(op_type);
    return s ? s->max_outputs : std::numeric_limits<size_t>::max();
}

std::optional<int64_t> first_opset_taking(std::string_view op_type, size_t position,
                                          int32_t dtype) {
    const OnnxSchema* s = find_schema(op_type);
    if (!s || dtype < 0 || dtype >= 32) return 1;
    bool constrained = false;
    std::optional<int64_t> first;
    for (const TypeDef& t : s->types) {
        if (t.inputs != 0 && (position >= 32 || !(t.inputs & (uint32_t{1} << position)))) continue;
        constrained = true;
        if ((t.types & bit(dtype)) && (!first || t.since < *first)) first = t.since;
    }
    if (!constrained) return 1;
    return first;
}

TypeTies type_ties(std::string_view op_type, int64_t opset) {
    static constexpr std::string_view kArithmetic[] = {"Add", "Sub", "Mul", "Div", "Mod"};
    static constexpr std::string_view kComparisons[] = {"And", "Or", "Equal", "Greater", "GreaterOrEqual",
                                                        "Less", "LessOrEqual"};
    // Elementwise on one operand: the output has its type and dims.
    static constexpr std::string_view kKeepsTypeAndDims[] = {
        "Abs", "Ceil", "Floor", "Cos", "Sin", "Log", "Sqrt", "Tanh", "Sigmoid", "Softmax",
        "Relu", "HardSigmoid", "HardSwish", "Identity"};
    // The output has the first operand's type; its dims are not followed here.
    static constexpr std::string_view kKeepsType[] = {
        "Flatten", "Expand", "Reshape", "Squeeze", "Unsqueeze", "Tile", "Transpose", "GatherND",
        "Resize", "MaxPool", "AveragePool", "GlobalAveragePool", "GlobalMaxPool", "LayerNormalization"};
    const auto in = [&](const auto& list) { return std::find(std::begin(list), std::end(list), op_type) != std::end(list); };
    TypeTies t;
    if (in(kArithmetic) || in(kComparisons)) {
        t.same_type = {0b11};
        t.broadcast = true;
        t.output_dims_like = true;
        if (in(kComparisons))
            t.output_type = proto::dtype::BOOL;
        else
            t.output_like = 0;
    } else if (op_type == "Not") {
        t.output_type = proto::dtype::BOOL;
        t.output_dims_like = true;
    } else if (op_type == "Pow") {
        t.output_like = 0;
        t.broadcast = true;
        t.output_dims_like = true;
    } else if (op_type == "Clip") {
        t.same_type = {0b111};
        t.output_like = 0;
        t.output_dims_like = true;
    } else if (op_type == "MatMul" || op_type == "Conv" || op_type == "ConvTranspose" || op_type == "Range") {
        t.same_type = {0b111};
        t.output_like = 0;
    } else if (op_type == "BatchNormalization") {
        // From 15 on the scale and bias, and the mean and variance, may each have their own.
        t.same_type = opset >= 15 ? std::vector<uint32_t>{0b110, 0b11000} : std::vector<uint32_t>{0b11111};
        t.output_like = 0;
    } else if (op_type == "Where") {
        t.same_type = {0b110};
        t.output_like = 1;
        t.broadcast = true;
        t.output_dims_like = true;
    } else if (in(kKeepsTypeAndDims)) {
        t.output_like = 0;
        t.output_dims_like = true;
    } else if (in(kKeepsType)) {
        t.output_like = 0;
    }
    return t;
}

namespace {

const char* kind_name(int32_t kind) {
    switch (kind) {
        case at::FLOAT: return "a float";
        case at::INT: return "an integer";
        case at::STRING: return "a string";
        case at::FLOATS: return "a list of floats";
        case at::INTS: return "a list of integers";
        case at::STRINGS: return "a list of strings";
        default: return "another kind";
    }
}

// A float that is an integer in the signed 64-bit range, as that integer.
std::optional<int64_t> whole(float f) {
    if (!std::isfinite(f) || std::trunc(f) != f || std::fabs(f) >= 0x1p63f) return std::nullopt;
    return static_cast<int64_t>(f);
}

// Brings an attribute to the kind ONNX defines for it (an integer epsilon becomes a float,
// rounded to float32 as every float attribute is; a whole float axis becomes an integer);
// false when a float holds no whole number for an integer attribute.
bool convert_kind(proto::AttributeProto& a, int32_t kind) {
    if (a.type == kind) return true;
    if (a.type == at::INT && kind == at::FLOAT) {
        a.f = static_cast<float>(a.i);
        a.i = 0;
    } else if (a.type == at::INTS && kind == at::FLOATS) {
        for (int64_t v : a.ints) a.floats.push_back(static_cast<float>(v));
        a.ints.clear();
    } else if (a.type == at::FLOAT && kind == at::INT) {
        const auto i = whole(a.f);
        if (!i) return false;
        a.i = *i;
        a.f = 0;
    } else if (a.type == at::FLOATS && kind == at::INTS) {
        std::vector<int64_t> ints;
        for (float f : a.floats) {
            const auto i = whole(f);
            if (!i) return false;
            ints.push_back(*i);
        }
        a.ints = std::move(ints);
        a.floats.clear();
    } else {
        return false;
    }
    a.type = kind;
    return true;
}

}  // namespace

void conform_attributes(std::string_view bare_name, std::string_view op_type, int64_t opset,
                        std::vector<proto::AttributeProto>& attrs) {
    const OnnxSchema* s = find_schema(op_type);
    if (!s) return;
    std::vector<proto::AttributeProto> kept;
    kept.reserve(attrs.size());
    for (auto& a : attrs) {
        const AttrDef* def = nullptr;
        for (const AttrDef& d : s->attrs)
            if (d.name == a.name && d.since <= opset && (d.until == 0 || opset < d.until)) def = &d;
        if (!def) {
            // A Paddle detail ONNX has no place for (use_cudnn, a backend hint and the like):
            // the checker refuses any attribute the operator does not define.
            KLOG(Level::Warn, "kestro::converter::attr",
                 "{}: dropping attribute {}, which ONNX {} does not take at opset {}", bare_name,
                 helper::fmt_text(a.name), op_type, opset);
            continue;
        }
        for (const auto& k : kept)
            if (k.name == a.name)
                throw Error("{}: attribute {} is given more than once", bare_name, helper::fmt_text(a.name));
        if (!convert_kind(a, def->kind))
            throw Error("{}: attribute {} must be {} for ONNX {}", bare_name, a.name,
                        kind_name(def->kind), op_type);
        kept.push_back(std::move(a));
    }
    attrs = std::move(kept);
}

void require_channel_first(std::string_view bare_name, std::optional<std::string_view> data_format) {
    if (data_format && (*data_format == "NHWC" || *data_format == "NDHWC"))
        throw Error("{} only supports NCHW: data_format {} puts the channels last, where ONNX reads "
                    "them from the second axis",
                    bare_name, helper::fmt_text(*data_format));
}

void check_window_attributes(std::string_view bare_name, const std::vector<proto::AttributeProto>& attrs,
                             size_t spatial_axes) {
    for (const auto& a : attrs) {
        if (a.type == at::INT && a.name == "group" && a.i <= 0)
            throw Error("{}: groups must be positive, got {}", bare_name, a.i);
        if (a.type != at::INTS) continue;
        const bool positive = a.name == "strides" || a.name == "dilations" || a.name == "kernel_shape";
        const bool non_negative = a.name == "pads" || a.name == "output_padding";
        for (int64_t v : a.ints) {
            if ((positive && v <= 0) || (non_negative && v < 0))
                throw Error("{}: {} {} must be {}", bare_name, a.name, helper::fmt_dims(a.ints),
                            positive ? "positive" : "non-negative");
        }
    }
    // Every window list speaks of the operator's spatial axes, the pads of a begin and an end
    // for each; lists of other lengths (paddings [1, 2, 3], strides [3, 3, 3] of a 2-D
    // convolution) give a node no runtime loads ("Attribute strides has incorrect size").
    for (const auto& a : attrs) {
        const bool listed = a.name == "strides" || a.name == "dilations" || a.name == "kernel_shape" ||
                            a.name == "pads" || (a.name == "output_padding" && !a.ints.empty());
        if (a.type != at::INTS || !listed) continue;
        size_t n = a.ints.size();
        if (a.name == "pads") {
            if (n % 2 != 0)
                throw Error("{}: pads {} must hold a begin and an end for each spatial axis",
                            bare_name, helper::fmt_dims(a.ints));
            n /= 2;
        }
        if (n != spatial_axes)
            throw Error("{}: {} {} gives {} spatial axes, but {} has {}", bare_name, a.name,
                        helper::fmt_dims(a.ints), n, bare_name, spatial_axes);
    }
}

}  // namespace attr

namespace {

using helper::as_i64;
using helper::as_str;
using helper::member;

bool one_of(std::string_view s, std::initializer_list<std::string_view> names) {
    return std::find(names.begin(), names.end(), s) != names.end();
}

// An integer-list element that is not an integer (a whole float is one) would shift every
// later value into the wrong place (strides [1, 1.5] read as [1]): refused.
[[noreturn]] void non_integer_element(std::string_view op, const std::string& name, const Json& e) {
    throw Error("{}: attribute {} holds a non-integer element {}", op, name, helper::json_debug(e));
}

// An array attribute: the first element decides whether the list holds ints, floats or
// strings; float or string elements that do not fit their list's kind are skipped.
std::optional<proto::AttributeProto> convert_array(std::string_view op, std::string name,
                                                   const Json& data) {
    if (!data.IsArray() || data.Empty()) return std::nullopt;
    const Json& first = data[0];
    std::string_view first_tag;
    if (const Json* t = member(first, "#")) first_tag = as_str(*t).value_or("");

    proto::AttributeProto a;
    a.name = std::move(name);
    if (first_tag == "0.a_i32" || first_tag == "0.a_i64") {
        a.type = proto::attr_type::INTS;
        for (const Json& e : data.GetArray()) {
            const Json* d = member(e, "D");
            const auto i = d ? helper::whole_i64(*d) : std::nullopt;
            if (!i) non_integer_element(op, a.name, d ? *d : e);
            a.ints.push_back(*i);
        }
    } else if (first_tag == "0.a_f32" || first_tag == "0.a_f64") {
        a.type = proto::attr_type::FLOATS;
        for (const Json& e : data.GetArray())
            if (const Json* d = member(e, "D"))
                if (d->IsNumber()) a.floats.push_back(helper::to_f32_or_inf(d->GetDouble()));
    } else if (first_tag == "0.a_str") {
        a.type = proto::attr_type::STRINGS;
        for (const Json& e : data.GetArray())
            if (const Json* d = member(e, "D"))
                if (auto s = as_str(*d)) a.rare_members().strings.emplace_back(*s);
    } else if (first.IsNumber()) {
        a.type = proto::attr_type::INTS;
        for (const Json& e : data.GetArray()) {
            const auto i = helper::whole_i64(e);
            if (!i) non_integer_element(op, a.name, e);
            a.ints.push_back(*i);
        }
    } else {
        return std::nullopt;
    }
    return a;
}

std::optional<proto::AttributeProto> convert_value(std::string_view op, std::string name,
                                                   const Json& at) {
    std::string_view tag;
    if (const Json* t = member(at, "#")) tag = as_str(*t).value_or("");
    const Json* data = member(at, "D");
    if (!data) return std::nullopt;

    // An integer the program gives is never left out for ONNX's default to stand in: what
    // cannot be read as one is refused.
    if (tag == "0.a_i32" || tag == "0.a_i64") {
        const int64_t i = helper::attr_data_i64(*data, op, name);
        return helper::attr_int(std::move(name), i);
    } else if (tag == "0.a_f32" || tag == "0.a_f64") {
        if (data->IsNumber()) return helper::attr_float(std::move(name), helper::to_f32_or_inf(data->GetDouble()));
    } else if (tag == "0.a_str") {
        if (auto s = as_str(*data)) return helper::attr_str(std::move(name), std::string(*s));
    } else if (tag == "0.a_bool") {
        if (auto b = helper::as_bool(*data)) return helper::attr_int(std::move(name), *b ? 1 : 0);
    } else if (tag == "0.a_array" || tag == "1.a_intarray") {
        return convert_array(op, std::move(name), *data);
    }
    return std::nullopt;
}

// The data of an attribute entry of the raw list when its name is `name`.
const Json* entry_data_if_named(const Json& entry, std::string_view name) {
    const Json* n = member(entry, "N");
    if (!n || as_str(*n) != std::optional<std::string_view>(name)) return nullptr;
    const Json* at = member(entry, "AT");
    return at ? member(*at, "D") : nullptr;
}

// The text of the first entry of the raw list named `name`, when it is a text.
std::optional<std::string_view> raw_text(const Json& raw, std::string_view name) {
    for (const Json& entry : raw.GetArray())
        if (const Json* d = entry_data_if_named(entry, name)) return as_str(*d);
    return std::nullopt;
}

bool raw_text_is(const Json& raw, std::string_view name, std::string_view value) {
    for (const Json& entry : raw.GetArray()) {
        const Json* d = entry_data_if_named(entry, name);
        if (d && as_str(*d) == std::optional<std::string_view>(value)) return true;
    }
    return false;
}

// Convolution and pooling name two attributes differently and order four pads by axis
// (top, bottom, left, right) where ONNX puts every begin before every end (top, left,
// bottom, right); two pads stand for both sides. SAME padding becomes ONNX's auto_pad and
// leaves no explicit pads; Paddle computes SAME pads with every dilation reset to 1, which
// is also the only form ONNX Runtime runs, so the dilations go too. VALID means no padding
// whatever "paddings" holds.
void fix_conv_pool_attributes(std::string_view op, const Json& raw,
                              std::vector<proto::AttributeProto>& attrs) {
    attr::require_channel_first(op, raw_text(raw, "data_format"));
    for (auto& a : attrs) {
        if (a.name == "groups") a.name = "group";
        else if (a.name == "paddings") a.name = "pads";
        if (a.name != "pads" || a.type != proto::attr_type::INTS) continue;
        auto& p = a.ints;
        if (p.size() == 2) {
            p = {p[0], p[1], p[0], p[1]};
        } else if (p.size() == 4) {
            p = {p[0], p[2], p[1], p[3]};
        } else {
            KLOG(Level::Warn, "kestro::converter::attr",
                 "leaving non-standard pads attribute {} unchanged for {}", helper::fmt_dims(p), op);
        }
    }
    if (raw_text_is(raw, "padding_algorithm", "SAME")) {
        attrs.push_back(helper::attr_str("auto_pad", "SAME_UPPER"));
        std::erase_if(attrs, [](const proto::AttributeProto& a) {
            return a.name == "pads" || a.name == "dilations";
        });
    } else if (raw_text_is(raw, "padding_algorithm", "VALID")) {
        std::erase_if(attrs, [](const proto::AttributeProto& a) { return a.name == "pads"; });
    }
}

// Pooling also keeps its ceil_mode, which Paddle writes as a bool and ONNX takes as an
// integer; the rule row drops the entry whatever its tag, and this reads it back as an
// integer, last. Below opset 10, where ONNX has no ceil_mode, conform_attributes drops it
// and op_pool2d refuses a true one.
void fix_pool_attributes(std::string_view op, const Json& raw,
                         std::vector<proto::AttributeProto>& attrs) {
    fix_conv_pool_attributes(op, raw, attrs);
    for (const Json& entry : raw.GetArray()) {
        const Json* d = entry_data_if_named(entry, "ceil_mode");
        if (!d) continue;
        if (auto b = helper::as_bool(*d)) {
            attrs.push_back(helper::attr_int("ceil_mode", *b ? 1 : 0));
            break;
        }
    }
}

using Rename = std::pair<std::string_view, std::string_view>;
using FixUp = void (*)(std::string_view op, const Json& raw,
                       std::vector<proto::AttributeProto>& attrs);

// What the generic translation does differently for one Paddle operator: the entries it
// drops (named after any rename), the entries it renames before that, and a fix-up run on
// the translated list once the entries are known to be distinct.
struct OpAttrRule {
    std::initializer_list<std::string_view> ops;
    std::initializer_list<std::string_view> dropped;
    std::initializer_list<Rename> renamed;
    FixUp fix_up;
};

// Dropped for every operator: Paddle bookkeeping with no meaning in ONNX.
constexpr std::string_view kDroppedForEveryOp[] = {
    "col", "name", "place", "dtype", "is_test", "struct_name", "stop_gradient",
    "use_global_stats", "trainable_statistics"};

// Renamed for every operator, before the drop rules apply.
constexpr Rename kRenamedForEveryOp[] = {{"begin_norm_axis", "axis"}, {"start_axis", "axis"}};

const OpAttrRule kOpAttrRules[] = {
    {{"bmm", "matmul", "matmul_v2"}, {"transpose_x", "transpose_y"}, {}, nullptr},
    {{"scale"}, {"bias", "scale", "bias_after_scale"}, {}, nullptr},
    {{"flatten"}, {"flatten", "stop_axis"}, {}, nullptr},
    {{"batch_norm", "batch_norm_"}, {"bias", "scale", "data_format"}, {}, nullptr},
    {{"conv2d", "depthwise_conv2d", "conv2d_transpose"},
     {"data_format", "padding_algorithm"},
     {},
     fix_conv_pool_attributes},
    {{"pool2d"},
     {"data_format", "padding_algorithm", "pooling_type", "global_pooling", "adaptive",
      "exclusive", "ceil_mode"},
     {},
     fix_pool_attributes},
    {{"nearest_interp", "bilinear_interp"},
     {"out_h", "out_w", "out_d", "align_mode", "data_format", "align_corners", "interp_method"},
     {},
     nullptr},
    {{"hardsigmoid"}, {}, {{"slope", "alpha"}, {"offset", "beta"}}, nullptr},
};

const OpAttrRule* rule_for(std::string_view op) {
    for (const OpAttrRule& r : kOpAttrRules)
        if (one_of(op, r.ops)) return &r;
    return nullptr;
}

std::string renamed(const OpAttrRule* rule, std::string_view name) {
    for (const auto& [from, to] : kRenamedForEveryOp)
        if (name == from) return std::string(to);
    if (rule)
        for (const auto& [from, to] : rule->renamed)
            if (name == from) return std::string(to);
    return std::string(name);
}

bool dropped(const OpAttrRule* rule, std::string_view name) {
    for (std::string_view d : kDroppedForEveryOp)
        if (name == d) return true;
    return rule && one_of(name, rule->dropped);
}

}  // namespace

std::string Converter::map_op_type(std::string_view bare_name) {
    if (auto t = attr::generated_op_type(bare_name)) return std::string(*t);
    throw Error("Unsupported operator: {}", helper::fmt_text(bare_name));
}

std::vector<proto::AttributeProto> Converter::extract_attributes(std::string_view bare_name,
                                                                 const Json& attrs) {
    std::vector<proto::AttributeProto> out;
    if (!attrs.IsArray()) return out;
    const OpAttrRule* rule = rule_for(bare_name);
    for (const Json& entry : attrs.GetArray()) {
        // ONNX attributes must be named: an entry without a (non-empty) name is dropped.
        const Json* n = member(entry, "N");
        const auto raw_name = n ? as_str(*n) : std::nullopt;
        if (!raw_name || raw_name->empty()) continue;

        std::string name = renamed(rule, *raw_name);
        if (dropped(rule, name)) continue;
        const Json* at = member(entry, "AT");
        if (!at) continue;
        if (auto a = convert_value(bare_name, std::move(name), *at)) out.push_back(std::move(*a));
    }

    // ONNX keeps one value per attribute name: a second one would be a model the checker
    // refuses, and which of the two Paddle meant is unknown.
    std::unordered_set<std::string_view> seen;
    for (const auto& a : out)
        if (!seen.insert(a.name).second)
            throw Error("{}: attribute {} is given more than once", bare_name, helper::fmt_text(a.name));

    if (rule && rule->fix_up) rule->fix_up(bare_name, attrs, out);
    return out;
}

}  // namespace kestro
