// Generic op-type table and the translation of Paddle attribute entries into ONNX
// attributes, shared by the generic conversion and the convolution, pooling and
// batch-normalization lowerings.
#include "converter/attr.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <limits>

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

}  // namespace attr

namespace {

using helper::as_i64;
using helper::as_str;
using helper::member;

bool one_of(std::string_view s, std::initializer_list<std::string_view> names) {
    return std::find(names.begin(), names.end(), s) != names.end();
}

bool dropped_for_every_op(std::string_view name) {
    return one_of(name, {"col", "name", "place", "dtype", "is_test", "struct_name", "stop_gradient",
                         "use_global_stats", "trainable_statistics"});
}

bool dropped_for_op(std::string_view op, std::string_view name) {
    if (one_of(op, {"bmm", "matmul", "matmul_v2"})) return one_of(name, {"transpose_x", "transpose_y"});
    if (op == "scale") return one_of(name, {"bias", "scale", "bias_after_scale"});
    if (op == "flatten") return one_of(name, {"flatten", "stop_axis"});
    if (one_of(op, {"batch_norm", "batch_norm_"})) return one_of(name, {"bias", "scale", "data_format"});
    if (one_of(op, {"conv2d", "depthwise_conv2d", "conv2d_transpose"}))
        return one_of(name, {"data_format", "padding_algorithm"});
    if (op == "pool2d")
        return one_of(name, {"data_format", "padding_algorithm", "pooling_type", "global_pooling",
                             "adaptive", "exclusive", "ceil_mode"});
    if (one_of(op, {"nearest_interp", "bilinear_interp"}))
        return one_of(name, {"out_h", "out_w", "out_d", "align_mode", "data_format", "align_corners",
                             "interp_method"});
    return false;
}

std::string renamed(std::string_view op, std::string_view name) {
    if (name == "begin_norm_axis" || name == "start_axis") return "axis";
    if (op == "hardsigmoid") {
        if (name == "slope") return "alpha";
        if (name == "offset") return "beta";
    }
    return std::string(name);
}

// An array attribute: the first element decides whether the list holds ints, floats or
// strings; elements that do not fit that kind are skipped.
std::optional<proto::AttributeProto> convert_array(std::string name, const Json& data) {
    if (!data.IsArray() || data.Empty()) return std::nullopt;
    const Json& first = data[0];
    std::string_view first_tag;
    if (const Json* t = member(first, "#")) first_tag = as_str(*t).value_or("");

    proto::AttributeProto a;
    a.name = std::move(name);
    if (first_tag == "0.a_i32" || first_tag == "0.a_i64") {
        a.type = proto::attr_type::INTS;
        for (const Json& e : data.GetArray())
            if (const Json* d = member(e, "D"))
                if (auto i = as_i64(*d)) a.ints.push_back(*i);
    } else if (first_tag == "0.a_f32" || first_tag == "0.a_f64") {
        a.type = proto::attr_type::FLOATS;
        for (const Json& e : data.GetArray())
            if (const Json* d = member(e, "D"))
                if (d->IsNumber()) a.floats.push_back(helper::to_f32_or_inf(d->GetDouble()));
    } else if (first_tag == "0.a_str") {
        a.type = proto::attr_type::STRINGS;
        for (const Json& e : data.GetArray())
            if (const Json* d = member(e, "D"))
                if (auto s = as_str(*d)) a.strings.emplace_back(*s);
    } else if (first.IsNumber()) {
        a.type = proto::attr_type::INTS;
        a.ints = helper::collect_int_values(data);
    } else {
        return std::nullopt;
    }
    return a;
}

std::optional<proto::AttributeProto> convert_value(std::string name, const Json& at) {
    std::string_view tag;
    if (const Json* t = member(at, "#")) tag = as_str(*t).value_or("");
    const Json* data = member(at, "D");
    if (!data) return std::nullopt;

    if (tag == "0.a_i32" || tag == "0.a_i64") {
        if (auto i = as_i64(*data)) return helper::attr_int(std::move(name), *i);
    } else if (tag == "0.a_f32" || tag == "0.a_f64") {
        if (data->IsNumber()) return helper::attr_float(std::move(name), helper::to_f32_or_inf(data->GetDouble()));
    } else if (tag == "0.a_str") {
        if (auto s = as_str(*data)) return helper::attr_str(std::move(name), std::string(*s));
    } else if (tag == "0.a_bool") {
        if (auto b = helper::as_bool(*data)) return helper::attr_int(std::move(name), *b ? 1 : 0);
    } else if (tag == "0.a_array" || tag == "1.a_intarray") {
        return convert_array(std::move(name), *data);
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

void fix_conv_pool_attributes(std::string_view op, const Json& raw,
                              std::vector<proto::AttributeProto>& attrs) {
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
    bool same = false;
    for (const Json& entry : raw.GetArray()) {
        const Json* d = entry_data_if_named(entry, "padding_algorithm");
        if (d && as_str(*d) == std::optional<std::string_view>("SAME")) {
            same = true;
            break;
        }
    }
    if (same) {
        attrs.push_back(helper::attr_str("auto_pad", "SAME_UPPER"));
        std::erase_if(attrs, [](const proto::AttributeProto& a) { return a.name == "pads"; });
    }
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
    for (const Json& entry : attrs.GetArray()) {
        // ONNX attributes must be named: an entry without a (non-empty) name is dropped.
        const Json* n = member(entry, "N");
        const auto raw_name = n ? as_str(*n) : std::nullopt;
        if (!raw_name || raw_name->empty()) continue;

        std::string name = renamed(bare_name, *raw_name);
        if (dropped_for_every_op(name) || dropped_for_op(bare_name, name)) continue;
        const Json* at = member(entry, "AT");
        if (!at) continue;
        if (auto a = convert_value(std::move(name), *at)) out.push_back(std::move(*a));
    }

    if (one_of(bare_name, {"conv2d", "pool2d", "depthwise_conv2d", "conv2d_transpose"}))
        fix_conv_pool_attributes(bare_name, attrs, out);

    if (bare_name == "pool2d") {
        for (const Json& entry : attrs.GetArray()) {
            const Json* d = entry_data_if_named(entry, "ceil_mode");
            if (!d) continue;
            if (auto b = helper::as_bool(*d)) {
                out.push_back(helper::attr_int("ceil_mode", *b ? 1 : 0));
                break;
            }
        }
    }
    return out;
}

}  // namespace kestro
