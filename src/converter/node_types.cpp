// The element-type rule of the ONNX nodes kestro writes (see node_types.h). The type sets
// are the widest any opset kestro writes gives an op type: where an older opset takes fewer
// types, ONNX's own checker refuses the node there; this rule refuses only what no opset
// takes, so that it never refuses a model a runtime loads.
#include "converter/node_types.h"

#include <algorithm>
#include <initializer_list>
#include <string_view>

#include "converter/checks.h"
#include "converter/converter.h"
#include "helper/helper.h"

namespace kestro::node_types {

namespace {

namespace dt = proto::dtype;

constexpr uint32_t bit(int32_t code) { return uint32_t{1} << code; }
constexpr uint32_t kFloats = bit(dt::FLOAT) | bit(dt::FLOAT16) | bit(dt::DOUBLE) | bit(dt::BFLOAT16);
constexpr uint32_t kIntegers = bit(dt::INT8) | bit(dt::INT16) | bit(dt::INT32) | bit(dt::INT64) |
                               bit(dt::UINT8) | bit(dt::UINT16) | bit(dt::UINT32) | bit(dt::UINT64);
constexpr uint32_t kNumbers = kFloats | kIntegers;
constexpr uint32_t kBool = bit(dt::BOOL);
constexpr uint32_t kInt64 = bit(dt::INT64);
constexpr uint32_t kIndex = bit(dt::INT32) | bit(dt::INT64);
constexpr uint32_t kRange = bit(dt::FLOAT) | bit(dt::DOUBLE) | bit(dt::INT16) | kIndex;

// Input positions, a bit each; kEvery: every input, however many the node has.
constexpr uint32_t kEvery = ~uint32_t{0};
constexpr uint32_t at(size_t position) { return uint32_t{1} << position; }

// The inputs at `positions` take only the element types of `types` (`what` says which).
struct Operand {
    uint32_t positions;
    uint32_t types;
    std::string_view what;
};
constexpr Operand kFloatOperand{at(0), kFloats, "floating-point"};
constexpr Operand kNumberOperand{at(0), kNumbers, "a number type"};
constexpr Operand kAllNumbers{kEvery, kNumbers, "a number type"};
constexpr Operand kAllBool{kEvery, kBool, "bool"};
constexpr Operand kAllFloats{kEvery, kFloats, "floating-point"};

// How an output's element type follows. Like: that of input `arg`; Fixed: the type `arg`;
// CastTo: the "to" attribute; ConstantValue: the value attribute's; Filled: the value
// attribute's, float32 without one; Branch: the then-branch output's; Body: the body output
// one further on (a Loop body gives its condition first); Open: not known.
enum class Out : uint8_t { Like, Fixed, CastTo, ConstantValue, Filled, Branch, Body, Open };
struct Output {
    Out kind;
    int32_t arg = 0;
};
constexpr Output kLikeFirst{Out::Like, 0};
constexpr Output kInt64Out{Out::Fixed, dt::INT64};
constexpr Output kBoolOut{Out::Fixed, dt::BOOL};

struct Rule {
    std::string_view op_type;
    uint32_t same;  // the inputs that share one element type
    std::initializer_list<Operand> operands;
    // By output position; the last one holds for every later output too.
    std::initializer_list<Output> outputs;
    uint32_t same_too = 0;  // a second group of inputs that share one element type
};

// Every op type a lowering writes. An op type missing here is typed as unknown.
const Rule kRules[] = {
    // Elementwise arithmetic: one type for every operand, which the result has.
    {"Add", kEvery, {kAllNumbers}, {kLikeFirst}},
    {"Sub", kEvery, {kAllNumbers}, {kLikeFirst}},
    {"Mul", kEvery, {kAllNumbers}, {kLikeFirst}},
    {"Div", kEvery, {kAllNumbers}, {kLikeFirst}},
    {"Mod", kEvery, {kAllNumbers}, {kLikeFirst}},
    {"Max", kEvery, {kAllNumbers}, {kLikeFirst}},
    {"Min", kEvery, {kAllNumbers}, {kLikeFirst}},
    {"Sum", kEvery, {kAllNumbers}, {kLikeFirst}},
    {"Mean", kEvery, {kAllNumbers}, {kLikeFirst}},
    {"MatMul", kEvery, {kAllNumbers}, {kLikeFirst}},
    {"Einsum", kEvery, {kAllNumbers}, {kLikeFirst}},
    {"PRelu", kEvery, {kAllNumbers}, {kLikeFirst}},
    {"Clip", kEvery, {kAllNumbers}, {kLikeFirst}},
    // The exponent may have its own type.
    {"Pow", 0, {kAllNumbers}, {kLikeFirst}},
    {"BitwiseAnd", kEvery, {{kEvery, kIntegers, "an integer type"}}, {kLikeFirst}},
    {"BitwiseNot", 0, {{at(0), kIntegers, "an integer type"}}, {kLikeFirst}},
    // Comparisons and logic give bool.
    {"Equal", kEvery, {}, {kBoolOut}},
    {"Less", kEvery, {kAllNumbers}, {kBoolOut}},
    {"LessOrEqual", kEvery, {kAllNumbers}, {kBoolOut}},
    {"Greater", kEvery, {kAllNumbers}, {kBoolOut}},
    {"GreaterOrEqual", kEvery, {kAllNumbers}, {kBoolOut}},
    {"And", kEvery, {kAllBool}, {kBoolOut}},
    {"Or", kEvery, {kAllBool}, {kBoolOut}},
    {"Xor", kEvery, {kAllBool}, {kBoolOut}},
    {"Not", 0, {kAllBool}, {kBoolOut}},
    {"Where", at(1) | at(2), {{at(0), kBool, "bool"}}, {{Out::Like, 1}}},
    // Elementwise on one operand.
    {"Abs", 0, {kNumberOperand}, {kLikeFirst}},
    {"Neg", 0, {kNumberOperand}, {kLikeFirst}},
    {"Relu", 0, {kNumberOperand}, {kLikeFirst}},
    {"Erf", 0, {kNumberOperand}, {kLikeFirst}},
    {"Sigmoid", 0, {kFloatOperand}, {kLikeFirst}},
    {"Tanh", 0, {kFloatOperand}, {kLikeFirst}},
    {"Sqrt", 0, {kFloatOperand}, {kLikeFirst}},
    {"Log", 0, {kFloatOperand}, {kLikeFirst}},
    {"Exp", 0, {kFloatOperand}, {kLikeFirst}},
    {"Sin", 0, {kFloatOperand}, {kLikeFirst}},
    {"Cos", 0, {kFloatOperand}, {kLikeFirst}},
    {"Floor", 0, {kFloatOperand}, {kLikeFirst}},
    {"Ceil", 0, {kFloatOperand}, {kLikeFirst}},
    {"HardSigmoid", 0, {kFloatOperand}, {kLikeFirst}},
    {"HardSwish", 0, {kFloatOperand}, {kLikeFirst}},
    {"LeakyRelu", 0, {kFloatOperand}, {kLikeFirst}},
    {"Softmax", 0, {kFloatOperand}, {kLikeFirst}},
    {"Identity", 0, {}, {kLikeFirst}},
    // Normalization, convolution and pooling take floating point.
    {"Conv", kEvery, {kAllFloats}, {kLikeFirst}},
    {"ConvTranspose", kEvery, {kAllFloats}, {kLikeFirst}},
    {"InstanceNormalization", kEvery, {kAllFloats}, {kLikeFirst}},
    {"LayerNormalization", kEvery, {kAllFloats}, {kLikeFirst, {Out::Open}}},
    // Scale and bias share a type, and so do the mean and variance (all four one type
    // before opset 15).
    {"BatchNormalization", at(1) | at(2), {kAllFloats}, {kLikeFirst, {Out::Open}}, at(3) | at(4)},
    {"AveragePool", 0, {kFloatOperand}, {kLikeFirst}},
    {"GlobalAveragePool", 0, {kFloatOperand}, {kLikeFirst}},
    {"GlobalMaxPool", 0, {kFloatOperand}, {kLikeFirst}},
    {"MaxPool", 0, {kNumberOperand}, {kLikeFirst, kInt64Out}},
    {"GridSample", 0, {{at(1), kFloats, "floating-point"}}, {kLikeFirst}},
    // Moving data: the result has the data's type; shapes, axes and counts are int64.
    {"Reshape", 0, {{at(1), kInt64, "int64"}}, {kLikeFirst}},
    {"Expand", 0, {{at(1), kInt64, "int64"}}, {kLikeFirst}},
    {"Tile", 0, {{at(1), kInt64, "int64"}}, {kLikeFirst}},
    {"Squeeze", 0, {{at(1), kInt64, "int64"}}, {kLikeFirst}},
    {"Unsqueeze", 0, {{at(1), kInt64, "int64"}}, {kLikeFirst}},
    {"Flatten", 0, {}, {kLikeFirst}},
    {"Transpose", 0, {}, {kLikeFirst}},
    {"Concat", kEvery, {}, {kLikeFirst}},
    {"Split", 0, {{at(1), kInt64, "int64"}}, {kLikeFirst}},
    {"Slice", at(1) | at(2) | at(3) | at(4), {{at(1) | at(2) | at(3) | at(4), kIndex, "int32 or int64"}},
     {kLikeFirst}},
    {"Gather", 0, {{at(1), kIndex, "int32 or int64"}}, {kLikeFirst}},
    {"GatherElements", 0, {{at(1), kIndex, "int32 or int64"}}, {kLikeFirst}},
    {"GatherND", 0, {{at(1), kInt64, "int64"}}, {kLikeFirst}},
    {"ScatterElements", at(0) | at(2), {{at(1), kIndex, "int32 or int64"}}, {kLikeFirst}},
    {"ScatterND", at(0) | at(2), {{at(1), kInt64, "int64"}}, {kLikeFirst}},
    {"Pad", at(0) | at(2), {{at(1), kInt64, "int64"}, {at(3), kIndex, "int32 or int64"}}, {kLikeFirst}},
    {"Compress", 0, {{at(1), kBool, "bool"}}, {kLikeFirst}},
    {"Trilu", 0, {{at(1), kInt64, "int64"}}, {kLikeFirst}},
    {"CumSum", 0, {kNumberOperand, {at(1), kIndex, "int32 or int64"}}, {kLikeFirst}},
    {"Resize", 0, {{at(1) | at(2), kFloats, "floating-point"}, {at(3), kInt64, "int64"}}, {kLikeFirst}},
    {"Range", kEvery, {{kEvery, kRange, "float32, float64, int16, int32 or int64"}}, {kLikeFirst}},
    // Reductions keep the type; their axes are int64.
    {"ReduceMean", 0, {kNumberOperand, {at(1), kInt64, "int64"}}, {kLikeFirst}},
    {"ReduceSum", 0, {kNumberOperand, {at(1), kInt64, "int64"}}, {kLikeFirst}},
    {"ReduceProd", 0, {kNumberOperand, {at(1), kInt64, "int64"}}, {kLikeFirst}},
    {"ReduceMax", 0, {{at(1), kInt64, "int64"}}, {kLikeFirst}},
    {"ReduceMin", 0, {{at(1), kInt64, "int64"}}, {kLikeFirst}},
    // Positions, counts and shapes are int64.
    {"Shape", 0, {}, {kInt64Out}},
    {"Size", 0, {}, {kInt64Out}},
    {"NonZero", 0, {}, {kInt64Out}},
    {"ArgMax", 0, {kNumberOperand}, {kInt64Out}},
    {"ArgMin", 0, {kNumberOperand}, {kInt64Out}},
    {"TopK", 0, {kNumberOperand, {at(1), kInt64, "int64"}}, {kLikeFirst, kInt64Out}},
    {"Unique", 0, {}, {kLikeFirst, kInt64Out}},
    {"NonMaxSuppression", 0,
     {{at(0) | at(1) | at(3) | at(4), kFloats, "floating-point"}, {at(2), kInt64, "int64"}},
     {kInt64Out}},
    // Types from attributes and subgraphs.
    {"Cast", 0, {}, {{Out::CastTo}}},
    {"Constant", 0, {}, {{Out::ConstantValue}}},
    {"ConstantOfShape", 0, {{at(0), kInt64, "int64"}}, {{Out::Filled}}},
    {"If", 0, {{at(0), kBool, "bool"}}, {{Out::Branch}}},
    {"Loop", 0, {{at(0), kInt64, "int64"}, {at(1), kBool, "bool"}}, {{Out::Body}}},
};

const Rule* find_rule(std::string_view op_type) {
    for (const Rule& r : kRules)
        if (r.op_type == op_type) return &r;
    return nullptr;
}

bool holds(uint32_t positions, size_t k) { return k < 32 ? (positions & at(k)) != 0 : positions == kEvery; }

const proto::AttributeProto* find_attr(const proto::NodeProto& node, std::string_view name) {
    for (const auto& a : node.attribute)
        if (a.name == name) return &a;
    return nullptr;
}

// The type of a Constant's or ConstantOfShape's value attribute; `otherwise` without one.
int32_t value_attr_type(const proto::NodeProto& node, int32_t otherwise) {
    if (const proto::AttributeProto* v = find_attr(node, "value")) return v->t ? (*v->t).data_type : 0;
    if (find_attr(node, "value_float") || find_attr(node, "value_floats")) return dt::FLOAT;
    if (find_attr(node, "value_int") || find_attr(node, "value_ints")) return dt::INT64;
    return otherwise;
}

// The described element type of output `k` of the graph attribute `name`; 0 when none.
int32_t subgraph_output_type(const proto::NodeProto& node, std::string_view name, size_t k) {
    const proto::AttributeProto* g = find_attr(node, name);
    if (!g || !g->g || k >= (*g->g).output.size()) return 0;
    return described_elem_type((*g->g).output[k]);
}

int32_t output_type(const proto::NodeProto& node, const Output& rule, size_t k,
                    const std::vector<int32_t>& inputs) {
    switch (rule.kind) {
        case Out::Like: {
            const size_t from = static_cast<size_t>(rule.arg);
            return from < inputs.size() ? inputs[from] : 0;
        }
        case Out::Fixed: return rule.arg;
        case Out::CastTo: {
            const proto::AttributeProto* to = find_attr(node, "to");
            return to ? static_cast<int32_t>(to->i) : 0;
        }
        case Out::ConstantValue: return value_attr_type(node, 0);
        case Out::Filled: return value_attr_type(node, dt::FLOAT);
        case Out::Branch: return subgraph_output_type(node, "then_branch", k);
        case Out::Body: return subgraph_output_type(node, "body", k + 1);
        case Out::Open: return 0;
    }
    return 0;
}

std::optional<std::string> same_type_violation(uint32_t same, const std::vector<int32_t>& inputs) {
    std::optional<int32_t> first;
    for (size_t k = 0; k < inputs.size(); ++k) {
        if (!holds(same, k) || inputs[k] == 0) continue;
        if (!first) first = inputs[k];
        else if (*first != inputs[k])
            return fmt::format("takes {} and {}, which must have one element type", helper::onnx_dtype_name(*first),
                               helper::onnx_dtype_name(inputs[k]));
    }
    return std::nullopt;
}

std::optional<std::string> operand_violation(const Rule& rule, const std::vector<int32_t>& inputs) {
    for (const Operand& o : rule.operands)
        for (size_t k = 0; k < inputs.size(); ++k) {
            const int32_t t = inputs[k];
            if (!holds(o.positions, k) || t == 0 || (t < 32 && (o.types & bit(t)) != 0)) continue;
            return fmt::format("takes {} as its input {}, which must be {}", helper::onnx_dtype_name(t), k, o.what);
        }
    return std::nullopt;
}

// A Loop's carried values enter its body as the body's inputs past the count and the
// condition: each must have the type the body takes.
std::optional<std::string> loop_carried_violation(const proto::NodeProto& node, const std::vector<int32_t>& inputs) {
    const proto::AttributeProto* g = find_attr(node, "body");
    if (!g || !g->g) return std::nullopt;
    const proto::GraphProto& body = *g->g;
    for (size_t k = 2; k < inputs.size() && k < body.input.size(); ++k) {
        const int32_t takes = described_elem_type(body.input[k]);
        if (inputs[k] != 0 && takes != 0 && inputs[k] != takes)
            return fmt::format("carries {} as its input {}, which its body takes as {}",
                               helper::onnx_dtype_name(inputs[k]), k, helper::onnx_dtype_name(takes));
    }
    return std::nullopt;
}

}  // namespace

Typed type_node(const proto::NodeProto& node, const std::vector<int32_t>& inputs) {
    Typed typed;
    typed.outputs.assign(node.output.size(), 0);
    const Rule* rule = node.domain().empty() ? find_rule(node.op_type) : nullptr;
    if (!rule) return typed;
    typed.violation = same_type_violation(rule->same, inputs);
    if (!typed.violation) typed.violation = same_type_violation(rule->same_too, inputs);
    if (!typed.violation) typed.violation = operand_violation(*rule, inputs);
    if (!typed.violation && node.op_type == "Loop") typed.violation = loop_carried_violation(node, inputs);
    const size_t rules = rule->outputs.size();
    for (size_t k = 0; k < node.output.size() && rules != 0; ++k)
        typed.outputs[k] = output_type(node, rule->outputs.begin()[std::min(k, rules - 1)], k, inputs);
    return typed;
}

}  // namespace kestro::node_types

namespace kestro {

int32_t Converter::computed_elem_type(const std::string& name) const {
    if (const int32_t* t = state.computed_types.find(name)) return *t;
    if (const ParamMeta* p = state.param_meta.find(name); p && p->dtype) return *p->dtype;
    return 0;
}

Converter::GraphMark Converter::graph_mark() const {
    return {graph.node.size(), graph.initializer.size(), graph.input.size(), graph.output.size()};
}

void Converter::note_described_types(const std::vector<proto::ValueInfoProto>& inputs, size_t from, size_t to) {
    for (size_t i = from; i < std::min(to, inputs.size()); ++i)
        if (const int32_t t = described_elem_type(inputs[i]); t != 0) state.computed_types.insert(inputs[i].name, t);
}

void Converter::type_new_nodes(std::string_view op_name, const GraphMark& from) {
    type_graph_part(op_name, from, graph_mark());
}

void Converter::type_graph_part(std::string_view op_name, const GraphMark& from, const GraphMark& to) {
    note_described_types(graph.input, from.inputs, to.inputs);
    for (size_t i = from.initializers; i < to.initializers; ++i)
        state.computed_types.insert(graph.initializer[i].name, graph.initializer[i].data_type);
    std::vector<int32_t> inputs;
    for (size_t i = from.nodes; i < to.nodes; ++i) {
        const proto::NodeProto& node = graph.node[i];
        inputs.clear();
        for (const auto& in : node.input) inputs.push_back(in.empty() ? 0 : computed_elem_type(in));
        node_types::Typed typed = node_types::type_node(node, inputs);
        if (typed.violation) throw Error("{}: its ONNX {} node {}", op_name, node.op_type, *typed.violation);
        for (size_t k = 0; k < node.output.size(); ++k)
            if (!node.output[k].empty() && typed.outputs[k] != 0)
                state.computed_types.insert(node.output[k], typed.outputs[k]);
    }
    // A graph output must be described with the type its tensor has.
    for (size_t i = from.outputs; i < to.outputs; ++i) {
        const proto::ValueInfoProto& out = graph.output[i];
        const int32_t described = described_elem_type(out);
        const int32_t computed = computed_elem_type(out.name);
        if (described != 0 && computed != 0 && described != computed)
            throw declared_result_error(op_name, out.name, fmt_tensor_type(described, described_dims(out)),
                                        "computes " + fmt_tensor_type(computed, described_dims(out)));
    }
}

namespace {

// How a message names a declared element type: the ONNX name where ONNX has the type, else
// the name of Paddle's type (Paddle declares values in types ONNX cannot hold).
std::string declared_type_name(std::string_view token) {
    if (const std::optional<int32_t> code = helper::paddle_token_to_onnx(token)) return helper::onnx_dtype_name(*code);
    static constexpr std::pair<std::string_view, std::string_view> kPaddleOnly[] = {
        {"bf16", "bfloat16"}, {"bfloat16", "bfloat16"}, {"c64", "complex64"}, {"complex64", "complex64"},
        {"c128", "complex128"}, {"complex128", "complex128"}, {"f8e4m3fn", "float8_e4m3fn"},
        {"f8e5m2", "float8_e5m2"}, {"ui16", "uint16"}, {"ui32", "uint32"}, {"ui64", "uint64"}};
    const std::optional<std::string_view> word = helper::paddle_token_word(token);
    for (const auto& [w, name] : kPaddleOnly)
        if (word == w) return std::string(name);
    return helper::fmt_text(token);
}

}  // namespace

void Converter::check_declared_types(std::string_view op_name, IdList ids) const {
    // A list's pieces (what a split's list is unpacked into) are its values too.
    for (size_t k = 0, n = ids.size(); k < n; ++k)
        if (const IdList* pieces = state.split_outputs.find(ids[k])) ids.insert(ids.end(), pieces->begin(), pieces->end());
    for (const int64_t id : ids) {
        const std::optional<std::string> name = tensor_name_of(id);
        const int32_t computed = name ? computed_elem_type(*name) : 0;
        const std::string* token = computed != 0 ? state.tensor_dtypes.find(id) : nullptr;
        // A declared type a lowering never computes (complex64) is never the computed one;
        // bfloat16 is, where a bfloat16 parameter passes through.
        if (!token) continue;
        std::optional<int32_t> declared = helper::paddle_token_to_onnx(*token);
        if (!declared && helper::paddle_token_word(*token) == std::string_view("bf16")) declared = proto::dtype::BFLOAT16;
        if (declared == computed) continue;
        const Dims dims = recorded_dims(state, id);
        std::string described = declared_type_name(*token);
        if (dims) described = fmt::format("{} {}", described, helper::fmt_dims(*dims));
        throw declared_result_error(op_name, std::to_string(id), described,
                                    "computes " + fmt_tensor_type(computed, dims));
    }
}

void Converter::check_yielded_types(std::string_view graph_name, const std::vector<int64_t>& yielded,
                                    const std::vector<proto::ValueInfoProto>& outputs) const {
    for (size_t k = 0; k < yielded.size() && k < outputs.size(); ++k) {
        const std::optional<std::string> name = tensor_name_of(yielded[k]);
        const int32_t computed = name ? computed_elem_type(*name) : 0;
        const int32_t described = described_elem_type(outputs[k]);
        // "while_body" is named as control.cpp's own messages name it: "while body".
        std::string region(graph_name);
        std::replace(region.begin(), region.end(), '_', ' ');
        if (computed != 0 && described != 0 && computed != described)
            throw Error("{} yields value {} as {}, but computes {}", region, yielded[k],
                        fmt_tensor_type(described, described_dims(outputs[k])),
                        fmt_tensor_type(computed, described_dims(outputs[k])));
    }
}

}  // namespace kestro
